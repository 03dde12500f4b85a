// The framework's "Pad", "ConstantFill", "Tile" and "BN" layers, float and 8
// bits, against plain loops: placed values by their coordinates, the BN
// affine step from its formula and, in 8 bits, from the integer reference
// (16-bit sum, floor shift, saturation; shifts 0 and 31).
#include <cmath>
#include <cstring>

#include "quantize_rules.hpp"
#include "ref_int8.hpp"
#include "test_util.hpp"

using qrn::Blob;
using tools_test::MakeNet;

namespace {

struct Int8Mode {
  Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::INT8); }
  ~Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::FP32); }
};

std::string WithInput(const std::vector<int>& shape, const std::string& layers) {
  std::string text = "name: 't' input: 'data' input_shape {";
  for (int d : shape) text += " dim: " + std::to_string(d);
  return text + " } " + layers;
}

std::vector<float> Floats(const Blob<float>& b) { return {b.cpu_data(), b.cpu_data() + b.count()}; }

void SetBytes(Blob<float>* blob, const std::vector<int32_t>& v, bool is_signed) {
  ASSERT_EQ(static_cast<int>(v.size()), blob->count());
  for (size_t i = 0; i < v.size(); ++i) blob->mutable_cpu_unint8_data()[i] = static_cast<uint8_t>(v[i]);
  blob->set_fixed_sign_type(is_signed ? qrn::BlobProto_FixedSignType_SIGNED : qrn::BlobProto_FixedSignType_UNSIGNED);
  blob->set_holds_float(false);
}

std::vector<int32_t> Bytes(const Blob<float>& b) {
  std::vector<int32_t> v;
  const bool s = b.fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED;
  for (int i = 0; i < b.count(); ++i) v.push_back(s ? b.cpu_int8_data()[i] : b.cpu_unint8_data()[i]);
  return v;
}

// Plain 4-axis pad: out (n, c, h, w) reads in (n - b0, c - b1, h - b2, w - b3)
// when inside, else the value.
template <typename T>
std::vector<T> RefPad(const std::vector<T>& in, const int s[4], const int before[4], const int after[4], T value,
                      std::vector<int>* out_shape) {
  int o[4];
  for (int a = 0; a < 4; ++a) o[a] = s[a] + before[a] + after[a];
  *out_shape = {o[0], o[1], o[2], o[3]};
  std::vector<T> out;
  for (int n = 0; n < o[0]; ++n)
    for (int c = 0; c < o[1]; ++c)
      for (int h = 0; h < o[2]; ++h)
        for (int w = 0; w < o[3]; ++w) {
          const int i[4] = {n - before[0], c - before[1], h - before[2], w - before[3]};
          bool inside = true;
          for (int a = 0; a < 4; ++a) inside = inside && i[a] >= 0 && i[a] < s[a];
          out.push_back(inside ? in[((i[0] * s[1] + i[1]) * s[2] + i[2]) * s[3] + i[3]] : value);
        }
  return out;
}

std::string PadsText(const std::vector<int>& pads) {
  std::string t;
  for (int p : pads) t += " pads: " + std::to_string(p);
  return t;
}

TEST(PlaceLayers, PadFloatAndInt8) {
  const int s[4] = {2, 3, 2, 3};
  struct Case {
    const char* what;
    std::vector<int> pads;  // pairs for the last axes
    int before[4], after[4];
  } cases[] = {
      {"h and w", {1, 0, 2, 1}, {0, 0, 1, 2}, {0, 0, 0, 1}},
      {"every axis", {1, 1, 0, 2, 1, 0, 0, 3}, {1, 0, 1, 0}, {1, 2, 0, 3}},
      {"nothing", {}, {0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  std::vector<float> in(36);
  for (int i = 0; i < 36; ++i) in[i] = 0.25f * i - 3.0f;
  std::vector<int32_t> in8(36);
  for (int i = 0; i < 36; ++i) in8[i] = (i * 37) % 256 - 128;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string layer = "layer { name: 'p' type: 'Pad' bottom: 'data' top: 'y' pad_param {" +
                              PadsText(c.pads) + " pad_value: -1.5 pad_value_fix8b: 300 } }";
    std::vector<int> shape;
    {
      auto net = MakeNet(WithInput({2, 3, 2, 3}, layer));
      std::copy(in.begin(), in.end(), net->input_blobs()[0]->mutable_cpu_data());
      net->Forward();
      const std::vector<float> want = RefPad(in, s, c.before, c.after, -1.5f, &shape);
      EXPECT_EQ(net->blob_by_name("y")->shape(), shape);
      EXPECT_EQ(Floats(*net->blob_by_name("y")), want);
    }
    // 8 bits: the pad byte is 300 cut to 8 bits (44); the sign passes on.
    for (bool sgn : {true, false}) {
      auto net = MakeNet(WithInput({2, 3, 2, 3}, layer));
      SetBytes(net->input_blobs()[0], in8, sgn);
      Int8Mode mode;
      net->Forward();
      std::vector<int32_t> src = in8;
      if (!sgn)
        for (auto& v : src) v = static_cast<uint8_t>(v);
      EXPECT_EQ(Bytes(*net->blob_by_name("y")), RefPad<int32_t>(src, s, c.before, c.after, 44, &shape));
      EXPECT_EQ(net->blob_by_name("y")->fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED, sgn);
    }
  }
}

TEST(PlaceLayers, PadChecksItsPairs) {
  EXPECT_DEATH(MakeNet(WithInput({1, 2}, "layer { name: 'p' type: 'Pad' bottom: 'data' top: 'y' pad_param {" +
                                             PadsText({1, 1, 1}) + " } }")),
               "Pad layer 'p': has 3 pad values for 2 axes");
  EXPECT_DEATH(MakeNet(WithInput({1, 2}, "layer { name: 'p' type: 'Pad' bottom: 'data' top: 'y' pad_param {" +
                                             PadsText({0, -1}) + " } }")),
               "Pad layer 'p': pads axis 1 by 0 and -1");
}

TEST(PlaceLayers, ConstantFill) {
  {
    // Its own shape, no input: float 7; in 8 bits the data-layer path
    // quantizes it with th_top 14 (7 x 128 / 14 = 64).
    auto net = MakeNet(WithInput({1, 2}, "layer { name: 'f' type: 'ConstantFill' top: 'y' constant_fill_param { "
                                         "value: 7 value_fix8b: 5 shape: 2 shape: 3 } th_top: 14 }"));
    net->Forward();
    EXPECT_EQ(net->blob_by_name("y")->shape(), (std::vector<int>{2, 3}));
    EXPECT_EQ(Floats(*net->blob_by_name("y")), std::vector<float>(6, 7.0f));
    Int8Mode mode;
    net->Forward();
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), std::vector<int32_t>(6, 64));
  }
  // Shaped like its input; 8 bits from value_fix8b, signed, held to a byte.
  for (int32_t v : {-5, 127, -128, 200, -300}) {
    SCOPED_TRACE(v);
    auto net = MakeNet(WithInput({2, 2}, "layer { name: 'f' type: 'ConstantFill' bottom: 'data' top: 'y' "
                                         "constant_fill_param { value: -4 value_fix8b: " +
                                             std::to_string(v) + " } }"));
    net->Forward();
    EXPECT_EQ(Floats(*net->blob_by_name("y")), std::vector<float>(4, -4.0f));
    SetBytes(net->input_blobs()[0], {1, 2, 3, 4}, false);
    Int8Mode mode;
    net->Forward();
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), std::vector<int32_t>(4, v < -128 ? -128 : v > 127 ? 127 : v));
  }
  EXPECT_DEATH(MakeNet(WithInput({1}, "layer { name: 'f' type: 'ConstantFill' top: 'y' }")),
               "ConstantFill layer 'f': has neither a shape nor an input");
}

// y[o][t][i] = x[o][i] over `tiles` repeats.
template <typename T>
std::vector<T> RefTile(const std::vector<T>& x, int outer, int tiles, int inner) {
  std::vector<T> y;
  for (int o = 0; o < outer; ++o)
    for (int t = 0; t < tiles; ++t)
      for (int i = 0; i < inner; ++i) y.push_back(x[o * inner + i]);
  return y;
}

TEST(PlaceLayers, Tile) {
  struct Case {
    int axis, tiles, outer, inner;
    std::vector<int> shape;
  } cases[] = {{1, 3, 2, 6, {2, 9, 2}}, {-1, 2, 6, 2, {2, 3, 4}}, {0, 2, 1, 12, {4, 3, 2}}};
  std::vector<float> in(12);
  std::vector<int32_t> in8(12);
  for (int i = 0; i < 12; ++i) in[i] = 1.5f * i - 7.0f, in8[i] = i * 23 - 128;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.axis);
    const std::string layer = "layer { name: 't' type: 'Tile' bottom: 'data' top: 'y' tile_param { axis: " +
                              std::to_string(c.axis) + " tiles: " + std::to_string(c.tiles) + " } }";
    auto net = MakeNet(WithInput({2, 3, 2}, layer));
    std::copy(in.begin(), in.end(), net->input_blobs()[0]->mutable_cpu_data());
    net->Forward();
    EXPECT_EQ(net->blob_by_name("y")->shape(), c.shape);
    EXPECT_EQ(Floats(*net->blob_by_name("y")), RefTile(in, c.outer, c.tiles, c.inner));
    SetBytes(net->input_blobs()[0], in8, true);
    Int8Mode mode;
    net->Forward();
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), RefTile(in8, c.outer, c.tiles, c.inner));
  }
  EXPECT_DEATH(MakeNet(WithInput({2}, "layer { name: 't' type: 'Tile' bottom: 'data' top: 'y' "
                                      "tile_param { tiles: 0 axis: 0 } }")),
               "Tile layer 't': tiles 0");
}

// A Tile of its parameter blob (an input, if any, only places it): float
// tiles the blob; after calibration the blob holds int8 values in the
// output's scale, which an 8-bit run tiles as they are (or hands on as
// floats, value x th / 128, when the output is float).
TEST(PlaceLayers, TileOfAParameterBlob) {
  const std::vector<float> values = {0.5f, -1.0f, 2.0f, 3.9f, -4.0f, 0.01f};
  std::string blob = "blobs { shape { dim: 2 dim: 3 }";
  for (float v : values) blob += " data: " + std::to_string(v);
  blob += " }";
  const std::string tile = "tile_param { axis: 1 tiles: 2 } " + blob;
  auto plain = MakeNet("name: 't' layer { name: 't' type: 'Tile' top: 'y' " + tile + " }");
  plain->Forward();
  EXPECT_EQ(plain->blob_by_name("y")->shape(), (std::vector<int>{2, 6}));
  EXPECT_EQ(Floats(*plain->blob_by_name("y")), RefTile(values, 2, 2, 3));

  // Calibrated with threshold 4: the int8 image round(v x 32), held to 127.
  auto calibrated = MakeNet(WithInput({2}, "layer { name: 't' type: 'Tile' bottom: 'data' top: 'y' " + tile + " }"));
  calibrated->blob_by_name("y")->setThresHold(4.0);
  calibrated->layers()[0]->mutable_layer_param()->set_th_top(4.0f);
  quantize_tile_layer_int8(*calibrated, 0);
  qrn::NetParameter model;
  calibrated->ToProto(&model, false);
  const std::vector<int32_t> q = {16, -32, 64, 125, -128, 0};
  for (bool out_float : {false, true}) {
    SCOPED_TRACE(out_float ? "float output" : "8-bit output");
    model.mutable_layer(0)->set_output_is_float(out_float);
    qrn::Net<float> net(model);
    SetBytes(net.input_blobs()[0], {1, 2}, true);
    {
      Int8Mode mode;
      net.Forward();
    }
    const Blob<float>& y = *net.blob_by_name("y");
    if (out_float) {
      std::vector<float> want;
      for (int32_t v : RefTile(q, 2, 2, 3)) want.push_back(v / 32.0f);
      EXPECT_EQ(Floats(y), want);
    } else {
      EXPECT_EQ(Bytes(y), RefTile(q, 2, 2, 3));
    }
  }
  EXPECT_DEATH(MakeNet("name: 't' layer { name: 't' type: 'Tile' top: 'y' tile_param { tiles: 2 } }"),
               "Tile layer 't': has neither an input nor a parameter blob to tile");
}

std::string ShiftBytes(const std::vector<int>& shifts) {
  std::string text;
  for (int s : shifts) {
    const unsigned v = static_cast<uint8_t>(static_cast<int8_t>(s));
    text += "\\" + std::to_string(v / 64) + std::to_string(v / 8 % 8) + std::to_string(v % 8);
  }
  return text;
}

// Mode OTHER normalises with its statistics (blobs 2 and 3); the other modes
// hold folded factors and need only scale and shift.
TEST(BNLayer, FloatModes) {
  const std::vector<float> scale = {2.0f, -0.5f}, shift = {1.0f, 3.0f}, mean = {0.5f, -1.0f}, var = {4.0f, 0.25f};
  std::vector<float> in(8);
  for (int i = 0; i < 8; ++i) in[i] = 0.75f * i - 2.0f;
  for (bool other : {true, false}) {
    SCOPED_TRACE(other);
    auto net = MakeNet(WithInput({1, 2, 2, 2}, std::string("layer { name: 'b' type: 'BN' bottom: 'data' top: 'y' "
                                                            "bn_param { eps: 0.01 bn_mode: ") +
                                                   (other ? "OTHER" : "INFERENCE") + " } }"));
    const std::vector<float>* p[] = {&scale, &shift, &mean, &var};
    ASSERT_EQ(net->layers()[0]->blobs().size(), other ? 4u : 2u);
    for (size_t k = 0; k < net->layers()[0]->blobs().size(); ++k)
      std::copy(p[k]->begin(), p[k]->end(), net->layers()[0]->blobs()[k]->mutable_cpu_data());
    std::copy(in.begin(), in.end(), net->input_blobs()[0]->mutable_cpu_data());
    net->Forward();
    const std::vector<float> y = Floats(*net->blob_by_name("y"));
    for (int i = 0; i < 8; ++i) {
      const int c = i / 4;
      const double want = other ? scale[c] * (in[i] - mean[c]) / std::sqrt(double(var[c]) + 0.01) + shift[c]
                                : double(scale[c]) * in[i] + shift[c];
      EXPECT_NEAR(y[i], want, 1e-5) << i;
    }
  }
  EXPECT_DEATH(MakeNet(WithInput({1, 2}, "layer { name: 'b' type: 'BN' bottom: 'data' top: 'y' bn_param { bn_mode: "
                                      "OTHER } blobs { shape { dim: 2 } data: 1 data: 1 } "
                                      "blobs { shape { dim: 2 } data: 0 data: 0 } }")),
               "BN layer 'b': has 2 parameter blobs");
}

// 8 bits: blob 0 multipliers, blob 1 biases, a shift byte per channel.
TEST(BNLayer, Int8AgainstTheIntegerReference) {
  const std::vector<int32_t> in = {-128, -3, 5, 127, 1, 2, 3, -1};
  struct Case {
    const char* what;
    std::vector<int32_t> m, b;
    std::vector<int> shifts;
    bool relu;
    std::vector<int32_t> expected;  // empty: from the reference only
  } cases[] = {
      // Channel 0: (3x + 2) / 4 rounded down; channel 1 shift 0: -2x + 1.
      {"floor shift and shift 0", {3, -2}, {2, 1}, {2, 0}, false, {-96, -2, 4, 95, -1, -3, -5, 3}},
      {"16-bit sum, saturation", {127, 1}, {32767, -32768}, {9, 0}, false, {}},
      {"shift 31", {100, -100}, {0, 5}, {31, 31}, false, {-1, -1, 0, 0, -1, -1, -1, 0}},
      {"left shift saturates", {1, 1}, {0, 0}, {-1, -3}, false, {-128, -6, 10, 127, 8, 16, 24, -8}},
      {"fused ReLU, unsigned out", {90, -77}, {-300, 40}, {5, 6}, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(WithInput({1, 2, 1, 4}, "layer { name: 'b' type: 'BN' bottom: 'data' top: 'y' bn_param { "
                                               "rshift_per_layer: \"" +
                                                   ShiftBytes(c.shifts) + "\" } FollowedByRelu: " +
                                                   (c.relu ? "true" : "false") + " }"));
    auto& blobs = net->layers()[0]->blobs();
    SetBytes(blobs[0].get(), c.m, true);
    for (int k = 0; k < 2; ++k) blobs[1]->mutable_cpu_int16_data()[k] = static_cast<int16_t>(c.b[k]);
    SetBytes(net->input_blobs()[0], in, true);
    Int8Mode mode;
    net->Forward();
    std::vector<int32_t> want;
    for (int i = 0; i < 8; ++i) want.push_back(ref8::Affine(in[i], c.m[i / 4], c.b[i / 4], c.shifts[i / 4], c.relu, !c.relu));
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), want);
    if (!c.expected.empty()) {
      EXPECT_EQ(want, c.expected);
    }
  }
}

}  // namespace
