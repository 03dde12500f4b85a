// zvcard drives the memory APIs: its built-in demo fills and copies memory on
// the card, and a script sends a tensor-list copy, under the deferred schedule
// with the happens-before checker on.
#include <gtest/gtest.h>

#include <string>

#include "zvcard_run.h"

namespace zv::test {
namespace {

TEST(ZvcardMemory, DemoFillsAndCopiesMemory) {
  for (const char *seed : {"1", "2", "3"}) {
    SCOPED_TRACE(seed);
    ZvcardRun r = run_zvcard(std::string("--schedule deferred --check-races --seed ") + seed, nullptr);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "result 1 0 ")) << r.out;
    EXPECT_TRUE(has(r.out, "bytes 0x101000000 aa bb aa bb aa bb aa bb aa bb 00 00\n")) << r.out;
    EXPECT_TRUE(has(r.out, "words 0x101000200 0xcafef00d 0xcafef00d 0x11111111 0x22222222\n")) << r.out;
    EXPECT_TRUE(has(r.out, "bytes 0x101000300 5e 00 5e 00 5e 00 00 00 5e 00 5e 00 5e 00 00 00\n")) << r.out;
    EXPECT_TRUE(has(r.out, "uart: ASSERT firmware/runtime/api/memory_api.cpp: zv_api_memcpy: ")) << r.out;
    EXPECT_TRUE(has(r.out, ": size == sizeof(zv_api_memcpy_t)\n")) << r.out;
    EXPECT_TRUE(has(r.out, "result 2 1009 ")) << r.out;
  }
}

TEST(ZvcardMemory, ScriptCopiesATensorList) {
  // One row: 2 x 3 words from 0x1_0100_0000 (rows 4 apart) to 0x1_0100_0100
  // (rows 3 apart, dense), 4-byte elements; the table at 0x1_0100_1000.
  ZvcardRun r = run_zvcard("--schedule deferred --check-races --seed 7",
                       "write32 0x101000000 1 2 3 0 4 5 6 0\n"
                       "write32 0x101001000 0x1000000 0x1 0x1000100 0x1 1 1 2 3 4 4 4 1 3 3 3 1 4\n"
                       "send 183 1 0x1001000 0x1\n"
                       "read32 0x101000100 6\n"
                       "quit\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "result 183 0 ")) << r.out;
  EXPECT_TRUE(has(r.out, "words 0x101000100 0x00000001 0x00000002 0x00000003 0x00000004 0x00000005 0x00000006\n"))
      << r.out;
}

}  // namespace
}  // namespace zv::test
