// The row blocks of the engine NMS by tables: first, last, cut and empty
// blocks, and that the blocks of a plan take every box once, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layers/detect/nms_blocks.h"
#include "layers/detect/rpn_proposal.h"

namespace {

nms_block_plan_t plan_of(int n) {
  rpn_nms_plan_t p;
  rpn_nms_plan_of(&p, n);
  return p;
}

TEST(NmsBlockStep, Table) {
  struct Case {
    const char *what;
    int n, block;
    nms_block_step_t want;  // b0 rows cols cs mat_bytes first last
  };
  // 3600 rois: blocks of 448 rows (seven lane rows), the last of 16.
  const Case cases[] = {
      {"one roi: one block, first and last", 1, 0, {0, 1, 1, 32, 4 * 32, 1, 1}},
      {"100 rois in one block of two lane rows", 100, 0, {0, 100, 100, 128, 4 * 128 * 2, 1, 1}},
      {"first of nine blocks", 3600, 0, {0, 448, 448, 448, 4 * 448 * 7, 1, 0}},
      {"a middle block against every roi before its end", 3600, 4, {1792, 448, 2240, 2240, 4 * 2240 * 7, 0, 0}},
      {"last block: the 16 left over", 3600, 8, {3584, 16, 3600, 3616, 4 * 3616, 0, 1}},
      {"past the last block: empty", 3600, 9, {}},
      {"negative block: empty", 3600, -1, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const nms_block_plan_t p = plan_of(c.n);
    const nms_block_step_t s = nms_block_step_of(&p, c.block), &w = c.want;
    EXPECT_EQ(std::vector<int>({s.b0, s.rows, s.cols, int(s.cs), int(s.mat_bytes), s.first, s.last}),
              std::vector<int>({w.b0, w.rows, w.cols, int(w.cs), int(w.mat_bytes), w.first, w.last}));
  }
}

TEST(NmsBlockStep, BlocksTakeEveryBoxOnceInOrder) {
  for (int n : {1, 63, 64, 65, 300, 449, 3600, 6000}) {
    SCOPED_TRACE(std::to_string(n) + " boxes");
    const nms_block_plan_t p = plan_of(n);
    int next = 0;
    for (int b = 0; b < p.blocks; b++) {
      const nms_block_step_t s = nms_block_step_of(&p, b);
      ASSERT_EQ(s.b0, next);
      ASSERT_GT(s.rows, 0);
      EXPECT_EQ(s.cols, s.b0 + s.rows);
      // Four matrices of the block fit their area.
      EXPECT_LE(4u * s.mat_bytes, p.areas[NMS_BLOCK_AREA_MATRIX].bytes);
      next += s.rows;
    }
    EXPECT_EQ(next, n);
    EXPECT_EQ(nms_block_step_of(&p, p.blocks).rows, 0);
  }
}

}  // namespace
