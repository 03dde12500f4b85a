// The shipped network after "scalefinder quantize" with each threshold
// method: the 8-bit model's top-1 accuracy on a few hundred test images is
// within one point of the float net's (bench/accuracy runs all 10,000).
#include <sys/wait.h>

#include "test_util.hpp"

using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kModelDir = MODEL_DIR;
// JSD needs a couple of hundred images to fill the histograms it compares:
// with 100 it picks an ip1 threshold of a fifteenth of the maximum.
constexpr int kCalibrationImages = 200;
constexpr int kImages = 300;

double Top1(const std::string& model, const std::string& weights, qrn::Qrn::Brew mode) {
  qrn::Qrn::Get().set_mode(mode);
  qrn::Net<float> net(model, qrn::TEST);
  net.CopyTrainedLayersFrom(weights);
  const auto prob = net.blob_by_name("prob");
  const auto label = net.blob_by_name("label");
  int right = 0;
  for (int n = 0; n < kImages; ++n) {
    net.Forward();
    const float* p = prob->cpu_data();
    right += std::max_element(p, p + prob->count()) - p == static_cast<int>(label->cpu_data()[0]);
  }
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
  return 100.0 * right / kImages;
}

class Int8Accuracy : public ::testing::TestWithParam<const char*> {};

TEST_P(Int8Accuracy, LosesAtMostOnePoint) {
  TempDir dir;
  fs::copy_file(kModelDir + "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(kModelDir + "/fashion_mnist.weights", dir / "fm.weights");
  const std::string cmd = "cd '" + dir.path() + "' && '" SCALEFINDER_BIN
                          "' --model=fm.prototxt --weights=fm.weights --save_test_proto --iterations=" +
                          std::to_string(kCalibrationImages) + " --th_method=" + GetParam() + " quantize > q.log 2>&1";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const double fp32 = Top1(dir / "fm.prototxt", dir / "fm.weights", qrn::Qrn::FP32);
  const double int8 = Top1(dir / "fm_test_int8_unique_top.prototxt", dir / "fm.int8qmodel", qrn::Qrn::INT8);
  EXPECT_GE(fp32, 80.0);
  EXPECT_LE(fp32 - int8, 1.0) << "float " << fp32 << " %, 8-bit " << int8 << " %";
}

INSTANTIATE_TEST_SUITE_P(Methods, Int8Accuracy, ::testing::Values("KL", "SYMKL", "JSD"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
