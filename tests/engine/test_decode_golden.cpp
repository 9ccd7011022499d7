// The decode step's exact bits, pinned: a digest of the logits and greedy ids
// of several one-token steps on fixture models, recorded once and asserted
// for pool sizes 1, 2, 3 and 8. Any change to how the step's products are
// grouped into pool jobs, sliced or computed must leave these digests alone.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "engine_fixtures.h"
#include "forward/decode_step.h"

namespace {

struct GoldenCase {
  const char* name;
  olvt::ModelSpec spec;
  uint64_t digest;  // recorded from the engine before the decode step was reorganised
};

olvt::ModelSpec spec_of(olvt::Config c, olvt::DType matrices, olvt::DType embedding, uint64_t seed) {
  olvt::ModelSpec s;
  s.cfg = c;
  s.matrices = matrices;
  s.embedding = embedding;
  s.seed = seed;
  return s;
}

// Shapes large enough that eight participants each claim several chunks of
// every product, with row counts that leave ragged last chunks.
std::vector<GoldenCase> cases() {
  using olvt::DType;
  olvt::Config q;
  q.vocab_size = 1500;
  q.hidden_size = 256;
  q.n_layers = 4;
  q.attn_layer_mask = 0x4;
  q.n_heads = 4;
  q.n_kv_heads = 2;
  q.head_dim = 32;
  q.ffn_size = 640;
  q.lin_k_heads = 4;
  q.lin_v_heads = 4;
  q.lin_k_dim = 32;
  q.lin_v_dim = 48;
  std::vector<GoldenCase> v;
  v.push_back({"q8_matrices_f16_head", spec_of(q, DType::Q8, DType::F16, 41), 0x4146b14edbbc14ecull});

  olvt::Config f = q;
  f.hidden_size = 72;  // K of 72: the f32 kernel's 16-input steps, one 4-input step, no tail
  f.ffn_size = 1032;   // 1024 is a whole number of activation slices, 1032 is not
  f.attn_layer_mask = 0x9;
  v.push_back({"f32_matrices_f32_head", spec_of(f, DType::F32, DType::F32, 42), 0x2d9fdeaa28327c11ull});

  olvt::Config h = q;
  h.hidden_size = 224;  // f16 rows of 28 groups of eight; seven q8 blocks in the head
  h.ffn_size = 1024;
  h.vocab_size = 777;
  v.push_back({"f16_matrices_q8_head", spec_of(h, DType::F16, DType::Q8, 43), 0x51ed1973d443b230ull});
  return v;
}

uint64_t fnv1a(uint64_t h, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ull;
  return h;
}

constexpr int kPrompt = 6, kGenerated = 10;

// In a fresh process with the given pool size: feeds a prompt one token at a
// time through decode_step, then continues greedily; writes the digest of
// every step's logits and of the ids drawn.
void run_in_child(const GoldenCase& gc, int32_t threads, const std::string& out) {
  Engine* e = olvu_open(fx::write_model(olvt::make_model(gc.spec), gc.name).c_str(), threads);
  const uint32_t V = gc.spec.cfg.vocab_size;
  uint64_t h = 0xcbf29ce484222325ull;
  bool finite = true;  // a digest of NaNs would pin nothing
  for (TokenId id : fx::random_ids(gc.spec.seed, kPrompt, V)) {
    decode_step(e->state, id, e->logits);
    h = fnv1a(h, e->logits, V * sizeof(float));
  }
  for (int i = 0; i < kGenerated; ++i) {
    const TokenId id = static_cast<TokenId>(fx::argmax(fx::logits_of(e)));
    h = fnv1a(h, &id, sizeof id);
    decode_step(e->state, id, e->logits);
    h = fnv1a(h, e->logits, V * sizeof(float));
    for (uint32_t v = 0; v < V; ++v) finite = finite && std::isfinite(e->logits[v]);
  }
  if (!finite) std::exit(2);
  std::FILE* f = std::fopen(out.c_str(), "w");
  const bool ok = f && std::fprintf(f, "%016" PRIx64, h) == 16;
  std::exit(f && std::fclose(f) == 0 && ok ? 0 : 1);
}

std::string read_all(const std::string& p) {
  std::ifstream f(p);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class DecodeGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(DecodeGolden, DigestForEveryPoolSize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const GoldenCase& gc = GetParam();
  char want[17];
  std::snprintf(want, sizeof want, "%016" PRIx64, gc.digest);
  for (int32_t threads : {1, 2, 3, 8}) {
    const std::string out = fx::temp_dir() + "/golden_" + gc.name + "_" + std::to_string(threads);
    EXPECT_EXIT(run_in_child(gc, threads, out), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_all(out), want) << threads << " participants";
  }
}

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Models, DecodeGolden, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
