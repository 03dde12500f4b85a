// The resize's fixed-point step by table; the resize against the plain
// reference of tests/ref in its three modes (one policy with and without kept
// aspect, different policies, multi-ROI), with type conversion, reversed
// planes and 4N byte lanes, under every schedule with the checker on; copy-to;
// the assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_resize.h"
#include "fw_test.h"
#include "ref/cv_resize_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = kUserDdr + 0x10000, kOut = kUserDdr + 0x800000;
constexpr u32 kRecords = DTCM_SCRATCH_START + 0x100;

TEST(CvResize, FixedPointStep) {
  struct Case {
    bool four_n;
    float scale;
    int multiplier, shift;
  };
  const Case cases[] = {{false, 1.5f, 3072, 11}, {true, 1.5f, 768, 9}, {false, 0.5f, 2048, 12},
                        {false, 1.0f, 2048, 11}, {false, 3000.0f, 3000, 0}, {false, 0.001f, 32, 15}};
  for (const Case &k : cases) {
    int m = 0, s = 0;
    dynamic_get_w_info(k.four_n, &m, &s, k.scale);
    EXPECT_EQ(m, k.multiplier) << k.scale << (k.four_n ? " 4N" : "");
    EXPECT_EQ(s, k.shift) << k.scale << (k.four_n ? " 4N" : "");
  }
}

std::vector<u8> bytes_of(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(i * 19 + seed * 7 + (i >> 5));
  return v;
}

struct ResizeCase {
  const char *what;
  u32 channels, in_type, out_type, width_stride, height_stride, image_num;
  u32 if_4N_to_1N, one_policy, need_switch, multi_roi, stretch_fit;
  std::vector<u32> roi_counts;
  std::vector<img_para_t> records;
  u8 pad[3];
};

const ResizeCase kCases[] = {
    {"one policy, two images, bytes, a region scaled 7 x 5 to 4 x 6", 3, 1, 1, 10, 8, 2, 0, 1, 0, 0, 1, {},
     {{1, 2, 7, 5, 4, 6}}, {0, 0, 0}},
    {"one policy keeps the aspect: bands at top and bottom", 2, 1, 1, 8, 6, 1, 0, 1, 0, 0, 0, {},
     {{0, 0, 8, 6, 4, 4}}, {10, 20, 30}},
    {"one policy keeps the aspect: bands left and right, floats", 1, 0, 0, 4, 8, 2, 0, 1, 0, 0, 0, {},
     {{0, 0, 4, 8, 4, 4}}, {1, 2, 3}},
    {"equal sizes, floats to bytes in one move", 2, 0, 1, 6, 4, 1, 0, 1, 0, 0, 1, {}, {{0, 0, 6, 4, 6, 4}},
     {0, 0, 0}},
    {"three planes reversed, bytes to floats", 3, 1, 0, 9, 7, 1, 1, 1, 0, 0, 1, {}, {{2, 1, 6, 6, 3, 4}},
     {0, 0, 0}},
    {"different policies, each image its own record", 1, 1, 1, 12, 9, 2, 0, 0, 0, 0, 1, {},
     {{0, 0, 12, 9, 5, 3}, {3, 2, 8, 6, 9, 7}}, {0, 0, 0}},
    {"4N source split into three 1N images", 2, 4, 1, 10, 6, 3, 0, 0, 1, 0, 1, {},
     {{0, 0, 10, 6, 4, 3}, {1, 1, 6, 4, 6, 5}, {2, 0, 8, 6, 3, 3}}, {0, 0, 0}},
    {"multi-ROI: two and one regions", 1, 1, 1, 16, 10, 2, 0, 0, 0, 1, 1, {2, 1},
     {{0, 0, 16, 10, 4, 5}, {5, 3, 6, 6, 3, 2}, {2, 2, 10, 8, 7, 4}}, {0, 0, 0}},
};

// What the resize writes, image after image (and ROI after ROI).
std::vector<u8> expected(const ResizeCase &k, const std::vector<u8> &src, std::vector<u8> out) {
  const bool four_n = k.need_switch == 1;
  const u32 e_in = four_n ? 1 : (k.in_type == 1 ? 1 : 4), e_out = four_n ? 1 : (k.out_type == 1 ? 1 : 4);
  const u32 out_type = four_n ? 1 : k.out_type, in_type = four_n ? 1 : k.in_type;
  const size_t plane = size_t(k.width_stride) * k.height_stride;
  size_t at = 0;
  u32 record = 0;
  for (u32 i = 0; i < k.image_num; i++) {
    const u32 rois = k.multi_roi ? k.roi_counts[i] : 1;
    for (u32 r = 0; r < rois; r++, record++) {
      const img_para_t p = k.one_policy ? k.records[0] : k.records[record];
      i32 ow = p.out_width, oh = p.out_height, cw = ow, ch = oh;
      size_t base = at;
      if (k.one_policy && !k.stretch_fit) {
        const float in_w = float(p.in_width), in_h = float(p.in_height);
        if (float(oh) / in_h > float(ow) / in_w) {
          ch = i32(std::lrint(in_h * float(ow) / in_w));
          const i32 G = (oh - ch + 1) / 2;
          base += size_t(G) * ow * e_out;
          for (u32 c = 0; c < k.channels; c++)
            for (i32 y : {0, oh - G})
              for (i32 yy = y; yy < y + G; yy++)
                for (i32 x = 0; x < ow; x++) {
                  const u8 v = k.pad[2 - c];
                  u8 *d = &out[at + ((size_t(c) * oh + yy) * ow + x) * e_out];
                  if (e_out == 1) *d = v;
                  else { const float f = v; std::memcpy(d, &f, 4); }
                }
        } else {
          cw = i32(std::lrint(float(oh) / in_h * in_w));
          const i32 F = (ow - cw + 1) / 2;
          base += size_t(F) * e_out;
          for (u32 c = 0; c < k.channels; c++)
            for (i32 y = 0; y < oh; y++)
              for (i32 x0 : {0, ow - F})
                for (i32 x = x0; x < x0 + F; x++) {
                  const u8 v = k.pad[2 - c];
                  u8 *d = &out[at + ((size_t(c) * oh + y) * ow + x) * e_out];
                  if (e_out == 1) *d = v;
                  else { const float f = v; std::memcpy(d, &f, 4); }
                }
        }
      }
      for (u32 c = 0; c < k.channels; c++) {
        const u32 sp = k.if_4N_to_1N ? (c == 0 ? 2 : c == 2 ? 0 : 1) : c;
        for (i32 y = 0; y < ch; y++)
          for (i32 x = 0; x < cw; x++) {
            int col, row;
            ref::resize_pick(four_n, p.in_width, p.in_height, cw, ch, x, y, col, row);
            const size_t e = (size_t(sp) * k.height_stride + p.start_y + row) * k.width_stride + p.start_x + col;
            const u8 *s = four_n ? &src[((i / 4) * k.channels * plane + e) * 4 + i % 4]
                                 : &src[(i * k.channels * plane + e) * e_in];
            ref::resize_convert(s, in_type, &out[base + ((size_t(c) * oh + y) * ow + x) * e_out], out_type);
          }
      }
      at += size_t(k.channels) * oh * ow * e_out;
    }
  }
  return out;
}

TEST(CvResize, EqualsTheReference) {
  for (const ResizeCase &k : kCases) {
    const bool four_n = k.need_switch == 1;
    const u32 e_in = k.in_type == 1 ? 1 : 4;
    const size_t src_bytes = size_t(four_n ? (k.image_num + 3) / 4 : k.image_num) * k.channels * k.width_stride *
                             k.height_stride * e_in;
    std::vector<u8> src = bytes_of(src_bytes, k.channels + k.image_num);
    if (k.in_type == 0)
      for (size_t i = 0; i < src_bytes / 4; i++) {
        const float f = float(int(i * 13 % 290) - 15) + (i % 3 ? 0.5f : 0.25f);
        std::memcpy(&src[4 * i], &f, 4);
      }
    const std::vector<u8> old = bytes_of(4096, 3);
    const std::vector<u8> want = expected(k, src, old);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kIn, src.data(), src.size());
      rig.chip().device_memory().store(kOut, old.data(), old.size());
      rig.chip().dtcm.store(DTCM_SCRATCH_START, k.roi_counts.data(), 4 * k.roi_counts.size());
      rig.chip().dtcm.store(kRecords, k.records.data(), sizeof(img_para_t) * k.records.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_resize(kIn, kRecords, k.channels, kOut, DTCM_SCRATCH_START, k.in_type, k.out_type,
                           k.width_stride, k.height_stride, k.image_num, k.if_4N_to_1N, k.one_policy, k.need_switch,
                           k.multi_roi, (u8)k.stretch_fit, k.pad[0], k.pad[1], k.pad[2], node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kOut, got.data(), got.size());
      size_t bad = 0;
      for (size_t b = 0; b < got.size(); b++)
        if (got[b] != want[b] && bad++ < 4) ADD_FAILURE() << "byte " << b << ": " << int(got[b]) << " want " << int(want[b]);
      EXPECT_EQ(bad, 0u);
    }
  }
}

TEST(CvResize, RefusesWhatItCannotDo) {
  struct Case {
    const char *what;
    u32 image_num, in_type, if_4N_to_1N, one_policy, need_switch, multi_roi, stretch_fit;
    img_para_t record;
    const char *kind, *function, *condition, *info;
  };
  const img_para_t ok = {0, 0, 4, 4, 2, 2};
  const Case cases[] = {
      {"33 images", 33, 1, 0, 1, 0, 0, 1, ok, "ASSERT_FS", "nodechip_cv_resize", "image_num <= (32)", "none."},
      {"both plane reversal and the 4N split", 1, 1, 1, 0, 1, 0, 1, ok, "ASSERT_FS", "nodechip_cv_resize",
       "(0 == if_4N_to_1N) || (0 == need_switch)", "none."},
      {"one policy with multi-ROI", 1, 1, 0, 1, 0, 1, 1, ok, "ASSERT_FS", "nodechip_cv_resize",
       "1 != (one_policy_in_diff_images & multi_roi)", "none."},
      {"different policies without stretch_fit", 1, 1, 0, 0, 0, 0, 0, ok, "ASSERT", "nodechip_cv_resize",
       "stretch_fit", "stretch_fit must be set in diff policies mode\r\n"},
      {"multi-ROI of 4N data without the split", 1, 4, 0, 0, 0, 1, 1, ok, "ASSERT_FS", "nodechip_cv_resize", "0",
       "Not support data type\r\n"},
      {"region wider than the row stride", 1, 1, 0, 1, 0, 0, 1, {0, 0, 9, 4, 2, 2}, "ASSERT_FS",
       "nodechip_cv_resize", "width_stride >= img_para[0].in_width", "none."},
      {"empty output", 1, 1, 0, 0, 0, 0, 1, {0, 0, 4, 4, 0, 2}, "ASSERT_FS", "nodechip_cv_resize",
       "p.in_width > 0 && p.in_height > 0 && p.out_width > 0 && p.out_height > 0", "record 0: 4 x 4 to 0 x 2"},
      {"a staged row beyond L2", 32, 0, 0, 1, 0, 0, 1, {0, 0, 8, 4, 30000, 2}, "ASSERT_FS", "resize_rows",
       "(tmp_sram_addr + dst_single_move_size) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET", "data too large\r\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FirmwareRig rig;
    const u32 one = 1;
    rig.chip().dtcm.store(DTCM_SCRATCH_START, &one, 4);
    rig.chip().dtcm.store(kRecords, &k.record, sizeof k.record);
    FwOutcome o = rig.run_checks([&](cmd_id_node_t *node) {
      nodechip_cv_resize(kIn, kRecords, 1, kOut, DTCM_SCRATCH_START, k.in_type, k.in_type == 4 ? 4 : 1, 8, 4,
                         k.image_num, k.if_4N_to_1N, k.one_policy, k.need_switch, k.multi_roi, (u8)k.stretch_fit, 0, 0,
                         0, node);
    });
    EXPECT_TRUE(stopped_on(o, k.kind, "firmware/cv/", k.function, k.condition, k.info));
  }
}

TEST(CvCopyTo, FillsThenCopies) {
  struct Case {
    const char *what;
    u32 channels, data_type, colour_order, packed, padding;
  };
  const Case cases[] = {
      {"planar bytes, colour order 2 fills channel 0 with the third value", 3, 1, 2, 0, 1},
      {"packed bytes, colour order 1", 3, 1, 1, 1, 1},
      {"planar floats, no fill", 2, 0, 0, 0, 0},
      {"4N words, colour order 0 fills every lane", 1, 4, 0, 0, 1},
  };
  const u32 sw = 3, sh = 2, ss = 5, dw = 6, dh = 4, ds = 7, ox = 2, oy = 1;
  for (const Case &k : cases) {
    const u32 e = k.data_type == 1 ? 1 : 4, px = k.packed ? 3 : 1, planes = k.packed ? 1 : k.channels;
    const u32 R = ds * px;  // destination row stride in elements
    const std::vector<u8> src = bytes_of(size_t(planes) * sh * ss * e * px, 4);
    const std::vector<u8> old = bytes_of(size_t(planes) * dh * ds * e * px + 16, 8);
    std::vector<u8> want = old;
    const u8 values[3] = {11, 22, 33};
    u8 ch[3] = {values[0], values[0], values[0]};
    if (k.colour_order == 1) ch[1] = values[1], ch[2] = values[2];
    if (k.colour_order == 2) ch[0] = values[2], ch[1] = values[1], ch[2] = values[0];
    auto put = [&](size_t at, u8 v) {
      if (k.data_type == 1) want[at] = v;
      else if (k.data_type == 4) std::memset(&want[at], v, 4);
      else { const float f = v; std::memcpy(&want[at], &f, 4); }
    };
    if (k.padding)
      for (u32 c = 0; c < (k.packed ? 3 : k.channels); c++)
        for (u32 y = 0; y < dh; y++)
          for (u32 x = 0; x < dw; x++)
            put(k.packed ? (size_t(y) * R + 3 * x + c) * e : ((size_t(c) * dh + y) * R + x) * e, ch[c]);
    const size_t row = size_t(sw) * px * e;
    for (u32 p = 0; p < planes; p++)
      for (u32 y = 0; y < sh; y++)
        std::memcpy(&want[((size_t(p) * dh + oy + y) * R + ox * px) * e], &src[(size_t(p) * sh + y) * ss * px * e], row);
    const u64 dst = kOut + (size_t(oy) * R + ox * px) * e;
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kIn, src.data(), src.size());
      rig.chip().device_memory().store(kOut, old.data(), old.size());
      // Row strides count elements of the layout: packed rows hold 3 per pixel.
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_copy_to(kIn, dst, kOut, k.channels, ss * px, sw, sh, R, dw, dh, k.data_type,
                         k.colour_order, k.packed, k.padding, values[0], values[1], values[2], node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kOut, got.data(), got.size());
      EXPECT_TRUE(got == want);
    }
  }
}

}  // namespace
}  // namespace zv::test
