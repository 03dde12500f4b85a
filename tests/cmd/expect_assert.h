// Checks that firmware code stops on a named assertion.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fw_test.h"

namespace zv::test {

// Runs `fn` as firmware code and expects it to fail the assertion `condition`
// in `function`, explained by `info` ("none." when the check has no text).
inline void expect_firmware_assert(const std::function<void()> &fn, const std::string &function,
                                   const std::string &condition, const std::string &info) {
  FwOutcome out = run_firmware(fn);
  EXPECT_TRUE(out.asserted) << out.uart << out.fault;
  const size_t first_end = out.uart.find('\n');
  ASSERT_NE(first_end, std::string::npos) << out.uart;
  const std::string first = out.uart.substr(0, first_end);
  const size_t second_end = out.uart.find('\n', first_end + 1);
  const std::string second = out.uart.substr(first_end + 1, second_end - first_end - 1);
  // "ASSERT <file>: <function>: <line>: <condition>"
  EXPECT_EQ(first.rfind("ASSERT firmware/cmd/", 0), 0u) << first;
  EXPECT_NE(first.find(": " + function + ": "), std::string::npos) << first;
  const std::string tail = ": " + condition;
  EXPECT_TRUE(first.size() >= tail.size() &&
              first.compare(first.size() - tail.size(), tail.size(), tail) == 0)
      << first;
  EXPECT_EQ(second, "ASSERT info: " + info);
}

}  // namespace zv::test
