// Fixed-order vector helpers of the norms and the two mixers. Every helper has
// a portable scalar form and AVX2+FMA and NEON forms that give the same bits:
// the order of every sum is fixed here, so vectorising never changes a result.
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/cpu_features.h"

// Tensor data sits at any byte offset of the packed weights file, so a float
// of a vector tensor is read without assuming its alignment.
inline float load_f32(const float* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// dot(a, b, n): eight lane sums, lane l taking the elements 8c + l with one
// fused multiply-add each, combined as ((l0+l4)+(l2+l6)) + ((l1+l5)+(l3+l7)),
// then the n mod 8 tail added in order with fused multiply-adds.
float vdot(const float* a, const float* b, int32_t n);

// out[j] = vdot(q, rows + j*stride, d) * scale for j < n_rows.
void vdot_rows(const float* q, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
               float scale, float* out);

// out[e] = fma(w[j], rows[j*stride + e], out[e]) for j = 0 .. n_rows-1 in order,
// starting from out = +0.
void vweighted_rows(const float* w, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
                    float* out);

// nq queries against the same rows, each query's results bit-equal to
// vdot_rows(q[i], ...) into out[i]; every row is loaded once for all of them.
void vdot_rows_multi(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                     int32_t n_rows, int32_t d, float scale, float* const* out);

// nq weight vectors over the same rows, each bit-equal to vweighted_rows(w[i], ...) into out[i].
void vweighted_rows_multi(const float* const* w, int32_t nq, const float* rows, int64_t stride,
                          int32_t n_rows, int32_t d, float* const* out);

// y[i] = fma(x[i], w[i], x[i]) * q: the output step of the RMS norm; w may be unaligned.
void vnorm_scale(const float* x, const float* w, float q, float* y, int32_t n);

// The two passes of the delta rule over one state matrix S (rows x cols):
// decay: S[i][j] *= g, then acc[j] = fma(k[i], S[i][j], acc[j]) (acc from +0, i ascending);
// update: S[i][j] = fma(k[i], delta[j], S[i][j]), then o[j] = fma(q[i], S[i][j], o[j])
// (o from +0, i ascending).
void vdelta_decay_read(float* S, int32_t rows, int32_t cols, float g, const float* k, float* acc);
void vdelta_update_read(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                        const float* q, float* o);
// vdelta_update_read, then vdelta_decay_read for the next step (g_next,
// k_next into acc_next), in one pass over S: element by element the same
// operations in the same order, so the same bits as the two calls.
void vdelta_update_read_next(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                             const float* q, float* o, float g_next, const float* k_next, float* acc_next);

// Both forms, callable directly so tests can compare them.
namespace vec_detail {
bool have_avx2();
// The set whose forms the helpers above run.
Isa vec_isa();
float vdot_scalar(const float* a, const float* b, int32_t n);
void vdot_rows_scalar(const float* q, const float* rows, int64_t stride, int32_t n_rows,
                      int32_t d, float scale, float* out);
void vweighted_rows_scalar(const float* w, const float* rows, int64_t stride, int32_t n_rows,
                           int32_t d, float* out);
void vnorm_scale_scalar(const float* x, const float* w, float q, float* y, int32_t n);
void vdot_rows_multi_scalar(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                            int32_t n_rows, int32_t d, float scale, float* const* out);
void vweighted_rows_multi_scalar(const float* const* w, int32_t nq, const float* rows,
                                 int64_t stride, int32_t n_rows, int32_t d, float* const* out);
void vdelta_decay_read_scalar(float* S, int32_t rows, int32_t cols, float g, const float* k,
                              float* acc);
void vdelta_update_read_scalar(float* S, int32_t rows, int32_t cols, const float* k,
                               const float* delta, const float* q, float* o);
void vdelta_update_read_next_scalar(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                                  const float* q, float* o, float g_next, const float* k_next, float* acc_next);
#if defined(__x86_64__)
float vdot_avx2(const float* a, const float* b, int32_t n);
void vdot_rows_avx2(const float* q, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
                    float scale, float* out);
void vweighted_rows_avx2(const float* w, const float* rows, int64_t stride, int32_t n_rows,
                         int32_t d, float* out);
void vnorm_scale_avx2(const float* x, const float* w, float q, float* y, int32_t n);
void vdot_rows_multi_avx2(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                          int32_t n_rows, int32_t d, float scale, float* const* out);
void vweighted_rows_multi_avx2(const float* const* w, int32_t nq, const float* rows,
                               int64_t stride, int32_t n_rows, int32_t d, float* const* out);
void vdelta_decay_read_avx2(float* S, int32_t rows, int32_t cols, float g, const float* k,
                            float* acc);
void vdelta_update_read_avx2(float* S, int32_t rows, int32_t cols, const float* k,
                             const float* delta, const float* q, float* o);
void vdelta_update_read_next_avx2(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                                  const float* q, float* o, float g_next, const float* k_next, float* acc_next);
#endif
#if defined(__aarch64__)
float vdot_neon(const float* a, const float* b, int32_t n);
void vdot_rows_neon(const float* q, const float* rows, int64_t stride, int32_t n_rows, int32_t d,
                    float scale, float* out);
void vweighted_rows_neon(const float* w, const float* rows, int64_t stride, int32_t n_rows,
                         int32_t d, float* out);
void vnorm_scale_neon(const float* x, const float* w, float q, float* y, int32_t n);
void vdot_rows_multi_neon(const float* const* q, int32_t nq, const float* rows, int64_t stride,
                          int32_t n_rows, int32_t d, float scale, float* const* out);
void vweighted_rows_multi_neon(const float* const* w, int32_t nq, const float* rows,
                               int64_t stride, int32_t n_rows, int32_t d, float* const* out);
void vdelta_decay_read_neon(float* S, int32_t rows, int32_t cols, float g, const float* k,
                            float* acc);
void vdelta_update_read_neon(float* S, int32_t rows, int32_t cols, const float* k,
                             const float* delta, const float* q, float* o);
void vdelta_update_read_next_neon(float* S, int32_t rows, int32_t cols, const float* k, const float* delta,
                                  const float* q, float* o, float g_next, const float* k_next, float* acc_next);
#endif
}  // namespace vec_detail
