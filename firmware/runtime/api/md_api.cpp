// The md_* APIs: scalar arithmetic (3, 123), per-channel sums (4), linear
// maps (5), compare and select (6), special functions (7, 124) and the
// broadcast binary (129); the float class tests (139), the sum of powers
// (128), the sum over the batch (8) and the region activation of up to five
// detection heads (75).
#include "cmd/tensor_slice.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/multiregion.h"
#include "runtime/api/dispatch.h"

#define MD_SHAPE_CHECKS(rec) \
  API_COUNT(rec.input_n);    \
  API_POSITIVE(rec.input_c); \
  API_POSITIVE(rec.input_h); \
  API_POSITIVE(rec.input_w)

u32 zv_api_nodechip_md_scalar(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_md_scalar_t, rec, param, size);
  MD_SHAPE_CHECKS(rec);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  if (!rec.A_is_const) API_GLOBAL(rec.A_addr, t);
  if (!rec.B_is_const) API_GLOBAL(rec.B_addr, t);
  API_GLOBAL(rec.R_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_scalar(rec.A_addr, rec.B_addr, rec.R_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.op,
                       rec.result_add, rec.A_is_const ? 1 : 0, rec.B_is_const ? 1 : 0, rec.A_const, rec.B_const, node);
  });
}

u32 zv_api_nodechip_1d_scalar(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_1d_scalar_t, rec, param, size);
  if (rec.length == 0) return 0;
  const api_extent_t t = api_dense(4, rec.length > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)rec.length);
  if (!rec.A_is_const) API_GLOBAL(rec.A_addr, t);
  if (!rec.B_is_const) API_GLOBAL(rec.B_addr, t);
  API_GLOBAL(rec.R_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_1d_scalar(rec.A_addr, rec.B_addr, rec.R_addr, rec.length, rec.op, rec.result_add, rec.A_is_const ? 1 : 0,
                       rec.B_is_const ? 1 : 0, rec.A_const, rec.B_const, node);
  });
}

u32 zv_api_md_sum(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_md_sum_t, rec, param, size);
  MD_SHAPE_CHECKS(rec);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_c));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_sum(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.accumulate,
                    node);
  });
}

u32 zv_api_md_linear(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_md_linear_t, rec, param, size);
  MD_SHAPE_CHECKS(rec);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w),
                     v = api_dense(4, rec.input_c);
  API_GLOBAL(rec.A_addr, t);
  API_GLOBAL(rec.Y_addr, t);
  if (!rec.B_is_const) API_GLOBAL(rec.B_addr, v);
  if (!rec.C_is_const) API_GLOBAL(rec.C_addr, v);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_linear(rec.A_addr, rec.B_addr, rec.C_addr, rec.Y_addr, rec.input_n, rec.input_c, rec.input_h,
                       rec.input_w, rec.result_add, rec.B_is_const, rec.C_is_const, rec.B_const, rec.C_const, rec.mode,
                       node);
  });
}

// The batch reduction reads A only and writes one item of Y and R.
u32 zv_api_nodechip_md_cmp(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_md_cmp_t, rec, param, size);
  MD_SHAPE_CHECKS(rec);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  const api_extent_t out = rec.reduction ? api_dense(4, rec.input_c, rec.input_h, rec.input_w) : t;
  if (rec.reduction || !rec.A_is_const) API_GLOBAL(rec.A, t);
  if (!rec.reduction) {
    if (!rec.B_is_const) API_GLOBAL(rec.B, t);
    if (!rec.C_is_const) API_GLOBAL(rec.C, t);
    if (!rec.D_is_const) API_GLOBAL(rec.D, t);
  }
  if (rec.mode != 2) API_GLOBAL(rec.Y, out);
  if (rec.mode != 1) API_GLOBAL(rec.R, out);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_cmp(rec.A, rec.B, rec.C, rec.D, rec.Y, rec.R, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                    rec.A_is_const, rec.B_is_const, rec.C_is_const, rec.D_is_const, rec.A_const, rec.B_const,
                    rec.C_const, rec.D_const, rec.mode, rec.reduction, rec.minimum, rec.native, node);
  });
}

u32 zv_api_nodechip_md_sfu(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_md_sfu_t, rec, param, size);
  MD_SHAPE_CHECKS(rec);
  const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_sfu(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.unused,
                    rec.exponent, rec.sfu_type, rec.f, node);
  });
}

// The flat form cut by the length split, one md_sfu call a piece.
u32 zv_api_nodechip_1d_sfu(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_nodechip_1d_sfu_t, rec, param, size);
  if (rec.length == 0) return 0;
  const api_extent_t t = api_dense(4, rec.length > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)rec.length);
  API_GLOBAL(rec.input_addr, t);
  API_GLOBAL(rec.output_addr, t);
  return api_issue([&](cmd_id_node_t *node) {
    length_split_t split;
    init_length_split(&split, rec.length, NULL);
    while (update_length_split(&split)) {
      const u64 at = 4 * split.offset;
      nodechip_md_sfu(rec.input_addr + at, rec.output_addr + at, split.n, split.c, split.h, split.w, rec.unused, rec.e,
                      rec.type, rec.f, node);
    }
  });
}

u32 zv_api_md_ops(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_md_ops_t, rec, param, size);
  API_COUNT(rec.in_a);
  API_POSITIVE(rec.ic_a);
  API_POSITIVE(rec.ih_a);
  API_POSITIVE(rec.iw_a);
  API_POSITIVE(rec.in_b);
  API_POSITIVE(rec.ic_b);
  API_POSITIVE(rec.ih_b);
  API_POSITIVE(rec.iw_b);
  auto larger = [](i32 a, i32 b) { return (i64)(a > b ? a : b); };
  if (!rec.A_is_const) API_GLOBAL(rec.A_addr, api_dense(4, rec.in_a, rec.ic_a, rec.ih_a, rec.iw_a));
  if (!rec.B_is_const) API_GLOBAL(rec.B_addr, api_dense(4, rec.in_b, rec.ic_b, rec.ih_b, rec.iw_b));
  API_GLOBAL(rec.R_addr, api_dense(4, larger(rec.in_a, rec.in_b), larger(rec.ic_a, rec.ic_b),
                                   larger(rec.ih_a, rec.ih_b), larger(rec.iw_a, rec.iw_b)));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_md_ops_parallel(rec.A_addr, rec.B_addr, rec.R_addr, rec.in_a, rec.ic_a, rec.ih_a, rec.iw_a, rec.in_b,
                             rec.ic_b, rec.ih_b, rec.iw_b, rec.op, rec.A_is_const, rec.B_is_const, rec.A_const,
                             rec.B_const, node);
  });
}

// A flat element count as an extent of `bytes`-byte elements.
static api_extent_t api_flat(u32 bytes, u64 length) {
  return api_dense(bytes, length > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)length);
}

u32 zv_api_f32_is(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_f32_is_t, rec, param, size);
  if (rec.length == 0) return 0;
  API_GLOBAL(rec.input_addr, api_flat(4, rec.length));
  API_GLOBAL(rec.output_addr, api_flat(1, rec.length));
  return api_issue(
      [&](cmd_id_node_t *node) { nodechip_f32_is(rec.input_addr, rec.output_addr, rec.length, rec.what, node); });
}

u32 zv_api_sum_x2n(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sum_x2n_t, rec, param, size);
  if (rec.length == 0) return 0;
  API_GLOBAL(rec.input, api_flat(4, rec.length));
  API_GLOBAL(rec.output, api_dense(4, 1));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_sum_x2n(rec.input, rec.output, rec.length, rec.count, rec.scale, node);
  });
}

u32 zv_api_img_sum(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_img_sum_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_c, rec.input_h, rec.input_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_img_sum(rec.input_addr, rec.output_addr, rec.accumulate, rec.input_n, rec.input_c, rec.input_h,
                     rec.input_w, node);
  });
}

u32 zv_api_multiregion_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_multiregion_forward_parallel_t, rec, param, size);
  // The embedded arrays, copied out aligned (the record is packed).
  u64 input[MULTIREGION_MAX_HEADS], output[MULTIREGION_MAX_HEADS];
  int n[MULTIREGION_MAX_HEADS], c[MULTIREGION_MAX_HEADS], h[MULTIREGION_MAX_HEADS], w[MULTIREGION_MAX_HEADS];
  int activate[4];
  memcpy(input, rec.input, sizeof(input));
  memcpy(output, rec.output, sizeof(output));
  memcpy(n, rec.n, sizeof(n));
  memcpy(c, rec.c, sizeof(c));
  memcpy(h, rec.h, sizeof(h));
  memcpy(w, rec.w, sizeof(w));
  memcpy(activate, rec.activate, sizeof(activate));
  // The layer bounds the head count; only the heads it will read are checked.
  for (int i = 0; i < rec.heads && i < MULTIREGION_MAX_HEADS; i++) {
    API_POSITIVE(n[i]);
    API_POSITIVE(c[i]);
    API_POSITIVE(h[i]);
    API_POSITIVE(w[i]);
    const api_extent_t t = api_dense(4, n[i], c[i], h[i], w[i]);
    API_GLOBAL(input[i], t);
    API_GLOBAL(output[i], t);
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_multiregion_forward_parallel(input, output, n, c, h, w, rec.heads, rec.classes, rec.coords, rec.nums,
                                          activate, node);
  });
}
