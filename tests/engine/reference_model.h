// A plain forward pass written straight from the model's formulas, for tests:
// one token at a time, double precision, no pool, no BLAS, no shared code
// with the engine. It reads the tensors from the fixture writer's records.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "olvt_writer.h"

namespace ref {

using Vec = std::vector<double>;

inline double half_value(uint16_t h) {
  const int s = (h >> 15) & 1, e = (h >> 10) & 31, m = h & 1023;
  double v;
  if (e == 31) v = m ? NAN : INFINITY;
  else if (e == 0) v = std::ldexp(m, -24);
  else v = std::ldexp(1024 + m, e - 25);
  return s ? -v : v;
}

// Every tensor of the file as doubles, a matrix row-major as stored.
struct Model {
  olvt::Config cfg;
  std::map<std::string, Vec> tensors;

  explicit Model(const olvt::Writer& w) : cfg(const_cast<olvt::Writer&>(w).config()) {
    for (const olvt::Tensor& t : const_cast<olvt::Writer&>(w).tensors()) {
      if (tensors.count(t.name)) continue;  // the first record of a name is the one in use
      Vec v;
      const uint8_t* d = t.data.data();
      if (t.dtype == 0) {
        v.resize(t.data.size() / 4);
        for (size_t i = 0; i < v.size(); ++i) {
          float f;
          std::memcpy(&f, d + 4 * i, 4);
          v[i] = f;
        }
      } else if (t.dtype == 1) {
        v.resize(t.data.size() / 2);
        for (size_t i = 0; i < v.size(); ++i) {
          uint16_t h;
          std::memcpy(&h, d + 2 * i, 2);
          v[i] = half_value(h);
        }
      } else {
        const size_t blocks = t.data.size() / 36;
        v.resize(blocks * 32);
        for (size_t b = 0; b < blocks; ++b) {
          float scale;
          std::memcpy(&scale, d + 36 * b, 4);
          for (int j = 0; j < 32; ++j)
            v[32 * b + j] = static_cast<double>(scale) * static_cast<int8_t>(d[36 * b + 4 + j]);
        }
      }
      tensors.emplace(t.name, std::move(v));
    }
  }

  // "model.X" or, failing that, "model.language_model.X".
  const Vec& get(const std::string& rest) const {
    auto it = tensors.find("model." + rest);
    if (it == tensors.end()) it = tensors.find("model.language_model." + rest);
    if (it == tensors.end()) throw std::runtime_error("reference: no tensor " + rest);
    return it->second;
  }
};

// y = W x for W of rows x K.
inline Vec matvec(const Vec& W, const Vec& x, size_t rows) {
  const size_t K = x.size();
  Vec y(rows, 0.0);
  for (size_t r = 0; r < rows; ++r) {
    double s = 0;
    for (size_t c = 0; c < K; ++c) s += W[r * K + c] * x[c];
    y[r] = s;
  }
  return y;
}

// x (1 + w) / sqrt(mean(x^2) + eps)
inline Vec rms_norm(const Vec& x, const double* w, double eps) {
  double ss = 0;
  for (double v : x) ss += v * v;
  const double r = 1.0 / std::sqrt(ss / x.size() + eps);
  Vec y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = x[i] * (1.0 + w[i]) * r;
  return y;
}

inline double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// The model's state after the tokens fed so far, and the next logits.
class Runner {
 public:
  explicit Runner(const Model& m) : m_(m), c_(m.cfg), layers_(c_.n_layers) {}

  Vec feed(int64_t token) {
    const size_t H = c_.hidden_size;
    const Vec& E = m_.get("embed_tokens.weight");
    Vec h(E.begin() + token * H, E.begin() + (token + 1) * H);
    for (uint32_t l = 0; l < c_.n_layers; ++l) {
      const std::string p = "layers." + std::to_string(l) + ".";
      Vec x = rms_norm(h, m_.get(p + "input_layernorm.weight").data(), c_.rms_eps);
      const bool full = (c_.attn_layer_mask >> (l % 32)) & 1u;
      Vec o = full ? attention(l, p, x) : linear(l, p, x);
      for (size_t i = 0; i < H; ++i) h[i] += o[i];
      x = rms_norm(h, m_.get(p + "post_attention_layernorm.weight").data(), c_.rms_eps);
      Vec g = matvec(m_.get(p + "mlp.gate_proj.weight"), x, c_.ffn_size);
      const Vec u = matvec(m_.get(p + "mlp.up_proj.weight"), x, c_.ffn_size);
      for (size_t i = 0; i < g.size(); ++i) g[i] = g[i] * sigmoid(g[i]) * u[i];
      o = matvec(m_.get(p + "mlp.down_proj.weight"), g, H);
      for (size_t i = 0; i < H; ++i) h[i] += o[i];
    }
    ++pos_;
    const Vec x = rms_norm(h, m_.get("norm.weight").data(), c_.rms_eps);
    return matvec(E, x, c_.vocab_size);
  }

 private:
  struct LayerState {
    std::vector<Vec> keys, values;  // per position: n_kv_heads * head_dim
    std::vector<Vec> inputs;        // per position: the raw convolution input
    Vec S;                          // lin_v_heads matrices of lin_k_dim x lin_v_dim
  };

  // The rotated width as the model defines it: the single-precision product, truncated.
  int rot_dim() const {
    return static_cast<int>(c_.rotary_fraction * static_cast<float>(c_.head_dim));
  }

  void rotate(double* x, int pos) const {
    const int rd = rot_dim(), half = rd / 2;
    if (rd < 2) return;
    for (int j = 0; j < half; ++j) {
      const double a = pos * std::pow(static_cast<double>(c_.rope_theta), -2.0 * j / rd);
      const double x0 = x[j], x1 = x[j + half];
      x[j] = x0 * std::cos(a) - x1 * std::sin(a);
      x[j + half] = x0 * std::sin(a) + x1 * std::cos(a);
    }
  }

  Vec norm_head(const double* x, const double* w) const {
    return rms_norm(Vec(x, x + c_.head_dim), w, c_.rms_eps);
  }

  Vec attention(uint32_t l, const std::string& p, const Vec& x) {
    LayerState& s = layers_[l];
    const size_t nh = c_.n_heads, nkv = c_.n_kv_heads, hd = c_.head_dim;
    const Vec qg = matvec(m_.get(p + "self_attn.q_proj.weight"), x, 2 * nh * hd);
    Vec k = matvec(m_.get(p + "self_attn.k_proj.weight"), x, nkv * hd);
    const Vec v = matvec(m_.get(p + "self_attn.v_proj.weight"), x, nkv * hd);
    const double* qn = m_.get(p + "self_attn.q_norm.weight").data();
    const double* kn = m_.get(p + "self_attn.k_norm.weight").data();
    for (size_t g = 0; g < nkv; ++g) {
      Vec kh = norm_head(&k[g * hd], kn);
      rotate(kh.data(), pos_);
      std::copy(kh.begin(), kh.end(), k.begin() + g * hd);
    }
    s.keys.push_back(k);
    s.values.push_back(v);
    const size_t n = s.keys.size();
    Vec out(nh * hd, 0.0);
    for (size_t h = 0; h < nh; ++h) {
      Vec q = norm_head(&qg[2 * h * hd], qn);
      rotate(q.data(), pos_);
      const size_t g = h / (nh / nkv);
      Vec w(n);
      double mx = -INFINITY;
      for (size_t j = 0; j < n; ++j) {
        double d = 0;
        for (size_t e = 0; e < hd; ++e) d += q[e] * s.keys[j][g * hd + e];
        w[j] = d / std::sqrt(static_cast<double>(hd));
        mx = std::max(mx, w[j]);
      }
      double sum = 0;
      for (double& wj : w) sum += (wj = std::exp(wj - mx));
      for (size_t e = 0; e < hd; ++e) {
        double acc = 0;
        for (size_t j = 0; j < n; ++j) acc += w[j] / sum * s.values[j][g * hd + e];
        out[h * hd + e] = acc * sigmoid(qg[2 * h * hd + hd + e]);
      }
    }
    return matvec(m_.get(p + "self_attn.o_proj.weight"), out, c_.hidden_size);
  }

  Vec linear(uint32_t l, const std::string& p, const Vec& x) {
    LayerState& s = layers_[l];
    const size_t nv = c_.lin_v_heads, dk = c_.lin_k_dim, dv = c_.lin_v_dim, K = c_.conv_kernel;
    const size_t key_dim = c_.lin_k_heads * dk, value_dim = nv * dv;
    const size_t conv_dim = value_dim + 2 * key_dim;
    s.inputs.push_back(matvec(m_.get(p + "linear_attn.in_proj_qkv.weight"), x, conv_dim));
    const Vec z = matvec(m_.get(p + "linear_attn.in_proj_z.weight"), x, value_dim);
    const Vec b = matvec(m_.get(p + "linear_attn.in_proj_b.weight"), x, nv);
    const Vec a = matvec(m_.get(p + "linear_attn.in_proj_a.weight"), x, nv);
    const Vec& cw = m_.get(p + "linear_attn.conv1d.weight");
    const Vec& dt_bias = m_.get(p + "linear_attn.dt_bias");
    const Vec& A_log = m_.get(p + "linear_attn.A_log");
    const Vec& nw = m_.get(p + "linear_attn.norm.weight");

    // Causal convolution over the current input and the K-1 before it, then SiLU.
    const long now = static_cast<long>(s.inputs.size()) - 1;
    Vec conv(conv_dim);
    for (size_t c = 0; c < conv_dim; ++c) {
      double acc = 0;
      for (size_t j = 0; j < K; ++j) {
        const long src = now - static_cast<long>(K - 1) + static_cast<long>(j);
        if (src >= 0) acc += cw[c * K + j] * s.inputs[src][c];
      }
      conv[c] = acc * sigmoid(acc);
    }

    if (s.S.empty()) s.S.assign(nv * dk * dv, 0.0);
    Vec core(value_dim);
    for (size_t h = 0; h < nv; ++h) {
      Vec q(conv.begin() + h * dk, conv.begin() + (h + 1) * dk);
      Vec k(conv.begin() + key_dim + h * dk, conv.begin() + key_dim + (h + 1) * dk);
      const double* v = &conv[2 * key_dim + h * dv];
      auto l2 = [](Vec& u) {
        double ss = 0;
        for (double e : u) ss += e * e;
        const double r = 1.0 / std::sqrt(ss + 1e-6);
        for (double& e : u) e *= r;
      };
      l2(q);
      l2(k);
      for (double& e : q) e /= std::sqrt(static_cast<double>(dk));
      const double xa = a[h] + dt_bias[h];
      const double softplus = xa > 20.0 ? xa : std::log1p(std::exp(xa));
      const double decay = std::exp(-std::exp(A_log[h]) * softplus);
      const double beta = sigmoid(b[h]);
      double* S = &s.S[h * dk * dv];
      for (size_t i = 0; i < dk * dv; ++i) S[i] *= decay;
      for (size_t j = 0; j < dv; ++j) {
        double kv = 0;
        for (size_t i = 0; i < dk; ++i) kv += k[i] * S[i * dv + j];
        const double delta = beta * (v[j] - kv);
        for (size_t i = 0; i < dk; ++i) S[i * dv + j] += k[i] * delta;
      }
      double ss = 0;
      Vec o(dv);
      for (size_t j = 0; j < dv; ++j) {
        double acc = 0;
        for (size_t i = 0; i < dk; ++i) acc += q[i] * S[i * dv + j];
        o[j] = acc;
        ss += acc * acc;
      }
      const double r = std::sqrt(ss / dv + c_.rms_eps);
      for (size_t j = 0; j < dv; ++j) {
        const double zj = z[h * dv + j];
        core[h * dv + j] = o[j] / r * nw[j] * zj * sigmoid(zj);
      }
    }
    return matvec(m_.get(p + "linear_attn.out_proj.weight"), core, c_.hidden_size);
  }

  const Model& m_;
  const olvt::Config c_;
  std::vector<LayerState> layers_;
  int pos_ = 0;
};

}  // namespace ref
