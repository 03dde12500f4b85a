// Rearrangements of a tensor in device memory: reverse, channel shuffle, space
// to batch and back, depth to space and back, reorg and the 4N-to-1N reshape;
// and the APIs that reach them (159 and 160 channel shuffle, 120 8-bit batch to
// space, 121 8-bit space to batch).
//
// Each is a short run of strided GDMA moves from device memory to device
// memory, one per item of the rearranged axis or block offset; long runs
// restart the command ids before the 16-bit GDMA ids could wrap. Padding and
// cropping go through a caller's work buffer; 8-bit 4N data is rearranged as
// 1N bytes. The layers issue on the caller's node and do not wait otherwise.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// ---- The 8-bit reorg's placement in local memory ----

// Local areas start on 64 KiB boundaries; everything must end within a lane.
#define REORG_FIX8B_AREA_ALIGN 65536u
#define REORG_FIX8B_LANE_BYTES (1u << 19)

// Where the 8-bit reorg puts its images (bytes per lane) and how it stores the
// result. The lane-shifted copies of the input take the bytes below the input
// image (from offset 0), the input image starts at `bottom`, the rearranged
// image at `top`. Sizes are 64-bit so that no shape wraps them; the layer
// refuses a plan whose top + out_size passes the lane.
typedef struct {
  int groups;          // G: 4N words per plane element (ceil(n / 4))
  int depth_to_space;  // c > c'
  int stride;          // s
  int k;               // space to depth: channels one lane row of a group holds (1 when s * s divides h)
  int reps;            // space to depth: c' / c output channel groups
  u64 in_size;         // bytes per lane of the input image
  u64 out_size;        // bytes per lane of the rearranged image
  u64 buffer_bytes;    // X: the shifted copies, from offset 0
  u64 bottom;          // input image
  u64 top;             // rearranged image
  int stores;          // store commands
  local_area_t areas[3];  // buffer, input, output (valid when top + out_size fits a lane)
} reorg_fix8b_plan_t;

// ---- API records ----

// API 159 (float32) and 160 (8-bit, 32-bit words of four items).
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  i32 group;
} FW_PACKED zv_api_shuffle_channel_forward_t;
static_assert(sizeof(zv_api_shuffle_channel_forward_t) == 36, "zv_api_shuffle_channel_forward_t is 36 bytes");
typedef zv_api_shuffle_channel_forward_t zv_api_shuffle_channel_fix8b_forward_t;

// API 120: an 8-bit batch to space (bytes 48-63 are not read).
typedef struct {
  u64 input_addr;
  u64 output_addr;
  u64 buffer_addr;
  u64 buffer2_addr;
  i32 shape[4];
  u8 unused[16];
  i32 input_dim;
  i32 in_store_mode;
  i32 out_store_mode;
  i32 block[2];
  i32 crops[4];
} FW_PACKED zv_api_batch2space_fix8b_forward_t;
static_assert(sizeof(zv_api_batch2space_fix8b_forward_t) == 100, "zv_api_batch2space_fix8b_forward_t is 100 bytes");

// API 121: an 8-bit space to batch.
typedef struct {
  u64 input;
  u64 output;
  u64 buffer;
  i32 shape[8];
  i32 input_dim;
  i32 in_store_mode;
  i32 out_store_mode;
  i32 block[2];
  i32 pads[4];
} FW_PACKED zv_api_space2batch_fix8b_forward_t;
static_assert(sizeof(zv_api_space2batch_fix8b_forward_t) == 92, "zv_api_space2batch_fix8b_forward_t is 92 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_shuffle_channel_forward(u8 *param, u32 size);
u32 zv_api_shuffle_channel_fix8b_forward(u8 *param, u32 size);
u32 zv_api_batch2space_fix8b_forward(u8 *param, u32 size);
u32 zv_api_space2batch_fix8b_forward(u8 *param, u32 size);

// ---- Layers ----

// Reverses a float32 tensor of shape_size axes along axis (negative: from the end).
void nodechip_reverse_forward_v2(u64 input, u64 output, const int *shape, int shape_size, int axis,
                                 cmd_id_node_t *node);
// Output channel i * group + j is input channel j * (c / group) + i (float32).
void nodechip_shuffle_channel_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                      cmd_id_node_t *node);
// The same moves on 32-bit words: for 4N 8-bit data n counts groups of four items.
void nodechip_shuffle_channel_fix8b_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                            cmd_id_node_t *node);

// Space to batch of a float32 (n, c, h, w) tensor with block (bh, bw), padded
// first by pads (top, bottom, left, right) into buffer; output batch
// (a * bw + b) * n + m holds pixels (y * bh + a, x * bw + b) of item m.
void nodechip_space2batch(u64 input, u64 output, u64 buffer, const int *shape, int input_dim, const int *block,
                          const int *pads, int *output_shape, cmd_id_node_t *node);
// The same on 8-bit data, each side 1N or 4N; with buffer_size not null only
// stores the work-buffer bytes needed.
void nodechip_space2batch_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape, int input_dim,
                                int in_store_mode, int out_store_mode, const int *block, const int *pads,
                                int *output_shape, cmd_id_node_t *node);
// The inverse, cropped afterwards by crops (top, bottom, left, right) through buffer.
void nodechip_batch2space(u64 input, u64 output, u64 buffer, const int *shape, int input_dim, const int *block,
                          const int *crops, int *output_shape, cmd_id_node_t *node);
void nodechip_batch2space_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape,
                                int input_dim, int in_store_mode, int out_store_mode, const int *block,
                                const int *crops, int *output_shape, cmd_id_node_t *node);
// Depth to space (is_inverse 0) or space to depth, each side NCHW or NHWC (the
// shape in the input's memory order); block offset (a, b) is the outer part of
// the deep channel index (a * bw + b) * C' + c.
void nodechip_depth2space(u64 input, u64 output, const int *shape, int input_dims, const int *block, int in_is_nchw,
                          int out_is_nchw, int is_inverse, int format, cmd_id_node_t *node);
// The reorg of detection networks: depth to space (reverse) or space to depth
// of NCHW float32 data; the third argument is not read.
void nodechip_reorg_forward_v2(u64 input, u64 output, u64 unused, const int *shape, int bottom_dims, int stride_h,
                               int stride_w, int reverse, cmd_id_node_t *node);
// The plan of the 8-bit reorg of in_shape into out_shape (both (n, c, h, w),
// n in items). Pure.
void reorg_fix8b_plan_of(const int *in_shape, const int *out_shape, reorg_fix8b_plan_t *plan);
// Reorg of a 4N 8-bit tensor through local memory: loaded whole, rearranged by
// the local kernel (depth to space when c > c', else space to depth) and
// stored to out_shape. `skip` goes to the kernel (its shifted copies are
// already in place).
void nodechip_reorg_forward_fix8b(u64 input, u64 output, const int *in_shape, const int *out_shape, int skip,
                                  cmd_id_node_t *node);
// A 4N 8-bit tensor to 1N; the four ints after w are not read.
void nodechip_reshape_fix8b(u64 input, u64 output, int n, int c, int h, int w, int unused0, int unused1, int unused2,
                            int unused3, int in_tensor_global_store_mode, int out_tensor_global_store_mode,
                            cmd_id_node_t *node);
}
