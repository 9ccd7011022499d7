// Fuzz target: encode and decode of arbitrary text with real tokenizer
// definitions, loaded once from the files listed (colon-separated) in
// OLVU_FUZZ_TOKENIZERS. The first input byte picks the definition (low four
// bits) and the special-token switches (bits 4 and 5); the rest is the text.
// Valid UTF-8 must encode, anything else must be refused with tok::Error;
// decoding (of the ids encode gave and of ids made from the input bytes) must
// give UTF-8. Definitions also listed in OLVU_FUZZ_ROUNDTRIP must give the
// text back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/tokenizer.hpp"
#include "utf8_check.h"

namespace {

struct Loaded {
  std::string path;
  std::unique_ptr<tok::Tokenizer> tokenizer;
  bool round_trip = false;
};

std::vector<Loaded> g_tokenizers;

std::vector<std::string> split_list(const char* list) {
  std::vector<std::string> out;
  if (!list) return out;
  std::string_view s(list);
  while (!s.empty()) {
    const size_t colon = s.find(':');
    const std::string_view item = s.substr(0, colon);
    if (!item.empty()) out.emplace_back(item);
    if (colon == std::string_view::npos) break;
    s.remove_prefix(colon + 1);
  }
  return out;
}

[[noreturn]] void finding(const Loaded& t, const std::string& what) {
  std::fprintf(stderr, "==tokenizer harness== %s: %s\n", t.path.c_str(), what.c_str());
  std::abort();
}

std::string decode_checked(const Loaded& t, const std::vector<uint32_t>& ids, bool skip) {
  std::string text;
  try {
    text = t.tokenizer->decode(ids, skip);
  } catch (const tok::Error& e) {
    finding(t, std::string("decode failed: ") + e.what());
  }
  if (!fuzz_text::valid_utf8(text)) finding(t, "decode returned text that is not UTF-8");
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const auto round_trip = split_list(std::getenv("OLVU_FUZZ_ROUNDTRIP"));
  for (const std::string& path : split_list(std::getenv("OLVU_FUZZ_TOKENIZERS"))) {
    Loaded l;
    l.path = path;
    try {
      l.tokenizer = std::make_unique<tok::Tokenizer>(tok::Tokenizer::from_file(path));
    } catch (const tok::Error& e) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), e.what());
      std::exit(2);
    }
    for (const auto& r : round_trip) l.round_trip |= r == path;
    g_tokenizers.push_back(std::move(l));
  }
  if (g_tokenizers.empty()) {
    std::fprintf(stderr, "OLVU_FUZZ_TOKENIZERS names no tokenizer.json\n");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Loaded& t = g_tokenizers[(data[0] & 0x0F) % g_tokenizers.size()];
  const bool add_special = (data[0] >> 4) & 1, skip_special = (data[0] >> 5) & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    std::vector<uint32_t> ids;
    bool encoded = false;
    try {
      ids = t.tokenizer->encode(text, add_special).get_ids();
      encoded = true;
    } catch (const tok::Error& e) {
      if (fuzz_text::valid_utf8(text)) finding(t, std::string("valid UTF-8 refused: ") + e.what());
    }
    if (encoded) {
      if (!fuzz_text::valid_utf8(text)) finding(t, "text that is not UTF-8 was encoded");
      const std::string back = decode_checked(t, ids, skip_special);
      if (t.round_trip && !add_special && !skip_special && back != text)
        finding(t, "decode(encode(text)) differs from the text");
    }
    std::vector<uint32_t> raw;
    for (size_t i = 1; i + 3 <= size; i += 3)
      raw.push_back(uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2] & 0x7) << 16);
    decode_checked(t, raw, skip_special);
  } catch (const std::exception& e) {
    finding(t, std::string("exception other than tok::Error: ") + e.what());
  }
  return 0;
}
