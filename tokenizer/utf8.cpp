// UTF-8 validation and lossy repair following the Unicode "maximal subpart" rule.
#include "utf8.hpp"

#include <cstring>

namespace tok::utf8 {

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

namespace {

// Length of the well-formed character at s[i], or the number of bytes that form the longest
// valid prefix of one (as a negative count, at least one byte) when it is ill-formed.
// `truncated` tells whether the prefix was cut by the end of the text.
long scan(std::string_view s, size_t i, bool& truncated) {
    truncated = false;
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    size_t got = 1;
    for (size_t k = 0; k < need; ++k) {
        if (i + got >= s.size()) {
            truncated = true;
            return -static_cast<long>(got);
        }
        auto b = static_cast<unsigned char>(s[i + got]);
        if (b < lo || b > hi) return -static_cast<long>(got);
        lo = 0x80;
        hi = 0xBF;
        ++got;
    }
    return static_cast<long>(got);
}

// Skips a run of ASCII bytes eight at a time.
size_t skip_ascii(std::string_view s, size_t i) {
    while (i + 8 <= s.size()) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
    }
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    return i;
}

}  // namespace

std::optional<Invalid> validate(std::string_view s) {
    size_t i = 0;
    while (true) {
        i = skip_ascii(s, i);
        if (i >= s.size()) return std::nullopt;
        bool truncated;
        long n = scan(s, i, truncated);
        if (n < 0) return Invalid{i, truncated ? 0 : static_cast<size_t>(-n)};
        i += static_cast<size_t>(n);
    }
}

std::string describe(const Invalid& bad) {
    if (bad.length == 0)
        return "incomplete utf-8 byte sequence from index " + std::to_string(bad.index);
    return "invalid utf-8 sequence of " + std::to_string(bad.length) + " bytes from index " +
           std::to_string(bad.index);
}

std::string lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        size_t j = skip_ascii(s, i);
        out.append(s.data() + i, j - i);
        i = j;
        if (i >= s.size()) break;
        bool truncated;
        long n = scan(s, i, truncated);
        if (n > 0) {
            out.append(s.data() + i, static_cast<size_t>(n));
            i += static_cast<size_t>(n);
        } else {
            out.append("\xEF\xBF\xBD");
            i += static_cast<size_t>(-n);
        }
    }
    return out;
}

}  // namespace tok::utf8
