// Helpers shared by the local-kernel suites: tagged lane addresses, shape
// records and the check that a kernel stops on one of its own assertions.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cmd/tensor_shape.h"
#include "bd/bd_rig.h"

namespace zv::test::local {

constexpr u32 kTag = 0x08000000;
inline u32 lane(u32 l, u32 offset) { return kTag | l << 19 | offset; }
inline u32 untag(u32 addr) { return addr & ~kTag; }
inline dim4_t d4(const er::Dim &d) { return dim4_t{i32(d.n), i32(d.c), i32(d.h), i32(d.w)}; }

// Runs `fn` as firmware code and expects the ASSERT_FS check `condition` in
// `function` of the local kernels, with `info`, before any command is issued
// (`kind` "ASSERT" for the plain form).
inline void expect_local_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &function,
                                const std::string &condition, const std::string &info = "none.",
                                const std::string &kind = "ASSERT_FS") {
  FirmwareRig rig;
  const FwOutcome out = rig.run([&] {
    cmd_id_node_t node = {0, 0, 0};
    fn(&node);
  });
  EXPECT_TRUE(out.asserted) << out.uart << out.fault;
  const size_t first_end = out.uart.find('\n');
  ASSERT_NE(first_end, std::string::npos) << out.uart;
  const std::string first = out.uart.substr(0, first_end);
  const size_t second_end = out.uart.find('\n', first_end + 1);
  EXPECT_EQ(out.uart.substr(first_end + 1, second_end - first_end - 1), "ASSERT info: " + info);
  EXPECT_EQ(first.rfind(kind + " firmware/local/", 0), 0u) << first;
  EXPECT_NE(first.find(": " + function + ": "), std::string::npos) << first;
  const std::string tail = ": " + condition;
  EXPECT_TRUE(first.size() >= tail.size() && first.compare(first.size() - tail.size(), tail.size(), tail) == 0)
      << first;
  EXPECT_TRUE(rig.chip().engines.bd.commands().empty());
}

}  // namespace zv::test::local
