// The panel product's micro-kernel for arm64 Advanced SIMD: 2 input rows x 3
// weight rows, four four-lane registers per output (lanes 0-3, 4-7, 8-11 and
// 12-15 of its dot product): 24 accumulators, two row loads and one weight
// load of a quarter step within the 32 vector registers. The reduction is the
// portable one register for register: (q0 + q1) + (q2 + q3), then pairwise.
#include "kernels/matmat_panel.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace {

constexpr int32_t MR = 2, NR = 3;

template <int R>
void rows(const float* const* x, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y, int64_t ldy) {
  float32x4_t acc[R][NR][4];
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j)
      for (int q = 0; q < 4; ++q) acc[i][j][q] = vdupq_n_f32(0.0f);
  const int32_t K16 = K / 16 * 16;
  for (int32_t c = 0; c < K16; c += 16) {
    for (int q = 0; q < 4; ++q) {
      float32x4_t xv[R];
      for (int i = 0; i < R; ++i) xv[i] = vld1q_f32(x[i] + c + 4 * q);
      for (int j = 0; j < NR; ++j) {
        const float32x4_t wv = vld1q_f32(w[j] + c / 16 * wstep + 4 * q);
        for (int i = 0; i < R; ++i) acc[i][j][q] = vfmaq_f32(acc[i][j][q], xv[i], wv);
      }
    }
  }
  const int32_t tail = K - K16;
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < n; ++j) {
      const float32x4_t v = vaddq_f32(vaddq_f32(acc[i][j][0], acc[i][j][1]), vaddq_f32(acc[i][j][2], acc[i][j][3]));
      const float s = vpadds_f32(vget_low_f32(vpaddq_f32(v, v)));
      y[i * ldy + j] = tail ? detail::panel_finish(s, x[i] + K16, w[j] + K16 / 16 * wstep, tail) : s;
    }
}

void block(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y,
           int64_t ldy) {
  const float* ws[NR];
  for (int j = 0; j < NR; ++j) ws[j] = w[j < n ? j : n - 1];
  if (m == 1)
    rows<1>(x, ws, wstep, n, K, y, ldy);
  else
    rows<2>(x, ws, wstep, n, K, y, ldy);
}

const detail::PanelKernel kNeon = {MR, NR, NR, block, nullptr};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_neon() { return &kNeon; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_neon() { return nullptr; }
}  // namespace detail

#endif
