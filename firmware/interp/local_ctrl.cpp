// Local layer controllers: the common pattern and the controllers that keep or
// change the slice geometry.
#include "interp/local_ctrl.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/local_mem.h"
#include "interp/record_fields.h"
#include "local/arrange.h"
#include "local/compare_select.h"
#include "local/conv.h"
#include "local/conv_fix.h"
#include "local/conversion.h"
#include "local/eltwise.h"
#include "local/eltwise_fix8b.h"
#include "local/normalize.h"
#include "local/pool.h"
#include "runtime/services.h"

static dim4_t dim4_of(const int s[4]) {
  dim4_t d = {s[0], s[1], s[2], s[3]};
  return d;
}

// ---- Helpers ----

void local_get_input_info(int is_h_split, dynamic_pipe_info_t *slot, u32 id, int shape[4],
                          local_tensor_info_t *record) {
  local_tensor_node_find(slot->list, id, record);
  const u32 dims = record->dims > DYNAMIC_MAX_DIMS ? DYNAMIC_MAX_DIMS : record->dims;
  i32 c = dims > 1 ? record->shape[1] : 1;
  i32 h = dims > 2 ? record->shape[2] : 1;
  i32 w = 1;
  for (u32 i = 3; i < dims; i++) w *= record->shape[i];
  if (is_h_split && h != 1) {
    const i32 real = (i32)record->window_rows - (i32)record->pad_top;
    const i32 left = h - (i32)record->h_start;
    h = real < left ? real : left;
    if (h < 0) h = 0;
  }
  i32 n = (i32)slot->n_slice;
  if (dims > 0 && (i64)slot->n_start + n > record->shape[0]) {
    n = record->shape[0] - (i32)slot->n_start;
    if (n < 0) n = record->shape[0] == 1 ? 1 : 0;
  }
  shape[0] = n;
  shape[1] = c;
  shape[2] = h;
  shape[3] = w;
}

int is_null_shape(const int *shape, int count) {
  for (int i = 0; i < count; i++)
    if (shape[i] == 0) return 1;
  return 0;
}

void local_set_output(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 output_id, u32 output_address,
                      local_tensor_info_t *record, const int shape[4]) {
  (void)output_address;
  (void)shape;
  record->id = output_id;
  dynamic_context_local_set_output_info(ctx, slot, record);
}

// ---- Geometry ----

static i32 div_or_zero(i64 a, i64 b) { return a < 0 || b <= 0 ? 0 : (i32)(a / b); }

// The rows of an h-split window that lie inside the input (the window's rows
// past its pad_top rows of padding, from row h_start), and the bottom padding
// the kernel still takes: none unless the window reaches past the input, then
// at most the rows it reaches past.
static i32 window_rows_inside(const dynamic_conv_geometry_in_t *in, i32 pad_bottom, i32 *kernel_pb) {
  i32 r = in->window_rows - in->pad_top;
  if ((i64)r + in->h_start > in->H) {
    const i32 over = r + in->h_start - in->H;
    *kernel_pb = pad_bottom < over ? pad_bottom : over;
    r = in->H - in->h_start;
  } else {
    *kernel_pb = 0;
  }
  return r < 0 ? 0 : r;
}

// The output's window in the slice, as the geometry places it.
static void set_output_window(local_tensor_info_t *info, const dynamic_conv_geometry_t *g) {
  info->pad_top = (u32)g->out_pad_top;
  info->h_start = (u32)g->out_h_start;
  info->window_rows = (u32)g->out_window_rows;
}

void dynamic_conv_geometry_of(dynamic_conv_geometry_t *g, const dynamic_conv_geometry_in_t *in, int is_h_split) {
  memset(g, 0, sizeof(*g));
  ASSERT(in->sh > 0 && in->sw > 0, "strides %d, %d", (int)in->sh, (int)in->sw);
  g->ow = div_or_zero((i64)in->W + in->pl + in->pr - in->ew, in->sw) + 1;
  g->OH = div_or_zero((i64)in->H + in->pt + in->pb - in->eh, in->sh) + 1;
  if (!is_h_split) {
    g->out_pad_top = 0;
    g->out_h_start = 0;
    g->out_window_rows = g->OH;
    g->kernel_pt = in->pt;
    g->kernel_pb = in->pb;
    g->r = in->H;
    g->oh = g->OH;
    return;
  }
  const i32 Pi = in->pad_top, s = in->h_start;
  if (in->pt < Pi) {
    g->out_pad_top = div_or_zero(Pi - in->pt, in->sh);
    g->out_h_start = 0;
    g->kernel_pt = in->pt;
  } else if (Pi == 0) {
    g->out_h_start = div_or_zero((i64)in->pt + s, in->sh);
    g->out_pad_top = 0;
    g->kernel_pt = 0;
  } else {
    g->out_h_start = div_or_zero(in->pt - Pi, in->sh);
    g->out_pad_top = 0;
    g->kernel_pt = Pi;
  }
  g->out_window_rows = div_or_zero((i64)in->window_rows - in->eh, in->sh) + 1;
  g->r = window_rows_inside(in, in->pb, &g->kernel_pb);
  g->oh = div_or_zero((i64)g->kernel_pt + g->kernel_pb + g->r - in->eh, in->sh) + 1;
}

i32 dynamic_pool_output_extent(i32 extent, i32 pad_lo, i32 pad_hi, i32 kernel, i32 stride, u32 ceil_mode) {
  ASSERT(stride > 0, "pooling stride %d", (int)stride);
  const i64 dividend = (i64)extent + pad_lo + pad_hi - kernel;
  if (dividend < 0) return 1;
  const i64 q = dividend / stride, r = dividend % stride;
  if (ceil_mode == 1) return (i32)(q + 1 + (r != 0 ? 1 : 0));
  if (ceil_mode == 2) return (i32)(r != 0 && stride * (q + 1) < (i64)extent + pad_lo ? q + 2 : q + 1);
  return (i32)(q + 1);
}

// ---- Controllers keeping the slice geometry ----

void dynamic_const_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[CONST_BINARY_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  const u32 op = rec_u32(rec, 4), const_is_left = rec[8], if_relu = rec[9];
  if (!is_null_shape(shape, 4)) {
    if (fp32) {
      const dim4_t d = dim4_of(shape);
      nodechip_const_binary_local(input, &d, rec_u32(rec, 0), output, (int)op, const_is_left, if_relu,
                                  rec_u32(rec, 12), nodes);
    } else {
      const int flag = op == 1 || rec_u16(rec, 20) != 0;
      nodechip_const_binary_fix8b_forward_local(input, output, buffer, (int)rec_f32(rec, 0), shape,
                                                (int)info.dims, (int)op, rec[16], rec[17], rec[18], rec[19],
                                                rec[20], rec[21], flag, const_is_left, if_relu, nodes);
    }
  }
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

void dynamic_eltwise_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[ELTWISE_BINARY_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 a_is_coeff = rec[4], b_is_coeff = rec[5];
  u32 ids[2] = {0, 0}, addrs[2];
  int valid_num = 0;
  if (!a_is_coeff) ids[0] = dynamic_context_read_u32(ctx);
  addrs[0] = dynamic_context_read_u32(ctx);
  if (!b_is_coeff) ids[1] = dynamic_context_read_u32(ctx);
  addrs[1] = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  valid_num = (a_is_coeff ? 0 : 1) + (b_is_coeff ? 0 : 1);
  ASSERT(valid_num > 0);
  local_tensor_info_t info;
  int shape[4];
  // The slice record of the first tensor operand.
  local_get_input_info(ctx->is_h_split, slot, a_is_coeff ? ids[1] : ids[0], shape, &info);
  const u32 op = rec_u32(rec, 0), if_relu = rec[6];
  if (!is_null_shape(shape, 4)) {
    if (fp32) {
      const dim4_t d = dim4_of(shape);
      nodechip_eltwise_binary_local(addrs[0], addrs[1], output, a_is_coeff, b_is_coeff, &d, (int)op, if_relu,
                                    rec_u32(rec, 8), nodes);
    } else {
      const int width[3] = {rec[12], rec[13], rec[14]};
      const int sign[3] = {rec[15], rec[16], rec[17]};
      nodechip_eltwise_binary_fix8b_forward_local(addrs[0], addrs[1], output, buffer, shape, (int)info.dims,
                                                  a_is_coeff, b_is_coeff, (int)op, rec[8], rec[9], rec[10],
                                                  rec[11], width, sign, if_relu, nodes);
    }
  }
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

void dynamic_biasadd_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[BIASADD_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 bias = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    if (fp32)
      nodechip_biasadd_local(input, bias, output, &d, rec[0], rec_u32(rec, 4), nodes);
    else
      nodechip_biasadd_local_fix8b(input, bias, output, buffer, &d, rec[16], rec[17], (int)rec_u32(rec, 12),
                                   (int)rec_u32(rec, 8), rec[0], (int)rec_f32(rec, 4), nodes);
  }
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

void dynamic_active_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[ACTIVE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 type = rec_u32(rec, 4);
  const u32 buffer = (type == 5 || type == 7 || type == 8) ? 0u : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    float param[2] = {rec_f32(rec, 8), rec_f32(rec, 12)};
    nodechip_active_forward_local(input, output, buffer, shape[0], shape[1], shape[2], shape[3], (int)type, param,
                                  nodes);
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_prelu_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[PRELU_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 shared_slope = rec_u32(rec, 4), channel_shared = rec[8];
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 slope = channel_shared == 0 ? dynamic_context_read_u32(ctx) : 0;
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = channel_shared == 0 || shared_slope != 0 ? dynamic_context_read_u32(ctx) : 0;
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    if (ctx->middle_value->data_size == DSIZE_FP32) {
      if (channel_shared && shared_slope == 0)
        nodechip_relu_forward_local(input, output, &d, rec_f32(rec, 12), nodes);
      else
        nodechip_prelu_forward_local_v2(input, output, slope, buffer, channel_shared, shared_slope, &d, 0, nodes);
    } else {
      float f;
      memcpy(&f, &shared_slope, 4);
      nodechip_prelu_forward_local_fix8b_v2(input, output, slope, buffer, channel_shared, (int)f, &d, 0, rec[16],
                                            rec[17], rec[18], rec[9], nodes);
    }
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_dtype_convert_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[DTYPE_CONVERT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = dynamic_context_read_u32(ctx);
  const u32 from = rec_u32(rec, 0), to = rec_u32(rec, 4);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  if (!is_null_shape(shape, 4)) {
    if ((from == 2 || from == 3) && to == 0)
      tensor_int8_to_float_local_v2(input, output, buffer, shape[0], shape[1], shape[2], shape[3], 0, from == 2,
                                    STORAGE_MODE_4N_INT8, nodes);
    else if (from == 0 && (to == 2 || to == 3))
      nodechip_float2int8_local_keep_input(input, output, buffer, shape[0], shape[1], shape[2], shape[3], to == 2,
                                           nodes);
    else
      ASSERT(0);
  }
  if (to == 0)
    info.dtype = DSIZE_FP32;
  else if (to == 4)
    info.dtype = DSIZE_16;
  else if (to == 2 || to == 3)
    info.dtype = DSIZE_8;
  else if (to == 6)
    info.dtype = DSIZE_INT32;
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

// ---- Controllers changing the slice geometry ----

void dynamic_upsample_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[UPSAMPLE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const i32 f = (i32)rec_u32(rec, 0);
  ASSERT(f > 0, "upsample factor %d", (int)f);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  const int out[4] = {shape[0], shape[1], shape[2] * f, shape[3] * f};
  if (!is_null_shape(shape, 4)) {
    const dim4_t is = dim4_of(shape), os = dim4_of(out);
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_upsample_forward_local(input, output, &is, &os, f, nodes, (int)rec_u32(rec, 4));
    else if (ctx->middle_value->data_size == DSIZE_8)
      nodechip_upsample_fix8b_forward_local(input, output, &is, &os, f, (int)rec_u32(rec, 4), (int)rec_u32(rec, 8),
                                            0, 0, 0, nodes);
    else
      ASSERT(0);
  }
  info.id = output_id;
  info.h_start *= (u32)f;
  info.window_rows *= (u32)f;
  if (info.dims > 2) info.shape[2] *= f;
  if (info.dims > 3) info.shape[3] *= f;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_pool_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[POOL_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  ASSERT(info.dims == 4);
  const i32 H = info.shape[2], W = info.shape[3];
  i32 kh = rec_u16(rec, 6), kw = rec_u16(rec, 4);
  if (rec[26]) {
    kh = H;
    kw = W;
  }
  const i32 pt = rec[8], pl = rec[10], sh = rec[12], sw = rec[13];
  i32 pb = rec[9], pr = rec[11];
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const i32 OH = dynamic_pool_output_extent(H, pt, pb, kh, sh, rec[27]);
  const i32 ow = dynamic_pool_output_extent(W, pl, pr, kw, sw, rec[27]);
  if (!fp32) {
    const i32 b = kh + sh * (OH - 1) - H - pt, r = kw + sw * (ow - 1) - W - pl;
    pb = b > 0 ? b : 0;
    pr = r > 0 ? r : 0;
  }
  dynamic_conv_geometry_in_t in = {(i32)info.pad_top, (i32)info.h_start, (i32)info.window_rows, H, W, kh, kw,
                                   pt, pb, pl, pr, sh, sw};
  dynamic_conv_geometry_t g;
  dynamic_conv_geometry_of(&g, &in, ctx->is_h_split);
  const int ishape[4] = {shape[0], shape[1], ctx->is_h_split ? g.r : shape[2], shape[3]};
  const int oshape[4] = {shape[0], shape[1], ctx->is_h_split ? g.oh : OH, ow};
  if (!is_null_shape(ishape, 4) && !is_null_shape(oshape, 4)) {
    const dim4_t is = dim4_of(ishape), os = dim4_of(oshape);
    if (fp32)
      nodechip_pooling_forward_local(input, output, &is, &os, kh, kw, g.kernel_pt, g.kernel_pb, pl, pr, sh, sw,
                                     rec[14], rec[15], nodes, rec[16]);
    else
      nodechip_pooling_fix8b_forward_local(input, 0, 0, output, &is, &os, kh, kw, g.kernel_pt, g.kernel_pb, pl, pr,
                                           sh, sw, 0, 0, rec[14] ? 1 : 0, rec[15], 0, 0, 0, rec[24], 0, 0, rec[25],
                                           rec[16], nodes);
  }
  info.id = ids & 0xffff;
  set_output_window(&info, &g);
  info.shape[2] = OH;
  info.shape[3] = ow;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_conv_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[CONV_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 oc = rec_u16(rec, 0), ic = rec_u16(rec, 2), groups = rec_u32(rec, 8);
  i32 kw = rec_u16(rec, 12), kh = rec_u16(rec, 14);
  const i32 dh = rec[16], dw = rec[17], pt = rec[18], pb = rec[19], pl = rec[20], pr = rec[21];
  const i32 sh = rec[22], sw = rec[23];
  const u32 bias_mode = rec[24], if_relu = rec[25];
  const float cap_f = rec_f32(rec, 28);
  const u32 use_winograd = rec[32];
  const u32 lane = rec_u32(rec, 36), second_id = rec_u32(rec, 40);
  const int depthwise = groups > 1 && ic == groups && oc == groups;
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  u32 weight = dynamic_context_read_u32(ctx);
  u32 bias = bias_mode == 1 ? dynamic_context_read_u32(ctx) : 0;
  u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = (if_relu >> 4) != 0 || (depthwise && (dh != 1 || dw != 1)) ? dynamic_context_read_u32(ctx) : 0;
  ASSERT(groups > 0, "groups 0");
  if (use_winograd) kh = kw = 3;
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  ASSERT(info.dims == 4);
  dynamic_conv_geometry_in_t in = {(i32)info.pad_top, (i32)info.h_start, (i32)info.window_rows,
                                   info.shape[2], info.shape[3], (kh - 1) * (dh > 0 ? dh : 1) + 1,
                                   (kw - 1) * (dw > 0 ? dw : 1) + 1, pt, pb, pl, pr, sh, sw};
  dynamic_conv_geometry_t g;
  dynamic_conv_geometry_of(&g, &in, ctx->is_h_split);
  const u32 lane_bits = (lane & 0x3f) << 19;
  if (bias_mode == 2) {
    u64 per_lane = (u64)kh * kw * ALIGN(ic / groups, 4u);
    if (use_winograd) per_lane *= ceil_div(oc / groups, NPU_NUM);
    bias = weight + (u32)per_lane;
  }
  weight += lane_bits;
  if (bias != 0 || bias_mode == 2) bias += lane_bits;
  output += lane_bits + (lane / NPU_NUM) * eu_plane((u32)(g.oh * g.ow)) * 4;
  const int ishape[4] = {shape[0], (i32)ic, ctx->is_h_split ? g.r : shape[2], shape[3]};
  const int oshape[4] = {shape[0], (i32)oc, g.oh, g.ow};
  const dim4_t is = dim4_of(ishape), os = dim4_of(oshape);
  const u32 relu = if_relu & 0xf;
  const u32 ds = ctx->middle_value->data_size;
  if (!is_null_shape(ishape, 4) && !is_null_shape(oshape, 4)) {
    const int cap = (int)cap_f;
    if (ds == DSIZE_FP32) {
      float cap_back = (float)cap;
      u32 cap_bits;
      memcpy(&cap_bits, &cap_back, 4);
      if (use_winograd)
        nodechip_winograd_forward_local(input, weight, bias, output, buffer, &is, &os, (int)groups, g.kernel_pt,
                                        g.kernel_pb, pl, pr, bias_mode != 0, 0, relu, (int)cap_bits, use_winograd,
                                        0, 0, 0, 0, nodes);
      else
        nodechip_conv_forward_local(input, weight, bias, output, buffer, &is, &os, (int)groups, kh, kw, dh, dw,
                                    g.kernel_pt, g.kernel_pb, pl, pr, sh, sw, bias_mode != 0, 0, relu, (int)cap_bits,
                                    0, 0, 0, 0, nodes);
    } else if (ds == DSIZE_8) {
      const u8 *o = rec + 44;
      const int w48 = (int)rec_u32(rec, 48), w52 = (int)rec_u32(rec, 52), w56 = (int)rec_u32(rec, 56);
      if (use_winograd) {
        nodechip_winograd_forward_local_fix8b(input, weight, bias, output, buffer, &is, &os, (int)groups,
                                              g.kernel_pt, g.kernel_pb, pl, pr, (int)bias_mode, 0, relu, cap,
                                              use_winograd, 0, 0, 0, 0, o[0], o[1], o[2], o[3], 3, w48, w52, w56,
                                              0, nodes);
      } else if (depthwise) {
        ASSERT(dh == 1 && dw == 1);
        nodechip_pooling_fix8b_forward_local(input, weight, bias, output, &is, &os, kh, kw, g.kernel_pt,
                                             g.kernel_pb, pl, pr, sh, sw, 0, 0, 2, 0, o[0], bias_mode != 0, 0, o[1],
                                             o[2], o[3], 0, relu, nodes);
      } else {
        nodechip_conv_forward_local_fix8b(input, weight, bias, output, buffer, &is, &os, (int)groups, kh, kw, dh,
                                          dw, g.kernel_pt, g.kernel_pb, pl, pr, sh, sw, (int)bias_mode, 0, relu,
                                          cap, 0, 0, 0, 0, 0, 0, o[0], o[1], o[2], o[3], 3, w48, w52, w56, 0,
                                          nodes);
      }
    } else if (ds == DSIZE_16) {
      ASSERT(use_winograd == 0);
      const u8 *o = rec + 44;
      nodechip_conv_forward_local_fix16b(input, weight, bias, output, buffer, &is, &os, (int)groups, kh, kw, dh, dw,
                                         g.kernel_pt, g.kernel_pb, pl, pr, sh, sw, (int)bias_mode, 0, relu, cap, 0,
                                         0, 0, 0, o[0], o[1], o[2], o[3], 3, nodes);
    } else {
      ASSERT(0 && "dynamic_conv_layer_ctrl(): unsupported conv data size!");
    }
  }
  local_tensor_info_t out;
  memset(&out, 0, sizeof(out));
  out.id = ids & 0xffff;
  set_output_window(&out, &g);
  out.dims = 4;
  out.shape[0] = (i32)rec_u32(rec, 4);
  out.shape[1] = (i32)oc;
  out.shape[2] = g.OH;
  out.shape[3] = g.ow;
  out.elem_num = 0;
  out.dtype = ds == DSIZE_16 ? (u32)DSIZE_16 : info.dtype;
  dynamic_context_local_set_output_info(ctx, slot, &out);
  if (second_id != out.id) {
    local_tensor_info_t second = out;
    second.id = second_id;
    second.pad_top = 0;
    second.shape[0] = shape[0];
    second.shape[2] = g.oh;
    second.consume_count = (u8)dynamic_context_find_split_consume(ctx, second_id);
    local_tensor_node_push_front(slot->list, &second);
  }
}

// ---- More controllers keeping the slice geometry ----

void dynamic_lrn_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[LRN_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    const float alpha = rec_f32(rec, 4), beta = rec_f32(rec, 8), k = rec_f32(rec, 12);
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_lrn_forward_local(input, output, buffer, &d, alpha, rec[16], beta, k, 0, &nodes[0], &nodes[1]);
    else
      nodechip_lrn_fix8b_forward_local(input, output, buffer, &d, alpha, rec[16], beta, k, 0, rec[17], &nodes[0],
                                       &nodes[1], 0, rec_f32(rec, 20), rec_f32(rec, 24));
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_batchnorm_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[BATCHNORM_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 mean = dynamic_context_read_u32(ctx);
  const u32 variance = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  const u32 shift = fp32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    if (fp32)
      nodechip_batchnorm_layer_local(input, output, mean, variance, shape[0], shape[1], shape[2], shape[3], 0, 0,
                                     rec[15] != 0, 0, nodes);
    else
      nodechip_bnscale_fix8b_forward_local(input, buffer, mean, variance, shift, output, shape[0], shape[1], shape[2],
                                           shape[3], rec[12], rec[13], rec[14], 3, 3, 3, rec[15],
                                           (int)rec_f32(rec, 16), nodes);
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_scale_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[SCALE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 scale = dynamic_context_read_u32(ctx);
  const u32 bias = rec[12] ? dynamic_context_read_u32(ctx) : 0;
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  const u32 shift = fp32 ? 0 : dynamic_context_read_u32(ctx);
  i32 shape_axis = (i32)rec_u32(rec, 4);
  if (shape_axis < 0) shape_axis += (i32)rec_u32(rec, 8);
  ASSERT(shape_axis >= 0 && shape_axis < 4);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    int sshape[4] = {1, 1, 1, 1};
    sshape[shape_axis] = shape[shape_axis];
    const dim4_t sd = dim4_of(sshape);
    if (fp32)
      nodechip_scale_forward_local(input, scale, bias, output, &d, &sd, rec[12] != 0, rec[13], 0, 1, 1, nodes);
    else
      nodechip_bnscale_fix8b_forward_local(input, buffer, scale, bias, shift, output, shape[0], shape[1], shape[2],
                                           shape[3], rec[20], rec[21], rec[22], 1, 1, 1, rec[13],
                                           (int)rec_f32(rec, 16), nodes);
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_eltwise_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[ELTWISE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 op = rec[4], k = rec[5];
  // The per-input bytes of the record hold at most ten inputs.
  ASSERT(k > 0 && k <= 10, "eltwise of %u inputs", (unsigned)k);
  u32 *addrs = (u32 *)malloc(k * sizeof(u32));
  float *coeffs = (float *)malloc(k * sizeof(float));
  ASSERT(addrs != nullptr && coeffs != nullptr);
  u32 last_id = 0;
  for (u32 i = 0; i < k; i++) {
    last_id = dynamic_context_read_u32(ctx) & 0xffff;
    coeffs[i] = 1.0f;
    if (op == 1) {
      const u32 c = dynamic_context_read_u32(ctx);
      memcpy(&coeffs[i], &c, 4);
    }
    addrs[i] = dynamic_context_read_u32(ctx);
  }
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, last_id, shape, &info);
  if (!is_null_shape(shape, 4)) {
    if (fp32) {
      nodechip_eltwise_forward_local(addrs, output, shape[0], shape[1], shape[2], shape[3], nullptr, 0, (int)op,
                                     coeffs, (int)k, rec[6], nodes);
    } else {
      int mult[10], shifts[10], signs[10];
      for (u32 i = 0; i < k; i++) mult[i] = rec[7 + i], shifts[i] = rec[17 + i], signs[i] = 0;
      nodechip_eltwise_fix8b_forward_local(addrs, output, buffer, shape[0], shape[1], shape[2], shape[3], nullptr, 0,
                                           (int)op, mult, shifts, signs, (int)k, rec[6], nodes);
    }
  }
  free(addrs);
  free(coeffs);
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

void dynamic_normalize_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[NORMALIZE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 scale = rec[13] == 0 ? dynamic_context_read_u32(ctx) : 0;
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_normalize_forward_local(input, output, buffer, scale, &d, rec[12], rec[13], rec_f32(rec, 4),
                                       rec_f32(rec, 8), rec[14], nodes);
    else
      nodechip_normalize_fix8b_forward_local(input, output, buffer, scale, &d, rec[12], rec[13], rec_f32(rec, 4),
                                             rec_f32(rec, 8), rec[14], rec[20], rec[21], nodes);
  }
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_reorg_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[REORG_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = dynamic_context_read_u32(ctx);
  const i32 st = (i32)rec_u32(rec, 0);
  const int reverse = rec_u32(rec, 4) != 0;
  ASSERT(st > 0, "reorg stride %d", (int)st);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  const int out[4] = {shape[0], reverse ? shape[1] / (st * st) : shape[1] * st * st,
                      reverse ? shape[2] * st : shape[2] / st, reverse ? shape[3] * st : shape[3] / st};
  if (!is_null_shape(shape, 4)) nodechip_reorg_forward_local(input, output, buffer, shape, out, 0, &nodes[0], &nodes[1]);
  info.id = ids & 0xffff;
  for (int i = 1; i < 4 && i < (int)info.dims; i++) info.shape[i] = out[i];
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_mulshift_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[MULSHIFT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = rec[12] == 1 && rec[13] == 0 ? dynamic_context_read_u32(ctx) : 0;
  ASSERT(ctx->middle_value->data_size != DSIZE_FP32);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  if (!is_null_shape(shape, 4))
    nodechip_mulshift_fix8b_forward_local(input, buffer, output, shape[0], shape[1], shape[2], shape[3],
                                          (int)rec_u32(rec, 4), (int)rec_u32(rec, 8), rec[12], 0, rec[13], nodes);
  local_set_output(ctx, slot, ids & 0xffff, output, &info, shape);
}

void dynamic_select_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[SELECT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 then_const = rec[8], else_const = rec[9];
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  u32 then_addr = 0, else_addr = 0;
  if (!then_const) {
    dynamic_context_read_u32(ctx);  // operand id
    then_addr = dynamic_context_read_u32(ctx);
  }
  if (!else_const) {
    dynamic_context_read_u32(ctx);
    else_addr = dynamic_context_read_u32(ctx);
  }
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 ds = ctx->middle_value->data_size;
  const int floating = ds == DSIZE_FP32 || ds == DSIZE_INT32;
  const u32 buffer = ds == DSIZE_FP32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  if (!is_null_shape(shape, 4)) {
    const dim4_t d = dim4_of(shape);
    if (floating)
      nodechip_select_local(input, then_addr, then_const, rec_u32(rec, 0), else_addr, else_const, rec_u32(rec, 4),
                            output, &d, rec[10], rec_u32(rec, 12), info.dtype == DSIZE_INT32, nodes);
    else
      nodechip_select_fix8b_local(input, buffer, then_addr, then_const, (int)rec_f32(rec, 0), else_addr, else_const,
                                  (int)rec_f32(rec, 4), output, &d, rec[10], 0, 0, 1, 0, 1, 0, 0, 0, nodes);
  }
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

void dynamic_lut_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[LUT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  dynamic_context_read_u32(ctx);  // not used
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 a = dynamic_context_read_u32(ctx);
  const u32 b = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 c = dynamic_context_read_u32(ctx);
  const u32 dims = rec[0];
  ASSERT(dims <= 4, "lut of %u dims", (unsigned)dims);
  local_tensor_info_t info;
  int shape[4] = {1, 1, 1, 1};
  if (rec[1]) {
    // The slice shape is the record's; no input record is read, and the
    // output record carries only its id, type and count.
    memset(&info, 0, sizeof(info));
    for (u32 i = 0; i < dims; i++) shape[i] = (int)rec_u32(rec, 4 + 4 * i);
  } else {
    local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  }
  if (!is_null_shape(shape, (int)dims)) nodechip_lut_local(a, b, c, output, shape, (int)dims, rec[3], nodes);
  info.dtype = rec_u32(rec, 36);
  local_set_output(ctx, slot, output_id, output, &info, shape);
}

// ---- More controllers changing the slice geometry ----

void dynamic_deconv_geometry_of(dynamic_conv_geometry_t *g, const dynamic_conv_geometry_in_t *in, i32 oph, i32 opw,
                                int is_h_split, int fp32) {
  memset(g, 0, sizeof(*g));
  ASSERT(in->sh > 0 && in->sw > 0, "strides %d, %d", (int)in->sh, (int)in->sw);
  const i32 sh = in->sh, sw = in->sw, eh = in->eh, ew = in->ew;
  g->OH = sh * (in->H - 1) + oph - (in->pt + in->pb) + eh;
  g->ow = sw * (in->W - 1) + opw - (in->pl + in->pr) + ew;
  i32 tp = eh - 1 - in->pt, bp = eh - 1 - in->pb;
  // The transposed left and right paddings travel in pl and pr of the result.
  i32 lp = ew - 1 - in->pl, rp = ew - 1 - in->pr;
  if (!is_h_split) {
    bp += ((tp + bp - eh + g->OH) % sh + sh) % sh;
    if (fp32) rp += ((lp + rp - ew + g->ow) % sw + sw) % sw;
    g->out_pad_top = 0;
    g->out_h_start = 0;
    g->out_window_rows = g->OH;
    g->kernel_pt = tp;
    g->kernel_pb = bp;
    g->r = in->H;
    g->oh = g->OH;
  } else {
    const i32 Pi = in->pad_top, s = in->h_start, R = in->window_rows;
    if (tp < Pi) {
      g->out_pad_top = sh * (Pi - tp);
      g->out_h_start = 0;
    } else if (Pi == 0) {
      g->out_h_start = sh * (tp + s);
      tp = 0;
    } else {
      g->out_h_start = sh * (tp - Pi);
      tp = Pi;
    }
    g->out_window_rows = sh * (R - 1) + 1;
    g->r = window_rows_inside(in, bp, &bp);
    g->kernel_pt = tp;
    g->kernel_pb = bp;
    g->oh = sh * (g->r - 1) + 2 - eh + tp + bp;
    if (g->oh < 0) g->oh = 0;
  }
  g->kernel_pl = lp;
  g->kernel_pr = rp;
}

void dynamic_deconv_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[DECONV_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 oc = rec_u16(rec, 0), ic = rec_u16(rec, 2), groups = rec_u32(rec, 4);
  const i32 kw = rec_u16(rec, 8), kh = rec_u16(rec, 10), dh = rec[12] ? rec[12] : 1, dw = rec[13] ? rec[13] : 1;
  const u32 has_bias = rec[20], if_relu = rec[21] & 0xf;
  const u32 ids = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 weight = dynamic_context_read_u32(ctx);
  const u32 bias = has_bias ? dynamic_context_read_u32(ctx) : 0;
  const u32 output = dynamic_context_read_u32(ctx);
  ASSERT(groups > 0, "groups 0");
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, ids >> 16, shape, &info);
  ASSERT(info.dims == 4);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  dynamic_conv_geometry_in_t in = {(i32)info.pad_top, (i32)info.h_start, (i32)info.window_rows, info.shape[2],
                                   info.shape[3], (kh - 1) * dh + 1, (kw - 1) * dw + 1, rec[14], rec[15], rec[16],
                                   rec[17], rec[18], rec[19]};
  dynamic_conv_geometry_t g;
  dynamic_deconv_geometry_of(&g, &in, rec[32], rec[33], ctx->is_h_split, fp32);
  const int ishape[4] = {shape[0], (int)ic, ctx->is_h_split ? g.r : shape[2], shape[3]};
  const int oshape[4] = {shape[0], (int)oc, g.oh, g.ow};
  if (!is_null_shape(ishape, 4) && !is_null_shape(oshape, 4)) {
    const dim4_t is = dim4_of(ishape), os = dim4_of(oshape);
    if (fp32) {
      nodechip_deconv_forward_local(input, weight, bias, output, &is, &os, (int)groups, kh, kw, dh, dw, g.kernel_pt,
                                    g.kernel_pb, g.kernel_pl, g.kernel_pr, rec[18] - 1, rec[19] - 1, has_bias != 0, 0,
                                    if_relu, nodes);
    } else if (groups > 1 && ic == groups && oc == groups) {
      ASSERT(dh == 1 && dw == 1);
      nodechip_pooling_fix8b_forward_local(input, weight, bias, output, &is, &os, kh, kw, g.kernel_pt, g.kernel_pb,
                                           g.kernel_pl, g.kernel_pr, 1, 1, rec[18] - 1, rec[19] - 1, 2, 0, 0,
                                           has_bias != 0, 0, 0, 0, 0, 0, if_relu, nodes);
    } else {
      nodechip_deconv_fix8b_forward_local(input, weight, bias, output, &is, &os, (int)groups, kh, kw, dh, dw,
                                          g.kernel_pt, g.kernel_pb, g.kernel_pl, g.kernel_pr, rec[18] - 1,
                                          rec[19] - 1, (int)has_bias, if_relu, 0, 0, 0, 0, nodes);
    }
  }
  info.id = ids & 0xffff;
  set_output_window(&info, &g);
  info.shape[1] = (i32)oc;
  info.shape[2] = g.OH;
  info.shape[3] = g.ow;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_strideslice_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[STRIDE_SLICE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 begin_mask = rec_u32(rec, 0), end_mask = rec_u32(rec, 4), shrink_mask = rec_u32(rec, 108);
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  int begin[4], end[4], stride[4];
  i32 out[4];
  for (int i = 0; i < 4; i++) {
    stride[i] = (int)rec_u32(rec, 72 + 4 * i);
    // A stride of 0 would divide by zero below and never end in the kernel.
    ASSERT(stride[i] != 0, "stride %d of dimension %d", stride[i], i);
    const int b = (begin_mask >> i) & 1 ? 0 : (int)rec_u32(rec, 8 + 4 * i);
    const int e = (end_mask >> i) & 1 ? shape[i] : (int)rec_u32(rec, 40 + 4 * i);
    out[i] = (i32)ceil((double)(e - b) / stride[i]);
    begin[i] = b;
    end[i] = (shrink_mask >> i) & 1 ? b + stride[i] : e;
    if (i == 2 && info.h_start != 0) begin[i] = 0;
  }
  if (!is_null_shape(shape, 4))
    nodechip_stride_slice_forward_local(input, output, shape, (int)rec_u32(rec, 104), 0, 0, begin, end, stride, nodes);
  (void)nodes;
  info.id = output_id;
  for (int i = 0; i < 4; i++) info.shape[i] = out[i];
  if (!ctx->is_h_split) {
    info.h_start = 0;
    info.window_rows = (u32)out[2];
  } else {
    const int B = ((begin_mask >> 2) & 1) || ((shrink_mask >> 2) & 1) ? 0 : (int)rec_u32(rec, 16);
    if (info.h_start == 0) {
      info.window_rows = (u32)ceil((double)((i32)info.window_rows - B) / stride[2]);
    } else {
      info.h_start = (u32)ceil((double)((i32)info.h_start - B) / stride[2]);
      info.window_rows = (u32)ceil((double)info.window_rows / stride[2]);
    }
  }
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_concat_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[CONCAT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 head = dynamic_context_read_u32(ctx);
  const u32 output_id = head >> 16, k = head & 0xffff;
  ASSERT(k > 0, "concat of 0 inputs");
  u32 *ids = (u32 *)malloc(k * sizeof(u32));
  u32 *addrs = (u32 *)malloc(k * sizeof(u32));
  int *shapes = (int *)malloc(k * 4 * sizeof(int));
  const int **shape_ptrs = (const int **)malloc(k * sizeof(int *));
  ASSERT(ids != nullptr && addrs != nullptr && shapes != nullptr && shape_ptrs != nullptr);
  for (u32 i = 0; i < k; i += 2) {
    const u32 w = dynamic_context_read_u32(ctx);
    ids[i] = w & 0xffff;
    if (i + 1 < k) ids[i + 1] = w >> 16;
  }
  for (u32 i = 0; i < k; i++) addrs[i] = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const i32 oc = (i32)rec_u32(rec, 0), oh = (i32)rec_u32(rec, 4), ow = (i32)rec_u32(rec, 8);
  local_tensor_info_t info;
  for (u32 i = 0; i < k; i++) {
    local_get_input_info(ctx->is_h_split, slot, ids[i], &shapes[4 * i], &info);
    shape_ptrs[i] = &shapes[4 * i];
  }
  int concat_axis;
  if (k == 1 || shapes[1] < oc)
    concat_axis = 1;
  else if (shapes[2] < oh)
    concat_axis = 2;
  else if (shapes[3] < ow)
    concat_axis = 3;
  else
    concat_axis = 0;
  ASSERT(concat_axis == 1 || concat_axis == 3 || (concat_axis == 2 && !ctx->is_h_split));
  const int out[4] = {(int)slot->n_slice, oc, concat_axis == 1 || concat_axis == 3 ? shapes[2] : oh, ow};
  if (!is_null_shape(out, 4)) {
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_concat_local(addrs, output, shape_ptrs, (int)k, out, concat_axis, nodes);
    else
      nodechip_concat_fix8b_local(concat_axis, (int)k, addrs, output, shape_ptrs, out, nodes);
  }
  free(ids);
  free(addrs);
  free(shapes);
  free(shape_ptrs);
  info.id = output_id;
  info.window_rows = (u32)out[2];
  info.shape[1] = oc;
  info.shape[2] = oh;
  info.shape[3] = ow;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

static dim4_t bcast_stride(const int *own, const int *other, int compact) {
  const int plane = compact ? own[2] * own[3] : (int)eu_plane((u32)(own[2] * own[3]));
  i32 f[4] = {plane * (i32)ceil_div(own[1], NPU_NUM), plane, own[3], 1};
  for (int i = 0; i < 4; i++)
    if (own[i] == 1 && other[i] != 1) f[i] = 0;
  const dim4_t st = {f[0], f[1], f[2], f[3]};
  return st;
}

void dynamic_broadcast_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[BROADCAST_BINARY_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 a_id = dynamic_context_read_u32(ctx);
  const u32 a = dynamic_context_read_u32(ctx);
  const u32 b_id = dynamic_context_read_u32(ctx);
  const u32 b = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const u32 buffer = fp32 ? 0 : dynamic_context_read_u32(ctx);
  local_tensor_info_t tensor0_info, tensor1_info;
  int s0[4], s1[4];
  local_get_input_info(ctx->is_h_split, slot, a_id, s0, &tensor0_info);
  local_get_input_info(ctx->is_h_split, slot, b_id, s1, &tensor1_info);
  ASSERT(tensor0_info.dims == tensor1_info.dims);
  ASSERT(tensor0_info.dims <= 4);
  int out[4], same = 1;
  for (int i = 0; i < 4; i++) {
    int slice0_shape_i = s0[i], slice1_shape_i = s1[i];
    if (slice0_shape_i != slice1_shape_i) {
      const int *slice0_shape = s0, *slice1_shape = s1;
      ASSERT((slice0_shape[i] == 1) || (slice1_shape[i] == 1));
      same = 0;
    }
    out[i] = slice0_shape_i > slice1_shape_i ? slice0_shape_i : slice1_shape_i;
  }
  const u32 op = rec_u32(rec, 4);
  if (!is_null_shape(out, 4)) {
    const dim4_t od = dim4_of(out);
    if (fp32 && same) {
      nodechip_eltwise_binary_local(a, b, output, rec[1], rec[3], &od, (int)op, rec[8], rec_u32(rec, 76), nodes);
    } else if (fp32) {
      dim4_t as = dim4_of(s0), bs = dim4_of(s1);
      const dim4_t ast = bcast_stride(s0, s1, rec[1]), bst = bcast_stride(s1, s0, rec[3]);
      const dim4_t rst = bcast_stride(out, out, 0);
      const u32 scratch = s0[1] == 1 && out[1] != 1 ? a : b;
      nodechip_broadcast_binary_local(a, &as, &ast, b, &bs, &bst, output, &rst, (int)op, rec[8], rec_u32(rec, 76),
                                      scratch, nodes);
    } else {
      const int width[3] = {rec[92], rec[92], rec[92]};
      const int sign[3] = {rec[93], rec[93], rec[93]};
      nodechip_broadcast_binary_fix8b_forward_local(a, b, output, buffer, s0, s1, (int)tensor0_info.dims, rec[1],
                                                    rec[3], (int)op, rec[88], rec[89], rec[90], rec[91], width, sign,
                                                    rec[8], nodes);
    }
  }
  local_tensor_info_t o = tensor0_info;
  o.id = output_id;
  for (u32 i = 0; i < o.dims && i < DYNAMIC_MAX_DIMS; i++)
    if (o.shape[i] == 1) o.shape[i] = tensor1_info.shape[i];
  o.pad_top = (i32)tensor0_info.pad_top > (i32)tensor1_info.pad_top ? tensor0_info.pad_top : tensor1_info.pad_top;
  o.h_start = (i32)tensor0_info.h_start > (i32)tensor1_info.h_start ? tensor0_info.h_start : tensor1_info.h_start;
  o.window_rows = (i32)tensor0_info.window_rows > (i32)tensor1_info.window_rows ? tensor0_info.window_rows
                                                                                 : tensor1_info.window_rows;
  o.elem_num = (i32)tensor0_info.elem_num > (i32)tensor1_info.elem_num ? tensor0_info.elem_num : tensor1_info.elem_num;
  dynamic_context_local_set_output_info(ctx, slot, &o);
}

void dynamic_tile_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[TILE_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  if (rec[1]) {
    fw_log(0, "input is coeff not support in local\n");
    ASSERT(0);
  }
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const int bottom_dims = rec[3];
  ASSERT(bottom_dims <= 4, "tile of %d dims", bottom_dims);
  int multiples[4] = {1, 1, 1, 1};
  if (rec[0]) {
    dynamic_context_read_u32(ctx);  // not used
    for (int i = 0; i < 4; i++) multiples[i] = (int)rec_u32(rec, 36 + 4 * i);
  } else {
    dynamic_tensor_info_t coeff = {};
    dynamic_context_unpack_shape_tensor(ctx, &coeff, 0);
    ASSERT_FS(coeff.dims == 1 && coeff.shape[0] >= bottom_dims);
    ASSERT(coeff.host_data != nullptr, "multiples of tensor %u have no values", (unsigned)coeff.id);
    const i32 *v = (const i32 *)coeff.host_data;
    for (int i = 0; i < bottom_dims; i++) multiples[i] = (int)v[i];
  }
  local_tensor_info_t info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  int out[4];
  for (int i = 0; i < 4; i++) out[i] = shape[i] * multiples[i];
  if (!is_null_shape(shape, 4)) {
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_tile_local(input, output, shape, multiples, bottom_dims, 0, 0, 0, nodes);
    else
      nodechip_tile_fix8b_local(input, output, shape, multiples, bottom_dims, 0, 0, 0, nodes);
  }
  info.id = output_id;
  if (multiples[2] > 0) info.window_rows *= (u32)multiples[2];
  for (int i = 0; i < 4; i++) info.shape[i] = out[i];
  info.dtype = rec_u32(rec, 80);
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_pad_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[PAD_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  int paddings[8];
  for (int i = 0; i < 8; i++) paddings[i] = (int)rec_u32(rec, 12 + 4 * i);
  local_tensor_info_t info;
  int shape[4];
  if (rec[64]) {
    dynamic_tensor_info_t pads = {};
    dynamic_context_unpack_shape_tensor(ctx, &pads, 0);
    ASSERT_FS(pads.shape[0] <= 8);
    ASSERT(pads.host_data != nullptr, "paddings of tensor %u have no values", (unsigned)pads.id);
    local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
    // The given pairs pad the last dimensions; they must fit the eight words.
    const i32 first = 2 * ((i32)info.dims - pads.shape[0] / 2);
    ASSERT(first >= 0 && first + pads.shape[0] <= 8, "paddings from word %d, %d of them", (int)first,
           (int)pads.shape[0]);
    memset(paddings, 0, sizeof(paddings));
    memcpy(&paddings[first], pads.host_data, (size_t)pads.shape[0] * sizeof(i32));
  } else {
    local_get_input_info(ctx->is_h_split, slot, input_id, shape, &info);
  }
  int out[4];
  for (int i = 0; i < 4; i++) out[i] = shape[i] + paddings[2 * i] + paddings[2 * i + 1];
  const float value = rec_f32(rec, 4);
  const u32 ds = ctx->middle_value->data_size;
  if (!is_null_shape(shape, 4)) {
    if (ds == DSIZE_FP32 || ds == DSIZE_INT32)
      nodechip_pad_local(input, output, shape[0], shape[1], shape[2], shape[3], paddings, (int)rec_u32(rec, 8), value,
                         nodes);
    else if (ds == DSIZE_8)
      nodechip_pad_fix8b_local(input, output, shape[0], shape[1], shape[2], shape[3], paddings, (int)rec_u32(rec, 8),
                               pad_value_byte(value), nodes);
    else
      ASSERT(0);
  }
  info.id = output_id;
  for (int i = 0; i < 4; i++) info.shape[i] = out[i];
  info.window_rows += (u32)(paddings[4] + paddings[5]);
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_reduce_full_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  ASSERT(ctx->middle_value->data_size == DSIZE_FP32, "dynamic local reduce full only support fp32 now");
  u8 rec[REDUCE_FULL_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  const u32 input_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 keep_dims = rec_u16(rec, 0), axis_num = rec_u16(rec, 2), method = rec_u32(rec, 4);
  local_tensor_info_t tensor_info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &tensor_info);
  ASSERT(tensor_info.dims <= 4);
  ASSERT(axis_num <= REDUCE_FULL_RECORD_BYTES - 8, "%u axes", (unsigned)axis_num);
  int reduce_axis[4] = {0, 0, 0, 0};
  for (u32 i = 0; i < axis_num; i++) {
    const u32 axis = rec[8 + i];
    // An axis past the slice would mark outside the flags.
    ASSERT(axis < 4, "reduce axis %u", (unsigned)axis);
    reduce_axis[axis] = 1;
  }
  ASSERT(!reduce_axis[0] && !reduce_axis[1]);
  int kshape[4] = {1, 1, 1, 1};
  for (u32 i = 0; i < tensor_info.dims; i++) kshape[i] = shape[i];
  if (!is_null_shape(kshape, 4)) {
    const dim4_t d = dim4_of(kshape);
    nodechip_reduce_local_onedim(input, output, &d, (int)method, (u8)reduce_axis[3], (u8)reduce_axis[2], nodes);
  }
  int out[4], dims = 0;
  for (u32 i = 0; i < tensor_info.dims; i++) {
    if (reduce_axis[i] && !keep_dims) continue;
    out[dims++] = reduce_axis[i] ? 1 : kshape[i];
  }
  for (int i = dims; i < 4; i++) out[i] = 1;
  tensor_info.id = output_id;
  tensor_info.dims = (u32)dims;
  for (int i = 0; i < dims; i++) tensor_info.shape[i] = out[i];
  tensor_info.window_rows = (u32)out[2];
  dynamic_context_local_set_output_info(ctx, slot, &tensor_info);
}

void dynamic_arith_shift_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  u8 rec[ARITH_SHIFT_RECORD_BYTES];
  dynamic_context_read_record(ctx, rec, sizeof(rec));
  if (rec_u32(rec, 12) == 1)
    ASSERT(ctx->middle_value->data_size == DSIZE_16);
  else
    ASSERT(ctx->middle_value->data_size == DSIZE_8);
  const u32 input_id = dynamic_context_read_u32(ctx);
  dynamic_context_read_u32(ctx);  // not used
  const u32 output_id = dynamic_context_read_u32(ctx);
  const u32 input = dynamic_context_read_u32(ctx);
  const u32 shift = dynamic_context_read_u32(ctx);
  const u32 output = dynamic_context_read_u32(ctx);
  const u32 buffer = dynamic_context_read_u32(ctx);
  local_tensor_info_t input0_tensor_info;
  int shape[4];
  local_get_input_info(ctx->is_h_split, slot, input_id, shape, &input0_tensor_info);
  ASSERT(input0_tensor_info.dims <= 4);
  nodechip_arith_shift_fix8b_forward_local(input, shift, buffer, output, shape[0], shape[1], shape[2], shape[3],
                                           (int)rec_u32(rec, 4), (int)rec_u32(rec, 8), (int)rec_u32(rec, 12),
                                           (int)rec_u32(rec, 0), nodes);
  input0_tensor_info.id = output_id;
  input0_tensor_info.dtype = DSIZE_8;
  dynamic_context_local_set_output_info(ctx, slot, &input0_tensor_info);
}

void dynamic_local_func_map_fill(dynamic_local_ctrl_t *map) {
  map[DYNAMIC_LAYER_CONV] = dynamic_conv_layer_ctrl;
  map[DYNAMIC_LAYER_POOLING] = dynamic_pool_layer_ctrl;
  map[DYNAMIC_LAYER_LRN] = dynamic_lrn_layer_ctrl;
  map[DYNAMIC_LAYER_CONCAT] = dynamic_concat_layer_ctrl;
  map[DYNAMIC_LAYER_BATCHNORM] = dynamic_batchnorm_layer_ctrl;
  map[DYNAMIC_LAYER_SCALE] = dynamic_scale_layer_ctrl;
  map[DYNAMIC_LAYER_ELTWISE] = dynamic_eltwise_layer_ctrl;
  map[DYNAMIC_LAYER_PRELU] = dynamic_prelu_layer_ctrl;
  map[DYNAMIC_LAYER_NORMALIZE] = dynamic_normalize_layer_ctrl;
  map[DYNAMIC_LAYER_REORG] = dynamic_reorg_layer_ctrl;
  map[DYNAMIC_LAYER_DECONV] = dynamic_deconv_layer_ctrl;
  map[DYNAMIC_LAYER_MULSHIFT] = dynamic_mulshift_layer_ctrl;
  map[DYNAMIC_LAYER_PAD] = dynamic_pad_layer_ctrl;
  map[DYNAMIC_LAYER_TILE] = dynamic_tile_layer_ctrl;
  map[DYNAMIC_LAYER_SELECT] = dynamic_select_layer_ctrl;
  map[DYNAMIC_LAYER_BROADCAST_BINARY] = dynamic_broadcast_binary_layer_ctrl;
  map[DYNAMIC_LAYER_CONST_BINARY] = dynamic_const_binary_layer_ctrl;
  map[DYNAMIC_LAYER_ELTWISE_BINARY] = dynamic_eltwise_binary_layer_ctrl;
  map[DYNAMIC_LAYER_BIASADD] = dynamic_biasadd_layer_ctrl;
  map[DYNAMIC_LAYER_ACTIVE] = dynamic_active_layer_ctrl;
  map[DYNAMIC_LAYER_REDUCE_FULL] = dynamic_reduce_full_layer_ctrl;
  map[DYNAMIC_LAYER_STRIDE_SLICE] = dynamic_strideslice_layer_ctrl;
  map[DYNAMIC_LAYER_UPSAMPLE] = dynamic_upsample_layer_ctrl;
  map[DYNAMIC_LAYER_DTYPE_CONVERT] = dynamic_dtype_convert_layer_ctrl;
  map[DYNAMIC_LAYER_LUT] = dynamic_lut_layer_ctrl;
  map[DYNAMIC_LAYER_ARITH_SHIFT] = dynamic_arith_shift_layer_ctrl;
}
