// The engine's decoding state: created once at open with final sizes, and
// the reset that empties it without touching the large caches.
#include "runtime/state.h"

#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"

Stream g_stream;

namespace {

constexpr size_t STATE_ALIGN = 64;

// Sizes come from unchecked configuration words, so every product is checked
// and a size that cannot exist is reported like a failed allocation. A zero
// count still yields a distinct pointer.
float* alloc_floats(uint64_t a, uint64_t b, uint64_t c, bool zeroed, const char* oom) {
  uint64_t n;
  if (__builtin_mul_overflow(a, b, &n) || __builtin_mul_overflow(n, c, &n) ||
      __builtin_mul_overflow(n, uint64_t{sizeof(float)}, &n) || n > PTRDIFF_MAX)
    fatal(oom);
  const size_t bytes = n ? static_cast<size_t>(n) : sizeof(float);
  // The key/value caches start on a cache line: their rows of 256 to 512
  // floats are read by 32-byte loads, and malloc's 16-byte offset split every
  // second load across two lines (attention reads of 2048 cached rows, AMD
  // EPYC family 25, one thread: 15-25 % slower). The zeroed states stay with
  // calloc, whose untouched pages cost no memory until used; the prefill's
  // recurrence works on aligned copies of them.
  void* p = nullptr;
  if (zeroed)
    p = std::calloc(1, bytes);
  else if (posix_memalign(&p, STATE_ALIGN, bytes) != 0)
    p = nullptr;
  if (!p) fatal(oom);
  return static_cast<float*>(p);
}

uint64_t conv_rows(const ModelConfig* c) { return c->conv_kernel > 0 ? c->conv_kernel - 1 : 0; }

uint64_t conv_width(const ModelConfig* c) {
  return 2 * uint64_t(c->lin_k_heads) * c->lin_k_dim + uint64_t(c->lin_v_heads) * c->lin_v_dim;
}

}  // namespace

void state_create(Engine* engine, ModelConfig* config) {
  engine->config = config;
  const ModelConfig* c = config;
  auto* s = static_cast<RuntimeState*>(std::calloc(1, sizeof(RuntimeState)));
  if (!s) fatal("oom runtime state");
  s->config = config;
  s->layers = static_cast<LayerCache*>(
      std::calloc(c->n_layers ? c->n_layers : 1, sizeof(LayerCache)));
  if (!s->layers) fatal("oom layer caches");

  const uint64_t kv_row = uint64_t(c->n_kv_heads) * c->head_dim;
  const uint64_t conv_dim = conv_width(c);
  const uint64_t value_dim = uint64_t(c->lin_v_heads) * c->lin_v_dim;
  for (uint32_t l = 0; l < c->n_layers; ++l) {
    LayerCache& L = s->layers[l];
    if (is_full_attention_layer(c, static_cast<int32_t>(l))) {
      L.k_cache = alloc_floats(MAX_CTX, kv_row, 1, false, "oom kv cache");
      L.v_cache = alloc_floats(MAX_CTX, kv_row, 1, false, "oom kv cache");
    } else {
      L.rec_state = alloc_floats(c->lin_v_heads, c->lin_k_dim, c->lin_v_dim, true,
                                 "oom recurrent state");
      L.conv_state = alloc_floats(conv_rows(c), conv_dim, 1, true, "oom conv state");
    }
  }

  const uint64_t q_dim = uint64_t(c->n_heads) * c->head_dim;
  const char* oom = "oom scratch vectors";
  s->hidden = alloc_floats(c->hidden_size, 1, 1, false, oom);
  s->normed = alloc_floats(c->hidden_size, 1, 1, false, oom);
  s->block_out = alloc_floats(c->hidden_size, 1, 1, false, oom);
  s->q_gate = alloc_floats(2, q_dim, 1, false, oom);
  s->attn_out = alloc_floats(q_dim, 1, 1, false, oom);
  s->scores = alloc_floats(MAX_CTX, 1, 1, false, oom);
  s->mlp_gate = alloc_floats(c->ffn_size, 1, 1, false, oom);
  s->mlp_up = alloc_floats(c->ffn_size, 1, 1, false, oom);
  s->lin_qkv = alloc_floats(conv_dim, 1, 1, false, oom);
  s->lin_conv = alloc_floats(conv_dim, 1, 1, false, oom);
  s->lin_z = alloc_floats(value_dim, 1, 1, false, oom);
  s->lin_core = alloc_floats(value_dim, 1, 1, false, oom);
  engine->state = s;

  engine->logits = alloc_floats(c->vocab_size, 1, 1, false, "oom logits");
}

void state_reset(Engine* engine) {
  RuntimeState* s = engine->state;
  const ModelConfig* c = s->config;
  const size_t rec_floats = size_t(c->lin_v_heads) * c->lin_k_dim * c->lin_v_dim;
  for (uint32_t l = 0; l < c->n_layers; ++l) {
    LayerCache& L = s->layers[l];
    if (is_full_attention_layer(c, static_cast<int32_t>(l))) {
      L.kv_len = 0;
    } else {
      std::memset(L.rec_state, 0, rec_floats * sizeof(float));
      L.lin_pos = 0;
    }
  }
  s->n_cached = 0;
}
