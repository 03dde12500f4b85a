// Runs one entry of the unary table over a list of float inputs on the chip
// model: the inputs fill an EU-aligned slice from lane 0 (padded with 1.0),
// the entry runs through nodechip_unary_local with three scratch tensors, and
// the outputs come back in input order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bd/bd_rig.h"
#include "local/math.h"

namespace zv::test::local {

struct UnaryRun {
  ::testing::AssertionResult ran = ::testing::AssertionSuccess();
  std::vector<float> out;
  std::vector<float> in_after;  // the input slice after the run
  size_t commands = 0;
};

inline UnaryRun run_unary(int type, const std::vector<float> &inputs, const void *param,
                          Sched sched = {chip::Schedule::Eager, 0}) {
  const er::i64 per_item = 64 * 8 * 8;
  const er::Dim shape{er::i64((inputs.size() + per_item - 1) / per_item), 64, 8, 8};
  const u32 tag = 0x08000000;
  const er::Local x = er::aligned(tag | 0x00000, shape), y = er::aligned(tag | 0x10000, shape);
  const u32 bufs[3] = {0x20000, 0x30000, 0x40000};
  TpuRig rig(sched);
  size_t i = 0;
  rig.fill(x, [&] { return er::bits(i < inputs.size() ? inputs[i++] : 1.0f); });
  rig.fill(y, [] { return 0x7fc00000u; });
  const dim4_t sh{i32(shape.n), i32(shape.c), i32(shape.h), i32(shape.w)};
  UnaryRun r;
  r.ran = rig.run([&](cmd_id_node_t *node) {
    const unary_context_t *ctx = find_unary_context(type);
    nodechip_unary_local(x.addr & ~tag, y.addr & ~tag, bufs, ctx, param, &sh, nullptr, node);
  });
  const auto out = rig.read(y), in = rig.read(x);
  for (size_t k = 0; k < inputs.size(); k++) {
    r.out.push_back(er::f(out[k]));
    r.in_after.push_back(er::f(in[k]));
  }
  r.commands = rig.bd_commands();
  return r;
}

}  // namespace zv::test::local
