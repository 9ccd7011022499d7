// The engine's own batched product for batches of many rows: weight rows are
// expanded tile by tile into a panel buffer of the participant that claimed
// the tile (f32 weights are read in place, except by a kernel of the lane
// form, which transposes them there too), and register-blocked micro-kernels
// multiply every input row against them. Each output element is the pool
// kernels' dot product, in the same order, so both ways give the same bits.
#pragma once

#include <cstdint>

#include "kernels/cpu_features.h"
#include "kernels/matmat.h"
#include "model/model.h"

namespace detail {

// The lane form of a micro-kernel: inputs and weights both repacked so that
// each of the sixteen lane sums of the dot product is one contiguous run.
// With S = K / 16 whole steps, K16 = 16 * S, lane l = c % 16 and step
// s = c / 16 of input c < K16 lie at position p = l * S + s. A packed block
// of m input rows holds input c of row i at xp[p * m + i]. A packed group of
// nr weight rows holds input c of row j at wp[(l * (S + 1) + s) * nr + j]
// (one step of padding after each lane), then its K - K16 remaining inputs
// at wp[16 * (S + 1) * nr + j * 16 + t], rows past the last one as zeros:
// lane_group_len(nr, K) floats in all. Lane l of an output is then a
// plain sum along its run, so the kernel can take the outer-product shape
// (one weight load serving every row, one input broadcast serving every
// weight row) and still add every product in the dot product's order.
constexpr int64_t lane_group_len(int32_t nr, int32_t K) { return nr * (static_cast<int64_t>(K) / 16 * 16 + 32); }

struct LaneKernel {
  // Rows [0, m) of X, K floats apart, packed into xp (m * K16 floats).
  void (*pack_inputs)(const float* X, int32_t m, int32_t K, float* xp);
  // Weight rows [o0, o0 + rows) of W, rows <= nr, into one packed group.
  void (*pack_weights)(const TensorEntry* W, int64_t o0, int32_t rows, int32_t K, float* wp);
  // m <= mr packed input rows against one packed group; x[i] is input row i
  // as stored, read for the inputs past K16. Outputs j < n go to
  // y[i * ldy + j]. Requires K >= 16.
  void (*block)(const float* xp, int32_t m, const float* wp, int32_t n, int32_t K, const float* const* x, float* y,
                int64_t ldy);
};

// One instruction set's micro-kernel: a block of up to MR input rows against
// up to NB weight rows, each output the pool kernels' dot product of its row
// pair over all K inputs. In the row form, x[0..m) point at rows of K floats;
// input c of weight row j is w[j][c / 16 * wstep + c % 16], so wstep 16 reads
// rows of K floats and nr * 16 a group packed by the expansions (MmKernels)
// in groups of NR rows. The results go to y[i * ldy + j]. Requires K >= 16,
// 1 <= m <= MR, 1 <= n <= NB. A kernel of the lane form has no `block` and
// takes one group of nr rows per call.
struct PanelKernel {
  int32_t mr;
  int32_t nr;  // rows of a packed group
  int32_t nb;  // weight rows per call, a multiple of nr
  void (*block)(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K,
                float* y, int64_t ldy);
  const LaneKernel* lanes;  // the lane form, or null
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
