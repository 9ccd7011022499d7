// Open-addressing tables for the two big lookups: token text -> id and id pair -> merge.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tok {

inline uint64_t hash_bytes(const char* p, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * 0xC2B2AE3D27D4EB4Full);
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    if (n) {
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0x94D049BB133111EBull;
        h ^= h >> 29;
    }
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
    return h;
}

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
}

// Maps byte strings kept in one arena to 32-bit values; a later insert of the same key replaces
// the value. Each slot holds the key's place in the arena, so a probe touches the slot and the
// key's bytes and nothing else.
class StringMap {
public:
    static constexpr uint32_t npos = UINT32_MAX;

    // `arena` must outlive the map and never move.
    void reset(const char* arena, size_t expected) {
        arena_ = arena;
        size_t cap = 16;
        while (cap * 2 < expected * 3) cap <<= 1;
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
        count_ = 0;
    }

    static uint64_t hash(std::string_view key) { return hash_bytes(key.data(), key.size()); }

    void prefetch(uint64_t h) const { __builtin_prefetch(&slots_[h & mask_]); }

    void insert_or_assign(uint32_t offset, uint32_t length, uint32_t value) {
        if ((count_ + 1) * 3 > slots_.size() * 2) grow();
        std::string_view key(arena_ + offset, length);
        uint64_t h = hash(key);
        uint32_t tag = static_cast<uint32_t>(h >> 32) | 1u;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.tag == 0) {
                s = Slot{tag, value, offset, length};
                ++count_;
                return;
            }
            if (s.tag == tag && key_of(s) == key) {
                s.value = value;
                return;
            }
        }
    }

    uint32_t find(std::string_view key) const { return find(key, hash(key)); }

    uint32_t find(std::string_view key, uint64_t h) const {
        if (slots_.empty()) return npos;
        uint32_t tag = static_cast<uint32_t>(h >> 32) | 1u;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.tag == 0) return npos;
            if (s.tag == tag && key_of(s) == key) return s.value;
        }
    }

    size_t size() const { return count_; }

private:
    struct Slot {
        uint32_t tag = 0;  // 0: empty
        uint32_t value = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
    };

    std::string_view key_of(const Slot& s) const { return std::string_view(arena_ + s.offset, s.length); }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        size_t n = count_;
        reset(arena_, n * 2 + 8);
        for (const Slot& s : old)
            if (s.tag) insert_or_assign(s.offset, s.length, s.value);
    }

    const char* arena_ = nullptr;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

// Maps an ordered pair of ids to the rank and result of their merge.
class PairMap {
public:
    struct Merge {
        uint32_t rank;
        uint32_t id;
    };

    void reserve(size_t n) {
        size_t cap = 16;
        while (cap * 2 < n * 3) cap <<= 1;
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
        count_ = 0;
    }

    static uint64_t key(uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; }
    void prefetch(uint64_t k) const { __builtin_prefetch(&slots_[mix64(k) & mask_]); }

    // A later insert of the same pair replaces the earlier one.
    void insert_or_assign(uint64_t k, Merge m) {
        if ((count_ + 1) * 3 > slots_.size() * 2) grow();
        for (size_t i = mix64(k) & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.merge.rank == kEmpty) {
                s = Slot{k, m};
                ++count_;
                return;
            }
            if (s.key == k) {
                s.merge = m;
                return;
            }
        }
    }

    const Merge* find(uint32_t a, uint32_t b) const {
        if (slots_.empty()) return nullptr;
        uint64_t k = key(a, b);
        for (size_t i = mix64(k) & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.merge.rank == kEmpty) return nullptr;
            if (s.key == k) return &s.merge;
        }
    }

    size_t size() const { return count_; }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;  // ranks stay below it
    struct Slot {
        uint64_t key = 0;
        Merge merge{kEmpty, 0};
    };

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        reserve(count_ * 2 + 8);
        for (const Slot& s : old)
            if (s.merge.rank != kEmpty) insert_or_assign(s.key, s.merge);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace tok
