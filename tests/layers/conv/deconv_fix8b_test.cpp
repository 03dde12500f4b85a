// 8-bit deconvolution of 4N tensors: the slice plan by a table, the layer
// bit-exact against the integer reference on every schedule with the race
// checker (both weight layouts, output padding, dilation, groups, slices of
// rows, batch groups and output channels), and the refusals.
#include "layers/conv/deconv_fix8b.h"

#include <gtest/gtest.h>

#include <string>

#include "chip/engines/gdma/fields.h"
#include "conv_fix_rig.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Conv;

TEST(DeconvFix8bPlan, Table) {
  deconv_fix8b_plan_t p;
  // Small: everything in one slice.
  deconv_fix8b_plan_of(&p, 8, 6, 6, 8, 1, 3, 3, 1, 1, 1, 1, 1, 1, 2, 2, 1, 1, 1);
  EXPECT_EQ(p.oh, 5 * 2 + 3 - 2 + 1);
  EXPECT_EQ(p.pt, 1);
  EXPECT_EQ(p.oc_slice, 8);
  EXPECT_EQ(p.ih_slice, 6);
  EXPECT_EQ(p.oh_slice, 11);  // (6 - 1) x 2 + 2 x 1 - 3 + 2
  EXPECT_EQ(p.bias_area, 128u);
  // 200 channels of 3x3 weights over 4 lane rows: 14 KB, one bank; a 100 x 100
  // plane of 72 channels (two lane rows) needs 80 KB: rows in two slices.
  deconv_fix8b_plan_of(&p, 72, 100, 100, 200, 1, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0);
  EXPECT_EQ(p.oc_slice, 200);
  EXPECT_EQ(p.ih_slice, 50);
  // Weights of 1000 channels of 5x5 from 256 inputs over 16 lane rows: 100 KB,
  // two sections of 8 lane rows.
  deconv_fix8b_plan_of(&p, 256, 4, 4, 1000, 1, 5, 5, 1, 1, 2, 2, 2, 2, 1, 1, 0, 0, 0);
  EXPECT_EQ(p.oc_slice, 512);
}

struct Case {
  const char *what;
  Conv p;  // pads: the deconvolution's
  int out_pad_h, out_pad_w, layout;
};

Conv D(int n, int ic, int h, int w, int oc, int k, int stride, int pad) {
  Conv p;
  p.n = n, p.ic = ic, p.h = h, p.w = w, p.oc = oc, p.kh = p.kw = k, p.stride_h = p.stride_w = stride;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad;
  return p;
}

void run_case(const Case &k, const std::vector<Sched> &scheds) {
  const Conv &p = k.p;
  const std::vector<u8> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic + p.oc, p.in_sign ? 256 : 200);
  const std::vector<u8> wt = small_weights(size_t(p.ic) * (p.oc / p.groups) * p.kh * p.kw, p.kh + p.oc, 16);
  const std::vector<u16> bias = biases(p.oc, p.ic);
  const std::vector<u8> want = ref::conv_fix::deconv8(p, k.out_pad_h, k.out_pad_w, in, wt, bias);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    put<u8>(rig, kWeight, k.layout ? ref::conv_fix::deconv_layout1(p, wt) : wt);
    put<u8>(rig, kBias, bytes_of(bias));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_deconv_fix8b_forward_parallel(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.oc, p.groups, p.kh,
                                             p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h,
                                             p.stride_w, k.out_pad_h, k.out_pad_w, p.bias_mode != 0, p.relu, p.rshift,
                                             k.layout, p.in_sign, p.w_sign, p.b_sign, node);
    }));
    // The bytes of padding items (beyond n in the last group) are not results.
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    const size_t group_bytes = want.size() / size_t(p.groups4());
    size_t bad = 0;
    while (bad < got.size() &&
           (got[bad] == want[bad] || int(bad / group_bytes) * 4 + int(bad % 4) >= p.n))
      bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

TEST(DeconvFix8b, AgainstReference) {
  Conv a = D(6, 5, 5, 6, 7, 3, 2, 1);  // six items: groups of 4 and 2
  a.bias_mode = 1, a.b_sign = a.in_sign = a.w_sign = true, a.rshift = 3;
  Conv b = D(4, 8, 4, 5, 6, 4, 2, 1);
  b.groups = 2, b.w_sign = true, b.rshift = 2, b.relu = true;
  Conv c = D(3, 6, 5, 4, 5, 3, 1, 0);
  c.dh = c.dw = 2, c.pad_t = c.pad_b = 1, c.in_sign = c.w_sign = true, c.rshift = 4;
  const Case cases[] = {
      {"3x3 stride 2, output padding 1 x 1, layout 0", a, 1, 1, 0},
      {"4x4 stride 2, two groups, layout 1, ReLU", b, 0, 0, 1},
      {"dilated 3x3 stride 1, output padding on the columns only", c, 0, 2, 0},
  };
  for (const Case &k : cases) run_case(k, all_schedules());
}

TEST(DeconvFix8b, Slices) {
  Conv p = D(4, 72, 100, 100, 20, 3, 1, 1);  // input rows in slices
  p.w_sign = true, p.rshift = 5, p.bias_mode = 1;
  run_case({"a 100 x 100 plane of 72 channels", p, 0, 0, 1}, {deferred(13)});
}

TEST(DeconvFix8b, OneInputLoadForEveryOutputChannelSlice) {
  // 1088 output channels of 32 x 64: the output takes output-channel slices
  // of 512, 512 and 64, each one slice of all rows and items.
  Conv p = D(4, 1, 16, 32, 1088, 2, 2, 0);
  p.bias_mode = 1, p.b_sign = p.w_sign = true, p.rshift = 3;
  deconv_fix8b_plan_t plan;
  deconv_fix8b_plan_of(&plan, p.ic, p.h, p.w, p.oc, 1, 2, 2, 1, 1, 0, 0, 0, 0, 2, 2, 0, 0, 1);
  ASSERT_EQ(plan.oc_slice, 512);
  ASSERT_EQ(plan.oh_slice, 32);
  run_case({"three output-channel slices of one slice each", p, 0, 0, 1}, {deferred(5)});
  LayerRunner rig(deferred(5));
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_deconv_fix8b_forward_parallel(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.oc, 1, 2, 2, 1, 1, 0, 0,
                                           0, 0, 2, 2, 0, 0, 1, 0, 3, 1, 0, 1, 1, node);
  }));
  const u64 in_end = kIn + 4ull * u64(p.ic) * u64(p.h) * u64(p.w);
  int input_loads = 0;
  for (const auto &c : rig.chip().engines.gdma.commands()) {
    namespace f = chip::gdma::field;
    const u64 src = u64(c.descriptor.get(f::kSrcAddrHigh)) << 32 | c.descriptor.get(f::kSrcAddrLow);
    input_loads += src >= kIn && src < in_end;
  }
  EXPECT_EQ(input_loads, 1);
}

TEST(DeconvFix8b, Refusals) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_deconv_fix8b_forward_parallel";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_deconv_fix8b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 4, 4, 4, 4, 1, 3, 3, 1, 1, 1, 1, 1, 1, 0, 1,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "kh > 0 && kw > 0 && dh > 0 && dw > 0 && stride_h > 0 && stride_w > 0");
}

}  // namespace
}  // namespace zv::test::conv_fix
