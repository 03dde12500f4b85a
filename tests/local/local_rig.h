// Helpers shared by the local-kernel suites: tagged lane addresses, shape
// records and the check that a kernel stops on one of its own assertions.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "cmd/tensor_shape.h"
#include "bd_rig.h"

namespace zv::test::local {

inline u32 untag(u32 addr) { return addr & ~kTag; }

// Runs `fn` as firmware code and expects the ASSERT_FS check `condition` in
// `function` of the local kernels, with `info`, before any command is issued
// (`kind` "ASSERT" for the plain form).
inline void expect_local_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &function,
                                const std::string &condition, const std::string &info = "none.",
                                const std::string &kind = "ASSERT_FS") {
  expect_assert(fn, kind, "firmware/local/", function, condition, info);
}

}  // namespace zv::test::local
