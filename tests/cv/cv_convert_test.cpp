// The linear convert, the plane split and the width alignment: their plans by
// table, then each operator against the plain references of tests/ref on
// small images with odd sizes, under every schedule with the checker on, and
// their assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_convert.h"
#include "fw_test.h"
#include "ref/cv_ref.h"

namespace zv::test {
namespace {

constexpr u64 kSrc = kUserDdr + 0x10000, kDst = kUserDdr + 0x800000;

std::vector<u8> bytes_pattern(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(i * 13 + seed * 7 + (i >> 5));
  return v;
}

// Source data for a storage type: bytes as they come, floats in [-40, 300).
std::vector<u8> source_of(uint32_t type, size_t elems, unsigned seed) {
  const ref::CvType t = ref::cv_type(type);
  if (t.bytes == 1) return bytes_pattern(elems, seed);
  std::vector<u8> v(elems * 4);
  for (size_t i = 0; i < elems; i++) {
    const float f = float(int((i * 37 + seed) % 340) - 40) + 0.25f * float(i % 4);
    std::memcpy(&v[4 * i], &f, 4);
  }
  return v;
}

struct ConvertCase {
  const char *what;
  uint32_t width, stride, height;
  float alpha[3], beta[3];
  uint32_t mode, count, src_type, dst_type;
  cv_convert_path_t path;
};

const ConvertCase kConvertCases[] = {
    {"identity, unsigned bytes to float, rows 9 apart", 7, 9, 5, {1, 1, 1}, {0, 0, 0}, 0, 2, 1, 5,
     CV_CONVERT_PATH_IDENTITY},
    {"identity, signed to unsigned bytes saturates", 5, 5, 3, {1, 1, 1}, {0, 0, 0}, 0, 1, 2, 0,
     CV_CONVERT_PATH_IDENTITY},
    {"one channel uses pair 0 only", 13, 13, 7, {0.5f, 9, 9}, {3.25f, 9, 9}, 0, 3, 0, 0, CV_CONVERT_PATH_UNIFORM},
    {"uniform three channels, float to signed bytes", 11, 12, 9, {-0.75f, -0.75f, -0.75f}, {10, 10, 10}, 0, 2, 5, 3,
     CV_CONVERT_PATH_UNIFORM},
    {"uniform, 5001 rows in two slices", 3, 3, 1667, {2, 2, 2}, {-7, -7, -7}, 0, 1, 1, 1, CV_CONVERT_PATH_UNIFORM},
    {"per channel: offsets differ in one channel", 9, 10, 70, {1, 1, 1}, {0, 0, 5}, 0, 2, 1, 1,
     CV_CONVERT_PATH_PER_CHANNEL},
    {"per channel, code 7 reads as code 1, to float", 5, 5, 3, {0.5f, 2, -1}, {1, 2, 300}, 0, 1, 7, 5,
     CV_CONVERT_PATH_PER_CHANNEL},
    {"4N kept (mode 1), one channel", 5, 5, 3, {1.5f, 1, 1}, {-20, 0, 0}, 1, 2, 0, 0, CV_CONVERT_PATH_UNIFORM},
    {"4N kept, stride other than width is used as it is", 3, 15, 2, {1, 1, 1}, {0, 0, 0}, 1, 1, 0, 0,
     CV_CONVERT_PATH_IDENTITY},
    {"4N separated (mode 2), two groups, to bytes", 5, 5, 3, {0.5f, 0.5f, 0.5f}, {1, 1, 1}, 2, 2, 1, 1,
     CV_CONVERT_PATH_UNIFORM},
    {"4N separated, identity coefficients still separate", 3, 3, 2, {1, 1, 1}, {0, 0, 0}, 2, 1, 0, 4,
     CV_CONVERT_PATH_UNIFORM},
    {"4N separated per channel, two groups, to float", 3, 3, 5, {1, 2, 3}, {0, 1, 2}, 2, 2, 1, 5,
     CV_CONVERT_PATH_PER_CHANNEL},
    {"4N separated per channel, two groups, to signed bytes", 3, 3, 5, {1, -2, 3}, {0, 1, 2}, 2, 2, 3, 3,
     CV_CONVERT_PATH_PER_CHANNEL},
};

TEST(CvConvertTo, EqualsTheReferenceOnEveryPath) {
  for (const ConvertCase &k : kConvertCases) {
    const ref::CvType s = ref::cv_type(k.src_type);
    const bool four_n = k.mode == 1 || k.mode == 2;
    const size_t row = four_n ? 4 * k.width : k.width, rstride = four_n && k.stride == k.width ? row : k.stride;
    const size_t rows = size_t(k.count) * s.channels * k.height;
    const std::vector<u8> src = source_of(k.src_type, (rows - 1) * rstride + row, k.width + k.height);
    std::vector<u8> want;
    ref::cv_convert_to(src, k.width, k.stride, k.height, k.alpha, k.beta, k.mode, k.count, k.src_type, k.dst_type,
                       want);
    cv_convert_plan_t plan;
    std::string text;
    FwOutcome planned = run_firmware([&] {
      cv_convert_plan_of(k.width, k.stride, k.height, k.alpha, k.beta, k.mode, k.count, k.src_type, k.dst_type,
                         &plan);
    });
    ASSERT_TRUE(ran_clean(planned)) << k.what;
    EXPECT_EQ(plan.path, k.path) << k.what;
    EXPECT_LE(plan.local_bytes + plan.scratch_bytes, CV_CONVERT_LOCAL_BYTES) << k.what;
    const std::vector<u8> old = bytes_pattern(want.size() + 64, 99);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kSrc, src.data(), src.size());
      rig.chip().device_memory().store(kDst, old.data(), old.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_convert_to(kSrc, k.width, k.stride, k.height, k.alpha[0], k.beta[0], k.alpha[1], k.beta[1],
                               k.alpha[2], k.beta[2], k.mode, k.count, k.src_type, k.dst_type, 0xdead, kDst, node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kDst, got.data(), got.size());
      std::vector<u8> expect = old;
      std::memcpy(expect.data(), want.data(), want.size());
      ASSERT_EQ(got.size(), expect.size());
      size_t bad = 0;
      for (size_t i = 0; i < got.size(); i++)
        if (got[i] != expect[i] && bad++ < 4) ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(expect[i]);
      EXPECT_EQ(bad, 0u);
    }
  }
}

TEST(CvConvertTo, PlanKeepsSlicesInsideLocalMemory) {
  struct Case {
    const char *what;
    uint32_t width, stride, src_type, dst_type, mode;
    int slice_rows;
  };
  // Rows per slice: min(0x2000000 / (bytes x stride), 4095) and what local memory
  // holds as float32 (64 x floor(512 KB / row bytes)).
  const Case cases[] = {
      {"narrow rows: 4095", 100, 100, 0, 0, 0, 4095},
      {"byte rows of 20000: 64 x 6 rows of floats, not 1677", 20000, 20000, 0, 0, 0, 384},
      {"float rows of 20000 with a wide stride: 0x2000000 / 160000", 20000, 40000, 4, 4, 0, 209},
      {"4N rows of 4 x 5000 to separated bytes: floats and their bytes", 5000, 5000, 0, 0, 2, 320},
  };
  const float a[3] = {2, 2, 2}, b[3] = {1, 1, 1};
  for (const Case &k : cases) {
    cv_convert_plan_t plan;
    ASSERT_TRUE(ran_clean(run_firmware([&] {
      cv_convert_plan_of(k.width, k.stride, 5000, a, b, k.mode, 1, k.src_type, k.dst_type, &plan);
    })));
    EXPECT_EQ(plan.slice_rows, k.slice_rows) << k.what;
    EXPECT_LE(plan.local_bytes + plan.scratch_bytes, CV_CONVERT_LOCAL_BYTES) << k.what;
  }
}

TEST(CvConvertTo, RefusesWhatItCannotConvert) {
  const float a[3] = {2, 2, 2}, b[3] = {0, 0, 1};
  struct Case {
    const char *what;
    uint32_t width, stride, height, mode, src_type, dst_type;
    const char *condition, *info;
  };
  const Case cases[] = {
      {"channel counts differ", 4, 4, 2, 0, 1, 4, "(in_channel == out_channel)",
       "do not support channel convertion\r"},
      {"zero stride", 4, 0, 2, 0, 0, 0, "width > 0 && height > 0 && stride > 0 && count > 0",
       "width=4, stride=0, height=2, count=1"},
      {"per-channel plane beyond local memory", 40000, 40000, 500, 0, 1, 1,
       "(mid_data_size * local_dim.N_stride) < (512 * 1024)", "none."},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_cv_convert_to(kSrc, k.width, k.stride, k.height, a[0], b[0], a[1], b[1], a[2], b[2], k.mode, 1,
                                 k.src_type, k.dst_type, 0, kDst, node);
        },
        "ASSERT_FS", "firmware/cv/", "cv_convert_plan_of", k.condition, k.info);
  }
}

TEST(CvConvertTo, RefusesFourNFloatSourcesAfterItsLogLine) {
  for (uint32_t mode : {1u, 2u}) {
    FirmwareRig rig;
    FwOutcome out = rig.run_checks([&](cmd_id_node_t *node) {
      nodechip_cv_convert_to(kSrc, 4, 4, 2, 1, 0, 1, 0, 1, 0, mode, 1, 4, 4, 0, kDst, node);
    });
    const std::string log = "do not support 4NFP32 or 4NFP16\r\n";
    const size_t at = out.uart.find(log);
    ASSERT_NE(at, std::string::npos) << out.uart;
    out.uart = out.uart.substr(at + log.size());
    EXPECT_TRUE(stopped_on(out, "ASSERT_FS", "firmware/cv/", "cv_convert_plan_of", "0"));
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
}

TEST(CvSplit, PlanesEqualTheReferenceForEveryElementSize) {
  struct Case {
    const char *what;
    uint32_t row_length, total_rows, segment, rows, data_type;
  };
  const Case cases[] = {
      {"3 bytes per pixel into 3 planes, two images", 15, 6, 5, 3, 1},
      {"70 segments: lanes wrap, 2-byte elements, three images", 140, 9, 2, 3, 2},
      {"float segments, a ragged row end left out", 23, 4, 7, 2, 4},
  };
  for (const Case &k : cases) {
    const int bytes = cv_data_type_bytes(k.data_type);
    const size_t total = size_t(k.row_length) * k.total_rows * bytes;
    const std::vector<u8> src = bytes_pattern(total, 3), old = bytes_pattern(total + 32, 8);
    std::vector<u8> want = old;
    ref::cv_split(src, k.row_length, k.total_rows, k.segment, k.rows, bytes, want);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kSrc, src.data(), src.size());
      rig.chip().device_memory().store(kDst, old.data(), old.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_split(kSrc, kDst, k.row_length, k.total_rows, k.segment, k.rows, k.data_type, node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kDst, got.data(), got.size());
      EXPECT_TRUE(got == want);
    }
  }
  expect_assert([](cmd_id_node_t *node) { nodechip_cv_split(kSrc, kDst, 12, 4, 0, 2, 1, node); }, "ASSERT_FS",
                "firmware/cv/", "nodechip_cv_split",
                "segment > 0 && rows > 0 && segment <= row_length && row_length <= 0x7fffffffu",
                "row_length=12, segment=0, rows=2");
  expect_assert([](cmd_id_node_t *node) { nodechip_cv_split(kSrc, kDst, 64 * 9000, 100, 9000, 100, 1, node); },
                "ASSERT_FS", "firmware/cv/", "nodechip_cv_split",
                "(i64)rows * block * size <= LOCAL_MEM_SIZE && rows <= GDMA_MAX_N && segments <= GDMA_MAX_C",
                "100 rows of 64 segments of 9000 elements do not fit local memory");
}

TEST(CvWidthAlign, CopiesBetweenRowPitches) {
  const uint32_t shape[4] = {2, 3, 5, 7}, ss[3] = {3 * 5 * 9 + 4, 5 * 9, 9}, ds[3] = {3 * 5 * 8, 5 * 8, 8};
  for (uint32_t data_type : {1u, 2u, 4u}) {
    const int bytes = cv_data_type_bytes(data_type);
    const std::vector<u8> src = bytes_pattern(size_t(ss[0]) * 2 * bytes, data_type),
                          old = bytes_pattern(size_t(ds[0]) * 2 * bytes + 16, 5);
    std::vector<u8> want = old;
    ref::cv_width_align(src, shape, ss, ds, bytes, want);
    for (const Sched &sched : all_schedules()) {
      SCOPED_TRACE("data type " + std::to_string(data_type) + ", " + sched_text(sched));
      LayerRunner rig(sched);
      rig.chip().device_memory().store(kSrc, src.data(), src.size());
      rig.chip().device_memory().store(kDst, old.data(), old.size());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_cv_width_align(kSrc, kDst, shape[0], shape[1], shape[2], shape[3], ss[0], ss[1], ss[2], ds[0], ds[1],
                                ds[2], data_type, node);
      }));
      std::vector<u8> got(old.size());
      rig.chip().device_memory().load(kDst, got.data(), got.size());
      EXPECT_TRUE(got == want);
    }
  }
  // A stride the descriptor's signed field cannot hold is refused, not wrapped.
  expect_assert([](cmd_id_node_t *node) { nodechip_cv_width_align(kSrc, kDst, 1, 1, 2, 4, 8, 8, 0x80000000u, 8, 8, 4, 1, node); },
                "ASSERT_FS", "firmware/cv/", "nodechip_cv_width_align", "strides[i] <= 0x7fffffffu",
                "stride 2147483648");
}

}  // namespace
}  // namespace zv::test
