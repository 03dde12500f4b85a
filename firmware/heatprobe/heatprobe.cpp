// The power-test kernel: one 8-bit convolution command issued 60 times on fixed
// local operands, then a wait for the engines. Nothing is loaded: the results
// are whatever the operands give; only the engine load matters.
#include "heatprobe/heatprobe.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/hw.h"
#include "runtime/profile.h"
#include "cmd/bd_conv.h"
#include "cmd/local_mem.h"

// The kernel's own wait for the node's ids on both engines.
static void zvkernel_poll_all_engine_done_internal(cmd_id_node_t *node) {
  while (((hw_read32(BD_REG_STATUS) >> BD_STATUS_DONE_SHIFT) & BD_STATUS_DONE_MASK) < node->bd_cmd_id) hw_idle();
  while (((hw_read32(GDMA_REG_DONE) >> GDMA_DONE_SHIFT) & GDMA_DONE_MASK) < node->gdma_cmd_id) hw_idle();
}

void zvkernel_atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
    int stride_h, int stride_w, int using_bias, int kernel_flag, int unused, int out_mode,
    int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode,
    cmd_id_node_t *node) {
  (void)unused;
  ASSERT_FS(ifmap_addr % (sizeof(int)) == 0);
  ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(int)) == 0);
  ASSERT_FS((ofmap_addr / (1<<19)) == (weight_addr / (1<<19)));
  ASSERT_FS(weight_addr % (sizeof(int)) == 0);
  ASSERT_FS(bias_addr % (sizeof(short)) == 0);
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  const fix_conv_t a = {ifmap_addr,
                        ofmap_addr,
                        weight_addr,
                        bias_addr,
                        input_n,
                        input_c,
                        input_h,
                        input_w,
                        {istride0, istride1, opd_param24, opd_param25},
                        ins_h,
                        ins_w,
                        output_c,
                        output_h,
                        output_w,
                        weight_is_const,
                        weight_const,
                        kh,
                        kw,
                        dh_minus1,
                        dw_minus1,
                        {kstride0, kstride1, opd_param26, opd_param27},
                        {pad_h_top, pad_h_bottom, pad_w_l, pad_w_r},
                        stride_h,
                        stride_w,
                        using_bias,
                        kernel_flag,
                        out_mode,
                        rshift,
                        {opd0_sign, opd1_sign, opd2_sign},
                        input_mode,
                        weight_mode};
  bd_desc_t d;
  fix_conv_compose(&d, &a);
  bd_desc_issue(&d, node);
}

// Units from an operand's first element to the end of its last: 0 when any
// extent is 0.
static u64 extent_units(const u64 count[4], const u64 stride[4]) {
  u64 last = 0;
  for (int i = 0; i < 4; i++) {
    if (count[i] == 0) return 0;
    last += (count[i] - 1) * stride[i];
  }
  return last + 1;
}

// Bytes from a tagged local address to the end of its lane.
static u64 lane_room(u32 tagged) { return LOCAL_MEM_SIZE - (tagged & (LOCAL_MEM_SIZE - 1)); }

void zvkernel_conv_fix8b_only(u32 w0, u32 w1, u32 w2, u32 w3, u32 w4, u32 w5, u32 w6, u32 w7,
                              u32 input_n, u32 input_c, u32 input_h, u32 input_w, u32 groups,
                              u32 output_c, u32 kh, u32 kw, u32 dh, u32 dw, u32 pad_h, u32 pad_w,
                              u32 stride_h, u32 stride_w, u32 w22, u32 w23, u32 w25, u32 w26,
                              u32 w27, u32 w28, u32 w29, u32 weight_layout, u32 ins_h, u32 ins_w,
                              u32 w33, u32 w34, u32 w35, u32 w36, u32 w37, cmd_id_node_t *node) {
  (void)w0, (void)w1, (void)w2, (void)w3, (void)w4, (void)w5, (void)w6, (void)w7;
  (void)w25, (void)w26, (void)w27, (void)w28;
  // A zero divisor would give meaningless extents (and fault on some cores).
  ASSERT_FS(groups > 0);
  ASSERT_FS(stride_h > 0 && stride_w > 0);
  // The engine reads the input in its aligned layout (mode 0) or by the
  // strides the kernel gives (mode 3); it has no other input mode.
  const u32 input_mode = w37;
  ASSERT_FS(input_mode == 0 || input_mode == 3);
  // The output extents in 64 bits: the record's words can overflow any 32-bit
  // product. Each must be positive and fit its 16-bit shape field. Factors of
  // at most 2^31 keep each product and sum inside 64 bits.
  const u32 factors[] = {input_h, input_w, ins_h, ins_w, pad_h, pad_w, kh, kw, dh, dw};
  u32 largest = 0;
  for (u32 f : factors) largest = f > largest ? f : largest;
  ASSERT_FS(largest <= 0x80000000u);
  const i64 oh64 = ((i64)input_h - 1) * ((i64)ins_h + 1) + 2 * (i64)pad_h - ((i64)kh - 1) * (i64)dh;
  const i64 ow64 = ((i64)input_w - 1) * ((i64)ins_w + 1) + 2 * (i64)pad_w - ((i64)kw - 1) * (i64)dw;
  ASSERT_FS(oh64 >= 0 && ow64 >= 0);
  ASSERT_FS(oh64 / stride_h < BD_MAX_H && ow64 / stride_w < BD_MAX_W);
  const int oh = (int)(oh64 / stride_h) + 1;
  const int ow = (int)(ow64 / stride_w) + 1;
  const u32 ic_g = input_c / groups, oc_g = output_c / groups;
  const u32 plane = eu_plane(input_h * input_w);
  const u32 in_n = plane * lane_rows(0, ic_g), in_c = plane, in_h = input_w, in_w = 1;
  u32 k_n, k_c, k_h, k_w;
  if (weight_layout == 0) {
    k_n = input_c * kh * kw;
    k_c = kh * kw;
    k_h = kw;
    k_w = 1;
  } else {
    const u32 k4 = (u32)ceil_div(input_c, 4);
    k_n = k4 * kh * kw;
    k_c = 1;
    k_h = k4 * kw;
    k_w = k4;
  }
  // Each operand must stay inside its lanes, where the engine reads and writes
  // it: the bytes per lane from its fixed offset to its last element, in 64
  // bits (4N batch groups, lane rows, rows, columns; 4-byte units).
  const u64 groups4 = (u64)ceil_div(input_n, 4);
  const u64 in_rows = lane_rows(0, input_c), out_rows = lane_rows(0, oc_g);
  const u64 in_plane = ALIGN((u64)input_h * input_w, (u64)EU_NUM);
  const u64 out_plane = ALIGN((u64)oh * (u64)ow, (u64)EU_NUM);
  const u64 in_count[4] = {groups4, in_rows, input_h, input_w};
  const u64 in_stride[4] = {input_mode == 3 ? (u64)in_n : in_plane * in_rows, in_plane, input_w, 1};
  const u64 out_count[4] = {groups4, out_rows, (u64)oh, (u64)ow};
  const u64 out_stride[4] = {out_rows * out_plane, out_plane, (u64)ow, 1};
  const u64 weight_count[4] = {(u64)ceil_div(input_c, 4), out_rows, kh, kw};
  const u64 weight_stride[4] = {k_c, k_n, k_h, k_w};
  const u64 input_bytes = 4 * extent_units(in_count, in_stride);
  const u64 output_bytes = 4 * extent_units(out_count, out_stride);
  const u64 weight_bytes = 4 * extent_units(weight_count, weight_stride);
  ASSERT_FS(input_bytes <= lane_room(HEATPROBE_INPUT) && output_bytes <= lane_room(HEATPROBE_OUTPUT) &&
            weight_bytes <= lane_room(HEATPROBE_WEIGHT));
  for (int i = 0; i < HEATPROBE_REPEAT; i++)
    zvkernel_atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
        HEATPROBE_INPUT, HEATPROBE_OUTPUT, HEATPROBE_WEIGHT, HEATPROBE_BIAS, (int)input_n, (int)input_c,
        (int)input_h, (int)input_w, (int)in_n, (int)in_c, (int)in_h, (int)in_w, (int)ins_h, (int)ins_w, (int)oc_g,
        oh, ow, 0, 0, (int)kh, (int)kw, (int)dh - 1, (int)dw - 1, (int)k_c, (int)k_n, (int)k_h, (int)k_w,
        (int)pad_h, (int)pad_h, (int)pad_w, (int)pad_w, (int)stride_h, (int)stride_w, (int)w22, 0, (int)w23,
        (int)w29, (int)w33, (int)w34, (int)w35, (int)w36, (int)input_mode, 3, node);
}

int zvkernel_func(const char *param) {
  u32 w[HEATPROBE_WORDS];
  for (int i = 0; i < HEATPROBE_WORDS; i++) memcpy(&w[i], param + 4 * i, 4);
  if (w[HP_N] == 0) return 0;
  cmd_id_node_t node = {0, 0, 0};
  hw_write32(BD_REG_ID_RESTART, 1);
  hw_set_bits(GDMA_REG_CTRL, GDMA_CTRL_ID_RESTART);
  zvkernel_conv_fix8b_only(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12], w[13],
                           w[14], w[15], w[16], w[17], w[18], w[19], w[20], w[21], w[22], w[23], w[25], w[26], w[27],
                           w[28], w[29], w[30], w[31], w[32], w[33], w[34], w[35], w[36], w[37], &node);
  profile_time_data_t *record = profile_time_begin_wait_node(&node);
  zvkernel_poll_all_engine_done_internal(&node);
  profile_time_end(record);
  return 0;
}
