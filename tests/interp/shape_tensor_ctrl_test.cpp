// Shape-tensor controllers through API 111: descriptions written by the
// test-side writer make shape tensors with shape_const, transform them, and
// either fill or reshape device tensors with them (checked in device memory
// on the deferred schedules and the ARM image) or hand them to a recording
// controller the test installs (native cards), compared with values worked
// out by hand from what each layer means. Bad records answer 1009 and leave
// the card serving.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/context.h"
#include "interp/fullnet.h"
#include "net_writer.h"
#include "net_writer_shape.h"

namespace zv::test {
namespace {

using host::Card;
using namespace net;
using namespace net::card_areas;

constexpr uint32_t kFp32 = 0, kInt32 = 3;
constexpr uint32_t kNetIn = 1, kNetOut = 2;

std::optional<host::Answer> run(Card &card, const Words &desc, const std::vector<uint32_t> &in_shape) {
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.inputs.push_back(IoInput{kIn, 0, kFp32, in_shape, 0});
  m.outputs.push_back(IoOutput{kOut, 0, 0});
  m.return_shape = 1;
  use_card_areas(m);
  return card.send(111, run_payload(m));
}

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
std::vector<int32_t> fbits(const std::vector<float> &v) {
  std::vector<int32_t> out;
  for (float f : v) out.push_back(int32_t(bits(f)));
  return out;
}

// ---- A shape tensor into a constant fill, on every card ----

TEST(ShapeTensorCtrl, ShapeConstantIntoConstantFill) {
  // shape_const [2, 3, 5] (in a value block after the record) -> constant_fill
  // of 1.5 into net output 2; then a [2, 0] shape that fills nothing.
  const std::vector<float> in(1, 0.0f);
  for_each_api_card([&](host::Card &card) {
    const Words desc = description(
        {kNetIn}, {kNetOut},
        global_plan({shape_const_block(10, {3}, {2, 3, 5}),
                     {layer(61, kFp32, constant_fill(bits(1.5f), 4, kFp32), Words().append(shape_ref(10)).append(net_io_ref(kNetOut))),
                      {10},
                      {kNetOut}}},
                    {kNetOut}));
    std::vector<float> canary(40, -9.0f);
    card.write(kOut, canary.data(), canary.size() * 4);
    auto a = run(card, desc, {1});
    ASSERT_TRUE(AnswerOk(card, a));
    std::vector<float> want(30, 1.5f);
    want.resize(40, -9.0f);
    EXPECT_EQ(get<float>(card, kOut, 40), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 16)), (std::vector<uint32_t>{3, 2, 3, 5}));

    card.write(kOut, canary.data(), canary.size() * 4);
    const Words empty = description(
        {kNetIn}, {kNetOut},
        global_plan({shape_const(10, {2, 0}),
                     {layer(61, kFp32, constant_fill(bits(1.5f), 4, kInt32), Words().append(shape_ref(10)).append(net_io_ref(kNetOut))),
                      {10},
                      {kNetOut}}},
                    {kNetOut}));
    auto b = run(card, empty, {1});
    ASSERT_TRUE(AnswerOk(card, b));
    EXPECT_EQ(get<float>(card, kOut, 40), canary);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 12)), (std::vector<uint32_t>{2, 2, 0}));
  });
}

// ---- Recorded shape tensors ----

struct Seen {
  uint32_t dtype, dims;
  std::vector<int32_t> shape;
  std::vector<int32_t> values;
  bool operator==(const Seen &o) const {
    return dtype == o.dtype && dims == o.dims && shape == o.shape && values == o.values;
  }
};
void PrintTo(const Seen &s, std::ostream *os) {
  *os << "dtype " << s.dtype << " dims " << s.dims << " shape [";
  for (int32_t e : s.shape) *os << e << " ";
  *os << "] values [";
  for (int32_t v : s.values) *os << v << " ";
  *os << "]";
}
std::vector<Seen> *g_seen;

// The recorder: its record's one word counts the shape references that
// follow; each referenced tensor's type, shape and values are kept.
void record_shapes(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  uint32_t n;
  dynamic_context_read_record(ctx, &n, 4);
  for (uint32_t k = 0; k < n; k++) {
    dynamic_tensor_info_t t = {};
    dynamic_context_unpack_shape_tensor(ctx, &t, 0);
    Seen s{t.dtype, t.dims, std::vector<int32_t>(t.shape, t.shape + t.dims), {}};
    size_t count = 1;
    for (int32_t e : s.shape) count *= size_t(e);
    if (t.host_data != nullptr) s.values.assign((const int32_t *)t.host_data, (const int32_t *)t.host_data + count);
    g_seen->push_back(s);
  }
}
constexpr uint32_t kRecorder = 107;  // a type no controller of this suite serves

GlobalStep recorder(const std::vector<uint32_t> &ids) {
  Words tail;
  for (uint32_t id : ids) tail.append(shape_ref(id));
  return {layer(kRecorder, 0, Record(4).u32(0, uint32_t(ids.size())), tail), ids, {}};
}

// A layer reading shape tensors `reads` and writing `writes`.
GlobalStep step(uint32_t type, const Record &rec, const std::vector<uint32_t> &reads,
                const std::vector<uint32_t> &writes, uint32_t data_size = kFp32) {
  Words tail;
  for (uint32_t id : reads) tail.append(shape_ref(id));
  for (uint32_t id : writes) tail.append(shape_ref(id));
  return {layer(type, data_size, rec, tail), reads, writes};
}

struct RecordedCase {
  const char *what;
  std::vector<GlobalStep> steps;  // the recorder follows, reading `seen`
  std::vector<uint32_t> seen;
  std::vector<Seen> want;
};

const std::vector<float> kNeg = {-1.5f, 2.7f};

std::vector<RecordedCase> recorded_cases() {
  const Record none;  // a layer without a record
  return {
      {"shape_ref and rank of a [2, 3, 5] neuron tensor",
       {{layer(38, kFp32, Record(4).u32(0, 0), Words().append(net_io_ref(kNetIn)).append(shape_ref(10))), {kNetIn}, {10}},
        {layer(91, kFp32, Record(4).u32(0, 0), Words().append(net_io_ref(kNetIn)).append(shape_ref(11))), {kNetIn}, {11}},
        {layer(91, kFp32, Record(4).u32(0, 1), Words().append(shape_ref(10)).append(shape_ref(12))), {10}, {12}}},
       {10, 11, 12},
       {{kInt32, 1, {3}, {2, 3, 5}}, {kInt32, 0, {}, {3}}, {kInt32, 0, {}, {1}}}},
      {"shape_op >= broadcasts int32 [3] with [2, 3] into float 1.0 / 0.0",
       {shape_const(10, {1, 5, 3}), shape_const_block(11, {2, 3}, {2, 2, 3, 1, 5, 4}),
        step(40, Record(4).i32(0, 10002), {10, 11}, {12}), step(40, Record(4).i32(0, 1), {10, 11}, {13})},
       {12, 13},
       {{kFp32, 2, {2, 3}, fbits({0, 1, 1, 1, 1, 0})}, {kInt32, 2, {2, 3}, {-1, 3, 0, 0, 0, -1}}}},
      {"shape_slice: one-dimensional form, and arrays from tensors with a negative stride",
       {shape_const(10, {10, 11, 12, 13, 14}), shape_const(11, {-1}), shape_const(12, {0}), shape_const(13, {-2}),
        step(41, Record(128).u8(0, uint8_t(-4)).u8(1, 100).u8(2, 2), {10}, {14}),
        step(41, Record(128).i32(100, 1).u32(124, 1), {10, 11, 12, 13}, {15})},
       {14, 15},
       {{kInt32, 1, {2}, {11, 13}}, {kInt32, 1, {2}, {14, 12}}}},
      {"shape_pack joins along axis 0; shape_reorder permutes",
       {shape_const(10, {7, 8}), shape_const(11, {9}), step(42, Record(8).u32(0, 2).i32(4, 0), {10, 11}, {12}),
        step(44, Record(8).u8(0, 2).u8(1, 0).u8(2, 1), {12}, {13})},
       {12, 13},
       {{kInt32, 1, {3}, {7, 8, 9}}, {kInt32, 1, {3}, {9, 7, 8}}}},
      {"shape_range up, down and empty",
       {shape_const(10, {0}), shape_const(11, {2}), shape_const(12, {5}), shape_const(13, {-2}), shape_const(14, {3}),
        shape_const(15, {1}),
        step(67, none, {10, 11, 12}, {20}), step(67, none, {12, 13, 10}, {21}), step(67, none, {14, 15, 14}, {22})},
       {20, 21, 22},
       {{kInt32, 1, {3}, {0, 2, 4}}, {kInt32, 1, {3}, {5, 3, 1}}, {kInt32, 1, {0}, {}}}},
      {"shape_tile by a tensor, shape_reverse, shape_expand_ndims",
       {shape_const_block(10, {2, 2}, {1, 2, 3, 4}), shape_const(11, {1, 2}),
        step(68, Record(36).u32(32, 1), {10, 11}, {12}), step(69, Record(4).i32(0, -1), {10}, {13}),
        step(70, Record(8).i32(0, 1).i32(4, 2), {10}, {14})},
       {12, 13, 14},
       {{kInt32, 2, {2, 4}, {1, 2, 1, 2, 3, 4, 3, 4}},
        {kInt32, 2, {2, 2}, {2, 1, 4, 3}},
        {kInt32, 4, {2, 1, 1, 2}, {1, 2, 3, 4}}}},
      {"shape_cast float to int32 truncates; shape_unary rounds halves away from zero",
       {shape_const(10, fbits(kNeg), kFp32), shape_const(11, fbits({0.5f, -0.5f, 1.5f, 2.2f}), kFp32),
        step(71, Record(8).u32(0, kInt32).u32(4, 1), {10}, {12}), step(88, Record(4).u32(0, 10), {11}, {13}),
        step(88, Record(4).u32(0, 11), {11}, {14}), step(88, Record(4).u32(0, 12), {11}, {15})},
       {12, 13, 14, 15},
       {{kInt32, 1, {2}, {-1, 2}},
        {kFp32, 1, {4}, fbits({1.0f, -1.0f, 2.0f, 2.0f})},
        {kFp32, 1, {4}, fbits({1.0f, -0.0f, 2.0f, 3.0f})},
        {kFp32, 1, {4}, fbits({0.0f, -1.0f, 1.0f, 2.0f})}}},
      {"shape_reshape by a pattern tensor, shape_squeeze, shape_reduce sum keeping dims",
       {shape_const_block(10, {2, 3}, {1, 2, 3, 4, 5, 6}), shape_const(11, {3, -1}),
        step(72, none, {10, 11}, {12}), step(90, Record(12), {12}, {13}),
        shape_const_block(14, {1, 3, 1}, {4, 5, 6}), step(90, Record(12).u8(0, 2).u32(8, 1), {14}, {15}),
        step(73, Record(44).i32(0, 1).i32(4, 1).i32(8, 1).i32(12, 1), {10}, {16})},
       {12, 13, 15, 16},
       {{kInt32, 2, {3, 2}, {1, 2, 3, 4, 5, 6}},
        {kInt32, 2, {3, 2}, {1, 2, 3, 4, 5, 6}},
        {kInt32, 2, {1, 3}, {4, 5, 6}},
        {kInt32, 2, {2, 1}, {6, 15}}}},
      {"shape_split: equal parts of [5] and sizes with a rest",
       {shape_const(10, {1, 2, 3, 4, 5}), step(89, Record(40).i32(0, 0).i32(4, 2).i32(36, 1), {10}, {11, 12}),
        step(89, Record(40).i32(0, -1).i32(4, 1).i32(8, -1).i32(12, 1).i32(36, 3), {10}, {13, 14, 15})},
       {11, 12, 13, 14, 15},
       {{kInt32, 1, {2}, {1, 2}},
        {kInt32, 1, {2}, {3, 4}},
        {kInt32, 1, {1}, {1}},
        {kInt32, 1, {3}, {2, 3, 4}},
        {kInt32, 1, {1}, {5}}}},
      {"shape_sizeslice takes the last two of [7]; shape_select picks per element",
       {shape_const(10, {0, 1, 2, 3, 4, 5, 6}), shape_const(11, {-2}), shape_const(12, {-1}),
        step(99, none, {10, 11, 12}, {13}), shape_const(14, {1, 0, 5}), shape_const(15, {10, 20, 30}),
        step(101, Record(12).u32(4, uint32_t(-7)).u8(9, 1), {14, 15}, {16})},
       {13, 16},
       {{kInt32, 1, {2}, {5, 6}}, {kInt32, 1, {3}, {10, -7, 30}}}},
  };
}

TEST(ShapeTensorCtrl, ControllersGiveTheValuesTheirLayersMean) {
  for (uint64_t seed : {1, 2, 3}) {
    auto card = deferred_card(Backend::Native, seed);
    dynamic_global_func_map_set_for_test(kRecorder, record_shapes);
    const std::vector<float> in(30, 0.0f);
    card->write(kIn, in.data(), in.size() * 4);
    for (const RecordedCase &c : recorded_cases()) {
      SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
      std::vector<GlobalStep> steps = c.steps;
      steps.push_back(recorder(c.seen));
      std::vector<Seen> seen;
      g_seen = &seen;
      auto a = run(*card, description({kNetIn}, {kNetOut}, global_plan(steps)), {2, 3, 5});
      ASSERT_TRUE(AnswerOk(*card, a));
      EXPECT_EQ(seen, c.want);
    }
  }
}

// ---- Shape tensors into device data ----

TEST(ShapeTensorCtrl, CastToDeviceAndAssignAReshapeSpecComputedAtRunTime) {
  // shape_cast of int32 [4, -3, 7] to float32 into net output 2; then
  // shape_assign of net input [2, 3, 5] by the pattern [-1, 6] (computed as
  // [0, 3] + [-1, 3]) into net output 2 at its own address: a [5, 6] copy.
  const std::vector<float> in = [] {
    std::vector<float> v(30);
    for (size_t i = 0; i < v.size(); i++) v[i] = float(i) * 0.5f - 3.0f;
    return v;
  }();
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    const Words cast = description(
        {kNetIn}, {kNetOut},
        global_plan({shape_const(10, {4, -3, 7}),
                     {layer(71, kFp32, Record(8).u32(0, kFp32).u32(4, 0), Words().append(shape_ref(10)).append(net_io_ref(kNetOut))),
                      {10},
                      {kNetOut}}},
                    {kNetOut}));
    auto a = run(card, cast, {2, 3, 5});
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(as_floats(card.read(kOut, 12)), (std::vector<float>{4.0f, -3.0f, 7.0f}));
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 8)), (std::vector<uint32_t>{1, 3}));

    const Words assign = description(
        {kNetIn}, {kNetOut},
        global_plan({shape_const(10, {0, 3}), shape_const(11, {-1, 3}), step(40, Record(4).i32(0, 0), {10, 11}, {12}),
                     {layer(43, kFp32, Record(), Words().append(net_io_ref(kNetIn)).append(shape_ref(12)).append(net_io_ref(kNetOut))),
                      {kNetIn, 12},
                      {kNetOut}}},
                    {kNetOut}));
    auto b = run(card, assign, {2, 3, 5});
    ASSERT_TRUE(AnswerOk(card, b));
    EXPECT_EQ(get<float>(card, kOut, in.size()), in);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 12)), (std::vector<uint32_t>{2, 5, 6}));
  });
}

// ---- Bad records ----

TEST(ShapeTensorCtrl, BadRecordsAnswer1009AndTheCardKeepsServing) {
  struct Bad {
    const char *what;
    std::vector<GlobalStep> steps;
    const char *console;  // the assertion's function and condition
  };
  const Record none;
  const Bad bad[] = {
      {"range with a delta of 0",
       {shape_const(10, {0}), shape_const(11, {0}), shape_const(12, {5}), step(67, none, {10, 11, 12}, {13})},
       "dynamic_glb_shape_range_layer_ctrl: "},
      {"reorder past the values",
       {shape_const(10, {1, 2}), step(44, Record(8).u8(0, 1).u8(1, 2), {10}, {11})},
       "dynamic_glb_shape_reorder_layer_ctrl: "},
      {"equal split into 0 parts",
       {shape_const(10, {1, 2}), step(89, Record(40).i32(4, 0).i32(36, 1), {10}, {11})},
       "dynamic_glb_shape_split_layer_ctrl: "},
      {"value block of 0 values", {shape_const_block(10, {1}, {})}, "info_len > 0"},
      {"split axis outside the dims",
       {shape_const(10, {1, 2}), step(89, Record(40).i32(0, 1).i32(4, 1).i32(36, 2), {10}, {11})},
       "split_axis >= 0 && split_axis < in.dims"},
      {"unary of int32 values", {shape_const(10, {1}), step(88, Record(4).u32(0, 10), {10}, {11})},
       "in.dtype == DSIZE_FP32"},
      {"reduce over an axis past the dims",
       {shape_const(10, {1, 2}), step(73, Record(44).i32(4, 1).i32(8, 1).i32(12, 1), {10}, {11})},
       "axes[k] >= 0 && axes[k] < dims"},
      {"a layer without a record given one", {shape_const(10, {1}), step(67, Record(4), {10, 10, 10}, {11})},
       "length == 0"},
      {"cast to a host tensor of 8-bit values",
       {shape_const(10, {1}), step(71, Record(8).u32(0, 2).u32(4, 1), {10}, {11})},
       "layer_param->dst_type == DSIZE_FP32 || layer_param->dst_type == DSIZE_INT32"},
      // The conversion writes 32-bit values: narrower device elements would
      // take the bridge's bytes unconverted.
      {"cast to a device tensor of 8-bit values",
       {shape_const(10, {1, 2}),
        {layer(71, kFp32, Record(8).u32(0, 2).u32(4, 0), Words().append(shape_ref(10)).append(net_io_ref(kNetOut))),
         {10},
         {kNetOut}}},
       "count == 0 || layer_param->dst_type == DSIZE_FP32 || layer_param->dst_type == DSIZE_INT32"},
  };
  auto card = deferred_card(Backend::Native, 1);
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.what);
    auto a = run(*card, description({kNetIn}, {kNetOut}, global_plan(b.steps)), {1});
    ASSERT_TRUE(AnswerOk(*card, a, 1009u));
    EXPECT_NE(card->console().find(b.console), std::string::npos) << card->console();
  }
  // Still serving: a good run after the failures.
  auto ok = run(*card,
                description({kNetIn}, {kNetOut},
                            global_plan({shape_const(10, {2}),
                                         {layer(61, kFp32, constant_fill(bits(2.0f), 4, kFp32),
                                                Words().append(shape_ref(10)).append(net_io_ref(kNetOut))),
                                          {10},
                                          {kNetOut}}},
                                        {kNetOut})),
                {1});
  ASSERT_TRUE(AnswerOk(*card, ok));
  EXPECT_EQ(as_floats(card->read(kOut, 8)), (std::vector<float>{2.0f, 2.0f}));
}

}  // namespace
}  // namespace zv::test
