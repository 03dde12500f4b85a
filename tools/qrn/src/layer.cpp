#include "qrn/layer.hpp"

#include "qrn/fixed_point.hpp"

namespace qrn {

template <typename Dtype>
Layer<Dtype>::Layer(const LayerParameter& param) : layer_param_(param) {
  for (int i = 0; i < param.blobs_size(); ++i) {
    blobs_.push_back(std::make_shared<Blob<Dtype>>());
    blobs_.back()->FromProto(param.blobs(i));
  }
  layer_param_.clear_blobs();
}

template <typename Dtype>
std::string Layer<Dtype>::where() const {
  return std::string(type()) + " layer '" + layer_param_.name() + "': ";
}

template <typename Dtype>
void Layer<Dtype>::ToProto(LayerParameter* param, bool write_diff) {
  param->Clear();
  param->CopyFrom(layer_param_);
  param->clear_blobs();
  for (const auto& blob : blobs_) blob->ToProto(param->add_blobs(), write_diff);
}

template <typename Dtype>
void Layer<Dtype>::SetUp(const BlobVec& bottom, const BlobVec& top) {
  const int nb = static_cast<int>(bottom.size());
  const int nt = static_cast<int>(top.size());
  if (ExactNumBottomBlobs() >= 0)
    QRN_LAYER_CHECK(nb == ExactNumBottomBlobs())
        << "takes " << ExactNumBottomBlobs() << " bottom blob(s), has " << nb;
  if (MinBottomBlobs() >= 0)
    QRN_LAYER_CHECK(nb >= MinBottomBlobs())
        << "takes at least " << MinBottomBlobs() << " bottom blob(s), has " << nb;
  if (MaxBottomBlobs() >= 0)
    QRN_LAYER_CHECK(nb <= MaxBottomBlobs())
        << "takes at most " << MaxBottomBlobs() << " bottom blob(s), has " << nb;
  if (ExactNumTopBlobs() >= 0)
    QRN_LAYER_CHECK(nt == ExactNumTopBlobs())
        << "produces " << ExactNumTopBlobs() << " top blob(s), has " << nt;
  if (MinTopBlobs() >= 0)
    QRN_LAYER_CHECK(nt >= MinTopBlobs())
        << "produces at least " << MinTopBlobs() << " top blob(s), has " << nt;
  if (MaxTopBlobs() >= 0)
    QRN_LAYER_CHECK(nt <= MaxTopBlobs())
        << "produces at most " << MaxTopBlobs() << " top blob(s), has " << nt;
  if (!AllowInPlace()) {
    for (auto* t : top)
      for (auto* b : bottom)
        QRN_LAYER_CHECK(t != b) << "cannot work in place";
  }
  LayerSetUp(bottom, top);
  Reshape(bottom, top);
}

template <typename Dtype>
void Layer<Dtype>::Forward(const BlobVec& bottom, const BlobVec& top) {
  Reshape(bottom, top);
  Forward_cpu(bottom, top);
}

namespace {

// Input k's factor from 8-bit values back to floats.
float InputScale(const LayerParameter& p, size_t k) {
  if (static_cast<int>(k) < p.scaleconvertbacktofloat_input_mul_size())
    return p.scaleconvertbacktofloat_input_mul(static_cast<int>(k));
  return p.scaleconvertbacktofloat_input();
}

// Quantizes the float values of a blob into its own 8-bit view (signed).
// Byte i lies at or before float i, so one increasing pass is safe.
void QuantizeInPlace(Blob<float>* blob, float threshold) {
  const float scale = static_cast<float>(128.0 / threshold);
  const float* x = blob->cpu_data();
  int8_t* q = blob->mutable_cpu_int8_data();
  for (int i = 0; i < blob->count(); ++i) q[i] = static_cast<int8_t>(QuantizeInt8(x[i], scale));
  blob->set_fixed_sign_type(BlobProto_FixedSignType_SIGNED);
  blob->set_holds_float(false);
}

}  // namespace

template <typename Dtype>
void Layer<Dtype>::Forward_int8(const BlobVec&, const BlobVec&) {
  LOG(FATAL) << where() << "has no 8-bit forward";
}

template <typename Dtype>
void Layer<Dtype>::ForwardInt8(const BlobVec& bottom, const BlobVec& top) {
  Reshape(bottom, top);
  const LayerParameter& p = layer_param_;
  if (p.forward_with_float() || ComputesInFloat()) {
    // Inputs as floats in blobs of their own, so that the 8-bit producers'
    // blobs keep their values.
    std::vector<std::unique_ptr<Blob<Dtype>>> owned;
    BlobVec in(bottom);
    for (size_t k = 0; k < bottom.size(); ++k) {
      if (bottom[k]->holds_float()) continue;
      owned.push_back(std::make_unique<Blob<Dtype>>(bottom[k]->shape()));
      const float scale = InputScale(p, k);
      Dtype* x = owned.back()->mutable_cpu_data();
      for (int i = 0; i < bottom[k]->count(); ++i) x[i] = static_cast<Dtype>(Int8At(*bottom[k], i)) * scale;
      in[k] = owned.back().get();
    }
    Reshape(in, top);
    Forward_cpu(in, top);
    for (size_t k = 0; k < top.size(); ++k) {
      if (p.output_is_float()) {
        top[k]->set_holds_float(true);
      } else {
        QuantizeInPlace(top[k], OutputThreshold(p, k));
      }
    }
  } else if (bottom.empty()) {
    Forward_cpu(bottom, top);
    for (auto* t : top) t->set_holds_float(true);
    if (!top.empty() && !p.output_is_float()) QuantizeInPlace(top[0], OutputThreshold(p, 0));
  } else if (MovesValuesOnly()) {
    Forward_cpu(bottom, top);
    for (auto* t : top) {
      t->set_holds_float(bottom[0]->holds_float());
      t->set_fixed_sign_type(bottom[0]->fixed_sign_type());
    }
  } else {
    for (size_t k = 0; k < bottom.size(); ++k)
      QRN_LAYER_CHECK(!bottom[k]->holds_float()) << "input " << k << " holds floats, the layer computes in 8 bits";
    Forward_int8(bottom, top);
    for (auto* t : top) t->set_holds_float(false);
  }
}

template class Layer<float>;

}  // namespace qrn
