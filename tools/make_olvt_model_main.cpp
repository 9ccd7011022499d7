// Writes a small OLVT model with random weights: three linear-attention layers
// and one full-attention layer, q8 matrices and an f16 embedding, for
// demonstration runs and tests of the whole program. Its answers are noise.
//
//   make_olvt_model <out.olvt> <vocab_size> [hidden_size]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "olvt_model.h"

namespace {

bool parse_count(const char* text, unsigned long min, unsigned long max, uint32_t& out) {
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (errno || end == text || *end || text[0] == '-' || v < min || v > max) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: make_olvt_model <out.olvt> <vocab_size> [hidden_size]\n");
    return 2;
  }
  uint32_t vocab = 0, hidden = 64;
  if (!parse_count(argv[2], 64, 1u << 20, vocab)) {
    std::fprintf(stderr, "make_olvt_model: vocab_size must be a whole number from 64 to 1048576\n");
    return 2;
  }
  if (argc == 4 && (!parse_count(argv[3], 32, 8192, hidden) || hidden % 32 != 0)) {
    std::fprintf(stderr, "make_olvt_model: hidden_size must be a multiple of 32 from 32 to 8192\n");
    return 2;
  }

  olvt::ModelSpec spec;
  olvt::Config& c = spec.cfg;
  c.vocab_size = vocab;
  c.hidden_size = hidden;
  c.n_layers = 4;
  c.attn_layer_mask = 0b1000;  // every fourth layer full attention
  c.n_heads = 4;
  c.n_kv_heads = 2;
  c.head_dim = 32;
  c.ffn_size = 3 * hidden;
  c.lin_k_heads = 4;
  c.lin_v_heads = 4;
  c.lin_k_dim = 32;
  c.lin_v_dim = 32;
  c.conv_kernel = 4;
  c.rope_theta = 10000000.0f;
  c.rms_eps = 1e-6f;
  c.rotary_fraction = 0.25f;
  spec.matrices = olvt::DType::Q8;
  spec.embedding = olvt::DType::F16;
  spec.vectors = olvt::DType::F32;
  spec.seed = 1337;
  try {
    olvt::make_model(spec).write(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_olvt_model: %s\n", e.what());
    return 1;
  }
  return 0;
}
