// Engine state: which buffers each layer kind gets and how large, what the
// reset clears and what it leaves, and sizes too large to exist.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "olvt_model.h"
#include "runtime/state.h"

namespace {

ModelConfig mixed_config() {
  ModelConfig c{};
  c.vocab_size = 100;
  c.hidden_size = 48;
  c.n_layers = 40;
  c.n_heads = 4;
  c.n_kv_heads = 2;
  c.head_dim = 8;
  c.ffn_size = 96;
  c.lin_k_heads = 2;
  c.lin_v_heads = 2;
  c.lin_k_dim = 8;
  c.lin_v_dim = 12;
  c.conv_kernel = 4;
  c.attn_layer_mask = 1u << 3;  // layers 3 and 35
  return c;
}

// The allocation behind p holds at least n floats.
::testing::AssertionResult holds(const void* p, size_t n) {
  if (!p) return ::testing::AssertionFailure() << "null";
  const size_t have = malloc_usable_size(const_cast<void*>(p));
  if (have < n * sizeof(float))
    return ::testing::AssertionFailure() << have << " bytes, need " << n * sizeof(float);
  return ::testing::AssertionSuccess();
}

bool all_zero(const float* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0.0f || std::signbit(p[i])) return false;
  return true;
}

TEST(StateCreate, EachLayerKindGetsItsOwnBuffersAtFullSize) {
  ModelConfig c = mixed_config();
  Engine e{};
  state_create(&e, &c);
  ASSERT_EQ(e.config, &c);
  RuntimeState* s = e.state;
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->config, &c);
  EXPECT_EQ(s->n_cached, 0);
  const size_t conv_dim = 2 * 2 * 8 + 2 * 12;
  for (int l = 0; l < 40; ++l) {
    SCOPED_TRACE("layer " + std::to_string(l));
    const LayerCache& L = s->layers[l];
    EXPECT_EQ(L.kv_len, 0);
    EXPECT_EQ(L.lin_pos, 0);
    if (l == 3 || l == 35) {
      EXPECT_TRUE(holds(L.k_cache, 4096 * 2 * 8));
      EXPECT_TRUE(holds(L.v_cache, 4096 * 2 * 8));
      EXPECT_NE(L.k_cache, L.v_cache);
      EXPECT_EQ(L.rec_state, nullptr);
      EXPECT_EQ(L.conv_state, nullptr);
    } else {
      EXPECT_EQ(L.k_cache, nullptr);
      EXPECT_EQ(L.v_cache, nullptr);
      ASSERT_TRUE(holds(L.rec_state, 2 * 8 * 12));
      ASSERT_TRUE(holds(L.conv_state, 3 * conv_dim));
      EXPECT_TRUE(all_zero(L.rec_state, 2 * 8 * 12));
      EXPECT_TRUE(all_zero(L.conv_state, 3 * conv_dim));
    }
  }
  EXPECT_TRUE(holds(s->hidden, 48));
  EXPECT_TRUE(holds(s->normed, 48));
  EXPECT_TRUE(holds(s->block_out, 48));
  EXPECT_TRUE(holds(s->q_gate, 2 * 4 * 8));
  EXPECT_TRUE(holds(s->attn_out, 4 * 8));
  EXPECT_TRUE(holds(s->scores, 4096));
  EXPECT_TRUE(holds(s->mlp_gate, 96));
  EXPECT_TRUE(holds(s->mlp_up, 96));
  EXPECT_TRUE(holds(s->lin_qkv, conv_dim));
  EXPECT_TRUE(holds(s->lin_conv, conv_dim));
  EXPECT_TRUE(holds(s->lin_z, 2 * 12));
  EXPECT_TRUE(holds(s->lin_core, 2 * 12));
  EXPECT_TRUE(holds(e.logits, 100));
}

TEST(StateCreate, AllFullAttentionStillHasTheLinearScratch) {
  ModelConfig c = mixed_config();
  c.attn_layer_mask = 0xFFFFFFFFu;
  Engine e{};
  state_create(&e, &c);
  for (int l = 0; l < 40; ++l) {
    EXPECT_EQ(e.state->layers[l].rec_state, nullptr) << l;
    EXPECT_EQ(e.state->layers[l].conv_state, nullptr) << l;
    EXPECT_NE(e.state->layers[l].k_cache, nullptr) << l;
  }
  EXPECT_TRUE(holds(e.state->lin_qkv, 56));
  EXPECT_TRUE(holds(e.state->lin_conv, 56));
  EXPECT_TRUE(holds(e.state->lin_z, 24));
  EXPECT_TRUE(holds(e.state->lin_core, 24));
}

TEST(StateCreate, ZeroSizesGiveUsablePointers) {
  ModelConfig c{};  // every word 0: one linear layer of nothing
  c.n_layers = 1;
  Engine e{};
  state_create(&e, &c);
  const RuntimeState* s = e.state;
  for (const void* p : {(const void*)s->hidden, (const void*)s->q_gate, (const void*)s->lin_z,
                        (const void*)s->layers[0].rec_state, (const void*)s->layers[0].conv_state,
                        (const void*)e.logits})
    EXPECT_NE(p, nullptr);
}

TEST(StateCreate, WorksOnALoadedModel) {
  olvt::ModelSpec spec;
  spec.cfg.n_layers = 3;
  spec.cfg.attn_layer_mask = 0b010;
  const std::string path = testutil::scratch_path("model.olvt");
  olvt::make_model(spec).write(path);
  testutil::StderrCapture quiet;
  ModelConfig* c = load_model(path.c_str());
  quiet.finish();
  Engine e{};
  state_create(&e, c);
  EXPECT_EQ(e.config, c);
  EXPECT_EQ(e.state->config, c);
  EXPECT_NE(e.state->layers[1].k_cache, nullptr);
  EXPECT_NE(e.state->layers[0].rec_state, nullptr);
  EXPECT_NE(e.state->layers[2].rec_state, nullptr);
  EXPECT_TRUE(holds(e.logits, spec.cfg.vocab_size));
}

TEST(StateReset, ClearsCountersAndRecurrentStatesOnly) {
  ModelConfig c = mixed_config();
  Engine e{};
  state_create(&e, &c);
  RuntimeState* s = e.state;
  const size_t conv_floats = 3 * 56, rec_floats = 2 * 8 * 12;
  const RuntimeState before = *s;
  for (int l = 0; l < 40; ++l) {
    LayerCache& L = s->layers[l];
    if (L.k_cache) {
      L.kv_len = 9;
      L.k_cache[0] = 3.0f;
      L.v_cache[4096 * 16 - 1] = 4.0f;
    } else {
      L.lin_pos = 9;
      for (size_t i = 0; i < rec_floats; ++i) L.rec_state[i] = 1.0f + static_cast<float>(i);
      for (size_t i = 0; i < conv_floats; ++i) L.conv_state[i] = 2.0f;
    }
  }
  s->n_cached = 9;
  for (int i = 0; i < 9; ++i) s->cached_tokens[i] = 100 + i;
  s->hidden[0] = 5.0f;
  s->lin_core[0] = 5.5f;
  e.logits[99] = 6.0f;
  g_stream.engine = &e;
  g_stream.n_tokens = 3;
  g_stream.tokens[2] = 77;
  g_stream.top_k = 40;
  g_stream.stop_token = 248046;

  state_reset(&e);

  EXPECT_EQ(s->n_cached, 0);
  EXPECT_EQ(s->layers, before.layers);
  EXPECT_EQ(s->hidden, before.hidden);
  EXPECT_EQ(e.state, s);
  for (int l = 0; l < 40; ++l) {
    SCOPED_TRACE("layer " + std::to_string(l));
    const LayerCache& L = s->layers[l];
    if (L.k_cache) {
      EXPECT_EQ(L.kv_len, 0);
      EXPECT_EQ(L.k_cache[0], 3.0f);
      EXPECT_EQ(L.v_cache[4096 * 16 - 1], 4.0f);
    } else {
      EXPECT_EQ(L.lin_pos, 0);
      EXPECT_TRUE(all_zero(L.rec_state, rec_floats));
      EXPECT_EQ(L.conv_state[0], 2.0f);
      EXPECT_EQ(L.conv_state[conv_floats - 1], 2.0f);
    }
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(s->cached_tokens[i], 100 + i);
  EXPECT_EQ(s->hidden[0], 5.0f);
  EXPECT_EQ(s->lin_core[0], 5.5f);
  EXPECT_EQ(e.logits[99], 6.0f);
  EXPECT_EQ(g_stream.engine, &e);
  EXPECT_EQ(g_stream.n_tokens, 3);
  EXPECT_EQ(g_stream.tokens[2], 77);
  EXPECT_EQ(g_stream.top_k, 40);
  EXPECT_EQ(g_stream.stop_token, 248046);
}

// Sizes whose products cannot exist in memory end the run before anything is
// allocated, instead of wrapping into a small buffer.
TEST(StateCreate, OverflowingSizesEndTheRun) {
  const uint32_t BIG = 0xFFFFFFFFu;
  struct Case {
    const char* what;
    void (*edit)(ModelConfig&);
    const char* err;
  };
  const Case cases[] = {
      {"kv cache", [](ModelConfig& c) { c.attn_layer_mask = 1; c.n_kv_heads = BIG; c.head_dim = BIG; },
       "FATAL: oom kv cache\n"},
      {"recurrent state",
       [](ModelConfig& c) { c.lin_v_heads = BIG; c.lin_k_dim = BIG; c.lin_v_dim = BIG; },
       "FATAL: oom recurrent state\n"},
      {"conv ring", [](ModelConfig& c) { c.conv_kernel = BIG; c.lin_k_heads = BIG; },
       "FATAL: oom conv state\n"},
      {"query scratch", [](ModelConfig& c) { c.n_heads = BIG; c.head_dim = BIG; },
       "FATAL: oom scratch vectors\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ModelConfig c = mixed_config();
    c.attn_layer_mask = 0;
    k.edit(c);
    auto r = testutil::run_child([&] {
      Engine e{};
      state_create(&e, &c);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, k.err);
  }
}

}  // namespace
