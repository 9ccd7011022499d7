// Exhausted memory while loading and while creating the engine state: each
// allocation ends the run with its own message instead of going on with a
// null pointer. A child process gets a small address-space limit, which the
// sanitizers' own reservations cannot live with (label nosan).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "host_limits.h"
#include "model/model.h"
#include "olvt_writer.h"
#include "runtime/state.h"

namespace {

// Lets the process grow by at most `extra` bytes of address space from here.
void limit_growth(uint64_t extra) {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  if (pages == 0) std::abort();
  rlimit lim;
  getrlimit(RLIMIT_AS, &lim);
  lim.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + extra;
  setrlimit(RLIMIT_AS, &lim);
}

constexpr uint64_t GiB = 1ull << 30;

// The rows that need the limit to bite on a small allocation skip where the
// host does not enforce it (user-mode emulators), saying so.
#define SKIP_WITHOUT_ADDRESS_SPACE_LIMIT()                                   \
  if (!testutil::address_space_limit_enforced())                             \
  GTEST_SKIP() << "this host does not enforce RLIMIT_AS (user-mode emulator?)"

std::string write_model(const std::string& name, const olvt::Writer& w) {
  const std::string path = testutil::scratch_path(name);
  w.write(path);
  return path;
}

void expect_message(const testutil::ChildResult& r, const std::string& tail) {
  EXPECT_EQ(r.exit_code, 1) << "signal " << r.signal;
  ASSERT_GE(r.err.size(), tail.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << r.err;
}

TEST(OutOfMemory, ReadModeBuffersLargerThanMemory) {
  const struct {
    uint8_t dtype;
    const char* msg;
  } cases[] = {{DTYPE_Q8, "oom loading q8 tensor"},
               {DTYPE_F16, "oom loading f16 tensor"},
               {DTYPE_F32, "oom loading tensor"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msg);
    olvt::Writer w;
    w.add_raw("big", c.dtype, {1}, std::vector<uint8_t>(64, 1)).nbytes = 64 * GiB;
    const std::string path = write_model("big.olvt", w);
    auto r = testutil::run_child([&] {
      limit_growth(GiB);
      load_model(path.c_str(), LoadMode::ForceRead);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "[engine] mmap unavailable \xE2\x80\x94 fread fallback\nFATAL: " +
                         std::string(c.msg) + "\n");
  }
}

TEST(OutOfMemory, WideningASmallHalfTensor) {
  SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
  olvt::Writer w;
  w.add_raw("h", DTYPE_F16, {524287}, std::vector<uint8_t>(1048574, 0x3C));  // 2 MB widened
  const std::string path = write_model("widen.olvt", w);
  for (LoadMode mode : {LoadMode::Auto, LoadMode::ForceRead}) {
    auto r = testutil::run_child([&] {
      limit_growth(1048576 + 512 * 1024);  // room for the mapping, not for the floats
      load_model(path.c_str(), mode);
    });
    expect_message(r, "FATAL: oom loading tensor\n");
  }
}

TEST(OutOfMemory, TensorTable) {
  SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
  olvt::Writer w;
  for (int i = 0; i < 2000; ++i) w.add_raw("t", DTYPE_F32, {}, {});
  const std::string path = write_model("table.olvt", w);
  auto r = testutil::run_child([&] {
    limit_growth(64 * 1024);
    load_model(path.c_str(), LoadMode::Auto);
  });
  expect_message(r, "FATAL: oom tensor table\n");
}

TEST(OutOfMemory, EngineState) {
  SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
  struct Case {
    const char* msg;
    void (*edit)(ModelConfig&);
  };
  const Case cases[] = {
      {"oom logits", [](ModelConfig& c) { c.vocab_size = 0x7FFFFFFFu; }},
      {"oom layer caches", [](ModelConfig& c) { c.n_layers = 1u << 27; }},
      {"oom kv cache", [](ModelConfig& c) { c.attn_layer_mask = 1; c.n_kv_heads = 64; c.head_dim = 8192; }},
      {"oom recurrent state", [](ModelConfig& c) { c.lin_k_dim = c.lin_v_dim = 1u << 14; }},
      {"oom conv state", [](ModelConfig& c) { c.conv_kernel = 1u << 26; }},
      {"oom scratch vectors", [](ModelConfig& c) { c.hidden_size = 0x7FFFFFFFu; }},
      {"oom scratch vectors", [](ModelConfig& c) { c.ffn_size = 0x7FFFFFFFu; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.msg);
    ModelConfig c{};
    c.vocab_size = 64;
    c.hidden_size = 16;
    c.n_layers = 2;
    c.n_heads = 2;
    c.n_kv_heads = 1;
    c.head_dim = 8;
    c.ffn_size = 32;
    c.lin_k_heads = c.lin_v_heads = 2;
    c.lin_k_dim = c.lin_v_dim = 8;
    c.conv_kernel = 4;
    k.edit(c);
    auto r = testutil::run_child([&] {
      limit_growth(GiB);
      Engine e{};
      state_create(&e, &c);
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::string("FATAL: ") + k.msg + "\n");
  }
}

}  // namespace
