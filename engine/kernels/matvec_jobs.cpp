// Sliced and shared-input matrix-vector jobs. A pool chunk is a quarter of a
// participant's share, so at the end of every product the others wait for the
// slowest chunk; claiming slices of an eighth of a share one at a time from
// the job's own cursor leaves at most one slice of imbalance. The pool's own range is one
// ticket per participant, each call claiming slices until none is left.
#include "kernels/matvec_jobs.h"

#include <algorithm>
#include <atomic>

#include "kernels/matvec.h"
#include "runtime/fatal.h"
#include "runtime/pool.h"

namespace {

struct SlicedJob {
  VecJob part[MV_MAX_PRODUCTS];
  RangeFn fn[MV_MAX_PRODUCTS];
  int32_t first_slice[MV_MAX_PRODUCTS + 1];  // slices of product p: [first_slice[p], first_slice[p + 1])
  int32_t n_parts;
  int32_t slice_rows;  // a multiple of MV_SLICE_ROWS
  PairFn after;  // set for a paired job: both parts over the same rows per slice
  // Its own line: every claim writes it, while every participant keeps reading the fields above.
  alignas(64) std::atomic<int32_t> next{0};
};

// About eight slices per participant: fine enough that the end of a product
// waits for little, coarse enough that each slice is one long run of rows for
// the hardware prefetchers (16-row slices, 36 KB of a q8 product, made the
// decode step slower on Zen 4 than the pool's own chunks).
constexpr int32_t SLICES_PER_PARTICIPANT = 8;

int32_t slice_rows_for(int64_t rows) {
  const int64_t per = rows / (int64_t{std::max(P.n_threads, 1)} * SLICES_PER_PARTICIPANT);
  return static_cast<int32_t>(std::max<int64_t>(MV_SLICE_ROWS, per / MV_SLICE_ROWS * MV_SLICE_ROWS));
}

int32_t slices_of(int32_t rows, int32_t slice) { return rows < 1 ? 0 : (rows - 1) / slice + 1; }

void fill_part(SlicedJob* j, int32_t p, const TensorEntry* W, const float* x, float* y, int32_t rows,
               int32_t K) {
  const detail::MvKernels* k = detail::mv_active();
  VecJob& v = j->part[p];
  if (W->data_q8) {
    v.weights = W->data_q8;
    j->fn[p] = k->q8;
  } else if (W->data_f16) {
    v.weights = W->data_f16;
    j->fn[p] = k->f16;
  } else {
    v.weights = W->data_f32;
    j->fn[p] = k->f32;
  }
  v.x = x;
  v.y = y;
  v.rows = rows;
  v.K = K;
}

void run_slices(void* ctx, int32_t, int32_t) {
  SlicedJob* j = static_cast<SlicedJob*>(ctx);
  const int32_t total = j->first_slice[j->n_parts];
  int32_t p = 0;
  for (;;) {
    const int32_t s = j->next.fetch_add(1, std::memory_order_relaxed);
    if (s >= total) return;
    if (j->after) {
      const int32_t r0 = s * j->slice_rows, r1 = std::min(r0 + j->slice_rows, j->part[0].rows);
      j->fn[0](&j->part[0], r0, r1);
      j->fn[1](&j->part[1], r0, r1);
      j->after(j->part[0].y + r0, j->part[1].y + r0, r1 - r0);
      continue;
    }
    // Slices are claimed in increasing order, so a participant's part only moves forward.
    while (s >= j->first_slice[p + 1]) ++p;
    const int32_t r0 = (s - j->first_slice[p]) * j->slice_rows;
    j->fn[p](&j->part[p], r0, std::min(r0 + j->slice_rows, j->part[p].rows));
  }
}

void run(SlicedJob* j) {
  const int32_t total = j->first_slice[j->n_parts];
  if (total < 1) return;
  // One slice (16 rows or fewer) runs on the caller without waking anybody.
  pool_for(run_slices, j, std::max(1, std::min(P.n_threads, total)), 1);
}

}  // namespace

void detail::matvec_shared_n(const MvProduct* products, int32_t n, const float* x, int32_t K) {
  // Never a product silently left out of the job: its output would keep stale values.
  if (n < 1 || n > MV_MAX_PRODUCTS) fatal("matvec: shared-input job count out of range");
  SlicedJob j;
  j.n_parts = 0;
  j.after = nullptr;
  j.first_slice[0] = 0;
  int64_t all_rows = 0;
  for (int32_t i = 0; i < n; ++i) all_rows += std::max(products[i].rows, 0);
  j.slice_rows = slice_rows_for(all_rows);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t p = j.n_parts++;
    fill_part(&j, p, products[i].W, x, products[i].y, products[i].rows, K);
    j.first_slice[p + 1] = j.first_slice[p] + slices_of(products[i].rows, j.slice_rows);
  }
  run(&j);
}

void matvec_pair(const TensorEntry* Wa, const TensorEntry* Wb, const float* x, float* ya, float* yb,
                 int32_t rows, int32_t K, PairFn after) {
  SlicedJob j;
  j.n_parts = 1;  // one run of slices over rows; part 1 rides along
  j.after = after;
  fill_part(&j, 0, Wa, x, ya, rows, K);
  fill_part(&j, 1, Wb, x, yb, rows, K);
  j.slice_rows = slice_rows_for(std::max(rows, 0));
  j.first_slice[0] = 0;
  j.first_slice[1] = slices_of(rows, j.slice_rows);
  run(&j);
}

void matvec(const TensorEntry* W, const float* x, float* y, int32_t rows, int32_t K) {
  const MvProduct one[1] = {{W, y, rows}};
  matvec_shared_input(one, x, K);
}
