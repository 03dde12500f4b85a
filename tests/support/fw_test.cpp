#include "fw_test.h"

#include <setjmp.h>
#include <stdlib.h>

#include "runtime/assert.h"
#include "runtime/engine_wait.h"

namespace zv::test {

// ---- Schedules ----

std::vector<Sched> schedules_limited_to(const char *limit) {
  std::vector<Sched> list = {{chip::Schedule::Eager, 0},
                             {chip::Schedule::Deferred, 1},
                             {chip::Schedule::Deferred, 2},
                             {chip::Schedule::Deferred, 3}};
  const long n = limit ? strtol(limit, nullptr, 10) : 0;
  if (n >= 2 && n < (long)list.size()) list.resize((size_t)n);
  return list;
}

const std::vector<Sched> &all_schedules() {
  static const std::vector<Sched> list = schedules_limited_to(getenv("ZV_SCHEDULES"));
  return list;
}

std::vector<Sched> deferred_schedules() {
  std::vector<Sched> out;
  for (const Sched &s : all_schedules())
    if (s.schedule == chip::Schedule::Deferred) out.push_back(s);
  return out;
}

std::vector<u64> deferred_seeds() {
  std::vector<u64> out;
  for (const Sched &s : deferred_schedules()) out.push_back(s.seed);
  return out;
}

std::string sched_text(const Sched &s) {
  return std::string(chip::schedule_name(s.schedule)) + " seed " + std::to_string(s.seed);
}

std::string sched_name(const ::testing::TestParamInfo<Sched> &info) {
  const Sched &s = info.param;
  return s.schedule == chip::Schedule::Eager ? "Eager" : "Deferred" + std::to_string(s.seed);
}

chip::ChipConfig chip_config(const Sched &s) {
  chip::ChipConfig c;
  c.engines = {s.schedule, s.seed, true};
  return c;
}

// ---- Running firmware code ----

std::string console_text(const std::string &raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out.push_back(raw[i]);
  }
  return out;
}

FirmwareRig::FirmwareRig(const chip::ChipConfig &config)
    : chip_(std::make_unique<chip::Chip>(config)), core_(std::make_unique<host::Core>(*chip_)) {}

FirmwareRig::FirmwareRig(const Sched &s) : FirmwareRig(chip_config(s)) {}

FirmwareRig::~FirmwareRig() = default;

FwOutcome FirmwareRig::run(const std::function<void()> &fn) {
  FwOutcome out;
  size_t printed_before = chip_->uart.text().size();
  bool asserted = false;
  out.end = core_->call([&] {
    error_stat_armed = 1;
    if (setjmp(error_stat) == 0)
      fn();
    else
      asserted = true;
    error_stat_armed = 0;
  });
  out.asserted = asserted;
  out.uart = console_text(chip_->uart.text().substr(printed_before));
  out.fault = core_->fault_text();
  out.findings = chip_->engines.findings();
  return out;
}

FwOutcome FirmwareRig::run_layer(const std::function<void(cmd_id_node_t *)> &fn, cmd_id_node_t *after) {
  return run([&] {
    cmd_id_node_t node = {0, 0, 0};
    resync_cmd_id(&node);
    fn(&node);
    poll_all_engine_done(&node);
    if (after != nullptr) *after = node;
  });
}

FwOutcome FirmwareRig::run_checks(const std::function<void(cmd_id_node_t *)> &fn) {
  return run([&] {
    cmd_id_node_t node = {0, 0, 0};
    fn(&node);
  });
}

size_t FirmwareRig::commands_issued() {
  const auto &e = chip_->engines;
  return e.bd.commands().size() + e.gdma.commands().size() + e.cdma.commands().size() + e.gde.commands().size();
}

FwOutcome run_firmware(const std::function<void()> &fn) {
  FirmwareRig rig;
  return rig.run(fn);
}

namespace {

::testing::AssertionResult with_findings(::testing::AssertionResult r, const std::vector<std::string> &findings) {
  r << "checker findings:";
  for (const auto &line : findings) r << "\n  " << line;
  return r;
}

}  // namespace

::testing::AssertionResult ran_clean(const FwOutcome &o, Races races) {
  if (o.asserted || o.end != host::Core::End::Returned || !o.fault.empty())
    return ::testing::AssertionFailure() << (o.asserted ? "asserted: " : "stopped: ") << o.uart << o.fault;
  if (races == Races::Expected) {
    if (o.findings.empty()) return ::testing::AssertionFailure() << "the checker found no race";
    return ::testing::AssertionSuccess();
  }
  if (!o.findings.empty()) return with_findings(::testing::AssertionFailure(), o.findings);
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult no_findings(const chip::Chip &c) {
  const auto findings = c.engines.findings();
  if (!findings.empty()) return with_findings(::testing::AssertionFailure(), findings);
  return ::testing::AssertionSuccess();
}

// ---- Expected assertions ----

::testing::AssertionResult stopped_on(const FwOutcome &out, const std::string &kind, const std::string &where,
                                      const std::string &function, const std::string &condition,
                                      const std::string &info) {
  if (!out.asserted) return ::testing::AssertionFailure() << "no assertion: " << out.uart << out.fault;
  const size_t first_end = out.uart.find('\n');
  if (first_end == std::string::npos) return ::testing::AssertionFailure() << "no assertion line: " << out.uart;
  const std::string first = out.uart.substr(0, first_end);
  const std::string rest = out.uart.substr(first_end + 1);
  const std::string tail = ": " + condition;
  if (first.rfind(kind + " " + where, 0) != 0)
    return ::testing::AssertionFailure() << "not " << kind << " in " << where << ": " << first;
  if (first.find(": " + function + ": ") == std::string::npos)
    return ::testing::AssertionFailure() << "not in " << function << ": " << first;
  if (first.size() < tail.size() || first.compare(first.size() - tail.size(), tail.size(), tail) != 0)
    return ::testing::AssertionFailure() << "not the condition " << condition << ": " << first;
  if (rest.rfind("ASSERT info: " + info + "\n", 0) != 0)
    return ::testing::AssertionFailure() << "after the assertion line \"" << rest << "\", want \"ASSERT info: " << info
                                         << "\" and a line end";
  return ::testing::AssertionSuccess();
}

void expect_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &kind,
                   const std::string &where, const std::string &function, const std::string &condition,
                   const std::string &info) {
  FirmwareRig rig;
  const FwOutcome out = rig.run_checks(fn);
  EXPECT_TRUE(stopped_on(out, kind, where, function, condition, info));
  EXPECT_EQ(rig.commands_issued(), 0u) << "a command was issued before the check failed";
}

void expect_assert(const std::function<void()> &fn, const std::string &kind, const std::string &where,
                   const std::string &function, const std::string &condition, const std::string &info) {
  expect_assert([&](cmd_id_node_t *) { fn(); }, kind, where, function, condition, info);
}

// ---- Cards for API suites ----

const char *backend_name(Backend b) { return b == Backend::Native ? "Native" : "Emulated"; }

host::CardOptions card_options(Backend b) {
  host::CardOptions options;
  if (b == Backend::Emulated) options.elf = ZV_ARM_ELF;
  return options;
}

std::unique_ptr<host::Card> deferred_card(Backend backend, uint64_t seed) {
  host::CardOptions options = card_options(backend);
  options.chip.engines = {chip::Schedule::Deferred, seed, true};
  auto card = std::make_unique<host::Card>(options);
  EXPECT_EQ(card->state(), host::Card::State::Running) << card->trouble();
  return card;
}

const CardConfig kApiCards[4] = {
    {Backend::Native, 1}, {Backend::Native, 2}, {Backend::Native, 3}, {Backend::Emulated, 4}};

std::string card_config_name(const CardConfig &c) {
  return std::string(backend_name(c.backend)) + " seed " + std::to_string(c.seed);
}

}  // namespace zv::test
