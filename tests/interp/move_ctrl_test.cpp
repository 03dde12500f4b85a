// The arithmetic of the tensor-move controllers, by tables: the rows of a
// slice, batch packing by data size and the extend move's channel fold. The
// moves themselves run end to end in the API suite.
#include <gtest/gtest.h>

#include "fw_test.h"
#include "interp/move_ctrl.h"

namespace zv::test {
namespace {

TEST(InterpMoves, RowWindowOfASlice) {
  struct Case {
    const char *what;
    bool h_split;
    u32 R, a, b, T;
    i32 H;
    u32 h_index;
    dynamic_row_window_t want;
  };
  const Case cases[] = {
      {"whole height", false, 0, 0, 0, 0, 16, 3, {0, 0, 16, 16}},
      {"first slice keeps the top padding", true, 6, 1, 3, 1, 16, 0, {1, 0, 5, 6}},
      {"inner slice", true, 6, 1, 3, 1, 16, 1, {0, 3, 6, 6}},
      {"last slice cut at the bottom", true, 6, 1, 3, 1, 16, 3, {0, 11, 5, 6}},
      {"window taller than the tensor", true, 40, 1, 3, 1, 16, 0, {1, 0, 16, 40}},
      {"slice wholly below the tensor", true, 6, 1, 3, 1, 16, 9, {0, 35, 0, 6}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const dynamic_group_slice_t s = {u16(c.R), 1, u16(c.b), u16(c.a), 0, u16(c.T), 0};
    dynamic_row_window_t w;
    dynamic_row_window_of(&w, c.h_split, &s, c.H, c.h_index);
    EXPECT_EQ(w.pad_top, c.want.pad_top);
    EXPECT_EQ(w.h_start, c.want.h_start);
    EXPECT_EQ(w.rows, c.want.rows);
    EXPECT_EQ(w.window_rows, c.want.window_rows);
  }
}

TEST(InterpMoves, BatchPackingByDataSize) {
  struct Case {
    u32 data_size, n_start, nb, first, count;
  };
  const Case cases[] = {
      {DSIZE_FP32, 8, 5, 8, 5}, {DSIZE_INT32, 3, 1, 3, 1}, {DSIZE_16, 8, 5, 4, 3},
      {DSIZE_8, 8, 5, 2, 2},    {DSIZE_8, 0, 0, 0, 0},     {DSIZE_8, 4, 1, 1, 1},
  };
  for (const Case &c : cases) {
    dynamic_batch_pack_t p;
    dynamic_batch_pack_of(&p, c.data_size, c.n_start, c.nb);
    EXPECT_EQ(p.first, c.first) << c.data_size << " " << c.n_start << "+" << c.nb;
    EXPECT_EQ(p.count, c.count) << c.data_size << " " << c.n_start << "+" << c.nb;
  }
}

TEST(InterpMoves, ExtendMoveFoldsChannelsAndStopsForOne) {
  struct Case {
    const char *what;
    u32 C, H, W, k, mode;
  };
  const Case cases[] = {
      {"C 6 folds 2 into the width", 6, 4, 8, 2, 1},
      {"wide rows fold into the height", 6, 4, 40000, 2, 2},
      {"neither fits: unchanged", 6, 40000, 40000, 1, 0},
      {"C 1 has no divisor from 2: unchanged", 1, 3, 3, 1, 0},
      {"a prime count folds into itself", 7, 1, 1, 7, 1},
      {"C above the limit takes the smallest divisor that brings it under", 131070, 1, 1, 3, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    u32 k, mode;
    dynamic_extend_fold_of(c.C, c.H, c.W, &k, &mode);
    EXPECT_EQ(k, c.k);
    EXPECT_EQ(mode, c.mode);
  }
}

}  // namespace
}  // namespace zv::test
