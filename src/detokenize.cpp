// Streaming an answer's text as its ids arrive: hold back what a later token
// may still change, never repeat or contradict what is already out.
#include "detokenize.h"

#include <exception>

#include "text.h"

namespace brain {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Bytes at the end of `text` that begin a well-formed character without
// completing it.
size_t incomplete_tail(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  for (size_t k = 1; k <= 3 && k <= text.size(); ++k) {
    const size_t start = text.size() - k;
    const unsigned char c = byte(start);
    if ((c & 0xC0u) == 0x80u) continue;  // a continuation byte: its lead lies further back
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the byte after the lead
    if (c >= 0xC2 && c <= 0xDF) {
      need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return 0;  // ASCII, or a byte no character starts with
    }
    if (k >= need) return 0;
    if (k > 1 && (byte(start + 1) < lo || byte(start + 1) > hi)) return 0;
    return k;
  }
  return 0;
}

}  // namespace

size_t settled_length(std::string_view decoded) {
  size_t n = decoded.size() - incomplete_tail(decoded);
  while (n >= REPLACEMENT.size() && decoded.substr(n - REPLACEMENT.size(), REPLACEMENT.size()) == REPLACEMENT)
    n -= REPLACEMENT.size();
  return n;
}

size_t new_text_offset(std::string_view base, std::string_view decoded) {
  if (decoded.size() <= base.size()) return decoded.size();
  if (decoded.starts_with(base)) return base.size();
  // The decoder rewrote text already handed on. A byte-level decoder cannot,
  // once a trailing U+FFFD is held back: appending bytes only ever completes
  // the last, incomplete character. A byte-fallback decoder can: a run of byte
  // tokens that is not UTF-8 shows every byte of it as U+FFFD, valid ones too
  // ("<0x41>" shows "A"; "<0x41>", "<0xE4>", "x" show two U+FFFD and "x"), and
  // so can a replacement after fusing whose pattern spans tokens. Text written out
  // cannot be retracted: past the longest common prefix of the two, the text
  // handed on stands in for the decode's own up to the base's length, and the
  // new text starts at the first character boundary there, so that nothing
  // handed on is repeated or contradicted. In such a turn the pieces differ
  // from the final decode in the rewritten stretch.
  size_t offset = base.size();
  while (offset < decoded.size() && !is_char_boundary(decoded, offset)) ++offset;
  return offset;
}

std::string_view PieceStream::take(std::string_view text) {
  const size_t offset = new_text_offset(base_, text);
  if (offset == text.size()) return {};
  base_.assign(text);
  return text.substr(offset);
}

std::string_view PieceStream::next(std::string_view decoded) {
  return take(decoded.substr(0, settled_length(decoded)));
}

std::string_view PieceStream::finish(std::string_view decoded) { return take(decoded); }

Result<Answer> stream_answer(size_t max_new, const std::function<int64_t()>& next_id,
                             const std::function<std::string(const std::vector<uint32_t>&)>& decode,
                             const std::function<void(std::string_view)>& on_piece) {
  Answer answer;
  PieceStream pieces;
  for (size_t step = 0; step < max_new; ++step) {
    const int64_t id = next_id();
    if (id < 0) break;
    answer.ids.push_back(static_cast<uint32_t>(id));
    try {
      answer.text = decode(answer.ids);
    } catch (const std::exception& e) {
      return ErrorText{e.what()};
    }
    if (const std::string_view piece = pieces.next(answer.text); !piece.empty()) on_piece(piece);
  }
  if (const std::string_view rest = pieces.finish(answer.text); !rest.empty()) on_piece(rest);
  return answer;
}

}  // namespace brain
