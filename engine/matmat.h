// Y = X . W^T for a batch of input rows: the platform BLAS from 16 rows on,
// the engine's own pool kernels otherwise.
#pragma once

#include <cstdint>

#include "model.h"

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

// 1 when batched products may use the BLAS; decided once, at the first call.
int accel_on();

void matmat_t(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K);
