// Helpers of the whole-engine tests: random models written to temporary
// files, engines opened on them, greedy generation and logit comparison.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "olvt_model.h"
#include "olvu.h"
#include "runtime/state.h"

namespace fx {

// A directory for this test binary's model files, made once and handed to
// child processes through the environment so they write where the parent reads.
inline const std::string& temp_dir() {
  static const std::string dir = [] {
    if (const char* inherited = std::getenv("OLVU_FX_DIR")) return std::string(inherited);
    std::string t = ::testing::TempDir() + "olvu_engine_XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    setenv("OLVU_FX_DIR", buf.data(), 1);
    // Only the process that made the directory removes it, at its exit.
    std::atexit([] { std::filesystem::remove_all(std::getenv("OLVU_FX_DIR")); });
    return std::string(buf.data());
  }();
  return dir;
}

inline std::string write_model(const olvt::Writer& w, const std::string& name) {
  const std::string path = temp_dir() + "/" + name + ".olvt";
  w.write(path);
  return path;
}

inline std::vector<TokenId> random_ids(uint64_t seed, int n, uint32_t vocab) {
  olvt::Rng r(seed);
  std::vector<TokenId> ids(n);
  for (TokenId& t : ids) t = static_cast<TokenId>(r.next() % vocab);
  return ids;
}

inline std::vector<float> logits_of(const Engine* e) {
  return std::vector<float>(e->logits, e->logits + e->config->vocab_size);
}

// Greedy start without penalty: the stop token is never drawn.
inline StreamHandle start_greedy(Engine* e, const std::vector<TokenId>& ids) {
  return olvu_start(e, ids.data(), static_cast<int32_t>(ids.size()), 40, 1, -1, 0.0f, 0.9f, 1.0f);
}

// Largest |a - b| relative to the larger of 1 and the largest |b|.
template <class A, class B>
double rel_diff(const std::vector<A>& a, const std::vector<B>& b) {
  double scale = 1.0, worst = 0.0;
  for (size_t i = 0; i < b.size(); ++i) scale = std::max(scale, std::fabs(static_cast<double>(b[i])));
  for (size_t i = 0; i < b.size(); ++i)
    worst = std::max(worst, std::fabs(static_cast<double>(a[i]) - static_cast<double>(b[i])));
  return worst / scale;
}

template <class T>
size_t argmax(const std::vector<T>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i] > v[best]) best = i;
  return best;
}

}  // namespace fx
