// Binary operations on tensors in device memory described by tensor records:
// the binary_op codes of the element-wise layers and the 21 operation types of
// the record layers, the record layers themselves (4-D with broadcasting, and
// flat), and the APIs that reach them (148, 149).
//
// The record layers give every non-constant operand (A, B, R) and each scratch
// tensor of the operation an equal share of the eight 64 KB banks of a lane,
// in the order A, B, R, scratch 0, scratch 1. The 4-D layer cuts the result
// by bisecting n, then c, h and w until one slice fits its share; a broadcast
// operand is read with stride 0 along its broadcast dimensions. The flat
// layer cuts the length into rows of 32 over up to 64 lanes. Each slice is
// loaded, computed and stored in turn on the caller's node; a constant stored
// in device memory is read on the ARM through a 4-byte buffer before anything
// else is issued.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"
#include "local/eltwise.h"
#include "local/tensor_record.h"
#include "runtime/types.h"

// binary_op codes below BINARY_MIN (the rest are in local/eltwise.h).
#define BINARY_ADD 0
#define BINARY_SUB 1
#define BINARY_MUL 2
#define BINARY_DIV 3
#define BINARY_MAX 4
// Integer-only codes (the ARM shape arithmetic).
#define BINARY_MOD 10008
#define BINARY_INT_DIV 10009

// Operand modes of the record layers.
#define BINARY_OPERAND_TENSOR 0
#define BINARY_OPERAND_CONST 1   // the value in the request
#define BINARY_OPERAND_STORED 2  // a float32 (or byte) at the operand's address

#define BINARY_TYPE_NUM 21
#define BINARY_BANKS 8

// The banks of one request: s banks for each of A, B, R and the scratch
// tensors (constants take none), with their untagged offsets and areas.
typedef struct {
  int banks;       // s = 8 / (tensors + scratch)
  int scratch;     // scratch tensors of the operation type
  u32 offset[5];   // A, B, R, scratch 0, scratch 1 (unused entries 0)
  int area_count;
  local_area_t areas[5];
} binary_banks_t;

// Data formats of one operation type: 0 float32, 1 byte (0 or 1).
typedef struct {
  int A, B, R;
} binary_formats_t;

// ---- API records ----

// API 148.
typedef struct {
  u64 A_addr;
  u64 B_addr;
  u64 R_addr;
  u64 buffer_addr;
  i32 n, c, h, w;
  i32 A_bcast_n, A_bcast_c, A_bcast_h, A_bcast_w;
  i32 B_bcast_n, B_bcast_c, B_bcast_h, B_bcast_w;
  i32 A_const_mode;
  float A_const_value;
  i32 B_const_mode;
  float B_const_value;
  i32 op;
} FW_PACKED zv_api_binary_t;
static_assert(sizeof(zv_api_binary_t) == 100, "zv_api_binary_t is 100 bytes");

// API 149.
typedef struct {
  u64 A_addr;
  u64 B_addr;
  u64 R_addr;
  u64 buffer_addr;
  u64 length;
  i32 A_const_mode;
  u32 A_const_value;
  i32 B_const_mode;
  u32 B_const_value;
  i32 op;
} FW_PACKED zv_api_simple_binary_t;
static_assert(sizeof(zv_api_simple_binary_t) == 60, "zv_api_simple_binary_t is 60 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_binary(u8 *param, u32 size);
u32 zv_api_simple_binary(u8 *param, u32 size);

// ---- Codes (pure) ----

// 1 for the six comparisons of binary_op (10001 to 10006), else 0.
int is_logical_binary_op(int code);
// The formats and scratch count of an operation type (0 to 20; another type
// fails an assertion).
void fill_tensor_data_fmt(int *A_fmt, int *B_fmt, int *R_fmt, int op);
int binary_extra_tensor_num(int op);
// Bytes of one element in device memory: 4 for format 0, 1 for format 1.
int global_byte_num(int format);

// ---- Planning (pure) ----

// The bank shares of an operation type with A and/or B constant.
void binary_banks_of(binary_banks_t *plan, int op, int A_const, int B_const);
// Bytes per lane of an EU-aligned float32 tensor of this shape.
u64 binary_local_size(const dim4_t *shape);
// The largest slice of `shape` whose local size fits `budget` bytes, found
// by bisecting n, then c, h and w (the later ones whole once one fits).
// 0 when even (1, min(c, 64), 1, 1) does not fit.
int tensor_slicing(dim4_t *slice, const dim4_t *shape, u64 budget);
// The next flat piece of `remaining` elements (above 0) with `banks` banks a
// tensor: rows of 32 over up to 64 lanes, at most banks x 16384 elements.
void simple_binary_piece_of(dim4_t *piece, u64 remaining, int banks);

// ---- Layers ----

// R = A op B over n x c x h x w; an operand with factor k > 1 along a
// dimension has extent 1 there (k equals the result's extent) and is repeated.
void nodechip_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 buffer_addr, int n, int c, int h, int w,
                     int A_bcast_n, int A_bcast_c, int A_bcast_h, int A_bcast_w, int B_bcast_n,
                     int B_bcast_c, int B_bcast_h, int B_bcast_w, int A_const_mode, float A_const_value,
                     int B_const_mode, float B_const_value, int op, cmd_id_node_t *node);
// R = A op B over `length` elements; constants are float32 bits.
void nodechip_simple_binary(u64 A_addr, u64 B_addr, u64 R_addr, u64 buffer_addr, u64 length,
                            int A_const_mode, u32 A_const_value, int B_const_mode, u32 B_const_value,
                            int op, cmd_id_node_t *node);
}
