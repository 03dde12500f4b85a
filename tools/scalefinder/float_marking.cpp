#include "float_marking.hpp"

#include <algorithm>
#include <cstdlib>

#include <glog/logging.h>

#include "calibration.hpp"
#include "graph_query.hpp"

using qrn::LayerParameter;
using qrn::Net;

namespace {

const std::set<std::string> kDataTypes = {"Data", "ImageData", "DummyData", "AnnotatedData", "HDF5Data"};
const std::set<std::string> kAlwaysRejected = {
    "Split",      "ShapeRef",     "ShapeUnary",   "ShapeSlice",       "ShapeConst", "ShapePack", "ShapeReshape",
    "ShapeTile",  "ShapeSplit",   "ShapeReverse", "ShapeExpandNDims", "ShapeOp",    "ShapeReorder"};
const std::set<std::string> kSpecialTypes = {"Output", "Accuracy", "PSROIPooling", "ROIPooling", "RPN"};
const std::set<std::string> kBlockEndTypes = {"Convolution",     "Eltwise", "Scale", "Pooling",
                                              "BroadcastBinary", "EltwiseBinary"};
const std::set<std::string> kOutputDetectTypes = {
    "Active",   "Sigmoid",   "PReLU",      "ReLU",        "ELU",     "LRN",
    "Convolution", "Deconvolution", "InnerProduct", "Pooling", "PoolingTF", "ROIPooling",
    "BatchNorm", "Scale",    "Bias",       "Eltwise",     "EltwiseBinary", "Interp",
    "PriorBox", "RPN",       "Softmax",    "SoftmaxWithLoss", "Accuracy", "TopK",
    "DetectionOutput", "Yolov3DetectionOutput", "RetinaDetectionOutput"};
const std::set<std::string> kInputDetectTypes = {"Convolution"};

std::string TypeOf(Net<float>& net, int i) { return net.layers()[i]->type(); }
LayerParameter* Param(Net<float>& net, int i) { return net.layers()[i]->mutable_layer_param(); }
bool Marked(Net<float>& net, int i) { return net.layers()[i]->layer_param().forward_with_float(); }
void Mark(Net<float>& net, int i) { Param(net, i)->set_forward_with_float(true); }

std::vector<int> Next(Net<float>& net, int i) {
  std::vector<int> out;
  get_next_layers(net, i, out);
  return out;
}

std::vector<int> Previous(Net<float>& net, int i) {
  std::vector<int> out;
  get_previous_layers(net, i, out);
  return out;
}

std::vector<std::string> NamesOf(Net<float>& net, const std::set<int>& ids) {
  std::vector<std::string> names;
  for (int i : ids) names.push_back(net.layer_names()[i]);
  return names;
}

// The pre- and post-processing walks: level by level from the named layers
// along producers (backward) or consumers (forward), marking every layer
// the support test accepts.
void MarkWalk(Net<float>& net, std::vector<std::string> names, bool backward) {
  while (!names.empty() && !names[0].empty()) {
    std::set<int> reached;
    for (const auto& name : names) {
      const int id = get_layer_id_by_name(net, name);
      if (id < 0) continue;
      if (support_forward_with_float(net, id, false)) Mark(net, id);
      std::vector<int> neighbours;
      if (backward) {
        get_previous_layers_no_split(net, id, neighbours);
      } else {
        get_next_layers_no_split(net, id, neighbours);
      }
      reached.insert(neighbours.begin(), neighbours.end());
    }
    for (int id : reached)
      if (support_forward_with_float(net, id, false)) Mark(net, id);
    names = NamesOf(net, reached);
  }
}

// From the heads along consumers (or producers), the first layer of one of
// the types on each path.
void Detect(Net<float>& net, std::vector<int> heads, const std::set<std::string>& types, bool backward,
            std::set<int>& found) {
  std::set<int> visited;
  while (!heads.empty()) {
    std::vector<int> next_heads;
    for (int h : heads) {
      if (types.count(TypeOf(net, h))) {
        found.insert(h);
        continue;
      }
      for (int c : backward ? Previous(net, h) : Next(net, h)) {
        if (types.count(TypeOf(net, c))) {
          found.insert(c);
        } else if (visited.insert(c).second) {
          next_heads.push_back(c);
        }
      }
    }
    heads = next_heads;
  }
}

}  // namespace

std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    names.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

bool support_forward_with_float(Net<float>& net, int layer_idx, bool check_special_layers) {
  const std::string type = TypeOf(net, layer_idx);
  const std::string& name = net.layer_names()[layer_idx];
  if (kAlwaysRejected.count(type)) {
    LOG(INFO) << name << " layer do not support forward_with_float!";
    return false;
  }
  if (check_special_layers &&
      (kSpecialTypes.count(type) || net.layers()[layer_idx]->layer_param().output_is_float())) {
    LOG(INFO) << "layer " << name << " do not support forward_with_float!";
    return false;
  }
  return true;
}

void mark_preprocess_forward_with_float(Net<float>& net, std::vector<std::string> names) {
  MarkWalk(net, std::move(names), true);
}

void mark_postprocess_forward_with_float(Net<float>& net, std::vector<std::string> names) {
  MarkWalk(net, std::move(names), false);
}

void mark_block_forward_with_float(Net<float>& net, std::vector<std::string> names) {
  while (!names.empty() && !names[0].empty()) {
    std::set<int> reached;
    for (const auto& name : names) {
      const int id = get_layer_id_by_name(net, name);
      if (id < 0) continue;
      if (support_forward_with_float(net, id, false)) Mark(net, id);
      if (kBlockEndTypes.count(TypeOf(net, id))) continue;
      std::vector<int> next;
      get_next_layers_no_split(net, id, next);
      reached.insert(next.begin(), next.end());
    }
    names = NamesOf(net, reached);
  }
}

void detect_input_names(Net<float>& net, std::vector<int> heads, std::set<int>& input_indexes) {
  Detect(net, std::move(heads), kInputDetectTypes, false, input_indexes);
}

void detect_output_names(Net<float>& net, std::vector<int> tails, std::set<int>& output_indexes) {
  Detect(net, std::move(tails), kOutputDetectTypes, true, output_indexes);
}

void mark_forward_with_float(Net<float>& net, std::string& fpfwd_inputs, std::string& fpfwd_outputs,
                             bool auto_detect, std::string& fpfwd_blocks, bool float_depthwise) {
  const int L = static_cast<int>(net.layers().size());
  std::vector<std::string> input_names = split_names(fpfwd_inputs);
  std::vector<std::string> output_names = split_names(fpfwd_outputs);
  const auto one_empty = [](const std::vector<std::string>& v) { return v.size() == 1 && v[0].empty(); };

  if (auto_detect && one_empty(input_names)) {
    std::vector<int> heads;
    bool adjacent = false;
    for (int i = 0; i < L && !adjacent; ++i) {
      if (!kDataTypes.count(TypeOf(net, i))) continue;
      const std::vector<int> next = Next(net, i);
      if (next.empty()) continue;
      heads.push_back(next[0]);
      if (TypeOf(net, next[0]) == "Convolution") adjacent = true;
    }
    if (!adjacent) {
      std::set<int> found;
      detect_input_names(net, heads, found);
      input_names = NamesOf(net, found);
    }
  }
  LOG(INFO) << "input_names:";
  for (const auto& n : input_names) LOG(INFO) << " " << n;

  if (auto_detect && one_empty(output_names)) {
    std::vector<int> tails;
    for (int i = 0; i < L; ++i)
      if (Next(net, i).empty()) tails.push_back(i);
    std::set<int> found;
    detect_output_names(net, tails, found);
    output_names = NamesOf(net, found);
    for (int i = 0; i < L; ++i)
      if (TypeOf(net, i) == "SliceLike") output_names.push_back(net.layer_names()[i]);
  }
  LOG(INFO) << "output_names:";
  for (const auto& n : output_names) LOG(INFO) << " " << n;

  mark_preprocess_forward_with_float(net, input_names);
  mark_postprocess_forward_with_float(net, output_names);

  std::vector<std::string> heads;
  if (!fpfwd_blocks.empty()) heads = split_names(fpfwd_blocks);
  for (int i = 0; i < L; ++i)
    if (TypeOf(net, i) == "PriorBox" || TypeOf(net, i) == "Softmax") heads.push_back(net.layer_names()[i]);
  mark_block_forward_with_float(net, heads);

  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    if (t != "Scale" && t != "BatchNorm") continue;
    const std::vector<int> next = Next(net, i);
    if (next.size() != 1) continue;
    const std::string n = TypeOf(net, next[0]);
    if ((n == "Scale" || n == "Bias") && (Marked(net, i) || Marked(net, next[0]))) {
      Mark(net, i);
      Mark(net, next[0]);
    }
  }

  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    if (t != "ShapeAssign" && t != "Reshape" && t != "Output" && t != "RetinaDetectionOutput" && t != "Split" &&
        t != "Flatten")
      continue;
    Param(net, i)->set_forward_with_float(false);
    const std::vector<int> prev = Previous(net, i);
    if (!prev.empty() && Marked(net, prev[0])) {
      Param(net, i)->set_output_is_float(true);
      Mark(net, i);
    }
  }

  for (int i = 0; i < L; ++i) {
    if (TypeOf(net, i) != "Convolution" || net.bottom_vecs()[i].empty()) continue;
    const int ic = net.bottom_vecs()[i][0]->channels();
    const int oc = net.top_vecs()[i][0]->channels();
    const int g = static_cast<int>(net.layers()[i]->layer_param().convolution_param().group());
    if (float_depthwise && ic == g && g == oc) Mark(net, i);
    if (g > 0 && net.bottom_vecs()[i][0]->shape(1) / g > 4095) Mark(net, i);
  }

  for (int i = 0; i < L; ++i)
    if (TypeOf(net, i) == "Scale" && net.bottom_vecs()[i].size() >= 2) Mark(net, i);

  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    const LayerParameter& p = net.layers()[i]->layer_param();
    if (t == "EltwiseBinary") {
      const int op = p.eltwise_binary_param().operation();
      if (op == 1 || (op >= 3 && op <= 11)) Mark(net, i);
    } else if (t == "BroadcastBinary") {
      const int op = p.broadcast_binary_param().operation();
      if (op == 3 || op == 10007 || op == 10008) Mark(net, i);
    }
  }

  for (int i = 0; i < L; ++i) {
    if (TypeOf(net, i) != "Concat") continue;
    const std::vector<int> next = Next(net, i);
    if (next.size() == 1 && (TypeOf(net, next[0]) == "Output" || TypeOf(net, next[0]) == "DetectionOutput")) {
      Mark(net, i);
      Mark(net, next[0]);
    }
  }
}

void test_mark_forward_with_float(Net<float>& net) {
  std::srand(3);
  for (int i = 0; i < static_cast<int>(net.layers().size()); ++i) {
    const int draw = std::rand();
    if (i >= 2 && support_forward_with_float(net, i, true)) Param(net, i)->set_forward_with_float(draw % 10 >= 4);
  }
}
