// The test-support library every suite uses: schedules, running firmware code
// on a fresh chip model, the one "ran clean" predicate, expected assertions,
// and the cards the API suites run on.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "card.h"
#include "chip/chip.h"
#include "cmd/cmd_framework.h"
#include "core.h"

namespace zv::test {

// The first device address host messages may name: below it lie the
// firmware's code in device memory and its log ring (FW_USER_MEM_START).
constexpr u64 kUserDdr = 0x101000000ull;

// ---- Schedules ----

// How the engines run a case: eager, or deferred with a seed.
struct Sched {
  chip::Schedule schedule;
  u64 seed;
};
// The one list of schedules: eager, then deferred with seeds 1, 2 and 3; with
// ZV_SCHEDULES=n in the environment (n = 2 or 3), only the first n of them,
// for slow builds such as the sanitizer one.
const std::vector<Sched> &all_schedules();
std::vector<Sched> schedules_limited_to(const char *limit);
// The deferred entries of all_schedules(), and their seeds.
std::vector<Sched> deferred_schedules();
std::vector<u64> deferred_seeds();
// The deferred schedule with `seed`.
inline Sched deferred(u64 seed) { return {chip::Schedule::Deferred, seed}; }
// "Eager seed 0", "Deferred seed 2": for traces and messages.
std::string sched_text(const Sched &s);
// "Eager", "Deferred2": the name printer of parameterised suites, as in
// INSTANTIATE_TEST_SUITE_P(All, Suite, ::testing::ValuesIn(all_schedules()), sched_name).
std::string sched_name(const ::testing::TestParamInfo<Sched> &info);
// How gtest shows a schedule parameter (and CTest lists it).
inline void PrintTo(const Sched &s, std::ostream *os) { *os << sched_text(s); }
// A chip on schedule `s` with the happens-before checker on.
chip::ChipConfig chip_config(const Sched &s);
// An eager chip with the checker off: only for tests that stamp hand-picked
// ids outside the id protocol to see the words, whose findings would say
// only that.
inline chip::ChipConfig unchecked_chip() { return {}; }

// ---- Running firmware code ----

struct FwOutcome {
  bool asserted = false;       // an assertion jumped back to the recovery point
  host::Core::End end = host::Core::End::Returned;
  std::string uart;            // console text (CR LF shown as LF)
  std::string fault;           // model fault or hang text, if any
  std::vector<std::string> findings;  // the checker's findings on the chip so far
};

// A chip model with a firmware core attached; firmware globals start fresh.
class FirmwareRig {
 public:
  // A chip on schedule `s` (eager by default) with the happens-before checker
  // on, so that every run's findings reach ran_clean.
  explicit FirmwareRig(const Sched &s = all_schedules().front());
  explicit FirmwareRig(const chip::ChipConfig &config);
  ~FirmwareRig();
  chip::Chip &chip() { return *chip_; }
  host::Core &core() { return *core_; }
  // Runs `fn` as firmware code with a recovery point set, as the dispatcher
  // does for a handler. The console text returned is what `fn` printed.
  FwOutcome run(const std::function<void()> &fn);
  // Runs `fn` as a handler runs a layer: on a fresh node resynchronised with
  // the engines, then waits for everything the node issued. `after`, when
  // given, receives the node as the wait left it.
  FwOutcome run_layer(const std::function<void(cmd_id_node_t *)> &fn, cmd_id_node_t *after = nullptr);
  // Runs `fn` on a fresh node without resync or wait: for code expected to
  // stop on one of its checks before it issues anything.
  FwOutcome run_checks(const std::function<void(cmd_id_node_t *)> &fn);
  // Commands the four engines have received since the chip was made.
  size_t commands_issued();

 private:
  std::unique_ptr<chip::Chip> chip_;
  std::unique_ptr<host::Core> core_;
};

// One-shot form of FirmwareRig::run on a default rig.
FwOutcome run_firmware(const std::function<void()> &fn);

// Whether a run may leave findings: none, or (for a test that leaves out a
// wait on purpose) at least one.
enum class Races { None, Expected };
// The firmware code returned normally: no assertion, no model fault or hang,
// and no finding of the happens-before checker (or, with Races::Expected, at
// least one).
::testing::AssertionResult ran_clean(const FwOutcome &o, Races races = Races::None);
// The chip's checker has no finding (for cards, whose runs are messages).
::testing::AssertionResult no_findings(const chip::Chip &c);

// ---- Expected assertions ----

// The console shows "<kind> <file>: <function>: <line>: <condition>" with
// <file> under `where` (a path prefix such as "firmware/cmd/"), then
// "ASSERT info: <info>" (which may span lines) ending in a line end, and the
// code jumped back.
::testing::AssertionResult stopped_on(const FwOutcome &out, const std::string &kind, const std::string &where,
                                      const std::string &function, const std::string &condition,
                                      const std::string &info = "none.");

// Runs `fn` on a fresh chip (FirmwareRig::run_checks) and expects it to stop
// on the assertion (as stopped_on) before any engine received a command.
void expect_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &kind,
                   const std::string &where, const std::string &function, const std::string &condition,
                   const std::string &info = "none.");
// The same for code that takes no node.
void expect_assert(const std::function<void()> &fn, const std::string &kind, const std::string &where,
                   const std::string &function, const std::string &condition, const std::string &info = "none.");

// ---- Cards for API suites ----

// Which firmware a card test runs: the host build's, or the delivered ARM
// image in the emulator.
enum class Backend { Native, Emulated };
const char *backend_name(Backend b);
inline void PrintTo(Backend b, std::ostream *os) { *os << backend_name(b); }
// Card options for a backend (the emulated one loads the ARM image built
// beside the host build).
host::CardOptions card_options(Backend b);

// A card for API tests: the deferred schedule with `seed` and the
// happens-before checker on; the test fails if it does not boot.
std::unique_ptr<host::Card> deferred_card(Backend backend, uint64_t seed);

// The cards an API test runs on: three deferred seeds natively, one on the
// ARM image.
struct CardConfig {
  Backend backend;
  uint64_t seed;
};
extern const CardConfig kApiCards[4];
std::string card_config_name(const CardConfig &c);
inline void PrintTo(const CardConfig &c, std::ostream *os) { *os << card_config_name(c); }

// ---- Typed device memory ----

// Values of T put into and got from device memory (DDR): of a firmware rig,
// of a card (through the host's window, as the driver writes it), or of a
// bare chip model.
template <class T>
void put(chip::Chip &c, u64 addr, const std::vector<T> &v) {
  c.ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * sizeof(T));
}
template <class T>
std::vector<T> get(chip::Chip &c, u64 addr, size_t n) {
  std::vector<T> v(n);
  c.ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * sizeof(T));
  return v;
}
template <class T>
void put(FirmwareRig &rig, u64 addr, const std::vector<T> &v) {
  put(rig.chip(), addr, v);
}
template <class T>
std::vector<T> get(FirmwareRig &rig, u64 addr, size_t n) {
  return get<T>(rig.chip(), addr, n);
}
template <class T>
void put(host::Card &card, u64 addr, const std::vector<T> &v) {
  card.write(addr, v.data(), v.size() * sizeof(T));
}
template <class T>
std::vector<T> get(host::Card &card, u64 addr, size_t n) {
  std::vector<T> v(n);
  card.read(addr, v.data(), n * sizeof(T));
  return v;
}
// The older spellings of get and put on a rig.
template <class T>
std::vector<T> read(FirmwareRig &rig, u64 addr, size_t n) {
  return get<T>(rig, addr, n);
}
template <class T>
void store(FirmwareRig &rig, u64 addr, const std::vector<T> &v) {
  put(rig, addr, v);
}

// ---- Running a layer ----

// A rig that runs layer calls as a handler runs them: inputs put into device
// memory with put(), the call run on a fresh node under the rig's schedule
// and waited for, judged by ran_clean, outputs got back with get().
//
//   LayerRunner rig(s);
//   put<float>(rig, kIn, {3, 7, 7, 1});
//   ASSERT_TRUE(rig.call([&](cmd_id_node_t *n) { nodechip_arg(kIn, kNone, kIndex, 1, 1, 1, 4, 3, 0, n); }));
//   EXPECT_EQ(get<float>(rig, kIndex, 1), std::vector<float>{2});
class LayerRunner : public FirmwareRig {
 public:
  explicit LayerRunner(const Sched &s = all_schedules().front()) : FirmwareRig(s) {}
  ::testing::AssertionResult call(const std::function<void(cmd_id_node_t *)> &fn, Races races = Races::None) {
    last_ = run_layer(fn, &node_);
    return ran_clean(last_, races);
  }
  // The outcome of the last call (console text, findings) and its node as
  // the final wait left it.
  const FwOutcome &outcome() const { return last_; }
  const cmd_id_node_t &node() const { return node_; }

 private:
  FwOutcome last_;
  cmd_id_node_t node_ = {0, 0, 0};
};

// A packed record as the words of a message's payload.
template <class T>
std::vector<uint32_t> payload_of(const T &record) {
  static_assert(sizeof(T) % 4 == 0, "records are whole words");
  std::vector<uint32_t> words(sizeof(T) / 4);
  std::memcpy(words.data(), &record, sizeof(T));
  return words;
}

// Bytes read back from the card as values of T (a trailing part dropped).
template <class T>
std::vector<T> values_of(const std::vector<uint8_t> &bytes) {
  std::vector<T> v(bytes.size() / sizeof(T));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}
inline std::vector<float> as_floats(const std::vector<uint8_t> &bytes) { return values_of<float>(bytes); }

// Console text with CR LF turned into LF.
std::string console_text(const std::string &uart);

}  // namespace zv::test
