// The fully connected, batch matrix product and softmax global controllers:
// their output shapes (tables), and each through API 111 with a written
// description against the plain references, on three deferred seeds with the
// race checker and on the ARM image; bad records answer 1009 and the card
// keeps serving.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "interp/glb_fc_ctrl.h"
#include "net_writer_fc.h"
#include "ref/conv_fix_ref.h"
#include "ref/conv_layer_ref.h"
#include "ref/softmax_ref.h"

namespace zv::test {
namespace {

using namespace net;
using namespace net::card_areas;

constexpr uint32_t kFp32 = 0, kInt8 = 2, k4N = 2;

TEST(GlbFcShapes, FullyConnectedOutput) {
  struct Case {
    const char *what;
    std::vector<i32> in;
    u32 K;
    i32 out_dims;
    int channel_index;
    std::vector<i32> want;
  };
  const Case cases[] = {
      {"matrix input, four dims by default", {8, 256}, 256, 0, 1, {8, 9, 1, 1}},
      {"the last matching extent, three dims", {2, 3, 256}, 256, 3, 2, {2, 1, 9}},
      {"no extent matches: channel 1", {4, 7, 7, 64}, 3136, -1, 1, {4, 9, 1, 1}},
      {"an earlier extent matches too", {2, 64, 64}, 64, 4, 2, {2, 1, 9, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fc_output_shape_t s;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] {
      dynamic_glb_fc_output_shape_of(&s, c.in.data(), u32(c.in.size()), c.K, 9, c.out_dims);
    })));
    EXPECT_EQ(s.channel_index, c.channel_index);
    EXPECT_EQ(std::vector<i32>(s.shape, s.shape + s.dims), c.want);
  }
}

TEST(GlbFcShapes, SoftmaxView) {
  struct Case {
    std::vector<i32> shape;
    u32 axis;
    u64 outer, extent, inner;
  };
  const Case cases[] = {{{8, 10}, 1, 8, 10, 1}, {{2, 3, 4, 5}, 2, 6, 4, 5}, {{2, 3, 4, 5}, 0, 1, 2, 60},
                        {{2, 3, 4, 5, 6}, 4, 120, 6, 1}};
  for (const Case &c : cases) {
    softmax_view_t v;
    FirmwareRig rig;
    ASSERT_TRUE(ran_clean(rig.run([&] { dynamic_glb_softmax_view_of(&v, c.shape.data(), u32(c.shape.size()), c.axis); })));
    EXPECT_EQ(std::vector<u64>({v.outer, v.extent, v.inner}), std::vector<u64>({c.outer, c.extent, c.inner}));
  }
}

// ---- Through API 111 ----

struct NetInput {
  uint32_t dtype;
  std::vector<uint32_t> shape;
  std::vector<uint8_t> bytes;
};

// One global group: `layer` reads net input 1 (and 3 when there are two
// inputs) and writes net output 2.
Words one_layer_net(const Words &layer, uint32_t inputs = 1) {
  Group g;
  g.global = true;
  g.inputs = inputs == 2 ? std::vector<uint32_t>{1, 3} : std::vector<uint32_t>{1};
  g.global_layer = layer;
  return description(inputs == 2 ? std::vector<uint32_t>{1, 3} : std::vector<uint32_t>{1}, {2}, {g});
}

std::optional<host::Answer> run(host::Card &card, const Words &desc, const std::vector<NetInput> &inputs) {
  card.write(kDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  for (size_t i = 0; i < inputs.size(); i++) {
    const uint64_t at = kIn + 0x100000 * i;
    if (!inputs[i].bytes.empty()) card.write(at, inputs[i].bytes.data(), inputs[i].bytes.size());
    m.inputs.push_back(IoInput{at, 0, inputs[i].dtype, inputs[i].shape, 0});
  }
  m.outputs.push_back(IoOutput{kOut, 0, 0});
  m.return_shape = 1;
  use_card_areas(m);
  return card.send(111, run_payload(m));
}

template <typename T>
std::vector<uint8_t> bytes_of(const std::vector<T> &v) {
  std::vector<uint8_t> b(v.size() * sizeof(T));
  if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

std::vector<float> ramp(size_t n, float step, float offset) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 7) % 23)) * step + offset;
  return v;
}

// The returned shape record's dims and extents.
std::vector<uint32_t> returned_shape(host::Card &card) {
  const std::vector<uint32_t> rec = values_of<uint32_t>(card.read(kShapes, 40));
  return std::vector<uint32_t>(rec.begin() + 1, rec.begin() + 1 + rec[0]);
}

struct FloatCase {
  const char *what;
  Words layer;
  uint32_t inputs;
  std::vector<NetInput> in;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> coeffs;
  std::vector<double> want;
  std::vector<uint32_t> want_shape;
  double tol;
};

std::vector<FloatCase> float_cases() {
  std::vector<FloatCase> cases;
  {  // [5, 3, 4, 2] x W [7][24] + bias, ReLU: no extent is K, output [5, 7, 1, 1].
    const int M = 5, K = 24, N = 7;
    const std::vector<float> x = ramp(size_t(M) * K, 0.25f, -2.5f), w = ramp(size_t(N) * K, 0.125f, -1.25f);
    const std::vector<float> b = {0.5f, -1.0f, 2.0f, -3.0f, 0.0f, 1.5f, -0.25f};
    std::vector<double> want = ref::conv::fully_connected(x, w, b, M, K, N, true);
    for (double &v : want) v = v > 0 ? v : 0;
    FcParams p;
    p.input_neurons = K, p.output_neurons = N, p.fc_option = 1, p.has_bias = true, p.has_active = true;
    p.active_type = 1;
    cases.push_back({"fully connected, transposed weights, bias, ReLU",
                     global_layer(3, kFp32, fc_record(p),
                                  Words().append(net_io_ref(1)).append(coeff_ref(0)).append(coeff_ref(0x1000)).append(net_io_ref(2))),
                     1, {{kFp32, {5, 3, 4, 2}, bytes_of(x)}}, {{0, bytes_of(w)}, {0x1000, bytes_of(b)}}, want,
                     {5, 7, 1, 1}, 1e-4});
  }
  {  // [2, 3, 16]: the first two rows (the batch) x W [16][5], per-channel
     // PReLU slopes, three output dims: channel index 2, output [2, 1, 5].
    const int M = 2, K = 16, N = 5;
    const std::vector<float> x = ramp(size_t(2) * 3 * K, 0.5f, -4.0f), w = ramp(size_t(K) * N, 0.25f, -2.0f);
    const std::vector<float> slopes = {0.1f, 0.2f, 0.5f, 1.0f, 0.0f};
    std::vector<double> want = ref::conv::fully_connected(std::vector<float>(x.begin(), x.begin() + M * K), w, {}, M,
                                                          K, N, false);
    for (size_t i = 0; i < want.size(); i++)
      if (want[i] < 0) want[i] *= slopes[i % N];
    FcParams p;
    p.input_neurons = K, p.output_neurons = N, p.has_active = true, p.active_type = 2, p.out_dims = 3;
    cases.push_back({"fully connected, per-channel PReLU, three output dims",
                     global_layer(3, kFp32, fc_record(p),
                                  Words().append(net_io_ref(1)).append(coeff_ref(0x2000)).append(coeff_ref(0x3000)).append(net_io_ref(2))),
                     1, {{kFp32, {2, 3, 16}, bytes_of(x)}}, {{0x2000, bytes_of(w)}, {0x3000, bytes_of(slopes)}}, want,
                     {2, 1, 5}, 1e-4});
  }
  {  // A tensor [2, 1, 3, 4] x coefficient B [3, 4, 5]: output [2, 3, 3, 5].
    const std::vector<float> a = ramp(2 * 3 * 4, 0.5f, -3.0f), b = ramp(3 * 4 * 5, 0.25f, -2.0f);
    std::vector<int> ys;
    const std::vector<double> want = ref::conv::batch_matmul(a, {2, 1, 3, 4}, b, {3, 4, 5}, &ys);
    cases.push_back({"batch matmul, tensor by coefficient",
                     global_layer(65, kFp32, batch_matmul_record(false, {}, true, {3, 4, 5}),
                                  Words().append(net_io_ref(1)).append(coeff_ref(0x4000)).append(net_io_ref(2))),
                     1, {{kFp32, {2, 1, 3, 4}, bytes_of(a)}}, {{0x4000, bytes_of(b)}}, want, {2, 3, 3, 5}, 1e-4});
  }
  {  // Two tensors with ReLU: [3, 2, 6] x [6, 4] -> [3, 2, 4].
    const std::vector<float> a = ramp(3 * 2 * 6, 0.5f, -3.0f), b = ramp(6 * 4, 0.25f, -2.0f);
    std::vector<int> ys;
    std::vector<double> want = ref::conv::batch_matmul(a, {3, 2, 6}, b, {6, 4}, &ys);
    for (double &v : want) v = v > 0 ? v : 0;
    cases.push_back({"batch matmul, two tensors, ReLU",
                     global_layer(65, kFp32, batch_matmul_record(false, {}, false, {}, 1),
                                  Words().append(net_io_ref(1)).append(net_io_ref(3)).append(net_io_ref(2))),
                     2, {{kFp32, {3, 2, 6}, bytes_of(a)}, {kFp32, {6, 4}, bytes_of(b)}}, {}, want, {3, 2, 4}, 1e-4});
  }
  {  // Softmax over axis 1 of [3, 10], and over axis 2 of [2, 3, 4, 5]
     // (outer 6, extent 4, inner 5); a float layer ignores the record's scale.
    const std::vector<float> x = ramp(30, 0.75f, -6.0f);
    const std::vector<double> xd(x.begin(), x.end());
    cases.push_back({"softmax over the classes", global_layer(19, kFp32, softmax_record(1, 9.0f),
                                                              Words().append(net_io_ref(1)).append(net_io_ref(2))),
                     1, {{kFp32, {3, 10}, bytes_of(x)}}, {}, ref::softmax(xd, 3, 10, 1, false), {3, 10}, 2e-6});
    const std::vector<float> y = ramp(120, 0.5f, -5.0f);
    const std::vector<double> yd(y.begin(), y.end());
    cases.push_back({"softmax over axis 2 of four", global_layer(19, kFp32, softmax_record(2),
                                                                 Words().append(net_io_ref(1)).append(net_io_ref(2))),
                     1, {{kFp32, {2, 3, 4, 5}, bytes_of(y)}}, {}, ref::softmax(yd, 6, 4, 5, false), {2, 3, 4, 5}, 2e-6});
  }
  {  // Empty batches: nothing is issued, the outputs are registered with
     // their shapes.
    FcParams p;
    p.input_neurons = 24, p.output_neurons = 7, p.fc_option = 1;
    cases.push_back({"fully connected of an empty batch",
                     global_layer(3, kFp32, fc_record(p), Words().append(net_io_ref(1)).append(coeff_ref(0)).append(net_io_ref(2))),
                     1, {{kFp32, {0, 3, 4, 2}, {}}}, {}, {}, {0, 7, 1, 1}, 0});
    cases.push_back({"softmax of an empty batch", global_layer(19, kFp32, softmax_record(1),
                                                               Words().append(net_io_ref(1)).append(net_io_ref(2))),
                     1, {{kFp32, {0, 10}, {}}}, {}, {}, {0, 10}, 0});
    cases.push_back({"batch matmul of an empty batch",
                     global_layer(65, kFp32, batch_matmul_record(false, {}, true, {4, 5}),
                                  Words().append(net_io_ref(1)).append(coeff_ref(0)).append(net_io_ref(2))),
                     1, {{kFp32, {0, 3, 4}, {}}}, {}, {}, {0, 3, 5}, 0});
  }
  return cases;
}

TEST(GlbFcCtrl, FloatLayersAgainstTheReferences) {
  const std::vector<FloatCase> cases = float_cases();
  for_each_api_card([&](host::Card &card) {
    for (const FloatCase &c : cases) {
      SCOPED_TRACE(c.what);
      for (const auto &co : c.coeffs) card.write(kCoeff + co.first, co.second.data(), co.second.size());
      auto a = run(card, one_layer_net(c.layer, c.inputs), c.in);
      ASSERT_TRUE(AnswerOk(card, a));
      const std::vector<float> got = c.want.empty() ? std::vector<float>() : get<float>(card, kOut, c.want.size());
      for (size_t i = 0; i < c.want.size(); i++)
        ASSERT_NEAR(got[i], c.want[i], c.tol * (1 + std::fabs(c.want[i]))) << i;
      EXPECT_EQ(returned_shape(card), c.want_shape);
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

TEST(GlbFcCtrl, EightBitLayersAgainstTheReferences) {
  // Fully connected on 4N input and output: M 6, K 40, N 9, weights [N][K],
  // signed input, weights and bias, shift 5, ReLU.
  ref::conv_fix::Fc p;
  p.M = 6, p.K = 40, p.N = 9, p.transpose = true, p.bias = true, p.in_sign = p.w_sign = p.b_sign = true;
  p.relu = true, p.in4n = true, p.out4n = true, p.rshift = 5;
  std::vector<uint8_t> x(8 * size_t(p.K)), w(size_t(p.N) * p.K);
  std::vector<uint16_t> bias(size_t(p.N));
  for (size_t i = 0; i < x.size(); i++) x[i] = uint8_t(i * 37 + 11);
  for (size_t i = 0; i < w.size(); i++) w[i] = uint8_t(i * 53 + 5);
  for (size_t i = 0; i < bias.size(); i++) bias[i] = uint16_t(int(i) * 300 - 1200);
  const std::vector<uint8_t> want_fc = ref::conv_fix::fc8(p, x, w, bias);
  FcParams fp;
  fp.input_neurons = 40, fp.output_neurons = 9, fp.fc_option = 1, fp.has_bias = true, fp.has_active = true;
  fp.active_type = 1, fp.rshift = 5, fp.input_sign = fp.weight_sign = fp.bias_sign = 1;
  const Words fc = global_layer(3, kInt8, fc_record(fp),
                                Words().append(net_io_ref(1)).append(coeff_ref(0)).append(coeff_ref(0x1000)).append(net_io_ref(2)),
                                k4N, k4N);
  // Softmax of signed 8-bit 4N input [5, 10] with scale 1/16, converted
  // through a scratch buffer in the neuron region.
  std::vector<uint8_t> s(8 * 10);
  std::vector<double> sd(50);
  for (int n = 0; n < 5; n++)
    for (int k = 0; k < 10; k++) {
      const int8_t v = int8_t((n * 31 + k * 17) % 160 - 80);
      s[size_t(n / 4) * 40 + size_t(k) * 4 + n % 4] = uint8_t(v);
      sd[size_t(n) * 10 + k] = v / 16.0;
    }
  const std::vector<double> want_sm = ref::softmax(sd, 5, 10, 1, false);
  const Words sm = global_layer(19, kInt8, softmax_record(1, 1.0f / 16, kBoundary + 0x1000),
                                Words().append(net_io_ref(1)).append(net_io_ref(2)), k4N, 0);
  for_each_api_card([&](host::Card &card) {
    card.write(kCoeff, w.data(), w.size());
    card.write(kCoeff + 0x1000, bias.data(), bias.size() * 2);
    auto a = run(card, one_layer_net(fc), {{kInt8, {6, 40}, x}});
    ASSERT_TRUE(AnswerOk(card, a));
    const std::vector<uint8_t> got = card.read(kOut, want_fc.size());
    for (int m = 0; m < p.M; m++)
      for (int n = 0; n < p.N; n++) {
        const size_t at = size_t(m / 4) * 4 * p.N + size_t(4 * n + m % 4);
        ASSERT_EQ(got[at], want_fc[at]) << m << ", " << n;
      }
    EXPECT_EQ(returned_shape(card), (std::vector<uint32_t>{6, 9, 1, 1}));

    auto b = run(card, one_layer_net(sm), {{kInt8, {5, 10}, s}});
    ASSERT_TRUE(AnswerOk(card, b));
    const std::vector<float> got_sm = get<float>(card, kOut, 50);
    for (size_t i = 0; i < 50; i++) ASSERT_NEAR(got_sm[i], want_sm[i], 2e-6) << i;
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

// The console since `from` shows the assertion in `function` with `condition`.
::testing::AssertionResult failed_on(const std::string &text, const std::string &function,
                                     const std::string &condition) {
  const std::regex re("ASSERT(_FS)? firmware/[^:]*: " + function + ": [0-9]+: " +
                      std::regex_replace(condition, std::regex(R"([\\^$.|?*+()\[\]{}<>])"), R"(\$&)") + "\n");
  if (std::regex_search(text, re)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no assertion " << function << ": " << condition << " in:\n" << text;
}

TEST(GlbFcCtrl, BadRecordsAnswer1009AndTheCardKeepsServing) {
  struct Case {
    const char *what;
    Words layer;
    std::vector<uint32_t> shape;
    const char *function, *condition;
  };
  const Words fc_refs = Words().append(net_io_ref(1)).append(coeff_ref(0)).append(net_io_ref(2));
  FcParams one;
  one.input_neurons = 4, one.output_neurons = 3, one.out_dims = 1;
  FcParams nine = one;
  nine.out_dims = 9;
  FcParams huge = one;
  huge.out_dims = 0x40000000;
  const Words sm_refs = Words().append(net_io_ref(1)).append(net_io_ref(2));
  const Case cases[] = {
      {"fully connected into one dim", global_layer(3, kFp32, fc_record(one), fc_refs), {2, 4}, "dynamic_glb_fc_layer_ctrl",
       "channel_index < top.dims"},
      {"fully connected into nine dims", global_layer(3, kFp32, fc_record(nine), fc_refs), {2, 4},
       "dynamic_glb_fc_output_shape_of", "top_dims <= DYNAMIC_MAX_DIMS"},
      {"fully connected into 2^30 dims", global_layer(3, kFp32, fc_record(huge), fc_refs), {2, 4},
       "dynamic_glb_fc_output_shape_of", "top_dims <= DYNAMIC_MAX_DIMS"},
      {"softmax axis past the dims", global_layer(19, kFp32, softmax_record(2), sm_refs), {3, 10},
       "dynamic_glb_softmax_layer_ctrl", "softmax_axis >= 0 && softmax_axis < bottom.dims"},
      {"softmax of one dim", global_layer(19, kFp32, softmax_record(0), sm_refs), {10}, "dynamic_glb_softmax_layer_ctrl",
       "bottom.dims >= 2"},
      {"batch matmul with unequal inner extents",
       global_layer(65, kFp32, batch_matmul_record(false, {}, true, {3, 5}), Words().append(net_io_ref(1)).append(coeff_ref(0)).append(net_io_ref(2))),
       {2, 4}, "nodechip_batch_matmul_forward_parallel", "b[dims - 2] == K"},
  };
  auto card = deferred_card(Backend::Native, 2);
  const std::vector<float> x = ramp(64, 0.5f, -1.0f);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t from = card->console().size();
    auto a = run(*card, one_layer_net(c.layer), {{kFp32, c.shape, bytes_of(x)}});
    ASSERT_TRUE(AnswerOk(*card, a, 1009u));
    EXPECT_TRUE(failed_on(card->console().substr(from), c.function, c.condition));
  }
  // Still serving: a good softmax.
  const std::vector<double> xd(x.begin(), x.begin() + 30);
  const std::vector<double> want = ref::softmax(xd, 3, 10, 1, false);
  auto a = run(*card, one_layer_net(global_layer(19, kFp32, softmax_record(1), sm_refs)), {{kFp32, {3, 10}, bytes_of(x)}});
  ASSERT_TRUE(AnswerOk(*card, a));
  const std::vector<float> got = as_floats(card->read(kOut, 30 * 4));
  for (size_t i = 0; i < 30; i++) EXPECT_NEAR(got[i], want[i], 2e-6) << i;
  EXPECT_TRUE(no_findings(card->chip()));
}

}  // namespace
}  // namespace zv::test
