#include "qrn/layer.hpp"

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

template class Layer<float>;

}  // namespace qrn
