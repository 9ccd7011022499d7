// Both forward passes against the plain reference on small random models of
// many shapes, and the two passes against each other: one batch against one
// token at a time, a prefix hit against a full prefill, a reset against a
// fresh engine, and results that do not depend on the pool's size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "forward/decode_step.h"
#include "engine_fixtures.h"
#include "reference_model.h"

namespace {

// Engine (f32 with its own summation orders) against the reference (f64).
constexpr double kTol = 5e-5;
// Batch form against one-token form: both f32, different kernels.
constexpr double kFormTol = 5e-5;
constexpr int32_t kThreads = 4;

struct Case {
  const char* name;
  olvt::ModelSpec spec;
};

olvt::ModelSpec spec_of(olvt::Config c, olvt::DType matrices, olvt::DType embedding,
                        olvt::DType vectors = olvt::DType::F32, bool lm_names = false) {
  olvt::ModelSpec s;
  s.cfg = c;
  s.matrices = matrices;
  s.embedding = embedding;
  s.vectors = vectors;
  s.language_model_names = lm_names;
  s.seed = 1 + c.n_layers * 7 + c.attn_layer_mask + c.hidden_size;
  return s;
}

std::vector<Case> cases() {
  using olvt::DType;
  std::vector<Case> v;
  olvt::Config mixed;
  mixed.vocab_size = 128;
  mixed.hidden_size = 64;
  mixed.n_layers = 4;
  mixed.attn_layer_mask = 0x6;  // layers 1 and 2 full attention
  mixed.n_heads = 4;
  mixed.n_kv_heads = 2;
  mixed.head_dim = 16;
  mixed.ffn_size = 96;
  v.push_back({"mixed_q8_grouped_heads", spec_of(mixed, DType::Q8, DType::F16)});

  olvt::Config lin = mixed;
  lin.n_layers = 3;
  lin.attn_layer_mask = 0;
  lin.conv_kernel = 2;
  lin.lin_k_dim = 16;
  lin.lin_v_dim = 32;
  v.push_back({"all_linear_f16_conv2_kdim_ne_vdim", spec_of(lin, DType::F16, DType::F32, DType::F16)});

  olvt::Config full = mixed;
  full.n_layers = 3;
  full.attn_layer_mask = 0xFFFFFFFFu;
  full.head_dim = 10;
  full.n_kv_heads = 1;
  full.rotary_fraction = 0.5f;  // rot_dim 5: pairs (0,2), (1,3), element 4 kept
  v.push_back({"all_full_f32_odd_rotary", spec_of(full, DType::F32, DType::F32)});

  olvt::Config norot = mixed;
  norot.rotary_fraction = 0.0f;
  norot.attn_layer_mask = 0x1;
  v.push_back({"rotary_fraction_0", spec_of(norot, DType::Q8, DType::Q8)});

  olvt::Config half = mixed;
  half.rotary_fraction = 0.5f;
  half.n_heads = 2;
  half.n_kv_heads = 2;
  half.head_dim = 32;
  v.push_back({"rotary_half_q8_embedding", spec_of(half, DType::Q8, DType::Q8)});

  olvt::Config deep;
  deep.vocab_size = 64;
  deep.hidden_size = 32;
  deep.ffn_size = 32;
  deep.n_layers = 34;
  deep.attn_layer_mask = 0x2;  // layers 1 and 33 full attention
  v.push_back({"deep_34_layers", spec_of(deep, DType::F16, DType::F16)});

  olvt::Config none = mixed;
  none.n_layers = 0;
  v.push_back({"zero_layers", spec_of(none, DType::Q8, DType::Q8)});

  v.push_back({"language_model_names", spec_of(mixed, DType::Q8, DType::F16, DType::F16, true)});

  olvt::Config wide = mixed;
  wide.n_layers = 2;
  wide.attn_layer_mask = 0x2;
  wide.lin_k_heads = 16;
  wide.lin_v_heads = 16;
  wide.lin_k_dim = 8;
  wide.lin_v_dim = 16;
  v.push_back({"linear_16_heads", spec_of(wide, DType::F32, DType::F32)});

  // Three linear heads (not a multiple of any pool's participants) and 168
  // convolution channels, so the batch convolution's run of channels is a
  // partial one; then a convolution of 9 taps, whose ring holds eight rows.
  olvt::Config odd = lin;
  odd.conv_kernel = 4;
  odd.lin_k_heads = 3;
  odd.lin_v_heads = 3;
  odd.lin_v_dim = 24;
  v.push_back({"linear_3_heads_168_channels", spec_of(odd, DType::F16, DType::F16)});
  olvt::Config wide_conv = odd;
  wide_conv.conv_kernel = 9;
  v.push_back({"linear_conv_kernel_9", spec_of(wide_conv, DType::F32, DType::F32)});

  // Value heads of 128: the batch recurrence runs each head in two blocks of
  // 64 columns; four of them make 640 convolution channels, more than one run
  // of the batch convolution.
  olvt::Config blocks = lin;
  blocks.n_layers = 2;
  blocks.lin_k_heads = 4;
  blocks.lin_v_heads = 4;
  blocks.lin_v_dim = 128;
  v.push_back({"linear_value_heads_128", spec_of(blocks, DType::F32, DType::F32)});

  olvt::Config big = mixed;
  big.vocab_size = 8192;  // 8192 x 64 halves: exactly 1 MiB, kept as f16
  big.ffn_size = 8192;    // gate, up and down of 1 MiB each
  big.n_layers = 2;
  big.attn_layer_mask = 0x1;
  v.push_back({"f16_of_1MiB", spec_of(big, DType::F16, DType::F16)});
  return v;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class EngineVsReference : public ::testing::TestWithParam<Case> {};

TEST_P(EngineVsReference, LogitsAndGreedyIds) {
  const Case& c = GetParam();
  const olvt::Writer w = olvt::make_model(c.spec);
  const ref::Model model(w);
  Engine* e = olvu_open(fx::write_model(w, c.name).c_str(), kThreads);

  // 7 tokens take the pool kernels, 21 the panel product.
  for (int n : {7, 21}) {
    ref::Runner r(model);
    const auto ids = fx::random_ids(n * 31 + 5, n, c.spec.cfg.vocab_size);
    StreamHandle s = fx::start_greedy(e, ids);
    ASSERT_NE(s, nullptr);
    ref::Vec want;
    for (TokenId id : ids) want = r.feed(id);
    EXPECT_LT(fx::rel_diff(fx::logits_of(e), want), kTol) << c.name << " prefill of " << n;
    for (int step = 0; step < 6; ++step) {
      const TokenId id = olvu_next(s);
      ASSERT_GE(id, 0);
      // The pick is the reference's best unless the two are within tolerance.
      const size_t best = fx::argmax(want);
      EXPECT_LE(want[best] - want[id], kTol * std::max(1.0, std::fabs(want[best])))
          << c.name << " step " << step;
      want = r.feed(id);
      EXPECT_LT(fx::rel_diff(fx::logits_of(e), want), kTol) << c.name << " step " << step;
    }
    EXPECT_EQ(e->state->n_cached, n + 6);
  }
}

INSTANTIATE_TEST_SUITE_P(Models, EngineVsReference, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The mixed model every comparison of the two passes runs on.
const olvt::Writer& mixed_model() {
  static const olvt::Writer w = olvt::make_model(cases()[0].spec);
  return w;
}

Engine* open_mixed() { return olvu_open(fx::write_model(mixed_model(), "mixed").c_str(), kThreads); }

// Greedy continuation by decode_step alone, from the engine's current logits.
std::vector<TokenId> continue_greedy(Engine* e, int n, std::vector<std::vector<float>>* logits) {
  std::vector<TokenId> out;
  for (int i = 0; i < n; ++i) {
    const TokenId id = static_cast<TokenId>(fx::argmax(fx::logits_of(e)));
    out.push_back(id);
    decode_step(e->state, id, e->logits);
    logits->push_back(fx::logits_of(e));
  }
  return out;
}

TEST(PassesAgree, OneBatchAndOneTokenAtATime) {
  const auto ids = fx::random_ids(77, 24, 128);
  Engine* batch = open_mixed();
  Engine* single = open_mixed();
  fx::start_greedy(batch, ids);
  fx::start_greedy(single, {ids[0]});
  for (size_t i = 1; i < ids.size(); ++i) decode_step(single->state, ids[i], single->logits);
  EXPECT_LT(fx::rel_diff(fx::logits_of(single), fx::logits_of(batch)), kFormTol);
  EXPECT_EQ(single->state->n_cached, 24);

  std::vector<std::vector<float>> lb, ls;
  const auto gb = continue_greedy(batch, 8, &lb);
  const auto gs = continue_greedy(single, 8, &ls);
  EXPECT_EQ(gb, gs);
  for (size_t i = 0; i < lb.size(); ++i) EXPECT_LT(fx::rel_diff(ls[i], lb[i]), kFormTol) << i;
}

TEST(PassesAgree, GrowingPromptsOfOneNewTokenEach) {
  // Each longer prompt is a prefix hit that prefills one token at position n_cached.
  const auto ids = fx::random_ids(78, 20, 128);
  Engine* whole = open_mixed();
  Engine* grown = open_mixed();
  fx::start_greedy(whole, ids);
  for (size_t n = 1; n <= ids.size(); ++n)
    fx::start_greedy(grown, std::vector<TokenId>(ids.begin(), ids.begin() + n));
  EXPECT_LT(fx::rel_diff(fx::logits_of(grown), fx::logits_of(whole)), kFormTol);
}

TEST(PassesAgree, HitContinuationEqualsFullPrefill) {
  const auto prompt = fx::random_ids(79, 12, 128);
  Engine* hit = open_mixed();
  StreamHandle s = fx::start_greedy(hit, prompt);
  std::vector<TokenId> seq = prompt;
  for (int i = 0; i < 5; ++i) seq.push_back(olvu_next(s));
  const auto extra = fx::random_ids(80, 18, 128);
  seq.insert(seq.end(), extra.begin(), extra.end());
  ::testing::internal::CaptureStderr();
  fx::start_greedy(hit, seq);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[engine] prefix cache HIT: reusing 17, prefilling 18\n");

  Engine* full = open_mixed();
  fx::start_greedy(full, seq);
  EXPECT_LT(fx::rel_diff(fx::logits_of(hit), fx::logits_of(full)), kFormTol);
  std::vector<std::vector<float>> lh, lf;
  EXPECT_EQ(continue_greedy(hit, 6, &lh), continue_greedy(full, 6, &lf));
}

TEST(PassesAgree, ResetThenPrefillEqualsAFreshEngine) {
  const auto first = fx::random_ids(81, 19, 128), second = fx::random_ids(82, 23, 128);
  Engine* used = open_mixed();
  StreamHandle s = fx::start_greedy(used, first);
  for (int i = 0; i < 4; ++i) olvu_next(s);
  olvu_reset(used);
  fx::start_greedy(used, second);
  Engine* fresh = open_mixed();
  fx::start_greedy(fresh, second);
  const auto a = fx::logits_of(used), b = fx::logits_of(fresh);
  EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
  std::vector<std::vector<float>> la, lb;
  continue_greedy(used, 4, &la);
  continue_greedy(fresh, 4, &lb);
  for (size_t i = 0; i < la.size(); ++i)
    EXPECT_EQ(std::memcmp(la[i].data(), lb[i].data(), la[i].size() * sizeof(float)), 0) << i;
}

// Prefill and decode logits of the mixed model in a fresh process with the
// given pool size, on the panel product or on the pool kernels only, written
// to a file.
void run_in_child(int32_t threads, bool accel, const std::string& out) {
  if (accel)
    unsetenv("OLVU_NO_ACCEL");
  else
    setenv("OLVU_NO_ACCEL", "1", 1);
  Engine* e = olvu_open(fx::write_model(mixed_model(), "mixed_child").c_str(), threads);
  const auto ids = fx::random_ids(83, 40, 128);
  StreamHandle s = fx::start_greedy(e, ids);
  std::vector<float> all = fx::logits_of(e);
  for (int i = 0; i < 5; ++i) {
    olvu_next(s);
    const auto l = fx::logits_of(e);
    all.insert(all.end(), l.begin(), l.end());
  }
  std::ofstream f(out, std::ios::binary);
  f.write(reinterpret_cast<const char*>(all.data()), all.size() * sizeof(float));
  std::exit(f ? 0 : 1);
}

// Every parallel section of the prefill (shared-input products, attention
// taken last token first, convolution, recurrence, norms) and of decode gives the
// same bits whatever the pool size, and the panel product the pool kernels'
// bits, so all runs agree.
TEST(PassesAgree, ResultsDoNotDependOnThePoolSizeOrThePath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<std::string> outs;
  for (bool accel : {false, true})
    for (int32_t threads : {1, 2, 3, 8}) {
      const std::string out =
          fx::temp_dir() + "/pool_" + std::to_string(threads) + (accel ? "_panel" : "") + ".bin";
      EXPECT_EXIT(run_in_child(threads, accel, out), ::testing::ExitedWithCode(0), "");
      outs.push_back(out);
    }
  auto read = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  const std::string one = read(outs[0]);
  ASSERT_EQ(one.size(), 6u * 128 * sizeof(float));
  for (size_t i = 1; i < outs.size(); ++i) EXPECT_EQ(read(outs[i]), one) << outs[i];
}

}  // namespace
