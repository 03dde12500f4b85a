// The tensor engine's command kinds, by task type. Each kind's execute
// function reads its operands through the bus and writes its result through
// it: the element-wise and md_* tasks (bd/eltwise.h) and the convolution,
// pooling, matrix and decompress tasks (bd/conv.h).
#include "chip/engines/bd/bd.h"
#include "chip/engines/bd/conv.h"
#include "chip/engines/bd/eltwise.h"

namespace zv::chip {

void add_bd_kinds(KindTable<BdCommand> &kinds) {
  bd::add_eltwise_kinds(kinds);
  bd::add_conv_kinds(kinds);
}

}  // namespace zv::chip
