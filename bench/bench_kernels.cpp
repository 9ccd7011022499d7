// Throughput of the matrix kernels against probes measured in the same run:
// matrix-vector products over a weight set far larger than the caches against
// a plain read of the same bytes (same pool, same chunks), and batched
// products with q8 weights against the best single-precision GEMM this
// machine's BLAS gives for the same shapes with f32 weights already expanded.
// Prints one table. Usage: bench_kernels [threads (default: online CPUs)] [--quick]
// [--matvec | --matmat] (one half only). With --paths [--quick] instead: every kernel's
// portable path against the path the dispatch chose, on one thread with
// cache-resident shapes (the figure to read under an emulator, where memory
// bandwidth means nothing but the work done per kernel still shows).
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
#include "kernels/matmat_panel.h"
#include "kernels/matvec.h"
#include "kernels/vec_ops.h"
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

// One core on a matrix that stays in its second-level cache (half a MB, read
// again and again): the kernel's own arithmetic bound, against the read probe
// of the same bytes. Times this rate by the participants, it is the most the
// kernel can give from memory, whatever the memory delivers.
void bench_matvec_l2(const char* name, const Mat& m, int reps) {
  std::vector<float> x(m.K), y(m.rows);
  for (auto& v : x) v = static_cast<float>(static_cast<int64_t>(rnd() % 2001) - 1000) / 1000.0f;
  static read_probe::Job rj;
  rj.base = m.bytes.data();
  rj.row_bytes = m.row_bytes;
  const detail::MvKernels* k = detail::mv_kernels(best_isa());
  constexpr int kPasses = 400;
  VecJob job{m.bytes.data(), x.data(), y.data(), m.rows, m.K};
  auto kernel = [&] {
    for (int i = 0; i < kPasses; ++i) (m.e.data_q8 ? k->q8 : k->f16)(&job, 0, m.rows);
  };
  auto probe = [&] {
    for (int i = 0; i < kPasses; ++i) read_probe::read_range(&rj, 0, m.rows);
  };
  const double bytes = double(m.bytes.size()) * kPasses;
  const auto t = best_times(reps, {kernel, probe});
  add_row(std::string("matvec ") + name + ", " + std::to_string(m.bytes.size() / 1024) + " KB, 1 thread, L2",
          bytes / t[0] / 1e9, bytes / t[1] / 1e9, "GB/s");
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

// ---- portable against dispatched path, per kernel ----

void path_row(const std::string& name, int reps, const std::function<void()>& portable,
              const std::function<void()>& chosen) {
  const auto t = best_times(reps, {portable, chosen});
  std::printf("%-36s %12.1f %12.1f %8.2f\n", name.c_str(), t[0] * 1e6, t[1] * 1e6, t[0] / t[1]);
}

void bench_paths(int reps) {
  const Isa isa = best_isa();
  std::printf("portable path against %s (one thread, cache-resident)\n", isa_name(isa));
  std::printf("%-36s %12s %12s %8s\n", "kernel", "portable us", "vector us", "ratio");
  const detail::MvKernels* mv_s = detail::mv_kernels(Isa::Scalar);
  const detail::MvKernels* mv_v = detail::mv_kernels(isa);
  const detail::MmKernels* mm_s = detail::mm_kernels(Isa::Scalar);
  const detail::MmKernels* mm_v = detail::mm_kernels(isa);
  auto rand_floats = [](size_t n) {
    std::vector<float> v(n);
    for (auto& f : v) f = static_cast<float>(static_cast<int64_t>(rnd() % 2001) - 1000) / 1000.0f;
    return v;
  };

  const int32_t rows = 64, K = 2048;
  std::vector<Mat> mats = {make_q8(rows, K), make_f16(rows, K)};
  Mat f32;
  f32.rows = rows;
  f32.K = K;
  f32.row_bytes = 4 * static_cast<int64_t>(K);
  {
    const auto w = rand_floats(static_cast<size_t>(rows) * K);
    f32.bytes.resize(w.size() * 4);
    std::memcpy(f32.bytes.data(), w.data(), f32.bytes.size());
    f32.e.dtype = DTYPE_F32;
    f32.e.data_f32 = reinterpret_cast<const float*>(f32.bytes.data());
  }
  mats.push_back(f32);
  // The copies own new buffers: point each tensor at its own.
  mats[0].e.data_q8 = mats[0].bytes.data();
  mats[1].e.data_f16 = reinterpret_cast<const uint16_t*>(mats[1].bytes.data());
  mats[2].e.data_f32 = reinterpret_cast<const float*>(mats[2].bytes.data());
  const auto x = rand_floats(K);
  std::vector<float> y(rows);
  const char* names[] = {"q8", "f16", "f32"};
  for (int t = 0; t < 3; ++t) {
    VecJob job{mats[t].bytes.data(), x.data(), y.data(), rows, K};
    const RangeFn fs = t == 0 ? mv_s->q8 : t == 1 ? mv_s->f16 : mv_s->f32;
    const RangeFn fv = t == 0 ? mv_v->q8 : t == 1 ? mv_v->f16 : mv_v->f32;
    path_row(std::string("matvec ") + names[t] + " 64x2048", reps, [&] { fs(&job, 0, rows); },
             [&] { fv(&job, 0, rows); });
  }
  if (detail::EmbedFn ev = detail::embed_row_kernel(isa)) {
    const detail::EmbedFn es = detail::embed_row_kernel(Isa::Scalar);
    std::vector<float> dst(K);
    for (int t = 0; t < 2; ++t)
      path_row(std::string("embed_row ") + names[t] + " 64 rows of 2048", reps,
               [&] { for (int32_t r = 0; r < rows; ++r) es(&mats[t].e, r, dst.data(), K); },
               [&] { for (int32_t r = 0; r < rows; ++r) ev(&mats[t].e, r, dst.data(), K); });
  }

  const int32_t M = 8, N = 64;
  const auto X = rand_floats(static_cast<size_t>(M) * K);
  std::vector<float> Y(static_cast<size_t>(M) * N);
  for (int t = 0; t < 3; ++t) {
    MatJob job{mats[t].bytes.data(), X.data(), Y.data(), M, N, K};
    const RangeFn fs = t == 0 ? mm_s->q8 : t == 1 ? mm_s->f16 : mm_s->f32;
    const RangeFn fv = t == 0 ? mm_v->q8 : t == 1 ? mm_v->f16 : mm_v->f32;
    path_row(std::string("matmat pool ") + names[t] + " M=8 N=64 K=2048", reps, [&] { fs(&job, 0, N); },
             [&] { fv(&job, 0, N); });
  }
  std::vector<float> wide(static_cast<size_t>(rows) * K);
  path_row("expand q8 64x2048", reps, [&] { mm_s->expand_q8(mats[0].bytes.data(), rows, K, wide.data(), 1); },
           [&] { mm_v->expand_q8(mats[0].bytes.data(), rows, K, wide.data(), 1); });
  path_row("expand f16 64x2048", reps, [&] { mm_s->expand_f16(mats[1].e.data_f16, rows, K, wide.data(), 1); },
           [&] { mm_v->expand_f16(mats[1].e.data_f16, rows, K, wide.data(), 1); });

  // The panel product's micro-kernels over the same M x N x K, weights already expanded.
  if (const detail::PanelKernel* pv = detail::panel_kernel(isa)) {
    const detail::PanelKernel* ps = detail::panel_kernel(Isa::Scalar);
    // Each kernel reads a panel packed for its own group width.
    std::vector<float> wide_store(static_cast<size_t>(rows + pv->nr) * (K + 32) + 16);
    // Packed groups are written with aligned stores, as into the engine's panels.
    float* wide_v = wide_store.data() + (64 - reinterpret_cast<uintptr_t>(wide_store.data()) % 64) % 64 / 4;
    std::vector<float> xpack(static_cast<size_t>(M) * K);
    mm_s->expand_q8(mats[0].bytes.data(), rows, K, wide.data(), ps->nr);
    if (pv->lanes) {
      for (int32_t g = 0; g < N; g += pv->nr)
        pv->lanes->pack_weights(&mats[0].e, g, std::min(pv->nr, N - g), K,
                                wide_v + g / pv->nr * detail::lane_group_len(pv->nr, K));
      for (int32_t r = 0; r < M; r += pv->mr)
        pv->lanes->pack_inputs(X.data() + static_cast<int64_t>(r) * K, std::min(pv->mr, M - r), K,
                               xpack.data() + static_cast<int64_t>(r) * K);
    } else {
      mm_s->expand_q8(mats[0].bytes.data(), rows, K, wide_v, pv->nr);
    }
    auto blocks = [&](const detail::PanelKernel* k, const float* panel) {
      const float* xs[16];
      const float* wr[64];
      for (int32_t r = 0; r < M; r += k->mr) {
        const int32_t m = std::min(k->mr, M - r);
        for (int32_t i = 0; i < m; ++i) xs[i] = X.data() + static_cast<int64_t>(r + i) * K;
        if (k->lanes) {
          for (int32_t g = 0; g < N; g += k->nr)
            k->lanes->block(xpack.data() + static_cast<int64_t>(r) * K, m, panel + g / k->nr * detail::lane_group_len(k->nr, K),
                            std::min(k->nr, N - g), K, xs, Y.data() + static_cast<int64_t>(r) * N + g, N);
          continue;
        }
        for (int32_t g = 0; g < N; g += k->nb) {
          const int32_t nn = std::min(k->nb, N - g);
          for (int32_t j = 0; j < nn; ++j)
            wr[j] = panel + detail::packed_row(g + j, k->nr, K);
          k->block(xs, m, wr, 16 * k->nr, nn, K, Y.data() + static_cast<int64_t>(r) * N + g, N);
        }
      }
    };
    path_row("panel micro-kernel M=8 N=64 K=2048", reps, [&] { blocks(ps, wide.data()); },
             [&] { blocks(pv, wide_v); });
  }

  // The layer helpers at the sizes of one attention head over 512 cached
  // positions and one 128 x 128 delta-rule state.
  using namespace vec_detail;
  const int32_t hd = 256, n = 512, dk = 128;
  const auto keys = rand_floats(static_cast<size_t>(n) * hd), q = rand_floats(4 * hd), sc = rand_floats(4 * n);
  std::vector<float> out(4 * static_cast<size_t>(n > hd ? n : hd));
  const float* qs[4] = {q.data(), q.data() + hd, q.data() + 2 * hd, q.data() + 3 * hd};
  const float* ws[4] = {sc.data(), sc.data() + n, sc.data() + 2 * n, sc.data() + 3 * n};
  float* os[4] = {out.data(), out.data() + n, out.data() + 2 * n, out.data() + 3 * n};
  path_row("vdot_rows 512x256", reps, [&] { vdot_rows_scalar(q.data(), keys.data(), hd, n, hd, 0.0625f, out.data()); },
           [&] { vdot_rows(q.data(), keys.data(), hd, n, hd, 0.0625f, out.data()); });
  path_row("vdot_rows_multi 4q 512x256", reps,
           [&] { vdot_rows_multi_scalar(qs, 4, keys.data(), hd, n, hd, 0.0625f, os); },
           [&] { vdot_rows_multi(qs, 4, keys.data(), hd, n, hd, 0.0625f, os); });
  path_row("vweighted_rows 512x256", reps, [&] { vweighted_rows_scalar(sc.data(), keys.data(), hd, n, hd, out.data()); },
           [&] { vweighted_rows(sc.data(), keys.data(), hd, n, hd, out.data()); });
  path_row("vweighted_rows_multi 4w 512x256", reps,
           [&] { vweighted_rows_multi_scalar(ws, 4, keys.data(), hd, n, hd, os); },
           [&] { vweighted_rows_multi(ws, 4, keys.data(), hd, n, hd, os); });
  const auto nx = rand_floats(K), nw = rand_floats(K);
  path_row("vnorm_scale 2048", reps, [&] { vnorm_scale_scalar(nx.data(), nw.data(), 0.5f, out.data(), K); },
           [&] { vnorm_scale(nx.data(), nw.data(), 0.5f, out.data(), K); });
  // A decay by 1 and a zero delta keep the state's values from run to run.
  auto S = rand_floats(static_cast<size_t>(dk) * dk);
  const auto kv = rand_floats(dk), zero = std::vector<float>(dk, 0.0f);
  path_row("vdelta_decay_read 128x128", reps,
           [&] { vdelta_decay_read_scalar(S.data(), dk, dk, 1.0f, kv.data(), out.data()); },
           [&] { vdelta_decay_read(S.data(), dk, dk, 1.0f, kv.data(), out.data()); });
  path_row("vdelta_update_read 128x128", reps,
           [&] { vdelta_update_read_scalar(S.data(), dk, dk, kv.data(), zero.data(), kv.data(), out.data()); },
           [&] { vdelta_update_read(S.data(), dk, dk, kv.data(), zero.data(), kv.data(), out.data()); });
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 0;
  bool quick = false, do_mv = true, do_mm = true, paths = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--paths") == 0) paths = true;
    else if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    else if (std::strcmp(argv[i], "--matvec") == 0) do_mm = false;
    else if (std::strcmp(argv[i], "--matmat") == 0) do_mv = false;
    else threads = std::atoi(argv[i]);
  }
  if (paths) {
    bench_paths(quick ? 1 : 7);
    return 0;
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
    bench_matvec_l2("q8", make_q8(224, 2048), reps);
  }
  if (do_mv) {
    std::vector<Mat> f16;
    f16.push_back(make_f16(quick ? 65536 : 248320, 2048));
    bench_matvec("f16 embedding", f16, reps);
    bench_matvec_l2("f16", make_f16(128, 2048), reps);
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
    // Where a wider set is chosen, the AVX2 micro-kernel (of another form)
    // beside it on the same product, against matmat_t: whether the choice
    // per set still holds on this processor.
    const detail::PanelKernel* avx2 = best_isa() != Isa::Avx2 ? detail::panel_kernel(Isa::Avx2) : nullptr;
    if (avx2) {
      auto other = [&] { detail::panel_product(&g.q8.e, g.X.data(), g.Y.data(), s.M, s.N, s.K, avx2); };
      const auto u = best_times(reps, {other, ours});
      add_row("panel avx2 q8 " + shape_name(s), gflops(s, u[0]), gflops(s, u[1]), "GFLOPS");
    }
  }

  std::printf("%-46s %10s %10s %8s %7s\n", "shape", "kernel", "probe", "unit", "ratio");
  for (const auto& r : table)
    std::printf("%-46s %10.1f %10.1f %8s %6.1f%%\n", r.shape.c_str(), r.value, r.probe, r.unit,
                100.0 * r.value / r.probe);
  return 0;
}
