// Matrix generators: the fully connected command (float32, 8-bit and
// constant-left forms), the image sum and the parallel decompress command.
#include "cmd/bd_fc.h"

#include "runtime/assert.h"
#include "cmd/bd_conv.h"
#include "cmd/local_mem.h"

// Header fields of the float and 8-bit matrix products (task 2; the operand
// count, flags, shifts and signs are filled in per command).
static const conv_header_t FC_HEADER = {BD_TASK_FC, 0, 3, 0, 0, 0, 1, 0, 0, {0, 1, 1}, {2, 2, 2, 2},
                                        0, 0, 0, 0, 0, 2};
static const conv_header_t FC_FIX_HEADER = {BD_TASK_FC, 0, 3, 0, 0, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 0, 3},
                                            0, 0, 0, 0, 0, 2};

// The window of a matrix product: stride 1, nothing else.
static const conv_cmd_geom_t UNIT_WINDOW = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {0, 0, 0, 0}, 1, 1};

// The parameters of one matrix product.
typedef struct {
  int using_bias, L_trans, result_add;
  u32 L, R, Y, bias;
  int L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols;
} fc_cmd_t;

// The words every matrix command shares: window of stride 1, the three shapes
// (Y: 1 x R_sec_c x 1 x R_sec_w; L: rows as stored x L_sec_c x 1 x L_sec_w; the
// second operand's width the filled part of L's last section) and addresses.
static void fc_compose(bd_desc_t *d, conv_header_t h, const fc_cmd_t *a) {
  bd_desc_init(d, 1, 29);
  h.operands = a->using_bias ? 3 : 2;
  h.res_add = a->result_add != 0;
  const u32 relu = h.out_mode;
  h.out_mode = 0;
  conv_desc_header(d, &h);
  bd_desc_set(d, FC_RELU, relu);
  bd_desc_set(d, FC_L_TRANS, a->L_trans != 0);
  conv_desc_window(d, &UNIT_WINDOW);
  const int k = a->L_trans ? a->Y_rows : a->L_cols;
  const int t = a->L_sec_w > 0 && k % a->L_sec_w != 0 ? k % a->L_sec_w : a->L_sec_w;
  bd_desc_shape(d, 1, (u32)a->R_sec_c, 1, (u32)a->R_sec_w);
  bd_desc_set(d, BD_OPD0_N, (u32)(a->L_trans ? a->L_cols : a->Y_rows));
  bd_desc_set(d, BD_OPD0_C, (u32)a->L_sec_c);
  bd_desc_set(d, BD_OPD0_H, 1);
  bd_desc_set(d, BD_OPD0_W, (u32)a->L_sec_w);
  bd_desc_set(d, BD_OPD1_N, 1);
  bd_desc_set(d, BD_OPD1_C, 1);
  bd_desc_set(d, BD_OPD1_H, 1);
  bd_desc_set(d, BD_OPD1_W, (u32)t);
  bd_desc_word(d, BD_WORD_RES, a->Y);
  bd_desc_word(d, BD_WORD_OPD0, a->L);
  bd_desc_word(d, BD_WORD_OPD1, a->R);
  bd_desc_word(d, BD_WORD_OPD2, a->using_bias ? a->bias : 0);
}

void atomic_fc_gen_cmd(int using_bias, int L_trans, int result_add, u32 L_start_addr,
                       u32 R_start_addr, u32 Y_start_addr, u32 bias_start_addr, int L_sec_w,
                       int L_sec_c, int R_sec_w, int R_sec_c, int Y_rows, int L_cols,
                       cmd_id_node_t *node) {
  ASSERT_FS(L_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(Y_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (using_bias) ASSERT_FS(bias_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  const fc_cmd_t a = {using_bias, L_trans, result_add, L_start_addr, R_start_addr, Y_start_addr,
                      bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols};
  bd_desc_t d;
  fc_compose(&d, FC_HEADER, &a);
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
  const fc_cmd_t a = {using_bias, L_trans, result_add, L_start_addr, R_start_addr, Y_start_addr,
                      bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols};
  conv_header_t h = FC_FIX_HEADER;
  h.rshift = (u32)rshift;
  h.lshift = (u32)mode21;
  h.out_mode = (u32)out_mode;
  h.sign[0] = opd0_sign != 0;
  h.sign[1] = opd1_sign != 0;
  h.sign[2] = opd2_sign != 0;
  h.prec[0] = (u32)prec3;
  bd_desc_t d;
  fc_compose(&d, h, &a);
  bd_desc_set(&d, BD_RES_SIGN, bias_param != 0);
  bd_desc_issue(&d, node);
}

void atomic_fc_const_L_gen_cmd(int using_bias, int L_trans, int result_add, u32 R_start_addr,
                               u32 Y_start_addr, u32 bias_start_addr, int L_sec_w, int L_sec_c,
                               int R_sec_w, int R_sec_c, int Y_rows, int L_cols, u32 L_const,
                               cmd_id_node_t *node) {
  ASSERT_FS(Y_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(R_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  if (using_bias) ASSERT_FS(bias_start_addr % ((1<<(5)) * sizeof(float)) == 0);
  const fc_cmd_t a = {using_bias, L_trans, result_add, L_const, R_start_addr, Y_start_addr,
                      bias_start_addr, L_sec_w, L_sec_c, R_sec_w, R_sec_c, Y_rows, L_cols};
  conv_header_t h = FC_HEADER;
  h.input_const = 1;
  bd_desc_t d;
  fc_compose(&d, h, &a);
  bd_desc_issue(&d, node);
}

void atomic_img_sum_gen_cmd(u32 input_addr, u32 output_addr, int c, int lanes, int h, int w,
                            int result_add, cmd_id_node_t *node) {
  atomic_fc_const_L_gen_cmd(0, 0, result_add, input_addr, output_addr, 0, 1, c,
                            (int)eu_plane((u32)h * (u32)w), lanes, 1, c, 0x3f800000u, node);
}

void atomic_parallel_decompress_gen_cmd(u32 src_addr, u32 table_addr, u32 dst_addr, int len,
                                        int mode, cmd_id_node_t *node) {
  // Task 12 over float or integer codes; operand 1 of width len, operand 2 the
  // table.
  conv_header_t h = {BD_TASK_DECOMPRESS, 0, 2, 0, 0, 0, 1, 0, 0, {0, 1, 1}, {2, 2, 2, 2},
                     0, 0, 0, 0, 0, 2};
  if (mode != 1) h.prec[0] = h.prec[1] = BD_PREC_INT8;
  bd_desc_t d;
  bd_desc_init(&d, 1, 29);
  bd_desc_undefine(&d, BD_WORD_OPD2);
  conv_desc_header(&d, &h);
  conv_desc_window(&d, &UNIT_WINDOW);
  bd_desc_shape(&d, 1, 1, 1, 1);
  bd_desc_set(&d, BD_OPD0_W, (u32)len);
  bd_desc_word(&d, BD_WORD_RES, dst_addr);
  bd_desc_word(&d, BD_WORD_OPD0, src_addr);
  bd_desc_word(&d, BD_WORD_OPD1, table_addr);
  bd_desc_issue(&d, node);
}
