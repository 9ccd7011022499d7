// Brain::open and Brain::chat_stream in process: error texts, the pieces handed
// to the callback, the budget, and the reset-and-retry of a refused prompt.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "brain.h"
#include "e2e_support.h"
#include "tokenizer/tokenizer.hpp"

namespace fs = std::filesystem;
using brain::Brain;

namespace {

const char* const kSystem = "You are Olvu, a patient CBSE class 10 tutor.";

class ChatTurn : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    weights_ = e2e::scratch_dir() / "turn.olvt";
    olvt::ModelSpec spec;
    spec.cfg = e2e::tiny_config(e2e::tokenizer_vocab_size());
    spec.seed = 3;
    olvt::make_model(spec).write(weights_.string());
  }
  static Brain& brain() {
    static Brain* b = [] {
      auto opened = Brain::open(weights_, e2e::tokenizer_json());
      if (!opened) throw std::runtime_error(opened.error());
      return new Brain(std::move(opened).value());
    }();
    return *b;
  }
  struct Turn {
    brain::Result<std::string> result = brain::ErrorText{"not run"};
    std::vector<std::string> pieces;
    std::string err;
  };
  static Turn turn(std::string_view user, size_t max_new, uint64_t seed = 1337) {
    Brain& b = brain();  // opened outside the capture
    Turn t;
    testing::internal::CaptureStderr();
    t.result = b.chat_stream(kSystem, {}, user, max_new, seed,
                             [&](std::string_view piece) { t.pieces.emplace_back(piece); });
    t.err = testing::internal::GetCapturedStderr();
    return t;
  }
  static fs::path weights_;
};

fs::path ChatTurn::weights_;

std::string timing_line(size_t prompt, size_t generated) {
  return "\\[olvu-m\\] turn timing: prompt " + std::to_string(prompt) +
         " tok \xC2\xB7 prefill \\d+\\.\\ds \xC2\xB7 " + std::to_string(generated) +
         " tok generated in \\d+\\.\\ds \\(\\d+\\.\\d tok/s\\)\n";
}

TEST_F(ChatTurn, PiecesAndAnswerFollowTheEnginesIdsWithTheCallersSeed) {
  const e2e::Replay replay = e2e::replay_turn(weights_.string(), "What is a factor?", 60, 42);
  ASSERT_EQ(replay.generated.size(), 60u);
  const Turn t = turn("What is a factor?", 60, 42);
  ASSERT_TRUE(t.result.ok()) << t.result.error();
  EXPECT_EQ(t.pieces, replay.pieces);
  EXPECT_EQ(t.result.value(), replay.answer);
  // A miss line when an earlier test left the engine holding another prompt.
  const std::regex expected("(\\[engine\\] prefix cache miss [^\n]*\n)?" + timing_line(replay.prompt_ids.size(), 60));
  EXPECT_TRUE(std::regex_match(t.err, expected)) << t.err;
}

TEST_F(ChatTurn, ZeroBudgetDrawsNothing) {
  const Turn first = turn("Is 2 prime?", 0);
  ASSERT_TRUE(first.result.ok());
  EXPECT_EQ(first.result.value(), "");
  EXPECT_TRUE(first.pieces.empty());
  const size_t n = e2e::encode(brain::render_chatml(kSystem, {}, "Is 2 prime?")).size();
  EXPECT_TRUE(std::regex_match(first.err, std::regex("(\\[engine\\] prefix cache miss [^\n]*\n)?" + timing_line(n, 0))))
      << first.err;
  EXPECT_NE(first.err.find(" 0 tok generated in 0.0s (0.0 tok/s)\n"), std::string::npos) << first.err;
  // No id was drawn, so the same prompt again is an exact prefix-cache match.
  const Turn again = turn("Is 2 prime?", 0);
  EXPECT_TRUE(std::regex_match(again.err, std::regex("\\[engine\\] prefix cache EXACT: reusing all " +
                                                     std::to_string(n) + "\n" + timing_line(n, 0))))
      << again.err;
}

TEST_F(ChatTurn, RefusedPromptIsRetriedOnceAfterAResetAndTheEngineStaysUsable) {
  std::string question;
  for (int i = 0; i < 4100; ++i) question += " seven";
  const Turn refused = turn(question, 10);
  ASSERT_FALSE(refused.result.ok());
  EXPECT_EQ(refused.result.error(), "prompt too long for context");
  EXPECT_TRUE(refused.pieces.empty());
  EXPECT_EQ(refused.err, "[olvu-m] prefill interrupted \xE2\x80\x94 engine reset, one full re-prefill\n");

  // After the reset the engine holds nothing: the next turn prefills silently.
  const e2e::Replay replay = e2e::replay_turn(weights_.string(), "Is 9 prime?", 20);
  const Turn next = turn("Is 9 prime?", 20);
  ASSERT_TRUE(next.result.ok());
  EXPECT_EQ(next.pieces, replay.pieces);
  EXPECT_TRUE(std::regex_match(next.err, std::regex(timing_line(replay.prompt_ids.size(), 20)))) << next.err;
}

TEST_F(ChatTurn, EncodingFailureReturnsTheLibraryMessageBeforeTheEngine) {
  const std::string bad = "caf\xE9?";
  std::string expected;
  try {
    e2e::encode(brain::render_chatml(kSystem, {}, bad));
  } catch (const std::exception& e) {
    expected = e.what();
  }
  ASSERT_FALSE(expected.empty()) << "the tokenizer accepted text that is not UTF-8";
  const Turn t = turn(bad, 10);
  ASSERT_FALSE(t.result.ok());
  EXPECT_EQ(t.result.error(), expected);
  EXPECT_EQ(t.err, "");  // no engine line, no timing line
}

TEST(BrainOpen, TokenizerFailureComesFirstAndKeepsAwayFromTheWeights) {
  std::string library_message;
  try {
    tok::Tokenizer::from_file("/no/such/tokenizer.json");
  } catch (const std::exception& e) {
    library_message = e.what();
  }
  // A weights path that the engine could not open: reaching it would end the process.
  const auto opened = Brain::open("/no/such/weights.olvt", "/no/such/tokenizer.json");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error(), "tokenizer: " + library_message);
}

TEST(BrainOpen, WeightsPathIsRepairedToUtf8ForTheEngine) {
  const fs::path dir = e2e::scratch_dir() / "lossy";
  fs::create_directories(dir);
  olvt::ModelSpec spec;
  spec.cfg = e2e::tiny_config(e2e::tokenizer_vocab_size());
  olvt::make_model(spec).write((dir / "caf\xEF\xBF\xBD.olvt").string());
  const std::string tokenizer = e2e::tokenizer_json();
  // Latin-1 "é" is not UTF-8; the engine gets U+FFFD in its place and finds the
  // file. An engine that cannot open it ends the process with status 1, so the
  // open runs in a child. (Not a death test: its output matching goes through
  // regcomp/regexec, which the regex library behind the tokenizer interposes.)
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto opened = Brain::open(dir / "caf\xE9.olvt", tokenizer);
    _exit(opened.ok() ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
