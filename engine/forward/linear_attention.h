// The linear-attention mixer: a short causal convolution with SiLU, a gated
// delta-rule recurrence per value head over a key x value state matrix, a
// gated RMS norm and the output projection; one-token and batch forms.
#pragma once

#include <cstdint>

#include "model/model.h"
#include "runtime/state.h"

constexpr float L2_EPS = 1e-6f;
constexpr float SOFTPLUS_CUTOFF = 20.0f;

struct ConvPrefJob {
  int32_t count;
  int32_t conv_kernel;
  int32_t conv_dim;
  const float* conv_weight;
  const float* qkv;
  float* conv_out;
  const float* ring;  // null for a batch that starts at position 0
  int32_t lin_pos;
  const float* taps;  // conv_weight laid out tap-major: conv_kernel rows of conv_dim
};

struct DeltaPrefJob {
  int32_t count;
  int32_t lin_v_heads;
  int32_t lin_k_dim;
  int32_t lin_v_dim;
  int32_t key_dim;
  int32_t value_dim;
  int32_t conv_dim;
  float q_scale;
  float rms_eps;
  float* rec_state;
  const float* conv_out;
  float* core_out;
  const float* z;
  const float* b;
  const float* a;
  const float* A_log;
  const float* dt_bias;
  const float* norm_weight;
};

// The batch convolution and its SiLU for the tokens [start, end) of a ConvPrefJob.
void conv_pref_range(void* ctx, int32_t start, int32_t end);
void delta_pref_range(void* ctx, int32_t start, int32_t end);

// One step of value head h on its state matrix S (dk x dv): conv is the
// token's convolution output, o receives dv values.
void gated_delta_rule(const float* conv, int32_t h, float a, float b, float* S, float* o,
                      int32_t dk, int32_t dv, int32_t key_dim, float q_scale, float A_log_h,
                      float dt_bias_h);

// o = o / rms(o) * w * z * sigmoid(z), in place over dv values.
void gated_rms_norm(float* o, const float* z, const float* w, int32_t dv, float eps);

// One-token form: reads state->normed, writes block_out, advances the layer by one.
void linear_attention_step(RuntimeState* state, int32_t layer);

// Batch form: count rows of normed from position P into count rows of out.
void linear_attention_batch(RuntimeState* state, int32_t layer, const float* normed, float* out,
                            int32_t count, int32_t P);
