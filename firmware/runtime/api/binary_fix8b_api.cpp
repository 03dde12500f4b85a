// APIs 169 (element-wise), 170 (with a scalar) and 171 (broadcast) of the
// 8-bit binary family.
#include "layers/eltwise/binary_fix8b.h"
#include "runtime/api/dispatch.h"

// The bytes of a tensor of `dims` extents (outermost first) of type `type`:
// 8-bit data 4N (groups of four samples), 16-bit data 2N. A negative extent
// gives an extent no address fits.
static api_extent_t fix8b_extent(const int *shape, int dims, int type) {
  const i64 pack = type == FIX8B_TYPE_I16 ? 2 : 4;
  i64 rest = 1;
  for (int i = 0; i < dims; i++)
    if (shape[i] < 0) return api_dense(4, -1);
  for (int i = 1; i < dims; i++) rest = api_mul(rest, shape[i]);
  return api_dense(4, (shape[0] + pack - 1) / pack, rest);
}

// Dimension counts of 1 to 8: the record holds eight extents.
#define FIX8B_DIMS(rec) ASSERT(rec.tensor_dim >= 1 && rec.tensor_dim <= 8, "tensor_dim=%d", (int)rec.tensor_dim)

u32 zv_api_eltwise_binary_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_eltwise_binary_fix8b_forward_t, rec, param, size);
  FIX8B_DIMS(rec);
  API_COUNT(rec.shape[0]);
  int is_int8[3], is_sign[3], shape[8];
  memcpy(shape, rec.shape, sizeof shape);
  API_GLOBAL(rec.A_addr, fix8b_extent(shape, rec.tensor_dim, rec.A_type));
  API_GLOBAL(rec.B_addr, fix8b_extent(shape, rec.tensor_dim, rec.B_type));
  API_GLOBAL(rec.R_addr, fix8b_extent(shape, rec.tensor_dim, FIX8B_TYPE_I8));
  fix8b_flags_of(rec.A_type, rec.B_type, rec.op, is_int8, is_sign);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_eltwise_binary_fix8b_forward_parallel(rec.A_addr, rec.B_addr, rec.R_addr, shape, rec.tensor_dim, 0, 0,
                                                   rec.op, rec.scale_A, rec.scale_B, rec.rshift_A, rec.rshift_B,
                                                   is_int8, is_sign, rec.if_relu, node);
  });
}

u32 zv_api_const_binary_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_const_binary_fix8b_forward_t, rec, param, size);
  FIX8B_DIMS(rec);
  API_COUNT(rec.shape[0]);
  int shape[8];
  memcpy(shape, rec.shape, sizeof shape);
  const api_extent_t t = fix8b_extent(shape, rec.tensor_dim, FIX8B_TYPE_I8);
  API_GLOBAL(rec.A_addr, t);
  API_GLOBAL(rec.R_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_const_binary_fix8b_forward_parallel(rec.A_addr, rec.R_addr, rec.quantized_val_b, shape, rec.tensor_dim,
                                                 rec.op, rec.scale_A, 0, rec.rshift, 0, rec.sign_A, 0, 1,
                                                 rec.inversed, rec.if_relu, node);
  });
}

u32 zv_api_broadcast_binary_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_broadcast_binary_fix8b_forward_t, rec, param, size);
  FIX8B_DIMS(rec);
  API_COUNT(rec.b0_shape[0]);
  int is_int8[3], is_sign[3], b0[8], b1[8], top[8];
  memcpy(b0, rec.b0_shape, sizeof b0);
  memcpy(b1, rec.b1_shape, sizeof b1);
  API_GLOBAL(rec.A_addr, fix8b_extent(b0, rec.tensor_dim, rec.A_type));
  API_GLOBAL(rec.B_addr, fix8b_extent(b1, rec.tensor_dim, rec.B_type));
  for (int i = 0; i < rec.tensor_dim; i++) top[i] = b0[i] > b1[i] ? b0[i] : b1[i];
  API_GLOBAL(rec.R_addr, fix8b_extent(top, rec.tensor_dim, FIX8B_TYPE_I8));
  fix8b_flags_of(rec.A_type, rec.B_type, rec.op, is_int8, is_sign);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_broadcast_binary_fix8b_forward_parallel(rec.A_addr, rec.B_addr, rec.R_addr, b0, b1, rec.tensor_dim, 0, 0,
                                                     rec.op, rec.scale_A, rec.scale_B, rec.rshift_A, rec.rshift_B,
                                                     is_int8, is_sign, rec.if_relu, node);
  });
}
