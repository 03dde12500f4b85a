// A chip with the firmware attached for the tensor engine's element-wise
// commands: operands written into local memory from the host side, generators
// run as firmware code that then waits for the engines, under a chosen
// schedule with the happens-before checker on.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "ref/eltwise_ref.h"

namespace zv::test {

namespace er = zv::ref::eltwise;

// Local-memory addresses as the generators take them: the local tag, lane in
// bits 19-24, byte offset within the lane below.
constexpr u32 kTag = 0x08000000;
inline u32 lane(u32 l, u32 offset) { return kTag | l << 19 | offset; }
inline dim4_t d4(const er::Dim &d) { return dim4_t{i32(d.n), i32(d.c), i32(d.h), i32(d.w)}; }

class BdRig {
 public:
  explicit BdRig(Sched s = {chip::Schedule::Eager, 0}) : rig_(s) {}

  chip::Chip &chip() { return rig_.chip(); }

  // Runs `fn` as firmware code on a fresh node and waits for both engines.
  ::testing::AssertionResult run(const std::function<void(cmd_id_node_t *)> &fn) {
    return ran_clean(rig_.run_layer(fn, &ids_));
  }
  // The node after the last run.
  const cmd_id_node_t &ids() const { return ids_; }
  size_t bd_commands() const { return rig_chip().engines.bd.commands().size(); }

  u32 get(u64 addr, u32 size = 4) {
    u32 v = 0;
    chip().local.load(addr, &v, size);
    return v;
  }
  void put(u64 addr, u32 v, u32 size = 4) { chip().local.store(addr, &v, size); }
  float getf(u64 addr) { return er::f(get(addr)); }

  // Fills every element of `t` with values from `gen` (raw bits of its size)
  // and returns them in (n, c, h, w) order.
  std::vector<u32> fill(const er::Local &t, const std::function<u32()> &gen) {
    std::vector<u32> v;
    for (i64 n = 0; n < t.shape.n; n++)
      for (i64 c = 0; c < t.shape.c; c++)
        for (i64 h = 0; h < t.shape.h; h++)
          for (i64 w = 0; w < t.shape.w; w++) {
            v.push_back(gen());
            put(t.at(n, c, h, w), v.back(), t.size);
          }
    return v;
  }
  std::vector<u32> read(const er::Local &t) {
    std::vector<u32> v;
    for (i64 n = 0; n < t.shape.n; n++)
      for (i64 c = 0; c < t.shape.c; c++)
        for (i64 h = 0; h < t.shape.h; h++)
          for (i64 w = 0; w < t.shape.w; w++) v.push_back(get(t.at(n, c, h, w), t.size));
    return v;
  }

 private:
  using i64 = er::i64;
  const chip::Chip &rig_chip() const { return const_cast<FirmwareRig &>(rig_).chip(); }

  FirmwareRig rig_;
  cmd_id_node_t ids_ = {0, 0, 0};
};

// Small float values (multiples of 1/8 in [-16, 16)) and random 32-bit words.
struct Values {
  std::mt19937 rng;
  explicit Values(u32 seed) : rng(seed) {}
  u32 small_float() { return er::bits(float(int(rng() % 256) - 128) / 8.0f); }
  u32 word() { return rng(); }
  u32 below(u32 n) { return rng() % n; }
};

}  // namespace zv::test

namespace zv::test {

// Runs `fn` as firmware code and expects it to stop on the assertion of `kind`
// ("ASSERT" or "ASSERT_FS") in `function` with `condition` and `info`, before
// any command of its own was issued.
inline void expect_bd_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &kind,
                             const std::string &function, const std::string &condition,
                             const std::string &info = "none.") {
  expect_assert(fn, kind, "firmware/cmd/", function, condition, info);
}

// The descriptors a generator issues, taken from the tensor engine's record with
// the element-wise kinds not executed (so shapes beyond local memory can be
// planned).
inline std::vector<chip::Descriptor> issued(const std::function<void(cmd_id_node_t *)> &fn) {
  FirmwareRig rig;
  for (u32 task : {3u, 6u, 7u, 8u, 9u, 10u, 13u, 14u})
    rig.chip().engines.bd.kinds().add(task, "planned only", [](const chip::BdCommand &, chip::Bus &) {});
  const FwOutcome out = rig.run_checks(fn);
  EXPECT_FALSE(out.asserted) << out.uart;
  std::vector<chip::Descriptor> d;
  for (const auto &r : rig.chip().engines.bd.commands()) d.push_back(r.descriptor);
  return d;
}

}  // namespace zv::test
