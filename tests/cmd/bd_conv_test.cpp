// Convolution commands on the chip model against the direct reference: float32
// (padding, stride, dilation, zero insertion, rotated kernels, bias, result add,
// lane wrap, unaligned input, constant weights), groups issued per group as
// the kernels do, the 2047 extent limit, Winograd against a direct 3 x 3, and
// the 8-bit forms (4N input, 16-bit bias, shift, ReLU, saturation, 16-bit
// result); every case under eager and deferred schedules, checker on.
#include "conv_rig.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_pool.h"

namespace zv::test::conv {
namespace {

struct FloatCase {
  const char *what;
  int n, ic, oc, ih, iw;
  cr::Window p;
  bool bias, add;
  u32 in_lane, out_lane;
  bool unaligned;
};

TEST(ConvFloat, MatchesDirectConvolution) {
  auto win = [](int kh, int kw, int pt, int pb, int pl, int pr, int sh, int sw, int dh, int dw, int ih_ins,
                int iw_ins, bool rot) {
    cr::Window p;
    p.kh = kh, p.kw = kw, p.pad_t = pt, p.pad_b = pb, p.pad_l = pl, p.pad_r = pr;
    p.stride_h = sh, p.stride_w = sw, p.dh = dh, p.dw = dw, p.ins_h = ih_ins, p.ins_w = iw_ins, p.rotate = rot;
    return p;
  };
  const FloatCase cases[] = {
      {"3x3, pad 1, bias", 2, 3, 5, 6, 7, win(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, false), true, false, 0, 0, false},
      {"stride 2 x 3, dilation 2, uneven pads", 1, 4, 3, 9, 10, win(3, 2, 2, 1, 0, 3, 2, 3, 2, 2, 0, 0, false), false,
       false, 0, 0, false},
      {"zero insertion and a rotated kernel", 2, 2, 3, 4, 5, win(3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 2, true), true,
       false, 3, 0, false},
      {"result add", 1, 3, 2, 5, 5, win(2, 3, 0, 1, 1, 0, 1, 1, 1, 1, 0, 0, false), true, true, 0, 0, false},
      {"70 output channels from lane 60, input from lane 5", 1, 3, 70, 4, 4, win(3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0,
       false), true, false, 5, 60, false},
      {"unaligned input with its own strides", 2, 3, 4, 5, 6, win(3, 3, 1, 0, 0, 1, 1, 2, 1, 1, 0, 0, false), false,
       false, 0, 0, true},
  };
  for (const FloatCase &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(7);
      const cr::T4 in = d.tensor(k.n, k.ic, k.ih, k.iw, 4), w = d.tensor(k.oc, k.ic, k.p.kh, k.p.kw, 3);
      std::vector<double> bias;
      for (int o = 0; o < k.oc && k.bias; o++) bias.push_back(d.next(20));
      const int oh = k.p.out_h(k.ih), ow = k.p.out_w(k.iw);
      // The unaligned input starts 4 bytes in, with rows two words longer.
      Placed I = Placed::aligned(lane(k.in_lane, k.unaligned ? 0x104 : 0x100), Kind::F32, k.ic, k.ih, k.iw);
      if (k.unaligned) I = Placed{I.addr, Kind::F32, 200, 60, k.iw + 2, 1};
      const Placed O = Placed::aligned(lane(k.out_lane, 0x20000), Kind::F32, k.oc, oh, ow);
      const Kernel W = Kernel::f32(lane(k.out_lane, 0x40000), k.ic, k.p.kh, k.p.kw);
      const u32 B = lane(k.out_lane, 0x60000);
      put(rig, I, in);
      put_kernel(rig, W, w, Kind::F32);
      put_channels(rig, B, bias, Kind::F32);
      const cr::T4 old = d.tensor(k.n, k.oc, oh, ow, 9);
      put(rig, O, old);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        const cr::Window &p = k.p;
        if (k.unaligned)
          atomic_conv_neuron_unalign_kstride_gen_cmd(
              I.addr, O.addr, W.addr, B, k.n, k.ic, k.ih, k.iw, int(I.sn), int(I.sc), int(I.sh), int(I.sw), p.ins_h,
              p.ins_w, k.oc, oh, ow, 0, 0, p.kh, p.kw, p.dh, p.dw, int(W.s_ic), int(W.s_oc), int(W.s_h), int(W.s_w),
              p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.stride_h, p.stride_w, k.bias, p.rotate, k.add, node);
        else
          atomic_conv_neuron_kernel_stride_gen_cmd(I.addr, O.addr, W.addr, B, k.n, k.ic, k.ih, k.iw, p.ins_h, p.ins_w,
                                                   k.oc, oh, ow, 0, 0, p.kh, p.kw, p.dh, p.dw, int(W.s_ic),
                                                   int(W.s_oc), int(W.s_h), int(W.s_w), p.pad_t, p.pad_b, p.pad_l,
                                                   p.pad_r, p.stride_h, p.stride_w, k.bias, p.rotate, k.add, node);
      }));
      cr::T4 want = cr::convolution(in, w, bias, 1, k.p);
      if (k.add)
        for (size_t i = 0; i < want.v.size(); i++) want.v[i] += old.v[i];
      EXPECT_TRUE(same(get(rig, O, k.n, k.oc, oh, ow), want));
    }
}

// Groups the way the convolution kernels issue them: one command per group and
// batch item, each group's channels addressed from its own lane.
TEST(ConvFloat, GroupsIssuedPerGroup) {
  const int n = 2, ic = 6, oc = 4, groups = 2, ih = 5, iw = 5, icg = ic / groups, ocg = oc / groups;
  cr::Window p;
  p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  p.dh = 2;
  const int oh = p.out_h(ih), ow = p.out_w(iw);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(3);
    const cr::T4 in = d.tensor(n, ic, ih, iw, 4), w = d.tensor(oc, icg, 3, 3, 3);
    const std::vector<double> bias = {1, -2, 3, -4};
    const Placed I = Placed::aligned(lane(0, 0), Kind::F32, ic, ih, iw);
    const Placed O = Placed::aligned(lane(0, 0x10000), Kind::F32, oc, oh, ow);
    const u32 plane_in = (ih * iw + 31) / 32 * 32 * 4, plane_out = (oh * ow + 31) / 32 * 32 * 4;
    put(rig, I, in);
    put_channels(rig, lane(0, 0x30000), bias, Kind::F32);
    for (int g = 0; g < groups; g++) {
      cr::T4 wg(ocg, icg, 3, 3);
      for (int o = 0; o < ocg; o++)
        for (size_t j = 0; j < 9 * size_t(icg); j++) wg.v[o * 9 * icg + j] = w.v[(g * ocg + o) * 9 * icg + j];
      put_kernel(rig, Kernel::f32(lane(g * ocg, 0x20000), icg, 3, 3), wg, Kind::F32);
    }
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      for (int g = 0; g < groups; g++)
        for (int b = 0; b < n; b++) {
          const Kernel W = Kernel::f32(lane(g * ocg, 0x20000), icg, 3, 3);
          atomic_conv_neuron_kernel_stride_gen_cmd(
              lane(g * icg, b * plane_in), lane(g * ocg, 0x10000 + b * plane_out), W.addr,
              lane(g * ocg, 0x30000), 1, icg, ih, iw, 0, 0, ocg, oh, ow, 0, 0, 3, 3, p.dh, p.dw, int(W.s_ic),
              int(W.s_oc), int(W.s_h), int(W.s_w), 1, 1, 1, 1, 1, 1, 1, 0, 0, node);
        }
    }));
    EXPECT_EQ(rig.ids().bd_cmd_id, u32(groups * n));
    EXPECT_TRUE(same(get(rig, O, n, oc, oh, ow), cr::convolution(in, w, bias, groups, p)));
  }
}

// A padded, zero-inserted extent of exactly 2047 runs; 2048 is refused before
// anything reaches the engine.
TEST(ConvFloat, ExtentOf2047RunsAnd2048IsRefused) {
  struct Case {
    const char *what;
    int ih, iw, ins_w, pad;
  } cases[] = {
      {"2045 rows and two pad rows", 2045, 1, 0, 1},
      {"1024 columns with one zero between each", 1, 1024, 1, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    std::function<void(cmd_id_node_t *)> refused;
    {
    BdRig rig({chip::Schedule::Deferred, 2});
    Data d(5);
    cr::Window p;
    p.kh = k.ih > 1 ? 3 : 1;
    p.kw = k.iw > 1 ? 2 : 1;
    p.pad_t = p.pad_b = k.pad;
    p.ins_w = k.ins_w;
    const int oh = p.out_h(k.ih), ow = p.out_w(k.iw);
    const cr::T4 in = d.tensor(1, 2, k.ih, k.iw, 3), w = d.tensor(2, 2, p.kh, p.kw, 2);
    const Placed I = Placed::aligned(lane(0, 0), Kind::F32, 2, k.ih, k.iw);
    const Placed O = Placed::aligned(lane(0, 0x10000), Kind::F32, 2, oh, ow);
    const Kernel W = Kernel::f32(lane(0, 0x30000), 2, p.kh, p.kw);
    put(rig, I, in);
    put_kernel(rig, W, w, Kind::F32);
    auto issue = [&](int extra_pad) {
      return [=](cmd_id_node_t *node) {
        atomic_conv_neuron_kernel_stride_gen_cmd(I.addr, O.addr, W.addr, 0, 1, 2, k.ih, k.iw, 0, p.ins_w, 2, oh, ow,
                                                 0, 0, p.kh, p.kw, 1, 1, int(W.s_ic), int(W.s_oc), int(W.s_h),
                                                 int(W.s_w), p.pad_t, p.pad_b + (k.ih > 1 ? extra_pad : 0), 0,
                                                 k.iw > 1 ? extra_pad : 0, 1, 1, 0, 0, 0, node);
      };
    };
    ASSERT_TRUE(rig.run(issue(0)));
    EXPECT_TRUE(same(get(rig, O, 1, 2, oh, ow), cr::convolution(in, w, {}, 1, p)));
    refused = issue(1);
    }
    expect_bd_assert(refused, "ASSERT_FS", "atomic_conv_neuron_kernel_stride_gen_cmd",
                      k.ih > 1 ? "(input_h - 1) * (ins_h + 1) + 1 + pad_h_top + pad_h_bottom <= 2047"
                               : "(input_w - 1) * (ins_w + 1) + 1 + pad_w_l + pad_w_r <= 2047");
  }
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_conv_neuron_gen_cmd(lane(0, 0), lane(0, 0x100), 0, 0, 1, 1, 4, 4, 0, 0, 1, 2048, 1, 1,
                                   0x3f800000, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
      },
      "ASSERT_FS", "atomic_conv_neuron_gen_cmd", "output_h <= 2047 && output_w <= 2047");
}

TEST(ConvFloat, ChannelSumInPlaceAndConstantWeights) {
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(9);
    const cr::T4 in = d.tensor(2, 100, 3, 3, 8);
    const Placed T = Placed::aligned(lane(0, 0), Kind::F32, 100, 3, 3);
    put(rig, T, in);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) { tensor_sumc_gen_cmd(T.addr, T.addr, 2, 100, 3, 3, node); }));
    cr::T4 want(2, 100, 3, 3);
    for (int n = 0; n < 2; n++)
      for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++) {
          double sum = 0;
          for (int c = 0; c < 100; c++) sum += in.at(n, c, y, x);
          for (int c = 0; c < 100; c++) want.at(n, c, y, x) = sum;
        }
    EXPECT_TRUE(same(get(rig, T, 2, 100, 3, 3), want));
  }
}

// Winograd on weights transformed by U = G g Gt gives the direct 3 x 3
// convolution, with odd output extents (partial tiles), bias and result add.
TEST(ConvWinograd, FloatMatchesDirect3x3) {
  struct Case {
    const char *what;
    int ih, iw, pt, pb, pl, pr;
    bool bias, add;
  } cases[] = {
      {"even output, pads", 7, 8, 1, 2, 1, 1, true, false},
      {"odd output, partial tiles, result add", 7, 9, 1, 1, 0, 2, false, true},
  };
  const int n = 2, ic = 3, oc = 4;
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(11);
      cr::Window p;
      p.kh = p.kw = 3;
      p.pad_t = k.pt, p.pad_b = k.pb, p.pad_l = k.pl, p.pad_r = k.pr;
      const int oh = p.out_h(k.ih), ow = p.out_w(k.iw);
      const cr::T4 in = d.tensor(n, ic, k.ih, k.iw, 4), g = d.tensor(oc, ic, 3, 3, 4);
      const std::vector<double> bias = {3, -1, 0, 7};
      const Placed I = Placed::aligned(lane(0, 0), Kind::F32, ic, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(0, 0x10000), Kind::F32, oc, oh, ow);
      const u32 W = lane(0, 0x20000), B = lane(0, 0x30000);
      put(rig, I, in);
      for (int o = 0; o < oc; o++)
        for (int i = 0; i < ic; i++) {
          double gk[3][3];
          for (int r = 0; r < 3; r++)
            for (int q = 0; q < 3; q++) gk[r][q] = g.at(o, i, r, q);
          const auto u = cr::winograd_weights(gk);
          for (int j = 0; j < 16; j++) rig.put(W + u64(o) * 0x80000 + u64(i) * 64 + 4u * j, fbits(u[j]));
        }
      put_channels(rig, B, bias, Kind::F32);
      const cr::T4 old = d.tensor(n, oc, oh, ow, 5);
      put(rig, O, old);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_winograd_neuron_gen_cmd(I.addr, O.addr, W, B, n, ic, k.ih, k.iw, 0, 0, oc, oh, ow, k.pt, k.pb, k.pl,
                                       k.pr, k.bias, k.add, node);
      }));
      cr::T4 want = cr::convolution(in, g, k.bias ? bias : std::vector<double>{}, 1, p);
      if (k.add)
        for (size_t i = 0; i < want.v.size(); i++) want.v[i] += old.v[i];
      EXPECT_TRUE(same(get(rig, O, n, oc, oh, ow), want));
    }
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_winograd_neuron_gen_cmd(lane(0, 0), lane(0, 0x1000), lane(0, 0x2000), 0, 1, 1, 5, 3, 0, 0, 1,
                                       3, 3, 0, 0, 0, 0, 0, 0, node);
      },
      "ASSERT_FS", "atomic_winograd_neuron_gen_cmd", "output_w >= 4");
}

// ---- 8-bit ----

struct FixCase {
  const char *what;
  bool si, sw, sb, relu, bias;
  int rshift;
  int span_in, span_w;
  bool wide;  // 16-bit result
};

TEST(ConvFix8b, MatchesDirectConvolutionWithShiftReluAndSaturation) {
  const FixCase cases[] = {
      {"signed input and weights, bias, shift 3", true, true, true, false, true, 3, 100, 100, false},
      {"unsigned input, ReLU", false, true, true, true, true, 2, 200, 60, false},
      {"unsigned everything, no shift: saturates at 255", false, false, false, false, false, 0, 200, 100, false},
      {"16-bit result, shift 1", true, true, true, false, true, 1, 120, 120, true},
  };
  const int n = 5, ic = 6, oc = 3, ih = 5, iw = 6;  // five items: a partial 4N group
  cr::Window p;
  p.kh = 3, p.kw = 2, p.pad_t = 1, p.pad_b = 1, p.pad_l = 0, p.pad_r = 1, p.stride_w = 2, p.dh = 2;
  const int oh = p.out_h(ih), ow = p.out_w(iw);
  for (const FixCase &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(13);
      const cr::T4 in = d.tensor(n, ic, ih, iw, k.si ? k.span_in / 2 : k.span_in, k.si);
      const cr::T4 w = d.tensor(oc, ic, p.kh, p.kw, k.sw ? k.span_w / 2 : k.span_w, k.sw);
      std::vector<double> bias;
      for (int o = 0; o < oc && k.bias; o++) bias.push_back(d.next(k.sb ? 3000 : 6000, k.sb));
      const Placed I = Placed::aligned(lane(2, 0), Kind::I8, ic, ih, iw);
      const Placed O = Placed::aligned(lane(2, 0x10000), k.wide ? Kind::I16 : Kind::I8, oc, oh, ow);
      const Kernel W = Kernel::i8_plane(lane(2, 0x20000), ic, p.kh, p.kw);
      const u32 B = lane(2, 0x30000);
      put(rig, I, in);
      put_kernel(rig, W, w, Kind::I8);
      put_channels(rig, B, bias, Kind::I16);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.wide)
          atomic_conv_neuron_kernel_stride_fix16b_gen_cmd(
              I.addr, O.addr, W.addr, B, n, ic, ih, iw, 0, 0, 0, 0, 0, 0, oc, oh, ow, 0, 0, p.kh, p.kw, p.dh - 1,
              p.dw - 1, int(W.s_ic), int(W.s_oc), int(W.s_h), int(W.s_w), 0, p.pad_t, p.pad_b, p.pad_l, p.pad_r,
              p.stride_h, p.stride_w, k.bias, 0, 0, k.relu, k.rshift, k.si, k.sw, k.sb, 0, 3, 0, node);
        else
          atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
              I.addr, O.addr, W.addr, B, n, ic, ih, iw, int(I.sn), int(I.sc), int(I.sh), int(I.sw), 0, 0, oc, oh, ow,
              0, 0, p.kh, p.kw, p.dh - 1, p.dw - 1, int(W.s_ic), int(W.s_oc), int(W.s_h), int(W.s_w), p.pad_t,
              p.pad_b, p.pad_l, p.pad_r, p.stride_h, p.stride_w, k.bias, 0, 0, k.relu, k.rshift, k.si, k.sw, k.sb, 3,
              3, node);
      }));
      const bool out_signed = !k.relu && (k.si || k.sw || (k.bias && k.sb));
      cr::T4 want = cr::convolution(in, w, bias, 1, p);
      for (auto &v : want.v) v = double(cr::finish(i64(v), k.rshift, k.relu, k.wide ? 16 : 8, out_signed));
      EXPECT_TRUE(same(get(rig, O, n, oc, oh, ow, out_signed), want));
    }
}

// 8-bit Winograd on integer transformed weights (kernels of multiples of 4)
// equals the direct convolution, then the shift and saturation.
TEST(ConvFix8b, WinogradMatchesDirect3x3) {
  const int n = 6, ic = 5, oc = 2, ih = 6, iw = 6;
  cr::Window p;
  p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  const int oh = p.out_h(ih), ow = p.out_w(iw);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(17);
    const cr::T4 in = d.tensor(n, ic, ih, iw, 60);
    cr::T4 g = d.tensor(oc, ic, 3, 3, 1);
    for (auto &v : g.v) v *= 4;
    const std::vector<double> bias = {-300, 500};
    const Placed I = Placed::aligned(lane(0, 0), Kind::I8, ic, ih, iw);
    const Placed O = Placed::aligned(lane(0, 0x10000), Kind::I8, oc, oh, ow);
    const u32 W = lane(0, 0x20000), B = lane(0, 0x30000);
    put(rig, I, in);
    for (int o = 0; o < oc; o++)
      for (int i = 0; i < ic; i++) {
        double gk[3][3];
        for (int r = 0; r < 3; r++)
          for (int q = 0; q < 3; q++) gk[r][q] = g.at(o, i, r, q);
        const auto u = cr::winograd_weights(gk);
        for (int j = 0; j < 16; j++) {
          ASSERT_EQ(u[j], std::floor(u[j]));
          rig.put(W + u64(o) * 0x80000 + ((i / 4) * 16 + j) * 4 + i % 4, raw(u[j], Kind::I8), 1);
        }
      }
    put_channels(rig, B, bias, Kind::I16);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_winograd_neuron_fix8b_gen_cmd(I.addr, O.addr, W, B, n, ic, ih, iw, int(I.sn), int(I.sc), int(I.sh),
                                           int(I.sw), 0, 0, oc, oh, ow, 1, 1, 1, 1, 1, 0, 0, 4, 1, 1, 3, node);
    }));
    cr::T4 want = cr::convolution(in, g, bias, 1, p);
    for (auto &v : want.v) v = double(cr::finish(i64(v), 4, false, 8, true));
    EXPECT_TRUE(same(get(rig, O, n, oc, oh, ow, true), want));
  }
}

// The descriptor words the Parts give for single generators.
TEST(ConvWords, FieldsOfSingleCommands) {
  auto sumc = issued([](cmd_id_node_t *node) { tensor_sumc_gen_cmd(lane(0, 0), lane(0, 0), 1, 100, 2, 2, node); });
  ASSERT_EQ(sumc.size(), 2u);
  EXPECT_EQ(sumc[0].field(214, 12), 1u) << "output C";
  EXPECT_EQ(sumc[0].field(274, 12), 100u) << "input C";
  EXPECT_EQ(sumc[0].word(20), 0x3f800000u);
  EXPECT_EQ(sumc[0].word(2) >> 16 & 1, 1u);
  EXPECT_EQ(sumc[1].field(214, 12), 100u);

  auto dil = issued([](cmd_id_node_t *node) {
    atomic_conv_neuron_gen_cmd(lane(0, 0), lane(0, 0x100), lane(0, 0x200), 0, 1, 1, 8, 8, 0, 0, 1, 4, 8, 0,
                               0, 3, 1, 2, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
  });
  EXPECT_EQ(dil.at(0).word(3) >> 6 & 0xf, 0u);
  EXPECT_EQ(dil.at(0).word(3) >> 10 & 0xf, 1u);
  EXPECT_EQ(dil.at(0).word(1) & ~7u, 0x14008000u);
  EXPECT_EQ(dil.at(0).word(2), 0x11002496u);

  auto fix = issued([](cmd_id_node_t *node) {
    atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(lane(0, 0), lane(0, 0x100), lane(0, 0x200), 0, 4, 1, 2,
                                                   2, 0, 0, 0, 0, 0, 0, 1, 2, 2, 1, 0xfd, 1, 1, 0, 0, 1, 1, 1, 1, 0,
                                                   0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0, 3, node);
  });
  EXPECT_EQ(fix.at(0).word(20), 0xfffffffdu) << "the 8-bit constant -3, sign-extended";
}

// Every field is written through its declaration: a value wider than its field
// fails the merge's check before the window is touched, instead of being cut
// into place (a shift of 32 was once written as 0).
TEST(ConvWords, ValuesWiderThanTheirFieldsFail) {
  const u32 I = lane(0, 0), O = lane(0, 0x100), W = lane(0, 0x200);
  struct Case {
    const char *what;
    std::function<void(cmd_id_node_t *)> issue;
  };
  auto fix8 = [=](int rshift, int out_mode, int input_mode) {
    return [=](cmd_id_node_t *node) {
      atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(I, O, W, 0, 4, 1, 2, 2, 0, 0, 0, 0, 0, 0, 1, 2, 2, 0, 0, 1, 1,
                                                     0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, out_mode, rshift,
                                                     0, 0, 0, input_mode, 3, node);
    };
  };
  const Case cases[] = {
      {"8-bit convolution, right shift 32", fix8(32, 0, 0)},
      {"8-bit convolution, out mode 4", fix8(0, 4, 0)},
      {"8-bit convolution, input mode 4", fix8(0, 0, 4)},
      {"16-bit depthwise, right shift 32",
       [=](cmd_id_node_t *node) {
         atomic_depthwise_fix16b_gen_cmd(I, W, O, 0, 4, 1, 2, 2, 2, 2, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 2, 32, 0, 0, 0,
                                         0, 0, 0, 0, node);
       }},
      {"8-bit fully connected, ReLU field 2",
       [=](cmd_id_node_t *node) {
         atomic_fc_fix8b_gen_cmd(0, 0, 0, I, W, O, 0, 4, 1, 4, 1, 4, 4, 0, 0, 0, 2, 0, 0, 0, 0, node);
       }},
      {"8-bit pooling, out mode 4",
       [=](cmd_id_node_t *node) {
         atomic_pooling_fix8b_gen_cmd(I, 0, O, 0, 4, 1, 2, 2, 1, 1, 2, 2, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      0, 4, node);
       }},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    expect_bd_assert(k.issue, "ASSERT", "write_cmd", "0");
  }
}

}  // namespace
}  // namespace zv::test::conv
