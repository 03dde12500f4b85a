// Position-sensitive ROI average pooling (float and 8-bit).
#include "layers/detect/psroipooling.h"

#include <math.h>
#include <string.h>

#include "cmd/bd_pool.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/data/select.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"

static int clampi(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// A bound as an integer: NaN as 0, magnitudes limited far beyond any map.
static int bound_of(double v) {
  if (!(v == v)) return 0;
  if (v > 16777216.0) return 16777216;
  if (v < -16777216.0) return -16777216;
  return (int)v;
}

void psroi_bin_of(psroi_bin_t *b, const float *roi, float spatial_scale, int group_size, int ph, int pw, int input_h,
                  int input_w) {
  const double s = spatial_scale;
  const float start_w = (float)(round((double)roi[1]) * s), start_h = (float)(round((double)roi[2]) * s);
  const float end_w = (float)((round((double)roi[3]) + 1.0) * s), end_h = (float)((round((double)roi[4]) + 1.0) * s);
  const float roi_w = end_w - start_w > 0.1f ? end_w - start_w : 0.1f;
  const float roi_h = end_h - start_h > 0.1f ? end_h - start_h : 0.1f;
  const float bin_w = roi_w / (float)group_size, bin_h = roi_h / (float)group_size;
  b->h0 = clampi(bound_of(floorf(start_h + (float)ph * bin_h)), 0, input_h);
  b->h1 = clampi(bound_of(ceilf(start_h + (float)(ph + 1) * bin_h)), 0, input_h);
  b->w0 = clampi(bound_of(floorf(start_w + (float)pw * bin_w)), 0, input_w);
  b->w1 = clampi(bound_of(ceilf(start_w + (float)(pw + 1) * bin_w)), 0, input_w);
}


// Stages the ROI list (five floats per ROI) where the ARM can read it.
static const u8 *psroi_stage_rois(u64 rois, u64 rois_staging, int num_rois, cmd_id_node_t *node) {
  general_gdma_gen_cmd(rois, rois_staging, GDMA_VALUE_FORMAT_FLOAT32, 5 * num_rois, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done(node);
  return (const u8 *)arm_window_ptr(rois_staging, 20u * (u64)num_rois);
}

// Places one ROI's output slots behind the largest of its bin regions and
// zeroes them (an empty bin keeps its 0). Slot s of channel k: lane k % 64,
// 128 bytes per 64 channels, slots slot_bytes apart (as rows of one element).
static u32 psroi_zeroed_slots(const float *roi, float spatial_scale, int group_size, int input_h, int input_w,
                              int output_dim, cmd_id_node_t *node) {
  const int cg = (int)ceil_div(output_dim, NPU_NUM);
  const int slots = group_size * group_size;
  const u32 slot_bytes = 128u * (u32)cg;
  u64 region_bytes = 0;
  for (int ph = 0; ph < group_size; ph++)
    for (int pw = 0; pw < group_size; pw++) {
      psroi_bin_t b;
      psroi_bin_of(&b, roi, spatial_scale, group_size, ph, pw, input_h, input_w);
      if (b.h1 > b.h0 && b.w1 > b.w0) {
        const u64 bytes = 4u * ALIGN((u64)(b.h1 - b.h0) * (u64)(b.w1 - b.w0), (u64)32) * (u64)cg;
        if (bytes > region_bytes) region_bytes = bytes;
      }
    }
  const u64 block = ALIGN(region_bytes, (u64)128);
  const u64 local_offset_end = block + (u64)slots * slot_bytes;
  ASSERT(local_offset_end <= (1<<19));
  const float zero = 0.0f;
  fill_constant_gen_local_cmd_stride((u32)block, 0, &zero, GDMA_VALUE_FORMAT_FLOAT32, 1, output_dim, slots, 1,
                                     slots * (int)slot_bytes / 4, 32, (int)slot_bytes / 4, 1, node);
  return (u32)block;
}

// Loads bin (ph, pw) of every output channel to local address 0, as words
// (4N bytes move as they stand; byte 0 is the image pooled). Returns 0 for an
// empty bin, which loads nothing.
static int psroi_load_bin(psroi_bin_t *b, u64 input, const float *roi, float spatial_scale, int group_size, int ph,
                          int pw, int input_h, int input_w, int output_dim, cmd_id_node_t *node) {
  psroi_bin_of(b, roi, spatial_scale, group_size, ph, pw, input_h, input_w);
  if (b->h1 <= b->h0 || b->w1 <= b->w0) return 0;
  const int cg = (int)ceil_div(output_dim, NPU_NUM);
  const int slots = group_size * group_size;
  const u64 plane = (u64)input_h * (u64)input_w;
  const int rh = b->h1 - b->h0, rw = b->w1 - b->w0;
  const int cs = ALIGN(rh * rw, 32);
  const u64 src = input + 4u * ((u64)(ph * group_size + pw) * plane + (u64)b->h0 * (u64)input_w + (u64)b->w0);
  tensor_general_move_gen_cmd(src, 0, 1, output_dim, rh, rw, (int)((u64)slots * plane * (u64)output_dim),
                              (int)((u64)slots * plane), input_w, 1, GDMA_VALUE_FORMAT_FLOAT32, 0, 0, 1, output_dim,
                              rh, rw, cs * cg, cs, rw, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  return 1;
}

void nodechip_psroipooling_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                   int input_h, int input_w, int output_dim, int group_size, int num_rois,
                                   float spatial_scale, cmd_id_node_t *node) {
  (void)input_n;
  ASSERT(output_dim > 0 && group_size > 0 && input_h > 0 && input_w > 0 && num_rois >= 0);
  ASSERT((i64)output_dim * group_size * group_size <= input_c);
  // Every ROI's block of output slots must fit beside its bin regions.
  {
    const u64 local_offset_end = (u64)group_size * (u64)group_size * 128u * (u64)ceil_div(output_dim, NPU_NUM);
    ASSERT(local_offset_end <= (1<<19));
  }
  if (num_rois == 0) return;
  const u8 *list = psroi_stage_rois(rois, rois_staging, num_rois, node);
  const int slots = group_size * group_size;
  const u32 slot_bytes = 128u * (u32)ceil_div(output_dim, NPU_NUM);
  for (int n = 0; n < num_rois; n++) {
    float roi[5];
    memcpy(roi, list + 20 * n, 20);
    const u32 block = psroi_zeroed_slots(roi, spatial_scale, group_size, input_h, input_w, output_dim, node);
    for (int ph = 0; ph < group_size; ph++)
      for (int pw = 0; pw < group_size; pw++) {
        psroi_bin_t b;
        if (!psroi_load_bin(&b, input, roi, spatial_scale, group_size, ph, pw, input_h, input_w, output_dim, node))
          continue;
        const int rh = b.h1 - b.h0, rw = b.w1 - b.w0;
        const u32 slot = block + (u32)(ph * group_size + pw) * slot_bytes;
        atomic_avg_pooling_gen_cmd(LOCAL_ADDR_TAG, LOCAL_ADDR_TAG | slot, 1, output_dim, rh, rw, 1, 1, rh, rw, 0, 0, 0,
                                   0, rh, rw, 0, 0, f32_bits(1.0f / (float)(rh * rw)), node);
        fix_cmd_node_overflow(node);
      }
    tensor_general_move_gen_cmd(block, 0, 1, output_dim, slots, 1, slots * (int)slot_bytes / 4, 32,
                                (int)slot_bytes / 4, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                output + 4u * (u64)n * (u64)output_dim * (u64)slots, 0, 1, output_dim, slots, 1,
                                output_dim * slots, slots, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0,
                                node);
  }
}

void nodechip_psroipooling_forward_with_datasplit(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n,
                                                  int input_c, int input_h, int input_w, int output_dim,
                                                  int group_size, int num_rois, float spatial_scale,
                                                  cmd_id_node_t *node) {
  nodechip_psroipooling_forward(input, output, rois, rois_staging, input_n, input_c, input_h, input_w, output_dim,
                                group_size, num_rois, spatial_scale, node);
}

// L2 SRAM staging of one 8-bit ROI block (bytes), below the lookup tables.
#define PSROI_L2_STAGE 0x100a2000u
#define PSROI_L2_END 0x10300000u

void nodechip_psroipooling_fix8b_forward(u64 input, u64 output, u64 rois, u64 rois_staging, int input_n, int input_c,
                                         int input_h, int input_w, int output_dim, int group_size, int num_rois,
                                         float spatial_scale, u32 input_sign, u32 output_sign, cmd_id_node_t *node) {
  (void)input_n;
  ASSERT(output_dim > 0 && group_size > 0 && input_h > 0 && input_w > 0 && num_rois >= 0);
  ASSERT((i64)output_dim * group_size * group_size <= input_c);
  {
    const u64 local_offset_end = (u64)group_size * (u64)group_size * 128u * (u64)ceil_div(output_dim, NPU_NUM);
    ASSERT(local_offset_end <= (1<<19));
  }
  const int slots = group_size * group_size;
  ASSERT(PSROI_L2_STAGE + (u64)output_dim * (u64)slots <= PSROI_L2_END);
  if (num_rois == 0) return;
  const u8 *list = psroi_stage_rois(rois, rois_staging, num_rois, node);
  const u32 slot_bytes = 128u * (u32)ceil_div(output_dim, NPU_NUM);
  const gdma_value_format_t f = output_sign ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_UINT8;
  // A signed input pooled into an unsigned output is limited below at 0.
  const int relu = input_sign && !output_sign;
  for (int n = 0; n < num_rois; n++) {
    float roi[5];
    memcpy(roi, list + 20 * n, 20);
    const u32 block = psroi_zeroed_slots(roi, spatial_scale, group_size, input_h, input_w, output_dim, node);
    for (int ph = 0; ph < group_size; ph++)
      for (int pw = 0; pw < group_size; pw++) {
        psroi_bin_t b;
        if (!psroi_load_bin(&b, input, roi, spatial_scale, group_size, ph, pw, input_h, input_w, output_dim, node))
          continue;
        const int rh = b.h1 - b.h0, rw = b.w1 - b.w0;
        const u32 slot = block + (u32)(ph * group_size + pw) * slot_bytes;
        atomic_pooling_fix8b_gen_cmd(LOCAL_ADDR_TAG, 0, LOCAL_ADDR_TAG | slot, 0, 1, output_dim, rh, rw, 1, 1, rh, rw,
                                     0, 0, 0, 0, rh, rw, 0, 0, 1, 0, 0, 0, input_sign != 0, 0, 0, 0, relu, node);
        fix_cmd_node_overflow(node);
      }
    // Byte 0 of every slot word into L2 as [channel][slot] bytes, then spread
    // into byte n % 4 of the words of group n / 4.
    tensor_general_move_gen_cmd(block, 0, slots, output_dim, 1, 1, (int)slot_bytes, 128, 1, 1, f, PSROI_L2_STAGE,
                                0, slots, output_dim, 1, 1, 1, slots, 1, 1, f, GDMA_VALUE_DIR_L2S, 0, node);
    const u64 dst = output + 4u * (u64)(n / 4) * (u64)output_dim * (u64)slots + (u64)(n % 4);
    tensor_general_move_gen_cmd(PSROI_L2_STAGE, 0, 1, output_dim, 1, slots, output_dim * slots, slots, slots, 1, f,
                                dst, 0, 1, output_dim, 1, slots, 4 * output_dim * slots, 4 * slots, 4 * slots, 4, f,
                                GDMA_VALUE_DIR_S2S, 0, node);
  }
}

void nodechip_psroipooling_fix8b_forward_with_datasplit(u64 input, u64 output, u64 rois, u64 rois_staging,
                                                        int input_n, int input_c, int input_h, int input_w,
                                                        int output_dim, int group_size, int num_rois,
                                                        float spatial_scale, u32 input_sign, u32 output_sign,
                                                        cmd_id_node_t *node) {
  nodechip_psroipooling_fix8b_forward(input, output, rois, rois_staging, input_n, input_c, input_h, input_w,
                                      output_dim, group_size, num_rois, spatial_scale, input_sign, output_sign, node);
}
