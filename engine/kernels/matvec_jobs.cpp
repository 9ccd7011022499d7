// Sliced and shared-input matrix-vector jobs. A pool chunk is a quarter of a
// participant's share, so at the end of every product the others wait for the
// slowest chunk; claiming slices of an eighth of a share one at a time from
// the job's own cursor leaves at most one slice of imbalance, and the finer
// slices of the job's last rows make that a quarter slice. The pool's own
// range is one ticket per participant, each call claiming slices until none
// is left.
#include "kernels/matvec_jobs.h"

#include <algorithm>
#include <atomic>

#include "kernels/matvec.h"
#include "runtime/fatal.h"
#include "runtime/pool.h"

namespace {

// A run of equal slices over rows [row0, row_end) of one part.
struct SliceRun {
  int32_t part;
  int32_t row0, row_end;
  int32_t slice_rows;   // a multiple of MV_SLICE_ROWS
  int32_t first_slice;  // the job's slice index of the run's first slice
};

// Every product's rows in one run, and the last product's last rows again cut finer.
constexpr int32_t MV_MAX_RUNS = MV_MAX_PRODUCTS + 1;

struct SlicedJob {
  VecJob part[MV_MAX_PRODUCTS];
  RangeFn fn[MV_MAX_PRODUCTS];
  SliceRun run[MV_MAX_RUNS];
  int32_t n_runs, total_slices;
  PairFn after;  // set for a paired job: parts 0 and 1 over the same rows per slice
  // Its own line: every claim writes it, while every participant keeps reading the fields above.
  alignas(64) std::atomic<int32_t> next{0};
};

// About eight slices per participant: fine enough that the end of a product
// waits for little, coarse enough that each slice is one long run of rows for
// the hardware prefetchers (16-row slices, 36 KB of a q8 product, made the
// decode step slower on Zen 4 than the pool's own chunks).
constexpr int32_t SLICES_PER_PARTICIPANT = 8;

// The job's last rows, one slice per participant's worth, are cut TAIL_CUT
// times finer, so the participants run out of work nearly together. Zen 5
// (AMD EPYC, 8 vCPUs), median decode step of 24, traced, waiting for the
// slowest participant per participant: 1.71 / 2.06 ms uncut against 1.36 /
// 1.29 ms cut in four, the work itself unchanged (19.4-21.5 against 19.4-19.8 ms).
constexpr int32_t TAIL_CUT = 4;

int32_t round_rows(int64_t rows) {
  return static_cast<int32_t>(std::max<int64_t>(MV_SLICE_ROWS, rows / MV_SLICE_ROWS * MV_SLICE_ROWS));
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

void add_run(SlicedJob* j, int32_t part, int32_t row0, int32_t row_end, int32_t slice_rows) {
  if (row_end <= row0) return;
  SliceRun& r = j->run[j->n_runs++];
  r = {part, row0, row_end, slice_rows, j->total_slices};
  j->total_slices += slices_of(row_end - row0, slice_rows);
}

// Cuts the rows of parts [0, n) in order into slices, the last part's last rows finer.
void plan(SlicedJob* j, const int32_t* rows, int32_t n, int64_t all_rows) {
  const int32_t nt = std::max(P.n_threads, 1);
  const int32_t slice = round_rows(all_rows / (int64_t{nt} * SLICES_PER_PARTICIPANT));
  const int32_t fine = round_rows(slice / TAIL_CUT);
  j->n_runs = 0;
  j->total_slices = 0;
  for (int32_t p = 0; p < n; ++p) {
    const int32_t r = std::max(rows[p], 0);
    // The fine tail only where it stays a small part of the product and is finer at all.
    const int32_t tail = p == n - 1 && fine < slice && int64_t{r} >= 4 * int64_t{nt} * slice ? nt * slice : 0;
    add_run(j, p, 0, r - tail, slice);
    add_run(j, p, r - tail, r, fine);
  }
}

void run_slices(void* ctx, int32_t, int32_t) {
  SlicedJob* j = static_cast<SlicedJob*>(ctx);
  int32_t q = 0;
  for (;;) {
    const int32_t s = j->next.fetch_add(1, std::memory_order_relaxed);
    if (s >= j->total_slices) return;
    // Slices are claimed in increasing order, so a participant's run only moves forward.
    while (q + 1 < j->n_runs && s >= j->run[q + 1].first_slice) ++q;
    const SliceRun& R = j->run[q];
    const int32_t r0 = R.row0 + (s - R.first_slice) * R.slice_rows, r1 = std::min(r0 + R.slice_rows, R.row_end);
    if (j->after) {
      j->fn[0](&j->part[0], r0, r1);
      j->fn[1](&j->part[1], r0, r1);
      j->after(j->part[0].y + r0, j->part[1].y + r0, r1 - r0);
      continue;
    }
    j->fn[R.part](&j->part[R.part], r0, r1);
  }
}

void run(SlicedJob* j) {
  if (j->total_slices < 1) return;
  // One slice (16 rows or fewer) runs on the caller without waking anybody.
  pool_for(run_slices, j, std::max(1, std::min(P.n_threads, j->total_slices)), 1);
}

}  // namespace

void detail::matvec_shared_n(const MvProduct* products, int32_t n, const float* x, int32_t K) {
  // Never a product silently left out of the job: its output would keep stale values.
  if (n < 1 || n > MV_MAX_PRODUCTS) fatal("matvec: shared-input job count out of range");
  SlicedJob j;
  j.after = nullptr;
  int32_t rows[MV_MAX_PRODUCTS];
  int64_t all_rows = 0;
  for (int32_t i = 0; i < n; ++i) {
    fill_part(&j, i, products[i].W, x, products[i].y, products[i].rows, K);
    rows[i] = products[i].rows;
    all_rows += std::max(products[i].rows, 0);
  }
  plan(&j, rows, n, all_rows);
  run(&j);
}

void matvec_pair(const TensorEntry* Wa, const TensorEntry* Wb, const float* x, float* ya, float* yb,
                 int32_t rows, int32_t K, PairFn after) {
  SlicedJob j;
  j.after = after;
  fill_part(&j, 0, Wa, x, ya, rows, K);
  fill_part(&j, 1, Wb, x, yb, rows, K);
  plan(&j, &rows, 1, std::max(rows, 0));  // one run of rows; part 1 rides along
  run(&j);
}

void matvec(const TensorEntry* W, const float* x, float* y, int32_t rows, int32_t K) {
  const MvProduct one[1] = {{W, y, rows}};
  matvec_shared_input(one, x, K);
}
