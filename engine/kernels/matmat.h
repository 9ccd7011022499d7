// Y = X . W^T for a batch of input rows: the engine's panel product from 16
// rows on, its pool kernels otherwise.
#pragma once

#include <cstdint>

#include "kernels/cpu_features.h"
#include "model/model.h"
#include "runtime/pool.h"

constexpr int32_t MAX_IN_DIM = 8192;

struct MatJob {
  const void* weights;
  const float* X;
  float* Y;
  int32_t M;
  int32_t N;
  int32_t K;
};

void mm_q8_range(void* ctx, int32_t start, int32_t end);
void mm_f16_range(void* ctx, int32_t start, int32_t end);
void mm_f32_range(void* ctx, int32_t start, int32_t end);

// 1 when batched products of 16 rows and more may take the panel product;
// decided once, at the first call.
int accel_on();

void matmat_t(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K);

// One product Y = X . W^T of N outputs among products of the same input.
constexpr int32_t MM_MAX_SHARED = 4;
struct MatProduct {
  const TensorEntry* W;
  float* Y;
  int32_t N;
};

// Up to MM_MAX_SHARED products of the same X (M rows of K), each with the bits
// matmat_t gives it; on the panel product they share one pool job, so the
// participants meet once at the end instead of once per product.
void matmat_shared_input(const MatProduct* products, int32_t n, const float* X, int32_t M, int32_t K);

namespace detail {

// One instruction set's pool kernels and weight expansions; every path gives
// the same bits.
struct MmKernels {
  RangeFn q8;
  RangeFn f16;
  RangeFn f32;
  // rows weight rows of K inputs (q8: K/32 blocks each, columns past the
  // whole blocks read as 0; f16: K halves each) to floats packed in groups
  // of nr rows: group g starts at dst + g * nr * packed_len(K), and input c
  // of its row j is at ((c / 16) * nr + j) * 16 + c % 16 from there, so a
  // group's rows advance together sixteen inputs at a time. With nr = 1 the
  // rows lie back to back, packed_len(K) floats apart. The slots of rows
  // missing from a last partial group and past K in the last chunk are not
  // written.
  void (*expand_q8)(const uint8_t* data, int64_t rows, int32_t K, float* dst, int32_t nr);
  void (*expand_f16)(const uint16_t* data, int64_t rows, int32_t K, float* dst, int32_t nr);
};

// Floats one packed row takes: K rounded up to a whole chunk of sixteen.
constexpr int64_t packed_len(int32_t K) { return (static_cast<int64_t>(K) + 15) / 16 * 16; }

// Where row `row` of a panel packed in groups of nr rows starts: the first
// float of its first sixteen inputs, which advance by 16 * nr floats.
constexpr int64_t packed_row(int64_t row, int32_t nr, int32_t K) {
  return row / nr * nr * packed_len(K) + row % nr * 16;
}

// The kernels of one set, or null when this build or this processor lacks it.
const MmKernels* mm_kernels(Isa isa);

const MmKernels* mm_kernels_avx2();
const MmKernels* mm_kernels_avx512();
const MmKernels* mm_kernels_neon();

}  // namespace detail
