#include "layer_types.hpp"

const std::set<std::string> layer_equal_pre_types1 = {
    "PReLU", "Split",   "SplitTF", "Dropout", "Permute", "Flatten",      "Reshape",     "Squeeze",
    "Transpose", "PoolingTF", "Slice", "Output", "Pad", "UpsampleCopy", "StridedSlice"};

const std::set<std::string> layer_equal_pre_types2 = {"ReLU", "Pooling"};

const std::set<std::string> layer_equal_pre_types3 = {"ShapeAssign",  "BatchToSpace", "SpaceToBatch",
                                                      "PSROIPooling", "Interp",       "SliceLike"};

const std::set<std::string> layer_equal_pre_types4 = {"Crop"};

const std::set<std::string> layer_not_need_cal_th = {
    "ShapeConst",   "ShapeOp",   "ShapePack",        "ShapeRef",   "ShapeCast", "ShapeSlice",
    "ShapeReorder", "ShapeExpandNDims", "ShapeUnary", "ShapeReshape", "ShapeAssign", "Yolo",
    "DtypeConvert", "Output",    "Yolov3DetectionOutput", "RetinaDetectionOutput"};

const std::set<std::string> layer_pad_impact = {
    "Active", "AnnotatedData", "BN",      "BatchNorm", "Bias",         "BroadcastBinary",
    "Concat", "ConstBinary",   "Convolution", "Crop",  "Data",         "Deconvolution",
    "Dropout", "ELU",          "Eltwise", "EltwiseBinary", "Interp",   "LRN",
    "Normalize", "PReLU",      "Pad",     "Pooling",   "PoolingTF",    "ReLU",
    "Scale",  "DtypeConvert",  "ShuffleChannel", "Slice", "Split",     "SplitTF"};

const std::set<std::string> layer_not_compute = {"SplitTF", "Split",       "Flatten", "Reshape",
                                                 "Squeeze", "ShapeAssign", "Output"};
