// The shipped Fashion-MNIST network on the card: compiled by the test-side
// network compiler and run through API 111 in batches, float and (after
// "scalefinder quantize") calibrated 8-bit. Prints top-1 accuracy on the card
// and in the framework, how many predictions and 8-bit tensors differ from the
// framework's, the largest float output difference, and the card's modelled
// time per image.
//
//   net_fmnist_bench [--images=10000] [--batch=100] [--calib_images=1000]
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "card.h"
#include "net_compiler.h"
#include "qrn/fixed_point.hpp"
#include "qrn/qrn.hpp"

DEFINE_int32(images, 10000, "test images to classify (a multiple of --batch)");
DEFINE_int32(batch, 100, "images per network run");
DEFINE_int32(calib_images, 1000, "images of each statistics pass of the calibration");

namespace fs = std::filesystem;
using namespace zv::test;

namespace {

const std::string kModelDir = MODEL_DIR;
const std::vector<std::string> kInt8Blobs = {"pool2", "ip1", "ip2"};

struct Image {
  std::vector<float> data;
  std::map<std::string, std::vector<int32_t>> int8;
  std::vector<float> prob;
  int label;
};

int Argmax(const float* p) { return int(std::max_element(p, p + 10) - p); }

std::vector<Image> FrameworkRun(qrn::Net<float>& net, bool int8, int count) {
  std::vector<Image> images;
  for (int n = 0; n < count; ++n) {
    net.Forward();
    Image im;
    const qrn::Blob<float>& d = *net.blob_by_name("data");
    for (int i = 0; i < d.count(); ++i) im.data.push_back(int8 ? float(qrn::Int8At(d, i)) : d.cpu_data()[i]);
    if (int8)
      for (const std::string& b : kInt8Blobs) {
        const qrn::Blob<float>& x = *net.blob_by_name(b);
        for (int i = 0; i < x.count(); ++i) im.int8[b].push_back(qrn::Int8At(x, i));
      }
    const qrn::Blob<float>& p = *net.blob_by_name("prob");
    im.prob.assign(p.cpu_data(), p.cpu_data() + p.count());
    im.label = int(net.blob_by_name("label")->cpu_data()[0]);
    images.push_back(std::move(im));
  }
  return images;
}

struct Result {
  int framework_right = 0, card_right = 0, predictions_differ = 0, tensors_differ = 0;
  double max_diff = 0, time_ps = 0, te_ps = 0, gdma_ps = 0;
  bool failed = false;
};

Result CardRun(const qrn::Net<float>& net, bool int8, const std::vector<Image>& images) {
  Result r;
  netc::Options opt;
  opt.batch = uint32_t(FLAGS_batch);
  const netc::Compiled c = netc::compile(net, int8, opt);
  const netc::Placement at = netc::default_placement();
  zv::host::Card card;
  netc::load(card, c, at);
  for (int first = 0; first + FLAGS_batch <= int(images.size()); first += FLAGS_batch) {
    std::vector<uint8_t> in;
    for (int n = first; n < first + FLAGS_batch; ++n)
      for (float v : images[size_t(n)].data) {
        if (int8) {
          in.push_back(uint8_t(int8_t(v)));
        } else {
          uint8_t b[4];
          std::memcpy(b, &v, 4);
          in.insert(in.end(), b, b + 4);
        }
      }
    card.write(at.input, in.data(), in.size());
    auto a = card.send(111, netc::run_message(c, at));
    if (!a || a->result != 0) {
      std::printf("the card failed at image %d: %s\n%s\n", first, card.trouble().c_str(), card.console().c_str());
      r.failed = true;
      return r;
    }
    r.time_ps += double(a->timing.elapsed_ps);
    r.te_ps += double(a->timing.te_busy_ps);
    r.gdma_ps += double(a->timing.gdma_busy_ps);
    std::vector<float> prob(size_t(FLAGS_batch) * 10);
    card.read(at.output, prob.data(), prob.size() * 4);
    std::vector<bool> differs(size_t(FLAGS_batch), false);
    for (const std::string& b : int8 ? kInt8Blobs : std::vector<std::string>{}) {
      const netc::Tensor& t = c.tensors.at(b);
      size_t per = 1;
      for (size_t i = 1; i < t.shape.size(); ++i) per *= t.shape[i];
      const std::vector<uint8_t> got = card.read(netc::tensor_addr(c, at, b), size_t(FLAGS_batch) * per);
      for (int n = 0; n < FLAGS_batch; ++n)
        for (size_t i = 0; i < per; ++i) {
          const uint8_t g = got[size_t(n / 4) * 4 * per + 4 * i + size_t(n % 4)];
          if ((t.is_signed ? int32_t(int8_t(g)) : int32_t(g)) != images[size_t(first + n)].int8.at(b)[i])
            differs[size_t(n)] = true;
        }
    }
    for (int n = 0; n < FLAGS_batch; ++n) {
      const Image& im = images[size_t(first + n)];
      const float* p = prob.data() + size_t(n) * 10;
      for (int k = 0; k < 10; ++k) r.max_diff = std::max(r.max_diff, double(std::fabs(p[k] - im.prob[size_t(k)])));
      r.card_right += Argmax(p) == im.label;
      r.framework_right += Argmax(im.prob.data()) == im.label;
      r.predictions_differ += Argmax(p) != Argmax(im.prob.data());
      r.tensors_differ += differs[size_t(n)];
    }
  }
  return r;
}

void Print(const char* what, const Result& r, int images) {
  std::printf("%-6s %10.2f %% %13.2f %% %12d %13d %10.2e %12.2f %7.0f %% %7.0f %%\n", what,
              100.0 * r.card_right / images, 100.0 * r.framework_right / images, r.predictions_differ,
              r.tensors_differ, r.max_diff, r.time_ps / 1e6 / images, 100.0 * r.te_ps / r.time_ps,
              100.0 * r.gdma_ps / r.time_ps);
}

}  // namespace

int main(int argc, char** argv) {
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = 1;
  gflags::SetUsageMessage("net_fmnist_bench [--images=N] [--batch=N] [--calib_images=N]");
  qrn::GlobalInit(&argc, &argv);
  if (FLAGS_batch <= 0 || FLAGS_images % FLAGS_batch != 0) {
    std::fprintf(stderr, "--images must be a multiple of --batch\n");
    return 2;
  }
  const fs::path dir = fs::temp_directory_path() / "net_fmnist_bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(kModelDir + "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(kModelDir + "/fashion_mnist.weights", dir / "fm.weights");

  qrn::Net<float> fnet((dir / "fm.prototxt").string(), qrn::TEST);
  fnet.CopyTrainedLayersFrom((dir / "fm.weights").string());
  const Result f = CardRun(fnet, false, FrameworkRun(fnet, false, FLAGS_images));

  const std::string cmd = "cd '" + dir.string() + "' && '" SCALEFINDER_BIN
                          "' --model=fm.prototxt --weights=fm.weights --save_test_proto --iterations=" +
                          std::to_string(FLAGS_calib_images) + " quantize > quantize.log 2>&1";
  const int status = std::system(cmd.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("scalefinder failed: see %s\n", (dir / "quantize.log").string().c_str());
    return 1;
  }
  qrn::Qrn::Get().set_mode(qrn::Qrn::INT8);
  qrn::Net<float> qnet((dir / "fm_test_int8_unique_top.prototxt").string(), qrn::TEST);
  qnet.CopyTrainedLayersFrom((dir / "fm.int8qmodel").string());
  const std::vector<Image> qimages = FrameworkRun(qnet, true, FLAGS_images);
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
  const Result q = CardRun(qnet, true, qimages);

  std::printf("Fashion-MNIST test images: %d, %d per run; calibration: %d images (KL)\n\n", FLAGS_images,
              FLAGS_batch, FLAGS_calib_images);
  std::printf("%-6s %12s %15s %12s %13s %10s %12s %9s %9s\n", "net", "card top-1", "framework top-1",
              "predictions", "8-bit tensors", "max diff", "us / image", "TE busy", "GDMA busy");
  std::printf("%-6s %12s %15s %12s %13s %10s %12s\n", "", "", "", "differing", "differing", "(outputs)",
              "(modelled)");
  Print("float", f, FLAGS_images);
  Print("8-bit", q, FLAGS_images);
  return f.failed || q.failed || f.predictions_differ || q.predictions_differ || q.tensors_differ ? 1 : 0;
}
