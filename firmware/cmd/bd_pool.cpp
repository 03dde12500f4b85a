// Pooling generators: float32 max and average pooling (one command, and the
// wrappers that cut 4096 channels or more into groups of 4032 per batch item)
// and the 8-bit pooling command.
#include "cmd/bd_pool.h"

#include <math.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/bd_conv.h"
#include "cmd/local_mem.h"

// Header fields of the pooling commands (task 1; sub-operation 4 max, 1
// average and depthwise; the operand count is 1 for max, 2 for average).
static const conv_header_t MAX_POOL_HEADER = {BD_TASK_POOL, 4, 1, 0, 0, 0, 1, 0, 0, {0, 1, 1}, {2, 2, 2, 2},
                                              0, 0, 0, 0, 0, 2};
static const conv_header_t POOL_FIX_HEADER = {BD_TASK_POOL, 0, 0, 0, 0, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 0, 3},
                                              0, 0, 0, 0, 0, 2};

// One float pooling command, or the whole work of a splitting wrapper.
typedef struct {
  int avg;
  u32 scale;  // f32 bits (average only)
  u32 ifmap, ofmap;
  int n, c, ih, iw, oh, ow, kh, kw, pad[4], stride_h, stride_w, ins0_w, ins0_h;
} pool_cmd_t;

#define POOL_CMD(avg, scale)                                                                          \
  {avg,      scale,    ifmap_addr, ofmap_addr, input_n, input_c,                                      \
   input_h,  input_w,  output_h,   output_w,   kh,      kw,                                           \
   {pad_h_top, pad_h_bottom, pad_w_left, pad_w_right}, stride_h, stride_w, ins0_w, ins0_h}

// The checks of one float pooling command, in the generator's own frame.
#define FLOAT_POOL_CHECKS()                                                                     \
  do {                                                                                          \
    ASSERT_FS(ifmap_addr % ((1<<(5)) * sizeof(float)) == 0);                                   \
    ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(float)) == 0);                                   \
    ASSERT_FS((input_h - 1) * (ins0_h + 1) + 1 + pad_h_top + pad_h_bottom < (1 << 11));        \
    ASSERT_FS((input_w - 1) * (ins0_w + 1) + 1 + pad_w_left + pad_w_right < (1 << 11));        \
    ASSERT_FS(input_h < (1 << 11));                                                             \
    ASSERT_FS(input_w < (1 << 11));                                                             \
    ASSERT_FS(output_h < (1 << 11));                                                            \
    ASSERT_FS(output_w < (1 << 11));                                                            \
  } while (0)

static void float_pool(const pool_cmd_t *p, cmd_id_node_t *node) {
  conv_header_t h = MAX_POOL_HEADER;
  if (p->avg) {
    // The scale is operand 2, one constant.
    h.subop = 1;
    h.operands = 2;
    h.weight_const = 1;
  }
  // Window without dilation; operand 0 (n, c, oh, ow), operand 1 (1, 1, ih, iw).
  const conv_cmd_geom_t g = {p->ifmap, p->ofmap, p->scale, 0, p->n, 1, p->ih, p->iw, p->c, p->oh, p->ow, p->kh,
                             p->kw, p->ins0_h, p->ins0_w, 0, 0, {p->pad[0], p->pad[1], p->pad[2], p->pad[3]},
                             p->stride_h, p->stride_w};
  bd_desc_t d;
  conv_desc_compose(&d, &h, &g);
  if (!p->avg) bd_desc_undefine(&d, BD_WORD_OPD1);
  bd_desc_undefine(&d, BD_WORD_OPD2);
  bd_desc_issue(&d, node);
}

void __atomic_max_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                  int input_h, int input_w, int output_h, int output_w, int kh,
                                  int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                  int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                  int ins0_h, cmd_id_node_t *node) {
  FLOAT_POOL_CHECKS();
  const pool_cmd_t p = POOL_CMD(0, 0);
  float_pool(&p, node);
}

void __atomic_avg_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                  int input_h, int input_w, int output_h, int output_w, int kh,
                                  int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                  int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                  int ins0_h, u32 scale, cmd_id_node_t *node) {
  FLOAT_POOL_CHECKS();
  const pool_cmd_t p = POOL_CMD(1, scale);
  float_pool(&p, node);
}

// One command through its generator (which checks it).
static void pool_one(const pool_cmd_t *p, u32 ifmap, u32 ofmap, int n, int c, cmd_id_node_t *node) {
  if (p->avg)
    __atomic_avg_pooling_gen_cmd(ifmap, ofmap, n, c, p->ih, p->iw, p->oh, p->ow, p->kh, p->kw, p->pad[0], p->pad[1],
                                 p->pad[2], p->pad[3], p->stride_h, p->stride_w, p->ins0_w, p->ins0_h, p->scale,
                                 node);
  else
    __atomic_max_pooling_gen_cmd(ifmap, ofmap, n, c, p->ih, p->iw, p->oh, p->ow, p->kh, p->kw, p->pad[0], p->pad[1],
                                 p->pad[2], p->pad[3], p->stride_h, p->stride_w, p->ins0_w, p->ins0_h, node);
}

// Below 4096 channels one command; otherwise one command per batch item and
// group of 4032 channels, each group 63 lane rows of planes further on.
static void float_pool_split(const pool_cmd_t *p, cmd_id_node_t *node) {
  if (p->c < 4096) {
    pool_one(p, p->ifmap, p->ofmap, p->n, p->c, node);
    return;
  }
  const u32 rows = lane_rows(0, (u32)p->c);
  const u32 iplane = eu_plane((u32)p->ih * (u32)p->iw) * 4;
  const u32 oplane = eu_plane((u32)p->oh * (u32)p->ow) * 4;
  for (int n = 0; n < p->n; n++)
    for (int c0 = 0; c0 < p->c; c0 += POOL_C_PIECE) {
      const int c = p->c - c0 < POOL_C_PIECE ? p->c - c0 : POOL_C_PIECE;
      const u32 row = (u32)n * rows + (u32)c0 / NPU_NUM;
      pool_one(p, p->ifmap + row * iplane, p->ofmap + row * oplane, 1, c, node);
    }
}

void atomic_max_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                int input_h, int input_w, int output_h, int output_w, int kh,
                                int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                int ins0_h, cmd_id_node_t *node) {
  const pool_cmd_t p = POOL_CMD(0, 0);
  float_pool_split(&p, node);
}

void atomic_avg_pooling_gen_cmd(u32 ifmap_addr, u32 ofmap_addr, int input_n, int input_c,
                                int input_h, int input_w, int output_h, int output_w, int kh,
                                int kw, int pad_h_top, int pad_h_bottom, int pad_w_left,
                                int pad_w_right, int stride_h, int stride_w, int ins0_w,
                                int ins0_h, u32 scale, cmd_id_node_t *node) {
  const pool_cmd_t p = POOL_CMD(1, scale);
  float_pool_split(&p, node);
}

void atomic_pooling_fix8b_gen_cmd(u32 ifmap_addr, u32 kernel_addr, u32 ofmap_addr, u32 bias_addr,
                                  int input_n, int input_c, int input_h, int input_w,
                                  int output_h, int output_w, int kh, int kw, int pad_h_top,
                                  int pad_h_bottom, int pad_w_left, int pad_w_right, int stride_h,
                                  int stride_w, int ins0_w, int ins0_h, int pool_mode, int rshift,
                                  int using_bias, int unused0, int opd0_sign, int opd1_sign,
                                  int opd2_sign, int unused1, int out_mode, cmd_id_node_t *node) {
  (void)unused0;
  (void)unused1;
  ASSERT_FS(ifmap_addr % ((1<<(5)) * sizeof(int)) == 0);
  ASSERT_FS(ofmap_addr % ((1<<(5)) * sizeof(int)) == 0);
  ASSERT_FS(input_w < 4096 && output_w < 4096);
  u32 subop, bias_mode, is_const, multiplier, shift;
  if (pool_mode == 0) {
    subop = 4;
    bias_mode = 1;
    is_const = 0;
    multiplier = kernel_addr;
    shift = (u32)rshift;
  } else if (pool_mode == 1) {
    ASSERT_FS(opd1_sign == 0);
    subop = 1;
    bias_mode = 2;
    is_const = 1;
    const int area = kh * kw;
    if (area <= 255) {
      multiplier = dev_table_i[area];
      shift = (u32)rshift + dev_table_e[area];
    } else {
      const double x = log((double)area) / log(2.0);
      ASSERT_FS(abs(x - floor(x + 0.5)) < 0.1);
      // The tolerance above lets areas near a power of two through (270 is
      // within 0.08 of 2^8); only an exact power of two is a plain shift.
      ASSERT_FS((area & (area - 1)) == 0);
      multiplier = 1;
      shift = (u32)rshift + (u32)floor(x + 0.5);
    }
  } else {
    subop = 1;
    bias_mode = using_bias ? 3 : 2;
    is_const = 0;
    multiplier = kernel_addr;
    shift = (u32)rshift;
  }
  conv_header_t h = POOL_FIX_HEADER;
  h.subop = subop;
  h.operands = bias_mode;
  h.rshift = shift;
  h.out_mode = (u32)out_mode;
  h.sign[0] = opd0_sign != 0;
  h.sign[1] = opd1_sign != 0;
  h.sign[2] = opd2_sign != 0;
  h.weight_const = is_const;
  const conv_cmd_geom_t g = {ifmap_addr, ofmap_addr, multiplier, bias_addr, input_n, 1, input_h, input_w,
                             input_c, output_h, output_w, kh, kw, ins0_h, ins0_w, 0, 0,
                             {pad_h_top, pad_h_bottom, pad_w_left, pad_w_right}, stride_h, stride_w};
  bd_desc_t d;
  conv_desc_compose(&d, &h, &g);
  bd_desc_issue(&d, node);
}
