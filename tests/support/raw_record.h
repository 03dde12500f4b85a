// An API record written word by word at the byte offsets of its layout table,
// independent of the firmware's struct, so a field the struct holds at
// another offset shows as a wrong answer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace zv::test {

struct RawRecord {
  std::vector<uint32_t> words;
  explicit RawRecord(size_t bytes) : words((bytes + 3) / 4, 0u) {}
  RawRecord &i32(size_t offset, int32_t v) {
    words.at(offset / 4) = uint32_t(v);
    return *this;
  }
  RawRecord &u64(size_t offset, uint64_t v) {
    words.at(offset / 4) = uint32_t(v);
    words.at(offset / 4 + 1) = uint32_t(v >> 32);
    return *this;
  }
  RawRecord &f32(size_t offset, float v) {
    uint32_t w;
    std::memcpy(&w, &v, 4);
    words.at(offset / 4) = w;
    return *this;
  }
};

}  // namespace zv::test
