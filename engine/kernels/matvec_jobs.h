// How the one-token products are spread over the pool: each pool job cuts its
// output rows into slices (a multiple of 16 rows, about eight per participant,
// the last rows finer) that the participants claim in order from the job's own
// cursor, and products that read the same input vector share one job. Every
// row is still computed by its matrix's kernel, so the bits do not depend on
// the grouping, the slicing or the number of participants.
#pragma once

#include <cstdint>

#include "model/model.h"

constexpr int32_t MV_SLICE_ROWS = 16;
constexpr int32_t MV_MAX_PRODUCTS = 4;

// One product y = W.x of a shared-input job, rows outputs.
struct MvProduct {
  const TensorEntry* W;
  float* y;
  int32_t rows;
};

namespace detail {
// The body of matvec_shared_input; n is 1 .. MV_MAX_PRODUCTS (it ends the
// process on any other count rather than drop a product).
void matvec_shared_n(const MvProduct* products, int32_t n, const float* x, int32_t K);
}  // namespace detail

// Up to MV_MAX_PRODUCTS products of one input vector x of K values, one pool
// job. The count is the array's own length, so a caller cannot pass more
// products than the job holds: a longer array does not compile.
template <int32_t N>
  requires(N >= 1 && N <= MV_MAX_PRODUCTS)
void matvec_shared_input(const MvProduct (&products)[N], const float* x, int32_t K) {
  detail::matvec_shared_n(products, N, x, K);
}

// Applied to the outputs of a slice of a paired job once both of its products are done.
using PairFn = void (*)(float* ya, const float* yb, int64_t n);

// ya = Wa.x and yb = Wb.x over the same rows, then after(ya, yb) on every
// slice, one pool job: the activation of the feed-forward block runs on the
// slice its gate and up rows were computed in.
void matvec_pair(const TensorEntry* Wa, const TensorEntry* Wb, const float* x, float* ya, float* yb,
                 int32_t rows, int32_t K, PairFn after);
