// The loading stage: header and record parsing with every failure message,
// the mode line, and how each element type is bound in mapped and read mode.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "kernels/half.h"
#include "model/model.h"
#include "olvt_writer.h"

namespace {

using testutil::run_child;
using testutil::scratch_path;

const std::string READ_LINE = "[engine] mmap unavailable \xE2\x80\x94 fread fallback\n";
std::string mapped_line(unsigned long long mb) {
  return "[engine] weights mmapped (" + std::to_string(mb) + " MB, zero-copy)\n";
}
std::string mode_line(LoadMode mode, uint64_t file_size) {
  return mode == LoadMode::ForceRead ? READ_LINE : mapped_line(file_size / 1048576);
}

std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string p = scratch_path(name);
  testutil::write_bytes(p, bytes);
  return p;
}

// (Built with append: gcc 12 warns falsely on "literal" + std::string.)
std::string numbered(const char* prefix, int i) { return std::string(prefix).append(std::to_string(i)); }

std::vector<uint8_t> f32_bytes(const std::vector<float>& v) {
  std::vector<uint8_t> b(v.size() * 4);
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

struct Loaded {
  ModelConfig* c;
  std::string err;
};
Loaded load(const std::string& path, LoadMode mode) {
  testutil::StderrCapture cap;
  ModelConfig* c = load_model(path.c_str(), mode);
  return {c, cap.finish()};
}

// Expects the load to end through fatal with exactly this standard error.
void expect_fatal(const std::string& path, LoadMode mode, const std::string& err) {
  auto r = run_child([&] { load_model(path.c_str(), mode); });
  EXPECT_EQ(r.exit_code, 1) << "signal " << r.signal;
  EXPECT_EQ(r.err, err);
}

int open_fd_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

int data_pointers(const TensorEntry& t) {
  return (t.data_f32 != nullptr) + (t.data_f16 != nullptr) + (t.data_q8 != nullptr);
}

constexpr LoadMode MODES[] = {LoadMode::Auto, LoadMode::ForceRead};

TEST(LoaderHeader, EveryCutInHeaderOrRecordsFailsWithThatFieldsMessage) {
  olvt::Writer w;
  w.add_f32("a.w", {2, 3}, std::vector<float>(6, 1.0f));
  w.add_raw("bb", DTYPE_Q8, {4}, std::vector<uint8_t>(36, 0));
  const std::vector<uint8_t> full = w.bytes();

  // The layout as the format describes it, field by field.
  std::vector<std::pair<int, std::string>> fields = {
      {4, "bad magic"},        {4, "bad version"}, {60, "short config"},
      {12, "short config f32"}, {4, "short n_tensors"}};
  for (const auto& t : w.tensors()) {
    fields.push_back({2, "bad name len"});
    fields.push_back({static_cast<int>(t.name.size()), "short name"});
    fields.push_back({1, "short dtype"});
    fields.push_back({1, "bad ndim"});
    for (size_t d = 0; d < t.dims.size(); ++d) fields.push_back({4, "short dims"});
    fields.push_back({8, "short offset"});
    fields.push_back({8, "short nbytes"});
  }
  size_t start = 0;
  for (const auto& [len, msg] : fields) {
    for (size_t cut = start; cut < start + len; ++cut) {
      SCOPED_TRACE("cut at byte " + std::to_string(cut));
      const auto path = write_file("cut.olvt", {full.begin(), full.begin() + cut});
      expect_fatal(path, LoadMode::Auto, "FATAL: " + msg + "\n");
    }
    start += len;
  }
  ASSERT_EQ(start, w.table_end());
}

TEST(LoaderHeader, BadValuesFailBeforeAnyDataIsTouched) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* msg;
  };
  auto with_magic = [](const char* m) {
    auto b = olvt::Writer().bytes();
    std::memcpy(b.data(), m, 4);
    return b;
  };
  auto with_record = [](const std::string& name, std::vector<uint32_t> dims) {
    olvt::Writer w;
    w.add_raw(name, DTYPE_F32, std::move(dims), {});
    return w.bytes();
  };
  // A type-3 record is only refused when binding reaches it; a bad record
  // after it stops the load first, before the mode line.
  olvt::Writer dtype3_then_bad;
  dtype3_then_bad.add_raw("x", 3, {1}, {0, 0, 0, 0});
  dtype3_then_bad.add_raw("y", DTYPE_F32, {1, 1, 1, 1, 1}, {});
  const std::vector<Case> cases = {
      {"magic OLVX", with_magic("OLVX"), "bad magic"},
      {"magic in lower case", with_magic("olvt"), "bad magic"},
      {"version 0", olvt::Writer({}, 0).bytes(), "bad version"},
      {"version 3", olvt::Writer({}, 3).bytes(), "bad version"},
      {"version 0xFFFFFFFF", olvt::Writer({}, 0xFFFFFFFFu).bytes(), "bad version"},
      {"name_len 160", with_record(std::string(160, 'n'), {}), "bad name len"},
      {"name_len 65535", with_record(std::string(65535, 'n'), {}), "bad name len"},
      {"ndim 5", with_record("t", {1, 2, 3, 4, 5}), "bad ndim"},
      {"dtype 3 then ndim 5", dtype3_then_bad.bytes(), "bad ndim"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (LoadMode mode : MODES)
      expect_fatal(write_file("bad.olvt", c.bytes), mode, std::string("FATAL: ") + c.msg + "\n");
  }
  expect_fatal(scratch_path("no_such_file.olvt"), LoadMode::Auto,
               "FATAL: cannot open weights file\n");
}

TEST(LoaderHeader, ConfigurationWordsAndFloatsLandInTheirFields) {
  olvt::Config cfg;
  uint32_t* words[15] = {&cfg.vocab_size,  &cfg.hidden_size, &cfg.n_layers,   &cfg.n_heads,
                         &cfg.n_kv_heads,  &cfg.head_dim,    &cfg.ffn_size,   &cfg.lin_k_heads,
                         &cfg.lin_v_heads, &cfg.lin_k_dim,   &cfg.lin_v_dim,  &cfg.conv_kernel,
                         &cfg.attn_layer_mask, &cfg.reserved13, &cfg.reserved14};
  for (int i = 0; i < 15; ++i) *words[i] = 0x01020300u + static_cast<uint32_t>(i) * 0x11u;
  cfg.rope_theta = 1.5e6f;
  cfg.rms_eps = -2.5e-7f;
  cfg.rotary_fraction = 0.375f;
  for (uint32_t version : {1u, 2u}) {
    SCOPED_TRACE("version " + std::to_string(version));
    const auto path = write_file("cfg.olvt", olvt::Writer(cfg, version).bytes());
    Loaded l = load(path, LoadMode::Auto);
    const ModelConfig* c = l.c;
    const uint32_t got[15] = {c->vocab_size,  c->hidden_size, c->n_layers,   c->n_heads,
                              c->n_kv_heads,  c->head_dim,    c->ffn_size,   c->lin_k_heads,
                              c->lin_v_heads, c->lin_k_dim,   c->lin_v_dim,  c->conv_kernel,
                              c->attn_layer_mask, c->reserved13, c->reserved14};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(got[i], *words[i]) << "word " << i;
    EXPECT_EQ(c->rope_theta, 1.5e6f);
    EXPECT_EQ(c->rms_eps, -2.5e-7f);
    EXPECT_EQ(c->rotary_fraction, 0.375f);
    EXPECT_EQ(c->n_tensors, 0u);
  }
}

TEST(LoaderRecords, BoundaryShapesAreKeptAsWritten) {
  const std::string long_name(159, 'L');
  for (uint32_t version : {1u, 2u}) {
    olvt::Writer w({}, version);
    w.add_raw(long_name, DTYPE_F32, {7}, f32_bytes({1.0f}));
    w.add_raw("", DTYPE_F32, {}, f32_bytes({2.0f}));
    w.add_raw("four", DTYPE_Q8, {1, 2, 3, 0xFFFFFFFFu}, std::vector<uint8_t>(36, 5));
    for (LoadMode mode : MODES) {
      SCOPED_TRACE("version " + std::to_string(version) + (mode == LoadMode::Auto ? " mapped" : " read"));
      const auto bytes = w.bytes();
      const auto path = write_file("shapes.olvt", bytes);
      Loaded l = load(path, mode);
      EXPECT_EQ(l.err, mode_line(mode, bytes.size()));
      ASSERT_EQ(l.c->n_tensors, 3u);
      const TensorEntry* t = l.c->tensors;
      EXPECT_STREQ(t[0].name, long_name.c_str());
      EXPECT_EQ(t[0].ndim, 1);
      EXPECT_EQ(t[0].dims[0], 7u);
      EXPECT_EQ(t[0].dims[1], 0u);
      EXPECT_EQ(t[0].offset, w.table_end());
      EXPECT_EQ(t[0].nbytes, 4u);
      EXPECT_STREQ(t[1].name, "");
      EXPECT_EQ(t[1].ndim, 0);
      EXPECT_EQ(t[1].dims[0], 0u);
      EXPECT_EQ(t[1].data_f32[0], 2.0f);
      EXPECT_STREQ(t[2].name, "four");
      EXPECT_EQ(t[2].dtype, DTYPE_Q8);
      EXPECT_EQ(t[2].ndim, 4);
      EXPECT_EQ(t[2].dims[3], 0xFFFFFFFFu);
      EXPECT_EQ(t[2].offset, w.table_end() + 8);
      EXPECT_EQ(t[2].nbytes, 36u);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(data_pointers(t[i]), 1) << i;
    }
  }
}

TEST(LoaderRecords, TableGrowsPastItsFirstCapacityAndKeepsEveryRecord) {
  olvt::Writer w;
  const int n = 2500;
  for (int i = 0; i < n; ++i)
    w.add_raw(numbered("t", i), DTYPE_F32, {1}, f32_bytes({static_cast<float>(i)}));
  const auto path = write_file("many.olvt", w.bytes());
  for (LoadMode mode : MODES) {
    Loaded l = load(path, mode);
    ASSERT_EQ(l.c->n_tensors, static_cast<uint32_t>(n));
    for (int i = 0; i < n; ++i) {
      ASSERT_STREQ(l.c->tensors[i].name, numbered("t", i).c_str());
      ASSERT_EQ(l.c->tensors[i].data_f32[0], static_cast<float>(i));
    }
  }
}

// A count of records the file cannot hold must fail on the first missing
// record, not by reserving a table for the count.
TEST(LoaderRecords, HugeRecordCountInShortFileFailsOnTheMissingRecord) {
  for (uint32_t count : {3u, 50000000u, 0xFFFFFFFFu}) {
    olvt::Writer w;
    w.add_raw("a", DTYPE_F32, {1}, f32_bytes({1.0f}));
    w.add_raw("b", DTYPE_F32, {1}, f32_bytes({2.0f}));
    auto bytes = w.bytes();
    std::memcpy(&bytes[80], &count, 4);
    bytes.resize(w.table_end());
    const auto path = write_file("count.olvt", bytes);
    auto r = run_child([&] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      rlimit lim{1u << 30, 1u << 30};
      setrlimit(RLIMIT_AS, &lim);
#endif
      load_model(path.c_str(), LoadMode::Auto);
    });
    EXPECT_EQ(r.exit_code, 1) << count;
    EXPECT_EQ(r.err, "FATAL: bad name len\n") << count;
  }
}

TEST(LoaderMode, EmptyTableLoadsAndStillWritesTheModeLine) {
  const auto bytes = olvt::Writer().bytes();
  const auto path = write_file("empty.olvt", bytes);
  for (LoadMode mode : MODES) {
    Loaded l = load(path, mode);
    EXPECT_EQ(l.err, mode_line(mode, bytes.size()));
    EXPECT_EQ(l.c->n_tensors, 0u);
  }
}

TEST(LoaderMode, MappedLineReportsWholeMebibytes) {
  const struct {
    uint64_t size;
    const char* line;
  } cases[] = {
      {1048575, "[engine] weights mmapped (0 MB, zero-copy)\n"},
      {1048576, "[engine] weights mmapped (1 MB, zero-copy)\n"},
      {1610612736, "[engine] weights mmapped (1536 MB, zero-copy)\n"},
  };
  for (const auto& c : cases) {
    const auto path = write_file("sized.olvt", olvt::Writer().bytes());
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.size)), 0);  // sparse tail
    EXPECT_EQ(load(path, LoadMode::Auto).err, c.line);
    EXPECT_EQ(load(path, LoadMode::ForceRead).err, READ_LINE);
  }
}

// One tensor of each binding kind, contents checked in both modes. In mapped
// mode the kept tensors point into one mapping at their offsets, except that
// f32 and f16 data at an offset its element type cannot be aligned to gets an
// aligned copy.
TEST(LoaderBinding, EachElementTypeIsBoundAsStoredInBothModes) {
  olvt::Writer w;
  std::vector<uint8_t> q8(72);
  for (size_t i = 0; i < q8.size(); ++i) q8[i] = static_cast<uint8_t>(i * 37 + 11);
  w.add_raw("q8", DTYPE_Q8, {2, 32}, q8);
  // every half pattern class: zero, subnormal, normal, infinity, NaN, and an odd trailing byte
  const uint16_t halves[] = {0x0000, 0x8001, 0x3C00, 0xC123, 0x7C00, 0x7D00};
  std::vector<uint8_t> small(sizeof halves + 1, 0xAB);
  std::memcpy(small.data(), halves, sizeof halves);
  w.add_raw("f16 small", DTYPE_F16, {6}, small);
  std::vector<uint8_t> big(1048578);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
  w.add_raw("f16 kept", DTYPE_F16, {512, 1024}, big);
  std::vector<uint8_t> just_under(1048575);
  for (size_t i = 0; i < just_under.size(); ++i) just_under[i] = static_cast<uint8_t>(i * 7);
  w.add_raw("f16 widened", DTYPE_F16, {524287}, just_under);
  auto f32 = f32_bytes({1.25f, -3.0f});
  f32.push_back(0x11);
  f32.push_back(0x22);  // 10 bytes: two floats and two ignored bytes
  w.add_raw("f32", DTYPE_F32, {2}, f32);
  // data may overlap the header and other tensors
  auto& header = w.add_raw("header", DTYPE_F32, {21}, {});  // 21 floats from the first 84 bytes
  header.offset = 0;
  header.nbytes = 84;
  auto& odd = w.add_raw("f32 odd", DTYPE_F32, {20}, {});  // never 4-byte aligned
  odd.offset = 1;
  odd.nbytes = 80;
  const uint64_t big_offset = w.table_end() + q8.size() + small.size();
  auto& kept_shifted = w.add_raw("f16 kept shifted", DTYPE_F16, {524288}, {});
  kept_shifted.offset = big_offset + 1;  // one of the two kept tensors is at an odd offset
  kept_shifted.nbytes = 1048576;
  const auto bytes = w.bytes();
  const auto path = write_file("kinds.olvt", bytes);

  for (LoadMode mode : MODES) {
    SCOPED_TRACE(mode == LoadMode::Auto ? "mapped" : "read");
    const int fds = open_fd_count();
    Loaded l = load(path, mode);
    EXPECT_EQ(open_fd_count(), fds) << "the weights file stays open";
    EXPECT_EQ(l.err, mode_line(mode, bytes.size()));
    ASSERT_EQ(l.c->n_tensors, 8u);
    const TensorEntry* t = l.c->tensors;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(data_pointers(t[i]), 1) << t[i].name;

    ASSERT_NE(t[0].data_q8, nullptr);
    EXPECT_EQ(std::memcmp(t[0].data_q8, q8.data(), q8.size()), 0);

    ASSERT_NE(t[1].data_f32, nullptr);
    for (int i = 0; i < 6; ++i) {
      const float want = half_to_float(halves[i]);
      EXPECT_EQ(std::memcmp(&t[1].data_f32[i], &want, 4), 0) << i;
    }

    ASSERT_NE(t[3].data_f32, nullptr);
    bool same = true;
    for (size_t i = 0; i < 524287; ++i) {
      uint16_t h;
      std::memcpy(&h, &just_under[2 * i], 2);
      const float want = half_to_float(h);
      same = same && std::memcmp(&t[3].data_f32[i], &want, 4) == 0;
    }
    EXPECT_TRUE(same);

    // Kept data: the file's bytes, element-aligned, and in place when the offset allows.
    const uint8_t* base = t[0].data_q8 - t[0].offset;
    for (int i : {2, 4, 5, 6, 7}) {
      SCOPED_TRACE(t[i].name);
      const bool half = t[i].dtype == DTYPE_F16;
      const void* p = half ? static_cast<const void*>(t[i].data_f16) : t[i].data_f32;
      ASSERT_NE(p, nullptr);
      const size_t elem = half ? 2 : 4;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % elem, 0u);
      const size_t n = t[i].nbytes / elem * elem;
      EXPECT_EQ(std::memcmp(p, bytes.data() + t[i].offset, n), 0);
      if (mode == LoadMode::Auto) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0u);
        EXPECT_EQ(p == base + t[i].offset, t[i].offset % elem == 0);
      }
    }
    EXPECT_NE(t[2].offset % 2, t[7].offset % 2);
    EXPECT_EQ(t[4].data_f32[0], 1.25f);
    EXPECT_EQ(t[4].data_f32[1], -3.0f);
  }
}

TEST(LoaderBinding, DataEndAndTypeFailuresPerMode) {
  const uint64_t END = ~0ull;  // placeholder: "one past the data the writer lays out"
  struct T {
    uint8_t dtype;
    size_t bytes;
    uint64_t nbytes_extra = 0;  // nbytes = bytes + extra
    uint64_t offset = END;      // END: where the writer puts the data
  };
  struct Case {
    const char* what;
    std::vector<T> tensors;
    const char* mapped;  // nullptr: loads
    const char* read;
  };
  const std::vector<Case> cases = {
      {"q8 ends exactly at end of file", {{DTYPE_Q8, 72}}, nullptr, nullptr},
      {"q8 one byte past the end", {{DTYPE_Q8, 72, 1}}, "tensor beyond file", "short tensor q8"},
      {"small f16 one half past the end", {{DTYPE_F16, 10, 2}}, "tensor beyond file", "short tensor f16"},
      {"kept f16 one half past the end", {{DTYPE_F16, 1048576, 2}}, "tensor beyond file", "short tensor f16"},
      // read mode reads whole values only, so a stray last byte beyond the file is never read
      {"kept f16 odd byte past the end", {{DTYPE_F16, 1048576, 1}}, "tensor beyond file", nullptr},
      {"f32 one float past the end", {{DTYPE_F32, 8, 4}}, "tensor beyond file", "short tensor f32"},
      {"f32 partial float past the end", {{DTYPE_F32, 8, 3}}, "tensor beyond file", nullptr},
      {"empty tensor at the very end", {{DTYPE_F32, 0}}, nullptr, nullptr},
      {"offset + nbytes wraps around", {{DTYPE_Q8, 0, 16, ~0ull - 7}}, "tensor beyond file", "seek fail"},
      {"offset beyond any seek", {{DTYPE_F32, 0, 4, 1ull << 63}}, "tensor beyond file", "seek fail"},
      {"type code 3", {{DTYPE_F32, 4}, {3, 4}}, "unknown dtype", "unknown dtype"},
      {"type code 3 past the end", {{3, 4, 4}}, "tensor beyond file", "unknown dtype"},
      {"first failing tensor decides",
       {{DTYPE_F32, 4}, {DTYPE_Q8, 36, 0, 1u << 30}, {3, 4}},
       "tensor beyond file", "short tensor q8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    olvt::Writer w;
    int i = 0;
    for (const T& t : c.tensors) {
      auto& e = w.add_raw(numbered("t", i++), t.dtype, {1}, std::vector<uint8_t>(t.bytes, 7));
      if (t.nbytes_extra) e.nbytes = t.bytes + t.nbytes_extra;
      if (t.offset != END) e.offset = t.offset;
    }
    const auto bytes = w.bytes();
    const auto path = write_file("bind.olvt", bytes);
    for (LoadMode mode : MODES) {
      SCOPED_TRACE(mode == LoadMode::Auto ? "mapped" : "read");
      const char* msg = mode == LoadMode::Auto ? c.mapped : c.read;
      auto r = run_child([&] { load_model(path.c_str(), mode); });
      EXPECT_EQ(r.exit_code, msg ? 1 : 0);
      EXPECT_EQ(r.err, mode_line(mode, bytes.size()) + (msg ? std::string("FATAL: ") + msg + "\n" : ""));
    }
  }
}

}  // namespace
