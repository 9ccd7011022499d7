// The panel product's micro-kernel for AVX-512: 4 input rows x 6 weight rows,
// one sixteen-lane register per output (the sixteen lanes of its dot product),
// 24 accumulators plus the four row loads and one weight load of a step in
// the 32 registers. A step is 24 multiply-adds against 10 loads, most of them
// from the second-level cache, so how the weights lie decides the speed: an
// expanded panel is packed (a group's six rows sixteen inputs at a time, one
// stream), f32 weights are read in place as rows. One thread, AMD EPYC
// family 26 (peak 230 GFLOP/s), a tile of 512 input rows x 60 weight rows of
// K = 2048: 132-140 GFLOP/s from rows, 182-188 packed, against 183-205 with
// everything in the first-level cache. Each call runs over the whole of K.
// Measured and not kept, with packed weights: K slices of 512 or 1024 inputs
// with the accumulators kept in memory between slices (158 and 173 GFLOP/s
// one thread, slower at eight); packing the input rows of each block as well
// (one pool job per row block; prefill of 35 ids, 8 threads, best of two
// alternating: 248-254 tok/s against 267-268 unpacked, no gain at 128 or
// 512); software prefetch of the next row block between kernel calls (no
// gain at 128 or 512 ids).
#include "kernels/matmat_panel.h"

#if defined(__x86_64__)

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
OLVU_AVX512 void rows(const float* const* x, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y,
                      int64_t ldy) {
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
      const __m512 wv = _mm512_loadu_ps(wp[j]);
      wp[j] += wstep;
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
      y[i * ldy + j] = tail ? detail::panel_finish(sums[4 * i], xp[i] + K16, wp[j], tail) : sums[4 * i];
  }
}

OLVU_AVX512 void block(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n,
                       int32_t K, float* y, int64_t ldy) {
  const float* ws[NR];
  for (int j = 0; j < NR; ++j) ws[j] = w[j < n ? j : n - 1];
  switch (m) {
    case 1: rows<1>(x, ws, wstep, n, K, y, ldy); break;
    case 2: rows<2>(x, ws, wstep, n, K, y, ldy); break;
    case 3: rows<3>(x, ws, wstep, n, K, y, ldy); break;
    default: rows<4>(x, ws, wstep, n, K, y, ldy); break;
  }
}

const detail::PanelKernel kAvx512 = {MR, NR, NR, block, nullptr};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_avx512() { return &kAvx512; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_avx512() { return nullptr; }
}  // namespace detail

#endif
