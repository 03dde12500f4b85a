// Pooling, depthwise, matrix product, image sum and decompress commands on the
// chip model against plain references, and the 8-bit average's reciprocal
// tables; every case under eager and deferred schedules, checker on.
#include "conv_rig.h"
#include "cmd/bd_conv.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_pool.h"

namespace zv::test::conv {
namespace {

cr::Window window(int kh, int kw, int pt, int pb, int pl, int pr, int sh, int sw, int ins_h = 0, int ins_w = 0) {
  cr::Window p;
  p.kh = kh, p.kw = kw, p.pad_t = pt, p.pad_b = pb, p.pad_l = pl, p.pad_r = pr, p.stride_h = sh, p.stride_w = sw;
  p.ins_h = ins_h, p.ins_w = ins_w;
  return p;
}

TEST(PoolFloat, MaxAndAverageMatchTheReference) {
  struct Case {
    const char *what;
    int n, c, ih, iw;
    cr::Window p;
    bool max;
    float scale;
  } cases[] = {
      {"max 3x3 stride 2, pads", 2, 5, 7, 8, window(3, 3, 1, 1, 1, 0, 2, 2), true, 0},
      {"max with inserted zeros", 1, 3, 4, 4, window(2, 2, 0, 1, 1, 0, 1, 1, 1, 1), true, 0},
      {"average 2x3: the sum with padding as 0, times 1/8", 1, 70, 5, 6, window(2, 3, 1, 0, 1, 1, 1, 2), false,
       1.0f / 8},
      {"plain window sum", 2, 4, 6, 5, window(3, 2, 0, 2, 1, 1, 2, 1), false, 1.0f},
  };
  for (const auto &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(21);
      const cr::T4 in = d.tensor(k.n, k.c, k.ih, k.iw, 20);
      const int oh = k.p.out_h(k.ih), ow = k.p.out_w(k.iw);
      const Placed I = Placed::aligned(lane(6, 0), Kind::F32, k.c, k.ih, k.iw);
      const Placed O = Placed::aligned(lane(6, 0x20000), Kind::F32, k.c, oh, ow);
      put(rig, I, in);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        const cr::Window &p = k.p;
        if (k.max)
          atomic_max_pooling_gen_cmd(I.addr, O.addr, k.n, k.c, k.ih, k.iw, oh, ow, p.kh, p.kw, p.pad_t, p.pad_b,
                                     p.pad_l, p.pad_r, p.stride_h, p.stride_w, p.ins_w, p.ins_h, node);
        else
          atomic_avg_pooling_gen_cmd(I.addr, O.addr, k.n, k.c, k.ih, k.iw, oh, ow, p.kh, p.kw, p.pad_t, p.pad_b,
                                     p.pad_l, p.pad_r, p.stride_h, p.stride_w, p.ins_w, p.ins_h, fbits(k.scale), node);
      }));
      cr::T4 want = cr::pool(in, k.p, k.max);
      if (!k.max)
        for (auto &v : want.v) v = double(float(v) * k.scale);
      EXPECT_TRUE(same(get(rig, O, k.n, k.c, oh, ow), want));
    }
}

// 4100 channels and 2 items: one command per item and group of 4032 channels.
TEST(PoolFloat, ChannelsBeyond4095AreCutPerItem) {
  const int n = 2, c = 4100, ih = 2, iw = 3;
  const cr::Window p = window(2, 2, 0, 0, 0, 1, 1, 1);
  const int oh = p.out_h(ih), ow = p.out_w(iw);
  for (const Sched &s : {all_schedules()[0], all_schedules()[2]}) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(23);
    const cr::T4 in = d.tensor(n, c, ih, iw, 30);
    const Placed I = Placed::aligned(lane(0, 0), Kind::F32, c, ih, iw);
    const Placed O = Placed::aligned(lane(0, 0x40000), Kind::F32, c, oh, ow);
    put(rig, I, in);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_max_pooling_gen_cmd(I.addr, O.addr, n, c, ih, iw, oh, ow, 2, 2, 0, 0, 0, 1, 1, 1, 0, 0, node);
    }));
    EXPECT_EQ(rig.ids().bd_cmd_id, 4u);
    EXPECT_TRUE(same(get(rig, O, n, c, oh, ow), cr::pool(in, p, true)));
  }
  auto cmds = issued([](cmd_id_node_t *node) {
    atomic_max_pooling_gen_cmd(lane(0, 0), lane(0, 0x40000), 2, 4100, 2, 3, 1, 2, 2, 2, 0, 0, 0, 0, 1, 1, 0, 0,
                               node);
  });
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[1].word(19), lane(0, 63 * 32 * 4)) << "the second group 63 rows of planes on";
  EXPECT_EQ(cmds[1].field(214, 12), 68u);
  EXPECT_EQ(cmds[2].word(19), lane(0, 65 * 32 * 4)) << "item 1 after the 65 rows of item 0";
}

TEST(PoolFloat, ExtentOf2048IsRefused) {
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_avg_pooling_gen_cmd(lane(0, 0), lane(0, 0x1000), 1, 1, 2046, 1, 1, 1, 2, 1, 1, 1, 0, 0, 1, 1, 0,
                                   0, 0x3f800000, node);
      },
      "ASSERT_FS", "__atomic_avg_pooling_gen_cmd",
      "(input_h - 1) * (ins0_h + 1) + 1 + pad_h_top + pad_h_bottom < (1 << 11)");
}

TEST(PoolFix8b, ReciprocalTablesAreTheClosestRatios) {
  for (int x = 0; x < 256; x++) {
    int i, e;
    cr::reciprocal(x, &i, &e);
    EXPECT_EQ(dev_table_i[x], i) << x;
    EXPECT_EQ(dev_table_e[x], e) << x;
  }
  EXPECT_EQ(dev_table_i[9], 57);
  EXPECT_NE(dev_table_i[240], 0) << "areas 226 to 255 average to non-zero values";
}

TEST(PoolFix8b, MaxAverageAndDepthwiseMatchTheReference) {
  struct Case {
    const char *what;
    int mode;  // 0 max, 1 average, 2 depthwise
    cr::Window p;
    bool si, relu, bias;
    int rshift;
  } cases[] = {
      {"max of signed data", 0, window(3, 3, 1, 1, 1, 1, 2, 2), true, false, false, 0},
      {"average 3x3: multiplier 57, shift 9", 1, window(3, 3, 1, 1, 0, 0, 1, 1), false, false, false, 0},
      {"average 15x16 (area 240)", 1, window(15, 16, 0, 0, 0, 0, 1, 1), true, false, false, 1},
      {"average 16x16: a shift by 8", 1, window(16, 16, 0, 0, 0, 0, 1, 1), false, false, false, 0},
      {"depthwise with bias, ReLU, shift 2", 2, window(3, 2, 1, 0, 0, 1, 1, 2), true, true, true, 2},
  };
  const int n = 6, c = 5, ih = 16, iw = 17;
  for (const auto &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(29);
      const cr::T4 in = d.tensor(n, c, ih, iw, k.si ? 127 : 255, k.si);
      const cr::T4 w = d.tensor(c, 1, k.p.kh, k.p.kw, 9);
      const std::vector<double> bias = {100, -200, 300, -400, 50};
      const int oh = k.p.out_h(ih), ow = k.p.out_w(iw);
      const Placed I = Placed::aligned(lane(0, 0), Kind::I8, c, ih, iw);
      const Placed O = Placed::aligned(lane(0, 0x10000), Kind::I8, c, oh, ow);
      const u32 W = lane(0, 0x20000), B = lane(0, 0x30000);
      put(rig, I, in);
      for (int ch = 0; ch < c; ch++)
        for (int j = 0; j < k.p.kh * k.p.kw; j++) rig.put(W + u64(ch) * 0x80000 + j, raw(w.v[ch * k.p.kh * k.p.kw + j], Kind::I8), 1);
      put_channels(rig, B, bias, Kind::I16);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        const cr::Window &p = k.p;
        atomic_pooling_fix8b_gen_cmd(I.addr, W, O.addr, B, n, c, ih, iw, oh, ow, p.kh, p.kw, p.pad_t, p.pad_b,
                                     p.pad_l, p.pad_r, p.stride_h, p.stride_w, 0, 0, k.mode, k.rshift, k.bias, 0,
                                     k.si, k.mode == 2, 1, 0, k.relu, node);
      }));
      cr::T4 want = k.mode == 2 ? cr::depthwise(in, w, bias, k.p) : cr::pool(in, k.p, k.mode == 0);
      const bool out_signed = !k.relu && k.si;
      // An average multiplies by the closest 8-bit ratio to 1 / area.
      int mult = 1, e = 0;
      if (k.mode == 1 && k.p.kh * k.p.kw < 256) cr::reciprocal(k.p.kh * k.p.kw, &mult, &e);
      if (k.mode == 1 && k.p.kh * k.p.kw == 256) e = 8;
      for (auto &v : want.v) v = double(cr::finish(i64(v) * mult, k.rshift + e, k.relu, 8, out_signed));
      EXPECT_TRUE(same(get(rig, O, n, c, oh, ow, out_signed), want));
    }
  expect_bd_assert(
      [](cmd_id_node_t *node) {
        atomic_pooling_fix8b_gen_cmd(lane(0, 0), 0, lane(0, 0x1000), 0, 4, 1, 20, 20, 1, 1, 15, 18, 0, 0, 0, 0,
                                     1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, node);
      },
      "ASSERT_FS", "atomic_pooling_fix8b_gen_cmd", "(area & (area - 1)) == 0");
}

TEST(Depthwise, FloatDilatedAndSixteenBit) {
  const int n = 5, c = 66, ih = 7, iw = 6;
  const cr::Window plain = window(3, 3, 1, 1, 1, 1, 1, 2);
  cr::Window dil = window(3, 2, 2, 2, 1, 1, 2, 1);
  dil.dh = 2, dil.dw = 3;
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(31);
    std::vector<double> bias;
    for (int ch = 0; ch < c; ch++) bias.push_back(d.next(50));
    // Float: plain and dilated, weights kh * kw apart per lane row.
    for (const cr::Window &p : {plain, dil}) {
      const cr::T4 in = d.tensor(n, c, ih, iw, 6), w = d.tensor(c, 1, p.kh, p.kw, 4);
      const int oh = p.out_h(ih), ow = p.out_w(iw);
      const Placed I = Placed::aligned(lane(0, 0), Kind::F32, c, ih, iw);
      const Placed O = Placed::aligned(lane(0, 0x10000), Kind::F32, c, oh, ow);
      const u32 W = lane(0, 0x20000), B = lane(0, 0x30000);
      put(rig, I, in);
      const int taps = p.kh * p.kw;
      for (int ch = 0; ch < c; ch++)
        for (int j = 0; j < taps; j++)
          rig.put(W + u64(ch % 64) * 0x80000 + (u64(ch / 64) * taps + j) * 4, fbits(w.v[ch * taps + j]));
      put_channels(rig, B, bias, Kind::F32);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_depthwise_with_dilation_gen_cmd(I.addr, O.addr, W, B, n, c, ih, iw, oh, ow, p.kh, p.kw, p.pad_t,
                                               p.pad_b, p.pad_l, p.pad_r, p.dh, p.dw, p.stride_h, p.stride_w, 0, 0, 1,
                                               node);
      }));
      EXPECT_TRUE(same(get(rig, O, n, c, oh, ow), cr::depthwise(in, w, bias, p)));
    }
    // 8-bit input and weights, 16-bit bias and result.
    const cr::Window &p = plain;
    const cr::T4 in = d.tensor(n, c, ih, iw, 127), w = d.tensor(c, 1, p.kh, p.kw, 127);
    const int oh = p.out_h(ih), ow = p.out_w(iw), taps = p.kh * p.kw;
    const Placed I = Placed::aligned(lane(0, 0x40000), Kind::I8, c, ih, iw);
    const Placed O = Placed::aligned(lane(0, 0x50000), Kind::I16, c, oh, ow);
    const u32 W = lane(0, 0x60000), B = lane(0, 0x70000);
    put(rig, I, in);
    for (int ch = 0; ch < c; ch++)
      for (int j = 0; j < taps; j++)
        rig.put(W + u64(ch % 64) * 0x80000 + u64(ch / 64) * taps + j, raw(w.v[ch * taps + j], Kind::I8), 1);
    put_channels(rig, B, bias, Kind::I16);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_depthwise_fix16b_gen_cmd(I.addr, W, O.addr, B, n, c, ih, iw, oh, ow, p.kh, p.kw, p.pad_t, p.pad_b,
                                      p.pad_l, p.pad_r, p.stride_h, p.stride_w, 0, 0, 2, 1, 1, 0, 1, 1, 1, 0, 0, node);
    }));
    cr::T4 want = cr::depthwise(in, w, bias, p);
    for (auto &v : want.v) v = double(cr::finish(i64(v), 1, false, 16, true));
    EXPECT_TRUE(same(get(rig, O, n, c, oh, ow, true), want));
  }
}

// ---- Matrices ----

// A matrix of `rows` rows spread over `sec_c` lanes of `sec_w` elements from
// lane 0, rows padded to 128 bytes per lane.
struct Mat {
  u32 addr;
  int rows, sec_c, sec_w, size;
  u64 at(int k, int j) const {
    const int lane = j / sec_w, pitch = (sec_w * size + 127) / 128 * 128;
    return u64(addr) + u64(lane) * 0x80000 + u64(k) * pitch + u64(j % sec_w) * size;
  }
};

TEST(FullyConnected, FloatWithBiasTransposeAndResultAdd) {
  struct Case {
    const char *what;
    bool trans, bias, add;
    int M, N, K, l_sec_w, r_sec_w;
  } cases[] = {
      {"plain with bias", false, true, false, 5, 70, 100, 32, 2},
      {"L transposed, result add", true, false, true, 67, 9, 13, 2, 1},
      {"K filling its last section", false, false, true, 3, 4, 96, 32, 1},
  };
  for (const auto &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(37);
      const int l_cols_stored = k.trans ? k.M : k.K, l_rows = k.trans ? k.K : k.M;
      const Mat L{lane(0, 0), l_rows, (l_cols_stored + k.l_sec_w - 1) / k.l_sec_w, k.l_sec_w, 4};
      const Mat R{lane(0, 0x20000), k.K, (k.N + k.r_sec_w - 1) / k.r_sec_w, k.r_sec_w, 4};
      const Mat Y{lane(0, 0x40000), k.M, R.sec_c, k.r_sec_w, 4};
      const Mat B{lane(0, 0x60000), 1, R.sec_c, k.r_sec_w, 4};
      std::vector<double> l(size_t(k.M) * k.K), r(size_t(k.K) * k.N), b(k.N), y0(size_t(k.M) * k.N);
      for (int i = 0; i < k.M; i++)
        for (int j = 0; j < k.K; j++) {
          l[i * k.K + j] = d.next(5);
          rig.put(k.trans ? L.at(j, i) : L.at(i, j), fbits(l[i * k.K + j]));
        }
      for (int i = 0; i < k.K; i++)
        for (int j = 0; j < k.N; j++) rig.put(R.at(i, j), fbits(r[i * k.N + j] = d.next(5)));
      for (int j = 0; j < k.N; j++) rig.put(B.at(0, j), fbits(b[j] = d.next(30)));
      for (int i = 0; i < k.M; i++)
        for (int j = 0; j < k.N; j++) rig.put(Y.at(i, j), fbits(y0[i * k.N + j] = d.next(30)));
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_fc_gen_cmd(k.bias, k.trans, k.add, L.addr, R.addr, Y.addr, B.addr, L.sec_w, L.sec_c, R.sec_w, R.sec_c,
                          k.M, k.K, node);
      }));
      for (int i = 0; i < k.M; i++)
        for (int j = 0; j < k.N; j++) {
          double want = (k.bias ? b[j] : 0) + (k.add ? y0[i * k.N + j] : 0);
          for (int q = 0; q < k.K; q++) want += l[i * k.K + q] * r[q * k.N + j];
          ASSERT_EQ(fval(rig.get(Y.at(i, j))), want) << i << ", " << j;
        }
    }
  auto words = issued([](cmd_id_node_t *node) {
    atomic_fc_gen_cmd(0, 0, 0, lane(0, 0), lane(0, 0x1000), lane(0, 0x2000), 0, 32, 4, 1, 1, 1, 100, node);
    atomic_fc_gen_cmd(0, 0, 0, lane(0, 0), lane(0, 0x1000), lane(0, 0x2000), 0, 32, 3, 1, 1, 1, 96, node);
  });
  EXPECT_EQ(words.at(0).word(11), 4u << 6) << "100 mod 32";
  EXPECT_EQ(words.at(1).word(11), 32u << 6) << "96 fills its last section";
}

TEST(FullyConnected, EightBitWithSixteenBitResult) {
  const int M = 6, N = 70, K = 130, sec = 128;
  struct Case {
    const char *what;
    int prec, rshift, lshift;
    bool relu, add, signed_y;
  } cases[] = {
      {"8-bit result, ReLU, shift 6", 0, 6, 0, true, false, false},
      {"16-bit result added to the old one shifted left by 2", 3, 1, 2, false, true, true},
  };
  for (const auto &k : cases)
    for (const Sched &s : {all_schedules()[0], all_schedules()[1]}) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(41);
      const Mat L{lane(0, 0), M, 2, sec, 1}, R{lane(0, 0x10000), K, 35, 2, 1};
      const Mat Y{lane(0, 0x20000), M, 35, 2, k.prec == 3 ? 2 : 1}, B{lane(0, 0x30000), 1, 35, 2, 2};
      std::vector<double> l(M * K), r(K * N), b(N), y0(M * N);
      for (int i = 0; i < M * K; i++) rig.put(L.at(i / K, i % K), raw(l[i] = d.next(12), Kind::I8), 1);
      for (int i = 0; i < K * N; i++) rig.put(R.at(i / N, i % N), raw(r[i] = d.next(12), Kind::I8), 1);
      for (int j = 0; j < N; j++) rig.put(B.at(0, j), raw(b[j] = d.next(20000), Kind::I16), 2);
      const Kind yk = k.prec == 3 ? Kind::I16 : Kind::I8;
      for (int i = 0; i < M * N; i++) rig.put(Y.at(i / N, i % N), raw(y0[i] = d.next(1000), yk), Y.size);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_fc_fix8b_gen_cmd(1, 0, k.add, L.addr, R.addr, Y.addr, B.addr, sec, 2, 2, 35, M, K, k.signed_y, k.lshift,
                                k.rshift, k.relu, 1, 1, 1, k.prec, node);
      }));
      for (int i = 0; i < M; i++)
        for (int j = 0; j < N; j++) {
          i64 v = i64(b[j]) + (k.add ? i64(y0[i * N + j]) * (i64(1) << k.lshift) : 0);
          for (int q = 0; q < K; q++) v += i64(l[i * K + q]) * i64(r[q * N + j]);
          const double want = double(cr::finish(v, k.rshift, k.relu, k.prec == 3 ? 16 : 8, k.signed_y));
          ASSERT_EQ(value(rig.get(Y.at(i, j), Y.size), yk, k.signed_y), want) << i << ", " << j;
        }
    }
}

TEST(FullyConnected, ImageSumAndDecompress) {
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    BdRig rig(s);
    Data d(43);
    // Image sum: 5 images of 70 channels of 3 x 11 into one plane, added to it.
    const int n = 5, c = 70, h = 3, w = 11;
    const cr::T4 in = d.tensor(n, c, h, w, 9), old = d.tensor(1, c, h, w, 9);
    const Placed I = Placed::aligned(lane(0, 0), Kind::F32, c, h, w);
    const Placed O = Placed::aligned(lane(0, 0x20000), Kind::F32, c, h, w);
    put(rig, I, in);
    put(rig, O, old);
    // Decompress: in every lane, 5 bytes scattered to their 16-bit positions.
    const u32 src = lane(0, 0x30000), table = lane(0, 0x30100), dst = lane(0, 0x30200);
    const u16 pos[5] = {7, 0, 300, 31, 8};
    for (u32 lane = 0; lane < 64; lane++)
      for (int i = 0; i < 5; i++) {
        rig.put(src + lane * 0x80000 + 2 * i, pos[i], 2);
        rig.put(table + lane * 0x80000 + i, (lane * 5 + i) & 0xff, 1);
      }
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      atomic_img_sum_gen_cmd(I.addr, O.addr, n, c, h, w, 1, node);
      atomic_parallel_decompress_gen_cmd(src, table, dst, 5, 0, node);
    }));
    cr::T4 want = old;
    for (int b = 0; b < n; b++)
      for (int ch = 0; ch < c; ch++)
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++) want.at(0, ch, y, x) += in.at(b, ch, y, x);
    EXPECT_TRUE(same(get(rig, O, 1, c, h, w), want));
    for (u32 lane = 0; lane < 64; lane += 21)
      for (int i = 0; i < 5; i++) EXPECT_EQ(rig.get(dst + lane * 0x80000 + pos[i], 1), (lane * 5 + i) & 0xff);
  }
  auto words = issued([](cmd_id_node_t *node) { atomic_img_sum_gen_cmd(lane(0, 0), lane(0, 0x100), 4, 8, 3, 11, 0, node); });
  EXPECT_EQ(words.at(0).field(242, 16), 64u) << "a section of 33 elements rounded to 64";
}

}  // namespace
}  // namespace zv::test::conv
