// 16-bit output convolution of 4N int8 tensors: the layout by a table, the
// worker bit-exact against the integer reference on every schedule with the
// race checker (column pieces, row and batch sections, groups, pair blocks of
// odd batches), the wrapper's split, and the refusals.
#include "layers/conv/conv_fix16b.h"

#include <gtest/gtest.h>

#include <string>

#include "cmd/local_areas.h"
#include "conv_fix_rig.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Conv;

TEST(ConvFix16bPlan, Layout) {
  conv_fix16b_plan_t p;
  // 3x3 over 20 x 17, two row sections: 10 output rows per slice read 12 rows.
  const u32 end = conv_fix16b_plan_of(&p, 8, 6, 20, 17, 1, 40, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2);
  EXPECT_EQ(p.ohs, 10);
  EXPECT_EQ(p.ihs, 12);
  EXPECT_EQ(p.rec, 8u * 9);
  EXPECT_EQ(p.bias, 72u);
  EXPECT_EQ(p.group_out, 128u * 10);
  EXPECT_EQ(p.in[0], 0x10000u);
  EXPECT_LE(end, 1u << 19);
  EXPECT_TRUE(local_areas_valid(p.areas, CONV_FIX16B_AREA_COUNT));
}

struct Case {
  const char *what;
  Conv p;
  int layout, hsecs, nsecs;  // hsecs 0: the wrapper plans
};

Conv C(int n, int ic, int h, int w, int oc, int k, int stride, int pad) {
  Conv p;
  p.n = n, p.ic = ic, p.h = h, p.w = w, p.oc = oc, p.kh = p.kw = k, p.stride_h = p.stride_w = stride;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad;
  return p;
}

void run_case(const Case &k, const std::vector<Sched> &scheds) {
  const Conv &p = k.p;
  const std::vector<u8> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic + p.oc, p.in_sign ? 256 : 200);
  const std::vector<u8> wt = small_weights(size_t(p.oc) * (p.ic / p.groups) * p.kh * p.kw, p.kh + p.oc, 64);
  const std::vector<u16> bias = biases(p.oc, p.ic);
  const std::vector<u8> recs = ref::conv_fix::weight_records(p, wt, bias, k.layout);
  const std::vector<u8> want = ref::conv_fix::conv16(p, in, wt, bias);
  const int ow = p.out_w();
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    put<u8>(rig, kWeight, recs);
    put<u8>(rig, kBias, bytes_of(bias));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.hsecs == 0)
        nodechip_conv_forward_parallel_fix16b_with_data_split(
            kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.kh, p.kw, p.dh, p.dw, p.pad_t, p.pad_b,
            p.pad_l, p.pad_r, p.stride_h, p.stride_w, p.bias_mode, 0, p.relu, p.upper, k.layout, 0, p.ins_w, p.rshift,
            p.in_sign, p.w_sign, p.b_sign, 3, node);
      else
        nodechip_conv_forward_parallel_fix16b(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.kh,
                                              p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h,
                                              p.stride_w, p.bias_mode, 0, k.hsecs, k.nsecs, 1,
                                              (p.oc / p.groups + 63) / 64, (ow + 15) / 16, p.relu, p.upper, k.layout,
                                              0, p.ins_w, p.rshift, p.in_sign, p.w_sign, p.b_sign, 3, node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == want[bad]) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

TEST(ConvFix16b, WorkerAgainstReference) {
  Conv a = C(3, 5, 9, 15, 6, 3, 1, 1);  // OW 15 + pads: 17 columns in pieces of 16 and 1
  a.pad_r = 2, a.pad_l = 1, a.bias_mode = 1, a.b_sign = a.w_sign = a.in_sign = true, a.rshift = 2;
  Conv b = C(5, 8, 11, 10, 70, 3, 2, 1);  // 70 channels: sections of 64 and 6; five items: three pair blocks
  b.w_sign = true, b.bias_mode = 2, b.b_sign = true, b.rshift = 1, b.relu = true, b.upper = 900;
  Conv c = C(8, 6, 12, 9, 4, 5, 1, 2);
  c.groups = 2, c.dh = 1, c.dw = 2, c.pad_t = 3, c.pad_b = 1, c.pad_l = 4, c.pad_r = 2, c.w_sign = true;
  c.in_sign = true;
  Conv d = C(4, 3, 5, 5, 5, 3, 1, 4);
  d.bias_mode = 1, d.b_sign = d.w_sign = d.in_sign = true, d.rshift = 1;
  Conv e = d;
  e.bias_mode = 0, e.relu = true;
  Conv f = C(3, 5, 6, 7, 6, 3, 1, 1);
  f.ins_w = 2, f.stride_w = 2, f.pad_l = 2, f.bias_mode = 2, f.b_sign = f.w_sign = f.in_sign = true, f.rshift = 2;
  Conv g = C(8, 4, 5, 12, 7, 3, 1, 1);
  g.ins_w = 1, g.dw = 2, g.pad_r = 3, g.w_sign = g.in_sign = true, g.rshift = 1;
  const Case cases[] = {
      {"17 output columns, three items, row sections of 5 and 4", a, 1, 2, 1},
      {"stride 2, 70 channels, bias behind the weights, clamped ReLU, batch in two sections", b, 0, 3, 2},
      {"two groups, dilated columns, asymmetric pads", c, 1, 4, 2},
      {"pads of 4 over 5 rows, 11 row sections: four see no input row", d, 0, 11, 1},
      {"the same without bias", e, 1, 11, 1},
      {"two zero columns inserted along the width, stride 2: 10 columns", f, 0, 2, 1},
      {"one zero column inserted, dilated: 23 columns in pieces of 16 and 7", g, 1, 3, 2},
  };
  for (const Case &k : cases) run_case(k, all_schedules());
}

TEST(ConvFix16b, WrapperPlansItself) {
  Conv p = C(4, 4, 120, 120, 8, 3, 1, 1);
  p.w_sign = true, p.rshift = 3, p.bias_mode = 1;
  run_case({"3x3 over 120 x 120", p, 1, 0, 0}, {deferred(9)});
  Conv q = C(5, 3, 10, 9, 5, 3, 1, 1);
  q.ins_w = 1, q.bias_mode = 1, q.b_sign = q.in_sign = true, q.rshift = 2;
  run_case({"zero columns inserted through the wrapper", q, 1, 0, 0}, {deferred(9)});
}

TEST(ConvFix16b, Refusals) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_conv_forward_parallel_fix16b";
  // 65 channels per section do not fit one lane each.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix16b(kIn, kOut, kWeight, kBias, 4, 4, 8, 8, 1, 65, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1,
                                          0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, n);
  }, "ASSERT_FS", where, fn, "oc_per_NPU == 1");
  // Fewer pieces than 16-column blocks would leave output columns unwritten.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix16b(kIn, kOut, kWeight, kBias, 4, 4, 8, 40, 1, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1,
                                          0, 0, 1, 1, 1, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, n);
  }, "ASSERT_FS", where, fn, "wsecs == (int)ceil_div(p.ow, FIX16_PIECE_W)");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix16b(kIn, kOut, kWeight, kBias, 4, 4, 8, 8, 1, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1,
                                          0, 0, 1, 1, 2, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, n);
  }, "ASSERT_FS", where, fn, "1 == icsecs");
}

}  // namespace
}  // namespace zv::test::conv_fix
