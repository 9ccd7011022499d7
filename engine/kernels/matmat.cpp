// Batched products Y = X . W^T: the BLAS path (f16/q8 weights expanded into the
// process-wide dequant_scratch first), the pool path with the engine's own
// kernels, and the acceleration switch that chooses between them. The scalar
// pool kernels here define the bits every vector path reproduces.
#include "kernels/matmat.h"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"
#include "kernels/half.h"
#include "kernels/matmat_loops.h"

namespace {

struct DequantScratch {
  float* buf;
  uint64_t cap;  // floats
};

DequantScratch dequant_scratch = {nullptr, 0};
bool fail_next_alloc = false;

inline float load_f32(const void* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

// The portable path's row expansions and dot product; the loops over rows
// around them are the ones the vector paths use.
struct Scalar {
  // The dot product every pool kernel uses: four four-lane accumulators over
  // 16 inputs per step, then one four-lane step seeded with the sum, then
  // single fused steps.
  static float dot_d(const float* x, const float* w, int32_t K) {
    float s = 0.0f;
    int32_t c = 0;
    if (K >= 16) {
      float A[4][4] = {};
      for (; c + 16 <= K; c += 16)
        for (int j = 0; j < 4; ++j)
          for (int i = 0; i < 4; ++i) A[j][i] = std::fmaf(x[c + 4 * j + i], w[c + 4 * j + i], A[j][i]);
      float V[4];
      for (int i = 0; i < 4; ++i) V[i] = (A[0][i] + A[1][i]) + (A[2][i] + A[3][i]);
      s = (V[0] + V[1]) + (V[2] + V[3]);
    }
    if (K - c >= 4) {
      float T[4] = {s, 0.0f, 0.0f, 0.0f};
      for (; c + 4 <= K; c += 4)
        for (int i = 0; i < 4; ++i) T[i] = std::fmaf(x[c + i], w[c + i], T[i]);
      s = (T[0] + T[1]) + (T[2] + T[3]);
    }
    for (; c < K; ++c) s = std::fmaf(x[c], w[c], s);
    return s;
  }

  template <int R>
  static void dot(const float* X, int64_t ldx, const float* w, int32_t K, float* Y, int64_t ldy) {
    for (int t = 0; t < R; ++t) Y[t * ldy] = dot_d(X + t * ldx, w, K);
  }

  // Weight rows cut short of K (a q8 K that is not a multiple of 32) read as
  // zeros rather than as whatever the stack held.
  static void expand_q8_row(const uint8_t* blk, int32_t K, float* buf) {
    const int32_t nb = K / 32;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      const float scale = load_f32(blk);
      const int8_t* q = reinterpret_cast<const int8_t*>(blk + 4);
      for (int j = 0; j < 32; ++j) buf[32 * b + j] = scale * static_cast<float>(q[j]);
    }
    for (int32_t k = 32 * nb; k < K; ++k) buf[k] = 0.0f;
  }

  static void expand_f16_run(const uint8_t* h, int64_t n, float* buf) {
    for (int64_t k = 0; k < n; ++k) {
      uint16_t v;
      std::memcpy(&v, h + 2 * k, 2);
      buf[k] = half_to_float(v);
    }
  }
};

const detail::MmKernels kScalar = detail::MatmatLoops<Scalar>::kernels;

const detail::MmKernels* active() {
  static const detail::MmKernels* k = [] {
    const detail::MmKernels* best = detail::mm_kernels(best_isa());
    return best ? best : &kScalar;
  }();
  return k;
}

// Grows the scratch to hold `need` floats; null when memory is exhausted.
float* scratch_for(int64_t need) {
  if (need > 0 && dequant_scratch.cap < static_cast<uint64_t>(need)) {
    std::free(dequant_scratch.buf);
    dequant_scratch.buf = nullptr;
    if (!fail_next_alloc)
      dequant_scratch.buf = static_cast<float*>(std::malloc(static_cast<size_t>(need) * sizeof(float)));
    fail_next_alloc = false;
    dequant_scratch.cap = dequant_scratch.buf ? static_cast<uint64_t>(need) : 0;
  }
  return dequant_scratch.buf;
}

// How the BLAS path uses the cores. The pool's workers spin between jobs (and
// nap only briefly), so a BLAS running threads of its own shares the cores
// with them and stalls at its own barriers: on the 8-core Xeon (Sapphire
// Rapids, KVM) with OpenBLAS 0.3.21 and f32 weights, its own eight threads
// with the pool present gave 1 to 113 GFLOP/s over the benchmark's shapes,
// one BLAS thread per pool participant 97 to 252. With OpenBLAS the product
// is therefore cut by output features over the pool into blocks of weight
// rows: a participant expands a block and multiplies it in at once with a
// single-threaded call while the block is still in its core's cache. Another
// BLAS gets the product in one call; the expansion still runs on the pool.
//
// A block is about 1 MiB of floats, half of that core's 2 MiB L2: with
// 512 KiB the BLAS's repacking of the input rows per call shows (q8 at one
// thread, M = 256, K = 6144: 68 % of the f32 product against 88 % with 1 MiB;
// M = 16 and 64 gained 0 to 10 points), while 2 MiB no longer stays in L2.
// From 128 input rows on, that repacking of all M rows for every block costs
// more than the expansion's stay in L2 saves, so the block grows with M:
// 1 MiB per 64 input rows (eight threads, K = 6144: M = 1024 75 to 82 % of
// the f32 product with 1 MiB, 93 to 95 % so; M = 256 80 to 90 %, 91 to 99 %).
constexpr int64_t BLOCK_ROWS_OF_INPUT = 64;
constexpr int64_t BLOCK_BYTES = 1 << 20;

// Products of few output features are still cut into this many blocks where
// 8 rows each allow it, so that every core of the pool gets a share. A fixed
// count, not the pool's size: the blocks, and so the BLAS calls and their bits,
// stay the same whatever the number of participants.
constexpr int64_t MIN_BLOCKS = 16;

// Weight rows per block: a whole multiple of 8, at least 8, near BLOCK_BYTES
// of floats per BLOCK_ROWS_OF_INPUT input rows (at least once), or less where
// that leaves fewer than MIN_BLOCKS blocks. M is the same for every storage,
// so equal weights still make the same BLAS calls.
int32_t block_rows(int32_t N, int32_t K, int32_t M) {
  if (N < 1 || K < 1) return N > 1 ? N : 1;
  const int64_t scale = std::max<int64_t>(1, M / BLOCK_ROWS_OF_INPUT);
  const int64_t by_bytes = scale * BLOCK_BYTES / (4 * static_cast<int64_t>(K)) / 8 * 8;
  const int64_t by_count = (static_cast<int64_t>(N) + MIN_BLOCKS - 1) / MIN_BLOCKS;
  int64_t r = std::min(by_bytes, (by_count + 7) / 8 * 8);
  r = std::max<int64_t>(r, 8);
  return static_cast<int32_t>(std::min<int64_t>(r, N));
}

struct BlasJob {
  const TensorEntry* W;
  const float* X;
  float* Y;
  float* B;  // the scratch, or null for f32 weights used in place
  int32_t M, N, K;
  int32_t rows;                       // weight rows per block
  bool slots;                         // each participant expands into a slot of its own
  uint64_t serial;                    // tells a participant's slot of this product from an older one
  std::atomic<int64_t> next_slot{0};
};

// Expands weight rows [n0, n1) to dst.
void expand_rows(const BlasJob* job, int32_t n0, int32_t n1, float* dst) {
  const detail::MmKernels* k = active();
  if (job->W->data_q8)
    k->expand_q8(job->W->data_q8 + static_cast<int64_t>(n0) * (job->K / 32) * Q8_BLOCK_BYTES, n1 - n0, job->K, dst);
  else
    k->expand_f16(job->W->data_f16 + static_cast<int64_t>(n0) * job->K, static_cast<int64_t>(n1 - n0) * job->K, dst);
}

// Y[:, n0..n1) = X . B[n0..n1)^T. A BLAS rejects leading dimensions below 1
// and then writes nothing; with K = 0 the product is still defined (zeros).
void sgemm_columns(const BlasJob* job, const float* B, int32_t n0, int32_t n1) {
  const int32_t ld_in = job->K > 1 ? job->K : 1, ld_out = job->N > 1 ? job->N : 1;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, job->M, n1 - n0, job->K, 1.0f, job->X, ld_in, B, ld_in, 0.0f,
              job->Y + n0, ld_out);
}

void block_bounds(const BlasJob* job, int32_t blk, int32_t* n0, int32_t* n1) {
  const int64_t lo = static_cast<int64_t>(blk) * job->rows, hi = lo + job->rows;
  *n0 = static_cast<int32_t>(lo);
  *n1 = static_cast<int32_t>(hi < job->N ? hi : job->N);
}

#if defined(OPENBLAS_SEQUENTIAL)
// Each participant of a product expands every block it takes into one slot
// of the scratch of its own, so the rows the BLAS reads next are still in this
// core's cache and the scratch is not written back and fetched again block
// after block (q8 at one thread, M = 16: 71 to 83 % of the f32 product with
// every block in its own place, 83 to 107 % with one slot). Slots are handed
// out in the order the participants first take a block of the product; when
// the blocks could run out of slots (more participants than whole blocks),
// each block goes to its own place instead.
std::atomic<uint64_t> product_serial{0};

struct SlotOfThread {
  uint64_t serial;
  int64_t offset;  // floats
};
thread_local SlotOfThread my_slot = {0, 0};

// The blocks are fixed by the product, not by the range, so every f32, f16 or
// q8 product makes the same BLAS calls whatever the pool and its chunks.
void blas_block_range(void* ctx, int32_t b0, int32_t b1) {
  BlasJob* job = static_cast<BlasJob*>(ctx);
  const int64_t block_floats = static_cast<int64_t>(job->rows) * job->K;
  if (job->B && job->slots && my_slot.serial != job->serial)
    my_slot = {job->serial, job->next_slot.fetch_add(1, std::memory_order_relaxed) * block_floats};
  for (int32_t blk = b0; blk < b1; ++blk) {
    int32_t n0, n1;
    block_bounds(job, blk, &n0, &n1);
    // Expanded weights have no f32 data to point into, not even a null base.
    const float* B;
    if (job->B) {
      float* dst = job->B + (job->slots ? my_slot.offset : blk * block_floats);
      expand_rows(job, n0, n1, dst);
      B = dst;
    } else {
      B = job->W->data_f32 + static_cast<int64_t>(n0) * job->K;
    }
    sgemm_columns(job, B, n0, n1);
  }
}
#else
void expand_block_range(void* ctx, int32_t b0, int32_t b1) {
  const BlasJob* job = static_cast<const BlasJob*>(ctx);
  for (int32_t blk = b0; blk < b1; ++blk) {
    int32_t n0, n1;
    block_bounds(job, blk, &n0, &n1);
    expand_rows(job, n0, n1, job->B + static_cast<int64_t>(n0) * job->K);
  }
}
#endif

// Returns false when the product has to fall back to the pool path.
bool blas_product(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K) {
  BlasJob job;
  job.W = W;
  job.X = X;
  job.Y = Y;
  job.B = nullptr;
  job.M = M;
  job.N = N;
  job.K = K;
  job.rows = block_rows(N, K, M);
  const int32_t participants = P.n_threads > 1 ? P.n_threads : 1;
  job.slots = N / job.rows >= participants;
  job.serial = 0;
  if (W->data_q8 || W->data_f16) {
    job.B = scratch_for(static_cast<int64_t>(N) * K);
    if (!job.B) return false;
  }
  const int32_t blocks = N > 0 ? static_cast<int32_t>((static_cast<int64_t>(N) + job.rows - 1) / job.rows) : 0;
#if defined(OPENBLAS_SEQUENTIAL)
  job.serial = product_serial.fetch_add(1, std::memory_order_relaxed) + 1;
  if (openblas_get_num_threads() != 1) openblas_set_num_threads(1);
  pool_for(blas_block_range, &job, blocks, 1);
#else
  if (job.B) pool_for(expand_block_range, &job, blocks, 1);
  sgemm_columns(&job, job.B ? job.B : W->data_f32, 0, N);
#endif
  return true;
}

}  // namespace

namespace detail {

const MmKernels* mm_kernels(Isa isa) {
  if (!isa_supported(isa)) return nullptr;
  switch (isa) {
    case Isa::Scalar: return &kScalar;
    case Isa::Avx2: return mm_kernels_avx2();
    case Isa::Avx512: return mm_kernels_avx512();
    case Isa::Neon: return mm_kernels_neon();
  }
  return nullptr;
}

uint64_t dequant_scratch_capacity() { return dequant_scratch.cap; }
void fail_next_scratch_allocation() { fail_next_alloc = true; }

}  // namespace detail

void mm_q8_range(void* ctx, int32_t start, int32_t end) { active()->q8(ctx, start, end); }
void mm_f16_range(void* ctx, int32_t start, int32_t end) { active()->f16(ctx, start, end); }
void mm_f32_range(void* ctx, int32_t start, int32_t end) { active()->f32(ctx, start, end); }

int accel_on() {
  static int32_t flag = -1;
  if (flag < 0) flag = std::getenv("OLVU_NO_ACCEL") ? 0 : 1;
  return flag;
}

void matmat_t(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K) {
  if (K > MAX_IN_DIM) fatal("matmat: in-dim exceeds row buffer");
  const int accel = accel_on();  // the first product decides the switch, whatever its M
  if (M >= 16 && accel == 1 && blas_product(W, X, Y, M, N, K)) return;
  const detail::MmKernels* k = active();
  MatJob job;
  RangeFn fn;
  if (W->data_q8) {
    job.weights = W->data_q8;
    fn = k->q8;
  } else if (W->data_f16) {
    job.weights = W->data_f16;
    fn = k->f16;
  } else {
    job.weights = W->data_f32;
    fn = k->f32;
  }
  job.X = X;
  job.Y = Y;
  job.M = M;
  job.N = N;
  job.K = K;
  pool_for(fn, &job, N, 8);
}
