// ChatML rendering. There is no system turn: the instruction rides in the first
// user turn, which is how the model was tuned to receive it.
#include "prompt.h"

#include "text.h"

namespace brain {
namespace {

// Appends one user turn; the pending system text goes into the first such turn
// and is consumed there.
void append_user_turn(std::string& prompt, std::string_view& pending_system, std::string_view text) {
  prompt += USER_OPEN;
  if (!pending_system.empty()) {
    prompt += pending_system;
    prompt += "\n\n";
    pending_system = {};
  }
  prompt += trim_white_space(text);
  prompt += TURN_END;
}

}  // namespace

std::string render_chatml(std::string_view system, const History& history, std::string_view user) {
  std::string prompt;
  std::string_view pending_system = trim_white_space(system);
  for (const auto& [user_text, assistant_text] : history) {
    append_user_turn(prompt, pending_system, user_text);
    prompt += ASSISTANT_OPEN;
    prompt += trim_white_space(assistant_text);
    prompt += TURN_END;
  }
  append_user_turn(prompt, pending_system, user);
  prompt += ASSISTANT_OPEN;
  return prompt;
}

}  // namespace brain
