// Strided slice and unfold as firmware code on the chip model, against plain
// references.
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "layers/data/data_rig.h"
#include "layers/data/stride_slice.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

struct SliceCase {
  const char *what;
  Shape shape;
  std::vector<int> begin, end, stride;
  int begin_mask, end_mask;
  // What the reference takes: start, step and extent of every axis.
  std::vector<int> first, out;
  size_t commands;  // float: GDMA commands issued
};

const SliceCase kSlices[] = {
    {"w from 1 to 8 by 3", {1, 1, 1, 10}, {0, 0, 0, 1}, {1, 1, 1, 8}, {1, 1, 1, 3}, 0, 0, {0, 0, 0, 1}, {1, 1, 1, 3}, 1},
    {"negative indices: 7 and 8 of 10", {2, 10, 1, 3}, {0, -3, 0, 0}, {2, -1, 1, 3}, {1, 1, 1, 1}, 0, 0,
     {0, 7, 0, 0}, {2, 2, 1, 3}, 1},
    {"masks override begin and end", {3, 4, 5, 6}, {2, 1, 1, 99}, {1, 3, 5, -99}, {1, 2, 2, 1}, 0b1001, 0b1011,
     {0, 1, 1, 0}, {3, 2, 2, 6}, 1},
    {"steps on every axis: one move per output batch", {5, 4, 6, 7}, {1, 0, 1, 2}, {5, 4, 6, 7}, {2, 3, 2, 2}, 0, 0,
     {1, 0, 1, 2}, {2, 2, 3, 3}, 2},
    {"a zero extent issues nothing", {2, 3, 4, 5}, {0, 1, 0, 0}, {2, 1, 4, 5}, {1, 1, 1, 1}, 0, 0, {0, 1, 0, 0},
     {2, 0, 4, 5}, 0},
    {"w above 65535", {1, 2, 1, 70010}, {0, 1, 0, 5}, {1, 2, 1, 70010}, {1, 1, 1, 1}, 0, 0, {0, 1, 0, 5},
     {1, 1, 1, 70005}, 0},
};

TEST(StrideSlice, FloatOfFourAxes) {
  for (const SliceCase &k : kSlices) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 1);
    const Bytes want = ref::stride_slice(in, k.shape, k.first, k.stride, k.out, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   int got[4] = {-1, -1, -1, -1};
                   nodechip_stride_slice_v2(kDataIn, kDataOut, 4, k.shape[0], k.shape[1], k.shape[2], k.shape[3],
                                            k.begin_mask, k.end_mask, k.begin.data(), k.end.data(), k.stride.data(),
                                            got, node);
                   EXPECT_EQ(std::vector<int>(got, got + 4), k.out);
                 },
                 [&](FirmwareRig &rig) {
                   if (k.commands) {
                     EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
                   }
                   if (ref::count_of(k.out) == 0) {
                     EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
                   }
                   EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
                 });
  }
}

TEST(StrideSlice, FewerAndMoreAxes) {
  struct Case {
    const char *what;
    Shape shape;
    std::vector<int> begin, end, stride;
    int begin_mask, end_mask;
    std::vector<int> first, out;
  };
  const Case cases[] = {
      {"one axis", {10}, {1}, {9}, {4}, 0, 0, {1}, {2}},
      {"two axes", {4, 6}, {1, -5}, {4, 6}, {2, 2}, 0, 0, {1, 1}, {2, 3}},
      {"three axes", {3, 4, 5}, {0, 1, 0}, {3, 4, 5}, {2, 1, 3}, 0, 0, {0, 1, 0}, {2, 3, 2}},
      // Leading axes read their mask bits from the top: axis 0 bit 5.
      {"six axes, a leading mask bit", {3, 2, 2, 3, 1, 4}, {1, 1, 0, 1, 0, 1}, {3, 2, 2, 3, 1, 4},
       {1, 1, 1, 1, 1, 2}, 1 << 5, 0, {0, 1, 0, 1, 0, 1}, {3, 1, 2, 2, 1, 2}},
      {"8 axes", {2, 3, 1, 2, 2, 1, 3, 4}, {0, 1, 0, 1, 0, 0, 1, 0}, {2, 3, 1, 2, 2, 1, 3, 4},
       {1, 2, 1, 1, 1, 1, 1, 3}, 0, 0, {0, 1, 0, 1, 0, 0, 1, 0}, {2, 1, 1, 1, 2, 1, 2, 2}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 2);
    const Bytes want = ref::stride_slice(in, k.shape, k.first, k.stride, k.out, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_stride_slice_md(kDataIn, kDataOut, k.shape.data(), int(k.shape.size()), k.begin_mask,
                                            k.end_mask, k.begin.data(), k.end.data(), k.stride.data(), node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(StrideSlice, EightBitBetweenStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  struct Case {
    const char *what;
    Shape shape;
    std::vector<int> begin, end, stride;
    int in_mode, out_mode;
    std::vector<int> out;
    u64 buffer;
  };
  const Case cases[] = {
      {"1N to 1N", {3, 4, 5, 6}, {1, 0, 1, 1}, {3, 4, 5, 6}, {1, 2, 2, 2}, k1N, k1N, {2, 2, 2, 3}, 0},
      {"items 2 to 5 of 8, 4N to 4N: through 1N", {8, 2, 3, 2}, {2, 0, 0, 0}, {6, 2, 3, 2}, {1, 1, 1, 1}, k4N, k4N,
       {4, 2, 3, 2}, 8 * 12 + 4 * 12},
      {"4N batch sliced into 1N", {6, 2, 2, 3}, {1, 0, 0, 0}, {6, 2, 2, 3}, {2, 1, 1, 2}, k4N, k1N, {3, 2, 2, 2},
       8 * 12},
      {"4N batch whole: words", {6, 3, 2, 4}, {0, 1, 0, 1}, {6, 3, 2, 4}, {1, 1, 1, 2}, k4N, k4N, {6, 2, 2, 2}, 0},
      {"4N batch whole into 1N", {5, 2, 3, 2}, {0, 0, 1, 0}, {5, 2, 3, 2}, {1, 1, 1, 1}, k4N, k1N, {5, 2, 2, 2},
       8 * 8},
      {"1N into 4N", {5, 2, 3, 2}, {1, 0, 1, 0}, {5, 2, 3, 2}, {1, 1, 1, 1}, k1N, k4N, {4, 2, 2, 2}, 4 * 8},
      {"two axes given", {5, 6}, {1, 1}, {5, 6}, {2, 2}, k1N, k1N, {2, 3, 1, 1}, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Shape s4 = k.shape;
    s4.resize(4, 1);
    std::vector<int> first = k.begin, step = k.stride;
    first.resize(4, 0), step.resize(4, 1);
    const int n = s4[0];
    const size_t len = ref::count_of(s4) / size_t(n);
    const Bytes plain = pattern_bytes(ref::count_of(s4), 3);
    const Bytes in = k.in_mode == k4N ? ref::to_4n(plain, n, len, 0x66) : plain;
    const Bytes want = ref::stride_slice(plain, s4, first, step, k.out, 1);
    const int on = k.out[0];
    const size_t out_len = want.size() / size_t(on);
    for (uint64_t seed : deferred_seeds()) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      LayerRunner rig(deferred(seed));
      put<u8>(rig, kDataIn, in);
      u64 bytes = ~0ull;
      auto call = [&](cmd_id_node_t *node, u64 *query) {
        nodechip_stride_slice_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, query, k.shape.data(), int(k.shape.size()),
                                    k.in_mode, k.out_mode, 0, 0, k.begin.data(), k.end.data(), k.stride.data(), node);
      };
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
      EXPECT_EQ(bytes, k.buffer);
      EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
      const Bytes got = k.out_mode == k4N
                            ? ref::from_4n(get<u8>(rig, kDataOut, (size_t(on) + 3) / 4 * 4 * out_len), on, out_len)
                            : get<u8>(rig, kDataOut, want.size());
      EXPECT_TRUE(got == want);
    }
  }
}

TEST(Unfold, WindowsStackedAsANewLastAxis) {
  struct Case {
    const char *what;
    Shape shape;
    int axis, size, step;
    u64 buffer;
  };
  const Case cases[] = {
      {"1-D: straight to the output", {10}, 0, 4, 3, 0},
      {"(2, 10) along axis 1: one transpose", {2, 10}, 1, 4, 2, 8 * 2 * 4 * 4},
      {"(7, 3) along axis 0", {7, 3}, 0, 3, 2, 8 * 3 * 3 * 3},
      {"4 axes along a middle axis", {2, 3, 6, 2}, 2, 2, 2, 8 * 2 * 3 * 3 * 2 * 2},
      {"7 axes along the last", {2, 1, 2, 1, 1, 2, 5}, 6, 3, 1, 8 * 8 * 3 * 3},
      {"windows of the whole axis", {3, 4}, 1, 4, 1, 8 * 3 * 4},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 4);
    const Bytes want = ref::unfold(in, k.shape, k.axis, k.size, k.step, 4);
    for (uint64_t seed : deferred_seeds()) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      LayerRunner rig(deferred(seed));
      put<u8>(rig, kDataIn, in);
      u64 bytes = ~0ull;
      auto call = [&](cmd_id_node_t *node, u64 *query) {
        nodechip_unfold(kDataIn, int(k.shape.size()), k.shape.data(), k.axis, k.size, k.step, kDataBuf, query,
                        kDataOut, node);
      };
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
      EXPECT_EQ(bytes, k.buffer);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
      EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
    }
  }
}

TEST(StrideSlice, BadArgumentsFailTheirChecks) {
  const int shape[8] = {2, 3, 4, 5, 1, 1, 1, 1}, b[4] = {0, 0, 0, 0}, e[4] = {2, 3, 4, 5}, s[4] = {1, 1, 1, 1};
  const int zero[4] = {1, 0, 1, 1}, back[4] = {0, 2, 0, 0}, big[3] = {70000, 2, 3};
  struct Bad {
    const char *kind, *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "nodechip_stride_slice_v2", "stride[i] > 0",
       [&](cmd_id_node_t *n) { nodechip_stride_slice_v2(kDataIn, kDataOut, 4, 2, 3, 4, 5, 0, 0, b, e, zero, nullptr, n); }},
      {"ASSERT_FS", "nodechip_stride_slice_v2", "shape_size >=1 && shape_size <=4",
       [&](cmd_id_node_t *n) { nodechip_stride_slice_v2(kDataIn, kDataOut, 0, 2, 3, 4, 5, 0, 0, b, e, s, nullptr, n); }},
      {"ASSERT_FS", "nodechip_stride_slice_v2", "(end - begin) >= 0",
       [&](cmd_id_node_t *n) { nodechip_stride_slice_v2(kDataIn, kDataOut, 4, 2, 3, 4, 5, 0, 0, e, back, s, nullptr, n); }},
      {"ASSERT_FS", "nodechip_stride_slice_md", "shape_size <= 8",
       [&](cmd_id_node_t *n) { nodechip_stride_slice_md(kDataIn, kDataOut, shape, 9, 0, 0, b, e, s, n); }},
      {"ASSERT", "nodechip_stride_slice_fix8b", "in_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_stride_slice_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, nullptr, shape, 4, 1, 0, 0, 0, b, e, s, n);
       }},
      {"ASSERT", "nodechip_stride_slice_fix8b", "out_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_stride_slice_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, nullptr, shape, 4, 0, 1, 0, 0, b, e, s, n);
       }},
      {"ASSERT_FS", "nodechip_stride_slice_v2_fix8b", "0",
       [&](cmd_id_node_t *n) {
         nodechip_stride_slice_v2_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, 3, 0, 0, 2, 3, 4, 5, 0, 0, b, e, s, n);
       }},
      // A zero step would divide by zero.
      {"ASSERT_FS", "nodechip_stride_slice_v2_fix8b", "stride[i] > 0",
       [&](cmd_id_node_t *n) {
         nodechip_stride_slice_v2_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, 4, 0, 0, 2, 3, 4, 5, 0, 0, b, e, zero,
                                        n);
       }},
      {"ASSERT_FS", "nodechip_unfold", "input_rank > 0 && input_rank <= (8 - 1)",
       [&](cmd_id_node_t *n) { nodechip_unfold(kDataIn, 8, shape, 0, 1, 1, kDataBuf, nullptr, kDataOut, n); }},
      {"ASSERT_FS", "nodechip_unfold", "unfold_axis >= 0 && unfold_axis < input_rank",
       [&](cmd_id_node_t *n) { nodechip_unfold(kDataIn, 2, shape, 2, 1, 1, kDataBuf, nullptr, kDataOut, n); }},
      {"ASSERT_FS", "nodechip_unfold", "unfold_size <= input_shape[unfold_axis]",
       [&](cmd_id_node_t *n) { nodechip_unfold(kDataIn, 2, shape, 1, 4, 1, kDataBuf, nullptr, kDataOut, n); }},
      {"ASSERT_FS", "nodechip_unfold", "unfold_step > 0",
       [&](cmd_id_node_t *n) { nodechip_unfold(kDataIn, 2, shape, 1, 2, 0, kDataBuf, nullptr, kDataOut, n); }},
      {"ASSERT_FS", "nodechip_unfold", "input_shape[i] <= 65535",
       [&](cmd_id_node_t *n) { nodechip_unfold(kDataIn, 3, big, 1, 1, 1, kDataBuf, nullptr, kDataOut, n); }},
      {"ASSERT_FS", "s_slice_n_stack_v2", "new_shape[0] <= 65535",
       [&](cmd_id_node_t *n) {
         const int wide[4] = {300, 300, 2, 2};
         nodechip_unfold(kDataIn, 4, wide, 2, 1, 1, kDataBuf, nullptr, kDataOut, n);
       }},
      {"ASSERT_FS", "s_slice_n_stack_v2", "new_shape[1] <= 65535",
       [&](cmd_id_node_t *n) {
         const int wide[3] = {2, 300, 300};
         nodechip_unfold(kDataIn, 3, wide, 0, 1, 1, kDataBuf, nullptr, kDataOut, n);
       }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(std::string(b.function) + ": " + b.condition);
    expect_assert(b.call, b.kind, "firmware/layers/", b.function, b.condition, "none.");
  }
}

}  // namespace
}  // namespace zv::test
