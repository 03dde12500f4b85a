// The run context of one network run: the bounded reader of the description,
// the group header, the tensor, extra and free-pool lists and the slices'
// local lists.
#include "interp/context.h"

#include <stdlib.h>
#include <string.h>

#include "runtime/hw.h"
#include "runtime/services.h"

// ---- Reading the description ----

// Every read stays inside the copied description: a truncated stream or a
// misframed record fails here instead of reading what lies behind it.
static void take_bytes(dynamic_context_t *ctx, void *dst, u32 bytes) {
  ASSERT(bytes <= ctx->end - ctx->cur, "description read of %u bytes at 0x%x past its end 0x%x",
         (unsigned)bytes, (unsigned)ctx->cur, (unsigned)ctx->end);
  if (bytes > 0 && dst != nullptr) memcpy(dst, hw_ptr(ctx->cur, bytes), bytes);
  ctx->cur += bytes;
}

u32 dynamic_context_read_u32(dynamic_context_t *ctx) {
  u32 v;
  take_bytes(ctx, &v, 4);
  return v;
}

u64 dynamic_context_read_u64(dynamic_context_t *ctx) {
  u32 lo = dynamic_context_read_u32(ctx);
  u32 hi = dynamic_context_read_u32(ctx);
  return (u64)hi << 32 | lo;
}

void dynamic_context_read_bytes(dynamic_context_t *ctx, void *dst, u32 bytes) { take_bytes(ctx, dst, bytes); }

void dynamic_context_skip(dynamic_context_t *ctx, u32 bytes) { take_bytes(ctx, nullptr, bytes); }

u32 dynamic_context_word_at(const dynamic_context_t *ctx, u32 addr) {
  ASSERT(addr >= ctx->begin && addr < ctx->end && ctx->end - addr >= 4,
         "description word at 0x%x outside the description", (unsigned)addr);
  u32 v;
  memcpy(&v, hw_ptr(addr, 4), 4);
  return v;
}

void dynamic_context_read_record(dynamic_context_t *ctx, void *record, u32 size) {
  memset(record, 0, size);
  const u32 length = dynamic_context_read_u32(ctx);
  ASSERT(length <= size, "record of %u bytes, at most %u", (unsigned)length, (unsigned)size);
  take_bytes(ctx, record, length);
}

void dynamic_context_group_slice(const dynamic_context_t *ctx, u32 i, dynamic_group_slice_t *out) {
  ASSERT(i < ctx->group_in_num);
  const u32 at = ctx->slice_records + i * (u32)sizeof(dynamic_group_slice_t);
  ASSERT(at >= ctx->begin && at < ctx->end && ctx->end - at >= sizeof(*out),
         "slice record at 0x%x outside the description", (unsigned)at);
  memcpy(out, hw_ptr(at, sizeof(*out)), sizeof(*out));
}

// ---- Global tensor records ----

global_tensor_head_t *global_tensor_head_create(void) {
  global_tensor_head_t *head = (global_tensor_head_t *)calloc(1, sizeof(global_tensor_head_t));
  ASSERT(head != nullptr);
  return head;
}

global_tensor_node_t *global_tensor_node_find(u32 id, const global_tensor_head_t *head) {
  for (global_tensor_node_t *n = head->first; n != nullptr; n = n->next)
    if ((n->key >> 16) == id) return n;
  return nullptr;
}

global_tensor_node_t *global_tensor_node_pick(global_tensor_head_t *head, u32 id) {
  for (global_tensor_node_t **link = &head->first; *link != nullptr; link = &(*link)->next) {
    if (((*link)->key >> 16) == id) {
      global_tensor_node_t *n = *link;
      *link = n->next;
      n->next = nullptr;
      return n;
    }
  }
  return nullptr;
}

void assign_node_info(global_tensor_node_t *node, const dynamic_tensor_info_t *info, int owns_host_data) {
  if (info == nullptr) {
    node->dtype = 0;
    node->dims = 0;
    node->tensor_array_info = nullptr;
    node->elem_num = 0;
    return;
  }
  // The shape arrays hold eight dims; more cannot be represented.
  ASSERT(info->dims <= DYNAMIC_MAX_DIMS, "tensor %u has %u dims", (unsigned)info->id, (unsigned)info->dims);
  node->dtype = info->dtype;
  node->dims = info->dims;
  node->elem_num = info->elem_num;
  if ((i32)info->dims > 0 && info->shape != nullptr && info->shape != node->shape)
    memcpy(node->shape, info->shape, info->dims * sizeof(i32));
  if (info->addr != 0) node->addr = info->addr;
  if (node->host_data != info->host_data) {
    if (owns_host_data) free(node->host_data);
    node->host_data = info->host_data;
  }
  if (node->tensor_array_info == nullptr)
    node->tensor_array_info = info->tensor_array_info;
  else
    ASSERT_FS(node->tensor_array_info == info->tensor_array_info);
}

global_tensor_node_t *global_tensor_node_push_front_info(global_tensor_head_t *head, u32 key,
                                                         const dynamic_tensor_info_t *info,
                                                         global_tensor_head_t *pool, int owns_host_data) {
  global_tensor_node_t *node = global_tensor_node_pick(head, key >> 16);
  if (node == nullptr) {
    if (pool != nullptr && pool->first != nullptr) {
      node = pool->first;
      pool->first = node->next;
      // A pooled record's host data was released when it was retired.
    } else {
      node = (global_tensor_node_t *)malloc(sizeof(global_tensor_node_t));
      ASSERT(node != nullptr);
    }
    memset(node, 0, sizeof(*node));
    node->key = key;
  }
  assign_node_info(node, info, owns_host_data);
  node->next = head->first;
  head->first = node;
  return node;
}

int global_tensor_node_find_info(const global_tensor_head_t *head, dynamic_tensor_info_t *info) {
  global_tensor_node_t *n = global_tensor_node_find(info->id, head);
  if (n == nullptr) return 0;
  info->dims = n->dims;
  info->dtype = n->dtype;
  info->elem_num = n->elem_num;
  info->tensor_array_info = n->tensor_array_info;
  info->shape = n->shape;
  info->host_data = n->host_data;
  if (n->addr != 0) info->addr = n->addr;
  return 1;
}

global_tensor_node_t *global_tensor_node_try_set_info(global_tensor_head_t *head,
                                                      const dynamic_tensor_info_t *info, int owns_host_data) {
  global_tensor_node_t *n = global_tensor_node_find(info->id, head);
  if (n != nullptr) assign_node_info(n, info, owns_host_data);
  return n;
}

global_tensor_node_t *global_tensor_node_set_info(global_tensor_head_t *head, const dynamic_tensor_info_t *info,
                                                  int owns_host_data) {
  global_tensor_node_t *n = global_tensor_node_find(info->id, head);
  if (n == nullptr) {
    fw_log(0, "Cannot find global tensor id %d when set global tensor shape\n", (int)info->id);
    ASSERT(0);
  }
  assign_node_info(n, info, owns_host_data);
  return n;
}

// The borrower's copy of a host-data pointer that its owner is releasing.
static void forget_borrowed(global_tensor_head_t *borrower, void *host_data) {
  if (borrower == nullptr || host_data == nullptr) return;
  for (global_tensor_node_t *n = borrower->first; n != nullptr; n = n->next)
    if (n->host_data == host_data) n->host_data = nullptr;
}

void global_tensor_list_recycle(global_tensor_head_t *head, const u32 *ids, u32 count,
                                global_tensor_head_t *pool, global_tensor_head_t *borrower) {
  global_tensor_node_t **link = &head->first;
  while (*link != nullptr) {
    global_tensor_node_t *n = *link;
    const u32 id = n->key >> 16;
    u32 consumers = n->key & 0xffff;
    if (consumers != CONSUME_NET_INPUT && consumers != CONSUME_NET_OUTPUT) {
      for (u32 i = 0; i < count; i++)
        if (ids[i] == id && consumers > 0) consumers--;
      n->key = id << 16 | consumers;
      if (consumers == 0) {
        *link = n->next;
        forget_borrowed(borrower, n->host_data);
        free(n->host_data);
        n->host_data = nullptr;
        n->addr = 0;
        n->next = pool->first;
        pool->first = n;
        continue;
      }
    }
    link = &n->next;
  }
}

void global_tensor_node_destroy(global_tensor_head_t *head, int free_host_data) {
  if (head == nullptr) return;
  global_tensor_node_t *n = head->first;
  while (n != nullptr) {
    global_tensor_node_t *next = n->next;
    if (free_host_data) free(n->host_data);
    free(n);
    n = next;
  }
  free(head);
}

// ---- Local lists ----

local_tensor_head_t *local_tensor_head_create(void) {
  local_tensor_head_t *head = (local_tensor_head_t *)calloc(1, sizeof(local_tensor_head_t));
  ASSERT(head != nullptr);
  return head;
}

void local_tensor_node_push_front(local_tensor_head_t *head, const local_tensor_info_t *info) {
  for (local_tensor_node_t *n = head->first; n != nullptr; n = n->next)
    if (n->info.id == info->id) return;
  local_tensor_node_t *new_node = (local_tensor_node_t *)malloc(sizeof(local_tensor_node_t));
  ASSERT(new_node != ((void *)0));
  memcpy(&new_node->info, info, sizeof(local_tensor_info_t));
  new_node->next = head->first;
  head->first = new_node;
}

void local_tensor_node_find(local_tensor_head_t *head, u32 id, local_tensor_info_t *out) {
  for (local_tensor_node_t **link = &head->first; *link != nullptr; link = &(*link)->next) {
    local_tensor_node_t *n = *link;
    if (n->info.id != id) continue;
    memcpy(out, &n->info, sizeof(local_tensor_info_t));
    if (n->info.consume_count <= 1) {
      *link = n->next;
      free(n);
    } else {
      n->info.consume_count--;
    }
    return;
  }
  fw_log(0, "cannot find local tensor node, tensor_id=%d\n", (int)id);
  ASSERT(0);
}

void local_tensor_node_destroy(local_tensor_head_t *head) {
  if (head == nullptr) return;
  local_tensor_node_t *n = head->first;
  while (n != nullptr) {
    local_tensor_node_t *next = n->next;
    free(n);
    n = next;
  }
  free(head);
}

// ---- Shape helpers ----

int is_null_tensor(const dynamic_tensor_info_t *info) {
  for (u32 i = 0; i < info->dims && i < DYNAMIC_MAX_DIMS; i++)
    if (info->shape[i] == 0) return 1;
  return 0;
}

void get_shape_dim4(const dynamic_tensor_info_t *info, i32 *dst) {
  const u32 dims = info->dims > DYNAMIC_MAX_DIMS ? DYNAMIC_MAX_DIMS : info->dims;
  for (u32 i = 0; i < dims && i < 4; i++) dst[i] = info->shape[i];
  for (u32 i = 4; i < dims; i++) dst[3] *= info->shape[i];
}

void assign_shape_by_dim(const dynamic_tensor_info_t *info, i32 *dst, int n) {
  const int dims = info->dims > DYNAMIC_MAX_DIMS ? DYNAMIC_MAX_DIMS : (int)info->dims;
  if (dims <= n) {
    for (int i = 0; i < n; i++) dst[i] = i < dims ? info->shape[i] : 1;
    return;
  }
  for (int i = 0; i < n; i++) dst[i] = info->shape[i];
  for (int i = n; i < dims; i++) dst[n - 1] *= info->shape[i];
}

u64 get_tensor_element_num(const dynamic_tensor_info_t *info) {
  u64 count = 1;
  for (u32 i = 0; i < info->dims && i < DYNAMIC_MAX_DIMS; i++)
    if (info->shape[i] >= 0) count *= (u64)info->shape[i];
  return count;
}

// ---- Life of the context ----

void dynamic_context_init(dynamic_context_t *ctx, u32 description, u32 description_bytes, u64 addr_boundary,
                          u64 neuron_base, u64 coeff_base) {
  memset(ctx, 0, sizeof(*ctx));
  ctx->cur = description;
  ctx->begin = description;
  ctx->end = description + description_bytes;
  ctx->addr_boundary = addr_boundary;
  ctx->neuron_base = neuron_base;
  ctx->coeff_base = coeff_base;
  ctx->bridge_addr = DTCM_SCRATCH_START;
  ctx->dtcm_size = DTCM_SCRATCH_SIZE;
  ctx->tensor_table = global_tensor_head_create();
  ctx->extra_table = global_tensor_head_create();
  ctx->free_pool = global_tensor_head_create();
}

static u32 *read_ids(dynamic_context_t *ctx, u32 count) {
  if (count == 0) return nullptr;
  u32 *ids = (u32 *)malloc(count * sizeof(u32));
  ASSERT(ids != nullptr);
  for (u32 i = 0; i < count; i++) ids[i] = dynamic_context_read_u32(ctx) & 0xffff;
  return ids;
}

void dynamic_context_set_io_tensors(dynamic_context_t *ctx, u32 input_num, dynamic_io_tensor_t *inputs,
                                    u32 output_num, dynamic_io_tensor_t *outputs) {
  ctx->input_ids = read_ids(ctx, input_num);
  ctx->output_ids = read_ids(ctx, output_num);
  ctx->input_num = input_num;
  ctx->inputs = inputs;
  ctx->output_num = output_num;
  ctx->outputs = outputs;
  for (u32 i = 0; i < output_num; i++) {
    dynamic_tensor_info_t info = {};
    info.id = ctx->output_ids[i];
    info.addr = outputs[i].addr;
    info.dtype = outputs[i].dtype;
    dynamic_context_tensor_push_front(ctx, info.id << 16 | CONSUME_NET_OUTPUT, &info);
  }
  for (u32 i = 0; i < input_num; i++) {
    i32 shape[DYNAMIC_MAX_DIMS];
    ASSERT(inputs[i].dims <= DYNAMIC_MAX_DIMS);
    memcpy(shape, inputs[i].shape, sizeof(shape));
    dynamic_tensor_info_t info = {};
    info.id = ctx->input_ids[i];
    info.addr = inputs[i].addr;
    info.dtype = inputs[i].dtype;
    info.dims = inputs[i].dims;
    info.shape = shape;
    info.elem_num = inputs[i].elem_num;
    dynamic_context_tensor_push_front(ctx, info.id << 16 | CONSUME_NET_INPUT, &info);
  }
}

void dynamic_context_group_begin(dynamic_context_t *ctx) {
  // Extra list.
  const u32 extra_num = dynamic_context_read_u32(ctx);
  for (u32 i = 0; i < extra_num; i++) dynamic_context_extra_push_front(ctx, dynamic_context_read_u32(ctx), nullptr);
  // Group header.
  dynamic_group_info_t header;
  dynamic_context_read_bytes(ctx, &header, sizeof(header));
  ctx->ts_num = header.ts_num;
  ctx->split_num = header.split_num;
  ctx->n_slice = header.n_slice;
  ctx->group_in_num = header.group_in_num;
  ctx->new_tensor_num = header.new_tensor_num;
  ctx->is_h_split = header.flags & DYNAMIC_GROUP_FLAG_H_SPLIT;
  ctx->stage_num = header.stage_num;
  if (header.flags & DYNAMIC_GROUP_FLAG_LONG_NSLICE) ctx->n_slice = dynamic_context_read_u32(ctx);
  // Group inputs.
  if (!ctx->is_h_split) {
    ctx->slice_records = 0;
    if (ctx->group_in_num > ctx->id_buffer_capacity) {
      free(ctx->id_buffer);
      ctx->id_buffer = (u32 *)malloc(ctx->group_in_num * sizeof(u32));
      ASSERT(ctx->id_buffer != nullptr);
      ctx->id_buffer_capacity = ctx->group_in_num;
    }
    // Ids are read into the buffer (not pointed at in L2 SRAM) so that their
    // reads stay bounded and aligned.
    for (u32 i = 0; i < ctx->group_in_num; i++) ctx->id_buffer[i] = dynamic_context_read_u32(ctx) & 0xffff;
  } else {
    ctx->slice_records = ctx->cur;
    dynamic_context_skip(ctx, ctx->group_in_num * (u32)sizeof(dynamic_group_slice_t));
    if (ctx->group_in_num > ctx->id_buffer_capacity) {
      free(ctx->id_buffer);
      ctx->id_buffer = (u32 *)malloc(ctx->group_in_num * sizeof(u32));
      ASSERT(ctx->id_buffer != nullptr);
      ctx->id_buffer_capacity = ctx->group_in_num;
    }
    for (u32 i = 0; i < ctx->group_in_num; i++) {
      dynamic_group_slice_t s;
      dynamic_context_group_slice(ctx, i, &s);
      ctx->id_buffer[i] = s.id;
    }
  }
  ctx->group_in_ids = ctx->id_buffer;
  // New-tensor keys.
  for (u32 i = 0; i < ctx->new_tensor_num; i++) dynamic_context_tensor_push_front(ctx, dynamic_context_read_u32(ctx), nullptr);
  // Split table.
  ctx->split_table = ctx->cur;
  dynamic_context_skip(ctx, ctx->split_num * 4);
}

void dynamic_context_group_end(dynamic_context_t *ctx) {
  if ((i32)ctx->group_num >= 0 && ctx->group_index >= 0)
    global_tensor_list_recycle(ctx->tensor_table, ctx->group_in_ids, ctx->group_in_num, ctx->free_pool,
                               ctx->extra_table);
}

int dynamic_context_next_group(dynamic_context_t *ctx) {
  if (ctx->group_num == 0 && ctx->group_index == 0) {
    ctx->group_num = dynamic_context_read_u32(ctx);
    ctx->group_index = -1;
  }
  dynamic_context_group_end(ctx);
  ctx->group_in_num = 0;
  ctx->group_index++;
  if (ctx->group_index < (i32)ctx->group_num) {
    dynamic_context_group_begin(ctx);
    return 1;
  }
  dynamic_context_destroy(ctx);
  return 0;
}

void dynamic_context_assign_final_outputs(dynamic_context_t *ctx) {
  for (u32 i = 0; i < ctx->output_num; i++) {
    dynamic_tensor_info_t info = {};
    info.id = ctx->output_ids[i];
    dynamic_context_tensor_find_info(ctx, &info);
    dynamic_io_tensor_t *out = &ctx->outputs[i];
    out->dims = info.dims;
    out->dtype = info.dtype;
    for (u32 d = 0; d < info.dims && d < DYNAMIC_MAX_DIMS; d++) out->shape[d] = (u32)info.shape[d];
    out->elem_num = info.elem_num;
  }
}

void dynamic_context_destroy(dynamic_context_t *ctx) {
  dynamic_context_assign_final_outputs(ctx);
  free(ctx->input_ids);
  free(ctx->output_ids);
  ctx->input_ids = ctx->output_ids = nullptr;
  // The extra table borrows host data; the tensor table and the pool own theirs.
  global_tensor_node_destroy(ctx->extra_table, 0);
  global_tensor_node_destroy(ctx->tensor_table, 1);
  global_tensor_node_destroy(ctx->free_pool, 1);
  ctx->extra_table = ctx->tensor_table = ctx->free_pool = nullptr;
  free(ctx->id_buffer);
  ctx->id_buffer = nullptr;
  ctx->id_buffer_capacity = 0;
  tensor_array_info_t *ta = ctx->owned_arrays;
  while (ta != nullptr) {
    tensor_array_info_t *next = ta->owned_next;
    free(ta->tensors);
    free(ta);
    ta = next;
  }
  ctx->owned_arrays = nullptr;
}

int dynamic_context_is_global(const dynamic_context_t *ctx) { return ctx->ts_num == 1; }

// ---- Tensor references ----

void dynamic_context_unpack_neuron_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info, int is_output) {
  dynamic_neuron_ref_t ref;
  dynamic_context_read_bytes(ctx, &ref, sizeof(ref));
  const u32 is_net_io = ref.is_net_io;
  info->id = ref.id & 0xffff;
  info->addr = 0;
  info->host_data = nullptr;
  info->tensor_array_info = nullptr;
  if (is_net_io == 0) {
    const u64 offset = dynamic_context_read_u64(ctx);
    if (offset != 0) info->addr = (offset >= ctx->addr_boundary ? ctx->neuron_base : ctx->coeff_base) + offset;
  } else if (is_output == 1) {
    info->addr = dynamic_context_get_output_addr(ctx, info->id);
  }
  if (!is_output) {
    dynamic_context_tensor_find_info(ctx, info);
  } else {
    info->dtype = 0;
    info->dims = 0;
    info->shape = nullptr;
    info->elem_num = 0;
  }
}

void dynamic_context_unpack_shape_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info, int is_output) {
  info->id = dynamic_context_read_u32(ctx) & 0xffff;
  if (!is_output) {
    info->addr = 0;
    info->host_data = nullptr;
    info->tensor_array_info = nullptr;
    dynamic_context_tensor_find_info(ctx, info);
  } else {
    info->dtype = DSIZE_INT32;
    info->dims = 0;
    info->addr = 0;
    info->shape = nullptr;
    info->host_data = nullptr;
    info->tensor_array_info = nullptr;
    info->elem_num = 0;
  }
}

tensor_array_info_t *dynamic_context_new_tensor_array(dynamic_context_t *ctx) {
  tensor_array_info_t *ta = (tensor_array_info_t *)calloc(1, sizeof(tensor_array_info_t));
  ASSERT(ta != nullptr);
  ta->owned_next = ctx->owned_arrays;
  ctx->owned_arrays = ta;
  return ta;
}

void dynamic_context_unpack_tensorarray_tensor(dynamic_context_t *ctx, dynamic_tensor_info_t *info,
                                               int is_output) {
  dynamic_tensorarray_ref_t ref;
  dynamic_context_read_bytes(ctx, &ref, sizeof(ref));
  info->id = ref.id & 0xffff;
  const u64 offset = ref.offset;
  info->addr = offset != 0 ? ctx->neuron_base + offset : 0;
  info->host_data = nullptr;
  info->tensor_array_info = nullptr;
  if (!is_output) {
    dynamic_context_tensor_find_info(ctx, info);
  } else {
    info->dtype = 0;
    info->dims = 0;
    info->shape = nullptr;
    info->elem_num = 0;
  }
  info->host_data = nullptr;
  if (info->tensor_array_info == nullptr) info->tensor_array_info = dynamic_context_new_tensor_array(ctx);
}

u64 dynamic_context_unpack_coeff_addr(dynamic_context_t *ctx) { return ctx->coeff_base + dynamic_context_read_u64(ctx); }

// ---- Table access ----

void dynamic_context_tensor_push_front(dynamic_context_t *ctx, u32 key, const dynamic_tensor_info_t *info) {
  global_tensor_node_t *n = global_tensor_node_find(key >> 16, ctx->tensor_table);
  if (n != nullptr && info != nullptr && n->host_data != info->host_data) forget_borrowed(ctx->extra_table, n->host_data);
  global_tensor_node_push_front_info(ctx->tensor_table, key, info, ctx->free_pool, 1);
}

void dynamic_context_extra_push_front(dynamic_context_t *ctx, u32 key, const dynamic_tensor_info_t *info) {
  global_tensor_node_push_front_info(ctx->extra_table, key, info, ctx->free_pool, 0);
}

static void tensor_find_info_named(dynamic_context_t *ctx, dynamic_tensor_info_t *info, const char *caller) {
  if (!global_tensor_node_find_info(ctx->tensor_table, info)) {
    fw_log(0, "%s: cannot find global info for tensor_id=%d\n", caller, (int)info->id);
    ASSERT(0);
  }
}

void dynamic_context_tensor_find_info(dynamic_context_t *ctx, dynamic_tensor_info_t *info) {
  tensor_find_info_named(ctx, info, __func__);
}

int dynamic_context_extra_find_info(dynamic_context_t *ctx, dynamic_tensor_info_t *info) {
  return global_tensor_node_find_info(ctx->extra_table, info);
}

void dynamic_context_tensor_set_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info) {
  global_tensor_node_t *n = global_tensor_node_find(info->id, ctx->tensor_table);
  // Host data the tensor table lets go of is no longer the extra table's either.
  if (n != nullptr && n->host_data != info->host_data) forget_borrowed(ctx->extra_table, n->host_data);
  global_tensor_node_set_info(ctx->tensor_table, info, 1);
}

void dynamic_context_extra_set_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info) {
  global_tensor_node_try_set_info(ctx->extra_table, info, 0);
}

void dynamic_context_global_set_output_info(dynamic_context_t *ctx, const dynamic_tensor_info_t *info) {
  dynamic_context_tensor_set_info(ctx, info);
  dynamic_context_extra_set_info(ctx, info);
}

u32 dynamic_context_find_split_consume(const dynamic_context_t *ctx, u32 id) {
  for (u32 i = 0; i < ctx->split_num; i++) {
    const u32 w = dynamic_context_word_at(ctx, ctx->split_table + 4 * i);
    if ((w >> 16) == id) return w & 0xffff;
  }
  return 1;
}

void dynamic_context_local_set_output_info(dynamic_context_t *ctx, dynamic_pipe_info_t *slot,
                                           local_tensor_info_t *output) {
  ASSERT(output->dims <= DYNAMIC_MAX_DIMS, "tensor %u has %u dims", (unsigned)output->id, (unsigned)output->dims);
  output->consume_count = (u8)dynamic_context_find_split_consume(ctx, output->id);
  local_tensor_node_push_front(slot->list, output);
  dynamic_tensor_info_t info = {};
  info.id = output->id;
  info.dims = output->dims;
  info.shape = output->shape;
  info.elem_num = output->elem_num;
  if (global_tensor_node_t *n = global_tensor_node_find(info.id, ctx->extra_table)) {
    info.host_data = n->host_data;
    info.tensor_array_info = n->tensor_array_info;
    assign_node_info(n, &info, 0);
  }
}

static int find_addr_by_id(const dynamic_io_tensor_t *records, const u32 *ids, u32 count, u32 id, u64 *addr) {
  for (u32 i = 0; i < count; i++) {
    if (ids[i] == id) {
      *addr = records[i].addr;
      return 1;
    }
  }
  return 0;
}

u64 dynamic_context_get_input_addr(const dynamic_context_t *ctx, u32 id) {
  u64 addr = 0;
  if (!find_addr_by_id(ctx->inputs, ctx->input_ids, ctx->input_num, id, &addr)) {
    fw_log(0, "Cannot find the %s tensor id %d\n", "input", (int)id);
    ASSERT(0);
  }
  return addr;
}

u64 dynamic_context_get_output_addr(const dynamic_context_t *ctx, u32 id) {
  u64 addr = 0;
  if (!find_addr_by_id(ctx->outputs, ctx->output_ids, ctx->output_num, id, &addr)) {
    fw_log(0, "Cannot find the %s tensor id %d\n", "output", (int)id);
    ASSERT(0);
  }
  return addr;
}

void dynamic_context_try_get_input_addr(const dynamic_context_t *ctx, u32 id, u64 *addr) {
  for (u32 i = 0; i < ctx->input_num; i++)
    if (ctx->input_ids[i] == id) *addr = ctx->inputs[i].addr;
}

void dynamic_context_try_get_output_addr(const dynamic_context_t *ctx, u32 id, u64 *addr) {
  for (u32 i = 0; i < ctx->output_num; i++)
    if (ctx->output_ids[i] == id) *addr = ctx->outputs[i].addr;
}
