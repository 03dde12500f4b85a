// The unary frame on 8-bit data and the 8-bit activation entries over it.
#include "layers/eltwise/unary_fix8b.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/unary.h"
#include "local/math.h"
#include "runtime/assert.h"
#include "runtime/services.h"


static gdma_value_format_t byte_format(int sign) {
  return sign == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
}

int active_fix8b_unary_type(int active_type) {
  static const int types[8] = {UNARY_TANH, UNARY_SIGMOID, UNARY_PRELU, -1, UNARY_ELU, UNARY_SQRT, UNARY_SQUARE,
                               UNARY_RSQRT};
  return active_type >= 0 && active_type < 8 ? types[active_type] : -1;
}

void nodechip_unary_fix8b(u64 input, u64 output, u64 length, int unary_type, float input_scale, float output_scale,
                          int input_sign, int output_sign, const void *params, cmd_id_node_t *node) {
  const unary_context_t *ctx = find_unary_context(unary_type);
  ASSERT_FS(ctx!=NULL, "unary_type=%d is not supported!\n", unary_type);
  const int tensor_num = ctx->num_buffer + 3;
  ASSERT_FS(tensor_num <= 8);
  // The routine would stop on a missing block only after the first load was
  // issued; refuse it before anything is.
  if (ctx->has_param) ASSERT_FS(params != ((void *)0));
  unary_plan_t plan;
  unary_plan_of(&plan, ctx->num_buffer);
  const gdma_value_format_t in_fmt = byte_format(input_sign), out_fmt = byte_format(output_sign);
  const u32 in_scale = f32_bits(input_scale), out_recip = f32_bits(1.0f / output_scale);
  const int type_len = get_type_len((int)ctx->data_fmt);
  length_split_t split;
  init_length_split(&split, length, &plan.hint);
  pipeline_info_t pipe;
  pipeline_info_init(&pipe, 2);
  u64 offset[2] = {0, 0};
  dim4_t shape[2], lstride[2], gstride[2];
  cmd_id_node_t move, compute;
  cmd_id_divide(node, &move, &compute);
  while (pipeline_info_update(&pipe, update_length_split(&split))) {
    int s;
    if (pipeline_should_work(&pipe, 0, &s)) {
      const dim4_t &sh = shape[s] = {split.n, split.c, split.h, split.w};
      offset[s] = split.offset;  // one byte an element
      get_tensor_stride_by_shape(&lstride[s], &sh, 1, (int)ctx->eu_align, type_len, 0);
      get_tensor_stride_by_shape(&gstride[s], &sh, 0, (int)ctx->eu_align, 1, 0);
      const dim4_t &ls = lstride[s], &gs = gstride[s];
      move_g2l(global_view(input + offset[s], sh, gs, in_fmt), local_f32(plan.input[s], ls), &move);
    }
    if (pipeline_should_work(&pipe, 1, &s)) {
      const dim4_t &sh = shape[s], &ls = lstride[s], &gs = gstride[s];
      const u32 in = LOCAL_ADDR_TAG | plan.input[s], out = LOCAL_ADDR_TAG | plan.output;
      md_scalar(MD_SCALAR_MUL, operand_at(in), operand_bits(in_scale), in, sh, &compute);
      nodechip_unary_local(plan.input[s], plan.output, plan.scratch, ctx, params, &sh, &ls, &compute);
      md_scalar(MD_SCALAR_MUL, operand_at(out), operand_bits(out_recip), out, sh, &compute);
      unary_merge_copies(node, &move, &compute);
      move_l2g(local_f32(plan.output, ls), global_view(output + offset[s], sh, gs, out_fmt), &move);
    }
    unary_merge_copies(node, &move, &compute);
  }
  node->divided = 1;
}

// n x inner in 64 bits; negative counts (fields of 2^31 or more) are refused.
static u64 count_of(int n, int inner) {
  ASSERT_FS(n >= 0 && inner >= 0);
  return (u64)(u32)n * (u64)(u32)inner;
}

void nodechip_sigmoid_forward_parallel_fix8b(u64 input, u64 output, int n, int inner, float input_scale,
                                             float output_scale, int input_sign, int output_sign,
                                             cmd_id_node_t *node) {
  nodechip_unary_fix8b(input, output, count_of(n, inner), UNARY_SIGMOID, input_scale, output_scale, input_sign,
                       output_sign, NULL, node);
}

void nodechip_tanh_forward_parallel_fix8b(u64 input, u64 output, int n, int inner, float input_scale,
                                          float output_scale, int input_sign, int output_sign, cmd_id_node_t *node) {
  nodechip_unary_fix8b(input, output, count_of(n, inner), UNARY_TANH, input_scale, output_scale, input_sign,
                       output_sign, NULL, node);
}

void nodechip_active_forward_parallel_fix8b(u64 input, u64 output, u64 length, int active_type, float input_scale,
                                            float output_scale, int input_sign, int output_sign, const void *params,
                                            cmd_id_node_t *node) {
  const int type = active_fix8b_unary_type(active_type);
  if (type < 0) {
    fw_log(0, "Not supported active_type=%d", active_type);
    return;
  }
  nodechip_unary_fix8b(input, output, length, type, input_scale, output_scale, input_sign, output_sign, params,
                       node);
}
