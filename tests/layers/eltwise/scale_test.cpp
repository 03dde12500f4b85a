// Scale over axes: the plan by table, the layer against a plain reference
// over axis runs (per channel, per item, rows, columns, whole tensor), with
// and without bias and ReLU, resident and streamed scales and slices that cut
// the rows, under every schedule with the happens-before checker; the
// assertions and the empty tensor.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/scale.h"
#include "norm_rig.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;
constexpr u64 kScale = 0x108000000ull;
constexpr u64 kBias = 0x10c000000ull;

TEST(ScalePlan, Layouts) {
  struct Case {
    const char *what;
    int n, c, h, w, axis, num, bias;
    int S[4], resident, items, rows;
  };
  const Case cases[] = {
      {"per channel, all items", 4, 130, 3, 5, 1, 1, 1, {1, 130, 1, 1}, 1, 4, 3},
      {"axes past w", 2, 3, 4, 5, 2, 3, 0, {1, 1, 4, 5}, 1, 2, 4},
      {"rows of one item", 2, 1, 300, 300, 2, 1, 0, {1, 1, 300, 1}, 1, 1, 217},
      {"a scale as large as the input: streamed", 2, 64, 160, 160, 0, 4, 1, {2, 64, 160, 160}, 0, 1, 160},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    scale_plan_t p;
    ASSERT_TRUE(scale_plan_of(&p, k.n, k.c, k.h, k.w, k.axis, k.num, k.bias));
    for (int i = 0; i < 4; i++) EXPECT_EQ(p.S[i], k.S[i]) << i;
    EXPECT_EQ(p.resident, k.resident);
    EXPECT_EQ(p.items, k.items);
    EXPECT_EQ(p.rows, k.rows);
    EXPECT_LE(u64(p.items) * ((k.c + 63) / 64) * p.rows * k.w * 4, p.capacity);
  }
  scale_plan_t p;
  EXPECT_FALSE(scale_plan_of(&p, 1, 64, 1, 70000, 1, 1, 0));
}

class ScaleLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(ScaleLayer, AgainstReference) {
  struct Case {
    const char *what;
    int n, c, h, w, axis, num, bias, relu;
  };
  const Case cases[] = {
      {"per channel, 130 channels, bias, relu", 3, 130, 3, 5, 1, 1, 1, 1},
      {"c, h and w (count -1)", 2, 7, 3, 4, 1, -1, 0, 0},
      {"axis -3 is axis 1; one channel", 2, 1, 3, 3, -3, 1, 1, 0},
      {"per item, broadcast over 70 channels", 3, 70, 2, 3, 0, 1, 1, 1},
      {"h and w (count 3 from axis 2)", 2, 5, 4, 6, 2, 3, 0, 1},
      {"columns only", 2, 3, 2, 9, 3, 1, 1, 0},
      {"rows of one item, scale over h", 2, 1, 300, 300, 2, 1, 1, 0},
      {"whole tensor, streamed", 2, 64, 160, 160, 0, 4, 1, 1},
      {"items and channels, streamed, no bias", 4, 64, 160, 100, 0, 2, 0, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int axis = k.axis < 0 ? k.axis + 4 : k.axis, num = k.num < 0 ? 4 : k.num;
    const int in[4] = {k.n, k.c, k.h, k.w};
    int S[4];
    for (int i = 0; i < 4; i++) S[i] = i >= axis && i < axis + num ? in[i] : 1;
    const size_t count = size_t(k.n) * k.c * k.h * k.w, scount = size_t(S[0]) * S[1] * S[2] * S[3];
    const std::vector<float> x = spread(count, -3.0f, 3.0f, 1), s = spread(scount, -2.0f, 2.0f, 2),
                             b = spread(scount, -1.0f, 1.0f, 3);
    put<float>(rig, kIn, x);
    put<float>(rig, kScale, s);
    put<float>(rig, kBias, b);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_scale_forward(kIn, kScale, kBias, kOut, k.n, k.c, k.h, k.w, k.axis, k.num, k.bias, k.relu, node);
    }));
    const std::vector<float> got = get<float>(rig, kOut, count);
    size_t i = 0;
    for (int a = 0; a < k.n; a++)
      for (int c = 0; c < k.c; c++)
        for (int y = 0; y < k.h; y++)
          for (int z = 0; z < k.w; z++, i++) {
            const int idx[4] = {S[0] == 1 ? 0 : a, S[1] == 1 ? 0 : c, S[2] == 1 ? 0 : y, S[3] == 1 ? 0 : z};
            const size_t j = ((size_t(idx[0]) * S[1] + idx[1]) * S[2] + idx[2]) * S[3] + idx[3];
            float want = x[i] * s[j];
            if (k.bias) want += b[j];
            if (k.relu && want < 0) want = 0;
            ASSERT_EQ(got[i], want) << a << " " << c << " " << y << " " << z;
          }
  }
}

INSTANTIATE_TEST_SUITE_P(All, ScaleLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(ScaleLayer, AssertionsAndEmptyTensor) {
  expect_assert([](cmd_id_node_t *node) { nodechip_scale_forward(kIn, kScale, kBias, kOut, 1, 2, 3, 4, 4, 1, 0, 0, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_scale_forward", "shape_axis >= 0 && shape_axis <4");
  expect_assert([](cmd_id_node_t *node) { nodechip_scale_forward(kIn, kScale, kBias, kOut, 1, 2, 3, 4, 1, 5, 0, 0, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_scale_forward", "shape_axis_num >= 0 && shape_axis_num <=4");
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_scale_forward(kIn, kScale, kBias, kOut, 1, 64, 1, 70000, 1, 1, 0, 0, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_scale_forward",
      "scale_plan_of(&p, input_n, input_c, input_h, input_w, shape_axis, shape_axis_num, bias_term)",
      "one row of 70000 floats does not fit");
  LayerRunner rig;
  ASSERT_TRUE(rig.call(
      [](cmd_id_node_t *node) { nodechip_scale_forward(kIn, kScale, kBias, kOut, 2, 3, 0, 4, 1, 1, 1, 1, node); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
