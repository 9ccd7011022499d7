// Added tokens: texts matched whole in the input before the model sees it, their ids, and which
// of them are special (left out of decodes on request).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bpe.hpp"
#include "normalizers.hpp"
#include "pieces.hpp"
#include "regex.hpp"

namespace tok {

struct AddedToken {
    std::string content;
    bool special = false;
    bool normalized = true;  // matched in the normalized text rather than the raw text
    bool lstrip = false;     // swallows the white space before it
    bool rstrip = false;     // swallows the white space after it
    bool single_word = false;  // only matches with no word character touching it
};

class AddedVocabulary {
public:
    // Tokens in definition order. Each takes the id its text already has (among the added tokens,
    // then in the model), else the next id after the model's and the added tokens'.
    AddedVocabulary(std::vector<AddedToken> tokens, const Bpe& model, const Normalizer* normalizer);

    // A stretch of text and, when it was matched as an added token, that token's id.
    using Cut = std::pair<Offsets, uint32_t>;
    // Cuts `text` at the tokens matched in raw text (`normalized` false) or in normalized text
    // (`normalized` true): longest match first at the leftmost place.
    void split(std::string_view text, bool normalized, std::vector<Cut>& out) const;
    bool has_normalized() const { return !normalized_.patterns.empty(); }

    // The content of added token `id`, or null.
    const std::string* content_of(uint32_t id) const;
    uint32_t id_of(std::string_view content) const;
    bool is_special(std::string_view content) const { return special_.count(std::string(content)) != 0; }
    bool empty() const { return by_id_.empty(); }

private:
    // A byte trie over the patterns of one kind of matching.
    struct Trie {
        struct Node {
            std::vector<std::pair<unsigned char, uint32_t>> next;
            int32_t pattern = -1;
        };
        std::vector<Node> nodes{Node{}};
        bool first[256] = {};
        std::vector<uint32_t> patterns;  // index into tokens_ for each pattern

        void add(std::string_view text, uint32_t token);
        // Leftmost-longest, non-overlapping matches: start, end, token index.
        void find(std::string_view text, std::vector<std::array<size_t, 3>>& out) const;
    };

    std::vector<AddedToken> tokens_;  // the tokens kept, in matching priority
    std::vector<uint32_t> ids_;       // the id of each kept token
    std::unordered_map<std::string, uint32_t> by_content_;
    std::unordered_map<uint32_t, uint32_t> by_id_;  // id -> index into tokens_
    std::unordered_set<std::string> special_;
    Trie raw_, normalized_;
};

}  // namespace tok
