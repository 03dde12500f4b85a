// ARM read-back of single values and the filter by batch flags.
#include "layers/data/select.h"

#include <string.h>

#include "cmd/gde_gather.h"
#include "cmd/gdma.h"
#include "layers/data/transpose.h"
#include "cmd/tensor_shape.h"
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
  const float *flag = (const float *)arm_window_ptr(flag_scratch, 4u * (u64)N);
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

static inline u64 align128(u64 a) { return (a + 127) / 128 * 128; }

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
  const u64 index_l2 = align128(in_l2 + rows * item);
  const u64 out_l2 = align128(index_l2 + 4u * (u64)index_num);
  if (out_l2 + (u64)index_num * item > L2_SRAM_SCRATCH_END) return 0;
  general_gdma_gen_cmd(input, in_l2, GDMA_VALUE_FORMAT_FLOAT32, (int)(rows * item / 4), GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(index, index_l2, GDMA_VALUE_FORMAT_FLOAT32, index_num, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
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
  const int *idx = (const int *)arm_window_ptr(scratch, 4u * (u64)(index_num < INDEX_SELECT_CHUNK ? index_num
                                                                                                  : INDEX_SELECT_CHUNK));
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
