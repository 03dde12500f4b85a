// Transpose and permute of tensors in device memory.
//
// A permutation is planned as a chain of rotations (transpose_plan_steps), then
// issued: through local memory for the float transpose, with strided global
// moves for the 8-bit one. 4N byte tensors whose batch axis moves are turned
// into 1N bytes first and back into 4N at the end.
#include "layers/data/transpose.h"

#include "cmd/tensor_view.h"
#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "cmd/local_mem.h"

// Ids above this are restarted before the next rotation piece (five GDMA
// commands at most) so that the 16-bit id fields never wrap.
#define XYZ2XZY_ID_LIMIT 65000u
// Extent of one strided move of the 8-bit rotation along each axis.
#define ROTATE_PIECE 65535

static inline int imin(int a, int b) { return a < b ? a : b; }

int transpose_order_valid(const int *order, int dims) {
  if (dims < 1 || dims > TRANSPOSE_MAX_DIMS) return 0;
  u32 seen = 0;
  for (int i = 0; i < dims; i++) {
    if (order[i] < 0 || order[i] >= dims || (seen & (1u << order[i]))) return 0;
    seen |= 1u << order[i];
  }
  return 1;
}

int transpose_plan_steps(const int *extents, const int *order, int dims, transpose_step_t *steps) {
  int cur[TRANSPOSE_MAX_DIMS];
  for (int i = 0; i < dims; i++) cur[i] = i;
  int count = 0;
  int prefix = 1;
  for (int i = 0; i < dims; i++) {
    const int a = order[i];
    if (cur[i] != a) {
      int j = i + 1;
      while (cur[j] != a) j++;
      // cur[i .. j - 1] moves behind cur[j .. dims - 1].
      int y = 1, z = 1;
      for (int k = i; k < j; k++) y *= extents[cur[k]];
      for (int k = j; k < dims; k++) z *= extents[cur[k]];
      int rotated[TRANSPOSE_MAX_DIMS];
      int r = 0;
      for (int k = j; k < dims; k++) rotated[r++] = cur[k];
      for (int k = i; k < j; k++) rotated[r++] = cur[k];
      for (int k = 0; k < r; k++) cur[i + k] = rotated[k];
      if (y != 1 && z != 1) {
        steps[count].x = prefix;
        steps[count].y = y;
        steps[count].z = z;
        count++;
      }
    }
    prefix *= extents[a];
  }
  return count;
}

// ---- Rotations ----

void nodechip_permute_xyz2xzy(u64 src, u64 dst, int x, int y, int z, int format, cmd_id_node_t *node) {
  const int s = get_type_len(format);
  ASSERT_FS(s != 0, "format=%d", format);
  const gdma_value_format_t fmt = (gdma_value_format_t)format;
  const int block = 2000 / s;
  const u64 plane = (u64)y * (u64)z;
  for (int x0 = 0; x0 < x; x0 += 3) {
    const int xc = imin(x - x0, 3);
    for (int y0 = 0; y0 < y; y0 += block) {
      const int yc = imin(y - y0, block);
      for (int z0 = 0; z0 < z; z0 += block) {
        const int zc = imin(z - z0, block);
        if (node->gdma_cmd_id > XYZ2XZY_ID_LIMIT) {
          poll_all_engine_done_internal(node);
          resync_cmd_id(node);
        }
        const int y_rows = (int)lane_rows(0, (u32)yc), z_rows = (int)lane_rows(0, (u32)zc);
        // y over the lanes.
        const u64 from = src + (u64)s * ((u64)x0 * plane + (u64)y0 * (u64)z + (u64)z0);
        move_g2l(global_view(from, dim4(xc, yc, 1, zc), dim4((int)plane, z, z, 1), fmt),
                 local_view(0, 0, dim4(y_rows * zc, zc, zc, 1), fmt), node);
        for (int k = 0; k < xc; k++)
          cwtrans_gen_cmd(TRANSPOSE_LOCAL_SRC + (u64)k * (u64)s * (u64)y_rows * (u64)zc,
                          TRANSPOSE_LOCAL_DST + (u64)k * (u64)s * (u64)yc * (u64)z_rows, yc, zc, fmt, zc, yc,
                          node);
        // z over the lanes.
        const u64 to = dst + (u64)s * ((u64)x0 * plane + (u64)z0 * (u64)y + (u64)y0);
        move_l2g(local_view(TRANSPOSE_LOCAL_HALF, 0, dim4(yc * z_rows, yc, yc, 1), fmt),
                 global_view(to, dim4(xc, zc, 1, yc), dim4((int)plane, y, y, 1), fmt), node);
      }
    }
  }
}

// One rotation of the 8-bit transpose with global strided moves alone.
static void rotate_by_stride(u64 src, u64 dst, const transpose_step_t *step, gdma_value_format_t fmt,
                             cmd_id_node_t *node) {
  const int s = get_type_len(fmt);
  const int x = step->x, y = step->y, z = step->z;
  const u64 plane = (u64)y * (u64)z;
  for (int x0 = 0; x0 < x; x0 += ROTATE_PIECE) {
    const int xc = imin(x - x0, ROTATE_PIECE);
    for (int y0 = 0; y0 < y; y0 += ROTATE_PIECE) {
      const int yc = imin(y - y0, ROTATE_PIECE);
      for (int z0 = 0; z0 < z; z0 += ROTATE_PIECE) {
        const int zc = imin(z - z0, ROTATE_PIECE);
        const u64 from = src + (u64)s * ((u64)x0 * plane + (u64)y0 * (u64)z + (u64)z0);
        const u64 to = dst + (u64)s * ((u64)x0 * plane + (u64)z0 * (u64)y + (u64)y0);
        // Written with y and z exchanged: the destination's h stride 1, c stride y.
        const dim4_t block = dim4(xc, yc, zc, 1);
        move_g2g(global_view(from, block, dim4((int)plane, z, 1, 1), fmt),
                 global_view(to, block, dim4((int)plane, 1, y, 1), fmt), node);
      }
    }
  }
}

// ---- Transposes ----

static int product(const int *extents, int from, int to) {
  int p = 1;
  for (int i = from; i < to; i++) p *= extents[i];
  return p;
}

void nodechip_transpose(u64 input, u64 output, const int *shape, const int *order, int dims, int type_len,
                        int store_mode, u64 buffer, u64 *buffer_size, cmd_id_node_t *node) {
  ASSERT_FS(dims <= 8);
  ASSERT_FS(store_mode != FW_STORE_MODE_2N);
  // The plan follows order[] through the axes: it must name each axis once.
  ASSERT_FS(transpose_order_valid(order, dims));
  int view[TRANSPOSE_MAX_DIMS];
  for (int i = 0; i < dims; i++) view[i] = shape[i];
  const int n = shape[0];
  const int rest = product(shape, 1, dims);
  int format;
  int convert = 0;
  u64 bytes;
  if (store_mode == FW_STORE_MODE_4N) {
    ASSERT_FS(type_len == 1);
    if (order[0] == 0) {
      view[0] = (int)ceil_div(n, 4);
      format = GDMA_VALUE_FORMAT_FLOAT32;
    } else {
      convert = 1;
      format = GDMA_VALUE_FORMAT_INT8;
    }
    bytes = (u64)ceil_div(n, 4) * 4u * (u64)rest;
  } else {
    // Other element sizes would be rotated as words of the wrong size.
    ASSERT_FS(type_len == 1 || type_len == 2 || type_len == 4);
    format = type_len == 1 ? GDMA_VALUE_FORMAT_INT8 : type_len == 2 ? 4 : GDMA_VALUE_FORMAT_FLOAT32;
    bytes = (u64)n * (u64)type_len * (u64)rest;
  }
  transpose_step_t steps[TRANSPOSE_MAX_DIMS];
  const int count = transpose_plan_steps(view, order, dims, steps);
  // The buffer holds an intermediate whenever there is a conversion (the 1N
  // image goes through it even without a rotation) or more than one rotation.
  if (buffer_size) {
    *buffer_size = (convert || count > 1) ? bytes : 0;
    return;
  }
  const gdma_value_format_t fmt = (gdma_value_format_t)format;
  if (count == 0 && !convert) {
    general_gdma_gen_cmd(input, output, fmt, product(view, 0, dims), GDMA_VALUE_DIR_S2S, node);
    return;
  }
  const int odd = count % 2;
  u64 src = input;
  int dst_is_output = odd;
  if (convert) {
    // The 1N image goes where the first rotation reads; the last one then
    // writes the buffer.
    src = odd ? output : buffer;
    dst_is_output = !odd;
    gdma_move_global_1N_and_4N(src, input, n, rest, 0, node);
  }
  for (int i = 0; i < count; i++) {
    const u64 dst = dst_is_output ? output : buffer;
    nodechip_permute_xyz2xzy(src, dst, steps[i].x, steps[i].y, steps[i].z, format, node);
    src = dst;
    dst_is_output = !dst_is_output;
  }
  if (convert) {
    const int out_n = shape[order[0]];
    gdma_move_global_1N_and_4N(buffer, output, out_n, n * rest / out_n, 1, node);
  }
}

void nodechip_transpose_fix8b(u64 input, u64 output, const int *shape, const int *order, int dims,
                              int in_store_mode, int out_store_mode, u64 buffer, u64 *buffer_size,
                              cmd_id_node_t *node) {
  ASSERT_FS(dims <= 8);
  ASSERT(in_store_mode != FW_STORE_MODE_2N);
  ASSERT(out_store_mode != FW_STORE_MODE_2N);
  ASSERT_FS(transpose_order_valid(order, dims));
  int view[TRANSPOSE_MAX_DIMS];
  for (int i = 0; i < dims; i++) view[i] = shape[i];
  const int n = shape[0];
  const int rest = product(shape, 1, dims);
  const int out_n = shape[order[0]];
  const int out_rest = n * rest / out_n;
  const int in_4n = in_store_mode == FW_STORE_MODE_4N;
  const int out_4n = out_store_mode == FW_STORE_MODE_4N;
  const int view_4n = in_4n && order[0] == 0;
  const int convert = in_4n && !view_4n;
  gdma_value_format_t fmt = GDMA_VALUE_FORMAT_INT8;
  if (view_4n) {
    view[0] = (int)ceil_div(n, 4);
    fmt = GDMA_VALUE_FORMAT_FLOAT32;
  }
  const int same = out_4n == view_4n;
  transpose_step_t steps[TRANSPOSE_MAX_DIMS];
  const int count = transpose_plan_steps(view, order, dims, steps);
  if (buffer_size) {
    const int direct = same && (count == 0 || (count == 1 && !convert));
    u64 bytes = view_4n ? 4u * (u64)ceil_div(n, 4) * (u64)rest : (u64)n * (u64)rest;
    const u64 out_bytes = (u64)ceil_div(out_n, 4) * 4u * (u64)out_rest;
    if (out_4n && out_bytes > bytes) bytes = out_bytes;
    *buffer_size = direct ? 0 : bytes;
    return;
  }
  if (count == 0) {
    if (convert) {
      // No rotation: the 1N image is already the output's 1N image.
      if (same) {
        gdma_move_global_1N_and_4N(output, input, n, rest, 0, node);
      } else {
        gdma_move_global_1N_and_4N(buffer, input, n, rest, 0, node);
        gdma_move_global_1N_and_4N(buffer, output, out_n, out_rest, 1, node);
      }
      return;
    }
    const int count_all = product(view, 0, dims);
    if (same) {
      general_gdma_gen_cmd(input, output, fmt, count_all, GDMA_VALUE_DIR_S2S, node);
      return;
    }
    general_gdma_gen_cmd(input, buffer, fmt, count_all, GDMA_VALUE_DIR_S2S, node);
  } else {
    const int first_to_buffer = (count % 2 == 0) == same;
    u64 src = input;
    if (convert) {
      src = first_to_buffer ? output : buffer;
      gdma_move_global_1N_and_4N(src, input, n, rest, 0, node);
    }
    int dst_is_output = !first_to_buffer;
    for (int i = 0; i < count; i++) {
      const u64 dst = dst_is_output ? output : buffer;
      rotate_by_stride(src, dst, &steps[i], fmt, node);
      src = dst;
      dst_is_output = !dst_is_output;
    }
    if (same) return;
  }
  // The result is in the buffer in the view's mode.
  if (out_4n)
    gdma_move_global_1N_and_4N(buffer, output, out_n, out_rest, 1, node);
  else
    gdma_move_global_1N_and_4N(output, buffer, out_n, out_rest, 0, node);
}

// ---- Permute (n, c, h, w) to (n, h, w, c) ----

// Bytes of one channel of an h x w float32 plane in the EU-aligned local layout.
static inline i64 get_neuron_csize_local(int h, int w) {
  return align_up((i64)h * (i64)w, EU_NUM) * 4;
}

// Each of `items` items of c x h x w words: loaded with channels over the
// lanes, C and W exchanged, stored with the h x w positions over the lanes.
static void permute_items(u64 input, u64 output, int items, int c, int h, int w, cmd_id_node_t *node) {
  // The callers have checked the plane against local memory, so h x w fits
  // an int once computed in 64 bits.
  const int hw = (int)((i64)h * w);
  const u64 item_bytes = (u64)c * (u64)hw * 4u;
  const int hw_aligned = (int)(get_neuron_csize_local(h, w) / 4);
  const int c_aligned = (int)(get_neuron_csize_local(1, c) / 4);
  for (int b = 0; b < items; b++) {
    // Three commands per item: restart the ids before they can wrap.
    fix_cmd_node_overflow(node);
    tensor_align_move_gen_cmd(0, 0, input + (u64)b * item_bytes, 1, c, h, w, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, node);
    cwtrans_gen_cmd(TRANSPOSE_LOCAL_SRC, TRANSPOSE_LOCAL_DST, c, hw, GDMA_VALUE_FORMAT_FLOAT32, hw_aligned,
                    c_aligned, node);
    tensor_align_move_gen_cmd(TRANSPOSE_LOCAL_HALF, 0, output + (u64)b * item_bytes, 1, hw, 1, c,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
  }
}

void nodechip_permute_by_gdma(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w,
                              cmd_id_node_t *node) {
  // Negative or zero extents would pass the local-memory check below with
  // negative sizes (and a negative batch would copy nothing).
  ASSERT_FS(input_n >= 0 && input_c > 0 && input_h > 0 && input_w > 0);
  const i64 w_per_npu = ceil_div((i64)input_h * input_w, NPU_NUM);
  const i64 c_per_npu = ceil_div(input_c, NPU_NUM);
  ASSERT_FS((get_neuron_csize_local(1, input_c) * w_per_npu < (1<<19) / 2) && (get_neuron_csize_local(input_h, input_w) * c_per_npu < (1<<19) / 2));
  permute_items(input, output, input_n, input_c, input_h, input_w, node);
}

void nodechip_permute_fix8b_by_gdma(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w,
                                    cmd_id_node_t *node) {
  // Negative or zero extents would pass the local-memory check below with
  // negative sizes (and a negative batch would copy nothing).
  ASSERT_FS(input_n >= 0 && input_c > 0 && input_h > 0 && input_w > 0);
  const i64 w_per_npu = ceil_div((i64)input_h * input_w, NPU_NUM);
  const i64 c_per_npu = ceil_div(input_c, NPU_NUM);
  ASSERT_FS((get_neuron_csize_local(1, input_c) * w_per_npu < (1<<19) / 2) && (get_neuron_csize_local(input_h, input_w) * c_per_npu < (1<<19) / 2));
  // Four items share each word: the groups move as float32 words.
  permute_items(input, output, (int)ceil_div(input_n, 4), input_c, input_h, input_w, node);
}
