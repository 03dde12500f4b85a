// A net: layers in definition order wired by blob names.
//
// Bottoms and tops with the same name are one blob object; a layer whose top
// repeats one of its bottoms works in place.  A blob read by more than one
// layer gets a "Split" layer after its producer, one copy per reader.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qrn.pb.h"
#include "qrn/blob.hpp"
#include "qrn/layer.hpp"

namespace qrn {

template <typename Dtype>
class Net {
 public:
  // Layers are filtered by param.state() (phase TEST unless set).
  explicit Net(const NetParameter& param);
  Net(const std::string& param_file, Phase phase, int level = 0,
      const std::vector<std::string>* stages = nullptr);

  Net(const Net&) = delete;
  Net& operator=(const Net&) = delete;

  // Runs every layer once; returns the output blobs.  loss, when given,
  // receives 0 (no layer here computes a loss).
  const std::vector<Blob<Dtype>*>& Forward(Dtype* loss = nullptr);
  // Runs layers start..end inclusive.
  void ForwardFromTo(int start, int end);
  void ForwardFrom(int start) { ForwardFromTo(start, static_cast<int>(layers_.size()) - 1); }
  void ForwardTo(int end) { ForwardFromTo(0, end); }
  // Shapes every blob anew from the layers' definitions, in layer order,
  // without computing (after a change such as a data layer's batch size).
  void Reshape();

  // Loads parameter blobs by layer name from a binary net file; layers of the
  // file that the net lacks are skipped.
  void CopyTrainedLayersFrom(const std::string& path);
  void CopyTrainedLayersFrom(const NetParameter& param);

  // The definition (with the inserted Split layers) and every layer's
  // parameter blobs with their quantization state.
  void ToProto(NetParameter* param, bool write_diff = false) const;

  const std::string& name() const { return name_; }
  Phase phase() const { return phase_; }
  const std::vector<std::shared_ptr<Layer<Dtype>>>& layers() const { return layers_; }
  const std::vector<std::string>& layer_names() const { return layer_names_; }
  const std::vector<std::vector<Blob<Dtype>*>>& bottom_vecs() const { return bottom_vecs_; }
  const std::vector<std::vector<Blob<Dtype>*>>& top_vecs() const { return top_vecs_; }
  const std::vector<std::shared_ptr<Blob<Dtype>>>& blobs() const { return blobs_; }
  const std::vector<std::string>& blob_names() const { return blob_names_; }
  // Indices into blobs() of layer i's tops and bottoms.
  const std::vector<int>& top_ids(int i) const { return top_id_vecs_.at(i); }
  const std::vector<int>& bottom_ids(int i) const { return bottom_id_vecs_.at(i); }
  const std::vector<Blob<Dtype>*>& input_blobs() const { return net_input_blobs_; }
  const std::vector<Blob<Dtype>*>& output_blobs() const { return net_output_blobs_; }

  bool has_blob(const std::string& name) const { return blob_names_index_.count(name) != 0; }
  std::shared_ptr<Blob<Dtype>> blob_by_name(const std::string& name) const;
  bool has_layer(const std::string& name) const { return layer_names_index_.count(name) != 0; }
  std::shared_ptr<Layer<Dtype>> layer_by_name(const std::string& name) const;

  // Helpers of the construction, exposed for tests and tools.
  static bool StateMeetsRule(const NetState& state, const NetStateRule& rule,
                             const std::string& layer_name);
  static void FilterNet(const NetParameter& param, NetParameter* filtered);
  static void InsertSplits(const NetParameter& param, NetParameter* split_param);

 private:
  void Init(const NetParameter& param);

  std::string name_;
  Phase phase_ = TEST;
  NetParameter net_param_;  // filtered, with Split layers; layers' blobs empty
  std::vector<std::shared_ptr<Layer<Dtype>>> layers_;
  std::vector<std::string> layer_names_;
  std::map<std::string, int> layer_names_index_;
  std::vector<std::shared_ptr<Blob<Dtype>>> blobs_;
  std::vector<std::string> blob_names_;
  std::map<std::string, int> blob_names_index_;
  std::vector<std::vector<Blob<Dtype>*>> bottom_vecs_, top_vecs_;
  std::vector<std::vector<int>> bottom_id_vecs_, top_id_vecs_;
  std::vector<Blob<Dtype>*> net_input_blobs_, net_output_blobs_;
};

}  // namespace qrn
