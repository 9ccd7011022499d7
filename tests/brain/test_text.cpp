// UTF-8 validity, lossy repair and white-space trimming.
#include <gtest/gtest.h>

#include "text.h"

using namespace brain;

TEST(Utf8, ValidityFollowsTheWellFormedSequences) {
  struct Case {
    const char* bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xA9", true},               // é
      {"\xE0\xA4\xB9", true},           // Devanagari ha
      {"\xF0\x9F\x98\x80", true},       // emoji
      {"\xF4\x8F\xBF\xBF", true},       // U+10FFFF
      {"\xC0\xAF", false},              // overlong
      {"\xE0\x80\xAF", false},          // overlong
      {"\xED\xA0\x80", false},          // surrogate
      {"\xF4\x90\x80\x80", false},      // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xC3", false},                  // truncated
      {"abc\xE4\xB8", false},
      {"\x80", false},                  // lone continuation
      {"\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(Utf8, LossyRepairReplacesEachMaximalIllFormedSubpart) {
  struct Case {
    std::string in, out;
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"a\xFF" "b", "a" + R + "b"},
      {"\xE4\xB8", R},                          // one truncated character, one replacement
      {"\xE4\xB8x", R + "x"},
      {"\xF0\x90\x80", R},
      {"\xED\xA0\x80", R + R + R},              // surrogate: lead byte and each continuation
      {"\xC0\xAF", R + R},
      {"\xF0\x9F\x98\x80\x80", "\xF0\x9F\x98\x80" + R},
      {"/models/caf\xC3\xA9.olvt", "/models/caf\xC3\xA9.olvt"},
      {"/models/caf\xE9.olvt", "/models/caf" + R + ".olvt"},  // Latin-1 é
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(Trim, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      {"  inner  space  ", "inner  space"},
      {"\n\nline one\nline two\n", "line one\nline two"},
      {"\xC2\xA0nbsp\xC2\xA0", "nbsp"},                          // U+00A0
      {"\xE3\x80\x80ideographic\xE3\x80\x80", "ideographic"},    // U+3000
      {"\xE2\x80\xA8x\xE2\x80\xA9", "x"},                        // line/paragraph separators
      {"\xC2\x85x\xE2\x80\xAF\xE2\x81\x9F\xE1\x9A\x80", "x"},    // U+0085 U+202F U+205F U+1680
      {"\xE2\x80\x80\xE2\x80\x8Ax\xE2\x80\x8A", "x"},            // U+2000, U+200A
      {"\xE2\x80\x8Bzero-width\xE2\x80\x8B", "\xE2\x80\x8Bzero-width\xE2\x80\x8B"},  // U+200B is not White_Space
      {"\xEF\xBB\xBF" "bom", "\xEF\xBB\xBF" "bom"},              // U+FEFF is not either
      {"\xC3\xA9 ", "\xC3\xA9"},
      {" \xE4\xB8\xAD", "\xE4\xB8\xAD"},
      {" \xFF ", "\xFF"},                                        // invalid bytes stop trimming, not the run
  };
  for (const Case& c : cases) EXPECT_EQ(trim_white_space(c.in), c.out) << testing::PrintToString(c.in);
}

TEST(Utf8, CharBoundary) {
  const std::string s = "a\xE4\xB8\xAD" "b";  // a 中 b
  EXPECT_TRUE(is_char_boundary(s, 0));
  EXPECT_TRUE(is_char_boundary(s, 1));
  EXPECT_FALSE(is_char_boundary(s, 2));
  EXPECT_FALSE(is_char_boundary(s, 3));
  EXPECT_TRUE(is_char_boundary(s, 4));
  EXPECT_TRUE(is_char_boundary(s, 5));
  EXPECT_FALSE(is_char_boundary(s, 6));
}
