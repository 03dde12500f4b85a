// scalefinder's output files: field pruning and the deploy definitions.
#include "output_files.hpp"
#include "test_util.hpp"

using qrn::NetParameter;
using tools_test::ParseNet;

namespace {

std::vector<std::string> Names(const NetParameter& p) {
  std::vector<std::string> n;
  for (const auto& l : p.layer()) n.push_back(l.name());
  return n;
}

const char* kTrainNet =
    "name: 'net' "
    "layer { name: 'data' type: 'Data' top: 'data' top: 'label' top: 'my_labels' "
    "  data_param { source: 'x' batch_size: 1 } transform_param { scale: 0.5 } } "
    "layer { name: 'aug' type: 'ReLU' bottom: 'data' top: 'aug' include { phase: TRAIN } } "
    "layer { name: 'fc' type: 'InnerProduct' bottom: 'data' top: 'fc' th_top: 3 "
    "  blobs { shape { dim: 1 } data: 1 } } "
    "layer { name: 'rs' type: 'Reshape' bottom: 'fc' top: 'rs' reshape_param { shape { dim: 4 dim: -1 } } } "
    "layer { name: 'flat' type: 'Reshape' bottom: 'rs' top: 'flat' reshape_param { } } "
    "layer { name: 'acc' type: 'Accuracy' bottom: 'fc' bottom: 'label' top: 'acc' } "
    "layer { name: 'loss' type: 'SoftmaxWithLoss' bottom: 'fc' bottom: 'label' top: 'loss' }";

TEST(OutputFiles, DeployDefinition) {
  const NetParameter train = ParseNet(kTrainNet);
  std::vector<std::vector<int>> shapes = {{1, 3, 8, 8}};
  NetParameter deploy;
  prune_for_deploy(train, deploy, shapes, false);
  EXPECT_EQ(deploy.name(), "net");
  EXPECT_EQ(Names(deploy), (std::vector<std::string>{"data", "fc", "rs", "flat", "loss"}));
  const auto& input = deploy.layer(0);
  EXPECT_EQ(input.type(), "Input");
  EXPECT_EQ(std::vector<std::string>(input.top().begin(), input.top().end()), std::vector<std::string>{"data"});
  EXPECT_EQ(input.input_param().shape(0).dim_size(), 4);
  EXPECT_EQ(input.input_param().shape(0).dim(1), 3);
  EXPECT_FALSE(input.has_data_param());
  EXPECT_FALSE(input.has_followedbyrelu());
  EXPECT_EQ(deploy.layer(2).reshape_param().shape().dim(0), 0);
  EXPECT_EQ(deploy.layer(3).reshape_param().shape().dim_size(), 0) << "a shape without dimensions stays as it is";
  const auto& loss = deploy.layer(4);
  EXPECT_EQ(loss.type(), "Softmax");
  EXPECT_EQ(std::vector<std::string>(loss.bottom().begin(), loss.bottom().end()), std::vector<std::string>{"fc"});
  EXPECT_TRUE(deploy.layer(1).has_th_top()) << "other fields are kept";

  NetParameter fused, kept_reshape(train);
  prune_for_deploy(train, fused, shapes, true);
  EXPECT_TRUE(fused.layer(0).followedbyrelu());
  kept_reshape.set_model_type(6);
  prune_for_deploy(kept_reshape, fused, shapes, false);
  EXPECT_EQ(fused.layer(2).reshape_param().shape().dim(0), 4);
}

TEST(OutputFilesDeathTest, MoreDataLayersThanShapes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const NetParameter train = ParseNet(kTrainNet);
  std::vector<std::vector<int>> none;
  NetParameter deploy;
  EXPECT_DEATH(prune_for_deploy(train, deploy, none, false), "data layer data has no recorded input shape");
}

TEST(OutputFiles, ClearFieldsAtEveryDepth) {
  NetParameter p = ParseNet(
      "name: 'n' layer { name: 'a' type: 'Scale' th_top: 1 blobs { data: 1 } FollowedByRelu: true "
      "  scale_param { rshift_per_layer: 'xy' bias_term: true } } "
      "layer { name: 'b' type: 'LRN' lrn_param { lut_table: 'z' local_size: 3 } }");
  clear_all_fields(p, {"blobs", "th_top", "rshift_per_layer", "lut_table", "FollowedByRelu"});
  EXPECT_EQ(p.name(), "n");
  EXPECT_EQ(p.layer(0).blobs_size(), 0);
  EXPECT_FALSE(p.layer(0).has_th_top());
  EXPECT_FALSE(p.layer(0).has_followedbyrelu());
  EXPECT_FALSE(p.layer(0).scale_param().has_rshift_per_layer());
  EXPECT_TRUE(p.layer(0).scale_param().bias_term());
  EXPECT_FALSE(p.layer(1).lrn_param().has_lut_table());
  EXPECT_EQ(p.layer(1).lrn_param().local_size(), 3u);
}

}  // namespace
