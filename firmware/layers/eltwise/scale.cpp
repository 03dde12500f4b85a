// Scale over a run of axes with optional bias and ReLU, float.
#include "layers/eltwise/scale.h"

#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "runtime/assert.h"

int scale_plan_of(scale_plan_t *plan, int n, int c, int h, int w, int shape_axis, int shape_axis_num, int bias_term) {
  const int in[4] = {n, c, h, w};
  for (int i = 0; i < 4; i++) plan->S[i] = i >= shape_axis && i < shape_axis + shape_axis_num ? in[i] : 1;
  const u64 cs = (u64)ceil_div(plan->S[1], NPU_NUM), J = (u64)plan->S[2] * (u64)plan->S[3];
  const u64 sn = plan->S[0] == 1 ? 1 : (u64)n;
  const u64 K = ALIGN(sn * cs * J, (u64)32) * 4;
  const u64 Tb = bias_term ? 2 * K : K;
  const u64 cpl = (u64)ceil_div(c, NPU_NUM);
  const u64 P = (u64)align_up((i64)h * w, EU_NUM) * cpl * 4, row = (u64)w * cpl * 4;
  plan->resident = Tb <= 0x60000;
  if (plan->resident) {
    const u32 B1 = (u32)((ceil_div((i64)Tb, 0x10000) + 8) / 2) * 0x10000u;
    plan->bias = (u32)K;
    plan->buffer[0] = (u32)Tb;
    plan->buffer[1] = B1;
    plan->scale_buf[0] = plan->scale_buf[1] = 0;
    plan->capacity = B1 - (u32)Tb < 0x80000u - B1 ? B1 - (u32)Tb : 0x80000u - B1;
  } else {
    plan->bias = 0;
    plan->buffer[0] = 0;
    plan->buffer[1] = 0x40000;
    plan->scale_buf[0] = 0x20000;
    plan->scale_buf[1] = 0x60000;
    plan->capacity = 0x20000;
  }
  if (P <= plan->capacity) {
    const u64 items = plan->capacity / P;
    plan->items = items < (u64)n ? (int)items : n;
    plan->rows = h;
  } else {
    const u64 rows = plan->capacity / row;
    plan->items = 1;
    plan->rows = rows < (u64)h ? (int)rows : h;
  }
  return plan->rows >= 1;
}

namespace {
struct scale_t {
  int n, c, h, w;
  const int *S;
  u64 scale, bias;
  int bias_term, relu;
};
struct scale_slice_t {
  int n0, items, y0, rows;
};

// The scale (or bias) of a slice: its items when S_n is not 1, its rows when
// S_h is not 1, every channel of it (or one channel copied into min(c, 64)
// lanes when it is broadcast over the channels).
void load_scale_part(const scale_t &a, u64 addr, u32 local, int items, int rows, int n0, int y0,
                     cmd_id_node_t *node) {
  const int *S = a.S;
  const int J = S[2] * S[3], Jp = rows * S[3], cs = (int)ceil_div(S[1], NPU_NUM);
  const int spread = S[1] == 1 && a.c > 1;
  const int C = spread ? (a.c < NPU_NUM ? a.c : NPU_NUM) : S[1];
  const u64 at = 4 * ((u64)n0 * S[1] * J + (u64)y0 * S[3]);
  stride_load(global_view(addr + at, dim4(items, C, rows, S[3]), dim4(S[1] * J, spread ? 0 : J, S[3], 1),
                          GDMA_VALUE_FORMAT_FLOAT32),
              local_f32(local, dim4(cs * Jp, Jp, S[3], 1)), node);
}
void move_data(const scale_t &a, u64 addr, u32 local, const scale_slice_t &s, gdma_direction_t dir,
               cmd_id_node_t *node) {
  const int cpl = (int)ceil_div(a.c, NPU_NUM), plane = s.rows * a.w;
  const u64 chw = (u64)a.c * a.h * a.w;
  const global_view_t g = global_view(addr + 4 * ((u64)s.n0 * chw + (u64)s.y0 * a.w), dim4(s.items, a.c, s.rows, a.w),
                                      dim4((int)chw, a.h * a.w, a.w, 1), GDMA_VALUE_FORMAT_FLOAT32);
  const local_view_t l = local_f32(local, dim4(cpl * plane, plane, a.w, 1));
  if (dir == GDMA_VALUE_DIR_S2L)
    stride_load(g, l, node);
  else
    stride_store(l, g, node);
}
// data op= scale part, the part laid out for `part_items` x `part_rows`, from
// element offset `at` of it.
void apply(const scale_t &a, tensor_op_t op, u32 data, u32 part, u32 at, int part_rows, const scale_slice_t &s,
           cmd_id_node_t *node) {
  const int *S = a.S;
  const int cpl = (int)ceil_div(a.c, NPU_NUM), plane = s.rows * a.w;
  const int Jp = part_rows * S[3], cs = (int)ceil_div(S[1], NPU_NUM);
  const dim4_t shape = {s.items, a.c, s.rows, a.w};
  const dim4_t ds = {cpl * plane, plane, a.w, 1};
  const dim4_t bs = {S[0] != 1 ? cs * Jp : 0, S[1] == 1 ? 0 : Jp, S[2] != 1 ? S[3] : 0, S[3] != 1 ? 1 : 0};
  tensor_arith_t t =
      tensor_arith_of(op, operand_at(LOCAL_ADDR_TAG | data), ds, operand_at(LOCAL_ADDR_TAG | (part + 4 * at)), bs,
                      LOCAL_ADDR_TAG | data, ds, shape);
  t.B_bcast_n = S[0] == 1;
  t.B_bcast_h = S[2] == 1;
  t.B_bcast_w = S[3] == 1;
  tensor_arith_issue(t, node);
}
void relu(const scale_t &a, u32 data, const scale_slice_t &s, cmd_id_node_t *node) {
  const int cpl = (int)ceil_div(a.c, NPU_NUM), plane = s.rows * a.w;
  const dim4_t shape = {s.items, a.c, s.rows, a.w};
  const dim4_t ds = {cpl * plane, plane, a.w, 1};
  tensor_arith_const(TENSOR_OP_MAX, local_f32(data, ds), norm_f32_bits(0.0f), local_f32(data, ds), shape, node);
}
void open_copies(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  node->divided = 1;
  *move = *compute = *node;
}
}  // namespace

void nodechip_scale_forward(u64 input_global_addr, u64 scale_global_addr, u64 bias_global_addr,
                            u64 output_global_addr, int input_n, int input_c, int input_h, int input_w,
                            int shape_axis, int shape_axis_num, int bias_term, int if_relu, cmd_id_node_t *node) {
  if (shape_axis < 0) shape_axis += 4;
  if (shape_axis_num < 0) shape_axis_num = 4;
  ASSERT_FS(shape_axis >= 0 && shape_axis <4);
  ASSERT_FS(shape_axis_num >= 0 && shape_axis_num <=4);
  ASSERT_FS(input_n >= 0 && input_c >= 0 && input_h >= 0 && input_w >= 0);
  // An empty tensor (an output height of 0 included) has nothing to scale.
  if (input_n == 0 || input_c == 0 || input_h == 0 || input_w == 0) return;
  scale_plan_t p;
  ASSERT_FS(scale_plan_of(&p, input_n, input_c, input_h, input_w, shape_axis, shape_axis_num, bias_term),
            "one row of %d floats does not fit", input_w);
  const scale_t a = {input_n, input_c, input_h, input_w, p.S, scale_global_addr, bias_global_addr, bias_term, if_relu};
  const int nh = (int)ceil_div(input_h, p.rows), slices = (int)ceil_div(input_n, p.items) * nh;
  auto slice_of = [&](int j) {
    const int n0 = (j / nh) * p.items, y0 = (j % nh) * p.rows;
    return scale_slice_t{n0, input_n - n0 < p.items ? input_n - n0 : p.items, y0,
                         input_h - y0 < p.rows ? input_h - y0 : p.rows};
  };
  const int *S = p.S;
  const int sn = S[0] == 1 ? 1 : input_n;
  cmd_id_node_t move, compute;
  if (p.resident) {
    load_scale_part(a, scale_global_addr, 0, sn, S[2], 0, 0, node);
    if (bias_term) load_scale_part(a, bias_global_addr, p.bias, sn, S[2], 0, 0, node);
    const int cs = (int)ceil_div(S[1], NPU_NUM), J = S[2] * S[3];
    for (int j = 0; j <= slices; j++) {
      open_copies(node, &move, &compute);
      if (j < slices) move_data(a, input_global_addr, p.buffer[j % 2], slice_of(j), GDMA_VALUE_DIR_S2L, &move);
      if (j > 0) {
        const scale_slice_t s = slice_of(j - 1);
        const u32 buf = p.buffer[(j - 1) % 2];
        const u32 at = (S[2] != 1 ? (u32)s.y0 * (u32)S[3] : 0) + (S[0] != 1 ? (u32)s.n0 * (u32)(cs * J) : 0);
        apply(a, TENSOR_OP_MUL, buf, 0, at, S[2], s, &compute);
        if (bias_term) apply(a, TENSOR_OP_ADD, buf, p.bias, at, S[2], s, &compute);
        if (if_relu) relu(a, buf, s, &compute);
      }
      cmd_id_merge(node, &move, &compute);
      if (j > 0) move_data(a, output_global_addr, p.buffer[(j - 1) % 2], slice_of(j - 1), GDMA_VALUE_DIR_L2S, node);
    }
    return;
  }
  auto part_items = [&](const scale_slice_t &s) { return S[0] != 1 ? s.items : 1; };
  auto part_rows = [&](const scale_slice_t &s) { return S[2] != 1 ? s.rows : 1; };
  auto load_part = [&](u64 addr, const scale_slice_t &s, u32 local, cmd_id_node_t *nd) {
    load_scale_part(a, addr, local, part_items(s), part_rows(s), S[0] != 1 ? s.n0 : 0, S[2] != 1 ? s.y0 : 0, nd);
  };
  for (int j = 0; j <= slices; j++) {
    open_copies(node, &move, &compute);
    if (j < slices) move_data(a, input_global_addr, p.buffer[j % 2], slice_of(j), GDMA_VALUE_DIR_S2L, &move);
    if (j > 0) {
      const scale_slice_t s = slice_of(j - 1);
      const u32 buf = p.buffer[(j - 1) % 2], part = p.scale_buf[(j - 1) % 2];
      apply(a, TENSOR_OP_MUL, buf, part, 0, part_rows(s), s, &compute);
      if (bias_term) {
        cmd_id_merge(node, &move, &compute);
        load_part(bias_global_addr, s, part, node);
        open_copies(node, &move, &compute);
        apply(a, TENSOR_OP_ADD, buf, part, 0, part_rows(s), s, &compute);
      }
      if (if_relu) relu(a, buf, s, &compute);
    }
    if (j < slices) load_part(scale_global_addr, slice_of(j), p.scale_buf[j % 2], &move);
    cmd_id_merge(node, &move, &compute);
    if (j > 0) move_data(a, output_global_addr, p.buffer[(j - 1) % 2], slice_of(j - 1), GDMA_VALUE_DIR_L2S, node);
  }
}
