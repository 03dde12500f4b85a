// The LSTM unit layer against the cell formulas in double under every schedule
// with the happens-before checker: pieces, a partial last section, cont 0
// (restart), 1 and other values, and saturating pre-activations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fw_test.h"
#include "layers/seq/lstm.h"
#include "ref/seq_ref.h"

namespace zv::test {
namespace {

constexpr u64 kBase = 0x101000000ull;
constexpr u64 kStep = 0x01000000ull;  // one tensor every 16 MB

void store(FirmwareRig &rig, u64 addr, const std::vector<float> &v) {
  rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
}
std::vector<float> load(FirmwareRig &rig, u64 addr, size_t n) {
  std::vector<float> v(n);
  rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(v.data()), n * 4);
  return v;
}

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

class LstmUnitLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(LstmUnitLayer, AgainstTheCellFormulas) {
  FirmwareRig rig(GetParam());
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
    for (int k = 0; k < 6; k++) store(rig, kBase + kStep * k, in[k]);
    ASSERT_TRUE(ran_clean(rig.run_layer([&](cmd_id_node_t *node) {
      nodechip_lstm_unit_forward(kBase, kBase + kStep, kBase + 2 * kStep, kBase + 3 * kStep, kBase + 4 * kStep,
                                 kBase + 5 * kStep, kBase + 6 * kStep, kBase + 7 * kStep, c.N, c.C, 0, 0, node);
    })));
    const std::vector<float> cell = load(rig, kBase + 6 * kStep, total), hidden = load(rig, kBase + 7 * kStep, total);
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
