// The shared layout arithmetic: ceiling division and rounding up agree with
// plain 64-bit arithmetic on both sides of the 32-bit range.
#include <gtest/gtest.h>

#include <cstdint>

#include "cmd/local_mem.h"

namespace {

TEST(LocalMem, CeilingDivisionMatches64BitArithmetic) {
  const int64_t i32max = INT32_MAX, u32max = UINT32_MAX;
  const struct {
    int64_t a, b;
  } cases[] = {{0, 1},          {1, 1},          {63, 64},           {64, 64},           {65, 64},
               {1000, 7},       {i32max, 1},     {i32max - 6, 7},    {i32max - 5, 7},    {i32max, i32max},
               {i32max + 1, 2}, {1ll << 40, 3},  {(1ll << 40) + 1, 1ll << 33}, {u32max, 1},  {u32max, 2},
               {-5, 4},         {-64, 64},       {5, i32max + 1},    {7, 1ll << 40}};
  for (const auto &c : cases) {
    const int64_t want = (c.a + c.b - 1) / c.b;
    EXPECT_EQ(ceil_div(c.a, c.b), want) << c.a << " / " << c.b;
    EXPECT_EQ(align_up(c.a, c.b), want * c.b) << c.a << " up to " << c.b;
    if (c.a >= 0) {
      const uint64_t ua = uint64_t(c.a), ub = uint64_t(c.b);
      EXPECT_EQ(ceil_div_u64(ua, ub), (ua + ub - 1) / ub) << c.a << " / " << c.b;
    }
  }
}

}  // namespace
