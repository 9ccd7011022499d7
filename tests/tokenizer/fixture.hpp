// Builds small tokenizer.json definitions for the tests: a BPE vocabulary from a list of tokens
// and the components given as JSON.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tokenizer/tokenizer.hpp"

namespace fixture {

using json = nlohmann::json;

// One vocabulary entry per token, ids in list order.
inline json vocab(const std::vector<std::string>& tokens) {
    json v = json::object();
    for (size_t i = 0; i < tokens.size(); ++i) v[tokens[i]] = i;
    return v;
}

// Every character of `chars` (UTF-8) as its own token, in order.
inline std::vector<std::string> chars_of(const std::string& chars) {
    std::vector<std::string> out;
    for (size_t i = 0; i < chars.size();) {
        size_t n = 1;
        auto b = static_cast<unsigned char>(chars[i]);
        if (b >= 0xF0) n = 4;
        else if (b >= 0xE0) n = 3;
        else if (b >= 0xC0) n = 2;
        out.push_back(chars.substr(i, n));
        i += n;
    }
    return out;
}

// The 256 characters byte-level tokenizers show bytes as, in byte order.
inline std::vector<std::string> byte_chars() {
    std::vector<std::string> out;
    unsigned next = 256;
    for (unsigned b = 0; b < 256; ++b) {
        bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
        unsigned c = printable ? b : next++;
        std::string s;
        if (c < 0x80) {
            s.push_back(static_cast<char>(c));
        } else {
            s.push_back(static_cast<char>(0xC0 | (c >> 6)));
            s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        out.push_back(s);
    }
    return out;
}

struct Definition {
    json model = {{"type", "BPE"}, {"dropout", nullptr}, {"unk_token", nullptr},
                  {"continuing_subword_prefix", nullptr}, {"end_of_word_suffix", nullptr},
                  {"fuse_unk", false}, {"byte_fallback", false}, {"ignore_merges", false},
                  {"vocab", json::object()}, {"merges", json::array()}};
    json normalizer = nullptr, pre_tokenizer = nullptr, post_processor = nullptr, decoder = nullptr;
    json truncation = nullptr, padding = nullptr;
    json added_tokens = json::array();

    explicit Definition(const std::vector<std::string>& tokens, const std::vector<std::string>& merges = {}) {
        model["vocab"] = vocab(tokens);
        model["merges"] = merges;
    }

    // An added token with the next id after the vocabulary and the tokens added so far.
    Definition& add(const std::string& content, bool special, json flags = json::object()) {
        json t = {{"id", model["vocab"].size() + added_tokens.size()}, {"content", content},
                  {"single_word", false}, {"lstrip", false}, {"rstrip", false},
                  {"normalized", !special}, {"special", special}};
        t.update(flags);
        added_tokens.push_back(t);
        return *this;
    }

    std::string dump() const {
        json d = {{"version", "1.0"}, {"truncation", truncation}, {"padding", padding},
                  {"added_tokens", added_tokens}, {"normalizer", normalizer},
                  {"pre_tokenizer", pre_tokenizer}, {"post_processor", post_processor},
                  {"decoder", decoder}, {"model", model}};
        return d.dump();
    }

    tok::Tokenizer load() const { return tok::Tokenizer::from_str(dump()); }
};

// The id of a token in a fixture vocabulary.
inline uint32_t id(const Definition& d, const std::string& token) {
    if (d.model["vocab"].contains(token)) return d.model["vocab"][token].get<uint32_t>();
    for (const auto& t : d.added_tokens)
        if (t["content"] == token) return t["id"].get<uint32_t>();
    throw std::runtime_error("no token " + token);
}

inline std::vector<uint32_t> ids(const Definition& d, const std::vector<std::string>& tokens) {
    std::vector<uint32_t> out;
    for (const auto& t : tokens) out.push_back(id(d, t));
    return out;
}

}  // namespace fixture
