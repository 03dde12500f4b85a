// APIs 148 and 149: binary operations on tensor records, 4-D with broadcasting
// and flat. Neither has a zero-count shortcut: an empty request issues nothing
// in the layer.
#include "layers/eltwise/binary.h"
#include "runtime/api/dispatch.h"

// Bytes of one element of A, B and R in device memory for `op`.
typedef struct {
  u32 A, B, R;
} binary_elem_bytes_t;

static binary_elem_bytes_t binary_elem_bytes(int op) {
  int fmt[3];
  fill_tensor_data_fmt(&fmt[0], &fmt[1], &fmt[2], op);
  const binary_elem_bytes_t b = {fmt[0] ? 1u : 4u, fmt[1] ? 1u : 4u, fmt[2] ? 1u : 4u};
  return b;
}

// An operand's bytes in device memory: a tensor of `dims` with each broadcast
// dimension of extent 1, the one stored value, or nothing for a constant given
// in the record.
static api_extent_t operand_extent(int mode, u32 elem_bytes, const i64 dims[4], const i32 factor[4]) {
  if (mode == BINARY_OPERAND_CONST) return api_extent_t{0, 0};
  if (mode == BINARY_OPERAND_STORED) return api_dense(elem_bytes, 1);
  i64 d[4];
  for (int i = 0; i < 4; i++) d[i] = factor[i] > 1 ? 1 : dims[i];
  return api_dense(elem_bytes, d[0], d[1], d[2], d[3]);
}

// A stored constant travels through the buffer: one word.
static void check_buffer(int A_mode, int B_mode, u64 buffer_addr) {
  if (A_mode == BINARY_OPERAND_STORED || B_mode == BINARY_OPERAND_STORED) API_GLOBAL(buffer_addr, api_dense(4, 1));
}

u32 zv_api_binary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_binary_t, rec, param, size);
  const i64 dims[4] = {rec.n, rec.c, rec.h, rec.w};
  const i32 A_factor[4] = {rec.A_bcast_n, rec.A_bcast_c, rec.A_bcast_h, rec.A_bcast_w};
  const i32 B_factor[4] = {rec.B_bcast_n, rec.B_bcast_c, rec.B_bcast_h, rec.B_bcast_w};
  const binary_elem_bytes_t b = binary_elem_bytes(rec.op);
  API_GLOBAL(rec.A_addr, operand_extent(rec.A_const_mode, b.A, dims, A_factor));
  API_GLOBAL(rec.B_addr, operand_extent(rec.B_const_mode, b.B, dims, B_factor));
  API_GLOBAL(rec.R_addr, api_dense(b.R, rec.n, rec.c, rec.h, rec.w));
  check_buffer(rec.A_const_mode, rec.B_const_mode, rec.buffer_addr);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_binary(rec.A_addr, rec.B_addr, rec.R_addr, rec.buffer_addr, rec.n, rec.c, rec.h, rec.w, rec.A_bcast_n,
                    rec.A_bcast_c, rec.A_bcast_h, rec.A_bcast_w, rec.B_bcast_n, rec.B_bcast_c, rec.B_bcast_h,
                    rec.B_bcast_w, rec.A_const_mode, rec.A_const_value, rec.B_const_mode, rec.B_const_value,
                    rec.op, node);
  });
}

u32 zv_api_simple_binary(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_simple_binary_t, rec, param, size);
  // The length is unsigned: one above 2^63 reads as negative and fits nowhere.
  const i64 dims[4] = {(i64)rec.length, 1, 1, 1};
  const i32 flat[4] = {1, 1, 1, 1};
  const binary_elem_bytes_t b = binary_elem_bytes(rec.op);
  API_GLOBAL(rec.A_addr, operand_extent(rec.A_const_mode, b.A, dims, flat));
  API_GLOBAL(rec.B_addr, operand_extent(rec.B_const_mode, b.B, dims, flat));
  API_GLOBAL(rec.R_addr, api_dense(b.R, (i64)rec.length));
  check_buffer(rec.A_const_mode, rec.B_const_mode, rec.buffer_addr);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_simple_binary(rec.A_addr, rec.B_addr, rec.R_addr, rec.buffer_addr, rec.length, rec.A_const_mode,
                           rec.A_const_value, rec.B_const_mode, rec.B_const_value, rec.op, node);
  });
}
