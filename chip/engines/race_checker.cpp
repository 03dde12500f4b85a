#include "chip/engines/race_checker.h"

#include <algorithm>

namespace zv::chip {

namespace {
// An epoch names one actor's step: the agent in the top 3 bits, its tick below.
constexpr u32 kTickBits = 29;
constexpr u32 kTickMask = (1u << kTickBits) - 1;
constexpr u64 kGranuleShift = 2;  // 4-byte granules
// 256 granules (6 KB) per shadow page: small, since most accesses are sparse
// (a few elements in each of 64 lanes) and a page is zeroed whole.
constexpr u64 kPageShift = 8;
constexpr u32 kPageCacheBits = 12;  // 4096 entries: page_cache_
constexpr size_t kMaxRaces = 200;
// Local memory: 32 MB from 0x08000000.
constexpr u64 kLocalFirstPage = (u64{0x08000000} >> kGranuleShift) >> kPageShift;
constexpr u64 kLocalPages = (u64{32} << 20 >> kGranuleShift) >> kPageShift;
constexpr u64 kLocalLanes = 64, kLanePages = kLocalPages / kLocalLanes;

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

void RaceChecker::check_running(u64 addr, u64 len, bool write) {
  check(addr, len, write, epoch(running_agent_, running_clock_[static_cast<int>(running_agent_)]), running_clock_);
}




void RaceChecker::end() { running_ = false; }

void RaceChecker::flag(const std::string &text) {
  if (flags_.size() < kMaxRaces) flags_.push_back(text);
}

inline RaceChecker::Shadow &RaceChecker::page_of(u64 granule) {
  static_assert(kPageGranules == u64{1} << kPageShift && sizeof(page_cache_) / sizeof(CachedPage) == 1u << kPageCacheBits);
  const u64 page_index = granule >> kPageShift;
  Shadow *shadow;
  if (page_index - kLocalFirstPage < kLocalPages) {
    if (local_pages_.empty()) local_pages_.resize(kLocalPages);
    const u64 local = page_index - kLocalFirstPage;
    shadow = &local_pages_[(local % kLanePages) * kLocalLanes + local / kLanePages];
  } else {
    // The lanes of local memory lie 512 KB apart, a multiple of the cache's
    // span: the index is hashed so that the same offset in every lane does
    // not share one slot.
    CachedPage &cached = page_cache_[(page_index * 0x9E3779B97F4A7C15ull) >> (64 - kPageCacheBits)];
    if (cached.index != page_index) {
      std::unique_ptr<Shadow> &entry = pages_[page_index];
      if (!entry) entry = std::make_unique<Shadow>();
      cached = CachedPage{page_index, entry.get()};
    }
    shadow = cached.shadow;
  }
  if (!shadow->page) shadow->page = std::make_unique<Page>();  // zeroed
  return *shadow;
}

inline void RaceChecker::check_granule(Shadow &shadow, u64 slot, u64 at, bool write, u32 e, int self,
                                       const Clock &clock) {
  Page &page = *shadow.page;
  u32 &last_write = page.write[slot];
  if (!ordered(last_write, clock))
    report(last_write, e, write ? Conflict::WriteAfterWrite : Conflict::ReadAfterWrite, at);
  shadow.seen[self] = std::max(shadow.seen[self], epoch_tick(e));
  if (!write) {
    page.read[self][slot] = e;
    shadow.has_read[self] = true;
    return;
  }
  // An agent that never read in this page has no reader to check or clear.
  for (int b = 0; b < kAgents; b++)
    if (shadow.has_read[b]) {
      u32 &read = page.read[b][slot];
      if (!ordered(read, clock)) report(read, e, Conflict::WriteAfterRead, at);
      read = 0;
    }
  last_write = e;
}

// The granules of a span's elements one by one, as check() takes them, with
// the shadow page looked up only when the span crosses into another.
struct RaceChecker::SpanCursor {
  u64 page_index = ~u64{0};
  Shadow *shadow = nullptr;
  bool covered = false;  // the page holds only ticks the clock covers
};

inline void RaceChecker::enter(SpanCursor &cur, u64 granule, const Clock &clock) {
  cur.shadow = &page_of(granule);
  cur.page_index = granule >> kPageShift;
  cur.covered = true;
  for (int a = 0; a < kAgents; a++) cur.covered = cur.covered && cur.shadow->seen[a] <= clock[a];
}

// The records of an access to `n` granules from `slot` in a covered page.
inline void RaceChecker::record_covered(Shadow &shadow, u64 slot, u64 n, bool write, u32 e, int self) {
  Page &page = *shadow.page;
  shadow.seen[self] = std::max(shadow.seen[self], epoch_tick(e));
  if (!write) {
    std::fill_n(page.read[self] + slot, n, e);
    shadow.has_read[self] = true;
    return;
  }
  for (int b = 0; b < kAgents; b++)
    if (shadow.has_read[b]) std::fill_n(page.read[b] + slot, n, 0u);
  std::fill_n(page.write + slot, n, e);
}

inline void RaceChecker::check_at(SpanCursor &cur, u64 addr, u64 len, bool write, u32 e, int self,
                                  const Clock &clock) {
  const u64 first = addr >> kGranuleShift, last = (addr + len - 1) >> kGranuleShift;
  constexpr u64 mask = kPageGranules - 1;
  for (u64 g = first; g <= last;) {
    if ((g >> kPageShift) != cur.page_index) enter(cur, g, clock);
    if (!cur.covered) {
      check_granule(*cur.shadow, g & mask, g == first ? addr : g << kGranuleShift, write, e, self, clock);
      g++;
      continue;
    }
    // Nothing in the page can race with this access: only the records change
    // (its own tick is covered by its clock, so the page stays covered), for
    // all of the access's granules in the page at once.
    const u64 end = std::min(last + 1, ((g >> kPageShift) + 1) << kPageShift);
    record_covered(*cur.shadow, g & mask, end - g, write, e, self);
    g = end;
  }
}

// How many elements from the one at `addr` lie wholly in the page `page_index`
// (that one does): elements further on leave it for good.
inline u64 RaceChecker::elements_in_page(u64 addr, std::int64_t step, u64 size, u64 page_index) {
  const u64 begin = page_index << (kPageShift + kGranuleShift), end = begin + (kPageGranules << kGranuleShift);
  if (step > 0) return (end - size - addr) / static_cast<u64>(step) + 1;
  if (step < 0) return (addr - begin) / static_cast<u64>(-step) + 1;
  return ~u64{0};
}

// A run of `n` elements in the cursor's page, which is covered: the records
// only, each element's granules in turn.
inline void RaceChecker::record_covered_run(SpanCursor &cur, u64 addr, std::int64_t step, u64 size, u64 n,
                                            bool write, u32 e, int self) {
  constexpr u64 mask = kPageGranules - 1;
  Shadow &shadow = *cur.shadow;
  if ((addr & ((u64{1} << kGranuleShift) - 1)) + size <= (u64{1} << kGranuleShift) &&
      step % (std::int64_t{1} << kGranuleShift) == 0) {
    // One granule an element, `stride` granules apart.
    Page &page = *shadow.page;
    shadow.seen[self] = std::max(shadow.seen[self], epoch_tick(e));
    const std::int64_t stride = step >> kGranuleShift;
    std::int64_t slot = static_cast<std::int64_t>((addr >> kGranuleShift) & mask);
    if (!write) {
      shadow.has_read[self] = true;
      u32 *read = page.read[self];
      for (u64 i = 0; i < n; i++, slot += stride) read[slot] = e;
      return;
    }
    u32 *readers[kAgents];
    int k = 0;
    for (int b = 0; b < kAgents; b++)
      if (shadow.has_read[b]) readers[k++] = page.read[b];
    for (u64 i = 0; i < n; i++, slot += stride) {
      for (int b = 0; b < k; b++) readers[b][slot] = 0;
      page.write[slot] = e;
    }
    return;
  }
  for (u64 i = 0; i < n; i++) {
    const u64 at = addr + static_cast<u64>(step * static_cast<std::int64_t>(i));
    const u64 first = at >> kGranuleShift, last = (at + size - 1) >> kGranuleShift;
    record_covered(shadow, first & mask, last - first + 1, write, e, self);
  }
}

// Element i of a span and, where it starts a run of elements in a covered
// page, that whole run: returns how many elements it took.
inline u64 RaceChecker::check_element(SpanCursor &cur, u64 addr, std::int64_t step, u64 size, u64 left, bool write,
                                      u32 e, int self, const Clock &clock) {
  const u64 first = addr >> kGranuleShift, last = (addr + size - 1) >> kGranuleShift;
  if ((first >> kPageShift) == (last >> kPageShift)) {
    if ((first >> kPageShift) != cur.page_index) enter(cur, first, clock);
    if (cur.covered) {
      const u64 n = std::min(left, elements_in_page(addr, step, size, cur.page_index));
      record_covered_run(cur, addr, step, size, n, write, e, self);
      return n;
    }
  }
  check_at(cur, addr, size, write, e, self, clock);
  return 1;
}

inline void RaceChecker::check(u64 addr, u64 len, bool write, u32 e, const Clock &clock) {
  SpanCursor cur;
  check_at(cur, addr, len, write, e, static_cast<int>(epoch_agent(e)), clock);
}

void RaceChecker::check_span(u64 addr, std::int64_t step, u64 size, u64 count, bool write) {
  const u32 e = epoch(running_agent_, running_clock_[static_cast<int>(running_agent_)]);
  const int self = static_cast<int>(running_agent_);
  SpanCursor cur;
  for (u64 i = 0; i < count;)
    i += check_element(cur, addr + static_cast<u64>(step * static_cast<std::int64_t>(i)), step, size, count - i, write,
                       e, self, running_clock_);
}

// Only the reads that can race are taken in the interleaved order: a read in a
// covered page finds nothing, and no read changes what another read finds (a
// read is checked against writers only, and its own tick keeps every page's
// coverage as it was), so runs of those are recorded ahead, a span at a time.
void RaceChecker::check_read_spans(const ElementSpan *spans, int k, u64 count) {
  const u32 e = epoch(running_agent_, running_clock_[static_cast<int>(running_agent_)]);
  const int self = static_cast<int>(running_agent_);
  constexpr int kMaxSpans = 8;
  if (k > kMaxSpans) {
    SpanCursor any;
    for (u64 i = 0; i < count; i++)
      for (int j = 0; j < k; j++)
        if (spans[j].size != 0) check_at(any, spans[j].at(i), spans[j].size, false, e, self, running_clock_);
    return;
  }
  SpanCursor cur[kMaxSpans];
  u64 next[kMaxSpans] = {};  // the first element of each span not yet taken
  for (u64 i = 0; i < count; i++)
    for (int j = 0; j < k; j++)
      if (spans[j].size != 0 && next[j] == i)
        next[j] += check_element(cur[j], spans[j].at(i), spans[j].step, spans[j].size, count - i, false, e, self,
                                 running_clock_);
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
