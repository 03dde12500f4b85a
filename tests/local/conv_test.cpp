// Local float convolution kernels against the direct reference: every issue
// path (depthwise in one command or tap by tap, unaligned, whole, cut along
// width or height, grouped), Winograd and deconvolution, with padding, stride,
// dilation, odd sizes, start lanes other than 0 and channels wrapping past
// lane 63, under every schedule with the race checker on; the plan by a table;
// the scratch check; a deliberately mis-laid weight tensor is caught.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmd/local_areas.h"
#include "cmd/conv_rig.h"
#include "local/conv.h"
#include "local/local_rig.h"

namespace zv::test::local {
namespace {

using conv::Data;
using conv::Kernel;
using conv::Kind;
using conv::Placed;
namespace cr = zv::ref::conv;

int fbits(float f) {
  int b;
  std::memcpy(&b, &f, 4);
  return b;
}

cr::Window window(int kh, int kw, int dh, int dw, int pt, int pb, int pl, int pr, int sh, int sw) {
  cr::Window p;
  p.kh = kh, p.kw = kw, p.dh = dh, p.dw = dw, p.pad_t = pt, p.pad_b = pb, p.pad_l = pl, p.pad_r = pr;
  p.stride_h = sh, p.stride_w = sw;
  return p;
}

// Depthwise weights: kh*kw values per channel per lane row.
void put_depthwise(BdRig &rig, u32 addr, const cr::T4 &w) {
  const u32 s = (addr >> 19) & 63;
  for (int c = 0; c < w.n; c++)
    for (int k = 0; k < w.h * w.w; k++)
      rig.put(kTag + u64((s + c) % 64) * 0x80000 + (addr & 0x7ffff) + ((s + c) / 64) * w.h * w.w * 4 + k * 4,
              conv::fbits(w.v[size_t(c) * w.h * w.w + k]));
}

struct ConvCase {
  const char *what;
  int n, ic, oc, ih, iw, groups;
  cr::Window p;
  bool bias, add, relu;
  u32 in_lane, out_lane;
  int ht = 0, hb = 0, wl = 0, wr = 0;  // unused margins of the resident input
  conv_issue_t issue = CONV_ISSUE_WHOLE;
  float limit = 0.0f;
};

// Runs one float convolution kernel case and compares with the reference.
void run_conv(const ConvCase &k, const Sched &s, bool swap_weight_order = false, bool *matched = nullptr) {
  BdRig rig(s);
  Data d(21);
  const int ih = k.ih - k.ht - k.hb, iw = k.iw - k.wl - k.wr;  // the slice's input
  const int oh = k.p.out_h(ih), ow = k.p.out_w(iw);
  const bool dw = k.groups == k.ic && k.groups == k.oc && k.ic > 1;
  const cr::T4 full = d.tensor(k.n, k.ic, k.ih, k.iw, 4);
  cr::T4 in(k.n, k.ic, ih, iw);
  for (int a = 0; a < k.n; a++)
    for (int c = 0; c < k.ic; c++)
      for (int y = 0; y < ih; y++)
        for (int x = 0; x < iw; x++) in.at(a, c, y, x) = full.at(a, c, y + k.ht, x + k.wl);
  const cr::T4 w = d.tensor(k.oc, k.ic / k.groups, k.p.kh, k.p.kw, 3);
  std::vector<double> bias;
  for (int o = 0; o < k.oc && k.bias; o++) bias.push_back(d.next(20));
  const Placed I = Placed::aligned(lane(k.in_lane, 0x0), Kind::F32, k.ic, k.ih, k.iw);
  const Placed O = Placed::aligned(lane(k.out_lane, 0x20000), Kind::F32, k.oc, oh, ow);
  const u32 W = lane(k.out_lane, 0x40000), B = lane(k.out_lane, 0x50000), S = lane(k.out_lane, 0x58000);
  conv::put(rig, I, full);
  if (dw) {
    put_depthwise(rig, W, w);
  } else {
    // Per group, from the lane of the group's first output channel.
    const int icg = k.ic / k.groups, ocg = k.oc / k.groups;
    for (int g = 0; g < k.groups; g++) {
      cr::T4 wg(ocg, icg, k.p.kh, k.p.kw);
      for (int o = 0; o < ocg; o++)
        for (size_t j = 0; j < wg.v.size() / ocg; j++) wg.v[o * (wg.v.size() / ocg) + j] = w.v[(g * ocg + o) * (wg.v.size() / ocg) + j];
      const u32 lane = (k.out_lane + g * ocg) % 64, row = (k.out_lane + g * ocg) / 64;
      Kernel kw_ = Kernel::f32(zv::test::lane(lane, 0x40000 + row * u32((icg + 1) / 2 * 2 * k.p.kh * k.p.kw * 4)), icg, k.p.kh,
                               k.p.kw);
      if (swap_weight_order) kw_ = Kernel{kw_.addr, 2, 8, 4, i64(k.p.kh) * k.p.kw, kw_.s_oc, k.p.kw, 1};
      conv::put_kernel(rig, kw_, wg, Kind::F32);
    }
  }
  conv::put_channels(rig, B, bias, Kind::F32);
  const cr::T4 old = d.tensor(k.n, k.oc, oh, ow, 9);
  conv::put(rig, O, old);
  const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
  const cr::Window &p = k.p;
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
    nodechip_conv_forward_local(untag(I.addr), untag(W), untag(B), untag(O.addr), untag(S), &is, &os, k.groups, p.kh,
                                p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h, p.stride_w, k.bias,
                                k.add, k.relu, fbits(k.limit), k.ht, k.hb, k.wl, k.wr, node);
  }));
  cr::T4 want = dw ? cr::depthwise(in, w, bias, p) : cr::convolution(in, w, bias, k.groups, p);
  for (size_t i = 0; i < want.v.size(); i++) {
    if (k.add) want.v[i] += old.v[i];
    if (k.relu) want.v[i] = std::max(want.v[i], 0.0);
    if (k.relu && k.limit > 0) want.v[i] = std::min(want.v[i], double(k.limit));
  }
  const auto result = conv::same(conv::get(rig, O, k.n, k.oc, oh, ow), want);
  if (matched) {
    *matched = result;
  } else {
    EXPECT_TRUE(result);
  }
}

const ConvCase kConvCases[] = {
    {"whole, 3x3, pad 1, bias", 2, 3, 5, 6, 7, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), true, false, false, 0, 0},
    {"whole, stride 2 x 3, dilation 2, odd sizes, lanes 60 and 61 wrapping", 2, 5, 6, 9, 11, 1,
     window(3, 2, 2, 2, 2, 1, 0, 3, 2, 3), true, false, true, 60, 61},
    {"whole, result add, ReLU capped at 6", 1, 3, 4, 5, 5, 1, window(2, 3, 1, 1, 0, 1, 1, 0, 1, 1), true, true, true, 0,
     0, 0, 0, 0, 0, CONV_ISSUE_WHOLE, 6.0f},
    {"unaligned: margins on every side", 2, 3, 4, 8, 9, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 2), true, false, false, 7,
     7, 1, 2, 2, 1, CONV_ISSUE_UNALIGNED},
    {"depthwise in one command, 70 channels from lane 3", 2, 70, 70, 5, 6, 70, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 2),
     true, false, false, 3, 3, 0, 0, 0, 0, CONV_ISSUE_DEPTHWISE},
    {"depthwise tap by tap: dilation 2, stride 2, bias", 2, 5, 5, 9, 8, 5, window(3, 3, 2, 2, 2, 1, 1, 2, 2, 2), true,
     false, false, 62, 62, 0, 0, 0, 0, CONV_ISSUE_DEPTHWISE_TAPS},
    {"depthwise tap by tap: result add, taps in the padding only", 1, 3, 3, 3, 3, 3,
     window(5, 5, 1, 1, 4, 4, 4, 4, 3, 3), false, true, false, 0, 0, 0, 0, 0, 0, CONV_ISSUE_DEPTHWISE_TAPS},
    {"depthwise tap by tap: one-row input, taps wholly in the padding issue nothing", 1, 2, 2, 1, 3, 2,
     window(3, 3, 1, 1, 1, 1, 1, 1, 2, 2), true, true, false, 0, 0, 0, 0, 0, 0, CONV_ISSUE_DEPTHWISE_TAPS},
    {"grouped from lane 60: groups wrap to the next lane row", 2, 6, 4, 5, 5, 2, window(3, 3, 2, 1, 1, 1, 1, 1, 1, 1),
     true, false, false, 60, 61, 0, 0, 0, 0, CONV_ISSUE_GROUPED},
    {"grouped, three groups, stride 2", 1, 9, 6, 6, 7, 3, window(2, 2, 1, 1, 0, 1, 1, 0, 2, 2), false, true, false, 0, 0,
     0, 0, 0, 0, CONV_ISSUE_GROUPED},
    {"padded width 2048: columns cut", 1, 2, 3, 2, 2046, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), true, false, false, 0,
     0, 0, 0, 0, 0, CONV_ISSUE_SPLIT_W},
    {"width cut with stride 2, dilation 2, result add", 1, 1, 2, 1, 4100, 1, window(1, 3, 1, 2, 0, 0, 3, 2, 1, 2), true,
     true, false, 0, 0, 0, 0, 0, 0, CONV_ISSUE_SPLIT_W},
    {"padded height 2049: rows cut", 1, 2, 2, 2047, 2, 1, window(3, 2, 1, 1, 1, 1, 0, 0, 1, 1), true, false, false, 0,
     0, 0, 0, 0, 0, CONV_ISSUE_SPLIT_H},
};

TEST(ConvLocal, EveryIssuePathMatchesTheReference) {
  for (const ConvCase &k : kConvCases) {
    const bool big = k.issue == CONV_ISSUE_SPLIT_W || k.issue == CONV_ISSUE_SPLIT_H;
    for (const Sched &s : all_schedules()) {
      if (big && s.schedule == chip::Schedule::Deferred && s.seed > 1) continue;  // large: one deferred seed
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      run_conv(k, s);
    }
  }
}

TEST(ConvLocal, WeightsInTheOtherOrderAreCaught) {
  // The same case with the weights laid out kernel plane innermost (the
  // deconvolution order): the comparison must fail.
  bool matched = true;
  run_conv(kConvCases[0], all_schedules()[0], true, &matched);
  EXPECT_FALSE(matched);
}

TEST(ConvLocal, PlanChoosesThePathAndCutsWithinTheExtentLimit) {
  for (const ConvCase &k : kConvCases) {
    SCOPED_TRACE(k.what);
    const int ih = k.ih - k.ht - k.hb, iw = k.iw - k.wl - k.wr;
    const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, k.p.out_h(ih), k.p.out_w(iw)};
    conv_plan_t plan;
    conv_plan_of(&plan, 0x58000, &is, &os, k.groups, k.p.kh, k.p.kw, k.p.dh, k.p.dw, k.p.pad_t, k.p.pad_b, k.p.pad_l,
                 k.p.pad_r, k.p.stride_h, k.p.stride_w, k.add, k.ht, k.hb, k.wl, k.wr);
    EXPECT_EQ(plan.issue, k.issue);
    // The pieces cover the cut axis; each padded piece fits the limit.
    const bool cut_w = plan.issue == CONV_ISSUE_SPLIT_W, cut = cut_w || plan.issue == CONV_ISSUE_SPLIT_H;
    if (!cut) continue;
    const int out_len = cut_w ? int(os.w) : int(os.h), extent = cut_w ? k.iw : k.ih;
    const int dk = cut_w ? (k.p.kw - 1) * k.p.dw + 1 : (k.p.kh - 1) * k.p.dh + 1;
    const int st = cut_w ? k.p.stride_w : k.p.stride_h;
    int covered = 0, pieces = 0;
    while (covered < out_len) {
      conv_piece_t p;
      conv_piece_of(&p, covered, out_len - covered, extent, cut_w ? k.p.pad_l : k.p.pad_t,
                    cut_w ? k.p.pad_r : k.p.pad_b, dk, st);
      EXPECT_LE(p.pad_lo + p.in_len + p.pad_hi, 2047);
      EXPECT_GE((p.pad_lo + p.in_len + p.pad_hi - dk) / st + 1, p.len);
      covered += p.len;
      pieces++;
    }
    EXPECT_EQ(pieces, plan.pieces);
    const local_area_t areas[] = {{"scratch", 0x58000, plan.scratch_bytes}};
    EXPECT_TRUE(local_areas_valid(areas, 1));
  }
  // Width 2047 padded: one command; 2048: pieces of at most 2047 / stride.
  conv_piece_t p;
  conv_piece_of(&p, 0, 2046, 2046, 1, 1, 3, 1);
  EXPECT_EQ(p.len, 2045);  // 2045 outputs need 2047 padded columns
  EXPECT_EQ(p.pad_lo + p.in_len + p.pad_hi, 2047);
  conv_piece_of(&p, 0, 1000, 2000, 3, 3, 3, 2);
  EXPECT_EQ(p.len, 1000);
}

TEST(ConvLocal, ScratchTooSmallForThePieceIsRefusedBeforeIssuing) {
  const dim4_t is = {2, 3, 2, 2100}, os = {2, 64, 2, 2100};
  // The first piece: 2047 columns, 2 items x one lane row x plane(2, 2047) words.
  expect_assert(
      [&](cmd_id_node_t *node) {
        nodechip_conv_forward_local(0, 0x10000, 0x20000, 0x30000, 0x7c000, &is, &os, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1,
                                    0, 0, 0, 0, 0, 0, 0, 0, node);
      },
      "ASSERT", "firmware/local/", "nodechip_conv_forward_local",
      "(imm_local_offset & LOCAL_OFFSET_MASK) + scratch_bytes <= LOCAL_MEM_SIZE", "scratch 0x7c000 + 32768 bytes");
}

// ---- Winograd ----

TEST(WinogradLocal, MatchesTheDirect3x3) {
  struct Case {
    const char *what;
    int n, ic, oc, ih, iw, groups, pt, pb, pl, pr, ht, hb, wl, wr, use_winograd;
    bool bias, relu;
    u32 lane;
  };
  const Case cases[] = {
      {"pad 1, even", 2, 3, 2, 6, 6, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, true, false, 0},
      {"odd padded extents get one more row and column", 1, 2, 3, 5, 7, 1, 1, 1, 0, 1, 0, 0, 0, 0, 1, false, true, 0},
      {"margins inside the resident input", 1, 3, 2, 9, 10, 1, 1, 1, 1, 1, 1, 2, 2, 1, 1, true, false, 0},
      {"grouped, biases in the output lanes", 2, 4, 4, 6, 6, 2, 1, 1, 1, 1, 0, 0, 0, 0, 1, true, false, 0},
      {"grouped from lane 63: groups wrap", 1, 4, 4, 6, 6, 2, 1, 1, 1, 1, 0, 0, 0, 0, 1, true, false, 63},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(5);
      const int ih = k.ih - k.ht - k.hb, iw = k.iw - k.wl - k.wr;
      cr::Window p = window(3, 3, 1, 1, k.pt, k.pb, k.pl, k.pr, 1, 1);
      const int oh = p.out_h(ih), ow = p.out_w(iw);
      const cr::T4 full = d.tensor(k.n, k.ic, k.ih, k.iw, 4);
      cr::T4 in(k.n, k.ic, ih, iw);
      for (int a = 0; a < k.n; a++)
        for (int c = 0; c < k.ic; c++)
          for (int y = 0; y < ih; y++)
            for (int x = 0; x < iw; x++) in.at(a, c, y, x) = full.at(a, c, y + k.ht, x + k.wl);
      const int icg = k.ic / k.groups, ocg = k.oc / k.groups;
      // Weights as multiples of 1/2 after the transform: integers times 2.
      cr::T4 w = d.tensor(k.oc, icg, 3, 3, 2);
      for (auto &v : w.v) v *= 2;
      std::vector<double> bias;
      for (int o = 0; o < k.oc && k.bias; o++) bias.push_back(d.next(20));
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::F32, k.ic, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x20000), Kind::F32, k.oc, oh, ow);
      const u32 W = lane(k.lane, 0x40000), B = lane(k.lane, 0x50000);
      conv::put(rig, I, full);
      // Transformed weights: group g's block after the previous ones from the
      // lane of its first output channel, 16 floats per input channel.
      for (int g = 0; g < k.groups; g++)
        for (int o = 0; o < ocg; o++)
          for (int i = 0; i < icg; i++) {
            double g3[3][3];
            for (int r = 0; r < 3; r++)
              for (int q = 0; q < 3; q++) g3[r][q] = w.at(g * ocg + o, i, r, q);
            const auto u = cr::winograd_weights(g3);
            const u32 lane = (k.lane + g * ocg) % 64 + o, row = lane / 64;
            const u32 base = 0x40000 + g * ((ocg + 63) / 64) * icg * 64 + row * icg * 64 + i * 64;
            for (int e = 0; e < 16; e++) rig.put(kTag + u64(lane % 64) * 0x80000 + base + e * 4, conv::fbits(u[e]));
          }
      conv::put_channels(rig, B, bias, Kind::F32);
      const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_winograd_forward_local(untag(I.addr), untag(W), untag(B), untag(O.addr), 0, &is, &os, k.groups, k.pt,
                                        k.pb, k.pl, k.pr, k.bias, 0, k.relu, 0, k.use_winograd, k.ht, k.hb, k.wl,
                                        k.wr, node);
      }));
      cr::T4 want = cr::convolution(in, w, bias, k.groups, p);
      if (k.relu)
        for (auto &v : want.v) v = std::max(v, 0.0);
      EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.oc, oh, ow), want));
    }
}

// ---- Deconvolution ----

TEST(DeconvLocal, IsTheConvolutionOfTheZeroInsertedInputWithTheRotatedKernel) {
  struct Case {
    const char *what;
    int n, ic, oc, ih, iw, groups;
    cr::Window p;
    bool bias, add, relu;
    u32 lane;
  };
  auto win = [](int kh, int kw, int ins_h, int ins_w, int pad, int dh) {
    cr::Window p = window(kh, kw, dh, 1, pad, pad, pad, pad, 1, 1);
    p.ins_h = ins_h, p.ins_w = ins_w, p.rotate = true;
    return p;
  };
  const Case cases[] = {
      {"stride 2, 3x3", 2, 3, 4, 4, 5, 1, win(3, 3, 1, 1, 2, 1), true, false, true, 0},
      {"stride 3 x 2, 4x3, result add", 1, 5, 2, 3, 3, 1, win(4, 3, 2, 1, 3, 1), false, true, false, 0},
      {"grouped from lane 62", 2, 4, 6, 3, 4, 2, win(3, 3, 1, 1, 2, 2), true, false, false, 62},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(9);
      const int oh = k.p.out_h(k.ih), ow = k.p.out_w(k.iw), icg = k.ic / k.groups, ocg = k.oc / k.groups;
      const cr::T4 in = d.tensor(k.n, k.ic, k.ih, k.iw, 4), w = d.tensor(k.oc, icg, k.p.kh, k.p.kw, 3);
      std::vector<double> bias;
      for (int o = 0; o < k.oc && k.bias; o++) bias.push_back(d.next(20));
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::F32, k.ic, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x20000), Kind::F32, k.oc, oh, ow);
      const u32 W = lane(k.lane, 0x40000), B = lane(k.lane, 0x50000);
      conv::put(rig, I, in);
      for (int g = 0; g < k.groups; g++) {
        cr::T4 wg(ocg, icg, k.p.kh, k.p.kw);
        const size_t per = wg.v.size() / ocg;
        for (int o = 0; o < ocg; o++)
          for (size_t j = 0; j < per; j++) wg.v[o * per + j] = w.v[(g * ocg + o) * per + j];
        const u32 lane = (k.lane + g * ocg) % 64, row = (k.lane + g * ocg) / 64;
        const i64 pairs = (icg + 1) / 2, taps = i64(k.p.kh) * k.p.kw;
        const Kernel kw_{zv::test::lane(lane, 0x40000 + u32(row * taps * pairs * 8)), 2, 8, 4, taps, taps * pairs, k.p.kw, 1};
        conv::put_kernel(rig, kw_, wg, Kind::F32);
      }
      conv::put_channels(rig, B, bias, Kind::F32);
      const cr::T4 old = d.tensor(k.n, k.oc, oh, ow, 9);
      conv::put(rig, O, old);
      const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
      const cr::Window &p = k.p;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_deconv_forward_local(untag(I.addr), untag(W), untag(B), untag(O.addr), &is, &os, k.groups, p.kh, p.kw,
                                      p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.ins_h, p.ins_w, k.bias, k.add,
                                      k.relu, node);
      }));
      cr::T4 want = cr::convolution(in, w, bias, k.groups, p);
      for (size_t i = 0; i < want.v.size(); i++) {
        if (k.add) want.v[i] += old.v[i];
        if (k.relu) want.v[i] = std::max(want.v[i], 0.0);
      }
      EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.oc, oh, ow), want));
    }
}

}  // namespace
}  // namespace zv::test::local
