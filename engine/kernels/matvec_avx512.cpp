// Matrix-vector kernels for AVX-512 (F, BW, DQ, VL with FMA and F16C). Every
// row keeps its scalar summation order; the width is spent on several rows at
// once: a q8 register holds the four-lane accumulators of four rows, and f32
// rows run in fours so the fused multiply-add chains overlap.
#include "kernels/matvec.h"

#if defined(__x86_64__)

#include "kernels/avx512_intrinsics.h"

#include <cmath>
#include <cstring>


#define OLVU_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma,f16c")))

namespace {

inline float load_f32(const void* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

// (v0 + v1) + (v2 + v3)
OLVU_AVX512 inline float sum_pairwise(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// ---- q8 ----

// Each group of rows reads 16 rows side by side, more streams than the
// hardware prefetcher keeps ahead of: each row's data is asked for 8 blocks
// (288 bytes) ahead. Over 1.5 GB on the 8-core Xeon (Sapphire Rapids, KVM),
// two runs each: eight threads 62.2 / 65.6 GB/s without, 67.5 / 71.6 with;
// one thread 10.2 / 10.3 without, 10.3 / 10.9 with (4 and 12 blocks did no better).
// On the 8-core AMD EPYC (Zen 4, KVM), 600 MB, eight threads, GB/s by distance
// in blocks: 0: 52, 2: 60, 4: 77, 6: 81, 8: 84 / 78, 12: 72, 16: 59, 32: 47;
// one thread 8.3 / 9.4 / 13.1 / 14.2 / 13.6 / 12.6 / 11.6 / 10.3 for the same.
// Asking for each row's first blocks at the start of a group as well gained
// 5 % on one thread and nothing on eight, and was left out.
constexpr int PF_BLOCKS = 8;

// Rows of one q8 range as G groups of four: lanes 4t..4t+3 of acc[j] are the
// accumulator of row 4j + t. A dword transpose of the four rows' bytes puts
// group g of every row side by side, so one sign extension feeds 16 lanes.
template <int G>
OLVU_AVX512 void q8_rows(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t nb, float* y) {
  const __m512i spread = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  __m512 acc[G];
  for (int j = 0; j < G; ++j) acc[j] = _mm512_setzero_ps();
  for (int32_t b = 0; b < nb; ++b) {
    const float* xb = x + 32 * b;
    __m512 xg[8];
    for (int g = 0; g < 8; ++g) xg[g] = _mm512_broadcast_f32x4(_mm_loadu_ps(xb + 4 * g));
    for (int j = 0; j < G; ++j) {
      const uint8_t* p0 = row0 + (4 * j) * row_bytes + b * Q8_BLOCK_BYTES;
      const uint8_t* p1 = p0 + row_bytes;
      const uint8_t* p2 = p1 + row_bytes;
      const uint8_t* p3 = p2 + row_bytes;
      // A hint only: an address past the matrix is never loaded from.
      _mm_prefetch(reinterpret_cast<const char*>(p0 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p1 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p2 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p3 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      const __m128 s4 = _mm_setr_ps(load_f32(p0), load_f32(p1), load_f32(p2), load_f32(p3));
      const __m512 scale = _mm512_permutexvar_ps(spread, _mm512_castps128_ps512(s4));
      for (int h = 0; h < 2; ++h) {
        const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + 4 + 16 * h));
        const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + 4 + 16 * h));
        const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2 + 4 + 16 * h));
        const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p3 + 4 + 16 * h));
        const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
        const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
        const __m128i g4[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1), _mm_unpacklo_epi64(t2, t3),
                               _mm_unpackhi_epi64(t2, t3)};
        for (int g = 0; g < 4; ++g) {
          const __m512 w = _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(g4[g])), scale);
          acc[j] = _mm512_fmadd_ps(xg[4 * h + g], w, acc[j]);
        }
      }
    }
  }
  for (int j = 0; j < G; ++j) {
    y[4 * j + 0] = sum_pairwise(_mm512_castps512_ps128(acc[j]));
    y[4 * j + 1] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 1));
    y[4 * j + 2] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 2));
    y[4 * j + 3] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 3));
  }
}

OLVU_AVX512 float q8_row(const uint8_t* blk, const float* x, int32_t nb) {
  __m128 acc = _mm_setzero_ps();
  for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
    const __m128 scale = _mm_set1_ps(load_f32(blk));
    for (int g = 0; g < 8; ++g) {
      int32_t four;
      std::memcpy(&four, blk + 4 + 4 * g, 4);
      const __m128i v = _mm_cvtepi8_epi32(_mm_cvtsi32_si128(four));
      const __m128 w = _mm_mul_ps(_mm_cvtepi32_ps(v), scale);
      acc = _mm_fmadd_ps(_mm_loadu_ps(x + 32 * b + 4 * g), w, acc);
    }
  }
  return sum_pairwise(acc);
}

OLVU_AVX512 void mv_q8(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  if (K < 32) {
    for (int32_t r = start; r < end; ++r) job->y[r] = 0.0f;
    return;
  }
  const int32_t nb = K / 32;
  const int64_t row_bytes = static_cast<int64_t>(nb) * Q8_BLOCK_BYTES;
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  int32_t r = start;
  for (; r + 16 <= end; r += 16) q8_rows<4>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r);
  for (; r + 4 <= end; r += 4) q8_rows<1>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r);
  for (; r < end; ++r) job->y[r] = q8_row(base + r * row_bytes, job->x, nb);
}

// The same kernel with the byte transposes and the int8 conversion done by
// one two-table byte permute per 16 weights (AVX512-VBMI): the four rows'
// 32 bytes of a block sit in two registers, sign-flipped; the permute puts
// byte 4g + i of row t into lane 4t + i as the low byte of 0x4B0000uu, the
// float 2^23 + (q + 128), and one subtraction gives q exactly. The
// conversions and transposes leave the shuffle ports, which bounded the
// kernel above; per core the multiply and the fused multiply-add remain.
// Zen 4 (AMD EPYC, KVM), 600 MB of K = 2048 rows, GB/s, kernel above against
// this one, runs interleaved: one thread 13.4 / 15.2, 13.0 / 15.4, 13.6 / 15.9;
// eight threads 79.3 / 81.4, 73.6 / 83.3, 84.2 / 85.2. From L2 (256 rows) one
// thread 23.9 / 23.2: the gain is in keeping more loads in flight, not in
// arithmetic.
#define OLVU_AVX512_VBMI \
  __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi,fma,f16c")))

// The rows of a group lie back to back, so the next group is one contiguous
// run: while a group is computed, each block step asks for the next group's
// bytes in order (16 rows x 36 bytes, nine lines), one linear stream that runs
// a whole group ahead; the per-row requests above still cover the first group
// of a range, which nothing asked for in advance. Zen 5 (AMD EPYC, family 26
// model 2, KVM), GB/s, per-row requests alone against both, same-run read
// probe in brackets: one thread, 1.5 GB: 15.1 (27.7), 15.5 (27.1), 14.4 (26.9)
// against 22.1 (26.3), 22.0 (26.2), 20.5 (26.9), 22.2 (27.1); one thread from
// L2: 23.0 to 24.4 against 23.6 to 32.1 (the clock of this virtual machine
// varies between runs); eight threads, share of the probe, 0.77 / 0.77
// without, 0.68 to 0.79 with over five runs: there the memory bounds both.
// The next group asked for into L2 only (hint T1): 20.1 on one thread. Asking for the next group without the per-row requests
// gave the same within the noise.
// What bounds it on Zen 5 (8 vCPUs, ~2.8 GHz by the multiply-add probe): one
// core from L2 reaches 31.5-32.3 GB/s (some runs 23-25, this machine's clock
// moves), so eight participants could compute 250-260 GB/s, above the read
// probe (140-220 GB/s here). Per 16 weights the fixed order costs a permute, a
// subtraction, a multiply and a fused multiply-add: with the scale and row
// assembly about 160 vector operations per block of 16 rows on four FP pipes,
// near the ~50 cycles a block takes. Scales by masked broadcasts and rows by
// masked loads instead of inserts and shuffles gave 31.7 / 32.0 against 32.1:
// the shuffles do not bound it. From memory each core needs ~26 GB/s of reads
// and ~80 % of its arithmetic at once to meet the probe; eight threads reach
// 0.67-0.79 of the probe in bench_kernels and ~125 of 206 GB/s in decode steps.
template <int G>
OLVU_AVX512_VBMI void q8_rows_vbmi(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t nb,
                                   float* y, const uint8_t* next) {
  const __m512i spread = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512 bias = _mm512_set1_ps(8388736.0f);  // 2^23 + 128
  constexpr __mmask64 low_bytes = 0x1111111111111111ull;
  __m512i idx[8];
  for (int g = 0; g < 8; ++g) {
    alignas(64) int32_t v[16];
    for (int t = 0; t < 4; ++t)
      for (int i = 0; i < 4; ++i) v[4 * t + i] = 0x4B000000 | (32 * t + 4 * g + i);
    idx[g] = _mm512_load_si512(v);
  }
  __m512 acc[G];
  for (int j = 0; j < G; ++j) acc[j] = _mm512_setzero_ps();
  for (int32_t b = 0; b < nb; ++b) {
    const float* xb = x + 32 * b;
    if (next) {
      const char* q = reinterpret_cast<const char*>(next + static_cast<int64_t>(b) * (4 * G * Q8_BLOCK_BYTES));
      for (int l = 0; l < 4 * G * Q8_BLOCK_BYTES / 64; ++l) _mm_prefetch(q + 64 * l, _MM_HINT_T0);
    }
    for (int j = 0; j < G; ++j) {
      const uint8_t* p0 = row0 + (4 * j) * row_bytes + b * Q8_BLOCK_BYTES;
      const uint8_t* p1 = p0 + row_bytes;
      const uint8_t* p2 = p1 + row_bytes;
      const uint8_t* p3 = p2 + row_bytes;
      _mm_prefetch(reinterpret_cast<const char*>(p0 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p1 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p2 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(p3 + PF_BLOCKS * Q8_BLOCK_BYTES), _MM_HINT_T0);
      const __m128 s4 = _mm_setr_ps(load_f32(p0), load_f32(p1), load_f32(p2), load_f32(p3));
      const __m512 scale = _mm512_permutexvar_ps(spread, _mm512_castps128_ps512(s4));
      const __m512i t01 = _mm512_xor_si512(
          _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p0 + 4))),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p1 + 4)), 1),
          flip);
      const __m512i t23 = _mm512_xor_si512(
          _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p2 + 4))),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p3 + 4)), 1),
          flip);
      for (int g = 0; g < 8; ++g) {
        const __m512i f = _mm512_mask2_permutex2var_epi8(t01, idx[g], low_bytes, t23);
        const __m512 q = _mm512_sub_ps(_mm512_castsi512_ps(f), bias);
        const __m512 w = _mm512_mul_ps(q, scale);
        acc[j] = _mm512_fmadd_ps(_mm512_broadcast_f32x4(_mm_loadu_ps(xb + 4 * g)), w, acc[j]);
      }
    }
  }
  for (int j = 0; j < G; ++j) {
    y[4 * j + 0] = sum_pairwise(_mm512_castps512_ps128(acc[j]));
    y[4 * j + 1] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 1));
    y[4 * j + 2] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 2));
    y[4 * j + 3] = sum_pairwise(_mm512_extractf32x4_ps(acc[j], 3));
  }
}

OLVU_AVX512_VBMI void mv_q8_vbmi(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  if (K < 32) {
    for (int32_t r = start; r < end; ++r) job->y[r] = 0.0f;
    return;
  }
  const int32_t nb = K / 32;
  const int64_t row_bytes = static_cast<int64_t>(nb) * Q8_BLOCK_BYTES;
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  int32_t r = start;
  // The next group is asked for only inside the range: the rows past it are another participant's.
  for (; r + 16 <= end; r += 16)
    q8_rows_vbmi<4>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r,
                    r + 32 <= end ? base + (r + 16) * row_bytes : nullptr);
  for (; r + 4 <= end; r += 4) q8_rows_vbmi<1>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r, nullptr);
  for (; r < end; ++r) job->y[r] = q8_row(base + r * row_bytes, job->x, nb);
}

// ---- f16 ----
// The 256-bit kernel (eight rows, one eight-lane accumulator each) beats a
// two-rows-per-register 512-bit form on the processors measured (73 against
// 47 GB/s from L2 on one core), so this set uses the AVX2 kernel. On Zen 5
// (AMD EPYC, 8 vCPUs) it is bound by the memory: 85 GB/s from L2 on one core
// (eight cores could compute ~680 GB/s), one thread from memory 1.0 of one
// core's read, eight threads 0.83-0.92 of the probe (~0.78 as the decode
// step's head). Asking for the next eight rows as one stream, as the q8 kernel
// does, cost: L2 85 -> 72 GB/s, eight threads 0.92 / 0.85 -> 0.83 / 0.83.

// ---- f32 ----

// Finishes a row with K >= 16 from its sixteen lanes (four four-lane accumulators).
OLVU_AVX512 inline float f32_finish(__m512 a, const uint8_t* row, const float* x, int32_t K) {
  const int32_t K16 = K / 16 * 16, K4 = K / 4 * 4;
  const __m128 a0 = _mm512_castps512_ps128(a), a1 = _mm512_extractf32x4_ps(a, 1);
  const __m128 a2 = _mm512_extractf32x4_ps(a, 2), a3 = _mm512_extractf32x4_ps(a, 3);
  const __m128 v = K == K16 ? _mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), a2), a3)
                            : _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3));
  float s = sum_pairwise(v);
  const float* w = reinterpret_cast<const float*>(row);
  if (K - K16 >= 4) {
    __m128 b = _mm_set_ss(s);
    for (int32_t c = K16; c + 4 <= K; c += 4) b = _mm_fmadd_ps(_mm_loadu_ps(x + c), _mm_loadu_ps(w + c), b);
    s = sum_pairwise(b);
  }
  for (int32_t k = K4; k < K; ++k) s = std::fmaf(x[k], load_f32(row + 4 * static_cast<int64_t>(k)), s);
  return s;
}

template <int R>
OLVU_AVX512 void f32_rows(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t K, float* y) {
  __m512 acc[R];
  for (int t = 0; t < R; ++t) acc[t] = _mm512_setzero_ps();
  for (int32_t c = 0; c + 16 <= K; c += 16) {
    const __m512 xv = _mm512_loadu_ps(x + c);
    for (int t = 0; t < R; ++t)
      acc[t] = _mm512_fmadd_ps(xv, _mm512_loadu_ps(row0 + t * row_bytes + 4 * static_cast<int64_t>(c)), acc[t]);
  }
  for (int t = 0; t < R; ++t) y[t] = f32_finish(acc[t], row0 + t * row_bytes, x, K);
}

// 1 <= K <= 15.
OLVU_AVX512 float f32_short_row(const uint8_t* row, const float* x, int32_t K) {
  float s;
  if (K <= 3) {
    s = x[0] * load_f32(row);
    for (int32_t k = 1; k < K; ++k) s = std::fmaf(x[k], load_f32(row + 4 * k), s);
    return s;
  }
  const float* w = reinterpret_cast<const float*>(row);
  __m128 v = _mm_mul_ps(_mm_loadu_ps(x), _mm_loadu_ps(w));
  for (int32_t c = 4; c + 4 <= K; c += 4) v = _mm_fmadd_ps(_mm_loadu_ps(x + c), _mm_loadu_ps(w + c), v);
  s = sum_pairwise(v);
  for (int32_t k = K / 4 * 4; k < K; ++k) s = std::fmaf(x[k], load_f32(row + 4 * k), s);
  return s;
}

OLVU_AVX512 void mv_f32(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  if (start >= end) return;
  if (K <= 0) {
    std::memset(job->y + start, 0, sizeof(float) * static_cast<size_t>(end - start));
    return;
  }
  const int64_t row_bytes = 4 * static_cast<int64_t>(K);
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  if (K < 16) {
    for (int32_t r = start; r < end; ++r) job->y[r] = f32_short_row(base + r * row_bytes, job->x, K);
    return;
  }
  int32_t r = start;
  for (; r + 4 <= end; r += 4) f32_rows<4>(base + r * row_bytes, row_bytes, job->x, K, job->y + r);
  for (; r < end; ++r) f32_rows<1>(base + r * row_bytes, row_bytes, job->x, K, job->y + r);
}



}  // namespace

namespace detail {
const MvKernels* mv_kernels_avx512() {
  static const MvKernels k = {__builtin_cpu_supports("avx512vbmi") ? mv_q8_vbmi : mv_q8,
                              mv_kernels_avx2()->f16, mv_f32};
  return &k;
}

RangeFn mv_q8_avx512_without_vbmi() { return mv_q8; }
}  // namespace detail

#else

namespace detail {
const MvKernels* mv_kernels_avx512() { return nullptr; }
RangeFn mv_q8_avx512_without_vbmi() { return nullptr; }
}  // namespace detail

#endif
