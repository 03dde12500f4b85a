// Tile and broadcast_like of tensors in device memory.
#include "layers/data/tile.h"

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/local_mem.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "layers/data/copy.h"

#define GDMA_DIM_MAX 65535

// 4N groups of n items.
static inline int ceil4(int n) { return (int)ceil_div(n, 4); }

static int product(const int *extents, int from, int to) {
  int p = 1;
  for (int i = from; i < to; i++) p *= extents[i];
  return p;
}

// ---- One axis ----

static void tile_axis(u64 input, u64 output, const int *shape, int tile_dim, int tile_num, int src_format,
                      int dst_format, int flag, cmd_id_node_t *node) {
  const int split = flag ? tile_dim + 1 : tile_dim;
  const int outer = product(shape, 0, split);
  const int inner = product(shape, split, 4);
  const u64 src_size = (u64)get_type_len(src_format), dst_size = (u64)get_type_len(dst_format);
  const gdma_value_format_t sf = (gdma_value_format_t)src_format, df = (gdma_value_format_t)dst_format;
  if (tile_num <= GDMA_DIM_MAX && inner <= GDMA_DIM_MAX) {
    for (int o = 0; o < outer; o += GDMA_DIM_MAX) {
      const int r = outer - o < GDMA_DIM_MAX ? outer - o : GDMA_DIM_MAX;
      // The zero h stride reads each row tile_num times.
      const dim4_t tiles = dim4(1, r, tile_num, inner);
      move_g2g(global_view(input + (u64)o * (u64)inner * src_size, tiles, dim4(0, inner, 0, 1), sf),
               global_view(output + (u64)o * (u64)tile_num * (u64)inner * dst_size, tiles,
                           dim4(0, tile_num * inner, inner, 1), df),
               node);
    }
    return;
  }
  for (int o = 0; o < outer; o++) {
    fix_cmd_node_overflow(node);
    nodechip_global_memcpy_ex(input + (u64)o * (u64)inner * src_size,
                              output + (u64)o * (u64)tile_num * (u64)inner * dst_size, tile_num, 0, inner,
                              src_format, dst_format, inner, node);
  }
}

void nodechip_tile_forward(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w, int tile_dim,
                           int tile_num, int src_format, int dst_format, int flag, cmd_id_node_t *node) {
  if (tile_dim < 0) tile_dim += TENSOR_DIM_NUM;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  ASSERT_FS(tile_dim >= 0 && tile_dim < TENSOR_DIM_NUM, "tile_dim=%d must in range [0, %d)\n", tile_dim,
            TENSOR_DIM_NUM);
  const int shape[4] = {input_n, input_c, input_h, input_w};
  tile_axis(input, output, shape, tile_dim, tile_num, src_format, dst_format, flag, node);
}

void nodechip_tile_forward_fix8b(u64 input, u64 output, int input_n, int input_c, int input_h, int input_w,
                                 int tile_dim, int tile_num, int src_format, int dst_format, int flag,
                                 cmd_id_node_t *node) {
  if (tile_dim < 0) tile_dim += TENSOR_DIM_NUM;
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  ASSERT(tile_dim >= 0 && tile_dim < TENSOR_DIM_NUM, "tile_dim=%d must in range [0, %d)\n", tile_dim,
         TENSOR_DIM_NUM);
  const int shape[4] = {input_n, input_c, input_h, input_w};
  tile_axis(input, output, shape, tile_dim, tile_num, src_format, dst_format, flag, node);
}

// ---- Several axes ----

void tile_plan_of(const int *tile_coeff, int dims, tile_plan_t *plan) {
  int axis[TILE_MAX_DIMS];
  for (int i = 0; i < dims; i++) axis[i] = i;
  for (int i = 0; i < dims; i++)
    for (int j = i + 1; j < dims; j++)
      if (tile_coeff[axis[j]] < tile_coeff[axis[i]]) {
        const int t = axis[i];
        axis[i] = axis[j];
        axis[j] = t;
      }
  plan->steps = 0;
  for (int i = 0; i < dims; i++)
    if (tile_coeff[axis[i]] != 1) {
      plan->axis[plan->steps] = axis[i];
      plan->count[plan->steps] = tile_coeff[axis[i]];
      plan->steps++;
    }
}

// Runs a plan's steps from src: the first step writes `first`, each later one
// the other of output and buffer. cur holds the extents and is updated.
static void tile_steps(u64 src, u64 first, u64 output, u64 buffer, const tile_plan_t *plan, int *cur, int dims,
                       int src_format, int dst_format, int flag, int fix8b, cmd_id_node_t *node) {
  u64 dst = first;
  for (int s = 0; s < plan->steps; s++) {
    const int a = plan->axis[s], t = plan->count[s];
    const int before = product(cur, 0, a), after = product(cur, a + 1, dims);
    if (fix8b)
      nodechip_tile_forward_fix8b(src, dst, 1, before, cur[a], after, 2, t, src_format, dst_format, flag, node);
    else
      nodechip_tile_forward(src, dst, 1, before, cur[a], after, 2, t, src_format, dst_format, flag, node);
    cur[a] *= t;
    src = dst;
    dst = dst == output ? buffer : output;
  }
}

void nodechip_tile_full(u64 input, u64 buffer, u64 output, const int *shape, const int *tile_coeff, int input_dim,
                        int src_format, int dst_format, int flag, cmd_id_node_t *node) {
  ASSERT_FS(input_dim <= 8);
  tile_plan_t plan;
  tile_plan_of(tile_coeff, input_dim, &plan);
  int cur[TILE_MAX_DIMS];
  for (int i = 0; i < input_dim; i++) cur[i] = shape[i];
  if (plan.steps == 0) {
    nodechip_tile_forward(input, output, 1, 1, 1, product(cur, 0, input_dim), 3, 1, src_format, dst_format, flag,
                          node);
    return;
  }
  tile_steps(input, plan.steps % 2 ? output : buffer, output, buffer, &plan, cur, input_dim, src_format, dst_format,
             flag, 0, node);
}

void nodechip_tile_full_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape,
                              const int *tile_coeff, int input_dim, int in_store_mode, int out_store_mode, int flag,
                              cmd_id_node_t *node) {
  int s[4] = {1, 1, 1, 1}, t[4] = {1, 1, 1, 1};
  if (input_dim <= 4) {
    for (int i = 0; i < input_dim; i++) s[i] = shape[i], t[i] = tile_coeff[i];
  } else {
    s[0] = shape[0], t[0] = tile_coeff[0];
    s[1] = shape[1], t[1] = tile_coeff[1];
    int tiled_from_2 = 0, only_last = 1, only_2 = 1;
    for (int i = 2; i < input_dim; i++)
      if (tile_coeff[i] != 1) {
        tiled_from_2++;
        if (i != input_dim - 1) only_last = 0;
        if (i != 2) only_2 = 0;
      }
    if (tiled_from_2 == 0 || only_last) {
      s[2] = shape[2], t[2] = tile_coeff[2];
      for (int i = 3; i < input_dim; i++) s[3] *= shape[i], t[3] *= tile_coeff[i];
    } else if (only_2) {
      t[2] = tile_coeff[2];
      for (int i = 2; i < input_dim - 1; i++) s[2] *= shape[i];
      s[3] = shape[input_dim - 1];
    } else {
      ASSERT(0);
    }
  }
  nodechip_tile_dim4_fix8b(input, output, buffer, buffer_size, s, t, 4, in_store_mode, out_store_mode, flag, node);
}

void nodechip_tile_dim4_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape,
                              const int *tile_coeff, int input_dim, int in_store_mode, int out_store_mode, int flag,
                              cmd_id_node_t *node) {
  ASSERT(input_dim == 4);
  ASSERT(in_store_mode != FW_STORE_MODE_2N);
  ASSERT(out_store_mode != FW_STORE_MODE_2N);
  const int n = shape[0];
  const int rest = (int)((i64)shape[1] * shape[2] * shape[3]);
  const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
  const int convert = in_4n && tile_coeff[0] > 1;
  const int view_4n = in_4n && !convert;
  const int same = out_4n == view_4n;
  int view[4] = {shape[0], shape[1], shape[2], shape[3]};
  int format = GDMA_VALUE_FORMAT_INT8;
  if (view_4n) {
    view[0] = ceil4(n);
    format = GDMA_VALUE_FORMAT_FLOAT32;
  }
  tile_plan_t plan;
  tile_plan_of(tile_coeff, 4, &plan);
  const i64 out_n = (i64)n * tile_coeff[0];
  const i64 out_rest = (i64)rest * tile_coeff[1] * tile_coeff[2] * tile_coeff[3];
  if (buffer_size) {
    const u64 in_bytes = (u64)(in_4n ? 4 * (i64)ceil4(n) : (i64)n) * (u64)(i64)rest;
    // A 4N intermediate holds whole groups even when the output is 1N.
    const u64 out_bytes = (u64)(out_4n || view_4n ? 4 * (i64)ceil4(out_n) : out_n) * (u64)out_rest;
    int largest = 1;
    for (int i = 0; i < plan.steps; i++)
      if (plan.count[i] > largest) largest = plan.count[i];
    const u64 step_bytes = out_bytes / (u64)largest;
    if (same)
      *buffer_size = (plan.steps <= 1 && !convert) ? 0 : (step_bytes > in_bytes ? step_bytes : in_bytes);
    else
      *buffer_size = out_bytes > in_bytes ? out_bytes : in_bytes;
    return;
  }
  if (plan.steps == 0) {
    const int all = product(view, 0, 4);
    const u64 to = same ? output : buffer;
    nodechip_tile_forward_fix8b(input, to, 1, 1, 1, all, 3, 1, format, format, flag, node);
    if (!same) {
      if (out_4n)
        gdma_move_global_1N_and_4N(buffer, output, n, rest, 1, node);
      else
        gdma_move_global_1N_and_4N(output, buffer, n, rest, 0, node);
    }
    return;
  }
  const int first_to_buffer = (plan.steps % 2 == 0) == same;
  const u64 first = first_to_buffer ? buffer : output;
  u64 src = input;
  if (convert) {
    src = first_to_buffer ? output : buffer;
    gdma_move_global_1N_and_4N(src, input, n, rest, 0, node);
  }
  tile_steps(src, first, output, buffer, &plan, view, 4, format, format, flag, 1, node);
  if (same) return;
  if (out_4n)
    gdma_move_global_1N_and_4N(buffer, output, (int)out_n, (int)out_rest, 1, node);
  else
    gdma_move_global_1N_and_4N(output, buffer, (int)out_n, (int)out_rest, 0, node);
}

// ---- broadcast_like ----

int get_broadcast_like_tile_coeff(const int *shape, int dims, const int *target_shape, int target_dims,
                                  const int *axes, const int *target_axes, int axis_count, int *tile_coeff) {
  for (int i = 0; i < dims; i++) tile_coeff[i] = 1;
  if (axis_count == 0) {
    for (int i = 0; i < dims; i++)
      if (shape[i] == 1) tile_coeff[i] = target_shape[i];
    return dims;
  }
  for (int k = 0; k < axis_count; k++) {
    const int a = axes[k] < 0 ? axes[k] + dims : axes[k];
    const int b = target_axes[k] < 0 ? target_axes[k] + target_dims : target_axes[k];
    // Both index their shapes.
    ASSERT_FS(a >= 0 && a < dims && b >= 0 && b < target_dims);
    tile_coeff[a] = target_shape[b];
  }
  return dims;
}

void nodechip_broadcast_like(u64 input, u64 buffer, u64 output, const int *shape, int dims, const int *target_shape,
                             int target_dims, const int *axes, const int *target_axes, int axis_count, int is_8bit,
                             int in_store_mode, int out_store_mode, cmd_id_node_t *node) {
  ASSERT_FS(dims >= 1 && dims <= TILE_MAX_DIMS);
  int coeff[TILE_MAX_DIMS];
  get_broadcast_like_tile_coeff(shape, dims, target_shape, target_dims, axes, target_axes, axis_count, coeff);
  if (is_8bit == 0)
    nodechip_tile_full(input, buffer, output, shape, coeff, dims, 0, 0, 0, node);
  else
    nodechip_tile_full_fix8b(input, output, buffer, nullptr, shape, coeff, dims, in_store_mode, out_store_mode, 0,
                             node);
}
