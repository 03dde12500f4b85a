#include "core.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "runtime/assert.h"

extern "C" {
void do_irq(unsigned *frame);
void do_fiq(unsigned *frame);
}

namespace zv::host {

namespace {
Core *g_current = nullptr;

// A firmware that idles this often with no write in between, while nothing
// outside changes, is stuck (direct calls only; the host driver judges its own).
constexpr chip::u64 kQuietIdleLimit = 100000;
// Register accesses without any idle in between: an endless spin that never
// calls hw_idle.
constexpr chip::u64 kSpinLimit = 400000000;
// How long the firmware may run without idling before the host gives up: a
// large valid request (a 2048^3 GEMM on the chip model) runs for minutes of
// host time. ZV_NO_IDLE_LIMIT sets it in seconds; 0 waits without a limit.
constexpr long long kDefaultNoIdleLimit = 1800;

std::chrono::seconds no_idle_limit() {
  static const std::chrono::seconds limit = [] {
    const char *text = std::getenv("ZV_NO_IDLE_LIMIT");
    if (text == nullptr || *text == '\0') return std::chrono::seconds(kDefaultNoIdleLimit);
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (*end != '\0' || v < 0) {
      std::fprintf(stderr, "zv host: ZV_NO_IDLE_LIMIT=%s is not a number of seconds; using %lld\n", text,
                   kDefaultNoIdleLimit);
      return std::chrono::seconds(kDefaultNoIdleLimit);
    }
    return std::chrono::seconds(v);
  }();
  return limit;
}
constexpr int kFrameWords = 18;

const char *end_name(Core::End e) {
  switch (e) {
    case Core::End::Returned: return "returned";
    case Core::End::Halted: return "halted";
    case Core::End::Faulted: return "faulted";
    case Core::End::Hung: return "hung";
  }
  return "?";
}
// The floating-point mode firmware code runs in. Boot sets the ARM's VFP to
// flush-to-zero and default NaN; the SSE unit's counterparts are MXCSR's
// flush-to-zero and denormals-are-zero bits (per thread), so that a denormal
// operand or result is zero on both. The chip model keeps the host's own mode:
// its engines compute what the model says, whichever thread runs them.
#if defined(__SSE__)
constexpr unsigned kFlushToZero = 0x8000u, kDenormalsAreZero = 0x0040u;
unsigned enter_firmware_fp() {
  const unsigned was = _mm_getcsr();
  _mm_setcsr(was | kFlushToZero | kDenormalsAreZero);
  return was;
}
unsigned enter_model_fp() {
  const unsigned was = _mm_getcsr();
  _mm_setcsr(was & ~(kFlushToZero | kDenormalsAreZero));
  return was;
}
void restore_fp(unsigned mode) { _mm_setcsr(mode); }
#else
unsigned enter_firmware_fp() { return 0; }
unsigned enter_model_fp() { return 0; }
void restore_fp(unsigned) {}
#endif
}  // namespace

Core::Core(chip::Chip &chip) : chip_(chip) {
  if (g_current != nullptr) {
    std::fprintf(stderr, "zv host: a second firmware core was created while one exists\n");
    std::abort();
  }
  reset_firmware_globals();
  g_current = this;
}

Core::~Core() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_requested_ = true;
      firmware_turn_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  g_current = nullptr;
}

Core *Core::current() {
  if (g_current == nullptr) {
    std::fprintf(stderr, "zv host: firmware code ran with no core attached\n");
    std::abort();
  }
  return g_current;
}

Core::End Core::call(const std::function<void()> &fn) {
  end_ = End::Returned;
  fault_.clear();
  quiet_idles_ = 0;
  stop_point_set_ = true;
  const unsigned fp = enter_firmware_fp();
  if (setjmp(stop_point_) == 0) fn();
  restore_fp(fp);
  stop_point_set_ = false;
  return end_;
}

void Core::start(int (*entry)()) {
  thread_ = std::thread([this, entry] {
    // The reset routine's register writes: the interrupt controller quiet.
    // (Its processor set-up has no counterpart here; IRQ and FIQ start enabled.)
    for (u32 offset : {0x00u, 0x04u, 0x10u, 0x14u, 0xc0u, 0xc8u}) chip_.arm_write32(0x50023000u + offset, 0);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return firmware_turn_; });
    }
    if (!stop_requested_) call([entry] { entry(); });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      firmware_turn_ = false;
    }
    cv_.notify_all();
  });
}

bool Core::resume() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finished_) return false;
  firmware_turn_ = true;
  cv_.notify_all();
  const std::chrono::seconds limit = no_idle_limit();
  if (limit.count() == 0) {
    cv_.wait(lock, [this] { return !firmware_turn_; });
  } else if (!cv_.wait_for(lock, limit, [this] { return !firmware_turn_; })) {
    std::fprintf(stderr, "zv host: the firmware ran %lld s without idling; giving up\n",
                 static_cast<long long>(limit.count()));
    std::abort();
  }
  return !finished_;
}

void Core::stop(End how, const char *why) {
  end_ = how;
  if (why != nullptr) fault_ = why;
  if (!stop_point_set_) {
    std::fprintf(stderr, "zv host: firmware %s outside a run: %s\n", end_name(how), fault_.c_str());
    std::abort();
  }
  longjmp(stop_point_, 1);
}

u32 Core::read32(u32 addr) {
  u32 value = 0;
  bool faulted = false;
  const unsigned fp = enter_model_fp();
  try {
    value = chip_.arm_read32(addr);
  } catch (const chip::Fault &f) {
    faulted = true;
    fault_ = f.what();
  }
  restore_fp(fp);
  if (faulted) stop(End::Faulted, nullptr);
  after_access();
  return value;
}

void Core::write32(u32 addr, u32 value) {
  bool faulted = false;
  const unsigned fp = enter_model_fp();
  try {
    chip_.arm_write32(addr, value);
  } catch (const chip::Fault &f) {
    faulted = true;
    fault_ = f.what();
  }
  restore_fp(fp);
  if (faulted) stop(End::Faulted, nullptr);
  after_access();
}

void *Core::ptr(u32 addr, u32 bytes) {
  void *p = nullptr;
  bool faulted = false;
  const unsigned fp = enter_model_fp();
  try {
    p = chip_.arm_ptr(addr, bytes);
  } catch (const chip::Fault &f) {
    faulted = true;
    fault_ = f.what();
  }
  restore_fp(fp);
  if (faulted) stop(End::Faulted, nullptr);
  return p;
}

void Core::halt() { stop(End::Halted, "the core halted"); }

void Core::after_access() {
  if (++accesses_since_idle_ > kSpinLimit)
    stop(End::Hung, "the firmware spins on registers without idling");
  deliver_interrupts();
}

void Core::deliver_interrupts() {
  if (fiq_enabled_ && chip_.fiq_line()) {
    bool irq_was = irq_enabled_;
    fiq_enabled_ = irq_enabled_ = false;
    unsigned frame[kFrameWords] = {};
    do_fiq(frame);
    fiq_enabled_ = true;
    irq_enabled_ = irq_was;
  }
  if (irq_enabled_ && chip_.irq_line()) {
    chip_.irq_taken();
    irq_enabled_ = false;
    unsigned frame[kFrameWords] = {};
    do_irq(frame);
    irq_enabled_ = true;
  }
}

void Core::idle() {
  accesses_since_idle_ = 0;
  deliver_interrupts();
  if (!thread_.joinable() || std::this_thread::get_id() != thread_.get_id()) {
    if (chip_.activity() != activity_at_idle_) {
      activity_at_idle_ = chip_.activity();
      quiet_idles_ = 0;
    } else if (++quiet_idles_ > kQuietIdleLimit) {
      stop(End::Hung, "the firmware waits for something that never happens");
    }
    return;
  }
  bool stop_now;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    firmware_turn_ = false;
    cv_.notify_all();
    cv_.wait(lock, [this] { return firmware_turn_; });
    stop_now = stop_requested_;
  }
  if (stop_now) stop(End::Halted, "the card was switched off");
}

}  // namespace zv::host

// ---- The hw layer of the host build ----
using zv::host::Core;

extern "C" {
u32 hw_read32(u32 addr) { return Core::current()->read32(addr); }
void hw_write32(u32 addr, u32 value) { Core::current()->write32(addr, value); }
void *hw_ptr(u32 addr, u32 bytes) { return Core::current()->ptr(addr, bytes); }
void hw_halt(void) { Core::current()->halt(); }
void hw_idle(void) { Core::current()->idle(); }
}
