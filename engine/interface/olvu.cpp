// The engine's four interface functions and the prefix cache of olvu_start.
#include "olvu.h"

#include <cstdio>
#include <cstdlib>

#include "forward/decode_step.h"
#include "runtime/fatal.h"
#include "model/model_limits.h"
#include "runtime/pool.h"
#include "forward/prefill.h"
#include "forward/sampler.h"
#include "runtime/state.h"

Engine* olvu_open(const char* path, int32_t threads) {
  pool_create(threads);
  Engine* e = static_cast<Engine*>(std::calloc(1, sizeof(Engine)));
  if (!e) fatal("oom engine");
  ModelConfig* config = load_model(path);
  check_model_limits(config);
  state_create(e, config);
  return e;
}

StreamHandle olvu_start(Engine* engine, const TokenId* ids, int32_t count, int32_t top_k,
                        uint64_t seed, TokenId stop_token, float temperature, float top_p,
                        float repetition_penalty) {
  if (count < 1 || count > MAX_CTX - 1) return nullptr;
  // An id the embedding has no row for would be read past the tensor.
  const int64_t V = engine->config->vocab_size;
  for (int32_t i = 0; i < count; ++i)
    if (ids[i] < 0 || ids[i] >= V) fatal("token id outside vocabulary");

  Stream* s = &g_stream;
  s->engine = engine;
  for (int32_t i = 0; i < count; ++i) s->tokens[i] = ids[i];
  s->n_tokens = count;
  s->temperature = temperature;
  s->top_p = top_p;
  s->top_k = top_k;
  s->repetition_penalty = repetition_penalty;
  s->stop_token = stop_token;
  rng_state = seed > 1 ? seed : 1;

  RuntimeState* st = engine->state;
  const int32_t c = st->n_cached;
  const int32_t n = count < c ? count : c;
  int32_t lcp = 0;
  while (lcp < n && st->cached_tokens[lcp] == ids[lcp]) ++lcp;

  if (c >= 1 && lcp == c && count == c) {
    std::fprintf(stderr, "[engine] prefix cache EXACT: reusing all %d\n", count);
    return s;
  }
  if (c >= 1 && lcp == c && count > c) {
    std::fprintf(stderr, "[engine] prefix cache HIT: reusing %d, prefilling %d\n", c, count - c);
    prefill_batch(st, ids + c, count - c, engine->logits);
    return s;
  }
  if (c >= 1)
    std::fprintf(stderr, "[engine] prefix cache miss (lcp %d of %d cached) \xE2\x80\x94 full prefill\n",
                 lcp, c);
  state_reset(engine);
  prefill_batch(st, ids, count, engine->logits);
  return s;
}

TokenId olvu_next(StreamHandle handle) {
  Stream* s = handle;
  if (s->n_tokens >= MAX_CTX) return -1;
  const int64_t id = sample_token(s);
  if (id == s->stop_token) return -1;
  s->tokens[s->n_tokens] = id;
  s->n_tokens = s->n_tokens + 1;
  decode_step(s->engine->state, id, s->engine->logits);
  return id;
}

void olvu_reset(Engine* engine) { state_reset(engine); }
