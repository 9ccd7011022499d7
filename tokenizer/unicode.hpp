// Character classes and case mapping the pipeline needs, with the reference library's meanings.
#pragma once

#include <string>
#include <string_view>

namespace tok::unicode {

// Unicode White_Space property.
bool is_whitespace(char32_t c);
// General categories Nd, Nl and No.
bool is_numeric(char32_t c);
// Oniguruma's Unicode word class (letters, marks, decimal digits, connector punctuation).
bool is_word(char32_t c);
// General categories Mn, Mc and Me.
bool is_mark(char32_t c);

// Full (unconditional) lower-case mapping of every character of valid UTF-8 text.
std::string to_lower(std::string_view s);

enum class Form { NFC, NFD, NFKC, NFKD };
// Unicode normalisation of valid UTF-8 text.
std::string normalize(std::string_view s, Form form);

}  // namespace tok::unicode
