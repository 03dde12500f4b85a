// Training max pooling: maxima and first-maximum positions against the plain
// reference in each slicing mode on every schedule, the output extent by a
// table, values that stale buffers or the pad value could disturb, and the
// plans that do not fit.
#include "layers/pool/pooling_train.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <limits>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

TEST(TrainPoolShape, FloorAndCeilRounding) {
  struct {
    int ih, kh, pt, pb, sh, floor_mode, oh, pb_grown;
  } cases[] = {
      {6, 3, 0, 0, 2, 0, 3, 1},  // ceil: one more window, bottom pad grows by 1
      {6, 3, 0, 0, 2, 1, 2, 0},  // floor
      {7, 3, 0, 0, 2, 0, 3, 0},  // no remainder
      {5, 2, 1, 0, 2, 0, 3, 0},  // remainder 0 with the pad
      {4, 3, 0, 0, 3, 0, 2, 2},  // the extra window starts inside the input
  };
  for (const auto &k : cases) {
    pool_train_shape_t s;
    pool_train_shape_of(&s, k.ih, 5, k.kh, 1, k.pt, 0, k.pb, 0, k.sh, 1, k.floor_mode);
    EXPECT_EQ(s.oh, k.oh) << k.ih << " " << k.kh << " " << k.sh << " " << k.floor_mode;
    EXPECT_EQ(s.pad_h_bottom, k.pb_grown) << k.ih << " " << k.kh << " " << k.sh;
    EXPECT_EQ(s.ph, k.ih + k.pt + k.pb_grown);
    EXPECT_EQ(s.ow, 5);
  }
}

TEST(TrainPoolShape, EightBuffersFitOnlyOneBankEach) {
  local_area_t areas[POOL_TRAIN_AREAS];
  pool_train_areas(0x10000, areas);
  EXPECT_TRUE(local_areas_valid(areas, POOL_TRAIN_AREAS));
  pool_train_areas(0x20000, areas);  // input_ratio 0.5: past the lane's end
  EXPECT_FALSE(local_areas_valid(areas, POOL_TRAIN_AREAS));
}

struct TrainCase {
  const char *what;
  int n, c, ih, iw, kh, kw, pt, pl, pb, pr, sh, sw, floor_mode, c_step, h_step, split_mode;
};

void run_train(const TrainCase &k, const T4 &in, bool index_only) {
  pool_train_shape_t g;
  pool_train_shape_of(&g, k.ih, k.iw, k.kh, k.kw, k.pt, k.pl, k.pb, k.pr, k.sh, k.sw, k.floor_mode);
  const auto want = ref::pool::train_pool(in, k.kh, k.kw, k.pt, k.pl, k.sh, k.sw, g.oh, g.ow);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(std::string(k.what) + (index_only ? ", positions only, " : ", ") + sched_text(s));
    LayerRunner rig(s);
    put_floats(rig, kIn, in.v);
    // Stale words in every buffer that the layer must not read back.
    std::vector<u32> stale(0x80000 / 4, 0x7fc00000u);
    for (int lane = 0; lane < 64; lane++) rig.chip().local.store(0x8000000ull + u64(lane) * 0x80000, stale.data(), 0x80000);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (index_only)
        nodechip_pooling_train_index_forward_parallel(kIn, kOut2, k.n, k.c, k.ih, k.iw, k.kh, k.kw, k.pt, k.pl, k.pb,
                                                      k.pr, k.sh, k.sw, k.floor_mode, 0, k.c_step, k.h_step, 0.25f,
                                                      k.split_mode, node);
      else
        nodechip_pooling_train_forward_parallel(kIn, kOut, kOut2, k.n, k.c, k.ih, k.iw, k.kh, k.kw, k.pt, k.pl, k.pb,
                                                k.pr, k.sh, k.sw, k.floor_mode, 0, k.c_step, k.h_step, 0.25f,
                                                k.split_mode, node);
    }));
    if (!index_only) {
      EXPECT_TRUE(near_all(get<float>(rig, kOut, want.max.v.size()), want.max, 0));
    }
    EXPECT_TRUE(near_all(get<float>(rig, kOut2, want.pos.v.size()), want.pos, 0));
  }
}

TEST(TrainPool, AgainstReferenceInEveryMode) {
  const TrainCase cases[] = {
      {"mode 1, 3x3 s2 pad 1, ceil, batch 2", 2, 3, 9, 8, 3, 3, 1, 1, 1, 1, 2, 2, 0, 0, 0, 1},
      {"mode 1, 70 planes over two lane rows, floor", 1, 70, 6, 6, 2, 3, 0, 1, 0, 1, 2, 1, 1, 0, 0, 1},
      {"mode 2, slices of 2 planes, last one short", 1, 5, 7, 7, 3, 2, 1, 0, 1, 0, 2, 2, 0, 2, 0, 2},
      {"mode 3, slices of 3 planes and 2 output rows", 2, 2, 10, 6, 3, 3, 1, 1, 1, 1, 2, 1, 0, 3, 2, 3},
      {"mode 3, one row per slice, window wholly in the padding", 1, 2, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 0, 2, 1, 3},
  };
  for (const TrainCase &k : cases) {
    const T4 in = pattern(k.n, k.c, k.ih, k.iw);
    run_train(k, in, false);
  }
  run_train(cases[3], pattern(2, 2, 10, 6, 5), true);
}

TEST(TrainPool, TiesInfinitiesAndThePadValue) {
  // Ties keep the first position; -inf everywhere keeps the pad value's
  // position in padded windows; the pad value itself does not displace the
  // padding before it.
  T4 in(1, 3, 3, 3);
  for (int i = 0; i < 9; i++) {
    in.v[i] = 2.0;                                        // all equal
    in.v[9 + i] = -std::numeric_limits<double>::infinity();
    in.v[18 + i] = double(-FLT_MAX);
  }
  in.v[4] = 5.0, in.v[8] = 5.0;  // the maximum twice
  run_train({"ties, -inf and the pad value", 1, 3, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1}, in, false);
}

TEST(TrainPool, Refusals) {
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_train_forward_parallel(kIn, kOut, kOut2, 1, 4096, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 1, 0, 0, 0, 0.25f, 1, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "nodechip_pooling_train_forward_parallel", "input_c < 4096",
     "c=4096 is too large.\n");
  // q = 2: the eight buffers would need 1 MB.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_train_index_forward_parallel(kIn, kOut, 1, 4, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 1, 0, 4, 0, 0.5f, 2, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "pool_train_run", "buffers_end <= (1 << 19)", "input_ratio=50/100");
  // A padded plane of 130 x 130 floats is larger than a 64 KB buffer.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_train_index_forward_parallel(kIn, kOut, 1, 1, 128, 128, 3, 3, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0.25f, 2, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "pool_train_run",
     "input_bytes <= input_room && output_bytes <= t.bank", "input 67712 of 65536, output 65536 of 65536 bytes");
  // Mode 3 holds at most 64 planes per slice.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_train_index_forward_parallel(kIn, kOut, 1, 65, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 1, 0, 65, 1, 0.25f, 3, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "pool_train_run",
     "c_step > 0 && h_step > 0 && (split_mode != 3 || c_step <= NPU_NUM)", "c_step=65 h_step=1");
  // Split mode 4, and no planes: nothing is issued.
  LayerRunner rig;
  ASSERT_TRUE(rig.call([](cmd_id_node_t *n) {
    nodechip_pooling_train_forward_parallel(kIn, kOut, kOut2, 1, 4, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 1, 0, 4, 0, 0.25f, 4, n);
    nodechip_pooling_train_forward_parallel(kIn, kOut, kOut2, 0, 4, 4, 4, 2, 2, 0, 0, 0, 0, 2, 2, 1, 0, 4, 0, 0.25f, 1, n);
  }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::pool
