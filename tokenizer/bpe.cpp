// BPE merging: every adjacent pair with a merge goes into a min-heap on (rank, position); the
// lowest is applied, stale entries are dropped when popped, and the new neighbours are queued.
#include "bpe.hpp"

#include <algorithm>
#include <cstdio>
#include <queue>

#include "tokenizer.hpp"
#include "utf8.hpp"

namespace tok {

namespace {

constexpr size_t kCacheCapacity = 10000;
constexpr size_t kCacheMaxWord = 256;

}  // namespace

Bpe::Bpe(RawVocab vocab, const RawMerges& merges, BpeOptions options)
    : raw_(std::move(vocab)), opt_(std::move(options)) {
    vocab_.reserve(raw_.entries.size());
    uint32_t max_id = 0;
    for (const auto& e : raw_.entries) {
        vocab_.insert_or_assign(std::string_view(raw_.arena).substr(e.offset, e.length), e.id);
        max_id = std::max(max_id, e.id);
    }
    if (!raw_.entries.empty()) {
        // Ids index a dense table; a definition whose ids leave most of it empty is refused
        // rather than allowed to claim gigabytes.
        if (max_id > 16 * raw_.entries.size() + 65536)
            throw Error("vocabulary id " + std::to_string(max_id) + " is far beyond the vocabulary size");
        by_id_.assign(static_cast<size_t>(max_id) + 1, std::string_view());
    }
    // Where two tokens share an id, the first in the file is the one decoded.
    std::vector<bool> taken(by_id_.size(), false);
    for (const auto& e : raw_.entries) {
        if (taken[e.id]) continue;
        taken[e.id] = true;
        by_id_[e.id] = std::string_view(raw_.arena).substr(e.offset, e.length);
    }

    merges_.reserve(merges.pairs.size());
    const size_t prefix_len = opt_.continuing_subword_prefix.size();
    std::string joined;
    std::string_view arena(merges.arena);
    for (size_t rank = 0; rank < merges.pairs.size(); ++rank) {
        const auto& p = merges.pairs[rank];
        std::string_view a = arena.substr(p[0], p[1]);
        std::string_view b = arena.substr(p[2], p[3]);
        uint32_t a_id = vocab_.find(a);
        if (a_id == StringMap::npos) throw Error("Merge token `" + std::string(a) + "` out of vocabulary");
        uint32_t b_id = vocab_.find(b);
        if (b_id == StringMap::npos) throw Error("Merge token `" + std::string(b) + "` out of vocabulary");
        joined.assign(a);
        // The right part loses its continuation prefix in the merged token.
        joined.append(b.substr(std::min(prefix_len, b.size())));
        uint32_t new_id = vocab_.find(joined);
        if (new_id == StringMap::npos) throw Error("Merge token `" + joined + "` out of vocabulary");
        merges_.insert_or_assign(a_id, b_id, {static_cast<uint32_t>(rank), new_id});
    }

    all_bytes_ = true;
    for (int b = 0; b < 256; ++b) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", b);
        byte_ids_[b] = vocab_.find(name);
        if (byte_ids_[b] == StringMap::npos) all_bytes_ = false;
    }
}

void Bpe::tokenize(std::string_view word, std::vector<uint32_t>& out) const {
    if (word.empty()) return;
    if (opt_.ignore_merges) {
        uint32_t id = vocab_.find(word);
        if (id != StringMap::npos) {
            out.push_back(id);
            return;
        }
    }
    std::string key(word);
    {
        std::lock_guard<std::mutex> lock(cache_mutex_);
        auto it = cache_.find(key);
        if (it != cache_.end()) {
            out.insert(out.end(), it->second.begin(), it->second.end());
            return;
        }
    }
    size_t start = out.size();
    merge_word(word, out);
    if (word.size() < kCacheMaxWord) {
        std::lock_guard<std::mutex> lock(cache_mutex_);
        if (cache_.size() < kCacheCapacity)
            cache_.emplace(std::move(key), std::vector<uint32_t>(out.begin() + static_cast<long>(start), out.end()));
    }
}

void Bpe::merge_word(std::string_view w, std::vector<uint32_t>& out) const {
    struct Symbol {
        uint32_t id;
        int prev, next;
        bool alive;
    };
    std::vector<Symbol> symbols;
    symbols.reserve(w.size());
    auto add = [&](uint32_t id) {
        int n = static_cast<int>(symbols.size());
        symbols.push_back({id, n - 1, n + 1, true});
    };

    const bool has_prefix = !opt_.continuing_subword_prefix.empty();
    const bool has_suffix = !opt_.end_of_word_suffix.empty();
    uint32_t unk_id = StringMap::npos;  // a pending unknown, possibly fused over several characters
    std::string piece;
    size_t i = 0;
    while (i < w.size()) {
        size_t len = utf8::char_len(static_cast<unsigned char>(w[i]));
        std::string_view ch = w.substr(i, len);
        bool is_first = i == 0;
        bool is_last = i + len >= w.size();
        i += len;
        std::string_view s = ch;
        if ((has_prefix && !is_first) || (has_suffix && is_last)) {
            piece.clear();
            if (has_prefix && !is_first) piece.append(opt_.continuing_subword_prefix);
            piece.append(ch);
            if (has_suffix && is_last) piece.append(opt_.end_of_word_suffix);
            s = piece;
        }
        uint32_t id = vocab_.find(s);
        if (id != StringMap::npos) {
            if (unk_id != StringMap::npos) {
                add(unk_id);
                unk_id = StringMap::npos;
            }
            add(id);
            continue;
        }
        if (opt_.byte_fallback) {
            bool found = true;
            for (char b : s)
                if (byte_ids_[static_cast<unsigned char>(b)] == StringMap::npos) found = false;
            if (found) {
                for (char b : s) add(byte_ids_[static_cast<unsigned char>(b)]);
                continue;
            }
        }
        if (opt_.unk_token) {
            if (unk_id != StringMap::npos && opt_.fuse_unk) continue;
            if (unk_id != StringMap::npos) add(unk_id);
            uint32_t u = vocab_.find(*opt_.unk_token);
            if (u == StringMap::npos) throw Error("Unk token `" + *opt_.unk_token + "` not found in the vocabulary");
            unk_id = u;
        }
    }
    if (unk_id != StringMap::npos) add(unk_id);
    if (symbols.empty()) return;
    symbols.back().next = -1;

    struct Candidate {
        uint32_t rank;
        int pos;
        uint32_t new_id;
        bool operator>(const Candidate& o) const { return rank != o.rank ? rank > o.rank : pos > o.pos; }
    };
    std::vector<Candidate> heap_storage;
    heap_storage.reserve(symbols.size() * 2);
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<Candidate>> queue(
        std::greater<Candidate>(), std::move(heap_storage));
    for (size_t k = 0; k + 1 < symbols.size(); ++k) {
        if (const auto* m = merges_.find(symbols[k].id, symbols[k + 1].id))
            queue.push({m->rank, static_cast<int>(k), m->id});
    }
    while (!queue.empty()) {
        Candidate top = queue.top();
        queue.pop();
        Symbol& left = symbols[top.pos];
        if (!left.alive || left.next < 0) continue;
        Symbol& right = symbols[left.next];
        // An entry whose pair has changed since it was queued is stale.
        const auto* m = merges_.find(left.id, right.id);
        if (!m || m->id != top.new_id) continue;
        left.id = top.new_id;
        right.alive = false;
        left.next = right.next;
        if (left.next >= 0) symbols[left.next].prev = top.pos;
        if (left.prev >= 0) {
            if (const auto* pm = merges_.find(symbols[left.prev].id, left.id))
                queue.push({pm->rank, left.prev, pm->id});
        }
        if (left.next >= 0) {
            if (const auto* nm = merges_.find(left.id, symbols[left.next].id))
                queue.push({nm->rank, top.pos, nm->id});
        }
    }
    for (const Symbol& s : symbols)
        if (s.alive) out.push_back(s.id);
}

}  // namespace tok
