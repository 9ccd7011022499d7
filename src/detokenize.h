// Incremental detokenisation: which part of a fresh decode of the whole answer
// is new text to hand on.
#pragma once

#include <optional>
#include <string_view>

#include "text.h"

namespace brain {

// The piece beyond the previous text's length, when the decoded text is longer
// in bytes and that length falls on a character boundary of it; otherwise none.
// The previous text need not be a prefix: a decoder may rewrite earlier bytes
// (a replacement character completed into a real one), and the piece is still
// measured from the previous length.
inline std::optional<std::string_view> new_piece(std::string_view previous, std::string_view decoded) {
  if (decoded.size() <= previous.size() || !is_char_boundary(decoded, previous.size()))
    return std::nullopt;
  return decoded.substr(previous.size());
}

}  // namespace brain
