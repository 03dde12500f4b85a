// Transpose and permute: reordering the axes of a tensor in device memory, and
// the APIs that reach it (46 and 142 permute, 117 and 118 transpose).
//
// A permutation of up to eight axes is reduced to a short chain of rotations
// {x, y, z}: the view's bytes, read as an x by y by z array of elements, become
// x by z by y. The float transpose runs each rotation through local memory
// (nodechip_permute_xyz2xzy), the 8-bit one with strided GDMA moves alone. The
// rotations alternate between the output and a caller-provided work buffer as
// large as the tensor. All layers only issue GDMA commands on the caller's node;
// nodechip_permute_xyz2xzy waits only to keep the 16-bit ids from wrapping.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define TRANSPOSE_MAX_DIMS 8

// Local images of the rotations and the permute: the source at lane 0 offset 0,
// the transposed image at lane 0 offset 256 KB, both over all 64 lanes.
#define TRANSPOSE_LOCAL_SRC 0x08000000u
#define TRANSPOSE_LOCAL_DST 0x08040000u
#define TRANSPOSE_LOCAL_HALF 0x40000u

// One rotation: an x by y by z array of elements becomes x by z by y.
typedef struct {
  int x, y, z;
} transpose_step_t;

// ---- API record ----

// API 46: a float32 tensor (n, c, h, w) to (n, h, w, c).
typedef struct {
  u64 input_addr;
  u64 output_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_permute_param_t;
static_assert(sizeof(zv_api_permute_param_t) == 32, "zv_api_permute_param_t is 32 bytes");

// API 142: the same for 8-bit data in the 4N layout.
typedef zv_api_permute_param_t zv_api_permute_fix8b_param_t;

// API 117: a transpose of up to 8 axes through the work buffer (the u64 at 92).
typedef struct {
  u64 input;
  u64 output;
  i32 shape[TRANSPOSE_MAX_DIMS];
  i32 order[TRANSPOSE_MAX_DIMS];
  i32 dims;
  i32 type_len;
  i32 store_mode;
  u64 buffer;
} FW_PACKED zv_api_transpose_t;
static_assert(sizeof(zv_api_transpose_t) == 100, "zv_api_transpose_t is 100 bytes");

// API 118: the 8-bit transpose, each side 1N or 4N.
typedef struct {
  u64 input;
  u64 output;
  i32 shape[TRANSPOSE_MAX_DIMS];
  i32 order[TRANSPOSE_MAX_DIMS];
  i32 dims;
  i32 in_store_mode;
  i32 out_store_mode;
  u64 buffer;
} FW_PACKED zv_api_transpose_fix8b_t;
static_assert(sizeof(zv_api_transpose_fix8b_t) == 100, "zv_api_transpose_fix8b_t is 100 bytes");

extern "C" {

// ---- Handler ----
u32 zv_api_permute(u8 *param, u32 size);
u32 zv_api_permute_fix8b(u8 *param, u32 size);
u32 zv_api_transpose(u8 *param, u32 size);
u32 zv_api_transpose_fix8b(u8 *param, u32 size);

// ---- Planning ----

// Non-zero when order[0 .. dims - 1] is a permutation of 0 .. dims - 1 and
// 1 <= dims <= TRANSPOSE_MAX_DIMS.
int transpose_order_valid(const int *order, int dims);
// The rotations that take a tensor of the given view extents to the axis order
// `order` (a valid permutation): at most dims - 1 steps, those that move no data
// left out. Returns the number of steps.
int transpose_plan_steps(const int *extents, const int *order, int dims, transpose_step_t *steps);

// ---- Layers ----

// Transposes a tensor of 1-, 2- or 4-byte elements (type_len) in store mode 1N,
// or of bytes in 4N; order[i] is the input axis that becomes output axis i.
// With buffer_size not null, only stores the work-buffer bytes needed there.
void nodechip_transpose(u64 input, u64 output, const int *shape, const int *order, int dims, int type_len,
                        int store_mode, u64 buffer, u64 *buffer_size, cmd_id_node_t *node);
// The same for 8-bit data, each side in 1N or 4N, with GDMA moves only.
void nodechip_transpose_fix8b(u64 input, u64 output, const int *shape, const int *order, int dims,
                              int in_store_mode, int out_store_mode, u64 buffer, u64 *buffer_size,
                              cmd_id_node_t *node);
// One rotation through local memory: the x by y by z elements of `format` at src
// as x by z by y at dst.
void nodechip_permute_xyz2xzy(u64 src, u64 dst, int x, int y, int z, int format, cmd_id_node_t *node);
// A float32 tensor (n, c, h, w) to (n, h, w, c).
void nodechip_permute_by_gdma(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node);
// The same for an 8-bit tensor in 4N storage (groups of four items as words).
void nodechip_permute_fix8b_by_gdma(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node);
}
