// Local fixed-point convolution kernels, bit-exact against integer
// references: the 8-bit convolution (both weight layouts, the three bias
// placements, margins, groups from a late start lane, the upper clamp and the
// requantization), the 8-bit Winograd, the 8-bit deconvolution and the
// multiply-and-shift with its 4032-channel chunks, under every schedule with
// the race checker on; the assertions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/local_areas.h"
#include "cmd/conv_rig.h"
#include "local/conv_fix.h"
#include "local/local_rig.h"

namespace zv::test::local {
namespace {

using conv::Data;
using conv::Kernel;
using conv::Kind;
using conv::Placed;
namespace cr = zv::ref::conv;

// (x * m) >> shift rounded half up, saturated to 8 bits.
double mulshift(double x, int m, int shift, bool out_signed) {
  return double(cr::finish(i64(x) * m, shift, false, 8, out_signed));
}

// ---- Multiply and shift ----

TEST(MulshiftLocal, SaturatesToTheOutputSignInOneOrTwoSteps) {
  struct Case {
    const char *what;
    bool si, ms, so;
    int m, shift, c;
    size_t commands;
  };
  const Case cases[] = {
      {"signed to signed", true, true, true, -77, 5, 3, 1},
      {"unsigned to unsigned", false, false, false, 200, 6, 3, 1},
      {"unsigned to signed: clamped at 127", false, false, true, 250, 4, 5, 2},
      {"signed input to unsigned: negatives to 0", true, false, false, 90, 3, 5, 3},
      {"signed multiplier to unsigned", false, true, false, -100, 2, 2, 3},
      {"4033 channels: two chunks, 63 lane rows apart", true, true, true, 51, 4, 4033, 1},
  };
  const int n = 5, h = 2, w = 3;
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      if (k.c > 64 && s.seed > 1) continue;  // large: eager and one deferred seed
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(3);
      const cr::T4 x = d.tensor(n, k.c, h, w, k.si ? 127 : 255, k.si);
      const Placed I = Placed::aligned(lane(0, 0), Kind::I8, k.c, h, w);
      const Placed O = Placed::aligned(lane(0, 0x20000), Kind::I8, k.c, h, w);
      // Multi-chunk tensors take the strides {ceil(c/64) * plane, plane, w, 1}.
      conv::put(rig, I, x);
      const int mult = k.ms ? k.m : k.m & 0xff;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_mulshift_fix8b_forward_local(untag(I.addr), 0x40000, untag(O.addr), n, k.c, h, w, mult & 0xff,
                                              k.shift, k.si, k.ms, k.so, node);
      }));
      EXPECT_EQ(rig.bd_commands(), k.commands * (k.c > 4032 ? 2 : 1));
      cr::T4 want = x;
      for (auto &v : want.v) v = mulshift(v, mult, k.shift, k.so);
      EXPECT_TRUE(conv::same(conv::get(rig, O, n, k.c, h, w, k.so), want));
    }
}

// ---- 8-bit convolution ----

struct FixCase {
  const char *what;
  int n, ic, oc, ih, iw, groups;
  cr::Window p;
  int bias_mode;
  bool si, sw, sb, relu;
  int rshift, limit;
  u8 layout;
  u32 lane;
  int ht = 0, hb = 0, wl = 0, wr = 0;
  bool requantize = false;
  int mult = 0, rq_shift = 0;
  bool so = false;
};

cr::Window window(int kh, int kw, int dh, int dw, int pt, int pb, int pl, int pr, int sh, int sw, int ins_h = 0,
                  int ins_w = 0) {
  cr::Window p;
  p.kh = kh, p.kw = kw, p.dh = dh, p.dw = dw, p.pad_t = pt, p.pad_b = pb, p.pad_l = pl, p.pad_r = pr;
  p.stride_h = sh, p.stride_w = sw, p.ins_h = ins_h, p.ins_w = ins_w;
  return p;
}

// 8-bit weights of one group from the lane of its first output channel:
// four input channels per word, in the layout chosen; with the bias after the
// weights each output channel's row is one word longer and ends in its bias.
void put_fix_weights(BdRig &rig, u32 addr, const cr::T4 &w, u8 layout, const std::vector<double> *bias_after) {
  const int ocg = w.n, icg = w.c, kh = w.h, kw = w.w;
  const i64 g = (icg + 3) / 4, K = g * 4 * kh * kw;
  Kernel k = layout == 0 ? Kernel::i8_plane(addr, icg, kh, kw) : Kernel{addr, 4, 4, 1, 1, kh * kw * g, kw * g, g};
  if (bias_after) k.s_oc += 1;
  conv::put_kernel(rig, k, w, Kind::I8);
  if (bias_after) {
    const u32 s = (addr >> 19) & 63;
    for (int o = 0; o < ocg; o++) {
      const u64 at = kTag + u64((s + o) % 64) * 0x80000 + (addr & 0x7ffff) + ((s + o) / 64) * (K + 4) + K;
      rig.put(at, conv::raw((*bias_after)[o], Kind::I16), 2);
    }
  }
}

void run_fix(const FixCase &k, const Sched &s) {
  BdRig rig(s);
  Data d(31);
  const int ih = k.ih - k.ht - k.hb, iw = k.iw - k.wl - k.wr;
  const int oh = k.p.out_h(ih), ow = k.p.out_w(iw), icg = k.ic / k.groups, ocg = k.oc / k.groups;
  const cr::T4 full = d.tensor(k.n, k.ic, k.ih, k.iw, k.si ? 40 : 80, k.si);
  cr::T4 in(k.n, k.ic, ih, iw);
  for (int a = 0; a < k.n; a++)
    for (int c = 0; c < k.ic; c++)
      for (int y = 0; y < ih; y++)
        for (int x = 0; x < iw; x++) in.at(a, c, y, x) = full.at(a, c, y + k.ht, x + k.wl);
  const cr::T4 w = d.tensor(k.oc, icg, k.p.kh, k.p.kw, k.sw ? 20 : 40, k.sw);
  std::vector<double> bias;
  for (int o = 0; o < k.oc && k.bias_mode != 0; o++) bias.push_back(d.next(k.sb ? 2000 : 4000, k.sb));
  const Placed I = Placed::aligned(lane(k.lane, 0), Kind::I8, k.ic, k.ih, k.iw);
  const Placed O = Placed::aligned(lane(k.lane, 0x20000), Kind::I8, k.oc, oh, ow);
  const u32 W = lane(k.lane, 0x40000), B = lane(k.lane, 0x60000);
  conv::put(rig, I, full);
  const i64 K = (icg + 3) / 4 * 4 * k.p.kh * k.p.kw, row = K + (k.bias_mode == 2 ? 4 : 0);
  for (int g = 0; g < k.groups; g++) {
    cr::T4 wg(ocg, icg, k.p.kh, k.p.kw);
    const size_t per = wg.v.size() / ocg;
    std::vector<double> bg;
    for (int o = 0; o < ocg; o++) {
      for (size_t j = 0; j < per; j++) wg.v[o * per + j] = w.v[(g * ocg + o) * per + j];
      if (!bias.empty()) bg.push_back(bias[g * ocg + o]);
    }
    const u32 l = k.lane + g * ocg;
    put_fix_weights(rig, lane(l % 64, 0x40000 + u32((l / 64) * row)), wg, k.layout, k.bias_mode == 2 ? &bg : nullptr);
  }
  if (k.bias_mode == 1) conv::put_channels(rig, B, bias, Kind::I16);
  const u32 bias_arg = k.bias_mode == 2 ? untag(W) + u32(K) : untag(B);
  const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
  const cr::Window &p = k.p;
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
    nodechip_conv_forward_local_fix8b(untag(I.addr), untag(W), bias_arg, untag(O.addr), 0x70000, &is, &os, k.groups,
                                      p.kh, p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h,
                                      p.stride_w, k.bias_mode, 0, k.relu, k.limit, k.ht, k.hb, k.wl, k.wr, p.ins_h,
                                      p.ins_w, k.rshift, k.si, k.sw, k.sb, k.layout, k.requantize, k.mult & 0xff,
                                      k.rq_shift, k.so, node);
  }));
  const bool conv_signed = !k.relu && (k.si || k.sw || (k.bias_mode != 0 && k.sb));
  cr::T4 want = cr::convolution(in, w, bias, k.groups, p);
  for (auto &v : want.v) {
    v = double(cr::finish(i64(v), k.rshift, k.relu, 8, conv_signed));
    if (k.limit > 0) v = std::min(v, double(k.limit));
    if (k.requantize) v = mulshift(v, k.mult, k.rq_shift, k.so);
  }
  EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.oc, oh, ow, k.requantize ? k.so : conv_signed), want));
}

TEST(ConvFix8bLocal, MatchesTheIntegerReference) {
  const FixCase cases[] = {
      {"plane-innermost weights, bias tensor, shift 4", 5, 6, 3, 5, 6, 1, window(3, 2, 2, 1, 1, 1, 0, 1, 1, 2), 1, true,
       true, true, false, 4, 0, 0, 0},
      {"channel-innermost weights from lane 61, ReLU, clamp 50", 6, 5, 70, 4, 5, 1, window(2, 3, 1, 1, 1, 0, 1, 1, 1, 1),
       1, false, true, true, true, 3, 50, 1, 61},
      {"bias after the weights", 4, 7, 4, 5, 5, 1, window(3, 3, 1, 2, 1, 1, 2, 2, 2, 1), 2, true, true, true, false, 5,
       0, 0, 0},
      {"margins and zero insertion", 3, 3, 2, 7, 8, 1, window(2, 2, 1, 1, 0, 1, 1, 0, 1, 1, 1, 0), 0, false, false,
       false, false, 2, 0, 1, 0, 1, 2, 2, 1},
      {"signed result clamped at 20 keeps its negatives", 4, 4, 2, 4, 4, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), 0, true,
       true, false, false, 4, 20, 0, 0},
      {"groups from lane 60, wrapping", 6, 6, 4, 4, 5, 2, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), 1, true, true, true,
       false, 4, 0, 0, 60},
      {"groups, bias after the weights, channel-innermost", 5, 8, 6, 3, 4, 2, window(2, 2, 1, 1, 1, 0, 0, 1, 1, 1), 2,
       false, true, true, true, 3, 0, 1, 0},
      {"requantized to unsigned from a signed result", 5, 4, 3, 4, 4, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), 1, true,
       true, true, false, 3, 0, 0, 0, 0, 0, 0, 0, true, 90, 6, false},
      {"requantized after ReLU to signed", 4, 4, 3, 4, 4, 1, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), 1, false, true, true,
       true, 2, 0, 0, 0, 0, 0, 0, 0, true, 180, 7, true},
  };
  for (const FixCase &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      run_fix(k, s);
    }
}

TEST(ConvFix8bLocal, DepthwiseIssuesNothingAndChecksRefuse) {
  const dim4_t dws = {4, 8, 4, 4};
  EXPECT_TRUE(issued([&](cmd_id_node_t *node) {
                nodechip_conv_forward_local_fix8b(0, 0x10000, 0x20000, 0x30000, 0x40000, &dws, &dws, 8, 3, 3, 1, 1, 1,
                                                  1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0,
                                                  node);
              }).empty());
  const dim4_t is = {4, 4, 4, 4}, os = {4, 4, 4, 4};
  auto expect = [](const std::function<void(cmd_id_node_t *)> &fn, const std::string &cond) {
    expect_assert(fn, "ASSERT", "firmware/local/", "nodechip_conv_forward_local_fix8b", cond);
  };
  expect([&](cmd_id_node_t *node) {
    nodechip_conv_forward_local_fix8b(0, 0x10000, 0x20000, 0x30000, 0x40000, &is, &os, 2, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1,
                                      1, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, node);
  }, "relu_upper_limit <= 0");
  // A plane of 0x80000 words or more does not fit the stride fields.
  const dim4_t huge = {4, 1, 1024, 512}, hout = {4, 1, 1024, 512};
  expect([&](cmd_id_node_t *node) {
    nodechip_conv_forward_local_fix8b(0, 0x10000, 0x20000, 0x30000, 0x40000, &huge, &hout, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1,
                                      1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, node);
  }, "(unused_ht_for_input_tensor == 0) && (unused_hb_for_input_tensor == 0)");
  expect([&](cmd_id_node_t *node) {
    nodechip_conv_forward_local_fix8b(0, 0x10000, 0x20000, 0x30000, 0x40000, &huge, &hout, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1,
                                      1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, node);
  }, "(unused_wl_for_input_tensor == 0) && (unused_wr_for_input_tensor == 0)");
}

// ---- 8-bit Winograd ----

TEST(WinogradFix8bLocal, MatchesTheDirect3x3ThenShift) {
  struct Case {
    const char *what;
    int n, ic, oc, ih, iw, groups, ht, hb, wl, wr, use_winograd, bias_mode;
    bool relu;
    int limit;
    u32 lane;
  };
  const Case cases[] = {
      {"whole, bias tensor", 6, 5, 2, 6, 6, 1, 0, 0, 0, 0, 1, 1, false, 0, 0},
      {"margins inside the resident input, ReLU clamp 40", 5, 3, 3, 8, 9, 1, 1, 1, 2, 1, 1, 1, true, 40, 0},
      {"grouped, biases in the output lanes", 4, 4, 4, 6, 6, 2, 0, 0, 0, 0, 1, 1, false, 0, 0},
      {"grouped from lane 62, compact biases", 5, 6, 4, 6, 6, 2, 0, 0, 0, 0, 0, 1, false, 0, 62},
      {"grouped, weights and biases in one block", 3, 4, 6, 6, 6, 2, 0, 0, 0, 0, 0, 2, false, 0, 0},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(17);
      const int ih = k.ih - k.ht - k.hb, iw = k.iw - k.wl - k.wr;
      cr::Window p = window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1);
      const int oh = p.out_h(ih), ow = p.out_w(iw), icg = k.ic / k.groups, ocg = k.oc / k.groups;
      const cr::T4 full = d.tensor(k.n, k.ic, k.ih, k.iw, 60);
      cr::T4 in(k.n, k.ic, ih, iw);
      for (int a = 0; a < k.n; a++)
        for (int c = 0; c < k.ic; c++)
          for (int y = 0; y < ih; y++)
            for (int x = 0; x < iw; x++) in.at(a, c, y, x) = full.at(a, c, y + k.ht, x + k.wl);
      cr::T4 g = d.tensor(k.oc, icg, 3, 3, 1);
      for (auto &v : g.v) v *= 4;  // integer transformed weights
      std::vector<double> bias;
      for (int o = 0; o < k.oc; o++) bias.push_back(d.next(500));
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::I8, k.ic, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x10000), Kind::I8, k.oc, oh, ow);
      const u32 W = lane(k.lane, 0x20000), B = lane(k.lane, 0x30000);
      conv::put(rig, I, full);
      const int rows = (ocg + 63) / 64;
      const u32 X = u32((icg + 3) / 4 * 4 * 16 * rows), block = (X + 2 * rows + 127) / 128 * 128;
      for (int gi = 0; gi < k.groups; gi++) {
        const u32 l0 = (k.lane + gi * ocg) % 64;
        const u32 base = k.groups == 1 ? 0x20000 : k.bias_mode == 2 ? 0x20000 + gi * block : 0x20000 + (gi * X + 127) / 128 * 128;
        for (int o = 0; o < ocg; o++) {
          const u32 lane = (l0 + o) % 64, row = (l0 + o) / 64;
          for (int i = 0; i < icg; i++) {
            double gk[3][3];
            for (int r = 0; r < 3; r++)
              for (int q = 0; q < 3; q++) gk[r][q] = g.at(gi * ocg + o, i, r, q);
            const auto u = cr::winograd_weights(gk);
            for (int j = 0; j < 16; j++)
              rig.put(kTag + u64(lane) * 0x80000 + base + row * ((icg + 3) / 4) * 64 + ((i / 4) * 16 + j) * 4 + i % 4,
                      conv::raw(u[j], Kind::I8), 1);
          }
          const double b = bias[gi * ocg + o];
          if (k.bias_mode == 2)
            rig.put(kTag + u64(lane) * 0x80000 + base + X + row * 2, conv::raw(b, Kind::I16), 2);
          else if (k.use_winograd == 1 || k.groups == 1)
            rig.put(kTag + u64((k.lane + gi * ocg + o) % 64) * 0x80000 + 0x30000 + ((k.lane + gi * ocg + o) / 64) * 2,
                    conv::raw(b, Kind::I16), 2);
          else
            rig.put(kTag + u64(lane) * 0x80000 + 0x30000 + gi * 2 * rows + row * 2, conv::raw(b, Kind::I16), 2);
        }
      }
      const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_winograd_forward_local_fix8b(untag(I.addr), untag(W), untag(B), untag(O.addr), 0x40000, &is, &os,
                                              k.groups, 1, 1, 1, 1, k.bias_mode, 0, k.relu, k.limit, k.use_winograd,
                                              k.ht, k.hb, k.wl, k.wr, 4, 1, 1, 1, 3, 0, 0, 0, 0, node);
      }));
      cr::T4 want = cr::convolution(in, g, bias, k.groups, p);
      for (auto &v : want.v) {
        v = double(cr::finish(i64(v), 4, k.relu, 8, !k.relu));
        if (k.relu && k.limit > 0) v = std::min(v, double(k.limit));
      }
      EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.oc, oh, ow, !k.relu), want));
    }
}

// ---- 8-bit deconvolution ----

TEST(DeconvFix8bLocal, IsTheRotatedKernelOverTheZeroInsertedInput) {
  struct Case {
    const char *what;
    int n, ic, oc, ih, iw, groups, ins_h, ins_w, kh, kw, pad, dh, bias_mode;
    bool relu;
    u32 lane;
  };
  const Case cases[] = {
      {"stride 2, bias, five items", 5, 3, 4, 3, 4, 1, 1, 1, 3, 3, 2, 1, 1, false, 0},
      {"stride 3 x 2, ReLU, no bias", 4, 6, 2, 3, 3, 1, 2, 1, 4, 3, 3, 1, 0, true, 0},
      {"groups from lane 63, last batch group of one", 5, 4, 6, 3, 3, 2, 1, 1, 3, 3, 2, 2, 1, false, 63},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(23);
      cr::Window p = window(k.kh, k.kw, k.dh, 1, k.pad, k.pad, k.pad, k.pad, 1, 1, k.ins_h, k.ins_w);
      p.rotate = true;
      const int oh = p.out_h(k.ih), ow = p.out_w(k.iw), icg = k.ic / k.groups, ocg = k.oc / k.groups;
      const cr::T4 in = d.tensor(k.n, k.ic, k.ih, k.iw, 50), w = d.tensor(k.oc, icg, k.kh, k.kw, 20);
      std::vector<double> bias;
      for (int o = 0; o < k.oc && k.bias_mode; o++) bias.push_back(d.next(1000));
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::I8, k.ic, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(k.lane, 0x20000), Kind::I8, k.oc, oh, ow);
      const u32 W = lane(k.lane, 0x40000), B = lane(k.lane, 0x60000);
      conv::put(rig, I, in);
      const i64 K = (icg + 3) / 4 * 4 * k.kh * k.kw;
      for (int g = 0; g < k.groups; g++) {
        cr::T4 wg(ocg, icg, k.kh, k.kw);
        const size_t per = wg.v.size() / ocg;
        for (int o = 0; o < ocg; o++)
          for (size_t j = 0; j < per; j++) wg.v[o * per + j] = w.v[(g * ocg + o) * per + j];
        const u32 l = k.lane + g * ocg;
        put_fix_weights(rig, lane(l % 64, 0x40000 + u32((l / 64) * K)), wg, 0, nullptr);
      }
      conv::put_channels(rig, B, bias, Kind::I16);
      const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_deconv_fix8b_forward_local(untag(I.addr), untag(W), untag(B), untag(O.addr), &is, &os, k.groups, k.kh,
                                            k.kw, k.dh, 1, k.pad, k.pad, k.pad, k.pad, k.ins_h, k.ins_w, k.bias_mode,
                                            k.relu, 3, 1, 1, 1, node);
      }));
      cr::T4 want = cr::convolution(in, w, bias, k.groups, p);
      for (auto &v : want.v) v = double(cr::finish(i64(v), 3, k.relu, 8, !k.relu));
      EXPECT_TRUE(conv::same(conv::get(rig, O, k.n, k.oc, oh, ow, !k.relu), want));
    }
}

// ---- 16-bit convolution ----

// The kernel's 16-bit output: two items per word (2N), pairs ceil((s + oc)/64)
// planes apart.
er::Local out16(u32 addr, int n, int c, int h, int w) {
  const er::i64 plane = (er::i64(h) * w + 31) / 32 * 32, rows = (((addr >> 19) & 63) + c + 63) / 64;
  return er::Local{addr, er::Dim{n, c, h, w}, er::Dim{plane * rows, plane, w, 1}, 2, 2};
}

struct Fix16Case {
  const char *what;
  int n, ic, oc, ih, iw, groups;
  cr::Window p;
  int bias_mode;
  bool relu;
  int limit, ht, hb;
  u8 layout;
  u32 lane;
  int commands = 0;  // 0: not checked
};

TEST(ConvFix16bLocal, PiecesOfSixteenColumnsMatchTheIntegerReference) {
  const Fix16Case cases[] = {
      // Two batch groups (4 items, then 1) x two pieces: one command and one
      // copy per pair of items present each.
      {"ow 20: two pieces", 5, 6, 3, 5, 20, 1, window(3, 3, 1, 1, 0, 0, 1, 1, 1, 1), 1, false, 0, 0, 0, 0, 0, 10},
      {"height padding, stride 2, dilation 2, ow 40: three pieces", 6, 5, 4, 9, 81, 1, window(3, 3, 2, 2, 1, 2, 1, 1, 2, 2), 1, false, 0,
       0, 0, 1, 0},
      {"bias after the weights, 70 channels: two blocks", 4, 3, 70, 4, 18, 1, window(2, 3, 1, 1, 0, 0, 0, 0, 1, 1), 2,
       false, 0, 0, 0, 0, 0},
      {"margins and padding, ReLU clamped at 300", 3, 4, 2, 8, 17, 1, window(3, 2, 1, 1, 1, 1, 1, 0, 1, 1), 1, true, 300,
       1, 2, 0, 0},
      {"groups from lane 60, wrapping", 6, 4, 6, 4, 18, 2, window(3, 3, 1, 1, 1, 1, 1, 1, 1, 1), 1, false, 0, 0, 0, 1, 60},
  };
  for (const Fix16Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(37);
      const int ih = k.ih - k.ht - k.hb, iw = k.iw;
      const int oh = k.p.out_h(ih), ow = k.p.out_w(iw), icg = k.ic / k.groups, ocg = k.oc / k.groups;
      const cr::T4 full = d.tensor(k.n, k.ic, k.ih, k.iw, 100);
      cr::T4 in(k.n, k.ic, ih, iw);
      for (int a = 0; a < k.n; a++)
        for (int c = 0; c < k.ic; c++)
          for (int y = 0; y < ih; y++)
            for (int x = 0; x < iw; x++) in.at(a, c, y, x) = full.at(a, c, y + k.ht, x);
      const cr::T4 w = d.tensor(k.oc, icg, k.p.kh, k.p.kw, 100);
      std::vector<double> bias;
      for (int o = 0; o < k.oc; o++) bias.push_back(d.next(3000));
      const Placed I = Placed::aligned(lane(k.lane, 0), Kind::I8, k.ic, k.ih, k.iw);
      const er::Local O = out16(lane(k.lane, 0x20000), k.n, k.oc, oh, ow);
      const u32 W = lane(k.lane, 0x40000), B = lane(k.lane, 0x60000);
      conv::put(rig, I, full);
      const i64 K = (icg + 3) / 4 * 4 * k.p.kh * k.p.kw, row = K + (k.bias_mode == 2 ? 4 : 0);
      for (int g = 0; g < k.groups; g++) {
        cr::T4 wg(ocg, icg, k.p.kh, k.p.kw);
        const size_t per = wg.v.size() / ocg;
        std::vector<double> bg;
        for (int o = 0; o < ocg; o++) {
          for (size_t j = 0; j < per; j++) wg.v[o * per + j] = w.v[(g * ocg + o) * per + j];
          bg.push_back(bias[g * ocg + o]);
        }
        const u32 l = k.lane + g * ocg;
        put_fix_weights(rig, lane(l % 64, 0x40000 + u32((l / 64) * row)), wg, k.layout,
                        k.bias_mode == 2 ? &bg : nullptr);
      }
      if (k.bias_mode == 1) conv::put_channels(rig, B, bias, Kind::I16);
      const u32 bias_arg = k.bias_mode == 2 ? untag(W) + u32(K) : untag(B);
      const dim4_t is = {k.n, k.ic, k.ih, k.iw}, os = {k.n, k.oc, oh, ow};
      const cr::Window &p = k.p;
      fix16_plan_t plan;
      fix16_plan_of(&plan, 0x70000, &is, &os, k.groups, p.pad_t, p.pad_b, k.ht, k.hb);
      const local_area_t areas[] = {{"input", 0, 0x20000}, {"output", 0x20000, 0x20000}, {"weights", 0x40000, 0x30000},
                                    plan.areas[0], plan.areas[1]};
      ASSERT_TRUE(local_areas_valid(areas, 5));
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_conv_forward_local_fix16b(untag(I.addr), untag(W), bias_arg, untag(O.addr), 0x70000, &is, &os,
                                           k.groups, p.kh, p.kw, p.dh, p.dw, p.pad_t, p.pad_b, p.pad_l, p.pad_r,
                                           p.stride_h, p.stride_w, k.bias_mode, 0, k.relu, k.limit, k.ht, k.hb, 0, 0,
                                           2, 1, 1, 1, k.layout, node);
      }));
      if (k.commands) {
        EXPECT_EQ(rig.bd_commands(), size_t(k.commands));
      }
      cr::T4 want = cr::convolution(in, w, bias, k.groups, p);
      for (auto &v : want.v) {
        v = double(cr::finish(i64(v), 2, k.relu, 16, !k.relu));
        if (k.limit > 0) v = std::min(v, double(k.limit));
      }
      const auto got = rig.read(O);
      bool ok = true;
      for (size_t i = 0; i < want.v.size() && ok; i++) {
        const double g = double(er::value(got[i], 16, !k.relu));
        if (g != want.v[i]) {
          ADD_FAILURE() << "element " << i << ": " << g << ", want " << want.v[i];
          ok = false;
        }
      }
    }
}

TEST(ConvFix16bLocal, PiecesCoverTheOutputWithinTheInput) {
  struct Case {
    int ow, iw, kw, dw, pl, pr, sw;
  };
  const Case cases[] = {{20, 20, 3, 1, 1, 1, 1}, {40, 42, 3, 1, 0, 0, 1}, {40, 81, 3, 2, 1, 1, 2}, {16, 18, 3, 1, 0, 0, 1}};
  for (const Case &c : cases) {
    int covered = 0, pieces = 0;
    for (int j = 0; covered < c.ow; j++) {
      fix16_piece_t p;
      fix16_piece_of(&p, j, c.ow, c.iw, c.kw, c.dw, c.pl, c.pr, c.sw);
      EXPECT_EQ(p.start, covered);
      EXPECT_LE(p.len, FIX16_PIECE_W);
      EXPECT_LE(p.x0 + p.in_w, c.iw);
      // The piece's padded width gives at least its outputs.
      EXPECT_GE((p.pad_l + p.in_w + p.pad_r - ((c.kw - 1) * c.dw + 1)) / c.sw + 1, p.len);
      covered += p.len;
      pieces++;
    }
    EXPECT_EQ(pieces, (c.ow + 15) / 16);
  }
}

TEST(ConvFix16bLocal, ChecksRefuseBeforeIssuing) {
  const dim4_t is = {4, 4, 4, 4}, os = {4, 4, 4, 4};
  const dim4_t tall = {4, 1, 4, 0x40000}, tall_out = {4, 1, 2, 0x40000};
  struct Case {
    const dim4_t *is, *os;
    int groups, limit, ht, sh;
    const char *condition;
  };
  const Case cases[] = {
      {&is, &os, 2, 6, 0, 1, "relu_upper_limit <= 0"},
      {&tall, &tall_out, 1, 0, 1, 2, "(unused_ht_for_input_tensor == 0) && (unused_hb_for_input_tensor == 0)"},
  };
  for (const Case &k : cases)
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_conv_forward_local_fix16b(0, 0x10000, 0x20000, 0x30000, 0x40000, k.is, k.os, k.groups, 1, 1, 1, 1,
                                             0, 0, 0, 0, k.sh, 1, 0, 0, 0, k.limit, k.ht, 0, 0, 0, 0, 0, 0, 0, 0, node);
        },
        "ASSERT", "firmware/local/", "nodechip_conv_forward_local_fix16b", k.condition);
}

}  // namespace
}  // namespace zv::test::local
