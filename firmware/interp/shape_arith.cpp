// Shape arithmetic on the ARM: loops over the small int32 / float32 arrays of
// shape tensors.
#include "interp/shape_arith.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cmd/tensor_shape.h"
#include "runtime/services.h"

// Binary operation codes.
enum {
  SHAPE_OP_ADD = 0,
  SHAPE_OP_SUB = 1,
  SHAPE_OP_MUL = 2,
  SHAPE_OP_DIV = 3,
  SHAPE_OP_MAX = 4,
  SHAPE_OP_MIN = 10000,
  SHAPE_OP_GT = 10001,
  SHAPE_OP_GE = 10002,
  SHAPE_OP_LT = 10003,
  SHAPE_OP_LE = 10004,
  SHAPE_OP_EQ = 10005,
  SHAPE_OP_NE = 10006,
  SHAPE_OP_SQUARED_DIFF = 10007,
  SHAPE_OP_MOD = 10008,
  SHAPE_OP_FLOOR_DIV = 10009,
};

enum { REDUCE_MEAN = 0, REDUCE_SUM = 1, REDUCE_MAX = 2, REDUCE_MIN = 3, REDUCE_PROD = 4 };

static int is_comparison(int op) { return op >= SHAPE_OP_GT && op <= SHAPE_OP_NE; }

// Element count of a shape; negative extents count as 0.
static u64 count_of(const i32 *shape, int dims) {
  u64 n = 1;
  for (int i = 0; i < dims; i++) n *= shape[i] > 0 ? (u64)shape[i] : 0;
  return n;
}

static void check_dims(int dims) { ASSERT(dims >= 0 && dims <= SHAPE_MAX_DIMS, "dims %d", dims); }

// A value block of `count` 4-byte elements; the 64 KB heap cannot hold more
// than fits 32 bits anyway.
static void *alloc_values(u64 count) {
  ASSERT(count <= 0x3fffffffull, "%u elements", (unsigned)(count > 0xffffffffull ? 0xffffffffu : count));
  void *p = malloc(count > 0 ? (size_t)count * 4 : 4);
  ASSERT(p != nullptr, "no heap for %u values", (unsigned)count);
  return p;
}

// Row-major strides of `shape` in elements.
static void strides_of(const i32 *shape, int dims, u64 *stride) {
  u64 s = 1;
  for (int i = dims - 1; i >= 0; i--) {
    stride[i] = s;
    s *= shape[i] > 0 ? (u64)shape[i] : 0;
  }
}

int increase_indice(i32 *index, const i32 *shape, int dims) {
  if (dims <= 0) return 0;
  for (int i = dims - 1; i >= 0; i--) {
    if (++index[i] < shape[i]) return 1;
    index[i] = 0;
  }
  return 0;
}

u32 logical_dtype(void) { return DSIZE_FP32; }

// ---- Element-wise binary operations ----

static float shape_binary_func_fp(float a, float b, int binary_op) {
  switch (binary_op) {
    case SHAPE_OP_ADD: return a + b;
    case SHAPE_OP_SUB: return a - b;
    case SHAPE_OP_MUL: return a * b;
    case SHAPE_OP_DIV: return a / b;
    case SHAPE_OP_MAX: return a > b ? a : b;
    case SHAPE_OP_MIN: return a < b ? a : b;
    case SHAPE_OP_GT: return a > b ? 1.0f : 0.0f;
    case SHAPE_OP_GE: return a >= b ? 1.0f : 0.0f;
    case SHAPE_OP_LT: return a < b ? 1.0f : 0.0f;
    case SHAPE_OP_LE: return a <= b ? 1.0f : 0.0f;
    case SHAPE_OP_EQ: return a == b ? 1.0f : 0.0f;
    case SHAPE_OP_NE: return a != b ? 1.0f : 0.0f;
    case SHAPE_OP_SQUARED_DIFF: return (a - b) * (a - b);
    default: ASSERT(0, "not supported binary_op=%d", binary_op);
  }
  return 0.0f;
}

// Integer results wrap (two's complement) instead of overflowing; division and
// remainder by zero are refused, and INT_MIN / -1 wraps to INT_MIN.
static i32 shape_binary_func(i32 a, i32 b, int binary_op) {
  const u32 ua = (u32)a, ub = (u32)b;
  switch (binary_op) {
    case SHAPE_OP_ADD: return (i32)(ua + ub);
    case SHAPE_OP_SUB: return (i32)(ua - ub);
    case SHAPE_OP_MUL: return (i32)(ua * ub);
    case SHAPE_OP_DIV:
    case SHAPE_OP_FLOOR_DIV:
      ASSERT(b != 0, "integer division of %d by 0", (int)a);
      return (i32)(u32)((i64)a / (i64)b);
    case SHAPE_OP_MOD:
      ASSERT(b != 0, "integer remainder of %d by 0", (int)a);
      return (i32)((i64)a % (i64)b);
    case SHAPE_OP_MAX: return a > b ? a : b;
    case SHAPE_OP_MIN: return a < b ? a : b;
    case SHAPE_OP_GT: return a > b;
    case SHAPE_OP_GE: return a >= b;
    case SHAPE_OP_LT: return a < b;
    case SHAPE_OP_LE: return a <= b;
    case SHAPE_OP_EQ: return a == b;
    case SHAPE_OP_NE: return a != b;
    case SHAPE_OP_SQUARED_DIFF: return (i32)((ua - ub) * (ua - ub));
    default: ASSERT(0, "not supported binary_op=%d", binary_op);
  }
  return 0;
}

int broadcast_data(const void *a, const i32 *a_shape, int a_dims, const void *b, const i32 *b_shape, int b_dims,
                   int is_int, int binary_op, void **output, i32 *out_shape) {
  check_dims(a_dims);
  check_dims(b_dims);
  const int dims = a_dims > b_dims ? a_dims : b_dims;
  // Both shapes aligned at their last dim, missing leading dims of extent 1.
  i32 ea[SHAPE_MAX_DIMS], eb[SHAPE_MAX_DIMS];
  for (int i = 0; i < dims; i++) {
    const int ia = i - (dims - a_dims), ib = i - (dims - b_dims);
    ea[i] = ia >= 0 ? a_shape[ia] : 1;
    eb[i] = ib >= 0 ? b_shape[ib] : 1;
    // An extent of 1 stretches to the other (0 included); any other pair must
    // agree, or the loop below would read past one of the arrays.
    ASSERT(ea[i] == eb[i] || ea[i] == 1 || eb[i] == 1, "extents %d and %d at dim %d", (int)ea[i], (int)eb[i], i);
    out_shape[i] = ea[i] == 1 ? eb[i] : ea[i];
  }
  const u64 count = count_of(out_shape, dims);
  if (count == 0) return dims;
  u64 sa[SHAPE_MAX_DIMS], sb[SHAPE_MAX_DIMS];
  strides_of(ea, dims, sa);
  strides_of(eb, dims, sb);
  void *out = alloc_values(count);
  i32 index[SHAPE_MAX_DIMS] = {0};
  u64 o = 0;
  do {
    u64 pa = 0, pb = 0;
    for (int i = 0; i < dims; i++) {
      if (ea[i] != 1) pa += (u64)index[i] * sa[i];
      if (eb[i] != 1) pb += (u64)index[i] * sb[i];
    }
    if (is_int) {
      const i32 r = shape_binary_func(((const i32 *)a)[pa], ((const i32 *)b)[pb], binary_op);
      if (is_comparison(binary_op))
        ((float *)out)[o] = (float)r;
      else
        ((i32 *)out)[o] = r;
    } else {
      ((float *)out)[o] = shape_binary_func_fp(((const float *)a)[pa], ((const float *)b)[pb], binary_op);
    }
    o++;
  } while (increase_indice(index, out_shape, dims));
  *output = out;
  return dims;
}

// ---- Concatenation ----

int concat_data(const void *const *values, const i32 *const *shapes, const int *dims, int input_num, int axis,
                void **output, i32 *out_shape) {
  ASSERT(input_num > 0);
  const int out_dims = dims[0];
  check_dims(out_dims);
  if (axis < 0) axis += out_dims;
  ASSERT(axis >= 0 && axis < out_dims, "axis %d of %d dims", axis, out_dims);
  for (int i = 0; i < out_dims; i++) out_shape[i] = shapes[0][i];
  int total = 0;
  for (int k = 0; k < input_num; k++) {
    // Every input must match the output outside the axis, or its copy would
    // land outside the block.
    ASSERT(dims[k] == out_dims, "input %d has %d dims, input 0 %d", k, dims[k], out_dims);
    for (int i = 0; i < out_dims; i++)
      ASSERT(i == axis || shapes[k][i] == out_shape[i], "input %d extent %d at dim %d, input 0 %d", k, (int)shapes[k][i],
             i, (int)out_shape[i]);
    total += shapes[k][axis];
  }
  out_shape[axis] = total;
  u64 ostride[SHAPE_MAX_DIMS];
  strides_of(out_shape, out_dims, ostride);
  u32 *out = (u32 *)alloc_values(count_of(out_shape, out_dims));
  int offset = 0;
  for (int k = 0; k < input_num; k++) {
    if (count_of(shapes[k], out_dims) == 0) continue;
    const u32 *in = (const u32 *)values[k];
    i32 index[SHAPE_MAX_DIMS] = {0};
    u64 i = 0;
    do {
      u64 o = 0;
      for (int d = 0; d < out_dims; d++) o += (u64)(index[d] + (d == axis ? offset : 0)) * ostride[d];
      out[o] = in[i++];
    } while (increase_indice(index, shapes[k], out_dims));
    offset += shapes[k][axis];
  }
  *output = out;
  return out_dims;
}

// ---- Reduction ----

static void reduce_core(void *acc, const void *v, int is_int, int reduce_method) {
  if (is_int) {
    i32 *x = (i32 *)acc;
    const i32 y = *(const i32 *)v;
    switch (reduce_method) {
      case REDUCE_MEAN:
      case REDUCE_SUM: *x = (i32)((u32)*x + (u32)y); break;
      case REDUCE_MAX: *x = y >= *x ? y : *x; break;
      case REDUCE_MIN: *x = y <= *x ? y : *x; break;
      case REDUCE_PROD: *x = (i32)((u32)*x * (u32)y); break;
      default: ASSERT(0 && reduce_method);
    }
  } else {
    float *x = (float *)acc;
    const float y = *(const float *)v;
    switch (reduce_method) {
      case REDUCE_MEAN:
      case REDUCE_SUM: *x = *x + y; break;
      case REDUCE_MAX: *x = *x > y ? *x : y; break;
      case REDUCE_MIN: *x = *x < y ? *x : y; break;
      case REDUCE_PROD: *x = *x * y; break;
      default: ASSERT(0 && reduce_method);
    }
  }
}

int reduce_data(const void *values, const i32 *shape, int dims, int is_int, const i32 *axes, int axis_num,
                int method, int keep_dims, void **output, i32 *out_shape) {
  check_dims(dims);
  int reduced[SHAPE_MAX_DIMS] = {0};
  if (axis_num <= 0) {
    for (int i = 0; i < dims; i++) reduced[i] = 1;
  } else {
    ASSERT(axis_num <= SHAPE_MAX_DIMS, "%d axes", axis_num);
    // Axes are taken as given (no counting from the end), but must name a dim.
    for (int k = 0; k < axis_num; k++) {
      ASSERT(axes[k] >= 0 && axes[k] < dims, "axis %d of %d dims", (int)axes[k], dims);
      reduced[axes[k]] = 1;
    }
  }
  i32 kept[SHAPE_MAX_DIMS];
  u64 reduce_count = 1;
  for (int i = 0; i < dims; i++) {
    kept[i] = reduced[i] ? 1 : shape[i];
    if (reduced[i]) reduce_count *= shape[i] > 0 ? (u64)shape[i] : 0;
  }
  int out_dims = 0;
  if (keep_dims) {
    for (int i = 0; i < dims; i++) out_shape[out_dims++] = kept[i];
  } else {
    for (int i = 0; i < dims; i++)
      if (!reduced[i]) out_shape[out_dims++] = kept[i];
  }
  const u64 out_count = count_of(kept, dims);
  if (out_count == 0) return out_dims;
  u64 kstride[SHAPE_MAX_DIMS];
  strides_of(kept, dims, kstride);
  // Zeroed, so that a reduction over an empty dim gives 0 rather than heap bytes.
  u32 *out = (u32 *)alloc_values(out_count);
  memset(out, 0, (size_t)out_count * 4);
  if (count_of(shape, dims) > 0) {
    const u32 *in = (const u32 *)values;
    i32 index[SHAPE_MAX_DIMS] = {0};
    u64 i = 0;
    do {
      u64 o = 0;
      int first = 1;
      for (int d = 0; d < dims; d++) {
        if (reduced[d])
          first &= index[d] == 0;
        else
          o += (u64)index[d] * kstride[d];
      }
      if (first)
        out[o] = in[i];
      else
        reduce_core(&out[o], &in[i], is_int, method);
      i++;
    } while (increase_indice(index, shape, dims));
  }
  if (method == REDUCE_MEAN && reduce_count > 0) {
    for (u64 o = 0; o < out_count; o++) {
      if (is_int)
        ((i32 *)out)[o] = (i32)((i64)((i32 *)out)[o] / (i64)reduce_count);
      else
        ((float *)out)[o] = ((float *)out)[o] / (float)reduce_count;
    }
  }
  *output = out;
  return out_dims;
}

// ---- Reverse, tile, slices ----

void reverse_data(const void *values, const i32 *shape, int dims, int axis, void **output) {
  check_dims(dims);
  if (axis < 0) axis += dims;
  ASSERT(axis >= 0 && axis < dims, "axis %d of %d dims", axis, dims);
  const u64 count = count_of(shape, dims);
  if (count == 0) return;
  u64 stride[SHAPE_MAX_DIMS];
  strides_of(shape, dims, stride);
  const u32 *in = (const u32 *)values;
  u32 *out = (u32 *)alloc_values(count);
  i32 index[SHAPE_MAX_DIMS] = {0};
  u64 i = 0;
  do {
    const u64 o = i + ((u64)(shape[axis] - 1 - 2 * index[axis])) * stride[axis];
    out[o] = in[i++];
  } while (increase_indice(index, shape, dims));
  *output = out;
}

int tile_data(const void *values, const i32 *shape, int dims, const i32 *multiples, void **output,
              i32 *out_shape) {
  check_dims(dims);
  for (int i = 0; i < dims; i++) {
    ASSERT(multiples[i] >= 0, "multiple %d at dim %d", (int)multiples[i], i);
    const i64 e = (i64)shape[i] * multiples[i];
    ASSERT(e <= 0x7fffffff, "extent %d x %d", (int)shape[i], (int)multiples[i]);
    out_shape[i] = (int)e;
  }
  const u64 count = count_of(out_shape, dims);
  if (count == 0) return dims;
  u64 stride[SHAPE_MAX_DIMS];
  strides_of(shape, dims, stride);
  const u32 *in = (const u32 *)values;
  u32 *out = (u32 *)alloc_values(count);
  i32 index[SHAPE_MAX_DIMS] = {0};
  u64 o = 0;
  do {
    u64 i = 0;
    for (int d = 0; d < dims; d++) i += (u64)(index[d] % shape[d]) * stride[d];
    out[o++] = in[i];
  } while (increase_indice(index, out_shape, dims));
  *output = out;
  return dims;
}

int slice_data_by_axis(const void *values, const i32 *shape, int dims, int axis, int start, int size,
                       void **output, i32 *out_shape) {
  check_dims(dims);
  ASSERT(axis >= 0 && axis < dims, "axis %d of %d dims", axis, dims);
  ASSERT(start >= 0 && size >= 0 && (i64)start + size <= shape[axis], "entries %d + %d of %d", start, size,
         (int)shape[axis]);
  for (int i = 0; i < dims; i++) out_shape[i] = i == axis ? size : shape[i];
  const u64 count = count_of(out_shape, dims);
  if (count == 0) return dims;
  u64 stride[SHAPE_MAX_DIMS];
  strides_of(shape, dims, stride);
  const u32 *in = (const u32 *)values;
  u32 *out = (u32 *)alloc_values(count);
  i32 index[SHAPE_MAX_DIMS] = {0};
  u64 o = 0;
  do {
    u64 i = (u64)start * stride[axis];
    for (int d = 0; d < dims; d++) i += (u64)index[d] * stride[d];
    out[o++] = in[i];
  } while (increase_indice(index, out_shape, dims));
  *output = out;
  return dims;
}

void stride_slice_dense_spec(const i32 *shape, int dims, const i32 *begin, const i32 *end, const i32 *stride,
                             int count, int begin_mask, int end_mask, int ellipsis_mask, int new_axis_mask,
                             int shrink_axis_mask, i32 *dense_shape, int *dense_dims, i32 *dense_begin,
                             i32 *dense_end, i32 *dense_stride, int *dense_begin_mask, int *dense_end_mask,
                             int *dense_shrink_mask) {
  check_dims(dims);
  ASSERT(count >= 0 && count <= SHAPE_MAX_DIMS, "%d slice entries", count);
  int has_ellipsis = 0, new_after_ellipsis = 0;
  for (int i = 0; i < count; i++) {
    if (ellipsis_mask & (1 << i))
      has_ellipsis = 1;
    else if (has_ellipsis && (new_axis_mask & (1 << i)))
      new_after_ellipsis++;
  }
  if (!has_ellipsis) {
    ellipsis_mask |= 1 << count;
    count++;
  }
  int p = 0, d = 0;
  *dense_begin_mask = *dense_end_mask = *dense_shrink_mask = 0;
  for (int i = 0; i < count; i++) {
    if (ellipsis_mask & (1 << i)) {
      int next = dims + 1 + new_after_ellipsis - count + i;
      if (next > dims) next = dims;
      for (; p < next; p++, d++) {
        ASSERT(d < SHAPE_MAX_DIMS, "dense slice of more than %d dims", SHAPE_MAX_DIMS);
        dense_begin[d] = 0;
        dense_end[d] = 0;
        dense_stride[d] = 1;
        dense_shape[d] = shape[p];
        *dense_begin_mask |= 1 << d;
        *dense_end_mask |= 1 << d;
      }
    } else if (new_axis_mask & (1 << i)) {
      ASSERT(d < SHAPE_MAX_DIMS, "dense slice of more than %d dims", SHAPE_MAX_DIMS);
      dense_begin[d] = 0;
      dense_end[d] = 0;
      dense_stride[d] = 1;
      dense_shape[d] = 1;
      *dense_begin_mask |= 1 << d;
      *dense_end_mask |= 1 << d;
      d++;
    } else {
      ASSERT(d < SHAPE_MAX_DIMS, "dense slice of more than %d dims", SHAPE_MAX_DIMS);
      // A slice entry beyond the input's dims has no extent to slice.
      ASSERT(p < dims, "slice entry %d past the %d input dims", i, dims);
      dense_begin[d] = begin[i];
      dense_end[d] = end[i];
      dense_stride[d] = stride[i];
      dense_shape[d] = shape[p];
      if (begin_mask & (1 << i)) *dense_begin_mask |= 1 << d;
      if (end_mask & (1 << i)) *dense_end_mask |= 1 << d;
      if (shrink_axis_mask & (1 << i)) *dense_shrink_mask |= 1 << d;
      p++;
      d++;
    }
  }
  *dense_dims = d;
}

static int clamp_int(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

int stride_slice_resolve_dim(int n, int begin, int end, int step, int begin_masked, int end_masked, int shrink,
                             i32 *begin_out, i32 *end_out) {
  // Indices counted from the end are normalised once, then clamped: a positive
  // step runs over [0, n], a negative one over [-1, n - 1] (-1 standing before
  // the first element).
  const int lo = step > 0 ? 0 : -1, hi = step > 0 ? n : n - 1;
  int b, e;
  if (begin_masked) {
    b = step > 0 ? 0 : n - 1;
  } else {
    b = begin < 0 ? begin + n : begin;
  }
  if (end_masked) {
    e = step > 0 ? n : -1;
  } else {
    e = end < 0 ? end + n : end;
  }
  if (shrink) {
    ASSERT(b >= 0 && b < n, "shrunk index %d of extent %d", begin, n);
    *begin_out = b;
    *end_out = b + step;
    return 1;
  }
  b = clamp_int(b, lo, hi);
  e = clamp_int(e, lo, hi);
  *begin_out = b;
  *end_out = e;
  const i64 span = (i64)e - b;
  const i64 extent = step > 0 ? (span + step - 1) / step : (span + step + 1) / step;
  return extent > 0 ? (int)extent : 0;
}

int slice_data(const void *values, const i32 *shape, int dims, const i32 *begin, const i32 *stride, const i32 *end,
               int count, int begin_mask, int end_mask, int ellipsis_mask, int new_axis_mask, int shrink_axis_mask,
               void **output, i32 *out_shape) {
  i32 dshape[SHAPE_MAX_DIMS], dbegin[SHAPE_MAX_DIMS], dend[SHAPE_MAX_DIMS], step[SHAPE_MAX_DIMS];
  int ddims = 0, bmask = 0, emask = 0, smask = 0;
  stride_slice_dense_spec(shape, dims, begin, end, stride, count, begin_mask, end_mask, ellipsis_mask,
                          new_axis_mask, shrink_axis_mask, dshape, &ddims, dbegin, dend, step, &bmask, &emask,
                          &smask);
  i32 b[SHAPE_MAX_DIMS], extent[SHAPE_MAX_DIMS];
  int out_dims = 0;
  for (int i = 0; i < ddims; i++) {
    ASSERT(step[i] != 0);
    i32 e;
    extent[i] = stride_slice_resolve_dim(dshape[i], dbegin[i], dend[i], step[i], (bmask >> i) & 1,
                                         (emask >> i) & 1, (smask >> i) & 1, &b[i], &e);
    if (!((smask >> i) & 1 && extent[i] == 1)) out_shape[out_dims++] = extent[i];
  }
  const u64 total = count_of(extent, ddims);
  if (total == 0) return out_dims;
  // The dense shape holds the input's elements (new axes have extent 1).
  u64 istride[SHAPE_MAX_DIMS];
  strides_of(dshape, ddims, istride);
  const u32 *in = (const u32 *)values;
  u32 *out = (u32 *)alloc_values(total);
  i32 index[SHAPE_MAX_DIMS] = {0};
  u64 o = 0;
  do {
    i64 at = 0;
    for (int d = 0; d < ddims; d++) at += ((i64)b[d] + (i64)index[d] * step[d]) * (i64)istride[d];
    out[o++] = in[at];
  } while (increase_indice(index, extent, ddims));
  *output = out;
  return out_dims;
}
