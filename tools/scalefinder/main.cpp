// scalefinder: turns a float net into an 8-bit model.
//   scalefinder <command> --model=... --weights=... [options]
#include <gflags/gflags.h>
#include <glog/logging.h>

#include "commands.hpp"
#include "qrn/common.hpp"
#include "scalefinder_flags.hpp"

int main(int argc, char** argv) {
  FLAGS_alsologtostderr = true;
  gflags::SetVersionString("qrn_VERSION");
  gflags::SetUsageMessage(
      "command line brew\n"
      "usage: scalefinder <command> <args>\n\n"
      "commands:\n"
      "  quantize          optimize graph and quantize qmodel\n"
      "  graph_transform    optimize graph\n"
      "  release           legacy API. Same like 'quantize' (DEPRECATED)");
  LOG(INFO) << "scalefinder-suite version with commit id:" << GetCommitId();
  qrn::GlobalInit(&argc, &argv);
  force_graph_transform_option();
  if (argc == 2) return GetBrewFunction(std::string(argv[1]))();
  gflags::ShowUsageWithFlagsRestrict(argv[0], "scalefinder");
  return 0;
}
