// The panel product's micro-kernel for AVX2 with FMA. An output's sixteen
// lane sums take two eight-lane registers, so the 16 registers hold only six
// outputs at once with both halves live. The lanes are independent, though:
// lanes 0-7 and lanes 8-15 of every output are summed in two passes, each
// pass with one register per output, which makes room for 3 input rows x 4
// weight rows (12 accumulators, three row loads and one weight load). Per
// step that is 12 multiply-adds against 7 loads instead of 6 against 5. K is
// walked in chunks of KC inputs, both passes over a chunk before the next,
// the lane sums kept in a small buffer between chunks, so the chunk of the
// three input rows stays in the first-level cache while all the weight rows
// of a call (up to NB, groups of four) pass it, and each weight line is read
// from the second-level cache once per row block. Every lane still sums its
// products in input order from +0, so the bits are those of the one-pass
// kernels.
//
// One thread, AMD EPYC family 25 (Zen 3; 32 KiB L1, 512 KiB L2; peak 102.7
// GFLOP/s), 128 input rows x 24 packed weight rows of K = 2048: the former 2 x
// 3 kernel with both halves live 42 GFLOP/s, this shape over the whole of K
// per call 52-53, chunked over the call's rows 61-64 (KC 256 or 512); eight
// threads 333 -> 490-505 GFLOP/s; K = 6144: 29 -> 56-57. Sharing each weight
// chunk between two or four row blocks measured no faster (the weights'
// second-level reads are not what bounds it); the bare step loop with
// everything in the first-level cache runs at 96 % of the peak. In the
// engine (prefill, 8 threads, same machine, best of alternating runs): 35
// ids 116 -> 142 tok/s, 512 ids 135 -> 166; asking for the next group's
// lines during the second pass 142 -> 147 and 166 -> 170. KC 256 and 512
// and NB 32 and 64 measured alike; KC 128 lost 10 % (the sums' traffic),
// KC 1024 lost 25 %, NB 16 2 %.
#include "kernels/matmat_panel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>

#define OLVU_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr int32_t MR = 3, NR = 4, NB = 32, KC = 512;

// The fixed reduction of sixteen lane sums: with quarters A0..A3,
// V = (A0 + A1) + (A2 + A3), then (V0 + V1) + (V2 + V3).
OLVU_AVX2 inline float reduce(const float* a) {
  const __m256 lo = _mm256_load_ps(a), hi = _mm256_load_ps(a + 8);
  const __m128 v = _mm_add_ps(_mm_add_ps(_mm256_castps256_ps128(lo), _mm256_extractf128_ps(lo, 1)),
                              _mm_add_ps(_mm256_castps256_ps128(hi), _mm256_extractf128_ps(hi, 1)));
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

// One pass over the steps [c0, c1) of lanes h..h+7, the lane sums taken
// from and left in sums[j][i]. With `ahead`, the lines of the next weight
// group are asked for as this pass walks its own: the pass over lanes 0-7
// reads a group's lines from the second-level cache faster than it can
// deliver them, while the pass over lanes 8-15 finds them in the first-level
// cache and leaves that link idle.
template <int R>
OLVU_AVX2 inline void pass(const float* const* x, const float* const* wg, int64_t wstep, int32_t c0, int32_t c1,
                           int h, const float* const* ahead, float (*sums)[R][16]) {
  __m256 acc[R][NR];
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) acc[i][j] = c0 ? _mm256_load_ps(sums[j][i] + h) : _mm256_setzero_ps();
  const float* wp[NR];
  for (int j = 0; j < NR; ++j) wp[j] = wg[j] + h;
  const float* pf[NR];
  if (ahead)
    for (int j = 0; j < NR; ++j) pf[j] = ahead[j];
  for (int32_t c = c0 + h; c < c1; c += 16) {
    __m256 xv[R];
    for (int i = 0; i < R; ++i) xv[i] = _mm256_loadu_ps(x[i] + c);
    for (int j = 0; j < NR; ++j) {
      const __m256 wv = _mm256_loadu_ps(wp[j]);
      wp[j] += wstep;
      for (int i = 0; i < R; ++i) acc[i][j] = _mm256_fmadd_ps(xv[i], wv, acc[i][j]);
    }
    if (ahead)
      for (int j = 0; j < NR; ++j) {
        _mm_prefetch(reinterpret_cast<const char*>(pf[j]), _MM_HINT_T0);
        pf[j] += wstep;
      }
  }
  for (int i = 0; i < R; ++i)
    for (int j = 0; j < NR; ++j) _mm256_store_ps(sums[j][i] + h, acc[i][j]);
}

template <int R>
OLVU_AVX2 void rows(const float* const* x, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y,
                    int64_t ldy) {
  // Lane sums of every output: [weight row][input row][16 lanes].
  alignas(32) float sums[NB][R][16];
  const int32_t K16 = K / 16 * 16;
  const int32_t groups = (n + NR - 1) / NR;
  // Rows of group g from input c on.
  auto group_at = [&](int32_t g, int32_t c, const float** out) {
    for (int j = 0; j < NR; ++j) out[j] = w[std::min(g * NR + j, n - 1)] + c / 16 * wstep;
  };
  for (int32_t c0 = 0; c0 < K16; c0 += KC) {
    const int32_t c1 = std::min(c0 + KC, K16);
    for (int32_t g = 0; g < groups; ++g) {
      const float* wg[NR];
      const float* next[NR];
      group_at(g, c0, wg);
      const bool more = g + 1 < groups || c1 < K16;
      if (more) group_at(g + 1 < groups ? g + 1 : 0, g + 1 < groups ? c0 : c1, next);
      pass<R>(x, wg, wstep, c0, c1, 0, nullptr, sums + g * NR);
      pass<R>(x, wg, wstep, c0, c1, 8, more ? next : nullptr, sums + g * NR);
    }
  }
  const int32_t tail = K - K16;
  for (int32_t j = 0; j < n; ++j)
    for (int i = 0; i < R; ++i) {
      const float s = reduce(sums[j][i]);
      y[i * ldy + j] = tail ? detail::panel_finish(s, x[i] + K16, w[j] + K16 / 16 * wstep, tail) : s;
    }
}

OLVU_AVX2 void block(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K,
                     float* y, int64_t ldy) {
  switch (m) {
    case 1: rows<1>(x, w, wstep, n, K, y, ldy); break;
    case 2: rows<2>(x, w, wstep, n, K, y, ldy); break;
    default: rows<3>(x, w, wstep, n, K, y, ldy); break;
  }
}

const detail::PanelKernel kAvx2 = {MR, NR, NB, block};

}  // namespace

namespace detail {
const PanelKernel* panel_kernel_avx2() { return &kAvx2; }
}  // namespace detail

#else

namespace detail {
const PanelKernel* panel_kernel_avx2() { return nullptr; }
}  // namespace detail

#endif
