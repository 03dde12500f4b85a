// 8-bit convolution of 4N tensors: the row and layout plans by tables, the
// general and three-channel workers bit-exact against the integer reference on
// every schedule with the race checker, the wrapper's own split, and the
// refusals.
#include "layers/conv/conv_fix8b.h"

#include <gtest/gtest.h>

#include <string>

#include "cmd/data_split.h"
#include "cmd/local_areas.h"
#include "conv_fix_rig.h"
#include "layers/conv/conv.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Conv;

TEST(ConvFix8bPlan, RowsOfSlices) {
  struct {
    const char *what;
    int oh0, rows, sh, khe, pad, ins, h;
    conv_fix8b_rows_t want;  // first, count, pad_t, pad_b
  } cases[] = {
      {"top slice takes the top pad", 0, 4, 1, 3, 1, 0, 10, {0, 5, 1, 0}},
      {"inner slice, no pads", 4, 3, 1, 3, 1, 0, 10, {3, 5, 0, 0}},
      {"bottom slice takes the bottom pad", 7, 3, 1, 3, 1, 0, 10, {6, 4, 0, 1}},
      {"stride 2, 7 taps, pad 3", 2, 2, 2, 7, 3, 0, 9, {1, 8, 0, 1}},
      // Inserted rows: row r sits at 2r; a slice starting at inserted row 3
      // skips one inserted zero (top pad 1) and starts at real row 2.
      {"starts between inserted rows", 3, 2, 1, 3, 0, 1, 4, {2, 2, 1, 0}},
      {"ends on an inserted row", 0, 2, 1, 3, 0, 1, 4, {0, 2, 0, 1}},
      {"ends past the inserted input", 5, 2, 1, 3, 1, 1, 4, {2, 2, 0, 1}},
  };
  for (const auto &k : cases) {
    conv_fix8b_rows_t r;
    conv_fix8b_rows_of(&r, k.oh0, k.rows, k.sh, k.khe, k.pad, k.ins, k.h);
    EXPECT_EQ(r.first, k.want.first) << k.what;
    EXPECT_EQ(r.count, k.want.count) << k.what;
    EXPECT_EQ(r.pad_t, k.want.pad_t) << k.what;
    EXPECT_EQ(r.pad_b, k.want.pad_b) << k.what;
  }
}

TEST(ConvFix8bPlan, LayoutsAndKernelStrides) {
  conv_fix8b_plan_t p;
  // 130 output channels in two sections of 65: two lane rows of records of
  // 72 words (ic 70 -> 72, 1x1), bias mode 1's halfwords right after them.
  u32 end = conv_fix8b_plan_of(&p, 8, 70, 9, 9, 1, 130, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 3, 2, 2, 0);
  EXPECT_TRUE(local_areas_valid(p.areas, CONV_FIX8B_AREA_COUNT));
  EXPECT_EQ(p.ocs, 2);
  EXPECT_EQ(p.rec, 72u);
  EXPECT_EQ(p.bias, 144u);
  EXPECT_EQ(p.in[0], 0x10000u);
  EXPECT_EQ(p.ks[0], 1);   // layout 0, 1x1: groups of four channels one word apart
  EXPECT_EQ(p.ks[1], 18);  // a record of 18 words between output channels 64 apart
  EXPECT_LE(end, 1u << 19);
  // Layout 1 with bias mode 2: the record carries 4 bias bytes (one word).
  conv_fix8b_plan_of(&p, 4, 6, 8, 8, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1, 0, 0, 2, 1, 1, 0);
  EXPECT_EQ(p.rec, 8u * 9 + 4);
  EXPECT_EQ(p.bias, 72u);
  EXPECT_EQ(p.ks[0], 1);
  EXPECT_EQ(p.ks[1], 2 * 9 + 1);
  EXPECT_EQ(p.ks[2], 2 * 3);
  EXPECT_EQ(p.ks[3], 2);
  EXPECT_EQ(p.ohs, 4);
  EXPECT_EQ(p.ihs, 4 + 2);
  EXPECT_TRUE(local_areas_valid(p.areas, CONV_FIX8B_AREA_COUNT));
  // Three-channel form: 3 x 7 channels (24 with padding), a 1 x 7 kernel.
  conv_fix8b_plan_of(&p, 4, 3, 32, 32, 1, 16, 7, 7, 1, 1, 0, 0, 3, 3, 2, 2, 0, 0, 0, 0, 2, 1, 1, 1);
  EXPECT_EQ(p.ch, 21);
  EXPECT_EQ(p.ch4, 24);
  EXPECT_EQ(p.kh, 1);
  EXPECT_EQ(p.rec, 24u * 7);
  EXPECT_EQ(p.ks[0], 7);      // layout 0: groups of four folded channels 7 words apart
  EXPECT_EQ(p.ks[1], 6 * 7);  // one record per output channel
  EXPECT_EQ(p.oh, 13);
  EXPECT_EQ(p.ihs, p.ohs);
}

struct Case {
  const char *what;
  Conv p;
  int layout;
  int hsecs, nsecs, ocsecs;  // 0: the wrapper plans
  bool three_ic;
};

Conv C(int n, int ic, int h, int w, int oc, int k, int stride, int pad) {
  Conv p;
  p.n = n, p.ic = ic, p.h = h, p.w = w, p.oc = oc, p.kh = p.kw = k, p.stride_h = p.stride_w = stride;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad;
  return p;
}

void run_case(const Case &k, const std::vector<Sched> &scheds) {
  const Conv &p = k.p;
  const int icg = k.three_ic ? 3 : p.ic / p.groups;
  const std::vector<u8> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic + p.oc, p.in_sign ? 256 : 200);
  const std::vector<u8> wt = small_weights(size_t(p.oc) * icg * p.kh * p.kw, p.kh + p.oc);
  const std::vector<u16> bias = biases(p.oc, p.ic);
  const std::vector<u8> recs =
      k.three_ic ? ref::conv_fix::weight_records_3ic(p, wt, bias, k.layout) : ref::conv_fix::weight_records(p, wt, bias, k.layout);
  const std::vector<u8> want = ref::conv_fix::conv8(p, in, wt, bias);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    put<u8>(rig, kWeight, recs);
    put<u8>(rig, kBias, bytes_of(bias));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.hsecs == 0)
        nodechip_conv_forward_parallel_fix8b_with_data_split(
            kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.kh, p.kw, p.dh, p.dw, p.pad_t, p.pad_b,
            p.pad_l, p.pad_r, p.stride_h, p.stride_w, p.bias_mode, 0, p.relu, p.upper, k.layout, p.ins_h, p.ins_w,
            p.rshift, p.in_sign, p.w_sign, p.b_sign, 0, 0, 0, 0, 0, k.three_ic, node);
      else if (k.three_ic)
        nodechip_conv_forward_parallel_fix8b_3ic(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.kh,
                                                 p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h,
                                                 p.stride_w, p.bias_mode, 0, k.hsecs, k.nsecs, 1, k.ocsecs, p.relu,
                                                 p.upper, k.layout, p.ins_h, p.ins_w, p.rshift, p.in_sign, p.w_sign,
                                                 p.b_sign, 3, 0, 0, 0, 0, node);
      else
        nodechip_conv_forward_parallel_fix8b(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.kh,
                                             p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h,
                                             p.stride_w, p.bias_mode, 0, k.hsecs, k.nsecs, 1, k.ocsecs, p.relu,
                                             p.upper, k.layout, p.ins_h, p.ins_w, p.rshift, p.in_sign, p.w_sign,
                                             p.b_sign, 0, 0, 0, 0, 0, node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    size_t bad = 0;
    while (bad < got.size() && got[bad] == want[bad]) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

std::vector<Case> worker_cases() {
  std::vector<Case> v;
  {
    Conv p = C(5, 6, 9, 11, 10, 3, 1, 1);  // 5 items: the second group carries 3 padding items
    p.bias_mode = 1, p.b_sign = true, p.in_sign = true, p.w_sign = true, p.rshift = 3;
    v.push_back({"3x3 pad 1, five items, signed bias, rows in 3 and batch in 2 sections", p, 1, 3, 2, 1, false});
  }
  {
    Conv p = C(4, 70, 5, 6, 130, 1, 1, 0);  // above 64 input channels; 65-channel sections span two lane rows
    p.bias_mode = 2, p.b_sign = true, p.w_sign = true, p.rshift = 6, p.relu = true, p.upper = 20;
    v.push_back({"1x1, 70 -> 130 in two sections, layout 0, bias behind the weights, ReLU clamped at 20", p, 0, 2, 1,
                 2, false});
  }
  {
    Conv p = C(3, 3, 17, 15, 8, 7, 2, 0);
    p.pad_t = 3, p.pad_b = 2, p.pad_l = 1, p.pad_r = 3, p.w_sign = true, p.rshift = 5, p.relu = true;
    v.push_back({"7x7 stride 2, asymmetric pads, ReLU without a clamp", p, 0, 2, 1, 1, false});
  }
  {
    Conv p = C(8, 8, 7, 6, 6, 3, 1, 1);
    p.groups = 2, p.dh = 2, p.dw = 2, p.pad_t = p.pad_b = p.pad_l = p.pad_r = 2, p.in_sign = true, p.w_sign = true;
    p.rshift = 4;
    v.push_back({"dilation 2, two groups, two batch groups in two sections", p, 1, 3, 2, 1, false});
  }
  {
    Conv p = C(4, 5, 4, 5, 4, 3, 1, 1);
    p.ins_h = p.ins_w = 1, p.in_sign = true, p.w_sign = true, p.bias_mode = 1, p.b_sign = true, p.rshift = 2;
    v.push_back({"zero insertion: slices that start between inserted rows", p, 0, 4, 1, 1, false});
  }
  {
    Conv p = C(6, 3, 23, 20, 12, 3, 2, 0);
    p.stride_w = 1, p.pad_l = 1, p.pad_r = 1, p.w_sign = true, p.bias_mode = 1, p.b_sign = true, p.rshift = 4;
    v.push_back({"three-channel form, layout 1, rows in 3 sections", p, 1, 3, 2, 1, true});
  }
  {
    Conv p = C(4, 3, 20, 18, 70, 5, 1, 0);
    p.stride_h = 2, p.stride_w = 2, p.pad_l = 2, p.pad_r = 1, p.w_sign = true, p.in_sign = true, p.bias_mode = 2;
    p.rshift = 6;
    v.push_back({"three-channel form, layout 0, bias behind the weights, 70 output channels", p, 0, 2, 1, 2, true});
  }
  {
    // 130 output channels (three lane rows) with 66 KB of weight records and
    // slices of 3 x 2^24 products: the first slice convolves two parts, each
    // after its records; the last stores three parts.
    Conv p = C(4, 344, 24, 24, 130, 1, 1, 0);
    p.bias_mode = 1, p.b_sign = true, p.w_sign = true, p.rshift = 7, p.relu = true, p.upper = 30;
    v.push_back({"first and last slices in lane-row parts, ReLU clamped", p, 1, 2, 1, 1, false});
  }
  {
    Conv p = C(4, 40, 16, 16, 150, 3, 1, 1);
    p.bias_mode = 2, p.b_sign = true, p.in_sign = true, p.w_sign = true, p.rshift = 8;
    v.push_back({"one slice in parts, bias behind the weights", p, 0, 1, 1, 1, false});
  }
  {
    // Pads of 4 over 5 rows with 11 row sections: the first and last
    // sections' windows lie in the padding and give the bias, requantised.
    Conv p = C(4, 3, 5, 5, 5, 3, 1, 4);
    p.bias_mode = 1, p.b_sign = true, p.in_sign = true, p.w_sign = true, p.rshift = 2;
    v.push_back({"row sections that see no input row, signed bias", p, 0, 11, 1, 1, false});
    p.bias_mode = 2, p.relu = true, p.rshift = 1;
    v.push_back({"row sections that see no input row, bias behind the weights, ReLU", p, 1, 11, 1, 1, false});
    p.bias_mode = 0;
    v.push_back({"row sections that see no input row, no bias", p, 0, 11, 1, 1, false});
  }
  {
    Conv p = C(4, 2, 3, 4, 3, 2, 1, 3);
    p.ins_h = 2, p.in_sign = true, p.w_sign = true, p.bias_mode = 1, p.b_sign = true, p.rshift = 1;
    v.push_back({"zero insertion: sections inside the padding and between inserted rows", p, 0, 9, 1, 1, false});
  }
  return v;
}

TEST(ConvFix8b, WorkersAgainstReference) {
  for (const Case &k : worker_cases()) run_case(k, all_schedules());
}

TEST(ConvFix8b, WrapperPlansItself) {
  // A plane too large for one slice: the split cuts output rows.
  Conv big = C(4, 4, 180, 180, 4, 3, 1, 1);
  big.w_sign = true, big.rshift = 4, big.bias_mode = 1;
  Conv three = C(2, 3, 30, 28, 16, 3, 2, 0);
  three.pad_l = three.pad_r = 1, three.w_sign = true, three.rshift = 3;
  // Fits one slice, but 151 M products run as three pipeline steps.
  Conv steps = C(4, 64, 32, 32, 64, 3, 1, 1);
  steps.w_sign = true, steps.rshift = 9, steps.bias_mode = 1;
  conv_secs_info_t secs = {};
  ASSERT_EQ(global_conv_data_split_fix8b(4, 64, 32, 32, 64, 32, 32, 1, 3, 3, 1, 1, 1, 1, 1, 0, 0, &secs), 1);
  EXPECT_EQ(secs.hsecs, 1u);
  secs.wsecs = 1;
  conv_pipeline_secs(&secs, CONV_FIX8B_PIPE_STEP_MACS, 4, 64, 1, 64, 3, 3, 32, 32);
  EXPECT_EQ(secs.hsecs, 3u);
  const Case cases[] = {
      {"3x3 over 180 x 180: cut into row sections", big, 1, 0, 0, 0, false},
      {"three-channel form through the wrapper", three, 1, 0, 0, 0, true},
      {"3x3 32x32x64->64 of 4 items in pipeline steps", steps, 1, 0, 0, 0, false},
  };
  for (const Case &k : cases) run_case(k, {deferred(5)});
}

TEST(ConvFix8b, Refusals) {
  const char *where = "firmware/layers/conv/";
  // Input-channel sections do not exist in this layer.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix8b(kIn, kOut, kWeight, kBias, 4, 8, 6, 6, 1, 4, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0,
                                         0, 1, 1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, "nodechip_conv_forward_parallel_fix8b", "1 == icsecs");
  // The three-channel form folds kernel rows: no vertical pad.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix8b_with_data_split(kIn, kOut, kWeight, kBias, 4, 3, 8, 8, 1, 4, 3, 3, 1, 1, 1,
                                                         1, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                         1, n);
  }, "ASSERT_FS", where, "nodechip_conv_forward_parallel_fix8b_with_data_split",
                "(input_c == 3) && (ins_h == 0) && (dh == 1) && (pad_h == 0) && (pad_h_after == 0) && (groups == 1)");
  // No plan fits: the wrapper logs the split's verdict and stops instead of
  // running the worker on counts it never received.
  FirmwareRig rig;
  const FwOutcome out = rig.run_checks([](cmd_id_node_t *n) {
    nodechip_conv_forward_parallel_fix8b_with_data_split(kIn, kOut, kWeight, kBias, 4, 4000, 12, 12, 1, 64, 11, 11, 1,
                                                         1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                         0, 0, 0, n);
  });
  const size_t logged = out.uart.find("The input size is too large, cannot split data\n");
  const size_t stopped = out.uart.find(
      "ASSERT_FS firmware/layers/conv/conv_fix8b.cpp: nodechip_conv_forward_parallel_fix8b_with_data_split: ");
  EXPECT_TRUE(out.asserted);
  ASSERT_NE(logged, std::string::npos) << out.uart;
  ASSERT_NE(stopped, std::string::npos) << out.uart;
  EXPECT_LT(logged, stopped);
  EXPECT_NE(out.uart.find(": split != 0\n", stopped), std::string::npos) << out.uart;
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::conv_fix
