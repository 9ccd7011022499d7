// Added tokens in whole tokenizers: where they are found, which ids they take, and how they
// leave decodes.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace {

using fixture::Definition;
using fixture::ids;
using fixture::json;
using Ids = std::vector<uint32_t>;

const std::string kChars = " abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ<>|_.\u2581";

TEST(AddedTokens, LongestMatchFirstAtTheLeftmostPlace) {
    Definition d(fixture::chars_of(kChars));
    d.add("<a>", true).add("<a><b>", true).add("b>", false, {{"normalized", false}});
    EXPECT_EQ(d.load().encode("x<a><b><a>b>", false).get_ids(), ids(d, {"x", "<a><b>", "<a>", "b>"}));
    // Near misses stay text.
    EXPECT_EQ(d.load().encode("<a<A>", false).get_ids(), ids(d, {"<", "a", "<", "A", ">"}));
}

TEST(AddedTokens, RawTokensMatchBeforeNormalizationNormalizedOnesAfter) {
    Definition d(fixture::chars_of(kChars));
    d.normalizer = {{"type", "Lowercase"}};
    d.add("ABC", false, {{"normalized", false}}).add("Xyz", false, {{"normalized", true}});
    EXPECT_EQ(d.load().encode("ABC abc XYZ xyz", false).get_ids(),
              ids(d, {"ABC", " ", "a", "b", "c", " ", "Xyz", " ", "Xyz"}));
}

TEST(AddedTokens, EachStretchBetweenTokensIsNormalizedOnItsOwn) {
    Definition d(fixture::chars_of(kChars));
    d.normalizer = {{"type", "Sequence"}, {"normalizers", {{{"type", "Prepend"}, {"prepend", "\u2581"}},
                                                           {{"type", "Replace"}, {"pattern", {{"String", " "}}}, {"content", "\u2581"}}}}};
    d.add("<s>", true);
    EXPECT_EQ(d.load().encode("a<s>b c<s>", false).get_ids(), ids(d, {"\u2581", "a", "<s>", "\u2581", "b", "\u2581", "c", "<s>"}));
}

TEST(AddedTokens, StripFlagsSwallowWhiteSpace) {
    Definition d(fixture::chars_of(kChars));
    d.add("<L>", true, {{"lstrip", true}}).add("<R>", true, {{"rstrip", true}}).add("<B>", true);
    EXPECT_EQ(d.load().encode("a   <L>b<R>   c <B> d", false).get_ids(),
              ids(d, {"a", "<L>", "b", "<R>", "c", " ", "<B>", " ", "d"}));
    // White space already swallowed by the token before is not swallowed twice.
    EXPECT_EQ(d.load().encode("x<R>  <L>y", false).get_ids(), ids(d, {"x", "<R>", "<L>", "y"}));
}

TEST(AddedTokens, SingleWordTokensNeedNoWordCharacterBesideThem) {
    Definition d(fixture::chars_of(kChars));
    d.add("cat", false, {{"single_word", true}, {"normalized", false}});
    auto t = d.load();
    struct Case {
        std::string text;
        std::vector<std::string> tokens;
    } cases[] = {
        {"cat", {"cat"}},
        {"a cat.", {"a", " ", "cat", "."}},
        {"concat", {"c", "o", "n", "c", "a", "t"}},
        {"cats", {"c", "a", "t", "s"}},
        {"_cat", {"_", "c", "a", "t"}},
        {"\u00E9cat", {"c", "a", "t"}},  // a letter outside the vocabulary still counts as a word character
    };
    for (const auto& c : cases) EXPECT_EQ(t.encode(c.text, false).get_ids(), ids(d, c.tokens)) << c.text;
}

TEST(AddedTokens, IdsFollowTheVocabulary) {
    // A token the vocabulary has keeps its id; new ones are numbered after the vocabulary in
    // definition order, whatever ids the definition wrote down.
    Definition d({"a", "b", "<s>"});
    d.added_tokens = json::array({
        {{"id", 2}, {"content", "<s>"}, {"special", true}, {"normalized", false}},
        {{"id", 40}, {"content", "<x>"}, {"special", true}, {"normalized", false}},
        {{"id", 41}, {"content", "<y>"}, {"special", false}, {"normalized", false}},
        {{"id", 42}, {"content", "<x>"}, {"special", true}, {"normalized", false}},
    });
    auto t = d.load();
    EXPECT_EQ(t.encode("<y><s>a<x>", false).get_ids(), (Ids{4, 2, 0, 3}));
    EXPECT_EQ(t.decode({3, 4}, false), "<x> <y>");
}

TEST(AddedTokens, SpecialTokensLeaveDecodesOnRequest) {
    Definition d(fixture::chars_of(kChars));
    d.decoder = {{"type", "Fuse"}};
    d.add("<|im_start|>", true).add("<think>", false, {{"normalized", false}});
    auto t = d.load();
    Ids x = t.encode("<|im_start|>user<think>hi", false).get_ids();
    EXPECT_EQ(x, ids(d, {"<|im_start|>", "u", "s", "e", "r", "<think>", "h", "i"}));
    EXPECT_EQ(t.decode(x, true), "user<think>hi");
    EXPECT_EQ(t.decode(x, false), "<|im_start|>user<think>hi");
}

TEST(AddedTokens, ByteLevelPrefixSpaceGoesOnEveryStretch) {
    auto vocab = fixture::byte_chars();
    vocab.push_back("\u0120h");
    vocab.push_back("\u0120hi");
    Definition d(vocab, {"\u0120 h", "\u0120h i"});
    d.pre_tokenizer = {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}};
    d.decoder = {{"type", "ByteLevel"}};
    d.add("<s>", true);
    auto t = d.load();
    Ids x = t.encode("hi<s>hi", false).get_ids();
    EXPECT_EQ(x, ids(d, {"\u0120hi", "<s>", "\u0120hi"}));
    EXPECT_EQ(t.decode(x, true), " hi hi");
}

}  // namespace
