// Worker pool. Participants claim chunks of the range with one atomic add each;
// the caller waits for every worker's done slot to reach the job's generation,
// which makes each pool_for a full barrier.
#include "runtime/pool.h"

#include "runtime/pool_trace.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

WorkerPool P;

#ifdef OLVU_POOL_TRACE
PoolTrace pool_trace;
#endif

namespace {

void nap(long ns) {
  timespec ts{0, ns};
  nanosleep(&ts, nullptr);
}

void claim_and_run() {
  for (;;) {
    int32_t s = P.next.fetch_add(P.chunk, std::memory_order_acq_rel);
    if (s >= P.total) return;
    // In 64 bits: the last chunk of a range near INT32_MAX must not wrap.
    const int64_t end = std::min<int64_t>(int64_t{s} + P.chunk, P.total);
    P.job_fn(P.job_ctx, s, static_cast<int32_t>(end));
  }
}

}  // namespace

void pool_create(int32_t requested) {
  if (P.n_threads != 0) return;
  long t = requested;
  if (t < 1) t = sysconf(_SC_NPROCESSORS_ONLN);
  int32_t n = static_cast<int32_t>(std::clamp<long>(t, 1, POOL_MAX_THREADS));
  P.n_threads = n;
  P.generation.store(0, std::memory_order_release);
  if (n > 1) {
    for (int32_t i = 0; i < n - 1; ++i) {
      P.done[i].store(0, std::memory_order_release);
      if (pthread_create(&P.threads[i], nullptr, pool_worker,
                         reinterpret_cast<void*>(static_cast<intptr_t>(i))) != 0) {
        // Run with the workers that did start: a slot without a thread would
        // never report done and every job would wait on it forever.
        P.n_threads = i + 1;
        break;
      }
    }
  }
}

void* pool_worker(void* arg) {
  const int32_t i = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
  int32_t seen = 0;
  for (;;) {
    int32_t spins = 0;
    int32_t g = P.generation.load(std::memory_order_acquire);
    while (g == seen) {
      cpu_relax();
      if (spins >= POOL_WORKER_SPINS) {
        nap(POOL_WORKER_SLEEP_NS);
        spins = 0;
      } else {
        ++spins;
      }
      g = P.generation.load(std::memory_order_acquire);
    }
#ifdef OLVU_POOL_TRACE
    PoolTraceJob& tj = pool_trace.jobs[g % POOL_TRACE_JOBS];
    if (pool_trace.on) tj.start_ns[i] = pool_trace_now();
#endif
    claim_and_run();
#ifdef OLVU_POOL_TRACE
    if (pool_trace.on) tj.end_ns[i] = pool_trace_now();
#endif
    P.done[i].store(g, std::memory_order_release);
    seen = g;
  }
  return nullptr;
}

void pool_for(RangeFn fn, void* ctx, int32_t n, int32_t grain) {
  if (n < 1) return;
  if (n <= grain || P.n_threads <= 1) {
    fn(ctx, 0, n);
    return;
  }
  P.job_fn = fn;
  P.job_ctx = ctx;
  P.total = n;
  // A grain below 1 is a caller's error; a chunk of 0 would claim nothing forever.
  P.chunk = std::max({n / (4 * P.n_threads), grain, 1});
  P.next.store(0, std::memory_order_release);
#ifdef OLVU_POOL_TRACE
  const bool trace = pool_trace.on;
  PoolTraceJob& tj = pool_trace.jobs[(P.generation.load(std::memory_order_relaxed) + 1) % POOL_TRACE_JOBS];
  const int32_t me = P.n_threads - 1;
  if (trace) {
    tj.fn = fn;
    tj.n = n;
    tj.publish_ns = pool_trace_now();
  }
#endif
  const int32_t g = P.generation.fetch_add(1, std::memory_order_acq_rel) + 1;
#ifdef OLVU_POOL_TRACE
  if (trace) tj.start_ns[me] = pool_trace_now();
#endif
  claim_and_run();
#ifdef OLVU_POOL_TRACE
  if (trace) tj.end_ns[me] = pool_trace_now();
#endif
  for (int32_t i = 0; i < P.n_threads - 1; ++i) {
    int32_t spins = 0;
    while (P.done[i].load(std::memory_order_acquire) != g) {
      cpu_relax();
      if (spins >= POOL_CALLER_SPINS) {
        nap(POOL_CALLER_SLEEP_NS);
        spins = 0;
      } else {
        ++spins;
      }
    }
  }
#ifdef OLVU_POOL_TRACE
  if (trace) tj.return_ns = pool_trace_now();
#endif
}
