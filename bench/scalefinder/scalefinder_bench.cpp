// Calibration time and peak memory of scalefinder's "quantize" on the
// shipped Fashion-MNIST network: the steps of the calibration in their
// order, timed one by one, with the statistics passes apart from the rest.
//
//   scalefinder_bench [--images=300] [--th_method=KL] [--minloglevel=1]
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "calibration.hpp"
#include "commands.hpp"
#include "dist_analysis.hpp"
#include "graph_transform.hpp"
#include "output_files.hpp"
#include "qrn/qrn.hpp"
#include "scalefinder_flags.hpp"

DEFINE_int32(images, 300, "test images each statistics pass runs over");

namespace {

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

class Stopwatch {
 public:
  Stopwatch() { timer_.Start(); }
  double Lap() {
    timer_.Stop();
    const double s = timer_.Seconds();
    timer_.Start();
    return s;
  }

 private:
  qrn::Timer timer_;
};

}  // namespace

int main(int argc, char** argv) {
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = 1;
  gflags::SetUsageMessage("scalefinder_bench [--images=N] [--th_method=KL|SYMKL|JSD]");
  qrn::GlobalInit(&argc, &argv);
  const std::string model = std::string(MODEL_DIR) + "/fashion_mnist.prototxt";
  const std::string weights = std::string(MODEL_DIR) + "/fashion_mnist.weights";
  const std::filesystem::path out = std::filesystem::temp_directory_path() / "scalefinder_bench";
  std::filesystem::create_directories(out);

  Stopwatch watch;
  qrn::NetParameter param;
  blob_rename_to_unique(param, model);
  qrn::Net<float> net(param);
  net.CopyTrainedLayersFrom(weights);
  const double t_load = watch.Lap();
  const double rss_loaded = PeakRssMiB();

  // Statistics: the records, the pad-value run and the two passes.
  auto analysis = std::make_shared<dist_analysis>(net, FLAGS_images, kHistogramBins);
  setLayerFollowedByRelu(net);
  setReluFollowingSpecial(net);
  setCalDistributeExcluePadValue(net, FLAGS_pad_value);
  const double t_setup = watch.Lap();
  analysis->getAbsoluteMaxOfEachLayer();
  const double t_max = watch.Lap();
  analysis->getDistributeOfEachLayer();
  const double t_hist = watch.Lap();
  const double rss_stats = PeakRssMiB();

  // The rest: thresholds, the layer rules and the output files.
  analysis->setThreshodEqualNeighbour();
  analysis->setLayerUseMaxAsThreshold();
  analysis->getThreshodForEachLayer(FLAGS_th_method, false);
  analysis->dumpInfo();
  const double t_thresholds = watch.Lap();
  QuantParam qp = quant_param_from_flags();
  quantizeEachLayer_int8(net, qp);
  const double t_rules = watch.Lap();
  const std::string w = (out / "fashion_mnist.weights").string();
  const bool written = saveInt8Qmodel(net, w) && saveProtos(net, param, w, false, true, false);
  const double t_files = watch.Lap();
  const double rss_end = PeakRssMiB();

  const int layers = static_cast<int>(net.layers().size());
  const double stats = t_setup + t_max + t_hist;
  const double rest = t_thresholds + t_rules + t_files;
  std::printf("scalefinder calibration of %s: %d layers, %d images per statistics pass\n\n", net.name().c_str(),
              layers, FLAGS_images);
  std::printf("%-34s %10s\n", "step", "seconds");
  std::printf("%-34s %10.3f\n", "load net and weights", t_load);
  std::printf("%-34s %10.3f\n", "statistics: records and set-up", t_setup);
  std::printf("%-34s %10.3f  (%.3f ms/image)\n", "statistics: maximum pass", t_max,
              FLAGS_images > 0 ? 1e3 * t_max / FLAGS_images : 0.0);
  std::printf("%-34s %10.3f  (%.3f ms/image)\n", "statistics: histogram pass", t_hist,
              FLAGS_images > 0 ? 1e3 * t_hist / FLAGS_images : 0.0);
  std::printf("%-34s %10.3f\n", "statistics, total", stats);
  std::printf("%-34s %10.3f\n", "thresholds (rules, search, dumps)", t_thresholds);
  std::printf("%-34s %10.3f\n", "layer quantization rules", t_rules);
  std::printf("%-34s %10.3f\n", "output files", t_files);
  std::printf("%-34s %10.3f\n", "rest, total", rest);
  std::printf("%-34s %10.3f\n\n", "calibration, total", stats + rest);
  std::printf("%-34s %10s\n", "peak resident memory", "MiB");
  std::printf("%-34s %10.1f\n", "after loading", rss_loaded);
  std::printf("%-34s %10.1f  (records: %d x %.1f MiB)\n", "after the statistics passes", rss_stats, layers,
              kDistRecordBytes / 1048576.0);
  std::printf("%-34s %10.1f\n", "at the end", rss_end);
  std::printf("\noutputs in %s\n", out.string().c_str());
  return written ? 0 : 1;
}
