// YUV to RGB: the tile plan by table, the conversion against the plain
// reference of tests/ref on every layout and result type (odd numbers of
// lanes, two row groups, column slices, three slices), under every schedule
// with the checker on, and its assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_yuv2rgb.h"
#include "fw_test.h"
#include "ref/cv_color_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = kUserDdr + 0x10000, kOut = kUserDdr + 0x800000;

TEST(CvYuv2Rgb, TilePlan) {
  struct Case {
    const char *what;
    u32 n, h, w, budget;
    dim4_t tile;
  };
  const Case cases[] = {
      {"short image: h/2 lanes of two rows, every image in one slice", 3, 6, 8, 8192, {3, 3, 2, 8}},
      {"h 256: rows double while 64 lanes stay filled", 4, 256, 64, 8192, {4, 64, 4, 64}},
      {"h 1024, w 16: rows stop at h / 64", 4, 1024, 16, 8192, {4, 64, 16, 16}},
      {"h 130: one trailing zero keeps two rows", 1, 130, 4, 8192, {1, 64, 2, 4}},
      {"images per slice bounded by the budget", 4, 200, 2048, 8192, {2, 64, 2, 2048}},
      {"wider than 4096: column slices of 4096, two rows", 2, 4, 4100, 8192, {1, 2, 2, 4096}},
      {"4N budget: wider than 1024 cut at 1024", 1, 2, 1030, 2048, {1, 1, 2, 1024}},
  };
  for (const Case &k : cases) {
    const dim4_t t = split_tensor_for_yuv2rgb(k.n, k.h, k.w, k.budget);
    EXPECT_EQ(t.n, k.tile.n) << k.what;
    EXPECT_EQ(t.c, k.tile.c) << k.what;
    EXPECT_EQ(t.h, k.tile.h) << k.what;
    EXPECT_EQ(t.w, k.tile.w) << k.what;
  }
}

ref::YuvImage image_of(u32 format, u32 h, u32 w, unsigned seed) {
  ref::YuvImage im;
  im.y.resize(size_t(h) * w);
  for (size_t i = 0; i < im.y.size(); i++) im.y[i] = u8(i * 7 + seed * 31 + (i >> 6) * 3);
  const size_t c = ref::yuv_chroma_bytes(format, h, w);
  im.u.resize(c);
  im.v.resize(c);
  for (size_t i = 0; i < c; i++) im.u[i] = u8(i * 13 + seed * 5 + 60), im.v[i] = u8(i * 29 + seed * 11 + 3);
  return im;
}

struct ConvertCase {
  const char *what;
  u32 format, dst_type, output_code, n, h, w, colour_code;
};

const ConvertCase kCases[] = {
    {"NV12 to bytes, three lanes", CV_NV12, 1, 0, 2, 6, 8, 1},
    {"4:2:0 planar to floats, R first", CV_YUV420_PLANAR, 0, 8, 1, 10, 6, 1},
    {"4:2:2 planar, three images in one 4N group", CV_YUV422_PLANAR, 2, 0, 3, 4, 6, 0},
    {"4:4:4 planar to bytes, BT.709 full range", CV_YUV444_PLANAR, 1, 8, 1, 4, 12, 3},
    {"NV21, V first, 130 rows in two row groups", CV_NV21, 0, 0, 1, 130, 4, 6},
    {"NV16 to bytes, colour code 9 reads as BT.601 limited", CV_NV16, 1, 0, 2, 8, 4, 9},
    {"NV61 to 4N, two images", CV_NV61, 2, 8, 2, 6, 10, 2},
    {"4:2:0 planar wider than 4096: chroma from half the column offset", CV_YUV420_PLANAR, 1, 0, 1, 2, 4100, 1},
    {"NV12 to 4N wider than 1024", CV_NV12, 2, 0, 2, 2, 1030, 1},
    {"NV61 three column slices (a pair and one alone)", CV_NV61, 0, 8, 1, 2, 8200, 4},
    {"layout code 7 reads as 4:2:0 planar", 7, 1, 0, 1, 4, 8, 1},
    {"bytes from rows of 130: two images' packed words do not overlap", CV_NV12, 1, 0, 2, 2, 130, 1},
};

TEST(CvYuv2Rgb, EqualsTheReference) {
  for (const ConvertCase &k : kCases) {
    std::vector<ref::YuvImage> images;
    for (u32 i = 0; i < k.n; i++) images.push_back(image_of(k.format, k.h, k.w, i + k.h));
    std::vector<std::vector<u8>> want;
    ref::yuv2rgb(images, k.format, k.h, k.w, k.dst_type, k.output_code, k.colour_code, want);
    u64 input[12] = {}, output[4] = {};
    const u64 plane_room = 0x40000;
    for (u32 i = 0; i < k.n; i++) {
      for (u32 p = 0; p < 3; p++) input[3 * i + p] = kIn + (3 * i + p) * plane_room;
      output[i] = kOut + i * 0x100000;
    }
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      chip::Memory &ddr = rig.chip().device_memory();
      for (u32 i = 0; i < k.n; i++) {
        ddr.store(input[3 * i], images[i].y.data(), images[i].y.size());
        ddr.store(input[3 * i + 1], images[i].u.data(), images[i].u.size());
        ddr.store(input[3 * i + 2], images[i].v.data(), images[i].v.size());
      }
      // The 4N group's absent images keep their bytes: fill with a pattern.
      std::vector<u8> old(want[0].size() + 16);
      for (size_t i = 0; i < old.size(); i++) old[i] = u8(i * 3 + 1);
      for (size_t i = 0; i < want.size(); i++) ddr.store(output[i], old.data(), old.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_yuv2rgb_ext(input, 1, k.format, output, k.dst_type, k.output_code, k.n, k.h, k.w,
                                k.colour_code, node);
      }));
      for (size_t i = 0; i < want.size(); i++) {
        std::vector<u8> got(old.size());
        ddr.load(output[i], got.data(), got.size());
        std::vector<u8> expect = old;
        std::memcpy(expect.data(), want[i].data(), want[i].size());
        size_t bad = 0;
        for (size_t b = 0; b < got.size(); b++)
          if (got[b] != expect[b] && bad++ < 4)
            ADD_FAILURE() << "output " << i << " byte " << b << ": " << int(got[b]) << " want " << int(expect[b]);
        EXPECT_EQ(bad, 0u);
      }
    }
  }
}

// A grey pixel keeps its level: Y itself in full range, 1.16438 (Y - 16) in
// limited range, clamped.
TEST(CvYuv2Rgb, GreyStaysGrey) {
  ref::YuvImage im;
  im.y = {0, 10, 100, 250};
  im.u = {128};
  im.v = {128};
  std::vector<float> rgb[3];
  for (u32 code : {0u, 1u}) {
    LayerRunner rig;
    u64 input[12] = {kIn, kIn + 0x100, kIn + 0x200}, output[4] = {kOut};
    rig.chip().device_memory().store(kIn, im.y.data(), 4);
    rig.chip().device_memory().store(kIn + 0x100, im.u.data(), 1);
    rig.chip().device_memory().store(kIn + 0x200, im.v.data(), 1);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_cv_yuv2rgb_ext(input, 1, CV_YUV420_PLANAR, output, 0, 0, 1, 2, 2, code, node);
    }));
    std::vector<u8> got(48);
    rig.chip().device_memory().load(kOut, got.data(), got.size());
    const std::vector<float> f = as_floats(got);
    for (int p = 0; p < 3; p++)
      for (int i = 0; i < 4; i++) {
        const float y = float(im.y[i]);
        const float want = code == 0 ? y : std::min(std::max((y - 16) * 1.16438f, 0.0f), 255.0f);
        EXPECT_EQ(f[4 * p + i], want) << "code " << code << " plane " << p << " pixel " << i;
      }
  }
}

TEST(CvYuv2Rgb, RefusesWhatItCannotConvert) {
  struct Case {
    const char *what;
    u32 src_mode, n, h, w;
    const char *condition, *info;
  };
  const Case cases[] = {
      {"source not 1N bytes", 0, 1, 2, 2, "src_mode == DATA_TYPE_EXT_1N_BYTE", "none."},
      {"no images", 1, 0, 2, 2, "input_n > 0 && input_n <= 4", "none."},
      {"five images", 1, 5, 2, 2, "input_n > 0 && input_n <= 4", "none."},
      {"odd height would drop a row", 1, 1, 5, 4, "h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0", "h=5, w=4"},
      {"zero width", 1, 1, 2, 0, "h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0", "h=2, w=0"},
  };
  const u64 input[12] = {kIn, kIn, kIn}, output[4] = {kOut};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_cv_yuv2rgb_ext(input, k.src_mode, CV_NV12, output, 1, 0, k.n, k.h, k.w, 1, node);
        },
        "ASSERT_FS", "firmware/cv/", "nodechip_cv_yuv2rgb_ext", k.condition, k.info);
  }
}

}  // namespace
}  // namespace zv::test
