// Top-1 accuracy of the shipped Fashion-MNIST network in float and, after
// "scalefinder quantize" with each threshold method, in 8 bits, on the test
// images of the dataset.
//
//   accuracy_bench [--images=10000] [--calib_images=1000] [--methods=KL,SYMKL,JSD]
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "qrn/qrn.hpp"

DEFINE_int32(images, 10000, "test images to classify");
DEFINE_int32(calib_images, 1000, "images of each statistics pass of the calibration");
DEFINE_string(methods, "KL,SYMKL,JSD", "threshold methods, comma-separated");

namespace fs = std::filesystem;

namespace {

const std::string kModelDir = MODEL_DIR;

// Share of the first `images` test images whose label is the largest output.
double Top1(const std::string& model, const std::string& weights, qrn::Qrn::Brew mode, int images) {
  qrn::Qrn::Get().set_mode(mode);
  qrn::Net<float> net(model, qrn::TEST);
  net.CopyTrainedLayersFrom(weights);
  const auto prob = net.blob_by_name("prob");
  const auto label = net.blob_by_name("label");
  CHECK(prob && label) << "the net has no prob or label blob";
  int right = 0;
  for (int n = 0; n < images; ++n) {
    net.Forward();
    const float* p = prob->cpu_data();
    right += std::max_element(p, p + prob->count()) - p == static_cast<int>(label->cpu_data()[0]);
  }
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
  return 100.0 * right / images;
}

}  // namespace

int main(int argc, char** argv) {
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = 1;
  gflags::SetUsageMessage("accuracy_bench [--images=N] [--calib_images=N] [--methods=KL,SYMKL,JSD]");
  qrn::GlobalInit(&argc, &argv);
  const fs::path dir = fs::temp_directory_path() / "accuracy_bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(kModelDir + "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(kModelDir + "/fashion_mnist.weights", dir / "fm.weights");

  const double fp32 = Top1((dir / "fm.prototxt").string(), (dir / "fm.weights").string(), qrn::Qrn::FP32,
                           FLAGS_images);
  std::printf("Fashion-MNIST test images: %d; calibration: %d images per statistics pass\n\n", FLAGS_images,
              FLAGS_calib_images);
  std::printf("%-8s %12s %12s %10s\n", "method", "float top-1", "8-bit top-1", "loss");
  std::stringstream methods(FLAGS_methods);
  std::string method;
  int failures = 0;
  while (std::getline(methods, method, ',')) {
    const std::string cmd = "cd '" + dir.string() + "' && '" SCALEFINDER_BIN
                            "' --model=fm.prototxt --weights=fm.weights --save_test_proto --iterations=" +
                            std::to_string(FLAGS_calib_images) + " --th_method=" + method +
                            " quantize > quantize_" + method + ".log 2>&1";
    const int status = std::system(cmd.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::printf("%-8s scalefinder failed: see %s\n", method.c_str(),
                  (dir / ("quantize_" + method + ".log")).string().c_str());
      ++failures;
      continue;
    }
    const double int8 = Top1((dir / "fm_test_int8_unique_top.prototxt").string(),
                             (dir / "fm.int8qmodel").string(), qrn::Qrn::INT8, FLAGS_images);
    std::printf("%-8s %11.2f%% %11.2f%% %9.2f\n", method.c_str(), fp32, int8, fp32 - int8);
  }
  return failures == 0 ? 0 : 1;
}
