// The statistics passes run several forward passes as one batch and bin
// values without a division; neither may change a record or a threshold.
// References: one forward per pass and the exact binning, in plain loops.
#include <array>
#include <cmath>
#include <cstring>

#include "calibration.hpp"
#include "dist_analysis.hpp"
#include "graph_transform.hpp"
#include "layer_types.hpp"
#include "test_util.hpp"

using qrn::Blob;
using qrn::Net;

namespace {

const std::string kModelDir = MODEL_DIR;
constexpr int kBins = kHistogramBins;

std::unique_ptr<Net<float>> ShippedNet() {
  qrn::NetParameter param;
  blob_rename_to_unique(param, kModelDir + "/fashion_mnist.prototxt");
  auto net = std::make_unique<Net<float>>(param);
  net->CopyTrainedLayersFrom(kModelDir + "/fashion_mnist.weights");
  return net;
}

// Plain statistics of one layer's first output, one forward per pass.
struct RefStats {
  double max = 0;
  std::vector<double> channel_max;
  std::vector<int64_t> hist = std::vector<int64_t>(kBins);
  std::vector<std::vector<int64_t>> channel_hist;
  int64_t count = 0;
};

std::vector<RefStats> Reference(int passes) {
  auto net = ShippedNet();
  const int L = static_cast<int>(net->layers().size());
  std::vector<RefStats> r(L);
  auto each_value = [&](int i, auto fn) {
    const Blob<float>& b = *net->top_vecs()[i][0];
    const int C = b.num_axes() == 2 || b.num_axes() == 4 ? std::min(b.shape(1), kMaxStatChannels) : 0;
    const int plane = b.count() / std::max(1, b.shape(0) * std::max(1, b.num_axes() >= 2 ? b.shape(1) : 1));
    for (int k = 0; k < b.count(); ++k) fn(b.cpu_data()[k], C > 0 && b.num_axes() >= 2 ? (k / plane) % b.shape(1) : -1, C);
  };
  for (int p = 0; p < passes; ++p) {
    net->Forward();
    for (int i = 0; i < L; ++i)
      each_value(i, [&](float x, int c, int C) {
        r[i].channel_max.resize(C);
        r[i].max = std::max(r[i].max, static_cast<double>(std::fabs(x)));
        if (c >= 0 && c < C) r[i].channel_max[c] = std::max(r[i].channel_max[c], static_cast<double>(std::fabs(x)));
      });
  }
  for (auto& s : r)
    if (s.max < 0.0001) s.max = 0.001;
  for (int p = 0; p < passes; ++p) {
    net->Forward();
    for (int i = 0; i < L; ++i) {
      r[i].count += net->top_vecs()[i][0]->count();
      each_value(i, [&](float x, int c, int C) {
        r[i].channel_hist.resize(C, std::vector<int64_t>(kBins));
        ++r[i].hist[histogramBin(x, r[i].max / (kBins - 1), kBins)];
        if (c >= 0 && c < C) ++r[i].channel_hist[c][histogramBin(x, r[i].channel_max[c] / (kBins - 1), kBins)];
      });
    }
  }
  return r;
}

// 100 passes: one batch of 64 and one of 36, each split among three shares,
// against 100 single forwards.
TEST(StatisticsBatches, RecordsAndThresholdsEqualOneForwardPerPass) {
  constexpr int kPasses = 100;
  const std::vector<RefStats> ref = Reference(kPasses);
  auto net = ShippedNet();
  ASSERT_TRUE(statisticsBatchable(*net));
  auto batched = std::make_shared<dist_analysis>(*net, kPasses, kBins);
  batched->passesPerForward = 64;
  batched->statisticsShares = 3;  // each forward's samples split unevenly (21/21/22, 12/12/12)
  batched->getAbsoluteMaxOfEachLayer();
  batched->getDistributeOfEachLayer();
  EXPECT_EQ(net->top_vecs()[0][0]->shape(0), 1) << "the net is reshaped back to its own batch";

  auto single_net = ShippedNet();
  auto single = std::make_shared<dist_analysis>(*single_net, kPasses, kBins);
  single->passesPerForward = 1;
  single->getAbsoluteMaxOfEachLayer();
  single->getDistributeOfEachLayer();

  std::vector<unsigned char> a(kDistRecordBytes), b(kDistRecordBytes);
  for (size_t i = 0; i < ref.size(); ++i) {
    SCOPED_TRACE(net->layer_names()[i]);
    const dist_data& d = *batched->dist[i];
    EXPECT_EQ(d.maxPerLayer, ref[i].max);
    EXPECT_EQ(d.dataNum, ref[i].count);
    ASSERT_EQ(d.channelNum, static_cast<int>(ref[i].channel_max.size()));
    for (int c = 0; c < d.channelNum; ++c) {
      EXPECT_EQ(d.maxPerChannel[c], ref[i].channel_max[c]) << "channel " << c;
      for (int k = 0; k < kBins; ++k) ASSERT_EQ(d.distributionPerChannel[c][k], ref[i].channel_hist[c][k]) << c << " " << k;
    }
    for (int k = 0; k < kBins; ++k) ASSERT_EQ(d.distribution[k], ref[i].hist[k]) << "bin " << k;
    serializeDistData(d, a.data());
    serializeDistData(*single->dist[i], b.data());
    EXPECT_TRUE(a == b) << "the file records differ";
  }

  for (const char* method : {"KL", "SYMKL", "JSD"}) {
    SCOPED_TRACE(method);
    auto n1 = ShippedNet(), n2 = ShippedNet();
    auto s1 = std::make_shared<dist_analysis>(*n1, 0, kBins);
    auto s2 = std::make_shared<dist_analysis>(*n2, 0, kBins);
    for (size_t i = 0; i < ref.size(); ++i) {
      serializeDistData(*batched->dist[i], a.data());
      deserializeDistData(a.data(), s1->dist[i].get());
      serializeDistData(*single->dist[i], a.data());
      deserializeDistData(a.data(), s2->dist[i].get());
    }
    for (auto* s : {s1.get(), s2.get()}) {
      s->setThreshodEqualNeighbour();
      s->setLayerUseMaxAsThreshold();
      s->getThreshodForEachLayer(method, false);
    }
    for (size_t i = 0; i < ref.size(); ++i)
      EXPECT_EQ(n1->top_vecs()[i][0]->thresHold(), n2->top_vecs()[i][0]->thresHold()) << n1->layer_names()[i];
  }
}

// The fast binning against the exact form on ties, values a hair off them,
// values far above the maximum, zeros of both signs, NaN and infinity.
TEST(StatisticsBatches, BinningEqualsTheExactForm) {
  for (double max : {1.0, 0.3, 3.15103769, 1e-3, 7e4}) {
    SCOPED_TRACE(max);
    const double w = max / (kBins - 1);
    std::vector<float> v = {0.0f, -0.0f, NAN, INFINITY, -INFINITY, static_cast<float>(max), static_cast<float>(10 * max),
                            1e30f, std::numeric_limits<float>::denorm_min()};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.2 * max, 1.2 * max);
    for (int k = 0; k < 20000; ++k) v.push_back(static_cast<float>(u(rng)));
    for (int k = 0; k < kBins; ++k) {
      const float tie = static_cast<float>((k + 0.5) * w);
      v.push_back(tie);
      v.push_back(std::nextafter(tie, 0.0f));
      v.push_back(std::nextafter(tie, INFINITY));
      v.push_back(-tie);
    }
    Blob<float> blob({static_cast<int>(v.size())});
    std::copy(v.begin(), v.end(), blob.mutable_cpu_data());
    std::vector<int> fast(kBins), exact(kBins);
    calculateDistribute(&blob, fast.data(), kBins, max);
    for (float x : v) {
      const int b = histogramBin(x, w, kBins);
      if (b >= 0) ++exact[b];
    }
    EXPECT_EQ(fast, exact);
  }
}

// The layer's and the channels' histograms filled in one pass, over two
// parts of the samples, against the exact form value by value: channels of
// an ordinary maximum, of maximum 0 (everything in bin 0), of a maximum so
// small that its reciprocal overflows, and a huge one; ties and their
// neighbours, zeros, NaN and infinities.
TEST(StatisticsBatches, LayerAndChannelsInOnePassEqualTheExactForm) {
  const std::vector<double> channel_max = {1.0, 0.0, 1e-40, 7e4, 3.15103769};
  const int N = 3, C = static_cast<int>(channel_max.size()), H = 11, W = 29;
  const double layer_max = 2.5;
  Blob<float> blob(std::vector<int>{N, C, H, W});
  std::mt19937 rng(7);
  float* x = blob.mutable_cpu_data();
  for (int i = 0; i < blob.count(); ++i) {
    const int c = (i / (H * W)) % C;
    const double m = channel_max[c] > 0 ? channel_max[c] : 1.0;
    switch (i % 7) {
      case 0: x[i] = 0.0f; break;
      case 1: x[i] = static_cast<float>((rng() % kBins + 0.5) * m / (kBins - 1)); break;  // a tie
      case 2: x[i] = std::nextafter(static_cast<float>((rng() % kBins + 0.5) * layer_max / (kBins - 1)), 0.0f); break;
      case 3: x[i] = i % 5 == 0 ? NAN : (i % 5 == 1 ? -INFINITY : -0.0f); break;
      default: x[i] = static_cast<float>(std::uniform_real_distribution<double>(-1.1 * m, 1.1 * m)(rng));
    }
  }
  std::vector<int> layer(kBins), layer_exact(kBins);
  std::vector<std::array<int, kBins>> channels(C), channels_exact(C);
  for (auto [first, end] : {std::pair{0, 1}, std::pair{1, N}})
    calculateDistributeWithChannels(&blob, layer.data(), reinterpret_cast<int(*)[kBins]>(channels.data()), kBins,
                                    layer_max, channel_max.data(), first, end);
  for (int i = 0; i < blob.count(); ++i) {
    const int c = (i / (H * W)) % C;
    const int b = histogramBin(x[i], layer_max / (kBins - 1), kBins);
    if (b >= 0) ++layer_exact[b];
    const int bc = histogramBin(x[i], channel_max[c] / (kBins - 1), kBins);
    if (bc >= 0) ++channels_exact[c][bc];
  }
  EXPECT_EQ(layer, layer_exact);
  for (int c = 0; c < C; ++c) EXPECT_EQ(channels[c], channels_exact[c]) << "channel " << c;
}

}  // namespace
