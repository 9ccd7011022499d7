// Whole pipelines: a byte-level chat tokenizer built like the ones this program loads, bad input
// text, and decodes of ids the vocabulary does not have.
#include <gtest/gtest.h>

#include <algorithm>

#include "fixture.hpp"

namespace {

using fixture::Definition;
using fixture::ids;
using fixture::json;
using Ids = std::vector<uint32_t>;

const char* kChatPattern =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

// NFC, the chat pattern, byte-level characters, a few merges and the ChatML markers.
Definition chat_definition() {
    auto vocab = fixture::byte_chars();
    for (const char* t : {"\u0120t", "he", "\u0120the", "\u0120\u0120", "\u010A\u010A", "us", "user", "\u00C3\u00A9"})
        vocab.push_back(t);
    Definition d(vocab, {"\u0120 t", "h e", "\u0120t he", "\u0120 \u0120", "\u010A \u010A", "u s", "us e", "use r",
                         "\u00C3 \u00A9"});
    d.model["vocab"]["use"] = d.model["vocab"].size();
    d.normalizer = {{"type", "NFC"}};
    d.pre_tokenizer = {{"type", "Sequence"},
                       {"pretokenizers",
                        {{{"type", "Split"}, {"pattern", {{"Regex", kChatPattern}}}, {"behavior", "Isolated"}, {"invert", false}},
                         {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", false}, {"use_regex", false}}}}};
    d.decoder = {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", false}, {"use_regex", false}};
    d.post_processor = {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", false}, {"use_regex", false}};
    d.add("<|endoftext|>", true, {{"normalized", false}})
        .add("<|im_start|>", true, {{"normalized", false}})
        .add("<|im_end|>", true, {{"normalized", false}});
    return d;
}

TEST(ChatTokenizer, PromptIdsAndMarkers) {
    Definition d = chat_definition();
    auto t = d.load();
    Ids x = t.encode("<|im_start|>user\nthe  the\n\n<|im_end|>\n<|im_start|>", false).get_ids();
    EXPECT_EQ(x, ids(d, {"<|im_start|>", "user", "\u010A", "t", "he", "\u0120", "\u0120the", "\u010A\u010A", "<|im_end|>",
                         "\u010A", "<|im_start|>"}));
    EXPECT_EQ(t.decode(x, true), "user\nthe  the\n\n\n");
    EXPECT_EQ(t.decode(x, false), "<|im_start|>user\nthe  the\n\n<|im_end|>\n<|im_start|>");
    // Near misses of the markers are ordinary text.
    Ids near = t.encode("<|im_end|<|IM_END|>", false).get_ids();
    EXPECT_EQ(std::count(near.begin(), near.end(), fixture::id(d, "<|im_end|>")), 0);
    EXPECT_EQ(t.decode(near, true), "<|im_end|<|IM_END|>");
}

TEST(ChatTokenizer, DecodeOfEncodeGivesTheTextBack) {
    auto t = chat_definition().load();
    const std::string texts[] = {
        "",
        "Olvu, what is a prime number?",
        "I'M here, don't   worry.\r\n\ttabs\u00A0and\u3000spaces  ",
        "1 12 123 3.14159",
        "\u0928\u092E\u0938\u094D\u0924\u0947 \u4F60\u597D\uFF0C\u4E16\u754C \u0645\u0631\u062D\u0628\u0627",
        "\U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F1EE\U0001F1F3 \U0001F44D\U0001F3FD",
        std::string("nul\0inside", 10),
    };
    for (const auto& text : texts) EXPECT_EQ(t.decode(t.encode(text, false).get_ids(), true), text) << text;
}

TEST(ChatTokenizer, ComposedAndDecomposedTextEncodeAlike) {
    Definition d = chat_definition();
    auto t = d.load();
    EXPECT_EQ(t.encode("cafe\u0301", false).get_ids(), t.encode("caf\u00E9", false).get_ids());
    EXPECT_EQ(t.encode("\u00E9", false).get_ids(), ids(d, {"\u00C3\u00A9"}));
}

TEST(ChatTokenizer, SpecialTokensOnRequestAreTheSameForByteLevel) {
    auto t = chat_definition().load();
    EXPECT_EQ(t.encode("the user", true).get_ids(), t.encode("the user", false).get_ids());
}

TEST(BadInput, TextThatIsNotUtf8IsAnError) {
    auto t = chat_definition().load();
    struct Case {
        std::string text, message;
    } cases[] = {
        {"abc\xFF", "invalid utf-8 sequence of 1 bytes from index 3"},
        {"a\xE2\x82" "b", "invalid utf-8 sequence of 2 bytes from index 1"},
        {"ab\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
        {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},          // overlong
        {"x\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 1"},     // surrogate
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
    };
    for (const auto& c : cases) {
        try {
            t.encode(c.text, false);
            ADD_FAILURE() << "encoded " << testing::PrintToString(c.text);
        } catch (const tok::Error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(BadInput, DecodeSkipsIdsOutsideTheVocabulary) {
    Definition d = chat_definition();
    auto t = d.load();
    uint32_t the = fixture::id(d, "\u0120the");
    EXPECT_EQ(t.decode({the, 1000000, the, 4294967295u}, true), " the the");
    EXPECT_EQ(t.decode({}, true), "");
}

TEST(Pipeline, WithoutDecoderTokensAreJoinedBySpaces) {
    Definition d({"a", "b", "ab", "\u0120"}, {"a b"});
    EXPECT_EQ(d.load().decode({2, 0, 3}, false), "ab a \u0120");
}

}  // namespace
