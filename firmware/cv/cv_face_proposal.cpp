// Face proposals: anchors and deltas to clipped boxes on the tensor engine,
// the kept boxes compacted into L2 lists by masked moves, the lists joined and
// sorted by score.
#include "cv/cv_face_proposal.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "cv/cv_common.h"
#include "cv/cv_warp.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/services.h"

face_rect_list_t l2sram_face_rect_addr_info[FACE_PROP_MAX_LISTS];
u32 l2sram_rect_cnt;
face_rect_list_t l2sram_intergrated_mem;


static u32 LA(u64 offset) { return LOCAL_ADDR_TAG | (u32)offset; }

static u32 sat32(u64 v) { return v > 0xffffffffull ? 0xffffffffu : (u32)v; }

// ---- Planning ----

void face_prop_plan_of(u32 A, u32 W, u32 H, face_prop_plan_t *p) {
  memset(p, 0, sizeof *p);
  p->A = A;
  p->W = W;
  p->H = H;
  p->lane_rows = (u32)ceil_div_u64(H, NPU_NUM);
  p->plane_bytes = sat32((u64)p->lane_rows * ALIGN((u64)W, 32) * 4);
  p->plane4_bytes = sat32((u64)p->lane_rows * ALIGN(4 * (u64)W, 32) * 4);
  const u64 S = (u64)A * p->plane_bytes;
  p->S = sat32(S);
  for (u32 k = 0; k < MAX_D; k++) p->rect[k] = sat32(FACE_PROP_RECTS + k * S);
  p->scores = sat32(FACE_PROP_RECTS + 4 * S);
  p->mask = sat32(FACE_PROP_RECTS + 5 * S);
  p->temp = sat32(FACE_PROP_RECTS + 6 * S);
  p->temp_1 = sat32(FACE_PROP_RECTS + 7 * S);
  p->cmp_res0 = sat32(FACE_PROP_RECTS + 8 * S);
  p->cmp_res1 = sat32(FACE_PROP_RECTS + 9 * S);
  // The interleaved rectangles reuse the temporaries' room (8S reserved).
  p->interleave = p->temp;
  p->expand = sat32(FACE_PROP_RECTS + 14 * S);
  const local_area_t a[FACE_PROP_AREA_COUNT] = {
      {"first delta, exp scratch", FACE_PROP_DELTA0, p->S},
      {"second delta, predicted size", FACE_PROP_DELTA1, p->S},
      {"anchor corner, centre", FACE_PROP_ANCHOR, p->S},
      {"anchor side", FACE_PROP_SIDE, p->S},
      {"x1", p->rect[0], p->S},
      {"y1", p->rect[1], p->S},
      {"x2", p->rect[2], p->S},
      {"y2", p->rect[3], p->S},
      {"scores", p->scores, p->S},
      {"mask", p->mask, p->S},
      {"mask temporaries, interleaved rectangles", p->temp, sat32(8 * S)},
      {"mask repeated", p->expand, sat32(4 * S)},
  };
  memcpy(p->areas, a, sizeof a);
}

void face_prop_check_plan(const face_prop_plan_t *p) {
  // The map's positions come from the 256 x 256 coordinate planes.
  ASSERT_FS(p->A > 0 && p->W > 0 && p->H > 0 && p->W <= FACE_PROP_MAX_MAP && p->H <= FACE_PROP_MAX_MAP,
            "%u anchors, map %u x %u", (unsigned)p->A, (unsigned)p->H, (unsigned)p->W);
  const u64 move_size = p->S;
  const u64 face_mask_addr = p->mask;
  ASSERT_FS((face_mask_addr + move_size < LOCAL_MEM_SIZE), "mem size conflicit");
  const u64 temp_addr = p->temp, temp_addr_1 = p->temp_1;
  const u64 temp_addr_cmp_res0 = p->cmp_res0, temp_addr_cmp_res1 = p->cmp_res1;
  ASSERT_FS((temp_addr + move_size < LOCAL_MEM_SIZE), "mem size conflicit");
  ASSERT_FS((temp_addr_1 + move_size < LOCAL_MEM_SIZE), "mem size conflicit");
  ASSERT_FS((temp_addr_cmp_res0 + move_size < LOCAL_MEM_SIZE), "mem size conflicit");
  ASSERT_FS((temp_addr_cmp_res1 + move_size < LOCAL_MEM_SIZE), "mem size conflicit");
  const u64 face_rect_interleave = p->interleave;
  ASSERT_FS((face_rect_interleave + move_size * (MAX_D + 1) < LOCAL_MEM_SIZE), "mem size conflicit");
  const u64 face_mask_expend_addr = p->expand;
  ASSERT_FS((face_mask_expend_addr + move_size * (MAX_D) < LOCAL_MEM_SIZE), "mem size conflicit");
}

// ---- Steps ----

static dim4_t tile_of(const face_prop_shape_t *s) { return {(i32)s->n, (i32)s->c, 1, (i32)s->w}; }
static dim4_t anchor_of(const face_prop_shape_t *s) { return {1, (i32)s->c, 1, (i32)s->w}; }

// R = A op constant over `shape`.
static void op_const(u32 a, u32 r, const dim4_t *shape, tensor_op_t op, float c, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(a, 0, r, shape, 0, 0, 0, NULL, NULL, NULL, op, 0, 0, 0, 1, f32_bits(c), 0, node);
}
// R = A op B over `shape`.
static void op_tensor(u32 a, u32 b, u32 r, const dim4_t *shape, tensor_op_t op, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(a, b, r, shape, 0, 0, 0, NULL, NULL, NULL, op, 0, 0, 0, 0, 0, 0, node);
}
// R = A > B ? 1 : 0, B a tensor or (b_is_const) the constant b_const.
static void cmp_one(u32 a, u32 b, int b_is_const, float b_const, u32 r, const dim4_t *shape, cmd_id_node_t *node) {
  const dim4_t dflt = {-1, 0, 0, 0};
  atomic_tensor_arithmetic_issue_select_gen_cmd(a, b_is_const ? 0 : b, r, shape, 0, 0, 0, &dflt, &dflt, &dflt,
                                                TENSOR_OP_CMP_ASSIGN, 0, 0, 0, b_is_const,
                                                b_is_const ? f32_bits(b_const) : 0, f32_bits(1.0f), 0, node);
}

static float sizes_at(u32 sizes, u32 i) {
  float f;
  memcpy(&f, hw_ptr(sizes + 4 * i, 4), 4);
  return f;
}

static float anchor_side(u32 sizes, u32 i, float scale, u32 base) { return sizes_at(sizes, i) * scale * (float)base; }

static void local_shape_of(u32 A, u32 W, u32 H, face_prop_shape_t *s) {
  face_prop_plan_t p;
  face_prop_plan_of(A, W, H, &p);
  const u32 aw = ALIGN(W, 32u);
  *s = {A, H, 1, W, p.lane_rows * aw, aw, W, 1, p.lane_rows, p.plane_bytes, p.S};
}

void bbox_deltas_move(u64 src, u64 dst, u32 A, u32 W, u32 H, u32 *move_size, face_prop_shape_t *src_shape,
                      face_prop_shape_t *dst_shape, cmd_id_node_t *node) {
  const u32 hw = H * W;
  *src_shape = {A, H, 1, W, 4 * hw, W, W, 1, 0, 0, 0};
  local_shape_of(A, W, H, dst_shape);
  *move_size = dst_shape->move_size;
  tensor_general_move_gen_cmd(src, 0, (int)A, (int)H, 1, (int)W, (int)(4 * hw), (int)W, (int)W, 1,
                              GDMA_VALUE_FORMAT_FLOAT32, dst, 0, (int)A, (int)H, 1, (int)W, (int)dst_shape->nstride,
                              (int)dst_shape->cstride, (int)W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                              node);
}

void move_score_to_local_mem(u64 src, u64 dst, u32 A, u32 W, u32 H, cmd_id_node_t *node) {
  face_prop_shape_t s;
  local_shape_of(A, W, H, &s);
  tensor_general_move_gen_cmd(src, 0, (int)A, (int)H, 1, (int)W, (int)(H * W), (int)W, (int)W, 1,
                              GDMA_VALUE_FORMAT_FLOAT32, dst, 0, (int)A, (int)H, 1, (int)W, (int)s.nstride,
                              (int)s.cstride, (int)W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
}

void get_bbox_wh(u32 sizes, float scale, u32 base, u32 A, const face_prop_shape_t *shape, u64 dst,
                 cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape), one = anchor_of(shape);
  atomic_tensor_arithmetic_gen_cmd(0, 0, LA(dst), &tile, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 1, 0, 1, 0, 0,
                                   node);
  for (u32 i = 0; i < A; i++) {
    const u32 at = LA(dst + (u64)i * shape->plane_bytes);
    op_const(at, at, &one, TENSOR_OP_ADD, anchor_side(sizes, i, scale, base), node);
  }
}

void get_bbox_xy1(u64 dst, u64 coord_plane, float stride, u32 sizes, float offset, u32 A, u32 base, float scale,
                  const face_prop_shape_t *src_shape, const face_prop_shape_t *shape, cmd_id_node_t *node) {
  (void)src_shape;
  const dim4_t tile = tile_of(shape), one = anchor_of(shape);
  const int H = (int)shape->c, W = (int)shape->w;
  // The coordinate bytes of the map's positions, as floats, for every anchor.
  for (u32 i = 0; i < A; i++)
    tensor_general_move_gen_cmd(coord_plane, 0, 1, H, 1, W, 0, (int)CV_COORD_PLANE_SIZE, (int)CV_COORD_PLANE_SIZE, 1,
                                GDMA_VALUE_FORMAT_UINT8, dst + (u64)i * shape->plane_bytes, 0, 1, H, 1, W,
                                (int)shape->nstride, (int)shape->cstride, W, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                GDMA_VALUE_DIR_S2L, 0, node);
  op_const(LA(dst), LA(dst), &tile, TENSOR_OP_MUL, stride, node);
  for (u32 i = 0; i < A; i++) {
    const float c = offset - (anchor_side(sizes, i, scale, base) - 1.0f) * 0.5f;
    const u32 at = LA(dst + (u64)i * shape->plane_bytes);
    op_const(at, at, &one, TENSOR_OP_ADD, c, node);
  }
}

void get_bbox_cxy(u64 corner, u64 side, const face_prop_shape_t *shape, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  atomic_tensor_arithmetic_gen_cmd(LA(side), 0, LA(corner), &tile, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAC, 0, 0, 0,
                                   1, f32_bits(0.5f), 0, node);
}

void get_pred_cxy(u64 centre, u64 delta, u64 side, const face_prop_shape_t *shape, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  op_tensor(LA(side), LA(delta), LA(centre), &tile, TENSOR_OP_MAC, node);
}

void get_pred_wh(u64 delta_size, u64 side, const face_prop_shape_t *shape, u64 scratch, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  tensor_ex(LA(delta_size), LA(scratch), EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM, EX_EXPM1_COEFF,
            tile.n, tile.c, tile.h, tile.w, node);
  op_tensor(LA(delta_size), LA(side), LA(delta_size), &tile, TENSOR_OP_MUL, node);
}

void get_facerect_xy(u64 centre, u64 size, u64 dst, float bound, float divisor, float half,
                     const face_prop_shape_t *shape, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  op_const(LA(size), LA(dst), &tile, TENSOR_OP_MUL, half, node);
  op_tensor(LA(dst), LA(centre), LA(dst), &tile, TENSOR_OP_ADD, node);
  op_const(LA(dst), LA(dst), &tile, TENSOR_OP_DIV, divisor, node);
  op_const(LA(dst), LA(dst), &tile, TENSOR_OP_MIN, bound - 1.0f, node);
  op_const(LA(dst), LA(dst), &tile, TENSOR_OP_MAX, 0.0f, node);
}

void get_face_mask(u64 x1, u64 x2, u64 y1, u64 y2, u64 scores, u64 mask, u32 move_size,
                   const face_prop_shape_t *shape, float score_threshold, u32 min_size, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  const u64 temp_addr = mask + move_size, temp_addr_1 = mask + 2 * (u64)move_size;
  const u64 temp_addr_cmp_res0 = mask + 3 * (u64)move_size, temp_addr_cmp_res1 = mask + 4 * (u64)move_size;
  const float side = (float)min_size - 1.0f;
  cmp_one(LA(scores), 0, 1, score_threshold, LA(temp_addr_cmp_res0), &tile, node);
  // x1 x 1 + (min_size - 1), then the same of y1.
  op_const(LA(x1), LA(temp_addr), &tile, TENSOR_OP_MUL, 1.0f, node);
  op_const(LA(temp_addr), LA(temp_addr), &tile, TENSOR_OP_ADD, side, node);
  cmp_one(LA(x2), LA(temp_addr), 0, 0, LA(temp_addr_cmp_res1), &tile, node);
  op_const(LA(y1), LA(temp_addr_1), &tile, TENSOR_OP_MUL, 1.0f, node);
  op_const(LA(temp_addr_1), LA(temp_addr_1), &tile, TENSOR_OP_ADD, side, node);
  cmp_one(LA(y2), LA(temp_addr_1), 0, 0, LA(mask), &tile, node);
  op_tensor(LA(mask), LA(temp_addr_cmp_res0), LA(mask), &tile, TENSOR_OP_MUL, node);
  op_tensor(LA(mask), LA(temp_addr_cmp_res1), LA(mask), &tile, TENSOR_OP_MUL, node);
}

// Strides of a plane of W floats a row, and of the interleaved plane of 4W.
static void interleave_strides(const face_prop_shape_t *s, dim4_t *plain, dim4_t *four) {
  const i32 aw4 = (i32)ALIGN(4 * s->w, 32u);
  *plain = {(i32)s->nstride, (i32)s->cstride, (i32)s->w, 1};
  *four = {(i32)s->lane_rows * aw4, aw4, 4 * (i32)s->w, 4};
}

void interleave_face_rect_without_score(u64 x1, u64 dst, u32 A, const face_prop_shape_t *shape,
                                        const face_prop_shape_t *src_shape, cmd_id_node_t *node) {
  (void)src_shape;
  (void)A;
  const dim4_t tile = tile_of(shape);
  dim4_t plain, four;
  interleave_strides(shape, &plain, &four);
  for (u32 k = 0; k < MAX_D; k++)
    atomic_tensor_copy_gen_cmd(LA(x1 + (u64)k * shape->move_size), LA(dst + 4 * k), &tile, &plain, &four, node);
}

void face_mask_expend(u64 mask, u64 dst, const face_prop_shape_t *shape, cmd_id_node_t *node) {
  const dim4_t tile = tile_of(shape);
  dim4_t plain, four;
  interleave_strides(shape, &plain, &four);
  for (u32 k = 0; k < MAX_D; k++) atomic_tensor_copy_gen_cmd(LA(mask), LA(dst + 4 * k), &tile, &plain, &four, node);
}

void move_face_rect_to_sram(u64 mask, u64 scores, u64 rects, u64 mask4, u32 candidates,
                            const face_prop_shape_t *shape, cmd_id_node_t *node) {
  // A further list would overwrite the table.
  ASSERT_FS(l2sram_rect_cnt < FACE_PROP_MAX_LISTS, "%u lists pending", (unsigned)l2sram_rect_cnt);
  u64 start = FACE_PROP_L2_START;
  if (l2sram_rect_cnt > 0) {
    const face_rect_list_t &prev = l2sram_face_rect_addr_info[l2sram_rect_cnt - 1];
    start = ALIGN(prev.rect_addr + 4 * (u64)prev.rect_floats, (u64)512);
  }
  const u64 score_addr = start, rect_addr = ALIGN(score_addr + 4 * (u64)candidates, (u64)512);
  ASSERT_FS(rect_addr <= FACE_PROP_L2_END, "%u candidates from 0x%x", (unsigned)candidates, (unsigned)score_addr);
  const int A = (int)shape->n, H = (int)shape->c, W = (int)shape->w;
  tensor_general_move_with_mask_gen_cmd(scores, 0, mask, score_addr, A, H, 1, W, GDMA_VALUE_DIR_L2S, node);
  const u32 count = (u32)get_gdma_filter_res_num_gen_cmd(node);
  if (count > 0) {
    ASSERT_FS(rect_addr + 16 * (u64)count <= FACE_PROP_L2_END, "%u rectangles from 0x%x", (unsigned)count,
              (unsigned)rect_addr);
    tensor_general_move_with_mask_gen_cmd(rects, 0, mask4, rect_addr, A, H, 1, 4 * W, GDMA_VALUE_DIR_L2S, node);
  }
  face_rect_list_t &e = l2sram_face_rect_addr_info[l2sram_rect_cnt];
  e.score_addr = score_addr;
  e.rect_addr = rect_addr;
  e.count = count;
  e.rect_floats = 4 * count;
  l2sram_rect_cnt++;
}

void concate_mems_to_one(const face_mem_t *lists, u32 n, face_mem_t *dst, cmd_id_node_t *node) {
  for (u32 i = 0; i < n; i++) {
    if (lists[i].count == 0) continue;
    general_gdma_gen_cmd(lists[i].addr, dst->addr + 4 * (u64)dst->count, GDMA_VALUE_FORMAT_FLOAT32,
                         (int)lists[i].count, GDMA_VALUE_DIR_S2S, node);
    dst->count += lists[i].count;
  }
}

void gen_proposal_post_process(u64 *list, u32 count_addr, u32 prop_times, cmd_id_node_t *node) {
  ASSERT_FS((prop_times >= 1), "proposal_times too small");
  // Lists that no map of this call wrote are not joined.
  ASSERT_FS(prop_times <= l2sram_rect_cnt, "%u lists pending", (unsigned)l2sram_rect_cnt);
  face_mem_t scores[FACE_PROP_MAX_LISTS], rects[FACE_PROP_MAX_LISTS];
  u64 T = 0;
  for (u32 i = 0; i < prop_times; i++) {
    const face_rect_list_t &e = l2sram_face_rect_addr_info[i];
    scores[i] = {e.score_addr, e.count};
    rects[i] = {e.rect_addr, e.rect_floats};
    T += e.count;
  }
  const face_rect_list_t &last = l2sram_face_rect_addr_info[prop_times - 1];
  const u64 joined_scores = last.rect_addr + 4 * (u64)last.rect_floats;
  const u64 joined_rects = ALIGN(joined_scores + 4 * T, (u64)16);
  const u64 sorted_scores = joined_rects + 16 * T;
  const u64 index_in = sorted_scores + 4 * T;
  const u64 sorted_index = index_in + 4 * T;
  const u64 gathered_rects = ALIGN(sorted_index + 4 * T, (u64)16);
  const u64 output = gathered_rects + 16 * T;
  ASSERT_FS(output + 20 * T <= FACE_PROP_L2_END, "%u proposals from 0x%x", (unsigned)T, (unsigned)joined_scores);
  l2sram_intergrated_mem.score_addr = joined_scores;
  l2sram_intergrated_mem.rect_addr = joined_rects;
  face_mem_t s = {joined_scores, 0}, r = {joined_rects, 0};
  concate_mems_to_one(scores, prop_times, &s, node);
  concate_mems_to_one(rects, prop_times, &r, node);
  l2sram_intergrated_mem.count = s.count;
  l2sram_intergrated_mem.rect_floats = r.count;
  poll_all_engine_done(node);
  const u32 n = (u32)T;
  if (n > 0) {
    cdma_sort_move_cmd(joined_scores, sorted_scores, n, SORT_ORDER_DESCEND, 1, 1, index_in, sorted_index, n);
    gde_gather_data_gen_cmd(1, (u32)joined_scores, (u32)sorted_index, n, GDE_TYPE_WORD, (u32)sorted_scores);
    gde_gather_data_gen_cmd(1, (u32)joined_rects, (u32)sorted_index, n, GDE_TYPE_128BITS, (u32)gathered_rects);
    const int t = (int)n;
    tensor_general_move_gen_cmd(gathered_rects, 0, 1, 1, t, 4, 4 * t, 4 * t, 4, 1, GDMA_VALUE_FORMAT_FLOAT32, output,
                                0, 1, 1, t, 4, 5 * t, 5 * t, 5, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0,
                                node);
    tensor_general_move_gen_cmd(sorted_scores, 0, 1, 1, t, 1, t, t, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, output + 16, 0,
                                1, 1, t, 1, 5 * t, 5 * t, 5, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0,
                                node);
    poll_all_engine_done(node);
  }
  l2sram_rect_cnt = 0;
  *list = output;
  hw_write32(count_addr, n);
}

// ---- One map pair ----

void face_prop_level(const face_prop_level_args_t *a, cmd_id_node_t *node) {
  face_prop_plan_t plan;
  face_prop_plan_of(a->A, a->W, a->H, &plan);
  face_prop_check_plan(&plan);
  const u64 plane = 4 * (u64)a->H * a->W;
  face_prop_shape_t src, loc;
  u32 S = 0;
  for (u32 p = 0; p < 2; p++) {
    bbox_deltas_move(a->deltas + p * plane, FACE_PROP_DELTA0, a->A, a->W, a->H, &S, &src, &loc, node);
    bbox_deltas_move(a->deltas + (p + 2) * plane, FACE_PROP_DELTA1, a->A, a->W, a->H, &S, &src, &loc, node);
    // Square anchors: pass 1 reuses the side.
    if (p == 0) get_bbox_wh(a->sizes, a->scale, a->base, a->A, &loc, FACE_PROP_SIDE, node);
    get_bbox_xy1(FACE_PROP_ANCHOR, p == 0 ? CV_COORD_PLANE_X : CV_COORD_PLANE_Y, a->stride, a->sizes,
                 ((float)a->base - 1.0f) * 0.5f, a->A, a->base, a->scale, &src, &loc, node);
    get_bbox_cxy(FACE_PROP_ANCHOR, FACE_PROP_SIDE, &loc, node);
    get_pred_cxy(FACE_PROP_ANCHOR, FACE_PROP_DELTA0, FACE_PROP_SIDE, &loc, node);
    get_pred_wh(FACE_PROP_DELTA1, FACE_PROP_SIDE, &loc, FACE_PROP_DELTA0, node);
    const float bound = p == 0 ? a->bound_x : a->bound_y;
    get_facerect_xy(FACE_PROP_ANCHOR, FACE_PROP_DELTA1, plan.rect[p], bound, a->divisor, -0.5f, &loc, node);
    get_facerect_xy(FACE_PROP_ANCHOR, FACE_PROP_DELTA1, plan.rect[p + 2], bound, a->divisor, 0.5f, &loc, node);
  }
  move_score_to_local_mem(a->scores, plan.scores, a->A, a->W, a->H, node);
  get_face_mask(plan.rect[0], plan.rect[2], plan.rect[1], plan.rect[3], plan.scores, plan.mask, S, &loc,
                a->score_threshold, a->min_size, node);
  interleave_face_rect_without_score(plan.rect[0], plan.interleave, a->A, &loc, &src, node);
  face_mask_expend(plan.mask, plan.expand, &loc, node);
  move_face_rect_to_sram(plan.mask, plan.scores, plan.interleave, plan.expand, a->A * a->H * a->W, &loc, node);
}

int nodechip_cv_gen_proposal_fast_hw_op(u64 scores, u64 deltas, u64 anchor_sizes, u64 output, float scale,
                                        u32 stride_a, u32 W, u32 H, u32 image_w, u32 image_h, u32 stride_b, u32 A,
                                        u32 base, float divisor, u32 min_size, float score_threshold,
                                        cmd_id_node_t *node) {
  face_prop_plan_t plan;
  face_prop_plan_of(A, W, H, &plan);
  face_prop_check_plan(&plan);
  // Lists left by a call that failed before its post-process are dropped.
  l2sram_rect_cnt = 0;
  const u32 sizes = cv_take_dtcm(4 * A);
  pack_info_to_dtcm(anchor_sizes, sizes, 4 * A, node);
  face_prop_level_args_t a;
  a.scores = scores;
  a.deltas = deltas;
  a.sizes = sizes;
  a.A = A;
  a.W = W;
  a.H = H;
  a.base = base;
  a.min_size = min_size;
  a.scale = scale;
  a.stride = (float)((u64)stride_a * stride_b);
  a.bound_x = (float)image_w;
  a.bound_y = (float)image_h;
  a.divisor = divisor;
  a.score_threshold = score_threshold;
  face_prop_level(&a, node);
  const u32 count_addr = cv_take_dtcm(FACE_PROP_COUNT_OFFSET + 0x10) + FACE_PROP_COUNT_OFFSET;
  u64 list = 0;
  gen_proposal_post_process(&list, count_addr, 1, node);
  // The buffer holds 8192 records before its count: the best of them are kept.
  u32 count = hw_read32(count_addr);
  if (count > FACE_PROP_MAX_OUTPUT) {
    fw_log(0, "face proposals: %u kept, the best %u written\n", (unsigned)count, (unsigned)FACE_PROP_MAX_OUTPUT);
    count = FACE_PROP_MAX_OUTPUT;
  }
  hw_write32(count_addr, count);
  pack_info_to_dtcm(count_addr, output + FACE_PROP_COUNT_OFFSET, 4, node);
  if (count > 0) general_gdma_gen_cmd(list, output, GDMA_VALUE_FORMAT_FLOAT32, (int)(5 * count), GDMA_VALUE_DIR_S2S, node);
  return 0;
}
