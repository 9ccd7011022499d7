// The pieces every layer shares in both forward passes: the RMS norms, the
// gated feed-forward block, the residual add and the tied output head.
#pragma once

#include <cstdint>

#include "model/model.h"
#include "runtime/state.h"

// y = x (1 + w) / sqrt(mean(x^2) + eps), the mean formed as fma(sum, 1/n, eps).
// y must not alias x.
void rms_norm(const float* x, const float* w, int32_t n, float eps, float* y);

// As rms_norm, with the mean formed as sum / n + eps.
void final_norm(const float* x, const float* w, int32_t n, float eps, float* y);

// h += o over n values.
void residual_add(float* h, const float* o, int64_t n);

// The SwiGLU activation in place over n values: gate = (up * gate) / (exp(-gate) + 1).
void swiglu(float* gate, const float* up, int64_t n);

// One-token form: looks up the layer's three matrices, reads normed, writes block_out.
void mlp_block_step(RuntimeState* state, int32_t layer);

// The three matrices of one layer's feed-forward block, looked up by the caller.
struct MlpWeights {
  const TensorEntry* gate;
  const TensorEntry* up;
  const TensorEntry* down;
};
MlpWeights mlp_lookup(const ModelConfig* config, int32_t layer);

// Batch form over count rows of normed into count rows of out.
void mlp_block_batch(const ModelConfig* config, const MlpWeights& w, const float* normed,
                     float* out, int32_t count);

// logits[v] = dot(row v of the embedding, normed) for every vocabulary entry.
void output_head(const ModelConfig* config, const TensorEntry* embedding, const float* normed,
                 float* logits);
