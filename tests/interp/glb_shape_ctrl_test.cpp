// The reshaping, slicing, padding, cropping, tiling, joining, splitting and
// rearranging controllers through API 111: each case a description written by
// the test-side writer (shape tensors from shape_const where the layer reads
// them), run on the deferred schedules with the race checker and on the ARM
// image, its output compared with a plain reference and its registered shape
// with the one the layer means. The reshape and squeeze shape rules by
// tables; bad records answer 1009 and leave the card serving.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/glb_shape_ctrl.h"
#include "net_writer.h"
#include "net_writer_shape.h"
#include "ref/arrange_ref.h"
#include "ref/data_ref.h"

namespace zv::test {
namespace {

using host::Card;
using namespace net;
using namespace net::card_areas;
using ref::Bytes;
using Shape = std::vector<int>;

constexpr uint32_t kFp32 = 0, kInt32 = 3;
constexpr uint32_t kNetOut = 2;
constexpr uint64_t kInStep = 0x100000;

uint32_t in_id(size_t k) { return uint32_t(2 * k + 1); }  // net inputs 1, 3, 5, ...

Bytes ramp_bytes(size_t count, int salt) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; i++) v[i] = float(int((i * 7 + size_t(salt) * 13) % 97)) * 0.25f - 9.0f;
  Bytes b(count * 4);
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

std::optional<host::Answer> run(Card &card, const Words &desc, const std::vector<Shape> &inputs) {
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  for (size_t k = 0; k < inputs.size(); k++)
    m.inputs.push_back(IoInput{kIn + kInStep * k, 0, kFp32, std::vector<uint32_t>(inputs[k].begin(), inputs[k].end()), 0});
  m.outputs.push_back(IoOutput{kOut, 0, 0});
  m.return_shape = 1;
  use_card_areas(m);
  return card.send(111, run_payload(m));
}

// A layer over net inputs (by index) and shape tensors, into net output 2.
GlobalStep lay(uint32_t type, const Record &rec, const std::vector<size_t> &inputs, const std::vector<uint32_t> &shapes,
               uint32_t in_mode = 0, uint32_t out_mode = 0) {
  Words tail;
  std::vector<uint32_t> reads;
  for (size_t k : inputs) {
    tail.append(net_io_ref(in_id(k)));
    reads.push_back(in_id(k));
  }
  for (uint32_t id : shapes) {
    tail.append(shape_ref(id));
    reads.push_back(id);
  }
  tail.append(net_io_ref(kNetOut));
  return {layer(type, kFp32, rec, tail.words(), in_mode, out_mode), reads, {kNetOut}};
}

struct DataCase {
  const char *what;
  std::vector<Shape> inputs;
  std::vector<GlobalStep> steps;  // the layer last, writing net output 2
  Shape out_shape;
  std::function<Bytes(const std::vector<Bytes> &)> ref;  // inputs, then the coefficient block if any
  Bytes coeff = {};                                      // written at the coefficient base
};

void run_cases(const std::vector<DataCase> &cases) {
  for_each_api_card([&](host::Card &card) {
    for (const DataCase &c : cases) {
      SCOPED_TRACE(c.what);
      std::vector<Bytes> ins;
      for (size_t k = 0; k < c.inputs.size(); k++) {
        ins.push_back(ramp_bytes(ref::count_of(c.inputs[k]), int(k)));
        card.write(kIn + kInStep * k, ins[k].data(), ins[k].size());
      }
      if (!c.coeff.empty()) {
        card.write(kCoeff, c.coeff.data(), c.coeff.size());
        ins.push_back(c.coeff);
      }
      const Bytes want = c.ref(ins);
      const Bytes canary(want.size() + 16, 0xee);
      card.write(kOut, canary.data(), canary.size());
      std::vector<uint32_t> net_in;
      for (size_t k = 0; k < c.inputs.size(); k++) net_in.push_back(in_id(k));
      auto a = run(card, description(net_in, {kNetOut}, global_plan(c.steps, {kNetOut})), c.inputs);
      ASSERT_TRUE(AnswerOk(card, a));
      const Bytes got = card.read(kOut, want.size() + 16);
      EXPECT_EQ(Bytes(got.begin(), got.begin() + long(want.size())), want);
      EXPECT_EQ(Bytes(got.begin() + long(want.size()), got.end()), Bytes(16, 0xee)) << "written past the output";
      std::vector<uint32_t> rec = values_of<uint32_t>(card.read(kShapes, 4 * (1 + c.out_shape.size())));
      EXPECT_EQ(rec, [&] {
        std::vector<uint32_t> w = {uint32_t(c.out_shape.size())};
        for (int e : c.out_shape) w.push_back(uint32_t(e));
        return w;
      }());
    }
  });
}

Bytes same(const std::vector<Bytes> &in) { return in[0]; }

// ---- Reshaping, slicing, padding, cropping ----

// Pads a dense float tensor; the border takes `value`.
Bytes pad_ref(const Bytes &in, const Shape &shape, const std::vector<std::pair<int, int>> &pads, float value) {
  Shape out_shape = shape;
  for (size_t d = 0; d < shape.size(); d++) out_shape[d] += pads[d].first + pads[d].second;
  Bytes out;
  const std::vector<size_t> st = ref::strides_of(shape);
  ref::for_each_index(out_shape, [&](const std::vector<int> &o) {
    size_t at = 0;
    bool inside = true;
    for (size_t d = 0; d < o.size(); d++) {
      const int i = o[d] - pads[d].first;
      inside &= i >= 0 && i < shape[d];
      at += size_t(i) * st[d];
    }
    const uint8_t *p = inside ? &in[at * 4] : reinterpret_cast<const uint8_t *>(&value);
    out.insert(out.end(), p, p + 4);
  });
  return out;
}

// Strided slice of a dense float tensor by begin/stride/extent per dim.
Bytes slice_ref(const Bytes &in, const Shape &shape, const Shape &begin, const Shape &stride, const Shape &out) {
  return ref::gather(in, shape, out, 4, [&](const std::vector<int> &o) {
    std::vector<int> i(o.size());
    for (size_t d = 0; d < o.size(); d++) i[d] = begin[d] + o[d] * stride[d];
    return i;
  });
}

Record stride_slice_rec(const Shape &begin, const Shape &end, const Shape &stride, int bmask, int emask, int shrink) {
  Record r(144);
  r.i32(0, bmask).i32(4, emask);
  for (size_t i = 0; i < begin.size(); i++) r.i32(8 + 4 * i, begin[i]).i32(40 + 4 * i, end[i]).i32(72 + 4 * i, stride[i]);
  return r.i32(104, int32_t(begin.size())).i32(108, shrink);
}

std::vector<DataCase> reshape_slice_pad_crop_cases() {
  const Shape s235 = {2, 3, 5}, s456 = {4, 5, 6}, s2345 = {2, 3, 4, 5}, s2367 = {2, 3, 6, 7};
  return {
      {"reshape [2, 3, 5] by [-1, 4] into a copy", {s235}, {lay(18, Record(48).u8(0, 2).i32(4, -1).i32(8, 4).i32(44, -1), {0}, {})},
       {8, 4}, same},
      {"expand_dims at -1", {s235}, {lay(45, Record(48).i32(0, -1).i32(4, 1), {0}, {})}, {2, 3, 5, 1}, same},
      {"squeeze without axes", {{1, 3, 1, 5}}, {lay(46, Record(12), {0}, {})}, {3, 5}, same},
      {"slice by begin and size tensors",
       {s456},
       {shape_const(10, {1, -2, 0}), shape_const(11, {2, -1, 3}), lay(98, Record(8), {0}, {10, 11})},
       {2, 2, 3},
       [=](const std::vector<Bytes> &in) { return slice_ref(in[0], s456, {1, 3, 0}, {1, 1, 1}, {2, 2, 3}); }},
      {"stride_slice with a negative end, a begin mask and steps",
       {s456},
       {lay(51, stride_slice_rec({1, 0, 9}, {4, -1, 6}, {2, 2, 3}, 4, 0, 0), {0}, {})},
       {2, 2, 2},
       [=](const std::vector<Bytes> &in) { return slice_ref(in[0], s456, {1, 0, 0}, {2, 2, 3}, {2, 2, 2}); }},
      {"stride_slice shrinking dim 0 and clamping an end past the extent",
       {s456},
       {lay(51, stride_slice_rec({2, 1, 0}, {0, 100, 6}, {1, 1, 2}, 0, 0, 1), {0}, {})},
       {4, 3},
       [=](const std::vector<Bytes> &in) { return slice_ref(in[0], s456, {2, 1, 0}, {1, 1, 2}, {1, 4, 3}); }},
      {"stride_slice bounds from tensors",
       {s456},
       {shape_const(10, {0, 2}), shape_const(11, {3, 5}), shape_const(12, {1, 2}),
        lay(51, Record(144).u8(136, 1), {0}, {10, 11, 12})},
       {3, 2, 6},
       [=](const std::vector<Bytes> &in) { return slice_ref(in[0], s456, {0, 2, 0}, {1, 2, 1}, {3, 2, 6}); }},
      {"slicelike takes axes 0 and -1 from its reference",
       {s456, {2, 1, 3}},
       {lay(63, Record(76).i32(0, 0).i32(4, -1).i32(32, 2), {0, 1}, {})},
       {2, 5, 3},
       [=](const std::vector<Bytes> &in) { return slice_ref(in[0], s456, {0, 0, 0}, {1, 1, 1}, {2, 5, 3}); }},
      {"pad of four dims with a constant",
       {s2345},
       {lay(26, Record(72).f32(4, 7.0f).u32(8, 0).i32(20, 1).i32(28, 2).i32(32, 1).i32(40, 3), {0}, {})},
       {2, 4, 7, 8},
       [=](const std::vector<Bytes> &in) { return pad_ref(in[0], s2345, {{0, 0}, {1, 0}, {2, 1}, {0, 3}}, 7.0f); }},
      {"pad of three dims by a paddings tensor for the last two",
       {{3, 4, 5}},
       {shape_const(10, {1, 1, 0, 2}), lay(26, Record(72).f32(4, -1.0f).u8(64, 1), {0}, {10})},
       {3, 6, 7},
       [=](const std::vector<Bytes> &in) { return pad_ref(in[0], {3, 4, 5}, {{0, 0}, {1, 1}, {0, 2}}, -1.0f); }},
      {"ref_pad of h and w",
       {s2345},
       {shape_const(10, {1, 0, 0, 2}), lay(47, Record(16).u32(0, 0).f32(4, 0.5f), {0}, {10})},
       {2, 3, 5, 7},
       [=](const std::vector<Bytes> &in) { return pad_ref(in[0], s2345, {{0, 0}, {0, 0}, {1, 0}, {0, 2}}, 0.5f); }},
      {"crop by the record",
       {s2367},
       {lay(23, Record(44).i32(0, -1).i32(4, 2).i32(8, 3).i32(12, 1).i32(16, 2).i32(20, 3).i32(24, 4)
                     .i32(28, 1).i32(32, 1).i32(36, 2).i32(40, 3), {0}, {})},
       {1, 2, 3, 4},
       [=](const std::vector<Bytes> &in) { return ref::crop(in[0], s2367, {1, 1, 2, 3}, {1, 2, 3, 4}, 4); }},
      {"simple_crop",
       {s2367},
       {lay(62, Record(32).i32(4, 1).i32(8, 1).i32(16, 2).i32(20, 1).i32(24, 1).i32(28, 2), {0}, {})},
       {1, 2, 3, 4},
       [=](const std::vector<Bytes> &in) { return ref::crop(in[0], s2367, {0, 1, 2, 1}, {1, 2, 3, 4}, 4); }},
      {"ref_crop by a crop tensor",
       {s2367},
       {shape_const(10, {1, 2, 2, 1}), lay(48, Record(), {0}, {10})},
       {2, 3, 3, 4},
       [=](const std::vector<Bytes> &in) { return ref::crop(in[0], s2367, {0, 0, 1, 2}, {2, 3, 3, 4}, 4); }},
  };
}

TEST(GlbShapeCtrl, ReshapeSlicePadAndCropMatchTheirReferences) { run_cases(reshape_slice_pad_crop_cases()); }

TEST(GlbShapeCtrl, ReshapeRecordsTheValidCountOfARoundedUpShape) {
  // [2, 3, 5] by [-1, 4] gives [8, 4] with elem_num 30; a flatten of that by
  // [-1] then gives [30] and elem_num 0 (through an intermediate tensor 7).
  auto card = deferred_card(Backend::Native, 2);
  const Bytes in = ramp_bytes(30, 0);
  card->write(kIn, in.data(), in.size());
  const Words first = layer(18, kFp32, Record(48).u8(0, 2).i32(4, -1).i32(8, 4).i32(44, -1),
                            Words().append(net_io_ref(1)).append(neuron_ref(7, kBoundary + 0x1000)));
  const Words flatten = layer(18, kFp32, Record(48).u8(0, 1).i32(4, -1).i32(44, -1),
                              Words().append(neuron_ref(7, 0)).append(net_io_ref(kNetOut)));
  auto a = run(*card, description({1}, {kNetOut}, global_plan({{first, {1}, {7}}, {flatten, {7}, {kNetOut}}}, {kNetOut})),
               {{2, 3, 5}});
  ASSERT_TRUE(AnswerOk(*card, a));
  EXPECT_EQ(card->read(kOut, 30 * 4), in);
  EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 40)), (std::vector<uint32_t>{1, 30, 0, 0, 0, 0, 0, 0, 0, 0}));
  auto b = run(*card, description({1}, {kNetOut}, global_plan({lay(18, Record(48).u8(0, 2).i32(4, -1).i32(8, 4).i32(44, -1), {0}, {})}, {kNetOut})),
               {{2, 3, 5}});
  ASSERT_TRUE(AnswerOk(*card, b));
  EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 40)), (std::vector<uint32_t>{2, 8, 4, 0, 0, 0, 0, 0, 0, 30}));
}

// ---- The shape rules, by tables ----

TEST(GlbShapeCtrl, ReshapeSpecRules) {
  struct Case {
    const char *what;
    std::vector<i32> in, pattern, want;
    u32 elem_num;
  };
  const Case cases[] = {
      {"infer the last -1, rounded up", {2, 3, 5}, {-1, 4}, {8, 4}, 0},
      {"-1 alone with elem_num", {8, 4}, {-1}, {30}, 30},
      {"copy and merge two", {2, 3, 4}, {0, -3}, {2, 12}, 0},
      {"split one into s0 and an inferred s1", {6}, {-4, 2, -1}, {2, 3}, 0},
      {"split with an inferred s0", {6}, {-4, -1, 3}, {2, 3}, 0},
      {"the rest of the input dims", {2, 3, 4}, {0, -2}, {2, 3, 4}, 0},
      {"an earlier -1 stays 1", {2, 3, 4}, {-1, -1, 4}, {1, 6, 4}, 0},
      {"another negative value gives 1", {5, 7}, {-9, 0}, {1, 7}, 0},
  };
  FirmwareRig rig;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    i32 out[8] = {};
    int dims = -1;
    ASSERT_TRUE(ran_clean(rig.run([&] {
      dims = __reshape_helper(c.in.data(), int(c.in.size()), c.pattern.data(), int(c.pattern.size()), out, c.elem_num);
    })));
    EXPECT_EQ(std::vector<i32>(out, out + (dims > 0 ? dims : 0)), c.want);
  }
}

TEST(GlbShapeCtrl, ReshapeSpecChecks) {
  struct Bad {
    std::vector<i32> in, pattern;
    const char *condition, *info;
  };
  const Bad bad[] = {
      {{6}, {-4, 4, -1}, "in_val % shape_val0 == 0", "none."},
      {{6}, {-4, -1, 4}, "in_val % shape_val1 == 0", "none."},
      {{6}, {-4, 2}, "shape_pos + 1 < shape_dim", "none."},
      {{2}, {0, 0}, "in_pos < input_dim", "none."},
      {{2, 3}, {0, -3}, "in_pos + 1 < input_dim", "none."},
      {{6}, {-4, 0, 3}, "shape_val0 != 0 && shape_val1 != 0", "split into 0 and 3"},
      {{2}, {1, 1, 1, 1, 1, 1, 1, 1, 1}, "out_pos < DYNAMIC_MAX_DIMS", "reshape to more than 8 dims"},
  };
  for (const Bad &b : bad) {
    i32 out[8];
    expect_assert([&] { __reshape_helper(b.in.data(), int(b.in.size()), b.pattern.data(), int(b.pattern.size()), out, 0); },
                  "ASSERT", "firmware/interp/", "__reshape_helper", b.condition, b.info);
  }
}

TEST(GlbShapeCtrl, SqueezeRules) {
  struct Case {
    const char *what;
    std::vector<i32> in;
    std::vector<i8> axes;
    std::vector<i32> want;
  };
  const Case cases[] = {
      {"every extent of 1", {1, 3, 1, 5}, {}, {3, 5}},
      {"axes 0 and 1: only the extent of 1 goes", {1, 3, 1, 5}, {0, 1}, {3, 1, 5}},
      {"axis -4", {1, 3, 1, 5}, {-4}, {3, 1, 5}},
      {"a zero extent goes without axes", {2, 0, 1}, {}, {2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FirmwareRig rig;
    i32 out[8] = {};
    int dims = -1;
    ASSERT_TRUE(ran_clean(rig.run([&] {
      dims = squeeze_shape(c.in.data(), int(c.in.size()), c.axes.data(), int(c.axes.size()), out);
    })));
    EXPECT_EQ(std::vector<i32>(out, out + dims), c.want);
  }
  const i32 in[2] = {1, 2};
  const i8 axis = 2;
  i32 out[8];
  expect_assert([&] { squeeze_shape(in, 2, &axis, 1, out); }, "ASSERT", "firmware/interp/", "squeeze_shape",
                "axis >= 0 && axis < src_dims");
}

// ---- Bad records ----

struct BadCase {
  const char *what;
  std::vector<Shape> inputs;
  std::vector<GlobalStep> steps;
  const char *console;  // the function and condition of the assertion
};

void run_bad(const std::vector<BadCase> &bad) {
  auto card = deferred_card(Backend::Native, 3);
  for (const BadCase &b : bad) {
    SCOPED_TRACE(b.what);
    std::vector<uint32_t> net_in;
    for (size_t k = 0; k < b.inputs.size(); k++) net_in.push_back(in_id(k));
    auto a = run(*card, description(net_in, {kNetOut}, global_plan(b.steps, {kNetOut})), b.inputs);
    ASSERT_TRUE(AnswerOk(*card, a, 1009u));
    EXPECT_NE(card->console().find(b.console), std::string::npos) << card->console();
  }
  const Bytes in = ramp_bytes(6, 1);
  card->write(kIn, in.data(), in.size());
  auto ok = run(*card, description({1}, {kNetOut}, global_plan({lay(46, Record(12), {0}, {})}, {kNetOut})), {{1, 6}});
  ASSERT_TRUE(AnswerOk(*card, ok));
  EXPECT_EQ(card->read(kOut, in.size()), in);
}

TEST(GlbShapeCtrl, BadReshapeSliceAndCropRecordsAnswer1009) {
  run_bad({
      {"reshape with more pattern entries than the record holds", {{2, 3}},
       {lay(18, Record(48).u8(0, 11).i32(44, -1), {0}, {})}, "rec.shape_num <= RESHAPE_PATTERN_MAX"},
      {"reshape 1N to 4N", {{4, 2}}, {lay(18, Record(48).u8(0, 1).i32(4, 0).i32(44, -1), {0}, {}, 0, 2)},
       "FW_STORE_MODE_4N == in_store_mode"},
      {"reshape by a reference id the extra table lacks", {{2, 3}},
       {lay(18, Record(48).u8(0, 1).i32(4, 0).i32(44, 9), {0}, {})}, "dynamic_context_extra_find_info(ctx, &ref)"},
      {"stride_slice that selects nothing", {{4, 5}},
       {lay(51, stride_slice_rec({3, 0}, {1, 5}, {1, 1}, 0, 0, 0), {0}, {})}, "extent > 0"},
      {"stride_slice with a zero stride", {{4, 5}},
       {lay(51, stride_slice_rec({0, 0}, {4, 5}, {0, 1}, 0, 0, 0), {0}, {})}, "s != 0"},
      {"slice past the extent", {{4, 5}},
       {shape_const(10, {2, 0}), shape_const(11, {3, -1}), lay(98, Record(8), {0}, {10, 11})},
       "b[i] >= 0 && b[i] <= e[i] && e[i] <= n"},
      {"slice begin of the wrong length", {{4, 5}},
       {shape_const(10, {2}), shape_const(11, {3, -1}), lay(98, Record(8), {0}, {10, 11})},
       "begin.dims == 1 && begin.shape[0] == bottom.dims"},
      {"simple_crop below zero", {{2, 3}}, {lay(62, Record(32).i32(8, 2).i32(12, 2), {0}, {})}, "output_shape[i] >= 0"},
      {"ref_crop below zero", {{1, 1, 2, 2}}, {shape_const(10, {1, 2, 0, 0}), lay(48, Record(), {0}, {10})},
       "output_h >= 0 && output_w >= 0"},
      {"crop window outside the input", {{1, 2, 3, 3}},
       {lay(23, Record(44).i32(0, -1).i32(4, 1).i32(8, 2).i32(12, 1).i32(16, 2).i32(20, 2).i32(24, 2).i32(36, 2), {0}, {})},
       "crop_issue: "},
      {"pad paddings tensor for more dims than the input", {{3, 4}},
       {shape_const(10, {1, 1, 1, 1, 1, 1}), lay(26, Record(72).u8(64, 1), {0}, {10})}, "n >= 0 && first >= 0"},
      {"slicelike reference axis past the input", {{4, 5}, {2, 5, 1}},
       {lay(63, Record(76).i32(0, 2).i32(32, 1), {0, 1}, {})},
       "axis_pos >= 0 && axis_pos < bottom_dims && axis_pos < ref.dims"},
  });
}

// ---- Tiling, joining, splitting, rearranging ----

Bytes map_ref(const Bytes &in, const Shape &in_shape, const Shape &out_shape,
              const std::function<std::vector<int>(const std::vector<int> &)> &from) {
  return ref::gather(in, in_shape, out_shape, 4, from);
}

std::vector<DataCase> tile_concat_rearrange_cases() {
  const Shape s23 = {2, 3}, s234 = {2, 3, 4};
  return {
      {"tile [2, 3] by [2, 1] repeating the block", {s23},
       {lay(28, Record(88).u8(0, 1).u8(3, 2).i32(36, 2).i32(40, 1), {0}, {})}, {4, 3},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], s23, {4, 3}, [](const std::vector<int> &o) { return std::vector<int>{o[0] % 2, o[1]}; });
       }},
      {"tile repeating each row in place, multiples from a tensor", {s23},
       {shape_const(10, {2, 1}), lay(28, Record(88).u8(2, 1).u8(3, 2), {0}, {10})}, {4, 3},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], s23, {4, 3}, [](const std::vector<int> &o) { return std::vector<int>{o[0] / 2, o[1]}; });
       }},
      {"expand [3, 1] to [2, -1, 4]", {{3, 1}},
       {lay(55, Record(88).u8(1, 2).u32(36, 1).i32(40, 2).i32(44, -1).i32(48, 4).u32(72, 3), {0}, {})}, {2, 3, 4},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {3, 1}, {2, 3, 4}, [](const std::vector<int> &o) { return std::vector<int>{o[1], 0}; });
       }},
      {"broadcast_like stretches every extent of 1", {{2, 1, 3}, {2, 4, 3}},
       {lay(105, Record(32), {0, 1}, {})}, {2, 4, 3},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {2, 1, 3}, {2, 4, 3}, [](const std::vector<int> &o) { return std::vector<int>{o[0], 0, o[2]}; });
       }},
      {"concat of a neuron and a coefficient along axis 1", {{1, 2, 5, 5}},
       {[] {
          Words tail = Words().word(1u << 24 | 16).bytes(Record(16).u8(0, 0).u8(8, 1).u32(12, 3).bytes());
          tail.append(net_io_ref(1)).dword(0).append(net_io_ref(kNetOut));
          return GlobalStep{layer(7, kFp32, Record(36).u8(0, 2).u8(1, 4).u8(2, 1).i32(4, 1).i32(12, 5).i32(16, 5), tail),
                            {1}, {kNetOut}};
        }()},
       {1, 5, 5, 5},
       [=](const std::vector<Bytes> &in) { return ref::concat({in[0], in[1]}, {{1, 2, 5, 5}, {1, 3, 5, 5}}, 1, 4); },
       ramp_bytes(75, 5)},
      {"concat of three neurons along the last axis", {{2, 3}, {2, 1}, {2, 4}},
       {[] {
          Words tail = Words().word(24).bytes(Record(24).bytes());
          tail.append(net_io_ref(1)).append(net_io_ref(3)).append(net_io_ref(5)).append(net_io_ref(kNetOut));
          return GlobalStep{layer(7, kFp32, Record(36).u8(0, 3).u8(2, 1), tail), {1, 3, 5}, {kNetOut}};
        }()},
       {2, 8},
       [=](const std::vector<Bytes> &in) { return ref::concat({in[0], in[1], in[2]}, {{2, 3}, {2, 1}, {2, 4}}, 1, 4); }},
      {"transpose by the record's order", {s234}, {lay(49, Record(24).u8(0, 2).u8(1, 0).u8(2, 1), {0}, {})}, {4, 2, 3},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], s234, {4, 2, 3}, [](const std::vector<int> &o) { return std::vector<int>{o[1], o[2], o[0]}; });
       }},
      {"permute by an order tensor", {s234},
       {shape_const(10, {1, 2, 0}), lay(13, Record(24).u8(16, 1), {0}, {10})}, {3, 4, 2},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], s234, {3, 4, 2}, [](const std::vector<int> &o) { return std::vector<int>{o[2], o[0], o[1]}; });
       }},
      {"space2batch by a 2 x 2 block", {{1, 2, 4, 4}},
       {lay(52, Record(40).i32(4, 2).i32(8, 2), {0}, {})}, {4, 2, 2, 2},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {1, 2, 4, 4}, {4, 2, 2, 2}, [](const std::vector<int> &o) {
           const int a = o[0] / 2, b = o[0] % 2;
           return std::vector<int>{0, o[1], o[2] * 2 + a, o[3] * 2 + b};
         });
       }},
      {"batch2space by a block tensor", {{4, 2, 2, 2}},
       {shape_const(10, {2, 2}), lay(53, Record(40).u8(0, 1), {0}, {10})}, {1, 2, 4, 4},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {4, 2, 2, 2}, {1, 2, 4, 4}, [](const std::vector<int> &o) {
           return std::vector<int>{(o[2] % 2) * 2 + o[3] % 2, o[1], o[2] / 2, o[3] / 2};
         });
       }},
      {"depth2space channel-first by 2 x 2", {{1, 8, 2, 3}},
       {lay(102, Record(24).i32(8, 2).i32(12, 2).u8(16, 1).u8(18, 1), {0}, {})}, {1, 2, 4, 6},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {1, 8, 2, 3}, {1, 2, 4, 6}, [](const std::vector<int> &o) {
           return std::vector<int>{0, ((o[2] % 2) * 2 + o[3] % 2) * 2 + o[1], o[2] / 2, o[3] / 2};
         });
       }},
      {"space to depth, the inverse (short record: output order from the input's)", {{1, 2, 4, 6}},
       {lay(102, Record(18).i32(8, 2).i32(12, 2).u8(16, 1).u8(17, 1), {0}, {})}, {1, 8, 2, 3},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {1, 2, 4, 6}, {1, 8, 2, 3}, [](const std::vector<int> &o) {
           const int off = o[1] / 2;
           return std::vector<int>{0, o[1] % 2, o[2] * 2 + off / 2, o[3] * 2 + off % 2};
         });
       }},
      {"reorg back to space by 2 (reverse)", {{1, 8, 2, 3}}, {lay(15, Record(24).i32(0, 2).i32(4, 1), {0}, {})},
       {1, 2, 4, 6},
       [=](const std::vector<Bytes> &in) {
         return map_ref(in[0], {1, 8, 2, 3}, {1, 2, 4, 6}, [](const std::vector<int> &o) {
           return std::vector<int>{0, ((o[2] % 2) * 2 + o[3] % 2) * 2 + o[1], o[2] / 2, o[3] / 2};
         });
       }},
      {"reverse along axis 1", {s234}, {lay(104, Record(4).i32(0, 1), {0}, {})}, s234,
       [=](const std::vector<Bytes> &in) { return ref::reverse(in[0], s234, 1, 4); }},
      {"embedding copies a count of table values", {{1}},
       {shape_const(10, {5}),
        GlobalStep{layer(56, kFp32, Record(4), Words().append(shape_ref(10)).dword(0x40).append(net_io_ref(kNetOut))), {10}, {kNetOut}}},
       {5},
       [=](const std::vector<Bytes> &in) { return Bytes(in[1].begin() + 0x40, in[1].begin() + 0x40 + 20); },
       ramp_bytes(64, 9)},
      {"coeff2neuron registers coefficient memory, read by a reshape", {{1}},
       {GlobalStep{layer(100, kFp32, Record(40).i32(0, 2).i32(4, 3).u32(32, 2).u32(36, kFp32),
                         Words().dword(0x80).append(neuron_ref(7, 0))), {}, {7}},
        GlobalStep{layer(18, kFp32, Record(48).u8(0, 1).i32(4, -1).i32(44, -1),
                         Words().append(neuron_ref(7, 0)).append(net_io_ref(kNetOut))), {7}, {kNetOut}}},
       {6},
       [=](const std::vector<Bytes> &in) { return Bytes(in[1].begin() + 0x80, in[1].begin() + 0x80 + 24); },
       ramp_bytes(64, 11)},
  };
}

TEST(GlbShapeCtrl, TileConcatAndRearrangementsMatchTheirReferences) { run_cases(tile_concat_rearrange_cases()); }

TEST(GlbShapeCtrl, SplitIntoPartsBySizesAndEqually) {
  // [2, 10] split along -1 by [3, -1, 2] into 3, 5 and 2 columns; then by
  // split_num 1 into three parts of 3 (the tenth column is not covered).
  const Shape s = {2, 10};
  const Bytes in = ramp_bytes(20, 4);
  const uint64_t off[3] = {kBoundary + 0x1000, kBoundary + 0x2000, kBoundary + 0x3000};
  auto split_step = [&](const Record &rec) {
    Words tail = Words().append(net_io_ref(1));
    for (uint32_t k = 0; k < 3; k++) tail.append(neuron_ref(7 + k, off[k]));
    return GlobalStep{layer(37, kFp32, rec, tail), {1}, {7, 8, 9}};
  };
  struct Case {
    const char *what;
    Record rec;
    std::vector<int> sizes;
  };
  const Case cases[] = {{"sizes with a rest", Record(48).i32(0, -1).i32(4, 3).i32(8, -1).i32(12, 2).i32(36, 3), {3, 5, 2}},
                        {"three equal parts", Record(48).i32(0, 1).i32(4, 3).i32(36, 1), {3, 3, 3}}};
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      auto a = run(card, description({1}, {kNetOut}, global_plan({split_step(c.rec)})), {s});
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<Bytes> want = ref::split(in, s, 1, c.sizes, 4);
      for (size_t k = 0; k < 3; k++) EXPECT_EQ(card.read(kNeuron + off[k], want[k].size()), want[k]) << "part " << k;
    }
  });
}

TEST(GlbShapeCtrl, EightBitReshapeFrom4NTo1N) {
  // 8-bit items given 1N by the host, handed to the network in 4N, reshaped
  // [6, 2, 3] -> [6, 6] into a 1N output: the host's bytes come back as they are.
  std::vector<uint8_t> in(36);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 11 + 5);
  const Words w = layer(18, 2, Record(48).u8(0, 2).i32(4, 0).i32(8, -1).i32(44, -1),
                        Words().append(net_io_ref(1)).append(net_io_ref(kNetOut)).words(), 2, 0);
  const Words desc = description({1}, {kNetOut}, global_plan({{w, {1}, {kNetOut}}}, {kNetOut}));
  for_each_api_card([&](host::Card &card) {
    card.write(kDesc, desc.raw().data(), desc.raw().size());
    card.write(kIn, in.data(), in.size());
    RunMessage m;
    m.description_addr = kDesc;
    m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
    m.has_4n_addr = true;
    m.inputs = {IoInput{kIn, kIn + 0x10000, 2, {6, 2, 3}, 0}};
    m.outputs = {IoOutput{kOut, 0, 0}};
    m.return_shape = 1;
    use_card_areas(m);
    ASSERT_TRUE(AnswerOk(card, card.send(111, run_payload(m))));
    EXPECT_EQ(card.read(kOut, in.size()), in);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 12)), (std::vector<uint32_t>{2, 6, 6}));
  });
}

// ---- 8-bit data in 1N and 4N storage ----

// 1N items (one after the other) into 4N words: byte j of word e of group g is
// element e of item 4 g + j.
Bytes to_4n(const Bytes &in, size_t n, size_t per_item) {
  Bytes out((n + 3) / 4 * 4 * per_item, 0);
  for (size_t i = 0; i < n; i++)
    for (size_t e = 0; e < per_item; e++) out[((i / 4) * per_item + e) * 4 + i % 4] = in[i * per_item + e];
  return out;
}

struct ByteCase {
  const char *what;
  Shape in;
  uint32_t in_mode, out_mode;  // 0 1N, 2 4N
  uint32_t type;
  Record rec;
  Shape out;
  std::function<Bytes(const Bytes &)> ref;  // on 1N bytes
};

TEST(GlbShapeCtrl, EightBitMovesIn1NAnd4NMatchTheirReferences) {
  // Byte maps of the reference layouts (element size 1).
  auto pad8 = [](const Shape &shape, const std::vector<std::pair<int, int>> &pads, uint8_t value) {
    return [=](const Bytes &in) {
      Shape out_shape = shape;
      for (size_t d = 0; d < shape.size(); d++) out_shape[d] += pads[d].first + pads[d].second;
      const std::vector<size_t> st = ref::strides_of(shape);
      Bytes out;
      ref::for_each_index(out_shape, [&](const std::vector<int> &o) {
        size_t at = 0;
        bool inside = true;
        for (size_t d = 0; d < o.size(); d++) {
          const int i = o[d] - pads[d].first;
          inside &= i >= 0 && i < shape[d];
          at += size_t(i) * st[d];
        }
        out.push_back(inside ? in[at] : value);
      });
      return out;
    };
  };
  auto moved = [](const Shape &in_shape, const Shape &out_shape,
                  const std::function<std::vector<int>(const std::vector<int> &)> &from) {
    return [=](const Bytes &in) { return ref::gather(in, in_shape, out_shape, 1, from); };
  };
  // Pad records: value, then {before, after} for n, c, h, w; scratch at 48.
  auto pad_rec = [](float value, const std::vector<std::pair<int, int>> &pads) {
    Record r(72);
    r.f32(4, value);
    for (size_t d = 0; d < 4; d++) r.i32(12 + 8 * d, pads[d].first).i32(16 + 8 * d, pads[d].second);
    return r.u64(48, 0x800000).u64(56, 0x900000);
  };
  const Shape s5234 = {5, 2, 3, 4}, s523 = {5, 2, 3}, s4n = {5, 4, 5, 6};
  const std::vector<std::pair<int, int>> hw = {{0, 0}, {0, 0}, {1, 0}, {0, 2}};
  const ByteCase cases[] = {
      // -1 is the signed byte 0xff on every target.
      {"pad of h and w by -1, 4N to 4N", s5234, 2, 2, 26, pad_rec(-1.0f, hw), {5, 2, 4, 6}, pad8(s5234, hw, 0xff)},
      {"pad of c by 7, 1N to 1N", s5234, 0, 0, 26, pad_rec(7.0f, {{0, 0}, {1, 1}, {0, 0}, {0, 0}}), {5, 4, 3, 4},
       pad8(s5234, {{0, 0}, {1, 1}, {0, 0}, {0, 0}}, 7)},
      {"pad of w by 200, 1N to 4N", s5234, 0, 2, 26, pad_rec(200.0f, {{0, 0}, {0, 0}, {0, 0}, {2, 1}}), {5, 2, 3, 7},
       pad8(s5234, {{0, 0}, {0, 0}, {0, 0}, {2, 1}}, 200)},
      {"crop of c, h and w, 4N to 4N", {5, 3, 6, 7}, 2, 2, 23,
       Record(44).i32(0, -1).i32(4, 5).i32(8, 3).i32(12, 5).i32(16, 2).i32(20, 3).i32(24, 4).i32(28, 0).i32(32, 1)
           .i32(36, 2).i32(40, 3),
       {5, 2, 3, 4}, [](const Bytes &in) { return ref::crop(in, {5, 3, 6, 7}, {0, 1, 2, 3}, {5, 2, 3, 4}, 1); }},
      {"tile of c and h, 4N to 4N", s523, 2, 2, 28,
       Record(88).u8(0, 1).u8(3, 3).i32(36, 1).i32(40, 2).i32(44, 3).u64(72, 0x800000), {5, 4, 9},
       moved(s523, {5, 4, 9}, [](const std::vector<int> &o) { return std::vector<int>{o[0], o[1] % 2, o[2] % 3}; })},
      {"stride_slice of c, h and w by steps, 4N to 4N", s4n, 2, 2, 51,
       stride_slice_rec({0, 1, 0, 1}, {5, 4, 5, 6}, {1, 2, 2, 3}, 0, 0, 0).u64(120, 0x800000).u64(128, 0x900000),
       {5, 2, 3, 2},
       moved(s4n, {5, 2, 3, 2},
             [](const std::vector<int> &o) { return std::vector<int>{o[0], 1 + 2 * o[1], 2 * o[2], 1 + 3 * o[3]}; })},
      {"stride_slice with a begin mask, a negative end and an end past the extent, 1N", s4n, 0, 0, 51,
       stride_slice_rec({0, 3, 1, 0}, {5, -1, 100, 6}, {1, 1, 2, 2}, 2, 0, 0).u64(120, 0x800000).u64(128, 0x900000),
       {5, 3, 2, 3},
       moved(s4n, {5, 3, 2, 3},
             [](const std::vector<int> &o) { return std::vector<int>{o[0], o[1], 1 + 2 * o[2], 2 * o[3]}; })},
      {"transpose keeping the batch first, 4N to 4N", s5234, 2, 2, 49,
       Record(24).u8(0, 0).u8(1, 2).u8(2, 3).u8(3, 1).u64(8, 0x800000), {5, 3, 4, 2},
       moved(s5234, {5, 3, 4, 2},
             [](const std::vector<int> &o) { return std::vector<int>{o[0], o[3], o[1], o[2]}; })},
  };
  constexpr uint32_t kFix8 = 2;
  for_each_api_card([&](host::Card &card) {
    for (const ByteCase &c : cases) {
      SCOPED_TRACE(c.what);
      const size_t count = ref::count_of(c.in);
      Bytes in(count);
      for (size_t i = 0; i < count; i++) in[i] = uint8_t(i * 37 + 11);
      card.write(kIn, in.data(), in.size());
      const Words w = layer(c.type, kFix8, c.rec, Words().append(net_io_ref(1)).append(net_io_ref(kNetOut)).words(),
                            c.in_mode, c.out_mode);
      const Words desc = description({1}, {kNetOut}, global_plan({{w, {1}, {kNetOut}}}, {kNetOut}));
      card.write(kDesc, desc.raw().data(), desc.raw().size());
      RunMessage m;
      m.description_addr = kDesc;
      m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
      // A 4N input is converted by the card from the host's 1N bytes.
      m.has_4n_addr = true;
      m.inputs = {IoInput{kIn, c.in_mode == 2 ? kIn + 0x80000 : 0, kFix8, std::vector<uint32_t>(c.in.begin(), c.in.end()), 0}};
      m.outputs = {IoOutput{kOut, 0, 0}};
      m.return_shape = 1;
      use_card_areas(m);
      const Bytes want_1n = c.ref(in);
      const size_t out_n = size_t(c.out[0]), per_item = want_1n.size() / out_n;
      const Bytes want = c.out_mode == 2 ? to_4n(want_1n, out_n, per_item) : want_1n;
      const Bytes canary(want.size() + 16, 0xee);
      card.write(kOut, canary.data(), canary.size());
      ASSERT_TRUE(AnswerOk(card, card.send(111, run_payload(m))));
      const Bytes got = card.read(kOut, want.size());
      // Only the bytes of real items count in 4N words.
      size_t bad = 0;
      for (size_t i = 0; i < want.size(); i++) {
        if (c.out_mode == 2 && (i / (4 * per_item)) * 4 + i % 4 >= out_n) continue;
        if (got[i] != want[i] && bad++ < 5)
          ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(want[i]);
      }
      EXPECT_EQ(bad, 0u);
      EXPECT_EQ(card.read(kOut + want.size(), 16), Bytes(16, 0xee)) << "written past the output";
      std::vector<uint32_t> rec = values_of<uint32_t>(card.read(kShapes, 4 * (1 + c.out.size())));
      std::vector<uint32_t> shape_rec = {uint32_t(c.out.size())};
      for (int e : c.out) shape_rec.push_back(uint32_t(e));
      EXPECT_EQ(rec, shape_rec);
    }
  });
}

// ---- 8-bit slices, pads, splits and rearrangements through shape tensors ----

// One 8-bit layer over net input 1 (bytes given 1N by the host, converted to
// 4N by the card when the layer reads 4N) and the shape tensors it names,
// into net outputs 2, 4, ...; slicelike's reference is a float net input 3.
struct ByteNetCase {
  const char *what;
  Shape in;
  uint32_t in_mode, out_mode;  // 0 1N, 2 4N
  std::vector<GlobalStep> shapes;  // shape tensors the layer reads, in order
  uint32_t type;
  Record rec;
  std::vector<Shape> outs;
  std::function<std::vector<Bytes>(const Bytes &)> ref;  // each output's 1N bytes from the input's
  Shape ref_in = {};
};

constexpr uint32_t kFix8 = 2;
constexpr uint64_t kOutStep = 0x100000;

// Writes the case's input bytes and description and sends it.
// The host's scratch buffer, for controllers that convert between store modes.
constexpr uint64_t kScratch = 0x108000000ull;

std::optional<host::Answer> send_byte_net(Card &card, const ByteNetCase &c, const Bytes &in,
                                          uint64_t scratch = kScratch) {
  card.write(kIn, in.data(), in.size());
  Words tail = Words().append(net_io_ref(1));
  std::vector<uint32_t> reads = {1}, net_in = {1}, outs;
  for (const GlobalStep &s : c.shapes) {
    tail.append(shape_ref(s.writes[0]));
    reads.push_back(s.writes[0]);
  }
  if (!c.ref_in.empty()) {
    tail.append(net_io_ref(3));
    reads.push_back(3);
    net_in.push_back(3);
  }
  for (size_t k = 0; k < c.outs.size(); k++) {
    outs.push_back(uint32_t(2 + 2 * k));
    tail.append(net_io_ref(outs.back()));
  }
  std::vector<GlobalStep> steps = c.shapes;
  steps.push_back({layer(c.type, kFix8, c.rec, tail.words(), c.in_mode, c.out_mode), reads, outs});
  const Words desc = description(net_in, outs, global_plan(steps, outs));
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.has_4n_addr = true;
  m.inputs = {IoInput{kIn, c.in_mode == 2 ? kIn + 0x80000 : 0, kFix8, std::vector<uint32_t>(c.in.begin(), c.in.end()), 0}};
  if (!c.ref_in.empty())
    m.inputs.push_back(IoInput{kIn + kInStep, 0, kFp32, std::vector<uint32_t>(c.ref_in.begin(), c.ref_in.end()), 0});
  for (size_t k = 0; k < c.outs.size(); k++) m.outputs.push_back(IoOutput{kOut + kOutStep * k, 0, 0});
  m.return_shape = 1;
  use_card_areas(m);
  m.scratch_addr = scratch;
  return card.send(111, run_payload(m));
}

Bytes byte_ramp(const Shape &shape) {
  Bytes in(ref::count_of(shape));
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 37 + 11);
  return in;
}

void run_byte_cases(const std::vector<ByteNetCase> &cases) {
  for_each_api_card([&](host::Card &card) {
    for (const ByteNetCase &c : cases) {
      SCOPED_TRACE(c.what);
      const Bytes in = byte_ramp(c.in);
      const std::vector<Bytes> want_1n = c.ref(in);
      ASSERT_EQ(want_1n.size(), c.outs.size());
      std::vector<Bytes> want;
      for (size_t k = 0; k < c.outs.size(); k++) {
        const size_t out_n = size_t(c.outs[k][0]), per_item = ref::count_of(c.outs[k]) / out_n;
        ASSERT_EQ(want_1n[k].size(), out_n * per_item);
        want.push_back(c.out_mode == 2 ? to_4n(want_1n[k], out_n, per_item) : want_1n[k]);
        const Bytes canary(want[k].size() + 16, 0xee);
        card.write(kOut + kOutStep * k, canary.data(), canary.size());
      }
      auto a = send_byte_net(card, c, in);
      ASSERT_TRUE(AnswerOk(card, a));
      for (size_t k = 0; k < c.outs.size(); k++) {
        SCOPED_TRACE("output " + std::to_string(k));
        const size_t out_n = size_t(c.outs[k][0]), per_item = ref::count_of(c.outs[k]) / out_n;
        const Bytes got = card.read(kOut + kOutStep * k, want[k].size());
        // Only the bytes of real items count in 4N words.
        size_t bad = 0;
        for (size_t i = 0; i < want[k].size(); i++) {
          if (c.out_mode == 2 && (i / (4 * per_item)) * 4 + i % 4 >= out_n) continue;
          if (got[i] != want[k][i] && bad++ < 5)
            ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(want[k][i]);
        }
        EXPECT_EQ(bad, 0u);
        EXPECT_EQ(card.read(kOut + kOutStep * k + want[k].size(), 16), Bytes(16, 0xee)) << "written past the output";
        std::vector<uint32_t> shape_rec = {uint32_t(c.outs[k].size())};
        for (int e : c.outs[k]) shape_rec.push_back(uint32_t(e));
        EXPECT_EQ(values_of<uint32_t>(card.read(kShapes + 40 * k, 4 * shape_rec.size())), shape_rec);
      }
    }
  });
}

// NHWC <-> NCHW of byte images.
Bytes nhwc_to_nchw(const Bytes &in, const Shape &nhwc) {
  return ref::gather(in, nhwc, {nhwc[0], nhwc[3], nhwc[1], nhwc[2]}, 1,
                     [](const std::vector<int> &o) { return std::vector<int>{o[0], o[2], o[3], o[1]}; });
}
Bytes nchw_to_nhwc(const Bytes &in, const Shape &nchw) {
  return ref::gather(in, nchw, {nchw[0], nchw[2], nchw[3], nchw[1]}, 1,
                     [](const std::vector<int> &o) { return std::vector<int>{o[0], o[3], o[1], o[2]}; });
}

// The 8-bit reorg into depth, item by item (its own channel order).
Bytes flat_reorg8(const Bytes &in, const Shape &shape, int s) {
  namespace ar = ref::arrange;
  const size_t per = ref::count_of(shape) / size_t(shape[0]);
  Bytes out;
  for (int n = 0; n < shape[0]; n++) {
    ar::W4 one(1, shape[1], shape[2], shape[3]);
    for (size_t i = 0; i < per; i++) one.v[i] = in[n * per + i];
    for (ar::u32 v : ar::flat_reorg(one, s).v) out.push_back(uint8_t(v));
  }
  return out;
}

TEST(GlbShapeCtrl, EightBitSlicesPadsAndSplitsBy1NAnd4NMatchTheirReferences) {
  const Shape s = {6, 3, 4, 5};
  auto one = [](Bytes b) { return std::vector<Bytes>{std::move(b)}; };
  auto sliced = [&](const Shape &begin, const Shape &out) {
    return [=](const Bytes &in) { return one(ref::stride_slice(in, s, begin, {1, 1, 1, 1}, out, 1)); };
  };
  const Record slice_rec = Record(8).u64(0, 0x800000);
  auto ref_pad_rec = [](float value) { return Record(16).u32(0, 0).f32(4, value).u64(8, 0x800000); };
  auto padded = [&](const std::vector<int> &p, uint8_t value) {
    return [=](const Bytes &in) {
      const int pads[4][2] = {{0, 0}, {0, 0}, {p[0], p[1]}, {p[2], p[3]}};
      return one(ref::pad(in, s, pads, 0, {value}, 1));
    };
  };
  auto split_rec = [](int axis, const std::vector<int> &sizes, int split_num) {
    Record r(48);
    r.i32(0, axis).i32(36, split_num).u64(40, 0x800000);
    for (size_t i = 0; i < sizes.size(); i++) r.i32(4 + 4 * i, sizes[i]);
    return r;
  };
  auto split = [&](int axis, const std::vector<int> &sizes) {
    return [=](const Bytes &in) { return ref::split(in, s, axis, sizes, 1); };
  };
  run_byte_cases({
      {"slice of the batch and h by begin and size tensors, 4N to 4N", s, 2, 2,
       {shape_const(10, {1, 0, -3, 0}), shape_const(11, {4, -1, 2, -1})}, 98, slice_rec, {{4, 3, 2, 5}},
       sliced({1, 0, 1, 0}, {4, 3, 2, 5})},
      {"slice of the batch, 4N to 1N", s, 2, 0, {shape_const(10, {2, 0, 0, 0}), shape_const(11, {3, -1, -1, -1})}, 98,
       slice_rec, {{3, 3, 4, 5}}, sliced({2, 0, 0, 0}, {3, 3, 4, 5})},
      {"slice of a 3-D tensor's batch and last dim, 4N to 4N", {7, 4, 5}, 2, 2,
       {shape_const(10, {3, 0, 1}), shape_const(11, {-1, -1, 3})}, 98, slice_rec, {{4, 4, 3}},
       [=](const Bytes &in) { return one(ref::stride_slice(in, {7, 4, 5}, {3, 0, 1}, {1, 1, 1}, {4, 4, 3}, 1)); }},
      {"slice of c and w, 4N to 1N", s, 2, 0, {shape_const(10, {0, 1, 0, 2}), shape_const(11, {-1, 2, -1, 3})}, 98,
       slice_rec, {{6, 2, 4, 3}}, sliced({0, 1, 0, 2}, {6, 2, 4, 3})},
      {"slice of the last items from a negative begin, 1N to 4N", s, 0, 2,
       {shape_const(10, {-2, 0, 1, 0}), shape_const(11, {2, 1, 3, -1})}, 98, slice_rec, {{2, 1, 3, 5}},
       sliced({4, 0, 1, 0}, {2, 1, 3, 5})},
      {"slice, 1N to 1N", s, 0, 0, {shape_const(10, {0, 2, 0, -1}), shape_const(11, {3, -1, 2, 1})}, 98, slice_rec,
       {{3, 1, 2, 1}}, sliced({0, 2, 0, 4}, {3, 1, 2, 1})},
      {"slicelike of c and w, 4N", s, 2, 2, {}, 63, Record(76).i32(0, 1).i32(4, -1).i32(32, 2), {{6, 2, 4, 3}},
       sliced({0, 0, 0, 0}, {6, 2, 4, 3}), {1, 2, 1, 3}},
      {"slicelike of the batch to 3 of 6 items, 4N", s, 2, 2, {}, 63, Record(76).i32(0, 0).i32(32, 1), {{3, 3, 4, 5}},
       sliced({0, 0, 0, 0}, {3, 3, 4, 5}), {3, 1}},
      {"slicelike of the batch to 5 of 6 items and w, 4N", s, 2, 2, {}, 63, Record(76).i32(0, 0).i32(4, 3).i32(32, 2),
       {{5, 3, 4, 2}}, sliced({0, 0, 0, 0}, {5, 3, 4, 2}), {5, 1, 1, 2}},
      {"slicelike of the batch and h, 1N", s, 0, 0, {}, 63, Record(76).i32(0, 0).i32(4, 2).i32(32, 2), {{4, 3, 2, 5}},
       sliced({0, 0, 0, 0}, {4, 3, 2, 5}), {4, 1, 2, 1}},
      {"ref_pad by -1, 4N to 4N", s, 2, 2, {shape_const(10, {1, 0, 0, 2})}, 47, ref_pad_rec(-1.0f), {{6, 3, 5, 7}},
       padded({1, 0, 0, 2}, 0xff)},
      {"ref_pad by 5, 1N to 4N", s, 0, 2, {shape_const(10, {0, 2, 1, 1})}, 47, ref_pad_rec(5.0f), {{6, 3, 6, 7}},
       padded({0, 2, 1, 1}, 5)},
      {"ref_pad by 200, 4N to 1N", s, 2, 0, {shape_const(10, {2, 1, 0, 0})}, 47, ref_pad_rec(200.0f), {{6, 3, 7, 5}},
       padded({2, 1, 0, 0}, 200)},
      {"ref_pad by 0, 1N to 1N", s, 0, 0, {shape_const(10, {1, 1, 1, 1})}, 47, ref_pad_rec(0.0f), {{6, 3, 6, 7}},
       padded({1, 1, 1, 1}, 0)},
      {"split_tf of the batch into 1, the rest and 2, 4N to 4N", s, 2, 2, {}, 37, split_rec(0, {1, -1, 2}, 3),
       {{1, 3, 4, 5}, {3, 3, 4, 5}, {2, 3, 4, 5}}, split(0, {1, 3, 2})},
      {"split_tf of the batch, 4N to 1N", s, 2, 0, {}, 37, split_rec(0, {4, 2}, 2), {{4, 3, 4, 5}, {2, 3, 4, 5}},
       split(0, {4, 2})},
      {"split_tf of the batch, 1N to 4N", s, 0, 2, {}, 37, split_rec(0, {-1, 5}, 2), {{1, 3, 4, 5}, {5, 3, 4, 5}},
       split(0, {1, 5})},
      {"split_tf of c, 4N to 1N", s, 2, 0, {}, 37, split_rec(1, {2, 1}, 2), {{6, 2, 4, 5}, {6, 1, 4, 5}},
       split(1, {2, 1})},
      {"split_tf of h into two equal parts, 1N to 4N", s, 0, 2, {}, 37, split_rec(2, {2}, 1),
       {{6, 3, 2, 5}, {6, 3, 2, 5}}, split(2, {2, 2})},
      {"split_tf of w from the end, 4N to 4N", s, 2, 2, {}, 37, split_rec(-1, {3, -1}, 2),
       {{6, 3, 4, 3}, {6, 3, 4, 2}}, split(3, {3, 2})},
      {"split_tf of a 2-D tensor's last dim, 4N to 4N", {6, 10}, 2, 2, {}, 37, split_rec(1, {4, 6}, 2),
       {{6, 4}, {6, 6}}, [](const Bytes &in) { return ref::split(in, {6, 10}, 1, {4, 6}, 1); }},
      {"split_tf of h, 1N to 1N", s, 0, 0, {}, 37, split_rec(2, {-1, 1}, 2), {{6, 3, 3, 5}, {6, 3, 1, 5}},
       split(2, {3, 1})},
  });
}

TEST(GlbShapeCtrl, EightBitSpaceBatchDepthAndReorgBy1NAnd4NMatchTheirReferences) {
  auto one = [](Bytes b) { return std::vector<Bytes>{std::move(b)}; };
  auto s2b_rec = [](int bh, int bw, const std::vector<int> &pads) {
    Record r(40);
    r.i32(4, bh).i32(8, bw).u64(32, 0x800000);
    for (size_t i = 0; i < pads.size(); i++) r.i32(12 + 4 * i, pads[i]);
    return r;
  };
  auto s2b = [&](const Shape &in_shape, int bh, int bw, const std::vector<int> &p) {
    return [=](const Bytes &in) {
      const int pads[4][2] = {{0, 0}, {0, 0}, {p[0], p[1]}, {p[2], p[3]}};
      const Shape padded = {in_shape[0], in_shape[1], in_shape[2] + p[0] + p[1], in_shape[3] + p[2] + p[3]};
      return one(ref::space_to_batch(ref::pad(in, in_shape, pads, 0, {0}, 1), padded, bh, bw, 1));
    };
  };
  auto b2s = [&](const Shape &in_shape, int bh, int bw, const std::vector<int> &crops) {
    return [=](const Bytes &in) { return one(ref::batch_to_space(in, in_shape, bh, bw, crops, 1)); };
  };
  auto d2s_rec = [](int bh, int bw, bool in_cf, bool inverse, bool out_cf) {
    return Record(24).i32(8, bh).i32(12, bw).u8(16, in_cf).u8(17, inverse).u8(18, out_cf);
  };
  const Shape s5823 = {5, 8, 2, 3};
  run_byte_cases({
      {"space2batch by 2 x 2 with pads, 1N to 1N", {2, 3, 3, 4}, 0, 0, {}, 52, s2b_rec(2, 2, {1, 0, 0, 2}),
       {{8, 3, 2, 3}}, s2b({2, 3, 3, 4}, 2, 2, {1, 0, 0, 2})},
      {"space2batch by 2 x 1, 4N to 4N", {5, 2, 4, 3}, 2, 2, {}, 52, s2b_rec(2, 1, {0, 0, 0, 0}), {{10, 2, 2, 3}},
       s2b({5, 2, 4, 3}, 2, 1, {0, 0, 0, 0})},
      {"space2batch with pads, 4N to 4N", {5, 2, 3, 2}, 2, 2, {}, 52, s2b_rec(2, 2, {0, 1, 1, 1}), {{20, 2, 2, 2}},
       s2b({5, 2, 3, 2}, 2, 2, {0, 1, 1, 1})},
      {"space2batch with pads, 1N to 4N", {3, 2, 3, 3}, 0, 2, {}, 52, s2b_rec(1, 2, {0, 0, 0, 1}), {{6, 2, 3, 2}},
       s2b({3, 2, 3, 3}, 1, 2, {0, 0, 0, 1})},
      {"space2batch with pads, 4N to 1N", {3, 2, 3, 3}, 2, 0, {}, 52, s2b_rec(2, 2, {0, 1, 1, 0}), {{12, 2, 2, 2}},
       s2b({3, 2, 3, 3}, 2, 2, {0, 1, 1, 0})},
      {"space2batch by a block tensor, 1N to 4N", {3, 2, 2, 4}, 0, 2, {shape_const(10, {1, 2})}, 52,
       s2b_rec(0, 0, {0, 0, 0, 0}).u8(0, 1), {{6, 2, 2, 2}}, s2b({3, 2, 2, 4}, 1, 2, {0, 0, 0, 0})},
      {"batch2space by 2 x 2 with crops, 4N to 4N", {8, 2, 2, 3}, 2, 2, {}, 53, s2b_rec(2, 2, {1, 0, 0, 2}),
       {{2, 2, 3, 4}}, b2s({8, 2, 2, 3}, 2, 2, {1, 0, 0, 2})},
      {"batch2space, 1N to 1N", {12, 2, 2, 2}, 0, 0, {}, 53, s2b_rec(2, 2, {0, 0, 0, 0}), {{3, 2, 4, 4}},
       b2s({12, 2, 2, 2}, 2, 2, {0, 0, 0, 0})},
      {"batch2space with crops, 4N to 1N", {8, 2, 2, 3}, 2, 0, {}, 53, s2b_rec(2, 2, {0, 1, 2, 1}), {{2, 2, 3, 3}},
       b2s({8, 2, 2, 3}, 2, 2, {0, 1, 2, 1})},
      {"batch2space with crops, 1N to 1N", {12, 2, 2, 2}, 0, 0, {}, 53, s2b_rec(2, 2, {1, 1, 0, 1}), {{3, 2, 2, 3}},
       b2s({12, 2, 2, 2}, 2, 2, {1, 1, 0, 1})},
      {"batch2space by 2 x 1, 4N to 1N", {10, 3, 2, 2}, 2, 0, {}, 53, s2b_rec(2, 1, {0, 0, 0, 0}), {{5, 3, 4, 2}},
       b2s({10, 3, 2, 2}, 2, 1, {0, 0, 0, 0})},
      {"batch2space by a crops tensor, 1N to 4N", {8, 1, 3, 3}, 0, 2, {shape_const(10, {0, 1, 1, 0})}, 53,
       s2b_rec(2, 2, {0, 0, 0, 0}).u8(1, 1), {{2, 1, 5, 5}}, b2s({8, 1, 3, 3}, 2, 2, {0, 1, 1, 0})},
      {"depth2space channel-first, 1N", {3, 8, 2, 3}, 0, 0, {}, 102, d2s_rec(2, 2, true, false, true), {{3, 2, 4, 6}},
       [](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, {3, 8, 2, 3}, 2, 2, 1)}; }},
      {"depth2space channel-first, 4N", s5823, 2, 2, {}, 102, d2s_rec(2, 2, true, false, true), {{5, 2, 4, 6}},
       [=](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, s5823, 2, 2, 1)}; }},
      {"space to depth channel-last, 4N", {5, 4, 6, 2}, 2, 2, {}, 102, d2s_rec(2, 2, false, true, false),
       {{5, 2, 3, 8}},
       [](const Bytes &in) {
         const Bytes deep = ref::space_to_depth(nhwc_to_nchw(in, {5, 4, 6, 2}), {5, 2, 4, 6}, 2, 2, 1);
         return std::vector<Bytes>{nchw_to_nhwc(deep, {5, 8, 2, 3})};
       }},
      {"depth2space channel-last, 1N", {3, 2, 3, 8}, 0, 0, {}, 102, d2s_rec(2, 2, false, false, false), {{3, 4, 6, 2}},
       [](const Bytes &in) {
         const Bytes shallow = ref::depth_to_space(nhwc_to_nchw(in, {3, 2, 3, 8}), {3, 8, 2, 3}, 2, 2, 1);
         return std::vector<Bytes>{nchw_to_nhwc(shallow, {3, 2, 4, 6})};
       }},
      {"space to depth channel-last into channel-first, 4N", {5, 4, 6, 2}, 2, 2, {}, 102,
       d2s_rec(2, 2, false, true, true), {{5, 8, 2, 3}},
       [](const Bytes &in) {
         return std::vector<Bytes>{ref::space_to_depth(nhwc_to_nchw(in, {5, 4, 6, 2}), {5, 2, 4, 6}, 2, 2, 1)};
       }},
      {"depth2space channel-first into channel-last, 1N", {2, 8, 2, 3}, 0, 0, {}, 102,
       d2s_rec(2, 2, true, false, false), {{2, 4, 6, 2}},
       [](const Bytes &in) {
         return std::vector<Bytes>{nchw_to_nhwc(ref::depth_to_space(in, {2, 8, 2, 3}, 2, 2, 1), {2, 2, 4, 6})};
       }},
      {"reorg into depth by 2, 4N", {5, 8, 4, 6}, 2, 2, {}, 15, Record(24).i32(0, 2), {{5, 32, 2, 3}},
       [](const Bytes &in) { return std::vector<Bytes>{flat_reorg8(in, {5, 8, 4, 6}, 2)}; }},
      {"reorg into depth, 4 not dividing h, 4N", {2, 4, 6, 6}, 2, 2, {}, 15, Record(24).i32(0, 2), {{2, 16, 3, 3}},
       [](const Bytes &in) { return std::vector<Bytes>{flat_reorg8(in, {2, 4, 6, 6}, 2)}; }},
      {"reorg back to space by 2, 4N", s5823, 2, 2, {}, 15, Record(24).i32(0, 2).i32(4, 1), {{5, 2, 4, 6}},
       [=](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, s5823, 2, 2, 1)}; }},
      // The 4N-only reorg kernel and depth2space into the other store mode,
      // through the scratch buffer and the 1N <-> 4N transfers.
      {"reorg into depth by 2, 1N", {3, 4, 4, 6}, 0, 0, {}, 15, Record(24).i32(0, 2), {{3, 16, 2, 3}},
       [](const Bytes &in) { return std::vector<Bytes>{flat_reorg8(in, {3, 4, 4, 6}, 2)}; }},
      {"reorg into depth by 2, 4N to 1N", {5, 8, 4, 6}, 2, 0, {}, 15, Record(24).i32(0, 2), {{5, 32, 2, 3}},
       [](const Bytes &in) { return std::vector<Bytes>{flat_reorg8(in, {5, 8, 4, 6}, 2)}; }},
      {"reorg into depth by 2, 1N to 4N", {6, 4, 4, 6}, 0, 2, {}, 15, Record(24).i32(0, 2), {{6, 16, 2, 3}},
       [](const Bytes &in) { return std::vector<Bytes>{flat_reorg8(in, {6, 4, 4, 6}, 2)}; }},
      {"reorg back to space by 2, 1N", {4, 8, 2, 3}, 0, 0, {}, 15, Record(24).i32(0, 2).i32(4, 1), {{4, 2, 4, 6}},
       [](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, {4, 8, 2, 3}, 2, 2, 1)}; }},
      {"depth2space channel-first, 1N to 4N", s5823, 0, 2, {}, 102, d2s_rec(2, 2, true, false, true), {{5, 2, 4, 6}},
       [=](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, s5823, 2, 2, 1)}; }},
      {"depth2space channel-first, 4N to 1N", s5823, 2, 0, {}, 102, d2s_rec(2, 2, true, false, true), {{5, 2, 4, 6}},
       [=](const Bytes &in) { return std::vector<Bytes>{ref::depth_to_space(in, s5823, 2, 2, 1)}; }},
      {"space to depth channel-last into channel-first, 1N to 4N", {3, 4, 6, 2}, 0, 2, {}, 102,
       d2s_rec(2, 2, false, true, true), {{3, 8, 2, 3}},
       [](const Bytes &in) {
         return std::vector<Bytes>{ref::space_to_depth(nhwc_to_nchw(in, {3, 4, 6, 2}), {3, 2, 4, 6}, 2, 2, 1)};
       }},
  });
}


TEST(GlbShapeCtrl, EightBitRearrangementsWithoutScratchOrWithBadBlocksAnswer1009) {
  // A conversion between store modes without the host's scratch buffer,
  // and blocks that do not divide the padded image. Nothing is written; the
  // card serves on.
  const Shape s = {3, 4, 4, 6};
  const Record reorg = Record(24).i32(0, 2), d2s = Record(24).i32(8, 2).i32(12, 2).u8(16, 1).u8(18, 1);
  auto none = [](const Bytes &) { return std::vector<Bytes>{}; };
  struct Bad {
    ByteNetCase c;
    const char *function, *info;
    bool no_scratch;
  };
  const Bad bad[] = {
      {{"reorg of 1N data", s, 0, 0, {}, 15, reorg, {{3, 16, 2, 3}}, none}, "reorg_fix8b_any_store_mode",
       "8-bit reorg from store mode 0 to 0 needs the scratch buffer", true},
      {{"depth2space from 4N into 1N", {5, 8, 2, 3}, 2, 0, {}, 102, d2s, {{5, 2, 4, 6}}, none},
       "dynamic_glb_depth2space_layer_ctrl", "8-bit depth2space from store mode 2 to 0 needs the scratch buffer", true},
      // Blocks that do not divide the padded image: the kernel's moves would
      // read it with the wrong row stride and, into 4N, write past the output.
      {{"space2batch of 3 x 3 by 2 x 2", {2, 1, 3, 3}, 2, 2, {}, 52, Record(40).i32(4, 2).i32(8, 2), {{8, 1, 1, 1}}, none},
       "dynamic_glb_space2batch_layer_ctrl", "padded 3 x 3 by a block of 2 x 2", false},
      {{"space2batch of 4 x 5 padded by 1 by 2 x 2", {2, 1, 4, 5}, 0, 0, {}, 52,
        Record(40).i32(4, 2).i32(8, 2).i32(16, 1), {{8, 1, 2, 2}}, none},
       "dynamic_glb_space2batch_layer_ctrl", "padded 5 x 5 by a block of 2 x 2", false},
  };
  auto card = deferred_card(Backend::Native, 2);
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.c.what);
    const Bytes canary(512, 0xee);
    card->write(kOut, canary.data(), canary.size());
    const size_t seen = card->console().size();
    auto a = send_byte_net(*card, b.c, byte_ramp(b.c.in), b.no_scratch ? 0 : kScratch);
    ASSERT_TRUE(AnswerOk(*card, a, 1009u));
    const std::string said = card->console().substr(seen);
    EXPECT_NE(said.find(b.function), std::string::npos) << said;
    EXPECT_NE(said.find(b.info), std::string::npos) << said;
    EXPECT_EQ(card->read(kOut, canary.size()), canary) << "written although refused";
  }
  const ByteNetCase good = {"reorg of 4N data", s, 2, 2, {}, 15, reorg, {{3, 16, 2, 3}}, none};
  auto a = send_byte_net(*card, good, byte_ramp(s));
  ASSERT_TRUE(AnswerOk(*card, a));
}

TEST(GlbShapeCtrl, BadTileConcatAndRearrangementRecordsAnswer1009) {
  run_bad({
      {"transpose order that is no permutation", {{2, 3, 4}}, {lay(49, Record(24).u8(0, 0).u8(1, 0).u8(2, 1), {0}, {})},
       "order[i] >= 0 && order[i] < dims && !(used >> order[i] & 1)"},
      {"transpose order past the rank", {{2, 3}}, {lay(49, Record(24).u8(0, 2).u8(1, 0), {0}, {})},
       "order[i] >= 0 && order[i] < dims && !(used >> order[i] & 1)"},
      {"split into 0 equal parts", {{2, 10}},
       {GlobalStep{layer(37, kFp32, Record(48).i32(4, 0).i32(36, 1), Words().append(net_io_ref(1))), {1}, {}}},
       "split_num >= 1 && (split_num > 1 || (rec.split_sizes[0] > 0 && rec.split_sizes[0] <= 0xffff))"},
      {"split sizes past the extent", {{2, 10}},
       {GlobalStep{layer(37, kFp32, Record(48).i32(0, 1).i32(4, 8).i32(8, 8).i32(36, 2),
                         Words().append(net_io_ref(1)).append(neuron_ref(7, kBoundary)).append(neuron_ref(8, kBoundary + 0x100))),
                   {1}, {7, 8}}},
       "sum <= extent"},
      {"split of more than 8 parts", {{2, 10}}, {lay(37, Record(48).i32(36, 9), {0}, {})}, "split_num <= 8"},
      {"tile of a neuron with other dims than the record's", {{2, 3}}, {lay(28, Record(88).u8(0, 1).u8(3, 3), {0}, {})},
       "bottom->dims == bottom_dims"},
      {"expand of an extent that does not stretch", {{3, 2}},
       {lay(55, Record(88).u8(1, 2).u32(36, 1).i32(40, 3).i32(44, 4).u32(72, 2), {0}, {})}, "e == target[i] || e == 1"},
      {"expand with a leading target of 0", {{3, 1}},
       {lay(55, Record(88).u8(1, 2).u32(36, 1).i32(40, 0).i32(44, 3).i32(48, 1).u32(72, 3), {0}, {})},
       "output_shape[i] > 0"},
      {"concat table of the wrong length", {{2, 3}},
       {GlobalStep{layer(7, kFp32, Record(36).u8(0, 1), Words().word(16).bytes(Record(16).bytes())), {1}, {}}},
       "(unsigned int)info_len == input_num * sizeof(fw_concat_input_info_t)"},
      {"concat of inputs that differ outside the axis", {{2, 3}, {3, 3}},
       {[] {
          Words tail = Words().word(16).bytes(Record(16).bytes());
          tail.append(net_io_ref(1)).append(net_io_ref(3)).append(net_io_ref(kNetOut));
          return GlobalStep{layer(7, kFp32, Record(36).u8(0, 2).u8(2, 1), tail), {1, 3}, {kNetOut}};
        }()},
       "k == 0 || s[i] == out_shape[i]"},
      {"constant fill of 2-byte values", {{1}},
       {shape_const(10, {2}), GlobalStep{layer(61, kFp32, constant_fill(0, 2, kFp32),
                                               Words().append(shape_ref(10)).append(net_io_ref(kNetOut))), {10}, {kNetOut}}},
       "type_len == 4"},
      {"reverse axis past the rank", {{2, 3}}, {lay(104, Record(4).i32(0, 2), {0}, {})}, "rec.axis >= -dims && rec.axis < dims"},
  });
}

}  // namespace
}  // namespace zv::test
