// The BPE model on small vocabularies: merge order, both merge notations, the whole-word
// shortcut, byte fallback, unknown tokens and word prefixes/suffixes.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace {

using fixture::Definition;
using fixture::json;

// Without pre-tokenizer and decoder, a text is one word and a decode shows the tokens
// separated by spaces.
std::string tokens_of(const Definition& d, const std::string& text) {
    auto t = d.load();
    return t.decode(t.encode(text, false).get_ids(), false);
}

TEST(Bpe, LowestRankMergesFirstAndLeftmostAmongEqualRanks) {
    const std::vector<std::string> vocab = {"a", "b", "c", "ab", "bc", "abc", "aa"};
    struct Case {
        std::vector<std::string> merges;
        std::string text, expected;
    } cases[] = {
        {{"a b", "b c", "ab c"}, "abc", "abc"},
        {{"b c", "a b", "ab c"}, "abc", "a bc"},
        {{"a a"}, "aaa", "aa a"},
        {{"a a"}, "aaaa", "aa aa"},
        {{"b c", "a b"}, "abcab", "a bc ab"},
        // A merge that only becomes possible after another one.
        {{"b c", "ab c", "a b"}, "abc", "a bc"},
        {{"a b", "ab c"}, "cabc", "c abc"},
    };
    for (const auto& c : cases) {
        Definition d(vocab, c.merges);
        EXPECT_EQ(tokens_of(d, c.text), c.expected) << c.text;
    }
}

TEST(Bpe, PairAndStringMergesAreTheSame) {
    Definition strings({"a", "b", "c", "ab", "abc"}, {"a b", "ab c"});
    Definition pairs({"a", "b", "c", "ab", "abc"});
    pairs.model["merges"] = json::array({json::array({"a", "b"}), json::array({"ab", "c"})});
    for (const char* text : {"abc", "cab", "abcabc", "ba"})
        EXPECT_EQ(pairs.load().encode(text, false).get_ids(), strings.load().encode(text, false).get_ids()) << text;
}

TEST(Bpe, RepeatedMergeTakesItsLastRank) {
    // "a b" is listed first and again after "b c": its later rank loses to "b c".
    Definition d({"a", "b", "c", "ab", "bc"}, {"a b", "b c", "a b"});
    EXPECT_EQ(tokens_of(d, "abc"), "a bc");
}

TEST(Bpe, IgnoreMergesTakesAWholeWordFromTheVocabulary) {
    Definition d({"a", "b", "c", "ab", "abc"}, {"a b"});
    EXPECT_EQ(tokens_of(d, "abc"), "ab c");
    d.model["ignore_merges"] = true;
    EXPECT_EQ(tokens_of(d, "abc"), "abc");
    EXPECT_EQ(tokens_of(d, "abca"), "ab c a");
}

TEST(Bpe, ByteFallbackSpellsUnknownCharactersAsBytes) {
    Definition d({"<unk>", "a", "<0xC3>", "<0xA9>", "<0xE2>"});
    d.model["unk_token"] = "<unk>";
    d.model["byte_fallback"] = true;
    auto t = d.load();
    // U+00E9 is C3 A9; U+20AC is E2 82 AC, whose last two bytes have no token.
    EXPECT_EQ(t.encode("a\xC3\xA9" "a", false).get_ids(), (std::vector<uint32_t>{1, 2, 3, 1}));
    EXPECT_EQ(t.encode("\xE2\x82\xAC", false).get_ids(), (std::vector<uint32_t>{0}));
}

TEST(Bpe, UnknownCharacters) {
    Definition d({"<unk>", "a"});
    EXPECT_EQ(d.load().encode("xax", false).get_ids(), (std::vector<uint32_t>{1})) << "no unknown token: dropped";
    d.model["unk_token"] = "<unk>";
    EXPECT_EQ(d.load().encode("xyaz", false).get_ids(), (std::vector<uint32_t>{0, 0, 1, 0}));
    d.model["fuse_unk"] = true;
    EXPECT_EQ(d.load().encode("xyaz", false).get_ids(), (std::vector<uint32_t>{0, 1, 0}));
}

TEST(Bpe, UnknownTokenMissingFromVocabularyFailsTheEncode) {
    Definition d({"a"});
    d.model["unk_token"] = "<unk>";
    auto t = d.load();
    EXPECT_EQ(t.encode("aa", false).get_ids(), (std::vector<uint32_t>{0, 0}));
    try {
        t.encode("ab", false);
        FAIL() << "encoded an unknown character without an unknown token";
    } catch (const tok::Error& e) {
        EXPECT_STREQ(e.what(), "Unk token `<unk>` not found in the vocabulary");
    }
}

TEST(Bpe, ContinuingPrefixAndEndOfWordSuffix) {
    // Inner characters carry "##", the last one "</w>"; a merge drops the right part's prefix.
    Definition d({"a", "##b", "##c</w>", "ab", "abc</w>", "a</w>"}, {"a ##b", "ab ##c</w>"});
    d.model["continuing_subword_prefix"] = "##";
    d.model["end_of_word_suffix"] = "</w>";
    EXPECT_EQ(tokens_of(d, "abc"), "abc</w>");
    EXPECT_EQ(tokens_of(d, "a"), "a</w>");
    // The last character is looked up as "##b</w>", which the vocabulary lacks: it is dropped.
    EXPECT_EQ(tokens_of(d, "ab"), "a");
}

TEST(Bpe, EmptyPrefixAndSuffixMeanNone) {
    Definition d({"a", "b", "ab"}, {"a b"});
    d.model["continuing_subword_prefix"] = "";
    d.model["end_of_word_suffix"] = "";
    EXPECT_EQ(tokens_of(d, "abab"), "ab ab");
}

TEST(Bpe, RepeatedWordsGiveTheSameIds) {
    // The second encoding of each word comes from the word cache.
    Definition d({"a", "b", "c", "ab", "bc"}, {"b c", "a b"});
    d.pre_tokenizer = {{"type", "WhitespaceSplit"}};
    auto t = d.load();
    auto once = t.encode("abc", false).get_ids();
    auto many = t.encode("abc abc abc", false).get_ids();
    ASSERT_EQ(many.size(), 3 * once.size());
    for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(many[i], once[i % once.size()]);
}

}  // namespace
