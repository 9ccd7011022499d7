// Normalizers: rewrite the text of each unsettled piece before it is cut into words.
#pragma once

#include <memory>
#include <string>

#include "definition.hpp"

namespace tok {

class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual void normalize(std::string& text) const = 0;
};

// Builds the normalizer a definition describes (null JSON gives null); throws tok::Error for an
// unknown or unsupported type.
std::unique_ptr<Normalizer> make_normalizer(const json& def);

}  // namespace tok
