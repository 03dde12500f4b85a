// Adaptive pooling, float32 and 8-bit: the bins by a table, each layer against
// the plain reference on every schedule with the race checker, batch chunks,
// 8-bit groups of fewer than four items, the restart of the ids, and the
// refusals.
#include "layers/pool/adaptive_pooling.h"

#include <gtest/gtest.h>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

TEST(AdaptiveBins, StartsAndSizes) {
  struct {
    int in, out;
    std::vector<int> start, size;
  } cases[] = {
      {5, 3, {0, 1, 3}, {2, 3, 2}},  // bins 0 and 1 share row 1, bins 1 and 2 row 3
      {4, 4, {0, 1, 2, 3}, {1, 1, 1, 1}},
      {7, 1, {0}, {7}},
      {3, 5, {0, 0, 1, 1, 2}, {1, 2, 1, 2, 1}},
  };
  for (const auto &k : cases) {
    for (int i = 0; i < k.out; i++) {
      int s, n;
      adaptive_bin_of(i, k.in, k.out, &s, &n);
      EXPECT_EQ(s, k.start[i]) << k.in << "/" << k.out << " bin " << i;
      EXPECT_EQ(n, k.size[i]) << k.in << "/" << k.out << " bin " << i;
    }
  }
  EXPECT_EQ(adaptive_bin_max(5, 3), 3);
  // Per batch a lane row takes 4 x 1024 + 128 bytes for a 32 x 32 bin: 30 lane
  // rows of channels leave room for 4 batches.
  EXPECT_EQ(adaptive_batches_per_chunk(10, 1920, 32, 32), 4);
  EXPECT_EQ(adaptive_batches_per_chunk(3, 64, 400, 400), 0);
}

struct AdaptiveCase {
  const char *what;
  int n, c, ih, iw, oh, ow;
  bool avg;
};

TEST(AdaptivePooling, FloatAgainstReference) {
  const AdaptiveCase cases[] = {
      {"5 x 7 to 3 x 4, overlapping bins, average", 2, 3, 5, 7, 3, 4, true},
      {"to 1 x 1, max", 3, 70, 6, 5, 1, 1, false},
      {"output as large as the input", 1, 2, 4, 3, 4, 3, true},
      {"output larger than the input, max", 1, 2, 3, 2, 5, 3, false},
  };
  for (const AdaptiveCase &k : cases) {
    const T4 in = pattern(k.n, k.c, k.ih, k.iw, k.oh);
    const T4 want = ref::pool::adaptive(in, k.oh, k.ow, k.avg);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put_floats(rig, kIn, in.v);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_adaptive_pooling_forward(kIn, kOut, k.n, k.c, k.ih, k.iw, k.oh, k.ow, k.avg, node);
      }));
      EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 1e-6));
    }
  }
}

TEST(AdaptivePooling, FloatBatchChunksAndIdRestarts) {
  {
    // 30 lane rows of channels over 32 x 32 bins: chunks of 4 and 1 batches.
    const int n = 5, c = 1920, ih = 32, iw = 32;
    const T4 in = pattern(n, c, ih, iw, 1);
    const T4 want = ref::pool::adaptive(in, 1, 1, true);
    LayerRunner rig(deferred(1));
    put_floats(rig, kIn, in.v);
    ASSERT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_adaptive_pooling_forward(kIn, kOut, n, c, ih, iw, 1, 1, 1, node); }));
    EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 1e-6));
  }
  {
    // 130 x 130 bins: two GDMA commands each pass id 32767 on the way.
    const T4 in = pattern(1, 1, 130, 130, 2);
    const T4 want = ref::pool::adaptive(in, 130, 130, false);
    FirmwareRig rig(deferred(2));
    put_floats(rig, kIn, in.v);
    cmd_id_node_t after;
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_adaptive_pooling_forward(kIn, kOut, 1, 1, 130, 130, 130, 130, 0, node);
    }, &after)));
    EXPECT_LT(after.gdma_cmd_id, 32768u);
    EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 0));
  }
}

TEST(AdaptivePooling, Fix8bAgainstReference) {
  struct Case {
    const char *what;
    int n, c, ih, iw, oh, ow;
    bool avg, sign, relu;
    int rshift;
  } cases[] = {
      {"6 items: groups of 4 and 2, average", 6, 3, 5, 7, 3, 2, true, true, false, 0},
      {"max, ReLU, shift 1, 70 channels", 4, 70, 4, 4, 2, 3, false, true, true, 1},
      {"unsigned average to 1 x 1, 3 items", 3, 2, 6, 5, 1, 1, true, false, false, 0},
  };
  for (const Case &k : cases) {
    const int groups = (k.n + 3) / 4;
    std::vector<u8> in(size_t(groups) * k.c * k.ih * k.iw * 4);
    for (size_t i = 0; i < in.size(); i++) in[i] = u8(i * 89 + 17 + (i >> 5));
    ref::pool::PoolFix8b p;
    p.avg = k.avg, p.in_sign = k.sign, p.relu = k.relu, p.rshift = k.rshift;
    const std::vector<u8> want = ref::pool::adaptive_fix8b(in, groups, k.c, k.ih, k.iw, k.oh, k.ow, p);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put<u8>(rig, kIn, in);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_adaptive_pooling_fix8b_forward(kIn, kOut, k.n, k.c, k.ih, k.iw, k.oh, k.ow, k.avg, k.rshift, 0, k.sign,
                                                0, 0, 0, k.relu, node);
      }));
      // Items past n in the last group are not compared.
      const std::vector<u8> got = get<u8>(rig, kOut, want.size());
      for (size_t i = 0; i < want.size(); i++) {
        const size_t word = i / 4, group = word / (size_t(k.c) * k.oh * k.ow);
        if (group * 4 + i % 4 >= size_t(k.n)) continue;
        ASSERT_EQ(int(got[i]), int(want[i])) << "byte " << i;
      }
    }
  }
}

TEST(AdaptivePooling, Refusals) {
  // A 400 x 400 bin of 64 channels does not fit a lane even for one batch.
  expect_assert([](cmd_id_node_t *n) { nodechip_adaptive_pooling_forward(kIn, kOut, 2, 64, 400, 400, 1, 1, 1, n); },
                "ASSERT", "firmware/layers/pool/", "nodechip_adaptive_pooling_forward", "0");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_adaptive_pooling_fix8b_forward(kIn, kOut, 4, 64, 400, 400, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT", "firmware/layers/pool/", "nodechip_adaptive_pooling_fix8b_forward", "0");
  // Bins of 200 x 200 fit their input, but their results sit behind four
  // times that: refused before the first bin.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_adaptive_pooling_fix8b_forward(kIn, kOut, 4, 64, 200, 200, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT", "firmware/layers/pool/", "nodechip_adaptive_pooling_fix8b_forward", "offset_local_end <= (1<<19)");
  LayerRunner rig;
  ASSERT_TRUE(rig.call([](cmd_id_node_t *n) { nodechip_adaptive_pooling_forward(kIn, kOut, 0, 3, 4, 4, 2, 2, 1, n); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::pool
