// Weights-file choice.
#include "artifact.h"

#include <cstdlib>
#include <system_error>

#include "text.h"

namespace brain {

std::optional<std::filesystem::path> pick_artifact(const std::filesystem::path& model_dir) {
  if (const char* env = std::getenv("OLVU_M_MODEL"); env && is_valid_utf8(env))
    return std::filesystem::path(env);
  std::filesystem::path candidate = model_dir / DEFAULT_ARTIFACT;
  std::error_code ec;
  if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  return std::nullopt;
}

}  // namespace brain
