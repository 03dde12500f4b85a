// Row copies, crops and the embedding copy, as strided GDMA moves from device
// memory to device memory.
#include "layers/data/copy.h"

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "cmd/gdma.h"
#include "cmd/tensor_shape.h"

static inline gdma_value_format_t fmt_of(int format) { return (gdma_value_format_t)format; }

// A general move between two global tensors of one shape.
static void move_s2s(u64 src, const int *shape, const int *src_stride, gdma_value_format_t src_format, u64 dst,
                     const int *dst_stride, gdma_value_format_t dst_format, cmd_id_node_t *node) {
  move_g2g(global_view(src, dim4_from(shape), dim4_from(src_stride), src_format),
           global_view(dst, dim4_from(shape), dim4_from(dst_stride), dst_format), node);
}

void row_copy_plan_of(int count, row_copy_plan_t *plan) {
  if (count <= ROW_COPY_MAX_ROWS) {
    plan->moves = 1;
    plan->h[0] = 1;
    plan->w[0] = count;
    plan->first[0] = 0;
    return;
  }
  const int whole = count / ROW_COPY_PIECE * ROW_COPY_PIECE;
  plan->moves = 1;
  plan->h[0] = whole / ROW_COPY_PIECE;
  plan->w[0] = ROW_COPY_PIECE;
  plan->first[0] = 0;
  if (count > whole) {
    plan->moves = 2;
    plan->h[1] = 1;
    plan->w[1] = count - whole;
    plan->first[1] = whole;
  }
}

void nodechip_global_memcpy_internal(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride,
                                     int src_format, int dst_format, int count, cmd_id_node_t *node) {
  const u64 src_size = (u64)get_type_len(src_format), dst_size = (u64)get_type_len(dst_format);
  row_copy_plan_t plan;
  row_copy_plan_of(count, &plan);
  for (int i = 0; i < plan.moves; i++) {
    const int shape[4] = {input_n, 1, plan.h[i], plan.w[i]};
    const int run = plan.h[i] * plan.w[i];
    const int src_stride[4] = {src_nstride, run, plan.w[i], 1};
    const int dst_stride[4] = {dst_nstride, run, plan.w[i], 1};
    move_s2s(src + (u64)plan.first[i] * src_size, shape, src_stride, fmt_of(src_format),
             dst + (u64)plan.first[i] * dst_size, dst_stride, fmt_of(dst_format), node);
  }
}

void nodechip_global_memcpy_ex(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int src_format,
                               int dst_format, int count, cmd_id_node_t *node) {
  if (input_n == 0 || count == 0) return;
  const u64 src_size = (u64)get_type_len(src_format), dst_size = (u64)get_type_len(dst_format);
  for (int done = 0; done < input_n;) {
    const int rows = input_n - done < ROW_COPY_MAX_ROWS ? input_n - done : ROW_COPY_MAX_ROWS;
    nodechip_global_memcpy_internal(src, dst, rows, src_nstride, dst_nstride, src_format, dst_format, count, node);
    src += (u64)rows * (u64)(i64)src_nstride * src_size;
    dst += (u64)rows * (u64)(i64)dst_nstride * dst_size;
    done += rows;
  }
}

void nodechip_global_memcpy(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int count,
                            cmd_id_node_t *node) {
  ASSERT_FS(src_nstride >= 0 && dst_nstride >= 0);
  nodechip_global_memcpy_ex(src, dst, input_n, src_nstride, dst_nstride, GDMA_VALUE_FORMAT_FLOAT32,
                            GDMA_VALUE_FORMAT_FLOAT32, count, node);
}

void nodechip_global_fix8b_memcpy(u64 src, u64 dst, int input_n, int src_nstride, int dst_nstride, int count,
                                  cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0);
  ASSERT_FS(count > 0);
  ASSERT_FS(src_nstride >= 0 && dst_nstride >= 0);
  nodechip_global_memcpy_ex(src, dst, input_n, src_nstride, dst_nstride, GDMA_VALUE_FORMAT_INT8,
                            GDMA_VALUE_FORMAT_INT8, count, node);
}

// The output_shape window at element `first` of a dense tensor whose inner
// extents are (c, h, w), in elements of `format`.
static void crop_window(u64 input, u64 output, u64 first, int batch, const int *output_shape, const int *input_shape,
                        gdma_value_format_t format, cmd_id_node_t *node) {
  const u64 size = (u64)get_type_len(format);
  const int shape[4] = {batch, output_shape[1], output_shape[2], output_shape[3]};
  const int src_stride[4] = {input_shape[1] * input_shape[2] * input_shape[3], input_shape[2] * input_shape[3],
                             input_shape[3], 1};
  const int dst_stride[4] = {output_shape[1] * output_shape[2] * output_shape[3], output_shape[2] * output_shape[3],
                             output_shape[3], 1};
  move_s2s(input + first * size, shape, src_stride, format, output, dst_stride, format, node);
}

static u64 window_start(int n_offset, const int *offset, const int *input_shape) {
  return (((u64)n_offset * (u64)input_shape[1] + (u64)offset[1]) * (u64)input_shape[2] + (u64)offset[2]) *
             (u64)input_shape[3] +
         (u64)offset[3];
}

void nodechip_crop(u64 input, u64 output, const int *offset, const int *output_shape, const int *input_shape,
                   cmd_id_node_t *node) {
  crop_window(input, output, window_start(offset[0], offset, input_shape), output_shape[0], output_shape,
              input_shape, GDMA_VALUE_FORMAT_FLOAT32, node);
}

// A 4N crop moves whole groups of four items as words.
static void crop_4n(u64 input, u64 output, int n_offset, const int *offset, const int *output_shape,
                    const int *input_shape, cmd_id_node_t *node) {
  crop_window(input, output, window_start(n_offset / 4, offset, input_shape), (output_shape[0] + 3) / 4,
              output_shape, input_shape, GDMA_VALUE_FORMAT_FLOAT32, node);
}

void nodechip_crop_fix8b(u64 input, u64 output, const int *offset, const int *output_shape, const int *input_shape,
                         cmd_id_node_t *node) {
  const int n_offset = offset[0];
  ASSERT(n_offset % 4 == 0);
  crop_4n(input, output, n_offset, offset, output_shape, input_shape, node);
}

void nodechip_crop_forward_fix8b(u64 input, u64 output, const int *offset, const int *output_shape,
                                 const int *input_shape, int store_mode, cmd_id_node_t *node) {
  if (store_mode == FW_STORE_MODE_4N) {
    const int n_offset = offset[0];
    ASSERT(n_offset % 4 == 0);
    crop_4n(input, output, n_offset, offset, output_shape, input_shape, node);
    return;
  }
  crop_window(input, output, window_start(offset[0], offset, input_shape), output_shape[0], output_shape,
              input_shape, GDMA_VALUE_FORMAT_INT8, node);
}

void nodechip_embedding(u64 src, u64 dst, int count, int unused, cmd_id_node_t *node) {
  (void)unused;
  const int shape[4] = {1, 1, 1, count};
  const int stride[4] = {count, count, count, 1};
  move_s2s(src, shape, stride, GDMA_VALUE_FORMAT_FLOAT32, dst, stride, GDMA_VALUE_FORMAT_FLOAT32, node);
}
