// Match treatment for splitting: which stretches stay, and how matches join their neighbours.
#include "split.hpp"

#include <algorithm>

#include "tokenizer.hpp"

namespace tok {

SplitBehavior parse_behavior(const std::string& name, const std::string& what) {
    if (name == "Removed") return SplitBehavior::Removed;
    if (name == "Isolated") return SplitBehavior::Isolated;
    if (name == "MergedWithPrevious") return SplitBehavior::MergedWithPrevious;
    if (name == "MergedWithNext") return SplitBehavior::MergedWithNext;
    if (name == "Contiguous") return SplitBehavior::Contiguous;
    throw Error("unknown variant `" + name + "` for `behavior` in " + what +
                ", expected one of `Removed`, `Isolated`, `MergedWithPrevious`, `MergedWithNext`, `Contiguous`");
}

std::vector<Offsets> apply_behavior(Matches matches, SplitBehavior behavior, bool invert) {
    if (invert)
        for (auto& m : matches) m.second = !m.second;
    std::vector<Offsets> out;
    out.reserve(matches.size());
    switch (behavior) {
        case SplitBehavior::Isolated:
            for (auto& m : matches) out.push_back(m.first);
            break;
        case SplitBehavior::Removed:
            for (auto& m : matches)
                if (!m.second) out.push_back(m.first);
            break;
        case SplitBehavior::Contiguous: {
            bool previous = false;
            for (auto& [off, is_match] : matches) {
                if (is_match == previous && !out.empty())
                    out.back().second = off.second;
                else
                    out.push_back(off);
                previous = is_match;
            }
            break;
        }
        case SplitBehavior::MergedWithPrevious: {
            bool previous = false;
            for (auto& [off, is_match] : matches) {
                if (is_match && !previous && !out.empty())
                    out.back().second = off.second;
                else
                    out.push_back(off);
                previous = is_match;
            }
            break;
        }
        case SplitBehavior::MergedWithNext: {
            bool previous = false;
            for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
                auto& [off, is_match] = *it;
                if (is_match && !previous && !out.empty())
                    out.back().first = off.first;
                else
                    out.push_back(off);
                previous = is_match;
            }
            std::reverse(out.begin(), out.end());
            break;
        }
    }
    return out;
}

}  // namespace tok
