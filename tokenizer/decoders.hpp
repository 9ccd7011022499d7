// Decoders: turn the token texts of a decode back into the text they stand for.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "definition.hpp"

namespace tok {

class Decoder {
public:
    virtual ~Decoder() = default;
    // Rewrites the list of token texts; the decode is their concatenation afterwards.
    virtual void decode_chain(std::vector<std::string>& tokens) const = 0;
};

// Builds the decoder a definition describes (null JSON gives null); throws tok::Error for an
// unknown or unsupported type.
std::unique_ptr<Decoder> make_decoder(const json& def);

}  // namespace tok
