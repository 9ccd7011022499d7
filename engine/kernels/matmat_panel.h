// The engine's own batched product for batches of many rows: weight rows are
// expanded tile by tile into a panel buffer of the participant that claimed
// the tile (f32 weights are read in place), and register-blocked micro-kernels
// multiply every input row against them. Each output element is the pool
// kernels' dot product, in the same order, so both ways give the same bits.
#pragma once

#include <cstdint>

#include "kernels/cpu_features.h"
#include "kernels/matmat.h"
#include "model/model.h"

namespace detail {

// One instruction set's micro-kernel: a block of up to MR input rows against
// up to NB weight rows, each output the pool kernels' dot product of its row
// pair over all K inputs. x[0..m) point at rows of K floats; input c of weight
// row j is w[j][c / 16 * wstep + c % 16], so wstep 16 reads rows of K floats
// and nr * 16 a group packed by the expansions (MmKernels) in groups of NR
// rows. The results go to y[i * ldy + j]. Requires K >= 16, 1 <= m <= MR,
// 1 <= n <= NB.
struct PanelKernel {
  int32_t mr;
  int32_t nr;  // rows of a packed group
  int32_t nb;  // weight rows per call, a multiple of nr
  void (*block)(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K,
                float* y, int64_t ldy);
};

// The micro-kernel of one set, or null when this build or processor lacks it.
const PanelKernel* panel_kernel(Isa isa);
const PanelKernel* panel_kernel_avx2();
const PanelKernel* panel_kernel_avx512();
const PanelKernel* panel_kernel_neon();

// The fixed reduction of the sixteen-lane accumulator a of the whole
// 16-input steps to one sum.
float panel_reduce(const float* a);
// What follows it over the n = K mod 16 inputs from x and w on: the
// four-input step seeded with s, then the single steps.
float panel_finish(float s, const float* x, const float* w, int32_t n);

// Up to MM_MAX_SHARED products of X (M rows of K) with the given
// micro-kernel (null: the best one), their tiles claimed from one pool job.
// False, with nothing written, as for panel_product.
bool panel_products(const MatProduct* products, int32_t n, const float* X, int32_t M, int32_t K,
                    const PanelKernel* kernel = nullptr);

// Y = X . W^T with the given micro-kernel (null: the best one) over the pool.
// False, with nothing written, when the product is not one for this path
// (K < 16) or when a participant's panel buffer cannot be had.
bool panel_product(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K,
                   const PanelKernel* kernel = nullptr);

// Test hooks on the process-wide panel buffers: floats per participant, and a
// switch that makes the next growth fail as if memory were exhausted.
uint64_t panel_capacity();
void fail_next_panel_allocation();

}  // namespace detail
