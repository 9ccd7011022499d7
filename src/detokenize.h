// Incremental detokenisation: the generation loop of a turn and the rule that
// picks, from a fresh decode of the whole answer after every id, the text to
// hand on, so that the pieces add up to the answer's final decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace brain {

// Length of the part of a decode that a later token can no longer change: all
// of it but a trailing incomplete character and then a trailing run of U+FFFD.
// A byte-level decoder shows the start of a character split over tokens as one
// U+FFFD, a byte-fallback decoder as one per byte; either turns into the real
// character, of another length, when the rest arrives.
size_t settled_length(std::string_view decoded);

// Where the new text of `decoded` begins, given `base`, the decode that the
// text handed on so far stands for; decoded.size() when there is none. A
// decode that is not longer than the base has no new text.
size_t new_text_offset(std::string_view base, std::string_view decoded);

// The pieces of one answer, from successive decodes of its growing id list.
class PieceStream {
 public:
  // During the turn: the piece to hand on after this decode, empty for none.
  // What a later token may still change is held back.
  std::string_view next(std::string_view decoded);
  // At the end of the turn, with the last decode: everything not yet handed on.
  std::string_view finish(std::string_view decoded);

 private:
  std::string_view take(std::string_view text);
  std::string base_;
};

struct Answer {
  std::vector<uint32_t> ids;  // every id drawn, whether or not it added text
  std::string text;           // the decode of all of them
};

// Draws at most `max_new` ids from `next_id` (a negative id ends the answer
// early), decodes the whole list after each and hands the pieces to
// `on_piece`, what was held back last of all. An exception from `decode` ends
// the answer with its message as the error text; exceptions from `on_piece`
// pass through.
Result<Answer> stream_answer(size_t max_new, const std::function<int64_t()>& next_id,
                             const std::function<std::string(const std::vector<uint32_t>&)>& decode,
                             const std::function<void(std::string_view)>& on_piece);

}  // namespace brain
