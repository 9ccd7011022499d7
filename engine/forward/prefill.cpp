// Layer-major batched prefill: every projection of a layer is one batched
// product over all rows; only the last row reaches the output head.
#include "forward/prefill.h"

#include "runtime/fatal.h"
#include "forward/full_attention.h"
#include "forward/layer_skeleton.h"
#include "forward/linear_attention.h"
#include "kernels/matvec.h"
#include "runtime/pool.h"
#include "model/tensor_lookup.h"
#include "runtime/work_alloc.h"

namespace {

// The residual add of a row and the norm of its sum, one job over rows: both
// are elementwise or per row, so rows may run on any participant; without a
// norm weight (after the last layer) the job only adds. Zen 5 (AMD EPYC, 8
// vCPUs), traced prefill: at 35 rows the norm job in chunks of 16 rows kept
// five of eight participants idle (per prefill 1.6 ms in norm jobs, 0.45 ms of
// work per participant), and the serial adds on the caller took a share of
// the 4.4 ms (35 rows) and 23 ms (512 rows) spent outside jobs.
struct AddNormJob {
  float* hidden;
  const float* add;  // null: norm only
  const float* w;    // null: add only
  float* out;
  int32_t n;
  float eps;
};

void add_norm_rows(void* ctx, int32_t start, int32_t end) {
  const AddNormJob* j = static_cast<const AddNormJob*>(ctx);
  for (int32_t i = start; i < end; ++i) {
    float* h = j->hidden + static_cast<int64_t>(i) * j->n;
    if (j->add) residual_add(h, j->add + static_cast<int64_t>(i) * j->n, j->n);
    if (j->w) rms_norm(h, j->w, j->n, j->eps, j->out + static_cast<int64_t>(i) * j->n);
  }
}

// Grain 1: the pool's chunks (a quarter of a participant's share) are then a
// few rows at 35 rows and 16 at 512, so no participant waits for a second one.
void add_norm_all_rows(float* hidden, const float* add, const float* w, float* out,
                       int32_t count, int32_t n, float eps) {
  AddNormJob job{hidden, add, w, out, n, eps};
  pool_for(add_norm_rows, &job, count, 1);
}

}  // namespace

void prefill_batch(RuntimeState* st, const TokenId* tokens, int32_t count, float* logits) {
  const ModelConfig* c = st->config;
  const int32_t start_pos = st->n_cached;
  const int32_t H = static_cast<int32_t>(c->hidden_size);
  const TensorEntry* embedding =
      get_matrix(c, "model.embed_tokens.weight", 0, c->vocab_size, c->hidden_size);
  const float* final_w = get_vector(c, "model.norm.weight", 0, c->hidden_size);

  const int64_t rows = static_cast<int64_t>(count) * H;
  static WorkKeep keep_hidden, keep_normed, keep_out, keep_cos, keep_sin;
  float* hidden = work_kept(&keep_hidden, rows, "batch_hidden");
  float* normed = work_kept(&keep_normed, rows, "batch_normed");
  float* out = work_kept(&keep_out, rows, "batch_out");
  if (!hidden || !normed || !out) fatal("oom prefill");

  for (int32_t i = 0; i < count; ++i) {
    if (start_pos + i <= MAX_CTX - 1) st->cached_tokens[start_pos + i] = tokens[i];
    embed_row(embedding, tokens[i], hidden + static_cast<int64_t>(i) * H, H);
  }

  const int32_t rot_dim = rope_dim(c), rot_half = rot_dim / 2;
  const int64_t table = static_cast<int64_t>(count) * (rot_half > 0 ? rot_half : 0);
  float* rope_cos = work_kept(&keep_cos, table, "rope_cos");
  float* rope_sin = work_kept(&keep_sin, table, "rope_sin");
  if (!rope_cos || !rope_sin) fatal("oom prefill rotary tables");
  if (rot_dim >= 2)
    for (int32_t i = 0; i < count; ++i)
      rope_row(start_pos + i, rot_dim, c->rope_theta, rope_cos + static_cast<int64_t>(i) * rot_half,
               rope_sin + static_cast<int64_t>(i) * rot_half);

  // The input norm of layer l + 1 runs in the job of layer l's last residual
  // add, after the lookup of both of its norm weights, as the layer order has it.
  const int32_t n_layers = static_cast<int32_t>(c->n_layers);
  const float* in_w = nullptr;
  const float* post_w = nullptr;
  auto norm_weights = [&](int32_t l) {
    in_w = get_vector(c, "model.layers.%d.input_layernorm.weight", l, H);
    post_w = get_vector(c, "model.layers.%d.post_attention_layernorm.weight", l, H);
  };
  if (n_layers > 0) {
    norm_weights(0);
    add_norm_all_rows(hidden, nullptr, in_w, normed, count, H, c->rms_eps);
  }
  for (int32_t l = 0; l < n_layers; ++l) {
    if (is_full_attention_layer(c, l))
      full_attention_batch(st, l, normed, out, count, start_pos, rope_cos, rope_sin);
    else
      linear_attention_batch(st, l, normed, out, count, start_pos);

    const MlpWeights mw = mlp_lookup(c, l);
    add_norm_all_rows(hidden, out, post_w, normed, count, H, c->rms_eps);
    mlp_block_batch(c, mw, normed, out, count);

    in_w = nullptr;
    if (l + 1 < n_layers) norm_weights(l + 1);
    add_norm_all_rows(hidden, out, in_w, normed, count, H, c->rms_eps);
  }
  st->n_cached = start_pos + count;

  if (logits) {
    final_norm(hidden + static_cast<int64_t>(count - 1) * H, final_w, H, c->rms_eps, normed);
    output_head(c, embedding, normed, logits);
  }
}
