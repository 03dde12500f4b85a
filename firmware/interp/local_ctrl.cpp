// Local layer controllers: the common pattern and the controllers that keep or
// change the slice geometry.
#include "interp/local_ctrl.h"

#include <string.h>

#include "cmd/local_mem.h"
#include "local/compare_select.h"
#include "local/conv.h"
#include "local/conv_fix.h"
#include "local/conversion.h"
#include "local/eltwise.h"
#include "local/eltwise_fix8b.h"
#include "local/pool.h"
#include "runtime/services.h"

static u32 rec_u32(const u8 *rec, u32 offset) {
  u32 v;
  memcpy(&v, rec + offset, 4);
  return v;
}
static u16 rec_u16(const u8 *rec, u32 offset) {
  u16 v;
  memcpy(&v, rec + offset, 2);
  return v;
}
static float rec_f32(const u8 *rec, u32 offset) {
  float v;
  memcpy(&v, rec + offset, 4);
  return v;
}

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
  i32 r = in->window_rows - Pi;
  if ((i64)r + s > in->H) {
    const i32 over = r + s - in->H;
    g->kernel_pb = in->pb < over ? in->pb : over;
    r = in->H - s;
  } else {
    g->kernel_pb = 0;
  }
  g->r = r < 0 ? 0 : r;
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
  local_get_input_info(ctx->is_h_split, slot, a_is_coeff ? ids[1] : ids[0], shape, &info);
  // The other tensor operand is read too (one read of its record).
  if (valid_num == 2) {
    local_tensor_info_t other;
    int other_shape[4];
    local_get_input_info(ctx->is_h_split, slot, ids[1], other_shape, &other);
  }
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
  info.pad_top = (u32)g.out_pad_top;
  info.h_start = (u32)g.out_h_start;
  info.window_rows = (u32)g.out_window_rows;
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
  out.pad_top = (u32)g.out_pad_top;
  out.h_start = (u32)g.out_h_start;
  out.window_rows = (u32)g.out_window_rows;
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

void dynamic_local_func_map_fill(dynamic_local_ctrl_t *map) {
  map[DYNAMIC_LAYER_CONV] = dynamic_conv_layer_ctrl;
  map[DYNAMIC_LAYER_POOLING] = dynamic_pool_layer_ctrl;
  map[DYNAMIC_LAYER_PRELU] = dynamic_prelu_layer_ctrl;
  map[DYNAMIC_LAYER_CONST_BINARY] = dynamic_const_binary_layer_ctrl;
  map[DYNAMIC_LAYER_ELTWISE_BINARY] = dynamic_eltwise_binary_layer_ctrl;
  map[DYNAMIC_LAYER_BIASADD] = dynamic_biasadd_layer_ctrl;
  map[DYNAMIC_LAYER_ACTIVE] = dynamic_active_layer_ctrl;
  map[DYNAMIC_LAYER_UPSAMPLE] = dynamic_upsample_layer_ctrl;
  map[DYNAMIC_LAYER_DTYPE_CONVERT] = dynamic_dtype_convert_layer_ctrl;
}
