// Runs one entry of the unary table over a list of float inputs on the chip
// model: the inputs fill an EU-aligned slice from lane 0 (padded with 1.0),
// the entry runs through nodechip_unary_local with three scratch tensors, and
// the outputs come back in input order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bd_rig.h"
#include "local/math.h"
#include "local/tagged_math.h"

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
  BdRig rig(sched);
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

// The element-wise routines on tagged operands, run the same way: x = e^x and
// x = ln x in place (the result read from x), sigmoid and tanh into y, x^n
// into y.
enum class Tagged { Ex, Lnx, Sigmoid, Tanh, Xn };

inline UnaryRun run_tagged(Tagged which, const std::vector<float> &inputs, int n = 0,
                           Sched sched = {chip::Schedule::Eager, 0}) {
  const er::i64 per_item = 64 * 8 * 8;
  const er::Dim shape{er::i64((inputs.size() + per_item - 1) / per_item), 64, 8, 8};
  const u32 tag = 0x08000000;
  const er::Local x = er::aligned(tag | 0x00000, shape), y = er::aligned(tag | 0x10000, shape);
  const u32 w = tag | 0x20000;
  BdRig rig(sched);
  size_t i = 0;
  rig.fill(x, [&] { return er::bits(i < inputs.size() ? inputs[i++] : 1.0f); });
  rig.fill(y, [] { return 0x7fc00000u; });
  const int N = int(shape.n), C = 64, H = 8, W = 8;
  UnaryRun r;
  r.ran = rig.run([&](cmd_id_node_t *node) {
    switch (which) {
      case Tagged::Ex:
        tensor_ex(x.addr, w, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF, N, C, H, W, node);
        break;
      case Tagged::Lnx:
        tensor_lnx(x.addr, w, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF, N, C, H, W, node);
        break;
      case Tagged::Sigmoid: tensor_sigmoid(x.addr & ~tag, y.addr & ~tag, w & ~tag, N, C, H, W, node); break;
      case Tagged::Tanh: tensor_tanh(x.addr & ~tag, y.addr & ~tag, w & ~tag, N, C, H, W, node); break;
      case Tagged::Xn: tensor_xn(x.addr, y.addr, n, N, C, H, W, node); break;
    }
  });
  const bool in_place = which == Tagged::Ex || which == Tagged::Lnx;
  const auto out = rig.read(in_place ? x : y), in = rig.read(x);
  for (size_t k = 0; k < inputs.size(); k++) {
    r.out.push_back(er::f(out[k]));
    r.in_after.push_back(er::f(in[k]));
  }
  r.commands = rig.bd_commands();
  return r;
}

}  // namespace zv::test::local
