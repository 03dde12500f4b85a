// The global element-wise controllers: the 8-bit conversion's shape folding
// by a table, and whole runs through API 111 (descriptions from the test-side
// writer) against plain references, on three deferred seeds with the race
// checker and on the ARM image; bad records answer 1009 and the card serves on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/glb_eltwise_ctrl.h"
#include "runtime/hw.h"
#include "runtime/services.h"
#include "net_writer_cnn.h"
#include "ref/fix8b_act_ref.h"
#include "ref/fix8b_affine_ref.h"
#include "ref/fix8b_ref.h"
#include "ref/norm_ref.h"

namespace zv::test {
namespace {

using namespace net;
using namespace net::card_areas;

constexpr uint64_t kIn2 = 0x102100000ull;
constexpr uint32_t kFp32 = 0;
constexpr uint32_t kAdd = 0, kSub = 1, kMul = 2, kMax = 4;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// ---- The conversion's shape folding ----

TEST(GlbEltwiseFold, EightBitConversionShapes) {
  struct Case {
    const char *what;
    std::vector<i32> shape;
    std::vector<i32> want;
  };
  const std::vector<Case> cases = {
      {"four dims as they stand", {2, 3, 4, 5}, {2, 3, 4, 5}},
      {"two dims padded with 1", {7, 9}, {7, 9, 1, 1}},
      {"further extents multiplied into w", {2, 3, 4, 5, 6, 7}, {2, 3, 4, 210}},
      {"w full: the next extent goes into h", {1, 2, 3, 30000, 4}, {1, 2, 12, 30000}},
      {"a channel count of 8192 is cut by its largest divisor below 4096", {1, 8192, 7, 7}, {1, 3584, 112, 1}},
      // Moving left without a check would put 60000 x 40000 into h; the
      // folding by divisors cuts the whole instead.
      {"an overflowing fold is cut by divisors", {1, 8, 60000, 2, 40000}, {1, 4000, 64000, 150}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    i32 got[4] = {};
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { glb_dtype_convert_fold(c.shape.data(), u32(c.shape.size()), got); })));
    EXPECT_EQ(std::vector<i32>(got, got + 4), c.want);
  }
  // What no folding can bring within the engines' limits fails.
  const std::vector<i32> prime = {1, 65537, 65537};
  expect_assert([&] {
    i32 out[4];
    glb_dtype_convert_fold(prime.data(), 3, out);
  }, "ASSERT", "firmware/interp/", "glb_dtype_convert_fold", "(65535) > bottom_shape[3]");
}

// ---- Registered outputs ----

// A probe in the global map: a layer of its own that reads one tensor and
// keeps what the table holds for it.
struct Seen {
  uint32_t dims = 0, dtype = 99, elem_num = 99;
  std::vector<int32_t> shape;
};
Seen g_seen;
void probe_ctrl(dynamic_context_t *ctx, cmd_id_node_t *) {
  u8 rec[4];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  dynamic_tensor_info_t t = {};
  dynamic_context_unpack_neuron_tensor(ctx, &t, 0);
  g_seen.dims = t.dims, g_seen.dtype = t.dtype, g_seen.elem_num = t.elem_num;
  g_seen.shape.assign(t.shape, t.shape + t.dims);
}
constexpr uint32_t kProbeType = 99;  // no controller of the map serves it

// The layer from net input 1 into tensor 4, then the probe on tensor 4.
Seen registered(uint32_t type, uint32_t dsize, const Record &rec, const Words &middle, uint32_t in_dtype,
                const std::vector<uint32_t> &in_shape, uint32_t in_elem_num) {
  g_seen = Seen();
  const Group g1 = global_group({1}, {key(4, 1)},
                                layer(type, dsize, rec, Words().append(net_io_ref(1)).append(middle)
                                                            .append(neuron_ref(4, kBoundary + 0x1000))));
  const Group g2 = global_group({4}, {}, layer(kProbeType, kFp32, Record(4), neuron_ref(4, 0)));
  const Words d = description({1}, {}, {g1, g2});
  FirmwareRig rig;
  const FwOutcome o = rig.run([&] {
    dynamic_global_func_map_set_for_test(kProbeType, probe_ctrl);
    std::memcpy(hw_ptr(DYNAMIC_IR_ADDR, u32(d.size_bytes())), d.raw().data(), d.size_bytes());
    dynamic_io_tensor_t in = {};
    in.addr = 0x101000000ull, in.dims = u32(in_shape.size()), in.dtype = in_dtype, in.elem_num = in_elem_num;
    for (size_t i = 0; i < in_shape.size(); i++) in.shape[i] = in_shape[i];
    cmd_id_node_t node = {};
    heap_track_begin();
    nodechip_dynamic_fullnet_compile_v2(DYNAMIC_IR_ADDR, u32(d.size_bytes()), kBoundary, 0x105000000ull,
                                        0x106000000ull, 1, &in, 0, nullptr, &node, 0, 0);
    heap_track_end();
  });
  EXPECT_TRUE(ran_clean(o));
  return g_seen;
}

TEST(GlbEltwiseRegistered, OutputTypesAndValidCounts) {
  constexpr uint32_t kInt32 = 3, kDsize8 = 2, kLess = 10001;
  struct Case {
    const char *what;
    uint32_t type, dsize;
    Record rec;
    Words middle;
    uint32_t in_dtype;
    std::vector<uint32_t> in_shape;
    uint32_t dtype, elem_num;
    std::vector<int32_t> shape;
  };
  const std::vector<Case> cases = {
      {"a comparison of int32 data gives float", DYNAMIC_LAYER_CONST_BINARY, kInt32, const_binary_record(5, kLess),
       Words(), kInt32, {2, 3}, kFp32, 6, {2, 3}},
      {"an int32 addition keeps int32", DYNAMIC_LAYER_CONST_BINARY, kInt32, const_binary_record(5, kAdd), Words(),
       kInt32, {2, 3}, kInt32, 6, {2, 3}},
      {"a comparison of 8-bit data gives float", DYNAMIC_LAYER_CONST_BINARY, kDsize8,
       const_binary_record(bits(1.0f), kLess), Words(), kDsize8, {4, 2}, kFp32, 6, {4, 2}},
      {"an eltwise comparison gives float", DYNAMIC_LAYER_ELTWISE_BINARY, kInt32, eltwise_binary_record(kLess, 0, 1),
       Words().dword(0), kInt32, {3, 4}, kFp32, 6, {3, 4}},
      {"broadcast with a one-element coefficient: A's valid count and dtype", DYNAMIC_LAYER_BROADCAST_BINARY, kInt32,
       broadcast_binary_record(kAdd, false, {}, true, {1}, 0x100000), Words().dword(0), kInt32, {2, 1, 4}, kInt32, 6,
       {2, 1, 4}},
      {"broadcast A [2, 1, 4] with coefficient B [4]: no valid count", DYNAMIC_LAYER_BROADCAST_BINARY, kFp32,
       broadcast_binary_record(kAdd, false, {}, true, {4}, 0x100000), Words().dword(0), kFp32, {2, 1, 4}, kFp32, 0,
       {2, 1, 4}},
      {"conversion 0 -> 3 registers 8 bits", DYNAMIC_LAYER_DTYPE_CONVERT, kFp32, dtype_convert_record(0, 3), Words(),
       kFp32, {4, 2, 3}, kDsize8, 6, {4, 2, 3}},
      {"conversion 0 -> 6 registers int32", DYNAMIC_LAYER_DTYPE_CONVERT, kFp32, dtype_convert_record(0, 6), Words(),
       kFp32, {4, 2, 3}, kInt32, 6, {4, 2, 3}},
      {"PReLU registers no dtype", DYNAMIC_LAYER_PRELU, kFp32, Record(20).f32(4, 0.5f).u8(8, 1), Words(), kInt32,
       {1, 2, 2, 2}, kFp32, 6, {1, 2, 2, 2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Seen s = registered(c.type, c.dsize, c.rec, c.middle, c.in_dtype, c.in_shape, 6);
    EXPECT_EQ(s.dtype, c.dtype);
    EXPECT_EQ(s.elem_num, c.elem_num);
    EXPECT_EQ(s.shape, c.shape);
  }
}

// ---- Whole runs ----

using Tensor = std::vector<float>;

Tensor ramp(size_t count, float scale, float offset) {
  Tensor v(count);
  for (size_t i = 0; i < count; i++) v[i] = float(int(i % 29)) * scale + offset;
  return v;
}

size_t count_of(const std::vector<uint32_t> &s) {
  size_t n = 1;
  for (uint32_t d : s) n *= d;
  return n;
}

NetRun run_of(const std::vector<std::vector<uint32_t>> &in_shapes) {
  NetRun r;
  const uint64_t addrs[2] = {kIn, kIn2};
  for (size_t i = 0; i < in_shapes.size(); i++) r.inputs.push_back(IoInput{addrs[i], 0, kFp32, in_shapes[i], 0});
  r.outputs = {IoOutput{kOut, 0, 0}};
  r.desc_addr = kDesc, r.shape_addr = kShapes, r.addr_boundary = kBoundary, r.neuron_base = kNeuron,
  r.coeff_base = kCoeff;
  return r;
}

// A case: the layer between net inputs 1 (and 3) and net output 2; `refs` is
// the stream between the layer's record and its output reference.
struct RunCase {
  const char *what;
  uint32_t type;
  Record rec;
  Words refs;
  std::vector<std::vector<uint32_t>> inputs;
  Tensor coeff;  // written at coefficient offset 0x1000
  std::vector<uint32_t> out_shape;
  std::function<Tensor(const std::vector<Tensor> &in, const Tensor &coeff)> ref;
  double tol = 1e-5;
};

Words one_layer_net(const RunCase &c) {
  std::vector<uint32_t> ins = {1};
  if (c.inputs.size() > 1) ins.push_back(3);
  const Words refs = Words().append(c.refs).append(net_io_ref(2));
  return description(ins, {2}, {global_group(ins, {}, layer(c.type, kFp32, c.rec, refs))});
}

Tensor each(const Tensor &a, const std::function<float(float)> &f) {
  Tensor r(a.size());
  for (size_t i = 0; i < a.size(); i++) r[i] = f(a[i]);
  return r;
}
Tensor each2(const Tensor &a, const Tensor &b, const std::function<float(float, float)> &f) {
  Tensor r(a.size());
  for (size_t i = 0; i < a.size(); i++) r[i] = f(a[i], b[i]);
  return r;
}

std::vector<RunCase> run_cases() {
  const std::vector<uint32_t> s = {2, 3, 4, 5};
  const Words in1 = net_io_ref(1), in3 = net_io_ref(3);
  std::vector<RunCase> v;
  v.push_back({"constant binary: x * 1.5", DYNAMIC_LAYER_CONST_BINARY, const_binary_record(bits(1.5f), kMul), in1, {s},
               {}, s, [](const std::vector<Tensor> &in, const Tensor &) { return each(in[0], [](float x) { return x * 1.5f; }); }});
  v.push_back({"constant binary: 2 - x, the constant on the left", DYNAMIC_LAYER_CONST_BINARY,
               const_binary_record(bits(2.0f), kSub, 1), in1, {{3, 7}}, {}, {3, 7},
               [](const std::vector<Tensor> &in, const Tensor &) { return each(in[0], [](float x) { return 2.0f - x; }); }});
  v.push_back({"constant binary: x - 3 with ReLU on 5 dims", DYNAMIC_LAYER_CONST_BINARY,
               const_binary_record(bits(3.0f), kSub, 0, 1), in1, {{2, 1, 3, 2, 5}}, {}, {2, 1, 3, 2, 5},
               [](const std::vector<Tensor> &in, const Tensor &) {
                 return each(in[0], [](float x) { return std::max(x - 3.0f, 0.0f); });
               }});
  v.push_back({"eltwise binary: A * B, two tensors", DYNAMIC_LAYER_ELTWISE_BINARY, eltwise_binary_record(kMul),
               Words().append(in1).append(in3), {s, s}, {}, s,
               [](const std::vector<Tensor> &in, const Tensor &) { return each2(in[0], in[1], [](float a, float b) { return a * b; }); }});
  v.push_back({"eltwise binary: max(A, coefficient B)", DYNAMIC_LAYER_ELTWISE_BINARY, eltwise_binary_record(kMax, 0, 1),
               Words().append(in1).dword(0x1000), {s}, ramp(count_of(s), -0.5f, 3.0f), s,
               [](const std::vector<Tensor> &in, const Tensor &k) { return each2(in[0], k, [](float a, float b) { return std::max(a, b); }); }});
  v.push_back({"eltwise binary: coefficient A - tensor B takes B's shape", DYNAMIC_LAYER_ELTWISE_BINARY,
               eltwise_binary_record(kSub, 1, 0), Words().dword(0x1000).append(in1), {{4, 6}},
               ramp(24, 0.75f, -1.0f), {4, 6},
               [](const std::vector<Tensor> &in, const Tensor &k) { return each2(k, in[0], [](float a, float b) { return a - b; }); }});
  v.push_back({"broadcast binary: A [2, 1, 4] + coefficient B [4]", DYNAMIC_LAYER_BROADCAST_BINARY,
               broadcast_binary_record(kAdd, false, {}, true, {4}, 0x100000), Words().append(in1).dword(0x1000),
               {{2, 1, 4}}, {10, 20, 30, 40}, {2, 1, 4}, [](const std::vector<Tensor> &in, const Tensor &k) {
                 Tensor r(8);
                 for (int i = 0; i < 8; i++) r[i] = in[0][i] + k[i % 4];
                 return r;
               }});
  v.push_back({"broadcast binary: A [2, 3, 4, 5] - tensor B [1, 3, 1, 1]", DYNAMIC_LAYER_BROADCAST_BINARY,
               broadcast_binary_record(kSub, false, {}, false, {}, 0x100000), Words().append(in1).append(in3),
               {s, {1, 3, 1, 1}}, {}, s, [](const std::vector<Tensor> &in, const Tensor &) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) r[i] = in[0][i] - in[1][(i / 20) % 3];
                 return r;
               }});
  v.push_back({"bias add per channel", DYNAMIC_LAYER_BIASADD, biasadd_record(), Words().append(in1).dword(0x1000), {s},
               {1.0f, -2.0f, 0.5f}, s, [](const std::vector<Tensor> &in, const Tensor &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) r[i] = in[0][i] + k[(i / 20) % 3];
                 return r;
               }});
  v.push_back({"activation: absolute value", DYNAMIC_LAYER_ACTIVE, active_record(8), in1, {s}, {}, s,
               [](const std::vector<Tensor> &in, const Tensor &) { return each(in[0], [](float x) { return std::fabs(x); }); }});
  // Per-channel coefficients of s: channel (i / 20) % 3.
  auto ch = [](size_t i) { return (i / 20) % 3; };
  // The layer passes no request to prepare the coefficients: the two
  // coefficients are the prepared a and b of y = (x + a) b.
  v.push_back({"batch normalisation: prepared coefficients", DYNAMIC_LAYER_BATCHNORM,
               Record(52).f32(4, 1.0f).f32(8, 1e-5f), Words().append(in1).dword(0x1000).dword(0x100c), {s},
               {0.5f, -1.0f, 2.0f, 4.0f, 0.25f, 1.0f}, s, [=](const std::vector<Tensor> &in, const Tensor &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++)
                   r[i] = (in[0][i] + k[ch(i)]) * k[3 + ch(i)];
                 return r;
               }, 1e-4});
  v.push_back({"scale over the channel axis with a bias", DYNAMIC_LAYER_SCALE,
               Record(32).u32(4, 1).u32(8, 1).u8(12, 1), Words().append(in1).dword(0x1000).dword(0x100c), {s},
               {2.0f, -0.5f, 3.0f, 1.0f, 0.0f, -2.0f}, s, [=](const std::vector<Tensor> &in, const Tensor &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) r[i] = in[0][i] * k[ch(i)] + k[3 + ch(i)];
                 return r;
               }});
  v.push_back({"PReLU with per-channel slopes", DYNAMIC_LAYER_PRELU, Record(20), Words().append(in1).dword(0x1000),
               {s}, {0.1f, 0.2f, 0.3f}, s, [=](const std::vector<Tensor> &in, const Tensor &k) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) r[i] = in[0][i] > 0 ? in[0][i] : in[0][i] * k[ch(i)];
                 return r;
               }});
  v.push_back({"PReLU with one shared slope", DYNAMIC_LAYER_PRELU, Record(20).f32(4, 0.25f).u8(8, 1), in1, {s}, {}, s,
               [](const std::vector<Tensor> &in, const Tensor &) {
                 return each(in[0], [](float x) { return x > 0 ? x : 0.25f * x; });
               }});
  // Inline references: is_net_io 1, the id, one coefficient word (op 1).
  v.push_back({"eltwise weighted sum of three inputs (one of them twice)", DYNAMIC_LAYER_ELTWISE,
               Record(32).u8(4, 1).u8(5, 3),
               Words().word(1).word(1).word(bits(0.5f)).word(1).word(3).word(bits(2.0f)).word(1).word(1).word(bits(-1.0f)),
               {s, s}, {}, s, [](const std::vector<Tensor> &in, const Tensor &) {
                 return each2(in[0], in[1], [](float a, float b) { return 0.5f * a + 2.0f * b - a; });
               }});
  {
    // Eight inputs, the most the kernel takes.
    Words refs;
    for (int i = 0; i < 8; i++) refs.word(1).word(i % 2 ? 3 : 1).word(bits(float(i)));
    v.push_back({"eltwise weighted sum of eight inputs", DYNAMIC_LAYER_ELTWISE, Record(32).u8(4, 1).u8(5, 8), refs,
                 {s, s}, {}, s, [](const std::vector<Tensor> &in, const Tensor &) {
                   // Inputs 0, 2, 4, 6 weigh 12 in all; 1, 3, 5, 7 weigh 16.
                   return each2(in[0], in[1], [](float a, float b) { return 12.0f * a + 16.0f * b; });
                 }, 1e-5});
  }
  v.push_back({"eltwise product of two inputs, no coefficient words", DYNAMIC_LAYER_ELTWISE, Record(32).u8(4, 0).u8(5, 2),
               Words().word(1).word(1).word(1).word(3), {s, s}, {}, s,
               [](const std::vector<Tensor> &in, const Tensor &) { return each2(in[0], in[1], [](float a, float b) { return a * b; }); }});
  v.push_back({"normalize over the channels with a per-channel scale", DYNAMIC_LAYER_NORMALIZE,
               Record(24).f32(4, 1e-6f).f32(8, 1.0f), Words().append(in1).dword(0x1000), {s}, {2.0f, 0.5f, -1.0f}, s,
               [](const std::vector<Tensor> &in, const Tensor &k) {
                 ref::conv::T4 x(2, 3, 4, 5);
                 for (size_t i = 0; i < in[0].size(); i++) x.v[i] = in[0][i];
                 const ref::conv::T4 r = ref::norm::normalize(x, false, 1e-6, {k[0], k[1], k[2]}, false);
                 return Tensor(r.v.begin(), r.v.end());
               }, 1e-4});
  v.push_back({"matrix band part: one below, two above the diagonal", DYNAMIC_LAYER_MATRIX_BAND_PART,
               Record(8).i32(0, 1).i32(4, 2), in1, {{2, 5, 6}}, {}, {2, 5, 6},
               [](const std::vector<Tensor> &in, const Tensor &) {
                 Tensor r(in[0].size());
                 for (size_t i = 0; i < r.size(); i++) {
                   const int m = int(i / 6) % 5, n = int(i % 6);
                   r[i] = m - n <= 1 && n - m <= 2 ? in[0][i] : 0.0f;
                 }
                 return r;
               }});
  return v;
}

TEST(GlbEltwiseRuns, LayersAgainstTheirReferences) {
  const std::vector<RunCase> cases = run_cases();
  for_each_api_card([&](host::Card &card) {
    for (const RunCase &c : cases) {
      SCOPED_TRACE(c.what);
      std::vector<Tensor> in;
      const uint64_t addrs[2] = {kIn, kIn2};
      for (size_t i = 0; i < c.inputs.size(); i++) {
        in.push_back(ramp(count_of(c.inputs[i]), 0.5f + 0.25f * i, -4.0f + i));
        card.write(addrs[i], in[i].data(), in[i].size() * 4);
      }
      if (!c.coeff.empty()) card.write(kCoeff + 0x1000, c.coeff.data(), c.coeff.size() * 4);
      const Tensor want = c.ref(in, c.coeff);
      auto a = run_description(card, one_layer_net(c), run_of(c.inputs));
      ASSERT_TRUE(AnswerOk(card, a));
      const Tensor got = get<float>(card, kOut, want.size());
      for (size_t i = 0; i < want.size(); i++)
        ASSERT_NEAR(got[i], want[i], c.tol * std::max(1.0f, std::fabs(want[i]))) << "at " << i;
      std::vector<uint32_t> shape_rec = {uint32_t(c.out_shape.size())};
      shape_rec.insert(shape_rec.end(), c.out_shape.begin(), c.out_shape.end());
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, shape_rec.size() * 4)), shape_rec);
    }
  });
}

TEST(GlbEltwiseRuns, ConstantBinaryFeedsAnEltwiseBinaryThroughAnIntermediateTensor) {
  // Net input 1 x 1.5 into tensor 4 (neuron region, one consumer), then
  // tensor 4 + net input 1 into net output 2: 2.5 x.
  const std::vector<uint32_t> s = {3, 2, 5, 4};
  const Tensor in = ramp(count_of(s), 0.5f, -6.0f);
  const Group g1 = global_group({1}, {key(4, 1)},
                                layer(DYNAMIC_LAYER_CONST_BINARY, kFp32, const_binary_record(bits(1.5f), kMul),
                                      Words().append(net_io_ref(1)).append(neuron_ref(4, kBoundary + 0x2000))));
  const Group g2 = global_group({4, 1}, {},
                                layer(DYNAMIC_LAYER_ELTWISE_BINARY, kFp32, eltwise_binary_record(kAdd),
                                      Words().append(neuron_ref(4, 0)).append(net_io_ref(1)).append(net_io_ref(2))));
  const Words desc = description({1}, {2}, {g1, g2});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    auto a = run_description(card, desc, run_of({s}));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, in.size()), each(in, [](float x) { return x * 1.5f + x; }));
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 3, 2, 5, 4}));
  });
}

TEST(GlbEltwiseRuns, ConversionToEightBitsAndBackRoundsAndSaturates) {
  // Float -> signed 8 bits (tensor 4, 4N) -> float, over five dimensions
  // (folded into four for the engines): round half away from zero, saturate.
  const std::vector<uint32_t> s = {4, 3, 2, 5, 2};
  Tensor in(count_of(s));
  for (size_t i = 0; i < in.size(); i++) in[i] = float(int(i % 97)) * 3.5f - 170.0f;
  const Tensor want = each(in, [](float x) { return std::min(127.0f, std::max(-128.0f, std::round(x))); });
  const Group to8 = global_group({1}, {key(4, 1)},
                                 layer(DYNAMIC_LAYER_DTYPE_CONVERT, kFp32, dtype_convert_record(0, 2),
                                       Words().append(net_io_ref(1)).append(neuron_ref(4, kBoundary + 0x4000))));
  const Group back = global_group({4}, {},
                                  layer(DYNAMIC_LAYER_DTYPE_CONVERT, 2, dtype_convert_record(2, 0),
                                        Words().append(neuron_ref(4, 0)).append(net_io_ref(2))));
  const Words desc = description({1}, {2}, {to8, back});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size() * 4);
    auto a = run_description(card, desc, run_of({s}));
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 24)), (std::vector<uint32_t>{5, 4, 3, 2, 5, 2}));
  });
}

TEST(GlbEltwiseRuns, LookupTableOfOneBytePerIndexAndAnEmptyInput) {
  // Indices one byte each (1N), a coefficient table of 256 floats; the
  // output registers the record's dtype over the input's shape.
  const std::vector<uint32_t> s = {2, 3, 5};
  std::vector<uint8_t> idx(count_of(s));
  for (size_t i = 0; i < idx.size(); i++) idx[i] = uint8_t((i * 13) % 128);
  Tensor table(256);
  for (size_t i = 0; i < table.size(); i++) table[i] = float(i) * 0.5f - 7.0f;
  Tensor want(idx.size());
  for (size_t i = 0; i < idx.size(); i++) want[i] = table[idx[i]];
  const Record rec = Record(40).u8(2, 1).u8(3, 1).u32(36, kFp32);
  auto desc = [&](const Record &r) {
    return description({1}, {2}, {global_group({1}, {}, layer(DYNAMIC_LAYER_LUT, 2, r,
                                                             Words().append(net_io_ref(1)).dword(0x1000)
                                                                 .append(net_io_ref(2))))});
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, idx.data(), idx.size());
    card.write(kCoeff + 0x1000, table.data(), table.size() * 4);
    NetRun run = run_of({s});
    run.inputs[0].dtype = 2;
    auto a = run_description(card, desc(rec), run);
    ASSERT_TRUE(AnswerOk(card, a));
    EXPECT_EQ(get<float>(card, kOut, want.size()), want);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 16)), (std::vector<uint32_t>{3, 2, 3, 5}));
  });
  // An empty input issues nothing and registers its empty shape.
  auto card = deferred_card(Backend::Native, 2);
  NetRun run = run_of({{2, 0, 5}});
  run.inputs[0].dtype = 2;
  auto a = run_description(*card, desc(rec), run);
  ASSERT_TRUE(AnswerOk(*card, a));
  EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 16)), (std::vector<uint32_t>{3, 2, 0, 5}));
}

TEST(GlbEltwiseRuns, EightBitResidualSumTakesItsScalesFromTheStream) {
  // Two signed 8-bit inputs, four items in one 4N word-batch: A x 100 >> 6
  // plus B x 57 >> 5 (16-bit intermediates), ReLU. The scales are the inline
  // references' coefficient words, the signs and shifts the record's
  // per-input bytes.
  const std::vector<uint32_t> s = {4, 3, 2, 5};
  const size_t bytes = count_of(s);
  std::vector<uint8_t> a(bytes), b(bytes), want(bytes);
  for (size_t i = 0; i < bytes; i++) a[i] = uint8_t(i * 71 + 5), b[i] = uint8_t(i * 43 + 200);
  auto rshift_round = [](int64_t v, int sh) { return (v + (int64_t{1} << (sh - 1))) >> sh; };
  auto sat = [](int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; };
  for (size_t i = 0; i < bytes; i++) {
    int64_t t = sat(rshift_round(int64_t(int8_t(a[i])) * 100, 6), -32768, 32767);
    t = sat(rshift_round(t * 32 + int64_t(int8_t(b[i])) * 57, 5), -32768, 32767);
    want[i] = uint8_t(sat(std::max<int64_t>(t, 0), 0, 255));
  }
  const Record rec = Record(32).u8(4, 1).u8(5, 2).u8(6, 1).u8(7, 1).u8(8, 1).u8(17, 6).u8(18, 5);
  const Words refs = Words().word(1).word(1).word(100).word(1).word(3).word(57).append(net_io_ref(2));
  const Words desc = description({1, 3}, {2}, {global_group({1, 3}, {}, layer(DYNAMIC_LAYER_ELTWISE, 2, rec, refs))});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, a.data(), a.size());
    card.write(kIn2, b.data(), b.size());
    NetRun run = run_of({s, s});
    run.inputs[0].dtype = run.inputs[1].dtype = 2;
    auto r = run_description(card, desc, run);
    ASSERT_TRUE(AnswerOk(card, r));
    EXPECT_EQ(card.read(kOut, want.size()), want);
  });
}

TEST(GlbEltwiseRuns, EightBitBinaryOperationsAgainstTheIntegerReference) {
  // Eight items in two 4N word-batches; element-wise layers keep the layout,
  // so each output byte is the reference of the input bytes at its place.
  namespace fr = ref::fix8b;
  const std::vector<uint32_t> s = {8, 3, 2, 7};
  const size_t bytes = count_of(s);
  std::vector<uint8_t> a(bytes), b(bytes);
  for (size_t i = 0; i < bytes; i++) a[i] = uint8_t(i * 71 + 5), b[i] = uint8_t(i * 43 + 200);
  auto f32_bits = [](float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
  };
  // Const binary option bytes 16..20: scale, -, right shift, -, A signed.
  auto const_rec = [&](float value, uint32_t op, uint8_t const_is_left, uint8_t relu, uint8_t scale, uint8_t shift,
                       uint8_t sign) {
    return const_binary_record(f32_bits(value), op, const_is_left, relu).u8(16, scale).u8(18, shift).u8(20, sign);
  };
  // Eltwise binary bytes 12..17: scales, right shifts, type codes (0 u8, 1 i8).
  auto elt_rec = [](uint32_t op, uint8_t relu, uint8_t sa, uint8_t sb, uint8_t ra, uint8_t rb, uint8_t ta,
                    uint8_t tb) {
    return eltwise_binary_record(op, 0, 0, relu).u8(12, sa).u8(13, sb).u8(14, ra).u8(15, rb).u8(16, ta).u8(17, tb);
  };
  struct Case {
    const char *what;
    uint32_t type;
    Record rec;
    fr::Binary ref;
  };
  const uint32_t kLt = 10003;
  const Case cases[] = {
      {"constant add with ReLU", DYNAMIC_LAYER_CONST_BINARY, const_rec(40.0f, kAdd, 0, 1, 3, 0, 1),
       {int(kAdd), 3, 0, 1, 0, true, true, true, true, 40, false, true}},
      {"constant on the left minus an unsigned tensor, shifted", DYNAMIC_LAYER_CONST_BINARY,
       const_rec(-30.7f, kSub, 1, 0, 5, 2, 0), {int(kSub), 5, 2, 1, 0, false, true, true, true, -30, true, false}},
      {"constant comparison", DYNAMIC_LAYER_CONST_BINARY, const_rec(20.0f, kLt, 0, 0, 1, 3, 1),
       {int(kLt), 1, 0, 1, 0, true, true, true, true, 20, false, false}},
      {"signed minus unsigned, rescaled", DYNAMIC_LAYER_ELTWISE_BINARY, elt_rec(kSub, 0, 3, 2, 1, 0, 1, 0),
       {int(kSub), 3, 1, 2, 0, true, false, true, false, 0, false, false}},
      {"unsigned maximum with ReLU", DYNAMIC_LAYER_ELTWISE_BINARY, elt_rec(kMax, 1, 1, 4, 0, 2, 0, 0),
       {int(kMax), 1, 0, 4, 2, false, false, false, false, 0, false, true}},
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, a.data(), a.size());
    card.write(kIn2, b.data(), b.size());
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const bool two = c.type == DYNAMIC_LAYER_ELTWISE_BINARY;
      Words refs = net_io_ref(1);
      if (two) refs.append(net_io_ref(3));
      refs.append(net_io_ref(2));
      const std::vector<uint32_t> ins = two ? std::vector<uint32_t>{1, 3} : std::vector<uint32_t>{1};
      const Words desc = description(ins, {2}, {global_group(ins, {}, layer(c.type, 2, c.rec, refs))});
      NetRun run = run_of(two ? std::vector<std::vector<uint32_t>>{s, s} : std::vector<std::vector<uint32_t>>{s});
      for (IoInput &in : run.inputs) in.dtype = 2;
      auto r = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<uint8_t> got = card.read(kOut, bytes);
      size_t bad = 0;
      for (size_t i = 0; i < bytes; i++) {
        const uint8_t want = fr::binary(c.ref, a[i], b[i]);
        if (got[i] != want && bad++ < 5) ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(want);
      }
      EXPECT_EQ(bad, 0u);
    }
  });
}

TEST(GlbEltwiseRuns, EightBitMultiplyShiftAndArithmeticShiftAgainstTheIntegerReference) {
  // Eight 4N items; both layers are element-wise, so each byte is checked at
  // its place (the per-element shift amounts share the layout).
  namespace fr = ref::fix8b;
  const std::vector<uint32_t> s = {8, 5, 2, 3};
  const size_t bytes = count_of(s);
  std::vector<uint8_t> a(bytes), amounts(bytes);
  for (size_t i = 0; i < bytes; i++) a[i] = uint8_t(i * 71 + 5), amounts[i] = uint8_t(int(i * 7 % 11) - 5);
  struct Case {
    const char *what;
    uint32_t type;
    Record rec;
    std::function<uint8_t(size_t)> ref;
  };
  // Multiply-shift record: multiplier word 1, right shift word 2, input sign
  // byte 12, flag byte 13 (the multiplier is unsigned).
  auto mulshift = [&](int multiplier, int rshift, bool si, int flag) {
    return [=](size_t i) {
      const bool intermediate = si && flag != 1, out_signed = !intermediate && si;
      fr::i64 v = fr::rshift_round(fr::value8(a[i], si) * multiplier, rshift);
      if (intermediate) v = fr::sat(v, 16, true);
      v = fr::sat(v, 8, out_signed);
      if (!si && flag == 1 && v > 127) v = 127;
      return fr::byte_of(v);
    };
  };
  // Arithmetic shift record: input sign, shift kind, value, mode (0 constant,
  // 2 per element).
  auto shift = [&](int kind, int value, int mode, bool sign) {
    return [=](size_t i) {
      const int g = mode == 2 ? int(int8_t(amounts[i])) : value;
      const int amount = kind == 0 ? g : kind == 1 ? -g : 1 - g;
      const fr::i64 v = fr::sat(fr::shift_by(fr::value8(a[i], sign), amount), 16, true);
      return fr::byte_of(fr::sat(fr::rshift_round(v, kind == 2 ? 1 : 0), 8, sign));
    };
  };
  const Case cases[] = {
      {"multiply-shift, signed input, direct", DYNAMIC_LAYER_MULSHIFT,
       Record(16).i32(4, 77).i32(8, 5).u8(12, 1).u8(13, 1), mulshift(77, 5, true, 1)},
      {"multiply-shift, unsigned, at most 127", DYNAMIC_LAYER_MULSHIFT,
       Record(16).i32(4, 200).i32(8, 6).u8(12, 0).u8(13, 1), mulshift(200, 6, false, 1)},
      {"multiply-shift, signed through int16, clamped at 0", DYNAMIC_LAYER_MULSHIFT,
       Record(16).i32(4, 90).i32(8, 4).u8(12, 1).u8(13, 0), mulshift(90, 4, true, 0)},
      {"shift left by a constant 2", DYNAMIC_LAYER_ARITH_SHIFT, Record(16).i32(0, 1).i32(4, 0).i32(8, 2).u32(12, 0),
       shift(0, 2, 0, true)},
      {"rounding shift by per-element amounts, unsigned", DYNAMIC_LAYER_ARITH_SHIFT,
       Record(16).i32(0, 0).i32(4, 2).i32(8, 0).u32(12, 2), shift(2, 0, 2, false)},
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, a.data(), a.size());
    card.write(kCoeff + 0x1000, amounts.data(), amounts.size());
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      Words refs = net_io_ref(1);
      if (c.type == DYNAMIC_LAYER_ARITH_SHIFT) refs.append(coeff_ref(0x1000));
      refs.append(net_io_ref(2));
      const Words desc =
          description({1}, {2}, {global_group({1}, {}, layer(c.type, 2, c.rec, refs.words(), 2, 2))});
      NetRun run = run_of({s});
      run.inputs[0].dtype = 2;
      auto r = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<uint8_t> got = card.read(kOut, bytes);
      size_t bad = 0;
      for (size_t i = 0; i < bytes; i++) {
        const uint8_t want = c.ref(i);
        if (got[i] != want && bad++ < 5) ADD_FAILURE() << "byte " << i << ": " << int(got[i]) << " want " << int(want);
      }
      EXPECT_EQ(bad, 0u);
    }
  });
}

TEST(GlbEltwiseRuns, EightBitBroadcastBinaryStretchesChannelsAndWidth) {
  // A [8, 3, 2, 5] signed minus B [8, 1, 2, 1] unsigned, both 4N: B's channel
  // and column stretch over A's; rescaled 16-bit intermediates, signed result.
  namespace fr = ref::fix8b;
  const int N = 8, C = 3, H = 2, W = 5;
  const size_t a_chw = size_t(C * H * W), b_chw = size_t(H);
  std::vector<uint8_t> a(N * a_chw), b(N * b_chw);
  for (size_t i = 0; i < a.size(); i++) a[i] = uint8_t(i * 71 + 5);
  for (size_t i = 0; i < b.size(); i++) b[i] = uint8_t(i * 43 + 200);
  Record rec = broadcast_binary_record(kSub, false, {}, false, {}, 0);
  rec.u8(88, 3).u8(89, 2).u8(90, 1).u8(91, 0).u8(92, 1).u8(93, 0);
  const fr::Binary k{int(kSub), 3, 1, 2, 0, true, false, true, false, 0, false, false};
  const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(3)).append(net_io_ref(2));
  const Words desc =
      description({1, 3}, {2}, {global_group({1, 3}, {}, layer(DYNAMIC_LAYER_BROADCAST_BINARY, 2, rec, refs))});
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, a.data(), a.size());
    card.write(kIn2, b.data(), b.size());
    NetRun run = run_of({{uint32_t(N), uint32_t(C), uint32_t(H), uint32_t(W)}, {uint32_t(N), 1, uint32_t(H), 1}});
    run.inputs[0].dtype = run.inputs[1].dtype = 2;
    auto r = run_description(card, desc, run);
    ASSERT_TRUE(AnswerOk(card, r));
    const std::vector<uint8_t> got = card.read(kOut, a.size());
    size_t bad = 0;
    for (size_t n = 0; n < size_t(N); n++)
      for (size_t e = 0; e < a_chw; e++) {
        const size_t y = e / size_t(W) % size_t(H);
        const uint8_t want = fr::binary(k, a[fr::at_4n(n, e, a_chw)], b[fr::at_4n(n, y, b_chw)]);
        const uint8_t g = got[fr::at_4n(n, e, a_chw)];
        if (g != want && bad++ < 5)
          ADD_FAILURE() << "item " << n << " element " << e << ": " << int(g) << " want " << int(want);
      }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 8, 3, 2, 5}));
  });
}

// Six 8-bit items (a 4N tensor of two word-batches, the second half full)
// of 5 x 3 x 4, through the per-channel layers with their coefficients in
// the layers' vector layouts: 8-bit scales four to a channel, 16-bit biases
// and shifts two to a channel, one slope byte a channel. The inputs lie 1N or
// 4N as the layer's input store mode says; the batch normalisation, scale
// and PReLU kernels write 4N, the activation keeps the input's layout. Bytes
// past the output must stay as they were.
TEST(GlbEltwiseRuns, EightBitPerChannelLayersIn1NAnd4NAgainstTheIntegerReferences) {
  namespace fr = ref::fix8b;
  const std::vector<uint32_t> s = {6, 5, 3, 4};
  const size_t N = 6, C = 5, chw = 60, hw = 12;
  std::vector<uint8_t> items(N * chw);
  for (size_t i = 0; i < items.size(); i++) items[i] = uint8_t(i * 71 + 5);
  std::vector<int8_t> scale(C * 4);
  std::vector<int16_t> bias(C * 2), shift(C * 2), bias_add(C * 2);
  std::vector<uint8_t> slopes(C);
  for (size_t j = 0; j < C; j++) {
    for (size_t q = 0; q < 4; q++) scale[j * 4 + q] = int8_t(int(j * 37 % 256) - 100);
    bias[j * 2] = bias[j * 2 + 1] = int16_t(int(j * 911 % 4001) - 2000);
    shift[j * 2] = shift[j * 2 + 1] = int16_t(int(j % 5) - 3);
    bias_add[j * 2] = bias_add[j * 2 + 1] = int16_t(int(j * 613 % 3001) - 1500);
    slopes[j] = uint8_t(int(j * 29 % 256) - 128);
  }
  const uint64_t kScaleAt = 0x1000, kBiasAt = 0x2000, kShiftAt = 0x3000, kSlopeAt = 0x4000, kBiasAddAt = 0x5000;
  const Words affine = Words().append(coeff_ref(kScaleAt)).append(coeff_ref(kBiasAt)).append(coeff_ref(kShiftAt));
  // The affine reference with the coefficients of channel ch read by the signs.
  auto bnscale = [&](bool si, bool ss, bool sb, bool relu, int limit) {
    return [=](uint8_t x, size_t ch) {
      const int sc = ss ? int(scale[ch * 4]) : int(uint8_t(scale[ch * 4]));
      const int b = sb ? int(bias[ch * 2]) : int(uint16_t(bias[ch * 2]));
      return fr::bnscale(x, sc, b, shift[ch * 2], si, ss, sb, relu, limit);
    };
  };
  auto square = [](float v) { return v * v; };
  auto relu = [](float v) { return v > 0 ? v : 0.0f; };
  struct Case {
    const char *what;
    uint32_t type;
    Record rec;
    Words coeffs;               // between the input and the output references
    uint32_t in_mode, out_mode;  // 0 1N, 2 4N
    std::function<uint8_t(uint8_t, size_t)> ref;
  };
  const Case cases[] = {
      // Scale: ReLU at 13, its cap as f32 at 16, signs of input, scale, bias at 20..22.
      {"scale of a 1N input, all signed, ReLU capped at 50", DYNAMIC_LAYER_SCALE,
       Record(32).u32(4, 1).u32(8, 1).u8(13, 1).f32(16, 50.0f).u8(20, 1).u8(21, 1).u8(22, 1), affine, 0, 2,
       bnscale(true, true, true, true, 50)},
      {"scale of a 4N input, unsigned input and bias, no ReLU", DYNAMIC_LAYER_SCALE,
       Record(32).u32(4, 1).u32(8, 1).u8(20, 0).u8(21, 1).u8(22, 0), affine, 2, 2,
       bnscale(false, true, false, false, 0)},
      // Batch normalisation: signs at 12..14, ReLU at 15 (any non-zero), cap at 16.
      {"batch normalisation of a 4N input, ReLU", DYNAMIC_LAYER_BATCHNORM,
       Record(52).f32(4, 1.0f).u8(12, 1).u8(13, 1).u8(14, 1).u8(15, 7), affine, 2, 2,
       bnscale(true, true, true, true, 0)},
      {"batch normalisation of a 1N input, unsigned input", DYNAMIC_LAYER_BATCHNORM,
       Record(52).u8(12, 0).u8(13, 1).u8(14, 1), affine, 0, 2, bnscale(false, true, true, false, 0)},
      // Bias add: ReLU at 0, cap at 4, right shift at 8, scale at 12, signs at 16, 17.
      {"bias add, 4N, ReLU capped at 100", DYNAMIC_LAYER_BIASADD,
       Record(20).u8(0, 1).f32(4, 100.7f).u32(8, 4).u32(12, 93).u8(16, 1).u8(17, 1), coeff_ref(kBiasAddAt), 2, 2,
       [&](uint8_t x, size_t ch) { return fr::biasadd(x, bias_add[ch * 2], 93, 4, true, true, 100); }},
      // PReLU: shared slope as f32 at 4, shared flag at 8, right shift at 9,
      // input and second sign at 16 and 18.
      {"PReLU with per-channel slopes, 1N input", DYNAMIC_LAYER_PRELU,
       Record(20).u8(9, 6).u8(16, 1).u8(18, 1), coeff_ref(kSlopeAt), 0, 2,
       [&](uint8_t x, size_t ch) { return fr::prelu(x, int8_t(slopes[ch]), false, 6, true, true); }},
      {"PReLU with a shared slope of -50.7 (taken as -50), 4N input", DYNAMIC_LAYER_PRELU,
       Record(20).f32(4, -50.7f).u8(8, 1).u8(9, 5).u8(16, 1).u8(18, 1), Words(), 2, 2,
       [](uint8_t x, size_t) { return fr::prelu(x, -50, true, 5, true, true); }},
      // Activation: type at 4, scales as f32 at 16 and 20, signs at 24 and 25.
      {"square activation, 4N", DYNAMIC_LAYER_ACTIVE,
       Record(28).u32(4, 6).f32(16, 0.05f).f32(20, 0.0625f).u8(24, 1).u8(25, 0), Words(), 2, 2,
       [=](uint8_t x, size_t) { return fr::activation(x, square, 0.05f, 0.0625f, true, false); }},
      // Six 1N items are six items' bytes, not two word-batches' worth.
      {"ReLU activation of a 1N input into a 1N output", DYNAMIC_LAYER_ACTIVE,
       Record(28).u32(4, 2).f32(16, 0.5f).f32(20, 0.25f).u8(24, 1).u8(25, 1), Words(), 0, 0,
       [=](uint8_t x, size_t) { return fr::activation(x, relu, 0.5f, 0.25f, true, true); }},
  };
  auto lay_out = [&](uint32_t mode) {
    std::vector<uint8_t> b(mode == 2 ? (N + 3) / 4 * chw * 4 : N * chw, 0x5a);
    for (size_t i = 0; i < N; i++)
      for (size_t e = 0; e < chw; e++) b[mode == 2 ? fr::at_4n(i, e, chw) : i * chw + e] = items[i * chw + e];
    return b;
  };
  const std::vector<uint8_t> in_1n = lay_out(0), in_4n = lay_out(2);
  for_each_api_card([&](host::Card &card) {
    card.write(kCoeff + kScaleAt, scale.data(), scale.size());
    card.write(kCoeff + kBiasAt, bias.data(), bias.size() * 2);
    card.write(kCoeff + kShiftAt, shift.data(), shift.size() * 2);
    card.write(kCoeff + kSlopeAt, slopes.data(), slopes.size());
    card.write(kCoeff + kBiasAddAt, bias_add.data(), bias_add.size() * 2);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const std::vector<uint8_t> &in = c.in_mode == 2 ? in_4n : in_1n;
      card.write(kIn, in.data(), in.size());
      const size_t out_bytes = c.out_mode == 2 ? in_4n.size() : in_1n.size();
      const std::vector<uint8_t> canary(out_bytes + 64, 0xee);
      card.write(kOut, canary.data(), canary.size());
      const Words refs = Words().append(net_io_ref(1)).append(c.coeffs).append(net_io_ref(2));
      const Words desc = description({1}, {2}, {global_group({1}, {}, layer(c.type, 2, c.rec, refs.words(),
                                                                            c.in_mode, c.out_mode))});
      NetRun run = run_of({s});
      run.inputs[0].dtype = 2;
      auto r = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<uint8_t> got = card.read(kOut, canary.size());
      size_t bad = 0;
      for (size_t i = 0; i < N; i++)
        for (size_t e = 0; e < chw; e++) {
          const uint8_t want = c.ref(items[i * chw + e], e / hw);
          const uint8_t g = got[c.out_mode == 2 ? fr::at_4n(i, e, chw) : i * chw + e];
          if (g != want && bad++ < 5)
            ADD_FAILURE() << "item " << i << " element " << e << ": " << int(g) << " want " << int(want);
        }
      EXPECT_EQ(bad, 0u);
      EXPECT_EQ(std::vector<uint8_t>(got.begin() + long(out_bytes), got.end()), std::vector<uint8_t>(64, 0xee))
          << "bytes past the output were written";
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 6, 5, 3, 4}));
    }
  });
  // An empty batch writes nothing and registers its empty shape.
  auto card = deferred_card(Backend::Native, 2);
  const std::vector<uint8_t> canary(64, 0xee);
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("empty batch: ") + c.what);
    card->write(kOut, canary.data(), canary.size());
    const Words refs = Words().append(net_io_ref(1)).append(c.coeffs).append(net_io_ref(2));
    const Words desc =
        description({1}, {2}, {global_group({1}, {}, layer(c.type, 2, c.rec, refs.words(), c.in_mode, c.out_mode))});
    NetRun run = run_of({{0, 5, 3, 4}});
    run.inputs[0].dtype = 2;
    auto r = run_description(*card, desc, run);
    ASSERT_TRUE(AnswerOk(*card, r));
    EXPECT_EQ(card->read(kOut, canary.size()), canary);
    EXPECT_EQ(values_of<uint32_t>(card->read(kShapes, 20)), (std::vector<uint32_t>{4, 0, 5, 3, 4}));
  }
}

TEST(GlbEltwiseRuns, EightBitNormalizeAgainstTheReference) {
  // Six 4N items of 5 x 3 x 4: L2 normalisation over the channels with float
  // per-channel scales, and over each whole item with the record's shared
  // scale and ReLU; the result is truncated to 8 bits, exact except where
  // single-precision rounding meets an integer boundary.
  namespace fr = ref::fix8b;
  const size_t N = 6, C = 5, chw = 60;
  std::vector<uint8_t> in((N + 3) / 4 * chw * 4);
  for (size_t i = 0; i < in.size(); i++) in[i] = uint8_t(i * 37 + (i >> 6) * 5 + 3);
  const Tensor scales = {20.0f, 45.5f, 70.0f, 95.25f, 120.0f};
  struct Case {
    const char *what;
    bool across, shared, relu, sign_in, sign_out;
    float scale;
  };
  const Case cases[] = {
      {"per position over the channels, per-channel scales, signed", false, false, false, true, true, 0.0f},
      {"over each whole item, shared scale, ReLU, unsigned input", true, true, true, false, false, 100.0f},
  };
  for_each_api_card([&](host::Card &card) {
    card.write(kIn, in.data(), in.size());
    card.write(kCoeff + 0x1000, scales.data(), scales.size() * 4);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      // eps and the shared scale as f32 at 4 and 8; across at 12, shared at
      // 13, ReLU at 14, the input and output signs at 20 and 21.
      const Record rec = Record(24).f32(4, 1e-6f).f32(8, c.scale).u8(12, c.across).u8(13, c.shared).u8(14, c.relu)
                             .u8(20, c.sign_in).u8(21, c.sign_out);
      Words refs = net_io_ref(1);
      if (!c.shared) refs.append(coeff_ref(0x1000));
      refs.append(net_io_ref(2));
      const Words desc =
          description({1}, {2}, {global_group({1}, {}, layer(DYNAMIC_LAYER_NORMALIZE, 2, rec, refs.words(), 2, 2))});
      NetRun run = run_of({{6, 5, 3, 4}});
      run.inputs[0].dtype = 2;
      auto r = run_description(card, desc, run);
      ASSERT_TRUE(AnswerOk(card, r));
      const std::vector<uint8_t> got = card.read(kOut, in.size());
      ref::conv::T4 x(int(N), int(C), 3, 4);
      for (size_t i = 0; i < N; i++)
        for (size_t e = 0; e < chw; e++) x.v[i * chw + e] = double(fr::value8(in[fr::at_4n(i, e, chw)], c.sign_in));
      const std::vector<double> sc =
          c.shared ? std::vector<double>(C, double(c.scale)) : std::vector<double>(scales.begin(), scales.end());
      const ref::conv::T4 y = ref::norm::normalize(x, c.across, 1e-6f, sc, c.relu);
      for (size_t i = 0; i < N; i++)
        for (size_t e = 0; e < chw; e++) {
          const double v = y.v[i * chw + e], want = ref::norm::to_8bit(v, c.sign_out);
          const double g = double(fr::value8(got[fr::at_4n(i, e, chw)], c.sign_out));
          if (g != want) {
            ASSERT_LT(std::fabs(v - std::round(v)), 1e-3 * std::fmax(1.0, std::fabs(v))) << "item " << i << " element " << e;
          }
          ASSERT_LE(std::fabs(g - want), 1.0) << "item " << i << " element " << e;
        }
      EXPECT_EQ(values_of<uint32_t>(card.read(kShapes, 20)), (std::vector<uint32_t>{4, 6, 5, 3, 4}));
    }
  });
}

TEST(GlbEltwiseRuns, BadRecordsAnswer1009AndTheCardServesOn) {
  struct Case {
    const char *what;
    uint32_t type, dsize;
    Record rec;
    Words refs;
    std::string condition;
    std::vector<uint32_t> in_shape = {1, 2, 3, 4};
  };
  const Words in1 = net_io_ref(1);
  const std::vector<Case> cases = {
      {"eltwise binary of two coefficients", DYNAMIC_LAYER_ELTWISE_BINARY, kFp32, eltwise_binary_record(kAdd, 1, 1),
       Words().dword(0).dword(0), "!(layer_param->a_is_coeff && layer_param->b_is_coeff)"},
      {"activation with a cap", DYNAMIC_LAYER_ACTIVE, kFp32, active_record(8, 1.0f), in1, "relu_upper_limit == 0.0"},
      {"PReLU with a cap and per-channel slopes", DYNAMIC_LAYER_PRELU, kFp32, Record(20).f32(12, 6.0f), in1,
       "relu_upper_limit <= 0 || channel_shared"},
      {"8-bit PReLU with a cap", DYNAMIC_LAYER_PRELU, 2, Record(20).u8(8, 1).f32(12, 6.0f), in1,
       "relu_upper_limit <= 0"},
      {"conversion from int32 to 8 bits", DYNAMIC_LAYER_DTYPE_CONVERT, kFp32, dtype_convert_record(6, 2), in1, "0"},
      {"batch normalisation of 16-bit data", DYNAMIC_LAYER_BATCHNORM, 1, Record(52),
       Words().append(in1).dword(0).dword(0).dword(0), "ctx->middle_value->data_size == DSIZE_8"},
      {"normalize of a 5-dimensional input", DYNAMIC_LAYER_NORMALIZE, kFp32, Record(24).u8(13, 1), in1,
       "bottom.dims == 4", {1, 2, 3, 4, 5}},
      {"arithmetic shift mode 1 on 8-bit data", DYNAMIC_LAYER_ARITH_SHIFT, 2, Record(16).u32(12, 1), in1,
       "ctx->middle_value->data_size == DSIZE_16"},
      {"eltwise without inputs", DYNAMIC_LAYER_ELTWISE, kFp32, Record(32).u8(5, 0), Words(), "input_num >= 1"},
      // Eleven inputs: the per-input bytes are read for ten only, and the
      // kernel refuses more than eight.
      {"eltwise of eleven inputs", DYNAMIC_LAYER_ELTWISE, kFp32, Record(32).u8(5, 11), [] {
         Words w;
         for (int i = 0; i < 11; i++) w.word(1).word(1);
         return w;
       }(), "input_num <= 8"},
      {"lookup table with a coefficient input of 9 dims", DYNAMIC_LAYER_LUT, kFp32, Record(40).u8(0, 9).u8(1, 1).u8(2, 1),
       Words().dword(0).dword(0), "dims <= DYNAMIC_MAX_DIMS"},
  };
  auto card_owner = deferred_card(Backend::Native, 3);
  host::Card &card = *card_owner;
  const std::vector<uint32_t> s5 = {1, 2, 3, 4, 5};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Words refs = Words().append(c.refs).append(net_io_ref(2));
    const Words desc = description({1}, {2}, {global_group({1}, {}, layer(c.type, c.dsize, c.rec, refs))});
    auto a = run_description(card, desc, run_of({c.in_shape}));
    ASSERT_TRUE(AnswerOk(card, a, 1009u));
    EXPECT_NE(console_text(card.console()).find(": " + c.condition + "\n"), std::string::npos) << card.console();
  }
  const Tensor in = ramp(count_of(s5), 0.5f, -3.0f);
  card.write(kIn, in.data(), in.size() * 4);
  const Words desc = description({1}, {2}, {global_group({1}, {}, layer(DYNAMIC_LAYER_ACTIVE, kFp32, active_record(8),
                                                                        Words().append(in1).append(net_io_ref(2))))});
  auto a = run_description(card, desc, run_of({s5}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_EQ(get<float>(card, kOut, in.size()), each(in, [](float x) { return std::fabs(x); }));
}

}  // namespace
}  // namespace zv::test
