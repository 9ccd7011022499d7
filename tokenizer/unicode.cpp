// Character classes through utf8proc and Oniguruma's tables; normalisation through utf8proc.
#include "unicode.hpp"

#include <cstdlib>
#include <new>

#include <oniguruma.h>
#include <utf8proc.h>

#include "utf8.hpp"

namespace tok::unicode {

bool is_whitespace(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
        case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_numeric(char32_t c) {
    if (c < 0x80) return c >= '0' && c <= '9';
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return cat == UTF8PROC_CATEGORY_ND || cat == UTF8PROC_CATEGORY_NL || cat == UTF8PROC_CATEGORY_NO;
}

bool is_word(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return ONIGENC_IS_CODE_WORD(ONIG_ENCODING_UTF8, static_cast<OnigCodePoint>(c));
}

bool is_mark(char32_t c) {
    auto cat = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_MC || cat == UTF8PROC_CATEGORY_ME;
}

std::string to_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : static_cast<char>(b));
            ++i;
            continue;
        }
        char32_t c = utf8::next(s, i);
        if (c == 0x130) {
            // The only unconditional lower-case mapping that is longer than one character.
            out.append("i\xCC\x87");
            continue;
        }
        utf8::append(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
    }
    return out;
}

std::string normalize(std::string_view s, Form form) {
    bool ascii = true;
    for (char ch : s) {
        if (static_cast<unsigned char>(ch) >= 0x80) { ascii = false; break; }
    }
    if (ascii) return std::string(s);
    int options = UTF8PROC_STABLE;
    switch (form) {
        case Form::NFC: options |= UTF8PROC_COMPOSE; break;
        case Form::NFD: options |= UTF8PROC_DECOMPOSE; break;
        case Form::NFKC: options |= UTF8PROC_COMPOSE | UTF8PROC_COMPAT; break;
        case Form::NFKD: options |= UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT; break;
    }
    utf8proc_uint8_t* result = nullptr;
    auto n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                          static_cast<utf8proc_ssize_t>(s.size()), &result,
                          static_cast<utf8proc_option_t>(options));
    if (n < 0) {
        if (n == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
        // Only valid text reaches here, so any other failure leaves the text as it is.
        return std::string(s);
    }
    std::string out(reinterpret_cast<const char*>(result), static_cast<size_t>(n));
    std::free(result);
    return out;
}

}  // namespace tok::unicode
