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
  // Shapes the tops from the bottoms (and the definition) without computing.
  void ReshapeOnly(const BlobVec& bottom, const BlobVec& top) { Reshape(bottom, top); }
  // The forward of an 8-bit run (mode INT8), from the calibration fields of
  // the layer's definition and its fixed-point parameter blobs:
  // - a layer marked forward_with_float, or one that only computes in float,
  //   reads its 8-bit inputs as floats (value x scaleConvertBackToFloat_input)
  //   and hands on floats when output_is_float, else 8-bit values in the
  //   scale 128 / th_top;
  // - a layer without inputs (a data layer) quantizes its first top into
  //   8 bits (signed) unless output_is_float; its other tops stay float;
  // - a layer that only moves values runs its float forward over the storage
  //   and passes the input's kind and sign on;
  // - the others run Forward_int8.
  void ForwardInt8(const BlobVec& bottom, const BlobVec& top);

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
  // The fixed-point computation; the default ends the process naming the
  // layer (its type has no 8-bit form).
  virtual void Forward_int8(const BlobVec& bottom, const BlobVec& top);
  // Whether the float forward only copies values in storage order (so it
  // moves 8-bit values just as well).
  virtual bool MovesValuesOnly() const { return false; }
  // Whether the layer computes in float even in an 8-bit run.
  virtual bool ComputesInFloat() const { return false; }

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
