// Random models for tests, benchmarks and the demonstration run: every tensor
// the engine looks up for the layer kinds the mask selects, with values kept
// in ranges where activations stay finite.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "olvt_writer.h"

namespace olvt {

// splitmix64: a tiny deterministic generator, so fixtures are reproducible.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // uniform in [-a, a)
  float uniform(float a) {
    return static_cast<float>((static_cast<double>(next() >> 11) * 0x1.0p-53 * 2.0 - 1.0) * a);
  }
};

struct ModelSpec {
  Config cfg;
  DType matrices = DType::F32;   // every projection matrix
  DType embedding = DType::F32;  // model.embed_tokens.weight
  DType vectors = DType::F32;    // norms, conv weights, decay and bias vectors (F32 or F16)
  bool language_model_names = false;  // "model.language_model." instead of "model."
  uint64_t seed = 1;
};

inline std::string tensor_name(const ModelSpec& s, const std::string& rest) {
  return (s.language_model_names ? "model.language_model." : "model.") + rest;
}

// Builds the writer; call write(path) or bytes() on it.
inline Writer make_model(const ModelSpec& spec) {
  const Config& c = spec.cfg;
  Writer w(c);
  Rng rng(spec.seed);
  auto matrix = [&](const std::string& name, uint64_t rows, uint64_t K, DType t, float amp) {
    Rng r(rng.next());
    auto gen = [&](uint64_t) { return r.uniform(amp); };
    const std::vector<uint32_t> dims{static_cast<uint32_t>(rows), static_cast<uint32_t>(K)};
    switch (t) {
      case DType::Q8: w.add_q8_gen(name, rows, K, gen); break;
      case DType::F16: w.add_f16_gen(name, dims, rows * K, gen); break;
      default: w.add_f32_gen(name, dims, rows * K, gen); break;
    }
  };
  auto vector = [&](const std::string& name, uint64_t n, float centre, float amp) {
    Rng r(rng.next());
    auto gen = [&](uint64_t) { return centre + r.uniform(amp); };
    if (spec.vectors == DType::F16)
      w.add_f16_gen(name, {static_cast<uint32_t>(n)}, n, gen);
    else
      w.add_f32_gen(name, {static_cast<uint32_t>(n)}, n, gen);
  };
  auto inv_sqrt = [](uint64_t k) { return k ? 1.0f / std::sqrt(static_cast<float>(k)) : 1.0f; };

  const uint64_t H = c.hidden_size;
  matrix(tensor_name(spec, "embed_tokens.weight"), c.vocab_size, H, spec.embedding, 1.0f);
  vector(tensor_name(spec, "norm.weight"), H, 0.0f, 0.1f);
  const uint64_t key_dim = uint64_t(c.lin_k_heads) * c.lin_k_dim;
  const uint64_t value_dim = uint64_t(c.lin_v_heads) * c.lin_v_dim;
  const uint64_t conv_dim = value_dim + 2 * key_dim;
  for (uint32_t l = 0; l < c.n_layers; ++l) {
    const std::string p = "layers." + std::to_string(l) + ".";
    vector(tensor_name(spec, p + "input_layernorm.weight"), H, 0.0f, 0.1f);
    vector(tensor_name(spec, p + "post_attention_layernorm.weight"), H, 0.0f, 0.1f);
    if ((c.attn_layer_mask >> (l & 31u)) & 1u) {
      const uint64_t qd = uint64_t(c.n_heads) * c.head_dim;
      const uint64_t kvd = uint64_t(c.n_kv_heads) * c.head_dim;
      matrix(tensor_name(spec, p + "self_attn.q_proj.weight"), 2 * qd, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "self_attn.k_proj.weight"), kvd, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "self_attn.v_proj.weight"), kvd, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "self_attn.o_proj.weight"), H, qd, spec.matrices, inv_sqrt(qd));
      vector(tensor_name(spec, p + "self_attn.q_norm.weight"), c.head_dim, 0.0f, 0.1f);
      vector(tensor_name(spec, p + "self_attn.k_norm.weight"), c.head_dim, 0.0f, 0.1f);
    } else {
      matrix(tensor_name(spec, p + "linear_attn.in_proj_qkv.weight"), conv_dim, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "linear_attn.in_proj_z.weight"), value_dim, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "linear_attn.in_proj_b.weight"), c.lin_v_heads, H, spec.matrices, inv_sqrt(H));
      matrix(tensor_name(spec, p + "linear_attn.in_proj_a.weight"), c.lin_v_heads, H, spec.matrices, inv_sqrt(H));
      vector(tensor_name(spec, p + "linear_attn.conv1d.weight"), conv_dim * c.conv_kernel, 0.0f, 0.5f);
      vector(tensor_name(spec, p + "linear_attn.dt_bias"), c.lin_v_heads, 0.0f, 1.0f);
      vector(tensor_name(spec, p + "linear_attn.A_log"), c.lin_v_heads, -0.5f, 0.5f);
      vector(tensor_name(spec, p + "linear_attn.norm.weight"), c.lin_v_dim, 1.0f, 0.1f);
      matrix(tensor_name(spec, p + "linear_attn.out_proj.weight"), H, value_dim, spec.matrices, inv_sqrt(value_dim));
    }
    matrix(tensor_name(spec, p + "mlp.gate_proj.weight"), c.ffn_size, H, spec.matrices, inv_sqrt(H));
    matrix(tensor_name(spec, p + "mlp.up_proj.weight"), c.ffn_size, H, spec.matrices, inv_sqrt(H));
    matrix(tensor_name(spec, p + "mlp.down_proj.weight"), H, c.ffn_size, spec.matrices, inv_sqrt(c.ffn_size));
  }
  return w;
}

}  // namespace olvt
