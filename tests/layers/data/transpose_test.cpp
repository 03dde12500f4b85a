// Transpose planning and the transpose and permute layers, run as firmware code
// on the chip model under the deferred schedule with the happens-before checker.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "layers/data/transpose.h"
#include "ref/permute_ref.h"
#include "cmd/tensor_shape.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kBuf = 0x108000000ull;

std::vector<u8> pattern(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<u8>(i * 7 + seed * 13 + (i >> 8) * 3);
  return v;
}

size_t count_of(const std::vector<int> &shape) {
  size_t c = 1;
  for (int e : shape) c *= size_t(e);
  return c;
}

std::string steps_text(const std::vector<int> &extents, const std::vector<int> &order) {
  transpose_step_t steps[TRANSPOSE_MAX_DIMS];
  const int n = transpose_plan_steps(extents.data(), order.data(), int(order.size()), steps);
  std::string s;
  for (int i = 0; i < n; i++)
    s += "{" + std::to_string(steps[i].x) + "," + std::to_string(steps[i].y) + "," + std::to_string(steps[i].z) + "}";
  return s;
}

TEST(TransposePlan, RotationsOfAPermutation) {
  struct Case {
    const char *what;
    std::vector<int> extents, order;
    std::string steps;
  };
  const Case cases[] = {
      {"identity", {2, 3, 4}, {0, 1, 2}, ""},
      {"2-D swap", {3, 5}, {1, 0}, "{1,3,5}"},
      {"first two axes exchanged", {2, 3, 4}, {1, 0, 2}, "{1,2,12}{3,4,2}"},
      {"last two axes exchanged", {2, 3, 4}, {0, 2, 1}, "{2,3,4}"},
      {"last axis to the front", {2, 3, 4}, {2, 0, 1}, "{1,6,4}"},
      {"NCHW to NHWC", {2, 3, 4, 5}, {0, 2, 3, 1}, "{2,3,20}"},
      {"only axes of extent 1 move", {5, 1, 3, 1}, {0, 3, 2, 1}, ""},
      {"a full reversal of 4 axes", {2, 3, 4, 5}, {3, 2, 1, 0}, "{1,24,5}{5,6,4}{20,2,3}"},
  };
  for (const Case &k : cases) EXPECT_EQ(steps_text(k.extents, k.order), k.steps) << k.what;

  const int ok[] = {2, 0, 1}, twice[] = {0, 0, 1}, outside[] = {0, 3, 1}, negative[] = {0, -1, 1};
  EXPECT_TRUE(transpose_order_valid(ok, 3));
  EXPECT_FALSE(transpose_order_valid(twice, 3));
  EXPECT_FALSE(transpose_order_valid(outside, 3));
  EXPECT_FALSE(transpose_order_valid(negative, 3));
  EXPECT_FALSE(transpose_order_valid(ok, 0));
}

// A transpose case: the input shape and order, and what it should cost.
struct Case {
  const char *what;
  std::vector<int> shape, order;
  int type_len;      // float transpose: element bytes
  int in_mode, out_mode;  // store modes (the float transpose has one: in_mode)
  u64 buffer;        // bytes the size query reports
  size_t commands;   // GDMA commands issued (0: not checked)
};

// The expected output image of a case: 1N bytes, or 4N with the output's batch
// compared item by item.
void check_case(const Case &k, bool fix8b) {
  const size_t count = count_of(k.shape);
  const size_t size = fix8b ? 1 : size_t(k.type_len);
  const bool in_4n = k.in_mode == FW_STORE_MODE_4N;
  const bool out_4n = fix8b ? k.out_mode == FW_STORE_MODE_4N : in_4n;
  const int n = k.shape[0], out_n = k.shape[k.order[0]];
  const std::vector<u8> plain = pattern(count * size, 5);
  const std::vector<u8> input = in_4n ? ref::to_4n(plain, n, count / n, 0xee) : plain;
  std::vector<int> out_shape;
  for (int a : k.order) out_shape.push_back(k.shape[a]);
  const std::vector<u8> want = ref::permute_axes(plain, k.shape, k.order, size);
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE(std::string(k.what) + ", seed " + std::to_string(seed));
    LayerRunner rig(deferred(seed));
    rig.chip().ddr.store(kIn, input.data(), input.size());
    u64 bytes = ~0ull;
    auto call = [&](cmd_id_node_t *node, u64 *query) {
      if (fix8b)
        nodechip_transpose_fix8b(kIn, kOut, k.shape.data(), k.order.data(), int(k.shape.size()), k.in_mode,
                                 k.out_mode, kBuf, query, node);
      else
        nodechip_transpose(kIn, kOut, k.shape.data(), k.order.data(), int(k.shape.size()), k.type_len, k.in_mode,
                           kBuf, query, node);
    };
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
    EXPECT_EQ(bytes, k.buffer);
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty()) << "a size query issues nothing";
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
    if (k.commands) {
      EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
    }
    if (out_4n) {
      const size_t len = count / out_n;
      EXPECT_TRUE(ref::from_4n(get<u8>(rig, kOut, (out_n + 3) / 4 * 4 * len), out_n, len) == want);
    } else {
      EXPECT_TRUE(get<u8>(rig, kOut, want.size()) == want);
    }
  }
}

TEST(TransposeLayers, FloatTransposeReordersAxes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  const Case cases[] = {
      {"identity: one flat copy", {2, 3, 4}, {0, 1, 2}, 4, k1N, k1N, 0, 1},
      {"only axes of extent 1 move: one flat copy", {5, 1, 3, 1}, {0, 3, 2, 1}, 4, k1N, k1N, 0, 1},
      {"2-D (3, 5): one rotation into the output", {3, 5}, {1, 0}, 4, k1N, k1N, 0, 3},
      {"3-D (1, 0, 2): two rotations through the buffer", {4, 6, 5}, {1, 0, 2}, 4, k1N, k1N, 480, 3 + 2 * 5},
      {"x above 3: pieces of 3, 3 and 1", {7, 9, 11}, {0, 2, 1}, 4, k1N, k1N, 0, 2 * (2 + 3) + (2 + 1)},
      {"2-byte NCHW to NHWC", {2, 70, 3, 30}, {0, 2, 3, 1}, 2, k1N, k1N, 0, 0},
      {"bytes, 5 axes reversed and mixed", {3, 2, 4, 5, 3}, {4, 2, 0, 3, 1}, 1, k1N, k1N, 360, 0},
      {"y 1200 by z 700: pieces of 500, 500, 200 by 500, 200", {1200, 700}, {1, 0}, 4, k1N, k1N, 0, 6 * 3},
      {"4N with the batch axis first: words", {6, 3, 5}, {0, 2, 1}, 1, k4N, k4N, 0, 2 + 2},
      {"4N with the batch axis moving: through 1N", {6, 3, 5}, {2, 0, 1}, 1, k4N, k4N, 120, 0},
      {"4N batch moving without a rotation", {6, 1}, {1, 0}, 1, k4N, k4N, 8, 0},
  };
  for (const Case &k : cases) check_case(k, false);
}

TEST(TransposeLayers, ByteTransposeReordersAxesAndStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  const Case cases[] = {
      {"1N to 1N, two rotations", {3, 4, 5}, {2, 0, 1}, 1, k1N, k1N, 0, 1},
      {"1N to 1N, three rotations", {3, 4, 5, 2}, {3, 2, 1, 0}, 1, k1N, k1N, 120, 3},
      {"1N to 4N, one rotation into the buffer, then converted", {3, 5}, {1, 0}, 1, k1N, k4N, 24, 0},
      {"4N kept to 1N", {8, 3, 4}, {0, 2, 1}, 1, k4N, k1N, 96, 0},
      {"4N moving to 4N", {6, 4, 3}, {1, 2, 0}, 1, k4N, k4N, 72, 0},
      {"4N moving to 1N", {6, 4, 3}, {2, 1, 0}, 1, k4N, k1N, 72, 0},
      {"4N identity: one flat copy", {5, 2, 3}, {0, 1, 2}, 1, k4N, k4N, 0, 1},
      {"1N identity into 4N: copy and conversion", {5, 6}, {0, 1}, 1, k1N, k4N, 48, 0},
      {"4N batch moving without a rotation, into 1N", {6, 1}, {1, 0}, 1, k4N, k1N, 0, 0},
      {"4N batch moving without a rotation, into 4N", {6, 1}, {1, 0}, 1, k4N, k4N, 24, 0},
      {"a rotation cut at 65535", {70000, 2}, {1, 0}, 1, k1N, k1N, 0, 2},
  };
  for (const Case &k : cases) check_case(k, true);
}

TEST(TransposeLayers, BadArgumentsFailTheirChecks) {
  const int shape9[9] = {1, 1, 1, 1, 1, 1, 1, 1, 2}, order9[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const int shape[3] = {2, 3, 4}, order[3] = {0, 2, 1}, twice[3] = {0, 2, 2};
  struct Bad {
    const char *kind, *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "nodechip_transpose", "dims <= 8",
       [&](cmd_id_node_t *n) { nodechip_transpose(kIn, kOut, shape9, order9, 9, 4, 0, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose", "store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) { nodechip_transpose(kIn, kOut, shape, order, 3, 2, 1, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose", "type_len == 1",
       [&](cmd_id_node_t *n) { nodechip_transpose(kIn, kOut, shape, order, 3, 4, 2, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose", "type_len == 1 || type_len == 2 || type_len == 4",
       [&](cmd_id_node_t *n) { nodechip_transpose(kIn, kOut, shape, order, 3, 8, 0, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose", "transpose_order_valid(order, dims)",
       [&](cmd_id_node_t *n) { nodechip_transpose(kIn, kOut, shape, twice, 3, 4, 0, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose_fix8b", "dims <= 8",
       [&](cmd_id_node_t *n) { nodechip_transpose_fix8b(kIn, kOut, shape9, order9, 9, 0, 0, kBuf, nullptr, n); }},
      {"ASSERT", "nodechip_transpose_fix8b", "in_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) { nodechip_transpose_fix8b(kIn, kOut, shape, order, 3, 1, 0, kBuf, nullptr, n); }},
      {"ASSERT", "nodechip_transpose_fix8b", "out_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) { nodechip_transpose_fix8b(kIn, kOut, shape, order, 3, 0, 1, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_transpose_fix8b", "transpose_order_valid(order, dims)",
       [&](cmd_id_node_t *n) { nodechip_transpose_fix8b(kIn, kOut, shape, twice, 3, 0, 0, kBuf, nullptr, n); }},
      {"ASSERT_FS", "nodechip_permute_by_gdma",
       "(get_neuron_csize_local(1, input_c) * w_per_npu < (1<<19) / 2) && (get_neuron_csize_local(input_h, "
       "input_w) * c_per_npu < (1<<19) / 2)",
       [&](cmd_id_node_t *n) { nodechip_permute_by_gdma(kIn, kOut, 1, 64, 256, 256, n); }},
      {"ASSERT_FS", "nodechip_permute_fix8b_by_gdma",
       "(get_neuron_csize_local(1, input_c) * w_per_npu < (1<<19) / 2) && (get_neuron_csize_local(input_h, "
       "input_w) * c_per_npu < (1<<19) / 2)",
       [&](cmd_id_node_t *n) { nodechip_permute_fix8b_by_gdma(kIn, kOut, 4, 64, 1, 65536, n); }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(std::string(b.function) + ": " + b.condition);
    LayerRunner rig;
    EXPECT_TRUE(stopped_on(rig.run_layer(b.call), b.kind, "firmware/", b.function, b.condition, "none."));
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
  }
}

// Permute of words: each item's (c, h*w) plane exchanged through local memory.
void check_permute(LayerRunner &rig, bool fix8b, int n, int c, int h, int w) {
  const int items = fix8b ? (n + 3) / 4 : n;
  const size_t plane = size_t(c) * h * w;
  const std::vector<u8> in = pattern(size_t(items) * plane * 4, 9);
  rig.chip().ddr.store(kIn, in.data(), in.size());
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    if (fix8b)
      nodechip_permute_fix8b_by_gdma(kIn, kOut, n, c, h, w, node);
    else
      nodechip_permute_by_gdma(kIn, kOut, n, c, h, w, node);
  }));
  if (fix8b) {
    // Item by item through the 4N layout.
    const std::vector<u8> plain = ref::from_4n(in, n, plane);
    const std::vector<u8> want = ref::permute_axes(plain, {n, c, h, w}, {0, 2, 3, 1}, 1);
    EXPECT_TRUE(ref::from_4n(get<u8>(rig, kOut, in.size()), n, plane) == want);
  } else {
    EXPECT_TRUE(get<u8>(rig, kOut, in.size()) == ref::permute_axes(in, {n, c, h, w}, {0, 2, 3, 1}, 4));
  }
}

TEST(PermuteLayers, ChannelsMoveLast) {
  struct P {
    bool fix8b;
    int n, c, h, w;
  };
  const P cases[] = {{false, 2, 3, 4, 5}, {false, 2, 5, 7, 9}, {false, 1, 70, 3, 30}, {true, 6, 5, 2, 7}, {true, 3, 65, 1, 66}};
  for (const P &p : cases)
    for (uint64_t seed : deferred_seeds()) {
      SCOPED_TRACE(std::to_string(p.fix8b) + " " + std::to_string(p.n) + "x" + std::to_string(p.c) + "x" +
                   std::to_string(p.h) + "x" + std::to_string(p.w) + " seed " + std::to_string(seed));
      LayerRunner rig(deferred(seed));
      check_permute(rig, p.fix8b, p.n, p.c, p.h, p.w);
      EXPECT_EQ(rig.chip().engines.gdma.commands().size(), size_t(p.fix8b ? (p.n + 3) / 4 : p.n) * 3);
    }
}

TEST(PermuteLayers, LargestPlaneThatFitsHalfALane) {
  // 64 channels of 65472 positions: both local images take 261888 bytes per lane.
  LayerRunner rig;
  check_permute(rig, false, 1, 64, 1, 65472);
}

TEST(PermuteLayers, ManyItemsRestartTheIdsBeforeTheyWrap) {
  // 22000 items of three commands each pass the 16-bit id range.
  LayerRunner rig;
  check_permute(rig, false, 22000, 1, 1, 1);
  EXPECT_GT(rig.chip().engines.scheduler.gdma.restarts, 1u);
}

}  // namespace
}  // namespace zv::test
