// Values between the ARM and device memory (the DTCM bridge), net outputs,
// host/device transfers and tensor arrays.
#include "interp/tensor_array.h"

#include <stdlib.h>
#include <string.h>

#include "cmd/memory_fill_copy.h"
#include "interp/glb_shape_ctrl.h"
#include "interp/layer_records.h"
#include "interp/record_fields.h"
#include "layers/data/concat.h"
#include "layers/data/rearrange.h"
#include "layers/data/tile.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/services.h"

// The largest block one ARM-side value array may take from the 64 KB heap: a
// larger request from a description fails an assertion instead of exhausting
// the heap, which would halt the card.
#define HOST_BLOCK_MAX_BYTES 0x8000u

static void *host_block(u64 bytes) {
  ASSERT(bytes <= HOST_BLOCK_MAX_BYTES, "ARM-side block of %llu bytes, at most %u", (unsigned long long)bytes,
         (unsigned)HOST_BLOCK_MAX_BYTES);
  void *p = malloc(bytes > 0 ? (size_t)bytes : 1);
  ASSERT(p != nullptr);
  return p;
}

static u64 product(const i32 *shape, u32 dims) {
  u64 n = 1;
  for (u32 i = 0; i < dims; i++) n *= (u64)(i64)shape[i];
  return n;
}

// ---- The bridge ----

u64 get_byte_len(u64 count, u32 data_size) {
  if (data_size == DSIZE_FP32 || data_size == DSIZE_INT32) return 4 * count;
  if (data_size == DSIZE_16) return 2 * count;
  return count;
}

u64 __get_bridge_addr(const dynamic_context_t *ctx, u64 byte_len) {
  ASSERT(byte_len <= ctx->dtcm_size);
  return ctx->bridge_addr;
}

static u8 *bridge_ptr(const dynamic_context_t *ctx, u64 byte_len) {
  return (u8 *)hw_ptr((u32)__get_bridge_addr(ctx, byte_len), (u32)(byte_len > 0 ? byte_len : 1));
}

void memcpy_host_global(dynamic_context_t *ctx, void *array, u64 device_addr, u64 count, u32 data_size,
                        int to_device, cmd_id_node_t *node) {
  const u64 byte_len = get_byte_len(count, data_size);
  u8 *bridge = bridge_ptr(ctx, byte_len);
  if (to_device) {
    if (array != bridge && byte_len > 0) memcpy(bridge, array, (size_t)byte_len);
    dynamic_glb_memcpy(ctx->bridge_addr, device_addr, count, data_size, node);
    poll_all_engine_done(node);
  } else {
    dynamic_glb_memcpy(device_addr, ctx->bridge_addr, count, data_size, node);
    poll_all_engine_done(node);
    if (byte_len > 0) memcpy(array, bridge, (size_t)byte_len);
  }
}

void *assign_host_mem(const void *values, const i32 *shape, u32 dims, u32 *count) {
  const u64 n = product(shape, dims);
  void *block = host_block(4 * n);
  if (values != nullptr && n > 0) memcpy(block, values, (size_t)(4 * n));
  if (count != nullptr) *count = (u32)n;
  return block;
}

i32 shape_tensor_value(const dynamic_tensor_info_t *info, u32 i) {
  ASSERT(info->host_data != nullptr && i < get_tensor_element_num(info),
         "shape tensor %u holds no value %u", (unsigned)info->id, (unsigned)i);
  i32 v;
  memcpy(&v, (const u8 *)info->host_data + 4 * i, 4);
  return v;
}

// ---- Tensor-array images ----

u32 pack_tensorarray(u8 *buffer, const tensor_array_info_t *header) {
  // An image larger than its area would overwrite the element data behind it.
  ASSERT(header->size <= TENSOR_ARRAY_IMAGE_MAX_ELEMS, "tensor array of %u elements, an image holds %u",
         (unsigned)header->size, (unsigned)TENSOR_ARRAY_IMAGE_MAX_ELEMS);
  tensor_array_image_header_t h;
  memset(&h, 0, sizeof(h));
  h.capacity = header->capacity;
  h.size = header->size;
  h.dynamic_size = header->dynamic_size;
  h.clear_after_read = header->clear_after_read;
  h.same_shape = header->same_shape;
  h.global_buffer_size = header->global_buffer_size;
  h.head_addr = header->head_addr;
  h.tensors = (u32)(uintptr_t)header->tensors;
  memcpy(buffer, &h, sizeof(h));
  if (header->size > 0) memcpy(buffer + TENSOR_ARRAY_HEADER_BYTES, header->tensors, TENSOR_ARRAY_ELEM_BYTES * header->size);
  return TENSOR_ARRAY_HEADER_BYTES + TENSOR_ARRAY_ELEM_BYTES * header->size;
}

void tensor_array_sync(dynamic_context_t *ctx, const dynamic_tensor_info_t *array, cmd_id_node_t *node) {
  u8 *bridge = bridge_ptr(ctx, TENSOR_ARRAY_IMAGE_BYTES);
  const u32 bytes = pack_tensorarray(bridge, array->tensor_array_info);
  memcpy_host_global(ctx, bridge, array->addr, bytes, DSIZE_8, 1, node);
}

// A layer without parameters: its record length must be 0.
static void read_empty_record(dynamic_context_t *ctx) {
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT(length == 0);
}

// The mode block of host2device and device2host: an empty record, a word with
// the block's byte length, the block (its first word the mode).
static u32 read_mode_block(dynamic_context_t *ctx) {
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT_FS(length == 0);
  const u32 block = (dynamic_context_read_u32(ctx) & 0xffffff) & ~3u;
  ASSERT(block >= 4, "mode block of %u bytes", (unsigned)block);
  const u32 mode = dynamic_context_read_u32(ctx);
  dynamic_context_skip(ctx, block - 4);
  return mode;
}

// ---- Controllers: output and transfers ----

// The output takes the input's type and shape (the shape array is the input's).
static void take_form(dynamic_tensor_info_t *out, const dynamic_tensor_info_t *in) {
  out->dtype = in->dtype;
  out->dims = in->dims;
  out->shape = in->shape;
}

void dynamic_glb_output_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_empty_record(ctx);
  dynamic_tensor_info_t in, out;
  dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
  take_form(&out, &in);
  out.elem_num = 0;
  RESHAPE_ADDR_CHECK(&in, &out, ctx->middle_value->intensor_store_mode, ctx->middle_value->outtensor_store_mode,
                     node);
  dynamic_context_global_set_output_info(ctx, &out);
}

void dynamic_glb_host2device_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  const u32 mode = read_mode_block(ctx);
  dynamic_tensor_info_t in, out;
  if (mode == 0) {
    dynamic_context_unpack_shape_tensor(ctx, &in, 0);
    dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
    take_form(&out, &in);
    const u64 count = get_tensor_element_num(&in);
    ASSERT(in.host_data != nullptr || count == 0, "shape tensor %u has no values", (unsigned)in.id);
    memcpy_host_global(ctx, in.host_data, out.addr, count, in.dtype, 1, node);
  } else if (mode == 1) {
    dynamic_context_unpack_tensorarray_tensor(ctx, &in, 0);
    dynamic_context_unpack_neuron_tensor(ctx, &out, 1);
    u8 *bridge = bridge_ptr(ctx, TENSOR_ARRAY_IMAGE_BYTES);
    const u32 bytes = pack_tensorarray(bridge, in.tensor_array_info);
    memcpy_host_global(ctx, bridge, out.addr, bytes, DSIZE_8, 1, node);
    take_form(&out, &in);
  } else {
    return;
  }
  dynamic_context_global_set_output_info(ctx, &out);
}

void dynamic_glb_device2host_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  const u32 mode = read_mode_block(ctx);
  dynamic_tensor_info_t in, out;
  if (mode == 0) {
    dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
    dynamic_context_unpack_shape_tensor(ctx, &out, 1);
    take_form(&out, &in);
    u32 count = 0;
    void *values = assign_host_mem(nullptr, in.shape, in.dims, &count);
    out.host_data = values;
    memcpy_host_global(ctx, values, in.addr, count, in.dtype, 0, node);
  } else if (mode == 1) {
    dynamic_context_unpack_neuron_tensor(ctx, &in, 0);
    dynamic_context_unpack_tensorarray_tensor(ctx, &out, 1);
    out.addr = in.addr;
    take_form(&out, &in);
    u8 *bridge = bridge_ptr(ctx, TENSOR_ARRAY_IMAGE_BYTES);
    dynamic_glb_memcpy(in.addr, ctx->bridge_addr, TENSOR_ARRAY_IMAGE_BYTES, DSIZE_8, node);
    poll_all_engine_done(node);
    tensor_array_info_t *ta = out.tensor_array_info;
    tensor_array_image_header_t h;
    memcpy(&h, bridge, sizeof(h));
    const u32 size = h.size;
    // The image's size word comes from device memory: its records must lie
    // inside the image area that was copied.
    ASSERT(size <= TENSOR_ARRAY_IMAGE_MAX_ELEMS, "tensor array image of %u elements, at most %u", (unsigned)size,
           (unsigned)TENSOR_ARRAY_IMAGE_MAX_ELEMS);
    tensor_array_elem_t *records = (tensor_array_elem_t *)host_block((u64)TENSOR_ARRAY_ELEM_BYTES * size);
    if (size > 0) memcpy(records, bridge + TENSOR_ARRAY_HEADER_BYTES, TENSOR_ARRAY_ELEM_BYTES * size);
    ta->capacity = h.capacity;
    ta->size = h.size;
    ta->dynamic_size = h.dynamic_size;
    ta->clear_after_read = h.clear_after_read;
    ta->same_shape = h.same_shape;
    ta->global_buffer_size = h.global_buffer_size;
    ta->head_addr = h.head_addr;
    free(ta->tensors);
    ta->tensors = records;
    // The records that were read are all the array holds now.
    ta->capacity = size;
  } else {
    return;
  }
  dynamic_context_global_set_output_info(ctx, &out);
}

// ---- Tensor arrays ----

void dynamic_glb_tensorarray_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  tensorarray_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t size_t_info, array;
  dynamic_context_unpack_shape_tensor(ctx, &size_t_info, 0);
  dynamic_context_unpack_tensorarray_tensor(ctx, &array, 1);
  const i32 n = shape_tensor_value(&size_t_info, 0);
  ASSERT(n >= 0, "tensor array of %d elements", (int)n);
  i32 shape[DYNAMIC_MAX_DIMS];
  memcpy(shape, rec.elem_shape, sizeof(shape));
  const u32 dims = rec.elem_dims;
  ASSERT(dims <= DYNAMIC_MAX_DIMS, "element dims %u", (unsigned)dims);
  tensor_array_info_t *ta = array.tensor_array_info;
  tensor_array_elem_t *records = (tensor_array_elem_t *)host_block((u64)TENSOR_ARRAY_ELEM_BYTES * (u32)n);
  memset(records, 0, TENSOR_ARRAY_ELEM_BYTES * (u32)n);
  free(ta->tensors);
  ta->tensors = records;
  ta->capacity = ta->size = (u32)n;
  ta->clear_after_read = rec.clear_after_read;
  ta->dynamic_size = rec.dynamic_size;
  ta->same_shape = rec.same_shape;
  ta->global_buffer_size = rec.global_buffer_size;
  ta->head_addr = array.addr + TENSOR_ARRAY_IMAGE_BYTES;
  array.dims = dims;
  array.shape = shape;
  array.dtype = DSIZE_FP32;
  dynamic_context_global_set_output_info(ctx, &array);
}

// Grows a dynamic array so that `index` is inside it.
static void tensor_array_grow(tensor_array_info_t *ta, i32 index) {
  if (!ta->dynamic_size || index < 0) return;
  if ((i64)ta->capacity <= index) {
    const u32 capacity = 2u * ((u32)index + 1);
    tensor_array_elem_t *records = (tensor_array_elem_t *)host_block((u64)TENSOR_ARRAY_ELEM_BYTES * capacity);
    memset(records, 0, TENSOR_ARRAY_ELEM_BYTES * capacity);
    if (ta->tensors != nullptr && ta->capacity > 0) memcpy(records, ta->tensors, TENSOR_ARRAY_ELEM_BYTES * ta->capacity);
    free(ta->tensors);
    ta->tensors = records;
    ta->capacity = capacity;
  }
  if ((i64)ta->size <= index) ta->size = (u32)index + 1;
}

// The value operand of write, scatter and split: a coefficient with the
// record's dims, shape and type, or a tensor of the table.
static void unpack_value(dynamic_context_t *ctx, const ta_write_param_t *rec, dynamic_tensor_info_t *value,
                         i32 *coeff_shape) {
  if (rec->value_is_coeff == 1) {
    memset(value, 0, sizeof(*value));
    value->addr = dynamic_context_unpack_coeff_addr(ctx);
    value->dims = rec->coeff_dims;
    ASSERT(value->dims <= DYNAMIC_MAX_DIMS, "coefficient dims %u", (unsigned)value->dims);
    memcpy(coeff_shape, rec->coeff_shape, 4 * DYNAMIC_MAX_DIMS);
    value->shape = coeff_shape;
    value->dtype = rec->coeff_dtype;
  } else {
    dynamic_context_unpack_neuron_tensor(ctx, value, 0);
  }
}

static u64 array_end(const dynamic_tensor_info_t *a) { return a->addr + a->tensor_array_info->global_buffer_size; }

void dynamic_glb_ta_write_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ta_write_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom[3];
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom[0], 0);
  dynamic_context_unpack_shape_tensor(ctx, &bottom[1], 0);
  unpack_value(ctx, &rec, &bottom[2], coeff_shape);
  const i64 index = shape_tensor_value(&bottom[1], 0);
  tensor_array_grow(bottom[0].tensor_array_info, (i32)index);
  ASSERT_FS(index >= 0 && index < bottom[0].tensor_array_info->size);
  ASSERT_FS(bottom[0].tensor_array_info->tensors[index].written == 0);
  if (bottom[0].tensor_array_info->same_shape && bottom[0].dims > 0) {
    ASSERT_FS(bottom[0].dims == bottom[2].dims);
    for (u32 i = 0; i < bottom[0].dims; i++) ASSERT_FS(bottom[0].shape[i] == bottom[2].shape[i]);
  }
  ASSERT_FS(bottom[0].tensor_array_info->head_addr <= bottom[0].addr + bottom[0].tensor_array_info->global_buffer_size);
  const u64 count = get_tensor_element_num(&bottom[2]);
  // The element's data must fit the array's buffer too.
  ASSERT_FS(bottom[0].tensor_array_info->head_addr + count * sizeof(float) <= array_end(&bottom[0]));
  tensor_array_elem_t *e = &bottom[0].tensor_array_info->tensors[index];
  e->written = 1;
  e->addr = bottom[0].tensor_array_info->head_addr;
  e->dims = bottom[2].dims;
  memset(e->shape, 0, sizeof(e->shape));
  for (u32 i = 0; i < bottom[2].dims; i++) e->shape[i] = bottom[2].shape[i];
  bottom[0].tensor_array_info->head_addr += 4 * count;
  dynamic_glb_memcpy(bottom[2].addr, e->addr, count, bottom[2].dtype, node);
  if (rec.sync) tensor_array_sync(ctx, &bottom[0], node);
}

void dynamic_glb_ta_read_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_empty_record(ctx);
  dynamic_tensor_info_t bottom[2], top;
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom[0], 0);
  dynamic_context_unpack_shape_tensor(ctx, &bottom[1], 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  const i64 index = shape_tensor_value(&bottom[1], 0);
  ASSERT_FS(index >= 0 && index < bottom[0].tensor_array_info->size);
  ASSERT_FS(bottom[0].tensor_array_info->tensors[index].written == 1);
  if (bottom[0].tensor_array_info->clear_after_read) {
    ASSERT_FS(bottom[0].tensor_array_info->tensors[index].read == 0);
    bottom[0].tensor_array_info->tensors[index].read = 1;
  }
  tensor_array_elem_t *e = &bottom[0].tensor_array_info->tensors[index];
  i32 shape[DYNAMIC_MAX_DIMS];
  memcpy(shape, e->shape, sizeof(shape));
  top.dims = e->dims;
  top.shape = shape;
  top.dtype = bottom[0].dtype;
  if (top.addr == 0)
    top.addr = e->addr;
  else
    dynamic_glb_memcpy(e->addr, top.addr, get_tensor_element_num(&top), top.dtype, node);
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_ta_size_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  (void)node;
  read_empty_record(ctx);
  dynamic_tensor_info_t bottom, top;
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_shape_tensor(ctx, &top, 1);
  const i32 size = (i32)bottom.tensor_array_info->size;
  top.dims = 0;
  top.dtype = DSIZE_INT32;
  top.host_data = assign_host_mem(&size, nullptr, 0, nullptr);
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_ta_scatter_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ta_write_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom[3];
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom[0], 0);
  dynamic_context_unpack_shape_tensor(ctx, &bottom[1], 0);
  unpack_value(ctx, &rec, &bottom[2], coeff_shape);
  ASSERT_FS(bottom[1].dims == 1);
  const i32 lengths = bottom[1].shape[0];
  ASSERT_FS(bottom[2].dims >= 1);
  ASSERT_FS(lengths == bottom[2].shape[0]);
  const u64 size = product(bottom[2].shape + 1, bottom[2].dims - 1);
  tensor_array_info_t *ta = bottom[0].tensor_array_info;
  for (i32 k = 0; k < lengths; k++) {
    const i64 index = shape_tensor_value(&bottom[1], (u32)k);
    tensor_array_grow(ta, (i32)index);
    ASSERT_FS(index >= 0);
    ASSERT_FS(index < bottom[0].tensor_array_info->size);
    ASSERT_FS(bottom[0].tensor_array_info->tensors[index].written == 0);
    tensor_array_elem_t *e = &ta->tensors[index];
    e->addr = ta->head_addr + (u64)k * 4 * size;
    ASSERT_FS(bottom[0].tensor_array_info->tensors[index].addr + size * sizeof(float) <=
              bottom[0].addr + bottom[0].tensor_array_info->global_buffer_size);
    e->written = 1;
    e->dims = bottom[2].dims - 1;
    memset(e->shape, 0, sizeof(e->shape));
    for (u32 i = 1; i < bottom[2].dims; i++) e->shape[i - 1] = bottom[2].shape[i];
  }
  const u64 count = get_tensor_element_num(&bottom[2]);
  dynamic_glb_memcpy(bottom[2].addr, ta->head_addr, count, bottom[0].dtype, node);
  ta->head_addr += 4 * count;
  if (rec.sync) tensor_array_sync(ctx, &bottom[0], node);
}

void dynamic_glb_ta_split_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  ta_write_param_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  dynamic_tensor_info_t bottom[3];
  i32 coeff_shape[DYNAMIC_MAX_DIMS];
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom[0], 0);
  unpack_value(ctx, &rec, &bottom[1], coeff_shape);
  dynamic_context_unpack_shape_tensor(ctx, &bottom[2], 0);
  ASSERT_FS(bottom[2].dims == 1);
  const i32 n = bottom[2].shape[0];
  ASSERT_FS(bottom[1].dims >= 1);
  i64 total_lengths = 0;
  for (i32 k = 0; k < n; k++) {
    const i32 len = shape_tensor_value(&bottom[2], (u32)k);
    ASSERT_FS(len >= 0);
    total_lengths += len;
  }
  ASSERT_FS(total_lengths == bottom[1].shape[0]);
  const u64 row = product(bottom[1].shape + 1, bottom[1].dims - 1);
  tensor_array_info_t *ta = bottom[0].tensor_array_info;
  u64 offset = 0;
  for (i64 index = 0; index < n; index++) {
    const i32 len = shape_tensor_value(&bottom[2], (u32)index);
    tensor_array_grow(ta, (i32)index);
    ASSERT_FS(index < bottom[0].tensor_array_info->size);
    ASSERT_FS(bottom[0].tensor_array_info->tensors[index].written == 0);
    tensor_array_elem_t *e = &ta->tensors[index];
    e->written = 1;
    e->addr = ta->head_addr + offset;
    e->dims = bottom[1].dims;
    memset(e->shape, 0, sizeof(e->shape));
    e->shape[0] = len;
    for (u32 i = 1; i < bottom[1].dims; i++) e->shape[i] = bottom[1].shape[i];
    offset += 4 * (u64)len * row;
    // The pieces so far, from the array's head, must fit its buffer.
    ASSERT_FS(bottom[0].tensor_array_info->head_addr + offset <=
              bottom[0].addr + bottom[0].tensor_array_info->global_buffer_size);
  }
  const u64 count = get_tensor_element_num(&bottom[1]);
  dynamic_glb_memcpy(bottom[1].addr, ta->head_addr, count, bottom[0].dtype, node);
  ta->head_addr += 4 * count;
  if (rec.sync) tensor_array_sync(ctx, &bottom[0], node);
}

// Pieces of a gather or concat: addresses and 8-int shapes, on the heap.
typedef struct {
  u64 *addrs;
  int *shapes;
  int *flags;
} ta_pieces_t;

static void pieces_alloc(ta_pieces_t *p, u32 n) {
  p->addrs = (u64 *)host_block(8ull * n);
  p->shapes = (int *)host_block(4ull * DYNAMIC_MAX_DIMS * n);
  p->flags = (int *)host_block(4ull * n);
  memset(p->flags, 0, 4ull * n);
  memset(p->shapes, 0, 4ull * DYNAMIC_MAX_DIMS * n);
}

static void pieces_free(ta_pieces_t *p) {
  free(p->addrs);
  free(p->shapes);
  free(p->flags);
}

void dynamic_glb_ta_gather_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_empty_record(ctx);
  dynamic_tensor_info_t bottom[2], top;
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom[0], 0);
  dynamic_context_unpack_shape_tensor(ctx, &bottom[1], 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  ASSERT_FS(bottom[1].dims == 1);
  const i32 n = bottom[1].shape[0];
  ASSERT(n >= 0, "%d indices", (int)n);
  tensor_array_info_t *ta = bottom[0].tensor_array_info;
  i32 top_shape[DYNAMIC_MAX_DIMS] = {n};
  u32 top_dims = 1;
  for (i32 k = 0; k < n; k++) {
    const i64 index = shape_tensor_value(&bottom[1], (u32)k);
    ASSERT_FS(index >= 0);
    ASSERT_FS(index < bottom[0].tensor_array_info->size);
    const tensor_array_elem_t *e = &ta->tensors[index];
    if (e->written) {
      ASSERT(e->dims < DYNAMIC_MAX_DIMS, "element of %u dims", (unsigned)e->dims);
      for (u32 i = 0; i < e->dims; i++) top_shape[i + 1] = e->shape[i];
      top_dims = e->dims + 1;
      break;
    }
  }
  const u64 w = product(top_shape + 1, top_dims - 1);
  ta_pieces_t p;
  pieces_alloc(&p, (u32)n);
  int zeros_filled = 0;
  for (i32 k = 0; k < n; k++) {
    const i64 index = shape_tensor_value(&bottom[1], (u32)k);
    ASSERT_FS(index >= 0);
    ASSERT_FS(index < bottom[0].tensor_array_info->size);
    tensor_array_elem_t *e = &ta->tensors[index];
    if (e->written)
      for (u32 i = 0; i + 1 < top_dims; i++) ASSERT_FS(top_shape[i + 1] == bottom[0].tensor_array_info->tensors[index].shape[i]);
    if (ta->clear_after_read) {
      ASSERT_FS(bottom[0].tensor_array_info->tensors[index].cleared == 0);
      e->cleared = 1;
    }
    e->read = 1;
    int *shape = p.shapes + DYNAMIC_MAX_DIMS * k;
    shape[0] = 1;
    for (u32 i = 1; i < top_dims; i++) shape[i] = top_shape[i];
    if (e->written) {
      p.addrs[k] = e->addr;
    } else {
      if (!zeros_filled) {
        ASSERT_FS(bottom[0].tensor_array_info->head_addr + w * sizeof(float) <=
                  bottom[0].addr + bottom[0].tensor_array_info->global_buffer_size);
        nodechip_memset(ta->head_addr, 1, 1, 1, (int)w, (int)w, (int)w, (int)w, 0, node);
        zeros_filled = 1;
      }
      p.addrs[k] = ta->head_addr;
    }
  }
  int out_shape[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) out_shape[i] = i < top_dims ? top_shape[i] : 1;
  if (n > 0 && w > 0)
    nodechip_concat_md(0, (int)top_dims, n, p.addrs, top.addr, p.shapes, out_shape, p.flags, node);
  pieces_free(&p);
  top.dims = top_dims;
  top.shape = top_shape;
  top.dtype = bottom[0].dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_glb_ta_concat_layer_ctrl(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_empty_record(ctx);
  dynamic_tensor_info_t bottom, top;
  dynamic_context_unpack_tensorarray_tensor(ctx, &bottom, 0);
  dynamic_context_unpack_neuron_tensor(ctx, &top, 1);
  tensor_array_info_t *ta = bottom.tensor_array_info;
  const u32 n = ta->size;
  i32 top_shape[DYNAMIC_MAX_DIMS] = {0};
  u32 top_dims = 1;
  for (u32 index = 0; index < n; index++) {
    const tensor_array_elem_t *e = &ta->tensors[index];
    if (e->written) {
      ASSERT(e->dims >= 1 && e->dims <= DYNAMIC_MAX_DIMS, "element of %u dims", (unsigned)e->dims);
      for (u32 i = 1; i < e->dims; i++) top_shape[i] = e->shape[i];
      top_dims = e->dims;
      break;
    }
  }
  const u64 w = product(top_shape + 1, top_dims - 1);
  ta_pieces_t p;
  pieces_alloc(&p, n);
  int zeros_filled = 0;
  i64 first = 0;
  for (u32 index = 0; index < n; index++) {
    tensor_array_elem_t *e = &ta->tensors[index];
    int *shape = p.shapes + DYNAMIC_MAX_DIMS * index;
    for (u32 i = 1; i < top_dims; i++) shape[i] = top_shape[i];
    if (e->written) {
      for (u32 i = 1; i < top_dims; i++) ASSERT_FS(top_shape[i] == bottom.tensor_array_info->tensors[index].shape[i]);
      if (ta->clear_after_read) {
        ASSERT_FS(bottom.tensor_array_info->tensors[index].cleared == 0);
        e->cleared = 1;
      }
      e->read = 1;
      shape[0] = e->shape[0];
      p.addrs[index] = e->addr;
    } else {
      if (!zeros_filled) {
        ASSERT_FS(bottom.tensor_array_info->head_addr + w * sizeof(float) <=
                  bottom.addr + bottom.tensor_array_info->global_buffer_size);
        nodechip_memset(ta->head_addr, 1, 1, 1, (int)w, (int)w, (int)w, (int)w, 0, node);
        zeros_filled = 1;
      }
      shape[0] = 1;
      p.addrs[index] = ta->head_addr;
    }
    first += shape[0];
  }
  top_shape[0] = (i32)first;
  int out_shape[DYNAMIC_MAX_DIMS];
  for (u32 i = 0; i < DYNAMIC_MAX_DIMS; i++) out_shape[i] = i < top_dims ? top_shape[i] : 1;
  if (n > 0 && w > 0 && first > 0)
    nodechip_concat_md(0, (int)top_dims, (int)n, p.addrs, top.addr, p.shapes, out_shape, p.flags, node);
  pieces_free(&p);
  top.dims = top_dims;
  top.shape = top_shape;
  top.dtype = bottom.dtype;
  dynamic_context_global_set_output_info(ctx, &top);
}

void dynamic_tensor_array_map_fill(dynamic_global_ctrl_t *map) {
  map[DYNAMIC_LAYER_OUTPUT] = dynamic_glb_output_layer_ctrl;
  map[DYNAMIC_LAYER_HOST2DEVICE] = dynamic_glb_host2device_layer_ctrl;
  map[DYNAMIC_LAYER_DEVICE2HOST] = dynamic_glb_device2host_layer_ctrl;
  map[DYNAMIC_LAYER_TENSORARRAY] = dynamic_glb_tensorarray_layer_ctrl;
  map[DYNAMIC_LAYER_TA_WRITE] = dynamic_glb_ta_write_layer_ctrl;
  map[DYNAMIC_LAYER_TA_READ] = dynamic_glb_ta_read_layer_ctrl;
  map[DYNAMIC_LAYER_TA_SIZE] = dynamic_glb_ta_size_layer_ctrl;
  map[DYNAMIC_LAYER_TA_SCATTER] = dynamic_glb_ta_scatter_layer_ctrl;
  map[DYNAMIC_LAYER_TA_GATHER] = dynamic_glb_ta_gather_layer_ctrl;
  map[DYNAMIC_LAYER_TA_SPLIT] = dynamic_glb_ta_split_layer_ctrl;
  map[DYNAMIC_LAYER_TA_CONCAT] = dynamic_glb_ta_concat_layer_ctrl;
}
