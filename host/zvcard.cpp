// zvcard: runs a message script against a simulated card and prints what the
// card answered.
//
//   zvcard [--elf FILE] [--schedule eager|deferred] [--seed N] [--check-races]
//          [--timing] [--trace FILE] [--fuse W80,W81] [SCRIPT | -]
//
// Without SCRIPT a built-in demo runs. --schedule, --seed and --check-races
// choose when the engines run their commands and whether the happens-before
// checker watches them; its findings are printed as "check: TEXT" lines at the
// end. --timing appends the message's modelled figures to each result line:
// "modelled_us=T te_busy=F gdma_busy=F te_ideal=F" (the elapsed time in
// microseconds, then the tensor engine's and GDMA's busy time and the tensor
// engine's products at its peak rate, as fractions of it). --trace FILE writes
// every register write by name and every command issued with its decoded
// fields, between the script's lines: runs under different seeds compare with
// diff. Exit status: 0 the script ran, 2 a usage or script error, 3 the card hung
// (or stopped serving), 4 the checker found something.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "card.h"
#include "runtime/firmware_main.h"

namespace {

using zv::host::Card;
using zv::host::CardOptions;

const char kDemo[] = R"(# The card has booted; its console lines are shown as uart: lines.
send 999            # an API id without a handler: 1008, with a log line
send 150            # the reserved id: 1008, no log line
send 999 tag=0      # tag 0: consumed without running a handler
send 999 len=1017   # too large for the ring: 1006
# Records are words; a device address is two (low, high).
# memset (API 1): 10 bytes at 0x1_0100_0000 with the 2-byte pattern aa bb
send 1 0x1000000 0x1 10 2 0xbbaa
read 0x101000000 12
# memset of words (mode 4): 4 words of 0xcafef00d at 0x1_0100_0100
send 1 0x1000100 0x1 16 4 0xcafef00d
# memcpy (API 2): 2 rows of 2 words, source rows 4 words apart, destination
# rows 2 apart, to 0x1_0100_0200
write32 0x101000110 0x11111111 0x22222222
send 2 0x1000100 0x1 0x1000200 0x1 2 4 2 2
read32 0x101000200 4
# memset_byte (API 177): 2 rows of 3 bytes 0x5e, rows 8 bytes apart, bytes 2 apart
send 177 0x1000300 0x1 2 1 1 3 8 1 1 2 0x5e
read 0x101000300 16
send 2 0x1000100 0x1 0x1000200   # a record of the wrong size: 1009
quit
)";

struct ScriptError {
  std::string text;
};

uint64_t number(const std::string &s) {
  if (s.empty()) throw ScriptError{"missing number"};
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno || *end != '\0' || s[0] == '-') throw ScriptError{"bad number '" + s + "'"};
  return v;
}

class Runner {
 public:
  Runner(Card &card, bool echo, bool timing, std::ostream *trace)
      : card_(card), echo_(echo), timing_(timing), trace_(trace) {}

  // Runs one script line.
  void line(const std::string &raw);

  // Prints the console lines the card has written so far.
  void console(bool flush_partial) {
    std::string text = card_.console();
    while (printed_ < text.size()) {
      size_t nl = text.find('\n', printed_);
      if (nl == std::string::npos && !flush_partial) break;
      size_t end = nl == std::string::npos ? text.size() : nl;
      std::printf("uart: %s\n", text.substr(printed_, end - printed_).c_str());
      printed_ = nl == std::string::npos ? text.size() : nl + 1;
    }
  }

 private:
  // The emulator also counts the ARM instructions the message cost.
  void answer(uint32_t id, const std::optional<zv::host::Answer> &a, uint64_t instructions_before) {
    console(false);
    if (!a) return;
    std::printf("result %u %u %u", id, a->result, a->elapsed_us);
    if (card_.emulator())
      std::printf(" insns=%llu", static_cast<unsigned long long>(card_.instructions() - instructions_before));
    if (timing_) {
      const zv::host::Timing &t = a->timing;
      std::printf(" modelled_us=%.3f te_busy=%.3f gdma_busy=%.3f te_ideal=%.3f", t.elapsed_us(), t.te_busy(),
                  t.gdma_busy(), t.te_ideal());
    }
    std::printf("\n");
  }

  using Words = std::vector<std::string>;
  struct Command {
    const char *name;
    size_t min_words;  // with the name
    const char *usage;
    void (Runner::*run)(const Words &);
    const char *what;  // one line for --help
  };
  static const Command kCommands[];

 public:
  // The script commands, one per line with what each does.
  static void print_commands(FILE *out);

 private:

  void write_bytes(const Words &w) {
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < w.size(); i++) {
      const std::string &h = w[i];
      if (h.size() % 2) throw ScriptError{"odd number of hex digits in '" + h + "'"};
      for (size_t k = 0; k < h.size(); k += 2) bytes.push_back(static_cast<uint8_t>(number("0x" + h.substr(k, 2))));
    }
    card_.write(number(w[1]), bytes.data(), bytes.size());
  }

  void write_words(const Words &w) {
    uint64_t a = number(w[1]);
    for (size_t i = 2; i < w.size(); i++, a += 4) card_.write32(a, static_cast<uint32_t>(number(w[i])));
  }

  void write_floats(const Words &w) {
    uint64_t a = number(w[1]);
    for (size_t i = 2; i < w.size(); i++, a += 4) {
      char *end = nullptr;
      float f = std::strtof(w[i].c_str(), &end);
      if (*end) throw ScriptError{"bad float '" + w[i] + "'"};
      card_.write(a, &f, 4);
    }
  }

  void send(const Words &w) {
    uint32_t id = static_cast<uint32_t>(number(w[1]));
    uint64_t tag = 1;
    std::optional<uint32_t> len;
    std::vector<uint32_t> payload;
    for (size_t i = 2; i < w.size(); i++) {
      if (w[i].rfind("tag=", 0) == 0) tag = number(w[i].substr(4));
      else if (w[i].rfind("len=", 0) == 0) len = static_cast<uint32_t>(number(w[i].substr(4)));
      else payload.push_back(static_cast<uint32_t>(number(w[i])));
    }
    uint64_t before = card_.instructions();
    answer(id, id == API_ID_QUIT ? card_.quit(len.value_or(0)) : card_.send(id, payload, tag, len), before);
  }

  void quit(const Words &) {
    uint64_t before = card_.instructions();
    answer(API_ID_QUIT, card_.quit(), before);
  }

  void read(const Words &w) {
    const std::string &cmd = w[0];
    uint64_t a = number(w[1]);
    uint64_t count = number(w[2]);
    if (count > (1u << 20)) throw ScriptError{"count too large"};
    size_t unit = cmd == "read" ? 1 : 4;
    std::vector<uint8_t> bytes = card_.read(a, count * unit);
    std::printf("%s 0x%llx", cmd == "read" ? "bytes" : cmd == "read32" ? "words" : "floats",
                static_cast<unsigned long long>(a));
    for (uint64_t i = 0; i < count; i++) {
      if (unit == 1) {
        std::printf(" %02x", bytes[i]);
      } else {
        uint32_t v;
        std::memcpy(&v, &bytes[i * 4], 4);
        float f;
        std::memcpy(&f, &v, 4);
        if (cmd == "read32") std::printf(" 0x%08x", v);
        else std::printf(" %.9g", static_cast<double>(f));
      }
    }
    std::printf("\n");
  }

  Card &card_;
  bool echo_;
  bool timing_;
  std::ostream *trace_;  // the script's lines go into the trace too
  size_t printed_ = 0;
};

const Runner::Command Runner::kCommands[] = {
    {"write", 3, "write ADDR HEXBYTES...", &Runner::write_bytes, "write bytes (hex digit pairs) to device memory"},
    {"write32", 3, "write32 ADDR WORD...", &Runner::write_words, "write 32-bit words to device memory"},
    {"writef", 3, "writef ADDR FLOAT...", &Runner::write_floats, "write 32-bit floats to device memory"},
    {"send", 2, "send API_ID [WORD...] [tag=N] [len=N]", &Runner::send,
     "send an API message of these payload words; print \"result ID CODE MICROSECONDS\""},
    {"quit", 1, "quit", &Runner::quit, "send the quit message; the card stops serving"},
    {"read", 3, "read ADDR BYTES", &Runner::read, "print bytes of device memory in hex"},
    {"read32", 3, "read32 ADDR WORDS", &Runner::read, "print 32-bit words of device memory in hex"},
    {"readf", 3, "readf ADDR FLOATS", &Runner::read, "print 32-bit floats of device memory"},
};

void Runner::print_commands(FILE *out) {
  for (const Command &c : kCommands) std::fprintf(out, "  %-40s %s\n", c.usage, c.what);
}

void Runner::line(const std::string &raw) {
  std::string text = raw.substr(0, raw.find('#'));
  std::istringstream in(text);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  if (w.empty()) return;
  const std::string shown = text.substr(0, text.find_last_not_of(" \t") + 1);
  if (echo_) std::printf("> %s\n", shown.c_str());
  if (trace_) *trace_ << "> " << shown << '\n';
  for (const Command &c : kCommands) {
    if (w[0] != c.name) continue;
    if (w.size() < c.min_words) throw ScriptError{"'" + w[0] + "' needs more arguments: " + c.usage};
    (this->*c.run)(w);
    return;
  }
  std::string known;
  for (const Command &c : kCommands) known += std::string(known.empty() ? "" : ", ") + c.name;
  throw ScriptError{"unknown command '" + w[0] + "' (known: " + known + ")"};
}

const char kUsage[] =
    "usage: zvcard [--elf FILE] [--schedule eager|deferred] [--seed N] [--check-races]\n"
    "              [--timing] [--trace FILE] [--fuse W80,W81] [SCRIPT | -]\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The whole help: options, script commands and exit statuses.
void help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Runs a message script (SCRIPT, or standard input for -) against a simulated\n"
      "card and prints what the card answered; without SCRIPT a built-in demo runs.\n"
      "\n"
      "options:\n"
      "  --elf FILE          run this firmware image in the ARM emulator\n"
      "  --schedule S        eager (engines run at issue) or deferred\n"
      "  --seed N            the deferred schedule's seed\n"
      "  --check-races       watch for memory accesses not ordered by ids or polls\n"
      "                      (findings as \"check: TEXT\" lines at the end)\n"
      "  --timing            add the modelled figures to each result line\n"
      "  --trace FILE        write every register write and command issued to FILE\n"
      "  --fuse W80,W81      the disabled-lane fuse words\n"
      "\n"
      "script commands (one a line; numbers in decimal or 0x hex; # starts a comment;\n"
      "device addresses are 40-bit, from 0x100000000):\n",
      stdout);
  Runner::print_commands(stdout);
  std::fputs(
      "\n"
      "exit status: 0 the script ran, 2 a usage or script error, 3 the card hung\n"
      "(or stopped serving), 4 the checker found something.\n",
      stdout);
}

}  // namespace

int main(int argc, char **argv) {
  CardOptions options;
  std::string script_path;
  bool have_script = false;
  bool timing = false;
  std::string trace_path;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--elf") {
      if (++i >= argc) return usage();
      options.elf = argv[i];
    } else if (a == "--schedule") {
      if (++i >= argc) return usage();
      const std::string v = argv[i];
      if (v != "eager" && v != "deferred") {
        std::fprintf(stderr, "zvcard: --schedule takes eager or deferred\n");
        return 2;
      }
      options.chip.engines.schedule = v == "eager" ? zv::chip::Schedule::Eager : zv::chip::Schedule::Deferred;
    } else if (a == "--seed") {
      if (++i >= argc) return usage();
      try {
        options.chip.engines.seed = number(argv[i]);
      } catch (const ScriptError &e) {
        std::fprintf(stderr, "zvcard: --seed: %s\n", e.text.c_str());
        return 2;
      }
    } else if (a == "--check-races") {
      options.chip.engines.check_races = true;
    } else if (a == "--timing") {
      timing = true;
    } else if (a == "--trace") {
      if (++i >= argc) return usage();
      trace_path = argv[i];
    } else if (a == "--fuse") {
      if (++i >= argc) return usage();
      std::string v = argv[i];
      size_t comma = v.find(',');
      if (comma == std::string::npos) return usage();
      try {
        options.chip.fuse80 = static_cast<uint32_t>(number(v.substr(0, comma)));
        options.chip.fuse81 = static_cast<uint32_t>(number(v.substr(comma + 1)));
      } catch (const ScriptError &e) {
        std::fprintf(stderr, "zvcard: --fuse: %s\n", e.text.c_str());
        return 2;
      }
    } else if (a == "-h" || a == "--help") {
      help();
      return 0;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "zvcard: unknown option %s\n", a.c_str());
      return usage();
    } else if (have_script) {
      return usage();
    } else {
      script_path = a;
      have_script = true;
    }
  }

  std::string script;
  if (!have_script) {
    script = kDemo;
  } else if (script_path == "-") {
    std::stringstream ss;
    ss << std::cin.rdbuf();
    script = ss.str();
  } else {
    std::ifstream f(script_path);
    if (!f) {
      std::fprintf(stderr, "zvcard: cannot read %s\n", script_path.c_str());
      return 2;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    script = ss.str();
  }

  std::ofstream trace;
  if (!trace_path.empty()) {
    trace.open(trace_path);
    if (!trace) {
      std::fprintf(stderr, "zvcard: cannot write %s\n", trace_path.c_str());
      return 2;
    }
    options.trace = [&trace](const std::string &line) { trace << line << '\n'; };
  }

  std::unique_ptr<Card> booted;
  try {
    booted = std::make_unique<Card>(options);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "zvcard: %s\n", e.what());
    return 2;
  }
  Card &card = *booted;
  Runner runner(card, !have_script, timing, trace_path.empty() ? nullptr : &trace);
  runner.console(false);
  std::istringstream lines(script);
  int number_of_line = 0;
  for (std::string line; std::getline(lines, line);) {
    number_of_line++;
    try {
      runner.line(line);
    } catch (const ScriptError &e) {
      runner.console(true);
      std::fprintf(stderr, "zvcard: line %d: %s\n", number_of_line, e.text.c_str());
      return 2;
    } catch (const zv::chip::Fault &f) {
      runner.console(true);
      std::fprintf(stderr, "zvcard: line %d: %s\n", number_of_line, f.what());
      return 2;
    }
    if (card.state() != Card::State::Running && card.state() != Card::State::Stopped) break;
  }
  runner.console(true);
  const std::vector<std::string> findings = card.chip().engines.findings();
  for (const std::string &f : findings) std::printf("check: %s\n", f.c_str());
  std::fflush(stdout);
  if (card.state() == Card::State::Hung || card.state() == Card::State::Faulted ||
      card.state() == Card::State::Halted) {
    std::fprintf(stderr, "zvcard: the card %s: %s\n",
                 card.state() == Card::State::Hung ? "hung" : "stopped serving", card.trouble().c_str());
    return 3;
  }
  return findings.empty() ? 0 : 4;
}
