// Tile and broadcast_like: repeating a tensor in device memory along one or
// more axes, and the APIs that reach them (116 tile, 119 8-bit tile).
//
// One axis is one strided GDMA move per 65535 outer rows: a zero h stride on
// the source reads each row tile_num times. Rows or counts above one GDMA
// dimension take the row copy (copy.h) row by row. Several axes are tiled one
// after another, smallest count first, alternating between the output and a
// caller's work buffer so that the last step writes the output. 8-bit 4N data
// whose batch is tiled goes through 1N bytes. The layers issue GDMA commands on
// the caller's node and never wait.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define TENSOR_DIM_NUM 4
#define TILE_MAX_DIMS 8

// How tile_full cuts its work: the axes it tiles, in order, with their counts.
typedef struct {
  int steps;
  int axis[TILE_MAX_DIMS];
  int count[TILE_MAX_DIMS];
} tile_plan_t;

// ---- API records ----

// API 116 (float) and 119 (8-bit; the formats are the store modes and buffer and
// output come the other way round in the call).
typedef struct {
  u64 input;
  u64 buffer;
  u64 output;
  i32 shape[TILE_MAX_DIMS];
  i32 tile_coeff[TILE_MAX_DIMS];
  i32 input_dim;
  i32 src_format;  // in_store_mode for API 119
  i32 dst_format;  // out_store_mode for API 119
  i32 flag;        // 0: tile the block; non-zero: repeat each element
} FW_PACKED zv_api_tile_forward_t;
static_assert(sizeof(zv_api_tile_forward_t) == 104, "zv_api_tile_forward_t is 104 bytes");
typedef zv_api_tile_forward_t zv_api_tile_fix8b_forward_t;

extern "C" {

// ---- Handlers ----
u32 zv_api_tile_forward(u8 *param, u32 size);
u32 zv_api_tile_fix8b_forward(u8 *param, u32 size);

// ---- Planning ----

// The axes whose coefficient is not 1, in tiling order: smallest count first.
void tile_plan_of(const int *tile_coeff, int dims, tile_plan_t *plan);

// ---- Layers ----

// Tiles axis tile_dim (negative: from the end) of an (n, c, h, w) tensor
// tile_num times: flag 0 repeats the block, non-zero each element.
void nodechip_tile_forward(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w, int tile_dim,
                           int tile_num, int src_format, int dst_format, int flag, cmd_id_node_t *node);
// The same (its checks in the plain assertion form).
void nodechip_tile_forward_fix8b(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w,
                                 int tile_dim, int tile_num, int src_format, int dst_format, int flag,
                                 cmd_id_node_t *node);
// Tiles every axis of up to 8 by its coefficient.
void nodechip_tile_full(u64 input, u64 buffer, u64 output, const int *shape, const int *tile_coeff, int input_dim,
                        int src_format, int dst_format, int flag, cmd_id_node_t *node);
// The 8-bit tile, each side 1N or 4N; more than four axes are folded to four.
// With buffer_size not null, only stores the work-buffer bytes needed.
void nodechip_tile_full_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape,
                              const int *tile_coeff, int input_dim, int in_store_mode, int out_store_mode, int flag,
                              cmd_id_node_t *node);
void nodechip_tile_dim4_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape,
                              const int *tile_coeff, int input_dim, int in_store_mode, int out_store_mode, int flag,
                              cmd_id_node_t *node);
// Coefficients that tile shape up to target_shape: by the listed axes, or
// with axis_count 0 every axis of extent 1. Returns dims.
int get_broadcast_like_tile_coeff(const int *shape, int dims, const int *target_shape, int target_dims,
                                  const int *axes, const int *target_axes, int axis_count, int *tile_coeff);
void nodechip_broadcast_like(u64 input, u64 buffer, u64 output, const int *shape, int dims, const int *target_shape,
                             int target_dims, const int *axes, const int *target_axes, int axis_count, int is_8bit,
                             int in_store_mode, int out_store_mode, cmd_id_node_t *node);
}
