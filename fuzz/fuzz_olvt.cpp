// Fuzz target: the input is an OLVT weights file. Each input is opened by the
// engine and, when it loads, run through a short generation: a prefill, a few
// drawn tokens, a prefix-cache hit, an exact repeat and a reset. A fatal exit
// is a correct outcome; a sanitizer report, a signal or a hang is a finding
// (fork_child.h). The run parameters (worker count, BLAS switch, mapped or
// read binding, prompt length, sampling) come from a hash of the input.
//
// Inputs whose configuration would size more state or arithmetic than a
// fuzzing run can afford are still loaded and checked, but not run: that
// filter is this harness's, the engine has no such limit.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fork_child.h"
#include "model/model.h"
#include "model/model_limits.h"
#include "olvu.h"
#include "runtime/pool.h"
#include "runtime/state.h"

namespace {

constexpr uint64_t STATE_BUDGET_BYTES = 48ull << 20;
constexpr uint64_t WORK_BUDGET_MACS = 6ull << 20;
constexpr int CHILD_TIMEOUT_MS = 20000;

int g_input_fd = -1;
std::string g_input_path;

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

uint64_t mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
uint64_t add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

uint64_t fnv1a(const uint8_t* d, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ d[i]) * 1099511628211ull;
  return h;
}

struct Plan {
  bool run = true;  // false: load and check only
  int32_t threads = 1;
  bool no_accel = false;
  bool read_mode = false;
  int32_t prompt = 1;
  float temperature = 0.8f;
  uint64_t seed = 1;
  uint32_t vocab = 0;
};

constexpr int32_t EXTRA_TOKENS = 8;  // tokens of the run beyond the first prompt

// What the state and the run would cost, from the header words alone; an
// input too short for a header fails in the loader long before any of it.
bool affordable(const uint8_t* d, size_t n, int32_t prompt, uint32_t* vocab) {
  if (n < 84) return true;
  uint32_t w[15];
  for (int i = 0; i < 15; ++i) w[i] = le32(d + 8 + 4 * i);
  const uint64_t V = w[0], H = w[1], L = w[2], nh = w[3], nkv = w[4], hd = w[5], F = w[6];
  const uint64_t kh = w[7], vh = w[8], dk = w[9], dv = w[10], K = w[11];
  const uint32_t mask = w[12];
  *vocab = w[0];
  const uint64_t tail = L % 32;
  const uint64_t full = add(mul(L / 32, __builtin_popcount(mask)),
                            __builtin_popcount(tail ? mask & ((1u << tail) - 1) : 0u));
  const uint64_t lin = L - full;
  const uint64_t qd = mul(nh, hd), kvd = mul(nkv, hd), vd = mul(vh, dv);
  const uint64_t conv = add(vd, mul(2, mul(kh, dk)));
  const uint64_t rec = mul(vh, mul(dk, dv));

  uint64_t floats = mul(full, mul(2 * 4096, kvd));
  floats = add(floats, mul(lin, add(rec, mul(K > 0 ? K - 1 : 0, conv))));
  floats = add(floats, add(mul(3, H), add(mul(3, qd), add(4096, add(mul(2, F), add(mul(2, conv), mul(2, vd)))))));
  floats = add(floats, V);
  const uint64_t per_row = add(mul(3, H), add(mul(5, qd), add(mul(2, F), add(mul(2, conv), add(mul(2, vd), mul(2, vh))))));
  floats = add(floats, mul(static_cast<uint64_t>(prompt) + EXTRA_TOKENS, per_row));
  floats = add(floats, mul(L, 64));  // layer records
  if (mul(floats, 4) > STATE_BUDGET_BYTES) return false;

  uint64_t macs = mul(V, H);
  const uint64_t full_layer = add(mul(add(mul(2, qd), mul(2, kvd)), H), add(mul(H, qd), mul(qd, 2 * 64)));
  const uint64_t lin_layer =
      add(mul(add(conv, add(vd, mul(2, vh))), H), add(mul(H, vd), add(mul(3, rec), mul(conv, K))));
  macs = add(macs, add(mul(full, full_layer), mul(lin, lin_layer)));
  macs = add(macs, mul(L, add(mul(3, mul(F, H)), mul(4, H))));
  return mul(macs, static_cast<uint64_t>(prompt) + EXTRA_TOKENS) <= WORK_BUDGET_MACS;
}

Plan plan_for(const uint8_t* d, size_t n) {
  const uint64_t h = fnv1a(d, n);
  Plan p;
  p.threads = (h & 3) == 0 ? 2 : 1;
  p.no_accel = (h >> 1) & 1;
  p.read_mode = ((h >> 2) & 3) == 0;
  p.prompt = 1 + static_cast<int32_t>((h >> 4) % 20);  // 16 and up take the BLAS path
  p.temperature = ((h >> 9) & 3) == 0 ? 0.0f : 0.8f;
  p.seed = h >> 11;
  p.run = affordable(d, n, p.prompt, &p.vocab);
  return p;
}

// olvu_open's steps, with the binding mode chosen by the plan so that the
// read path is fuzzed as well as the mapped one.
Engine* open_engine(const Plan& p) {
  pool_create(p.threads);
  Engine* e = static_cast<Engine*>(std::calloc(1, sizeof(Engine)));
  ModelConfig* config = load_model(g_input_path.c_str(), p.read_mode ? LoadMode::ForceRead : LoadMode::Auto);
  check_model_limits(config);
  state_create(e, config);
  return e;
}

void run_plan(const Plan& p) {
  if (p.no_accel) setenv("OLVU_NO_ACCEL", "1", 1);
  if (!p.run) {
    check_model_limits(load_model(g_input_path.c_str(), p.read_mode ? LoadMode::ForceRead : LoadMode::Auto));
    return;
  }
  Engine* e = open_engine(p);
  const int64_t V = e->config->vocab_size;
  std::vector<TokenId> ids;
  for (int32_t i = 0; i < p.prompt; ++i) ids.push_back(static_cast<TokenId>((p.seed + 7u * i) % V));
  auto start = [&](const std::vector<TokenId>& v) {
    StreamHandle s = olvu_start(e, v.data(), static_cast<int32_t>(v.size()), 40, p.seed, -1, p.temperature, 0.9f, 1.1f);
    if (!s) std::abort();
    return s;
  };
  StreamHandle s = start(ids);
  for (int i = 0; i < 2; ++i) ids.push_back(olvu_next(s));
  ids.push_back(V - 1);
  ids.push_back(0);
  s = start(ids);  // a hit: only the last two ids are prefilled, from a filled ring
  ids.push_back(olvu_next(s));
  s = start(ids);  // exact
  olvu_next(s);
  olvu_reset(e);
  s = start({ids.begin(), ids.begin() + 1});
  olvu_next(s);
}

void run_child(const void* arg, size_t size) {
  Plan p;
  if (size != sizeof p) std::abort();
  std::memcpy(&p, arg, sizeof p);
  run_plan(p);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The input file first: the fork server must hold it open too.
  g_input_fd = memfd_create("olvt-input", 0);
  if (g_input_fd < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  g_input_path = "/proc/self/fd/" + std::to_string(g_input_fd);
  fuzz_child::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_input_fd, 0) != 0) std::abort();
  if (size && pwrite(g_input_fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  const Plan plan = plan_for(data, size);
  fuzz_child::run(run_child, &plan, sizeof plan, CHILD_TIMEOUT_MS);
  return 0;
}
