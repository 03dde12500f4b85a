// The framework's "PriorBox" against boxes worked out by hand and a plain
// loop over positions and sizes: generation order, flipped ratios, the
// maximum-size box, clipping, variances, explicit image size and step, and
// precomputed boxes held as blob 0.
#include <cmath>

#include "test_util.hpp"

using tools_test::MakeNet;

namespace {

std::string Net(const std::string& param, const std::string& blobs = "") {
  return "name: 't' input: 'f' input_shape { dim: 1 dim: 2 dim: 2 dim: 3 } "
         "input: 'img' input_shape { dim: 1 dim: 3 dim: 20 dim: 30 } "
         "layer { name: 'p' type: 'PriorBox' bottom: 'f' bottom: 'img' top: 'y' prior_box_param { " +
         param + " } " + blobs + " }";
}

std::vector<float> Out(qrn::Net<float>& net) {
  const auto& y = *net.blob_by_name("y");
  return {y.cpu_data(), y.cpu_data() + y.count()};
}

TEST(PriorBox, BoxesByHand) {
  // Feature 2 x 3 over an image 20 x 30: steps 10, centres (5 + 10 x, 5 + 10 y).
  auto net = MakeNet(Net("min_size: 4 max_size: 16 aspect_ratio: 4 variance: 0.1 variance: 0.1 variance: 0.2 "
                         "variance: 0.2"));
  net->Forward();
  const std::vector<float> y = Out(*net);
  // Priors a position: min, sqrt(4 x 16) = 8, ratio 4 (8 x 2), ratio 1/4 (2 x 8).
  ASSERT_EQ(net->blob_by_name("y")->shape(), (std::vector<int>{1, 2, 2 * 3 * 4 * 4}));
  const float want0[16] = {3 / 30.f, 3 / 20.f, 7 / 30.f, 7 / 20.f,  1 / 30.f, 1 / 20.f, 9 / 30.f, 9 / 20.f,
                           1 / 30.f, 4 / 20.f, 9 / 30.f, 6 / 20.f,  4 / 30.f, 1 / 20.f, 6 / 30.f, 9 / 20.f};
  for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(y[i], want0[i]) << i;
  // Position (y 1, x 2): centre (25, 15), its min box.
  const int at = ((1 * 3 + 2) * 4) * 4;
  EXPECT_FLOAT_EQ(y[at + 0], 23 / 30.f);
  EXPECT_FLOAT_EQ(y[at + 1], 13 / 20.f);
  EXPECT_FLOAT_EQ(y[at + 2], 27 / 30.f);
  EXPECT_FLOAT_EQ(y[at + 3], 17 / 20.f);
  const int count = 2 * 3 * 4 * 4;
  for (int i = 0; i < count; ++i) EXPECT_FLOAT_EQ(y[count + i], i % 4 < 2 ? 0.1f : 0.2f) << i;
}

TEST(PriorBox, PlainLoopWithClipAndExplicitGeometry) {
  auto net = MakeNet(Net("min_size: 6 min_size: 12 aspect_ratio: 2 aspect_ratio: 2 aspect_ratio: 3 flip: false "
                         "clip: true variance: 0.5 img_h: 40 img_w: 36 step: 7 offset: 0.25"));
  net->Forward();
  const std::vector<float> y = Out(*net);
  std::vector<float> want;
  for (int h = 0; h < 2; ++h)
    for (int w = 0; w < 3; ++w)
      for (float m : {6.0f, 12.0f})
        for (float r : {1.0f, 2.0f, 3.0f}) {  // the repeated 2 counts once; no flip
          const float cx = (w + 0.25f) * 7, cy = (h + 0.25f) * 7, bw = m * std::sqrt(r), bh = m / std::sqrt(r);
          for (float v : {(cx - bw / 2) / 36, (cy - bh / 2) / 40, (cx + bw / 2) / 36, (cy + bh / 2) / 40})
            want.push_back(std::min(1.0f, std::max(0.0f, v)));
        }
  ASSERT_EQ(y.size(), 2 * want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(y[i], want[i], 1e-6) << i;
    EXPECT_FLOAT_EQ(y[want.size() + i], 0.5f);
  }
}

TEST(PriorBox, PrecomputedBoxesAndChecks) {
  auto net = MakeNet(Net("min_size: 4", "blobs { shape { dim: 1 dim: 2 dim: 4 } data: 0.1 data: 0.2 data: 0.3 "
                                        "data: 0.4 data: 1 data: 2 data: 3 data: 4 }"));
  net->Forward();
  EXPECT_EQ(Out(*net), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f, 1, 2, 3, 4}));
  EXPECT_DEATH(MakeNet(Net("aspect_ratio: 2")), "PriorBox layer 'p': needs a minimum size");
  EXPECT_DEATH(MakeNet(Net("min_size: 4 max_size: 3")), "maximum size 3 not above 4");
}

}  // namespace
