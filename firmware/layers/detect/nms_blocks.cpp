// Engine NMS pieces shared by the detection layers that hold their candidates
// as field arrays.
#include "layers/detect/nms_blocks.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

static u32 LA(u32 offset) { return LOCAL_ADDR_TAG | offset; }

u64 place_local_areas(local_area_t *areas, const char *const *names, const u64 *bytes, int count) {
  u64 at = 0;
  for (int i = 0; i < count; i++) {
    areas[i].name = names[i];
    areas[i].offset = (u32)(at < 0xffffffffu ? at : 0xffffffffu);
    areas[i].bytes = (u32)(bytes[i] < 0xffffffffu ? bytes[i] : 0xffffffffu);
    at += ALIGN(bytes[i], (u64)128);
  }
  return at;
}

nms_block_step_t nms_block_step_of(const nms_block_plan_t *p, int block) {
  nms_block_step_t s = {};
  if (block < 0 || block >= p->blocks || (i64)block * p->block_rows >= p->n) return s;
  s.b0 = block * p->block_rows;
  s.rows = p->n - s.b0 < p->block_rows ? p->n - s.b0 : p->block_rows;
  s.cols = s.b0 + s.rows;
  s.cs = eu_plane((u32)s.cols);
  s.mat_bytes = 4u * s.cs * lane_rows(0, (u32)s.rows);
  s.first = block == 0;
  s.last = s.cols == p->n;
  return s;
}

float local_lane_float(int lane, u32 offset) {
  float v;
  memcpy(&v, hw_ptr(LOCAL_ADDR_TAG + (u32)lane * LOCAL_MEM_SIZE + offset, 4), 4);
  return v;
}

static u64 block_usage(nms_block_plan_t *p, int block_rows, int box_vectors, int fields, const char *const *names) {
  const u64 rows_of_lanes = (u64)ceil_div(block_rows, NPU_NUM);
  const u64 rec = 4u * (u64)eu_plane((u32)p->per_lane);
  u64 bytes[NMS_BLOCK_AREA_COUNT];
  bytes[NMS_BLOCK_AREA_BOX] = (u64)box_vectors * 4u * (u64)p->vec;
  bytes[NMS_BLOCK_AREA_MATRIX] = 4u * rows_of_lanes * 4u * (u64)p->vec;
  bytes[NMS_BLOCK_AREA_KEEP] = rows_of_lanes * 4u * EU_NUM;
  bytes[NMS_BLOCK_AREA_FIELDS] = (u64)fields * rec;
  bytes[NMS_BLOCK_AREA_MASK] = (u64)fields * rec;
  return place_local_areas(p->areas, names, bytes, NMS_BLOCK_AREA_COUNT);
}

void nms_block_plan_of(nms_block_plan_t *p, int n, int box_vectors, int fields, const char *const *names) {
  memset(p, 0, sizeof(*p));
  p->n = n;
  p->vec = (int)eu_plane((u32)n);
  p->lanes = n < NPU_NUM ? n : NPU_NUM;
  p->per_lane = (int)ceil_div(n, p->lanes > 0 ? p->lanes : 1);
  // More blocks until the matrices fit; a block's rows stay a multiple of 64
  // (vector operands start on 128 bytes) and within a command's channels.
  int blocks = 1, rows = n;
  for (;;) {
    rows = (int)ceil_div(n, blocks);
    if (blocks > 1 || rows > 4032) rows = (int)align_up(rows, NPU_NUM);
    if (rows > 4032) rows = 4032;
    if (rows <= NPU_NUM || block_usage(p, rows, box_vectors, fields, names) <= LOCAL_MEM_SIZE) break;
    blocks++;
  }
  p->block_rows = rows > 0 ? rows : 1;
  p->blocks = (int)ceil_div(n, p->block_rows);
  p->local_mem_usage = block_usage(p, p->block_rows, box_vectors, fields, names);
}

void nms_block_intersection(u32 box, u32 vec_bytes, u32 mat, u32 mat_bytes, int b0, int rows, int cols,
                            int inclusive, cmd_id_node_t *node) {
  static const vec_corr_op_t ops[4] = {VEC_CORR_MAX, VEC_CORR_MAX, VEC_CORR_MIN, VEC_CORR_MIN};
  for (u32 k = 0; k < 4; k++)
    atomic_vec_correlation_gen_cmd(LA(box + k * vec_bytes + 4u * (u32)b0), LA(box + k * vec_bytes),
                                   LA(mat + k * mat_bytes), 1, rows, cols, rows, cols, ops[k], node);
  // Overlap widths and heights (matrices 2, 3), clamped at 0 into 0, 1.
  atomic_mdscalar_operation_gen_cmd(LA(mat + 2 * mat_bytes), LA(mat), LA(mat + 2 * mat_bytes), 2, rows, 1, cols,
                                    MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  if (inclusive)
    atomic_mdscalar_operation_gen_cmd(LA(mat + 2 * mat_bytes), 0, LA(mat + 2 * mat_bytes), 2, rows, 1, cols,
                                      MD_SCALAR_ADD, 0, 0, 1, 0, f32_bits(1.0f), node);
  atomic_md_cmp_gen_cmd(LA(mat + 2 * mat_bytes), 0, 0, 0, LA(mat), 0, 2, rows, 1, cols, 0, 1, 1, 1, 0, 0, 0, 0, 1,
                        node);
  atomic_mdscalar_operation_gen_cmd(LA(mat), LA(mat + mat_bytes), LA(mat), 1, rows, 1, cols, MD_SCALAR_MUL, 0, 0, 0,
                                    0, 0, node);
}

void nms_block_divide_by_union(u32 area, u32 mat, u32 mat_bytes, int b0, int rows, int cols, cmd_id_node_t *node) {
  // Union = area_r + area_j - intersection; IoU into matrix 0.
  atomic_vec_correlation_gen_cmd(LA(area + 4u * (u32)b0), LA(area), LA(mat + mat_bytes), 1, rows, cols, rows, cols,
                                 VEC_CORR_ADD, node);
  atomic_mdscalar_operation_gen_cmd(LA(mat + mat_bytes), LA(mat), LA(mat + mat_bytes), 1, rows, 1, cols,
                                    MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(mat), LA(mat + mat_bytes), LA(mat), 1, rows, 1, cols, MD_SCALAR_DIV, 0, 0, 0,
                                    0, 0, node);
}

// Column j of K as a per-channel operand: entry (r, j) is in channel r.
static dim4_t column_stride(u32 cs, int rows) {
  const dim4_t st = {(int)(cs * lane_rows(0, (u32)rows)), (int)cs, 1, 1};
  return st;
}

void nms_block_apply_kept(u32 keep, u32 K, u32 cs, int rows, u64 kept_list, i64 kept, cmd_id_node_t *node) {
  const dim4_t col_st = column_stride(cs, rows), dflt = {-1, 0, 0, 0}, all = {1, rows, 1, 1};
  const u8 *kl = (const u8 *)hw_ptr((u32)kept_list, (u32)(4u * (u64)(kept > 0 ? kept : 1)));
  for (i64 t = 0; t < kept; t++) {
    i32 j;
    memcpy(&j, kl + 4 * t, 4);
    atomic_tensor_arithmetic_gen_cmd(LA(keep), LA(K + 4u * (u32)j), LA(keep), &all, 0, 0, 0, &dflt, &col_st, &dflt,
                                     TENSOR_OP_MIN, 0, 0, 0, 0, 0, 0, node);
  }
}

void nms_block_suppress_later(u32 keep, u32 K, u32 cs, int rows, int r, int i, cmd_id_node_t *node) {
  const dim4_t col_st = column_stride(cs, rows), dflt = {-1, 0, 0, 0}, later = {1, rows - r - 1, 1, 1};
  const u32 k_at = get_addr_by_featuremap_shift(LA(keep), r + 1, 4 * EU_NUM);
  const u32 c_at = get_addr_by_featuremap_shift(LA(K + 4u * (u32)i), r + 1, (int)(4 * cs));
  atomic_tensor_arithmetic_gen_cmd(k_at, c_at, k_at, &later, 0, 0, 0, &dflt, &col_st, &dflt, TENSOR_OP_MIN, 0, 0, 0,
                                   0, 0, 0, node);
}

void nms_block_store_flags(u32 keep, u64 flags, int b0, int rows, cmd_id_node_t *node) {
  tensor_general_move_gen_cmd(keep, 0, 1, rows, 1, 1, EU_NUM, EU_NUM, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              flags + 4u * (u64)b0, 0, 1, rows, 1, 1, rows, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_L2S, 0, node);
}

i64 nms_block_compact(const nms_block_plan_t *p, u32 base, u64 rec, i64 S, u64 flags, int fields, u64 out,
                      cmd_id_node_t *node) {
  const u32 recs = base + p->areas[NMS_BLOCK_AREA_FIELDS].offset, mask = base + p->areas[NMS_BLOCK_AREA_MASK].offset;
  const int L = p->lanes, a = p->per_lane, RA = (int)eu_plane((u32)a), F = fields;
  tensor_general_move_gen_cmd(rec, 0, F, L, 1, a, (int)S, a, a, 1, GDMA_VALUE_FORMAT_FLOAT32, recs, 0, F, L, 1, a, RA,
                              RA, a, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_general_move_gen_cmd(flags, 0, F, L, 1, a, 0, a, a, 1, GDMA_VALUE_FORMAT_FLOAT32, mask, 0, F, L, 1, a, RA, RA,
                              a, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_general_move_with_mask_gen_cmd(recs, 0, mask, out, F, L, 1, a, GDMA_VALUE_DIR_L2S, node);
  return get_gdma_filter_res_num_gen_cmd(node) / F;
}

int nms_block_row_kept(u32 keep, int r, cmd_id_node_t *node) {
  poll_all_engine_done(node);
  return local_lane_float(r % NPU_NUM, keep + (u32)(r / NPU_NUM) * 4u * EU_NUM) != 0.0f;
}
