// The platform layer: the child-process runner, and the machine facts checked
// against sources the layer does not use.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host_limits.h"
#include "machine.h"
#include "platform.h"

using namespace brain;

TEST(CaptureStdout, ReturnsStandardOutputWhateverTheExitStatus) {
  EXPECT_EQ(capture_stdout({"sh", "-c", "printf '12\\n'"}), "12\n");
  EXPECT_EQ(capture_stdout({"sh", "-c", "printf 34; echo noise >&2; exit 3"}), "34");
  EXPECT_EQ(capture_stdout({"sh", "-c", "exit 1"}), "");
  EXPECT_EQ(capture_stdout({"sh", "-c", "kill -9 $$"}), "");
}

TEST(CaptureStdout, LargeOutputIsReadWhileTheChildRuns) {
  const auto out = capture_stdout({"sh", "-c", "head -c 300000 /dev/zero"});
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 300000u);
}

TEST(CaptureStdout, ChildReadsTheNullDevice) {
  EXPECT_EQ(capture_stdout({"cat"}), "");  // ends at once instead of waiting for our input
}

#if defined(__linux__)
// The driver ignores SIGPIPE; a child must not inherit that.
TEST(CaptureStdout, ChildGetsTheDefaultSigpipeDisposition) {
  signal(SIGPIPE, SIG_IGN);
  const auto status = capture_stdout({"cat", "/proc/self/status"});
  signal(SIGPIPE, SIG_DFL);
  ASSERT_TRUE(status);
  const auto at = status->find("SigIgn:");
  ASSERT_NE(at, std::string::npos);
  const unsigned long long ignored = std::stoull(status->substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
}
#endif

TEST(CaptureStdout, CommandThatCannotBeStartedGivesNone) {
  if (!testutil::spawn_reports_exec_failure())
    GTEST_SKIP() << "posix_spawn on this host does not report a failed exec (user-mode emulator?)";
  EXPECT_EQ(capture_stdout({"no-such-command-chat-probe"}), std::nullopt);
  EXPECT_EQ(capture_stdout({"/nonexistent/dir/cmd"}), std::nullopt);
  EXPECT_EQ(capture_stdout({}), std::nullopt);
}

#if defined(__linux__)
TEST(MachineFacts, MemoryMatchesProcMeminfo) {
  std::ifstream in("/proc/meminfo");
  std::string key;
  unsigned long long kb = 0;
  while (in >> key) {
    if (key == "MemTotal:") {
      in >> kb;
      break;
    }
    in.ignore(1 << 20, '\n');
  }
  if (kb == 0) GTEST_SKIP() << "no /proc/meminfo";
  const double gb = total_ram_gb();
  EXPECT_NEAR(gb, kb * 1024.0 / 1e9, 0.01);
}

TEST(MachineFacts, CoreCountMatchesProcCpuinfo) {
  std::ifstream in("/proc/cpuinfo");
  std::set<std::pair<std::string, std::string>> cores;
  std::string line, physical;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string k = line.substr(0, colon);
    k.erase(k.find_last_not_of(" \t") + 1);
    const std::string v = line.substr(colon + 2 <= line.size() ? colon + 2 : colon + 1);
    if (k == "physical id") physical = v;
    if (k == "core id") cores.emplace(physical, v);
  }
  if (cores.empty()) GTEST_SKIP() << "/proc/cpuinfo has no core ids";
  EXPECT_EQ(core_count_from_text(performance_core_text()), static_cast<int32_t>(cores.size()));
}
#endif
