// 8-bit batch normalisation with scale and 8-bit bias add on 4N tensors.
#include "layers/eltwise/bnscale_fix8b.h"

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/eltwise_fix8b.h"
#include "runtime/assert.h"

#define LOCAL_BYTES 0x80000u

static u32 align128(u64 x) { return (u32)ALIGN(x, (u64)128); }
static i64 group_bytes(i64 cpl, i64 rows, i64 w) { return cpl * align_up(rows * w, EU_NUM) * 4; }

void fix8b_affine_plan_of(fix8b_affine_plan_t *plan, int c, int with_scale) {
  const u64 cpl = (u64)ceil_div(c, NPU_NUM);
  u64 b0;
  plan->bias = 0;
  if (with_scale) {
    plan->scale = align128(4 * cpl);
    plan->shift = align128(4 * cpl + plan->scale);
    b0 = align128(plan->shift + 8 * cpl);
  } else {
    plan->scale = plan->shift = 0;
    b0 = align128(4 * cpl);
  }
  if (b0 < 0x10000) b0 = 0x10000;
  if (b0 > 0xFFFFFFFFull - 0x40000) b0 = 0xFFFFFFFFull - 0x40000;
  plan->buffer[0] = (u32)b0;
  plan->intermediate = (u32)b0 + 0x10000;
  plan->buffer[1] = (u32)b0 + 0x30000;
  int k = 0;
  plan->areas[k++] = {"bias vector", 0, (u32)(4 * cpl)};
  if (with_scale) {
    plan->areas[k++] = {"scale vector", plan->scale, (u32)(4 * cpl)};
    plan->areas[k++] = {"shift vector", plan->shift, (u32)(4 * cpl)};
  }
  plan->areas[k++] = {"input buffer 0", plan->buffer[0], FIX8B_SLICE_BYTES};
  plan->areas[k++] = {"int16 intermediate", plan->intermediate, 2 * FIX8B_SLICE_BYTES};
  plan->areas[k++] = {"input buffer 1", plan->buffer[1], FIX8B_SLICE_BYTES};
  plan->area_count = k;
}

// Rows of one group that fit the capacity; a row must fit.
static int rows_that_fit(int capacity, int cpl, int w) {
  const int rows = (capacity / (4 * cpl) - 31) / w;
  ASSERT_FS(rows > 0, "one row of %d words in %d lane rows does not fit", w, cpl);
  return rows;
}

void bn_split_nh_par_bnscale(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs) {
  if (size <= capacity) return;
  const int rows = rows_that_fit(capacity, cpl, w);
  *hsecs = (int)ceil_div(h, rows);
  int r = (int)ceil_div(h, *hsecs);
  if ((n + 3) / 4 > 1) *nsecs = (n + 3) / 4;
  while (capacity < group_bytes(cpl, r, w)) {
    (*hsecs)++;
    r = (int)ceil_div(h, *hsecs);
  }
}

void nodechip_split_nh(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs) {
  if (size <= capacity) return;
  const int G = (n + 3) / 4;
  if (G < 2 || size / G > capacity) {
    if (G >= 2) *nsecs = G;
    const int rows = rows_that_fit(capacity, cpl, w);
    *hsecs = (int)ceil_div(h, rows);
    while (group_bytes(cpl, ceil_div(h, *hsecs), w) > capacity) (*hsecs)++;
    return;
  }
  *nsecs = nsecs_computing(size / G, G, capacity);
  *hsecs = 1;
}

void bnscale_by_tensor_arith_int8(u32 input, u32 scale, u32 intermediate, u32 bias, u32 shift, int n, int c, int h,
                                  int w, int cpl, int sign_input, int sign_scale, int sign_bias, int if_relu,
                                  int relu_upper_limit, cmd_id_node_t *node) {
  (void)cpl;
  nodechip_bnscale_fix8b_forward_local(input, intermediate, scale, bias, shift, input, n, c, h, w, sign_input,
                                       sign_scale, sign_bias, 1, 1, 1, if_relu, relu_upper_limit, node);
}

void load_G2L_src_1N_to_4N(u64 src, u32 local, int n, int c, int h, int w, int groups, int rows,
                           cmd_id_node_t *node) {
  const int cpl = (int)ceil_div(c, NPU_NUM);
  const int plane = (int)eu_plane((u32)rows * (u32)w) * 4;
  const u64 item = (u64)c * h * w;
  // Item 4g + j into byte j of every word of group g.
  const dim4_t rows_of_item = dim4(1, c, rows, w), gs = dim4(c * h * w, h * w, w, 1);
  const dim4_t ls = dim4(cpl * plane, plane, 4 * w, 4);
  for (int g = 0; g < groups; g++)
    for (int j = 0; j < 4 && 4 * g + j < n; j++)
      move_g2l(global_view(src + (u64)(4 * g + j) * item, rows_of_item, gs, GDMA_VALUE_FORMAT_INT8),
               local_view(local + (u32)(g * cpl * plane) + (u32)j, 0, ls, GDMA_VALUE_FORMAT_INT8), node);
}

namespace {
// One slice: groups [g0, g0 + groups), rows [y0, y0 + rows), items of the
// batch it holds.
struct fix8b_slice_t {
  int g0, groups, y0, rows, items;
};

// The shared pipeline. load(slice, buffer, node) and compute(slice, buffer,
// intermediate, node) are the layer's own.
template <class Load, class Compute>
void fix8b_affine_pipeline(const fix8b_affine_plan_t &p, u64 output, int n, int c, int h, int w, int nsecs, int hsecs,
                           const Load &load, const Compute &compute_slice, cmd_id_node_t *node) {
  const int G = (n + 3) / 4;
  const int slices = nsecs * hsecs;
  const u64 chw = (u64)c * h * w;
  auto slice_of = [&](int k) {
    const norm_section_t sg = norm_section_of(G, nsecs, k / hsecs), sh = norm_section_of(h, hsecs, k % hsecs);
    const int items = 4 * (sg.offset + sg.len) <= n ? 4 * sg.len : n - 4 * sg.offset;
    return fix8b_slice_t{sg.offset, sg.len, sh.offset, sh.len, items};
  };
  auto store = [&](const fix8b_slice_t &s, u32 buf, cmd_id_node_t *nd) {
    general_align_tensor_move_L2G_gen_cmd(buf, 0, output + 4 * ((u64)s.g0 * chw + (u64)s.y0 * w), s.groups, c,
                                          s.rows, w, (int)chw, h * w, nd);
  };
  fix8b_slice_t prev = slice_of(0);
  load(prev, p.buffer[0], node);
  compute_slice(prev, p.buffer[0], node);
  cmd_id_node_t move = *node, compute = *node;
  node->divided = 1;
  for (int k = 1; k < slices; k++) {
    const fix8b_slice_t cur = slice_of(k);
    const u32 buf = p.buffer[k % 2];
    const u32 end_local_offset = buf + FIX8B_SLICE_BYTES;
    ASSERT_FS(end_local_offset <= (1<<19));
    load(cur, buf, &move);
    cmd_id_merge(&move, &move, &compute);
    compute = move;
    move.divided = 1;
    store(prev, p.buffer[(k - 1) % 2], &move);
    compute_slice(cur, buf, &compute);
    prev = cur;
  }
  cmd_id_merge(node, &move, &compute);
  store(prev, p.buffer[(slices - 1) % 2], node);
}

void bnscale_run(u64 input, u64 output, u64 scale, u64 bias, u64 shift, int n, int c, int h, int w, int sign_input,
                 int sign_scale, int sign_bias, int src_1n, int if_relu, int relu_upper_limit, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  fix8b_affine_plan_t p;
  fix8b_affine_plan_of(&p, c, 1);
  const int G = (n + 3) / 4, cpl = (int)ceil_div(c, NPU_NUM);
  const i64 size = (i64)G * cpl * align128((u64)h * w * 4);
  int nsecs = 1, hsecs = 1;
  bn_split_nh_par_bnscale(size > 0x7fffffff ? 0x7fffffff : (int)size, FIX8B_SLICE_BYTES, n, cpl, h, w, &nsecs,
                          &hsecs);
  const u32 end_local_offset = p.buffer[1] + FIX8B_SLICE_BYTES;
  ASSERT_FS(end_local_offset <= (1<<19));
  tensor_compact_move_gen_cmd(p.scale, 0, scale, 1, c, 1, 4, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_compact_move_gen_cmd(p.bias, 0, bias, 1, c, 1, 2, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_compact_move_gen_cmd(p.shift, 0, shift, 1, c, 1, 2, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0, node);
  const u64 chw = (u64)c * h * w;
  auto load = [&](const fix8b_slice_t &s, u32 buf, cmd_id_node_t *nd) {
    if (src_1n) {
      load_G2L_src_1N_to_4N(input + 4 * (u64)s.g0 * chw + (u64)s.y0 * w, buf, s.items, c, h, w, s.groups, s.rows, nd);
    } else {
      general_align_tensor_move_G2L_gen_cmd(input + 4 * ((u64)s.g0 * chw + (u64)s.y0 * w), buf, 0, s.groups, c,
                                            s.rows, w, (int)chw, h * w, nd);
    }
  };
  auto compute = [&](const fix8b_slice_t &s, u32 buf, cmd_id_node_t *nd) {
    bnscale_by_tensor_arith_int8(buf, p.scale, p.intermediate, p.bias, p.shift, 4 * s.groups, c, s.rows, w, cpl,
                                 sign_input, sign_scale, sign_bias, if_relu, relu_upper_limit, nd);
  };
  fix8b_affine_pipeline(p, output, n, c, h, w, nsecs, hsecs, load, compute, node);
}
}  // namespace

void nodechip_bnscale_forward_parallel_fix8b(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                             u64 bias_global_addr, u64 shift_global_addr, int input_n, int input_c,
                                             int input_h, int input_w, int sign_input, int sign_scale, int sign_bias,
                                             int if_relu, int relu_upper_limit, cmd_id_node_t *node) {
  bnscale_run(input_global_addr, output_global_addr, scale_global_addr, bias_global_addr, shift_global_addr, input_n,
              input_c, input_h, input_w, sign_input, sign_scale, sign_bias, 0, if_relu, relu_upper_limit, node);
}

void nodechip_bnscale_forward_parallel_fix8b_with_src_storage_mode(
    u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr, u64 bias_global_addr,
    u64 shift_global_addr, int input_n, int input_c, int input_h, int input_w, int sign_input, int sign_scale,
    int sign_bias, int src_storage_mode, int if_relu, int relu_upper_limit, cmd_id_node_t *node) {
  if (src_storage_mode == 2) {
    nodechip_bnscale_forward_parallel_fix8b(input_global_addr, output_global_addr, scale_global_addr,
                                            bias_global_addr, shift_global_addr, input_n, input_c, input_h, input_w,
                                            sign_input, sign_scale, sign_bias, if_relu, relu_upper_limit, node);
    return;
  }
  ASSERT_FS(src_storage_mode == 0);
  bnscale_run(input_global_addr, output_global_addr, scale_global_addr, bias_global_addr, shift_global_addr, input_n,
              input_c, input_h, input_w, sign_input, sign_scale, sign_bias, 1, if_relu, relu_upper_limit, node);
}

void nodechip_biasadd_fix8b(u64 input_global_addr, const int *shape, u64 bias_global_addr, u64 output_global_addr,
                            int sign_input, int sign_bias, int scale, int rshift, int if_relu, int relu_upper_limit,
                            cmd_id_node_t *node) {
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  // An empty batch has nothing to add to.
  if (n == 0) return;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  fix8b_affine_plan_t p;
  fix8b_affine_plan_of(&p, c, 0);
  const int G = (n + 3) / 4, cpl = (int)ceil_div(c, NPU_NUM);
  const i64 size = (i64)cpl * G * align128((u64)h * w * 4);
  int nsecs = 1, hsecs = 1;
  nodechip_split_nh(size > 0x7fffffff ? 0x7fffffff : (int)size, FIX8B_SLICE_BYTES, n, cpl, h, w, &nsecs, &hsecs);
  const u32 end_local_offset = p.buffer[1] + FIX8B_SLICE_BYTES;
  ASSERT_FS(end_local_offset <= (1<<19));
  tensor_compact_move_gen_cmd(p.bias, 0, bias_global_addr, 1, c, 1, 2, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2L, 0,
                              node);
  const u64 chw = (u64)c * h * w;
  auto load = [&](const fix8b_slice_t &s, u32 buf, cmd_id_node_t *nd) {
    general_align_tensor_move_G2L_gen_cmd(input_global_addr + 4 * ((u64)s.g0 * chw + (u64)s.y0 * w), buf, 0,
                                          s.groups, c, s.rows, w, (int)chw, h * w, nd);
  };
  auto compute = [&](const fix8b_slice_t &s, u32 buf, cmd_id_node_t *nd) {
    const dim4_t sh = {s.items, c, s.rows, w};
    nodechip_biasadd_local_fix8b(buf, p.bias, buf, p.intermediate, &sh, sign_input, sign_bias, scale, rshift, if_relu,
                                 relu_upper_limit, nd);
  };
  fix8b_affine_pipeline(p, output_global_addr, n, c, h, w, nsecs, hsecs, load, compute, node);
}
