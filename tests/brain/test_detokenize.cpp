// The incremental detokenisation rule, alone and over a simulated stream of
// decodes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "detokenize.h"

using namespace brain;

TEST(NewPiece, LongerTextOnABoundaryYieldsEverythingBeyondThePreviousLength) {
  struct Case {
    std::string previous, decoded;
    std::optional<std::string> piece;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"", "", std::nullopt},
      {"", "Hi", "Hi"},
      {"Hi", "Hi there", " there"},
      {"Hi", "Hi", std::nullopt},                   // not longer
      {"Hi there", "Hi", std::nullopt},             // shorter
      {"a", "a\xE4\xB8\xAD", "\xE4\xB8\xAD"},
      // Previous length inside a multi-byte character: nothing.
      {"a" + R, "a\xF0\x9F\x98\x80", std::nullopt},
      {"abc", "x\xE4\xB8\xAD" "z", std::nullopt},
      // No prefix test: the piece is measured from the previous length even
      // when the decoder rewrote earlier bytes.
      {"ab", "xyz", "z"},
      {"a" + R, "a\xE4\xB8\xAD" "b", "b"},
  };
  for (const Case& c : cases) {
    const auto piece = new_piece(c.previous, c.decoded);
    EXPECT_EQ(piece ? std::optional<std::string>(std::string(*piece)) : std::nullopt, c.piece)
        << testing::PrintToString(c.previous) << " -> " << testing::PrintToString(c.decoded);
  }
}

namespace {

// Runs the rule over successive decodes of a growing answer, as the chat turn
// does; returns the pieces and leaves the final previous text in `previous`.
std::vector<std::string> stream(const std::vector<std::string>& decodes, std::string& previous) {
  std::vector<std::string> pieces;
  previous.clear();
  for (const std::string& d : decodes) {
    if (const auto piece = new_piece(previous, d)) {
      pieces.emplace_back(*piece);
      previous = d;
    }
  }
  return pieces;
}

const std::string R = "\xEF\xBF\xBD";  // what a byte-level decoder shows for an incomplete character

}  // namespace

TEST(NewPiece, SkippedTokenAndCompletedThreeByteCharacter) {
  // "中" arrives in two tokens; an id in between decodes to nothing.
  std::string previous;
  const auto pieces = stream({"a", "a", "a" + R, "a\xE4\xB8\xAD", "a\xE4\xB8\xAD" "b"}, previous);
  // The completed character is as long as the replacement, so it is never a
  // piece of its own, but the answer holds it.
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", R, "b"}));
  EXPECT_EQ(previous, "a\xE4\xB8\xAD" "b");
}

TEST(NewPiece, FourByteCharacterCompletedAfterAReplacementBlocksLaterPieces) {
  // The completed emoji is one byte longer than the replacement shown before,
  // so the previous length stays inside it in every later decode.
  std::string previous;
  const std::string emoji = "\xF0\x9F\x98\x80";
  const auto pieces = stream({"Hi ", "Hi " + R, "Hi " + emoji, "Hi " + emoji + " there"}, previous);
  EXPECT_EQ(pieces, (std::vector<std::string>{"Hi ", R}));
  EXPECT_EQ(previous, "Hi " + R);
}
