// Base of every layer: its definition, parameter blobs and the set-up /
// forward contract.  Set-up checks shapes once (ending the process with a
// message naming the layer); forward only computes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "qrn.pb.h"
#include "qrn/blob.hpp"

namespace qrn {

template <typename Dtype>
class Layer {
 public:
  using BlobVec = std::vector<Blob<Dtype>*>;

  // Parameter blobs present in the definition are loaded here.
  explicit Layer(const LayerParameter& param);
  virtual ~Layer() = default;

  // Writes the definition with the current parameter blobs.
  virtual void ToProto(LayerParameter* param, bool write_diff = false);
  virtual const char* type() const { return ""; }
  // Only meaningful for batch normalisation: non-zero when blob 1 holds the
  // per-channel multipliers and blob 0 the offsets.
  virtual int stats_in_multiplier_form() const { return 0; }

  // Checks the blob counts, runs LayerSetUp and Reshape.
  void SetUp(const BlobVec& bottom, const BlobVec& top);
  // Reshape then compute.
  void Forward(const BlobVec& bottom, const BlobVec& top);

  const LayerParameter& layer_param() const { return layer_param_; }
  LayerParameter* mutable_layer_param() { return &layer_param_; }
  const std::string& name() const { return layer_param_.name(); }
  std::vector<std::shared_ptr<Blob<Dtype>>>& blobs() { return blobs_; }
  const std::vector<std::shared_ptr<Blob<Dtype>>>& blobs() const { return blobs_; }

  // Whether the top may be the same blob as the bottom.
  virtual bool AllowInPlace() const { return true; }

 protected:
  virtual void LayerSetUp(const BlobVec& bottom, const BlobVec& top) {
    (void)bottom;
    (void)top;
  }
  virtual void Reshape(const BlobVec& bottom, const BlobVec& top) = 0;
  virtual void Forward_cpu(const BlobVec& bottom, const BlobVec& top) = 0;

  // Blob-count constraints; -1 means no constraint.
  virtual int ExactNumBottomBlobs() const { return -1; }
  virtual int MinBottomBlobs() const { return -1; }
  virtual int MaxBottomBlobs() const { return -1; }
  virtual int ExactNumTopBlobs() const { return -1; }
  virtual int MinTopBlobs() const { return -1; }
  virtual int MaxTopBlobs() const { return -1; }

  // Prefix for failure messages: "<type> layer '<name>': ".
  std::string where() const;

  LayerParameter layer_param_;
  std::vector<std::shared_ptr<Blob<Dtype>>> blobs_;
};

// Fails the process with a message naming the layer.
#define QRN_LAYER_CHECK(cond) CHECK(cond) << where()

}  // namespace qrn
