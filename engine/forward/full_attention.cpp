// Full-attention layer. Both forms share rope_row and rope_apply, and every
// head is computed by the same fixed-order pieces (attend_head, or its grouped
// form for heads that share a key/value head), so for equal projections the
// two forms give equal attention results.
#include "forward/full_attention.h"

#include <cmath>
#include <cstring>

#include "runtime/fatal.h"
#include "forward/layer_skeleton.h"
#include "kernels/matmat.h"
#include "kernels/matvec.h"
#include "kernels/matvec_jobs.h"
#include "runtime/pool.h"
#include "model/tensor_lookup.h"
#include "kernels/vec_ops.h"
#include "runtime/work_alloc.h"

namespace {

constexpr int32_t STEP_MAX_QUERY = 2048;  // n_heads * head_dim
constexpr int32_t STEP_MAX_HEAD = 256;

float attn_scale_of(int32_t head_dim) {
  return 1.0f / std::sqrt(static_cast<float>(head_dim));
}

void sincos_f32(float a, float* s, float* c) {
#if defined(__APPLE__)
  __sincosf(a, s, c);
#else
  sincosf(a, s, c);
#endif
}

struct AttnWeights {
  const TensorEntry *q, *k, *v, *o;
  const float *q_norm, *k_norm;
};

AttnWeights lookup(const ModelConfig* c, int32_t l) {
  const int64_t H = c->hidden_size, hd = c->head_dim;
  const int64_t qd = static_cast<int64_t>(c->n_heads) * hd;
  const int64_t kvd = static_cast<int64_t>(c->n_kv_heads) * hd;
  AttnWeights w;
  w.q = get_matrix(c, "model.layers.%d.self_attn.q_proj.weight", l, 2 * qd, H);
  w.k = get_matrix(c, "model.layers.%d.self_attn.k_proj.weight", l, kvd, H);
  w.v = get_matrix(c, "model.layers.%d.self_attn.v_proj.weight", l, kvd, H);
  w.o = get_matrix(c, "model.layers.%d.self_attn.o_proj.weight", l, H, qd);
  w.q_norm = get_vector(c, "model.layers.%d.self_attn.q_norm.weight", l, hd);
  w.k_norm = get_vector(c, "model.layers.%d.self_attn.k_norm.weight", l, hd);
  return w;
}

// rms_norm into a temporary, then back over the head.
void norm_head(float* x, const float* w, int32_t hd, float eps, float* tmp) {
  rms_norm(x, w, hd, eps, tmp);
  std::memcpy(x, tmp, sizeof(float) * static_cast<size_t>(hd));
}

}  // namespace

int32_t rope_dim(const ModelConfig* c) {
  const float r = c->rotary_fraction * static_cast<float>(c->head_dim);
  // A fraction that is not a number or beyond every head rotates nothing.
  if (!(r > -2147483648.0f && r < 2147483648.0f)) return 0;
  return static_cast<int32_t>(r);
}

void rope_row(int32_t position, int32_t rot_dim, float rope_theta, float* cos_row,
              float* sin_row) {
  const float c = -2.0f / static_cast<float>(rot_dim);
  const int32_t rot_half = rot_dim / 2;
  for (int32_t j = 0; j < rot_half; ++j) {
    const float e = static_cast<float>(j) * c;
    const float f = std::pow(rope_theta, e);
    const float a = f * static_cast<float>(position);
    sincos_f32(a, &sin_row[j], &cos_row[j]);
  }
}

void rope_apply(float* x, const float* cos_row, const float* sin_row, int32_t rot_half) {
  for (int32_t j = 0; j < rot_half; ++j) {
    const float a = x[j], b = x[j + rot_half];
    x[j] = a * cos_row[j] - b * sin_row[j];
    x[j + rot_half] = a * sin_row[j] + b * cos_row[j];
  }
}

namespace {

// Softmax of one head's scores relative to their maximum, in place.
void softmax_scores(float* scores, int32_t n) {
  float m = scores[0];
  for (int32_t j = 1; j < n; ++j)
    if (scores[j] > m) m = scores[j];
  float S = 0.0f;
  for (int32_t j = 0; j < n; ++j) {
    scores[j] = std::exp(scores[j] - m);
    S = S + scores[j];
  }
  const float r = 1.0f / S;
  for (int32_t j = 0; j < n; ++j) scores[j] = scores[j] * r;
}

void apply_gate(float* out, const float* gate, int32_t head_dim) {
  for (int32_t d = 0; d < head_dim; ++d) out[d] = out[d] / (std::exp(-gate[d]) + 1.0f);
}

constexpr int32_t GROUP_MAX = 4;

// attend_head for up to GROUP_MAX query heads of one key/value head: each
// cache row is read once for all of them, and every head's result has the
// bits attend_head gives it.
void attend_group(const float* const* queries, const float* const* gates, const float* k_cache,
                  const float* v_cache, int32_t g, int32_t n_kv_heads, int32_t head_dim, int32_t n,
                  float attn_scale, float* scores, float* const* outs, int32_t nq) {
  const int64_t row = static_cast<int64_t>(n_kv_heads) * head_dim;
  const float* K = k_cache + static_cast<int64_t>(g) * head_dim;
  const float* V = v_cache + static_cast<int64_t>(g) * head_dim;
  float* sc[GROUP_MAX];
  for (int32_t i = 0; i < nq; ++i) sc[i] = scores + static_cast<int64_t>(i) * MAX_CTX;
  vdot_rows_multi(queries, nq, K, row, n, head_dim, attn_scale, sc);
  for (int32_t i = 0; i < nq; ++i) softmax_scores(sc[i], n);
  vweighted_rows_multi(sc, nq, V, row, n, head_dim, outs);
  for (int32_t i = 0; i < nq; ++i) apply_gate(outs[i], gates[i], head_dim);
}

}  // namespace

void attend_head(const float* query, const float* gate, const float* k_cache, const float* v_cache,
                 int32_t g, int32_t n_kv_heads, int32_t head_dim, int32_t n, float attn_scale,
                 float* scores, float* out) {
  const int64_t row = static_cast<int64_t>(n_kv_heads) * head_dim;
  const float* K = k_cache + static_cast<int64_t>(g) * head_dim;
  const float* V = v_cache + static_cast<int64_t>(g) * head_dim;
  vdot_rows(query, K, row, n, head_dim, attn_scale, scores);
  softmax_scores(scores, n);
  vweighted_rows(scores, V, row, n, head_dim, out);
  apply_gate(out, gate, head_dim);
}

void attn_pref_range(void* ctx, int32_t start, int32_t end) {
  const AttnPrefJob* j = static_cast<const AttnPrefJob*>(ctx);
  if (start >= end || j->n_heads < 1) return;
  const int32_t kv_group = j->n_heads / j->n_kv_heads;
  const int64_t qd = static_cast<int64_t>(j->n_heads) * j->head_dim;
  // Query heads that share a key/value head go together, GROUP_MAX at a time.
  float scores[GROUP_MAX * MAX_CTX];
  for (int32_t t = start; t < end; ++t) {
    int32_t h0 = 0;
    while (h0 < j->n_heads) {
      const int32_t g = h0 / kv_group;
      int32_t nq = 0;
      const float* qs[GROUP_MAX];
      const float* gs[GROUP_MAX];
      float* os[GROUP_MAX];
      for (int32_t h = h0; h < j->n_heads && h < h0 + GROUP_MAX && h / kv_group == g; ++h, ++nq) {
        const int64_t off = t * qd + static_cast<int64_t>(h) * j->head_dim;
        qs[nq] = j->queries + off;
        gs[nq] = j->gates + off;
        os[nq] = j->out + off;
      }
      attend_group(qs, gs, j->k_cache, j->v_cache, g, j->n_kv_heads, j->head_dim,
                   j->start_pos + t + 1, j->attn_scale, scores, os, nq);
      h0 += nq;  // a group ends early where the key/value head changes
    }
  }
}

namespace {

// The heads of one decoded token, each with its own scores buffer.
struct AttnStepJob {
  const float* query;
  const float* gate;
  const LayerCache* lc;
  int32_t n_heads, n_kv_heads, head_dim, n;
  float attn_scale;
  float* out;
};

void attn_step_heads(void* ctx, int32_t start, int32_t end) {
  const AttnStepJob* j = static_cast<const AttnStepJob*>(ctx);
  const int32_t kv_group = j->n_heads / j->n_kv_heads;
  float scores[MAX_CTX];
  for (int32_t h = start; h < end; ++h)
    attend_head(j->query + h * j->head_dim, j->gate + h * j->head_dim, j->lc->k_cache,
                j->lc->v_cache, h / kv_group, j->n_kv_heads, j->head_dim, j->n, j->attn_scale,
                scores, j->out + h * j->head_dim);
}

}  // namespace

void full_attention_step(RuntimeState* st, int32_t layer) {
  const ModelConfig* c = st->config;
  LayerCache* lc = &st->layers[layer];
  const int32_t p = lc->kv_len;
  if (p >= MAX_CTX) fatal("context overflow");
  const AttnWeights w = lookup(c, layer);

  const int32_t Hs = static_cast<int32_t>(c->hidden_size);
  const int32_t nh = static_cast<int32_t>(c->n_heads), nkv = static_cast<int32_t>(c->n_kv_heads);
  const int32_t hd = static_cast<int32_t>(c->head_dim);
  const int32_t kvd = nkv * hd;
  const int32_t rot_dim = rope_dim(c), rot_half = rot_dim / 2;
  const float eps = c->rms_eps;

  float cos_row[STEP_MAX_HEAD], sin_row[STEP_MAX_HEAD];
  if (rot_dim >= 2) rope_row(p, rot_dim, c->rope_theta, cos_row, sin_row);

  float* krow = lc->k_cache + static_cast<int64_t>(p) * kvd;
  float* vrow = lc->v_cache + static_cast<int64_t>(p) * kvd;
  // The three projections read the same vector: one job.
  const MvProduct qkv[3] = {{w.q, st->q_gate, 2 * nh * hd}, {w.k, krow, kvd}, {w.v, vrow, kvd}};
  matvec_shared_input(qkv, st->normed, Hs);
  float query[STEP_MAX_QUERY], gate[STEP_MAX_QUERY], tmp[STEP_MAX_HEAD];
  for (int32_t h = 0; h < nh; ++h) {
    float* qh = query + h * hd;
    std::memcpy(qh, st->q_gate + 2 * h * hd, sizeof(float) * hd);
    std::memcpy(gate + h * hd, st->q_gate + 2 * h * hd + hd, sizeof(float) * hd);
    norm_head(qh, w.q_norm, hd, eps, tmp);
    if (rot_dim >= 2) rope_apply(qh, cos_row, sin_row, rot_half);
  }

  for (int32_t g = 0; g < nkv; ++g) {
    norm_head(krow + g * hd, w.k_norm, hd, eps, tmp);
    if (rot_dim >= 2) rope_apply(krow + g * hd, cos_row, sin_row, rot_half);
  }
  lc->kv_len = p + 1;

  // One head per pool index: the heads are independent, and at long contexts
  // their attention is more than the calling thread should do alone.
  AttnStepJob job{query, gate, lc, nh, nkv, hd, p + 1, attn_scale_of(hd), st->attn_out};
  pool_for(attn_step_heads, &job, nh, 1);
  matvec(w.o, st->attn_out, st->block_out, Hs, nh * hd);
}

namespace {

// Splitting, norms and rotation of the queries and keys of batch rows.
struct QkPrepJob {
  const float* q_gate;
  float* query;
  float* gate;
  float* kbase;
  const float* q_norm;
  const float* k_norm;
  const float* cos_table;
  const float* sin_table;
  int32_t nh, nkv, hd, rot_dim;
  float eps;
};

// Each token's rows are its own, so tokens may run on any participant.
void qk_prep_rows(void* ctx, int32_t start, int32_t end) {
  const QkPrepJob* j = static_cast<const QkPrepJob*>(ctx);
  const int32_t hd = j->hd, qd = j->nh * hd, kvd = j->nkv * hd, rot_half = j->rot_dim / 2;
  float tmp[2 * STEP_MAX_HEAD];
  for (int32_t t = start; t < end; ++t) {
    const float* cr = j->cos_table + static_cast<int64_t>(t) * rot_half;
    const float* sr = j->sin_table + static_cast<int64_t>(t) * rot_half;
    for (int32_t h = 0; h < j->nh; ++h) {
      const float* src = j->q_gate + static_cast<int64_t>(t) * 2 * qd + 2 * h * hd;
      float* qh = j->query + static_cast<int64_t>(t) * qd + h * hd;
      std::memcpy(qh, src, sizeof(float) * hd);
      std::memcpy(j->gate + static_cast<int64_t>(t) * qd + h * hd, src + hd, sizeof(float) * hd);
      norm_head(qh, j->q_norm, hd, j->eps, tmp);
      if (j->rot_dim >= 2) rope_apply(qh, cr, sr, rot_half);
    }
    float* krow = j->kbase + static_cast<int64_t>(t) * kvd;
    for (int32_t g = 0; g < j->nkv; ++g) {
      norm_head(krow + g * hd, j->k_norm, hd, j->eps, tmp);
      if (j->rot_dim >= 2) rope_apply(krow + g * hd, cr, sr, rot_half);
    }
  }
}

// attn_pref_range with the batch's tokens taken last first: a token's work
// grows with its position, and the pool hands out chunks in increasing
// order, so the largest chunks go out first and the last ones are the
// smallest (in order, the last chunk held the most work, and the
// participants waited 17-26 % of the job at 512 ids, 3 % this way; 8
// threads, AMD EPYC family 26).
void attn_pref_late_first(void* ctx, int32_t start, int32_t end) {
  const AttnPrefJob* j = static_cast<const AttnPrefJob*>(ctx);
  attn_pref_range(ctx, j->count - end, j->count - start);
}

}  // namespace

void full_attention_batch(RuntimeState* st, int32_t layer, const float* normed, float* out,
                          int32_t count, int32_t P, const float* cos_table,
                          const float* sin_table) {
  const ModelConfig* c = st->config;
  LayerCache* lc = &st->layers[layer];
  if (P + count > MAX_CTX) fatal("context overflow");
  const AttnWeights w = lookup(c, layer);

  const int32_t Hs = static_cast<int32_t>(c->hidden_size);
  const int32_t nh = static_cast<int32_t>(c->n_heads), nkv = static_cast<int32_t>(c->n_kv_heads);
  const int32_t hd = static_cast<int32_t>(c->head_dim);
  const int32_t qd = nh * hd, kvd = nkv * hd;
  const int32_t rot_dim = rope_dim(c);
  const float eps = c->rms_eps;

  static WorkKeep keep_q_gate, keep_query, keep_gate, keep_attn;
  float* q_gate = work_kept(&keep_q_gate, static_cast<int64_t>(count) * 2 * qd, "batch_q_gate");
  float* query = work_kept(&keep_query, static_cast<int64_t>(count) * qd, "batch_query");
  float* gate = work_kept(&keep_gate, static_cast<int64_t>(count) * qd, "batch_attn_gate");
  float* attn = work_kept(&keep_attn, static_cast<int64_t>(count) * qd, "batch_attn_out");
  if (!q_gate || !query || !gate || !attn) fatal("oom prefill attention");

  float* kbase = lc->k_cache + static_cast<int64_t>(P) * kvd;
  float* vbase = lc->v_cache + static_cast<int64_t>(P) * kvd;
  const MatProduct qkv[3] = {{w.q, q_gate, 2 * qd}, {w.k, kbase, kvd}, {w.v, vbase, kvd}};
  matmat_shared_input(qkv, 3, normed, count, Hs);

  QkPrepJob prep{q_gate, query, gate, kbase, w.q_norm, w.k_norm, cos_table, sin_table,
                 nh, nkv, hd, rot_dim, eps};
  pool_for(qk_prep_rows, &prep, count, 4);
  lc->kv_len = P + count;

  AttnPrefJob job{count, nh, nkv, hd, attn_scale_of(hd), query, gate,
                  lc->k_cache, lc->v_cache, attn, P};
  pool_for(attn_pref_late_first, &job, count, 1);
  matmat_t(w.o, attn, out, count, Hs, qd);
}
