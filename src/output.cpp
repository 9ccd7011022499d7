// Checked writes through stdio, which the engine shares for its status lines.
#include "output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace brain {
namespace {

void write_all(FILE* stream, std::string_view text, const char* name) {
  if (text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size()) {
    const int err = errno;
    throw OutputError(std::string("failed writing to ") + name + (err ? ": " : "") +
                      (err ? std::strerror(err) : ""));
  }
}

}  // namespace

void write_stderr(std::string_view text) { write_all(stderr, text, "standard error"); }

void write_stdout(std::string_view text) { write_all(stdout, text, "standard output"); }

bool flush_stdout() { return std::fflush(stdout) == 0; }

void flush_stdout_checked() {
  errno = 0;
  if (std::fflush(stdout) != 0) {
    const int err = errno;
    throw OutputError(std::string("failed writing to standard output") + (err ? ": " : "") +
                      (err ? std::strerror(err) : ""));
  }
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

}  // namespace brain
