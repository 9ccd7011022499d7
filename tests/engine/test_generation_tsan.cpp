// A whole generation on a multi-thread pool, small enough to run under the
// thread sanitizer: open, prefill, a prefix hit, sampled and greedy tokens.
// Both prefills are long enough for the panel product, whose participants
// share the panel buffers' slots.
#include <gtest/gtest.h>

#include <cstdlib>

#include "engine_fixtures.h"

namespace {

TEST(Generation, OpenStartNextOnAFourThreadPool) {
  unsetenv("OLVU_NO_ACCEL");
  olvt::ModelSpec spec;
  spec.cfg.vocab_size = 96;
  spec.cfg.hidden_size = 64;
  spec.cfg.n_layers = 3;
  spec.cfg.attn_layer_mask = 0x2;
  spec.cfg.n_heads = 4;
  spec.cfg.n_kv_heads = 2;
  spec.cfg.head_dim = 16;
  spec.cfg.ffn_size = 128;
  spec.cfg.lin_k_heads = 4;
  spec.cfg.lin_v_heads = 4;
  spec.matrices = olvt::DType::Q8;
  spec.embedding = olvt::DType::F16;
  Engine* e = olvu_open(fx::write_model(olvt::make_model(spec), "tsan").c_str(), 4);

  std::vector<TokenId> ids = fx::random_ids(9, 40, 96);
  StreamHandle s = olvu_start(e, ids.data(), 40, 40, 1337, -1, 0.5f, 0.9f, 1.1f);
  ASSERT_NE(s, nullptr);
  for (int i = 0; i < 6; ++i) {
    const TokenId id = olvu_next(s);
    ASSERT_GE(id, 0);
    ASSERT_LT(id, 96);
    ids.push_back(id);
  }
  const auto more = fx::random_ids(10, 20, 96);
  ids.insert(ids.end(), more.begin(), more.end());
  s = fx::start_greedy(e, ids);  // prefix hit: 46 reused, 20 prefilled
  for (int i = 0; i < 6; ++i) ASSERT_GE(olvu_next(s), 0);
  EXPECT_EQ(e->state->n_cached, 72);
}

}  // namespace
