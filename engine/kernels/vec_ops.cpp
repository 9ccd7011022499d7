// Fixed-order vector helpers: the portable scalar forms, which define every
// order, and the dispatch to a vector form with the same bits (those live in
// vec_ops_<set>.cpp): AVX2+FMA chosen once from the processor's features on
// x86, NEON always on arm64.
#include "kernels/vec_ops.h"

#include <cmath>

namespace vec_detail {

bool have_avx2() {
#if defined(__x86_64__)
  static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return ok;
#else
  return false;
#endif
}

Isa vec_isa() {
#if defined(__x86_64__)
  return have_avx2() ? Isa::Avx2 : Isa::Scalar;
#elif defined(__aarch64__)
  return Isa::Neon;
#else
  return Isa::Scalar;
#endif
}

// ---- scalar forms -------------------------------------------------------

float vdot_scalar(const float* a, const float* b, int32_t n) {
  float l[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int32_t n8 = n >= 0 ? n / 8 * 8 : 0;
  for (int32_t c = 0; c < n8; c += 8)
    for (int i = 0; i < 8; ++i) l[i] = std::fmaf(a[c + i], b[c + i], l[i]);
  const float t0 = l[0] + l[4], t1 = l[1] + l[5], t2 = l[2] + l[6], t3 = l[3] + l[7];
  float s = (t0 + t2) + (t1 + t3);
  for (int32_t k = n8; k < n; ++k) s = std::fmaf(a[k], b[k], s);
  return s;
}

void vdot_rows_scalar(const float* q, const float* rows, int64_t stride, int32_t n_rows,
                      int32_t d, float scale, float* out) {
  for (int32_t j = 0; j < n_rows; ++j) out[j] = vdot_scalar(q, rows + j * stride, d) * scale;
}

void vweighted_rows_scalar(const float* w, const float* rows, int64_t stride, int32_t n_rows,
                           int32_t d, float* out) {
  for (int32_t e = 0; e < d; ++e) out[e] = 0.0f;
  for (int32_t j = 0; j < n_rows; ++j) {
    const float* r = rows + j * stride;
    for (int32_t e = 0; e < d; ++e) out[e] = std::fmaf(w[j], r[e], out[e]);
  }
}

void vdot_rows_multi_scalar(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                            int32_t n_rows, int32_t d, float scale, float* const* out) {
  for (int32_t i = 0; i < nq; ++i) vdot_rows_scalar(q[i], rows, stride, n_rows, d, scale, out[i]);
}

void vweighted_rows_multi_scalar(const float* const* w, int32_t nq, const float* rows,
                                 int64_t stride, int32_t n_rows, int32_t d, float* const* out) {
  for (int32_t i = 0; i < nq; ++i) vweighted_rows_scalar(w[i], rows, stride, n_rows, d, out[i]);
}

void vnorm_scale_scalar(const float* x, const float* w, float q, float* y, int32_t n) {
  for (int32_t i = 0; i < n; ++i) y[i] = std::fmaf(x[i], load_f32(w + i), x[i]) * q;
}

void vdelta_decay_read_scalar(float* S, int32_t rows, int32_t cols, float g, const float* k,
                              float* acc) {
  for (int32_t j = 0; j < cols; ++j) acc[j] = 0.0f;
  for (int32_t i = 0; i < rows; ++i) {
    float* r = S + static_cast<int64_t>(i) * cols;
    for (int32_t j = 0; j < cols; ++j) {
      r[j] = r[j] * g;
      acc[j] = std::fmaf(k[i], r[j], acc[j]);
    }
  }
}

void vdelta_update_read_scalar(float* S, int32_t rows, int32_t cols, const float* k,
                               const float* delta, const float* q, float* o) {
  for (int32_t j = 0; j < cols; ++j) o[j] = 0.0f;
  for (int32_t i = 0; i < rows; ++i) {
    float* r = S + static_cast<int64_t>(i) * cols;
    for (int32_t j = 0; j < cols; ++j) {
      r[j] = std::fmaf(k[i], delta[j], r[j]);
      o[j] = std::fmaf(q[i], r[j], o[j]);
    }
  }
}

void vdelta_update_read_next_scalar(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                                    const float* q, float* o, float g_next, const float* k_next, float* acc_next) {
  for (int32_t j = 0; j < cols; ++j) o[j] = acc_next[j] = 0.0f;
  for (int32_t i = 0; i < rows; ++i) {
    float* r = S + static_cast<int64_t>(i) * cols;
    for (int32_t j = 0; j < cols; ++j) {
      const float s = std::fmaf(k[i], delta[j], r[j]);
      o[j] = std::fmaf(q[i], s, o[j]);
      r[j] = s * g_next;
      acc_next[j] = std::fmaf(k_next[i], r[j], acc_next[j]);
    }
  }
}


}  // namespace vec_detail

using namespace vec_detail;

// Every helper runs the same form on every call of the process.
#if defined(__x86_64__)
#define OLVU_VEC(name, ...) (have_avx2() ? name##_avx2(__VA_ARGS__) : name##_scalar(__VA_ARGS__))
#elif defined(__aarch64__)
#define OLVU_VEC(name, ...) name##_neon(__VA_ARGS__)
#else
#define OLVU_VEC(name, ...) name##_scalar(__VA_ARGS__)
#endif

float vdot(const float* a, const float* b, int32_t n) { return OLVU_VEC(vdot, a, b, n); }

void vdot_rows(const float* q, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
               float scale, float* out) {
  OLVU_VEC(vdot_rows, q, rows, stride, n_rows, d, scale, out);
}

void vweighted_rows(const float* w, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
                    float* out) {
  OLVU_VEC(vweighted_rows, w, rows, stride, n_rows, d, out);
}

void vdot_rows_multi(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                     int32_t n_rows, int32_t d, float scale, float* const* out) {
  OLVU_VEC(vdot_rows_multi, q, nq, rows, stride, n_rows, d, scale, out);
}

void vweighted_rows_multi(const float* const* w, int32_t nq, const float* rows, int64_t stride,
                          int32_t n_rows, int32_t d, float* const* out) {
  OLVU_VEC(vweighted_rows_multi, w, nq, rows, stride, n_rows, d, out);
}

void vnorm_scale(const float* x, const float* w, float q, float* y, int32_t n) {
  OLVU_VEC(vnorm_scale, x, w, q, y, n);
}

void vdelta_decay_read(float* S, int32_t rows, int32_t cols, float g, const float* k, float* acc) {
  OLVU_VEC(vdelta_decay_read, S, rows, cols, g, k, acc);
}

void vdelta_update_read(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                        const float* q, float* o) {
  OLVU_VEC(vdelta_update_read, S, rows, cols, k, delta, q, o);
}

void vdelta_update_read_next(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                             const float* q, float* o, float g_next, const float* k_next, float* acc_next) {
  OLVU_VEC(vdelta_update_read_next, S, rows, cols, k, delta, q, o, g_next, k_next, acc_next);
}
