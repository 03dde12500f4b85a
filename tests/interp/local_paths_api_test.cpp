// The tensor moves and local layers of a local group that the other API 111
// suites leave out, each run through API 111 on the three deferred seeds
// with the race checker and on the ARM image, against tests/ref/.
//
// Every move type and local layer type beside the test that runs it through
// API 111 (F: tests/runtime/api/fullnet_api_test.cpp; L: this file):
//
//   move                      test
//   0  LD_INPUT_NEURON        F every local group
//   1  ST_OUTPUT_NEURON       F every local group
//   2  LD_ITM_NEURON          F GlobalGroupsFeedALocalGroupThroughIntermediateTensors
//   3  ST_ITM_NEURON          F TwoLocalGroupsThroughAnIntermediateTensor, EightBitSlicesLoadPacked...
//   4  LD_COEFF               F ConvolutionCutAlongH..., LocalLayersAgainstTheirReferences (scale)
//   5  LD_COEFF_NEURON        L CoefficientNeuronLoadsFloatAndPackedBytes
//   6  LD_COEFF_WINOGRAD      L WinogradCoefficientLoadFeedsTheEightBitConvolution, RecordChecksAnswer1009
//   7  MV_ITM_NEURON          F GlobalMovesOfALocalGroup
//   8  MV_OUTPUT_NEURON       F GlobalMovesOfALocalGroup
//   9  MV_ITM_EXTEND_NEURON   F GlobalMovesOfALocalGroup
//   10 ST_ITM_EXTEND_NEURON   L ExtendStoreIntoAChannelWindow
//   11 LD_G2L2                F GlobalMovesOfALocalGroup; L LocalLayers... (lut table)
//
//   local layer               test
//   0  conv                   F ConvolutionCutAlongHEqualsTheWholeHeightAndTheGlobalLayer
//   1  pooling                F PoolingCutAlongHEqualsTheWholeHeightAndTheGlobalLayer
//   2  lrn                    L LocalLayersAgainstTheirReferences (float, 8-bit both modes)
//   7  concat                 F LocalLayersAgainstTheirReferences
//   8  batchnorm              F LocalLayersAgainstTheirReferences
//   9  scale                  F LocalLayersAgainstTheirReferences
//   10 eltwise                F LocalLayersAgainstTheirReferences
//   11 prelu                  F LocalLayersAgainstTheirReferences
//   14 normalize              L LocalLayersAgainstTheirReferences (float, 8-bit)
//   15 reorg                  F LocalLayersAgainstTheirReferences
//   22 deconv                 L LocalLayersAgainstTheirReferences (float, 8-bit)
//   24 mulshift               L LocalLayersAgainstTheirReferences (8-bit), RecordChecksAnswer1009
//   26 pad                    F LocalLayersAgainstTheirReferences
//   28 tile                   F LocalLayersAgainstTheirReferences
//   29 select                 F LocalLayersAgainstTheirReferences
//   31 broadcast_binary       F LocalLayersAgainstTheirReferences
//   32 const_binary           F LocalGroupPipelinesBatchSlicesThroughThreeStages
//   33 eltwise_binary         F TwoLocalGroupsThroughAnIntermediateTensor
//   34 biasadd                F TwoLocalGroupsThroughAnIntermediateTensor
//   35 active                 F LocalLayersAgainstTheirReferences
//   50 reduce_full            F LocalLayersAgainstTheirReferences
//   51 stride_slice           F LocalLayersAgainstTheirReferences
//   66 upsample               F TwoLocalGroupsThroughAnIntermediateTensor
//   74 dtype_convert          F LocalLayersAgainstTheirReferences
//   106 lut                   L LocalLayersAgainstTheirReferences (8-bit indices)
//   108 arith_shift           L LocalLayersAgainstTheirReferences (constant, per-channel, per-element), RecordChecksAnswer1009
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer.h"
#include "ref/conv_ref.h"
#include "ref/deconv_ref.h"
#include "ref/fix8b_ref.h"
#include "ref/norm_ref.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using host::Card;
using namespace net;
using namespace net::card_areas;
using Bytes = std::vector<uint8_t>;
using ref::conv::T4;
namespace fr = ref::fix8b;

constexpr uint32_t kFp32 = 0, kInt8 = 2;
// Local addresses (lane 0 and up): inputs, a second input, coefficients,
// the output and a buffer.
constexpr uint32_t kLocalIn = 0, kLocalIn2 = 0x10000, kLocalCoeff = 0x30000, kLocalOut = 0x40000,
                   kLocalBuf = 0x50000;
constexpr uint32_t kOutId = 9;
constexpr uint32_t kLutL2 = 0x200000;  // the lookup table's L2 SRAM offset

// A net input: its id, shape, data size and 1N bytes.
struct NetInput {
  uint32_t id;
  std::vector<uint32_t> shape;
  uint32_t dsize;
  Bytes bytes;
};

enum class Compare { Exact, FloatNear, ByteWithinOne };

struct NetCase {
  std::string what;
  std::vector<NetInput> inputs;
  Bytes coeff;  // at the coefficient base
  Group group;  // one local group writing net output kOutId
  Bytes want;   // the output bytes (floats, or 1N bytes); 0xee where nothing is written
  Compare compare;
  std::vector<uint32_t> out_shape;
  double tol = 0;  // relative, for FloatNear
};

template <class T>
Bytes bytes_of(const std::vector<T> &v) {
  Bytes b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}
Bytes floats_of(const T4 &t) {
  std::vector<float> f(t.v.begin(), t.v.end());
  return bytes_of(f);
}
T4 tensor_of(const std::vector<float> &f, int n, int c, int h, int w) {
  T4 t(n, c, h, w);
  for (size_t i = 0; i < f.size(); i++) t.v[i] = f[i];
  return t;
}
// Values on a grid of quarters, spread over [lo, lo + 15).
std::vector<float> ramp(size_t count, float lo, unsigned seed = 0) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; i++) v[i] = lo + 0.25f * float((i * 7 + seed * 13) % 61);
  return v;
}
Bytes byte_ramp(size_t count, unsigned mul = 37, unsigned add = 11) {
  Bytes b(count);
  for (size_t i = 0; i < count; i++) b[i] = uint8_t(i * mul + add);
  return b;
}
size_t count_of(const std::vector<uint32_t> &s) {
  size_t n = 1;
  for (uint32_t d : s) n *= d;
  return n;
}

T4 bytes_as(const Bytes &b, int n, int c, int h, int w, bool is_signed) {
  T4 t(n, c, h, w);
  for (size_t i = 0; i < b.size(); i++) t.v[i] = double(fr::value8(b[i], is_signed));
  return t;
}
Bytes bytes_from(const T4 &t) {
  Bytes b(t.v.size());
  for (size_t i = 0; i < b.size(); i++) b[i] = fr::byte_of(fr::i64(t.v[i]));
  return b;
}

// A local group over the whole batch in one slot: loads, the layer, the store.
Group one_layer_group(const std::vector<uint32_t> &inputs, uint32_t n, const std::vector<Item> &loads, const Words &layer_words,
                      uint32_t out_dsize) {
  Group g;
  g.inputs = inputs;
  g.n_slice = n;
  g.steps = {{{}, loads}, {{{0, layer_words}}, {}}, {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalOut, kOutId, out_dsize))}}}};
  return g;
}

std::optional<host::Answer> send_case(Card &card, const NetCase &c) {
  RunMessage m;
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < c.inputs.size(); i++) {
    const NetInput &in = c.inputs[i];
    const uint64_t addr = kIn + 0x100000 * i;
    card.write(addr, in.bytes.data(), in.bytes.size());
    m.inputs.push_back(IoInput{addr, in.dsize == kInt8 ? addr + 0x80000 : 0, in.dsize, in.shape, 0});
    m.has_4n_addr = m.has_4n_addr || in.dsize == kInt8;
    ids.push_back(in.id);
  }
  if (!c.coeff.empty()) card.write(kCoeff, c.coeff.data(), c.coeff.size());
  const Words desc = description(ids, {kOutId}, {c.group});
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  m.outputs = {IoOutput{kOut, 0, 0}};
  m.return_shape = 1;
  use_card_areas(m);
  const Bytes canary(c.want.size() + 16, 0xee);
  card.write(kOut, canary.data(), canary.size());
  return card.send(111, run_payload(m));
}

void expect_output(Card &card, const NetCase &c) {
  const Bytes got = card.read(kOut, c.want.size());
  size_t bad = 0;
  if (c.compare == Compare::FloatNear) {
    const std::vector<float> g = values_of<float>(got), w = values_of<float>(c.want);
    for (size_t i = 0; i < w.size(); i++)
      if (!(std::fabs(g[i] - w[i]) <= c.tol * std::max(1.0f, std::fabs(w[i]))) && bad++ < 5)
        ADD_FAILURE() << "element " << i << ": " << g[i] << ", want " << w[i];
  } else {
    for (size_t i = 0; i < c.want.size(); i++) {
      const int diff = int(int8_t(got[i])) - int(int8_t(c.want[i]));
      const bool ok = c.compare == Compare::Exact ? got[i] == c.want[i]
                                                   : std::abs(diff) <= 1 || std::abs(int(got[i]) - int(c.want[i])) <= 1;
      if (!ok && bad++ < 5) ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << ", want " << int(c.want[i]);
    }
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(card.read(kOut + c.want.size(), 16), Bytes(16, 0xee)) << "written past the output";
  std::vector<uint32_t> shape_rec = {uint32_t(c.out_shape.size())};
  shape_rec.insert(shape_rec.end(), c.out_shape.begin(), c.out_shape.end());
  EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 4 * shape_rec.size())), shape_rec);
}

void run_cases(const std::vector<NetCase> &cases) {
  for_each_api_card([&](host::Card &card) {
    for (const NetCase &c : cases) {
      SCOPED_TRACE(c.what);
      auto a = send_case(card, c);
      ASSERT_TRUE(AnswerOk(card, a));
      expect_output(card, c);
    }
  });
}

// ---- Moves ----

// The coefficient-neuron load record: a tensor of the coefficient region
// read whole-height into local memory and registered as `id`.
Record ld_coeff_neuron(uint64_t offset, uint32_t local, uint32_t C, uint32_t H, uint32_t W, uint32_t dsize,
                       uint32_t register_n, uint32_t id, uint8_t once = 0, uint8_t single_batch = 0) {
  return Record(40).u64(0, offset).u32(8, local).u32(12, C << 16 | W).u32(16, 0).u32(20, H << 16 | H)
      .u8(24, once).u8(25, single_batch).u32(28, dsize).u32(32, register_n).u32(36, id);
}

// The extend store record: 32-bit channel fields.
Record st_extend(uint64_t offset, uint32_t local, uint32_t id, uint32_t dst_channels, uint32_t channel_offset,
                 uint32_t container, uint32_t dsize) {
  return Record(40).u64(0, offset).u32(8, local).u32(16, id).u32(20, dst_channels).u32(24, channel_offset)
      .u32(28, container).u32(32, dsize);
}

// Item n of an N x C x HW tensor widened into channels [off, off + C) of
// dst channels, the other channels left as `untouched`.
template <class T>
std::vector<T> in_channel_window(const std::vector<T> &in, uint32_t N, uint32_t C, uint32_t HW, uint32_t dst,
                                 uint32_t off, T untouched) {
  std::vector<T> out(size_t(N) * dst * HW, untouched);
  for (uint32_t n = 0; n < N; n++)
    for (uint32_t c = 0; c < C; c++)
      for (uint32_t i = 0; i < HW; i++) out[(size_t(n) * dst + off + c) * HW + i] = in[(size_t(n) * C + c) * HW + i];
  return out;
}

TEST(LocalPathsApi, CoefficientNeuronLoadsFloatAndPackedBytes) {
  // A tensor of the coefficient region loaded as a neuron slice and stored
  // into the net output: float in two slots of two items, and 8-bit bytes
  // packed four to a word (five items: a group of four and one of one). The
  // net input, a group input never loaded, gives the run its batch.
  std::vector<NetCase> cases;
  const uint32_t C = 3, H = 4, W = 8;  // planes of 32 elements: the local layouts agree
  {
    const uint32_t N = 4;
    const std::vector<float> v = ramp(N * C * H * W, -6.0f);
    NetCase c{"float, two slots", {{1, {N, 1, 1, 1}, kFp32, Bytes(N * 4, 0)}}, bytes_of(v), {}, bytes_of(v),
              Compare::Exact, {N, C, H, W}};
    c.group.inputs = {1};  // the batch of the run
    c.group.n_slice = 2;
    c.group.steps = {{{}, {{0, move(LD_COEFF_NEURON, ld_coeff_neuron(0, kLocalIn, C, H, W, kFp32, N, kOutId))}}},
                     {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalIn, kOutId, kFp32))}}}};
    cases.push_back(c);
  }
  {
    const uint32_t N = 5;
    const Bytes v = byte_ramp(N * C * H * W);
    NetCase c{"8-bit, five items: four packed and one", {{1, {N, 1, 1, 1}, kFp32, Bytes(N * 4, 0)}}, v, {}, v,
              Compare::Exact, {N, C, H, W}};
    c.group.inputs = {1};  // the batch of the run
    c.group.n_slice = N;
    c.group.steps = {{{}, {{0, move(LD_COEFF_NEURON, ld_coeff_neuron(0, kLocalIn, C, H, W, kInt8, N, kOutId))}}},
                     {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalIn, kOutId, kInt8))}}}};
    cases.push_back(c);
  }
  {
    // Item 0 alone for every slot (the single-batch flag): each slot stores
    // item 0 at its own position.
    const uint32_t N = 3;
    const std::vector<float> v = ramp(N * C * H * W, -2.0f, 5);
    std::vector<float> want;
    for (uint32_t n = 0; n < N; n++) want.insert(want.end(), v.begin(), v.begin() + C * H * W);
    NetCase c{"float, item 0 for each slot", {{1, {N, 1, 1, 1}, kFp32, Bytes(N * 4, 0)}}, bytes_of(v), {},
              bytes_of(want), Compare::Exact, {N, C, H, W}};
    c.group.inputs = {1};  // the batch of the run
    c.group.n_slice = 1;
    c.group.steps = {{{}, {{0, move(LD_COEFF_NEURON, ld_coeff_neuron(0, kLocalIn, C, H, W, kFp32, 1, kOutId, 0, 1))}}},
                     {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalIn, kOutId, kFp32))}}}};
    cases.push_back(c);
  }
  run_cases(cases);
}

TEST(LocalPathsApi, ExtendStoreIntoAChannelWindow) {
  // Net input 1 stored by the extend move into channels [2, 2 + C) of the
  // net output (the container, 32-bit channel fields): float in two slots,
  // 8-bit bytes unpacked from the 4N words.
  const uint32_t C = 3, H = 2, W = 5, HW = H * W, dst = C + 4, off = 2;
  std::vector<NetCase> cases;
  {
    const uint32_t N = 4;
    const std::vector<float> v = ramp(N * C * HW, -3.0f);
    float canary;
    std::memset(&canary, 0xee, 4);
    NetCase c{"float", {{1, {N, C, H, W}, kFp32, bytes_of(v)}}, {}, {},
              bytes_of(in_channel_window(v, N, C, HW, dst, off, canary)), Compare::Exact, {N, dst, H, W}};
    c.group.inputs = {1};
    c.group.n_slice = 2;
    c.group.steps = {{{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))}}},
                     {{}, {{0, move(ST_ITM_EXTEND_NEURON, st_extend(0, kLocalIn, 1, dst, off, kOutId, kFp32))}}}};
    cases.push_back(c);
  }
  {
    const uint32_t N = 5;
    const Bytes v = byte_ramp(N * C * HW);
    NetCase c{"8-bit", {{1, {N, C, H, W}, kInt8, v}}, {}, {}, in_channel_window<uint8_t>(v, N, C, HW, dst, off, 0xee),
              Compare::Exact, {N, dst, H, W}};
    c.group.inputs = {1};
    c.group.n_slice = N;
    c.group.steps = {{{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kInt8))}}},
                     {{}, {{0, move(ST_ITM_EXTEND_NEURON, st_extend(0, kLocalIn, 1, dst, off, kOutId, kInt8))}}}};
    cases.push_back(c);
  }
  run_cases(cases);
}

// The Winograd coefficient load record.
Record ld_winograd(uint32_t local, uint32_t n, uint32_t C, uint32_t H, uint32_t W, uint8_t winograd_coeff,
                   uint8_t groups, uint32_t dsize) {
  return Record(32).u64(0, 0).u32(8, local).u32(12, n << 16 | C).u32(16, H << 24 | W).u8(20, 0)
      .u8(21, winograd_coeff).u8(22, groups).u32(24, dsize);
}

TEST(LocalPathsApi, WinogradCoefficientLoadFeedsTheEightBitConvolution) {
  // Transformed 3x3 weights (16 bytes per group of four input channels, the
  // four channels innermost) loaded by the Winograd move, one lane per output
  // channel, and 16-bit biases by a coefficient load, into the 8-bit
  // Winograd convolution (padding 1, signed data, shift 4). Weights are
  // multiples of 4, so the transformed ones are integers.
  const int N = 5, IC = 3, OC = 2, H = 6, W = 6, shift = 4;
  const std::vector<uint32_t> s = {uint32_t(N), IC, H, W};
  Bytes q(count_of(s));
  for (size_t i = 0; i < q.size(); i++) q[i] = uint8_t(int8_t(int(i * 37 % 121) - 60));
  const T4 in = bytes_as(q, N, IC, H, W, true);
  T4 g(OC, IC, 3, 3);
  for (size_t i = 0; i < g.v.size(); i++) g.v[i] = 4.0 * double(int(i * 5 % 3) - 1);
  const std::vector<double> bias = {300.0, -451.0};
  const uint32_t per_lane = (IC + 3) / 4 * 64;
  Bytes coeff(0x1000 + 2 * OC, 0);
  for (int o = 0; o < OC; o++) {
    for (int i = 0; i < IC; i++) {
      double gk[3][3];
      for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) gk[r][c] = g.at(o, i, r, c);
      const std::vector<double> u = ref::conv::winograd_weights(gk);
      for (int j = 0; j < 16; j++) coeff[o * per_lane + ((i / 4) * 16 + j) * 4 + i % 4] = uint8_t(int8_t(u[j]));
    }
    const int16_t b = int16_t(bias[o]);
    std::memcpy(&coeff[0x1000 + 2 * o], &b, 2);
  }
  ref::conv::Window p;
  p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  T4 want = ref::conv::convolution(in, g, bias, 1, p);
  for (auto &v : want.v) v = double(ref::conv::finish(int64_t(v), shift, false, 8, true));
  const Record conv = Record(100).u16(0, OC).u16(2, IC).u32(8, 1).u16(12, 3).u16(14, 3).u8(16, 1).u8(17, 1)
                          .u8(18, 1).u8(19, 1).u8(20, 1).u8(21, 1).u8(22, 1).u8(23, 1).u8(24, 1).u8(32, 1)
                          .u32(40, kOutId).u8(44, shift).u8(45, 1).u8(46, 1).u8(47, 1);
  const std::vector<Item> l = {
      {0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kInt8))},
      {0, move(LD_COEFF_WINOGRAD, ld_winograd(kLocalCoeff, 1, OC, 1, per_lane, 1, 1, kInt8))},
      {0, move(LD_COEFF, Record(28).u64(0, 0x1000).u32(8, kLocalCoeff + 0x1000).u32(12, 1u << 16 | OC)
                             .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2).u32(24, 1))}};
  run_cases({{"8-bit Winograd 3x3, padding 1",
              {{1, s, kInt8, q}},
              coeff,
              one_layer_group({1}, N, l,
                              layer(DYNAMIC_LAYER_CONV, kInt8, conv,
                                    {1u << 16 | kOutId, kLocalIn, kLocalCoeff, kLocalCoeff + 0x1000, kLocalOut}),
                              kInt8),
              bytes_from(want),
              Compare::Exact,
              {uint32_t(N), OC, H, W}}});
}

// ---- Local layers ----

// Loads of net inputs 1 (and 3) at kLocalIn (kLocalIn2), per-channel float
// coefficients at kLocalCoeff + 0x1000 k.
std::vector<Item> loads(uint32_t dsize, bool second = false, std::vector<size_t> coeff_channels = {}) {
  std::vector<Item> l = {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, dsize))}};
  if (second) l.push_back({0, move(LD_INPUT_NEURON, ld_input(kLocalIn2, 3, dsize))});
  for (size_t k = 0; k < coeff_channels.size(); k++)
    l.push_back({0, move(LD_COEFF, Record(28).u64(0, 0x1000 * k).u32(8, kLocalCoeff + 0x1000 * uint32_t(k))
                                       .u32(12, 1u << 16 | uint32_t(coeff_channels[k])).u32(16, 1u << 16 | 1)
                                       .u8(20, 1).u8(21, 2))});
  return l;
}


NetCase lrn_case(bool fix8b, uint8_t mode) {
  const int N = fix8b ? 5 : 2, C = 6, H = 2, W = 3;
  const float alpha = 0.25f, beta = 0.75f, k = 1.0f, in_scale = 0.125f, out_scale = 16.0f;
  const int size = 3;
  const Record rec = Record(28).f32(4, alpha).f32(8, beta).f32(12, k).u8(16, size).u8(17, mode).f32(20, in_scale)
                         .f32(24, out_scale);
  const Words l = layer(DYNAMIC_LAYER_LRN, fix8b ? kInt8 : kFp32, rec, {1u << 16 | kOutId, kLocalIn, kLocalOut, kLocalBuf});
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  if (!fix8b) {
    const std::vector<float> x = ramp(count_of(s), -4.0f);
    NetCase c{"lrn, float", {{1, s, kFp32, bytes_of(x)}}, {}, one_layer_group({1}, N, loads(kFp32), l, kFp32),
              floats_of(ref::norm::lrn(tensor_of(x, N, C, H, W), alpha, size, beta, k)), Compare::FloatNear, s, 1e-3};
    return c;
  }
  // Unsigned bytes (the interpreter's 8-bit LRN takes unsigned data).
  const Bytes q = byte_ramp(count_of(s), 53, 7);
  T4 x = bytes_as(q, N, C, H, W, false);
  for (auto &v : x.v) v *= in_scale;
  T4 want = ref::norm::lrn(x, alpha, size, beta, k);
  for (auto &v : want.v) v = ref::norm::to_8bit(v * out_scale, false);
  return {std::string("lrn, 8-bit, mode ") + char('0' + mode), {{1, s, kInt8, q}}, {},
          one_layer_group({1}, N, loads(kInt8), l, kInt8), bytes_from(want), Compare::ByteWithinOne, s};
}

NetCase normalize_case(bool across, bool shared, bool relu) {
  const int N = 2, C = 5, H = 3, W = 3;
  const float eps = 1e-3f, shared_scale = 1.5f;
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  const std::vector<float> x = ramp(count_of(s), -7.0f, 3);
  const std::vector<float> scale = {0.5f, 2.0f, -1.0f, 1.25f, 3.0f};
  const Record rec = Record(24).f32(4, eps).f32(8, shared_scale).u8(12, across).u8(13, shared).u8(14, relu);
  std::vector<uint32_t> words = {1u << 16 | kOutId, kLocalIn};
  if (!shared) words.push_back(kLocalCoeff);
  words.insert(words.end(), {kLocalOut, kLocalBuf});
  std::vector<double> sc = shared ? std::vector<double>{shared_scale} : std::vector<double>(scale.begin(), scale.end());
  return {std::string("normalize, float") + (across ? ", across the item" : ", per position") +
              (shared ? ", shared scale" : ", per-channel scales") + (relu ? ", ReLU" : ""),
          {{1, s, kFp32, bytes_of(x)}},
          bytes_of(scale),
          one_layer_group({1}, N, loads(kFp32, false, shared ? std::vector<size_t>{} : std::vector<size_t>{C}),
                          layer(DYNAMIC_LAYER_NORMALIZE, kFp32, rec, words), kFp32),
          floats_of(ref::norm::normalize(tensor_of(x, N, C, H, W), across, eps, sc, relu)),
          Compare::FloatNear,
          s,
          1e-4};
}

NetCase normalize_fix8b_case(bool is_signed) {
  const int N = 5, C = 4, H = 2, W = 3;
  const float eps = 1e-3f, shared = 100.0f;
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  const Bytes q = byte_ramp(count_of(s), 29, 5);
  // Per position, one shared scale; ReLU for unsigned data.
  const Record rec = Record(24).f32(4, eps).f32(8, shared).u8(12, 0).u8(13, 1).u8(14, !is_signed).u8(20, is_signed)
                         .u8(21, is_signed);
  T4 want = ref::norm::normalize(bytes_as(q, N, C, H, W, is_signed), false, eps, {shared}, !is_signed);
  for (auto &v : want.v) v = ref::norm::to_8bit(v, is_signed);
  return {std::string("normalize, 8-bit, ") + (is_signed ? "signed" : "unsigned with ReLU"),
          {{1, s, kInt8, q}},
          {},
          one_layer_group({1}, N, loads(kInt8),
                          layer(DYNAMIC_LAYER_NORMALIZE, kInt8, rec, {1u << 16 | kOutId, kLocalIn, kLocalOut, kLocalBuf}),
                          kInt8),
          bytes_from(want),
          Compare::ByteWithinOne,
          s};
}

NetCase mulshift_case(bool in_signed, bool out_signed, int multiplier, int rshift) {
  const int N = 6, C = 3, H = 2, W = 4;
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  const Bytes q = byte_ramp(count_of(s), 41, 3);
  const Record rec = Record(16).u32(4, uint32_t(multiplier)).u32(8, uint32_t(rshift)).u8(12, in_signed).u8(13, out_signed);
  std::vector<uint32_t> words = {1u << 16 | kOutId, kLocalIn, kLocalOut};
  if (in_signed && !out_signed) words.push_back(kLocalBuf);
  Bytes want(q.size());
  for (size_t i = 0; i < q.size(); i++)
    want[i] = fr::byte_of(fr::sat(fr::rshift_round(fr::value8(q[i], in_signed) * multiplier, rshift), 8, out_signed));
  return {"mulshift, " + std::string(in_signed ? "signed" : "unsigned") + " to " + (out_signed ? "signed" : "unsigned") +
              ", x" + std::to_string(multiplier) + " >> " + std::to_string(rshift),
          {{1, s, kInt8, q}},
          {},
          one_layer_group({1}, N, loads(kInt8), layer(DYNAMIC_LAYER_MULSHIFT, kInt8, rec, words), kInt8),
          want,
          Compare::Exact,
          s};
}

NetCase arith_shift_case(int type, int kind, bool is_signed) {
  // kind 0: the record's count g; kind 1: one count per channel, loaded as
  // an 8-bit coefficient (the layer then declares 16-bit data); kind 2: one
  // count per element from net input 3.
  const int N = 5, C = 3, H = 2, W = 4, g = 3;
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  const Bytes q = byte_ramp(count_of(s), 23, 9);
  Bytes counts(kind == 1 ? C : q.size());
  for (size_t i = 0; i < counts.size(); i++) counts[i] = uint8_t((i * 3 + 1) % 5);
  const Record rec = Record(16).u32(0, is_signed).u32(4, uint32_t(type)).u32(8, uint32_t(g)).u32(12, uint32_t(kind));
  Bytes want(q.size());
  for (size_t i = 0; i < q.size(); i++) {
    const int gi = kind == 0 ? g : kind == 1 ? int(counts[(i / (H * W)) % C]) : int(counts[i]);
    const int count = type == 0 ? gi : type == 1 ? -gi : 1 - gi;
    fr::i64 v = fr::sat(fr::shift_by(fr::value8(q[i], is_signed), count), 16, true);
    v = fr::rshift_round(v, type == 2 ? 1 : 0);
    want[i] = fr::byte_of(fr::sat(v, 8, is_signed));
  }
  std::vector<NetInput> ins = {{1, s, kInt8, q}};
  std::vector<uint32_t> group_in = {1};
  std::vector<Item> l = loads(kInt8, kind == 2);
  Bytes coeff;
  if (kind == 2) {
    ins.push_back({3, s, kInt8, counts});
    group_in.push_back(3);
  } else if (kind == 1) {
    coeff = counts;
    l.push_back({0, move(LD_COEFF, Record(28).u64(0, 0).u32(8, kLocalIn2).u32(12, 1u << 16 | C).u32(16, 1u << 16 | 1)
                                       .u8(20, 1).u8(21, 2).u32(24, 2))});
  }
  return {"arith_shift, type " + std::to_string(type) + ", kind " + std::to_string(kind) +
              (is_signed ? ", signed" : ", unsigned"),
          ins,
          coeff,
          one_layer_group(group_in, N, l,
                          layer(DYNAMIC_LAYER_ARITH_SHIFT, kind == 1 ? 1u : kInt8, rec,
                                {1, 0, kOutId, kLocalIn, kLocalIn2, kLocalOut, kLocalBuf}),
                          kInt8),
          want,
          Compare::Exact,
          s};
}

NetCase lut_case() {
  // 8-bit indices (4N words) into a table of 256 floats copied into L2 SRAM
  // by LD_G2L2; a float output.
  const int N = 6, C = 3, H = 2, W = 5;
  const std::vector<uint32_t> s = {uint32_t(N), C, H, W};
  const Bytes q = byte_ramp(count_of(s), 91, 17);
  std::vector<float> table(256);
  for (int i = 0; i < 256; i++) table[i] = float(i) * 0.5f - 17.0f;
  std::vector<float> want(q.size());
  for (size_t i = 0; i < q.size(); i++) want[i] = table[q[i]];
  const Record rec = Record(40).u8(0, 4).u8(1, 0).u8(3, 0).u32(36, kFp32);
  std::vector<Item> l = loads(kInt8);
  l.push_back({0, move(LD_G2L2, Record(24).u64(0, 0).u32(8, kLutL2).u32(12, 0).u8(16, 2).u32(20, 256 * 4))});
  return {"lut of 8-bit indices into floats",
          {{1, s, kInt8, q}},
          bytes_of(table),
          one_layer_group({1}, N, l,
                          layer(DYNAMIC_LAYER_LUT, kInt8, rec, {1, 0, kOutId, kLocalIn, kLutL2, kLocalOut, kLocalBuf}),
                          kFp32),
          bytes_of(want),
          Compare::Exact,
          s};
}

NetCase deconv_case(bool bias) {
  // 3x3, stride 2, padding 1, 2 -> 3 channels. Weights per output channel
  // in its lane, input channels paired: float (ky, kx, i) at
  // ((ky * 3 + kx) * pairs + i / 2) * 2 + i % 2; loaded as a coefficient,
  // one lane per output channel, the bias likewise. Quarter inputs and
  // small integer weights: every sum is exact.
  const int N = 2, IC = 2, OC = 3, H = 3, W = 4;
  ref::deconv::Params p;
  p.kh = p.kw = 3;
  p.stride_h = p.stride_w = 2;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  const int OH = p.out_h(H), OW = p.out_w(W);
  const std::vector<uint32_t> s = {uint32_t(N), IC, H, W};
  const std::vector<float> x = ramp(count_of(s), -5.0f, 1);
  T4 w(OC, IC, 3, 3);
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = double(int(i % 5) - 2);
  const std::vector<double> b = bias ? std::vector<double>{0.5, -1.0, 2.0} : std::vector<double>{};
  const uint32_t pairs = (IC + 1) / 2, lane_floats = 9 * pairs * 2;
  std::vector<float> coeff(0x1000 / 4 + OC, 0.0f);
  for (int o = 0; o < OC; o++)
    for (int i = 0; i < IC; i++)
      for (int y = 0; y < 3; y++)
        for (int xx = 0; xx < 3; xx++) coeff[o * lane_floats + ((y * 3 + xx) * pairs + i / 2) * 2 + i % 2] = float(w.at(o, i, y, xx));
  for (int o = 0; o < OC && bias; o++) coeff[0x1000 / 4 + o] = float(b[o]);
  const Record rec = Record(36).u16(0, OC).u16(2, IC).u32(4, 1).u16(8, 3).u16(10, 3).u8(12, 1).u8(13, 1).u8(14, 1)
                         .u8(15, 1).u8(16, 1).u8(17, 1).u8(18, 2).u8(19, 2).u8(20, bias);
  std::vector<uint32_t> words = {1u << 16 | kOutId, kLocalIn, kLocalCoeff};
  if (bias) words.push_back(kLocalCoeff + 0x1000);
  words.push_back(kLocalOut);
  std::vector<Item> l = {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kFp32))},
                         {0, move(LD_COEFF, Record(28).u64(0, 0).u32(8, kLocalCoeff).u32(12, 1u << 16 | OC)
                                                .u32(16, 1u << 16 | lane_floats).u8(20, 1).u8(21, 2))}};
  if (bias)
    l.push_back({0, move(LD_COEFF, Record(28).u64(0, 0x1000).u32(8, kLocalCoeff + 0x1000).u32(12, 1u << 16 | OC)
                                       .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2))});
  return {std::string("deconv 3x3, stride 2, padding 1") + (bias ? ", bias" : ""),
          {{1, s, kFp32, bytes_of(x)}},
          bytes_of(coeff),
          one_layer_group({1}, N, l, layer(DYNAMIC_LAYER_DECONV, kFp32, rec, words), kFp32),
          floats_of(ref::deconv::deconvolution(tensor_of(x, N, IC, H, W), w, b, p)),
          Compare::Exact,
          {uint32_t(N), uint32_t(OC), uint32_t(OH), uint32_t(OW)}};
}

NetCase deconv_fix8b_case() {
  // The interpreter's 8-bit deconvolution: unsigned data, weights and
  // biases, no shift. Weights per output channel in its lane, the kernel
  // plane innermost within groups of four input channels: byte (i, ky, kx)
  // at ((i / 4) * 9 + ky * 3 + kx) * 4 + i % 4; 16-bit biases. Small values
  // keep every sum inside a byte.
  const int N = 5, IC = 2, OC = 3, H = 3, W = 4;
  ref::deconv::Params p;
  p.kh = p.kw = 3;
  p.stride_h = p.stride_w = 2;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
  const std::vector<uint32_t> s = {uint32_t(N), IC, H, W};
  Bytes q(count_of(s));
  for (size_t i = 0; i < q.size(); i++) q[i] = uint8_t(i * 7 % 4);
  T4 w(OC, IC, 3, 3);
  for (size_t i = 0; i < w.v.size(); i++) w.v[i] = double(i * 5 % 3);
  const std::vector<double> b = {5.0, 0.0, 11.0};
  const uint32_t K = (IC + 3) / 4 * 4 * 9;
  Bytes coeff(0x1000 + 2 * OC, 0);
  for (int o = 0; o < OC; o++) {
    for (int i = 0; i < IC; i++)
      for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++) coeff[o * K + ((i / 4) * 9 + y * 3 + x) * 4 + i % 4] = uint8_t(w.at(o, i, y, x));
    const uint16_t bo = uint16_t(b[o]);
    std::memcpy(&coeff[0x1000 + 2 * o], &bo, 2);
  }
  const Record rec = Record(36).u16(0, OC).u16(2, IC).u32(4, 1).u16(8, 3).u16(10, 3).u8(12, 1).u8(13, 1).u8(14, 1)
                         .u8(15, 1).u8(16, 1).u8(17, 1).u8(18, 2).u8(19, 2).u8(20, 1);
  const std::vector<Item> l = {
      {0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kInt8))},
      {0, move(LD_COEFF, Record(28).u64(0, 0).u32(8, kLocalCoeff).u32(12, 1u << 16 | OC).u32(16, 1u << 16 | K)
                             .u8(20, 1).u8(21, 2).u32(24, 2))},
      {0, move(LD_COEFF, Record(28).u64(0, 0x1000).u32(8, kLocalCoeff + 0x1000).u32(12, 1u << 16 | OC)
                             .u32(16, 1u << 16 | 1).u8(20, 1).u8(21, 2).u32(24, 1))}};
  return {"deconv 3x3, stride 2, padding 1, 8-bit",
          {{1, s, kInt8, q}},
          coeff,
          one_layer_group({1}, N, l,
                          layer(DYNAMIC_LAYER_DECONV, kInt8, rec,
                                {1u << 16 | kOutId, kLocalIn, kLocalCoeff, kLocalCoeff + 0x1000, kLocalOut}),
                          kInt8),
          bytes_from(ref::deconv::deconvolution(bytes_as(q, N, IC, H, W, false), w, b, p)),
          Compare::Exact,
          {uint32_t(N), uint32_t(OC), uint32_t(p.out_h(H)), uint32_t(p.out_w(W))}};
}

TEST(LocalPathsApi, LocalLayersAgainstTheirReferences) {
  run_cases({
      lrn_case(false, 0),
      lrn_case(true, 0),
      lrn_case(true, 1),
      normalize_case(false, false, false),
      normalize_case(true, true, true),
      normalize_fix8b_case(true),
      normalize_fix8b_case(false),
      mulshift_case(true, true, 3, 2),
      mulshift_case(false, false, 5, 3),
      mulshift_case(true, false, 7, 1),
      arith_shift_case(0, 0, true),
      arith_shift_case(2, 0, false),
      arith_shift_case(1, 2, true),
      arith_shift_case(0, 1, true),
      lut_case(),
      deconv_case(true),
      deconv_case(false),
      deconv_fix8b_case(),
  });
}

TEST(LocalPathsApi, RecordChecksAnswer1009) {
  // The Winograd load's three checks in their order, and the data sizes the
  // 8-bit-only layers require; each stops the run in its controller.
  const std::vector<uint32_t> s = {2, 3, 4, 4};
  const Bytes v = byte_ramp(count_of(s));
  auto winograd = [&](const Record &rec) {
    Group g;
    g.inputs = {1};
    g.n_slice = 2;
    g.steps = {{{}, {{0, move(LD_INPUT_NEURON, ld_input(kLocalIn, 1, kInt8))}, {0, move(LD_COEFF_WINOGRAD, rec)}}},
               {{}, {{0, move(ST_OUTPUT_NEURON, st_output(kLocalIn, kOutId, kInt8))}}}};
    return g;
  };
  auto one = [&](uint32_t type, uint32_t dsize, const Record &rec, const std::vector<uint32_t> &words) {
    return one_layer_group({1}, 2, loads(dsize), layer(type, dsize, rec, words), dsize);
  };
  struct Bad {
    const char *what, *function, *condition;
    Group group;
  };
  const Record shift_rec = Record(16).u32(8, 1);
  const std::vector<uint32_t> shift_words = {1, 0, kOutId, kLocalIn, kLocalIn2, kLocalOut, kLocalBuf};
  const Bad bad[] = {
      {"Winograd load: n differs from groups", "dynamic_load_coeff_winograd_ctrl", "n == groups",
       winograd(ld_winograd(kLocalCoeff, 2, 3, 4, 4, 1, 1, kInt8))},
      {"Winograd load: no Winograd coefficient", "dynamic_load_coeff_winograd_ctrl", "winograd_coeff > 0",
       winograd(ld_winograd(kLocalCoeff, 1, 3, 4, 4, 0, 1, kInt8))},
      {"Winograd load: float data", "dynamic_load_coeff_winograd_ctrl", "data_size == DSIZE_8",
       winograd(ld_winograd(kLocalCoeff, 1, 3, 4, 4, 1, 1, kFp32))},
      {"mulshift of float data", "dynamic_mulshift_layer_ctrl", "ctx->middle_value->data_size != DSIZE_FP32",
       one(DYNAMIC_LAYER_MULSHIFT, kFp32, Record(16).u32(4, 1), {1u << 16 | kOutId, kLocalIn, kLocalOut})},
      {"arith_shift of float data", "dynamic_arith_shift_layer_ctrl", "ctx->middle_value->data_size == DSIZE_8",
       one(DYNAMIC_LAYER_ARITH_SHIFT, kFp32, shift_rec, shift_words)},
      {"arith_shift by channel of 8-bit data", "dynamic_arith_shift_layer_ctrl",
       "ctx->middle_value->data_size == DSIZE_16",
       one(DYNAMIC_LAYER_ARITH_SHIFT, kInt8, Record(16).u32(8, 1).u32(12, 1), shift_words)},
  };
  for (const CardConfig &cfg : {kApiCards[0], kApiCards[3]}) {
    auto card = deferred_card(cfg.backend, cfg.seed);
    for (const Bad &b : bad) {
      SCOPED_TRACE(card_config_name(cfg) + ": " + b.what);
      NetCase c{b.what, {{1, s, kInt8, v}}, Bytes(256, 1), b.group, v, Compare::Exact, s};
      const size_t seen = card->console().size();
      auto a = send_case(*card, c);
      ASSERT_TRUE(AnswerOk(*card, a, 1009u));
      const std::string said = card->console().substr(seen);
      EXPECT_NE(said.find(b.function), std::string::npos) << said;
      EXPECT_NE(said.find(b.condition), std::string::npos) << said;
    }
    // The card serves on.
    const NetCase good = mulshift_case(true, true, 3, 2);
    auto a = send_case(*card, good);
    ASSERT_TRUE(AnswerOk(*card, a));
    expect_output(*card, good);
  }
}

}  // namespace
}  // namespace zv::test
