// Output sections and input slabs of the float deconvolution and Winograd
// layers.
#include "layers/conv/conv_sections.h"

#include "cmd/bd_arith.h"
#include "cmd/local_mem.h"

void conv_section_move_output(u64 output_addr, int output_c, int output_h, int output_w, int ocg,
                              const conv_section_t *s, gdma_direction_t dir, cmd_id_node_t *node) {
  const int plane = (int)align_up((s64)s->rows * output_w, EU_NUM);
  const u64 at = output_addr + 4ull * ((u64)s->n0 * output_c * output_h * output_w +
                                       ((u64)s->g * ocg + s->oc0) * output_h * output_w + (u64)s->oh0 * output_w);
  const int gn = output_c * output_h * output_w, gc = output_h * output_w;
  if (dir == GDMA_VALUE_DIR_S2L)
    tensor_stride_move_gen_cmd(s->out, 0, at, s->nc, s->ch, s->rows, output_w, gn, gc, output_w, 1,
                               plane * s->lanes, plane, output_w, 1, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, node);
  else
    tensor_stride_move_gen_cmd(s->out, 0, at, s->nc, s->ch, s->rows, output_w, plane * s->lanes, plane, output_w, 1,
                               gn, gc, output_w, 1, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, node);
}

void conv_section_load_input(u32 buf, u64 input_addr, int input_c, int input_h, int input_w, int c0, int ic, int n0,
                             int nc, int row0, int rows, cmd_id_node_t *node) {
  const int plane = (int)align_up((s64)rows * input_w, EU_NUM);
  tensor_stride_move_gen_cmd(buf, 0,
                             input_addr + 4ull * ((u64)n0 * input_c * input_h * input_w +
                                                  (u64)c0 * input_h * input_w + (u64)row0 * input_w),
                             nc, ic, rows, input_w, input_c * input_h * input_w, input_h * input_w, input_w, 1,
                             plane * (int)ceil_div(ic, NPU_NUM), plane, input_w, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_S2L, 0, node);
}


void conv_section_fill(const conv_section_t *s, int output_w, int accumulate, int have_bias, u32 bias_buf,
                       cmd_id_node_t *node) {
  if (accumulate && !have_bias) return;
  const dim4_t shape = {s->nc, s->ch, s->rows, output_w};
  const dim4_t dflt = {-1, 0, 0, 0}, bstride = {0, 1, 0, 0};
  const u32 out = LOCAL_ADDR_TAG | s->out, zero = 0;  // the bits of 0.0f
  atomic_tensor_arithmetic_gen_cmd(accumulate ? out : 0, have_bias ? (LOCAL_ADDR_TAG | bias_buf) : 0, out, &shape, 1,
                                   1, 1, &dflt, have_bias ? &bstride : &dflt, &dflt, TENSOR_OP_ADD, 0, !accumulate,
                                   zero, !have_bias, zero, 0, node);
}
