// Loading: unreadable files, text that is not JSON, JSON that is not a tokenizer, and
// definitions the library does not support all fail with a message that says why.
#include <gtest/gtest.h>

#include <fstream>

#include "fixture.hpp"

namespace {

using fixture::Definition;
using fixture::json;

std::string load_error(const std::string& text) {
    try {
        tok::Tokenizer::from_str(text);
    } catch (const tok::Error& e) {
        return e.what();
    }
    return "(loaded)";
}

std::string file_error(const std::string& path) {
    try {
        tok::Tokenizer::from_file(path);
    } catch (const tok::Error& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(LoadErrors, FileProblemsNameTheOperatingSystemsReason) {
    EXPECT_EQ(file_error("/nonexistent/dir/tokenizer.json"), "No such file or directory (os error 2)");
    EXPECT_EQ(file_error("/tmp"), "Is a directory (os error 21)");
}

TEST(LoadErrors, FileThatIsNotUtf8) {
    std::string path = testing::TempDir() + "/not_utf8.json";
    std::ofstream(path, std::ios::binary) << "{\"model\": \"\xff\xfe\"}";
    EXPECT_EQ(file_error(path), "stream did not contain valid UTF-8");
}

TEST(LoadErrors, WellFormedFileLoads) {
    std::string path = testing::TempDir() + "/good.json";
    std::ofstream(path, std::ios::binary) << Definition({"a", "b"}).dump();
    auto t = tok::Tokenizer::from_file(path);
    EXPECT_EQ(t.encode("ab", false).get_ids(), (std::vector<uint32_t>{0, 1}));
}

TEST(LoadErrors, TextThatIsNotJsonGivesItsPosition) {
    struct Case {
        std::string text, expected;
    } cases[] = {
        {"not json", "at line 1 column 2"},
        {"", "at line 1 column 0"},
        {"{\n  \"model\": {\"type\": \"BPE\",\n", "at line 3 column 0"},
        {"{\"a\": 1,}", "at line 1 column 9"},
    };
    for (const auto& c : cases) {
        std::string msg = load_error(c.text);
        EXPECT_NE(msg.find(c.expected), std::string::npos) << c.text << " -> " << msg;
    }
}

TEST(LoadErrors, JsonThatIsNotATokenizer) {
    EXPECT_EQ(load_error("[1, 2]"), "invalid type: sequence, expected struct Tokenizer");
    EXPECT_EQ(load_error("\"tokenizer\""), "invalid type: string \"tokenizer\", expected struct Tokenizer");
    EXPECT_EQ(load_error("{}"), "Model missing.");
    EXPECT_EQ(load_error(R"({"model": null})"), "Model missing.");
    EXPECT_EQ(load_error(R"({"model": {"type": "BPE", "merges": []}})"), "missing field `vocab` in model BPE");
    EXPECT_EQ(load_error(R"({"model": {"type": "BPE", "vocab": {}}})"), "missing field `merges` in model BPE");
}

// Each case edits one part of an otherwise valid definition.
TEST(LoadErrors, BadOrUnsupportedComponentsAreNamed) {
    struct Case {
        const char* name;
        void (*edit)(Definition&);
        std::string expected;
    } cases[] = {
        {"unknown normalizer", [](Definition& d) { d.normalizer = {{"type", "Shout"}}; }, "unknown normalizer type `Shout`"},
        {"unsupported normalizer", [](Definition& d) { d.normalizer = {{"type", "Precompiled"}, {"precompiled_charsmap", ""}}; },
         "unsupported normalizer type `Precompiled`"},
        {"normalizer without type", [](Definition& d) { d.normalizer = json::object(); }, "missing field `type` in normalizer"},
        {"nested unknown", [](Definition& d) { d.normalizer = {{"type", "Sequence"}, {"normalizers", {{{"type", "NFC"}}, {{"type", "Bogus"}}}}}; },
         "unknown normalizer type `Bogus`"},
        {"unsupported pre-tokenizer", [](Definition& d) { d.pre_tokenizer = {{"type", "BertPreTokenizer"}}; },
         "unsupported pre-tokenizer type `BertPreTokenizer`"},
        {"unknown decoder", [](Definition& d) { d.decoder = {{"type", "Morse"}}; }, "unknown decoder type `Morse`"},
        {"unsupported decoder", [](Definition& d) { d.decoder = {{"type", "CTC"}}; }, "unsupported decoder type `CTC`"},
        {"unknown post-processor", [](Definition& d) { d.post_processor = {{"type", "Wrap"}}; }, "unknown post-processor type `Wrap`"},
        {"unsupported model", [](Definition& d) { d.model = {{"type", "Unigram"}, {"vocab", json::array()}}; }, "unsupported model type `Unigram`"},
        {"bad regex", [](Definition& d) { d.pre_tokenizer = {{"type", "Split"}, {"pattern", {{"Regex", "(a"}}}, {"behavior", "Isolated"}}; },
         "invalid regular expression `(a`: end pattern with unmatched parenthesis"},
        {"bad behaviour", [](Definition& d) { d.pre_tokenizer = {{"type", "Split"}, {"pattern", {{"String", "a"}}}, {"behavior", "Sideways"}}; },
         "unknown variant `Sideways` for `behavior` in pre-tokenizer Split"},
        {"merge outside vocabulary", [](Definition& d) { d.model["merges"] = {"a z"}; }, "Merge token `z` out of vocabulary"},
        {"merged token outside vocabulary", [](Definition& d) { d.model["merges"] = {"a b"}; }, "Merge token `ab` out of vocabulary"},
        {"merge without space", [](Definition& d) { d.model["merges"] = {"ab"}; }, "invalid merge \"ab\""},
        {"merge of three", [](Definition& d) { d.model["merges"] = {{"a", "b", "c"}}; }, "invalid merge: expected a pair"},
        {"vocabulary as list", [](Definition& d) { d.model["vocab"] = {"a", "b"}; }, "expected a map for `vocab` in model BPE"},
        {"negative id", [](Definition& d) { d.model["vocab"]["a"] = -1; }, "invalid type: integer `-1`, expected u32"},
        {"random merges", [](Definition& d) { d.model["dropout"] = 0.1; }, "unsupported BPE setting: dropout 0.1"},
        {"missing special token", [](Definition& d) {
             d.post_processor = {{"type", "TemplateProcessing"}, {"single", {{{"SpecialToken", {{"id", "<s>"}, {"type_id", 0}}}}}},
                                 {"special_tokens", json::object()}};
         }, "Missing SpecialToken(s) with id(s) `<s>`"},
        {"strip of two characters", [](Definition& d) { d.decoder = {{"type", "Strip"}, {"content", "ab"}, {"start", 1}, {"stop", 0}}; },
         "expected a character for `content` in decoder Strip"},
        {"flag of wrong type", [](Definition& d) { d.model["byte_fallback"] = "yes"; },
         "invalid type: string \"yes\", expected a boolean for `byte_fallback` in model BPE"},
    };
    for (const auto& c : cases) {
        Definition d({"a", "b", "c"});
        c.edit(d);
        std::string msg = load_error(d.dump());
        EXPECT_NE(msg.find(c.expected), std::string::npos) << c.name << ": " << msg;
    }
}

TEST(LoadErrors, LargeSparseIdsAreRefusedNotAllocated) {
    Definition d({"a"});
    d.model["vocab"]["b"] = 4000000000u;
    EXPECT_NE(load_error(d.dump()).find("far beyond the vocabulary size"), std::string::npos);
}

}  // namespace
