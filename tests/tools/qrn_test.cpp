// The qrn framework: blobs, the layers' float forward against plain
// references, net construction and weights files.
#include <cstring>
#include <fstream>
#include <limits>

#include "ref_layers.hpp"
#include "test_util.hpp"

using qrn::Blob;
using qrn::Net;
using tools_test::ExpectNear;
using tools_test::FillRandom;
using tools_test::MakeNet;
using tools_test::ParseNet;
using tools_test::TempDir;
using tools_test::Values;

namespace {

// A net with one input "data" of the given shape and the given layers.
std::string WithInput(const std::vector<int>& shape, const std::string& layers) {
  std::string text = "name: 't' input: 'data' input_shape {";
  for (int d : shape) text += " dim: " + std::to_string(d);
  return text + " } " + layers;
}

// Builds the net, fills the input with random values and runs it.
std::unique_ptr<Net<float>> RunNet(const std::vector<int>& shape, const std::string& layers,
                                uint32_t seed = 1) {
  auto net = MakeNet(WithInput(shape, layers));
  FillRandom(net->input_blobs()[0], seed);
  net->Forward(nullptr);
  return net;
}

std::vector<float> In(Net<float>& net) { return Values(*net.input_blobs()[0]); }
std::vector<float> Top(Net<float>& net, const std::string& name) { return Values(*net.blob_by_name(name)); }
std::vector<float> Param(Net<float>& net, const std::string& layer, int i) {
  return Values(*net.layer_by_name(layer)->blobs()[i]);
}

const char* kGaussian = "{ type: 'gaussian' std: 0.5 }";

TEST(QrnBlob, ViewsShareStorageAndProtoCarriesQuantizationState) {
  Blob<float> blob({2, 3});
  EXPECT_EQ(blob.count(), 6);
  EXPECT_EQ(blob.count(1), 3);
  EXPECT_EQ(blob.num(), 2);
  EXPECT_EQ(blob.channels(), 3);
  EXPECT_EQ(blob.height(), 1);
  EXPECT_EQ(blob.shape(-1), 3);
  EXPECT_TRUE(blob.pad_value_per_chan().empty());
  blob.mutable_cpu_int8_data()[23] = -5;  // the 8-bit area spans 4 bytes per value
  EXPECT_EQ(blob.cpu_unint8_data()[23], 251);
  blob.mutable_cpu_int16_data()[0] = -2;
  EXPECT_EQ(blob.cpu_int8_data()[0], -2);
  blob.mutable_cpu_int32_data()[1] = 7;
  EXPECT_EQ(blob.cpu_int16_data()[2], 7);

  blob.setThresHold(3.5);
  blob.setRshiftNum(6);
  blob.setBitWidth(qrn::bitWidth_16);
  blob.setUseMaxAsThreshold(true);
  blob.set_fixed_sign_type(qrn::BlobProto::UNSIGNED);
  blob.set_winograd_existence(1);
  blob.setWingradRshiftNum(4);
  qrn::BlobProto proto;
  blob.ToProto(&proto);
  Blob<float> copy;
  copy.FromProto(proto);
  EXPECT_EQ(copy.shape(), blob.shape());
  EXPECT_EQ(copy.thresHold(), 3.5);
  EXPECT_EQ(copy.rshiftNum(), 6);
  EXPECT_EQ(copy.bitWidth(), qrn::bitWidth_16);
  EXPECT_TRUE(copy.isUseMaxAsThreshold());
  EXPECT_EQ(copy.fixed_sign_type(), qrn::BlobProto::UNSIGNED);
  EXPECT_EQ(copy.winograd_existence(), 1);
  EXPECT_EQ(copy.rWinogradshiftNum(), 4);
  // The fixed-point bytes survive exactly.
  EXPECT_EQ(copy.cpu_int8_data()[23], -5);
  EXPECT_EQ(copy.cpu_int16_data()[0], -2);
  EXPECT_EQ(copy.cpu_int32_data()[1], 7);
}

TEST(QrnMath, GemmAllTransposesAgainstPlainProduct) {
  // Large enough to run on several threads.
  const int M = 70, N = 80, K = 60;
  std::vector<float> a(M * K), b(K * N);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-1, 1);
  for (float& v : a) v = dist(rng);
  for (float& v : b) v = dist(rng);
  for (auto ta : {qrn::NoTrans, qrn::Trans})
    for (auto tb : {qrn::NoTrans, qrn::Trans}) {
      SCOPED_TRACE(testing::Message() << "trans " << ta << tb);
      std::vector<float> c(M * N, 1.0f), expected(M * N);
      for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
          double acc = 0;
          for (int k = 0; k < K; ++k)
            acc += static_cast<double>(ta == qrn::NoTrans ? a[i * K + k] : a[k * M + i]) *
                   (tb == qrn::NoTrans ? b[k * N + j] : b[j * K + k]);
          expected[i * N + j] = static_cast<float>(2.0 * acc + 0.5);
        }
      qrn::qrn_cpu_gemm<float>(ta, tb, M, N, K, 2.0f, a.data(), b.data(), 0.5f, c.data());
      ExpectNear(expected, c);
    }
}

// The blocked product against the plain i-k-j loop, bit for bit: every
// element sees the same operations in the same order. Shapes with partial
// tiles, zeros in A (skipped), beta 0 and not, every transpose.
TEST(QrnMath, GemmEqualsThePlainLoopBitForBit) {
  struct Shape { int M, N, K; };
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> dist(-1, 1);
  for (Shape s : {Shape{1, 1, 1}, Shape{3, 7, 5}, Shape{4, 8, 9}, Shape{9, 17, 33}, Shape{64, 10, 32},
                  Shape{16, 196, 72}, Shape{130, 64, 260}})
    for (auto ta : {qrn::NoTrans, qrn::Trans})
      for (auto tb : {qrn::NoTrans, qrn::Trans})
        for (float beta : {0.0f, 0.75f}) {
          SCOPED_TRACE(testing::Message() << s.M << "x" << s.N << "x" << s.K << " trans " << ta << tb << " beta " << beta);
          const int M = s.M, N = s.N, K = s.K;
          std::vector<float> a(M * K), b(K * N), c(M * N);
          for (size_t i = 0; i < a.size(); ++i) a[i] = i % 5 == 2 ? 0.0f : dist(rng);
          for (float& v : b) v = dist(rng);
          for (float& v : c) v = dist(rng);
          std::vector<float> expected = c;
          for (int i = 0; i < M; ++i) {
            float* e = expected.data() + i * N;
            for (int j = 0; j < N; ++j) e[j] = beta == 0.0f ? 0.0f : beta * e[j];
            for (int k = 0; k < K; ++k) {
              const float x = ta == qrn::NoTrans ? a[i * K + k] : a[k * M + i];
              if (x == 0.0f) continue;
              const float sx = 1.5f * x;
              for (int j = 0; j < N; ++j) e[j] += sx * (tb == qrn::NoTrans ? b[k * N + j] : b[j * K + k]);
            }
          }
          qrn::qrn_cpu_gemm<float>(ta, tb, M, N, K, 1.5f, a.data(), b.data(), beta, c.data());
          ASSERT_EQ(0, std::memcmp(expected.data(), c.data(), c.size() * sizeof(float)));
        }
}

struct ConvCase {
  const char* what;
  std::vector<int> in;  // N, C, H, W
  int out;
  ref::Conv g;
  bool bias;
};

class QrnConvolution : public ::testing::TestWithParam<ConvCase> {};

std::string ConvParamText(const ConvCase& c) {
  std::string t = "convolution_param { num_output: " + std::to_string(c.out) +
                  " kernel_h: " + std::to_string(c.g.kh) + " kernel_w: " + std::to_string(c.g.kw) +
                  " stride_h: " + std::to_string(c.g.sh) + " stride_w: " + std::to_string(c.g.sw) +
                  " pad_h: " + std::to_string(c.g.ph) + " pad_w: " + std::to_string(c.g.pw) +
                  " dilation: " + std::to_string(c.g.dh) + " group: " + std::to_string(c.g.group) +
                  " bias_term: " + (c.bias ? "true" : "false") + " weight_filler " + kGaussian +
                  " bias_filler " + kGaussian + " }";
  return t;
}

TEST_P(QrnConvolution, ForwardMatchesReference) {
  const ConvCase& c = GetParam();
  for (const char* type : {"Convolution", "Deconvolution"}) {
    SCOPED_TRACE(type);
    auto net = RunNet(c.in, std::string("layer { name: 'c' type: '") + type +
                             "' bottom: 'data' top: 'y' " + ConvParamText(c) + " }");
    const auto w = Param(*net, "c", 0);
    const auto b = c.bias ? Param(*net, "c", 1) : std::vector<float>();
    int oh, ow;
    const auto expected =
        std::string(type) == "Convolution"
            ? ref::Convolution(In(*net), c.in[0], c.in[1], c.in[2], c.in[3], w, b, c.out, c.g, &oh, &ow)
            : ref::Deconvolution(In(*net), c.in[0], c.in[1], c.in[2], c.in[3], w, b, c.out, c.g, &oh, &ow);
    EXPECT_EQ(net->blob_by_name("y")->shape(), (std::vector<int>{c.in[0], c.out, oh, ow}));
    ExpectNear(expected, Top(*net, "y"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QrnConvolution,
    ::testing::Values(
        ConvCase{"plain 3x3", {2, 3, 6, 5}, 4, {3, 3}, true},
        ConvCase{"stride and pad", {1, 2, 7, 7}, 3, {3, 3, 2, 2, 1, 1}, true},
        ConvCase{"rectangular kernel, uneven stride", {1, 2, 6, 8}, 2, {2, 3, 1, 2, 1, 0}, false},
        ConvCase{"dilation", {1, 2, 9, 9}, 2, {3, 3, 1, 1, 2, 2, 2, 2}, true},
        ConvCase{"groups", {2, 4, 5, 5}, 6, {3, 3, 1, 1, 1, 1, 1, 1, 2}, true},
        ConvCase{"depthwise", {1, 3, 5, 4}, 3, {3, 3, 1, 1, 1, 1, 1, 1, 3}, true}),
    [](const auto& info) {
      std::string n = info.param.what;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(QrnLayers, PoolingMaxAndAverageWithCeilAndPadding) {
  struct Case {
    bool max;
    int k, s, p, oh, ow;
  };
  // 7x6 input; output sizes round up and drop a window that would start in
  // the right padding.
  for (const Case& c : {Case{true, 3, 2, 0, 3, 3}, Case{false, 3, 2, 1, 4, 4}, Case{true, 2, 2, 1, 4, 4},
                        Case{false, 2, 3, 0, 3, 2}}) {
    SCOPED_TRACE(testing::Message() << "max " << c.max << " k " << c.k << " s " << c.s << " p " << c.p);
    auto net = RunNet({2, 2, 7, 6}, "layer { name: 'p' type: 'Pooling' bottom: 'data' top: 'y' "
                                 "pooling_param { pool: " + std::string(c.max ? "MAX" : "AVE") +
                                     " kernel_size: " + std::to_string(c.k) + " stride: " +
                                     std::to_string(c.s) + " pad: " + std::to_string(c.p) + " } }");
    EXPECT_EQ(net->blob_by_name("y")->shape(), (std::vector<int>{2, 2, c.oh, c.ow}));
    ExpectNear(ref::Pool(In(*net), 2, 2, 7, 6, c.k, c.s, c.p, c.max, c.oh, c.ow), Top(*net, "y"));
  }
  auto global = RunNet({1, 3, 4, 5}, "layer { name: 'p' type: 'Pooling' bottom: 'data' top: 'y' "
                                  "pooling_param { pool: AVE global_pooling: true } }");
  EXPECT_EQ(global->blob_by_name("y")->shape(), (std::vector<int>{1, 3, 1, 1}));
  const auto x = In(*global);
  std::vector<float> mean(3, 0.0f);
  for (int i = 0; i < 60; ++i) mean[i / 20] += x[i] / 20;
  ExpectNear(mean, Top(*global, "y"));
}

TEST(QrnLayers, InnerProductReluPReluSoftmax) {
  auto net = RunNet({3, 2, 2, 2},
                 std::string("layer { name: 'fc' type: 'InnerProduct' bottom: 'data' top: 'fc' "
                             "inner_product_param { num_output: 5 weight_filler ") + kGaussian +
                     " bias_filler " + kGaussian + " } } "
                     "layer { name: 'r' type: 'ReLU' bottom: 'fc' top: 'r' relu_param { negative_slope: 0.1 upper_limit: 0.4 } } "
                     "layer { name: 'pr' type: 'PReLU' bottom: 'fc' top: 'pr' prelu_param { filler { type: 'uniform' min: 0.1 max: 0.9 } } } "
                     "layer { name: 's' type: 'Softmax' bottom: 'fc' top: 's' }");
  const auto x = In(*net), w = Param(*net, "fc", 0), b = Param(*net, "fc", 1), a = Param(*net, "pr", 0);
  std::vector<float> fc(15), relu(15), prelu(15), soft(15);
  for (int n = 0; n < 3; ++n) {
    double sum = 0;
    for (int o = 0; o < 5; ++o) {
      double acc = b[o];
      for (int k = 0; k < 8; ++k) acc += static_cast<double>(w[o * 8 + k]) * x[n * 8 + k];
      const float v = static_cast<float>(acc);
      fc[n * 5 + o] = v;
      relu[n * 5 + o] = std::min(v > 0 ? v : 0.1f * v, 0.4f);
      prelu[n * 5 + o] = v > 0 ? v : a[o] * v;
      sum += std::exp(static_cast<double>(v));
    }
    for (int o = 0; o < 5; ++o) soft[n * 5 + o] = static_cast<float>(std::exp(fc[n * 5 + o]) / sum);
  }
  EXPECT_EQ(net->blob_by_name("fc")->shape(), (std::vector<int>{3, 5}));
  ExpectNear(fc, Top(*net, "fc"));
  ExpectNear(relu, Top(*net, "r"));
  ExpectNear(prelu, Top(*net, "pr"));
  ExpectNear(soft, Top(*net, "s"));
}

TEST(QrnLayers, ReLUEdgeValuesBitForBit) {
  // Signed zeros, NaN, infinities, values at and around the cap, and a
  // count that leaves a tail after the groups of four; in place and into a
  // blob of its own. Compared bit for bit with the element-wise definition.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> x = {0.0f, -0.0f, nan, -nan, inf, -inf, 0.4f, 0.41f, 0.39f, -3.0f, 2.5e-39f, -2.5e-39f, 7.0f};
  const struct {
    const char* param;
    float slope, upper;
    bool limit;
  } cases[] = {{"", 0.0f, 0.0f, false},
               {"relu_param { negative_slope: 0.1 }", 0.1f, 0.0f, false},
               {"relu_param { negative_slope: -2 upper_limit: 0.4 }", -2.0f, 0.4f, true}};
  for (const auto& c : cases)
    for (const bool in_place : {true, false}) {
      auto net = MakeNet(WithInput({1, static_cast<int>(x.size())},
                                   std::string("layer { name: 'r' type: 'ReLU' bottom: 'data' top: '") +
                                       (in_place ? "data" : "y") + "' " + c.param + " }"));
      std::copy(x.begin(), x.end(), net->input_blobs()[0]->mutable_cpu_data());
      net->Forward(nullptr);
      const std::vector<float> y = Top(*net, in_place ? "data" : "y");
      for (size_t i = 0; i < x.size(); ++i) {
        float want = x[i] > 0 ? x[i] : x[i] * c.slope;
        if (c.limit) want = std::min(want, c.upper);
        uint32_t got_bits, want_bits;
        std::memcpy(&got_bits, &y[i], 4);
        std::memcpy(&want_bits, &want, 4);
        EXPECT_EQ(got_bits, want_bits) << c.param << (in_place ? " in place" : "") << ", x = " << x[i];
      }
    }
}

TEST(QrnLayers, BatchNormScaleBiasPerChannel) {
  auto net = RunNet({2, 3, 2, 2},
                 std::string("layer { name: 'bn' type: 'BatchNorm' bottom: 'data' top: 'bn' batch_norm_param { eps: 0.001 } } "
                             "layer { name: 'bnm' type: 'BatchNorm' bottom: 'data' top: 'bnm' "
                             "  batch_norm_param { stats_in_multiplier_form: true } } "
                             "layer { name: 'sc' type: 'Scale' bottom: 'data' top: 'sc' scale_param { bias_term: true filler ") +
                     kGaussian + " bias_filler " + kGaussian + " } } "
                     "layer { name: 'bi' type: 'Bias' bottom: 'data' top: 'bi' bias_param { filler " + kGaussian + " } } "
                     // The factor as a second input: one value per (sample, channel).
                     "layer { name: 'pool' type: 'Pooling' bottom: 'data' top: 'pool' pooling_param { pool: AVE global_pooling: true } } "
                     "layer { name: 'fl' type: 'Flatten' bottom: 'pool' top: 'fl' } "
                     "layer { name: 'sc2' type: 'Scale' bottom: 'data' bottom: 'fl' top: 'sc2' scale_param { axis: 0 } }");
  // BatchNorm statistics: mean, variance and the factor s; s = 2 halves both.
  auto& bn = net->layer_by_name("bn")->blobs();
  const float mean[3] = {0.4f, -1.0f, 2.0f}, var[3] = {1.0f, 4.0f, 0.5f};
  for (int c = 0; c < 3; ++c) {
    bn[0]->mutable_cpu_data()[c] = mean[c];
    bn[1]->mutable_cpu_data()[c] = var[c];
  }
  bn[2]->mutable_cpu_data()[0] = 2.0f;
  auto& bnm = net->layer_by_name("bnm")->blobs();
  const float offset[3] = {0.5f, -0.25f, 1.0f}, mul[3] = {2.0f, -1.0f, 0.5f};
  for (int c = 0; c < 3; ++c) {
    bnm[0]->mutable_cpu_data()[c] = offset[c];
    bnm[1]->mutable_cpu_data()[c] = mul[c];
  }
  EXPECT_EQ(net->layer_by_name("bnm")->stats_in_multiplier_form(), 1);
  EXPECT_EQ(net->layer_by_name("bn")->stats_in_multiplier_form(), 0);
  net->Forward();
  const auto x = In(*net), s = Param(*net, "sc", 0), sb = Param(*net, "sc", 1), bb = Param(*net, "bi", 0);
  std::vector<float> e_bn(24), e_bnm(24), e_sc(24), e_bi(24);
  for (int i = 0; i < 24; ++i) {
    const int c = (i / 4) % 3;
    e_bn[i] = (x[i] - mean[c] / 2) / std::sqrt(var[c] / 2 + 0.001f);
    e_bnm[i] = mul[c] * (x[i] + offset[c]);
    e_sc[i] = x[i] * s[c] + sb[c];
    e_bi[i] = x[i] + bb[c];
  }
  ExpectNear(e_bn, Top(*net, "bn"));
  ExpectNear(e_bnm, Top(*net, "bnm"));
  ExpectNear(e_sc, Top(*net, "sc"));
  ExpectNear(e_bi, Top(*net, "bi"));
  const auto f = Top(*net, "fl");
  std::vector<float> e_sc2(24);
  for (int i = 0; i < 24; ++i) e_sc2[i] = x[i] * f[i / 4];
  ExpectNear(e_sc2, Top(*net, "sc2"));
}

TEST(QrnLayers, EltwiseConcatReshapeFlattenDropout) {
  auto net = RunNet({2, 3, 2, 2},
                 "layer { name: 'r' type: 'ReLU' bottom: 'data' top: 'r' } "
                 "layer { name: 'sum' type: 'Eltwise' bottom: 'data' bottom: 'r' top: 'sum' eltwise_param { coeff: 2 coeff: -1 } } "
                 "layer { name: 'prod' type: 'Eltwise' bottom: 'data' bottom: 'r' top: 'prod' eltwise_param { operation: PROD } } "
                 "layer { name: 'max' type: 'Eltwise' bottom: 'data' bottom: 'r' top: 'max' eltwise_param { operation: MAX } } "
                 "layer { name: 'cat' type: 'Concat' bottom: 'data' bottom: 'r' top: 'cat' } "
                 "layer { name: 'cat2' type: 'Concat' bottom: 'data' bottom: 'r' top: 'cat2' concat_param { axis: 2 } } "
                 "layer { name: 'rs' type: 'Reshape' bottom: 'cat' top: 'rs' reshape_param { shape { dim: 0 dim: -1 dim: 3 } } } "
                 "layer { name: 'fl' type: 'Flatten' bottom: 'cat' top: 'fl' } "
                 "layer { name: 'dr' type: 'Dropout' bottom: 'fl' top: 'dr' }");
  const auto x = In(*net);
  std::vector<float> r(24), sum(24), prod(24), mx(24), cat(48), cat2(48);
  for (int i = 0; i < 24; ++i) {
    r[i] = std::max(x[i], 0.0f);
    sum[i] = 2 * x[i] - r[i];
    prod[i] = x[i] * r[i];
    mx[i] = std::max(x[i], r[i]);
  }
  for (int n = 0; n < 2; ++n)
    for (int k = 0; k < 12; ++k) {
      cat[n * 24 + k] = x[n * 12 + k];
      cat[n * 24 + 12 + k] = r[n * 12 + k];
    }
  for (int nc = 0; nc < 6; ++nc)
    for (int k = 0; k < 4; ++k) {
      cat2[nc * 8 + k] = x[nc * 4 + k];
      cat2[nc * 8 + 4 + k] = r[nc * 4 + k];
    }
  ExpectNear(sum, Top(*net, "sum"));
  ExpectNear(prod, Top(*net, "prod"));
  ExpectNear(mx, Top(*net, "max"));
  ExpectNear(cat, Top(*net, "cat"));
  ExpectNear(cat2, Top(*net, "cat2"));
  EXPECT_EQ(net->blob_by_name("cat2")->shape(), (std::vector<int>{2, 3, 4, 2}));
  EXPECT_EQ(net->blob_by_name("rs")->shape(), (std::vector<int>{2, 8, 3}));
  EXPECT_EQ(net->blob_by_name("fl")->shape(), (std::vector<int>{2, 24}));
  ExpectNear(cat, Top(*net, "rs"));
  ExpectNear(cat, Top(*net, "dr"));
}

TEST(QrnLayers, LRNAndNormalize) {
  auto net = RunNet({2, 5, 3, 2},
                 "layer { name: 'lrn' type: 'LRN' bottom: 'data' top: 'lrn' lrn_param { local_size: 3 alpha: 0.5 beta: 0.75 k: 2 } } "
                 "layer { name: 'ns' type: 'Normalize' bottom: 'data' top: 'ns' "
                 "  normalize_param { across_spatial: true channel_shared: true scale_filler { type: 'constant' value: 3 } } } "
                 "layer { name: 'nc' type: 'Normalize' bottom: 'data' top: 'nc' "
                 "  normalize_param { across_spatial: false channel_shared: false scale_filler { type: 'uniform' } } }");
  const auto x = In(*net);
  ExpectNear(ref::LRNAcross(x, 2, 5, 6, 3, 0.5, 0.75, 2.0), Top(*net, "lrn"));
  auto within = RunNet({1, 2, 4, 3}, "layer { name: 'lrn' type: 'LRN' bottom: 'data' top: 'lrn' "
                                     "lrn_param { local_size: 3 alpha: 0.9 beta: 0.5 norm_region: WITHIN_CHANNEL } }");
  const auto xw = In(*within);
  std::vector<float> expected(xw.size());
  for (int c = 0; c < 2; ++c)
    for (int h = 0; h < 4; ++h)
      for (int w = 0; w < 3; ++w) {
        double sum = 0;
        for (int hh = h - 1; hh <= h + 1; ++hh)
          for (int ww = w - 1; ww <= w + 1; ++ww)
            if (hh >= 0 && hh < 4 && ww >= 0 && ww < 3) sum += xw[(c * 4 + hh) * 3 + ww] * xw[(c * 4 + hh) * 3 + ww];
        const int i = (c * 4 + h) * 3 + w;
        expected[i] = static_cast<float>(xw[i] / std::sqrt(1.0 + 0.9 / 9 * sum));
      }
  ExpectNear(expected, Top(*within, "lrn"));
  ExpectNear(ref::Normalize(x, 2, 5, 6, true, {3.0f}, 1e-10), Top(*net, "ns"));
  ExpectNear(ref::Normalize(x, 2, 5, 6, false, Param(*net, "nc", 0), 1e-10), Top(*net, "nc"));
}

TEST(QrnLayers, DummyDataIsSeededAndRefreshedEachPass) {
  const std::string text =
      "name: 'd' layer { name: 'd' type: 'DummyData' top: 'a' top: 'b' dummy_data_param { "
      "shape { dim: 2 dim: 3 } shape { dim: 4 } "
      "data_filler { type: 'gaussian' } data_filler { type: 'constant' value: 7 } } }";
  auto first = MakeNet(text);
  auto second = MakeNet(text);
  first->Forward();
  second->Forward();
  const auto a1 = Values(*first->blob_by_name("a"));
  EXPECT_EQ(a1, Values(*second->blob_by_name("a")));  // same seed, same data
  EXPECT_EQ(Values(*first->blob_by_name("b")), std::vector<float>(4, 7.0f));
  first->Forward();
  EXPECT_NE(a1, Values(*first->blob_by_name("a")));  // the next batch differs
}

TEST(QrnLayers, ImageDataReadsGreyAndColourMaps) {
  TempDir dir;
  {
    std::ofstream p5(dir / "g.pgm", std::ios::binary);
    p5 << "P5\n# grey\n3 2\n255\n";
    const unsigned char px[6] = {0, 10, 20, 30, 40, 250};
    p5.write(reinterpret_cast<const char*>(px), 6);
    std::ofstream p3(dir / "c.ppm");
    p3 << "P3 3 2 100\n 0 0 100  10 20 30  1 2 3\n 4 5 6  7 8 9  100 50 0\n";
    std::ofstream list(dir / "list.txt");
    list << "g.pgm 4\nc.ppm 9\n";
  }
  auto net = MakeNet("layer { name: 'img' type: 'ImageData' top: 'data' top: 'label' "
                     "image_data_param { source: '" + (dir / "list.txt") + "' root_folder: '" + dir.path() +
                     "/' batch_size: 1 } transform_param { scale: 0.5 mean_value: 10 } }");
  const auto& data = *net->blob_by_name("data");
  EXPECT_EQ(data.shape(), (std::vector<int>{1, 3, 2, 3}));
  net->Forward();
  // A grey map fills all three channels.
  EXPECT_FLOAT_EQ(data.data_at(0, 2, 1, 2), (250 - 10) * 0.5f);
  EXPECT_FLOAT_EQ(data.data_at(0, 0, 0, 1), 0.0f);
  EXPECT_EQ(net->blob_by_name("label")->cpu_data()[0], 4.0f);
  net->Forward();
  // Colour values scale from maximum 100 to 255; channels in file order.
  EXPECT_FLOAT_EQ(data.data_at(0, 2, 0, 0), (255 - 10) * 0.5f);
  EXPECT_FLOAT_EQ(data.data_at(0, 1, 1, 2), (127.5f - 10) * 0.5f);
  EXPECT_EQ(net->blob_by_name("label")->cpu_data()[0], 9.0f);
  net->Forward();  // wraps around to the first image
  EXPECT_EQ(net->blob_by_name("label")->cpu_data()[0], 4.0f);
}

// An IDX file of unsigned bytes with the given dimensions.
void WriteIdx(const std::string& path, const std::vector<uint32_t>& dims, const std::vector<unsigned char>& values) {
  std::ofstream f(path, std::ios::binary);
  const unsigned char head[4] = {0, 0, 0x08, static_cast<unsigned char>(dims.size())};
  f.write(reinterpret_cast<const char*>(head), 4);
  for (uint32_t d : dims) {
    const unsigned char be[4] = {static_cast<unsigned char>(d >> 24), static_cast<unsigned char>(d >> 16),
                                 static_cast<unsigned char>(d >> 8), static_cast<unsigned char>(d)};
    f.write(reinterpret_cast<const char*>(be), 4);
  }
  f.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size()));
}

TEST(QrnLayers, DataReadsIdxImagesAndLabels) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  WriteIdx(dir / "images", {3, 2, 2}, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 255});
  WriteIdx(dir / "labels", {3}, {7, 8, 9});
  WriteIdx(dir / "short", {3, 2, 2}, {1, 2, 3});
  auto net = MakeNet("layer { name: 'd' type: 'Data' top: 'data' top: 'label' data_param { source: '" +
                     (dir / "images") + "' label_source: '" + (dir / "labels") +
                     "' batch_size: 2 } transform_param { scale: 0.5 mean_value: 10 } }");
  const auto& data = *net->blob_by_name("data");
  const auto& label = *net->blob_by_name("label");
  EXPECT_EQ(data.shape(), (std::vector<int>{2, 1, 2, 2}));
  net->Forward();
  EXPECT_EQ(Values(data), (std::vector<float>{-5, 0, 5, 10, 15, 20, 25, 30}));
  EXPECT_EQ(Values(label), (std::vector<float>{7, 8}));
  net->Forward();  // the third image, then the first again
  EXPECT_EQ(Values(data), (std::vector<float>{35, 40, 45, 122.5f, -5, 0, 5, 10}));
  EXPECT_EQ(Values(label), (std::vector<float>{9, 7}));
  EXPECT_DEATH(MakeNet("layer { name: 'd' type: 'Data' top: 'data' data_param { source: '" + (dir / "short") +
                       "' batch_size: 1 } }"),
               "cannot read images .*short: holds 3 values, its header says 12");
}

TEST(QrnNet, FanOutGetsSplitLayersAndInPlaceLayersShareBlobs) {
  auto net = RunNet({1, 2, 3, 3},
                 "layer { name: 'conv' type: 'Convolution' bottom: 'data' top: 'conv' "
                 "  convolution_param { num_output: 2 kernel_size: 1 weight_filler { type: 'gaussian' } } } "
                 "layer { name: 'relu' type: 'ReLU' bottom: 'conv' top: 'conv' } "
                 "layer { name: 'a' type: 'Pooling' bottom: 'conv' top: 'a' pooling_param { kernel_size: 1 } } "
                 "layer { name: 'b' type: 'Scale' bottom: 'conv' top: 'b' } "
                 "layer { name: 'c' type: 'Eltwise' bottom: 'a' bottom: 'b' bottom: 'data' top: 'c' }");
  std::vector<std::string> types;
  for (const auto& l : net->layers()) types.push_back(l->type());
  // The net input feeds conv and c, conv (after its in-place ReLU) feeds a and b.
  EXPECT_EQ(types, (std::vector<std::string>{"Split", "Convolution", "ReLU", "Split", "Pooling", "Scale", "Eltwise"}));
  const int relu = 2, split = 3;
  EXPECT_EQ(net->layer_names()[relu], "relu");
  EXPECT_EQ(net->bottom_vecs()[relu][0], net->top_vecs()[relu][0]);
  EXPECT_EQ(net->top_vecs()[1][0], net->bottom_vecs()[relu][0]);
  EXPECT_EQ(net->bottom_vecs()[split][0], net->top_vecs()[relu][0]);
  EXPECT_EQ(net->top_vecs()[split].size(), 2u);
  EXPECT_EQ(net->bottom_vecs()[4][0], net->top_vecs()[split][0]);
  EXPECT_EQ(net->bottom_vecs()[5][0], net->top_vecs()[split][1]);
  EXPECT_EQ(net->blobs()[net->top_ids(relu)[0]].get(), net->top_vecs()[relu][0]);
  EXPECT_EQ(net->output_blobs().size(), 1u);
  // Values flow through the copies: c = relu(conv) + relu(conv) + data.
  const auto x = In(*net), conv = Top(*net, "conv"), c = Top(*net, "c");
  for (size_t i = 0; i < c.size(); ++i) EXPECT_NEAR(c[i], 2 * conv[i] + x[i], 1e-5);
}

TEST(QrnNet, LayersFollowPhaseRules) {
  auto net = MakeNet(WithInput({1, 2},
                               "layer { name: 'train' type: 'ReLU' bottom: 'data' top: 'x' include { phase: TRAIN } } "
                               "layer { name: 'test' type: 'ReLU' bottom: 'data' top: 'y' include { phase: TEST } } "
                               "layer { name: 'all' type: 'ReLU' bottom: 'data' top: 'z' exclude { stage: 'deploy' } }"));
  EXPECT_FALSE(net->has_layer("train"));
  EXPECT_TRUE(net->has_layer("test"));
  EXPECT_TRUE(net->has_layer("all"));
  // From a file, with the phase and stages given by the caller.
  TempDir dir;
  ASSERT_TRUE(qrn::WriteProtoToTextFile(ParseNet(WithInput({1, 2},
      "layer { name: 'train' type: 'ReLU' bottom: 'data' top: 'x' include { phase: TRAIN } } "
      "layer { name: 'all' type: 'ReLU' bottom: 'data' top: 'z' exclude { stage: 'deploy' } }")), dir / "n.prototxt"));
  const std::vector<std::string> stages = {"deploy"};
  Net<float> train(dir / "n.prototxt", qrn::TRAIN, 0, &stages);
  EXPECT_TRUE(train.has_layer("train"));
  EXPECT_FALSE(train.has_layer("all"));
  EXPECT_EQ(train.phase(), qrn::TRAIN);
}

TEST(QrnNet, WeightsRoundTripThroughBinaryFileAndToProto) {
  TempDir dir;
  const std::string layers =
      std::string("layer { name: 'conv' type: 'Convolution' bottom: 'data' top: 'conv' "
                  "  convolution_param { num_output: 3 kernel_size: 3 pad: 1 weight_filler ") + kGaussian +
      " bias_filler " + kGaussian + " } } "
      "layer { name: 'bn' type: 'BatchNorm' bottom: 'conv' top: 'conv' } "
      "layer { name: 'fc' type: 'InnerProduct' bottom: 'conv' top: 'fc' inner_product_param { num_output: 4 weight_filler " +
      kGaussian + " } }";
  auto trained = RunNet({1, 2, 4, 4}, layers);
  auto& bn = trained->layer_by_name("bn")->blobs();
  for (int c = 0; c < 3; ++c) {
    bn[0]->mutable_cpu_data()[c] = 0.1f * c;
    bn[1]->mutable_cpu_data()[c] = 1.0f + c;
  }
  bn[2]->mutable_cpu_data()[0] = 1.0f;
  auto& fc = trained->layer_by_name("fc")->blobs();
  fc[0]->setThresHold(2.25);
  fc[0]->setBitWidth(qrn::bitWidth_8);
  fc[0]->mutable_cpu_int8_data()[0] = -100;
  fc[0]->set_fixed_sign_type(qrn::BlobProto::UNSIGNED);
  trained->layer_by_name("fc")->mutable_layer_param()->set_th_top(1.5f);
  trained->layer_by_name("conv")->mutable_layer_param()->mutable_convolution_param()->set_rshift_per_layer(std::string("\x03\x04\x05", 3));

  qrn::NetParameter saved;
  trained->ToProto(&saved, false);
  ASSERT_EQ(saved.layer_size(), 3);
  EXPECT_EQ(saved.layer(2).th_top(), 1.5f);
  EXPECT_EQ(saved.layer(0).convolution_param().rshift_per_layer(), std::string("\x03\x04\x05", 3));
  EXPECT_EQ(saved.layer(2).blobs(0).threshold(), 2.25);
  EXPECT_EQ(saved.layer(2).blobs(0).fixed_sign_type(), qrn::BlobProto::UNSIGNED);
  ASSERT_TRUE(qrn::WriteProtoToBinaryFile(saved, dir / "w.bin"));

  // A fresh net with other random weights takes the saved ones by name.
  qrn::Qrn::Get().set_random_seed(99);
  auto fresh = MakeNet(WithInput({1, 2, 4, 4}, layers));
  qrn::Qrn::Get().set_random_seed(1234);
  EXPECT_NE(Values(*fresh->layer_by_name("conv")->blobs()[0]), Values(*trained->layer_by_name("conv")->blobs()[0]));
  fresh->CopyTrainedLayersFrom(dir / "w.bin");
  for (const char* name : {"conv", "bn"})
    for (size_t i = 0; i < trained->layer_by_name(name)->blobs().size(); ++i)
      EXPECT_EQ(Values(*fresh->layer_by_name(name)->blobs()[i]), Values(*trained->layer_by_name(name)->blobs()[i]));
  const auto& w = *fresh->layer_by_name("fc")->blobs()[0];
  EXPECT_EQ(w.cpu_int8_data()[0], -100);
  EXPECT_EQ(w.thresHold(), 2.25);
  EXPECT_EQ(w.fixed_sign_type(), qrn::BlobProto::UNSIGNED);
}

using QrnNetDeathTest = ::testing::Test;

TEST_F(QrnNetDeathTest, ConstructionErrorsNameTheCulprit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(MakeNet(WithInput({1, 2}, "layer { name: 'x' type: 'Mystery' bottom: 'data' top: 'y' }")),
               "Unknown layer type: Mystery.*known types:.*Convolution.*ReLU");
  EXPECT_DEATH(MakeNet(WithInput({1, 2, 3, 3}, "layer { name: 'c1' type: 'Convolution' bottom: 'data' top: 'y' "
                                               "convolution_param { num_output: 3 kernel_size: 1 group: 2 } }")),
               "Convolution layer 'c1': num_output 3 is not a multiple of group 2");
  EXPECT_DEATH(MakeNet(WithInput({1, 2, 3, 3}, "layer { name: 'c2' type: 'Convolution' bottom: 'data' top: 'y' "
                                               "convolution_param { num_output: 2 kernel_size: 5 } }")),
               "Convolution layer 'c2': kernel larger than the padded input");
  EXPECT_DEATH(MakeNet(WithInput({1, 2, 3, 3}, "layer { name: 'cat' type: 'Concat' bottom: 'data' bottom: 'other' top: 'y' }")),
               "Unknown bottom blob 'other'.*'cat'");
  EXPECT_DEATH(MakeNet(WithInput({2, 3, 2, 2}, "layer { name: 'f' type: 'Flatten' bottom: 'data' top: 'a' } "
                                               "layer { name: 'e' type: 'Eltwise' bottom: 'data' bottom: 'a' top: 'y' }")),
               "Eltwise layer 'e': input 1 2 12 .* differs from input 0 2 3 2 2");
  EXPECT_DEATH(MakeNet(WithInput({2, 3}, "layer { name: 'p' type: 'Pooling' bottom: 'data' top: 'z' "
                                         "pooling_param { kernel_size: 2 } }")),
               "Pooling layer 'p': needs a 4-axis input");
  EXPECT_DEATH(MakeNet(WithInput({2, 3}, "layer { name: 'fc' type: 'InnerProduct' bottom: 'data' top: 'y' "
                                         "inner_product_param { num_output: 2 } blobs { shape { dim: 2 dim: 4 } "
                                         "data: [1, 2, 3, 4, 5, 6, 7, 8] } blobs { shape { dim: 2 } data: [0, 0] } }")),
               "InnerProduct layer 'fc': weight shape 2 4 .8. does not fit 2 outputs of 3 inputs");
}

}  // namespace
