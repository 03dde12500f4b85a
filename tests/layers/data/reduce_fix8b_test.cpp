// The 8-bit reduce over axes of 4N tensors against the plain reference: the
// merge to four dimensions and the buffer layout by a table, every method on
// every schedule (race checker on), and the assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fw_test.h"
#include "layers/data/data_rig.h"
#include "layers/data/reduce.h"
#include "ref/reduce_fix8b_ref.h"

namespace zv::test {
namespace {

TEST(ReduceFix8bPlan, MergesToFourDimensions) {
  struct Row {
    std::vector<int> shape, axes;
    int keep;
    int merge_dim;
    int shape4[4], reduced[4], out[4];
  };
  const Row rows[] = {
      {{5, 3, 4, 6}, {2, 3}, 1, 4, {5, 3, 4, 6}, {0, 0, 1, 1}, {5, 3, 1, 1}},
      {{6, 7, 2, 9}, {0}, 0, 4, {6, 7, 2, 9}, {1, 0, 0, 0}, {7, 2, 9, 1}},
      {{3, 5, 8}, {1}, 1, 4, {3, 5, 8, 1}, {0, 1, 0, 0}, {3, 1, 8, 1}},
      // The batch alone, runs of neighbours reduced alike, one merge left.
      {{2, 3, 4, 5, 6}, {2}, 1, 4, {2, 3, 4, 30}, {0, 0, 1, 0}, {2, 3, 1, 30}},
      {{2, 3, 4, 5, 6, 7}, {0}, 0, 4, {2, 60, 6, 7}, {1, 0, 0, 0}, {60, 6, 7, 1}},
      // The second dimension merges up to 4095 only.
      {{2, 300, 2, 5, 6}, {1, 2, 4}, 1, 4, {2, 600, 5, 6}, {0, 1, 0, 1}, {2, 1, 5, 1}},
      {{2, 3000, 2, 5, 6}, {1, 2, 4}, 1, 5, {}, {}, {}},
      {{2, 3, 4, 5, 6, 7}, {1, 3, 5}, 1, 6, {}, {}, {}},
      // No axis: every dimension.
      {{4, 3, 2}, {}, 0, 4, {4, 3, 2, 1}, {1, 1, 1, 0}, {1, 1, 1, 1}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.shape.size());
    reduce_fix8b_plan_t p;
    reduce_fix8b_plan_of(&p, r.shape.data(), int(r.shape.size()), r.axes.data(), int(r.axes.size()), r.keep);
    ASSERT_EQ(p.merge_dim, r.merge_dim);
    if (p.merge_dim != 4) continue;
    for (int i = 0; i < 4; i++) {
      EXPECT_EQ(p.shape[i], r.shape4[i]) << i;
      EXPECT_EQ(p.reduced[i], r.reduced[i]) << i;
      EXPECT_EQ(p.out[i], r.out[i]) << i;
    }
    EXPECT_EQ(p.out[0] * p.out[1] * p.out[2] * p.out[3], p.kept);
    // The input, one intermediate and a transpose work area.
    const u64 per = u64(p.total / p.shape[0]);
    EXPECT_EQ(p.bytes4n, (u64(p.shape[0]) + 3) / 4 * 4 * per);
    EXPECT_EQ(p.buffer_bytes, 3 * p.bytes4n);
  }
}

struct Case {
  std::vector<int> shape, axes;
  int method, keep, is_signed;
  float in_scale, out_scale;
  int out_batch;
};

void run_case(const Sched &s, const Case &c) {
  LayerRunner rig(s);
  size_t total = 1;
  for (int e : c.shape) total *= size_t(e);
  const size_t N = size_t(c.shape[0]), per = total / N;
  const std::vector<u8> in4 = pattern_bytes((N + 3) / 4 * 4 * per, unsigned(c.method * 7 + c.shape.size()));
  std::vector<u8> in = ref::to_1n(in4, N, per);
  if (c.method == 4)  // small factors, so that products stay in range
    for (u8 &b : in) b = u8(int8_t(b) % 3);
  std::vector<u8> in4b = in4;
  for (size_t n = 0; n < N; n++)
    for (size_t j = 0; j < per; j++) in4b[ref::offset_4n(n, j, per)] = in[n * per + j];
  const std::vector<u8> want =
      ref::reduce_fix8b(in, c.shape, c.axes, c.method, c.is_signed != 0, c.in_scale, c.out_scale);
  const size_t ON = size_t(c.out_batch), oper = want.size() / ON, out_bytes = (ON + 3) / 4 * 4 * oper;
  put<u8>(rig, kDataIn, in4b);
  put<u8>(rig, kDataOut, std::vector<u8>(out_bytes + 4, 0xee));
  // A sentinel right behind a buffer of the size the caller is told to give.
  reduce_fix8b_plan_t plan;
  reduce_fix8b_plan_of(&plan, c.shape.data(), int(c.shape.size()), c.axes.data(), int(c.axes.size()), c.keep);
  const std::vector<u8> sentinel(256, 0xa5);
  put<u8>(rig, kDataBuf + plan.buffer_bytes, sentinel);
  u32 in_s, out_s;
  std::memcpy(&in_s, &c.in_scale, 4);
  std::memcpy(&out_s, &c.out_scale, 4);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_reduce_full_fix8b(kDataIn, kDataOut, kDataBuf, c.shape.data(), int(c.shape.size()), c.axes.data(),
                               int(c.axes.size()), c.method, c.keep, c.is_signed, FW_STORE_MODE_4N, in_s, out_s,
                               node);
  }));
  const std::vector<u8> got4 = get<u8>(rig, kDataOut, out_bytes + 4);
  const std::vector<u8> got = ref::to_1n(got4, ON, oper);
  // Bit-exact: the sums of these inputs are exact in float32.
  for (size_t i = 0; i < want.size(); i++) ASSERT_EQ(int(got[i]), int(want[i])) << "element " << i;
  EXPECT_EQ(got4.back(), 0xee) << "nothing written past the output";
  EXPECT_EQ(get<u8>(rig, kDataBuf + plan.buffer_bytes, sentinel.size()), sentinel) << "nothing written past the buffer";
}

const Case kCases[] = {
    {{5, 3, 4, 6}, {2, 3}, 1, 1, 1, 0.5f, 0.25f, 5},         // sum of H and W, batch of 5
    {{6, 7, 2, 9}, {0}, 2, 0, 1, 1.0f, 1.0f, 7},             // max over a batch of 6, batch dropped
    {{3, 5, 8}, {1}, 3, 1, 0, 1.0f, 1.0f, 3},                // min, unsigned
    {{2, 3, 4, 5, 6}, {2}, 0, 1, 1, 0.75f, 1.5f, 2},         // mean, five dimensions merged
    {{2, 3, 4, 5, 6, 7}, {0}, 1, 0, 0, 0.05f, 0.5f, 60},     // sum over the batch, six dimensions
    {{4, 3, 2}, {}, 1, 0, 1, 0.01f, 1.0f, 1},                // no axis: everything
    {{5, 4}, {1}, 4, 1, 1, 1.0f, 2.0f, 5},                   // product
    {{9, 70, 3, 3}, {1}, 2, 1, 1, 1.0f, 1.0f, 9},            // a reduced run of 70 between kept ones
    {{5, 3, 4}, {0, 2}, 3, 1, 0, 1.0f, 1.0f, 1},             // min over a partial batch word, unsigned, kept dims
    {{7, 6, 5}, {0, 1}, 2, 0, 0, 1.0f, 1.0f, 5},             // max, unsigned, batch dropped
    {{3, 4, 5, 6}, {1, 3}, 1, 0, 1, 0.125f, 0.75f, 3},       // sum with the runs transposed
    {{6, 4, 5, 6}, {0, 2}, 0, 0, 1, 0.5f, 2.0f, 4},          // mean over batch and rows, transposed, batch dropped
    {{5, 2, 3, 130}, {0, 3}, 3, 0, 1, 1.0f, 1.0f, 2},        // min over batch and width, signed, transposed
    {{1, 5, 7}, {2}, 4, 0, 1, 0.5f, 1.0f, 1},                // product, a batch of one
};

TEST(ReduceFix8bLayer, EveryMethodAgainstTheReference) {
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    for (const Case &c : kCases) {
      SCOPED_TRACE(c.method);
      SCOPED_TRACE(c.shape.size());
      run_case(s, c);
    }
  }
}

TEST(ReduceFix8bLayer, Assertions) {
  const int shape6[6] = {2, 3, 4, 5, 6, 7}, alt[3] = {1, 3, 5}, shape9[9] = {1, 1, 1, 1, 1, 1, 1, 1, 2}, one[1] = {0};
  const int shape4[4] = {4, 2, 2, 2};
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_reduce_full_fix8b(kDataIn, kDataOut, kDataBuf, shape9, 9, one, 1, 1, 1, 1, FW_STORE_MODE_4N, 0, 0, n);
  }, "ASSERT_FS", "firmware/layers/", "nodechip_reduce_full_fix8b", "input_dims <= 8");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_reduce_full_fix8b(kDataIn, kDataOut, kDataBuf, shape6, 6, alt, 3, 1, 1, 1, FW_STORE_MODE_4N, 0, 0, n);
  }, "ASSERT_FS", "firmware/layers/", "nodechip_reduce_full_fix8b", "merge_dim == 4");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_reduce_full_fix8b(kDataIn, kDataOut, kDataBuf, shape4, 4, one, 1, 1, 1, 1, FW_STORE_MODE_1N, 0, 0, n);
  }, "ASSERT", "firmware/layers/", "nodechip_reduce_full_dim4_fix8b", "store_mode == FW_STORE_MODE_4N");
  expect_assert([&](cmd_id_node_t *n) {
    nodechip_reduce_full_fix8b(kDataIn, kDataOut, kDataBuf, shape4, 4, one, 1, 5, 1, 1, FW_STORE_MODE_4N, 0, 0, n);
  }, "ASSERT", "firmware/layers/", "nodechip_reduce_full_fix8b", "reduce_method >= 0 && reduce_method <= 4",
     "reduce_method=5");
}

}  // namespace
}  // namespace zv::test
