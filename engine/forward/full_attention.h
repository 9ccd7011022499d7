// The full-attention mixer: gated softmax attention over the layer's key/value
// cache with per-head query and key norms, rotary positions on the leading
// part of each head and grouped key/value heads; one-token and batch forms.
#pragma once

#include <cstdint>

#include "model/model.h"
#include "runtime/state.h"

// rotary_fraction * head_dim, truncated; rope_half is half of it.
int32_t rope_dim(const ModelConfig* config);

// cos/sin of position p for the rot_dim / 2 rotated pairs.
void rope_row(int32_t position, int32_t rot_dim, float rope_theta, float* cos_row, float* sin_row);

// Rotates pairs (j, j + rot_half) of one head in place; the rest is kept.
void rope_apply(float* x, const float* cos_row, const float* sin_row, int32_t rot_half);

// One query head over cache positions 0 .. n-1 of key/value head g.
void attend_head(const float* query, const float* gate, const float* k_cache, const float* v_cache,
                 int32_t g, int32_t n_kv_heads, int32_t head_dim, int32_t n, float attn_scale,
                 float* scores, float* out);

struct AttnPrefJob {
  int32_t count;
  int32_t n_heads;
  int32_t n_kv_heads;
  int32_t head_dim;
  float attn_scale;
  const float* queries;
  const float* gates;
  const float* k_cache;
  const float* v_cache;
  float* out;
  int32_t start_pos;
};

void attn_pref_range(void* ctx, int32_t start, int32_t end);

// Reads state->normed; writes block_out and row kv_len of the caches.
void full_attention_step(RuntimeState* state, int32_t layer);

// count tokens at positions P .. P+count-1; cos/sin are the batch's rotary tables.
void full_attention_batch(RuntimeState* state, int32_t layer, const float* normed, float* out,
                          int32_t count, int32_t P, const float* cos_table,
                          const float* sin_table);
