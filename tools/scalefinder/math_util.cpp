#include "math_util.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <glog/logging.h>

#include "qrn/math.hpp"

using qrn::Blob;

// ---- maxima and histograms --------------------------------------------------

template <typename T>
float findMaxabs(const T* pSrcData, int len) {
  // Eight running maxima combined at the end: a NaN never raises one, and
  // the largest of the other values does not depend on the order.
  float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int i = 0;
  for (; i + 8 <= len; i += 8)
    for (int k = 0; k < 8; ++k) {
      const float v = std::fabs(static_cast<float>(pSrcData[i + k]));
      lane[k] = v > lane[k] ? v : lane[k];
    }
  float m = 0.0f;
  for (; i < len; ++i) {
    const float v = std::fabs(static_cast<float>(pSrcData[i]));
    if (v > m) m = v;
  }
  for (float v : lane)
    if (v > m) m = v;
  if (m == 0.0f) LOG(ERROR) << "findMaxabs meet fmax == 0";
  return m;
}

template <typename T>
void findMaxabsPerChannel(const T* pSrcData, double* maxPerChannel, int N, int C, int H, int W,
                          int c_stride) {
  if (c_stride < 0) c_stride = C;
  const size_t plane = static_cast<size_t>(H) * W;
  for (int n = 0; n < N; ++n) {
    for (int c = 0; c < C; ++c) {
      const T* p = pSrcData + (static_cast<size_t>(n) * c_stride + c) * plane;
      float m = 0.0f;
      for (size_t k = 0; k < plane; ++k) {
        const float v = std::fabs(static_cast<float>(p[k]));
        if (v > m) m = v;
      }
      maxPerChannel[c] = std::max(maxPerChannel[c], static_cast<double>(m));
    }
  }
}

namespace {

typedef float Floats4 __attribute__((vector_size(16)));
typedef int32_t Ints4 __attribute__((vector_size(16)));

// Largest |value| of n values (0 when none; a NaN never raises it), in
// eight running maxima four at a time: the largest value does not depend
// on the order, and eight lanes keep the comparisons from waiting for each
// other.
float PlaneMaxabs(const float* p, size_t n) {
  const Ints4 abs_mask = Ints4{} + 0x7fffffff;
  Floats4 m0 = {}, m1 = {};
  auto raise = [&abs_mask](Floats4 m, const float* q) {
    Floats4 v;
    std::memcpy(&v, q, sizeof v);
    const Floats4 a = (Floats4)((Ints4)v & abs_mask);
    const Ints4 gt = a > m;  // false for a NaN
    return (Floats4)(((Ints4)a & gt) | ((Ints4)m & ~gt));
  };
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    m0 = raise(m0, p + k);
    m1 = raise(m1, p + k + 4);
  }
  float m = 0.0f;
  for (int l = 0; l < 4; ++l) {
    m = m0[l] > m ? m0[l] : m;
    m = m1[l] > m ? m1[l] : m;
  }
  for (; k < n; ++k) {
    const float v = std::fabs(p[k]);
    m = v > m ? v : m;
  }
  return m;
}

}  // namespace

float findMaxabsWithChannels(const Blob<float>& blob, double* maxPerChannel, int firstSample, int endSample) {
  const int N = blob.shape(0), c_stride = blob.shape(1);
  if (blob.count() == 0) return 0.0f;
  const int C = std::min(c_stride, kMaxStatChannels);
  const size_t plane = static_cast<size_t>(blob.count()) / (static_cast<size_t>(N) * c_stride);
  endSample = std::min(endSample, N);
  float layer = 0.0f;
  for (int n = firstSample; n < endSample; ++n)
    for (int c = 0; c < c_stride; ++c) {
      const float m = PlaneMaxabs(blob.cpu_data() + (static_cast<size_t>(n) * c_stride + c) * plane, plane);
      if (c < C) maxPerChannel[c] = std::max(maxPerChannel[c], static_cast<double>(m));
      layer = m > layer ? m : layer;
    }
  return layer;
}

template float findMaxabs<float>(const float*, int);
template float findMaxabs<int>(const int*, int);
template void findMaxabsPerChannel<float>(const float*, double*, int, int, int, int, int);
template void findMaxabsPerChannel<int>(const int*, double*, int, int, int, int, int);

int histogramBin(float x, double w, int bins) {
  if (std::isnan(x)) return -1;
  if (!(w > 0.0)) return 0;
  const double a = std::fabs(static_cast<double>(x));
  if (std::isinf(a)) return bins - 1;
  const double b = std::floor(a / w + 0.5);
  if (b >= bins) return bins - 1;
  if (b < 0) return 0;
  return static_cast<int>(b);
}

namespace {

double BinWidthOf(double max, int bins) { return max / (bins - 1); }

// How the values of one histogram are binned. histogramBin is the
// definition (in double, rounding |x| / w to the nearest bin); most values
// take a float form of it: t = |x| * (1 / w) + 0.5 in float lies within
// bins * 2^-22 of the exact |x| / w + 0.5, so its floor is the exact bin
// unless t lies within bins * 2^-21 of an integer or beyond the last bin,
// where the exact form decides.
struct Binning {
  enum Mode { kFloat, kAllToZero, kExact };
  Mode mode;
  double w;
  int bins;
  float inv, limit, tol;
};

Binning BinningOf(double w, int bins) {
  Binning b{Binning::kFloat, w, bins, 0.0f, static_cast<float>(bins), bins * 0x1p-21f};
  if (!(w > 0.0)) {
    b.mode = Binning::kAllToZero;  // histogramBin's rule for a width that is not positive
  } else {
    const double inv = 1.0 / w;
    b.inv = static_cast<float>(inv);
    if (!std::isfinite(b.inv) || !(b.inv >= std::numeric_limits<float>::min()) || !(b.tol < 0.25f))
      b.mode = Binning::kExact;
  }
  return b;
}

// Values binned per chunk: first a pass the compiler vectorises, then the
// counting.
constexpr int kChunk = 256;
// Codes of a chunk's values beside their bins.
constexpr int32_t kZero = -1;   // an exact zero: bin 0, counted apart
constexpr int32_t kDecide = -2; // the exact form decides

// The float form of one value's bin: its code (a bin, kZero or kDecide).
int32_t FloatBin(float x, const Binning& b) {
  const float a = std::fabs(x);
  if (a == 0.0f) return kZero;
  const float t = a * b.inv + 0.5f;
  if (!(t < b.limit)) return kDecide;  // a NaN, or past the last bin
  const int32_t f = static_cast<int32_t>(t);  // t >= 0.5: truncation is the floor
  const float d = t - static_cast<float>(f);
  return d > b.tol && d < 1.0f - b.tol ? f : kDecide;
}

// FloatBin on four values at a time (the compiler's generic vectors, Floats4
// and Ints4 above: SSE2 on x86-64, scalar code where a target has none).
// Codes of n <= kChunk values into bin[]; adds the exact zeros to *zeros and
// returns how many values the exact form must decide.
int FloatBins(const float* x, int n, const Binning& b, int32_t* bin, int64_t* zeros) {
  int zero = 0, decide = 0;
  int i = 0;
  if (b.mode == Binning::kFloat) {
    const Ints4 abs_mask = Ints4{} + 0x7fffffff;
    const Floats4 half = Floats4{} + 0.5f;
    Ints4 zero4 = {}, decide4 = {};
    for (; i + 4 <= n; i += 4) {
      Floats4 v;
      std::memcpy(&v, x + i, sizeof v);
      const Floats4 a = (Floats4)((Ints4)v & abs_mask);
      const Floats4 t = a * b.inv + 0.5f;
      const Ints4 in_range = t < b.limit;  // all ones, or 0 for a NaN or past the last bin
      const Floats4 tc = (Floats4)(((Ints4)t & in_range) | ((Ints4)half & ~in_range));
      const Ints4 f = __builtin_convertvector(tc, Ints4);
      const Floats4 d = tc - __builtin_convertvector(f, Floats4);
      const Ints4 ok = in_range & (d > b.tol) & (d < 1.0f - b.tol);
      const Ints4 z = a == 0.0f;
      const Ints4 code = (z & kZero) | (~z & ((f & ok) | (~ok & kDecide)));
      std::memcpy(bin + i, &code, sizeof code);
      zero4 -= z;
      decide4 += ~(z | ok) & 1;
    }
    for (int k = 0; k < 4; ++k) {
      zero += zero4[k];
      decide += decide4[k];
    }
    for (; i < n; ++i) {
      bin[i] = FloatBin(x[i], b);
      zero += bin[i] == kZero;
      decide += bin[i] == kDecide;
    }
  } else {
    for (; i < n; ++i) {
      const bool z = x[i] == 0.0f;
      bin[i] = z ? kZero : kDecide;
      zero += z;
      decide += !z;
    }
  }
  *zeros += zero;
  return decide;
}

// The values of a chunk the exact form decides, added to hist.
void CountDecided(const float* x, const int32_t* bin, int n, const Binning& b, int* hist) {
  for (int i = 0; i < n; ++i) {
    if (bin[i] != kDecide) continue;
    const int k = b.mode == Binning::kAllToZero ? (std::isnan(x[i]) ? -1 : 0) : histogramBin(x[i], b.w, b.bins);
    if (k >= 0) ++hist[k];
  }
}

// Counting a chunk's codes without branches: element i of a chunk adds 1 to
// rows[slot][k & -in], in = (k >= 0), slot = (i % kShadows) + kShadows * !in.
// The first kShadows slots are histogram rows (the same row repeated, or
// shadow rows summed afterwards: runs of values in one bin then spread
// their increments over several counters instead of chaining them through
// one); the others are single dummy counters that take the zeros and the
// values left to the exact form (index 0 of a dummy counter).
constexpr int kShadows = 4;

inline int Slot(int i, int32_t k) { return (i & (kShadows - 1)) | (static_cast<int>(k < 0) * kShadows); }
inline int32_t Index(int32_t k) { return k & -static_cast<int32_t>(k >= 0); }

// Adds a chunk's bins to hist.
void CountBins(const float* x, const int32_t* bin, int n, int decide, const Binning& b, int* hist) {
  int sink[kShadows] = {};
  int* const rows[2 * kShadows] = {hist, hist, hist, hist, sink, sink + 1, sink + 2, sink + 3};
  static_assert(kShadows == 4, "rows");
  for (int i = 0; i < n; ++i) ++rows[Slot(i, bin[i])][Index(bin[i])];
  if (decide > 0) CountDecided(x, bin, n, b, hist);
}

// Adds a chunk's layer bins to the layer's shadow rows (layer_rows[i %
// kShadows]) and its channel bins to the channel's row, in one loop (the two
// counters of an element do not wait for each other).
void CountBinsTwice(const float* x, const int32_t* layer_bin, const int32_t* channel_bin, int n,
                    int decide_layer, int decide_channel, const Binning& layer, const Binning& channel,
                    int* const* layer_rows, int* channel_row) {
  int sink[2 * kShadows] = {};
  int* const lrows[2 * kShadows] = {layer_rows[0], layer_rows[1], layer_rows[2], layer_rows[3],
                                    sink, sink + 1, sink + 2, sink + 3};
  int* const crows[2 * kShadows] = {channel_row, channel_row, channel_row, channel_row,
                                    sink + 4, sink + 5, sink + 6, sink + 7};
  for (int i = 0; i < n; ++i) {
    const int32_t kl = layer_bin[i], kc = channel_bin[i];
    ++lrows[Slot(i, kl)][Index(kl)];
    ++crows[Slot(i, kc)][Index(kc)];
  }
  if (decide_layer > 0) CountDecided(x, layer_bin, n, layer, layer_rows[0]);
  if (decide_channel > 0) CountDecided(x, channel_bin, n, channel, channel_row);
}

// Adds n values to hist, binned by b.
void AddToHistogram(const float* p, size_t n, int* hist, const Binning& b) {
  int32_t bin[kChunk];
  int64_t zeros = 0;
  for (size_t i = 0; i < n; i += kChunk) {
    const int m = static_cast<int>(std::min<size_t>(kChunk, n - i));
    const int decide = FloatBins(p + i, m, b, bin, &zeros);
    CountBins(p + i, bin, m, decide, b, hist);
  }
  hist[0] += static_cast<int>(zeros);
}

// N, C (at most 1024), H, W of a blob of 2 or 4 axes, as the statistics
// read it; false for other blobs.
bool ChannelGeometry(const Blob<float>& blob, int* N, int* C, int* H, int* W) {
  if (blob.num_axes() != 2 && blob.num_axes() != 4) return false;
  *N = blob.shape(0);
  *C = std::min(blob.shape(1), kMaxStatChannels);
  *H = blob.num_axes() > 2 ? blob.shape(2) : 1;
  *W = blob.num_axes() > 2 ? blob.shape(3) : 1;
  return true;
}

}  // namespace

void calculateDistribute(Blob<float>* pBlob, int* distributeArray, int partionNum, double fMax) {
  if (!pBlob->pad_value_per_chan().empty()) {
    calculateDistributeExcluePadValue(pBlob, distributeArray, partionNum, fMax);
    return;
  }
  AddToHistogram(pBlob->cpu_data(), static_cast<size_t>(pBlob->count()), distributeArray,
                 BinningOf(BinWidthOf(fMax, partionNum), partionNum));
}

void calculateDistributeExcluePadValue(Blob<float>* pBlob, int* distributeArray, int partionNum,
                                       double fMax) {
  const int C = pBlob->channels();
  const size_t plane = static_cast<size_t>(pBlob->height()) * pBlob->width();
  const std::vector<float>& pad = pBlob->pad_value_per_chan();
  const double w = BinWidthOf(fMax, partionNum);
  const float* p = pBlob->cpu_data();
  for (size_t i = 0; i < static_cast<size_t>(pBlob->count()); ++i) {
    const size_t c = plane == 0 || C == 0 ? 0 : (i / plane) % static_cast<size_t>(C);
    if (c < pad.size() && std::memcmp(&p[i], &pad[c], sizeof(float)) == 0) continue;
    const int b = histogramBin(p[i], w, partionNum);
    if (b >= 0) ++distributeArray[b];
  }
}

void calculateDistributePerChannel(Blob<float>* pBlob, int (*distributionPerChannel)[kHistogramBins],
                                   int partionNum, double* maxPerChannel) {
  int N, C, H, W;
  if (!ChannelGeometry(*pBlob, &N, &C, &H, &W)) return;
  const int c_stride = pBlob->shape(1);
  const size_t plane = static_cast<size_t>(H) * W;
  const float* data = pBlob->cpu_data();
  for (int n = 0; n < N; ++n)
    for (int c = 0; c < C; ++c)
      AddToHistogram(data + (static_cast<size_t>(n) * c_stride + c) * plane, plane, distributionPerChannel[c],
                     BinningOf(BinWidthOf(maxPerChannel[c], partionNum), partionNum));
}

void calculateDistributeWithChannels(Blob<float>* pBlob, int* distributeArray,
                                     int (*distributionPerChannel)[kHistogramBins], int partionNum,
                                     double fMax, const double* maxPerChannel, int firstSample,
                                     int endSample) {
  int N, C, H, W;
  const bool channels = ChannelGeometry(*pBlob, &N, &C, &H, &W);
  if (!pBlob->pad_value_per_chan().empty() || !channels || pBlob->count() == 0) {
    // Pad values, other shapes: the layer's histogram and the channels' apart.
    CHECK(firstSample == 0 && endSample >= pBlob->num())
        << "statistics of part of a blob need a blob of 2 or 4 axes without pad values";
    calculateDistribute(pBlob, distributeArray, partionNum, fMax);
    calculateDistributePerChannel(pBlob, distributionPerChannel, partionNum, const_cast<double*>(maxPerChannel));
    return;
  }
  const int c_stride = pBlob->shape(1);
  const size_t plane = static_cast<size_t>(H) * W;
  const float* data = pBlob->cpu_data();
  const Binning layer = BinningOf(BinWidthOf(fMax, partionNum), partionNum);
  std::vector<Binning> channel(static_cast<size_t>(C));
  for (int c = 0; c < C; ++c) channel[c] = BinningOf(BinWidthOf(maxPerChannel[c], partionNum), partionNum);
  int32_t layer_bin[kChunk], channel_bin[kChunk];
  int64_t layer_zeros = 0;
  // The layer's histogram in kShadows rows: its own and shadows summed into
  // it at the end.
  std::vector<int> shadow(static_cast<size_t>(kShadows - 1) * partionNum, 0);
  int* const layer_rows[kShadows] = {distributeArray, shadow.data(), shadow.data() + partionNum,
                                     shadow.data() + 2 * partionNum};
  endSample = std::min(endSample, N);
  for (int n = firstSample; n < endSample; ++n) {
    for (int c = 0; c < c_stride; ++c) {
      const float* p = data + (static_cast<size_t>(n) * c_stride + c) * plane;
      if (c >= C) {  // beyond the channels with statistics: the layer's histogram only
        int64_t zeros = 0;
        for (size_t i = 0; i < plane; i += kChunk) {
          const int m = static_cast<int>(std::min<size_t>(kChunk, plane - i));
          CountBins(p + i, layer_bin, m, FloatBins(p + i, m, layer, layer_bin, &zeros), layer, distributeArray);
        }
        layer_zeros += zeros;
        continue;
      }
      int64_t zeros = 0, unused = 0;
      for (size_t i = 0; i < plane; i += kChunk) {
        const int m = static_cast<int>(std::min<size_t>(kChunk, plane - i));
        const int decide_layer = FloatBins(p + i, m, layer, layer_bin, &zeros);
        const int decide_channel = FloatBins(p + i, m, channel[c], channel_bin, &unused);
        CountBinsTwice(p + i, layer_bin, channel_bin, m, decide_layer, decide_channel, layer, channel[c],
                       layer_rows, distributionPerChannel[c]);
      }
      layer_zeros += zeros;
      distributionPerChannel[c][0] += static_cast<int>(zeros);
    }
  }
  for (int r = 1; r < kShadows; ++r)
    for (int b = 0; b < partionNum; ++b) distributeArray[b] += layer_rows[r][b];
  distributeArray[0] += static_cast<int>(layer_zeros);
}

// ---- threshold search -------------------------------------------------------

double tensorrt_calib(int* distributeArray, int partionNum, double fMax, long dataNum,
                      bool useMaxasThreshold, std::string th_method) {
  if (useMaxasThreshold) return fMax;
  constexpr int BITS = 8;
  constexpr int largebins = 1 << (BITS - 1);
  constexpr double EPS = 1e-6;
  CHECK(partionNum >= largebins && partionNum % largebins == 0)
      << "the threshold search needs a multiple of " << largebins << " bins, not " << partionNum;
  distributeArray[0] = distributeArray[1];

  std::vector<double> P(partionNum), Q(partionNum), M(partionNum), Tmp(largebins);
  const int candidates = partionNum / largebins;
  std::vector<double> Div(candidates, 0.0);
  enum { kKL, kSYMKL, kJSD } method = kKL;
  if (th_method == "SYMKL") method = kSYMKL;
  if (th_method == "JSD") method = kJSD;

  for (int i = largebins; i <= partionNum; i += largebins) {
    const int k = i / largebins - 1;
    const int m = i >> (BITS - 1);
    for (int j = 0; j < i; ++j) P[j] = distributeArray[j];
    for (int j = i; j < partionNum; ++j) P[i - 1] += distributeArray[j];
    for (int j = 0; j < i; ++j) P[j] /= static_cast<double>(dataNum);

    int64_t sumQ = 0;
    for (int l = 0; l < largebins; ++l) {
      int64_t t = 0;
      for (int j = l * m; j < l * m + m; ++j) t += distributeArray[j];
      Tmp[l] = static_cast<double>(t);
      sumQ += t;
    }
    const double S = sumQ == 0 ? 1.0 : static_cast<double>(sumQ);
    for (int l = 0; l < largebins; ++l)
      for (int t = 0; t < m; ++t) Q[l * m + t] = Tmp[l] / S / m;
    for (int j = 0; j < i; ++j) M[j] = (P[j] + Q[j]) * 0.5;

    double div = 0.0;
    for (int j = 0; j < i; ++j) {
      switch (method) {
        case kSYMKL:
          div += P[j] * std::log((P[j] + EPS) / (Q[j] + EPS)) +
                 Q[j] * std::log((Q[j] + EPS) / (P[j] + EPS));
          break;
        case kJSD:
          div += M[j] * std::log((M[j] + EPS) / (Q[j] + EPS)) +
                 M[j] * std::log((M[j] + EPS) / (P[j] + EPS));
          break;
        case kKL:
          div += P[j] * std::log((P[j] + EPS) / (Q[j] + EPS));
          break;
      }
    }
    Div[k] = div;
  }

  int best = 0;
  double minDiv = Div[0];
  for (int k = 1; k < candidates; ++k) {
    if (Div[k] < minDiv) {
      minDiv = Div[k];
      best = k;
    }
  }
  return static_cast<double>(largebins) * (best + 1) * fMax / partionNum;
}

void tensorrt_calibPerChannel(int (*distributionPerChannel)[kHistogramBins], float* thPerChannel,
                              int partionNum, double* maxPerChannel, long dataNum,
                              bool useMaxasThreshold, std::string th_method) {
  for (int c = 0; c < kMaxStatChannels; ++c) {
    thPerChannel[c] = maxPerChannel[c] > 0.0001
                          ? static_cast<float>(tensorrt_calib(distributionPerChannel[c], partionNum,
                                                              maxPerChannel[c], dataNum,
                                                              useMaxasThreshold, th_method))
                          : 1.0f;
  }
}

// ---- right shifts and fixed-point conversion --------------------------------

int calRightShiftNum(float fmax, double thBottom, double thTop, int bits) {
  double v = static_cast<double>(fmax) * thBottom / thTop;
  if (v == 0.0) {
    LOG(ERROR) << "meet dataTmp == 0.0, fmax:" << fmax << " thBottom:" << thBottom
               << " thTop:" << thTop;
    return 0;
  }
  const int64_t limit = (int64_t{1} << (bits - 1)) - 1;
  int n = 0;
  while (static_cast<double>(limit) > v) {
    v *= 2;
    ++n;
  }
  return n <= 32 ? n - 1 : 31;
}

namespace {
constexpr int kMinShift = -1100;
}  // namespace

int calRightShiftNumUseCblas(float fmax, double thBottom, double thTop, int bits) {
  float a;
  qrn::qrn_abs(1, &fmax, &a);
  const double product = static_cast<double>(a) * thBottom / thTop;
  if (product == 0.0) {
    // No finite shift exists; 0 leaves whatever it scales at 0 anyway.
    LOG(ERROR) << "meet dataTmp == 0.0, fmax:" << fmax << " thBottom:" << thBottom
               << " thTop:" << thTop;
    return 0;
  }
  const double r = static_cast<double>((int64_t{1} << (bits - 1)) - 1) / product;
  double ln_r, ln_2;
  const double two = 2.0;
  qrn::qrn_log(1, &r, &ln_r);
  qrn::qrn_log(1, &two, &ln_2);
  const double s = std::floor(ln_r / ln_2);
  if (std::isnan(s)) return -1;
  if (s >= 31) return 31;
  // Below this every 2^s is 0 in double; an infinite product (a threshold
  // of 0) lands here instead of at an integer it cannot be.
  if (s < kMinShift) return kMinShift;
  return static_cast<int>(s);
}

namespace {

// floor(x + 0.5) saturated to [lo, hi]; NaN gives 0.
int64_t RoundHalfUpSaturated(double x, int64_t lo, int64_t hi) {
  if (std::isnan(x)) return 0;
  const double q = std::floor(x + 0.5);
  if (q <= static_cast<double>(lo)) return lo;
  if (q >= static_cast<double>(hi)) return hi;
  return static_cast<int64_t>(q);
}

float QuantizeToRange(const float* src, short* dst, int n, float scale, int rshift, int lo, int hi,
                      bool log_single) {
  if (n <= 0) return 0.0f;
  rshift = std::clamp(rshift, 0, 62);
  const int64_t half = rshift != 0 ? int64_t{1} << (rshift - 1) : 0;
  int overflows = 0;
  for (int i = 0; i < n; ++i) {
    const float p = src[i] * scale;
    if (std::isnan(p)) {
      dst[i] = 0;
      continue;
    }
    const double q = std::floor(static_cast<double>(p) + 0.5);
    int64_t v;
    if (q > std::numeric_limits<int32_t>::max()) {
      v = hi + int64_t{1};  // beyond 32 bits: saturate like any overflow
    } else if (q < std::numeric_limits<int32_t>::min()) {
      v = lo - int64_t{1};
    } else {
      v = (static_cast<int64_t>(q) + half) >> rshift;
    }
    if (v > hi || v < lo) ++overflows;
    dst[i] = static_cast<short>(std::clamp<int64_t>(v, lo, hi));
  }
  const float ratio = static_cast<float>(overflows) / static_cast<float>(n);
  if (ratio > 0 && (n > 1 || log_single)) LOG(ERROR) << "ratio of overflow = " << ratio;
  return ratio;
}

// T = G (x) G, 16 x 9, for U = G g G^T of a row-major 3x3 kernel g.
std::vector<float> WinogradKron() {
  static const float G[4][3] = {{1.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0.0f, 0.0f, 1.0f}};
  std::vector<float> T(16 * 9);
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) T[(4 * a + b) * 9 + 3 * p + q] = G[a][p] * G[b][q];
  return T;
}

std::vector<float> WinogradTransform(const float* weights, int len) {
  CHECK(len % 9 == 0) << "len % 9 == 0";
  const int m = len / 9;
  std::vector<float> U(static_cast<size_t>(16) * m);
  const std::vector<float> T = WinogradKron();
  if (m > 0) qrn::qrn_cpu_gemm<float>(qrn::NoTrans, qrn::Trans, m, 16, 9, 1.0f, weights, T.data(), 0.0f, U.data());
  return U;
}

}  // namespace

void quantizeToInt8(const float* src, char* dst, int n, float scale) {
  for (int i = 0; i < n; ++i) {
    const float p = src[i] * scale;
    dst[i] = static_cast<char>(RoundHalfUpSaturated(static_cast<double>(p), -128, 127));
  }
}

float quantizeToInt16(const float* src, short* dst, int n, float scale, int rshift) {
  return QuantizeToRange(src, dst, n, scale, rshift, -32768, 32767, false);
}

float quantizeToInt15(const float* src, short* dst, int n, float scale, int rshift) {
  return QuantizeToRange(src, dst, n, scale, rshift, -16384, 16383, true);
}

int calWinogradRightShiftNum(const float* weights, int len, double thBottom, double thTop, int bits) {
  (void)bits;  // the transformed weights are always 8-bit
  const std::vector<float> U = WinogradTransform(weights, len);
  const float fmax = findMaxabs(U.data(), static_cast<int>(U.size()));
  return calRightShiftNum(fmax, thBottom, thTop, 8);
}

void quantizeToWinogradInt8(const float* weights, char* dst, int len, float thBottom, float thTop,
                            int rshift) {
  const std::vector<float> U = WinogradTransform(weights, len);
  const float scale = static_cast<float>(pow2(rshift)) * thBottom / thTop;
  for (size_t i = 0; i < U.size(); ++i) {
    const float p = U[i] * scale;
    if (std::isnan(p)) {
      dst[i] = 0;
      continue;
    }
    const float q = static_cast<float>(std::floor(static_cast<double>(p) + 0.5));
    dst[i] = static_cast<char>(q >= 127.0f ? 127 : q <= -128.0f ? -128 : static_cast<int>(q));
  }
}

float func_log2(double x) {
  double ln_x, ln_2;
  const double two = 2.0;
  qrn::qrn_log(1, &x, &ln_x);
  qrn::qrn_log(1, &two, &ln_2);
  return static_cast<float>(ln_x / ln_2);
}
