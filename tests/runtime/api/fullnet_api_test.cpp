// API 111 (run of a compiled network) end to end: descriptions written by the
// test-side writer from the documented layout, run through the host driver on
// the deferred schedules with the race checker and on the ARM image, against
// references computed on the host; and the answers to bad descriptions.
#include <gtest/gtest.h>

#include <regex>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/context.h"
#include "interp/fullnet.h"
#include "net_writer.h"
#include "net_writer_cnn.h"
#include "cmd/gdma.h"
#include "local/eltwise.h"
#include "ref/arrange_ref.h"
#include "ref/conv_ref.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using host::Card;
using namespace net;
using namespace net::card_areas;


constexpr uint32_t kFp32 = 0;
constexpr uint32_t kLocalIn = 0, kLocalOut = 0x20000;

// Sends the description with one float input and one output.
std::optional<host::Answer> run(Card &card, const Words &desc, const std::vector<uint32_t> &in_shape,
                                uint32_t return_shape = 1, uint64_t out_addr = kOut) {
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.inputs.push_back(IoInput{kIn, 0, kFp32, in_shape, 0});
  m.outputs.push_back(IoOutput{out_addr, 0, 0});
  m.return_shape = return_shape;
  use_card_areas(m);
  return card.send(111, run_payload(m));
}

std::vector<float> ramp(size_t count, float scale = 0.25f, float offset = -7.0f) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; i++) v[i] = float(int(i % 61)) * scale + offset;
  return v;
}

// The const-binary record: value, op, constant on the left, ReLU.
Record const_binary(float value, uint32_t op) { return Record(24).f32(0, value).u32(4, op); }

// A local group: load slices of net input 1, multiply by a constant, store
// into net output 2, one time step each. The steps run from the last stage
// down (dataflow order within a stage), so that a slice's buffers are never
// written while a later stage of an earlier slice still reads them.
Group const_binary_group(uint32_t n_slice, uint32_t stages) {
  Group g;
  g.inputs = {1};
  g.new_keys = {key(2, 0)};
  g.n_slice = n_slice;
  g.stage_num = stages;
  const uint32_t last = stages - 1, mid = stages > 1 ? 1 : 0;
  std::vector<std::pair<uint32_t, TimeStep>> flow = {
      {0, {{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))}}}},
      {mid, {{{mid, layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, const_binary(1.5f, 2), {1, kLocalIn, 2, kLocalOut})}}, {}}},
      {last, {{}, {{last, move(ST_OUTPUT_NEURON, st_output(kLocalOut, 2, kFp32))}}}}};
  std::stable_sort(flow.begin(), flow.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
  for (auto &f : flow) g.steps.push_back(f.second);
  return g;
}

TEST(FullnetApi, LocalGroupPipelinesBatchSlicesThroughThreeStages) {
  const std::vector<uint32_t> shape = {10, 3, 4, 5};
  const std::vector<float> in = ramp(10 * 3 * 4 * 5);
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = in[i] * 1.5f;
  const Words desc = description({1}, {2}, {const_binary_group(4, 3)});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    auto a = run(card, desc, shape);
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    // The returned shape record: dims, the four extents, untouched words 0, elem_num.
    const std::vector<uint32_t> rec = values_of<uint32_t>(card.read(kShapes, 40));
    EXPECT_EQ(rec, (std::vector<uint32_t>{4, 10, 3, 4, 5, 0, 0, 0, 0, 0}));
  });
}

TEST(FullnetApi, StageAndSliceVariantsGiveTheSameResult) {
  // One stage (no stage words), a long n_slice word, a batch smaller than the
  // slice, and a slice of one item.
  const std::vector<uint32_t> shape = {5, 2, 3, 7};
  const std::vector<float> in = ramp(5 * 2 * 3 * 7, 0.5f, -3.0f);
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = in[i] * 1.5f;
  struct Case {
    const char *what;
    uint32_t n_slice, stages;
    bool long_n_slice;
  };
  const Case cases[] = {{"one stage", 2, 1, false}, {"long n_slice", 3, 2, true},
                        {"slice above the batch", 8, 3, false}, {"one item per slice", 1, 3, false}};
  auto card = deferred_card(Backend::Native, 2);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Group g = const_binary_group(c.n_slice, c.stages);
    g.long_n_slice = c.long_n_slice;
    card->write(kIn, in.data(), in.size() * 4);
    std::vector<float> zeros(in.size(), 0.0f);
    card->write(kOut, zeros.data(), zeros.size() * 4);
    auto a = run(*card, description({1}, {2}, {g}), shape);
    ASSERT_TRUE(AnswerOk(*card, a));
    EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
  }
}

// Max pooling 3x3, stride 1, padding 1 as a local group: cut along h into
// slices of 6 input rows (window 3, stride 1, padding 1 above and below), or
// over the whole height.
Group pool_group(bool h_split, uint32_t H) {
  Group g;
  if (h_split)
    g.slices = {SliceRecord{1, 6, 1, 3, 1, 1, 3}};
  else
    g.inputs = {1};
  g.new_keys = {key(2, 0)};
  g.n_slice = 2;
  g.stage_num = 1;
  (void)H;
  Record pool = Record(28).u32(0, 3).u16(4, 3).u16(6, 3).u8(8, 1).u8(9, 1).u8(10, 1).u8(11, 1).u8(12, 1).u8(13, 1);
  g.steps.push_back({{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))}}});
  g.steps.push_back({{{0, layer(DYNAMIC_LAYER_POOLING, kFp32, pool, {1u << 16 | 2, kLocalIn, kLocalOut})}}, {}});
  g.steps.push_back({{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalOut, 2, kFp32))}}});
  return g;
}

TEST(FullnetApi, PoolingCutAlongHEqualsTheWholeHeightAndTheGlobalLayer) {
  // The same max pooling as a local group cut along h, as a local group over
  // the whole height and as a global group: all three equal the host
  // reference, and the cut result equals the global one bit for bit (a
  // maximum does no rounding, whatever the order).
  const int N = 2, C = 3, H = 16, W = 8;
  const std::vector<float> in = ramp(size_t(N) * C * H * W, 0.75f, -20.0f);
  ref::conv::T4 t(N, C, H, W);
  for (size_t i = 0; i < in.size(); i++) t.v[i] = in[i];
  ref::conv::Window p;
  p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  const ref::conv::T4 r = ref::conv::pool(t, p, true);
  const std::vector<float> want(r.v.begin(), r.v.end());
  const std::vector<uint32_t> shape = {uint32_t(N), uint32_t(C), uint32_t(H), uint32_t(W)};
  PoolParams gp;
  gp.c = C, gp.kh = gp.kw = 3, gp.pad_h = gp.pad_h_after = gp.pad_w = gp.pad_w_after = 1;
  const Words global = description(
      {1}, {2},
      {global_group({1}, {}, layer(DYNAMIC_LAYER_POOLING, kFp32, pool_record(gp),
                                   Words().append(net_io_ref(1)).append(net_io_ref(2))))});
  struct Variant {
    const char *what;
    Words desc;
  };
  const std::vector<Variant> variants = {{"cut along h", description({1}, {2}, {pool_group(true, H)})},
                                         {"whole height", description({1}, {2}, {pool_group(false, H)})},
                                         {"global group", global}};
  for_each_api_card([&](host::Card &card) {
    std::vector<std::vector<float>> got;
    for (const Variant &v : variants) {
      SCOPED_TRACE(v.what);
      card.write(kIn, in.data(), in.size() * 4);
      std::vector<float> zeros(want.size(), 0.0f);
      card.write(kOut, zeros.data(), zeros.size() * 4);
      auto a = run(card, v.desc, shape);
      ASSERT_TRUE(AnswerOk(card, a));
      got.push_back(get<float>(card, kOut, want.size()));
      EXPECT_EQ(got.back(), want);
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 2, 3, 16, 8}));
    }
    EXPECT_EQ(got[0], got[2]) << "the cut local group and the global group differ";
  });
}

TEST(FullnetApi, ConstantBinaryIntoAReshapeIntoTheOutput) {
  // Global groups: 2.5 - x of net input 1 into tensor 4 (neuron region, one
  // consumer), then tensor 4 reshaped by [-1, 8] into net output 2.
  const std::vector<uint32_t> s = {2, 3, 4, 5};
  const std::vector<float> in = ramp(2 * 3 * 4 * 5, 0.5f, -9.0f);
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = 2.5f - in[i];
  float c = 2.5f;
  uint32_t c_bits;
  std::memcpy(&c_bits, &c, 4);
  constexpr uint32_t kSub = 1;
  const Group sub = global_group({1}, {key(4, 1)},
                                 layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, const_binary_record(c_bits, kSub, 1),
                                       Words().append(net_io_ref(1)).append(neuron_ref(4, kBoundary + 0x2000))));
  const Group reshape = global_group({4}, {},
                                     layer(DYNAMIC_LAYER_RESHAPE, kFp32, Record(48).u8(0, 2).i32(4, -1).i32(8, 8).i32(44, -1),
                                           Words().append(neuron_ref(4, 0)).append(net_io_ref(2))));
  const Words desc = description({1}, {2}, {sub, reshape});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    const std::vector<uint8_t> canary(want.size() * 4 + 16, 0xee);
    card.write(kOut, canary.data(), canary.size());
    auto a = run(card, desc, s);
    ASSERT_TRUE(AnswerOk(card, a));
    const std::vector<uint8_t> out = card.read(kOut, canary.size());
    std::vector<float> got(want.size());
    std::memcpy(got.data(), out.data(), got.size() * 4);
    EXPECT_EQ(got, want);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + long(want.size() * 4), out.end()), std::vector<uint8_t>(16, 0xee))
        << "written past the output";
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 12)), (std::vector<uint32_t>{2, 15, 8}));
  });
}


// A 3x3 convolution, stride 1, padding 1, 2 -> 3 channels with bias, as a
// local group cut along h (as the pooling group) or over the whole height.
// Weights lie per output channel in its lane, input channels paired; they are
// written to device memory as one row of that layout per channel and loaded
// as a coefficient (one lane per output channel), the bias likewise.
Group conv_group(bool h_split, uint32_t ic, uint32_t oc, uint32_t lane_floats) {
  Group g;
  if (h_split)
    g.slices = {SliceRecord{1, 6, 1, 3, 1, 1, 3}};
  else
    g.inputs = {1};
  g.new_keys = {key(2, 0)};
  g.n_slice = 2;
  Record conv = Record(100).u16(0, uint16_t(oc)).u16(2, uint16_t(ic)).u32(4, 2).u32(8, 1).u16(12, 3).u16(14, 3);
  conv.u8(16, 1).u8(17, 1).u8(18, 1).u8(19, 1).u8(20, 1).u8(21, 1).u8(22, 1).u8(23, 1).u8(24, 1).u32(40, 2);
  const uint32_t kWeight = 0x30000, kBias = 0x38000;
  g.steps.push_back({{},
                     {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))},
                      {0, move(LD_COEFF, Record(28).u64(0, 0).u32(8, kWeight).u32(12, 1u << 16 | oc)
                                             .u32(16, 1u << 16 | lane_floats).u8(20, 1).u8(21, 2))},
                      {0, move(LD_COEFF, Record(28).u64(0, 0x1000).u32(8, kBias).u32(12, 1u << 16 | oc)
                                             .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2))}}});
  g.steps.push_back({{{0, layer(DYNAMIC_LAYER_CONV, kFp32, conv, {1u << 16 | 2, kLocalIn, kWeight, kBias, kLocalOut})}}, {}});
  g.steps.push_back({{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalOut, 2, kFp32))}}});
  return g;
}

TEST(FullnetApi, ConvolutionCutAlongHEqualsTheWholeHeightAndTheGlobalLayer) {
  // The same convolution as a local group cut along h, over the whole height
  // and as a global group (whose weights lie in the same layout). Inputs are
  // quarters and weights small integers, so every sum is exact in float and
  // the cut result must equal the global one bit for bit, whatever order the
  // engines add in.
  const int N = 2, IC = 2, OC = 3, H = 16, W = 8;
  const std::vector<float> in = ramp(size_t(N) * IC * H * W, 0.25f, -5.0f);
  ref::conv::T4 t(N, IC, H, W), w(OC, IC, 3, 3);
  for (size_t i = 0; i < in.size(); i++) t.v[i] = in[i];
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = double(int(i % 5) - 2);
  const std::vector<double> bias = {0.5, -1.0, 2.0};
  ref::conv::Window p;
  p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  const ref::conv::T4 r = ref::conv::convolution(t, w, bias, 1, p);
  const std::vector<float> want(r.v.begin(), r.v.end());
  // Per output channel: float (r, q, input channel i) at ((r * 3 + q) * pairs + i / 2) * 2 + i % 2.
  const uint32_t pairs = (IC + 1) / 2, lane_floats = 9 * pairs * 2;
  std::vector<float> weights(OC * lane_floats, 0.0f);
  for (int o = 0; o < OC; o++)
    for (int i = 0; i < IC; i++)
      for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++)
          weights[o * lane_floats + ((y * 3 + x) * pairs + i / 2) * 2 + i % 2] = float(w.at(o, i, y, x));
  const std::vector<float> b(bias.begin(), bias.end());
  ConvParams gp;
  gp.output_c = OC, gp.input_c = IC, gp.kh = gp.kw = 3, gp.bias_mode = 1;
  gp.pad_h = gp.pad_h_after = gp.pad_w = gp.pad_w_after = 1;
  const Words global = description(
      {1}, {2},
      {global_group({1}, {}, layer(DYNAMIC_LAYER_CONV, kFp32, conv_record(gp),
                                   Words().append(net_io_ref(1)).dword(0).dword(0x1000).append(net_io_ref(2))))});
  struct Variant {
    const char *what;
    Words desc;
  };
  const std::vector<Variant> variants = {
      {"cut along h", description({1}, {2}, {conv_group(true, IC, OC, lane_floats)})},
      {"whole height", description({1}, {2}, {conv_group(false, IC, OC, lane_floats)})},
      {"global group", global}};
  for (const CardConfig &cfg : {kApiCards[1], kApiCards[3]}) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kCoeff, weights.data(), weights.size() * 4);
    card->write(kCoeff + 0x1000, b.data(), b.size() * 4);
    std::vector<std::vector<float>> got;
    for (const Variant &v : variants) {
      SCOPED_TRACE(card_config_name(cfg) + ", " + v.what);
      card->write(kIn, in.data(), in.size() * 4);
      std::vector<float> zeros(want.size(), 0.0f);
      card->write(kOut, zeros.data(), zeros.size() * 4);
      auto a = run(*card, v.desc, {uint32_t(N), uint32_t(IC), uint32_t(H), uint32_t(W)});
      ASSERT_TRUE(AnswerOk(*card, a));
      got.push_back(as_floats(card->read(kOut, want.size() * 4)));
      EXPECT_EQ(got.back(), want);
      EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 20)), (std::vector<uint32_t>{4, 2, 3, 16, 8}));
    }
    SCOPED_TRACE(card_config_name(cfg));
    EXPECT_EQ(got[0], got[2]) << "the cut local group and the global group differ";
  }
}

// A global controller of the test's own (the global controllers are not part
// of this suite): copies its float input to its output and registers the
// input's shape on it. It reads an empty record, a neuron input and a neuron
// output, as a global controller of the description format does.
void copy_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  u8 rec[4];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  dynamic_tensor_info_t in = {}, out = {};
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  const u64 count = get_tensor_element_num(&in);
  if (count > 0) general_gdma_gen_cmd(in.addr, out.addr, GDMA_VALUE_FORMAT_FLOAT32, int(count), GDMA_VALUE_DIR_S2S, node);
  out.dims = in.dims;
  out.shape = in.shape;
  out.dtype = in.dtype;
  out.elem_num = in.elem_num;
  dynamic_context_global_set_output_info(ctx, &out);
}
constexpr uint32_t kCopyType = 38;  // a type whose global controller is not built here

Group copy_group(uint32_t in_id, const Words &in_ref, uint32_t out_id, const Words &out_ref,
                 std::vector<uint32_t> new_keys) {
  Group g;
  g.global = true;
  g.inputs = {in_id};
  g.new_keys = std::move(new_keys);
  g.global_layer = layer(kCopyType, kFp32, Record(), Words().append(in_ref).append(out_ref));
  (void)out_id;
  return g;
}

TEST(FullnetApi, GlobalGroupsFeedALocalGroupThroughIntermediateTensors) {
  // Net input 1 -> global copy -> tensor 3 (neuron region) -> global copy ->
  // tensor 4 (an offset below the boundary: coefficient region) -> local
  // group loading 4 as an intermediate tensor -> x 1.5 -> net output 2
  // (a net-io reference). Tensor 3 has one consumer, 4 one; both retire.
  const std::vector<uint32_t> shape = {6, 2, 3, 4};
  const std::vector<float> in = ramp(6 * 2 * 3 * 4);
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = in[i] * 1.5f;
  Group local = const_binary_group(4, 2);
  local.inputs = {4};
  for (TimeStep &t : local.steps)
    for (Item &m : t.moves)
      if (m.stage == 0) m.words = move(LD_ITM_NEURON, ld_itm(0, kLocalIn, 4, 0, 4, kFp32));
  for (TimeStep &t : local.steps)
    for (Item &l : t.layers) l.words = layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, const_binary(1.5f, 2), {4, kLocalIn, 2, kLocalOut});
  const Words desc = description(
      {1}, {2},
      {copy_group(1, neuron_ref(1, 0), 3, neuron_ref(3, kBoundary + 0x1000), {key(3, 1)}),
       copy_group(3, neuron_ref(3, 0), 4, neuron_ref(4, 0x2000), {key(4, 1)}), local});
  Card card;
  dynamic_global_func_map_set_for_test(kCopyType, copy_layer_ctrl);
  card.write(kIn, in.data(), in.size() * 4);
  auto a = run(card, desc, shape);
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_EQ(get<float>(card, kNeuron + kBoundary + 0x1000, in.size()), in);
  EXPECT_EQ(get<float>(card, kCoeff + 0x2000, in.size()), in);
  EXPECT_EQ(get<float>(card, kOut, want.size()), want);
  EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 6, 2, 3, 4}));

  // A global copy straight into the net output (net-io reference), and a
  // description without groups, which reports the output as registered.
  auto b = run(card, description({1}, {2}, {copy_group(1, net_io_ref(1), 2, net_io_ref(2), {})}), shape);
  ASSERT_TRUE(AnswerOk(card, b));
  EXPECT_EQ(get<float>(card, kOut, in.size()), in);
  auto c = run(card, description({1}, {2}, {}), shape);
  ASSERT_TRUE(AnswerOk(card, c));
  EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 40)), std::vector<uint32_t>(10, 0));
}

TEST(FullnetApi, TwoLocalGroupsThroughAnIntermediateTensor) {
  // Group 1 (two stages): A + B on the tensor engine, plus a per-channel bias
  // loaded once as a coefficient, stored as intermediate tensor 5. Group 2:
  // tensor 5 loaded back, upsampled by 2, stored into net output 2.
  const uint32_t N = 3, C = 4, H = 3, W = 5;
  const std::vector<float> a = ramp(N * C * H * W), b = ramp(N * C * H * W, 0.5f, 2.0f);
  const std::vector<float> bias = {1.0f, -2.0f, 0.25f, 8.0f};
  std::vector<float> want(N * C * 2 * H * 2 * W);
  for (uint32_t n = 0; n < N; n++)
    for (uint32_t c = 0; c < C; c++)
      for (uint32_t y = 0; y < 2 * H; y++)
        for (uint32_t x = 0; x < 2 * W; x++) {
          const size_t i = ((size_t(n) * C + c) * H + y / 2) * W + x / 2;
          want[((size_t(n) * C + c) * 2 * H + y) * 2 * W + x] = a[i] + b[i] + bias[c];
        }
  constexpr uint64_t kMidOffset = kBoundary + 0x4000, kBiasOffset = 0x800;
  const uint32_t kB = 0x8000, kSum = 0x10000, kBiased = 0x20000, kBias = 0x18000, kUp = 0x30000;
  Group g1;
  g1.inputs = {1, 3};
  g1.new_keys = {key(4, 0), key(5, 1), key(6, 0)};
  g1.n_slice = 2;
  g1.stage_num = 2;
  g1.steps.push_back({{{1, layer(DYNAMIC_LAYER_ELTWISE_BINARY, kFp32, Record(20).u32(0, 0), {1, kLocalIn, 3, kB, 4, kSum})},
                       {1, layer(DYNAMIC_LAYER_BIASADD, kFp32, Record(20), {4, kSum, kBias, 5, kBiased})}},
                      {}});
  g1.steps.push_back({{}, {{1, move(ST_ITM_NEURON, st_itm(kMidOffset, kBiased, 5, kFp32, 5))}}});
  g1.steps.push_back({{},
                      {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))},
                       {0, move(LD_INPUT_NEURON, ld_input(kB, 3, kFp32))},
                       {0, move(LD_COEFF, Record(28).u64(0, kBiasOffset).u32(8, kBias).u32(12, 1u << 16 | C)
                                              .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2))}}});
  Group g2;
  g2.inputs = {5};
  g2.new_keys = {key(7, 0)};
  g2.n_slice = 3;
  g2.steps.push_back({{}, {{0, move(LD_ITM_NEURON, ld_itm(kMidOffset, kLocalIn, 5, 0, 5, kFp32))}}});
  g2.steps.push_back({{{0, layer(DYNAMIC_LAYER_UPSAMPLE, kFp32, Record(12).u32(0, 2), {5, kLocalIn, 2, kUp})}}, {}});
  g2.steps.push_back({{}, {{0, move(ST_OUTPUT_NEURON, st_output(kUp, 2, kFp32))}}});
  const Words desc = description({1, 3}, {2}, {g1, g2});
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.inputs = {IoInput{kIn, 0, kFp32, {N, C, H, W}, 0}, IoInput{kIn + 0x10000, 0, kFp32, {N, C, H, W}, 0}};
  m.outputs = {IoOutput{kOut, 0, 0}};
  m.return_shape = 1;
  use_card_areas(m);
  for_each_api_card([&](host::Card &card) {
    card.write(kDesc, desc.raw().data(), desc.raw().size());
    card.write(kIn, a.data(), a.size() * 4);
    card.write(kIn + 0x10000, b.data(), b.size() * 4);
    card.write(kCoeff + kBiasOffset, bias.data(), bias.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(111, run_payload(m))));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, N, C, 2 * H, 2 * W}));
  });
}

TEST(FullnetApi, GlobalMovesOfALocalGroup) {
  // A group of moves only: rows of net input 1 into channels [C, 2C) of
  // intermediate 8 (2C channels), into net output 2 as it is, into channels
  // [1, 1 + C) of intermediate 9 (C + 2 channels) by the extend move, and its
  // bytes into L2 SRAM.
  const uint32_t N = 2, C = 3, H = 4, W = 5, HW = H * W;
  const std::vector<float> in = ramp(N * C * HW);
  constexpr uint64_t kMid = kBoundary + 0x10000, kWide = kBoundary + 0x20000;
  constexpr uint32_t kL2Offset = 0x200000;
  Group g;
  g.inputs = {1};
  g.new_keys = {key(8, 0), key(9, 0)};
  g.n_slice = 2;
  g.steps.push_back({{},
                     {{0, move(MV_ITM_NEURON, Record(32).u64(0, 0).u64(8, kMid).u32(16, C << 16 | 1)
                                                  .u32(20, 2 * C << 16 | C).u32(24, 8).u32(28, kFp32))},
                      {0, move(MV_OUTPUT_NEURON, Record(24).u64(0, 0).u32(8, C << 16 | 1).u32(12, C << 16 | 0)
                                                     .u32(16, 2).u32(20, kFp32))},
                      {0, move(MV_ITM_EXTEND_NEURON, Record(41).u64(0, 0).u64(8, kWide).u32(16, 1).u32(20, 1)
                                                         .u32(24, 9).u32(28, kFp32).u32(32, C).u32(36, C + 2)
                                                         .u8(40, 0))},
                      {0, move(LD_G2L2, Record(24).u64(0, 0).u32(8, kL2Offset).u32(12, 1).u8(16, 0)
                                            .u32(20, N * C * HW * 4))}}});
  g.steps.push_back({});
  const Words desc = description({1}, {2}, {g});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    auto a = run(card, desc, {N, C, H, W});
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, in.size()), in);
    const std::vector<float> mid = get<float>(card, kNeuron + kMid, N * 2 * C * HW);
    const std::vector<float> wide = get<float>(card, kNeuron + kWide, N * (C + 2) * HW);
    for (uint32_t n = 0; n < N; n++)
      for (uint32_t c = 0; c < C; c++)
        for (uint32_t i = 0; i < HW; i++) {
          const float v = in[(n * C + c) * HW + i];
          EXPECT_EQ(mid[(n * 2 * C + C + c) * HW + i], v);
          EXPECT_EQ(wide[(n * (C + 2) + 1 + c) * HW + i], v);
        }
    std::vector<float> l2(in.size());
    card.chip().l2.load(L2_SRAM_START_ADDR + kL2Offset, l2.data(), l2.size() * 4);
    EXPECT_EQ(l2, in);
  });
}

TEST(FullnetApi, EightBitSlicesLoadPackedAndStoreOneItemPerByte) {
  // The host's 1N bytes become 4N for the network (the input entry's second
  // address); a local group loads 4N word-batches and stores the slices
  // unpacked, one item per byte, into the output.
  const uint32_t N = 6, C = 3, H = 2, W = 4;
  std::vector<uint8_t> in(N * C * H * W);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 5 + 3);
  constexpr uint32_t kDsize8 = 2;
  Group g;
  g.inputs = {1};
  g.n_slice = 4;  // slices of four items (one word-batch) and two
  g.steps.push_back({{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kDsize8))}}});
  // Stored as tensor 1 itself into the net output named by the container id.
  g.steps.push_back({{}, {{0, move(ST_ITM_NEURON, st_itm(0, kLocalIn, 1, kDsize8, 2))}}});
  const Words desc = description({1}, {2}, {g});
  for_each_api_card([&](host::Card &card) {
    card.write(kDesc, desc.raw().data(), desc.raw().size());
    card.write(kIn, in.data(), in.size());
    RunMessage m;
    m.description_addr = kDesc;
    m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
    m.has_4n_addr = true;
    m.inputs = {IoInput{kIn, kIn + 0x10000, kDsize8, {N, C, H, W}, 0}};
    m.outputs = {IoOutput{kOut, 0, 0}};
    ASSERT_TRUE(AnswerOk(card, card.send(111, run_payload(m))));
    EXPECT_EQ(card.read(kOut, in.size()), in);
  });
}

uint32_t bits_of(float f);

// ---- One local layer per group, against plain references ----

using Tensor = std::vector<float>;
struct LayerCase {
  const char *what;
  std::vector<std::vector<uint32_t>> inputs;  // net inputs 1, 3, 5 (loaded at 0, 0x10000, 0x20000)
  std::vector<Tensor> coeffs;                 // per-channel coefficients (loaded once at 0x30000 + 0x100 k)
  Words layer;                                // output: id 9 at 0x40000
  std::vector<uint32_t> out_shape;
  std::function<Tensor(const std::vector<Tensor> &in, const std::vector<Tensor> &coeffs)> ref;
  std::vector<uint32_t> lanes = {};  // start lane of each input (0 when not given)
  bool int8_out = false;             // the output is stored one signed byte per element
};
constexpr uint32_t kOutLocal = 0x40000, kBufLocal = 0x50000;
uint32_t in_local(uint32_t i) { return 0x10000 * i; }
uint32_t coeff_local(uint32_t k) { return 0x30000 + 0x100 * k; }
uint32_t in_id(uint32_t i) { return 2 * i + 1; }

size_t count_of(const std::vector<uint32_t> &s) {
  size_t n = 1;
  for (uint32_t d : s) n *= d;
  return n;
}

// Element (n, c, y, x) of a dense n x c x h x w tensor.
struct At {
  uint32_t c, h, w;
  size_t operator()(uint32_t n, uint32_t ch, uint32_t y, uint32_t x) const { return ((size_t(n) * c + ch) * h + y) * w + x; }
};

Tensor map_each(const Tensor &t, const std::function<float(float)> &f) {
  Tensor r(t.size());
  for (size_t i = 0; i < t.size(); i++) r[i] = f(t[i]);
  return r;
}

std::vector<LayerCase> layer_cases() {
  const uint32_t N = 2, C = 3, H = 4, W = 5;
  const std::vector<uint32_t> s = {N, C, H, W};
  const At at{C, H, W};
  std::vector<LayerCase> v;
  v.push_back({"broadcast binary: add a per-item per-channel operand", {s, {N, C, 1, 1}}, {},
               layer(DYNAMIC_LAYER_BROADCAST_BINARY, kFp32, Record(96).u32(4, 0),
                     {in_id(0), in_local(0), in_id(1), in_local(1), 9, kOutLocal}),
               s, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 Tensor r(in[0].size());
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < C; c++)
                     for (uint32_t y = 0; y < H; y++)
                       for (uint32_t x = 0; x < W; x++) r[at(n, c, y, x)] = in[0][at(n, c, y, x)] + in[1][n * C + c];
                 return r;
               }});
  v.push_back({"pad h by 1 and 1, w by 2 and 0 with 0.5", {s}, {},
               layer(DYNAMIC_LAYER_PAD, kFp32, Record(72).f32(4, 0.5f).u32(28, 1).u32(32, 1).u32(36, 2),
                     {in_id(0), 9, in_local(0), kOutLocal}),
               {N, C, H + 2, W + 2}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 const At o{C, H + 2, W + 2};
                 Tensor r(N * C * (H + 2) * (W + 2), 0.5f);
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < C; c++)
                     for (uint32_t y = 0; y < H; y++)
                       for (uint32_t x = 0; x < W; x++) r[o(n, c, y + 1, x + 2)] = in[0][at(n, c, y, x)];
                 return r;
               }});
  v.push_back({"tile h by 2 and w by 3 from the record", {{N, C, 2, 3}}, {},
               layer(DYNAMIC_LAYER_TILE, kFp32,
                     Record(88).u8(0, 1).u8(3, 4).u32(36, 1).u32(40, 1).u32(44, 2).u32(48, 3),
                     {in_id(0), 9, in_local(0), kOutLocal, 0}),
               {N, C, 4, 9}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 const At i{C, 2, 3}, o{C, 4, 9};
                 Tensor r(N * C * 36);
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < C; c++)
                     for (uint32_t y = 0; y < 4; y++)
                       for (uint32_t x = 0; x < 9; x++) r[o(n, c, y, x)] = in[0][i(n, c, y % 2, x % 3)];
                 return r;
               }});
  v.push_back({"full reduce: sum over w, dims kept", {s}, {},
               layer(DYNAMIC_LAYER_REDUCE_FULL, kFp32, Record(40).u16(0, 1).u16(2, 1).u32(4, 1).u8(8, 3),
                     {in_id(0), in_local(0), 9, kOutLocal}),
               {N, C, H, 1}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 Tensor r(N * C * H, 0.0f);
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < C; c++)
                     for (uint32_t y = 0; y < H; y++)
                       for (uint32_t x = 0; x < W; x++) r[(n * C + c) * H + y] += in[0][at(n, c, y, x)];
                 return r;
               }});
  v.push_back({"strided slice: rows from 1 by 2, columns by 2", {{N, C, 6, W}}, {},
               layer(DYNAMIC_LAYER_STRIDE_SLICE, kFp32,
                     Record(144).u32(16, 1).u32(40, N).u32(44, C).u32(48, 6).u32(52, W).u32(72, 1).u32(76, 1)
                         .u32(80, 2).u32(84, 2).u32(104, 4),
                     {in_id(0), in_local(0), 9, kOutLocal}),
               {N, C, 3, 3}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 const At i{C, 6, W}, o{C, 3, 3};
                 Tensor r(N * C * 9);
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < C; c++)
                     for (uint32_t y = 0; y < 3; y++)
                       for (uint32_t x = 0; x < 3; x++) r[o(n, c, y, x)] = in[0][i(n, c, 1 + 2 * y, 2 * x)];
                 return r;
               }});
  v.push_back({"activation: absolute value (no buffer word)", {s}, {},
               layer(DYNAMIC_LAYER_ACTIVE, kFp32, Record(28).u32(4, 8), {in_id(0) << 16 | 9, in_local(0), kOutLocal}),
               s, [](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 return map_each(in[0], [](float x) { return x < 0 ? -x : x; });
               }});
  v.push_back({"PReLU with one shared slope", {s}, {},
               layer(DYNAMIC_LAYER_PRELU, kFp32, Record(20).f32(4, 0.25f).u8(8, 1),
                     {in_id(0) << 16 | 9, in_local(0), kOutLocal, kBufLocal}),
               s, [](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 return map_each(in[0], [](float x) { return x > 0 ? x : 0.25f * x; });
               }});
  v.push_back({"eltwise: weighted sum of two inputs", {s, s}, {},
               layer(DYNAMIC_LAYER_ELTWISE, kFp32, Record(32).u8(4, 1).u8(5, 2),
                     {in_id(0), bits_of(2.0f), in_local(0), in_id(1), bits_of(0.5f), in_local(1), 9, kOutLocal}),
               s, [](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) r[i] = 2.0f * in[0][i] + 0.5f * in[1][i];
                 return r;
               }});
  v.push_back({"scale along c with a bias", {s}, {{0.5f, -2.0f, 4.0f}, {1.0f, 0.25f, -3.0f}},
               layer(DYNAMIC_LAYER_SCALE, kFp32, Record(32).u32(4, 1).u32(8, 4).u8(12, 1),
                     {in_id(0) << 16 | 9, in_local(0), coeff_local(0), coeff_local(1), kOutLocal}),
               s, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) {
                   const uint32_t c = uint32_t(i / (H * W)) % C;
                   r[i] = in[0][i] * k[0][c] + k[1][c];
                 }
                 return r;
               }});
  v.push_back({"batch normalisation with prepared addend and factor", {s}, {{1.0f, -0.5f, 2.0f}, {0.5f, 2.0f, -1.0f}},
               layer(DYNAMIC_LAYER_BATCHNORM, kFp32, Record(52),
                     {in_id(0) << 16 | 9, in_local(0), coeff_local(0), coeff_local(1), kOutLocal}),
               s, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) {
                   const uint32_t c = uint32_t(i / (H * W)) % C;
                   r[i] = (in[0][i] + k[0][c]) * k[1][c];
                 }
                 return r;
               }});
  v.push_back({"select between two constants", {s}, {},
               layer(DYNAMIC_LAYER_SELECT, kFp32, Record(24).f32(0, 1.0f).f32(4, -1.0f).u8(8, 1).u8(9, 1),
                     {in_id(0), in_local(0), 9, kOutLocal}),
               s, [](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 return map_each(in[0], [](float x) { return x != 0.0f ? 1.0f : -1.0f; });
               }});
  // Concatenation along c: the second input sits from the lane where its
  // first channel lands in the output.
  v.push_back({"concat along c", {{N, 2, H, W}, {N, 3, H, W}}, {},
               layer(DYNAMIC_LAYER_CONCAT, kFp32, Record(12).u32(0, 5).u32(4, H).u32(8, W),
                     {9u << 16 | 2, in_id(1) << 16 | in_id(0), in_local(0), in_local(1) | 2u << 19, kOutLocal}),
               {N, 5, H, W}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 const At a{2, H, W}, b{3, H, W}, o{5, H, W};
                 Tensor r(N * 5 * H * W);
                 for (uint32_t n = 0; n < N; n++)
                   for (uint32_t c = 0; c < 5; c++)
                     for (uint32_t y = 0; y < H; y++)
                       for (uint32_t x = 0; x < W; x++)
                         r[o(n, c, y, x)] = c < 2 ? in[0][a(n, c, y, x)] : in[1][b(n, c - 2, y, x)];
                 return r;
               },
               {0, 2}});
  // The reorg of the detection networks: the item read flat over the input's
  // extents and rewritten as c*s*s channels of h/s x w/s (the kernel's own
  // definition, as tests/ref has it).
  v.push_back({"reorg by 2 of 64 channels", {{1, 64, 8, 8}}, {},
               layer(DYNAMIC_LAYER_REORG, kFp32, Record(24).u32(0, 2), {in_id(0) << 16 | 9, in_local(0), kOutLocal, kBufLocal}),
               {1, 256, 4, 4}, [=](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                 ref::arrange::W4 item(1, 64, 8, 8);
                 std::memcpy(item.v.data(), in[0].data(), in[0].size() * 4);
                 const ref::arrange::W4 o = ref::arrange::flat_reorg(item, 2);
                 Tensor r(o.v.size());
                 std::memcpy(r.data(), o.v.data(), o.v.size() * 4);
                 return r;
               }});
  LayerCase to_int8{"float to signed 8-bit, rounding half away from zero", {{5, C, 2, 3}}, {},
                    layer(DYNAMIC_LAYER_DTYPE_CONVERT, kFp32, Record(16).u32(0, 0).u32(4, 2),
                          {in_id(0), in_local(0), 9, kOutLocal, kBufLocal}),
                    {5, C, 2, 3}, [](const std::vector<Tensor> &in, const std::vector<Tensor> &) {
                      return map_each(in[0], [](float x) {
                        const float r = x < 0 ? -std::floor(-x + 0.5f) : std::floor(x + 0.5f);
                        return r < -128 ? -128.0f : r > 127 ? 127.0f : r;
                      });
                    }};
  to_int8.int8_out = true;
  v.push_back(to_int8);
  return v;
}

TEST(FullnetApi, LocalLayersAgainstTheirReferences) {
  const std::vector<LayerCase> cases = layer_cases();
  for (const CardConfig &cfg : {kApiCards[0], kApiCards[3]}) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    for (const LayerCase &c : cases) {
      SCOPED_TRACE(card_config_name(cfg) + ": " + c.what);
      Group g;
      std::vector<uint32_t> ids;
      std::vector<Tensor> ins;
      RunMessage m;
      TimeStep loads;
      for (uint32_t i = 0; i < c.inputs.size(); i++) {
        ids.push_back(in_id(i));
        ins.push_back(ramp(count_of(c.inputs[i]), 0.25f, -3.0f - float(i)));
        card->write(kIn + 0x10000 * i, ins.back().data(), ins.back().size() * 4);
        m.inputs.push_back(IoInput{kIn + 0x10000 * i, 0, kFp32, c.inputs[i], 0});
        const uint32_t lane = i < c.lanes.size() ? c.lanes[i] : 0;
        if (lane == 0)
          loads.moves.push_back({0, move(LD_INPUT_NEURON, ld_input(in_local(i), in_id(i), kFp32))});
        else  // a net input loaded as an intermediate tensor, at its start lane
          loads.moves.push_back({0, move(LD_ITM_NEURON, ld_itm(0, in_local(i), in_id(i), lane, in_id(i), kFp32))});
      }
      for (uint32_t k = 0; k < c.coeffs.size(); k++) {
        card->write(kCoeff + 0x100 * k, c.coeffs[k].data(), c.coeffs[k].size() * 4);
        loads.moves.push_back({0, move(LD_COEFF, Record(28).u64(0, 0x100 * k).u32(8, coeff_local(k))
                                                     .u32(12, 1u << 16 | uint32_t(c.coeffs[k].size()))
                                                     .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2))});
      }
      g.inputs = ids;
      g.n_slice = c.inputs[0][0];
      const uint32_t out_size = c.int8_out ? 2 : kFp32;
      g.steps = {loads, {{{0, c.layer}}, {}}, {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kOutLocal, 9, out_size))}}}};
      const Words desc = description(ids, {9}, {g});
      card->write(kDesc, desc.raw().data(), desc.raw().size());
      m.description_addr = kDesc;
      m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
      m.outputs = {IoOutput{kOut, 0, 0}};
      m.return_shape = 1;
      use_card_areas(m);
      auto a = card->send(111, run_payload(m));
      ASSERT_TRUE(AnswerOk(*card, a));
      const Tensor want = c.ref(ins, c.coeffs);
      if (c.int8_out) {
        const std::vector<uint8_t> got = card->read(kOut, want.size());
        Tensor as_values(got.size());
        for (size_t i = 0; i < got.size(); i++) as_values[i] = float(int8_t(got[i]));
        EXPECT_EQ(as_values, want);
      } else {
        const Tensor got = as_floats(card->read(kOut, want.size() * 4));
        for (size_t i = 0; i < want.size(); i++)
          if (got[i] != want[i]) {
            ADD_FAILURE() << "first difference at element " << i << " of " << want.size() << ": " << got[i]
                          << ", want " << want[i];
            break;
          }
      }
      std::vector<uint32_t> shape_rec = {uint32_t(c.out_shape.size())};
      shape_rec.insert(shape_rec.end(), c.out_shape.begin(), c.out_shape.end());
      EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 4 * shape_rec.size())), shape_rec);
    }
  }
}

// ---- Bad descriptions ----

// The console since `from` shows the assertion in `function` with `condition`,
// after the log line `logged` when one is given.
::testing::AssertionResult failed_on(const std::string &console, size_t from, const std::string &function,
                                     const std::string &condition, const std::string &logged = "") {
  const std::string text = console.substr(from);
  const std::regex re("ASSERT(_FS)? firmware/[^:]*: " + function + ": [0-9]+: " +
                      std::regex_replace(condition, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") + "\n");
  std::smatch m;
  if (!std::regex_search(text, m, re))
    return ::testing::AssertionFailure() << "no assertion " << function << ": " << condition << " in:\n" << text;
  if (!logged.empty()) {
    const size_t at = text.find(logged);
    if (at == std::string::npos || at > size_t(m.position()))
      return ::testing::AssertionFailure() << "no log line \"" << logged << "\" before the assertion in:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

struct BadCase {
  const char *what;
  Words desc;
  const char *function, *condition, *logged;
};

std::vector<BadCase> bad_descriptions() {
  const Group good = const_binary_group(4, 3);
  std::vector<BadCase> cases;
  const Words whole = description({1}, {2}, {good});
  Words cut;
  cut.bytes(std::vector<uint8_t>(whole.raw().begin(), whole.raw().end() - 8));
  cases.push_back({"stream cut inside the last record", cut, "take_bytes", "bytes <= ctx->end - ctx->cur", ""});
  Words header_only;
  header_only.bytes(std::vector<uint8_t>(whole.raw().begin(), whole.raw().begin() + 20));
  cases.push_back({"stream cut inside the group header", header_only, "take_bytes", "bytes <= ctx->end - ctx->cur", ""});
  for (uint32_t type : {3u, 200u}) {
    Group g = good;
    g.steps[1].layers[0].words = layer(type, kFp32, Record(), std::vector<uint32_t>{});
    cases.push_back({type == 3 ? "local layer type without a local controller" : "local layer type out of range",
                     description({1}, {2}, {g}), "fw_local_only_layer_call", "0",
                     type == 3 ? "local layer_func for layer_type=3 should not be NULL!"
                               : "local layer_func for layer_type=200 should not be NULL!"});
  }
  for (uint32_t type : {4u, 5000u}) {
    Group g;
    g.global = true;
    g.inputs = {1};
    g.global_layer = layer(type, kFp32, Record(), std::vector<uint32_t>{});
    cases.push_back({type == 4 ? "global layer type without a controller" : "global layer type out of range",
                     description({1}, {2}, {g}), "fw_call_global_layer", "0",
                     type == 4 ? "global layer_func for layer_type=4 should not be NULL!"
                               : "global layer_func for layer_type=5000 should not be NULL!"});
  }
  for (uint32_t type : {12u, 99u}) {
    Group g = good;
    g.steps[2].moves[0].words = Words().word(type).word(0);
    cases.push_back({type == 12 ? "move type past the table" : "move type far out of range",
                     description({1}, {2}, {g}), "fw_tensor_gdma_call", "0",
                     type == 12 ? "Unknown gdma operation in dynamic compiler, 12." : "Unknown gdma operation in dynamic compiler, 99."});
  }
  {
    Group g = good;
    Record r = const_binary(1.5f, 2).u32(24, 0);  // 28 bytes: past the 24-byte record
    g.steps[1].layers[0].words = layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, r, {1, kLocalIn, 2, kLocalOut});
    cases.push_back({"layer record longer than its type's", description({1}, {2}, {g}), "dynamic_context_read_record",
                     "length <= size", ""});
    Group m = good;
    m.steps[2].moves[0].words = move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32).u32(24, 0));
    cases.push_back({"move record longer than its type's", description({1}, {2}, {m}), "dynamic_context_read_record",
                     "length <= size", ""});
  }
  {
    Group g = good;
    g.stage_num = 0;
    cases.push_back({"zero stages", description({1}, {2}, {g}), "fw_call_local_layer", "ctx->stage_num > 0", ""});
    Group n = good;
    n.n_slice = 0;
    cases.push_back({"zero items per slice", description({1}, {2}, {n}), "fw_call_local_layer", "ctx->n_slice > 0", ""});
    Group h = pool_group(true, 16);
    h.slices[0].stride = 0;
    cases.push_back({"h slices with stride 0", description({1}, {2}, {h}), "dynamic_group_geometry_of", "a > 0", ""});
    Group st = good;
    st.steps[0].moves[0].stage = 3;
    cases.push_back({"stage past the pipeline", description({1}, {2}, {st}), "read_stage",
                     "*stage < ctx->stage_num", ""});
  }
  {
    Group g = good;
    g.steps[2].moves[0].words = move(LD_INPUT_NEURON, ld_input(kLocalIn, 9, kFp32));
    cases.push_back({"load of an id that is no net input", description({1}, {2}, {g}), "dynamic_context_get_input_addr",
                     "0", "Cannot find the input tensor id 9"});
    Group i = good;
    i.inputs = {9};
    cases.push_back({"group input not in the tensor table", description({1}, {2}, {i}),
                     "tensor_find_info_named", "0", "dynamic_context_tensor_find_info: cannot find global info for tensor_id=9"});
    Group l = good;
    l.steps[1].layers[0].words = layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, const_binary(1.5f, 2), {7, kLocalIn, 2, kLocalOut});
    cases.push_back({"layer input never loaded", description({1}, {2}, {l}), "local_tensor_node_find", "0",
                     "cannot find local tensor node, tensor_id=7"});
  }
  {
    // Records whose values would index or copy out of bounds.
    Group r = good;
    r.steps[1].layers[0].words = layer(DYNAMIC_LAYER_REDUCE_FULL, kFp32, Record(40).u16(0, 1).u16(2, 1).u8(8, 5),
                                       {1, kLocalIn, 2, kLocalOut});
    cases.push_back({"reduce axis past the slice", description({1}, {2}, {r}), "dynamic_reduce_full_layer_ctrl",
                     "axis < 4", ""});
    Group e = good;
    e.steps[1].layers[0].words = layer(DYNAMIC_LAYER_ELTWISE, kFp32, Record(32).u8(4, 0).u8(5, 11), std::vector<uint32_t>{});
    cases.push_back({"eltwise of eleven inputs", description({1}, {2}, {e}), "dynamic_eltwise_layer_ctrl",
                     "k > 0 && k <= 10", ""});
    Group l = good;
    l.steps[2].moves.push_back({0, move(LD_G2L2, Record(24).u32(8, 0x3ff000).u32(12, 1).u8(16, 1).u32(20, 0x2000))});
    cases.push_back({"copy into L2 SRAM past its end", description({1}, {2}, {l}), "dynamic_load_g2l2_ctrl",
                     "l2_offset < L2_SRAM_SIZE && count <= L2_SRAM_SIZE - l2_offset", ""});
  }
  {
    // A stage word whose byte count disagrees with its item: the load's
    // (stage 0, 4 + 4 + 24 bytes; it runs in the first iteration) says 36.
    std::vector<uint32_t> words = description({1}, {2}, {good}).words();
    for (size_t i = 0; i + 2 < words.size(); i++)
      if (words[i] == 32u && words[i + 1] == LD_INPUT_NEURON && words[i + 2] == 24u) {
        words[i] = 36u;
        break;
      }
    Words bad;
    for (uint32_t x : words) bad.word(x);
    cases.push_back({"stage word byte count off by one word", bad, "check_framing",
                     "ctx->cur - item_start == skip_bytes", ""});
  }
  return cases;
}

TEST(FullnetApi, BadDescriptionsAnswer1009AndTheCardServesOn) {
  const std::vector<uint32_t> shape = {10, 3, 4, 5};
  const std::vector<float> in = ramp(10 * 3 * 4 * 5);
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = in[i] * 1.5f;
  for (uint64_t seed : {1ull, 3ull}) {
    auto card = deferred_card(Backend::Native, seed);
    card->write(kIn, in.data(), in.size() * 4);
    for (const BadCase &c : bad_descriptions()) {
      SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
      const size_t from = card->console().size();
      auto a = run(*card, c.desc, shape);
      ASSERT_TRUE(AnswerOk(*card, a, 1009u));
      EXPECT_TRUE(failed_on(card->console(), from, c.function, c.condition, c.logged));
    }
    auto good = run(*card, description({1}, {2}, {const_binary_group(4, 3)}), shape);
    ASSERT_TRUE(AnswerOk(*card, good));
    EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
  }
}

TEST(FullnetApi, BadMessagesAnswer1009) {
  const Words desc = description({1}, {2}, {const_binary_group(4, 3)});
  Card card;
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.inputs.push_back(IoInput{kIn, 0, kFp32, {10, 3, 4, 5}, 0});
  m.outputs.push_back(IoOutput{kOut, 0, 0});
  m.return_shape = 1;
  m.shape_addr = kShapes;
  struct Case {
    const char *what;
    std::vector<uint32_t> payload;
    const char *function, *condition;
  };
  std::vector<Case> cases;
  RunMessage big = m;
  big.description_words = 0x20001;
  cases.push_back({"description one word past 512 KB", run_payload(big), "zv_api_dynamic_fullnet",
                   "(u64)rec.compiled_ir_length * sizeof(u32) <= DYNAMIC_IR_MAX_BYTES"});
  big.description_words = 0x40000001;  // 4 bytes when multiplied in 32 bits
  cases.push_back({"description length wrapping in 32 bits", run_payload(big), "zv_api_dynamic_fullnet",
                   "(u64)rec.compiled_ir_length * sizeof(u32) <= DYNAMIC_IR_MAX_BYTES"});
  RunMessage dims = m;
  dims.inputs[0].shape.assign(9, 1);
  cases.push_back({"input of 9 dims", run_payload(dims), "zv_api_dynamic_fullnet", "in->dims <= DYNAMIC_MAX_DIMS"});
  std::vector<uint32_t> short_payload = run_payload(m);
  short_payload.resize(short_payload.size() - 3);
  cases.push_back({"payload ending inside the trailer", short_payload, "take", "bytes <= r->size - r->at"});
  std::vector<uint32_t> many_inputs = run_payload(m);
  many_inputs[3] = 1000;  // input count past what the payload holds
  cases.push_back({"input count past the payload", many_inputs, "require_entries",
                   "(u64)count * bytes <= r->size - r->at"});
  RunMessage outs = m;
  outs.outputs.assign(103, IoOutput{kOut, 0, 0});
  cases.push_back({"103 shape records past their 4 KB", run_payload(outs), "zv_api_dynamic_fullnet",
                   "output_num * sizeof(dynamic_output_shape_t) <= DYNAMIC_SHAPE_OUT_BYTES"});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t from = card.console().size();
    ASSERT_TRUE(AnswerOk(card, card.send(111, c.payload), 1009u));
    EXPECT_TRUE(failed_on(card.console(), from, c.function, c.condition));
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(FullnetApi, HundredsOfFailedRunsLeaveTheHeapForAGoodOne) {
  // Each failed run has taken its context, tables, slot array and slice lists
  // from the 64 KB heap when it fails in the last group's store.
  const std::vector<uint32_t> shape = {10, 3, 4, 5};
  const std::vector<float> in = ramp(10 * 3 * 4 * 5);
  Group late = const_binary_group(4, 3);
  late.steps[0].moves[0].words = move(ST_OUTPUT_NEURON, st_output(kLocalOut, 5, kFp32));
  Group first = const_binary_group(10, 1);
  first.new_keys = {key(7, 1)};
  const Words bad = description({1}, {2}, {first, late});
  Card card;
  card.write(kIn, in.data(), in.size() * 4);
  for (int i = 0; i < 300; i++) {
    auto a = run(card, bad, shape);
    ASSERT_TRUE(AnswerOk(card, a, 1009u));
  }
  auto good = run(card, description({1}, {2}, {const_binary_group(4, 3)}), shape);
  ASSERT_TRUE(AnswerOk(card, good));
  std::vector<float> want(in.size());
  for (size_t i = 0; i < in.size(); i++) want[i] = in[i] * 1.5f;
  EXPECT_EQ(get<float>(card, kOut, want.size()), want);
}


// ---- API 110: replay of host-compiled command buffers ----

constexpr uint64_t kHostIn = 0x107000000ull, kHostOut = 0x107100000ull;
constexpr uint64_t kNetIn = 0x108000000ull, kNetMid = 0x108100000ull, kNetOut = 0x108200000ull;
constexpr uint64_t kBdBuf = 0x109000000ull, kGdmaBuf = 0x109100000ull;

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// One group of a compiled network, issued as a layer would issue it: load,
// result = input op constant on the tensor engine, store.
void const_op_group(uint64_t src, uint64_t dst, float constant, int op, cmd_id_node_t *node) {
  const dim4_t shape = {1, 2, 4, 8};
  tensor_align_move_gen_cmd(0, 0, src, 1, 2, 4, 8, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  nodechip_const_binary_local(0, &shape, bits_of(constant), 0x10000, op, 0, 0, 0, node);
  tensor_align_move_gen_cmd(0x10000, 0, dst, 1, 2, 4, 8, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

// The buffer image of the descriptors an engine took: 128 bytes each.
std::vector<uint32_t> buffer_of(const std::deque<chip::CommandRecord> &log) {
  std::vector<uint32_t> words;
  for (const chip::CommandRecord &r : log) {
    std::vector<uint32_t> d = r.descriptor.words();
    d.resize(32, 0);
    words.insert(words.end(), d.begin(), d.end());
  }
  return words;
}

TEST(MultiFullnetApi, ReplaysBuffersAsTheCommandsIssuedDirectly) {
  const std::vector<float> in = ramp(64);
  // Issued directly, group by group (each from a restart, as a host compiler
  // numbers them); the rig ends before the cards start.
  std::vector<float> want(64);
  std::vector<uint32_t> bd, gdma;
  {
    FirmwareRig direct;
    direct.chip().device_memory().store(kNetIn, in.data(), in.size() * 4);
    ASSERT_TRUE(ran_clean(direct.run_layer([](cmd_id_node_t *n) { const_op_group(kNetIn, kNetMid, 1.5f, 2, n); })));
    ASSERT_TRUE(ran_clean(direct.run_layer([](cmd_id_node_t *n) { const_op_group(kNetMid, kNetOut, -4.0f, 0, n); })));
    direct.chip().device_memory().load(kNetOut, want.data(), want.size() * 4);
    bd = buffer_of(direct.chip().engines.bd.commands());
    gdma = buffer_of(direct.chip().engines.gdma.commands());
  }
  ASSERT_EQ(want[5], in[5] * 1.5f - 4.0f);
  const uint32_t bd_per_group = uint32_t(bd.size() / 32 / 2), gdma_per_group = uint32_t(gdma.size() / 32 / 2);
  ASSERT_EQ(bd_per_group * 2 * 32, bd.size());
  ASSERT_EQ(gdma_per_group * 2 * 32, gdma.size());

  net::ReplayMessage m;
  m.inputs = {{kHostIn, kNetIn, 1, 64, 0, 0, 0}};
  m.outputs = {{kHostOut, kNetOut, 1, 64, 0, 0, 0}};
  m.bd_buffer = kBdBuf;
  m.gdma_buffer = kGdmaBuf;
  m.groups = {{bd_per_group, gdma_per_group}, {bd_per_group, gdma_per_group}};
  for_each_api_card([&](host::Card &card) {
    card.write(kHostIn, in.data(), in.size() * 4);
    card.write(kBdBuf, bd.data(), bd.size() * 4);
    card.write(kGdmaBuf, gdma.data(), gdma.size() * 4);
    ASSERT_TRUE(AnswerOk(card, card.send(110, replay_payload(m))));
    EXPECT_EQ(as_floats(card.read(kHostOut, 256)), want);
    EXPECT_EQ(card.chip().engines.bd.commands().size(), 2u * bd_per_group);
    EXPECT_EQ(card.chip().engines.gdma.commands().size(), 2u * gdma_per_group + 2) << "two copies and the buffers";
  });
}

TEST(MultiFullnetApi, StoreModeConversionsAroundTheRun) {
  // 8-bit data: a 1N host input becomes 4N on the network side; with no group,
  // the network's 4N data goes back to 1N, and a 1N network tensor to 4N.
  const uint32_t N = 5, L = 6;
  std::vector<uint8_t> in(N * L);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 7 + 1);
  net::ReplayMessage m;
  m.inputs = {{kHostIn, kNetIn, N, L, 2, 2, 0}};
  m.outputs = {{kHostOut, kNetIn, N, L, 3, 2, 0}, {kHostOut + 0x1000, kHostIn, N, L, 2, 0, 2}};
  m.bd_buffer = kBdBuf;
  m.gdma_buffer = kGdmaBuf;
  auto card = deferred_card(Backend::Native, 5);
  card->write(kHostIn, in.data(), in.size());
  auto a = card->send(110, replay_payload(m));
  ASSERT_TRUE(AnswerOk(*card, a));
  EXPECT_EQ(card->read(kHostOut, in.size()), in);
  // 4N: word e of item group g holds items 4g..4g+3 of element e, byte by byte.
  const std::vector<uint8_t> packed = card->read(kHostOut + 0x1000, 2 * L * 4);
  for (uint32_t g = 0; g < 2; g++)
    for (uint32_t e = 0; e < L; e++)
      for (uint32_t j = 0; j < 4 && 4 * g + j < N; j++)
        EXPECT_EQ(packed[(g * L + e) * 4 + j], in[(4 * g + j) * L + e]) << g << " " << e << " " << j;
}

TEST(MultiFullnetApi, BadBuffersAndCountsAnswer1009) {
  Card card;
  struct Case {
    const char *what;
    net::ReplayMessage m;
    const char *function, *condition;
  };
  std::vector<Case> cases;
  net::ReplayMessage aligned;
  aligned.bd_buffer = kBdBuf + 0x40, aligned.gdma_buffer = kGdmaBuf, aligned.groups = {{1, 0}};
  cases.push_back({"tensor-engine buffer not 128-byte aligned", aligned, "nodechip_multi_fullnet",
                   "(bdc_cmd_offset & 0x7f) == 0x0"});
  net::ReplayMessage galigned;
  galigned.bd_buffer = kBdBuf + 0x40, galigned.gdma_buffer = kGdmaBuf + 4, galigned.groups = {{0, 1}};
  cases.push_back({"GDMA buffer not 128-byte aligned", galigned, "nodechip_multi_fullnet",
                   "(gdma_cmd_offset & 0x7f) == 0x0"});
  net::ReplayMessage many;
  many.bd_buffer = kBdBuf, many.gdma_buffer = kGdmaBuf, many.groups = {{65536, 0}};
  cases.push_back({"a count past the 16-bit ids", many, "zv_api_multi_fullnet", "bd < 65536 && gdma < 65536"});
  net::ReplayMessage type;
  type.inputs = {{kHostIn, kNetIn, 1, 4, 9, 0, 0}};
  cases.push_back({"input of an unknown data type", type, "input_format", "0"});
  net::ReplayMessage mode;
  mode.inputs = {{kHostIn, kNetIn, 1, 4, 0, 1, 0}};
  cases.push_back({"network-side 2N input", mode, "zv_api_multi_fullnet", "st_mode != 1"});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t from = card.console().size();
    ASSERT_TRUE(AnswerOk(card, card.send(110, replay_payload(c.m)), 1009u));
    EXPECT_TRUE(failed_on(card.console(), from, c.function, c.condition));
  }
  // A payload whose group count runs past it.
  std::vector<uint32_t> p = replay_payload(net::ReplayMessage{{}, {}, kBdBuf, kGdmaBuf, {{0, 0}}});
  p.back() = 0, p[p.size() - 3] = 1000;
  const size_t from = card.console().size();
  ASSERT_TRUE(AnswerOk(card, card.send(110, p), 1009u));
  EXPECT_TRUE(failed_on(card.console(), from, "require_entries", "(u64)count * bytes <= r->size - r->at"));
  // Both counts 0: nothing reaches the engines.
  const size_t before = card.chip().engines.bd.commands().size() + card.chip().engines.gdma.commands().size();
  ASSERT_TRUE(AnswerOk(card, card.send(110, replay_payload(net::ReplayMessage{{}, {}, kBdBuf, kGdmaBuf, {{0, 0}}}))));
  EXPECT_EQ(card.chip().engines.bd.commands().size() + card.chip().engines.gdma.commands().size(), before);
}

}  // namespace
}  // namespace zv::test
