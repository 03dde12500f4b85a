// scalefinder on the shipped Fashion-MNIST network: the float net, a
// calibration over real test images, and the 8-bit model and definitions it
// writes, read back.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "dist_analysis.hpp"
#include "test_util.hpp"

using qrn::LayerParameter;
using qrn::NetParameter;
using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kModel = std::string(MODEL_DIR) + "/fashion_mnist.prototxt";
const std::string kWeights = std::string(MODEL_DIR) + "/fashion_mnist.weights";
constexpr int kImages = 100;

TEST(ShippedNet, FloatNetClassifiesTestImages) {
  qrn::Net<float> net(kModel, qrn::TEST);
  net.CopyTrainedLayersFrom(kWeights);
  const auto prob = net.blob_by_name("prob");
  const auto label = net.blob_by_name("label");
  ASSERT_TRUE(prob && label);
  int right = 0;
  for (int n = 0; n < kImages; ++n) {
    net.Forward();
    const float* p = prob->cpu_data();
    const int guess = static_cast<int>(std::max_element(p, p + 10) - p);
    right += guess == static_cast<int>(label->cpu_data()[0]);
  }
  EXPECT_GE(right, kImages * 8 / 10) << "the trained net gets about 89 % of the test set right";
}

// The quantized model and definitions of one calibration, written by the
// program as a user runs it.
class QuantizedShippedNet : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    fs::copy_file(kModel, *dir_ / "fm.prototxt");
    fs::copy_file(kWeights, *dir_ / "fm.weights");
    const std::string cmd = "cd '" + dir_->path() + "' && GLOG_logtostderr=1 '" SCALEFINDER_BIN
                            "' --model=fm.prototxt --weights=fm.weights --iterations=" + std::to_string(kImages) +
                            " --save_test_proto --winograd --dump_dist=fm.dist quantize > run.log 2>&1";
    status_ = std::system(cmd.c_str());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0) << Log();
    ASSERT_TRUE(qrn::ReadProtoFromBinaryFile(*dir_ / "fm.int8qmodel", &model_));
    ASSERT_TRUE(qrn::ReadProtoFromTextFile(*dir_ / "fm_deploy_int8_unique_top.prototxt", &deploy_int8_));
    ASSERT_TRUE(qrn::ReadProtoFromTextFile(*dir_ / "fm_deploy_fp32_unique_top.prototxt", &deploy_fp32_));
    ASSERT_TRUE(qrn::ReadProtoFromTextFile(*dir_ / "fm_test_int8_unique_top.prototxt", &test_int8_));
  }

  static std::string Log() {
    std::ifstream in(*dir_ / "run.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  const LayerParameter& Layer(const NetParameter& p, const std::string& name) {
    for (const auto& l : p.layer())
      if (l.name() == name) return l;
    ADD_FAILURE() << "no layer " << name;
    return p.layer(0);
  }

  static TempDir* dir_;
  static int status_;
  NetParameter model_, deploy_int8_, deploy_fp32_, test_int8_;
};
TempDir* QuantizedShippedNet::dir_ = nullptr;
int QuantizedShippedNet::status_ = -1;

TEST_F(QuantizedShippedNet, ThresholdsArePositiveAndFinite) {
  ASSERT_EQ(model_.layer_size(), 11);
  for (const auto& l : model_.layer()) {
    SCOPED_TRACE(l.name());
    EXPECT_TRUE(std::isfinite(l.th_top()) && l.th_top() > 0) << l.th_top();
    EXPECT_EQ(l.scaleconvertbacktofloat_output(), l.th_top() / 128);
    if (l.bottom_size() > 0) {
      EXPECT_TRUE(std::isfinite(l.th_bottom()) && l.th_bottom() > 0) << l.th_bottom();
    }
    EXPECT_EQ(l.scaleconvertbacktofloat_output_mul_size(), l.top_size());
  }
  // Each layer's input threshold is its producer's output threshold.
  for (int i = 1; i < model_.layer_size(); ++i)
    EXPECT_EQ(model_.layer(i).th_bottom(), model_.layer(i - 1).th_top()) << model_.layer(i).name();
  EXPECT_NE(Log().find("int8 calibration done."), std::string::npos);
  EXPECT_NE(Log().find("statistics: histogram pass over 100 iterations"), std::string::npos);
}

TEST_F(QuantizedShippedNet, FloatOutputAndPassThroughRules) {
  // The softmax heads a float block and hands on floats; the layer before it
  // uses its maximum as threshold.
  const LayerParameter& prob = Layer(model_, "prob");
  EXPECT_TRUE(prob.forward_with_float());
  EXPECT_TRUE(prob.output_is_float());
  const std::string dist_file = *dir_ / "fm.dist";
  ASSERT_EQ(fs::file_size(dist_file), 11 * kDistRecordBytes);
  std::ifstream in(dist_file, std::ios::binary);
  in.seekg(9 * static_cast<std::streamoff>(kDistRecordBytes));  // ip2
  double ip2_max;
  in.read(reinterpret_cast<char*>(&ip2_max), sizeof ip2_max);
  EXPECT_EQ(Layer(model_, "ip2").th_top(), static_cast<float>(ip2_max));
  EXPECT_EQ(Layer(model_, "ip2").input_tensor_is_float_size(), 1);
  EXPECT_FALSE(Layer(model_, "ip2").input_tensor_is_float(0));

  // ReLUs and max pooling pass their input's threshold on; the layer before
  // each takes it.
  for (const char* name : {"relu1", "pool1", "relu2", "pool2", "relu3"}) {
    const LayerParameter& l = Layer(model_, name);
    EXPECT_EQ(l.th_top(), l.th_bottom()) << name;
    EXPECT_FALSE(l.forward_with_float()) << name;
    EXPECT_FALSE(l.output_is_float()) << name;
  }
  for (const char* name : {"conv1", "conv2", "ip1"}) EXPECT_TRUE(Layer(model_, name).followedbyrelu()) << name;
  EXPECT_TRUE(Layer(model_, "relu2").relu_param().has_following_special());
}

TEST_F(QuantizedShippedNet, WeightsDequantizeToTheFloatWeights) {
  NetParameter float_weights;
  ASSERT_TRUE(qrn::ReadProtoFromBinaryFile(kWeights, &float_weights));
  for (const auto& src : float_weights.layer()) {
    SCOPED_TRACE(src.name());
    const LayerParameter& q = Layer(model_, src.name());
    ASSERT_EQ(q.blobs_size(), 2);
    const auto& w = q.blobs(0);
    const auto& b = q.blobs(1);
    EXPECT_EQ(w.bit_width(), qrn::bitWidth_8);
    EXPECT_EQ(b.bit_width(), qrn::bitWidth_16);
    const int s = w.right_shift_num();
    EXPECT_TRUE(s >= 0 && s <= 31) << s;
    EXPECT_EQ(b.right_shift_num(), s);
    const double w_scale = static_cast<double>(q.th_bottom()) * std::ldexp(1.0, s) / q.th_top();
    const double b_scale = std::ldexp(128.0, s) / q.th_top();
    const auto* w8 = reinterpret_cast<const int8_t*>(w.raw_data().data());
    const auto* b16 = reinterpret_cast<const int16_t*>(b.raw_data().data());
    for (int k = 0; k < src.blobs(0).data_size(); ++k) {
      const double expected = std::max(-128.0, std::min(127.0, src.blobs(0).data(k) * w_scale));
      ASSERT_NEAR(w8[k], expected, 0.5 + 1e-3) << "weight " << k;
    }
    for (int k = 0; k < src.blobs(1).data_size(); ++k) {
      const double expected = std::max(-32768.0, std::min(32767.0, src.blobs(1).data(k) * b_scale));
      ASSERT_NEAR(b16[k], expected, 0.5 + 1e-3) << "bias " << k;
    }
    // 3x3 convolutions on 28x28 and 14x14 maps also carry Winograd weights.
    EXPECT_EQ(w.winograd_existence(), src.type() == "Convolution" ? 1 : 0);
    EXPECT_EQ(w.fixed_sign_type(), qrn::BlobProto_FixedSignType_SIGNED) << "the weights have both signs";
  }
}

TEST_F(QuantizedShippedNet, DefinitionsForDeploymentAndTest) {
  const float data_th = Layer(model_, "data").th_top();
  ASSERT_EQ(deploy_int8_.layer(0).type(), "Input");
  EXPECT_EQ(deploy_int8_.layer(0).top_size(), 1) << "the label output is dropped";
  const auto& shape = deploy_int8_.layer(0).input_param().shape(0);
  EXPECT_EQ(std::vector<int64_t>(shape.dim().begin(), shape.dim().end()), (std::vector<int64_t>{1, 1, 28, 28}));
  EXPECT_FLOAT_EQ(deploy_int8_.int8_scale(), 128.0f / data_th);
  EXPECT_FALSE(deploy_fp32_.has_int8_scale());
  EXPECT_TRUE(deploy_int8_.use_winograd());
  EXPECT_TRUE(test_int8_.use_winograd());
  EXPECT_FALSE(deploy_fp32_.has_use_winograd());
  EXPECT_EQ(deploy_int8_.layer_size(), 11);
  EXPECT_EQ(deploy_fp32_.layer_size(), 11);
  EXPECT_EQ(test_int8_.name(), "fashion_mnist");
  EXPECT_FLOAT_EQ(Layer(test_int8_, "data").transform_param().int8_scale(), 128.0f / data_th);
  EXPECT_FALSE(Layer(model_, "data").transform_param().has_int8_scale());

  // The int8 test definition carries no calibration data.
  std::ifstream in(*dir_ / "fm_test_int8_unique_top.prototxt");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* field : {"blobs", "th_top", "th_bottom", "rshift_per_layer", "FollowedByRelu", "output_is_float"})
    EXPECT_EQ(text.find(field), std::string::npos) << field;
  EXPECT_TRUE(Layer(test_int8_, "prob").forward_with_float());
  // The statistics file is what the histogram pass saw.
  auto d = std::make_unique<dist_data>();  // 8 MB: not on the stack
  std::vector<unsigned char> record(kDistRecordBytes);
  std::ifstream dist(*dir_ / "fm.dist", std::ios::binary);
  dist.read(reinterpret_cast<char*>(record.data()), static_cast<std::streamsize>(record.size()));
  deserializeDistData(record.data(), d.get());
  EXPECT_EQ(d->dataNum, kImages * 28 * 28);
  EXPECT_EQ(d->maxPerLayer, 255.0 / 256.0) << "the brightest pixel of the first 100 images";
}

}  // namespace
