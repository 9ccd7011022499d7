// The bus-error handler of the weights mappings. Mappings are registered on
// the driving thread and never removed (the engine never unmaps); the handler
// only walks the list, so it is safe in any thread a fault lands in.
#include "model/mapping_guard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

struct Range {
  const unsigned char* base;
  uint64_t size;
  Range* next;
};

std::atomic<Range*> g_ranges{nullptr};
struct sigaction g_previous;

constexpr char MESSAGE[] = "FATAL: weights file truncated or unreadable after mapping\n";

void on_bus_error(int sig, siginfo_t* info, void* context) {
  const auto* addr = static_cast<const unsigned char*>(info->si_addr);
  for (const Range* r = g_ranges.load(std::memory_order_acquire); r; r = r->next) {
    if (addr >= r->base && static_cast<uint64_t>(addr - r->base) < r->size) {
      // Only async-signal-safe calls here: the fault may be in any thread.
      ssize_t ignored = write(STDERR_FILENO, MESSAGE, sizeof MESSAGE - 1);
      (void)ignored;
      _exit(1);
    }
  }
  if (g_previous.sa_flags & SA_SIGINFO) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  } else {
    // The default action, as if this handler had never been there; for a
    // fault, also the repeated access after the return would raise it again.
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

}  // namespace

void guard_mapping(const void* base, uint64_t size) {
  Range* r = new (std::nothrow) Range{static_cast<const unsigned char*>(base), size, nullptr};
  if (!r) return;  // unguarded: a cut file then ends the process with the bus error itself
  const bool first = g_ranges.load(std::memory_order_relaxed) == nullptr;
  r->next = g_ranges.load(std::memory_order_relaxed);
  g_ranges.store(r, std::memory_order_release);
  if (!first) return;
  struct sigaction sa = {};
  sa.sa_sigaction = on_bus_error;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, &g_previous);
}
