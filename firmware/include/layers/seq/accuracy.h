// Top-k class indices of N samples of C scores (API 12): the scores are copied
// into a scratch area of device memory by GDMA and the ARM selects the k
// largest of each sample with a partial heap sort, through its window onto
// device memory; the N x k indices (int32, descending score) go to the output
// by GDMA.
//
// Scratch, in 32-bit words: [0, N C) the scores; [N C, N C + N k) the staged
// indices; then a value and an index work area of N C words each (the first C
// words of each serve every sample).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 index_init_addr;
  u64 value_init_addr;
  u64 buffer_addr;
  i32 input_n;
  i32 class_num;
  i32 top_k;
} FW_PACKED zv_api_accuracy_layer_t;
static_assert(sizeof(zv_api_accuracy_layer_t) == 52, "zv_api_accuracy_layer_t is 52 bytes");

extern "C" {

u32 zv_api_accuracy_layer(u8 *param, u32 size);

// Sift-down of position `start` in a max-heap of `size` values; indices move
// with their values.
void HeapDown(float *values, u32 *indices, int size, int start);
// Leaves the k largest values (and their indices) in positions n - 1
// (largest) down to n - k.
void Partial_Sort(float *values, u32 *indices, int n, int k);

void nodechip_accuracy_layer(u64 input, u64 output, u64 index_init, u64 value_init, u64 scratch, int N, int C,
                             int top_k, cmd_id_node_t *node);
}
