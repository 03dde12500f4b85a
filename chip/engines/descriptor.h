// A command descriptor as an engine took it when its start bit was written: a
// snapshot of the command window. Descriptor bit p is bit (p mod 32) of word
// (p div 32); a field may straddle two consecutive words. Windows keep stale
// words between commands, so decoders read only the fields the command's mode
// bits give meaning to.
#pragma once

#include <string>
#include <vector>

#include "chip/types.h"

namespace zv::chip {

// A named descriptor field: its lowest bit and its width (1 to 32). Each
// engine declares its fields once, in a table beside its command type.
struct Field {
  u32 pos, width;
};

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(std::vector<u32> words) : words_(std::move(words)) {}

  size_t size() const { return words_.size(); }
  u32 word(size_t i) const { return words_.at(i); }
  const std::vector<u32> &words() const { return words_; }
  // The field of `width` bits (1 to 32) whose lowest bit is `pos`.
  u32 field(u32 pos, u32 width) const;
  u32 get(Field f) const { return field(f.pos, f.width); }
  // "w0=0x... w1=0x..." for reports.
  std::string dump() const;

 private:
  std::vector<u32> words_;
};

}  // namespace zv::chip
