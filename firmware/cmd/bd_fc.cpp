// Matrix generators: the fully connected command (float32, 8-bit and
// constant-left forms), the image sum and the parallel decompress command.
#include "cmd/bd_fc.h"

#include "runtime/assert.h"
#include "cmd/bd_conv.h"

#define W1_FC 0x1400C040u      // task 2, bits 14-15 = 3 (minus 0x4000 without a bias)
#define W1_FC_FIX 0x0400C040u
#define W2_FC 0x10002496u
#define W2_FC_FIX 0x10003000u
#define W2_FC_CONST_L 0x1000A496u  // operand 1 (L) a constant
#define W1_DECOMPRESS 0x14008180u  // task 12
#define W2_DECOMPRESS_FLOAT 0x10002496u
#define W2_DECOMPRESS_INT 0x10002406u

// The words every matrix command shares: window of stride 1, the three shapes
// (Y: 1 x R_sec_c x 1 x R_sec_w; L: rows as stored x L_sec_c x 1 x L_sec_w; the
// second operand's width the filled part of L's last section) and addresses.
static void fc_compose(bd_desc_t *d, u32 word1, u32 word2, int using_bias, int L_trans,
                       int result_add, u32 L, u32 R, u32 Y, u32 bias, int L_sec_w, int L_sec_c,
                       int R_sec_w, int R_sec_c, int Y_rows, int L_cols) {
  bd_desc_init(d, 1, 29);
  d->w[1] = (word1 & ~(using_bias ? 0u : 0x4000u)) | (u32)(result_add != 0) << 27 |
            (u32)(L_trans != 0) << 29;
  d->w[2] = word2;
  d->w[3] = 0x40000000u;
  d->w[4] = 0xffffffc4u;
  const int k = L_trans ? Y_rows : L_cols;
  const int t = L_sec_w > 0 && k % L_sec_w != 0 ? k % L_sec_w : L_sec_w;
  bd_desc_shape(d, 1, (u32)R_sec_c, 1, (u32)R_sec_w);
  bd_desc_set(d, BD_OPD0_N, (u32)(L_trans ? L_cols : Y_rows));
  bd_desc_set(d, BD_OPD0_C, (u32)L_sec_c);
  bd_desc_set(d, BD_OPD0_H, 1);
  bd_desc_set(d, BD_OPD0_W, (u32)L_sec_w);
  bd_desc_set(d, BD_OPD1_N, 1);
  bd_desc_set(d, BD_OPD1_C, 1);
  bd_desc_set(d, BD_OPD1_H, 1);
  bd_desc_set(d, BD_OPD1_W, (u32)t);
  d->w[17] = 0;
  d->w[CONV_WORD_OUTPUT] = Y;
  d->w[CONV_WORD_INPUT] = L;
  d->w[CONV_WORD_WEIGHT] = R;
  d->w[CONV_WORD_BIAS] = using_bias ? bias : 0;
}

void atomic_fc_gen_cmd(int using_bias, int L_trans, int result_add, u32 L_start_addr,
                       u32 R_start_addr, u32 Y_start_addr, u32 bias_start_addr, int L_sec_w,
                       int L_sec_c, int R_sec_w, int R_sec_c, int Y_rows, int L_cols,
                       cmd_id_node_t *node) {
  ASSERT_FS(L_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(Y_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (using_bias) ASSERT_FS(bias_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  bd_desc_t d;
  fc_compose(&d, W1_FC, W2_FC, using_bias, L_trans, result_add, L_start_addr, R_start_addr,
             Y_start_addr, bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols);
  bd_desc_issue(&d, node);
}

void atomic_fc_fix8b_gen_cmd(int using_bias, int L_trans, int result_add, u32 L_start_addr,
                             u32 R_start_addr, u32 Y_start_addr, u32 bias_start_addr, int L_sec_w,
                             int L_sec_c, int R_sec_w, int R_sec_c, int Y_rows, int L_cols,
                             int bias_param, int mode21, int rshift, int out_mode, int opd0_sign,
                             int opd1_sign, int opd2_sign, int prec3, cmd_id_node_t *node) {
  ASSERT_FS(L_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(Y_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (using_bias) ASSERT_FS(bias_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  bd_desc_t d;
  fc_compose(&d, W1_FC_FIX,
             W2_FC_FIX | (u32)(opd0_sign != 0) | (u32)(opd1_sign != 0) << 1 |
                 (u32)(opd2_sign != 0) << 2 | ((u32)prec3 & 7u) << 3,
             using_bias, L_trans, result_add, L_start_addr, R_start_addr, Y_start_addr,
             bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols);
  bd_desc_set(&d, CONV_RSHIFT, (u32)rshift);
  bd_desc_set(&d, CONV_LSHIFT, (u32)mode21);
  d.w[1] |= ((u32)out_mode & 1u) << 28;
  d.w[17] = (u32)(bias_param != 0) << 6;
  bd_desc_issue(&d, node);
}

void atomic_fc_const_L_gen_cmd(int using_bias, int L_trans, int result_add, u32 R_start_addr,
                               u32 Y_start_addr, u32 bias_start_addr, int L_sec_w, int L_sec_c,
                               int R_sec_w, int R_sec_c, int Y_rows, int L_cols, u32 L_const,
                               cmd_id_node_t *node) {
  ASSERT_FS(Y_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (using_bias) ASSERT_FS(bias_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  bd_desc_t d;
  fc_compose(&d, W1_FC, W2_FC_CONST_L, using_bias, L_trans, result_add, L_const, R_start_addr,
             Y_start_addr, bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols);
  bd_desc_issue(&d, node);
}

void atomic_img_sum_gen_cmd(u32 input_addr, u32 output_addr, int c, int lanes, int h, int w,
                            int result_add, cmd_id_node_t *node) {
  atomic_fc_const_L_gen_cmd(0, 0, result_add, input_addr, output_addr, 0, 1, c,
                            (int)ALIGN((u32)h * (u32)w, 32u), lanes, 1, c, 0x3f800000u, node);
}

void atomic_parallel_decompress_gen_cmd(u32 src_addr, u32 table_addr, u32 dst_addr, int len,
                                        int mode, cmd_id_node_t *node) {
  bd_desc_t d;
  bd_desc_init(&d, 1, 29);
  bd_desc_undefine(&d, CONV_WORD_BIAS);
  d.w[1] = W1_DECOMPRESS;
  d.w[2] = mode == 1 ? W2_DECOMPRESS_FLOAT : W2_DECOMPRESS_INT;
  d.w[3] = 0x40000000u;
  d.w[4] = 0xffffffc4u;
  bd_desc_shape(&d, 1, 1, 1, 1);
  bd_desc_set(&d, BD_OPD0_W, (u32)len);
  d.w[17] = 0;
  d.w[CONV_WORD_OUTPUT] = dst_addr;
  d.w[CONV_WORD_INPUT] = src_addr;
  d.w[CONV_WORD_WEIGHT] = table_addr;
  bd_desc_issue(&d, node);
}
