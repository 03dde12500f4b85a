// ARM read-back of single values and the filter by batch flags.
#include "layers/data/select.h"

#include <string.h>

#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/memory_store_mode.h"
#include "cmd/bd_md.h"
#include "cmd/tensor_ops.h"
#include "local/eltwise.h"
#include "layers/data/transpose.h"
#include "cmd/tensor_shape.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

// The ARM sees device memory from GLOBAL_MEM_START_ADDR on through a window of
// this many bytes at DDR_ARM_BASE.
#define ARM_WINDOW_BYTES (0x100000000ull - DDR_ARM_BASE)

void *arm_window_ptr(u64 global, u64 bytes) {
  if (global >= DTCM_SCRATCH_START && global < DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE) {
    ASSERT(bytes <= DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE - global, "global=0x%x, %u bytes", (unsigned)global,
           (unsigned)bytes);
    return hw_ptr((u32)global, (u32)bytes);
  }
  // Past the window's end the address would wrap onto other memory.
  ASSERT(global >= GLOBAL_MEM_START_ADDR && bytes <= ARM_WINDOW_BYTES &&
             global - GLOBAL_MEM_START_ADDR <= ARM_WINDOW_BYTES - bytes,
         "global=0x%x%08x, %u bytes", (unsigned)(global >> 32), (unsigned)global, (unsigned)bytes);
  return hw_ptr(DDR_ARM_BASE + (u32)(global - GLOBAL_MEM_START_ADDR), (u32)bytes);
}

// Copies `bytes` bytes as rows of signed bytes, at most 0x40000000 a command.
static void copy_bytes(u64 src, u64 dst, u64 bytes, cmd_id_node_t *node) {
  for (u64 done = 0; done < bytes; done += 0x40000000u) {
    const u64 part = bytes - done < 0x40000000u ? bytes - done : 0x40000000u;
    general_gdma_gen_cmd(src + done, dst + done, GDMA_VALUE_FORMAT_INT8, (int)part, GDMA_VALUE_DIR_S2S, node);
  }
}

void *get_pointer_in_arm(u64 global, u64 scratch, u64 size, cmd_id_node_t *node) {
  void *p = arm_window_ptr(scratch, size);
  copy_bytes(global, scratch, size, node);
  poll_all_engine_done(node);
  return p;
}

float get_float_in_arm(u64 global, u64 scratch, cmd_id_node_t *node) {
  float f;
  memcpy(&f, get_pointer_in_arm(global, scratch, 4, node), 4);
  return f;
}

u8 get_u8_in_arm(u64 global, u64 scratch, cmd_id_node_t *node) {
  return *(const u8 *)get_pointer_in_arm(global, scratch, 1, node);
}

void nodechip_filter_forward(u64 input, u64 flags, u64 output, u64 flag_scratch, int N, int C, int H, int W,
                             cmd_id_node_t *node) {
  if ((i64)N * 4 > 0xffffff) ASSERT_FS(0);
  ASSERT_FS(N >= 0 && C >= 0 && H >= 0 && W >= 0);
  const u64 item = (u64)C * (u64)H * (u64)W;
  ASSERT_FS(item <= 0x7fffffffu);
  if (N == 0 || item == 0) return;
  const float *flag = (const float *)core_window_ptr(flag_scratch, 4u * (u64)N, 4);
  general_gdma_gen_cmd(flags, flag_scratch, GDMA_VALUE_FORMAT_FLOAT32, N, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done_internal(node);
  u64 kept = 0;
  for (int i = 0; i < N; i++) {
    float f;
    memcpy(&f, flag + i, 4);
    if (f == 0.0f) continue;
    // One command per kept item: restart the ids before they run out.
    fix_cmd_node_overflow(node);
    general_gdma_gen_cmd(input + 4u * item * (u64)i, output + 4u * item * kept, GDMA_VALUE_FORMAT_FLOAT32,
                         (int)item, GDMA_VALUE_DIR_S2S, node);
    kept++;
  }
}

// ---- Index select ----


void index_select_view_of(index_select_view_t *v, const int *shape, int dims, int axis, int type_size) {
  if (axis < 0) axis += dims;
  // Extents of 1 in front of the axis change nothing.
  v->dims = 0;
  v->axis = axis;
  for (int i = 0; i < dims; i++) {
    if (i < axis && shape[i] == 1) {
      v->axis--;
      continue;
    }
    v->shape[v->dims++] = shape[i];
  }
  int k = 0;
  v->order[k++] = v->axis;
  for (int i = 0; i < v->dims; i++)
    if (i != v->axis) v->order[k++] = i;
  for (int i = 0; i < v->dims; i++) v->inverse[v->order[i]] = i;
  v->rows = (u64)v->shape[v->axis];
  v->inner = 1;
  for (int i = 0; i < v->dims; i++)
    if (i != v->axis) v->inner *= (u64)v->shape[i];
  v->gde_type = -1;
  if (type_size == 4 && v->dims == 1 && v->rows * 4 <= 0x400000) v->gde_type = GDE_TYPE_WORD;
  if (type_size == 4 && v->dims == 2 && v->inner == 4 && v->rows * 16 <= 0x400000) v->gde_type = GDE_TYPE_128BITS;
}

int index_select_gde(u64 input, u64 index, u64 output, const int *shape, int dims, int index_num, int gde_mode,
                     cmd_id_node_t *node) {
  const u64 item = gde_type_bytes((u32)gde_mode);
  ASSERT(item == 4 || item == 16);
  u64 rows = 1;
  for (int i = 0; i < dims; i++) rows *= (u64)shape[i];
  rows = rows * 4 / item;
  const u64 in_l2 = L2_SRAM_SCRATCH_START;
  const u64 index_l2 = ALIGN(in_l2 + rows * item, 128u);
  const u64 out_l2 = ALIGN(index_l2 + 4u * (u64)index_num, 128u);
  if (out_l2 + (u64)index_num * item > L2_SRAM_SCRATCH_END) return 0;
  general_gdma_gen_cmd(input, in_l2, GDMA_VALUE_FORMAT_FLOAT32, (int)(rows * item / 4), GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(index, index_l2, GDMA_VALUE_FORMAT_FLOAT32, index_num, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
  // An index outside the input would have the engine read past it.
  const u8 *staged = (const u8 *)hw_ptr((u32)index_l2, 4u * (u32)index_num);
  for (int i = 0; i < index_num; i++) {
    int at;
    memcpy(&at, staged + 4u * (u32)i, 4);
    ASSERT(at >= 0 && (u64)at < rows, "index %d at %d, extent %u", at, i, (unsigned)rows);
  }
  gde_gather_data_gen_cmd(1, (u32)in_l2, (u32)index_l2, (u32)index_num, (u32)gde_mode, (u32)out_l2);
  general_gdma_gen_cmd(out_l2, output, GDMA_VALUE_FORMAT_FLOAT32, (int)((u64)index_num * item / 4),
                       GDMA_VALUE_DIR_S2S, node);
  return 1;
}

// The GDMA road: one flat copy per run of consecutive indices, the indices
// read on the ARM a chunk at a time.
static void index_select_gdma(u64 input, u64 index, int index_num, u64 dst, u64 scratch, u64 rows, u64 inner,
                              int type_size, cmd_id_node_t *node) {
  const gdma_value_format_t fmt = type_size == 4 ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_INT8;
  const u64 row_bytes = inner * (u64)type_size;
  const u64 chunk = (u64)(index_num < INDEX_SELECT_CHUNK ? index_num : INDEX_SELECT_CHUNK);
  const int *idx = (const int *)core_window_ptr(scratch, 4u * chunk, 4);
  for (int start = 0; start < index_num; start += INDEX_SELECT_CHUNK) {
    const int n = index_num - start < INDEX_SELECT_CHUNK ? index_num - start : INDEX_SELECT_CHUNK;
    general_gdma_gen_cmd(index + 4u * (u64)start, scratch, GDMA_VALUE_FORMAT_FLOAT32, n, GDMA_VALUE_DIR_S2S, node);
    poll_all_engine_done(node);
    for (int j = 0; j < n;) {
      int first;
      memcpy(&first, idx + j, 4);
      // An index outside the axis would copy from memory past the tensor.
      ASSERT(first >= 0 && (u64)first < rows, "index %d at %d, extent %u", first, start + j, (unsigned)rows);
      int run = 1;
      for (; j + run < n; run++) {
        int next;
        memcpy(&next, idx + j + run, 4);
        if (next != first + run) break;
      }
      fix_cmd_node_overflow(node);
      for (u64 done = 0; done < row_bytes * (u64)run; done += 0x40000000u) {
        const u64 left = row_bytes * (u64)run - done;
        const u64 part = left < 0x40000000u ? left : 0x40000000u;
        general_gdma_gen_cmd(input + row_bytes * (u64)first + done, dst + row_bytes * (u64)(start + j) + done, fmt,
                             (int)(part / (u64)type_size), GDMA_VALUE_DIR_S2S, node);
      }
      j += run;
    }
  }
}

void nodechip_index_select_common(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                                  u64 index_scratch, int type_size, const int *shape, int dims, int axis,
                                  cmd_id_node_t *node) {
  ASSERT(type_size == 4 || type_size == 1);
  ASSERT(dims >= 1 && dims <= 8 && axis >= -dims && axis < dims);
  ASSERT(index_num >= 0);
  for (int i = 0; i < dims; i++) ASSERT(shape[i] >= 0);
  index_select_view_t v;
  index_select_view_of(&v, shape, dims, axis, type_size);
  if (index_num == 0 || v.inner == 0) return;
  ASSERT(v.rows > 0);
  const int moved = v.axis != 0;
  u64 src = input, dst = output;
  if (moved) {
    if (type_size == 4)
      nodechip_transpose(input, buffer, v.shape, v.order, v.dims, 4, FW_STORE_MODE_1N, buffer2, NULL, node);
    else
      nodechip_transpose_fix8b(input, buffer, v.shape, v.order, v.dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N, buffer2,
                               NULL, node);
    src = buffer;
    dst = buffer2;
  }
  int gathered = 0;
  if (v.gde_type >= 0) {
    int view[2] = {(int)v.rows, (int)v.inner};
    gathered = index_select_gde(src, index, dst, view, 2, index_num, v.gde_type, node);
  }
  if (!gathered) index_select_gdma(src, index, index_num, dst, index_scratch, v.rows, v.inner, type_size, node);
  if (moved) {
    int out[8];
    for (int i = 0; i < v.dims; i++) out[i] = v.shape[v.order[i]];
    out[0] = index_num;
    if (type_size == 4)
      nodechip_transpose(buffer2, output, out, v.inverse, v.dims, 4, FW_STORE_MODE_1N, buffer, NULL, node);
    else
      nodechip_transpose_fix8b(buffer2, output, out, v.inverse, v.dims, FW_STORE_MODE_1N, FW_STORE_MODE_1N, buffer,
                               NULL, node);
  }
}

void nodechip_index_select(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                           u64 index_scratch, const int *shape, int dims, int axis, cmd_id_node_t *node) {
  nodechip_index_select_common(input, index, index_num, output, buffer, buffer2, index_scratch, 4, shape, dims,
                               axis, node);
}

void nodechip_index_select_fix8b(u64 input, u64 index, int index_num, u64 output, u64 buffer, u64 buffer2,
                                 u64 index_scratch, const int *shape, int dims, int axis, cmd_id_node_t *node) {
  nodechip_index_select_common(input, index, index_num, output, buffer, buffer2, index_scratch, 1, shape, dims,
                               axis, node);
}

// ---- Masked select ----

static int typesize2type(int bytes) {
  if (bytes != 4 && bytes != 1) ASSERT_FS(0, "not support format_bytes:%d\n", bytes);
  return bytes == 4 ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_INT8;
}

// shape at `target` dims, 1s in front (or appended with align_first).
static void expand_dims(const int *shape, int dims, int *out, int target, int align_first) {
  for (int i = 0; i < target; i++) out[i] = 1;
  for (int i = 0; i < dims; i++) out[align_first ? i : target - dims + i] = shape[i];
}

void masked_shapes_of(masked_shapes_t *m, const int *src_shape, int src_dims, const int *mask_shape, int mask_dims,
                      int align_first) {
  const int big = src_dims > mask_dims ? src_dims : mask_dims;
  m->rank = big > 4 ? big : 4;
  // Right-aligned shapes keep their 1s in front of the larger rank only;
  // both then take trailing 1s up to rank 4.
  const int lead = align_first ? m->rank : big;
  expand_dims(src_shape, src_dims, m->src, lead, align_first);
  expand_dims(mask_shape, mask_dims, m->mask, lead, align_first);
  for (int i = lead; i < m->rank; i++) m->src[i] = m->mask[i] = 1;
  m->tile_src = m->tile_mask = 0;
  m->ok = 1;
  for (int i = 0; i < m->rank; i++) {
    const int a = m->src[i], b = m->mask[i];
    m->out[i] = a > b ? a : b;
    if (a == b) continue;
    if (a == 1) m->tile_src = 1;
    else if (b == 1) m->tile_mask = 1;
    else m->ok = 0;
  }
}

masked_piece_t masked_piece_of(u64 remaining) {
  masked_piece_t p;
  const u64 e = remaining < MASKED_LANE_ELEMS ? remaining : MASKED_LANE_ELEMS;
  const u64 lanes = remaining / e;
  p.lanes = (int)(lanes < NPU_NUM ? lanes : NPU_NUM);
  // A full lane is 2 rows of 32768: the engine's extents are 16-bit.
  p.h = e == MASKED_LANE_ELEMS ? 2 : 1;
  p.w = (int)(e / (u64)p.h);
  return p;
}

// Tiles the operand (shape `in`) to `out` at rank dims into dst with one flat
// copy per contiguous block that is not repeated.
static void tile_flat(u64 src, const int *in, const int *out, int dims, int type_size, u64 dst,
                      cmd_id_node_t *node) {
  // Behind the last tiled dimension the operand is copied whole.
  int last = -1;
  for (int i = 0; i < dims; i++)
    if (in[i] != out[i]) last = i;
  u64 block = 1;
  for (int i = last + 1; i < dims; i++) block *= (u64)in[i];
  u64 outer = 1;
  for (int i = 0; i <= last; i++) outer *= (u64)out[i];
  const gdma_value_format_t fmt = type_size == 4 ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_INT8;
  for (u64 o = 0; o < outer; o++) {
    // The source block of output block o: its coordinates taken modulo 1.
    u64 rest = o, at = 0, stride = block;
    for (int i = last; i >= 0; i--) {
      const u64 c = rest % (u64)out[i];
      rest /= (u64)out[i];
      if (in[i] != 1) at += c * stride;
      stride *= (u64)in[i];
    }
    fix_cmd_node_overflow(node);
    for (u64 done = 0; done < block; done += 0x40000000u) {
      const u64 part = block - done < 0x40000000u ? block - done : 0x40000000u;
      general_gdma_gen_cmd(src + (at + done) * (u64)type_size, dst + (o * block + done) * (u64)type_size, fmt,
                           (int)part, GDMA_VALUE_DIR_S2S, node);
    }
  }
}

// A piece between device memory and local memory, one element per 4-byte slot.
static void load_piece(u32 local, u64 global, const masked_piece_t *p, int type_size, cmd_id_node_t *node) {
  const int e = p->h * p->w;
  const int slot = type_size == 4 ? 1 : 4;  // local w stride in elements of the format
  const int plane = (int)eu_plane((u32)e) * (4 / type_size);
  const gdma_value_format_t fmt = type_size == 4 ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_INT8;
  __tensor_general_move_gen_cmd(global, 0, 1, p->lanes, p->h, p->w, p->lanes * e, e, p->w, 1, fmt, local, 0, 1,
                                p->lanes, p->h, p->w, plane, plane, p->w * slot, slot, fmt, GDMA_VALUE_DIR_S2L, 0,
                                node);
}

// The common shape of the two operands; shapes that do not broadcast fail.
static void deal_with_shape(masked_shapes_t *m, const int *src_shape, int src_dims, const int *mask_shape,
                            int mask_dims, u8 align_first) {
  masked_shapes_of(m, src_shape, src_dims, mask_shape, mask_dims, align_first);
  if (!m->ok) ASSERT_FS(false, "shape is not broadcastable");
}

// The flat length of the common shape, which must not be empty.
static u64 data_convert(const masked_shapes_t *m) {
  u64 total_length = 1;
  for (int i = 0; i < m->rank; i++) total_length *= (u64)m->out[i];
  ASSERT_FS(total_length != 0);
  return total_length;
}

int nodechip_masked_select(u64 src, const int *src_shape, int src_dims, u64 mask, const int *mask_shape,
                           int mask_dims, u64 dst, int src_type_size, int mask_type_size, int src_store_mode,
                           int mask_store_mode, u64 buffer, u64 buffer2, u8 align_first, cmd_id_node_t *node) {
  const int src_dim_size = src_dims, mask_dim_size = mask_dims;
  ASSERT_FS(src_dim_size > 0 && mask_dim_size > 0);
  ASSERT(src_dims <= MASKED_MAX_DIMS && mask_dims <= MASKED_MAX_DIMS);
  typesize2type(src_type_size);
  typesize2type(mask_type_size);
  ASSERT(src_store_mode == FW_STORE_MODE_1N || src_store_mode == FW_STORE_MODE_4N);
  ASSERT(mask_store_mode == FW_STORE_MODE_1N || mask_store_mode == FW_STORE_MODE_4N);
  masked_shapes_t m;
  deal_with_shape(&m, src_shape, src_dims, mask_shape, mask_dims, align_first);
  const u64 total_length = data_convert(&m);
  // 4N operands become 1N (8-bit only), then the operand with extents 1 is
  // tiled; each result goes to the buffer, which advances behind it.
  u64 op[2] = {src, mask};
  const int sizes[2] = {src_type_size, mask_type_size};
  const int modes[2] = {src_store_mode, mask_store_mode};
  const int *shapes[2] = {m.src, m.mask};
  const int tiles[2] = {m.tile_src, m.tile_mask};
  for (int k = 0; k < 2; k++) {
    u64 len = 1;
    for (int i = 1; i < m.rank; i++) len *= (u64)shapes[k][i];
    if (modes[k] == FW_STORE_MODE_4N && sizes[k] == 1) {
      gdma_move_global_1N_and_4N(buffer, op[k], shapes[k][0], (int)len, 0, node);
      op[k] = buffer;
      buffer += (u64)shapes[k][0] * len;
    }
    if (tiles[k]) {
      tile_flat(op[k], shapes[k], m.out, m.rank, sizes[k], buffer, node);
      op[k] = buffer;
      buffer += total_length * (u64)sizes[k];
    }
  }
  if (mask_type_size == 1) {
    // The unused upper bytes of every 8-bit mask slot read as zero.
    const u32 zero = 0;
    fill_constant_gen_local_cmd_stride(MASKED_LOCAL_MASK, 0, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, NPU_NUM, 2,
                                       MASKED_LANE_ELEMS / 2, MASKED_LANE_ELEMS, MASKED_LANE_ELEMS,
                                       MASKED_LANE_ELEMS / 2, 1, node);
  }
  u64 selected = 0;
  for (u64 done = 0; done < total_length;) {
    const masked_piece_t p = masked_piece_of(total_length - done);
    fix_cmd_node_overflow(node);
    load_piece(MASKED_LOCAL_SRC, op[0] + done * (u64)src_type_size, &p, src_type_size, node);
    load_piece(MASKED_LOCAL_MASK, op[1] + done * (u64)mask_type_size, &p, mask_type_size, node);
    const int direct = src_type_size == 4 && selected == 0;
    const u64 out = dst + selected * (u64)src_type_size;
    tensor_general_move_with_mask_gen_cmd(MASKED_LOCAL_SRC, 0, MASKED_LOCAL_MASK, direct ? out : buffer2, 1, p.lanes,
                                          p.h, p.w, GDMA_VALUE_DIR_L2S, node);
    const int k = get_gdma_filter_res_num_gen_cmd(node);
    if (k > 0 && !direct)
      nodechip_memcpy_wstride(buffer2, out, src_type_size == 4 ? 1 : 4, 1, k, (u32)src_type_size, node);
    selected += (u64)k;
    done += (u64)p.lanes * (u64)p.h * (u64)p.w;
  }
  return (int)selected;
}

// ---- Where ----

static u32 bits_of(float f) {
  u32 u;
  memcpy(&u, &f, 4);
  return u;
}

// The flat indices of one chunk's non-zero elements to dst (512-byte
// aligned); returns their number.
static int flatten_index_v2(u64 chunk, u64 dst, int rows, int cols, float base, cmd_id_node_t *node) {
  const dim4_t shape = {1, rows, 1, cols};
  nodechip_serial_number_gen(0, WHERE_LOCAL_SEQ, WHERE_LOCAL_SEQ_SCRATCH, 0, rows, cols, node);
  if (base != 0.0f) tensor_f32_const_aligned_add(WHERE_LOCAL_SEQ, bits_of(base), WHERE_LOCAL_SEQ, &shape, NULL, node);
  const dim4_t global = {rows * cols, cols, cols, 1};
  tensor_general_load(WHERE_LOCAL_CHUNK, chunk, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
  tensor_general_move_with_mask_gen_cmd(WHERE_LOCAL_SEQ, 0, WHERE_LOCAL_CHUNK, dst, 1, rows, 1, cols,
                                        GDMA_VALUE_DIR_L2S, node);
  return get_gdma_filter_res_num_gen_cmd(node);
}

// Coordinate d of a chunk's elements from the flat values at WHERE_LOCAL_X
// (left there as the quotient; coordinate 0 is the value itself): r = x - q s with q = floor((x + 0.5) / s),
// corrected by one where the rounded reciprocal missed; r stored as int32.
static void coordinate(u64 out, int dims, int d, int s, const dim4_t *shape, cmd_id_node_t *node) {
  const u32 tag = LOCAL_ADDR_TAG;
  if (d == 0) {
    tensor_copy(WHERE_LOCAL_X, WHERE_LOCAL_R, shape, NULL, node);
  } else if (s == 1) {
    local_fill_const_gen_cmd(tag | WHERE_LOCAL_R, shape->n, shape->c, shape->h, shape->w, 0, node);
  } else {
    const float inv = (float)(1.0 / (double)s);
    const float fs = (float)s;
    // q = floor((x + 0.5) / s): truncation of a positive value, back to float
    // as 2^23 + q (the int32 below the exponent bits of 2^23) less 2^23.
    tensor_f32_const_aligned_add(WHERE_LOCAL_X, bits_of(0.5f), WHERE_LOCAL_Q, shape, NULL, node);
    tensor_f32_const_aligned_mul(WHERE_LOCAL_Q, bits_of(inv), WHERE_LOCAL_Q, shape, NULL, node);
    atomic_md_sfu_gen_cmd_(tag | WHERE_LOCAL_Q, tag | WHERE_LOCAL_Q, shape->n, shape->c, shape->h, shape->w, 0,
                           SFU_F2I, 0, node);
    tensor_i32_const_or(WHERE_LOCAL_Q, bits_of(8388608.0f), WHERE_LOCAL_Q, shape, NULL, node);
    tensor_f32_const_aligned_sub(WHERE_LOCAL_Q, bits_of(8388608.0f), WHERE_LOCAL_Q, shape, NULL, node);
    tensor_f32_const_aligned_mul(WHERE_LOCAL_Q, bits_of(fs), WHERE_LOCAL_T, shape, NULL, node);
    tensor_f32_aligned_sub(WHERE_LOCAL_X, WHERE_LOCAL_T, WHERE_LOCAL_R, shape, NULL, node);
    // r < 0: the quotient was one too large.
    tensor_f32_const_cmp_assign(WHERE_LOCAL_R, WHERE_LOCAL_C, 0, 0.0f, 1.0f, shape, NULL, node);
    tensor_f32_const_aligned_mul(WHERE_LOCAL_C, bits_of(fs), WHERE_LOCAL_T, shape, NULL, node);
    tensor_f32_aligned_add(WHERE_LOCAL_R, WHERE_LOCAL_T, WHERE_LOCAL_R, shape, NULL, node);
    tensor_f32_aligned_sub(WHERE_LOCAL_Q, WHERE_LOCAL_C, WHERE_LOCAL_Q, shape, NULL, node);
    // r >= s: one too small.
    tensor_f32_const_cmp_assign(WHERE_LOCAL_R, WHERE_LOCAL_C, 1, fs - 0.5f, 1.0f, shape, NULL, node);
    tensor_f32_const_aligned_mul(WHERE_LOCAL_C, bits_of(fs), WHERE_LOCAL_T, shape, NULL, node);
    tensor_f32_aligned_sub(WHERE_LOCAL_R, WHERE_LOCAL_T, WHERE_LOCAL_R, shape, NULL, node);
    tensor_f32_aligned_add(WHERE_LOCAL_Q, WHERE_LOCAL_C, WHERE_LOCAL_Q, shape, NULL, node);
    tensor_copy(WHERE_LOCAL_Q, WHERE_LOCAL_X, shape, NULL, node);
  }
  atomic_md_sfu_gen_cmd_(tag | WHERE_LOCAL_R, tag | WHERE_LOCAL_R, shape->n, shape->c, shape->h, shape->w, 0, SFU_F2I,
                         0, node);
  // Elements dims apart in device memory: the engine takes a w stride of 1 on
  // the destination, so each element travels as a row of its own.
  dim4_t ls;
  get_tensor_stride_by_shape(&ls, shape, 1, 1, 4, 0);
  const dim4_t cols = {shape->n, shape->c, shape->w, 1};
  const dim4_t local = {ls.n, ls.c, 1, 1};
  const dim4_t global = {shape->c * shape->w * dims, shape->w * dims, dims, 1};
  tensor_general_save(WHERE_LOCAL_R, out + 4u * (u64)d, GDMA_VALUE_FORMAT_FLOAT32, 1, &cols, &local, &global, node);
}

int nodechip_where_v2(u64 input, u64 output, u64 count_addr, u64 index_buffer, u64 count_scratch, const int *shape,
                      int dims, cmd_id_node_t *node) {
  ASSERT(dims >= 1 && dims <= 8);
  u64 total = 1;
  for (int i = 0; i < dims; i++) {
    ASSERT(shape[i] >= 0);
    total *= (u64)shape[i];
  }
  // Flat indices travel as float32: beyond 2^24 they would not be exact.
  ASSERT(total <= WHERE_MAX_ELEMS, "%u elements, at most 2^24", (unsigned)total);
  const u64 aligned = ALIGN(index_buffer, 512u);
  u64 T = 0;
  for (u64 len = total; len > 0;) {
    const int rows = (int)(len < NPU_NUM ? len : NPU_NUM);
    const u64 c = len / (u64)rows;
    const int cols = (int)(c < WHERE_FLAT_COLS ? c : WHERE_FLAT_COLS);
    const u64 first = total - len;
    fix_cmd_node_overflow(node);
    const int k = flatten_index_v2(input + 4u * first, aligned, rows, cols, (float)first, node);
    if (k > 0)
      general_gdma_gen_cmd(aligned, output + 4u * T, GDMA_VALUE_FORMAT_FLOAT32, k, GDMA_VALUE_DIR_S2S, node);
    T += (u64)k;
    len -= (u64)rows * (u64)cols;
  }
  if (count_addr != 0xffffffffffffffffull) {
    // The count is written also when nothing was selected.
    const u32 t = (u32)T;
    memcpy(arm_window_ptr(count_scratch, 4), &t, 4);
    general_gdma_gen_cmd(count_scratch, count_addr, GDMA_VALUE_FORMAT_FLOAT32, 1, GDMA_VALUE_DIR_S2S, node);
  }
  if (T == 0) return 0;
  general_gdma_gen_cmd(output, index_buffer, GDMA_VALUE_FORMAT_FLOAT32, (int)T, GDMA_VALUE_DIR_S2S, node);
  for (u64 len = T; len > 0;) {
    const int rows = (int)(len < NPU_NUM ? len : NPU_NUM);
    const u64 c = len / (u64)rows;
    const int cols = (int)(c < WHERE_COORD_COLS ? c : WHERE_COORD_COLS);
    const u64 first = T - len;
    const dim4_t sh = {1, rows, 1, cols};
    const dim4_t global = {rows * cols, cols, cols, 1};
    fix_cmd_node_overflow(node);
    tensor_general_load(WHERE_LOCAL_X, index_buffer + 4u * first, GDMA_VALUE_FORMAT_FLOAT32, 1, &sh, NULL, &global,
                        node);
    const u64 out = output + 4u * first * (u64)dims;
    for (int d = dims - 1; d >= 1; d--) coordinate(out, dims, d, shape[d], &sh, node);
    coordinate(out, dims, 0, 0, &sh, node);
    len -= (u64)rows * (u64)cols;
  }
  return (int)T;
}

// ---- Select ----

void nodechip_select(u64 cond, u64 a, int a_is_const, u32 a_const, u64 b, int b_is_const, u32 b_const, u64 output,
                     u64 count, int do_relu, float relu_upper_limit, int cond_is_int32, cmd_id_node_t *node) {
  for (u64 done = 0; done < count;) {
    const u64 left = count - done;
    const int w = (int)(left < SELECT_LANE_ELEMS ? left : SELECT_LANE_ELEMS);
    const u64 l = left / (u64)w;
    const int lanes = (int)(l < NPU_NUM ? l : NPU_NUM);
    const dim4_t shape = {1, lanes, 1, w};
    const dim4_t global = {lanes * w, w, w, 1};
    const u64 at = 4u * done;
    fix_cmd_node_overflow(node);
    tensor_general_load(SELECT_LOCAL_COND, cond + at, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
    if (!a_is_const)
      tensor_general_load(SELECT_LOCAL_A, a + at, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
    if (!b_is_const)
      tensor_general_load(SELECT_LOCAL_B, b + at, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
    nodechip_select_local(SELECT_LOCAL_COND, SELECT_LOCAL_A, a_is_const, a_const, SELECT_LOCAL_B, b_is_const,
                          b_const, SELECT_LOCAL_OUT, &shape, do_relu, bits_of(relu_upper_limit), cond_is_int32, node);
    tensor_general_save(SELECT_LOCAL_OUT, output + at, GDMA_VALUE_FORMAT_FLOAT32, 1, &shape, NULL, &global, node);
    done += (u64)lanes * (u64)w;
  }
}

void nodechip_masked_select_multi_input(const u64 *src_addrs, const u64 *dst_addrs, u64 mask, u64 buffer,
                                        u64 buffer2, int input_num, const int (*src_shapes)[4], const int *src_dims,
                                        const int *mask_shape, int mask_dims, const int *src_type_sizes,
                                        int mask_type_size, const int *src_store_modes, int mask_store_mode,
                                        u8 align_first, cmd_id_node_t *node, int *counts) {
  ASSERT(input_num >= 0 && input_num <= MASKED_MAX_INPUTS, "input_num=%d", input_num);
  if (input_num == 0) return;
  int order[MASKED_MAX_INPUTS];
  order[0] = 0;
  int fewest = src_dims[0];
  for (int i = 1; i < input_num; i++) {
    if (src_dims[i] < fewest) {
      order[i] = order[0];
      order[0] = i;
      fewest = src_dims[i];
    } else {
      order[i] = i;
    }
  }
  for (int k = 0; k < input_num; k++) {
    const int i = order[k];
    counts[i] = nodechip_masked_select(src_addrs[i], src_shapes[i], src_dims[i], mask, mask_shape, mask_dims,
                                       dst_addrs[i], src_type_sizes[i], mask_type_size, src_store_modes[i],
                                       mask_store_mode, buffer, buffer2, align_first, node);
    if (counts[i] == 0) {
      for (int j = k + 1; j < input_num; j++) counts[order[j]] = 0;
      return;
    }
  }
}
