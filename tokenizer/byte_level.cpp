// Printable bytes stand for themselves; the others take code points from U+0100 upward, in order.
#include "byte_level.hpp"

#include <array>

#include "utf8.hpp"

namespace tok::byte_level {

namespace {

struct Table {
    std::array<std::string, 256> chars;
    std::array<int, 0x144> bytes;

    Table() {
        bytes.fill(-1);
        unsigned next = 256;
        for (unsigned b = 0; b < 256; ++b) {
            bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
            char32_t c = printable ? b : next++;
            utf8::append(chars[b], c);
            bytes[c] = static_cast<int>(b);
        }
    }
};

const Table& table() {
    static const Table t;
    return t;
}

}  // namespace

std::string_view char_of(unsigned char b) { return table().chars[b]; }

int byte_of(char32_t c) { return c < 0x144 ? table().bytes[c] : -1; }

std::string encode(std::string_view text) {
    const Table& t = table();
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char ch : text) out.append(t.chars[static_cast<unsigned char>(ch)]);
    return out;
}

}  // namespace tok::byte_level
