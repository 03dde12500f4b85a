// The prior-box, YOLO region and NMS controllers through the network-run API:
// one-layer networks written by the test-side writer on deferred cards with
// the race checker (the ARM image for a sample), against the plain references
// of their layers; bad records answer 1009 and leave the card serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer_select.h"
#include "ref/detect_ref.h"

namespace zv::test {
namespace {

using namespace net;
using ref::Rect;

constexpr uint32_t kFp32 = 0, kInt32 = 3;
const uint64_t kSeeds[] = {1, 2, 3};

// ---- prior boxes ----

struct Prior {
  std::vector<float> min_sizes, max_sizes, ratios, variances;
  int32_t num_priors;
  uint32_t img_w = 0, img_h = 0, layer_w = 0, layer_h = 0, net_w = 300, net_h = 300;
  float step_w = 0, step_h = 0, offset = 0.5f;
};

Record prior_rec(const Prior &p, std::vector<int32_t> out_shape, bool has_dim = false, uint32_t dim = 0,
                 float scale = 1.0f) {
  Record r(232);
  r.u32(0, uint32_t(out_shape.size()));
  for (size_t i = 0; i < out_shape.size(); i++) r.i32(4 + 4 * i, out_shape[i]);
  for (size_t i = 0; i < p.min_sizes.size(); i++) r.f32(36 + 4 * i, p.min_sizes[i]);
  r.u32(68, uint32_t(p.min_sizes.size()));
  for (size_t i = 0; i < p.max_sizes.size(); i++) r.f32(72 + 4 * i, p.max_sizes[i]);
  r.u32(104, uint32_t(p.max_sizes.size()));
  for (size_t i = 0; i < p.ratios.size(); i++) r.f32(108 + 4 * i, p.ratios[i]);
  r.u32(140, uint32_t(p.ratios.size()));
  for (size_t i = 0; i < p.variances.size(); i++) r.f32(144 + 4 * i, p.variances[i]);
  r.u32(176, uint32_t(p.variances.size())).i32(180, p.num_priors).u32(184, p.img_w).u32(188, p.img_h);
  r.f32(192, p.step_w).f32(196, p.step_h).f32(200, p.offset).f32(204, scale);
  r.u32(208, p.layer_w).u32(212, p.layer_h).u32(216, p.net_w).u32(220, p.net_h).u32(224, dim);
  return r.u8(228, has_dim).u8(230, 0);
}

// The priors the layer must give: half extents in generation order (min, max,
// the ratios other than 1).
std::vector<float> prior_ref(const Prior &p) {
  const uint32_t iw = p.img_w ? p.img_w : p.net_w, ih = p.img_w ? p.img_h : p.net_h;
  const float sw = p.step_w != 0 ? p.step_w : float(iw) / float(p.layer_w);
  const float sh = p.step_w != 0 ? p.step_h : float(ih) / float(p.layer_h);
  std::vector<float> hw, hh;
  const float W2 = 2.0f * float(iw), H2 = 2.0f * float(ih);
  for (size_t i = 0; i < p.min_sizes.size(); i++) {
    const float m = p.min_sizes[i];
    hw.push_back(m / W2);
    hh.push_back(m / H2);
    if (!p.max_sizes.empty()) {
      const float s = std::sqrt(m * p.max_sizes[i]);
      hw.push_back(s / W2);
      hh.push_back(s / H2);
    }
    for (float r : p.ratios) {
      if (std::fabs(double(r) - 1.0) < 1e-6) continue;
      hw.push_back(m * std::sqrt(r) / W2);
      hh.push_back(m / std::sqrt(r) / H2);
    }
  }
  return ref::prior_boxes(int(p.layer_w), int(p.layer_h), int(iw), int(ih), sw, sh, p.offset, hw, hh, false,
                          p.variances);
}

NetRun prior_net(const Record &r) {
  return one_layer({{kFp32, {1, 8, 2, 3}}}, 1,
                   glb_layer(DYNAMIC_LAYER_PRIORBOX, kFp32, r, Words().append(net_io_ref(1)).append(net_io_ref(10))));
}

TEST(GlbDetectCtrl, PriorBoxesFromSizesRatiosAndDerivedSteps) {
  struct Case {
    const char *what;
    Prior p;
  };
  Prior one{{30}, {60}, {1.0f, 2.0f, 0.5f}, {0.1f, 0.1f, 0.2f, 0.2f}, 4};
  one.layer_w = 3, one.layer_h = 2;  // image sizes 0: the net's; steps derived
  Prior two{{20, 40}, {}, {2.0f}, {0.1f}, 4};
  two.layer_w = 4, two.layer_h = 3, two.img_w = 200, two.img_h = 100, two.step_w = 50, two.step_h = 40;
  const Case cases[] = {{"one min size with a max and three ratios", one}, {"two min sizes, one variance", two}};
  for_each_api_card([&](host::Card &card) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const int32_t count = int32_t(c.p.layer_w * c.p.layer_h) * c.p.num_priors * 4;
      run_ok(card, prior_net(prior_rec(c.p, {1, 2, count})));
      const std::vector<float> want = prior_ref(c.p);
      ASSERT_EQ(want.size(), size_t(2 * count));
      const std::vector<float> got = get<float>(card, kNetOut[0], want.size());
      for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-6f) << i;
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{1, 2, uint32_t(count)}));
    }
  });
}

TEST(GlbDetectCtrl, PriorBoxesGivenAsTheInputAreCopied) {
  std::vector<float> priors(2 * 12);
  for (size_t i = 0; i < priors.size(); i++) priors[i] = float(i) * 0.01f;
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], priors);
    Prior p{{}, {}, {}, {}, 0};
    run_ok(*card, prior_net(prior_rec(p, {0, 0, 0}, true, 12)));
    EXPECT_EQ(get<float>(*card, kNetOut[0], priors.size()), priors);
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{1, 2, 12}));
  }
}

// 8-bit priors: value x 128 / scale + 0.5, limited to [-128, 127], truncated;
// a 4N output holds byte k of the 1N bytes in byte 0 of word k. Priors given
// as the input (8-bit, has_dim) reach a 4N output the same way.
TEST(GlbDetectCtrl, EightBitPriorBoxesIn1NAnd4N) {
  constexpr uint32_t kFix8 = 2;
  Prior p{{30}, {60}, {1.0f, 2.0f, 0.5f}, {0.1f, 0.1f, 0.2f, 0.2f}, 4};
  p.layer_w = 3, p.layer_h = 2;
  const int32_t count = int32_t(p.layer_w * p.layer_h) * p.num_priors * 4;
  const std::vector<float> f = prior_ref(p);
  auto net = [&](const Record &r, uint32_t out_mode, uint32_t in_dtype) {
    return one_layer({{in_dtype, {1, 8, 2, 3}}}, 1,
                     glb_layer(DYNAMIC_LAYER_PRIORBOX, kFix8, r, Words().append(net_io_ref(1)).append(net_io_ref(10)),
                               0, out_mode));
  };
  for_each_api_card([&](host::Card &card) {
    for (const auto &[scale, out_mode] : {std::pair<float, uint32_t>{1.0f, 0}, {0.37f, 2}}) {
      SCOPED_TRACE(out_mode == 2 ? "4N, scale 0.37 saturating" : "1N, scale 1");
      std::vector<int8_t> want;
      const float k = 128.0f / scale;
      for (float v : f) want.push_back(int8_t(int(std::min(std::max(v * k + 0.5f, -128.0f), 127.0f))));
      run_ok(card, net(prior_rec(p, {1, 2, count}, false, 0, scale), out_mode, kFp32));
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{1, 2, uint32_t(count)}));
      if (out_mode == 2) {
        const std::vector<int8_t> words = get<int8_t>(card, kNetOut[0], 4 * want.size());
        std::vector<int8_t> got;
        for (size_t i = 0; i < want.size(); i++) got.push_back(words[4 * i]);
        EXPECT_EQ(got, want);
      } else {
        EXPECT_EQ(get<int8_t>(card, kNetOut[0], want.size()), want);
      }
    }
    std::vector<int8_t> given(size_t(2 * count));
    for (size_t i = 0; i < given.size(); i++) given[i] = int8_t(int(i * 7 % 256) - 128);
    put(card, kNetIn[0], given);
    for (const uint32_t out_mode : {2u, 0u}) {
      SCOPED_TRACE(out_mode == 2 ? "8-bit priors given as the input into 4N" : "8-bit priors given as the input, 1N");
      put(card, kNetOut[0], std::vector<int8_t>(4 * given.size(), 0x55));
      run_ok(card, net(prior_rec(p, {0, 0, 0}, true, uint32_t(count)), out_mode, kFix8));
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{1, 2, uint32_t(count)}));
      const std::vector<int8_t> words = get<int8_t>(card, kNetOut[0], 4 * given.size());
      std::vector<int8_t> got;
      for (size_t i = 0; i < given.size(); i++) got.push_back(words[out_mode == 2 ? 4 * i : i]);
      EXPECT_EQ(got, given);
    }
  });
}

TEST(GlbDetectCtrl, PriorCountsThatDisagreeFail) {
  auto card = deferred_card(Backend::Native, 2);
  Prior p{{30}, {60}, {1.0f, 2.0f, 0.5f}, {0.1f}, 4};
  p.layer_w = 3, p.layer_h = 2;
  const NetRun good = prior_net(prior_rec(p, {1, 2, 96}));
  Prior three = p;
  three.num_priors = 3;
  run_fails(*card, prior_net(prior_rec(three, {1, 2, 72})), "num_priors == (real_min_size * (1 + max_num + aspect_num))",
            good);
  Prior none = p;
  none.num_priors = 0;
  run_fails(*card, prior_net(prior_rec(none, {1, 2, 0})), "num_priors > 0 || has_dim", good);
}

// ---- YOLO region ----

TEST(GlbDetectCtrl, YoloRegionRightAlignsTheExtents) {
  // num 2, classes 3, coords 4, no background, softmax: 16 channels.
  const Record r = Record(20).u32(0, 2).u32(4, 3).u32(8, 4).u32(12, 0).u32(16, 1);
  struct Case {
    const char *what;
    std::vector<uint32_t> shape;
    int n;
  };
  const Case cases[] = {{"[2, 16, 3, 5]", {2, 16, 3, 5}, 2}, {"[16, 3, 5]", {16, 3, 5}, 1}};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const size_t count = size_t(c.n) * 16 * 15;
      std::vector<float> in(count);
      for (size_t i = 0; i < count; i++) in[i] = float(int(i * 13 % 29) - 14) * 0.25f;
      put(*card, kNetIn[0], in);
      run_ok(*card, one_layer({{kFp32, c.shape}}, 1,
                              glb_layer(DYNAMIC_LAYER_YOLO, kFp32, r, Words().append(net_io_ref(1)).append(net_io_ref(10)))));
      const std::vector<float> want = ref::yolo_region(in, c.n, 16, 15, 2, 3, 4, false, true);
      const std::vector<float> got = get<float>(*card, kNetOut[0], count);
      for (size_t i = 0; i < count; i++) EXPECT_NEAR(got[i], want[i], 1e-5f) << i;
      EXPECT_EQ(out_shape(*card, 0).shape, c.shape);
    }
  }
  auto card = deferred_card(Backend::Native, 1);
  const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(10));
  run_fails(*card, one_layer({{kFp32, {1, 1, 16, 3, 5}}}, 1, glb_layer(DYNAMIC_LAYER_YOLO, kFp32, r, refs)),
            "bottom.dims <= 4", one_layer({{kFp32, {1, 16, 3, 5}}}, 1, glb_layer(DYNAMIC_LAYER_YOLO, kFp32, r, refs)));
}

// ---- NMS ----

TEST(GlbDetectCtrl, NmsKeepsAtMostTheShapeTensorsLimit) {
  std::vector<Rect> boxes;
  for (int i = 0; i < 12; i++) {
    const float x = float((i * 7) % 5) * 6.0f, y = float((i * 3) % 4) * 5.0f;
    boxes.push_back({x, y, x + 10.0f, y + 8.0f, float((i * 5) % 12) * 0.0625f + 0.01f});
  }
  std::vector<float> b4, sc;
  for (const Rect &b : boxes) {
    b4.insert(b4.end(), {b.x1, b.y1, b.x2, b.y2});
    sc.push_back(b.score);
  }
  const Record r = Record(24).f32(0, 0.3f).f32(4, -1.0f).u32(8, 3).u64(16, 0x2000000);
  const Record all = Record(24).f32(0, 0.3f).f32(4, -1.0f).u32(8, 0).u64(16, 0x2000000);
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], b4);
    put(*card, kNetIn[1], sc);
    put(*card, kNetIn[2], std::vector<int32_t>{2});
    for (bool limited : {true, false}) {
      SCOPED_TRACE(limited ? "mode 3, limit 2 from the shape tensor" : "mode 0, limit the score count");
      NetRun n;
      n.inputs = {NetIo{1, kNetIn[0], kFp32, {12, 4}}, NetIo{2, kNetIn[1], kFp32, {12}},
                  NetIo{3, kNetIn[2], kInt32, {1}}};
      n.outputs = {NetIo{10, kNetOut[0]}};
      Words refs = Words().append(net_io_ref(1)).append(net_io_ref(2));
      if (limited) {
        n.groups.push_back(global_group({3}, {key(5, 1)},
                                        transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0,
                                                       Words().append(net_io_ref(3)).append(shape_ref(5)))));
        refs.append(shape_ref(5));
      }
      refs.append(net_io_ref(10));
      n.groups.push_back(global_group(limited ? std::vector<uint32_t>{1, 2, 5} : std::vector<uint32_t>{1, 2}, {},
                                      glb_layer(DYNAMIC_LAYER_NMS, kInt32, limited ? r : all, refs)));
      run_ok(*card, n);
      const std::vector<int> want =
          ref::greedy_nms(boxes, ref::score_order(boxes), boxes.size(), 0.3f, false, limited ? 2 : ~size_t(0));
      ASSERT_EQ(out_shape(*card, 0).shape, std::vector<uint32_t>{uint32_t(want.size())});
      EXPECT_EQ(get<int32_t>(*card, kNetOut[0], want.size()), std::vector<int32_t>(want.begin(), want.end()));
    }
    // A float output is refused.
    NetRun good;
    good.inputs = {NetIo{1, kNetIn[0], kFp32, {12, 4}}, NetIo{2, kNetIn[1], kFp32, {12}}};
    good.outputs = {NetIo{10, kNetOut[0]}};
    const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(10));
    good.groups.push_back(global_group({1, 2}, {}, glb_layer(DYNAMIC_LAYER_NMS, kInt32, all, refs)));
    NetRun bad = good;
    bad.groups[0] = global_group({1, 2}, {}, glb_layer(DYNAMIC_LAYER_NMS, kFp32, all, refs));
    run_fails(*card, bad, "ctx->middle_value->data_size == DSIZE_INT32", good);
  }
}

}  // namespace
}  // namespace zv::test
