// Vectorised NMS and soft-NMS: CDMA sort, GDE gather, pairwise IoU on the
// tensor engine, greedy keep loop on the ARM.
#include "layers/detect/nms.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/bd_arith.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// The sort's L2 staging must end below the engines' lookup tables.
#define EX_INT_TABLE_OFFSET 0x300000u
#define MAX_NPU_LOCAL_MEM_ADDR NMS_LOCAL_BYTES

i32 nms_vec_face_demo_mode;

// Pass state of the keep loop: the suppression flags of all boxes (one byte
// each: the image's zero-initialised data is tight), the last box handled and
// the box number of the current batch's first row.
static u8 last_temp_mask[NMS_MAX_PROPOSALS];
static i32 last_view_index;
static i32 has_view_len;
// Working flags of one keep pass (kept off the stack).
static u8 view_mask[NMS_MAX_PROPOSALS];
// The row of the suppression matrix being read (DTCM, P floats).
static const u8 *row_ptr;


static i64 min64(i64 a, i64 b) { return a < b ? a : b; }

// ---- Planning ----

int nms_local_batch_limit(int L) {
  const i64 per_block = L < 32 ? L : 32;
  const i64 o = ceil_div(ceil_div(L, per_block), 64);
  i64 E = (8376512 - 12288 * o) / (14336 * o + 6);
  if (E != L) E &= ~(i64)31;
  while (E > 0 && E * 896 * o + 768 * ceil_div(ceil_div(E, 32), 64) >= 524288 - 768 * o) E -= 32;
  return (int)E;
}

int nodechip_get_max_process_size(int L) {
  const int B_local = nms_local_batch_limit(L);
  const i64 proposal_size = L;
  // A double, so that the difference keeps its sign.
  const double dtcm_reserved_size = NMS_DTCM_RESERVED;
  ASSERT((dtcm_reserved_size - sizeof(nms_data_type_t) * proposal_size * 5 - sizeof(nms_proposal_t)) > 0,
         "proposal size exceeds the limitation\r");
  i64 B_dtcm = (NMS_DTCM_ROWS_BUDGET - 20 * proposal_size) / (128 * ceil_div(proposal_size, 32));
  if (B_dtcm != L) B_dtcm &= ~(i64)31;
  return (int)min64(min64(L, B_local), B_dtcm);
}

void nms_local_plan_of(nms_local_plan_t *p, int P, int B, int soft) {
  memset(p, 0, sizeof *p);
  p->AP = 4u * (u32)ALIGN(P, 32);
  p->BP = 4u * (u32)ALIGN(B, 32);
  p->M = (u32)ceil_div(B, NPU_NUM) * p->AP;
  p->all = 0;
  p->local_xy_loop = 4 * p->AP;
  p->xy = p->local_xy_loop + 4 * p->BP;
  p->wh = p->xy + 2 * p->M;
  p->xy_tmp = p->wh + 2 * p->M;
  p->local_area = p->xy_tmp + 2 * p->M;
  p->local_area_loop = p->local_area + 4 * p->AP;
  p->local_mask_merge = p->local_area_loop + 4 * p->BP;
  p->local_area_temp = p->local_mask_merge + p->M;
  p->local_mask_merge_tmp = p->local_area_temp + p->M;
  p->end = p->local_mask_merge_tmp + p->M;
  const local_area_t a[NMS_AREA_COUNT] = {
      {"all boxes", p->all, 4 * p->AP},
      {"local_xy_loop", p->local_xy_loop, 4 * p->BP},
      {"xy", p->xy, 2 * p->M},
      {"wh", p->wh, 2 * p->M},
      {"xy_tmp", p->xy_tmp, 2 * p->M},
      {"local_area", p->local_area, 3 * p->AP},
      {"local_area_loop", p->local_area_loop, 3 * p->BP},
      {soft ? "local_overlap" : "local_mask_merge", p->local_mask_merge, p->M},
      {"local_area_temp", p->local_area_temp, p->M},
      {soft ? "local_weighting_res" : "local_mask_merge_tmp", p->local_mask_merge_tmp, p->M},
  };
  memcpy(p->areas, a, sizeof a);
}

// The region checks, in the order of the layout.
static void check_local_plan(const nms_local_plan_t *p, int soft) {
  const u64 local_xy_loop = p->local_xy_loop, local_xy_data_loop_offset = p->BP;
  const u64 xy = p->xy, xy_data_offset = p->M, wh = p->wh, wh_data_offset = p->M, xy_tmp = p->xy_tmp;
  const u64 local_area = p->local_area, local_area_offset = 2u * p->AP;
  const u64 local_area_loop = p->local_area_loop, local_area_loop_offset = 2u * p->BP;
  ASSERT_FS((local_xy_loop + local_xy_data_loop_offset * 4) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  ASSERT_FS((xy + xy_data_offset * 2) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  ASSERT_FS((wh + wh_data_offset * 2) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  ASSERT_FS((xy_tmp + xy_data_offset * 2) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  ASSERT_FS((local_area + local_area_offset * 2) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  ASSERT_FS((local_area_loop + local_area_loop_offset * 2) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  if (!soft) {
    const u64 local_mask_merge = p->local_mask_merge, local_mask_merge_offset = p->M;
    const u64 local_area_temp = p->local_area_temp, local_area_temp_offset = p->M;
    const u64 local_mask_merge_tmp = p->local_mask_merge_tmp;
    ASSERT_FS((local_mask_merge + local_mask_merge_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
    ASSERT_FS((local_area_temp + local_area_temp_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
    ASSERT_FS((local_mask_merge_tmp + local_mask_merge_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  } else {
    const u64 local_overlap = p->local_mask_merge, local_overlap_offset = p->M;
    const u64 local_area_temp = p->local_area_temp, local_area_temp_offset = p->M;
    const u64 local_weighting_res = p->local_mask_merge_tmp, local_weighting_res_offset = p->M;
    ASSERT_FS((local_overlap + local_overlap_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
    ASSERT_FS((local_area_temp + local_area_temp_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
    ASSERT_FS((local_weighting_res + local_weighting_res_offset) < MAX_NPU_LOCAL_MEM_ADDR, "data too large\r");
  }
}

// ---- Engine steps ----

// n face_rect_t rows from `list` (global, L2 or DTCM; 5 floats a row) to four
// coordinate vectors in lane 0 at `offset`, plane_bytes apart.
static void move_prop_to_local_mem_vec(u64 list, u32 offset, int n, u32 plane_bytes, cmd_id_node_t *node) {
  const int ps = (int)(plane_bytes / 4);
  tensor_general_move_gen_cmd(list, 0, 4, 1, 1, n, 1, 5 * n, 5 * n, 5, GDMA_VALUE_FORMAT_FLOAT32, offset, 0, 4, 1,
                              1, n, ps, ps, n, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

typedef struct {
  const nms_local_plan_t *p;
  int P, B;
  int inclusive;  // 1: widths x2 - x1 + 1
} nms_pass_t;

static u32 LA(u32 offset) { return LOCAL_ADDR_TAG | offset; }

// Pairwise max(x1), max(y1) of the batch against all boxes.
static void caculate_xy_vec(const nms_pass_t *s, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  for (u32 k = 0; k < 2; k++)
    atomic_vec_correlation_gen_cmd(LA(p->local_xy_loop + k * p->BP), LA(p->all + k * p->AP), LA(p->xy + k * p->M), 1,
                                   s->B, s->P, s->B, s->P, VEC_CORR_MAX, node);
}

// Pairwise overlap width and height, clamped at 0.
static void caculate_wh_vec(const nms_pass_t *s, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  for (u32 k = 0; k < 2; k++)
    atomic_vec_correlation_gen_cmd(LA(p->local_xy_loop + (2 + k) * p->BP), LA(p->all + (2 + k) * p->AP),
                                   LA(p->wh + k * p->M), 1, s->B, s->P, s->B, s->P, VEC_CORR_MIN, node);
  // Both planes at once: the default layout puts plane 1 one batch item on.
  atomic_mdscalar_operation_gen_cmd(LA(p->wh), LA(p->xy), LA(p->wh), 2, s->B, 1, s->P, MD_SCALAR_SUB, 0, 0, 0, 0, 0,
                                    node);
  if (s->inclusive)
    atomic_mdscalar_operation_gen_cmd(LA(p->wh), 0, LA(p->wh), 2, s->B, 1, s->P, MD_SCALAR_ADD, 0, 0, 1, 0,
                                      f32_bits(1.0f), node);
  atomic_md_cmp_gen_cmd(LA(p->wh), 0, 0, 0, LA(p->xy_tmp), LA(p->xy), 2, s->B, 1, s->P, 0, 1, 1, 1, 0, 0,
                        f32_bits(1.0f), 0, 3, node);
  atomic_mdscalar_operation_gen_cmd(LA(p->wh), LA(p->xy), LA(p->wh), 2, s->B, 1, s->P, MD_SCALAR_MUL, 0, 0, 0, 0, 0,
                                    node);
}

static void caculate_area_intersec_vec(const nms_pass_t *s, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  atomic_mdscalar_operation_gen_cmd(LA(p->wh), LA(p->wh + p->M), LA(p->wh), 1, s->B, 1, s->P, MD_SCALAR_MUL, 0, 0, 0,
                                    0, 0, node);
}

// Width, height and area of n boxes whose planes start at `boxes`,
// plane_bytes apart, into the three planes at `area`.
static void caculate_area_vec(u32 boxes, u32 area, u32 plane_bytes, int n, int inclusive, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(LA(boxes + 2 * plane_bytes), LA(boxes), LA(area), 2, 1, 1, n, MD_SCALAR_SUB, 0, 0,
                                    0, 0, 0, node);
  if (inclusive)
    atomic_mdscalar_operation_gen_cmd(LA(area), 0, LA(area), 2, 1, 1, n, MD_SCALAR_ADD, 0, 0, 1, 0, f32_bits(1.0f),
                                      node);
  atomic_mdscalar_operation_gen_cmd(LA(area), LA(area + plane_bytes), LA(area + 2 * plane_bytes), 1, 1, 1, n,
                                    MD_SCALAR_MUL, 0, 0, 0, 0, 0, node);
}

// Union and IoU into `iou`: area sum in local_area_temp, union in place there.
static void caculate_iou_vec(const nms_pass_t *s, u32 iou, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  atomic_vec_correlation_gen_cmd(LA(p->local_area_loop + 2 * p->BP), LA(p->local_area + 2 * p->AP),
                                 LA(p->local_area_temp), 1, s->B, s->P, s->B, s->P, VEC_CORR_ADD, node);
  atomic_mdscalar_operation_gen_cmd(LA(p->local_area_temp), LA(p->wh), LA(p->local_area_temp), 1, s->B, 1, s->P,
                                    MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
  atomic_mdscalar_operation_gen_cmd(LA(p->wh), LA(p->local_area_temp), LA(iou), 1, s->B, 1, s->P, MD_SCALAR_DIV, 0, 0,
                                    0, 0, 0, node);
}

// The 0/1 suppression matrix: 1.0 where the IoU is above the threshold.
static void caculate_mask_merge_vec(const nms_pass_t *s, float thr, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  // The IoU goes to xy (free by now); the matrix to local_mask_merge.
  caculate_iou_vec(s, p->xy, node);
  atomic_md_cmp_gen_cmd(LA(p->xy), f32_bits(thr), 0, 0, LA(p->local_mask_merge_tmp), LA(p->local_mask_merge), 1, s->B,
                        1, s->P, 0, 1, 1, 1, 0, f32_bits(thr), f32_bits(1.0f), 0, 3, node);
}

// The B x P matrix at local offset `from` to rows of P floats at `dst`.
static void move_mask_merge_to_dtcm_vec(u32 from, u64 dst, int B, int P, cmd_id_node_t *node) {
  const int cs = ALIGN(P, 32);
  const int ns = (int)ceil_div(B, NPU_NUM) * cs;
  tensor_general_move_gen_cmd(from, 0, 1, B, 1, P, ns, cs, P, 1, GDMA_VALUE_FORMAT_FLOAT32, dst, 0, 1, B, 1, P,
                              B * P, P, P, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

// Issues the pairwise work of one batch (rows first .. first + B - 1 of the
// list) up to the IoU matrix.
static void pass_overlap(const nms_pass_t *s, u64 list, int first, cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  move_prop_to_local_mem_vec(list + 20u * (u64)first, p->local_xy_loop, s->B, p->BP, node);
  caculate_xy_vec(s, node);
  caculate_wh_vec(s, node);
  caculate_area_intersec_vec(s, node);
  caculate_area_vec(p->local_xy_loop, p->local_area_loop, p->BP, s->B, s->inclusive, node);
}

// ---- Sort ----

typedef struct {
  u64 bbox_input_addr, score_input_addr, bbox_output_addr, score_output_addr, dst_index_addr;
} nms_sort_areas_t;

static void nodechip_nms_sort(u64 input, u64 sorted, int index_flag, u64 bbox_addr, u64 score_addr, u64 sorted_index,
                              int box_num_, int P, cmd_id_node_t *node) {
  const u64 box_num = (u64)box_num_;
  nms_sort_areas_t a;
  a.bbox_input_addr = NMS_L2_SCRATCH_START;
  a.score_input_addr = ALIGN(a.bbox_input_addr + box_num * 16, (u64)512);
  a.bbox_output_addr = ALIGN(a.score_input_addr + box_num * 4, (u64)512);
  a.score_output_addr = ALIGN(a.bbox_output_addr + box_num * 16, (u64)512);
  a.dst_index_addr = ALIGN(a.score_output_addr + box_num * 4, (u64)512);
  const u64 bbox_input_addr = a.bbox_input_addr, score_input_addr = a.score_input_addr;
  const u64 bbox_output_addr = a.bbox_output_addr, score_output_addr = a.score_output_addr;
  const u64 dst_index_addr = a.dst_index_addr;
  ASSERT_FS((bbox_input_addr + box_num * 4 * 4) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET, "data too large\r");
  ASSERT_FS((score_input_addr + box_num * 4) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET, "data too large\r");
  ASSERT_FS((bbox_output_addr + box_num * 4 * 4) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET, "data too large\r");
  ASSERT_FS((score_output_addr + box_num * 4) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET, "data too large\r");
  ASSERT_FS((dst_index_addr + box_num * 4) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET, "data too large\r");
  const int n = box_num_;
  if (!index_flag) {
    tensor_general_move_gen_cmd(input, 0, 1, 1, n, 4, 5 * n, 5 * n, 5, 1, GDMA_VALUE_FORMAT_FLOAT32, bbox_input_addr,
                                0, 1, 1, n, 4, 4 * n, 4 * n, 4, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0,
                                node);
    tensor_general_move_gen_cmd(input + 16, 0, 1, 1, n, 1, 5 * n, 5 * n, 5, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                score_input_addr, 0, 1, 1, n, 1, n, n, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2S, 0, node);
  } else {
    general_gdma_gen_cmd(bbox_addr, bbox_input_addr, GDMA_VALUE_FORMAT_FLOAT32, 4 * n, GDMA_VALUE_DIR_S2S, node);
    general_gdma_gen_cmd(score_addr, score_input_addr, GDMA_VALUE_FORMAT_FLOAT32, n, GDMA_VALUE_DIR_S2S, node);
  }
  poll_all_engine_done(node);
  cdma_sort_move_cmd(score_input_addr, score_output_addr, (u32)n, SORT_ORDER_DESCEND, 1, 1, 0, dst_index_addr, (u32)P);
  if (index_flag) {
    general_gdma_gen_cmd(dst_index_addr, sorted_index, GDMA_VALUE_FORMAT_FLOAT32, P, GDMA_VALUE_DIR_S2S, node);
    poll_all_engine_done(node);
  }
  gde_gather_data_gen_cmd(1, (u32)bbox_input_addr, (u32)dst_index_addr, (u32)P, GDE_TYPE_128BITS,
                          (u32)bbox_output_addr);
  tensor_general_move_gen_cmd(bbox_output_addr, 0, 1, 1, P, 4, 4 * P, 4 * P, 4, 1, GDMA_VALUE_FORMAT_FLOAT32, sorted,
                              0, 1, 1, P, 4, 5 * P, 5 * P, 5, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0,
                              node);
  tensor_general_move_gen_cmd(score_output_addr, 0, 1, 1, P, 1, P, P, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, sorted + 16, 0,
                              1, 1, P, 1, 5 * P, 5 * P, 5, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
  poll_all_engine_done(node);
}

// ---- Keep loops (ARM) ----

static void read_row(u64 rows, int r, int P) {
  row_ptr = (const u8 *)hw_ptr((u32)(rows + 4u * (u64)r * (u64)P), 4u * (u32)P);
}

// The integer value (truncated) of column q of the current row.
static u8 row_flag(int q) {
  float v;
  memcpy(&v, row_ptr + 4 * q, 4);
  return (i32)v != 0;
}

static void read_rect(u64 list, int k, face_rect_t *out) {
  memcpy(out, hw_ptr((u32)(list + 20u * (u64)k), 20), 20);
}

typedef struct {
  i32 size;
  i32 capacity;
} nms_block_head_t;

static void read_head(u64 block, nms_block_head_t *h) { memcpy(h, hw_ptr((u32)block, 8), 8); }
static void write_head(u64 block, const nms_block_head_t *h) { memcpy(hw_ptr((u32)block, 8), h, 8); }
static void write_block_row(u64 block, int at, const face_rect_t *r) {
  memcpy(hw_ptr((u32)(block + 8u + 20u * (u64)at), 20), r, 20);
}

typedef struct {
  u64 rows, list, block;
  int index_flag;
  u64 output_index, sorted_index;
  i32 *count;
  int P, B, first_pass;
  int max_count;  // index mode: the kept count never passes it
} keep_args_t;

static void keep_one(const keep_args_t *a, int g, nms_block_head_t *head) {
  if (a->index_flag) {
    i32 idx;
    memcpy(&idx, hw_ptr((u32)(a->sorted_index + 4u * (u64)g), 4), 4);
    memcpy(hw_ptr((u32)(a->output_index + 4u * (u64)*a->count), 4), &idx, 4);
    (*a->count)++;
  } else {
    face_rect_t r;
    read_rect(a->list, g, &r);
    write_block_row(a->block, head->size, &r);
    head->size++;
  }
}

static void or_row(int from, int P) {
  for (int q = from; q < P; q++) view_mask[q] |= row_flag(q);
}

static void get_output_proposal(const keep_args_t *a, cmd_id_node_t *node) {
  const int P = a->P;
  memset(view_mask, 0, sizeof view_mask);
  nms_block_head_t head = {0, 0};
  if (!a->index_flag) read_head(a->block, &head);
  if (a->first_pass) {
    last_view_index = 0;
    has_view_len = 0;
    if (a->index_flag) {
      *a->count = 0;
    } else {
      head.size = 0;
      head.capacity = NMS_MAX_PROPOSALS;
    }
    keep_one(a, 0, &head);
    read_row(a->rows, 0, P);
    or_row(0, P);
  } else {
    has_view_len = last_view_index + 1;
    memcpy(view_mask, last_temp_mask, sizeof view_mask);
  }
  const int batch_end = has_view_len + a->B;
  for (int g = last_view_index + 1; g < P && g < batch_end; g++) {
    if (view_mask[g]) continue;
    if (a->index_flag && *a->count >= a->max_count) break;
    keep_one(a, g, &head);
    read_row(a->rows, g - has_view_len, P);
    or_row(g + 1, P);
  }
  memcpy(last_temp_mask, view_mask, sizeof view_mask);
  last_view_index += a->first_pass ? a->B - 1 : a->B;
  poll_all_engine_done(node);
  if (!a->index_flag) {
    nms_block_head_t *output_proposal_dtcm_val = &head;
    ASSERT_FS(output_proposal_dtcm_val->size <= output_proposal_dtcm_val->capacity,
              "exceeds m_proposals capacity!!!\r");
    write_head(a->block, &head);
  }
}

// Face-demo keep: all P rows at once, appended to the caller's block.
static void nodechip_cv_get_output_proposal(u64 rows, u64 list, u64 block, int P) {
  nms_block_head_t head;
  read_head(block, &head);
  ASSERT_FS(head.size >= 0);
  // The block holds NMS_MAX_PROPOSALS rows whatever its capacity field says.
  if (head.capacity > NMS_MAX_PROPOSALS || head.capacity < 0) head.capacity = NMS_MAX_PROPOSALS;
  nms_block_head_t *output_proposal_dtcm_val = &head;
  read_row(rows, 0, P);
  for (int q = 0; q < P; q++) view_mask[q] = row_flag(q);
  for (int j = 0; j < P; j++) {
    if (j > 0 && view_mask[j]) continue;
    ASSERT_FS(output_proposal_dtcm_val->size < output_proposal_dtcm_val->capacity,
              "exceeds m_proposals capacity!!!\r");
    face_rect_t r;
    read_rect(list, j, &r);
    write_block_row(block, head.size, &r);
    head.size++;
    write_head(block, &head);
    if (j > 0) {
      read_row(rows, j, P);
      or_row(j + 1, P);
    }
  }
  ASSERT_FS(output_proposal_dtcm_val->size < output_proposal_dtcm_val->capacity,
            "exceeds m_proposals capacity!!!\r");
}

// ---- The engine ----

static u64 dtcm_window_end(void) { return (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE; }

// Moves the cursor past [start, start + bytes) when it lies inside that range.
static void cursor_past(u64 start, u64 bytes) {
  if (cv_cur_dtcm_addr >= start && cv_cur_dtcm_addr < start + bytes) cv_cur_dtcm_addr = start + bytes;
}

int nodechip_cv_nms_vec_common(u64 input_proposal, u64 sorted_proposal, u64 proposal_list, int box_num,
                               int proposal_size, float nms_threshold, u64 output_proposal, u8 index_flag,
                               int plan_count, u64 bbox_addr, u64 score_addr, u64 output_index,
                               u64 sorted_index, i32 *count, cmd_id_node_t *node) {
  if (proposal_size <= 0) {
    if (index_flag && count) *count = 0;
    return 0;
  }
  ASSERT_FS(proposal_size <= (1024));
  const int P = proposal_size;
  const int face_demo = !index_flag && nms_vec_face_demo_mode == 1;
  u64 list = proposal_list;
  if (!face_demo) {
    ASSERT_FS(box_num >= proposal_size);
    if (!index_flag) cv_cur_dtcm_addr += 20u * (u64)box_num;
    nodechip_nms_sort(input_proposal, sorted_proposal, index_flag, bbox_addr, score_addr, sorted_index, box_num, P,
                      node);
    list = sorted_proposal;
  } else {
    // The suppression rows must not land on the caller's list or block.
    cursor_past(proposal_list, 20u * (u64)P);
    cursor_past(output_proposal, sizeof(nms_proposal_t));
    cursor_past(proposal_list, 20u * (u64)P);
  }
  // Index mode: the output count may exceed the boxes; the rows never do.
  int L_plan = plan_count;
  if (index_flag && L_plan > P) L_plan = P;
  int batch = nodechip_get_max_process_size(L_plan);
  // Every DTCM array stays inside the window: the batch shrinks to the rows
  // that fit behind the cursor with room for the output block.
  const u64 row_bytes = 4u * (u64)ALIGN(P, 32);
  const u64 end = dtcm_window_end();
  const u64 room = cv_cur_dtcm_addr + sizeof(nms_proposal_t) < end ? end - cv_cur_dtcm_addr - sizeof(nms_proposal_t) : 0;
  i64 rows_fit = (i64)(room / row_bytes);
  if (rows_fit < P) rows_fit &= ~(i64)31;
  if (batch > rows_fit) batch = (int)rows_fit;
  ASSERT_FS(batch > 0, "the suppression rows do not fit in DTCM\r");
  // The face-demo keep reads the whole matrix: one pass only.
  if (face_demo) ASSERT_FS(batch >= proposal_size, "face-demo NMS takes at most %d proposals\r", batch);

  nms_local_plan_t plan_all;
  nms_local_plan_of(&plan_all, P, 1, 0);
  move_prop_to_local_mem_vec(list, plan_all.all, P, plan_all.AP, node);

  u64 rows = 0, block = face_demo ? output_proposal : 0;
  int remaining = P;
  int first = 1;
  while (remaining > 0) {
    const int B = batch < remaining ? batch : remaining;
    const int start = P - remaining;
    nms_local_plan_t plan;
    nms_local_plan_of(&plan, P, B, 0);
    check_local_plan(&plan, 0);
    const nms_pass_t s = {&plan, P, B, !index_flag};
    pass_overlap(&s, list, start, node);
    // The regions move with the batch: the areas of all boxes are redone per pass.
    caculate_area_vec(plan.all, plan.local_area, plan.AP, P, s.inclusive, node);
    caculate_mask_merge_vec(&s, nms_threshold, node);
    if (first) {
      rows = cv_cur_dtcm_addr;
      cv_cur_dtcm_addr += row_bytes * (u64)batch;
    }
    move_mask_merge_to_dtcm_vec(plan.local_mask_merge, rows, B, P, node);
    poll_all_engine_done(node);
    if (first && !face_demo) {
      block = cv_cur_dtcm_addr;
      cv_cur_dtcm_addr += sizeof(nms_proposal_t);
    }
    if (face_demo) {
      nodechip_cv_get_output_proposal(rows, list, block, P);
    } else {
      const keep_args_t a = {rows, list, block, index_flag, output_index, sorted_index, count, P, B, first,
                             plan_count};
      get_output_proposal(&a, node);
      if (index_flag && count && *count >= plan_count) return 0;
      if (!index_flag && B >= remaining) pack_info_to_dtcm(block, output_proposal, sizeof(nms_proposal_t), node);
    }
    remaining -= B;
    first = 0;
  }
  return 0;
}

int nodechip_cv_nms_vec(u64 input_proposal, u64 sorted_proposal, u64 proposal_list, u32 proposal_size,
                        float nms_threshold, u64 output_proposal, cmd_id_node_t *node) {
  // A count beyond i32 is refused as too many proposals.
  const int P = proposal_size > 0x7fffffffu ? 0x7fffffff : (int)proposal_size;
  return nodechip_cv_nms_vec_common(input_proposal, sorted_proposal, proposal_list, P, P, nms_threshold,
                                    output_proposal, 0, P, 0, 0, 0, 0, NULL, node);
}

// ---- Soft-NMS ----

static void nodechip_soft_nms_caculate_overlap(const nms_pass_t *s, u32 weighting_method, float sigma,
                                               cmd_id_node_t *node) {
  const nms_local_plan_t *p = s->p;
  const u32 local_overlap = p->local_mask_merge, local_weighting_res = p->local_mask_merge_tmp;
  caculate_iou_vec(s, local_overlap, node);
  if (weighting_method == 0) {
    atomic_mdscalar_operation_gen_cmd(0, LA(local_overlap), LA(local_weighting_res), 1, s->B, 1, s->P, MD_SCALAR_SUB,
                                      0, 1, 0, f32_bits(1.0f), 0, node);
  } else if (weighting_method == 1) {
    atomic_mdscalar_operation_gen_cmd(LA(local_overlap), LA(local_overlap), LA(local_weighting_res), 1, s->B, 1, s->P,
                                      MD_SCALAR_MUL, 0, 0, 0, 0, 0, node);
    atomic_mdscalar_operation_gen_cmd(LA(local_weighting_res), 0, LA(local_weighting_res), 1, s->B, 1, s->P,
                                      MD_SCALAR_DIV, 0, 0, 1, 0, f32_bits(-sigma), node);
    tensor_ex(LA(local_weighting_res), LA(p->wh), EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
              EX_EXPM1_COEFF, 1, s->B, 1, s->P, node);
  } else {
    ASSERT(0, "weighting_method error \r");
  }
}

int nodechip_cv_soft_nms_vec(u64 input_proposal, u32 proposal_size_, u32 weighting_method, float sigma,
                             u64 overlap_addr, u64 weighting_addr, cmd_id_node_t *node) {
  const i64 proposal_size = proposal_size_ > 0x7fffffffu ? 0x7fffffff : (i64)proposal_size_;
  if (proposal_size <= 0) return 0;
  ASSERT_FS(proposal_size <= (1024));
  const int P = (int)proposal_size;
  const int batch = nms_local_batch_limit(P) < P ? nms_local_batch_limit(P) : P;
  nms_local_plan_t plan_all;
  nms_local_plan_of(&plan_all, P, 1, 1);
  move_prop_to_local_mem_vec(input_proposal, plan_all.all, P, plan_all.AP, node);
  for (int remaining = P; remaining > 0;) {
    const int B = batch < remaining ? batch : remaining;
    const int start = P - remaining;
    nms_local_plan_t plan;
    nms_local_plan_of(&plan, P, B, 1);
    check_local_plan(&plan, 1);
    const nms_pass_t s = {&plan, P, B, 1};
    pass_overlap(&s, input_proposal, start, node);
    caculate_area_vec(plan.all, plan.local_area, plan.AP, P, 1, node);
    nodechip_soft_nms_caculate_overlap(&s, weighting_method, sigma, node);
    const u64 at = 4u * (u64)start * (u64)P;
    move_mask_merge_to_dtcm_vec(plan.local_mask_merge, overlap_addr + at, B, P, node);
    move_mask_merge_to_dtcm_vec(plan.local_mask_merge_tmp, weighting_addr + at, B, P, node);
    remaining -= B;
  }
  return 0;
}

// ---- NMS on box and score arrays ----

void nodechip_nms_v2(u64 bbox_addr, u64 score_addr, u64 output_addr, u64 unused_addr, u32 box_num_,
                     u32 max_output_size, i32 *count, float iou_threshold, float score_threshold,
                     cmd_id_node_t *node) {
  (void)unused_addr;
  i32 own_count = 0;
  i32 *cnt = count ? count : &own_count;
  // Nothing to keep: no boxes, or no room for any (the batch is planned from
  // the output count).
  if (box_num_ == 0 || max_output_size == 0) {
    *cnt = 0;
    return;
  }
  ASSERT(box_num_ <= 0x7fffffffu && max_output_size <= 0x7fffffffu);
  const int box_num = (int)box_num_;
  int m = box_num;
  if (score_threshold >= 0) {
    const u64 o = ceil_div_u64((u64)box_num, NPU_NUM);
    const u64 mask_local = 128u * o, tensor_size = 128u * o;
    ASSERT(mask_local + tensor_size <= (1<<19));
    tensor_general_move_gen_cmd(score_addr, 0, 1, box_num, 1, 1, box_num, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, 0, 0,
                                1, box_num, 1, 1, (int)(32 * o), 32, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
    const dim4_t shape = {1, box_num, 1, 1};
    const dim4_t dflt = {-1, 0, 0, 0};
    atomic_tensor_arithmetic_issue_select_gen_cmd(LA(0), 0, LA((u32)mask_local), &shape, 0, 0, 0, &dflt, &dflt, &dflt,
                                                  TENSOR_OP_CMP_ASSIGN, 0, 0, 0, 1, f32_bits(score_threshold),
                                                  f32_bits(1.0f), 0, node);
    // The passed scores only serve to count; they go to L2 scratch, not to
    // the output (which is sized for the kept indices).
    tensor_general_move_with_mask_gen_cmd(0, 0, mask_local, NMS_L2_SCRATCH_START, 1, box_num, 1, 1,
                                          GDMA_VALUE_DIR_L2S, node);
    m = get_gdma_filter_res_num_gen_cmd(node);
  }
  if (m == 0) {
    *cnt = 0;
    return;
  }
  nms_vec_face_demo_mode = 0;
  const u64 sorted = DTCM_SCRATCH_START;
  const u64 sorted_index = sorted + 20u * (u64)box_num;
  const u64 output_index = sorted + 24u * (u64)box_num;
  ASSERT(sorted + 28u * (u64)box_num <= dtcm_window_end(), "%d boxes do not fit in DTCM\r", box_num);
  cv_cur_dtcm_addr = sorted + 28u * (u64)box_num;
  nodechip_cv_nms_vec_common(0, sorted, 0, box_num, m, iou_threshold, 0, 1, (int)max_output_size, bbox_addr,
                             score_addr, output_index, sorted_index, cnt, node);
  cv_cur_dtcm_addr = DTCM_SCRATCH_START;
  if (*cnt > 0) general_gdma_gen_cmd(output_index, output_addr, GDMA_VALUE_FORMAT_FLOAT32, *cnt, GDMA_VALUE_DIR_S2S, node);
}
