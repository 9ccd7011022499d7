// Helpers of the end-to-end tests: running chat_probe as a child process with
// chosen streams and environment, the real tokenizer.json, generated models,
// and an in-process replay of what the engine generates for a prompt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "olvt_model.h"

namespace e2e {

enum class Sink {
  Pipe,        // captured separately
  Merged,      // standard output and standard error into one pipe, in write order
  ClosedPipe,  // a pipe whose reader is gone
  DevFull,     // every write fails with ENOSPC
};

struct RunOptions {
  // Variables to set (a value) or remove (none) on top of this process's environment.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  Sink out = Sink::Pipe;
  Sink err = Sink::Pipe;
};

struct RunResult {
  int exit_status = -1;  // 128 + signal number when killed
  std::string out;       // standard output (everything, when merged)
  std::string err;
};

// Runs chat_probe with `args` (after the program name). OLVU_M_MODEL is removed
// and OLVU_M_THREADS is 2 unless `options` says otherwise.
RunResult run_chat_probe(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs the executable `exe` with `argv` (argv[0] included) and exactly the
// environment changes of `options`.
RunResult run_program(const std::string& exe, const std::vector<std::string>& argv, const RunOptions& options);

// The real tokenizer.json the tests use; fails the calling test when absent.
const std::string& tokenizer_json();

// The ids of `text` (no special tokens added) by the tests' tokenizer.
std::vector<uint32_t> encode(const std::string& text);

// One more than the largest id of the tokenizer's vocabulary and added tokens.
uint32_t tokenizer_vocab_size();

// A scratch directory for this test binary, removed at exit.
const std::filesystem::path& scratch_dir();

// A small hybrid config (one linear-attention and one full-attention layer).
olvt::Config tiny_config(uint32_t vocab);

// The ids of the added tokens marked special (skipped when decoding).
std::vector<uint32_t> special_token_ids();

// Every embedding row is the same vector e, except the rows in `plus` (+k·e)
// and `minus` (-k·e): with the tied output head one of the two groups outscores
// all other ids, whichever sign the model's last hidden vector gives e. Since
// the repetition penalty divides a logit once per recent occurrence, a group
// must be large enough for a long answer.
olvt::Writer biased_model(uint32_t vocab, const std::vector<uint32_t>& plus, const std::vector<uint32_t>& minus,
                          float k = 200.0f);

struct Replay {
  std::vector<int64_t> prompt_ids;
  std::vector<uint32_t> generated;   // ids the engine returned before the end
  std::vector<std::string> pieces;   // what the chat turn should stream
  std::string answer;                // the decoded text as of the last piece
};

// Opens `weights` in this process and runs the driver's turn on the engine
// directly: same prompt, settings and budget, the same piece rule.
Replay replay_turn(const std::string& weights, const std::string& question, size_t max_new = 200,
                   uint64_t seed = 1337);

// Splits text into lines, each keeping its "\n".
std::vector<std::string> lines(const std::string& text);

}  // namespace e2e
