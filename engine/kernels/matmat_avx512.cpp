// Batched-product pool kernels for AVX-512 (F, BW, DQ, VL with FMA and F16C).
// One 16-lane register is the four four-lane accumulators of one input row;
// four input rows share every weight load. Each row keeps the scalar order.
#include "kernels/matmat.h"

#if defined(__x86_64__)

#include <cmath>
#include <cstring>

#include "kernels/avx512_intrinsics.h"
#include "kernels/half.h"
#include "kernels/matmat_loops.h"

#define OLVU_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma,f16c")))

namespace {

OLVU_AVX512 inline float sum_pairwise(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// This path's row expansions and dot product; the loops over rows around
// them are shared with the other vector paths.
struct Avx512 {
  static OLVU_AVX512 void expand_q8_row(const uint8_t* blk, int32_t K, float* buf, int64_t cs) {
    const int32_t nb = K / 32;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      float s;
      std::memcpy(&s, blk, 4);
      const __m512 scale = _mm512_set1_ps(s);
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 4));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 20));
      _mm512_storeu_ps(buf + 2 * b * cs, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(lo)), scale));
      _mm512_storeu_ps(buf + (2 * b + 1) * cs, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(hi)), scale));
    }
    for (int32_t k = 32 * nb; k < K; ++k) buf[k / 16 * cs + k % 16] = 0.0f;
  }

  static OLVU_AVX512 void expand_f16_run(const uint8_t* h, int64_t K, float* buf) {
    int64_t c = 0;
    for (; c + 16 <= K; c += 16)
      _mm512_storeu_ps(buf + c, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + 2 * c))));
    for (; c + 8 <= K; c += 8)
      _mm256_storeu_ps(buf + c, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 2 * c))));
    for (; c < K; ++c) {
      uint16_t v;
      std::memcpy(&v, h + 2 * c, 2);
      buf[c] = half_to_float(v);
    }
  }

  // The shared dot product for R input rows against one weight row w.
  template <int R>
  static OLVU_AVX512 void dot(const float* X, int64_t ldx, const float* w, int32_t K, float* Y, int64_t ldy) {
    __m512 acc[R];
    for (int t = 0; t < R; ++t) acc[t] = _mm512_setzero_ps();
    int32_t c = 0;
    for (; c + 16 <= K; c += 16) {
      const __m512 wv = _mm512_loadu_ps(w + c);
      for (int t = 0; t < R; ++t) acc[t] = _mm512_fmadd_ps(_mm512_loadu_ps(X + t * ldx + c), wv, acc[t]);
    }
    for (int t = 0; t < R; ++t) {
      const float* x = X + t * ldx;
      float s = 0.0f;
      if (K >= 16) {
        const __m512 a = acc[t];
        s = sum_pairwise(_mm_add_ps(_mm_add_ps(_mm512_castps512_ps128(a), _mm512_extractf32x4_ps(a, 1)),
                                    _mm_add_ps(_mm512_extractf32x4_ps(a, 2), _mm512_extractf32x4_ps(a, 3))));
      }
      int32_t k = c;
      if (K - k >= 4) {
        __m128 T = _mm_set_ss(s);
        for (; k + 4 <= K; k += 4) T = _mm_fmadd_ps(_mm_loadu_ps(x + k), _mm_loadu_ps(w + k), T);
        s = sum_pairwise(T);
      }
      for (; k < K; ++k) s = std::fmaf(x[k], w[k], s);
      Y[t * ldy] = s;
    }
  }
};

const detail::MmKernels kAvx512 = detail::MatmatLoops<Avx512>::kernels;

}  // namespace

namespace detail {
const MmKernels* mm_kernels_avx512() { return &kAvx512; }
}  // namespace detail

#else

namespace detail {
const MmKernels* mm_kernels_avx512() { return nullptr; }
}  // namespace detail

#endif
