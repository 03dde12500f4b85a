#include "dist_analysis.hpp"

#include <libgen.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <set>

#include <glog/logging.h>
#include <omp.h>

#include "calibration.hpp"
#include "layer_types.hpp"
#include "qrn/common.hpp"
#include "qrn/math.hpp"
#include "qrn/parallel.hpp"

using qrn::Blob;
using qrn::Net;

namespace {

// Offsets of the fields in a record of the statistics file.
constexpr size_t kOffMax = 0;
constexpr size_t kOffDistribution = 8;
constexpr size_t kOffDataNum = 8200;
constexpr size_t kOffFirst = 8208;
constexpr size_t kOffSecond = 8209;
constexpr size_t kOffMaxPerChannel = 8216;
constexpr size_t kOffDistPerChannel = 16408;
constexpr size_t kOffPerChannelValid = 8405016;
constexpr size_t kOffChannelNum = 8405020;
constexpr size_t kOffThPerChannel = 8405024;
static_assert(kOffThPerChannel + sizeof(float) * kMaxStatChannels == kDistRecordBytes,
              "record layout");

bool HostIsLittleEndian() {
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// Values of one forward per thread below which another thread costs more
// than it saves, and the most threads the statistics use (each keeps its
// own histograms for the whole pass). The threads split each forward's
// samples, not the layers among six threads: one layer's blob often holds
// most of the values, so a split by layers would leave threads idle.
constexpr long long kValuesPerThread = 1LL << 16;
constexpr int kMaxStatThreads = 6;  // not six threads over the layers: at most six over the samples, fewer when loaded

// Whether the statistics of a blob may be split by samples: blobs of 2 or 4
// axes without pad values. Other blobs go whole to one thread.
bool SplitsBySamples(const Blob<float>& blob) {
  return (blob.num_axes() == 2 || blob.num_axes() == 4) && blob.pad_value_per_chan().empty() &&
         blob.count() > 0;
}

// Runs fn(share, layer, first, end) over the first output blob of every
// layer after a forward, in `shares` shares of an OpenMP loop, one share
// per thread: each share takes its part [first, end) of the samples of
// every blob that splits by samples, and blobs that do not split go whole
// to one share each (end = INT_MAX). How samples are split depends only on
// the number of shares, not on the threads the runtime gives. Framework
// loops started inside a share run on its thread.
template <typename Fn>
void ForEachShare(Net<float>& net, int layers, int shares, Fn fn) {
#pragma omp parallel for num_threads(shares) schedule(static, 1)
  for (int t = 0; t < shares; ++t) {
    const qrn::InShare on_this_thread;
    for (int i = 0; i < layers; ++i) {
      const Blob<float>& blob = *net.top_vecs()[i][0];
      if (SplitsBySamples(blob)) {
        const long long N = blob.shape(0);
        fn(t, i, static_cast<int>(N * t / shares), static_cast<int>(N * (t + 1) / shares));
      } else if (i % shares == t) {
        fn(t, i, 0, std::numeric_limits<int>::max());
      }
    }
  }
  // The region's threads end here instead of polling for the next region
  // through the whole next forward pass (the runtime's default wait), which
  // cost more CPU time than starting them again.
  if (shares > 1) omp_pause_resource_all(omp_pause_soft);
}

// Channels whose statistics a blob's record keeps.
int StatChannels(const Blob<float>& blob) {
  if (blob.num_axes() != 2 && blob.num_axes() != 4) return 0;
  return std::min(blob.shape(1), kMaxStatChannels);
}

// Layer types that compute each sample of a batch on its own, whatever
// their parameters (the types with an axis are checked apart).
const std::set<std::string> kPerSampleTypes = {
    "Data",    "ImageData", "Convolution", "Deconvolution", "ReLU",  "PReLU",     "Pooling",
    "Dropout", "Split",     "Eltwise",     "LRN",           "BatchNorm", "Scale", "Bias",
    "Sigmoid", "TanH",      "AbsVal",      "Power",         "Exp",   "Log",       "BNLL"};

}  // namespace

void serializeDistData(const dist_data& d, unsigned char* out) {
  CHECK(HostIsLittleEndian()) << "statistics files are little-endian; this host is not";
  std::memset(out, 0, kDistRecordBytes);
  std::memcpy(out + kOffMax, &d.maxPerLayer, sizeof d.maxPerLayer);
  std::memcpy(out + kOffDistribution, d.distribution, sizeof d.distribution);
  std::memcpy(out + kOffDataNum, &d.dataNum, sizeof d.dataNum);
  out[kOffFirst] = d.th_equal_neighbour.first ? 1 : 0;
  out[kOffSecond] = d.th_equal_neighbour.second ? 1 : 0;
  // Channels the record does not keep stay zero.
  const size_t kept = static_cast<size_t>(d.channelCapacity());
  if (kept > 0) {
    std::memcpy(out + kOffMaxPerChannel, d.maxPerChannel.data(), kept * sizeof(double));
    std::memcpy(out + kOffDistPerChannel, d.distributionPerChannel.data(), kept * sizeof(dist_data::Row));
    std::memcpy(out + kOffThPerChannel, d.thPerChannel.data(), kept * sizeof(float));
  }
  out[kOffPerChannelValid] = d.isPerChannelValid ? 1 : 0;
  std::memcpy(out + kOffChannelNum, &d.channelNum, sizeof d.channelNum);
}

void deserializeDistData(const unsigned char* in, dist_data* d) {
  CHECK(HostIsLittleEndian()) << "statistics files are little-endian; this host is not";
  std::memcpy(&d->maxPerLayer, in + kOffMax, sizeof d->maxPerLayer);
  std::memcpy(d->distribution, in + kOffDistribution, sizeof d->distribution);
  std::memcpy(&d->dataNum, in + kOffDataNum, sizeof d->dataNum);
  d->th_equal_neighbour.first = in[kOffFirst] != 0;
  d->th_equal_neighbour.second = in[kOffSecond] != 0;
  d->isPerChannelValid = in[kOffPerChannelValid] != 0;
  std::memcpy(&d->channelNum, in + kOffChannelNum, sizeof d->channelNum);
  // Keep every channel the file holds anything for: up to channelNum, and
  // beyond it as far as a non-zero field reaches.
  int used = std::max(0, std::min(d->channelNum, kMaxStatChannels));
  for (int c = kMaxStatChannels - 1; c >= used; --c) {
    const unsigned char* fields[] = {in + kOffMaxPerChannel + c * sizeof(double),
                                     in + kOffDistPerChannel + c * sizeof(dist_data::Row),
                                     in + kOffThPerChannel + c * sizeof(float)};
    const size_t sizes[] = {sizeof(double), sizeof(dist_data::Row), sizeof(float)};
    bool zero = true;
    for (int f = 0; f < 3 && zero; ++f)
      zero = std::all_of(fields[f], fields[f] + sizes[f], [](unsigned char b) { return b == 0; });
    if (!zero) {
      used = c + 1;
      break;
    }
  }
  d->ReserveChannels(used);
  const size_t kept = static_cast<size_t>(d->channelCapacity());
  if (kept > 0) {
    std::memcpy(d->maxPerChannel.data(), in + kOffMaxPerChannel, kept * sizeof(double));
    std::memcpy(d->distributionPerChannel.data(), in + kOffDistPerChannel, kept * sizeof(dist_data::Row));
    std::memcpy(d->thPerChannel.data(), in + kOffThPerChannel, kept * sizeof(float));
  }
}

void dist_data::ReserveChannels(int channels) {
  const size_t n = static_cast<size_t>(std::max(0, std::min(channels, kMaxStatChannels)));
  if (n <= maxPerChannel.size()) return;
  maxPerChannel.resize(n, 0.0);
  distributionPerChannel.resize(n, Row{});
  thPerChannel.resize(n, 0.0f);
}

bool statisticsBatchable(Net<float>& net) {
  bool has_data = false;
  for (size_t i = 0; i < net.layers().size(); ++i) {
    const std::string type = net.layers()[i]->type();
    const qrn::LayerParameter& p = net.layers()[i]->layer_param();
    if (type == "Data" || type == "ImageData") has_data = true;
    if (net.bottom_vecs()[i].empty() && type != "Data" && type != "ImageData") return false;
    if (kPerSampleTypes.count(type)) continue;
    // Layers with an axis keep samples apart when the axis is not the batch.
    const Blob<float>* in = net.bottom_vecs()[i].empty() ? nullptr : net.bottom_vecs()[i][0];
    auto past_batch = [&](int axis) { return in != nullptr && in->CanonicalAxisIndex(axis) >= 1; };
    if (type == "InnerProduct" && past_batch(p.inner_product_param().axis())) continue;
    if (type == "Softmax" && past_batch(p.softmax_param().axis())) continue;
    if (type == "Concat" && !p.concat_param().has_concat_dim() && past_batch(p.concat_param().axis())) continue;
    if (type == "Flatten" && past_batch(p.flatten_param().axis())) continue;
    return false;
  }
  return has_data && net.input_blobs().empty();
}

dist_analysis::dist_analysis(Net<float>& net, int iterations_, int partionNUM_)
    : qrn_net(net), iterations(iterations_), partionNUM(partionNUM_) {
  CHECK(partionNUM >= 2 && partionNUM <= kHistogramBins)
      << "histograms hold 2 to " << kHistogramBins << " bins, not " << partionNUM;
  layerNum = static_cast<int>(net.layers().size());
  for (int i = 0; i < layerNum; ++i) {
    if (net.top_vecs()[i].empty())
      LOG(FATAL) << "layer " << net.layer_names()[i] << " (type " << net.layers()[i]->type()
                 << ") has no output blob; the calibration needs one for every layer";
    dist.push_back(std::make_shared<dist_data>(StatChannels(*net.top_vecs()[i][0])));
  }
}

void dist_analysis::getAbsoluteMaxOfEachLayer() {
  LOG(INFO) << "statistics: maximum pass over " << iterations << " iterations of " << layerNum
            << " layers";
  qrn::Timer timer;
  timer.Start();
  // Each thread's maxima of the last forward, per layer; merged after it.
  std::vector<std::vector<float>> layer_max;
  std::vector<std::vector<std::vector<double>>> channel_max;
  RunPasses(
      [&](int threads) {
        layer_max.assign(threads, std::vector<float>(layerNum, 0.0f));
        channel_max.resize(threads);
        for (auto& per_layer : channel_max) per_layer.resize(layerNum);
        for (int i = 0; i < layerNum; ++i) {
          if (layer_type_in(layer_not_need_cal_th, qrn_net.layers()[i]->type())) continue;
          dist_data& d = *dist[i];
          const Blob<float>& blob = *qrn_net.top_vecs()[i][0];
          d.isPerChannelValid = blob.num_axes() == 2 || blob.num_axes() == 4;
          if (!d.isPerChannelValid) continue;
          d.channelNum = std::min(blob.shape(1), kMaxStatChannels);
          d.ReserveChannels(d.channelNum);  // only when the blob grew since set-up
          for (auto& per_layer : channel_max) per_layer[i].assign(d.channelNum, 0.0);
        }
      },
      [&](int t, int i, int first, int end) {
        if (layer_type_in(layer_not_need_cal_th, qrn_net.layers()[i]->type())) return;
        const Blob<float>& blob = *qrn_net.top_vecs()[i][0];
        if (blob.num_axes() == 2 || blob.num_axes() == 4)
          layer_max[t][i] = findMaxabsWithChannels(blob, channel_max[t][i].data(), first, end);
        else
          layer_max[t][i] = findMaxabs(blob.cpu_data(), blob.count());
      },
      [&](int threads) {
        for (int i = 0; i < layerNum; ++i) {
          if (layer_type_in(layer_not_need_cal_th, qrn_net.layers()[i]->type())) continue;
          dist_data& d = *dist[i];
          float fmax = 0.0f;
          for (int t = 0; t < threads; ++t) {
            fmax = std::max(fmax, layer_max[t][i]);
            layer_max[t][i] = 0.0f;
            std::vector<double>& m = channel_max[t][i];
            for (size_t c = 0; c < m.size(); ++c) {
              d.maxPerChannel[c] = std::max(d.maxPerChannel[c], m[c]);
              m[c] = 0.0;
            }
          }
          // (findMaxabs logs the blobs it reads itself.)
          if (fmax == 0.0f && d.isPerChannelValid) LOG(ERROR) << "findMaxabs meet fmax == 0";
          d.maxPerLayer = std::max(d.maxPerLayer, static_cast<double>(fmax));
        }
      },
      [](int it) { LOG(INFO) << "get absolute max iterations =  " << it; });
  for (int i = 0; i < layerNum; ++i) {
    if (std::fabs(dist[i]->maxPerLayer) < 0.0001 && std::string(qrn_net.layers()[i]->type()) != "Split") {
      LOG(INFO) << "========================INFO====================================";
      LOG(INFO) << "layer name =" << qrn_net.layer_names()[i] << ", "
                << "layer type =" << qrn_net.layers()[i]->type() << ", "
                << "its maximum output is zero, please check your net input";
      LOG(INFO) << "  ";
      LOG(INFO) << "if you use dummyDatalayer, please set filter type explicitly as following";
      LOG(INFO) << "dummy data param{";
      LOG(INFO) << "  data filer{";
      LOG(INFO) << "     type:\"gaussian\" ";
      LOG(INFO) << "            }";
      LOG(INFO) << "================================================================";
      LOG(WARNING) << " ";
      dist[i]->maxPerLayer = 0.001;
    }
  }
  timer.Stop();
  LOG(INFO) << "statistics: maximum pass done in " << timer.Seconds() << " s";
}

void dist_analysis::getDistributeOfEachLayer() {
  LOG(INFO) << "statistics: histogram pass over " << iterations << " iterations of " << layerNum
            << " layers";
  qrn::Timer timer;
  timer.Start();
  const int report_every = std::max(1, iterations / 10);
  // Each thread's histograms (per layer: the layer's, then one row per
  // channel), added up at the end of the pass: counts do not depend on
  // which thread took which samples.
  std::vector<std::vector<std::vector<dist_data::Row>>> share;
  RunPasses(
      [&](int threads) {
        share.resize(std::max<size_t>(share.size(), threads));
        for (auto& per_layer : share) {
          per_layer.resize(layerNum);
          for (int i = 0; i < layerNum; ++i) {
            dist[i]->ReserveChannels(StatChannels(*qrn_net.top_vecs()[i][0]));
            per_layer[i].resize(1 + dist[i]->channelCapacity(), dist_data::Row{});
          }
        }
      },
      [&](int t, int i, int first, int end) {
        if (layer_type_in(layer_not_need_cal_th, qrn_net.layers()[i]->type())) return;
        const dist_data& d = *dist[i];
        std::vector<dist_data::Row>& rows = share[t][i];
        calculateDistributeWithChannels(qrn_net.top_vecs()[i][0], rows[0].data(),
                                        reinterpret_cast<int(*)[kHistogramBins]>(rows.data() + 1), partionNUM,
                                        d.maxPerLayer, d.maxPerChannel.data(), first, end);
      },
      [&](int) {
        for (int i = 0; i < layerNum; ++i) dist[i]->dataNum += qrn_net.top_vecs()[i][0]->count();
      },
      [this, report_every](int it) {
        std::cout << "get distribute iterations =  " << it << std::endl;
        if ((it + 1) % report_every == 0 || it + 1 == iterations)
          LOG(INFO) << "statistics: histogram pass " << it + 1 << "/" << iterations;
      });
  for (const auto& per_layer : share)
    for (int i = 0; i < layerNum; ++i) {
      dist_data& d = *dist[i];
      const std::vector<dist_data::Row>& rows = per_layer[i];
      for (int b = 0; b < kHistogramBins; ++b) d.distribution[b] += rows[0][b];
      for (size_t c = 0; c + 1 < rows.size(); ++c)
        for (int b = 0; b < kHistogramBins; ++b) d.distributionPerChannel[c][b] += rows[c + 1][b];
    }
  timer.Stop();
  LOG(INFO) << "statistics: histogram pass done in " << timer.Seconds() << " s";
}

template <typename Prepare, typename Work, typename Merge, typename Log>
void dist_analysis::RunPasses(Prepare prepare, Work work, Merge merge, Log log) {
  // The data layers' batch sizes, to scale up and to restore.
  std::vector<std::pair<qrn::LayerParameter*, uint32_t>> data;
  const int group = passesPerForward > 1 && statisticsBatchable(qrn_net) ? passesPerForward : 1;
  if (group > 1) {
    for (const auto& layer : qrn_net.layers()) {
      qrn::LayerParameter* p = layer->mutable_layer_param();
      if (std::string(layer->type()) == "Data") data.emplace_back(p, p->data_param().batch_size());
      if (std::string(layer->type()) == "ImageData") data.emplace_back(p, p->image_data_param().batch_size());
    }
  }
  auto set_batch = [&](int passes) {
    for (auto& [p, batch] : data) {
      const uint32_t b = batch * static_cast<uint32_t>(passes);
      if (p->has_data_param()) p->mutable_data_param()->set_batch_size(b);
      if (p->has_image_data_param()) p->mutable_image_data_param()->set_batch_size(b);
    }
  };
  int prepared = 0;  // threads the accumulators are ready for
  for (int done = 0; done < iterations;) {
    const int passes = std::min(group, iterations - done);
    if (group > 1) set_batch(passes);
    qrn_net.Forward();
    for (int it = done; it < done + passes; ++it) log(it);
    long long values = 0;
    for (int i = 0; i < layerNum; ++i) values += qrn_net.top_vecs()[i][0]->count();
    const int threads =
        statisticsShares > 0 ? statisticsShares : qrn::ParallelThreads(values, kValuesPerThread, kMaxStatThreads);
    if (done == 0 || threads > prepared) {
      prepare(threads);
      prepared = threads;
    }
    ForEachShare(qrn_net, layerNum, threads, work);
    merge(threads);
    done += passes;
  }
  if (group > 1) {
    set_batch(1);
    qrn_net.Reshape();
  }
}

void dist_analysis::dumpToFile(std::string fileName) {
  if (fileName.empty()) return;
  std::string dir = fileName;
  mkdir(dirname(dir.data()), 0777);
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) LOG(FATAL) << "Open " << fileName << "  Fail! ";
  std::vector<unsigned char> record(kDistRecordBytes);
  for (int i = 0; i < layerNum; ++i) {
    serializeDistData(*dist[i], record.data());
    out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
  }
  out.close();
  if (!out) LOG(FATAL) << "Write " << fileName << "  Fail! ";
  LOG(INFO) << "statistics of " << layerNum << " layers written to " << fileName;
}

void dist_analysis::loadFromFile(std::string fileName) {
  if (fileName.empty()) return;
  std::ifstream in(fileName, std::ios::binary | std::ios::ate);
  if (!in) LOG(FATAL) << "Open " << fileName << "  Fail! ";
  const long long size = static_cast<long long>(in.tellg());
  const int layers = getLayerNum();
  const long long expected = static_cast<long long>(layers) * static_cast<long long>(kDistRecordBytes);
  if (size != expected)
    LOG(FATAL) << "Statistics file " << fileName << " has " << size << " bytes; net " << qrn_net.name()
               << " has " << layers << " layers, so it needs " << layers << " records of "
               << kDistRecordBytes << " bytes = " << expected << " bytes";
  in.seekg(0);
  std::vector<unsigned char> record(kDistRecordBytes);
  for (int i = 0; i < layers; ++i) {
    if (!in.read(reinterpret_cast<char*>(record.data()), static_cast<std::streamsize>(record.size())))
      LOG(FATAL) << "Read " << fileName << "  Fail! ";
    deserializeDistData(record.data(), dist[i].get());
  }
  LOG(INFO) << "statistics of " << layers << " layers read from " << fileName;
}

void dist_analysis::dumpInfo() {
  std::cout << "0." << std::endl;
  dumpThreshodEqualNeighbour();
  std::cout << "1." << std::endl;
  dumpDistribution();
  std::cout << "2." << std::endl;
  dumpMaxPerLayerInfo();
  std::cout << "3." << std::endl;
  dumpThresholdInfo();
}

void dist_analysis::dumpThreshodEqualNeighbour() {
  LOG(INFO) << "th_equal_to_neighbour";
  for (int i = 0; i < layerNum; ++i)
    LOG(INFO) << qrn_net.layer_names()[i] << ":  previous: " << dist[i]->th_equal_neighbour.first
              << "   next: " << dist[i]->th_equal_neighbour.second;
}

void dist_analysis::dumpDistribution() {
  mkdir("dist", 0777);  // an existing folder is fine
  for (int i = 0; i < layerNum; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "dist/distribution%d.txt", i);
    std::ofstream out(name, std::ios::trunc);
    if (!out) continue;
    for (int b = 0; b < partionNUM; ++b) out << dist[i]->distribution[b] << "\n";
  }
}

void dist_analysis::dumpMaxPerLayerInfo() {
  for (int i = 0; i < layerNum; ++i) {
    LOG(INFO) << "layer = " << qrn_net.layer_names()[i];
    LOG(INFO) << " useMaxAsThreshold = " << qrn_net.top_vecs()[i][0]->isUseMaxAsThreshold();
    LOG(INFO) << " max of layer output fmax= " << dist[i]->maxPerLayer;
  }
}

void dist_analysis::dumpThresholdInfo() {
  mkdir("log", 0777);  // an existing folder is fine
  std::ofstream th_file("log/" + qrn_net.name() + "_th.txt", std::ios::trunc);
  std::ofstream name_file("log/" + qrn_net.name() + "_layer_name.txt", std::ios::trunc);
  for (int i = 0; i < layerNum; ++i) {
    const double th = qrn_net.top_vecs()[i][0]->thresHold();
    LOG(INFO) << "threshold =" << th << "  for layer " << qrn_net.layer_names()[i];
    if (th_file) th_file << th << "\n";
    std::string name = qrn_net.layer_names()[i];
    strReplace(name);
    if (name_file) name_file << i << name << "\n";
  }
}

void dist_analysis::dumpThresholdPerChannelInfo() {
  for (int i = 0; i < layerNum; ++i) {
    LOG(INFO) << "threshold =" << qrn_net.top_vecs()[i][0]->thresHold() << "  for layer "
              << qrn_net.layer_names()[i];
    if (!dist[i]->isPerChannelValid) continue;
    const int n = std::min(dist[i]->channelNum, 128);
    LOG(INFO) << "channelNum:" << n;
    for (int c = 0; c < n; ++c) {
      LOG(INFO) << dist[i]->thPerChannel[c] << " ";
      if (c > 0 && c % 32 == 0) std::cout << std::endl;
    }
  }
}

void setCalDistributeExcluePadValue(Net<float>& net, double inputPadValue) {
  if (inputPadValue == 32768.0) return;
  CHECK(!net.layers().empty() && !net.top_vecs()[0].empty())
      << "the pad-value run needs a first layer with an output blob";
  Blob<float>* input = net.top_vecs()[0][0];
  std::fill(input->mutable_cpu_data(), input->mutable_cpu_data() + input->count(),
            static_cast<float>(inputPadValue));
  net.ForwardFrom(1);
  for (size_t i = 0; i < net.layers().size(); ++i) {
    const std::string type = net.layers()[i]->type();
    if (!layer_type_in(layer_pad_impact, type)) continue;
    const std::string& name = net.layer_names()[i];
    for (Blob<float>* blob : net.top_vecs()[i]) {
      if (blob->num_axes() != 4) {
        LOG(INFO) << name << " output does not have 4 dims";
        continue;
      }
      LOG(INFO) << "layer=" << name << " type=" << type << " cal pad value";
      const int C = blob->channels(), H = blob->height(), W = blob->width();
      if (blob->count() == 0) continue;
      // The value just above the centre; a map of height 1 has only row 0.
      const int hidx = std::max(H / 2 - 1, 0);
      const int widx = W / 2;
      for (int c = 0; c < C; ++c) blob->pad_value_per_chan().push_back(blob->data_at(0, c, hidx, widx));
      LOG(INFO) << "pad_value_per_chan size=" << blob->pad_value_per_chan().size();
    }
  }
}
