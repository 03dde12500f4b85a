// A flat byte memory of the chip: bounds-checked loads, stores and pointers.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "chip/types.h"

namespace zv::chip {

class Memory {
 public:
  // `base` is the memory's first address in the address space it is named by.
  Memory(std::string name, u64 base, u64 size);
  ~Memory();
  Memory(const Memory &) = delete;
  Memory &operator=(const Memory &) = delete;

  const std::string &name() const { return name_; }
  u64 base() const { return base_; }
  u64 size() const { return size_; }
  bool contains(u64 addr, u64 len = 1) const {
    return addr >= base_ && len <= size_ && addr - base_ <= size_ - len;
  }

  // Pointer to `len` bytes at `addr`; a range outside the memory is a fault.
  u8 *ptr(u64 addr, u64 len) {
    if (!contains(addr, len)) outside(addr, len);
    return data_ + (addr - base_);
  }
  // An empty access is still bounds-checked; it copies nothing (its buffer may be null).
  void load(u64 addr, void *out, u64 len) {
    const u8 *p = ptr(addr, len);
    if (len) std::memcpy(out, p, len);
  }
  void store(u64 addr, const void *in, u64 len) {
    u8 *p = ptr(addr, len);
    if (len) std::memcpy(p, in, len);
  }
  u32 load32(u64 addr);
  void store32(u64 addr, u32 value);
  void fill(u8 value);

 private:
  [[noreturn]] void outside(u64 addr, u64 len) const;

  std::string name_;
  u64 base_;
  u64 size_;
  u8 *data_;  // anonymous mapping: pages stay unbacked until touched
};

}  // namespace zv::chip
