// layerspill: runs a float or 8-bit net forward on its own data layers and
// writes the outputs of its layers as text, one value per line, so that two
// runs can be compared line by line.
//
//   layerspill MODEL WEIGHTS ITERATIONS MODE [ONLY_ITERATION [LAYERS]]
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/algorithm/string.hpp>
#include <glog/logging.h>

#include "calibration.hpp"
#include "qrn/qrn.hpp"

namespace {

const char kUsage[] =
    "usage: layerspill MODEL WEIGHTS ITERATIONS MODE [ONLY_ITERATION [LAYERS]]\n"
    "\n"
    "Runs the net MODEL (text definition) with the weights WEIGHTS forward\n"
    "ITERATIONS times on its own data layers and writes every layer's outputs\n"
    "as text files, one value per line, into log_<net>_<local time>/ (one\n"
    "sub-directory per pass, named 0, 1, ..., when there is more than one).\n"
    "\n"
    "  MODE            INT8_NEURON runs the 8-bit model (WEIGHTS is the\n"
    "                  .int8qmodel that scalefinder wrote, MODEL a test\n"
    "                  definition with the same layers) and writes, per layer,\n"
    "                  <k><name>_fixpoint.txt (the 8-bit values),\n"
    "                  <k><name>_scale_to_fp32.txt (them times the output\n"
    "                  scale) and a line of _layerName_and_th.txt; any other\n"
    "                  word runs in float and writes <k><name>_float.txt.\n"
    "  ONLY_ITERATION  when not 0: run that many passes and write only the\n"
    "                  last one.\n"
    "  LAYERS          comma-separated names of the layers to write (all when\n"
    "                  absent).\n"
    "\n"
    "k is the layer's index in the net; '/' in names becomes '_'. When the\n"
    "first layer has a second output (the labels), it goes to\n"
    "label_fixpoint.txt.\n";

const std::set<std::string> kShapeTypes = {"ShapeConst", "ShapeOp",    "ShapePack",        "ShapeRef",
                                           "ShapeSlice", "ShapeReorder", "ShapeExpandNDims", "ShapeReshape"};

std::string get_time() {
  const std::time_t now = std::time(nullptr);
  std::ostringstream s;
  s << std::put_time(std::localtime(&now), "%Y-%m-%d_%H.%M.%S");
  return s.str();
}

int ParseInt(const char* text) {
  int v = 0;
  if (std::sscanf(text, "%d", &v) != 1) v = 0;
  return v;
}

// The definition path's last '/'-separated part up to its first '.'.
std::string NetBaseName(const std::string& path) {
  std::vector<std::string> parts, pieces;
  boost::algorithm::split(parts, path, boost::algorithm::is_any_of("/"), boost::algorithm::token_compress_on);
  boost::algorithm::split(pieces, parts.back(), boost::algorithm::is_any_of("."),
                          boost::algorithm::token_compress_on);
  return pieces.front();
}

// One value per line, each line flushed.
template <typename T>
void WriteLine(std::ofstream& out, T value) {
  out << value << std::endl;
}

// An 8-bit model carries each layer's thresholds, written by the
// calibration; a float net's weights carry none. True when a layer of the
// weights that the net has is calibrated.
bool HasCalibration(const qrn::Net<float>& net, const qrn::NetParameter& trained) {
  for (const auto& layer : trained.layer())
    if (net.layer_by_name(layer.name()) != nullptr && (layer.has_th_top() || layer.has_th_bottom())) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  if (argc < 5) {
    std::cerr << "layerspill: needs at least 4 arguments, has " << argc - 1 << "\n\n" << kUsage;
    return 2;
  }
  const std::string FLAGS_model = argv[1];
  const std::string FLAGS_weights = argv[2];
  int FLAGS_iterations = ParseInt(argv[3]);
  const std::string FLAG_run_mode = argv[4];
  int FLAGS_only_output_iteration = 0;
  if (argc > 5 && argv[5] != nullptr) FLAGS_only_output_iteration = ParseInt(argv[5]);
  std::vector<std::string> dump_layer_names;
  if (argc > 6 && argv[6] != nullptr)
    boost::algorithm::split(dump_layer_names, std::string(argv[6]), boost::algorithm::is_any_of(","),
                            boost::algorithm::token_compress_on);
  if (FLAGS_only_output_iteration != 0) FLAGS_iterations = FLAGS_only_output_iteration;

  const bool int8 = FLAG_run_mode == "INT8_NEURON";
  qrn::Qrn::Get().set_mode(int8 ? qrn::Qrn::INT8 : qrn::Qrn::FP32);
  qrn::Net<float> net(FLAGS_model, qrn::TEST, 0, nullptr);
  qrn::NetParameter trained;
  qrn::ReadNetParamsFromBinaryFileOrDie(FLAGS_weights, &trained);
  if (int8 && !HasCalibration(net, trained)) {
    std::cerr << "layerspill: " << FLAGS_weights
              << " is a float net (none of its layers carries thresholds); INT8_NEURON needs the .int8qmodel"
                 " that scalefinder writes\n";
    return 2;
  }
  net.CopyTrainedLayersFrom(trained);

  const auto& layers = net.layers();
  const auto& tops = net.top_vecs();
  LOG(INFO) << "Running for " << FLAGS_iterations << " iterations.";
  LOG(INFO) << "Running for " << static_cast<int>(qrn::Qrn::Get().mode()) << " mode.";
  for (size_t k = 0; k < layers.size(); ++k)
    LOG(INFO) << "layer = " << layers[k]->layer_param().name() << " sign = " << tops[k][0]->fixed_sign_type();

  const std::string outer_folder = "log_" + NetBaseName(FLAGS_model) + "_" + get_time();
  mkdir(outer_folder.c_str(), 0777);

  auto selected = [&](const std::string& name) {
    if (dump_layer_names.empty()) return true;
    for (const auto& n : dump_layer_names)
      if (n == name) return true;
    return false;
  };

  for (int i = 0; i < FLAGS_iterations; ++i) {
    net.Forward(nullptr);
    if (FLAGS_only_output_iteration != 0 && i + 1 != FLAGS_only_output_iteration) continue;
    LOG(INFO) << "iterations =  " << i;
    std::string folder = outer_folder;
    if (FLAGS_iterations > 1) {
      folder = outer_folder + "/" + std::to_string(i);
      mkdir(folder.c_str(), 0777);
    }

    std::ofstream th_file;
    if (int8) th_file.open(folder + "/_layerName_and_th.txt", std::ios::trunc);
    for (size_t k = 0; k < layers.size(); ++k) {
      const qrn::LayerParameter& p = layers[k]->layer_param();
      if (!selected(p.name())) continue;
      std::string name = p.name();
      strReplace(name);
      const std::string laynameTmp = std::to_string(k) + name;
      LOG(INFO) << "saving output of layer " << laynameTmp << " ....";
      const bool shape = kShapeTypes.count(layers[k]->type()) != 0;
      if (!int8) {
        std::ofstream out(folder + "/" + laynameTmp + "_float.txt", std::ios::trunc);
        for (auto* blob : tops[k]) {
          for (int v = 0; v < blob->count(); ++v) {
            if (shape) {
              WriteLine(out, blob->mutable_cpu_int32_data()[v]);
            } else {
              WriteLine(out, blob->mutable_cpu_data()[v]);
            }
          }
        }
        continue;
      }
      std::ofstream fix(folder + "/" + laynameTmp + "_fixpoint.txt", std::ios::trunc);
      std::ofstream fp32(folder + "/" + laynameTmp + "_scale_to_fp32.txt", std::ios::trunc);
      const bool as_float = p.output_is_float();
      const bool is_signed = tops[k][0]->fixed_sign_type() == 1;
      const float scale = p.scaleconvertbacktofloat_output();
      for (auto* blob : tops[k]) {
        for (int v = 0; v < blob->count(); ++v) {
          if (shape) {
            const int32_t x = blob->mutable_cpu_int32_data()[v];
            WriteLine(fix, x);
            WriteLine(fp32, x);
          } else if (as_float) {
            const float x = blob->mutable_cpu_data()[v];
            WriteLine(fix, x);
            WriteLine(fp32, x);
          } else {
            const int x = is_signed ? blob->mutable_cpu_int8_data()[v] : blob->mutable_cpu_unint8_data()[v];
            WriteLine(fix, x);
            WriteLine(fp32, static_cast<float>(x) * scale);
          }
        }
      }
      th_file << laynameTmp << ", ";
      if (shape || as_float) {
        th_file << "128";
      } else {
        std::ostringstream th;
        th << std::fixed << std::setprecision(8) << scale * 128;
        th_file << th.str();
      }
      th_file << std::endl;
      LOG(INFO) << "layer name = " << p.name();
      LOG(INFO) << "scale_bottom = " << p.scaleconvertbacktofloat_input();
      LOG(INFO) << "scale_top = " << p.scaleconvertbacktofloat_output();
      LOG(INFO) << "th_bottom = " << p.th_bottom();
      LOG(INFO) << "th_top = " << p.th_top();
    }
    if (int8) th_file.close();

    if (!tops.empty() && tops[0].size() > 1) {
      std::ofstream label(folder + "/label_fixpoint.txt", std::ios::trunc);
      const qrn::Blob<float>* blob = tops[0][1];
      for (int v = 0; v < blob->count(); ++v) WriteLine(label, blob->cpu_data()[v]);
    }
  }
  LOG(INFO) << "done.";
  return 0;
}
