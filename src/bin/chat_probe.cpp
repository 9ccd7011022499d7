// chat_probe: answers one question in one chat turn with a local model.
//
//   chat_probe <model_dir> <tokenizer.json> [question]
//
// The answer streams to standard output; the memory, load and timing reports go
// to standard error. Exit status 0 after a turn, 1 for usage or a missing
// weights file (and for the engine's own fatal errors), 101 when the front end
// fails or an output stream cannot be written.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "artifact.h"
#include "brain.h"
#include "machine.h"
#include "output.h"
#include "text.h"

namespace {

constexpr const char* DEFAULT_QUESTION = "Olvu, what is a prime number?";
constexpr const char* SYSTEM_PROMPT = "You are Olvu, a patient CBSE class 10 tutor.";
constexpr size_t MAX_NEW = 200;
constexpr uint64_t SEED = 1337;

constexpr int EXIT_USAGE = 1;
constexpr int EXIT_FAILURE_REPORT = 101;

float seconds_since(std::chrono::steady_clock::time_point start) {
  return static_cast<float>(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// The error text as a quoted literal: quotes, backslashes and control
// characters escaped, so a multi-line message stays on the report's line.
std::string quote_error(std::string_view text) {
  const std::string clean = brain::utf8_lossy(text);
  std::string out = "\"";
  for (const char ch : clean) {
    const auto c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F)
          out += brain::format("\\u{%x}", c);
        else
          out += ch;
    }
  }
  return out + "\"";
}

// Best effort: when standard error itself is what failed, there is nowhere left
// to report to, and the exit status says it.
void try_report(const std::string& line) {
  try {
    brain::write_stderr(line);
  } catch (const brain::OutputError&) {
  }
}

int fail(const char* step, const std::string& error) {
  brain::write_stderr(std::string(step) + ": " + quote_error(error) + "\n");
  return EXIT_FAILURE_REPORT;
}

int run(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (!brain::is_valid_utf8(argv[i])) {
      try_report(brain::format("chat_probe: argument %d is not valid UTF-8\n", i));
      return EXIT_FAILURE_REPORT;
    }
  }
  if (argc < 3) {
    brain::write_stderr("usage: chat_probe <model_dir> <tokenizer.json> [question]\n");
    return EXIT_USAGE;
  }
  const std::string model_dir = argv[1];
  const std::string tokenizer_path = argv[2];
  const std::string question = argc > 3 ? argv[3] : DEFAULT_QUESTION;

  const double ram_gb = brain::total_ram_gb();
  const auto artifact = brain::pick_artifact(model_dir);
  if (!artifact) {
    brain::write_stderr(brain::format("no usable artifact in %s (ram %.1f GB)\n", model_dir.c_str(), ram_gb));
    return EXIT_USAGE;
  }
  brain::write_stderr(brain::format("ram %.1f GB -> artifact ", ram_gb) + artifact->string() + "\n");

  const auto load_start = std::chrono::steady_clock::now();
  auto opened = brain::Brain::open(*artifact, tokenizer_path);
  if (!opened) return fail("brain open", opened.error());
  std::optional<brain::Brain> brain(std::move(opened).value());
  brain::write_stderr(brain::format("loaded in %.1fs\n", static_cast<double>(seconds_since(load_start))));

  const auto turn_start = std::chrono::steady_clock::now();
  std::optional<float> first_piece;
  auto on_piece = [&](std::string_view piece) {
    if (!first_piece) first_piece = seconds_since(turn_start);
    brain::write_stdout(piece);
    brain::flush_stdout();  // a failed flush here shows up at the final newline
  };
  auto answer = brain->chat_stream(SYSTEM_PROMPT, {}, question, MAX_NEW, SEED, on_piece);
  if (!answer) return fail("chat", answer.error());

  brain::write_stdout("\n");
  brain::flush_stdout_checked();
  const float total = seconds_since(turn_start);
  brain::write_stderr(brain::format("first token %.2fs, total %.1fs, %zu chars\n",
                                    static_cast<double>(first_piece.value_or(0.0f)),
                                    static_cast<double>(total), answer.value().size()));
  brain.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed reader must show up as a failed write, not end the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const brain::OutputError& e) {
    try_report(std::string("chat_probe: ") + e.what() + "\n");
  } catch (const std::exception& e) {
    try_report(std::string("chat_probe: unexpected failure: ") + e.what() + "\n");
  } catch (...) {
    try_report("chat_probe: unexpected failure\n");
  }
  return EXIT_FAILURE_REPORT;
}
