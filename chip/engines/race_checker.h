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
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "chip/types.h"

namespace zv::chip {

// `count` elements of `size` bytes, element i at addr + i * step.
struct ElementSpan {
  u64 addr;
  std::int64_t step;
  u64 size;
  u64 at(u64 i) const { return addr + static_cast<u64>(step * static_cast<std::int64_t>(i)); }
};

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
  void access(u64 addr, u64 len, bool write) {
    if (enabled_ && running_ && len != 0) check_running(addr, len, write);
  }
  // `count` accesses of `size` bytes at addr + i * step, i = 0, 1, ..., in
  // that order: the same findings as that many calls of access().
  void access_span(u64 addr, std::int64_t step, u64 size, u64 count, bool write) {
    if (enabled_ && running_ && size != 0 && count != 0) check_span(addr, step, size, count, write);
  }
  // Reads of `k` spans of `count` elements each, element-interleaved (element 0
  // of every span in turn, then element 1, ...), as single reads in that order.
  void read_spans(const ElementSpan *spans, int k, u64 count) {
    if (enabled_ && running_ && count != 0) check_read_spans(spans, k, count);
  }
  void end();

  // A breach of the command-id protocol or another ordering finding.
  void flag(const std::string &text);
  std::vector<std::string> findings() const;
  bool clean() const { return flags_.empty() && races_.empty(); }

 private:
  enum class Conflict { ReadAfterWrite, WriteAfterWrite, WriteAfterRead };
  // The shadow of 256 granules, one array per field: a read touches the
  // writers and its own agent's readers only, and a write the readers of the
  // agents that read somewhere in the page.
  static constexpr u64 kPageGranules = 256;
  struct Page {
    u32 write[kPageGranules];
    u32 read[kAgents][kPageGranules];
  };
  // A page with its summary, kept apart from the page's arrays so that the
  // summaries of neighbouring pages share cache lines.
  struct Shadow {
    // The latest tick of each agent stored anywhere in the page: a page whose
    // ticks a command's clock covers holds nothing that command can race with.
    u32 seen[kAgents] = {};
    bool has_read[kAgents] = {};
    std::unique_ptr<Page> page;
  };
  struct Race {
    u32 first, second;
    Conflict conflict;
    u64 addr;
    u64 granules;
  };

  void check_running(u64 addr, u64 len, bool write);
  void check_span(u64 addr, std::int64_t step, u64 size, u64 count, bool write);
  void check_read_spans(const ElementSpan *spans, int k, u64 count);
  void check(u64 addr, u64 len, bool write, u32 epoch, const Clock &clock);
  void check_granule(Shadow &shadow, u64 slot, u64 at, bool write, u32 e, int self, const Clock &clock);
  struct SpanCursor;
  void enter(SpanCursor &cur, u64 granule, const Clock &clock);
  void record_covered(Shadow &shadow, u64 slot, u64 n, bool write, u32 e, int self);
  void check_at(SpanCursor &cur, u64 addr, u64 len, bool write, u32 e, int self, const Clock &clock);
  static u64 elements_in_page(u64 addr, std::int64_t step, u64 size, u64 page_index);
  void record_covered_run(SpanCursor &cur, u64 addr, std::int64_t step, u64 size, u64 n, bool write, u32 e, int self);
  u64 check_element(SpanCursor &cur, u64 addr, std::int64_t step, u64 size, u64 left, bool write, u32 e, int self,
                    const Clock &clock);
  Shadow &page_of(u64 granule);
  void report(u32 first, u32 second, Conflict conflict, u64 addr);
  std::string describe(u32 epoch) const;

  bool enabled_ = false;
  Clock arm_{1, 0, 0, 0, 0};
  Clock counters_{};
  bool running_ = false;
  Agent running_agent_ = Agent::Arm;
  Clock running_clock_{};
  std::vector<std::string> descriptions_[kAgents];
  std::unordered_map<u64, std::unique_ptr<Shadow>> pages_;
  // Local memory's pages, indexed directly (the engines' busiest memory), the
  // same page of every lane side by side: rows of successive channels lie in
  // successive lanes.
  std::vector<Shadow> local_pages_;
  // Recently used shadow pages, direct-mapped by page index: engines touch
  // memory element by element, alternating between a few pages (source,
  // destination, scratch), so most lookups hit here and skip the hash map.
  struct CachedPage {
    u64 index = ~u64{0};
    Shadow *shadow = nullptr;
  };
  std::array<CachedPage, 4096> page_cache_{};
  std::vector<std::string> flags_;
  std::vector<Race> races_;
  std::map<std::tuple<u32, u32, int>, size_t> race_index_;
};

}  // namespace zv::chip
