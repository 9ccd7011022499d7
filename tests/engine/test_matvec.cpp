// Matrix-vector kernels and embedding rows: every vector path against the
// scalar one bit for bit, the product against a double-precision reference,
// hand-built inputs whose result depends on the summation order, the edge
// shapes, 64-bit row offsets and independence from the pool size, for single
// products and for products sharing one pool job.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel_fixtures.h"
#include "kernels/matvec.h"
#include "kernels/matvec_jobs.h"
#include "runtime/pool.h"

namespace {

using kt::bits;
using kt::Matrix;

const uint8_t kTypes[] = {DTYPE_Q8, DTYPE_F16, DTYPE_F32};
const int32_t kKs[] = {0, 1, 3, 4, 7, 8, 13, 15, 16, 17, 31, 32, 35, 36, 40, 48, 63, 64, 100, 1000, 2048, 4099};
const int32_t kRows[] = {1, 5, 16, 17, 37};

// The kernels the dispatcher would run here.
const detail::MvKernels* best_kernels() {
  for (Isa isa : {Isa::Avx512, Isa::Avx2, Isa::Neon})
    if (const auto* k = detail::mv_kernels(isa)) return k;
  return detail::mv_kernels(Isa::Scalar);
}

std::vector<Isa> vector_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Avx2, Isa::Avx512, Isa::Neon})
    if (detail::mv_kernels(isa)) out.push_back(isa);
  return out;
}

RangeFn kernel_of(const detail::MvKernels* k, uint8_t t) {
  return t == DTYPE_Q8 ? k->q8 : t == DTYPE_F16 ? k->f16 : k->f32;
}

// Runs fn over [0, rows) in pieces of `piece` rows, so ranges start anywhere.
std::vector<float> run(RangeFn fn, const Matrix& m, const float* x, int32_t piece) {
  std::vector<float> y(static_cast<size_t>(m.rows) + 1, -7.0f);
  VecJob job{m.data(), x, y.data(), m.rows, m.K};
  for (int32_t s = 0; s < m.rows; s += piece) fn(&job, s, std::min(s + piece, m.rows));
  return y;
}

// Weights and inputs with signed zeros, subnormals, infinities and NaNs mixed in.
void make_wild(Matrix& m, std::vector<float>& x, uint64_t seed) {
  olvt::Rng rng(seed);
  const float specials[] = {0.0f, -0.0f, 1e-45f, -1e-40f, INFINITY, -INFINITY, NAN, 65504.0f, 6e-8f};
  for (auto& v : x)
    if (rng.next() % 11 == 0) v = specials[rng.next() % 9];
  for (int32_t r = 0; r < m.rows; ++r) {
    if (m.dtype == DTYPE_Q8) {
      for (int32_t b = 0; b < m.K / 32; ++b) {
        if (rng.next() % 5) continue;
        int8_t q[32];
        for (int j = 0; j < 32; ++j) q[j] = static_cast<int8_t>(rng.next());
        const float scales[] = {0.0f, -0.0f, 1e-45f, 3e36f, NAN, INFINITY, -2.5f};
        m.set_block(r, b, scales[rng.next() % 7], q);
      }
    } else {
      for (int32_t k = 0; k < m.K; ++k) {
        if (rng.next() % 7) continue;
        if (m.dtype == DTYPE_F16)
          m.set_half(r, k, static_cast<uint16_t>(rng.next()));  // any pattern, signalling NaNs too
        else
          m.set(r, k, specials[rng.next() % 9]);
      }
    }
  }
}

// arm64 always has NEON, so its build must run it rather than the portable path.
TEST(MatvecPaths, TheDispatchRunsTheWidestPathOfTheProcessor) {
#if defined(__aarch64__)
  EXPECT_EQ(best_isa(), Isa::Neon);
  EXPECT_NE(detail::mv_kernels(Isa::Neon), nullptr);
  EXPECT_NE(detail::embed_row_kernel(Isa::Neon), nullptr);
#else
  EXPECT_EQ(detail::mv_kernels(Isa::Neon), nullptr);
#endif
  EXPECT_EQ(best_kernels(), detail::mv_kernels(best_isa()));
}

TEST(MatvecPaths, EveryVectorPathMatchesScalarBitForBit) {
  const auto isas = vector_isas();
  if (isas.empty()) GTEST_SKIP() << "no vector path on this processor";
  const detail::MvKernels* scalar = detail::mv_kernels(Isa::Scalar);
  uint64_t seed = 1;
  for (bool wild : {false, true})
    for (uint8_t t : kTypes)
      for (int32_t K : kKs)
        for (int32_t rows : kRows) {
          seed += 2;
          Matrix m = kt::random_matrix(t, rows, K, seed, seed % 5);
          std::vector<float> x = kt::random_vector(K + 1, seed + 1);
          if (wild) make_wild(m, x, seed);
          const auto want = run(kernel_of(scalar, t), m, x.data(), rows);
          for (Isa isa : isas)
            for (int32_t piece : {rows, 3, 8}) {
              const auto got = run(kernel_of(detail::mv_kernels(isa), t), m, x.data(), piece);
              const int64_t d = kt::first_difference(want.data(), got.data(), rows + 1);
              ASSERT_EQ(d, -1) << isa_name(isa) << " " << kt::dtype_name(t) << " K=" << K
                               << " rows=" << rows << " piece=" << piece << (wild ? " wild" : "")
                               << ": y[" << d << "] " << got[d] << " vs scalar " << want[d];
            }
          // The AVX-512 q8 kernel that processors without VBMI run, where the dispatch chose the other.
          if (t == DTYPE_Q8 && detail::mv_q8_avx512_without_vbmi() && isa_supported(Isa::Avx512)) {
            const auto got = run(detail::mv_q8_avx512_without_vbmi(), m, x.data(), 5);
            const int64_t d = kt::first_difference(want.data(), got.data(), rows + 1);
            ASSERT_EQ(d, -1) << "avx512 without vbmi K=" << K << " rows=" << rows << (wild ? " wild" : "");
          }
        }
}

TEST(Matvec, AgreesWithDoublePrecisionReference) {
  uint64_t seed = 100;
  for (uint8_t t : kTypes)
    for (int32_t K : {1, 3, 7, 15, 32, 35, 64, 100, 2048, 4099}) {
      if (t == DTYPE_Q8 && K % 32) continue;
      Matrix m = kt::random_matrix(t, 40, K, ++seed);
      const auto x = kt::random_vector(K, ++seed);
      std::vector<float> y(40);
      matvec(m.tensor(), x.data(), y.data(), 40, K);
      for (int32_t r = 0; r < 40; ++r) {
        const auto ref = kt::ref_dot(x.data(), &m.value[static_cast<size_t>(r) * K], K);
        ASSERT_NEAR(y[r], ref.value, ref.bound) << kt::dtype_name(t) << " K=" << K << " row " << r;
      }
    }
}

// One row, x = 1 everywhere unless given; returns y[0] through matvec.
float one_row(uint8_t t, int32_t K, const std::vector<std::pair<int, float>>& w,
              const std::vector<std::pair<int, float>>& xs = {}) {
  Matrix m(t, 1, K, kt::matrix_bytes(t, 1, K), 4);
  for (int k = 0; k < K; ++k) m.set(0, k, 0.0f);
  for (auto [k, v] : w) m.set(0, k, v);
  std::vector<float> x(K, 1.0f);
  for (auto [k, v] : xs) x[k] = v;
  float y = -99.0f;
  matvec(m.tensor(), x.data(), &y, 1, K);
  return y;
}

// 2^24 + 1 rounds back to 2^24 (ties to even), so which small terms meet the
// large one first shows the summation order.
constexpr float kBig = 16777216.0f;

TEST(MatvecOrder, F32CombinesAccumulatorsByKAndAddsTailsInOrder) {
  struct Case {
    int32_t K;
    std::vector<std::pair<int, float>> w;
    float want;
    const char* why;
  } cases[] = {
      {32, {{0, kBig}, {8, 1}, {12, 1}}, kBig, "K multiple of 16: ((A0+A1)+A2)+A3"},
      {40, {{0, kBig}, {8, 1}, {12, 1}}, kBig + 2, "otherwise (A0+A1)+(A2+A3)"},
      {36, {{0, kBig}, {34, 1}, {35, 1}}, kBig + 2, "four-input step seeded with the sum in lane 0"},
      {35, {{0, kBig}, {33, 1}, {34, 1}}, kBig, "three sequential steps, no four-input step"},
      {15, {{0, kBig}, {13, 1}, {14, 1}}, kBig, "K=15: tail of three sequential steps"},
      {15, {{0, kBig}, {6, 1}, {11, 1}}, kBig + 2, "K=15: lanes 0..3 summed pairwise"},
      {3, {{0, kBig}, {1, 1}, {2, 1}}, kBig, "K=3: a sequential chain"},
  };
  for (const auto& c : cases) EXPECT_EQ(one_row(DTYPE_F32, c.K, c.w), c.want) << c.why;
}

TEST(MatvecOrder, F16GroupsOfEightThenSequentialTail) {
  // Halves cannot hold 2^24: the large term comes from x instead.
  EXPECT_EQ(one_row(DTYPE_F16, 8, {{0, 1}, {2, 1}, {3, 1}}, {{0, kBig}}), kBig + 2)
      << "lane-wise A+B, then pairwise";
  EXPECT_EQ(one_row(DTYPE_F16, 8, {{0, 1}, {4, 1}, {5, 1}}, {{0, kBig}}), kBig)
      << "T0 = A0 + B0 meets the big term first";
  EXPECT_EQ(one_row(DTYPE_F16, 13, {{0, 1}, {8, 1}, {9, 1}}, {{0, kBig}}), kBig) << "K=13: five sequential steps";
  EXPECT_EQ(one_row(DTYPE_F16, 7, {{0, 1}, {2, 1}, {3, 1}}, {{0, kBig}}), kBig) << "K=7: one chain";
}

TEST(MatvecOrder, Q8OneFourLaneAccumulatorWithWeightsRoundedFirst) {
  Matrix m(DTYPE_Q8, 1, 32, 36, 1);
  int8_t q[32] = {};
  for (int j : {0, 2, 3, 4, 8}) q[j] = 1;
  m.set_block(0, 0, 1.0f, q);
  std::vector<float> x(32, 0.0f);
  x[0] = kBig;
  x[2] = x[3] = x[4] = x[8] = 1.0f;
  float y;
  matvec(m.tensor(), x.data(), &y, 1, 32);
  EXPECT_EQ(y, kBig + 2) << "lane 0 absorbs its ones, lanes 2 and 3 are summed before meeting it";

  // scale 1 + 2^-23 times byte 3 rounds to 3 + 2^-21 before it is multiplied
  // in; three such weights in one lane give 9 + 2^-19 (scaling the lane's
  // byte sum afterwards would give 9 + 2^-20).
  int8_t q3[32] = {};
  q3[0] = q3[4] = q3[8] = 3;
  m.set_block(0, 0, 1.0f + 0x1.0p-23f, q3);
  std::vector<float> ones(32, 1.0f);
  matvec(m.tensor(), ones.data(), &y, 1, 32);
  EXPECT_EQ(y, 9.0f + 0x1.0p-19f);
}

TEST(MatvecOrder, SignOfAZeroResultFollowsTheFirstStep) {
  // f32 starts from a plain product, so -0.0 survives; f16 and q8 fuse onto +0.0.
  EXPECT_EQ(bits(one_row(DTYPE_F32, 1, {{0, -0.0f}})), 0x80000000u);
  EXPECT_EQ(bits(one_row(DTYPE_F32, 3, {{0, -0.0f}, {1, -0.0f}, {2, -0.0f}})), 0x80000000u);
  EXPECT_EQ(bits(one_row(DTYPE_F32, 4, {{0, -0.0f}, {1, -0.0f}, {2, -0.0f}, {3, -0.0f}})), 0x80000000u);
  std::vector<std::pair<int, float>> negzeros;
  for (int k = 0; k < 16; ++k) negzeros.push_back({k, -0.0f});
  EXPECT_EQ(bits(one_row(DTYPE_F32, 16, negzeros)), 0u) << "K >= 16 accumulates onto +0.0";
  EXPECT_EQ(bits(one_row(DTYPE_F16, 1, {{0, -0.0f}})), 0u);
  Matrix m(DTYPE_Q8, 1, 32, 36, 0);
  int8_t q[32] = {};
  m.set_block(0, 0, -1.0f, q);  // every weight -0.0
  std::vector<float> x(32, 1.0f);
  float y;
  matvec(m.tensor(), x.data(), &y, 1, 32);
  EXPECT_EQ(bits(y), 0u);
}

// A page that faults on any access: proves a kernel does not read the weights.
const void* no_access_page() {
  static void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p;
}

TEST(MatvecEdges, EmptyKWritesPositiveZeroWithoutReadingWeights) {
  for (const detail::MvKernels* k : {detail::mv_kernels(Isa::Scalar), best_kernels()})
    for (uint8_t t : kTypes)
      for (int32_t K : {0, -3, 16, 31}) {
        if (t != DTYPE_Q8 && K > 0) continue;  // below one block only means "empty" for q8
        std::vector<float> y(21, -1.0f), x(32, 1.0f);
        VecJob job{no_access_page(), x.data(), y.data(), 20, K};
        kernel_of(k, t)(&job, 0, 20);
        for (int r = 0; r < 20; ++r) ASSERT_EQ(bits(y[r]), 0u) << kt::dtype_name(t) << " K=" << K;
        EXPECT_EQ(y[20], -1.0f);
      }
}

TEST(MatvecEdges, NoRowsWritesNothingAndEmptyRangeReturns) {
  Matrix m = kt::random_matrix(DTYPE_F32, 4, 8, 5);
  std::vector<float> x(8, 1.0f), y(4, -1.0f);
  matvec(m.tensor(), x.data(), y.data(), 0, 8);
  VecJob job{m.data(), x.data(), y.data(), 4, 0};
  best_kernels()->f32(&job, 2, 2);  // K = 0 would zero a non-empty range
  for (float v : y) EXPECT_EQ(v, -1.0f);
}

TEST(MatvecEdges, Q8IgnoresInputsPastTheLastWholeBlock) {
  Matrix m = kt::random_matrix(DTYPE_Q8, 3, 32, 9);
  std::vector<float> x = kt::random_vector(50, 10);
  std::vector<float> y32(3), y50(3);
  matvec(m.tensor(), x.data(), y32.data(), 3, 32);
  for (int k = 32; k < 50; ++k) x[k] = NAN;
  // K = 50 has the same row stride as K = 32 (one block per row).
  matvec(m.tensor(), x.data(), y50.data(), 3, 50);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(bits(y32[r]), bits(y50[r]));
}

// A sparse mapping far larger than any test touches, for row offsets past 2^31.
struct HugeMapping {
  uint8_t* p = nullptr;
  size_t n;
  explicit HugeMapping(size_t n_) : n(n_) {
    void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m != MAP_FAILED) p = static_cast<uint8_t*>(m);
  }
  ~HugeMapping() {
    if (p) munmap(p, n);
  }
};

TEST(MatvecEdges, RowOffsetsAreFormedIn64Bits) {
  const int32_t K = 2048;
  // q8: byte offset r * 64 * 36 passes 2^31; f16: element offset r * K passes 2^31.
  struct Case {
    uint8_t t;
    int32_t row;
    size_t row_bytes;
  } cases[] = {{DTYPE_Q8, 932100, 64 * 36}, {DTYPE_F16, 1048577, 2 * K}};
  for (const auto& c : cases) {
    HugeMapping map((static_cast<size_t>(c.row) + 1) * c.row_bytes + 4096);
    if (!map.p) GTEST_SKIP() << "cannot reserve address space";
    Matrix small = kt::random_matrix(c.t, 1, K, 77);
    uint8_t* row = map.p + static_cast<size_t>(c.row) * c.row_bytes;
    std::memcpy(row, small.data(), c.row_bytes);
    const auto x = kt::random_vector(K, 78);
    std::vector<float> want(1), got(static_cast<size_t>(c.row) + 1);
    matvec(small.tensor(), x.data(), want.data(), 1, K);
    std::vector<Isa> isas = vector_isas();
    isas.push_back(Isa::Scalar);
    for (Isa isa : isas) {
      VecJob job{map.p, x.data(), got.data(), c.row + 1, K};
      kernel_of(detail::mv_kernels(isa), c.t)(&job, c.row, c.row + 1);
      EXPECT_EQ(bits(got[c.row]), bits(want[0])) << kt::dtype_name(c.t) << " " << isa_name(isa);
    }
    TensorEntry E{};
    if (c.t == DTYPE_Q8) E.data_q8 = map.p;
    else E.data_f16 = reinterpret_cast<const uint16_t*>(map.p);
    std::vector<float> emb(K);
    embed_row(&E, c.row, emb.data(), K);
    for (int k = 0; k < K; ++k) ASSERT_EQ(bits(emb[k]), bits(small.value[k])) << k;
  }
}

TEST(EmbedRow, Q8WritesWholeBlocksOnly) {
  Matrix m = kt::random_matrix(DTYPE_Q8, 3, 32, 21);  // rows of one block, as dim 48 reads them
  std::vector<float> dst(48, -5.0f);
  embed_row(m.tensor(), 2, dst.data(), 48);
  for (int j = 0; j < 32; ++j) EXPECT_EQ(bits(dst[j]), bits(m.value[64 + j])) << j;
  for (int j = 32; j < 48; ++j) EXPECT_EQ(dst[j], -5.0f) << j;
  std::vector<float> none(16, -5.0f);
  embed_row(m.tensor(), 1, none.data(), 16);
  for (float v : none) EXPECT_EQ(v, -5.0f);
}

TEST(EmbedRow, F16AndF32RowsAreExact) {
  // Row 1 of an f16 table holding every half pattern: signed zeros,
  // subnormals, infinities and NaNs (signalling ones stay signalling).
  std::vector<uint16_t> table(2 * 65536 + 1);
  for (uint32_t h = 0; h < 65536; ++h) table[65537 + h] = static_cast<uint16_t>(h);
  TensorEntry E{};
  E.data_f16 = table.data() + 1;  // not 4-byte aligned
  std::vector<float> dst(65536);
  embed_row(&E, 1, dst.data(), 65536);
  for (uint32_t h = 0; h < 65536; ++h)
    ASSERT_EQ(bits(dst[h]), bits(half_to_float(static_cast<uint16_t>(h)))) << std::hex << h;

  std::vector<float> f(3 * 5);
  for (size_t i = 0; i < f.size(); ++i) f[i] = kt::from_bits(0x7FA00000u + static_cast<uint32_t>(i));
  TensorEntry F{};
  F.data_f32 = f.data();
  std::vector<float> row(5);
  embed_row(&F, 2, row.data(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(bits(row[i]), bits(f[10 + i]));
}

TEST(EmbedRow, EveryVectorPathMatchesScalar) {
  std::vector<Isa> isas;
  for (Isa isa : {Isa::Avx2, Isa::Avx512, Isa::Neon})
    if (detail::embed_row_kernel(isa)) isas.push_back(isa);
  if (isas.empty()) GTEST_SKIP() << "no vector embedding path on this processor";
  const detail::EmbedFn scalar = detail::embed_row_kernel(Isa::Scalar);
  uint64_t seed = 900;
  for (uint8_t t : kTypes)
    for (int32_t dim : {1, 7, 16, 31, 32, 33, 64, 100, 2048}) {
      seed += 2;
      Matrix m = kt::random_matrix(t, 3, dim, seed, seed % 5);
      std::vector<float> unused(dim);
      make_wild(m, unused, seed);
      for (int64_t row = 0; row < 3; ++row) {
        std::vector<float> want(static_cast<size_t>(dim) + 1, -5.0f), got(want);
        scalar(m.tensor(), row, want.data(), dim);
        for (Isa isa : isas) {
          detail::embed_row_kernel(isa)(m.tensor(), row, got.data(), dim);
          ASSERT_EQ(kt::first_difference(want.data(), got.data(), dim + 1), -1)
              << isa_name(isa) << " " << kt::dtype_name(t) << " dim=" << dim << " row=" << row;
        }
      }
    }
}

// The pool exists once per process, so each size runs in a child process:
// every kernel through matvec must give the scalar bits over rows cut into
// chunks by any number of participants.
int mismatches_under_pool() {
  int bad = 0;
  const detail::MvKernels* scalar = detail::mv_kernels(Isa::Scalar);
  uint64_t seed = 500;
  for (uint8_t t : kTypes)
    for (int32_t K : {7, 36, 64, 2048})
      for (int32_t rows : {1, 16, 17, 100, 1000}) {
        if (t == DTYPE_Q8 && K % 32) continue;
        Matrix m = kt::random_matrix(t, rows, K, ++seed);
        const auto x = kt::random_vector(K, ++seed);
        const auto want = run(kernel_of(scalar, t), m, x.data(), rows);
        std::vector<float> got(static_cast<size_t>(rows) + 1, -7.0f);
        matvec(m.tensor(), x.data(), got.data(), rows, K);
        const int64_t d = kt::first_difference(want.data(), got.data(), rows + 1);
        if (d >= 0) {
          std::fprintf(stderr, "%s K=%d rows=%d: y[%lld] differs\n", kt::dtype_name(t).c_str(), K, rows,
                       static_cast<long long>(d));
          ++bad;
        }
      }
  return bad;
}

// Shared-input and paired jobs: every product's rows must carry the bits of
// its own kernel run alone, the slices of different products must not spill
// into each other's outputs, and a paired job's function must see both rows.
void pair_after(float* a, const float* b, int64_t n) {
  for (int64_t i = 0; i < n; ++i) a[i] = a[i] - 2.0f * b[i];
}

int joint_mismatches() {
  int bad = 0;
  const detail::MvKernels* scalar = detail::mv_kernels(Isa::Scalar);
  uint64_t seed = 900;
  auto check = [&](const char* what, const std::vector<float>& want, const std::vector<float>& got) {
    const int64_t d = kt::first_difference(want.data(), got.data(), static_cast<int64_t>(want.size()));
    if (d >= 0) {
      std::fprintf(stderr, "%s: y[%lld] differs\n", what, static_cast<long long>(d));
      ++bad;
    }
  };
  for (int32_t K : {64, 2048}) {
    // Row counts: none, one slice exactly, ragged, many slices; storages mixed.
    const uint8_t types[MV_MAX_PRODUCTS] = {DTYPE_Q8, DTYPE_F32, DTYPE_F16, DTYPE_Q8};
    const int32_t rows[MV_MAX_PRODUCTS] = {1000, 0, 17, 16};
    std::vector<Matrix> m;
    for (int i = 0; i < MV_MAX_PRODUCTS; ++i) m.push_back(kt::random_matrix(types[i], rows[i], K, ++seed));
    const auto x = kt::random_vector(K, ++seed);
    std::vector<std::vector<float>> got(MV_MAX_PRODUCTS);
    MvProduct prods[MV_MAX_PRODUCTS];
    for (int i = 0; i < MV_MAX_PRODUCTS; ++i) {
      got[i].assign(static_cast<size_t>(rows[i]) + 1, -7.0f);
      prods[i] = {m[i].tensor(), got[i].data(), rows[i]};
    }
    matvec_shared_input(prods, x.data(), K);
    for (int i = 0; i < MV_MAX_PRODUCTS; ++i)
      check("shared input", run(kernel_of(scalar, types[i]), m[i], x.data(), std::max(rows[i], 1)), got[i]);

    for (int32_t n : {5, 16, 1000}) {
      Matrix a = kt::random_matrix(DTYPE_Q8, n, K, ++seed), b = kt::random_matrix(DTYPE_F16, n, K, ++seed);
      std::vector<float> ya(static_cast<size_t>(n) + 1, -7.0f), yb(ya);
      matvec_pair(a.tensor(), b.tensor(), x.data(), ya.data(), yb.data(), n, K, pair_after);
      auto wa = run(scalar->q8, a, x.data(), n);
      const auto wb = run(scalar->f16, b, x.data(), n);
      pair_after(wa.data(), wb.data(), n);
      check("pair, first", wa, ya);
      check("pair, second", wb, yb);
    }
  }
  return bad;
}

TEST(MatvecPool, ResultsDoNotDependOnThePoolSize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int32_t n : {1, 2, 3, 8}) {
    EXPECT_EXIT(
        {
          pool_create(n);
          std::exit(P.n_threads == n && mismatches_under_pool() + joint_mismatches() == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << n << " participants";
  }
}

// A shared-input job holds at most MV_MAX_PRODUCTS products: a longer list
// must not compile, and a count outside 1 .. MV_MAX_PRODUCTS that reaches the
// body must end the process instead of leaving a product's output unwritten.
template <size_t N>
constexpr bool shares_one_job = requires(const MvProduct (&p)[N], const float* x) { matvec_shared_input(p, x, 0); };
static_assert(shares_one_job<1> && shares_one_job<MV_MAX_PRODUCTS>);
static_assert(!shares_one_job<MV_MAX_PRODUCTS + 1>);

TEST(MatvecPool, SharedInputJobRefusesACountItCannotHold) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Matrix m = kt::random_matrix(DTYPE_Q8, 16, 32, 77);
  const auto x = kt::random_vector(32, 78);
  std::vector<float> y(16 * (MV_MAX_PRODUCTS + 1));
  MvProduct prods[MV_MAX_PRODUCTS + 1];
  for (int i = 0; i <= MV_MAX_PRODUCTS; ++i) prods[i] = {m.tensor(), y.data() + 16 * i, 16};
  for (int32_t n : {MV_MAX_PRODUCTS + 1, 0, -1})
    EXPECT_EXIT(detail::matvec_shared_n(prods, n, x.data(), 32), testing::ExitedWithCode(1),
                "shared-input job count out of range")
        << n << " products";
}

}  // namespace
