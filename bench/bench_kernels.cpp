// Throughput of the matrix kernels against probes measured in the same run:
// matrix-vector products over a weight set far larger than the caches against
// a plain read of the same bytes (same pool, same chunks), and batched
// products with q8 weights against the best single-precision GEMM this
// machine's BLAS gives for the same shapes with f32 weights already expanded.
// Prints one table. Usage: bench_kernels [threads (default: online CPUs)] [--quick]
// [--matvec | --matmat] (one half only)
#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kernels/cpu_features.h"
#include "kernels/matmat.h"
#include "kernels/matvec.h"
#include "olvt_writer.h"
#include "runtime/pool.h"
#include "read_probe.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best (smallest) time of `reps` runs of each function, the runs interleaved
// so that a disturbance hits both sides alike, after one untimed run of each
// (pages touched, caches and scratch sized).
std::vector<double> best_times(int reps, const std::vector<std::function<void()>>& fns) {
  std::vector<double> best(fns.size(), 1e30);
  for (const auto& f : fns) f();
  for (int r = 0; r < reps; ++r)
    for (size_t i = 0; i < fns.size(); ++i) {
      const double t0 = now();
      fns[i]();
      best[i] = std::min(best[i], now() - t0);
    }
  return best;
}

struct Rows {
  std::string shape;
  double value, probe;
  const char* unit;
};
std::vector<Rows> table;

void add_row(const std::string& shape, double value, double probe, const char* unit) {
  table.push_back({shape, value, probe, unit});
  std::fprintf(stderr, "  %-44s %9.1f %9.1f %s  %5.1f %%\n", shape.c_str(), value, probe, unit, 100.0 * value / probe);
}

uint64_t rng_state = 0x9E3779B97F4A7C15ull;
uint64_t rnd() {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 7;
  rng_state ^= rng_state << 17;
  return rng_state;
}

// ---- matrix-vector ----

struct Mat {
  std::vector<uint8_t> bytes;
  TensorEntry e{};
  int32_t rows, K;
  int64_t row_bytes;
};

Mat make_q8(int32_t rows, int32_t K) {
  Mat m;
  m.rows = rows;
  m.K = K;
  m.row_bytes = static_cast<int64_t>(K / 32) * 36;
  m.bytes.resize(static_cast<size_t>(rows * m.row_bytes));
  uint8_t* p = m.bytes.data();
  const float scale = 0.0078125f;
  for (int64_t b = 0; b < static_cast<int64_t>(rows) * (K / 32); ++b, p += 36) {
    std::memcpy(p, &scale, 4);
    for (int i = 0; i < 4; ++i) {
      const uint64_t v = rnd();
      std::memcpy(p + 4 + 8 * i, &v, 8);
    }
  }
  m.e.dtype = DTYPE_Q8;
  m.e.data_q8 = m.bytes.data();
  return m;
}

Mat make_f16(int32_t rows, int32_t K) {
  Mat m;
  m.rows = rows;
  m.K = K;
  m.row_bytes = 2 * static_cast<int64_t>(K);
  m.bytes.resize(static_cast<size_t>(rows * m.row_bytes));
  for (size_t i = 0; i + 8 <= m.bytes.size(); i += 8) {
    // halves of magnitude 1/8 .. 1/4, random signs and mantissas
    const uint64_t v = (rnd() & 0x83FF83FF83FF83FFull) | 0x3000300030003000ull;
    std::memcpy(&m.bytes[i], &v, 8);
  }
  m.e.dtype = DTYPE_F16;
  m.e.data_f16 = reinterpret_cast<const uint16_t*>(m.bytes.data());
  return m;
}

double total_bytes(const std::vector<Mat>& set) {
  double b = 0;
  for (const auto& m : set) b += static_cast<double>(m.bytes.size());
  return b;
}

void bench_matvec(const char* name, const std::vector<Mat>& set, int reps) {
  int32_t maxK = 0, maxR = 0;
  for (const auto& m : set) maxK = std::max(maxK, m.K), maxR = std::max(maxR, m.rows);
  std::vector<float> x(maxK), y(maxR);
  for (auto& v : x) v = static_cast<float>(static_cast<int64_t>(rnd() % 2001) - 1000) / 1000.0f;
  static read_probe::Job rj;
  const double bytes = total_bytes(set);
  const detail::MvKernels* k = detail::mv_kernels(best_isa());
  const std::string size = std::to_string(static_cast<int>(bytes / 1e6)) + " MB";

  auto kernel_pool = [&] {
    for (const auto& m : set) matvec(&m.e, x.data(), y.data(), m.rows, m.K);
  };
  auto probe_pool = [&] {
    for (const auto& m : set) {
      rj.base = m.bytes.data();
      rj.row_bytes = m.row_bytes;
      read_probe::read_pool(rj, m.rows);
    }
  };
  auto kernel_one = [&] {
    for (const auto& m : set) {
      VecJob job{m.bytes.data(), x.data(), y.data(), m.rows, m.K};
      (m.e.data_q8 ? k->q8 : k->f16)(&job, 0, m.rows);
    }
  };
  auto probe_one = [&] {
    for (const auto& m : set) {
      rj.base = m.bytes.data();
      rj.row_bytes = m.row_bytes;
      read_probe::read_range(&rj, 0, m.rows);
    }
  };
  auto t = best_times(reps, {kernel_pool, probe_pool});
  add_row(std::string("matvec ") + name + ", " + size + ", " + std::to_string(P.n_threads) + " threads",
          bytes / t[0] / 1e9, bytes / t[1] / 1e9, "GB/s");
  t = best_times(std::max(2, reps / 2), {kernel_one, probe_one});
  add_row(std::string("matvec ") + name + ", " + size + ", 1 thread", bytes / t[0] / 1e9, bytes / t[1] / 1e9, "GB/s");
}

// ---- batched products ----

struct Shape {
  int32_t M, N, K;
};

struct SgemmJob {
  const float *X, *B;
  float* Y;
  int32_t M, N, K;
};

void sgemm_range(void* ctx, int32_t n0, int32_t n1) {
  const SgemmJob* j = static_cast<const SgemmJob*>(ctx);
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, j->M, n1 - n0, j->K, 1.0f, j->X, j->K,
              j->B + static_cast<int64_t>(n0) * j->K, j->K, 0.0f, j->Y + n0, j->N);
}

void set_blas_threads(int n) {
#ifdef OPENBLAS_SEQUENTIAL
  openblas_set_num_threads(n);
#else
  (void)n;
#endif
}

struct GemmData {
  Shape s;
  std::vector<float> X, B, Y;
  Mat q8;
};

GemmData make_gemm(Shape s) {
  GemmData g;
  g.s = s;
  g.q8 = make_q8(s.N, s.K);
  g.B.resize(static_cast<size_t>(s.N) * s.K);
  for (int32_t o = 0; o < s.N; ++o)
    for (int32_t b = 0; b < s.K / 32; ++b) {
      const uint8_t* blk = g.q8.bytes.data() + (static_cast<int64_t>(o) * (s.K / 32) + b) * 36;
      float sc;
      std::memcpy(&sc, blk, 4);
      for (int j = 0; j < 32; ++j)
        g.B[static_cast<size_t>(o) * s.K + 32 * b + j] = sc * static_cast<float>(static_cast<int8_t>(blk[4 + j]));
    }
  g.X.resize(static_cast<size_t>(s.M) * s.K);
  for (auto& v : g.X) v = static_cast<float>(static_cast<int64_t>(rnd() % 2001) - 1000) / 1000.0f;
  g.Y.resize(static_cast<size_t>(s.M) * s.N);
  return g;
}

double gflops(const Shape& s, double t) { return 2.0 * s.M * s.N * s.K / t / 1e9; }

std::string shape_name(const Shape& s) {
  return "M=" + std::to_string(s.M) + " N=" + std::to_string(s.N) + " K=" + std::to_string(s.K);
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 0;
  bool quick = false, do_mv = true, do_mm = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    else if (std::strcmp(argv[i], "--matvec") == 0) do_mm = false;
    else if (std::strcmp(argv[i], "--matmat") == 0) do_mv = false;
    else threads = std::atoi(argv[i]);
  }
  if (threads < 1) threads = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  const int reps = quick ? 3 : 5;
  std::fprintf(stderr, "kernels: %s, BLAS threads at start: %d\n", isa_name(best_isa()),
#ifdef OPENBLAS_SEQUENTIAL
               openblas_get_num_threads()
#else
               0
#endif
  );

  std::vector<Shape> shapes;
  for (int32_t M : {16, 64, 256, 1024})
    for (auto nk : {std::pair{2048, 2048}, std::pair{6144, 2048}, std::pair{2048, 6144}})
      shapes.push_back({M, nk.first, nk.second});

  // The BLAS with its own threads, measured before the engine's pool exists
  // (once it does, its spinning workers share the cores with the BLAS threads).
  std::vector<GemmData> gemm;
  if (do_mm)
    for (const Shape& s : shapes) gemm.push_back(make_gemm(s));
  std::vector<double> own_alone;
  set_blas_threads(threads);
  for (auto& g : gemm) {
    const Shape s = g.s;
    auto t = best_times(reps, {[&] {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, s.M, s.N, s.K, 1.0f, g.X.data(), s.K, g.B.data(), s.K,
                  0.0f, g.Y.data(), s.N);
    }});
    own_alone.push_back(gflops(s, t[0]));
  }

  pool_create(threads);

  if (do_mv) {
    std::fprintf(stderr, "matrix-vector (kernel, probe: plain read of the same bytes)\n");
    std::vector<Mat> q8;
    const int layers = quick ? 4 : 24;
    for (int l = 0; l < layers; ++l) {
      q8.push_back(make_q8(4096, 2048));  // q
      q8.push_back(make_q8(512, 2048));   // k
      q8.push_back(make_q8(512, 2048));   // v
      q8.push_back(make_q8(2048, 4096));  // o
      q8.push_back(make_q8(6144, 2048));  // gate
      q8.push_back(make_q8(6144, 2048));  // up
      q8.push_back(make_q8(2048, 6144));  // down
    }
    bench_matvec("q8", q8, reps);
  }
  if (do_mv) {
    std::vector<Mat> f16;
    f16.push_back(make_f16(quick ? 65536 : 248320, 2048));
    bench_matvec("f16 embedding", f16, reps);
  }

  if (do_mm) std::fprintf(stderr, "batched products (matmat_t with q8 weights, probe: best f32 sgemm)\n");
  for (size_t i = 0; i < gemm.size(); ++i) {
    GemmData& g = gemm[i];
    const Shape s = g.s;
    SgemmJob job{g.X.data(), g.B.data(), g.Y.data(), s.M, s.N, s.K};
    auto own = [&] {
      set_blas_threads(threads);
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, s.M, s.N, s.K, 1.0f, g.X.data(), s.K, g.B.data(), s.K,
                  0.0f, g.Y.data(), s.N);
    };
    auto sliced = [&](int32_t grain) {
      return [&job, grain] {
        set_blas_threads(1);
        pool_for(sgemm_range, &job, job.N, grain);
      };
    };
    auto ours = [&] { matmat_t(&g.q8.e, g.X.data(), g.Y.data(), s.M, s.N, s.K); };
    const int32_t per_thread = (s.N + P.n_threads - 1) / P.n_threads;
    // The BLAS's own threads spin for a while after a call and would slow
    // whatever runs next, so they are measured apart, after the rest.
    auto t = best_times(reps, {sliced(64), sliced(128), sliced(per_thread), ours});
    t.insert(t.begin(), best_times(reps, {own})[0]);
    const double f_own = gflops(s, t[0]);
    const double f_sliced = std::max({gflops(s, t[1]), gflops(s, t[2]), gflops(s, t[3])});
    std::fprintf(stderr,
                 "  %-20s sgemm f32: own threads %.0f (alone) / %.0f (pool present); one thread per participant: "
                 "%.0f (grain 64) %.0f (grain 128) %.0f (N/threads)\n",
                 shape_name(s).c_str(), own_alone[i], f_own, gflops(s, t[1]), gflops(s, t[2]), gflops(s, t[3]));
    add_row("matmat_t q8 " + shape_name(s), gflops(s, t[4]), std::max(own_alone[i], f_sliced), "GFLOPS");
  }

  std::printf("%-46s %10s %10s %8s %7s\n", "shape", "kernel", "probe", "unit", "ratio");
  for (const auto& r : table)
    std::printf("%-46s %10.1f %10.1f %8s %6.1f%%\n", r.shape.c_str(), r.value, r.probe, r.unit,
                100.0 * r.value / r.probe);
  return 0;
}
