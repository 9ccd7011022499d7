// Test helpers for code that ends the process or holds process-wide state:
// run a body in a forked child and collect its exit status and the exact bytes
// it wrote to standard error; capture this process's standard error; make
// scratch files.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace testutil {

struct ChildResult {
  int exit_code = -1;  // the child's exit status, or -1 when a signal ended it
  int signal = 0;
  std::string err;     // everything the child wrote to standard error
};

// Runs body in a child process; a body that returns exits with status 0.
template <class Body>
ChildResult run_child(Body body) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 2);
    close(fds[1]);
    body();
    std::fflush(nullptr);
    _exit(0);
  }
  close(fds[1]);
  ChildResult r;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    r.err.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

// Redirects this process's standard error into a string for a scope.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    std::FILE* tmp = std::tmpfile();
    if (!tmp) std::abort();
    file_ = tmp;
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCapture() { finish(); }
  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
      std::rewind(file_);
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
      std::fclose(file_);
    }
    return text_;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

// A scratch directory for the files of one test binary, removed when the
// process that made it exits (children that end through exit leave it alone).
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/olvu_test_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    static std::string cleanup_cmd = std::string("rm -rf '") + tmpl + "'";
    static pid_t owner = getpid();
    std::atexit([] {
      if (getpid() == owner && std::system(cleanup_cmd.c_str()) != 0) {
      }
    });
    return std::string(tmpl);
  }();
  return dir;
}

inline std::string scratch_path(const std::string& name) { return scratch_dir() + "/" + name; }

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

}  // namespace testutil
