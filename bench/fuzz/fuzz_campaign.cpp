// The fuzz campaign: many more seeded messages than the suite's fuzz test, on
// the cards the test uses (eager, two deferred seeds with the race checker)
// and optionally the ARM image, with a tally of answers and findings.
//
//   fuzz_campaign [--messages=N] [--seed=S] [--elf=FILE]
//
// A card that stops serving is replaced by a fresh one and the campaign goes
// on; every finding is printed with the batch that made it (zvcard script).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api_fuzz.h"
#include "card.h"

using namespace zv;

namespace {

struct CardKind {
  const char *name;
  chip::Schedule schedule;
  uint64_t seed;
  bool races;
};

}  // namespace

int main(int argc, char **argv) {
  size_t messages = 20000;
  uint64_t seed = 1;
  std::string elf;
  for (int i = 1; i < argc; i++) {
    if (!std::strncmp(argv[i], "--messages=", 11)) messages = std::strtoull(argv[i] + 11, nullptr, 0);
    else if (!std::strncmp(argv[i], "--seed=", 7)) seed = std::strtoull(argv[i] + 7, nullptr, 0);
    else if (!std::strncmp(argv[i], "--elf=", 6)) elf = argv[i] + 6;
    else {
      std::fprintf(stderr, "usage: fuzz_campaign [--messages=N] [--seed=S] [--elf=FILE]\n");
      return 2;
    }
  }
  const CardKind kinds[] = {{"eager", chip::Schedule::Eager, 0, false},
                            {"deferred seed 1, race checker", chip::Schedule::Deferred, 1, true},
                            {"deferred seed 2, race checker", chip::Schedule::Deferred, 2, true}};
  const size_t per_kind = messages / 3;
  size_t total_findings = 0;
  for (const CardKind &k : kinds) {
    const auto start = std::chrono::steady_clock::now();
    test::fuzz::Report sum;
    size_t cards = 0;
    // Chunks of one card each, so that a stop does not end the campaign.
    const size_t chunk = 1000;
    for (size_t done = 0; done < per_kind; done += chunk) {
      host::CardOptions o;
      o.elf = elf;
      o.chip.engines = {k.schedule, k.seed + done, k.races};
      host::Card card(o);
      cards++;
      test::fuzz::Options fo;
      fo.seed = seed * 1000003u + done + static_cast<uint64_t>(k.schedule) * 7919u + k.seed;
      fo.messages = per_kind - done < chunk ? per_kind - done : chunk;
      const test::fuzz::Report r = test::fuzz::run(card, fo);
      sum.messages += r.messages;
      sum.refused += r.refused;
      for (const auto &[code, n] : r.results) sum.results[code] += n;
      sum.stops += r.stops;
      sum.known_good_failures += r.known_good_failures;
      sum.canary_changes += r.canary_changes;
      sum.race_findings += r.race_findings;
      for (const std::string &f : r.findings) std::printf("FINDING (%s): %s\n", k.name, f.c_str());
      total_findings += r.findings.size();
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s%s: %zu messages on %zu cards in %.1f s; refused by the host %zu;", k.name,
                elf.empty() ? "" : " (ARM image)", sum.messages, cards, secs, sum.refused);
    for (const auto &[code, n] : sum.results) std::printf(" result %u: %zu;", code, n);
    std::printf(" stops %zu, known-good failures %zu, canary changes %zu, race findings %zu\n", sum.stops,
                sum.known_good_failures, sum.canary_changes, sum.race_findings);
    std::fflush(stdout);
  }
  return total_findings == 0 ? 0 : 1;
}
