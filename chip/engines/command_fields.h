// Named fields of each engine's descriptor, for traces: a command shown by its
// fields rather than its words, so that two runs can be compared line by line.
#pragma once

#include <string>
#include <vector>

#include "chip/engines/descriptor.h"
#include "chip/engines/race_checker.h"

namespace zv::chip {

struct NamedField {
  const char *name;
  u32 pos, width;
  u32 kinds = 0;  // bit k set: the field means something to kind k only (0: to every kind)
};

// The fields of a command of `agent` whose kind is `kind` (the tensor engine's
// convolution-unit and element-wise kinds read different fields).
const std::vector<NamedField> &command_fields(Agent agent, u32 kind);
// "own_id=3 wait_id=2 ...": the fields that are not zero, in table order.
std::string decoded_fields(Agent agent, u32 kind, const Descriptor &d);

}  // namespace zv::chip
