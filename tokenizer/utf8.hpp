// UTF-8 walking, validation and lossy repair shared by every stage of the pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tok::utf8 {

// Length in bytes of the character whose lead byte is `lead` (valid text only).
inline size_t char_len(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Decodes the character at s[i] of valid UTF-8 text; advances i past it.
inline char32_t next(std::string_view s, size_t& i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) { ++i; return b0; }
    if (b0 < 0xE0) {
        char32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
        i += 2;
        return c;
    }
    if (b0 < 0xF0) {
        char32_t c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                     (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
        i += 3;
        return c;
    }
    char32_t c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
    i += 4;
    return c;
}

// Decodes the character that ends just before s[i] of valid UTF-8 text; moves i back to its start.
inline char32_t prev(std::string_view s, size_t& i) {
    size_t j = i - 1;
    while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0u) == 0x80u) --j;
    size_t k = j;
    char32_t c = next(s, k);
    i = j;
    return c;
}

void append(std::string& out, char32_t c);

// Where and how a byte sequence fails to be UTF-8.
struct Invalid {
    size_t index;        // offset of the first byte of the bad sequence
    size_t length;       // 0 when the text ends inside a sequence, else bytes of the bad sequence
};

// Checks well-formedness (no surrogates, no overlongs, nothing above U+10FFFF).
std::optional<Invalid> validate(std::string_view s);

// Error text for an invalid sequence, worded like the reference library's.
std::string describe(const Invalid& bad);

// Replaces each maximal ill-formed subsequence with U+FFFD.
std::string lossy(std::string_view bytes);

}  // namespace tok::utf8
