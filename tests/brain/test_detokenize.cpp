// Streaming an answer as its ids arrive: what is held back, what is handed on,
// and that the pieces add up to the final decode.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "detokenize.h"

using namespace brain;

namespace {

const std::string R = "\xEF\xBF\xBD";  // what a decoder shows for an incomplete character
const std::string kEmoji = "\xF0\x9F\x8E\x89";  // four bytes, one longer than R
const std::string kHan = "\xE4\xB8\xAD";        // three bytes, as long as R

// Runs a stream over successive decodes of a growing answer, as the chat turn
// does, the last decode also closing the stream.
std::vector<std::string> stream(const std::vector<std::string>& decodes) {
  std::vector<std::string> pieces;
  PieceStream s;
  for (const std::string& d : decodes)
    if (const auto p = s.next(d); !p.empty()) pieces.emplace_back(p);
  if (!decodes.empty())
    if (const auto p = s.finish(decodes.back()); !p.empty()) pieces.emplace_back(p);
  return pieces;
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string s;
  for (const auto& p : pieces) s += p;
  return s;
}

}  // namespace

TEST(SettledLength, HoldsBackATrailingIncompleteCharacterAndReplacementRun) {
  struct Case {
    std::string text;
    size_t settled;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"a" + kHan, 4},
      {"a" + kEmoji, 5},
      {"a" + R, 1},
      {"a" + R + R + R, 1},               // byte fallback: one per byte
      {R + "b" + R, 4},                   // only the trailing run
      {"a\xE4", 1},                       // lead byte alone
      {"a\xE4\xB8", 1},                   // lead and one of two
      {"a\xF0\x9F\x8E", 1},               // lead and two of three
      {"a" + R + "\xF0\x9F", 1},          // incomplete after a replacement
      {"a\xE0\x80", 3},                   // not a valid start: nothing to wait for
      {"a\xED\xA0", 3},                   // a surrogate never completes
      {"a\x80", 2},                       // stray continuation byte
      {"a\xFF", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(settled_length(c.text), c.settled) << testing::PrintToString(c.text);
}

TEST(PieceStream, PiecesAddUpToTheFinalDecode) {
  struct Case {
    const char* what;
    std::vector<std::string> decodes;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"plain growth", {"Hi", "Hi there", "Hi there!"}, {"Hi", " there", "!"}},
      {"an id that adds nothing", {"a", "a", "ab"}, {"a", "b"}},
      {"three-byte character over two ids", {"a", "a" + R, "a" + kHan, "a" + kHan + "b"}, {"a", kHan, "b"}},
      // The case the plain length rule loses everything after: the completed
      // character is one byte longer than the replacement shown before it.
      {"four-byte character after a replacement",
       {"Great job! ", "Great job! " + R, "Great job! " + kEmoji, "Great job! " + kEmoji + " Well done"},
       {"Great job! ", kEmoji, " Well done"}},
      {"byte fallback shows one replacement per byte",
       {"x", "x" + R, "x" + R + R, "x" + R + R + R, "x" + kEmoji, "x" + kEmoji + "y"},
       {"x", kEmoji, "y"}},
      {"answer ends inside a character", {"a", "a" + R}, {"a", R}},
      {"answer of replacements only", {R, R + R}, {R + R}},
      {"nothing at all", {"", ""}, {}},
  };
  for (const Case& c : cases) {
    const auto pieces = stream(c.decodes);
    EXPECT_EQ(pieces, c.pieces) << c.what;
    EXPECT_EQ(joined(pieces), c.decodes.back()) << c.what;
  }
}

TEST(PieceStream, RewrittenTextAlreadyHandedOnIsNeitherRepeatedNorContradicted) {
  // Byte fallback: "<0x41>" shows "A"; followed by "<0xE4>" the run of byte
  // tokens is not UTF-8 and every byte of it shows as a replacement. The "A" is
  // out already; what follows starts after it, on a character boundary.
  const auto pieces = stream({"A", R + R, R + R + "x"});
  EXPECT_EQ(pieces, (std::vector<std::string>{"A", R + "x"}));
  // A rewrite ending inside a character: the new text starts after it.
  EXPECT_EQ(stream({"ab", kHan + "cd"}), (std::vector<std::string>{"ab", "cd"}));
  // A decode shorter than what was handed on adds nothing until it outgrows it.
  EXPECT_EQ(stream({"abc", "ab", "abcd"}), (std::vector<std::string>{"abc", "d"}));
}

TEST(StreamAnswer, DrawsUpToTheBudgetStopsAtANegativeIdAndFlushesWhatWasHeld) {
  // Each id decodes to its own bytes; id 1 and 2 are the halves of kHan's
  // first two bytes and its last.
  const auto decode = [](const std::vector<uint32_t>& ids) {
    std::string bytes;
    for (uint32_t id : ids) bytes += id == 1 ? std::string("\xE4\xB8") : id == 2 ? std::string("\xAD") : "z";
    return bytes;
  };
  struct Case {
    std::vector<int64_t> ids;
    size_t max_new;
    size_t drawn;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {{0, 1, 2, 0}, 10, 4, {"z", kHan, "z"}},
      {{0, 1, 2, 0}, 2, 2, {"z", "\xE4\xB8"}},  // budget ends inside a character: the bytes still go out
      {{0, -1, 0}, 10, 1, {"z"}},
      {{-1}, 10, 0, {}},
      {{0}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    size_t at = 0;
    std::vector<std::string> pieces;
    const auto answer = stream_answer(
        c.max_new, [&] { return at < c.ids.size() ? c.ids[at++] : -1; }, decode,
        [&](std::string_view p) { pieces.emplace_back(p); });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer.value().ids.size(), c.drawn);
    EXPECT_EQ(pieces, c.pieces);
    EXPECT_EQ(joined(pieces), answer.value().text);
  }
}

TEST(StreamAnswer, ADecodeFailureBecomesTheErrorText) {
  int calls = 0;
  const auto answer = stream_answer(
      5, [] { return int64_t{7}; },
      [&](const std::vector<uint32_t>&) -> std::string {
        if (++calls == 2) throw std::runtime_error("decode broke");
        return "a";
      },
      [](std::string_view) {});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "decode broke");
}
