// Rules of the layers that carry weights: convolution (per layer, per
// channel, Winograd) and deconvolution, inner product and PReLU.
//
// Weights and biases are converted in place: the 8-bit (16-bit) value i
// lands in bytes that only values before i, already read, occupied.
#include <algorithm>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "math_util.hpp"
#include "quantize_rules.hpp"
#include "rule_util.hpp"

using qrn::Blob;
using qrn::Net;
using namespace rule_util;

namespace {

constexpr float kMaxOverflow = 0.03f;

float BiasScale(int s, float thTop) { return static_cast<float>(pow2(s) * 128.0 / thTop); }
float WeightScale(int s, float thBottom, float thTop) {
  return static_cast<float>(thBottom * pow2(s) / thTop);
}

// The shared shift of weights and bias: lowered while more than 3 % of the
// bias overflows int16.  Writes the int16 bias.  Returns the shift and the
// number of times it was lowered.
int QuantizeBias(Blob<float>& bias, int s, float thTop, int* lowered) {
  const int nb = bias.count();
  std::vector<short> tmp(static_cast<size_t>(nb));
  float scale = BiasScale(s, thTop);
  float ratio = quantizeToInt16(bias.cpu_data(), tmp.data(), nb, scale, 0);
  while (ratio > kMaxOverflow && s > 0) {
    --s;
    ++*lowered;
    scale = BiasScale(s, thTop);
    ratio = quantizeToInt16(bias.cpu_data(), tmp.data(), nb, scale, 0);
  }
  bias.setRshiftNum(s);
  bias.setBitWidth(qrn::bitWidth_16);
  quantizeToInt16(bias.cpu_data(), bias.mutable_cpu_int16_data(), nb, scale, 0);
  return s;
}

// Steps of the weighted rule after the shift search: bias, weights, logs.
// Returns the final shift.
int QuantizeWeightsAndBias(Net<float>& net, size_t i, float fmax, int s, float thBottom, float thTop,
                           bool log_scale, int* lowered) {
  auto& blobs = net.layers()[i]->blobs();
  Blob<float>& W = *blobs[0];
  if (blobs.size() == 2) s = QuantizeBias(*blobs[1], s, thTop, lowered);
  W.setRshiftNum(s);
  W.setBitWidth(qrn::bitWidth_8);
  if (s == 0) {
    LOG(INFO) << "layer =" << Name(net, i) << " right shift = 0";
    LOG(INFO) << "fmax = " << fmax << " thBottom=" << thBottom << " thTop=" << thTop;
  }
  const float scale = WeightScale(s, thBottom, thTop);
  quantizeToInt8(W.cpu_data(), W.mutable_cpu_int8_data(), W.count(), scale);
  if (log_scale) {
    LOG(INFO) << "layer =" << Name(net, i) << " right shift = " << s;
    LOG(INFO) << "fmax = " << fmax << " thBottom=" << thBottom << " thTop=" << thTop << "  scale=" << scale;
  }
  return s;
}

void quantizeLayerMaybeWithBias(Net<float>& net, size_t i) {
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  Blob<float>& W = ParamBlob(net, i, 0);
  const float fmax = findMaxabs(W.cpu_data(), W.count());
  const int s = std::max(0, calRightShiftNum(fmax, thBottom, thTop, 8));
  int lowered = 0;
  QuantizeWeightsAndBias(net, i, fmax, s, thBottom, thTop, true, &lowered);
}

bool AllOnes(const google::protobuf::RepeatedField<uint32_t>& values) {
  return std::all_of(values.begin(), values.end(), [](uint32_t v) { return v == 1; });
}

}  // namespace

bool allBlobDataArePositive(std::shared_ptr<Blob<float>> blob, bool as_int16) {
  for (int i = 0; i < blob->count(); ++i) {
    if (as_int16 ? blob->cpu_int16_data()[i] < 0 : blob->cpu_data()[i] < 0.0f) return false;
  }
  return true;
}

void quantize_convolution_layer_int8(Net<float>& net, size_t i, bool per_channel) {
  const auto& cp = net.layers()[i]->layer_param().convolution_param();
  auto& blobs = net.layers()[i]->blobs();
  Blob<float>& W = ParamBlob(net, i, 0);
  Blob<float>* bottom = Bottom(net, i, 0);
  Blob<float>* top = Top(net, i);
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const int group = static_cast<int>(cp.group());
  const bool has_bias = blobs.size() == 2;

  const bool depthwise = cp.has_group() && bottom->shape(1) == group && top->shape(1) == group && group >= 2;
  const bool strides_one = (cp.has_stride_h() || cp.has_stride_w())
                               ? cp.stride_h() == 1 && cp.stride_w() == 1
                               : AllOnes(cp.stride());
  const bool winograd = W.num_axes() == 4 && W.shape(2) == 3 && W.shape(3) == 3 && AllOnes(cp.dilation()) &&
                        strides_one && !depthwise && top->num_axes() == 4 && top->shape(3) > 3 &&
                        top->shape(2) > 3 &&
                        (group <= 1 || (static_cast<unsigned>(top->shape(1)) / static_cast<unsigned>(group)) % 64 == 0);
  std::vector<float> weights_copy, bias_copy;
  if (winograd) {
    W.set_winograd_existence(1);
    weights_copy.assign(W.cpu_data(), W.cpu_data() + W.count());
    if (has_bias) bias_copy.assign(blobs[1]->cpu_data(), blobs[1]->cpu_data() + blobs[1]->count());
  }

  const float fmax = findMaxabs(W.cpu_data(), W.count());
  int s = std::max(0, calRightShiftNum(fmax, thBottom, thTop, 8));

  if (!per_channel || depthwise) {
    int lowered = 0;
    s = QuantizeWeightsAndBias(net, i, fmax, s, thBottom, thTop, false, &lowered);
    const int counter = 2 - lowered;
    if (counter <= 0) LOG(INFO) << "DEBUG::rightShiftDec:" << counter;
  } else {
    const int OC = W.num();
    const int K = OC > 0 ? W.count() / OC : 0;
    std::vector<int> shifts(static_cast<size_t>(OC));
    for (int c = 0; c < OC; ++c) {
      const float m = findMaxabs(W.cpu_data() + static_cast<size_t>(c) * K, K);
      shifts[c] = static_cast<signed char>(std::max(0, calRightShiftNum(m, thBottom, thTop, 8)));
    }
    if (has_bias) {
      Blob<float>& B = *blobs[1];
      if (B.count() != OC)
        LOG(FATAL) << "layer " << Name(net, i) << " has " << B.count() << " bias values for " << OC
                   << " output channels";
      B.setRshiftNum(s);
      B.setBitWidth(qrn::bitWidth_16);
      for (int c = 0; c < OC; ++c) {
        const float value = B.cpu_data()[c];
        short tmp;
        float ratio = quantizeToInt16(&value, &tmp, 1, BiasScale(shifts[c], thTop), 0);
        while (ratio > kMaxOverflow && shifts[c] > 0) {
          --shifts[c];
          ratio = quantizeToInt16(&value, &tmp, 1, BiasScale(shifts[c], thTop), 0);
        }
        quantizeToInt16(&value, B.mutable_cpu_int16_data() + c, 1, BiasScale(shifts[c], thTop), 0);
      }
    }
    std::string bytes;
    for (int v : shifts) bytes.push_back(static_cast<char>(v));
    auto* mp = Param(net, i)->mutable_convolution_param();
    mp->clear_rshift_per_layer();
    mp->set_rshift_per_layer(bytes);
    mp->set_per_channel_en(true);
    W.setRshiftNum(s);
    W.setBitWidth(qrn::bitWidth_8);
    for (int c = 0; c < OC; ++c) {
      const size_t off = static_cast<size_t>(c) * K;
      quantizeToInt8(W.cpu_data() + off, W.mutable_cpu_int8_data() + off, K,
                     WeightScale(shifts[c], thBottom, thTop));
    }
  }
  LOG(INFO) << "layer =" << Name(net, i) << " right shift = " << s;

  if (winograd) {
    const int count = static_cast<int>(weights_copy.size());
    int ws = std::max(0, calWinogradRightShiftNum(weights_copy.data(), count, thBottom, thTop, 8));
    if (has_bias) {
      Blob<float>& B = *blobs[1];
      const int nb = static_cast<int>(bias_copy.size());
      short* dst = B.mutable_cpu_int16_data() + nb;
      float ratio = quantizeToInt16(bias_copy.data(), dst, nb, BiasScale(ws, thTop), 0);
      while (ratio > kMaxOverflow && ws != 0) {
        --ws;
        ratio = quantizeToInt16(bias_copy.data(), dst, nb, BiasScale(ws, thTop), 0);
      }
      B.setWingradRshiftNum(ws);
      B.setBitWidth(qrn::bitWidth_16);
      B.set_winograd_existence(1);
    }
    quantizeToWinogradInt8(weights_copy.data(), W.mutable_cpu_int8_data() + count, count, thBottom, thTop, ws);
    W.setWingradRshiftNum(ws);
    LOG(INFO) << "winograd weight converted"
              << "  winograd right shift = " << W.rWinogradshiftNum();
  }
}

void quantize_convlike_layer_int8(Net<float>& net, size_t i) {
  quantizeLayerMaybeWithBias(net, i);
  auto& blobs = net.layers()[i]->blobs();
  for (size_t k = 0; k < blobs.size(); ++k) {
    if (allBlobDataArePositive(blobs[k], k != 0)) {
      blobs[k]->set_fixed_sign_type(qrn::BlobProto_FixedSignType_UNSIGNED);
      LOG(INFO) << "layer name=" << Name(net, i) << " " << k << " th blob is unsigned";
    }
  }
}
