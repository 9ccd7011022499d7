// Weight matrices built in memory for the kernel tests: q8, f16 and f32 data
// at deliberately unaligned addresses, TensorEntry views on them, bit-level
// float comparison and a double-precision reference product.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernels/half.h"
#include "model/model.h"
#include "olvt_model.h"
#include "olvt_writer.h"

namespace kt {

inline uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

inline float from_bits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

// Equal bits, or both NaN (a NaN's payload is not part of any result).
inline bool same(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// Returns the first index where the two differ, or -1.
inline int64_t first_difference(const float* a, const float* b, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (!same(a[i], b[i])) return i;
  return -1;
}

// A byte buffer whose payload starts `skew` bytes past a 64-byte boundary, so
// kernels see the misaligned data a packed weights file gives them.
struct Bytes {
  std::vector<uint8_t> storage;
  size_t skew;
  Bytes(size_t n, size_t skew_) : storage(n + 64 + skew_), skew(skew_) {}
  uint8_t* data() {
    uintptr_t p = reinterpret_cast<uintptr_t>(storage.data());
    return reinterpret_cast<uint8_t*>((p + 63) / 64 * 64 + skew);
  }
};

// One weight matrix of rows x K in a chosen storage, with the float values
// each weight stands for (what a reference computes with).
struct Matrix {
  uint8_t dtype;
  int32_t rows, K;
  Bytes bytes;
  std::vector<float> value;  // rows * K (q8: columns past the whole blocks are 0)
  TensorEntry entry{};

  Matrix(uint8_t t, int32_t rows_, int32_t K_, size_t nbytes, size_t skew)
      : dtype(t), rows(rows_), K(K_), bytes(nbytes, skew), value(static_cast<size_t>(rows_) * (K_ > 0 ? K_ : 0)) {
    std::strcpy(entry.name, "test.weight");
    entry.dtype = t;
    entry.nbytes = nbytes;
    if (t == DTYPE_Q8) entry.data_q8 = bytes.data();
    if (t == DTYPE_F16) entry.data_f16 = reinterpret_cast<const uint16_t*>(bytes.data());
    if (t == DTYPE_F32) entry.data_f32 = reinterpret_cast<const float*>(bytes.data());
  }
  const TensorEntry* tensor() const { return &entry; }
  const void* data() const { return const_cast<Bytes&>(bytes).data(); }

  // Writes weight (r, k) from an f32 value (f16: rounded to half; f32: exact).
  void set(int32_t r, int32_t k, float v) {
    const int64_t i = static_cast<int64_t>(r) * K + k;
    if (dtype == DTYPE_F16) {
      uint16_t h = olvt::float_to_half(v);
      std::memcpy(bytes.data() + i * 2, &h, 2);
      value[i] = half_to_float(h);
    } else {
      std::memcpy(bytes.data() + i * 4, &v, 4);
      value[i] = v;
    }
  }
  void set_half(int32_t r, int32_t k, uint16_t h) {
    const int64_t i = static_cast<int64_t>(r) * K + k;
    std::memcpy(bytes.data() + i * 2, &h, 2);
    value[i] = half_to_float(h);
  }
  // q8 block b of row r: its scale and 32 bytes.
  void set_block(int32_t r, int32_t b, float scale, const int8_t* q) {
    uint8_t* blk = bytes.data() + (static_cast<int64_t>(r) * (K / 32) + b) * 36;
    std::memcpy(blk, &scale, 4);
    std::memcpy(blk + 4, q, 32);
    for (int j = 0; j < 32; ++j)
      value[static_cast<int64_t>(r) * K + 32 * b + j] = scale * static_cast<float>(q[j]);
  }
};

inline size_t matrix_bytes(uint8_t t, int32_t rows, int32_t K) {
  const int64_t r = rows > 0 ? rows : 0, k = K > 0 ? K : 0;
  if (t == DTYPE_Q8) return static_cast<size_t>(r * (k / 32) * 36);
  return static_cast<size_t>(r * k * (t == DTYPE_F16 ? 2 : 4));
}

// Random weights: q8 scales of assorted magnitudes with every byte value
// possible (-128 included); halves and floats uniform in [-1, 1).
inline Matrix random_matrix(uint8_t t, int32_t rows, int32_t K, uint64_t seed, size_t skew = 3) {
  const size_t sk = t == DTYPE_Q8 ? skew : (t == DTYPE_F16 ? 2 * (skew % 8) : 4 * (skew % 4));
  Matrix m(t, rows, K, matrix_bytes(t, rows, K), sk);
  olvt::Rng rng(seed);
  for (int32_t r = 0; r < rows; ++r) {
    if (t == DTYPE_Q8) {
      for (int32_t b = 0; b < K / 32; ++b) {
        int8_t q[32];
        for (int j = 0; j < 32; ++j) q[j] = static_cast<int8_t>(rng.next() & 0xFF);
        const float scale = std::ldexp(1.0f + rng.uniform(0.5f), -7 - static_cast<int>(rng.next() % 4));
        m.set_block(r, b, scale, q);
      }
    } else {
      for (int32_t k = 0; k < K; ++k) m.set(r, k, rng.uniform(1.0f));
    }
  }
  return m;
}

// A copy of m's weights in another storage holding the same f32 values
// (f16 only for matrices whose values are halves).
inline Matrix convert(const Matrix& m, uint8_t t, size_t skew = 1) {
  const size_t sk = t == DTYPE_Q8 ? skew : (t == DTYPE_F16 ? 2 * (skew % 8) : 4 * (skew % 4));
  Matrix out(t, m.rows, m.K, matrix_bytes(t, m.rows, m.K), sk);
  for (int32_t r = 0; r < m.rows; ++r)
    for (int32_t k = 0; k < m.K; ++k) out.set(r, k, m.value[static_cast<int64_t>(r) * m.K + k]);
  return out;
}

inline std::vector<float> random_vector(int64_t n, uint64_t seed, float amp = 1.0f) {
  olvt::Rng rng(seed);
  std::vector<float> v(static_cast<size_t>(n > 0 ? n : 0));
  for (auto& f : v) f = rng.uniform(amp);
  return v;
}

// Reference: the exact-ish product in double, and a bound on its rounding error
// (a few ulps of the sum of magnitudes per input).
struct RefDot {
  double value, bound;
};
inline RefDot ref_dot(const float* x, const float* w, int32_t K) {
  double s = 0, mag = 0;
  for (int32_t k = 0; k < K; ++k) {
    s += static_cast<double>(x[k]) * w[k];
    mag += std::fabs(static_cast<double>(x[k]) * w[k]);
  }
  return {s, mag * (K + 4) * 0x1.0p-24 + 1e-30};
}

inline std::string dtype_name(uint8_t t) { return t == DTYPE_Q8 ? "q8" : t == DTYPE_F16 ? "f16" : "f32"; }

}  // namespace kt
