// The area check every layer plan's test runs on its local-memory areas.
#include <gtest/gtest.h>

#include <vector>

#include "cmd/local_areas.h"
#include "runtime/regs.h"

namespace {

TEST(LocalAreas, FitInALaneAndStayApart) {
  struct Case {
    const char *what;
    std::vector<local_area_t> areas;
    bool valid;
  };
  const Case cases[] = {
      {"none", {}, true},
      {"back to back", {{"a", 0, 0x100}, {"b", 0x100, 0x100}}, true},
      {"one byte shared", {{"a", 0, 0x101}, {"b", 0x100, 0x100}}, false},
      {"one inside another", {{"a", 0x1000, 0x10}, {"b", 0, 0x8000}}, false},
      {"the last of three overlaps the first", {{"a", 0, 0x40}, {"b", 0x80, 0x40}, {"c", 0x3f, 0x2}}, false},
      {"ends at the lane's last byte", {{"a", LOCAL_MEM_SIZE - 4, 4}}, true},
      {"runs past the lane", {{"a", LOCAL_MEM_SIZE - 4, 5}}, false},
      {"offset and size that wrap 32 bits", {{"a", 0xfffffff0u, 0x20}}, false},
      {"an empty area overlaps nothing", {{"a", 0, 0x100}, {"b", 0x80, 0}}, true},
  };
  for (const Case &k : cases)
    EXPECT_EQ(local_areas_valid(k.areas.data(), int(k.areas.size())) != 0, k.valid) << k.what;
}

}  // namespace
