// The pooling family's APIs (52, 73, 88, 95, 122, 163, 166, 167) end to end:
// messages through the host driver on three deferred seeds with the race
// checker and on the ARM image, each against the plain reference; zero
// counts, a zero stride and wrong record sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/pool/adaptive_pooling.h"
#include "layers/pool/interp.h"
#include "layers/pool/pooling.h"
#include "layers/pool/pooling_fix8b.h"
#include "layers/pool/pooling_train.h"
#include "layers/pool/upsample.h"
#include "raw_record.h"
#include "ref/pool_ref.h"

namespace zv::test {
namespace {

using host::Card;
using ref::conv::T4;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kOut = 0x103000000ull;
constexpr uint64_t kMask = 0x105000000ull;

T4 values(int n, int c, int h, int w, int salt) {
  T4 t(n, c, h, w);
  for (size_t i = 0; i < t.v.size(); i++) t.v[i] = double(int((i * 29 + salt * 7) % 83) - 41) / 8.0;
  return t;
}

std::vector<float> floats_of(const T4 &t) { return std::vector<float>(t.v.begin(), t.v.end()); }

// One message: its input bytes, and the bytes it must leave at each output.
struct Message {
  const char *what;
  uint32_t id;
  std::vector<uint32_t> payload;
  std::vector<uint8_t> input;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> outputs;
};

template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T> &v) {
  std::vector<uint8_t> b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

std::vector<Message> messages() {
  std::vector<Message> m;
  {
    // 52: average of real elements, 3x3 stride 2, ceil rounding, host plan of
    // two output rows per slice.
    const int n = 2, c = 3, ih = 9, iw = 8, k = 3, s = 2, pad = 1;
    const int oh = ref::pool::pool_extent(ih, k, pad, pad, s, true), ow = ref::pool::pool_extent(iw, k, pad, pad, s, true);
    ref::pool::Pool2d p;
    p.kh = p.kw = k, p.pad_t = p.pad_l = p.pad_b = p.pad_r = pad, p.stride_h = p.stride_w = s, p.avg = true;
    const T4 in = values(n, c, ih, iw, 1);
    const zv_api_pooling_forward_parallel_t r = {kIn, kOut, n, c, ih, iw, oh, ow, k, k, pad, pad, pad, pad, s, s, 1, 1,
                                                 4, 2 * s, 0.5f};
    m.push_back({"52 average", 52, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(ref::pool::pool2d(in, p, oh, ow)))}}});
  }
  {
    // 52 with stride 20: the serial worker, which plans its own slices.
    const int n = 1, c = 2, ih = 45, iw = 41, k = 4, s = 20;
    const int oh = (ih - k) / s + 1, ow = (iw - k) / s + 1;
    ref::pool::Pool2d p;
    p.kh = p.kw = k, p.stride_h = p.stride_w = s;
    const T4 in = values(n, c, ih, iw, 2);
    const zv_api_pooling_forward_parallel_t r = {kIn, kOut, n, c, ih, iw, oh, ow, k, k, 0, 0, 0, 0, s, s, 0, 0, 0, 0, 0.0f};
    m.push_back({"52 max, stride 20", 52, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(ref::pool::pool2d(in, p, oh, ow)))}}});
  }
  {
    const int n = 2, c = 3, ih = 4, iw = 5, size = 3;
    const T4 in = values(n, c, ih, iw, 3);
    const zv_api_upsample_forward_parallel_t r = {kIn, kOut, n, c, ih, iw, size, 4, 2, 0.5f};
    m.push_back({"73 upsample by 3", 73, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(ref::pool::upsample(in, size)))}}});
  }
  {
    // 88: 6 rows, window 3, stride 2: the handler grows the bottom pad to 1,
    // so 3 output rows; 5 items in two 4N groups.
    const int n = 5, c = 2, ih = 6, iw = 7, groups = 2;
    std::vector<uint8_t> in(size_t(groups) * c * ih * iw * 4);
    for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 71 + 5);
    ref::pool::PoolFix8b p;
    p.kh = p.kw = 3, p.stride_h = p.stride_w = 2, p.pad_b = 1, p.pad_r = 0, p.in_sign = true;
    const std::vector<uint8_t> want = ref::pool::pool_fix8b(in, groups, c, ih, iw, p, 3, 3);
    zv_api_pooling_fix8b_forward_parallel_t r = {};
    r.input_addr = kIn, r.output_addr = kOut, r.input_n = n, r.input_c = c, r.input_h = ih, r.input_w = iw;
    r.kh = r.kw = 3, r.stride_h = r.stride_w = 2, r.opd0_sign = 1, r.output_sign = 1;
    r.nc_slice = 4, r.oh_slice = 4, r.lmem_scale = 0.5f;
    m.push_back({"88 max with the grown pad", 88, payload_of(r), in, {{kOut, want}}});
  }
  {
    // 88: average 5x5 with pad 2 and the border rule: the border rows and
    // columns hold 3 or 4 input rows, constants 5 x 171 and 5 x 1.
    const int n = 4, c = 3, ih = 8, iw = 9;
    std::vector<uint8_t> in(size_t(c) * ih * iw * 4);
    for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 37 + 11);
    ref::pool::PoolFix8b p;
    p.kh = p.kw = 5, p.pad_t = p.pad_b = p.pad_l = p.pad_r = 2, p.avg = p.border = true;
    const std::vector<uint8_t> want = ref::pool::pool_fix8b(in, 1, c, ih, iw, p, ih, iw);
    RawRecord r(116);
    r.u64(0, kIn).u64(8, kOut).i32(16, n).i32(20, c).i32(24, ih).i32(28, iw).i32(32, 5).i32(36, 5);
    r.i32(40, 2).i32(44, 2).i32(48, 2).i32(52, 2).i32(56, 1).i32(60, 1).i32(64, 1).i32(68, 1);
    r.i32(104, 64).i32(108, ih).f32(112, 0.5f);
    m.push_back({"88 average 5x5 pad 2 with the border rule", 88, r.words, in, {{kOut, want}}});
  }
  {
    const int n = 2, c = 3, ih = 7, iw = 6, k = 3, s = 2, pad = 1;
    const T4 in = values(n, c, ih, iw, 4);
    pool_train_shape_t g;
    pool_train_shape_of(&g, ih, iw, k, k, pad, pad, pad, pad, s, s, 0);
    const auto want = ref::pool::train_pool(in, k, k, pad, pad, s, s, g.oh, g.ow);
    const zv_api_pooling_train_forward_parallel_t r = {kIn, kOut, kMask, n, c, ih, iw, k, k, pad, pad, pad, pad, s, s, 0,
                                                       2, 0, 0.25f, 2};
    m.push_back({"95 maxima and positions, slices of 2 planes", 95, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(want.max))}, {kMask, bytes_of(floats_of(want.pos))}}});
    const zv_api_pooling_train_index_forward_parallel_t r2 = {kIn, kMask, n, c, ih, iw, k, k, pad, pad, pad, pad, s, s, 0,
                                                              3, 1, 0.25f, 3};
    m.push_back({"122 positions, one row per slice", 122, payload_of(r2), bytes_of(floats_of(in)),
                 {{kMask, bytes_of(floats_of(want.pos))}}});
  }
  {
    const int n = 2, c = 3, ih = 5, iw = 7, oh = 3, ow = 4;
    const T4 in = values(n, c, ih, iw, 5);
    const zv_api_adaptive_pooling_forward_t r = {kIn, kOut, n, c, ih, iw, oh, ow, 1};
    m.push_back({"166 adaptive average", 166, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(ref::pool::adaptive(in, oh, ow, true)))}}});
  }
  {
    const int n = 4, c = 3, ih = 5, iw = 6, oh = 2, ow = 3, groups = 1;
    std::vector<uint8_t> in(size_t(groups) * c * ih * iw * 4);
    for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 37 + 11);
    ref::pool::PoolFix8b p;
    p.in_sign = false;
    const zv_api_adaptive_pooling_fix8b_forward_t r = {kIn, kOut, n, c, ih, iw, oh, ow, 0, 0, 0, 0, 0, 0, 0, 0};
    m.push_back({"167 adaptive 8-bit max", 167, payload_of(r), in,
                 {{kOut, ref::pool::adaptive_fix8b(in, groups, c, ih, iw, oh, ow, p)}}});
  }
  {
    // 163: the flags are 0; mode 4 with crops.
    const int n = 2, c = 3, ih = 6, iw = 7, oh = 9, ow = 5;
    const T4 in = values(n, c, ih, iw, 6);
    ref::pool::Interp mode;
    mode.mode = 4;
    const zv_api_interp_forward_parallel_t r = {kIn, kOut, n, c, ih, iw, -1, 0, oh, ow, 4};
    m.push_back({"163 interpolation", 163, payload_of(r), bytes_of(floats_of(in)),
                 {{kOut, bytes_of(floats_of(ref::pool::interp(in, -1, 0, oh, ow, mode)))}}});
  }
  return m;
}

TEST(PoolApi, EachIdEndToEnd) {
  const std::vector<Message> ms = messages();
  for_each_api_card([&](host::Card &card) {
    for (const Message &k : ms) {
      SCOPED_TRACE(k.what);
      card.write(kIn, k.input.data(), k.input.size());
      ASSERT_TRUE(AnswerOk(card, card.send(k.id, k.payload)));
      for (const auto &o : k.outputs) {
        const std::vector<uint8_t> got = card.read(o.first, o.second.size());
        if (k.id == 88 || k.id == 167) {
          EXPECT_EQ(got, o.second);  // 8-bit: exact
          continue;
        }
        // Float: within the rounding of float32 sums and scales.
        const std::vector<float> g = as_floats(got), w = values_of<float>(o.second);
        for (size_t i = 0; i < w.size(); i++)
          ASSERT_NEAR(g[i], w[i], 1e-6 * std::fmax(1.0f, std::fabs(w[i]))) << "element " << i;
      }
    }
  });
}

TEST(PoolApi, ZeroCountsZeroStrideAndWrongSizes) {
  Card card;
  zv_api_pooling_forward_parallel_t p52 = {kIn, kOut, 0, 2, 4, 4, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 1, 2, 0.5f};
  zv_api_pooling_fix8b_forward_parallel_t p88 = {};
  zv_api_pooling_train_forward_parallel_t p95 = {};
  zv_api_pooling_train_index_forward_parallel_t p122 = {};
  zv_api_adaptive_pooling_fix8b_forward_t p167 = {};
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {52, payload_of(p52)},
      {73, payload_of(zv_api_upsample_forward_parallel_t{kIn, kOut, 0, 2, 2, 2, 2, 1, 1, 0.5f})},
      {88, payload_of(p88)},
      {95, payload_of(p95)},
      {122, payload_of(p122)},
      {166, payload_of(zv_api_adaptive_pooling_forward_t{kIn, kOut, 0, 2, 4, 4, 2, 2, 1})},
      {167, payload_of(p167)},
      {163, payload_of(zv_api_interp_forward_parallel_t{kIn, kOut, 0, 3, 4, 4, 0, 0, 8, 8, 4})},
  };
  for (const auto &e : empty) {
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint32_t> longer = e.second;
    longer.push_back(0);
    r = card.send(e.first, longer);
    ASSERT_TRUE(AnswerOk(card, r, 1009u)) << e.first;
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_TRUE(card.chip().engines.bd.commands().empty());
  // A zero stride in API 88 is refused before the pads are rounded with it.
  p88.input_addr = kIn, p88.output_addr = kOut, p88.input_n = 4, p88.input_c = 1, p88.input_h = p88.input_w = 4;
  p88.kh = p88.kw = 2, p88.stride_h = 0, p88.stride_w = 2, p88.nc_slice = 1, p88.oh_slice = 2, p88.lmem_scale = 0.5f;
  ASSERT_TRUE(AnswerOk(card, card.send(88, payload_of(p88)), 1009u));
  EXPECT_NE(card.console().find("(rec.stride_h) > 0"), std::string::npos) << card.console();
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
