// The command-line options of scalefinder.
#pragma once

#include <gflags/gflags.h>

DECLARE_string(model);
DECLARE_string(weights);
DECLARE_int32(iterations);
DECLARE_bool(winograd);
DECLARE_bool(save_model);
DECLARE_bool(save_test_proto);
DECLARE_string(load_dist);
DECLARE_string(dump_dist);
DECLARE_string(th_method);
DECLARE_string(fpfwd_inputs);
DECLARE_string(fpfwd_outputs);
DECLARE_string(fpfwd_blocks);
DECLARE_bool(fpfwd_auto_detect);
DECLARE_bool(graph_transform);
DECLARE_bool(accuracy_opt);
DECLARE_bool(conv_group);
DECLARE_bool(per_channel);
DECLARE_bool(fuse_preprocess);
DECLARE_string(notmerge_conv_layer);
DECLARE_double(pad_value);
DECLARE_string(bitwidth);
