// Memory fill and copy layers, and the byte copy into the DTCM scratch window.
#include <string.h>

#include "runtime/engine_wait.h"
#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "cmd/gdma.h"
#include "cmd/memory_fill_copy.h"
#include "runtime/profile.h"

// Rows longer than one GDMA dimension go as pieces of this many elements along
// a dimension of their own, then one move for the rest.
#define ROW_PIECE 32768
#define ROW_PIECE_SHIFT 15
#define GDMA_DIM_MAX 65535

// A copy between two global tensors of the same shape and format.
static void copy_global(u64 src, u64 dst, int n, int c, int h, int w, int sn, int sc, int sh, int sw, int dn,
                        int dc, int dh, int dw, gdma_value_format_t format, cmd_id_node_t *node) {
  move_g2g(global_view(src, dim4(n, c, h, w), dim4(sn, sc, sh, sw), format),
           global_view(dst, dim4(n, c, h, w), dim4(dn, dc, dh, dw), format), node);
}

static int format_of_type_size(u32 type_size, gdma_value_format_t *format) {
  switch (type_size) {
    case 1: *format = GDMA_VALUE_FORMAT_INT8; return 1;
    case 2: *format = GDMA_VALUE_FORMAT_INT16; return 1;
    case 4: *format = GDMA_VALUE_FORMAT_FLOAT32; return 1;
    default: return 0;
  }
}

void nodechip_memset(u64 addr, int input_n, int input_c, int input_h, int input_w, int stride_n, int stride_c,
                     int stride_h, u32 value, cmd_id_node_t *node) {
  ASSERT(input_c == 1 && input_h == 1 && stride_n == input_w && stride_c == input_w && stride_h == input_w);
  if (input_w <= GDMA_DIM_MAX) {
    fill_constant_gen_global_cmd_stride(addr, &value, GDMA_VALUE_FORMAT_FLOAT32, input_n, 1, 1, input_w, stride_n,
                                        stride_c, stride_h, 1, node);
    return;
  }
  // The region is dense, so N rows of the whole pieces followed by N rows of
  // the rest cover its N * W words exactly once.
  const int q = input_w / ROW_PIECE, wr = q * ROW_PIECE, rest = input_w - wr;
  fill_constant_gen_global_cmd_stride(addr, &value, GDMA_VALUE_FORMAT_FLOAT32, input_n, 1, q, ROW_PIECE, wr, wr,
                                      ROW_PIECE, 1, node);
  if (rest != 0)
    fill_constant_gen_global_cmd_stride(addr + 4ull * (u64)input_n * (u64)wr, &value, GDMA_VALUE_FORMAT_FLOAT32,
                                        input_n, 1, 1, rest, rest, rest, rest, 1, node);
}

void nodechip_memset_byte(u64 addr, int input_n, int input_c, int input_h, int input_w, int stride_n, int stride_c,
                          int stride_h, int stride_w, u32 value, cmd_id_node_t *node) {
  (void)stride_c;
  (void)stride_h;
  {
    // The check as written, with its product taken in 64 bits: these names
    // stand for the parameters widened.
    const i64 wide_w = input_w, wide_h = input_h;
    const i64 input_w = wide_w, input_h = wide_h;
    ASSERT(input_n < (1 << 16) && input_w * input_h < (1 << 16));
  }
  ASSERT(input_h == 1 && input_c == 1);
  // Each element is a row of one byte, so the w stride may be anything.
  const u8 byte = (u8)value;
  fill_constant_gen_global_cmd_stride(addr, &byte, GDMA_VALUE_FORMAT_UINT8, input_n, 1, input_w, 1, stride_n,
                                      stride_w, stride_w, 1, node);
}

void nodechip_memcpy(u64 src, u64 dst, int N, int src_stride_n, int dst_stride_n, int W, cmd_id_node_t *node) {
  const gdma_value_format_t f = GDMA_VALUE_FORMAT_FLOAT32;
  if (W <= GDMA_DIM_MAX) {
    copy_global(src, dst, N, 1, 1, W, src_stride_n, W, W, 1, dst_stride_n, W, W, 1, f, node);
    return;
  }
  const int q = W / ROW_PIECE, wr = q * ROW_PIECE, rest = W - wr;
  copy_global(src, dst, N, 1, q, ROW_PIECE, src_stride_n, wr, ROW_PIECE, 1, dst_stride_n, wr, ROW_PIECE, 1, f, node);
  if (rest != 0)
    copy_global(src + 4ull * (u64)wr, dst + 4ull * (u64)wr, N, 1, 1, rest, src_stride_n, rest, rest, 1,
                dst_stride_n, rest, rest, 1, f, node);
}

void nodechip_memcpy_byte(u64 src, u64 dst, u64 len, cmd_id_node_t *node) {
  const gdma_value_format_t f = GDMA_VALUE_FORMAT_UINT8;
  if (len <= GDMA_DIM_MAX) {
    copy_global(src, dst, 1, 1, 1, (int)len, 0, 0, 0, 1, 0, 0, 0, 1, f, node);
    return;
  }
  const u64 q = len >> ROW_PIECE_SHIFT, done = q << ROW_PIECE_SHIFT;
  ASSERT(q <= GDMA_DIM_MAX, "len=0x%x%08x", (unsigned)(len >> 32), (unsigned)len);
  copy_global(src, dst, 1, 1, (int)q, ROW_PIECE, 0, 0, ROW_PIECE, 1, 0, 0, ROW_PIECE, 1, f, node);
  if (len != done) copy_global(src + done, dst + done, 1, 1, 1, (int)(len - done), 0, 0, 0, 1, 0, 0, 0, 1, f, node);
}

void nodechip_memcpy_tensor(u64 src, u64 dst, int n, int c, int h, int w, int src_stride_n, int src_stride_c,
                            int src_stride_h, int src_stride_w, int dst_stride_n, int dst_stride_c,
                            int dst_stride_h, int dst_stride_w, u32 type_size, cmd_id_node_t *node) {
  ASSERT(n < (1 << 16) && c < (1 << 12) && h < (1 << 16) && w < (1 << 16));
  gdma_value_format_t format;
  // An element size the engine has no format for would copy nothing.
  ASSERT(format_of_type_size(type_size, &format), "type_size=%u, 1, 2 or 4 expected", (unsigned)type_size);
  copy_global(src, dst, n, c, h, w, src_stride_n, src_stride_c, src_stride_h, src_stride_w, dst_stride_n,
              dst_stride_c, dst_stride_h, dst_stride_w, format, node);
}

void nodechip_memcpy_tensors(u32 count, const void *rows, cmd_id_node_t *node) {
  const u8 *p = (const u8 *)rows;
  for (u32 i = 0; i < count; i++) {
    memcpy_tensors_row_t r;
    memcpy(&r, p + i * sizeof r, sizeof r);
    nodechip_memcpy_tensor(r.src_addr, r.dst_addr, r.n, r.c, r.h, r.w, r.src_stride_n, r.src_stride_c,
                           r.src_stride_h, r.src_stride_w, r.dst_stride_n, r.dst_stride_c, r.dst_stride_h,
                           r.dst_stride_w, r.type_size, node);
  }
}

void nodechip_memcpy_wstride(u64 src, u64 dst, int src_wstride, int dst_wstride, int count, u32 type_size,
                             cmd_id_node_t *node) {
  gdma_value_format_t format;
  ASSERT(format_of_type_size(type_size, &format), "type_size=%u, 1, 2 or 4 expected", (unsigned)type_size);
  if (count <= GDMA_DIM_MAX) {
    copy_global(src, dst, 1, 1, 1, count, 0, 0, 0, src_wstride, 0, 0, 0, dst_wstride, format, node);
    return;
  }
  const int q = count / ROW_PIECE, wr = q * ROW_PIECE, rest = count - wr;
  copy_global(src, dst, 1, q, 1, ROW_PIECE, 0, ROW_PIECE * src_wstride, ROW_PIECE * src_wstride, src_wstride, 0,
              ROW_PIECE * dst_wstride, ROW_PIECE * dst_wstride, dst_wstride, format, node);
  if (rest != 0)
    copy_global(src + (u64)((s64)wr * src_wstride * (s64)type_size), dst + (u64)((s64)wr * dst_wstride * (s64)type_size),
                1, 1, 1, rest, 0, 0, 0, src_wstride, 0, 0, 0, dst_wstride, format, node);
}

u32 pack_info_to_dtcm(u64 src, u64 dst, u32 len, cmd_id_node_t *node) {
  ASSERT(len < (1 << 16));
  const int n = (int)len;
  copy_global(src, dst, 1, 1, 1, n, n, n, n, 1, n, n, n, 1, GDMA_VALUE_FORMAT_UINT8, node);
  profile_time_data_t *record = profile_time_begin_wait_node(node);
  poll_all_engine_done_internal(node);
  profile_time_end(record);
  return 0;
}
