// Checks shared by the memory suites: firmware code that ran cleanly, and
// firmware code that stopped on a named assertion.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fw_test.h"

namespace zv::test {

inline ::testing::AssertionResult ran_clean(const FwOutcome &o) {
  if (!o.asserted && o.end == host::Core::End::Returned) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (o.asserted ? "asserted: " : "stopped: ") << o.uart << o.fault;
}

// The console shows "<kind> <file>: <function>: <line>: <condition>", then
// "ASSERT info: <info>", and the code jumped back.
inline void expect_assert(const FwOutcome &out, const std::string &kind, const std::string &function,
                          const std::string &condition, const std::string &info) {
  EXPECT_TRUE(out.asserted) << out.uart << out.fault;
  const size_t first_end = out.uart.find('\n');
  ASSERT_NE(first_end, std::string::npos) << out.uart;
  const std::string first = out.uart.substr(0, first_end);
  const size_t second_end = out.uart.find('\n', first_end + 1);
  const std::string second = out.uart.substr(first_end + 1, second_end - first_end - 1);
  EXPECT_EQ(first.rfind(kind + " firmware/", 0), 0u) << first;
  EXPECT_NE(first.find(": " + function + ": "), std::string::npos) << first;
  const std::string tail = ": " + condition;
  EXPECT_TRUE(first.size() >= tail.size() && first.compare(first.size() - tail.size(), tail.size(), tail) == 0)
      << first;
  EXPECT_EQ(second, "ASSERT info: " + info);
}

}  // namespace zv::test
