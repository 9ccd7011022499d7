// Reading a tokenizer.json text: the model's vocabulary and merges go straight into flat arrays,
// everything else into a JSON document.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tok {

using json = nlohmann::json;

struct RawVocab {
    struct Entry {
        uint32_t offset, length, id;
    };
    std::string arena;  // every token's bytes, back to back
    std::vector<Entry> entries;  // in file order
};

struct RawMerges {
    std::string arena;
    std::vector<std::array<uint32_t, 4>> pairs;  // offset and length of the left, then the right
};

struct Definition {
    json doc;  // the whole definition except what was read into the arrays below
    std::optional<RawVocab> vocab;  // "model"."vocab" when it is an object
    std::optional<RawMerges> merges;  // "model"."merges" when it is an array
};

// Throws tok::Error for text that is not JSON or whose vocabulary or merges are malformed.
Definition parse_definition(std::string_view text);

// JSON type names for error messages.
std::string type_name(const json& v);

}  // namespace tok
