// Matrix-vector kernels for AVX2 with FMA and F16C. Every row keeps its
// scalar summation order; the width is spent on several rows at once: a q8
// register holds the four-lane accumulators of two rows, an f16 register the
// eight lanes (A then B) of one row, and rows run in groups so the fused
// multiply-add chains overlap.
#include "kernels/matvec.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "kernels/half.h"

#define OLVU_AVX2 __attribute__((target("avx2,fma,f16c")))

namespace {

inline float load_f32(const void* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

inline float load_half(const uint8_t* p) {
  uint16_t h;
  std::memcpy(&h, p, 2);
  return half_to_float(h);
}

OLVU_AVX2 inline float sum_pairwise(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// ---- q8 ----

// G registers of two rows each: lanes 0..3 of acc[j] accumulate row 2j, lanes
// 4..7 row 2j + 1. Interleaving the two rows' dwords puts group g of both side
// by side, so one sign extension feeds all eight lanes.
template <int G>
OLVU_AVX2 void q8_rows(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t nb, float* y) {
  __m256 acc[G];
  for (int j = 0; j < G; ++j) acc[j] = _mm256_setzero_ps();
  for (int32_t b = 0; b < nb; ++b) {
    const float* xb = x + 32 * b;
    for (int j = 0; j < G; ++j) {
      const uint8_t* p0 = row0 + (2 * j) * row_bytes + b * Q8_BLOCK_BYTES;
      const uint8_t* p1 = p0 + row_bytes;
      const __m256 scale = _mm256_set_m128(_mm_set1_ps(load_f32(p1)), _mm_set1_ps(load_f32(p0)));
      for (int h = 0; h < 2; ++h) {
        const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + 4 + 16 * h));
        const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + 4 + 16 * h));
        const __m128i lo = _mm_unpacklo_epi32(r0, r1), hi = _mm_unpackhi_epi32(r0, r1);
        const __m128i g2[4] = {lo, _mm_unpackhi_epi64(lo, lo), hi, _mm_unpackhi_epi64(hi, hi)};
        for (int g = 0; g < 4; ++g) {
          const __m256 w = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(g2[g])), scale);
          acc[j] = _mm256_fmadd_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(xb + 16 * h + 4 * g)), w,
                                   acc[j]);
        }
      }
    }
  }
  for (int j = 0; j < G; ++j) {
    y[2 * j] = sum_pairwise(_mm256_castps256_ps128(acc[j]));
    y[2 * j + 1] = sum_pairwise(_mm256_extractf128_ps(acc[j], 1));
  }
}

OLVU_AVX2 float q8_row(const uint8_t* blk, const float* x, int32_t nb) {
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

OLVU_AVX2 void mv_q8(void* ctx, int32_t start, int32_t end) {
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
  for (; r + 4 <= end; r += 4) q8_rows<2>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r);
  for (; r + 2 <= end; r += 2) q8_rows<1>(base + r * row_bytes, row_bytes, job->x, nb, job->y + r);
  for (; r < end; ++r) job->y[r] = q8_row(base + r * row_bytes, job->x, nb);
}

// ---- f16 ----

OLVU_AVX2 inline float f16_finish(__m256 ab, const uint8_t* row, const float* x, int32_t K8, int32_t K) {
  float s = sum_pairwise(_mm_add_ps(_mm256_castps256_ps128(ab), _mm256_extractf128_ps(ab, 1)));
  for (int32_t k = K8; k < K; ++k) s = std::fmaf(x[k], load_half(row + 2 * static_cast<int64_t>(k)), s);
  return s;
}

// R rows, one eight-lane accumulator each (K >= 8).
template <int R>
OLVU_AVX2 void f16_rows(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t K, float* y) {
  const int32_t K8 = K / 8 * 8;
  __m256 acc[R];
  for (int t = 0; t < R; ++t) acc[t] = _mm256_setzero_ps();
  for (int32_t c = 0; c < K8; c += 8) {
    const __m256 xv = _mm256_loadu_ps(x + c);
    for (int t = 0; t < R; ++t) {
      const uint8_t* p = row0 + t * row_bytes + 2 * static_cast<int64_t>(c);
      acc[t] = _mm256_fmadd_ps(xv, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), acc[t]);
    }
  }
  for (int t = 0; t < R; ++t) y[t] = f16_finish(acc[t], row0 + t * row_bytes, x, K8, K);
}

OLVU_AVX2 void mv_f16(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  const int64_t row_bytes = 2 * static_cast<int64_t>(K);
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  if (K < 8) {
    for (int32_t r = start; r < end; ++r) {
      float s = 0.0f;
      for (int32_t k = 0; k < K; ++k) s = std::fmaf(job->x[k], load_half(base + r * row_bytes + 2 * k), s);
      job->y[r] = s;
    }
    return;
  }
  int32_t r = start;
  for (; r + 8 <= end; r += 8) f16_rows<8>(base + r * row_bytes, row_bytes, job->x, K, job->y + r);
  for (; r < end; ++r) f16_rows<1>(base + r * row_bytes, row_bytes, job->x, K, job->y + r);
}

// ---- f32 ----

// Finishes a row with K >= 16 from A0|A1 (lo) and A2|A3 (hi).
OLVU_AVX2 inline float f32_finish(__m256 lo, __m256 hi, const uint8_t* row, const float* x, int32_t K) {
  const int32_t K16 = K / 16 * 16, K4 = K / 4 * 4;
  const __m128 a0 = _mm256_castps256_ps128(lo), a1 = _mm256_extractf128_ps(lo, 1);
  const __m128 a2 = _mm256_castps256_ps128(hi), a3 = _mm256_extractf128_ps(hi, 1);
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
OLVU_AVX2 void f32_rows(const uint8_t* row0, int64_t row_bytes, const float* x, int32_t K, float* y) {
  __m256 lo[R], hi[R];
  for (int t = 0; t < R; ++t) lo[t] = hi[t] = _mm256_setzero_ps();
  for (int32_t c = 0; c + 16 <= K; c += 16) {
    const __m256 x0 = _mm256_loadu_ps(x + c), x1 = _mm256_loadu_ps(x + c + 8);
    for (int t = 0; t < R; ++t) {
      const float* w = reinterpret_cast<const float*>(row0 + t * row_bytes) + c;
      lo[t] = _mm256_fmadd_ps(x0, _mm256_loadu_ps(w), lo[t]);
      hi[t] = _mm256_fmadd_ps(x1, _mm256_loadu_ps(w + 8), hi[t]);
    }
  }
  for (int t = 0; t < R; ++t) y[t] = f32_finish(lo[t], hi[t], row0 + t * row_bytes, x, K);
}

// 1 <= K <= 15.
OLVU_AVX2 float f32_short_row(const uint8_t* row, const float* x, int32_t K) {
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

OLVU_AVX2 void mv_f32(void* ctx, int32_t start, int32_t end) {
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

const detail::MvKernels kAvx2 = {mv_q8, mv_f16, mv_f32};

}  // namespace

namespace detail {
const MvKernels* mv_kernels_avx2() { return &kAvx2; }
}  // namespace detail

#else

namespace detail {
const MvKernels* mv_kernels_avx2() { return nullptr; }
}  // namespace detail

#endif
