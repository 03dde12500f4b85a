// One pass of skip-gram training with negative sampling over n word pairs
// (API 127): for each pair in order, the output vector of the target and of
// every negative sample (a negative equal to the target is skipped) is
// updated, then the input vector of the input word, by the word2vec rule with
// learning rate alpha.
//
// The vectors stay in their tables in device memory and travel row by row
// through lane 0: the input row of a pair is loaded once, each output row is
// loaded, updated and stored back before the next is loaded, and the input
// row is stored after its gradient is added. Every update therefore sees the
// updates made before it, whatever the size of the tables. The ARM reads the
// word ids (floats, truncated) from the scratch area after their copies have
// completed.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Bytes of a table block; a table may take at most W2V_MAX_BLOCKS of them.
#define W2V_BLOCK_BYTES 196608
#define W2V_MAX_BLOCKS 8
// Lane 0: the dot product at 0, the exponential's scratch at 0x80, then the
// product, the input row's gradient, the input row and the output row.
#define W2V_DOT_OFFSET 0u
#define W2V_SCRATCH_OFFSET 0x80u
#define W2V_ROWS_OFFSET 0x100u

typedef struct {
  u64 syn0_addr;  // input-vector table, vocab x dim
  u64 syn1_addr;  // output-vector table, vocab x dim
  u64 negative_addr;
  u64 input_addr;
  u64 target_addr;
  u64 buffer_addr;
  float alpha;
  i32 negatives;
  i32 n;
  i32 dim;
  i32 vocab;
} FW_PACKED zv_api_word2vec_t;
static_assert(sizeof(zv_api_word2vec_t) == 68, "zv_api_word2vec_t is 68 bytes");

extern "C" {

u32 zv_api_word2vec_parallel(u8 *param, u32 size);

// Scratch: (2 + negatives) n floats.
void nodechip_word2vec_parallel(u64 syn0, u64 syn1, u64 negative_ids, u64 input_ids, u64 target_ids, u64 scratch,
                                float alpha, int negatives, int n, int dim, int vocab, cmd_id_node_t *node);
}
