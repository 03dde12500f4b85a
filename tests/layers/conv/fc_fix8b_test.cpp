// 8-bit fully connected layer: the slice plan by a table, the pipeline
// bit-exact against the integer reference on every schedule with the race
// checker (K, M and N cut, 1N and 4N storage, 16-bit results), and the
// refused combinations.
#include "layers/conv/fc_fix8b.h"

#include <gtest/gtest.h>

#include <string>

#include "cmd/local_areas.h"
#include "conv_fix_rig.h"
#include "ref/fc_fix8b_ref.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Fc;

TEST(FcFix8bPlan, Table) {
  struct {
    const char *what;
    int M, K, N, bias, res16, rshift;
    int in_slice, batch, out_size, s_inter;
  } cases[] = {
      {"K within one section", 300, 1024, 100, 0, 0, 7, 1024, 300, 1, 0},
      {"K = 1025: sections of 1024 and 1, 16-bit partial sums", 10, 1025, 100, 0, 0, 10, 1024, 10, 2, 2},
      {"M = 600 with a 16-bit bias: 510 rows rounded to 508", 600, 64, 100, 1, 0, 0, 64, 508, 1, 0},
      {"16-bit results halve the rows", 600, 64, 100, 0, 1, 3, 64, 256, 2, 0},
  };
  for (const auto &k : cases) {
    fc_fix8b_plan_t p;
    fc_fix8b_data_split(&p, k.M, k.K, k.N, k.bias, 0, k.res16, 0, k.rshift, 0, 0);
    EXPECT_EQ(p.input_neuron_slice, k.in_slice) << k.what;
    EXPECT_EQ(p.batch_slice, k.batch) << k.what;
    EXPECT_EQ(p.output_size, k.out_size) << k.what;
    EXPECT_EQ(p.rshift_inter, k.s_inter) << k.what;
    EXPECT_TRUE(local_areas_valid(p.areas, FC_FIX8B_AREA_COUNT)) << k.what;
  }
}

TEST(FcFix8bPlan, FloatForm) {
  // The float form: 64 KB weight buffers (K sections of 512), blocks of at
  // most 128 rows in two float areas of their own, and the weight-offset
  // block apart from both; the shift of the partial sums counts the
  // weight-offset products.
  struct {
    const char *what;
    int M, K, N, bias, bias32, rshift, use_offsets, weight_offset;
    int in_slice, batch, s_inter;
  } cases[] = {
      {"one K section: 600 rows in blocks of 128", 600, 300, 100, 1, 1, 6, 0, 0, 300, 128, 6},
      {"K = 1100: three sections, two shifts to undo", 10, 1100, 70, 1, 0, 10, 0, 0, 512, 10, 8},
      {"K = 1100 with the weight-offset pass: five", 10, 1100, 70, 0, 0, 10, 1, -3, 512, 10, 7},
      {"wide output: 16-bit bias of two lane rows", 300, 64, 10000, 1, 0, 3, 1, 200, 64, 128, 2},
  };
  for (const auto &k : cases) {
    fc_fix8b_plan_t p;
    fc_fix8b_data_split(&p, k.M, k.K, k.N, k.bias, k.bias32, 0, 1, k.rshift, k.use_offsets, k.weight_offset);
    EXPECT_EQ(p.input_neuron_slice, k.in_slice) << k.what;
    EXPECT_EQ(p.batch_slice, k.batch) << k.what;
    EXPECT_EQ(p.output_size, 2) << k.what;
    EXPECT_EQ(p.rshift_inter, k.s_inter) << k.what;
    EXPECT_EQ(p.weight[1], 0x30000u) << k.what;
    // The float areas hold a block each and share no byte with each other,
    // the output buffers or the weight-offset block.
    EXPECT_EQ(p.areas[7].bytes, u32(k.batch) * 512u) << k.what;
    EXPECT_NE(p.areas[7].offset, p.areas[8].offset) << k.what;
    EXPECT_EQ(p.areas[9].bytes, k.use_offsets && k.weight_offset ? u32(k.in_slice) * 128u : 0u) << k.what;
    EXPECT_TRUE(local_areas_valid(p.areas, FC_FIX8B_AREA_COUNT)) << k.what;
  }
}

Fc F(int M, int K, int N, int rshift) {
  Fc p;
  p.M = M, p.K = K, p.N = N, p.rshift = rshift, p.in_sign = p.w_sign = true;
  p.s_inter = rshift > 8 ? rshift - 8 : 0;
  return p;
}

void run_fc(const char *what, const Fc &p, const std::vector<Sched> &scheds) {
  const size_t xrows = p.in4n ? size_t((p.M + 3) / 4) * 4 : size_t(p.M);
  const size_t wrows = p.w4n ? size_t((p.K + 3) / 4) * 4 : size_t(p.K);
  const std::vector<u8> x = pattern(xrows * p.K, p.K + p.N, p.in_sign ? 256 : 200);
  const std::vector<u8> w = small_weights(wrows * p.N, p.M, 32);
  const std::vector<u16> bias = biases(p.N, p.K);
  const std::vector<u8> want = ref::conv_fix::fc8(p, x, w, bias);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, x);
    put<u8>(rig, kWeight, w);
    put<u8>(rig, kBias, bytes_of(bias));
    const fc_fix8b_quant_t q = {};
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, p.M, p.K, p.N, p.transpose, p.bias, p.in_sign,
                                         p.w_sign, p.b_sign, p.rshift, p.res16, p.relu, p.in4n, p.w4n, p.out4n, 0, &q,
                                         node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == want[bad]) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

TEST(FcFix8b, AgainstReference) {
  Fc a = F(5, 300, 200, 7);
  a.bias = a.b_sign = true;
  Fc b = F(6, 1025, 70, 10);  // two K sections: the 8-bit result is narrowed from 16 bits
  b.bias = true, b.relu = true;
  Fc c = F(4, 200, 50, 6);
  c.transpose = true, c.in_sign = false;
  Fc d = F(7, 33, 20, 5);
  d.in4n = d.w4n = d.out4n = true, d.bias = true;
  Fc e = F(9, 2100, 40, 12);  // three K sections, 16-bit result
  e.res16 = true, e.bias = true, e.b_sign = true;
  e.s_inter = 4;
  const struct {
    const char *what;
    Fc p;
  } cases[] = {
      {"one K section, signed bias", a},
      {"K = 1025 with bias and ReLU", b},
      {"transposed weights, unsigned input", c},
      {"4N input, weights and output, seven rows", d},
      {"three K sections, 16-bit result", e},
  };
  for (const auto &k : cases) run_fc(k.what, k.p, all_schedules());
}

TEST(FcFix8b, RectifiedResultsUseTheUnsignedRange) {
  // Signed operands with ReLU: results from 128 to 255 stay (they saturated
  // at 127 when the rectified result was kept signed), in one K section and
  // when narrowed from 16 bits after two.
  for (int K : {64, 1030}) {
    Fc p = F(5, K, 24, K > 1024 ? 9 : 2);
    p.relu = true, p.bias = true;
    const std::vector<u8> want = ref::conv_fix::fc8(p, pattern(size_t(p.M) * K, K + p.N, 256),
                                                    small_weights(size_t(K) * p.N, p.M, 32), biases(p.N, K));
    int above = 0;
    for (u8 v : want) above += v > 127 && v < 255;
    ASSERT_GT(above, 0) << "the fixture has no result between 128 and 254";
    run_fc(K > 1024 ? "two K sections, ReLU" : "one K section, ReLU", p, {deferred(3)});
  }
}

TEST(FcFix8b, RowAndColumnCuts) {
  Fc m = F(600, 64, 130, 6);  // slices of 508 and 92 rows
  m.bias = true, m.in4n = m.out4n = true;
  Fc n = F(3, 40, 10000, 4);  // n chunks of 8192 and 1808; the second chunk's bias at byte 256
  n.bias = true, n.b_sign = true, n.res16 = true;
  run_fc("M = 600 in 4N with a bias", m, {deferred(11)});
  run_fc("N = 10000 with a bias, 16-bit result", n, {deferred(12)});
}

using ref::fc_fix8b::FloatQuant;

// A float-form case: the section (512) and the shift of the partial sums
// come from the case, as the plan gives them.
Fc FF(int M, int K, int N, int rshift, bool pass) {
  Fc p = F(M, K, N, rshift);
  p.k_section = 512;
  const int nks = (K + 511) / 512, d = pass ? 2 * nks - 1 : nks - 1;
  int bits = 0;
  while ((d >> bits) != 0) bits++;
  p.s_inter = rshift > bits ? rshift - bits : 0;
  return p;
}

std::vector<float> float_biases(int n, int salt) {
  std::vector<float> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[size_t(i)] = float(((i * 613 + salt * 97) % 801) - 400) * 0.375f;
  return v;
}

void run_fc_float(const char *what, const Fc &p, const FloatQuant &fq, const std::vector<Sched> &scheds) {
  const size_t xrows = p.in4n ? size_t((p.M + 3) / 4) * 4 : size_t(p.M);
  const size_t wrows = p.w4n ? size_t((p.K + 3) / 4) * 4 : size_t(p.K);
  const std::vector<u8> x = pattern(xrows * p.K, p.K + p.N);
  const std::vector<u8> w = small_weights(wrows * p.N, p.M, 32);
  const std::vector<u16> b16 = biases(p.N, p.K);
  const std::vector<float> bf = float_biases(p.N, p.K);
  const std::vector<u8> want = ref::fc_fix8b::fc8_float(p, fq, x, w, b16, bf);
  // The fixture reaches both ends of the int8 range and values between.
  int low = 0, high = 0, mid = 0;
  for (u8 v : want) (v == 0 || v == 0x80 ? low : v == 0x7f || v == 0xff ? high : mid)++;
  ASSERT_GT(mid, int(want.size() / 8)) << what << ": the fixture saturates nearly everything";
  ASSERT_GT(low + high, 0) << what << ": the fixture never reaches the ends of the range";
  std::vector<u8> bias_bytes(fq.bias32 ? bf.size() * 4 : b16.size() * 2);
  std::memcpy(bias_bytes.data(), fq.bias32 ? static_cast<const void *>(bf.data()) : b16.data(), bias_bytes.size());
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, x);
    put<u8>(rig, kWeight, w);
    put<u8>(rig, kBias, bias_bytes);
    fc_fix8b_quant_t q = {};
    std::memcpy(&q.output_scale, &fq.scale, 4);
    q.use_offsets = fq.use_offsets, q.weight_offset = fq.weight_offset, q.output_offset = fq.output_offset;
    q.bias_32bit = fq.bias32;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, p.M, p.K, p.N, p.transpose, p.bias, p.in_sign,
                                         p.w_sign, p.b_sign, p.rshift, 0, p.relu, p.in4n, p.w4n, p.out4n, 1, &q, node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == want[bad]) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

TEST(FcFix8bFloat, AgainstReference) {
  // Unsigned input re-centred, float bias, weight-offset pass, output offset.
  Fc a = FF(5, 300, 200, 6, true);
  a.in_sign = false, a.bias = true;
  const FloatQuant qa = {0.25f, true, 3, -7, true};
  // Three K sections with their shifts, 16-bit signed bias, ReLU (0..255).
  Fc b = FF(6, 1100, 70, 9, false);
  b.bias = b.b_sign = true, b.relu = true;
  const FloatQuant qb = {12.0f, false, 0, 0, false};
  // Three K sections and the weight-offset pass after each (unsigned offset).
  Fc c = FF(4, 1100, 40, 11, true);
  c.in_sign = false, c.w_sign = false;
  const FloatQuant qc = {1.0f, true, 200, 12, false};
  // 4N input, weights and output, seven rows, negative weight offset.
  Fc d = FF(7, 33, 20, 2, true);
  d.in4n = d.w4n = d.out4n = true, d.bias = true;
  const FloatQuant qd = {0.18f, true, -5, 0, true};
  // Transposed weights, signed input, no offsets.
  Fc e = FF(3, 200, 130, 4, false);
  e.transpose = true;
  const FloatQuant qe = {-0.3f, false, 0, 0, false};
  const struct {
    const char *what;
    Fc p;
    FloatQuant q;
  } cases[] = {
      {"one K section, unsigned input, float bias, both offsets", a, qa},
      {"K = 1100 in three sections, 16-bit bias, ReLU", b, qb},
      {"three K sections each with the weight-offset pass", c, qc},
      {"4N input, weights and output, seven rows", d, qd},
      {"transposed weights, negative scale, columns past one section", e, qe},
  };
  for (const auto &k : cases) run_fc_float(k.what, k.p, k.q, all_schedules());
}

TEST(FcFix8bFloat, BlocksInEveryStepAlternateTheirFloatAreas) {
  // K uncut and M cut: a block completes in every step, so each step's store
  // reads one float area while the conversion of the next block writes the
  // other (one shared area is a race the checker reports). 300 rows in blocks
  // of 128; N = 130 also cuts a section; 1N and 4N results; the weight-offset
  // block lies apart from both areas.
  Fc m = FF(300, 96, 130, 5, true);
  m.in_sign = false, m.bias = true;
  const FloatQuant q = {0.11f, true, -2, 3, true};
  Fc m4 = m;
  m4.in4n = m4.out4n = true;
  run_fc_float("300 rows, 1N", m, q, all_schedules());
  run_fc_float("300 rows, 4N", m4, q, deferred_schedules());
  // N = 10000: two n chunks; the second chunk's float bias lies 512 bytes in.
  Fc n = FF(3, 40, 10000, 3, false);
  n.bias = true;
  run_fc_float("N = 10000 with a float bias", n, {0.09f, false, 0, 0, true}, {deferred(12)});
}

TEST(FcFix8b, RefusedCombinations) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_fc_fix8b_forward_parallel";
  expect_assert([](cmd_id_node_t *node) {
    const fc_fix8b_quant_t q = {};
    nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, 4, 8, 8, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, &q,
                                       node);
  }, "ASSERT_FS", where, fn, "!(transpose && weight_4N && input_4N)");
  expect_assert([](cmd_id_node_t *node) {
    const fc_fix8b_quant_t q = {0, 1, 3, 0, 0};
    nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, 4, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, &q,
                                       node);
  }, "ASSERT_FS", where, fn, "!(q.use_offsets && q.weight_offset != 0 && use_float_scale == 0)");
  expect_assert([](cmd_id_node_t *node) {
    const fc_fix8b_quant_t q = {0, 0, 0, 0, 1};
    nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, 4, 8, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, &q,
                                       node);
  }, "ASSERT_FS", where, fn, "!(have_bias && q.bias_32bit && use_float_scale == 0)");
  expect_assert([](cmd_id_node_t *node) {
    const fc_fix8b_quant_t q = {0x3f800000u, 0, 0, 0, 0};
    nodechip_fc_fix8b_forward_parallel(kIn, kWeight, kBias, kOut, 4, 8, 8, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, &q,
                                       node);
  }, "ASSERT_FS", where, fn, "res_16b == 0");
}

}  // namespace
}  // namespace zv::test::conv_fix
