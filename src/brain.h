// The Brain: a loaded tokenizer and an opened engine, and the one chat turn
// run on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "olvu.h"
#include "prompt.h"
#include "result.h"

namespace tok {
class Tokenizer;
}

namespace brain {

// Sampling settings of every turn.
inline constexpr int32_t TOP_K = 40;
inline constexpr TokenId STOP_TOKEN = 248046;
inline constexpr float TEMPERATURE = 0.5f;
inline constexpr float TOP_P = 0.9f;
inline constexpr float REPETITION_PENALTY = 1.1f;

inline constexpr std::string_view RETRY_LINE =
    "[olvu-m] prefill interrupted \u2014 engine reset, one full re-prefill\n";
inline constexpr std::string_view PROMPT_TOO_LONG = "prompt too long for context";

class Brain {
 public:
  // Loads the tokenizer (an error text "tokenizer: ..." when it cannot, before
  // anything else is done), then opens the engine with the worker count of
  // `worker_count()`. A weights file that cannot be loaded ends the process
  // inside the engine.
  static Result<Brain> open(const std::filesystem::path& weights, const std::filesystem::path& tokenizer);

  // One chat turn: renders and encodes the prompt, starts the engine on it
  // (once more after a reset when it is refused), draws at most `max_new` ids
  // and hands each newly decoded piece of the answer to `on_piece`. Writes the
  // turn timing line to standard error and returns the answer, or an error
  // text. Output failures throw OutputError.
  Result<std::string> chat_stream(std::string_view system, const History& history, std::string_view user,
                                  size_t max_new, uint64_t seed,
                                  const std::function<void(std::string_view)>& on_piece);

  Brain(Brain&&) noexcept;
  Brain& operator=(Brain&&) noexcept;
  ~Brain();  // releases the tokenizer; the engine stays open until the process ends

 private:
  Brain(std::unique_ptr<tok::Tokenizer> tokenizer, Engine* engine);

  std::unique_ptr<tok::Tokenizer> tokenizer_;
  Engine* engine_;
};

}  // namespace brain
