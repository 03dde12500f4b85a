#include "qrn/net.hpp"

#include <algorithm>
#include <set>
#include <sstream>
#include <utility>

#include <glog/logging.h>

#include "qrn/common.hpp"
#include "qrn/io.hpp"
#include "qrn/layer_factory.hpp"

namespace qrn {

template <typename Dtype>
Net<Dtype>::Net(const NetParameter& param) {
  Init(param);
}

template <typename Dtype>
Net<Dtype>::Net(const std::string& param_file, Phase phase, int level,
                const std::vector<std::string>* stages) {
  NetParameter param;
  ReadNetParamsFromTextFileOrDie(param_file, &param);
  param.mutable_state()->set_phase(phase);
  param.mutable_state()->set_level(level);
  param.mutable_state()->clear_stage();
  if (stages != nullptr)
    for (const auto& s : *stages) param.mutable_state()->add_stage(s);
  Init(param);
}

template <typename Dtype>
bool Net<Dtype>::StateMeetsRule(const NetState& state, const NetStateRule& rule,
                                const std::string& layer_name) {
  (void)layer_name;
  if (rule.has_phase() && rule.phase() != state.phase()) return false;
  if (rule.has_min_level() && state.level() < rule.min_level()) return false;
  if (rule.has_max_level() && state.level() > rule.max_level()) return false;
  for (const auto& stage : rule.stage())
    if (std::find(state.stage().begin(), state.stage().end(), stage) == state.stage().end())
      return false;
  for (const auto& stage : rule.not_stage())
    if (std::find(state.stage().begin(), state.stage().end(), stage) != state.stage().end())
      return false;
  return true;
}

template <typename Dtype>
void Net<Dtype>::FilterNet(const NetParameter& param, NetParameter* filtered) {
  const NetState& state = param.state();
  filtered->CopyFrom(param);
  filtered->clear_layer();
  for (const auto& layer : param.layer()) {
    CHECK(layer.include_size() == 0 || layer.exclude_size() == 0)
        << "layer '" << layer.name() << "' has both include and exclude rules";
    bool keep = layer.include_size() == 0;
    for (const auto& rule : layer.exclude())
      if (StateMeetsRule(state, rule, layer.name())) keep = false;
    for (const auto& rule : layer.include())
      if (StateMeetsRule(state, rule, layer.name())) keep = true;
    if (keep) filtered->add_layer()->CopyFrom(layer);
  }
}

namespace {

// A version of a blob: the (layer, top) that wrote it; layer -1 is a net input.
using Version = std::pair<int, int>;

std::string SplitLayerName(const std::string& layer, const std::string& blob, int top) {
  std::ostringstream s;
  s << blob << "_" << layer << "_" << top << "_split";
  return s.str();
}

std::string SplitTopName(const std::string& layer, const std::string& blob, int top, int k) {
  std::ostringstream s;
  s << SplitLayerName(layer, blob, top) << "_" << k;
  return s.str();
}

}  // namespace

template <typename Dtype>
void Net<Dtype>::InsertSplits(const NetParameter& param, NetParameter* split_param) {
  // Count the readers of each blob version.
  std::map<std::string, Version> latest;
  std::map<Version, int> readers;
  for (int i = 0; i < param.input_size(); ++i) latest[param.input(i)] = {-1, i};
  for (int i = 0; i < param.layer_size(); ++i) {
    const LayerParameter& layer = param.layer(i);
    for (const auto& bottom : layer.bottom()) {
      auto it = latest.find(bottom);
      CHECK(it != latest.end()) << "Unknown bottom blob '" << bottom << "' (layer '"
                                << layer.name() << "')";
      ++readers[it->second];
    }
    for (int j = 0; j < layer.top_size(); ++j) latest[layer.top(j)] = {i, j};
  }

  // Rewrite: readers of a shared version read their own copy.
  split_param->CopyFrom(param);
  split_param->clear_layer();
  latest.clear();
  std::map<Version, std::string> actual;  // name each version has in the rewrite
  std::map<Version, int> next_copy;
  auto add_split = [&](const Version& v, const std::string& layer_name,
                       const std::string& blob, const std::string& actual_name) {
    const int n = readers.count(v) ? readers[v] : 0;
    if (n <= 1) return;
    LayerParameter* split = split_param->add_layer();
    split->set_name(SplitLayerName(layer_name, blob, v.second));
    split->set_type("Split");
    split->add_bottom(actual_name);
    for (int k = 0; k < n; ++k) split->add_top(SplitTopName(layer_name, blob, v.second, k));
  };
  for (int i = 0; i < param.input_size(); ++i) {
    const Version v{-1, i};
    latest[param.input(i)] = v;
    actual[v] = param.input(i);
    add_split(v, "input", param.input(i), param.input(i));
  }
  for (int i = 0; i < param.layer_size(); ++i) {
    const LayerParameter& src = param.layer(i);
    LayerParameter* layer = split_param->add_layer();
    layer->CopyFrom(src);
    std::map<std::string, std::string> renamed_bottoms;
    for (int j = 0; j < src.bottom_size(); ++j) {
      const Version v = latest.at(src.bottom(j));
      std::string name = actual.at(v);
      if (readers[v] > 1) {
        const std::string producer = v.first < 0 ? "input" : param.layer(v.first).name();
        const std::string blob = v.first < 0 ? param.input(v.second) : param.layer(v.first).top(v.second);
        name = SplitTopName(producer, blob, v.second, next_copy[v]++);
      }
      layer->set_bottom(j, name);
      renamed_bottoms[src.bottom(j)] = name;
    }
    for (int j = 0; j < src.top_size(); ++j) {
      const Version v{i, j};
      // An in-place top follows its bottom's new name.
      auto it = renamed_bottoms.find(src.top(j));
      const std::string name = it != renamed_bottoms.end() ? it->second : src.top(j);
      layer->set_top(j, name);
      latest[src.top(j)] = v;
      actual[v] = name;
    }
    for (int j = 0; j < src.top_size(); ++j)
      add_split({i, j}, src.name(), src.top(j), layer->top(j));
  }
}

template <typename Dtype>
void Net<Dtype>::Init(const NetParameter& in_param) {
  CHECK_EQ(in_param.layers_size(), 0)
      << "net '" << in_param.name() << "' uses the old-style 'layers' list; use 'layer'";
  NetParameter filtered;
  FilterNet(in_param, &filtered);
  phase_ = filtered.state().phase();
  InsertSplits(filtered, &net_param_);
  name_ = net_param_.name();

  CHECK(net_param_.input_shape_size() == 0 || net_param_.input_shape_size() == net_param_.input_size())
      << "net '" << name_ << "': " << net_param_.input_size() << " inputs but "
      << net_param_.input_shape_size() << " input shapes";
  std::set<std::string> unconsumed;
  for (int i = 0; i < net_param_.input_size(); ++i) {
    const std::string& name = net_param_.input(i);
    CHECK(!blob_names_index_.count(name)) << "net input '" << name << "' given twice";
    auto blob = std::make_shared<Blob<Dtype>>();
    if (net_param_.input_shape_size() > 0) blob->Reshape(net_param_.input_shape(i));
    blob_names_index_[name] = static_cast<int>(blobs_.size());
    blobs_.push_back(blob);
    blob_names_.push_back(name);
    net_input_blobs_.push_back(blob.get());
    unconsumed.insert(name);
  }

  // Name -> blob id of the latest blob of that name.
  std::map<std::string, int> available = blob_names_index_;
  const int num_layers = net_param_.layer_size();
  bottom_vecs_.resize(num_layers);
  top_vecs_.resize(num_layers);
  bottom_id_vecs_.resize(num_layers);
  top_id_vecs_.resize(num_layers);
  for (int i = 0; i < num_layers; ++i) {
    LayerParameter* lp = net_param_.mutable_layer(i);
    CHECK(!layer_names_index_.count(lp->name()))
        << "two layers are named '" << lp->name() << "'";
    layers_.push_back(LayerRegistry<Dtype>::CreateLayer(*lp));
    lp->clear_blobs();
    layer_names_.push_back(lp->name());
    layer_names_index_[lp->name()] = i;
    for (const auto& bottom : lp->bottom()) {
      auto it = available.find(bottom);
      CHECK(it != available.end()) << "Unknown bottom blob '" << bottom << "' (layer '"
                                   << lp->name() << "')";
      bottom_vecs_[i].push_back(blobs_[it->second].get());
      bottom_id_vecs_[i].push_back(it->second);
      unconsumed.erase(bottom);
    }
    for (const auto& top : lp->top()) {
      const bool in_place =
          std::find(lp->bottom().begin(), lp->bottom().end(), top) != lp->bottom().end();
      int id;
      if (in_place) {
        id = available.at(top);
      } else {
        CHECK(!blob_names_index_.count(top))
            << "top blob '" << top << "' of layer '" << lp->name()
            << "' is already produced by another layer";
        id = static_cast<int>(blobs_.size());
        blobs_.push_back(std::make_shared<Blob<Dtype>>());
        blob_names_.push_back(top);
        blob_names_index_[top] = id;
        available[top] = id;
      }
      top_vecs_[i].push_back(blobs_[id].get());
      top_id_vecs_[i].push_back(id);
      unconsumed.insert(top);
    }
    layers_[i]->SetUp(bottom_vecs_[i], top_vecs_[i]);
    for (size_t j = 0; j < top_vecs_[i].size(); ++j)
      VLOG(1) << "Top shape of " << lp->name() << ": " << top_vecs_[i][j]->shape_string();
  }
  for (const auto& name : blob_names_)
    if (unconsumed.count(name)) net_output_blobs_.push_back(blobs_[blob_names_index_[name]].get());
  LOG(INFO) << "Net '" << name_ << "' built: " << layers_.size() << " layers, " << blobs_.size()
            << " blobs.";
}

template <typename Dtype>
const std::vector<Blob<Dtype>*>& Net<Dtype>::Forward(Dtype* loss) {
  ForwardFrom(0);
  if (loss != nullptr) *loss = Dtype(0);
  return net_output_blobs_;
}

template <typename Dtype>
void Net<Dtype>::Reshape() {
  for (size_t i = 0; i < layers_.size(); ++i) layers_[i]->ReshapeOnly(bottom_vecs_[i], top_vecs_[i]);
}

template <typename Dtype>
void Net<Dtype>::ForwardFromTo(int start, int end) {
  CHECK_GE(start, 0);
  CHECK_LT(end, static_cast<int>(layers_.size()));
  const bool int8 = Qrn::Get().mode() == Qrn::INT8;
  for (int i = start; i <= end; ++i) {
    if (int8) {
      layers_[i]->ForwardInt8(bottom_vecs_[i], top_vecs_[i]);
    } else {
      layers_[i]->Forward(bottom_vecs_[i], top_vecs_[i]);
    }
  }
}

namespace {

// An 8-bit model carries each layer's whole definition with its calibration
// fields (thresholds, shifts, flags); the layer takes them over and keeps the
// name, type and blob wiring of the definition it was built from.
void AdoptCalibration(const LayerParameter& source, LayerParameter* target) {
  LayerParameter merged(source);
  merged.clear_blobs();
  merged.set_name(target->name());
  merged.set_type(target->type());
  *merged.mutable_bottom() = target->bottom();
  *merged.mutable_top() = target->top();
  *merged.mutable_include() = target->include();
  *merged.mutable_exclude() = target->exclude();
  target->Swap(&merged);
}

}  // namespace

template <typename Dtype>
void Net<Dtype>::CopyTrainedLayersFrom(const std::string& path) {
  NetParameter param;
  ReadNetParamsFromBinaryFileOrDie(path, &param);
  CopyTrainedLayersFrom(param);
}

template <typename Dtype>
void Net<Dtype>::CopyTrainedLayersFrom(const NetParameter& param) {
  for (const auto& source : param.layer()) {
    auto it = layer_names_index_.find(source.name());
    if (it == layer_names_index_.end()) {
      LOG(INFO) << "Ignoring source layer " << source.name();
      continue;
    }
    if (Qrn::Get().mode() == Qrn::INT8) AdoptCalibration(source, layers_[it->second]->mutable_layer_param());
    auto& target = layers_[it->second]->blobs();
    CHECK_EQ(static_cast<int>(target.size()), source.blobs_size())
        << "Incompatible number of blobs for layer " << source.name();
    for (int j = 0; j < source.blobs_size(); ++j) {
      if (!target[j]->ShapeEquals(source.blobs(j))) {
        Blob<Dtype> shape_of_source;
        shape_of_source.Reshape(source.blobs(j).shape());
        LOG(FATAL) << "Cannot copy blob " << j << " of layer '" << source.name()
                   << "': shape mismatch. Source shape is " << shape_of_source.shape_string()
                   << "; target shape is " << target[j]->shape_string();
      }
      target[j]->FromProto(source.blobs(j), false);
    }
  }
}

template <typename Dtype>
void Net<Dtype>::ToProto(NetParameter* param, bool write_diff) const {
  param->Clear();
  param->CopyFrom(net_param_);
  param->clear_layer();
  for (const auto& layer : layers_) layer->ToProto(param->add_layer(), write_diff);
}

template <typename Dtype>
std::shared_ptr<Blob<Dtype>> Net<Dtype>::blob_by_name(const std::string& name) const {
  auto it = blob_names_index_.find(name);
  if (it == blob_names_index_.end()) return nullptr;
  return blobs_[it->second];
}

template <typename Dtype>
std::shared_ptr<Layer<Dtype>> Net<Dtype>::layer_by_name(const std::string& name) const {
  auto it = layer_names_index_.find(name);
  if (it == layer_names_index_.end()) return nullptr;
  return layers_[it->second];
}

template class Net<float>;

}  // namespace qrn
