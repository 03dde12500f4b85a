// Float32 depthwise convolutions.
#include "layers/conv/depthwise.h"
#include "cmd/conv_window.h"

#include "cmd/bd_conv.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/bd_arith.h"
#include "local/compare_select.h"
#include "runtime/assert.h"

static u64 align_u64(u64 x, u64 a) { return (x + a - 1) / a * a; }

// The depthwise command's pad fields hold 15 at most. A larger pad is given to
// the command as 15 and the rest lies in local memory as rows (columns) of
// zeros in front of (behind) the loaded input.
#define DW_PAD_MAX 15
static int dw_zero_part(int pad) { return pad > DW_PAD_MAX ? pad - DW_PAD_MAX : 0; }

// Zeros over an n x c x h x w part of a float tensor with the local strides `st`.
static void dw_zero_fill(u32 at, int n, int c, int h, int w, const dim4_t *st, cmd_id_node_t *node) {
  if (n <= 0 || c <= 0 || h <= 0 || w <= 0) return;
  const dim4_t shape = {n, c, h, w};
  atomic_tensor_arithmetic_gen_cmd(0, 0, LOCAL_ADDR_TAG | at, &shape, 0, 0, 0, st, st, st, TENSOR_OP_COPY, 0, 1, 0,
                                   0, 0, 0, node);
}

// The zeros around the loaded rows of a slice: zt rows on top and zb below
// the `rows` loaded rows, zl and zr columns to their left and right, in a
// tensor of (zt + rows + zb) rows of zl + input_w + zr columns at `at`.
static void dw_zero_border(u32 at, int n, int c, int zt, int rows, int zb, int zl, int input_w, int zr,
                           const dim4_t *st, cmd_id_node_t *node) {
  const int W = zl + input_w + zr;
  dw_zero_fill(at, n, c, zt, W, st, node);
  dw_zero_fill(at + 4u * (u32)((zt + rows) * W), n, c, zb, W, st, node);
  dw_zero_fill(at + 4u * (u32)(zt * W), n, c, rows, zl, st, node);
  dw_zero_fill(at + 4u * (u32)(zt * W + zl + input_w), n, c, rows, zr, st, node);
}

void dwd_layout_of(dwd_layout_t *l, int a0, int a1, int a2, int input_h, int input_w, int kh, int kw,
                   int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                   int dh, int dw, int have_bias) {
  l->a0 = a0;
  l->a1 = a1;
  l->a2 = a2;
  l->kh_ext = conv_kernel_extent32(kh, dh);
  l->kw_ext = conv_kernel_extent32(kw, dw);
  l->oh = (input_h + pad_h_top + pad_h_bottom - l->kh_ext) / stride_h + 1;
  l->ow = (input_w + pad_w_left + pad_w_right - l->kw_ext) / stride_w + 1;
  l->in_rows = (a2 - 1) * stride_h + l->kh_ext;
  l->bs = have_bias ? 4ull * (u64)a1 : 0;
  l->ws = 4ull * (u64)a1 * (u64)kh * (u64)kw;
  l->is = (u64)a0 * (u64)a1 * align_u64((u64)l->in_rows * (u64)input_w, 32) * 4;
  l->os = (u64)a0 * (u64)a1 * align_u64((u64)a2 * (u64)l->ow, 32) * 4;
  l->bias[0] = 0;
  l->bias[1] = l->bs;
  l->weight[0] = 2 * l->bs;
  l->weight[1] = 2 * l->bs + l->ws;
  l->input[0] = align_u64(2 * l->bs + 2 * l->ws, 128);
  l->input[1] = l->input[0] + l->is;
  l->output[0] = l->input[0] + 2 * l->is;
  l->output[1] = l->output[0] + l->os;
  l->end = l->output[1] + l->os;
  static const char *const names[DWD_AREA_COUNT] = {"bias 0",  "bias 1",  "weight 0", "weight 1",
                                                    "input 0", "input 1", "output 0", "output 1"};
  const u64 offs[DWD_AREA_COUNT] = {l->bias[0],  l->bias[1],  l->weight[0], l->weight[1],
                                    l->input[0], l->input[1], l->output[0], l->output[1]};
  const u64 sizes[DWD_AREA_COUNT] = {l->bs, l->bs, l->ws, l->ws, l->is, l->is, l->os, l->os};
  local_areas_of(l->areas, names, offs, sizes, DWD_AREA_COUNT);
}

int dwd_slice_search(dwd_layout_t *l, int input_n, int input_c, int input_h, int input_w, int kh, int kw,
                     int pad_h_top, int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                     int dh, int dw, int have_bias) {
  const int oh = (input_h + pad_h_top + pad_h_bottom - conv_kernel_extent32(kh, dh)) / stride_h + 1;
  int a[3] = {input_n, (int)ceil_div(input_c, NPU_NUM), oh};
  for (;;) {
    dwd_layout_of(l, a[0], a[1], a[2], input_h, input_w, kh, kw, pad_h_top, pad_h_bottom, pad_w_left, pad_w_right,
                  stride_h, stride_w, dh, dw, have_bias);
    if (l->end <= DW_LANE_BYTES) return 1;
    if (a[0] == 1 && a[1] == 1 && a[2] == 1) return 0;
    for (int i = 0; i < 3; i++)
      if (a[i] > 1) {
        a[i]--;
        break;
      }
  }
}

void nodechip_depthwise_forward_parallel_with_dilation(u64 input_addr, u64 output_addr, u64 weight_addr,
                                                       u64 bias_addr, int input_n, int input_c, int input_h,
                                                       int input_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                                                       int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                                       int dh, int dw, int have_bias, int if_relu,
                                                       float relu_upper_limit, cmd_id_node_t *node) {
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kh > 0 && kw > 0 && dh > 0 && dw > 0);
  ASSERT(stride_h > 0 && stride_w > 0 && pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 &&
         pad_w_right >= 0);
  const int input_h_ext = input_h + pad_h_top + pad_h_bottom, input_w_ext = input_w + pad_w_left + pad_w_right;
  const int kh_ext = conv_kernel_extent32(kh, dh), kw_ext = conv_kernel_extent32(kw, dw);
  ASSERT_FS(input_h_ext >= kh_ext && input_w_ext >= kw_ext);
  // Column pads beyond the command's field are zero columns of a wider input.
  const int zl = dw_zero_part(pad_w_left), zr = dw_zero_part(pad_w_right);
  const int W = zl + input_w + zr, pl = pad_w_left - zl, pr = pad_w_right - zr;
  dwd_layout_t l;
  const int found = dwd_slice_search(&l, input_n, input_c, input_h, W, kh, kw, pad_h_top, pad_h_bottom, pl, pr,
                                     stride_h, stride_w, dh, dw, have_bias);
  const int opt_num_slice[3] = {l.a0, l.a1, l.a2};
  if (!found) ASSERT_FS(1 != opt_num_slice[(0)] || 1 != opt_num_slice[(1)] || 1 != opt_num_slice[(2)]);
  const int output_h = l.oh, output_w = l.ow;
  // Every slice's window must reach the input (else its rows would be none).
  for (int oh0 = 0; oh0 < output_h; oh0 += l.a2) {
    const int rows = output_h - oh0 < l.a2 ? output_h - oh0 : l.a2;
    const int first = oh0 * stride_h, end = first + (rows - 1) * stride_h + kh_ext;
    if (first >= pad_h_top + input_h || end <= pad_h_top) ASSERT_FS(0);
  }
  cmd_id_node_t move, compute;
  int set = 0, first_step = 1;
  struct {
    u64 out;
    int n, c, rows;
    u32 buf;
  } prev = {};
  const int cstep = NPU_NUM * l.a1;
  for (int n0 = 0; n0 < input_n; n0 += l.a0)
    for (int oh0 = 0; oh0 < output_h; oh0 += l.a2)
      for (int c0 = 0; c0 < input_c; c0 += cstep) {
        const int n = input_n - n0 < l.a0 ? input_n - n0 : l.a0;
        const int rows = output_h - oh0 < l.a2 ? output_h - oh0 : l.a2;
        const int ch = input_c - c0 < cstep ? input_c - c0 : cstep;
        const int lanes = (int)ceil_div(ch, NPU_NUM);
        const int win0 = oh0 * stride_h, win_end = win0 + (rows - 1) * stride_h + kh_ext;
        const int in0 = win0 > pad_h_top ? win0 - pad_h_top : 0;
        const int in_end = win_end - pad_h_top < input_h ? win_end - pad_h_top : input_h;
        const int in_rows = in_end - in0;
        const int top = pad_h_top - win0 > 0 ? pad_h_top - win0 : 0;
        const int bottom = win_end - input_h - pad_h_top > 0 ? win_end - input_h - pad_h_top : 0;
        const int zt = dw_zero_part(top), zb = dw_zero_part(bottom), rows_all = zt + in_rows + zb;
        cmd_id_node_t *ld = first_step ? node : &move;
        if (have_bias)
          tensor_compact_move_gen_cmd((u32)l.bias[set], 0, bias_addr + 4ull * (u64)c0, 1, ch, 1, 1,
                                      GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
        const int plane = (int)align_up((s64)rows_all * W, EU_NUM);
        tensor_stride_move_gen_cmd((u32)l.input[set] + 4u * (u32)(zt * W + zl), 0,
                                   input_addr + 4ull * ((u64)n0 * input_c * input_h * input_w +
                                                        (u64)c0 * input_h * input_w + (u64)in0 * input_w),
                                   n, ch, in_rows, input_w, input_c * input_h * input_w, input_h * input_w, input_w,
                                   1, lanes * plane, plane, W, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                   ld);
        tensor_compact_move_gen_cmd((u32)l.weight[set], 0, weight_addr + 4ull * (u64)c0 * kh * kw, 1, ch, kh, kw,
                                    GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, ld);
        if (!first_step) cmd_id_merge(node, &move, &compute);
        cmd_id_divide(node, &move, &compute);
        const u32 out = (u32)l.output[set];
        if (zt || zb || zl || zr) {
          const dim4_t st = {lanes * plane, plane, W, 1};
          dw_zero_border((u32)l.input[set], n, ch, zt, in_rows, zb, zl, input_w, zr, &st, &compute);
        }
        atomic_depthwise_with_dilation_gen_cmd(LOCAL_ADDR_TAG | (u32)l.input[set], LOCAL_ADDR_TAG | out,
                                               LOCAL_ADDR_TAG | (u32)l.weight[set],
                                               have_bias ? LOCAL_ADDR_TAG | (u32)l.bias[set] : LOCAL_ADDR_TAG, n,
                                               ch, rows_all, W, rows, output_w, kh, kw, top - zt, bottom - zb, pl, pr,
                                               dh, dw, stride_h, stride_w, 0, 0, have_bias, &compute);
        if (if_relu) {
          const dim4_t shape = {n, ch, rows, output_w};
          nodechip_relu_forward_local(LOCAL_ADDR_TAG | out, LOCAL_ADDR_TAG | out, &shape, relu_upper_limit,
                                      &compute);
        }
        if (!first_step) {
          const int p_plane = (int)align_up((s64)prev.rows * output_w, EU_NUM);
          tensor_stride_move_gen_cmd(prev.buf, 0, prev.out, prev.n, prev.c, prev.rows, output_w,
                                     (int)ceil_div(prev.c, NPU_NUM) * p_plane, p_plane, output_w, 1,
                                     input_c * output_h * output_w, output_h * output_w, output_w, 1,
                                     GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, &move);
        }
        prev.out = output_addr + 4ull * ((u64)n0 * input_c * output_h * output_w + (u64)c0 * output_h * output_w +
                                         (u64)oh0 * output_w);
        prev.n = n;
        prev.c = ch;
        prev.rows = rows;
        prev.buf = out;
        first_step = 0;
        set ^= 1;
      }
  cmd_id_merge(node, &move, &compute);
  const int p_plane = (int)align_up((s64)prev.rows * output_w, EU_NUM);
  tensor_stride_move_gen_cmd(prev.buf, 0, prev.out, prev.n, prev.c, prev.rows, output_w,
                             (int)ceil_div(prev.c, NPU_NUM) * p_plane, p_plane, output_w, 1,
                             input_c * output_h * output_w, output_h * output_w, output_w, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_L2S, 0, node);
}

// ---- The form on tensor records ----

#include "cmd/bd_arith.h"
#include "local/tensor_record.h"

#define DW_OUTPUT_CAP 0x40000u

namespace {

// Per-lane bytes of an n x c x h x w EU-aligned float record.
u64 dw_record_bytes(int n, int c, int h, int w) {
  return (u64)ceil_div(c, NPU_NUM) * (u64)n * 4ull * align_u64((u64)h * (u64)w, 32);
}

int dw_fits(const int s[4]) { return dw_record_bytes(s[0], s[1], s[2], s[3]) <= DW_OUTPUT_CAP; }

// The first output slice: the whole output when it fits, else the first
// dimension (n, c, h, w) whose lower bound fits is searched up to its upper bound.
int tensor_slicing(int slice[4], const int lower[4], const int upper[4]) {
  ASSERT(lower[0] <= upper[0], "lower.n <= upper.n");
  ASSERT(lower[1] <= upper[1], "lower.c <= upper.c");
  ASSERT(lower[2] <= upper[2], "lower.h <= upper.h");
  ASSERT(lower[3] <= upper[3], "lower.w <= upper.w");
  for (int i = 0; i < 4; i++) slice[i] = upper[i];
  if (dw_fits(slice)) return TRUE;
  for (int d = 0; d < 4; d++) {
    slice[d] = lower[d];
    if (!dw_fits(slice)) continue;
    int lo = lower[d], hi = upper[d];
    while (hi - lo > 1) {
      const int mid = (lo + hi) / 2;
      slice[d] = mid;
      if (dw_fits(slice))
        lo = mid;
      else
        hi = mid;
    }
    slice[d] = lo;
    return TRUE;
  }
  return FALSE;
}

// The records of one ping-pong set and the output, placed by the bank rule.
struct dw_records_t {
  tensor_t out, in[2], w[2], b[2];
};

u32 end_of(const tensor_t *t) {
  return t->local_offset + feature_size(t) * (u32)ceil_div(t->shape.c, NPU_NUM) * (u32)t->shape.n * 4u;
}

void dw_set_shape(tensor_t *t, int n, int c, int h, int w) {
  t->shape.n = n;
  t->shape.c = c;
  t->shape.h = h;
  t->shape.w = w;
  fill_tensor_local_stride(t);
}

// Places the records for a slice; returns the end of the last input.
u64 dw_place(dw_records_t *r, const int s[4], int in_rows, int input_w, int kh, int kw, int have_bias) {
  dw_set_shape(&r->out, s[0], s[1], s[2], s[3]);
  r->out.local_offset = 0;
  u64 cursor_bank = (u64)next_bank_idx(&r->out) * LOCAL_MEM_BANK_SIZE;
  u64 end = 0;
  for (int k = 0; k < 2; k++) {
    dw_set_shape(&r->w[k], 1, s[1], kh, kw);
    dw_set_shape(&r->b[k], 1, s[1], 1, 1);
    dw_set_shape(&r->in[k], s[0], s[1], in_rows, input_w);
    if (cursor_bank >= DW_LANE_BYTES) return ~0ull;
    r->w[k].local_offset = (u32)cursor_bank;
    r->b[k].local_offset = end_of(&r->w[k]);
    const tensor_t *before_input = have_bias ? &r->b[k] : &r->w[k];
    const u64 in_at = (u64)((end_of(before_input) + LOCAL_MEM_BANK_SIZE - 1) / LOCAL_MEM_BANK_SIZE) * LOCAL_MEM_BANK_SIZE;
    if (in_at >= DW_LANE_BYTES) return ~0ull;
    r->in[k].local_offset = (u32)in_at;
    end = (u64)in_at + dw_record_bytes(s[0], s[1], in_rows, input_w);
    cursor_bank = align_u64(end, LOCAL_MEM_BANK_SIZE);
  }
  return end;
}

// Shrinks the slice by one in n (above 1), else c (above its floor), else h.
int tensor_shrinking(int (*s)[4], const int (*reserve)[4]) {
  for (int d = 0; d < 3; d++)
    if ((*s)[d] > (*reserve)[d]) {
      (*s)[d]--;
      return TRUE;
    }
  return FALSE;
}

}  // namespace

void nodechip_depthwise_forward(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int input_n,
                                int input_c, int input_h, int input_w, int kh, int kw, int pad_h_top,
                                int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                                int have_bias, cmd_id_node_t *node) {
  ASSERT(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && kh > 0 && kw > 0);
  ASSERT(stride_h > 0 && stride_w > 0 && pad_h_top >= 0 && pad_h_bottom >= 0 && pad_w_left >= 0 &&
         pad_w_right >= 0);
  const dim4_t feature_shape_ext = {input_n, input_c, input_h + pad_h_top + pad_h_bottom,
                                    input_w + pad_w_left + pad_w_right};
  const int filter_h = kh, filter_w = kw;
  ASSERT_FS(feature_shape_ext.h >= filter_h);
  ASSERT_FS(feature_shape_ext.w >= filter_w);
  const int OH = (feature_shape_ext.h - kh) / stride_h + 1, OW = (feature_shape_ext.w - kw) / stride_w + 1;
  const int c_floor = input_c < NPU_NUM ? input_c : NPU_NUM;
  const int lower[4] = {1, c_floor, 1, OW}, upper[4] = {input_n, input_c, OH, OW};
  int C[4];
  const int res = tensor_slicing(C, lower, upper);
  ASSERT_FS(res == TRUE);
  dw_records_t r;
  DEFAULT_TENSOR(&r.out);
  for (int k = 0; k < 2; k++) {
    DEFAULT_TENSOR(&r.in[k]);
    DEFAULT_TENSOR(&r.w[k]);
    DEFAULT_TENSOR(&r.b[k]);
    // Filters and biases lie channel after channel in each lane, as the
    // depthwise command reads them.
    r.w[k].eu_align = 0;
    r.b[k].eu_align = 0;
  }
  const int reserve[4] = {1, c_floor, 1, OW};
  // Column pads beyond the command's field are zero columns of a wider input.
  const int zl = dw_zero_part(pad_w_left), zr = dw_zero_part(pad_w_right);
  const int W = zl + input_w + zr, pl = pad_w_left - zl, pr = pad_w_right - zr;
  for (;;) {
    const u64 end = dw_place(&r, C, (C[2] - 1) * stride_h + kh, W, kh, kw, have_bias);
    if (end <= DW_LANE_BYTES) break;
    ASSERT_FS(tensor_shrinking(&C, &reserve) == TRUE);
  }
  const dim4_t in_g = {input_n, input_c, input_h, input_w}, out_g = {input_n, input_c, OH, OW};
  const dim4_t w_g = {1, input_c, kh, kw}, b_g = {1, input_c, 1, 1};
  fill_tensor_global_stride(&r.out, &out_g);
  for (int k = 0; k < 2; k++) {
    fill_tensor_global_stride(&r.in[k], &in_g);
    fill_tensor_global_stride(&r.w[k], &w_g);
    fill_tensor_global_stride(&r.b[k], &b_g);
  }
  int param[2][9];
  int zeros[2][2] = {};  // zero rows on top and below the loaded rows of each set
  cmd_id_node_t move, compute;
  tensor_t prev_out = r.out;
  int prev_pad = 0, prev_set = 0, step = 0;
  auto compute_prev = [&](cmd_id_node_t *on) {
    tensor_t *B = have_bias ? &r.b[prev_set] : nullptr;
    if (!prev_pad) {
      const tensor_t *in = &r.in[prev_set];
      const int zt = zeros[prev_set][0], zb = zeros[prev_set][1];
      if (zt || zb || zl || zr)
        dw_zero_border(in->local_offset, in->shape.n, in->shape.c, zt, in->shape.h - zt - zb, zb, zl, input_w, zr,
                       &in->local_stride, on);
      tensor_depthwise(&prev_out, &r.in[prev_set], &r.w[prev_set], B, param[prev_set], on);
    } else {
      // A slice wholly in the padding: the bias over the slice, or zeros.
      const dim4_t dflt = {-1, 0, 0, 0}, bstride = {0, 1, 0, 0};
      atomic_tensor_arithmetic_gen_cmd(0, have_bias ? LADDR(B) : 0, LADDR(&prev_out), &prev_out.shape, 1, 1, 1,
                                       &dflt, have_bias ? &bstride : &dflt, &dflt, TENSOR_OP_ADD, 0, 1, 0,
                                       !have_bias, 0, 0, on);
    }
  };
  for (int b0 = 0; b0 < input_n; b0 += C[0])
    for (int oh0 = 0; oh0 < OH; oh0 += C[2])
      for (int c0 = 0; c0 < input_c; c0 += C[1]) {
        const int sn = input_n - b0 < C[0] ? input_n - b0 : C[0];
        const int sh = OH - oh0 < C[2] ? OH - oh0 : C[2];
        const int sc = input_c - c0 < C[1] ? input_c - c0 : C[1];
        const int set = step % 2;
        const int w0 = oh0 * stride_h, e = w0 + (sh - 1) * stride_h + kh;
        const int all_pad = w0 >= pad_h_top + input_h || e <= pad_h_top;
        tensor_t out = r.out;
        dw_set_shape(&out, sn, sc, sh, OW);
        out.global_addr = output_addr + 4ull * ((u64)b0 * input_c * OH * OW + (u64)c0 * OH * OW + (u64)oh0 * OW);
        cmd_id_node_t *ld = step == 0 ? node : &move;
        if (have_bias) {
          dw_set_shape(&r.b[set], 1, sc, 1, 1);
          r.b[set].global_addr = bias_addr + 4ull * (u64)c0;
          tensor_move(&r.b[set], 0, ld);
        }
        const int top = pad_h_top - w0 > 0 ? pad_h_top - w0 : 0;
        const int bottom = e - input_h - pad_h_top > 0 ? e - input_h - pad_h_top : 0;
        zeros[set][0] = dw_zero_part(top);
        zeros[set][1] = dw_zero_part(bottom);
        if (!all_pad) {
          const int r0 = (w0 > pad_h_top ? w0 : pad_h_top) - pad_h_top;
          const int r1 = (e < pad_h_top + input_h ? e : pad_h_top + input_h) - pad_h_top;
          dw_set_shape(&r.in[set], sn, sc, zeros[set][0] + r1 - r0 + zeros[set][1], W);
          // The loaded rows within the zero border.
          tensor_t rows = r.in[set];
          rows.shape.h = r1 - r0;
          rows.shape.w = input_w;
          rows.local_offset += 4u * (u32)(zeros[set][0] * W + zl);
          rows.global_addr = input_addr + 4ull * ((u64)b0 * input_c * input_h * input_w +
                                                  (u64)c0 * input_h * input_w + (u64)r0 * input_w);
          tensor_move(&rows, 0, ld);
          dw_set_shape(&r.w[set], 1, sc, kh, kw);
          r.w[set].global_addr = weight_addr + 4ull * (u64)c0 * kh * kw;
          tensor_move(&r.w[set], 0, ld);
        }
        param[set][0] = top - zeros[set][0];
        param[set][1] = bottom - zeros[set][1];
        param[set][2] = pl;
        param[set][3] = pr;
        param[set][4] = stride_h;
        param[set][5] = stride_w;
        param[set][6] = 0;
        param[set][7] = 0;
        param[set][8] = have_bias ? 1 : 0;
        if (step > 0) {
          compute_prev(&compute);
          cmd_id_merge(node, &move, &compute);
          tensor_move(&prev_out, 1, node);
        }
        cmd_id_divide(node, &move, &compute);
        prev_out = out;
        prev_pad = all_pad;
        prev_set = set;
        step++;
      }
  cmd_id_merge(node, &move, &compute);
  compute_prev(node);
  tensor_move(&prev_out, 1, node);
}
