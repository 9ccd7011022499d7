// The fixed-order vector helpers for AVX2 with FMA: eight-lane registers,
// each lane summing in the portable forms' order, several rows or queries at
// once so every loaded row serves all of them.
#include "kernels/vec_ops.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>

namespace vec_detail {

#define OLVU_AVX2 __attribute__((target("avx2,fma")))

namespace {

OLVU_AVX2 inline float fma1(float a, float b, float c) {
  return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a), _mm_set_ss(b), _mm_set_ss(c)));
}

// ((l0+l4)+(l2+l6)) + ((l1+l5)+(l3+l7)), as vdot_scalar combines its lanes.
OLVU_AVX2 inline float reduce8(__m256 v) {
  const __m128 t = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 u = _mm_add_ps(t, _mm_movehl_ps(t, t));
  return _mm_cvtss_f32(_mm_add_ss(u, _mm_shuffle_ps(u, u, 1)));
}

}  // namespace

OLVU_AVX2 float vdot_avx2(const float* a, const float* b, int32_t n) {
  __m256 acc = _mm256_setzero_ps();
  const int32_t n8 = n >= 0 ? n / 8 * 8 : 0;
  for (int32_t c = 0; c < n8; c += 8)
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + c), _mm256_loadu_ps(b + c), acc);
  float s = reduce8(acc);
  for (int32_t k = n8; k < n; ++k) s = fma1(a[k], b[k], s);
  return s;
}

OLVU_AVX2 void vdot_rows_avx2(const float* q, const float* rows, int64_t stride, int32_t n_rows,
                              int32_t d, float scale, float* out) {
  const int32_t d8 = d >= 0 ? d / 8 * 8 : 0;
  int32_t j = 0;
  // Four rows at once: each row keeps its own accumulator and order.
  for (; j + 4 <= n_rows; j += 4) {
    const float* r0 = rows + j * stride;
    const float* r1 = r0 + stride;
    const float* r2 = r1 + stride;
    const float* r3 = r2 + stride;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int32_t c = 0; c < d8; c += 8) {
      const __m256 x = _mm256_loadu_ps(q + c);
      a0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r0 + c), a0);
      a1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r1 + c), a1);
      a2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r2 + c), a2);
      a3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(r3 + c), a3);
    }
    float s0 = reduce8(a0), s1 = reduce8(a1), s2 = reduce8(a2), s3 = reduce8(a3);
    for (int32_t k = d8; k < d; ++k) {
      s0 = fma1(q[k], r0[k], s0);
      s1 = fma1(q[k], r1[k], s1);
      s2 = fma1(q[k], r2[k], s2);
      s3 = fma1(q[k], r3[k], s3);
    }
    out[j] = s0 * scale;
    out[j + 1] = s1 * scale;
    out[j + 2] = s2 * scale;
    out[j + 3] = s3 * scale;
  }
  for (; j < n_rows; ++j) out[j] = vdot_avx2(q, rows + j * stride, d) * scale;
}

OLVU_AVX2 void vweighted_rows_avx2(const float* w, const float* rows, int64_t stride,
                                   int32_t n_rows, int32_t d, float* out) {
  int32_t e = 0;
  for (; e + 64 <= d; e += 64) {
    __m256 o[8];
    for (int v = 0; v < 8; ++v) o[v] = _mm256_setzero_ps();
    for (int32_t j = 0; j < n_rows; ++j) {
      const __m256 wj = _mm256_set1_ps(w[j]);
      const float* r = rows + j * stride + e;
      for (int v = 0; v < 8; ++v) o[v] = _mm256_fmadd_ps(wj, _mm256_loadu_ps(r + 8 * v), o[v]);
    }
    for (int v = 0; v < 8; ++v) _mm256_storeu_ps(out + e + 8 * v, o[v]);
  }
  for (; e + 8 <= d; e += 8) {
    __m256 o = _mm256_setzero_ps();
    for (int32_t j = 0; j < n_rows; ++j)
      o = _mm256_fmadd_ps(_mm256_set1_ps(w[j]), _mm256_loadu_ps(rows + j * stride + e), o);
    _mm256_storeu_ps(out + e, o);
  }
  for (; e < d; ++e) {
    float s = 0.0f;
    for (int32_t j = 0; j < n_rows; ++j) s = fma1(w[j], rows[j * stride + e], s);
    out[e] = s;
  }
}

// Four queries against three rows at a time: twelve independent
// accumulators, each summing in vdot's order. With two rows (eight
// accumulators) the multiply-adds waited on each other: one thread, AMD EPYC
// family 25, 2048 cached rows of 256 a head, 49-51 ns a row for four queries
// against 32-36 with three.
OLVU_AVX2 void vdot_rows_multi_avx2(const float* const* q, int32_t nq, const float* rows,
                                    int64_t stride, int32_t n_rows, int32_t d, float scale,
                                    float* const* out) {
  const int32_t d8 = d >= 0 ? d / 8 * 8 : 0;
  int32_t i = 0;
  for (; i + 4 <= nq; i += 4) {
    const float* qs[4] = {q[i], q[i + 1], q[i + 2], q[i + 3]};
    int32_t j = 0;
    for (; j + 3 <= n_rows; j += 3) {
      const float* r[3] = {rows + j * stride, rows + (j + 1) * stride, rows + (j + 2) * stride};
      __m256 a[4][3];
      for (int u = 0; u < 4; ++u) a[u][0] = a[u][1] = a[u][2] = _mm256_setzero_ps();
      for (int32_t c = 0; c < d8; c += 8) {
        const __m256 v0 = _mm256_loadu_ps(r[0] + c), v1 = _mm256_loadu_ps(r[1] + c), v2 = _mm256_loadu_ps(r[2] + c);
        for (int u = 0; u < 4; ++u) {
          const __m256 x = _mm256_loadu_ps(qs[u] + c);
          a[u][0] = _mm256_fmadd_ps(x, v0, a[u][0]);
          a[u][1] = _mm256_fmadd_ps(x, v1, a[u][1]);
          a[u][2] = _mm256_fmadd_ps(x, v2, a[u][2]);
        }
      }
      for (int u = 0; u < 4; ++u)
        for (int k = 0; k < 3; ++k) {
          float s = reduce8(a[u][k]);
          for (int32_t c = d8; c < d; ++c) s = fma1(qs[u][c], r[k][c], s);
          out[i + u][j + k] = s * scale;
        }
    }
    for (; j < n_rows; ++j)
      for (int u = 0; u < 4; ++u) out[i + u][j] = vdot_avx2(qs[u], rows + j * stride, d) * scale;
  }
  for (; i < nq; ++i) vdot_rows_avx2(q[i], rows, stride, n_rows, d, scale, out[i]);
}

// Four weight vectors over 16 columns at a time: each row block is loaded
// once and fused into all four, every column summing rows in order. The rows
// go in blocks of WEIGHTED_BLOCK, every column of a block before the next
// block, the sums so far kept in out between blocks (a stored float reloads
// as the same value, so the order and the bits are those of one pass): a
// head's rows of 2048 cached positions (2 MiB) then pass the second-level
// cache once, where each of the sixteen column strips read them all again.
// One thread, AMD EPYC family 25, 2048 rows of 256: 40-43 ns a row for four
// weight vectors in one pass, 31-33 in blocks of 64, 35-37 in blocks of 128
// or 256.
constexpr int32_t WEIGHTED_BLOCK = 64;

OLVU_AVX2 void vweighted_rows_multi_avx2(const float* const* w, int32_t nq, const float* rows,
                                         int64_t stride, int32_t n_rows, int32_t d,
                                         float* const* out) {
  int32_t i = 0;
  for (; i + 4 <= nq; i += 4) {
    const float* ws[4] = {w[i], w[i + 1], w[i + 2], w[i + 3]};
    const int32_t d16 = d >= 0 ? d / 16 * 16 : 0;
    // At least one block, so that no rows still store zero sums.
    for (int32_t j0 = 0; j0 < n_rows || j0 == 0; j0 += WEIGHTED_BLOCK) {
      const int32_t j1 = std::min(n_rows, j0 + WEIGHTED_BLOCK);
      for (int32_t e = 0; e < d16; e += 16) {
        __m256 a[4][2];
        for (int u = 0; u < 4; ++u)
          if (j0 == 0) {
            a[u][0] = a[u][1] = _mm256_setzero_ps();
          } else {
            a[u][0] = _mm256_loadu_ps(out[i + u] + e);
            a[u][1] = _mm256_loadu_ps(out[i + u] + e + 8);
          }
        for (int32_t j = j0; j < j1; ++j) {
          const float* r = rows + j * stride + e;
          const __m256 v0 = _mm256_loadu_ps(r), v1 = _mm256_loadu_ps(r + 8);
          for (int u = 0; u < 4; ++u) {
            const __m256 wj = _mm256_set1_ps(ws[u][j]);
            a[u][0] = _mm256_fmadd_ps(wj, v0, a[u][0]);
            a[u][1] = _mm256_fmadd_ps(wj, v1, a[u][1]);
          }
        }
        for (int u = 0; u < 4; ++u) {
          _mm256_storeu_ps(out[i + u] + e, a[u][0]);
          _mm256_storeu_ps(out[i + u] + e + 8, a[u][1]);
        }
      }
    }
    int32_t e = d16;
    for (; e + 8 <= d; e += 8) {
      __m256 a[4];
      for (int u = 0; u < 4; ++u) a[u] = _mm256_setzero_ps();
      for (int32_t j = 0; j < n_rows; ++j) {
        const __m256 v = _mm256_loadu_ps(rows + j * stride + e);
        for (int u = 0; u < 4; ++u) a[u] = _mm256_fmadd_ps(_mm256_set1_ps(ws[u][j]), v, a[u]);
      }
      for (int u = 0; u < 4; ++u) _mm256_storeu_ps(out[i + u] + e, a[u]);
    }
    for (; e < d; ++e)
      for (int u = 0; u < 4; ++u) {
        float s = 0.0f;
        for (int32_t j = 0; j < n_rows; ++j) s = fma1(ws[u][j], rows[j * stride + e], s);
        out[i + u][e] = s;
      }
  }
  for (; i < nq; ++i) vweighted_rows_avx2(w[i], rows, stride, n_rows, d, out[i]);
}

OLVU_AVX2 void vnorm_scale_avx2(const float* x, const float* w, float q, float* y, int32_t n) {
  const __m256 qv = _mm256_set1_ps(q);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 xv = _mm256_loadu_ps(x + i);
    _mm256_storeu_ps(y + i, _mm256_mul_ps(_mm256_fmadd_ps(xv, _mm256_loadu_ps(w + i), xv), qv));
  }
  for (; i < n; ++i) y[i] = fma1(x[i], load_f32(w + i), x[i]) * q;
}

OLVU_AVX2 void vdelta_decay_read_avx2(float* S, int32_t rows, int32_t cols, float g,
                                      const float* k, float* acc) {
  const __m256 gv = _mm256_set1_ps(g);
  int32_t j = 0;
  for (; j + 64 <= cols; j += 64) {
    __m256 a[8];
    for (int v = 0; v < 8; ++v) a[v] = _mm256_setzero_ps();
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 ki = _mm256_set1_ps(k[i]);
      for (int v = 0; v < 8; ++v) {
        const __m256 s = _mm256_mul_ps(_mm256_loadu_ps(r + 8 * v), gv);
        _mm256_storeu_ps(r + 8 * v, s);
        a[v] = _mm256_fmadd_ps(ki, s, a[v]);
      }
    }
    for (int v = 0; v < 8; ++v) _mm256_storeu_ps(acc + j + 8 * v, a[v]);
  }
  for (; j + 8 <= cols; j += 8) {
    __m256 a = _mm256_setzero_ps();
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 s = _mm256_mul_ps(_mm256_loadu_ps(r), gv);
      _mm256_storeu_ps(r, s);
      a = _mm256_fmadd_ps(_mm256_set1_ps(k[i]), s, a);
    }
    _mm256_storeu_ps(acc + j, a);
  }
  for (; j < cols; ++j) {
    float a = 0.0f;
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      *r = *r * g;
      a = fma1(k[i], *r, a);
    }
    acc[j] = a;
  }
}

OLVU_AVX2 void vdelta_update_read_avx2(float* S, int32_t rows, int32_t cols, const float* k,
                                       const float* delta, const float* q, float* o) {
  int32_t j = 0;
  for (; j + 64 <= cols; j += 64) {
    __m256 a[8];
    for (int v = 0; v < 8; ++v) a[v] = _mm256_setzero_ps();
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 ki = _mm256_set1_ps(k[i]);
      const __m256 qi = _mm256_set1_ps(q[i]);
      for (int v = 0; v < 8; ++v) {
        const __m256 s =
            _mm256_fmadd_ps(ki, _mm256_loadu_ps(delta + j + 8 * v), _mm256_loadu_ps(r + 8 * v));
        _mm256_storeu_ps(r + 8 * v, s);
        a[v] = _mm256_fmadd_ps(qi, s, a[v]);
      }
    }
    for (int v = 0; v < 8; ++v) _mm256_storeu_ps(o + j + 8 * v, a[v]);
  }
  for (; j + 8 <= cols; j += 8) {
    __m256 a = _mm256_setzero_ps();
    const __m256 dv = _mm256_loadu_ps(delta + j);
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 s = _mm256_fmadd_ps(_mm256_set1_ps(k[i]), dv, _mm256_loadu_ps(r));
      _mm256_storeu_ps(r, s);
      a = _mm256_fmadd_ps(_mm256_set1_ps(q[i]), s, a);
    }
    _mm256_storeu_ps(o + j, a);
  }
  for (; j < cols; ++j) {
    float a = 0.0f;
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      *r = fma1(k[i], delta[j], *r);
      a = fma1(q[i], *r, a);
    }
    o[j] = a;
  }
}

// One pass instead of two per step of the prefill's walk: each element of
// the state is loaded and stored once, where the two passes loaded and stored
// it twice, and the stores bounded them. Strips of 32 columns, so that both
// sets of sums, the strip's deltas and the three broadcasts fit the 16
// registers. One thread, 2048 steps of a 128 x 128 head in two blocks of 64
// columns, AMD EPYC family 25: 2.41-2.45 us a step in two passes, 1.48-1.49
// in one.
OLVU_AVX2 void vdelta_update_read_next_avx2(float* S, int32_t rows, int32_t cols, const float* k,
                                            const float* delta, const float* q, float* o, float g_next,
                                            const float* k_next, float* acc_next) {
  const __m256 gv = _mm256_set1_ps(g_next);
  int32_t j = 0;
  for (; j + 32 <= cols; j += 32) {
    __m256 a[4], b[4], dv[4];
    for (int v = 0; v < 4; ++v) {
      a[v] = b[v] = _mm256_setzero_ps();
      dv[v] = _mm256_loadu_ps(delta + j + 8 * v);
    }
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 ki = _mm256_set1_ps(k[i]), qi = _mm256_set1_ps(q[i]), ni = _mm256_set1_ps(k_next[i]);
      for (int v = 0; v < 4; ++v) {
        const __m256 s = _mm256_fmadd_ps(ki, dv[v], _mm256_loadu_ps(r + 8 * v));
        a[v] = _mm256_fmadd_ps(qi, s, a[v]);
        const __m256 d = _mm256_mul_ps(s, gv);
        _mm256_storeu_ps(r + 8 * v, d);
        b[v] = _mm256_fmadd_ps(ni, d, b[v]);
      }
    }
    for (int v = 0; v < 4; ++v) {
      _mm256_storeu_ps(o + j + 8 * v, a[v]);
      _mm256_storeu_ps(acc_next + j + 8 * v, b[v]);
    }
  }
  for (; j + 8 <= cols; j += 8) {
    __m256 a = _mm256_setzero_ps(), b = a;
    const __m256 dv = _mm256_loadu_ps(delta + j);
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const __m256 s = _mm256_fmadd_ps(_mm256_set1_ps(k[i]), dv, _mm256_loadu_ps(r));
      a = _mm256_fmadd_ps(_mm256_set1_ps(q[i]), s, a);
      const __m256 d = _mm256_mul_ps(s, gv);
      _mm256_storeu_ps(r, d);
      b = _mm256_fmadd_ps(_mm256_set1_ps(k_next[i]), d, b);
    }
    _mm256_storeu_ps(o + j, a);
    _mm256_storeu_ps(acc_next + j, b);
  }
  for (; j < cols; ++j) {
    float a = 0.0f, b = 0.0f;
    for (int32_t i = 0; i < rows; ++i) {
      float* r = S + static_cast<int64_t>(i) * cols + j;
      const float s = fma1(k[i], delta[j], *r);
      a = fma1(q[i], s, a);
      *r = s * g_next;
      b = fma1(k_next[i], *r, b);
    }
    o[j] = a;
    acc_next[j] = b;
  }
}

}  // namespace vec_detail

#endif
