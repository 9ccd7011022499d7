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
    // The tables are far larger than the caches, so lookups go in blocks: hash and prefetch a
    // block first, then probe it, and most probes find their slot already loaded.
    constexpr size_t kBlock = 32;
    const auto& entries = raw_.entries;
    vocab_.reset(raw_.arena.data(), entries.size());
    uint32_t max_id = 0;
    for (size_t base = 0; base < entries.size(); base += kBlock) {
        size_t end = std::min(entries.size(), base + kBlock);
        for (size_t k = base; k < end; ++k)
            vocab_.prefetch(StringMap::hash(std::string_view(raw_.arena).substr(entries[k].offset, entries[k].length)));
        for (size_t k = base; k < end; ++k) {
            vocab_.insert_or_assign(entries[k].offset, entries[k].length, entries[k].id);
            max_id = std::max(max_id, entries[k].id);
        }
    }
    if (!entries.empty()) {
        // Ids index a dense table; a definition whose ids leave most of it empty is refused
        // rather than allowed to claim gigabytes.
        if (max_id > 16 * entries.size() + 65536)
            throw Error("vocabulary id " + std::to_string(max_id) + " is far beyond the vocabulary size");
        by_id_.assign(static_cast<size_t>(max_id) + 1, std::string_view());
    }
    // Where two tokens share an id, the first in the file is the one decoded.
    for (const auto& e : entries)
        if (!by_id_[e.id].data()) by_id_[e.id] = std::string_view(raw_.arena).substr(e.offset, e.length);

    merges_.reserve(merges.pairs.size());
    const size_t prefix_len = opt_.continuing_subword_prefix.size();
    std::string_view arena(merges.arena);
    std::string joined;
    std::vector<uint32_t> joined_end;
    uint64_t ha[kBlock], hb[kBlock], hj[kBlock], keys[kBlock];
    uint32_t a_ids[kBlock], b_ids[kBlock], new_ids[kBlock];
    for (size_t base = 0; base < merges.pairs.size(); base += kBlock) {
        size_t n = std::min(merges.pairs.size() - base, kBlock);
        auto left = [&](size_t k) { return arena.substr(merges.pairs[base + k][0], merges.pairs[base + k][1]); };
        auto right = [&](size_t k) { return arena.substr(merges.pairs[base + k][2], merges.pairs[base + k][3]); };
        for (size_t k = 0; k < n; ++k) {
            ha[k] = StringMap::hash(left(k));
            hb[k] = StringMap::hash(right(k));
            vocab_.prefetch(ha[k]);
            vocab_.prefetch(hb[k]);
        }
        joined.clear();
        joined_end.clear();
        for (size_t k = 0; k < n; ++k) {
            a_ids[k] = vocab_.find(left(k), ha[k]);
            b_ids[k] = vocab_.find(right(k), hb[k]);
            size_t start = joined.size();
            joined.append(left(k));
            // The right part loses its continuation prefix in the merged token.
            joined.append(right(k).substr(std::min(prefix_len, right(k).size())));
            joined_end.push_back(static_cast<uint32_t>(joined.size()));
            hj[k] = StringMap::hash(std::string_view(joined).substr(start));
            vocab_.prefetch(hj[k]);
        }
        for (size_t k = 0; k < n; ++k) {
            size_t start = k ? joined_end[k - 1] : 0;
            std::string_view j = std::string_view(joined).substr(start, joined_end[k] - start);
            if (a_ids[k] == StringMap::npos) throw Error("Merge token `" + std::string(left(k)) + "` out of vocabulary");
            if (b_ids[k] == StringMap::npos) throw Error("Merge token `" + std::string(right(k)) + "` out of vocabulary");
            new_ids[k] = vocab_.find(j, hj[k]);
            if (new_ids[k] == StringMap::npos) throw Error("Merge token `" + std::string(j) + "` out of vocabulary");
            keys[k] = PairMap::key(a_ids[k], b_ids[k]);
            merges_.prefetch(keys[k]);
        }
        for (size_t k = 0; k < n; ++k) merges_.insert_or_assign(keys[k], {static_cast<uint32_t>(base + k), new_ids[k]});
    }

    for (int b = 0; b < 256; ++b) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", b);
        byte_ids_[b] = vocab_.find(name);
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
