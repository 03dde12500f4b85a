// Slice plans of the convolution, deconvolution and pooling layers: worked
// cases, and over many generated layers, that every plan returned fits a lane's
// local memory and keeps to the engines' channel limit.
#include <gtest/gtest.h>

#include "fw_test.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "cmd/data_split.h"

namespace zv::test {
namespace {

constexpr uint64_t kLocalMem = 0x80000;
constexpr u32 kUntouched = 0xdeadbeefu;

uint64_t cdiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t align32(uint64_t x) { return cdiv(x, 32) * 32; }

struct Conv {
  int n, ic, ih, iw, oc, oh, ow, groups, kh, kw, dh, dw, sh, sw, pt, pb, pl, pr, bias;
};

std::ostream &operator<<(std::ostream &os, const Conv &c) {
  return os << c.n << "x" << c.ic << "x" << c.ih << "x" << c.iw << " -> " << c.oc << "x" << c.oh
            << "x" << c.ow << " g" << c.groups << " k" << c.kh << "x" << c.kw << " d" << c.dh
            << "x" << c.dw << " s" << c.sh << "x" << c.sw << " p" << c.pt << "," << c.pb << ","
            << c.pl << "," << c.pr << " bias " << c.bias;
}

// A layer with the output extent that its kernel, pads and strides give.
Conv conv(int n, int ic, int ih, int iw, int oc, int k, int s, int p, int groups = 1) {
  Conv c = {n, ic, ih, iw, oc, 0, 0, groups, k, k, 1, 1, s, s, p, p, p, p, 0};
  c.oh = (ih + 2 * p - k) / s + 1;
  c.ow = (iw + 2 * p - k) / s + 1;
  return c;
}

conv_secs_info_t untouched_conv() {
  return {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
}

int split_f32(const Conv &c, conv_secs_info_t *out) {
  return global_conv_data_split(c.n, c.ic, c.ih, c.iw, c.oc, c.oh, c.ow, c.groups, c.kh, c.kw,
                                c.dh, c.dw, c.sh, c.sw, c.pt, c.pb, c.pl, c.pr, c.bias, out);
}
int split_16(const Conv &c, conv_secs_info_t *out, int ins_h = 0) {
  return global_conv_data_split_fix16b(c.n, c.ic, c.ih, c.iw, c.oc, c.oh, c.ow, c.groups, c.kh,
                                       c.kw, c.dh, c.dw, c.sh, c.sw, c.bias, ins_h, 0, out);
}
int split_8(const Conv &c, conv_secs_info_t *out, int ins_h = 0) {
  return global_conv_data_split_fix8b(c.n, c.ic, c.ih, c.iw, c.oc, c.oh, c.ow, c.groups, c.kh,
                                      c.kw, c.dh, c.dw, c.sh, c.sw, c.bias, ins_h, 0, out);
}

void expect_secs(const conv_secs_info_t &got, const conv_secs_info_t &want) {
  EXPECT_EQ(got.ocsecs, want.ocsecs);
  EXPECT_EQ(got.icsecs, want.icsecs);
  EXPECT_EQ(got.nsecs, want.nsecs);
  EXPECT_EQ(got.hsecs, want.hsecs);
  EXPECT_EQ(got.wsecs, want.wsecs);
}

TEST(ConvSplitF32, WorkedCases) {
  const struct {
    const char *what;
    Conv layer;
    int ok;
    conv_secs_info_t secs;
  } cases[] = {
      {"224x224 image cut into three row sections", conv(1, 3, 224, 224, 64, 3, 1, 1), 1,
       {1, 1, 1, 3, 1}},
      {"4032 output channels in one command", conv(1, 64, 4, 4, 4032, 1, 1, 0), 1,
       {1, 1, 1, 1, 1}},
      {"4033 output channels need two sections", conv(1, 64, 4, 4, 4033, 1, 1, 0), 1,
       {2, 1, 1, 1, 1}},
      {"4095 output channels need two sections", conv(1, 64, 4, 4, 4095, 1, 1, 0), 1,
       {2, 1, 1, 1, 1}},
      {"5000 input channels need two sections", conv(1, 5000, 8, 8, 64, 1, 1, 0), 1,
       {1, 2, 1, 1, 1}},
      {"padded width below 2048 fits whole", conv(1, 1, 14, 2000, 1, 3, 1, 0), 1,
       {1, 1, 1, 1, 1}},
      // The piece area of a padded width of 2048 or more no longer fits: two
      // row sections, with pieces of (2047 - 3) + 1 = 2045 output columns.
      {"padded width from 2048 adds the piece area", conv(1, 1, 14, 2100, 1, 3, 1, 0), 1,
       {1, 1, 1, 2, 1}},
      {"batch cut until one item per section", conv(16, 64, 112, 112, 64, 3, 1, 1), 1,
       {1, 1, 16, 1, 1}},
      {"one output row too wide: columns cut", conv(1, 64, 1, 60000, 64, 1, 1, 0), 1,
       {1, 1, 1, 1, 4}},
      {"weights of one lane fill local memory", conv(1, 64, 64, 64, 64, 32, 1, 0), 0,
       untouched_conv()},
      // 65536 x 65536 x 11 x 11 float weights, 65 GB: one input lane row per
      // section, and 2 output lane rows (62 KB of weights) per section.
      {"weights far beyond 32 bits", conv(1, 65536, 7, 7, 65536, 11, 1, 5), 1,
       {512, 1024, 1, 1, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    conv_secs_info_t out = untouched_conv();
    EXPECT_EQ(split_f32(c.layer, &out), c.ok);
    expect_secs(out, c.secs);
  }
}

TEST(ConvSplitFix16, WorkedCases) {
  const struct {
    const char *what;
    Conv layer;
    int ok;
    conv_secs_info_t secs;
  } cases[] = {
      {"33 output columns in three sections", conv(1, 16, 10, 35, 64, 3, 1, 0), 1,
       {1, 1, 1, 1, 3}},
      {"rows halved; batch groups and lanes counted", conv(5, 64, 226, 226, 128, 3, 1, 0), 1,
       {2, 1, 2, 2, 14}},
      {"weights of 512 KB: only the column count written", conv(1, 4096, 16, 16, 64, 8, 1, 0), 0,
       {kUntouched, kUntouched, kUntouched, kUntouched, 1}},
      {"one output row too wide", conv(1, 64, 6, 100000, 64, 3, 1, 0), 0,
       {kUntouched, kUntouched, kUntouched, kUntouched, 6250}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    conv_secs_info_t out = untouched_conv();
    EXPECT_EQ(split_16(c.layer, &out), c.ok);
    expect_secs(out, c.secs);
  }
}

TEST(ConvSplitFix8, WorkedCases) {
  const struct {
    const char *what;
    Conv layer;
    int ok;
    conv_secs_info_t secs;
  } cases[] = {
      {"small layer whole", conv(4, 16, 8, 8, 32, 3, 1, 1), 1, {1, 1, 1, 1, kUntouched}},
      // 5 items are two groups of four: nsecs counts groups.
      {"five items cut into two groups", conv(5, 64, 114, 114, 64, 3, 1, 0), 1,
       {1, 1, 2, 1, kUntouched}},
      {"5000 output channels need two sections", conv(1, 4, 4, 4, 5000, 1, 1, 0), 1,
       {2, 1, 1, 1, kUntouched}},
      {"weights of one lane fill local memory", conv(1, 4096, 16, 16, 64, 8, 1, 0), 0,
       untouched_conv()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    conv_secs_info_t out = untouched_conv();
    EXPECT_EQ(split_8(c.layer, &out), c.ok);
    expect_secs(out, c.secs);
  }
}

TEST(ConvSplitFix16, OfmapSizeIs256BytesPerRow) {
  EXPECT_EQ(conv16_ofmap_csize_local(0), 0);
  EXPECT_EQ(conv16_ofmap_csize_local(1), 256);
  EXPECT_EQ(conv16_ofmap_csize_local(37), 37 * 256);
}

struct Deconv {
  int n, ic, ih, iw, oc, oh, ow, k, s, p, groups;
};

std::ostream &operator<<(std::ostream &os, const Deconv &d) {
  return os << d.n << "x" << d.ic << "x" << d.ih << "x" << d.iw << " -> " << d.oc << "x" << d.oh
            << "x" << d.ow << " k" << d.k << " s" << d.s << " p" << d.p << " g" << d.groups;
}

Deconv deconv(int n, int ic, int ih, int iw, int oc, int k, int s, int p, int groups = 1) {
  return {n, ic, ih, iw, oc, (ih - 1) * s + k - 2 * p, (iw - 1) * s + k - 2 * p, k, s, p, groups};
}

int split_deconv(const Deconv &d, deconv_secs_info_t *out) {
  // The wrapper passes other layer values in the reserved arguments.
  return get_deconv_secs_info(d.n, d.ic, d.ih, d.iw, d.ic, d.oc, d.k, d.k, d.n, d.oc, d.oh, d.ow,
                              1, d.s, 1, d.p, d.groups, out);
}

TEST(DeconvSplit, WorkedCases) {
  const struct {
    const char *what;
    Deconv layer;
    deconv_secs_info_t secs;
  } cases[] = {
      {"small layer whole", deconv(1, 16, 8, 8, 16, 4, 2, 1), {1, 1, 1, 1}},
      {"batch of four in two sections", deconv(4, 64, 64, 64, 64, 4, 2, 1), {1, 1, 2, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    deconv_secs_info_t out = {kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(split_deconv(c.layer, &out), 1);
    EXPECT_EQ(out.ocsecs, c.secs.ocsecs);
    EXPECT_EQ(out.icsecs, c.secs.icsecs);
    EXPECT_EQ(out.nsecs, c.secs.nsecs);
    EXPECT_EQ(out.hsecs, c.secs.hsecs);
  }
}

struct Pool {
  int n, c, ih, iw, oh, ow, kh, kw, ph, pw, sh, sw;
};

int split_pool(const Pool &p, pooling_secs_info_t *out) {
  return global_pooling_data_split(p.n, p.c, p.ih, p.iw, p.oh, p.ow, p.kh, p.kw, p.ph, p.pw, p.ph,
                                   p.pw, p.sh, p.sw, 0, out);
}

TEST(PoolingSplit, WorkedCases) {
  const struct {
    const char *what;
    Pool layer;
    int ok;
    u32 c_step, h_step;
  } cases[] = {
      // 2048 planes fit; a quarter per input buffer, an eighth of that per slice.
      {"all planes fit", {1, 3, 8, 8, 4, 4, 2, 2, 0, 0, 2, 2}, 1, 4096, 8},
      // 2.6 planes per buffer for 4 rows of lanes: two planes per lane per slice.
      {"planes cut by lane rows", {4, 64, 112, 112, 56, 56, 2, 2, 0, 0, 2, 2}, 1, 128, 112},
      // 0.65 planes per buffer: int(224 x 0.653 x 0.98) = 143 rows, window 3,
      // stride 2: (143 - 3) / 2 + 1 = 71 output rows per slice.
      {"rows cut when one plane does not fit", {1, 64, 224, 224, 112, 112, 3, 3, 1, 1, 2, 2}, 1,
       64, 142},
      {"pad equal to the window", {1, 3, 8, 8, 5, 5, 2, 2, 2, 2, 2, 2}, 1, 4096, 10},
      {"pad above the window height", {1, 3, 8, 8, 6, 4, 2, 2, 3, 0, 2, 2}, 0, kUntouched,
       kUntouched},
      {"pad above the window width", {1, 3, 8, 8, 4, 6, 2, 2, 0, 3, 2, 2}, 0, kUntouched,
       kUntouched},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    pooling_secs_info_t out = {kUntouched, kUntouched, -1.0f};
    EXPECT_EQ(split_pool(c.layer, &out), c.ok);
    EXPECT_EQ(out.c_step, c.c_step);
    EXPECT_EQ(out.h_step, c.h_step);
    EXPECT_EQ(out.input_ratio, c.ok ? 0.5f : -1.0f);
  }
}

// ---------------------------------------------------------------------------
// Generated layers. The reference byte counts below are the worker layouts'
// needs for the largest slice of a plan (weights of a section, two input and
// two output buffers), without the bank rounding the splits add on top.

// Each generated test seeds it, so its cases do not depend on which tests ran
// before it in the process.
std::mt19937 &rng() {
  static std::mt19937 r;
  return r;
}
int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng()); }
// Spread evenly over orders of magnitude.
int log_uniform(int lo, int hi) {
  std::uniform_real_distribution<double> d(std::log(lo), std::log(hi + 1.0));
  return std::min(hi, (int)std::exp(d(rng())));
}

Conv random_conv() {
  for (;;) {
    const int batch[] = {1, 1, 1, 2, 3, 4, 5, 8, 32};
    Conv c;
    c.n = batch[uniform(0, 8)];
    c.ic = log_uniform(1, 8192);
    c.oc = log_uniform(1, 8192);
    const int g = uniform(0, 9);
    c.groups = g < 7 ? 1 : g < 9 ? 2 : c.ic;
    if (g == 9) c.oc = c.ic;  // depthwise
    if (c.ic < c.groups || c.oc < c.groups) continue;
    c.ih = log_uniform(1, 3000);
    c.iw = log_uniform(1, 3000);
    c.kh = uniform(1, 7);
    c.kw = uniform(0, 9) == 0 ? 11 : uniform(1, 7);
    c.dh = uniform(1, 2);
    c.dw = uniform(1, 2);
    c.sh = uniform(1, 4);
    c.sw = uniform(1, 4);
    c.pt = uniform(0, 3), c.pb = uniform(0, 3), c.pl = uniform(0, 3), c.pr = uniform(0, 3);
    c.bias = uniform(0, 1);
    const int khe = c.dh * (c.kh - 1) + 1, kwe = c.dw * (c.kw - 1) + 1;
    if (c.ih + c.pt + c.pb < khe || c.iw + c.pl + c.pr < kwe) continue;
    c.oh = (c.ih + c.pt + c.pb - khe) / c.sh + 1;
    c.ow = (c.iw + c.pl + c.pr - kwe) / c.sw + 1;
    return c;
  }
}

struct Coverage {
  int plans = 0, refused = 0, oc = 0, ic = 0, n = 0, h = 0, w = 0;
  void count(const conv_secs_info_t &s, bool with_w) {
    plans++;
    oc += s.ocsecs > 1;
    ic += s.icsecs > 1;
    n += s.nsecs > 1;
    h += s.hsecs > 1;
    w += with_w && s.wsecs > 1;
  }
};

TEST(ConvSplitF32, EveryPlanFitsAndKeepsChannelLimits) {
  rng().seed(2113);
  Coverage cov;
  for (int i = 0; i < 4000; i++) {
    const Conv c = random_conv();
    SCOPED_TRACE(testing::Message() << c);
    conv_secs_info_t s = untouched_conv();
    if (!split_f32(c, &s)) {
      cov.refused++;
      expect_secs(s, untouched_conv());
      continue;
    }
    const uint64_t ic = c.ic / c.groups, oc = c.oc / c.groups;
    const uint64_t icr = cdiv(ic, 64), ocr = cdiv(oc, 64);
    ASSERT_TRUE(s.ocsecs >= 1 && s.ocsecs <= ocr) << s.ocsecs;
    ASSERT_TRUE(s.icsecs >= 1 && s.icsecs <= icr) << s.icsecs;
    ASSERT_TRUE(s.nsecs >= 1 && s.nsecs <= (u32)c.n) << s.nsecs;
    ASSERT_TRUE(s.hsecs >= 1 && s.hsecs <= (u32)c.oh) << s.hsecs;
    ASSERT_TRUE(s.wsecs >= 1 && s.wsecs <= (u32)c.ow) << s.wsecs;
    if (s.wsecs > 1) {
      EXPECT_TRUE(c.n == 1 && s.hsecs == (u32)c.oh) << "columns cut only per row";
    }

    const uint64_t lanes = cdiv(ocr, s.ocsecs), ics = cdiv(ic, s.icsecs);
    EXPECT_LE(lanes * 64, 4095u) << "output channels of one command";
    EXPECT_LE(ics, 4095u) << "input channels of one command";
    EXPECT_LT((s.icsecs - 1) * ics, ic) << "the last input-channel section is empty";

    const uint64_t items = cdiv(c.n, s.nsecs), v = cdiv(c.oh, s.hsecs), cols = cdiv(c.ow, s.wsecs);
    const uint64_t khe = c.dh * (c.kh - 1) + 1, kwe = c.dw * (c.kw - 1) + 1;
    const uint64_t in_rows = std::min<uint64_t>(c.ih, v * c.sh + khe);
    const uint64_t in_cols = s.wsecs == 1 ? c.iw : std::min<uint64_t>(c.iw, cols * c.sw + kwe);
    const uint64_t weights = 2 * ((c.bias ? ocr * 4 : 0) + lanes * ics * c.kh * c.kw * 4);
    const uint64_t bytes = weights + 2 * items * cdiv(ics, 64) * align32(in_rows * in_cols) * 4 +
                           2 * items * lanes * align32(v * cols) * 4;
    EXPECT_LE(bytes, kLocalMem) << "plan " << s.ocsecs << "/" << s.icsecs << "/" << s.nsecs << "/"
                                << s.hsecs << "/" << s.wsecs;
    cov.count(s, true);
  }
  // The generated layers reach every kind of cut.
  EXPECT_GT(cov.plans, 2000);
  EXPECT_GT(cov.refused, 0);
  EXPECT_GT(cov.oc, 20);
  EXPECT_GT(cov.ic, 20);
  EXPECT_GT(cov.n, 20);
  EXPECT_GT(cov.h, 20);
  EXPECT_GT(cov.w, 0);
}

TEST(ConvSplitFix8, EveryPlanFitsAndKeepsChannelLimits) {
  rng().seed(2114);
  Coverage cov;
  for (int i = 0; i < 4000; i++) {
    const Conv c = random_conv();
    const int ins_h = uniform(0, 3) == 0 ? uniform(1, 2) : 0;
    SCOPED_TRACE(testing::Message() << c << " ins " << ins_h);
    conv_secs_info_t s = untouched_conv();
    if (!split_8(c, &s, ins_h)) {
      cov.refused++;
      expect_secs(s, untouched_conv());
      continue;
    }
    EXPECT_EQ(s.wsecs, kUntouched);
    EXPECT_EQ(s.icsecs, 1u);
    const uint64_t ic = c.ic / c.groups, oc = c.oc / c.groups, groups4 = cdiv(c.n, 4);
    const uint64_t icr = cdiv(ic, 64), ocr = cdiv(oc, 64);
    ASSERT_TRUE(s.ocsecs >= 1 && s.ocsecs <= ocr) << s.ocsecs;
    ASSERT_TRUE(s.nsecs >= 1 && s.nsecs <= groups4) << s.nsecs;
    ASSERT_TRUE(s.hsecs >= 1 && s.hsecs <= (u32)c.oh) << s.hsecs;
    EXPECT_LE(cdiv(oc, s.ocsecs), 4095u) << "output channels of one command";

    const uint64_t lanes = cdiv(ocr, s.ocsecs), items = cdiv(groups4, s.nsecs);
    const uint64_t v = cdiv(c.oh, s.hsecs);
    const uint64_t rows = (v * c.sh + c.dh * (c.kh - 1) + ins_h) / (ins_h + 1);
    const uint64_t weights = 2 * ((c.bias ? 2 * ocr : 0) + lanes * cdiv(ic, 4) * 4 * c.kh * c.kw);
    const uint64_t bytes = weights + 2 * icr * items * align32(c.iw * rows) * 4 +
                           2 * lanes * items * align32(v * c.ow) * 4;
    EXPECT_LE(bytes, kLocalMem) << "plan " << s.ocsecs << "/" << s.nsecs << "/" << s.hsecs;
    cov.count(s, false);
  }
  EXPECT_GT(cov.plans, 2000);
  EXPECT_GT(cov.refused, 0);
  EXPECT_GT(cov.oc, 20);
  EXPECT_GT(cov.n, 20);
  EXPECT_GT(cov.h, 20);
}

TEST(ConvSplitFix16, EveryPlanFits) {
  rng().seed(2115);
  Coverage cov;
  for (int i = 0; i < 4000; i++) {
    const Conv c = random_conv();
    const int ins_h = uniform(0, 3) == 0 ? uniform(1, 2) : 0;
    SCOPED_TRACE(testing::Message() << c << " ins " << ins_h);
    conv_secs_info_t s = untouched_conv();
    const int ok = split_16(c, &s, ins_h);
    EXPECT_EQ(s.wsecs, cdiv(c.ow, 16)) << "written first, whatever the result";
    if (!ok) {
      cov.refused++;
      EXPECT_EQ(s.ocsecs, kUntouched);
      EXPECT_EQ(s.hsecs, kUntouched);
      continue;
    }
    const uint64_t ic = c.ic / c.groups, oc = c.oc / c.groups;
    EXPECT_EQ(s.ocsecs, cdiv(oc, 64));
    EXPECT_EQ(s.icsecs, 1u);
    EXPECT_EQ(s.nsecs, cdiv(c.n, 4));
    ASSERT_TRUE(s.hsecs >= 1 && s.hsecs <= (u32)c.oh) << s.hsecs;
    const uint64_t v = cdiv(c.oh, s.hsecs);
    const uint64_t rows = (v * c.sh + c.dh * (c.kh - 1) + ins_h) / (ins_h + 1);
    const uint64_t bytes = 2 * (c.kw * cdiv(ic, 4) * 4 * c.kh + (c.bias ? 2 : 0)) +
                           2 * cdiv(ic, 64) * align32(c.iw * rows) * 4 + 2 * v * 256;
    EXPECT_LE(bytes, kLocalMem) << "hsecs " << s.hsecs;
    cov.count(s, false);
  }
  EXPECT_GT(cov.plans, 2000);
  EXPECT_GT(cov.refused, 0);
  EXPECT_GT(cov.h, 20);
}

TEST(DeconvSplit, EveryPlanFits) {
  rng().seed(2116);
  Coverage cov;
  for (int i = 0; i < 4000; i++) {
    const int batch[] = {1, 1, 2, 4, 8};
    Deconv d = deconv(batch[uniform(0, 4)], log_uniform(1, 4096), log_uniform(1, 1000),
                      log_uniform(1, 1000), log_uniform(1, 4096), uniform(1, 8), uniform(1, 4),
                      uniform(0, 2));
    if (d.oh < 1 || d.ow < 1) continue;
    SCOPED_TRACE(testing::Message() << d);
    deconv_secs_info_t s = {kUntouched, kUntouched, kUntouched, kUntouched};
    if (!split_deconv(d, &s)) {
      cov.refused++;
      EXPECT_EQ(s.ocsecs, kUntouched);
      EXPECT_EQ(s.hsecs, kUntouched);
      continue;
    }
    const uint64_t ocr = cdiv(d.oc, 64), icr = cdiv(d.ic, 64);
    ASSERT_TRUE(s.ocsecs >= 1 && s.ocsecs <= ocr) << s.ocsecs;
    ASSERT_TRUE(s.icsecs >= 1 && s.icsecs <= icr) << s.icsecs;
    ASSERT_TRUE(s.nsecs >= 1 && s.nsecs <= (u32)d.n) << s.nsecs;
    ASSERT_TRUE(s.hsecs >= 1 && s.hsecs <= (u32)d.oh) << s.hsecs;
    const uint64_t lanes = cdiv(ocr, s.ocsecs), ics = cdiv(d.ic, s.icsecs);
    EXPECT_LT((s.icsecs - 1) * ics, (uint64_t)d.ic) << "the last input-channel section is empty";
    const uint64_t items = cdiv(d.n, s.nsecs), v = cdiv(d.oh, s.hsecs);
    // Input rows of a row section, as the worker clips them to the input.
    const int64_t window = ((int64_t)2 * d.p + (int64_t)v - d.k) / d.s + 2;
    const uint64_t in_rows =
        s.hsecs == 1 ? d.ih : (uint64_t)std::clamp<int64_t>(window, 0, d.ih);
    const uint64_t bytes = 2 * (ocr * 4 + lanes * ics * d.k * d.k * 4) +
                           2 * cdiv(ics, 64) * items * align32(in_rows * d.iw) * 4 +
                           2 * lanes * items * align32(v * d.ow) * 4;
    EXPECT_LE(bytes, kLocalMem) << "plan " << s.ocsecs << "/" << s.icsecs << "/" << s.nsecs << "/"
                                << s.hsecs;
    conv_secs_info_t as_conv = {s.ocsecs, s.icsecs, s.nsecs, s.hsecs, 1};
    cov.count(as_conv, false);
  }
  EXPECT_GT(cov.plans, 2000);
  EXPECT_GT(cov.oc, 20);
  EXPECT_GT(cov.ic, 20);
  EXPECT_GT(cov.n, 20);
  EXPECT_GT(cov.h, 20);
}

TEST(PoolingSplit, EverySliceFitsItsInputBuffer) {
  rng().seed(2117);
  FirmwareRig rig;  // windows taller than a buffer stop the split
  int cut_rows = 0, refused = 0;
  for (int i = 0; i < 4000; i++) {
    Pool p;
    p.n = log_uniform(1, 64);
    p.c = log_uniform(1, 4095);
    p.ih = log_uniform(1, 3000);
    p.iw = log_uniform(1, 3000);
    p.kh = uniform(0, 9) == 0 ? uniform(8, 60) : uniform(1, 7);
    p.kw = uniform(1, 7);
    p.sh = uniform(1, 4), p.sw = uniform(1, 4);
    p.ph = uniform(0, p.kh - 1), p.pw = uniform(0, p.kw - 1);
    if (p.ih + 2 * p.ph < p.kh || p.iw + 2 * p.pw < p.kw) continue;
    p.oh = (p.ih + 2 * p.ph - p.kh) / p.sh + 1;
    p.ow = (p.iw + 2 * p.pw - p.kw) / p.sw + 1;
    SCOPED_TRACE(testing::Message() << p.n << "x" << p.c << "x" << p.ih << "x" << p.iw << " k"
                                    << p.kh << " s" << p.sh << " p" << p.ph);
    pooling_secs_info_t s;
    int ok = 0;
    const FwOutcome run = rig.run([&] { ok = split_pool(p, &s); });
    if (run.asserted) {
      refused++;
      EXPECT_NE(run.uart.find(": N_initial >= kh\n"), std::string::npos) << run.uart;
      continue;
    }
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(s.input_ratio, 0.5f);
    ASSERT_GE(s.c_step, 64u);
    EXPECT_EQ(s.c_step % 64, 0u);
    ASSERT_GE(s.h_step, (u32)p.sh);
    EXPECT_EQ(s.h_step % p.sh, 0u);
    // Each of the two input buffers gets a quarter of local memory.
    const uint64_t plane = std::max(align32((uint64_t)p.ih * p.iw), align32((uint64_t)p.oh * p.ow));
    const uint64_t planes_per_lane = s.c_step / 64;
    if (plane * 4 <= kLocalMem / 4) {
      EXPECT_LE(planes_per_lane * plane * 4, kLocalMem / 4);
      EXPECT_EQ(s.h_step, (u32)(p.sh * p.oh)) << "whole planes";
    } else {
      cut_rows++;
      EXPECT_EQ(planes_per_lane, 1u);
      const uint64_t rows = s.h_step - p.sh + p.kh;  // window rows of one slice
      EXPECT_LE(rows * p.iw * 4, kLocalMem / 4) << "h_step " << s.h_step;
    }
  }
  EXPECT_GT(cut_rows, 100);
  EXPECT_GT(refused, 0);
}

// ---------------------------------------------------------------------------
// Assertions

TEST(DataSplitAssertions, BadLayersStopWithAnExplanation) {
  const struct {
    const char *what;
    std::function<void()> fn;
    const char *function, *condition, *info;
  } cases[] = {
      {"float conv with stride 0",
       [] {
         Conv c = conv(1, 3, 8, 8, 8, 3, 1, 0);
         c.sh = 0;
         conv_secs_info_t s;
         split_f32(c, &s);
       },
       "global_conv_data_split", "(stride_h) > 0", "stride_h=0 must be positive"},
      {"float conv with no batch",
       [] {
         conv_secs_info_t s;
         split_f32(conv(0, 3, 8, 8, 8, 3, 1, 0), &s);
       },
       "global_conv_data_split", "(input_n) > 0", "input_n=0 must be positive"},
      {"float conv with more groups than channels",
       [] {
         conv_secs_info_t s;
         split_f32(conv(1, 3, 8, 8, 8, 3, 1, 0, 4), &s);
       },
       "global_conv_data_split", "(input_c) >= (groups) && (output_c) >= (groups)",
       "groups=4 leaves no channel per group (input_c=3, output_c=8)"},
      {"16-bit conv with negative insertion",
       [] {
         conv_secs_info_t s;
         split_16(conv(1, 3, 8, 8, 8, 3, 1, 0), &s, -1);
       },
       "global_conv_data_split_fix16b", "ins_h >= 0", "ins_h=-1 must not be negative"},
      {"8-bit conv with no output rows",
       [] {
         Conv c = conv(4, 3, 8, 8, 8, 3, 1, 0);
         c.oh = 0;
         conv_secs_info_t s;
         split_8(c, &s);
       },
       "global_conv_data_split_fix8b", "(output_h) > 0", "output_h=0 must be positive"},
      {"8-bit conv with groups 0",
       [] {
         conv_secs_info_t s;
         split_8(conv(4, 3, 8, 8, 8, 3, 1, 0, 0), &s);
       },
       "global_conv_data_split_fix8b", "(groups) > 0", "groups=0 must be positive"},
      {"deconv with stride 0",
       [] {
         Deconv d = deconv(1, 8, 8, 8, 8, 4, 2, 1);
         d.s = 0;
         deconv_secs_info_t s;
         split_deconv(d, &s);
       },
       "get_deconv_secs_info", "(stride_h) > 0", "stride_h=0 must be positive"},
      // 64 input channels x 32 x 32 weights x 4 bytes, doubled: 512 KB.
      {"deconv weights fill local memory",
       [] {
         deconv_secs_info_t s;
         split_deconv(deconv(1, 64, 64, 64, 64, 32, 1, 0), &s);
       },
       "get_deconv_secs_info", "bottom_local_start < (1<<19)", "none."},
      {"pooling with stride 0",
       [] {
         pooling_secs_info_t s;
         split_pool({1, 1, 3000, 3000, 2998, 2998, 3, 3, 0, 0, 0, 1}, &s);
       },
       "global_pooling_data_split", "(stride_h) > 0", "stride_h=0 must be positive"},
      {"pooling of an empty tensor",
       [] {
         pooling_secs_info_t s;
         split_pool({1, 0, 8, 8, 4, 4, 2, 2, 0, 0, 2, 2}, &s);
       },
       "global_pooling_data_split", "(input_c) > 0", "input_c=0 must be positive"},
      // 3000 x 3000 planes: int(3000 x 0.0036 x 0.98) = 10 rows fit a buffer,
      // fewer than the 13-row window.
      {"pooling window taller than a buffer",
       [] {
         pooling_secs_info_t s;
         split_pool({1, 1, 3000, 3000, 2988, 2988, 13, 13, 0, 0, 1, 1}, &s);
       },
       "nodechip_pooling_GetLineNum_parallel", "N_initial >= kh", "none."},
      // 10 rows fit a buffer; an 11-row window with stride 4 would need 11.
      {"pooling window one row taller than a buffer",
       [] {
         pooling_secs_info_t s;
         split_pool({1, 1, 40, 3000, 8, 748, 11, 11, 0, 0, 4, 4}, &s);
       },
       "nodechip_pooling_GetLineNum_parallel", "N_initial >= kh", "none."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    expect_assert(c.fn, "ASSERT", "firmware/cmd/", c.function, c.condition, c.info);
  }
}

}  // namespace
}  // namespace zv::test
