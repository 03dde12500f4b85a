// Reverse and channel shuffle as firmware code on the chip model, against
// plain references.
#include <string>
#include <vector>

#include "layers/data/data_rig.h"
#include "layers/data/rearrange.h"
#include "ref/data_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

TEST(Reverse, ReversesOneAxis) {
  struct Case {
    const char *what;
    Shape shape;
    int axis;
  };
  const Case cases[] = {
      {"middle axis", {2, 3, 4, 5}, 1},
      {"first axis", {4, 3, 2}, 0},
      {"last axis, counted from the end", {3, 2, 5}, -1},
      {"an axis of extent 1 is a copy", {2, 1, 3}, 1},
      {"8 axes", {2, 1, 2, 3, 1, 2, 1, 2}, 3},
      {"inner rows above 65535", {3, 70001}, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int axis = k.axis < 0 ? k.axis + int(k.shape.size()) : k.axis;
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 1);
    const Bytes want = ref::reverse(in, k.shape, axis, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_reverse_forward_v2(kDataIn, kDataOut, k.shape.data(), int(k.shape.size()), k.axis, node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(Reverse, LongAxesRestartTheIdsBeforeTheyWrap) {
  // One command per item of the axis: 70000 items pass the 16-bit id range.
  const Shape shape = {70000};
  const Bytes in = pattern_bytes(70000 * 4, 2);
  const Bytes want = ref::reverse(in, shape, 0, 4);
  LayerRunner rig;
  put<u8>(rig, kDataIn, in);
  ASSERT_TRUE(
      rig.call([&](cmd_id_node_t *node) { nodechip_reverse_forward_v2(kDataIn, kDataOut, shape.data(), 1, 0, node); }));
  EXPECT_GT(rig.chip().engines.scheduler.gdma.restarts, 1u);
  EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
}

TEST(ShuffleChannel, InterleavesTheGroups) {
  struct Case {
    const char *what;
    Shape shape;
    int group;
    size_t commands;
  };
  const Case cases[] = {
      {"6 channels in 2 groups", {2, 6, 3, 4}, 2, 3},
      {"group 1: a copy in one move per channel", {2, 5, 2, 2}, 1, 5},
      {"group c: a copy in one move", {3, 4, 2, 3}, 4, 1},
      {"c not a multiple of group: the rest is not written", {2, 7, 1, 3}, 3, 2},
  };
  for (int fix8b = 0; fix8b < 2; fix8b++)
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(k.what) + (fix8b ? ", 8-bit words" : ""));
      const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 3);
      const Bytes before = pattern_bytes(in.size(), 4);
      const Bytes want = ref::shuffle_channels(in, k.shape, k.group, 4, before);
      on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in), put<u8>(rig, kDataOut, before); },
                   [&](cmd_id_node_t *node) {
                     (fix8b ? nodechip_shuffle_channel_fix8b_forward : nodechip_shuffle_channel_forward)(
                         kDataIn, kDataOut, k.shape[0], k.shape[1], k.shape[2], k.shape[3], k.group, node);
                   },
                   [&](FirmwareRig &rig) {
                     EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
                     EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
                   });
    }
}

TEST(Rearrange, BadArgumentsFailTheirChecks) {
  const int shape[3] = {2, 3, 4};
  struct Bad {
    const char *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"nodechip_reverse_forward_v2", "axis >= 0 && axis < shape_size",
       [&](cmd_id_node_t *n) { nodechip_reverse_forward_v2(kDataIn, kDataOut, shape, 3, 3, n); }},
      {"nodechip_reverse_forward_v2", "axis >= 0 && axis < shape_size",
       [&](cmd_id_node_t *n) { nodechip_reverse_forward_v2(kDataIn, kDataOut, shape, 3, -4, n); }},
      // A group count of 0 would divide by zero.
      {"nodechip_shuffle_channel_forward", "group > 0",
       [&](cmd_id_node_t *n) { nodechip_shuffle_channel_forward(kDataIn, kDataOut, 1, 4, 1, 1, 0, n); }},
      {"nodechip_shuffle_channel_fix8b_forward", "group > 0",
       [&](cmd_id_node_t *n) { nodechip_shuffle_channel_fix8b_forward(kDataIn, kDataOut, 1, 4, 1, 1, 0, n); }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    expect_assert(b.call, "ASSERT_FS", "firmware/layers/", b.function, b.condition, "none.");
  }
}

}  // namespace
}  // namespace zv::test
