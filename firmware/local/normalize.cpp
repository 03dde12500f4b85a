// Local LRN and L2 normalisation kernels, float and 8-bit 4N.
#include "local/normalize.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/tensor_ops.h"
#include "local/conversion.h"
#include "local/math.h"
#include "local/resident.h"
#include "local/tagged_math.h"

namespace {

dim4_t d4(int n, int c, int h, int w) {
  const dim4_t d = {n, c, h, w};
  return d;
}

// Bytes one batch item (float32) or one group of four (8-bit 4N) takes per
// lane: P4.
u32 item_bytes(u32 offset, int c, int h, int w) {
  return (u32)local_rows_at(offset, c) * (u32)local_plane(h, w) * 4u;
}

dim4_t strides_at(u32 offset, int c, int h, int w) {
  const int plane = local_plane(h, w);
  return d4(local_rows_at(offset, c) * plane, plane, w, 1);
}

// The second node takes the field-wise maximum of both nodes; its flag clears.
void raise_to_max(cmd_id_node_t *to, const cmd_id_node_t *from) {
  if (from->bd_cmd_id > to->bd_cmd_id) to->bd_cmd_id = from->bd_cmd_id;
  if (from->gdma_cmd_id > to->gdma_cmd_id) to->gdma_cmd_id = from->gdma_cmd_id;
  to->divided = 0;
}

void md_mul(u32 A, u32 B, u32 R, const dim4_t &s, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(local_tag(A), local_tag(B), local_tag(R), s.n, s.c, s.h, s.w,
                                    MD_SCALAR_MUL, 0, 0, 0, 0, 0, node);
}
void md_mul_const(u32 A, float b, u32 R, const dim4_t &s, cmd_id_node_t *node) {
  atomic_mdscalar_operation_gen_cmd(local_tag(A), 0, local_tag(R), s.n, s.c, s.h, s.w, MD_SCALAR_MUL,
                                    0, 0, 1, 0, f32_bits(b), node);
}

// Item m of the 8-bit group `group` into float X: the low byte of every word
// converted (the input kept, `buffer` one group), then the words shifted down
// by 8 bits so that the next item's byte comes next.
void take_low_item(u32 group, u32 X, u32 buffer, const dim4_t &one, int is_signed,
                   cmd_id_node_t *node) {
  tensor_int8_to_float_local_v2(group, X, buffer, 1, one.c, one.h, one.w, 1, is_signed,
                                STORAGE_MODE_4N_INT8, node);
  const dim4_t ws = strides_at(group, one.c, one.h, one.w);
  tensor_i32_const_shift(group, (u32)-8, group, &one, &ws, node);
}

// Float item X quantised in place and placed as item m (mod 4) of the output
// group: copied for the first item of a group, else shifted into its byte and
// ORed in.
void put_item(u32 X, u32 group, int m, const dim4_t &one, int is_signed, cmd_id_node_t *node) {
  nodechip_float2int8_local(local_tag(X), local_tag(X), 1, one.c, one.h, one.w, is_signed, 0, node);
  const dim4_t xs = strides_at(X, one.c, one.h, one.w);
  if (m % 4 == 0) {
    tensor_copy(X, group, &one, &xs, node);
    return;
  }
  tensor_i32_const_shift(X, (u32)(8 * (m % 4)), X, &one, &xs, node);
  tensor_i32_or(group, X, group, &one, &xs, node);
}

// x = (x * scale)^2 in place.
void calculate_square(u32 x, const dim4_t *shape, cmd_id_node_t *node, float scale) {
  const dim4_t s = strides_at(x, shape->c, shape->h, shape->w);
  tensor_f32_const_prod(x, f32_bits(scale), x, shape, &s, node);
  md_mul(x, x, x, *shape, node);
}

// V = V * alpha / size + k, then V^-beta through ln and exp (work tensor W).
void lrn_power(u32 V, u32 W, const dim4_t &s, float alpha, int size, float beta, float k,
               cmd_id_node_t *node) {
  atomic_md_linear_gen_cmd(local_tag(V), 0, 0, local_tag(V), s.n, s.c, s.h, s.w, 1, 1, f32_bits(k),
                           f32_bits(alpha / (float)size), 0, 0, node);
  tensor_lnx(local_tag(V), local_tag(W), EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF,
             s.n, s.c, s.h, s.w, node);
  md_mul_const(V, -beta, V, s, node);
  tensor_ex(local_tag(V), local_tag(W), EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
            EX_EXPM1_COEFF, s.n, s.c, s.h, s.w, node);
}

}  // namespace

void nodechip_lrn_forward_local(u32 input, u32 output, u32 scratch, const dim4_t *shape,
                                float alpha, int size, float beta, float k, int skip,
                                cmd_id_node_t *node, cmd_id_node_t *node2) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  const u32 Q1 = scratch, Q2 = scratch + (u32)n * item_bytes(scratch, c, h, w);
  const int r = (size - 1) / 2;
  if (!skip) {
    md_mul(input, input, Q1, *shape, node);
    md_mul_const(Q1, 1.0f, Q2, *shape, node);
    // Q2 += Q1 shifted by j lanes down and up: the sum over the window.
    const int lane = (int)local_lane_of(scratch);
    for (int j = 1; j <= r && j < c; j++) {
      lrn_shift_gen_cmd(Q1 & LOCAL_OFFSET_MASK, lane, Q2 & LOCAL_OFFSET_MASK, n, c, h, w,
                        GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_LEFT, j, 1, node);
      lrn_shift_gen_cmd(Q1 & LOCAL_OFFSET_MASK, lane, Q2 & LOCAL_OFFSET_MASK, n, c, h, w,
                        GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_RIGHT, j, 1, node);
    }
    raise_to_max(node2, node);
  }
  lrn_power(Q2, Q1, *shape, alpha, size, beta, k, node);
  md_mul(input, Q2, output, *shape, node);
}

void nodechip_lrn_fix8b_forward_local(u32 input, u32 output, u32 scratch, const dim4_t *shape,
                                      float alpha, int size, float beta, float k, int skip,
                                      int mode, cmd_id_node_t *node, cmd_id_node_t *node2,
                                      int data_signed, float input_scale, float output_scale) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  const u32 P4 = item_bytes(scratch, c, h, w);
  const u32 in_group = item_bytes(input, c, h, w), out_group = item_bytes(output, c, h, w);
  const dim4_t one = d4(1, c, h, w);
  if (mode == 0) {
    const u32 X = scratch;
    const dim4_t xs = strides_at(X, c, h, w);
    for (int m = 0; m < n; m++) {
      // The item's byte converted with the input kept (X + P4 as buffer): a
      // conversion in place would bias the other items' bytes of signed data
      // before their turn.
      if (!skip) take_low_item(input + (u32)(m / 4) * in_group, X, X + P4, one, data_signed, node);
      if (skip && m != n - 1) continue;
      tensor_f32_const_prod(X, f32_bits(input_scale), X, &one, &xs, node);
      nodechip_lrn_forward_local(X, X, X + P4, &one, alpha, size, beta, k, skip, node, node2);
      tensor_f32_const_prod(X, f32_bits(output_scale), X, &one, &xs, node);
      put_item(X, output + (u32)(m / 4) * out_group, m, one, data_signed, node);
    }
    return;
  }
  // Four items at a time: F the items, T work, V the window sums; the first
  // P4 bytes receive the lane-shifted 8-bit words.
  // The shift moves words within the input's lanes, so the shifted copy lies
  // there too.
  const u32 S8 = (input & ~LOCAL_OFFSET_MASK) | (scratch & LOCAL_OFFSET_MASK);
  const u32 F = scratch + P4, T = scratch + 5 * P4, V = scratch + 9 * P4;
  const dim4_t s8 = strides_at(S8, c, h, w);
  const int lane = (int)local_lane_of(input);
  for (int i = 0; 4 * i < n; i++) {
    const int m = n - 4 * i < 4 ? n - 4 * i : 4;
    const dim4_t items = d4(m, c, h, w), fs = strides_at(F, c, h, w);
    const u32 G = input + (u32)i * in_group;
    tensor_int8_to_float_local_v2(G, F, T, m, c, h, w, 1, data_signed, STORAGE_MODE_4N_INT8, node);
    tensor_f32_const_prod(F, f32_bits(input_scale), F, &items, &fs, node);
    md_mul(F, F, V, items, node);
    for (int j = 1; j <= (size - 1) / 2 && j < c; j++) {
      for (int dir = GDMA_VALUE_LRN_SHIFT_LEFT; dir <= GDMA_VALUE_LRN_SHIFT_RIGHT; dir++) {
        // The channels the shift does not reach must count nothing: zero words
        // (which convert to 0) first.
        tensor_f32_const_assign(S8, 0, &one, &s8, node);
        lrn_shift_gen_cmd(G & LOCAL_OFFSET_MASK, lane, S8 & LOCAL_OFFSET_MASK, 1, c, h, w,
                          GDMA_VALUE_FORMAT_FLOAT32, dir, j, 0, node);
        if (!skip) {
          raise_to_max(node2, node);
          raise_to_max(node, node2);
        }
        tensor_int8_to_float_local_v2(S8, T, 0, m, c, h, w, 0, data_signed, STORAGE_MODE_4N_INT8,
                                      node);
        calculate_square(T, &items, node, input_scale);
        atomic_mdscalar_operation_gen_cmd(local_tag(V), local_tag(T), local_tag(V), m, c, h, w,
                                          MD_SCALAR_ADD, 0, 0, 0, 0, 0, node);
      }
    }
    lrn_power(V, T, items, alpha, size, beta, k, node);
    md_mul(F, V, F, items, node);
    tensor_f32_const_prod(F, f32_bits(output_scale), F, &items, &fs, node);
    nodechip_float2int8_local(local_tag(F), local_tag(F), m, c, h, w, data_signed, 0, node);
    tensor_copy(F, output + (u32)i * out_group, &one, &fs, node);
  }
}

void nodechip_normalize_forward_local(u32 input, u32 output, u32 scratch, u32 scale,
                                      const dim4_t *shape, int across_spatial, int channel_shared,
                                      float eps, float scale_value, int if_relu,
                                      cmd_id_node_t *node) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  tensor_normalize(input, output, scratch, n, c, h, w, across_spatial, f32_bits(eps), node);
  tensor_scale(output, output, scale, n, c, h, w, channel_shared, f32_bits(scale_value), if_relu,
               node);
}

void nodechip_normalize_fix8b_forward_local(u32 input, u32 output, u32 scratch, u32 scale,
                                            const dim4_t *shape, int across_spatial,
                                            int channel_shared, float eps, float scale_value,
                                            int if_relu, int input_signed, int output_signed,
                                            cmd_id_node_t *node) {
  const int n = shape->n, c = shape->c, h = shape->h, w = shape->w;
  const u32 P4 = item_bytes(scratch, c, h, w);
  const u32 in_group = item_bytes(input, c, h, w), out_group = item_bytes(output, c, h, w);
  const dim4_t one = d4(1, c, h, w);
  for (int i = 0; i < n; i++) {
    take_low_item(input + (u32)(i / 4) * in_group, scratch, scratch + P4, one, input_signed, node);
    nodechip_normalize_forward_local(scratch, scratch, scratch + P4, scale, &one, across_spatial,
                                     channel_shared, eps, scale_value, if_relu, node);
    put_item(scratch, output + (u32)(i / 4) * out_group, i, one, output_signed, node);
  }
}
