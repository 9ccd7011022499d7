// Normalizers one by one, built from their JSON as a definition gives them.
#include <gtest/gtest.h>

#include "tokenizer/normalizers.hpp"
#include "tokenizer/tokenizer.hpp"

namespace {

using tok::json;

std::string normalized(const char* def, std::string text) {
    auto n = tok::make_normalizer(json::parse(def));
    n->normalize(text);
    return text;
}

TEST(Normalizers, Table) {
    struct Case {
        const char* def;
        std::string input, expected;
    } cases[] = {
        {R"({"type":"NFC"})", "cafe\u0301 \u1100\u1161\u11A8", "caf\u00E9 \uAC01"},
        {R"({"type":"NFC"})", "plain ascii", "plain ascii"},
        {R"({"type":"NFD"})", "caf\u00E9", "cafe\u0301"},
        {R"({"type":"NFKC"})", "\uFB01 \u2460 \u00BD x\u00B2", "fi 1 1\u20442 x2"},
        {R"({"type":"NFKD"})", "\uFB01\u00E9", "fie\u0301"},
        // Full mappings character by character: U+0130 becomes two characters, and a final
        // sigma is not treated differently.
        {R"({"type":"Lowercase"})", "\u00C0B \u0130 \u03A3\u0391\u03A3", "\u00E0b i\u0307 \u03C3\u03B1\u03C3"},
        {R"({"type":"Strip","strip_left":true,"strip_right":true})", "\u3000 a b\t\u00A0\n", "a b"},
        {R"({"type":"Strip","strip_left":true,"strip_right":false})", "  a  ", "a  "},
        {R"({"type":"Strip","strip_left":false,"strip_right":true})", "  a  ", "  a"},
        {R"({"type":"Strip","strip_left":true,"strip_right":true})", " \t ", ""},
        {R"({"type":"StripAccents"})", "cafe\u0301 na\u0308ive", "cafe naive"},
        {R"({"type":"Replace","pattern":{"String":" "},"content":"\u2581"})", "a b  c", "a\u2581b\u2581\u2581c"},
        // A literal pattern is not a regular expression.
        {R"({"type":"Replace","pattern":{"String":"."},"content":"!"})", "a.b", "a!b"},
        {R"({"type":"Replace","pattern":{"Regex":"\\s+"},"content":" "})", "a \t\n b", "a b"},
        // Empty matches take the content too, once at each position.
        {R"({"type":"Replace","pattern":{"Regex":"x*"},"content":"-"})", "ab", "-a-b-"},
        {R"({"type":"Prepend","prepend":"\u2581"})", "ab", "\u2581ab"},
        {R"({"type":"Prepend","prepend":"\u2581"})", "", ""},
        {R"({"type":"Sequence","normalizers":[{"type":"Prepend","prepend":"\u2581"},
            {"type":"Replace","pattern":{"String":" "},"content":"\u2581"}]})", "a b", "\u2581a\u2581b"},
        {R"({"type":"Sequence","normalizers":[{"type":"NFD"},{"type":"StripAccents"},{"type":"Lowercase"}]})",
         "\u00C9T\u00C9", "ete"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalized(c.def, c.input), c.expected) << c.def << " on " << c.input;
}

TEST(Normalizers, NullDefinitionIsNoNormalizer) {
    EXPECT_EQ(tok::make_normalizer(json(nullptr)), nullptr);
}

}  // namespace
