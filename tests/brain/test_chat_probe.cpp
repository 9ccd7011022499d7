// chat_probe end to end, as a process: the lines on each stream and their
// order, the streamed answer against the engine's own ids, and every exit
// status of the failure table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "machine.h"
#include "output.h"

namespace fs = std::filesystem;
using e2e::lines;
using e2e::run_chat_probe;
using e2e::RunOptions;
using e2e::Sink;

namespace {

const char* const kDefaultQuestion = "Olvu, what is a prime number?";
const char* const kArtifact = "olvu-m-qwen38d-q8e16.olvt";

const std::regex kEngineLine(R"(\[engine\] weights mmapped \(\d+ MB, zero-copy\)\n)");
const std::regex kLoadedLine(R"(loaded in \d+\.\ds\n)");
const std::regex kTimingLine(
    R"(\[olvu-m\] turn timing: prompt (\d+) tok \xC2\xB7 prefill \d+\.\ds \xC2\xB7 (\d+) tok generated in \d+\.\ds \((\d+\.\d) tok/s\)\n)");
const std::regex kFirstTokenLine(R"(first token (\d+\.\d\d)s, total \d+\.\ds, (\d+) chars\n)");

std::string ram_line(const fs::path& artifact) {
  return brain::format("ram %.1f GB -> artifact ", brain::total_ram_gb()) + artifact.string() + "\n";
}

std::string describe(const e2e::RunResult& r) {
  return "exit " + std::to_string(r.exit_status) + "\n--- stdout ---\n" + r.out + "\n--- stderr ---\n" + r.err;
}

class ChatProbe : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_dir_ = e2e::scratch_dir() / "model";
    fs::create_directories(model_dir_);
    olvt::ModelSpec spec;
    spec.cfg = e2e::tiny_config(e2e::tokenizer_vocab_size());
    olvt::make_model(spec).write((model_dir_ / kArtifact).string());
  }
  static fs::path artifact() { return model_dir_ / kArtifact; }
  static const e2e::Replay& default_replay() {
    static const e2e::Replay r = e2e::replay_turn(artifact().string(), kDefaultQuestion);
    return r;
  }
  static std::string joined(const e2e::Replay& r) {
    std::string s;
    for (const auto& p : r.pieces) s += p;
    return s;
  }

  // Checks a successful run's standard error line by line against the replay.
  static void expect_success_stderr(const e2e::RunResult& run, const fs::path& weights, const e2e::Replay& replay) {
    const auto err = lines(run.err);
    ASSERT_EQ(err.size(), 5u) << describe(run);
    EXPECT_EQ(err[0], ram_line(weights));
    EXPECT_TRUE(std::regex_match(err[1], kEngineLine)) << err[1];
    EXPECT_TRUE(std::regex_match(err[2], kLoadedLine)) << err[2];
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[3], m, kTimingLine)) << err[3];
    EXPECT_EQ(std::stoul(m[1]), replay.prompt_ids.size());
    EXPECT_EQ(std::stoul(m[2]), replay.generated.size());
    ASSERT_TRUE(std::regex_match(err[4], m, kFirstTokenLine)) << err[4];
    EXPECT_EQ(std::stoul(m[2]), replay.answer.size());
    if (replay.pieces.empty()) {
      EXPECT_EQ(m[1].str(), "0.00");
    }
  }

  static fs::path model_dir_;
};

fs::path ChatProbe::model_dir_;

TEST_F(ChatProbe, DefaultQuestionStreamsTheEnginesAnswerAndReportsInOrder) {
  const e2e::Replay& replay = default_replay();
  ASSERT_EQ(replay.generated.size(), 200u);  // the stop token lies outside this vocabulary
  ASSERT_FALSE(replay.answer.empty());

  const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json()});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, joined(replay) + "\n");
  expect_success_stderr(run, artifact(), replay);

  // Both streams into one pipe: the answer sits between the load line and the
  // timing line, and its newline between the timing line and the last line.
  RunOptions merged;
  merged.err = Sink::Merged;
  merged.out = Sink::Merged;
  const auto both = run_chat_probe({model_dir_.string(), e2e::tokenizer_json()}, merged);
  ASSERT_EQ(both.exit_status, 0) << describe(both);
  const std::regex whole(std::string("(ram [^\n]*\n)(\\[engine\\] [^\n]*\n)(loaded in [^\n]*\n)([\\s\\S]*)") +
                         R"((\[olvu-m\] turn timing: [^\n]*\n)\n(first token [^\n]*\n))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(both.out, m, whole)) << both.out;
  EXPECT_EQ(m[1].str(), ram_line(artifact()));
  EXPECT_EQ(m[4].str(), joined(replay));
}

TEST_F(ChatProbe, QuestionArgumentIsUsedAndLaterArgumentsIgnored) {
  const std::string question = "  Why is 1 not prime?\n";
  const e2e::Replay replay = e2e::replay_turn(artifact().string(), question);
  const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json(), question, "extra", "more"});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, joined(replay) + "\n");
  expect_success_stderr(run, artifact(), replay);
}

TEST_F(ChatProbe, EmptyQuestionArgumentIsAnEmptyQuestion) {
  const e2e::Replay replay = e2e::replay_turn(artifact().string(), "");
  ASSERT_LT(replay.prompt_ids.size(), default_replay().prompt_ids.size());
  const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json(), ""});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, joined(replay) + "\n");
  expect_success_stderr(run, artifact(), replay);
}

TEST_F(ChatProbe, PromptBeyondTheContextIsRetriedOnceThenReported) {
  std::string question;
  for (int i = 0; i < 4200; ++i) question += " prime";
  const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json(), question});
  EXPECT_EQ(run.exit_status, 101) << describe(run);
  EXPECT_EQ(run.out, "");
  const auto err = lines(run.err);
  ASSERT_EQ(err.size(), 5u) << describe(run);
  EXPECT_EQ(err[0], ram_line(artifact()));
  EXPECT_TRUE(std::regex_match(err[1], kEngineLine)) << err[1];
  EXPECT_TRUE(std::regex_match(err[2], kLoadedLine)) << err[2];
  EXPECT_EQ(err[3], "[olvu-m] prefill interrupted \xE2\x80\x94 engine reset, one full re-prefill\n");
  EXPECT_EQ(err[4], "chat: \"prompt too long for context\"\n");
}

TEST_F(ChatProbe, UsageNeedsTwoArguments) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {model_dir_.string()}}) {
    const auto run = run_chat_probe(args);
    EXPECT_EQ(run.exit_status, 1) << describe(run);
    EXPECT_EQ(run.err, "usage: chat_probe <model_dir> <tokenizer.json> [question]\n");
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(ChatProbe, ArgumentThatIsNotUtf8EndsTheRunBeforeAnythingElse) {
  const std::string exe = CHAT_PROBE_EXE;
  const std::string dir = model_dir_.string(), tok = e2e::tokenizer_json();
  const std::vector<std::vector<std::string>> cases = {
      {exe, "\xC3("},                         // before the usage check
      {exe, dir, tok, "caf\xE9"},
      {exe, "/no/such/dir\xFF", tok},          // before the weights-file check
      {exe, dir, tok, "ok", "ignored\xFF"},     // ignored, but still read as text
      {"chat_probe\xFF", dir, tok},           // the program name too
  };
  for (const auto& argv : cases) {
    e2e::RunOptions o;
    o.env = {{"OLVU_M_MODEL", std::nullopt}, {"OLVU_M_THREADS", "2"}};
    const auto run = e2e::run_program(exe, argv, o);
    EXPECT_EQ(run.exit_status, 101) << describe(run);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.find("ram "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not valid UTF-8"), std::string::npos) << run.err;
  }
}

TEST_F(ChatProbe, NoWeightsFileReportsTheDirectoryAndMemory) {
  const fs::path empty = e2e::scratch_dir() / "empty";
  const fs::path dir_named_like_file = e2e::scratch_dir() / "dir-artifact";
  fs::create_directories(empty);
  fs::create_directories(dir_named_like_file / kArtifact);
  const std::string ram = brain::format("%.1f", brain::total_ram_gb());
  for (const fs::path& dir : {empty, dir_named_like_file, e2e::scratch_dir() / "missing"}) {
    const auto run = run_chat_probe({dir.string(), e2e::tokenizer_json()});
    EXPECT_EQ(run.exit_status, 1) << describe(run);
    EXPECT_EQ(run.err, "no usable artifact in " + dir.string() + " (ram " + ram + " GB)\n");
    EXPECT_EQ(run.out, "");
  }
  // OLVU_M_MODEL that is not UTF-8 does not count as set.
  RunOptions o;
  o.env = {{"OLVU_M_MODEL", artifact().string() + "\xFF"}};
  const auto run = run_chat_probe({empty.string(), e2e::tokenizer_json()}, o);
  EXPECT_EQ(run.exit_status, 1) << describe(run);
  EXPECT_EQ(run.err, "no usable artifact in " + empty.string() + " (ram " + ram + " GB)\n");
}

TEST_F(ChatProbe, EnvironmentModelIsUsedInsteadOfTheDirectory) {
  const fs::path elsewhere = e2e::scratch_dir() / "elsewhere.olvt";
  fs::copy_file(artifact(), elsewhere, fs::copy_options::overwrite_existing);
  RunOptions o;
  o.env = {{"OLVU_M_MODEL", elsewhere.string()}};
  const auto run = run_chat_probe({(e2e::scratch_dir() / "missing").string(), e2e::tokenizer_json()}, o);
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, joined(default_replay()) + "\n");
  expect_success_stderr(run, elsewhere, default_replay());
}

TEST_F(ChatProbe, TokenizerThatCannotBeLoadedIsABrainOpenFailure) {
  const fs::path bad_json = e2e::scratch_dir() / "not-a-tokenizer.json";
  std::FILE* f = std::fopen(bad_json.c_str(), "w");
  std::fputs("{\"this\": \"is not a tokenizer\"}", f);
  std::fclose(f);
  for (const fs::path& tok : {e2e::scratch_dir() / "no-such-tokenizer.json", bad_json}) {
    const auto run = run_chat_probe({model_dir_.string(), tok.string()});
    EXPECT_EQ(run.exit_status, 101) << describe(run);
    EXPECT_EQ(run.out, "");
    const auto err = lines(run.err);
    ASSERT_EQ(err.size(), 2u) << run.err;  // no engine line: the weights file is never opened
    EXPECT_EQ(err[0], ram_line(artifact()));
    EXPECT_EQ(err[1].rfind("brain open: \"tokenizer: ", 0), 0u) << err[1];
    EXPECT_EQ(err[1].substr(err[1].size() - 2), "\"\n") << err[1];
  }
  // A missing tokenizer is reported even when the weights file is missing too.
  RunOptions o;
  o.env = {{"OLVU_M_MODEL", "/no/such/weights.olvt"}};
  const auto run = run_chat_probe({model_dir_.string(), "/no/such/tokenizer.json"}, o);
  EXPECT_EQ(run.exit_status, 101) << describe(run);
  EXPECT_NE(run.err.find("brain open: \"tokenizer: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
}

TEST_F(ChatProbe, MissingEnvironmentModelEndsInTheEngine) {
  for (const std::string& path : {std::string("/no/such/weights.olvt"), std::string()}) {
    RunOptions o;
    o.env = {{"OLVU_M_MODEL", path}};
    const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json()}, o);
    EXPECT_EQ(run.exit_status, 1) << describe(run);
    EXPECT_EQ(run.out, "");
    const auto err = lines(run.err);
    ASSERT_EQ(err.size(), 2u) << run.err;
    EXPECT_EQ(err[0], ram_line(path));
    EXPECT_EQ(err[1], "FATAL: cannot open weights file\n");
  }
}

TEST_F(ChatProbe, FailedWritesEndWithStatus101) {
  struct Case {
    Sink out, err;
    const char* report;  // expected on standard error, when it can be read
  };
  const Case cases[] = {
      {Sink::ClosedPipe, Sink::Pipe, "chat_probe: failed writing to standard output: Broken pipe\n"},
      {Sink::DevFull, Sink::Pipe, "chat_probe: failed writing to standard output: No space left on device\n"},
      {Sink::Pipe, Sink::DevFull, nullptr},
      {Sink::Pipe, Sink::ClosedPipe, nullptr},
  };
  for (const Case& c : cases) {
    RunOptions o;
    o.out = c.out;
    o.err = c.err;
    const auto run = run_chat_probe({model_dir_.string(), e2e::tokenizer_json()}, o);
    EXPECT_EQ(run.exit_status, 101) << describe(run);
    if (c.report) {
      // The report is the last line: no first-token line follows it.
      const auto err = lines(run.err);
      ASSERT_GE(err.size(), 4u) << run.err;
      EXPECT_EQ(err[0], ram_line(artifact()));
      EXPECT_EQ(err.back(), c.report);
    } else {
      EXPECT_EQ(run.out, "") << "the first report line already fails";
    }
  }
}

// Models whose every answer token is chosen in advance through the embedding.
class ChatProbeBiased : public ChatProbe {};

TEST_F(ChatProbeBiased, AnswerOfSkippedTokensOnlyPrintsJustTheNewline) {
  // Special tokens decode to nothing with special tokens skipped.
  const fs::path dir = e2e::scratch_dir() / "special";
  fs::create_directories(dir);
  const std::vector<uint32_t> special = e2e::special_token_ids();
  ASSERT_GE(special.size(), 8u);
  std::vector<uint32_t> plus, minus;
  for (size_t i = 0; i < special.size(); ++i) (i % 2 ? minus : plus).push_back(special[i]);
  e2e::biased_model(e2e::tokenizer_vocab_size(), plus, minus).write((dir / kArtifact).string());
  const e2e::Replay replay = e2e::replay_turn((dir / kArtifact).string(), kDefaultQuestion);
  ASSERT_EQ(replay.generated.size(), 200u);
  for (uint32_t id : replay.generated)
    ASSERT_NE(std::find(special.begin(), special.end(), id), special.end()) << "fixture: drew id " << id;

  const auto run = run_chat_probe({dir.string(), e2e::tokenizer_json()});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "\n");
  expect_success_stderr(run, dir / kArtifact, replay);
  EXPECT_NE(run.err.find(" 200 tok generated in "), std::string::npos);
  EXPECT_NE(run.err.find("first token 0.00s, total "), std::string::npos);
  EXPECT_NE(run.err.find(", 0 chars\n"), std::string::npos);
}

TEST_F(ChatProbeBiased, AnswerLengthCountsBytes) {
  const fs::path dir = e2e::scratch_dir() / "multibyte";
  fs::create_directories(dir);
  // Characters of three bytes in one group, of two bytes in the other, each one
  // token; enough of them that the repetition penalty cannot wear them down.
  auto single_ids = [](const std::vector<std::string>& chars) {
    std::vector<uint32_t> ids;
    for (const std::string& c : chars)
      if (const auto e = e2e::encode(c); e.size() == 1) ids.push_back(e[0]);
    return ids;
  };
  const auto three = single_ids({"\xE7\x9A\x84", "\xE4\xB8\x80", "\xE6\x98\xAF", "\xE4\xB8\x8D", "\xE4\xBA\x86",
                                 "\xE4\xBA\xBA", "\xE6\x88\x91", "\xE5\x9C\xA8", "\xE6\x9C\x89", "\xE4\xBB\x96",
                                 "\xE8\xBF\x99", "\xE4\xB8\xAD"});  // 的一是不了人我在有他这中
  const auto two = single_ids({"\xC3\xA9", "\xC3\xA8", "\xC3\xA0", "\xC3\xB9", "\xC3\xA2", "\xC3\xAA",
                               "\xC3\xAE", "\xC3\xB4", "\xC3\xBB", "\xC3\xA7", "\xC3\xB1", "\xC3\xBC"});  // éèàùâêîôûçñü
  ASSERT_GE(three.size(), 8u);
  ASSERT_GE(two.size(), 8u);
  e2e::biased_model(e2e::tokenizer_vocab_size(), three, two).write((dir / kArtifact).string());

  const e2e::Replay replay = e2e::replay_turn((dir / kArtifact).string(), kDefaultQuestion);
  ASSERT_EQ(replay.generated.size(), 200u);
  for (uint32_t id : replay.generated)
    ASSERT_TRUE(std::count(three.begin(), three.end(), id) + std::count(two.begin(), two.end(), id))
        << "fixture: drew id " << id;
  const auto run = run_chat_probe({dir.string(), e2e::tokenizer_json()});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, joined(replay) + "\n");
  expect_success_stderr(run, dir / kArtifact, replay);
  std::smatch m;
  const auto err = lines(run.err);
  ASSERT_TRUE(std::regex_match(err.back(), m, kFirstTokenLine));
  const size_t reported = std::stoul(m[2]);
  EXPECT_EQ(reported, run.out.size() - 1);
  EXPECT_GE(reported, 400u);  // 200 characters of two or three bytes each
  EXPECT_EQ(replay.answer.size(), reported);
}

TEST_F(ChatProbeBiased, StopTokenDrawnFirstEndsTheAnswerAtOnce) {
  // A vocabulary that holds the stop token 248046; whichever sign favours it.
  const fs::path dir = e2e::scratch_dir() / "stop";
  fs::create_directories(dir);
  const uint32_t vocab = 248320;
  e2e::Replay replay;
  for (const bool plus : {true, false}) {
    const std::vector<uint32_t> stop{248046};
    e2e::biased_model(vocab, plus ? stop : std::vector<uint32_t>{}, plus ? std::vector<uint32_t>{} : stop)
        .write((dir / kArtifact).string());
    replay = e2e::replay_turn((dir / kArtifact).string(), kDefaultQuestion);
    if (replay.generated.empty()) break;
  }
  ASSERT_TRUE(replay.generated.empty()) << "fixture: the stop token should be drawn first";

  const auto run = run_chat_probe({dir.string(), e2e::tokenizer_json()});
  ASSERT_EQ(run.exit_status, 0) << describe(run);
  EXPECT_EQ(run.out, "\n");
  expect_success_stderr(run, dir / kArtifact, replay);
  EXPECT_NE(run.err.find(" \xC2\xB7 0 tok generated in "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("(0.0 tok/s)\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("first token 0.00s, total "), std::string::npos) << run.err;
}

}  // namespace
