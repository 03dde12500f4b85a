// APIs 157 and 158: arg max or arg min along one axis, float32 and 8-bit.
#include "layers/data/arg.h"
#include "runtime/api/dispatch.h"

// The extents of an arg record: the input's four, each positive after the
// zero-count return on input_n, and the output's, the reduced axis 1 (an axis
// outside 0 to 3 is the layer's to refuse; the whole input bounds it here).
typedef struct {
  i64 in[4], out[4];
  int axis_is_one;  // the reduced axis has extent 1: the outputs are copies
} arg_extents_t;

static arg_extents_t arg_extents(i32 n, i32 c, i32 h, i32 w, i32 axis) {
  arg_extents_t e = {{n, c, h, w}, {n, c, h, w}, 0};
  if (axis >= 0 && axis < 4) {
    e.axis_is_one = e.in[axis] == 1;
    e.out[axis] = 1;
  }
  return e;
}

#define ARG_CHECK_COUNTS(rec)  \
  API_COUNT(rec.input_n);      \
  API_POSITIVE(rec.input_c);   \
  API_POSITIVE(rec.input_h);   \
  API_POSITIVE(rec.input_w)

// An output the record does not want (ARG_NO_OUTPUT) is never touched.
#define ARG_CHECK_OUTPUT(addr, extent) \
  if ((addr) != ARG_NO_OUTPUT) API_GLOBAL(addr, extent)

u32 zv_api_arg(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_arg_t, rec, param, size);
  ARG_CHECK_COUNTS(rec);
  const arg_extents_t e = arg_extents(rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.axis);
  const api_extent_t input = api_dense(4, e.in[0], e.in[1], e.in[2], e.in[3]);
  API_GLOBAL(rec.input_addr, input);
  // Values and indices alike: the input with the reduced axis 1.
  const api_extent_t out = api_dense(4, e.out[0], e.out[1], e.out[2], e.out[3]);
  ARG_CHECK_OUTPUT(rec.value_out_addr, out);
  ARG_CHECK_OUTPUT(rec.index_out_addr, out);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_arg(rec.input_addr, rec.value_out_addr, rec.index_out_addr, rec.input_n, rec.input_c, rec.input_h,
                 rec.input_w, rec.axis, rec.method, node);
  });
}

// API 158: the same for 8-bit data stored 4N. Axis 0 goes through the 1N copy
// in buffer and the values through buffer2; the other axes leave their float
// indices, one per byte slot, in the index scratch.
u32 zv_api_arg_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_arg_fix8b_t, rec, param, size);
  ARG_CHECK_COUNTS(rec);
  const arg_extents_t e = arg_extents(rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.axis);
  // 4N: one word per group of four items and position.
  API_GLOBAL(rec.input_addr, api_dense(4, (e.in[0] + 3) / 4, e.in[1], e.in[2], e.in[3]));
  ARG_CHECK_OUTPUT(rec.value_out_addr, api_dense(4, (e.out[0] + 3) / 4, e.out[1], e.out[2], e.out[3]));
  ARG_CHECK_OUTPUT(rec.index_out_addr, api_dense(4, e.out[0], e.out[1], e.out[2], e.out[3]));
  const int wanted = rec.value_out_addr != ARG_NO_OUTPUT || rec.index_out_addr != ARG_NO_OUTPUT;
  if (wanted && !e.axis_is_one && rec.axis == 0) {
    API_GLOBAL(rec.buffer_addr, api_dense(1, e.in[0], e.in[1], e.in[2], e.in[3]));
    if (rec.value_out_addr != ARG_NO_OUTPUT) API_GLOBAL(rec.buffer2_addr, api_dense(1, e.in[1], e.in[2], e.in[3]));
  }
  if (!e.axis_is_one && rec.axis > 0 && rec.axis < 4 && rec.index_out_addr != ARG_NO_OUTPUT)
    ARG_CHECK_OUTPUT(rec.index_buffer_addr, api_dense(4, 4 * ((e.in[0] + 3) / 4), e.out[1], e.out[2], e.out[3]));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_arg_fix8b(rec.input_addr, rec.buffer_addr, rec.value_out_addr, rec.buffer2_addr, rec.index_out_addr,
                       rec.index_buffer_addr, rec.is_signed, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                       rec.axis, rec.method, node);
  });
}
