// Seeded fuzzing of the card's message interface, as a hostile host would try
// it: for every id of the API table (read from the table, so a new row is
// covered at once), records of the right size with random and extreme fields
// (addresses inside and far outside device memory, counts at the edges of
// their types), near-valid records (small aligned tensors in the sandbox) with
// one to three adversarial fields (misaligned addresses, addresses at the end
// of device memory or in the ARM's memories, modes one past their range, a
// count above its whole, denormal, NaN and infinite operands), tensor entries
// of the two variable-length records, records a word short or long, random
// ids and lengths, lying length words and tag 0. The sandbox holds random
// words, so that index data read from it names items outside any input. After each batch a known-good fill and copy are
// checked by reading device memory back, and canary regions of the ARM's own
// memories (which no message may reach) are compared with what the host wrote.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "card.h"

namespace zv::test::fuzz {

struct Options {
  uint64_t seed = 1;
  size_t messages = 200;
  size_t batch = 5;
};

// One message as a zvcard script line (for reproducing a finding).
struct Message {
  uint32_t id = 0;
  std::vector<uint32_t> payload;
  uint64_t tag = 1;
  bool lying_length = false;
  uint32_t param_len = 0;
  std::string script() const;
};

struct Report {
  size_t messages = 0;               // messages sent
  size_t refused = 0;                // messages the host driver refused to place
  std::map<uint32_t, size_t> results;  // answers by result code
  size_t stops = 0;                  // the card stopped serving (fault, halt, hang)
  size_t known_good_failures = 0;    // the known-good fill or copy read back wrong
  size_t canary_changes = 0;         // a canary region changed
  size_t race_findings = 0;          // happens-before checker findings
  std::vector<std::string> findings;  // what went wrong, with the batch that did it
  // Refusals by the assertion that made them ("function: condition").
  std::map<std::string, size_t> assertions;
  double slowest_seconds = 0;        // the longest a message took to be answered
  std::string slowest;               // that message
  bool clean() const {
    return stops == 0 && known_good_failures == 0 && canary_changes == 0 && race_findings == 0;
  }
};

// The messages of one seed, in order (the same on every host).
std::vector<Message> messages(const Options &options);

// Sends the seed's messages to `card`, checking after each batch; stops at the
// first batch after which the card no longer serves.
Report run(host::Card &card, const Options &options);

// Where the fuzzer aims: in-range addresses fall in the last 4 MB of device
// memory but one (so that no record that passes the checks can name more than
// a few MB), the known-good area lies far below, and the canaries are in ITCM
// above the code and in the unused half of the ring's DTCM area.
constexpr uint64_t kSandbox = 0x300000000ull - (4u << 20);
constexpr uint64_t kSandboxBytes = 2u << 20;
constexpr uint64_t kKnownGood = 0x140000000ull;
constexpr uint32_t kCanaryItcm = 0x00070000u, kCanaryItcmBytes = 0x10000u;
constexpr uint32_t kCanaryDtcm = 0x0201e000u, kCanaryDtcmBytes = 0x2000u;

}  // namespace zv::test::fuzz
