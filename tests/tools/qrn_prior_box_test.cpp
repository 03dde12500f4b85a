// The framework's "PriorBox" against boxes worked out by hand and a plain
// loop over positions and sizes: generation order, flipped ratios, the
// maximum-size box, clipping, variances, explicit image size and step, and
// precomputed boxes held as blob 0 (float, and in 8 bits after calibration).
#include <cmath>

#include "qrn/fixed_point.hpp"
#include "quantize_rules.hpp"
#include "test_util.hpp"

using tools_test::MakeNet;

namespace {

const char kTwoInputs[] =
    "name: 't' input: 'f' input_shape { dim: 1 dim: 2 dim: 2 dim: 3 } "
    "input: 'img' input_shape { dim: 1 dim: 3 dim: 20 dim: 30 } ";

std::string Net(const std::string& param, const std::string& blobs = "", const std::string& bottoms = "bottom: 'f' bottom: 'img'") {
  return std::string(kTwoInputs) + "layer { name: 'p' type: 'PriorBox' " + bottoms +
         " top: 'y' prior_box_param { " + param + " } " + blobs + " }";
}

std::vector<float> Out(qrn::Net<float>& net) {
  const auto& y = *net.blob_by_name("y");
  return {y.cpu_data(), y.cpu_data() + y.count()};
}

struct Int8Mode {
  Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::INT8); }
  ~Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::FP32); }
};

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
  // Explicit image size (the second input is ignored, or absent) and step.
  for (const char* bottoms : {"bottom: 'f' bottom: 'img'", "bottom: 'f'"}) {
    SCOPED_TRACE(bottoms);
    auto net = MakeNet(Net("min_size: 6 min_size: 12 aspect_ratio: 2 aspect_ratio: 2 aspect_ratio: 3 flip: false "
                           "clip: true variance: 0.5 img_h: 40 img_w: 36 step: 7 offset: 0.25",
                           "", bottoms));
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
}

// Nets whose PriorBox cannot generate boxes still build (the calibration
// rewrites such definitions without running them); running them stops.
TEST(PriorBox, PrecomputedBoxesAndChecks) {
  auto net = MakeNet(Net("", "blobs { shape { dim: 1 dim: 2 dim: 4 } data: 0.1 data: 0.2 data: 0.3 "
                             "data: 0.4 data: 1 data: 2 data: 3 data: 4 }"));
  net->Forward();
  EXPECT_EQ(Out(*net), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f, 1, 2, 3, 4}));

  auto sizeless = MakeNet(Net("aspect_ratio: 2"));
  EXPECT_EQ(sizeless->blob_by_name("y")->shape(), (std::vector<int>{1, 2, 2, 3})) << "shaped like its input";
  EXPECT_DEATH(sizeless->Forward(), "PriorBox layer 'p': needs a minimum size");
  auto flat = MakeNet("name: 't' input: 'f' input_shape { dim: 1 dim: 4 } "
                      "layer { name: 'p' type: 'PriorBox' bottom: 'f' top: 'y' prior_box_param { min_size: 4 img_size: 8 } }");
  EXPECT_DEATH(flat->Forward(), "needs a 4-axis feature map, has 1 4");
  auto no_image = MakeNet(Net("min_size: 4", "", "bottom: 'f'"));
  EXPECT_DEATH(no_image->Forward(), "needs the image size");

  EXPECT_DEATH(MakeNet(Net("min_size: 4 max_size: 3")), "maximum size 3 not above 4");
  EXPECT_DEATH(MakeNet(Net("min_size: 4 max_size: 8 max_size: 9")), "has 2 maximum sizes for 1 minimum sizes");
  EXPECT_DEATH(MakeNet(Net("min_size: 4 variance: 1 variance: 2")), "has 2 variances");
}

// In an 8-bit run the boxes are computed in float and handed on as floats
// or in the output's 8-bit scale.  Precomputed boxes that the calibration
// stored in 8 bits (their floats overwritten) come back from those bytes.
TEST(PriorBox, Int8Runs) {
  const std::vector<float> boxes = {0.1f, 0.2f, 0.3f, 0.4f, 1.0f, 1.5f, -0.7f, 2.5f};
  std::string blob = "blobs { shape { dim: 1 dim: 2 dim: 4 }";
  for (float v : boxes) blob += " data: " + std::to_string(v);
  blob += " }";
  auto calibrated = MakeNet(Net("", blob));
  calibrated->blob_by_name("y")->setThresHold(2.0);
  calibrated->layers()[0]->mutable_layer_param()->set_th_top(2.0f);
  quantize_priorbox_layer_int8(*calibrated, 0);
  qrn::NetParameter model;
  calibrated->ToProto(&model, false);

  for (bool out_float : {false, true}) {
    SCOPED_TRACE(out_float ? "float output" : "8-bit output");
    qrn::NetParameter m = model;
    m.mutable_layer(0)->set_output_is_float(out_float);
    qrn::Net<float> net(m);
    {
      Int8Mode mode;
      net.Forward();
    }
    const auto& y = *net.blob_by_name("y");
    ASSERT_EQ(y.holds_float(), out_float);
    for (size_t i = 0; i < boxes.size(); ++i) {
      // The calibration's int8 value of each box coordinate: round half up
      // of v x 128 / 2, held to [-128, 127].
      const int q = static_cast<int>(std::min(127.0, std::max(-128.0, std::floor(boxes[i] * 64.0 + 0.5))));
      if (out_float)
        EXPECT_FLOAT_EQ(y.cpu_data()[i], q / 64.0f) << i;
      else
        EXPECT_EQ(y.cpu_int8_data()[i], q) << i;
    }
  }

  // Generated boxes: the float forward, quantized by th_top unless the
  // output is float.
  auto ref = MakeNet(Net("min_size: 6 max_size: 30 aspect_ratio: 2"));
  ref->Forward();
  const std::vector<float> want = Out(*ref);
  for (bool out_float : {false, true}) {
    auto net = MakeNet(Net("min_size: 6 max_size: 30 aspect_ratio: 2"));
    net->layers()[0]->mutable_layer_param()->set_th_top(1.0f);
    net->layers()[0]->mutable_layer_param()->set_output_is_float(out_float);
    {
      Int8Mode mode;
      net->Forward();
    }
    const auto& y = *net->blob_by_name("y");
    for (size_t i = 0; i < want.size(); ++i) {
      if (out_float)
        EXPECT_EQ(y.cpu_data()[i], want[i]) << i;
      else
        EXPECT_EQ(y.cpu_int8_data()[i], qrn::QuantizeInt8(want[i], 128.0f)) << i;
    }
  }
}

}  // namespace
