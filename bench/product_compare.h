// The batched product against the platform BLAS on the layer shapes of the
// benchmark model: for one batch size, the time of all layer products of the
// model (each distinct shape once, weighted by how often the model has it),
// by the BLAS on f32 weights already expanded and by matmat_t on q8, f16 and
// f32 weights holding the same values.
#pragma once

#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "kernels/half.h"
#include "kernels/matmat.h"
#include "model/model.h"
#include "olvt_model.h"
#include "olvt_writer.h"

namespace product_compare {

struct Shape {
  int32_t N, K, count;  // count: how many of the model's layer matrices have this shape
};

// One weight matrix in the three storages, the f32 copy holding the q8 values.
struct Weights {
  Shape s;
  std::vector<uint8_t> q8;
  std::vector<uint16_t> f16;
  std::vector<float> f32;
  TensorEntry eq{}, eh{}, ef{};
};

inline Weights make_weights(Shape s, uint64_t seed) {
  Weights w;
  w.s = s;
  olvt::Rng rng(seed);
  const int64_t nb = s.K / 32;
  w.q8.resize(static_cast<size_t>(s.N) * nb * Q8_BLOCK_BYTES);
  w.f32.resize(static_cast<size_t>(s.N) * s.K);
  w.f16.resize(w.f32.size());
  for (int64_t r = 0; r < s.N; ++r)
    for (int64_t b = 0; b < nb; ++b) {
      uint8_t* blk = w.q8.data() + (r * nb + b) * Q8_BLOCK_BYTES;
      const float scale = 0.01f + 0.001f * static_cast<float>(rng.next() % 7);
      std::memcpy(blk, &scale, 4);
      for (int j = 0; j < 32; ++j) {
        const int8_t q = static_cast<int8_t>(rng.next());
        std::memcpy(blk + 4 + j, &q, 1);
        const float v = scale * static_cast<float>(q);
        w.f32[r * s.K + 32 * b + j] = v;
        w.f16[r * s.K + 32 * b + j] = olvt::float_to_half(v);
      }
    }
  w.eq.data_q8 = w.q8.data();
  w.eh.data_f16 = w.f16.data();
  w.ef.data_f32 = w.f32.data();
  return w;
}

// The benchmark model's layer matrices by shape (6 full-attention layers, 18
// linear-attention layers, 24 feed-forward blocks).
inline std::vector<Shape> model_shapes() {
  return {{4096, 2048, 6}, {512, 2048, 12}, {2048, 2048, 42}, {6144, 2048, 66}, {16, 2048, 36}, {2048, 6144, 24}};
}

using Clock = std::chrono::steady_clock;

template <class F>
double best_seconds(int reps, F&& f) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

// The BLAS on f32 weights for every shape at batch size M, the better of its
// own threads over the whole product and one BLAS thread per thread over
// slices of the output features; seconds for all the model's layer products.
inline double blas_seconds(const std::vector<Weights>& ws, const float* X, float* Y, int32_t M, int threads,
                           int reps) {
  double total = 0;
  for (const Weights& w : ws) {
    const int32_t N = w.s.N, K = w.s.K;
    const float* B = w.f32.data();
    openblas_set_num_threads(threads);
    const double own = best_seconds(reps, [&] {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, X, K, B, K, 0.0f, Y, N);
    });
    openblas_set_num_threads(1);
    const double sliced = best_seconds(reps, [&] {
      std::vector<std::thread> ts;
      for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
          const int n0 = N * t / threads, n1 = N * (t + 1) / threads;
          if (n1 > n0)
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, n1 - n0, K, 1.0f, X, K,
                        B + static_cast<size_t>(n0) * K, K, 0.0f, Y + n0, N);
        });
      for (auto& t : ts) t.join();
    });
    total += w.s.count * std::min(own, sliced);
  }
  return total;
}

// matmat_t on one storage (0 q8, 1 f16, 2 f32) for every shape at batch size M.
inline double engine_seconds(const std::vector<Weights>& ws, int storage, const float* X, float* Y, int32_t M,
                             int reps) {
  double total = 0;
  for (const Weights& w : ws) {
    const TensorEntry* e = storage == 0 ? &w.eq : storage == 1 ? &w.eh : &w.ef;
    total += w.s.count * best_seconds(reps, [&] { matmat_t(e, X, Y, M, w.s.N, w.s.K); });
  }
  return total;
}

}  // namespace product_compare
