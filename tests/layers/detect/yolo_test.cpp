// YOLO region activation against the plain reference under every schedule
// with the happens-before checker.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/detect/yolo.h"
#include "ref/detect_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = 0x100000000ull;
constexpr u64 kOut = 0x104000000ull;

TEST(Yolo, AgainstReference) {
  struct Case {
    const char *what;
    int n, C, h, w, num, classes, coords, background, softmax;
  };
  const Case cases[] = {
      {"softmax classes", 1, 125, 3, 4, 5, 20, 4, 0, 1},
      {"sigmoid classes", 1, 125, 3, 4, 5, 20, 4, 0, 0},
      {"background raw", 1, 50, 2, 3, 2, 20, 4, 1, 0},
      {"background in the softmax", 1, 50, 2, 3, 2, 20, 4, 1, 1},
      {"a raw sixth group", 1, 150, 2, 2, 5, 25, 4, 0, 1},
      {"three images with a raw group", 3, 30, 2, 5, 2, 5, 4, 0, 1},
      // 32 channels hold 3 groups of 10: image 1 starts 32 channels on.
      {"images with channels beyond the last group", 2, 32, 2, 3, 3, 5, 4, 0, 1},
  };
  for (const Case &c : cases) {
    const int S = c.h * c.w;
    std::vector<float> in(size_t(c.n * c.C * S));
    for (size_t i = 0; i < in.size(); i++) in[i] = float(int((i * 53) % 41) - 20) * 0.3f;
    const std::vector<float> want =
        ref::yolo_region(in, c.n, c.C, S, c.num, c.classes, c.coords, c.background != 0, c.softmax != 0);
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(c.what) + ", " + sched_text(s));
      LayerRunner rig(s);
      put(rig, kIn, in);
      // Channels beyond the last whole group are not written.
      put(rig, kOut, in);
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_yolo(kIn, kOut, c.n, c.C, c.h, c.w, c.num, c.classes, c.coords, c.background, c.softmax, node);
      }));
      const std::vector<float> got = get<float>(rig, kOut, want.size());
      size_t bad = 0;
      for (size_t i = 0; i < want.size(); i++)
        if (!(std::fabs(got[i] - want[i]) <= 2e-6f + 2e-6f * std::fabs(want[i])) && bad++ < 5)
          ADD_FAILURE() << "element " << i << ": " << got[i] << " want " << want[i];
      EXPECT_EQ(bad, 0u);
    }
  }
  expect_assert([](cmd_id_node_t *n) { nodechip_yolo(kIn, kOut, 1, 124, 2, 2, 5, 20, 4, 0, 1, n); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_yolo", "input_c >= num*(coords + classes + 1)");
}

}  // namespace
}  // namespace zv::test
