// Global controllers that reshape, slice, pad, crop, tile, join, split and
// rearrange tensors in device memory, and the reshape helpers they share.
#include "interp/glb_shape_ctrl.h"

#include "interp/layer_records.h"
#include "interp/record_fields.h"

#include <stdlib.h>
#include <string.h>

#include "cmd/memory_fill_copy.h"
#include "cmd/memory_store_mode.h"
#include "interp/shape_arith.h"
#include "interp/shape_tensor_ctrl.h"
#include "layers/data/concat.h"
#include "layers/data/copy.h"
#include "layers/data/pad.h"
#include "layers/data/rearrange.h"
#include "layers/data/stride_slice.h"
#include "layers/data/tile.h"
#include "layers/data/transpose.h"
#include "runtime/services.h"

// Assertion conditions are written as the texts they print, some comparing a
// signed value with an unsigned count after checking it is not negative.
#pragma GCC diagnostic ignored "-Wsign-compare"

// ---- Helpers ----

static int is_4byte(u32 data_size) { return data_size == DSIZE_FP32 || data_size == DSIZE_INT32; }

static void unpack_in(dynamic_context_t *ctx, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  dynamic_context_unpack_neuron_tensor(ctx, t, 0);
  ASSERT(t->dims <= DYNAMIC_MAX_DIMS, "tensor %u has %u dims", (unsigned)t->id, (unsigned)t->dims);
}
static void unpack_out(dynamic_context_t *ctx, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  dynamic_context_unpack_neuron_tensor(ctx, t, 1);
}
static void unpack_shape_in(dynamic_context_t *ctx, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  dynamic_context_unpack_shape_tensor(ctx, t, 0);
}

// The values of a shape tensor, which must hold `need` of them.
static const i32 *shape_values(const dynamic_tensor_info_t *t, u64 need) {
  u64 have = 1;
  for (u32 i = 0; i < t->dims && i < DYNAMIC_MAX_DIMS; i++) have *= t->shape[i] > 0 ? (u64)t->shape[i] : 0;
  ASSERT(have >= need && (need == 0 || t->host_data != nullptr), "tensor %u holds %u values, %u needed",
         (unsigned)t->id, (unsigned)have, (unsigned)need);
  return (const i32 *)t->host_data;
}

// The kernels take int arrays (i32 is another type on the target).
static void to_int(const i32 *src, int n, int *dst) {
  for (int i = 0; i < n; i++) dst[i] = (int)src[i];
}

// The output shape in a local array; the table copies it.
static void set_output(dynamic_context_t *ctx, dynamic_tensor_info_t *out, const i32 *shape, u32 dims, u32 dtype) {
  out->shape = (i32 *)shape;
  out->dims = dims;
  out->dtype = dtype;
  out->elem_num = 0;
  dynamic_context_global_set_output_info(ctx, out);
}

void dynamic_glb_memcpy(u64 src, u64 dst, u64 count, u32 data_size, cmd_id_node_t *node) {
  if (src == dst || count == 0) return;
  const int format = data_size == DSIZE_16 ? 1 : data_size == DSIZE_8 ? 3 : 0;
  ASSERT(count <= 0x7fffffffull, "%u elements in one copy", (unsigned)(count >> 32));
  nodechip_tile_forward(src, dst, 1, 1, 1, (int)count, 3, 1, format, format, 0, node);
}

void RESHAPE_ADDR_CHECK(dynamic_tensor_info_t *in, dynamic_tensor_info_t *out, u32 in_store_mode,
                        u32 out_store_mode, cmd_id_node_t *node) {
  if (out->addr == 0) out->addr = in->addr;
  if (out->addr == in->addr) return;
  out->dtype = in->dtype;
  if (in_store_mode == out_store_mode) {
    // A rounded-up inferred extent gives the output more elements than the
    // input holds: copy no more than the input has.
    const u64 in_count = get_tensor_element_num(in);
    if (in_store_mode == FW_STORE_MODE_4N) {
      u64 words = 1;
      for (u32 i = 1; i < out->dims; i++)
        if (out->shape[i] > 0) words *= (u64)out->shape[i];
      const u64 n = out->dims > 0 && out->shape[0] > 0 ? (u64)out->shape[0] : 1;
      words *= (n + 3) / 4;
      u64 in_words = 1;
      for (u32 i = 1; i < in->dims; i++)
        if (in->shape[i] > 0) in_words *= (u64)in->shape[i];
      in_words *= ((in->dims > 0 && in->shape[0] > 0 ? (u64)in->shape[0] : 1) + 3) / 4;
      dynamic_glb_memcpy(in->addr, out->addr, words < in_words ? words : in_words, DSIZE_INT32, node);
    } else {
      const u64 count = get_tensor_element_num(out);
      dynamic_glb_memcpy(in->addr, out->addr, count < in_count ? count : in_count, in->dtype, node);
    }
    return;
  }
  ASSERT(FW_STORE_MODE_4N == in_store_mode);
  ASSERT(FW_STORE_MODE_1N == out_store_mode);
  i32 is[4] = {1, 1, 1, 1}, os[4] = {1, 1, 1, 1};
  get_shape_dim4(in, is);
  get_shape_dim4(out, os);
  nodechip_reshape_fix8b(in->addr, out->addr, is[0], is[1], is[2], is[3], os[0], os[1], os[2], os[3],
                         (int)in_store_mode, (int)out_store_mode, node);
}

int __reshape_helper(const i32 *in_shape, int in_dims, const i32 *pattern, int pattern_len, i32 *out_shape,
                     u32 elem_num) {
  const int input_dim = in_dims, shape_dim = pattern_len;
  int shape_pos = 0, in_pos = 0, out_pos = 0, inferred = -1;
  ASSERT(input_dim >= 0 && input_dim <= DYNAMIC_MAX_DIMS && shape_dim >= 0 && shape_dim <= RESHAPE_PATTERN_MAX,
         "%d input dims, %d pattern entries", input_dim, shape_dim);
  for (; shape_pos < shape_dim; shape_pos++) {
    const i32 v = pattern[shape_pos];
    // Every entry adds output dims; the shape holds eight.
    ASSERT(out_pos < DYNAMIC_MAX_DIMS, "reshape to more than %d dims", DYNAMIC_MAX_DIMS);
    if (v > 0) {
      out_shape[out_pos++] = v;
      in_pos++;
    } else if (v == 0) {
      ASSERT(in_pos < input_dim);
      out_shape[out_pos++] = in_shape[in_pos++];
    } else if (v == -1) {
      inferred = out_pos;
      out_shape[out_pos++] = 1;
      in_pos++;
    } else if (v == -2) {
      for (; in_pos < input_dim; in_pos++) {
        ASSERT(out_pos < DYNAMIC_MAX_DIMS, "reshape to more than %d dims", DYNAMIC_MAX_DIMS);
        out_shape[out_pos++] = in_shape[in_pos];
      }
    } else if (v == -3) {
      ASSERT(in_pos + 1 < input_dim);
      out_shape[out_pos++] = (i32)((i64)in_shape[in_pos] * in_shape[in_pos + 1]);
      in_pos += 2;
    } else if (v == -4) {
      shape_pos++;  // at s0; s1 must follow it
      ASSERT(shape_pos + 1 < shape_dim);
      ASSERT(in_pos < input_dim, "split of input dim %d of %d", in_pos, input_dim);
      ASSERT(out_pos + 1 < DYNAMIC_MAX_DIMS, "reshape to more than %d dims", DYNAMIC_MAX_DIMS);
      i32 shape_val0 = pattern[shape_pos], shape_val1 = pattern[shape_pos + 1];
      const i32 in_val = in_shape[in_pos];
      // A zero part would divide by zero below.
      ASSERT(shape_val0 != 0 && shape_val1 != 0, "split into %d and %d", (int)shape_val0, (int)shape_val1);
      if (shape_val0 == -1) {
        ASSERT(in_val % shape_val1 == 0);
        shape_val0 = in_val / shape_val1;
      }
      if (shape_val1 == -1) {
        ASSERT(in_val % shape_val0 == 0);
        shape_val1 = in_val / shape_val0;
      }
      out_shape[out_pos++] = shape_val0;
      out_shape[out_pos++] = shape_val1;
      shape_pos++;  // the loop steps past s1
      in_pos++;
    } else {
      out_shape[out_pos++] = 1;
      in_pos++;
    }
  }
  if (inferred >= 0) {
    i64 total = 1, rest = 1;
    for (int i = 0; i < input_dim; i++) total *= in_shape[i];
    for (int i = 0; i < out_pos; i++) rest *= out_shape[i];
    if (rest == 1)
      out_shape[inferred] = elem_num != 0 ? (i32)elem_num : (i32)total;
    else if (rest == 0)
      out_shape[inferred] = 0;  // nothing to infer from: the output is empty anyway
    else
      out_shape[inferred] = (i32)((total + rest - 1) / rest);
  }
  return out_pos;
}

void dynamic_reshape_helper(dynamic_context_t *ctx, dynamic_tensor_info_t *in, dynamic_tensor_info_t *out,
                            const i32 *pattern, int pattern_len, u32 in_store_mode, u32 out_store_mode,
                            cmd_id_node_t *node) {
  i32 shape[DYNAMIC_MAX_DIMS];
  out->dtype = in->dtype;
  out->dims = (u32)__reshape_helper(in->shape, (int)in->dims, pattern, pattern_len, shape, in->elem_num);
  out->shape = shape;
  out->elem_num = 0;
  if (in->elem_num == 0 && get_tensor_element_num(in) != get_tensor_element_num(out))
    out->elem_num = (u32)get_tensor_element_num(in);
  RESHAPE_ADDR_CHECK(in, out, in_store_mode, out_store_mode, node);
  dynamic_context_global_set_output_info(ctx, out);
}

int squeeze_shape(const i32 *shape, int dims, const i8 *axes, int axis_num, i32 *out_shape) {
  const int src_dims = dims;
  int drop[DYNAMIC_MAX_DIMS] = {0};
  ASSERT(src_dims >= 0 && src_dims <= DYNAMIC_MAX_DIMS && axis_num <= 8, "%d dims, %d axes", src_dims, axis_num);
  if (axis_num > 0) {
    for (int k = 0; k < axis_num; k++) {
      int axis = axes[k];
      if (axis < 0) axis += src_dims;
      ASSERT(axis >= 0 && axis < src_dims);
      if (shape[axis] == 1) drop[axis] = 1;
    }
  } else {
    for (int i = 0; i < src_dims; i++) drop[i] = shape[i] <= 1;
  }
  int o = 0;
  for (int i = 0; i < src_dims; i++)
    if (!drop[i]) out_shape[o++] = shape[i];
  return o;
}

// ---- Reshaping ----

void dynamic_glb_reshape_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  reshape_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  // The pattern holds ten entries.
  ASSERT(rec.shape_num <= RESHAPE_PATTERN_MAX, "shape_num %u", (unsigned)rec.shape_num);
  if (in.dtype != ctx->middle_value->data_size) in.dtype = ctx->middle_value->data_size;
  if (rec.ref_id >= 0 && (u32)rec.ref_id != in.id) {
    dynamic_tensor_info_t ref;
    memset(&ref, 0, sizeof(ref));
    ref.id = (u32)rec.ref_id;
    ASSERT_FS(dynamic_context_extra_find_info(ctx, &ref));
    in.dims = ref.dims;
    in.shape = ref.shape;
    in.elem_num = ref.elem_num;
  }
  dynamic_reshape_helper(ctx, &in, &out, rec.shape_spec, rec.shape_num, ctx->middle_value->intensor_store_mode,
                         ctx->middle_value->outtensor_store_mode, node);
}

void dynamic_glb_expand_dims_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  expand_dims_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  memset(&in, 0, sizeof(in));
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  if (rec.input_is_coeff) {
    ASSERT(rec.coeff_dims <= DYNAMIC_MAX_DIMS, "%u dims", (unsigned)rec.coeff_dims);
    in.addr = dynamic_context_unpack_coeff_addr(ctx);
    in.dims = rec.coeff_dims;
    memcpy(coeff_shape, rec.coeff_shape, sizeof(coeff_shape));
    in.shape = coeff_shape;
    in.dtype = ctx->middle_value->data_size;
  } else {
    unpack_in(ctx, &in);
  }
  unpack_out(ctx, &out);
  const i32 num = rec.num < 1 ? 1 : rec.num;
  i32 axis = rec.axis;
  if (axis < 0) axis += (i32)in.dims + 1;
  ASSERT(axis >= 0 && axis <= (i32)in.dims && (i64)in.dims + num <= DYNAMIC_MAX_DIMS, "%d dims at %d of %u",
         (int)num, (int)rec.axis, (unsigned)in.dims);
  i32 shape[DYNAMIC_MAX_DIMS];
  u32 o = 0;
  for (i32 i = 0; i < axis; i++) shape[o++] = in.shape[i];
  for (i32 i = 0; i < num; i++) shape[o++] = 1;
  for (u32 i = (u32)axis; i < in.dims; i++) shape[o++] = in.shape[i];
  out.shape = shape;
  out.dims = o;
  out.dtype = in.dtype;
  out.elem_num = 0;
  RESHAPE_ADDR_CHECK(&in, &out, ctx->middle_value->intensor_store_mode, ctx->middle_value->outtensor_store_mode,
                     node);
  dynamic_context_global_set_output_info(ctx, &out);
}

void dynamic_glb_squeeze_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  squeeze_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  i32 shape[DYNAMIC_MAX_DIMS] = {1, 1, 1, 1, 1, 1, 1, 1};
  out.dims = (u32)squeeze_shape(in.shape, (int)in.dims, rec.axes, (int)rec.axis_num, shape);
  out.shape = shape;
  out.dtype = in.dtype;
  out.elem_num = 0;
  RESHAPE_ADDR_CHECK(&in, &out, ctx->middle_value->intensor_store_mode, ctx->middle_value->outtensor_store_mode,
                     node);
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- Slicing ----

void dynamic_glb_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  slice_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, begin, size, out;
  memset(&bottom, 0, sizeof(bottom));
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  ASSERT_FS(bottom.dims <= 8);
  unpack_shape_in(ctx, &begin);
  unpack_shape_in(ctx, &size);
  unpack_out(ctx, &out);
  ASSERT_FS(begin.dims == 1 && begin.shape[0] == bottom.dims);
  ASSERT_FS(size.dims == 1 && size.shape[0] == bottom.dims);
  const i32 *bv = shape_values(&begin, bottom.dims), *sv = shape_values(&size, bottom.dims);
  int b[DYNAMIC_MAX_DIMS], e[DYNAMIC_MAX_DIMS], s[DYNAMIC_MAX_DIMS];
  i32 shape[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < bottom.dims; i++) {
    const i32 n = bottom.shape[i];
    s[i] = 1;
    b[i] = bv[i] < 0 ? bv[i] + n : bv[i];
    e[i] = sv[i] == -1 ? n : (int)((i64)b[i] + sv[i]);
    // A range outside the dim would read outside the tensor.
    ASSERT(b[i] >= 0 && b[i] <= e[i] && e[i] <= n, "dim %u: [%d, %d) of %d", (unsigned)i, b[i], e[i], (int)n);
    shape[i] = e[i] - b[i];
  }
  const u32 data_size = ctx->middle_value->data_size;
  int in_shape[DYNAMIC_MAX_DIMS];
  to_int(bottom.shape, (int)bottom.dims, in_shape);
  if (is_4byte(data_size)) {
    if (!is_null_tensor(&bottom))
      nodechip_stride_slice_md(bottom.addr, out.addr, in_shape, (int)bottom.dims, 0, 0, b, e, s, node);
  } else if (data_size == DSIZE_8) {
    ASSERT(bottom.dims <= 4);
    const u64 scratch = rec.scratch + ctx->neuron_base;
    const u64 scratch2 = ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N && shape[0] != bottom.shape[0]
                             ? scratch + get_tensor_element_num(&bottom)
                             : 0;
    if (!is_null_tensor(&bottom))
      nodechip_stride_slice_fix8b(bottom.addr, out.addr, scratch, scratch2, nullptr, in_shape, (int)bottom.dims,
                                  (int)ctx->middle_value->intensor_store_mode,
                                  (int)ctx->middle_value->outtensor_store_mode, 0, 0, b, e, s, node);
  } else {
    ASSERT(0, "not supported data_size=%d", (int)data_size);
  }
  set_output(ctx, &out, shape, bottom.dims, bottom.dtype);
}

// One dense dim of the strided-slice layer, in integers: a positive step
// counts negative indices from the end (once), a negative one takes them as
// they are (-1 standing before the first element); both are clamped to the
// dim. Returns the output extent, which must be positive.
static int stride_slice_dim(int n, int begin, int end, int s, int begin_masked, int end_masked, int shrink, int *b,
                            int *e) {
  ASSERT(s != 0, "stride 0");
  if (s > 0) {
    *b = begin_masked ? 0 : begin < 0 ? begin + n : begin;
    *e = end_masked ? n : end < 0 ? end + n : end;
    *b = *b < 0 ? 0 : *b > n ? n : *b;
    *e = *e < 0 ? 0 : *e > n ? n : *e;
  } else {
    *b = begin_masked ? n - 1 : begin;
    *e = end_masked ? -1 : end;
    *b = *b < -1 ? -1 : *b > n - 1 ? n - 1 : *b;
    *e = *e < -1 ? -1 : *e > n - 1 ? n - 1 : *e;
  }
  if (shrink) {
    ASSERT(*b >= 0 && *b < n, "shrunk index %d of extent %d", begin, n);
    *e = *b + s;
    return 1;
  }
  const i64 span = (i64)*e - *b;
  const i64 extent = s > 0 ? (span + s - 1) / s : (span + s + 1) / s;
  ASSERT(extent > 0, "slice [%d, %d) step %d of extent %d selects nothing", *b, *e, s, n);
  return (int)extent;
}

void dynamic_glb_stride_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  stride_slice_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  memset(&bottom, 0, sizeof(bottom));
  dynamic_context_unpack_neuron_tensor(ctx, &bottom, 0);
  ASSERT_FS(bottom.dims <= 8);
  const i32 *begin_index_ = rec.begin, *end_index_ = rec.end, *stride_index_ = rec.stride;
  int count = rec.shape_size;
  if (rec.from_tensors) {
    dynamic_tensor_info_t bt, et, st;
    unpack_shape_in(ctx, &bt);
    unpack_shape_in(ctx, &et);
    unpack_shape_in(ctx, &st);
    count = st.dims >= 1 ? st.shape[0] : 0;
    ASSERT(count >= 0 && count <= 8, "%d slice entries", count);
    begin_index_ = (const i32 *)bt.host_data;
    end_index_ = (const i32 *)et.host_data;
    stride_index_ = (const i32 *)st.host_data;
    ASSERT_FS(begin_index_ && end_index_ && stride_index_);
    shape_values(&bt, (u64)count);
    shape_values(&et, (u64)count);
    shape_values(&st, (u64)count);
  }
  unpack_out(ctx, &out);
  i32 dshape[8], dbegin[8], dend[8], dstride[8];
  int ddims = 0, bmask = 0, emask = 0, smask = 0;
  stride_slice_dense_spec(bottom.shape, (int)bottom.dims, begin_index_, end_index_, stride_index_, count,
                          rec.begin_mask, rec.end_mask, rec.ellipsis_mask, rec.new_axis_mask, rec.shrink_axis_mask,
                          dshape, &ddims, dbegin, dend, dstride, &bmask, &emask, &smask);
  i32 shape[8] = {1, 1, 1, 1, 0, 0, 0, 0};
  u32 out_dims = 0;
  int b[8], e[8], s[8], full[8];
  for (int i = 0; i < ddims; i++) {
    const int extent = stride_slice_dim(dshape[i], dbegin[i], dend[i], dstride[i], (bmask >> i) & 1, (emask >> i) & 1,
                                        (smask >> i) & 1, &b[i], &e[i]);
    s[i] = dstride[i];
    full[i] = dshape[i];
    if (!((smask >> i) & 1)) shape[out_dims++] = extent;
  }
  for (int i = ddims; i < 8; i++) {
    full[i] = 1;
    b[i] = 0;
    e[i] = 1;
    s[i] = 1;
  }
  const u32 data_size = ctx->middle_value->data_size;
  if (is_4byte(data_size)) {
    if (!is_null_tensor(&bottom)) nodechip_stride_slice_md(bottom.addr, out.addr, full, ddims, 0, 0, b, e, s, node);
  } else {
    const int input_dim = ddims;
    ASSERT_FS(input_dim <= 4);
    // The 8-bit slice neither counts negative indices from the end nor clamps
    // them to the extent: given the raw bounds, an end of -1 wrote nothing and
    // an end past the extent wrote past the output. It gets the resolved
    // indices, as the 4-byte slice does.
    nodechip_stride_slice_fix8b(bottom.addr, out.addr, rec.scratch + ctx->neuron_base, rec.scratch2 + ctx->neuron_base,
                                nullptr, full, ddims, (int)ctx->middle_value->intensor_store_mode,
                                (int)ctx->middle_value->outtensor_store_mode, 0, 0, b, e, s, node);
  }
  set_output(ctx, &out, shape, out_dims, bottom.dtype);
}

void dynamic_glb_slicelike_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  slicelike_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, ref, out;
  memset(&in, 0, sizeof(in));
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  if (rec.input_is_coeff) {
    ASSERT(rec.coeff_dims >= 0 && rec.coeff_dims <= DYNAMIC_MAX_DIMS, "%d dims", (int)rec.coeff_dims);
    in.addr = dynamic_context_unpack_coeff_addr(ctx);
    in.dims = (u32)rec.coeff_dims;
    memcpy(coeff_shape, rec.coeff_shape, sizeof(coeff_shape));
    in.shape = coeff_shape;
    in.dtype = ctx->middle_value->data_size;
  } else {
    unpack_in(ctx, &in);
  }
  unpack_in(ctx, &ref);
  unpack_out(ctx, &out);
  const int bottom_dims = (int)in.dims;
  int begin[8], end[8], stride[8];
  for (int i = 0; i < 8; i++) {
    begin[i] = 0;
    stride[i] = 1;
    end[i] = i < bottom_dims ? in.shape[i] : 1;
  }
  ASSERT(rec.axis_num <= 8, "%d axes", (int)rec.axis_num);
  for (int k = 0; k < rec.axis_num; k++) {
    int axis_pos = rec.axes[k];
    if (axis_pos < 0) axis_pos += (int)ref.dims;
    ASSERT_FS(axis_pos >= 0 && axis_pos < bottom_dims && axis_pos < ref.dims);
    // A reference extent above the input's would read past it.
    ASSERT(ref.shape[axis_pos] <= in.shape[axis_pos], "axis %d: %d of %d", axis_pos, (int)ref.shape[axis_pos],
           (int)in.shape[axis_pos]);
    end[axis_pos] = ref.shape[axis_pos];
  }
  const u32 data_size = ctx->middle_value->data_size;
  int in_shape[DYNAMIC_MAX_DIMS];
  to_int(in.shape, bottom_dims, in_shape);
  if (!is_null_tensor(&in)) {
    if (is_4byte(data_size)) {
      nodechip_stride_slice_md(in.addr, out.addr, in_shape, bottom_dims, 0, 0, begin, end, stride, node);
    } else if (data_size == DSIZE_8) {
      ASSERT(bottom_dims <= 4);
      ASSERT(ctx->middle_value->intensor_store_mode == ctx->middle_value->outtensor_store_mode);
      // The kernel cuts a 4N batch through a 1N work area, which this record
      // does not give. The cut starts at item 0, so it keeps whole 4-item
      // words instead: the kernel sees a batch of whole groups and copies them
      // as they are (the last group's spare bytes carry the input's next items).
      int kernel_shape[DYNAMIC_MAX_DIMS], kernel_end[8];
      for (int i = 0; i < bottom_dims; i++) kernel_shape[i] = in_shape[i];
      memcpy(kernel_end, end, sizeof(kernel_end));
      if (ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N && bottom_dims >= 1 && end[0] < in_shape[0]) {
        const int whole = (end[0] + 3) / 4 * 4;
        kernel_shape[0] = kernel_end[0] = whole < in_shape[0] ? whole : in_shape[0];
      }
      nodechip_stride_slice_fix8b(in.addr, out.addr, 0, 0, nullptr, kernel_shape, bottom_dims,
                                  (int)ctx->middle_value->intensor_store_mode,
                                  (int)ctx->middle_value->intensor_store_mode, 0, 0, begin, kernel_end, stride, node);
    } else {
      ASSERT_FS(0, "not support dtype=%d", (int)data_size);
    }
  }
  i32 shape[8];
  for (int i = 0; i < 8; i++) shape[i] = end[i];
  set_output(ctx, &out, shape, in.dims, in.dtype);
}

// ---- Padding ----

static void pad_issue(dynamic_context_t *ctx, u64 in, u64 out, const i32 *s, const int (*pads)[2], u32 pad_mode,
                      float pad_value, u64 scratch, u64 scratch2, cmd_id_node_t *node) {
  if (is_4byte(ctx->middle_value->data_size)) {
    nodechip_pad(in, out, s[0], s[1], s[2], s[3], pads, (int)pad_mode, pad_value, node);
  } else {
    nodechip_pad_fix8b(in, out, ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N, scratch,
                       ctx->middle_value->outtensor_store_mode == FW_STORE_MODE_4N, scratch2, s[0], s[1], s[2], s[3],
                       pads, (int)pad_mode, pad_value_byte(pad_value), node);
  }
}

void dynamic_glb_pad_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  pad_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  // Four padded dims at most: more would pad outside the pairs.
  ASSERT(in.dims <= 4, "pad of %u dims", (unsigned)in.dims);
  int pads[4][2];
  memcpy(pads, rec.pads, sizeof(pads));
  if (rec.paddings_from_tensor) {
    dynamic_tensor_info_t paddings;
    unpack_shape_in(ctx, &paddings);
    ASSERT_FS(paddings.shape[0] <= 8);
    const i32 n = paddings.shape[0];
    const i32 first = (i32)in.dims - n / 2;
    ASSERT(n >= 0 && first >= 0, "%d padding values for %u dims", (int)n, (unsigned)in.dims);
    memset(pads, 0, sizeof(pads));
    const i32 *v = shape_values(&paddings, (u64)n);
    for (i32 i = 0; i < n; i++) pads[first + i / 2][i % 2] = v[i];
  }
  unpack_out(ctx, &out);
  i32 s[4], shape[4];
  for (u32 i = 0; i < 4; i++) {
    s[i] = i < in.dims ? in.shape[i] : 1;
    shape[i] = s[i] + pads[i][0] + pads[i][1];
  }
  out.dims = in.dims;
  out.shape = shape;
  if (!is_null_tensor(&out))
    pad_issue(ctx, in.addr, out.addr, s, pads, rec.pad_mode, rec.pad_value, rec.scratch + ctx->neuron_base,
              rec.scratch2 + ctx->neuron_base, node);
  set_output(ctx, &out, shape, in.dims, in.dtype);
}

void dynamic_glb_ref_pad_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ref_pad_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, paddings, out;
  unpack_in(ctx, &bottom);
  unpack_shape_in(ctx, &paddings);
  unpack_out(ctx, &out);
  ASSERT(bottom.dims == 4);
  const i32 *v = shape_values(&paddings, 4);
  int pads[4][2] = {{0, 0}, {0, 0}, {v[0], v[1]}, {v[2], v[3]}};
  i32 shape[4];
  for (int i = 0; i < 4; i++) shape[i] = bottom.shape[i] + pads[i][0] + pads[i][1];
  const u64 scratch = rec.scratch + ctx->neuron_base;
  const int in4 = ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N;
  const int out4 = ctx->middle_value->outtensor_store_mode == FW_STORE_MODE_4N;
  const u64 s1 = !out4 ? scratch : 0, s2 = !in4 && out4 ? scratch : 0;
  pad_issue(ctx, bottom.addr, out.addr, bottom.shape, pads, rec.pad_mode, rec.pad_value, s1, s2, node);
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

// ---- Cropping ----

static void crop_issue(dynamic_context_t *ctx, u64 in, u64 out, const i32 *offsets_, const i32 *out_shape_,
                       const i32 *in_shape_, cmd_id_node_t *node) {
  int offsets[4], out_shape[4], in_shape[4];
  to_int(offsets_, 4, offsets);
  to_int(out_shape_, 4, out_shape);
  to_int(in_shape_, 4, in_shape);
  // The window must lie inside the input.
  for (int i = 0; i < 4; i++)
    ASSERT(offsets[i] >= 0 && out_shape[i] >= 0 && (i64)offsets[i] + out_shape[i] <= in_shape[i],
           "dim %d: %d + %d of %d", i, offsets[i], out_shape[i], in_shape[i]);
  if (is_4byte(ctx->middle_value->data_size))
    nodechip_crop(in, out, offsets, out_shape, in_shape, node);
  else
    nodechip_crop_fix8b(in, out, offsets, out_shape, in_shape, node);
}

void dynamic_glb_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  crop_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  unpack_out(ctx, &out);
  ASSERT(bottom.dims == 4);
  i32 h = rec.out_h, w = rec.out_w;
  if (rec.ref_id != -1) {
    dynamic_tensor_info_t ref;
    memset(&ref, 0, sizeof(ref));
    ref.id = (u32)rec.ref_id;
    ASSERT(dynamic_context_extra_find_info(ctx, &ref));
    ASSERT(ref.dims >= 2, "reference %d has %u dims", (int)rec.ref_id, (unsigned)ref.dims);
    h = ref.shape[ref.dims - 2];
    w = ref.shape[ref.dims - 1];
  }
  i32 shape[4] = {rec.out_n, rec.out_c, h, w};
  const i32 in_shape[4] = {rec.in_n, rec.in_c, bottom.shape[2], bottom.shape[3]};
  crop_issue(ctx, bottom.addr, out.addr, rec.offsets, shape, in_shape, node);
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

void dynamic_glb_simple_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  simple_crop_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  unpack_out(ctx, &out);
  ASSERT(bottom.dims <= 4);
  i32 output_shape[4], in_shape[4], offsets[4];
  for (u32 i = 0; i < 4; i++) {
    if (i < bottom.dims) {
      in_shape[i] = bottom.shape[i];
      output_shape[i] = bottom.shape[i] - rec.crops[i][0] - rec.crops[i][1];
      ASSERT_FS(output_shape[i] >= 0);
      offsets[i] = rec.crops[i][0];
    } else {
      in_shape[i] = output_shape[i] = 1;
      offsets[i] = 0;
    }
  }
  crop_issue(ctx, bottom.addr, out.addr, offsets, output_shape, in_shape, node);
  set_output(ctx, &out, output_shape, bottom.dims, bottom.dtype);
}

void dynamic_glb_ref_crop_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT_FS(length == 0);
  dynamic_tensor_info_t bottom, crop, out;
  unpack_in(ctx, &bottom);
  unpack_shape_in(ctx, &crop);
  unpack_out(ctx, &out);
  ASSERT(bottom.dims == 4);
  const i32 *v = shape_values(&crop, 4);
  const i32 output_h = bottom.shape[2] - v[0] - v[1], output_w = bottom.shape[3] - v[2] - v[3];
  ASSERT_FS(output_h >= 0 && output_w >= 0);
  const i32 offsets[4] = {0, 0, v[0], v[2]};
  i32 shape[4] = {bottom.shape[0], bottom.shape[1], output_h, output_w};
  crop_issue(ctx, bottom.addr, out.addr, offsets, shape, bottom.shape, node);
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

// ---- Tiling and broadcasting ----

// The input of tile and expand: a neuron tensor of `bottom_dims` dims, or a
// coefficient address with the record's shape.
static void unpack_tile_input(dynamic_context_t *ctx, int input_is_coeff, int bottom_dims, const i32 *coeff_shape,
                              u32 coeff_dtype, dynamic_tensor_info_t *bottom, i32 *shape_store) {
  memset(bottom, 0, sizeof(*bottom));
  ASSERT(bottom_dims >= 0 && bottom_dims <= DYNAMIC_MAX_DIMS, "%d dims", bottom_dims);
  if (input_is_coeff) {
    bottom->addr = dynamic_context_unpack_coeff_addr(ctx);
    for (int i = 0; i < DYNAMIC_MAX_DIMS; i++) shape_store[i] = coeff_shape[i];
    bottom->shape = shape_store;
    bottom->dims = (u32)bottom_dims;
    bottom->dtype = coeff_dtype;
  } else {
    unpack_in(ctx, bottom);
    ASSERT_FS(bottom->dims == bottom_dims);
  }
}

void dynamic_glb_tile_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  tile_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int bottom_dims = rec.bottom_dims;
  dynamic_tensor_info_t bottom, out;
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  unpack_tile_input(ctx, rec.input_is_coeff, bottom_dims, rec.coeff_shape, rec.coeff_dtype, &bottom, coeff_shape);
  i32 multiples[DYNAMIC_MAX_DIMS];
  memcpy(multiples, rec.multiples, sizeof(multiples));
  if (!rec.multiples_in_record) {
    dynamic_tensor_info_t coeff;
    unpack_shape_in(ctx, &coeff);
    ASSERT_FS(coeff.dims == 1 && coeff.shape[0] >= bottom_dims);
    const i32 *v = shape_values(&coeff, (u64)bottom_dims);
    for (int i = 0; i < bottom_dims; i++) multiples[i] = v[i];
  }
  unpack_out(ctx, &out);
  i32 shape[DYNAMIC_MAX_DIMS];
  int in_shape[DYNAMIC_MAX_DIMS], mult[DYNAMIC_MAX_DIMS];
  for (int i = 0; i < bottom_dims; i++) {
    ASSERT(multiples[i] >= 0, "multiple %d at dim %d", (int)multiples[i], i);
    shape[i] = bottom.shape[i] * multiples[i];
    in_shape[i] = (int)bottom.shape[i];
    mult[i] = (int)multiples[i];
  }
  if (!is_null_tensor(&bottom)) {
    const u64 scratch = rec.scratch + ctx->neuron_base;
    if (is_4byte(ctx->middle_value->data_size))
      nodechip_tile_full(bottom.addr, scratch, out.addr, in_shape, mult, bottom_dims, 0, 0, rec.repeat_elements, node);
    else
      nodechip_tile_full_fix8b(bottom.addr, out.addr, scratch, nullptr, in_shape, mult, bottom_dims,
                               (int)ctx->middle_value->intensor_store_mode,
                               (int)ctx->middle_value->outtensor_store_mode, rec.repeat_elements, node);
  }
  set_output(ctx, &out, shape, (u32)bottom_dims, bottom.dtype);
}

void dynamic_glb_expand_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  expand_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const int bottom_dims = rec.bottom_dims;
  dynamic_tensor_info_t bottom, out;
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  unpack_tile_input(ctx, rec.input_is_coeff, bottom_dims, rec.coeff_shape, ctx->middle_value->data_size, &bottom,
                    coeff_shape);
  i32 target[DYNAMIC_MAX_DIMS];
  int target_dims = (int)rec.out_dims;
  if (rec.shape_in_record) {
    ASSERT(target_dims >= 0 && target_dims <= DYNAMIC_MAX_DIMS, "%d target dims", target_dims);
    memcpy(target, rec.out_shape, sizeof(target));
  } else {
    dynamic_tensor_info_t coeff;
    unpack_shape_in(ctx, &coeff);
    ASSERT_FS(coeff.dims == 1 && coeff.shape[0] >= bottom_dims);
    target_dims = coeff.shape[0];
    ASSERT(target_dims <= DYNAMIC_MAX_DIMS, "%d target dims", target_dims);
    const i32 *v = shape_values(&coeff, (u64)target_dims);
    for (int i = 0; i < target_dims; i++) target[i] = v[i];
  }
  unpack_out(ctx, &out);
  ASSERT(target_dims >= bottom_dims, "target of %d dims for %d", target_dims, bottom_dims);
  const int d = target_dims - bottom_dims;
  i32 output_shape[DYNAMIC_MAX_DIMS];
  int expanded[DYNAMIC_MAX_DIMS], multiples[DYNAMIC_MAX_DIMS];
  for (int i = 0; i < target_dims; i++) {
    output_shape[i] = target[i];
    if (i < d) {
      ASSERT_FS(output_shape[i] > 0);
      multiples[i] = (int)target[i];
      expanded[i] = 1;
      continue;
    }
    const i32 e = bottom.shape[i - d];
    expanded[i] = (int)e;
    if (target[i] < 0) {
      multiples[i] = 1;
      output_shape[i] = e;
    } else {
      // Only an extent of 1 stretches; anything else must already match.
      ASSERT(e == target[i] || e == 1, "extent %d to %d at dim %d", (int)e, (int)target[i], i);
      multiples[i] = (int)(target[i] / e);
    }
  }
  if (!is_null_tensor(&bottom))
    nodechip_tile_full(bottom.addr, rec.scratch + ctx->neuron_base, out.addr, expanded, multiples, target_dims, 0, 0, 0,
                       node);
  set_output(ctx, &out, output_shape, (u32)target_dims, bottom.dtype);
}

void dynamic_glb_broadcast_like_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  broadcast_like_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, like, out;
  unpack_in(ctx, &bottom);
  unpack_in(ctx, &like);
  unpack_out(ctx, &out);
  ASSERT(rec.axis_num >= 0 && rec.axis_num <= 8, "%d axes", (int)rec.axis_num);
  int lhs[8], rhs[8], in_shape[8], like_shape[8], repeats[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  for (int i = 0; i < 8; i++) {
    lhs[i] = rec.lhs_axes[i];
    rhs[i] = rec.rhs_axes[i];
  }
  to_int(bottom.shape, (int)bottom.dims, in_shape);
  to_int(like.shape, (int)like.dims, like_shape);
  const int dims = get_broadcast_like_tile_coeff(in_shape, (int)bottom.dims, like_shape, (int)like.dims, lhs, rhs,
                                                 rec.axis_num, repeats);
  ASSERT(dims >= 0 && dims <= DYNAMIC_MAX_DIMS, "%d dims", dims);
  i32 shape[DYNAMIC_MAX_DIMS];
  for (int i = 0; i < dims; i++) shape[i] = repeats[i] * (i < (int)bottom.dims ? bottom.shape[i] : 1);
  const u32 dt = bottom.dtype;
  const int format = is_4byte(dt) ? 0 : dt == DSIZE_16 ? 1 : 2;
  if (!is_null_tensor(&bottom))
    nodechip_broadcast_like(bottom.addr, rec.scratch + ctx->neuron_base, out.addr, in_shape, (int)bottom.dims,
                            like_shape, (int)like.dims, lhs, rhs, rec.axis_num, format,
                            (int)ctx->middle_value->intensor_store_mode, (int)ctx->middle_value->outtensor_store_mode,
                            node);
  set_output(ctx, &out, shape, (u32)dims, bottom.dtype);
}

// ---- Joining and splitting ----

void dynamic_glb_concat_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  concat_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 input_num = rec.input_num;
  const u32 info_len = dynamic_context_read_u32(ctx) & 0xffffff;
  ASSERT_FS((unsigned int)info_len == input_num * sizeof(fw_concat_input_info_t));
  ASSERT(input_num > 0, "concat of no input");
  fw_concat_input_info_t *infos = (fw_concat_input_info_t *)malloc(info_len);
  int *in_place = (int *)malloc(input_num * sizeof(int));
  u64 *addrs = (u64 *)malloc(input_num * sizeof(u64));
  int *shapes = (int *)malloc(input_num * DYNAMIC_MAX_DIMS * sizeof(int));
  ASSERT(infos != nullptr && in_place != nullptr && addrs != nullptr && shapes != nullptr);
  dynamic_context_read_bytes(ctx, infos, info_len);
  const int axis = rec.axis;
  int dims = 0, out_shape[DYNAMIC_MAX_DIMS] = {0};
  u32 dtype = 0;
  for (u32 k = 0; k < input_num; k++) {
    int *s = &shapes[k * DYNAMIC_MAX_DIMS];
    dynamic_tensor_info_t in;
    memset(&in, 0, sizeof(in));
    in_place[k] = infos[k].in_place;
    if (infos[k].is_coeff) {
      addrs[k] = dynamic_context_unpack_coeff_addr(ctx);
      if (k == 0) dims = rec.dims;
    } else {
      unpack_in(ctx, &in);
      addrs[k] = in.addr;
      dtype = in.dtype;
      if (k == 0) dims = (int)in.dims;
      // Every neuron input must have the output's dims.
      ASSERT(in.dims == (u32)dims, "input %u has %u dims, input 0 %d", (unsigned)k, (unsigned)in.dims, dims);
    }
    ASSERT(dims >= 1 && dims <= DYNAMIC_MAX_DIMS && axis < dims, "axis %d of %d dims", axis, dims);
    for (int i = 0; i < DYNAMIC_MAX_DIMS; i++) {
      if (i >= dims)
        s[i] = 1;
      else if (i == axis)
        s[i] = infos[k].is_coeff ? (int)infos[k].extent : (int)in.shape[i];
      else
        s[i] = infos[k].is_coeff ? (int)rec.shape[i] : (int)in.shape[i];
    }
    for (int i = 0; i < dims; i++) {
      if (i == axis) {
        out_shape[i] += s[i];
      } else {
        // The inputs must agree outside the axis, or the copies overrun.
        ASSERT(k == 0 || s[i] == out_shape[i], "input %u extent %d at dim %d, others %d", (unsigned)k, s[i], i,
               out_shape[i]);
        out_shape[i] = s[i];
      }
    }
  }
  dynamic_tensor_info_t out;
  unpack_out(ctx, &out);
  if (is_4byte(ctx->middle_value->data_size))
    nodechip_concat_md(axis, dims, (int)input_num, addrs, out.addr, shapes, out_shape, in_place, node);
  else
    nodechip_concat_md_fix8b(axis, dims, (int)input_num, addrs, out.addr, shapes, out_shape, in_place, node);
  free(infos);
  free(in_place);
  free(addrs);
  free(shapes);
  i32 shape[DYNAMIC_MAX_DIMS];
  for (int i = 0; i < dims; i++) shape[i] = out_shape[i];
  set_output(ctx, &out, shape, (u32)dims, dtype);
}

void dynamic_glb_split_tf_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  split_tf_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom;
  unpack_in(ctx, &bottom);
  const i32 split_num = rec.split_num;
  ASSERT_FS(split_num <= 8);
  // Equal parts need a positive count (it divides the extent); sizes need at
  // least one part.
  ASSERT(split_num >= 1 && (split_num > 1 || (rec.split_sizes[0] > 0 && rec.split_sizes[0] <= 0xffff)),
         "split_num %d, first size %d", (int)split_num, (int)rec.split_sizes[0]);
  const i32 parts = split_num == 1 ? rec.split_sizes[0] : split_num;
  u64 *addrs = (u64 *)malloc((u32)parts * sizeof(u64));
  dynamic_tensor_info_t *outs = (dynamic_tensor_info_t *)malloc((u32)parts * sizeof(dynamic_tensor_info_t));
  ASSERT(addrs != nullptr && outs != nullptr);
  for (i32 i = 0; i < parts; i++) {
    unpack_out(ctx, &outs[i]);
    addrs[i] = outs[i].addr;
  }
  i32 split_axis = rec.split_axis;
  if (split_axis < 0) split_axis += (i32)bottom.dims;
  ASSERT_FS(split_axis >= 0 && split_axis < bottom.dims);
  const i32 extent = bottom.shape[split_axis];
  int sizes[8];
  for (int i = 0; i < 8; i++) sizes[i] = (int)rec.split_sizes[i];
  if (split_num > 1) {
    int negative = -1;
    i64 known = 0;
    for (int i = 0; i < split_num; i++) {
      if (sizes[i] < 0) negative = i;
    }
    for (int i = 0; i < split_num; i++)
      if (i != negative) known += sizes[i];
    if (negative >= 0) sizes[negative] = (int)(extent - known);
    i64 sum = 0;
    for (int i = 0; i < split_num; i++) {
      ASSERT(sizes[i] >= 0, "part %d of size %d", i, sizes[i]);
      sum += sizes[i];
    }
    ASSERT(sum <= extent, "parts of %d along an extent of %d", (int)sum, (int)extent);
  }
  int in_shape[DYNAMIC_MAX_DIMS];
  to_int(bottom.shape, (int)bottom.dims, in_shape);
  const u32 data_size = ctx->middle_value->data_size;
  if (!is_null_tensor(&bottom)) {
    if (is_4byte(data_size)) {
      nodechip_split_tf_md(bottom.addr, addrs, (int)bottom.dims, in_shape, split_axis, sizes, split_num, node);
    } else if (data_size == DSIZE_8) {
      ASSERT_FS(bottom.dims <= 4);
      const u64 scratch = rec.scratch + ctx->neuron_base;
      u64 n = (u64)bottom.shape[0];
      if (ctx->middle_value->intensor_store_mode == FW_STORE_MODE_4N) n = (n + 3) / 4 * 4;
      u64 rest = 1;
      for (u32 i = 1; i < bottom.dims; i++) rest *= (u64)bottom.shape[i];
      nodechip_split_tf_fix8b(bottom.addr, scratch, scratch + n * rest, nullptr, in_shape, (int)bottom.dims,
                              (int)ctx->middle_value->intensor_store_mode,
                              (int)ctx->middle_value->outtensor_store_mode, split_axis, sizes, split_num, addrs, node);
    } else {
      ASSERT_FS(0, "not support dtype=%d", (int)data_size);
    }
  }
  for (i32 i = 0; i < parts; i++) {
    i32 shape[DYNAMIC_MAX_DIMS];
    for (u32 d = 0; d < bottom.dims; d++) shape[d] = bottom.shape[d];
    shape[split_axis] = split_num == 1 ? extent / parts : sizes[i];
    outs[i].shape = shape;
    outs[i].dims = bottom.dims;
    outs[i].dtype = bottom.dtype;
    outs[i].elem_num = 0;
    dynamic_context_global_set_output_info(ctx, &outs[i]);
  }
  free(addrs);
  free(outs);
}

// ---- Rearranging ----

void dynamic_glb_transpose_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  transpose_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  const int dims = (int)bottom.dims;
  int order[DYNAMIC_MAX_DIMS];
  if (rec.order_from_tensor) {
    dynamic_tensor_info_t t;
    unpack_shape_in(ctx, &t);
    const i32 *v = shape_values(&t, (u64)dims);
    for (int i = 0; i < dims; i++) order[i] = (int)v[i];
  } else {
    for (int i = 0; i < dims; i++) order[i] = rec.order[i];
  }
  unpack_out(ctx, &out);
  // The order must be a permutation of the input's dims.
  int used = 0;
  for (int i = 0; i < dims; i++) {
    ASSERT(order[i] >= 0 && order[i] < dims && !(used >> order[i] & 1), "order[%d] = %d of %d dims", i, order[i],
           dims);
    used |= 1 << order[i];
  }
  i32 shape[DYNAMIC_MAX_DIMS];
  int in_shape[DYNAMIC_MAX_DIMS];
  to_int(bottom.shape, dims, in_shape);
  for (int i = 0; i < dims; i++) shape[i] = bottom.shape[order[i]];
  if (!is_null_tensor(&bottom)) {
    const u64 scratch = rec.scratch + ctx->neuron_base;
    if (is_4byte(ctx->middle_value->data_size))
      nodechip_transpose(bottom.addr, out.addr, in_shape, order, dims, 4, (int)ctx->middle_value->intensor_store_mode,
                         scratch, nullptr, node);
    else
      nodechip_transpose_fix8b(bottom.addr, out.addr, in_shape, order, dims, (int)ctx->middle_value->intensor_store_mode,
                               (int)ctx->middle_value->outtensor_store_mode, scratch, nullptr, node);
  }
  set_output(ctx, &out, shape, (u32)dims, bottom.dtype);
}

void dynamic_glb_permute_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  dynamic_glb_transpose_layer_ctrl(ctx, node);
}

// Block and pads (crops) of space2batch / batch2space: from the record or
// from shape tensors, block first.
static void space_batch_args(dynamic_context_t *ctx, const space_batch_param_t *rec, int block[2], int pads[4]) {
  for (int i = 0; i < 2; i++) block[i] = (int)rec->block_shape[i];
  for (int i = 0; i < 4; i++) pads[i] = (int)rec->pads[i];
  if (rec->block_from_tensor) {
    dynamic_tensor_info_t t;
    unpack_shape_in(ctx, &t);
    const i32 *v = shape_values(&t, 2);
    for (int i = 0; i < 2; i++) block[i] = (int)v[i];
  }
  if (rec->pads_from_tensor) {
    dynamic_tensor_info_t t;
    unpack_shape_in(ctx, &t);
    const i32 *v = shape_values(&t, 4);
    for (int i = 0; i < 4; i++) pads[i] = (int)v[i];
  }
  ASSERT(block[0] > 0 && block[1] > 0, "block %d x %d", block[0], block[1]);
}

void dynamic_glb_space2batch_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  space_batch_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  ASSERT(bottom.dims == 4);
  int block[2], pads[4];
  space_batch_args(ctx, &rec, block, pads);
  unpack_out(ctx, &out);
  int in_shape[4], out_shape[4];
  to_int(bottom.shape, 4, in_shape);
  // The kernels step through the padded image in whole blocks: a padded
  // extent that the block does not divide would be read with the wrong row
  // stride (and the 8-bit one into 4N would write past its output).
  ASSERT((in_shape[2] + pads[0] + pads[1]) % block[0] == 0 && (in_shape[3] + pads[2] + pads[3]) % block[1] == 0,
         "padded %d x %d by a block of %d x %d", in_shape[2] + pads[0] + pads[1], in_shape[3] + pads[2] + pads[3],
         block[0], block[1]);
  // The shape the kernel writes, worked out here too for a null input.
  out_shape[0] = in_shape[0] * block[0] * block[1];
  out_shape[1] = in_shape[1];
  out_shape[2] = (in_shape[2] + pads[0] + pads[1]) / block[0];
  out_shape[3] = (in_shape[3] + pads[2] + pads[3]) / block[1];
  if (!is_null_tensor(&bottom)) {
    const u64 scratch = rec.scratch + ctx->neuron_base;
    if (is_4byte(ctx->middle_value->data_size))
      nodechip_space2batch(bottom.addr, out.addr, scratch, in_shape, 4, block, pads, out_shape, node);
    else
      nodechip_space2batch_fix8b(bottom.addr, out.addr, scratch, nullptr, in_shape, 4,
                                 (int)ctx->middle_value->intensor_store_mode,
                                 (int)ctx->middle_value->outtensor_store_mode, block, pads, out_shape, node);
  }
  i32 shape[4];
  for (int i = 0; i < 4; i++) shape[i] = out_shape[i];
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

void dynamic_glb_batch2space_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  space_batch_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  ASSERT(bottom.dims == 4);
  int block[2], crops[4];
  space_batch_args(ctx, &rec, block, crops);
  unpack_out(ctx, &out);
  int in_shape[4], out_shape[4];
  to_int(bottom.shape, 4, in_shape);
  const int bh = block[0], bw = block[1];
  out_shape[0] = in_shape[0] / (bh * bw);
  out_shape[1] = in_shape[1];
  out_shape[2] = in_shape[2] * bh - crops[0] - crops[1];
  out_shape[3] = in_shape[3] * bw - crops[2] - crops[3];
  if (!is_null_tensor(&bottom)) {
    const u64 scratch = rec.scratch + ctx->neuron_base;
    if (is_4byte(ctx->middle_value->data_size)) {
      nodechip_batch2space(bottom.addr, out.addr, scratch, in_shape, 4, block, crops, out_shape, node);
    } else {
      const u32 in_mode = ctx->middle_value->intensor_store_mode, out_mode = ctx->middle_value->outtensor_store_mode;
      u64 n_in = (u64)in_shape[0], n_out = (u64)(in_shape[0] / (bh * bw));
      if (in_mode != FW_STORE_MODE_1N) n_in = (n_in + 3) / 4 * 4;
      if (out_mode != FW_STORE_MODE_1N) n_out = (n_out + 3) / 4 * 4;
      const u64 plane = (u64)in_shape[1] * (u64)in_shape[2] * (u64)in_shape[3];
      const u64 size_in = n_in * plane, size_out = n_out * plane * (u64)bh * (u64)bw;
      const int cropped = crops[0] + crops[1] != 0 || crops[2] + crops[3] != 0;
      const int out4 = out_mode == FW_STORE_MODE_4N;
      int second = 0;
      if (in_mode == FW_STORE_MODE_4N) second = cropped || out4;
      if (in_mode == FW_STORE_MODE_1N) second = cropped && out4;
      const u64 scratch2 = second ? scratch + (size_in > size_out ? size_in : size_out) : 0;
      nodechip_batch2space_fix8b(bottom.addr, out.addr, scratch, scratch2, nullptr, in_shape, 4, (int)in_mode,
                                 (int)out_mode, block, crops, out_shape, node);
    }
  }
  i32 shape[4];
  for (int i = 0; i < 4; i++) shape[i] = out_shape[i];
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

void dynamic_glb_depth2space_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  depth2space_param_t rec;
  memset(&rec, 0, sizeof(rec));
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT(length <= sizeof(rec), "record of %u bytes, at most %u", (unsigned)length, (unsigned)sizeof(rec));
  dynamic_context_read_bytes(ctx, &rec, length);
  if (length <= 23) rec.out_channel_first = rec.in_channel_first;
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  memset(&out, 0, sizeof(out));
  dynamic_context_unpack_neuron_tensor(ctx, &out, 0);
  ASSERT(bottom.dims == 4, "depth2space of %u dims", (unsigned)bottom.dims);
  const int bh = (int)rec.block_shape[0], bw = (int)rec.block_shape[1];
  ASSERT(bh > 0 && bw > 0, "block %d x %d", bh, bw);
  const int N = (int)bottom.shape[0];
  const int C = (int)(rec.in_channel_first ? bottom.shape[1] : bottom.shape[3]);
  const int H = (int)(rec.in_channel_first ? bottom.shape[2] : bottom.shape[1]);
  const int W = (int)(rec.in_channel_first ? bottom.shape[3] : bottom.shape[2]);
  int C2, H2, W2;
  if (!rec.is_inversed) {
    C2 = C / (bh * bw);
    H2 = H * bh;
    W2 = W * bw;
  } else {
    C2 = C * bh * bw;
    H2 = H / bh;
    W2 = W / bw;
  }
  i32 shape[4];
  shape[0] = N;
  if (rec.out_channel_first) {
    shape[1] = C2;
    shape[2] = H2;
    shape[3] = W2;
  } else {
    shape[1] = H2;
    shape[2] = W2;
    shape[3] = C2;
  }
  if (!is_null_tensor(&bottom)) {
    int in_shape[4];
    to_int(bottom.shape, 4, in_shape);
    const int is8 = bottom.dtype == DSIZE_8;
    const int one_n = ctx->middle_value->intensor_store_mode == FW_STORE_MODE_1N;
    const int out_one_n = ctx->middle_value->outtensor_store_mode == FW_STORE_MODE_1N;
    // 8-bit data moves as bytes (1N) or as 4-item words (4N), the output in
    // the input's store mode; into the other mode it goes through the host's
    // scratch buffer and one transfer.
    const int convert = is8 && one_n != out_one_n;
    const u64 target = convert ? ctx->scratch_addr : out.addr;
    if (convert)
      ASSERT(ctx->scratch_addr != 0, "8-bit depth2space from store mode %u to %u needs the scratch buffer",
             (unsigned)ctx->middle_value->intensor_store_mode, (unsigned)ctx->middle_value->outtensor_store_mode);
    if (is8 && !one_n) in_shape[0] = (in_shape[0] + 3) / 4;
    const int block[2] = {bh, bw};
    nodechip_depth2space(bottom.addr, target, in_shape, 4, block, rec.in_channel_first, rec.out_channel_first,
                         rec.is_inversed, is8 && one_n ? 2 : 0, node);
    if (convert) {
      const int item = shape[1] * shape[2] * shape[3];
      if (one_n)
        gdma_move_global_1N_and_4N(target, out.addr, N, item, 1, node);
      else
        gdma_move_global_1N_and_4N(out.addr, target, N, item, 0, node);
    }
  }
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

// The 8-bit reorg kernel reads and writes 4N words only: a 1N side goes
// through the host's scratch buffer, converted by one transfer (the input
// before the kernel, the output after it).
static void reorg_fix8b_any_store_mode(dynamic_context_t *ctx, u64 input, u64 output, const int *in_shape,
                                       const int *out_shape, cmd_id_node_t *node) {
  const int in_one_n = ctx->middle_value->intensor_store_mode == FW_STORE_MODE_1N;
  const int out_one_n = ctx->middle_value->outtensor_store_mode == FW_STORE_MODE_1N;
  const int N = in_shape[0];
  const int in_item = in_shape[1] * in_shape[2] * in_shape[3];
  const int out_item = out_shape[1] * out_shape[2] * out_shape[3];
  const u64 words = (u64)((N + 3) / 4) * 4;  // items of a 4N copy
  if (in_one_n || out_one_n)
    ASSERT(ctx->scratch_addr != 0, "8-bit reorg from store mode %u to %u needs the scratch buffer",
           (unsigned)ctx->middle_value->intensor_store_mode, (unsigned)ctx->middle_value->outtensor_store_mode);
  u64 src = input, dst = output;
  if (in_one_n) {
    src = ctx->scratch_addr;
    gdma_move_global_1N_and_4N(input, src, N, in_item, 1, node);
  }
  if (out_one_n) dst = ctx->scratch_addr + (in_one_n ? words * (u64)in_item : 0);
  nodechip_reorg_forward_fix8b(src, dst, in_shape, out_shape, 0, node);
  if (out_one_n) gdma_move_global_1N_and_4N(output, dst, N, out_item, 0, node);
}

void dynamic_glb_reorg_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  reorg_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  unpack_out(ctx, &out);
  const int s = (int)rec.stride;
  ASSERT(s > 0 && bottom.dims == 4, "reorg stride %d of %u dims", s, (unsigned)bottom.dims);
  int in_shape[4], out_shape[4];
  to_int(bottom.shape, 4, in_shape);
  out_shape[0] = in_shape[0];
  if (rec.reverse) {
    out_shape[1] = in_shape[1] / (s * s);
    out_shape[2] = in_shape[2] * s;
    out_shape[3] = in_shape[3] * s;
  } else {
    out_shape[1] = in_shape[1] * s * s;
    out_shape[2] = in_shape[2] / s;
    out_shape[3] = in_shape[3] / s;
  }
  if (!is_null_tensor(&bottom)) {
    if (is_4byte(bottom.dtype))
      nodechip_reorg_forward_v2(bottom.addr, out.addr, rec.scratch + ctx->neuron_base, in_shape, 4, s, s, rec.reverse,
                                node);
    else if (bottom.dtype == DSIZE_8)
      reorg_fix8b_any_store_mode(ctx, bottom.addr, out.addr, in_shape, out_shape, node);
    else
      ASSERT_FS(0, "not supported dtype=%d", (int)bottom.dtype);
  }
  i32 shape[4];
  for (int i = 0; i < 4; i++) shape[i] = out_shape[i];
  set_output(ctx, &out, shape, 4, bottom.dtype);
}

void dynamic_glb_reverse_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  reverse_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  unpack_out(ctx, &out);
  const int dims = (int)bottom.dims;
  ASSERT(rec.axis >= -dims && rec.axis < dims, "axis %d of %d dims", (int)rec.axis, dims);
  if (!is_null_tensor(&bottom)) {
    int in_shape[DYNAMIC_MAX_DIMS];
    to_int(bottom.shape, dims, in_shape);
    nodechip_reverse_forward_v2(bottom.addr, out.addr, in_shape, dims, (int)rec.axis, node);
  }
  set_output(ctx, &out, bottom.shape, bottom.dims, bottom.dtype);
}

// ---- Data without an input tensor ----

void dynamic_glb_embedding_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  embedding_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t count_t, out;
  unpack_shape_in(ctx, &count_t);
  const u64 table = dynamic_context_unpack_coeff_addr(ctx);
  unpack_out(ctx, &out);
  const i32 count = shape_values(&count_t, 1)[0];
  ASSERT(count >= 0, "embedding of %d values", (int)count);
  nodechip_embedding(table, out.addr, (int)count, (int)rec.word, node);
  const i32 shape[1] = {count};
  set_output(ctx, &out, shape, 1, DSIZE_FP32);
}

void dynamic_glb_coeff2neuron_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  coeff2neuron_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u64 addr = dynamic_context_unpack_coeff_addr(ctx);
  dynamic_tensor_info_t out;
  unpack_out(ctx, &out);
  ASSERT(rec.dims <= DYNAMIC_MAX_DIMS, "%u dims", (unsigned)rec.dims);
  out.addr = addr;
  set_output(ctx, &out, rec.shape, rec.dims, rec.dtype);
}


void dynamic_glb_constant_fill_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  constant_fill_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 type_len = rec.type_len;
  dynamic_tensor_info_t shape_t, out;
  unpack_shape_in(ctx, &shape_t);
  unpack_out(ctx, &out);
  const i32 dims = shape_t.dims >= 1 ? shape_t.shape[0] : 0;
  ASSERT(dims >= 0 && dims <= DYNAMIC_MAX_DIMS, "a shape of %d dims", (int)dims);
  const i32 *v = shape_values(&shape_t, (u64)dims);
  i32 shape[DYNAMIC_MAX_DIMS];
  u64 count = 1;
  for (i32 i = 0; i < dims; i++) {
    // A negative extent has no element count.
    ASSERT(v[i] >= 0, "extent %d at dim %d", (int)v[i], (int)i);
    shape[i] = v[i];
    count *= (u64)v[i];
  }
  ASSERT_FS(type_len == 4);
  if (count != 0) {
    ASSERT(count <= 0x7fffffffull, "fill of %u x 2^32 words", (unsigned)(count >> 32));
    nodechip_memset(out.addr, 1, 1, 1, (int)count, (int)count, (int)count, (int)count, rec.value, node);
  }
  set_output(ctx, &out, shape, (u32)dims, rec.dtype);
}

void dynamic_glb_shape_map_fill(dynamic_global_ctrl_t *map) {
  dynamic_glb_shape_tensor_map_fill(map);
  map[DYNAMIC_LAYER_RESHAPE] = dynamic_glb_reshape_layer_ctrl;
  map[DYNAMIC_LAYER_CROP] = dynamic_glb_crop_layer_ctrl;
  map[DYNAMIC_LAYER_PAD] = dynamic_glb_pad_layer_ctrl;
  map[DYNAMIC_LAYER_EXPAND_DIMS] = dynamic_glb_expand_dims_layer_ctrl;
  map[DYNAMIC_LAYER_SQUEEZE] = dynamic_glb_squeeze_layer_ctrl;
  map[DYNAMIC_LAYER_REF_PAD] = dynamic_glb_ref_pad_layer_ctrl;
  map[DYNAMIC_LAYER_REF_CROP] = dynamic_glb_ref_crop_layer_ctrl;
  map[DYNAMIC_LAYER_STRIDE_SLICE] = dynamic_glb_stride_slice_layer_ctrl;
  map[DYNAMIC_LAYER_CONSTANT_FILL] = dynamic_glb_constant_fill_layer_ctrl;
  map[DYNAMIC_LAYER_SIMPLE_CROP] = dynamic_glb_simple_crop_layer_ctrl;
  map[DYNAMIC_LAYER_SLICELIKE] = dynamic_glb_slicelike_layer_ctrl;
  map[DYNAMIC_LAYER_SLICE] = dynamic_glb_slice_layer_ctrl;
  map[DYNAMIC_LAYER_CONCAT] = dynamic_glb_concat_layer_ctrl;
  map[DYNAMIC_LAYER_PERMUTE] = dynamic_glb_permute_layer_ctrl;
  map[DYNAMIC_LAYER_REORG] = dynamic_glb_reorg_layer_ctrl;
  map[DYNAMIC_LAYER_TILE] = dynamic_glb_tile_layer_ctrl;
  map[DYNAMIC_LAYER_SPLIT_TF] = dynamic_glb_split_tf_layer_ctrl;
  map[DYNAMIC_LAYER_TRANSPOSE] = dynamic_glb_transpose_layer_ctrl;
  map[DYNAMIC_LAYER_SPACE2BATCH] = dynamic_glb_space2batch_layer_ctrl;
  map[DYNAMIC_LAYER_BATCH2SPACE] = dynamic_glb_batch2space_layer_ctrl;
  map[DYNAMIC_LAYER_EXPAND] = dynamic_glb_expand_layer_ctrl;
  map[DYNAMIC_LAYER_EMBEDDING] = dynamic_glb_embedding_layer_ctrl;
  map[DYNAMIC_LAYER_COEFF2NEURON] = dynamic_glb_coeff2neuron_layer_ctrl;
  map[DYNAMIC_LAYER_DEPTH2SPACE] = dynamic_glb_depth2space_layer_ctrl;
  map[DYNAMIC_LAYER_REVERSE] = dynamic_glb_reverse_layer_ctrl;
  map[DYNAMIC_LAYER_BROADCAST_LIKE] = dynamic_glb_broadcast_like_layer_ctrl;
}
