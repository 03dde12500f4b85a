#include "api_fuzz.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net_writer.h"
#include "runtime/api/dispatch.h"
#include "runtime/firmware_main.h"
#include "runtime/regs.h"

namespace zv::test::fuzz {
namespace {

// splitmix64: the same sequence for a seed everywhere.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }
};

// A 64-bit address: mostly inside the sandbox, else just past an edge of
// device memory or of the part messages may name, inside the ARM's own memories (the canaries among them),
// near the 40-bit limit, or anything.
uint64_t address(Rng &r) {
  switch (r.below(10)) {
    case 0: return GLOBAL_MEM_END_ADDR - 1 - r.below(4096);
    case 1: return (r.chance(50) ? GLOBAL_MEM_START_ADDR : FW_USER_MEM_START) - 1 - r.below(4096);
    case 2: {
      const uint64_t arm[] = {kCanaryItcm, kCanaryDtcm, DTCM_BASE, L2_SRAM_START_ADDR, DDR_ARM_BASE, 0};
      return arm[r.below(6)] + r.below(0x1000);
    }
    case 3: return (1ull << 40) - r.below(0x10000);
    case 4: return r.next();
    default: return kSandbox + (r.next() % kSandboxBytes & ~uint64_t{r.chance(80) ? 3u : 0u});
  }
}

// A 32-bit field: small counts, the edges of the signed and unsigned types, or
// anything.
uint32_t value(Rng &r) {
  static const uint32_t kEdges[] = {0,          1,          2,          3,          4,          7,
                                    64,         1000,       4096,       0xffff,     0x10000,    0x7fffffff,
                                    0x80000000, 0xffffffff, 0xfffffffe, 0x3f800000, 0xbf800000, 0x7fc00000};
  switch (r.below(4)) {
    case 0: return kEdges[r.below(sizeof kEdges / sizeof kEdges[0])];
    case 1: return r.chance(50) ? r.below(64) + 1 : static_cast<uint32_t>(-static_cast<int32_t>(r.below(64) + 1));
    case 2: {
      // Anything, but a count between 2^20 and 2^31 that a record could
      // legitimately carry would only ask the model for minutes of work: such
      // values become negative ones (the edges above stand for large counts).
      const uint32_t v = static_cast<uint32_t>(r.next());
      return v >= (1u << 20) && v < 0x80000000u ? v | 0x80000000u : v;
    }
    default: return r.below(8);
  }
}

// `words` words of fields: a 64-bit address at any word with some chance,
// 32-bit fields elsewhere. A record whose 32-bit fields happen to form an
// address inside device memory and that also holds a field above 2^20 (as
// an unsigned value) is drawn again: the firmware rightly accepts it, and it
// would only ask the model for gigabytes of work (the address tokens stay
// within a few MB).
std::vector<uint32_t> fields(Rng &r, size_t words) {
  for (;;) {
    std::vector<uint32_t> out;
    std::vector<bool> placed;  // the word starts an address token
    while (out.size() < words) {
      if (out.size() + 1 < words && r.chance(30)) {
        const uint64_t a = address(r);
        out.push_back(static_cast<uint32_t>(a));
        out.push_back(static_cast<uint32_t>(a >> 32));
        placed.push_back(true);
        placed.push_back(false);
      } else {
        out.push_back(value(r));
        placed.push_back(false);
      }
    }
    bool stray = false, big = false;
    for (size_t i = 0; i < out.size(); i++) {
      const uint64_t pair = i + 1 < out.size() ? (uint64_t{out[i + 1]} << 32 | out[i]) : 0;
      stray = stray || (!placed[i] && pair >= GLOBAL_MEM_START_ADDR && pair < GLOBAL_MEM_END_ADDR);
      big = big || out[i] > (1u << 20);
    }
    if (!(stray && big)) return out;
  }
}

bool reserved(uint32_t id) { return id == API_ID_QUIT || id == ZVKERNEL_API_ID; }

// ---- Near-valid records ----
//
// Most random records fail their first check. These are records a correct
// host could send (distinct word-aligned tensors inside the sandbox, small
// extents, plausible modes and scales) with one to three fields turned
// adversarial, so that the checks after the first are reached: misaligned
// addresses the core may read itself, addresses near the end of device memory
// or in the ARM's own memories, enum and mode fields one past what an engine
// takes, a count one above the count it is a part of, and denormal, NaN and
// infinite operands.

// A word-aligned sandbox address, 64 KB apart for each `slot`.
uint64_t tensor_address(Rng &r, uint32_t slot) {
  return kSandbox + (uint64_t{slot % 24} << 16) + (r.below(64) << 6);
}

// Small extents and counts (never 2, which after a small word would form an
// address in device memory), modes 0 and 3, scales.
uint32_t plausible(Rng &r) {
  static const uint32_t kSmall[] = {1, 1, 3, 4, 4, 8};
  switch (r.below(16)) {
    case 0: return 0;
    case 1: return 0x3f800000u;  // 1.0f
    case 2: return 0x3f000000u;  // 0.5f
    default: return kSmall[r.below(6)];
  }
}

// One adversarial field in place of word `at` (or of the address at `at`).
void mutate(Rng &r, std::vector<uint32_t> &w, size_t at, bool is_address) {
  if (is_address && at + 1 < w.size()) {
    const uint64_t a = uint64_t{w[at + 1]} << 32 | w[at];
    uint64_t b = a;
    switch (r.below(5)) {
      case 0:
      case 1: b = a + 1 + r.below(3); break;  // misaligned
      case 2: b = GLOBAL_MEM_END_ADDR - 16 * (1 + r.below(8)); break;
      case 3: {
        const uint64_t arm[] = {DTCM_BASE, DDR_ARM_BASE, L2_SRAM_START_ADDR, 0xfffffff0u, 0};
        b = arm[r.below(5)];
        break;
      }
      default: b = GLOBAL_MEM_END_ADDR + (uint64_t{r.below(16)} << 12); break;
    }
    w[at] = static_cast<uint32_t>(b);
    w[at + 1] = static_cast<uint32_t>(b >> 32);
    return;
  }
  static const uint32_t kOperands[] = {0x00000001u, 0x007fffffu, 0x80000001u, 0x7fc00000u,
                                       0xffc00000u, 0x7f800000u, 0xff800000u, 0x7f7fffffu};
  switch (r.below(6)) {
    case 0: w[at] = kOperands[r.below(8)]; break;
    case 1: w[at] = r.chance(50) ? 2 : 1 + r.below(8); break;  // a mode or enum one past
    case 2: w[at] = w[at] + 1; break;                           // one above its whole
    case 3: w[at] = static_cast<uint32_t>(-static_cast<int32_t>(r.below(4) + 1)); break;
    case 4: w[at] = 0x7fffffffu - r.below(2); break;
    default: w[at] = 64 + r.below(512); break;
  }
}

// A pair of words that forms an address messages may name below the sandbox,
// where a count the record also holds (an address token's low word, say)
// could rightly ask for gigabytes. No address token lies there, even after a
// mutation.
bool stray_low_address(const std::vector<uint32_t> &w) {
  for (size_t i = 0; i + 1 < w.size(); i++) {
    const uint64_t pair = uint64_t{w[i + 1]} << 32 | w[i];
    if (pair >= FW_USER_MEM_START && pair < kSandbox) return true;
  }
  return false;
}

// Field layouts of records whose later checks guard host data the core reads
// itself, addresses inside arrays, engine fields and index data: one letter a
// word, "A" an address (two words). The other letters draw a valid field:
// "i" an extent (1 to 4), "z" zero, "m" a mode or flag (0, 1 or 3), "f" a
// scale (1.0 or 0.5), "t" an element size (4 or 1), "x" an axis (0 to 3), "n"
// an item count (1 to 8), "d" a rank (1 or 2), "1" one. Records without a
// layout are guessed.
struct Layout {
  uint32_t id;
  const char *fields;
};
const Layout kLayouts[] = {
    {12, "AAAAAiii"},
    {59, "AAAAAAfffiiii"},
    {69, "AAAAAfiiii"},
    {71, "AAAAAfiiii"},
    {83, "AAAAiiii1iiiiizzzziizzzzzzzzzzzzzzzzzz"},
    {91, "AAAAAAAAAAAiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiimmmmmmmmmmnx"},
    {92, "AAAAAAAAAAAiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiimmmmmmmmmmnx"},
    {127, "AAAAAAfiiii"},
    {140, "AAAAAiii"},
    {181, "AAnAAAtiiiiiiiidz"},
    {508, "AAnAAnmmm"},
    {509, "AAAAAiiiiz"},
};

uint32_t drawn(Rng &r, char kind) {
  switch (kind) {
    case 'z': return 0;
    case 'm': return r.chance(50) ? 0 : r.chance(50) ? 1 : 3;
    case 'f': return r.chance(50) ? 0x3f800000u : 0x3f000000u;
    case 't': return r.chance(70) ? 4 : 1;
    case 'x': return r.below(4);
    case 'n': return 1 + r.below(8);
    case 'd': return 1 + r.below(2);
    case '1': return 1;
    default: return 1 + r.below(4);
  }
}

std::vector<uint32_t> near_valid_once(Rng &r, size_t words, std::vector<size_t> &addresses, const char *layout) {
  std::vector<uint32_t> w;
  addresses.clear();
  uint32_t slot = r.below(24);
  for (const char *k = layout; k && *k && w.size() < words; k++) {
    if (*k == 'A' && w.size() + 1 < words) {
      const uint64_t a = tensor_address(r, slot++);
      addresses.push_back(w.size());
      w.push_back(static_cast<uint32_t>(a));
      w.push_back(static_cast<uint32_t>(a >> 32));
    } else {
      w.push_back(drawn(r, *k));
    }
  }
  // Addresses lead the records that have them: a token further on would put
  // an address's low word (about 2^32) where a count could stand.
  const uint32_t most = static_cast<uint32_t>(words / 2 < 11 ? words / 2 : 11);
  const size_t lead = layout || most == 0 ? 0 : r.chance(30) ? most : r.below(most + 1);
  while (w.size() < words) {
    const bool address = w.size() + 1 < words && addresses.size() < lead;
    if (address) {
      const uint64_t a = tensor_address(r, slot++);
      addresses.push_back(w.size());
      w.push_back(static_cast<uint32_t>(a));
      w.push_back(static_cast<uint32_t>(a >> 32));
    } else {
      w.push_back(plausible(r));
    }
  }
  if (w.empty() || r.chance(10)) return w;  // now and then the record as it stands
  const uint32_t n = 1 + r.below(3);
  for (uint32_t k = 0; k < n; k++) {
    if (!addresses.empty() && r.chance(45))
      mutate(r, w, addresses[r.below(static_cast<uint32_t>(addresses.size()))], true);
    else
      mutate(r, w, r.below(static_cast<uint32_t>(w.size())), false);
  }
  return w;
}

std::vector<uint32_t> near_valid(Rng &r, uint32_t id, size_t words) {
  const char *layout = nullptr;
  for (const Layout &l : kLayouts) layout = l.id == id ? l.fields : layout;
  std::vector<size_t> addresses;
  for (int tries = 0; tries < 64; tries++) {
    std::vector<uint32_t> w = near_valid_once(r, words, addresses, layout);
    // With a layout, the addresses are where the record has them.
    if (layout || !stray_low_address(w)) return w;
  }
  return fields(r, words);
}

// The two records of variable length, with tensor entries: the network replay
// (API 110) and the compiled network run (API 111), near-valid, with entries
// whose addresses or extents are turned adversarial.
uint64_t entry_address(Rng &r, uint32_t slot) {
  uint64_t a = tensor_address(r, slot);
  if (r.chance(30)) {
    std::vector<uint32_t> w = {static_cast<uint32_t>(a), static_cast<uint32_t>(a >> 32)};
    mutate(r, w, 0, true);
    a = uint64_t{w[1]} << 32 | w[0];
  }
  return a;
}

std::vector<uint32_t> replay_record(Rng &r) {
  net::ReplayMessage m;
  uint32_t slot = r.below(24);
  for (auto *list : {&m.inputs, &m.outputs}) {
    const uint32_t n = r.below(3);
    for (uint32_t i = 0; i < n; i++) {
      const uint8_t modes[] = {0, 2, 1};
      net::BufferTensor t{entry_address(r, slot++), entry_address(r, slot++), r.chance(80) ? 1 + r.below(8) : 255,
                          1 + r.below(16), static_cast<uint16_t>(r.below(8)), modes[r.below(3)], modes[r.below(3)]};
      list->push_back(t);
    }
  }
  m.bd_buffer = tensor_address(r, slot++) & ~uint64_t{127};
  m.gdma_buffer = tensor_address(r, slot++) & ~uint64_t{127};
  if (r.chance(20)) m.groups.push_back({0, 0});
  return net::replay_payload(m);
}

std::vector<uint32_t> run_record(Rng &r) {
  net::RunMessage m;
  uint32_t slot = r.below(24);
  m.description_addr = tensor_address(r, slot++);
  m.description_words = 4 + r.below(16);
  m.has_4n_addr = r.chance(40);
  const uint32_t n = 1 + r.below(2);
  for (uint32_t i = 0; i < n; i++) {
    net::IoInput in;
    in.addr = entry_address(r, slot++);
    if (m.has_4n_addr) in.addr_4n = entry_address(r, slot++);
    in.dtype = r.below(4);
    in.shape = {1 + r.below(4), 1 + r.below(8)};
    if (r.chance(20)) in.shape[r.below(2)] = static_cast<uint32_t>(r.next()) | 0x80000000u;
    in.elem_num = in.shape[0] * in.shape[1];
    m.inputs.push_back(in);
  }
  m.outputs.push_back(net::IoOutput{entry_address(r, slot++), 0, 0});
  m.scratch_addr = tensor_address(r, slot++);
  return net::run_payload(m);
}

Message make(Rng &r) {
  Message m;
  const zv_api_entry_t &row = zv_api_table[r.below(zv_api_table_size)];
  const size_t words = row.record_bytes / 4;
  const uint32_t kind = r.below(100);
  if (kind < 35) {
    m.id = row.id;
    m.payload = fields(r, words);
  } else if (kind < 70) {
    m.id = row.id;
    m.payload = row.id == 110 ? replay_record(r) : row.id == 111 ? run_record(r) : near_valid(r, row.id, words);
  } else if (kind < 82) {
    m.id = row.id;
    m.payload = fields(r, r.chance(50) && words > 0 ? words - 1 : words + 1);
  } else if (kind < 92) {
    do m.id = r.chance(70) ? r.below(1100) : static_cast<uint32_t>(r.next());
    while (reserved(m.id));
    m.payload = fields(r, r.below(40));
  } else if (kind < 97) {
    m.id = row.id;
    m.payload = fields(r, words);
    m.lying_length = true;
    // Around the ring's limits: too large for a message, or unplaceable.
    const uint32_t lens[] = {1017, 1018, 2040, 2041, 2042, 4089, r.below(5000)};
    m.param_len = lens[r.below(7)];
  } else {
    m.id = row.id;
    m.payload = fields(r, words);
    m.tag = 0;
  }
  return m;
}

std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

std::vector<uint8_t> pattern(uint32_t bytes, uint8_t seed) {
  std::vector<uint8_t> p(bytes);
  for (uint32_t i = 0; i < bytes; i++) p[i] = static_cast<uint8_t>(seed + i * 131u + (i >> 8));
  return p;
}

}  // namespace

std::string Message::script() const {
  std::string s = "send " + std::to_string(id);
  for (uint32_t w : payload) s += " " + hex(w);
  if (tag != 1) s += " tag=" + hex(tag);
  if (lying_length) s += " len=" + std::to_string(param_len);
  return s;
}

std::vector<Message> messages(const Options &options) {
  Rng r{options.seed};
  std::vector<Message> out;
  for (size_t i = 0; i < options.messages; i++) out.push_back(make(r));
  return out;
}

Report run(host::Card &card, const Options &options) {
  Report rep;
  const std::vector<uint8_t> itcm = pattern(kCanaryItcmBytes, 0x5a), dtcm = pattern(kCanaryDtcmBytes, 0xa5);
  card.write(kCanaryItcm, itcm.data(), itcm.size());
  card.write(kCanaryDtcm, dtcm.data(), dtcm.size());
  {
    Rng fill{options.seed ^ 0x5eed5a4dull};
    std::vector<uint32_t> words(kSandboxBytes / 4);
    for (uint32_t &v : words) v = fill.chance(60) ? fill.below(8) : fill.chance(50) ? 0x3f800000u : uint32_t(fill.next());
    card.write(kSandbox, words.data(), kSandboxBytes);
  }
  const std::vector<Message> all = messages(options);
  size_t seen_findings = 0;
  uint32_t round = 0;
  for (size_t start = 0; start < all.size(); start += options.batch) {
    std::string batch;
    auto note = [&](const std::string &what) {
      rep.findings.push_back(what + " after the batch:\n" + batch);
    };
    bool serving = true;
    for (size_t i = start; i < all.size() && i < start + options.batch && serving; i++) {
      const Message &m = all[i];
      batch += m.script() + "\n";
      rep.messages++;
      if (std::getenv("ZV_FUZZ_TRACE")) std::fprintf(stderr, "%s\n", m.script().c_str());
      const size_t console_at = card.console().size();
      const auto began = std::chrono::steady_clock::now();
      auto a = card.send(m.id, m.payload, m.tag, m.lying_length ? std::optional<uint32_t>(m.param_len) : std::nullopt);
      const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      if (took > rep.slowest_seconds) {
        rep.slowest_seconds = took;
        rep.slowest = m.script();
      }
      if (std::getenv("ZV_FUZZ_SLOW") && took > std::atof(std::getenv("ZV_FUZZ_SLOW")))
        std::fprintf(stderr, "slow (%.2f s): %s\n", took, m.script().c_str());
      if (a) {
        rep.results[a->result]++;
        // "ASSERT <file>: <function>: <line>: <condition>" lines since the send.
        const std::string text = card.console().substr(console_at);
        for (size_t at = text.find("ASSERT"); at != std::string::npos; at = text.find("ASSERT", at + 1)) {
          const size_t end = text.find('\n', at);
          const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
          const size_t f = line.find(": "), l = f == std::string::npos ? f : line.find(": ", f + 2),
                       c = l == std::string::npos ? l : line.find(": ", l + 2);
          if (line.rfind("ASSERT info", 0) == 0 || c == std::string::npos) continue;
          rep.assertions[line.substr(f + 2, l - f - 2) + ": " + line.substr(c + 2)]++;
        }
      } else if (card.state() == host::Card::State::Running) {
        rep.refused++;
      } else {
        serving = false;
      }
    }
    // The known-good fill and copy.
    if (serving) {
      const uint32_t value = 0x01010101u * (++round & 0xff) ^ 0x00ff00ffu;
      const uint32_t fill[] = {static_cast<uint32_t>(kKnownGood), static_cast<uint32_t>(kKnownGood >> 32), 256, 4,
                               value};
      const uint64_t dst = kKnownGood + 4096;
      const uint32_t copy[] = {static_cast<uint32_t>(kKnownGood), static_cast<uint32_t>(kKnownGood >> 32),
                               static_cast<uint32_t>(dst), static_cast<uint32_t>(dst >> 32), 1, 64, 64, 64};
      auto f = card.send(1, std::vector<uint32_t>(fill, fill + 5));
      auto c = f ? card.send(2, std::vector<uint32_t>(copy, copy + 8)) : std::nullopt;
      if (!f || !c) {
        serving = false;
      } else {
        bool good = f->result == 0 && c->result == 0;
        for (uint64_t at : {kKnownGood, dst})
          for (uint32_t i = 0; i < 64; i++) good = good && card.read32(at + 4 * i) == value;
        if (!good) {
          rep.known_good_failures++;
          note("the known-good fill and copy read back wrong");
        }
      }
    }
    if (!serving) {
      rep.stops++;
      note("the card stopped serving (" + card.trouble() + ")");
      break;
    }
    if (card.read(kCanaryItcm, itcm.size()) != itcm || card.read(kCanaryDtcm, dtcm.size()) != dtcm) {
      rep.canary_changes++;
      note("a canary region changed");
      card.write(kCanaryItcm, itcm.data(), itcm.size());
      card.write(kCanaryDtcm, dtcm.data(), dtcm.size());
    }
    const std::vector<std::string> races = card.chip().engines.findings();
    if (races.size() > seen_findings) {
      rep.race_findings += races.size() - seen_findings;
      note("race checker: " + races[seen_findings]);
      seen_findings = races.size();
    }
  }
  return rep;
}

}  // namespace zv::test::fuzz
