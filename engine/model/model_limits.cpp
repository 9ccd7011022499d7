// Model limits. The forward passes size their loops and buffers from these
// words without further checks, so each limit here guards a buffer: the
// per-head scratch and caches (head sizes, head counts), the rotary width
// within a head, the convolution ring (at least one earlier input, a width
// that is a signed 32-bit count), and the
// sampler's candidate fallback (vocabulary size). Input sizes of batched
// products and the q8 block divisibility are checked where they are used.
#include "model/model_limits.h"

#include <cstdint>
#include <cstdio>

#include "runtime/fatal.h"

namespace {

constexpr uint32_t MAX_INT32 = 2147483647u;

void require(bool ok, const char* what) {
  if (ok) return;
  char msg[128];
  std::snprintf(msg, sizeof msg, "model limit: %s", what);
  fatal(msg);
}

}  // namespace

void check_model_limits(const ModelConfig* c) {
  bool any_full = false, any_linear = false;
  const uint32_t kinds = c->n_layers < 32 ? c->n_layers : 32;
  for (uint32_t l = 0; l < kinds; ++l) {
    if (is_full_attention_layer(c, static_cast<int32_t>(l)))
      any_full = true;
    else
      any_linear = true;
  }

  require(c->vocab_size >= 64, "vocab_size below 64");
  require(c->vocab_size <= MAX_INT32, "vocab_size above 2147483647");
  require(c->hidden_size >= 1, "hidden_size 0");

  if (any_full) {
    require(c->n_kv_heads >= 1, "n_kv_heads 0");
    require(c->n_heads % c->n_kv_heads == 0, "n_heads not a multiple of n_kv_heads");
    require(c->head_dim <= 256, "head_dim above 256");
    require(uint64_t(c->n_heads) * c->head_dim <= 2048, "n_heads*head_dim above 2048");
    // Head counts bound the per-head loops on their own: with a head size of 0
    // the width limit above says nothing about them.
    require(c->n_heads <= 2048, "n_heads above 2048");
    require(c->n_kv_heads <= 2048, "n_kv_heads above 2048");
    // The rotated width is the truncated product; NaN and negative fractions
    // have no width at all.
    const float rot = c->rotary_fraction * static_cast<float>(c->head_dim);
    require(rot >= 0.0f && rot < static_cast<float>(c->head_dim) + 1.0f,
            "rotated width outside 0..head_dim");
  }
  if (any_linear) {
    require(c->lin_k_dim <= 256, "lin_k_dim above 256");
    require(c->lin_v_dim <= 256, "lin_v_dim above 256");
    require(c->lin_v_heads <= 16, "lin_v_heads above 16");
    require(c->lin_k_heads == c->lin_v_heads, "lin_k_heads differs from lin_v_heads");
    require(c->conv_kernel >= 2, "conv_kernel below 2");
    require(c->conv_kernel <= MAX_INT32, "conv_kernel above 2147483647");
  }
}
