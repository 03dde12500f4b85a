// Per-dimension sort (CDMA) and top-k by rounds of float32 tensors.
#include "layers/data/topk.h"

#include <float.h>
#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/bd_pool.h"
#include "cmd/cdma_sort.h"
#include "cmd/gde_gather.h"
#include "cmd/local_mem.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/transpose.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"


// ---- Sort per dimension ----

// The order that moves dim last and keeps the others in order, its inverse,
// and the shape after it.
typedef struct {
  int order[8], inverse[8], shape[8];
  u64 rows, len;
} sort_view_t;

static void sort_view_of(sort_view_t *v, const int *shape, int dims, int dim) {
  int k = 0;
  for (int i = 0; i < dims; i++)
    if (i != dim) v->order[k++] = i;
  v->order[k] = dim;
  for (int i = 0; i < dims; i++) {
    v->inverse[v->order[i]] = i;
    v->shape[i] = shape[v->order[i]];
  }
  v->len = (u64)shape[dim];
  v->rows = 1;
  for (int i = 0; i < dims; i++)
    if (i != dim) v->rows *= (u64)shape[i];
}

static void check_sort_args(const int *shape, int dims, int dim) {
  ASSERT(dims >= 1 && dims <= 8);
  ASSERT(dim >= 0 && dim < dims);
  for (int i = 0; i < dims; i++) ASSERT(shape[i] >= 0);
}

// One CDMA sort per row: keys from src, values to dst_value, positions (numbered
// by the engine) to dst_index, rows len elements apart on all three.
static void sort_rows(u64 src, u64 dst_value, u64 dst_index, u64 index_scratch, u64 rows, u64 len,
                      u8 descending) {
  const u32 order = descending ? SORT_ORDER_DESCEND : SORT_ORDER_ASCEND;
  for (u64 r = 0; r < rows; r++) {
    const u64 at = 4u * r * len;
    cdma_sort_move_cmd(src + at, dst_value + at, (u32)len, order, 1, 1, index_scratch + at, dst_index + at,
                       (u32)len);
  }
}

void nodechip_sort_per_dim(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, const int *shape,
                           int dims, int dim, u8 ignored0, u8 ignored1, u8 descending, cmd_id_node_t *node) {
  (void)ignored0;
  (void)ignored1;
  check_sort_args(shape, dims, dim);
  sort_view_t v;
  sort_view_of(&v, shape, dims, dim);
  if (v.rows * v.len == 0) return;
  // The input may still be in flight.
  poll_all_engine_done_internal(node);
  if (dim == dims - 1) {
    sort_rows(input, value_out, index_out, buffer2, v.rows, v.len, descending);
    return;
  }
  nodechip_transpose(input, value_out, shape, v.order, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
  sort_rows(value_out, buffer1, buffer2, index_out, v.rows, v.len, descending);
  nodechip_transpose(buffer1, value_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, index_out, NULL, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose(buffer2, index_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
}

// Converts count elements between device-memory areas, in rectangles of at
// most 65535 rows of 32768 elements.
static void convert_elements(u64 src, gdma_value_format_t src_format, u32 src_bytes, u64 dst,
                             gdma_value_format_t dst_format, u32 dst_bytes, u64 count, cmd_id_node_t *node) {
  const u64 row = 32768;
  for (u64 done = 0; done < count;) {
    const u64 left = count - done;
    const int w = (int)(left < row ? left : row);
    const u64 hs = left / (u64)w;
    const int h = (int)(hs < 65535 ? hs : 65535);
    __tensor_general_move_gen_cmd(src + src_bytes * done, 0, 1, 1, h, w, h * w, h * w, w, 1, src_format,
                                  dst + dst_bytes * done, 0, 1, 1, h, w, h * w, h * w, w, 1, dst_format,
                                  GDMA_VALUE_DIR_S2S, 0, node);
    done += (u64)h * (u64)w;
  }
}

void nodechip_sort_per_dim_fix8b(u64 input, u64 index_out, u64 value_out, u64 buffer1, u64 buffer2, u64 buffer3,
                                 const int *shape, int dims, int dim, u8 ignored0, u8 ignored1, u8 descending,
                                 cmd_id_node_t *node) {
  (void)ignored0;
  (void)ignored1;
  check_sort_args(shape, dims, dim);
  sort_view_t v;
  sort_view_of(&v, shape, dims, dim);
  const u64 total = v.rows * v.len;
  if (total == 0) return;
  nodechip_transpose_fix8b(input, value_out, shape, v.order, dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N, buffer1,
                           NULL, node);
  poll_all_engine_done_internal(node);
  convert_elements(value_out, GDMA_VALUE_FORMAT_INT8, 1, buffer1, GDMA_VALUE_FORMAT_FLOAT32, 4, total, node);
  poll_all_engine_done_internal(node);
  sort_rows(buffer1, buffer2, buffer3, index_out, v.rows, v.len, descending);
  convert_elements(buffer2, GDMA_VALUE_FORMAT_FLOAT32, 4, buffer1, GDMA_VALUE_FORMAT_INT8, 1, total, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose_fix8b(buffer1, value_out, v.shape, v.inverse, dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N,
                           index_out, NULL, node);
  poll_all_engine_done_internal(node);
  nodechip_transpose(buffer3, index_out, v.shape, v.inverse, dims, 4, FW_STORE_MODE_1N, buffer1, NULL, node);
  poll_all_engine_done_internal(node);
}

// ---- Top-k v2 and its pre-selection ----

float pre_max_val, pre_mid_val, pre_min_val;

void topk_pre_plan_of(topk_pre_plan_t *plan, u64 len, int k) {
  memset(plan, 0, sizeof *plan);
  const u64 kk = k > 0 ? (u64)k : 0;
  plan->parts = (int)ceil_div_u64(len, TOPK_PART_LEN);
  plan->max_candidates = (u64)plan->parts * TOPK_MAX_CANDIDATES + kk;
  // Room for every candidate and one part's staging behind them.
  const u64 list = 4u * (plan->max_candidates + TOPK_MAX_CANDIDATES) + 512u;
  plan->cand_bytes = ALIGN(list, (u64)512);
  plan->readback = 2u * plan->cand_bytes;
  plan->buffer_bytes = plan->readback + 512u;
  plan->l2_indices = L2_SRAM_SCRATCH_START;
  plan->l2_sorted = ALIGN(plan->l2_indices + list, (u64)128);
  plan->l2_result = ALIGN(plan->l2_sorted + 4u * kk, (u64)128);
  plan->l2_end = plan->l2_result + 4u * kk;
}

static const dim4_t kLaneResult = {1, NPU_NUM, 1, 1};

// Fills the elements from `from` to the end of the 1 x 64 x g x 32 compact
// plane at `area` with `value`.
static void pad_plane(u32 area, int g, int from, float value, cmd_id_node_t *node) {
  const int lane_len = g * 32;
  int lane = from / lane_len;
  const int r = from % lane_len;
  if (r > 0) {
    fill_constant_gen_local_cmd_stride(area + 4u * (u32)r, lane, &value, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1,
                                       lane_len - r, lane_len, lane_len, lane_len, 1, node);
    lane++;
  }
  if (lane < NPU_NUM)
    fill_constant_gen_local_cmd_stride(area, lane, &value, GDMA_VALUE_FORMAT_FLOAT32, 1, NPU_NUM - lane, g, 32,
                                       (NPU_NUM - lane) * lane_len, lane_len, 32, 1, node);
}

// Per-lane results (one float in each of the 64 lanes at `slot`) to the
// read-back words at `to`.
static void store_lane_results(u32 slot, u64 to, cmd_id_node_t *node) {
  const dim4_t g = {NPU_NUM, 1, 1, 1};
  tensor_general_save(slot, to, GDMA_VALUE_FORMAT_FLOAT32, 1, &kLaneResult, NULL, &g, node);
}

// The positions start .. start + count - 1 as int32 to `dst` (count <= k).
static void store_positions(u64 dst, u64 start, int count, cmd_id_node_t *node) {
  nodechip_serial_number_gen(0, TOPK_LOCAL_VALUES, TOPK_LOCAL_SEQ_SCRATCH, 0, 1, count, node);
  const u32 seq = LOCAL_ADDR_TAG | TOPK_LOCAL_VALUES;
  if (start != 0) atomic_md_add_const_gen_cmd(seq, seq, 1, 1, 1, count, 0, f32_bits((float)start), node);
  atomic_md_sfu_gen_cmd_(seq, seq, 1, 1, 1, count, 0, SFU_F2I, 0, node);
  const dim4_t shape = {1, 1, 1, count};
  tensor_general_save(TOPK_LOCAL_VALUES, dst, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, NULL, node);
}

// The local plane (values or positions) under the marks to dst, which must be
// 512-byte aligned: else through an aligned staging place behind dst + count.
static void move_marked(u32 plane, int g, u64 dst, int count, cmd_id_node_t *node) {
  const u64 at = (dst & 0x1ffu) == 0 ? dst : ALIGN(dst + 4u * (u64)count, (u64)512);
  tensor_general_move_with_mask_gen_cmd(plane, 0, TOPK_LOCAL_MARKS, at, 1, NPU_NUM, g, 32, GDMA_VALUE_DIR_L2S, node);
  if (at != dst) general_gdma_gen_cmd(at, dst, GDMA_VALUE_FORMAT_FLOAT32, count, GDMA_VALUE_DIR_S2S, node);
}

static const dim4_t kDefaultStride = {-1, 0, 0, 0};

// Marks (1.0) where `a` > `b` over the part's plane; a constant side is given
// by its value.
static void mark_greater(int a_const, float a, int b_const, float b, u32 a_addr, u32 b_addr, int g,
                         cmd_id_node_t *node) {
  const dim4_t plane = {1, NPU_NUM, g, 32};
  atomic_tensor_arithmetic_gen_cmd_all(a_addr, b_addr, LOCAL_ADDR_TAG | TOPK_LOCAL_MARKS, &plane, 0, 0, 0,
                                       &kDefaultStride, &kDefaultStride, &kDefaultStride, TENSOR_OP_CMP_ASSIGN, 0,
                                       a_const, f32_bits(a), b_const, f32_bits(b), f32_bits(1.0f), 0, 0, node);
}

// The marks counted: summed per lane by pooling, the 64 sums added on the ARM.
static int count_marks(int g, u64 readback, cmd_id_node_t *node) {
  const u32 marks = LOCAL_ADDR_TAG | TOPK_LOCAL_MARKS, slot = LOCAL_ADDR_TAG | TOPK_LOCAL_LANE_RESULT;
  atomic_avg_pooling_gen_cmd(marks, slot, 1, NPU_NUM, g, 32, 1, 1, g, 32, 0, 0, 0, 0, 1, 1, 0, 0, f32_bits(1.0f),
                             node);
  store_lane_results(TOPK_LOCAL_LANE_RESULT, readback, node);
  poll_all_engine_done_internal(node);
  const float *words = (const float *)core_window_ptr(readback, 4u * NPU_NUM, 4);
  float counted = 0;
  for (int i = 0; i < NPU_NUM; i++) {
    float a;
    memcpy(&a, words + i, 4);
    counted += a;
  }
  return (int)counted;
}

// Marks the values beyond t (above when descending, below otherwise) and
// counts them.
static int count_beyond(float t, int descending, int g, u64 readback, cmd_id_node_t *node) {
  const u32 values = LOCAL_ADDR_TAG | TOPK_LOCAL_VALUES;
  if (descending)
    mark_greater(0, 0, 1, t, values, 0, g, node);
  else
    mark_greater(1, t, 0, 0, 0, values, g, node);
  return count_marks(g, readback, node);
}

// The marked values' positions (c * lane_len + i in lane c, from `start`) as
// int32 to dst; the values plane is overwritten.
static void move_marked_positions(int g, u64 start, u64 dst, int count, cmd_id_node_t *node) {
  const u32 values = LOCAL_ADDR_TAG | TOPK_LOCAL_VALUES;
  nodechip_serial_number_gen(0, TOPK_LOCAL_VALUES, TOPK_LOCAL_SEQ_SCRATCH, 0, NPU_NUM, g * 32, node);
  if (start != 0) atomic_md_add_const_gen_cmd(values, values, 1, NPU_NUM, g, 32, 0, f32_bits((float)start), node);
  atomic_md_sfu_gen_cmd_(values, values, 1, NPU_NUM, g, 32, 0, SFU_F2I, 0, node);
  move_marked(TOPK_LOCAL_VALUES, g, dst, count, node);
}

// Loads a part into the values plane, lane after lane, and fills the padding
// behind it with `pad`.
static void load_part(u64 part, int part_len, int g, float pad, cmd_id_node_t *node) {
  const int lane_len = g * 32;
  const int full = part_len / lane_len, rest = part_len % lane_len;
  if (full > 0) {
    const dim4_t shape = {1, full, g, 32}, gs = {full * lane_len, lane_len, 32, 1};
    tensor_general_load(TOPK_LOCAL_VALUES, part, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &gs, node);
  }
  if (rest > 0) {
    const dim4_t shape = {1, 1, 1, rest}, gs = {rest, rest, rest, 1};
    tensor_general_load(TOPK_LOCAL_VALUES | (u32)full << 19, part + 4u * (u64)full * (u64)lane_len,
                        GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &gs, node);
  }
  if (part_len < NPU_NUM * lane_len) pad_plane(TOPK_LOCAL_VALUES, g, part_len, pad, node);
}

// The threshold search ended on equal values v that no bisection splits (low
// and high adjacent): the candidates are the c1 < k values beyond v and the
// first k - c1 of those equal to v by position, found by a bisection over the
// positions. Returns k.
static int topk_equal_threshold(u64 part, u64 cand_values, u64 cand_indices, int k, int descending, int part_len,
                                u64 start, u64 readback, float low, float high, cmd_id_node_t *node) {
  const int g = (int)ceil_div(part_len, TOPK_PART_ROW);
  const float pad = descending ? -FLT_MAX : FLT_MAX;
  // v: the end of the bracket that still leaves fewer than k beyond it.
  const float inner = descending ? low : high, outer = descending ? high : low;
  int c1 = count_beyond(inner, descending, g, readback, node);
  float v = inner;
  if (c1 >= k) {
    v = outer;
    c1 = count_beyond(outer, descending, g, readback, node);
  }
  const int m = k - c1;
  if (c1 > 0) {
    move_marked(TOPK_LOCAL_VALUES, g, cand_values, c1, node);
    move_marked_positions(g, start, cand_indices, c1, node);
    load_part(part, part_len, g, pad, node);
  }
  // Key: the position where the value equals v, 2^24 elsewhere.
  const dim4_t plane = {1, NPU_NUM, g, 32};
  const u32 values = LOCAL_ADDR_TAG | TOPK_LOCAL_VALUES, marks = LOCAL_ADDR_TAG | TOPK_LOCAL_MARKS;
  atomic_tensor_arithmetic_gen_cmd_all(values, 0, marks, &plane, 0, 0, 0, &kDefaultStride, &kDefaultStride,
                                       &kDefaultStride, TENSOR_OP_EQ_ASSIGN, 0, 0, 0, 1, f32_bits(v), f32_bits(1.0f), 0,
                                       0, node);
  nodechip_serial_number_gen(0, TOPK_LOCAL_VALUES, TOPK_LOCAL_SEQ_SCRATCH, 0, NPU_NUM, g * 32, node);
  const float big = (float)TOPK_EXACT_POSITIONS;
  atomic_md_linear_gen_cmd(marks, 0, 0, marks, 1, NPU_NUM, g, 32, 1, 1, f32_bits(big), f32_bits(-big), 0, 0, node);
  atomic_md_add_gen_cmd(values, marks, values, 1, NPU_NUM, g, 32, 0, node);
  // The smallest P with exactly m keys below it (each position adds one).
  int lo = 0, hi = NPU_NUM * g * 32;
  while (hi - lo > 1) {
    fix_cmd_node_overflow(node);
    const int mid = lo + (hi - lo) / 2;
    mark_greater(1, (float)mid, 0, 0, 0, values, g, node);
    if (count_marks(g, readback, node) >= m)
      hi = mid;
    else
      lo = mid;
  }
  mark_greater(1, (float)hi, 0, 0, 0, values, g, node);
  if (start != 0) atomic_md_add_const_gen_cmd(values, values, 1, NPU_NUM, g, 32, 0, f32_bits((float)start), node);
  atomic_md_sfu_gen_cmd_(values, values, 1, NPU_NUM, g, 32, 0, SFU_F2I, 0, node);
  move_marked(TOPK_LOCAL_VALUES, g, cand_indices + 4u * (u64)c1, m, node);
  fill_constant_gen_global_cmd_stride(cand_values + 4u * (u64)c1, &v, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, m, m, m, m,
                                      1, node);
  return k;
}

// One part of at most TOPK_PART_LEN elements starting at position `start` of
// the row. Returns its candidate count, 0 when it holds one value only (then
// possibly staged), -1 when it cannot contribute.
static int topk_preprocess(u64 part, u64 stage_values, u64 stage_indices, u64 cand_values, u64 cand_indices, int k,
                           int descending, int part_len, u8 is_first_part, u64 start, u64 readback,
                           cmd_id_node_t *node) {
  const int dim_size = (int)ceil_div(part_len, TOPK_PART_ROW);
  ASSERT_FS(dim_size <= (((1<<19) / ((1<<(5)) * 4) - 2) / 2));
  if (part_len <= k) {
    general_gdma_gen_cmd(part, cand_values, GDMA_VALUE_FORMAT_FLOAT32, part_len, GDMA_VALUE_DIR_S2S, node);
    store_positions(cand_indices, start, part_len, node);
    return part_len;
  }
  const int g = dim_size, lane_len = g * 32;
  const u32 values = LOCAL_ADDR_TAG | TOPK_LOCAL_VALUES, marks = LOCAL_ADDR_TAG | TOPK_LOCAL_MARKS;
  // The part, lane after lane, then the padding that never counts.
  load_part(part, part_len, g, -FLT_MAX, node);
  const int padded = part_len < NPU_NUM * lane_len;
  // Range: the maximum, and the minimum as the maximum of the negated copy.
  atomic_mdscalar_operation_gen_cmd_(0, values, marks, 1, NPU_NUM, g, 32, MD_SCALAR_SUB, 0, 1, 0, 0, 0, node);
  if (padded) pad_plane(TOPK_LOCAL_MARKS, g, part_len, -FLT_MAX, node);
  const u32 slot0 = LOCAL_ADDR_TAG | TOPK_LOCAL_LANE_RESULT, slot1 = LOCAL_ADDR_TAG | TOPK_LOCAL_SEQ_SCRATCH;
  atomic_max_pooling_gen_cmd(values, slot0, 1, NPU_NUM, g, 32, 1, 1, g, 32, 0, 0, 0, 0, 1, 1, 0, 0, node);
  atomic_max_pooling_gen_cmd(marks, slot1, 1, NPU_NUM, g, 32, 1, 1, g, 32, 0, 0, 0, 0, 1, 1, 0, 0, node);
  store_lane_results(TOPK_LOCAL_LANE_RESULT, readback, node);
  store_lane_results(TOPK_LOCAL_SEQ_SCRATCH, readback + 4u * NPU_NUM, node);
  poll_all_engine_done_internal(node);
  const float *words = (const float *)core_window_ptr(readback, 8u * NPU_NUM, 4);
  float mx = -FLT_MAX, neg = -FLT_MAX;
  for (int i = 0; i < NPU_NUM; i++) {
    float a, b;
    memcpy(&a, words + i, 4);
    memcpy(&b, words + NPU_NUM + i, 4);
    if (a > mx) mx = a;
    if (b > neg) neg = b;
  }
  const float mn = -neg;
  float mid = (mx + mn) * 0.5f;
  if (mx == mn) {
    if (is_first_part || (descending ? mid > pre_mid_val : mid < pre_mid_val)) {
      general_gdma_gen_cmd(part, stage_values, GDMA_VALUE_FORMAT_FLOAT32, k, GDMA_VALUE_DIR_S2S, node);
      store_positions(stage_indices, start, k, node);
      pre_max_val = mx;
      pre_mid_val = mid;
      pre_min_val = mn;
    }
    return 0;
  }
  if (!is_first_part && (descending ? mx <= pre_min_val : pre_max_val <= mn)) return -1;
  pre_max_val = mx;
  pre_mid_val = mid;
  pre_min_val = mn;
  if (!descending && padded) pad_plane(TOPK_LOCAL_VALUES, g, part_len, FLT_MAX, node);
  float low = mn, high = mx;
  for (int round = 0; round < TOPK_THRESHOLD_ROUNDS; round++) {
    fix_cmd_node_overflow(node);
    const int count = count_beyond(mid, descending, g, readback, node);
    if (count >= k && count <= TOPK_MAX_CANDIDATES) {
      move_marked(TOPK_LOCAL_VALUES, g, cand_values, count, node);
      move_marked_positions(g, start, cand_indices, count, node);
      return count;
    }
    // Too few: move the threshold towards the range's start; too many: away.
    if ((count < k) == (descending != 0))
      high = mid;
    else
      low = mid;
    const float next = (low + high) * 0.5f;
    // Equal values at the threshold that no bisection can split.
    if (next == mid || next == low || next == high)
      return topk_equal_threshold(part, cand_values, cand_indices, k, descending, part_len, start, readback, low, high,
                                  node);
    mid = next;
  }
  ASSERT_FS(0);
  return -1;
}

int topk_preprocess_with_data_split(u64 input, u64 stage_values, u64 stage_indices, u64 cand_values,
                                    u64 cand_indices, int k, int descending, int len, u64 readback,
                                    cmd_id_node_t *node) {
  int count = 0, equal = 0;
  for (int start = 0, i = 0; start < len; start += TOPK_PART_LEN, i++) {
    const int part_len = len - start < TOPK_PART_LEN ? len - start : TOPK_PART_LEN;
    const int r = topk_preprocess(input + 4u * (u64)start, stage_values, stage_indices, cand_values + 4u * (u64)count,
                                  cand_indices + 4u * (u64)count, k, descending, part_len, i == 0, (u64)start,
                                  readback, node);
    if (r > 0) count += r;
    if (r == 0) equal = 1;
  }
  if (equal && count > 0) {
    general_gdma_gen_cmd(stage_values, cand_values + 4u * (u64)count, GDMA_VALUE_FORMAT_FLOAT32, k,
                         GDMA_VALUE_DIR_S2S, node);
    general_gdma_gen_cmd(stage_indices, cand_indices + 4u * (u64)count, GDMA_VALUE_FORMAT_FLOAT32, k,
                         GDMA_VALUE_DIR_S2S, node);
    count += k;
  }
  return count;
}

void nodechip_topk_v2(u64 input, u64 value_out, u64 index_out, u64 buffer, int k, int dim, u8 descending,
                      const int *shape, int dims, cmd_id_node_t *node) {
  check_sort_args(shape, dims, dim);
  while (dims - 1 > dim && shape[dims - 1] == 1) dims--;
  const int len = shape[dim];
  // The sort writes k entries of each row: no more than the row holds.
  ASSERT_FS(k > 0 && k <= len);
  const u32 order = descending ? SORT_ORDER_DESCEND : SORT_ORDER_ASCEND;
  if (dim == dims - 1) {
    u64 rows = 1;
    for (int i = 0; i < dim; i++) rows *= (u64)shape[i];
    if (rows == 0) return;
    if (rows == 1 && len > TOPK_SORT_WHOLE) {
      topk_pre_plan_t p;
      topk_pre_plan_of(&p, (u64)len, k);
      // A part keeps at most TOPK_MAX_CANDIDATES: a larger k never finds its threshold.
      ASSERT_FS(k <= TOPK_MAX_CANDIDATES, "k=%d: at most %d candidates are kept", k, TOPK_MAX_CANDIDATES);
      ASSERT_FS(len <= TOPK_EXACT_POSITIONS, "len=%d: positions beyond 2^24 are not exact as float32", len);
      ASSERT_FS((buffer & 0x1ffu) == 0, "buffer must be 512-byte aligned");
      const u32 l2_start_addr = (u32)p.l2_indices;
      ASSERT_FS(l2_start_addr < (0x10000000 + 0x300000));
      // The candidate lists must stay below the static tables.
      const u64 l2_end_addr = p.l2_end;
      ASSERT_FS(l2_end_addr <= L2_SRAM_SCRATCH_END, "%d parts, k=%d", p.parts, k);
      const int n = topk_preprocess_with_data_split(input, value_out, index_out, buffer, p.l2_indices, k, descending,
                                                    len, buffer + p.readback, node);
      if (n == 0) return;
      poll_all_engine_done_internal(node);
      cdma_sort_move_cmd(buffer, value_out, (u32)n, order, 1, 1, buffer + 4u * (u64)n, p.l2_sorted, (u32)k);
      poll_all_engine_done_internal(node);
      gde_gather_data_gen_cmd(1, (u32)p.l2_indices, (u32)p.l2_sorted, (u32)k, GDE_TYPE_WORD, (u32)p.l2_result);
      general_gdma_gen_cmd(p.l2_result, index_out, GDMA_VALUE_FORMAT_FLOAT32, k, GDMA_VALUE_DIR_S2S, node);
      return;
    }
    poll_all_engine_done_internal(node);
    for (u64 r = 0; r < rows; r++)
      cdma_sort_move_cmd(input + 4u * r * (u64)len, value_out + 4u * r * (u64)k, (u32)len, order, 1, 1,
                         buffer + 4u * r * (u64)len, index_out + 4u * r * (u64)k, (u32)k);
    return;
  }
  u64 total = 1;
  for (int i = 0; i < dims; i++) total *= (u64)shape[i];
  if (total == 0) return;
  const u64 size = 4u * total;
  if (k == len) {
    nodechip_sort_per_dim(input, index_out, value_out, buffer + 2u * size, buffer + 3u * size, shape, dims, dim, 0, 0,
                          descending, node);
    return;
  }
  nodechip_sort_per_dim(input, buffer + size, buffer, buffer + 2u * size, buffer + 3u * size, shape, dims, dim, 0, 0,
                        descending, node);
  ASSERT(dim < 4);
  // Four dimensions, the fourth taking every later extent.
  int s4[4] = {1, 1, 1, 1};
  for (int i = 0; i < dims; i++) {
    if (i < 4)
      s4[i] = shape[i];
    else
      s4[3] *= shape[i];
  }
  int o4[4] = {s4[0], s4[1], s4[2], s4[3]};
  o4[dim] = k;
  const int ss[4] = {s4[1] * s4[2] * s4[3], s4[2] * s4[3], s4[3], 1};
  const int ds[4] = {o4[1] * o4[2] * o4[3], o4[2] * o4[3], o4[3], 1};
  for (int j = 0; j < 2; j++)
    move_g2g(global_view(buffer + (u64)j * size, dim4_from(o4), dim4_from(ss), GDMA_VALUE_FORMAT_FLOAT32),
             global_view(j == 0 ? value_out : index_out, dim4_from(o4), dim4_from(ds), GDMA_VALUE_FORMAT_FLOAT32),
             node);
}

// ---- Top-k by rounds ----

void topk_plan_of(topk_plan_t *plan, int dim, int N, int C, int H, int W) {
  cumsum_plan_t s;
  cumsum_plan_of(&s, dim, N, C, H, W);
  plan->slice_bytes = s.bytes;
  plan->slices = s.count;
  plan->work = s.bytes * s.count;
  const u32 b = (u32)s.bytes;
  const u32 w = (u32)plan->work;
  plan->areas[0] = {"slices", 0, w};
  plan->areas[1] = {"running maximum", w, b};
  plan->areas[2] = {"round maximum", w + b, b};
  plan->areas[3] = {"running index", w + 2 * b, b};
  plan->areas[4] = {"difference", w + 3 * b, b};
}

void nodechip_topk(u64 input, u64 value_out, u64 index_out, int k, int dim, int N, int C, int H, int W,
                   cmd_id_node_t *node) {
  ASSERT_FS(N > 0 && C > 0 && H > 0 && W > 0);
  if (dim < 0 || dim > 3) ASSERT_FS(0);
  int out_dims[4] = {N, C, H, W};
  const int dim_size = out_dims[dim];
  if (k < 0) k = dim_size;
  ASSERT_FS(k >= 1 && k <= dim_size);
  topk_plan_t p;
  topk_plan_of(&p, dim, N, C, H, W);
  const i64 value_sub_temp_local_offset = p.work + 3 * p.slice_bytes, tensor_size = p.slice_bytes;
  ASSERT_FS(value_sub_temp_local_offset + tensor_size <= (1 << 19));
  cumsum_plan_t in, out;
  cumsum_plan_of(&in, dim, N, C, H, W);
  out_dims[dim] = k;
  cumsum_plan_of(&out, dim, out_dims[0], out_dims[1], out_dims[2], out_dims[3]);
  const dim4_t sh = in.shape;
  const u32 tag = LOCAL_ADDR_TAG;
  const u32 run_max = (u32)p.work, round_max = run_max + (u32)p.slice_bytes;
  const u32 run_index = round_max + (u32)p.slice_bytes, diff = run_index + (u32)p.slice_bytes;
  for (i64 i = 0; i < p.slices; i++)
    tensor_general_load((u32)(i * p.slice_bytes), input + 4u * (u64)(i * in.step), GDMA_VALUE_FORMAT_FLOAT32, 1,
                        &sh, NULL, &in.global, node);
  const u32 lowest = f32_bits(-FLT_MAX);
  for (int r = 0; r < k; r++) {
    fix_cmd_node_overflow(node);
    local_fill_const_gen_cmd(tag | run_max, sh.n, sh.c, sh.h, sh.w, lowest, node);
    local_fill_const_gen_cmd(tag | run_index, sh.n, sh.c, sh.h, sh.w, 0, node);
    // Slice i takes over only where strictly greater: the first slice holding
    // the maximum keeps it. The index is selected bitwise: int32 i.
    for (i64 i = 0; i < p.slices; i++)
      atomic_md_cmp_gen_cmd(tag | (u32)(i * p.slice_bytes), tag | run_max, 0, tag | run_index, tag | run_max,
                            tag | run_index, sh.n, sh.c, sh.h, sh.w, 0, 0, 1, 0, 0, 0, (u32)i, 0, 0, node);
    // Remove the first occurrence of the maximum: the round maximum drops to
    // -FLT_MAX once it has been met. The squared difference is 0 exactly where
    // the slice equals the round maximum.
    tensor_copy(run_max, round_max, &sh, NULL, node);
    for (i64 i = 0; i < p.slices; i++) {
      const u32 slice = (u32)(i * p.slice_bytes);
      atomic_mdscalar_operation_gen_cmd_(tag | round_max, tag | slice, tag | diff, sh.n, sh.c, sh.h, sh.w,
                                         MD_SCALAR_SUB, 0, 0, 0, 0, 0, node);
      atomic_mdscalar_operation_gen_cmd_(tag | diff, tag | diff, tag | diff, sh.n, sh.c, sh.h, sh.w, MD_SCALAR_MUL,
                                         0, 0, 0, 0, 0, node);
      atomic_md_cmp_gen_cmd(tag | diff, 0, tag | slice, 0, tag | diff, tag | slice, sh.n, sh.c, sh.h, sh.w, 0, 1, 0,
                            1, 0, 0, 0, lowest, 2, node);
      atomic_md_cmp_gen_cmd(tag | diff, 0, tag | round_max, 0, tag | diff, tag | round_max, sh.n, sh.c, sh.h, sh.w,
                            0, 1, 0, 1, 0, 0, 0, lowest, 2, node);
    }
    tensor_general_save(run_max, value_out + 4u * (u64)((i64)r * out.step), GDMA_VALUE_FORMAT_FLOAT32, 1, &sh,
                        NULL, &out.global, node);
    tensor_general_save(run_index, index_out + 4u * (u64)((i64)r * out.step), GDMA_VALUE_FORMAT_FLOAT32, 1, &sh,
                        NULL, &out.global, node);
  }
}
