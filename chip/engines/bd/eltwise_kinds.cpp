// Registration of the element-wise kinds in the tensor engine's table.
#include "chip/engines/bd/eltwise.h"

namespace zv::chip::bd {

void add_eltwise_kinds(KindTable<BdCommand> &kinds) {
  kinds.add(3, "tensor arithmetic", exec_tensor_arith);
  kinds.add(6, "table lookup", exec_table_lookup);
  kinds.add(7, "md_sum", exec_md_sum);
  kinds.add(8, "md_scalar", exec_md_scalar);
  kinds.add(9, "md_sfu", exec_md_sfu);
  kinds.add(10, "md_linear", exec_md_linear);
  kinds.add(13, "md_cmp", exec_md_cmp);
  kinds.add(14, "vector correlation", exec_vec_corr);
}

}  // namespace zv::chip::bd
