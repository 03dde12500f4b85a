// Loads and saves between device memory and local memory, and the index
// sequence: the basic tensor operations that issue GDMA moves.
#include <string.h>

#include "runtime/assert.h"
#include "cmd/tensor_view.h"
#include "runtime/regs.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"

static u32 lane_of(u32 local) { return get_local_start_lane(local) & (NPU_NUM - 1); }
static u32 offset_of(u32 local) { return local & (LOCAL_MEM_SIZE - 1); }

void tensor_simple_move(u32 local, u64 global, int format, int eu_align, int direction,
                        const dim4_t *shape, cmd_id_node_t *node) {
  // The moves lay the local side out from its start lane, so the lane travels in
  // its own argument rather than inside the offset.
  const u32 offset = offset_of(local), lane = lane_of(local);
  if (eu_align)
    tensor_align_move_gen_cmd(offset, (int)lane, global, shape->n, shape->c, shape->h, shape->w,
                              (gdma_value_format_t)format, (gdma_direction_t)direction, 0, node);
  else
    tensor_compact_move_gen_cmd(offset, (int)lane, global, shape->n, shape->c, shape->h, shape->w,
                                (gdma_value_format_t)format, (gdma_direction_t)direction, 0, node);
}

void tensor_simple_load(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                        cmd_id_node_t *node) {
  tensor_simple_move(local, global, format, eu_align, GDMA_VALUE_DIR_S2L, shape, node);
}

void tensor_simple_save(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                        cmd_id_node_t *node) {
  tensor_simple_move(local, global, format, eu_align, GDMA_VALUE_DIR_L2S, shape, node);
}

// The strided move of a load (direction 0) or save (1), missing strides taken
// from the shape: the local side's from its start lane and alignment, the
// global side dense.
static void general_move(u32 local, u64 global, int format, int eu_align, int direction,
                         const dim4_t *shape, const dim4_t *local_stride,
                         const dim4_t *global_stride, cmd_id_node_t *node) {
  if (local_stride == NULL && global_stride == NULL) {
    tensor_simple_move(local, global, format, eu_align, direction, shape, node);
    return;
  }
  const int type_len = get_type_len(format);
  dim4_t ls, gs;
  if (local_stride) ls = *local_stride;
  else get_tensor_stride_by_shape(&ls, shape, 1, eu_align, type_len, get_local_start_lane(local));
  if (global_stride) gs = *global_stride;
  else get_tensor_stride_by_shape(&gs, shape, 0, eu_align, type_len, 0);
  const dim4_t *src = direction == GDMA_VALUE_DIR_S2L ? &gs : &ls;
  const dim4_t *dst = direction == GDMA_VALUE_DIR_S2L ? &ls : &gs;
  tensor_stride_move_gen_cmd(local, 0, global, shape->n, shape->c, shape->h, shape->w, src->n,
                             src->c, src->h, src->w, dst->n, dst->c, dst->h, dst->w,
                             (gdma_value_format_t)format, (gdma_direction_t)direction, 0, node);
}

void tensor_general_load(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                         const dim4_t *local_stride, const dim4_t *global_stride,
                         cmd_id_node_t *node) {
  general_move(local, global, format, eu_align, GDMA_VALUE_DIR_S2L, shape, local_stride,
               global_stride, node);
}

void tensor_general_save(u32 local, u64 global, int format, int eu_align, const dim4_t *shape,
                         const dim4_t *local_stride, const dim4_t *global_stride,
                         cmd_id_node_t *node) {
  general_move(local, global, format, eu_align, GDMA_VALUE_DIR_L2S, shape, local_stride,
               global_stride, node);
}

// ---- Index sequence ----


// R = A + constant over `shape`, every stride record `s`.
static void add_const(u32 A, u32 R, const dim4_t *shape, const dim4_t *s, float k,
                      cmd_id_node_t *node) {
  tensor_arith_const(TENSOR_OP_ADD, local_f32(A, *s), f32_bits(k), local_f32(R, *s), *shape, node);
}

void nodechip_serial_number_gen(u64 global, u32 local, u32 local_scratch, int to_global, int C,
                                int len, cmd_id_node_t *node) {
  ASSERT(C <= (1<<(6)));
  const u64 seq = SERIAL_NUMBER_ADDR;
  if (C * len <= SERIAL_NUMBER_LEN) {
    if (to_global)
      general_gdma_gen_cmd(seq, global, GDMA_VALUE_FORMAT_FLOAT32, C * len, GDMA_VALUE_DIR_S2S, node);
    else
      stride_load(global_view(seq, dim4(1, C, 1, len), dim4(1, len, len, 1), GDMA_VALUE_FORMAT_FLOAT32),
                  local_f32(local, dim4(1, 1, 1, 1)), node);
    return;
  }
  // 32 entries per lane: lane c holds c * 32 + j.
  const dim4_t ones = {1, 1, 1, 1};
  stride_load(global_view(seq, dim4(1, C, 1, 32), dim4(1, 32, 32, 1), GDMA_VALUE_FORMAT_FLOAT32), local_f32(local, ones),
              node);
  // Doubling: rows h .. h + m - 1 are rows 0 .. m - 1 plus h * 32.
  const int g = len / 32;
  const dim4_t rows = {1, 1, 32, 1};
  for (int h = 1; h < g;) {
    const int m = g - h < h ? g - h : h;
    const dim4_t shape = {1, C, m, 32};
    add_const(local, local + (u32)h * 128u, &shape, &rows, (float)(h * 32), node);
    h += m;
  }
  const int r = len % 32;
  if (r > 0) {
    const dim4_t shape = {1, C, 1, r};
    add_const(local, local + (u32)g * 128u, &shape, &rows, (float)(g * 32), node);
  }
  // Lane c: c * (len - 32), added to every element: c * len + i.
  const local_view_t scratch = local_f32(local_scratch, ones), seq_local = local_f32(local, ones);
  stride_load(global_view(seq, dim4(1, C, 1, 1), ones, GDMA_VALUE_FORMAT_FLOAT32), scratch, node);
  tensor_arith_const(TENSOR_OP_MUL, scratch, f32_bits((float)(len - 32)), scratch, dim4(1, C, 1, 1), node);
  tensor_arith_t add = tensor_arith_of(TENSOR_OP_ADD, operand_view(seq_local), ones, operand_view(scratch), ones,
                                       local_view_addr(seq_local), ones, dim4(1, C, 1, len));
  add.B_bcast_n = add.B_bcast_h = add.B_bcast_w = 1;
  tensor_arith_issue(add, node);
  if (to_global)
    stride_store(seq_local, global_view(global, dim4(1, C, 1, len), dim4(1, len, len, 1), GDMA_VALUE_FORMAT_FLOAT32),
                 node);
}
