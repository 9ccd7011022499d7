// The model as loaded from an OLVT weights file: configuration words, the
// tensor table, and the loading stage that binds every tensor to its data.
#pragma once

#include <cstdint>

constexpr uint64_t F16_KEEP_BYTES = 1048576;  // f16 tensors this large stay half precision

enum : uint8_t { DTYPE_F32 = 0, DTYPE_F16 = 1, DTYPE_Q8 = 2 };

// 32 weights in 36 bytes; a weight is scale times its byte. Unaligned in the file.
struct Q8Block {
  float scale;
  int8_t q[32];
};
static_assert(sizeof(Q8Block) == 36);
constexpr int64_t Q8_BLOCK_BYTES = 36;

struct TensorEntry {
  char name[160];
  uint8_t dtype;
  uint8_t ndim;
  uint32_t dims[4];
  uint64_t offset;
  uint64_t nbytes;
  const float* data_f32;
  const uint16_t* data_f16;
  const uint8_t* data_q8;
};

struct ModelConfig {
  uint32_t vocab_size;
  uint32_t hidden_size;
  uint32_t n_layers;
  uint32_t n_heads;
  uint32_t n_kv_heads;
  uint32_t head_dim;
  uint32_t ffn_size;
  uint32_t lin_k_heads;
  uint32_t lin_v_heads;
  uint32_t lin_k_dim;
  uint32_t lin_v_dim;
  uint32_t conv_kernel;
  uint32_t attn_layer_mask;
  uint32_t reserved13;
  uint32_t reserved14;
  float rope_theta;
  float rms_eps;
  float rotary_fraction;
  TensorEntry* tensors;
  uint32_t n_tensors;
};

// Layer l is a full-attention layer when bit (l mod 32) of the mask is set.
inline bool is_full_attention_layer(const ModelConfig* c, int32_t l) {
  return (c->attn_layer_mask >> (static_cast<uint32_t>(l) & 31u)) & 1u;
}

// How the loader binds tensor data. Auto maps the file when the platform can;
// ForceRead takes the read path as if mapping were unavailable (tests only).
enum class LoadMode { Auto, ForceRead };

// The loading stage: never returns on failure (fatal). The path is not kept.
ModelConfig* load_model(const char* path, LoadMode mode = LoadMode::Auto);
