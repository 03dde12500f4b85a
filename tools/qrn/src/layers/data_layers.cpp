// Data layers: "DummyData" (constant or seeded random values),
// "ImageData" (images listed in a text file) and "Data" (images and labels
// of IDX files).
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/filler.hpp"

namespace qrn {
namespace {

class DummyDataLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "DummyData"; }

 protected:
  int ExactNumBottomBlobs() const override { return 0; }
  int MinTopBlobs() const override { return 1; }

  void LayerSetUp(const BlobVec&, const BlobVec& top) override {
    const auto& p = layer_param_.dummy_data_param();
    const int nt = static_cast<int>(top.size());
    QRN_LAYER_CHECK(p.shape_size() == 1 || p.shape_size() == nt)
        << "needs one shape, or one per top (" << nt << "), has " << p.shape_size();
    QRN_LAYER_CHECK(p.data_filler_size() <= 1 || p.data_filler_size() == nt)
        << "needs at most one filler, or one per top (" << nt << "), has " << p.data_filler_size();
    rng_.seed(Qrn::Get().random_seed() + p.seed() + NameHash(layer_param_.name()));
    for (int i = 0; i < nt; ++i) {
      top[i]->Reshape(p.shape(p.shape_size() == 1 ? 0 : i));
      const FillerParameter f = filler(i);
      if (f.type() == "constant") FillBlob(f, &rng_, top[i]);
    }
  }

  void Reshape(const BlobVec&, const BlobVec& top) override {
    const auto& p = layer_param_.dummy_data_param();
    for (size_t i = 0; i < top.size(); ++i) top[i]->Reshape(p.shape(p.shape_size() == 1 ? 0 : i));
  }

  // Random fillers draw new values on every pass.
  void Forward_cpu(const BlobVec&, const BlobVec& top) override {
    for (size_t i = 0; i < top.size(); ++i) {
      const FillerParameter f = filler(static_cast<int>(i));
      if (f.type() != "constant") FillBlob(f, &rng_, top[i]);
    }
  }

 private:
  FillerParameter filler(int top) const {
    const auto& p = layer_param_.dummy_data_param();
    if (p.data_filler_size() == 0) return FillerParameter();
    return p.data_filler(p.data_filler_size() == 1 ? 0 : top);
  }
  std::mt19937 rng_;
};

// An 8-bit image, channels interleaved.
struct Image {
  int width = 0, height = 0, channels = 0;
  std::vector<float> pixels;  // height * width * channels, values 0..255
};

bool ReadToken(std::istream& in, std::string* token) {
  token->clear();
  char c;
  while (in.get(c)) {
    if (c == '#') {
      std::string rest;
      std::getline(in, rest);
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      token->push_back(c);
      break;
    }
  }
  while (in.get(c)) {
    if (std::isspace(static_cast<unsigned char>(c))) return true;
    token->push_back(c);
  }
  return !token->empty();
}

// Reads binary (P5, P6) and plain (P2, P3) grey and colour maps; values are
// scaled to 0..255.  Returns an empty message on success.
std::string ReadPNM(const std::string& path, Image* image) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open";
  std::string magic, w, h, maxval;
  if (!ReadToken(in, &magic) || magic.size() != 2 || magic[0] != 'P') return "not a PGM/PPM file";
  const char kind = magic[1];
  if (kind != '2' && kind != '3' && kind != '5' && kind != '6') return "unsupported image kind " + magic;
  if (!ReadToken(in, &w) || !ReadToken(in, &h) || !ReadToken(in, &maxval)) return "truncated header";
  long width, height, maxv;
  try {
    width = std::stol(w);
    height = std::stol(h);
    maxv = std::stol(maxval);
  } catch (...) {
    return "bad header";
  }
  if (width <= 0 || height <= 0 || width > 65536 || height > 65536) return "bad size";
  if (maxv <= 0 || maxv > 65535) return "bad maximum value";
  image->width = static_cast<int>(width);
  image->height = static_cast<int>(height);
  image->channels = (kind == '3' || kind == '6') ? 3 : 1;
  const size_t n = static_cast<size_t>(width) * height * image->channels;
  image->pixels.assign(n, 0.0f);
  const float scale = 255.0f / static_cast<float>(maxv);
  if (kind == '5' || kind == '6') {
    const int bytes = maxv > 255 ? 2 : 1;
    std::vector<unsigned char> raw(n * bytes);
    if (!in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size())))
      return "truncated pixel data";
    for (size_t i = 0; i < n; ++i) {
      const long v = bytes == 2 ? (raw[2 * i] << 8 | raw[2 * i + 1]) : raw[i];
      image->pixels[i] = static_cast<float>(std::min(v, maxv)) * scale;
    }
  } else {
    std::string token;
    for (size_t i = 0; i < n; ++i) {
      if (!ReadToken(in, &token)) return "truncated pixel data";
      long v;
      try {
        v = std::stol(token);
      } catch (...) {
        return "bad pixel value";
      }
      image->pixels[i] = static_cast<float>(std::clamp(v, 0L, maxv)) * scale;
    }
  }
  return "";
}

// Bilinear sample of channel c at (y, x), edges clamped.
float Sample(const Image& img, int c, float y, float x) {
  y = std::clamp(y, 0.0f, static_cast<float>(img.height - 1));
  x = std::clamp(x, 0.0f, static_cast<float>(img.width - 1));
  const int y0 = static_cast<int>(y), x0 = static_cast<int>(x);
  const int y1 = std::min(y0 + 1, img.height - 1), x1 = std::min(x0 + 1, img.width - 1);
  const float fy = y - y0, fx = x - x0;
  auto at = [&](int yy, int xx) {
    return img.pixels[(static_cast<size_t>(yy) * img.width + xx) * img.channels + c];
  };
  return (1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) +
         fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1));
}

// Reads the images named in image_data_param.source, one "path [label]" per
// line, a batch per pass, wrapping around at the end of the list.  Values
// come out as (pixel - mean) * scale in the file's channel order (R, G, B for
// colour maps); grey images are repeated into three channels when is_color is
// set, colour images averaged into one when it is not.
class ImageDataLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "ImageData"; }

 protected:
  int ExactNumBottomBlobs() const override { return 0; }
  int MinTopBlobs() const override { return 1; }
  int MaxTopBlobs() const override { return 2; }

  void LayerSetUp(const BlobVec&, const BlobVec& top) override {
    const auto& p = layer_param_.image_data_param();
    const auto& t = layer_param_.transform_param();
    std::ifstream list(p.source());
    QRN_LAYER_CHECK(list) << "cannot open the image list " << p.source();
    std::string line;
    while (std::getline(list, line)) {
      std::istringstream fields(line);
      std::string path;
      if (!(fields >> path)) continue;
      int label = 0;
      fields >> label;
      lines_.emplace_back(p.root_folder() + path, label);
    }
    QRN_LAYER_CHECK(!lines_.empty()) << "the image list " << p.source() << " is empty";
    QRN_LAYER_CHECK(p.batch_size() > 0) << "batch_size must be positive";
    rng_.seed(Qrn::Get().random_seed() + NameHash(layer_param_.name()));
    if (p.shuffle()) std::shuffle(lines_.begin(), lines_.end(), rng_);
    channels_ = p.is_color() ? 3 : 1;
    Image first;
    Load(0, &first);
    height_ = p.new_height() > 0 ? static_cast<int>(p.new_height()) : first.height;
    width_ = p.new_width() > 0 ? static_cast<int>(p.new_width()) : first.width;
    QRN_LAYER_CHECK((p.new_height() > 0) == (p.new_width() > 0))
        << "new_height and new_width must be given together";
    const int crop = static_cast<int>(t.crop_size());
    QRN_LAYER_CHECK(crop <= height_ && crop <= width_)
        << "crop_size " << crop << " exceeds the image size " << height_ << "x" << width_;
    QRN_LAYER_CHECK(t.mean_value_size() == 0 || t.mean_value_size() == 1 ||
                    t.mean_value_size() == channels_)
        << "needs 0, 1 or " << channels_ << " mean values, has " << t.mean_value_size();
    Reshape({}, top);
  }

  void Reshape(const BlobVec&, const BlobVec& top) override {
    const int crop = static_cast<int>(layer_param_.transform_param().crop_size());
    const int batch = static_cast<int>(layer_param_.image_data_param().batch_size());
    top[0]->Reshape({batch, channels_, crop ? crop : height_, crop ? crop : width_});
    if (top.size() > 1) top[1]->Reshape({batch});
  }

  void Forward_cpu(const BlobVec&, const BlobVec& top) override {
    const auto& t = layer_param_.transform_param();
    const int batch = top[0]->num();
    const int out_h = top[0]->height(), out_w = top[0]->width();
    const int off_h = (height_ - out_h) / 2, off_w = (width_ - out_w) / 2;
    float* data = top[0]->mutable_cpu_data();
    for (int n = 0; n < batch; ++n) {
      Image img;
      Load(pos_, &img);
      const bool resize = img.height != height_ || img.width != width_;
      QRN_LAYER_CHECK(!resize || layer_param_.image_data_param().new_height() > 0)
          << "image " << lines_[pos_].first << " is " << img.height << "x" << img.width
          << ", the first one " << height_ << "x" << width_ << " (set new_height/new_width)";
      const float sy = static_cast<float>(img.height) / height_;
      const float sx = static_cast<float>(img.width) / width_;
      for (int c = 0; c < channels_; ++c) {
        const float mean = t.mean_value_size() == 0   ? 0.0f
                           : t.mean_value_size() == 1 ? t.mean_value(0)
                                                      : t.mean_value(c);
        for (int h = 0; h < out_h; ++h) {
          for (int w = 0; w < out_w; ++w) {
            const int y = h + off_h, x = w + off_w;
            float v;
            auto pixel = [&](int ch) {
              return resize ? Sample(img, ch, (y + 0.5f) * sy - 0.5f, (x + 0.5f) * sx - 0.5f)
                            : img.pixels[(static_cast<size_t>(y) * img.width + x) * img.channels + ch];
            };
            if (img.channels == channels_) {
              v = pixel(c);
            } else if (img.channels == 1) {
              v = pixel(0);
            } else {
              v = (pixel(0) + pixel(1) + pixel(2)) / 3.0f;
            }
            data[top[0]->offset(n, c, h, w)] = (v - mean) * t.scale();
          }
        }
      }
      if (top.size() > 1) top[1]->mutable_cpu_data()[n] = static_cast<float>(lines_[pos_].second);
      if (++pos_ == lines_.size()) {
        pos_ = 0;
        if (layer_param_.image_data_param().shuffle()) std::shuffle(lines_.begin(), lines_.end(), rng_);
      }
    }
  }

 private:
  void Load(size_t index, Image* img) {
    const std::string error = ReadPNM(lines_[index].first, img);
    QRN_LAYER_CHECK(error.empty()) << "cannot read image " << lines_[index].first << ": " << error;
  }

  std::vector<std::pair<std::string, int>> lines_;
  size_t pos_ = 0;
  int channels_ = 3, height_ = 0, width_ = 0;
  std::mt19937 rng_;
};

// An IDX file of unsigned bytes: its dimensions and values.
struct IdxArray {
  std::vector<int> dims;
  std::vector<unsigned char> values;
};

// Reads an IDX file of unsigned bytes, gzip-compressed or plain (zlib reads
// both).  Returns an empty message on success.
std::string ReadIdx(const std::string& path, IdxArray* out) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return "cannot open";
  std::vector<unsigned char> raw;
  unsigned char buf[1 << 16];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) raw.insert(raw.end(), buf, buf + n);
  const bool failed = n < 0;
  gzclose(f);
  if (failed) return "corrupt compressed data";
  if (raw.size() < 4 || raw[0] != 0 || raw[1] != 0) return "not an IDX file";
  if (raw[2] != 0x08) return "holds values other than unsigned bytes";
  const int ndim = raw[3];
  if (ndim < 1 || raw.size() < 4 + 4 * static_cast<size_t>(ndim)) return "truncated header";
  size_t count = 1;
  for (int d = 0; d < ndim; ++d) {
    const unsigned char* p = &raw[4 + 4 * d];
    const uint32_t v = static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    if (v == 0 || v > (1u << 30)) return "bad dimension";
    out->dims.push_back(static_cast<int>(v));
    count *= v;
    if (count > (size_t{1} << 32)) return "too large";
  }
  const size_t header = 4 + 4 * static_cast<size_t>(ndim);
  if (raw.size() - header != count)
    return "holds " + std::to_string(raw.size() - header) + " values, its header says " +
           std::to_string(count);
  out->values.assign(raw.begin() + static_cast<long>(header), raw.end());
  return "";
}

// Serves the images of an IDX file (N x H x W bytes) a batch per pass, as
// (pixel - mean) * scale in one channel, wrapping around at the end; the
// optional second top gets the labels of label_source.
class IdxDataLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Data"; }

 protected:
  int ExactNumBottomBlobs() const override { return 0; }
  int MinTopBlobs() const override { return 1; }
  int MaxTopBlobs() const override { return 2; }

  void LayerSetUp(const BlobVec&, const BlobVec& top) override {
    const auto& p = layer_param_.data_param();
    const auto& t = layer_param_.transform_param();
    QRN_LAYER_CHECK(p.batch_size() > 0) << "batch_size must be positive";
    QRN_LAYER_CHECK(t.crop_size() == 0 && !t.mirror()) << "supports scale and mean_value only";
    QRN_LAYER_CHECK(t.mean_value_size() <= 1)
        << "images have one channel; give at most one mean value, not " << t.mean_value_size();
    std::string error = ReadIdx(p.source(), &images_);
    QRN_LAYER_CHECK(error.empty()) << "cannot read images " << p.source() << ": " << error;
    QRN_LAYER_CHECK(images_.dims.size() == 3)
        << p.source() << " has " << images_.dims.size() << " dimensions, expected 3 (N, H, W)";
    if (top.size() > 1) {
      QRN_LAYER_CHECK(p.has_label_source()) << "a label top needs data_param.label_source";
      error = ReadIdx(p.label_source(), &labels_);
      QRN_LAYER_CHECK(error.empty()) << "cannot read labels " << p.label_source() << ": " << error;
      QRN_LAYER_CHECK(labels_.dims.size() == 1 && labels_.dims[0] >= images_.dims[0])
          << p.label_source() << " does not hold one label per image of " << p.source();
    }
    Reshape({}, top);
  }

  void Reshape(const BlobVec&, const BlobVec& top) override {
    const int batch = static_cast<int>(layer_param_.data_param().batch_size());
    top[0]->Reshape({batch, 1, images_.dims[1], images_.dims[2]});
    if (top.size() > 1) top[1]->Reshape({batch});
  }

  void Forward_cpu(const BlobVec&, const BlobVec& top) override {
    const auto& t = layer_param_.transform_param();
    const float mean = t.mean_value_size() == 1 ? t.mean_value(0) : 0.0f;
    const size_t image = static_cast<size_t>(images_.dims[1]) * images_.dims[2];
    const size_t num = static_cast<size_t>(images_.dims[0]);
    float* data = top[0]->mutable_cpu_data();
    for (int n = 0; n < top[0]->num(); ++n) {
      const unsigned char* src = images_.values.data() + pos_ * image;
      for (size_t k = 0; k < image; ++k)
        data[n * image + k] = (static_cast<float>(src[k]) - mean) * t.scale();
      if (top.size() > 1) top[1]->mutable_cpu_data()[n] = static_cast<float>(labels_.values[pos_]);
      if (++pos_ == num) pos_ = 0;
    }
  }

 private:
  IdxArray images_, labels_;
  size_t pos_ = 0;
};

}  // namespace

void RegisterDataLayers() {
  RegisterLayer<DummyDataLayer>("DummyData");
  RegisterLayer<ImageDataLayer>("ImageData");
  RegisterLayer<IdxDataLayer>("Data");
}

}  // namespace qrn
