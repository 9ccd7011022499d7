// The panel product's micro-kernel for AVX-512: 4 input rows x 6 weight rows,
// one sixteen-lane register per output (the sixteen lanes of its dot product),
// 24 accumulators plus the four row loads and one weight load of a step in
// the 32 registers. A step is 24 multiply-adds against 10 loads.
#include "kernels/matmat_panel.h"

#if defined(__x86_64__)

#include <algorithm>

#include "kernels/avx512_intrinsics.h"

#define OLVU_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma,f16c")))

namespace {

constexpr int32_t MR = 4, NR = 6;

// The fixed reduction of four sixteen-lane accumulators at once: with
// quarters q0..q3 of each, V = (q0 + q1) + (q2 + q3), then
// (V0 + V1) + (V2 + V3) in lane 0 of quarter k for accumulator k.
OLVU_AVX512 inline __m512 reduce4(__m512 a, __m512 b, __m512 c, __m512 d) {
  const __m512 ab = _mm512_add_ps(_mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                                  _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m512 cd = _mm512_add_ps(_mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(2, 0, 2, 0)),
                                  _mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m512 v = _mm512_add_ps(_mm512_shuffle_f32x4(ab, cd, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm512_shuffle_f32x4(ab, cd, _MM_SHUFFLE(3, 1, 3, 1)));
  const __m512 p = _mm512_add_ps(v, _mm512_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm512_add_ps(p, _mm512_permute_ps(p, _MM_SHUFFLE(1, 0, 3, 2)));
}

template <int R>
OLVU_AVX512 void rows(const float* const* x, const float* const* w, int32_t n, int32_t K, float* y, int64_t ldy) {
  __m512 acc[R][NR];
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) acc[i][j] = _mm512_setzero_ps();
  const float* xp[R];
  const float* wp[NR];
  for (int i = 0; i < R; ++i) xp[i] = x[i];
  for (int j = 0; j < NR; ++j) wp[j] = w[j];
  const int32_t K16 = K / 16 * 16;
  for (int32_t c = 0; c < K16; c += 16) {
    __m512 xv[R];
    for (int i = 0; i < R; ++i) xv[i] = _mm512_loadu_ps(xp[i] + c);
    for (int j = 0; j < NR; ++j) {
      const __m512 wv = _mm512_loadu_ps(wp[j] + c);
      for (int i = 0; i < R; ++i) acc[i][j] = _mm512_fmadd_ps(xv[i], wv, acc[i][j]);
    }
  }
  // Outputs (0..3, j) are reduced together: row i's sum lands in lane 4i.
  alignas(64) float sums[16];
  const int32_t tail = K - K16;
  constexpr int i1 = R > 1 ? 1 : 0, i2 = R > 2 ? 2 : 0, i3 = R > 3 ? 3 : 0;
  for (int j = 0; j < n; ++j) {
    _mm512_store_ps(sums, reduce4(acc[0][j], acc[i1][j], acc[i2][j], acc[i3][j]));
    for (int i = 0; i < R; ++i)
      y[i * ldy + j] = tail ? detail::panel_finish(sums[4 * i], xp[i] + K16, wp[j] + K16, tail) : sums[4 * i];
  }
}

// Steps [s0, s1) into the spilled accumulators acc[(i * NR + j) * 16 ..].
template <int R>
OLVU_AVX512 void accumulate_rows(const float* const* x, const float* const* w, int32_t s0, int32_t s1, float* acc) {
  __m512 a[R][NR];
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) a[i][j] = s0 == 0 ? _mm512_setzero_ps() : _mm512_load_ps(acc + (i * NR + j) * 16);
  const float* xp[R];
  const float* wp[NR];
  for (int i = 0; i < R; ++i) xp[i] = x[i];
  for (int j = 0; j < NR; ++j) wp[j] = w[j];
  for (int32_t c = 16 * s0; c < 16 * s1; c += 16) {
    __m512 xv[R];
    for (int i = 0; i < R; ++i) xv[i] = _mm512_loadu_ps(xp[i] + c);
    for (int j = 0; j < NR; ++j) {
      const __m512 wv = _mm512_loadu_ps(wp[j] + c);
      for (int i = 0; i < R; ++i) a[i][j] = _mm512_fmadd_ps(xv[i], wv, a[i][j]);
    }
  }
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) _mm512_store_ps(acc + (i * NR + j) * 16, a[i][j]);
}

OLVU_AVX512 void accumulate(const float* const* x, int32_t m, const float* const* w, int32_t s0, int32_t s1,
                            float* acc) {
  switch (m) {
    case 1: accumulate_rows<1>(x, w, s0, s1, acc); break;
    case 2: accumulate_rows<2>(x, w, s0, s1, acc); break;
    case 3: accumulate_rows<3>(x, w, s0, s1, acc); break;
    default: accumulate_rows<4>(x, w, s0, s1, acc); break;
  }
}

OLVU_AVX512 void finish(const float* acc, const float* const* x, int32_t m, const float* const* w, int32_t n,
                        int32_t K, float* y, int64_t ldy) {
  const int32_t K16 = K / 16 * 16, tail = K - K16;
  alignas(64) float sums[16];
  for (int j = 0; j < n; ++j) {
    // Rows past m repeat the last one; their sums are not stored.
    const float* a = acc + j * 16;
    const int64_t r1 = std::min(1, m - 1) * NR * 16, r2 = std::min(2, m - 1) * NR * 16, r3 = (m - 1) * NR * 16;
    _mm512_store_ps(sums, reduce4(_mm512_load_ps(a), _mm512_load_ps(a + r1), _mm512_load_ps(a + r2),
                                  _mm512_load_ps(a + r3)));
    for (int i = 0; i < m; ++i)
      y[i * ldy + j] = tail ? detail::panel_finish(sums[4 * i], x[i] + K16, w[j] + K16, tail) : sums[4 * i];
  }
}

OLVU_AVX512 void block(const float* const* x, int32_t m, const float* const* w, int32_t n, int32_t K, float* y,
                       int64_t ldy) {
  const float* ws[NR];
  for (int j = 0; j < NR; ++j) ws[j] = w[j < n ? j : n - 1];
  switch (m) {
    case 1: rows<1>(x, ws, n, K, y, ldy); break;
    case 2: rows<2>(x, ws, n, K, y, ldy); break;
    case 3: rows<3>(x, ws, n, K, y, ldy); break;
    default: rows<4>(x, ws, n, K, y, ldy); break;
  }
}

// 32 steps of 512 inputs: the slice of four input rows (8 KiB) stays in the
// first-level cache across all weight groups of the tile, which then stream
// from the second level: 6 of the 10 loads of a step instead of all 10.
constexpr int32_t KC_STEPS = 32;

const detail::PanelKernel kAvx512 = {MR, NR, block, KC_STEPS, accumulate, finish};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_avx512() { return &kAvx512; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_avx512() { return nullptr; }
}  // namespace detail

#endif
