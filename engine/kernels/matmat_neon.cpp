// Batched-product pool kernels and weight expansions for arm64 Advanced SIMD.
// The four four-lane accumulators of one input row are four NEON registers;
// four input rows share every weight load (sixteen accumulators of the 32
// vector registers). Each row keeps the scalar order. The three pool kernels
// together run 5282k guest instructions against the portable 18295k (qemu 7.2
// trace of bench_kernels --paths --quick, M = 8, N = 64, K = 2048).
#include "kernels/matmat.h"

#if defined(__aarch64__)

#include <arm_neon.h>

#include <cmath>
#include <cstring>

#include "kernels/half.h"
#include "kernels/matmat_loops.h"

namespace {

// (v0 + v1) + (v2 + v3).
inline float sum_pairwise(float32x4_t v) { return vpadds_f32(vget_low_f32(vpaddq_f32(v, v))); }

// Byte 4g + j of a sixteen-byte run into the top byte of lane j, zeros below
// (an index of 0xFF reads as zero): converted with 24 fraction bits, each lane
// is the signed byte's exact value.
const uint8_t kByteToLane[4][16] = {
    {0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 1, 0xFF, 0xFF, 0xFF, 2, 0xFF, 0xFF, 0xFF, 3},
    {0xFF, 0xFF, 0xFF, 4, 0xFF, 0xFF, 0xFF, 5, 0xFF, 0xFF, 0xFF, 6, 0xFF, 0xFF, 0xFF, 7},
    {0xFF, 0xFF, 0xFF, 8, 0xFF, 0xFF, 0xFF, 9, 0xFF, 0xFF, 0xFF, 10, 0xFF, 0xFF, 0xFF, 11},
    {0xFF, 0xFF, 0xFF, 12, 0xFF, 0xFF, 0xFF, 13, 0xFF, 0xFF, 0xFF, 14, 0xFF, 0xFF, 0xFF, 15},
};

// This path's row expansions and dot product; the loops over rows around
// them are shared with the other vector paths.
struct Neon {
  static void expand_q8_row(const uint8_t* blk, int32_t K, float* buf, int64_t cs) {
    uint8x16_t index[4];
    for (int g = 0; g < 4; ++g) index[g] = vld1q_u8(kByteToLane[g]);
    const int32_t nb = K / 32;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      float s;
      std::memcpy(&s, blk, 4);
      const float32x4_t scale = vdupq_n_f32(s);
      for (int half = 0; half < 2; ++half) {
        const uint8x16_t run = vld1q_u8(blk + 4 + 16 * half);
        for (int g = 0; g < 4; ++g) {
          const float32x4_t v = vcvtq_n_f32_s32(vreinterpretq_s32_u8(vqtbl1q_u8(run, index[g])), 24);
          vst1q_f32(buf + (2 * b + half) * cs + 4 * g, vmulq_f32(v, scale));
        }
      }
    }
    for (int32_t k = 32 * nb; k < K; ++k) buf[k / 16 * cs + k % 16] = 0.0f;
  }

  static void expand_f16_run(const uint8_t* h, int64_t K, float* buf) {
    int64_t c = 0;
    for (; c + 8 <= K; c += 8) {
      const uint16x8_t v = vld1q_u16(reinterpret_cast<const uint16_t*>(h + 2 * c));
      vst1q_f32(buf + c, vcvt_f32_f16(vreinterpret_f16_u16(vget_low_u16(v))));
      vst1q_f32(buf + c + 4, vcvt_high_f32_f16(vreinterpretq_f16_u16(v)));
    }
    for (; c < K; ++c) {
      uint16_t v;
      std::memcpy(&v, h + 2 * c, 2);
      buf[c] = half_to_float(v);
    }
  }

  template <int R>
  static void dot(const float* X, int64_t ldx, const float* w, int32_t K, float* Y, int64_t ldy) {
    float32x4_t A[R][4];
    for (int t = 0; t < R; ++t)
      for (int j = 0; j < 4; ++j) A[t][j] = vdupq_n_f32(0.0f);
    int32_t c = 0;
    for (; c + 16 <= K; c += 16) {
      float32x4_t wv[4];
      for (int j = 0; j < 4; ++j) wv[j] = vld1q_f32(w + c + 4 * j);
      for (int t = 0; t < R; ++t)
        for (int j = 0; j < 4; ++j) A[t][j] = vfmaq_f32(A[t][j], vld1q_f32(X + t * ldx + c + 4 * j), wv[j]);
    }
    for (int t = 0; t < R; ++t) {
      const float* x = X + t * ldx;
      float s = 0.0f;
      if (K >= 16) s = sum_pairwise(vaddq_f32(vaddq_f32(A[t][0], A[t][1]), vaddq_f32(A[t][2], A[t][3])));
      int32_t k = c;
      if (K - k >= 4) {
        float32x4_t T = vsetq_lane_f32(s, vdupq_n_f32(0.0f), 0);
        for (; k + 4 <= K; k += 4) T = vfmaq_f32(T, vld1q_f32(x + k), vld1q_f32(w + k));
        s = sum_pairwise(T);
      }
      for (; k < K; ++k) s = std::fmaf(x[k], w[k], s);
      Y[t * ldy] = s;
    }
  }
};

const detail::MmKernels kNeon = detail::MatmatLoops<Neon>::kernels;

}  // namespace

namespace detail {
const MmKernels* mm_kernels_neon() { return &kNeon; }
}  // namespace detail

#else

namespace detail {
const MmKernels* mm_kernels_neon() { return nullptr; }
}  // namespace detail

#endif
