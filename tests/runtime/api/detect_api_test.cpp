// The detection APIs end to end: messages through the host driver on three
// deferred seeds with the happens-before checker and on the ARM image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/detect/nms.h"
#include "layers/detect/psroipooling.h"
#include "layers/detect/roi_pooling.h"
#include "layers/detect/ssd_detect_out.h"
#include "layers/detect/yolo.h"
#include "layers/detect/yolov3_detect_out.h"
#include "cmd/bd_pool.h"
#include "ref/detect_ref.h"
#include "ref/psroi_fix8b_ref.h"
#include "ref/ssd_ref.h"
#include "ref/yolov3_ref.h"

namespace zv::test {
namespace {

using host::Card;
using ref::Rect;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kOut = 0x103000000ull;
constexpr uint64_t kWeights = 0x105000000ull;

std::vector<Rect> crowd(size_t n) {
  std::vector<Rect> v(n);
  for (size_t i = 0; i < n; i++) {
    const float x = float((i * 7) % 23), y = float((i * 5) % 17);
    v[i] = {x, y, x + float(i % 9), y + float(i % 6), float((i * 13) % 5) * 0.25f};
  }
  return v;
}

std::vector<float> flat(const std::vector<Rect> &v) {
  std::vector<float> f;
  for (const Rect &r : v) f.insert(f.end(), {r.x1, r.y1, r.x2, r.y2, r.score});
  return f;
}

TEST(DetectApi, NmsKeepsTheGreedySet) {
  const std::vector<Rect> boxes = crowd(70);
  const std::vector<int> kept = ref::greedy_nms(boxes, ref::score_order(boxes), boxes.size(), 0.35f, true);
  std::vector<Rect> want_rows;
  for (int k : kept) want_rows.push_back(boxes[size_t(k)]);
  for_each_api_card([&](host::Card &card) {
    const std::vector<float> in = flat(boxes);
    card.write(kIn, in.data(), in.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(131, payload_of(zv_api_cv_nms_t{kIn, u32(boxes.size()), 0.35f, kOut}))));
    const std::vector<uint8_t> raw = card.read(kOut, sizeof(nms_proposal_t));
    i32 head[2];
    std::memcpy(head, raw.data(), 8);
    EXPECT_EQ(head[0], i32(kept.size()));
    EXPECT_EQ(head[1], 1024);
    std::vector<float> rows(5 * kept.size());
    std::memcpy(rows.data(), raw.data() + 8, rows.size() * 4);
    EXPECT_EQ(rows, flat(want_rows));
  });
}

TEST(DetectApi, SoftNmsMatrices) {
  const std::vector<Rect> boxes = crowd(45);
  const size_t P = boxes.size();
  for_each_api_card([&](host::Card &card) {
    const std::vector<float> in = flat(boxes);
    card.write(kIn, in.data(), in.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(511, payload_of(zv_api_cv_soft_nms_t{kIn, u32(P), 0, 0.5f, kOut, kWeights}))));
    const std::vector<float> ov = get<float>(card, kOut, P * P), wt = get<float>(card, kWeights, P * P);
    std::vector<float> want_ov, want_wt;
    for (size_t i = 0; i < P; i++)
      for (size_t j = 0; j < P; j++) {
        want_ov.push_back(ref::box_iou(boxes[i], boxes[j], true));
        want_wt.push_back(ref::soft_weight(want_ov.back(), 0, 0.5f));
      }
    EXPECT_EQ(ov, want_ov);
    EXPECT_EQ(wt, want_wt);
  });
}

TEST(DetectApi, CountsSizesAndAddresses) {
  Card card;
  const std::vector<float> in = flat(crowd(4));
  card.write(kIn, in.data(), in.size() * 4);
  card.write(kOut, std::vector<uint8_t>(64, 0xab).data(), 64);
  struct Case {
    const char *what;
    uint32_t id;
    std::vector<uint32_t> payload;
    uint32_t result;
    const char *text;
  };
  std::vector<uint32_t> nms_long = payload_of(zv_api_cv_nms_t{kIn, 4, 0.5f, kOut});
  nms_long.push_back(0);
  std::vector<uint32_t> soft_short = payload_of(zv_api_cv_soft_nms_t{kIn, 4, 0, 0.5f, kOut, kWeights});
  soft_short.pop_back();
  const Case cases[] = {
      {"NMS of no boxes", 131, payload_of(zv_api_cv_nms_t{kIn, 0, 0.5f, kOut}), 0, nullptr},
      {"soft-NMS of no boxes", 511, payload_of(zv_api_cv_soft_nms_t{kIn, 0, 0, 0.5f, kOut, kWeights}), 0, nullptr},
      {"NMS record too long", 131, nms_long, 1009, ": size == sizeof(zv_api_cv_nms_t)\n"},
      {"soft-NMS record too short", 511, soft_short, 1009, ": size == sizeof(zv_api_cv_soft_nms_t)\n"},
      {"NMS of 1025 boxes", 131, payload_of(zv_api_cv_nms_t{kIn, 1025, 0.5f, kOut}), 1009,
       ": proposal_size <= (1024)\n"},
      {"NMS output in the firmware's memory", 131, payload_of(zv_api_cv_nms_t{kIn, 4, 0.5f, 0x100000000ull}), 1009,
       ": api_global_fits(rec.output_addr"},
      {"soft-NMS method 2", 511, payload_of(zv_api_cv_soft_nms_t{kIn, 4, 2, 0.5f, kOut, kWeights}), 1009,
       "weighting_method error"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(AnswerOk(card, card.send(c.id, c.payload), c.result));
    if (c.text) {
      EXPECT_NE(card.console().find(c.text), std::string::npos) << card.console();
    }
  }
  // The count-0 messages and the refused ones left the output alone.
  EXPECT_EQ(card.read(kOut, 8), std::vector<uint8_t>(8, 0xab));
}

TEST(DetectApi, RoiPooling) {
  const int C = 66, H = 9, W = 11, ph = 3, pw = 2;
  std::vector<float> map(size_t(C * H * W));
  for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 29) % 97) - 50);
  const std::vector<float> rois = {0, 1, 1, 8, 7, 0, -2, 3, 12, 12, 0, 4, 4, 4, 4};
  const int n = int(rois.size() / 5);
  const std::vector<float> want = ref::roi_pool(map, C, H, W, rois, ph, pw, 1.0f);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, map.data(), map.size() * 4);
    card.write(kWeights, rois.data(), rois.size() * 4);
    auto a = card.send(47, payload_of(zv_api_roi_pooling_forward_t{kIn, kOut, kWeights, kWeights + 0x10000, 1, C, H, W,
                                                                   ph, pw, n, 1.0f}));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
  });
  Card card;
  std::vector<uint32_t> words = payload_of(zv_api_roi_pooling_forward_t{kIn, kOut, kWeights, kWeights + 0x10000, 1, C,
                                                                         H, W, ph, pw, n, 1.0f});
  words.pop_back();
  auto a = card.send(47, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_roi_pooling_forward_t)\n"), std::string::npos);
  a = card.send(47, payload_of(zv_api_roi_pooling_forward_t{kIn, kOut, kWeights, kWeights + 0x10000, 2, C, H, W, ph,
                                                             pw, n, 1.0f}));
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": input_n == 1\n"), std::string::npos);
}

TEST(DetectApi, PsRoiPooling) {
  const int od = 3, group = 2, C = od * group * group, H = 7, W = 8;
  std::vector<float> map(size_t(C * H * W));
  for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 23) % 61) - 30);
  const std::vector<float> rois = {0, 1, 0, 6, 5, 0, 5, 4, 12, 9};
  const int n = int(rois.size() / 5);
  const std::vector<float> want = ref::psroi_pool(map, H, W, rois, od, group, 1.0f);
  auto rec = [&](u32 in_sign, u32 out_sign) {
    return zv_api_psroipooling_forward_t{kIn, kOut, kWeights, kWeights + 0x10000, 1, C, H, W, od, group, n, 1.0f,
                                         in_sign, out_sign};
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, map.data(), map.size() * 4);
    card.write(kWeights, rois.data(), rois.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(155, payload_of(rec(2, 2)))));
    const std::vector<float> got = get<float>(card, kOut, want.size());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-5f * (1 + std::fabs(want[i]))) << i;
  });
  Card card;
  std::vector<uint32_t> words = payload_of(rec(2, 2));
  words.push_back(0);
  ASSERT_TRUE(AnswerOk(card, card.send(155, words), 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_psroipooling_forward_t)\n"), std::string::npos);
}

// Sign flags 0 and 1 select the 8-bit layer: 4N map, ROI n in byte n % 4.
TEST(DetectApi, PsRoiPoolingEightBit) {
  const int od = 2, group = 2, C = od * group * group, H = 6, W = 7;
  std::vector<int> map;
  std::vector<uint8_t> words;
  for (int i = 0; i < C * H * W; i++) {
    map.push_back((i * 31) % 255 - 127);
    words.insert(words.end(), {uint8_t(map.back()), uint8_t(i), uint8_t(i * 3), uint8_t(i * 9)});
  }
  const std::vector<float> rois = {0, 1, 0, 5, 4, 0, 0, 2, 6, 5};
  const std::vector<int> want =
      ref::psroi_pool_fix8b(map, H, W, rois, od, group, 1.0f, true, false, dev_table_i, dev_table_e);
  const size_t block = size_t(od * group * group);
  const zv_api_psroipooling_forward_t rec = {kIn, kOut, kWeights, kWeights + 0x10000, 1, C, H, W, od, group, 2, 1.0f,
                                             1, 0};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, words.data(), words.size());
    card.write(kWeights, rois.data(), rois.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(155, payload_of(rec))));
    const std::vector<uint8_t> got = card.read(kOut, 4 * block);
    for (size_t r = 0; r < 2; r++)
      for (size_t e = 0; e < block; e++) EXPECT_EQ(got[4 * e + r], uint8_t(want[r * block + e])) << r << "," << e;
  });
}

TEST(DetectApi, YoloRegion) {
  const u32 n = 2, C = 25, h = 3, w = 2, S = h * w;
  std::vector<float> in(size_t(n * C * S));
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int((i * 31) % 37) - 18) * 0.25f;
  const std::vector<float> want = ref::yolo_region(in, int(n), int(C), int(S), 2, 7, 4, false, true);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    card.write(kOut, in.data(), in.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(800, payload_of(zv_api_yolo_t{kIn, kOut, n, C, h, w, 2, 7, 4, 0, 1}))));
    const std::vector<float> got = get<float>(card, kOut, want.size());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 2e-6f + 2e-6f * std::fabs(want[i])) << i;
  });
  Card card;
  card.write(kOut, std::vector<uint8_t>(16, 0xcd).data(), 16);
  auto a = card.send(800, payload_of(zv_api_yolo_t{kIn, kOut, 0, C, h, w, 2, 7, 4, 0, 1}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_EQ(card.read(kOut, 16), std::vector<uint8_t>(16, 0xcd));
  std::vector<uint32_t> words = payload_of(zv_api_yolo_t{kIn, kOut, n, C, h, w, 2, 7, 4, 0, 1});
  words.pop_back();
  a = card.send(800, words);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(": size == sizeof(zv_api_yolo_t)\n"), std::string::npos);
}

TEST(DetectApi, SsdDetectOut) {
  const ref::SsdParams p = {2, 70, 3, 1, true, 0, -1, 6, false, 0.45f, 0.4f, 1.0f};
  std::vector<float> prior, loc(size_t(2 * 70 * 4)), conf(size_t(2 * 70 * 3));
  for (int j = 0; j < 70; j++) {
    const float x = float(j % 9) * 0.1f, y = float(j / 9) * 0.1f;
    prior.insert(prior.end(), {x, y, x + 0.15f, y + 0.12f});
  }
  for (int j = 0; j < 70; j++) prior.insert(prior.end(), {0.1f, 0.1f, 0.2f, 0.2f});
  for (size_t i = 0; i < loc.size(); i++) loc[i] = float(int((i * 37) % 21) - 10) * 0.1f;
  for (size_t i = 0; i < conf.size(); i++) conf[i] = float((i * 53) % 17) / 16.0f;
  // Every IoU the suppression compares lies well away from its threshold, so
  // the engine's decoded boxes (within a few millionths) keep the same set.
  float margin = 0;
  const std::vector<ref::DetRecord> want = ref::ssd_detect_out(loc, conf, prior, p, &margin);
  ASSERT_EQ(want.size(), 12u);
  ASSERT_GE(margin, 2e-4f);
  const zv_api_ssd_detect_out_t rec = {kIn, kIn + 0x100000, kIn + 0x200000, kOut, 2, 70, 3, 1, 1, 0, -1, 2, 6, 0,
                                       0.45f, 0.4f, 1.0f};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, loc.data(), loc.size() * 4);
    card.write(kIn + 0x100000, conf.data(), conf.size() * 4);
    card.write(kIn + 0x200000, prior.data(), prior.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(176, payload_of(rec))));
    EXPECT_NE(card.console().find("\nzv_api_ssd_detect_out time: "), std::string::npos) << card.console();
    EXPECT_NE(card.console().find("zv_api_ssd_detect_out cycle: "), std::string::npos);
    EXPECT_NE(card.console().find("TPU Detected output box num: 12\n:"), std::string::npos);
    const std::vector<float> got = as_floats(card.read(kOut, want.size() * 28));
    for (size_t k = 0; k < want.size(); k++)
      for (size_t f = 0; f < 7; f++)
        EXPECT_NEAR(got[7 * k + f], want[k][f], f < 3 ? 0.0f : 2e-6f * (1.0f + std::fabs(want[k][f])))
            << "record " << k << " field " << f;
  });
  // Wrong size, the per-image record room past device memory, a layer check.
  Card card;
  std::vector<uint32_t> words = payload_of(rec);
  words.pop_back();
  struct Case {
    const char *what;
    std::vector<uint32_t> payload;
    const char *text;
  };
  zv_api_ssd_detect_out_t far = rec, top_k = rec;
  far.output_addr = 0x1fffffff00ull;
  top_k.top_k = 701;
  const Case cases[] = {
      {"record too short", words, ": size == sizeof(zv_api_ssd_detect_out_t)\n"},
      {"output past device memory", payload_of(far), ": api_global_fits(rec.output_addr"},
      {"top_k 701", payload_of(top_k), ": top_k <= 700\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(AnswerOk(card, card.send(176, c.payload), 1009u));
    EXPECT_NE(card.console().find(c.text), std::string::npos) << card.console();
  }
  EXPECT_EQ(card.console().find("TPU Detected output box num"), std::string::npos) << "no count after a failure";
}

TEST(DetectApi, Yolov3DetectOut) {
  ref::YoloParams p{3, 3, 2, 2, 4, 0.5f, 0.3f, {}, {32.0f, 16.0f, 8.0f}, {}};
  for (int i = 0; i < 18; i++) p.biases[size_t(i)] = 12.0f + 5.0f * float(i);
  p.mask = {3, 4, 1, 2, 0, 0, 0, 0, 0};
  std::vector<ref::YoloHead> heads = {{3, 4, {}}, {6, 5, {}}};
  for (size_t k = 0; k < heads.size(); k++) {
    heads[k].data.resize(size_t(3 * 2 * 8 * heads[k].h * heads[k].w));
    for (size_t i = 0; i < heads[k].data.size(); i++)
      heads[k].data[i] = float(int((i * 29 + k * 7) % 13) - 6) * 0.5f;
  }
  const std::vector<ref::DetRecord> want = ref::yolov3_detect_out(heads, p);
  ASSERT_EQ(want.size(), 12u);
  zv_api_yolov3_detect_out_t rec = {};
  rec.input_addr[0] = kIn;
  rec.input_addr[1] = kIn + 0x100000;
  rec.input_addr[2] = 0x1fffffff00ull;  // a third head the count leaves unread
  rec.output_addr = kOut;
  rec.input_num = 2;
  rec.num = 3;
  rec.head_shape[0][0] = 3, rec.head_shape[0][1] = 4, rec.head_shape[1][0] = 6, rec.head_shape[1][1] = 5;
  rec.num_classes = 3, rec.num_boxes = 2, rec.mask_group = 2, rec.keep_top_k = 4;
  rec.nms_threshold = 0.5f, rec.confidence_threshold = 0.3f;
  std::memcpy(rec.biases, p.biases.data(), sizeof rec.biases);
  std::memcpy(rec.strides, p.strides.data(), sizeof rec.strides);
  std::memcpy(rec.mask, p.mask.data(), sizeof rec.mask);
  // Every one of the 84 cells of an image passes a threshold of 0: its NMS
  // runs on the engine (above 80 boxes), reading keep flags from local memory.
  zv_api_yolov3_detect_out_t many = rec;
  ref::YoloParams pm = p;
  many.confidence_threshold = pm.confidence_threshold = 0.0f;
  many.nms_threshold = pm.nms_threshold = 0.3f;
  many.keep_top_k = pm.keep_top_k = -1;
  const std::vector<ref::DetRecord> want_many = ref::yolov3_detect_out(heads, pm);
  const ref::YoloMargins margins = ref::yolov3_margins(heads, pm);
  ASSERT_GT(margins.score_gap, 1e-5f);
  ASSERT_GT(margins.iou, 1e-5f);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, heads[0].data.data(), heads[0].data.size() * 4);
    card.write(kIn + 0x100000, heads[1].data.data(), heads[1].data.size() * 4);
    auto a = card.send(178, payload_of(rec));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_NE(card.console().find("\nzv_api_yolov3_detect_out time: "), std::string::npos) << card.console();
    EXPECT_NE(card.console().find("zv_api_yolov3_detect_out cycle: "), std::string::npos);
    EXPECT_NE(card.console().find("TPU Detected output box num: 12\n:"), std::string::npos);
    const std::vector<float> got = as_floats(card.read(kOut, want.size() * 28));
    for (size_t k = 0; k < want.size(); k++)
      for (size_t f = 0; f < 7; f++)
        EXPECT_NEAR(got[7 * k + f], want[k][f], f < 2 ? 0.0f : 1e-5f) << "record " << k << " field " << f;
    a = card.send(178, payload_of(many));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_NE(card.console().find("TPU Detected output box num: " + std::to_string(want_many.size()) + "\n:"),
              std::string::npos);
    const std::vector<float> got_many = as_floats(card.read(kOut, want_many.size() * 28));
    for (size_t k = 0; k < want_many.size(); k++)
      for (size_t f = 0; f < 7; f++)
        EXPECT_NEAR(got_many[7 * k + f], want_many[k][f], f < 2 ? 0.0f : 1e-5f) << "record " << k << " field " << f;
  });
  Card card;
  // No head: every image gives its [image, -1 x 6] record.
  zv_api_yolov3_detect_out_t none = rec;
  none.input_num = 0;
  auto a = card.send(178, payload_of(none));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_NE(card.console().find("TPU Detected output box num: 3\n:"), std::string::npos) << card.console();
  EXPECT_EQ(as_floats(card.read(kOut, 28)), std::vector<float>({0, -1, -1, -1, -1, -1, -1}));
  std::vector<uint32_t> words = payload_of(rec);
  words.push_back(0);
  zv_api_yolov3_detect_out_t four = rec, mask = rec;
  four.input_num = 4;
  mask.mask[3] = 9.0f;
  struct Case {
    const char *what;
    std::vector<uint32_t> payload;
    const char *text;
  };
  const Case cases[] = {
      {"record too long", words, ": size == sizeof(zv_api_yolov3_detect_out_t)\n"},
      {"four heads", payload_of(four), ": rec.input_num >= 0 && rec.input_num <= YOLOV3_MAX_HEADS\n"},
      {"an anchor number past the table", payload_of(mask), "ASSERT info: mask[3]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    a = card.send(178, c.payload);
    ASSERT_TRUE(AnswerOk(card, a, 1009u));
    EXPECT_NE(card.console().find(c.text), std::string::npos) << card.console();
  }
}

}  // namespace
}  // namespace zv::test
