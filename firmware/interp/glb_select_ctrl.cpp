// Global controllers of selection, reduction, arg, top-k and sort layers.
#include "interp/glb_select_ctrl.h"

#include <string.h>

#include "interp/glb_detect_seq_ctrl.h"
#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "interp/tensor_array.h"
#include "layers/data/arg.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/topk.h"
#include "runtime/services.h"

#define ADDR_NONE 0x7fffffffffffffffull

// The input's extents as int (the kernels' shape arrays), at most 8.
static void shape_of(const dynamic_tensor_info_t *t, int *out) {
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) out[i] = i < t->dims && t->shape != nullptr ? t->shape[i] : 1;
}

// ---- select ----

void dynamic_glb_select_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  select_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 then_scalar = rec.then_scalar, else_scalar = rec.else_scalar;
  const u8 then_is_scalar = rec.then_is_scalar, else_is_scalar = rec.else_is_scalar, select_opt = rec.select_opt;
  // The kernel's upper limit is a float; the record holds its bits.
  const float select_arg = rec_bits_f32(rec.select_arg);
  dynamic_tensor_info_t cond, then_t = {}, else_t = {}, out;
  dynamic_context_unpack_neuron_tensor(ctx, &cond, 0);
  if (!then_is_scalar) dynamic_context_unpack_neuron_tensor(ctx, &then_t, 0);
  if (!else_is_scalar) dynamic_context_unpack_neuron_tensor(ctx, &else_t, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  out.dtype = !else_is_scalar ? else_t.dtype : !then_is_scalar ? then_t.dtype : cond.dtype;
  out.dims = cond.dims;
  out.shape = cond.shape;
  ctx->middle_value->data_size = out.dtype;
  const u64 n = get_tensor_element_num(&cond);
  if (!is_null_tensor(&cond)) {
    ASSERT(cond.dtype == DSIZE_FP32 || cond.dtype == DSIZE_INT32);
    nodechip_select(cond.addr, then_t.addr, then_is_scalar, then_scalar, else_t.addr, else_is_scalar, else_scalar,
                    out.addr, n, select_opt, select_arg, cond.dtype == DSIZE_INT32 ? 1 : 0, node);
  }
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- where ----

void dynamic_glb_where_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  where_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 index_dims = rec.index_dims;
  const u64 scratch = rec.buffer_offset + ctx->neuron_base;
  dynamic_tensor_info_t in, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  // index_dims is the kernel's rank of the input: its shape array has 8 slots.
  ASSERT(index_dims <= DYNAMIC_MAX_DIMS, "index_dims %u", (unsigned)index_dims);
  int shape[DYNAMIC_MAX_DIMS];
  shape_of(&in, shape);
  const int count = nodechip_where_v2(in.addr, out.addr, ~0ull, scratch, 0, shape, (int)index_dims, node);
  i32 out_shape[2] = {count, (i32)index_dims};
  out.dims = 2;
  out.shape = out_shape;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- masked select ----

void dynamic_glb_masked_select_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  masked_select_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u64 buffer = rec.buffer_offset + ctx->neuron_base, buffer1 = rec.buffer_offset1 + ctx->neuron_base;
  dynamic_tensor_info_t in, mask, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &mask, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  i32 count = 0;
  if (!is_null_tensor(&in)) {
    int in_shape[DYNAMIC_MAX_DIMS], mask_shape[DYNAMIC_MAX_DIMS];
    shape_of(&in, in_shape);
    shape_of(&mask, mask_shape);
    count = nodechip_masked_select(in.addr, in_shape, (int)in.dims, mask.addr, mask_shape, (int)mask.dims, out.addr,
                                   rec.ms_arg0, rec.ms_arg2, rec.ms_arg1, rec.ms_arg3, buffer, buffer1,
                                   rec.ms_flag != 0, node);
  }
  out.dims = 1;
  out.shape = &count;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- where, squeeze and gather ----

void dynamic_glb_where_squeeze_gather_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  where_squeeze_gather_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  int type_sizes[8], store_modes[8];
  for (int i = 0; i < 8; i++) type_sizes[i] = rec.gather_arr0[i], store_modes[i] = rec.gather_arr1[i];
  const u64 buffer = rec.buffer_offset + ctx->neuron_base, buffer1 = rec.buffer_offset1 + ctx->neuron_base;
  const u32 tensor_num = rec.tensor_num;
  ASSERT(tensor_num >= 1, "tensor_num %u", (unsigned)tensor_num);
  const u32 output_num = tensor_num - 1;
  ASSERT(output_num <= 8);
  // The working arrays are bounded by the 8 inputs, so they live here.
  dynamic_tensor_info_t in[8];
  u64 in_addrs[8], out_addrs[8];
  int shapes[8][4], dims_of[8];
  int any_null = 0;
  for (u32 i = 0; i < output_num; i++) {
    dynamic_context_unpack_neuron_tensor(ctx, &in[i], 0);
    in_addrs[i] = in[i].addr;
    const int dims = (int)in[i].dims;
    ASSERT(dims <= 4);
    dims_of[i] = dims;
    for (int d = 0; d < 4; d++) shapes[i][d] = d < dims ? in[i].shape[d] : 1;
    any_null |= is_null_tensor(&in[i]);
  }
  dynamic_tensor_info_t mask;
  dynamic_context_unpack_neuron_tensor(ctx, &mask, 0);
  dynamic_tensor_info_t out[8];
  for (u32 i = 0; i < output_num; i++) {
    dynamic_context_unpack_neuron_tensor(ctx, &out[i], 1);
    out_addrs[i] = out[i].addr;
  }
  int counts[8] = {0};
  if (!any_null) {
    int mask_shape[DYNAMIC_MAX_DIMS];
    shape_of(&mask, mask_shape);
    nodechip_masked_select_multi_input(in_addrs, out_addrs, mask.addr, buffer, buffer1, (int)output_num, shapes, dims_of,
                                       mask_shape, (int)mask.dims, type_sizes, rec.gather_arg0, store_modes,
                                       rec.gather_arg1, rec.gather_flag != 0, node, counts);
  }
  for (u32 i = 0; i < output_num; i++) {
    i32 shape[4];
    for (int d = 0; d < 4; d++) shape[d] = shapes[i][d];
    if (!any_null) {
      const i32 axis = rec.squeeze_axis[i];
      // The squeezed axis indexes the output's shape: it must be one of its dims.
      ASSERT(axis >= 0 && axis < dims_of[i], "squeeze axis %d of output %u with %d dims", (int)axis, (unsigned)i,
             dims_of[i]);
      i32 rest = 1;
      for (int d = 0; d < dims_of[i]; d++)
        if (d != axis) rest *= shape[d];
      shape[axis] = counts[i] / rest;
    }
    out[i].dims = (u32)dims_of[i];
    out[i].shape = shape;
    dynamic_context_global_set_output_info(ctx, &out[i]);
  }
}

// ---- index select ----

void dynamic_glb_index_select_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  index_select_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  i32 axis = rec.axis;
  const u64 scratch = rec.buffer_offset + ctx->neuron_base;
  const u32 index_is_coeff = rec.index_is_coeff;
  dynamic_tensor_info_t in, index = {}, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  u64 index_addr;
  i64 index_count;
  if (index_is_coeff) {
    index_addr = dynamic_context_unpack_coeff_addr(ctx);
    index_count = rec.index_num;
  } else {
    dynamic_context_unpack_neuron_tensor(ctx, &index, 0);
    index_addr = index.addr;
    index_count = (i64)get_tensor_element_num(&index);
  }
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  if (axis < 0) axis += (i32)in.dims;
  ASSERT(axis >= 0 && axis < (i32)in.dims, "axis %d of a %u-dimensional input", (int)axis, (unsigned)in.dims);
  const u32 index_dims = index_is_coeff ? 1 : index.dims;
  const u32 out_dims = in.dims - 1 + index_dims;
  ASSERT(out_dims <= DYNAMIC_MAX_DIMS, "index select gives %u dims", (unsigned)out_dims);
  int shape[DYNAMIC_MAX_DIMS];
  shape_of(&in, shape);
  const u64 total = get_tensor_element_num(&in);
  if (index_count > 0 && !is_null_tensor(&in)) {
    const u32 ds = ctx->middle_value->data_size;
    if (ds == DSIZE_FP32 || ds == DSIZE_INT32)
      nodechip_index_select(in.addr, index_addr, (int)index_count, out.addr, scratch, scratch + 4 * total,
                            ctx->scratch_addr, shape, (int)in.dims, axis, node);
    else
      nodechip_index_select_fix8b(in.addr, index_addr, (int)index_count, out.addr, scratch, scratch + total,
                                  ctx->scratch_addr, shape, (int)in.dims, axis, node);
  }
  i32 out_shape[DYNAMIC_MAX_DIMS];
  u32 d = 0;
  for (i32 i = 0; i < axis; i++) out_shape[d++] = in.shape[i];
  if (index_is_coeff)
    out_shape[d++] = (i32)index_count;
  else
    for (u32 i = 0; i < index.dims; i++) out_shape[d++] = index.shape[i];
  for (u32 i = (u32)axis + 1; i < in.dims; i++) out_shape[d++] = in.shape[i];
  out.dims = d;
  out.shape = out_shape;
  out.dtype = in.dtype;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- sort per dimension ----

void dynamic_glb_sort_per_dim_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  sort_per_dim_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 sort_dim = rec.sort_dim, index_to_scratch = rec.index_to_scratch;
  const u32 sort_arg0 = rec.sort_arg0, sort_arg1 = rec.sort_arg1;
  const u64 S = rec.buffer_offset + ctx->neuron_base;
  dynamic_tensor_info_t in, values, indices;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &values, 1);
  dynamic_context_unpack_neuron_tensor(ctx, &indices, 1);
  const u64 T = get_tensor_element_num(&in);
  if (!is_null_tensor(&in)) {
    int shape[DYNAMIC_MAX_DIMS];
    shape_of(&in, shape);
    // The kernel follows the tensor's own type, not the layer's data size.
    // Its value and index outputs are passed by role.
    if (in.dtype == DSIZE_FP32) {
      const u64 index_dst = index_to_scratch ? S + 8 * T : indices.addr;
      nodechip_sort_per_dim(in.addr, index_dst, values.addr, S + 4 * T, S, shape, (int)in.dims, (int)sort_dim,
                            (u8)index_to_scratch, (u8)sort_arg0, (u8)sort_arg1, node);
    } else {
      const u64 index_dst = index_to_scratch ? S + 12 * T : indices.addr;
      nodechip_sort_per_dim_fix8b(in.addr, index_dst, values.addr, S + 8 * T, S + 4 * T, S, shape, (int)in.dims,
                                  (int)sort_dim, (u8)index_to_scratch, (u8)sort_arg0, (u8)sort_arg1, node);
    }
  }
  values.dims = in.dims;
  values.shape = in.shape;
  dynamic_context_global_set_output_info(ctx, &values);
  ctx->middle_value->data_size = in.dtype;
  indices.dims = in.dims;
  indices.shape = in.shape;
  dynamic_context_global_set_output_info(ctx, &indices);
}

// ---- arg max/min ----

void dynamic_glb_arg_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  arg_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  i32 axis = rec.axis;
  const int method = rec.method, arg_opt = rec.arg_opt;
  const u64 arg_addr0 = rec.arg_addr0, arg_addr1 = rec.arg_addr1;
  dynamic_tensor_info_t bottom, out;
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  if (axis < 0) axis += (i32)bottom.dims;
  // The output's extent at the axis becomes 1: the axis must be one of its dims.
  ASSERT(axis >= 0 && axis < (i32)bottom.dims, "axis %d of a %u-dimensional input", (int)axis, (unsigned)bottom.dims);
  const i32 *e = bottom.shape;
  const i32 dims = (i32)bottom.dims;
  if (ctx->middle_value->data_size == DSIZE_FP32) {
    if (!is_null_tensor(&bottom)) {
      int v[4], view_axis = axis;
      if (dims > 4 && axis > 2) {
        v[0] = 1;
        for (i32 i = 0; i < axis - 1; i++) v[0] *= e[i];
        v[1] = e[axis - 1];
        v[2] = e[axis];
        v[3] = 1;
        for (i32 i = axis + 1; i < dims; i++) v[3] *= e[i];
        view_axis = 2;
      } else {
        v[0] = e[0];
        v[1] = dims > 1 ? e[1] : 1;
        v[2] = dims > 2 ? e[2] : 1;
        v[3] = 1;
        for (i32 i = 3; i < dims; i++) v[3] *= e[i];
      }
      nodechip_arg(bottom.addr, ADDR_NONE, out.addr, v[0], v[1], v[2], v[3], view_axis, method, node);
    }
  } else {
    ASSERT_FS(bottom.dims <= 4);
    if (!is_null_tensor(&bottom)) {
      int v[4] = {1, 1, 1, 1};
      for (i32 i = 0; i < dims; i++) v[4 - dims + i] = e[i];
      nodechip_arg_fix8b(bottom.addr, arg_addr0, ADDR_NONE, ADDR_NONE, out.addr, arg_addr1, arg_opt, v[0], v[1], v[2],
                         v[3], axis + 4 - dims, method, node);
    }
  }
  i32 out_shape[DYNAMIC_MAX_DIMS];
  for (i32 i = 0; i < dims; i++) out_shape[i] = i == axis ? 1 : e[i];
  out.dims = bottom.dims;
  out.shape = out_shape;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- full reduction ----

void dynamic_glb_reduce_full_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  reduce_full_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const i16 keep_dims = rec.keep_dims, axis_num = rec.axis_num;
  const int method = (int)rec.method;
  const u64 scratch = rec.buffer_offset + ctx->neuron_base;
  dynamic_tensor_info_t in, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  // The axis list holds 8 bytes, and each axis names one of the input's dims.
  ASSERT(axis_num >= 0 && axis_num <= 8, "axis_num %d", (int)axis_num);
  int axes[8];
  u8 reduced[DYNAMIC_MAX_DIMS] = {0};
  for (int i = 0; i < axis_num; i++) {
    axes[i] = rec.axis_list[i];
    ASSERT(axes[i] < (int)in.dims, "reduce axis %d of a %u-dimensional input", axes[i], (unsigned)in.dims);
    reduced[axes[i]] = 1;
  }
  if (!is_null_tensor(&in)) {
    int shape[DYNAMIC_MAX_DIMS];
    shape_of(&in, shape);
    if (ctx->middle_value->data_size == DSIZE_FP32)
      nodechip_reduce_full_v2(in.addr, out.addr, shape, (int)in.dims, axes, axis_num, method, scratch, node);
    else
      nodechip_reduce_full_fix8b(in.addr, out.addr, scratch, shape, (int)in.dims, axes, axis_num, method, keep_dims,
                                 (i32)rec.reduce_arg0, (int)ctx->middle_value->intensor_store_mode,
                                 rec.reduce_arg1, rec.reduce_arg2, node);
  }
  // Reduced dims become 1 with keep_dims and are dropped without; an extent
  // that really is 0 stays, so an empty input gives an empty output.
  i32 out_shape[DYNAMIC_MAX_DIMS];
  u32 d = 0;
  for (u32 i = 0; i < in.dims; i++) {
    if (!reduced[i])
      out_shape[d++] = in.shape[i];
    else if (keep_dims)
      out_shape[d++] = 1;
  }
  out.dims = d;
  out.shape = out_shape;
  out.dtype = in.dtype;
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- top-k ----

void dynamic_glb_topk_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  topk_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  i32 k = rec.k;
  const u32 axis = rec.axis;
  const u8 k_from_tensor = rec.k_from_tensor, topk_flag = rec.topk_flag;
  const u64 scratch = rec.buffer_offset + ctx->neuron_base;
  dynamic_tensor_info_t in, values, indices;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  if (k_from_tensor) {
    dynamic_tensor_info_t kt;
    dynamic_context_unpack_shape_tensor(ctx, &kt, 0);
    k = shape_tensor_value(&kt, 0);
  }
  dynamic_context_unpack_neuron_tensor(ctx, &values, 1);
  dynamic_context_unpack_neuron_tensor(ctx, &indices, 1);
  ASSERT(axis < in.dims, "top-k axis %u of a %u-dimensional input", (unsigned)axis, (unsigned)in.dims);
  i32 out_shape[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < in.dims; i++) out_shape[i] = in.shape[i];
  if (k > 0) out_shape[axis] = k;
  if (!is_null_tensor(&in)) {
    int shape[DYNAMIC_MAX_DIMS];
    shape_of(&in, shape);
    // A k of 0 or less keeps the whole extent: the kernel is asked for all of it.
    nodechip_topk_v2(in.addr, values.addr, indices.addr, scratch, out_shape[axis], (int)axis, topk_flag, shape,
                     (int)in.dims, node);
  }
  values.dims = indices.dims = in.dims;
  values.shape = indices.shape = out_shape;
  values.dtype = in.dtype;
  indices.dtype = DSIZE_INT32;
  dynamic_context_global_set_output_info(ctx, &values);
  dynamic_context_global_set_output_info(ctx, &indices);
}

void dynamic_glb_select_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_ARG] = dynamic_glb_arg_layer_ctrl;
  map[DYNAMIC_LAYER_SELECT] = dynamic_glb_select_layer_ctrl;
  map[DYNAMIC_LAYER_REDUCE_FULL] = dynamic_glb_reduce_full_layer_ctrl;
  map[DYNAMIC_LAYER_TOPK] = dynamic_glb_topk_layer_ctrl;
  map[DYNAMIC_LAYER_WHERE] = dynamic_glb_where_layer_ctrl;
  map[DYNAMIC_LAYER_MASKED_SELECT] = dynamic_glb_masked_select_ctrl;
  map[DYNAMIC_LAYER_SORT_PER_DIM] = dynamic_glb_sort_per_dim_ctrl;
  map[DYNAMIC_LAYER_INDEX_SELECT] = dynamic_glb_index_select_ctrl;
  map[DYNAMIC_LAYER_WHERE_SQUEEZE_GATHER] = dynamic_glb_where_squeeze_gather_ctrl;
  dynamic_glb_detect_seq_map_fill(map);
  dynamic_tensor_array_map_fill(map);
}
