// YOLO region activation, and API 800.
//
// Channel k of anchor group g is channel g t + k, t = coords + classes + 1:
// the box centre offsets and the objectness take the sigmoid, the box sizes
// stay raw, the classes take the sigmoid or a softmax across them (with the
// background channel when there is one). Groups from `num` on stay raw. A
// composition of the sigmoid, row copies and the softmax; images are taken
// input_c x h x w values apart.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// API 800.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u32 input_n;
  u32 input_c;
  u32 input_h;
  u32 input_w;
  u32 num;
  u32 classes;
  u32 coords;
  u32 background;
  u32 use_softmax;
} FW_PACKED zv_api_yolo_t;
static_assert(sizeof(zv_api_yolo_t) == 52, "zv_api_yolo_t is 52 bytes");

extern "C" {
u32 zv_api_yolo(u8 *param, u32 size);

void nodechip_yolo(u64 input, u64 output, int n, int input_c, int input_h, int input_w, int num, int classes,
                   int coords, int background, int softmax, cmd_id_node_t *node);
}
