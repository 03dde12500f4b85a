// The happens-before checker. Every actor of the chip that touches memory (the
// ARM core and each command of the four engines) carries a vector clock:
// - a command is ordered after what the ARM did before it wrote the start bit,
//   after the earlier commands of its own engine (each engine runs in issue
//   order) and, for the tensor engine and GDMA, after the other engine's command
//   whose id it waits for;
// - the ARM is ordered after a command once it has read a done register (or a
//   done bit) that shows the command finished.
// Per 4-byte granule of memory the checker keeps the last writer and the last
// reader of each actor; an access that is not ordered after a conflicting one is
// a race. Findings name both sides; each pair of actors is reported once.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "chip/types.h"

namespace zv::chip {

enum class Agent : u8 { Arm = 0, Bd = 1, Gdma = 2, Cdma = 3, Gde = 4 };
constexpr int kAgents = 5;
const char *agent_name(Agent a);

using Clock = std::array<u32, kAgents>;
Clock join(Clock a, const Clock &b);

class RaceChecker {
 public:
  void enable(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }

  // ---- The ARM core ----
  // The clock a command takes when the ARM starts it; the ARM's later accesses
  // are not ordered before that command.
  Clock arm_release();
  // The ARM learnt that the command with this clock finished.
  void arm_acquire(const Clock &c);
  const Clock &arm_clock() const { return arm_; }
  // An ARM access at a canonical address (see Bus).
  void arm_access(u64 addr, u64 len, bool write);

  // ---- Engine commands ----
  // Makes a command of `agent` the running one: ordered after `after`, with a
  // tick of its own. `describe` names it in findings (called only when enabled).
  Clock begin(Agent agent, const Clock &after, const std::function<std::string()> &describe);
  // An access of the running command (ignored when no command runs).
  void access(u64 addr, u64 len, bool write);
  void end();

  // A breach of the command-id protocol or another ordering finding.
  void flag(const std::string &text);
  std::vector<std::string> findings() const;
  bool clean() const { return flags_.empty() && races_.empty(); }

 private:
  enum class Conflict { ReadAfterWrite, WriteAfterWrite, WriteAfterRead };
  // All zero when fresh: shadow pages come zeroed from calloc.
  struct Granule {
    u32 write;
    u32 read[kAgents];
  };
  struct FreePage {
    void operator()(Granule *p) const;
  };
  using Page = std::unique_ptr<Granule[], FreePage>;
  struct Race {
    u32 first, second;
    Conflict conflict;
    u64 addr;
    u64 granules;
  };

  void check(u64 addr, u64 len, bool write, u32 epoch, const Clock &clock);
  Granule &granule(u64 index);
  void report(u32 first, u32 second, Conflict conflict, u64 addr);
  std::string describe(u32 epoch) const;

  bool enabled_ = false;
  Clock arm_{1, 0, 0, 0, 0};
  Clock counters_{};
  bool running_ = false;
  Agent running_agent_ = Agent::Arm;
  Clock running_clock_{};
  std::vector<std::string> descriptions_[kAgents];
  std::unordered_map<u64, Page> pages_;
  // Recently used shadow pages, direct-mapped by page index: engines touch
  // memory element by element, alternating between a few pages (source,
  // destination, scratch), so most lookups hit here and skip the hash map.
  struct CachedPage {
    u64 index = ~u64{0};
    Granule *granules = nullptr;
  };
  std::array<CachedPage, 64> page_cache_{};
  std::vector<std::string> flags_;
  std::vector<Race> races_;
  std::map<std::tuple<u32, u32, int>, size_t> race_index_;
};

}  // namespace zv::chip
