// The loading stage: reads the OLVT header and tensor records, then binds each
// tensor to its data, in place in a read-only mapping of the whole file when
// the platform can map it, otherwise in buffers read from the file.
#include <sys/mman.h>
#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"
#include "kernels/half.h"
#include "model/mapping_guard.h"
#include "model/model.h"

// Tensor data is used as stored, so the host must share the file's byte order.
static_assert(std::endian::native == std::endian::little, "OLVT data is little-endian");

namespace {

bool read_bytes(FILE* f, void* dst, size_t n) { return std::fread(dst, 1, n, f) == n; }

uint16_t le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | (b[1] << 8)); }
uint32_t le32(const uint8_t* b) {
  return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
uint64_t le64(const uint8_t* b) { return uint64_t(le32(b)) | (uint64_t(le32(b + 4)) << 32); }

// A zero-byte request still yields a distinct pointer, so "no data" never looks
// like a failed allocation.
void* alloc_bytes(uint64_t n) {
  if (n > PTRDIFF_MAX) return nullptr;
  return std::malloc(n ? static_cast<size_t>(n) : 1);
}

// The record count comes from the file, so the table grows with the records
// actually read rather than trusting the count up front: a short file that
// claims billions of records fails on its first missing record.
constexpr uint32_t TABLE_FIRST_CAPACITY = 1024;

void read_records(FILE* f, ModelConfig* c) {
  uint64_t capacity = c->n_tensors < TABLE_FIRST_CAPACITY ? c->n_tensors : TABLE_FIRST_CAPACITY;
  if (capacity == 0) capacity = 1;
  auto* table = static_cast<TensorEntry*>(std::calloc(capacity, sizeof(TensorEntry)));
  if (!table) fatal("oom tensor table");
  c->tensors = table;
  for (uint64_t i = 0; i < c->n_tensors; ++i) {
    if (i == capacity) {
      uint64_t grown = capacity * 2;
      if (grown > c->n_tensors) grown = c->n_tensors;
      table = static_cast<TensorEntry*>(std::realloc(table, grown * sizeof(TensorEntry)));
      if (!table) fatal("oom tensor table");
      std::memset(table + capacity, 0, (grown - capacity) * sizeof(TensorEntry));
      capacity = grown;
      c->tensors = table;
    }
    TensorEntry& t = table[i];
    uint8_t b[8];
    if (!read_bytes(f, b, 2)) fatal("bad name len");
    const uint16_t name_len = le16(b);
    if (name_len >= sizeof t.name) fatal("bad name len");
    if (!read_bytes(f, t.name, name_len)) fatal("short name");
    if (!read_bytes(f, &t.dtype, 1)) fatal("short dtype");
    if (!read_bytes(f, &t.ndim, 1) || t.ndim > 4) fatal("bad ndim");
    for (uint8_t d = 0; d < t.ndim; ++d) {
      if (!read_bytes(f, b, 4)) fatal("short dims");
      t.dims[d] = le32(b);
    }
    if (!read_bytes(f, b, 8)) fatal("short offset");
    t.offset = le64(b);
    if (!read_bytes(f, b, 8)) fatal("short nbytes");
    t.nbytes = le64(b);
  }
}

void read_header(FILE* f, ModelConfig* c) {
  uint8_t b[60];
  if (!read_bytes(f, b, 60)) fatal("short config");
  uint32_t* words[15] = {&c->vocab_size,  &c->hidden_size,     &c->n_layers,    &c->n_heads,
                         &c->n_kv_heads,  &c->head_dim,        &c->ffn_size,    &c->lin_k_heads,
                         &c->lin_v_heads, &c->lin_k_dim,       &c->lin_v_dim,   &c->conv_kernel,
                         &c->attn_layer_mask, &c->reserved13, &c->reserved14};
  for (int i = 0; i < 15; ++i) *words[i] = le32(b + 4 * i);
  if (!read_bytes(f, b, 12)) fatal("short config f32");
  float* floats[3] = {&c->rope_theta, &c->rms_eps, &c->rotary_fraction};
  for (int i = 0; i < 3; ++i) {
    const uint32_t bits = le32(b + 4 * i);
    std::memcpy(floats[i], &bits, 4);
  }
  if (!read_bytes(f, b, 4)) fatal("short n_tensors");
  c->n_tensors = le32(b);
}

// Small f16 tensors become f32 once, here, so vector readers see floats.
float* widen_halves(const uint8_t* halves, uint64_t count) {
  auto* out = static_cast<float*>(alloc_bytes(count * 4));
  if (!out) fatal("oom loading tensor");
  for (uint64_t i = 0; i < count; ++i) {
    uint16_t h;
    std::memcpy(&h, halves + 2 * i, 2);
    out[i] = half_to_float(h);
  }
  return out;
}

// Readers index f32 and f16 data as arrays of their element type, which needs
// the element's alignment. The format does not promise it, so a tensor whose
// data sits at an unaligned offset is copied once; aligned data (what
// exporters write) stays zero-copy in the mapping.
template <class T>
const T* in_place_or_copy(const uint8_t* p, uint64_t count, const char* oom) {
  if (reinterpret_cast<uintptr_t>(p) % alignof(T) == 0) return reinterpret_cast<const T*>(p);
  auto* copy = static_cast<T*>(alloc_bytes(count * sizeof(T)));
  if (!copy) fatal(oom);
  std::memcpy(copy, p, count * sizeof(T));
  return copy;
}

void bind_mapped(TensorEntry& t, const uint8_t* map, uint64_t file_size) {
  if (t.offset > file_size || t.nbytes > file_size - t.offset) fatal("tensor beyond file");
  const uint8_t* p = map + t.offset;
  switch (t.dtype) {
    case DTYPE_Q8: t.data_q8 = p; break;
    case DTYPE_F16:
      if (t.nbytes >= F16_KEEP_BYTES)
        t.data_f16 = in_place_or_copy<uint16_t>(p, t.nbytes / 2, "oom loading f16 tensor");
      else
        t.data_f32 = widen_halves(p, t.nbytes / 2);
      break;
    case DTYPE_F32:
      t.data_f32 = in_place_or_copy<float>(p, t.nbytes / 4, "oom loading tensor");
      break;
    default: fatal("unknown dtype");
  }
}

void seek_to(FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX) ||
      fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0)
    fatal("seek fail");
}

void bind_read(TensorEntry& t, FILE* f) {
  switch (t.dtype) {
    case DTYPE_Q8: {
      seek_to(f, t.offset);
      auto* buf = static_cast<uint8_t*>(alloc_bytes(t.nbytes));
      if (!buf) fatal("oom loading q8 tensor");
      if (std::fread(buf, 1, t.nbytes, f) != t.nbytes) fatal("short tensor q8");
      t.data_q8 = buf;
      break;
    }
    case DTYPE_F16: {
      const uint64_t halves = t.nbytes / 2;
      if (t.nbytes >= F16_KEEP_BYTES) {
        seek_to(f, t.offset);
        auto* buf = static_cast<uint16_t*>(alloc_bytes(t.nbytes));
        if (!buf) fatal("oom loading f16 tensor");
        if (std::fread(buf, 2, halves, f) != halves) fatal("short tensor f16");
        t.data_f16 = buf;
      } else {
        auto* out = static_cast<float*>(alloc_bytes(halves * 4));
        if (!out) fatal("oom loading tensor");
        seek_to(f, t.offset);
        auto* tmp = static_cast<uint16_t*>(alloc_bytes(t.nbytes));
        if (!tmp) fatal("oom loading tensor");
        if (std::fread(tmp, 2, halves, f) != halves) fatal("short tensor f16");
        for (uint64_t i = 0; i < halves; ++i) out[i] = half_to_float(tmp[i]);
        std::free(tmp);
        t.data_f32 = out;
      }
      break;
    }
    case DTYPE_F32: {
      seek_to(f, t.offset);
      const uint64_t floats = t.nbytes / 4;
      auto* buf = static_cast<float*>(alloc_bytes(floats * 4));
      if (!buf) fatal("oom loading tensor");
      if (std::fread(buf, 4, floats, f) != floats) fatal("short tensor f32");
      t.data_f32 = buf;
      break;
    }
    default: fatal("unknown dtype");
  }
}

}  // namespace

ModelConfig* load_model(const char* path, LoadMode mode) {
  FILE* f = std::fopen(path, "rb");
  if (!f) fatal("cannot open weights file");
  uint8_t b[4];
  if (!read_bytes(f, b, 4) || std::memcmp(b, "OLVT", 4) != 0) fatal("bad magic");
  if (!read_bytes(f, b, 4)) fatal("bad version");
  const uint32_t version = le32(b);
  if (version != 1 && version != 2) fatal("bad version");

  auto* c = static_cast<ModelConfig*>(std::calloc(1, sizeof(ModelConfig)));
  if (!c) fatal("oom model config");
  read_header(f, c);
  read_records(f, c);

  const uint8_t* map = nullptr;
  uint64_t file_size = 0;
  if (mode != LoadMode::ForceRead) {
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && st.st_size > 0) {
      void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fileno(f), 0);
      if (p != MAP_FAILED && p != nullptr) {
        map = static_cast<const uint8_t*>(p);
        file_size = static_cast<uint64_t>(st.st_size);
      }
    }
  }
  if (map) {
    guard_mapping(map, file_size);
    posix_madvise(const_cast<uint8_t*>(map), file_size, POSIX_MADV_WILLNEED);
    std::fprintf(stderr, "[engine] weights mmapped (%llu MB, zero-copy)\n",
                 static_cast<unsigned long long>(file_size / 1048576));
  } else {
    std::fprintf(stderr, "[engine] mmap unavailable \xE2\x80\x94 fread fallback\n");
  }

  for (uint32_t i = 0; i < c->n_tensors; ++i) {
    if (map)
      bind_mapped(c->tensors[i], map, file_size);
    else
      bind_read(c->tensors[i], f);
  }
  std::fclose(f);
  return c;
}
