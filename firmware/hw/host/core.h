// The host build's stand-in for the chip's ARM core: it runs the natively
// compiled firmware against a chip model, delivers the model's IRQ and FIQ into
// the firmware's handlers between hardware accesses, and turns halts, model
// faults and endless spins into reported outcomes.
//
// Two ways to run firmware code:
//  - call(): a function runs on the calling thread (unit tests of firmware code);
//  - start()/resume(): the firmware's main runs on its own thread, one step at a
//    time: resume() lets it run until it next idles in a spin loop, so the host
//    driver and the firmware never run at once and every run is deterministic.
//
// The firmware's globals are process-wide, so one Core exists at a time; making
// a Core resets them to their initial values, as a reset of the chip does.
#pragma once

#include <setjmp.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "chip/chip.h"
#include "chip/cpu.h"

namespace zv::host {

class Core : public chip::Cpu {
 public:
  using u32 = chip::u32;

  explicit Core(chip::Chip &chip);
  ~Core();
  Core(const Core &) = delete;
  Core &operator=(const Core &) = delete;

  chip::Chip &chip() { return chip_; }
  static Core *current();

  // Runs `fn` as firmware code on this thread.
  End call(const std::function<void()> &fn);

  // Starts `entry` on the firmware thread; it runs only inside resume().
  void start(int (*entry)());
  // Lets the firmware run until it next idles, halts or faults. Returns whether
  // it can still run.
  bool resume() override;
  bool finished() const { return finished_; }
  End end() const override { return end_; }
  const std::string &fault_text() const override { return fault_; }

  // ---- The hw layer (called on the thread that runs firmware code) ----
  u32 read32(u32 addr);
  void write32(u32 addr, u32 value);
  void *ptr(u32 addr, u32 bytes);
  [[noreturn]] void halt();
  void idle();

 private:
  // Leaves the running firmware code; `why` (when given) replaces the fault text.
  [[noreturn]] void stop(End how, const char *why);
  void after_access();
  void deliver_interrupts();

  chip::Chip &chip_;
  jmp_buf stop_point_;
  bool stop_point_set_ = false;
  End end_ = End::Returned;
  std::string fault_;

  // CPSR mask state of the modelled core: reset leaves IRQ and FIQ enabled.
  bool irq_enabled_ = true;
  bool fiq_enabled_ = true;

  // Hang detection: idles without any ARM write in between, and register
  // accesses without an idle in between.
  chip::u64 activity_at_idle_ = 0;
  chip::u64 quiet_idles_ = 0;
  chip::u64 accesses_since_idle_ = 0;

  // Baton between the host thread and the firmware thread.
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool firmware_turn_ = false;
  bool finished_ = false;
  bool stop_requested_ = false;
};

// Resets the firmware's globals to their initial values (done by Core's
// constructor; exposed for tools that need it explicitly).
void reset_firmware_globals();

}  // namespace zv::host
