// The fused multiply-add peak of the machine: every thread runs independent
// chains of multiply-adds on register data, the widest the processor offers,
// and the best rate of a few runs counts. Run it before the engine's pool
// exists: its workers spin between jobs and would take cores from the probe.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include "kernels/avx512_intrinsics.h"
#endif

#include "kernels/cpu_features.h"

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

// GFLOP/s of all threads together (a multiply-add counts two), the best of
// a few runs of about 0.1 s after one untimed run: the first wide
// multiply-adds of a process can run at a lower rate while the processor
// powers its vector units up.
inline double gflops(int threads) {
  const int64_t steps = 40'000'000 / std::max(1, lanes() / 4);
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    std::vector<float> sink(threads);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) ts.emplace_back([&, t] { sink[t] = run(steps); });
    for (auto& t : ts) t.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const int lane_count = lanes() == 1 ? 4 : lanes();
    if (rep > 0) best = std::max(best, 2.0 * lane_count * kChains * static_cast<double>(steps) * threads / s / 1e9);
    volatile float keep = sink[0];
    (void)keep;
  }
  return best;
}

}  // namespace fma_peak
