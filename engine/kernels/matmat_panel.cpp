// The panel product: tiles of weight rows claimed over the pool, each expanded
// once into its participant's panel buffer, then every input row against it
// through the micro-kernel; plus the portable micro-kernel, whose loops the
// vector ones mirror register for register.
//
// Summation order of every output element (the pool kernels' dot product):
// sixteen lanes, lane l summing x[16s + l] * w[16s + l] over the whole steps s
// by fused multiply-adds from +0; then with A_j[i] = lane 4j + i,
// V_i = (A_0[i] + A_1[i]) + (A_2[i] + A_3[i]) and s = (V_0 + V_1) + (V_2 + V_3);
// then, when four or more inputs remain, a four-lane step seeded with s in
// lane 0 and summed pairwise; then single fused steps. Nothing in it depends
// on M, on a row's place in a block, on the tiles or on the pool.
#include "kernels/matmat_panel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "kernels/matmat.h"
#include "runtime/pool.h"

namespace detail {

float panel_reduce(const float* a) {
  float V[4];
  for (int i = 0; i < 4; ++i) V[i] = (a[i] + a[4 + i]) + (a[8 + i] + a[12 + i]);
  return (V[0] + V[1]) + (V[2] + V[3]);
}

float panel_finish(float s, const float* x, const float* w, int32_t n) {
  int32_t c = 0;
  if (n >= 4) {
    float T[4] = {s, 0.0f, 0.0f, 0.0f};
    for (; c + 4 <= n; c += 4)
      for (int i = 0; i < 4; ++i) T[i] = std::fmaf(x[c + i], w[c + i], T[i]);
    s = (T[0] + T[1]) + (T[2] + T[3]);
  }
  for (; c < n; ++c) s = std::fmaf(x[c], w[c], s);
  return s;
}

}  // namespace detail

namespace {

// The portable micro-kernel: 4 rows x 4 weight rows of sixteen-lane
// accumulators. A vector port keeps this shape: one register (or register
// group) per accumulator, one load per input row and weight row per step.
constexpr int32_t PORTABLE_MR = 4, PORTABLE_NR = 4;

template <int MR>
void portable_rows(const float* const* x, const float* const* w, int64_t wstep, int32_t n, int32_t K, float* y,
                   int64_t ldy) {
  float acc[MR][PORTABLE_NR][16] = {};
  const int32_t K16 = K / 16 * 16;
  for (int32_t c = 0; c < K16; c += 16)
    for (int i = 0; i < MR; ++i)
      for (int j = 0; j < PORTABLE_NR; ++j)
        for (int l = 0; l < 16; ++l)
          acc[i][j][l] = std::fmaf(x[i][c + l], w[j][c / 16 * wstep + l], acc[i][j][l]);
  for (int i = 0; i < MR; ++i)
    for (int j = 0; j < n; ++j)
      y[i * ldy + j] = detail::panel_finish(detail::panel_reduce(acc[i][j]), x[i] + K16, w[j] + K16 / 16 * wstep,
                                            K - K16);
}

void portable_block(const float* const* x, int32_t m, const float* const* w, int64_t wstep, int32_t n, int32_t K,
                    float* y, int64_t ldy) {
  const float* ws[PORTABLE_NR];
  for (int j = 0; j < PORTABLE_NR; ++j) ws[j] = w[j < n ? j : n - 1];
  switch (m) {
    case 1: portable_rows<1>(x, ws, wstep, n, K, y, ldy); break;
    case 2: portable_rows<2>(x, ws, wstep, n, K, y, ldy); break;
    case 3: portable_rows<3>(x, ws, wstep, n, K, y, ldy); break;
    default: portable_rows<4>(x, ws, wstep, n, K, y, ldy); break;
  }
}

const detail::PanelKernel kPortable = {PORTABLE_MR, PORTABLE_NR, PORTABLE_NR, portable_block, nullptr};

// Panel buffers: one per pool participant, each holding the expanded weight
// rows of the tile it works on. They grow to the largest tile any product has
// needed and are kept, like the pool kernels' stacks, for the process.
struct PanelBuffers {
  float* base;
  uint64_t per_slot;  // floats
  int32_t slots;
};
PanelBuffers panels = {nullptr, 0, 0};
bool fail_next_growth = false;
// The lane form's packed input rows of one row block, shared by all
// participants; grown and kept like the panels.
PanelBuffers inputs = {nullptr, 0, 0};

// Room in b for `slots` buffers of `need` floats each; false when memory is
// exhausted.
bool grow(PanelBuffers* b, int32_t slots, uint64_t need) {
  if (b->base && b->per_slot >= need && b->slots >= slots) return true;
  const uint64_t per_slot = std::max(need, b->per_slot);
  slots = std::max(slots, b->slots);
  std::free(b->base);
  *b = {nullptr, 0, 0};
  void* p = nullptr;
  const bool fail = fail_next_growth;
  fail_next_growth = false;
  if (fail || posix_memalign(&p, 64, static_cast<size_t>(per_slot * slots * sizeof(float))) != 0) return false;
  *b = {static_cast<float*>(p), per_slot, slots};
  return true;
}

// Tile sizes. A tile's panel stays within half of the core's second-level
// cache, and within 512 KiB (half of Zen 4's and Zen 5's 1 MiB; Sapphire
// Rapids has 2 MiB), so it and the input rows of one block stay in the
// core's cache while every input row passes it. On Zen 3 (AMD EPYC family
// 25, 512 KiB) tiles of 256 KiB instead of 512 made the prefill 5-7 % faster
// at every M from 16 to 2048 (8 threads, two alternating runs each); with the
// two-pass AVX2 kernel, 128, 192, 384 and 512 KiB measured 168-176, 176,
// 175-177 and 173-175 tok/s at 512 ids against 178-181 for 256 KiB. Participants
// claim one tile at a time from the job's own cursor, and a tile takes
// 1 / TILE_SHARE of the groups left (capped by the cache), so tiles shrink
// towards the end and the participants finish within a small tile of each
// other. Measured with the pool's chunks of a fixed tile size instead (three
// tiles per claim at a product of 103 tiles), the participants waited 11-17 %
// of every product of the prefill at 35 to 512 rows (8 threads, AMD EPYC
// family 26); a tile never drops below MIN_TILE_GROUPS unless the product
// has fewer, since every tile reads all of the input rows again. With packed
// panels, tiles of 320 KiB and of 768 KiB were no faster (prefill of 128 and
// 512 ids, same machine, alternating runs). A group of 16 rows or more may be
// a tile alone: with the AVX2 lane form's groups of 16, tiles of at least one
// group made the prefill of 16 ids 130 -> 136 tok/s, alike at 35 to 512 ids,
// where 128 and 384 KiB tiles measured no better than 256 (AMD EPYC family
// 25).
constexpr int64_t PANEL_BYTES_MOST = 512 << 10;
constexpr int32_t TILE_SHARE = 2;
constexpr int32_t MIN_TILE_GROUPS = 2;
constexpr int32_t ROW_BLOCK = 512;
// The next tile's bytes are asked for over the first DEN/NUM of the current
// tile's micro-kernel calls, so that the last of them arrive before it ends.
// Prefill of 35 ids, 8 threads, AMD EPYC family 26 (Zen 5), packed panels:
// the expansion's share of the profile 18.5 % -> 14.5-15.5 %, of which the
// requests themselves cost 4.5 % (asking for every second or fourth line
// only, leaving the rest to the hardware, gave the expansion back its
// 17-18 %); whole runs alternating, 276-282 tok/s without the claim ahead,
// 287-302 with it, and no loss at 128 to 2048 ids, where claiming ahead
// only up to 64 rows measured the same. Asking into the first-level cache
// (12.3 % before the packed panels), starting at half of the tile (13.1 %)
// or not claiming ahead in the last round of tiles measured no better.
constexpr int64_t FETCH_AHEAD_NUM = 4, FETCH_AHEAD_DEN = 3;

// The widest micro-kernel call any instruction set makes.
constexpr int32_t MAX_MR = 16, MAX_NB = 64;

// The tile budget for this machine: half of its second-level cache where the
// system tells its size, never more than PANEL_BYTES_MOST.
int64_t panel_bytes() {
  static const int64_t bytes = [] {
    int64_t l2 = 0;
#if defined(_SC_LEVEL2_CACHE_SIZE)
    l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    return l2 >= (64 << 10) ? std::min<int64_t>(l2 / 2, PANEL_BYTES_MOST) : PANEL_BYTES_MOST;
  }();
  return bytes;
}

// One product of a job: its weights, output rows and its span in the job's
// sequence of groups of kern->nr weight rows.
struct PanelPart {
  const TensorEntry* W;
  float* Y;
  int32_t N;
  const detail::MmKernels* expand;  // the expansions of q8 and f16 weights
  bool packed;  // its tiles are written into the panel; else f32 rows read in place
  int32_t first_group, end_group;
};

struct PanelJob {
  const float* X;
  float* xpack;  // the lane form's packed input rows, blocks of kern->mr
  int32_t M, K;
  const detail::PanelKernel* kern;
  PanelPart parts[MM_MAX_SHARED];
  int32_t groups, max_groups, participants;
  // The last split_groups groups go out as two tiles each, one per half of
  // the row blocks; the cursor counts them twice.
  int32_t split_groups;
  std::atomic<int32_t> cursor;                  // first tile unit not yet claimed
  std::atomic<int32_t> packing, packed;         // the lane form's row blocks claimed and packed
  std::atomic<int32_t> busy[POOL_MAX_THREADS];  // panel slots in use
};

// The input rows are cut into as few blocks as the kernel's mr allows, of
// sizes differing by at most one, since a block of one or two rows leaves
// most of the kernel's registers idle: 128 rows in blocks of 6 end in a
// block of 2, which took 2 % of the prefill of 128 ids (AVX2, AMD EPYC
// family 25), where 18 blocks of 6 and 4 of 5 take none of it.
int32_t row_blocks(const PanelJob* job) { return (job->M + job->kern->mr - 1) / job->kern->mr; }

// Block b's first row *r and its *m rows.
void row_block(const PanelJob* job, int32_t b, int32_t* r, int32_t* m) {
  const int32_t blocks = row_blocks(job), base = job->M / blocks, extra = job->M % blocks;
  *r = b * base + std::min(b, extra);
  *m = base + (b < extra ? 1 : 0);
}

// A tile: groups [g0, g1) of part p against row blocks [b0, b1).
struct Tile {
  int32_t p, g0, g1, b0, b1;
};

// The next tile, or false when none is left. Its size depends only on the
// cursor, so the tiles are the same however the participants meet them; a
// tile never spans two products. The cursor counts groups, then two units for
// each of the last split_groups groups, whose halves of the row blocks go out
// as tiles of their own: the participants of a job end within half a tile
// of each other instead of a whole one.
bool claim_tile(PanelJob* job, Tile* t) {
  const int32_t whole = job->groups - job->split_groups;
  const int32_t units = whole + 2 * job->split_groups;
  int32_t cur = job->cursor.load(std::memory_order_relaxed);
  for (;;) {
    if (cur >= units) return false;
    int32_t g0, size, b0 = 0, b1 = row_blocks(job);
    if (cur < whole) {
      const int32_t left = job->groups - cur;
      const int32_t share = (left + TILE_SHARE * job->participants - 1) / (TILE_SHARE * job->participants);
      const int32_t least = job->kern->nr >= 16 ? 1 : MIN_TILE_GROUPS;
      g0 = cur;
      size = std::min(std::max(share, least), job->max_groups);
      size = std::min(size, whole - cur);
    } else {
      const int32_t half = (cur - whole) % 2;
      g0 = whole + (cur - whole) / 2;
      size = 1;
      (half ? b0 : b1) = b1 / 2;
    }
    int32_t k = 0;
    while (g0 >= job->parts[k].end_group) ++k;
    const int32_t g1 = std::min(g0 + size, job->parts[k].end_group);
    const int32_t next = cur < whole ? g1 : cur + 1;
    if (job->cursor.compare_exchange_weak(cur, next, std::memory_order_relaxed)) {
      *t = {k, g0, g1, b0, b1};
      return true;
    }
  }
}

// Floats of one group of weight rows in a panel.
int64_t group_len(const detail::PanelKernel* kern, int32_t K) {
  return kern->lanes ? detail::lane_group_len(kern->nr, K) : kern->nr * detail::packed_len(K);
}

// Weight rows [o0, o1) of a part: expanded into the panel, or in place.
const float* tile_weights(const PanelJob* job, const PanelPart& part, int32_t o0, int32_t o1, float* panel) {
  const TensorEntry* W = part.W;
  const int64_t K = job->K;
  if (!part.packed) return W->data_f32 + o0 * K;
  if (const detail::LaneKernel* lanes = job->kern->lanes) {
    const int32_t nr = job->kern->nr;
    for (int32_t o = o0; o < o1; o += nr)
      lanes->pack_weights(W, o, std::min(nr, o1 - o), job->K, panel + (o - o0) / nr * group_len(job->kern, job->K));
    return panel;
  }
  if (W->data_q8)
    part.expand->expand_q8(W->data_q8 + o0 * (K / 32) * Q8_BLOCK_BYTES, o1 - o0, job->K, panel, job->kern->nr);
  else
    part.expand->expand_f16(W->data_f16 + o0 * K, o1 - o0, job->K, panel, job->kern->nr);
  return panel;
}

// Weight rows [o0, o1) of the tile of groups [g0, g1) of a part.
void tile_rows(const PanelJob* job, const PanelPart& part, int32_t g0, int32_t g1, int32_t* o0, int32_t* o1) {
  const int64_t nr = job->kern->nr;
  *o0 = static_cast<int32_t>((g0 - part.first_group) * nr);
  *o1 = static_cast<int32_t>(std::min<int64_t>((g1 - part.first_group) * nr, part.N));
}

// The stored bytes of the next tile a participant will expand, asked for a
// few cache lines at a time between the micro-kernel calls of its current
// tile, into the second-level cache. The weights are cold (read from memory
// once per prefill), and expanding them straight from memory left the core
// stalled on its own reads with nothing else to do; spread over the current
// tile the same bytes need a few GB/s per core, which the multiply leaves
// free, and the next panel then expands from the core's cache.
struct NextTile {
  uintptr_t base;   // the first cache line
  int64_t at, end;  // byte offsets from base: next line to ask for, end
  int64_t step;     // bytes asked for per micro-kernel call
};

// Ahead of a part's rows [o0, o1), over `calls` micro-kernel calls of the
// current tile; nothing for f32 weights read in place.
NextTile next_tile(const PanelJob* job, const PanelPart& part, int32_t o0, int32_t o1, int64_t calls) {
  NextTile f = {0, 0, 0, 0};
  if (!part.packed) return f;
  const TensorEntry* W = part.W;
  const int64_t K = job->K;
  const int64_t row_bytes = W->data_q8 ? K / 32 * Q8_BLOCK_BYTES : W->data_f16 ? 2 * K : 4 * K;
  const uintptr_t first = W->data_q8    ? reinterpret_cast<uintptr_t>(W->data_q8 + o0 * row_bytes)
                          : W->data_f16 ? reinterpret_cast<uintptr_t>(W->data_f16 + o0 * K)
                                        : reinterpret_cast<uintptr_t>(W->data_f32 + o0 * K);
  f.base = first & ~static_cast<uintptr_t>(63);
  f.end = (o1 - o0) * row_bytes + static_cast<int64_t>(first - f.base);
  const int64_t per_call = (f.end * FETCH_AHEAD_NUM / FETCH_AHEAD_DEN + calls - 1) / std::max<int64_t>(calls, 1);
  f.step = (per_call + 63) / 64 * 64;
  return f;
}

inline void fetch_ahead(NextTile* f) {
  const int64_t stop = std::min(f->at + f->step, f->end);
  for (; f->at < stop; f->at += 64) __builtin_prefetch(reinterpret_cast<const void*>(f->base + f->at), 0, 2);
}

// Weight rows per micro-kernel call for a part. An expanded panel is packed,
// so the kernel's whole width. f32 weights read in place go one group per
// call: their rows lie K floats apart, so the rows of a wider call fall on
// the same few sets of the first-level cache (AVX2 kernel, 32 rows per call,
// 8 threads, AMD EPYC family 25: f32 products 97 tok/s at every M from 64 on,
// one group per call 153-157).
int32_t call_rows(const PanelJob* job, const PanelPart& part) {
  return part.packed ? job->kern->nb : job->kern->nr;
}

// The lane form's packed block of input rows that starts at row r.
float* packed_inputs(const PanelJob* job, int64_t r) { return job->xpack + r * (job->K / 16 * 16); }

// Every input row against the tile's weight rows: the row blocks in turn,
// each against the tile's weight rows call_rows at a time, so that one block
// of input rows and the whole panel stay in the core's cache. An expanded
// panel is packed, so a group's weights reach the micro-kernel as one stream.
void tile_product(const PanelJob* job, const PanelPart& part, int32_t o0, int32_t o1, int32_t b0, int32_t b1,
                  const float* w, NextTile* next) {
  const int32_t nr = job->kern->nr, K = job->K;
  const int64_t N = part.N;
  const bool packed = part.packed;
  const int32_t nb = call_rows(job, part);
  const int64_t wstep = packed ? 16 * nr : 16;
  const float* xs[MAX_MR];
  const float* ws[MAX_NB];
  for (int32_t b = b0; b < b1; ++b) {
    int32_t r, m;
    row_block(job, b, &r, &m);
    for (int32_t i = 0; i < m; ++i) xs[i] = job->X + static_cast<int64_t>(r + i) * K;
    if (const detail::LaneKernel* lanes = job->kern->lanes) {
      const float* xp = packed_inputs(job, r);
      for (int32_t g = o0; g < o1; g += nr) {
        lanes->block(xp, m, w + (g - o0) / nr * group_len(job->kern, K), std::min(nr, o1 - g), K, xs,
                     part.Y + r * N + g, N);
        fetch_ahead(next);
      }
      continue;
    }
    for (int32_t g = o0; g < o1; g += nb) {
      const int32_t n = std::min(nb, o1 - g);
      for (int32_t j = 0; j < n; ++j) {
        const int64_t row = g - o0 + j;
        ws[j] = w + (packed ? detail::packed_row(row, nr, K) : row * K);
      }
      job->kern->block(xs, m, ws, wstep, n, K, part.Y + r * N + g, N);
      fetch_ahead(next);
    }
  }
}

// The lane form's input rows, packed by the participants as they arrive:
// row blocks claimed one at a time until none is left. Each participant then
// expands its first tile before it waits for the last block, so the packing
// costs no round of the pool of its own (AMD EPYC family 25, 8 threads, two
// alternating runs each: with a pool job of its own before each product,
// prefill of 16, 35 and 128 ids 128-134, 164-177 and 211-217 tok/s; packed
// in the product's job 131-135, 170-181 and 213-221).
void pack_inputs(PanelJob* job) {
  const int32_t blocks = row_blocks(job);
  const int64_t K = job->K;
  for (int32_t b; (b = job->packing.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
    int32_t r, m;
    row_block(job, b, &r, &m);
    job->kern->lanes->pack_inputs(job->X + r * K, m, job->K, packed_inputs(job, r));
    job->packed.fetch_add(1, std::memory_order_release);
  }
}

void wait_for_inputs(PanelJob* job) {
  const int32_t blocks = row_blocks(job);
  while (job->packed.load(std::memory_order_acquire) < blocks) cpu_relax();
}

// One call per participant (a participant may get two when another is slow
// to wake): tiles claimed until none is left.
void panel_range(void* ctx, int32_t, int32_t) {
  PanelJob* job = static_cast<PanelJob*>(ctx);
  // At most one call per participant runs at a time, so a free slot exists.
  int32_t slot = 0;
  while (job->busy[slot].exchange(1, std::memory_order_acquire)) slot = (slot + 1) % job->participants;
  float* panel =
      panels.base && slot < panels.slots ? panels.base + static_cast<int64_t>(slot) * panels.per_slot : nullptr;
  // The next tile is claimed as soon as the current one is expanded, so that
  // its bytes can be fetched while the current one is multiplied. Tile sizes
  // depend only on the cursor, so the tiles and every bit stay the same.
  if (job->kern->lanes) pack_inputs(job);
  bool first = true;
  Tile t;
  bool have = claim_tile(job, &t);
  while (have) {
    const PanelPart& part = job->parts[t.p];
    int32_t o0, o1;
    tile_rows(job, part, t.g0, t.g1, &o0, &o1);
    const float* w = tile_weights(job, part, o0, o1, panel);
    if (first && job->kern->lanes) wait_for_inputs(job);
    first = false;
    Tile n{};
    have = claim_tile(job, &n);
    NextTile next = {0, 0, 0, 0};
    if (have) {
      int32_t n0, n1;
      tile_rows(job, job->parts[n.p], n.g0, n.g1, &n0, &n1);
      const int64_t per_call = call_rows(job, part) / job->kern->nr;  // groups
      next = next_tile(job, job->parts[n.p], n0, n1, (t.b1 - t.b0) * ((t.g1 - t.g0 + per_call - 1) / per_call));
    }
    tile_product(job, part, o0, o1, t.b0, t.b1, w, &next);
    t = n;
  }
  job->busy[slot].store(0, std::memory_order_release);
}

const detail::MmKernels* expansions() {
  const detail::MmKernels* k = detail::mm_kernels(best_isa());
  return k ? k : detail::mm_kernels(Isa::Scalar);
}

}  // namespace

namespace detail {

const PanelKernel* panel_kernel(Isa isa) {
  if (!isa_supported(isa)) return nullptr;
  switch (isa) {
    case Isa::Scalar: return &kPortable;
    case Isa::Avx2: return panel_kernel_avx2();
    case Isa::Avx512: return panel_kernel_avx512();
    case Isa::Neon: return panel_kernel_neon();
  }
  return nullptr;
}

bool panel_products(const MatProduct* products, int32_t n, const float* X, int32_t M, int32_t K,
                    const PanelKernel* kernel) {
  if (K < 16 || M < 1 || n < 1 || n > MM_MAX_SHARED) return false;
  for (int32_t i = 0; i < n; ++i)
    if (products[i].N < 1) return false;
  static const PanelKernel* best = [] {
    const PanelKernel* k = panel_kernel(best_isa());
    return k ? k : &kPortable;
  }();
  PanelJob job;
  job.K = K;
  job.kern = kernel ? kernel : best;
  if (job.kern->mr > MAX_MR || job.kern->nb > MAX_NB || job.kern->nb % job.kern->nr) return false;
  const bool lanes = job.kern->lanes != nullptr;
  const int32_t nr = job.kern->nr;
  job.participants = std::max<int32_t>(P.n_threads, 1);
  int32_t groups = 0, largest = 0;
  bool expands = false;
  for (int32_t i = 0; i < n; ++i) {
    PanelPart& part = job.parts[i];
    part.W = products[i].W;
    part.N = products[i].N;
    part.expand = part.W->data_q8 || part.W->data_f16 ? expansions() : nullptr;
    part.packed = lanes || part.expand;
    expands = expands || part.packed;
    const int32_t g = static_cast<int32_t>((static_cast<int64_t>(part.N) + nr - 1) / nr);
    part.first_group = groups;
    part.end_group = groups + g;
    groups += g;
    if (part.packed) largest = std::max(largest, g);
  }
  job.groups = groups;
  const int64_t group_bytes = static_cast<int64_t>(nr) * K * 4;
  job.max_groups = static_cast<int32_t>(std::max<int64_t>(1, panel_bytes() / group_bytes));
  if (expands) {
    const int64_t most_groups = std::min(largest, job.max_groups);
    if (!grow(&panels, job.participants, static_cast<uint64_t>(most_groups * group_len(job.kern, K)))) return false;
  }
  if (lanes && !grow(&inputs, 1, static_cast<uint64_t>(std::min(M, ROW_BLOCK)) * (K / 16 * 16))) return false;
  job.xpack = inputs.base;
  // Blocks of at most ROW_BLOCK input rows, one job each: every tile reads
  // all of its block's rows again, and 512 rows of up to 6144 inputs stay in
  // the shared cache where 2048 did not. The weights are expanded once per
  // block, which at 512 rows is about 2 % of the work. Prefill of 2048 ids,
  // 8 threads, AMD EPYC family 26, two runs each alternating: 223-241 and
  // 213-218 tok/s in one job, 262-266 and 236-243 in blocks.
  for (int32_t r0 = 0; r0 < M; r0 += ROW_BLOCK) {
    job.X = X + static_cast<int64_t>(r0) * K;
    job.M = std::min(ROW_BLOCK, M - r0);
    for (int32_t i = 0; i < n; ++i) job.parts[i].Y = products[i].Y + static_cast<int64_t>(r0) * products[i].N;
    job.split_groups = job.participants > 1 && row_blocks(&job) >= 2 ? std::min(job.participants, groups) : 0;
    job.cursor.store(0, std::memory_order_relaxed);
    for (auto& b : job.busy) b.store(0, std::memory_order_relaxed);
    job.packing.store(0, std::memory_order_relaxed);
    job.packed.store(0, std::memory_order_relaxed);
    pool_for(panel_range, &job, job.participants, 1);
  }
  return true;
}

bool panel_product(const TensorEntry* W, const float* X, float* Y, int32_t M, int32_t N, int32_t K,
                   const PanelKernel* kernel) {
  const MatProduct one{W, Y, N};
  return panel_products(&one, 1, X, M, K, kernel);
}

uint64_t panel_capacity() { return panels.per_slot; }
void fail_next_panel_allocation() { fail_next_growth = true; }

}  // namespace detail
