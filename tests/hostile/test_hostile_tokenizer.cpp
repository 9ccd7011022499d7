// Tokenizer definitions built to break the reader: nesting deep enough to
// exhaust the stack of a recursive build (found by hand while fuzzing; it
// ended in a stack overflow, and the input is kept under
// fuzz/regressions/fuzz_tokenizer_json/). Nesting is bounded as the reference's JSON
// reader bounds it: 127 levels load, 128 are refused.
#include <gtest/gtest.h>

#include <string>

#include "tokenizer/tokenizer.hpp"

namespace {

const std::string kHead = R"({"version":"1.0","model":{"type":"BPE","vocab":{"a":0,"b":1,"ab":2},"merges":["a b"]})";

// The root object, the normalizer, and two levels (object, array) per Sequence.
std::string nested_normalizer(int sequences) {
  std::string s = kHead + R"(,"normalizer":)";
  for (int i = 0; i < sequences; ++i) s += R"({"type":"Sequence","normalizers":[)";
  s += R"({"type":"Lowercase"})";
  for (int i = 0; i < sequences; ++i) s += "]}";
  return s + "}";
}

// Arrays under a key the reader keeps but never uses.
std::string nested_arrays(int arrays) {
  return kHead + R"(,"extra":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
}

std::string load_error(const std::string& json) {
  try {
    tok::Tokenizer::from_str(json);
  } catch (const tok::Error& e) {
    return e.what();
  }
  return "";
}

TEST(HostileTokenizer, NestingIsBoundedAt128Levels) {
  struct Row {
    const char* what;
    std::string json;
    const char* error;  // empty: loads
  };
  const Row rows[] = {
      {"normalizer sequences, 126 levels", nested_normalizer(62), ""},
      {"normalizer sequences, 128 levels", nested_normalizer(63), "recursion limit exceeded"},
      {"normalizer sequences, 200000 levels", nested_normalizer(100000), "recursion limit exceeded"},
      {"arrays, 127 levels", nested_arrays(126), ""},
      {"arrays, 128 levels", nested_arrays(127), "recursion limit exceeded"},
      {"arrays, a million levels", nested_arrays(1000000), "recursion limit exceeded"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(load_error(row.json), row.error);
  }
  // The deepest accepted pipeline still works.
  const tok::Tokenizer t = tok::Tokenizer::from_str(nested_normalizer(62));
  EXPECT_EQ(t.encode("AB", false).get_ids(), std::vector<uint32_t>{2});
}

}  // namespace
