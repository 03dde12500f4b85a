// The SSD and YOLOv3 detection-output and region-proposal controllers through
// the network-run API: one-layer networks written by the test-side writer on
// deferred cards with the race checker (the ARM image for a sample), against
// the plain references of their layers; bad records answer 1009 and leave the
// card serving.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer_detect.h"
#include "net_writer_select.h"
#include "ref/rpn_ref.h"
#include "ref/ssd_ref.h"
#include "ref/yolov3_ref.h"

namespace zv::test {
namespace {

using namespace net;
using Rec = std::array<float, 7>;

constexpr uint32_t kFp32 = 0, kFix8 = 2;
const uint64_t kSeeds[] = {1, 2, 3};

uint32_t rand15(unsigned &r) {
  r = r * 1103515245u + 12345u;
  return (r >> 16) & 0x7fff;
}

// The registered [1, 1, count, 7] and the records, fields 0 and 1 exactly
// (image, label), the rest within float rounding.
void expect_detections(host::Card &card, const std::vector<Rec> &want, size_t exact_fields) {
  ASSERT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{1, 1, uint32_t(want.size()), 7}));
  const std::vector<float> got = get<float>(card, kNetOut[0], 7 * want.size());
  size_t bad = 0;
  for (size_t k = 0; k < want.size(); k++)
    for (size_t f = 0; f < 7; f++) {
      const float g = got[7 * k + f], w = want[k][f];
      const float tol = f < exact_fields ? 0.0f : 1e-6f + 1e-6f * std::fabs(w);
      if (!(std::fabs(g - w) <= tol) && bad++ < 8)
        ADD_FAILURE() << "record " << k << " field " << f << ": " << g << " want " << w;
    }
  EXPECT_EQ(bad, 0u);
}

// ---- SSD ----

struct SsdScene {
  std::vector<float> loc, conf, prior;
};

// Priors on an overlapping grid, small offsets, coarse scores (many equal).
SsdScene ssd_scene(const ref::SsdParams &p, unsigned seed) {
  SsdScene s;
  const int np = p.num_priors, side = int(std::ceil(std::sqrt(double(np))));
  for (int j = 0; j < np; j++) {
    const float x = float(j % side) * 0.05f - 0.1f, y = float(j / side) * 0.05f - 0.1f;
    s.prior.insert(s.prior.end(), {x, y, x + 0.08f + 0.02f * float(j % 3), y + 0.1f});
  }
  for (int j = 0; j < np; j++) s.prior.insert(s.prior.end(), {0.1f, 0.1f, 0.2f, 0.2f});
  s.loc.resize(size_t(p.num) * size_t(np) * size_t(p.num_loc_classes) * 4);
  for (float &v : s.loc) v = float(int(rand15(seed) % 41) - 20) * 0.05f;
  s.conf.resize(size_t(p.num) * size_t(np) * size_t(p.num_classes));
  for (float &v : s.conf) v = float(rand15(seed) % 16) / 16.0f;
  return s;
}

NetRun ssd_net(const ref::SsdParams &p, const Record &r, uint32_t batch) {
  const uint32_t np = uint32_t(p.num_priors);
  return one_layer({{kFp32, {batch, np * uint32_t(p.num_loc_classes) * 4}},
                    {kFp32, {batch, np * uint32_t(p.num_classes)}},
                    {kFp32, {1, 2, np * 4}}},
                   1,
                   glb_layer(DYNAMIC_LAYER_SSD_DETECT_OUT, kFp32, r,
                             Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(3)).append(
                                 net_io_ref(10))));
}

Record ssd_record_of(const ref::SsdParams &p) {
  SsdRecord r;
  r.num_classes = uint32_t(p.num_classes);
  r.share_location = p.share_location ? 1 : 0;
  r.background_class = uint32_t(p.background_label_id);
  r.variance_encoded = p.variance_encoded_in_target ? 1 : 0;
  r.keep_top_k = p.keep_top_k;
  r.confidence_threshold = p.confidence_threshold;
  r.nms_threshold = p.nms_threshold;
  r.eta = p.eta;
  r.top_k = p.top_k;
  return ssd_detect_out_record(r);
}

TEST(GlbDetectOutCtrl, SsdDetectionsAgainstTheReference) {
  struct Case {
    const char *what;
    ref::SsdParams p;
  };
  // num, np, nc, nlc, shared, bg, top_k, keep_top_k, venc, nms, conf, eta
  const Case cases[] = {
      {"shared locations, background 0", {2, 40, 4, 1, true, 0, -1, -1, false, 0.45f, 0.5f, 1.0f}},
      {"a location per class, top_k 3, keep_top_k 5, encoded variances, adaptive threshold",
       {2, 30, 3, 3, false, -1, 3, 5, true, 0.7f, 0.3f, 0.9f}},
      {"nothing passes: one empty record per image", {2, 20, 3, 1, true, 0, -1, -1, false, 0.45f, 0.99f, 1.0f}},
  };
  for_each_api_card([&](host::Card &card) {
    unsigned seed = 11;
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const SsdScene s = ssd_scene(c.p, seed++);
      put(card, kNetIn[0], s.loc);
      put(card, kNetIn[1], s.conf);
      put(card, kNetIn[2], s.prior);
      run_ok(card, ssd_net(c.p, ssd_record_of(c.p), uint32_t(c.p.num)));
      expect_detections(card, ref::ssd_detect_out(s.loc, s.conf, s.prior, c.p), 3);
    }
  });
}

// ---- YOLOv3 ----

ref::YoloParams yolo_params(int num, int classes, int boxes, int keep_top_k, float nms, float conf) {
  ref::YoloParams p{num, classes, boxes, boxes, keep_top_k, nms, conf, {}, {32.0f, 16.0f, 8.0f}, {}};
  for (int i = 0; i < 18; i++) p.biases[size_t(i)] = 10.0f + 7.0f * float(i);
  for (int i = 0; i < 9; i++) p.mask[size_t(i)] = float((6 - 3 * (i / 3) + i % 3) % 9);
  return p;
}

std::vector<ref::YoloHead> yolo_heads(const ref::YoloParams &p, const std::vector<std::pair<int, int>> &shapes,
                                      unsigned seed) {
  std::vector<ref::YoloHead> heads;
  for (auto [h, w] : shapes) {
    ref::YoloHead hd{h, w, std::vector<float>(size_t(p.num * p.num_boxes * (p.num_classes + 5) * h * w))};
    for (float &v : hd.data) v = float(int(rand15(seed) % 9) - 4) * 0.5f;
    heads.push_back(std::move(hd));
  }
  return heads;
}

Record yolo_record_of(const ref::YoloParams &p, uint32_t head_num) {
  Yolov3Record r;
  r.head_num = head_num;
  r.num_classes = p.num_classes;
  r.num_boxes = p.num_boxes;
  r.mask_group = p.mask_group;
  r.keep_top_k = p.keep_top_k;
  r.confidence_threshold = p.confidence_threshold;
  r.nms_threshold = p.nms_threshold;
  r.biases = p.biases;
  r.strides = p.strides;
  r.mask = p.mask;
  return yolov3_detect_out_record(r);
}

// Heads as net inputs 1.. with `dims` extents each ([num, channels, h, w], or
// the last `dims` of it); `head_num` from the record.
NetRun yolo_net(const ref::YoloParams &p, const std::vector<ref::YoloHead> &heads, uint32_t head_num,
                size_t dims = 4) {
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> inputs;
  Words refs;
  for (size_t k = 0; k < heads.size(); k++) {
    std::vector<uint32_t> shape = {uint32_t(p.num), uint32_t(p.num_boxes * (p.num_classes + 5)),
                                   uint32_t(heads[k].h), uint32_t(heads[k].w)};
    shape.erase(shape.begin(), shape.begin() + long(4 - dims));
    inputs.push_back({kFp32, shape});
    refs.append(net_io_ref(uint32_t(1 + k)));
  }
  refs.append(net_io_ref(10));
  return one_layer(inputs, 1, glb_layer(DYNAMIC_LAYER_YOLOV3_DETECT_OUT, kFp32, yolo_record_of(p, head_num), refs));
}

TEST(GlbDetectOutCtrl, Yolov3DetectionsAgainstTheReference) {
  struct Case {
    const char *what;
    ref::YoloParams p;
    std::vector<std::pair<int, int>> shapes;
  };
  const Case cases[] = {
      {"one head", yolo_params(2, 4, 3, -1, 0.45f, 0.3f), {{5, 4}}},
      {"three heads, keep_top_k 3", yolo_params(3, 3, 3, 3, 0.5f, 0.2f), {{3, 3}, {6, 6}, {12, 12}}},
      {"no box anywhere", yolo_params(1, 2, 2, -1, 0.5f, 0.999f), {{3, 3}}},
  };
  for_each_api_card([&](host::Card &card) {
    unsigned seed = 3;
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const std::vector<ref::YoloHead> heads = yolo_heads(c.p, c.shapes, seed++);
      for (size_t k = 0; k < heads.size(); k++) put(card, kNetIn[k], heads[k].data);
      run_ok(card, yolo_net(c.p, heads, uint32_t(heads.size())));
      expect_detections(card, ref::yolov3_detect_out(heads, c.p), 2);
    }
  });
}

TEST(GlbDetectOutCtrl, EmptyBatchesRegisterNoDetectionsAndBadRecordsAnswer1009) {
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ref::SsdParams sp = {0, 20, 3, 1, true, 0, -1, -1, false, 0.45f, 0.1f, 1.0f};
    const SsdScene s = ssd_scene({1, 20, 3, 1, true, 0, -1, -1, false, 0.45f, 0.1f, 1.0f}, 5);
    put(*card, kNetIn[2], s.prior);
    run_ok(*card, ssd_net(sp, ssd_record_of(sp), 0));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{1, 1, 0, 7}));
    const ref::YoloParams yp = yolo_params(0, 2, 3, -1, 0.5f, 0.1f);
    std::vector<ref::YoloHead> heads = {{4, 4, {}}, {8, 8, {}}};
    run_ok(*card, yolo_net(yp, heads, 2));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{1, 1, 0, 7}));
  }
  auto card = deferred_card(Backend::Native, 2);
  const ref::YoloParams yp = yolo_params(1, 2, 3, -1, 0.5f, 0.3f);
  const std::vector<ref::YoloHead> heads = yolo_heads(yp, {{3, 3}, {4, 4}, {5, 5}}, 9);
  for (size_t k = 0; k < heads.size(); k++) put(*card, kNetIn[k], heads[k].data);
  const NetRun good = yolo_net(yp, heads, 3);
  struct Bad {
    const char *what;
    NetRun net;
    const char *cond;
  };
  const Bad bads[] = {
      // The head count sizes the controller's arrays: it is bounded by the
      // kernel's heads (the fourth reference would be read from the output's).
      {"four heads", yolo_net(yp, heads, 4), "head_num >= 1 && head_num <= YOLOV3_MAX_HEADS"},
      {"no head", yolo_net(yp, heads, 0), "head_num >= 1 && head_num <= YOLOV3_MAX_HEADS"},
      {"a 3-dim head", yolo_net(yp, heads, 3, 3), "bottom[i].dims == 4"},
  };
  for (const Bad &b : bads) {
    SCOPED_TRACE(b.what);
    run_fails(*card, b.net, b.cond, good);
  }
}

// ---- region proposals ----

struct RpnInput {
  std::vector<float> scores;  // 18 channels
  std::vector<float> deltas;  // as the layer reads them, in f32
  std::vector<uint8_t> raw;   // the deltas in device memory
};

// prec 0: f32 deltas; 1: signed bytes in 4N words (times scale).
RpnInput rpn_input(const ref::RpnParams &p, int prec, float scale, unsigned seed) {
  const size_t HW = size_t(p.H * p.W);
  RpnInput in;
  for (size_t i = 0; i < 18 * HW; i++) in.scores.push_back(float(rand15(seed) % 11) / 10.0f);
  for (size_t i = 0; i < 36 * HW; i++) {
    const int q = int(rand15(seed) % 21) - 10;
    if (prec == 0) {
      in.deltas.push_back(float(q) * 0.05f);
      continue;
    }
    in.deltas.push_back(float(q) * scale);
    in.raw.insert(in.raw.end(), {uint8_t(q), uint8_t(rand15(seed)), uint8_t(rand15(seed)), uint8_t(rand15(seed))});
  }
  if (prec == 0) {
    in.raw.resize(in.deltas.size() * 4);
    std::memcpy(in.raw.data(), in.deltas.data(), in.raw.size());
  }
  return in;
}

NetRun rpn_net(const ref::RpnParams &p, uint32_t data_size, uint32_t in_mode, const Record &r,
               std::vector<uint32_t> delta_shape = {}) {
  if (delta_shape.empty()) delta_shape = {1, 36, uint32_t(p.H), uint32_t(p.W)};
  return one_layer({{kFp32, {1, 18, uint32_t(p.H), uint32_t(p.W)}}, {data_size, delta_shape}, {kFp32, {1, 3}}}, 1,
                   glb_layer(DYNAMIC_LAYER_RPN, data_size, r,
                             Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(3)).append(
                                 net_io_ref(10)),
                             in_mode));
}

Record rpn_record_of(const ref::RpnParams &p, float scale) {
  RpnRecord r;
  r.feat_stride = p.feat_stride;
  r.base_size = p.base_size;
  r.min_size = p.min_size;
  r.pre_nms_topN = p.pre_nms_topN;
  r.post_nms_topN = p.post_nms_topN;
  r.nms_thresh = p.nms_thresh;
  r.score_thresh = p.score_thresh;
  r.scale = scale;
  r.buffer_offset = 0x4000000;  // the 4N de-interleave's scratch, behind the neuron base
  return rpn_record(r);
}

TEST(GlbDetectOutCtrl, RegionProposalsAgainstTheReference) {
  struct Case {
    const char *what;
    ref::RpnParams p;
    int prec;
    float scale;
  };
  // H, W, stride, base, min, pre, post, nms, score, im_h, im_w, im_scale
  const Case cases[] = {
      {"float, table anchors", {5, 6, 16, 16, 4, -1, 0, 0.7f, 0.3f, 90, 100, 1.0f}, 0, 0.0f},
      {"float, pre- and post-NMS cuts", {5, 6, 16, 16, 4, 40, 7, 0.5f, 0.3f, 90, 100, 1.0f}, 0, 0.0f},
      {"signed 8-bit deltas in 4N words", {4, 5, 16, 16, 4, -1, 0, 0.7f, 0.3f, 80, 80, 1.0f}, 1, 0.04f},
      {"score threshold above every score", {3, 3, 16, 16, 0, -1, 0, 0.7f, 1.5f, 90, 100, 1.0f}, 0, 0.0f},
  };
  for_each_api_card([&](host::Card &card) {
    unsigned seed = 7;
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const RpnInput in = rpn_input(c.p, c.prec, c.scale, seed++);
      put(card, kNetIn[0], in.scores);
      put(card, kNetIn[1], in.raw);
      put(card, kNetIn[2], std::vector<float>{c.p.im_h, c.p.im_w, c.p.im_scale});
      // A float layer passes a delta scale of 0 whatever the record holds.
      const float rec_scale = c.prec ? c.scale : 9.0f;
      run_ok(card, rpn_net(c.p, c.prec ? kFix8 : kFp32, c.prec ? 2 : 0, rpn_record_of(c.p, rec_scale)));
      const std::vector<float> fg(in.scores.begin() + 9 * c.p.H * c.p.W, in.scores.end());
      const std::vector<std::array<float, 5>> want = ref::rpn_proposal(fg, in.deltas, c.p);
      ASSERT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{uint32_t(want.size()), 5, 1, 1}));
      const std::vector<float> got = get<float>(card, kNetOut[0], 5 * want.size());
      for (size_t i = 0; i < want.size(); i++)
        for (size_t k = 0; k < 5; k++)
          EXPECT_NEAR(got[5 * i + k], want[i][k], 1e-4f * (1.0f + std::fabs(want[i][k]))) << i << "," << k;
    }
  });
}

TEST(GlbDetectOutCtrl, RegionProposalsOfAnEmptyMapAndBadRecords) {
  const ref::RpnParams p = {3, 3, 16, 16, 0, -1, 0, 0.7f, 0.0f, 90, 100, 1.0f};
  auto card = deferred_card(Backend::Native, 3);
  const RpnInput in = rpn_input(p, 0, 0.0f, 4);
  put(*card, kNetIn[0], in.scores);
  put(*card, kNetIn[1], in.raw);
  put(*card, kNetIn[2], std::vector<float>{p.im_h, p.im_w, p.im_scale});
  const std::vector<float> canary(10, -5.0f);
  put(*card, kNetOut[0], canary);
  run_ok(*card, rpn_net(p, kFp32, 0, rpn_record_of(p, 0.0f), {1, 36, 0, 3}));
  EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{0, 5, 1, 1}));
  EXPECT_EQ(get<float>(*card, kNetOut[0], canary.size()), canary);
  run_fails(*card, rpn_net(p, kFp32, 0, rpn_record_of(p, 0.0f), {36, 3, 3}), "b1_info.dims == 4",
            rpn_net(p, kFp32, 0, rpn_record_of(p, 0.0f)));
}

}  // namespace
}  // namespace zv::test
