// Cutting a piece of text at pattern matches, with the five ways of treating the matches.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pieces.hpp"
#include "regex.hpp"
#include "utf8.hpp"

namespace tok {

enum class SplitBehavior { Removed, Isolated, MergedWithPrevious, MergedWithNext, Contiguous };

// Throws tok::Error naming `what` for an unknown behaviour.
SplitBehavior parse_behavior(const std::string& name, const std::string& what);

using Matches = std::vector<std::pair<Offsets, bool>>;

// Every character for which `pred` holds is a match of its own.
template <class Pred> Matches char_matches(std::string_view text, Pred pred) {
    Matches out;
    if (text.empty()) {
        out.push_back({{0, 0}, false});
        return out;
    }
    size_t last = 0, i = 0;
    while (i < text.size()) {
        size_t start = i;
        char32_t c = utf8::next(text, i);
        if (pred(c)) {
            if (last < start) out.push_back({{last, start}, false});
            out.push_back({{start, i}, true});
            last = i;
        }
    }
    if (last < text.size()) out.push_back({{last, text.size()}, false});
    return out;
}

// The stretches of text to keep, in order (possibly empty ones).
std::vector<Offsets> apply_behavior(Matches matches, SplitBehavior behavior, bool invert);

// Replaces every unsettled piece by its parts: `cut` gives the parts of one text as offsets.
// Empty parts vanish; only a part at offset 0 keeps the piece's at_start mark.
template <class Cut> void split_pieces(Pieces& pieces, Cut cut) {
    Pieces out;
    out.reserve(pieces.size());
    for (Piece& p : pieces) {
        if (p.id != kNoId) {
            out.push_back(std::move(p));
            continue;
        }
        for (auto [s, e] : cut(std::string_view(p.text))) {
            if (s == e) continue;
            out.push_back(Piece{p.text.substr(s, e - s), kNoId, p.at_start && s == 0});
        }
    }
    pieces.swap(out);
}

}  // namespace tok
