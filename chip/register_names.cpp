// Names of the ARM-visible registers, for traces.
#include <map>

#include "chip/chip.h"

namespace zv::chip {

namespace {
// Registers with a name of their own.
const std::map<u32, const char *> &named() {
  static const std::map<u32, const char *> names = {
      {0x50010040, "CDMA semaphore"},
      {0x50010044, "API semaphore"},
      {0x50010080, "API write pointer"},
      {0x50010084, "API read pointer"},
      {0x500100a4, "firmware ready marker"},
      {0x500100b0, "log offset"},
      {0x500100b8, "host interrupt status"},
      {0x50010180, "timer control"},
      {0x50010190, "host interrupt set"},
      {0x50010194, "host interrupt clear"},
      {0x50010c00, "soft reset"},
      {0x50010478, "I2C2 pin multiplexing A"},
      {0x5001047c, "I2C2 pin multiplexing B"},
      {BdEngine::kRestart, "tensor engine id restart"},
      {GdmaEngine::kControl, "GDMA control"},
      {CdmaEngine::kStatus, "CDMA status"},
      {GdeEngine::kStatus, "GDE status"},
  };
  return names;
}

// Word windows: engine descriptors and the lane map.
struct Window {
  u32 base, words;
  const char *name;
};
constexpr Window kWindows[] = {
    {BdEngine::kWindow, BdEngine::kWords, "tensor engine word"},
    {BdEngine::kLaneMap, BdEngine::kLaneMapWords, "tensor engine lane map word"},
    {GdmaEngine::kWindow, GdmaEngine::kWords, "GDMA word"},
    {CdmaEngine::kWindow, CdmaEngine::kWords, "CDMA word"},
    {GdeEngine::kBase, GdeEngine::kWords, "GDE word"},
};
}  // namespace

std::string Chip::register_name(u32 addr) {
  auto it = named().find(addr);
  if (it != named().end()) return it->second;
  for (const Window &w : kWindows)
    if (addr >= w.base && addr < w.base + 4 * w.words)
      return std::string(w.name) + " " + std::to_string((addr - w.base) / 4);
  return std::string(device_at(addr)->name()) + " " + hex(addr);
}

}  // namespace zv::chip
