// Id assignment and matching of added tokens, with their white-space and whole-word rules.
#include "added_vocabulary.hpp"

#include <algorithm>
#include <array>

#include "unicode.hpp"
#include "utf8.hpp"

namespace tok {

void AddedVocabulary::Trie::add(std::string_view text, uint32_t token) {
    if (text.empty()) return;
    uint32_t node = 0;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        auto& next = nodes[node].next;
        auto it = std::find_if(next.begin(), next.end(), [&](const auto& e) { return e.first == b; });
        if (it != next.end()) {
            node = it->second;
        } else {
            auto child = static_cast<uint32_t>(nodes.size());
            nodes[node].next.emplace_back(b, child);
            nodes.emplace_back();
            node = child;
        }
    }
    first[static_cast<unsigned char>(text[0])] = true;
    // The first token with a given text keeps it.
    if (nodes[node].pattern < 0) {
        nodes[node].pattern = static_cast<int32_t>(patterns.size());
        patterns.push_back(token);
    }
}

void AddedVocabulary::Trie::find(std::string_view text, std::vector<std::array<size_t, 3>>& out) const {
    size_t i = 0;
    while (i < text.size()) {
        if (!first[static_cast<unsigned char>(text[i])]) {
            ++i;
            continue;
        }
        uint32_t node = 0;
        int32_t best = -1;
        size_t best_end = 0;
        for (size_t j = i; j < text.size(); ++j) {
            auto b = static_cast<unsigned char>(text[j]);
            const auto& next = nodes[node].next;
            auto it = std::find_if(next.begin(), next.end(), [&](const auto& e) { return e.first == b; });
            if (it == next.end()) break;
            node = it->second;
            if (nodes[node].pattern >= 0) {
                best = nodes[node].pattern;
                best_end = j + 1;
            }
        }
        if (best >= 0) {
            out.push_back({i, best_end, patterns[static_cast<size_t>(best)]});
            i = best_end;
        } else {
            ++i;
        }
    }
}

AddedVocabulary::AddedVocabulary(std::vector<AddedToken> tokens, const Bpe& model, const Normalizer* normalizer) {
    for (const AddedToken& t : tokens)
        if (t.special && !t.content.empty()) special_.insert(t.content);

    std::vector<uint32_t> kept_special, kept_plain;
    const auto vocab_size = static_cast<uint32_t>(model.vocab_size());
    bool any_id = false;
    uint32_t max_id = 0;
    for (AddedToken& t : tokens) {
        if (t.content.empty() || by_content_.count(t.content)) continue;
        uint32_t id = model.token_to_id(t.content);
        if (id == StringMap::npos) {
            if (!any_id)
                id = vocab_size;
            else
                id = (max_id >= vocab_size || vocab_size == 0) ? max_id + 1 : vocab_size;
        }
        any_id = true;
        max_id = std::max(max_id, id);
        auto index = static_cast<uint32_t>(tokens_.size());
        by_content_[t.content] = id;
        by_id_[id] = index;
        (special_.count(t.content) ? kept_special : kept_plain).push_back(index);
        ids_.push_back(id);
        tokens_.push_back(std::move(t));
    }

    // Special tokens are tried before the others.
    std::vector<uint32_t> order(kept_special);
    order.insert(order.end(), kept_plain.begin(), kept_plain.end());
    for (uint32_t index : order) {
        const AddedToken& t = tokens_[index];
        if (!t.normalized) {
            raw_.add(t.content, index);
        } else {
            std::string text = t.content;
            if (normalizer) normalizer->normalize(text);
            normalized_.add(text, index);
        }
    }
}

namespace {

bool word_before(std::string_view text, size_t pos) {
    if (pos == 0) return false;
    size_t i = pos;
    return unicode::is_word(utf8::prev(text, i));
}

bool word_after(std::string_view text, size_t pos) {
    if (pos >= text.size()) return false;
    size_t i = pos;
    return unicode::is_word(utf8::next(text, i));
}

}  // namespace

void AddedVocabulary::split(std::string_view text, bool normalized, std::vector<Cut>& out) const {
    const Trie& trie = normalized ? normalized_ : raw_;
    std::vector<std::array<size_t, 3>> matches;
    trie.find(text, matches);
    size_t done = 0;
    for (auto [mstart, mend, index] : matches) {
        const AddedToken& t = tokens_[index];
        size_t start = mstart, stop = mend;
        if (t.single_word && (word_before(text, start) || word_after(text, stop))) continue;
        if (t.lstrip) {
            while (start > 0) {
                size_t i = start;
                if (!unicode::is_whitespace(utf8::prev(text, i))) break;
                start = i;
            }
        }
        if (t.rstrip) {
            while (stop < text.size()) {
                size_t i = stop;
                if (!unicode::is_whitespace(utf8::next(text, i))) break;
                stop = i;
            }
        }
        // White space an earlier token swallowed is not given out twice.
        start = std::max(start, done);
        if (stop <= done) continue;
        if (done < start) out.push_back({{done, start}, kNoId});
        out.push_back({{start, stop}, ids_[index]});
        done = stop;
    }
    if (done < text.size() || text.empty()) out.push_back({{done, text.size()}, kNoId});
}

const std::string* AddedVocabulary::content_of(uint32_t id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : &tokens_[it->second].content;
}

uint32_t AddedVocabulary::id_of(std::string_view content) const {
    auto it = by_content_.find(std::string(content));
    return it == by_content_.end() ? kNoId : it->second;
}

}  // namespace tok
