// Numeric helpers of the calibration: maxima and histograms of activations,
// the threshold search, right shifts and the conversions to 8 and 16 bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "qrn/blob.hpp"

// Number of histogram bins the statistics records hold.
constexpr int kHistogramBins = 2048;
// Channels per layer that get statistics of their own.
constexpr int kMaxStatChannels = 1024;

// ---- maxima and histograms --------------------------------------------------

// Largest |value| of len values (a NaN never raises it); logs an error when
// the result is exactly 0.
template <typename T>
float findMaxabs(const T* pSrcData, int len);

// Raises maxPerChannel[c] to the largest |value| of channel c < C over the N
// samples of an (N, c_stride, H, W) array; c_stride < 0 means C.
template <typename T>
void findMaxabsPerChannel(const T* pSrcData, double* maxPerChannel, int N, int C, int H, int W,
                          int c_stride = -1);

// Both maxima in one pass over samples [firstSample, endSample) of a blob
// of 2 or 4 axes: raises maxPerChannel[c] for each channel c < 1024 and
// returns the largest |value| of those samples (a NaN never raises either).
float findMaxabsWithChannels(const qrn::Blob<float>& blob, double* maxPerChannel, int firstSample,
                             int endSample);

// Bin of |x| in a histogram of `bins` bins of width w (the bin nearest to
// |x| / w, the last bin for anything beyond).  -1 for a NaN, which no bin
// takes; a width that is not positive puts every value into bin 0.
int histogramBin(float x, double w, int bins);

// Adds every value of the blob to hist (bins of width fMax / (bins - 1)),
// leaving out the blob's pad values when it has any.
void calculateDistribute(qrn::Blob<float>* pBlob, int* distributeArray, int partionNum, double fMax);
// The same, leaving out each value equal bit for bit to its channel's pad
// value.
void calculateDistributeExcluePadValue(qrn::Blob<float>* pBlob, int* distributeArray, int partionNum,
                                       double fMax);
// Adds the values of each channel (< 1024) of a blob of 2 or 4 axes to its
// own histogram row; bin width maxPerChannel[c] / (bins - 1).
void calculateDistributePerChannel(qrn::Blob<float>* pBlob, int (*distributionPerChannel)[kHistogramBins],
                                   int partionNum, double* maxPerChannel);
// Both in one pass over samples [firstSample, endSample) of the blob: the
// layer's histogram (bins of width fMax / (bins - 1)) and each channel's.
// Blobs with pad values or of other shapes are handled whole by the two
// functions above (and must then be asked for all their samples).
void calculateDistributeWithChannels(qrn::Blob<float>* pBlob, int* distributeArray,
                                     int (*distributionPerChannel)[kHistogramBins], int partionNum,
                                     double fMax, const double* maxPerChannel, int firstSample = 0,
                                     int endSample = 1 << 30);

// ---- threshold search -------------------------------------------------------

// The threshold of a blob from the histogram of its absolute values: of the
// 16 clip points k/16 of fMax, the one whose clipped distribution is closest
// (by th_method: "KL" (also any unknown text), "SYMKL" or "JSD") to itself
// reduced to 128 levels.  Bin 0 of the histogram is replaced by bin 1.  With
// useMaxasThreshold the result is fMax and the histogram is untouched.
double tensorrt_calib(int* distributeArray, int partionNum, double fMax, long dataNum,
                      bool useMaxasThreshold, std::string th_method);
// The search per channel (1.0 for channels whose maximum is at most 1e-4).
void tensorrt_calibPerChannel(int (*distributionPerChannel)[kHistogramBins], float* thPerChannel,
                              int partionNum, double* maxPerChannel, long dataNum,
                              bool useMaxasThreshold, std::string th_method);

// ---- right shifts and fixed-point conversion --------------------------------

// Largest s <= 31 with fmax * thBottom / thTop * 2^s below 2^(bits-1) - 1,
// by doubling; -1 when the product already reaches the limit or is not
// finite; 0 (with an error line) when the product is 0.
int calRightShiftNum(float fmax, double thBottom, double thTop, int bits);
// floor(log2((2^(bits-1) - 1) / (|fmax| * thBottom / thTop))), at most 31 and
// possibly negative (at least -1100, where 2^s is 0 anyway); 0 (with an
// error line) when the product is 0, -1 when it is not a number.
int calRightShiftNumUseCblas(float fmax, double thBottom, double thTop, int bits);

// dst[i] = src[i] * scale rounded half up, saturated to int8 (a NaN gives 0).
void quantizeToInt8(const float* src, char* dst, int n, float scale);
inline void quantizeToInt8(const float* src, int8_t* dst, int n, float scale) {
  quantizeToInt8(src, reinterpret_cast<char*>(dst), n, scale);
}
// dst[i] = (round(src[i] * scale) + half) >> rshift saturated to int16;
// returns the share of values that overflowed (logged when above 0 for more
// than one value).  A NaN gives 0 and is no overflow.
float quantizeToInt16(const float* src, short* dst, int n, float scale, int rshift);
// As quantizeToInt16 with the range [-16384, 16383].
float quantizeToInt15(const float* src, short* dst, int n, float scale, int rshift);

// The shift of the F(2x2, 3x3) Winograd transforms of len / 9 3x3 kernels.
int calWinogradRightShiftNum(const float* weights, int len, double thBottom, double thTop, int bits);
// The transformed kernels (16 values each) as int8 with scale
// 2^rshift * thBottom / thTop.
void quantizeToWinogradInt8(const float* weights, char* dst, int len, float thBottom, float thTop,
                            int rshift);
inline void quantizeToWinogradInt8(const float* weights, int8_t* dst, int len, float thBottom,
                                   float thTop, int rshift) {
  quantizeToWinogradInt8(weights, reinterpret_cast<char*>(dst), len, thBottom, thTop, rshift);
}

float func_log2(double x);

// 2^s for any integer s, in the width the caller needs.
inline double pow2(int s) { return std::ldexp(1.0, s); }
