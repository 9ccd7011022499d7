// Platform sources of the machine facts. macOS answers through the sysctl
// command; Linux has no such keys, so the same facts come from sysconf and sysfs
// and are handed on as decimal text, to go through the same parsers.
#include "platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <utility>

extern char** environ;

namespace brain {

std::optional<std::string> capture_stdout(const std::vector<std::string>& argv) {
  if (argv.empty()) return std::nullopt;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The driver ignores SIGPIPE; the child gets the default disposition back.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return std::nullopt;
  }

  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return out;
}

#if defined(__APPLE__)

std::optional<std::string> physical_memory_text() {
  return capture_stdout({"sysctl", "-n", "hw.memsize"});
}

std::optional<std::string> performance_core_text() {
  return capture_stdout({"sysctl", "-n", "hw.perflevel0.physicalcpu"});
}

#else

std::optional<std::string> physical_memory_text() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return std::nullopt;
  return std::to_string(static_cast<unsigned long long>(pages) *
                        static_cast<unsigned long long>(page_size));
}

namespace {

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

}  // namespace

// Hyper-threads share a core: count distinct (package, core) pairs.
std::optional<std::string> performance_core_text() {
  std::set<std::pair<std::string, std::string>> cores;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/devices/system/cpu", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos)
      continue;
    const std::string dir = entry.path().string();
    const auto package = read_first_line(dir + "/topology/physical_package_id");
    const auto core = read_first_line(dir + "/topology/core_id");
    if (package && core) cores.emplace(*package, *core);
  }
  if (cores.empty()) return std::nullopt;
  return std::to_string(cores.size());
}

#endif

}  // namespace brain
