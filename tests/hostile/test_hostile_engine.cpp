// The engine one level below the command line, on weights files that are
// legal but awkward or that change under it: tensor data at any byte offset,
// a file cut short after it was mapped, and the reproducers of what fuzzing
// the loader and the first passes found.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "engine_fixtures.h"
#include "model/model.h"
#include "olvu.h"

namespace {

// A model whose every tensor's data starts `shift` bytes past a multiple of
// four: a leading tensor that nothing looks up pads the data (every other
// tensor here is a whole number of floats or q8 blocks, so the shift holds).
olvt::Writer shifted_model(const olvt::ModelSpec& spec, unsigned shift) {
  olvt::Writer w = olvt::make_model(spec);
  auto& ts = w.tensors();
  ts.insert(ts.begin(), olvt::Tensor{"pad", DTYPE_Q8, {}, {}, {}, {}});
  const uint64_t start = w.table_end();
  ts.front().data.resize((shift + 4 - start % 4) % 4);
  return w;
}

olvt::ModelSpec hybrid_spec() {
  olvt::ModelSpec spec;
  spec.cfg.vocab_size = 96;
  spec.cfg.hidden_size = 32;
  spec.cfg.n_layers = 2;
  spec.cfg.attn_layer_mask = 0b10;
  spec.cfg.ffn_size = 64;
  spec.matrices = olvt::DType::F32;  // f32 matrices and vectors are read in place when aligned
  spec.embedding = olvt::DType::F32;
  spec.seed = 3;
  return spec;
}

// Fuzzing found the first pass reading f32 weights through float pointers at
// odd addresses (undefined behaviour; the sanitizer build reported it). Such
// tensors are now copied to aligned memory at load, and give exactly the
// results of the same model stored aligned.
TEST(HostileEngine, F32TensorsAtAnyByteOffsetGiveTheAlignedModelsResults) {
  setenv("OLVU_NO_ACCEL", "1", 1);  // the pool kernels throughout
  const auto ids = fx::random_ids(4, 20, 96);
  std::vector<float> want;
  for (unsigned shift : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE("data at 4k+" + std::to_string(shift));
    const olvt::Writer w = shifted_model(hybrid_spec(), shift);
    Engine* e = olvu_open(fx::write_model(w, "shift" + std::to_string(shift)).c_str(), 2);
    for (uint32_t i = 1; i < e->config->n_tensors; ++i) {
      const TensorEntry& t = e->config->tensors[i];
      ASSERT_EQ(t.offset % 4, shift) << t.name;
      ASSERT_NE(t.data_f32, nullptr) << t.name;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(t.data_f32) % alignof(float), 0u) << t.name;
    }
    ASSERT_NE(fx::start_greedy(e, ids), nullptr);
    const auto logits = fx::logits_of(e);
    if (shift == 0)
      want = logits;
    else
      EXPECT_EQ(std::memcmp(logits.data(), want.data(), want.size() * sizeof(float)), 0);
  }
}

std::string mapped_model(const std::string& name) {
  olvt::ModelSpec spec = hybrid_spec();
  spec.matrices = olvt::DType::Q8;
  spec.embedding = olvt::DType::Q8;
  return fx::write_model(olvt::make_model(spec), name);
}

// Cut short after it was mapped, the file's lost pages raise a bus error at
// the first read; the engine reports that instead of dying of the signal.
TEST(HostileEngine, WeightsFileCutShortAfterMappingIsAFatalReport) {
  const std::string path = mapped_model("cut_after_map");
  const auto r = testutil::run_child([&] {
    Engine* e = olvu_open(path.c_str(), 2);
    if (truncate(path.c_str(), 84) != 0) std::_Exit(3);
    const std::vector<TokenId> ids = {95, 3, 17};
    fx::start_greedy(e, ids);
    std::_Exit(4);  // not reached: the prefill reads the lost pages
  });
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "[engine] weights mmapped (0 MB, zero-copy)\n"
            "FATAL: weights file truncated or unreadable after mapping\n");
}

// A bus error anywhere else is not taken for a lost weights page.
TEST(HostileEngine, OtherBusErrorsAreLeftToTheirOwnHandling) {
  const std::string path = mapped_model("foreign_fault");
  const auto r = testutil::run_child([&] {
    olvu_open(path.c_str(), 1);
    raise(SIGBUS);
    std::_Exit(4);
  });
  EXPECT_EQ(r.err.find("FATAL: weights file"), std::string::npos) << r.err;
  // The default action, or the sanitizer's report where one is built in.
  EXPECT_TRUE(r.signal == SIGBUS || r.err.find("Sanitizer") != std::string::npos) << r.exit_code << "\n" << r.err;
}

}  // namespace
