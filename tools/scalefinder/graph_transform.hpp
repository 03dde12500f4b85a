// Rewrites of a float net and its definition made by scalefinder itself:
// unique blob names, the layer-type validation, the convolution-group split,
// the convolution/scale weight balancing, and path helpers.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qrn/qrn.hpp"

// True when the type is one the calibration supports.
bool check_layer_validation(const std::string& type);

// Gives every blob version a unique name ("x", "x(7)", ...); the tops of the
// layers named in layer_inplace take the name of their first bottom instead.
// Every layer type is validated (the process ends on an unsupported one),
// data batch sizes become 1 and the phase TEST.
void blob_rename_to_unique_or_reverse(qrn::NetParameter& net_param,
                                      const std::set<std::string>& layer_inplace);
// The renaming with the net's "Split" layers as the in-place set.
void split_layer_inplace(qrn::NetParameter& net_param);
// out := in renamed (in is changed too), without its "Split" layers.
void blob_rename_to_unique(qrn::NetParameter& out, qrn::NetParameter& in);
// The same from a text definition file (the process ends when unreadable).
void blob_rename_to_unique(qrn::NetParameter& out, const std::string& param_file);

// Output channels by descending largest |weight|; equal maxima keep channel
// order.
std::vector<int> sort_weight_blob(std::shared_ptr<qrn::Blob<float>> weight_blob);

// Layer i (a "Convolution") starts a chain of single-consumer layers that
// ends in a group-1 convolution.
bool is_conv_to_conv_pattern(qrn::Net<float>& net, int i);
// Appends to p_new_proto the split of convolution start_conv into slices of
// at most 64 outputs, their Concat and the reordered layers up to end_conv;
// in_idxes (the order of the start convolution's inputs, empty: identity)
// becomes the order of its outputs.
void replace_conv_to_conv_subnet(qrn::Net<float>& net, qrn::NetParameter* p_new_proto,
                                 int start_conv, int end_conv, std::vector<int>& in_idxes);
// Rebuilds the net's definition (with blobs) into p_new_proto, splitting
// every wide convolution that starts a conv-to-conv chain.
void split_conv(qrn::Net<float>& net, qrn::NetParameter* p_new_proto);
// Reads model and weight, splits, writes model + postfix (text) and
// weight + postfix (binary).
void split_conv_into_group(const std::string& model, const std::string& weight,
                           const std::string& postfix);

// Layer i is a "Convolution" whose single consumer is a "Scale", or a
// "BatchNorm" in multiplier form.
bool is_conv_scale_pattern(qrn::Net<float>& net, int i);
// Largest |output| of channel `channel` of layer `layer`.
using ChannelMaxFn = std::function<double(int layer, int channel)>;
// Scales up the output channels of convolutions whose outputs use little of
// their threshold, moving the inverse factor into the following layer.
void adjust_conv_scale_weight(qrn::Net<float>& net, const ChannelMaxFn& max_per_channel);
class dist_analysis;
// The same with the per-channel maxima of the calibration's statistics
// (channels without statistics keep their weights).
void adjust_conv_scale_weight(qrn::Net<float>& net, const std::shared_ptr<dist_analysis>& analysis);

// Path without the extension of its file name ("dir/net.w" -> "dir/net");
// dots in directory names and a leading dot of the file name are kept.
std::string rmPostfix(const std::string& fileName);
// Text after / before the last "/" (the whole text when there is none).
std::string getBasename(const std::string& fileName);
std::string getDirname(const std::string& fileName);

// Rewrites kept for nets whose layers ask for them; no command runs them.
//
// Turns every "BatchNorm" layer (from index 1) that holds mean and variance
// into the multiplier form: blob 1 := 1 / sqrt(variance x s + eps), blob 0 :=
// mean x -s (s the inverse of the moving-average factor, 0 for 0), and marks
// the layer's parameter so, which leaves its output unchanged.
void convertBatchnormType(qrn::Net<float>& net);
// For each "Concat" layer appends to conv_layers a list: the Concat's index,
// then every "Convolution" its output reaches through layers that pass values
// on unchanged per channel; a Concat that reaches convolutions only gets
// concat_param.fold_concat_with_conv.
void setFoldConcatWithConvLayer(qrn::Net<float>& net, std::vector<std::vector<int>>& conv_layers);
// For each list whose Concat folds: multiplies the weights of its
// convolutions along the concatenation axis by input threshold / output
// threshold of the Concat input each channel comes from.
void foldConcatWithConvLayer(qrn::Net<float>& net, std::vector<std::vector<int>>& conv_layers);
