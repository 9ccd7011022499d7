// Fork-per-input harness with a fork server and coverage copy-back; see fork_child.h.
#include "fork_child.h"

#include <fcntl.h>
#include <poll.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The inline 8-bit counters of every instrumented object, one section that the
// linker brackets with these symbols.
extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak));
}

namespace fuzz_child {
namespace {

constexpr size_t MAX_ARG = 4096;

struct Request {
  Body body;
  uint32_t size;
  unsigned char arg[MAX_ARG];
};

uint8_t* g_shared = nullptr;  // MAP_SHARED: the child's counters land here
size_t g_count = 0;
int g_err_fd = -1;        // the child's standard error, read back after it ends
int g_request_fd = -1;    // to the server
int g_response_fd = -1;   // from the server: the child's pid, then its wait status

void copy_counters_out() {
  if (g_count) std::memcpy(g_shared, __start___sancov_cntrs, g_count);
}

// The engine ends the process only through exit(1) (its fatal errors and the
// missing-tensor report). libFuzzer's own exit handler would call any exit a
// finding, so the child's handler, registered last and so run first, leaves
// with that status before it gets the chance.
void child_at_exit() {
  copy_counters_out();
  std::fflush(stdout);
  _exit(1);
}

// Inside the child a sanitizer report is the parent's business: libFuzzer's
// callback would write a crash file of its own from there.
void child_death() {}

bool read_full(int fd, void* dst, size_t n) {
  auto* p = static_cast<unsigned char*>(dst);
  while (n) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_full(int fd, const void* src, size_t n) {
  const auto* p = static_cast<const unsigned char*>(src);
  while (n) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

[[noreturn]] void serve(int requests, int responses) {
  Request req;
  for (;;) {
    if (!read_full(requests, &req, offsetof(Request, arg)) || req.size > MAX_ARG ||
        !read_full(requests, req.arg, req.size))
      _exit(0);  // the fuzzer has gone
    if (g_count) std::memset(g_shared, 0, g_count);
    if (ftruncate(g_err_fd, 0) != 0 || lseek(g_err_fd, 0, SEEK_SET) != 0) _exit(2);
    const pid_t pid = fork();
    if (pid == 0) {
      close(requests);
      close(responses);
      __sanitizer_set_death_callback(child_death);
      const int null_fd = open("/dev/null", O_RDWR);
      if (null_fd >= 0) dup2(null_fd, 1);
      dup2(g_err_fd, 2);
      std::atexit(child_at_exit);
      req.body(req.arg, req.size);
      copy_counters_out();
      std::fflush(nullptr);
      _exit(0);
    }
    int status = pid < 0 ? -1 : 0;
    if (!write_full(responses, &pid, sizeof pid)) _exit(0);
    if (pid > 0)
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    if (!write_full(responses, &status, sizeof status)) _exit(0);
  }
}

void merge_counters() {
  uint8_t* mine = __start___sancov_cntrs;
  for (size_t i = 0; i < g_count; ++i)
    if (g_shared[i] > mine[i]) mine[i] = g_shared[i];
}

std::string read_capture() {
  struct stat st;
  std::string out;
  if (fstat(g_err_fd, &st) != 0) return out;
  const size_t n = std::min<size_t>(static_cast<size_t>(st.st_size), 1 << 20);
  out.resize(n);
  const ssize_t got = pread(g_err_fd, out.data(), n, 0);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

// A plain search: the fuzzer's own comparison hooks would otherwise take the
// markers below for interesting input bytes.
bool contains(const std::string& s, const char* needle) {
  const size_t n = std::strlen(needle);
  for (size_t i = 0; i + n <= s.size(); ++i) {
    size_t k = 0;
    while (k < n && s[i + k] == needle[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

bool mentions_sanitizer(const std::string& err) {
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "ERROR: UndefinedBehaviorSanitizer", "ERROR: libFuzzer"})
    if (contains(err, marker)) return true;
  return false;
}

bool has_fatal_line(const std::string& err) {
  return (err.size() >= 7 && err.compare(0, 7, "FATAL: ") == 0) || contains(err, "\nFATAL: ");
}

[[noreturn]] void finding(const char* what, int status, const std::string& err) {
  std::fprintf(stderr, "==fork harness== %s (wait status 0x%x); the child's standard error:\n%s\n", what, status,
               err.c_str());
  std::abort();
}

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "==fork harness== %s: %s\n", what, std::strerror(errno));
  std::abort();
}

}  // namespace

void init() {
  if (g_err_fd >= 0) return;
  g_err_fd = memfd_create("child-stderr", MFD_CLOEXEC);
  if (g_err_fd < 0) broken("memfd_create");
  if (+__start___sancov_cntrs && +__stop___sancov_cntrs > +__start___sancov_cntrs) {
    const size_t n = static_cast<size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      g_shared = static_cast<uint8_t*>(p);
      g_count = n;
    }
  }
  int req[2], resp[2];
  if (pipe2(req, O_CLOEXEC) != 0 || pipe2(resp, O_CLOEXEC) != 0) broken("pipe");
  std::fflush(nullptr);
  const pid_t server = fork();
  if (server < 0) broken("fork");
  if (server == 0) {
    close(req[1]);
    close(resp[0]);
    serve(req[0], resp[1]);
  }
  close(req[0]);
  close(resp[1]);
  g_request_fd = req[1];
  g_response_fd = resp[0];
  std::fprintf(stderr, "==fork harness== fork server %d, copying back %zu coverage counters per input\n",
               static_cast<int>(server), g_count);
}

void run(Body body, const void* arg, size_t size, int timeout_ms) {
  if (size > MAX_ARG) std::abort();
  Request req;
  req.body = body;
  req.size = static_cast<uint32_t>(size);
  std::memcpy(req.arg, arg, size);
  if (!write_full(g_request_fd, &req, offsetof(Request, arg) + size)) broken("fork server gone");
  pid_t pid;
  if (!read_full(g_response_fd, &pid, sizeof pid)) broken("fork server gone");
  if (pid < 0) broken("fork in the server failed");

  pollfd p{g_response_fd, POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  const bool hang = r == 0;
  if (hang) kill(pid, SIGKILL);
  int status = 0;
  if (!read_full(g_response_fd, &status, sizeof status)) broken("fork server gone");
  const std::string err = read_capture();
  if (hang) finding("hang: the child ran past its time limit", status, err);
  // For a person replaying inputs: what each child said and how it ended.
  if (std::getenv("OLVU_FUZZ_SHOW_CHILD")) std::fprintf(stderr, "%s==fork harness== wait status 0x%x\n", err.c_str(), status);
  merge_counters();
  if (mentions_sanitizer(err)) finding("sanitizer report", status, err);
  if (!WIFEXITED(status)) finding("the child was ended by a signal", status, err);
  const int code = WEXITSTATUS(status);
  if (code == 1 && !has_fatal_line(err)) finding("exit status 1 without a FATAL report", status, err);
  if (code != 0 && code != 1) finding("unexpected exit status", status, err);
}

}  // namespace fuzz_child
