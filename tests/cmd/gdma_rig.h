// A chip with the firmware attached, some memory windows filled with a known
// pattern and mirrored in a reference image, and the runs of GDMA generators
// under a chosen schedule with the happens-before checker on.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "cmd/gdma.h"
#include "ref/tensor_ref.h"

namespace zv::test {

constexpr u64 kDdr = 0x100000000ull;

class GdmaRig {
 public:
  explicit GdmaRig(Sched s = {chip::Schedule::Eager, 0}) : rig_(s), rng_(s.seed * 7919 + 17) {}

  chip::Chip &chip() { return rig_.chip(); }
  ref::Image &image() { return image_; }

  // A window of device memory (or of any engine address) filled with random bytes.
  void window(u64 base, size_t len) {
    std::vector<u8> bytes(len);
    for (auto &b : bytes) b = static_cast<u8>(rng_());
    put(base, bytes);
  }
  // A window filled with float32 values v such that 2v is an integer in [-600, 600].
  void float_window(u64 base, size_t count) {
    std::vector<u8> bytes(count * 4);
    for (size_t i = 0; i < count; i++) {
      const float f = static_cast<float>(static_cast<int>(rng_() % 1201) - 600) / 2.0f;
      std::memcpy(&bytes[4 * i], &f, 4);
    }
    put(base, bytes);
  }
  // The same bytes at `offset` of each of `lanes` lanes from `first`.
  void lane_windows(int first, int lanes, u64 offset, size_t len, bool floats = false) {
    for (int l = first; l < first + lanes; l++) {
      if (floats)
        float_window(ref::lane_addr(l, offset), len / 4);
      else
        window(ref::lane_addr(l, offset), len);
    }
  }
  void put(u64 addr, const std::vector<u8> &bytes) {
    memory(addr, bytes.size()).store(addr, bytes.data(), bytes.size());
    image_.add(addr, bytes);
  }
  void put_f32(u64 addr, float v) {
    memory(addr, 4).store(addr, &v, 4);
    image_.put(addr, &v, 4);
  }

  // Runs `issue` as firmware code on a fresh node, then waits for the node.
  FwOutcome run(const std::function<void(cmd_id_node_t *)> &issue) { return rig_.run_layer(issue); }
  FwOutcome run_raw(const std::function<void()> &fn) { return rig_.run(fn); }
  FwOutcome run_checks(const std::function<void(cmd_id_node_t *)> &fn) { return rig_.run_checks(fn); }
  size_t commands_issued() { return rig_.commands_issued(); }

  // Every window of the image equals the chip's memory; the first differing
  // bytes are named.
  ::testing::AssertionResult matches() {
    for (const auto &[base, bytes] : image_.windows()) {
      std::vector<u8> got(bytes.size());
      memory(base, got.size()).load(base, got.data(), got.size());
      for (size_t i = 0; i < got.size(); i++)
        if (got[i] != bytes[i]) {
          std::ostringstream o;
          o << "byte at 0x" << std::hex << base + i << ": model 0x" << int(got[i]) << ", reference 0x"
            << int(bytes[i]);
          return ::testing::AssertionFailure() << o.str();
        }
    }
    return ::testing::AssertionSuccess();
  }

  // The 23 words of the GDMA command window.
  std::vector<u32> window_words() {
    std::vector<u32> w;
    for (u32 i = 0; i < 23; i++) w.push_back(chip().engines.gdma.read32(chip::GdmaEngine::kWindow + 4 * i));
    return w;
  }
  size_t gdma_commands() { return chip().engines.gdma.commands().size(); }
  const chip::CommandRecord &gdma_command(size_t i) { return chip().engines.gdma.commands().at(i); }

 private:
  chip::Memory &memory(u64 addr, size_t len) { return chip().engines.bus.memory_at(addr, len); }

  FirmwareRig rig_;
  ref::Image image_;
  std::mt19937_64 rng_;
};

// Runs firmware code and expects the assertion `condition` in `function` of
// the GDMA sources, explained by `info`; nothing may reach the GDMA window.
inline void expect_gdma_assert(const std::function<void(cmd_id_node_t *)> &issue, const std::string &kind,
                               const std::string &function, const std::string &condition,
                               const std::string &info) {
  GdmaRig rig;
  const std::vector<u32> window = rig.window_words();
  const FwOutcome out = rig.run_checks(issue);
  EXPECT_TRUE(stopped_on(out, kind, "firmware/cmd/gdma_", function, condition, info));
  EXPECT_EQ(rig.commands_issued(), 0u);
  EXPECT_EQ(rig.window_words(), window) << "nothing is written to the window before the checks pass";
}

}  // namespace zv::test
