// Timing of every pool job, built only with OLVU_POOL_TRACE (a profiling build
// option, off by default): when each job was published and returned, and when
// each participant started and finished its claims. The decode benchmark reads
// it to split a step into serial work on the caller, work inside jobs, and the
// time participants spend waiting to be woken or for the slowest one to end.
// Without the option nothing here exists and the pool records nothing.
#pragma once

#ifdef OLVU_POOL_TRACE

#include <cstdint>
#include <ctime>

#include "runtime/pool.h"

struct PoolTraceJob {
  RangeFn fn;
  int32_t n;
  int64_t publish_ns, return_ns;      // the caller: before the generation moves, after the last done slot
  int64_t start_ns[POOL_MAX_THREADS];  // per participant (the caller last): first claim
  int64_t end_ns[POOL_MAX_THREADS];    // after the claim that found nothing left
};

constexpr int32_t POOL_TRACE_JOBS = 8192;

// Jobs are kept by generation modulo POOL_TRACE_JOBS; recording runs while `on`.
struct PoolTrace {
  bool on;
  PoolTraceJob jobs[POOL_TRACE_JOBS];
};

extern PoolTrace pool_trace;

inline int64_t pool_trace_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

#endif
