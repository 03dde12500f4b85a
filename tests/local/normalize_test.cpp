// Local LRN and L2 normalisation kernels against plain references: float
// (the window sum by lane shifts, its edges, sizes 1 and beyond the channel
// count) and 8-bit 4N in both LRN modes (signed data over several items shows
// that the item conversion keeps the bytes still to come), normalisation per
// position and across the item with per-channel or shared scales; every
// schedule, race checker on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cmd/conv_rig.h"
#include "local/local_rig.h"
#include "local/normalize.h"
#include "ref/norm_ref.h"

namespace zv::test::local {
namespace {

using conv::Data;
using conv::Kind;
using conv::Placed;
namespace cr = zv::ref::conv;
namespace nr = zv::ref::norm;

// Within tol relative to the value (absolute below 1).
::testing::AssertionResult near(const cr::T4 &got, const cr::T4 &want, double tol) {
  for (size_t i = 0; i < want.v.size(); i++)
    if (std::fabs(got.v[i] - want.v[i]) > tol * std::max(1.0, std::fabs(want.v[i])))
      return ::testing::AssertionFailure() << "element " << i << ": " << got.v[i] << ", want " << want.v[i];
  return ::testing::AssertionSuccess();
}
// 8-bit results through float math: at most one step off.
::testing::AssertionResult within_one(const cr::T4 &got, const cr::T4 &want) {
  for (size_t i = 0; i < want.v.size(); i++)
    if (std::fabs(got.v[i] - want.v[i]) > 1.0)
      return ::testing::AssertionFailure() << "element " << i << ": " << got.v[i] << ", want " << want.v[i];
  return ::testing::AssertionSuccess();
}

cr::T4 halves(Data &d, int n, int c, int h, int w) {
  cr::T4 t = d.tensor(n, c, h, w, 8);
  for (auto &v : t.v) v /= 2;
  return t;
}

TEST(LrnLocal, FloatWindowSumsOverNeighbouringChannels) {
  struct Case {
    const char *what;
    int n, c, h, w, size;
    size_t shifts;
  };
  const Case cases[] = {
      {"size 5 over 6 channels", 2, 6, 3, 4, 5, 4},
      {"size 1: no shift", 1, 3, 2, 2, 1, 0},
      {"size 5 over 2 channels: shifts by one only", 1, 2, 2, 3, 5, 2},
      {"70 channels: the window wraps into the next lane row", 1, 70, 2, 3, 3, 2},
  };
  const float alpha = 0.5f, beta = 0.75f, k = 2.0f;
  for (const Case &t : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(t.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(61);
      const cr::T4 x = halves(d, t.n, t.c, t.h, t.w);
      const Placed I = Placed::aligned(lane(0, 0), Kind::F32, t.c, t.h, t.w);
      const Placed O = Placed::aligned(lane(0, 0x20000), Kind::F32, t.c, t.h, t.w);
      conv::put(rig, I, x);
      const dim4_t shape = {t.n, t.c, t.h, t.w};
      cmd_id_node_t second = {0, 0, 1};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_lrn_forward_local(untag(I.addr), untag(O.addr), 0x40000, &shape, alpha, t.size, beta, k, 0, node,
                                   &second);
        if (second.gdma_cmd_id != node->gdma_cmd_id || second.divided != 0) second.divided = 9;
      }));
      EXPECT_NE(second.divided, 9) << "the second node is raised";
      EXPECT_EQ(rig.chip().engines.gdma.commands().size(), t.shifts);
      EXPECT_TRUE(near(conv::get(rig, O, t.n, t.c, t.h, t.w), nr::lrn(x, alpha, t.size, beta, k), 1e-4));
    }
}

TEST(LrnLocal, EightBitThroughFloatInBothModes) {
  struct Case {
    const char *what;
    int mode, n, c;
    bool is_signed;
  };
  const Case cases[] = {
      {"one item at a time, signed, five items", 0, 5, 6, true},
      {"one item at a time, unsigned", 0, 3, 4, false},
      {"four at a time, signed, five items", 1, 5, 6, true},
      {"four at a time, unsigned", 1, 4, 3, false},
  };
  const int h = 2, w = 3, size = 3;
  const float alpha = 0.25f, beta = 0.75f, k = 1.0f, in_scale = 0.125f, out_scale = 16.0f;
  for (const Case &t : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(t.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(67);
      const cr::T4 q = d.tensor(t.n, t.c, h, w, t.is_signed ? 100 : 200, t.is_signed);
      const Placed I = Placed::aligned(lane(0, 0), Kind::I8, t.c, h, w);
      const Placed O = Placed::aligned(lane(0, 0x20000), Kind::I8, t.c, h, w);
      conv::put(rig, I, q);
      // The scratch starts with stale words: nothing may read them as data.
      for (u32 l = 0; l < 64; l++)
        for (u32 b = 0; b < 13 * 128; b += 4) rig.put(kTag + u64(l) * 0x80000 + 0x40000 + b, 0x5a5a5a5au);
      const dim4_t shape = {t.n, t.c, h, w};
      cmd_id_node_t second = {0, 0, 0};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_lrn_fix8b_forward_local(untag(I.addr), untag(O.addr), 0x40000, &shape, alpha, size, beta, k, 0,
                                         t.mode, node, &second, t.is_signed, in_scale, out_scale);
      }));
      cr::T4 x = q;
      for (auto &v : x.v) v *= in_scale;
      cr::T4 want = nr::lrn(x, alpha, size, beta, k);
      for (auto &v : want.v) v = nr::to_8bit(v * out_scale, t.is_signed);
      // The float path rounds within one step of the 8-bit result.
      EXPECT_TRUE(within_one(conv::get(rig, O, t.n, t.c, h, w, t.is_signed), want));
    }
}

TEST(NormalizeLocal, ScalesTheL2NormalisedValues) {
  struct Case {
    const char *what;
    int n, c;
    bool across, shared, relu;
    u32 lane;
  };
  const Case cases[] = {
      {"per position, per-channel scales", 2, 5, false, false, false, 0},
      {"across the item, one shared scale, ReLU", 2, 4, true, true, true, 0},
      {"70 channels from lane 0", 1, 70, false, false, false, 0},
  };
  const int h = 3, w = 3;
  const float eps = 1e-3f, shared = 1.5f;
  for (const Case &t : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(t.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(71);
      const cr::T4 x = halves(d, t.n, t.c, h, w);
      std::vector<double> scale;
      for (int c = 0; c < t.c; c++) scale.push_back(d.next(8) / 4);
      const Placed I = Placed::aligned(lane(t.lane, 0), Kind::F32, t.c, h, w);
      const Placed O = Placed::aligned(lane(t.lane, 0x20000), Kind::F32, t.c, h, w);
      const u32 S = lane(t.lane, 0x60000);
      conv::put(rig, I, x);
      conv::put_channels(rig, S, scale, Kind::F32);
      const dim4_t shape = {t.n, t.c, h, w};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_normalize_forward_local(untag(I.addr), untag(O.addr), 0x40000, untag(S), &shape, t.across, t.shared,
                                         eps, shared, t.relu, node);
      }));
      const cr::T4 want = nr::normalize(x, t.across, eps, t.shared ? std::vector<double>{shared} : scale, t.relu);
      EXPECT_TRUE(near(conv::get(rig, O, t.n, t.c, h, w), want, 1e-4));
    }
}

TEST(NormalizeLocal, EightBitOneItemAtATime) {
  const int n = 5, c = 4, h = 2, w = 3;
  const float eps = 1e-3f, shared = 100.0f;
  for (const bool in_signed : {true, false})
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(in_signed ? "signed" : "unsigned") + " input, " + sched_text(s));
      BdRig rig(s);
      Data d(73);
      const cr::T4 q = d.tensor(n, c, h, w, in_signed ? 100 : 200, in_signed);
      const Placed I = Placed::aligned(lane(0, 0), Kind::I8, c, h, w);
      const Placed O = Placed::aligned(lane(0, 0x20000), Kind::I8, c, h, w);
      conv::put(rig, I, q);
      const dim4_t shape = {n, c, h, w};
      // A signed result for signed input, an unsigned one after ReLU otherwise.
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        nodechip_normalize_fix8b_forward_local(untag(I.addr), untag(O.addr), 0x40000, 0, &shape, 0, 1, eps, shared,
                                               !in_signed, in_signed, in_signed, node);
      }));
      cr::T4 want = nr::normalize(q, false, eps, {shared}, !in_signed);
      for (auto &v : want.v) v = nr::to_8bit(v, in_signed);
      EXPECT_TRUE(within_one(conv::get(rig, O, n, c, h, w, in_signed), want));
    }
}

}  // namespace
}  // namespace zv::test::local
