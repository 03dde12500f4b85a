// Store-mode transfers: 1N <-> 4N in device memory, and 1N loads into local
// memory in 2N or 4N layout.
#include "runtime/assert.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"

#define GDMA_DIM_MAX 65535

// How one item of len bytes is viewed so that every extent fits a GDMA
// dimension: c rows of len / c bytes, each cut into h pieces of w bytes and a
// rest of `rest` bytes. Factors of 2 and 3 go to c first.
static void get_gdma_mode_trans_chw(int len, int *c_out, int *h_out, int *w_out, int *rest_out) {
  int c = 1, w = len;
  while (w > GDMA_DIM_MAX) {
    if (w % 2 == 0) {
      w /= 2;
      c *= 2;
    } else if (w % 3 == 0) {
      w /= 3;
      c *= 3;
    } else {
      break;
    }
  }
  int w_secs = 1, rest = 0;
  if (w > GDMA_DIM_MAX) {
    w_secs = w / GDMA_DIM_MAX;
    rest = w % GDMA_DIM_MAX;
    w = GDMA_DIM_MAX;
  }
  ASSERT(c * w_secs <= (65535));
  *c_out = c;
  *h_out = w_secs;
  *w_out = w;
  *rest_out = rest;
}

static void move_int8(u64 src, int n, int c, int h, int w, int sn, int sc, int sh, int sw, u64 dst, int dn, int dc,
                      int dh, int dw, cmd_id_node_t *node) {
  move_g2g(global_view(src, dim4(n, c, h, w), dim4(sn, sc, sh, sw), GDMA_VALUE_FORMAT_INT8),
           global_view(dst, dim4(n, c, h, w), dim4(dn, dc, dh, dw), GDMA_VALUE_FORMAT_INT8), node);
}

void gdma_move_global_1N_and_4N(u64 global_1N_addr, u64 global_4N_addr, int N, int len, int to_4N,
                                cmd_id_node_t *node) {
  ASSERT(global_1N_addr != global_4N_addr);
  // Four items' bytes must fit an int.
  ASSERT(N >= 0 && len > 0 && len <= 0x7fffffff / 4, "N=%d, len=%d", N, len);
  int c, h, w, rest;
  get_gdma_mode_trans_chw(len, &c, &h, &w, &rest);
  const int e = len / c;      // bytes of one row of an item
  const int group = 4 * len;  // bytes of four items, on both sides
  // Byte lane i carries items i, i + 4, i + 8, ...
  for (int i = 0; i < 4; i++) {
    const int n = N / 4 + (i < N % 4 ? 1 : 0);
    if (n == 0) break;
    const u64 one = global_1N_addr + (u64)i * (u64)len;
    const u64 four = global_4N_addr + (u64)i;
    if (to_4N) {
      move_int8(one, n, c, h, w, group, e, w, 1, four, group, 4 * e, 4 * w, 4, node);
    } else {
      // A 4N source is read with a w stride of 4, which the engine takes only
      // for rows of one piece: one move per piece.
      for (int j = 0; j < h; j++)
        move_int8(four + 4ull * (u64)j * (u64)w, n, c, 1, w, group, 4 * e, 4 * w, 4, one + (u64)j * (u64)w, group, e,
                  w, 1, node);
    }
    if (rest > 0) {
      const u64 at = (u64)h * (u64)w;
      if (to_4N)
        move_int8(one + at, n, c, 1, rest, group, e, rest, 1, four + 4 * at, group, 4 * e, 4 * rest, 4, node);
      else
        move_int8(four + 4 * at, n, c, 1, rest, group, 4 * e, 4 * rest, 4, one + at, group, e, rest, 1, node);
    }
  }
}

void gdma_move_global1N_local2N4N(u64 global_addr, u32 local_offset, u32 start_lane, int N, int global_c,
                                  int global_h, int global_w, int local_c, int local_h, int local_w, int direction,
                                  u8 store_4N, int eu_align, cmd_id_node_t *node) {
  ASSERT(local_c <= global_c);
  ASSERT(local_h <= global_h);
  ASSERT(local_w <= global_w);
  if (direction != 0) ASSERT_FS(0);
  const int k = store_4N ? 4 : 2;  // items per word
  const gdma_value_format_t format = store_4N ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_INT16;
  const int bytes = store_4N ? 1 : 2;
  const int plane = local_h * local_w;
  const int m = k * (eu_align ? (int)eu_plane((u32)plane) : plane);  // local channel stride
  const int item = global_c * global_h * global_w;
  u64 src = global_addr;
  u32 offset = local_offset;
  for (int first = 0; first < N; first += k) {
    const int n = N - first < k ? N - first : k;
    // Item j of the k into byte (or half-word) j of every local word.
    move_g2l(global_view(src, dim4(n, local_c, local_h, local_w), dim4(item, global_h * global_w, global_w, 1), format),
             local_view(offset, (int)start_lane, dim4(1, m, k * local_w, k), format), node);
    src += (u64)k * (u64)item * (u64)bytes;
    offset += lane_rows(0, (u32)local_c) * (u32)m * (u32)bytes;
  }
}
