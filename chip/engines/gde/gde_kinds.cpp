// GDE's command kinds, by item type: the gather of 1-, 4- and 16-byte items.
//
//   word 0 bits 2+  mode (not interpreted: the item type says everything)
//   word 3, 4       input address, high word
//   word 5, 6       output address, high word
//   word 7, 8       index array address, high word
//   bits 288-315    item count
//   bits 316-319    item type: 0 byte, 2 word, 4 16 bytes
// Output item i is input item index[i] (32-bit entries). The engine works
// inside L2 SRAM only: an address high word other than 0, an output or index
// array reaching past L2 SRAM, a misaligned 16-byte item, and an index whose
// item lies outside L2 SRAM are each reported (the index with its position).
// All items are read before the output is written.
#include <vector>

#include "chip/engines/bus.h"
#include "chip/engines/gde/gde.h"

namespace zv::chip {

namespace {

constexpr u64 kL2Base = 0x10000000, kL2Size = 0x400000;

struct GatherCommand {
  explicit GatherCommand(const GdeCommand &cmd)
      : in(cmd.get(gde::field::kInAddr)),
        out(cmd.get(gde::field::kOutAddr)),
        index(cmd.get(gde::field::kIndexAddr)),
        len(cmd.get(gde::field::kCount)),
        type(cmd.item_type()) {}
  u64 in, out, index;
  u32 len, type;
};

bool in_l2(u64 addr, u64 len) { return addr >= kL2Base && len <= kL2Size && addr - kL2Base <= kL2Size - len; }

void execute_gather(const GdeCommand &cmd, Bus &bus, u32 item) {
  const GatherCommand g(cmd);
  auto refuse = [&](const std::string &why) { fault("GDE gather: " + why + "; window " + cmd.dump()); };
  if (cmd.get(gde::field::kInAddrHigh) != 0 || cmd.get(gde::field::kOutAddrHigh) != 0 ||
      cmd.get(gde::field::kIndexAddrHigh) != 0)
    refuse("an address high word is not 0");
  if (!in_l2(g.index, u64{g.len} * 4))
    refuse("index array of " + std::to_string(g.len) + " entries at " + hex(g.index) + " is not inside L2 SRAM");
  if (!in_l2(g.out, u64{g.len} * item))
    refuse("output of " + std::to_string(g.len) + " items at " + hex(g.out) + " is not inside L2 SRAM");
  if (!in_l2(g.in, item)) refuse("input " + hex(g.in) + " is not inside L2 SRAM");
  if (item == 16 && ((g.in | g.out) & 0xf) != 0) refuse("16-byte items need 16-byte aligned input and output");

  std::vector<u32> index(g.len);
  bus.load(g.index, index.data(), u64{g.len} * 4);
  std::vector<u8> out(u64{g.len} * item);
  for (u32 i = 0; i < g.len; i++) {
    const u64 at = g.in + u64{index[i]} * item;
    if (!in_l2(at, item))
      refuse("index[" + std::to_string(i) + "] = " + std::to_string(index[i]) + " names the item at " + hex(at) +
             ", outside L2 SRAM");
    bus.load(at, &out[u64{i} * item], item);
  }
  bus.store(g.out, out.data(), out.size());
}

}  // namespace

void add_gde_kinds(KindTable<GdeCommand> &kinds) {
  kinds.add(0, "gather bytes", [](const GdeCommand &cmd, Bus &bus) { execute_gather(cmd, bus, 1); });
  kinds.add(2, "gather words", [](const GdeCommand &cmd, Bus &bus) { execute_gather(cmd, bus, 4); });
  kinds.add(4, "gather 16 bytes", [](const GdeCommand &cmd, Bus &bus) { execute_gather(cmd, bus, 16); });
}

}  // namespace zv::chip
