// One tokenizer shared by several threads gives every thread the ids it would get alone.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.hpp"

namespace {

using fixture::Definition;

TEST(Concurrency, ThreadsShareOneTokenizer) {
    Definition d(fixture::chars_of(" abcdefghij"), {});
    d.model["vocab"]["ab"] = 11;
    d.model["vocab"]["abc"] = 12;
    d.model["merges"] = {"a b", "ab c"};
    d.pre_tokenizer = {{"type", "Whitespace"}};
    d.decoder = {{"type", "Fuse"}};
    auto t = d.load();
    // Many different words, so that the threads fill the word cache at the same time.
    std::vector<std::string> texts;
    for (int i = 0; i < 64; ++i) {
        std::string text;
        for (int w = 0; w < 50; ++w) {
            text += " abc";
            text.push_back(static_cast<char>('a' + (i * 7 + w) % 10));
            text.push_back(static_cast<char>('a' + (i + w * 3) % 10));
        }
        texts.push_back(text);
    }
    std::vector<std::vector<uint32_t>> alone;
    {
        auto fresh = d.load();
        for (const auto& text : texts) alone.push_back(fresh.encode(text, false).get_ids());
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            for (size_t i = 0; i < texts.size(); ++i) {
                size_t j = (i + static_cast<size_t>(k) * 16) % texts.size();
                if (t.encode(texts[j], false).get_ids() != alone[j]) ++mismatches[k];
                (void)t.decode(alone[j], true);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(mismatches[k], 0) << "thread " << k;
}

}  // namespace
