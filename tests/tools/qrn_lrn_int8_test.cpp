// The framework's 8-bit LRN and Normalize with the calibration's lookup
// tables: against an integer reference of the table rule (an entry from the
// sum of squares and step_q, y = x * lut (* scale) >> rshift rounding half
// up, saturated), and, with the tables the calibration computes, close to
// the float layer.
#include <cmath>
#include <cstdio>

#include "quantize_rules.hpp"
#include "test_util.hpp"

using qrn::Blob;
using tools_test::MakeNet;

namespace {

struct Int8Mode {
  Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::INT8); }
  ~Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::FP32); }
};

const char* kNet = "name: 't' input: 'data' input_shape { dim: 2 dim: 5 dim: 1 dim: 3 } "
                   "layer { name: 'lrn' type: 'LRN' bottom: 'data' top: 'y' lrn_param { local_size: 3 alpha: 0.5 "
                   "beta: 0.75 k: 2 } }";

void SetBytes(Blob<float>* blob, const std::vector<int32_t>& v, bool is_signed) {
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

// x (N, C, HW) in 8 bits, window of 3 channels.
std::vector<int32_t> RefLrn8(const std::vector<int32_t>& x, int N, int C, int HW, const std::string& lut,
                             const std::string& rs, int step_q, bool is_signed) {
  std::vector<int32_t> y(x.size());
  for (int b = 0; b < N; ++b)
    for (int c = 0; c < C; ++c)
      for (int i = 0; i < HW; ++i) {
        long long sum = 0;
        for (int cc = c - 1; cc <= c + 1; ++cc)
          if (cc >= 0 && cc < C) sum += 1LL * x[(b * C + cc) * HW + i] * x[(b * C + cc) * HW + i];
        const long long e = std::min(4095LL, sum / (1LL << step_q));
        const long long v = 1LL * x[(b * C + c) * HW + i] * static_cast<uint8_t>(lut[e]);
        const int s = std::min(40, static_cast<int>(static_cast<uint8_t>(rs[e])));
        const long long q = static_cast<long long>(std::floor(static_cast<long double>(v) / std::ldexp(1.0L, s) + 0.5L));
        const long long lo = is_signed ? -128 : 0, hi = is_signed ? 127 : 255;
        y[(b * C + c) * HW + i] = static_cast<int32_t>(std::min(hi, std::max(lo, q)));
      }
  return y;
}

TEST(Lrn8, AgainstTheTableRule) {
  // Tables with ties (odd products at shift 1), saturating factors and
  // shifts 0 and 31; the inputs reach the last entry.
  std::string lut(4096, '\0'), rs(4096, '\0');
  for (int i = 0; i < 4096; ++i) {
    lut[i] = static_cast<char>(i % 7 == 0 ? 255 : 3 + (i * 37) % 250);
    rs[i] = static_cast<char>(i % 5 == 0 ? 0 : i % 5 == 1 ? 31 : i % 5 == 2 ? 1 : 7);
  }
  std::vector<int32_t> x(30);
  for (int i = 0; i < 30; ++i) x[i] = (i * 53) % 256 - 128;
  x[7] = -128, x[8] = 127;
  for (int step_q : {0, 3}) {
    for (bool sgn : {true, false}) {
      SCOPED_TRACE(std::to_string(step_q) + (sgn ? " signed" : " unsigned"));
      auto net = MakeNet(kNet);
      auto* p = net->layers()[0]->mutable_layer_param()->mutable_lrn_param();
      p->set_lut_table(lut);
      p->set_lut_table_rshift(rs);
      p->set_step_q(step_q);
      std::vector<int32_t> in = x;
      if (!sgn)
        for (auto& v : in) v = static_cast<uint8_t>(v);
      SetBytes(net->input_blobs()[0], in, sgn);
      Int8Mode mode;
      net->Forward();
      EXPECT_EQ(Bytes(*net->blob_by_name("y")), RefLrn8(in, 2, 5, 3, lut, rs, step_q, sgn));
    }
  }
}

// With the calibration's tables (thresholds 4 in and 2 out) the 8-bit layer
// follows the float one within a few steps of the output's scale.
TEST(Lrn8, CalibratedTablesFollowTheFloatLayer) {
  auto net = MakeNet(kNet);
  const float th_in = 4.0f, th_out = 2.0f;
  net->blob_by_name("data")->setThresHold(th_in);
  net->blob_by_name("y")->setThresHold(th_out);
  quantize_lrn_layer_int8(*net, 0);
  std::vector<float> xf(30);
  std::vector<int32_t> x8(30);
  for (int i = 0; i < 30; ++i) {
    x8[i] = (i * 41) % 255 - 127;
    xf[i] = x8[i] * th_in / 128.0f;
  }
  std::copy(xf.begin(), xf.end(), net->input_blobs()[0]->mutable_cpu_data());
  net->Forward();
  const std::vector<float> yf(net->blob_by_name("y")->cpu_data(), net->blob_by_name("y")->cpu_data() + 30);
  SetBytes(net->input_blobs()[0], x8, true);
  Int8Mode mode;
  net->Forward();
  const std::vector<int32_t> y8 = Bytes(*net->blob_by_name("y"));
  for (int i = 0; i < 30; ++i) EXPECT_NEAR(y8[i], yf[i] * 128.0f / th_out, 3.0) << i;
}

const char* kNormNet = "name: 't' input: 'data' input_shape { dim: 2 dim: 8 dim: 1 dim: 3 } "
                       "layer { name: 'norm' type: 'Normalize' bottom: 'data' top: 'y' normalize_param { "
                       "across_spatial: %s channel_shared: false } "
                       "blobs { shape { dim: 8 } data: 2 data: 1.5 data: 0.5 data: 1 data: 2 data: 0.25 data: 1 "
                       "data: 1.75 } }";

std::string NormNet(bool across) {
  char text[512];
  std::snprintf(text, sizeof text, kNormNet, across ? "true" : "false");
  return text;
}

// x (N, C, D); across: one sum an item, else one a position.
std::vector<int32_t> RefNorm8(const std::vector<int32_t>& x, int N, int C, int D, bool across,
                              const qrn::NormalizeParameter& p) {
  std::vector<int32_t> y(x.size());
  for (int n = 0; n < N; ++n)
    for (int c = 0; c < C; ++c)
      for (int d = 0; d < D; ++d) {
        long long sum = 0;
        for (int cc = 0; cc < C; ++cc)
          for (int dd = 0; dd < D; ++dd)
            if (across || dd == d) sum += 1LL * x[(n * C + cc) * D + dd] * x[(n * C + cc) * D + dd];
        long long e = static_cast<long long>(std::floor((sum - p.fmin_m()) / std::ldexp(1.0L, p.step_q())));
        e = std::max(0LL, std::min(4095LL, e));
        const long long v = 1LL * x[(n * C + c) * D + d] * static_cast<uint8_t>(p.lut_table()[e]) *
                            static_cast<uint8_t>(p.scale_int8()[c]);
        const int s = std::min(40, static_cast<int>(static_cast<uint8_t>(p.lut_table_rshift()[e])));
        const long long q = static_cast<long long>(std::floor(static_cast<long double>(v) / std::ldexp(1.0L, s) + 0.5L));
        y[(n * C + c) * D + d] = static_cast<int32_t>(std::min(127LL, std::max(-128LL, q)));
      }
  return y;
}

// The tables cover squared norms from 212 to 2.1e6 (in the input's float
// units): inputs of threshold 64 over 8 channels land inside; an entry
// spans a few per cent of the norm there.
TEST(Normalize8, AgainstTheTableRuleAndTheFloatLayer) {
  const float th_in = 64.0f, th_out = 2.0f;
  for (bool across : {false, true}) {
    SCOPED_TRACE(across ? "across spatial" : "per position");
    auto net = MakeNet(NormNet(across));
    net->blob_by_name("data")->setThresHold(th_in);
    net->blob_by_name("y")->setThresHold(th_out);
    net->layers()[0]->mutable_layer_param()->set_th_top(th_out);
    quantize_normalize_layer_int8(*net, 0);
    std::vector<float> xf(48);
    std::vector<int32_t> x8(48);
    for (int i = 0; i < 48; ++i) {
      x8[i] = (i * 43) % 255 - 127;
      xf[i] = x8[i] * th_in / 128.0f;
    }
    x8[5] = 0, xf[5] = 0.0f;
    std::copy(xf.begin(), xf.end(), net->input_blobs()[0]->mutable_cpu_data());
    net->Forward();
    const std::vector<float> yf(net->blob_by_name("y")->cpu_data(), net->blob_by_name("y")->cpu_data() + 48);
    SetBytes(net->input_blobs()[0], x8, true);
    Int8Mode mode;
    net->Forward();
    const std::vector<int32_t> y8 = Bytes(*net->blob_by_name("y"));
    EXPECT_EQ(y8, RefNorm8(x8, 2, 8, 3, across, net->layers()[0]->layer_param().normalize_param()));
    for (int i = 0; i < 48; ++i) {
      const double want = std::max(-128.0, std::min(127.0, yf[i] * 128.0 / th_out));
      EXPECT_NEAR(y8[i], want, 3.0 + 0.06 * std::fabs(want)) << i;
    }
  }
}

}  // namespace
