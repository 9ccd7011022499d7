// Truncation and padding of a single encoding to the lengths a definition asks for.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "definition.hpp"

namespace tok {

enum class Side { Left, Right };

struct Truncation {
    size_t max_length = 0;
    size_t stride = 0;
    Side direction = Side::Right;
    enum class Strategy { LongestFirst, OnlyFirst, OnlySecond } strategy = Strategy::LongestFirst;

    // Keeps at most `max_length` ids (less `reserved` for the special tokens still to come);
    // throws tok::Error where the definition cannot be honoured.
    void apply(std::vector<uint32_t>& ids, size_t reserved) const;
};

struct Padding {
    std::optional<size_t> fixed;  // none: as long as the longest of the batch, here the encoding
    std::optional<size_t> multiple_of;
    Side direction = Side::Right;
    uint32_t pad_id = 0;

    void apply(std::vector<uint32_t>& ids) const;
};

// Null JSON gives none; throws tok::Error for a malformed section.
std::optional<Truncation> make_truncation(const json& def);
std::optional<Padding> make_padding(const json& def);

}  // namespace tok
