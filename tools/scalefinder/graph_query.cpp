#include "graph_query.hpp"

#include <string>

#include <glog/logging.h>

using qrn::Blob;
using qrn::Net;

namespace {

int FindLayerBy(const std::vector<std::vector<Blob<float>*>>& vecs, Blob<float>* blob) {
  int found = -1;
  for (size_t i = 0; i < vecs.size(); ++i)
    for (Blob<float>* b : vecs[i])
      if (b == blob) found = static_cast<int>(i);
  return found;
}

int Neighbours(Net<float>& net, int layer, std::vector<int>& out, bool previous) {
  if (layer < 0 || layer >= static_cast<int>(net.layers().size())) return 0;
  const auto& blobs = previous ? net.bottom_vecs()[layer] : net.top_vecs()[layer];
  for (Blob<float>* b : blobs) {
    const int k = previous ? findLayerByTopBlob(net, b) : findLayerByBottomBlob(net, b);
    if (k != -1) out.push_back(k);
  }
  return static_cast<int>(out.size());
}

int NeighboursNoSplit(Net<float>& net, int layer, std::vector<int>& out, bool previous) {
  std::vector<int> direct;
  Neighbours(net, layer, direct, previous);
  int count = 0;
  for (int j : direct) {
    if (std::string(net.layers()[j]->type()) != "Split") {
      out.push_back(j);
      ++count;
    } else {
      std::vector<int> beyond;
      count += NeighboursNoSplit(net, j, beyond, previous);
      out.insert(out.end(), beyond.begin(), beyond.end());
    }
  }
  return count;
}

}  // namespace

int findLayerByTopBlob(Net<float>& net, Blob<float>* blob) { return FindLayerBy(net.top_vecs(), blob); }

int findLayerByBottomBlob(Net<float>& net, Blob<float>* blob) {
  return FindLayerBy(net.bottom_vecs(), blob);
}

int get_previous_layers(Net<float>& net, int layer, std::vector<int>& out) {
  return Neighbours(net, layer, out, true);
}

int get_next_layers(Net<float>& net, int layer, std::vector<int>& out) {
  return Neighbours(net, layer, out, false);
}

int get_previous_layers_no_split(Net<float>& net, int layer, std::vector<int>& out) {
  return NeighboursNoSplit(net, layer, out, true);
}

int get_next_layers_no_split(Net<float>& net, int layer, std::vector<int>& out) {
  return NeighboursNoSplit(net, layer, out, false);
}

namespace {

int FirstOrDie(Net<float>& net, int layer, const char* rule, bool previous) {
  std::vector<int> found;
  if ((previous ? get_previous_layers(net, layer, found) : get_next_layers(net, layer, found)) == 0)
    LOG(FATAL) << "layer name=" << net.layer_names().at(layer) << " (type " << net.layers()[layer]->type()
               << ") has no " << (previous ? "previous" : "next") << " layer, which " << rule
               << " needs";
  return found[0];
}

}  // namespace

int first_previous_layer_or_die(Net<float>& net, int layer, const char* rule) {
  return FirstOrDie(net, layer, rule, true);
}

int first_next_layer_or_die(Net<float>& net, int layer, const char* rule) {
  return FirstOrDie(net, layer, rule, false);
}
