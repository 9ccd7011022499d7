// One-token forward pass over the RuntimeState scratch vectors; allocates nothing.
#include "forward/decode_step.h"

#include "forward/full_attention.h"
#include "forward/layer_skeleton.h"
#include "forward/linear_attention.h"
#include "kernels/matvec.h"
#include "model/tensor_lookup.h"

void decode_step(RuntimeState* st, TokenId token, float* logits) {
  const ModelConfig* c = st->config;
  const int32_t H = static_cast<int32_t>(c->hidden_size);
  const TensorEntry* embedding =
      get_matrix(c, "model.embed_tokens.weight", 0, c->vocab_size, c->hidden_size);
  const float* final_w = get_vector(c, "model.norm.weight", 0, c->hidden_size);

  if (st->n_cached <= MAX_CTX - 1) st->cached_tokens[st->n_cached] = token;
  embed_row(embedding, token, st->hidden, H);

  const int32_t n_layers = static_cast<int32_t>(c->n_layers);
  for (int32_t l = 0; l < n_layers; ++l) {
    const float* in_w = get_vector(c, "model.layers.%d.input_layernorm.weight", l, H);
    const float* post_w = get_vector(c, "model.layers.%d.post_attention_layernorm.weight", l, H);
    rms_norm(st->hidden, in_w, H, c->rms_eps, st->normed);
    if (is_full_attention_layer(c, l))
      full_attention_step(st, l);
    else
      linear_attention_step(st, l);
    residual_add(st->hidden, st->block_out, H);
    rms_norm(st->hidden, post_w, H, c->rms_eps, st->normed);
    mlp_block_step(st, l);
    residual_add(st->hidden, st->block_out, H);
  }
  st->n_cached = st->n_cached + 1;

  final_norm(st->hidden, final_w, H, c->rms_eps, st->normed);
  output_head(c, embedding, st->normed, logits);
}
