#include "chip/memory.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>

namespace zv::chip {

std::string hex(u64 value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

void fault(const std::string &what) { throw Fault(what); }

Memory::Memory(std::string name, u64 base, u64 size) : name_(std::move(name)), base_(base), size_(size) {
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) throw std::runtime_error("cannot map " + name_ + " of " + hex(size) + " bytes");
  data_ = static_cast<u8 *>(p);
}

Memory::~Memory() { munmap(data_, size_); }

void Memory::outside(u64 addr, u64 len) const {
  fault(name_ + ": access of " + std::to_string(len) + " bytes at " + hex(addr) +
        " outside [" + hex(base_) + ", " + hex(base_ + size_) + ")");
}

u32 Memory::load32(u64 addr) {
  u32 v;
  load(addr, &v, 4);
  return v;
}

void Memory::store32(u64 addr, u32 value) { store(addr, &value, 4); }

void Memory::fill(u8 value) { std::memset(data_, value, size_); }

}  // namespace zv::chip
