// The interpreter loop: the h geometry of local groups (a table), and the
// pipeline schedule seen by recording controllers installed in the maps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer.h"
#include "runtime/hw.h"
#include "runtime/services.h"

namespace zv::test {
namespace {

TEST(InterpGeometry, HSlicesOfAGroup) {
  struct Case {
    const char *what;
    u32 h;
    bool h_split;
    dynamic_group_slice_t slice;
    u32 h_step, h_eff, slices;
  };
  auto rec = [](u32 R, u32 a, u32 b, u32 T, u32 B, u32 W3) {
    return dynamic_group_slice_t{u16(R), 1, u16(b), u16(a), u16(B), u16(T), W3};
  };
  const Case cases[] = {
      {"whole height", 32, false, {}, 32, 32, 1},
      {"exact fit: window 3, stride 1, padding 1", 32, true, rec(10, 1, 3, 1, 1, 3), 8, 31, 4},
      {"no exact fit, bottom padding below the bound window", 33, true, rec(10, 2, 3, 1, 0, 3), 9, 31, 4},
      {"no exact fit, bottom padding not below the bound window", 20, true, rec(6, 2, 3, 0, 4, 3), 5, 20, 4},
      {"window not above the bottom padding", 16, true, rec(4, 2, 2, 0, 2, 1), 4, 16, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    dynamic_group_geometry_t g;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { dynamic_group_geometry_of(&g, 7, c.h, c.h_split, &c.slice); })));
    EXPECT_EQ(g.h_step, c.h_step);
    EXPECT_EQ(g.h_eff, c.h_eff);
    EXPECT_EQ(dynamic_group_h_slices(&g), c.slices);
    EXPECT_EQ(g.n, 7u);
  }
}

// ---- The schedule, recorded ----

struct Event {
  char kind;  // 'L' layer, 'M' move
  u32 stage, n_start, n_slice, h_index, first_time;
  bool operator==(const Event &o) const {
    return kind == o.kind && stage == o.stage && n_start == o.n_start && n_slice == o.n_slice &&
           h_index == o.h_index && first_time == o.first_time;
  }
};
void PrintTo(const Event &e, std::ostream *os) {
  *os << e.kind << " stage " << e.stage << " n " << e.n_start << "+" << e.n_slice << " h " << e.h_index
      << (e.first_time ? " first" : "");
}
std::vector<Event> *g_events;

// Records carry their stage in their one parameter word.
void record_layer(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u32 stage;
  dynamic_context_read_record(ctx, &stage, 4);
  (void)nodes;
  g_events->push_back({'L', stage, slot->n_start, slot->n_slice, slot->h_index, 0});
}
void record_move(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time, cmd_id_node_t *node) {
  u32 stage;
  dynamic_context_read_record(ctx, &stage, 4);
  (void)node;
  g_events->push_back({'M', stage, slot->n_start, slot->n_slice, slot->h_index, first_time});
}

constexpr u32 kRecLayer = 3, kRecMove = 5;

// One time step with a layer and a move at every stage.
net::Group recorded_group(u32 stages, u32 n_slice) {
  net::Group g;
  g.inputs = {1};
  g.n_slice = n_slice;
  g.stage_num = stages;
  net::TimeStep t;
  for (u32 s = 0; s < stages; s++) {
    t.layers.push_back({s, net::layer(kRecLayer, 0, net::Record(4).u32(0, s), std::vector<uint32_t>{})});
    t.moves.push_back({s, net::move(kRecMove, net::Record(4).u32(0, s))});
  }
  g.steps.push_back(t);
  g.steps.push_back({});  // one time step would make a global group
  return g;
}

std::vector<Event> schedule_of(const net::Group &g, u32 batch, u32 height = 4) {
  std::vector<Event> events;
  FirmwareRig rig;
  const FwOutcome o = rig.run([&] {
    g_events = &events;
    dynamic_local_func_map_set_for_test(kRecLayer, record_layer);
    dynamic_gdma_func_map_set_for_test(kRecMove, record_move);
    const net::Words d = net::description({1}, {}, {g});
    std::memcpy(hw_ptr(DYNAMIC_IR_ADDR, u32(d.size_bytes())), d.raw().data(), d.size_bytes());
    dynamic_io_tensor_t in = {};
    in.addr = 0x101000000ull, in.dims = 4, in.shape[0] = batch, in.shape[1] = 1, in.shape[2] = height, in.shape[3] = 1;
    cmd_id_node_t node = {};
    heap_track_begin();
    nodechip_dynamic_fullnet_compile_v2(DYNAMIC_IR_ADDR, u32(d.size_bytes()), 0, 0, 0, 1, &in, 0, nullptr, &node, 0, 0);
    heap_track_end();
  });
  EXPECT_TRUE(ran_clean(o));
  return events;
}

TEST(InterpPipeline, ThreeStagesOverOneSliceFillAndDrain) {
  // Iteration 0 runs stage 0, iteration 1 stage 1 (stage 0 skipped while
  // draining), iteration 2 stage 2; each move's first_time is set once.
  const std::vector<Event> want = {
      {'L', 0, 0, 2, 0, 0}, {'M', 0, 0, 2, 0, 1},  //
      {'L', 1, 0, 2, 0, 0}, {'M', 1, 0, 2, 0, 1},  //
      {'L', 2, 0, 2, 0, 0}, {'M', 2, 0, 2, 0, 1},
  };
  EXPECT_EQ(schedule_of(recorded_group(3, 4), 2), want);
}

TEST(InterpPipeline, BatchSlicesOfFourFourAndTwoMoveThroughTwoStages) {
  const std::vector<Event> want = {
      {'L', 0, 0, 4, 0, 0}, {'M', 0, 0, 4, 0, 1},                                              // j 0
      {'L', 0, 4, 4, 0, 0}, {'L', 1, 0, 4, 0, 0}, {'M', 0, 4, 4, 0, 0}, {'M', 1, 0, 4, 0, 1},  // j 1
      {'L', 0, 8, 2, 0, 0}, {'L', 1, 4, 4, 0, 0}, {'M', 0, 8, 2, 0, 0}, {'M', 1, 4, 4, 0, 0},  // j 2
      {'L', 1, 8, 2, 0, 0}, {'M', 1, 8, 2, 0, 0},                                              // drain
  };
  EXPECT_EQ(schedule_of(recorded_group(2, 4), 10), want);
}

TEST(InterpPipeline, OneStageRunsEverySliceOnceAndABatchOfZeroStillRunsItsHSlices) {
  std::vector<Event> want;
  for (u32 n = 0; n < 3; n++) {
    want.push_back({'L', 0, n, 1, 0, 0});
    want.push_back({'M', 0, n, 1, 0, n == 0 ? 1u : 0u});
  }
  EXPECT_EQ(schedule_of(recorded_group(1, 1), 3), want);
  // Batch 0 cut along h into two slices of 2 rows: n_slice 0 in the slot.
  net::Group g = recorded_group(1, 4);
  g.inputs.clear();
  g.slices = {net::SliceRecord{1, 2, 1, 1, 0, 0, 0}};
  const std::vector<Event> h = schedule_of(g, 0, 4);
  const std::vector<Event> want_h = {{'L', 0, 0, 0, 0, 0}, {'M', 0, 0, 0, 0, 1}, {'L', 0, 0, 0, 1, 0},
                                     {'M', 0, 0, 0, 1, 0}};
  EXPECT_EQ(h, want_h);
}

}  // namespace
}  // namespace zv::test
