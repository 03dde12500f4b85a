#include "output_files.hpp"

#include <glog/logging.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include "graph_transform.hpp"
#include "qrn/io.hpp"

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using qrn::LayerParameter;
using qrn::Net;
using qrn::NetParameter;

namespace {

const std::set<std::string> kSensitiveFields = {
    "blobs",          "scale_int8",    "scaleConvertBackToFloat_input",     "scaleConvertBackToFloat_output",
    "th_bottom",      "th_top",        "th_input",                          "th_output",
    "mul_branch",     "rshift_branch", "FollowedByRelu",                    "output_is_float",
    "scaleConvertBackToFloat_input_mul", "scaleConvertBackToFloat_output_mul", "lut_table", "rshift_per_layer",
    "lut_table_rshift", "step_q",      "input_tensor_is_float",             "following_special"};

const std::set<std::string> kDataLayerTypes = {"Data", "AnnotatedData", "ImageData", "DummyData"};

bool WriteOrComplain(const Message& msg, const std::string& path, bool binary) {
  const bool ok = binary ? qrn::WriteProtoToBinaryFile(msg, path) : qrn::WriteProtoToTextFile(msg, path);
  if (ok) {
    LOG(INFO) << "wrote " << path;
  } else {
    LOG(ERROR) << "could not write " << path;
  }
  return ok;
}

}  // namespace

void clear_all_fields(Message& mutable_msg, const std::set<std::string>& clear_fields) {
  const Reflection* r = mutable_msg.GetReflection();
  std::vector<const FieldDescriptor*> fields;
  r->ListFields(mutable_msg, &fields);
  for (const FieldDescriptor* f : fields) {
    if (clear_fields.count(f->name())) {
      r->ClearField(&mutable_msg, f);
    } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (f->is_repeated()) {
        for (int k = 0; k < r->FieldSize(mutable_msg, f); ++k)
          clear_all_fields(*r->MutableRepeatedMessage(&mutable_msg, f, k), clear_fields);
      } else {
        clear_all_fields(*r->MutableMessage(&mutable_msg, f), clear_fields);
      }
    }
  }
}

void prune_for_int8(const Net<float>& net, NetParameter& int8_param) {
  NetParameter param;
  net.ToProto(&param, false);
  clear_all_fields(param, kSensitiveFields);
  int8_param.clear_layer();
  split_layer_inplace(param);
  for (const auto& layer : param.layer())
    if (layer.type() != "Split") int8_param.add_layer()->CopyFrom(layer);
}

void prune_for_deploy(const NetParameter& net_param, NetParameter& deploy_param,
                      std::vector<std::vector<int>>& shape, bool flags_fuse_preprocess) {
  deploy_param.CopyFrom(net_param);
  deploy_param.clear_layer();
  NetParameter work(net_param);
  size_t counter = 0;
  for (int i = 0; i < work.layer_size(); ++i) {
    LayerParameter layer = work.layer(i);
    bool train_only = false;
    for (const auto& rule : layer.include())
      if (rule.has_phase() && rule.phase() == qrn::TRAIN) train_only = true;
    if (train_only || layer.type() == "Accuracy") continue;
    if (kDataLayerTypes.count(layer.type())) {
      if (counter >= shape.size())
        LOG(FATAL) << "data layer " << layer.name() << " has no recorded input shape (" << shape.size()
                   << " data layers ran in the net)";
      const std::string name = layer.name();
      const std::vector<std::string> tops(layer.top().begin(), layer.top().end());
      layer.Clear();
      layer.set_name(name);
      for (const auto& top : tops)
        if (top.find("label") == std::string::npos && top.find("Label") == std::string::npos) layer.add_top(top);
      layer.set_type("Input");
      qrn::BlobShape* s = layer.mutable_input_param()->add_shape();
      for (int d : shape[counter]) s->add_dim(d);
      if (flags_fuse_preprocess) layer.set_followedbyrelu(true);
      ++counter;
    } else if (layer.type() == "SoftmaxWithLoss") {
      layer.set_type("Softmax");
      const std::vector<std::string> bottoms(layer.bottom().begin(), layer.bottom().end());
      layer.clear_bottom();
      for (const auto& b : bottoms)
        if (b != "label") layer.add_bottom(b);
    } else if (layer.type() == "Reshape") {
      // A shape without dimensions has no first dimension to free.
      if (net_param.model_type() != 6 && layer.reshape_param().shape().dim_size() > 0)
        layer.mutable_reshape_param()->mutable_shape()->set_dim(0, 0);
    }
    deploy_param.add_layer()->CopyFrom(layer);
  }
}

bool saveInt8Qmodel(Net<float>& net, std::string flags_weights) {
  NetParameter param;
  net.ToProto(&param, false);
  return WriteOrComplain(param, rmPostfix(flags_weights) + ".int8qmodel", true);
}

bool saveProtos(Net<float>& net, const NetParameter& fp32_test_param, std::string flags_weights,
                bool flags_fuse_preprocess, bool flags_save_test_proto, bool flags_winograd) {
  std::vector<float> scales;
  std::vector<std::vector<int>> shapes;
  for (size_t i = 0; i < net.layers().size(); ++i) {
    if (!kDataLayerTypes.count(net.layers()[i]->type()) || net.top_vecs()[i].empty()) continue;
    const qrn::Blob<float>* top = net.top_vecs()[i][0];
    const double t = static_cast<float>(top->thresHold());
    const float scale = static_cast<float>((flags_fuse_preprocess ? 127.5 : 128.0) / t);
    scales.push_back(scale);
    shapes.push_back(top->shape());
    net.layers()[i]->mutable_layer_param()->mutable_transform_param()->set_int8_scale(scale);
  }
  NetParameter int8_test(fp32_test_param);
  prune_for_int8(net, int8_test);
  NetParameter fp32_deploy, int8_deploy;
  prune_for_deploy(fp32_test_param, fp32_deploy, shapes, false);
  prune_for_deploy(int8_test, int8_deploy, shapes, flags_fuse_preprocess);
  if (!scales.empty()) int8_deploy.set_int8_scale(scales[0]);
  if (flags_winograd) {
    int8_test.set_use_winograd(true);
    int8_deploy.set_use_winograd(true);
  }
  const std::string base = rmPostfix(flags_weights);
  bool ok = true;
  if (flags_save_test_proto) {
    ok = WriteOrComplain(int8_test, base + "_test_int8_unique_top.prototxt", false) && ok;
    ok = WriteOrComplain(fp32_test_param, base + "_test_fp32_unique_top.prototxt", false) && ok;
  }
  ok = WriteOrComplain(int8_deploy, base + "_deploy_int8_unique_top.prototxt", false) && ok;
  ok = WriteOrComplain(fp32_deploy, base + "_deploy_fp32_unique_top.prototxt", false) && ok;
  return ok;
}
