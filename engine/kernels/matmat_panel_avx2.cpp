// The panel product's micro-kernel for AVX2 with FMA: 2 input rows x 3 weight
// rows, two eight-lane registers per output (lanes 0-7 and 8-15 of its dot
// product), 12 accumulators plus two row loads and one weight load of a
// half-step in the 16 registers.
#include "kernels/matmat_panel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define OLVU_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr int32_t MR = 2, NR = 3;

template <int R>
OLVU_AVX2 void rows(const float* const* x, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y,
                    int64_t ldy) {
  __m256 lo[R][NR], hi[R][NR];
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) lo[i][j] = hi[i][j] = _mm256_setzero_ps();
  const float* xp[R];
  const float* wp[NR];
  for (int i = 0; i < R; ++i) xp[i] = x[i];
  for (int j = 0; j < NR; ++j) wp[j] = w[j];
  const int32_t K16 = K / 16 * 16;
  for (int32_t c = 0; c < K16; c += 16) {
    __m256 xv[R];
    for (int i = 0; i < R; ++i) xv[i] = _mm256_loadu_ps(xp[i] + c);
    for (int j = 0; j < NR; ++j) {
      const __m256 wv = _mm256_loadu_ps(wp[j]);
      for (int i = 0; i < R; ++i) lo[i][j] = _mm256_fmadd_ps(xv[i], wv, lo[i][j]);
    }
    for (int i = 0; i < R; ++i) xv[i] = _mm256_loadu_ps(xp[i] + c + 8);
    for (int j = 0; j < NR; ++j) {
      const __m256 wv = _mm256_loadu_ps(wp[j] + 8);
      wp[j] += wstep;
      for (int i = 0; i < R; ++i) hi[i][j] = _mm256_fmadd_ps(xv[i], wv, hi[i][j]);
    }
  }
  const int32_t tail = K - K16;
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < n; ++j) {
      const __m128 v = _mm_add_ps(_mm_add_ps(_mm256_castps256_ps128(lo[i][j]), _mm256_extractf128_ps(lo[i][j], 1)),
                                  _mm_add_ps(_mm256_castps256_ps128(hi[i][j]), _mm256_extractf128_ps(hi[i][j], 1)));
      const __m128 h = _mm_hadd_ps(v, v);
      const float s = _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
      y[i * ldy + j] = tail ? detail::panel_finish(s, xp[i] + K16, wp[j], tail) : s;
    }
}

OLVU_AVX2 void block(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K,
                     float* y, int64_t ldy) {
  const float* ws[NR];
  for (int j = 0; j < NR; ++j) ws[j] = w[j < n ? j : n - 1];
  if (m == 1)
    rows<1>(x, ws, wstep, n, K, y, ldy);
  else
    rows<2>(x, ws, wstep, n, K, y, ldy);
}

const detail::PanelKernel kAvx2 = {MR, NR, block};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_avx2() { return &kAvx2; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_avx2() { return nullptr; }
}  // namespace detail

#endif
