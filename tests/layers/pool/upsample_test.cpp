// Nearest upsample against the plain reference on every schedule with the
// race checker, with slices of planes and rows, and its refusals.
#include "layers/pool/upsample.h"

#include <gtest/gtest.h>

#include "pool_rig.h"

namespace zv::test::pool {
namespace {

TEST(Upsample, AgainstReference) {
  struct Case {
    const char *what;
    int n, c, ih, iw, size, c_step, h_step;
    bool relu;
  } cases[] = {
      {"size 1: a copy", 2, 3, 4, 5, 1, 6, 4, false},
      {"size 2 on a 2 x 2 plane", 1, 1, 2, 2, 2, 1, 2, false},
      {"size 3, 70 planes in blocks of 64, rows in steps of 2", 1, 70, 5, 4, 3, 64, 2, false},
      {"size 15, batch 3, one row per slice", 3, 2, 3, 7, 15, 4, 1, false},
      {"size 2 with ReLU", 2, 2, 3, 3, 2, 4, 3, true},
  };
  for (const Case &k : cases) {
    const T4 in = pattern(k.n, k.c, k.ih, k.iw, k.size);
    T4 want = ref::pool::upsample(in, k.size);
    if (k.relu)
      for (double &v : want.v) v = v < 0 ? 0 : v;
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put_floats(rig, kIn, in.v);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_upsample_forward_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, k.size, k.c_step, k.h_step, 0.5f, k.relu,
                                           node);
      }));
      EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 0));
    }
  }
}

TEST(Upsample, Refusals) {
  const char *fn = "nodechip_upsample_forward_parallel";
  expect_assert([](cmd_id_node_t *n) { nodechip_upsample_forward_parallel(kIn, kOut, 1, 1, 2, 2, 16, 1, 2, 0.5f, 0, n); },
                "ASSERT_FS", "firmware/layers/pool/", fn, "size < 16 && size > 0");
  // A 60 x 60 plane upsampled by 5: 351 KB per lane row of output.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_upsample_forward_parallel(kIn, kOut, 1, 64, 60, 60, 5, 64, 60, 0.5f, 0, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "offset_local_end <= (1<<19)");
  // An unset plan would never advance.
  expect_assert([](cmd_id_node_t *n) { nodechip_upsample_forward_parallel(kIn, kOut, 1, 1, 2, 2, 2, 0, 0, 0.5f, 0, n); },
                "ASSERT_FS", "firmware/layers/pool/", fn, "c_step > 0 && h_step > 0", "c_step=0 h_step=0");
  LayerRunner rig;
  ASSERT_TRUE(rig.call(
      [](cmd_id_node_t *n) { nodechip_upsample_forward_parallel(kIn, kOut, 0, 3, 2, 2, 2, 3, 2, 0.5f, 0, n); }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::pool
