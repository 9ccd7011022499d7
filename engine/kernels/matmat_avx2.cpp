// Batched-product pool kernels for AVX2 with FMA and F16C. Two eight-lane
// registers (A0|A1 and A2|A3) are the accumulators of one input row; four
// input rows share every weight load. Each row keeps the scalar order.
#include "kernels/matmat.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "kernels/half.h"
#include "kernels/matmat_loops.h"

#define OLVU_AVX2 __attribute__((target("avx2,fma,f16c")))

namespace {

OLVU_AVX2 inline float sum_pairwise(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// This path's row expansions and dot product; the loops over rows around
// them are shared with the other vector paths.
struct Avx2 {
  static OLVU_AVX2 void expand_q8_row(const uint8_t* blk, int32_t K, float* buf, int64_t cs) {
    const int32_t nb = K / 32;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      float s;
      std::memcpy(&s, blk, 4);
      const __m256 scale = _mm256_set1_ps(s);
      for (int part = 0; part < 4; ++part) {
        int64_t eight;
        std::memcpy(&eight, blk + 4 + 8 * part, 8);
        const __m256i v = _mm256_cvtepi8_epi32(_mm_cvtsi64_si128(eight));
        _mm256_storeu_ps(buf + (2 * b + part / 2) * cs + 8 * (part % 2), _mm256_mul_ps(_mm256_cvtepi32_ps(v), scale));
      }
    }
    for (int32_t k = 32 * nb; k < K; ++k) buf[k / 16 * cs + k % 16] = 0.0f;
  }

  static OLVU_AVX2 void expand_f16_run(const uint8_t* h, int64_t K, float* buf) {
    int64_t c = 0;
    for (; c + 8 <= K; c += 8)
      _mm256_storeu_ps(buf + c, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 2 * c))));
    for (; c < K; ++c) {
      uint16_t v;
      std::memcpy(&v, h + 2 * c, 2);
      buf[c] = half_to_float(v);
    }
  }

  template <int R>
  static OLVU_AVX2 void dot(const float* X, int64_t ldx, const float* w, int32_t K, float* Y, int64_t ldy) {
    __m256 lo[R], hi[R];
    for (int t = 0; t < R; ++t) lo[t] = hi[t] = _mm256_setzero_ps();
    int32_t c = 0;
    for (; c + 16 <= K; c += 16) {
      const __m256 w0 = _mm256_loadu_ps(w + c), w1 = _mm256_loadu_ps(w + c + 8);
      for (int t = 0; t < R; ++t) {
        lo[t] = _mm256_fmadd_ps(_mm256_loadu_ps(X + t * ldx + c), w0, lo[t]);
        hi[t] = _mm256_fmadd_ps(_mm256_loadu_ps(X + t * ldx + c + 8), w1, hi[t]);
      }
    }
    for (int t = 0; t < R; ++t) {
      const float* x = X + t * ldx;
      float s = 0.0f;
      if (K >= 16) {
        s = sum_pairwise(_mm_add_ps(_mm_add_ps(_mm256_castps256_ps128(lo[t]), _mm256_extractf128_ps(lo[t], 1)),
                                    _mm_add_ps(_mm256_castps256_ps128(hi[t]), _mm256_extractf128_ps(hi[t], 1))));
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

const detail::MmKernels kAvx2 = detail::MatmatLoops<Avx2>::kernels;

}  // namespace

namespace detail {
const MmKernels* mm_kernels_avx2() { return &kAvx2; }
}  // namespace detail

#else

namespace detail {
const MmKernels* mm_kernels_avx2() { return nullptr; }
}  // namespace detail

#endif
