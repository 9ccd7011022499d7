// Special tokens added by post-processors, truncation and padding of a single encoding.
#include <gtest/gtest.h>

#include "fixture.hpp"

namespace {

using fixture::Definition;
using fixture::json;
using Ids = std::vector<uint32_t>;

// Ids 0..5 are a..f, 6 is <s>, 7 is </s>, 8 is <pad>.
Definition base() {
    Definition d({"a", "b", "c", "d", "e", "f", "<s>", "</s>", "<pad>"});
    d.add("<s>", true).add("</s>", true).add("<pad>", true);
    return d;
}

json template_processing() {
    return json::parse(R"({"type":"TemplateProcessing",
        "single":[{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}},
                  {"SpecialToken":{"id":"</s>","type_id":0}}],
        "pair":[{"Sequence":{"id":"A","type_id":0}},{"Sequence":{"id":"B","type_id":1}}],
        "special_tokens":{"<s>":{"id":"<s>","ids":[6],"tokens":["<s>"]},"</s>":{"id":"</s>","ids":[7],"tokens":["</s>"]}}})");
}

json truncation(size_t max_length, const char* direction = "Right", size_t stride = 0, const char* strategy = "LongestFirst") {
    return {{"direction", direction}, {"max_length", max_length}, {"strategy", strategy}, {"stride", stride}};
}

TEST(PostProcessors, SpecialTokensOnlyWhenAsked) {
    Definition d = base();
    d.post_processor = template_processing();
    EXPECT_EQ(d.load().encode("abc", true).get_ids(), (Ids{6, 0, 1, 2, 7}));
    EXPECT_EQ(d.load().encode("abc", false).get_ids(), (Ids{0, 1, 2}));
    d.post_processor = json::parse(R"({"type":"RobertaProcessing","sep":["</s>",7],"cls":["<s>",6],"trim_offsets":true,"add_prefix_space":false})");
    EXPECT_EQ(d.load().encode("ab", true).get_ids(), (Ids{6, 0, 1, 7}));
    d.post_processor = json::parse(R"({"type":"Sequence","processors":[{"type":"ByteLevel","trim_offsets":false}]})");
    EXPECT_EQ(d.load().encode("ab", true).get_ids(), (Ids{0, 1}));
}

TEST(Truncation, KeepsOneEndAndLeavesRoomForSpecialTokens) {
    Definition d = base();
    d.truncation = truncation(3);
    EXPECT_EQ(d.load().encode("abcde", false).get_ids(), (Ids{0, 1, 2}));
    EXPECT_EQ(d.load().encode("ab", false).get_ids(), (Ids{0, 1}));
    d.truncation = truncation(3, "Left");
    EXPECT_EQ(d.load().encode("abcde", false).get_ids(), (Ids{2, 3, 4}));
    d.truncation = truncation(4);
    d.post_processor = template_processing();
    EXPECT_EQ(d.load().encode("abcde", true).get_ids(), (Ids{6, 0, 1, 7}));
    EXPECT_EQ(d.load().encode("abcde", false).get_ids(), (Ids{0, 1, 2, 3}));
    d.truncation = truncation(0);
    EXPECT_EQ(d.load().encode("abc", false).get_ids(), Ids{});
    // Less room than the special tokens need: the text goes, the special tokens stay.
    d.truncation = truncation(1);
    EXPECT_EQ(d.load().encode("abc", true).get_ids(), (Ids{6, 7}));
}

TEST(Truncation, SettingsThatCannotBeHonouredFailTheEncode) {
    Definition d = base();
    d.post_processor = template_processing();
    d.truncation = truncation(4, "Right", 2);
    auto t = d.load();
    EXPECT_EQ(t.encode("abcde", false).get_ids(), (Ids{0, 1, 2, 3})) << "a stride below the length is fine";
    EXPECT_EQ(t.encode("a", true).get_ids(), (Ids{6, 0, 7})) << "nothing to cut, nothing to check";
    EXPECT_THROW(t.encode("abcde", true), tok::Error) << "stride 2 with room for only 2 ids";
    d.truncation = truncation(2, "Right", 0, "OnlySecond");
    EXPECT_THROW(d.load().encode("abc", false), tok::Error);
    EXPECT_EQ(d.load().encode("ab", false).get_ids(), (Ids{0, 1}));
}

TEST(Padding, FixedLengthMultipleAndSide) {
    Definition d = base();
    d.padding = json::parse(R"({"strategy":{"Fixed":5},"direction":"Right","pad_to_multiple_of":null,
                               "pad_id":8,"pad_type_id":0,"pad_token":"<pad>"})");
    EXPECT_EQ(d.load().encode("ab", false).get_ids(), (Ids{0, 1, 8, 8, 8}));
    EXPECT_EQ(d.load().encode("abcdef", false).get_ids(), (Ids{0, 1, 2, 3, 4, 5})) << "longer than the length: left alone";
    d.padding["direction"] = "Left";
    EXPECT_EQ(d.load().encode("ab", false).get_ids(), (Ids{8, 8, 8, 0, 1}));
    d.padding["strategy"] = "BatchLongest";
    d.padding["pad_to_multiple_of"] = 4;
    EXPECT_EQ(d.load().encode("abcde", false).get_ids(), (Ids{8, 8, 8, 0, 1, 2, 3, 4}));
    EXPECT_EQ(d.load().encode("abcd", false).get_ids(), (Ids{0, 1, 2, 3}));
    EXPECT_EQ(d.load().encode("", false).get_ids(), Ids{});
}

TEST(Padding, ComesAfterTruncationAndSpecialTokens) {
    Definition d = base();
    d.post_processor = template_processing();
    d.truncation = truncation(4);
    d.padding = json::parse(R"({"strategy":{"Fixed":6},"direction":"Right","pad_id":8,"pad_token":"<pad>"})");
    EXPECT_EQ(d.load().encode("abcde", true).get_ids(), (Ids{6, 0, 1, 7, 8, 8}));
}

}  // namespace
