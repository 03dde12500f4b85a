// Thresholds between neighbouring layers: which layers follow a ReLU, which
// share their input's or their consumer's threshold, which blobs use their
// maximum, and the final threshold of every blob.
#include <set>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "calibration.hpp"
#include "dist_analysis.hpp"
#include "graph_query.hpp"
#include "layer_types.hpp"

using qrn::Blob;
using qrn::LayerParameter;
using qrn::Net;

namespace {

std::string TypeOf(Net<float>& net, int i) { return net.layers()[i]->type(); }

const LayerParameter& Param(Net<float>& net, int i) { return net.layers()[i]->layer_param(); }

LayerParameter* MutableParam(Net<float>& net, int i) { return net.layers()[i]->mutable_layer_param(); }

std::vector<int> Previous(Net<float>& net, int i) {
  std::vector<int> out;
  get_previous_layers(net, i, out);
  return out;
}

std::vector<int> Next(Net<float>& net, int i) {
  std::vector<int> out;
  get_next_layers(net, i, out);
  return out;
}

bool InEqualPreAll(const std::string& type) {
  return layer_type_in(layer_equal_pre_types1, type) || layer_type_in(layer_equal_pre_types2, type) ||
         layer_type_in(layer_equal_pre_types3, type);
}

float Th(const Blob<float>* blob) { return static_cast<float>(blob->thresHold()); }

}  // namespace

void setLayerFollowedByRelu(Net<float>& net) {
  const int L = static_cast<int>(net.layers().size());
  for (int i = 0; i + 1 < L; ++i) {
    MutableParam(net, i)->set_followedbyrelu(false);
    const std::vector<int> next = Next(net, i);
    if (next.size() == 1 && TypeOf(net, next[0]) == "ReLU" &&
        Param(net, next[0]).relu_param().negative_slope() <= 0.0001)
      MutableParam(net, i)->set_followedbyrelu(true);
  }
  for (int i = 0; i + 1 < L; ++i) {
    const std::vector<int> next = Next(net, i);
    if (next.size() == 1 && TypeOf(net, i) == "Scale" && TypeOf(net, next[0]) == "Scale")
      MutableParam(net, i)->set_followedbyrelu(Param(net, next[0]).followedbyrelu());
  }
  for (int i = 0; i + 1 < L; ++i) {
    if (TypeOf(net, i) != "BatchNorm") continue;
    if (TypeOf(net, i + 1) != "Scale") {
      LOG(INFO) << "error: bn layer is not follow by scale layer";
      continue;
    }
    MutableParam(net, i)->set_followedbyrelu(Param(net, i + 1).followedbyrelu());
  }
  for (int i = 0; i < L; ++i)
    LOG(INFO) << "layer = " << net.layer_names()[i] << " followedByRelu =" << Param(net, i).followedbyrelu();
}

void setReluFollowingSpecial(Net<float>& net) {
  const int L = static_cast<int>(net.layers().size());
  for (int i = 1; i < L; ++i) {
    if (TypeOf(net, i) != "ReLU") continue;
    MutableParam(net, i)->mutable_relu_param()->set_following_special(false);
    const std::vector<int> prev = Previous(net, i);
    if (prev.size() != 1) continue;
    const std::string t = TypeOf(net, prev[0]);
    if (layer_type_in(layer_equal_pre_types1, t) || layer_type_in(layer_equal_pre_types3, t) || t == "Pooling") {
      MutableParam(net, i)->mutable_relu_param()->set_following_special(true);
      LOG(INFO) << "RELU: " << net.layer_names()[i] << "  is following split layer";
    }
  }
}

int concat_adjacent_to_tail(Net<float>& net, int layer_idx) {
  std::vector<int> frontier = {layer_idx};
  for (int level = 0; level < 4; ++level) {
    std::vector<int> next_frontier;
    for (int l : frontier) {
      const std::vector<int> consumers = Next(net, l);
      if (consumers.empty()) return 1;
      next_frontier.insert(next_frontier.end(), consumers.begin(), consumers.end());
    }
    frontier = next_frontier;
  }
  return 0;
}

void dist_analysis::setThreshodEqualNeighbour() {
  Net<float>& net = qrn_net;
  const int L = layerNum;
  auto first = [&](int i) -> bool& { return dist[i]->th_equal_neighbour.first; };
  auto second = [&](int i) -> bool& { return dist[i]->th_equal_neighbour.second; };
  auto brother_num = [&](int i) {
    const std::vector<int> prev = Previous(net, i);
    return prev.empty() ? 1 : static_cast<int>(Next(net, prev[0]).size());
  };

  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    const LayerParameter& p = Param(net, i);
    const int op = p.reduce_full_param().operation();
    first(i) = (Previous(net, i).size() == 1 && layer_type_in(layer_equal_pre_types1, t)) ||
               (t == "Pooling" && p.pooling_param().pool() == qrn::PoolingParameter::AVE) ||
               t == "StridedSlice" || t == "Upsample" ||
               (brother_num(i) >= 2 && layer_type_in(layer_equal_pre_types2, t)) ||
               layer_type_in(layer_equal_pre_types3, t) ||
               (brother_num(i) >= 2 && layer_type_in(layer_equal_pre_types4, t)) ||
               (t == "ReduceFull" && (op == qrn::ReduceFullParameter::MEAN || op == qrn::ReduceFullParameter::MAX ||
                                      op == qrn::ReduceFullParameter::MIN));
  }

  for (int j = 0; j < L; ++j) {
    const std::vector<int> next = Next(net, j);
    const size_t c = next.size();
    const std::string t = TypeOf(net, j);
    if (c == 1 && !first(next[0]) && layer_type_in(layer_equal_pre_types2, TypeOf(net, next[0]))) {
      if (InEqualPreAll(t) && first(j)) {
        first(next[0]) = true;
      } else {
        second(j) = true;
      }
    } else if (c == 1 && TypeOf(net, next[0]) == "Concat") {
      if (!first(j)) second(j) = true;
    } else if (layer_type_in(layer_equal_pre_types4, t) && !first(j)) {
      const int p = first_previous_layer_or_die(net, j, "the threshold transfer of a Crop");
      if (InEqualPreAll(TypeOf(net, p)) && first(p)) {
        first(j) = true;
        LOG(INFO) << "previous num=" << Previous(net, j).size();
      } else {
        second(p) = true;
      }
    } else {
      const std::string n = c > 0 ? TypeOf(net, next[0]) : std::string();
      second(j) = c == 1 && ((t == "BatchNorm" && n == "Scale") || (t == "Scale" && n == "Scale"));
    }
  }

  for (int i = 0; i < L; ++i)
    LOG(INFO) << "layer name=" << net.layer_names()[i] << " fist=" << first(i) << " second=" << second(i);

  for (int m = 0; m < L; ++m) {
    const std::string& name = net.layer_names()[m];
    const std::string t = TypeOf(net, m);
    const size_t producers = Previous(net, m).size();
    if (first(m) && second(m))
      LOG(FATAL) << "layer name=" + name + "th transfer conflicted,its first second are both true";
    if (first(m) && !layer_type_in(layer_equal_pre_types3, t) && t != "StridedSlice" && t != "Crop" &&
        t != "Upsample") {
      if (producers != 1)
        LOG(FATAL) << "layer name=" + name + ", its first = true,but its previous layer is more than  1";
    } else if (second(m)) {
      if (Next(net, m).size() != 1)
        LOG(FATAL) << "layer name=" + name + "it second = true,but it followed by more than one layer";
    }
    if (layer_type_in(layer_equal_pre_types1, t) || layer_type_in(layer_equal_pre_types3, t)) {
      if (!first(m)) LOG(FATAL) << "layer name=" + name + " th transfer missing";
    } else if (layer_type_in(layer_equal_pre_types2, t)) {
      const int p = first_previous_layer_or_die(net, m, "the threshold check of a ReLU or Pooling");
      if (first(m) && second(p)) LOG(FATAL) << "layer name=" + name + " th transfer conflicted";
      if (!first(m) && !second(p)) LOG(FATAL) << "layer name=" + name + " th transfer missing";
      if (producers > 1 && second(p))
        LOG(FATAL) << "layer name=" + name + " th transfer to forward,but its previous layer is more than 1";
    } else if (layer_type_in(layer_equal_pre_types4, t)) {
      if (producers == 0) LOG(FATAL) << "layer name=" + name + " only has one previous layer";
      const int p = Previous(net, m)[0];
      if (first(m) && second(p)) LOG(FATAL) << "layer name=" + name + " th transfer conflicted";
      if (!first(m) && !second(p)) LOG(FATAL) << "layer name=" + name + " th transfer missing";
    }
  }
}

void dist_analysis::setLayerUseMaxAsThreshold() {
  Net<float>& net = qrn_net;
  auto first = [&](int i) { return dist[i]->th_equal_neighbour.first; };
  auto second = [&](int i) { return dist[i]->th_equal_neighbour.second; };
  auto top0 = [&](int i) { return net.top_vecs()[i][0]; };
  for (int i = 0; i < layerNum; ++i) {
    const std::string t = TypeOf(net, i);
    const LayerParameter& p = Param(net, i);
    if (t == "Softmax" || t == "SoftmaxWithLoss" || t == "Accuracy") {
      int q = first_previous_layer_or_die(net, i, "the use-max rule of a Softmax");
      while (first(q)) q = first_previous_layer_or_die(net, q, "the use-max rule of a Softmax");
      top0(q)->setUseMaxAsThreshold(true);
    } else if (t == "PriorBox" ||
               (t == "Tile" && net.layers()[i]->blobs().size() == 1 && p.tile_param().type() != 1)) {
      if (second(i)) {
        int n = first_next_layer_or_die(net, i, "the use-max rule of a PriorBox or Tile");
        while (second(n)) n = first_next_layer_or_die(net, n, "the use-max rule of a PriorBox or Tile");
        top0(n)->setUseMaxAsThreshold(true);
      } else {
        top0(i)->setUseMaxAsThreshold(true);
      }
    } else if (t == "Concat") {
      bool use_max = false;
      for (int q : Previous(net, i)) use_max = use_max || top0(q)->isUseMaxAsThreshold();
      top0(i)->setUseMaxAsThreshold(use_max);
      if (p.th_strategy() == LayerParameter::USE_MAX) {
        top0(i)->setUseMaxAsThreshold(true);
        LOG(INFO) << "layer name=" << net.layer_names()[i] << " use max as th";
      }
    } else if (t == "ShapeAssign") {
      const std::vector<int> prev = Previous(net, i);
      if (!prev.empty()) top0(i)->setUseMaxAsThreshold(top0(prev[0])->isUseMaxAsThreshold());
    } else if (t == "Split") {
      const std::vector<int> prev = Previous(net, i);
      if (!prev.empty())
        for (Blob<float>* b : net.top_vecs()[i]) b->setUseMaxAsThreshold(top0(prev[0])->isUseMaxAsThreshold());
    } else if (t == "BroadcastBinary") {
      if (p.broadcast_binary_param().operation() == qrn::BroadcastBinaryParameter::BINARY_SQUARED_DIFF)
        top0(i)->setUseMaxAsThreshold(true);
    } else if (t == "ConstantFill") {
      top0(i)->setUseMaxAsThreshold(true);
    } else if (t == "CPU") {
      const int n = p.cpu_param().use_max_as_th_size();
      if (n > static_cast<int>(net.top_vecs()[i].size()))
        LOG(FATAL) << "layer name=" << net.layer_names()[i] << " has " << n << " use_max_as_th entries but only "
                   << net.top_vecs()[i].size() << " output blobs";
      for (int k = 0; k < n; ++k) net.top_vecs()[i][k]->setUseMaxAsThreshold(p.cpu_param().use_max_as_th(k));
    } else if (p.th_strategy() == LayerParameter::USE_KL) {
      top0(i)->setUseMaxAsThreshold(false);
    } else if (p.th_strategy() == LayerParameter::USE_MAX) {
      top0(i)->setUseMaxAsThreshold(true);
    }
  }
}

void dist_analysis::getThreshodForEachLayer(std::string th_method, bool fuse_preprocess) {
  Net<float>& net = qrn_net;
  const int L = layerNum;
  auto top0 = [&](int i) { return net.top_vecs()[i][0]; };
  auto set_tops = [&](int i, float th) {
    for (Blob<float>* b : net.top_vecs()[i]) b->setThresHold(th);
  };
  static const std::set<std::string> data_types = {"Data", "ImageData", "DummyData", "AnnotatedData", "HDF5Data"};

  // Searched thresholds.
  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    dist_data& d = *dist[i];
    float th = layer_type_in(layer_not_need_cal_th, t)
                   ? 1.0f
                   : static_cast<float>(tensorrt_calib(d.distribution, partionNUM, d.maxPerLayer, d.dataNum,
                                                       top0(i)->isUseMaxAsThreshold(), th_method));
    th = th * Param(net, i).th_scale();
    if (fuse_preprocess && data_types.count(t)) th = th / 2;
    set_tops(i, th);
  }

  // Inputs of detection outputs and sigmoids.
  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    if (t == "Yolov3DetectionOutput" || t == "Yolo") {
      for (int q : Previous(net, i)) top0(q)->setThresHold(5.0f);
    } else if (t == "Active" && Param(net, i).active_param().type() == qrn::ActiveParameter::SIGMOID) {
      top0(i)->setThresHold(1.0f);
      for (int q : Previous(net, i)) top0(q)->setThresHold(5.0f);
    }
  }

  // Thresholds given in the definition.
  for (int i = 0; i < L; ++i)
    if (Param(net, i).has_threshold()) top0(i)->setThresHold(Param(net, i).threshold());

  // Forward transfer.
  for (int i = 0; i < L; ++i) {
    const std::string t = TypeOf(net, i);
    const std::string& name = net.layer_names()[i];
    bool& second = dist[i]->th_equal_neighbour.second;
    if (dist[i]->th_equal_neighbour.first) {
      if (net.bottom_vecs()[i].empty())
        LOG(FATAL) << "layer name=" << name << " takes its input's threshold but has no input blob";
      set_tops(i, Th(net.bottom_vecs()[i][0]));
    } else if (t == "Concat") {
      const auto& bottoms = net.bottom_vecs()[i];
      if (bottoms.empty()) LOG(FATAL) << "layer name=" << name << " is a Concat without input blobs";
      float th_max = Th(bottoms[0]), th_min = th_max;
      for (size_t k = 1; k < bottoms.size(); ++k) {
        const float v = Th(bottoms[k]);
        if (v > th_max) {
          th_max = v;
        } else if (v < th_min) {
          th_min = v;
        }
      }
      bool conv_group = true;
      std::set<int> sources;
      std::vector<int> producers;
      get_previous_layers_no_split(net, i, producers);
      for (int q : producers) {
        if (TypeOf(net, q) != "Convolution") {
          conv_group = false;
          break;
        }
        std::vector<int> inputs;
        if (get_previous_layers_no_split(net, q, inputs) != 1) {
          conv_group = false;
          break;
        }
        sources.insert(inputs[0]);
      }
      conv_group = conv_group && sources.size() == 1;
      float real = Th(top0(i));
      const float th_scale = Param(net, i).th_scale();
      if (th_max / th_min > 3.0f && !conv_group) {
        int n = i;
        if (second) {
          n = first_next_layer_or_die(net, i, "the Concat threshold rule");
          while (dist[n]->th_equal_neighbour.second) n = first_next_layer_or_die(net, n, "the Concat threshold rule");
        }
        float v = static_cast<float>((dist[n]->maxPerLayer + top0(n)->thresHold()) / 2);
        LOG(INFO) << "DEBUG: th = " << v;
        if (second) {
          LOG(INFO) << "DEBUG: qrn_net.top_vecs()[next_layer[0]][0]->thresHold() = " << top0(n)->thresHold();
          LOG(INFO) << "DEBUG: dist[next_layer[0]]->maxPerLayer = " << dist[n]->maxPerLayer;
        } else {
          LOG(INFO) << "DEBUG: qrn_net.top_vecs()[i][0]->thresHold() = " << top0(i)->thresHold();
          LOG(INFO) << "DEBUG: dist[i]->maxPerLayer = " << dist[i]->maxPerLayer;
        }
        LOG(INFO) << "DEBUG: qrn_net.layers()[i]->layer_param().th_scale() = " << th_scale;
        v = v * th_scale;
        if (v < 0.0001f) {
          LOG(INFO) << "DEBUG: x th = " << v;
          v = 0.001f;
        }
        if (second) {
          set_tops(n, v);
        } else {
          top0(i)->setThresHold(v);
        }
        real = v;
      }
      if (th_max == th_min) {
        top0(i)->setThresHold(th_min);
        second = false;
        real = th_min;
      }
      LOG(INFO) << "layer: " << name << "    th_max = " << th_max << "   th_min = " << th_min
                << "  real th = " << real;
      LOG(INFO) << "dist[i]->th_equal_neighbour.second:" << second;
    } else if (t == "ConstantFill") {
      // Without an input there is nothing to double: the searched value stays.
      if (!net.bottom_vecs()[i].empty()) top0(i)->setThresHold(2 * Th(net.bottom_vecs()[i][0]));
    }
    if (Param(net, i).has_threshold()) top0(i)->setThresHold(Param(net, i).threshold());
  }

  // Backward transfer.
  for (int i = L - 1; i >= 0; --i) {
    if (!dist[i]->th_equal_neighbour.second) continue;
    const std::vector<int> next = Next(net, i);
    CHECK(next.size() == 1) << "num == 1 (layer " << net.layer_names()[i] << ")";
    top0(i)->setThresHold(Th(top0(next[0])));
  }
}
