#include "commands.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include <glog/logging.h>

#include "calibration.hpp"
#include "graph_transform.hpp"
#include "output_files.hpp"
#include "qrn/qrn.hpp"
#include "scalefinder_flags.hpp"

#ifndef SCALEFINDER_COMMIT_ID
#define SCALEFINDER_COMMIT_ID "0000000000000000000000000000000000000000"
#endif

namespace fs = std::filesystem;

BrewMap g_brew_map;
std::string g_opt_postfix0 = "_";
std::string g_opt_postfix1 = "optimized";
const char* git_commit_id = SCALEFINDER_COMMIT_ID;

#define RegisterBrewFunction(func)                 \
  namespace {                                      \
  class __Registerer_##func {                      \
   public:                                         \
    __Registerer_##func() {                        \
      g_brew_map[#func] = &func;                   \
    }                                              \
  };                                               \
  __Registerer_##func g_registerer_##func;         \
  }

const char* GetCommitId() { return git_commit_id; }

BrewFunction GetBrewFunction(const std::string& name) {
  auto it = g_brew_map.find(name);
  if (it != g_brew_map.end()) return it->second;
  LOG(ERROR) << "Available qrn actions:";
  for (const auto& entry : g_brew_map) LOG(ERROR) << "\t" << entry.first;
  LOG(FATAL) << "Unknown action: " << name;
  return nullptr;
}

void force_graph_transform_option() {
  if (FLAGS_per_channel || FLAGS_fuse_preprocess || FLAGS_accuracy_opt) FLAGS_graph_transform = true;
}

std::string shell_quote(const std::string& word) {
  static const std::string safe =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+,:=@%";
  if (!word.empty() && word.find_first_not_of(safe) == std::string::npos) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string posix_basename(const std::string& path) {
  if (path.empty()) return ".";
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const size_t start = path.find_last_of('/', end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     start == std::string::npos ? end + 1 : end - start);
}

std::string net_refiner_command(const std::string& model, const std::string& weight,
                                const std::string& postfix) {
  const std::string net_name = posix_basename(rmPostfix(weight));
  std::string cmd = "python3 -m Net_Refiner";
  cmd += " --name " + shell_quote(net_name);
  cmd += " --proto_fp32 " + shell_quote(model);
  cmd += " --model_fp32 " + shell_quote(weight);
  cmd += " --postfix " + shell_quote(postfix);
  if (!FLAGS_notmerge_conv_layer.empty())
    cmd += " --notmerge_conv_layer " + shell_quote(FLAGS_notmerge_conv_layer);
  cmd += " --fp32_diff 0.001";
  if (FLAGS_per_channel) cmd += " --merge_conv_scale";
  if (FLAGS_accuracy_opt) cmd += " --merge_depwise_scale";
  if (FLAGS_fuse_preprocess) cmd += " --fuse_preprocess";
  return cmd;
}

std::string net_refiner_home(const std::string& program_dir) {
  for (const std::string& dir : {program_dir, program_dir + "/../share/scalefinder"}) {
    std::error_code ec;
    if (fs::is_regular_file(dir + "/Net_Refiner/__main__.py", ec)) return fs::path(dir).lexically_normal().string();
  }
  return "";
}

std::string program_dir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

void add_net_refiner_to_python_path() {
  const std::string dir = program_dir();
  const std::string home = dir.empty() ? std::string() : net_refiner_home(dir);
  if (home.empty()) return;  // left to the user's PYTHONPATH
  const char* old = std::getenv("PYTHONPATH");
  const std::string path = old != nullptr && *old != '\0' ? std::string(old) + ":" + home : home;
  setenv("PYTHONPATH", path.c_str(), 1);
}

namespace {

// The files a run writes beside its inputs (the rewritten definition and
// weights, intermediate and final). A run that fails removes them, so that a
// later run, or the user, never takes a half-made net for a rewritten one.
std::vector<std::string> g_run_files;

void RemoveRunFiles() {
  for (const std::string& path : g_run_files) {
    std::error_code ec;
    fs::remove(path, ec);
  }
  g_run_files.clear();
}

// glog's FATAL ends the process through here: the run's files go first.
void FailAfterRemovingRunFiles() {
  RemoveRunFiles();
  std::abort();
}

// Ends the process naming the path as the user gave it, when it is not a
// file that can be read.
void CheckInputFile(const char* flag, const std::string& path) {
  std::error_code ec;
  if (path.empty()) LOG(FATAL) << "--" << flag << " is not given";
  if (fs::is_directory(path, ec)) LOG(FATAL) << "cannot read --" << flag << "=" << path << ": it is a directory";
  std::ifstream in(path, std::ios::binary);
  if (!in) LOG(FATAL) << "cannot read --" << flag << "=" << path << ": " << std::strerror(errno);
}

// Failures are not fatal here: a missing file stops the next reader.
void CopyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) LOG(WARNING) << "cannot copy " << from << " to " << to << ": " << ec.message();
}

void MoveFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec == std::errc::cross_device_link) {
    ec.clear();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::remove(from, ec);
  }
  if (ec) LOG(WARNING) << "cannot move " << from << " to " << to << ": " << ec.message();
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace

int graph_transform_python(std::string model, std::string weight, std::string postfix) {
  if (FLAGS_graph_transform) {
    const std::string cmd = net_refiner_command(model, weight, postfix);
    LOG(INFO) << "cmd_str:" << cmd;
    add_net_refiner_to_python_path();
    if (std::system(cmd.c_str()) != 0) {
      LOG(INFO) << "Error:Failed to invoke python script!";
      RemoveRunFiles();
      std::exit(1);
    }
    return 0;
  }
  CopyFile(model, model + postfix);
  CopyFile(weight, weight + postfix);
  return 1;
}

int graph_transform_cplus(std::string model, std::string weight, std::string postfix) {
  if (FLAGS_conv_group) {
    split_conv_into_group(model, weight, postfix);
    return 0;
  }
  MoveFile(model, model + postfix);
  MoveFile(weight, weight + postfix);
  return 1;
}

int graph_transform() {
  CheckInputFile("model", FLAGS_model);
  CheckInputFile("weights", FLAGS_weights);
  g_run_files = {FLAGS_model + g_opt_postfix0, FLAGS_weights + g_opt_postfix0,
                 FLAGS_model + g_opt_postfix0 + g_opt_postfix1, FLAGS_weights + g_opt_postfix0 + g_opt_postfix1};
  google::InstallFailureFunction(&FailAfterRemovingRunFiles);
  LOG(INFO) << "Use CPU.";
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
  bool optimize_nothing = true;
  const int r1 = graph_transform_python(FLAGS_model, FLAGS_weights, g_opt_postfix0);
  optimize_nothing = optimize_nothing && (r1 != 0);
  const int r2 = graph_transform_cplus(FLAGS_model + g_opt_postfix0, FLAGS_weights + g_opt_postfix0,
                                       g_opt_postfix1);
  optimize_nothing = optimize_nothing && (r2 != 0);
  return optimize_nothing ? 1 : 0;
}

QuantParam quant_param_from_flags() {
  QuantParam p;
  p.th_method = FLAGS_th_method;
  p.winograd = FLAGS_winograd;
  p.fpfwd_inputs = FLAGS_fpfwd_inputs;
  p.fpfwd_outputs = FLAGS_fpfwd_outputs;
  p.fpfwd_blocks = FLAGS_fpfwd_blocks;
  p.fpfwd_auto_detect = FLAGS_fpfwd_auto_detect;
  p.graph_transform = FLAGS_graph_transform;
  p.accuracy_opt = FLAGS_accuracy_opt;
  p.conv_group = FLAGS_conv_group;
  p.per_channel = FLAGS_per_channel;
  p.fuse_preprocess = FLAGS_fuse_preprocess;
  return p;
}

int quantize() {
  const bool optimize_nothing = graph_transform() != 0;
  const std::string model_optimized = FLAGS_model + g_opt_postfix0 + g_opt_postfix1;
  const std::string weights_optimized = FLAGS_weights + g_opt_postfix0 + g_opt_postfix1;
  LOG(INFO) << "Running for " << FLAGS_iterations << " iterations.";
  LOG(INFO) << "Running for " << static_cast<int>(qrn::Qrn::Get().mode()) << " mode.";

  qrn::NetParameter net_param;
  blob_rename_to_unique(net_param, model_optimized);
  if (net_param.name().empty()) net_param.set_name(posix_basename(rmPostfix(weights_optimized)));
  qrn::Net<float> net(net_param);
  net.CopyTrainedLayersFrom(weights_optimized);

  const QuantParam quant_param = quant_param_from_flags();
  std::string load_dist = FLAGS_load_dist, dump_dist = FLAGS_dump_dist;
  calibration_int8(net, FLAGS_iterations, load_dist, dump_dist, FLAGS_pad_value, quant_param);

  bool written = true;
  if (FLAGS_save_model) {
    written = saveInt8Qmodel(net, weights_optimized);
    written = saveProtos(net, net_param, weights_optimized, FLAGS_fuse_preprocess, FLAGS_save_test_proto,
                         FLAGS_winograd) &&
              written;
  }

  if (optimize_nothing) RemoveFile(weights_optimized);
  RemoveFile(model_optimized);
  g_run_files.clear();  // what is left now is the run's output
  if (!written) {
    LOG(ERROR) << "the 8-bit model or a definition of net " << net.name() << " could not be written";
    return 1;
  }
  return 0;
}

int release() { return quantize(); }

RegisterBrewFunction(graph_transform)
RegisterBrewFunction(quantize)
RegisterBrewFunction(release)
