#include "graph_transform.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <glog/logging.h>

#include "dist_analysis.hpp"
#include "graph_query.hpp"
#include "math_util.hpp"
#include "qrn/math.hpp"

using qrn::Blob;
using qrn::BlobProto;
using qrn::LayerParameter;
using qrn::Net;
using qrn::NetParameter;

namespace {

const std::set<std::string>& SupportedTypes() {
  static const std::set<std::string> types = {
      "Accuracy", "Active", "AnnotatedData", "Arg", "BN", "BatchNorm", "BatchToSpace", "Bias",
      "BroadcastBinary", "Compare", "Concat", "ConstBinary", "ConstantFill", "Convolution", "CPU",
      "Crop", "Data", "Deconvolution", "DetectionOutput", "Dropout", "DummyData", "ELU", "Eltwise",
      "EltwiseBinary", "ExpandDims", "Flatten", "InnerProduct", "Interp", "LRN", "Normalize",
      "Output", "PReLU", "PSROIPooling", "Pad", "Permute", "Pooling", "PoolingTF", "PriorBox",
      "Identity", "ROIPooling", "RPN", "ReLU", "Reciprocal", "Reduce", "ReduceFull", "Reorg",
      "Reshape", "Scale", "Select", "ShapeOp", "ShapeReorder", "Yolov3DetectionOutput",
      "ShapeReshape", "ShapeConst", "ShapeAssign", "DtypeConvert", "Yolo", "ShapeCast",
      "ShapeUnary", "ShapeExpandNDims", "ShapePack", "ShapeRef", "ShapeSlice", "ShuffleChannel",
      "Sigmoid", "Slice", "SliceLike", "Softmax", "SoftmaxWithLoss", "SpaceToBatch", "Split",
      "SplitTF", "Squeeze", "StridedSlice", "Tile", "TopK", "Transpose", "Upsample",
      "UpsampleCopy", "ImageData", "HDF5Data", "Coeff2Neuron", "ShapeReverse", "ShapeTile",
      "ShapeSplit", "Host2Device", "Device2Host", "RetinaDetectionOutput", "DepthToSpace",
      "Expand"};
  return types;
}

int FindFromEnd(const std::vector<std::string>& names, const std::string& name) {
  for (int k = static_cast<int>(names.size()) - 1; k >= 0; --k)
    if (names[k] == name) return k;
  return -1;
}

std::set<std::string> SplitLayerNames(const NetParameter& param) {
  std::set<std::string> names;
  for (const auto& layer : param.layer())
    if (layer.type() == "Split") names.insert(layer.name());
  return names;
}

void SetShape(BlobProto* proto, const std::vector<int>& shape) {
  proto->mutable_shape()->clear_dim();
  for (int d : shape) proto->mutable_shape()->add_dim(d);
}

// A blob proto of the given shape with values taken through pick(i).
template <typename Pick>
void FillBlobProto(BlobProto* proto, const std::vector<int>& shape, int count, Pick pick) {
  SetShape(proto, shape);
  proto->clear_data();
  for (int i = 0; i < count; ++i) proto->add_data(pick(i));
}

std::vector<int> Dims(const Blob<float>& blob) { return blob.shape(); }

const qrn::ConvolutionParameter& ConvParam(Net<float>& net, int i) {
  return net.layers()[i]->layer_param().convolution_param();
}

std::string TypeOf(Net<float>& net, int i) { return net.layers()[i]->type(); }

}  // namespace

bool check_layer_validation(const std::string& type) { return SupportedTypes().count(type) != 0; }

void blob_rename_to_unique_or_reverse(NetParameter& net_param,
                                      const std::set<std::string>& layer_inplace) {
  std::vector<std::string> blobs_name;
  std::vector<std::pair<std::vector<int>, std::vector<int>>> layer_blob_map;
  std::vector<int> inplace_layer_id;
  int layer_count = 0;
  int blob_id = 0;
  for (int i = 0; i < net_param.layer_size(); ++i) {
    LayerParameter* layer = net_param.mutable_layer(i);
    if (!check_layer_validation(layer->type()))
      LOG(FATAL) << "Calibration does not support " << layer->type() << " !";
    if (layer_inplace.count(layer->name())) inplace_layer_id.push_back(i);
    std::vector<int> bottom_ids, top_ids;
    for (const auto& bottom : layer->bottom()) {
      int k = FindFromEnd(blobs_name, bottom);
      if (k < 0) {
        blobs_name.push_back(bottom);
        k = blob_id++;
      }
      bottom_ids.push_back(k);
    }
    for (const auto& top : layer->top()) {
      int k = FindFromEnd(blobs_name, top);
      const bool in_place =
          std::find(layer->bottom().begin(), layer->bottom().end(), top) != layer->bottom().end();
      if (k < 0 || in_place) {
        blobs_name.push_back(top);
        k = blob_id++;
      }
      top_ids.push_back(k);
    }
    layer_blob_map.emplace_back(bottom_ids, top_ids);
    if (layer->has_data_param()) layer->mutable_data_param()->set_batch_size(1);
    ++layer_count;
  }

  for (size_t i = 1; i < blobs_name.size(); ++i) {
    auto taken = [&] {
      return std::find(blobs_name.begin(), blobs_name.begin() + i, blobs_name[i]) !=
             blobs_name.begin() + i;
    };
    while (taken()) blobs_name[i] += "(" + std::to_string(i) + ")";
  }

  if (!layer_inplace.empty()) {
    for (int i : inplace_layer_id) {
      const auto& ids = layer_blob_map[i];
      if (ids.first.empty()) continue;
      for (int top : ids.second) blobs_name[top] = blobs_name[ids.first[0]];
    }
  }

  for (int i = 0; i < layer_count; ++i) {
    LayerParameter* layer = net_param.mutable_layer(i);
    layer->clear_bottom();
    layer->clear_top();
    for (int id : layer_blob_map[i].first) layer->add_bottom(blobs_name[id]);
    for (int id : layer_blob_map[i].second) layer->add_top(blobs_name[id]);
  }
  net_param.mutable_state()->set_phase(qrn::TEST);
}

void split_layer_inplace(NetParameter& net_param) {
  blob_rename_to_unique_or_reverse(net_param, SplitLayerNames(net_param));
}

void blob_rename_to_unique(NetParameter& out, NetParameter& in) {
  blob_rename_to_unique_or_reverse(in, SplitLayerNames(in));
  out.CopyFrom(in);
  out.clear_layer();
  for (const auto& layer : in.layer())
    if (layer.type() != "Split") out.add_layer()->CopyFrom(layer);
}

void blob_rename_to_unique(NetParameter& out, const std::string& param_file) {
  NetParameter in;
  qrn::ReadNetParamsFromTextFileOrDie(param_file, &in);
  blob_rename_to_unique(out, in);
}

std::vector<int> sort_weight_blob(std::shared_ptr<Blob<float>> weight_blob) {
  const int channels = weight_blob->shape(0);
  const int per = weight_blob->count(1);
  const float* w = weight_blob->cpu_data();
  std::vector<std::pair<int, float>> maxima;
  for (int c = 0; c < channels; ++c) {
    float m = 0.0f;
    for (int k = 0; k < per; ++k) m = std::max(m, std::fabs(w[static_cast<size_t>(c) * per + k]));
    maxima.emplace_back(c, m);
  }
  std::stable_sort(maxima.begin(), maxima.end(),
                   [](const std::pair<int, float>& a, const std::pair<int, float>& b) {
                     return a.second > b.second;
                   });
  std::vector<int> order;
  for (const auto& m : maxima) order.push_back(m.first);
  return order;
}

bool is_conv_to_conv_pattern(Net<float>& net, int i) {
  CHECK_EQ(TypeOf(net, i), "Convolution");
  if (ConvParam(net, i).group() >= 2) return false;
  const int num_layers = static_cast<int>(net.layers().size());
  for (int k = i; k < num_layers; ++k) {
    std::vector<int> next;
    if (get_next_layers(net, k, next) != 1) return false;
    const int n = next[0];
    const std::string type = TypeOf(net, n);
    if (type == "Convolution") {
      const auto& p = ConvParam(net, n);
      if (p.group() == 1) return true;
      if (p.group() == p.num_output()) continue;
      return false;
    }
    if (type == "BatchNorm" || type == "Scale" || type == "Pooling" || type == "Bias" ||
        type == "ReLU")
      continue;
    return false;
  }
  return false;
}

void replace_conv_to_conv_subnet(Net<float>& net, NetParameter* p_new_proto, int start_conv,
                                 int end_conv, std::vector<int>& in_idxes) {
  auto& start = net.layers()[start_conv];
  const auto& sp = start->layer_param().convolution_param();
  CHECK(sp.has_num_output());
  CHECK(sp.group() == 1);
  const int oc = static_cast<int>(sp.num_output());
  std::vector<int> cur_cidxs = sort_weight_blob(start->blobs()[0]);
  const bool bias = sp.bias_term();
  const Blob<float>& weight = *start->blobs()[0];
  const int ic = weight.shape(1);
  const int kernel_size = weight.count(2);
  if (!in_idxes.empty()) {
    CHECK(static_cast<int>(in_idxes.size()) == ic);
    for (int c = 0; c < ic; ++c) CHECK(in_idxes[c] >= 0) << "in_idxes[ic] >= 0";
  }

  const int slices = (oc + 63) / 64;
  std::vector<std::string> slice_tops;
  for (int m = 0; m < slices; ++m) {
    const int size = std::min(64, oc - 64 * m);
    LayerParameter* layer = p_new_proto->add_layer();
    start->ToProto(layer, false);
    CHECK(layer->has_name());
    layer->set_name(start->layer_param().name() + "-" + std::to_string(m));
    const std::string top = start->layer_param().top(0) + "-" + std::to_string(m);
    layer->clear_top();
    layer->add_top(top);
    slice_tops.push_back(top);
    layer->mutable_convolution_param()->set_num_output(size);
    layer->clear_blobs();
    std::vector<int> wshape = Dims(weight);
    wshape[0] = size;
    FillBlobProto(layer->add_blobs(), wshape, size * ic * kernel_size, [&](int idx) {
      const int j = idx / (ic * kernel_size);
      const int c = (idx / kernel_size) % ic;
      const int k = idx % kernel_size;
      const int o = cur_cidxs[64 * m + j];
      const int c_src = in_idxes.empty() ? c : in_idxes[c];
      return weight.cpu_data()[(static_cast<size_t>(o) * ic + c_src) * kernel_size + k];
    });
    if (bias) {
      const Blob<float>& b = *start->blobs()[1];
      std::vector<int> bshape = Dims(b);
      bshape[0] = size;
      FillBlobProto(layer->add_blobs(), bshape, size,
                    [&](int j) { return b.cpu_data()[cur_cidxs[64 * m + j]]; });
    }
  }

  LayerParameter* concat = p_new_proto->add_layer();
  concat->set_name("conv_group_concat_" + std::to_string(end_conv - 1));
  concat->set_type("Concat");
  for (const auto& top : slice_tops) concat->add_bottom(top);
  concat->add_top(start->layer_param().top(0));

  for (int l = start_conv + 1; l < end_conv; ++l) {
    auto& src = net.layers()[l];
    LayerParameter* layer = p_new_proto->add_layer();
    src->ToProto(layer, false);
    layer->clear_blobs();
    const std::string type = src->type();
    const auto& blobs = src->blobs();
    auto permuted = [&](const Blob<float>& b, int n, BlobProto* out) {
      FillBlobProto(out, {n}, n, [&](int j) { return b.cpu_data()[cur_cidxs[j]]; });
    };
    if (type == "BatchNorm") {
      for (size_t k = 0; k < blobs.size(); ++k) {
        if (k < 2) {
          CHECK(blobs[k]->shape().size() == 1) << "shape.size() == 1";
          permuted(*blobs[k], oc, layer->add_blobs());
        } else {
          blobs[k]->ToProto(layer->add_blobs());
        }
      }
    } else if (type == "Scale" || type == "Bias") {
      for (const auto& b : blobs) permuted(*b, oc, layer->add_blobs());
    } else if (type == "Convolution") {
      const auto& p = src->layer_param().convolution_param();
      const int groups = static_cast<int>(p.group());
      const int num_output = static_cast<int>(p.num_output());
      const int conv_oc = oc;
      CHECK(groups == num_output && groups == conv_oc) << "groups == num_output && groups == conv_oc";
      const Blob<float>& w = *blobs[0];
      const std::vector<int> weight_shape = w.shape();
      CHECK(weight_shape.size() == 4) << "weight_shape.size() == 4";
      CHECK(weight_shape[1] == 1) << "weight_shape[1] == 1";
      const int per = w.count(1);
      FillBlobProto(layer->add_blobs(), weight_shape, w.count(), [&](int idx) {
        return w.cpu_data()[static_cast<size_t>(cur_cidxs[idx / per]) * per + idx % per];
      });
      if (blobs.size() == 2) permuted(*blobs[1], oc, layer->add_blobs());
    } else if (type == "ReLU" || type == "Pooling") {
      // Channel-wise without parameters: nothing to reorder.
    } else {
      LOG(FATAL) << "layer type " << type << " cannot stand inside a split convolution chain";
    }
  }
  CHECK(static_cast<int>(cur_cidxs.size()) == oc);
  in_idxes = cur_cidxs;
}

void split_conv(Net<float>& net, NetParameter* p) {
  const int model_type = p->model_type();
  const bool has_model_type = p->has_model_type();
  net.ToProto(p, false);
  if (has_model_type) {
    p->set_model_type(model_type);
  } else {
    p->clear_model_type();
  }
  p->clear_layer();
  p->clear_layers();
  std::vector<int> cidxs;
  const int num_layers = static_cast<int>(net.layers().size());
  int i = 0;
  while (i < num_layers) {
    auto& layer = net.layers()[i];
    if (std::string(layer->type()) != "Convolution") {
      layer->ToProto(p->add_layer(), false);
      ++i;
      continue;
    }
    const auto& cp = layer->layer_param().convolution_param();
    CHECK(cp.has_num_output());
    if (is_conv_to_conv_pattern(net, i) && cp.num_output() >= 65) {
      int j = i + 1;
      while (j < num_layers &&
             !(TypeOf(net, j) == "Convolution" && ConvParam(net, j).group() == 1))
        ++j;
      CHECK_LT(j, num_layers) << "no group-1 convolution after " << layer->layer_param().name();
      replace_conv_to_conv_subnet(net, p, i, j, cidxs);
      i = j;
      continue;
    }
    LayerParameter* out = p->add_layer();
    layer->ToProto(out, false);
    if (!cidxs.empty()) {
      const Blob<float>& w = *layer->blobs()[0];
      const int ic = static_cast<int>(cidxs.size());
      CHECK(ic == w.shape(1)) << "ic == weight_blob->shape(1)";
      const int num_output = static_cast<int>(cp.num_output());
      const int kernel_size = w.count(2);
      out->clear_blobs();
      BlobProto* wp = out->add_blobs();
      w.ToProto(wp);
      for (int o = 0; o < num_output; ++o)
        for (int c = 0; c < ic; ++c)
          for (int k = 0; k < kernel_size; ++k)
            wp->set_data((o * ic + c) * kernel_size + k,
                         w.cpu_data()[(static_cast<size_t>(o) * ic + cidxs[c]) * kernel_size + k]);
      if (layer->blobs().size() == 2) layer->blobs()[1]->ToProto(out->add_blobs());
      cidxs.clear();
    }
    ++i;
  }
}

void split_conv_into_group(const std::string& model, const std::string& weight,
                           const std::string& postfix) {
  NetParameter param;
  blob_rename_to_unique(param, model);
  Net<float> net(param);
  net.CopyTrainedLayersFrom(weight);
  NetParameter split;
  if (param.has_model_type()) split.set_model_type(param.model_type());
  split_conv(net, &split);
  NetParameter unique;
  blob_rename_to_unique(unique, split);
  for (auto& layer : *unique.mutable_layer()) layer.clear_blobs();
  qrn::WriteProtoToTextFile(unique, model + postfix);
  qrn::WriteProtoToBinaryFile(split, weight + postfix);
}

bool is_conv_scale_pattern(Net<float>& net, int i) {
  if (TypeOf(net, i) != "Convolution") return false;
  std::vector<int> next;
  if (get_next_layers(net, i, next) != 1) return false;
  const std::string type = TypeOf(net, next[0]);
  return type == "Scale" ||
         (type == "BatchNorm" && net.layers()[next[0]]->stats_in_multiplier_form() != 0);
}

void adjust_conv_scale_weight(Net<float>& net, const ChannelMaxFn& max_per_channel) {
  const int num_layers = static_cast<int>(net.layers().size());
  for (int i = 0; i < num_layers - 1; ++i) {
    if (!is_conv_scale_pattern(net, i)) continue;
    // The partner is the single consumer the pattern found, wherever it
    // stands; the next layer in order may belong to another branch.
    std::vector<int> next;
    get_next_layers(net, i, next);
    auto& conv = net.layers()[i];
    auto& partner = net.layers()[next[0]];
    const std::string partner_type = partner->type();
    const size_t partner_blob = partner_type == "Scale" ? 0 : 1;
    Blob<float>& W = *conv->blobs()[0];
    Blob<float>* B = conv->blobs().size() == 2 ? conv->blobs()[1].get() : nullptr;
    const int oc = W.shape(0);
    const int per = W.count(1);
    // A partner that does not hold one factor per channel cannot take the
    // inverse factors: leave the pair alone.
    if (partner->blobs().size() <= partner_blob || partner->blobs()[partner_blob]->count() != oc)
      continue;

    std::vector<float> a(oc), f(oc);
    float sum = 0.0f;
    int used = 0;
    for (int k = 0; k < oc; ++k) {
      float m = 0.0f;
      for (int v = 0; v < per; ++v) m = std::max(m, std::fabs(W.cpu_data()[static_cast<size_t>(k) * per + v]));
      a[k] = m;
      if (static_cast<double>(m) > 1e-6) {
        sum += m;
        ++used;
      }
    }
    if (used == 0) continue;  // no channel to measure the others against
    const float A = sum / static_cast<float>(used);
    float M = 0.0f;
    for (int k = 0; k < oc; ++k) {
      f[k] = A / a[k];
      if (static_cast<double>(f[k]) < 0.3333) f[k] = 0.3333f;
      if (f[k] > 1.0f) f[k] = 1.0f;
      M = std::max(M, f[k] * a[k]);
    }
    const float th = static_cast<float>(net.top_vecs()[i][0]->thresHold());
    for (int k = 0; k < oc; ++k) {
      if (!(static_cast<double>(a[k]) > 1e-6)) continue;
      const float r = static_cast<float>(max_per_channel(i, k) / th);
      const float w = f[k] * a[k] / M;
      if (r > 0.015625f && r < 0.03125f) {
        f[k] = static_cast<float>(std::min(1.0 / w, 16.0));
      } else if (r < 0.0625f) {
        f[k] = static_cast<float>(std::min(1.0 / w, 8.0));
      } else if (r < 0.125f) {
        f[k] = static_cast<float>(std::min(1.0 / w, 4.0));
      } else if (r < 0.25f) {
        f[k] = static_cast<float>(std::min(1.0 / w, 2.0));
      }
    }
    float* pw = partner->blobs()[partner_blob]->mutable_cpu_data();
    for (int k = 0; k < oc; ++k) {
      float* wk = W.mutable_cpu_data() + static_cast<size_t>(k) * per;
      for (int v = 0; v < per; ++v) wk[v] *= f[k];
      if (B != nullptr) B->mutable_cpu_data()[k] *= f[k];
      pw[k] /= f[k];
      if (partner_type == "BatchNorm") partner->blobs()[0]->mutable_cpu_data()[k] *= f[k];
    }
  }
}

void adjust_conv_scale_weight(Net<float>& net, const std::shared_ptr<dist_analysis>& analysis) {
  adjust_conv_scale_weight(net, [&analysis](int layer, int channel) {
    const dist_data& d = *analysis->dist.at(layer);
    // A NaN ratio falls into no band: the channel keeps its factor.
    if (channel >= d.channelNum) return std::nan("");
    return d.maxPerChannel[channel];
  });
}

std::string rmPostfix(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || dot <= base) return fileName;
  return fileName.substr(0, dot);
}

std::string getBasename(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string getDirname(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos ? fileName : fileName.substr(0, slash);
}

namespace {

// Layers a fold walks through: each passes every channel on unchanged in
// scale (an average keeps the range of its inputs).
bool IsFoldTransparent(Net<float>& net, int i) {
  static const std::set<std::string> kTransparent = {"ShapeAssign", "ReLU",    "Split",   "Dropout",
                                                     "Flatten",     "Reshape", "Squeeze", "Output"};
  const std::string type = TypeOf(net, i);
  if (kTransparent.count(type) != 0) return true;
  return type == "Pooling" &&
         net.layers()[i]->layer_param().pooling_param().pool() == qrn::PoolingParameter::AVE;
}

}  // namespace

void convertBatchnormType(Net<float>& net) {
  for (size_t i = 1; i < net.layers().size(); ++i) {
    auto& layer = *net.layers()[i];
    if (std::string(layer.type()) != "BatchNorm" || layer.stats_in_multiplier_form() != 0) continue;
    auto& blobs = layer.blobs();
    CHECK_EQ(blobs.size(), 3u) << "BatchNorm " << layer.layer_param().name() << " needs 3 blobs";
    float s = blobs[2]->cpu_data()[0];
    if (s != 0.0f) s = 1.0f / s;
    const float eps = layer.layer_param().batch_norm_param().eps();
    float* mean = blobs[0]->mutable_cpu_data();
    float* var = blobs[1]->mutable_cpu_data();
    const int n = blobs[0]->count();
    CHECK_EQ(blobs[1]->count(), n);
    for (int k = 0; k < n; ++k) {
      const float v = var[k] * s + eps;
      float root;
      qrn::qrn_powx(1, &v, 0.5f, &root);
      var[k] = 1.0f / root;
      mean[k] = mean[k] * (-s);
    }
    // The blobs now hold multipliers and offsets; the layer reads them so.
    layer.mutable_layer_param()->mutable_batch_norm_param()->set_stats_in_multiplier_form(true);
  }
}

void setFoldConcatWithConvLayer(Net<float>& net, std::vector<std::vector<int>>& conv_layers) {
  for (int i = 0; i < static_cast<int>(net.layers().size()); ++i) {
    if (TypeOf(net, i) != "Concat") continue;
    std::vector<int> list = {i};
    bool reaches_output = false, blocked = false;
    std::vector<int> queue;
    std::set<int> seen = {i};
    // get_next_layers appends and answers the list's new size.
    auto walk_on = [&](int k) {
      const size_t before = queue.size();
      get_next_layers(net, k, queue);
      if (queue.size() == before) reaches_output = true;
    };
    walk_on(i);
    for (size_t q = 0; q < queue.size() && !blocked; ++q) {
      const int k = queue[q];
      if (!seen.insert(k).second) continue;
      if (TypeOf(net, k) == "Convolution") {
        list.push_back(k);
      } else if (IsFoldTransparent(net, k)) {
        walk_on(k);
      } else {
        LOG(INFO) << TypeOf(net, k) << " is not a transparent layer type!";
        blocked = true;
      }
    }
    if (!reaches_output && !blocked && list.size() > 1)
      net.layers()[i]->mutable_layer_param()->mutable_concat_param()->set_fold_concat_with_conv(true);
    conv_layers.push_back(list);
  }
}

void foldConcatWithConvLayer(Net<float>& net, std::vector<std::vector<int>>& conv_layers) {
  for (const std::vector<int>& list : conv_layers) {
    if (list.empty()) continue;
    const int concat = list[0];
    const qrn::ConcatParameter& cp = net.layers()[concat]->layer_param().concat_param();
    if (!cp.fold_concat_with_conv()) continue;
    const auto& bottoms = net.bottom_vecs()[concat];
    CHECK(!bottoms.empty() && !net.top_vecs()[concat].empty());
    const int axis = cp.has_concat_dim() ? static_cast<int>(cp.concat_dim())
                                         : bottoms[0]->CanonicalAxisIndex(cp.axis());
    const float th_top = static_cast<float>(net.top_vecs()[concat][0]->thresHold());
    std::vector<float> factor;
    for (const Blob<float>* bottom : bottoms) {
      const float th_bottom = static_cast<float>(bottom->thresHold());
      const float scale = th_bottom / th_top;
      LOG(INFO) << " thBottom:" << th_bottom << " thTop:" << th_top << " Scale:" << scale;
      const int channels = bottom->shape(axis);
      LOG(INFO) << "in_chn:" << channels;
      factor.insert(factor.end(), channels, scale);
    }
    for (size_t j = 1; j < list.size(); ++j) {
      Blob<float>& w = *net.layers()[list[j]]->blobs()[0];
      CHECK_EQ(w.num_axes(), 4);
      CHECK_EQ(w.shape(axis), net.top_vecs()[concat][0]->shape(axis));
      LOG(INFO) << " weight_shape_vec:" << "   " << w.shape_string();
      LOG(INFO) << "Before:" << findMaxabs(w.cpu_data(), w.count());
      const int outer = w.count(0, axis), along = w.shape(axis), inner = w.count(axis + 1);
      float* v = w.mutable_cpu_data();
      for (int o = 0; o < outer; ++o)
        for (int a = 0; a < along; ++a)
          for (int in = 0; in < inner; ++in) v[(o * along + a) * inner + in] *= factor[a];
      LOG(INFO) << "After :" << findMaxabs(w.cpu_data(), w.count());
    }
  }
}
