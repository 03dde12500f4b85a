// scalefinder's activation statistics: the maximum and histogram passes,
// per-channel records, pad-value exclusion and the statistics file.
#include <cmath>
#include <cstring>
#include <limits>
#include <fstream>

#include "dist_analysis.hpp"
#include "test_util.hpp"

using tools_test::MakeNet;
using tools_test::TempDir;

namespace {

constexpr int kBins = 2048;

size_t get_index(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) - names.begin();
}

int64_t Sum(const int32_t* h, int n = kBins) {
  int64_t s = 0;
  for (int i = 0; i < n; ++i) s += h[i];
  return s;
}

// data (2 x 3 x 2 x 2, all 1.5) -> sc (channel factors -1, 2, 0.5) -> flat
// (3 axes); data -> zero (factors 0).
const char* kStatsNet =
    "layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { shape { dim: 2 dim: 3 dim: 2 dim: 2 } "
    "  data_filler { type: 'constant' value: 1.5 } } } "
    "layer { name: 'sc' type: 'Scale' bottom: 'data' top: 'sc' "
    "  blobs { shape { dim: 3 } data: -1 data: 2 data: 0.5 } } "
    "layer { name: 'flat' type: 'Reshape' bottom: 'sc' top: 'flat' reshape_param { shape { dim: 2 dim: 3 dim: 4 } } } "
    "layer { name: 'zero' type: 'Scale' bottom: 'data' top: 'zero' "
    "  blobs { shape { dim: 3 } data: 0 data: 0 data: 0 } }";

TEST(Statistics, MaximaAndHistogramsOfEveryLayer) {
  auto net = MakeNet(kStatsNet);
  const auto& names = net->layer_names();
  auto index = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  dist_analysis a(*net, 2, kBins);
  a.getAbsoluteMaxOfEachLayer();
  a.getDistributeOfEachLayer();

  const dist_data& data = *a.dist[index("data")];
  EXPECT_EQ(data.maxPerLayer, 1.5);
  EXPECT_EQ(data.distribution[kBins - 1], 48) << "values at the maximum land in the last bin";
  EXPECT_EQ(data.dataNum, 48);

  const dist_data& sc = *a.dist[index("sc")];
  EXPECT_EQ(sc.maxPerLayer, 3.0);
  EXPECT_TRUE(sc.isPerChannelValid);
  EXPECT_EQ(sc.channelNum, 3);
  EXPECT_EQ(sc.maxPerChannel, (std::vector<double>{1.5, 3.0, 0.75})) << "the record keeps the blob's 3 channels";
  // |x| / (3 / 2047) rounded: 1.5 -> 1024, 3 -> 2047, 0.75 -> 512; 16 values each.
  EXPECT_EQ(sc.distribution[1024], 16);
  EXPECT_EQ(sc.distribution[2047], 16);
  EXPECT_EQ(sc.distribution[512], 16);
  EXPECT_EQ(Sum(sc.distribution), 48);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(sc.distributionPerChannel[c][kBins - 1], 16) << "each channel at its own maximum, channel " << c;
    EXPECT_EQ(Sum(sc.distributionPerChannel[c].data()), 16);
  }

  const dist_data& flat = *a.dist[index("flat")];
  EXPECT_FALSE(flat.isPerChannelValid) << "3 axes: no per-channel statistics";
  EXPECT_EQ(flat.channelNum, 0);
  EXPECT_TRUE(flat.distributionPerChannel.empty());
  EXPECT_EQ(flat.maxPerLayer, 3.0);

  const dist_data& zero = *a.dist[index("zero")];
  EXPECT_EQ(zero.maxPerLayer, 0.001) << "an all-zero output gets a small positive maximum";
  EXPECT_EQ(zero.distribution[0], 48);

  // Passes accumulate on the same records.
  a.getDistributeOfEachLayer();
  EXPECT_EQ(a.dist[index("sc")]->dataNum, 96);
  EXPECT_EQ(a.dist[index("sc")]->distribution[512], 32);
}

TEST(Statistics, NoIterationsLeaveEmptyHistogramsAndSmallMaxima) {
  auto net = MakeNet(
      "layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { shape { dim: 1 dim: 2 } "
      "  data_filler { type: 'constant' value: 4 } } } "
      "layer { name: 'a' type: 'ReLU' bottom: 'data' top: 'a' } "
      "layer { name: 'b' type: 'ReLU' bottom: 'data' top: 'b' }");
  dist_analysis a(*net, 0, kBins);
  a.getAbsoluteMaxOfEachLayer();
  a.getDistributeOfEachLayer();
  for (size_t i = 0; i < net->layers().size(); ++i) {
    const bool split = std::string(net->layers()[i]->type()) == "Split";
    EXPECT_EQ(a.dist[i]->maxPerLayer, split ? 0.0 : 0.001) << net->layer_names()[i];
    EXPECT_EQ(Sum(a.dist[i]->distribution), 0);
  }
}

TEST(Statistics, PerChannelCapAndSampleStride) {
  // 2 samples of 2000 channels: only channels below 1024 are recorded, and
  // sample 1 starts 2000 values in.
  qrn::Blob<float> blob(std::vector<int>{2, 2000});
  for (int n = 0; n < 2; ++n)
    for (int c = 0; c < 2000; ++c) blob.mutable_cpu_data()[n * 2000 + c] = static_cast<float>(c + 1 + n * 10000);
  std::vector<double> maxima(kMaxStatChannels + 1, -7.0);
  findMaxabsPerChannel(blob.cpu_data(), maxima.data(), 2, kMaxStatChannels, 1, 1, 2000);
  EXPECT_EQ(maxima[0], 10001.0);
  EXPECT_EQ(maxima[1023], 11024.0);
  EXPECT_EQ(maxima[1024], -7.0) << "channel 1024 is not recorded";

  std::vector<int> rows(static_cast<size_t>(kMaxStatChannels) * kBins, 0);
  auto* hist = reinterpret_cast<int(*)[kBins]>(rows.data());
  calculateDistributePerChannel(&blob, hist, kBins, maxima.data());
  EXPECT_EQ(hist[0][kBins - 1], 1);  // 10001 at channel 0's maximum
  EXPECT_EQ(hist[0][0], 1);          // 1 is nearest to bin 0 of width 10001 / 2047
  EXPECT_EQ(Sum(hist[1023]), 2);
}

TEST(Statistics, PadValuesAreLeftOutBitForBit) {
  qrn::Blob<float> blob(std::vector<int>{1, 2, 2, 2});
  const float values[] = {0.0f, 0.5f, -0.0f, 0.25f, 1.0f, 1.0000001f, 0.0f, 2.0f};
  std::copy(values, values + 8, blob.mutable_cpu_data());
  blob.pad_value_per_chan() = {0.0f, 1.0f};
  std::vector<int> hist(kBins, 0);
  calculateDistribute(&blob, hist.data(), kBins, 2.0);
  // Channel 0 drops its +0.0 (not -0.0), channel 1 its 1.0 (not 1.0000001).
  EXPECT_EQ(Sum(hist.data()), 6);
  EXPECT_EQ(hist[0], 2);     // -0.0 and channel 1's 0.0
  EXPECT_EQ(hist[1024], 1);  // 1.0000001
}

TEST(Statistics, PadValueLearning) {
  // An all-pad input of -2 gives conv 3 * -2 + 1 = -5 and 0.5 * -2 = -1 per
  // channel, and the ReLU after it -0.0 (0 times the slope).
  auto net = MakeNet(
      "layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { shape { dim: 1 dim: 1 dim: 1 dim: 3 } "
      "  data_filler { type: 'gaussian' } } } "
      "layer { name: 'conv' type: 'Convolution' bottom: 'data' top: 'conv' convolution_param { num_output: 2 kernel_size: 1 } "
      "  blobs { shape { dim: 2 dim: 1 dim: 1 dim: 1 } data: 3 data: 0.5 } blobs { shape { dim: 2 } data: 1 data: 0 } } "
      "layer { name: 'relu' type: 'ReLU' bottom: 'conv' top: 'relu' } "
      "layer { name: 'flat' type: 'Flatten' bottom: 'relu' top: 'flat' } "
      "layer { name: 'fc' type: 'InnerProduct' bottom: 'flat' top: 'fc' inner_product_param { num_output: 1 } }");
  setCalDistributeExcluePadValue(*net, 32768.0);
  for (auto* blobs : {&net->top_vecs()[1], &net->top_vecs()[2]}) EXPECT_TRUE((*blobs)[0]->pad_value_per_chan().empty());

  setCalDistributeExcluePadValue(*net, -2.0);
  EXPECT_EQ(net->top_vecs()[1][0]->pad_value_per_chan(), (std::vector<float>{-5.0f, -1.0f}));
  const std::vector<float>& relu = net->top_vecs()[2][0]->pad_value_per_chan();
  ASSERT_EQ(relu.size(), 2u);
  EXPECT_TRUE(std::signbit(relu[0]) && relu[0] == 0.0f);
  EXPECT_TRUE(net->top_vecs()[4][0]->pad_value_per_chan().empty()) << "InnerProduct is not affected by padding";

  // The following histogram pass leaves out the ReLU's -0.0 values.
  dist_analysis a(*net, 3, kBins);
  a.getAbsoluteMaxOfEachLayer();
  a.getDistributeOfEachLayer();
  EXPECT_EQ(a.dist[2]->dataNum, 18);
  EXPECT_LT(Sum(a.dist[2]->distribution), 18) << "some ReLU outputs are -0.0 like the pad run's";
}

TEST(Statistics, FileRoundTripAndLayout) {
  TempDir dir;
  const std::string path = dir / "sub/stats.bin";  // the tool creates one directory level
  auto net = MakeNet(kStatsNet);
  dist_analysis a(*net, 2, kBins);
  a.getAbsoluteMaxOfEachLayer();
  a.getDistributeOfEachLayer();
  const auto& names = net->layer_names();
  const size_t sc = std::find(names.begin(), names.end(), "sc") - names.begin();
  a.dist[sc]->th_equal_neighbour = {true, false};
  a.dist[sc]->ReserveChannels(6);  // a value past the blob's 3 channels
  a.dist[sc]->thPerChannel[5] = 0.25f;
  a.dumpToFile(path);

  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), net->layers().size() * kDistRecordBytes);
  const char* rec1 = bytes.data() + sc * kDistRecordBytes;
  double max;
  int64_t data_num;
  int32_t channels;
  std::memcpy(&max, rec1, 8);
  std::memcpy(&data_num, rec1 + 8200, 8);
  std::memcpy(&channels, rec1 + 8405020, 4);
  EXPECT_EQ(max, 3.0);
  EXPECT_EQ(data_num, 48);
  EXPECT_EQ(channels, 3);
  EXPECT_EQ(rec1[8208], 1);
  EXPECT_EQ(rec1[8405016], 1);
  for (int k = 8210; k < 8216; ++k) EXPECT_EQ(rec1[k], 0) << "padding at " << k;

  auto other = MakeNet(kStatsNet);
  dist_analysis b(*other, 2, kBins);
  b.loadFromFile(path);
  std::vector<unsigned char> x(kDistRecordBytes), y(kDistRecordBytes);
  for (size_t i = 0; i < net->layers().size(); ++i) {
    serializeDistData(*a.dist[i], x.data());
    serializeDistData(*b.dist[i], y.data());
    EXPECT_TRUE(x == y) << "record " << i;
    EXPECT_EQ(std::memcmp(&a.dist[i]->maxPerLayer, &b.dist[i]->maxPerLayer, 8), 0);
  }
  EXPECT_EQ(b.dist[sc]->thPerChannel[5], 0.25f);
}

// The dumps land in dist/ and log/ under the working directory, which the
// tool creates when they are missing.
TEST(Statistics, TextDumpsGoToTheirFolders) {
  for (bool existing : {true, false}) {
    SCOPED_TRACE(existing ? "folders exist" : "folders missing");
    TempDir dir;
    if (existing) {
      std::filesystem::create_directories(dir / "dist");
      std::filesystem::create_directories(dir / "log");
    }
    std::string text = std::string("name: 'stats' ") + kStatsNet;
    text.replace(text.find("name: 'sc'"), 10, "name: 'blk/sc'");
    auto net = MakeNet(text);
    dist_analysis a(*net, 1, kBins);
    a.getAbsoluteMaxOfEachLayer();
    a.getDistributeOfEachLayer();
    for (size_t i = 0; i < net->layers().size(); ++i) net->top_vecs()[i][0]->setThresHold(0.5 * (i + 1));
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    a.dumpInfo();
    std::filesystem::current_path(cwd);

    auto lines = [](const std::string& path) {
      std::ifstream in(path);
      std::vector<std::string> out;
      for (std::string l; std::getline(in, l);) out.push_back(l);
      return out;
    };
    const size_t sc = get_index(net->layer_names(), "blk/sc");
    const auto hist = lines(dir / ("dist/distribution" + std::to_string(sc) + ".txt"));
    ASSERT_EQ(hist.size(), static_cast<size_t>(kBins));
    EXPECT_EQ(hist[512], "8");
    const auto th = lines(dir / "log/stats_th.txt");
    ASSERT_EQ(th.size(), net->layers().size());
    EXPECT_EQ(th[0], "0.5");
    ASSERT_EQ(lines(dir / "log/stats_layer_name.txt").size(), net->layers().size());
    EXPECT_EQ(lines(dir / "log/stats_layer_name.txt")[sc], std::to_string(sc) + "blk_sc");
  }
}

TEST(StatisticsDeathTest, FilesThatCannotBeUsed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  auto net = MakeNet(kStatsNet);
  dist_analysis a(*net, 1, kBins);
  {
    std::ofstream short_file(dir / "short.bin", std::ios::binary);
    short_file << "too short";
  }
  const size_t layers = net->layers().size();
  EXPECT_DEATH(a.loadFromFile(dir / "short.bin"), "has 9 bytes; net .* needs " + std::to_string(layers) +
                                                      " records of 8409120 bytes = " +
                                                      std::to_string(layers * kDistRecordBytes) + " bytes");
  EXPECT_DEATH(a.loadFromFile(dir / "missing.bin"), "Open .*missing.bin  Fail! ");
  EXPECT_DEATH(a.dumpToFile(dir / "no/such/dir/stats.bin"), "Open .*stats.bin  Fail! ");
  a.loadFromFile("");  // an empty name does nothing
  a.dumpToFile("");
}

TEST(StatisticsDeathTest, LayerWithoutOutputIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (!qrn::LayerRegistry<float>::Has("TestSink")) qrn::LayerRegistry<float>::AddCreator("TestSink", [](const qrn::LayerParameter& p) {
    struct Sink : qrn::Layer<float> {
      using Layer::Layer;
      const char* type() const override { return "TestSink"; }
      void Reshape(const BlobVec&, const BlobVec&) override {}
      void Forward_cpu(const BlobVec&, const BlobVec&) override {}
    };
    return std::make_shared<Sink>(p);
  });
  auto net = MakeNet(
      "layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { shape { dim: 1 } } } "
      "layer { name: 'sink' type: 'TestSink' bottom: 'data' }");
  EXPECT_DEATH({ dist_analysis d(*net, 1, kBins); }, "layer sink \\(type TestSink\\) has no output blob");
}

}  // namespace

TEST(Statistics, MaximaWithChannelsOverSampleRanges) {
  // Planes of 15 values (two groups of eight would leave a tail of seven)
  // holding NaNs, negative values, an infinity and signed zeros: against a
  // plain loop, over all samples and over a part of them.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  qrn::Blob<float> blob(std::vector<int>{3, 2, 3, 5});
  for (int i = 0; i < blob.count(); ++i)
    blob.mutable_cpu_data()[i] = static_cast<float>((i * 37) % 23) * (i % 3 == 0 ? -0.25f : 0.5f);
  float* x = blob.mutable_cpu_data();
  x[0] = nan;       // sample 0, channel 0, first group
  x[14] = -9.0f;    // sample 0, channel 0, tail: its maximum
  x[15 + 7] = nan;  // sample 0, channel 1
  x[30 + 3] = -std::numeric_limits<float>::infinity();  // sample 1, channel 0
  for (int i = 45; i < 60; ++i) x[i] = i % 2 ? -0.0f : nan;  // sample 1, channel 1: no number above 0
  const struct {
    int first, end;
  } ranges[] = {{0, 3}, {1, 2}, {2, 1 << 30}, {0, 1}};
  for (const auto& r : ranges) {
    std::vector<double> got(2, 0.0), want(2, 0.0);
    float want_layer = 0.0f;
    for (int n = r.first; n < std::min(r.end, 3); ++n)
      for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 15; ++k) {
          const float v = std::fabs(x[(n * 2 + c) * 15 + k]);
          if (v > want[c]) want[c] = v;
          if (v > want_layer) want_layer = v;
        }
    EXPECT_EQ(findMaxabsWithChannels(blob, got.data(), r.first, r.end), want_layer) << r.first << ".." << r.end;
    EXPECT_EQ(got, want) << r.first << ".." << r.end;
  }
}
