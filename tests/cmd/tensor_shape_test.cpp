// Element lengths and the global and local stride rules of tensor shapes.
#include "cmd/tensor_shape.h"

#include <gtest/gtest.h>

#include "fw_test.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

void expect_dim(const dim4_t &d, int n, int c, int h, int w) {
  EXPECT_EQ(d.n, n);
  EXPECT_EQ(d.c, c);
  EXPECT_EQ(d.h, h);
  EXPECT_EQ(d.w, w);
}

TEST(TypeLen, ByGdmaFormat) {
  const struct {
    int format, bytes;
  } cases[] = {{0, 4}, {1, 2}, {2, 1}, {3, 1}, {4, 2},  {8, 4},
               {5, 0}, {6, 0}, {7, 0}, {9, 0}, {-1, 0}, {1000, 0}};
  for (const auto &c : cases) EXPECT_EQ(get_type_len(c.format), c.bytes) << "format " << c.format;
}

TEST(Strides, GlobalAndLocalLayouts) {
  const struct {
    const char *what;
    dim4_t shape;
    int is_local, eu_align, type_len;
    u32 start_lane;
    dim4_t stride;
  } cases[] = {
      // Plane 15 rounds up to 32 floats; lanes 60..129 span three rows of lanes.
      {"f32 EU-aligned from lane 60", {2, 70, 3, 5}, 1, 1, 4, 60, {96, 32, 5, 1}},
      {"f32 compact from lane 60", {2, 70, 3, 5}, 1, 0, 4, 60, {45, 15, 5, 1}},
      {"global ignores alignment and lane", {2, 70, 3, 5}, 0, 1, 4, 60, {1050, 15, 5, 1}},
      {"int8 EU-aligned from lane 60", {2, 70, 3, 5}, 1, 1, 1, 60, {384, 128, 5, 1}},
      {"int16 EU-aligned from lane 60", {2, 70, 3, 5}, 1, 1, 2, 60, {192, 64, 5, 1}},
      {"64 channels from lane 0 take one row", {1, 64, 4, 8}, 1, 1, 4, 0, {32, 32, 8, 1}},
      {"65 channels from lane 0 take two rows", {1, 65, 4, 8}, 1, 1, 4, 0, {64, 32, 8, 1}},
      {"one channel at lane 63 takes one row", {1, 1, 4, 8}, 1, 1, 4, 63, {32, 32, 8, 1}},
      {"two channels from lane 63 take two rows", {1, 2, 4, 8}, 1, 1, 4, 63, {64, 32, 8, 1}},
      {"aligned plane stays", {3, 5, 8, 16}, 1, 1, 4, 0, {128, 128, 16, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    dim4_t out;
    EXPECT_EQ(get_tensor_stride_by_shape(&out, &c.shape, c.is_local, c.eu_align, c.type_len,
                                         c.start_lane),
              &out);
    expect_dim(out, c.stride.n, c.stride.c, c.stride.h, c.stride.w);
  }
}

TEST(Strides, ResultMayOverwriteTheShape) {
  dim4_t d;
  get_tensor_shape(&d, 2, 70, 3, 5);
  get_tensor_stride_by_shape(&d, &d, 1, 1, 4, 60);
  expect_dim(d, 96, 32, 5, 1);
}

TEST(Strides, LocalF32StridesTakeTheLaneOfTheAddress) {
  const dim4_t shape = {2, 70, 3, 5};
  const u32 untagged = (60u << 19) | 0x1000u;
  for (u32 addr : {untagged, untagged | LOCAL_ADDR_TAG}) {
    SCOPED_TRACE(addr);
    EXPECT_EQ(get_local_start_lane(addr), 60u);
    dim4_t out;
    get_f32_tensor_local_stride(&out, &shape, 1, addr);
    expect_dim(out, 96, 32, 5, 1);
    get_f32_tensor_local_stride(&out, &shape, 0, addr);
    expect_dim(out, 45, 15, 5, 1);
    get_default_local_stride(&out, &shape, nullptr, addr);
    expect_dim(out, 96, 32, 5, 1);
  }
}

TEST(Strides, DefaultLocalStrideKeepsAGivenStride) {
  const dim4_t shape = {2, 70, 3, 5};
  const dim4_t given = {7, 3, 2, 1};  // deliberately not aligned
  dim4_t out;
  get_default_local_stride(&out, &shape, &given, 60u << 19);
  expect_dim(out, 7, 3, 2, 1);
}

TEST(Strides, AlignedLocalLayoutNeedsAnElementLength) {
  expect_assert(
      [] {
        dim4_t shape = {1, 1, 1, 1}, out;
        get_tensor_stride_by_shape(&out, &shape, 1, 1, get_type_len(5), 0);
      }, "ASSERT", "firmware/cmd/",
      "get_tensor_stride_by_shape", "type_len == 1 || type_len == 2 || type_len == 4",
      "type_len=0 is not an element length (1, 2 or 4 bytes)");
}

}  // namespace
}  // namespace zv::test
