// scalefinder's graph queries, layer-type sets and graph transforms.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include <cmath>
#include <mutex>

#include "commands.hpp"
#include "graph_query.hpp"
#include "graph_transform.hpp"
#include "layer_types.hpp"
#include "scalefinder_flags.hpp"
#include "test_util.hpp"

using qrn::Net;
using qrn::NetParameter;
using tools_test::ExpectNear;
using tools_test::MakeNet;
using tools_test::ParseNet;
using tools_test::TempDir;
using tools_test::Values;

namespace {

std::vector<std::string> Types(Net<float>& net, const std::vector<int>& ids) {
  std::vector<std::string> t;
  for (int i : ids) t.push_back(net.layer_names()[i]);
  return t;
}

int Index(Net<float>& net, const std::string& name) {
  const auto& names = net.layer_names();
  return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
}

TEST(GraphQueries, NeighboursByBlobIdentity) {
  // data (net input) -> conv -> [Split] -> a, b, c; a is followed in place by r.
  auto net = MakeNet(
      "input: 'data' input_shape { dim: 1 dim: 2 dim: 3 dim: 3 } "
      "layer { name: 'conv' type: 'Convolution' bottom: 'data' top: 'conv' convolution_param { num_output: 2 kernel_size: 1 } } "
      "layer { name: 'a' type: 'Pooling' bottom: 'conv' top: 'a' pooling_param { kernel_size: 1 } } "
      "layer { name: 'r' type: 'ReLU' bottom: 'a' top: 'a' } "
      "layer { name: 'b' type: 'ReLU' bottom: 'conv' top: 'b' } "
      "layer { name: 'c' type: 'Concat' bottom: 'conv' bottom: 'a' top: 'c' }");
  const int conv = Index(*net, "conv"), a = Index(*net, "a"), r = Index(*net, "r"), c = Index(*net, "c");
  const int layers = static_cast<int>(net->layers().size());

  std::vector<int> out = {42};
  EXPECT_EQ(get_previous_layers(*net, conv, out), 1);  // the net input has no producer
  EXPECT_EQ(out, std::vector<int>{42});
  EXPECT_EQ(get_previous_layers(*net, -1, out), 0);
  EXPECT_EQ(get_next_layers(*net, layers, out), 0);
  EXPECT_EQ(out, std::vector<int>{42});

  out.clear();
  EXPECT_EQ(get_next_layers(*net, conv, out), 1);
  EXPECT_EQ(std::string(net->layers()[out[0]]->type()), "Split");
  out.clear();
  EXPECT_EQ(get_next_layers_no_split(*net, conv, out), 3);
  EXPECT_EQ(Types(*net, out), (std::vector<std::string>{"a", "b", "c"}));

  // The in-place ReLU rewrites a's blob: it is the last writer and a reader.
  EXPECT_EQ(findLayerByTopBlob(*net, net->top_vecs()[a][0]), r);
  EXPECT_EQ(findLayerByBottomBlob(*net, net->top_vecs()[a][0]), c);
  out.clear();
  get_previous_layers_no_split(*net, c, out);
  EXPECT_EQ(Types(*net, out), (std::vector<std::string>{"conv", "r"}));
}

TEST(LayerTypeSets, MembershipIsExact) {
  const std::vector<const std::set<std::string>*> sets = {
      &layer_equal_pre_types1, &layer_equal_pre_types2, &layer_equal_pre_types3, &layer_equal_pre_types4,
      &layer_not_need_cal_th, &layer_pad_impact, &layer_not_compute};
  auto member_of = [&](const std::string& type) {
    std::vector<int> in;
    for (size_t i = 0; i < sets.size(); ++i)
      if (layer_type_in(*sets[i], type)) in.push_back(static_cast<int>(i));
    return in;
  };
  EXPECT_EQ(member_of("relu"), std::vector<int>{});
  EXPECT_EQ(member_of("ReLU"), (std::vector<int>{1, 5}));
  EXPECT_EQ(member_of("Split"), (std::vector<int>{0, 5, 6}));
  EXPECT_EQ(member_of("Output"), (std::vector<int>{0, 4, 6}));
  EXPECT_EQ(member_of("Crop"), (std::vector<int>{3, 5}));
}

TEST(GraphTransforms, LayerTypeValidation) {
  EXPECT_TRUE(check_layer_validation("InnerProduct"));
  EXPECT_TRUE(check_layer_validation("Yolov3DetectionOutput"));
  EXPECT_FALSE(check_layer_validation("innerproduct"));
  EXPECT_FALSE(check_layer_validation("Input"));
}

TEST(GraphTransforms, UniqueNamesForInPlaceChains) {
  NetParameter param = ParseNet(
      "layer { name: 'd' type: 'Data' top: 'x' top: 'label' data_param { batch_size: 32 } include { phase: TRAIN } } "
      "layer { name: 'r1' type: 'ReLU' bottom: 'x' top: 'x' } "
      "layer { name: 'r2' type: 'Dropout' bottom: 'x' top: 'x' } "
      "layer { name: 'use' type: 'Pooling' bottom: 'x' top: 'p' }");
  NetParameter out;
  blob_rename_to_unique(out, param);
  ASSERT_EQ(out.layer_size(), 4);
  // Blob ids: x 0, label 1, x 2, x 3, p 4.
  EXPECT_EQ(out.layer(1).bottom(0), "x");
  EXPECT_EQ(out.layer(1).top(0), "x(2)");
  EXPECT_EQ(out.layer(2).bottom(0), "x(2)");
  EXPECT_EQ(out.layer(2).top(0), "x(3)");
  EXPECT_EQ(out.layer(3).bottom(0), "x(3)");
  EXPECT_EQ(out.layer(0).data_param().batch_size(), 1u);
  EXPECT_EQ(out.state().phase(), qrn::TEST);
}

TEST(GraphTransforms, SplitLayersDisappearAndTheirReadersReadTheInput) {
  // A net's own definition (with its Split layers) renamed back.
  auto net = MakeNet(
      "input: 'data' input_shape { dim: 1 dim: 2 } "
      "layer { name: 'fc' type: 'InnerProduct' bottom: 'data' top: 'fc' inner_product_param { num_output: 2 } } "
      "layer { name: 'a' type: 'ReLU' bottom: 'fc' top: 'a' } "
      "layer { name: 'b' type: 'ReLU' bottom: 'fc' top: 'b' }");
  NetParameter with_splits, out;
  net->ToProto(&with_splits);
  ASSERT_EQ(with_splits.layer_size(), 4);
  blob_rename_to_unique(out, with_splits);
  ASSERT_EQ(out.layer_size(), 3);
  EXPECT_EQ(out.layer(1).bottom(0), "fc");
  EXPECT_EQ(out.layer(2).bottom(0), "fc");
  Net<float> rebuilt(out);  // and it builds again
  EXPECT_EQ(rebuilt.layers().size(), 4u);
}

TEST(GraphTransformsDeathTest, UnsupportedTypeEndsTheRead) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NetParameter param = ParseNet("layer { name: 'in' type: 'Input' top: 'x' }");
  NetParameter out;
  EXPECT_DEATH(blob_rename_to_unique(out, param), "Calibration does not support Input !");
}

TEST(GraphTransforms, WeightChannelOrderIsStableOnTies) {
  auto blob = std::make_shared<qrn::Blob<float>>(std::vector<int>{5, 2});
  const float w[10] = {0.5f, -0.1f, 0.0f, 0.0f, -2.0f, 1.0f, 0.2f, -0.5f, 0.5f, 0.3f};
  std::copy(w, w + 10, blob->mutable_cpu_data());
  EXPECT_EQ(sort_weight_blob(blob), (std::vector<int>{2, 0, 3, 4, 1}));
}

TEST(GraphTransforms, PathHelpers) {
  struct Case {
    const char* in;
    const char* no_postfix;
    const char* base;
    const char* dir;
  };
  for (const Case& c : {Case{"dir/net.weights_optimized", "dir/net", "net.weights_optimized", "dir"},
                        Case{"net.a.b", "net.a", "net.a.b", "net.a.b"},
                        Case{"a.b/c", "a.b/c", "c", "a.b"},  // a dot in a directory name stays
                        Case{"./net", "./net", "net", "."},
                        Case{"dir/.hidden", "dir/.hidden", ".hidden", "dir"},
                        Case{"plain", "plain", "plain", "plain"}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(rmPostfix(c.in), c.no_postfix);
    EXPECT_EQ(getBasename(c.in), c.base);
    EXPECT_EQ(getDirname(c.in), c.dir);
  }
  EXPECT_EQ(posix_basename(rmPostfix("dir/net.weights_optimized")), "net");
  EXPECT_EQ(posix_basename("a/b/"), "b");
}

// --- the convolution-group split -------------------------------------------

const char* kWeights = "weight_filler { type: 'gaussian' std: 0.3 } bias_filler { type: 'gaussian' std: 0.3 }";

std::string Conv(const std::string& name, const std::string& bottom, int out, int group = 1,
                 int kernel = 1) {
  return "layer { name: '" + name + "' type: 'Convolution' bottom: '" + bottom + "' top: '" + name +
         "' convolution_param { num_output: " + std::to_string(out) + " group: " + std::to_string(group) +
         " kernel_size: " + std::to_string(kernel) + " pad: " + std::to_string(kernel / 2) + " " + kWeights + " } } ";
}

std::string Layer(const std::string& type, const std::string& name, const std::string& bottom,
                  const std::string& extra = "") {
  return "layer { name: '" + name + "' type: '" + type + "' bottom: '" + bottom + "' top: '" + name + "' " +
         extra + " } ";
}

const std::string kInput =
    "name: 'g' layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { "
    "shape { dim: 2 dim: 3 dim: 5 dim: 5 } data_filler { type: 'gaussian' } } } ";

// Writes the net's definition and random weights (BatchNorm statistics made
// non-trivial), splits it, and checks the rewritten net computes the same.
NetParameter SplitAndCompare(const std::string& layers, const std::string& output) {
  TempDir dir;
  const std::string text = kInput + layers;
  auto net = MakeNet(text);
  for (const auto& layer : net->layers()) {
    if (std::string(layer->type()) != "BatchNorm") continue;
    auto& b = layer->blobs();
    tools_test::FillRandom(b[0].get(), 5);
    tools_test::FillRandom(b[1].get(), 6, 0.5f, 2.0f);
    b[2]->mutable_cpu_data()[0] = 1.0f;
  }
  NetParameter weights, definition = ParseNet(text);
  net->ToProto(&weights);
  EXPECT_TRUE(qrn::WriteProtoToTextFile(definition, dir / "m.prototxt"));
  EXPECT_TRUE(qrn::WriteProtoToBinaryFile(weights, dir / "w.bin"));
  net->Forward();
  const auto expected = Values(*net->blob_by_name(output));

  split_conv_into_group(dir / "m.prototxt", dir / "w.bin", "_x");
  NetParameter rewritten;
  EXPECT_TRUE(qrn::ReadProtoFromTextFile(dir / "m.prototxt_x", &rewritten));
  for (const auto& l : rewritten.layer()) EXPECT_EQ(l.blobs_size(), 0) << l.name();
  Net<float> split(rewritten);
  split.CopyTrainedLayersFrom(dir / "w.bin_x");
  split.Forward();
  ExpectNear(expected, Values(*split.blob_by_name(output)), 1e-4f);
  return rewritten;
}

std::vector<std::string> LayerNames(const NetParameter& p) {
  std::vector<std::string> n;
  for (const auto& l : p.layer()) n.push_back(l.name());
  return n;
}

TEST(ConvGroupSplit, WideConvolutionBeforeBatchNormScaleReluConvolution) {
  const auto p = SplitAndCompare(Conv("c1", "data", 128, 1, 3) + Layer("BatchNorm", "bn", "c1") +
                                     Layer("Scale", "sc", "bn", "scale_param { bias_term: true filler { type: 'uniform' } bias_filler { type: 'gaussian' } }") +
                                     Layer("ReLU", "relu", "sc") + Conv("c2", "relu", 4, 1, 3),
                                 "c2");
  EXPECT_EQ(LayerNames(p), (std::vector<std::string>{"data", "c1-0", "c1-1", "conv_group_concat_4", "bn", "sc",
                                                     "relu", "c2"}));
  EXPECT_EQ(p.layer(1).convolution_param().num_output(), 64u);
  EXPECT_EQ(p.layer(3).bottom_size(), 2);
}

TEST(ConvGroupSplit, ChainThroughDepthwiseConvolutionAndPooling) {
  SplitAndCompare(Conv("c1", "data", 96) + Layer("ReLU", "r", "c1") + Conv("dw", "r", 96, 96, 3) +
                      Layer("Pooling", "pool", "dw", "pooling_param { pool: MAX kernel_size: 2 stride: 1 }") +
                      Layer("Bias", "bias", "pool", "bias_param { filler { type: 'gaussian' } }") + Conv("c2", "bias", 5),
                  "c2");
}

TEST(ConvGroupSplit, EndConvolutionThatStartsTheNextChainIsSplitInItsTurn) {
  const auto p = SplitAndCompare(
      Conv("c1", "data", 80) + Layer("ReLU", "r1", "c1") + Conv("c2", "r1", 70) + Layer("ReLU", "r2", "c2") +
          Conv("c3", "r2", 3),
      "c3");
  EXPECT_EQ(LayerNames(p), (std::vector<std::string>{"data", "c1-0", "c1-1", "conv_group_concat_2", "r1", "c2-0",
                                                     "c2-1", "conv_group_concat_4", "r2", "c3"}));
}

TEST(ConvGroupSplit, OnlyWideConvolutionsFeedingAConvolutionAreSplit) {
  const auto sixty_five = SplitAndCompare(Conv("c1", "data", 65) + Conv("c2", "c1", 2), "c2");
  EXPECT_EQ(LayerNames(sixty_five), (std::vector<std::string>{"data", "c1-0", "c1-1", "conv_group_concat_1", "c2"}));
  EXPECT_EQ(sixty_five.layer(2).convolution_param().num_output(), 1u);

  const auto sixty_four = SplitAndCompare(Conv("c1", "data", 64) + Conv("c2", "c1", 2), "c2");
  EXPECT_EQ(LayerNames(sixty_four), (std::vector<std::string>{"data", "c1", "c2"}));
  // A fan-out ends the pattern.
  const auto fan_out = SplitAndCompare(
      Conv("c1", "data", 70) + Conv("c2", "c1", 2) + Layer("Pooling", "p", "c1", "pooling_param { kernel_size: 1 }"),
      "c2");
  EXPECT_EQ(LayerNames(fan_out), (std::vector<std::string>{"data", "c1", "c2", "p"}));
}

// --- the accuracy adjustment --------------------------------------------------

TEST(AccuracyAdjustment, ScalesQuietChannelsAndKeepsTheOutput) {
  for (const char* partner : {"Scale", "BatchNorm"}) {
    SCOPED_TRACE(partner);
    const bool bn = std::string(partner) == "BatchNorm";
    auto net = MakeNet(kInput + Conv("conv", "data", 3) +
                       Layer(partner, "p", "conv",
                             bn ? "batch_norm_param { stats_in_multiplier_form: true }"
                                : "scale_param { bias_term: true filler { type: 'uniform' min: 0.5 max: 1 } }"));
    auto& w = *net->layer_by_name("conv")->blobs()[0];
    const float kw[9] = {1.0f, -0.2f, 0.1f, 0.5f, 0.25f, -0.1f, 0.0f, 0.0f, 0.0f};
    std::copy(kw, kw + 9, w.mutable_cpu_data());
    if (bn) {
      auto& b = net->layer_by_name("p")->blobs();
      const float off[3] = {0.1f, -0.3f, 0.2f}, mul[3] = {1.5f, 0.7f, 2.0f};
      std::copy(off, off + 3, b[0]->mutable_cpu_data());
      std::copy(mul, mul + 3, b[1]->mutable_cpu_data());
    }
    net->Forward();
    const auto before = Values(*net->blob_by_name("p"));
    const auto bias_before = Values(*net->layer_by_name("conv")->blobs()[1]);
    const int conv = Index(*net, "conv");
    net->top_vecs()[conv][0]->setThresHold(1.0);
    // Channel maxima 1.0 and 0.5: average 0.75, factors 0.75 and 1 before the
    // bands; ratio 0.1 puts channel 1 in the 4x band: 1 / (0.5 / 0.75).
    const double ratio[3] = {0.02, 0.1, 0.01};
    adjust_conv_scale_weight(*net, [&](int layer, int k) {
      EXPECT_EQ(layer, conv);
      return ratio[k];
    });
    const auto after_w = Values(w);
    EXPECT_FLOAT_EQ(after_w[0], 1.0f);
    EXPECT_FLOAT_EQ(after_w[3], 0.5f * 1.5f);
    EXPECT_FLOAT_EQ(after_w[6], 0.0f);  // an all-zero channel stays
    EXPECT_FLOAT_EQ(Values(*net->layer_by_name("conv")->blobs()[1])[1], bias_before[1] * 1.5f);
    net->ForwardFrom(1);  // same input as before
    ExpectNear(before, Values(*net->blob_by_name("p")), 1e-5f);
  }
}

// The partner is the convolution's single consumer wherever it stands in the
// net, not the layer that follows the convolution: here another branch's
// Scale and convolution come between, and their outputs must not change.
TEST(AccuracyAdjustment, PartnerIsTheConsumerNotTheNextLayer) {
  const std::string scale = "scale_param { bias_term: true filler { type: 'uniform' min: 0.5 max: 1 } }";
  auto net = MakeNet(kInput + Conv("conv2", "data", 3) + Conv("conv", "data", 3) +
                     Layer("Scale", "other", "conv2", scale) + Layer("Scale", "p", "conv", scale));
  net->Forward();
  const auto p_before = Values(*net->blob_by_name("p"));
  const auto other_before = Values(*net->blob_by_name("other"));
  const auto w_before = Values(*net->layer_by_name("conv")->blobs()[0]);
  for (const char* c : {"conv", "conv2"}) net->top_vecs()[Index(*net, c)][0]->setThresHold(1.0);
  adjust_conv_scale_weight(*net, [](int, int) { return 0.1; });  // the 4x band
  EXPECT_NE(Values(*net->layer_by_name("conv")->blobs()[0]), w_before) << "the adjustment acted";
  net->ForwardFrom(1);  // same input as before
  ExpectNear(p_before, Values(*net->blob_by_name("p")), 1e-5f);
  ExpectNear(other_before, Values(*net->blob_by_name("other")), 1e-5f);
}

// --- the rewriter's command line ----------------------------------------------

TEST(RefinerCommand, OptionsAndQuoting) {
  gflags::FlagSaver saver;
  FLAGS_per_channel = true;
  force_graph_transform_option();
  EXPECT_TRUE(FLAGS_graph_transform);
  EXPECT_EQ(net_refiner_command("dir/m.prototxt", "dir/net.weights", "_"),
            "python3 -m Net_Refiner --name net --proto_fp32 dir/m.prototxt --model_fp32 dir/net.weights "
            "--postfix _ --fp32_diff 0.001 --merge_conv_scale");
  FLAGS_per_channel = false;
  FLAGS_accuracy_opt = true;
  FLAGS_fuse_preprocess = true;
  FLAGS_notmerge_conv_layer = "conv1,conv2";
  EXPECT_EQ(net_refiner_command("m", "w", "_"),
            "python3 -m Net_Refiner --name w --proto_fp32 m --model_fp32 w --postfix _ "
            "--notmerge_conv_layer conv1,conv2 --fp32_diff 0.001 --merge_depwise_scale --fuse_preprocess");
  // Paths reach the shell as single words, whatever they hold.
  FLAGS_accuracy_opt = FLAGS_fuse_preprocess = false;
  FLAGS_notmerge_conv_layer = "";
  EXPECT_EQ(net_refiner_command("my dir/m;rm x", "it's/$(w).bin", "_"),
            "python3 -m Net_Refiner --name '$(w)' --proto_fp32 'my dir/m;rm x' --model_fp32 'it'\\''s/$(w).bin' "
            "--postfix _ --fp32_diff 0.001");
}

TEST(RefinerCommand, OtherOptionsDoNotForceTheRewrite) {
  gflags::FlagSaver saver;
  FLAGS_conv_group = true;
  FLAGS_winograd = true;
  force_graph_transform_option();
  EXPECT_FALSE(FLAGS_graph_transform);
}

// ---- The rewrites no command runs ----

// Collects the INFO lines logged while it lives.
class LogLines : public google::LogSink {
 public:
  LogLines() : old_level_(FLAGS_minloglevel) {
    FLAGS_minloglevel = 0;
    google::AddLogSink(this);
  }
  ~LogLines() override {
    google::RemoveLogSink(this);
    FLAGS_minloglevel = old_level_;
  }
  void send(google::LogSeverity, const char*, const char*, int, const struct ::tm*, const char* message,
            size_t length) override {
    lines.emplace_back(message, length);
  }
  std::vector<std::string> lines;

 private:
  int old_level_;
};

TEST(UnusedRewrites, BatchnormStatisticsBecomeMultipliersAndTheOutputStays) {
  // bn0 (index 0) is never converted; bn1 (factor 4) and bn3 (factor 0, read
  // as 0) are; bn2 is in multiplier form already.
  auto net = MakeNet(
      "input: 'x' input_shape { dim: 1 dim: 2 dim: 2 dim: 2 } "
      "layer { name: 'bn0' type: 'BatchNorm' bottom: 'x' top: 'a' batch_norm_param { eps: 0.5 } } "
      "layer { name: 'bn1' type: 'BatchNorm' bottom: 'a' top: 'b' batch_norm_param { eps: 0.25 } } "
      "layer { name: 'bn2' type: 'BatchNorm' bottom: 'b' top: 'c' batch_norm_param { stats_in_multiplier_form: true } } "
      "layer { name: 'bn3' type: 'BatchNorm' bottom: 'c' top: 'd' batch_norm_param { eps: 0.125 } }");
  const float stats[4][5] = {{1.0f, -2.0f, 3.0f, 5.0f, 2.0f},
                             {4.0f, -8.0f, 12.0f, 20.0f, 4.0f},
                             {0.5f, 1.5f, 2.0f, 0.25f, 0.0f},
                             {6.0f, 7.0f, 2.0f, 3.0f, 0.0f}};
  for (int i = 0; i < 4; ++i) {
    auto& b = net->layers()[i]->blobs();
    for (int c = 0; c < 2; ++c) {
      b[0]->mutable_cpu_data()[c] = stats[i][c];
      b[1]->mutable_cpu_data()[c] = stats[i][2 + c];
    }
    b[2]->mutable_cpu_data()[0] = stats[i][4];
  }
  tools_test::FillRandom(net->input_blobs()[0], 3, -4.0f, 4.0f);
  const std::vector<float> before = Values(*net->Forward()[0]);

  convertBatchnormType(*net);
  auto blob = [&](int layer, int k) { return Values(*net->layers()[layer]->blobs()[k]); };
  EXPECT_EQ(blob(0, 0), (std::vector<float>{1.0f, -2.0f}));
  EXPECT_EQ(blob(2, 1), (std::vector<float>{2.0f, 0.25f}));
  // bn1: s = 1/4; offsets -mean * s, multipliers 1 / sqrt(var * s + eps).
  EXPECT_EQ(blob(1, 0), (std::vector<float>{-1.0f, 2.0f}));
  ExpectNear({1.0f / std::sqrt(3.25f), 1.0f / std::sqrt(5.25f)}, blob(1, 1), 1e-6f);
  // bn3: a factor of 0 gives s = 0: offsets -0, multipliers 1 / sqrt(eps).
  EXPECT_EQ(blob(3, 0), (std::vector<float>{-0.0f, -0.0f}));
  ExpectNear({1.0f / std::sqrt(0.125f), 1.0f / std::sqrt(0.125f)}, blob(3, 1), 1e-6f);
  EXPECT_EQ(net->layers()[0]->stats_in_multiplier_form(), 0);
  for (int i : {1, 2, 3}) EXPECT_EQ(net->layers()[i]->stats_in_multiplier_form(), 1) << i;
  ExpectNear(before, Values(*net->Forward()[0]), 1e-5f);
  // Converted once: a second call changes nothing.
  const std::vector<float> once = blob(1, 1);
  convertBatchnormType(*net);
  EXPECT_EQ(blob(1, 1), once);
}

// Two inputs concatenated along c, then `between` (layer text using 'cat' as
// bottom and 'mid' as top, or empty), then the consumers in `after`.
std::unique_ptr<Net<float>> ConcatNet(const std::string& between, const std::string& after) {
  return MakeNet(
      "input: 'a' input_shape { dim: 1 dim: 2 dim: 3 dim: 3 } "
      "input: 'b' input_shape { dim: 1 dim: 1 dim: 3 dim: 3 } "
      "layer { name: 'cat' type: 'Concat' bottom: 'a' bottom: 'b' top: 'cat' } " +
      between + after);
}

TEST(UnusedRewrites, ConcatFoldWalksTransparentLayersToConvolutions) {
  const std::string conv1 =
      "layer { name: 'k1' type: 'Convolution' bottom: 'mid' top: 'k1' convolution_param { num_output: 2 kernel_size: 1 } } ";
  const std::string conv2 =
      "layer { name: 'k2' type: 'Convolution' bottom: 'mid' top: 'k2' convolution_param { num_output: 4 kernel_size: 3 } } ";
  const std::string relu = "layer { name: 'r' type: 'ReLU' bottom: 'cat' top: 'mid' } ";
  struct Case {
    const char* what;
    std::string between, after;
    std::vector<std::string> convs;  // the list after the Concat
    bool fold;
    const char* logged;  // an INFO line, or nullptr
  };
  const Case cases[] = {
      {"through ReLU to two convolutions", relu, conv1 + conv2, {"k1", "k2"}, true, nullptr},
      {"through an average pooling",
       "layer { name: 'p' type: 'Pooling' bottom: 'cat' top: 'mid' pooling_param { pool: AVE kernel_size: 1 } } ",
       conv1, {"k1"}, true, nullptr},
      {"a max pooling stops the walk",
       "layer { name: 'p' type: 'Pooling' bottom: 'cat' top: 'mid' pooling_param { pool: MAX kernel_size: 1 } } ",
       conv1, {}, false, "Pooling is not a transparent layer type!"},
      {"a branch ending in an output", relu,
       conv1 + "layer { name: 'f' type: 'Flatten' bottom: 'mid' top: 'f' } ", {"k1"}, false, nullptr},
      {"a scale stops the walk", "layer { name: 's' type: 'Scale' bottom: 'cat' top: 'mid' } ", conv1, {}, false,
       "Scale is not a transparent layer type!"},
      {"the Concat is the output", "", "", {}, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = ConcatNet(c.between, c.after);
    std::vector<std::vector<int>> lists = {{99}};  // appended to
    LogLines log;
    setFoldConcatWithConvLayer(*net, lists);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0], std::vector<int>{99});
    ASSERT_FALSE(lists[1].empty());
    EXPECT_EQ(lists[1][0], Index(*net, "cat"));
    EXPECT_EQ(Types(*net, std::vector<int>(lists[1].begin() + 1, lists[1].end())), c.convs);
    EXPECT_EQ(net->layers()[Index(*net, "cat")]->layer_param().concat_param().fold_concat_with_conv(), c.fold);
    if (c.logged != nullptr) {
      EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), c.logged), log.lines.end()) << c.logged;
    }
  }
}

TEST(UnusedRewrites, FoldScalesConvolutionWeightsByInputOverOutputThreshold) {
  auto net = ConcatNet("layer { name: 'r' type: 'ReLU' bottom: 'cat' top: 'mid' } ",
                       "layer { name: 'k1' type: 'Convolution' bottom: 'mid' top: 'k1' convolution_param { "
                       "num_output: 2 kernel_size: 1 } } ");
  const int cat = Index(*net, "cat"), k1 = Index(*net, "k1");
  net->blob_by_name("a")->setThresHold(2.0);
  net->blob_by_name("b")->setThresHold(8.0);
  net->blob_by_name("cat")->setThresHold(8.0);
  qrn::Blob<float>& w = *net->layers()[k1]->blobs()[0];  // 2 x 3 x 1 x 1
  for (int i = 0; i < 6; ++i) w.mutable_cpu_data()[i] = float(i + 1);
  std::vector<std::vector<int>> lists = {{cat, k1}};
  // Without the flag nothing changes.
  foldConcatWithConvLayer(*net, lists);
  EXPECT_EQ(Values(w), (std::vector<float>{1, 2, 3, 4, 5, 6}));

  net->layers()[cat]->mutable_layer_param()->mutable_concat_param()->set_fold_concat_with_conv(true);
  LogLines log;
  foldConcatWithConvLayer(*net, lists);
  // Input channels 0, 1 come from a (2 / 8), channel 2 from b (8 / 8).
  EXPECT_EQ(Values(w), (std::vector<float>{0.25f, 0.5f, 3, 1, 1.25f, 6}));
  const std::vector<std::string> want = {" thBottom:2 thTop:8 Scale:0.25", "in_chn:2", " thBottom:8 thTop:8 Scale:1",
                                         "in_chn:1", " weight_shape_vec:   2 3 1 1 (6)", "Before:6", "After :6"};
  EXPECT_EQ(log.lines, want);

  // concat_dim, when set, names the axis: along h (3 rows from each input)
  // a 4-axis weight with 6 along axis 2 is scaled by rows.
  auto along_h = MakeNet(
      "input: 'a' input_shape { dim: 1 dim: 1 dim: 3 dim: 2 } input: 'b' input_shape { dim: 1 dim: 1 dim: 3 dim: 2 } "
      "layer { name: 'cat' type: 'Concat' bottom: 'a' bottom: 'b' top: 'cat' concat_param { concat_dim: 2 "
      "fold_concat_with_conv: true } } "
      "layer { name: 'k' type: 'Convolution' bottom: 'cat' top: 'k' convolution_param { num_output: 1 kernel_h: 6 "
      "kernel_w: 1 } } ");
  along_h->blob_by_name("a")->setThresHold(1.0);
  along_h->blob_by_name("b")->setThresHold(4.0);
  along_h->blob_by_name("cat")->setThresHold(4.0);
  qrn::Blob<float>& wh = *along_h->layers()[1]->blobs()[0];  // 1 x 1 x 6 x 1
  for (int i = 0; i < 6; ++i) wh.mutable_cpu_data()[i] = 4.0f;
  std::vector<std::vector<int>> h_lists = {{0, 1}};
  foldConcatWithConvLayer(*along_h, h_lists);
  EXPECT_EQ(Values(wh), (std::vector<float>{1, 1, 1, 4, 4, 4}));
}

}  // namespace
