// Writes to standard output and standard error that either succeed or throw
// OutputError, so a closed pipe or a full disk ends the run with a report
// instead of passing silently.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace brain {

class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Standard error is unbuffered, so each call reaches the stream at once and in
// order with the engine's own lines.
void write_stderr(std::string_view text);

// Into the standard output buffer; the caller decides when to flush.
void write_stdout(std::string_view text);

// Flushes standard output; false when that fails.
bool flush_stdout();

// Flushes standard output; throws OutputError when that fails.
void flush_stdout_checked();

// printf-style formatting into a string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace brain
