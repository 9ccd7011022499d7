// UTF-8 decoding by the well-formed byte sequences of the Unicode standard.
#include "text.h"

#include <cstdint>

namespace brain {
namespace {

struct Decoded {
  char32_t cp;
  size_t len;    // bytes of a valid character, or 0 when ill-formed
  size_t bad;    // length of the maximal ill-formed subpart when len is 0
};

Decoded decode_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return {c, 1, 0};
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2, cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3, cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {0, 0, 1};
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {0, 0, k};
    const unsigned char t = b(i + k);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) return {0, 0, k};
    cp = (cp << 6) | (t & 0x3F);
  }
  return {cp, need + 1, 0};
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Decoded d = decode_at(bytes, i);
    if (d.len == 0) return false;
    i += d.len;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const Decoded d = decode_at(bytes, i);
    if (d.len) {
      out.append(bytes.substr(i, d.len));
      i += d.len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += d.bad;
    }
  }
  return out;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const Decoded d = decode_at(text, begin);
    if (d.len == 0 || !is_unicode_white_space(d.cp)) break;
    begin += d.len;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last character (at most three continuation bytes).
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80u)
      --start;
    const Decoded d = decode_at(text.substr(0, end), start);
    if (d.len != end - start || !is_unicode_white_space(d.cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace brain
