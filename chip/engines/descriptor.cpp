#include "chip/engines/descriptor.h"

namespace zv::chip {

u32 Descriptor::field(u32 pos, u32 width) const {
  if (width == 0 || width > 32 || (pos + width + 31) / 32 > words_.size())
    fault("descriptor field at bit " + std::to_string(pos) + " of width " + std::to_string(width) +
          " outside a descriptor of " + std::to_string(words_.size()) + " words");
  const u32 k = pos / 32, o = pos % 32;
  u64 v = words_[k] >> o;
  if (o + width > 32) v |= u64{words_[k + 1]} << (32 - o);
  return width == 32 ? static_cast<u32>(v) : static_cast<u32>(v & ((u64{1} << width) - 1));
}

std::string Descriptor::dump() const {
  std::string out;
  for (size_t i = 0; i < words_.size(); i++) {
    if (i) out += ' ';
    out += "w" + std::to_string(i) + "=" + hex(words_[i]);
  }
  return out;
}

}  // namespace zv::chip
