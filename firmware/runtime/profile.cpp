// Profiling records and hooks.
#include "runtime/profile.h"

#include <stdlib.h>
#include <string.h>

#include "runtime/regs.h"
#include "runtime/services.h"

profile_context_t *g_profile_context;

// Records are written byte by byte: a block's records need not be aligned.
static void put_u32(u8 *p, u32 v) { memcpy(p, &v, 4); }
static void put_u64(u8 *p, u64 v) { memcpy(p, &v, 8); }

static profile_block_t *new_profile_data_for_time(profile_context_t *ctx) {
  profile_block_t *block = (profile_block_t *)malloc(sizeof(profile_block_t));
  ASSERT(block);
  // The chain outlives the message that made the block.
  heap_keep(block);
  block->next = nullptr;
  block->used = 0;
  if (ctx->time_head == nullptr)
    ctx->time_head = block;
  else
    ctx->time_current->next = block;
  ctx->time_current = block;
  return block;
}

profile_time_data_t *profile_time_begin(s32 type, u64 data) {
  profile_context_t *ctx = g_profile_context;
  if (ctx == nullptr) return nullptr;
  ctx->begin_calls++;
  if (ctx->next_index > PROFILE_MAX_INDEX) return nullptr;
  profile_block_t *block = ctx->time_current;
  if (block == nullptr || block->used >= PROFILE_BLOCK_BYTES) block = new_profile_data_for_time(ctx);
  u8 *rec = block->data + block->used;
  block->used += sizeof(profile_time_data_t);
  put_u32(rec + offsetof(profile_time_data_t, index), ctx->next_index++);
  put_u32(rec + offsetof(profile_time_data_t, type), (u32)type);
  put_u64(rec + offsetof(profile_time_data_t, data), data);
  put_u64(rec + offsetof(profile_time_data_t, begin_cycle), firmware_timer_get_cycle());
  put_u64(rec + offsetof(profile_time_data_t, end_cycle), PROFILE_END_UNSET);
  return (profile_time_data_t *)rec;
}

profile_time_data_t *profile_time_begin_func(u64 data) {
  if (g_profile_context == nullptr) return nullptr;
  return profile_time_begin(PROFILE_TYPE_FUNC, data);
}

static u32 node_ids(const cmd_id_node_t *node) { return node->bd_cmd_id | node->gdma_cmd_id << 16; }

profile_time_data_t *profile_time_begin_set_node(const cmd_id_node_t *node, engine_id_t engine) {
  if (g_profile_context == nullptr || node == nullptr) return nullptr;
  const u32 high = node->divided | (u32)engine << 16;
  return profile_time_begin(PROFILE_TYPE_SET_NODE, (u64)high << 32 | node_ids(node));
}

profile_time_data_t *profile_time_begin_wait_node(const cmd_id_node_t *node) {
  if (g_profile_context == nullptr || node == nullptr) return nullptr;
  return profile_time_begin(PROFILE_TYPE_WAIT_NODE, node_ids(node));
}

void profile_time_end(profile_time_data_t *record) {
  if (record == nullptr) return;
  put_u64((u8 *)record + offsetof(profile_time_data_t, end_cycle), firmware_timer_get_cycle());
}

u32 profile_time_enabled(void) { return g_profile_context != nullptr; }

void init_profile_time_context(profile_context_t *ctx) {
  if (ctx == nullptr) return;
  firmware_timer_init();
  ctx->next_index = 0;
  ctx->begin_calls = 0;
  ctx->time_current = ctx->time_head = nullptr;
  ctx->extra_head = ctx->extra_current = nullptr;
  u8 *start = (u8 *)profile_time_begin(PROFILE_TYPE_START, 0);
  if (start == nullptr) return;
  put_u64(start + offsetof(profile_time_data_t, begin_cycle), firmware_timer_get_cycle());
  put_u64(start + offsetof(profile_time_data_t, end_cycle), TIMER_NS_PER_CYCLE);
}

static void free_chain(profile_block_t *block) {
  while (block != nullptr) {
    profile_block_t *next = block->next;
    free(block);
    block = next;
  }
}

void deinit_profile_time_context(profile_context_t *ctx) {
  if (ctx == nullptr) return;
  free_chain(ctx->time_head);
  free_chain(ctx->extra_head);
  ctx->time_head = ctx->time_current = nullptr;
  ctx->extra_head = ctx->extra_current = nullptr;
}

void set_profile_time_enabled(u32 enable) {
  if (enable) {
    if (g_profile_context != nullptr) {
      deinit_profile_time_context(g_profile_context);
    } else {
      g_profile_context = (profile_context_t *)malloc(sizeof(profile_context_t));
      ASSERT(g_profile_context!=NULL);
      heap_keep(g_profile_context);
    }
    init_profile_time_context(g_profile_context);
  } else if (g_profile_context != nullptr) {
    deinit_profile_time_context(g_profile_context);
    free(g_profile_context);
    g_profile_context = nullptr;
  }
}

static u32 list_len(const profile_block_t *block) {
  u32 total = 0;
  for (; block != nullptr && block->used != 0; block = block->next) total += block->used;
  return total;
}

u32 get_profile_time_data_len(void) {
  return g_profile_context ? list_len(g_profile_context->time_head) : 0;
}

u32 get_profile_extra_data_len(void) {
  return g_profile_context ? list_len(g_profile_context->extra_head) : 0;
}

// Copies the part of a list from byte `offset` on, at most `max` bytes.
static u32 copy_profile_list(const profile_block_t *block, void *dst, u32 max, u32 offset) {
  u32 position = 0, copied = 0;
  for (; block != nullptr && block->used != 0 && copied < max; block = block->next) {
    const u32 end = position + block->used;
    if (end > offset) {
      const u32 from = offset > position ? offset - position : 0;
      u32 part = block->used - from;
      if (part > max - copied) part = max - copied;
      memcpy((u8 *)dst + copied, block->data + from, part);
      copied += part;
    }
    position = end;
  }
  return copied;
}

u32 get_profile_time_data(void *dst, u32 max, u32 offset) {
  return g_profile_context ? copy_profile_list(g_profile_context->time_head, dst, max, offset) : 0;
}

u32 get_profile_extra_data(void *dst, u32 max, u32 offset) {
  return g_profile_context ? copy_profile_list(g_profile_context->extra_head, dst, max, offset) : 0;
}

// The context set aside by profile_pause.
static profile_context_t *paused_context;

void profile_pause(void) {
  if (g_profile_context == nullptr) return;
  paused_context = g_profile_context;
  g_profile_context = nullptr;
}

void profile_resume(void) {
  if (paused_context == nullptr) return;
  g_profile_context = paused_context;
  paused_context = nullptr;
}
