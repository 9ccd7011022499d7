// The sampler against a literal k-pass reference: generator states and draws,
// the penalty window, the top-k fallback and ties, top-p, the draw's fallback
// to the last kept candidate, and the one-pass top-k selection on random,
// tied and NaN-bearing logits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "forward/sampler.h"

namespace {

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The selection as k full passes with a linear membership test.
void topk_k_pass(const float* L, int32_t V, int32_t k, int32_t* ids, float* vals) {
  for (int32_t j = 0; j < k; ++j) {
    int32_t best = -1;
    for (int32_t i = 0; i < V; ++i) {
      bool chosen = false;
      for (int32_t c = 0; c < j; ++c) chosen |= ids[c] == i;
      if (chosen) continue;
      if (best < 0 || L[i] > L[best]) best = i;
    }
    ids[j] = best;
    vals[j] = L[best];
  }
}

// One draw exactly as written: penalty, greedy or temperature, k-pass top-k,
// softmax, top-p, draw. Works on its own copy of the generator state.
int64_t sample_reference(const std::vector<int64_t>& tokens, std::vector<float>& L, float T,
                         float top_p, int32_t top_k, float penalty, uint64_t& rng) {
  const int32_t V = static_cast<int32_t>(L.size());
  const int32_t n = static_cast<int32_t>(tokens.size());
  if (n >= 1 && penalty > 1.0f) {
    for (int32_t i = std::max(0, n - 200); i < n; ++i) {
      const int64_t t = tokens[i];
      if (t < 0 || t >= V) continue;
      if (L[t] > 0) L[t] = L[t] / penalty;
      else L[t] = L[t] * penalty;
    }
  }
  if (!(T > 0)) {
    int32_t best = 0;
    for (int32_t i = 1; i < V; ++i)
      if (L[i] > L[best]) best = i;
    return best;
  }
  const float r = 1.0f / T;
  for (int32_t i = 0; i < V; ++i) L[i] = i < V / 4 * 4 ? L[i] * r : L[i] / T;
  const int32_t k = (top_k > 0 && top_k < V) ? top_k : 64;
  std::vector<int32_t> ids(k);
  std::vector<float> p(k);
  topk_k_pass(L.data(), V, k, ids.data(), p.data());
  const float v0 = p[0];
  for (int32_t j = 0; j < k; ++j) p[j] = std::exp(p[j] - v0);
  float S = 0;
  for (int32_t j = 0; j < k; ++j) S += p[j];
  const float q = 1.0f / S;
  for (int32_t j = 0; j < k; ++j) p[j] *= q;
  int32_t m = k;
  float c = 0;
  for (int32_t j = 0; j < k; ++j) {
    c += p[j];
    if (c >= top_p) {
      m = j + 1;
      break;
    }
  }
  float Sm = 0;
  for (int32_t j = 0; j < m; ++j) Sm += p[j];
  rng ^= rng >> 12;
  rng ^= rng << 25;
  rng ^= rng >> 27;
  const uint64_t R = (rng * 0x2545F4914F6CDD1Dull) >> 40;
  const float u = (Sm * std::ldexp(1.0f, -24)) * static_cast<float>(R);
  c = 0;
  for (int32_t j = 0; j < m; ++j) {
    c += p[j];
    if (u <= c) return ids[j];
  }
  return ids[m - 1];
}

// A stream and engine of one vocabulary for sample_token.
struct Fixture {
  ModelConfig config{};
  Engine engine{};
  std::unique_ptr<Stream> stream = std::make_unique<Stream>();
  std::vector<float> logits;

  Fixture(const std::vector<float>& L, const std::vector<int64_t>& tokens, float T, float top_p,
          int32_t top_k, float penalty) {
    config.vocab_size = static_cast<uint32_t>(L.size());
    logits = L;
    engine.config = &config;
    engine.logits = logits.data();
    std::memset(stream.get(), 0, sizeof(Stream));
    stream->engine = &engine;
    for (size_t i = 0; i < tokens.size(); ++i) stream->tokens[i] = tokens[i];
    stream->n_tokens = static_cast<int32_t>(tokens.size());
    stream->temperature = T;
    stream->top_p = top_p;
    stream->top_k = top_k;
    stream->repetition_penalty = penalty;
  }
};

TEST(Generator, StatesAndDrawsOfThePublishedXorshift64Star) {
  struct Case {
    uint64_t seed;
    uint64_t state[3];
    uint64_t R[3];
  };
  // Worked out independently of the engine.
  const Case cases[] = {
      {1, {0x2000001ull, 0x4004000802801ull, 0xd004003202803ull}, {4711630, 11259814, 12177677}},
      {88172645463325252ull,
       {0x32bf949cf29152e7ull, 0xf9ca038d661e09b9ull, 0xa3780fe983c997e4ull},
       {15116193, 10961575, 10415499}},
      {1337, {0xa72000477ull, 0x14e54e40000eec24ull, 0x3d2c1dcad58d5564ull},
       {3864082, 3196366, 5215452}},
  };
  EXPECT_EQ(rng_state, RNG_START);  // the value at process start
  for (const Case& c : cases) {
    rng_state = c.seed;
    for (int i = 0; i < 3; ++i) {
      const uint64_t x = rng_step();
      EXPECT_EQ(x, c.state[i]);
      EXPECT_EQ(rng_state, c.state[i]);
      EXPECT_EQ((x * RNG_MULTIPLIER) >> 40, c.R[i]);
    }
  }
}

// Logits of a few kinds: distinct, heavily tied, with NaNs and infinities.
std::vector<float> make_logits(std::mt19937& g, int32_t V, int kind) {
  std::vector<float> L(V);
  std::uniform_real_distribution<float> u(-8.0f, 8.0f);
  std::uniform_int_distribution<int> small(0, 5);
  for (int32_t i = 0; i < V; ++i) {
    switch (kind) {
      case 0: L[i] = u(g); break;
      case 1: L[i] = static_cast<float>(small(g)) - 2.0f; break;  // few distinct values
      case 2: L[i] = (g() % 7 == 0) ? kNaN : u(g); break;
      case 3: L[i] = (g() % 3 == 0) ? kNaN : static_cast<float>(small(g)); break;
      default: {
        const int r = static_cast<int>(g() % 10);
        L[i] = r == 0 ? kNaN : r == 1 ? INFINITY : r == 2 ? -INFINITY : r == 3 ? -0.0f
                                                                       : r == 4 ? 0.0f
                                                                                : u(g);
      }
    }
  }
  return L;
}

TEST(TopK, OnePassMatchesKPasses) {
  std::mt19937 g(7);
  int checked = 0;
  for (int trial = 0; trial < 600; ++trial) {
    const int32_t V = 1 + static_cast<int32_t>(g() % 300);
    const int32_t k = 1 + static_cast<int32_t>(g() % V);
    std::vector<float> L = make_logits(g, V, trial % 5);
    if (trial % 11 == 0) L[0] = kNaN;  // a NaN at the first index of every early pass
    if (trial % 13 == 0)
      for (int32_t i = 0; i < V && i < 5; ++i) L[i] = kNaN;
    std::vector<int32_t> want_ids(k), got_ids(k);
    std::vector<float> want_vals(k), got_vals(k);
    topk_k_pass(L.data(), V, k, want_ids.data(), want_vals.data());
    topk_select(L.data(), V, k, got_ids.data(), got_vals.data());
    for (int32_t j = 0; j < k; ++j) {
      ASSERT_EQ(got_ids[j], want_ids[j]) << "trial " << trial << " V " << V << " k " << k << " j " << j;
      ASSERT_EQ(bits(got_vals[j]), bits(want_vals[j])) << "trial " << trial;
    }
    ++checked;
  }
  EXPECT_EQ(checked, 600);
}

TEST(TopK, NaNAtTheLowestFreeIndexIsTakenAtOnce) {
  // Pass 0 starts at index 0 (a NaN) and keeps it; pass 1 starts at 1 and takes
  // the largest number; pass 2 starts at 1 again; index 3's NaN comes only
  // once 0..2 are gone.
  const std::vector<float> L = {kNaN, 1.0f, 5.0f, kNaN, 3.0f, 3.0f};
  int32_t ids[6];
  float vals[6];
  topk_select(L.data(), 6, 6, ids, vals);
  const int32_t want[6] = {0, 2, 4, 5, 1, 3};
  for (int j = 0; j < 6; ++j) EXPECT_EQ(ids[j], want[j]) << j;
  EXPECT_TRUE(std::isnan(vals[0]));
  EXPECT_EQ(vals[1], 5.0f);
}

struct DrawCase {
  const char* what;
  float T, top_p;
  int32_t top_k;
  float penalty;
};

TEST(SampleToken, MatchesTheReferenceBitForBit) {
  const DrawCase cases[] = {
      {"driver settings", 0.5f, 0.9f, 40, 1.1f},
      {"top_k 1 still draws", 0.7f, 0.9f, 1, 1.0f},
      {"top_k 0 falls back to 64", 1.0f, 0.95f, 0, 1.0f},
      {"top_k negative falls back", 1.0f, 0.95f, -3, 1.3f},
      {"top_k V falls back", 1.3f, 1.0f, 300, 1.0f},
      {"top_p 0 keeps one", 0.8f, 0.0f, 40, 1.2f},
      {"top_p 2 keeps all", 0.8f, 2.0f, 40, 1.2f},
      {"top_p NaN keeps all", 0.8f, kNaN, 20, 1.0f},
      {"penalty NaN ignored", 0.9f, 0.9f, 40, kNaN},
      {"greedy", 0.0f, 0.9f, 40, 1.3f},
      {"negative temperature is greedy", -1.0f, 0.9f, 40, 1.0f},
      {"NaN temperature is greedy", kNaN, 0.9f, 40, 1.1f},
  };
  std::mt19937 g(11);
  for (const DrawCase& c : cases) {
    for (int trial = 0; trial < 40; ++trial) {
      const int32_t V = 300 + (trial % 4);  // V mod 4 = 0..3: the divided tail
      std::vector<float> L = make_logits(g, V, trial % 2);
      std::vector<int64_t> tokens(1 + g() % 260);
      for (int64_t& t : tokens) t = static_cast<int64_t>(g() % (V + 40)) - 20;  // some outside
      const uint64_t seed = 2 + g();
      Fixture f(L, tokens, c.T, c.top_p, c.top_k, c.penalty);
      rng_state = seed;
      const int64_t got = sample_token(f.stream.get());
      uint64_t ref_rng = seed;
      std::vector<float> ref_L = L;
      const int64_t want = sample_reference(tokens, ref_L, c.T, c.top_p, c.top_k, c.penalty, ref_rng);
      ASSERT_EQ(got, want) << c.what << " trial " << trial;
      ASSERT_EQ(rng_state, ref_rng) << c.what;
      for (int32_t i = 0; i < V; ++i) ASSERT_EQ(bits(f.logits[i]), bits(ref_L[i])) << c.what << " " << i;
    }
  }
}

TEST(SampleToken, PenaltyWindowAndRepeats) {
  // 250 ids: only positions 50..249 count; id 3 appears twice there, id 4 twice,
  // id 5 only before the window, id -1 and id 64 are outside the vocabulary.
  std::vector<int64_t> tokens(250, 9);
  tokens[10] = 5;
  tokens[60] = 3;
  tokens[61] = 3;
  tokens[100] = 4;
  tokens[200] = 4;
  tokens[201] = -1;
  tokens[202] = 64;
  tokens[203] = 6;
  std::vector<float> L(64, 0.5f);
  L[3] = 2.0f;
  L[4] = -2.0f;
  L[5] = 2.0f;
  L[6] = 0.0f;
  Fixture f(L, tokens, 0.0f, 0.9f, 40, 1.3f);
  rng_state = 99;
  EXPECT_EQ(sample_token(f.stream.get()), 5);  // greedy: id 5 is outside the window, unpenalised
  EXPECT_EQ(rng_state, 99u);                    // greedy leaves the generator alone
  EXPECT_EQ(f.logits[3], (2.0f / 1.3f) / 1.3f);
  EXPECT_EQ(f.logits[4], (-2.0f * 1.3f) * 1.3f);
  EXPECT_EQ(f.logits[5], 2.0f);
  EXPECT_EQ(bits(f.logits[6]), bits(0.0f));
  // id 9 fills the other 193 positions of the window: divided 193 times in turn
  float nine = 0.5f;
  for (int i = 0; i < 193; ++i) nine /= 1.3f;
  EXPECT_EQ(f.logits[9], nine);
}

TEST(SampleToken, TiesGoToTheLowestIdAndTopPCuts) {
  std::vector<float> L(100, -50.0f);
  L[7] = 3.0f;
  L[2] = 3.0f;
  Fixture greedy(L, {1}, 0.0f, 0.9f, 40, 1.0f);
  EXPECT_EQ(sample_token(greedy.stream.get()), 2);
  // top_p 0.5 keeps only the first candidate of two equal halves: id 2, every draw
  for (uint64_t seed = 2; seed < 50; ++seed) {
    Fixture f(L, {1}, 1.0f, 0.5f, 40, 1.0f);
    rng_state = seed;
    EXPECT_EQ(sample_token(f.stream.get()), 2);
  }
  // top_p 0.9 keeps both; the draw picks either
  bool saw2 = false, saw7 = false;
  for (uint64_t seed = 2; seed < 200; ++seed) {
    Fixture f(L, {1}, 1.0f, 0.9f, 40, 1.0f);
    rng_state = seed;
    const int64_t id = sample_token(f.stream.get());
    saw2 |= id == 2;
    saw7 |= id == 7;
    ASSERT_TRUE(id == 2 || id == 7);
  }
  EXPECT_TRUE(saw2 && saw7);
}

TEST(SampleToken, NaNMassFallsBackToTheLastKeptCandidate) {
  // A NaN at id 0 leads every pass: all probabilities are NaN, no running sum
  // reaches u, and the draw takes the last of the k candidates.
  std::vector<float> L(100);
  for (int i = 0; i < 100; ++i) L[i] = static_cast<float>(i);
  L[0] = kNaN;
  Fixture f(L, {1}, 1.0f, 0.9f, 5, 1.0f);
  rng_state = 1234;
  EXPECT_EQ(sample_token(f.stream.get()), 96);  // candidates 0, 99, 98, 97, 96
  EXPECT_NE(rng_state, 1234u);
}

TEST(SampleToken, ZeroDrawTakesTheFirstCandidate) {
  // This state steps to the inverse of the multiplier, whose product is 1:
  // R = 0, so u = 0 and the first candidate wins although two are kept.
  std::vector<float> L(100, -30.0f);
  L[42] = 1.0f;
  L[17] = 1.0f;
  Fixture f(L, {1}, 1.0f, 2.0f, 40, 1.0f);
  rng_state = 0x98d76a164d99a710ull;
  EXPECT_EQ(sample_token(f.stream.get()), 17);
  EXPECT_EQ(rng_state, 0x59071d96d81ecd35ull);
  EXPECT_EQ(rng_state * RNG_MULTIPLIER, 1u);
}

}  // namespace
