// Compiled Oniguruma patterns and the match iteration the pipeline splits and replaces with.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tok {

using Offsets = std::pair<size_t, size_t>;

class Regex {
public:
    // Compiles `pattern` as an Oniguruma regular expression, or as plain text when `literal`.
    // Throws tok::Error with Oniguruma's message when the pattern does not compile.
    Regex(std::string_view pattern, bool literal);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // Successive non-overlapping matches from the left; an empty match right where the previous
    // match ended is passed over by one character.
    std::vector<Offsets> find_all(std::string_view text) const;

    // The whole text cut into pieces: each match, and each stretch between matches, in order,
    // flagged as match or not; an empty text is one empty non-match.
    std::vector<std::pair<Offsets, bool>> find_matches(std::string_view text) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tok
