// The matrix-vector product and embedding rows: the portable scalar kernels,
// which define every summation order bit for bit, and the dispatch to the
// widest vector path the processor offers (those live in matvec_<set>.cpp).
#include "kernels/matvec.h"

#include <cmath>
#include <cstring>

#include "kernels/half.h"

namespace {

// Weight data may sit at any byte offset of the mapped file: read through memcpy.
inline float load_f32(const void* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

inline float load_half(const void* base, int64_t index) {
  uint16_t h;
  std::memcpy(&h, static_cast<const uint8_t*>(base) + index * 2, 2);
  return half_to_float(h);
}

void mv_q8_scalar(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  const float* x = job->x;
  if (K < 32) {
    for (int32_t r = start; r < end; ++r) job->y[r] = 0.0f;
    return;
  }
  const int32_t nb = K / 32;
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  for (int32_t r = start; r < end; ++r) {
    const uint8_t* blk = base + static_cast<int64_t>(r) * nb * Q8_BLOCK_BYTES;
    float A[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      const float scale = load_f32(blk);
      const int8_t* q = reinterpret_cast<const int8_t*>(blk + 4);
      const float* xb = x + 32 * b;
      for (int g = 0; g < 8; ++g) {
        for (int i = 0; i < 4; ++i) {
          const float w = scale * static_cast<float>(q[4 * g + i]);
          A[i] = std::fmaf(xb[4 * g + i], w, A[i]);
        }
      }
    }
    job->y[r] = (A[0] + A[1]) + (A[2] + A[3]);
  }
}

void mv_f16_scalar(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  const float* x = job->x;
  for (int32_t r = start; r < end; ++r) {
    const int64_t row = static_cast<int64_t>(r) * K;
    float s = 0.0f;
    if (K >= 8) {
      float A[4] = {0.0f, 0.0f, 0.0f, 0.0f}, B[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      const int32_t K8 = K / 8 * 8;
      for (int32_t c = 0; c < K8; c += 8) {
        for (int i = 0; i < 4; ++i) {
          A[i] = std::fmaf(x[c + i], load_half(job->weights, row + c + i), A[i]);
          B[i] = std::fmaf(x[c + 4 + i], load_half(job->weights, row + c + 4 + i), B[i]);
        }
      }
      float T[4];
      for (int i = 0; i < 4; ++i) T[i] = A[i] + B[i];
      s = (T[0] + T[1]) + (T[2] + T[3]);
      for (int32_t k = K8; k < K; ++k) s = std::fmaf(x[k], load_half(job->weights, row + k), s);
    } else {
      for (int32_t k = 0; k < K; ++k) s = std::fmaf(x[k], load_half(job->weights, row + k), s);
    }
    job->y[r] = s;
  }
}

void mv_f32_scalar(void* ctx, int32_t start, int32_t end) {
  const VecJob* job = static_cast<const VecJob*>(ctx);
  const int32_t K = job->K;
  const float* x = job->x;
  if (start >= end) return;
  if (K <= 0) {
    std::memset(job->y + start, 0, sizeof(float) * static_cast<size_t>(end - start));
    return;
  }
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  const int32_t K4 = K / 4 * 4, K16 = K / 16 * 16;
  for (int32_t r = start; r < end; ++r) {
    const uint8_t* wr = base + static_cast<int64_t>(r) * K * 4;
    auto w = [wr](int32_t k) { return load_f32(wr + 4 * static_cast<int64_t>(k)); };
    float s;
    if (K <= 3) {
      s = x[0] * w(0);
      for (int32_t k = 1; k < K; ++k) s = std::fmaf(x[k], w(k), s);
    } else if (K <= 15) {
      float V[4];
      for (int i = 0; i < 4; ++i) V[i] = x[i] * w(i);
      for (int32_t c = 4; c + 4 <= K; c += 4)
        for (int i = 0; i < 4; ++i) V[i] = std::fmaf(x[c + i], w(c + i), V[i]);
      s = (V[0] + V[1]) + (V[2] + V[3]);
      for (int32_t k = K4; k < K; ++k) s = std::fmaf(x[k], w(k), s);
    } else {
      float A[4][4] = {};
      for (int32_t c = 0; c + 16 <= K; c += 16)
        for (int j = 0; j < 4; ++j)
          for (int i = 0; i < 4; ++i)
            A[j][i] = std::fmaf(x[c + 4 * j + i], w(c + 4 * j + i), A[j][i]);
      float V[4];
      for (int i = 0; i < 4; ++i)
        V[i] = K == K16 ? ((A[0][i] + A[1][i]) + A[2][i]) + A[3][i]
                        : (A[0][i] + A[1][i]) + (A[2][i] + A[3][i]);
      s = (V[0] + V[1]) + (V[2] + V[3]);
      if (K - K16 >= 4) {
        float B[4] = {s, 0.0f, 0.0f, 0.0f};
        for (int32_t c = K16; c + 4 <= K; c += 4)
          for (int i = 0; i < 4; ++i) B[i] = std::fmaf(x[c + i], w(c + i), B[i]);
        s = (B[0] + B[1]) + (B[2] + B[3]);
      }
      for (int32_t k = K4; k < K; ++k) s = std::fmaf(x[k], w(k), s);
    }
    job->y[r] = s;
  }
}

const detail::MvKernels kScalar = {mv_q8_scalar, mv_f16_scalar, mv_f32_scalar};

void embed_row_scalar(const TensorEntry* E, int64_t row, float* dst, int32_t dim);

const detail::MvKernels* active() {
  static const detail::MvKernels* k = [] {
    const detail::MvKernels* best = detail::mv_kernels(best_isa());
    return best ? best : &kScalar;
  }();
  return k;
}

}  // namespace

namespace detail {

const MvKernels* mv_active() { return active(); }

const MvKernels* mv_kernels(Isa isa) {
  if (!isa_supported(isa)) return nullptr;
  switch (isa) {
    case Isa::Scalar: return &kScalar;
    case Isa::Avx2: return mv_kernels_avx2();
    case Isa::Avx512: return mv_kernels_avx512();
    case Isa::Neon: return mv_kernels_neon();
  }
  return nullptr;
}

EmbedFn embed_row_kernel(Isa isa) {
  if (!isa_supported(isa)) return nullptr;
  switch (isa) {
    case Isa::Scalar: return embed_row_scalar;
    case Isa::Neon: return embed_row_neon();
    default: return nullptr;
  }
}

}  // namespace detail

void mv_q8_range(void* ctx, int32_t start, int32_t end) { active()->q8(ctx, start, end); }
void mv_f16_range(void* ctx, int32_t start, int32_t end) { active()->f16(ctx, start, end); }
void mv_f32_range(void* ctx, int32_t start, int32_t end) { active()->f32(ctx, start, end); }

namespace {

void embed_row_scalar(const TensorEntry* E, int64_t row, float* dst, int32_t dim) {
  if (E->data_q8) {
    if (dim < 32) return;
    const int32_t nb = dim / 32;
    const uint8_t* blk = E->data_q8 + row * nb * Q8_BLOCK_BYTES;
    for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
      const float scale = load_f32(blk);
      const int8_t* q = reinterpret_cast<const int8_t*>(blk + 4);
      for (int j = 0; j < 32; ++j) dst[32 * b + j] = scale * static_cast<float>(q[j]);
    }
  } else if (E->data_f16) {
    for (int32_t i = 0; i < dim; ++i) dst[i] = load_half(E->data_f16, row * dim + i);
  } else if (dim > 0) {
    std::memcpy(dst, reinterpret_cast<const uint8_t*>(E->data_f32) + row * dim * 4,
                sizeof(float) * static_cast<size_t>(dim));
  }
}

}  // namespace

void embed_row(const TensorEntry* E, int64_t row, float* dst, int32_t dim) {
  static const detail::EmbedFn fn = [] {
    const detail::EmbedFn best = detail::embed_row_kernel(best_isa());
    return best ? best : embed_row_scalar;
  }();
  fn(E, row, dst, dim);
}
