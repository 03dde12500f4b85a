#include "card.h"

#include <cstring>

#include "runtime/firmware_main.h"
#include "runtime/regs.h"

extern "C" int zvfw_main(void);

namespace zv::host {

namespace {
constexpr uint32_t kSysOffset(uint32_t reg) { return reg - TOP_REG_BASE; }
// Idles of the firmware with no write of its own in between, after which the
// awaited event is taken as never coming.
constexpr int kQuietResumes = 4000;
}  // namespace

Card::Card(const CardOptions &options)
    : chip_(std::make_unique<chip::Chip>(options.chip)) {
  if (options.before_boot) options.before_boot(*chip_);
  if (options.trace) {
    chip_->trace = options.trace;
    chip_->engines.scheduler.trace = [trace = options.trace](const std::string &line) {
      if (line.rfind("issue ", 0) == 0 || line.rfind("restart ", 0) == 0) trace(line);
    };
  }
  if (options.elf.empty()) {
    auto core = std::make_unique<Core>(*chip_);
    core->start(zvfw_main);
    cpu_ = std::move(core);
  } else {
    auto emulator = std::make_unique<emu::ArmCore>(*chip_, options.elf);
    emulator_ = emulator.get();
    cpu_ = std::move(emulator);
  }
  run_until([this] { return chip_->sys.host_peek(kSysOffset(REG_FW_READY)) == FW_READY_MAGIC; },
            "the ready marker");
}

Card::~Card() = default;

void Card::write(uint64_t addr, const void *data, size_t len) {
  if (len == 0) return;
  if (addr >= chip::Chip::kDeviceMemBase)
    chip_->device_memory().store(addr, data, len);
  else
    std::memcpy(chip_->arm_ptr(static_cast<uint32_t>(addr), static_cast<uint32_t>(len)), data, len);
}

void Card::read(uint64_t addr, void *data, size_t len) {
  if (len == 0) return;
  if (addr >= chip::Chip::kDeviceMemBase)
    chip_->device_memory().load(addr, data, len);
  else
    std::memcpy(data, chip_->arm_ptr(static_cast<uint32_t>(addr), static_cast<uint32_t>(len)), len);
}

std::vector<uint8_t> Card::read(uint64_t addr, size_t len) {
  std::vector<uint8_t> out(len);
  read(addr, out.data(), len);
  return out;
}

uint32_t Card::read32(uint64_t addr) {
  uint32_t v;
  read(addr, &v, 4);
  return v;
}

void Card::set_ring_index(uint32_t index) {
  wptr_ = index % API_RING_WORDS;
  chip_->sys.host_poke(kSysOffset(REG_API_WPTR), wptr_);
  chip_->sys.host_poke(kSysOffset(REG_API_RPTR), wptr_);
}

bool Card::post(uint32_t api_id, const std::vector<uint32_t> &payload, uint64_t tag,
                std::optional<uint32_t> param_len) {
  uint32_t len = param_len.value_or(static_cast<uint32_t>(payload.size()));
  bool quit = api_id == API_ID_QUIT;
  if (!quit && (uint64_t{API_MSG_HEADER_WORDS} + len) % API_RING_WORDS == 0) {
    trouble_ = "a message of 7 + " + std::to_string(len) + " words cannot be placed in the ring of " +
               std::to_string(API_RING_WORDS) + " words: the write index would not move";
    return false;
  }
  // The firmware skips a too-long message by its declared length; the host
  // writes only what fits in one message.
  uint32_t words = quit ? 0 : std::min<uint32_t>(len, API_RING_WORDS - API_MSG_HEADER_WORDS);
  uint32_t header[API_MSG_HEADER_WORDS] = {api_id, len, static_cast<uint32_t>(tag),
                                           static_cast<uint32_t>(tag >> 32), 0, 0, 0};
  auto put = [this](uint32_t k, uint32_t v) {
    write32(API_RING_BASE + 4u * ((wptr_ + k) % API_RING_WORDS), v);
  };
  for (uint32_t k = 0; k < API_MSG_HEADER_WORDS; k++) put(k, header[k]);
  for (uint32_t i = 0; i < words; i++) put(API_MSG_HEADER_WORDS + i, i < payload.size() ? payload[i] : 0);
  uint32_t advance = API_MSG_HEADER_WORDS + (quit ? 0 : len);
  uint32_t next = static_cast<uint32_t>((uint64_t{wptr_} + advance) % API_RING_WORDS);
  pending_.push_back({wptr_, next, quit, chip_->time_totals(),
                      chip_->answer_times().size() + pending_.size()});
  wptr_ = next;
  chip_->sys.host_poke(kSysOffset(REG_API_WPTR), wptr_);
  return true;
}

void Card::take_interrupts() {
  const auto &msis = chip_->pcie.msis();
  for (; msis_seen_ < msis.size(); msis_seen_++) {
    const chip::Msi &m = msis[msis_seen_];
    if (m.host_address != chip_->pcie.msi_address() || m.data != chip_->pcie.msi_data()) {
      state_ = State::Faulted;
      trouble_ = "an MSI reached host address " + chip::hex(m.host_address) + " with data " +
                 chip::hex(m.data) + ", not the programmed MSI";
      continue;
    }
    interrupts_++;
    if (!hold_done_) chip_->sys.host_take_done_interrupt();
  }
}

void Card::hold_done_interrupt(bool hold) {
  hold_done_ = hold;
  if (!hold) chip_->sys.host_take_done_interrupt();
}

bool Card::run_until(const std::function<bool()> &done, const char *waiting_for) {
  uint64_t activity = chip_->activity();
  int quiet = 0;
  while (!done()) {
    if (state_ != State::Running) return false;
    if (!cpu_->resume()) {
      switch (cpu_->end()) {
        case chip::Cpu::End::Returned: state_ = State::Stopped; break;
        case chip::Cpu::End::Halted: state_ = State::Halted; break;
        case chip::Cpu::End::Faulted: state_ = State::Faulted; break;
        case chip::Cpu::End::Hung: state_ = State::Hung; break;
      }
      trouble_ = cpu_->fault_text();
      take_interrupts();
      return done();
    }
    take_interrupts();
    if (chip_->activity() != activity) {
      activity = chip_->activity();
      quiet = 0;
    } else if (++quiet > kQuietResumes) {
      state_ = State::Hung;
      trouble_ = std::string("the card stopped making progress while the host waited for ") + waiting_for;
      return false;
    }
  }
  return true;
}

std::vector<Answer> Card::wait_answers() {
  std::vector<Answer> answers;
  const size_t irq_before = interrupts_;
  size_t expected_irqs = 0;
  for (const Pending &p : pending_) expected_irqs += p.quit ? 0 : 1;
  const uint32_t last = pending_.empty() ? wptr_ : pending_.back().next;
  bool all = run_until(
      [&] {
        return chip_->sys.host_peek(kSysOffset(REG_API_RPTR)) == last &&
               interrupts_ - irq_before >= expected_irqs;
      },
      "the answers to the posted messages");
  // When the card stopped serving, only the messages it answered with an
  // interrupt count as answered.
  size_t answered = all ? pending_.size() : interrupts_ - irq_before;
  for (size_t i = 0; i < answered && i < pending_.size(); i++) {
    const Pending &p = pending_[i];
    Answer a;
    a.result = read32(API_RING_BASE + 4u * ((p.index + API_HDR_RESULT) % API_RING_WORDS));
    a.elapsed_us = read32(API_RING_BASE + 4u * ((p.index + API_HDR_ELAPSED_US) % API_RING_WORDS));
    a.interrupt = !p.quit;
    a.timing = timing_of(i);
    answers.push_back(a);
  }
  pending_.clear();
  return answers;
}

Timing Card::timing_of(size_t i) const {
  const Pending &p = pending_[i];
  const auto &answered = chip_->answer_times();
  Timing t;
  if (p.answer >= answered.size()) return t;
  // From the post, or from the answer before when the message waited behind it.
  chip::TimeTotals from = p.posted;
  if (i > 0 && pending_[i - 1].answer < answered.size() && answered[pending_[i - 1].answer].now > from.now)
    from = answered[pending_[i - 1].answer];
  const chip::TimeTotals &to = answered[p.answer];
  auto busy = [&](chip::Agent a) { return to.busy[static_cast<int>(a)] - from.busy[static_cast<int>(a)]; };
  t.elapsed_ps = to.now - from.now;
  t.te_busy_ps = busy(chip::Agent::Bd);
  t.gdma_busy_ps = busy(chip::Agent::Gdma);
  t.cdma_busy_ps = busy(chip::Agent::Cdma);
  t.gde_busy_ps = busy(chip::Agent::Gde);
  t.te_ideal_ps = to.ideal - from.ideal;
  return t;
}

std::optional<Answer> Card::send(uint32_t api_id, const std::vector<uint32_t> &payload, uint64_t tag,
                                 std::optional<uint32_t> param_len) {
  if (!post(api_id, payload, tag, param_len)) return std::nullopt;
  std::vector<Answer> answers = wait_answers();
  if (answers.empty()) return std::nullopt;
  return answers.front();
}

std::optional<Answer> Card::quit(uint32_t param_len) {
  post(API_ID_QUIT, {}, 1, param_len);
  std::vector<Answer> answers = wait_answers();
  if (answers.empty()) return std::nullopt;
  return answers.front();
}

void Card::request_halt() { chip_->sys.host_request_halt(); }

std::optional<std::vector<uint8_t>> Card::i2c_read(uint8_t slave, std::optional<uint8_t> reg,
                                                   uint32_t count) {
  if (reg) {
    if (!chip_->i2c.master_write(slave, {*reg})) return std::nullopt;
    if (!run_until([this] { return chip_->i2c.rx_empty(); }, "the I2C slave to take the register address"))
      return std::nullopt;
  }
  if (!chip_->i2c.master_request_read(slave, count)) return std::nullopt;
  if (!run_until([this] { return chip_->i2c.master_read_complete(); }, "the I2C slave to send its bytes"))
    return std::nullopt;
  return chip_->i2c.master_take_received();
}

std::string Card::console() const {
  const std::string &raw = chip_->uart.text();
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out.push_back(raw[i]);
  }
  return out;
}

std::string Card::log_slot(uint32_t slot) {
  std::vector<uint8_t> bytes =
      read(chip::Chip::kDeviceMemBase + (FW_LOG_RING_BASE - DDR_ARM_BASE) + uint64_t{slot} * FW_LOG_SLOT_SIZE,
           FW_LOG_SLOT_SIZE);
  return std::string(reinterpret_cast<const char *>(bytes.data()),
                     strnlen(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

uint32_t Card::log_offset() const { return chip_->sys.host_peek(kSysOffset(REG_FW_LOG_OFFSET)); }

}  // namespace zv::host
