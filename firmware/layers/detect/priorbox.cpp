// SSD prior boxes on the tensor engine.
#include "layers/detect/priorbox.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "runtime/assert.h"
#include "runtime/regs.h"


// Fills coordinate k of prior p at every position of the H x W rows at
// `area` with value.
static void fill_coord(u32 area, int H, int W, int F, int G, int p, int k, float value, cmd_id_node_t *node) {
  fill_constant_gen_local_cmd_stride(area + 4u * (u32)(4 * p + k), 0, &value, GDMA_VALUE_FORMAT_FLOAT32, H, W, 1, 1,
                                     G, F, 1, 1, node);
}

int nodechip_priorbox_opt(int is_int8, int table_rows, u64 scratch, u64 output, int W, int H, int img_w, int img_h,
                          float step_w, float step_h, int min_num, int has_max, int aspect_num, int var_num,
                          const float *min_w, const float *min_h, const float *max_w, const float *max_h,
                          const float *aspect_w, const float *aspect_h, const float *variances, float offset,
                          int num_priors, float scale, u8 clip, int store_mode, cmd_id_node_t *node) {
  (void)variances;
  ASSERT(W > 0 && H > 0 && num_priors > 0 && table_rows >= W && table_rows >= H);
  ASSERT(num_priors == min_num * (1 + (has_max ? 1 : 0) + aspect_num));
  const int P = num_priors;
  const i64 F = ALIGN((i64)4 * P, (i64)32);
  const i64 G64 = F * ceil_div(W, NPU_NUM);
  const u64 local_center_addr = 0;
  const i64 local_stride[4] = {G64, F, 1, 1};
  const i64 n = H;
  ASSERT((local_center_addr + local_stride[0]*sizeof(float)*2*n) < (1<<19));
  const int G = (int)G64;
  const u32 boxes = 0, var = 4u * (u32)G * (u32)H;
  const u32 tag = LOCAL_ADDR_TAG;
  // Centre grid: x into coordinates 0 and 2, y into 1 and 3 of every prior.
  tensor_general_move_gen_cmd(scratch, 0, H, W, 2 * P, 1, 0, 2 * P, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, boxes, 0, H, W,
                              2 * P, 1, G, (int)F, 2, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  tensor_general_move_gen_cmd(scratch, 0, H, W, 2 * P, 1, 2 * P, 0, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, boxes + 4, 0, H,
                              W, 2 * P, 1, G, (int)F, 2, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  atomic_mdscalar_operation_gen_cmd(tag | boxes, 0, tag | boxes, H, W, 1, 4 * P, MD_SCALAR_ADD, 0, 0, 1, 0,
                                    f32_bits(offset), node);
  // Factors step / image size per coordinate, laid out in the variance rows.
  const float sw = step_w / (float)img_w, sh = step_h / (float)img_h;
  const float fw = sw, fh = sh;
  fill_constant_gen_local_cmd_stride(var, 0, &fw, GDMA_VALUE_FORMAT_FLOAT32, H, W, 2 * P, 1, G, (int)F, 2, 1, node);
  fill_constant_gen_local_cmd_stride(var + 4, 0, &fh, GDMA_VALUE_FORMAT_FLOAT32, H, W, 2 * P, 1, G, (int)F, 2, 1,
                                     node);
  atomic_mdscalar_operation_gen_cmd(tag | boxes, tag | var, tag | boxes, H, W, 1, 4 * P, MD_SCALAR_MUL, 0, 0, 0, 0, 0,
                                    node);
  // Half extents of every prior, in generation order, then one add.
  int p = 0;
  for (int i = 0; i < min_num; i++) {
    const float *hw[3] = {&min_w[i], has_max ? &max_w[i] : NULL, NULL};
    const float *hh[3] = {&min_h[i], has_max ? &max_h[i] : NULL, NULL};
    for (int j = 0; j < 2 + aspect_num; j++) {
      float w, h;
      if (j < 2) {
        if (!hw[j]) continue;
        w = *hw[j];
        h = *hh[j];
      } else {
        w = aspect_w[i * aspect_num + (j - 2)];
        h = aspect_h[i * aspect_num + (j - 2)];
      }
      fill_coord(var, H, W, (int)F, G, p, 0, -w, node);
      fill_coord(var, H, W, (int)F, G, p, 1, -h, node);
      fill_coord(var, H, W, (int)F, G, p, 2, w, node);
      fill_coord(var, H, W, (int)F, G, p, 3, h, node);
      p++;
    }
  }
  atomic_mdscalar_operation_gen_cmd(tag | boxes, tag | var, tag | boxes, H, W, 1, 4 * P, MD_SCALAR_ADD, 0, 0, 0, 0, 0,
                                    node);
  if (clip) {
    const dim4_t shape = {H, W, 1, 4 * P};
    const dim4_t dflt = {-1, 0, 0, 0};
    atomic_tensor_arithmetic_gen_cmd(tag | boxes, 0, tag | boxes, &shape, 0, 0, 0, &dflt, &dflt, &dflt, TENSOR_OP_MAX,
                                     0, 0, 0, 1, f32_bits(0.0f), 0, node);
    atomic_tensor_arithmetic_gen_cmd(tag | boxes, 0, tag | boxes, &shape, 0, 0, 0, &dflt, &dflt, &dflt, TENSOR_OP_MIN,
                                     0, 0, 0, 1, f32_bits(1.0f), 0, node);
  }
  // Variances from the scratch buffer: one value everywhere, or four in order.
  const u64 vsrc = scratch + 4u * 2u * (u64)P * (u64)table_rows;
  if (var_num == 1)
    tensor_general_move_gen_cmd(vsrc, 0, H, W, 4 * P, 1, 0, 0, 0, 1, GDMA_VALUE_FORMAT_FLOAT32, var, 0, H, W, 4 * P,
                                1, G, (int)F, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  else
    tensor_general_move_gen_cmd(vsrc, 0, H, W, P, 4, 0, 0, 0, 1, GDMA_VALUE_FORMAT_FLOAT32, var, 0, H, W, P, 4, G,
                                (int)F, 4, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  if (is_int8) {
    // value x 128 / scale + 0.5, limited to [-128, 127] and truncated to int32:
    // the low byte of each word is the signed 8-bit output.
    const dim4_t all = {2 * H, W, 1, 4 * P};
    const dim4_t dflt = {-1, 0, 0, 0};
    atomic_mdscalar_operation_gen_cmd(tag | boxes, 0, tag | boxes, 2 * H, W, 1, 4 * P, MD_SCALAR_MUL, 0, 0, 1, 0,
                                      f32_bits(128.0f / scale), node);
    atomic_mdscalar_operation_gen_cmd(tag | boxes, 0, tag | boxes, 2 * H, W, 1, 4 * P, MD_SCALAR_ADD, 0, 0, 1, 0,
                                      f32_bits(0.5f), node);
    atomic_tensor_arithmetic_gen_cmd(tag | boxes, 0, tag | boxes, &all, 0, 0, 0, &dflt, &dflt, &dflt, TENSOR_OP_MAX,
                                     0, 0, 0, 1, f32_bits(-128.0f), 0, node);
    atomic_tensor_arithmetic_gen_cmd(tag | boxes, 0, tag | boxes, &all, 0, 0, 0, &dflt, &dflt, &dflt, TENSOR_OP_MIN,
                                     0, 0, 0, 1, f32_bits(127.0f), 0, node);
    atomic_md_sfu_gen_cmd(tag | boxes, tag | boxes, 2 * H, W, 1, 4 * P, 0, SFU_F2I, 0, node);
    // Storage mode 2: 1N bytes in the scratch buffer, then 4N into the output.
    const u64 dst = store_mode == 2 ? scratch : output;
    tensor_general_move_gen_cmd(boxes, 0, 2 * H, W, 1, 4 * P, 4 * G, 4 * (int)F, 16 * P, 4, GDMA_VALUE_FORMAT_INT8,
                                dst, 0, 2 * H, W, 1, 4 * P, W * 4 * P, 4 * P, 4 * P, 1, GDMA_VALUE_FORMAT_INT8,
                                GDMA_VALUE_DIR_L2S, 0, node);
    if (store_mode == 2) gdma_move_global_1N_and_4N(scratch, output, 1, 2 * H * W * 4 * P, 1, node);
    return 0;
  }
  tensor_general_move_gen_cmd(boxes, 0, 2 * H, W, 1, 4 * P, G, (int)F, 4 * P, 1, GDMA_VALUE_FORMAT_FLOAT32, output, 0,
                              2 * H, W, 1, 4 * P, W * 4 * P, 4 * P, 4 * P, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_L2S, 0, node);
  return 0;
}
