// The loadable parts and symbols of a 32-bit ARM ELF image.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zv::emu {

struct ElfSegment {
  uint32_t load_address;  // where the bytes are placed (the segment's physical address)
  std::vector<uint8_t> bytes;
};

struct ElfImage {
  uint32_t entry = 0;
  std::vector<ElfSegment> segments;
  std::map<std::string, uint32_t> symbols;

  // Reads `path`; throws std::runtime_error naming the file and what is wrong.
  static ElfImage load(const std::string &path);
  uint32_t symbol(const std::string &name) const;
};

}  // namespace zv::emu
