// The process-wide worker pool: fork-join range jobs over [0, n), the calling
// thread taking part; idle threads spin with a yield hint. No locks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

using RangeFn = void (*)(void* ctx, int32_t start, int32_t end);

constexpr int32_t POOL_MAX_THREADS = 64;
constexpr int32_t POOL_WORKER_SPINS = 524288;
constexpr long POOL_WORKER_SLEEP_NS = 50000;
constexpr int32_t POOL_CALLER_SPINS = 4194304;
constexpr long POOL_CALLER_SLEEP_NS = 20000;

struct WorkerPool {
  pthread_t threads[POOL_MAX_THREADS];
  int32_t n_threads;  // participants including the caller; 0 while no pool exists
  RangeFn job_fn;
  void* job_ctx;
  int32_t total;
  int32_t chunk;
  std::atomic<int32_t> next;
  std::atomic<int32_t> generation;
  std::atomic<int32_t> done[POOL_MAX_THREADS];
};

extern WorkerPool P;

// Creates the pool on the first call only (n_threads still 0); later calls
// ignore their count. A count below 1 means the online processor count.
void pool_create(int32_t requested);

void pool_for(RangeFn fn, void* ctx, int32_t n, int32_t grain);

void* pool_worker(void* arg);

// The processor's spin-wait hint.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}
