// The fused multiply-add peak of the machine: every thread runs independent
// chains of multiply-adds on register data, the widest the processor offers,
// and the best rate of several runs counts, reported with their spread. Run it before the engine's pool
// exists: its workers spin between jobs and would take cores from the probe.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <atomic>
#include <vector>

#if defined(__x86_64__)
#include "kernels/avx512_intrinsics.h"
#endif

#include "kernels/cpu_features.h"
#include "runtime/pool.h"

namespace fma_peak {

// Chains per thread: enough independent multiply-adds in flight to cover the
// latency on two 512-bit pipes (4 cycles x 2 pipes = 8), with room to spare,
// and few enough that the compiler keeps every chain in a register (with 24
// it kept them in memory and the probe showed half the rate).
constexpr int kChains = 12;

#if defined(__x86_64__)
__attribute__((target("avx512f"))) inline float run_avx512(int64_t steps) {
  __m512 acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_ps(static_cast<float>(i));
  const __m512 a = _mm512_set1_ps(0.999999f), b = _mm512_set1_ps(1e-7f);
  for (int64_t s = 0; s < steps; ++s)
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_fmadd_ps(acc[i], a, b);
  __m512 t = acc[0];
  for (int i = 1; i < kChains; ++i) t = _mm512_add_ps(t, acc[i]);
  return _mm512_reduce_add_ps(t);
}

__attribute__((target("avx2,fma"))) inline float run_avx2(int64_t steps) {
  __m256 acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = _mm256_set1_ps(static_cast<float>(i));
  const __m256 a = _mm256_set1_ps(0.999999f), b = _mm256_set1_ps(1e-7f);
  for (int64_t s = 0; s < steps; ++s)
    for (int i = 0; i < kChains; ++i) acc[i] = _mm256_fmadd_ps(acc[i], a, b);
  alignas(32) float l[8];
  __m256 t = acc[0];
  for (int i = 1; i < kChains; ++i) t = _mm256_add_ps(t, acc[i]);
  _mm256_store_ps(l, t);
  return l[0] + l[7];
}
#endif

// Lanes of one multiply-add on this machine's widest path, and one run of it.
inline int lanes() {
#if defined(__x86_64__)
  return isa_supported(Isa::Avx512) ? 16 : isa_supported(Isa::Avx2) ? 8 : 1;
#elif defined(__aarch64__)
  return 4;
#else
  return 1;
#endif
}

inline float run(int64_t steps) {
#if defined(__x86_64__)
  if (isa_supported(Isa::Avx512)) return run_avx512(steps);
  if (isa_supported(Isa::Avx2)) return run_avx2(steps);
#endif
  float acc[kChains][4];
  for (int i = 0; i < kChains; ++i)
    for (int l = 0; l < 4; ++l) acc[i][l] = static_cast<float>(i);
  for (int64_t s = 0; s < steps; ++s)
    for (int i = 0; i < kChains; ++i)
      for (int l = 0; l < 4; ++l) acc[i][l] = std::fmaf(acc[i][l], 0.999999f, 1e-7f);
  return acc[0][0] + acc[kChains - 1][3];
}

// A probe's repetitions in GFLOP/s of all threads together (a multiply-add
// counts two): the best, the median and the lowest.
struct Rates {
  double best = 0, median = 0, lowest = 0;
};

// The threads are started once and warmed up on an untimed run of about a
// quarter of a second (the first wide multiply-adds of a process can run at
// a lower rate while the processor powers its vector units up), then every
// repetition starts all of them together from a spinning barrier and ends
// when the last one is done; the calling thread is one of them, as it is in
// the pool. Starting fresh threads inside each timed run instead gave 774 to
// 1548 GFLOP/s in five runs of the benchmark on 8 threads (AMD EPYC family
// 26) and 1530-1630 in three probes in a row; this way, three probes in a
// row gave best 1793-1819, medians 1766-1797, lowest 1688-1760 (one thread
// alone: 231-233, so 8 x 233 = 1864 is the ceiling).
inline Rates gflops_runs(int threads, int reps = 9) {
  threads = std::max(1, threads);
  const int64_t steps = 200'000'000 / std::max(1, lanes() / 4);  // about 0.08 s a run on 3.6 GHz
  std::atomic<int> go{0}, finished{0};
  std::vector<float> sink(threads);
  auto work = [&](int t) {
    for (int run_id = 1; run_id <= reps + 1; ++run_id) {
      while (go.load(std::memory_order_acquire) < run_id) cpu_relax();
      sink[t] += run(run_id == 1 ? 3 * steps : steps);
      finished.fetch_add(1, std::memory_order_acq_rel);
    }
  };
  std::vector<std::thread> ts;
  for (int t = 1; t < threads; ++t) ts.emplace_back(work, t);
  std::vector<double> rates;
  for (int run_id = 1; run_id <= reps + 1; ++run_id) {
    const auto t0 = std::chrono::steady_clock::now();
    go.store(run_id, std::memory_order_release);
    sink[0] += run(run_id == 1 ? 3 * steps : steps);
    finished.fetch_add(1, std::memory_order_acq_rel);
    while (finished.load(std::memory_order_acquire) < run_id * threads) cpu_relax();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int lane_count = lanes() == 1 ? 4 : lanes();
    if (run_id > 1) rates.push_back(2.0 * lane_count * kChains * static_cast<double>(steps) * threads / s / 1e9);
  }
  for (auto& t : ts) t.join();
  volatile float keep = sink[0];
  (void)keep;
  std::sort(rates.begin(), rates.end());
  Rates r;
  r.best = rates.back();
  r.median = rates[rates.size() / 2];
  r.lowest = rates.front();
  return r;
}

}  // namespace fma_peak
