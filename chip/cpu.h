// Whatever executes the firmware against a Chip: the host build's native core
// or the ARM instruction-set emulator running the delivered image.
#pragma once

#include <cstdint>
#include <string>

namespace zv::chip {

class Cpu {
 public:
  enum class End { Returned, Halted, Faulted, Hung };

  virtual ~Cpu() = default;
  // Lets the firmware run until it next waits on something outside the core.
  // Returns false once it can no longer run (see end()).
  virtual bool resume() = 0;
  virtual End end() const = 0;
  // Why the firmware stopped (fault, hang), or empty.
  virtual const std::string &fault_text() const = 0;
  // ARM instructions executed so far, where the executor counts them (0 if not).
  virtual uint64_t instructions() const { return 0; }
};

}  // namespace zv::chip
