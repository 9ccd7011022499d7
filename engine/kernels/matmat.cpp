// Batched products Y = X . W^T: the accelerated path (the panel product of
// matmat_panel.cpp) from 16 rows on, the pool path with the engine's own
// kernels otherwise, and the acceleration switch that chooses between them. The scalar
// pool kernels here define the bits every vector path reproduces.
#include "kernels/matmat.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"
#include "kernels/half.h"
#include "kernels/matmat_loops.h"
#include "kernels/matmat_panel.h"

namespace {

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
  static void expand_q8_row(const uint8_t* blk, int32_t K, float* buf, int64_t cs) {
    const int32_t nb = K / 32;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      const float scale = load_f32(blk);
      const int8_t* q = reinterpret_cast<const int8_t*>(blk + 4);
      for (int j = 0; j < 32; ++j) buf[(2 * b + j / 16) * cs + j % 16] = scale * static_cast<float>(q[j]);
    }
    for (int32_t k = 32 * nb; k < K; ++k) buf[k / 16 * cs + k % 16] = 0.0f;
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

}  // namespace detail

void mm_q8_range(void* ctx, int32_t start, int32_t end) { active()->q8(ctx, start, end); }
void mm_f16_range(void* ctx, int32_t start, int32_t end) { active()->f16(ctx, start, end); }
void mm_f32_range(void* ctx, int32_t start, int32_t end) { active()->f32(ctx, start, end); }

int accel_on() {
  static int32_t flag = -1;
  if (flag < 0) flag = std::getenv("OLVU_NO_ACCEL") ? 0 : 1;
  return flag;
}

namespace {

// The pool path: the engine's kernels over the output features.
void pool_product(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K) {
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

}  // namespace

// No product goes to the platform BLAS. Against OpenBLAS 0.3.21 on f32
// weights already expanded (the better of its own threads and one BLAS
// thread per core over slices of the outputs), all layer products of the
// benchmark model at M = 16 / 35 / 64 / 128 / 512 / 2048 rows, 8 threads,
// AMD EPYC family 26 (AVX-512), the panel product gave these multiples of
// the BLAS's rate (two runs): q8 7.3-7.4 / 4.1-5.4 / 1.75-1.76 / 1.50-1.75 /
// 1.33-1.38 / 1.09-1.16, f16 6.9-7.1 / 4.1-5.0 / 1.68-1.79 / 1.45-1.77 /
// 1.33-1.39 / 1.13-1.19, f32 6.1-7.2 / 3.5-4.5 / 1.48-1.62 / 1.21-1.55 /
// 1.08-1.17 / 0.95-0.99. With tiles claimed one at a time and blocks of 512
// rows (one run): q8 7.6 / 4.8 / 1.93 / 1.62 / 1.40 / 1.36, f16 7.0 / 4.4 /
// 1.87 / 1.62 / 1.39 / 1.36, f32 6.8 / 3.9 / 1.70 / 1.39 / 1.23 / 1.19. On
// AMD EPYC family 25 (Zen 3, AVX2 only), with the AVX2 lane form, two runs:
// q8 3.2-3.7 / 3.2-3.4 / 1.5-2.3 / 1.31-1.33 / 1.02-1.10 / 1.03-1.06, f16
// 2.8-3.2 / 2.9-3.0 / 1.45-2.2 / 1.24-1.27 / 1.05-1.08 / 1.02-1.06, f32
// 2.6-3.0 / 2.7-2.9 / 1.43-2.1 / 1.16-1.27 / 1.07-1.09 / 1.02-1.05. No
// matrix of the model is stored as f32, and q8 and f16 through the BLAS
// would also pay for their expansion first.
void matmat_shared_input(const MatProduct* products, int32_t n, const float* X, int32_t M, int32_t K) {
  if (K > MAX_IN_DIM) fatal("matmat: in-dim exceeds row buffer");
  const int accel = accel_on();  // the first product decides the switch, whatever its M
  if (n > MM_MAX_SHARED) {
    for (int32_t i = 0; i < n; ++i) matmat_t(products[i].W, X, products[i].Y, M, products[i].N, K);
    return;
  }
  if (n < 1 || (M >= 16 && accel == 1 && detail::panel_products(products, n, X, M, K))) return;
  // Below 16 rows, or without a panel buffer: every product on the pool path.
  for (int32_t i = 0; i < n; ++i) pool_product(products[i].W, X, products[i].Y, M, products[i].N, K);
}

void matmat_t(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K) {
  const MatProduct one{W, Y, N};
  matmat_shared_input(&one, 1, X, M, K);
}
