// The race checker's span entry points against the single accesses they stand
// for: random command histories (ordered and unordered, several agents, local
// and device memory) give the same findings, in the same order, whether each
// access arrives as a span, as interleaved spans of reads or one element at a
// time.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "chip/engines/race_checker.h"

namespace zv::test {
namespace {

using chip::Agent;
using chip::Clock;
using chip::ElementSpan;
using chip::RaceChecker;
using chip::u64;

std::string joined(const std::vector<std::string> &findings) {
  std::string out;
  for (const std::string &f : findings) out += f + "\n";
  return out;
}

// Drives two checkers with one history: `spans` through the span calls,
// `single` through access() an element (or a 4-byte piece) at a time.
struct Pair {
  RaceChecker spans, single;
  Pair() {
    spans.enable(true);
    single.enable(true);
  }

  void span(u64 addr, std::int64_t step, u64 size, u64 count, bool write) {
    spans.access_span(addr, step, size, count, write);
    for (u64 i = 0; i < count; i++) single.access(addr + static_cast<u64>(step * std::int64_t(i)), size, write);
  }
  void reads(const std::vector<ElementSpan> &s, u64 count) {
    spans.read_spans(s.data(), static_cast<int>(s.size()), count);
    for (u64 i = 0; i < count; i++)
      for (const ElementSpan &e : s) single.access(e.at(i), e.size, false);
  }
  // A long access (a run of a move, or of the ARM's) against its 4-byte
  // pieces.
  void range(u64 addr, u64 len, bool write, bool arm = false) {
    if (arm) spans.arm_access(addr, len, write);
    else spans.access(addr, len, write);
    for (u64 at = addr; at < addr + len;) {
      const u64 next = std::min(addr + len, (at & ~u64{3}) + 4);
      if (arm) single.arm_access(at, next - at, write);
      else single.access(at, next - at, write);
      at = next;
    }
  }
};

TEST(RaceChecker, SpansFindWhatTheirSingleAccessesFind) {
  std::mt19937_64 rng(7);
  auto pick = [&](u64 n) { return static_cast<u64>(rng() % n); };
  // Addresses near a few bases, so that commands overlap: two lanes of local
  // memory (one at a shadow page's edge) and device memory.
  const u64 bases[] = {0x08000000, 0x08080000 + 0x3f0, 0x100001000};
  int with_findings = 0;
  for (int history = 0; history < 300; history++) {
    SCOPED_TRACE(history);
    Pair p;
    std::vector<Clock> done;
    const int commands = 2 + static_cast<int>(pick(7));
    for (int cmd = 0; cmd < commands; cmd++) {
      const Agent agent = static_cast<Agent>(1 + pick(4));
      // Ordered after the ARM's issue and, often, after some earlier commands.
      Clock after = p.spans.arm_release();
      p.single.arm_release();
      for (const Clock &c : done)
        if (pick(3) != 0) after = chip::join(after, c);
      auto name = [cmd] { return "command " + std::to_string(cmd); };
      const Clock mine = p.spans.begin(agent, after, name);
      p.single.begin(agent, after, name);
      for (int a = 0, accesses = 1 + static_cast<int>(pick(4)); a < accesses; a++) {
        const u64 base = bases[pick(3)] + pick(96);
        const u64 size = 1 + pick(4);
        const std::int64_t steps[] = {4, std::int64_t(size), 0, -4, 8, 3, 1024, -8, 128};
        const std::int64_t step = steps[pick(9)];
        const u64 count = 1 + pick(300);
        const u64 addr = step < 0 ? base + static_cast<u64>(-step) * count : base;
        switch (pick(3)) {
          case 0: p.span(addr, step, size, count, pick(2) == 0); break;
          case 1: {
            std::vector<ElementSpan> s;
            for (int j = 0, k = 1 + static_cast<int>(pick(4)); j < k; j++)
              s.push_back(ElementSpan{bases[pick(3)] + pick(64) + 0x400 * pick(3), steps[pick(9)] >= 0 ? 4 : 0,
                                      1 + pick(4)});
            p.reads(s, count);
            break;
          }
          default: p.range(addr, 1 + pick(2500), pick(2) == 0);
        }
      }
      p.spans.end();
      p.single.end();
      done.push_back(mine);
      if (pick(2) == 0) {
        p.spans.arm_acquire(mine);
        p.single.arm_acquire(mine);
      }
      if (pick(3) == 0) p.range(bases[pick(3)] + pick(256), 1 + pick(64), pick(2) == 0, true);  // the ARM
    }
    const std::vector<std::string> f = p.spans.findings();
    EXPECT_EQ(joined(f), joined(p.single.findings()));
    with_findings += !f.empty();
  }
  // The histories exercise both outcomes.
  EXPECT_GT(with_findings, 30);
  EXPECT_LT(with_findings, 270);
}

}  // namespace
}  // namespace zv::test
