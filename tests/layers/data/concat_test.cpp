// Concat, slice and split as firmware code on the chip model, against plain
// references.
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "layers/data/concat.h"
#include "layers/data/data_rig.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

u64 in_addr(size_t i) { return kDataIn + u64(i) * 0x400000ull; }
u64 out_addr(size_t i) { return kDataOut + u64(i) * 0x400000ull; }

Shape padded(const Shape &s, size_t dims) {
  Shape p = s;
  p.resize(dims, 1);
  return p;
}

// ---- Concat ----

struct ConcatCase {
  const char *what;
  std::vector<Shape> shapes;
  int axis;
  std::vector<int> flags;  // 1: skipped
};

// Float concat of 4 axes (nodechip_concat) or of up to 8 (nodechip_concat_md,
// axis possibly negative).
void check_concat(const ConcatCase &k, bool md) {
  SCOPED_TRACE(k.what);
  const size_t dims = k.shapes[0].size();
  const int axis = k.axis < 0 ? k.axis + int(dims) : k.axis;
  std::vector<Bytes> ins;
  for (size_t i = 0; i < k.shapes.size(); i++) ins.push_back(pattern_bytes(ref::count_of(k.shapes[i]) * 4, 10 + i));
  Bytes want = ref::concat(ins, k.shapes, axis, 4);
  const Bytes before = pattern_bytes(want.size(), 99);
  // A skipped input's part of the output keeps what was there.
  {
    std::vector<Bytes> kept = ins;
    std::vector<Shape> shapes = k.shapes;
    const Bytes marks = ref::concat(ins, k.shapes, axis, 4);
    for (size_t i = 0; i < ins.size(); i++) kept[i] = Bytes(ins[i].size(), 0);
    for (size_t i = 0; i < ins.size(); i++)
      if (k.flags[i] != 1) kept[i] = Bytes(ins[i].size(), 1);
    const Bytes mask = ref::concat(kept, shapes, axis, 4);
    for (size_t b = 0; b < want.size(); b++) want[b] = mask[b] ? marks[b] : before[b];
  }
  Shape out_shape = k.shapes[0];
  out_shape[axis] = 0;
  for (const Shape &s : k.shapes) out_shape[axis] += s[axis];
  std::vector<u64> addrs;
  std::vector<int> shapes;
  for (size_t i = 0; i < ins.size(); i++) {
    addrs.push_back(in_addr(i));
    const Shape p = padded(k.shapes[i], md ? CONCAT_MAX_DIMS : 4);
    shapes.insert(shapes.end(), p.begin(), p.end());
  }
  on_each_seed(
      [&](FirmwareRig &rig) {
        for (size_t i = 0; i < ins.size(); i++) put<u8>(rig, in_addr(i), ins[i]);
        put<u8>(rig, kDataOut, before);
      },
      [&](cmd_id_node_t *node) {
        if (md)
          nodechip_concat_md(k.axis, int(dims), int(ins.size()), addrs.data(), kDataOut, shapes.data(),
                             out_shape.data(), k.flags.data(), node);
        else
          nodechip_concat(k.axis, int(ins.size()), addrs.data(), kDataOut, shapes.data(), out_shape.data(),
                          k.flags.data(), node);
      },
      [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
}

TEST(Concat, FloatAlongEachAxis) {
  const ConcatCase cases[] = {
      {"batch", {{2, 3, 4, 5}, {1, 3, 4, 5}}, 0, {0, 0}},
      {"channels, three inputs", {{2, 1, 4, 5}, {2, 3, 4, 5}, {2, 2, 4, 5}}, 1, {0, 0, 0}},
      {"height", {{2, 3, 1, 5}, {2, 3, 2, 5}}, 2, {0, 0}},
      {"width", {{2, 3, 4, 1}, {2, 3, 4, 6}}, 3, {0, 0}},
      {"the first input skipped: the second lands after it", {{1, 2, 3, 4}, {1, 3, 3, 4}}, 1, {1, 0}},
      {"rows longer than a dimension", {{1, 1, 2, 70000}, {1, 1, 2, 5}}, 3, {0, 0}},
  };
  for (const ConcatCase &k : cases) check_concat(k, false);
}

TEST(Concat, FloatOfUpToEightAxes) {
  const ConcatCase cases[] = {
      {"8 axes along axis 5", {{2, 1, 2, 1, 2, 1, 3, 2}, {2, 1, 2, 1, 2, 3, 3, 2}}, 5, {0, 0}},
      {"8 axes along the last, counted from the end", {{1, 2, 1, 2, 1, 2, 1, 3}, {1, 2, 1, 2, 1, 2, 1, 1}}, -1, {0, 0}},
      {"2 axes along axis 0", {{3, 4}, {2, 4}}, 0, {0, 0}},
      {"1 axis, the middle input skipped", {{3}, {5}, {2}}, 0, {0, 1, 0}},
  };
  for (const ConcatCase &k : cases) check_concat(k, true);
}

TEST(Concat, EightBitGroupsAlongEachAxis) {
  // Along the batch each input keeps whole groups: the padding slots of a
  // batch that is not a multiple of 4 stay between the inputs.
  const Shape a = {3, 2, 2, 3}, b = {5, 2, 2, 3};
  const size_t item = 12;
  const Bytes pa = pattern_bytes(3 * item, 1), pb = pattern_bytes(5 * item, 2);
  const Bytes fa = ref::to_4n(pa, 3, item, 0xa1), fb = ref::to_4n(pb, 5, item, 0xb2);
  Bytes want = fa;
  want.insert(want.end(), fb.begin(), fb.end());
  const std::vector<u64> addrs = {in_addr(0), in_addr(1)};
  const std::vector<int> flags = {0, 0};
  std::vector<int> shapes = a;
  shapes.insert(shapes.end(), b.begin(), b.end());
  const Shape out_shape = {12, 2, 2, 3};
  on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, in_addr(0), fa), put<u8>(rig, in_addr(1), fb); },
               [&](cmd_id_node_t *node) {
                 nodechip_concat_fix8b(0, 2, addrs.data(), kDataOut, shapes.data(), out_shape.data(), flags.data(),
                                       node);
               },
               [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  // Along the other axes the groups' words join as 4-byte elements.
  for (int axis = 1; axis < 4; axis++) {
    SCOPED_TRACE("axis " + std::to_string(axis));
    Shape sa = {6, 2, 3, 4}, sb = sa;
    sb[axis] = 1;
    Shape out = sa;
    out[axis] += 1;
    const Shape ga = {2, sa[1], sa[2], sa[3]}, gb = {2, sb[1], sb[2], sb[3]};
    const Bytes wa = pattern_bytes(ref::count_of(ga) * 4, 3), wb = pattern_bytes(ref::count_of(gb) * 4, 4);
    const Bytes words = ref::concat({wa, wb}, {ga, gb}, axis, 4);
    std::vector<int> sh = sa;
    sh.insert(sh.end(), sb.begin(), sb.end());
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, in_addr(0), wa), put<u8>(rig, in_addr(1), wb); },
                 [&](cmd_id_node_t *node) {
                   nodechip_concat_fix8b(axis, 2, addrs.data(), kDataOut, sh.data(), out.data(), flags.data(), node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, words.size()) == words); });
  }
}

std::string interleave_text(const std::vector<int> &items, const std::vector<int> &words) {
  std::vector<concat_interleave_t> plan(items.size());
  const int rem = concat_interleave_plan_of(int(items.size()), items.data(), words.data(), plan.data());
  std::string s;
  for (const concat_interleave_t &p : plan)
    s += "{" + std::to_string(p.full) + "@" + std::to_string(p.whole_at) + " " + std::to_string(p.placed) + "+" +
         std::to_string(p.first) + "->" + std::to_string(p.slot) + "@" + std::to_string(p.place_at) + "}";
  return s + " rem " + std::to_string(rem);
}

TEST(Concat, BatchInterleavePlan) {
  // Items 3, 2, 5 of 2 words per item: groups of 8 bytes.
  EXPECT_EQ(interleave_text({3, 2, 5}, {2, 2, 2}), "{0@0 3+0->0@0}{0@0 2+0->3@0}{0@8 5+0->1@8} rem 2");
  EXPECT_EQ(interleave_text({8, 4, 1}, {3, 3, 3}), "{8@0 0+8->0@24}{4@24 0+4->0@36}{0@36 1+0->0@36} rem 1");
  EXPECT_EQ(interleave_text({1, 1, 1, 1, 6}, {1, 1, 1, 1, 1}),
            "{0@0 1+0->0@0}{0@0 1+0->1@0}{0@0 1+0->2@0}{0@0 1+0->3@0}{4@4 2+4->0@8} rem 2");
}

// 8-bit concat of up to 8 axes in 4N: items interleave along the batch.
void check_concat_md_fix8b(const std::vector<Shape> &shapes, int axis, const std::vector<int> &flags,
                           size_t commands) {
  const size_t dims = shapes[0].size();
  const int a = axis < 0 ? axis + int(dims) : axis;
  std::vector<Bytes> plain, four;
  std::vector<u64> addrs;
  std::vector<int> sh;
  for (size_t i = 0; i < shapes.size(); i++) {
    const size_t len = ref::count_of(shapes[i]) / size_t(shapes[i][0]);
    plain.push_back(pattern_bytes(ref::count_of(shapes[i]), 20 + i));
    four.push_back(ref::to_4n(plain.back(), shapes[i][0], len, 0x5a));
    addrs.push_back(in_addr(i));
    const Shape p = padded(shapes[i], CONCAT_MAX_DIMS);
    sh.insert(sh.end(), p.begin(), p.end());
  }
  Shape out_shape = shapes[0];
  out_shape[a] = 0;
  for (const Shape &s : shapes) out_shape[a] += s[a];
  const Bytes want = ref::concat(plain, shapes, a, 1);
  const size_t out_len = ref::count_of(out_shape) / size_t(out_shape[0]);
  on_each_seed(
      [&](FirmwareRig &rig) {
        for (size_t i = 0; i < four.size(); i++) put<u8>(rig, in_addr(i), four[i]);
      },
      [&](cmd_id_node_t *node) {
        nodechip_concat_md_fix8b(axis, int(dims), int(shapes.size()), addrs.data(), kDataOut, sh.data(),
                                 out_shape.data(), flags.data(), node);
      },
      [&](FirmwareRig &rig) {
        const size_t groups = (size_t(out_shape[0]) + 3) / 4;
        EXPECT_TRUE(ref::from_4n(get<u8>(rig, kDataOut, groups * 4 * out_len), out_shape[0], out_len) == want);
        if (commands) {
          EXPECT_EQ(rig.chip().engines.gdma.commands().size(), commands);
        }
      });
}

TEST(Concat, EightBitItemsInterleaveAlongTheBatch) {
  // 3, 2 and 5 items: group 0 holds 3 + 1, group 1 holds 1 + 3, group 2 holds 2.
  check_concat_md_fix8b({{3, 2, 3}, {2, 2, 3}, {5, 2, 3}}, 0, {0, 0, 0}, 0);
  // Whole groups first, then a tail; 8 axes.
  check_concat_md_fix8b({{6, 1, 2, 1, 1, 2, 1, 3}, {4, 1, 2, 1, 1, 2, 1, 3}, {1, 1, 2, 1, 1, 2, 1, 3}}, 0, {0, 0, 0},
                        0);
  // A group holds more than 65535 words: the slot copies are cut.
  check_concat_md_fix8b({{1, 70000}, {2, 70000}}, 0, {0, 0}, 0);
  // The other axes, negative counted from the end.
  check_concat_md_fix8b({{5, 2, 3, 2}, {5, 2, 1, 2}}, 2, {0, 0}, 2);
  check_concat_md_fix8b({{7, 2, 3, 2}, {7, 2, 3, 5}}, -1, {0, 0}, 2);
}

TEST(Concat, BadAxesFailTheirChecks) {
  const std::vector<u64> addrs = {in_addr(0), in_addr(1)};
  const std::vector<int> shapes(16, 2), out(8, 4), flags = {0, 0};
  struct Bad {
    const char *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"nodechip_concat_md", "concat_axis >= 0 && concat_axis < shape_size",
       [&](cmd_id_node_t *n) {
         nodechip_concat_md(3, 3, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
      {"nodechip_concat_md", "concat_axis >= 0 && concat_axis < shape_size",
       [&](cmd_id_node_t *n) {
         nodechip_concat_md(-4, 3, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
      {"nodechip_concat_md", "shape_size <= 8",
       [&](cmd_id_node_t *n) {
         nodechip_concat_md(0, 9, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
      // An axis equal to the axis count names no axis of the shapes.
      {"nodechip_concat_md_fix8b", "concat_axis >= 0 && concat_axis < shape_size",
       [&](cmd_id_node_t *n) {
         nodechip_concat_md_fix8b(3, 3, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
      {"nodechip_concat_md_fix8b", "shape_size <= 8",
       [&](cmd_id_node_t *n) {
         nodechip_concat_md_fix8b(1, 9, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
      {"nodechip_concat", "axis >= 0 && axis < 4",
       [&](cmd_id_node_t *n) {
         nodechip_concat(4, 2, addrs.data(), kDataOut, shapes.data(), out.data(), flags.data(), n);
       }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    expect_assert(b.call, "ASSERT_FS", "firmware/layers/", b.function, b.condition, "none.");
  }
}

// ---- Slice ----

TEST(Slice, CutsAlongEachAxisAndSkipsUnflaggedOutputs) {
  struct Case {
    const char *what;
    Shape shape;
    int axis;
    std::vector<int> sizes, flags;
  };
  const Case cases[] = {
      {"batch", {4, 2, 3, 2}, 0, {1, 3}, {1, 1}},
      {"channels, the middle output not written", {2, 6, 2, 3}, 1, {2, 1, 3}, {1, 0, 1}},
      {"height", {3, 2, 5, 4}, 2, {4, 1}, {1, 1}},
      {"width, extents of 1", {2, 2, 2, 3}, 3, {1, 1, 1}, {1, 1, 1}},
      {"rows longer than a dimension", {1, 1, 2, 70004}, 3, {70000, 4}, {1, 1}},
  };
  for (int fix8b = 0; fix8b < 2; fix8b++)
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(k.what) + (fix8b ? ", bytes" : ", float"));
      const size_t size = fix8b ? 1 : 4;
      const Bytes in = pattern_bytes(ref::count_of(k.shape) * size, 6);
      const std::vector<Bytes> want = ref::split(in, k.shape, k.axis, k.sizes, size);
      std::vector<u64> outs;
      for (size_t i = 0; i < k.sizes.size(); i++) outs.push_back(out_addr(i));
      on_each_seed(
          [&](FirmwareRig &rig) {
            put<u8>(rig, kDataIn, in);
            for (size_t i = 0; i < want.size(); i++) put<u8>(rig, out_addr(i), Bytes(want[i].size(), 0xcd));
          },
          [&](cmd_id_node_t *node) {
            (fix8b ? nodechip_slice_fix8b_forward : nodechip_slice_forward)(
                kDataIn, int(outs.size()), outs.data(), k.shape[0], k.shape[1], k.shape[2], k.shape[3], k.axis,
                k.sizes.data(), k.flags.data(), node);
          },
          [&](FirmwareRig &rig) {
            for (size_t i = 0; i < want.size(); i++)
              EXPECT_TRUE(get<u8>(rig, out_addr(i), want[i].size()) ==
                          (k.flags[i] ? want[i] : Bytes(want[i].size(), 0xcd)))
                  << "output " << i;
          });
    }
}

// ---- Split ----

TEST(Split, FloatSplitsOfFourAndEightAxes) {
  struct Case {
    const char *what;
    Shape shape;
    int axis;  // md: may be negative
    std::vector<int> sizes;
    int split_num;
    bool md;
  };
  const Case cases[] = {
      {"equal parts: 3 of an axis of 9", {2, 9, 2, 2}, 1, {3}, 1, false},
      {"sizes along the batch", {5, 2, 3, 2}, 0, {2, 3}, 2, false},
      {"3 axes given: w is 1", {2, 3, 4}, 2, {1, 3}, 2, false},
      {"along w above 65535", {1, 1, 2, 70002}, 3, {70000, 2}, 2, false},
      {"8 axes along axis 4", {2, 1, 2, 1, 5, 1, 2, 2}, 4, {2, 2, 1}, 3, true},
      {"8 axes along the last, counted from the end", {1, 2, 1, 2, 1, 2, 1, 4}, -1, {2}, 1, true},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int dims = int(k.shape.size());
    const int axis = k.axis < 0 ? k.axis + dims : k.axis;
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 7);
    std::vector<int> sizes = k.sizes;
    if (k.split_num == 1) sizes.assign(size_t(k.sizes[0]), k.shape[axis] / k.sizes[0]);
    const std::vector<Bytes> want = ref::split(in, k.shape, axis, sizes, 4);
    std::vector<u64> outs;
    for (size_t i = 0; i < want.size(); i++) outs.push_back(out_addr(i));
    const Shape s4 = padded(k.shape, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   if (k.md)
                     nodechip_split_tf_md(kDataIn, outs.data(), dims, k.shape.data(), k.axis, k.sizes.data(),
                                          k.split_num, node);
                   else
                     nodechip_split_tf(kDataIn, outs.data(), dims, s4[0], s4[1], s4[2], s4[3], k.axis,
                                       k.sizes.data(), k.split_num, node);
                 },
                 [&](FirmwareRig &rig) {
                   for (size_t i = 0; i < want.size(); i++)
                     EXPECT_TRUE(get<u8>(rig, out_addr(i), want[i].size()) == want[i]) << "output " << i;
                 });
  }
}

TEST(Split, EightBitSplitsBetweenStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  struct Case {
    const char *what;
    Shape shape;
    int in_mode, out_mode, axis;
    std::vector<int> sizes;
    int split_num;
    u64 buffer;  // the size query's answer
  };
  const Case cases[] = {
      {"1N to 1N along c", {3, 4, 2, 3}, k1N, k1N, 1, {1, 3}, 2, 0},
      {"4N to 4N along c: words", {6, 4, 2, 3}, k4N, k4N, 1, {3, 1}, 2, 0},
      {"4N to 4N along the batch: through 1N", {7, 2, 3, 1}, k4N, k4N, 0, {2, 5}, 2, 8 * 6 + 5 * 6},
      {"4N to 1N along the batch", {6, 2, 2, 2}, k4N, k1N, 0, {3}, 1, 8 * 8},
      {"4N to 1N along h", {5, 2, 4, 2}, k4N, k1N, 2, {1, 3}, 2, 8 * 2 * 3 * 2},
      {"1N to 4N along w", {5, 2, 2, 4}, k1N, k4N, 3, {2}, 1, 5 * 2 * 2 * 2},
      {"2 axes given", {5, 6}, k1N, k4N, 1, {4, 2}, 2, 5 * 4},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Shape s4 = padded(k.shape, 4);
    const int n = s4[0];
    const size_t len = ref::count_of(s4) / size_t(n);
    const Bytes plain = pattern_bytes(ref::count_of(s4), 8);
    const Bytes in = k.in_mode == k4N ? ref::to_4n(plain, n, len, 0x77) : plain;
    std::vector<int> sizes = k.sizes;
    if (k.split_num == 1) sizes.assign(size_t(k.sizes[0]), s4[k.axis] / k.sizes[0]);
    const std::vector<Bytes> want = ref::split(plain, s4, k.axis, sizes, 1);
    std::vector<u64> outs;
    for (size_t i = 0; i < want.size(); i++) outs.push_back(out_addr(i));
    for (uint64_t seed : deferred_seeds()) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      LayerRunner rig(deferred(seed));
      put<u8>(rig, kDataIn, in);
      u64 bytes = ~0ull;
      auto call = [&](cmd_id_node_t *node, u64 *query) {
        nodechip_split_tf_fix8b(kDataIn, kDataBuf, kDataBuf2, query, k.shape.data(), int(k.shape.size()), k.in_mode,
                                k.out_mode, k.axis, k.sizes.data(), k.split_num, outs.data(), node);
      };
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
      EXPECT_EQ(bytes, k.buffer);
      EXPECT_TRUE(rig.chip().engines.gdma.commands().empty()) << "a size query issues nothing";
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
      for (size_t i = 0; i < want.size(); i++) {
        const int items = k.axis == 0 ? sizes[i] : n;
        const size_t out_len = want[i].size() / size_t(items);
        const Bytes got =
            k.out_mode == k4N
                ? ref::from_4n(get<u8>(rig, out_addr(i), (size_t(items) + 3) / 4 * 4 * out_len), items, out_len)
                : get<u8>(rig, out_addr(i), want[i].size());
        EXPECT_TRUE(got == want[i]) << "output " << i;
      }
    }
  }
}

TEST(Split, BadArgumentsFailTheirChecks) {
  const int shape[4] = {2, 3, 4, 5}, sizes[2] = {1, 1}, zero[1] = {0};
  const u64 outs[2] = {out_addr(0), out_addr(1)};
  struct Bad {
    const char *kind, *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "nodechip_split_tf", "axis >= 0 && axis < 4",
       [&](cmd_id_node_t *n) { nodechip_split_tf(kDataIn, outs, 4, 2, 3, 4, 5, 4, sizes, 2, n); }},
      {"ASSERT_FS", "nodechip_split_tf", "split_num != 1 || split_sizes[0] > 0",
       [&](cmd_id_node_t *n) { nodechip_split_tf(kDataIn, outs, 4, 2, 3, 4, 5, 1, zero, 1, n); }},
      {"ASSERT_FS", "nodechip_split_tf_md", "split_axis >= 0 && split_axis < shape_dim",
       [&](cmd_id_node_t *n) { nodechip_split_tf_md(kDataIn, outs, 4, shape, -5, sizes, 2, n); }},
      {"ASSERT_FS", "nodechip_split_tf_md", "shape_dim <= 8",
       [&](cmd_id_node_t *n) { nodechip_split_tf_md(kDataIn, outs, 9, shape, 1, sizes, 2, n); }},
      {"ASSERT", "nodechip_split_tf_fix8b", "in_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_split_tf_fix8b(kDataIn, kDataBuf, kDataBuf2, nullptr, shape, 4, 1, 0, 1, sizes, 2, outs, n);
       }},
      {"ASSERT", "nodechip_split_tf_fix8b", "out_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_split_tf_fix8b(kDataIn, kDataBuf, kDataBuf2, nullptr, shape, 4, 0, 1, 1, sizes, 2, outs, n);
       }},
      {"ASSERT", "nodechip_split_tf_fix8b", "shape_size > 0",
       [&](cmd_id_node_t *n) {
         nodechip_split_tf_fix8b(kDataIn, kDataBuf, kDataBuf2, nullptr, shape, 0, 0, 0, 1, sizes, 2, outs, n);
       }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    expect_assert(b.call, b.kind, "firmware/layers/", b.function, b.condition, "none.");
  }
}

}  // namespace
}  // namespace zv::test
