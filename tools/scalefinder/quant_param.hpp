// Settings handed from the "quantize" command to the calibration.
#pragma once

#include <string>

struct QuantParam {
  std::string th_method;
  bool winograd;
  std::string fpfwd_inputs;
  std::string fpfwd_outputs;
  std::string fpfwd_blocks;
  bool fpfwd_auto_detect;
  bool graph_transform;
  bool accuracy_opt;
  bool conv_group;
  bool per_channel;
  bool fuse_preprocess;
};
