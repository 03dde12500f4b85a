// Tensor records and binary operations on local memory.
//
// A tensor_t describes one operand of an element-wise operation from both
// sides of a GDMA move: its slice in device memory with its strides, its place
// in lane-local memory, its broadcast factors, or a scalar constant held in the
// record. The wrappers turn records into single tensor-engine commands after
// checking them (broadcast, alignment, the 64 KB bank rule, shapes); the binary
// operations are built from the wrappers. Every command goes out on the
// caller's node; nothing waits.
//
// Local layout of a record: channel planes of feature_size(t) float32 elements,
// ceil(c / 64) rows per batch item across the 64 lanes, n items: 4 x n x
// ceil(c / 64) x feature_size(t) bytes from local_offset (untagged: lane field
// and byte offset).
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define LOCAL_MEM_BANK_SIZE 0x10000u

typedef struct {
  u64 global_addr;      // device-memory address of the slice's first element
  u32 local_offset;     // untagged local address of the slice
  dim4_t shape;         // extents of the slice as it lies in local memory
  dim4_t global_stride; // element strides in device memory
  dim4_t bcast_stride;  // local strides, 0 in every broadcast dimension
  dim4_t local_stride;  // element strides of the local layout
  i32 bcast[4];         // per dimension n, c, h, w: 1 spans it, else repeated
  u32 constant;         // TRUE: a scalar held in value
  u32 value;            // float32 bits of the constant
  u32 data_fmt;         // 0 float32, 1 8-bit in device memory (float32 locally)
  u32 eu_align;         // 1: channel planes rounded up to 32 elements
  u32 transpose;        // transpose flag of the record's GDMA moves
} tensor_t;
static_assert(sizeof(tensor_t) == 112, "tensor_t is 28 words");

// TRUE for a constant or an EU-aligned record.
#define is_align(t) ((t)->constant == TRUE || (t)->eu_align == 1)

// binary_op_type_t: the order in which the float binary layer dispatches.
typedef enum {
  BINARY_TYPE_ADD = 0,
  BINARY_TYPE_SUB = 1,
  BINARY_TYPE_MUL = 2,
  BINARY_TYPE_DIV = 3,
  BINARY_TYPE_POW = 4,
  BINARY_TYPE_MAXIMUM = 5,
  BINARY_TYPE_MINIMUM = 6,
  BINARY_TYPE_LOGICAL_AND = 7,
  BINARY_TYPE_LOGICAL_OR = 8,
  BINARY_TYPE_EQUAL = 9,
  BINARY_TYPE_NOT_EQUAL = 10,
  BINARY_TYPE_GREATER = 11,
  BINARY_TYPE_GREATER_EQUAL = 12,
  BINARY_TYPE_LESS = 13,
  BINARY_TYPE_LESS_EQUAL = 14,
  BINARY_TYPE_SQUARED_DIFFERENCE = 15,
  BINARY_TYPE_SQRT_GRAD = 16,
  BINARY_TYPE_RSQRT_GRAD = 17,
  BINARY_TYPE_TANH_GRAD = 18,
  BINARY_TYPE_SIGMOID_GRAD = 19,
  BINARY_TYPE_INVERSE_GRAD = 20,
} binary_op_type_t;

extern "C" {

// ---- Record helpers (pure) ----
void DEFAULT_DIM4(dim4_t *d);
// Zero addresses, shapes and strides; broadcast factors 1; float32, aligned.
void DEFAULT_TENSOR(tensor_t *t);
tensor_t *CONSTANT_TENSOR(tensor_t *out, float value);
// h x w, rounded up to 32 when aligned and not 0; 0 for a constant.
u32 feature_size(const tensor_t *t);
int is_bcast(const tensor_t *t);
int same_shape(const tensor_t *a, const tensor_t *b);
// local_offset | LOCAL_ADDR_TAG; 0 for a constant.
u32 LADDR(const tensor_t *t);
// The index of the first 64 KB bank after the record's last byte (0 when it
// ends at 0). A constant is refused.
int next_bank_idx(const tensor_t *t);
// TRUE when the later of the two records starts in a bank the earlier one
// still occupies; FALSE when either is a constant.
int confilict(const tensor_t *a, const tensor_t *b);
void fill_tensor_local_stride(tensor_t *t);
void fill_tensor_global_stride(tensor_t *t, const dim4_t *global_shape);

// ---- Move: direction 0 loads the slice into local memory, 1 stores it ----
void tensor_move(const tensor_t *t, int direction, cmd_id_node_t *node);

// ---- Command wrappers (C is the result) ----
void tensor_md_scalar(tensor_t *C, tensor_t *A, tensor_t *B, int md_scalar_op, int flag,
                      cmd_id_node_t *node);
void tensor_arithmetic(tensor_t *C, tensor_t *A, tensor_t *B, int op, cmd_id_node_t *node);
// op 10: C = (A > B), 11: C = (A = B), as 1.0 and 0.0.
void tensor_arithmetic_select(tensor_t *C, tensor_t *A, tensor_t *B, int op, cmd_id_node_t *node);
void tensor_md_sfu(tensor_t *C, tensor_t *A, u32 table, int count, int sfu_op,
                   cmd_id_node_t *node);
void tensor_table_lookup(tensor_t *C, tensor_t *A, u32 table, cmd_id_node_t *node);

// ---- Binary operations: result, inputs, scratch records, node ----
void tensor_add(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_sub(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_mul(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_div(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_pow(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_maximum(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_minimum(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_logical_and(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_logical_or(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_equal(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_not_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_greater(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_greater_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D,
                          cmd_id_node_t *node);
void tensor_less(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
void tensor_less_equal(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_squared_difference(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, tensor_t *E,
                               cmd_id_node_t *node);
// In the grad operations A is the forward output and B the incoming gradient.
void tensor_sqrt_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_rsqrt_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_tanh_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, cmd_id_node_t *node);
void tensor_sigmoid_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D, tensor_t *E,
                         cmd_id_node_t *node);
void tensor_inverse_grad(tensor_t *C, tensor_t *A, tensor_t *B, tensor_t *D,
                         cmd_id_node_t *node);

// C = A + 0.0.
void tensor_cpy(tensor_t *C, tensor_t *A, cmd_id_node_t *node);
// C = e^A, the argument clamped to [-103, 88]; A and B (scratch) are lost.
void tensor_exp(tensor_t *C, tensor_t *A, tensor_t *B, cmd_id_node_t *node);
// Float depthwise convolution of A with per-channel filters F and optional
// bias B into C. param: pad top, bottom, left, right, stride h, w, zero
// insertion h, w, has-bias flag.
void tensor_depthwise(tensor_t *C, tensor_t *A, tensor_t *F, tensor_t *B, const int param[9],
                      cmd_id_node_t *node);
}
