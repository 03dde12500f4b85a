// The tensor engine's command kinds, by task type. Each kind's execute
// function reads its operands through the bus and writes its result through
// it. No task type is modelled yet: the element-wise, md_*, convolution,
// pooling and matrix tasks come with their generators.
#include "chip/engines/bd/bd.h"

namespace zv::chip {

void add_bd_kinds(KindTable<BdCommand> &) {}

}  // namespace zv::chip
