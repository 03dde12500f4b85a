// scalefinder's per-layer quantization rules: weighted layers, float outputs
// and pass-through layers, branch multipliers, per-channel scales and tables.
#include <cmath>

#include "math_util.hpp"
#include "quantize_rules.hpp"
#include "stub_layers.hpp"
#include "test_util.hpp"

using qrn::Blob;
using qrn::LayerParameter;
using qrn::Net;
using tools_test::MakeNet;

namespace {

class Rules : public ::testing::Test {
 protected:
  void SetUp() override { tools_test::RegisterAllStubLayers(); }

  // Builds the net and sets the thresholds of the named blobs (and of the
  // copies that the framework's Split layers make of them).
  Net<float>& Build(const std::string& text, const std::map<std::string, float>& thresholds) {
    net_ = MakeNet(text);
    for (const auto& t : thresholds) {
      EXPECT_TRUE(net_->has_blob(t.first)) << t.first;
      net_->blob_by_name(t.first)->setThresHold(t.second);
    }
    for (size_t i = 0; i < net_->layers().size(); ++i)
      if (std::string(net_->layers()[i]->type()) == "Split")
        for (auto* top : net_->top_vecs()[i]) top->setThresHold(net_->bottom_vecs()[i][0]->thresHold());
    return *net_;
  }
  size_t Index(const std::string& name) {
    const auto& names = net_->layer_names();
    return std::find(names.begin(), names.end(), name) - names.begin();
  }
  const LayerParameter& P(const std::string& name) { return net_->layers()[Index(name)]->layer_param(); }
  Blob<float>& B(const std::string& layer, int k) { return *net_->layers()[Index(layer)]->blobs()[k]; }

  std::unique_ptr<Net<float>> net_;
};
using RulesDeathTest = Rules;

std::string Input(const std::string& name, const std::string& dims) {
  return "input: '" + name + "' input_shape { " + dims + " } ";
}

std::string BlobText(const std::string& dims, const std::vector<float>& values) {
  std::string s = "blobs { shape { " + dims + " } ";
  for (float v : values) s += "data: " + std::to_string(v) + " ";
  return s + "} ";
}

std::vector<int> Int8(const Blob<float>& b, int n, int offset = 0) {
  return std::vector<int>(b.cpu_int8_data() + offset, b.cpu_int8_data() + offset + n);
}
std::vector<int> Int16(const Blob<float>& b, int n, int offset = 0) {
  return std::vector<int>(b.cpu_int16_data() + offset, b.cpu_int16_data() + offset + n);
}
std::vector<int> Bytes(const std::string& s) {
  return std::vector<int>(s.begin(), s.end());  // signed bytes
}
template <typename T>
std::vector<T> List(const google::protobuf::RepeatedField<T>& f) {
  return std::vector<T>(f.begin(), f.end());
}
uint32_t Signed(int v) { return static_cast<uint32_t>(v); }

// ---- weighted layers --------------------------------------------------------

TEST_F(Rules, InnerProductWeightsBiasAndSigns) {
  struct Case {
    const char* what;
    std::vector<float> bias;
    int shift;
    std::vector<int> q_bias, q_weights;
  };
  // Weights up to 1 between thresholds 1 and 1: shift 6 (1 * 64 < 127).
  const Case cases[] = {
      {"bias fits", {0.01f, -0.02f}, 6, {82, -164}, {32, -16, 64, 0, 8, -64}},
      {"a bias that overflows lowers the shared shift", {5.0f, 0.0f}, 5, {20480, 0}, {16, -8, 32, 0, 4, -32}},
      {"a bias that overflows at shift 0 saturates", {1000.0f, 1.0f}, 0, {32767, 128}, {1, 0, 1, 0, 0, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Build(Input("in", "dim: 1 dim: 3") +
              "layer { name: 'ip' type: 'InnerProduct' bottom: 'in' top: 'ip' inner_product_param { num_output: 2 } " +
              BlobText("dim: 2 dim: 3", {0.5f, -0.25f, 1.0f, 0.0f, 0.125f, -1.0f}) + BlobText("dim: 2", c.bias) + "}",
          {{"in", 1.0f}, {"ip", 1.0f}});
    quantize_convlike_layer_int8(*net_, Index("ip"));
    EXPECT_EQ(Int8(B("ip", 0), 6), c.q_weights);
    EXPECT_EQ(Int16(B("ip", 1), 2), c.q_bias);
    EXPECT_EQ(B("ip", 0).rshiftNum(), c.shift);
    EXPECT_EQ(B("ip", 1).rshiftNum(), c.shift);
    EXPECT_EQ(B("ip", 0).bitWidth(), qrn::bitWidth_8);
    EXPECT_EQ(B("ip", 1).bitWidth(), qrn::bitWidth_16);
    EXPECT_EQ(B("ip", 0).fixed_sign_type(), qrn::BlobProto_FixedSignType_SIGNED);
    EXPECT_EQ(B("ip", 1).fixed_sign_type(), c.bias[1] >= 0 && c.bias[0] >= 0 ? qrn::BlobProto_FixedSignType_UNSIGNED
                                                                             : qrn::BlobProto_FixedSignType_SIGNED);
  }
}

TEST_F(Rules, WeightedRuleOnOtherBlobCounts) {
  // PReLU slopes all >= 0 are unsigned; zero weights give shift 0; a third
  // blob is left as it is.
  Build(Input("in", "dim: 1 dim: 2 dim: 2 dim: 2") +
            "layer { name: 'prelu' type: 'PReLU' bottom: 'in' top: 'p' " + BlobText("dim: 2", {0.25f, 0.0f}) + "} " +
            "layer { name: 'w3' type: 'Permute' bottom: 'p' top: 'w3' " + BlobText("dim: 2", {0.0f, 0.0f}) +
            BlobText("dim: 1", {-3.0f}) + BlobText("dim: 1", {7.0f}) + "}",
        {{"in", 1.0f}, {"p", 1.0f}, {"w3", 1.0f}});
  quantize_convlike_layer_int8(*net_, Index("prelu"));
  EXPECT_EQ(Int8(B("prelu", 0), 2), (std::vector<int>{64, 0}));  // 0.25 with shift 8
  EXPECT_EQ(B("prelu", 0).fixed_sign_type(), qrn::BlobProto_FixedSignType_UNSIGNED);
  quantize_convlike_layer_int8(*net_, Index("w3"));
  EXPECT_EQ(B("w3", 0).rshiftNum(), 0);
  EXPECT_EQ(B("w3", 1).cpu_data()[0], -3.0f);
  EXPECT_FALSE(B("w3", 1).isQuantized());
  EXPECT_EQ(B("w3", 2).cpu_data()[0], 7.0f);
}

std::string ConvNet(const std::string& conv_param, int in_channels, int in_size, int out_channels) {
  const std::string dims = "dim: 1 dim: " + std::to_string(in_channels) + " dim: " + std::to_string(in_size) +
                           " dim: " + std::to_string(in_size);
  return Input("in", dims) + "layer { name: 'conv' type: 'Convolution' bottom: 'in' top: 'conv' "
                             "convolution_param { num_output: " +
         std::to_string(out_channels) + " " + conv_param + " weight_filler { type: 'gaussian' std: 0.3 } "
                                                           "bias_filler { type: 'gaussian' std: 0.1 } } }";
}

TEST_F(Rules, WinogradQualification) {
  struct Case {
    const char* what;
    std::string param;
    int in_channels, in_size, out_channels;
    bool winograd;
  };
  const Case cases[] = {
      {"3x3, stride 1, 56x56 output", "kernel_size: 3 pad: 1", 2, 56, 8, true},
      {"3x3 output", "kernel_size: 3", 2, 5, 8, false},
      {"stride_h 2", "kernel_size: 3 pad: 1 stride_h: 2 stride_w: 1", 2, 56, 8, false},
      {"48 outputs per group", "kernel_size: 3 pad: 1 group: 2", 2, 8, 96, false},
      {"64 outputs per group", "kernel_size: 3 pad: 1 group: 2", 2, 8, 128, true},
      {"dilation 2", "kernel_size: 3 pad: 2 dilation: 2", 2, 8, 8, false},
      {"1x1", "kernel_size: 1", 2, 8, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Build(ConvNet(c.param, c.in_channels, c.in_size, c.out_channels), {{"in", 2.0f}, {"conv", 4.0f}});
    Blob<float>& w = B("conv", 0);
    Blob<float>& b = B("conv", 1);
    const std::vector<float> weights(w.cpu_data(), w.cpu_data() + w.count());
    const std::vector<float> bias(b.cpu_data(), b.cpu_data() + b.count());
    quantize_convolution_layer_int8(*net_, Index("conv"), false);
    EXPECT_EQ(w.winograd_existence(), c.winograd ? 1 : 0);
    if (!c.winograd) continue;
    // The transformed weights follow the plain ones; the Winograd bias
    // follows the plain bias.
    const int ws = std::max(0, calWinogradRightShiftNum(weights.data(), w.count(), 2.0, 4.0, 8));
    std::vector<char> expected(static_cast<size_t>(w.count()) * 16 / 9);
    quantizeToWinogradInt8(weights.data(), expected.data(), w.count(), 2.0f, 4.0f, ws);
    EXPECT_EQ(w.rWinogradshiftNum(), ws);
    EXPECT_EQ(Int8(w, static_cast<int>(expected.size()), w.count()), std::vector<int>(expected.begin(), expected.end()));
    std::vector<short> qb(bias.size());
    quantizeToInt16(bias.data(), qb.data(), static_cast<int>(bias.size()), static_cast<float>(std::ldexp(128.0, ws) / 4.0), 0);
    EXPECT_EQ(Int16(b, b.count(), b.count()), std::vector<int>(qb.begin(), qb.end()));
    EXPECT_EQ(b.winograd_existence(), 1);
  }
}

TEST_F(Rules, ConvolutionShiftPerChannel) {
  // Channel 1's weights alone allow shift 8 (0.25 * 2^9 = 128), but its bias
  // 1.5 overflows int16 there and takes 7; the layer shift comes from all
  // weights (6).
  const std::string text = Input("in", "dim: 1 dim: 1 dim: 2 dim: 2") +
                           "layer { name: 'conv' type: 'Convolution' bottom: 'in' top: 'conv' "
                           "convolution_param { num_output: 2 kernel_size: 1 } " +
                           BlobText("dim: 2 dim: 1 dim: 1 dim: 1", {1.0f, 0.25f}) + BlobText("dim: 2", {0.0f, 1.5f}) + "}";
  Build(text, {{"in", 1.0f}, {"conv", 1.0f}});
  quantize_convolution_layer_int8(*net_, Index("conv"), true);
  EXPECT_EQ(Bytes(P("conv").convolution_param().rshift_per_layer()), (std::vector<int>{6, 7}));
  EXPECT_TRUE(P("conv").convolution_param().per_channel_en());
  EXPECT_EQ(Int8(B("conv", 0), 2), (std::vector<int>{64, 32}));
  EXPECT_EQ(Int16(B("conv", 1), 2), (std::vector<int>{0, 24576}));
  EXPECT_EQ(B("conv", 0).rshiftNum(), 6);
  EXPECT_EQ(B("conv", 1).rshiftNum(), 6);

  // A depthwise convolution keeps one shift for the layer.
  Build(Input("in", "dim: 1 dim: 2 dim: 2 dim: 2") +
            "layer { name: 'conv' type: 'Convolution' bottom: 'in' top: 'conv' "
            "convolution_param { num_output: 2 kernel_size: 1 group: 2 } " +
            BlobText("dim: 2 dim: 1 dim: 1 dim: 1", {1.0f, 0.25f}) + BlobText("dim: 2", {0.0f, 1.5f}) + "}",
        {{"in", 1.0f}, {"conv", 1.0f}});
  quantize_convolution_layer_int8(*net_, Index("conv"), true);
  EXPECT_FALSE(P("conv").convolution_param().has_rshift_per_layer());
  EXPECT_EQ(Int8(B("conv", 0), 2), (std::vector<int>{64, 16}));
}

// ---- float outputs and pass-through layers ----------------------------------

TEST_F(Rules, OutputIsFloat) {
  Build(Input("in", "dim: 1 dim: 2 dim: 2 dim: 2") + Input("x1", "dim: 1 dim: 2 dim: 2 dim: 2") +
            Input("x2", "dim: 1 dim: 2 dim: 2 dim: 2") +
            "layer { name: 'pb1' type: 'PriorBox' bottom: 'in' top: 'pb1' } "
            "layer { name: 'pb2' type: 'PriorBox' bottom: 'in' top: 'pb2' } "
            "layer { name: 'boxes' type: 'Concat' bottom: 'pb1' bottom: 'pb2' top: 'boxes' } "
            "layer { name: 'inputs' type: 'Concat' bottom: 'x1' bottom: 'x2' top: 'inputs' } "
            "layer { name: 'conv' type: 'Convolution' bottom: 'inputs' top: 'conv' convolution_param { num_output: 2 kernel_size: 1 } } "
            "layer { name: 'cat' type: 'Concat' bottom: 'conv' top: 'cat' } "
            "layer { name: 'out' type: 'Output' bottom: 'cat' top: 'out' } "
            "layer { name: 'rs_conv' type: 'Reshape' bottom: 'conv' top: 'rs_conv' reshape_param { shape { dim: 0 dim: -1 } } } "
            "layer { name: 'prob' type: 'Softmax' bottom: 'conv' top: 'prob' } "
            "layer { name: 'rs' type: 'Reshape' bottom: 'prob' top: 'rs' reshape_param { shape { dim: 0 dim: -1 } } } "
            "layer { name: 'flat' type: 'Flatten' bottom: 'rs' top: 'flat' } "
            "layer { name: 'rs_in' type: 'Reshape' bottom: 'in' top: 'rs_in' reshape_param { shape { dim: 0 dim: -1 } } }",
        {});
  set_output_is_float(*net_);
  std::vector<std::string> floats;
  for (size_t i = 0; i < net_->layers().size(); ++i)
    if (net_->layers()[i]->layer_param().output_is_float() && std::string(net_->layers()[i]->type()) != "Split")
      floats.push_back(net_->layer_names()[i]);
  // PriorBox outputs and their Concat, a Concat of net inputs, a Concat
  // before an Output (and the Output after it), Softmax and the layers that
  // only reshape it.
  EXPECT_EQ(floats, (std::vector<std::string>{"pb1", "pb2", "boxes", "inputs", "cat", "out", "prob", "rs", "flat"}));
}

TEST_F(RulesDeathTest, ConcatOfPriorBoxAndOtherLayers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Build(Input("in", "dim: 1 dim: 2") +
            "layer { name: 'pb' type: 'PriorBox' bottom: 'in' top: 'pb' } "
            "layer { name: 'r' type: 'ReLU' bottom: 'in' top: 'r' } "
            "layer { name: 'cat' type: 'Concat' bottom: 'pb' bottom: 'r' top: 'cat' }",
        {});
  EXPECT_DEATH(set_output_is_float(*net_), "num_priorbox_layer == 0");
}

TEST_F(Rules, FloatLayerOutputFollowsItsConsumers) {
  struct Case {
    const char* type;
    const char* extra;
    bool b_float;
    bool expected;
  };
  for (const Case& c : {Case{"DummyData", "dummy_data_param { shape { dim: 1 dim: 2 } }", true, true},
                        Case{"DummyData", "dummy_data_param { shape { dim: 1 dim: 2 } }", false, false},
                        Case{"Permute", "bottom: 'in'", true, false}}) {
    SCOPED_TRACE(std::string(c.type) + (c.b_float ? " with one float consumer" : ""));
    Build(Input("in", "dim: 1 dim: 2") + "layer { name: 'x' type: '" + c.type + "' top: 'x' " + c.extra + " } " +
              "layer { name: 'a' type: 'ReLU' bottom: 'x' top: 'a' } " +
              "layer { name: 'b' type: 'ReLU' bottom: 'x' top: 'b' forward_with_float: " +
              (c.b_float ? "true" : "false") + " } " + "layer { name: 'end' type: 'ReLU' bottom: 'b' top: 'end' }",
          {});
    quantize_float_layer_int8(*net_, Index("x"));
    EXPECT_EQ(P("x").output_is_float(), c.expected);
    const LayerParameter& split = net_->layers()[Index("x") + 1]->layer_param();
    EXPECT_EQ(split.output_is_float(), c.expected);
    EXPECT_EQ(split.forward_with_float(), c.expected);
  }
  quantize_float_layer_int8(*net_, Index("end"));
  EXPECT_TRUE(P("end").output_is_float()) << "no consumers";
}

TEST_F(Rules, SingleValueConversions) {
  Build(Input("in", "dim: 1 dim: 4") + Input("d", "dim: 1 dim: 4") +
            "layer { name: 'pad' type: 'Pad' bottom: 'in' top: 'pad' pad_param { pad_value: 1 } } "
            "layer { name: 'padn' type: 'Pad' bottom: 'in' top: 'padn' pad_param { pad_value: -1 } } "
            "layer { name: 'padh' type: 'Pad' bottom: 'in' top: 'padh' pad_param { pad_value: 0.5 } } "
            "layer { name: 'pad0' type: 'Pad' bottom: 'in' top: 'pad0' pad_param { pad_value: 1 } } "
            "layer { name: 'fill' type: 'ConstantFill' bottom: 'in' top: 'fill' constant_fill_param { value: 2 } } "
            "layer { name: 'filln' type: 'ConstantFill' bottom: 'in' top: 'filln' constant_fill_param { value: -300 } } "
            "layer { name: 'cpu' type: 'CPU' bottom: 'in' top: 'cpu' cpu_param { is_net_output: true is_net_output: false } } "
            "layer { name: 'cpu0' type: 'CPU' bottom: 'in' top: 'cpu0' } "
            "layer { name: 'pb' type: 'PriorBox' bottom: 'in' top: 'pb' " +
            BlobText("dim: 4", {0.5f, -0.25f, 1.0f, 0.75f}) + "} " +
            "layer { name: 'det' type: 'DetectionOutput' bottom: 'd' bottom: 'pb' top: 'det' }",
        {{"d", 3.0f}, {"pad", 1.0f}, {"padn", 1.0f}, {"padh", 1.0f}, {"pad0", 0.0f}, {"fill", 4.0f},
         {"filln", 1.0f}, {"pb", 1.0f}});
  for (const char* l : {"pad", "padn", "padh", "pad0"}) quantize_pad_layer_int8(*net_, Index(l));
  EXPECT_EQ(P("pad").pad_param().pad_value_fix8b(), 127);
  EXPECT_EQ(P("padn").pad_param().pad_value_fix8b(), -127);
  EXPECT_EQ(P("padh").pad_param().pad_value_fix8b(), 63);
  EXPECT_EQ(P("pad0").pad_param().pad_value_fix8b(), INT32_MAX) << "threshold 0 saturates";
  quantize_constantFill_layer_int8(*net_, Index("fill"));
  quantize_constantFill_layer_int8(*net_, Index("filln"));
  EXPECT_EQ(P("fill").constant_fill_param().value_fix8b(), 64);
  EXPECT_EQ(P("filln").constant_fill_param().value_fix8b(), -128);
  quantize_cpu_layer_int8(*net_, Index("cpu"));
  quantize_cpu_layer_int8(*net_, Index("cpu0"));
  EXPECT_FALSE(P("cpu").output_is_float());
  EXPECT_TRUE(P("cpu0").output_is_float());
  quantize_priorbox_layer_int8(*net_, Index("pb"));
  EXPECT_EQ(Int8(B("pb", 0), 4), (std::vector<int>{64, -32, 127, 96}));
  EXPECT_EQ(Int8(*net_->blob_by_name("pb"), 4), (std::vector<int>{64, -32, 127, 96}));
  EXPECT_EQ(net_->blob_by_name("pb")->bitWidth(), qrn::bitWidth_8);
  quantize_detectionOutput_rpn_layer_int8(*net_, Index("det"));
  EXPECT_EQ(List(P("det").th_input()), (std::vector<float>{3.0f, 1.0f}));
  EXPECT_EQ(List(P("det").mul_branch()), (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(List(P("det").rshift_branch()), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(P("det").th_output_size(), 0);
}

// ---- branch multipliers -----------------------------------------------------

TEST_F(Rules, ConcatAndEltwiseBranches) {
  Build(Input("a", "dim: 1 dim: 2") + Input("b", "dim: 1 dim: 2") +
            "layer { name: 'cat' type: 'Concat' bottom: 'a' bottom: 'b' top: 'cat' } "
            "layer { name: 'fold' type: 'Concat' bottom: 'a' bottom: 'b' top: 'fold' concat_param { fold_concat_with_conv: true } } "
            "layer { name: 'sub' type: 'Eltwise' bottom: 'a' bottom: 'b' top: 'sub' eltwise_param { coeff: 1 coeff: -1 } }",
        {{"a", 4.0f}, {"b", 8.0f}, {"cat", 8.0f}, {"fold", 8.0f}, {"sub", 8.0f}});
  quantize_concat_layer_int8(*net_, Index("cat"));
  EXPECT_EQ(List(P("cat").th_input()), (std::vector<float>{4.0f, 8.0f}));
  EXPECT_EQ(List(P("cat").th_output()), (std::vector<float>{8.0f}));
  EXPECT_EQ(List(P("cat").mul_branch()), (std::vector<uint32_t>{64, 64}));
  EXPECT_EQ(List(P("cat").rshift_branch()), (std::vector<uint32_t>{7, 6}));
  quantize_concat_layer_int8(*net_, Index("fold"));
  EXPECT_EQ(List(P("fold").mul_branch()), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(List(P("fold").rshift_branch()), (std::vector<uint32_t>{1, 1}));
  quantize_eltwise_layer_int8(*net_, Index("sub"));
  EXPECT_EQ(List(P("sub").mul_branch()), (std::vector<uint32_t>{64, Signed(-64)}));
}

TEST_F(Rules, BiasReluSelectAndConstantOperands) {
  Build(Input("in", "dim: 1 dim: 2") +
            "layer { name: 'bias' type: 'Bias' bottom: 'in' top: 'bias' " + BlobText("dim: 2", {0.5f, 10.0f}) + "} " +
            "layer { name: 'leaky' type: 'ReLU' bottom: 'in' top: 'leaky' relu_param { negative_slope: 0.1 upper_limit: 6 } } "
            "layer { name: 'relu6' type: 'ReLU' bottom: 'in' top: 'relu6' relu_param { upper_limit: 6 } } "
            "layer { name: 'sel' type: 'Select' bottom: 'in' top: 'sel' select_param { s0_is_const: true s1_is_const: true "
            "  s0_value: 300 s1_value: 0 } } "
            "layer { name: 'mul0' type: 'ConstBinary' bottom: 'in' top: 'mul0' const_binary_param { operation: BINARY_MUL b_value: 0 } } "
            "layer { name: 'add' type: 'ConstBinary' bottom: 'in' top: 'add' const_binary_param { operation: BINARY_ADD b_value: 0.5 } } "
            "layer { name: 'addbig' type: 'ConstBinary' bottom: 'in' top: 'addbig' const_binary_param { operation: BINARY_ADD b_value: 10 } } "
            "layer { name: 'div' type: 'ConstBinary' bottom: 'in' top: 'div' const_binary_param { operation: BINARY_DIV b_value: 0.5 } }",
        {{"in", 2.0f}, {"bias", 2.0f}, {"leaky", 6.0f}, {"relu6", 3.0f}, {"sel", 8.0f}, {"mul0", 2.0f}, {"add", 2.0f},
         {"addbig", 2.0f}, {"div", 2.0f}});

  // Bias value 10 overflows at shift 6 (10 * 2^6 * 128 / 2): the shift drops
  // to 5 for every value.
  quantize_bias_layer_int8(*net_, Index("bias"));
  EXPECT_EQ(List(P("bias").mul_branch()), (std::vector<uint32_t>{32}));
  EXPECT_EQ(List(P("bias").rshift_branch()), (std::vector<uint32_t>{5}));
  EXPECT_EQ(Int16(B("bias", 0), 2), (std::vector<int>{1024, 20480}));
  EXPECT_EQ(B("bias", 0).rshiftNum(), 5);

  quantize_relu_layer_int8(*net_, Index("leaky"));
  EXPECT_EQ(List(P("leaky").mul_branch()), (std::vector<uint32_t>{102}));
  EXPECT_EQ(List(P("leaky").rshift_branch()), (std::vector<uint32_t>{10}));
  EXPECT_EQ(P("leaky").relu_param().upper_limit_uint8(), 128);
  quantize_relu_layer_int8(*net_, Index("relu6"));
  EXPECT_EQ(P("relu6").mul_branch_size(), 0);
  EXPECT_EQ(P("relu6").relu_param().upper_limit_uint8(), 255);

  quantize_select_layer_int8(*net_, Index("sel"));
  EXPECT_EQ(P("sel").th_input_size(), 0);
  EXPECT_EQ(List(P("sel").mul_branch()), (std::vector<uint32_t>{75, 64}));
  EXPECT_EQ(List(P("sel").rshift_branch()), (std::vector<uint32_t>{1, 9}));
  EXPECT_EQ(P("sel").select_param().s0_value_fix8b(), 4800);
  EXPECT_EQ(P("sel").select_param().s1_value_fix8b(), 0);

  quantize_constBinary_layer_int8(*net_, Index("mul0"));
  EXPECT_EQ(List(P("mul0").mul_branch()), (std::vector<uint32_t>{0}));
  EXPECT_EQ(List(P("mul0").rshift_branch()), (std::vector<uint32_t>{1}));
  quantize_constBinary_layer_int8(*net_, Index("add"));
  EXPECT_EQ(List(P("add").rshift_branch()), (std::vector<uint32_t>{6}));
  EXPECT_EQ(List(P("add").mul_branch()), (std::vector<uint32_t>{64}));
  EXPECT_EQ(P("add").const_binary_param().b_value_fix8b(), 2048);
  // 10 * 2^6 * 64 overflows: one bit less for the constant and the input.
  quantize_constBinary_layer_int8(*net_, Index("addbig"));
  EXPECT_EQ(List(P("addbig").rshift_branch()), (std::vector<uint32_t>{5}));
  EXPECT_EQ(List(P("addbig").mul_branch()), (std::vector<uint32_t>{32}));
  EXPECT_EQ(P("addbig").const_binary_param().b_value_fix8b(), 20480);
  quantize_constBinary_layer_int8(*net_, Index("div"));
  EXPECT_EQ(List(P("div").rshift_branch()), (std::vector<uint32_t>{5}));  // 2 = 1 / 0.5: 127 / 2 -> 2^5
  EXPECT_EQ(List(P("div").mul_branch()), (std::vector<uint32_t>{64}));
  EXPECT_EQ(P("div").const_binary_param().b_value_fix8b(), 1);
}

TEST_F(Rules, BinaryLayerBranches) {
  Build(Input("a", "dim: 1 dim: 2") + Input("b", "dim: 1 dim: 2") +
            "layer { name: 'mul' type: 'BroadcastBinary' bottom: 'a' bottom: 'b' top: 'mul' broadcast_binary_param { operation: BINARY_MUL } } "
            "layer { name: 'add1' type: 'BroadcastBinary' bottom: 'a' top: 'add1' broadcast_binary_param { operation: BINARY_ADD } " +
            BlobText("dim: 2", {0.5f, -1.0f}) + "} " +
            "layer { name: 'emul' type: 'EltwiseBinary' bottom: 'a' top: 'emul' eltwise_binary_param { operation: BINARY_MUL is_coeff: 0 is_coeff: 1 } " +
            BlobText("dim: 2", {0.25f, -2.0f}) + "} " +
            "layer { name: 'big' type: 'EltwiseBinary' bottom: 'b' bottom: 'a' top: 'big' eltwise_binary_param { operation: BINARY_ADD } }",
        {{"a", 2.0f}, {"b", 4.0f}, {"mul", 1.0f}, {"add1", 2.0f}, {"emul", 2.0f}, {"big", 0.01f}});
  quantize_broadcastBinary_layer_int8(*net_, Index("mul"));
  // 2 * 4 / (128 * 1): shift 10, multiplier 8 * 2^10 / 128 = 64.
  EXPECT_EQ(List(P("mul").th_input()), (std::vector<float>{2.0f, 4.0f}));
  EXPECT_EQ(List(P("mul").rshift_branch()), (std::vector<uint32_t>{10, 0}));
  EXPECT_EQ(List(P("mul").mul_branch()), (std::vector<uint32_t>{64, 1}));

  quantize_broadcastBinary_layer_int8(*net_, Index("add1"));
  EXPECT_EQ(List(P("add1").rshift_branch()), (std::vector<uint32_t>{6}));
  EXPECT_EQ(Int16(B("add1", 0), 2), (std::vector<int>{2048, -4096}));

  // Multiplication by a constant: the constant in 16 bits carries the scale.
  quantize_eltwiseBinary_layer_int8(*net_, Index("emul"));
  EXPECT_EQ(List(P("emul").mul_branch()), (std::vector<uint32_t>{1}));
  EXPECT_EQ(List(P("emul").rshift_branch()), (std::vector<uint32_t>{13}));
  EXPECT_EQ(Int16(B("emul", 0), 2), (std::vector<int>{2048, -16384}));

  // A negative shift on the first input (4 into 0.01: 2^-2): its entry,
  // and none for the rest.
  quantize_eltwiseBinary_layer_int8(*net_, Index("big"));
  EXPECT_EQ(P("big").mul_branch_size(), 1);
  EXPECT_EQ(static_cast<int>(P("big").rshift_branch(0)), -2);
  EXPECT_EQ(P("big").mul_branch(0), 100u);
}

TEST_F(RulesDeathTest, BranchesWithoutAnEightBitForm) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Build(Input("a", "dim: 1 dim: 2") +
            "layer { name: 'cat' type: 'Concat' bottom: 'a' top: 'cat' } "
            "layer { name: 'bias' type: 'Bias' bottom: 'a' top: 'bias' " + BlobText("dim: 2", {1e6f, 0.0f}) + "} " +
            "layer { name: 'sel' type: 'Select' bottom: 'a' top: 'sel' select_param { s0_is_const: true s1_is_const: true s0_value: 300 } } "
            "layer { name: 'div' type: 'BroadcastBinary' bottom: 'a' top: 'div' broadcast_binary_param { operation: BINARY_DIV } }",
        {{"a", 200.0f}, {"cat", 1.0f}, {"bias", 200.0f}, {"sel", 1.0f}, {"div", 1.0f}});
  EXPECT_DEATH(quantize_concat_layer_int8(*net_, Index("cat")), "Concat rightshift < 0");
  EXPECT_DEATH(quantize_bias_layer_int8(*net_, Index("bias")), "rightShiftTmp decreases too much");
  EXPECT_DEATH(quantize_select_layer_int8(*net_, Index("sel")), "Select layer rightshift < 0");
  EXPECT_DEATH(quantize_broadcastBinary_layer_int8(*net_, Index("div")), "#TODO: broadcast binary operation: 3");
}

// ---- per-channel scales and lookup tables -----------------------------------

TEST_F(Rules, BatchNormAndFoldedScale) {
  // mean 1, 2; variance 3, 0.25; eps 1: multipliers 0.5 and 0.894427, both
  // with shift 7.
  const std::string bn = "layer { name: 'bn' type: 'BatchNorm' bottom: 'in' top: 'bn' batch_norm_param { eps: 1 } " +
                         BlobText("dim: 2", {1.0f, 2.0f}) + BlobText("dim: 2", {3.0f, 0.25f}) +
                         BlobText("dim: 1", {1.0f}) + "} ";
  Build(Input("in", "dim: 1 dim: 2 dim: 2 dim: 2") + bn, {{"in", 1.0f}, {"bn", 1.0f}});
  quantize_batchnorm_layer_int8(*net_, Index("bn"));
  EXPECT_EQ(Int8(B("bn", 1), 2), (std::vector<int>{64, 114}));
  // Biases -0.5 and -1.788854 times 2^7 * 128, plus 2^6 for rounding.
  EXPECT_EQ(Int16(B("bn", 0), 2), (std::vector<int>{-8192 + 64, -29309 + 64}));
  EXPECT_EQ(Bytes(P("bn").batch_norm_param().rshift_per_layer()), (std::vector<int>{7, 7}));
  EXPECT_EQ(B("bn", 0).rshiftNum(), 7);

  // With a Scale after it (gamma 2, 1; beta 0.25, 0), the Scale's factors
  // move into the BatchNorm and the Scale is emptied.
  Build(Input("in", "dim: 1 dim: 2 dim: 2 dim: 2") + bn +
            "layer { name: 'sc' type: 'Scale' bottom: 'bn' top: 'sc' scale_param { bias_term: true } " +
            BlobText("dim: 2", {2.0f, 1.0f}) + BlobText("dim: 2", {0.25f, 0.0f}) + "}",
        {{"in", 1.0f}, {"bn", 1.0f}, {"sc", 1.0f}});
  quantize_batchnorm_layer_int8(*net_, Index("bn"));
  quantize_scale_layer_int8(*net_, Index("sc"));
  EXPECT_EQ(Int8(B("bn", 1), 2), (std::vector<int>{64, 114}));
  EXPECT_EQ(Bytes(P("bn").batch_norm_param().rshift_per_layer()), (std::vector<int>{6, 7}));
  EXPECT_EQ(Int16(B("bn", 0), 2), (std::vector<int>{-6144 + 32, -29309 + 64}));
  EXPECT_EQ(Int8(B("sc", 0), 2), (std::vector<int>{0, 0}));
  EXPECT_EQ(Int16(B("sc", 1), 2), (std::vector<int>{0, 0}));
  EXPECT_EQ(Bytes(P("sc").scale_param().rshift_per_layer()), (std::vector<int>{0, 0}));
}

TEST_F(Rules, ScaleFoldingAndPerChannelLowering) {
  // Two Scales: the first takes the second's factor and its bias (growing a
  // bias blob of its own); the second is emptied.
  Build(Input("in", "dim: 1 dim: 1 dim: 2 dim: 2") +
            "layer { name: 's1' type: 'Scale' bottom: 'in' top: 's1' " + BlobText("dim: 1", {0.5f}) + "} " +
            "layer { name: 's2' type: 'Scale' bottom: 's1' top: 's2' scale_param { bias_term: true } " +
            BlobText("dim: 1", {1.5f}) + BlobText("dim: 1", {0.5f}) + "}",
        {{"in", 1.0f}, {"s1", 1.0f}, {"s2", 1.0f}});
  quantize_scale_layer_int8(*net_, Index("s1"));
  quantize_scale_layer_int8(*net_, Index("s2"));
  ASSERT_EQ(net_->layers()[Index("s1")]->blobs().size(), 2u);
  EXPECT_TRUE(P("s1").scale_param().bias_term());
  EXPECT_EQ(Int8(B("s1", 0), 1), std::vector<int>{96});  // 0.75 * 2^7
  EXPECT_EQ(Int16(B("s1", 1), 1), std::vector<int>{8192});
  EXPECT_EQ(Int8(B("s2", 0), 1), std::vector<int>{0});
  EXPECT_EQ(Int16(B("s2", 1), 1), std::vector<int>{0});

  // A Scale that runs in float (its factor a second input) folds nothing:
  // the Scale after it keeps its own factors.
  Build(Input("in", "dim: 1 dim: 1 dim: 2 dim: 2") + Input("f", "dim: 1") +
            "layer { name: 's1' type: 'Scale' bottom: 'in' bottom: 'f' top: 's1' forward_with_float: true } "
            "layer { name: 's2' type: 'Scale' bottom: 's1' top: 's2' " + BlobText("dim: 1", {1.5f}) + "}",
        {{"in", 1.0f}, {"f", 1.0f}, {"s1", 1.0f}, {"s2", 1.0f}});
  quantize_scale_layer_int8(*net_, Index("s2"));
  EXPECT_EQ(Int8(B("s2", 0), 1), std::vector<int>{96});  // 1.5 * 2^6
  EXPECT_EQ(Bytes(P("s2").scale_param().rshift_per_layer()), std::vector<int>{6});

  // BN and the graph-transformed Scale: each channel lowers its own shift
  // when its bias overflows; a multiplier of 0 gets shift 0; a rounding add
  // that would leave int16 is not made.
  Build(Input("in", "dim: 1 dim: 3 dim: 1 dim: 1") +
            "layer { name: 'bn' type: 'BN' bottom: 'in' top: 'bn' " + BlobText("dim: 3", {0.5f, 0.5f, 0.5f}) +
            BlobText("dim: 3", {0.1f, 3.0f, 1.9999f}) + "} " +
            "layer { name: 'sc' type: 'Scale' bottom: 'bn' top: 'sc' scale_param { bias_term: true } " +
            BlobText("dim: 3", {0.0f, 1.0f, 0.5f}) + BlobText("dim: 3", {0.0f, 0.25f, 3.0f}) + "}",
        {{"in", 1.0f}, {"bn", 1.0f}, {"sc", 1.0f}});
  quantize_bn_layer_int8(*net_, Index("bn"));
  EXPECT_EQ(Bytes(P("bn").bn_param().rshift_per_layer()), (std::vector<int>{7, 6, 7}));
  EXPECT_EQ(Int8(B("bn", 0), 3), (std::vector<int>{64, 32, 64}));
  EXPECT_EQ(Int16(B("bn", 1), 3), (std::vector<int>{1638 + 64, 24576 + 32, 32766}));
  quantize_scale_layer_v2_int8(*net_, Index("sc"));
  EXPECT_EQ(Bytes(P("sc").scale_param().rshift_per_layer()), (std::vector<int>{0, 6, 6}));
  EXPECT_EQ(Int8(B("sc", 0), 3), (std::vector<int>{0, 64, 32}));
  EXPECT_EQ(Int16(B("sc", 1), 3), (std::vector<int>{0, 2048 + 32, 24576 + 32}));
}

// A table entry from its definition.
std::pair<int, int> RefEntry(double r) {
  const int rs = static_cast<int>(std::floor(std::log2(256.0 / r)));
  return {rs, static_cast<int>(std::min(255.0, std::round(std::ldexp(1.0, rs) * r)))};
}

TEST_F(Rules, LookupTables) {
  Build(Input("in", "dim: 1 dim: 3 dim: 2 dim: 2") + Input("small", "dim: 1 dim: 3 dim: 2 dim: 2") +
            "layer { name: 'lrn' type: 'LRN' bottom: 'in' top: 'lrn' lrn_param { local_size: 5 alpha: 0.0001 beta: 0.75 } } "
            "layer { name: 'norm' type: 'Normalize' bottom: 'in' top: 'norm' " + BlobText("dim: 1", {20.0f}) + "} " +
            "layer { name: 'tiny' type: 'Normalize' bottom: 'small' top: 'tiny' normalize_param { channel_shared: false } " +
            BlobText("dim: 3", {0.5f, 1.5f, -2.0f}) + "}",
        {{"in", 128.0f}, {"lrn", 2.0f}, {"norm", 128.0f}, {"small", 0.01f}, {"tiny", 1.0f}});
  quantize_lrn_layer_int8(*net_, Index("lrn"));
  const auto& lp = P("lrn").lrn_param();
  EXPECT_EQ(lp.step_q(), 5);  // ceil(log2(5 * 128^2 / 4096))
  ASSERT_EQ(lp.lut_table().size(), 4096u);
  for (int i : {0, 1, 700, 4095}) {
    const double x = 32.0 * (0.0001 / 5) * i;
    const double v = std::sqrt(1.0) * std::pow(x + 1.0, -0.75) * 128.0 / 2.0;
    EXPECT_EQ(static_cast<unsigned char>(lp.lut_table()[i]), RefEntry(v).second) << i;
    EXPECT_EQ(static_cast<signed char>(lp.lut_table_rshift()[i]), RefEntry(v).first) << i;
  }

  quantize_normalize_layer_int8(*net_, Index("norm"));
  const auto& np = P("norm").normalize_param();
  EXPECT_EQ(np.fmin_m(), 212);
  EXPECT_EQ(np.step_q(), 10);
  EXPECT_EQ(Bytes(np.scale_int8()), (std::vector<int>{20, 20, 20})) << "a shared scale serves every channel";
  EXPECT_EQ(B("norm", 0).bitWidth(), qrn::bitWidth_32);

  // A small input threshold makes the step 2^37: entries stay exact.
  quantize_normalize_layer_int8(*net_, Index("tiny"));
  const auto& tp = P("tiny").normalize_param();
  EXPECT_EQ(tp.step_q(), 37);
  const double q = 128.0 / static_cast<double>(0.01f);
  const double fmin = 212.151 * q * q;
  const auto last = RefEntry(1.0 / std::sqrt(std::ldexp(4095.0, 37) + fmin));
  EXPECT_EQ(static_cast<unsigned char>(tp.lut_table()[4095]), last.second);
  EXPECT_EQ(static_cast<unsigned char>(tp.lut_table_rshift()[4095]), static_cast<unsigned char>(last.first));
  EXPECT_EQ(Bytes(tp.scale_int8()), (std::vector<int>{64, -64, 0})) << "64, 192 and -256 kept to their low byte";
}

}  // namespace
