// Conversions between the batch store modes of 8-bit and 16-bit tensors.
//
// 1N: batch items one after another. 4N (8-bit data): items 4g to 4g+3 share
// each 32-bit word, item 4g + i in byte i; a 4N tensor of N items takes
// ceil(N / 4) groups, each as large as four 1N items. 2N (16-bit data): two
// items per word, item 2g + i in half-word i.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

extern "C" {
// Converts N items of len bytes between the 1N layout at global_1N_addr and the
// 4N layout at global_4N_addr: to_4N 1 reads 1N and writes 4N, 0 the reverse.
// GDMA moves only, on the node; no wait.
void gdma_move_global_1N_and_4N(u64 global_1N_addr, u64 global_4N_addr, int N, int len, int to_4N,
                                cmd_id_node_t *node);
// Loads the local_c x local_h x local_w corner of each of N 1N items of a global
// tensor (N, global_c, global_h, global_w) into local memory at local_offset of
// start_lane, in 4N layout (store_4N non-zero, 8-bit data) or 2N layout (16-bit
// data), channel planes EU-aligned when eu_align is non-zero. Only direction 0
// (global to local) exists.
void gdma_move_global1N_local2N4N(u64 global_addr, u32 local_offset, u32 start_lane, int N, int global_c,
                                  int global_h, int global_w, int local_c, int local_h, int local_w, int direction,
                                  u8 store_4N, int eu_align, cmd_id_node_t *node);
}
