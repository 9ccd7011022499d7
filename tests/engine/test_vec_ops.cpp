// The fixed-order helpers: every vector form gives the scalar forms' bits for
// every length around the lane and block sizes, the dispatch runs the vector
// form the processor has, and the scalar forms sum in the documented order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/vec_ops.h"

namespace {

using namespace vec_detail;

std::vector<float> random_vec(std::mt19937& g, size_t n, float a = 2.0f) {
  std::uniform_real_distribution<float> u(-a, a);
  std::vector<float> v(n);
  for (float& x : v) x = u(g);
  return v;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 4) == 0);
}

const int32_t kLengths[] = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 128, 129, 256, 300};

// One instruction set's forms of every helper.
struct Forms {
  Isa isa;
  decltype(&vdot_scalar) dot;
  decltype(&vdot_rows_scalar) dot_rows;
  decltype(&vweighted_rows_scalar) weighted_rows;
  decltype(&vdot_rows_multi_scalar) dot_rows_multi;
  decltype(&vweighted_rows_multi_scalar) weighted_rows_multi;
  decltype(&vnorm_scale_scalar) norm_scale;
  decltype(&vdelta_decay_read_scalar) decay_read;
  decltype(&vdelta_update_read_scalar) update_read;
  decltype(&vdelta_update_read_next_scalar) update_read_next;
};

const Forms kScalar = {Isa::Scalar,           vdot_scalar,          vdot_rows_scalar,
                       vweighted_rows_scalar, vdot_rows_multi_scalar, vweighted_rows_multi_scalar,
                       vnorm_scale_scalar,    vdelta_decay_read_scalar, vdelta_update_read_scalar,
                       vdelta_update_read_next_scalar};

// The vector forms this processor can run.
std::vector<Forms> vector_forms() {
  std::vector<Forms> out;
#if defined(__x86_64__)
  if (have_avx2())
    out.push_back({Isa::Avx2, vdot_avx2, vdot_rows_avx2, vweighted_rows_avx2, vdot_rows_multi_avx2,
                   vweighted_rows_multi_avx2, vnorm_scale_avx2, vdelta_decay_read_avx2,
                   vdelta_update_read_avx2, vdelta_update_read_next_avx2});
#elif defined(__aarch64__)
  out.push_back({Isa::Neon, vdot_neon, vdot_rows_neon, vweighted_rows_neon, vdot_rows_multi_neon,
                 vweighted_rows_multi_neon, vnorm_scale_neon, vdelta_decay_read_neon,
                 vdelta_update_read_neon, vdelta_update_read_next_neon});
#endif
  return out;
}

TEST(VecOps, DotSumsLanesThenTailInOrder) {
  // Lane l of the 8-lane body takes elements l and 8 + l; the tail is fused in order.
  std::vector<float> a(19), b(19, 1.0f);
  for (int i = 0; i < 19; ++i) a[i] = std::ldexp(1.0f, i % 5) + static_cast<float>(i) * 0.1f;
  float l[8];
  for (int i = 0; i < 8; ++i) l[i] = std::fmaf(a[8 + i], 1.0f, std::fmaf(a[i], 1.0f, 0.0f));
  float s = ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]));
  for (int k = 16; k < 19; ++k) s = std::fmaf(a[k], b[k], s);
  EXPECT_EQ(vdot_scalar(a.data(), b.data(), 19), s);
  EXPECT_EQ(vdot_scalar(a.data(), b.data(), 0), 0.0f);
}

TEST(VecOps, TheDispatchRunsTheVectorFormOfTheProcessor) {
  const auto forms = vector_forms();
  EXPECT_EQ(vec_isa(), forms.empty() ? Isa::Scalar : forms.front().isa);
#if defined(__aarch64__)
  EXPECT_EQ(vec_isa(), Isa::Neon);
#endif
}

TEST(VecOps, VectorFormsGiveTheScalarBits) {
  const auto forms = vector_forms();
  if (forms.empty()) GTEST_SKIP() << "no vector form on this processor";
  for (const Forms& f : forms) {
    SCOPED_TRACE(isa_name(f.isa));
    std::mt19937 g(3);
    for (int32_t d : kLengths) {
      const auto a = random_vec(g, d + 1), b = random_vec(g, d + 1);
      float x = kScalar.dot(a.data(), b.data(), d), y = f.dot(a.data(), b.data(), d);
      ASSERT_EQ(std::memcmp(&x, &y, 4), 0) << "dot " << d;

      for (int32_t n_rows : {1, 3, 4, 5, 9, 130}) {
        const int64_t stride = d + 3;
        const auto rows = random_vec(g, n_rows * stride + 1);
        std::vector<float> o1(n_rows), o2(n_rows);
        kScalar.dot_rows(a.data(), rows.data(), stride, n_rows, d, 0.0625f, o1.data());
        f.dot_rows(a.data(), rows.data(), stride, n_rows, d, 0.0625f, o2.data());
        ASSERT_TRUE(same_bits(o1, o2)) << "dot_rows " << d << " x " << n_rows;

        // Several queries at once give each query's single-query bits.
        for (int32_t nq : {1, 3, 4, 6}) {
          std::vector<std::vector<float>> qs, ws, single(nq), multi(nq), wsingle(nq), wmulti(nq);
          std::vector<const float*> qp, wp;
          std::vector<float*> mp, wmp;
          for (int32_t i = 0; i < nq; ++i) {
            qs.push_back(random_vec(g, d + 1));
            ws.push_back(random_vec(g, n_rows));
            single[i].resize(n_rows);
            multi[i].assign(n_rows, 9.0f);
            wsingle[i].resize(d);
            wmulti[i].assign(d, 9.0f);
            kScalar.dot_rows(qs[i].data(), rows.data(), stride, n_rows, d, 0.125f, single[i].data());
            kScalar.weighted_rows(ws[i].data(), rows.data(), stride, n_rows, d, wsingle[i].data());
          }
          for (int32_t i = 0; i < nq; ++i) {
            qp.push_back(qs[i].data());
            wp.push_back(ws[i].data());
            mp.push_back(multi[i].data());
            wmp.push_back(wmulti[i].data());
          }
          f.dot_rows_multi(qp.data(), nq, rows.data(), stride, n_rows, d, 0.125f, mp.data());
          f.weighted_rows_multi(wp.data(), nq, rows.data(), stride, n_rows, d, wmp.data());
          for (int32_t i = 0; i < nq; ++i) {
            ASSERT_TRUE(same_bits(single[i], multi[i])) << "dot_rows_multi " << d << " nq " << nq;
            ASSERT_TRUE(same_bits(wsingle[i], wmulti[i])) << "weighted_multi " << d << " nq " << nq;
          }
        }

        const auto w = random_vec(g, n_rows);
        std::vector<float> p1(d), p2(d, 7.0f);
        kScalar.weighted_rows(w.data(), rows.data(), stride, n_rows, d, p1.data());
        f.weighted_rows(w.data(), rows.data(), stride, n_rows, d, p2.data());
        ASSERT_TRUE(same_bits(p1, p2)) << "weighted_rows " << d << " x " << n_rows;
      }

      // Norm weights are tensor data at any byte offset.
      std::vector<float> wbuf(d + 1);
      const auto w = random_vec(g, d);
      float* wp = reinterpret_cast<float*>(reinterpret_cast<char*>(wbuf.data()) + 1);
      if (d > 0) std::memcpy(wp, w.data(), sizeof(float) * d);
      std::vector<float> y1(d), y2(d);
      kScalar.norm_scale(a.data(), wp, 0.37f, y1.data(), d);
      f.norm_scale(a.data(), wp, 0.37f, y2.data(), d);
      ASSERT_TRUE(same_bits(y1, y2)) << "norm_scale " << d;

      for (int32_t rows : {1, 5, 16}) {
        auto S1 = random_vec(g, static_cast<size_t>(rows) * d);
        auto S2 = S1;
        const auto k = random_vec(g, rows), q = random_vec(g, rows), delta = random_vec(g, d);
        std::vector<float> acc1(d), acc2(d), o1(d), o2(d);
        kScalar.decay_read(S1.data(), rows, d, 0.93f, k.data(), acc1.data());
        f.decay_read(S2.data(), rows, d, 0.93f, k.data(), acc2.data());
        ASSERT_TRUE(same_bits(S1, S2) && same_bits(acc1, acc2)) << "decay " << rows << "x" << d;
        kScalar.update_read(S1.data(), rows, d, k.data(), delta.data(), q.data(), o1.data());
        f.update_read(S2.data(), rows, d, k.data(), delta.data(), q.data(), o2.data());
        ASSERT_TRUE(same_bits(S1, S2) && same_bits(o1, o2)) << "update " << rows << "x" << d;

        // The one-pass step gives the bits of the update and the next decay
        // done in turn, in every form.
        const auto k2 = random_vec(g, rows), q2 = random_vec(g, rows), kn = random_vec(g, rows);
        const auto delta2 = random_vec(g, d);
        auto S3 = S1;
        std::vector<float> o3(d), an3(d), an1(d, 5.0f), an2(d, 5.0f);
        kScalar.update_read(S3.data(), rows, d, k2.data(), delta2.data(), q2.data(), o3.data());
        kScalar.decay_read(S3.data(), rows, d, 0.81f, kn.data(), an3.data());
        kScalar.update_read_next(S1.data(), rows, d, k2.data(), delta2.data(), q2.data(), o1.data(), 0.81f,
                                 kn.data(), an1.data());
        f.update_read_next(S2.data(), rows, d, k2.data(), delta2.data(), q2.data(), o2.data(), 0.81f, kn.data(),
                           an2.data());
        ASSERT_TRUE(same_bits(S3, S1) && same_bits(o3, o1) && same_bits(an3, an1)) << "next " << rows << "x" << d;
        ASSERT_TRUE(same_bits(S3, S2) && same_bits(o3, o2) && same_bits(an3, an2)) << "next " << rows << "x" << d;
      }
    }
  }
}

}  // namespace
