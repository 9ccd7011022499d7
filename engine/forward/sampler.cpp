// The sampler. The top-k candidates are found in one pass with a bounded heap
// instead of k passes over the vocabulary; the order they come out in, NaN
// logits included, is the one the k-pass rule gives.
#include "forward/sampler.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "runtime/work_alloc.h"

uint64_t rng_state = RNG_START;

uint64_t rng_step() {
  uint64_t x = rng_state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  rng_state = x;
  return x;
}

namespace {

// Candidate a ranks after candidate b: a lower logit, or an equal one with a higher id.
inline bool ranks_after(float va, int32_t ia, float vb, int32_t ib) {
  return va < vb || (va == vb && ia > ib);
}

// Min-heap on rank: the root is the candidate that ranks last.
void sift_down(int32_t* ids, float* vals, int32_t n, int32_t i) {
  for (;;) {
    int32_t w = i;
    const int32_t l = 2 * i + 1, r = l + 1;
    if (l < n && ranks_after(vals[l], ids[l], vals[w], ids[w])) w = l;
    if (r < n && ranks_after(vals[r], ids[r], vals[w], ids[w])) w = r;
    if (w == i) return;
    std::swap(ids[i], ids[w]);
    std::swap(vals[i], vals[w]);
    i = w;
  }
}

void sift_up(int32_t* ids, float* vals, int32_t i) {
  while (i > 0) {
    const int32_t parent = (i - 1) / 2;
    if (!ranks_after(vals[i], ids[i], vals[parent], ids[parent])) return;
    std::swap(ids[i], ids[parent]);
    std::swap(vals[i], vals[parent]);
    i = parent;
  }
}

void* alloc_or_die(size_t bytes) {
  return work_alloc_bytes_or_die(bytes, "sampler candidates", "oom sampler candidates");
}

}  // namespace

void topk_select(const float* L, int32_t V, int32_t k, int32_t* ids, float* vals) {
  // The k best non-NaN logits. Ids arrive ascending, so an equal logit never
  // displaces a kept one: only a strictly larger logit enters a full heap.
  int32_t n = 0;
  int32_t i = 0;
  for (; i < V && n < k; ++i) {
    if (std::isnan(L[i])) continue;
    ids[n] = i;
    vals[n] = L[i];
    sift_up(ids, vals, n);
    ++n;
  }
  if (n == k) {
    float thr = vals[0];
    while (i < V) {
      if (i + 8 <= V) {
        int any = 0;
        for (int j = 0; j < 8; ++j) any |= L[i + j] > thr;
        if (!any) {
          i += 8;
          continue;
        }
      }
      const int32_t stop = i + 8 <= V ? i + 8 : V;
      for (; i < stop; ++i) {
        if (L[i] > thr) {
          ids[0] = i;
          vals[0] = L[i];
          sift_down(ids, vals, k, 0);
          thr = vals[0];
        }
      }
    }
  }
  // Heap sort in place: the last-ranking candidate goes to the end each time.
  for (int32_t e = n - 1; e > 0; --e) {
    std::swap(ids[0], ids[e]);
    std::swap(vals[0], vals[e]);
    sift_down(ids, vals, e, 0);
  }

  // A k-pass scan starts each pass at the lowest index not yet chosen and a
  // NaN there can never be displaced, so that NaN is the pass's pick. Such an
  // index is at most k (only k picks are made), so only a NaN among the first
  // k + 1 logits can change the order found above.
  const int32_t low_end = k + 1 < V ? k + 1 : V;
  bool nan_low = false;
  for (int32_t p = 0; p < low_end; ++p) nan_low |= std::isnan(L[p]);
  if (!nan_low) return;

  int32_t* a_ids = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * (n > 0 ? n : 1)));
  float* a_vals = static_cast<float*>(alloc_or_die(sizeof(float) * (n > 0 ? n : 1)));
  unsigned char* taken = static_cast<unsigned char*>(alloc_or_die(static_cast<size_t>(k) + 1));
  for (int32_t j = 0; j < n; ++j) {
    a_ids[j] = ids[j];
    a_vals[j] = vals[j];
  }
  for (int32_t j = 0; j <= k; ++j) taken[j] = 0;
  int32_t p = 0, ai = 0;
  for (int32_t j = 0; j < k; ++j) {
    while (p < low_end && taken[p]) ++p;
    if ((p < V && std::isnan(L[p])) || ai >= n) {
      ids[j] = p;
      vals[j] = L[p];
      taken[p] = 1;
    } else {
      ids[j] = a_ids[ai];
      vals[j] = a_vals[ai];
      if (a_ids[ai] <= k) taken[a_ids[ai]] = 1;
      ++ai;
    }
  }
  work_free(a_ids);
  work_free(a_vals);
  work_free(taken);
}

int64_t sample_token(Stream* stream) {
  float* L = stream->engine->logits;
  const int32_t V = static_cast<int32_t>(stream->engine->config->vocab_size);
  const int32_t n = stream->n_tokens;

  const float P = stream->repetition_penalty;
  if (n >= 1 && P > 1.0f) {
    for (int32_t i = n - REP_WINDOW > 0 ? n - REP_WINDOW : 0; i < n; ++i) {
      const int64_t t = stream->tokens[i];
      if (t >= 0 && t < V) L[t] = L[t] > 0.0f ? L[t] / P : L[t] * P;
    }
  }

  const float T = stream->temperature;
  if (!(T > 0.0f)) {
    int32_t best = 0;
    for (int32_t i = 1; i < V; ++i)
      if (L[i] > L[best]) best = i;
    return best;
  }

  // The first 4*floor(V/4) entries by the reciprocal, the rest by division.
  const float r = 1.0f / T;
  const int32_t V4 = V / 4 * 4;
  for (int32_t i = 0; i < V4; ++i) L[i] = L[i] * r;
  for (int32_t i = V4; i < V; ++i) L[i] = L[i] / T;

  const int32_t k = (stream->top_k > 0 && stream->top_k < V) ? stream->top_k : TOP_K_FALLBACK;
  int32_t* ids = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * static_cast<size_t>(k)));
  float* p = static_cast<float*>(alloc_or_die(sizeof(float) * static_cast<size_t>(k)));
  topk_select(L, V, k, ids, p);

  const float v0 = p[0];
  float S = 0.0f;
  for (int32_t j = 0; j < k; ++j) {
    p[j] = std::exp(p[j] - v0);
    S = S + p[j];
  }
  const float q = 1.0f / S;
  for (int32_t j = 0; j < k; ++j) p[j] = p[j] * q;

  int32_t m = k;
  float c = 0.0f;
  for (int32_t j = 0; j < k; ++j) {
    c = c + p[j];
    if (c >= stream->top_p) {
      m = j + 1;
      break;
    }
  }

  float Sm = 0.0f;
  for (int32_t j = 0; j < m; ++j) Sm = Sm + p[j];
  const uint64_t x = rng_step();
  const uint64_t R = (x * RNG_MULTIPLIER) >> 40;
  const float u = (Sm * 0x1p-24f) * static_cast<float>(R);

  int32_t choice = ids[m - 1];
  c = 0.0f;
  for (int32_t j = 0; j < m; ++j) {
    c = c + p[j];
    if (u <= c) {
      choice = ids[j];
      break;
    }
  }
  work_free(ids);
  work_free(p);
  return choice;
}
