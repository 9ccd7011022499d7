// Fatal errors end the process at once; nothing is released or unmapped first.
#include "runtime/fatal.h"

#include <cstdio>
#include <cstdlib>

void fatal(const char* message) {
  std::fprintf(stderr, "FATAL: %s\n", message);
  std::exit(1);
}
