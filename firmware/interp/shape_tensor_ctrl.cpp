// Shape-tensor controllers: shape tensors are created and transformed on the
// ARM; every output's value block goes to the tensor table with the output.
#include "interp/shape_tensor_ctrl.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/gdma.h"
#include "interp/glb_shape_ctrl.h"
#include "interp/layer_records.h"
#include "interp/shape_arith.h"
#include "interp/tensor_array.h"
#include "layers/eltwise/binary.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/services.h"

// Assertion conditions are written as the texts they print, some comparing a
// signed value with an unsigned count after checking it is not negative.
#pragma GCC diagnostic ignored "-Wsign-compare"

// ---- Helpers ----

// A layer type without a record: its length word must be 0.
static void read_no_record(dynamic_context_t *ctx) {
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT_FS(length == 0);
}

// A value block of `count` 32-bit values (at least one word), copied from
// `values` when given.
static void *new_values(const void *values, u64 count) {
  ASSERT(count <= 0x3fffffffull, "%u values", (unsigned)(count > 0xffffffffull ? 0xffffffffu : count));
  void *p = malloc(count > 0 ? (size_t)count * 4 : 4);
  ASSERT(p != nullptr, "no heap for %u values", (unsigned)count);
  if (values != nullptr && count > 0) memcpy(p, values, (size_t)count * 4);
  return p;
}

static u64 count_of(const i32 *shape, u32 dims) {
  u64 n = 1;
  for (u32 i = 0; i < dims; i++) n *= shape[i] > 0 ? (u64)shape[i] : 0;
  return n;
}

// The values of an input shape tensor, which must hold `need` of them.
static const i32 *values_of(const dynamic_tensor_info_t *t, u64 need) {
  ASSERT(t->dims <= DYNAMIC_MAX_DIMS, "tensor %u has %u dims", (unsigned)t->id, (unsigned)t->dims);
  const u64 have = count_of(t->shape, t->dims);
  ASSERT(have >= need && (have == 0 || t->host_data != nullptr), "tensor %u holds %u values, %u needed",
         (unsigned)t->id, (unsigned)have, (unsigned)need);
  return (const i32 *)t->host_data;
}

// A scalar read from a shape tensor as an integer (float values truncated).
static i32 first_int(const dynamic_tensor_info_t *t) {
  const i32 *v = values_of(t, 1);
  if (t->dtype == DSIZE_FP32) {
    float f;
    memcpy(&f, v, 4);
    return (i32)f;
  }
  return v[0];
}

// Registers a shape-tensor output with its values and shape.
static void set_shape_output(dynamic_context_t *ctx, dynamic_tensor_info_t *out, void *values, const i32 *shape,
                             u32 dims, u32 dtype) {
  out->host_data = values;
  out->shape = (i32 *)shape;
  out->dims = dims;
  out->dtype = dtype;
  out->elem_num = 0;
  dynamic_context_global_set_output_info(ctx, out);
}

static void unpack_in(dynamic_context_t *ctx, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  dynamic_context_unpack_shape_tensor(ctx, t, 0);
}
static void unpack_out(dynamic_context_t *ctx, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  dynamic_context_unpack_shape_tensor(ctx, t, 1);
}

// ---- Controllers ----

void dynamic_glb_shape_const_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_const_param_t rec;
  memset(&rec, 0, sizeof(rec));
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT(length <= sizeof(rec), "record of %u bytes, at most %u", (unsigned)length, (unsigned)sizeof(rec));
  dynamic_context_read_bytes(ctx, &rec, length);
  i32 shape[DYNAMIC_MAX_DIMS] = {0};
  u32 dims;
  void *values;
  if (rec.values_follow) {
    dims = rec.count_or_dims;
    ASSERT(dims <= DYNAMIC_MAX_DIMS, "%u dims", (unsigned)dims);
    memcpy(shape, rec.shape_or_values, dims * 4);
    const u32 info_len = (dynamic_context_read_u32(ctx) >> 2) & 0x3fffff;
    ASSERT_FS(info_len > 0);
    // The block must cover the shape, or later readers would run past it.
    ASSERT(info_len >= count_of(shape, dims), "%u values for a shape of %u", (unsigned)info_len,
           (unsigned)count_of(shape, dims));
    values = new_values(nullptr, info_len);
    dynamic_context_read_bytes(ctx, values, info_len * 4);
  } else {
    ASSERT(rec.count_or_dims <= 8, "%u values in the record", (unsigned)rec.count_or_dims);
    dims = 1;
    shape[0] = (i32)rec.count_or_dims;
    values = new_values(rec.shape_or_values, rec.count_or_dims);
  }
  dynamic_context_read_u32(ctx);  // a shape reference the layer does not use
  dynamic_tensor_info_t out;
  unpack_out(ctx, &out);
  set_shape_output(ctx, &out, values, shape, dims, length == sizeof(rec) ? rec.dtype : (u32)DSIZE_INT32);
}

// The input of shape_ref and rank: a shape tensor or a neuron tensor.
static void unpack_any(dynamic_context_t *ctx, u32 input_is_shape, dynamic_tensor_info_t *t) {
  memset(t, 0, sizeof(*t));
  if (input_is_shape)
    dynamic_context_unpack_shape_tensor(ctx, t, 0);
  else
    dynamic_context_unpack_neuron_tensor(ctx, t, 0);
  ASSERT(t->dims <= DYNAMIC_MAX_DIMS, "tensor %u has %u dims", (unsigned)t->id, (unsigned)t->dims);
}

void dynamic_glb_shape_ref_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_ref_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_any(ctx, rec.input_is_shape, &in);
  unpack_out(ctx, &out);
  const i32 shape[1] = {(i32)in.dims};
  set_shape_output(ctx, &out, in.dims > 0 ? new_values(in.shape, in.dims) : nullptr, shape, 1, DSIZE_INT32);
}

void dynamic_glb_rank_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_ref_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_any(ctx, rec.input_is_shape, &in);
  unpack_out(ctx, &out);
  const i32 rank = (i32)in.dims;
  set_shape_output(ctx, &out, new_values(&rank, 1), nullptr, 0, DSIZE_INT32);
}

void dynamic_glb_shape_op_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_op_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t a, b, out;
  unpack_in(ctx, &a);
  unpack_in(ctx, &b);
  unpack_out(ctx, &out);
  const i32 *av = values_of(&a, count_of(a.shape, a.dims));
  const i32 *bv = values_of(&b, count_of(b.shape, b.dims));
  void *values = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = broadcast_data(av, a.shape, (int)a.dims, bv, b.shape, (int)b.dims, (int)a.dtype, rec.binary_op,
                                  &values, shape);
  set_shape_output(ctx, &out, values, shape, (u32)dims,
                   is_logical_binary_op(rec.binary_op) ? logical_dtype() : a.dtype);
}

void dynamic_glb_shape_slice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_slice_param_t param;
  dynamic_context_read_record(ctx, &param, sizeof(param));
  const shape_slice_param_t *layer_param = &param;
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  const i32 *begin = layer_param->begin, *end = layer_param->end, *stride = layer_param->stride;
  ASSERT(layer_param->shape_size >= 0 && layer_param->shape_size <= 8, "shape_size %d",
         (int)layer_param->shape_size);
  if (layer_param->from_tensors) {
    dynamic_tensor_info_t begin_tensor, end_tensor, stride_tensor;
    unpack_in(ctx, &begin_tensor);
    unpack_in(ctx, &end_tensor);
    unpack_in(ctx, &stride_tensor);
    ASSERT_FS(begin_tensor.shape[0] == layer_param->shape_size);
    ASSERT_FS(end_tensor.shape[0] == layer_param->shape_size);
    ASSERT_FS(stride_tensor.shape[0] == layer_param->shape_size);
    begin = values_of(&begin_tensor, (u64)layer_param->shape_size);
    end = values_of(&end_tensor, (u64)layer_param->shape_size);
    stride = values_of(&stride_tensor, (u64)layer_param->shape_size);
  }
  unpack_out(ctx, &out);
  const i32 *in_values = values_of(&bottom, count_of(bottom.shape, bottom.dims));
  void *values = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  int dims;
  if (layer_param->stride_1d != 0) {
    ASSERT_FS(bottom.dims == 1);
    const i32 b = layer_param->begin_1d, e = layer_param->end_1d, s = layer_param->stride_1d;
    dims = slice_data(in_values, bottom.shape, 1, &b, &s, &e, 1, 0, 0, 0, 0, 0, &values, shape);
  } else {
    dims = slice_data(in_values, bottom.shape, (int)bottom.dims, begin, stride, end, layer_param->shape_size,
                      layer_param->begin_mask, layer_param->end_mask, layer_param->ellipsis_mask,
                      layer_param->new_axis_mask, layer_param->shrink_axis_mask, &values, shape);
  }
  set_shape_output(ctx, &out, values, shape, (u32)dims, bottom.dtype);
}

void dynamic_glb_shape_pack_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_pack_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  ASSERT(rec.input_num > 0 && rec.input_num <= 0xffff, "%u inputs", (unsigned)rec.input_num);
  const void **values = (const void **)malloc(rec.input_num * sizeof(void *));
  const i32 **shapes = (const i32 **)malloc(rec.input_num * sizeof(i32 *));
  int *dims = (int *)malloc(rec.input_num * sizeof(int));
  ASSERT(values != nullptr && shapes != nullptr && dims != nullptr);
  u32 dtype = DSIZE_INT32;
  for (u32 k = 0; k < rec.input_num; k++) {
    dynamic_tensor_info_t in;
    unpack_in(ctx, &in);
    values[k] = values_of(&in, count_of(in.shape, in.dims));
    shapes[k] = in.shape;
    dims[k] = (int)in.dims;
    dtype = in.dtype;
  }
  dynamic_tensor_info_t out;
  unpack_out(ctx, &out);
  void *result = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  const int out_dims = concat_data(values, shapes, dims, (int)rec.input_num, rec.axis, &result, shape);
  free(values);
  free(shapes);
  free(dims);
  set_shape_output(ctx, &out, result, shape, (u32)out_dims, dtype);
}

void dynamic_glb_shape_assign_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_no_record(ctx);
  dynamic_tensor_info_t in, pattern, out;
  memset(&in, 0, sizeof(in));
  memset(&out, 0, sizeof(out));
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  unpack_in(ctx, &pattern);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  ASSERT(pattern.dims >= 1 && pattern.shape[0] >= 0 && pattern.shape[0] <= RESHAPE_PATTERN_MAX, "pattern of %d entries",
         pattern.dims >= 1 ? (int)pattern.shape[0] : -1);
  const i32 *values = values_of(&pattern, (u64)pattern.shape[0]);
  dynamic_reshape_helper(ctx, &in, &out, values, pattern.shape[0], ctx->middle_value->intensor_store_mode,
                         ctx->middle_value->outtensor_store_mode, node);
}

void dynamic_glb_shape_reorder_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_reorder_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom, out;
  unpack_in(ctx, &bottom);
  unpack_out(ctx, &out);
  ASSERT_FS(bottom.dims == 1);
  const i32 n = bottom.shape[0];
  ASSERT(n >= 0 && n <= 8, "%d values to reorder, at most 8", (int)n);
  const i32 *in = values_of(&bottom, (u64)n);
  i32 *values = (i32 *)new_values(nullptr, (u64)n);
  for (i32 i = 0; i < n; i++) {
    // An order entry past the values would read beyond them.
    ASSERT(rec.order[i] < n, "order[%d] = %u of %d values", (int)i, (unsigned)rec.order[i], (int)n);
    values[i] = in[rec.order[i]];
  }
  set_shape_output(ctx, &out, values, bottom.shape, 1, bottom.dtype);
}

void dynamic_glb_shape_range_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  read_no_record(ctx);
  dynamic_tensor_info_t s, d, l, out;
  unpack_in(ctx, &s);
  unpack_in(ctx, &d);
  unpack_in(ctx, &l);
  unpack_out(ctx, &out);
  const i32 start = first_int(&s), delta = first_int(&d), limit = first_int(&l);
  // A step of 0 never reaches the limit.
  ASSERT(delta != 0, "range from %d to %d", (int)start, (int)limit);
  i64 count = 0;
  if (delta > 0 && limit > start) count = ((i64)limit - start + delta - 1) / delta;
  if (delta < 0 && limit < start) count = ((i64)start - limit - delta - 1) / -(i64)delta;
  i32 *values = count > 0 ? (i32 *)new_values(nullptr, (u64)count) : nullptr;
  for (i64 i = 0; i < count; i++) values[i] = (i32)(start + i * delta);
  const i32 shape[1] = {(i32)count};
  set_shape_output(ctx, &out, values, shape, 1, DSIZE_INT32);
}

void dynamic_glb_shape_tile_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_tile_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  const i32 *multiples = rec.multiples;
  if (rec.multiples_from_tensor) {
    dynamic_tensor_info_t coeff;
    unpack_in(ctx, &coeff);
    ASSERT_FS(coeff.host_data);
    multiples = values_of(&coeff, in.dims);
  }
  unpack_out(ctx, &out);
  void *values = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = tile_data(values_of(&in, count_of(in.shape, in.dims)), in.shape, (int)in.dims, multiples,
                             &values, shape);
  set_shape_output(ctx, &out, values, shape, (u32)dims, in.dtype);
}

void dynamic_glb_shape_reverse_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_reverse_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  void *values = nullptr;
  reverse_data(values_of(&in, count_of(in.shape, in.dims)), in.shape, (int)in.dims, rec.axis, &values);
  set_shape_output(ctx, &out, values, in.shape, in.dims, in.dtype);
}

void dynamic_glb_shape_expand_ndims_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_expand_ndims_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  // The new dims must go inside the shape and fit its eight slots.
  ASSERT(rec.axis >= 0 && rec.axis <= (i32)in.dims && rec.num >= 0 && (i64)in.dims + rec.num <= DYNAMIC_MAX_DIMS,
         "%d dims at %d of %u", (int)rec.num, (int)rec.axis, (unsigned)in.dims);
  i32 shape[DYNAMIC_MAX_DIMS];
  u32 o = 0;
  for (i32 i = 0; i < rec.axis; i++) shape[o++] = in.shape[i];
  for (i32 i = 0; i < rec.num; i++) shape[o++] = 1;
  for (u32 i = (u32)rec.axis; i < in.dims; i++) shape[o++] = in.shape[i];
  const u64 count = count_of(in.shape, in.dims);
  set_shape_output(ctx, &out, count > 0 ? new_values(values_of(&in, count), count) : nullptr, shape, o, in.dtype);
}

void dynamic_glb_shape_cast_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  shape_cast_param_t param;
  dynamic_context_read_record(ctx, &param, sizeof(param));
  const shape_cast_param_t *layer_param = &param;
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  memset(&out, 0, sizeof(out));
  if (layer_param->host_output)
    dynamic_context_unpack_shape_tensor(ctx, &out, 1);
  else
    dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  const u64 count = get_tensor_element_num(&in);
  const i32 *src = values_of(&in, count);
  void *buffer;
  if (layer_param->host_output) {
    ASSERT_FS(layer_param->dst_type == DSIZE_FP32 || layer_param->dst_type == DSIZE_INT32);
    buffer = assign_host_mem(src, in.shape, in.dims, nullptr);
  } else {
    // The conversions below write 32-bit values into the bridge, so a device
    // output of narrower elements would take the bridge's bytes unconverted.
    ASSERT(count == 0 || layer_param->dst_type == DSIZE_FP32 || layer_param->dst_type == DSIZE_INT32,
           "dst_type %u", (unsigned)layer_param->dst_type);
    // The values reach device memory through the DTCM bridge.
    const u64 byte_len = get_byte_len(count, layer_param->dst_type);
    buffer = hw_ptr((u32)__get_bridge_addr(ctx, byte_len), (u32)(byte_len > 0 ? byte_len : 4));
  }
  const int from_int = in.dtype == DSIZE_INT32, from_fp = in.dtype == DSIZE_FP32;
  for (u64 i = 0; i < count; i++) {
    i32 v;
    memcpy(&v, &src[i], 4);
    if (from_int && layer_param->dst_type == DSIZE_FP32) {
      const float f = (float)v;
      memcpy((u8 *)buffer + 4 * i, &f, 4);
    } else if (from_fp && layer_param->dst_type == DSIZE_INT32) {
      float f;
      memcpy(&f, &v, 4);
      const i32 t = (i32)f;
      memcpy((u8 *)buffer + 4 * i, &t, 4);
    } else if (in.dtype == layer_param->dst_type && !layer_param->host_output) {
      memcpy((u8 *)buffer + 4 * i, &v, 4);
    }
  }
  out.shape = in.shape;
  out.dims = in.dims;
  out.dtype = layer_param->dst_type;
  out.elem_num = 0;
  if (layer_param->host_output)
    out.host_data = buffer;
  else if (count > 0)
    memcpy_host_global(ctx, buffer, out.addr, count, layer_param->dst_type, 1, node);
  dynamic_context_global_set_output_info(ctx, &out);
}

void dynamic_glb_shape_reshape_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  read_no_record(ctx);
  dynamic_tensor_info_t in, pattern, out;
  unpack_in(ctx, &in);
  unpack_in(ctx, &pattern);
  unpack_out(ctx, &out);
  ASSERT(pattern.dims >= 1 && pattern.shape[0] >= 0 && pattern.shape[0] <= RESHAPE_PATTERN_MAX, "pattern of %d entries",
         pattern.dims >= 1 ? (int)pattern.shape[0] : -1);
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = __reshape_helper(in.shape, (int)in.dims, values_of(&pattern, (u64)pattern.shape[0]), pattern.shape[0],
                                    shape, 0);
  // A rounded-up inferred dim holds more values than the input: the rest is 0.
  const u64 in_count = count_of(in.shape, in.dims), out_count = count_of(shape, (u32)dims);
  void *values = nullptr;
  if (out_count > 0) {
    values = new_values(nullptr, out_count);
    memset(values, 0, (size_t)out_count * 4);
    const u64 n = in_count < out_count ? in_count : out_count;
    if (n > 0) memcpy(values, values_of(&in, in_count), (size_t)n * 4);
  }
  set_shape_output(ctx, &out, values, shape, (u32)dims, in.dtype);
}

void dynamic_glb_shape_reduce_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_reduce_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  ASSERT(rec.axis_num <= 8, "%d axes", (int)rec.axis_num);
  void *values = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = reduce_data(values_of(&in, count_of(in.shape, in.dims)), in.shape, (int)in.dims, (int)in.dtype,
                               rec.axes, rec.axis_num, rec.method, rec.keep_dims, &values, shape);
  set_shape_output(ctx, &out, values, shape, (u32)dims, in.dtype);
}

void dynamic_glb_shape_split_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_split_param_t param;
  dynamic_context_read_record(ctx, &param, sizeof(param));
  const i32 split_num = param.split_num;
  i32 split_axis = param.split_axis;
  dynamic_tensor_info_t in;
  unpack_in(ctx, &in);
  ASSERT_FS(split_num <= 8);
  if (split_axis < 0) split_axis += (i32)in.dims;
  ASSERT_FS(split_axis >= 0 && split_axis < in.dims);
  const i32 extent = in.shape[split_axis];
  i32 sizes[8];
  i32 parts = 0;
  if (split_num == 1) {
    // Equal parts: the count of parts must be positive (it divides the extent).
    parts = param.split_sizes[0];
    ASSERT(parts > 0 && parts <= 0xffff, "%d equal parts", (int)parts);
  } else if (split_num > 1) {
    parts = split_num;
    i32 rest = extent, negative = -1;
    for (i32 i = 0; i < parts; i++) {
      sizes[i] = param.split_sizes[i];
      if (sizes[i] < 0)
        negative = i;
      else
        rest -= sizes[i];
    }
    if (negative >= 0) {
      for (i32 i = 0; i < parts; i++)
        if (sizes[i] < 0 && i != negative) rest -= sizes[i];
      sizes[negative] = rest;
    }
    // Sizes that do not fit the extent would slice past the values.
    i64 sum = 0;
    for (i32 i = 0; i < parts; i++) {
      ASSERT(sizes[i] >= 0, "part %d of size %d", (int)i, (int)sizes[i]);
      sum += sizes[i];
    }
    ASSERT(sum <= extent, "parts of %d along an extent of %d", (int)sum, (int)extent);
  }
  const i32 *values = values_of(&in, count_of(in.shape, in.dims));
  i32 start = 0;
  for (i32 i = 0; i < parts; i++) {
    const i32 size = split_num == 1 ? extent / parts : sizes[i];
    dynamic_tensor_info_t out;
    unpack_out(ctx, &out);
    void *part = nullptr;
    i32 shape[DYNAMIC_MAX_DIMS];
    const int dims = slice_data_by_axis(values, in.shape, (int)in.dims, split_axis, start, size, &part, shape);
    set_shape_output(ctx, &out, part, shape, (u32)dims, in.dtype);
    start += size;
  }
}

void dynamic_glb_shape_unary_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_unary_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  ASSERT_FS(in.dtype == DSIZE_FP32);
  const u64 count = count_of(in.shape, in.dims);
  const i32 *src = values_of(&in, count);
  float *values = count > 0 ? (float *)new_values(src, count) : nullptr;
  for (u64 i = 0; i < count; i++) {
    const double v = values[i];
    switch (rec.op) {
      case 10: values[i] = (float)round(v); break;
      case 11: values[i] = (float)ceil(v); break;
      case 12: values[i] = (float)floor(v); break;
      default: free(values); ASSERT_FS(0, "shape_unary operation %u", (unsigned)rec.op);
    }
  }
  set_shape_output(ctx, &out, values, in.shape, in.dims, in.dtype);
}

void dynamic_glb_shape_squeeze_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_squeeze_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t in, out;
  unpack_in(ctx, &in);
  unpack_out(ctx, &out);
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = squeeze_shape(in.shape, (int)in.dims, rec.axes, (int)rec.axis_num, shape);
  const u64 count = count_of(in.shape, in.dims);
  set_shape_output(ctx, &out, count > 0 ? new_values(values_of(&in, count), count) : nullptr, shape, (u32)dims,
                   in.dtype);
}

void dynamic_glb_shape_sizeslice_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  read_no_record(ctx);
  dynamic_tensor_info_t in, b, s, out;
  unpack_in(ctx, &in);
  unpack_in(ctx, &b);
  unpack_in(ctx, &s);
  unpack_out(ctx, &out);
  const i32 *bv = values_of(&b, in.dims), *sv = values_of(&s, in.dims);
  i32 begin[DYNAMIC_MAX_DIMS], end[DYNAMIC_MAX_DIMS], stride[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < in.dims; i++) {
    const i32 n = in.shape[i];
    stride[i] = 1;
    begin[i] = bv[i] < 0 ? bv[i] + n : bv[i];
    end[i] = sv[i] >= 0 ? begin[i] + sv[i] : n;
    if (end[i] > n) end[i] = n;
  }
  void *values = nullptr;
  i32 shape[DYNAMIC_MAX_DIMS];
  const int dims = slice_data(values_of(&in, count_of(in.shape, in.dims)), in.shape, (int)in.dims, begin, stride,
                              end, (int)in.dims, 0, 0, 0, 0, 0, &values, shape);
  set_shape_output(ctx, &out, values, shape, (u32)dims, in.dtype);
}

void dynamic_glb_shape_select_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  shape_select_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t cond, then_t, else_t, out;
  unpack_in(ctx, &cond);
  const u64 count = count_of(cond.shape, cond.dims);
  const i32 *cv = values_of(&cond, count);
  const u32 *tv = nullptr, *ev = nullptr;
  u32 dtype = DSIZE_INT32;
  if (!rec.then_is_scalar) {
    unpack_in(ctx, &then_t);
    tv = (const u32 *)values_of(&then_t, count);
    dtype = then_t.dtype;
  }
  if (!rec.else_is_scalar) {
    unpack_in(ctx, &else_t);
    ev = (const u32 *)values_of(&else_t, count);
    dtype = else_t.dtype;
  }
  unpack_out(ctx, &out);
  if (!(rec.then_is_scalar && rec.else_is_scalar)) ASSERT_FS(dtype == DSIZE_FP32 || dtype == DSIZE_INT32);
  u32 *values = count > 0 ? (u32 *)new_values(nullptr, count) : nullptr;
  for (u64 i = 0; i < count; i++) {
    const u32 t = tv != nullptr ? tv[i] : rec.then_value, e = ev != nullptr ? ev[i] : rec.else_value;
    values[i] = cv[i] != 0 ? t : e;
  }
  set_shape_output(ctx, &out, values, cond.shape, cond.dims, dtype);
}

void dynamic_glb_shape_tensor_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_SHAPE_REF] = dynamic_glb_shape_ref_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_CONST] = dynamic_glb_shape_const_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_OP] = dynamic_glb_shape_op_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_SLICE] = dynamic_glb_shape_slice_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_PACK] = dynamic_glb_shape_pack_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_ASSIGN] = dynamic_glb_shape_assign_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_REORDER] = dynamic_glb_shape_reorder_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_RANGE] = dynamic_glb_shape_range_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_TILE] = dynamic_glb_shape_tile_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_REVERSE] = dynamic_glb_shape_reverse_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_EXPAND_NDIMS] = dynamic_glb_shape_expand_ndims_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_CAST] = dynamic_glb_shape_cast_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_RESHAPE] = dynamic_glb_shape_reshape_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_REDUCE] = dynamic_glb_shape_reduce_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_UNARY] = dynamic_glb_shape_unary_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_SPLIT] = dynamic_glb_shape_split_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_SQUEEZE] = dynamic_glb_shape_squeeze_layer_ctrl;
  map[DYNAMIC_LAYER_RANK] = dynamic_glb_rank_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_SIZESLICE] = dynamic_glb_shape_sizeslice_layer_ctrl;
  map[DYNAMIC_LAYER_SHAPE_SELECT] = dynamic_glb_shape_select_layer_ctrl;
}
