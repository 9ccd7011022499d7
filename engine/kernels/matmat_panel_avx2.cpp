// The panel product's micro-kernel for AVX2 with FMA, in the lane form: the
// inputs and the weights are repacked lane by lane, so that each of an
// output's sixteen lane sums runs along contiguous memory, and the kernel
// takes the outer-product shape of a BLAS kernel: 6 input rows x 16 weight
// rows, 12 accumulators; per step two weight loads and six broadcasts feed 12
// multiply-adds, and each weight line serves six rows. Lane l of every output
// is still summed in input order from +0 by fused multiply-adds, then reduced
// in the fixed order, so the bits are those of the pool kernels.
//
// Why not the dot-product shape of the other sets: an output's sixteen lane
// sums take two eight-lane registers, so with 16 registers at most 3 input
// rows x 4 weight rows fit (summing lanes 0-7 and 8-15 in two passes), and
// each weight line then serves three rows and is read half at a time. One
// thread, AMD EPYC family 25 (Zen 3; 32 KiB L1, 512 KiB L2; peak 102.7
// GFLOP/s), 126 input rows x 32 weight rows, weights warm in the core's cache:
// that two-pass 3 x 4 kernel 74 GFLOP/s at K = 2048 and 66 at K = 6144; this
// 6 x 16 one 97 and 99. (Before it, the 2 x 3 kernel with both halves live:
// 42.) The price is the repacking: every weight group is transposed as it is
// expanded, and the input rows are packed once per product; at 16 input rows
// that costs about as much as the two-pass kernel's slower multiply, from 35
// rows on it is soon repaid. Prefill, 8 threads, same machine, two runs
// alternating with the two-pass kernel (ratio to the compute bound): 16 ids
// 0.37-0.41 -> 0.43-0.44, 35 0.50 -> 0.59, 64 0.54 -> 0.68, 128 0.55 ->
// 0.71-0.73, 512 0.58 -> 0.76, 2048 0.55-0.56 -> 0.70-0.73.
#include "kernels/matmat_panel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/half.h"
#include "kernels/matmat.h"

#define OLVU_AVX2 __attribute__((target("avx2,fma,f16c")))

namespace {

constexpr int32_t MR = 6, NR = 16;

// Floats from one lane's run of a packed group to the next: S steps and one
// of padding.
constexpr int64_t lane_run(int32_t S) { return static_cast<int64_t>(S + 1) * NR; }

template <int R>
OLVU_AVX2 void lane_rows(const float* xp, const float* wp, int32_t n, int32_t K, const float* const* x, float* y,
                         int64_t ldy) {
  const int32_t S = K / 16, K16 = 16 * S, tail = K - K16;
  // Lane sums: [lane][input row][weight row].
  alignas(32) float sums[16][R][16];
  for (int l = 0; l < 16; ++l) {
    __m256 acc[R][2];
#pragma GCC unroll 8
    for (int i = 0; i < R; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
    const float* xs = xp + static_cast<int64_t>(l) * S * R;
    const float* ws = wp + l * lane_run(S);
    for (int32_t s = 0; s < S; ++s, xs += R, ws += NR) {
      const __m256 w0 = _mm256_load_ps(ws), w1 = _mm256_load_ps(ws + 8);
#pragma GCC unroll 8
      for (int i = 0; i < R; ++i) {
        const __m256 xb = _mm256_broadcast_ss(xs + i);
        acc[i][0] = _mm256_fmadd_ps(xb, w0, acc[i][0]);
        acc[i][1] = _mm256_fmadd_ps(xb, w1, acc[i][1]);
      }
    }
#pragma GCC unroll 8
    for (int i = 0; i < R; ++i) {
      _mm256_store_ps(sums[l][i], acc[i][0]);
      _mm256_store_ps(sums[l][i] + 8, acc[i][1]);
    }
  }
  // The fixed reduction, sixteen weight rows at a time: with quarters
  // A_j = lanes 4j..4j+3, V_q = (A_0[q] + A_1[q]) + (A_2[q] + A_3[q]), then
  // (V_0 + V_1) + (V_2 + V_3).
  for (int i = 0; i < R; ++i) {
    alignas(32) float out[16];
    for (int h = 0; h < 16; h += 8) {
      __m256 V[4];
      for (int q = 0; q < 4; ++q)
        V[q] = _mm256_add_ps(_mm256_add_ps(_mm256_load_ps(sums[q][i] + h), _mm256_load_ps(sums[4 + q][i] + h)),
                             _mm256_add_ps(_mm256_load_ps(sums[8 + q][i] + h), _mm256_load_ps(sums[12 + q][i] + h)));
      const __m256 v = _mm256_add_ps(_mm256_add_ps(V[0], V[1]), _mm256_add_ps(V[2], V[3]));
      if (n == NR && !tail)
        _mm256_storeu_ps(y + i * ldy + h, v);
      else
        _mm256_store_ps(out + h, v);
    }
    if (n == NR && !tail) continue;
    for (int32_t j = 0; j < n; ++j)
      y[i * ldy + j] = tail ? detail::panel_finish(out[j], x[i] + K16, wp + 16 * lane_run(S) + j * 16, tail) : out[j];
  }
}

OLVU_AVX2 void lane_block(const float* xp, int32_t m, const float* wp, int32_t n, int32_t K, const float* const* x,
                          float* y, int64_t ldy) {
  switch (m) {
    case 1: lane_rows<1>(xp, wp, n, K, x, y, ldy); break;
    case 2: lane_rows<2>(xp, wp, n, K, x, y, ldy); break;
    case 3: lane_rows<3>(xp, wp, n, K, x, y, ldy); break;
    case 4: lane_rows<4>(xp, wp, n, K, x, y, ldy); break;
    case 5: lane_rows<5>(xp, wp, n, K, x, y, ldy); break;
    default: lane_rows<6>(xp, wp, n, K, x, y, ldy); break;
  }
}

// The 8 x 8 block r[0..8) (rows) turned into its columns, in place.
OLVU_AVX2 inline void transpose8(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// The m rows of a block, sixteen inputs at a time, turned into the sixteen
// lanes' runs by two 8 x 8 transposes. Each lane's m values are stored as
// eight floats, the extra ones landing on the next step's slots of the same
// lane, which that step then overwrites; where they would reach past the
// lane's run, the m values are stored one by one.
OLVU_AVX2 void pack_inputs(const float* X, int32_t m, int32_t K, float* xp) {
  const int32_t S = K / 16;
  const int32_t whole = S - (8 + m - 1) / m;  // steps before this one may store eight
  for (int32_t s = 0; s < S; ++s)
    for (int lh = 0; lh < 16; lh += 8) {
      __m256 r[8];
      for (int i = 0; i < 8; ++i)
        r[i] = i < m ? _mm256_loadu_ps(X + static_cast<int64_t>(i) * K + 16 * s + lh) : _mm256_setzero_ps();
      transpose8(r);
      for (int q = 0; q < 8; ++q) {
        float* at = xp + (static_cast<int64_t>(lh + q) * S + s) * m;
        if (s <= whole) {
          _mm256_storeu_ps(at, r[q]);
        } else {
          alignas(32) float v[8];
          _mm256_store_ps(v, r[q]);
          for (int i = 0; i < m; ++i) at[i] = v[i];
        }
      }
    }
}

// The first `steps` steps of a group's rows [0, rows) into the lane-major
// group wp of S steps, row j's inputs c .. c + 7 from load(j, c), rows past
// `rows` as zeros. The 8 x 8 blocks are turned into lanes in registers; each
// step writes one line of every lane's run.
template <class Load>
OLVU_AVX2 inline void transpose_steps(const Load& load, int32_t rows, int32_t steps, int32_t S, float* wp) {
  const int64_t lane = lane_run(S);
  for (int32_t s = 0; s < steps; ++s)
    for (int jh = 0; jh < NR; jh += 8)
      for (int lh = 0; lh < 16; lh += 8) {
        __m256 r[8];
        for (int q = 0; q < 8; ++q) r[q] = jh + q < rows ? load(jh + q, 16 * s + lh) : _mm256_setzero_ps();
        transpose8(r);
        for (int q = 0; q < 8; ++q) _mm256_store_ps(wp + (lh + q) * lane + static_cast<int64_t>(s) * NR + jh, r[q]);
      }
}

// The whole steps of 8 f32 rows into the lane-major group wp (at the rows'
// offset in it). Each register is loaded with four inputs of row q in its
// low half and the same four of row q + 4 in its high half, so a 4 x 4
// transpose within the halves gives each lane's eight rows: 16 shuffles per
// 64 weights instead of the 24 of a full 8 x 8 transpose.
OLVU_AVX2 void transpose_f32(const float* rows, int64_t K, int32_t S, float* wp) {
  const int64_t lane = lane_run(S);
  for (int32_t s = 0; s < S; ++s)
    for (int lq = 0; lq < 16; lq += 4) {
      __m256 t[4];
      for (int q = 0; q < 4; ++q) {
        const float* at = rows + q * K + 16 * s + lq;
        t[q] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(at)), _mm_loadu_ps(at + 4 * K), 1);
      }
      const __m256 u0 = _mm256_unpacklo_ps(t[0], t[1]), u1 = _mm256_unpackhi_ps(t[0], t[1]);
      const __m256 u2 = _mm256_unpacklo_ps(t[2], t[3]), u3 = _mm256_unpackhi_ps(t[2], t[3]);
      float* out = wp + lq * lane + static_cast<int64_t>(s) * NR;
      _mm256_store_ps(out, _mm256_shuffle_ps(u0, u2, 0x44));
      _mm256_store_ps(out + lane, _mm256_shuffle_ps(u0, u2, 0xEE));
      _mm256_store_ps(out + 2 * lane, _mm256_shuffle_ps(u1, u3, 0x44));
      _mm256_store_ps(out + 3 * lane, _mm256_shuffle_ps(u1, u3, 0xEE));
    }
}

// Row j's inputs c .. c + 7 of a group, for each storage.
struct LoadQ8 {
  const uint8_t* base;
  int64_t row_bytes;
  OLVU_AVX2 __m256 operator()(int32_t j, int32_t c) const {
    const uint8_t* blk = base + j * row_bytes + c / 32 * Q8_BLOCK_BYTES;
    float scale;
    int64_t eight;
    std::memcpy(&scale, blk, 4);
    std::memcpy(&eight, blk + 4 + c % 32, 8);
    return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_cvtsi64_si128(eight))), _mm256_set1_ps(scale));
  }
};
struct LoadF16 {
  const uint16_t* base;
  int64_t K;
  OLVU_AVX2 __m256 operator()(int32_t j, int32_t c) const {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(base + j * K + c)));
  }
};
struct LoadF32 {
  const float* base;
  int64_t K;
  OLVU_AVX2 __m256 operator()(int32_t j, int32_t c) const { return _mm256_loadu_ps(base + j * K + c); }
};

// Blocks [0, blocks) of 8 q8 rows into the lane-major group wp (at the
// rows' offset in it). The bytes are transposed before they are widened:
// three rounds of unpacks turn 8 rows x 32 bytes into the 32 columns of 8
// bytes, then each column is widened, converted and scaled by the rows'
// scales. Per 256 weights that is 24 byte unpacks instead of 96 float
// shuffles, and 8 row loads instead of 32.
OLVU_AVX2 void transpose_q8(const uint8_t* rows, int64_t row_bytes, int32_t blocks, int32_t S, float* wp) {
  const int64_t lane = lane_run(S);
  for (int32_t b = 0; b < blocks; ++b) {
    __m256i r[8];
    float sc[8];
    for (int q = 0; q < 8; ++q) {
      const uint8_t* blk = rows + q * row_bytes + static_cast<int64_t>(b) * Q8_BLOCK_BYTES;
      std::memcpy(&sc[q], blk, 4);
      r[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blk + 4));
    }
    const __m256 scale = _mm256_loadu_ps(sc);
    __m256i a[8], c[8];
    for (int q = 0; q < 4; ++q) {
      a[2 * q] = _mm256_unpacklo_epi8(r[2 * q], r[2 * q + 1]);
      a[2 * q + 1] = _mm256_unpackhi_epi8(r[2 * q], r[2 * q + 1]);
    }
    // bq: columns 4q .. 4q + 3 of rows 0-3 (q < 4) or rows 4-7 (q >= 4).
    __m256i bq[8];
    for (int h = 0; h < 2; ++h) {
      bq[4 * h + 0] = _mm256_unpacklo_epi16(a[4 * h + 0], a[4 * h + 2]);
      bq[4 * h + 1] = _mm256_unpackhi_epi16(a[4 * h + 0], a[4 * h + 2]);
      bq[4 * h + 2] = _mm256_unpacklo_epi16(a[4 * h + 1], a[4 * h + 3]);
      bq[4 * h + 3] = _mm256_unpackhi_epi16(a[4 * h + 1], a[4 * h + 3]);
    }
    // c[k]: columns 2k and 2k + 1, eight bytes each, of the block's first
    // step in the low half and of its second in the high half.
    for (int q = 0; q < 4; ++q) {
      c[2 * q] = _mm256_unpacklo_epi32(bq[q], bq[4 + q]);
      c[2 * q + 1] = _mm256_unpackhi_epi32(bq[q], bq[4 + q]);
    }
    for (int h = 0; h < 2; ++h) {
      float* at = wp + static_cast<int64_t>(2 * b + h) * NR;
      for (int k = 0; k < 8; ++k) {
        const __m128i x = h ? _mm256_extracti128_si256(c[k], 1) : _mm256_castsi256_si128(c[k]);
        const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(x));
        const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_unpackhi_epi64(x, x)));
        _mm256_store_ps(at + (2 * k) * lane, _mm256_mul_ps(lo, scale));
        _mm256_store_ps(at + (2 * k + 1) * lane, _mm256_mul_ps(hi, scale));
      }
    }
  }
}

// The tail slots of a group: input K16 + t of row j from value(j, t) for the
// group's rows and t < tail, zeros elsewhere.
template <class Value>
void store_tails(float* tails, int32_t rows, int32_t tail, const Value& value) {
  for (int32_t j = 0; j < NR; ++j)
    for (int32_t t = 0; t < 16; ++t) tails[j * 16 + t] = j < rows && t < tail ? value(j, t) : 0.0f;
}

// Weights are expanded straight into registers and transposed there; through
// a row buffer and with the lanes' runs a power of two apart (which put all
// sixteen runs on the same first-level cache sets), the packing cost twice
// as much: one thread, AMD EPYC family 25, q8 rows of K = 2048, 0.45 ns per
// weight against 0.24.
OLVU_AVX2 void pack_weights(const TensorEntry* W, int64_t o0, int32_t rows, int32_t K, float* wp) {
  const int32_t S = K / 16, K16 = 16 * S, tail = K - K16;
  float* tails = wp + 16 * lane_run(S);
  if (W->data_q8) {
    const int64_t row_bytes = static_cast<int64_t>(K / 32) * Q8_BLOCK_BYTES;
    // Inputs past the whole blocks read as zeros.
    const int32_t whole = K / 32 * 2;
    const uint8_t* base = W->data_q8 + o0 * row_bytes;
    if (rows == NR) {
      for (int jh = 0; jh < NR; jh += 8) transpose_q8(base + jh * row_bytes, row_bytes, K / 32, S, wp + jh);
    } else {
      transpose_steps(LoadQ8{base, row_bytes}, rows, whole, S, wp);
    }
    for (int l = 0; l < 16; ++l) std::fill(wp + l * lane_run(S) + whole * NR, wp + l * lane_run(S) + S * NR, 0.0f);
    std::fill(tails, tails + NR * 16, 0.0f);
    return;
  }
  if (W->data_f16) {
    const uint16_t* base = W->data_f16 + o0 * K;
    transpose_steps(LoadF16{base, K}, rows, S, S, wp);
    store_tails(tails, rows, tail,
                [&](int32_t j, int32_t t) { return half_to_float(base[static_cast<int64_t>(j) * K + K16 + t]); });
    return;
  }
  const float* base = W->data_f32 + o0 * K;
  if (rows == NR)
    for (int jh = 0; jh < NR; jh += 8) transpose_f32(base + jh * static_cast<int64_t>(K), K, S, wp + jh);
  else
    transpose_steps(LoadF32{base, K}, rows, S, S, wp);
  store_tails(tails, rows, tail, [&](int32_t j, int32_t t) { return base[static_cast<int64_t>(j) * K + K16 + t]; });
}

const detail::LaneKernel kLanes = {pack_inputs, pack_weights, lane_block};
const detail::PanelKernel kAvx2 = {MR, NR, NR, nullptr, &kLanes};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_avx2() { return &kAvx2; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_avx2() { return nullptr; }
}  // namespace detail

#endif
