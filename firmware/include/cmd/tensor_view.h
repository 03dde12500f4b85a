// Typed tensor views for the command layer: a tensor named by one record in
// place of runs of positional generator arguments, and thin inline forwards to
// the generators the layers use most.
//
// - global_view_t: a tensor in device memory (or L2 SRAM, or the DTCM scratch):
//   address, shape, strides in elements, GDMA format.
// - local_view_t: a tensor in the lanes' local memory: byte offset in the start
//   lane, start lane, strides in elements, format. Its shape comes with the
//   operation (the other side of a move, or the operation's shape).
// - tensor_operand_t: one input of a tensor-engine command, a tagged local
//   address or a 32-bit constant.
//
// Default strides: a view whose stride record has n == TENSOR_VIEW_DEFAULT_N
// (-1) asks for the layout the callee derives itself: the EU-aligned float32
// layout from the start lane for a local view, the dense layout for a global
// view. Only general_load/general_save and the tensor-engine forwards accept
// it; the move forwards need real strides on both sides.
//
// Every forward is static inline and passes the view's fields through as they
// are, so a call through a view issues exactly the descriptors of the
// positional call it replaces.
#pragma once

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "runtime/regs.h"
#include "runtime/types.h"

#define TENSOR_VIEW_DEFAULT_N (-1)

typedef struct {
  u64 addr;
  dim4_t shape;
  dim4_t stride;  // elements between neighbours
  gdma_value_format_t format;
} global_view_t;

typedef struct {
  u32 offset;  // bytes from the start of the start lane's memory (bits 0-18)
  int lane;    // start lane: channel c lives in lane (lane + c) % 64
  dim4_t stride;
  gdma_value_format_t format;
} local_view_t;

typedef struct {
  u32 addr;  // tagged local address (0 for a constant)
  u32 bits;  // the constant's 32-bit pattern (0 for an address)
  int is_const;
} tensor_operand_t;

// Every argument of the tensor-arithmetic generator, named: built by
// tensor_arith_of, then the rare fields (broadcast, result add) set by name.
typedef struct {
  tensor_op_t op;
  tensor_operand_t A, B;
  u32 R;  // tagged local address
  dim4_t shape;
  dim4_t A_stride, B_stride, R_stride;
  int B_bcast_n, B_bcast_h, B_bcast_w;
  int result_add;
  int flag35;
} tensor_arith_t;

// ---- Records ----

static inline dim4_t dim4(int n, int c, int h, int w) {
  dim4_t d = {n, c, h, w};
  return d;
}
// The stride record that asks for the callee's default layout.
static inline dim4_t default_stride() { return dim4(TENSOR_VIEW_DEFAULT_N, 0, 0, 0); }
static inline int is_default_stride(const dim4_t &s) { return s.n == TENSOR_VIEW_DEFAULT_N; }
// Dense strides of `shape`: {c*h*w, h*w, w, 1}.
static inline dim4_t dense_stride(const dim4_t &shape) {
  return dim4(shape.c * shape.h * shape.w, shape.h * shape.w, shape.w, 1);
}

static inline global_view_t global_view(u64 addr, const dim4_t &shape, const dim4_t &stride,
                                        gdma_value_format_t format) {
  global_view_t v = {addr, shape, stride, format};
  return v;
}
// A global tensor laid out densely, the strides written out.
static inline global_view_t global_dense(u64 addr, const dim4_t &shape, gdma_value_format_t format) {
  return global_view(addr, shape, dense_stride(shape), format);
}
// A dense global tensor whose strides the callee derives (general_load/save).
static inline global_view_t global_default(u64 addr, const dim4_t &shape, gdma_value_format_t format) {
  return global_view(addr, shape, default_stride(), format);
}

static inline local_view_t local_view(u32 offset, int lane, const dim4_t &stride, gdma_value_format_t format) {
  local_view_t v = {offset, lane, stride, format};
  return v;
}
// A float32 local tensor in the default EU-aligned layout from its start lane.
static inline local_view_t local_aligned(u32 offset, int lane = 0) {
  return local_view(offset, lane, default_stride(), GDMA_VALUE_FORMAT_FLOAT32);
}
// A float32 local tensor with the given strides.
static inline local_view_t local_f32(u32 offset, const dim4_t &stride, int lane = 0) {
  return local_view(offset, lane, stride, GDMA_VALUE_FORMAT_FLOAT32);
}
// The view's address as the tensor engine takes it.
static inline u32 local_view_addr(const local_view_t &v) {
  return LOCAL_ADDR_TAG | (u32)v.lane << 19 | v.offset;
}
// The view's address as the typed loads and saves take it (lane in bits 19-24, untagged).
static inline u32 local_view_untagged(const local_view_t &v) { return (u32)v.lane << 19 | v.offset; }

static inline tensor_operand_t operand_at(u32 tagged_addr) {
  tensor_operand_t o = {tagged_addr, 0, 0};
  return o;
}
static inline tensor_operand_t operand_view(const local_view_t &v) { return operand_at(local_view_addr(v)); }
static inline tensor_operand_t operand_bits(u32 bits) {
  tensor_operand_t o = {0, bits, 1};
  return o;
}
static inline tensor_operand_t operand_f32(float v) { return operand_bits(f32_bits(v)); }
// A constant or an address as decided at run time.
static inline tensor_operand_t operand_either(int is_const, u32 tagged_addr, u32 bits) {
  return is_const ? operand_bits(bits) : operand_at(tagged_addr);
}

// ---- GDMA: the general move ----

static inline void general_move_sides(u64 src_addr, int src_lane, const dim4_t &src_shape, const dim4_t &src_stride,
                                      gdma_value_format_t src_format, u64 dst_addr, int dst_lane,
                                      const dim4_t &dst_shape, const dim4_t &dst_stride,
                                      gdma_value_format_t dst_format, gdma_direction_t direction, int transpose,
                                      cmd_id_node_t *node) {
  tensor_general_move_gen_cmd(src_addr, src_lane, src_shape.n, src_shape.c, src_shape.h, src_shape.w,
                              src_stride.n, src_stride.c, src_stride.h, src_stride.w, src_format, dst_addr,
                              dst_lane, dst_shape.n, dst_shape.c, dst_shape.h, dst_shape.w, dst_stride.n,
                              dst_stride.c, dst_stride.h, dst_stride.w, dst_format, direction, transpose, node);
}
static inline dim4_t swap_nc(const dim4_t &s) { return dim4(s.c, s.n, s.h, s.w); }

// Global to local; the local side takes the global side's shape.
static inline void move_g2l(const global_view_t &src, const local_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.addr, 0, src.shape, src.stride, src.format, dst.offset, dst.lane, src.shape, dst.stride,
                     dst.format, GDMA_VALUE_DIR_S2L, 0, node);
}
// Local to global; the local side takes the global side's shape.
static inline void move_l2g(const local_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.offset, src.lane, dst.shape, src.stride, src.format, dst.addr, 0, dst.shape, dst.stride,
                     dst.format, GDMA_VALUE_DIR_L2S, 0, node);
}
// Global to global; the shapes may differ (same element count: not cut).
static inline void move_g2g(const global_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.addr, 0, src.shape, src.stride, src.format, dst.addr, 0, dst.shape, dst.stride,
                     dst.format, GDMA_VALUE_DIR_S2S, 0, node);
}
// Local to local over one shape.
static inline void move_l2l(const local_view_t &src, const local_view_t &dst, const dim4_t &shape,
                            cmd_id_node_t *node) {
  general_move_sides(src.offset, src.lane, shape, src.stride, src.format, dst.offset, dst.lane, shape, dst.stride,
                     dst.format, GDMA_VALUE_DIR_L2L, 0, node);
}
// The same moves with N and C exchanged: the destination's shape is the
// source's with n and c swapped (given by the destination view for g2g).
static inline void move_g2l_nc(const global_view_t &src, const local_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.addr, 0, src.shape, src.stride, src.format, dst.offset, dst.lane, swap_nc(src.shape),
                     dst.stride, dst.format, GDMA_VALUE_DIR_S2L, 1, node);
}
static inline void move_l2g_nc(const local_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.offset, src.lane, swap_nc(dst.shape), src.stride, src.format, dst.addr, 0, dst.shape,
                     dst.stride, dst.format, GDMA_VALUE_DIR_L2S, 1, node);
}
static inline void move_g2g_nc(const global_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  general_move_sides(src.addr, 0, src.shape, src.stride, src.format, dst.addr, 0, dst.shape, dst.stride,
                     dst.format, GDMA_VALUE_DIR_S2S, 1, node);
}

// ---- GDMA: the strided move (one format: the global view's) ----

static inline void stride_load(const global_view_t &src, const local_view_t &dst, cmd_id_node_t *node) {
  tensor_stride_move_gen_cmd(dst.offset, dst.lane, src.addr, src.shape.n, src.shape.c, src.shape.h, src.shape.w,
                             src.stride.n, src.stride.c, src.stride.h, src.stride.w, dst.stride.n, dst.stride.c,
                             dst.stride.h, dst.stride.w, src.format, GDMA_VALUE_DIR_S2L, 0, node);
}
static inline void stride_store(const local_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  tensor_stride_move_gen_cmd(src.offset, src.lane, dst.addr, dst.shape.n, dst.shape.c, dst.shape.h, dst.shape.w,
                             src.stride.n, src.stride.c, src.stride.h, src.stride.w, dst.stride.n, dst.stride.c,
                             dst.stride.h, dst.stride.w, dst.format, GDMA_VALUE_DIR_L2S, 0, node);
}

// ---- Typed loads and saves (format: the global view's) ----
// A default stride on either side is derived by the callee: the local side
// EU-aligned from its start lane, the global side dense; both default, the
// aligned move.

static inline const dim4_t *stride_or_null(const dim4_t &s) { return is_default_stride(s) ? NULL : &s; }

static inline void general_load(const global_view_t &src, const local_view_t &dst, cmd_id_node_t *node) {
  tensor_general_load(local_view_untagged(dst), src.addr, (int)src.format, 1, &src.shape,
                      stride_or_null(dst.stride), stride_or_null(src.stride), node);
}
static inline void general_save(const local_view_t &src, const global_view_t &dst, cmd_id_node_t *node) {
  tensor_general_save(local_view_untagged(src), dst.addr, (int)dst.format, 1, &dst.shape,
                      stride_or_null(src.stride), stride_or_null(dst.stride), node);
}

// ---- Tensor engine: md_scalar on the default aligned layout ----

// R = A op B over `shape`.
static inline void md_scalar(md_scalar_op_t op, const tensor_operand_t &A, const tensor_operand_t &B, u32 R,
                             const dim4_t &shape, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(A.addr, B.addr, R, shape.n, shape.c, shape.h, shape.w, op, 0, A.is_const,
                                    B.is_const, A.bits, B.bits, node);
}
// The same with the result-add flag (R += A * B for MD_SCALAR_MUL).
static inline void md_scalar_acc(md_scalar_op_t op, const tensor_operand_t &A, const tensor_operand_t &B, u32 R,
                                 const dim4_t &shape, int result_add, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(A.addr, B.addr, R, shape.n, shape.c, shape.h, shape.w, op, result_add,
                                    A.is_const, B.is_const, A.bits, B.bits, node);
}

// ---- Tensor engine: tensor arithmetic (cut to the engine's limits) ----

// The record of R = A op B with no broadcast, no result add and flag 35 clear.
static inline tensor_arith_t tensor_arith_of(tensor_op_t op, const tensor_operand_t &A, const dim4_t &A_stride,
                                             const tensor_operand_t &B, const dim4_t &B_stride, u32 R,
                                             const dim4_t &R_stride, const dim4_t &shape) {
  tensor_arith_t a = {op, A, B, R, shape, A_stride, B_stride, R_stride, 0, 0, 0, 0, 0};
  return a;
}
static inline void tensor_arith_issue(const tensor_arith_t &a, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(a.A.addr, a.B.addr, a.R, &a.shape, a.B_bcast_n, a.B_bcast_h, a.B_bcast_w,
                                   &a.A_stride, &a.B_stride, &a.R_stride, a.op, a.result_add, a.A.is_const,
                                   a.A.bits, a.B.is_const, a.B.bits, a.flag35, node);
}
// R = A op B, each with its view's strides.
static inline void tensor_arith(tensor_op_t op, const local_view_t &A, const local_view_t &B,
                                const local_view_t &R, const dim4_t &shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(local_view_addr(A), local_view_addr(B), local_view_addr(R), &shape, 0, 0, 0,
                                   &A.stride, &B.stride, &R.stride, op, 0, 0, 0, 0, 0, 0, node);
}
// R = A op b for the constant pattern b; the constant's stride record is A's.
static inline void tensor_arith_const(tensor_op_t op, const local_view_t &A, u32 b_bits, const local_view_t &R,
                                      const dim4_t &shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(local_view_addr(A), 0, local_view_addr(R), &shape, 0, 0, 0, &A.stride,
                                   &A.stride, &R.stride, op, 0, 0, 0, 1, b_bits, 0, node);
}
// Every element of R = the constant pattern (a copy of a constant A).
static inline void tensor_fill(const local_view_t &R, u32 bits, const dim4_t &shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(0, 0, local_view_addr(R), &shape, 0, 0, 0, &R.stride, &R.stride, &R.stride,
                                   TENSOR_OP_COPY, 0, 1, bits, 0, 0, 0, node);
}
