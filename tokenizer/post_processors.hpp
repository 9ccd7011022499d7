// Post-processors: the special tokens put around an encoding when the caller asks for them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "definition.hpp"

namespace tok {

class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    // How many ids process() adds to a single sequence.
    virtual size_t added_tokens() const = 0;
    virtual void process(std::vector<uint32_t>& ids) const = 0;
};

// Builds the post-processor a definition describes (null JSON gives null); throws tok::Error for
// an unknown or unsupported type.
std::unique_ptr<PostProcessor> make_post_processor(const json& def);

}  // namespace tok
