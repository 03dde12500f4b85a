// Rules of the normalisation layers: per-channel multiplier, bias and shift
// for "BatchNorm", "BN" and "Scale"; lookup tables for "Normalize" and
// "LRN".
//
// Channel c's int8 multiplier and int16 bias are written over the float
// values of the same blobs, in channel order, after channel c's floats are
// read.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "math_util.hpp"
#include "qrn/math.hpp"
#include "quantize_rules.hpp"
#include "rule_util.hpp"

using qrn::Blob;
using qrn::Net;
using namespace rule_util;

namespace {

constexpr float kMaxOverflow = 0.03f;
constexpr int kTableSize = 4096;

float Pow2f(int s) {
  float two = 2.0f, out;
  qrn::qrn_powx(1, &two, static_cast<float>(s), &out);
  return out;
}

float BiasScale(int s, float thTop) { return static_cast<float>(pow2(s) * 128.0 / thTop); }

// The bias plus half of its shift's unit (rounding before the shift),
// unless that leaves the int16 range.
void RoundingAdd(int16_t* b, int s) {
  if (s < 1) return;
  const int64_t v = static_cast<int64_t>(*b) + (s - 1 < 62 ? int64_t{1} << (s - 1) : INT64_MAX / 2);
  if (v >= -32768 && v <= 32767) *b = static_cast<int16_t>(v);
}

// One channel: the shift of multiplier m, lowered while the bias overflows.
// Writes m and the bias; returns the final shift.
int QuantizeChannelLowering(float m, float bias, float thBottom, float thTop, int8_t* m_out, int16_t* b_out) {
  int s = calRightShiftNumUseCblas(m, thBottom, thTop, 8);
  while (true) {
    const float mscale = Pow2f(s) * thBottom / thTop;
    quantizeToInt8(&m, m_out, 1, mscale);
    const float ratio = quantizeToInt16(&bias, b_out, 1, BiasScale(s, thTop), 0);
    if (!(ratio > kMaxOverflow && s != 0)) return s;
    --s;
  }
}

bool RunsInFloat(Net<float>& net, size_t i) { return net.layers()[i]->layer_param().forward_with_float(); }

// Layer i is a "Scale" whose factors the 8-bit layer before it takes over:
// one with its factors in its parameter blobs (not in a second input) that
// does not run in float itself.
bool FoldableScale(Net<float>& net, size_t i) {
  return i < net.layers().size() && TypeOf(net, i) == "Scale" && net.bottom_vecs()[i].size() == 1 &&
         !RunsInFloat(net, i);
}

// The layer before Scale layer i took over its factors (a BatchNorm, or a
// Scale of one input, that runs in 8 bits); a layer that runs in float
// folds nothing.
bool FoldedIntoPrevious(Net<float>& net, size_t i) {
  if (i == 0 || RunsInFloat(net, i - 1)) return false;
  const std::string t = TypeOf(net, i - 1);
  return t == "BatchNorm" || (t == "Scale" && net.bottom_vecs()[i - 1].size() == 1);
}

void SetShifts(std::string* field, const std::vector<int>& shifts) {
  field->clear();
  for (int s : shifts) field->push_back(static_cast<char>(s));
}

void LogThresholds(Net<float>& net, size_t i, float thBottom, float thTop) {
  LOG(INFO) << "layer =" << Name(net, i);
  LOG(INFO) << " thBottom=" << thBottom << " thTop=" << thTop;
}

// Entry of a lookup table for value r: its shift rs = floor(log2(256 / r))
// (stored as a byte) and min(255, round(2^rs * r)), 2^rs taken from the
// stored byte read unsigned.
void TableEntry(double r, std::string* table, std::string* rshift) {
  const int rs = Saturate<int32_t>(std::floor(std::log2(256.0 / r)));
  const unsigned char byte = static_cast<unsigned char>(rs);
  rshift->push_back(static_cast<char>(byte));
  const double v = std::round(std::ldexp(1.0, byte) * r);
  table->push_back(static_cast<char>(static_cast<unsigned char>(v >= 255.0 ? 255 : Saturate<int32_t>(v))));
}

}  // namespace

void quantize_batchnorm_layer_int8(Net<float>& net, size_t i) {
  auto& layer = net.layers()[i];
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  Blob<float>& mean = ParamBlob(net, i, 0);
  Blob<float>& var = ParamBlob(net, i, 1);
  Blob<float>& factor = ParamBlob(net, i, 2);
  const bool multiplier_form = layer->stats_in_multiplier_form() != 0;
  const float f = factor.cpu_data()[0];
  const double sf = f == 0.0f ? 0.0 : 1.0 / f;
  const double eps = layer->layer_param().batch_norm_param().eps();
  const int NC = var.count();
  if (mean.count() != NC)
    LOG(FATAL) << "layer " << Name(net, i) << ": " << mean.count() << " means for " << NC << " variances";

  // A following Scale is folded in (its own rule then empties it when the
  // graph was not transformed).
  const float* gamma = nullptr;
  const float* beta = nullptr;
  if (FoldableScale(net, i + 1)) {
    auto& sb = net.layers()[i + 1]->blobs();
    if (sb.empty() || sb[0]->count() != NC)
      LOG(FATAL) << "layer " << Name(net, i + 1) << " does not hold one scale per channel of " << Name(net, i);
    gamma = sb[0]->cpu_data();
    if (sb.size() > 1) beta = sb[1]->cpu_data();
  }

  std::vector<int> shifts(static_cast<size_t>(NC));
  int s = -1;
  for (int c = 0; c < NC; ++c) {
    float a = var.cpu_data()[c];
    const float mu = mean.cpu_data()[c];
    if (!multiplier_form) {
      const float sum = static_cast<float>(a * sf + eps);
      float root;
      qrn::qrn_powx(1, &sum, 0.5f, &root);
      a = 1.0f / root;
    }
    if (gamma != nullptr) a = a * gamma[c];
    float b = multiplier_form ? a * mu : static_cast<float>(mu * -static_cast<double>(a) * sf);
    if (beta != nullptr) b = b + beta[c];
    int16_t* b_out = mean.mutable_cpu_int16_data() + c;
    s = QuantizeChannelLowering(a, b, thBottom, thTop, var.mutable_cpu_int8_data() + c, b_out);
    RoundingAdd(b_out, s);
    shifts[c] = s;
  }
  mean.setRshiftNum(s);
  mean.setBitWidth(qrn::bitWidth_16);
  var.setRshiftNum(s);
  var.setBitWidth(qrn::bitWidth_8);
  factor.setBitWidth(qrn::bitWidth_8);
  SetShifts(Param(net, i)->mutable_batch_norm_param()->mutable_rshift_per_layer(), shifts);
  LOG(INFO) << "layer =" << Name(net, i) << "  fscale = " << sf << "  eps=" << eps;
  LOG(INFO) << " thBottom=" << thBottom << " thTop=" << thTop;
}

void quantize_bn_layer_int8(Net<float>& net, size_t i) {
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const auto& bp = net.layers()[i]->layer_param().bn_param();
  Blob<float>& scale = ParamBlob(net, i, 0);
  Blob<float>& shift = ParamBlob(net, i, 1);
  const int NC = scale.count();
  if (shift.count() != NC)
    LOG(FATAL) << "layer " << Name(net, i) << ": " << shift.count() << " shifts for " << NC << " scales";
  float* sc = scale.mutable_cpu_data();
  float* sh = shift.mutable_cpu_data();
  if (bp.bn_mode() == qrn::BNParameter::OTHER) {
    Blob<float>& mean = ParamBlob(net, i, 2);
    Blob<float>& var = ParamBlob(net, i, 3);
    if (mean.count() < NC || var.count() < NC)
      LOG(FATAL) << "layer " << Name(net, i) << ": mean or variance shorter than " << NC << " channels";
    for (int c = 0; c < NC; ++c) {
      float t = static_cast<float>(var.cpu_data()[c] + static_cast<double>(bp.eps()));
      qrn::qrn_powx(1, &t, -0.5f, &t);
      sc[c] = sc[c] * t;
      sh[c] = sh[c] - mean.cpu_data()[c] * sc[c];
    }
  }
  std::vector<int> shifts(static_cast<size_t>(NC));
  for (int c = 0; c < NC; ++c) {
    const float m = sc[c], b = sh[c];
    int16_t* b_out = shift.mutable_cpu_int16_data() + c;
    shifts[c] = QuantizeChannelLowering(m, b, thBottom, thTop, scale.mutable_cpu_int8_data() + c, b_out);
    RoundingAdd(b_out, shifts[c]);
  }
  scale.setBitWidth(qrn::bitWidth_8);
  shift.setBitWidth(qrn::bitWidth_16);
  SetShifts(Param(net, i)->mutable_bn_param()->mutable_rshift_per_layer(), shifts);
  LogThresholds(net, i, thBottom, thTop);
}

void quantize_scale_layer_v2_int8(Net<float>& net, size_t i) {
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const bool bias_term = net.layers()[i]->layer_param().scale_param().bias_term();
  Blob<float>& scale = ParamBlob(net, i, 0);
  Blob<float>* bias = bias_term ? &ParamBlob(net, i, 1) : nullptr;
  const int NC = scale.count();
  if (bias != nullptr && bias->count() != NC)
    LOG(FATAL) << "layer " << Name(net, i) << ": " << bias->count() << " biases for " << NC << " scales";
  std::vector<int> shifts(static_cast<size_t>(NC));
  for (int c = 0; c < NC; ++c) {
    const float m = scale.cpu_data()[c];
    int s = calRightShiftNumUseCblas(m, thBottom, thTop, 8);
    if (bias != nullptr) {
      const float b = bias->cpu_data()[c];
      short tmp;
      float ratio = quantizeToInt16(&b, &tmp, 1, BiasScale(s, thTop), 0);
      while (ratio > kMaxOverflow && s > 0) {
        --s;
        ratio = quantizeToInt16(&b, &tmp, 1, BiasScale(s, thTop), 0);
      }
      int16_t* b_out = bias->mutable_cpu_int16_data() + c;
      quantizeToInt16(&b, b_out, 1, BiasScale(s, thTop), 0);
      RoundingAdd(b_out, s);
    }
    shifts[c] = s;
    quantizeToInt8(&m, scale.mutable_cpu_int8_data() + c, 1, static_cast<float>(thBottom * pow2(s) / thTop));
  }
  scale.setBitWidth(qrn::bitWidth_8);
  if (bias != nullptr) bias->setBitWidth(qrn::bitWidth_16);
  SetShifts(Param(net, i)->mutable_scale_param()->mutable_rshift_per_layer(), shifts);
  LogThresholds(net, i, thBottom, thTop);
}

void quantize_scale_layer_int8(Net<float>& net, size_t i) {
  auto& layer = net.layers()[i];
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const bool bt = layer->layer_param().scale_param().bias_term();
  Blob<float>& scale = ParamBlob(net, i, 0);
  const int NC = scale.count();

  // A following Scale is folded into this one.
  const bool N = FoldableScale(net, i + 1);
  bool nbt = false;
  const float* A2 = nullptr;
  const float* B2 = nullptr;
  if (N) {
    auto& next = net.layers()[i + 1];
    nbt = next->layer_param().scale_param().bias_term();
    Blob<float>& a2 = ParamBlob(net, i + 1, 0);
    if (a2.count() != NC)
      LOG(FATAL) << "layer " << Name(net, i + 1) << " has " << a2.count() << " scales, " << Name(net, i) << " " << NC;
    A2 = a2.cpu_data();
    if (nbt) {
      Blob<float>& b2 = ParamBlob(net, i + 1, 1);
      if (b2.count() != NC)
        LOG(FATAL) << "layer " << Name(net, i + 1) << " has " << b2.count() << " biases for " << NC << " channels";
      B2 = b2.cpu_data();
      if (!bt) {
        layer->blobs().resize(2);
        layer->blobs()[1] = std::make_shared<Blob<float>>(b2.shape());
        Param(net, i)->mutable_scale_param()->set_bias_term(true);
      }
    }
  }
  Blob<float>* bias = (bt || (N && nbt)) ? &ParamBlob(net, i, 1) : nullptr;
  if (bt && bias->count() != NC)
    LOG(FATAL) << "layer " << Name(net, i) << ": " << bias->count() << " biases for " << NC << " scales";

  std::vector<int> shifts(static_cast<size_t>(NC));
  int s = -1;
  for (int c = 0; c < NC; ++c) {
    s = calRightShiftNumUseCblas(scale.cpu_data()[c], thBottom, thTop, 8);
    shifts[c] = s;
    const float mscale = Pow2f(s) * thBottom / thTop;
    float* sc = scale.mutable_cpu_data();
    if (N) sc[c] = sc[c] * A2[c];
    const float m = sc[c];
    quantizeToInt8(&m, scale.mutable_cpu_int8_data() + c, 1, mscale);
    const float bscale = BiasScale(s, thTop);
    if (bt) {
      float* bv = bias->mutable_cpu_data();
      if (N && nbt) {
        bv[c] = A2[c] * bv[c] + B2[c];
      } else if (N) {
        bv[c] = A2[c] * bv[c];
      }
      const float b = bv[c];
      quantizeToInt16(&b, bias->mutable_cpu_int16_data() + c, 1, bscale, 0);
      if (s >= 1) RoundingAdd(bias->mutable_cpu_int16_data() + c, s);
    } else if (N && nbt) {
      quantizeToInt16(&B2[c], bias->mutable_cpu_int16_data() + c, 1, bscale, 0);
    }
  }
  scale.setRshiftNum(s);
  scale.setBitWidth(qrn::bitWidth_8);
  if (bias != nullptr) {
    bias->setRshiftNum(s);
    bias->setBitWidth(qrn::bitWidth_16);
  }
  // A preceding BatchNorm or Scale already carries this layer's factors.
  if (FoldedIntoPrevious(net, i)) {
    for (int c = 0; c < NC; ++c) {
      scale.mutable_cpu_int8_data()[c] = 0;
      if (bt) bias->mutable_cpu_int16_data()[c] = 0;
      shifts[c] = 0;
    }
  }
  SetShifts(Param(net, i)->mutable_scale_param()->mutable_rshift_per_layer(), shifts);
  LogThresholds(net, i, thBottom, thTop);
}

void quantize_normalize_layer_int8(Net<float>& net, size_t i) {
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  Blob<float>& scale = ParamBlob(net, i, 0);
  float* v = scale.mutable_cpu_data();
  for (int k = 0; k < scale.count(); ++k) v[k] = static_cast<float>(v[k] * 128.0 / thTop);
  scale.setBitWidth(qrn::bitWidth_32);

  const double q = 128.0 / thBottom;
  const double fmin = 212.151 * q * q;
  const double fmax = 2103060.0 * q * q;
  const double step = (fmax - fmin) / kTableSize;
  const int step_q = Saturate<int32_t>(std::ceil(std::log2(step)));
  std::string table, rshift;
  for (int k = 0; k < kTableSize; ++k) {
    // k * 2^step_q: exact in double, with no 32-bit overflow for large steps.
    const double r = 1.0 / std::sqrt(std::ldexp(static_cast<double>(k), step_q) + fmin);
    TableEntry(r, &table, &rshift);
  }

  // A shared scale (one value) serves every channel.
  const int channels = Top(net, i)->channels();
  if (scale.count() != 1 && scale.count() < channels)
    LOG(FATAL) << "layer " << Name(net, i) << " has " << scale.count() << " scale values for " << channels
               << " channels";
  std::string scale_int8;
  for (int c = 0; c < channels; ++c)
    scale_int8.push_back(static_cast<char>(Saturate<int32_t>(std::trunc(v[scale.count() == 1 ? 0 : c])) & 0xFF));

  qrn::NormalizeParameter* np = Param(net, i)->mutable_normalize_param();
  np->clear_lut_table();
  np->clear_lut_table_rshift();
  np->clear_scale_int8();
  np->set_lut_table(table);
  np->set_lut_table_rshift(rshift);
  np->set_fmin_m(Saturate<int32_t>(std::round(fmin)));
  np->set_step_q(step_q);
  np->set_scale_int8(scale_int8);
  LogThresholds(net, i, thBottom, thTop);
}

void quantize_lrn_layer_int8(Net<float>& net, size_t i) {
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const auto& lp = net.layers()[i]->layer_param().lrn_param();
  const int n = static_cast<int>(lp.local_size());
  const int step_q = Saturate<int32_t>(std::ceil(std::log2(std::ldexp(static_cast<double>(n), 14) / 4096.0)));
  const float unit = static_cast<float>(std::ldexp(1.0, step_q));
  const float alpha_n = lp.alpha() / static_cast<float>(n);
  const float th2 = thBottom * thBottom;
  const float root = std::sqrt(128.0f / thBottom);
  std::string table, rshift;
  for (int k = 0; k < kTableSize; ++k) {
    const float x = unit * (alpha_n * static_cast<float>(k));
    double v = std::pow(static_cast<double>(x) + (16384.0 / th2) * lp.k(), -static_cast<double>(lp.beta()));
    v = static_cast<double>(root) * v * 128.0 / thTop;
    TableEntry(v, &table, &rshift);
  }
  qrn::LRNParameter* mp = Param(net, i)->mutable_lrn_param();
  mp->clear_lut_table();
  mp->clear_lut_table_rshift();
  mp->set_lut_table(table);
  mp->set_lut_table_rshift(rshift);
  mp->set_step_q(step_q);
  LogThresholds(net, i, thBottom, thTop);
}
