// Batched-product pool kernels for AVX-512 (F, BW, DQ, VL with FMA and F16C).
// One 16-lane register is the four four-lane accumulators of one input row;
// four input rows share every weight load. Each row keeps the scalar order.
#include "matmat.h"

#if defined(__x86_64__)

#include "avx512_intrinsics.h"

#include <cmath>
#include <cstring>

#include "half.h"

#define OLVU_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma,f16c")))

namespace {

OLVU_AVX512 inline float sum_pairwise(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehdup_ps(h)));
}

OLVU_AVX512 void expand_q8_row(const uint8_t* blk, int32_t K, float* buf) {
  const int32_t nb = K / 32;
  for (int32_t b = 0; b < nb; ++b, blk += Q8_BLOCK_BYTES) {
    float s;
    std::memcpy(&s, blk, 4);
    const __m512 scale = _mm512_set1_ps(s);
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 4));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 20));
    _mm512_storeu_ps(buf + 32 * b, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(lo)), scale));
    _mm512_storeu_ps(buf + 32 * b + 16, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(hi)), scale));
  }
  for (int32_t k = 32 * nb; k < K; ++k) buf[k] = 0.0f;
}

OLVU_AVX512 void expand_f16_run(const uint8_t* h, int64_t K, float* buf) {
  int64_t c = 0;
  for (; c + 16 <= K; c += 16)
    _mm512_storeu_ps(buf + c, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + 2 * c))));
  for (; c + 8 <= K; c += 8)
    _mm256_storeu_ps(buf + c, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 2 * c))));
  for (; c < K; ++c) {
    uint16_t v;
    std::memcpy(&v, h + 2 * c, 2);
    buf[c] = half_to_float(v);
  }
}

// The shared dot product for R input rows against one weight row w.
template <int R>
OLVU_AVX512 void dot_d(const float* X, int64_t ldx, const float* w, int32_t K, float* Y, int64_t ldy) {
  __m512 acc[R];
  for (int t = 0; t < R; ++t) acc[t] = _mm512_setzero_ps();
  int32_t c = 0;
  for (; c + 16 <= K; c += 16) {
    const __m512 wv = _mm512_loadu_ps(w + c);
    for (int t = 0; t < R; ++t) acc[t] = _mm512_fmadd_ps(_mm512_loadu_ps(X + t * ldx + c), wv, acc[t]);
  }
  for (int t = 0; t < R; ++t) {
    const float* x = X + t * ldx;
    float s = 0.0f;
    if (K >= 16) {
      const __m512 a = acc[t];
      s = sum_pairwise(_mm_add_ps(_mm_add_ps(_mm512_castps512_ps128(a), _mm512_extractf32x4_ps(a, 1)),
                                  _mm_add_ps(_mm512_extractf32x4_ps(a, 2), _mm512_extractf32x4_ps(a, 3))));
    }
    int32_t k = c;
    if (K - k >= 4) {
      __m128 T = _mm_set_ss(s);
      for (; k + 4 <= K; k += 4) T = _mm_fmadd_ps(_mm_loadu_ps(x + k), _mm_loadu_ps(w + k), T);
      s = sum_pairwise(T);
    }
    for (; k < K; ++k) s = std::fmaf(x[k], w[k], s);
    Y[t * ldy] = s;
  }
}

// Every input row against one expanded (or in-place f32) weight row, four rows at a time.
OLVU_AVX512 void dot_all_rows(const MatJob* job, const float* w, int32_t o) {
  const int32_t M = job->M, K = job->K;
  const int64_t N = job->N;
  int32_t r = 0;
  for (; r + 4 <= M; r += 4) dot_d<4>(job->X + static_cast<int64_t>(r) * K, K, w, K, job->Y + r * N + o, N);
  for (; r < M; ++r) dot_d<1>(job->X + static_cast<int64_t>(r) * K, K, w, K, job->Y + r * N + o, N);
}

void store_zero_column(const MatJob* job, int32_t o) {
  for (int32_t r = 0; r < job->M; ++r) job->Y[static_cast<int64_t>(r) * job->N + o] = 0.0f;
}

OLVU_AVX512 void mm_q8(void* ctx, int32_t start, int32_t end) {
  const MatJob* job = static_cast<const MatJob*>(ctx);
  const int32_t K = job->K;
  alignas(64) float buf[MAX_IN_DIM];
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  const int64_t row_bytes = static_cast<int64_t>(K / 32) * Q8_BLOCK_BYTES;
  for (int32_t o = start; o < end; ++o) {
    if (K <= 0) {
      store_zero_column(job, o);
      continue;
    }
    expand_q8_row(base + o * row_bytes, K, buf);
    dot_all_rows(job, buf, o);
  }
}

OLVU_AVX512 void mm_f16(void* ctx, int32_t start, int32_t end) {
  const MatJob* job = static_cast<const MatJob*>(ctx);
  const int32_t K = job->K;
  alignas(64) float buf[MAX_IN_DIM];
  const uint8_t* base = static_cast<const uint8_t*>(job->weights);
  for (int32_t o = start; o < end; ++o) {
    if (K <= 0) {
      store_zero_column(job, o);
      continue;
    }
    expand_f16_run(base + 2 * static_cast<int64_t>(o) * K, K, buf);
    dot_all_rows(job, buf, o);
  }
}

OLVU_AVX512 void mm_f32(void* ctx, int32_t start, int32_t end) {
  const MatJob* job = static_cast<const MatJob*>(ctx);
  const int32_t M = job->M, K = job->K;
  const int64_t N = job->N;
  if (M < 1) return;
  const float* base = static_cast<const float*>(job->weights);
  for (int32_t o = start; o < end; ++o) {
    if (K <= 0) {
      store_zero_column(job, o);
      continue;
    }
    const float* w = base + static_cast<int64_t>(o) * K;
    if (K <= 3) {
      for (int32_t r = 0; r < M; ++r) {
        const float* x = job->X + static_cast<int64_t>(r) * K;
        float y = x[0] * w[0];
        if (K >= 2) y = std::fmaf(x[1], w[1], y);
        if (K == 3) y = std::fmaf(x[2], w[2], y);
        job->Y[r * N + o] = y;
      }
    } else {
      dot_all_rows(job, w, o);
    }
  }
}

OLVU_AVX512 void expand_q8(const uint8_t* data, int64_t rows, int32_t K, float* dst) {
  const int64_t row_bytes = static_cast<int64_t>(K / 32) * Q8_BLOCK_BYTES;
  for (int64_t o = 0; o < rows; ++o) expand_q8_row(data + o * row_bytes, K, dst + o * K);
}

OLVU_AVX512 void expand_f16(const uint16_t* data, int64_t n, float* dst) {
  expand_f16_run(reinterpret_cast<const uint8_t*>(data), n, dst);
}

const detail::MmKernels kAvx512 = {mm_q8, mm_f16, mm_f32, expand_q8, expand_f16};

}  // namespace

namespace detail {
const MmKernels* mm_kernels_avx512() { return &kAvx512; }
}  // namespace detail

#else

namespace detail {
const MmKernels* mm_kernels_avx512() { return nullptr; }
}  // namespace detail

#endif
