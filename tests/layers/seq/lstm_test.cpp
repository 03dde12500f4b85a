// The LSTM layer against a plain multi-step loop in double, and the LSTM unit
// layer against the cell formulas, under every schedule with the
// happens-before checker: the three split modes with slices and a shorter last
// one, with and without the static input and the initial state, cont 0
// (restart) and other values, units not a multiple of 8, gate rows over more
// than 64 lanes and streamed recurrent weights of several blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fw_test.h"
#include "layers/seq/lstm.h"
#include "ref/lstm_ref.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kBase = 0x101000000ull;
constexpr u64 kStep = 0x01000000ull;  // one tensor every 16 MB

TEST(LstmPlan, OutputDimAndSplitMode) {
  EXPECT_EQ(lstm_output_dim_extend(1), 8);
  EXPECT_EQ(lstm_output_dim_extend(8), 8);
  EXPECT_EQ(lstm_output_dim_extend(13), 16);
  struct Case {
    const char *what;
    int N, I, H, P, mode, R;
  } cases[] = {
      {"small: all weights resident, every row", 4, 16, 16, 0, 1, 4},
      {"input weights fill local memory: recurrent weights resident", 1000, 4096, 64, 0, 2, 307},
      {"recurrent weights of 64 banks: streamed", 100, 16, 4096, 0, 3, 30},
      {"rows of 274 slots: nothing fits", 10, 16, 140000, 0, 0, 0},
  };
  for (const Case &c : cases) {
    int R = -1;
    EXPECT_EQ(lstm_data_split_select(c.N, c.I, c.H, c.P, &R), c.mode) << c.what;
    EXPECT_EQ(R, c.R) << c.what;
  }
}

TEST(LstmPlan, LayoutsFitWithoutOverlap) {
  struct Case {
    const char *what;
    int mode, I, H, P, R;
    i64 gates0, end;
  } cases[] = {
      // x 2 slots, W_xc 5 KB: gates move up to the first bank, h to the next.
      {"mode 1, banks", 1, 40, 10, 0, 2, 0x10000, 0x20000 + 256 + 1280 + 8},
      {"mode 1, static input", 1, 40, 10, 1, 2, 0x10000, 0x20000 + 256 + 1280 + 8},
      {"mode 2, two sets", 2, 40, 10, 1, 3, 0x10000, 0x20000 + 5 * 384 + 12},
      {"mode 3, blocks below the sets", 3, 40, 600, 1, 2, 0x40000, 0x60000 + 3 * 512},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    lstm_plan_t p;
    lstm_plan_of(&p, c.mode, c.I, c.H, c.P, c.R);
    EXPECT_EQ(p.gates[0], c.gates0);
    EXPECT_EQ(p.end, c.end);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
  }
  EXPECT_EQ(lstm_block_offset(0), 0x20000u);
  EXPECT_EQ(lstm_block_offset(1), 0x30000u);
  EXPECT_EQ(lstm_block_offset(2), 0x0u);
  EXPECT_EQ(lstm_block_offset(5), 0x10000u);
}

// Addresses of the layer's tensors, one every 16 MB (W_hc of the largest case
// takes 12 MB).
enum Tensor { kX, kCont, kStatic, kH0, kC0, kWxc, kBias, kWs, kWhc, kOut, kCT, kHT, kXProj, kSProj, kTensors };
u64 at(int k) { return kBase + kStep * u64(k); }

struct LstmCase {
  const char *what;
  int N, T, I, H, P, Q, mode, R;  // mode 0: the layer chooses
};

std::vector<float> pattern(size_t n, float scale, unsigned salt) {
  std::vector<float> v(n);
  u32 z = 2463534242u ^ (salt * 2654435761u);
  for (float &f : v) {
    z ^= z << 13, z ^= z >> 17, z ^= z << 5;
    f = scale * (float(z % 20001) / 10000.0f - 1.0f);
  }
  return v;
}

void run_lstm_case(const Sched &sched, const LstmCase &c) {
  SCOPED_TRACE(c.what);
  LayerRunner rig(sched);
  const int cols = 4 * ref::lstm_he(c.H);
  const size_t N = c.N, T = c.T, I = c.I, H = c.H;
  const std::vector<float> x = pattern(T * N * I, 1.0f, 1), s = pattern(N * I, 1.0f, 2),
                           h0 = pattern(N * H, 0.8f, 3), c0 = pattern(N * H, 1.5f, 4),
                           w_xc = pattern(I * cols, 1.5f / std::sqrt(float(I)), 5), bias = pattern(cols, 0.5f, 6),
                           w_s = pattern(I * cols, 1.0f / std::sqrt(float(I)), 7),
                           w_hc = pattern(H * cols, 2.0f / std::sqrt(float(H)), 8);
  // Restarts, plain continuation and other values.
  std::vector<float> cont(T * N);
  for (size_t e = 0; e < cont.size(); e++) cont[e] = e < N ? 0.0f : e % 5 == 2 ? 0.0f : e % 5 == 4 ? 0.5f : 1.0f;
  const std::vector<float> *in[] = {&x, &cont, &s, &h0, &c0, &w_xc, &bias, &w_s, &w_hc};
  for (int k = 0; k < 9; k++) put<float>(rig, at(k), *in[k]);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    if (c.mode == 0)
      nodechip_lstm_forward_parallel(at(kX), at(kCont), at(kStatic), at(kH0), at(kC0), at(kWxc), at(kBias), at(kWs),
                                     at(kWhc), at(kOut), at(kCT), at(kHT), at(kXProj), at(kSProj), c.N, c.T, c.I,
                                     c.H, c.P, c.Q, node);
    else
      nodechip_lstm_forward_parallel_with_split(at(kX), at(kCont), at(kStatic), at(kH0), at(kC0), at(kWxc),
                                                at(kBias), at(kWs), at(kWhc), at(kOut), at(kCT), at(kHT),
                                                at(kXProj), at(kSProj), c.N, c.T, c.I, c.H, c.P, c.Q, c.mode, c.R,
                                                node);
  }));
  const ref::LstmRef want =
      ref::lstm_forward(x, cont, s, h0, c0, w_xc, bias, w_s, w_hc, c.N, c.T, c.I, c.H, c.P, c.Q);
  const std::vector<float> out = get<float>(rig, at(kOut), T * N * H);
  for (size_t e = 0; e < out.size(); e++) ASSERT_NEAR(out[e], want.output[e], 1e-4) << "output " << e;
  if (c.Q) {
    const std::vector<float> hT = get<float>(rig, at(kHT), N * H), cT = get<float>(rig, at(kCT), N * H);
    for (size_t e = 0; e < hT.size(); e++) {
      ASSERT_NEAR(hT[e], want.hT[e], 1e-4) << "hT " << e;
      ASSERT_NEAR(cT[e], want.cT[e], 1e-4 * (1 + std::fabs(want.cT[e]))) << "cT " << e;
    }
  }
}

class LstmLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(LstmLayer, AgainstAPlainLoop) {
  const LstmCase cases[] = {
      {"mode 1 chosen: one slice", 3, 4, 20, 10, 0, 0, 0, 0},
      {"mode 1: slices of 2, static input and state", 5, 3, 40, 13, 1, 1, 1, 2},
      {"mode 1: one step, no state", 3, 1, 7, 8, 0, 0, 1, 2},
      {"mode 1: gate rows over 66 lanes (2 slots)", 2, 2, 9, 523, 1, 1, 1, 1},
      {"mode 2: slices of 2 and 1, state", 5, 4, 20, 10, 0, 1, 2, 2},
      {"mode 2: static input, no state", 3, 3, 33, 17, 1, 0, 2, 3},
      {"mode 3: one block, static input and state", 3, 3, 20, 10, 1, 1, 3, 2},
      {"mode 3: one step with state", 2, 1, 5, 9, 0, 1, 3, 1},
  };
  for (const LstmCase &c : cases) run_lstm_case(GetParam(), c);
}

TEST_P(LstmLayer, StreamsSixBlocks) {
  // H = 600: two row blocks (512 and 88) by three column blocks (2048, 2048,
  // 704), gate rows of 75 sections; two slices reuse blocks 0 and 1.
  run_lstm_case(GetParam(), {"mode 3: six blocks", 3, 3, 6, 600, 1, 1, 3, 2});
}

INSTANTIATE_TEST_SUITE_P(All, LstmLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(LstmChecks, ModesStepsAndLayouts) {
  const u64 a = kBase;
  auto call = [&](int N, int T, int H, int mode, int R) {
    return [=](cmd_id_node_t *node) {
      nodechip_lstm_forward_parallel_with_split(a, a, a, a, a, a, a, a, a, a, a, a, a, a, N, T, 8, H, 0, 0, mode, R,
                                                node);
    };
  };
  // Modes outside 1..3 (also the selector's 0) log and issue nothing.
  for (int mode : {0, 4, -1}) {
    FirmwareRig rig;
    const FwOutcome o = rig.run_checks(call(2, 2, 8, mode, 1));
    EXPECT_TRUE(ran_clean(o));
    EXPECT_NE(o.uart.find("Unsupported LSTM parameters"), std::string::npos) << o.uart;
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
  {
    FirmwareRig rig;
    int R = -1;
    EXPECT_EQ(lstm_data_split_select(10, 16, 140000, 0, &R), LSTM_SPLIT_NONE);
    EXPECT_TRUE(ran_clean(rig.run_checks([&](cmd_id_node_t *node) {
      nodechip_lstm_forward_parallel(a, a, a, a, a, a, a, a, a, a, a, a, a, a, 10, 2, 16, 140000, 0, 0, node);
    })));
    EXPECT_EQ(rig.commands_issued(), 0u);
  }
  // No step or no row a slice: refused, not divided by or looped on.
  expect_assert(call(2, 0, 8, 1, 1), "ASSERT_FS", "firmware/layers/seq/", "nodechip_lstm_forward_parallel_with_split",
                "T > 0 && R > 0", "T=0 R=1");
  expect_assert(call(2, 2, 8, 2, 0), "ASSERT_FS", "firmware/layers/seq/", "nodechip_lstm_forward_parallel_with_split",
                "T > 0 && R > 0", "T=2 R=0");
  expect_assert(call(2, -3, 8, 3, 1), "ASSERT_FS", "firmware/layers/seq/", "nodechip_lstm_forward_parallel_with_split",
                "T > 0 && R > 0", "T=-3 R=1");
  // Slices too large for each mode's layout.
  expect_assert(call(4000, 1, 8, 1, 4000), "ASSERT_FS", "firmware/layers/seq/", "lstm_forward_with_local_weight",
                "cont_local_offset + cont_lmem_size <= (1<<19)");
  expect_assert(call(4000, 1, 8, 2, 4000), "ASSERT_FS", "firmware/layers/seq/", "lstm_forward_with_iter_local_weight",
                "cont_local_offset[1] + cont_lmem_size <= (1<<19)");
  expect_assert(call(4000, 1, 8, 3, 4000), "ASSERT_FS", "firmware/layers/seq/", "lstm_forward_without_local_weight",
                "x4_static_local_offset + x4_static_lmem_size <= (1<<19)");
}

class LstmUnitLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(LstmUnitLayer, AgainstTheCellFormulas) {
  LayerRunner rig(GetParam());
  struct Case {
    const char *what;
    int N, C;
  } cases[] = {{"a partial section", 3, 37}, {"three pieces", 4, 60000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t total = size_t(c.N) * c.C;
    std::vector<std::vector<float>> in(6, std::vector<float>(total));
    for (size_t e = 0; e < total; e++) {
      for (int k = 0; k < 5; k++) in[k][e] = float(int((e * (7 + 2 * k) + 3 * k) % 41) - 20) / 4.0f;
      in[0][e] = e % 97 == 5 ? 60.0f : in[0][e];    // saturating gates
      in[3][e] = e % 89 == 7 ? -60.0f : in[3][e];
      const int m = int(e % 4);
      in[5][e] = m == 0 ? 0.0f : m == 1 ? 1.0f : m == 2 ? 0.5f : -2.0f;
    }
    for (int k = 0; k < 6; k++) put<float>(rig, kBase + kStep * k, in[k]);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_lstm_unit_forward(kBase, kBase + kStep, kBase + 2 * kStep, kBase + 3 * kStep, kBase + 4 * kStep,
                                 kBase + 5 * kStep, kBase + 6 * kStep, kBase + 7 * kStep, c.N, c.C, 0, 0, node);
    }));
    const std::vector<float> cell = get<float>(rig, kBase + 6 * kStep, total),
                             hidden = get<float>(rig, kBase + 7 * kStep, total);
    for (size_t e = 0; e < total; e++) {
      double wc, wh;
      ref::lstm_unit(in[0][e], in[1][e], in[2][e], in[3][e], in[4][e], in[5][e], &wc, &wh);
      ASSERT_NEAR(cell[e], wc, 2e-5 * (1 + std::fabs(wc))) << e;
      ASSERT_NEAR(hidden[e], wh, 2e-5) << e;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, LstmUnitLayer, ::testing::ValuesIn(all_schedules()), sched_name);

}  // namespace
}  // namespace zv::test
