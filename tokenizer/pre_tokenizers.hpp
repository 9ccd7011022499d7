// Pre-tokenizers: cut each unsettled piece into the words the model encodes one by one.
#pragma once

#include <memory>

#include "definition.hpp"
#include "pieces.hpp"

namespace tok {

class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;
    virtual void pre_tokenize(Pieces& pieces) const = 0;
};

// Builds the pre-tokenizer a definition describes (null JSON gives null); throws tok::Error for
// an unknown or unsupported type.
std::unique_ptr<PreTokenizer> make_pre_tokenizer(const json& def);

}  // namespace tok
