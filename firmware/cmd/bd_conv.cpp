// Convolution-family generators: float32 convolutions, the fixed-point
// convolutions, Winograd, depthwise and the channel sum. Each checks its
// arguments, composes the 32 words from the default image and issues them by
// the direct-write protocol (bd_desc.h).
#include "cmd/bd_conv.h"

#include "runtime/assert.h"

// Header fields of the forms (every field of words 1 and 2 each form defines;
// the operand count, flags, shifts and signs are filled in per command).
static const conv_header_t FLOAT_HEADER = {0, 0, 2, 0, 0, 0, 1, 0, 0, {0, 1, 1}, {2, 2, 2, 2},
                                           0, 0, 0, 0, 1, 2};
static const conv_header_t FIX_HEADER = {0, 0, 2, 0, 0, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 0, 3},
                                         0, 0, 0, 0, 0, 1};
static const conv_header_t WINOGRAD_FIX_HEADER = {0, 0, 2, 0, 0, 0, 0, 1, 0, {0, 1, 0}, {0, 0, 0, 3},
                                                  0, 0, 0, 0, 1, 2};
static const conv_header_t DEPTHWISE_HEADER = {BD_TASK_POOL, 1, 2, 0, 0, 0, 1, 0, 0, {0, 1, 1}, {2, 2, 2, 2},
                                               0, 0, 0, 0, 0, 2};
static const conv_header_t DEPTHWISE_FIX_HEADER = {BD_TASK_POOL, 1, 2, 0, 0, 0, 0, 0, 0, {0, 0, 0},
                                                   {3, 0, 0, 3}, 0, 0, 0, 3, 0, 2};

// 3 operands with a bias, 2 without. Any non-zero bias flag counts as a bias
// (the bias-stride callers pass their bias mode, 2).
static u32 operands(int using_bias) { return using_bias != 0 ? 3u : 2u; }
static u32 flag(int value) { return value != 0 ? 1u : 0u; }

// The header and window fields, in the order they are set.
static constexpr cmd_field_id_t kHeaderFields[] = {
    BD_TASK,          BD_SUBOP,        BD_OPD_NUM,      BD_RSHIFT,          BD_SHIFT2,           BD_RES_ADD,
    CONV_OUT_MODE,    CONV_WINOGRAD,   CONV_KERNEL_FLAG, BD_OPD0_SIGN,      BD_OPD1_SIGN,        BD_OPD2_SIGN,
    BD_RES_PREC,      BD_OPD0_PREC,    BD_OPD1_PREC,    BD_OPD2_PREC,       BD_OPD0_CONST,       BD_OPD1_CONST,
    BD_RES_STRIDE_MODE, BD_OPD0_STRIDE_MODE, BD_OPD1_STRIDE_MODE, CONV_RESULT_PREC};
static constexpr cmd_field_id_t kWindowFields[] = {CONV_INS_W,    CONV_INS_H,      CONV_DW,        CONV_DH,
                                                   CONV_PAD_TOP,  CONV_PAD_BOTTOM, CONV_PAD_LEFT,  CONV_PAD_RIGHT,
                                                   CONV_STRIDE_W, CONV_STRIDE_H};

void conv_desc_header(bd_desc_t *d, const conv_header_t *h) {
  const u32 values[] = {h->task,        h->subop,       h->operands,    h->rshift,      h->lshift,
                        h->res_add,     h->out_mode,    h->winograd,    h->kernel_flag, h->sign[0],
                        h->sign[1],     h->sign[2],     h->prec[0],     h->prec[1],     h->prec[2],
                        h->prec[3],     h->input_const, h->weight_const, h->output_mode, h->input_mode,
                        h->weight_mode, h->result_prec};
  cmd_desc_set_fields(d->w, kHeaderFields, values);
}

void conv_desc_window(bd_desc_t *d, const conv_cmd_geom_t *g) {
  const u32 values[] = {(u32)g->ins_w,  (u32)g->ins_h,  (u32)g->dw_minus1, (u32)g->dh_minus1, (u32)g->pad[0],
                        (u32)g->pad[1], (u32)g->pad[2], (u32)g->pad[3],    (u32)g->stride_w,  (u32)g->stride_h};
  cmd_desc_set_fields(d->w, kWindowFields, values);
}

static void conv_desc_shapes(bd_desc_t *d, const conv_cmd_geom_t *g) {
  bd_desc_shape(d, (u32)g->n, (u32)g->oc, (u32)g->oh, (u32)g->ow);
  bd_desc_set(d, BD_OPD0_N, 1);
  bd_desc_set(d, BD_OPD0_C, (u32)g->ic);
  bd_desc_set(d, BD_OPD0_H, (u32)g->ih);
  bd_desc_set(d, BD_OPD0_W, (u32)g->iw);
  bd_desc_set(d, BD_OPD1_N, 1);
  bd_desc_set(d, BD_OPD1_C, 1);
  bd_desc_set(d, BD_OPD1_H, (u32)g->kh);
  bd_desc_set(d, BD_OPD1_W, (u32)g->kw);
}

static void conv_addresses(bd_desc_t *d, u32 ofmap, u32 ifmap, u32 weight, u32 bias) {
  bd_desc_word(d, BD_WORD_RES, ofmap);
  bd_desc_word(d, BD_WORD_OPD0, ifmap);
  bd_desc_word(d, BD_WORD_OPD1, weight);
  bd_desc_word(d, BD_WORD_OPD2, bias);
}

void conv_desc_compose(bd_desc_t *d, const conv_header_t *h, const conv_cmd_geom_t *g) {
  bd_desc_init(d, 1, 29);
  conv_desc_header(d, h);
  conv_desc_window(d, g);
  conv_desc_shapes(d, g);
  conv_addresses(d, g->ofmap, g->ifmap, g->weight, g->bias);
}

static void input_strides(bd_desc_t *d, int s0, int s1, int h, int w) {
  bd_desc_set(d, BD_OPD0_NSTRIDE, (u32)s0);
  bd_desc_set(d, BD_OPD0_CSTRIDE, (u32)s1);
  bd_desc_word(d, BD_WORD_OPD0_HSTRIDE, (u32)h);
  bd_desc_word(d, BD_WORD_OPD0_WSTRIDE, (u32)w);
}

static void kernel_strides(bd_desc_t *d, int s0, int s1, int h, int w) {
  bd_desc_set(d, BD_OPD1_NSTRIDE, (u32)s0);
  bd_desc_set(d, BD_OPD1_CSTRIDE, (u32)s1);
  bd_desc_word(d, BD_WORD_OPD1_HSTRIDE, (u32)h);
  bd_desc_word(d, BD_WORD_OPD1_WSTRIDE, (u32)w);
}

// The bias operand's batch and channel strides and its words 28-29.
static void bias_strides(bd_desc_t *d, int s0, int s1, int h, int w) {
  bd_desc_set(d, BD_OPD2_NSTRIDE, (u32)s0);
  bd_desc_set(d, BD_OPD2_CSTRIDE, (u32)s1);
  bd_desc_word(d, BD_WORD_OPD2_HSTRIDE, (u32)h);
  bd_desc_word(d, BD_WORD_OPD2_WSTRIDE, (u32)w);
}

// ---- Float32 convolution ----

// The parameters the float forms share; the checks are the callers'.
typedef struct {
  u32 ifmap, ofmap, weight, bias;
  int n, ic, ih, iw, ins_h, ins_w, oc, oh, ow, weight_is_const;
  u32 weight_const;
  int kh, kw, dh, dw, pad[4], stride_h, stride_w, using_bias, kernel_flag, result_add;
} float_conv_t;

// The float forms differ in their input and weight modes and in the strides
// their generators add.
static void float_conv(bd_desc_t *d, const float_conv_t *a, u32 input_mode, u32 weight_mode) {
  conv_header_t h = FLOAT_HEADER;
  h.operands = operands(a->using_bias);
  h.res_add = flag(a->result_add);
  h.kernel_flag = flag(a->kernel_flag);
  h.weight_const = flag(a->weight_is_const);
  h.input_mode = input_mode;
  h.weight_mode = weight_mode;
  const conv_cmd_geom_t g = {a->ifmap, a->ofmap, a->weight_is_const ? a->weight_const : a->weight,
                             a->using_bias ? a->bias : 0, a->n, a->ic, a->ih, a->iw, a->oc, a->oh, a->ow, a->kh,
                             a->kw, a->ins_h, a->ins_w, a->dh - 1, a->dw - 1,
                             {a->pad[0], a->pad[1], a->pad[2], a->pad[3]}, a->stride_h, a->stride_w};
  conv_desc_compose(d, &h, &g);
}

#define FLOAT_CONV_ARGS()                                                                            \
  const float_conv_t a = {ifmap_addr, ofmap_addr, weight_addr, bias_addr, input_n, input_c, input_h,  \
                          input_w, ins_h, ins_w, output_c, output_h, output_w, weight_is_const,        \
                          weight_const, kh, kw, dh, dw, {pad_h_top, pad_h_bottom, pad_w_l, pad_w_r},   \
                          stride_h, stride_w, using_bias, kernel_flag, result_add}

#define FLOAT_CONV_CHECKS(check_ifmap)                                                          \
  do {                                                                                          \
    if (check_ifmap) ASSERT_FS(ifmap_addr % ((1<<(5)) * sizeof(float)) == 0);                  \
    ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(float)) == 0);                                   \
    if (!weight_is_const) ASSERT_FS((ofmap_addr / (1<<19)) == (weight_addr / (1<<19)));        \
    ASSERT_FS(dh > 0);                                                                          \
    ASSERT_FS(dw > 0);                                                                          \
    ASSERT_FS((input_h - 1) * (ins_h + 1) + 1 + pad_h_top + pad_h_bottom <= 2047);             \
    ASSERT_FS((input_w - 1) * (ins_w + 1) + 1 + pad_w_l + pad_w_r <= 2047);                    \
    ASSERT_FS(output_h <= 2047 && output_w <= 2047);                                           \
  } while (0)

void atomic_conv_neuron_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr,
                                int input_n, int input_c, int input_h, int input_w, int ins_h,
                                int ins_w, int output_c, int output_h, int output_w,
                                int weight_is_const, u32 weight_const, int kh, int kw, int dh,
                                int dw, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
                                int stride_h, int stride_w, int using_bias, int kernel_flag,
                                int result_add, cmd_id_node_t *node) {
  FLOAT_CONV_CHECKS(1);
  FLOAT_CONV_ARGS();
  bd_desc_t d;
  float_conv(&d, &a, BD_STRIDE_DEFAULT, 1);
  bd_desc_issue(&d, node);
}

void atomic_conv_neuron_kernel_stride_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int ins_h, int ins_w, int output_c, int output_h, int output_w,
    int weight_is_const, u32 weight_const, int kh, int kw, int dh, int dw, int kstride0,
    int kstride1, int opd_param24, int opd_param25, int pad_h_top, int pad_h_bottom, int pad_w_l,
    int pad_w_r, int stride_h, int stride_w, int using_bias, int kernel_flag, int result_add,
    cmd_id_node_t *node) {
  FLOAT_CONV_CHECKS(1);
  FLOAT_CONV_ARGS();
  bd_desc_t d;
  float_conv(&d, &a, BD_STRIDE_DEFAULT, BD_STRIDE_GIVEN);
  // The aligned input needs no strides; its words 24-25 carry the kernel's row
  // and column strides as well, and the kernel's own words 26-27 hold them
  // where every other form puts them.
  kernel_strides(&d, kstride0, kstride1, opd_param24, opd_param25);
  bd_desc_word(&d, BD_WORD_OPD0_HSTRIDE, (u32)opd_param24);
  bd_desc_word(&d, BD_WORD_OPD0_WSTRIDE, (u32)opd_param25);
  bd_desc_issue(&d, node);
}

void atomic_conv_neuron_unalign_kstride_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh, int dw, int kstride0, int kstride1, int opd_param26,
    int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int result_add, cmd_id_node_t *node) {
  FLOAT_CONV_CHECKS(0);
  FLOAT_CONV_ARGS();
  bd_desc_t d;
  float_conv(&d, &a, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN);
  input_strides(&d, istride0, istride1, opd_param24, opd_param25);
  kernel_strides(&d, kstride0, kstride1, opd_param26, opd_param27);
  bd_desc_issue(&d, node);
}

// ---- Fixed-point convolution ----

void fix_conv_compose(bd_desc_t *d, const fix_conv_t *a) {
  conv_header_t h = FIX_HEADER;
  h.operands = operands(a->using_bias);
  h.rshift = (u32)a->rshift;
  h.out_mode = (u32)a->out_mode;
  h.kernel_flag = flag(a->kernel_flag);
  for (int i = 0; i < 3; i++) h.sign[i] = flag(a->sign[i]);
  h.weight_const = flag(a->weight_is_const);
  h.input_mode = (u32)a->input_mode;
  h.weight_mode = (u32)a->weight_mode;
  // A constant weight is the 8-bit value sign-extended to the word.
  const u32 weight = a->weight_is_const ? (u32)(i32)(s8)(a->weight_const & 0xffu) : a->weight;
  const conv_cmd_geom_t g = {a->ifmap, a->ofmap, weight, a->using_bias ? a->bias : 0, a->n, a->ic, a->ih, a->iw,
                             a->oc, a->oh, a->ow, a->kh, a->kw, a->ins_h, a->ins_w, a->dh_minus1, a->dw_minus1,
                             {a->pad[0], a->pad[1], a->pad[2], a->pad[3]}, a->stride_h, a->stride_w};
  conv_desc_compose(d, &h, &g);
  input_strides(d, a->istride[0], a->istride[1], a->istride[2], a->istride[3]);
  kernel_strides(d, a->kstride[0], a->kstride[1], a->kstride[2], a->kstride[3]);
}

#define FIX_CONV_CHECKS()                                                                       \
  do {                                                                                          \
    ASSERT_FS(ifmap_addr % (sizeof(int)) == 0);                                                 \
    ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(int)) == 0);                                     \
    ASSERT_FS((ofmap_addr / (1<<19)) == (weight_addr / (1<<19)));                              \
    ASSERT_FS(weight_addr % (sizeof(int)) == 0);                                                \
    ASSERT_FS(bias_addr % (sizeof(short)) == 0);                                                \
    ASSERT_FS(input_w < 4096 && output_w < 4096);                                              \
  } while (0)

#define FIX_CONV_ARGS()                                                                         \
  const fix_conv_t a = {ifmap_addr,  ofmap_addr,   weight_addr, bias_addr,  input_n,            \
                        input_c,     input_h,      input_w,     {istride0, istride1, opd_param24, \
                                                                 opd_param25},                  \
                        ins_h,       ins_w,        output_c,    output_h,   output_w,           \
                        weight_is_const, weight_const, kh,      kw,         dh_minus1,          \
                        dw_minus1,   {kstride0, kstride1, opd_param26, opd_param27},            \
                        {pad_h_top, pad_h_bottom, pad_w_l, pad_w_r},  stride_h,   stride_w,     \
                        using_bias,  kernel_flag,  out_mode,    rshift,     {opd0_sign, opd1_sign, \
                                                                             opd2_sign},        \
                        input_mode,  weight_mode}

void atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r,
    int stride_h, int stride_w, int using_bias, int kernel_flag, int unused, int out_mode,
    int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode,
    cmd_id_node_t *node) {
  (void)unused;
  FIX_CONV_CHECKS();
  FIX_CONV_ARGS();
  bd_desc_t d;
  fix_conv_compose(&d, &a);
  bd_desc_issue(&d, node);
}

void atomic_conv_neuron_kernel_stride_bias_stride_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int bstride0, int bstride1, int opd_param28,
    int opd_param29, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int unused, int out_mode, int rshift,
    int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode, int prec,
    cmd_id_node_t *node) {
  (void)unused;
  FIX_CONV_CHECKS();
  FIX_CONV_ARGS();
  bd_desc_t d;
  fix_conv_compose(&d, &a);
  bd_desc_set(&d, CONV_RESULT_PREC, (u32)prec);
  bias_strides(&d, bstride0, bstride1, opd_param28, opd_param29);
  bd_desc_issue(&d, node);
}

// The 16-bit result: operand 0's precision code, its strides given.
static void fix16_output(bd_desc_t *d) {
  bd_desc_set(d, BD_RES_PREC, BD_PREC_INT16);
  bd_desc_word(d, BD_WORD_RES_HSTRIDE, 2);
  bd_desc_word(d, BD_WORD_RES_WSTRIDE, 2);
}

void atomic_conv_neuron_kernel_stride_fix16b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int ostride0, int pad_h_top, int pad_h_bottom, int pad_w_l,
    int pad_w_r, int stride_h, int stride_w, int using_bias, int kernel_flag, int unused,
    int out_mode, int rshift, int opd0_sign, int opd1_sign, int opd2_sign, int input_mode,
    int weight_mode, int prec, cmd_id_node_t *node) {
  (void)unused;
  FIX_CONV_CHECKS();
  FIX_CONV_ARGS();
  bd_desc_t d;
  fix_conv_compose(&d, &a);
  fix16_output(&d);
  bd_desc_set(&d, BD_RES_STRIDE_MODE, (u32)prec);
  bd_desc_set(&d, BD_RES_NSTRIDE, (u32)ostride0);
  bd_desc_issue(&d, node);
}

void atomic_conv_neuron_kernel_stride_bias_stride_fix16b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int weight_is_const,
    u32 weight_const, int kh, int kw, int dh_minus1, int dw_minus1, int kstride0, int kstride1,
    int opd_param26, int opd_param27, int bstride0, int bstride1, int opd_param28,
    int opd_param29, int pad_h_top, int pad_h_bottom, int pad_w_l, int pad_w_r, int stride_h,
    int stride_w, int using_bias, int kernel_flag, int unused, int out_mode, int rshift,
    int opd0_sign, int opd1_sign, int opd2_sign, int input_mode, int weight_mode, int prec,
    cmd_id_node_t *node) {
  (void)unused;
  FIX_CONV_CHECKS();
  FIX_CONV_ARGS();
  bd_desc_t d;
  fix_conv_compose(&d, &a);
  fix16_output(&d);
  bd_desc_set(&d, CONV_RESULT_PREC, (u32)prec);
  bias_strides(&d, bstride0, bstride1, opd_param28, opd_param29);
  bd_desc_issue(&d, node);
}

// ---- Winograd ----

// Winograd F(2x2, 3x3): stride 1, no dilation, a 4 x 4 transformed kernel.
#define WINOGRAD_GEOM()                                                                                \
  {ifmap_addr, ofmap_addr, weight_addr, using_bias ? bias_addr : 0, input_n, input_c, input_h, input_w, \
   output_c,   output_h,   output_w,    4, 4, ins_h, ins_w, 0, 0, {pad_h_top, pad_h_bottom, pad_w_l, pad_w_r}, 1, 1}

static conv_header_t winograd_float_header(int using_bias, int result_add, u32 input_mode) {
  conv_header_t h = FLOAT_HEADER;
  h.operands = operands(using_bias);
  h.winograd = 1;
  h.res_add = flag(result_add);
  h.input_mode = input_mode;
  return h;
}

void atomic_winograd_neuron_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr,
                                    u32 bias_addr, int input_n, int input_c, int input_h,
                                    int input_w, int ins_h, int ins_w, int output_c, int output_h,
                                    int output_w, int pad_h_top, int pad_h_bottom, int pad_w_l,
                                    int pad_w_r, int using_bias, int result_add,
                                    cmd_id_node_t *node) {
  ASSERT_FS(ifmap_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS(weight_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS((ofmap_addr / (1<<19)) == (weight_addr / (1<<19)));
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  ASSERT_FS(output_w >= 4);
  bd_desc_t d;
  const conv_header_t h = winograd_float_header(using_bias, result_add, BD_STRIDE_DEFAULT);
  const conv_cmd_geom_t g = WINOGRAD_GEOM();
  conv_desc_compose(&d, &h, &g);
  bd_desc_issue(&d, node);
}

void atomic_winograd_neuron_unaligned_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int pad_h_top,
    int pad_h_bottom, int pad_w_l, int pad_w_r, int using_bias, int result_add,
    cmd_id_node_t *node) {
  ASSERT_FS(weight_addr % ((1<<(5)) * sizeof(float)) == 0);
  ASSERT_FS((ofmap_addr / (1<<19)) == (weight_addr / (1<<19)));
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  bd_desc_t d;
  const conv_header_t h = winograd_float_header(using_bias, result_add, BD_STRIDE_GIVEN);
  const conv_cmd_geom_t g = WINOGRAD_GEOM();
  conv_desc_compose(&d, &h, &g);
  input_strides(&d, istride0, istride1, opd_param24, opd_param25);
  bd_desc_issue(&d, node);
}

void atomic_winograd_neuron_fix8b_gen_cmd(
    u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr, int input_n, int input_c,
    int input_h, int input_w, int istride0, int istride1, int opd_param24, int opd_param25,
    int ins_h, int ins_w, int output_c, int output_h, int output_w, int pad_h_top,
    int pad_h_bottom, int pad_w_l, int pad_w_r, int using_bias, int result_add, int out_mode,
    int rshift, int opd0_sign, int opd2_sign, int input_mode, cmd_id_node_t *node) {
  if (input_mode)
    ASSERT_FS(ifmap_addr%4 == 0);
  else
    ASSERT_FS(ifmap_addr%((1<<(5)) * 4) == 0);
  ASSERT_FS(ofmap_addr % ((1<<(5)) * 4) == 0);
  ASSERT_FS(weight_addr % ((1<<(5)) * 4) == 0);
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  ASSERT_FS(output_h >= 4);
  ASSERT_FS(output_w >= 4);
  bd_desc_t d;
  conv_header_t h = WINOGRAD_FIX_HEADER;
  h.operands = operands(using_bias);
  h.rshift = (u32)rshift;
  h.res_add = flag(result_add);
  h.out_mode = (u32)out_mode;
  h.sign[0] = flag(opd0_sign);
  h.sign[2] = flag(opd2_sign);
  h.input_mode = (u32)input_mode;
  const conv_cmd_geom_t g = WINOGRAD_GEOM();
  conv_desc_compose(&d, &h, &g);
  input_strides(&d, istride0, istride1, opd_param24, opd_param25);
  bd_desc_issue(&d, node);
}

// ---- Depthwise ----

// Channel c of the output from channel c of the input: operand 0 (n, c, oh,
// ow), operand 1 (1, 1, ih, iw).
#define DEPTHWISE_GEOM(bias, dh, dw)                                                                        \
  {ifmap_addr, ofmap_addr, weight_addr, bias, input_n, 1, input_h, input_w, input_c, output_h, output_w, kh, kw, \
   ins0_h,     ins0_w,     (dh) - 1,    (dw) - 1, {pad_h_top, pad_h_bottom, pad_w_left, pad_w_right},           \
   stride_h,   stride_w}

#define DEPTHWISE_CHECKS()                                                                      \
  do {                                                                                          \
    ASSERT_FS(ifmap_addr % ((1<<(5)) * sizeof(float)) == 0);                                   \
    ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(float)) == 0);                                   \
    ASSERT_FS(weight_addr % (sizeof(float)) == 0);                                              \
    if (using_bias) ASSERT_FS(bias_addr % (sizeof(float)) == 0);                               \
    ASSERT_FS((input_h - 1) * (ins0_h + 1) + 1 + pad_h_top + pad_h_bottom < (1 << 11));        \
    ASSERT_FS((input_w - 1) * (ins0_w + 1) + 1 + pad_w_left + pad_w_right < (1 << 11));        \
    ASSERT_FS(input_h < (1 << 11));                                                             \
    ASSERT_FS(input_w < (1 << 11));                                                             \
    ASSERT_FS(output_h < (1 << 11));                                                            \
    ASSERT_FS(output_w < (1 << 11));                                                            \
  } while (0)

void atomic_depthwise_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr, u32 bias_addr,
                              int input_n, int input_c, int input_h, int input_w, int output_h,
                              int output_w, int kh, int kw, int pad_h_top, int pad_h_bottom,
                              int pad_w_left, int pad_w_right, int stride_h, int stride_w,
                              int ins0_w, int ins0_h, int using_bias, cmd_id_node_t *node) {
  DEPTHWISE_CHECKS();
  atomic_depthwise_with_dilation_gen_cmd(ifmap_addr, ofmap_addr, weight_addr, bias_addr, input_n,
                                         input_c, input_h, input_w, output_h, output_w, kh, kw,
                                         pad_h_top, pad_h_bottom, pad_w_left, pad_w_right, 1, 1,
                                         stride_h, stride_w, ins0_w, ins0_h, using_bias, node);
}

void atomic_depthwise_with_dilation_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, u32 weight_addr,
                                            u32 bias_addr, int input_n, int input_c, int input_h,
                                            int input_w, int output_h, int output_w, int kh,
                                            int kw, int pad_h_top, int pad_h_bottom,
                                            int pad_w_left, int pad_w_right, int dh, int dw,
                                            int stride_h, int stride_w, int ins0_w, int ins0_h,
                                            int using_bias, cmd_id_node_t *node) {
  DEPTHWISE_CHECKS();
  bd_desc_t d;
  conv_header_t h = DEPTHWISE_HEADER;
  h.operands = operands(using_bias);
  const conv_cmd_geom_t g = DEPTHWISE_GEOM(using_bias ? bias_addr : 0, dh, dw);
  conv_desc_compose(&d, &h, &g);
  bd_desc_issue(&d, node);
}

void atomic_depthwise_fix16b_gen_cmd(u32 ifmap_addr, u32 weight_addr, u32 ofmap_addr,
                                     u32 bias_addr, int input_n, int input_c, int input_h,
                                     int input_w, int output_h, int output_w, int kh, int kw,
                                     int pad_h_top, int pad_h_bottom, int pad_w_left,
                                     int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                     int ins0_h, int is_avg_pooling, int rshift, int using_bias,
                                     int unused0, int opd0_sign, int opd1_sign, int opd2_sign,
                                     int unused1, int out_mode, cmd_id_node_t *node) {
  (void)unused0;
  (void)unused1;
  ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(int)) == 0);
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  ASSERT_FS(is_avg_pooling == 2);
  bd_desc_t d;
  conv_header_t h = DEPTHWISE_FIX_HEADER;
  h.operands = operands(using_bias);
  h.rshift = (u32)rshift;
  h.out_mode = (u32)out_mode;
  h.sign[0] = flag(opd0_sign);
  h.sign[1] = flag(opd1_sign);
  h.sign[2] = flag(opd2_sign);
  const conv_cmd_geom_t g = DEPTHWISE_GEOM(bias_addr, 1, 1);
  conv_desc_compose(&d, &h, &g);
  bd_desc_issue(&d, node);
}

// ---- Channel sum ----

void tensor_sumc_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int n, int c, int h, int w,
                         cmd_id_node_t *node) {
  const u32 one = 0x3f800000u;
  atomic_conv_neuron_gen_cmd(ifmap_addr, ofmap_addr, 0, 0, n, c, h, w, 0, 0, 1, h, w, 1, one, 1,
                             1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
  atomic_conv_neuron_gen_cmd(ifmap_addr, ofmap_addr, 0, 0, n, 1, h, w, 0, 0, c, h, w, 1, one, 1,
                             1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, node);
}
