// The power-test kernel: keeps the tensor engine's convolution unit busy with
// one 8-bit convolution command issued 60 times over operands that already lie
// in local memory. Built as its own relocatable object and linked into the
// firmware; the dispatcher calls its entry for the kernel API id.
#pragma once

#include "cmd/cmd_framework.h"

// Times the loop issues its command.
#define HEATPROBE_REPEAT 60

// Fixed local operands (tagged): output and weights share one lane window.
#define HEATPROBE_INPUT 0x08000000u
#define HEATPROBE_OUTPUT 0x08030000u
#define HEATPROBE_WEIGHT 0x08060000u
#define HEATPROBE_BIAS 0x08070000u

// The message payload: 38 little-endian words, read one by one at any
// alignment. Words 0-7 and 25-28 are passed through and not read; 24 is not
// read at all.
#define HEATPROBE_WORDS 38
enum {
  HP_N = 8,           // batch; 0: nothing to do
  HP_C = 9,           // input channels, all groups
  HP_H = 10,
  HP_W = 11,
  HP_GROUPS = 12,
  HP_OC = 13,         // output channels, all groups
  HP_KH = 14,
  HP_KW = 15,
  HP_DH = 16,
  HP_DW = 17,
  HP_PAD_H = 18,      // top and bottom
  HP_PAD_W = 19,      // left and right
  HP_STRIDE_H = 20,
  HP_STRIDE_W = 21,
  HP_USING_BIAS = 22, // passed to the command unchanged
  HP_UNREAD_23 = 23,  // passed to the command's unread word
  HP_OUT_MODE = 29,
  HP_WEIGHT_LAYOUT = 30,  // 0: kernel plane innermost; other: channels by four
  HP_INS_H = 31,
  HP_INS_W = 32,
  HP_RSHIFT = 33,     // 33-37: the command's shift, three signs, input mode
};

extern "C" {

// The entry: returns 0 (the dispatcher ignores it).
int zvkernel_func(const char *param);

// The command loop: words 0-23 and 25-37 in record order, then the node.
void zvkernel_conv_fix8b_only(u32 w0, u32 w1, u32 w2, u32 w3, u32 w4, u32 w5, u32 w6, u32 w7,
                              u32 input_n, u32 input_c, u32 input_h, u32 input_w, u32 groups,
                              u32 output_c, u32 kh, u32 kw, u32 dh, u32 dw, u32 pad_h, u32 pad_w,
                              u32 stride_h, u32 stride_w, u32 w22, u32 w23, u32 w25, u32 w26,
                              u32 w27, u32 w28, u32 w29, u32 weight_layout, u32 ins_h, u32 ins_w,
                              u32 w33, u32 w34, u32 w35, u32 w36, u32 w37, cmd_id_node_t *node);

// The kernel's own copy of the 8-bit kernel-stride convolution generator (same
// arguments, checks and descriptor).
void zvkernel_atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
    int stride_h, int stride_w, int using_bias, int kernel_flag, int unused, int out_mode,
    int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode,
    cmd_id_node_t *node);
}
