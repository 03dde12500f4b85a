// Float outputs, and the rules of layers that need no more than a flag, one
// converted value or one constant blob.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "graph_query.hpp"
#include "math_util.hpp"
#include "qrn/math.hpp"
#include "quantize_rules.hpp"
#include "rule_util.hpp"

using qrn::Blob;
using qrn::Net;
using namespace rule_util;

namespace {

const std::set<std::string> data_layers = {"Data", "ImageData", "DummyData", "AnnotatedData", "HDF5Data"};

std::vector<int> Previous(Net<float>& net, size_t i) {
  std::vector<int> out;
  get_previous_layers(net, static_cast<int>(i), out);
  return out;
}

std::vector<int> Next(Net<float>& net, size_t i) {
  std::vector<int> out;
  get_next_layers(net, static_cast<int>(i), out);
  return out;
}

// Blob 0 of the layer to int8 with scale 128 / thTop; its width and that of
// the output become 8 bits.
void ConstantBlobToInt8(Net<float>& net, size_t i) {
  Blob<float>& b = ParamBlob(net, i, 0);
  Blob<float>* top = Top(net, i);
  b.setBitWidth(qrn::bitWidth_8);
  top->setBitWidth(qrn::bitWidth_8);
  const float scale = 128.0f / ThTop(net, i);
  quantizeToInt8(b.cpu_data(), b.mutable_cpu_int8_data(), b.count(), scale);
}

}  // namespace

void set_output_is_float(Net<float>& net) {
  const size_t L = net.layers().size();
  for (size_t i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    qrn::LayerParameter* p = Param(net, i);
    const std::vector<int> P = Previous(net, i);
    if (t == "Concat") {
      if (i + 1 < L && TypeOf(net, i + 1) == "Output") p->set_output_is_float(true);
      const size_t num_priorbox_layer =
          std::count_if(P.begin(), P.end(), [&](int q) { return TypeOf(net, q) == "PriorBox"; });
      if (num_priorbox_layer == P.size()) {
        p->set_output_is_float(true);
      } else {
        CHECK(num_priorbox_layer == 0) << "num_priorbox_layer == 0 (layer " << Name(net, i) << ")";
      }
    } else if (t == "Softmax" || t == "SoftmaxWithLoss" || t == "Accuracy" || t == "Sigmoid" ||
               t == "DetectionOutput" || t == "Yolov3DetectionOutput" || t == "Yolo" ||
               t == "RetinaDetectionOutput" || t == "PriorBox") {
      p->set_output_is_float(true);
    } else if (t == "ShapeAssign" || t == "Reshape" || t == "Output" || t == "Split" || t == "Flatten") {
      p->set_output_is_float(!P.empty() && net.layers()[P[0]]->layer_param().output_is_float());
    }
  }
}

void quantize_float_layer_int8(Net<float>& net, size_t i) {
  std::vector<int> N;
  get_next_layers_no_split(net, static_cast<int>(i), N);
  bool all = true, any = false;
  for (int j : N) {
    const bool f = net.layers()[j]->layer_param().forward_with_float() || TypeOf(net, j) == "ShapeRef";
    all = all && f;
    any = any || f;
  }
  bool out = all;
  if (any && data_layers.count(TypeOf(net, i))) out = true;
  Param(net, i)->set_output_is_float(out);
  const std::vector<int> direct = Next(net, i);
  if (direct.size() == 1 && TypeOf(net, direct[0]) == "Split") {
    Param(net, direct[0])->set_output_is_float(out);
    Param(net, direct[0])->set_forward_with_float(out);
  }
}

void quantize_data_layer_int8(Net<float>& net, size_t i) { Param(net, i)->set_followedbyrelu(true); }

void quantize_cpu_layer_int8(Net<float>& net, size_t i) {
  const auto& flags = net.layers()[i]->layer_param().cpu_param().is_net_output();
  Param(net, i)->set_output_is_float(std::all_of(flags.begin(), flags.end(), [](bool b) { return b; }));
}

void quantize_shapelike_layer_int8(Net<float>& net, size_t i) {
  const std::vector<int> next = Next(net, i);
  if (next.size() == 1 && TypeOf(net, next[0]) == "ReLU" &&
      static_cast<double>(net.layers()[next[0]]->layer_param().relu_param().negative_slope()) <= 0.0001)
    LOG(INFO) << "layer type:" << TypeOf(net, i) << " name:" << Name(net, i) << " followed by relu";
}

void quantize_detectionOutput_rpn_layer_int8(Net<float>& net, size_t i) {
  qrn::LayerParameter* p = Param(net, i);
  p->clear_th_input();
  p->clear_th_output();
  p->clear_mul_branch();
  p->clear_rshift_branch();
  for (size_t j = 0; j < net.bottom_vecs()[i].size(); ++j) {
    p->add_th_input(ThBottom(net, i, j));
    p->add_mul_branch(1);
    p->add_rshift_branch(0);
  }
}

void quantize_priorbox_layer_int8(Net<float>& net, size_t i) {
  if (net.layers()[i]->blobs().empty()) return;
  Blob<float>& b = ParamBlob(net, i, 0);
  Blob<float>* top = Top(net, i);
  // The int8 copy must fit in the output's storage (4 bytes per value).
  if (static_cast<size_t>(b.count()) > 4 * static_cast<size_t>(top->count()))
    LOG(FATAL) << "layer " << Name(net, i) << ": " << b.count() << " prior values do not fit its output of "
               << top->count() << " values";
  ConstantBlobToInt8(net, i);
  qrn::qrn_copy<char>(b.count(), reinterpret_cast<const char*>(b.cpu_int8_data()),
                      reinterpret_cast<char*>(top->mutable_cpu_int8_data()));
}

void quantize_tile_layer_int8(Net<float>& net, size_t i) {
  if (net.layers()[i]->blobs().size() == 1) ConstantBlobToInt8(net, i);
}

void quantize_pad_layer_int8(Net<float>& net, size_t i) {
  qrn::PadParameter* p = Param(net, i)->mutable_pad_param();
  // Truncated toward zero; a threshold of 0 saturates instead of overflowing.
  p->set_pad_value_fix8b(Saturate<int32_t>(std::trunc(p->pad_value() * 127.5 / ThTop(net, i))));
}

void quantize_constantFill_layer_int8(Net<float>& net, size_t i) {
  qrn::ConstantFillParameter* p = Param(net, i)->mutable_constant_fill_param();
  const float v = static_cast<float>(p->value());
  const float scale = static_cast<float>(128.0 / ThTop(net, i));
  char q;
  quantizeToInt8(&v, &q, 1, scale);
  p->set_value_fix8b(static_cast<signed char>(q));
}
