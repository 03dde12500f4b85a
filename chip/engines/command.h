// What the engines share about commands: the record each engine keeps of every
// command it took, and the table from command kind to execute function.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chip/engines/descriptor.h"

namespace zv::chip {

class Bus;

// One command as its engine took it.
struct CommandRecord {
  u64 seq = 0;  // issue order across all engines, from 1
  u32 kind = 0;
  std::string kind_name;
  u32 own_id = 0;   // tensor engine and GDMA only
  u32 wait_id = 0;  // the other engine's id it waits for
  Descriptor descriptor;
  bool finished = false;
  // Modelled time (picoseconds): when the ARM started it, and when it ran.
  u64 issued_at = 0, start_at = 0, finish_at = 0;
};

// Command kinds of one engine: each kind's meaning is one execute function,
// which reaches memory only through the bus.
template <class Command>
class KindTable {
 public:
  using Execute = std::function<void(const Command &, Bus &)>;
  struct Kind {
    std::string name;
    Execute execute;
  };

  void add(u32 code, std::string name, Execute execute) {
    kinds_[code] = Kind{std::move(name), std::move(execute)};
  }
  const Kind *find(u32 code) const {
    auto it = kinds_.find(code);
    return it == kinds_.end() ? nullptr : &it->second;
  }
  // "3 tensor arithmetic, 6 table lookup" (or "none").
  std::string known() const {
    std::string out;
    for (const auto &[code, kind] : kinds_) out += (out.empty() ? "" : ", ") + std::to_string(code) + " " + kind.name;
    return out.empty() ? "none" : out;
  }

 private:
  std::map<u32, Kind> kinds_;
};

}  // namespace zv::chip
