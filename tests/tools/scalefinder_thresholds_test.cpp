// scalefinder's threshold rules between layers, the threshold assignment,
// the float sub-net marking and the per-layer driver.
#include <cmath>

#include "calibration.hpp"
#include "dist_analysis.hpp"
#include "float_marking.hpp"
#include "graph_transform.hpp"
#include "quantize_rules.hpp"
#include "stub_layers.hpp"
#include "test_util.hpp"

using qrn::Net;
using tools_test::MakeNet;

namespace {

class Thresholds : public ::testing::Test {
 protected:
  void SetUp() override { tools_test::RegisterAllStubLayers(); }
};
using ThresholdsDeathTest = Thresholds;

int Index(Net<float>& net, const std::string& name) {
  const int i = get_layer_id_by_name(net, name);
  EXPECT_GE(i, 0) << name;
  return i;
}

// A net input 'in' that no layer produces.
std::string NetInput() { return "input: 'in' input_shape { dim: 1 dim: 2 dim: 4 dim: 4 } "; }

std::string Layer(const std::string& name, const std::string& type, const std::string& bottom,
                  const std::string& top, const std::string& extra = "") {
  std::string s = "layer { name: '" + name + "' type: '" + type + "' ";
  if (!bottom.empty()) s += "bottom: '" + bottom + "' ";
  if (!top.empty()) s += "top: '" + top + "' ";
  return s + extra + " } ";
}

// A data layer with output 'in'.
std::string In() { return Layer("in", "DummyData", "", "in", "dummy_data_param { shape { dim: 1 dim: 2 dim: 4 dim: 4 } }"); }

std::string Conv(const std::string& name, const std::string& bottom, const std::string& extra = "") {
  return Layer(name, "Convolution", bottom, name, "convolution_param { num_output: 2 kernel_size: 1 } " + extra);
}

TEST_F(Thresholds, FollowedByReluAndFollowingSpecial) {
  auto net = MakeNet(In() + Conv("conv1", "in") + Layer("relu1", "ReLU", "conv1", "r1") +
                     Conv("conv2", "r1") + Layer("leaky", "ReLU", "conv2", "l2", "relu_param { negative_slope: 0.1 }") +
                     Layer("s1", "Scale", "l2", "s1") + Layer("s2", "Scale", "s1", "s2") +
                     Layer("relu2", "ReLU", "s2", "r2") + Layer("t1", "Scale", "r2", "t1") +
                     Layer("t2", "Scale", "t1", "t2") + Layer("t3", "Scale", "t2", "t3") +
                     Layer("relu3", "ReLU", "t3", "r3") + Layer("bn", "BatchNorm", "r3", "bn") +
                     Layer("sc", "Scale", "bn", "sc") + Layer("relu4", "ReLU", "sc", "r4") +
                     Layer("pool", "Pooling", "r4", "p", "pooling_param { kernel_size: 1 }") +
                     Layer("relu5", "ReLU", "p", "r5"));
  setLayerFollowedByRelu(*net);
  setReluFollowingSpecial(*net);
  std::vector<std::string> followed;
  for (size_t i = 0; i < net->layers().size(); ++i)
    if (net->layers()[i]->layer_param().followedbyrelu()) followed.push_back(net->layer_names()[i]);
  // A leaky ReLU does not count; flags move back one step through Scales;
  // BatchNorm takes its Scale's.
  EXPECT_EQ(followed, (std::vector<std::string>{"conv1", "s1", "s2", "t2", "t3", "bn", "sc", "pool"}));
  EXPECT_TRUE(net->layers()[Index(*net, "relu5")]->layer_param().relu_param().following_special());
  EXPECT_FALSE(net->layers()[Index(*net, "relu1")]->layer_param().relu_param().following_special());
}

TEST_F(Thresholds, EqualNeighbourFlags) {
  struct Case {
    const char* what;
    std::string net;
    std::vector<std::pair<const char*, std::pair<bool, bool>>> flags;  // layer: (first, second)
  };
  const Case cases[] = {
      {"a convolution before a ReLU takes its threshold", In() + Conv("conv", "in") + Layer("relu", "ReLU", "conv", "r"),
       {{"conv", {false, true}}, {"relu", {false, false}}}},
      {"a ReLU beside another reader of its input keeps its input's",
       In() + Conv("conv", "in") + Layer("relu", "ReLU", "conv", "r") +
           Layer("pool", "Pooling", "conv", "p", "pooling_param { kernel_size: 1 }"),
       {{"conv", {false, false}}, {"relu", {true, false}}, {"pool", {true, false}}}},
      {"max pooling gives its threshold back",
       In() + Conv("conv", "in") + Layer("pool", "Pooling", "conv", "p", "pooling_param { kernel_size: 2 }"),
       {{"conv", {false, true}}, {"pool", {false, false}}}},
      {"average pooling keeps its input's",
       In() + Conv("conv", "in") + Layer("pool", "Pooling", "conv", "p", "pooling_param { pool: AVE kernel_size: 2 }"),
       {{"conv", {false, false}}, {"pool", {true, false}}}},
      {"a summing reduction has its own",
       In() + Conv("conv", "in") + Layer("sum", "ReduceFull", "conv", "s") +
           Layer("mean", "ReduceFull", "s", "m", "reduce_full_param { operation: MEAN }"),
       {{"sum", {false, false}}, {"mean", {true, false}}}},
      {"a crop's first input takes its threshold",
       "input: 'a' input_shape { dim: 1 dim: 2 dim: 4 dim: 4 } input: 'b' input_shape { dim: 1 dim: 2 dim: 4 dim: 4 } " +
           Conv("c1", "a") + Conv("c2", "b") + "layer { name: 'crop' type: 'Crop' bottom: 'c1' bottom: 'c2' top: 'crop' }",
       {{"c1", {false, true}}, {"c2", {false, false}}, {"crop", {false, false}}}},
      {"batch norm and scale pairs", In() + Layer("bn", "BatchNorm", "in", "bn") + Layer("s1", "Scale", "bn", "s1") +
                                         Layer("s2", "Scale", "s1", "s2"),
       {{"bn", {false, true}}, {"s1", {false, true}}, {"s2", {false, false}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(c.net);
    dist_analysis a(*net, 0, 2048);
    a.setThreshodEqualNeighbour();
    for (const auto& f : c.flags) {
      const auto& got = a.dist[Index(*net, f.first)]->th_equal_neighbour;
      EXPECT_EQ(got.first, f.second.first) << f.first;
      EXPECT_EQ(got.second, f.second.second) << f.first;
    }
  }
}

TEST_F(ThresholdsDeathTest, InconsistentOrMissingNeighbours) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto flatten = MakeNet(NetInput() + Layer("flat", "Flatten", "in", "f"));
  EXPECT_DEATH(dist_analysis(*flatten, 0, 2048).setThreshodEqualNeighbour(), "layer name=flat th transfer missing");
  // A ReLU on a net input has no producer to check against.
  auto relu = MakeNet(NetInput() + Layer("relu", "ReLU", "in", "r"));
  EXPECT_DEATH(dist_analysis(*relu, 0, 2048).setThreshodEqualNeighbour(), "layer name=relu .*has no previous layer");
  auto softmax = MakeNet(NetInput() + Layer("prob", "Softmax", "in", "p"));
  EXPECT_DEATH(dist_analysis(*softmax, 0, 2048).setLayerUseMaxAsThreshold(), "layer name=prob .*has no previous layer");
}

TEST_F(Thresholds, UseMaxFlags) {
  auto net = MakeNet(In() + Layer("ip", "InnerProduct", "in", "ip", "inner_product_param { num_output: 4 }") +
                     Layer("rs", "Reshape", "ip", "rs", "reshape_param { shape { dim: 0 dim: -1 } }") +
                     Layer("prob", "Softmax", "rs", "prob") + Conv("conv", "in", "th_strategy: USE_MAX") +
                     Conv("kl", "in", "th_strategy: USE_KL") +
                     "layer { name: 'cat' type: 'Concat' bottom: 'conv' bottom: 'kl' top: 'cat' }");
  dist_analysis a(*net, 0, 2048);
  net->top_vecs()[Index(*net, "kl")][0]->setUseMaxAsThreshold(true);
  a.setThreshodEqualNeighbour();
  a.setLayerUseMaxAsThreshold();
  auto use_max = [&](const char* n) { return net->top_vecs()[Index(*net, n)][0]->isUseMaxAsThreshold(); };
  EXPECT_TRUE(use_max("ip")) << "the Softmax marks the producer behind the Reshape";
  EXPECT_FALSE(use_max("rs"));
  EXPECT_FALSE(use_max("prob"));
  EXPECT_TRUE(use_max("conv"));
  EXPECT_FALSE(use_max("kl"));
  EXPECT_TRUE(use_max("cat")) << "a Concat follows its producers";
}

TEST_F(Thresholds, ConcatAdjacentToTail) {
  std::string text = In();
  std::string prev = "in";
  for (int k = 0; k < 6; ++k) {
    const std::string name = "l" + std::to_string(k);
    text += Layer(name, "ReLU", prev, name);
    prev = name;
  }
  auto net = MakeNet(text);
  EXPECT_EQ(concat_adjacent_to_tail(*net, Index(*net, "l5")), 1);
  EXPECT_EQ(concat_adjacent_to_tail(*net, Index(*net, "l2")), 1);
  EXPECT_EQ(concat_adjacent_to_tail(*net, Index(*net, "l1")), 0);
}

// Runs the neighbour rules and the assignment with every layer's histogram
// holding all its values in bin 0 (the search then gives max / 16).
void Assign(Net<float>& net, dist_analysis& a, const std::map<std::string, double>& maxima,
            bool fuse_preprocess = false) {
  for (const auto& m : maxima) {
    dist_data& d = *a.dist[Index(net, m.first)];
    d.maxPerLayer = m.second;
    d.distribution[0] = 100;
    d.dataNum = 100;
  }
  a.setThreshodEqualNeighbour();
  a.setLayerUseMaxAsThreshold();
  a.getThreshodForEachLayer("KL", fuse_preprocess);
}

float TopTh(Net<float>& net, const std::string& name) {
  return static_cast<float>(net.top_vecs()[Index(net, name)][0]->thresHold());
}

TEST_F(Thresholds, AssignmentAlongNeighbours) {
  auto net = MakeNet(In() + Conv("conv", "in") + Layer("relu", "ReLU", "conv", "r") + Conv("conv2", "r") +
                     Layer("rs1", "Reshape", "conv2", "rs1", "reshape_param { shape { dim: 0 dim: -1 } }") +
                     Layer("rs2", "Reshape", "rs1", "rs2", "reshape_param { shape { dim: 0 dim: -1 } }") +
                     Conv("conv3", "in") + Layer("act", "Active", "conv3", "act", "active_param { type: SIGMOID }") +
                     Layer("k", "ShapeConst", "", "k", "th_scale: 2") +
                     Layer("d", "DummyData", "", "d", "th_strategy: USE_MAX dummy_data_param { shape { dim: 1 } }") +
                     Layer("rs3", "Reshape", "d", "rs3", "threshold: 7.5 reshape_param { shape { dim: 1 } }"));
  dist_analysis a(*net, 0, 2048);
  Assign(*net, a, {{"conv", 9.0}, {"relu", 2.0}, {"conv2", 4.0}, {"conv3", 16.0}, {"d", 8.0}}, true);
  EXPECT_FLOAT_EQ(TopTh(*net, "relu"), 0.125f);
  EXPECT_FLOAT_EQ(TopTh(*net, "conv"), 0.125f) << "the convolution takes its ReLU's threshold";
  EXPECT_FLOAT_EQ(TopTh(*net, "rs1"), 0.25f);
  EXPECT_FLOAT_EQ(TopTh(*net, "rs2"), 0.25f) << "Reshapes carry the convolution's threshold in one sweep";
  EXPECT_FLOAT_EQ(TopTh(*net, "act"), 1.0f);
  EXPECT_FLOAT_EQ(TopTh(*net, "conv3"), 5.0f) << "a sigmoid's input gets 5";
  EXPECT_FLOAT_EQ(TopTh(*net, "k"), 2.0f) << "threshold 1 for shape layers, times th_scale";
  EXPECT_FLOAT_EQ(TopTh(*net, "d"), 4.0f) << "the maximum, halved for a fused preprocess";
  EXPECT_FLOAT_EQ(TopTh(*net, "rs3"), 7.5f) << "an explicit threshold wins over the input's";
}

TEST_F(Thresholds, ExplicitThresholdYieldsToTheConsumer) {
  auto net = MakeNet(In() + Conv("conv", "in", "threshold: 7.5") + Layer("relu", "ReLU", "conv", "r"));
  dist_analysis a(*net, 0, 2048);
  Assign(*net, a, {{"relu", 3.2}});
  EXPECT_FLOAT_EQ(TopTh(*net, "conv"), 0.2f);
}

TEST_F(Thresholds, ConcatThresholds) {
  struct Case {
    const char* what;
    float th_a, th_b;
    bool conv_group;
    float expected;
  };
  // The Concat's maximum is 6 and its searched threshold 6 / 16.
  const Case cases[] = {
      {"inputs 4x apart: between the maximum and the searched", 1.0f, 4.0f, false, (6.0f + 0.375f) / 2},
      {"inputs 2.5x apart: the searched", 1.0f, 2.5f, false, 0.375f},
      {"equal inputs: theirs", 3.0f, 3.0f, false, 3.0f},
      {"a convolution-group split: the searched", 1.0f, 4.0f, true, 0.375f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Convolutions of one common input (as a convolution-group split makes
    // them), or of two different ones.
    auto net = MakeNet(In() + Layer("pre", "ReLU", "in", "p") +
                       Conv("a", c.conv_group ? "p" : "in", "threshold: " + std::to_string(c.th_a)) +
                       Conv("b", "p", "threshold: " + std::to_string(c.th_b)) +
                       "layer { name: 'cat' type: 'Concat' bottom: 'a' bottom: 'b' top: 'cat' } " +
                       Layer("post", "Pooling", "cat", "post", "pooling_param { pool: AVE kernel_size: 1 }"));
    dist_analysis a(*net, 0, 2048);
    Assign(*net, a, {{"cat", 6.0}});
    EXPECT_FLOAT_EQ(TopTh(*net, "cat"), c.expected);
    if (c.th_a == c.th_b) {
      EXPECT_FALSE(a.dist[Index(*net, "cat")]->th_equal_neighbour.second);
    }
  }
}

// ---- float marking ---------------------------------------------------------

std::vector<std::string> Marked(Net<float>& net) {
  std::vector<std::string> names;
  for (size_t i = 0; i < net.layers().size(); ++i)
    if (net.layers()[i]->layer_param().forward_with_float()) names.push_back(net.layer_names()[i]);
  return names;
}

const std::string kMarkNet =
    Layer("data", "DummyData", "", "d", "dummy_data_param { shape { dim: 1 dim: 2 dim: 4 dim: 4 } }") +
    Layer("relu0", "ReLU", "d", "r0") + Conv("conv1", "r0") + Layer("relu1", "ReLU", "conv1", "r1") +
    Conv("conv2", "r1") + Layer("ip", "InnerProduct", "conv2", "ip", "inner_product_param { num_output: 3 }") +
    Layer("prob", "Softmax", "ip", "prob");

TEST_F(Thresholds, FloatMarkingFromOptions) {
  struct Case {
    const char* inputs;
    const char* outputs;
    const char* blocks;
    bool auto_detect;
    std::vector<std::string> marked;
  };
  const Case cases[] = {
      {"", "", "", false, {"prob"}},                                  // Softmax heads a block
      {"", "", ",", false, {}},                                       // a leading comma drops the heads
      {"conv1", "", "", false, {"data", "relu0", "conv1", "prob"}},   // pre-processing walk
      {"nosuch", "", "", false, {"prob"}},
      {"", "ip", "", false, {"ip", "prob"}},                          // post-processing walk
      {"", "", "relu1", false, {"relu1", "conv2", "prob"}},           // a block ends at a convolution
      {"", "", "", true, {"data", "relu0", "conv1", "prob"}},         // the first convolution is detected
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.inputs) + "|" + c.outputs + "|" + c.blocks);
    auto net = MakeNet(kMarkNet);
    std::string in = c.inputs, out = c.outputs, blocks = c.blocks;
    mark_forward_with_float(*net, in, out, c.auto_detect, blocks, false);
    EXPECT_EQ(Marked(*net), c.marked);
  }
}

TEST_F(Thresholds, FloatMarkingByType) {
  auto net = MakeNet(
      "input: 'in' input_shape { dim: 1 dim: 4096 dim: 1 dim: 1 } "
      "input: 'in2' input_shape { dim: 1 dim: 4095 dim: 1 dim: 1 } " +
      Layer("wide", "Convolution", "in", "wide", "convolution_param { num_output: 1 kernel_size: 1 }") +
      Layer("narrow", "Convolution", "in2", "narrow", "convolution_param { num_output: 1 kernel_size: 1 }") +
      Layer("bn", "BatchNorm", "wide", "bn") + Layer("sc", "Scale", "bn", "sc") +
      Layer("bias", "Bias", "sc", "bias", "forward_with_float: true") + Layer("ref", "ShapeRef", "bias", "ref") +
      Layer("after", "ReLU", "ref", "after") +
      "layer { name: 'sub' type: 'EltwiseBinary' bottom: 'narrow' bottom: 'wide' top: 'sub' "
      "  eltwise_binary_param { operation: BINARY_SUB } } "
      "layer { name: 'mul' type: 'EltwiseBinary' bottom: 'narrow' bottom: 'sub' top: 'mul' "
      "  eltwise_binary_param { operation: BINARY_MUL } } " +
      Layer("rs", "Reshape", "bias", "rs", "reshape_param { shape { dim: 0 dim: -1 } }"));
  std::string in, out = "ref", blocks = ",";
  mark_forward_with_float(*net, in, out, false, blocks, false);
  // The ShapeRef cannot be marked but the walk goes past it; the Scale
  // joins its marked Bias, the BatchNorm before it does not; the Reshape
  // follows its marked producer (through the framework's Split).
  EXPECT_EQ(Marked(*net),
            (std::vector<std::string>{"wide", "sc", "bias", "bias_bias_0_split", "after", "sub", "rs"}));
  EXPECT_TRUE(net->layers()[Index(*net, "rs")]->layer_param().output_is_float());
}

TEST_F(Thresholds, ConvScaleBalancingFromTheStatistics) {
  // Channel maxima of the weights 1 and 0.25; both outputs use a tenth of
  // the threshold.  With statistics for both channels the weak one grows by
  // 2.5 (and its Scale factor shrinks alike); without statistics for it, it
  // keeps its weights.
  for (int recorded : {2, 1}) {
    SCOPED_TRACE(recorded);
    auto net = MakeNet(In() + Layer("conv", "Convolution", "in", "conv",
                                    "convolution_param { num_output: 2 kernel_size: 1 bias_term: false } "
                                    "blobs { shape { dim: 2 dim: 2 dim: 1 dim: 1 } data: 1 data: 0.5 data: 0.25 data: 0 } ") +
                       Layer("sc", "Scale", "conv", "sc", "blobs { shape { dim: 2 } data: 2 data: 2 }"));
    auto a = std::make_shared<dist_analysis>(*net, 0, 2048);
    dist_data& d = *a->dist[Index(*net, "conv")];
    d.channelNum = recorded;
    d.maxPerChannel[0] = d.maxPerChannel[1] = 0.1;
    net->top_vecs()[Index(*net, "conv")][0]->setThresHold(1.0);
    adjust_conv_scale_weight(*net, a);
    const auto& w = *net->layers()[Index(*net, "conv")]->blobs()[0];
    const auto& s = *net->layers()[Index(*net, "sc")]->blobs()[0];
    const float grow = recorded == 2 ? 2.5f : 1.0f;
    EXPECT_FLOAT_EQ(w.cpu_data()[0], 1.0f);
    EXPECT_FLOAT_EQ(w.cpu_data()[2], 0.25f * grow);
    EXPECT_FLOAT_EQ(s.cpu_data()[0], 2.0f);
    EXPECT_FLOAT_EQ(s.cpu_data()[1], 2.0f / grow);
  }
}

// ---- the per-layer driver --------------------------------------------------

void SetAllThresholds(Net<float>& net, float th) {
  for (const auto& b : net.blobs()) b->setThresHold(th);
}

QuantParam DefaultParam() {
  QuantParam p{};
  p.th_method = "KL";
  return p;
}

TEST_F(Thresholds, DriverDispatchAndCommonFields) {
  auto net = MakeNet(
      Layer("data", "DummyData", "", "d", "dummy_data_param { shape { dim: 1 dim: 2 dim: 2 dim: 2 } }") +
      Layer("div", "BroadcastBinary", "d", "div", "broadcast_binary_param { operation: BINARY_DIV }") +
      Layer("cast", "ShapeCast", "div", "cast") + Layer("relu", "ReLU", "cast", "r"));
  SetAllThresholds(*net, 2.0f);
  // Without the float marking the one-input division has no 8-bit form and
  // would stop the tool.
  quantizeEachLayer_int8(*net, DefaultParam());
  const auto& data = net->layers()[0]->layer_param();
  EXPECT_EQ(data.id(), 0);
  EXPECT_EQ(data.th_bottom(), 0.0f);
  EXPECT_EQ(data.th_top(), 2.0f);
  EXPECT_EQ(data.scaleconvertbacktofloat_output(), 2.0f / 128);
  EXPECT_EQ(std::vector<float>(data.scaleconvertbacktofloat_input_mul().begin(),
                               data.scaleconvertbacktofloat_input_mul().end()),
            std::vector<float>{1.0f});
  const auto& div = net->layers()[1]->layer_param();
  EXPECT_TRUE(div.forward_with_float());
  EXPECT_FALSE(div.output_is_float()) << "its consumer runs in 8 bits";
  EXPECT_EQ(div.mul_branch_size(), 0);
  const auto& cast = net->layers()[2]->layer_param();
  EXPECT_EQ(std::vector<bool>(cast.input_tensor_is_float().begin(), cast.input_tensor_is_float().end()),
            (std::vector<bool>{true, false}));
  EXPECT_TRUE(cast.output_is_float());
  EXPECT_EQ(net->layers()[3]->layer_param().id(), 3);
}

TEST_F(ThresholdsDeathTest, LayerWithBlobsButNoRule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto net = MakeNet(In() + Layer("perm", "Permute", "in", "perm", "blobs { shape { dim: 1 } data: 1 }"));
  SetAllThresholds(*net, 1.0f);
  EXPECT_DEATH(quantizeEachLayer_int8(*net, DefaultParam()), "layer 1 \\(perm\\) of type Permute has parameter blobs");
}

TEST(CalibrationNames, SlashesAndLookup) {
  std::string name = "block/conv/1";
  strReplace(name);
  EXPECT_EQ(name, "block_conv_1");
  EXPECT_EQ(split_names(""), std::vector<std::string>{""});
  EXPECT_EQ(split_names("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(split_names(",a"), (std::vector<std::string>{"", "a"}));
}

}  // namespace
