// 8-bit and 16-bit depthwise convolution of 4N tensors: the plans by tables,
// the layers bit-exact against the integer reference on every schedule with
// the race checker (slices of more than 4095 channels; strips whose right edge
// overlaps by the kernel), and the refusals.
#include "layers/conv/depthwise_fix.h"

#include <gtest/gtest.h>

#include <string>

#include "conv_fix_rig.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Conv;

TEST(DepthwiseFix8bPlan, Table) {
  struct {
    const char *what;
    int c, h, w, k, pad, stride;
    int c_step, h_step;
    u32 end;
  } cases[] = {
      {"small plane, 32 channels: one 64-channel slice", 32, 8, 8, 3, 1, 1, 64, 8, 0x70000u + 9 * 64 * 4 + 64 * 4},
      {"8256 channels of 16 x 16: slices of 8192 channels", 8256, 16, 16, 1, 0, 1, 8192, 16, 0x80000u},
      {"a plane larger than a lane's share: rows per slice", 2, 300, 300, 3, 1, 1, 64, 105,
       0x70000u + 9 * 64 * 4 + 64 * 4},
  };
  for (const auto &k : cases) {
    dw_fix8b_plan_t p;
    dw_fix8b_plan_of(&p, k.c, k.h, k.w, k.k, k.k, k.pad, k.pad, k.pad, k.pad, k.stride, k.stride);
    EXPECT_EQ(p.c_step, k.c_step) << k.what;
    EXPECT_EQ(p.h_step, k.h_step) << k.what;
    EXPECT_EQ(p.end, k.end) << k.what;
  }
}

struct Case {
  const char *what;
  Conv p;  // groups = oc = ic
};

Conv D(int n, int c, int h, int w, int kh, int kw, int stride, int pad) {
  Conv p;
  p.n = n, p.ic = p.oc = p.groups = c, p.h = h, p.w = w, p.kh = kh, p.kw = kw, p.stride_h = p.stride_w = stride;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad;
  return p;
}

// The 8-bit and 16-bit layers take the same arguments; each is checked
// against its own reference.
using DepthwiseLayer = decltype(&nodechip_depthwise_fix8b_forward_parallel);
using DepthwiseRef = std::vector<u8> (*)(const Conv &, const std::vector<u8> &, const std::vector<u8> &,
                                         const std::vector<u16> &);

void run_layer_case(const Case &k, const std::vector<Sched> &scheds, DepthwiseLayer layer, DepthwiseRef reference) {
  const Conv &p = k.p;
  const std::vector<u8> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic, p.in_sign ? 256 : 200);
  const std::vector<u8> wt = small_weights(size_t(p.ic) * p.kh * p.kw, p.kh + 3, 64);
  const std::vector<u16> bias = biases(p.ic, 7);
  const std::vector<u8> want = reference(p, in, wt, bias);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    put<u8>(rig, kWeight, wt);
    put<u8>(rig, kBias, bytes_of(bias));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      layer(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.kh, p.kw, p.pad_t, p.pad_b, p.pad_l, p.pad_r,
            p.stride_h, p.stride_w, 0, 0, p.rshift, p.bias_mode != 0, 0, p.in_sign, p.w_sign, p.b_sign, 0, p.relu,
            node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == want[bad]) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

void run_case(const Case &k, const std::vector<Sched> &scheds) {
  run_layer_case(k, scheds, nodechip_depthwise_fix8b_forward_parallel, ref::conv_fix::conv8);
}

void run_case16(const Case &k, const std::vector<Sched> &scheds) {
  run_layer_case(k, scheds, nodechip_depthwise_fix16b_forward_parallel, ref::conv_fix::conv16);
}

TEST(DepthwiseFix8b, AgainstReference) {
  Conv a = D(5, 32, 9, 10, 3, 3, 1, 1);
  a.bias_mode = 1, a.b_sign = a.in_sign = a.w_sign = true, a.rshift = 3;
  Conv b = D(4, 70, 11, 13, 3, 5, 2, 0);
  b.pad_t = 1, b.pad_b = 2, b.pad_l = 2, b.pad_r = 1, b.w_sign = true, b.rshift = 4, b.relu = true;
  Conv c = D(3, 2, 150, 300, 3, 3, 1, 1);  // rows per slice
  c.w_sign = true, c.bias_mode = 1, c.rshift = 5;
  const Case cases[] = {
      {"3x3 pad 1, five items, signed bias", a},
      {"3x5 stride 2, asymmetric pads, 70 channels, ReLU", b},
      {"a plane cut into row slices", c},
  };
  for (const Case &k : cases) run_case(k, all_schedules());
}

TEST(DepthwiseFix8b, PadsBeyondTheCommandsField) {
  // Pads above 15 lie in local memory as zero rows and columns around the
  // loaded input; the command takes 15 of them.
  Conv a = D(5, 5, 9, 10, 3, 3, 1, 0);
  a.pad_t = 16, a.pad_b = 40, a.pad_l = 20, a.pad_r = 16;
  a.bias_mode = 1, a.b_sign = a.in_sign = a.w_sign = true, a.rshift = 2;
  Conv b = D(4, 3, 6, 7, 3, 3, 2, 16);
  b.w_sign = true, b.rshift = 3, b.relu = true;
  // Row slices of the zero-bordered plane: the first lie wholly in zeros.
  Conv c = D(3, 2, 150, 300, 3, 3, 1, 70);
  c.w_sign = true, c.bias_mode = 1, c.rshift = 5;
  const Case cases[] = {
      {"pads 16, 40, 20 and 16", a},
      {"pads 16, stride 2, ReLU", b},
      {"pads 70 over a plane cut into row slices", c},
  };
  for (const Case &k : cases) run_case(k, all_schedules());
}

TEST(DepthwiseFix8b, SlicesOfMoreThan4095ChannelsUseTheirOwnWeights) {
  // 8256 channels of 16 x 16 with a 1 x 1 kernel: slices of 8192 channels,
  // issued in pieces of at most 4095 whose weights and biases differ.
  Conv p = D(4, 8256, 16, 16, 1, 1, 1, 0);
  p.bias_mode = 1, p.b_sign = true, p.w_sign = true, p.in_sign = true, p.rshift = 2;
  run_case({"8256 channels", p}, {deferred(7)});
}

TEST(DepthwiseFix8b, Refusals) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_depthwise_fix8b_forward_parallel";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_depthwise_fix8b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 8, 4, 4, 7, 3, 1, 1, 1, 1, 1, 1, 0, 0, 0,
                                              0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "input_h_ext >= kernel_h && input_w_ext >= kernel_w");
  // 3 x 3 weights of 8192-channel slices do not fit behind the buffers.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_depthwise_fix8b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 8256, 16, 16, 3, 3, 1, 1, 1, 1, 1, 1, 0,
                                              0, 0, 1, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "offset_local_end <= (1<<19)");
}

TEST(DepthwiseFix16bPlan, Strips) {
  struct {
    const char *what;
    int j0, ow, iw, kw, sw, pad_l;
    dw_fix16b_strip_t want;  // j0, cols, x0, in_w, pad_l, pad_r
  } cases[] = {
      {"29 columns, kw 3: the first strip yields 14", 0, 27, 29, 3, 1, 0, {0, 14, 0, 16, 0, 0}},
      {"the second starts at input column 14", 14, 27, 29, 3, 1, 0, {14, 13, 14, 15, 0, 0}},
      {"a left pad widens the first strip", 0, 30, 30, 3, 1, 1, {0, 15, 0, 16, 1, 0}},
      {"stride 2", 8, 15, 30, 3, 2, 1, {8, 7, 15, 15, 0, 0}},
      {"the right pad past the input", 14, 16, 16, 3, 1, 1, {14, 2, 13, 3, 0, 0}},
  };
  for (const auto &k : cases) {
    dw_fix16b_strip_t s;
    dw_fix16b_strip_of(&s, k.j0, k.ow, k.iw, k.kw, k.sw, k.pad_l);
    EXPECT_EQ(s.cols, k.want.cols) << k.what;
    EXPECT_EQ(s.x0, k.want.x0) << k.what;
    EXPECT_EQ(s.in_w, k.want.in_w) << k.what;
    EXPECT_EQ(s.pad_l, k.want.pad_l) << k.what;
    EXPECT_EQ(s.pad_r, k.want.pad_r) << k.what;
  }
}

TEST(DepthwiseFix16b, AgainstReference) {
  Conv a = D(3, 5, 9, 29, 3, 3, 1, 0);  // strips of 14 and 13 columns
  a.bias_mode = 1, a.b_sign = a.in_sign = a.w_sign = true, a.rshift = 1;
  Conv b = D(5, 70, 10, 21, 3, 3, 2, 1);  // stride 2: two phases; 70 channels: two groups of lanes
  b.w_sign = true, b.relu = true;
  Conv c = D(4, 3, 8, 40, 4, 5, 1, 0);  // kh 4, kw 5, asymmetric pads: the last strip reads the right pad
  c.pad_t = 2, c.pad_b = 1, c.pad_l = 1, c.pad_r = 2, c.in_sign = c.w_sign = true, c.bias_mode = 1, c.rshift = 2;
  Conv d = D(2, 6, 5, 12, 3, 3, 2, 0);  // rows of padding beyond the command's 4-bit pad field
  d.pad_t = 20, d.pad_b = 17, d.pad_l = 1, d.pad_r = 2, d.in_sign = true, d.bias_mode = 1;
  const Case cases[] = {
      {"29 columns in two strips, three items", a},
      {"stride 2 with pads, 70 channels, five items", b},
      {"4 x 5 kernel, right pad in the last strip", c},
      {"pads of 20 and 17 rows", d},
  };
  for (const Case &k : cases) run_case16(k, all_schedules());
}

TEST(DepthwiseFix16b, Refusals) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_depthwise_fix16b_forward_parallel";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_depthwise_fix16b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 8, 8, 8, 5, 3, 1, 1, 1, 1, 1, 1, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "0");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_depthwise_fix16b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 8, 8, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "ins0_w==0 && ins0_h==0");
  // A right pad wide enough that a strip starts past the input's columns
  // stops at that strip, after the strips before it ran.
  FirmwareRig rig;
  const FwOutcome o = rig.run_checks([](cmd_id_node_t *n) {
    nodechip_depthwise_fix16b_forward_parallel(kIn, kOut, kWeight, kBias, 4, 8, 8, 12, 3, 3, 1, 1, 15, 18, 2, 2, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, 0, n);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", where, fn, "wstart < input_w"));
}

}  // namespace
}  // namespace zv::test::conv_fix
