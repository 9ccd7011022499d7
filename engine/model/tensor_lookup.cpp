// Tensor lookup by name at every use: a linear scan of the table, retried
// under "model.language_model.", and the missing-tensor report. The checked
// views make sure a tensor's data covers what one use of it reads.
#include "model/tensor_lookup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"

namespace {

TensorEntry* scan(const ModelConfig* c, const char* name) {
  for (uint32_t i = 0; i < c->n_tensors; ++i)
    if (std::strcmp(c->tensors[i].name, name) == 0) return &c->tensors[i];
  return nullptr;
}

[[noreturn]] void fatal_named(const char* what, const TensorEntry* t) {
  char msg[256];
  std::snprintf(msg, sizeof msg, "%s: %s", what, t->name);
  fatal(msg);
}

// Floats behind data_f32: a widened f16 tensor holds one per stored half.
uint64_t f32_count(const TensorEntry* t) {
  return t->dtype == DTYPE_F16 ? t->nbytes / 2 : t->nbytes / 4;
}

// a * b * unit <= limit, without wrapping; negative counts never fit.
bool fits(int64_t a, int64_t b, uint64_t unit, uint64_t limit) {
  if (a < 0 || b < 0) return false;
  uint64_t n;
  if (__builtin_mul_overflow(static_cast<uint64_t>(a), static_cast<uint64_t>(b), &n)) return false;
  if (__builtin_mul_overflow(n, unit, &n)) return false;
  return n <= limit;
}

}  // namespace

TensorEntry* get(const ModelConfig* config, const char* pattern, int32_t layer) {
  char name[160];
  std::snprintf(name, sizeof name, pattern, layer);
  if (TensorEntry* t = scan(config, name)) return t;
  if (std::strncmp(name, "model.", 6) == 0) {
    char variant[176];
    std::snprintf(variant, sizeof variant, "model.language_model.%s", name + 6);
    if (TensorEntry* t = scan(config, variant)) return t;
  }
  std::fprintf(stderr,
               "FATAL: tensor not found: %s (nor language_model variant)\n"
               "known names with same layer:\n",
               name);
  char marker[48];
  std::snprintf(marker, sizeof marker, "layers.%d.", layer);
  for (uint32_t i = 0; i < config->n_tensors; ++i)
    if (std::strstr(config->tensors[i].name, marker))
      std::fprintf(stderr, "  %s\n", config->tensors[i].name);
  std::exit(1);
}

const TensorEntry* get_matrix(const ModelConfig* config, const char* pattern, int32_t layer,
                              int64_t rows, int64_t K) {
  const TensorEntry* t = get(config, pattern, layer);
  bool ok;
  if (t->data_q8) {
    if (K % 32 != 0) fatal_named("q8 tensor inputs not a multiple of 32", t);
    ok = fits(rows, K / 32, Q8_BLOCK_BYTES, t->nbytes);
  } else if (t->data_f16) {
    ok = fits(rows, K, 1, t->nbytes / 2);
  } else {
    ok = t->data_f32 && fits(rows, K, 1, f32_count(t));
  }
  if (!ok) fatal_named("tensor too small", t);
  return t;
}

const float* get_vector(const ModelConfig* config, const char* pattern, int32_t layer, int64_t n) {
  const TensorEntry* t = get(config, pattern, layer);
  if (!t->data_f32) fatal_named("tensor not f32", t);
  if (!fits(n, 1, 1, f32_count(t))) fatal_named("tensor too small", t);
  return t->data_f32;
}
