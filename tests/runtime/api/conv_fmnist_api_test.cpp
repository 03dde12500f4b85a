// The first two convolutions of the shipped Fashion-MNIST network through API
// 49 on the card (three deferred seeds with the happens-before checker, and
// the ARM image) agree with the host framework's forward pass on a test image:
// conv1 on the image and conv2 on the framework's pool1, each followed by the
// network's ReLU on the host side.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/conv/conv.h"
#include "qrn/qrn.hpp"

namespace zv::test {
namespace {

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kW = 0x102000000ull;
constexpr uint64_t kBias = 0x103000000ull;
constexpr uint64_t kOut = 0x104000000ull;

struct Layer {
  const char *name, *bottom;
  int ic, hw, oc;
};

TEST(ConvFashionMnist, FirstConvolutionsMatchTheFramework) {
  const std::string dir = FMNIST_MODEL_DIR;
  qrn::Net<float> net(dir + "/fashion_mnist.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(dir + "/fashion_mnist.weights");
  net.Forward();
  const Layer layers[] = {{"conv1", "data", 1, 28, 8}, {"conv2", "pool1", 8, 14, 16}};
  for_each_api_card([&](host::Card &card) {
    for (const Layer &l : layers) {
      SCOPED_TRACE(l.name);
      const auto bottom = net.blob_by_name(l.bottom);
      const auto top = net.blob_by_name(l.name);  // after the in-place ReLU
      const auto &params = net.layer_by_name(l.name)->blobs();
      ASSERT_EQ(bottom->count(), l.ic * l.hw * l.hw);
      ASSERT_EQ(top->count(), l.oc * l.hw * l.hw);
      // The framework's weights are oc x ic x 3 x 3; the layer takes input
      // channels rounded up to even per output channel.
      const int ic_even = (l.ic + 1) & ~1;
      std::vector<float> w(size_t(l.oc) * ic_even * 9, 0.0f);
      const float *src = params[0]->cpu_data();
      for (int o = 0; o < l.oc; o++)
        for (int i = 0; i < l.ic; i++)
          for (int p = 0; p < 9; p++) w[(size_t(o) * ic_even + i) * 9 + p] = src[(size_t(o) * l.ic + i) * 9 + p];
      card.write(kIn, bottom->cpu_data(), size_t(bottom->count()) * 4);
      card.write(kW, w.data(), w.size() * 4);
      card.write(kBias, params[1]->cpu_data(), size_t(l.oc) * 4);
      const zv_api_conv_forward_parallel_t rec = {kIn, kOut, kW, kBias, 1, l.ic, l.hw, l.hw, 1, l.oc, 3, 3, 1, 1,
                                                  1,   1,    1,  1,     1, 1,    1,    0,    0, 2,    1, 1, 1};
      ASSERT_TRUE(AnswerOk(card, card.send(49, payload_of(rec))));
      const std::vector<float> got = as_floats(card.read(kOut, size_t(top->count()) * 4));
      const float *want = top->cpu_data();
      for (int i = 0; i < top->count(); i++) {
        const double v = got[size_t(i)] > 0 ? got[size_t(i)] : 0.0;
        ASSERT_NEAR(v, want[i], 1e-5 * (1.0 + std::fabs(want[i]))) << i;
      }
    }
    EXPECT_TRUE(no_findings(card.chip()));
  });
}

}  // namespace
}  // namespace zv::test
