// Float PReLU and dropout.
#include "layers/eltwise/prelu.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "local/compare_select.h"
#include "local/eltwise.h"
#include "runtime/assert.h"

// ---- PReLU ----

void prelu_plan_of(prelu_plan_t *p, int channel_shared, int n, int c, int h, int w) {
  const i64 hw = (i64)h * (i64)w;
  p->c_all = channel_shared ? n * c : c;
  p->n_all = channel_shared ? 1 : n;
  p->banks = channel_shared ? 4 : 2;
  p->share = (u32)p->banks * 0x10000u;
  const i64 S = p->share;
  p->sl = (int)(hw < 65519 ? hw : 65519);
  p->cp = p->c_all < 4095 ? p->c_all : 4095;
  p->nb = p->n_all < 65519 ? p->n_all : 65519;
  const i64 lanes = ceil_div(p->cp, NPU_NUM);
  const i64 A = lanes * align_up(p->sl, 32) * 4;
  if (A * p->nb > S) {
    if (A >= S) {
      i64 sl = (S / (lanes * 128)) * 32;
      p->sl = (int)(sl <= 65519 ? sl : 65504);
      p->nb = 1;
    } else {
      p->nb = (int)(S / A);
    }
  }
  p->slice_bytes = (u32)(align_up(p->sl, 32) * 4 * p->nb * lanes);
  p->area_count = 0;
  p->areas[p->area_count++] = {"input", 0, p->share};
  p->areas[p->area_count++] = {"output", p->share, p->share};
  if (!channel_shared) p->areas[p->area_count++] = {"slopes", 2 * p->share, (u32)(lanes * 4)};
}

void nodechip_prelu_forward(u64 input, u64 slope, u64 output, float shared_slope, int channel_shared, int n, int c,
                            int h, int w, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && c >= 0 && h >= 0 && w >= 0);
  // Element offsets and the strides between items are 32-bit fields.
  ASSERT_FS((i64)n * c * h * w <= 0x7fffffff, "n=%d c=%d h=%d w=%d", n, c, h, w);
  prelu_plan_t P;
  prelu_plan_of(&P, channel_shared, n, c, h, w);
  const u32 slice_tensor_size = P.slice_bytes, tensor_max_size = P.share;
  ASSERT_FS(slice_tensor_size<=tensor_max_size);
  const int hw = h * w;
  const u32 S = P.share;
  const u32 shared = f32_bits(shared_slope);
  for (int k = 0; k < P.c_all; k += P.cp) {
    const int cp = P.c_all - k < P.cp ? P.c_all - k : P.cp;
    if (!channel_shared)
      tensor_compact_move_gen_cmd(2 * S, 0, slope + 4ull * (u64)k, 1, cp, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                  GDMA_VALUE_DIR_S2L, 0, node);
    for (int b = 0; b < P.n_all; b += P.nb) {
      const int nb = P.n_all - b < P.nb ? P.n_all - b : P.nb;
      for (int s = 0; s < hw; s += P.sl) {
        const int sl = hw - s < P.sl ? hw - s : P.sl;
        const int cs = (int)align_up(sl, 32), ns = cs * (int)ceil_div(cp, NPU_NUM);
        const u64 at = 4ull * (((u64)b * (u64)P.c_all + (u64)k) * (u64)hw + (u64)s);
        const dim4_t shape = {nb, cp, sl, 1}, gs = dim4(P.c_all * hw, hw, 1, 1), ls = dim4(ns, cs, 1, 1);
        stride_load(global_view(input + at, shape, gs, GDMA_VALUE_FORMAT_FLOAT32), local_f32(0, ls), node);
        nodechip_prelu_forward_local(0, S, 2 * S, channel_shared, shared, &shape, 0, node);
        stride_store(local_f32(S, ls), global_view(output + at, shape, gs, GDMA_VALUE_FORMAT_FLOAT32), node);
      }
    }
  }
}

// ---- Dropout ----

int get_slice_num_dropout_forward(i64 L) {
  if (L <= 0) return 0;
  const i64 G = ceil_div(ceil_div(L, 32), 64) * 256;
  i64 budget = 65536, P;
  if (ceil_div(G, 65536) > 1) {
    budget = 16384;
    P = ceil_div(G, 16384);
  } else {
    P = ceil_div(G, 65536);
  }
  if (L < 65536 && P == 1) return 1;
  while (!(L / P <= 65534 && ceil_div(L / P + 32, 32 * 64) * 128 <= budget)) {
    P++;
    if (P >= L) return -1;
  }
  return (int)P;
}

dropout_layout_t dropout_layout_of(int Lp) {
  dropout_layout_t l;
  l.section_bytes = (u32)ceil_div(ceil_div(Lp, 32), NPU_NUM) * 128u;
  l.input[0] = 0;
  l.input[1] = 0x10000;
  l.output = 0x20000;
  return l;
}

typedef struct {
  u64 input, output, select, random;
  i64 L;
  int P;
  u32 scale;
  float ratio;
} dropout_t;

static int piece_len(const dropout_t *d, int i) { return (int)(d->L / d->P + (i < d->L % d->P ? 1 : 0)); }
static u64 piece_at(const dropout_t *d, int i) {
  return (u64)i * (u64)(d->L / d->P) + (u64)(i < d->L % d->P ? i : d->L % d->P);
}

static void matrix(u32 local, u64 global, int Lp, gdma_direction_t dir, cmd_id_node_t *node) {
  matrix_move_gen_cmd(local, 0, global, 32, 1, Lp, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, node);
}

static void load_piece(const dropout_t *d, int i, cmd_id_node_t *node) {
  const int Lp = piece_len(d, i);
  const dropout_layout_t l = dropout_layout_of(Lp);
  const u64 at = 4 * piece_at(d, i);
  matrix(l.input[i % 2], d->input + at, Lp, GDMA_VALUE_DIR_S2L, node);
  matrix(l.input[i % 2] + l.section_bytes, d->random + at, Lp, GDMA_VALUE_DIR_S2L, node);
}

// selection := random > ratio ? 1.0 : 0.0; output := input x scale x selection.
static void compute_piece(const dropout_t *d, int i, cmd_id_node_t *node) {
  const int Lp = piece_len(d, i);
  const dropout_layout_t l = dropout_layout_of(Lp);
  const int C = (int)ceil_div(Lp, 32);
  const u32 in = LOCAL_ADDR_TAG | l.input[i % 2], rnd = in + l.section_bytes, out = LOCAL_ADDR_TAG | l.output,
            sel = out + l.section_bytes;
  md_cmp_gen_cmd_lite(rnd, 0, out, sel, 1, C, 1, 32, 0, 1, 0.0f, d->ratio, 1.0f, 0.0f, 0, node);
  md_scalar(MD_SCALAR_MUL, operand_at(in), operand_bits(d->scale), out, dim4(1, C, 1, 32), node);
  md_scalar(MD_SCALAR_MUL, operand_at(out), operand_at(sel), out, dim4(1, C, 1, 32), node);
}

// The output and the selection of piece i, both densely at the piece's own
// element positions.
static void store_piece(const dropout_t *d, int i, cmd_id_node_t *node) {
  const int Lp = piece_len(d, i);
  const dropout_layout_t l = dropout_layout_of(Lp);
  const u64 at = 4 * piece_at(d, i);
  matrix(l.output, d->output + at, Lp, GDMA_VALUE_DIR_L2S, node);
  matrix(l.output + l.section_bytes, d->select + at, Lp, GDMA_VALUE_DIR_L2S, node);
}

void nodechip_dropout_forward(u64 input, u64 output, u64 select, u64 random, int random_offset, float ratio, int a,
                              int b, cmd_id_node_t *node) {
  ASSERT_FS(a >= 0 && b >= 0);
  const i64 L = (i64)a * (i64)b;
  const int P = get_slice_num_dropout_forward(L);
  if (P < 0) ASSERT_FS(0, "no piece count fits %d elements", (int)(L > 0x7fffffff ? 0x7fffffff : L));
  if (P == 0) return;
  const float scale = (float)(1.0 / (1.0 - (double)ratio));
  dropout_t d = {input, output, select, random + (u64)(i64)random_offset, L, P, f32_bits(scale), ratio};
  cmd_id_node_t first, second;
  load_piece(&d, 0, node);
  cmd_id_divide(node, &first, &second);
  compute_piece(&d, 0, &first);
  if (P == 1) {
    cmd_id_merge(node, &first, &second);
    store_piece(&d, 0, node);
    return;
  }
  load_piece(&d, 1, &second);
  cmd_id_merge(node, &first, &second);
  for (int k = 1; k < P; k++) {
    store_piece(&d, k - 1, node);
    cmd_id_divide(node, &first, &second);
    compute_piece(&d, k, &first);
    if (k + 1 < P) load_piece(&d, k + 1, &second);
    cmd_id_merge(node, &first, &second);
    if (k + 1 == P) store_piece(&d, k, node);
  }
}
