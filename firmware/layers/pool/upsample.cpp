// Nearest upsample over the pooling's pipelined slices.
#include "layers/pool/upsample.h"

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/pool/pooling.h"
#include "cmd/bd_pool.h"
#include "local/compare_select.h"
#include "local/resident.h"
#include "runtime/assert.h"

namespace {

struct up_slice_t {
  int c0, c, r0, r;
};

// Slices: plane blocks of c_step, within a block input rows in steps of h_step.
up_slice_t up_slice_of(int planes, int ih, int c_step, int h_step, int c0, int r0) {
  up_slice_t s = {c0, c0 <= planes - c_step ? c_step : planes - c0, r0, h_step < ih - r0 ? h_step : ih - r0};
  return s;
}

int up_next(int planes, int ih, int c_step, int h_step, int *c0, int *r0) {
  if (*r0 + (i64)h_step < ih) {
    *r0 += h_step;
  } else {
    *r0 = 0;
    *c0 = (i64)*c0 + c_step >= planes ? planes : *c0 + c_step;
  }
  return *c0 < planes;
}

}  // namespace

void nodechip_upsample_forward_parallel(u64 input_addr, u64 output_addr, int input_n, int input_c, int input_h,
                                        int input_w, int size, int c_step, int h_step, float input_ratio, int if_relu,
                                        cmd_id_node_t *node) {
  ASSERT_FS(size < 16 && size > 0);
  ASSERT_FS(input_n >= 0 && input_c >= 0 && (i64)input_n * input_c < (1ll << 31));
  const int planes = input_n * input_c;
  if (planes == 0) return;
  ASSERT_FS(input_h > 0 && input_w > 0);
  // The plan must advance, and the slices must fit their buffers and the
  // engine's extents.
  ASSERT_FS(c_step > 0 && h_step > 0, "c_step=%d h_step=%d", c_step, h_step);
  pool_frame_t f = {};
  pool_frame_buffers(&f, input_ratio);
  const int r = h_step < input_h ? h_step : input_h, c = c_step < planes ? c_step : planes;
  const i64 lane_rows_c = ceil_div(c, NPU_NUM);
  const i64 ow = (i64)input_w * size;
  const u64 offset_local_end = f.output + (u64)(lane_rows_c * align_up((i64)r * size * ow, EU_NUM) * 4);
  ASSERT_FS(offset_local_end <= (1<<19));
  const i64 input_end = lane_rows_c * align_up((i64)r * input_w, EU_NUM) * 4;
  ASSERT_FS(input_end <= f.input_bytes, "bytes=%d buffer=%d", (int)(input_end > 0x7fffffff ? 0x7fffffff : input_end),
            (int)f.input_bytes);
  const i64 rows_seen = (i64)(r - 1) * size + 1 + 2 * (size - 1), cols_seen = (i64)(input_w - 1) * size + 1 + 2 * (size - 1);
  ASSERT_FS(rows_seen < 2048 && cols_seen < 2048, "rows=%d columns=%d", (int)rows_seen,
            (int)(cols_seen > 0x7fffffff ? 0x7fffffff : cols_seen));

  const u64 out_plane = (u64)input_h * size * ow;
  int c0 = 0, r0 = 0, more = 1, have_prev = 0;
  up_slice_t prev = {}, cur = {};
  for (u32 step = 0; more || have_prev; step++) {
    cmd_id_node_t move, compute;
    cmd_id_divide(node, &move, &compute);
    if (more) {
      cur = up_slice_of(planes, input_h, c_step, h_step, c0, r0);
      const int plane = (int)eu_plane((u32)(cur.r * input_w));
      tensor_stride_move_gen_cmd(f.input[step % 2], 0, input_addr + ((u64)r0 * input_w + (u64)c0 * input_h * input_w) * 4u,
                                 1, cur.c, cur.r, input_w, input_c * input_h * input_w, input_h * input_w, input_w, 1,
                                 (int)ceil_div(cur.c, NPU_NUM) * plane, plane, input_w, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                 GDMA_VALUE_DIR_S2L, 0, &move);
    }
    if (have_prev) {
      // Zeros inserted between the elements and size - 1 pads on every side:
      // each size x size window at stride 1 holds exactly one element. (A
      // trailing pad of size - 1 is all the windows reach; it keeps every pad
      // within the command's 4-bit fields up to size 15.)
      const int p = size - 1;
      atomic_avg_pooling_gen_cmd(local_tag(f.input[(step + 1) % 2]), local_tag(f.output), 1, prev.c, prev.r, input_w,
                                 prev.r * size, (int)ow, size, size, p, p, p, p, 1, 1, p, p, pool_f32_bits(1.0f),
                                 &compute);
      if (if_relu) {
        const dim4_t oshape = {1, prev.c, prev.r * size, (int)ow};
        nodechip_relu_forward_local(f.output, f.output, &oshape, 0.0f, &compute);
      }
    }
    cmd_id_merge(node, &move, &compute);
    if (have_prev) {
      const int plane = (int)eu_plane((u32)(prev.r * size * ow));
      tensor_stride_move_gen_cmd(f.output, 0,
                                 output_addr + ((u64)prev.c0 * out_plane + (u64)prev.r0 * size * ow) * 4u, 1, prev.c,
                                 prev.r * size, (int)ow, (int)ceil_div(prev.c, NPU_NUM) * plane, plane, (int)ow, 1,
                                 (int)(input_c * out_plane), (int)out_plane, (int)ow, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                 GDMA_VALUE_DIR_L2S, 0, node);
    }
    have_prev = more;
    if (more) {
      prev = cur;
      more = up_next(planes, input_h, c_step, h_step, &c0, &r0);
    }
  }
}
