#include "calibration.hpp"

#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include <glog/logging.h>

#include "dist_analysis.hpp"
#include "float_marking.hpp"
#include "graph_query.hpp"
#include "graph_transform.hpp"
#include "qrn/common.hpp"
#include "quantize_rules.hpp"

using qrn::LayerParameter;
using qrn::Net;

namespace {

using Rule = void (*)(Net<float>&, size_t);

bool OneOf(const std::string& type, const std::set<std::string>& set) { return set.count(type) != 0; }

// The rule of layer i by its type; false when the type has none.
bool RunRule(Net<float>& net, size_t i, const QuantParam& qp) {
  static const std::set<std::string> data = {"Data", "ImageData", "DummyData", "AnnotatedData", "HDF5Data"};
  static const std::set<std::string> detection = {"DetectionOutput", "RPN", "RetinaDetectionOutput"};
  static const std::set<std::string> shapelike = {
      "ShapeRef",     "ShapePack",    "ShapeSlice",  "ShapeOp",          "Upsample",     "UpsampleCopy",
      "ReduceFull",   "Squeeze",      "StridedSlice", "Transpose",       "SpaceToBatch", "BatchToSpace",
      "Active",       "Interp",       "ShapeReorder", "ShapeExpandNDims", "ShapeReshape", "ShapeAssign",
      "ShapeReverse", "ShapeTile",    "ShapeSplit",  "SliceLike",        "ShapeConst"};
  static const std::vector<std::pair<std::string, Rule>> by_type = {
      {"Pad", quantize_pad_layer_int8},
      {"BatchNorm", quantize_batchnorm_layer_int8},
      {"Bias", quantize_bias_layer_int8},
      {"Concat", quantize_concat_layer_int8},
      {"Eltwise", quantize_eltwise_layer_int8},
      {"BroadcastBinary", quantize_broadcastBinary_layer_int8},
      {"ConstantFill", quantize_constantFill_layer_int8},
      {"ConstBinary", quantize_constBinary_layer_int8},
      {"Select", quantize_select_layer_int8},
      {"EltwiseBinary", quantize_eltwiseBinary_layer_int8},
      {"Normalize", quantize_normalize_layer_int8},
      {"LRN", quantize_lrn_layer_int8},
      {"ReLU", quantize_relu_layer_int8},
      {"PriorBox", quantize_priorbox_layer_int8},
      {"Tile", quantize_tile_layer_int8},
      {"Coeff2Neuron", quantize_tile_layer_int8},
      {"BN", quantize_bn_layer_int8},
      {"CPU", quantize_cpu_layer_int8},
      {"Deconvolution", quantize_convlike_layer_int8},
      {"InnerProduct", quantize_convlike_layer_int8},
      {"PReLU", quantize_convlike_layer_int8},
  };
  const std::string type = net.layers()[i]->type();
  if (qp.fuse_preprocess && OneOf(type, data)) {
    quantize_data_layer_int8(net, i);
  } else if (type == "Scale") {
    (qp.graph_transform ? quantize_scale_layer_v2_int8 : quantize_scale_layer_int8)(net, i);
  } else if (OneOf(type, detection)) {
    quantize_detectionOutput_rpn_layer_int8(net, i);
  } else if (OneOf(type, shapelike)) {
    quantize_shapelike_layer_int8(net, i);
  } else if (type == "ShapeCast") {
    LOG(INFO) << "shape like quantize ShapeCast, set input is float true";
    quantize_shapelike_layer_int8(net, i);
    LayerParameter* p = net.layers()[i]->mutable_layer_param();
    p->add_input_tensor_is_float(true);
    p->set_output_is_float(true);
  } else if (type == "Convolution") {
    quantize_convolution_layer_int8(net, i, qp.per_channel);
  } else {
    for (const auto& entry : by_type) {
      if (entry.first == type) {
        entry.second(net, i);
        return true;
      }
    }
    return false;
  }
  return true;
}

// Threshold of a blob narrowed to float; the quotients by 128 in double.
float Th(const qrn::Blob<float>* b) { return static_cast<float>(b->thresHold()); }
float Per128(float th) { return static_cast<float>(static_cast<double>(th) / 128); }

void SetCommonFields(Net<float>& net, size_t i) {
  LayerParameter* p = net.layers()[i]->mutable_layer_param();
  const auto& bottoms = net.bottom_vecs()[i];
  const auto& tops = net.top_vecs()[i];
  const float th_bottom = bottoms.empty() ? 0.0f : Th(bottoms[0]);
  p->set_th_bottom(th_bottom);
  p->set_scaleconvertbacktofloat_input(Per128(th_bottom));
  LOG(INFO) << "set_scaleconvertbacktofloat_input =" << p->scaleconvertbacktofloat_input();
  const float th_top = Th(tops[0]);
  p->set_th_top(th_top);
  p->set_scaleconvertbacktofloat_output(Per128(th_top));
  LOG(INFO) << "    set_scaleconvertbacktofloat_output =" << p->scaleconvertbacktofloat_output();
  LOG(INFO) << " output_is_float = " << p->output_is_float();
  if (bottoms.empty()) {
    p->add_scaleconvertbacktofloat_input_mul(1.0f);
    LOG(INFO) << "intput 0: set_scaleconvertbacktofloat_input_mul =" << 1;
  }
  for (size_t k = 0; k < bottoms.size(); ++k) {
    p->add_scaleconvertbacktofloat_input_mul(Per128(Th(bottoms[k])));
    LOG(INFO) << "intput " << k << ": set_scaleconvertbacktofloat_input_mul =" << Per128(Th(bottoms[k]));
  }
  for (size_t k = 0; k < tops.size(); ++k) {
    p->add_scaleconvertbacktofloat_output_mul(Per128(Th(tops[k])));
    LOG(INFO) << "output " << k << " set_scaleconvertbacktofloat_output_mul =" << Per128(Th(tops[k]));
  }
  std::vector<int> producers;
  get_previous_layers(net, static_cast<int>(i), producers);
  const std::string type = net.layers()[i]->type();
  const bool second_is_float = type == "ShapeAssign" || type == "Accuracy" || type == "SoftmaxWithLoss" ||
                               type == "TopK" || (type == "BroadcastBinary" && bottoms.size() != 2);
  for (size_t k = 0; k < producers.size(); ++k) {
    const bool f = (k == 1 && second_is_float) || net.layers()[producers[k]]->layer_param().output_is_float();
    p->add_input_tensor_is_float(f);
    LOG(INFO) << "intput " << k << " is float =" << f;
  }
  LOG(INFO) << "isUseMaxAsTh " << tops[0]->isUseMaxAsThreshold() << "\n\n";
}

}  // namespace

void strReplace(std::string& nameTmp) {
  for (char& c : nameTmp)
    if (c == '/') c = '_';
}

int get_layer_id_by_name(Net<float>& net, std::string layer_name) {
  for (size_t i = 0; i < net.layers().size(); ++i)
    if (net.layers()[i]->layer_param().name() == layer_name) return static_cast<int>(i);
  return -1;
}

void quantizeEachLayer_int8(Net<float>& net, QuantParam quantParam) {
  std::string fpfwd_inputs = quantParam.fpfwd_inputs;
  std::string fpfwd_outputs = quantParam.fpfwd_outputs;
  std::string fpfwd_blocks = quantParam.fpfwd_blocks;
  set_output_is_float(net);
  mark_forward_with_float(net, fpfwd_inputs, fpfwd_outputs, quantParam.fpfwd_auto_detect, fpfwd_blocks,
                          quantParam.accuracy_opt);
  for (size_t i = 0; i < net.layers().size(); ++i) {
    const std::string& name = net.layer_names()[i];
    const std::string type = net.layers()[i]->type();
    LOG(INFO) << "";
    LOG(INFO) << "calibration for layer = " << name << " id=" << i << " ...";
    LayerParameter* p = net.layers()[i]->mutable_layer_param();
    p->set_id(static_cast<int>(i));
    if (p->forward_with_float()) {
      quantize_float_layer_int8(net, i);
    } else if (!RunRule(net, i, quantParam)) {
      if (!net.layers()[i]->blobs().empty())
        LOG(FATAL) << "layer " << i << " (" << name << ") of type " << type
                   << " has parameter blobs but no int8 quantization rule";
      LOG(INFO) << "Do nothing for Layer " << i << " of Type " << type << " with no blobs";
    }
    SetCommonFields(net, i);
  }
}

void calibration_int8(Net<float>& net, const int iterations, std::string& th_from_file, std::string& th_to_file,
                      double inputPadvalue, QuantParam quantParam) {
  qrn::Timer timer;
  timer.Start();
  auto analysis = std::make_shared<dist_analysis>(net, iterations, kHistogramBins);
  setLayerFollowedByRelu(net);
  setReluFollowingSpecial(net);
  if (th_from_file.empty()) {
    setCalDistributeExcluePadValue(net, inputPadvalue);
    analysis->getAbsoluteMaxOfEachLayer();
    analysis->getDistributeOfEachLayer();
    if (!th_to_file.empty()) analysis->dumpToFile(th_to_file);
  } else {
    analysis->loadFromFile(th_from_file);
  }
  analysis->setThreshodEqualNeighbour();
  analysis->setLayerUseMaxAsThreshold();
  analysis->getThreshodForEachLayer(quantParam.th_method, quantParam.fuse_preprocess);
  analysis->dumpInfo();
  if (quantParam.accuracy_opt) adjust_conv_scale_weight(net, analysis);
  LOG(INFO) << "quantizing " << net.layers().size() << " layers";
  quantizeEachLayer_int8(net, quantParam);
  timer.Stop();
  const float s = timer.Seconds();
  const int hour = static_cast<int>(std::floor(s / 3600));
  const int min = static_cast<int>(std::floor((s - hour * 3600) / 60));
  const int sec = static_cast<int>(std::floor(s - hour * 3600 - min * 60));
  LOG(INFO) << "used time=" << hour << " hour:" << min << " min:" << sec << " sec";
  LOG(INFO) << "int8 calibration done.";
}
