// y = W.x over the worker pool (grain 16) with fixed summation orders, and
// embedding rows widened to f32.
#pragma once

#include <cstdint>

#include "kernels/cpu_features.h"
#include "model/model.h"
#include "runtime/pool.h"

struct VecJob {
  const void* weights;
  const float* x;
  float* y;
  int32_t rows;
  int32_t K;
};

void mv_q8_range(void* ctx, int32_t start, int32_t end);
void mv_f16_range(void* ctx, int32_t start, int32_t end);
void mv_f32_range(void* ctx, int32_t start, int32_t end);

// The matrix-vector product: kernel chosen by the data (q8, else f16, else f32),
// one pool job over slices of whole 16-row groups (matvec_jobs.cpp).
void matvec(const TensorEntry* W, const float* x, float* y, int32_t rows, int32_t K);

void embed_row(const TensorEntry* E, int64_t row, float* dst, int32_t dim);

namespace detail {

// One instruction set's range kernels; every path gives the same bits.
struct MvKernels {
  RangeFn q8;
  RangeFn f16;
  RangeFn f32;
};

// The kernels of the widest set this processor runs.
const MvKernels* mv_active();

// The kernels of one set, or null when this build or this processor lacks it.
const MvKernels* mv_kernels(Isa isa);

// Per-set tables, defined by the per-set source files (null where not built).
const MvKernels* mv_kernels_avx2();
const MvKernels* mv_kernels_avx512();
const MvKernels* mv_kernels_neon();

// The AVX-512 q8 kernel of processors without VBMI, which the table above
// replaces where VBMI exists (null where AVX-512 is not built).
RangeFn mv_q8_avx512_without_vbmi();

// embed_row's body for one set, or null when this build or this processor has
// none of its own for it (the portable one then serves).
using EmbedFn = void (*)(const TensorEntry* E, int64_t row, float* dst, int32_t dim);
EmbedFn embed_row_kernel(Isa isa);
EmbedFn embed_row_neon();

}  // namespace detail
