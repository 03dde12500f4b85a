// The interpreter loop: groups in order, global groups through the global map,
// local groups as a software pipeline over slices.
#include "interp/fullnet.h"

#include <stdlib.h>
#include <string.h>

#include "interp/local_ctrl.h"
#include "interp/move_ctrl.h"
#include "runtime/engine_wait.h"
#include "runtime/profile.h"
#include "runtime/services.h"

dynamic_global_ctrl_t global_func_map[DYNAMIC_LAYER_TYPE_NUM];
dynamic_local_ctrl_t local_func_map[DYNAMIC_LAYER_TYPE_NUM];
dynamic_gdma_ctrl_t gdma_func_map[DYNAMIC_GDMA_TYPE_NUM];
int func_map_inited;

void dynamic_func_map_init(void) {
  if (func_map_inited) return;
  dynamic_global_func_map_fill(global_func_map);
  dynamic_local_func_map_fill(local_func_map);
  gdma_func_map[LD_INPUT_NEURON] = dynamic_load_neuron_ctrl;
  gdma_func_map[LD_ITM_NEURON] = dynamic_load_neuron_ctrl;
  gdma_func_map[ST_OUTPUT_NEURON] = dynamic_store_neuron_ctrl;
  gdma_func_map[ST_ITM_NEURON] = dynamic_store_neuron_ctrl;
  gdma_func_map[LD_COEFF] = dynamic_load_coeff_ctrl;
  gdma_func_map[LD_COEFF_NEURON] = dynamic_load_coeff_neuron_ctrl;
  gdma_func_map[LD_COEFF_WINOGRAD] = dynamic_load_coeff_winograd_ctrl;
  gdma_func_map[MV_ITM_NEURON] = dynamic_move_neuron_ctrl;
  gdma_func_map[MV_OUTPUT_NEURON] = dynamic_move_neuron_ctrl;
  gdma_func_map[MV_ITM_EXTEND_NEURON] = dynamic_move_extend_neuron_ctrl;
  gdma_func_map[ST_ITM_EXTEND_NEURON] = dynamic_store_extend_neuron_ctrl;
  gdma_func_map[LD_G2L2] = dynamic_load_g2l2_ctrl;
  func_map_inited = 1;
}

#if !defined(__arm__)
void dynamic_global_func_map_set_for_test(u32 layer_type, dynamic_global_ctrl_t ctrl) {
  dynamic_func_map_init();
  if (layer_type < DYNAMIC_LAYER_TYPE_NUM) global_func_map[layer_type] = ctrl;
}
void dynamic_local_func_map_set_for_test(u32 layer_type, dynamic_local_ctrl_t ctrl) {
  dynamic_func_map_init();
  if (layer_type < DYNAMIC_LAYER_TYPE_NUM) local_func_map[layer_type] = ctrl;
}
void dynamic_gdma_func_map_set_for_test(u32 gdma_type, dynamic_gdma_ctrl_t ctrl) {
  dynamic_func_map_init();
  if (gdma_type < DYNAMIC_GDMA_TYPE_NUM) gdma_func_map[gdma_type] = ctrl;
}
#endif

// Reads the 16-byte layer header into the context.
static void read_layer_header(dynamic_context_t *ctx) {
  dynamic_layer_header_t header;
  dynamic_context_read_bytes(ctx, &header, sizeof(header));
  ctx->layer_type = header.layer_type;
  ctx->middle_value_copy = header.middle;
  ctx->middle_value = &ctx->middle_value_copy;
}

void fw_call_global_layer(dynamic_context_t *ctx, cmd_id_node_t *node) {
  read_layer_header(ctx);
  // The type is checked against the map's size before it indexes the map.
  const u32 layer_type = ctx->layer_type;
  dynamic_global_ctrl_t ctrl = layer_type < DYNAMIC_LAYER_TYPE_NUM ? global_func_map[layer_type] : nullptr;
  if (ctrl == nullptr) {
    fw_log(0, "global layer_func for layer_type=%d should not be NULL!\n", (int)layer_type);
    ASSERT(0);
  }
  profile_time_data_t *record = nullptr;
  if (profile_time_enabled()) record = profile_time_begin_func((u64)layer_type | (u64)(u32)ctx->group_index << 48);
  ctx->profile = record;
  ctrl(ctx, node);
  if (record != nullptr) profile_time_end(record);
  ctx->profile = nullptr;
  fix_cmd_node_overflow(node);
}

void dynamic_group_geometry_of(dynamic_group_geometry_t *g, u32 n_raw, u32 h, int is_h_split,
                               const dynamic_group_slice_t *first) {
  memset(g, 0, sizeof(*g));
  g->n_raw = n_raw;
  g->n = n_raw == 0 ? 1 : n_raw;
  if (!is_h_split) {
    g->h_step = h;
    g->pad_top = 0;
    g->h_eff = h;
    return;
  }
  const u32 R = first->window_rows, a = first->stride, b = first->window;
  const u32 T = first->pad_top, B = first->pad_bottom, W3 = first->bound_window;
  // A stride of 0 divides by zero and a step of 0 never ends the slices.
  ASSERT(a > 0, "h-split stride 0");
  ASSERT(R + a > b, "h step %d", (int)(R + a - b));
  g->h_step = R + a - b;
  g->pad_top = T;
  if ((T + B + h - b) % a == 0 && b > B)
    g->h_eff = h + B + 1 - b;
  else if (B < W3)
    g->h_eff = h + B - W3 + 1;
  else
    g->h_eff = h;
}

u32 dynamic_group_h_slices(const dynamic_group_geometry_t *g) {
  if (g->h_step == 0) return 1;
  u32 count = 0;
  u32 h_index = 0;
  do {
    count++;
    h_index++;
  } while ((u64)h_index * g->h_step < (u64)g->pad_top + g->h_eff);
  return count;
}

// Reads an item's stage word (none below two stages): its stage and byte count.
static void read_stage(dynamic_context_t *ctx, u32 *stage, u32 *skip_bytes) {
  if (ctx->stage_num < 2) {
    *stage = 0;
    *skip_bytes = 0;
    return;
  }
  dynamic_stage_word_t w;
  dynamic_context_read_bytes(ctx, &w, sizeof(w));
  *stage = w.stage;
  *skip_bytes = w.skip_bytes;
  // A stage past the pipeline would name a slot outside the slot array.
  ASSERT(*stage < ctx->stage_num, "stage %u of %u", (unsigned)*stage, (unsigned)ctx->stage_num);
}

// An item that ran must have consumed exactly the bytes its stage word names.
static void check_framing(const dynamic_context_t *ctx, u32 item_start, u32 skip_bytes) {
  if (ctx->stage_num < 2) return;
  ASSERT(ctx->cur - item_start == skip_bytes, "item consumed %u bytes, its stage word says %u",
         (unsigned)(ctx->cur - item_start), (unsigned)skip_bytes);
}

static void fw_local_only_layer_call(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes) {
  read_layer_header(ctx);
  const u32 layer_type = ctx->layer_type;
  dynamic_local_ctrl_t ctrl = layer_type < DYNAMIC_LAYER_TYPE_NUM ? local_func_map[layer_type] : nullptr;
  if (ctrl == nullptr) {
    fw_log(0, "local layer_func for layer_type=%d should not be NULL!\n", (int)layer_type);
    ASSERT(0);
  }
  profile_time_data_t *record = nullptr;
  if (profile_time_enabled())
    record = profile_time_begin_func((u64)layer_type | (u64)((u32)ctx->group_index << 16 | 1) << 32);
  ctx->profile = record;
  ctrl(ctx, slot, nodes);
  if (record != nullptr) profile_time_end(record);
  ctx->profile = nullptr;
}

static void fw_tensor_gdma_call(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time, u32 index,
                                u32 step, cmd_id_node_t *node) {
  ctx->gdma_type = dynamic_context_read_u32(ctx);
  const u32 gdma_type = ctx->gdma_type;
  dynamic_gdma_ctrl_t ctrl = gdma_type < DYNAMIC_GDMA_TYPE_NUM ? gdma_func_map[gdma_type] : nullptr;
  if (ctrl == nullptr) {
    fw_log(0, "Unknown gdma operation in dynamic compiler, %d.\n", (int)gdma_type);
    ASSERT(0);
  }
  profile_time_data_t *record = nullptr;
  if (profile_time_enabled())
    record = profile_time_begin_func((u64)(gdma_type | index << 16 | step << 24) |
                                     (u64)((u32)ctx->group_index << 16 | 2) << 32);
  ctx->profile = record;
  ctrl(ctx, slot, first_time, node);
  if (record != nullptr) profile_time_end(record);
  ctx->profile = nullptr;
}

void fw_call_local_layer(dynamic_context_t *ctx, cmd_id_node_t *node) {
  // Batch and height of the first group input.
  u32 n_raw = 1, h = 1;
  if (ctx->group_in_num > 0) {
    dynamic_tensor_info_t first = {};
    first.id = ctx->group_in_ids[0];
    dynamic_context_tensor_find_info(ctx, &first);
    if ((i32)first.dims > 0) {
      n_raw = (u32)first.shape[0];
      h = first.dims > 2 ? (u32)first.shape[2] : 1;
    }
  }
  dynamic_group_slice_t first_slice = {};
  if (ctx->is_h_split) {
    ASSERT(ctx->group_in_num > 0);
    dynamic_context_group_slice(ctx, 0, &first_slice);
  }
  // Zero stages would leave no slot, zero items per slice no progress.
  ASSERT(ctx->stage_num > 0);
  ASSERT(ctx->n_slice > 0);
  dynamic_group_geometry_t g;
  dynamic_group_geometry_of(&g, n_raw, h, ctx->is_h_split, &first_slice);

  const u32 S = ctx->stage_num;
  dynamic_pipe_info_t *pipe_info = (dynamic_pipe_info_t *)malloc(S * sizeof(dynamic_pipe_info_t));
  ASSERT(pipe_info != ((void *)0));
  memset(pipe_info, 0, S * sizeof(dynamic_pipe_info_t));
  const u32 body = ctx->cur;

  u32 n_start = 0, h_index = 0, j = 0, d = 0, nb = 0;
  int draining = 0;
  while (n_start < g.n || draining) {
    if (!draining) nb = g.n - n_start < ctx->n_slice ? g.n - n_start : ctx->n_slice;
    for (i32 s = (i32)S - 2; s >= 0; s--) pipe_info[s + 1] = pipe_info[s];
    memset(&pipe_info[0], 0, sizeof(dynamic_pipe_info_t));
    if (!draining) {
      pipe_info[0].list = local_tensor_head_create();
      pipe_info[0].n_start = n_start;
      pipe_info[0].h_index = h_index;
      pipe_info[0].n_slice = g.n_raw == 0 ? 0 : nb;
    }
    ctx->cur = body;
    for (u32 k = 0; k < ctx->ts_num; k++) {
      cmd_id_node_t nodes[2] = {};
      nodes[0].bd_cmd_id = nodes[1].bd_cmd_id = node->bd_cmd_id;
      nodes[0].gdma_cmd_id = nodes[1].gdma_cmd_id = node->gdma_cmd_id;
      node->divided = 1;

      const u32 layer_num = dynamic_context_read_u32(ctx);
      for (u32 i = 0; i < layer_num; i++) {
        u32 s, skip;
        read_stage(ctx, &s, &skip);
        const u32 item = ctx->cur;
        if (s > j || (draining && s < d)) {
          dynamic_context_skip(ctx, skip);
          continue;
        }
        fw_local_only_layer_call(ctx, &pipe_info[s], nodes);
        check_framing(ctx, item, skip);
      }
      const u32 move_num = dynamic_context_read_u32(ctx);
      for (u32 i = 0; i < move_num; i++) {
        u32 s, skip;
        read_stage(ctx, &s, &skip);
        const u32 item = ctx->cur;
        if (s > j || (draining && s < d)) {
          dynamic_context_skip(ctx, skip);
          continue;
        }
        fw_tensor_gdma_call(ctx, &pipe_info[s], j == s ? 1 : 0, i, k, &nodes[1]);
        check_framing(ctx, item, skip);
      }
      node->bd_cmd_id = nodes[0].bd_cmd_id > nodes[1].bd_cmd_id ? nodes[0].bd_cmd_id : nodes[1].bd_cmd_id;
      node->gdma_cmd_id =
          nodes[0].gdma_cmd_id > nodes[1].gdma_cmd_id ? nodes[0].gdma_cmd_id : nodes[1].gdma_cmd_id;
      node->divided = 0;
      fix_cmd_node_overflow(node);
    }
    if (j >= S - 1) {
      local_tensor_node_destroy(pipe_info[S - 1].list);
      pipe_info[S - 1].list = nullptr;
    }
    j++;
    if (draining) {
      d++;
      draining = S > d;
    } else {
      h_index++;
      if ((u64)h_index * g.h_step < (u64)g.pad_top + g.h_eff) continue;
      n_start = (u64)n_start + ctx->n_slice >= g.n ? g.n : n_start + ctx->n_slice;
      h_index = 0;
      if (n_start >= g.n && S > 1) {
        draining = 1;
        d = 1;
      }
    }
  }
  free(pipe_info);
}

u32 nodechip_dynamic_fullnet_compile_v2(u32 description, u32 description_bytes, u64 addr_boundary,
                                        u64 neuron_base, u64 coeff_base, u32 input_num,
                                        dynamic_io_tensor_t *inputs, u32 output_num,
                                        dynamic_io_tensor_t *outputs, cmd_id_node_t *node, u64 scratch_addr,
                                        u32 extra_word) {
  dynamic_func_map_init();
  dynamic_context_t ctx;
  dynamic_context_init(&ctx, description, description_bytes, addr_boundary, neuron_base, coeff_base);
  ctx.scratch_addr = scratch_addr;
  ctx.extra_word = extra_word;
  dynamic_context_set_io_tensors(&ctx, input_num, inputs, output_num, outputs);
  while (dynamic_context_next_group(&ctx)) {
    if (dynamic_context_is_global(&ctx))
      fw_call_global_layer(&ctx, node);
    else
      fw_call_local_layer(&ctx, node);
  }
  return 0;
}
