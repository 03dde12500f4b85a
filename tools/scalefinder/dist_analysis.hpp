// Activation statistics of a float net: per-layer maxima and histograms of
// absolute output values (whole layer and per channel), their file, the
// text dumps, and the threshold rules and assignment that work on them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "math_util.hpp"
#include "qrn/net.hpp"

// Statistics of one layer's first output blob.  All zero when created.
//
// The per-channel fields hold as many channels as the blob has (at most
// kMaxStatChannels); the statistics file still has room for all of them and
// holds zeros for the channels a record does not keep.
struct dist_data {
  // One histogram row per channel.
  using Row = std::array<int32_t, kHistogramBins>;

  dist_data() = default;
  explicit dist_data(int channels) { ReserveChannels(channels); }
  // Makes room for at least `channels` channels (capped at
  // kMaxStatChannels), zero-filled.
  void ReserveChannels(int channels);
  int channelCapacity() const { return static_cast<int>(maxPerChannel.size()); }

  double maxPerLayer = 0.0;
  int32_t distribution[kHistogramBins] = {};
  int64_t dataNum = 0;  // values the histogram pass visited, pad values included
  // first: the threshold is the input's; second: the single consumer's.
  std::pair<bool, bool> th_equal_neighbour{false, false};
  std::vector<double> maxPerChannel;
  std::vector<Row> distributionPerChannel;
  bool isPerChannelValid = false;
  int32_t channelNum = 0;
  std::vector<float> thPerChannel;
};

// Bytes of one layer's record in a statistics file.
constexpr size_t kDistRecordBytes = 8409120;

// The record in its file form (little-endian, fixed offsets, zero padding)
// and back.
void serializeDistData(const dist_data& d, unsigned char* out);
void deserializeDistData(const unsigned char* in, dist_data* d);

class dist_analysis {
 public:
  // One zeroed record per layer of the net.  Every layer must have an output
  // blob (the process ends naming the first that has none).
  dist_analysis(qrn::Net<float>& net, int iterations, int partionNUM);

  int getLayerNum() const { return static_cast<int>(qrn_net.layers().size()); }

  // The two statistics passes, each over `iterations` forward passes.  When
  // every layer treats the samples of a batch apart (statisticsBatchable),
  // up to `passesPerForward` passes run as one forward of a larger batch
  // (the data layers' batch times that many) and the net is reshaped back
  // afterwards; the records come out the same as pass by pass.  The
  // samples of each forward's outputs are shared out among up to 6 threads
  // (no more than qrn::ParallelThreads allows) when there are enough of
  // them, each with its own maxima and histograms, merged afterwards: the
  // records do not depend on the thread count.
  void getAbsoluteMaxOfEachLayer();
  void getDistributeOfEachLayer();
  int passesPerForward = 64;
  // Shares each forward's statistics are split into (each with its own
  // accumulators); 0 chooses by the amount of work and the machine.
  int statisticsShares = 0;

  // The statistics file (no header; one record per layer).  An empty name
  // does nothing; a file that cannot be opened, or (on loading) whose size
  // does not fit this net, ends the process.
  void dumpToFile(std::string fileName);
  void loadFromFile(std::string fileName);

  // Text dumps: logs, "dist/distribution<i>.txt" and "log/<net>_th.txt",
  // "log/<net>_layer_name.txt" (the folders are created when missing).
  void dumpInfo();
  void dumpThreshodEqualNeighbour();
  void dumpDistribution();
  void dumpMaxPerLayerInfo();
  void dumpThresholdInfo();
  void dumpThresholdPerChannelInfo();

  // Which layers share a neighbour's threshold (th_equal_neighbour), checked
  // against the graph; the process ends at the first inconsistency.
  void setThreshodEqualNeighbour();
  // Which output blobs use their maximum as threshold.
  void setLayerUseMaxAsThreshold();
  // Every output blob's final threshold.
  void getThreshodForEachLayer(std::string th_method, bool fuse_preprocess);

  std::vector<std::shared_ptr<dist_data>> dist;
  qrn::Net<float>& qrn_net;
  const int iterations;
  const int partionNUM;
  int layerNum;

 private:
  // Runs the pass's forwards. After each one: prepare(threads) when the
  // threads' accumulators need (re)sizing (always after the first), then
  // work(thread, layer, first sample, end sample) over every layer's output
  // on those threads, then merge(threads); log(pass) for each pass covered.
  template <typename Prepare, typename Work, typename Merge, typename Log>
  void RunPasses(Prepare prepare, Work work, Merge merge, Log log);
};

// Whether every layer of the net computes each sample of a batch on its own
// (so that several forward passes may run as one) and its data layers read
// their samples in order.
bool statisticsBatchable(qrn::Net<float>& net);

// Learns, per channel, the value that an all-pad input produces in every
// layer that padding affects, into the output blobs' pad_value_per_chan().
// 32768 means "no pad value" and does nothing.
void setCalDistributeExcluePadValue(qrn::Net<float>& net, double inputPadValue);
