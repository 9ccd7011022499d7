// The text of one encoding as it moves through the pipeline: a list of pieces, some already
// settled as added tokens, the rest still to be cut up and handed to the model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tok {

constexpr uint32_t kNoId = UINT32_MAX;

struct Piece {
    std::string text;
    uint32_t id = kNoId;    // the added token this piece was matched as, else kNoId
    bool at_start = false;  // begins where the original text begins
};

using Pieces = std::vector<Piece>;

}  // namespace tok
