// Probes of what the machine running the tests provides. Some tests depend on
// the kernel's enforcement of an address-space limit or on posix_spawn
// reporting a failed exec; user-mode emulators (qemu-user) provide neither, and
// those tests skip with the reason instead of failing there. On real hardware
// both probes succeed and the tests run in full.
#pragma once

#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testutil {

// True when a lowered RLIMIT_AS makes a large mapping fail. Probed once, in a
// forked child so the limit never touches the test process.
inline bool address_space_limit_enforced() {
  static const bool enforced = [] {
    const pid_t pid = fork();
    if (pid < 0) return true;  // cannot probe: assume a real kernel
    if (pid == 0) {
      long pages = 0;
      if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
      }
      rlimit lim;
      getrlimit(RLIMIT_AS, &lim);
      lim.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                     (64u << 20);
      if (pages == 0 || setrlimit(RLIMIT_AS, &lim) != 0) _exit(2);
      void* p = mmap(nullptr, size_t{1} << 30, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      _exit(p == MAP_FAILED ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  }();
  return enforced;
}

// True when posix_spawn returns an error for a program that cannot be executed
// (rather than starting a child that exits with status 127).
inline bool spawn_reports_exec_failure() {
  static const bool reports = [] {
    char arg0[] = "/nonexistent/olvu-spawn-probe";
    char* argv[] = {arg0, nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, arg0, nullptr, nullptr, argv, envp);
    if (rc != 0) return true;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return false;
  }();
  return reports;
}

}  // namespace testutil
