// Batched products: every vector pool kernel against the scalar one bit for
// bit, the shared dot product's summation order on hand-built inputs, both
// paths against a double-precision reference, the choice of path, the
// acceleration switch, the panel buffers, the input-size limit, and every
// panel micro-kernel giving the pool kernels' bits whatever the pool size.
// Anything that depends on process-wide state runs in a fresh child process.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_fixtures.h"
#include "kernels/matmat.h"
#include "kernels/matmat_panel.h"
#include "runtime/pool.h"

namespace {

using kt::bits;
using kt::Matrix;

const uint8_t kTypes[] = {DTYPE_Q8, DTYPE_F16, DTYPE_F32};

class Fresh : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

RangeFn kernel_of(const detail::MmKernels* k, uint8_t t) {
  return t == DTYPE_Q8 ? k->q8 : t == DTYPE_F16 ? k->f16 : k->f32;
}

std::vector<Isa> vector_isas() {
  std::vector<Isa> out;
  for (Isa isa : {Isa::Avx2, Isa::Avx512, Isa::Neon})
    if (detail::mm_kernels(isa)) out.push_back(isa);
  return out;
}

// Y = X . W^T through one kernel over the outputs in pieces; Y has a sentinel past its end.
std::vector<float> run(RangeFn fn, const Matrix& w, const float* X, int32_t M, int32_t piece) {
  const int32_t N = w.rows;
  std::vector<float> Y(static_cast<size_t>(M > 0 ? M : 0) * N + 1, -7.0f);
  MatJob job{w.data(), X, Y.data(), M, N, w.K};
  for (int32_t s = 0; s < N; s += piece) fn(&job, s, std::min(s + piece, N));
  return Y;
}

std::vector<float> pool_reference(const Matrix& w, const float* X, int32_t M) {
  return run(kernel_of(detail::mm_kernels(Isa::Scalar), w.dtype), w, X, M, w.rows);
}

void make_wild(Matrix& m, std::vector<float>& X, uint64_t seed) {
  olvt::Rng rng(seed);
  const float specials[] = {0.0f, -0.0f, 1e-45f, -1e-40f, INFINITY, -INFINITY, NAN, 65504.0f, 6e-8f};
  for (auto& v : X)
    if (rng.next() % 13 == 0) v = specials[rng.next() % 9];
  for (int32_t r = 0; r < m.rows; ++r) {
    if (m.dtype == DTYPE_Q8) {
      for (int32_t b = 0; b < m.K / 32; ++b) {
        if (rng.next() % 5) continue;
        int8_t q[32];
        for (int j = 0; j < 32; ++j) q[j] = static_cast<int8_t>(rng.next());
        const float scales[] = {-0.0f, 1e-45f, 3e36f, NAN, INFINITY};
        m.set_block(r, b, scales[rng.next() % 5], q);
      }
    } else {
      for (int32_t k = 0; k < m.K; ++k) {
        if (rng.next() % 7) continue;
        if (m.dtype == DTYPE_F16)
          m.set_half(r, k, static_cast<uint16_t>(rng.next()));
        else
          m.set(r, k, specials[rng.next() % 9]);
      }
    }
  }
}

// A random product of one storage type and its result from the scalar pool
// kernels, drawn from seed (wild: special values mixed into weights and inputs).
struct RandomProduct {
  Matrix w;
  std::vector<float> X;
  std::vector<float> want;
  RandomProduct(uint8_t t, int32_t M, int32_t N, int32_t K, uint64_t seed, bool wild)
      : w(kt::random_matrix(t, N, K, seed, seed % 7)), X(kt::random_vector(static_cast<int64_t>(M) * K, seed + 1)) {
    if (wild) make_wild(w, X, seed);
    want = pool_reference(w, X.data(), M);
  }
};

// arm64 always has NEON, so its build must run it rather than the portable path.
TEST(MatmatPaths, TheDispatchRunsTheWidestPathOfTheProcessor) {
#if defined(__aarch64__)
  EXPECT_EQ(best_isa(), Isa::Neon);
  EXPECT_NE(detail::mm_kernels(Isa::Neon), nullptr);
  ASSERT_NE(detail::panel_kernel(Isa::Neon), nullptr);
  EXPECT_NE(detail::panel_kernel(Isa::Neon), detail::panel_kernel(Isa::Scalar));
#else
  EXPECT_EQ(detail::mm_kernels(Isa::Neon), nullptr);
  EXPECT_EQ(detail::panel_kernel(Isa::Neon), nullptr);
#endif
  EXPECT_NE(detail::mm_kernels(best_isa()), nullptr);
  EXPECT_NE(detail::panel_kernel(best_isa()), nullptr);
}

TEST(MatmatPaths, EveryVectorKernelMatchesScalarBitForBit) {
  const auto isas = vector_isas();
  if (isas.empty()) GTEST_SKIP() << "no vector path on this processor";
  struct Shape {
    int32_t M, N, K;
  };
  std::vector<Shape> shapes;
  for (int32_t K : {0, 1, 2, 3, 4, 7, 15, 16, 17, 32, 35, 36, 64, 100, 1000})
    for (int32_t M : {0, 1, 3, 4, 5, 7, 8, 9})
      for (int32_t N : {1, 9, 33}) shapes.push_back({M, N, K});
  for (int32_t M : {1, 6}) shapes.push_back({M, 10, 8192});
  uint64_t seed = 1;
  for (bool wild : {false, true})
    for (uint8_t t : kTypes)
      for (const Shape& s : shapes) {
        if (t == DTYPE_Q8 && s.K % 32) continue;
        seed += 2;
        const RandomProduct p(t, s.M, s.N, s.K, seed, wild);
        const auto& want = p.want;
        for (Isa isa : isas)
          for (int32_t piece : {s.N, 3, 8}) {
            const auto got = run(kernel_of(detail::mm_kernels(isa), t), p.w, p.X.data(), s.M, piece);
            const int64_t d = kt::first_difference(want.data(), got.data(), static_cast<int64_t>(want.size()));
            ASSERT_EQ(d, -1) << isa_name(isa) << " " << kt::dtype_name(t) << " M=" << s.M << " N=" << s.N
                             << " K=" << s.K << " piece=" << piece << (wild ? " wild" : "") << ": Y[" << d
                             << "] " << got[d] << " vs scalar " << want[d];
          }
      }
}

TEST(MatmatPaths, EveryVectorExpansionMatchesScalar) {
  const auto isas = vector_isas();
  if (isas.empty()) GTEST_SKIP() << "no vector path on this processor";
  const detail::MmKernels* scalar = detail::mm_kernels(Isa::Scalar);
  // Rows back to back (nr = 1) and packed in groups, the last one partial.
  for (int32_t K : {32, 96, 8192})
    for (int32_t nr : {1, 6}) {
      Matrix q = kt::random_matrix(DTYPE_Q8, 5, K, K + 1);
      std::vector<float> X;
      make_wild(q, X, 3);
      std::vector<float> want((5 + nr - 1) / nr * nr * detail::packed_len(K), -1.0f), got(want);
      scalar->expand_q8(static_cast<const uint8_t*>(q.data()), 5, K, want.data(), nr);
      for (Isa isa : isas) {
        std::fill(got.begin(), got.end(), -1.0f);
        detail::mm_kernels(isa)->expand_q8(static_cast<const uint8_t*>(q.data()), 5, K, got.data(), nr);
        ASSERT_EQ(kt::first_difference(want.data(), got.data(), static_cast<int64_t>(want.size())), -1)
            << isa_name(isa) << " q8 K=" << K << " nr=" << nr;
      }
    }
  // Every half pattern, in rows whose lengths leave each kind of tail, one
  // row alone and two packed in a group of three.
  std::vector<uint16_t> halves(65536 + 40);
  for (size_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<uint16_t>(i * 40503u);
  for (int32_t K : {0, 7, 8, 15, 31, 65536 + 39})
    for (int32_t nr : {1, 3}) {
      const int64_t rows = nr == 1 || 2 * K + 1 > static_cast<int64_t>(halves.size()) ? 1 : 2;
      std::vector<float> want(static_cast<size_t>(nr * detail::packed_len(K)) + 1, -1.0f), got(want);
      scalar->expand_f16(halves.data() + 1, rows, K, want.data(), nr);
      for (Isa isa : isas) {
        std::fill(got.begin(), got.end(), -1.0f);
        detail::mm_kernels(isa)->expand_f16(halves.data() + 1, rows, K, got.data(), nr);
        ASSERT_EQ(kt::first_difference(want.data(), got.data(), static_cast<int64_t>(want.size())), -1)
            << isa_name(isa) << " f16 K=" << K << " nr=" << nr;
      }
    }
}

TEST(MatmatPool, StoragesGiveTheSameBitsForEqualWeights) {
  uint64_t seed = 40;
  for (int32_t K : {4, 7, 15, 35, 36, 100, 8192}) {
    Matrix h = kt::random_matrix(DTYPE_F16, 9, K, ++seed);
    Matrix f = kt::convert(h, DTYPE_F32);
    const auto X = kt::random_vector(7 * K, ++seed);
    std::vector<float> yh(7 * 9), yf(7 * 9);
    matmat_t(h.tensor(), X.data(), yh.data(), 7, 9, K);
    matmat_t(f.tensor(), X.data(), yf.data(), 7, 9, K);
    ASSERT_EQ(kt::first_difference(yh.data(), yf.data(), 63), -1) << "f16 vs f32, K=" << K;
    if (K % 32) continue;
    Matrix q = kt::random_matrix(DTYPE_Q8, 9, K, ++seed);
    Matrix qf = kt::convert(q, DTYPE_F32);
    std::vector<float> yq(63), yqf(63);
    matmat_t(q.tensor(), X.data(), yq.data(), 7, 9, K);
    matmat_t(qf.tensor(), X.data(), yqf.data(), 7, 9, K);
    ASSERT_EQ(kt::first_difference(yq.data(), yqf.data(), 63), -1) << "q8 vs f32, K=" << K;
  }
}

TEST(MatmatPool, RowsGroupedByFourGiveTheBitsOfSingleRows) {
  for (uint8_t t : kTypes) {
    const int32_t K = 96;
    Matrix w = kt::random_matrix(t, 11, K, 7);
    const auto X = kt::random_vector(7 * K, 8);
    std::vector<float> all(7 * 11), one(11);
    matmat_t(w.tensor(), X.data(), all.data(), 7, 11, K);
    for (int r = 0; r < 7; ++r) {
      matmat_t(w.tensor(), X.data() + r * K, one.data(), 1, 11, K);
      ASSERT_EQ(kt::first_difference(one.data(), all.data() + r * 11, 11), -1) << kt::dtype_name(t) << " row " << r;
    }
  }
}

constexpr float kBig = 16777216.0f;  // 2^24: adding 1 rounds back to it

// One output of a one-row pool product with weights of 0 and 1 (exact in every
// storage) and x = 1 except x[0] = 2^24.
float one_output(uint8_t t, int32_t K, std::initializer_list<int> ones) {
  Matrix m(t, 1, K, kt::matrix_bytes(t, 1, K), t == DTYPE_F32 ? 4 : 2);
  if (t == DTYPE_Q8) {
    for (int b = 0; b < K / 32; ++b) {
      int8_t q[32] = {};
      for (int k : ones)
        if (k / 32 == b) q[k % 32] = 1;
      m.set_block(0, b, 1.0f, q);
    }
  } else {
    for (int k = 0; k < K; ++k) m.set(0, k, 0.0f);
    for (int k : ones) m.set(0, k, 1.0f);
  }
  std::vector<float> x(K, 1.0f);
  x[0] = kBig;
  float y = -99.0f;
  matmat_t(m.tensor(), x.data(), &y, 1, 1, K);
  return y;
}

TEST(MatmatOrder, DotProductSumsInItsFixedOrder) {
  struct Case {
    int32_t K;
    std::initializer_list<int> ones;
    float want;
    const char* why;
  } cases[] = {
      {32, {0, 8, 12}, kBig + 2, "accumulators always combined (A0+A1)+(A2+A3)"},
      {36, {0, 34, 35}, kBig + 2, "four-input step seeded with the sum in lane 0"},
      {35, {0, 33, 34}, kBig, "no four-input step, three fused single steps"},
      {15, {0, 13, 14}, kBig, "K=15: single steps after three four-input steps"},
      {15, {0, 6, 11}, kBig + 2, "K=15: four-input steps start from +0 in every lane"},
      {3, {0, 1, 2}, kBig, "K=3: a chain"},
  };
  for (const auto& c : cases)
    for (uint8_t t : kTypes) {
      if (t == DTYPE_Q8 && c.K % 32) continue;
      EXPECT_EQ(one_output(t, c.K, c.ones), c.want) << kt::dtype_name(t) << " K=" << c.K << ": " << c.why;
    }
}

TEST(MatmatOrder, F32BelowFourInputsStartsFromAPlainProduct) {
  for (int32_t K : {1, 2, 3}) {
    std::vector<float> x(K, 1.0f), w(K, -0.0f);
    TensorEntry f{};
    f.data_f32 = w.data();
    float y = 1.0f;
    matmat_t(&f, x.data(), &y, 1, 1, K);
    EXPECT_EQ(bits(y), 0x80000000u) << "f32 keeps -0.0, K=" << K;
    std::vector<uint16_t> h(K, 0x8000);
    TensorEntry e{};
    e.data_f16 = h.data();
    matmat_t(&e, x.data(), &y, 1, 1, K);
    EXPECT_EQ(bits(y), 0u) << "f16 fuses onto +0.0, K=" << K;
  }
}

TEST(Matmat, BothPathsAgreeWithDoublePrecisionReference) {
  uint64_t seed = 900;
  for (uint8_t t : kTypes)
    for (int32_t K : {1, 32, 100, 8192})
      for (int32_t M : {5, 16, 33}) {
        if (t == DTYPE_Q8 && K % 32) continue;
        const int32_t N = K == 8192 ? 20 : 70;
        Matrix w = kt::random_matrix(t, N, K, ++seed);
        const auto X = kt::random_vector(static_cast<int64_t>(M) * K, ++seed);
        std::vector<float> Y(static_cast<size_t>(M) * N + 1, -7.0f);
        matmat_t(w.tensor(), X.data(), Y.data(), M, N, K);
        for (int32_t r = 0; r < M; ++r)
          for (int32_t o = 0; o < N; ++o) {
            const auto ref = kt::ref_dot(&X[static_cast<size_t>(r) * K], &w.value[static_cast<size_t>(o) * K], K);
            ASSERT_NEAR(Y[static_cast<size_t>(r) * N + o], ref.value, ref.bound)
                << kt::dtype_name(t) << " M=" << M << " K=" << K << " r=" << r << " o=" << o;
          }
        EXPECT_EQ(Y.back(), -7.0f);
      }
}

TEST(Matmat, EmptyInputsGiveZerosOnBothPaths) {
  for (uint8_t t : kTypes)
    for (int32_t M : {3, 16}) {
      Matrix w(t, 5, 0, 0, 0);
      std::vector<float> X(1), Y(static_cast<size_t>(M) * 5, -1.0f);
      matmat_t(w.tensor(), X.data(), Y.data(), M, 5, 0);
      for (float v : Y) ASSERT_EQ(bits(v), 0u) << kt::dtype_name(t) << " M=" << M;
    }
}

const void* no_access_page() {
  static void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p;
}

TEST_F(Fresh, InputSizeAboveTheRowBufferIsFatal) {
  for (uint8_t t : kTypes)
    for (int32_t M : {1, 16}) {
      TensorEntry w{};
      if (t == DTYPE_Q8) w.data_q8 = static_cast<const uint8_t*>(no_access_page());
      if (t == DTYPE_F16) w.data_f16 = static_cast<const uint16_t*>(no_access_page());
      if (t == DTYPE_F32) w.data_f32 = static_cast<const float*>(no_access_page());
      const float* X = static_cast<const float*>(no_access_page());
      EXPECT_EXIT(matmat_t(&w, X, nullptr, M, 4, 8193), testing::ExitedWithCode(1),
                  "^FATAL: matmat: in-dim exceeds row buffer\n$")
          << kt::dtype_name(t) << " M=" << M;
      const MatProduct two[2] = {{&w, nullptr, 4}, {&w, nullptr, 4}};
      EXPECT_EXIT(matmat_shared_input(two, 2, X, M, 8193), testing::ExitedWithCode(1),
                  "^FATAL: matmat: in-dim exceeds row buffer\n$")
          << kt::dtype_name(t) << " M=" << M << " shared";
    }
}

// Products through matmat_t that must take the pool path, checked against the scalar kernels.
bool pool_path_taken(uint8_t t, int32_t M, int32_t N, int32_t K, uint64_t seed) {
  Matrix w = kt::random_matrix(t, N, K, seed);
  const auto X = kt::random_vector(static_cast<int64_t>(M) * K, seed + 1);
  const auto want = pool_reference(w, X.data(), M);
  std::vector<float> Y(want.size(), -7.0f);
  matmat_t(w.tensor(), X.data(), Y.data(), M, N, K);
  return kt::first_difference(want.data(), Y.data(), static_cast<int64_t>(Y.size())) < 0;
}

void product(uint8_t t, int32_t M, int32_t N, int32_t K) {
  Matrix w = kt::random_matrix(t, N, K, 3);
  const auto X = kt::random_vector(static_cast<int64_t>(M) * K, 4);
  std::vector<float> Y(static_cast<size_t>(M) * N);
  matmat_t(w.tensor(), X.data(), Y.data(), M, N, K);
}

#define CHECK_OR_EXIT(cond)                                              \
  do {                                                                   \
    if (!(cond)) {                                                       \
      std::fprintf(stderr, "line %d: %s failed\n", __LINE__, #cond);    \
      std::exit(1);                                                      \
    }                                                                    \
  } while (0)

// Runs body in a child process on a fresh pool of each size, with the switch
// unset; the body exits 1 with a message on a mismatch, and the child passes
// when it returns and its standard error matches stderr_pattern.
template <class Body>
void in_each_pool_size(const char* stderr_pattern, Body body) {
  for (int32_t n : {1, 2, 3, 8}) {
    EXPECT_EXIT(
        {
          unsetenv("OLVU_NO_ACCEL");
          pool_create(n);
          CHECK_OR_EXIT(P.n_threads == n);
          body();
          std::exit(0);
        },
        testing::ExitedWithCode(0), stderr_pattern)
        << n << " participants";
  }
}

// Both paths give the pool kernels' bits, so the path taken shows only in the
// panel buffers: they exist once a q8 or f16 product has taken the panel path.
TEST_F(Fresh, SixteenRowsTakeThePanelPathFifteenThePool) {
  EXPECT_EXIT(
      {
        unsetenv("OLVU_NO_ACCEL");
        CHECK_OR_EXIT(pool_path_taken(DTYPE_Q8, 15, 24, 64, 1));
        CHECK_OR_EXIT(detail::panel_capacity() == 0);
        CHECK_OR_EXIT(accel_on() == 1);
        // f32 weights are read in place, except by a lane-form kernel, which
        // transposes them tile by tile.
        CHECK_OR_EXIT(pool_path_taken(DTYPE_F32, 16, 200, 64, 2));
        CHECK_OR_EXIT((detail::panel_capacity() == 0) == !detail::panel_kernel(best_isa())->lanes);
        CHECK_OR_EXIT(pool_path_taken(DTYPE_Q8, 16, 24, 64, 3));
        CHECK_OR_EXIT(detail::panel_capacity() >= static_cast<uint64_t>(detail::panel_kernel(best_isa())->nr) * 64);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(Fresh, PanelBuffersGrowToTheLargestTileAndAreKept) {
  EXPECT_EXIT(
      {
        unsetenv("OLVU_NO_ACCEL");
        product(DTYPE_F16, 16, 30, 64);
        const uint64_t small = detail::panel_capacity();
        CHECK_OR_EXIT(small >= 64);
        product(DTYPE_F16, 16, 6, 64);
        CHECK_OR_EXIT(detail::panel_capacity() == small);
        product(DTYPE_Q8, 16, 30, 2048);
        const uint64_t large = detail::panel_capacity();
        CHECK_OR_EXIT(large > small && large >= 30 * 2048);  // the 30 rows of 2048 in one tile
        product(DTYPE_F16, 16, 30, 64);
        CHECK_OR_EXIT(detail::panel_capacity() == large);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(Fresh, FailedPanelAllocationFallsBackToThePoolSilently) {
  EXPECT_EXIT(
      {
        unsetenv("OLVU_NO_ACCEL");
        product(DTYPE_F16, 16, 10, 32);
        CHECK_OR_EXIT(detail::panel_capacity() > 0);
        detail::fail_next_panel_allocation();
        CHECK_OR_EXIT(pool_path_taken(DTYPE_Q8, 16, 20, 4096, 5));
        CHECK_OR_EXIT(detail::panel_capacity() == 0);
        CHECK_OR_EXIT(pool_path_taken(DTYPE_Q8, 16, 20, 32, 6));
        CHECK_OR_EXIT(detail::panel_capacity() > 0);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST_F(Fresh, NoAccelEvenWhenEmptyTurnsThePanelPathOffForTheProcess) {
  EXPECT_EXIT(
      {
        setenv("OLVU_NO_ACCEL", "", 1);
        CHECK_OR_EXIT(pool_path_taken(DTYPE_Q8, 16, 24, 64, 1));
        unsetenv("OLVU_NO_ACCEL");
        CHECK_OR_EXIT(pool_path_taken(DTYPE_F16, 40, 24, 64, 2));
        CHECK_OR_EXIT(detail::panel_capacity() == 0);
        CHECK_OR_EXIT(accel_on() == 0);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(Fresh, FirstProductDecidesTheSwitchWhateverItsRows) {
  EXPECT_EXIT(
      {
        unsetenv("OLVU_NO_ACCEL");
        product(DTYPE_F32, 1, 4, 8);
        setenv("OLVU_NO_ACCEL", "1", 1);
        product(DTYPE_Q8, 16, 4, 32);
        CHECK_OR_EXIT(detail::panel_capacity() > 0);
        CHECK_OR_EXIT(accel_on() == 1);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// Shapes for the panel product: K with every kind of tail past the 16-input
// steps, N below, at and above a group of weight rows and a tile, M with
// every remainder of a block of rows.
struct Shape {
  int32_t M, N, K;
};

std::vector<Shape> panel_shapes() {
  std::vector<Shape> out;
  for (int32_t K : {16, 17, 20, 31, 35, 36, 64, 100, 2048 + 13})
    for (int32_t N : {1, 5, 6, 7, 13})
      for (int32_t M : {16, 17, 35}) out.push_back({M, N, K});
  for (int32_t M : {16, 17, 35, 64, 513}) out.push_back({M, 130, 64});
  // Row blocks of every height a kernel has, below 16 rows only through
  // panel_product itself.
  for (int32_t K : {20, 100, 2048 + 13})
    for (int32_t M : {1, 2, 3, 4}) out.push_back({M, 130, K});
  out.push_back({64, 700, 2048});
  out.push_back({19, 40, 8192});
  return out;
}

// The first shape whose panel product with this kernel differs from the
// scalar pool kernels anywhere, or -1.
int panel_mismatch(const detail::PanelKernel* kern, const std::vector<Shape>& shapes, uint64_t seed, bool wild,
                   std::string* what) {
  for (size_t i = 0; i < shapes.size(); ++i) {
    const Shape& s = shapes[i];
    for (uint8_t t : kTypes) {
      if (t == DTYPE_Q8 && s.K % 32) continue;
      seed += 2;
      const RandomProduct p(t, s.M, s.N, s.K, seed, wild);
      const auto& want = p.want;
      std::vector<float> Y(want.size(), -7.0f);
      if (!detail::panel_product(p.w.tensor(), p.X.data(), Y.data(), s.M, s.N, s.K, kern)) {
        *what = "refused";
      } else {
        const int64_t d = kt::first_difference(want.data(), Y.data(), static_cast<int64_t>(Y.size()));
        if (d < 0) continue;
        *what = "Y[" + std::to_string(d) + "] " + std::to_string(Y[d]) + " vs " + std::to_string(want[d]);
      }
      *what += " " + kt::dtype_name(t) + " M=" + std::to_string(s.M) + " N=" + std::to_string(s.N) +
               " K=" + std::to_string(s.K) + (wild ? " wild" : "");
      return static_cast<int>(i);
    }
  }
  return -1;
}

TEST(MatmatPanel, EveryMicroKernelGivesThePoolKernelsBits) {
  const auto shapes = panel_shapes();
  for (Isa isa : {Isa::Scalar, Isa::Avx2, Isa::Avx512, Isa::Neon}) {
    const detail::PanelKernel* kern = detail::panel_kernel(isa);
    if (!kern) continue;
    for (bool wild : {false, true}) {
      std::string what;
      EXPECT_EQ(panel_mismatch(kern, shapes, 11, wild, &what), -1) << isa_name(isa) << ": " << what;
    }
  }
}

TEST(MatmatPanel, ShortRowsAndEmptyProductsAreLeftToThePoolKernels) {
  Matrix w = kt::random_matrix(DTYPE_F32, 8, 15, 1);
  const auto X = kt::random_vector(16 * 15, 2);
  std::vector<float> Y(16 * 8, -7.0f);
  EXPECT_FALSE(detail::panel_product(w.tensor(), X.data(), Y.data(), 16, 8, 15));
  EXPECT_FALSE(detail::panel_product(w.tensor(), X.data(), Y.data(), 16, 0, 16));
  for (float v : Y) EXPECT_EQ(v, -7.0f);
}

// The panel product at every pool size, tiles cut for that size, against the
// scalar pool kernels bit for bit, through matmat_t.
TEST_F(Fresh, PanelProductGivesThePoolKernelsBitsWithEveryPoolSize) {
  std::vector<Shape> shapes = panel_shapes();
  shapes.push_back({16, 2048, 2048});
  shapes.push_back({48, 6144, 256});
  in_each_pool_size("", [&] {
    uint64_t seed = 500;
    for (const Shape& s : shapes)
      for (uint8_t t : kTypes) {
        if (t == DTYPE_Q8 && s.K % 32) continue;
        seed += 2;
        if (!pool_path_taken(t, s.M, s.N, s.K, seed)) {
          std::fprintf(stderr, "%s M=%d N=%d K=%d differs\n", kt::dtype_name(t).c_str(), s.M, s.N, s.K);
          std::exit(1);
        }
      }
    CHECK_OR_EXIT(detail::panel_capacity() > 0);
  });
}

// Products of one input in one job: every product gets the scalar pool
// kernels' bits whatever the pool size, the mix of storage types and the way
// its tiles fall among the others' (tiny products beside large ones, products
// of under one group, one-tile products in turns of in-place and expanded
// weights, so that the tile a participant fetches ahead belongs to another
// product), and failed panel allocations send all of them to the pool path
// without a word.
TEST_F(Fresh, SharedInputProductsGiveThePoolKernelsBitsWithEveryPoolSize) {
  struct Group {
    int32_t M, K;
    std::vector<std::pair<uint8_t, int32_t>> products;  // storage, N
  };
  const std::vector<Group> groups = {
      {16, 64, {{DTYPE_Q8, 700}, {DTYPE_Q8, 13}, {DTYPE_Q8, 1}, {DTYPE_Q8, 6}}},
      {35, 2048, {{DTYPE_Q8, 512}, {DTYPE_F16, 130}, {DTYPE_F32, 16}, {DTYPE_Q8, 16}}},
      {513, 96, {{DTYPE_F32, 40}, {DTYPE_F16, 7}}},
      {17, 100, {{DTYPE_F16, 300}, {DTYPE_F32, 5}, {DTYPE_F16, 1}}},
      {15, 64, {{DTYPE_Q8, 24}, {DTYPE_F16, 9}}},  // below 16 rows: the pool path
      {64, 6144, {{DTYPE_Q8, 200}}},
      {35, 2048, {{DTYPE_F32, 6}, {DTYPE_Q8, 7}, {DTYPE_F16, 6}, {DTYPE_Q8, 1}}},
  };
  in_each_pool_size("^$", [&] {
    uint64_t seed = 900;
    for (int failing : {1, 0})  // first while no panel buffer exists, so every growth fails
      for (const Group& g : groups) {
        std::vector<RandomProduct> ps;
        for (const auto& [t, N] : g.products) ps.emplace_back(t, 1, N, g.K, seed += 2, false);
        const auto X = kt::random_vector(static_cast<int64_t>(g.M) * g.K, seed += 2);
        std::vector<std::vector<float>> Y;
        std::vector<MatProduct> mp;
        for (auto& p : ps) Y.emplace_back(static_cast<size_t>(g.M) * p.w.rows + 1, -7.0f);
        for (size_t i = 0; i < ps.size(); ++i) mp.push_back({ps[i].w.tensor(), Y[i].data(), ps[i].w.rows});
        if (failing) detail::fail_next_panel_allocation();
        matmat_shared_input(mp.data(), static_cast<int32_t>(mp.size()), X.data(), g.M, g.K);
        for (size_t i = 0; i < ps.size(); ++i) {
          const auto want = pool_reference(ps[i].w, X.data(), g.M);
          if (kt::first_difference(want.data(), Y[i].data(), static_cast<int64_t>(want.size())) >= 0) {
            std::fprintf(stderr, "M=%d K=%d product %zu differs%s\n", g.M, g.K, i, failing ? " (no panel)" : "");
            std::exit(1);
          }
        }
        if (failing && g.M >= 16) CHECK_OR_EXIT(detail::panel_capacity() == 0);
      }
  });
}

}  // namespace
