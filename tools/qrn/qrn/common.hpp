// Process-wide state of the qrn framework: run mode, random seed, start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>

namespace qrn {

// Parses the command-line flags (removing them from argc/argv, leaving the
// program name and positional words) and starts logging.
void GlobalInit(int* argc, char*** argv);

class Qrn {
 public:
  enum Brew { FP32 = 0, INT8 = 1 };

  static Qrn& Get();

  Brew mode() const { return mode_; }
  void set_mode(Brew mode) { mode_ = mode; }

  // Seed of every random filler and data layer created after the call.
  uint32_t random_seed() const { return seed_; }
  void set_random_seed(uint32_t seed) { seed_ = seed; }

 private:
  Qrn() = default;
  Brew mode_ = FP32;
  uint32_t seed_ = 1234;
};

// Wall-clock stopwatch.
class Timer {
 public:
  void Start();
  void Stop();
  // Seconds between the last Start and Stop (or now, while running).
  float Seconds() const;
  float MilliSeconds() const { return Seconds() * 1000.0f; }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point start_{}, stop_{};
  bool running_ = false;
};

// Stable 32-bit hash of a text (FNV-1a), used to give each layer its own
// random stream.
uint32_t NameHash(const std::string& text);

}  // namespace qrn
