// Data-arrangement kernels on resident slices: pad, tile, strided slice,
// concat and reorg against plain references, float32 and 8-bit 4N (moved as
// words), under every schedule with the race checker on; the reorg plan; the
// assertions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/local_areas.h"
#include "local/arrange.h"
#include "local/local_rig.h"
#include "ref/arrange_ref.h"

namespace zv::test::local {
namespace {

namespace ar = zv::ref::arrange;
using er::Dim;
using er::Local;

// The kernels' resident layout: {ceil(c/64) * plane, plane, w, 1} words.
Local resident(u32 addr, int n, int c, int h, int w) {
  const er::i64 plane = (er::i64(h) * w + 31) / 32 * 32;
  return Local{addr, Dim{n, c, h, w}, Dim{plane * ((c + 63) / 64), plane, w, 1}};
}

ar::W4 put(BdRig &rig, const Local &t, Values &val) {
  ar::W4 v(int(t.shape.n), int(t.shape.c), int(t.shape.h), int(t.shape.w));
  const auto words = rig.fill(t, [&] { return val.word(); });
  v.v = words;
  return v;
}
ar::W4 get(BdRig &rig, const Local &t) {
  ar::W4 v(int(t.shape.n), int(t.shape.c), int(t.shape.h), int(t.shape.w));
  v.v = rig.read(t);
  return v;
}
::testing::AssertionResult same(const ar::W4 &got, const ar::W4 &want) {
  if (got.v.size() != want.v.size()) return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < want.v.size(); i++)
    if (got.v[i] != want.v[i]) {
      const size_t x = i % want.w, y = i / want.w % want.h, c = i / want.w / want.h % want.c,
                   n = i / want.w / want.h / want.c;
      return ::testing::AssertionFailure() << "element (" << n << ", " << c << ", " << y << ", " << x << "): " << std::hex
                                           << got.v[i] << ", want " << want.v[i];
    }
  return ::testing::AssertionSuccess();
}

// Runs `fn` and expects the assertion `kind` `condition` in `function` of
// firmware/local/, after exactly `commands` tensor-engine commands.
void expect_kernel_assert(const std::function<void(cmd_id_node_t *)> &fn, const std::string &kind,
                          const std::string &function, const std::string &condition, size_t commands = 0,
                          const std::string &info = "none.") {
  FirmwareRig rig;
  // Plan only: the commands before the assertion need no operands.
  rig.chip().engines.bd.kinds().add(3, "planned only", [](const chip::BdCommand &, chip::Bus &) {});
  EXPECT_TRUE(stopped_on(rig.run_checks(fn), kind, "firmware/local/", function, condition, info));
  EXPECT_EQ(rig.chip().engines.bd.commands().size(), commands);
}

// ---- Pad ----

struct PadCase {
  const char *what;
  int n, c, h, w;
  int p[8];
  int mode;
  u32 lane;
  bool fix8b;
};

TEST(Pad, EveryModeMatchesTheReference) {
  const PadCase cases[] = {
      {"constant, all sides", 2, 3, 4, 5, {0, 0, 0, 0, 1, 2, 3, 1}, PAD_CONSTANT, 0, false},
      {"constant, left only", 1, 2, 3, 3, {0, 0, 0, 0, 0, 0, 2, 0}, PAD_CONSTANT, 0, false},
      {"reflect up to w - 1", 2, 3, 4, 5, {0, 0, 0, 0, 3, 2, 4, 1}, PAD_REFLECT, 0, false},
      {"symmetric up to w", 1, 2, 3, 4, {0, 0, 0, 0, 3, 1, 4, 2}, PAD_SYMMETRIC, 0, false},
      {"edge", 2, 3, 3, 2, {0, 0, 0, 0, 2, 3, 1, 3}, PAD_EDGE, 0, false},
      {"channels from lane 60 wrap", 1, 9, 3, 3, {0, 0, 0, 0, 1, 1, 1, 1}, PAD_REFLECT, 60, false},
      {"c paddings only shape the strides", 1, 3, 2, 3, {0, 0, 0, 2, 1, 0, 0, 1}, PAD_EDGE, 0, false},
      {"no padding: the interior copy", 1, 2, 3, 3, {0, 0, 0, 0, 0, 0, 0, 0}, PAD_SYMMETRIC, 0, false},
      {"8-bit, five items, constant", 5, 3, 3, 4, {0, 0, 0, 0, 1, 1, 2, 1}, PAD_CONSTANT, 0, true},
      {"8-bit, reflect", 6, 2, 4, 3, {0, 0, 0, 0, 2, 1, 1, 2}, PAD_REFLECT, 0, true},
  };
  const float constant = -2.5f;
  const int byte = 0x1a7;  // only the low byte is used
  for (const PadCase &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(11);
      const int units = k.fix8b ? (k.n + 3) / 4 : k.n;
      const int oc = k.c + k.p[2] + k.p[3], oh = k.h + k.p[4] + k.p[5], ow = k.w + k.p[6] + k.p[7];
      const Local in = resident(lane(k.lane, 0), units, k.c, k.h, k.w);
      // The output's strides follow oc; the kernel writes the first c channels.
      Local out = resident(lane(k.lane, 0x8000), units, oc, oh, ow);
      out.shape.c = k.c;
      const ar::W4 x = put(rig, in, val);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_pad_fix8b_local(untag(in.addr), untag(out.addr), k.n, k.c, k.h, k.w, k.p, k.mode, byte, node);
        else
          nodechip_pad_local(untag(in.addr), untag(out.addr), k.n, k.c, k.h, k.w, k.p, k.mode, constant, node);
      }));
      const u32 fillv = k.fix8b ? 0xa7a7a7a7u : er::bits(constant);
      EXPECT_TRUE(same(get(rig, out), ar::pad(x, k.p[4], k.p[5], k.p[6], k.p[7], k.mode, fillv)));
    }
  }
}

TEST(Pad, EmptyInputFillsTheOutputAndUnknownModesFailAfterTheInteriorCopy) {
  const int p[8] = {0, 0, 0, 0, 1, 1, 1, 1};
  {
    BdRig rig;
    const Local out = resident(lane(0, 0x4000), 2, 3, 3, 2);  // h 1 + 2, w 0 + 2
    rig.fill(out, [] { return 7u; });
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
      nodechip_pad_local(0, untag(out.addr), 2, 3, 1, 0, p, 9, 1.5f, node);  // mode not checked
    }));
    EXPECT_EQ(rig.bd_commands(), 1u);
    for (u32 v : rig.read(out)) ASSERT_EQ(v, er::bits(1.5f));
  }
  const int none[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(issued([&](cmd_id_node_t *node) { nodechip_pad_local(0, 0x4000, 1, 0, 3, 3, none, 0, 0, node); }).empty());
  expect_kernel_assert([&](cmd_id_node_t *node) { nodechip_pad_local(0, 0x4000, 1, 1, 2, 2, p, 4, 0, node); },
                       "ASSERT_FS", "nodechip_pad_local", "0", 1, "pad_mode=4");
  expect_kernel_assert([&](cmd_id_node_t *node) { nodechip_pad_fix8b_local(0, 0x4000, 4, 1, 2, 2, p, -1, 0, node); },
                       "ASSERT_FS", "nodechip_pad_fix8b_local", "0", 1, "pad_mode=-1");
}

// ---- Tile ----

TEST(Tile, BlocksAndElementRepetitionMatchTheReference) {
  struct Case {
    const char *what;
    int shape[4], coef[4], mode;
    bool fix8b;
    int want[4];  // effective {tn, tc, th, tw}
  };
  const Case cases[] = {
      {"blocks along every axis", {2, 3, 2, 3}, {2, 2, 3, 2}, 0, false, {2, 2, 3, 2}},
      {"channels of the copies wrap past lane 63", {1, 40, 2, 2}, {1, 3, 1, 1}, 0, false, {1, 3, 1, 1}},
      {"all ones: three self copies", {2, 2, 2, 2}, {1, 1, 1, 1}, 0, false, {1, 1, 1, 1}},
      {"elements repeated", {2, 3, 3, 2}, {1, 1, 2, 3}, 1, false, {1, 1, 2, 3}},
      {"8-bit blocks, five items", {5, 2, 2, 3}, {2, 1, 2, 2}, 0, true, {2, 1, 2, 2}},
      {"8-bit elements", {3, 2, 2, 2}, {1, 1, 3, 2}, 2, true, {1, 1, 3, 2}},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(5);
      const int N = k.fix8b ? (k.shape[0] + 3) / 4 : k.shape[0];
      const Local in = resident(lane(0, 0), N, k.shape[1], k.shape[2], k.shape[3]);
      const ar::W4 x = put(rig, in, val);
      const ar::W4 want = k.mode == 0 ? ar::tile(x, k.want[0], k.want[1], k.want[2], k.want[3])
                                      : ar::repeat(x, k.want[2], k.want[3]);
      const Local out = resident(lane(0, 0x10000), want.n, want.c, want.h, want.w);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_tile_fix8b_local(untag(in.addr), untag(out.addr), k.shape, k.coef, 4, 2, 2, k.mode, node);
        else
          nodechip_tile_local(untag(in.addr), untag(out.addr), k.shape, k.coef, 4, 0, 0, k.mode, node);
      }));
      EXPECT_TRUE(same(get(rig, out), want));
    }
  }
  const int shape[4] = {2, 2, 2, 2}, ones[4] = {1, 1, 1, 1}, trailing0[4] = {1, 2, 3, 0};
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { nodechip_tile_local(0, 0x10000, shape, ones, 4, 0, 0, 0, n); }).size(), 4u);
  // A trailing zero makes that dimension and every later one extent 1, coefficient 1.
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { nodechip_tile_local(0, 0x10000, shape, trailing0, 4, 0, 0, 0, n); }).size(),
            7u);
  const int two_c[4] = {1, 2, 2, 2};
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_tile_local(0, 0x10000, shape, two_c, 4, 0, 0, 1, n); }, "ASSERT",
                       "nodechip_tile_local", "tile_coef_backend[1] < 2 && tile_coef_backend[0] < 2");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_tile_fix8b_local(0, 0x10000, shape, ones, 5, 2, 2, 0, n); },
                       "ASSERT_FS", "nodechip_tile_fix8b_local", "input_dim <= 4");
}

// ---- Strided slice ----

TEST(StrideSlice, SelectsTheStridedElements) {
  struct Case {
    const char *what;
    int shape[4], begin[4], end[4], stride[4], begin_mask, end_mask;
    bool fix8b;
  };
  const Case cases[] = {
      {"the whole tensor", {2, 3, 4, 5}, {1, 0, 1, 1}, {0, 0, 0, 0}, {1, 1, 1, 1}, 15, 15, false},
      {"strided rows and columns, odd sizes", {2, 3, 7, 9}, {0, 0, 1, 2}, {2, 3, 7, 9}, {1, 1, 2, 3}, 0, 0, false},
      {"end -1 means extent - 1", {1, 2, 5, 6}, {0, 0, 0, 1}, {1, 2, -1, -1}, {1, 1, 1, 2}, 0, 0, false},
      {"batch begin and channels from 64", {3, 130, 2, 3}, {1, 64, 0, 0}, {3, 130, 2, 3}, {1, 1, 1, 1}, 0, 0, false},
      {"8-bit keeps the batch", {5, 3, 6, 5}, {0, 0, 1, 0}, {5, 3, 6, 5}, {1, 1, 2, 2}, 1, 0, true},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(7);
      const int N = k.fix8b ? (k.shape[0] + 3) / 4 : k.shape[0];
      const Local in = resident(lane(0, 0), N, k.shape[1], k.shape[2], k.shape[3]);
      const ar::W4 x = put(rig, in, val);
      int b[4], o[4];
      for (int i = 0; i < 4; i++) {
        int bi = k.begin[i] < 0 ? k.begin[i] + k.shape[i] : k.begin[i];
        int ei = k.end[i] < 0 ? k.end[i] + k.shape[i] : k.end[i];
        if ((k.begin_mask >> i) & 1) bi = 0;
        if ((k.end_mask >> i) & 1) ei = k.shape[i];
        b[i] = bi;
        o[i] = (ei - bi + k.stride[i] - 1) / k.stride[i];
      }
      if (k.fix8b) o[0] = N;
      const ar::W4 want = ar::slice(x, b, k.stride, o);
      const Local out = resident(lane(0, 0x20000), o[0], o[1], o[2], o[3]);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_stride_slice_forward_local_fix8b(untag(in.addr), untag(out.addr), k.shape, 4, k.begin_mask,
                                                    k.end_mask, k.begin, k.end, k.stride, node);
        else
          nodechip_stride_slice_forward_local(untag(in.addr), untag(out.addr), k.shape, 4, k.begin_mask, k.end_mask,
                                              k.begin, k.end, k.stride, node);
      }));
      EXPECT_TRUE(same(get(rig, out), want));
    }
  }
}

TEST(StrideSlice, EmptySlicesIssueNothingAndBadArgumentsAreRefused) {
  const int shape[4] = {2, 3, 4, 5}, ones[4] = {1, 1, 1, 1};
  const int b[4] = {0, 0, 2, 0}, e[4] = {2, 3, 2, 5};
  EXPECT_TRUE(issued([&](cmd_id_node_t *n) {
                nodechip_stride_slice_forward_local(0, 0x10000, shape, 4, 0, 0, b, e, ones, n);
              }).empty());
  const int zero[4] = {1, 1, 0, 1}, back[4] = {0, 0, 4, 0}, c3[4] = {0, 3, 0, 0};
  const int full[4] = {2, 3, 4, 5}, e8[4] = {4, 3, 4, 5};
  const char *fn = "nodechip_stride_slice_forward_local";
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_stride_slice_forward_local(0, 0x10000, shape, 4, 0, 0, b, full, zero, n); },
                       "ASSERT_FS", fn, "strides[i] != 0", 0, "stride 0 of dimension 2");
  // End 1 before begin 4 with stride 1: a negative extent.
  const int e1[4] = {2, 3, 1, 5};
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_stride_slice_forward_local(0, 0x10000, shape, 4, 0, 0, back, e1, ones, n); },
                       "ASSERT_FS", fn, "o[i] >= 0", 0, "dimension 2: begin 4, end 1, stride 1");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_stride_slice_forward_local(0, 0x10000, shape, 4, 0, 0, c3, full, ones, n); },
                       "ASSERT_FS", fn, "begin_index[1] % (1<<(6)) == 0", 0, "begin_index[1]=3");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_stride_slice_forward_local(0, 0x10000, shape, 3, 0, 0, b, full, ones, n); },
                       "ASSERT_FS", fn, "shape_size == 4");
  const int b0[4] = {0, 0, 0, 0}, shape8[4] = {8, 3, 4, 5};
  expect_kernel_assert([&](cmd_id_node_t *n) {
    nodechip_stride_slice_forward_local_fix8b(0, 0x10000, shape8, 4, 0, 0, b0, e8, ones, n);
  }, "ASSERT_FS", "nodechip_stride_slice_forward_local_fix8b", "output_n==input_n");
}

// ---- Concat ----

TEST(Concat, EveryInputLandsAtItsOwnPlace) {
  struct Case {
    const char *what;
    std::vector<std::vector<int>> shapes;
    int axis;
    u32 lane;
    bool fix8b;
  };
  const Case cases[] = {
      {"w: the second at column 3", {{1, 8, 4, 3}, {1, 8, 4, 5}}, CONCAT_AXIS_W, 0, false},
      {"h, three inputs", {{2, 3, 2, 3}, {2, 3, 1, 3}, {2, 3, 3, 3}}, CONCAT_AXIS_H, 0, false},
      {"c of 3 and 5 channels: each at its lane", {{2, 3, 2, 3}, {2, 5, 2, 3}}, CONCAT_AXIS_C, 0, false},
      {"c from lane 60, wrapping past lane 63", {{1, 6, 3, 3}, {1, 70, 3, 3}}, CONCAT_AXIS_C, 60, false},
      {"n", {{2, 3, 2, 2}, {1, 3, 2, 2}}, CONCAT_AXIS_N, 0, false},
      {"8-bit c", {{5, 3, 2, 3}, {5, 2, 2, 3}}, CONCAT_AXIS_C, 0, true},
      {"8-bit n: four items, then three", {{4, 2, 2, 3}, {3, 2, 2, 3}}, CONCAT_AXIS_N, 0, true},
      {"8-bit w", {{6, 2, 3, 2}, {6, 2, 3, 3}}, CONCAT_AXIS_W, 0, true},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(13);
      std::vector<ar::W4> xs;
      std::vector<u32> offsets;
      std::vector<const int *> shapes;
      for (size_t i = 0; i < k.shapes.size(); i++) {
        const auto &sh = k.shapes[i];
        const int units = k.fix8b ? (sh[0] + 3) / 4 : sh[0];
        const Local in = resident(lane(k.lane, u32(0x4000 * i)), units, sh[1], sh[2], sh[3]);
        xs.push_back(put(rig, in, val));
        offsets.push_back(untag(in.addr));
        shapes.push_back(sh.data());
      }
      ar::W4 want = ar::concat(xs, k.axis);
      int out_shape[4] = {want.n, want.c, want.h, want.w};
      if (k.fix8b) {  // batch counts in items
        out_shape[0] = 0;
        for (const auto &sh : k.shapes) out_shape[0] = k.axis == CONCAT_AXIS_N ? out_shape[0] + sh[0] : sh[0];
      }
      const Local out = resident(lane(k.lane, 0x20000), want.n, want.c, want.h, want.w);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_concat_fix8b_local(k.axis, int(offsets.size()), offsets.data(), untag(out.addr), shapes.data(),
                                      out_shape, node);
        else
          nodechip_concat_local(offsets.data(), untag(out.addr), shapes.data(), int(offsets.size()), out_shape, k.axis,
                                node);
      }));
      EXPECT_TRUE(same(get(rig, out), want));
    }
  }
  const int a[4] = {1, 2, 2, 2};
  const int *shapes[1] = {a};
  const u32 in[1] = {0};
  EXPECT_TRUE(issued([&](cmd_id_node_t *n) { nodechip_concat_local(in, 0x1000, shapes, 1, a, 4, n); }).empty());
  // Channels beyond 4032 go in chunks of 63 lane rows.
  const int big[4] = {1, 4100, 1, 1};
  const int *bigs[1] = {big};
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { nodechip_concat_local(in, 0x40000, bigs, 1, big, 1, n); }).size(), 2u);
}

// ---- Reorg ----

TEST(Reorg, PlanCountsShiftsAndSizesTheBuffer) {
  struct Case {
    int bottom[4], top[4];
    int fix8b;
    reorg_plan_t want;
  };
  // T = n * ceil(c/64) * plane(h, w) * 4.
  const Case cases[] = {
      {{1, 16, 3, 3}, {1, 4, 6, 6}, 0, {1, 2, 3, 4, 1, 1, 128, 384}},
      {{2, 12, 2, 2}, {2, 3, 4, 4}, 0, {1, 2, 3, 3, 1, 1, 256, 768}},
      {{5, 16, 3, 3}, {5, 4, 6, 6}, 1, {1, 2, 3, 4, 1, 1, 256, 768}},
      {{1, 64, 8, 8}, {1, 256, 4, 4}, 0, {0, 2, 0, 1, 1, 4, 256, 0}},
      {{1, 64, 6, 6}, {1, 256, 3, 3}, 0, {0, 2, 1, 1, 2, 4, 256, 256}},  // 4 does not divide 6: k = 2
  };
  for (const Case &k : cases) {
    reorg_plan_t p;
    reorg_plan_of(&p, k.bottom, k.top, k.fix8b);
    EXPECT_EQ(p.depth_to_space, k.want.depth_to_space);
    EXPECT_EQ(p.stride, k.want.stride);
    EXPECT_EQ(p.shifts, k.want.shifts);
    EXPECT_EQ(p.shift_step, k.want.shift_step);
    EXPECT_EQ(p.k, k.want.k);
    EXPECT_EQ(p.groups, k.want.groups);
    EXPECT_EQ(p.slot_bytes, k.want.slot_bytes);
    EXPECT_EQ(p.buffer_bytes, k.want.buffer_bytes);
    // The areas the test places below: input, output and buffer apart.
    const local_area_t areas[] = {{"input", 0, p.slot_bytes}, {"output", 0x8000, p.slot_bytes}, {"buffer", 0x10000, p.buffer_bytes}};
    EXPECT_TRUE(local_areas_valid(areas, 3));
  }
}

TEST(Reorg, DepthToSpaceAndBack) {
  struct Case {
    const char *what;
    int bottom[4], top[4];
    bool fix8b;
  };
  const Case cases[] = {
      {"depth to space, c 16 to 4", {1, 16, 3, 3}, {1, 4, 6, 6}, false},
      {"depth to space, two items, stride 3", {2, 9, 2, 3}, {2, 1, 6, 9}, false},
      {"8-bit depth to space, five items", {5, 8, 2, 2}, {5, 2, 4, 4}, true},
      {"space to depth, 64 channels of 8 x 8", {1, 64, 8, 8}, {1, 256, 4, 4}, false},
      // h = s*s: the groups past the first s start on a row with no whole
      // block below it and are filled by the round's tail copy alone.
      {"space to depth, h = s * s", {1, 64, 4, 4}, {1, 256, 2, 2}, false},
      {"space to depth, h = s * s, stride 4", {1, 64, 16, 16}, {1, 1024, 4, 4}, false},
      {"8-bit space to depth, h = s * s", {3, 64, 4, 4}, {3, 256, 2, 2}, true},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(17);
      const int N = k.fix8b ? (k.bottom[0] + 3) / 4 : k.bottom[0];
      const Local in = resident(lane(0, 0), N, k.bottom[1], k.bottom[2], k.bottom[3]);
      const ar::W4 x = put(rig, in, val);
      const Local out = resident(lane(0, 0x8000), N, k.top[1], k.top[2], k.top[3]);
      cmd_id_node_t second = {0, 0, 1};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        if (k.fix8b)
          nodechip_reorg_forward_fix8b_local(0, untag(out.addr), 0x10000, k.bottom, k.top, 0, node, &second);
        else
          nodechip_reorg_forward_local(0, untag(out.addr), 0x10000, k.bottom, k.top, 0, node, &second);
        // The second node is raised to both fields' maxima, its flag cleared.
        if (second.gdma_cmd_id != node->gdma_cmd_id || second.bd_cmd_id > node->bd_cmd_id || second.divided != 0)
          second.divided = 9;
      }));
      EXPECT_NE(second.divided, 9);
      const ar::W4 want = k.top[1] < k.bottom[1] ? ar::depth_to_space(x, k.top[2] / k.bottom[2])
                                                 : ar::flat_reorg(x, k.bottom[2] / k.top[2]);
      EXPECT_TRUE(same(get(rig, out), want));
    }
  }
}

TEST(Reorg, CommandsSkipAndChecks) {
  const int b16[4] = {1, 16, 3, 3}, t4[4] = {1, 4, 6, 6};
  auto count = [](const std::function<void(cmd_id_node_t *)> &fn, size_t *gdma) {
    FirmwareRig rig;
    EXPECT_TRUE(ran_clean(rig.run_checks(fn)));
    *gdma = rig.chip().engines.gdma.commands().size();
    return rig.chip().engines.bd.commands().size();
  };
  size_t gdma = 0;
  cmd_id_node_t second = {5, 7, 1};
  EXPECT_EQ(count([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, t4, 0, n, &second); }, &gdma), 4u);
  EXPECT_EQ(gdma, 3u);  // steps 4, 8 and 12
  second = {5, 7, 1};
  EXPECT_EQ(count([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, t4, 1, n, &second); }, &gdma), 4u);
  EXPECT_EQ(gdma, 0u);
  EXPECT_EQ(second.divided, 1);  // left unchanged with skip
  const int b64[4] = {1, 64, 8, 8}, t256[4] = {1, 256, 4, 4};
  EXPECT_EQ(count([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b64, t256, 0, n, &second); }, &gdma), 6u);
  EXPECT_EQ(gdma, 0u);
  const char *fn = "nodechip_reorg_forward_local";
  const int t2[4] = {2, 4, 6, 6}, same_c[4] = {1, 16, 6, 6}, skew[4] = {1, 4, 6, 9}, small[4] = {1, 4, 1, 1};
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, t2, 0, n, &second); },
                       "ASSERT_FS", fn, "bottom_dim[0] == top_dim[0]");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, same_c, 0, n, &second); },
                       "ASSERT_FS", fn, "top_c != bottom_c");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, skew, 0, n, &second); },
                       "ASSERT_FS", fn, "top_h / bottom_h == top_w / bottom_w");
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_local(0, 0x8000, 0x10000, b16, small, 0, n, &second); },
                       "ASSERT_FS", fn, "stride > 0");
  const int wide[4] = {1, 256, 2, 4};
  expect_kernel_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_fix8b_local(0, 0x8000, 0x10000, b64, wide, 0, n, &second); },
                       "ASSERT_FS", "nodechip_reorg_forward_fix8b_local", "bottom_h / top_h == bottom_w / top_w");
}

}  // namespace
}  // namespace zv::test::local
