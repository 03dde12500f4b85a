// Neighbours of a layer in a net, found by blob identity: the producers of
// layer i write one of its bottoms, its consumers read one of its tops.
#pragma once

#include <vector>

#include "qrn/net.hpp"

// Last layer (in net order) that lists blob as a top / bottom, or -1.
int findLayerByTopBlob(qrn::Net<float>& net, qrn::Blob<float>* blob);
int findLayerByBottomBlob(qrn::Net<float>& net, qrn::Blob<float>* blob);

// Append one producer per bottom (consumer per top) that some layer writes
// (reads), in blob order; return out's size.  An index outside the net
// returns 0 and leaves out alone.
int get_previous_layers(qrn::Net<float>& net, int layer, std::vector<int>& out);
int get_next_layers(qrn::Net<float>& net, int layer, std::vector<int>& out);

// As above with every "Split" layer replaced by its own producers
// (consumers), recursively; return the number of entries appended.
int get_previous_layers_no_split(qrn::Net<float>& net, int layer, std::vector<int>& out);
int get_next_layers_no_split(qrn::Net<float>& net, int layer, std::vector<int>& out);

// Entry 0 of get_previous_layers / get_next_layers of layer i.  A layer
// without one ends the process with a message naming the layer and the rule
// that needed it.
int first_previous_layer_or_die(qrn::Net<float>& net, int layer, const char* rule);
int first_next_layer_or_die(qrn::Net<float>& net, int layer, const char* rule);
