// Model limits: each limit breaks on its own with its message, passes at its
// bound, and a layer kind's limits apply only when the mask selects that kind.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "child_process.h"
#include "model/model_limits.h"

namespace {

ModelConfig at_the_bounds() {
  ModelConfig c{};
  c.vocab_size = 64;
  c.hidden_size = 1;
  c.n_layers = 2;
  c.attn_layer_mask = 0b01;  // one layer of each kind
  c.n_heads = 8;
  c.n_kv_heads = 2;
  c.head_dim = 256;          // 8 * 256 = 2048
  c.rotary_fraction = 1.0f;  // rotated width = head_dim
  c.lin_k_heads = 16;
  c.lin_v_heads = 16;
  c.lin_k_dim = 256;
  c.lin_v_dim = 256;
  c.conv_kernel = 2;
  return c;
}

std::string check(const ModelConfig& c) {
  auto r = testutil::run_child([&] { check_model_limits(&c); });
  if (r.exit_code == 0 && r.err.empty()) return "";
  return r.err + "(exit " + std::to_string(r.exit_code) + ")";
}

struct Case {
  const char* what;
  void (*edit)(ModelConfig&);
  const char* limit;
};

const Case FULL_ATTENTION[] = {
    {"no kv heads", [](ModelConfig& c) { c.n_kv_heads = 0; }, "n_kv_heads 0"},
    {"heads not grouped", [](ModelConfig& c) { c.n_heads = 6; c.n_kv_heads = 4; },
     "n_heads not a multiple of n_kv_heads"},
    {"head_dim 257", [](ModelConfig& c) { c.head_dim = 257; c.n_heads = 2; }, "head_dim above 256"},
    {"query width 2049+", [](ModelConfig& c) { c.n_heads = 9; c.n_kv_heads = 1; },
     "n_heads*head_dim above 2048"},
    // 2^24 heads of 256 wrap to 0 in 32 bits
    {"query width wraps", [](ModelConfig& c) { c.n_heads = 1u << 24; c.n_kv_heads = 1; },
     "n_heads*head_dim above 2048"},
    {"rotated width above head", [](ModelConfig& c) { c.rotary_fraction = 1.004f; },
     "rotated width outside 0..head_dim"},
    {"negative fraction", [](ModelConfig& c) { c.rotary_fraction = -0.5f; },
     "rotated width outside 0..head_dim"},
    {"fraction NaN", [](ModelConfig& c) { c.rotary_fraction = NAN; },
     "rotated width outside 0..head_dim"},
    {"fraction infinite", [](ModelConfig& c) { c.rotary_fraction = INFINITY; },
     "rotated width outside 0..head_dim"},
};

const Case LINEAR_ATTENTION[] = {
    {"lin_k_dim 257", [](ModelConfig& c) { c.lin_k_dim = 257; }, "lin_k_dim above 256"},
    {"lin_v_dim 257", [](ModelConfig& c) { c.lin_v_dim = 257; }, "lin_v_dim above 256"},
    {"17 value heads", [](ModelConfig& c) { c.lin_v_heads = c.lin_k_heads = 17; },
     "lin_v_heads above 16"},
    {"fewer key heads", [](ModelConfig& c) { c.lin_k_heads = 8; },
     "lin_k_heads differs from lin_v_heads"},
    {"conv width 1", [](ModelConfig& c) { c.conv_kernel = 1; }, "conv_kernel below 2"},
    {"conv width 0", [](ModelConfig& c) { c.conv_kernel = 0; }, "conv_kernel below 2"},
};

const Case ANY_MODEL[] = {
    {"vocab 63", [](ModelConfig& c) { c.vocab_size = 63; }, "vocab_size below 64"},
    {"vocab beyond a signed count", [](ModelConfig& c) { c.vocab_size = 0x80000000u; },
     "vocab_size above 2147483647"},
    {"hidden 0", [](ModelConfig& c) { c.hidden_size = 0; }, "hidden_size 0"},
};

void expect_limit(const Case& k, ModelConfig c) {
  SCOPED_TRACE(k.what);
  k.edit(c);
  EXPECT_EQ(check(c), std::string("FATAL: model limit: ") + k.limit + "\n(exit 1)");
}

TEST(ModelLimits, ConfigurationAtEveryBoundPasses) {
  EXPECT_EQ(check(at_the_bounds()), "");
  ModelConfig c = at_the_bounds();
  c.rotary_fraction = 0.0f;
  c.n_heads = 0;  // zero query heads is a multiple of the kv heads
  EXPECT_EQ(check(c), "");
  c.rotary_fraction = 1.0039f;  // 257.0 would break; 256.99 truncates to 256
  EXPECT_EQ(check(c), "");
}

TEST(ModelLimits, EachBrokenLimitIsNamed) {
  for (const Case& k : FULL_ATTENTION) expect_limit(k, at_the_bounds());
  for (const Case& k : LINEAR_ATTENTION) expect_limit(k, at_the_bounds());
  for (const Case& k : ANY_MODEL) expect_limit(k, at_the_bounds());
}

TEST(ModelLimits, OnlyTheKindsTheMaskSelectsAreChecked) {
  ModelConfig all_linear = at_the_bounds();
  all_linear.attn_layer_mask = 0;
  ModelConfig all_full = at_the_bounds();
  all_full.attn_layer_mask = 0b11;
  // 3 layers, only bit 3 set: bit 3 belongs to no layer, so every layer is linear
  ModelConfig unused_bit = at_the_bounds();
  unused_bit.n_layers = 3;
  unused_bit.attn_layer_mask = 1u << 3;
  ModelConfig no_layers = at_the_bounds();
  no_layers.n_layers = 0;
  for (const Case& k : FULL_ATTENTION) {
    SCOPED_TRACE(k.what);
    for (ModelConfig c : {all_linear, unused_bit, no_layers}) {
      k.edit(c);
      EXPECT_EQ(check(c), "");
    }
  }
  for (const Case& k : LINEAR_ATTENTION) {
    SCOPED_TRACE(k.what);
    for (ModelConfig c : {all_full, no_layers}) {
      k.edit(c);
      EXPECT_EQ(check(c), "");
    }
  }
  // layers past 31 reuse the mask's bits: 40 layers with bit 3 set has full layers
  ModelConfig forty = unused_bit;
  forty.n_layers = 40;
  expect_limit(FULL_ATTENTION[0], forty);
}

}  // namespace
