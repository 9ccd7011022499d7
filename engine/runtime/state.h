// Engine state: per-layer caches and recurrent states, the cached token ids,
// the one-token scratch vectors, the logits, and the process-wide Stream.
#pragma once

#include <cstdint>

#include "model/model.h"
#include "olvu.h"

constexpr int32_t MAX_CTX = 4096;

struct LayerCache {
  // linear-attention layer
  float* rec_state;   // lin_v_heads matrices of lin_k_dim x lin_v_dim
  float* conv_state;  // (conv_kernel - 1) rows of conv_dim raw inputs
  int32_t lin_pos;
  // full-attention layer
  float* k_cache;  // MAX_CTX rows of n_kv_heads * head_dim
  float* v_cache;
  int32_t kv_len;
};

struct RuntimeState {
  ModelConfig* config;
  LayerCache* layers;
  int32_t n_cached;
  int64_t cached_tokens[MAX_CTX];
  float* hidden;
  float* normed;
  float* block_out;
  float* q_gate;
  float* attn_out;
  float* scores;
  float* mlp_gate;
  float* mlp_up;
  float* lin_qkv;
  float* lin_conv;
  float* lin_z;
  float* lin_core;
};

struct Engine {
  ModelConfig* config;
  RuntimeState* state;
  float* logits;
};

struct Stream {
  Engine* engine;
  int64_t tokens[MAX_CTX];
  int32_t n_tokens;
  float temperature;
  float top_p;
  int32_t top_k;
  float repetition_penalty;
  int64_t stop_token;
};

extern Stream g_stream;

// Derived sizes of a linear-attention layer.
inline int32_t lin_key_dim(const ModelConfig* c) {
  return static_cast<int32_t>(c->lin_k_heads * c->lin_k_dim);
}
inline int32_t lin_value_dim(const ModelConfig* c) {
  return static_cast<int32_t>(c->lin_v_heads * c->lin_v_dim);
}
inline int32_t lin_conv_dim(const ModelConfig* c) {
  return lin_value_dim(c) + 2 * lin_key_dim(c);
}

// The state stage of olvu_open: allocates the RuntimeState and the logits.
void state_create(Engine* engine, ModelConfig* config);

// Empties the caches: counters to 0, recurrent states zeroed; nothing else.
void state_reset(Engine* engine);
