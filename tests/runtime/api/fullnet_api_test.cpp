// API 111 (run of a compiled network) end to end: descriptions written by the
// test-side writer from the documented layout, run through the host driver on
// the deferred schedules with the race checker and on the ARM image, against
// references computed on the host; and the answers to bad descriptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "card.h"
#include "fw_test.h"
#include "interp/context.h"
#include "interp/fullnet.h"
#include "net_writer.h"
#include "ref/conv_ref.h"

namespace zv::test {
namespace {

using host::Card;
using namespace net;

constexpr uint64_t kDesc = 0x100000000ull;
constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kOut = 0x102000000ull;
constexpr uint64_t kShapes = 0x103000000ull;
constexpr uint64_t kNeuron = 0x104000000ull;
constexpr uint64_t kCoeff = 0x105000000ull;
constexpr uint64_t kBoundary = 0x10000000ull;

constexpr uint32_t kFp32 = 0;
constexpr uint32_t kLocalIn = 0, kLocalOut = 0x20000;

// Sends the description with one float input and one output.
std::optional<host::Answer> run(Card &card, const Words &desc, const std::vector<uint32_t> &in_shape,
                                uint32_t return_shape = 1, uint64_t out_addr = kOut) {
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t(desc.size_bytes() / 4);
  m.inputs.push_back(IoInput{kIn, 0, kFp32, in_shape, 0});
  m.outputs.push_back(IoOutput{out_addr, 0, 0});
  m.return_shape = return_shape;
  m.shape_addr = kShapes;
  m.addr_boundary = kBoundary;
  m.neuron_base = kNeuron;
  m.coeff_base = kCoeff;
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
  for (const CardConfig &cfg : kApiCards) {
    SCOPED_TRACE(card_config_name(cfg));
    auto card = deferred_card(cfg.backend, cfg.seed);
    card->write(kIn, in.data(), in.size() * 4);
    auto a = run(*card, desc, shape);
    ASSERT_TRUE(a) << card->trouble();
    ASSERT_EQ(a->result, 0u) << card->console();
    EXPECT_TRUE(no_findings(card->chip()));
    EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
    // The returned shape record: dims, the four extents, untouched words 0, elem_num.
    const std::vector<uint32_t> rec = values_of<uint32_t>(card->read(kShapes, 40));
    EXPECT_EQ(rec, (std::vector<uint32_t>{4, 10, 3, 4, 5, 0, 0, 0, 0, 0}));
  }
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
    ASSERT_TRUE(a) << card->trouble();
    ASSERT_EQ(a->result, 0u) << card->console();
    EXPECT_TRUE(no_findings(card->chip()));
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

TEST(FullnetApi, PoolingCutAlongHEqualsTheWholeHeight) {
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
  for (const CardConfig &cfg : kApiCards) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    for (bool h_split : {true, false}) {
      SCOPED_TRACE(card_config_name(cfg) + (h_split ? ", cut along h" : ", whole height"));
      card->write(kIn, in.data(), in.size() * 4);
      std::vector<float> zeros(want.size(), 0.0f);
      card->write(kOut, zeros.data(), zeros.size() * 4);
      auto a = run(*card, description({1}, {2}, {pool_group(h_split, H)}), shape);
      ASSERT_TRUE(a) << card->trouble();
      ASSERT_EQ(a->result, 0u) << card->console();
      EXPECT_TRUE(no_findings(card->chip()));
      EXPECT_EQ(as_floats(card->read(kOut, want.size() * 4)), want);
      EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 20)), (std::vector<uint32_t>{4, 2, 3, 16, 8}));
    }
  }
}

}  // namespace
}  // namespace zv::test
