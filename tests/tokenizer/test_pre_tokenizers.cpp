// Pre-tokenizers one by one: how each cuts the pieces of a text into words.
#include <gtest/gtest.h>

#include "tokenizer/pre_tokenizers.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

using tok::json;
using Words = std::vector<std::string>;

Words words(const json& def, tok::Pieces pieces) {
    tok::make_pre_tokenizer(def)->pre_tokenize(pieces);
    Words out;
    for (const auto& p : pieces) out.push_back(p.id == tok::kNoId ? p.text : "[" + p.text + "]");
    return out;
}

Words words(const char* def, const std::string& text) {
    return words(json::parse(def), tok::Pieces{tok::Piece{text, tok::kNoId, true}});
}

json split(const char* pattern_kind, const char* pattern, const char* behavior, bool invert) {
    return {{"type", "Split"}, {"pattern", {{pattern_kind, pattern}}}, {"behavior", behavior}, {"invert", invert}};
}

TEST(PreTokenizers, SplitBehaviours) {
    struct Case {
        const char* behavior;
        bool invert;
        Words expected;
    } cases[] = {
        {"Isolated", false, {"the", "-", "final", "-", "-", "countdown"}},
        {"Removed", false, {"the", "final", "countdown"}},
        {"MergedWithPrevious", false, {"the-", "final-", "-", "countdown"}},
        {"MergedWithNext", false, {"the", "-final", "-", "-countdown"}},
        {"Contiguous", false, {"the", "-", "final", "--", "countdown"}},
        // Inverted, the words are the matches and the dashes lie between them.
        {"Removed", true, {"-", "-", "-"}},
        {"MergedWithPrevious", true, {"the", "-final", "-", "-countdown"}},
        {"MergedWithNext", true, {"the-", "final-", "-", "countdown"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(words(split("String", "-", c.behavior, c.invert), {tok::Piece{"the-final--countdown", tok::kNoId, true}}),
                  c.expected)
            << c.behavior << (c.invert ? " inverted" : "");
        EXPECT_EQ(words(split("Regex", "-", c.behavior, c.invert), {tok::Piece{"the-final--countdown", tok::kNoId, true}}),
                  c.expected)
            << c.behavior << (c.invert ? " inverted" : "") << " (regex)";
    }
}

// The pattern of the byte-level models this program is used with, on the cases it must get right.
TEST(PreTokenizers, SplitWithTheChatModelPattern) {
    const char* pattern =
        R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
    json def = split("Regex", pattern, "Isolated", false);
    auto w = [&](const std::string& text) { return words(def, {tok::Piece{text, tok::kNoId, true}}); };
    EXPECT_EQ(w("I'M here  123\n\n x"), (Words{"I", "'M", " here", " ", " ", "1", "2", "3", "\n\n", " x"}));
    EXPECT_EQ(w("don't You'Re"), (Words{"don", "'t", " You", "'Re"}));
    EXPECT_EQ(w("a.\r\nb  "), (Words{"a", ".\r\n", "b", "  "}));
    EXPECT_EQ(w("\u0928\u092E\u0938\u094D\u0924\u0947 \u4F60\u597D"),
              (Words{"\u0928\u092E\u0938", "\u094D\u0924", "\u0947", " \u4F60\u597D"}))
        << "a combining mark is not a letter: it may only lead a run of letters";
}

TEST(PreTokenizers, ByteLevel) {
    EXPECT_EQ(words(R"({"type":"ByteLevel","add_prefix_space":true,"trim_offsets":true,"use_regex":true})", "hello world's"),
              (Words{"\u0120hello", "\u0120world", "'s"}));
    EXPECT_EQ(words(R"({"type":"ByteLevel","add_prefix_space":false,"trim_offsets":false,"use_regex":false})", "a b\n\u00E9"),
              (Words{"a\u0120b\u010A\u00C3\u00A9"}));
    // Every piece gets the space, not only the first one of the text.
    EXPECT_EQ(words(json::parse(R"({"type":"ByteLevel","add_prefix_space":true,"use_regex":false})"),
                    {tok::Piece{"a", tok::kNoId, true}, tok::Piece{"<s>", 7, false}, tok::Piece{" b", tok::kNoId, false}}),
              (Words{"\u0120a", "[<s>]", "\u0120b"}));
}

TEST(PreTokenizers, MetaspacePrependSchemes) {
    auto run = [](const char* scheme, bool split) {
        json def = {{"type", "Metaspace"}, {"replacement", "\u2581"}, {"prepend_scheme", scheme}, {"split", split}};
        return words(def, {tok::Piece{"a b", tok::kNoId, true}, tok::Piece{"c", tok::kNoId, false}});
    };
    EXPECT_EQ(run("always", true), (Words{"\u2581a", "\u2581b", "\u2581c"}));
    EXPECT_EQ(run("first", true), (Words{"\u2581a", "\u2581b", "c"}));
    EXPECT_EQ(run("never", true), (Words{"a", "\u2581b", "c"}));
    EXPECT_EQ(run("always", false), (Words{"\u2581a\u2581b", "\u2581c"}));
    // An older definition only says whether to add the prefix.
    EXPECT_EQ(words(R"({"type":"Metaspace","replacement":"_","add_prefix_space":false})", "x  y"), (Words{"x", "_", "_y"}));
}

TEST(PreTokenizers, WhitespaceDigitsPunctuation) {
    EXPECT_EQ(words(R"({"type":"Whitespace"})", "Hello, world!! a_b \u00E9t\u00E9 12"),
              (Words{"Hello", ",", "world", "!!", "a_b", "\u00E9t\u00E9", "12"}));
    EXPECT_EQ(words(R"({"type":"WhitespaceSplit"})", " a  b\tc\u3000d "), (Words{"a", "b", "c", "d"}));
    EXPECT_EQ(words(R"({"type":"Digits","individual_digits":false})", "a123b4"), (Words{"a", "123", "b", "4"}));
    EXPECT_EQ(words(R"({"type":"Digits","individual_digits":true})", "a123b4"), (Words{"a", "1", "2", "3", "b", "4"}));
    // Numeric in the Unicode sense: other scripts' digits, superscripts and fractions too.
    EXPECT_EQ(words(R"({"type":"Digits","individual_digits":false})", "x\u0663\u00B2\u00BDy"), (Words{"x", "\u0663\u00B2\u00BD", "y"}));
    EXPECT_EQ(words(R"({"type":"Punctuation"})", "a,b!!\u00BFc"), (Words{"a", ",", "b", "!", "!", "\u00BF", "c"}));
}

TEST(PreTokenizers, SequenceRunsInOrderAndLeavesSettledPiecesAlone) {
    json def = json::parse(R"({"type":"Sequence","pretokenizers":[{"type":"WhitespaceSplit"},
                                {"type":"Digits","individual_digits":true}]})");
    EXPECT_EQ(words(def, {tok::Piece{"ab12 c", tok::kNoId, true}, tok::Piece{"<x 1>", 9, false}, tok::Piece{"3", tok::kNoId, false}}),
              (Words{"ab", "1", "2", "c", "[<x 1>]", "3"}));
}

}  // namespace
