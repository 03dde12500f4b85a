// scalefinder's numeric helpers: histogram binning, the threshold search
// (against a plain computation of the three divergences), right shifts and
// the 8/16-bit and Winograd conversions.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "math_util.hpp"

namespace {

constexpr int kBins = 2048;

// Divergence of the clip point at `clip` bins from the definition: P is the
// histogram up to the clip with everything beyond added to its last bin,
// over `total`; Q spreads each of 128 equal groups of bins' share of the
// (unfolded) counts below the clip evenly over the group.
double RefDivergence(const std::vector<double>& h, int clip, double total, const std::string& method) {
  const double eps = 1e-6;
  const int per = clip / 128;
  std::vector<double> p(clip), q(clip);
  double inside = 0;
  for (int j = 0; j < clip; ++j) inside += h[j];
  for (int j = 0; j < kBins; ++j) p[std::min(j, clip - 1)] += h[j] / total;
  for (int g = 0; g < 128; ++g) {
    double sum = 0;
    for (int t = 0; t < per; ++t) sum += h[g * per + t];
    for (int t = 0; t < per; ++t) q[g * per + t] = inside == 0 ? sum / per : sum / inside / per;
  }
  double d = 0;
  for (int j = 0; j < clip; ++j) {
    const double m = (p[j] + q[j]) / 2;
    if (method == "SYMKL") {
      d += p[j] * std::log((p[j] + eps) / (q[j] + eps)) + q[j] * std::log((q[j] + eps) / (p[j] + eps));
    } else if (method == "JSD") {
      d += m * std::log((m + eps) / (q[j] + eps)) + m * std::log((m + eps) / (p[j] + eps));
    } else {
      d += p[j] * std::log((p[j] + eps) / (q[j] + eps));
    }
  }
  return d;
}

// The threshold the definition picks: the first clip point of least
// divergence, as a share of fMax.
double RefThreshold(std::vector<int> hist, double fmax, long total, const std::string& method) {
  hist[0] = hist[1];
  const std::vector<double> h(hist.begin(), hist.end());
  int best = 0;
  double best_div = RefDivergence(h, 128, static_cast<double>(total), method);
  for (int k = 1; k < 16; ++k) {
    const double d = RefDivergence(h, 128 * (k + 1), static_cast<double>(total), method);
    if (d < best_div) {
      best_div = d;
      best = k;
    }
  }
  return (best + 1) * fmax / 16;
}

long Sum(const std::vector<int>& h) {
  long s = 0;
  for (int v : h) s += v;
  return s;
}

TEST(ThresholdSearch, KnownHistograms) {
  struct Case {
    const char* what;
    std::vector<int> hist;
    double fmax;
    double expected;
  };
  std::vector<int> all(kBins, 5), first128(kBins, 0), in_zero(kBins, 0);
  for (int j = 0; j < 128; ++j) first128[j] = 7;
  in_zero[0] = 1000;
  const Case cases[] = {
      {"uniform over all bins: nothing to clip", all, 8.0, 8.0},
      {"uniform over the first 128 bins: equal divergences, the smallest clip wins", first128, 8.0, 0.5},
      {"all counts in bin 0: every divergence 0", in_zero, 3.2, 0.2},
  };
  for (const char* method : {"KL", "SYMKL", "JSD"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(method) + ": " + c.what);
      std::vector<int> h = c.hist;
      EXPECT_DOUBLE_EQ(tensorrt_calib(h.data(), kBins, c.fmax, Sum(c.hist), false, method), c.expected);
    }
  }
}

TEST(ThresholdSearch, AgreesWithThePlainDivergences) {
  // Long-tailed and two-peaked activations, including counts beyond every
  // clip point and values left out of the histogram (total above its sum).
  std::mt19937 rng(11);
  for (int trial = 0; trial < 12; ++trial) {
    std::vector<int> h(kBins, 0);
    std::exponential_distribution<double> tail(trial % 2 ? 0.002 : 0.01);
    std::normal_distribution<double> peak(300.0 + 100 * trial, 40.0);
    for (int n = 0; n < 20000; ++n) {
      const double x = n % 3 ? tail(rng) : std::fabs(peak(rng));
      ++h[std::min(static_cast<int>(x), kBins - 1)];
    }
    const long total = Sum(h) + (trial % 3 == 0 ? 5000 : 0);
    for (const char* method : {"KL", "SYMKL", "JSD"}) {
      SCOPED_TRACE(std::string(method) + " trial " + std::to_string(trial));
      std::vector<int> mine = h;
      const double th = tensorrt_calib(mine.data(), kBins, 4.0, total, false, method);
      EXPECT_DOUBLE_EQ(th, RefThreshold(h, 4.0, total, method));
      EXPECT_EQ(mine[0], h[1]) << "bin 0 takes bin 1's count";
    }
  }
}

TEST(ThresholdSearch, UseMaxUnknownMethodsAndResultGrid) {
  std::vector<int> h(kBins, 0);
  for (int j = 0; j < 600; ++j) h[j] = 1000 - j;
  std::vector<int> untouched = h;
  EXPECT_EQ(tensorrt_calib(untouched.data(), kBins, 2.5, Sum(h), true, "KL"), 2.5);
  EXPECT_EQ(untouched, h) << "use-max leaves the histogram alone";
  std::vector<int> a = h, b = h, c = h;
  const double kl = tensorrt_calib(a.data(), kBins, 1.0, Sum(h), false, "KL");
  EXPECT_EQ(tensorrt_calib(b.data(), kBins, 1.0, Sum(h), false, "kl"), kl);
  EXPECT_EQ(tensorrt_calib(c.data(), kBins, 1.0, Sum(h), false, ""), kl);
  EXPECT_EQ(kl * 16, std::floor(kl * 16)) << kl << " is not one of 1/16 ... 16/16";
  EXPECT_GT(kl, 0.0);
}

TEST(ThresholdSearch, PerChannel) {
  std::vector<int> rows(static_cast<size_t>(kMaxStatChannels) * kBins, 0);
  auto* hist = reinterpret_cast<int(*)[kBins]>(rows.data());
  for (int j = 0; j < kBins; ++j) hist[0][j] = 3;
  std::vector<double> maxima(kMaxStatChannels, 0.0);
  maxima[0] = 2.0;
  maxima[1] = 0.0001;  // too small to search
  std::vector<float> th(kMaxStatChannels, -1.0f);
  tensorrt_calibPerChannel(hist, th.data(), kBins, maxima.data(), 3 * kBins, false, "KL");
  EXPECT_EQ(th[0], 2.0f);
  EXPECT_EQ(th[1], 1.0f);
  EXPECT_EQ(th[1023], 1.0f);
}

TEST(Binning, NearestBinWithOverflowAndSpecialValues) {
  const double w = 2.0 / (kBins - 1);
  struct Case {
    float x;
    int bin;
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const Case& c : {Case{0.0f, 0}, Case{static_cast<float>(w * 0.49), 0}, Case{static_cast<float>(-w * 0.51), 1},
                        Case{static_cast<float>(w * 7), 7}, Case{2.0f, kBins - 1}, Case{-2.0f, kBins - 1},
                        Case{1e30f, kBins - 1}, Case{inf, kBins - 1}, Case{-inf, kBins - 1},
                        Case{std::nanf(""), -1}}) {
    EXPECT_EQ(histogramBin(c.x, w, kBins), c.bin) << c.x;
  }
  EXPECT_EQ(histogramBin(5.0f, 0.0, kBins), 0) << "a zero width puts everything into bin 0";

  // Through a blob: NaN is skipped, infinity counted in the last bin.
  qrn::Blob<float> blob(std::vector<int>{1, 4});
  const float values[] = {1.0f, std::nanf(""), inf, -0.5f};
  std::copy(values, values + 4, blob.mutable_cpu_data());
  std::vector<int> hist(kBins, 0);
  calculateDistribute(&blob, hist.data(), kBins, 1.0);
  EXPECT_EQ(Sum(hist), 3);
  EXPECT_EQ(hist[kBins - 1], 2);
  EXPECT_EQ(hist[1024], 1);  // 0.5 / (1 / 2047) = 1023.5 rounds up
}

TEST(RightShift, DoublingAndLogarithmForms) {
  struct Case {
    float fmax;
    double th_bottom, th_top;
    int doubling, logarithm;
  };
  const Case cases[] = {
      {1.0f, 1.0, 1.0, 6, 6},            // 64 < 127 <= 128
      {127.0f, 1.0, 1.0, -1, 0},         // already at the limit
      {200.0f, 1.0, 1.0, -1, -1},
      {1000.0f, 1.0, 1.0, -1, -3},
      {127.0f / 8, 1.0, 1.0, 2, 3},      // an exact power of two apart
      {1e-12f, 1.0, 1.0, 31, 31},
      {0.0f, 1.0, 1.0, 0, 0},            // no finite shift: 0
      {1.0f, 4.0, 8.0, 7, 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(calRightShiftNum(c.fmax, c.th_bottom, c.th_top, 8), c.doubling) << c.fmax;
    EXPECT_EQ(calRightShiftNumUseCblas(c.fmax, c.th_bottom, c.th_top, 8), c.logarithm) << c.fmax;
  }
  EXPECT_EQ(calRightShiftNum(1.0f, 1.0, 0.0, 8), -1) << "an infinite product";
  EXPECT_EQ(calRightShiftNumUseCblas(1.0f, 0.0, 0.0, 8), -1) << "0 / 0 is not a number";
  EXPECT_EQ(calRightShiftNumUseCblas(1.0f, 1.0, 1.0, 16), 14);
  EXPECT_EQ(calRightShiftNumUseCblas(1.0f, 1.0, 0.0, 8), -1100) << "an infinite product: 2^s is 0";
}

TEST(FixedPoint, RoundingAndSaturation) {
  const float src[] = {0.5f, -0.5f, -1.5f, 127.6f, -200.0f, std::nanf(""), std::numeric_limits<float>::infinity()};
  char q8[7];
  quantizeToInt8(src, q8, 7, 1.0f);
  EXPECT_EQ(std::vector<int>(q8, q8 + 7), (std::vector<int>{1, 0, -1, 127, -128, 0, 127}));

  short q16[4];
  const float big[] = {40000.0f, -40000.0f};
  EXPECT_FLOAT_EQ(quantizeToInt16(big, q16, 2, 1.0f, 0), 1.0f);
  EXPECT_EQ(q16[0], 32767);
  EXPECT_EQ(q16[1], -32768);
  EXPECT_FLOAT_EQ(quantizeToInt16(big, q16, 1, 1.0f, 0), 1.0f);

  const float six[] = {6.0f, -6.0f, 100.0f, 1e12f};
  EXPECT_FLOAT_EQ(quantizeToInt16(six, q16, 4, 1.0f, 2), 0.25f);
  EXPECT_EQ(q16[0], 2);
  EXPECT_EQ(q16[1], -1);
  EXPECT_EQ(q16[2], 25);
  EXPECT_EQ(q16[3], 32767) << "beyond 32 bits saturates whatever the shift";

  const float fifteen[] = {16383.0f, 16384.0f};
  EXPECT_FLOAT_EQ(quantizeToInt15(fifteen, q16, 2, 1.0f, 0), 0.5f);
  EXPECT_EQ(q16[1], 16383);
}

TEST(Winograd, CentreKernelTransformAndShift) {
  float centre[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
  char q[16];
  // Shift 7 turns 1/4 into 32.
  quantizeToWinogradInt8(centre, q, 9, 1.0f, 1.0f, 7);
  std::vector<int> expected(16, 0);
  expected[1 * 4 + 1] = expected[2 * 4 + 2] = 32;
  expected[1 * 4 + 2] = expected[2 * 4 + 1] = -32;
  EXPECT_EQ(std::vector<int>(q, q + 16), expected);
  EXPECT_EQ(calWinogradRightShiftNum(centre, 9, 1.0, 1.0, 8), 8);  // 0.25 * 2^8 = 64 < 127
}

TEST(WinogradDeathTest, WeightCountNotAMultipleOfNine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  float w[10] = {};
  EXPECT_DEATH(calWinogradRightShiftNum(w, 10, 1.0, 1.0, 8), "len % 9 == 0");
}

}  // namespace
