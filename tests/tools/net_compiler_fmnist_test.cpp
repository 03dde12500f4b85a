// The shipped Fashion-MNIST network end to end on the card: compiled by the
// test-side network compiler, run through the host driver with API 111 on a
// deferred schedule with the race checker, against the host framework on the
// first test images. Float: the same predictions, outputs within 1e-4. The
// calibrated 8-bit model: every 8-bit tensor that reaches device memory
// (the last pooling, both inner products) bit for bit equal to the
// framework's 8-bit forward, its float softmax within 1e-4, the same
// predictions and so the same accuracy; the 8-bit net also on the ARM image
// (one batch).
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "card.h"
#include "fw_test.h"
#include "net_compiler.h"
#include "qrn/fixed_point.hpp"
#include "qrn/qrn.hpp"
#include "test_util.hpp"

using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kModelDir = MODEL_DIR;
constexpr int kImages = 300, kBatch = 100;

struct Image {
  std::vector<float> data;  // float input, or the 8-bit values as floats
  std::map<std::string, std::vector<int32_t>> int8;  // 8-bit tensors by blob
  std::vector<float> prob;
  int label;
};

// The framework's forward over the first `count` test images, one a pass.
std::vector<Image> framework_run(qrn::Net<float> &net, bool int8, const std::vector<std::string> &int8_blobs,
                                 int count) {
  std::vector<Image> images;
  for (int n = 0; n < count; ++n) {
    net.Forward();
    Image im;
    const qrn::Blob<float> &d = *net.blob_by_name("data");
    for (int i = 0; i < d.count(); ++i) im.data.push_back(int8 ? float(qrn::Int8At(d, i)) : d.cpu_data()[i]);
    for (const std::string &b : int8_blobs) {
      const qrn::Blob<float> &x = *net.blob_by_name(b);
      for (int i = 0; i < x.count(); ++i) im.int8[b].push_back(qrn::Int8At(x, i));
    }
    const qrn::Blob<float> &p = *net.blob_by_name("prob");
    im.prob.assign(p.cpu_data(), p.cpu_data() + p.count());
    im.label = int(net.blob_by_name("label")->cpu_data()[0]);
    images.push_back(std::move(im));
  }
  return images;
}

int argmax(const float *p, int n) { return int(std::max_element(p, p + n) - p); }

// Runs the images through the compiled net in batches; checks the outputs
// (and the 8-bit tensors) image by image. Returns the correct predictions.
int card_run(const qrn::Net<float> &net, bool int8, const std::vector<Image> &images,
             const std::vector<std::string> &int8_blobs, uint64_t seed,
             zv::test::Backend backend = zv::test::Backend::Native) {
  zv::test::netc::Options opt;
  opt.batch = kBatch;
  const zv::test::netc::Compiled c = zv::test::netc::compile(net, int8, opt);
  const zv::test::netc::Placement at = zv::test::netc::default_placement();
  auto card = zv::test::deferred_card(backend, seed);
  zv::test::netc::load(*card, c, at);
  int right = 0;
  for (int first = 0; first < int(images.size()); first += kBatch) {
    SCOPED_TRACE("images from " + std::to_string(first));
    std::vector<uint8_t> in;
    for (int n = first; n < first + kBatch; ++n)
      for (float v : images[size_t(n)].data) {
        if (int8) {
          in.push_back(uint8_t(int8_t(v)));
        } else {
          uint8_t b[4];
          std::memcpy(b, &v, 4);
          in.insert(in.end(), b, b + 4);
        }
      }
    card->write(at.input, in.data(), in.size());
    auto a = card->send(111, zv::test::netc::run_message(c, at));
    if (!a) {
      ADD_FAILURE() << card->trouble();
      return -1;
    }
    EXPECT_EQ(a->result, 0u) << card->console();
    if (a->result != 0) return -1;
    const std::vector<float> prob = zv::test::as_floats(card->read(at.output, size_t(kBatch) * 10 * 4));
    for (const std::string &b : int8_blobs) {
      const zv::test::netc::Tensor &t = c.tensors.at(b);
      size_t per = 1;
      for (size_t i = 1; i < t.shape.size(); ++i) per *= t.shape[i];
      const std::vector<uint8_t> got = card->read(zv::test::netc::tensor_addr(c, at, b), size_t(kBatch) * per);
      for (int n = 0; n < kBatch; ++n) {
        const std::vector<int32_t> &want = images[size_t(first + n)].int8.at(b);
        for (size_t i = 0; i < per; ++i) {
          const uint8_t g = got[size_t(n / 4) * 4 * per + 4 * i + size_t(n % 4)];
          const int32_t v = t.is_signed ? int32_t(int8_t(g)) : int32_t(g);
          if (v != want[i]) {
            ADD_FAILURE() << b << ": image " << first + n << ", element " << i << ": " << v << ", want " << want[i];
            return -1;
          }
        }
      }
    }
    for (int n = 0; n < kBatch; ++n) {
      const Image &im = images[size_t(first + n)];
      const float *p = prob.data() + size_t(n) * 10;
      for (int k = 0; k < 10; ++k) EXPECT_NEAR(p[k], im.prob[size_t(k)], 1e-4) << "image " << first + n;
      EXPECT_EQ(argmax(p, 10), argmax(im.prob.data(), 10)) << "image " << first + n;
      right += argmax(p, 10) == im.label;
    }
  }
  EXPECT_TRUE(zv::test::no_findings(card->chip()));
  return right;
}

TEST(FashionMnistOnTheCard, FloatNetMatchesTheFramework) {
  qrn::Net<float> net(kModelDir + "/fashion_mnist.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(kModelDir + "/fashion_mnist.weights");
  const std::vector<Image> images = framework_run(net, false, {}, kImages);
  int framework_right = 0;
  for (const Image &im : images) framework_right += argmax(im.prob.data(), 10) == im.label;
  EXPECT_EQ(card_run(net, false, images, {}, 1), framework_right);
}

TEST(FashionMnistOnTheCard, CalibratedEightBitNetIsBitExactWithTheFramework) {
  TempDir dir;
  fs::copy_file(kModelDir + "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(kModelDir + "/fashion_mnist.weights", dir / "fm.weights");
  const std::string cmd = "cd '" + dir.path() + "' && '" SCALEFINDER_BIN
                          "' --model=fm.prototxt --weights=fm.weights --save_test_proto --iterations=50 quantize "
                          "> q.log 2>&1";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::vector<std::string> blobs = {"pool2", "ip1", "ip2"};
  qrn::Qrn::Get().set_mode(qrn::Qrn::INT8);
  qrn::Net<float> net(dir / "fm_test_int8_unique_top.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(dir / "fm.int8qmodel");
  const std::vector<Image> images = framework_run(net, true, blobs, kImages);
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
  int framework_right = 0;
  for (const Image &im : images) framework_right += argmax(im.prob.data(), 10) == im.label;
  EXPECT_EQ(card_run(net, true, images, blobs, 2), framework_right);
  // The delivered ARM image in the emulator, on the first batch.
  const std::vector<Image> first(images.begin(), images.begin() + kBatch);
  int first_right = 0;
  for (const Image &im : first) first_right += argmax(im.prob.data(), 10) == im.label;
  EXPECT_EQ(card_run(net, true, first, blobs, 3, zv::test::Backend::Emulated), first_right);
}

}  // namespace
