#include "qrn/common.hpp"

#include <gflags/gflags.h>
#include <glog/logging.h>

namespace qrn {

void GlobalInit(int* argc, char*** argv) {
  gflags::ParseCommandLineFlags(argc, argv, true);
  google::InitGoogleLogging((*argv)[0]);
}

Qrn& Qrn::Get() {
  static Qrn instance;
  return instance;
}

void Timer::Start() {
  start_ = Clock::now();
  running_ = true;
}

void Timer::Stop() {
  if (running_) {
    stop_ = Clock::now();
    running_ = false;
  }
}

float Timer::Seconds() const {
  const Clock::time_point end = running_ ? Clock::now() : stop_;
  return std::chrono::duration<float>(end - start_).count();
}

uint32_t NameHash(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

}  // namespace qrn
