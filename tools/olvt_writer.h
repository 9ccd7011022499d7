// Test and benchmark tooling: writes OLVT weights files (well-formed or
// deliberately broken) and random models of any configuration. The system
// itself only reads this format.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace olvt {

enum class DType : uint8_t { F32 = 0, F16 = 1, Q8 = 2 };

// Round-to-nearest-even binary32 -> binary16, subnormals and NaNs included.
inline uint16_t float_to_half(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  uint32_t ax = x & 0x7FFFFFFFu;
  if (ax >= 0x7F800000u) {  // inf or nan
    if (ax == 0x7F800000u) return sign | 0x7C00u;
    uint16_t m = static_cast<uint16_t>((ax >> 13) & 0x3FFu);
    return sign | 0x7C00u | (m ? m : 0x200u);
  }
  if (ax >= 0x477FF000u) return sign | 0x7C00u;  // rounds to infinity
  if (ax < 0x38800000u) {                         // half subnormal or zero
    if (ax < 0x33000000u) return sign;            // below half of the smallest subnormal
    int e = static_cast<int>(ax >> 23);
    uint32_t m = (ax & 0x7FFFFFu) | 0x800000u;
    int shift = 126 - e;  // 14 - (e - 127) + 13 - 1 ... value m * 2^(e-150) in units of 2^-24
    uint32_t q = m >> (shift);
    uint32_t rem = m & ((1u << shift) - 1);
    uint32_t half_ulp = 1u << (shift - 1);
    if (rem > half_ulp || (rem == half_ulp && (q & 1u))) ++q;
    return sign | static_cast<uint16_t>(q);
  }
  uint32_t r = ax - 0x38000000u;  // rebias exponent by 112
  uint32_t q = r >> 13;
  uint32_t rem = r & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (q & 1u))) ++q;
  return sign | static_cast<uint16_t>(q);
}

struct Config {
  uint32_t vocab_size = 64;
  uint32_t hidden_size = 32;
  uint32_t n_layers = 0;
  uint32_t n_heads = 2;
  uint32_t n_kv_heads = 1;
  uint32_t head_dim = 16;
  uint32_t ffn_size = 64;
  uint32_t lin_k_heads = 2;
  uint32_t lin_v_heads = 2;
  uint32_t lin_k_dim = 16;
  uint32_t lin_v_dim = 16;
  uint32_t conv_kernel = 4;
  uint32_t attn_layer_mask = 0;
  uint32_t reserved13 = 0;
  uint32_t reserved14 = 0;
  float rope_theta = 10000.0f;
  float rms_eps = 1e-6f;
  float rotary_fraction = 0.25f;
};

struct Tensor {
  std::string name;
  uint8_t dtype = 0;
  std::vector<uint32_t> dims;
  std::vector<uint8_t> data;
  // Overrides for broken files: where the record says the data is and how long.
  std::optional<uint64_t> offset;
  std::optional<uint64_t> nbytes;
};

class Writer {
 public:
  explicit Writer(Config c = {}, uint32_t version = 1) : cfg_(c), version_(version) {}

  Config& config() { return cfg_; }
  std::vector<Tensor>& tensors() { return tensors_; }

  Tensor& add_raw(const std::string& name, uint8_t dtype, std::vector<uint32_t> dims,
                  std::vector<uint8_t> data) {
    tensors_.push_back(Tensor{name, dtype, std::move(dims), std::move(data), {}, {}});
    return tensors_.back();
  }

  template <class Gen>
  Tensor& add_f32_gen(const std::string& name, std::vector<uint32_t> dims, uint64_t n, Gen gen) {
    std::vector<uint8_t> d(n * 4);
    for (uint64_t i = 0; i < n; ++i) {
      float v = gen(i);
      std::memcpy(&d[i * 4], &v, 4);
    }
    return add_raw(name, 0, std::move(dims), std::move(d));
  }
  template <class Gen>
  Tensor& add_f16_gen(const std::string& name, std::vector<uint32_t> dims, uint64_t n, Gen gen) {
    std::vector<uint8_t> d(n * 2);
    for (uint64_t i = 0; i < n; ++i) {
      uint16_t h = float_to_half(gen(i));
      std::memcpy(&d[i * 2], &h, 2);
    }
    return add_raw(name, 1, std::move(dims), std::move(d));
  }
  // rows x K weights (K a multiple of 32), one absmax scale per block of 32.
  template <class Gen>
  Tensor& add_q8_gen(const std::string& name, uint64_t rows, uint64_t K, Gen gen) {
    const uint64_t nb = K / 32;
    std::vector<uint8_t> d(rows * nb * 36);
    float blk[32];
    for (uint64_t r = 0; r < rows; ++r) {
      for (uint64_t b = 0; b < nb; ++b) {
        float amax = 0.0f;
        for (int j = 0; j < 32; ++j) {
          blk[j] = gen(r * K + b * 32 + j);
          amax = std::fmax(amax, std::fabs(blk[j]));
        }
        float scale = amax > 0.0f ? amax / 127.0f : 1.0f;
        uint8_t* p = &d[(r * nb + b) * 36];
        std::memcpy(p, &scale, 4);
        for (int j = 0; j < 32; ++j) {
          long q = std::lround(blk[j] / scale);
          q = q < -127 ? -127 : (q > 127 ? 127 : q);
          p[4 + j] = static_cast<uint8_t>(static_cast<int8_t>(q));
        }
      }
    }
    return add_raw(name, 2, {static_cast<uint32_t>(rows), static_cast<uint32_t>(K)}, std::move(d));
  }

  Tensor& add_f32(const std::string& name, std::vector<uint32_t> dims, const std::vector<float>& v) {
    return add_f32_gen(name, std::move(dims), v.size(), [&](uint64_t i) { return v[i]; });
  }
  Tensor& add_f16(const std::string& name, std::vector<uint32_t> dims, const std::vector<float>& v) {
    return add_f16_gen(name, std::move(dims), v.size(), [&](uint64_t i) { return v[i]; });
  }
  Tensor& add_q8(const std::string& name, uint64_t rows, uint64_t K, const std::vector<float>& v) {
    return add_q8_gen(name, rows, K, [&](uint64_t i) { return v[i]; });
  }

  // Size of the header and record table; data follows from here.
  uint64_t table_end() const {
    uint64_t off = 84;
    for (const Tensor& t : tensors_) off += 20 + t.name.size() + 4 * t.dims.size();
    return off;
  }

  // Header + records + data, tensors' data in table order right after the table.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out;
    emit(out, [&](const void* p, size_t n) {
      const uint8_t* b = static_cast<const uint8_t*>(p);
      out.insert(out.end(), b, b + n);
    });
    return out;
  }

  void write(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    bool ok = true;
    std::vector<uint8_t> dummy;
    emit(dummy, [&](const void* p, size_t n) {
      if (n && std::fwrite(p, 1, n, f) != n) ok = false;
    });
    if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
  }

 private:
  template <class Sink>
  void emit(std::vector<uint8_t>&, Sink sink) const {
    auto u8 = [&](uint8_t v) { sink(&v, 1); };
    auto u16 = [&](uint16_t v) { uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)}; sink(b, 2); };
    auto u32 = [&](uint32_t v) {
      uint8_t b[4];
      for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
      sink(b, 4);
    };
    auto u64 = [&](uint64_t v) {
      uint8_t b[8];
      for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
      sink(b, 8);
    };
    auto f32 = [&](float v) { uint32_t b; std::memcpy(&b, &v, 4); u32(b); };
    sink("OLVT", 4);
    u32(version_);
    const uint32_t words[15] = {cfg_.vocab_size, cfg_.hidden_size, cfg_.n_layers, cfg_.n_heads,
                                cfg_.n_kv_heads, cfg_.head_dim, cfg_.ffn_size, cfg_.lin_k_heads,
                                cfg_.lin_v_heads, cfg_.lin_k_dim, cfg_.lin_v_dim, cfg_.conv_kernel,
                                cfg_.attn_layer_mask, cfg_.reserved13, cfg_.reserved14};
    for (uint32_t w : words) u32(w);
    f32(cfg_.rope_theta);
    f32(cfg_.rms_eps);
    f32(cfg_.rotary_fraction);
    u32(static_cast<uint32_t>(tensors_.size()));
    uint64_t data_off = table_end();
    for (const Tensor& t : tensors_) {
      u16(static_cast<uint16_t>(t.name.size()));
      sink(t.name.data(), t.name.size());
      u8(t.dtype);
      u8(static_cast<uint8_t>(t.dims.size()));
      for (uint32_t d : t.dims) u32(d);
      u64(t.offset.value_or(data_off));
      u64(t.nbytes.value_or(t.data.size()));
      data_off += t.data.size();
    }
    for (const Tensor& t : tensors_) sink(t.data.data(), t.data.size());
  }

  Config cfg_;
  uint32_t version_;
  std::vector<Tensor> tensors_;
};

}  // namespace olvt
