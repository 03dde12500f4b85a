// Region activation of up to five detection heads (API 75). Every head is an
// n x c x h x w float tensor of `nums` anchors, each anchor a block of
// coords + 1 box channels followed by `classes` class channels. Per anchor the
// box channels are copied to the output and the sigmoid is applied to one or
// two channel ranges of them; the class channels get a softmax over classes at
// every batch item and position.
//
// The work is cut by the layers it calls: row copies, the unary pipeline for
// the sigmoid ranges (one per batch item) and the whole-rows softmax reading
// the class block in place (the head's c as the channel stride).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define MULTIREGION_MAX_HEADS 5

// The sigmoid ranges of one anchor, as channel offsets within its box block.
typedef struct {
  int count;  // 1 or 2
  int start[2];
  int length[2];
} multiregion_ranges_t;

typedef struct {
  u64 input[MULTIREGION_MAX_HEADS];
  u64 output[MULTIREGION_MAX_HEADS];
  i32 n[MULTIREGION_MAX_HEADS];
  i32 c[MULTIREGION_MAX_HEADS];
  i32 h[MULTIREGION_MAX_HEADS];
  i32 w[MULTIREGION_MAX_HEADS];
  i32 heads;
  i32 classes;
  i32 coords;
  i32 nums;
  i32 activate[4];  // first start, first count, second start, second count
} FW_PACKED zv_api_multiregion_forward_parallel_t;
static_assert(sizeof(zv_api_multiregion_forward_parallel_t) == 192,
              "zv_api_multiregion_forward_parallel_t is 192 bytes");

extern "C" {

u32 zv_api_multiregion_forward_parallel(u8 *param, u32 size);

// The ranges of (first start, first count, second start, second count): one
// range when the second starts inside the first or is empty, else two; each
// must lie within the coords + 1 box channels (pure; asserts).
void multiregion_ranges_of(multiregion_ranges_t *ranges, const int *Activate_parm, int coords);

// Softmax over the `classes` channels from channel g of every batch item and
// position of an n x c x h x w head (h = w = 1 is not supported).
void nodechip_multiregion_forward_stride_parallel(u64 input, u64 output, int n, int c, int h, int w, int classes,
                                                  int g, cmd_id_node_t *node);

void nodechip_multiregion_forward_parallel(const u64 *input, const u64 *output, const int *Tensor_N,
                                           const int *Tensor_C, const int *Tensor_H, const int *Tensor_W, int heads,
                                           int classes, int coords, int nums, const int *Activate_parm,
                                           cmd_id_node_t *node);
}
