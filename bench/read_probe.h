// The read probe of the benchmarks: a plain read of a set of bytes, cut into
// rows and spread over the engine's pool exactly as a matrix-vector product
// spreads its weight rows, so the product's bandwidth is measured against the
// best a bare read of the same bytes reaches in the same run.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include "kernels/avx512_intrinsics.h"
#endif

#include "kernels/cpu_features.h"
#include "runtime/pool.h"

namespace read_probe {

// A chunk is read as this many interleaved streams: the kernels work on
// several weight rows at once and so keep several prefetch streams in flight,
// and a single stream per core leaves bandwidth unused. Measured on the 8-core
// Xeon (Sapphire Rapids, KVM) over 1.5 GB, GB/s for 1 / 2 / 4 / 8 streams:
// one thread 11.5 / 13.4 / 15.0 / 15.5, eight threads 86.9 / 95.2 / 96.6 / 96.9.
constexpr int kStreams = 8;

#if defined(__x86_64__)
// 64-byte loads folded with OR: one load and one cheap logic op per cache line,
// so the loads, not the arithmetic, bound the loop.
template <int S>
__attribute__((target("avx512f"))) inline uint64_t read_avx512(const uint8_t* p, int64_t n) {
  const int64_t step = 128, span = n / (S * step) * step;  // bytes per stream
  __m512i acc[S][2];
  for (auto& a : acc) a[0] = a[1] = _mm512_setzero_si512();
  for (int64_t i = 0; i < span; i += step)
    for (int s = 0; s < S; ++s) {
      const uint8_t* q = p + s * span + i;
      acc[s][0] = _mm512_or_si512(acc[s][0], _mm512_loadu_si512(q));
      acc[s][1] = _mm512_or_si512(acc[s][1], _mm512_loadu_si512(q + 64));
    }
  __m512i all = _mm512_setzero_si512();
  for (auto& a : acc) all = _mm512_or_si512(all, _mm512_or_si512(a[0], a[1]));
  uint64_t lanes[8], r = 0;
  _mm512_storeu_si512(lanes, all);
  for (uint64_t v : lanes) r |= v;
  for (int64_t i = S * span; i < n; ++i) r |= p[i];
  return r;
}

template <int S>
__attribute__((target("avx2"))) inline uint64_t read_avx2(const uint8_t* p, int64_t n) {
  const int64_t step = 64, span = n / (S * step) * step;
  __m256i acc[S][2];
  for (auto& a : acc) a[0] = a[1] = _mm256_setzero_si256();
  for (int64_t i = 0; i < span; i += step)
    for (int s = 0; s < S; ++s) {
      const uint8_t* q = p + s * span + i;
      acc[s][0] = _mm256_or_si256(acc[s][0], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
      acc[s][1] = _mm256_or_si256(acc[s][1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32)));
    }
  __m256i all = _mm256_setzero_si256();
  for (auto& a : acc) all = _mm256_or_si256(all, _mm256_or_si256(a[0], a[1]));
  uint64_t r = static_cast<uint64_t>(_mm256_extract_epi64(all, 0) | _mm256_extract_epi64(all, 1) |
                                     _mm256_extract_epi64(all, 2) | _mm256_extract_epi64(all, 3));
  for (int64_t i = S * span; i < n; ++i) r |= p[i];
  return r;
}
#endif

template <int S = kStreams>
inline uint64_t read_bytes(const uint8_t* p, int64_t n) {
#if defined(__x86_64__)
  const Isa isa = best_isa();  // cached: CPUID traps to the hypervisor on a VM
  if (isa == Isa::Avx512) return read_avx512<S>(p, n);
  if (isa == Isa::Avx2) return read_avx2<S>(p, n);
#endif
  uint64_t r = 0;
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    r |= v;
  }
  for (; i < n; ++i) r |= p[i];
  return r;
}

// The context of one probe over `rows` rows of `row_bytes` bytes from `base`.
struct Job {
  const uint8_t* base;
  int64_t row_bytes;
  std::atomic<uint64_t> sink{0};  // keeps the reads from being optimised away
};

template <int S = kStreams>
inline void read_range(void* ctx, int32_t s, int32_t e) {
  Job* j = static_cast<Job*>(ctx);
  const uint64_t v = read_bytes<S>(j->base + s * j->row_bytes, (e - s) * j->row_bytes);
  j->sink.fetch_or(v, std::memory_order_relaxed);
}

// Reads the rows over the pool with the matrix-vector grain.
template <int S = kStreams>
inline void read_pool(Job& j, int32_t rows) { pool_for(read_range<S>, &j, rows, 16); }

}  // namespace read_probe
