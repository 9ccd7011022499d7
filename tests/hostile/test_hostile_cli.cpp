// chat_probe given bad input on purpose, one table per kind: missing,
// unreadable and wrong-kind files and model directories, weights files cut at
// every field of the header and of a record, weights whose configuration or
// tensors do not fit together, tokenizer definitions that cannot be read or do
// not belong to the model, arguments that are not UTF-8, output streams that
// cannot be written, absurd worker counts, and a weights file cut short or
// rewritten while it is mapped. Every row checks the exact report, the exit
// status, that nothing is written where nothing belongs, and that no
// sanitizer had anything to say.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "artifact.h"
#include "e2e_support.h"
#include "machine.h"
#include "output.h"

extern char** environ;

namespace fs = std::filesystem;
using e2e::lines;

namespace {

constexpr int RUN_TIMEOUT_S = 300;

// Closed: no descriptor at all; Broken: a pipe whose reader is gone before the
// program starts; Full: /dev/full, where every write fails with ENOSPC.
enum class Stream { Pipe, Closed, Broken, Full };

struct Invocation {
  std::vector<std::string> argv;  // argv[0] included
  std::vector<std::pair<std::string, std::string>> env;
  Stream out = Stream::Pipe, err = Stream::Pipe;
  bool unprivileged = false;  // as a user that file modes apply to (when running as root)
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  std::string out, err;
};

std::string describe(const Result& r) {
  return "exit " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") + "\n--- stdout ---\n" + r.out +
         "\n--- stderr ---\n" + r.err;
}

// The child's environment: this process's, without the variables chat_probe
// reads, plus the row's.
std::vector<std::string> child_env(const Invocation& run) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string s = *e;
    if (s.rfind("OLVU_M_MODEL=", 0) == 0 || s.rfind("OLVU_M_THREADS=", 0) == 0) continue;
    env.push_back(s);
  }
  bool threads = false;
  for (const auto& [k, v] : run.env) {
    env.push_back(k + "=" + v);
    threads |= k == "OLVU_M_THREADS";
  }
  if (!threads) env.push_back("OLVU_M_THREADS=2");
  return env;
}

constexpr uid_t NOBODY = 65534;
// Exit statuses of a row's child that never reached chat_probe: it could not
// become the unprivileged user, or that user cannot reach the program's copy.
constexpr int EXIT_NO_USER = 125, EXIT_UNREACHABLE = 124;

fs::path scratch();

// The program the rows run; CHAT_PROBE_EXE in the environment names another
// copy (the private-folder check runs the rows on one).
const char* chat_probe_exe() {
  const char* env = std::getenv("CHAT_PROBE_EXE");
  return env && *env ? env : CHAT_PROBE_EXE;
}

// Rows run as another user reach every file they run or open through the
// scratch folder, whatever the modes of the folders above the build tree (a
// checkout in root's home or in a mktemp -d folder is private): the program
// they run is a copy of chat_probe there, removed with the scratch folder.
const std::string& unprivileged_exe() {
  static const std::string path = [] {
    const fs::path dir = scratch() / "bin";
    fs::create_directories(dir);
    const fs::perms open_dir = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir, open_dir);
    const fs::path exe = dir / "chat_probe";
    fs::copy_file(chat_probe_exe(), exe, fs::copy_options::overwrite_existing);
    fs::permissions(exe, open_dir);
    return exe.string();
  }();
  return path;
}

// The reason to skip a row whose child never reached chat_probe, or none.
std::optional<std::string> unprivileged_skip(int status) {
  if (status == EXIT_NO_USER) return "cannot run as an unprivileged user here";
  if (status == EXIT_UNREACHABLE)
    return "the unprivileged user cannot reach " + unprivileged_exe() +
           ": a folder above the temporary folder is private (set TMPDIR to a world-accessible folder)";
  return std::nullopt;
}

// Forks and execs chat_probe for one row, collecting both streams until it
// ends or the time limit passes. before_read, when given, runs with the
// child started and its pipes not yet read.
Result execute(const Invocation& run, int err_pipe_prefill = -1, const std::function<void(int, pid_t)>& before_read = {}) {
  const std::vector<std::string> env = child_env(run);
  int out_p[2] = {-1, -1}, err_p[2] = {-1, -1};
  const bool out_pipe = run.out == Stream::Pipe || run.out == Stream::Broken;
  const bool err_pipe = run.err == Stream::Pipe || run.err == Stream::Broken;
  if (out_pipe && pipe2(out_p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (err_pipe && pipe2(err_p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  // Readers that are gone before the child exists, so even its first write fails.
  if (run.out == Stream::Broken) close(std::exchange(out_p[0], -1));
  if (run.err == Stream::Broken) close(std::exchange(err_p[0], -1));
  if (err_pipe_prefill >= 0) {
    fcntl(err_p[1], F_SETPIPE_SZ, 4096);
    const std::string junk(static_cast<size_t>(err_pipe_prefill), '#');
    if (write(err_p[1], junk.data(), junk.size()) != static_cast<ssize_t>(junk.size())) throw std::runtime_error("prefill");
  }
  std::vector<char*> argv, envp;
  for (const auto& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  const bool drop = run.unprivileged && geteuid() == 0;
  const char* exe = drop ? unprivileged_exe().c_str() : chat_probe_exe();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    auto attach = [](Stream how, int pipe_end, int fd) {
      if (how == Stream::Pipe || how == Stream::Broken) {
        dup2(pipe_end, fd);
      } else if (how == Stream::Full) {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, fd);
      } else {
        close(fd);
      }
    };
    attach(run.out, out_p[1], 1);
    attach(run.err, err_p[1], 2);
    if (drop) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(EXIT_NO_USER);
      if (access(exe, X_OK) != 0) _exit(EXIT_UNREACHABLE);
    }
    execve(exe, argv.data(), envp.data());
    _exit(127);
  }
  if (out_p[1] >= 0) close(out_p[1]);
  if (err_p[1] >= 0) close(err_p[1]);
  if (before_read) before_read(err_p[0], pid);

  Result r;
  struct Src {
    int fd;
    std::string* dst;
  };
  std::vector<Src> srcs;
  if (out_p[0] >= 0) srcs.push_back({out_p[0], &r.out});
  if (err_p[0] >= 0) srcs.push_back({err_p[0], &r.err});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(RUN_TIMEOUT_S);
  while (!srcs.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    std::vector<pollfd> pfds;
    for (const Src& s : srcs) pfds.push_back({s.fd, POLLIN, 0});
    if (poll(pfds.data(), pfds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (size_t i = pfds.size(); i-- > 0;) {
      if (!pfds[i].revents) continue;
      char buf[65536];
      const ssize_t n = read(srcs[i].fd, buf, sizeof buf);
      if (n > 0) {
        srcs[i].dst->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(srcs[i].fd);
        srcs.erase(srcs.begin() + static_cast<long>(i));
      }
    }
  }
  for (const Src& s : srcs) close(s.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// What every row checks besides its own expectations.
void expect_clean(const Result& r) {
  EXPECT_FALSE(r.timed_out) << describe(r);
  EXPECT_LT(r.status, 128) << "ended by a signal\n" << describe(r);
  for (const char* marker : {"AddressSanitizer", "LeakSanitizer", "runtime error:", "ThreadSanitizer"})
    EXPECT_EQ(r.err.find(marker), std::string::npos) << describe(r);
}

const std::regex kLoadedLine(R"(loaded in \d+\.\ds\n)");
const std::regex kTimingLine(R"(\[olvu-m\] turn timing: prompt \d+ tok \xC2\xB7 prefill \d+\.\ds \xC2\xB7 \d+ tok generated in \d+\.\ds \(\d+\.\d tok/s\)\n)");
const std::regex kFirstTokenLine(R"(first token \d+\.\d\ds, total \d+\.\ds, \d+ chars\n)");

std::string ram_line(const std::string& artifact) {
  return brain::format("ram %.1f GB -> artifact ", brain::total_ram_gb()) + artifact + "\n";
}

std::string mapped_line(uint64_t bytes) {
  return "[engine] weights mmapped (" + std::to_string(bytes / 1048576) + " MB, zero-copy)\n";
}

// Expected standard error, line by line: a line of text, or one of the
// timing lines (matched by pattern).
struct Line {
  std::string text;
  const std::regex* pattern = nullptr;
  Line(std::string t) : text(std::move(t)) {}  // NOLINT: rows read better without the type
  Line(const char* t) : text(t) {}              // NOLINT
  Line(const std::regex* p) : pattern(p) {}     // NOLINT
};

void expect_lines(const Result& r, const std::vector<Line>& want) {
  const auto got = lines(r.err);
  ASSERT_EQ(got.size(), want.size()) << describe(r);
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i].pattern)
      EXPECT_TRUE(std::regex_match(got[i], *want[i].pattern)) << "line " << i << ": " << got[i];
    else
      EXPECT_EQ(got[i], want[i].text) << "line " << i;
  }
}

fs::path scratch() {
  static const fs::path dir = [] {
    const fs::path d = e2e::scratch_dir() / "hostile";
    fs::create_directories(d);
    // Unprivileged rows must reach the files they are meant to read.
    fs::permissions(e2e::scratch_dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(d, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
    return d;
  }();
  return dir;
}

std::string write_bytes(const std::string& name, const std::vector<uint8_t>& bytes) {
  const fs::path p = scratch() / name;
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  return p.string();
}

std::string write_text(const std::string& name, const std::string& text) {
  return write_bytes(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// The model of the real tokenizer's vocabulary: one linear-attention and one
// full-attention layer, q8 embedding (the vocabulary is large), f32 elsewhere.
olvt::ModelSpec model_spec(uint32_t vocab = 0) {
  olvt::ModelSpec spec;
  spec.cfg = e2e::tiny_config(vocab ? vocab : e2e::tokenizer_vocab_size());
  spec.embedding = olvt::DType::Q8;
  spec.seed = 5;
  return spec;
}

const std::string& good_model() {
  static const std::string path = write_bytes("good.olvt", olvt::make_model(model_spec()).bytes());
  return path;
}

// A one-entry definition for rows that end in the engine before any text is
// encoded: the real one takes seconds to load in a sanitizer build, and it
// is loaded before the weights file either way.
const std::string& small_tokenizer() {
  static const std::string path =
      write_text("small-tokenizer.json", R"({"version":"1.0","model":{"type":"BPE","vocab":{"a":0},"merges":[]}})");
  return path;
}

Invocation weights_run(const std::string& weights, const std::string& tokenizer = e2e::tokenizer_json()) {
  Invocation r;
  r.argv = {CHAT_PROBE_EXE, "/no/such/model/dir", tokenizer};
  r.env = {{"OLVU_M_MODEL", weights}};
  return r;
}

// --- weights files that cannot be read, or are no weights at all ---

TEST(HostileCli, WeightsPathsThatAreNoReadableFile) {
  const std::string dir = (scratch() / "weights-dir").string();
  fs::create_directories(dir);
  const std::string unreadable = write_bytes("unreadable.olvt", olvt::make_model(model_spec()).bytes());
  fs::permissions(unreadable, fs::perms::none);
  const std::string empty = write_bytes("empty.olvt", {});
  struct Row {
    const char* what;
    std::string path;
    bool unprivileged;
    const char* fatal;
  };
  const Row rows[] = {
      {"missing", (scratch() / "missing.olvt").string(), false, "FATAL: cannot open weights file\n"},
      {"unreadable", unreadable, true, "FATAL: cannot open weights file\n"},
      // A directory opens for reading but yields no bytes.
      {"directory", dir, false, "FATAL: bad magic\n"},
      {"empty", empty, false, "FATAL: bad magic\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Invocation run = weights_run(row.path, small_tokenizer());
    run.unprivileged = row.unprivileged;
    const Result r = execute(run);
    if (const auto why = unprivileged_skip(r.status)) GTEST_SKIP() << *why;
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_lines(r, {ram_line(row.path), row.fatal});
  }
}

// --- model directories without a usable weights file (no OLVU_M_MODEL) ---

TEST(HostileCli, ModelDirectoriesWithoutAUsableWeightsFile) {
  const fs::path root = scratch() / "model-dirs";
  fs::create_directories(root);
  const fs::path empty = root / "empty", dir_artifact = root / "dir-artifact", dangling = root / "dangling",
                 unreadable = root / "unreadable", empty_artifact = root / "empty-artifact";
  for (const fs::path& d : {empty, dir_artifact, dangling, unreadable, empty_artifact}) {
    fs::create_directories(d);
    fs::permissions(d, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  }
  fs::create_directories(dir_artifact / brain::DEFAULT_ARTIFACT);
  if (!fs::is_symlink(dangling / brain::DEFAULT_ARTIFACT)) fs::create_symlink(root / "nowhere.olvt", dangling / brain::DEFAULT_ARTIFACT);
  const std::string model_file = write_text("model-dirs/not-a-directory", "OLVT");
  std::ofstream(unreadable / brain::DEFAULT_ARTIFACT) << "OLVT";
  fs::permissions(unreadable / brain::DEFAULT_ARTIFACT, fs::perms::none);
  std::ofstream(empty_artifact / brain::DEFAULT_ARTIFACT).flush();
  fs::permissions(empty_artifact / brain::DEFAULT_ARTIFACT, fs::perms::owner_read | fs::perms::others_read);
  const std::string ram = brain::format("%.1f", brain::total_ram_gb());
  struct Row {
    const char* what;
    std::string dir;
    bool unprivileged;
    std::vector<Line> err;
  };
  auto none = [&](const std::string& dir) { return "no usable artifact in " + dir + " (ram " + ram + " GB)\n"; };
  auto artifact = [](const fs::path& dir) { return (dir / brain::DEFAULT_ARTIFACT).string(); };
  const Row rows[] = {
      {"missing directory", (root / "missing").string(), false, {none((root / "missing").string())}},
      {"a file for the directory", model_file, false, {none(model_file)}},
      {"empty directory", empty.string(), false, {none(empty.string())}},
      {"a directory for the weights file", dir_artifact.string(), false, {none(dir_artifact.string())}},
      {"dangling link for the weights file", dangling.string(), false, {none(dangling.string())}},
      {"unreadable weights file", unreadable.string(), true,
       {ram_line(artifact(unreadable)), "FATAL: cannot open weights file\n"}},
      {"empty weights file", empty_artifact.string(), false,
       {ram_line(artifact(empty_artifact)), "FATAL: bad magic\n"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Invocation run;
    run.argv = {CHAT_PROBE_EXE, row.dir, small_tokenizer()};
    run.unprivileged = row.unprivileged;
    const Result r = execute(run);
    if (const auto why = unprivileged_skip(r.status)) GTEST_SKIP() << *why;
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_lines(r, row.err);
  }
}

// --- a weights file cut at every field boundary of the header and of a record ---

TEST(HostileCli, WeightsFileCutAtEveryFieldBoundary) {
  olvt::Writer w = olvt::make_model(model_spec());
  const std::vector<uint8_t> full = w.bytes();
  // The first record is the embedding: a 25-byte name and two dimensions.
  ASSERT_EQ(w.tensors()[0].name, "model.embed_tokens.weight");
  const size_t r0 = 84, name = r0 + 2, dtype = name + 25, ndim = dtype + 1, dims = ndim + 1, off = dims + 8,
               nbytes = off + 8, table_end = w.table_end();
  struct Cut {
    size_t size;
    const char* message;
  };
  const Cut cuts[] = {
      {0, "bad magic"},           {3, "bad magic"},          {4, "bad version"},       {7, "bad version"},
      {8, "short config"},        {67, "short config"},      {68, "short config f32"}, {79, "short config f32"},
      {80, "short n_tensors"},    {83, "short n_tensors"},   {r0, "bad name len"},     {r0 + 1, "bad name len"},
      {name, "short name"},       {dtype - 1, "short name"}, {dtype, "short dtype"},   {ndim, "bad ndim"},
      {dims, "short dims"},       {dims + 6, "short dims"},  {off, "short offset"},    {off + 7, "short offset"},
      {nbytes, "short nbytes"},   {nbytes + 7, "short nbytes"},
      {table_end - 1, "short nbytes"},  // inside the last record
      {table_end, "tensor beyond file"},  // every record, no data
      {table_end + 1000, "tensor beyond file"},
      {full.size() - 1, "tensor beyond file"},  // one byte short of the last tensor
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut.size));
    const std::string path =
        write_bytes("cut" + std::to_string(cut.size) + ".olvt", {full.begin(), full.begin() + static_cast<long>(cut.size)});
    const Result r = execute(weights_run(path, small_tokenizer()));
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // Record failures stop the load before the mode is chosen; data failures after.
    if (std::string(cut.message) == "tensor beyond file")
      expect_lines(r, {ram_line(path), mapped_line(cut.size), std::string("FATAL: ") + cut.message + "\n"});
    else
      expect_lines(r, {ram_line(path), std::string("FATAL: ") + cut.message + "\n"});
  }
}

// --- configurations outside the model limits: refused when the file is opened ---

TEST(HostileCli, ConfigurationOutsideTheModelLimits) {
  struct Row {
    const char* what;
    void (*change)(olvt::Config&);
    const char* limit;
  };
  const Row rows[] = {
      {"vocabulary of 63", [](olvt::Config& c) { c.vocab_size = 63; }, "vocab_size below 64"},
      {"head size 257", [](olvt::Config& c) { c.head_dim = 257; }, "head_dim above 256"},
      {"query width 4096", [](olvt::Config& c) { c.n_heads = 16; c.head_dim = 256; }, "n_heads*head_dim above 2048"},
      {"3 query heads over 2", [](olvt::Config& c) { c.n_heads = 3; c.n_kv_heads = 2; }, "n_heads not a multiple of n_kv_heads"},
      {"no key/value head", [](olvt::Config& c) { c.n_kv_heads = 0; }, "n_kv_heads 0"},
      // Heads of size 0 pass the width limit, but 2^31 - 1 of them kept the first pass spinning
      // (fuzzing found it; the input is fuzz/regressions/fuzz_olvt/empty-query-heads-without-end).
      {"2^31 - 1 empty query heads", [](olvt::Config& c) { c.head_dim = 0; c.n_heads = 0x7FFFFFFF; }, "n_heads above 2048"},
      {"4096 empty key/value heads", [](olvt::Config& c) { c.head_dim = 0; c.n_heads = 0; c.n_kv_heads = 4096; },
       "n_kv_heads above 2048"},
      {"rotary fraction 1.5", [](olvt::Config& c) { c.rotary_fraction = 1.5f; }, "rotated width outside 0..head_dim"},
      {"rotary fraction NaN", [](olvt::Config& c) { c.rotary_fraction = std::nanf(""); }, "rotated width outside 0..head_dim"},
      {"17 value heads", [](olvt::Config& c) { c.lin_k_heads = c.lin_v_heads = 17; }, "lin_v_heads above 16"},
      {"key heads differ", [](olvt::Config& c) { c.lin_k_heads = 1; }, "lin_k_heads differs from lin_v_heads"},
      {"linear value size 257", [](olvt::Config& c) { c.lin_v_dim = 257; }, "lin_v_dim above 256"},
      {"one-tap convolution", [](olvt::Config& c) { c.conv_kernel = 1; }, "conv_kernel below 2"},
      {"convolution of 2^31 taps", [](olvt::Config& c) { c.conv_kernel = 0x80000000u; }, "conv_kernel above 2147483647"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // The check comes after the load, so the tensor table may as well be empty.
    olvt::Config c = model_spec().cfg;
    row.change(c);
    const olvt::Writer w(c);
    const auto bytes = w.bytes();
    const std::string path = write_bytes(std::string("limit-") + row.limit + ".olvt", bytes);
    const Result r = execute(weights_run(path, small_tokenizer()));
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_lines(r, {ram_line(path), mapped_line(bytes.size()), std::string("FATAL: model limit: ") + row.limit + "\n"});
  }
}

// --- tensors that do not fit the configuration, and ids beyond the model: found by the first pass ---

TEST(HostileCli, TensorsThatDoNotFitTheConfiguration) {
  struct Row {
    const char* what;
    void (*change)(olvt::ModelSpec&);
    void (*edit)(olvt::Writer&);
    std::string fatal;  // every line after the load-time line
  };
  auto shrink = [](olvt::Writer& w, const std::string& name, size_t drop) {
    for (olvt::Tensor& t : w.tensors())
      if (t.name == name) t.data.resize(t.data.size() - drop);
  };
  static auto shrink_fn = shrink;
  const uint32_t V = e2e::tokenizer_vocab_size();
  const std::vector<Row> rows = {
      {"embedding one row short", nullptr,
       [](olvt::Writer& w) { shrink_fn(w, "model.embed_tokens.weight", 36); },
       "FATAL: tensor too small: model.embed_tokens.weight\n"},
      {"norm weights one short", nullptr,
       [](olvt::Writer& w) { shrink_fn(w, "model.layers.0.input_layernorm.weight", 4); },
       "FATAL: tensor too small: model.layers.0.input_layernorm.weight\n"},
      {"final norm stored as q8", nullptr,
       [](olvt::Writer& w) {
         for (olvt::Tensor& t : w.tensors())
           if (t.name == "model.norm.weight") t.dtype = 2;
       },
       "FATAL: tensor not f32: model.norm.weight\n"},
      {"q8 matrix over 48 inputs", [](olvt::ModelSpec& s) { s.cfg.ffn_size = 48; s.matrices = olvt::DType::F32; },
       [](olvt::Writer& w) {
         for (olvt::Tensor& t : w.tensors())
           if (t.name == "model.layers.0.mlp.down_proj.weight") t.dtype = 2;
       },
       "FATAL: q8 tensor inputs not a multiple of 32: model.layers.0.mlp.down_proj.weight\n"},
      {"feed-forward of 8193", [](olvt::ModelSpec& s) { s.cfg.ffn_size = 8193; }, nullptr,
       "FATAL: matmat: in-dim exceeds row buffer\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    olvt::ModelSpec spec = model_spec(V);
    if (row.change) row.change(spec);
    olvt::Writer w = olvt::make_model(spec);
    if (row.edit) row.edit(w);
    const auto bytes = w.bytes();
    const std::string path = write_bytes(std::string("unfit-") + row.what + ".olvt", bytes);
    const Result r = execute(weights_run(path));
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_lines(r, {ram_line(path), mapped_line(bytes.size()), &kLoadedLine, row.fatal});
  }

  // A missing tensor: the report names it and lists the names of its layer in file order.
  {
    SCOPED_TRACE("missing down projection of layer 1");
    olvt::Writer w = olvt::make_model(model_spec(V));
    auto& ts = w.tensors();
    std::erase_if(ts, [](const olvt::Tensor& t) { return t.name == "model.layers.1.mlp.down_proj.weight"; });
    const auto bytes = w.bytes();
    const std::string path = write_bytes("missing-tensor.olvt", bytes);
    std::vector<Line> want = {ram_line(path), mapped_line(bytes.size()), &kLoadedLine,
                              "FATAL: tensor not found: model.layers.1.mlp.down_proj.weight (nor language_model variant)\n",
                              "known names with same layer:\n"};
    for (const olvt::Tensor& t : ts)
      if (t.name.find("layers.1.") != std::string::npos) want.emplace_back("  " + t.name + "\n");
    const Result r = execute(weights_run(path));
    expect_clean(r);
    EXPECT_EQ(r.status, 1);
    expect_lines(r, want);
  }
}

// --- tokenizer definitions: unreadable, not a definition, or not this model's ---

TEST(HostileCli, TokenizerDefinitionsThatCannotBeUsed) {
  const std::string dir = (scratch() / "tokenizer-dir").string();
  fs::create_directories(dir);
  const std::string unreadable = write_text("unreadable.json", "{}");
  fs::permissions(unreadable, fs::perms::none);
  std::string deep = R"({"version":"1.0","model":{"type":"BPE","vocab":{"a":0},"merges":[]},"normalizer":)";
  for (int i = 0; i < 100000; ++i) deep += R"({"type":"Sequence","normalizers":[)";
  deep += R"({"type":"NFC"})";
  for (int i = 0; i < 100000; ++i) deep += "]}";
  deep += "}";
  struct Row {
    const char* what;
    std::string path;
    bool unprivileged;
    const char* error;
  };
  const Row rows[] = {
      {"missing", (scratch() / "missing.json").string(), false, "No such file or directory (os error 2)"},
      {"unreadable", unreadable, true, "Permission denied (os error 13)"},
      {"directory", dir, false, "Is a directory (os error 21)"},
      {"empty", write_text("empty.json", ""), false,
       "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 1 column 0"},
      {"not UTF-8", write_text("latin1.json", "{\"model\":\"caf\xE9\"}"), false, "stream did not contain valid UTF-8"},
      // Nested pipeline parts are built recursively: without a bound this ended in a stack overflow.
      {"nested 100000 deep", write_text("deep.json", deep), false, "recursion limit exceeded"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Invocation run = weights_run(good_model(), row.path);
    run.unprivileged = row.unprivileged;
    const Result r = execute(run);
    if (const auto why = unprivileged_skip(r.status)) GTEST_SKIP() << *why;
    expect_clean(r);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.out, "");
    // The tokenizer comes first: the weights file is never opened.
    expect_lines(r, {ram_line(good_model()), std::string("brain open: \"tokenizer: ") + row.error + "\"\n"});
  }
}

TEST(HostileCli, TokenizerWhoseIdsLieBeyondTheModelsVocabulary) {
  const auto bytes = olvt::make_model(model_spec(1000)).bytes();
  const std::string path = write_bytes("vocab1000.olvt", bytes);
  const Result r = execute(weights_run(path));
  expect_clean(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  expect_lines(r, {ram_line(path), mapped_line(bytes.size()), &kLoadedLine, "FATAL: token id outside vocabulary\n"});
}

// --- arguments ---

TEST(HostileCli, ArgumentThatIsNotUtf8InEachPosition) {
  const std::string dir = "/no/such/model/dir", tok = e2e::tokenizer_json();
  const std::vector<std::string> good = {CHAT_PROBE_EXE, dir, tok, "question", "ignored"};
  for (size_t i = 0; i < good.size(); ++i) {
    SCOPED_TRACE("argument " + std::to_string(i));
    Invocation run;
    run.argv = good;
    run.argv[i] += "\xC3\x28";  // a lead byte without its continuation
    run.env = {{"OLVU_M_MODEL", good_model()}};
    const Result r = execute(run);
    expect_clean(r);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.out, "");
    expect_lines(r, {"chat_probe: argument " + std::to_string(i) + " is not valid UTF-8\n"});
  }
}

// --- output streams ---

TEST(HostileCli, OutputStreamsThatCannotBeWritten) {
  struct Row {
    const char* what;
    Stream out, err;
    const char* report;  // the last line on standard error, when that can be read
  };
  const Row rows[] = {
      {"standard output closed", Stream::Closed, Stream::Pipe, "Bad file descriptor"},
      {"standard output a pipe without reader", Stream::Broken, Stream::Pipe, "Broken pipe"},
      {"standard output full", Stream::Full, Stream::Pipe, "No space left on device"},
      {"standard error closed", Stream::Pipe, Stream::Closed, nullptr},
      {"standard error a pipe without reader", Stream::Pipe, Stream::Broken, nullptr},
      {"standard error full", Stream::Pipe, Stream::Full, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Invocation run = weights_run(good_model());
    run.out = row.out;
    run.err = row.err;
    const Result r = execute(run);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 101) << describe(r);
    if (row.report) {
      expect_clean(r);
      // Failed flushes after each piece are let pass; the final newline's is the report.
      expect_lines(r, {ram_line(good_model()), mapped_line(fs::file_size(good_model())), &kLoadedLine, &kTimingLine,
                       std::string("chat_probe: failed writing to standard output: ") + row.report + "\n"});
    } else {
      // The very first report line fails: nothing is run and nothing is answered.
      EXPECT_EQ(r.out, "");
    }
  }
}

// --- worker counts: whatever the variable says, the same answer ---

// An answer of a few tokens: the embedding favours two word ids and the stop
// token 248046 (on whichever side the model's last hidden vector takes), so a
// turn is short even on an oversubscribed pool.
const std::string& short_answer_model() {
  static const std::string path = [] {
    const std::string p = (scratch() / "short-answer.olvt").string();
    const auto hello = e2e::encode("Hello"), world = e2e::encode(" world");
    const std::vector<uint32_t> favoured = {hello.at(0), world.at(0), 248046};
    for (const bool plus : {true, false}) {
      e2e::biased_model(248320, plus ? favoured : std::vector<uint32_t>{}, plus ? std::vector<uint32_t>{} : favoured)
          .write(p);
      const e2e::Replay replay = e2e::replay_turn(p, "Olvu, what is a prime number?");
      if (!replay.generated.empty() && replay.generated.size() < 20) return p;
    }
    ADD_FAILURE() << "fixture: the answer should end after a few tokens";
    return p;
  }();
  return path;
}

TEST(HostileCli, AbsurdWorkerCountsGiveTheSameAnswer) {
  const std::string model = short_answer_model();
  fs::permissions(model, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  Invocation base = weights_run(model);
  const Result want = execute(base);
  expect_clean(want);
  ASSERT_EQ(want.status, 0) << describe(want);
  ASSERT_GT(want.out.size(), 1u);
  for (const char* threads : {"-2147483648", "2147483647", "99999999999999999999", "-1", "0", "65", "1000000",
                              "0x10", "1e3", " 8", "", "+"}) {
    SCOPED_TRACE(std::string("OLVU_M_THREADS=\"") + threads + "\"");
    Invocation run = base;
    run.env.push_back({"OLVU_M_THREADS", threads});
    const Result r = execute(run);
    expect_clean(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want.out);
    expect_lines(r, {ram_line(model), mapped_line(fs::file_size(model)), &kLoadedLine, &kTimingLine,
                     &kFirstTokenLine});
  }
}

// --- a weights file changed on disk after it was mapped ---

// Runs chat_probe on `path` and calls `change` on the file while the program
// holds it mapped and has read no tensor yet. Standard error is a one-page
// pipe filled so that exactly the memory line and the mapping line still fit:
// the program then blocks on its load-time line until the pipe is read.
Result run_changed_while_mapped(const std::string& path, const std::function<bool()>& change) {
  const size_t lines_len = ram_line(path).size() + mapped_line(fs::file_size(path)).size();
  constexpr int PIPE_PAGE = 4096;
  bool changed = false;
  Result r = execute(weights_run(path), PIPE_PAGE - static_cast<int>(lines_len), [&](int err_fd, pid_t) {
    for (int waited_ms = 0; waited_ms < RUN_TIMEOUT_S * 1000; waited_ms += 2) {
      int queued = 0;
      if (ioctl(err_fd, FIONREAD, &queued) == 0 && queued >= PIPE_PAGE) {
        changed = change();
        return;
      }
      usleep(2000);
    }
  });
  EXPECT_TRUE(changed) << describe(r);
  r.err = r.err.substr(std::min(r.err.size(), r.err.find_first_not_of('#')));
  return r;
}

// Cut short: the first pass touches pages that no longer exist, and the bus
// error of the mapping is the engine's fatal report. On a busy machine the
// loader may still be reading the mapping when the file is cut, before its
// load-time line: the report is the same, only that line is missing.
TEST(HostileCli, WeightsFileCutShortWhileMapped) {
  const std::string path = (scratch() / "shrinking.olvt").string();
  fs::copy_file(good_model(), path, fs::copy_options::overwrite_existing);
  const uint64_t size = fs::file_size(path);
  const Result r = run_changed_while_mapped(path, [&] { return truncate(path.c_str(), 84) == 0; });
  expect_clean(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const char* fatal = "FATAL: weights file truncated or unreadable after mapping\n";
  if (lines(r.err).size() == 3)
    expect_lines(r, {ram_line(path), mapped_line(size), fatal});
  else
    expect_lines(r, {ram_line(path), mapped_line(size), &kLoadedLine, fatal});
}

// The model of model_spec() laid out so that every tensor's data is aligned
// to its element type, which the loader then uses in place from the mapping
// (an unaligned f32 tensor would be copied at load and never see the file
// again): an empty record whose name length brings the data to a multiple of 4.
olvt::Writer zero_copy_model(uint64_t seed) {
  olvt::ModelSpec spec = model_spec();
  spec.seed = seed;
  olvt::Writer w = olvt::make_model(spec);
  auto& ts = w.tensors();
  ts.insert(ts.begin(), olvt::Tensor{"padding", 2, {}, {}, {}, {}});
  while (w.table_end() % 4 != 0) ts.front().name += '_';
  return w;
}

// Rewritten in place with other weights of the same layout: nothing on Linux
// tells a shared mapping that its pages changed, so the turn runs on the new
// values. Its layout was read when the file was opened, so no read leaves the
// tensors, and the answer is the new weights' answer.
TEST(HostileCli, WeightsFileRewrittenInPlaceWhileMapped) {
  const std::string original = write_bytes("original.olvt", zero_copy_model(5).bytes());
  const std::vector<uint8_t> replacement = zero_copy_model(6).bytes();
  ASSERT_EQ(replacement.size(), fs::file_size(original));
  const std::string replacement_path = write_bytes("replacement.olvt", replacement);
  const std::string question = "Olvu, what is a prime number?";
  const e2e::Replay before = e2e::replay_turn(original, question), after = e2e::replay_turn(replacement_path, question);
  ASSERT_NE(before.generated, after.generated) << "the two models should answer differently";

  const std::string path = (scratch() / "rewritten.olvt").string();
  fs::copy_file(original, path, fs::copy_options::overwrite_existing);
  const Result r = run_changed_while_mapped(path, [&] {
    const int fd = open(path.c_str(), O_WRONLY);
    const bool ok = fd >= 0 && pwrite(fd, replacement.data(), replacement.size(), 0) == static_cast<ssize_t>(replacement.size());
    if (fd >= 0) close(fd);
    return ok;
  });
  expect_clean(r);
  EXPECT_EQ(r.status, 0);
  std::string answer;
  for (const std::string& piece : after.pieces) answer += piece;
  EXPECT_EQ(r.out, answer + "\n");
  expect_lines(r, {ram_line(path), mapped_line(replacement.size()), &kLoadedLine, &kTimingLine, &kFirstTokenLine});
}

}  // namespace
