// UTF-8 helpers of the front end: validity, lossy repair, white-space trimming
// and the character-boundary test the streaming decoder relies on.
#pragma once

#include <string>
#include <string_view>

namespace brain {

bool is_valid_utf8(std::string_view bytes);

// Each invalid sequence (a maximal ill-formed subpart) becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// True for the characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

// Removes White_Space characters at both ends; inner text is untouched.
// Bytes that do not form a valid character stop the trimming.
std::string_view trim_white_space(std::string_view text);

// True when `index` does not fall inside a multi-byte character of `text`.
inline bool is_char_boundary(std::string_view text, size_t index) {
  if (index == 0 || index >= text.size()) return index <= text.size();
  return (static_cast<unsigned char>(text[index]) & 0xC0u) != 0x80u;
}

}  // namespace brain
