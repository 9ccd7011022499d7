// The byte-pair-encoding model: vocabulary, ranked merges, and the merge of one word into ids.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "definition.hpp"
#include "hash_tables.hpp"

namespace tok {

struct BpeOptions {
    std::optional<std::string> unk_token;
    std::string continuing_subword_prefix;  // empty: none
    std::string end_of_word_suffix;         // empty: none
    bool fuse_unk = false;
    bool byte_fallback = false;
    bool ignore_merges = false;
};

class Bpe {
public:
    // Takes the vocabulary and merges as read from the definition; throws tok::Error when a merge
    // names a token the vocabulary lacks.
    Bpe(RawVocab vocab, const RawMerges& merges, BpeOptions options);

    // Appends the ids of one pre-tokenized word.
    void tokenize(std::string_view word, std::vector<uint32_t>& out) const;

    uint32_t token_to_id(std::string_view token) const { return vocab_.find(token); }
    // Null when the model has no such id.
    const std::string_view* id_to_token(uint32_t id) const {
        return id < by_id_.size() && by_id_[id].data() ? &by_id_[id] : nullptr;
    }
    size_t vocab_size() const { return vocab_.size(); }

private:
    void merge_word(std::string_view word, std::vector<uint32_t>& out) const;

    RawVocab raw_;
    StringMap vocab_;
    std::vector<std::string_view> by_id_;
    PairMap merges_;
    BpeOptions opt_;
    uint32_t byte_ids_[256];  // ids of the "<0xNN>" tokens, npos when absent

    // Words seen before; bounded like the reference's cache.
    mutable std::mutex cache_mutex_;
    mutable std::unordered_map<std::string, std::vector<uint32_t>> cache_;
};

}  // namespace tok
