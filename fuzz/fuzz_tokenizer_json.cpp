// Fuzz target: the input is a tokenizer definition (tokenizer.json text),
// optionally followed by a NUL byte and a text. A definition that loads then
// encodes that text (or a few fixed probes) with and without special tokens,
// and decodes the ids it got and ids taken from the text's bytes. The library
// reports every failure as tok::Error; any other exception, a crash or a
// sanitizer report is a finding, and so is decoded text that is not UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/tokenizer.hpp"
#include "utf8_check.h"

namespace {

const char* const kProbes[] = {
    "Hello world! It's 2024.",
    "<|im_start|>user\nOlvu, what is a prime number?<|im_end|>\n<|im_start|>assistant\n",
    "  leading and trailing  \t\n",
    "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 e\xCC\x81",
    "",
};

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "==tokenizer harness== %s\n", what.c_str());
  std::abort();
}

void check_decode(const tok::Tokenizer& t, const std::vector<uint32_t>& ids) {
  for (bool skip : {true, false}) {
    std::string text;
    try {
      text = t.decode(ids, skip);
    } catch (const tok::Error&) {
      continue;
    }
    if (!fuzz_text::valid_utf8(text)) finding("decode returned text that is not UTF-8");
  }
}

void exercise(const tok::Tokenizer& t, std::string_view text) {
  for (bool special : {false, true}) {
    try {
      check_decode(t, t.encode(text, special).get_ids());
    } catch (const tok::Error&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string_view json = input.substr(0, nul);
  try {
    const tok::Tokenizer t = tok::Tokenizer::from_str(json);
    if (nul == std::string_view::npos) {
      for (const char* p : kProbes) exercise(t, p);
    } else {
      const std::string_view text = input.substr(nul + 1);
      exercise(t, text);
      std::vector<uint32_t> ids;
      for (size_t i = 0; i + 2 <= text.size(); i += 2) {
        uint16_t v;
        std::memcpy(&v, text.data() + i, 2);
        ids.push_back(v & 0x8000 ? 0xFFFFFFFFu - v : v);
      }
      check_decode(t, ids);
    }
  } catch (const tok::Error&) {
  } catch (const std::exception& e) {
    finding(std::string("exception other than tok::Error: ") + e.what());
  }
  return 0;
}
