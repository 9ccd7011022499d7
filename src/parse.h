// Strict decimal parsers for numbers read from the environment and from
// platform commands: no white space, no other characters, no overflow.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brain {

// An optional single "+", then one or more ASCII digits; the value fits in 64 bits.
std::optional<uint64_t> parse_u64_decimal(std::string_view text);

// An optional single "+" or "-", then one or more ASCII digits; the value fits in 32 bits.
std::optional<int32_t> parse_i32_decimal(std::string_view text);

}  // namespace brain
