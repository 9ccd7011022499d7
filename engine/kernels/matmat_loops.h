// The per-weight-row loops of the batched-product pool kernels, shared by the
// vector paths: each path brings its own row expansions and its dot product
// of R input rows against one weight row (Simd::expand_q8_row,
// Simd::expand_f16_run, Simd::dot<R>); these loops only walk the rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kernels/matmat.h"

namespace detail {

template <class Simd>
struct MatmatLoops {
  // Every input row against one expanded (or in-place f32) weight row, four rows at a time.
  static void dot_all_rows(const MatJob* job, const float* w, int32_t o) {
    const int32_t M = job->M, K = job->K;
    const int64_t N = job->N;
    int32_t r = 0;
    for (; r + 4 <= M; r += 4)
      Simd::template dot<4>(job->X + static_cast<int64_t>(r) * K, K, w, K, job->Y + r * N + o, N);
    for (; r < M; ++r) Simd::template dot<1>(job->X + static_cast<int64_t>(r) * K, K, w, K, job->Y + r * N + o, N);
  }

  static void store_zero_column(const MatJob* job, int32_t o) {
    for (int32_t r = 0; r < job->M; ++r) job->Y[static_cast<int64_t>(r) * job->N + o] = 0.0f;
  }

  static void mm_q8(void* ctx, int32_t start, int32_t end) {
    const MatJob* job = static_cast<const MatJob*>(ctx);
    const int32_t K = job->K;
    alignas(64) float buf[MAX_IN_DIM];
    const uint8_t* base = static_cast<const uint8_t*>(job->weights);
    const int64_t row_bytes = static_cast<int64_t>(K / 32) * Q8_BLOCK_BYTES;
    for (int32_t o = start; o < end; ++o) {
      if (K <= 0) {
        store_zero_column(job, o);
        continue;
      }
      Simd::expand_q8_row(base + o * row_bytes, K, buf, 16);
      dot_all_rows(job, buf, o);
    }
  }

  static void mm_f16(void* ctx, int32_t start, int32_t end) {
    const MatJob* job = static_cast<const MatJob*>(ctx);
    const int32_t K = job->K;
    alignas(64) float buf[MAX_IN_DIM];
    const uint8_t* base = static_cast<const uint8_t*>(job->weights);
    for (int32_t o = start; o < end; ++o) {
      if (K <= 0) {
        store_zero_column(job, o);
        continue;
      }
      Simd::expand_f16_run(base + 2 * static_cast<int64_t>(o) * K, K, buf);
      dot_all_rows(job, buf, o);
    }
  }

  static void mm_f32(void* ctx, int32_t start, int32_t end) {
    const MatJob* job = static_cast<const MatJob*>(ctx);
    const int32_t M = job->M, K = job->K;
    const int64_t N = job->N;
    if (M < 1) return;
    const float* base = static_cast<const float*>(job->weights);
    for (int32_t o = start; o < end; ++o) {
      if (K <= 0) {
        store_zero_column(job, o);
        continue;
      }
      const float* w = base + static_cast<int64_t>(o) * K;
      if (K <= 3) {
        for (int32_t r = 0; r < M; ++r) {
          const float* x = job->X + static_cast<int64_t>(r) * K;
          float y = x[0] * w[0];
          if (K >= 2) y = std::fmaf(x[1], w[1], y);
          if (K == 3) y = std::fmaf(x[2], w[2], y);
          job->Y[r * N + o] = y;
        }
      } else {
        dot_all_rows(job, w, o);
      }
    }
  }

  static void expand_q8(const uint8_t* data, int64_t rows, int32_t K, float* dst, int32_t nr) {
    const int64_t row_bytes = static_cast<int64_t>(K / 32) * Q8_BLOCK_BYTES;
    for (int64_t o = 0; o < rows; ++o)
      Simd::expand_q8_row(data + o * row_bytes, K, dst + packed_row(o, nr, K), 16 * nr);
  }

  static void expand_f16(const uint16_t* data, int64_t rows, int32_t K, float* dst, int32_t nr) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(data);
    for (int64_t o = 0; o < rows; ++o) {
      float* row = dst + packed_row(o, nr, K);
      if (nr == 1) {
        Simd::expand_f16_run(h + 2 * o * K, K, row);
        continue;
      }
      for (int32_t c = 0; c < K; c += 16)
        Simd::expand_f16_run(h + 2 * (o * K + c), std::min<int64_t>(16, K - c), row + c / 16 * 16 * nr);
    }
  }

  static constexpr MmKernels kernels = {mm_q8, mm_f16, mm_f32, expand_q8, expand_f16};
};

}  // namespace detail
