// The ChatML prompt of one turn.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brain {

inline constexpr std::string_view USER_OPEN = "<|im_start|>user\n";
inline constexpr std::string_view ASSISTANT_OPEN = "<|im_start|>assistant\n";
inline constexpr std::string_view TURN_END = "<|im_end|>\n";

// Earlier turns, in order: (user text, assistant text).
using History = std::vector<std::pair<std::string, std::string>>;

// Every earlier turn, then the user text as the last user turn, then the
// opening of the assistant turn. All texts are trimmed of white space; the
// trimmed system text and a blank line head the first user turn only.
std::string render_chatml(std::string_view system, const History& history, std::string_view user);

}  // namespace brain
