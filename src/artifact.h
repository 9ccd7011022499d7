// The choice of the weights file: the environment's path, else the default
// file in the model directory.
#pragma once

#include <filesystem>
#include <optional>

namespace brain {

inline constexpr const char* DEFAULT_ARTIFACT = "olvu-m-qwen38d-q8e16.olvt";

// OLVU_M_MODEL when set and valid UTF-8, taken as it stands (not joined, not
// tested, even when empty); else model_dir/DEFAULT_ARTIFACT when that names a
// regular file (links followed); else none.
std::optional<std::filesystem::path> pick_artifact(const std::filesystem::path& model_dir);

}  // namespace brain
