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
// the value.
class StringMap {
public:
    static constexpr uint32_t npos = UINT32_MAX;

    // Keys are views into storage that outlives the map.
    void reserve(size_t n) {
        size_t cap = 16;
        while (cap < n * 2) cap <<= 1;
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
        keys_.reserve(n);
    }

    void insert_or_assign(std::string_view key, uint32_t value) {
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        uint64_t h = hash_bytes(key.data(), key.size());
        uint32_t tag = static_cast<uint32_t>(h >> 32) | 1u;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.tag == 0) {
                s.tag = tag;
                s.index = static_cast<uint32_t>(keys_.size());
                keys_.push_back(key);
                values_.push_back(value);
                return;
            }
            if (s.tag == tag && keys_[s.index] == key) {
                values_[s.index] = value;
                return;
            }
        }
    }

    uint32_t find(std::string_view key) const {
        if (slots_.empty()) return npos;
        uint64_t h = hash_bytes(key.data(), key.size());
        uint32_t tag = static_cast<uint32_t>(h >> 32) | 1u;
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.tag == 0) return npos;
            if (s.tag == tag && keys_[s.index] == key) return values_[s.index];
        }
    }

    size_t size() const { return keys_.size(); }

    template <class F> void for_each(F&& f) const {
        for (size_t i = 0; i < keys_.size(); ++i) f(keys_[i], values_[i]);
    }

private:
    struct Slot {
        uint32_t tag = 0;
        uint32_t index = 0;
    };

    void grow() {
        std::vector<std::string_view> keys;
        std::vector<uint32_t> values;
        keys.swap(keys_);
        values.swap(values_);
        reserve(keys.size() * 2 + 8);
        for (size_t i = 0; i < keys.size(); ++i) insert_or_assign(keys[i], values[i]);
    }

    std::vector<Slot> slots_;
    std::vector<std::string_view> keys_;
    std::vector<uint32_t> values_;
    size_t mask_ = 0;
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
        while (cap < n * 2) cap <<= 1;
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
    }

    // A later insert of the same pair replaces the earlier one.
    void insert_or_assign(uint32_t a, uint32_t b, Merge m) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        uint64_t key = (static_cast<uint64_t>(a) << 32) | b;
        for (size_t i = mix64(key) & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.used) {
                s = Slot{key, m, true};
                ++count_;
                return;
            }
            if (s.key == key) {
                s.merge = m;
                return;
            }
        }
    }

    const Merge* find(uint32_t a, uint32_t b) const {
        if (slots_.empty()) return nullptr;
        uint64_t key = (static_cast<uint64_t>(a) << 32) | b;
        for (size_t i = mix64(key) & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (!s.used) return nullptr;
            if (s.key == key) return &s.merge;
        }
    }

    size_t size() const { return count_; }

private:
    struct Slot {
        uint64_t key = 0;
        Merge merge{0, 0};
        bool used = false;
    };

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        count_ = 0;
        reserve(old.size() + 8);
        for (const Slot& s : old)
            if (s.used) insert_or_assign(static_cast<uint32_t>(s.key >> 32), static_cast<uint32_t>(s.key), s.merge);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace tok
