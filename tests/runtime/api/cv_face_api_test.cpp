// The face-proposal APIs end to end: 126 on one map pair and 501 on three
// levels per batch item joined, sorted and suppressed, compared with
// tests/ref on three deferred seeds with the checker on and on the ARM image;
// items that leave the DTCM cursor where they found it; wrong sizes and the
// handlers' limits answer 1009 with nothing issued.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cv/cv_common.h"
#include "cv/cv_face_proposal.h"
#include "fw_test.h"
#include "layers/detect/nms.h"
#include "rect_checks.h"
#include "ref/cv_face_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kMaps = kUserDdr + 0x100000, kOut = kUserDdr + 0x1000000, kCounts = kUserDdr + 0x1100000;

std::vector<float> values(size_t n, unsigned seed, float lo, float hi) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++)
    v[i] = lo + (hi - lo) * (float((i * 2654435761u + seed * 40503u) % 4093) + 0.5f) / 4093.0f;
  return v;
}

// One map pair of two anchors over 66 x 23 (two rows per lane), its data
// and the reference's records.
struct OnePair {
  zv_api_cv_gen_proposal_t rec = {};
  std::vector<float> scores, deltas, sizes;
  std::vector<ref::Rect> want;
};

OnePair one_pair() {
  OnePair p;
  zv_api_cv_gen_proposal_t &rec = p.rec;
  rec.scores = kMaps;
  rec.deltas = kMaps + 0x100000;
  rec.anchor_sizes = kMaps + 0x200000;
  rec.output = kOut;
  rec.scale = 0.5f;
  rec.stride_a = 4;
  rec.stride_b = 2;
  rec.W = 23;
  rec.H = 66;
  rec.image_w = 150;
  rec.image_h = 140;
  rec.A = 2;
  rec.base = 16;
  rec.divisor = 2;
  rec.min_size = 6;
  rec.score_threshold = 0.55f;
  rec.unused = 0xdeadbeef;
  const size_t hw = size_t(rec.H) * rec.W;
  p.scores = values(2 * hw, 1, 0, 1);
  p.deltas = values(8 * hw, 2, -0.7f, 0.7f);
  p.sizes = {1.5f, 4};
  const ref::FaceMap m = {2, 66, 23, 0.5f, 8, 16, 150, 140, 2, 6, 0.55f};
  p.want = ref::by_score(ref::face_candidates(p.scores, p.deltas, p.sizes, m));
  return p;
}

TEST(CvFaceApi, ProposalsOfOneMapPair) {
  const OnePair p = one_pair();
  ASSERT_GT(p.want.size(), 20u);
  for_each_api_card([&](host::Card &card) {
    put<float>(card, p.rec.scores, p.scores);
    put<float>(card, p.rec.deltas, p.deltas);
    put<float>(card, p.rec.anchor_sizes, p.sizes);
    send(card, 126, payload_of(p.rec));
    ASSERT_EQ(card.read32(kOut + FACE_PROP_COUNT_OFFSET), p.want.size());
    expect_rects(as_floats(card.read(kOut, 20 * p.want.size())), p.want);
  });
}

// A call that failed half-way left the DTCM cursor near the window's end and
// the list table full; the next call starts from the window's start with no
// list pending, and leaves the cursor there.
TEST(CvFaceApi, StateOfAFailedCallDoesNotReachTheNext) {
  const OnePair p = one_pair();
  FirmwareRig rig(deferred(1));
  chip::Memory &ddr = rig.chip().device_memory();
  ddr.store(p.rec.scores, p.scores.data(), p.scores.size() * 4);
  ddr.store(p.rec.deltas, p.deltas.data(), p.deltas.size() * 4);
  ddr.store(p.rec.anchor_sizes, p.sizes.data(), p.sizes.size() * 4);
  cv_cur_dtcm_addr = DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE - 4;
  l2sram_rect_cnt = FACE_PROP_MAX_LISTS;
  alignas(8) uint8_t param[sizeof(zv_api_cv_gen_proposal_t)];
  std::memcpy(param, &p.rec, sizeof param);
  ASSERT_TRUE(ran_clean(rig.run([&] { zv_api_cv_gen_proposal(param, sizeof param); })));
  EXPECT_EQ(cv_cur_dtcm_addr, DTCM_SCRATCH_START);
  uint32_t count = 0;
  ddr.load(kOut + FACE_PROP_COUNT_OFFSET, &count, 4);
  ASSERT_EQ(count, p.want.size());
  std::vector<float> got(5 * size_t(count));
  ddr.load(kOut, got.data(), got.size() * 4);
  expect_rects(got, p.want);
}

// Three levels of a two-item batch: score maps of two classes per item (the
// face planes after the A background planes), delta maps with a padded item
// stride.
struct Pipeline {
  zv_api_cv_gen_proposal_and_nms_t rec = {};
  std::vector<std::vector<float>> scores, deltas, sizes;  // per level
  std::vector<std::vector<ref::Rect>> items;              // per item: the kept boxes
};

Pipeline pipeline(u32 N, const u32 hw_of[3][2], u32 images_per_item, u32 first_image, float nms_threshold) {
  Pipeline p;
  const u32 A = 2;
  const float level_thresholds[3] = {0.6f, 0.3f, 0.5f};
  const u32 strides[3] = {8, 16, 32};
  const float scales[3] = {1, 2, 4};
  uint64_t at = kMaps;
  for (u32 l = 0; l < 3; l++) {
    face_prop_level_t &v = p.rec.level[l];
    const u32 h = hw_of[l][0], w = hw_of[l][1], hw = h * w;
    v.h = h;
    v.w = w;
    v.scale = scales[l];
    v.stride_factor = strides[l];
    v.images_per_item = images_per_item;
    v.threshold = level_thresholds[l];
    v.unused = 0xdeadbeef;
    v.delta_item_stride = 16 * A * hw + 64;
    const u32 planes = images_per_item * (N - 1) + first_image + A;
    p.scores.push_back(values(size_t(planes) * hw, 10 + l, 0, 1));
    p.deltas.push_back(values(size_t(v.delta_item_stride / 4) * N, 20 + l, -0.4f, 0.4f));
    p.sizes.push_back({1, 1.75f});
    v.scores = at;
    at += 0x40000;
    v.deltas = at;
    at += 0x40000;
    v.anchors = at;
    at += 0x1000;
  }
  face_prop_level_t &shared = p.rec.level[0];
  shared.P0 = 200;
  shared.P1 = 150;
  shared.S = 1;
  shared.A = A;
  shared.B = 16;
  shared.R = 1;
  shared.M = 4;
  p.rec.nms_threshold = nms_threshold;
  p.rec.threshold = 0.45f;
  p.rec.batch = N;
  p.rec.first_image = first_image;
  p.rec.proposal_addr = kMaps + 0x800000;
  p.rec.result_addr = kOut;
  p.rec.counts_addr = kCounts;
  for (u32 b = 0; b < N; b++) {
    std::vector<ref::Rect> all;
    for (u32 l = 0; l < 3; l++) {
      const face_prop_level_t &v = p.rec.level[l];
      const size_t hw = size_t(v.h) * v.w;
      const size_t first = hw * (size_t(images_per_item) * b + first_image);
      const std::vector<float> s(p.scores[l].begin() + long(first), p.scores[l].begin() + long(first + A * hw));
      const size_t d0 = size_t(v.delta_item_stride / 4) * b;
      const std::vector<float> d(p.deltas[l].begin() + long(d0), p.deltas[l].begin() + long(d0 + 4 * A * hw));
      const float floor_threshold = p.rec.threshold - 0.01f;
      const ref::FaceMap m = {int(A), int(v.h), int(v.w), v.scale, float(v.stride_factor), 16, 200, 150, 1, 4,
                              v.threshold > floor_threshold ? v.threshold : floor_threshold};
      const std::vector<ref::Rect> kept = ref::face_candidates(s, d, p.sizes[l], m);
      all.insert(all.end(), kept.begin(), kept.end());
    }
    p.items.push_back(ref::suppress_sorted(ref::by_score(all), nms_threshold));
  }
  return p;
}

void write_pipeline(Card &card, const Pipeline &p) {
  for (u32 l = 0; l < 3; l++) {
    put<float>(card, p.rec.level[l].scores, p.scores[l]);
    put<float>(card, p.rec.level[l].deltas, p.deltas[l]);
    put<float>(card, p.rec.level[l].anchors, p.sizes[l]);
  }
}

// The block holds every item's kept boxes one after the other; the counts
// are each item's share.
void expect_pipeline(Card &card, const Pipeline &p) {
  std::vector<ref::Rect> all;
  for (u32 b = 0; b < p.rec.batch; b++) {
    SCOPED_TRACE("item " + std::to_string(b));
    EXPECT_EQ(card.read32(kCounts + 4 * b), p.items[b].size());
    all.insert(all.end(), p.items[b].begin(), p.items[b].end());
  }
  EXPECT_EQ(int32_t(card.read32(kOut)), int32_t(all.size()));
  EXPECT_EQ(card.read32(kOut + 4), uint32_t(NMS_MAX_PROPOSALS));
  expect_rects(as_floats(card.read(kOut + 8, 20 * all.size())), all);
}

TEST(CvFaceApi, PipelineJoinsThreeLevelsAndSuppressesPerItem) {
  const u32 hw_of[3][2] = {{8, 10}, {4, 5}, {2, 3}};
  const Pipeline p = pipeline(2, hw_of, 4, 2, 0.3f);
  ASSERT_GT(p.items[0].size(), 3u);
  ASSERT_GT(p.items[1].size(), 3u);
  for_each_api_card([&](host::Card &card) {
    write_pipeline(card, p);
    send(card, 501, payload_of(p.rec));
    expect_pipeline(card, p);
  });
}

// Each item places its anchor tables and NMS rows from the same DTCM start:
// three items of about 200 proposals, whose rows would not fit twice.
TEST(CvFaceApi, ItemsLeaveTheCursorWhereTheyFoundIt) {
  const u32 hw_of[3][2] = {{12, 16}, {6, 8}, {3, 4}};
  const Pipeline p = pipeline(3, hw_of, 2, 0, 0.5f);
  auto card = deferred_card(Backend::Native, 2);
  write_pipeline(*card, p);
  send(*card, 501, payload_of(p.rec));
  expect_pipeline(*card, p);
  // And the next call, after one that failed half-way (its NMS input too long
  // for one pass), starts afresh.
  Pipeline big = p;
  big.rec.level[0].threshold = big.rec.level[1].threshold = big.rec.level[2].threshold = 0;
  big.rec.threshold = 0;
  const size_t console = card->console().size();
  send(*card, 501, payload_of(big.rec), 1009);
  EXPECT_NE(card->console().find("face-demo NMS takes at most", console), std::string::npos);
  write_pipeline(*card, p);
  send(*card, 501, payload_of(p.rec));
  expect_pipeline(*card, p);
}

TEST(CvFaceApi, BadRecordsAnswer1009WithNothingIssued) {
  zv_api_cv_gen_proposal_t one = {};
  one.scores = kMaps;
  one.deltas = kMaps + 0x100000;
  one.anchor_sizes = kMaps + 0x200000;
  one.output = kOut;
  one.A = 1;
  one.W = 257;
  one.H = 4;
  zv_api_cv_gen_proposal_t one_fw = one;
  one_fw.W = 8;
  one_fw.output = 0x100000000ull;
  const u32 hw_of[3][2] = {{8, 10}, {4, 5}, {2, 3}};
  const Pipeline p = pipeline(2, hw_of, 4, 2, 0.3f);
  zv_api_cv_gen_proposal_and_nms_t many = p.rec, flat = p.rec, fw = p.rec;
  many.batch = FACE_PIPE_MAX_ITEMS + 1;
  flat.level[2].h = 0;
  fw.result_addr = 0x100000000ull;
  const std::vector<RefusedCase> cases = {
      {"126 one word short", 126, std::vector<uint32_t>(20), ": size == sizeof(zv_api_cv_gen_proposal_t)\n"},
      {"501 one word long", 501, std::vector<uint32_t>(74), ": size == sizeof(zv_api_cv_gen_proposal_and_nms_t)\n"},
      {"126 with a map wider than the coordinate planes", 126, payload_of(one),
       ": p->A > 0 && p->W > 0 && p->H > 0 && p->W <= FACE_PROP_MAX_MAP && p->H <= FACE_PROP_MAX_MAP\n"},
      {"126 writing the firmware's part of device memory", 126, payload_of(one_fw), "api_global_fits"},
      {"501 with more items than its count array holds", 501, payload_of(many), ": N <= FACE_PIPE_MAX_ITEMS\n"},
      {"501 with an empty third level", 501, payload_of(flat),
       ": p->A > 0 && p->W > 0 && p->H > 0 && p->W <= FACE_PROP_MAX_MAP && p->H <= FACE_PROP_MAX_MAP\n"},
      {"501 writing the firmware's part of device memory", 501, payload_of(fw), "api_global_fits"},
  };
  expect_refused_on_api_cards(cases);
}

}  // namespace
}  // namespace zv::test
