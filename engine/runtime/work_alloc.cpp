// Work-buffer allocation with the test switch that makes a tagged request fail.
#include "runtime/work_alloc.h"

#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"

namespace {
const char* g_fail_tag = nullptr;

void* request(size_t bytes, const char* tag) {
  if (g_fail_tag && tag && std::strcmp(g_fail_tag, tag) == 0) return nullptr;
  // Cache-line aligned: rows of K floats (K a multiple of 16) then start on
  // a line, so no vector load of the kernels straddles two lines, where
  // malloc's 16-byte alignment split every 64-byte load and every second
  // 32-byte one.
  void* p = nullptr;
  return posix_memalign(&p, 64, bytes ? bytes : 1) == 0 ? p : nullptr;
}
}  // namespace

float* work_alloc(int64_t n_floats, const char* tag) {
  if (n_floats < 0 || static_cast<uint64_t>(n_floats) > SIZE_MAX / sizeof(float)) return nullptr;
  return static_cast<float*>(request(static_cast<size_t>(n_floats) * sizeof(float), tag));
}

float* work_alloc_or_die(int64_t n_floats, const char* tag, const char* oom_message) {
  float* p = work_alloc(n_floats, tag);
  if (!p) fatal(oom_message);
  return p;
}

void* work_alloc_bytes_or_die(size_t bytes, const char* tag, const char* oom_message) {
  void* p = request(bytes, tag);
  if (!p) fatal(oom_message);
  return p;
}

void work_free(void* p) { std::free(p); }

float* work_kept(WorkKeep* k, int64_t n_floats, const char* tag) {
  if (k->p && k->cap >= n_floats) return k->p;
  std::free(k->p);
  k->p = work_alloc(n_floats, tag);
  k->cap = k->p ? n_floats : 0;
  return k->p;
}

namespace work_alloc_detail {
void fail_requests_tagged(const char* tag) { g_fail_tag = tag; }
}  // namespace work_alloc_detail
