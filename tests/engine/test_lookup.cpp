// Tensor lookup: exact first match, the "model.language_model." retry, the
// missing-tensor report byte for byte, and the checked matrix and vector views.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "model/model.h"
#include "olvt_writer.h"
#include "model/tensor_lookup.h"

namespace {

using testutil::run_child;

// Loads a table of named tensors, each with `size` bytes of data.
ModelConfig* load_table(const std::vector<std::pair<std::string, std::pair<uint8_t, size_t>>>& tensors,
                        LoadMode mode = LoadMode::Auto) {
  olvt::Writer w;
  for (const auto& [name, kind] : tensors)
    w.add_raw(name, kind.first, {1}, std::vector<uint8_t>(kind.second, 0x3C));
  static int n = 0;
  const std::string path = testutil::scratch_path(std::string("lookup").append(std::to_string(n++)).append(".olvt"));
  w.write(path);
  testutil::StderrCapture quiet;
  return load_model(path.c_str(), mode);
}

ModelConfig* load_names(const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, std::pair<uint8_t, size_t>>> t;
  for (const auto& n : names) t.push_back({n, {DTYPE_F32, 4}});
  return load_table(t);
}

TEST(Get, FirstExactMatchThenLanguageModelVariant) {
  const std::string long_name = std::string(155, 'x') + "7yyy";  // 159 bytes
  ModelConfig* c = load_names({
      "model.layers.0.mlp.up_proj.weight.extra",          // 0: longer, never equal
      "model.language_model.layers.0.mlp.up_proj.weight",  // 1
      "model.language_model.layers.1.mlp.up_proj.weight",  // 2: variant before the direct name
      "model.layers.1.mlp.up_proj.weight",                 // 3
      "model.layers.1.mlp.up_proj.weight",                 // 4: duplicate, never seen
      "model.language_model.norm.weight",                  // 5
      "model.embed_tokens.weight",                         // 6
      "model.language_model.embed_tokens.weight",          // 7
      long_name,                                           // 8
  });
  const struct {
    const char* pattern;
    int32_t layer;
    int index;
  } cases[] = {
      {"model.layers.%d.mlp.up_proj.weight", 0, 1},
      {"model.layers.%d.mlp.up_proj.weight", 1, 3},
      {"model.norm.weight", 0, 5},
      {"model.embed_tokens.weight", 0, 6},
      {"model.language_model.layers.%d.mlp.up_proj.weight", 1, 2},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.pattern + std::string(" layer ") + std::to_string(k.layer));
    EXPECT_EQ(get(c, k.pattern, k.layer), &c->tensors[k.index]);
  }
  // The formatted name is cut to 159 bytes, so the stored 159-byte prefix matches.
  const std::string pattern = std::string(155, 'x') + "%dyyyyyyyy";
  EXPECT_EQ(get(c, pattern.c_str(), 7), &c->tensors[8]);
}

const char* HEADER_FMT =
    "FATAL: tensor not found: %s (nor language_model variant)\nknown names with same layer:\n";
std::string header(const std::string& name) {
  char buf[512];
  std::snprintf(buf, sizeof buf, HEADER_FMT, name.c_str());
  return buf;
}

TEST(Get, MissingTensorReportListsTheNamesOfItsLayer) {
  ModelConfig* c = load_names({
      "model.embed_tokens.weight",
      "model.layers.0.input_layernorm.weight",
      "model.layers.2.input_layernorm.weight",
      "model.language_model.layers.2.mlp.up_proj.weight",
      "model.layers.12.mlp.down_proj.weight",
      "model.layers.20.mlp.down_proj.weight",
      "model.layers.2.mlp.gate_proj.weight",
      "blocks.layers.2.extra",
      "model.layers.1.mlp.up_proj.weight",
      "model.layers.10.mlp.up_proj.weight",
      "model.layers.0.self_attn.q_proj.weight",
      "model.language_model.lm_head.weight",  // what prefixing any name would find
      "model.language_model.d.weight",        // what cutting six bytes off any name would find
  });
  const struct {
    const char* pattern;
    int32_t layer;
    std::string report;
  } cases[] = {
      {"model.layers.%d.mlp.down_proj.weight", 2,
       header("model.layers.2.mlp.down_proj.weight") +
           "  model.layers.2.input_layernorm.weight\n"
           "  model.language_model.layers.2.mlp.up_proj.weight\n"
           "  model.layers.2.mlp.gate_proj.weight\n"
           "  blocks.layers.2.extra\n"},
      // a global name carries layer 0 into the report
      {"model.norm.weight", 0,
       header("model.norm.weight") +
           "  model.layers.0.input_layernorm.weight\n"
           "  model.layers.0.self_attn.q_proj.weight\n"},
      {"model.layers.%d.mlp.gate_proj.weight", 1,
       header("model.layers.1.mlp.gate_proj.weight") + "  model.layers.1.mlp.up_proj.weight\n"},
      // only names under "model." are retried under "model.language_model."
      {"lm_head.weight", 5, header("lm_head.weight")},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.pattern);
    auto r = run_child([&] { get(c, k.pattern, k.layer); });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, k.report);
  }
}

TEST(Get, EmptyTableReportsJustTheHeader) {
  ModelConfig* c = load_names({});
  auto r = run_child([&] { get(c, "model.embed_tokens.weight", 0); });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, header("model.embed_tokens.weight"));
}

// The checked views, in both binding modes: every storage kind at the exact
// size it can serve and one element more, and the mended failures.
TEST(CheckedViews, DataMustCoverTheUseAndHaveTheRightKind) {
  for (LoadMode mode : {LoadMode::Auto, LoadMode::ForceRead}) {
    SCOPED_TRACE(mode == LoadMode::Auto ? "mapped" : "read");
    ModelConfig* c = load_table(
        {
            {"model.layers.0.q8", {DTYPE_Q8, 2 * 2 * 36}},         // 2 rows of 64
            {"model.layers.0.q8plus", {DTYPE_Q8, 2 * 2 * 36 + 1}},
            {"model.layers.0.kept", {DTYPE_F16, 1048576}},        // 524288 halves
            {"model.layers.0.kept_odd", {DTYPE_F16, 1048577}},
            {"model.layers.0.small", {DTYPE_F16, 1001}},          // widened: 500 floats
            {"model.layers.0.f", {DTYPE_F32, 402}},               // 100 floats
            {"model.language_model.layers.0.lm", {DTYPE_F32, 40}},  // 10 floats
        },
        mode);
    const std::string too_small = "FATAL: tensor too small: ";
    const std::string not_f32 = "FATAL: tensor not f32: ";
    const std::string q8_k = "FATAL: q8 tensor inputs not a multiple of 32: ";
    const struct {
      const char* name;
      bool matrix;
      int64_t rows, K;  // vector: rows is n
      std::string err;  // empty: served
    } cases[] = {
        {"q8", true, 2, 64, ""},
        {"q8", true, 3, 64, too_small + "model.layers.0.q8\n"},
        {"q8", true, 2, 96, too_small + "model.layers.0.q8\n"},
        {"q8", true, 1, 48, q8_k + "model.layers.0.q8\n"},  // would fit, but half a block
        {"q8", true, 4, 48, q8_k + "model.layers.0.q8\n"},  // divisibility is checked first
        {"q8", true, int64_t{1} << 62, 64, too_small + "model.layers.0.q8\n"},  // product wraps
        {"q8plus", true, 2, 64, ""},
        {"kept", true, 512, 1024, ""},
        {"kept", true, 513, 1024, too_small + "model.layers.0.kept\n"},
        {"kept", true, 1, 524289, too_small + "model.layers.0.kept\n"},
        {"kept_odd", true, 512, 1024, ""},
        {"kept_odd", true, 1, 524289, too_small + "model.layers.0.kept_odd\n"},
        {"small", true, 10, 50, ""},
        {"small", true, 10, 51, too_small + "model.layers.0.small\n"},
        {"f", true, 10, 10, ""},
        {"f", true, 101, 1, too_small + "model.layers.0.f\n"},
        {"f", true, INT64_MAX, 2, too_small + "model.layers.0.f\n"},
        {"lm", true, 11, 1, too_small + "model.language_model.layers.0.lm\n"},
        {"f", false, 100, 0, ""},
        {"f", false, 101, 0, too_small + "model.layers.0.f\n"},
        {"small", false, 500, 0, ""},
        {"small", false, 501, 0, too_small + "model.layers.0.small\n"},
        {"lm", false, 10, 0, ""},
        {"lm", false, 11, 0, too_small + "model.language_model.layers.0.lm\n"},
        {"q8", false, 1, 0, not_f32 + "model.layers.0.q8\n"},
        {"kept", false, 1, 0, not_f32 + "model.layers.0.kept\n"},
    };
    for (const auto& k : cases) {
      const std::string pattern = std::string("model.layers.%d.") + k.name;
      SCOPED_TRACE(pattern + (k.matrix ? " matrix " : " vector ") + std::to_string(k.rows) +
                   " x " + std::to_string(k.K));
      auto use = [&] {
        if (k.matrix)
          get_matrix(c, pattern.c_str(), 0, k.rows, k.K);
        else
          get_vector(c, pattern.c_str(), 0, k.rows);
      };
      if (k.err.empty()) {
        const TensorEntry* t = get(c, pattern.c_str(), 0);
        if (k.matrix)
          EXPECT_EQ(get_matrix(c, pattern.c_str(), 0, k.rows, k.K), t);
        else
          EXPECT_EQ(get_vector(c, pattern.c_str(), 0, k.rows), t->data_f32);
      } else {
        auto r = run_child(use);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, k.err);
      }
    }
  }
}

TEST(CheckedViews, SmallF16VectorIsServedWidened) {
  olvt::Writer w;
  w.add_f16("model.norm.weight", {3}, {0.5f, -2.0f, 65504.0f});
  const std::string path = testutil::scratch_path("norm.olvt");
  w.write(path);
  testutil::StderrCapture quiet;
  ModelConfig* c = load_model(path.c_str(), LoadMode::Auto);
  quiet.finish();
  const float* v = get_vector(c, "model.norm.weight", 0, 3);
  EXPECT_EQ(v[0], 0.5f);
  EXPECT_EQ(v[1], -2.0f);
  EXPECT_EQ(v[2], 65504.0f);
}

}  // namespace
