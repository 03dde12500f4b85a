// The warps through their dispatcher: nearest and bilinear, affine and
// perspective, 1N and 4N, against the plain references of tests/ref (odd
// rectangles, two rows per lane, sources clamped at their edges, bands cut
// into steps by L2 room), under every schedule with the checker on; the
// source of each output; the assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_warp.h"
#include "fw_test.h"
#include "ref/cv_warp_ref.h"

namespace zv::test {
namespace {

constexpr u64 kSrc = kUserDdr + 0x10000, kDst = kUserDdr + 0x2000000, kTable = kUserDdr + 0x3000000;
constexpr u64 kSrcRoom = 0x800000, kDstRoom = 0x100000;

std::vector<u8> image_bytes(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(i * 7 + seed * 41 + (i >> 8) * 5);
  return v;
}

struct WarpCase {
  const char *what;
  u32 mode, store_mode, channels, src_h, src_w, roi_h, roi_w, dst_h, dst_w, roi_x, roi_y;
  std::vector<u32> counts;      // outputs per source image
  std::vector<float> matrices;  // one per output
};

const WarpCase kCases[] = {
    {"affine identity copies the rectangle", 0, 1, 1, 12, 14, 5, 7, 12, 14, 2, 3, {1},
     {1, 0, 0, 0, 1, 0}},
    {"affine rotation and scale, 3 channels, 70 rows (two per lane), edges clamped", 0, 1, 3, 40, 30, 70, 9, 80,
     12, 1, 4, {1}, {0.8f, -0.35f, 3.3f, 0.3f, 0.55f, -6.2f}},
    {"three sources with 2, 0, 3 outputs", 0, 1, 2, 9, 11, 4, 5, 6, 8, 1, 1, {2, 0, 3},
     {1, 0, 0, 0, 1, 0, 0.5f, 0.1f, 1, 0, 0.7f, 2, -1, 0, 9, 0, 1, 0, 1.5f, 0, -3, 0, 1.5f, -2, 0.9f, 0.9f, 0,
      -0.2f, 0.3f, 4}},
    {"perspective identity copies the rectangle", 1, 1, 1, 10, 9, 6, 5, 10, 9, 3, 2, {1},
     {1, 0, 0, 0, 1, 0, 0, 0, 1}},
    {"perspective, two channels", 1, 1, 2, 30, 25, 11, 13, 20, 20, 4, 5, {1},
     {0.9f, 0.1f, 2, -0.05f, 1.1f, 1, 0.002f, 0.003f, 1}},
    {"4N: five outputs of four byte lanes, outputs in two groups", 0, 4, 1, 8, 10, 3, 4, 5, 6, 1, 2, {2, 0, 2, 1},
     {1, 0, 0, 0, 1, 0, -1, 0, 9, 0, 1, 0, 0.5f, 0, 1, 0, 0.5f, 1, 1, 0.2f, 0, 0, 1, 0, 1, 0, 1, 0, -1, 7}},
    {"bilinear affine, scaled", 2, 1, 2, 20, 18, 6, 5, 10, 12, 2, 1, {1}, {0.7f, 0.1f, 1.3f, -0.05f, 0.8f, 2.6f}},
    {"bilinear with integral positions returns the pixels", 2, 1, 1, 8, 8, 4, 4, 8, 8, 1, 1, {1},
     {1, 0, 2, 0, 1, 1}},
    {"bilinear perspective, positions below 0 clamp", 3, 1, 1, 16, 16, 7, 9, 12, 12, 0, 0, {1},
     {1.1f, 0.05f, -1.5f, 0.02f, 0.9f, -0.7f, 0.001f, 0.002f, 1}},
    {"bands cut into steps by the L2 room", 0, 1, 3, 600, 3100, 256, 4, 256, 4, 0, 0, {1},
     {1000, 0, 0, 0, 2, 0}},
    {"perspective bands found by the search", 1, 1, 3, 600, 3100, 256, 4, 256, 4, 0, 0, {1},
     {1000, 0, 0, 0, 2, 0, 0, 0, 1}},
};

TEST(CvWarp, EqualsTheReference) {
  for (const WarpCase &k : kCases) {
    const bool perspective = k.mode == 1 || k.mode == 3, bilinear = k.mode >= 2, four_n = k.store_mode == 4;
    const u32 msize = perspective ? 9 : 6, e = four_n ? 4 : 1;
    const u32 sources = (u32)k.counts.size();
    u32 outputs = 0;
    for (u32 c : k.counts) outputs += c;
    ASSERT_EQ(k.matrices.size(), size_t(outputs) * msize) << k.what;
    const u32 src_stride = k.src_w * e;
    const size_t src_bytes = size_t(k.channels) * k.src_h * src_stride, dst_bytes = size_t(k.channels) * k.dst_h * k.dst_w * e;
    // Source images (4N: groups of four byte lanes) and the outputs' images.
    const u32 src_slots = four_n ? 1 : sources, out_slots = four_n ? (outputs + 3) / 4 : outputs;
    u64 input[4] = {}, table_outs[64] = {};
    u32 counts[4] = {}, strides[4] = {};
    std::vector<std::vector<u8>> src(src_slots);
    for (u32 i = 0; i < src_slots; i++) {
      input[i] = kSrc + i * kSrcRoom;
      strides[i] = src_stride;
      src[i] = image_bytes(src_bytes, i + k.src_w);
    }
    for (u32 i = 0; i < sources; i++) counts[i] = k.counts[i];
    std::vector<std::vector<u8>> want(out_slots, image_bytes(dst_bytes, 99));
    const std::vector<u8> old = want.empty() ? std::vector<u8>() : want[0];
    u32 out = 0;
    for (u32 s = 0; s < sources; s++)
      for (u32 j = 0; j < k.counts[s]; j++, out++) {
        ref::WarpGeometry g = {e, k.channels, k.src_h, k.src_w, k.roi_h, k.roi_w, k.dst_h, k.dst_w, k.roi_x, k.roi_y,
                               src_stride};
        // A 4N lane: source s reads byte lane s % 4 of group s / 4; output out writes lane out % 4.
        std::vector<u8> lane_src(src[four_n ? s / 4 : s].begin() + (four_n ? s % 4 : 0), src[four_n ? s / 4 : s].end());
        std::vector<u8> &d = want[four_n ? out / 4 : out];
        std::vector<u8> lane_dst(d.begin() + (four_n ? out % 4 : 0), d.end());
        if (bilinear)
          ref::warp_bilinear(lane_src, g, &k.matrices[out * msize], perspective, lane_dst);
        else
          ref::warp_nearest(lane_src, g, &k.matrices[out * msize], perspective, lane_dst);
        std::copy(lane_dst.begin(), lane_dst.end(), d.begin() + (four_n ? out % 4 : 0));
      }
    for (u32 i = 0; i < out_slots; i++) table_outs[i] = kDst + i * kDstRoom;
    std::vector<u8> table(out_slots * 8 + k.matrices.size() * 4);
    std::memcpy(table.data(), table_outs, out_slots * 8);
    std::memcpy(table.data() + out_slots * 8, k.matrices.data(), k.matrices.size() * 4);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      chip::Memory &m = rig.chip().device_memory();
      for (u32 i = 0; i < src_slots; i++) m.store(input[i], src[i].data(), src[i].size());
      for (u32 i = 0; i < out_slots; i++) m.store(table_outs[i], old.data(), old.size());
      m.store(kTable, table.data(), table.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_warp(input, kTable, counts, strides, k.store_mode, sources, k.channels, k.src_h, k.src_w, k.roi_h,
                         k.roi_w, k.dst_h, k.dst_w, k.roi_x, k.roi_y, k.mode, node);
      }));
      for (u32 i = 0; i < out_slots; i++) {
        std::vector<u8> got(old.size());
        m.load(table_outs[i], got.data(), got.size());
        size_t bad = 0;
        for (size_t b = 0; b < got.size(); b++)
          if (got[b] != want[i][b] && bad++ < 4)
            ADD_FAILURE() << "output " << i << " byte " << b << ": " << int(got[b]) << " want " << int(want[i][b]);
        EXPECT_EQ(bad, 0u);
      }
    }
  }
}

TEST(CvWarp, SourceOfEachOutput) {
  const u32 prefix[3] = {2, 2, 5};
  const u32 want[5] = {0, 0, 2, 2, 2};
  for (u32 k = 0; k < 5; k++) EXPECT_EQ(warp_get_idx(k, prefix, 3), want[k]) << "output " << k;
  FwOutcome out = run_firmware([&] { warp_get_idx(5, prefix, 3); });
  EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/cv/", "warp_get_idx", "0", "warp index wrong.\n"));
}

TEST(CvWarp, RefusesWhatItCannotHold) {
  const u64 input[4] = {kSrc, kSrc, kSrc, kSrc};
  const u32 strides[4] = {64, 64, 64, 64};
  struct Case {
    const char *what;
    u32 mode, channels, src_h, src_w, roi_h, roi_w;
    u32 count;
    float m[9];
    const char *function, *kind, *condition, *info;
    bool before_any_command;
  };
  const Case cases[] = {
      {"rectangle beyond the coordinate planes", 0, 1, 8, 8, 257, 4, 1, {1, 0, 0, 0, 1, 0}, "warp_init", "ASSERT_FS",
       "roi_h > 0 && roi_w > 0 && roi_h <= CV_COORD_PLANE_SIZE && roi_w <= CV_COORD_PLANE_SIZE && src_h > 0 && "
       "src_w > 0 && channels > 0",
       "roi 257 x 4, source 8 x 8, 1 channels", false},
      {"table beyond the DTCM window", 1, 1, 8, 8, 4, 4, 20000, {1, 0, 0, 0, 1, 0, 0, 0, 1}, "nodechip_cv_warp",
       "ASSERT_FS", "table_bytes <= DTCM_SCRATCH_SIZE", "table of 20000 outputs", true},
      {"bilinear planes of 20 channels beyond local memory", 2, 20, 8, 8, 256, 256, 1, {1, 0, 0, 0, 1, 0},
       "nodechip_cv_warp_bilinear", "ASSERT", "crop_mid_local + img_index_size <= (1<<19)", "none.", false},
      {"affine crop rows beyond L2", 0, 1, 8, 3000000, 4, 256, 1, {10000, 0, 0, 0, 1, 0}, "fetch", "ASSERT",
       "step_h >= 1", "L2 memory too small to take the source image", false},
      {"perspective band of one row beyond L2", 1, 1, 200000, 100000, 4, 100, 1, {1000, 0, 0, 1000, 0, 0, 0, 0, 1},
       "fetch", "ASSERT_FS", "src_h <= src_h_max", "memory NOT enough to complete this transform!\n", false},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const bool perspective = k.mode == 1 || k.mode == 3;
    std::vector<u8> table(8 + 36);
    const u64 out = kDst;
    std::memcpy(table.data(), &out, 8);
    std::memcpy(table.data() + 8, k.m, perspective ? 36 : 24);
    const u32 counts[4] = {k.count};
    FirmwareRig rig;
    rig.chip().device_memory().store(kTable, table.data(), table.size());
    FwOutcome o = rig.run_checks([&](cmd_id_node_t *node) {
      nodechip_cv_warp(input, kTable, counts, strides, 1, 1, k.channels, k.src_h, k.src_w, k.roi_h, k.roi_w, 8, 64, 0,
                       0, k.mode, node);
    });
    EXPECT_TRUE(stopped_on(o, k.kind, "firmware/cv/", k.function, k.condition, k.info));
    if (k.before_any_command) {
      EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
    }
  }
  // A source address at or below the firmware's device memory start.
  const u64 low[4] = {0x100000000ull};
  const u32 one[4] = {1};
  std::vector<u8> table(8 + 24);
  const u64 out = kDst;
  const float id[6] = {1, 0, 0, 0, 1, 0};
  std::memcpy(table.data(), &out, 8);
  std::memcpy(table.data() + 8, id, 24);
  FirmwareRig rig;
  rig.chip().device_memory().store(kTable, table.data(), table.size());
  FwOutcome o = rig.run_checks([&](cmd_id_node_t *node) {
    nodechip_cv_warp(low, kTable, one, strides, 1, 1, 1, 4, 4, 2, 2, 4, 4, 0, 0, 0, node);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/cv/", "nodechip_cv_warp", "src_global_offset > GLOBAL_MEM_START_ADDR",
                         "src_global_offset = 100000000, s_idx = 0\n\n"));
}

}  // namespace
}  // namespace zv::test
