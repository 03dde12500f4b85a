// Local layer controllers: the common pattern and the controllers that keep or
// change the slice geometry.
#include "interp/local_ctrl.h"
#include "cmd/conv_window.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/local_mem.h"
#include "interp/layer_records.h"
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

// ---- Operands of the controllers keeping the slice geometry ----

// The words that follow a local layer's parameters, as one layer's
// description lists them in stream order.
typedef enum {
  LOCAL_WORD_IDS,        // input id << 16 | output id
  LOCAL_WORD_INPUT_ID,   // the input id, a whole word
  LOCAL_WORD_OUTPUT_ID,  // the output id, a whole word
  LOCAL_WORD_INPUT,      // the input's local address
  LOCAL_WORD_OUTPUT,     // the output's local address
  LOCAL_WORD_BUFFER,     // a scratch address for the kernel
  LOCAL_WORD_OPERAND,    // a further local address, into operand[index]
  LOCAL_WORD_OPERAND_ID, // a further input id, into operand_id[index]
  LOCAL_WORD_UNUSED,     // a word read past
} local_word_kind_t;

typedef struct {
  local_word_kind_t kind;
  int present;  // 0: the word is not in the stream for this layer
  u32 index;    // LOCAL_WORD_OPERAND: its slot
} local_word_t;

#define LOCAL_MAX_OPERANDS 4

typedef struct {
  u32 input_id, output_id;
  u32 input, output, buffer;
  u32 operand[LOCAL_MAX_OPERANDS];
  u32 operand_id[LOCAL_MAX_OPERANDS];
  local_tensor_info_t info;  // the input's slice record
  int shape[4];              // the input slice's (n, c, h, w)
} local_operands_t;

static void local_words_read(dynamic_context_t *ctx, const local_word_t *words, u32 count, local_operands_t *op) {
  memset(op, 0, sizeof(*op));
  for (u32 i = 0; i < count; i++) {
    if (!words[i].present) continue;
    const u32 w = dynamic_context_read_u32(ctx);
    switch (words[i].kind) {
      case LOCAL_WORD_IDS:
        op->input_id = w >> 16;
        op->output_id = w & 0xffff;
        break;
      case LOCAL_WORD_INPUT_ID:
        op->input_id = w;
        break;
      case LOCAL_WORD_OUTPUT_ID:
        op->output_id = w;
        break;
      case LOCAL_WORD_INPUT:
        op->input = w;
        break;
      case LOCAL_WORD_OUTPUT:
        op->output = w;
        break;
      case LOCAL_WORD_BUFFER:
        op->buffer = w;
        break;
      case LOCAL_WORD_OPERAND:
        ASSERT(words[i].index < LOCAL_MAX_OPERANDS);
        op->operand[words[i].index] = w;
        break;
      case LOCAL_WORD_OPERAND_ID:
        ASSERT(words[i].index < LOCAL_MAX_OPERANDS);
        op->operand_id[words[i].index] = w;
        break;
      case LOCAL_WORD_UNUSED:
        break;
    }
  }
}

// The common pattern: reads the words `words` describes and takes the input's
// slice record; 1 when the slice is not null, so the kernel runs.
static int local_operands_read(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, const local_word_t *words,
                               u32 count, local_operands_t *op) {
  local_words_read(ctx, words, count, op);
  local_get_input_info(ctx->is_h_split, slot, op->input_id, op->shape, &op->info);
  return !is_null_shape(op->shape, 4);
}

// Registers the output slice with the input's geometry (also when the kernel
// was skipped).
static void local_operands_set_output(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, local_operands_t *op) {
  local_set_output(ctx, slot, op->output_id, op->output, &op->info, op->shape);
}

#define WORDS_OF(...) \
  const local_word_t words[] = {__VA_ARGS__}; \
  const u32 word_count = (u32)(sizeof(words) / sizeof(words[0]))

static int is_fp32(const dynamic_context_t *ctx) { return ctx->middle_value->data_size == DSIZE_FP32; }

// ---- Controllers keeping the slice geometry ----

void dynamic_const_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  const_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    if (fp32) {
      const dim4_t d = dim4_of(op.shape);
      nodechip_const_binary_local(op.input, &d, rec.const_value, op.output, (int)rec.op, rec.const_is_left,
                                  rec.if_relu, rec.relu_upper_limit, nodes);
    } else {
      const u8 *o = rec.fix8b_opt;
      const int flag = rec.op == 1 || o[4] != 0 || o[5] != 0;
      nodechip_const_binary_fix8b_forward_local(op.input, op.output, op.buffer, (int)rec_bits_f32(rec.const_value),
                                                op.shape, (int)op.info.dims, (int)rec.op, o[0], o[1], o[2], o[3],
                                                o[4], o[5], flag, rec.const_is_left, rec.if_relu, nodes);
    }
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_eltwise_binary_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  eltwise_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  const int a_tensor = !rec.a_is_coeff, b_tensor = !rec.b_is_coeff;
  const int valid_num = a_tensor + b_tensor;
  // The slice record taken is the first tensor operand's.
  WORDS_OF({a_tensor ? LOCAL_WORD_INPUT_ID : LOCAL_WORD_UNUSED, a_tensor, 0}, {LOCAL_WORD_OPERAND, 1, 0},
           {a_tensor ? LOCAL_WORD_UNUSED : LOCAL_WORD_INPUT_ID, b_tensor, 0}, {LOCAL_WORD_OPERAND, 1, 1},
           {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  ASSERT(valid_num > 0);
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  if (!is_null_shape(op.shape, 4)) {
    const u32 a = op.operand[0], b = op.operand[1];
    if (fp32) {
      const dim4_t d = dim4_of(op.shape);
      nodechip_eltwise_binary_local(a, b, op.output, rec.a_is_coeff, rec.b_is_coeff, &d, (int)rec.op, rec.if_relu,
                                    rec.u.glb.relu_upper_limit, nodes);
    } else {
      const auto l = rec.u.local8;
      const int width[3] = {l.width[0], l.width[1], l.width[2]};
      const int sign[3] = {l.sign[0], l.sign[1], l.sign[2]};
      nodechip_eltwise_binary_fix8b_forward_local(a, b, op.output, op.buffer, op.shape, (int)op.info.dims,
                                                  rec.a_is_coeff, rec.b_is_coeff, (int)rec.op, l.scale_a, l.scale_b,
                                                  l.shift_a, l.shift_b, width, sign, rec.if_relu, nodes);
    }
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_biasadd_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  biasadd_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0},
           {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const dim4_t d = dim4_of(op.shape);
    const u32 bias = op.operand[0];
    if (fp32)
      nodechip_biasadd_local(op.input, bias, op.output, &d, rec.if_relu, rec_f32_bits(rec.relu_upper_limit), nodes);
    else
      nodechip_biasadd_local_fix8b(op.input, bias, op.output, op.buffer, &d, rec.fix8b_opt[0], rec.fix8b_opt[1],
                                   (int)rec.fix8b_w1, (int)rec.fix8b_w0, rec.if_relu, (int)rec.relu_upper_limit,
                                   nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_active_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  active_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 type = rec.active_type;
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, !(type == 5 || type == 7 || type == 8), 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    float param[2] = {rec.active_arg, rec.relu_upper_limit};
    nodechip_active_forward_local(op.input, op.output, op.buffer, op.shape[0], op.shape[1], op.shape[2], op.shape[3],
                                  (int)type, param, nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_prelu_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  prelu_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 shared_slope = rec.shared_slope, channel_shared = rec.channel_shared;
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, channel_shared == 0, 0},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, channel_shared == 0 || shared_slope != 0, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const dim4_t d = dim4_of(op.shape);
    const u32 slope = op.operand[0];
    if (is_fp32(ctx)) {
      if (channel_shared && shared_slope == 0)
        nodechip_relu_forward_local(op.input, op.output, &d, rec.relu_upper_limit, nodes);
      else
        nodechip_prelu_forward_local_v2(op.input, op.output, slope, op.buffer, channel_shared, shared_slope, &d, 0,
                                        nodes);
    } else {
      nodechip_prelu_forward_local_fix8b_v2(op.input, op.output, slope, op.buffer, channel_shared,
                                            (int)rec_bits_f32(shared_slope), &d, 0, rec.fix8b_opt[0],
                                            rec.fix8b_opt[1], rec.fix8b_opt[2], rec.fix8b_opt0, nodes);
    }
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_dtype_convert_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  dtype_convert_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, 1, 0});
  const u32 from = rec.from_type, to = rec.to_type;
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const int *s = op.shape;
    if ((from == 2 || from == 3) && to == 0)
      tensor_int8_to_float_local_v2(op.input, op.output, op.buffer, s[0], s[1], s[2], s[3], 0, from == 2,
                                    STORAGE_MODE_4N_INT8, nodes);
    else if (from == 0 && (to == 2 || to == 3))
      nodechip_float2int8_local_keep_input(op.input, op.output, op.buffer, s[0], s[1], s[2], s[3], to == 2, nodes);
    else
      ASSERT(0);
  }
  if (to == 0)
    op.info.dtype = DSIZE_FP32;
  else if (to == 4)
    op.info.dtype = DSIZE_16;
  else if (to == 2 || to == 3)
    op.info.dtype = DSIZE_8;
  else if (to == 6)
    op.info.dtype = DSIZE_INT32;
  local_operands_set_output(ctx, slot, &op);
}

// ---- Controllers changing the slice geometry ----

void dynamic_upsample_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  upsample_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 input = op.input, output = op.output;
  const i32 f = (i32)rec.factor;
  ASSERT(f > 0, "upsample factor %d", (int)f);
  local_tensor_info_t &info = op.info;
  const int *shape = op.shape;
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  const int out[4] = {shape[0], shape[1], shape[2] * f, shape[3] * f};
  if (!is_null_shape(shape, 4)) {
    const dim4_t is = dim4_of(shape), os = dim4_of(out);
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_upsample_forward_local(input, output, &is, &os, f, nodes, (int)rec.upsample_arg0);
    else if (ctx->middle_value->data_size == DSIZE_8)
      nodechip_upsample_fix8b_forward_local(input, output, &is, &os, f, (int)rec.upsample_arg0, (int)rec.upsample_arg1,
                                            0, 0, 0, nodes);
    else
      ASSERT(0);
  }
  info.id = op.output_id;
  info.h_start *= (u32)f;
  info.window_rows *= (u32)f;
  if (info.dims > 2) info.shape[2] *= f;
  if (info.dims > 3) info.shape[3] *= f;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_pool_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  pool_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_operands_read(ctx, slot, words, word_count, &op);
  const u32 input = op.input, output = op.output;
  local_tensor_info_t &info = op.info;
  const int *shape = op.shape;
  ASSERT(info.dims == 4);
  const i32 H = info.shape[2], W = info.shape[3];
  i32 kh = rec.kh, kw = rec.kw;
  if (rec.global_pooling) {
    kh = H;
    kw = W;
  }
  const i32 pt = rec.pad_h, pl = rec.pad_w, sh = rec.stride_h, sw = rec.stride_w;
  i32 pb = rec.pad_h_after, pr = rec.pad_w_after;
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const i32 OH = dynamic_pool_output_extent(H, pt, pb, kh, sh, rec.ceil_mode);
  const i32 ow = dynamic_pool_output_extent(W, pl, pr, kw, sw, rec.ceil_mode);
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
                                     rec.is_avg_pooling, rec.avg_pooling_mode, nodes, rec.if_relu);
    else
      nodechip_pooling_fix8b_forward_local(input, 0, 0, output, &is, &os, kh, kw, g.kernel_pt, g.kernel_pb, pl, pr,
                                           sh, sw, 0, 0, rec.is_avg_pooling ? 1 : 0, rec.avg_pooling_mode, 0, 0, 0,
                                           rec.fix8b_opt0, 0, 0, rec.fix8b_opt1, rec.if_relu, nodes);
  }
  info.id = op.output_id;
  set_output_window(&info, &g);
  info.shape[2] = OH;
  info.shape[3] = ow;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_conv_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  conv_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 oc = rec.output_c, ic = rec.input_c, groups = rec.groups;
  i32 kw = rec.kw, kh = rec.kh;
  const i32 dh = rec.dh, dw = rec.dw, pt = rec.pad_h, pb = rec.pad_h_after, pl = rec.pad_w, pr = rec.pad_w_after;
  const i32 sh = rec.stride_h, sw = rec.stride_w;
  const u32 bias_mode = rec.bias_mode, if_relu = rec.if_relu;
  const float cap_f = rec.relu_upper_limit;
  const u32 use_winograd = rec.use_winograd;
  const u32 lane = rec.start_lane, second_id = rec.second_output_id;
  const int depthwise = groups > 1 && ic == groups && oc == groups;
  // Operands: weight, bias.
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0},
           {LOCAL_WORD_OPERAND, bias_mode == 1, 1}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, (if_relu >> 4) != 0 || (depthwise && (dh != 1 || dw != 1)), 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 input = op.input, buffer = op.buffer;
  u32 weight = op.operand[0], bias = op.operand[1], output = op.output;
  ASSERT(groups > 0, "groups 0");
  if (use_winograd) kh = kw = 3;
  local_tensor_info_t &info = op.info;
  const int *shape = op.shape;
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
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
      const u8 *o = rec.fix8b_opt;
      const int w48 = rec.fix8b_w[0], w52 = rec.fix8b_w[1], w56 = rec.fix8b_w[2];
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
      const u8 *o = rec.fix8b_opt;
      nodechip_conv_forward_local_fix16b(input, weight, bias, output, buffer, &is, &os, (int)groups, kh, kw, dh, dw,
                                         g.kernel_pt, g.kernel_pb, pl, pr, sh, sw, (int)bias_mode, 0, relu, cap, 0,
                                         0, 0, 0, o[0], o[1], o[2], o[3], 3, nodes);
    } else {
      ASSERT(0 && "dynamic_conv_layer_ctrl(): unsupported conv data size!");
    }
  }
  local_tensor_info_t out;
  memset(&out, 0, sizeof(out));
  out.id = op.output_id;
  set_output_window(&out, &g);
  out.dims = 4;
  out.shape[0] = (i32)rec.output_n;
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
  lrn_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, 1, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const dim4_t d = dim4_of(op.shape);
    if (is_fp32(ctx))
      nodechip_lrn_forward_local(op.input, op.output, op.buffer, &d, rec.alpha, rec.lrn_size, rec.beta, rec.k, 0,
                                 &nodes[0], &nodes[1]);
    else
      nodechip_lrn_fix8b_forward_local(op.input, op.output, op.buffer, &d, rec.alpha, rec.lrn_size, rec.beta, rec.k,
                                       0, rec.fix8b_opt0, &nodes[0], &nodes[1], 0, rec.fix8b_f0, rec.fix8b_f1);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_batchnorm_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  batchnorm_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  // Operands: mean, variance, and for fixed point the shifts.
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0}, {LOCAL_WORD_OPERAND, 1, 1},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0}, {LOCAL_WORD_OPERAND, !fp32, 2});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const int *s = op.shape;
    const u32 mean = op.operand[0], variance = op.operand[1], shift = op.operand[2];
    if (fp32)
      nodechip_batchnorm_layer_local(op.input, op.output, mean, variance, s[0], s[1], s[2], s[3], 0, 0,
                                     rec.if_relu != 0, 0, nodes);
    else
      nodechip_bnscale_fix8b_forward_local(op.input, op.buffer, mean, variance, shift, op.output, s[0], s[1], s[2],
                                           s[3], rec.fix8b_opt[0], rec.fix8b_opt[1], rec.fix8b_opt[2], 3, 3, 3,
                                           rec.if_relu, (int)rec.fix8b_f0, nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_scale_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  scale_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  // Operands: scale, bias (with scale_flag), and for fixed point the shifts.
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0},
           {LOCAL_WORD_OPERAND, rec.scale_flag != 0, 1}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0},
           {LOCAL_WORD_OPERAND, !fp32, 2});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  i32 shape_axis = rec.shape_axis;
  if (shape_axis < 0) shape_axis += (i32)rec.shape_axis_num;
  ASSERT(shape_axis >= 0 && shape_axis < 4);
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  if (!is_null_shape(op.shape, 4)) {
    const int *s = op.shape;
    const u32 scale = op.operand[0], bias = op.operand[1], shift = op.operand[2];
    const dim4_t d = dim4_of(s);
    int sshape[4] = {1, 1, 1, 1};
    sshape[shape_axis] = s[shape_axis];
    const dim4_t sd = dim4_of(sshape);
    if (fp32)
      nodechip_scale_forward_local(op.input, scale, bias, op.output, &d, &sd, rec.scale_flag != 0, rec.if_relu, 0, 1,
                                   1, nodes);
    else
      nodechip_bnscale_fix8b_forward_local(op.input, op.buffer, scale, bias, shift, op.output, s[0], s[1], s[2], s[3],
                                           rec.fix8b_opt[0], rec.fix8b_opt[1], rec.fix8b_opt[2], 1, 1, 1,
                                           rec.if_relu, (int)rec.fix8b_f0, nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_eltwise_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  eltwise_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 op = rec.op, k = rec.input_num;
  // The per-input bytes of the record hold at most ten inputs.
  static_assert(ELTWISE_RECORD_INPUTS == 10, "the assertion names the count");
  ASSERT(k > 0 && k <= 10, "eltwise of %u inputs", (unsigned)k);
  u32 *addrs = (u32 *)malloc(k * sizeof(u32));
  float *coeffs = (float *)malloc(k * sizeof(float));
  ASSERT(addrs != nullptr && coeffs != nullptr);
  u32 last_id = 0;
  for (u32 i = 0; i < k; i++) {
    last_id = dynamic_context_read_u32(ctx) & 0xffff;
    coeffs[i] = 1.0f;
    if (op == 1) coeffs[i] = rec_bits_f32(dynamic_context_read_u32(ctx));
    addrs[i] = dynamic_context_read_u32(ctx);
  }
  const int fp32 = is_fp32(ctx);
  WORDS_OF({LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, !fp32, 0});
  local_operands_t o;
  local_words_read(ctx, words, word_count, &o);
  // Only the last input's slice record is taken.
  local_get_input_info(ctx->is_h_split, slot, last_id, o.shape, &o.info);
  if (!is_null_shape(o.shape, 4)) {
    const int *s = o.shape;
    if (fp32) {
      nodechip_eltwise_forward_local(addrs, o.output, s[0], s[1], s[2], s[3], nullptr, 0, (int)op, coeffs, (int)k,
                                     rec.eltwise_flag, nodes);
    } else {
      int mult[ELTWISE_RECORD_INPUTS], shifts[ELTWISE_RECORD_INPUTS], signs[ELTWISE_RECORD_INPUTS];
      for (u32 i = 0; i < k; i++) mult[i] = rec.fix8b_in_a[i], shifts[i] = rec.fix8b_in_b[i], signs[i] = 0;
      nodechip_eltwise_fix8b_forward_local(addrs, o.output, o.buffer, s[0], s[1], s[2], s[3], nullptr, 0, (int)op,
                                           mult, shifts, signs, (int)k, rec.eltwise_flag, nodes);
    }
  }
  free(addrs);
  free(coeffs);
  local_operands_set_output(ctx, slot, &o);
}

void dynamic_normalize_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  normalize_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, rec.channel_shared == 0, 0},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, 1, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const dim4_t d = dim4_of(op.shape);
    const u32 scale = op.operand[0];
    if (is_fp32(ctx))
      nodechip_normalize_forward_local(op.input, op.output, op.buffer, scale, &d, rec.norm_flag, rec.channel_shared,
                                       rec.norm_arg0, rec.norm_arg1, rec.norm_opt, nodes);
    else
      nodechip_normalize_fix8b_forward_local(op.input, op.output, op.buffer, scale, &d, rec.norm_flag,
                                             rec.channel_shared, rec.norm_arg0, rec.norm_arg1, rec.norm_opt,
                                             rec.fix8b_opt[0], rec.fix8b_opt[1], nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_reorg_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  reorg_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_BUFFER, 1, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const i32 st = rec.stride;
  const int reverse = rec.reverse != 0;
  ASSERT(st > 0, "reorg stride %d", (int)st);
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  const int *shape = op.shape;
  const int out[4] = {shape[0], reverse ? shape[1] / (st * st) : shape[1] * st * st,
                      reverse ? shape[2] * st : shape[2] / st, reverse ? shape[3] * st : shape[3] / st};
  if (!is_null_shape(shape, 4))
    nodechip_reorg_forward_local(op.input, op.output, op.buffer, shape, out, 0, &nodes[0], &nodes[1]);
  op.info.id = op.output_id;
  for (int i = 1; i < 4 && i < (int)op.info.dims; i++) op.info.shape[i] = out[i];
  dynamic_context_local_set_output_info(ctx, slot, &op.info);
}

void dynamic_mulshift_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  mulshift_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, rec.fix8b_opt[0] == 1 && rec.fix8b_opt[1] == 0, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  ASSERT(ctx->middle_value->data_size != DSIZE_FP32);
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  if (!is_null_shape(op.shape, 4))
    nodechip_mulshift_fix8b_forward_local(op.input, op.buffer, op.output, op.shape[0], op.shape[1], op.shape[2],
                                          op.shape[3], (int)rec.multiplier, (int)rec.shift, rec.fix8b_opt[0], 0,
                                          rec.fix8b_opt[1], nodes);
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_select_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  select_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 then_const = rec.then_is_scalar, else_const = rec.else_is_scalar;
  const u32 ds = ctx->middle_value->data_size;
  const int floating = ds == DSIZE_FP32 || ds == DSIZE_INT32;
  // Each tensor operand: its id (not used) and its address.
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_UNUSED, !then_const, 0},
           {LOCAL_WORD_OPERAND, !then_const, 0}, {LOCAL_WORD_UNUSED, !else_const, 0},
           {LOCAL_WORD_OPERAND, !else_const, 1}, {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, ds != DSIZE_FP32, 0});
  local_operands_t op;
  if (local_operands_read(ctx, slot, words, word_count, &op)) {
    const dim4_t d = dim4_of(op.shape);
    const u32 then_addr = op.operand[0], else_addr = op.operand[1];
    if (floating)
      nodechip_select_local(op.input, then_addr, then_const, rec.then_scalar, else_addr, else_const, rec.else_scalar,
                            op.output, &d, rec.select_opt, rec.select_arg, op.info.dtype == DSIZE_INT32, nodes);
    else
      nodechip_select_fix8b_local(op.input, op.buffer, then_addr, then_const, (int)rec_bits_f32(rec.then_scalar),
                                  else_addr, else_const, (int)rec_bits_f32(rec.else_scalar), op.output, &d,
                                  rec.select_opt, 0, 0, 1, 0, 1, 0, 0, 0, nodes);
  }
  local_operands_set_output(ctx, slot, &op);
}

void dynamic_lut_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  lut_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  // Operands: addresses A, B and C.
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_UNUSED, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OPERAND, 1, 0}, {LOCAL_WORD_OPERAND, 1, 1}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_OPERAND, 1, 2});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 dims = rec.in_dims;
  ASSERT(dims <= 4, "lut of %u dims", (unsigned)dims);
  for (int i = 0; i < 4; i++) op.shape[i] = 1;
  if (rec.input_is_coeff) {
    // The slice shape is the record's; no input record is read, and the
    // output record carries only its id, type and count.
    for (u32 i = 0; i < dims; i++) op.shape[i] = (int)rec.in_shape[i];
  } else {
    local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  }
  if (!is_null_shape(op.shape, (int)dims))
    nodechip_lut_local(op.operand[0], op.operand[1], op.operand[2], op.output, op.shape, (int)dims, rec.lut_opt,
                       nodes);
  op.info.dtype = rec.out_dtype;
  local_operands_set_output(ctx, slot, &op);
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
  deconv_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 oc = rec.output_c, ic = rec.input_c, groups = rec.groups;
  const i32 kw = rec.kw, kh = rec.kh, dh = rec.dh ? rec.dh : 1, dw = rec.dw ? rec.dw : 1;
  const u32 has_bias = rec.bias_mode, if_relu = rec.if_relu & 0xf;
  const i32 sh = rec.stride_h, sw = rec.stride_w;
  // Operands: weight, bias.
  WORDS_OF({LOCAL_WORD_IDS, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0},
           {LOCAL_WORD_OPERAND, has_bias != 0, 1}, {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 input = op.input, weight = op.operand[0], bias = op.operand[1], output = op.output;
  ASSERT(groups > 0, "groups 0");
  local_tensor_info_t &info = op.info;
  const int *shape = op.shape;
  local_get_input_info(ctx->is_h_split, slot, op.input_id, op.shape, &op.info);
  ASSERT(info.dims == 4);
  const int fp32 = ctx->middle_value->data_size == DSIZE_FP32;
  const int khe = conv_kernel_extent32(kh, dh), kwe = conv_kernel_extent32(kw, dw);
  dynamic_conv_geometry_in_t in = {(i32)info.pad_top, (i32)info.h_start, (i32)info.window_rows, info.shape[2],
                                   info.shape[3], khe, kwe, rec.pad_h, rec.pad_h_after, rec.pad_w, rec.pad_w_after,
                                   sh, sw};
  dynamic_conv_geometry_t g;
  dynamic_deconv_geometry_of(&g, &in, rec.output_pad_h, rec.output_pad_w, ctx->is_h_split, fp32);
  const int ishape[4] = {shape[0], (int)ic, ctx->is_h_split ? g.r : shape[2], shape[3]};
  const int oshape[4] = {shape[0], (int)oc, g.oh, g.ow};
  if (!is_null_shape(ishape, 4) && !is_null_shape(oshape, 4)) {
    const dim4_t is = dim4_of(ishape), os = dim4_of(oshape);
    if (fp32) {
      nodechip_deconv_forward_local(input, weight, bias, output, &is, &os, (int)groups, kh, kw, dh, dw, g.kernel_pt,
                                    g.kernel_pb, g.kernel_pl, g.kernel_pr, sh - 1, sw - 1, has_bias != 0, 0,
                                    if_relu, nodes);
    } else if (groups > 1 && ic == groups && oc == groups) {
      ASSERT(dh == 1 && dw == 1);
      nodechip_pooling_fix8b_forward_local(input, weight, bias, output, &is, &os, kh, kw, g.kernel_pt, g.kernel_pb,
                                           g.kernel_pl, g.kernel_pr, 1, 1, sh - 1, sw - 1, 2, 0, 0,
                                           has_bias != 0, 0, 0, 0, 0, 0, if_relu, nodes);
    } else {
      nodechip_deconv_fix8b_forward_local(input, weight, bias, output, &is, &os, (int)groups, kh, kw, dh, dw,
                                          g.kernel_pt, g.kernel_pb, g.kernel_pl, g.kernel_pr, sh - 1,
                                          sw - 1, (int)has_bias, if_relu, 0, 0, 0, 0, nodes);
    }
  }
  info.id = op.output_id;
  set_output_window(&info, &g);
  info.shape[1] = (i32)oc;
  info.shape[2] = g.OH;
  info.shape[3] = g.ow;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_strideslice_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  stride_slice_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_operands_read(ctx, slot, words, word_count, &op);
  const u32 input = op.input, output_id = op.output_id, output = op.output;
  const u32 begin_mask = (u32)rec.begin_mask, end_mask = (u32)rec.end_mask, shrink_mask = (u32)rec.shrink_axis_mask;
  local_tensor_info_t &info = op.info;
  int *shape = op.shape;
  int begin[4], end[4], stride[4];
  i32 out[4];
  for (int i = 0; i < 4; i++) {
    stride[i] = rec.stride[i];
    // A stride of 0 would divide by zero below and never end in the kernel.
    ASSERT(stride[i] != 0, "stride %d of dimension %d", stride[i], i);
    const int b = (begin_mask >> i) & 1 ? 0 : rec.begin[i];
    const int e = (end_mask >> i) & 1 ? shape[i] : rec.end[i];
    out[i] = (i32)ceil((double)(e - b) / stride[i]);
    begin[i] = b;
    end[i] = (shrink_mask >> i) & 1 ? b + stride[i] : e;
    if (i == 2 && info.h_start != 0) begin[i] = 0;
  }
  if (!is_null_shape(shape, 4))
    nodechip_stride_slice_forward_local(input, output, shape, rec.shape_size, 0, 0, begin, end, stride, nodes);
  (void)nodes;
  info.id = output_id;
  for (int i = 0; i < 4; i++) info.shape[i] = out[i];
  if (!ctx->is_h_split) {
    info.h_start = 0;
    info.window_rows = (u32)out[2];
  } else {
    const int B = ((begin_mask >> 2) & 1) || ((shrink_mask >> 2) & 1) ? 0 : rec.begin[2];
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
  concat_local_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
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
  const i32 oc = rec.c, oh = rec.h, ow = rec.w;
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
  broadcast_binary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int fp32 = is_fp32(ctx);
  // Operands: A (the input) and B.
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND_ID, 1, 0},
           {LOCAL_WORD_OPERAND, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, !fp32, 0});
  local_operands_t w;
  local_words_read(ctx, words, word_count, &w);
  const u32 a_id = w.input_id, a = w.input, b_id = w.operand_id[0], b = w.operand[0];
  const u32 output_id = w.output_id, output = w.output, buffer = w.buffer;
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
  const u32 op = rec.op;
  if (!is_null_shape(out, 4)) {
    const dim4_t od = dim4_of(out);
    if (fp32 && same) {
      nodechip_eltwise_binary_local(a, b, output, rec.a_is_coeff, rec.b_is_coeff, &od, (int)op, rec.if_relu,
                                    rec.relu_upper_limit, nodes);
    } else if (fp32) {
      dim4_t as = dim4_of(s0), bs = dim4_of(s1);
      const dim4_t ast = bcast_stride(s0, s1, rec.a_is_coeff), bst = bcast_stride(s1, s0, rec.b_is_coeff);
      const dim4_t rst = bcast_stride(out, out, 0);
      const u32 scratch = s0[1] == 1 && out[1] != 1 ? a : b;
      nodechip_broadcast_binary_local(a, &as, &ast, b, &bs, &bst, output, &rst, (int)op, rec.if_relu, rec.relu_upper_limit,
                                      scratch, nodes);
    } else {
      const u8 *o = rec.fix8b_opt, *t = rec.operand_type;
      const int width[3] = {t[0], t[0], t[0]};
      const int sign[3] = {t[1], t[1], t[1]};
      nodechip_broadcast_binary_fix8b_forward_local(a, b, output, buffer, s0, s1, (int)tensor0_info.dims,
                                                    rec.a_is_coeff, rec.b_is_coeff, (int)op, o[0], o[1], o[2], o[3],
                                                    width, sign, rec.if_relu, nodes);
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
  tile_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  if (rec.input_is_coeff) {
    fw_log(0, "input is coeff not support in local\n");
    ASSERT(0);
  }
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0}, {LOCAL_WORD_UNUSED, rec.multiples_in_record != 0, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 input_id = op.input_id, output_id = op.output_id, input = op.input, output = op.output;
  const int bottom_dims = rec.bottom_dims;
  ASSERT(bottom_dims <= 4, "tile of %d dims", bottom_dims);
  int multiples[4] = {1, 1, 1, 1};
  if (rec.multiples_in_record) {
    for (int i = 0; i < 4; i++) multiples[i] = rec.multiples[i];
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
  info.dtype = rec.coeff_dtype;
  dynamic_context_local_set_output_info(ctx, slot, &info);
}

void dynamic_pad_layer_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  pad_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_words_read(ctx, words, word_count, &op);
  const u32 input_id = op.input_id, output_id = op.output_id, input = op.input, output = op.output;
  int paddings[8];
  for (int i = 0; i < 8; i++) paddings[i] = rec.pads[i / 2][i % 2];
  local_tensor_info_t info;
  int shape[4];
  if (rec.paddings_from_tensor) {
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
  const float value = rec.pad_value;
  const u32 ds = ctx->middle_value->data_size;
  if (!is_null_shape(shape, 4)) {
    if (ds == DSIZE_FP32 || ds == DSIZE_INT32)
      nodechip_pad_local(input, output, shape[0], shape[1], shape[2], shape[3], paddings, (int)rec.pad_mode, value,
                         nodes);
    else if (ds == DSIZE_8)
      nodechip_pad_fix8b_local(input, output, shape[0], shape[1], shape[2], shape[3], paddings, (int)rec.pad_mode,
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
  reduce_full_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_OUTPUT, 1, 0});
  local_operands_t op;
  local_operands_read(ctx, slot, words, word_count, &op);
  const u32 input = op.input, output_id = op.output_id, output = op.output;
  const u32 keep_dims = (u16)rec.keep_dims, axis_num = (u16)rec.axis_num, method = rec.method;
  local_tensor_info_t &tensor_info = op.info;
  const int *shape = op.shape;
  ASSERT(tensor_info.dims <= 4);
  ASSERT(axis_num <= sizeof(rec.axis_list), "%u axes", (unsigned)axis_num);
  int reduce_axis[4] = {0, 0, 0, 0};
  for (u32 i = 0; i < axis_num; i++) {
    const u32 axis = rec.axis_list[i];
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
  arith_shift_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  if (rec.shift_mode == 1)
    ASSERT(ctx->middle_value->data_size == DSIZE_16);
  else
    ASSERT(ctx->middle_value->data_size == DSIZE_8);
  // Operand: the shift address. No null test: the kernel runs for every slice.
  WORDS_OF({LOCAL_WORD_INPUT_ID, 1, 0}, {LOCAL_WORD_UNUSED, 1, 0}, {LOCAL_WORD_OUTPUT_ID, 1, 0},
           {LOCAL_WORD_INPUT, 1, 0}, {LOCAL_WORD_OPERAND, 1, 0}, {LOCAL_WORD_OUTPUT, 1, 0},
           {LOCAL_WORD_BUFFER, 1, 0});
  local_operands_t op;
  local_operands_read(ctx, slot, words, word_count, &op);
  const u32 output_id = op.output_id, input = op.input, shift = op.operand[0], output = op.output;
  const u32 buffer = op.buffer;
  local_tensor_info_t &input0_tensor_info = op.info;
  const int *shape = op.shape;
  ASSERT(input0_tensor_info.dims <= 4);
  nodechip_arith_shift_fix8b_forward_local(input, shift, buffer, output, shape[0], shape[1], shape[2], shape[3],
                                           (int)rec.shift_arg1, (int)rec.shift_arg2, (int)rec.shift_mode,
                                           (int)rec.shift_arg0, nodes);
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
