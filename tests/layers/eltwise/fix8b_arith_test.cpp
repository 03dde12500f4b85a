// 8-bit weighted sum and arithmetic shift on 4N tensors: the slice plans by
// table, both layers bit-exact against integer references over signs, ReLU,
// every shift mode and kind and shapes that cut groups and rows, under every
// schedule with the happens-before checker; and the assertions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/fix8b_arith.h"
#include "norm_rig.h"
#include "ref/fix8b_affine_ref.h"

namespace zv::test {
namespace {

using namespace norm;
namespace fr = ref::fix8b;

constexpr u64 kA = 0x100000000ull;
constexpr u64 kB = 0x104000000ull;
constexpr u64 kOut = 0x108000000ull;

TEST(Fix8bArithPlan, Slices) {
  struct Case {
    const char *what;
    bool shift;
    int n, c, h, w, items, rows;
  };
  const Case cases[] = {
      {"all items", false, 6, 70, 3, 5, 6, 3},
      {"groups a slice", false, 40, 64, 32, 32, 40, 32},
      {"one group, rows", false, 9, 3, 200, 200, 4, 81},
      {"shift: rows less a margin", true, 9, 3, 200, 200, 4, 81},
      {"shift: margin matters", true, 4, 1, 200, 128, 4, 127},
      {"sum: no margin", false, 4, 1, 200, 128, 4, 128},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FwOutcome o = run_firmware([&] {
      fix8b_slice_plan_t p;
      if (k.shift) {
        arith_shift_fix8b_plan_of(&p, k.n, k.c, k.h, k.w);
      } else {
        eltwise_fix8b_plan_of(&p, k.n, k.c, k.h, k.w);
      }
      EXPECT_EQ(p.items, k.items);
      EXPECT_EQ(p.rows, k.rows);
    });
    EXPECT_TRUE(ran_clean(o));
  }
  expect_assert([] { fix8b_slice_plan_t p; eltwise_fix8b_plan_of(&p, 4, 64, 2, 20000); }, "ASSERT_FS",
                "firmware/layers/", "plan_slices", "n_slice > 0 && h_slice > 0");
}

struct Shape4 {
  int n, c, h, w;
  size_t chw() const { return size_t(c) * h * w; }
  size_t bytes4n() const { return size_t((n + 3) / 4) * chw() * 4; }
};

class Fix8bArithLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(Fix8bArithLayer, WeightedSum) {
  struct Case {
    const char *what;
    Shape4 s;
    int scale_A, scale_B, sign_A, sign_B, rshift_A, rshift_B, relu;
  };
  const Case cases[] = {
      {"both signed, relu", {5, 70, 3, 5}, 100, 57, 1, 1, 6, 5, 1},
      {"both unsigned, relu: no maximum, unsigned", {6, 3, 4, 4}, 90, 30, 0, 0, 7, 6, 1},
      {"one signed, no relu: signed", {4, 130, 2, 3}, 127, 64, 0, 1, 7, 6, 0},
      {"scale_A 0: only B", {3, 9, 2, 2}, 0, 77, 1, 1, 3, 6, 0},
      {"groups a slice", {72, 16, 32, 32}, 45, 99, 1, 0, 6, 7, 0},
      {"rows a slice", {9, 3, 200, 200}, 45, 99, 1, 1, 5, 5, 1},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<uint8_t> a = spread_bytes(k.s.bytes4n(), 1), b = spread_bytes(k.s.bytes4n(), 2);
    put(rig, kA, a.data(), a.size());
    put(rig, kB, b.data(), b.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_eltwise_fix8b_forward_parallel(kA, kB, kOut, k.s.n, k.s.c, k.s.h, k.s.w, 0, k.scale_A, k.scale_B,
                                              k.sign_A, k.sign_B, k.rshift_A, k.rshift_B, k.relu, node);
    }));
    const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, k.s.bytes4n());
    const bool s = !k.relu && (k.sign_A || k.sign_B);
    for (size_t i = 0; i < size_t(k.s.n); i++)
      for (size_t e = 0; e < k.s.chw(); e++) {
        const size_t at = fr::at_4n(i, e, k.s.chw());
        fr::i64 t = fr::sat(fr::rshift_round(fr::value8(a[at], k.sign_A) * k.scale_A, k.rshift_A), 16, true);
        t = fr::sat(fr::rshift_round(t * (fr::i64{1} << k.rshift_B) + fr::value8(b[at], k.sign_B) * k.scale_B, k.rshift_B),
                    16, true);
        if (k.relu && (k.sign_A || k.sign_B) && t < 0) t = 0;
        ASSERT_EQ(int(out[at]), int(fr::byte_of(fr::sat(t, 8, s)))) << "item " << i << " element " << e;
      }
  }
}

TEST_P(Fix8bArithLayer, ArithmeticShift) {
  struct Case {
    const char *what;
    Shape4 s;
    int kind, value, mode, sign;
  };
  const Case cases[] = {
      {"constant left by 2", {5, 70, 3, 5}, 0, 2, 0, 1},
      {"constant kind 1, value 3: right by 3", {6, 3, 4, 4}, 1, 3, 0, 1},
      {"constant kind 2: rounding right by 3, unsigned", {4, 9, 2, 3}, 2, 3, 0, 0},
      {"per element, kind 1", {7, 70, 2, 3}, 1, 0, 2, 1},
      {"per element, kind 2", {5, 9, 3, 3}, 2, 0, 2, 0},
      {"per channel int16, kind 1 used as loaded", {6, 70, 2, 3}, 1, 0, 1, 1},
      {"per channel int16, kind 2", {5, 9, 2, 2}, 2, 0, 1, 1},
      {"rows a slice", {9, 3, 200, 200}, 1, 2, 0, 1},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t chw = k.s.chw();
    // Input: 4N int8, or int16 in 2N storage for the per-channel mode.
    const bool wide = k.mode == 1;
    std::vector<uint8_t> in = spread_bytes(wide ? size_t((k.s.n + 1) / 2) * chw * 4 : k.s.bytes4n(), 3);
    put(rig, kA, in.data(), in.size());
    std::vector<uint8_t> amounts;
    if (k.mode == 2) {
      amounts = spread_bytes(k.s.bytes4n(), 4);
      for (uint8_t &v : amounts) v = uint8_t(int(v % 11) - 5);
    } else if (k.mode == 1) {
      amounts.resize(size_t(k.s.c) * 4);
      for (size_t j = 0; j < size_t(k.s.c); j++) {
        const int32_t v = int32_t(j % 9) - 6;
        std::memcpy(&amounts[j * 4], &v, 4);
      }
    }
    if (!amounts.empty()) put(rig, kB, amounts.data(), amounts.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_arith_shift_fix8b_forward(kA, kOut, kB, k.s.n, k.s.c, k.s.h, k.s.w, k.kind, k.value, k.mode, k.sign,
                                         node);
    }));
    const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, k.s.bytes4n());
    for (size_t i = 0; i < size_t(k.s.n); i++)
      for (size_t e = 0; e < chw; e++) {
        fr::i64 x;
        if (wide) {
          const size_t at = 4 * ((i / 2) * chw + e) + 2 * (i % 2);
          const uint16_t raw = uint16_t(in[at] | in[at + 1] << 8);
          x = k.sign ? fr::i64(int16_t(raw)) : fr::i64(raw);
        } else {
          x = fr::value8(in[fr::at_4n(i, e, chw)], k.sign);
        }
        int amount;
        if (k.mode == 0) {
          amount = k.kind == 0 ? k.value : k.kind == 1 ? -k.value : 1 - k.value;
        } else if (k.mode == 2) {
          const int g = int8_t(amounts[fr::at_4n(i, e, chw)]);
          amount = k.kind == 0 ? g : k.kind == 1 ? -g : 1 - g;
        } else {
          const int g = int(e / (size_t(k.s.h) * k.s.w) % 9) - 6;
          amount = k.kind == 2 ? g + 1 : g;
        }
        const fr::i64 v = fr::sat(fr::shift_by(x, amount), 16, true);
        const fr::i64 want = fr::sat(fr::rshift_round(v, k.kind == 2 ? 1 : 0), 8, k.sign);
        ASSERT_EQ(int(out[fr::at_4n(i, e, chw)]), int(fr::byte_of(want))) << "item " << i << " element " << e;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(All, Fix8bArithLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(Fix8bArithLayer, Assertions) {
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_eltwise_fix8b_forward_parallel(kA, kB, kOut, 4, 2, 2, 2, 0, 128, 1, 1, 1, 0, 0, 0, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_eltwise_fix8b_forward_parallel", "scale_A < 128 && scale_A >= 0");
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_eltwise_fix8b_forward_parallel(kA, kB, kOut, 4, 2, 2, 2, 0, 1, -1, 1, 1, 0, 0, 0, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_eltwise_fix8b_forward_parallel", "scale_B < 128 && scale_B >= 0");
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_arith_shift_fix8b_forward(kA, kOut, kB, 4, 2, 2, 2, 3, 1, 0, 1, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_arith_shift_fix8b_forward",
      "shift_kind >= 0 && shift_kind <= 2 && shift_mode >= 0 && shift_mode <= 2");
}

}  // namespace
}  // namespace zv::test

namespace zv::test {
namespace {

TEST(Fix8bArithPlan, MulshiftAndPrelu) {
  struct Mul {
    const char *what;
    int c, h, w, si, sm, flag;
    int channels, rows, intermediate, split;
  };
  const Mul muls[] = {
      {"100000 channels with an intermediate: halved once", 100000, 8, 8, 1, 0, 0, 32256, 8, 1, 0},
      {"without: kept", 100000, 8, 8, 1, 0, 1, 64512, 8, 0, 0},
      {"a plane past 128 KB: rows of 146", 3, 200, 200, 0, 0, 0, 126, 146, 0, 1},
      {"a row past 128 KB: no rows", 3, 1, 40000, 0, 0, 0, 64512, 0, 0, 1},
  };
  for (const Mul &k : muls) {
    SCOPED_TRACE(k.what);
    mulshift_plan_t p;
    mulshift_fix8b_plan_of(&p, k.c, k.h, k.w, k.si, k.sm, k.flag);
    EXPECT_EQ(p.channels, k.channels);
    EXPECT_EQ(p.rows, k.rows);
    EXPECT_EQ(p.intermediate, k.intermediate);
    EXPECT_EQ(p.split_rows, k.split);
  }
  struct Pre {
    const char *what;
    int n, c, h, w, shared;
    int banks, channels, groups, plane;
  };
  const Pre pres[] = {
      {"small, per channel", 5, 70, 3, 5, 0, 2, 70, 2, 15},
      {"shared: four banks", 8, 3, 4, 4, 1, 4, 3, 2, 16},
      {"5000 channels: sections of 4095", 1, 5000, 2, 2, 0, 2, 4095, 1, 4},
      {"a plane past the buffer", 1, 64, 300, 300, 0, 2, 64, 1, 32768},
      {"groups limited", 1200, 64, 16, 16, 1, 4, 64, 256, 256},
  };
  for (const Pre &k : pres) {
    SCOPED_TRACE(k.what);
    prelu_fix8b_plan_t p;
    prelu_fix8b_plan_of(&p, k.n, k.c, k.h, k.w, k.shared);
    EXPECT_EQ(p.banks, k.banks);
    EXPECT_EQ(p.channels, k.channels);
    EXPECT_EQ(p.groups, k.groups);
    EXPECT_EQ(p.plane, k.plane);
  }
}

TEST_P(Fix8bArithLayer, MultiplyShift) {
  struct Case {
    const char *what;
    Shape4 s;
    int multiplier, rshift, si, sm, flag;
  };
  const Case cases[] = {
      {"unsigned operands, flag 1: at most 127", {5, 70, 3, 5}, 200, 6, 0, 0, 1},
      {"unsigned operands, flag 0: unsigned", {4, 9, 2, 2}, 200, 6, 0, 0, 0},
      {"signed input, flag 1: signed, direct", {6, 9, 2, 3}, 77, 5, 1, 0, 1},
      {"signed input, flag 0: through int16, clamped at 0", {5, 130, 2, 3}, 77, 5, 1, 0, 0},
      {"a plane past 128 KB: two row sections", {5, 2, 200, 200}, 91, 6, 1, 0, 1},
  };
  FirmwareRig rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<uint8_t> in = spread_bytes(k.s.bytes4n(), 5);
    put(rig, kA, in.data(), in.size());
    const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_mulshift_fix8b_forward(kA, kOut, k.s.n, k.s.c, k.s.h, k.s.w, k.multiplier, k.rshift, k.si, k.sm, k.flag,
                                      node);
    });
    ASSERT_TRUE(ran_clean(o));
    EXPECT_EQ(o.uart.find("mulshift has large single channel, need split h") != std::string::npos, k.s.h == 200);
    const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, k.s.bytes4n());
    const bool intermediate = (k.si || k.sm) && k.flag != 1, out_signed = !intermediate && (k.si || k.sm);
    for (size_t i = 0; i < size_t(k.s.n); i++)
      for (size_t e = 0; e < k.s.chw(); e++) {
        const size_t at = fr::at_4n(i, e, k.s.chw());
        fr::i64 v = fr::rshift_round(fr::value8(in[at], k.si) * fr::value8(uint8_t(k.multiplier), k.sm), k.rshift);
        if (intermediate) v = fr::sat(v, 16, true);
        v = fr::sat(v, 8, out_signed);
        if (!k.si && !k.sm && k.flag == 1 && v > 127) v = 127;
        ASSERT_EQ(int(out[at]), int(fr::byte_of(v))) << "item " << i << " element " << e;
      }
  }
}

TEST_P(Fix8bArithLayer, Prelu) {
  struct Case {
    const char *what;
    Shape4 s;
    int shared;
    float slope;
    int sign_input, sign_aux, rshift, four_n;
  };
  const Case cases[] = {
      {"shared slope 0: ReLU", {5, 70, 3, 5}, 1, 0.0f, 1, 1, 0, 1},
      {"shared slope -50.7 taken as -50", {6, 9, 2, 3}, 1, -50.7f, 1, 1, 5, 1},
      {"per channel", {5, 70, 3, 5}, 0, 0.0f, 1, 1, 6, 1},
      {"both signs 0: a copy", {5, 9, 2, 2}, 1, 3.0f, 0, 0, 2, 1},
      {"5000 channels: two sections", {2, 5000, 1, 2}, 0, 0.0f, 1, 1, 4, 1},
      {"1N source of 5", {5, 70, 3, 5}, 0, 0.0f, 1, 1, 6, 0},
      {"a plane past the buffer", {1, 2, 300, 300}, 1, 77.0f, 1, 1, 7, 1},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t chw = k.s.chw();
    const std::vector<uint8_t> items = spread_bytes(size_t(k.s.n) * chw, 6);
    std::vector<uint8_t> in(k.four_n ? k.s.bytes4n() : items.size(), 0);
    for (size_t i = 0; i < size_t(k.s.n); i++)
      for (size_t e = 0; e < chw; e++) in[k.four_n ? fr::at_4n(i, e, chw) : i * chw + e] = items[i * chw + e];
    std::vector<uint8_t> slopes(size_t(k.s.c));
    for (size_t j = 0; j < slopes.size(); j++) slopes[j] = uint8_t(int(j * 29 % 256) - 128);
    put(rig, kA, in.data(), in.size());
    put(rig, kB, slopes.data(), slopes.size());
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_prelu_forward_fix8b(kA, kB, kOut, k.slope, k.shared, k.s.n, k.s.c, k.s.h, k.s.w, k.sign_input, 0,
                                   k.sign_aux, k.rshift, k.four_n, node);
    }));
    const std::vector<uint8_t> out = get<uint8_t>(rig, kOut, k.s.bytes4n());
    for (size_t i = 0; i < size_t(k.s.n); i++)
      for (size_t e = 0; e < chw; e++) {
        const uint8_t x = items[i * chw + e];
        fr::i64 want = x;
        if (k.sign_input || k.sign_aux) {
          const fr::i64 v = fr::value8(x, true), pos = v > 0 ? v : 0, neg = v - pos;
          const fr::i64 slope = k.shared ? fr::i64(int(k.slope)) : fr::value8(slopes[e / (size_t(k.s.h) * k.s.w)], true);
          want = k.shared && slope == 0 ? pos : fr::sat(pos + fr::sat(fr::rshift_round(neg * slope, k.rshift), 8, true), 8, true);
        }
        ASSERT_EQ(int(out[fr::at_4n(i, e, chw)]), int(fr::byte_of(want))) << "item " << i << " element " << e;
      }
  }
}

TEST(Fix8bArithLayer, MulshiftAndPreluAssertions) {
  {
    // The split message comes first, without a line end.
    FirmwareRig rig;
    FwOutcome o = rig.run_checks(
        [](cmd_id_node_t *node) { nodechip_mulshift_fix8b_forward(kA, kOut, 4, 2, 1, 40000, 3, 1, 0, 0, 0, node); });
    const std::string message = "mulshift has large single channel, need split h";
    ASSERT_EQ(o.uart.rfind(message, 0), 0u) << o.uart;
    o.uart = o.uart.substr(message.size());
    EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/layers/", "nodechip_mulshift_fix8b_forward", "h_max > 0"));
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
  expect_assert(
      [](cmd_id_node_t *node) { nodechip_mulshift_fix8b_forward(kA, kOut, 4, 2, 1, 70000, 3, 1, 0, 0, 0, node); },
      "ASSERT_FS", "firmware/layers/", "nodechip_mulshift_fix8b_forward", "(65535) >= tensor_w");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_prelu_forward_fix8b(kA, kB, kOut, 200.0f, 1, 4, 2, 2, 2, 1, 0, 1, 0, 1, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_prelu_forward_fix8b", "slope <= 127 && slope >= -128");
}

}  // namespace
}  // namespace zv::test
