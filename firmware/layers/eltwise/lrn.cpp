// Local response normalisation across channels on float tensors.
#include "layers/eltwise/lrn.h"

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/eltwise/norm_common.h"
#include "runtime/assert.h"

#define T LOCAL_ADDR_TAG

static i64 lrn_item_bytes(int b, int cpl, i64 rows, int w) { return (i64)b * cpl * align_up(rows * w, EU_NUM) * 4; }

// hsecs raised until `buffers` slices of one item fit a slot; it stops past h
// (one row does not fit), which the layer refuses.
static void lrn_raise_rows(int b, int cpl, int h, int w, int *hsecs) {
  while (*hsecs <= h && lrn_item_bytes(b, cpl, ceil_div(h, *hsecs), w) > LRN_SLOT_BYTES) (*hsecs)++;
}

void lrn_split_nh(int buffers, int n, int c, int h, int w, int *nsecs, int *hsecs) {
  const int cpl = (c + 63) / 64;
  const i64 item = lrn_item_bytes(buffers, cpl, h, w);
  const i64 total = (i64)n * item;
  if (n <= 1) {
    const i64 secs = ceil_div(total, LRN_SLOT_BYTES);
    *hsecs = secs > h ? h + 1 : (int)secs;
    lrn_raise_rows(buffers, cpl, h, w, hsecs);
  } else if (item > LRN_SLOT_BYTES) {
    *nsecs = n;
    const i64 secs = ceil_div(item, LRN_SLOT_BYTES);
    *hsecs = secs > h ? h + 1 : (int)secs;
    lrn_raise_rows(buffers, cpl, h, w, hsecs);
  } else {
    *nsecs = nsecs_computing((int)item, n, LRN_SLOT_BYTES);
    *hsecs = 1;
  }
}

namespace {
struct lrn_slice_t {
  int n_off, n_len, h_off, h_len;
  u32 base, bytes;  // slot base and S_k
};

struct lrn_t {
  u64 input, output;
  int n, c, h, w;
  float alpha1, beta, k;
  int steps;
  u32 scratch;
};

// Lane shifts of the squares onto the sums, each distance both ways.
void lrn_shifts(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  for (int d = 1; d <= a.steps; d++) {
    lrn_shift_gen_cmd(s.base + s.bytes, 0, s.base + 2 * s.bytes, s.n_len, a.c, s.h_len, a.w,
                      GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_LEFT, d, 1, node);
    lrn_shift_gen_cmd(s.base + s.bytes, 0, s.base + 2 * s.bytes, s.n_len, a.c, s.h_len, a.w,
                      GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_LRN_SHIFT_RIGHT, d, 1, node);
  }
}
// x x (k + alpha' x sums) ^ -beta, in place.
void lrn_scale(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  const u32 sums = s.base + 2 * s.bytes;
  atomic_md_linear_gen_cmd(T | sums, 0, 0, T | sums, s.n_len, a.c, s.h_len, a.w, 1, 1, norm_f32_bits(a.k),
                           norm_f32_bits(a.alpha1), 0, 0, node);
  tensor_xa(node, sums, sums, a.scratch, s.n_len, a.c, s.h_len, a.w, -a.beta);
  atomic_md_mul_gen_cmd(T | s.base, T | sums, T | s.base, s.n_len, a.c, s.h_len, a.w, 0, node);
}
void lrn_squares(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  atomic_md_mul_gen_cmd(T | s.base, T | s.base, T | (s.base + s.bytes), s.n_len, a.c, s.h_len, a.w, 0, node);
}
void lrn_copy_squares(const lrn_t &a, const lrn_slice_t &s, cmd_id_node_t *node) {
  atomic_md_scale_gen_cmd(T | (s.base + s.bytes), T | (s.base + 2 * s.bytes), s.n_len, a.c, s.h_len, a.w, 0,
                          norm_f32_bits(1.0f), node);
}
void lrn_move(const lrn_t &a, const lrn_slice_t &s, gdma_direction_t dir, cmd_id_node_t *node) {
  const u64 chw = (u64)a.c * a.h * a.w;
  const u64 at = 4 * ((u64)s.n_off * chw + (u64)s.h_off * a.w);
  if (dir == GDMA_VALUE_DIR_S2L) {
    general_align_tensor_move_G2L_gen_cmd(a.input + at, s.base, 0, s.n_len, a.c, s.h_len, a.w, (int)chw,
                                          a.h * a.w, node);
  } else {
    general_align_tensor_move_L2G_gen_cmd(s.base, 0, a.output + at, s.n_len, a.c, s.h_len, a.w, (int)chw,
                                          a.h * a.w, node);
  }
}
}  // namespace

void nodechip_lrn_forward_parallel(u64 input_global_addr, u64 output_global_addr, int input_n, int input_c,
                                   int input_h, int input_w, float alpha, int local_size, float beta, float k,
                                   cmd_id_node_t *node) {
  const int Tensor_N = input_n, Tensor_H = input_h;
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0 && local_size > 0);
  const int c = input_c, h = input_h, w = input_w, cpl = (c + 63) / 64;
  lrn_t a;
  a.input = input_global_addr;
  a.output = output_global_addr;
  a.n = input_n;
  a.c = c;
  a.h = h;
  a.w = w;
  a.alpha1 = alpha / (float)local_size;
  a.beta = beta;
  a.k = k;
  const int half = (local_size - 1) >> 1;
  a.steps = half < c - 1 ? half : c - 1;
  int nsecs = 1, hsecs = 1;
  if ((i64)input_n * lrn_item_bytes(4, cpl, h, w) > LRN_SLOT_BYTES) lrn_split_nh(4, input_n, c, h, w, &nsecs, &hsecs);
  ASSERT_FS(hsecs <= Tensor_H);
  ASSERT_FS(nsecs <= Tensor_N);
  const int slices = nsecs * hsecs;
  auto slice_of = [&](int i) {
    const norm_section_t sn = norm_section_of(input_n, nsecs, i / hsecs), sh = norm_section_of(h, hsecs, i % hsecs);
    const u32 bytes = (u32)sn.len * (u32)cpl * eu_plane((u32)sh.len * (u32)w) * 4;
    return lrn_slice_t{sn.offset, sn.len, sh.offset, sh.len, (u32)(i % 2) * LRN_SLOT_BYTES, bytes};
  };
  lrn_slice_t prev = slice_of(0);
  a.scratch = 3 * prev.bytes;
  lrn_move(a, prev, GDMA_VALUE_DIR_S2L, node);
  cmd_id_node_t move = *node, compute = *node;
  node->divided = 1;
  lrn_squares(a, prev, &compute);
  lrn_copy_squares(a, prev, &compute);
  for (int i = 1; i < slices; i++) {
    const lrn_slice_t cur = slice_of(i);
    const u32 end_local_offset = cur.base + 3 * cur.bytes;
    ASSERT_FS(end_local_offset <= (1<<19));
    lrn_move(a, cur, GDMA_VALUE_DIR_S2L, &move);
    cmd_id_merge(node, &move, &compute);
    node->divided = 1;
    move = compute = *node;
    lrn_squares(a, cur, &compute);
    lrn_shifts(a, prev, &move);
    cmd_id_merge(&compute, &move, &compute);
    lrn_scale(a, prev, &compute);
    compute.divided = 1;
    move = compute;
    lrn_move(a, prev, GDMA_VALUE_DIR_L2S, &move);
    lrn_copy_squares(a, cur, &compute);
    prev = cur;
  }
  cmd_id_merge(node, &move, &compute);
  lrn_shifts(a, prev, node);
  lrn_scale(a, prev, node);
  lrn_move(a, prev, GDMA_VALUE_DIR_L2S, node);
}
