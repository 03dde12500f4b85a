// The pooling family's handlers: float pooling (52), nearest upsample (73),
// 8-bit pooling (88), training max pooling (95, 122), interpolation (163) and
// adaptive pooling (166, 167).
#include "cmd/conv_window.h"
#include "layers/pool/adaptive_pooling.h"
#include "layers/pool/interp.h"
#include "layers/pool/pooling.h"
#include "layers/pool/pooling_fix8b.h"
#include "layers/pool/pooling_train.h"
#include "layers/pool/upsample.h"
#include "runtime/api/dispatch.h"

// API 52: strides below 16 run the pipelined worker on the host's plan, larger
// ones the serial worker with its own plan.
u32 zv_api_pooling_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_pooling_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.output_h);
  API_POSITIVE(rec.output_w);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, rec.output_h, rec.output_w));
  return api_issue([&](cmd_id_node_t *node) {
    if (rec.stride_h < 16 && rec.stride_w < 16)
      nodechip_pooling_forward_parallel(
          rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.output_h,
          rec.output_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_w_l, rec.pad_h_b, rec.pad_w_r, rec.stride_h, rec.stride_w,
          rec.is_avg_pooling, rec.avg_pooling_mode, 0, rec.nc_slice, rec.oh_slice, rec.lmem_scale, node);
    else
      nodechip_pooling_forward_parallel_stride_no_limit(
          rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.output_h,
          rec.output_w, rec.kh, rec.kw, rec.stride_h, rec.stride_w, rec.is_avg_pooling, rec.avg_pooling_mode, 0, 0.0f,
          rec.pad_h_t, rec.pad_h_b, rec.pad_w_l, rec.pad_w_r, node);
  });
}

// APIs 95 and 122: the layers compute the output extent themselves; the
// handler bounds it the same way for the address checks.
static pool_train_shape_t train_extent(i32 ih, i32 iw, i32 kh, i32 kw, i32 pt, i32 pl, i32 pb, i32 pr, i32 sh, i32 sw,
                                       i32 floor_mode) {
  API_POSITIVE(kh);
  API_POSITIVE(kw);
  API_POSITIVE(sh);
  API_POSITIVE(sw);
  ASSERT(pt >= 0 && pl >= 0 && pb >= 0 && pr >= 0 && pt < 4096 && pl < 4096 && pb < 4096 && pr < 4096 && kh < 4096 &&
         kw < 4096 && ih < 65536 && iw < 65536);
  pool_train_shape_t s;
  pool_train_shape_of(&s, ih, iw, kh, kw, pt, pl, pb, pr, sh, sw, floor_mode);
  return s;
}

u32 zv_api_pooling_train_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_pooling_train_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const pool_train_shape_t s = train_extent(rec.input_h, rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_w_l,
                                            rec.pad_h_b, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.floor_mode);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, s.oh, s.ow));
  API_GLOBAL(rec.index_addr, api_dense(4, rec.input_n, rec.input_c, s.oh, s.ow));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_pooling_train_forward_parallel(rec.input_addr, rec.output_addr, rec.index_addr, rec.input_n, rec.input_c,
                                            rec.input_h, rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_w_l,
                                            rec.pad_h_b, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.floor_mode, 0,
                                            rec.nc_slice, rec.oh_slice, rec.lmem_scale, rec.split_mode, node);
  });
}

u32 zv_api_pooling_train_index_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_pooling_train_index_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const pool_train_shape_t s = train_extent(rec.input_h, rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_w_l,
                                            rec.pad_h_b, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.floor_mode);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, s.oh, s.ow));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_pooling_train_index_forward_parallel(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c,
                                                  rec.input_h, rec.input_w, rec.kh, rec.kw, rec.pad_h_t, rec.pad_w_l,
                                                  rec.pad_h_b, rec.pad_w_r, rec.stride_h, rec.stride_w, rec.floor_mode,
                                                  0, rec.nc_slice, rec.oh_slice, rec.lmem_scale, rec.split_mode, node);
  });
}

// API 88: the trailing pads grow for ceil rounding before the call; a stride
// must be positive before it divides.
u32 zv_api_pooling_fix8b_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_pooling_fix8b_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.kh);
  API_POSITIVE(rec.kw);
  API_POSITIVE(rec.stride_h);
  API_POSITIVE(rec.stride_w);
  ASSERT(rec.pad_h_t >= 0 && rec.pad_h_b >= 0 && rec.pad_w_l >= 0 && rec.pad_w_r >= 0 && rec.pad_h_t < 4096 &&
         rec.pad_h_b < 4096 && rec.pad_w_l < 4096 && rec.pad_w_r < 4096 && rec.kh < 4096 && rec.kw < 4096 &&
         rec.input_h < 65536 && rec.input_w < 65536);
  rec.pad_h_b = pool_fix8b_ceil_pad(rec.input_h, rec.kh, rec.pad_h_t, rec.pad_h_b, rec.stride_h);
  rec.pad_w_r = pool_fix8b_ceil_pad(rec.input_w, rec.kw, rec.pad_w_l, rec.pad_w_r, rec.stride_w);
  const conv_window_t win = conv_window_of(rec.kh, rec.kw, 1, 1, rec.pad_h_t, rec.pad_h_b, rec.pad_w_l, rec.pad_w_r,
                                           rec.stride_h, rec.stride_w);
  const conv_extent_t ext = conv_window_extent(&win, rec.input_h, rec.input_w);
  const i64 oh = ext.oh, ow = ext.ow;
  const i64 groups = ((i64)rec.input_n + 3) / 4;
  API_GLOBAL(rec.input_addr, api_dense(4, groups, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, groups, rec.input_c, oh, ow));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_pooling_fix8b_forward_parallel(
        rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, rec.kh, rec.kw,
        rec.pad_h_t, rec.pad_h_b, rec.pad_w_l, rec.pad_w_r, rec.stride_h, rec.stride_w, 0, 0, rec.pool_mode,
        rec.avg_pooling_mode, rec.rshift, rec.reserved, rec.reserved2, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign,
        rec.output_sign, rec.out_mode, rec.nc_slice, rec.oh_slice, rec.lmem_scale, node);
  });
}

// API 166: no zero-count return; a batch of 0 reaches the layer, which issues
// nothing.
u32 zv_api_adaptive_pooling_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_adaptive_pooling_forward_t, rec, param, size);
  ASSERT(rec.input_n >= 0);
  if (rec.input_n > 0) {
    API_POSITIVE(rec.input_c);
    API_POSITIVE(rec.input_h);
    API_POSITIVE(rec.input_w);
    API_POSITIVE(rec.output_h);
    API_POSITIVE(rec.output_w);
    API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
    API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, rec.output_h, rec.output_w));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_adaptive_pooling_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                      rec.input_w, rec.output_h, rec.output_w, rec.is_avg_pooling, node);
  });
}

u32 zv_api_adaptive_pooling_fix8b_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_adaptive_pooling_fix8b_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_POSITIVE(rec.output_h);
  API_POSITIVE(rec.output_w);
  const i64 groups = ((i64)rec.input_n + 3) / 4;
  API_GLOBAL(rec.input_addr, api_dense(4, groups, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, groups, rec.input_c, rec.output_h, rec.output_w));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_adaptive_pooling_fix8b_forward(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                            rec.input_w, rec.output_h, rec.output_w, rec.pool_mode, rec.rshift,
                                            rec.reserved, rec.opd0_sign, rec.opd1_sign, rec.opd2_sign, rec.reserved2,
                                            rec.out_mode, node);
  });
}

// API 73: no fused ReLU.
u32 zv_api_upsample_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_upsample_forward_parallel_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  API_GLOBAL(rec.input_addr, api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w));
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.input_c, api_mul(rec.input_h, rec.size),
                                        api_mul(rec.input_w, rec.size)));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_upsample_forward_parallel(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                       rec.input_w, rec.size, rec.nc_slice, rec.h_slice, rec.lmem_scale, 0, node);
  });
}

// API 163: both coordinate flags 0; no zero-count return (an empty tensor
// reaches the layer, which issues nothing).
u32 zv_api_interp_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_interp_forward_parallel_t, rec, param, size);
  const i64 planes = api_mul(rec.n, rec.c);  // both u32: the product is capped, never wrapped
  if (planes > 0) {
    API_POSITIVE((i32)rec.ih);
    API_POSITIVE((i32)rec.iw);
    API_POSITIVE((i32)rec.oh);
    API_POSITIVE((i32)rec.ow);
    API_GLOBAL(rec.input_addr, api_dense(4, planes, rec.ih, rec.iw));
    API_GLOBAL(rec.output_addr, api_dense(4, planes, rec.oh, rec.ow));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_interp_forward_parallel(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.c, (int)rec.ih, (int)rec.iw,
                                     rec.pad_p, rec.pad_q, (int)rec.oh, (int)rec.ow, 0, 0, (int)rec.mode, node);
  });
}
