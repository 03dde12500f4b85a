// The tensor engine's element-wise command kinds: tensor arithmetic, table
// lookup, md_sum, md_scalar, md_sfu, md_linear, md_cmp and vector correlation.
// Each execute function decodes the operands its task gives meaning to, reads
// every input through the bus, then writes the results (operands may overlap).
#pragma once

#include "chip/engines/bd/bd.h"

namespace zv::chip::bd {

void exec_tensor_arith(const BdCommand &cmd, Bus &bus);  // task 3
void exec_table_lookup(const BdCommand &cmd, Bus &bus);  // task 6
void exec_md_sum(const BdCommand &cmd, Bus &bus);        // task 7
void exec_md_scalar(const BdCommand &cmd, Bus &bus);     // task 8
void exec_md_sfu(const BdCommand &cmd, Bus &bus);        // task 9
void exec_md_linear(const BdCommand &cmd, Bus &bus);     // task 10
void exec_md_cmp(const BdCommand &cmd, Bus &bus);        // task 13
void exec_vec_corr(const BdCommand &cmd, Bus &bus);      // task 14

// Registers the kinds above in the tensor engine's table.
void add_eltwise_kinds(KindTable<BdCommand> &kinds);

}  // namespace zv::chip::bd
