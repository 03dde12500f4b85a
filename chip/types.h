// Common vocabulary of the chip model.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zv::chip {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Bad guest behaviour (an unmapped address, an unmodelled register, an access
// outside a memory): reported with the address, never silently absorbed.
class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string hex(u64 value);
[[noreturn]] void fault(const std::string &what);

}  // namespace zv::chip
