// Shape arithmetic on the ARM against plain integer references over tables of
// shapes: broadcast, concat, reduce, reverse, tile, slices (with negative and
// out-of-range indices), and the checks that keep bad shapes from reading or
// writing past the arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fw_test.h"
#include "interp/shape_arith.h"

// The firmware heap's free (its blocks are not the host C library's).
extern "C" void __wrap_free(void *p);

namespace zv::test {
namespace {

using Shape = std::vector<int>;
using Ints = std::vector<int32_t>;

size_t count(const Shape &s) {
  size_t n = 1;
  for (int e : s) n *= size_t(e > 0 ? e : 0);
  return n;
}
Ints iota_values(const Shape &s, int32_t from = 1) {
  Ints v(count(s));
  for (size_t i = 0; i < v.size(); i++) v[i] = from + int32_t(i) * 3 - int32_t(i % 4) * 7;
  return v;
}
// Row-major offset of a multi-index.
size_t offset(const Shape &s, const Shape &idx) {
  size_t o = 0;
  for (size_t d = 0; d < s.size(); d++) o = o * size_t(s[d]) + size_t(idx[d]);
  return o;
}
// Calls f on every multi-index of s in row-major order.
void each(const Shape &s, const std::function<void(const Shape &)> &f) {
  if (count(s) == 0) return;
  Shape idx(s.size(), 0);
  for (;;) {
    f(idx);
    int d = int(s.size()) - 1;
    while (d >= 0 && ++idx[d] == s[d]) idx[d--] = 0;
    if (d < 0) return;
  }
}

// The routines run as firmware code; the output block is copied out and freed.
struct Result {
  int dims = -1;
  Shape shape;
  Ints values;
};
Result take(FirmwareRig &rig, const std::function<int(void **, int *)> &fn) {
  Result r;
  void *out = nullptr;
  int shape[SHAPE_MAX_DIMS] = {};
  // Blocks come from the firmware's heap: copied and freed inside the run.
  EXPECT_TRUE(ran_clean(rig.run([&] {
    r.dims = fn(&out, shape);
    r.shape.assign(shape, shape + (r.dims > 0 ? r.dims : 0));
    if (out != nullptr) {
      r.values.resize(count(r.shape));
      std::memcpy(r.values.data(), out, r.values.size() * 4);
      __wrap_free(out);
    }
  })));
  return r;
}

TEST(ShapeArith, IncreaseIndiceVisitsRowMajorAndStops) {
  FirmwareRig rig;
  std::vector<Shape> seen;
  ASSERT_TRUE(ran_clean(rig.run([&] {
    int idx[2] = {0, 0};
    const int shape[2] = {2, 2};
    do seen.push_back({idx[0], idx[1]});
    while (increase_indice(idx, shape, 2));
    int none[1] = {0};
    EXPECT_EQ(increase_indice(none, shape, 0), 0);
  })));
  EXPECT_EQ(seen, (std::vector<Shape>{{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
}

int64_t ref_int_op(int64_t a, int64_t b, int op) {
  switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3: case 10009: return a / b;
    case 4: return std::max(a, b);
    case 10000: return std::min(a, b);
    case 10007: return (a - b) * (a - b);
    case 10008: return a % b;
  }
  return 0;
}

TEST(ShapeArith, BroadcastIntegerOperationsMatchTheReference) {
  struct Case {
    Shape a, b, out;
  };
  const Case shapes[] = {{{2, 1}, {3}, {2, 3}},         {{3}, {2, 3}, {2, 3}},
                         {{2, 3, 4}, {2, 1, 4}, {2, 3, 4}}, {{1, 4}, {3, 1}, {3, 4}},
                         {{}, {2, 2}, {2, 2}},           {{5}, {5}, {5}}};
  FirmwareRig rig;
  for (const Case &c : shapes) {
    for (int op : {0, 1, 2, 3, 4, 10000, 10007, 10008, 10009}) {
      SCOPED_TRACE("op " + std::to_string(op) + ", a dims " + std::to_string(c.a.size()));
      const Ints a = iota_values(c.a, -7), b = iota_values(c.b, 2);
      Ints bb = b;
      for (int32_t &v : bb)
        if (v == 0) v = 5;  // no division by zero here
      const Result r = take(rig, [&](void **o, int *s) {
        return broadcast_data(a.data(), c.a.data(), int(c.a.size()), bb.data(), c.b.data(), int(c.b.size()), 3,
                              op, o, s);
      });
      ASSERT_EQ(r.shape, c.out);
      Ints want;
      each(c.out, [&](const Shape &idx) {
        auto pick = [&](const Shape &s, const Ints &v) {
          Shape j(s.size());
          for (size_t d = 0; d < s.size(); d++) {
            const int k = idx[idx.size() - s.size() + d];
            j[d] = s[d] == 1 ? 0 : k;
          }
          return int64_t(v[offset(s, j)]);
        };
        want.push_back(int32_t(ref_int_op(pick(c.a, a), pick(c.b, bb), op)));
      });
      EXPECT_EQ(r.values, want);
    }
  }
  // Truncation toward zero and the sign of the dividend.
  const Ints m7 = {-7}, two = {2};
  const Shape one = {1};
  for (auto [op, v] : {std::pair{3, -3}, {10009, -3}, {10008, -1}}) {
    const Result r = take(rig, [&](void **o, int *s) {
      return broadcast_data(m7.data(), one.data(), 1, two.data(), one.data(), 1, 3, op, o, s);
    });
    EXPECT_EQ(r.values, Ints{v}) << op;
  }
  // INT_MIN / -1 and INT_MIN % -1 wrap instead of trapping; - INT_MIN wraps.
  const Ints imin = {INT32_MIN}, m1 = {-1}, zero = {0};
  EXPECT_EQ(take(rig, [&](void **o, int *s) {
              return broadcast_data(imin.data(), one.data(), 1, m1.data(), one.data(), 1, 3, 3, o, s);
            }).values,
            Ints{INT32_MIN});
  EXPECT_EQ(take(rig, [&](void **o, int *s) {
              return broadcast_data(imin.data(), one.data(), 1, m1.data(), one.data(), 1, 3, 10008, o, s);
            }).values,
            Ints{0});
  EXPECT_EQ(take(rig, [&](void **o, int *s) {
              return broadcast_data(zero.data(), one.data(), 1, imin.data(), one.data(), 1, 3, 1, o, s);
            }).values,
            Ints{INT32_MIN});
}

TEST(ShapeArith, ComparisonsAreFloatResults) {
  FirmwareRig rig;
  const Ints a = {1, 5, 3}, b = {2, 2, 3, 1, 5, 4};
  const Shape sa = {3}, sb = {2, 3};
  // Integer inputs, code 10002 (>=) and 10005 (==): float 1.0 / 0.0.
  Result r = take(rig, [&](void **o, int *s) { return broadcast_data(a.data(), sa.data(), 1, b.data(), sb.data(), 2, 3, 10002, o, s); });
  EXPECT_EQ(r.shape, (Shape{2, 3}));
  std::vector<float> f(r.values.size());
  std::memcpy(f.data(), r.values.data(), f.size() * 4);
  EXPECT_EQ(f, (std::vector<float>{0, 1, 1, 1, 1, 0}));
  // Float inputs: NaN compares false except for !=.
  const float nan = std::nanf("");
  const std::vector<float> x = {nan, 1.0f}, y = {1.0f, 1.0f};
  const Shape s2 = {2};
  for (auto [op, want] : {std::pair{10001, std::vector<float>{0, 0}}, {10005, {0, 1}}, {10006, {1, 0}}, {10004, {0, 1}}}) {
    r = take(rig, [&](void **o, int *s) { return broadcast_data(x.data(), s2.data(), 1, y.data(), s2.data(), 1, 0, op, o, s); });
    std::vector<float> got(2);
    std::memcpy(got.data(), r.values.data(), 8);
    EXPECT_EQ(got, want) << op;
  }
  EXPECT_EQ(logical_dtype(), 0u);
}

TEST(ShapeArith, BroadcastRefusesWhatWouldReadPastItsInputs) {
  const Ints a = {1, 2}, b = {1, 2, 3}, zero = {0};
  const Shape sa = {2}, sb = {3}, s1 = {1}, s0 = {0};
  void *out = nullptr;
  int shape[8];
  // Extents 2 and 3 do not broadcast; an extent 0 meets 1 as 0 (no block).
  expect_assert([&] { broadcast_data(a.data(), sa.data(), 1, b.data(), sb.data(), 1, 3, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "broadcast_data", "ea[i] == eb[i] || ea[i] == 1 || eb[i] == 1",
                "extents 2 and 3 at dim 0");
  expect_assert([&] { broadcast_data(a.data(), s0.data(), 1, b.data(), sb.data(), 1, 3, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "broadcast_data", "ea[i] == eb[i] || ea[i] == 1 || eb[i] == 1",
                "extents 0 and 3 at dim 0");
  {
    FirmwareRig rig;
    const Result r = take(rig, [&](void **o, int *s) { return broadcast_data(a.data(), s0.data(), 1, b.data(), s1.data(), 1, 3, 0, o, s); });
    EXPECT_EQ(r.shape, Shape{0});
    EXPECT_TRUE(r.values.empty());
  }
  // Integer division and remainder by zero; unknown codes in both paths.
  expect_assert([&] { broadcast_data(a.data(), s1.data(), 1, zero.data(), s1.data(), 1, 3, 3, &out, shape); }, "ASSERT",
                "firmware/interp/", "shape_binary_func", "b != 0", "integer division of 1 by 0");
  expect_assert([&] { broadcast_data(a.data(), s1.data(), 1, zero.data(), s1.data(), 1, 3, 10008, &out, shape); },
                "ASSERT", "firmware/interp/", "shape_binary_func", "b != 0", "integer remainder of 1 by 0");
  expect_assert([&] { broadcast_data(a.data(), s1.data(), 1, a.data(), s1.data(), 1, 0, 10008, &out, shape); }, "ASSERT",
                "firmware/interp/", "shape_binary_func_fp", "0", "not supported binary_op=10008");
  expect_assert([&] { broadcast_data(a.data(), s1.data(), 1, a.data(), s1.data(), 1, 3, 5, &out, shape); }, "ASSERT",
                "firmware/interp/", "shape_binary_func", "0", "not supported binary_op=5");
}

TEST(ShapeArith, ConcatMatchesTheReferenceAndSkipsEmptyInputs) {
  struct Case {
    const char *what;
    std::vector<Shape> in;
    int axis;
  };
  const Case cases[] = {{"two along the last axis", {{2, 3}, {2, 2}}, 1},
                        {"three along axis 0", {{1, 2, 2}, {3, 2, 2}, {2, 2, 2}}, 0},
                        {"negative axis", {{2, 2, 1}, {2, 2, 3}}, -1},
                        {"an empty input is skipped", {{2, 3}, {2, 0}, {2, 1}}, 1},
                        {"one dimension", {{4}, {1}}, 0}};
  for (const Case &c : cases) {
    FirmwareRig rig;
    SCOPED_TRACE(c.what);
    std::vector<Ints> vals;
    std::vector<const void *> ptrs;
    std::vector<const int *> shapes;
    std::vector<int> dims;
    for (size_t k = 0; k < c.in.size(); k++) {
      vals.push_back(iota_values(c.in[k], int32_t(100 * k)));
    }
    for (size_t k = 0; k < c.in.size(); k++) {
      ptrs.push_back(vals[k].data());
      shapes.push_back(c.in[k].data());
      dims.push_back(int(c.in[k].size()));
    }
    const int axis = c.axis < 0 ? c.axis + int(c.in[0].size()) : c.axis;
    Shape want_shape = c.in[0];
    want_shape[axis] = 0;
    for (const Shape &s : c.in) want_shape[axis] += s[axis];
    Ints want;
    each(want_shape, [&](const Shape &idx) {
      int k = 0, at = idx[axis];
      while (at >= c.in[k][axis]) at -= c.in[k++][axis];
      Shape j = idx;
      j[axis] = at;
      want.push_back(vals[k][offset(c.in[k], j)]);
    });
    const Result r = take(rig, [&](void **o, int *s) {
      return concat_data(ptrs.data(), shapes.data(), dims.data(), int(c.in.size()), c.axis, o, s);
    });
    EXPECT_EQ(r.shape, want_shape);
    EXPECT_EQ(r.values, want);
  }
  // An input that differs outside the axis would be copied out of place.
  const Ints v(6, 1);
  const Shape a = {2, 3}, b = {3, 1};
  const void *p[2] = {v.data(), v.data()};
  const int *s[2] = {a.data(), b.data()};
  const int d[2] = {2, 2};
  void *out = nullptr;
  int shape[8];
  expect_assert([&] { concat_data(p, s, d, 2, 1, &out, shape); }, "ASSERT", "firmware/interp/", "concat_data",
                "i == axis || shapes[k][i] == out_shape[i]", "input 1 extent 3 at dim 0, input 0 2");
}

int64_t ref_reduce(const std::vector<int64_t> &v, int method) {
  int64_t acc = v[0];
  for (size_t i = 1; i < v.size(); i++) {
    if (method <= 1) acc += v[i];
    if (method == 2) acc = std::max(acc, v[i]);
    if (method == 3) acc = std::min(acc, v[i]);
    if (method == 4) acc *= v[i];
  }
  return method == 0 ? acc / int64_t(v.size()) : acc;
}

TEST(ShapeArith, ReduceMatchesTheReference) {
  struct Case {
    Shape in;
    std::vector<int> axes;
  };
  const Case cases[] = {{{2, 3}, {0}},       {{2, 3}, {1}},    {{2, 3, 4}, {0, 2}},
                        {{3, 2, 2}, {}},     {{4}, {0}},       {{2, 1, 3}, {1, 2}}};
  FirmwareRig rig;
  for (const Case &c : cases)
    for (int method = 0; method <= 4; method++)
      for (int keep : {0, 1}) {
        SCOPED_TRACE("method " + std::to_string(method) + (keep ? ", keep dims" : "") + ", dims " +
                     std::to_string(c.in.size()) + ", axes " + std::to_string(c.axes.size()));
        const Ints in = iota_values(c.in, -5);
        std::vector<bool> red(c.in.size(), c.axes.empty());
        for (int a : c.axes) red[size_t(a)] = true;
        Shape kept = c.in, want_shape;
        for (size_t d = 0; d < c.in.size(); d++) {
          if (red[d]) kept[d] = 1;
          if (keep || !red[d]) want_shape.push_back(kept[d]);
        }
        Ints want;
        each(kept, [&](const Shape &o) {
          std::vector<int64_t> group;
          each(c.in, [&](const Shape &i) {
            for (size_t d = 0; d < c.in.size(); d++)
              if (!red[d] && i[d] != o[d]) return;
            group.push_back(in[offset(c.in, i)]);
          });
          want.push_back(int32_t(ref_reduce(group, method)));
        });
        const Result r = take(rig, [&](void **o, int *s) {
          return reduce_data(in.data(), c.in.data(), int(c.in.size()), 3, c.axes.data(), int(c.axes.size()), method,
                             keep, o, s);
        });
        EXPECT_EQ(r.dims, int(want_shape.size()));
        EXPECT_EQ(r.shape, want_shape);
        EXPECT_EQ(r.values, want);
      }
  // Integer mean truncates: [1, 2] over axis 0 gives 1, with 0 dims.
  const Ints one_two = {1, 2};
  const Shape s2 = {2};
  const int axis0 = 0;
  const Result m = take(rig, [&](void **o, int *s) { return reduce_data(one_two.data(), s2.data(), 1, 3, &axis0, 1, 0, 0, o, s); });
  EXPECT_EQ(m.dims, 0);
  EXPECT_EQ(m.values, Ints{1});
  // A reduction over an empty dim gives zeros (not heap bytes), for the sum and the mean.
  const Ints none;
  const Shape s20 = {2, 0};
  const int axis1 = 1;
  for (int method : {0, 1}) {
    const Result e = take(rig, [&](void **o, int *s) { return reduce_data(none.data(), s20.data(), 2, 3, &axis1, 1, method, 1, o, s); });
    EXPECT_EQ(e.shape, (Shape{2, 1}));
    EXPECT_EQ(e.values, (Ints{0, 0}));
  }
  // Float max and mean.
  const std::vector<float> f = {1.5f, -2.0f, 4.0f, 0.5f};
  const Shape s22 = {2, 2};
  for (auto [method, want] : {std::pair{2, std::vector<float>{4.0f, 0.5f}}, {0, {2.75f, -0.75f}}}) {
    const Result r = take(rig, [&](void **o, int *s) { return reduce_data(f.data(), s22.data(), 2, 0, &axis0, 1, method, 0, o, s); });
    std::vector<float> got(2);
    std::memcpy(got.data(), r.values.data(), 8);
    EXPECT_EQ(got, want);
  }
}

TEST(ShapeArith, ReduceChecksItsAxesAndMethod) {
  const Ints v = {1, 2, 3, 4};
  const Shape s = {2, 2};
  void *out = nullptr;
  int shape[8];
  for (int bad : {2, -1}) {
    expect_assert([&] { reduce_data(v.data(), s.data(), 2, 3, &bad, 1, 1, 0, &out, shape); }, "ASSERT",
                  "firmware/interp/", "reduce_data", "axes[k] >= 0 && axes[k] < dims",
                  "axis " + std::to_string(bad) + " of 2 dims");
  }
  const int axis = 0;
  expect_assert([&] { reduce_data(v.data(), s.data(), 2, 3, &axis, 1, 7, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "reduce_core", "0 && reduce_method");
}

TEST(ShapeArith, ReverseAndTileMatchTheReference) {
  const Shape shapes[] = {{5}, {2, 3}, {2, 3, 4}};
  FirmwareRig rig;
  for (const Shape &s : shapes) {
    const Ints in = iota_values(s);
    for (int axis = -int(s.size()); axis < int(s.size()); axis++) {
      SCOPED_TRACE("reverse, dims " + std::to_string(s.size()) + ", axis " + std::to_string(axis));
      const int a = axis < 0 ? axis + int(s.size()) : axis;
      Ints want;
      each(s, [&](const Shape &idx) {
        Shape j = idx;
        j[a] = s[a] - 1 - idx[a];
        want.push_back(in[offset(s, j)]);
      });
      void *out = nullptr;
      Ints got(in.size());
      ASSERT_TRUE(ran_clean(rig.run([&] {
        reverse_data(in.data(), s.data(), int(s.size()), axis, &out);
        std::memcpy(got.data(), out, got.size() * 4);
        __wrap_free(out);
      })));
      EXPECT_EQ(got, want);
    }
  }
  struct Tile {
    Shape in, mult;
  };
  const Tile tiles[] = {{{2, 3}, {2, 1}}, {{3}, {3}}, {{1, 2, 2}, {2, 3, 1}}, {{2, 2}, {0, 2}}};
  for (const Tile &t : tiles) {
    SCOPED_TRACE("tile, dims " + std::to_string(t.in.size()));
    const Ints in = iota_values(t.in);
    Shape out_shape(t.in.size());
    for (size_t d = 0; d < t.in.size(); d++) out_shape[d] = t.in[d] * t.mult[d];
    Ints want;
    each(out_shape, [&](const Shape &idx) {
      Shape j = idx;
      for (size_t d = 0; d < j.size(); d++) j[d] %= t.in[d];
      want.push_back(in[offset(t.in, j)]);
    });
    const Result r = take(rig, [&](void **o, int *s) { return tile_data(in.data(), t.in.data(), int(t.in.size()), t.mult.data(), o, s); });
    EXPECT_EQ(r.shape, out_shape);
    EXPECT_EQ(r.values, want);
  }
}

// The elements a strided range selects, from what a slice means.
std::vector<int> picked(int n, int begin, int end, int step, bool bmask, bool emask) {
  if (bmask) begin = step > 0 ? 0 : n - 1;
  else if (begin < 0) begin += n;
  if (emask) end = step > 0 ? n : -1;
  else if (end < 0) end += n;
  std::vector<int> out;
  for (int i = begin; step > 0 ? i < end : i > end; i += step)
    if (i >= 0 && i < n) out.push_back(i);
  return out;
}

TEST(ShapeArith, OneDimensionalSlicesWithNegativeAndOutOfRangeIndices) {
  struct Case {
    int begin, end, step;
    bool bmask, emask;
  };
  const Case cases[] = {
      {1, 4, 2, false, false},    {0, 0, -1, true, true},    {-3, -1, 1, false, false},  {-100, 100, 1, false, false},
      {100, -100, -1, false, false}, {2, 100, 3, false, false}, {-1, -6, -2, false, false}, {4, 1, 1, false, false},
      {7, 9, 1, false, false},    {-8, -6, 1, false, false}, {3, -1, -1, false, false},  {0, 0, 2, false, true},
  };
  FirmwareRig rig;
  const Shape s = {5};
  const Ints in = {10, 11, 12, 13, 14};
  for (const Case &c : cases) {
    SCOPED_TRACE("begin " + std::to_string(c.begin) + " end " + std::to_string(c.end) + " step " +
                 std::to_string(c.step) + (c.bmask ? " bmask" : "") + (c.emask ? " emask" : ""));
    Ints want;
    for (int i : picked(5, c.begin, c.end, c.step, c.bmask, c.emask)) want.push_back(in[size_t(i)]);
    const Result r = take(rig, [&](void **o, int *sh) {
      return slice_data(in.data(), s.data(), 1, &c.begin, &c.step, &c.end, 1, c.bmask, c.emask, 0, 0, 0, o, sh);
    });
    EXPECT_EQ(r.shape, Shape{int(want.size())});
    EXPECT_EQ(r.values, want);
  }
}

TEST(ShapeArith, MultiDimensionalSlicesMatchTheReference) {
  FirmwareRig rig;
  const Shape s = {3, 4, 5};
  const Ints in = iota_values(s);
  struct Case {
    std::vector<int> begin, end, step;
    int bmask, emask;
  };
  const Case cases[] = {{{0, 1, -1}, {3, -1, 0}, {1, 2, -2}, 0, 0},
                        {{-2, 0, 4}, {100, 4, 1}, {1, 1, -1}, 0, 2},
                        {{2, 3, 0}, {-100, 0, 5}, {-1, -1, 2}, 4, 0}};
  for (const Case &c : cases) {
    std::vector<std::vector<int>> sel(3);
    Shape want_shape;
    for (int d = 0; d < 3; d++) {
      sel[d] = picked(s[d], c.begin[d], c.end[d], c.step[d], (c.bmask >> d) & 1, (c.emask >> d) & 1);
      want_shape.push_back(int(sel[d].size()));
    }
    Ints want;
    each(want_shape, [&](const Shape &idx) { want.push_back(in[offset(s, {sel[0][idx[0]], sel[1][idx[1]], sel[2][idx[2]]})]); });
    const Result r = take(rig, [&](void **o, int *sh) {
      return slice_data(in.data(), s.data(), 3, c.begin.data(), c.step.data(), c.end.data(), 3, c.bmask, c.emask, 0, 0, 0, o, sh);
    });
    EXPECT_EQ(r.shape, want_shape);
    EXPECT_EQ(r.values, want);
  }
}

TEST(ShapeArith, DenseSpecOfEllipsisNewAxesAndShrinks) {
  FirmwareRig rig;
  const Shape s = {2, 3, 4};
  const Ints in = iota_values(s);
  // [..., 1]: shrink the last axis at 1 -> [2, 3].
  // [1, newaxis, ...]: shrink axis 0, a new axis -> [1, 3, 4].
  // [:, 1:2]: two entries, the rest implicit -> [2, 1, 4].
  // [1, 2, 3] all shrunk -> 0 dims, one value.
  struct Case {
    const char *what;
    std::vector<int> begin, end, step;
    int count, bmask, emask, ellipsis, newaxis, shrink;
    Shape want_shape;
    std::function<int32_t(const Shape &)> at;  // output index -> input element
  };
  const Case cases[] = {
      {"ellipsis then a shrunk index", {0, 1}, {0, 2}, {1, 1}, 2, 0, 0, 1, 0, 2, {2, 3},
       [&](const Shape &o) { return in[offset(s, {o[0], o[1], 1})]; }},
      {"shrink, new axis, ellipsis", {1, 0, 0}, {2, 0, 0}, {1, 1, 1}, 3, 0, 0, 4, 2, 1, {1, 3, 4},
       [&](const Shape &o) { return in[offset(s, {1, o[1], o[2]})]; }},
      {"implicit ellipsis after two entries", {0, 1}, {0, 2}, {1, 1}, 2, 1, 1, 0, 0, 0, {2, 1, 4},
       [&](const Shape &o) { return in[offset(s, {o[0], 1, o[2]})]; }},
      {"everything shrunk", {1, -1, 3}, {2, 0, 4}, {1, 1, 1}, 3, 0, 0, 0, 0, 7, {},
       [&](const Shape &) { return in[offset(s, {1, 2, 3})]; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = take(rig, [&](void **o, int *sh) {
      return slice_data(in.data(), s.data(), 3, c.begin.data(), c.step.data(), c.end.data(), c.count, c.bmask,
                        c.emask, c.ellipsis, c.newaxis, c.shrink, o, sh);
    });
    EXPECT_EQ(r.shape, c.want_shape);
    Ints want;
    if (c.want_shape.empty())
      want.push_back(c.at({}));
    else
      each(c.want_shape, [&](const Shape &idx) { want.push_back(c.at(idx)); });
    EXPECT_EQ(r.values, want);
  }
  // The dense form of [1, newaxis, ...] on [2, 3, 4].
  ASSERT_TRUE(ran_clean(rig.run([&] {
    const int b[3] = {1, 0, 0}, e[3] = {2, 0, 0}, st[3] = {1, 1, 1};
    int ds[8], dd, db[8], de[8], dst[8], bm, em, sm;
    stride_slice_dense_spec(s.data(), 3, b, e, st, 3, 0, 0, 4, 2, 1, ds, &dd, db, de, dst, &bm, &em, &sm);
    EXPECT_EQ(dd, 4);
    EXPECT_EQ(Shape(ds, ds + 4), (Shape{2, 1, 3, 4}));
    EXPECT_EQ(bm, 0b1110);
    EXPECT_EQ(em, 0b1110);
    EXPECT_EQ(sm, 0b0001);
  })));
}

TEST(ShapeArith, SliceChecks) {
  const Ints v = {1, 2, 3};
  const Shape s = {3};
  void *out = nullptr;
  int shape[8];
  const int b = 0, e = 3, zero = 0, one = 1, far = 3;
  expect_assert([&] { slice_data(v.data(), s.data(), 1, &b, &zero, &e, 1, 0, 0, 0, 0, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "slice_data", "step[i] != 0");
  // A shrunk index outside the dim would read past the array.
  expect_assert([&] { slice_data(v.data(), s.data(), 1, &far, &one, &e, 1, 0, 0, 0, 0, 1, &out, shape); }, "ASSERT",
                "firmware/interp/", "stride_slice_resolve_dim", "b >= 0 && b < n", "shrunk index 3 of extent 3");
  // More slice entries than input dims; more than 8 dense dims.
  const int two[2] = {0, 0}, ones[2] = {1, 1};
  expect_assert([&] { slice_data(v.data(), s.data(), 1, two, ones, two, 2, 3, 3, 0, 0, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "stride_slice_dense_spec", "p < dims", "slice entry 1 past the 1 input dims");
  const Shape s8 = {1, 1, 1, 1, 1, 1, 1, 1};
  const int b2[2] = {0, 0};
  expect_assert([&] { slice_data(v.data(), s8.data(), 8, b2, ones, b2, 2, 0, 0, 2, 1, 0, &out, shape); }, "ASSERT",
                "firmware/interp/", "stride_slice_dense_spec", "d < SHAPE_MAX_DIMS", "dense slice of more than 8 dims");
  // slice_data_by_axis: a range past the extent.
  expect_assert([&] { slice_data_by_axis(v.data(), s.data(), 1, 0, 2, 2, &out, shape); }, "ASSERT", "firmware/interp/",
                "slice_data_by_axis", "start >= 0 && size >= 0 && (i64)start + size <= shape[axis]",
                "entries 2 + 2 of 3");
  FirmwareRig rig;
  const Shape s23 = {2, 3};
  const Ints in = iota_values(s23);
  const Result r = take(rig, [&](void **o, int *sh) { return slice_data_by_axis(in.data(), s23.data(), 2, 1, 1, 2, o, sh); });
  EXPECT_EQ(r.shape, (Shape{2, 2}));
  EXPECT_EQ(r.values, (Ints{in[1], in[2], in[4], in[5]}));
}

}  // namespace
}  // namespace zv::test
