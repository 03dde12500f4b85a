// Pad: a 4-D tensor in device memory surrounded by constant, mirrored or edge
// values, and the APIs that reach it (144 pad, 145 8-bit pad).
//
// The interior is one strided move into the output; the borders follow axis by
// axis from w to n, before side first, each region spanning the borders already
// written: constant fills (mode 0), one move per mirrored slab (1 reflect, 2
// symmetric) or one move per region that reads an edge slab with a zero stride
// (3 replicate). 8-bit data pads as bytes (1N) or, without batch padding, as
// 32-bit words of four items (4N). The layers issue GDMA commands on the
// caller's node and never wait.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define PAD_MODE_CONSTANT 0
#define PAD_MODE_REFLECT 1
#define PAD_MODE_SYMMETRIC 2
#define PAD_MODE_REPLICATE 3

// Where the borders of each axis start, in bytes from the output: before[i]
// at the element (pads[0][0], .., pads[i-1][0], 0, .., 0), after[i] past the
// axis's before border and interior.
typedef struct {
  u64 before[4];
  u64 after[4];
} pad_regions_t;

// ---- API records ----

// API 144: a float32 pad.
typedef struct {
  u64 input;
  u64 output;
  i32 n, c, h, w;
  i32 pads[4][2];
  float value;
  i32 pad_mode;
} FW_PACKED zv_api_pad_t;
static_assert(sizeof(zv_api_pad_t) == 72, "zv_api_pad_t is 72 bytes");

// API 145: an 8-bit pad, each side 1N or 4N.
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_is_4N;
  u64 buffer_addr;
  i32 output_is_4N;
  u64 buffer2_addr;
  i32 input_n, input_c, input_h, input_w;
  i32 pads[4][2];
  u8 value;
  u8 unused[3];
  i32 pad_mode;
} FW_PACKED zv_api_pad_fix8b_t;
static_assert(sizeof(zv_api_pad_fix8b_t) == 96, "zv_api_pad_fix8b_t is 96 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_pad(u8 *param, u32 size);
u32 zv_api_pad_fix8b(u8 *param, u32 size);

// ---- Planning ----

// The border offsets for an input of `in` extents padded by pads, elements of
// `size` bytes.
void pad_regions_of(const int *in, const int (*pads)[2], int size, pad_regions_t *regions);

// ---- Layers ----

void nodechip_pad(u64 input, u64 output, int n, int c, int h, int w, const int (*pads)[2], int pad_mode, float value,
                  cmd_id_node_t *node);
// The 8-bit pad: a 4N side is flagged non-zero; buffer takes the 1N copy of a
// 4N input, buffer2 the 1N result for a 4N output. Prints its parameters.
void nodechip_pad_fix8b(u64 input, u64 output, u8 input_is_4N, u64 buffer, u8 output_is_4N, u64 buffer2, int n,
                        int c, int h, int w, const int (*pads)[2], int pad_mode, int value, cmd_id_node_t *node);
void nodechip_pad_fix8b_1N(u64 input, u64 output, int n, int c, int h, int w, const int (*pads)[2], int pad_mode,
                           u8 value, cmd_id_node_t *node);
void nodechip_pad_fix8b_4N(u64 input, u64 output, int n_groups, int c, int h, int w, const int (*pads)[2],
                           int pad_mode, u8 value, cmd_id_node_t *node);
// The mirrored borders (offset 1 reflect, 0 symmetric) of float32 or byte data.
void nodechip_pad_reflect(u64 output, const int *in, const int *out, const int *ostride, const pad_regions_t *regions,
                          const int (*pads)[2], int offset, cmd_id_node_t *node);
void nodechip_pad_fix8b_reflect(u64 output, const int *in, const int *out, const int *ostride,
                                const pad_regions_t *regions, const int (*pads)[2], int offset, cmd_id_node_t *node);
// The edge borders of float32 data.
void nodechip_pad_replicate(u64 output, const int *in, const int *out, const int *ostride,
                            const pad_regions_t *regions, const int (*pads)[2], cmd_id_node_t *node);
}
