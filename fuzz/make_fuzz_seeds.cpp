// Writes the seed corpora of the fuzz targets:
//
//   make_fuzz_seeds OUT_DIR [tokenizer.json ...]
//
// OUT_DIR/olvt: small models of every layer mix and element type, with
// both tensor-name forms, plus a few broken files; OUT_DIR/tokenizer_json:
// each given tokenizer.json cut down to a few hundred ids (every other part of
// the definition kept), also followed by a NUL byte and a text;
// OUT_DIR/tokenizer_text: texts with the selector byte of every definition.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "olvt_model.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

void write_bytes(const fs::path& p, const std::vector<uint8_t>& b) {
  write_file(p, std::string(b.begin(), b.end()));
}

void olvt_seeds(const fs::path& dir) {
  fs::create_directories(dir);
  struct Seed {
    const char* name;
    uint32_t layers, mask;
    olvt::DType matrices, embedding, vectors;
    bool lm_names;
  };
  const Seed seeds[] = {
      {"hybrid_q8", 2, 0b10, olvt::DType::Q8, olvt::DType::F16, olvt::DType::F32, false},
      {"hybrid_f32", 2, 0b01, olvt::DType::F32, olvt::DType::F32, olvt::DType::F16, false},
      {"linear_f16", 1, 0, olvt::DType::F16, olvt::DType::Q8, olvt::DType::F32, true},
      {"full_q8", 1, 1, olvt::DType::Q8, olvt::DType::Q8, olvt::DType::F16, false},
      {"no_layers", 0, 0, olvt::DType::F32, olvt::DType::F16, olvt::DType::F32, true},
  };
  for (const Seed& s : seeds) {
    olvt::ModelSpec spec;
    spec.cfg.vocab_size = 64;
    spec.cfg.hidden_size = 32;
    spec.cfg.n_layers = s.layers;
    spec.cfg.attn_layer_mask = s.mask;
    spec.cfg.ffn_size = 32;
    spec.matrices = s.matrices;
    spec.embedding = s.embedding;
    spec.vectors = s.vectors;
    spec.language_model_names = s.lm_names;
    spec.seed = 11;
    write_bytes(dir / (std::string(s.name) + ".olvt"), olvt::make_model(spec).bytes());
  }

  // Odd shapes the limits allow: one head of 8, a wide rotation, a two-tap
  // convolution, unequal key and value sizes.
  olvt::ModelSpec odd;
  odd.cfg.vocab_size = 65;
  odd.cfg.hidden_size = 8;
  odd.cfg.n_layers = 2;
  odd.cfg.attn_layer_mask = 0b10;
  odd.cfg.n_heads = 2;
  odd.cfg.n_kv_heads = 2;
  odd.cfg.head_dim = 4;
  odd.cfg.ffn_size = 12;
  odd.cfg.lin_k_heads = 1;
  odd.cfg.lin_v_heads = 1;
  odd.cfg.lin_k_dim = 3;
  odd.cfg.lin_v_dim = 5;
  odd.cfg.conv_kernel = 2;
  odd.cfg.rotary_fraction = 1.0f;
  write_bytes(dir / "odd_shapes_f32.olvt", olvt::make_model(odd).bytes());

  // Degenerate sizes the limits let through: no heads, heads or dimensions of
  // size 0 or 1, a one-wide stream, a wide convolution over no channels.
  struct Edge {
    const char* name;
    void (*change)(olvt::Config&);
  };
  const Edge edges[] = {
      {"no_query_heads", [](olvt::Config& c) { c.n_heads = 0; }},
      {"empty_heads", [](olvt::Config& c) { c.head_dim = 0; }},
      {"no_linear_heads", [](olvt::Config& c) { c.lin_k_heads = c.lin_v_heads = 0; c.conv_kernel = 1u << 20; }},
      {"empty_linear_keys", [](olvt::Config& c) { c.lin_k_dim = 0; c.lin_v_dim = 1; }},
      {"one_wide", [](olvt::Config& c) { c.hidden_size = 1; c.ffn_size = 1; c.head_dim = 1; c.n_heads = 1; }},
      {"no_rotation", [](olvt::Config& c) { c.rotary_fraction = 0.0f; c.rope_theta = 0.0f; c.rms_eps = 0.0f; }},
  };
  for (const Edge& e : edges) {
    olvt::ModelSpec spec;
    spec.cfg.vocab_size = 64;
    spec.cfg.hidden_size = 8;
    spec.cfg.n_layers = 2;
    spec.cfg.attn_layer_mask = 0b10;
    spec.cfg.ffn_size = 8;
    e.change(spec.cfg);
    write_bytes(dir / (std::string("edge_") + e.name + ".olvt"), olvt::make_model(spec).bytes());
  }

  // Broken files: a record pointing past the end, an unknown type, a cut table.
  olvt::Writer w;
  w.add_f32("model.embed_tokens.weight", {2}, {1.0f, 2.0f}).nbytes = 1u << 20;
  write_bytes(dir / "beyond_file.olvt", w.bytes());
  olvt::Writer u;
  u.add_raw("model.norm.weight", 3, {4}, std::vector<uint8_t>(16, 0));
  write_bytes(dir / "unknown_dtype.olvt", u.bytes());
  auto cut = olvt::make_model(olvt::ModelSpec{}).bytes();
  cut.resize(84 + 30);
  write_bytes(dir / "cut_table.olvt", cut);
}

// The definition with its vocabulary cut to the ids below `keep` and the
// merges among them; added tokens, normalizer, pre-tokenizer, post-processor
// and decoder stay as they are.
json shrink(const json& full, uint32_t keep) {
  json j = full;
  json& model = j["model"];
  std::set<std::string> kept;
  if (model.contains("vocab") && model["vocab"].is_object()) {
    json vocab = json::object();
    for (const auto& [piece, id] : model["vocab"].items())
      if (id.is_number_unsigned() && id.get<uint32_t>() < keep) {
        vocab[piece] = id;
        kept.insert(piece);
      }
    model["vocab"] = vocab;
  }
  if (model.contains("merges") && model["merges"].is_array()) {
    json merges = json::array();
    for (const json& m : model["merges"]) {
      std::string a, b;
      if (m.is_string()) {
        const std::string s = m.get<std::string>();
        const size_t sp = s.find(' ');
        if (sp == std::string::npos) continue;
        a = s.substr(0, sp);
        b = s.substr(sp + 1);
      } else if (m.is_array() && m.size() == 2) {
        a = m[0].get<std::string>();
        b = m[1].get<std::string>();
      }
      if (kept.count(a) && kept.count(b) && kept.count(a + b)) merges.push_back(m);
    }
    model["merges"] = merges;
  }
  if (j.contains("added_tokens") && j["added_tokens"].size() > 64) {
    json few = json::array();
    for (const json& t : j["added_tokens"]) {
      if (few.size() < 64) few.push_back(t);
    }
    j["added_tokens"] = few;
  }
  return j;
}

const char* const kTexts[] = {
    "Hello, world! This is a simple sentence.",
    "<|im_start|>user\nYou are Olvu, a patient CBSE class 10 tutor.\n\nOlvu, what is a prime number?<|im_end|>\n"
    "<|im_start|>assistant\n",
    "  Tabs\tand\nnewlines \r\n and   spaces  ",
    "\xC3\xA9t\xC3\xA9 na\xC3\xAFve \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD "
    "e\xCC\x81 \xEF\xAC\x81",
    "12345 3.14159 x^2 + y^2 = z^2; don't won't",
};

void tokenizer_seeds(const fs::path& json_dir, const fs::path& text_dir, const std::vector<std::string>& files) {
  fs::create_directories(json_dir);
  fs::create_directories(text_dir);
  for (size_t i = 0; i < files.size(); ++i) {
    std::ifstream in(files[i], std::ios::binary);
    const json full = json::parse(in);
    const std::string stem = "def" + std::to_string(i);
    const std::string small = shrink(full, 600).dump();
    write_file(json_dir / (stem + ".json"), small);
    write_file(json_dir / (stem + "_text.json"), small + std::string(1, '\0') + kTexts[1]);
    write_file(json_dir / (stem + "_tiny.json"), shrink(full, 40).dump(1));
  }
  const size_t n = files.empty() ? 1 : files.size();
  int k = 0;
  for (const char* text : kTexts) {
    for (size_t i = 0; i < n; ++i) {
      for (unsigned flags : {0u, 1u, 2u, 3u}) {
        // Selector byte: definition index modulo the count, then the two switches in bits 4 and 5.
        const unsigned char sel = static_cast<unsigned char>(i + (flags << 4));
        write_file(text_dir / ("text" + std::to_string(k++)), std::string(1, static_cast<char>(sel)) + text);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: make_fuzz_seeds OUT_DIR [tokenizer.json ...]\n";
    return 2;
  }
  try {
    const fs::path out = argv[1];
    olvt_seeds(out / "olvt");
    tokenizer_seeds(out / "tokenizer_json", out / "tokenizer_text", std::vector<std::string>(argv + 2, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "make_fuzz_seeds: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
