#include "chip/engines/race_checker.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace zv::chip {

namespace {
// An epoch names one actor's step: the agent in the top 3 bits, its tick below.
constexpr u32 kTickBits = 29;
constexpr u32 kTickMask = (1u << kTickBits) - 1;
constexpr u64 kGranuleShift = 2;  // 4-byte granules
// 16384 granules per shadow page: large enough that calloc maps fresh zero
// pages from the system rather than clearing them itself.
constexpr u64 kPageShift = 14;
constexpr size_t kMaxRaces = 200;

u32 epoch(Agent a, u32 tick) { return static_cast<u32>(a) << kTickBits | tick; }
Agent epoch_agent(u32 e) { return static_cast<Agent>(e >> kTickBits); }
u32 epoch_tick(u32 e) { return e & kTickMask; }
// An epoch happens before everything whose clock covers its tick.
bool ordered(u32 e, const Clock &c) { return e == 0 || epoch_tick(e) <= c[static_cast<int>(epoch_agent(e))]; }
}  // namespace

const char *agent_name(Agent a) {
  switch (a) {
    case Agent::Arm: return "the ARM";
    case Agent::Bd: return "tensor engine";
    case Agent::Gdma: return "GDMA";
    case Agent::Cdma: return "CDMA";
    case Agent::Gde: return "GDE";
  }
  return "?";
}

Clock join(Clock a, const Clock &b) {
  for (int i = 0; i < kAgents; i++) a[i] = std::max(a[i], b[i]);
  return a;
}

Clock RaceChecker::arm_release() {
  Clock c = arm_;
  arm_[0]++;
  return c;
}

void RaceChecker::arm_acquire(const Clock &c) { arm_ = join(arm_, c); }

void RaceChecker::arm_access(u64 addr, u64 len, bool write) {
  if (!enabled_ || len == 0) return;
  check(addr, len, write, epoch(Agent::Arm, arm_[0]), arm_);
}

Clock RaceChecker::begin(Agent agent, const Clock &after, const std::function<std::string()> &describe) {
  const int a = static_cast<int>(agent);
  Clock c = after;
  c[a] = ++counters_[a];
  if (enabled_) {
    descriptions_[a].resize(c[a]);
    descriptions_[a][c[a] - 1] = describe();
  }
  running_ = true;
  running_agent_ = agent;
  running_clock_ = c;
  return c;
}

void RaceChecker::access(u64 addr, u64 len, bool write) {
  if (!enabled_ || !running_ || len == 0) return;
  check(addr, len, write, epoch(running_agent_, running_clock_[static_cast<int>(running_agent_)]), running_clock_);
}

void RaceChecker::end() { running_ = false; }

void RaceChecker::flag(const std::string &text) {
  if (flags_.size() < kMaxRaces) flags_.push_back(text);
}

void RaceChecker::FreePage::operator()(Granule *p) const { std::free(p); }

RaceChecker::Granule &RaceChecker::granule(u64 index) {
  const u64 page_index = index >> kPageShift;
  CachedPage &cached = page_cache_[page_index % page_cache_.size()];
  if (cached.index != page_index) {
    Page &page = pages_[page_index];
    if (!page) {
      page.reset(static_cast<Granule *>(std::calloc(size_t{1} << kPageShift, sizeof(Granule))));
      if (!page) throw std::bad_alloc();
    }
    cached = CachedPage{page_index, page.get()};
  }
  return cached.granules[index & ((u64{1} << kPageShift) - 1)];
}

void RaceChecker::check(u64 addr, u64 len, bool write, u32 e, const Clock &clock) {
  const int self = static_cast<int>(epoch_agent(e));
  for (u64 g = addr >> kGranuleShift; g <= (addr + len - 1) >> kGranuleShift; g++) {
    Granule &gr = granule(g);
    const u64 at = std::max(addr, g << kGranuleShift);
    if (!ordered(gr.write, clock))
      report(gr.write, e, write ? Conflict::WriteAfterWrite : Conflict::ReadAfterWrite, at);
    if (!write) {
      gr.read[self] = e;
      continue;
    }
    for (int b = 0; b < kAgents; b++)
      if (!ordered(gr.read[b], clock)) report(gr.read[b], e, Conflict::WriteAfterRead, at);
    gr.write = e;
    std::fill(std::begin(gr.read), std::end(gr.read), 0u);
  }
}

void RaceChecker::report(u32 first, u32 second, Conflict conflict, u64 addr) {
  auto key = std::make_tuple(first, second, static_cast<int>(conflict));
  auto it = race_index_.find(key);
  if (it != race_index_.end()) {
    races_[it->second].granules++;
    return;
  }
  if (races_.size() >= kMaxRaces) return;
  race_index_[key] = races_.size();
  races_.push_back(Race{first, second, conflict, addr, 1});
}

std::string RaceChecker::describe(u32 e) const {
  const Agent a = epoch_agent(e);
  if (a == Agent::Arm) return "the ARM";
  const auto &names = descriptions_[static_cast<int>(a)];
  const u32 tick = epoch_tick(e);
  return tick - 1 < names.size() ? names[tick - 1] : std::string(agent_name(a)) + " command";
}

std::vector<std::string> RaceChecker::findings() const {
  std::vector<std::string> out = flags_;
  for (const Race &r : races_) {
    const char *verb = r.conflict == Conflict::ReadAfterWrite    ? " reads "
                       : r.conflict == Conflict::WriteAfterWrite ? " writes "
                                                                 : " writes ";
    const char *link = r.conflict == Conflict::ReadAfterWrite    ? " written by "
                       : r.conflict == Conflict::WriteAfterWrite ? " also written by "
                                                                 : " read by ";
    std::string where = hex(r.addr);
    if (r.granules > 1) where += " (and " + std::to_string(r.granules - 1) + " more words)";
    out.push_back("race: " + describe(r.second) + verb + where + link + describe(r.first) +
                  ", which is not ordered before it by command ids or a completed poll");
  }
  return out;
}

}  // namespace zv::chip
