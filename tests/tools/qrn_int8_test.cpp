// The framework's 8-bit run: each layer against a plain integer reference on
// small fixtures, and the calibration fields taken over from an 8-bit model.
#include <cstring>

#include "ref_int8.hpp"
#include "stub_layers.hpp"
#include "test_util.hpp"

using qrn::Blob;
using qrn::Net;
using tools_test::MakeNet;
using tools_test::TempDir;

namespace {

// Runs everything under mode INT8 and restores FP32 afterwards.
struct Int8Mode {
  Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::INT8); }
  ~Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::FP32); }
};

std::string WithInput(const std::vector<int>& shape, const std::string& layers) {
  std::string text = "name: 't' input: 'data' input_shape {";
  for (int d : shape) text += " dim: " + std::to_string(d);
  return text + " } " + layers;
}

void SetInt8(Blob<float>* blob, const std::vector<int32_t>& values, bool is_signed) {
  ASSERT_EQ(static_cast<int>(values.size()), blob->count());
  for (size_t i = 0; i < values.size(); ++i) blob->mutable_cpu_unint8_data()[i] = static_cast<uint8_t>(values[i]);
  blob->set_fixed_sign_type(is_signed ? qrn::BlobProto_FixedSignType_SIGNED : qrn::BlobProto_FixedSignType_UNSIGNED);
  blob->set_holds_float(false);
}

void SetInt16(Blob<float>* blob, const std::vector<int32_t>& values) {
  ASSERT_EQ(static_cast<int>(values.size()), blob->count());
  for (size_t i = 0; i < values.size(); ++i) blob->mutable_cpu_int16_data()[i] = static_cast<int16_t>(values[i]);
}

std::vector<int32_t> GetInt8(const Blob<float>& blob) {
  std::vector<int32_t> v;
  const bool s = blob.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED;
  for (int i = 0; i < blob.count(); ++i) v.push_back(s ? blob.cpu_int8_data()[i] : blob.cpu_unint8_data()[i]);
  return v;
}

std::vector<int32_t> Random(size_t n, uint32_t seed, int lo, int hi) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<int32_t> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

struct ConvCase {
  const char* what;
  std::vector<int> in_shape;  // N, C, H, W
  int out, kernel, stride, pad, group;
  bool in_signed, relu, bias;
  int shift;                     // layer shift, or -1 for per-channel shifts
  std::vector<int32_t> weights;  // empty: random
  std::vector<int32_t> input;    // empty: random
  std::vector<int32_t> expected; // empty: from the reference only
};

class Int8Convolution : public ::testing::TestWithParam<ConvCase> {};

TEST_P(Int8Convolution, MatchesIntegerReference) {
  const ConvCase& c = GetParam();
  const int N = c.in_shape[0], C = c.in_shape[1], H = c.in_shape[2], W = c.in_shape[3];
  std::string conv = "layer { name: 'conv' type: 'Convolution' bottom: 'data' top: 'y' convolution_param { num_output: " +
                     std::to_string(c.out) + " kernel_size: " + std::to_string(c.kernel) +
                     " stride: " + std::to_string(c.stride) + " pad: " + std::to_string(c.pad) +
                     " group: " + std::to_string(c.group) + (c.bias ? "" : " bias_term: false");
  std::vector<int> shifts(c.out, c.shift);
  if (c.shift < 0) {
    std::string bytes;
    for (int o = 0; o < c.out; ++o) {
      shifts[o] = (o * 5) % 12;
      bytes += "\\" + std::to_string(shifts[o] / 8) + std::to_string(shifts[o] % 8);
    }
    conv += " per_channel_en: true rshift_per_layer: \"" + bytes + "\"";
  }
  conv += std::string(" } FollowedByRelu: ") + (c.relu ? "true" : "false") + " }";
  auto net = MakeNet(WithInput(c.in_shape, conv));
  Blob<float>& w = *net->layers()[0]->blobs()[0];
  const std::vector<int32_t> wv = c.weights.empty() ? Random(w.count(), 7, -128, 127) : c.weights;
  SetInt8(&w, wv, true);
  w.setRshiftNum(c.shift < 0 ? 3 : c.shift);
  std::vector<int32_t> bv;
  if (c.bias) {
    bv = Random(c.out, 8, -32768, 32767);
    SetInt16(net->layers()[0]->blobs()[1].get(), bv);
  }
  const std::vector<int32_t> in =
      c.input.empty() ? Random(N * C * H * W, 9, c.in_signed ? -128 : 0, c.in_signed ? 127 : 255) : c.input;
  SetInt8(net->input_blobs()[0], in, c.in_signed);
  Int8Mode mode;
  net->Forward();
  const Blob<float>& y = *net->blob_by_name("y");
  const bool out_signed = !c.relu;  // the weights are signed
  EXPECT_EQ(y.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, out_signed);
  ref8::Conv g{c.kernel, c.kernel, c.stride, c.stride, c.pad, c.pad, c.group};
  const auto expected = ref8::Convolution(in, N, C, H, W, wv, bv, c.out, g, shifts, c.relu, out_signed);
  EXPECT_EQ(GetInt8(y), expected);
  if (!c.expected.empty()) {
    EXPECT_EQ(GetInt8(y), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Int8Convolution,
    ::testing::Values(
        // 1x1 kernel of weight 1, shift 2: ties 6/4 = 1.5 -> 2, -6/4 -> -1,
        // -2/4 = -0.5 -> 0, 2/4 -> 1, 10/4 -> 3, -10/4 -> -2; 127/4 -> 32.
        ConvCase{"ties", {1, 1, 1, 8}, 1, 1, 1, 0, 1, true, false, false, 2, {1},
                 {6, -6, -2, 2, 10, -10, 127, -128}, {2, -1, 0, 1, 3, -2, 32, -32}},
        // Shift 0: sums pass unchanged up to the 8-bit limits, where they
        // saturate (129 -> 127, -129 -> -128).
        ConvCase{"shift_0", {1, 1, 1, 4}, 1, 1, 1, 0, 1, true, false, false, 0, {3}, {42, -43, 43, -42},
                 {126, -128, 127, -126}},
        // Shift 31: only sums of at least 2^30 survive (as 1).
        ConvCase{"shift_31", {1, 2, 3, 3}, 4, 3, 1, 1, 1, true, false, true, 31, {}, {}, {}},
        ConvCase{"relu_unsigned_out", {2, 3, 5, 5}, 4, 3, 1, 1, 1, true, true, true, 6, {}, {}, {}},
        ConvCase{"unsigned_input_stride_pad", {1, 2, 6, 7}, 3, 3, 2, 1, 1, false, false, true, 9, {}, {}, {}},
        ConvCase{"groups", {1, 4, 4, 4}, 6, 3, 1, 0, 2, true, false, true, 7, {}, {}, {}},
        ConvCase{"per_channel_shifts", {1, 3, 4, 4}, 5, 3, 1, 1, 1, true, false, true, -1, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.what); });

// Deconvolution: one shift from the weight blob; fixtures show the scatter
// of overlapping kernels (stride below the kernel), cropping by padding, the
// rounding of ties, saturation and the extreme shifts.
struct DeconvCase {
  const char* what;
  std::vector<int> in_shape;  // N, C, H, W
  int out, kernel, stride, pad, group;
  bool relu, bias;
  int shift;
  std::vector<int32_t> weights, input, expected;  // empty: random / reference only
};

class Int8Deconvolution : public ::testing::TestWithParam<DeconvCase> {};

TEST_P(Int8Deconvolution, MatchesIntegerReference) {
  const DeconvCase& c = GetParam();
  const int N = c.in_shape[0], C = c.in_shape[1], H = c.in_shape[2], W = c.in_shape[3];
  auto net = MakeNet(WithInput(
      c.in_shape, "layer { name: 'de' type: 'Deconvolution' bottom: 'data' top: 'y' convolution_param { num_output: " +
                      std::to_string(c.out) + " kernel_size: " + std::to_string(c.kernel) +
                      " stride: " + std::to_string(c.stride) + " pad: " + std::to_string(c.pad) +
                      " group: " + std::to_string(c.group) + (c.bias ? "" : " bias_term: false") +
                      " } FollowedByRelu: " + (c.relu ? "true" : "false") + " }"));
  Blob<float>& w = *net->layers()[0]->blobs()[0];
  const std::vector<int32_t> wv = c.weights.empty() ? Random(w.count(), 17, -128, 127) : c.weights;
  SetInt8(&w, wv, true);
  w.setRshiftNum(c.shift);
  std::vector<int32_t> bv;
  if (c.bias) {
    bv = Random(c.out, 18, -32768, 32767);
    SetInt16(net->layers()[0]->blobs()[1].get(), bv);
  }
  const std::vector<int32_t> in = c.input.empty() ? Random(N * C * H * W, 19, -128, 127) : c.input;
  SetInt8(net->input_blobs()[0], in, true);
  Int8Mode mode;
  net->Forward();
  const Blob<float>& y = *net->blob_by_name("y");
  EXPECT_EQ(y.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, !c.relu);
  ref8::Conv g{c.kernel, c.kernel, c.stride, c.stride, c.pad, c.pad, c.group};
  EXPECT_EQ(GetInt8(y), ref8::Deconvolution(in, N, C, H, W, wv, bv, c.out, g, c.shift, c.relu, !c.relu));
  if (!c.expected.empty()) {
    EXPECT_EQ(GetInt8(y), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Int8Deconvolution,
    ::testing::Values(
        // 2x2 kernel with rows (1, 1) and (-1, -1), stride 1: output row 0,
        // j = in[j-1] + in[j] = 1, 3, -3, -1, 131, 127, row 1 its negation;
        // shift 1 rounds every one half up (-0.5 -> 0, -65.5 -> -65).
        DeconvCase{"ties_and_overlap", {1, 1, 1, 5}, 1, 2, 1, 0, 1, false, false, 1, {1, 1, -1, -1}, {1, 2, -5, 4, 127},
                   {1, 2, -1, 0, 66, 64, 0, -1, 2, 1, -65, -63}},
        // Shift 0: 64 * 2 = 128 -> 127, -65 * 2 = -130 -> -128.
        DeconvCase{"shift_0_saturates", {1, 1, 1, 3}, 1, 1, 1, 0, 1, false, false, 0, {2}, {64, -65, 3},
                   {127, -128, 6}},
        DeconvCase{"shift_31", {1, 2, 3, 3}, 3, 3, 2, 0, 1, false, true, 31, {}, {}, {}},
        DeconvCase{"stride_pad_relu", {2, 3, 3, 4}, 2, 3, 2, 1, 1, true, true, 8, {}, {}, {}},
        DeconvCase{"groups", {1, 4, 2, 3}, 6, 2, 2, 0, 2, false, true, 7, {}, {}, {}}),
    [](const auto& info) { return std::string(info.param.what); });

// Inner product: same arithmetic, weights (N, K) or transposed (K, N).
TEST(Int8Layers, InnerProductMatchesIntegerReference) {
  for (bool transpose : {false, true})
    for (bool relu : {false, true}) {
      SCOPED_TRACE(std::string("transpose ") + (transpose ? "1" : "0") + " relu " + (relu ? "1" : "0"));
      auto net = MakeNet(WithInput({2, 3, 2, 2},
                                   "layer { name: 'ip' type: 'InnerProduct' bottom: 'data' top: 'y' "
                                   "inner_product_param { num_output: 5 transpose: " +
                                       std::string(transpose ? "true" : "false") + " } FollowedByRelu: " +
                                       (relu ? "true" : "false") + " }"));
      const int K = 12, M = 2, Nout = 5;
      auto wv = Random(K * Nout, 3, -128, 127), bv = Random(Nout, 4, -2000, 2000), in = Random(M * K, 5, 0, 255);
      SetInt8(net->layers()[0]->blobs()[0].get(), wv, true);
      net->layers()[0]->blobs()[0]->setRshiftNum(5);
      SetInt16(net->layers()[0]->blobs()[1].get(), bv);
      SetInt8(net->input_blobs()[0], in, false);
      Int8Mode mode;
      net->Forward();
      std::vector<int32_t> expected;
      for (int m = 0; m < M; ++m)
        for (int n = 0; n < Nout; ++n) {
          int64_t acc = bv[n];
          for (int k = 0; k < K; ++k) acc += int64_t{in[m * K + k]} * wv[transpose ? k * Nout + n : n * K + k];
          expected.push_back(ref8::Finish(acc, 5, relu, !relu));
        }
      EXPECT_EQ(GetInt8(*net->blob_by_name("y")), expected);
    }
}

// ReLU: plain (unsigned output), leaky with slope 0.1 (multiplier 102, shift
// 10, rounding half up), and capped by upper_limit_uint8.
TEST(Int8Layers, ReLU) {
  const std::vector<int32_t> in = {-128, -100, -5, 0, 5, 127, -11, 90};
  struct Case {
    const char* what;
    std::string param;
    bool out_signed;
    std::vector<int32_t> expected;
  } cases[] = {
      {"plain", "", false, {0, 0, 0, 0, 5, 127, 0, 90}},
      // -100 * 102 / 1024 = -9.96 -> -10; -5 * 102 / 1024 = -0.498 -> 0;
      // -128 * 102 / 1024 = -12.75 -> -13; -11 * 102 / 1024 = -1.0957 -> -1.
      {"leaky", "relu_param { negative_slope: 0.1 } mul_branch: 102 rshift_branch: 10", true,
       {-13, -10, 0, 0, 5, 127, -1, 90}},
      {"capped", "relu_param { upper_limit: 6 upper_limit_uint8: 64 }", false, {0, 0, 0, 0, 5, 64, 0, 64}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput({1, 2, 2, 2}, "layer { name: 'r' type: 'ReLU' bottom: 'data' top: 'y' " + c.param + " }"));
    SetInt8(net->input_blobs()[0], in, true);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name("y");
    EXPECT_EQ(y.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, c.out_signed);
    EXPECT_EQ(GetInt8(y), c.expected);
  }
}

// Pooling keeps the input's sign: unsigned values above 127 compare as such;
// the average rounds half up (both signs).
TEST(Int8Layers, Pooling) {
  struct Case {
    const char* what;
    std::string param;
    bool in_signed;
    std::vector<int32_t> in, expected;
  } cases[] = {
      {"max_unsigned", "pool: MAX kernel_size: 2 stride: 2", false, {200, 3, 100, 255, 0, 1, 2, 3}, {200, 255}},
      {"max_signed", "pool: MAX kernel_size: 2 stride: 2", true, {-5, -3, -100, -128, -7, -9, -2, -1}, {-3, -1}},
      // (1 + 2 + 2 + 2) / 4 = 1.75 -> 2; (-1 - 1 + 0 + 0) / 4 = -0.5 -> 0;
      {"average", "pool: AVE kernel_size: 2 stride: 2", true, {1, 2, -1, -1, 2, 2, 0, 0}, {2, 0}},
      // (-1 - 2 - 2 - 2) / 4 = -1.75 -> -2; (3 + 3 + 0 + 0) / 4 = 1.5 -> 2.
      {"average_neg", "pool: AVE kernel_size: 2 stride: 2", true, {-1, -2, 3, 3, -2, -2, 0, 0}, {-2, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput({1, 1, 2, 4}, "layer { name: 'p' type: 'Pooling' bottom: 'data' top: 'y' pooling_param { " +
                                                   c.param + " } }"));
    SetInt8(net->input_blobs()[0], c.in, c.in_signed);
    Int8Mode mode;
    net->Forward();
    EXPECT_EQ(net->blob_by_name("y")->fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, c.in_signed);
    EXPECT_EQ(GetInt8(*net->blob_by_name("y")), c.expected);
  }
}

// A data layer quantizes its output with 128 / th_top (round half up,
// saturated); a float layer reads 8-bit values times its input scale and
// hands on floats; layers that only move values pass bytes and sign on.
TEST(Int8Layers, DataFloatAndMovingLayers) {
  auto net = MakeNet(
      "name: 't' "
      "layer { name: 'd' type: 'DummyData' top: 'x' dummy_data_param { shape { dim: 1 dim: 4 } "
      "  data_filler { type: 'constant' value: 0.75 } } th_top: 2.0 }"
      "layer { name: 'f' type: 'Flatten' bottom: 'x' top: 'xf' }"
      "layer { name: 'sm' type: 'Softmax' bottom: 'xf' top: 'p' scaleConvertBackToFloat_input: 0.015625 "
      "  output_is_float: true }"
      "layer { name: 'q' type: 'Dropout' bottom: 'xf' top: 'xq' }");
  Int8Mode mode;
  net->Forward();
  // 0.75 * 64 = 48.
  EXPECT_EQ(GetInt8(*net->blob_by_name("x")), std::vector<int32_t>(4, 48));
  EXPECT_FALSE(net->blob_by_name("xf")->holds_float());
  EXPECT_EQ(GetInt8(*net->blob_by_name("xq")), std::vector<int32_t>(4, 48));
  EXPECT_TRUE(net->blob_by_name("p")->holds_float());
  for (float v : tools_test::Values(*net->blob_by_name("p"))) EXPECT_FLOAT_EQ(v, 0.25f);

  // Saturation of the input: 1.5 * 128 = 192 -> 127; ties: 0.25 * 128 / 64
  // gives 0.5 -> 1, -0.5 -> 0.
  auto sat = MakeNet(
      "name: 's' layer { name: 'd' type: 'DummyData' top: 'x' dummy_data_param { shape { dim: 1 } "
      "  data_filler { type: 'constant' value: 1.5 } } th_top: 1.0 }");
  sat->Forward();
  EXPECT_EQ(GetInt8(*sat->blob_by_name("x")), std::vector<int32_t>{127});
  auto tie = MakeNet(
      "name: 's' layer { name: 'd' type: 'DummyData' top: 'x' top: 'y' dummy_data_param { shape { dim: 1 } "
      "  data_filler { type: 'constant' value: 0.25 } data_filler { type: 'constant' value: -0.25 } } th_top: 64.0 "
      "  scaleConvertBackToFloat_output_mul: 0.5 scaleConvertBackToFloat_output_mul: 0.5 }");
  tie->Forward();
  EXPECT_EQ(GetInt8(*tie->blob_by_name("x")), std::vector<int32_t>{1});
  EXPECT_TRUE(tie->blob_by_name("y")->holds_float()) << "only the first top of a data layer is quantized";
}

// Concat and Eltwise rescale each input by its branch entry (x * mul >> s,
// half up) into the output's scale; Eltwise adds (or takes the maximum)
// before saturating.  Inputs a (signed) and b (unsigned), 1 x 2 x 1 x 2.
TEST(Int8Layers, BranchLayers) {
  const std::vector<int32_t> a = {-128, 3, 100, -7}, b = {255, 0, 6, 2};
  // Branch a: x * 64 >> 7 (halves); branch b: x * 96 >> 6 (x 1.5).
  const std::string branches = "mul_branch: 64 mul_branch: 96 rshift_branch: 7 rshift_branch: 6";
  auto half = [](int64_t x) { return ref8::ShiftRound(x * 64, 7); };
  auto three_halves = [](int64_t x) { return ref8::ShiftRound(x * 96, 6); };
  struct Case {
    const char* what;
    std::string layer;
    std::vector<int> shape;
    std::vector<int32_t> expected;
  } cases[] = {
      // Channel axis: a's two channels, then b's: -64, 2 (1.5 -> 2), 50,
      // -3 (-3.5 -> -3); 382 -> 127, 0, 9, 3.
      {"concat_channels", "type: 'Concat' bottom: 'a' bottom: 'b' top: 'y' concat_param { axis: 1 }", {1, 4, 1, 2},
       {-64, 2, 50, -3, 127, 0, 9, 3}},
      {"concat_width", "type: 'Concat' bottom: 'a' bottom: 'b' top: 'y' concat_param { axis: 3 }", {1, 2, 1, 4},
       {-64, 2, 127, 0, 50, -3, 9, 3}},
      {"sum", "type: 'Eltwise' bottom: 'a' bottom: 'b' top: 'y'", {1, 2, 1, 2}, {}},
      {"max", "type: 'Eltwise' bottom: 'a' bottom: 'b' top: 'y' eltwise_param { operation: MAX }", {1, 2, 1, 2}, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.expected.empty())
      for (int i = 0; i < 4; ++i) {
        const int64_t x = half(a[i]), y = three_halves(b[i]);
        c.expected.push_back(ref8::Saturate(std::string(c.what) == "max" ? std::max(x, y) : x + y, true));
      }
    auto net = MakeNet("name: 'b' input: 'a' input_shape { dim: 1 dim: 2 dim: 1 dim: 2 } "
                       "input: 'b' input_shape { dim: 1 dim: 2 dim: 1 dim: 2 } layer { name: 'l' " +
                       c.layer + " " + branches + " }");
    SetInt8(net->blob_by_name("a").get(), a, true);
    SetInt8(net->blob_by_name("b").get(), b, false);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name("y");
    EXPECT_EQ(y.shape(), c.shape);
    EXPECT_EQ(y.fixed_sign_type(), qrn::BlobProto_FixedSignType_SIGNED);
    EXPECT_EQ(GetInt8(y), c.expected);
  }
}

// rshift_per_layer bytes as a text-format string (octal escapes).
std::string ShiftBytes(const std::vector<int>& shifts) {
  std::string text;
  for (int s : shifts) {
    const unsigned v = static_cast<uint8_t>(static_cast<int8_t>(s));
    text += "\\" + std::to_string(v / 64) + std::to_string(v / 8 % 8) + std::to_string(v % 8);
  }
  return text;
}

// BatchNorm and Scale: per channel an 8-bit multiplier, a 16-bit bias (whose
// rounding half the quantizer already added, so the shift rounds down) and a
// signed shift byte; the sum is held in 16 bits.  Input 1 x 2 x 1 x 4.
TEST(Int8Layers, BatchNormAndScale) {
  const std::vector<int32_t> in_signed = {-128, -3, 5, 127, 1, 2, 3, -1};
  const std::vector<int32_t> in_unsigned = {255, 0, 5, 128, 1, 2, 3, 200};
  struct Case {
    const char* what;
    std::string type;  // "BatchNorm" or "Scale" (with bias when b is not empty)
    bool in_signed, relu, in_place;
    std::vector<int32_t> m, b;
    std::vector<int> shifts;
    std::vector<int32_t> expected;  // empty: from the reference only
  } cases[] = {
      // Channel 0: (-382, -7, 17, 383) / 4 rounded down -> -96, -2, 4, 95;
      // channel 1 with shift 0: -2x + 1.
      {"floor_shift", "BatchNorm", true, false, false, {3, -2}, {2, 1}, {2, 0}, {-96, -2, 4, 95, -1, -3, -5, 3}},
      // 127 * 127 + 32767 holds as 32767 -> 63 (not 95) after shift 9; the
      // negative end likewise -49024 -> -32768 -> -64 (not -96).
      {"sum_held_in_16_bits", "BatchNorm", true, false, false, {127, 1}, {32767, -32768}, {9, 9}, {}},
      // Shift 31: every sum becomes 0 or (negative) -1.
      {"shift_31", "Scale", true, false, false, {100, -100}, {0, 5}, {31, 31}, {-1, -1, 0, 0, -1, -1, -1, 0}},
      // A negative shift multiplies: 2x (channel 0) and 8x, saturating.
      {"left_shift", "Scale", true, false, false, {1, 1}, {}, {-1, -3}, {-128, -6, 10, 127, 8, 16, 24, -8}},
      {"unsigned_input", "Scale", false, false, false, {3, -5}, {-100, 700}, {3, 4}, {}},
      {"relu_unsigned_out", "BatchNorm", true, true, false, {90, -77}, {-300, 40}, {5, 6}, {}},
      {"in_place", "BatchNorm", false, false, true, {-7, 9}, {12, -12}, {1, 2}, {}},
      // All zero: folded into the layer before, the input is handed on.
      {"folded_scale", "Scale", true, false, false, {0, 0}, {0, 0}, {0, 0}, {-128, -3, 5, 127, 1, 2, 3, -1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool bn = c.type == "BatchNorm";
    const std::string top = c.in_place ? "data" : "y";
    const std::string param = bn ? "batch_norm_param { rshift_per_layer: \"" + ShiftBytes(c.shifts) + "\" }"
                                 : std::string("scale_param { bias_term: ") + (c.b.empty() ? "false" : "true") +
                                       " rshift_per_layer: \"" + ShiftBytes(c.shifts) + "\" }";
    auto net = MakeNet(WithInput({1, 2, 1, 4}, "layer { name: 'l' type: '" + c.type + "' bottom: 'data' top: '" + top +
                                                   "' " + param + " FollowedByRelu: " + (c.relu ? "true" : "false") +
                                                   " }"));
    auto& blobs = net->layers()[0]->blobs();
    SetInt8(blobs[bn ? 1 : 0].get(), c.m, true);
    if (!c.b.empty()) SetInt16(blobs[bn ? 0 : 1].get(), c.b);
    const std::vector<int32_t>& in = c.in_signed ? in_signed : in_unsigned;
    SetInt8(net->input_blobs()[0], in, c.in_signed);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name(top);
    const bool folded = std::string(c.what) == "folded_scale";
    const bool out_signed = folded ? c.in_signed : !c.relu;
    EXPECT_EQ(y.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, out_signed);
    std::vector<int32_t> expected;
    for (int i = 0; i < 8; ++i) {
      const int ch = i / 4;
      expected.push_back(folded ? in[i]
                                : ref8::Affine(in[i], c.m[ch], c.b.empty() ? 0 : c.b[ch], c.shifts[ch], c.relu,
                                               out_signed));
    }
    EXPECT_EQ(GetInt8(y), expected);
    if (!c.expected.empty()) {
      EXPECT_EQ(GetInt8(y), c.expected);
    }
  }
}

// Bias: x * mul_branch[0] + bias[c], shifted right by rshift_branch[0] half
// up, saturated (signed unless fused with its ReLU).  Input 1 x 2 x 1 x 4.
TEST(Int8Layers, Bias) {
  const std::vector<int32_t> in = {-128, -3, 5, 127, 1, 2, 3, -1};
  struct Case {
    const char* what;
    int mul, shift;
    bool relu;
    std::vector<int32_t> b, expected;
  } cases[] = {
      // x * 64 + b over 128: channel 0 (b = 64): -63.5 -> -63, -1 -> -1,
      // 3 -> 3, 64 -> 64; channel 1 (b = -32): 0.25 -> 0, 0.75 -> 1,
      // 1.25 -> 1, -0.75 -> -1.
      {"ties", 64, 7, false, {64, -32}, {-63, -1, 3, 64, 0, 1, 1, -1}},
      // Shift 0: x * 2 + b saturates at both ends.
      {"shift_0_saturates", 2, 0, false, {0, 100}, {-128, -6, 10, 127, 102, 104, 106, 98}},
      {"shift_31", 127, 31, false, {32767, -32768}, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"relu", 100, 6, true, {-500, 900}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput({1, 2, 1, 4}, "layer { name: 'l' type: 'Bias' bottom: 'data' top: 'y' mul_branch: " +
                                                   std::to_string(c.mul) + " rshift_branch: " + std::to_string(c.shift) +
                                                   " FollowedByRelu: " + (c.relu ? "true" : "false") + " }"));
    SetInt16(net->layers()[0]->blobs()[0].get(), c.b);
    SetInt8(net->input_blobs()[0], in, true);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name("y");
    EXPECT_EQ(y.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, !c.relu);
    std::vector<int32_t> expected;
    for (int i = 0; i < 8; ++i) expected.push_back(ref8::Finish(int64_t{in[i]} * c.mul + c.b[i / 4], c.shift, c.relu, !c.relu));
    EXPECT_EQ(GetInt8(y), expected);
    if (!c.expected.empty()) {
      EXPECT_EQ(GetInt8(y), c.expected);
    }
  }
}

// PReLU: negatives times their channel's 8-bit slope, shifted right by the
// slope blob's shift half up; positives unchanged.  Input 1 x 2 x 1 x 4.
TEST(Int8Layers, PReLU) {
  const std::vector<int32_t> in = {-128, -3, 5, 127, -1, -2, -127, 0};
  struct Case {
    const char* what;
    bool shared, slope_unsigned;
    std::vector<int32_t> slope;
    int shift;
    std::vector<int32_t> expected;
  } cases[] = {
      // Channel 0 x 64 / 128: -64, -1.5 -> -1; channel 1 x 3 / 128: -0.0234
      // -> 0, -0.047 -> 0, -2.98 -> -3.
      {"ties", false, false, {64, 3}, 7, {-64, -1, 5, 127, 0, 0, -3, 0}},
      // Shift 0: -128 x 2 saturates at -128; -127 x -1 = 127.
      {"shift_0_saturates", false, false, {2, -1}, 0, {-128, -6, 5, 127, 1, 2, 127, 0}},
      // Shift 31 with a shared slope: every product rounds to 0.
      {"shift_31", true, false, {127}, 31, {0, 0, 5, 127, 0, 0, 0, 0}},
      // Slopes of the quantizer's unsigned blob read as 0 to 255.
      {"unsigned_slopes", false, true, {200, 130}, 8, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput({1, 2, 1, 4}, std::string("layer { name: 'l' type: 'PReLU' bottom: 'data' top: 'y' "
                                                           "prelu_param { channel_shared: ") +
                                                   (c.shared ? "true" : "false") + " } }"));
    Blob<float>& slope = *net->layers()[0]->blobs()[0];
    SetInt8(&slope, c.slope, !c.slope_unsigned);
    slope.setRshiftNum(c.shift);
    SetInt8(net->input_blobs()[0], in, true);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name("y");
    EXPECT_EQ(y.fixed_sign_type(), qrn::BlobProto_FixedSignType_SIGNED);
    std::vector<int32_t> expected;
    for (int i = 0; i < 8; ++i)
      expected.push_back(in[i] >= 0 ? in[i] : ref8::Finish(int64_t{in[i]} * c.slope[c.shared ? 0 : i / 4], c.shift, false, true));
    EXPECT_EQ(GetInt8(y), expected);
    if (!c.expected.empty()) {
      EXPECT_EQ(GetInt8(y), c.expected);
    }
  }
}

// LRN and Normalize compute in float in an 8-bit run: inputs read back with
// scaleConvertBackToFloat_input, outputs quantized with 128 / th_top (half
// up, saturated) unless output_is_float.  Normalize's scales come as the
// quantizer stores them: times 128 / th_top, bit width 32.
TEST(Int8Layers, LayersComputingInFloat) {
  struct Case {
    const char* what;
    std::vector<int> shape;
    std::string layer;
    std::vector<int32_t> in;
    std::vector<float> normalize_scale;  // float scales of Normalize, else empty
    std::vector<int32_t> expected;
    std::vector<float> expected_float;  // output_is_float
  } cases[] = {
      // x = 1, -2, 0.5, 0 (input scale 1/64); y = x / (1 + x^2) = 0.5, -0.4,
      // 0.4, 0; times 128: 64, -51.2, 51.2, 0.
      {"lrn", {1, 1, 1, 4},
       "type: 'LRN' lrn_param { local_size: 1 alpha: 1 beta: 1 k: 1 } scaleConvertBackToFloat_input: 0.015625 th_top: 1",
       {64, -128, 32, 0}, {}, {64, -51, 51, 0}, {}},
      {"lrn_float_output",  {1, 1, 1, 4},
       "type: 'LRN' lrn_param { local_size: 1 alpha: 1 beta: 1 k: 1 } scaleConvertBackToFloat_input: 0.015625 "
       "output_is_float: true",
       {64, -128, 32, 0}, {}, {}, {0.5f, -0.4f, 0.4f, 0.0f}},
      // Positions (3, 4) and (-3, 4) over the channels, norm 5; scales 2 and
      // 4: 1.2 and -1.2 times 64 -> 77, -77; 3.2 x 64 saturates.
      {"normalize", {1, 2, 1, 2},
       "type: 'Normalize' normalize_param { across_spatial: false channel_shared: false } scaleConvertBackToFloat_input: 0.5 th_top: 2",
       {6, -6, 8, 8}, {2.0f, 4.0f}, {77, -77, 127, 127}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput(c.shape, "layer { name: 'l' bottom: 'data' top: 'y' " + c.layer + " }"));
    if (!c.normalize_scale.empty()) {
      Blob<float>& scale = *net->layers()[0]->blobs()[0];
      for (int i = 0; i < scale.count(); ++i)
        scale.mutable_cpu_data()[i] = c.normalize_scale[i] * 128.0f / net->layers()[0]->layer_param().th_top();
      scale.setBitWidth(qrn::bitWidth_32);
    }
    SetInt8(net->input_blobs()[0], c.in, true);
    Int8Mode mode;
    net->Forward();
    const Blob<float>& y = *net->blob_by_name("y");
    if (c.expected_float.empty()) {
      EXPECT_FALSE(y.holds_float());
      EXPECT_EQ(GetInt8(y), c.expected);
    } else {
      EXPECT_TRUE(y.holds_float());
      const auto v = tools_test::Values(y);
      ASSERT_EQ(v.size(), c.expected_float.size());
      for (size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], c.expected_float[i], 1e-6);
    }
  }
}

// Mode INT8: a layer without an 8-bit form stops the run naming it.
TEST(Int8Layers, LayerWithoutInt8FormStops) {
  tools_test::RegisterStubLayers({"Yolo"});
  auto net = MakeNet(WithInput({1, 2, 2, 2}, "layer { name: 'e' type: 'Yolo' bottom: 'data' top: 'y' }"));
  SetInt8(net->input_blobs()[0], std::vector<int32_t>(8, 1), true);
  EXPECT_DEATH(
      {
        Int8Mode mode;
        net->Forward();
      },
      "Yolo layer 'e': has no 8-bit forward");
}

// In mode INT8 the weights file's layer definitions bring their calibration
// fields; the definition keeps its wiring.
TEST(Int8Layers, WeightsFileBringsCalibrationFields) {
  const std::string def = WithInput({1, 1, 1, 2}, "layer { name: 'ip' type: 'InnerProduct' bottom: 'data' top: 'y' "
                                                  "inner_product_param { num_output: 1 bias_term: false } }");
  qrn::NetParameter model = tools_test::ParseNet(def);
  model.mutable_layer(0)->set_th_top(3.0f);
  model.mutable_layer(0)->set_followedbyrelu(true);
  model.mutable_layer(0)->clear_top();
  model.mutable_layer(0)->add_top("other_name");
  qrn::BlobProto* w = model.mutable_layer(0)->add_blobs();
  w->mutable_shape()->add_dim(1);
  w->mutable_shape()->add_dim(2);
  const int8_t raw[8] = {2, -3};
  w->set_raw_data(reinterpret_cast<const char*>(raw), 8);
  w->set_bit_width(qrn::bitWidth_8);
  w->set_right_shift_num(1);
  TempDir dir;
  ASSERT_TRUE(qrn::WriteProtoToBinaryFile(model, dir / "m.int8qmodel"));

  Int8Mode mode;
  auto net = MakeNet(def);
  net->CopyTrainedLayersFrom(dir / "m.int8qmodel");
  const auto& p = net->layers()[0]->layer_param();
  EXPECT_EQ(p.th_top(), 3.0f);
  EXPECT_TRUE(p.followedbyrelu());
  EXPECT_EQ(p.top(0), "y");
  SetInt8(net->input_blobs()[0], {10, 3}, true);
  net->Forward();
  // (20 - 9) / 2 = 5.5 -> 6.
  EXPECT_EQ(GetInt8(*net->blob_by_name("y")), std::vector<int32_t>{6});
  // Through the same bytes, negative sums are rectified.
  SetInt8(net->input_blobs()[0], {-10, 3}, true);
  net->Forward();
  EXPECT_EQ(GetInt8(*net->blob_by_name("y")), std::vector<int32_t>{0});
}

}  // namespace
