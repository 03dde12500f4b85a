// The options, in the order of registration.  The help texts are shown by
// --help exactly as written here.
#include "scalefinder_flags.hpp"

DEFINE_string(model, "", "the model definition protocol buffer text file");
DEFINE_string(weights, "", "the pretrained weights to initialize finetuning");
DEFINE_int32(iterations, 1000, "the number of iterations to run");
DEFINE_bool(winograd, false, "winograd enable flag, defalut false");
DEFINE_bool(save_model, true, "save model flag, defalut true");
DEFINE_bool(save_test_proto, false, "save test prototxt flag, default false");
DEFINE_string(load_dist, "", "load feature-distribution and maximum value for calibration");
DEFINE_string(dump_dist, "", "dump feature-distribution and maximum value for calibration");
DEFINE_string(th_method, "KL", "method to calculate threshold.Options:KL(default),SYMKL,JSD");
DEFINE_string(fpfwd_inputs, "", "comma-separated list of input  layer names");
DEFINE_string(fpfwd_outputs, "", "comma-separated list of output layer names");
DEFINE_string(fpfwd_blocks, "", "start layer names of fp32 sub net");
DEFINE_bool(fpfwd_auto_detect, false, "auto detect fpfwd_input/fpfwd_output  layer names");
DEFINE_bool(graph_transform, false, "graph transform");
DEFINE_bool(accuracy_opt, false, "optimize net's inference accuracy");
DEFINE_bool(conv_group, false, "split convolution into group");
DEFINE_bool(per_channel, false, "conv right shift per-channel enable");
DEFINE_bool(fuse_preprocess, false, "fuse linear preprocess to first conv");
DEFINE_string(notmerge_conv_layer, "", "not merge conv+scale layer");
DEFINE_double(pad_value, 32768,
              "the value adding at input imagewhen resize Resize_mode  similar to "
              "{FIT_SMALL_SIZE = 2;FIT_LARGE_SIZE_AND_PAD = 3;}");
DEFINE_string(bitwidth, "TO_INT8", "bitwidth for calibartion, such as 'TO_INT8'");
