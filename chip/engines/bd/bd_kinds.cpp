// The tensor engine's command kinds, by task type. Each kind's execute
// function reads its operands through the bus and writes its result through
// it. The element-wise and md_* tasks are modelled (bd/eltwise.h); the
// convolution, pooling and matrix tasks come with their generators.
#include "chip/engines/bd/bd.h"
#include "chip/engines/bd/eltwise.h"

namespace zv::chip {

void add_bd_kinds(KindTable<BdCommand> &kinds) { bd::add_eltwise_kinds(kinds); }

}  // namespace zv::chip
