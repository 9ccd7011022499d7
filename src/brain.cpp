// Opening a Brain: tokenizer first, so a bad tokenizer path costs nothing else;
// then the engine, which owns every failure of the weights file.
#include "brain.h"

#include <exception>

#include "machine.h"
#include "text.h"
#include "tokenizer/tokenizer.hpp"

namespace brain {

Brain::Brain(std::unique_ptr<tok::Tokenizer> tokenizer, Engine* engine)
    : tokenizer_(std::move(tokenizer)), engine_(engine) {}
Brain::Brain(Brain&&) noexcept = default;
Brain& Brain::operator=(Brain&&) noexcept = default;
Brain::~Brain() = default;

Result<Brain> Brain::open(const std::filesystem::path& weights, const std::filesystem::path& tokenizer) {
  std::unique_ptr<tok::Tokenizer> loaded;
  try {
    loaded.reset(new tok::Tokenizer(tok::Tokenizer::from_file(tokenizer.string())));
  } catch (const std::exception& e) {
    return ErrorText{std::string("tokenizer: ") + e.what()};
  }
  // The engine takes a C string: invalid UTF-8 is repaired, and a NUL inside
  // the path would silently name another file, so it is refused.
  const std::string path = utf8_lossy(weights.native());
  if (path.find('\0') != std::string::npos) return ErrorText{"weights path contains a NUL byte"};
  Engine* engine = olvu_open(path.c_str(), worker_count());
  return Brain(std::move(loaded), engine);
}

}  // namespace brain
