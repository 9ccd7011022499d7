// One chat turn: prompt, prefill (with one reset and retry when the engine
// refuses the prompt), token-by-token generation with incremental
// detokenisation, and the turn timing line.
#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <vector>

#include "brain.h"
#include "detokenize.h"
#include "output.h"
#include "tokenizer/tokenizer.hpp"

namespace brain {
namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Result<std::string> Brain::chat_stream(std::string_view system, const History& history, std::string_view user,
                                       size_t max_new, uint64_t seed,
                                       const std::function<void(std::string_view)>& on_piece) {
  const std::string prompt = render_chatml(system, history, user);
  std::vector<TokenId> ids;
  try {
    const tok::Encoding encoding = tokenizer_->encode(prompt, false);
    ids.assign(encoding.get_ids().begin(), encoding.get_ids().end());
  } catch (const std::exception& e) {
    return ErrorText{e.what()};
  }
  // A count beyond the signed range is held at its top, which the engine refuses.
  const int32_t count = ids.size() > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(ids.size());

  const auto prefill_start = std::chrono::steady_clock::now();
  auto start = [&] {
    return olvu_start(engine_, ids.data(), count, TOP_K, seed, STOP_TOKEN, TEMPERATURE, TOP_P, REPETITION_PENALTY);
  };
  StreamHandle handle = start();
  if (!handle) {
    write_stderr(RETRY_LINE);
    olvu_reset(engine_);
    handle = start();
    if (!handle) return ErrorText{std::string(PROMPT_TOO_LONG)};
  }
  const double prefill_s = seconds_since(prefill_start);

  const auto gen_start = std::chrono::steady_clock::now();
  std::vector<uint32_t> generated;
  std::string previous;
  for (size_t step = 0; step < max_new; ++step) {
    const TokenId id = olvu_next(handle);
    if (id < 0) break;
    generated.push_back(static_cast<uint32_t>(id));
    std::string decoded;
    try {
      decoded = tokenizer_->decode(generated, true);
    } catch (const std::exception& e) {
      return ErrorText{e.what()};
    }
    if (const auto piece = new_piece(previous, decoded)) {
      on_piece(*piece);
      previous = std::move(decoded);
    }
  }
  const double gen_s = seconds_since(gen_start);
  const double rate = static_cast<double>(generated.size()) / std::max(gen_s, 0.001);

  write_stderr(format("[olvu-m] turn timing: prompt %zu tok \u00b7 prefill %.1fs \u00b7 %zu tok generated in %.1fs "
                      "(%.1f tok/s)\n",
                      ids.size(), prefill_s, generated.size(), gen_s, rate));
  return previous;
}

}  // namespace brain
