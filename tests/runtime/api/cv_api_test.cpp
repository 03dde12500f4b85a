// The vision APIs end to end: messages through the host driver, results read
// back from device memory and compared with tests/ref, on three deferred seeds
// with the checker on and on the ARM image; wrong sizes and the handlers'
// own limits answer 1009 with nothing issued.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cv/cv_common.h"
#include "cv/cv_convert.h"
#include "cv/cv_sort_test.h"
#include "cv/cv_resize.h"
#include "cv/cv_storage_convert.h"
#include "cv/cv_warp.h"
#include "cv/cv_yuv2rgb.h"
#include "fw_test.h"
#include "ref/cv_color_ref.h"
#include "ref/cv_ref.h"
#include "ref/cv_resize_ref.h"
#include "ref/cv_warp_ref.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kIn = kUserDdr + 0x100, kOut = kUserDdr + 0x400000, kTable = kUserDdr + 0x800000;

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(i * 11 + seed * 29 + (i >> 7));
  return v;
}

// The destination after an operator: `old` with the reference's bytes at its start.
std::vector<uint8_t> over(const std::vector<uint8_t> &old, const std::vector<uint8_t> &want) {
  std::vector<uint8_t> v = old;
  std::memcpy(v.data(), want.data(), want.size());
  return v;
}

TEST(CvApi, ConvertToOneCallAndATableOfImages) {
  // API 500: three channels with their own pairs, bytes to float.
  const zv_api_cv_convert_to_t one = {kIn, 7, 8, 5, 0.5f, 1, 2, -3, -1, 255, 0, 2, 1, 5, kOut};
  const std::vector<uint8_t> src = pattern((2 * 3 * 5 - 1) * 8 + 7, 1);
  const float a[3] = {0.5f, 2, -1}, b[3] = {1, -3, 255};
  std::vector<uint8_t> want;
  ref::cv_convert_to(src, 7, 8, 5, a, b, 0, 2, 1, 5, want);
  // API 502: image 0 a 4N pair separated into bytes, image 1 one float channel scaled.
  const cv_convert_to_row_t rows[2] = {{6, 3, 0.25f, 2, 0.25f, 2, 0.25f, 2, 2, 1, 0, 0},
                                       {5, 4, -2, 0.5f, 0, 0, 0, 0, 0, 1, 4, 4}};
  const std::vector<uint8_t> src0 = pattern(3 * 24, 2);
  std::vector<uint8_t> src1(4 * 5 * 4);
  for (size_t i = 0; i < src1.size() / 4; i++) {
    const float f = float(i) * 1.5f - 11;
    std::memcpy(&src1[4 * i], &f, 4);
  }
  const float a0[3] = {0.25f, 0.25f, 0.25f}, b0[3] = {2, 2, 2}, a1[3] = {-2, 0, 0}, b1[3] = {0.5f, 0, 0};
  std::vector<uint8_t> want0, want1;
  ref::cv_convert_to(src0, 6, 6, 3, a0, b0, 2, 1, 0, 0, want0);
  ref::cv_convert_to(src1, 5, 5, 4, a1, b1, 0, 1, 4, 4, want1);
  const uint64_t in0 = kIn + 0x10000, in1 = kIn + 0x20000, out0 = kOut + 0x10000, out1 = kOut + 0x20000;
  zv_api_cv_convert_to_inter_t inter = {};
  inter.image[0] = {in0, out0};
  inter.image[1] = {in1, out1};
  inter.table = kTable;
  inter.count = 2;
  for_each_api_card([&](host::Card &card) {
    const std::vector<uint8_t> old = pattern(want.size() + 16, 9);
    card.write(kIn, src.data(), src.size());
    card.write(kOut, old.data(), old.size());
    send(card, 500, payload_of(one));
    EXPECT_TRUE(card.read(kOut, old.size()) == over(old, want));

    card.write(in0, src0.data(), src0.size());
    card.write(in1, src1.data(), src1.size());
    card.write(kTable, rows, sizeof rows);
    const std::vector<uint8_t> old0 = pattern(want0.size() + 8, 4), old1 = pattern(want1.size() + 8, 5);
    card.write(out0, old0.data(), old0.size());
    card.write(out1, old1.data(), old1.size());
    send(card, 502, payload_of(inter));
    EXPECT_TRUE(card.read(out0, old0.size()) == over(old0, want0));
    EXPECT_TRUE(card.read(out1, old1.size()) == over(old1, want1));
  });
}

TEST(CvApi, WidthAlignSplitAndTranspose) {
  // 506: 2-byte elements from rows of 9 to rows of 6.
  const zv_api_cv_width_align_t align = {kIn, kOut, 2, 3, 4, 5, 3 * 4 * 9 + 2, 4 * 9, 9, 3 * 4 * 6, 4 * 6, 6, 2};
  const uint32_t shape[4] = {2, 3, 4, 5}, ss[3] = {3 * 4 * 9 + 2, 4 * 9, 9}, ds[3] = {3 * 4 * 6, 4 * 6, 6};
  const std::vector<uint8_t> align_src = pattern(2 * ss[0] * 2, 6);
  // 512: two images of 4 rows of 3 segments of 5 bytes.
  const zv_api_cv_split_t split = {kIn + 0x10000, kOut + 0x10000, 15, 8, 5, 4, 1};
  const std::vector<uint8_t> split_src = pattern(15 * 8, 7);
  // 513: 2 x (5 x 7) half-words to 2 x (7 x 5).
  const zv_api_cv_transpose_t transpose = {kIn + 0x20000, kOut + 0x20000, 2, 5, 7, 2};
  const std::vector<uint8_t> tr_src = pattern(2 * 5 * 7 * 2, 8);
  std::vector<uint8_t> tr_want(tr_src.size());
  for (int x = 0; x < 2; x++)
    for (int y = 0; y < 5; y++)
      for (int z = 0; z < 7; z++)
        std::memcpy(&tr_want[2 * ((x * 7 + z) * 5 + y)], &tr_src[2 * ((x * 5 + y) * 7 + z)], 2);
  for_each_api_card([&](host::Card &card) {
    std::vector<uint8_t> old = pattern(2 * ds[0] * 2 + 8, 1), want = old;
    ref::cv_width_align(align_src, shape, ss, ds, 2, want);
    card.write(kIn, align_src.data(), align_src.size());
    card.write(kOut, old.data(), old.size());
    send(card, 506, payload_of(align));
    EXPECT_TRUE(card.read(kOut, want.size()) == want);

    old = pattern(15 * 8 + 8, 2), want = old;
    ref::cv_split(split_src, 15, 8, 5, 4, 1, want);
    card.write(split.src, split_src.data(), split_src.size());
    card.write(split.dst, old.data(), old.size());
    send(card, 512, payload_of(split));
    EXPECT_TRUE(card.read(split.dst, want.size()) == want);

    card.write(transpose.src, tr_src.data(), tr_src.size());
    send(card, 513, payload_of(transpose));
    EXPECT_TRUE(card.read(transpose.dst, tr_want.size()) == tr_want);
  });
}

// API 114: NV12 to 1N bytes for two images, then 4:2:2 planar to one 4N
// group of three, always with BT.601 limited range.
TEST(CvApi, Yuv2RgbWithTheLimitedRangeMatrix) {
  struct Case {
    uint32_t format, n, h, w, mode, output_format;
  };
  const Case cases[] = {{CV_NV12, 2, 6, 8, 1, 8}, {CV_YUV422_PLANAR, 3, 4, 10, 2, 0}};
  for_each_api_card([&](host::Card &card) {
    for (const Case &k : cases) {
      zv_api_cv_yuv2rgb_t rec = {};
      std::vector<ref::YuvImage> images(k.n);
      for (uint32_t i = 0; i < k.n; i++) {
        images[i].y = pattern(size_t(k.h) * k.w, i);
        images[i].u = pattern(ref::yuv_chroma_bytes(k.format, k.h, k.w), i + 5);
        images[i].v = pattern(ref::yuv_chroma_bytes(k.format, k.h, k.w), i + 9);
        for (uint32_t p = 0; p < 3; p++) rec.input[3 * i + p] = kIn + (3 * i + p) * 0x1000;
        rec.output[i] = kOut + i * 0x10000;
        card.write(rec.input[3 * i], images[i].y.data(), images[i].y.size());
        card.write(rec.input[3 * i + 1], images[i].u.data(), images[i].u.size());
        card.write(rec.input[3 * i + 2], images[i].v.data(), images[i].v.size());
      }
      rec.src_type = 1;
      rec.image_format = k.format;
      rec.input_n = k.n;
      rec.input_h = k.h;
      rec.input_w = k.w;
      rec.output_mode = k.mode;
      rec.output_format = k.output_format;
      std::vector<std::vector<uint8_t>> want;
      ref::yuv2rgb(images, k.format, k.h, k.w, k.mode, k.output_format, 1, want);
      const std::vector<uint8_t> old = pattern(want[0].size() + 8, 3);
      for (size_t i = 0; i < want.size(); i++) card.write(rec.output[i], old.data(), old.size());
      send(card, 114, payload_of(rec));
      for (size_t i = 0; i < want.size(); i++)
        EXPECT_TRUE(card.read(rec.output[i], old.size()) == over(old, want[i])) << "image " << i;
    }
    // No images: nothing to do, and nothing issued.
    zv_api_cv_yuv2rgb_t none = {};
    none.input_h = 2;
    none.input_w = 2;
    none.src_type = 1;
    const size_t before = card.chip().engines.gdma.commands().size() + card.chip().engines.bd.commands().size();
    send(card, 114, payload_of(none));
    EXPECT_EQ(card.chip().engines.gdma.commands().size() + card.chip().engines.bd.commands().size(), before);
  });
}

// API 505: planar RGB to NV12 for two images, then a layout change of bytes
// and a 1N-to-4N change, each image's addresses from the record's tables.
TEST(CvApi, StorageConvertByOperation) {
  const uint32_t h = 4, w = 6, hw = h * w;
  zv_api_cv_storage_convert_t rec = {};
  for (uint32_t i = 0; i < 4; i++) {
    rec.input[i] = kIn + i * 0x1000;
    rec.output[i] = kOut + i * 0x1000;
    rec.U[i] = kOut + 0x10000 + i * 0x1000;
    rec.V[i] = kOut + 0x20000 + i * 0x1000;
  }
  rec.count = 2;
  rec.h = h;
  rec.w = w;
  std::vector<std::vector<uint8_t>> src(2);
  for (uint32_t i = 0; i < 2; i++) src[i] = pattern(3 * hw, i + 1);
  for_each_api_card([&](host::Card &card) {
    for (uint32_t i = 0; i < 2; i++) card.write(rec.input[i], src[i].data(), src[i].size());
    zv_api_cv_storage_convert_t yuv = rec;
    yuv.op = 2;
    yuv.output_format = CV_NV12;
    yuv.colour_code = 3;
    send(card, 505, payload_of(yuv));
    for (uint32_t i = 0; i < 2; i++) {
      const ref::YuvImage want = ref::rgb_to_yuv(src[i], CV_NV12, h, w, 3);
      EXPECT_TRUE(card.read(rec.output[i], hw) == want.y) << "image " << i;
      EXPECT_TRUE(card.read(rec.U[i], want.u.size()) == want.u) << "image " << i;
    }
    zv_api_cv_storage_convert_t layout = rec;
    layout.op = 0;
    layout.input_format = CV_RGB_PLANAR;
    layout.output_format = CV_BGR_PACKED;
    layout.src_type = layout.dst_type = 1;
    send(card, 505, payload_of(layout));
    for (uint32_t i = 0; i < 2; i++)
      EXPECT_TRUE(card.read(rec.output[i], 3 * hw) == ref::rgb_relayout(src[i], CV_RGB_PLANAR, CV_BGR_PACKED, h, w, 1));
    zv_api_cv_storage_convert_t type = rec;
    type.op = 1;
    type.src_type = 1;
    type.dst_type = 2;
    const std::vector<uint8_t> old = pattern(4 * 3 * hw, 7);
    card.write(rec.output[0], old.data(), old.size());
    send(card, 505, payload_of(type));
    std::vector<uint8_t> want = old;
    for (uint32_t i = 0; i < 2; i++)
      for (uint32_t p = 0; p < 3 * hw; p++) want[4 * p + i] = src[i][p];
    EXPECT_TRUE(card.read(rec.output[0], old.size()) == want);
  });
}

// API 112: two sources, three outputs (one perspective each) from a table in
// device memory; API 510: one bilinear warp with the matrix in the record.
TEST(CvApi, WarpsFromATableAndFromTheRecord) {
  const ref::WarpGeometry g = {1, 2, 9, 11, 5, 6, 8, 10, 2, 1, 12};
  const size_t src_bytes = size_t(g.channels) * g.src_h * g.src_stride, dst_bytes = size_t(g.channels) * g.dst_h * g.dst_w;
  const std::vector<uint8_t> src0 = pattern(src_bytes, 1), src1 = pattern(src_bytes, 2), old = pattern(dst_bytes, 3);
  const float m[3][9] = {{1, 0, 0, 0, 1, 0, 0, 0, 1},
                         {0.9f, 0.1f, 1, -0.1f, 1.2f, 0.5f, 0.01f, 0.002f, 1},
                         {-1, 0, 10, 0, 1, 0.5f, 0, 0, 1}};
  zv_api_cv_warp_t rec = {};
  rec.input[0] = kIn;
  rec.input[1] = kIn + 0x1000;
  rec.table_address = kTable;
  rec.output_counts[0] = 1;
  rec.output_counts[1] = 2;
  rec.src_strides[0] = rec.src_strides[1] = g.src_stride;
  rec.store_mode = 1;
  rec.input_count = 2;
  rec.channels = g.channels;
  rec.src_h = g.src_h;
  rec.src_w = g.src_w;
  rec.roi_h = g.roi_h;
  rec.roi_w = g.roi_w;
  rec.dst_h = g.dst_h;
  rec.dst_w = g.dst_w;
  rec.roi_x = g.roi_x;
  rec.roi_y = g.roi_y;
  rec.mode = CV_WARP_PERSPECTIVE_NEAREST;
  std::vector<uint8_t> table(3 * 8 + sizeof m);
  for (uint64_t k = 0; k < 3; k++) {
    const uint64_t out = kOut + k * 0x1000;
    std::memcpy(&table[8 * k], &out, 8);
  }
  std::memcpy(&table[24], m, sizeof m);
  std::vector<std::vector<uint8_t>> want(3, old);
  for (int k = 0; k < 3; k++) ref::warp_nearest(k ? src1 : src0, g, m[k], true, want[k]);
  zv_api_cv_warp_bilinear_t bil = {};
  bil.src = kIn;
  bil.dst = kOut + 0x10000;
  const float bm[6] = {0.8f, 0.05f, 1.2f, -0.1f, 0.9f, 1.7f};
  std::memcpy(bil.matrix, bm, sizeof bm);
  bil.channels = g.channels;
  bil.src_h = g.src_h;
  bil.src_w = g.src_w;
  bil.roi_h = g.roi_h;
  bil.roi_w = g.roi_w;
  bil.dst_h = g.dst_h;
  bil.dst_w = g.dst_w;
  bil.roi_x = g.roi_x;
  bil.roi_y = g.roi_y;
  bil.src_stride = g.src_stride;
  std::vector<uint8_t> want_bil = old;
  ref::warp_bilinear(src0, g, bm, false, want_bil);
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, src0.data(), src0.size());
    card.write(kIn + 0x1000, src1.data(), src1.size());
    card.write(kTable, table.data(), table.size());
    for (uint64_t k = 0; k < 3; k++) card.write(kOut + k * 0x1000, old.data(), old.size());
    card.write(bil.dst, old.data(), old.size());
    send(card, 112, payload_of(rec));
    for (uint64_t k = 0; k < 3; k++) EXPECT_TRUE(card.read(kOut + k * 0x1000, old.size()) == want[k]) << "output " << k;
    send(card, 510, payload_of(bil));
    EXPECT_TRUE(card.read(bil.dst, old.size()) == want_bil);
  });
}

// API 113: multi-ROI resize of two byte images (two and one regions), the
// counts and records copied from device memory; API 507: copy-to into a
// larger planar image filled with colour order 2 first.
TEST(CvApi, ResizeRegionsAndCopyTo) {
  const uint32_t ws = 9, hs = 7;
  const std::vector<uint8_t> src = pattern(2 * ws * hs, 5);
  const uint32_t counts[2] = {2, 1};
  const img_para_t rows[3] = {{0, 0, 9, 7, 4, 3}, {2, 1, 5, 4, 6, 5}, {1, 2, 8, 5, 3, 3}};
  std::vector<uint8_t> want;
  for (int r = 0; r < 3; r++) {
    const img_para_t &p = rows[r];
    const int image = r < 2 ? 0 : 1;
    for (int y = 0; y < p.out_height; y++)
      for (int x = 0; x < p.out_width; x++) {
        int col, row;
        ref::resize_pick(false, p.in_width, p.in_height, p.out_width, p.out_height, x, y, col, row);
        want.push_back(src[image * ws * hs + (p.start_y + row) * ws + p.start_x + col]);
      }
  }
  zv_api_cv_resize_t rec = {};
  rec.input = kIn;
  rec.img_para = kTable;
  rec.channels = 1;
  rec.output = kOut;
  rec.input_data_type = rec.output_data_type = 1;
  rec.width_stride = ws;
  rec.height_stride = hs;
  rec.roi_counts = kTable + 0x100;
  rec.image_num = 2;
  rec.multi_roi = 1;
  rec.stretch_fit = 1;
  // copy-to: 2 planes of 3 x 2 into 5 x 4 at (1, 1), fill values 7, 8, 9.
  const std::vector<uint8_t> small = pattern(2 * 3 * 2, 6);
  zv_api_cv_copy_to_t copy = {};
  copy.src = kIn + 0x1000;
  copy.fill_base = kOut + 0x1000;
  copy.dst = copy.fill_base + 5 + 1;
  copy.channels = 2;
  copy.src_stride = 3;
  copy.src_width = 3;
  copy.src_height = 2;
  copy.dst_stride = 5;
  copy.dst_width = 5;
  copy.dst_height = 4;
  copy.data_type = 1;
  copy.colour_order = 2;
  copy.value0 = 7;
  copy.value1 = 8;
  copy.value2 = 9;
  copy.padding = 1;
  std::vector<uint8_t> want_copy(2 * 5 * 4);
  for (int c = 0; c < 2; c++)
    for (int i = 0; i < 20; i++) want_copy[c * 20 + i] = c == 0 ? 9 : 8;
  for (int c = 0; c < 2; c++)
    for (int y = 0; y < 2; y++)
      for (int x = 0; x < 3; x++) want_copy[c * 20 + (1 + y) * 5 + 1 + x] = small[c * 6 + y * 3 + x];
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, src.data(), src.size());
    card.write(kTable, rows, sizeof rows);
    card.write(kTable + 0x100, counts, sizeof counts);
    send(card, 113, payload_of(rec));
    EXPECT_TRUE(card.read(kOut, want.size()) == want);
    card.write(copy.src, small.data(), small.size());
    send(card, 507, payload_of(copy));
    EXPECT_TRUE(card.read(copy.fill_base, want_copy.size()) == want_copy);
    // ROI rows beyond the DTCM window are refused before they are copied.
    const uint32_t many[2] = {20000, 1};
    card.write(kTable + 0x100, many, sizeof many);
    const size_t console = card.console().size();
    send(card, 113, payload_of(rec), 1009);
    EXPECT_NE(card.console().find("20001 ROI rows", console), std::string::npos) << card.console().substr(console);
  });
}

TEST(CvApi, SortCheckInTheDtcmWindow) {
  const uint32_t len = 50, out_len = 7;
  std::vector<float> keys(len);
  std::vector<uint32_t> index(len);
  for (uint32_t i = 0; i < len; i++) keys[i] = float((i * 31) % 17), index[i] = 7 * i;
  std::vector<float> want_keys;
  std::vector<uint32_t> want_index;
  ref::cv_sort(keys, index, true, out_len, want_keys, want_index);
  const zv_api_cv_sort_test_t rec = {kIn, kIn + 0x1000, kOut, kOut + 0x1000, 1, CV_SORT_SPACE_DTCM, len, out_len};
  for_each_api_card([&](host::Card &card) {
    card.write(rec.key_array, keys.data(), 4 * len);
    card.write(rec.index_array, index.data(), 4 * len);
    send(card, 503, payload_of(rec));
    EXPECT_EQ(values_of<float>(card.read(rec.keys_out, 4 * out_len)), want_keys);
    EXPECT_EQ(values_of<uint32_t>(card.read(rec.indices_out, 4 * out_len)), want_index);
  });
}

// A call that fails after it took DTCM leaves the cursor where it was; the
// next vision call starts from the window's start all the same.
TEST(CvApi, StaleCursorOfAFailedCallDoesNotReachTheNext) {
  FirmwareRig rig(deferred(2));
  chip::Memory &ddr = rig.chip().device_memory();
  const cv_convert_to_row_t row = {5, 2, 3, -1, 3, -1, 3, -1, 0, 1, 0, 0};
  const std::vector<uint8_t> src = pattern(10, 4), old = pattern(16, 6);
  const float a[3] = {3, 3, 3}, b[3] = {-1, -1, -1};
  std::vector<uint8_t> want;
  ref::cv_convert_to(src, 5, 5, 2, a, b, 0, 1, 0, 0, want);
  ddr.store(kTable, &row, sizeof row);
  ddr.store(kTable + sizeof row, &row, sizeof row);
  ddr.store(kIn, src.data(), src.size());
  ddr.store(kOut, old.data(), old.size());
  alignas(8) uint8_t param[sizeof(zv_api_cv_convert_to_inter_t)];
  zv_api_cv_convert_to_inter_t rec = {};
  rec.image[0] = {kIn, kOut};
  rec.image[1] = {0x100000000ull, kOut};  // the firmware's part of device memory
  rec.table = kTable;
  rec.count = 2;
  std::memcpy(param, &rec, sizeof rec);
  const FwOutcome failed = rig.run([&] { zv_api_cv_convert_to_intergrated(param, sizeof rec); });
  ASSERT_TRUE(failed.asserted) << failed.uart;
  EXPECT_NE(failed.uart.find("api_global_fits"), std::string::npos) << failed.uart;
  EXPECT_EQ(cv_cur_dtcm_addr, DTCM_SCRATCH_START + 2 * sizeof row);
  // As a longer failed call could have left it: next to the window's end.
  cv_cur_dtcm_addr = DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE - 4;
  rec.count = 1;
  std::memcpy(param, &rec, sizeof rec);
  ASSERT_TRUE(ran_clean(rig.run([&] { zv_api_cv_convert_to_intergrated(param, sizeof rec); })));
  EXPECT_EQ(cv_cur_dtcm_addr, DTCM_SCRATCH_START);
  std::vector<uint8_t> got(old.size());
  ddr.load(kOut, got.data(), got.size());
  EXPECT_TRUE(got == over(old, want));
}

TEST(CvApi, BadRecordsAnswer1009WithNothingIssued) {
  zv_api_cv_convert_to_inter_t four = {};
  four.table = kTable;
  four.count = 4;
  const zv_api_cv_transpose_t three_bytes = {kIn, kOut, 2, 5, 7, 3};
  const zv_api_cv_split_t no_rows = {kIn, kOut, 15, 8, 5, 0, 1};
  const zv_api_cv_convert_to_t firmware_part = {0x100000000ull, 7, 8, 5, 1, 0, 1, 0, 1, 0, 0, 1, 1, 1, kOut};
  zv_api_cv_yuv2rgb_t yuv = {};
  yuv.input[0] = yuv.input[1] = kIn;
  yuv.output[0] = kOut;
  yuv.src_type = 1;
  yuv.image_format = CV_NV12;
  yuv.input_n = 1;
  yuv.input_h = 4;
  yuv.input_w = 8;
  yuv.output_mode = 1;
  zv_api_cv_yuv2rgb_t yuv_odd = yuv, yuv_w6 = yuv, yuv_float = yuv, yuv_five = yuv, yuv_fw = yuv;
  yuv_odd.input_h = 481;
  yuv_odd.input_n = 0;
  yuv_w6.input_w = 6;
  yuv_float.src_type = 0;
  yuv_five.input_n = 5;
  yuv_fw.output[0] = 0x100000000ull;
  zv_api_cv_storage_convert_t storage = {};
  for (uint32_t i = 0; i < 4; i++) storage.input[i] = storage.output[i] = storage.U[i] = storage.V[i] = kIn;
  storage.h = 2;
  storage.w = 4;
  storage.op = 2;
  zv_api_cv_storage_convert_t storage_five = storage, storage_fw = storage;
  storage_five.count = 5;
  storage_fw.count = 1;
  storage_fw.U[0] = 0x100000000ull;
  zv_api_cv_resize_t resize = {};
  resize.roi_counts = kTable;
  resize.image_num = 33;
  zv_api_cv_copy_to_t copy_fw = {};
  copy_fw.src = kIn;
  copy_fw.dst = 0x100000000ull;
  copy_fw.channels = copy_fw.src_stride = copy_fw.src_width = copy_fw.src_height = 1;
  copy_fw.dst_stride = copy_fw.dst_width = copy_fw.dst_height = copy_fw.data_type = 1;
  zv_api_cv_warp_t warp = {};
  warp.input[0] = 0x100000000ull;
  warp.table_address = kTable;
  warp.output_counts[0] = 1;
  warp.src_strides[0] = 8;
  warp.store_mode = 1;
  warp.input_count = 1;
  warp.channels = warp.src_h = warp.src_w = warp.roi_h = warp.roi_w = warp.dst_h = warp.dst_w = 1;
  zv_api_cv_warp_bilinear_t bil = {};
  bil.src = kIn;
  bil.dst = 0x100000000ull;
  bil.channels = bil.src_h = bil.src_w = bil.roi_h = bil.roi_w = bil.dst_h = bil.dst_w = bil.src_stride = 1;
  const std::vector<RefusedCase> cases = {
      {"500 one word short", 500, std::vector<uint32_t>(16), ": size == sizeof(zv_api_cv_convert_to_t)\n"},
      {"502 one word long", 502, std::vector<uint32_t>(16), ": size == sizeof(zv_api_cv_convert_to_inter_t)\n"},
      {"503 short", 503, std::vector<uint32_t>(11), ": size == sizeof(zv_api_cv_sort_test_t)\n"},
      {"506 empty", 506, {}, ": size == sizeof(zv_api_cv_width_align_t)\n"},
      {"512 short", 512, std::vector<uint32_t>(8), ": size == sizeof(zv_api_cv_split_t)\n"},
      {"513 long", 513, std::vector<uint32_t>(9), ": size == sizeof(zv_api_cv_transpose_t)\n"},
      {"502 with four images: the record holds three", 502, payload_of(four),
       ": rec.count <= CV_CONVERT_INTER_MAX_IMAGES\n"},
      {"513 with 3-byte elements", 513, payload_of(three_bytes), ": 0\n"},
      {"512 with images of 0 rows", 512, payload_of(no_rows), ": (rec.rows) > 0\n"},
      {"500 reading the firmware's part of device memory", 500, payload_of(firmware_part), "api_global_fits"},
      {"114 short", 114, std::vector<uint32_t>(38), ": size == sizeof(zv_api_cv_yuv2rgb_t)\n"},
      {"114 with 481 rows, even with no images", 114, payload_of(yuv_odd),
       ": api->input_h % 2 == 0 && api->input_w % 2 == 0\n"},
      {"114 to bytes with rows of 6", 114, payload_of(yuv_w6), ": api->input_w % 4 == 0\n"},
      {"114 from float samples", 114, payload_of(yuv_float), ": src_mode == DATA_TYPE_EXT_1N_BYTE\n"},
      {"114 with five images", 114, payload_of(yuv_five), ": input_n > 0 && input_n <= 4\n"},
      {"114 writing the firmware's part of device memory", 114, payload_of(yuv_fw), "api_global_fits"},
      {"113 short", 113, std::vector<uint32_t>(25), ": size == sizeof(zv_api_cv_resize_t)\n"},
      {"113 with 33 images", 113, payload_of(resize), ": rec.image_num <= CV_RESIZE_MAX_IMAGES\n"},
      {"507 long", 507, std::vector<uint32_t>(21), ": size == sizeof(zv_api_cv_copy_to_t)\n"},
      {"507 writing the firmware's part of device memory", 507, payload_of(copy_fw), "api_global_fits"},
      {"112 short", 112, std::vector<uint32_t>(29), ": size == sizeof(zv_api_cv_warp_t)\n"},
      {"112 reading the firmware's part of device memory", 112, payload_of(warp), "api_global_fits"},
      {"510 long", 510, std::vector<uint32_t>(21), ": size == sizeof(zv_api_cv_warp_bilinear_t)\n"},
      {"510 writing the firmware's part of device memory", 510, payload_of(bil), "api_global_fits"},
      {"505 long", 505, std::vector<uint32_t>(42), ": size == sizeof(zv_api_cv_storage_convert_t)\n"},
      {"505 with five images", 505, payload_of(storage_five), ": count <= CV_STORAGE_MAX_IMAGES\n"},
      {"505 writing chroma into the firmware's part", 505, payload_of(storage_fw), "api_global_fits"},
  };
  expect_refused_on_api_cards(cases);
}

}  // namespace
}  // namespace zv::test
