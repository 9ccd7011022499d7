// The four interface functions: refused counts, the longest prompt, the
// prefix cache and its status lines byte for byte, seeding, the stop token,
// ids outside the vocabulary, and the out-of-memory exits of the work buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "forward/decode_step.h"
#include "engine_fixtures.h"
#include "forward/prefill.h"
#include "forward/sampler.h"
#include "runtime/work_alloc.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

olvt::Config small_config() {
  olvt::Config c;
  c.vocab_size = 96;
  c.hidden_size = 32;
  c.n_layers = 3;
  c.attn_layer_mask = 0x2;
  c.n_heads = 2;
  c.n_kv_heads = 1;
  c.head_dim = 16;
  c.ffn_size = 64;
  return c;
}

const std::string& small_model_path() {
  static const std::string path = [] {
    olvt::ModelSpec s;
    s.cfg = small_config();
    s.matrices = olvt::DType::Q8;
    s.embedding = olvt::DType::F16;
    s.seed = 5;
    return fx::write_model(olvt::make_model(s), "small");
  }();
  return path;
}

Engine* open_small() { return olvu_open(small_model_path().c_str(), 4); }

StreamHandle start(Engine* e, const std::vector<TokenId>& ids, uint64_t seed = 1,
                   float temperature = 0.0f, TokenId stop = -1, int32_t top_k = 40,
                   float penalty = 1.0f) {
  return olvu_start(e, ids.data(), static_cast<int32_t>(ids.size()), top_k, seed, stop,
                    temperature, 0.9f, penalty);
}

TEST(Start, RefusesCountsOutsideTheRangeAndChangesNothing) {
  Engine* e = open_small();
  const auto ids = fx::random_ids(1, 4096, 96);
  start(e, std::vector<TokenId>(ids.begin(), ids.begin() + 8), 77);
  auto before = std::make_unique<Stream>();
  std::memcpy(before.get(), &g_stream, sizeof(Stream));
  const uint64_t rng = rng_state;
  const auto logits = fx::logits_of(e);
  CaptureStderr();
  for (int32_t count : {0, -1, 4096, 5000})
    EXPECT_EQ(olvu_start(e, ids.data(), count, 40, 9, -1, 0.5f, 0.9f, 1.1f), nullptr) << count;
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(std::memcmp(before.get(), &g_stream, sizeof(Stream)), 0);
  EXPECT_EQ(rng_state, rng);
  EXPECT_EQ(fx::logits_of(e), logits);
  EXPECT_EQ(e->state->n_cached, 8);
}

TEST(Start, TheLongestPromptLeavesRoomForOneId) {
  Engine* e = open_small();
  const auto ids = fx::random_ids(2, 4095, 96);
  StreamHandle s = start(e, ids);
  ASSERT_EQ(s, &g_stream);
  const TokenId id = olvu_next(s);
  EXPECT_GE(id, 0);
  EXPECT_EQ(g_stream.n_tokens, 4096);
  EXPECT_EQ(g_stream.tokens[4095], id);
  EXPECT_EQ(e->state->n_cached, 4096);
  EXPECT_EQ(e->state->cached_tokens[4095], id);
  EXPECT_EQ(e->state->layers[1].kv_len, 4096);
  EXPECT_EQ(e->state->layers[0].lin_pos, 4096);
  EXPECT_EQ(olvu_next(s), -1);
  EXPECT_EQ(olvu_next(s), -1);
  EXPECT_EQ(g_stream.n_tokens, 4096);
}

TEST(Passes, TheContextEndsAt4096Positions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto ids = fx::random_ids(11, 4097, 96);
  auto prefill_to = [&](Engine* e, int32_t first, int32_t then) {
    start(e, std::vector<TokenId>(ids.begin(), ids.begin() + first));
    prefill_batch(e->state, ids.data() + first, then, e->logits);
  };
  {
    Engine* e = open_small();
    prefill_to(e, 4000, 96);  // exactly 4096 positions: accepted
    EXPECT_EQ(e->state->n_cached, 4096);
    EXPECT_EQ(e->state->layers[1].kv_len, 4096);
    EXPECT_EQ(e->state->cached_tokens[4095], ids[4095]);
  }
  EXPECT_EXIT(prefill_to(open_small(), 4000, 97), ::testing::ExitedWithCode(1),
              "FATAL: context overflow\n$");
  // One token past a full cache, through the one-token form.
  EXPECT_EXIT(
      {
        Engine* e = open_small();
        prefill_to(e, 4000, 96);
        decode_step(e->state, 5, e->logits);
      },
      ::testing::ExitedWithCode(1), "FATAL: context overflow\n$");
}

TEST(Start, PrefixCacheDecisionsAndTheirLines) {
  Engine* e = open_small();
  const auto P = fx::random_ids(3, 10, 96);

  CaptureStderr();
  StreamHandle s = start(e, P);
  EXPECT_EQ(GetCapturedStderr(), "");  // nothing cached: a silent miss

  CaptureStderr();
  start(e, P);
  EXPECT_EQ(GetCapturedStderr(), "[engine] prefix cache EXACT: reusing all 10\n");

  std::vector<TokenId> gen;
  for (int i = 0; i < 5; ++i) gen.push_back(olvu_next(s));

  CaptureStderr();
  start(e, P);
  EXPECT_EQ(GetCapturedStderr(),
            "[engine] prefix cache miss (lcp 10 of 15 cached) \xE2\x80\x94 full prefill\n");
  EXPECT_EQ(e->state->n_cached, 10);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(olvu_next(s), gen[i]);

  std::vector<TokenId> longer = P;
  longer.insert(longer.end(), gen.begin(), gen.end());
  const auto more = fx::random_ids(4, 7, 96);
  longer.insert(longer.end(), more.begin(), more.end());
  CaptureStderr();
  start(e, longer);
  EXPECT_EQ(GetCapturedStderr(), "[engine] prefix cache HIT: reusing 15, prefilling 7\n");
  EXPECT_EQ(e->state->n_cached, 22);

  std::vector<TokenId> other = longer;
  other[0] = (other[0] + 1) % 96;
  CaptureStderr();
  start(e, other);
  EXPECT_EQ(GetCapturedStderr(),
            "[engine] prefix cache miss (lcp 0 of 22 cached) \xE2\x80\x94 full prefill\n");

  // The reset forgets the cache but keeps the stream, the generator and the logits.
  auto stream = std::make_unique<Stream>();
  std::memcpy(stream.get(), &g_stream, sizeof(Stream));
  const uint64_t rng = rng_state;
  const auto logits = fx::logits_of(e);
  CaptureStderr();
  olvu_reset(e);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(e->state->n_cached, 0);
  EXPECT_EQ(std::memcmp(stream.get(), &g_stream, sizeof(Stream)), 0);
  EXPECT_EQ(rng_state, rng);
  EXPECT_EQ(fx::logits_of(e), logits);
  CaptureStderr();
  start(e, other);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(fx::logits_of(e), logits);  // the same prompt prefilled again from position 0
}

TEST(Start, ExactReuseDrawsWhatAFreshPrefillWould) {
  const auto P = fx::random_ids(5, 12, 96);
  Engine* a = open_small();
  start(a, P, 42, 1.0f);
  StreamHandle s = start(a, P, 42, 1.0f);  // EXACT
  std::vector<TokenId> ga;
  for (int i = 0; i < 6; ++i) ga.push_back(olvu_next(s));
  Engine* b = open_small();
  s = start(b, P, 42, 1.0f);
  std::vector<TokenId> gb;
  for (int i = 0; i < 6; ++i) gb.push_back(olvu_next(s));
  EXPECT_EQ(ga, gb);
}

std::vector<TokenId> sampled(Engine* e, const std::vector<TokenId>& P, uint64_t seed, int n) {
  StreamHandle s = start(e, P, seed, 4.0f, -1, 0);
  std::vector<TokenId> out;
  for (int i = 0; i < n; ++i) out.push_back(olvu_next(s));
  return out;
}

TEST(Start, SeedsZeroAndOneGiveTheSameDraws) {
  Engine* e = open_small();
  const auto P = fx::random_ids(6, 9, 96);
  const auto s0 = sampled(e, P, 0, 20);
  const auto s1 = sampled(e, P, 1, 20);
  const auto s2 = sampled(e, P, 2, 20);
  EXPECT_EQ(s0, s1);
  EXPECT_NE(s1, s2);
}

TEST(Next, TheStopTokenEndsWithTheLogitsAsTheSamplerLeftThem) {
  Engine* e = open_small();
  const auto P = fx::random_ids(7, 14, 96);
  for (float T : {0.0f, 0.5f}) {
    olvu_reset(e);
    start(e, P, 3);
    std::vector<float> want = fx::logits_of(e);
    // the penalty over the prompt, then the temperature scaling on the sampling branch
    for (TokenId t : P) want[t] = want[t] > 0 ? want[t] / 1.3f : want[t] * 1.3f;
    if (T > 0)
      for (size_t i = 0; i < want.size(); ++i)
        want[i] = i < want.size() / 4 * 4 ? want[i] * (1.0f / T) : want[i] / T;
    const TokenId stop = static_cast<TokenId>(fx::argmax(want));
    StreamHandle s = start(e, P, 3, T, stop, 1, 1.3f);  // EXACT: same logits again
    EXPECT_EQ(olvu_next(s), -1) << T;
    const uint64_t after = rng_state;
    EXPECT_EQ(g_stream.n_tokens, 14);
    EXPECT_EQ(e->state->n_cached, 14);
    const auto got = fx::logits_of(e);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << T;
    // one step on the sampling branch, none on the greedy one
    rng_state = 3;
    const uint64_t one_step = rng_step();
    EXPECT_EQ(after, T > 0 ? one_step : 3u) << T;
  }
}

TEST(Next, TheGeneratorAdvancesOncePerRandomDraw) {
  Engine* e = open_small();
  const auto P = fx::random_ids(8, 6, 96);
  StreamHandle s = start(e, P, 1234, 0.8f);
  rng_state = 1234;
  const uint64_t after_one = rng_step();
  rng_state = 1234;
  olvu_next(s);
  EXPECT_EQ(rng_state, after_one);
  s = start(e, P, 1234, 0.0f);
  olvu_next(s);
  EXPECT_EQ(rng_state, 1234u);  // greedy draws leave it alone
}

TEST(Start, AnIdOutsideTheVocabularyEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (TokenId bad : {TokenId{96}, TokenId{-1}, TokenId{1} << 40}) {
    EXPECT_EXIT(
        {
          Engine* e = open_small();
          start(e, {1, 2, bad, 3});
        },
        ::testing::ExitedWithCode(1), "\\] weights [^\n]*\nFATAL: token id outside vocabulary\n$");
  }
}

TEST(WorkBuffers, AFailedRequestEndsTheRunWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* tag;
    const char* message;
  };
  const Case cases[] = {
      {"batch_hidden", "oom prefill"},
      {"batch_out", "oom prefill"},
      {"batch_mlp_up", "oom prefill mlp"},
      {"rope_sin", "oom prefill rotary tables"},
      {"batch_q_gate", "oom prefill attention"},
      {"batch_attn_out", "oom prefill attention"},
      {"batch_qkv", "oom prefill linear attention"},
      {"batch_core", "oom prefill linear attention"},
      {"sampler candidates", "oom sampler candidates"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          Engine* e = open_small();
          work_alloc_detail::fail_requests_tagged(c.tag);
          StreamHandle s = start(e, {1, 2, 3}, 1, 0.7f);
          olvu_next(s);
          std::exit(0);
        },
        ::testing::ExitedWithCode(1), std::string("FATAL: ") + c.message + "\n$")
        << c.tag;
  }
}

}  // namespace
