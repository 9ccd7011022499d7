// The byte <-> printable character table of byte-level tokenizers: every byte is shown as one
// visible character so that token texts never hold raw control bytes or broken UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace tok::byte_level {

// The character (as UTF-8) standing for byte b.
std::string_view char_of(unsigned char b);
// The byte a character stands for, or -1 when it stands for none.
int byte_of(char32_t c);
// Every byte of `text` replaced by its character.
std::string encode(std::string_view text);

}  // namespace tok::byte_level
