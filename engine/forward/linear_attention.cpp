// Linear-attention layer. The recurrence and the gated norm are one function
// for both forms; the convolution adds its taps in each form's own order.
#include "forward/linear_attention.h"

#include <math.h>

#include <cstring>

#include "runtime/fatal.h"
#include "kernels/matmat.h"
#include "kernels/matvec.h"
#include "kernels/matvec_jobs.h"
#include "runtime/pool.h"
#include "model/tensor_lookup.h"
#include "kernels/vec_ops.h"
#include "runtime/work_alloc.h"

namespace {

constexpr int32_t MAX_LIN_DIM = 256;
constexpr int32_t MAX_LIN_HEADS = 16;

struct LinWeights {
  const TensorEntry *qkv, *z, *b, *a;
  const float *conv, *dt_bias, *A_log, *norm;
  const TensorEntry* out;
};

struct LinDims {
  int32_t H, dk, dv, key_dim, value_dim, conv_dim, K, hidden;
};

LinDims dims_of(const ModelConfig* c) {
  LinDims d;
  d.H = static_cast<int32_t>(c->lin_v_heads);
  d.dk = static_cast<int32_t>(c->lin_k_dim);
  d.dv = static_cast<int32_t>(c->lin_v_dim);
  d.key_dim = lin_key_dim(c);
  d.value_dim = lin_value_dim(c);
  d.conv_dim = lin_conv_dim(c);
  d.K = static_cast<int32_t>(c->conv_kernel);
  d.hidden = static_cast<int32_t>(c->hidden_size);
  return d;
}

LinWeights lookup(const ModelConfig* c, int32_t l, const LinDims& d) {
  LinWeights w;
  w.qkv = get_matrix(c, "model.layers.%d.linear_attn.in_proj_qkv.weight", l, d.conv_dim, d.hidden);
  w.z = get_matrix(c, "model.layers.%d.linear_attn.in_proj_z.weight", l, d.value_dim, d.hidden);
  w.b = get_matrix(c, "model.layers.%d.linear_attn.in_proj_b.weight", l, d.H, d.hidden);
  w.a = get_matrix(c, "model.layers.%d.linear_attn.in_proj_a.weight", l, d.H, d.hidden);
  w.conv = get_vector(c, "model.layers.%d.linear_attn.conv1d.weight", l,
                      static_cast<int64_t>(d.conv_dim) * d.K);
  w.dt_bias = get_vector(c, "model.layers.%d.linear_attn.dt_bias", l, d.H);
  w.A_log = get_vector(c, "model.layers.%d.linear_attn.A_log", l, d.H);
  w.norm = get_vector(c, "model.layers.%d.linear_attn.norm.weight", l, d.dv);
  w.out = get_matrix(c, "model.layers.%d.linear_attn.out_proj.weight", l, d.hidden, d.value_dim);
  return w;
}

float q_scale_of(int32_t dk) { return 1.0f / sqrtf(static_cast<float>(dk)); }

void l2_normalise(float* x, int32_t n) {
  const float s = vdot(x, x, n);
  const float r = 1.0f / sqrtf(s + L2_EPS);
  for (int32_t i = 0; i < n; ++i) x[i] = x[i] * r;
}

// The convolution loops are written once and compiled twice, so that on a
// processor with FMA every fused multiply-add is one instruction.
// The one-token convolution over channels [start, end).
struct ConvStepJob {
  const float* qkv;
  const float* ring;
  const float* w;
  int32_t conv_dim;
  int32_t K;
  int32_t lin_pos;
  float* conv_out;
};

template <int Unused = 0>
inline __attribute__((always_inline)) void conv_step_body(const ConvStepJob* job, int32_t start,
                                                          int32_t end) {
  const int32_t K = job->K, C = job->conv_dim;
  for (int32_t c = start; c < end; ++c) {
    const float* wc = job->w + static_cast<int64_t>(c) * K;
    float acc = job->qkv[c] * load_f32(wc + K - 1);
    for (int32_t j = 0; j < K - 1; ++j) {
      const int32_t p = job->lin_pos - (K - 1) + j;
      if (p < 0) continue;
      acc = fmaf(job->ring[static_cast<int64_t>(p % (K - 1)) * C + c], load_f32(wc + j), acc);
    }
    job->conv_out[c] = acc / (expf(-acc) + 1.0f);
  }
}

// The batch convolution token by token: a token's taps read whole rows of
// the projection (and of the ring before the batch), each tap one fused
// multiply-add across a run of channels against the taps laid out tap-major
// (a loop the compiler vectorises; every output still adds its taps in
// increasing order), then the SiLU over the run. Cut by channels instead, a
// participant read a strip of every row, a few cache lines a row apart:
// AMD EPYC family 25, 8 threads, one layer's convolution of 2048 ids from
// memory 15.3-15.6 ms by channels, 11.6-12.6 by tokens; traced prefill of
// 2048 ids, the convolution and the recurrence's per-token quantities
// (conv_prep_tokens) 144-150 ms against 194-202 in a job each.
constexpr int32_t CONV_RUN = 512;

template <int Unused = 0>
inline __attribute__((always_inline)) void conv_batch_body(const ConvPrefJob* job, int32_t start,
                                                           int32_t end) {
  const int32_t K = job->conv_kernel, C = job->conv_dim;
  float acc[CONV_RUN];
  for (int32_t t = start; t < end; ++t)
    for (int32_t c0 = 0; c0 < C; c0 += CONV_RUN) {
      const int32_t nb = C - c0 < CONV_RUN ? C - c0 : CONV_RUN;
      for (int32_t c = 0; c < nb; ++c) acc[c] = 0.0f;
      for (int32_t j = 0; j < K; ++j) {
        // Which input a tap sees depends on the token only, not on the channel.
        const int32_t src = t - (K - 1) + j;
        const float* x;
        if (src >= 0) {
          x = job->qkv + static_cast<int64_t>(src) * C + c0;
        } else {
          if (!job->ring) continue;
          const int32_t p = job->lin_pos + src;
          if (p < 0) continue;
          x = job->ring + static_cast<int64_t>(p % (K - 1)) * C + c0;
        }
        const float* w = job->taps + static_cast<int64_t>(j) * C + c0;
        for (int32_t c = 0; c < nb; ++c) acc[c] = fmaf(x[c], w[c], acc[c]);
      }
      float* out = job->conv_out + static_cast<int64_t>(t) * C + c0;
      for (int32_t c = 0; c < nb; ++c) out[c] = acc[c] / (expf(-acc[c]) + 1.0f);
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void conv_step_fma(const ConvStepJob* job, int32_t start,
                                                       int32_t end) {
  conv_step_body(job, start, end);
}
__attribute__((target("avx2,fma"))) void conv_batch_fma(const ConvPrefJob* job, int32_t start,
                                                        int32_t end) {
  conv_batch_body(job, start, end);
}
#endif

void conv_step_range(void* ctx, int32_t start, int32_t end) {
  const ConvStepJob* job = static_cast<const ConvStepJob*>(ctx);
#if defined(__x86_64__)
  if (vec_detail::have_avx2()) return conv_step_fma(job, start, end);
#endif
  conv_step_body(job, start, end);
}

}  // namespace

void conv_pref_range(void* ctx, int32_t start, int32_t end) {
  const ConvPrefJob* job = static_cast<const ConvPrefJob*>(ctx);
  if (start >= end || job->count < 1) return;
#if defined(__x86_64__)
  if (vec_detail::have_avx2()) return conv_batch_fma(job, start, end);
#endif
  conv_batch_body(job, start, end);
}

namespace {

// The per-token quantities of a head's step that do not depend on the state:
// the normalised query (scaled) and key, the decay g and the gate beta.
void delta_prep(const float* conv, int32_t h, float a, float b, int32_t dk, int32_t key_dim,
                float q_scale, float A_log_h, float dt_bias_h, float* q, float* k, float* g,
                float* beta) {
  std::memcpy(q, conv + static_cast<int64_t>(h) * dk, sizeof(float) * dk);
  std::memcpy(k, conv + key_dim + static_cast<int64_t>(h) * dk, sizeof(float) * dk);
  l2_normalise(q, dk);
  l2_normalise(k, dk);
  for (int32_t i = 0; i < dk; ++i) q[i] = q[i] * q_scale;

  const float e = expf(A_log_h);
  const float x = dt_bias_h + a;
  const float sp = x > SOFTPLUS_CUTOFF ? x : log1pf(expf(x));
  *g = expf(sp * -e);
  const float eb = expf(-b);
  *beta = 1.0f / (eb + 1.0f);
}

// A step's delta from the value and the decayed state's read (kv_mem).
void delta_of(const float* v, const float* kv_mem, float beta, int32_t cols, float* delta) {
  for (int32_t j = 0; j < cols; ++j) delta[j] = (v[j] - kv_mem[j]) * beta;
}

// One step of a head's state S (cols wide), from the step's state-free
// quantities and its value v, the read-out into o. The prefill's walk in
// delta_heads computes every element the same way.
void delta_columns_step(float* S, int32_t dk, int32_t cols, const float* q, const float* k, float g, float beta,
                        const float* v, float* o) {
  float kv_mem[MAX_LIN_DIM], delta[MAX_LIN_DIM];
  vdelta_decay_read(S, dk, cols, g, k, kv_mem);
  delta_of(v, kv_mem, beta, cols, delta);
  vdelta_update_read(S, dk, cols, k, delta, q, o);
}

}  // namespace

void gated_delta_rule(const float* conv, int32_t h, float a, float b, float* S, float* o,
                      int32_t dk, int32_t dv, int32_t key_dim, float q_scale, float A_log_h,
                      float dt_bias_h) {
  float q[MAX_LIN_DIM], k[MAX_LIN_DIM];
  float g, beta;
  delta_prep(conv, h, a, b, dk, key_dim, q_scale, A_log_h, dt_bias_h, q, k, &g, &beta);
  const float* v = conv + 2 * static_cast<int64_t>(key_dim) + static_cast<int64_t>(h) * dv;
  delta_columns_step(S, dk, dv, q, k, g, beta, v, o);
}

void gated_rms_norm(float* o, const float* z, const float* w, int32_t dv, float eps) {
  const float s = vdot(o, o, dv);
  const float inv_dv = 1.0f / static_cast<float>(dv);
  const float r = sqrtf(fmaf(s, inv_dv, eps));
  for (int32_t j = 0; j < dv; ++j)
    o[j] = ((o[j] * z[j]) * load_f32(w + j)) / fmaf(expf(-z[j]), r, r);
}

void delta_pref_range(void* ctx, int32_t start, int32_t end) {
  const DeltaPrefJob* j = static_cast<const DeltaPrefJob*>(ctx);
  if (start >= end || j->count < 1) return;
  const int32_t H = j->lin_v_heads, dk = j->lin_k_dim, dv = j->lin_v_dim;
  for (int32_t h = start; h < end; ++h) {
    float* S = j->rec_state + static_cast<int64_t>(h) * dk * dv;
    for (int32_t t = 0; t < j->count; ++t) {
      const int64_t slice = static_cast<int64_t>(t) * j->value_dim + static_cast<int64_t>(h) * dv;
      float* o = j->core_out + slice;
      gated_delta_rule(j->conv_out + static_cast<int64_t>(t) * j->conv_dim, h,
                       j->a[static_cast<int64_t>(t) * H + h], j->b[static_cast<int64_t>(t) * H + h],
                       S, o, dk, dv, j->key_dim, j->q_scale, load_f32(j->A_log + h),
                       load_f32(j->dt_bias + h));
      gated_rms_norm(o, j->z + slice, j->norm_weight, dv, j->rms_eps);
    }
  }
}

namespace {

// The batch recurrence in three jobs: one over tokens computes the
// state-free quantities of every head and token (delta_prep), right after
// the token's convolution (conv_prep_tokens), one runs each
// head's state through all tokens, and one over tokens applies the gated norm.
// Every value is computed exactly as in gated_delta_rule. Zen 5 (AMD EPYC, 8
// vCPUs), traced prefill of 512 ids on a loaded machine, per prefill: work per
// participant in the recurrence 62.7 ms, against 82.2 ms with the per-token
// quantities inside each head's sequential walk (one job per head).
// Blocks of 64 of a head's 128 state columns on separate participants,
// worked on in place, were 3.7 times slower (236 ms of work): the state then
// began 16 bytes past a cache line, so the participants of one head wrote
// the same line of every row; see delta_heads for the blocks as they are.
struct DeltaBatchJob {
  const DeltaPrefJob* d;
  float* prep;  // per token and head: q (dk), k (dk), g, beta
  int32_t prep_stride;
};

void delta_prep_tokens(void* ctx, int32_t start, int32_t end) {
  const DeltaBatchJob* j = static_cast<const DeltaBatchJob*>(ctx);
  const DeltaPrefJob& d = *j->d;
  const int32_t H = d.lin_v_heads, dk = d.lin_k_dim;
  for (int32_t t = start; t < end; ++t)
    for (int32_t h = 0; h < H; ++h) {
      float* p = j->prep + (static_cast<int64_t>(t) * H + h) * j->prep_stride;
      delta_prep(d.conv_out + static_cast<int64_t>(t) * d.conv_dim, h,
                 d.a[static_cast<int64_t>(t) * H + h], d.b[static_cast<int64_t>(t) * H + h], dk,
                 d.key_dim, d.q_scale, load_f32(d.A_log + h), load_f32(d.dt_bias + h), p, p + dk,
                 p + 2 * dk, p + 2 * dk + 1);
    }
}

// A head's state is run through the tokens in blocks of DELTA_COLUMNS
// columns where its width allows: each column's decay, read, delta and
// update involve that column alone, so a block gives the bits the whole
// state gives. A block is copied into a contiguous slice of 32 KiB (128
// rows), which the core's first-level cache keeps from one step to the
// next, where the whole state (64 KiB) went to the second-level cache every
// step; and twice as many pieces of work as heads even out the participants.
// One thread, 2048 steps of a 128 x 128 head in two passes a step, AMD EPYC
// family 25: 2.55 us a step whole, 2.40 in blocks of 64, 4.44 in blocks of
// 32 (one accumulator per eight columns).
constexpr int32_t DELTA_COLUMNS = 64;

int32_t delta_blocks(const DeltaPrefJob& d) {
  return d.lin_v_dim > DELTA_COLUMNS && d.lin_v_dim % DELTA_COLUMNS == 0 ? d.lin_v_dim / DELTA_COLUMNS : 1;
}

// cols floats of each of `rows` rows, from rows src_ld apart to rows dst_ld apart.
void copy_rows(float* dst, int64_t dst_ld, const float* src, int64_t src_ld, int32_t rows, int32_t cols) {
  for (int32_t i = 0; i < rows; ++i) std::memcpy(dst + i * dst_ld, src + i * src_ld, sizeof(float) * cols);
}

void delta_heads(void* ctx, int32_t start, int32_t end) {
  const DeltaBatchJob* j = static_cast<const DeltaBatchJob*>(ctx);
  const DeltaPrefJob& d = *j->d;
  const int32_t H = d.lin_v_heads, dk = d.lin_k_dim, dv = d.lin_v_dim;
  const int32_t blocks = delta_blocks(d), cols = dv / blocks;
  alignas(64) float slice[MAX_LIN_DIM * DELTA_COLUMNS];
  for (int32_t item = start; item < end; ++item) {
    const int32_t h = item / blocks, c0 = item % blocks * cols;
    float* S = d.rec_state + static_cast<int64_t>(h) * dk * dv + c0;
    float* run = blocks > 1 ? slice : S;
    if (blocks > 1) copy_rows(slice, cols, S, dv, dk, cols);
    // Step t's update and read-out share one pass over the state with step
    // t + 1's decay and read, each element computed as delta_columns_step
    // computes it.
    const auto prep = [&](int32_t t) { return j->prep + (static_cast<int64_t>(t) * H + h) * j->prep_stride; };
    float kv_mem[MAX_LIN_DIM], delta[MAX_LIN_DIM];
    vdelta_decay_read(run, dk, cols, prep(0)[2 * dk], prep(0) + dk, kv_mem);
    for (int32_t t = 0; t < d.count; ++t) {
      const float* p = prep(t);
      const float* v = d.conv_out + static_cast<int64_t>(t) * d.conv_dim + 2 * int64_t{d.key_dim} +
                       static_cast<int64_t>(h) * dv + c0;
      float* o = d.core_out + static_cast<int64_t>(t) * d.value_dim + static_cast<int64_t>(h) * dv + c0;
      delta_of(v, kv_mem, p[2 * dk + 1], cols, delta);
      if (t + 1 < d.count) {
        const float* next = prep(t + 1);
        vdelta_update_read_next(run, dk, cols, p + dk, delta, p, o, next[2 * dk], next + dk, kv_mem);
      } else {
        vdelta_update_read(run, dk, cols, p + dk, delta, p, o);
      }
    }
    if (blocks > 1) copy_rows(S, dv, slice, cols, dk, cols);
  }
}

void delta_norm_tokens(void* ctx, int32_t start, int32_t end) {
  const DeltaPrefJob& d = *static_cast<const DeltaBatchJob*>(ctx)->d;
  for (int32_t t = start; t < end; ++t)
    for (int32_t h = 0; h < d.lin_v_heads; ++h) {
      const int64_t slice = static_cast<int64_t>(t) * d.value_dim + static_cast<int64_t>(h) * d.lin_v_dim;
      gated_rms_norm(d.core_out + slice, d.z + slice, d.norm_weight, d.lin_v_dim, d.rms_eps);
    }
}

// The convolution of a token and its heads' state-free quantities, which
// read the convolution's row while the core still holds it.
struct ConvPrepJob {
  ConvPrefJob* conv;
  DeltaBatchJob* delta;
};

void conv_prep_tokens(void* ctx, int32_t start, int32_t end) {
  const ConvPrepJob* j = static_cast<const ConvPrepJob*>(ctx);
  for (int32_t t = start; t < end; ++t) {
    conv_pref_range(j->conv, t, t + 1);
    delta_prep_tokens(j->delta, t, t + 1);
  }
}

// The convolution, then the recurrence.
void conv_delta_batch(ConvPrefJob* conv, const DeltaPrefJob& d, float* prep, int32_t prep_stride) {
  if (d.count < 1) return;
  DeltaBatchJob j{&d, prep, prep_stride};
  ConvPrepJob cp{conv, &j};
  pool_for(conv_prep_tokens, &cp, d.count, 1);
  pool_for(delta_heads, &j, d.lin_v_heads * delta_blocks(d), 1);
  pool_for(delta_norm_tokens, &j, d.count, 1);
}

}  // namespace

namespace {

// One value head of the one-token form: the convolution of the head's own
// query, key and value channels (every head owns disjoint channels, key heads
// being as many as value heads), their raw inputs stored in the ring row once
// read, then the head's recurrence and gated norm.
struct LinStepJob {
  ConvStepJob conv;
  float* ring_row;
  DeltaPrefJob delta;
};

void lin_step_heads(void* ctx, int32_t start, int32_t end) {
  LinStepJob* j = static_cast<LinStepJob*>(ctx);
  const DeltaPrefJob& d = j->delta;
  for (int32_t h = start; h < end; ++h) {
    const int32_t first[3] = {h * d.lin_k_dim, d.key_dim + h * d.lin_k_dim,
                              2 * d.key_dim + h * d.lin_v_dim};
    const int32_t width[3] = {d.lin_k_dim, d.lin_k_dim, d.lin_v_dim};
    for (int i = 0; i < 3; ++i) {
      conv_step_range(&j->conv, first[i], first[i] + width[i]);
      std::memcpy(j->ring_row + first[i], j->conv.qkv + first[i], sizeof(float) * width[i]);
    }
    delta_pref_range(&j->delta, h, h + 1);
  }
}

}  // namespace

void linear_attention_step(RuntimeState* st, int32_t layer) {
  const ModelConfig* c = st->config;
  const LinDims d = dims_of(c);
  const LinWeights w = lookup(c, layer, d);
  LayerCache* lc = &st->layers[layer];

  // The four input projections read the same vector: one job.
  float lin_b[MAX_LIN_HEADS], lin_a[MAX_LIN_HEADS];
  const MvProduct in[4] = {{w.qkv, st->lin_qkv, d.conv_dim},
                           {w.z, st->lin_z, d.value_dim},
                           {w.b, lin_b, d.H},
                           {w.a, lin_a, d.H}};
  matvec_shared_input(in, st->normed, d.hidden);

  // Convolution and recurrence per value head on the pool: heads are
  // independent and each is computed exactly as on the calling thread, while
  // the state matrices of all heads are far too much work for one thread.
  const int32_t p = lc->lin_pos;
  LinStepJob job{{st->lin_qkv, lc->conv_state, w.conv, d.conv_dim, d.K, p, st->lin_conv},
                 lc->conv_state + static_cast<int64_t>(p % (d.K - 1)) * d.conv_dim,
                 {1, d.H, d.dk, d.dv, d.key_dim, d.value_dim, d.conv_dim, q_scale_of(d.dk),
                  c->rms_eps, lc->rec_state, st->lin_conv, st->lin_core, st->lin_z, lin_b, lin_a,
                  w.A_log, w.dt_bias, w.norm}};
  lc->lin_pos = p + 1;
  pool_for(lin_step_heads, &job, d.H, 1);
  matvec(w.out, st->lin_core, st->block_out, d.hidden, d.value_dim);
}

void linear_attention_batch(RuntimeState* st, int32_t layer, const float* normed, float* out,
                            int32_t count, int32_t P) {
  const ModelConfig* c = st->config;
  const LinDims d = dims_of(c);
  const LinWeights w = lookup(c, layer, d);
  LayerCache* lc = &st->layers[layer];

  static WorkKeep keep_qkv, keep_conv, keep_z, keep_b, keep_a, keep_core;
  float* qkv = work_kept(&keep_qkv, static_cast<int64_t>(count) * d.conv_dim, "batch_qkv");
  float* conv = work_kept(&keep_conv, static_cast<int64_t>(count) * d.conv_dim, "batch_conv");
  float* z = work_kept(&keep_z, static_cast<int64_t>(count) * d.value_dim, "batch_z");
  float* b = work_kept(&keep_b, static_cast<int64_t>(count) * d.H, "batch_b");
  float* a = work_kept(&keep_a, static_cast<int64_t>(count) * d.H, "batch_a");
  float* core = work_kept(&keep_core, static_cast<int64_t>(count) * d.value_dim, "batch_core");
  if (!qkv || !conv || !z || !b || !a || !core) fatal("oom prefill linear attention");

  const MatProduct in[4] = {
      {w.qkv, qkv, d.conv_dim}, {w.z, z, d.value_dim}, {w.b, b, d.H}, {w.a, a, d.H}};
  matmat_shared_input(in, 4, normed, count, d.hidden);

  static WorkKeep keep_taps;
  float* taps = work_kept(&keep_taps, static_cast<int64_t>(d.K) * d.conv_dim, "conv_taps");
  if (!taps) fatal("oom prefill linear attention");
  for (int32_t c = 0; c < d.conv_dim; ++c)
    for (int32_t j = 0; j < d.K; ++j)
      taps[static_cast<int64_t>(j) * d.conv_dim + c] = load_f32(w.conv + static_cast<int64_t>(c) * d.K + j);
  ConvPrefJob cj{count, d.K, d.conv_dim, w.conv, qkv, conv, P >= 1 ? lc->conv_state : nullptr,
                 lc->lin_pos, taps};

  DeltaPrefJob dj{count,  d.H,  d.dk,    d.dv,   d.key_dim, d.value_dim, d.conv_dim,
                  q_scale_of(d.dk), c->rms_eps, lc->rec_state, conv, core, z, b, a,
                  w.A_log, w.dt_bias, w.norm};
  static WorkKeep keep_prep;
  const int32_t prep_stride = 2 * d.dk + 2;
  float* prep = work_kept(&keep_prep, static_cast<int64_t>(count) * d.H * prep_stride, "delta_prep");
  if (!prep) fatal("oom prefill linear attention");
  conv_delta_batch(&cj, dj, prep, prep_stride);

  const int32_t m = d.K - 1 < count ? d.K - 1 : count;
  for (int32_t t = count - 1; t >= count - m; --t)
    std::memcpy(lc->conv_state + static_cast<int64_t>((P + t) % (d.K - 1)) * d.conv_dim,
                qkv + static_cast<int64_t>(t) * d.conv_dim, sizeof(float) * d.conv_dim);
  lc->lin_pos = P + count;

  matmat_t(w.out, core, out, count, d.hidden, d.value_dim);
}
