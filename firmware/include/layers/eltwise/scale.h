// Scale over a run of axes (API 24): y = x x scale (+ bias), then an optional
// ReLU, where the scale (and bias) has the input's extent on the axes
// shape_axis .. shape_axis + shape_axis_num - 1 and extent 1 on the others,
// broadcast over those. When the scale (and bias) fits 384 KB it stays
// resident and the input streams through two buffers; otherwise each slice's
// scale piece streams beside it. Local layouts are compact (planes not
// rounded up).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// The layout of one call.
typedef struct {
  int S[4];           // scale shape n, c, h, w
  int resident;       // 1: the scale stays in local memory
  u32 bias;           // K (resident)
  u32 buffer[2];      // data buffers
  u32 scale_buf[2];   // scale pieces (streaming)
  u32 capacity;       // Q (resident), 0x20000 (streaming)
  int items, rows;    // slice: n' items of all rows, or one item of h' rows
} scale_plan_t;
// Fails (returns 0) when one row of the input does not fit a buffer.
int scale_plan_of(scale_plan_t *plan, int n, int c, int h, int w, int shape_axis, int shape_axis_num, int bias_term);

extern "C" {
void nodechip_scale_forward(u64 input_global_addr, u64 scale_global_addr, u64 bias_global_addr,
                            u64 output_global_addr, int input_n, int input_c, int input_h, int input_w,
                            int shape_axis, int shape_axis_num, int bias_term, int if_relu, cmd_id_node_t *node);
u32 zv_api_scale_forward(u8 *param, u32 size);
}

typedef struct {
  u64 input_addr, scale_addr, bias_addr, output_addr;
  i32 input_n, input_c, input_h, input_w;
  i32 shape_axis, shape_axis_num, using_bias, if_relu;
} FW_PACKED zv_api_scale_forward_t;
static_assert(sizeof(zv_api_scale_forward_t) == 64, "zv_api_scale_forward_t is 64 bytes");
