// Float eltwise: the entry (shapes, the strided second input, the pairs) and
// the pairwise routine.
#include "layers/eltwise/eltwise.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_view.h"
#include "local/compare_select.h"
#include "runtime/assert.h"

void eltwise_pair_plan_of(eltwise_pair_plan_t *p, int op, int mask_flag, int first_input) {
  const int with_mask = mask_flag && op == ELTWISE_MAX;
  const int m = first_input ? (with_mask ? 2 : 1) : (with_mask ? 5 : 2);
  p->banks = 8 / m;
  p->share = (u32)p->banks * 0x10000u;
  const u32 S = p->share;
  p->first = 0;
  p->second = S;
  p->old_mask = 2 * S;
  p->new_mask = 3 * S;
  p->new_max = 4 * S;
  static const char *const names[5] = {"first operand", "second operand", "old mask", "new mask", "new maximum"};
  p->area_count = m;
  for (int i = 0; i < m; i++) p->areas[i] = {first_input && i == 1 ? "mask" : names[i], (u32)i * S, S};
}

eltwise_piece_t eltwise_piece_of(u64 remaining, int banks) {
  eltwise_piece_t piece;
  if (remaining >= (u64)banks * 65536u) {
    piece.rows = 8 * banks;
    piece.cols = 2048;
  } else {
    piece.rows = 1;
    piece.cols = remaining < 65535u ? (int)remaining : 65535;
  }
  piece.sections = (int)ceil_div(piece.cols, 32);
  return piece;
}

static void move_piece(u32 local, u64 global, const eltwise_piece_t *p, int to_local, cmd_id_node_t *node) {
  matrix_move_gen_cmd(local, 0, global, 32, p->rows, p->cols, GDMA_VALUE_FORMAT_FLOAT32,
                      to_local ? GDMA_VALUE_DIR_S2L : GDMA_VALUE_DIR_L2S, 0, node);
}

void nodechip_eltwise_twoinput_cal(u64 first, u64 second, u64 output, u64 mask, int n, int c, int h, int w, int op,
                                   float coeff0, float coeff1, int mask_flag, float mask_value, int first_input,
                                   int relu_flag, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && c >= 0 && h >= 0 && w >= 0);
  const int with_mask = mask_flag && op == ELTWISE_MAX;
  eltwise_pair_plan_t P;
  eltwise_pair_plan_of(&P, op, mask_flag, first_input);
  u64 left = (u64)n * (u64)c * (u64)h * (u64)w, at = 0;
  while (left > 0) {
    const eltwise_piece_t piece = eltwise_piece_of(left, P.banks);
    const dim4_t shape = {piece.rows, piece.sections, 1, 32};
    const dim4_t stride = {(int)ceil_div(piece.sections, NPU_NUM) * 32, 32, 32, 1};
    move_piece(P.first, first + 4 * at, &piece, 1, node);
    if (first_input) {
      if (op == ELTWISE_SUM && coeff0 != 1.0f)
        tensor_f32_const_prod(P.first, f32_bits(coeff0), P.first, &shape, &stride, node);
      if (with_mask)
        local_fill_const_gen_cmd(LOCAL_ADDR_TAG | P.second, shape.n, shape.c, 1, 32, f32_bits(mask_value), node);
      move_piece(P.first, output + 4 * at, &piece, 0, node);
      if (with_mask) move_piece(P.second, mask + 4 * at, &piece, 0, node);
    } else {
      move_piece(P.second, second + 4 * at, &piece, 1, node);
      if (with_mask) move_piece(P.old_mask, mask + 4 * at, &piece, 1, node);
      u32 result = P.first;
      switch (op) {
        case ELTWISE_PROD: tensor_f32_prod(P.first, P.second, P.first, &shape, &stride, node); break;
        case ELTWISE_SUM:
          if (coeff0 != 1.0f) tensor_f32_const_prod(P.first, f32_bits(coeff0), P.first, &shape, &stride, node);
          if (coeff1 == 1.0f) {
            tensor_f32_add(P.first, P.second, P.first, &shape, &stride, node);
          } else {
            tensor_f32_const_prod(P.second, f32_bits(coeff1), P.second, &shape, &stride, node);
            if (coeff1 != 0.0f) tensor_f32_add(P.first, P.second, P.first, &shape, &stride, node);
          }
          break;
        case ELTWISE_MAX:
          if (with_mask) {
            // The mask takes this input's value where it is strictly larger,
            // so that on equal values the earlier input keeps it.
            md_cmp_gen_cmd(LOCAL_ADDR_TAG | P.first, LOCAL_ADDR_TAG | P.second, 0, LOCAL_ADDR_TAG | P.old_mask,
                           LOCAL_ADDR_TAG | P.new_max, LOCAL_ADDR_TAG | P.new_mask, shape.n, shape.c, 1, 32, 0, 0, 1, 0,
                           0.0f, 0.0f, mask_value, 0.0f, 0, node);
            result = P.new_max;
          } else {
            tensor_f32_max(P.first, P.second, P.first, &shape, &stride, node);
          }
          break;
        default: break;  // the first operand passes through
      }
      if (relu_flag) tensor_f32_const_max(result, 0, result, &shape, &stride, node);
      move_piece(result, output + 4 * at, &piece, 0, node);
      if (with_mask) move_piece(P.new_mask, mask + 4 * at, &piece, 0, node);
    }
    const u64 done = (u64)piece.rows * (u64)piece.cols;
    left -= done;
    at += done;
  }
}

// The second input read with a stride along h and w over the first input's
// shape, densely into the scratch area.
static void subsample_second(u64 src, u64 dst, const int *s1, const int *s2, int stride, cmd_id_node_t *node) {
  const int n = s1[0], c = s1[1], h = s1[2], w = s1[3];
  const int ns = s2[1] * s2[2] * s2[3], cs = s2[2] * s2[3];
  const dim4_t dense = dense_stride(dim4(n, c, h, w));
  if (stride == 1) {
    move_g2g(global_view(src, dim4(n, c, h, w), dim4(ns, cs, s2[3], 1), GDMA_VALUE_FORMAT_FLOAT32),
             global_view(dst, dim4(n, c, h, w), dense, GDMA_VALUE_FORMAT_FLOAT32), node);
    return;
  }
  // A w stride above 1 moves one row of h at a time.
  const dim4_t row = dim4(n, c, 1, w), row_stride = dim4(ns, cs, stride * s2[3], stride);
  for (int y = 0; y < h; y++)
    move_g2g(global_view(src + 4ull * (u64)y * (u64)stride * (u64)s2[3], row, row_stride, GDMA_VALUE_FORMAT_FLOAT32),
             global_view(dst + 4ull * (u64)y * (u64)w, row, dense, GDMA_VALUE_FORMAT_FLOAT32), node);
}

void nodechip_eltwise_forward(const u64 *input_addrs, u64 output, u64 mask, u64 scratch, const int *input1_shape,
                              const int *input2_shape, int input_num, int input_dims, int op, const float *coeffs,
                              int mask_flag, const float *mask_values, int relu_flag, cmd_id_node_t *node) {
  ASSERT(input_dims == 4);
  ASSERT(input_num <= 8, "input_num=%d", input_num);
  for (int i = 0; i < 4; i++) ASSERT(input1_shape[i] >= 0 && input2_shape[i] >= 0, "dimension %d", i);
  u64 in[ELTWISE_MAX_INPUTS];
  for (int j = 0; j < input_num; j++) in[j] = input_addrs[j];
  int shape[4];
  for (int i = 0; i < 4; i++) shape[i] = input1_shape[i] < input2_shape[i] ? input1_shape[i] : input2_shape[i];
  for (int i = 0; i < 4; i++) {
    if (input1_shape[i] == input2_shape[i]) continue;
    ASSERT(input1_shape[i] <= input2_shape[i]);
    // The ratios below divide by the first shape's h and w.
    ASSERT(input1_shape[2] > 0 && input1_shape[3] > 0);
    const int stride = input2_shape[3] / input1_shape[3];
    ASSERT((input2_shape[2] / input1_shape[2]) == stride);
    const int s1[4] = {shape[0], shape[1], shape[2], shape[3]};
    if (input_num > 1) {
      subsample_second(in[1], scratch, s1, input2_shape, stride, node);
      in[1] = scratch;
    }
    break;
  }
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  if (op == ELTWISE_MAX) {
    for (int j = 0; j < input_num; j++)
      nodechip_eltwise_twoinput_cal(in[j], j == 0 ? in[0] : output, output, mask, n, c, h, w, op,
                                    coeffs[j], j == 0 ? coeffs[0] : 1.0f, mask_flag, mask_values[j], j == 0,
                                    relu_flag, node);
    return;
  }
  for (int j = 0; j + 1 < input_num; j++)
    nodechip_eltwise_twoinput_cal(j == 0 ? in[0] : output, in[j + 1], output,
                                  mask, n, c, h, w, op, j == 0 ? coeffs[0] : 1.0f, coeffs[j + 1], mask_flag,
                                  mask_values[j], 0, relu_flag, node);
}
