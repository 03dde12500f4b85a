// The fuzz campaign: many more seeded messages than the suite's fuzz test, on
// the cards the test uses (eager, two deferred seeds with the race checker)
// and optionally the ARM image, with a tally of answers and findings.
//
//   fuzz_campaign [--messages=N] [--seed=S] [--elf=FILE]
//
// Each card of 1000 messages runs in its own process, so that a card that
// stops serving, or a legitimate record that asks the model for more memory
// than the host has, does not end the campaign; every finding is printed with
// the batch that made it (zvcard script).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

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
  std::map<std::string, size_t> refusals;  // by assertion, over all cards
  for (const CardKind &k : kinds) {
    const auto start = std::chrono::steady_clock::now();
    struct : test::fuzz::Report {
      size_t model_gave_out = 0;
    } sum;
    size_t cards = 0;
    // Chunks of one card each, so that a stop does not end the campaign.
    const size_t chunk = 1000;
    for (size_t done = 0; done < per_kind; done += chunk) {
      test::fuzz::Options fo;
      fo.seed = seed * 1000003u + done + static_cast<uint64_t>(k.schedule) * 7919u + k.seed;
      fo.messages = per_kind - done < chunk ? per_kind - done : chunk;
      cards++;
      // Each card runs in a child process: a record the firmware rightly
      // accepts can still ask the model for more memory than the host has,
      // and that must not end the campaign.
      int fds[2];
      if (pipe(fds) != 0) return 2;
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        host::CardOptions o;
        o.elf = elf;
        o.chip.engines = {k.schedule, k.seed + done, k.races};
        host::Card card(o);
        const test::fuzz::Report r = test::fuzz::run(card, fo);
        std::string out = std::to_string(r.messages) + " " + std::to_string(r.refused) + " " +
                          std::to_string(r.stops) + " " + std::to_string(r.known_good_failures) + " " +
                          std::to_string(r.canary_changes) + " " + std::to_string(r.race_findings) + " " +
                          std::to_string(r.results.size());
        for (const auto &[code, n] : r.results) out += " " + std::to_string(code) + " " + std::to_string(n);
        out += "\n";
        for (const auto &[what, n] : r.assertions) out += "ASSERTION " + std::to_string(n) + " " + what + "\n";
        for (const std::string &f : r.findings) out += "FINDING (" + std::string(k.name) + "): " + f + "\n";
        if (write(fds[1], out.data(), out.size()) < 0) _exit(3);
        _exit(0);
      }
      close(fds[1]);
      std::string in;
      char buf[4096];
      for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) in.append(buf, static_cast<size_t>(n));
      close(fds[0]);
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        sum.model_gave_out++;
        std::printf("MODEL GAVE OUT (%s): the card of fuzz seed %llu (--seed=%llu, messages %zu to %zu) ended "
                    "with status %d; ZV_FUZZ_TRACE=1 shows its last message\n",
                    k.name, static_cast<unsigned long long>(fo.seed), static_cast<unsigned long long>(seed), done,
                    done + fo.messages, status);
        continue;
      }
      std::istringstream is(in);
      size_t m, refused, stops, kg, canary, races, codes;
      is >> m >> refused >> stops >> kg >> canary >> races >> codes;
      sum.messages += m;
      sum.refused += refused;
      sum.stops += stops;
      sum.known_good_failures += kg;
      sum.canary_changes += canary;
      sum.race_findings += races;
      for (size_t i = 0; i < codes; i++) {
        uint32_t code;
        size_t n;
        is >> code >> n;
        sum.results[code] += n;
      }
      std::string line;
      std::getline(is, line);
      for (; std::getline(is, line);) {
        if (line.rfind("ASSERTION ", 0) == 0) {
          const size_t space = line.find(' ', 10);
          refusals[line.substr(space + 1)] += std::strtoull(line.c_str() + 10, nullptr, 10);
          continue;
        }
        std::printf("%s\n", line.c_str());
        if (line.rfind("FINDING", 0) == 0) total_findings++;
      }
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s%s: %zu messages on %zu cards in %.1f s; refused by the host %zu;", k.name,
                elf.empty() ? "" : " (ARM image)", sum.messages, cards, secs, sum.refused);
    for (const auto &[code, n] : sum.results) std::printf(" result %u: %zu;", code, n);
    std::printf(" stops %zu, known-good failures %zu, canary changes %zu, race findings %zu; cards the model gave "
                "out on %zu\n",
                sum.stops, sum.known_good_failures, sum.canary_changes, sum.race_findings, sum.model_gave_out);
    std::fflush(stdout);
  }
  // The checks each class of hostile field meets: how often the campaign made
  // each refuse a message.
  const struct {
    const char *name, *marker;
  } classes[] = {
      {"misaligned host data the core reads", "global % align == 0"},
      {"concat input rows past the input", "api_dense(4, rows, len)"},
      {"concat input past the output's row", "offset + len <= row"},
      {"API 110 entry addresses and extents", "multi_entry_checks"},
      {"API 111 input entry addresses", "api_global_fits(inputs[i].addr"},
      {"API 111 output entry addresses", "api_global_fits(outputs[i].addr"},
      {"sort results above the keys", "out_len <= len"},
      {"convolution input stride mode", "output_mode) == 0 ||"},
      {"gathered index outside the input", "index_select_gde: at >= 0"},
      {"API 111 4N conversion lengths", "per_item <= 0x7fffffffu / 4"},
      {"denormal batch-normalisation count", "norm_count > 0.0f"},
  };
  std::printf("refusals by class:");
  for (const auto &c : classes) {
    size_t n = 0;
    for (const auto &[what, count] : refusals)
      if (what.find(c.marker) != std::string::npos) n += count;
    std::printf(" %s %zu;", c.name, n);
  }
  std::printf("\n");
  return total_findings == 0 ? 0 : 1;
}
