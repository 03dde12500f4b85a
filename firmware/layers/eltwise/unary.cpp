// The unary frame and the float activation entries over it.
#include "layers/eltwise/unary.h"

#include "cmd/tensor_ops.h"
#include "runtime/assert.h"
#include "runtime/services.h"

void unary_plan_of(unary_plan_t *plan, int num_buffer) {
  const int b = 8 / (num_buffer + 3);
  const u32 share = (u32)b * 0x10000u;
  plan->banks = b;
  plan->input[0] = 0;
  plan->input[1] = share;
  plan->output = 2 * share;
  for (int k = 0; k < UNARY_MAX_BUFFERS; k++) plan->scratch[k] = (u32)(3 + k) * share;
  split_info_hint_by_localmem(&plan->hint, (int)share, 4);
  static const char *const names[3 + UNARY_MAX_BUFFERS] = {"input 0",   "input 1",   "output",   "scratch 0",
                                                           "scratch 1", "scratch 2", "scratch 3", "scratch 4"};
  plan->area_count = 0;
  for (int i = 0; i < 3 + num_buffer && i < 3 + UNARY_MAX_BUFFERS; i++)
    plan->areas[plan->area_count++] = {names[i], (u32)i * share, share};
}

int active_unary_type(int active_type) {
  static const int types[15] = {UNARY_TANH,  UNARY_SIGMOID, UNARY_PRELU, UNARY_EXP,   UNARY_ELU,
                                UNARY_SQRT,  UNARY_SQUARE,  UNARY_RSQRT, UNARY_ABS,   UNARY_LOG,
                                UNARY_ROUND, UNARY_CEIL,    UNARY_FLOOR, UNARY_SIN,   UNARY_COS};
  return active_type >= 0 && active_type < 15 ? types[active_type] : -1;
}

void unary_merge_copies(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  cmd_id_merge(node, move, compute);
  node->divided = 1;
  *move = *node;
  *compute = *node;
}

void nodechip_unary(u64 input, u64 output, u64 length, int unary_type, const void *params, cmd_id_node_t *node) {
  const unary_context_t *ctx = find_unary_context(unary_type);
  ASSERT_FS(ctx != NULL, "unary_type=%d is not supported!\n", unary_type);
  const int tensor_num = ctx->num_buffer + 3;
  ASSERT_FS(tensor_num <= 8);
  unary_plan_t plan;
  unary_plan_of(&plan, ctx->num_buffer);
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
      offset[s] = 4u * split.offset;
      shape[s] = {split.n, split.c, split.h, split.w};
      get_tensor_stride_by_shape(&lstride[s], &shape[s], 1, (int)ctx->eu_align, 4, 0);
      get_tensor_stride_by_shape(&gstride[s], &shape[s], 0, (int)ctx->eu_align, 4, 0);
      tensor_general_load(plan.input[s], input + offset[s], (int)ctx->data_fmt, (int)ctx->eu_align, &shape[s],
                          &lstride[s], &gstride[s], &move);
    }
    if (pipeline_should_work(&pipe, 1, &s)) {
      nodechip_unary_local(plan.input[s], plan.output, plan.scratch, ctx, params, &shape[s], &lstride[s], &compute);
      unary_merge_copies(node, &move, &compute);
      tensor_general_save(plan.output, output + offset[s], (int)ctx->data_fmt, (int)ctx->eu_align, &shape[s],
                          &lstride[s], &gstride[s], &move);
    }
    unary_merge_copies(node, &move, &compute);
  }
  node->divided = 1;
}

// Element counts of the n/c/h/w entries, in 64 bits; negative extents (API
// fields of 2^31 or more) are refused.
static u64 count_of(int n, int c, int h, int w) {
  ASSERT_FS(n >= 0 && c >= 0 && h >= 0 && w >= 0);
  return (u64)(u32)n * (u64)(u32)c * (u64)(u32)h * (u64)(u32)w;
}

void nodechip_relu_forward_32bit_parallel(u64 input, u64 output, float negative_slope, float upper_limit, int n,
                                          int c, int h, int w, cmd_id_node_t *node) {
  const float params[2] = {negative_slope, upper_limit};
  nodechip_unary(input, output, count_of(n, c, h, w), UNARY_PRELU_N, params, node);
}

void nodechip_sigmoid_forward_parallel(u64 input, u64 output, int n, int inner, cmd_id_node_t *node) {
  nodechip_unary(input, output, count_of(n, inner, 1, 1), UNARY_SIGMOID, NULL, node);
}

void nodechip_tanh_forward_parallel(u64 input, u64 output, int n, int inner, cmd_id_node_t *node) {
  nodechip_unary(input, output, count_of(n, inner, 1, 1), UNARY_TANH, NULL, node);
}

void nodechip_absval_forward(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node) {
  const float slope = -1.0f;
  nodechip_unary(input, output, count_of(n, c, h, w), UNARY_PRELU, &slope, node);
}

void nodechip_active_forward_parallel(u64 input, u64 output, u64 length, int active_type, const void *params,
                                      cmd_id_node_t *node) {
  const int type = active_unary_type(active_type);
  if (type < 0) {
    fw_log(0, "Not supported active_type=%d", active_type);
    return;
  }
  nodechip_unary(input, output, length, type, params, node);
}
