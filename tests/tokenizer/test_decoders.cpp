// Decoders one by one: what text each makes of a list of token texts.
#include <gtest/gtest.h>

#include "tokenizer/decoders.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

using tok::json;
using Tokens = std::vector<std::string>;

Tokens chain(const char* def, Tokens tokens) {
    tok::make_decoder(json::parse(def))->decode_chain(tokens);
    return tokens;
}

TEST(Decoders, ByteLevel) {
    const char* def = R"({"type":"ByteLevel","add_prefix_space":true,"trim_offsets":true,"use_regex":true})";
    EXPECT_EQ(chain(def, {"\u0120hello", "\u0120w", "orld", "\u010A"}), (Tokens{" hello world\n"}));
    // Bytes of one character spread over two tokens.
    EXPECT_EQ(chain(def, {"\u00C3", "\u00A9t\u00C3\u00A9"}), (Tokens{"\u00E9t\u00E9"}));
    // An incomplete character at the end, or a lone continuation byte, is a replacement character.
    EXPECT_EQ(chain(def, {"a\u00C3"}), (Tokens{"a\uFFFD"}));
    EXPECT_EQ(chain(def, {"\u00A9a"}), (Tokens{"\uFFFDa"}));
    EXPECT_EQ(chain(def, {"\u00E4\u00BD"}), (Tokens{"\uFFFD"})) << "a truncated three-byte sequence is one replacement";
    // A token with a character outside the byte table keeps its own text.
    EXPECT_EQ(chain(def, {"<|im_end|>", "\u4F60\u0120", "\u0120x"}), (Tokens{"<|im_end|>\u4F60\u0120 x"}));
}

TEST(Decoders, Metaspace) {
    EXPECT_EQ(chain(R"({"type":"Metaspace","replacement":"\u2581","prepend_scheme":"always","split":true})",
                    {"\u2581Hello", "\u2581wor", "ld\u2581"}),
              (Tokens{"Hello", " wor", "ld "}));
    // The first token loses every replacement character it has.
    EXPECT_EQ(chain(R"({"type":"Metaspace","replacement":"\u2581","prepend_scheme":"first"})", {"\u2581\u2581a\u2581", "\u2581b"}),
              (Tokens{"a", " b"}));
    EXPECT_EQ(chain(R"({"type":"Metaspace","replacement":"\u2581","prepend_scheme":"never"})", {"\u2581a", "\u2581b"}),
              (Tokens{" a", " b"}));
    EXPECT_EQ(chain(R"({"type":"Metaspace","replacement":"_","add_prefix_space":false})", {"_a"}), (Tokens{" a"}));
}

TEST(Decoders, ByteFallback) {
    const char* def = R"({"type":"ByteFallback"})";
    EXPECT_EQ(chain(def, {"<0xE4>", "<0xBD>", "<0xA0>", "x", "<0x0A>"}), (Tokens{"\u4F60", "x", "\n"}));
    // A run that is not UTF-8 becomes one replacement character per byte.
    EXPECT_EQ(chain(def, {"<0xE4>", "<0xBD>", "y"}), (Tokens{"\uFFFD", "\uFFFD", "y"}));
    // Lower-case digits and a plus sign read as a number too; anything else is ordinary text.
    EXPECT_EQ(chain(def, {"<0x4a>", "<0x+A>", "<0xZZ>", "<0x41", "<0x041>"}), (Tokens{"J\n", "<0xZZ>", "<0x41", "<0x041>"}));
}

TEST(Decoders, FuseStripReplace) {
    EXPECT_EQ(chain(R"({"type":"Fuse"})", {"a", "", "b c"}), (Tokens{"ab c"}));
    EXPECT_EQ(chain(R"({"type":"Strip","content":" ","start":1,"stop":0})", {"  a", " b ", "c"}), (Tokens{" a", "b ", "c"}));
    EXPECT_EQ(chain(R"({"type":"Strip","content":"\u2581","start":0,"stop":2})", {"a\u2581\u2581\u2581"}), (Tokens{"a\u2581"}));
    // More to strip than the token holds leaves it empty.
    EXPECT_EQ(chain(R"({"type":"Strip","content":" ","start":2,"stop":2})", {" ", "   "}), (Tokens{"", ""}));
    EXPECT_EQ(chain(R"({"type":"Replace","pattern":{"String":"\u2581"},"content":" "})", {"\u2581a\u2581\u2581b", ""}),
              (Tokens{" a  b", ""}));
    EXPECT_EQ(chain(R"({"type":"Replace","pattern":{"Regex":"[0-9]+"},"content":"#"})", {"a12b3"}), (Tokens{"a#b#"}));
}

TEST(Decoders, SequenceAsInSentencePieceModels) {
    const char* def = R"({"type":"Sequence","decoders":[
        {"type":"Replace","pattern":{"String":"\u2581"},"content":" "},
        {"type":"ByteFallback"},{"type":"Fuse"},
        {"type":"Strip","content":" ","start":1,"stop":0}]})";
    EXPECT_EQ(chain(def, {"\u2581Hello", "<0x21>", "\u2581wor", "ld"}), (Tokens{"Hello! world"}));
}

}  // namespace
