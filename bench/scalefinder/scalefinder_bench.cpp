// Calibration time and peak memory of scalefinder's "quantize" on the
// shipped Fashion-MNIST network: the steps of the calibration in their
// order, timed one by one, with the statistics passes apart from the rest;
// then, side by side, the scalefinder program and a plain numpy script of the
// same job (both statistics passes and the threshold search) run as child processes:
// wall time, CPU time, peak memory, and the threshold (--th_method) each picks per layer.
//
//   scalefinder_bench [--images=300] [--th_method=KL] [--numpy=true] [--minloglevel=1]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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
DEFINE_bool(numpy, true, "also run scalefinder and the numpy script side by side");

namespace {

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// The float net with its weights, for export.
qrn::Net<float>& net_for_export(const std::string& weights, const std::string& model) {
  static qrn::Net<float> net(model, qrn::TEST);
  net.CopyTrainedLayersFrom(weights);
  return net;
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

struct ChildRun {
  int status = -1;
  double wall = 0, cpu = 0, rss_mib = 0;
};

// Runs argv in dir with stdout to out_file and stderr to err_file; its wall
// time, user + system CPU time and peak resident memory.
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& dir, const std::string& out_file,
                  const std::string& err_file) {
  ChildRun r;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  rusage usage{};
  int status = 0;
  wait4(pid, &status, 0, &usage);
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
  r.rss_mib = usage.ru_maxrss / 1024.0;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Raw float32 files of the net's parameter blobs and their shapes, for the
// numpy script.
void ExportWeights(qrn::Net<float>& net, const std::filesystem::path& dir) {
  std::ofstream shapes(dir / "shapes.txt");
  for (size_t i = 0; i < net.layers().size(); ++i) {
    const auto& blobs = net.layers()[i]->blobs();
    for (size_t b = 0; b < blobs.size(); ++b) {
      const std::string name = net.layer_names()[i] + "." + std::to_string(b);
      std::ofstream out(dir / (name + ".f32"), std::ios::binary);
      out.write(reinterpret_cast<const char*>(blobs[b]->cpu_data()),
                static_cast<std::streamsize>(sizeof(float) * blobs[b]->count()));
      shapes << name;
      for (int d : blobs[b]->shape()) shapes << " " << d;
      shapes << "\n";
    }
  }
}

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
  std::filesystem::current_path(out);  // the text dumps (dist/, log/) land there

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

  // The search (--th_method) of each layer's own histogram, before any rule
  // touches the histograms: the candidate (1..16) that the numpy script must
  // match.
  std::map<std::string, int> kl_candidate;
  for (int i = 0; i < static_cast<int>(net.layers().size()); ++i) {
    std::vector<int> hist(analysis->dist[i]->distribution, analysis->dist[i]->distribution + kHistogramBins);
    const dist_data& d = *analysis->dist[i];
    const double th = tensorrt_calib(hist.data(), kHistogramBins, d.maxPerLayer, d.dataNum, false, FLAGS_th_method);
    kl_candidate[net.layer_names()[i]] = static_cast<int>(th * kHistogramBins / (128 * d.maxPerLayer) + 0.5);
  }

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
  int channels = 0;
  for (const auto& d : analysis->dist) channels += d->channelCapacity();
  std::printf("%-34s %10.1f  (records: %d layers, %d channels)\n", "after the statistics passes", rss_stats, layers,
              channels);
  std::printf("%-34s %10.1f\n", "at the end", rss_end);
  std::printf("\noutputs in %s\n", out.string().c_str());
  if (!FLAGS_numpy) return written ? 0 : 1;

  // Side by side, as child processes: scalefinder quantize, and the numpy
  // script of the same statistics passes and threshold search.
  const std::filesystem::path side = out / "side_by_side";
  std::filesystem::remove_all(side);
  std::filesystem::create_directories(side);
  std::filesystem::copy_file(model, side / "fm.prototxt");
  std::filesystem::copy_file(weights, side / "fm.weights");
  ExportWeights(net_for_export(weights, model), side);
  const std::string images_gz = param.layer(0).data_param().source();
  const ChildRun sf = RunChild({SCALEFINDER_BIN, "--model=fm.prototxt", "--weights=fm.weights",
                                "--iterations=" + std::to_string(FLAGS_images), "--th_method=" + FLAGS_th_method, "quantize"},
                               side.string(), (side / "scalefinder.out").string(), (side / "scalefinder.err").string());
  const ChildRun np = RunChild({"/usr/bin/python3", NUMPY_SCRIPT, side.string(), images_gz, std::to_string(FLAGS_images), "100",
                                FLAGS_th_method},
                               side.string(), (side / "numpy.out").string(), (side / "numpy.err").string());
  std::printf("\nside by side, %d images, %s (child processes)\n\n", FLAGS_images, FLAGS_th_method.c_str());
  std::printf("%-22s %10s %10s %12s\n", "", "wall s", "CPU s", "peak MiB");
  std::printf("%-22s %10.3f %10.3f %12.1f%s\n", "scalefinder quantize", sf.wall, sf.cpu, sf.rss_mib,
              sf.status == 0 ? "" : "  (failed)");
  std::printf("%-22s %10.3f %10.3f %12.1f%s\n", "numpy script", np.wall, np.cpu, np.rss_mib,
              np.status == 0 ? "" : "  (failed)");
  std::printf("%-22s %9.2fx %9.2fx %11.2fx\n", "numpy / scalefinder", np.wall / sf.wall, np.cpu / sf.cpu,
              np.rss_mib / sf.rss_mib);

  // The thresholds: the candidate each picks per layer.
  std::ifstream np_out(side / "numpy.out");
  int compared = 0, differ = 0;
  for (std::string line; std::getline(np_out, line);) {
    std::istringstream fields(line);
    std::string name;
    double fmax, th;
    int k;
    if (!(fields >> name >> fmax >> k >> th) || !kl_candidate.count(name)) continue;
    ++compared;
    if (kl_candidate[name] != k) {
      ++differ;
      std::printf("layer %s: scalefinder candidate %d, numpy %d\n", name.c_str(), kl_candidate[name], k);
    }
  }
  std::printf("%s candidates compared: %d layers, %d differ\n", FLAGS_th_method.c_str(), compared, differ);
  return written && sf.status == 0 && np.status == 0 && compared > 0 && differ == 0 ? 0 : 1;
}
