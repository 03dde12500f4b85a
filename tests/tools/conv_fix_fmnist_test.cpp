// The shipped Fashion-MNIST network's calibrated 8-bit form: its first two
// convolutions, fed the framework's own 8-bit inputs of a test image, run on
// the card through API 83 and agree bit for bit with the framework's 8-bit
// forward.
#include <sys/wait.h>

#include <cstring>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/conv/conv_fix8b.h"
#include "qrn/fixed_point.hpp"
#include "test_util.hpp"

using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kModelDir = MODEL_DIR;
constexpr uint64_t kIn = 0x101000000ull, kWeight = 0x102000000ull, kBias = 0x103000000ull, kOut = 0x104000000ull;

TEST(FashionMnistInt8, FirstConvolutionsThroughApi83) {
  TempDir dir;
  fs::copy_file(kModelDir + "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(kModelDir + "/fashion_mnist.weights", dir / "fm.weights");
  const std::string cmd = "cd '" + dir.path() + "' && '" SCALEFINDER_BIN
                          "' --model=fm.prototxt --weights=fm.weights --save_test_proto --iterations=50 quantize "
                          "> q.log 2>&1";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  qrn::Qrn::Get().set_mode(qrn::Qrn::INT8);
  qrn::Net<float> net(dir / "fm_test_int8_unique_top.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(dir / "fm.int8qmodel");
  net.Forward();
  net.Forward();  // the second test image
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);

  auto card = zv::test::deferred_card(zv::test::Backend::Native, 2);
  int convs = 0;
  for (size_t k = 0; k < net.layers().size(); ++k) {
    const auto &layer = *net.layers()[k];
    if (std::string(layer.type()) != "Convolution") continue;
    const auto &p = layer.layer_param();
    SCOPED_TRACE(p.name());
    const qrn::Blob<float> &x = *net.bottom_vecs()[k][0], &y = *net.top_vecs()[k][0], &w = *layer.blobs()[0];
    const qrn::Blob<float> *b = layer.blobs().size() > 1 ? layer.blobs()[1].get() : nullptr;
    const auto &cp = p.convolution_param();
    ASSERT_FALSE(cp.per_channel_en());
    ASSERT_EQ(x.num(), 1);
    const int C = x.channels(), H = x.height(), W = x.width(), O = y.channels(), OH = y.height(), OW = y.width();
    const int k_size = cp.kernel_size(0), pad = cp.pad_size() ? cp.pad(0) : 0;
    // One item in byte 0 of each 4N word; the other three zero.
    std::vector<uint8_t> in(size_t(C) * H * W * 4, 0);
    for (int i = 0; i < C * H * W; ++i) in[size_t(i) * 4] = uint8_t(qrn::Int8At(x, i));
    // Weight records, layout 0: [C / 4][kh][kw][4 channels] per output channel.
    const int g4 = (C + 3) / 4, taps = k_size * k_size;
    std::vector<uint8_t> rec(size_t(O) * g4 * taps * 4, 0);
    for (int o = 0; o < O; ++o)
      for (int c = 0; c < C; ++c)
        for (int t = 0; t < taps; ++t)
          rec[(size_t(o) * g4 * taps + size_t(c / 4) * taps + t) * 4 + c % 4] =
              uint8_t(qrn::Int8At(w, (o * C + c) * taps + t));
    std::vector<int16_t> bias(size_t(O), 0);
    for (int o = 0; o < O && b != nullptr; ++o) bias[size_t(o)] = int16_t(qrn::Int16At(*b, o));
    card->write(kIn, in.data(), in.size());
    card->write(kWeight, rec.data(), rec.size());
    card->write(kBias, bias.data(), bias.size() * 2);

    zv_api_conv_forward_parallel_fix8b_t r = {};
    r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
    r.input_n = 1, r.input_c = C, r.input_h = H, r.input_w = W, r.groups = 1, r.output_c = O;
    r.kh = r.kw = k_size, r.dh = r.dw = 1, r.stride_h = r.stride_w = 1;
    r.pad_h = r.pad_h_after = r.pad_w = r.pad_w_after = pad;
    r.using_bias = b != nullptr ? 1 : 0, r.if_relu = p.followedbyrelu(), r.weight_layout = 0, r.rshift = w.rshiftNum();
    r.opd0_sign = qrn::IsSigned(x), r.opd1_sign = qrn::IsSigned(w), r.opd2_sign = b != nullptr && qrn::IsSigned(*b);
    auto answer = card->send(83, zv::test::payload_of(r));
    ASSERT_TRUE(zv::test::AnswerOk(*card, answer));
    const std::vector<uint8_t> got = card->read(kOut, size_t(O) * OH * OW * 4);
    int nonzero = 0;
    for (int i = 0; i < O * OH * OW; ++i) {
      const int want = qrn::Int8At(y, i);
      nonzero += want != 0;
      ASSERT_EQ(int(qrn::IsSigned(y) ? int8_t(got[size_t(i) * 4]) : got[size_t(i) * 4]), want) << "element " << i;
    }
    EXPECT_GT(nonzero, O * OH * OW / 10);
    if (++convs == 2) break;
  }
  EXPECT_EQ(convs, 2);
}

}  // namespace
