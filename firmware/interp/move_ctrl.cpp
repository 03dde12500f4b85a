// Tensor-move controllers of local groups.
#include "interp/move_ctrl.h"

#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "interp/fullnet.h"
#include "runtime/services.h"

#define GDMA_VALUE_FORMAT_2BYTE ((gdma_value_format_t)4)

void dynamic_row_window_of(dynamic_row_window_t *out, int is_h_split, const dynamic_group_slice_t *slice, i32 H,
                           u32 h_index) {
  if (!is_h_split) {
    out->pad_top = 0;
    out->h_start = 0;
    out->rows = H;
    out->window_rows = H;
    return;
  }
  const i64 R = slice->window_rows, a = slice->stride, b = slice->window;
  const i64 T = slice->pad_top;
  const i64 pos = (R + a - b) * (i64)h_index;
  i64 rows;
  if (T < pos) {
    out->pad_top = 0;
    out->h_start = (i32)(pos - T);
    rows = R;
    if (R + out->h_start > H) rows = H - out->h_start;
  } else {
    out->pad_top = (i32)(T - pos);
    out->h_start = 0;
    rows = R - (T - pos);
    if (rows >= H) rows = H;
  }
  out->rows = rows < 0 ? 0 : (i32)rows;
  out->window_rows = (i32)R;
}

void dynamic_batch_pack_of(dynamic_batch_pack_t *out, u32 data_size, u32 n_start, u32 nb) {
  if (data_size == DSIZE_16) {
    out->first = n_start >> 1;
    out->count = (nb + 1) / 2;
  } else if (data_size == DSIZE_8) {
    out->first = n_start >> 2;
    out->count = (nb + 3) / 4;
  } else {
    out->first = n_start;
    out->count = nb;
  }
}

// Index of `id` among the group inputs; a move of a tensor that is not one fails.
static u32 group_input_index(const dynamic_context_t *ctx, u32 id) {
  for (u32 i = 0; i < ctx->group_in_num; i++)
    if (ctx->group_in_ids[i] == id) return i;
  fw_log(0, "Cannot find group input tensor id %d.\n", (int)id);
  ASSERT(0);
  return 0;
}

static void slice_row_window(const dynamic_context_t *ctx, u32 group_input, i32 H, u32 h_index,
                             dynamic_row_window_t *w) {
  dynamic_group_slice_t s = {};
  if (ctx->is_h_split) dynamic_context_group_slice(ctx, group_input, &s);
  dynamic_row_window_of(w, ctx->is_h_split, &s, H, h_index);
}

// The tensor-table record of `id` (asserting), its shape folded to N, C, H, W.
static void table_info_nchw(dynamic_context_t *ctx, u32 id, dynamic_tensor_info_t *info, i32 nchw[4]) {
  memset(info, 0, sizeof(*info));
  info->id = id;
  dynamic_context_tensor_find_info(ctx, info);
  ASSERT(info->dims <= DYNAMIC_MAX_DIMS);
  assign_shape_by_dim(info, nchw, 4);
}

void dynamic_load_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                              cmd_id_node_t *node) {
  (void)first_time;
  u32 id, ref, lane, local, override_c, data_size, pack_flag;
  u64 addr = 0;
  if (ctx->gdma_type == LD_INPUT_NEURON) {
    ld_input_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    local = rec.local_addr;
    id = rec.id;
    ref = id;
    lane = 0;
    override_c = rec.channels;
    data_size = rec.data_size;
    pack_flag = rec.pack_flag;
    addr = dynamic_context_get_input_addr(ctx, id);
  } else {
    ld_itm_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    const u64 offset = rec.offset;
    local = rec.local_addr;
    id = rec.id;
    lane = rec.start_lane;
    ref = rec.reference_id;
    override_c = rec.channels;
    data_size = rec.data_size;
    pack_flag = rec.pack_flag;
    if (offset != 0) {
      addr = ctx->neuron_base + offset;
    } else {
      dynamic_tensor_info_t t = {};
      t.id = id;
      dynamic_context_tensor_find_info(ctx, &t);
      addr = t.addr;
    }
  }
  dynamic_tensor_info_t info;
  i32 s[4];
  table_info_nchw(ctx, ref, &info, s);
  if (ref == id && info.addr != 0) addr = info.addr;
  const i32 C = s[1], H = s[2], W = s[3];
  const u32 gi = group_input_index(ctx, ref);
  dynamic_row_window_t w;
  slice_row_window(ctx, gi, H, slot->h_index, &w);
  dynamic_batch_pack_t bp;
  dynamic_batch_pack_of(&bp, data_size, slot->n_start, slot->n_slice);
  const int bytes_1 = data_size == DSIZE_8 && pack_flag == 0 && slot->n_slice == 1;
  const u32 esize = bytes_1 ? 1 : 4;
  const gdma_value_format_t format = bytes_1 ? GDMA_VALUE_FORMAT_UINT8 : GDMA_VALUE_FORMAT_FLOAT32;
  if (C > 0 && bp.count > 0 && w.rows > 0 && W > 0) {
    const u32 plane = eu_plane((u32)w.rows * (u32)W);
    const u32 local_addr = local + ((lane % NPU_NUM) << 19) + (lane / NPU_NUM) * 4 * plane;
    const u64 global = addr + (u64)esize * ((u64)W * w.h_start + (u64)bp.first * C * H * W);
    // The start lane travels inside the offset.
    stride_load(global_view(global, dim4((int)bp.count, C, w.rows, W), dim4(C * H * W, H * W, W, 1), format),
                local_view(local_addr, 0, dim4((int)(ceil_div(C, NPU_NUM) * plane), (int)plane, W, 1), format), node);
  }
  local_tensor_info_t out;
  memset(&out, 0, sizeof(out));
  out.id = id;
  out.pad_top = (u32)w.pad_top;
  out.h_start = (u32)w.h_start;
  out.window_rows = ctx->is_h_split ? (u32)w.window_rows : (u32)H;
  out.dims = info.dims;
  if ((i32)info.dims > 0) memcpy(out.shape, info.shape, info.dims * sizeof(i32));
  if (override_c != 0) out.shape[1] = (i32)override_c;
  out.elem_num = info.elem_num;
  out.dtype = info.dtype;
  out.consume_count = (u8)dynamic_context_find_split_consume(ctx, id);
  local_tensor_node_push_front(slot->list, &out);
}

// The store shared by the plain and the extend records.
typedef struct {
  u64 addr;
  u32 local;
  u32 id;
  u32 dst_channels;
  u32 channel_offset;
  u32 container;
  u32 group_a;  // byte 0 of the group word
  u32 group_b;  // byte 1
  u32 data_size;
  u32 pack_flag;
} store_args_t;

static void register_stored(dynamic_context_t *ctx, u32 id, const local_tensor_info_t *rec, u32 n, u32 c, u32 h,
                            u32 data_size) {
  global_tensor_node_t *node = global_tensor_node_find(id, ctx->tensor_table);
  if (node == nullptr) return;
  i32 shape[DYNAMIC_MAX_DIMS];
  memcpy(shape, rec->shape, sizeof(shape));
  shape[0] = (i32)n;
  shape[1] = (i32)c;
  shape[2] = (i32)h;
  dynamic_tensor_info_t info = {};
  info.id = id;
  info.dims = rec->dims;
  info.shape = shape;
  info.elem_num = rec->elem_num;
  info.dtype = data_size;
  info.host_data = node->host_data;
  info.tensor_array_info = node->tensor_array_info;
  assign_node_info(node, &info, 1);
}

static void store_slice(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, store_args_t *a, int register_id,
                        cmd_id_node_t *node) {
  local_tensor_info_t rec;
  local_tensor_node_find(slot->list, a->id, &rec);
  ASSERT(rec.dims <= DYNAMIC_MAX_DIMS);
  const i32 C = rec.dims > 1 ? rec.shape[1] : 1;
  const i32 H = rec.dims > 2 ? rec.shape[2] : 1;
  i32 W = rec.dims > 3 ? rec.shape[3] : 1;
  for (u32 i = 4; i < rec.dims; i++) W *= rec.shape[i];
  i32 rows = (i32)rec.window_rows;
  if (rows > H - (i32)rec.h_start) rows = H - (i32)rec.h_start;
  if (rows < 0) rows = 0;
  int container_is_tensor = 0;
  if (a->dst_channels <= (u32)C) {
    a->dst_channels = (u32)C;
    a->channel_offset = 0;
    a->container = a->id;
    container_is_tensor = 1;
  }
  dynamic_batch_pack_t bp;
  dynamic_batch_pack_of(&bp, a->data_size, slot->n_start, slot->n_slice);
  const u32 esize = a->data_size == DSIZE_16 ? 2 : a->data_size == DSIZE_8 ? 1 : 4;
  const gdma_value_format_t format = a->data_size == DSIZE_16  ? GDMA_VALUE_FORMAT_2BYTE
                                     : a->data_size == DSIZE_8 ? GDMA_VALUE_FORMAT_UINT8
                                                               : GDMA_VALUE_FORMAT_FLOAT32;
  const u32 plane = eu_plane((u32)(rows * W));
  const u64 HW = (u64)H * W;
  const u32 g = a->group_b >= 2 ? a->group_b : a->group_a;
  const i32 dst_n = (i32)(a->dst_channels * HW), dst_c = (i32)HW;
  if (g < 2 && (a->data_size == DSIZE_FP32 || a->data_size == DSIZE_INT32 || a->pack_flag)) {
    if (bp.count > 0 && C > 0 && rows > 0 && W > 0) {
      const u64 global = a->addr + 4 * ((u64)bp.first * a->dst_channels * HW + a->channel_offset * HW +
                                        (u64)rec.h_start * W);
      stride_store(local_f32(a->local, dim4((int)(ceil_div(C, NPU_NUM) * plane), (int)plane, W, 1)),
                   global_view(global, dim4((int)bp.count, C, rows, W), dim4(dst_n, dst_c, W, 1),
                               GDMA_VALUE_FORMAT_FLOAT32),
                   node);
    }
  } else if (g < 2) {
    // The slice holds p items per word; device memory one item per element.
    const u32 p = a->data_size == DSIZE_16 ? 2 : 4;
    const u32 lane_words = (u32)ceil_div(C, NPU_NUM) * plane;
    if (C > 0 && rows > 0 && W > 0) {
      for (u32 wb = 0; wb < bp.count; wb++) {
        const u32 items = slot->n_slice - wb * p < p ? slot->n_slice - wb * p : p;
        for (u32 j = 0; j < items; j++) {
          const u32 local = a->local + wb * p * lane_words * esize + j * esize;
          const u64 global = a->addr + esize * ((u64)(slot->n_start + wb * p + j) * a->dst_channels * HW +
                                                a->channel_offset * HW + (u64)rec.h_start * W);
          __tensor_general_move_gen_cmd(local, 0, 1, C, 1, rows * W, (int)(p * lane_words), (int)(p * plane),
                                        (int)(p * W), (int)p, format, global, 0, 1, C, 1, rows * W, dst_n, dst_c,
                                        dst_c, 1, format, GDMA_VALUE_DIR_L2S, 0, node);
        }
      }
    }
  } else {
    // B groups of C / B channels, each a compact block in device memory.
    const u32 B = a->group_b, A = a->group_a;
    ASSERT(B > 0);
    const i32 cg = C / (i32)B;
    u64 global = a->addr + 4 * ((u64)bp.first * a->dst_channels * HW + a->channel_offset * HW +
                                (u64)rec.h_start * W);
    u32 local = a->local;
    for (u32 grp = 0; grp < B && cg > 0 && bp.count > 0 && rows > 0 && W > 0; grp++) {
      const u32 gplane = eu_plane((u32)(rows * W));
      const dim4_t ls = dim4((int)(ceil_div(cg, NPU_NUM) * gplane), (int)gplane, W, 1), gs = dim4(dst_n, dst_c, W, 1);
      if (A < 2) {
        if (B < (u32)C)
          stride_store(local_f32(local, ls),
                       global_view(global, dim4((int)bp.count, cg, rows, W), gs, GDMA_VALUE_FORMAT_FLOAT32), node);
      } else {
        u64 block_global = global;
        for (i32 ch = 0; ch + (i32)A <= cg; ch += (i32)A) {
          stride_store(local_f32(local + (u32)(ch / NPU_NUM) * gplane * 4, ls, ch % NPU_NUM),
                       global_view(block_global, dim4((int)bp.count, 1, (int)A * rows, W), gs, GDMA_VALUE_FORMAT_FLOAT32),
                       node);
          block_global += 4 * (u64)W * A * rows;
        }
      }
      global += 4 * (u64)W * cg * rows;
      local += (u32)ceil_div(cg, NPU_NUM) * gplane * 4 * bp.count;
    }
  }
  const u32 n = slot->n_start + slot->n_slice;
  if (!container_is_tensor && register_id) register_stored(ctx, a->id, &rec, n, (u32)C, (u32)H, a->data_size);
  register_stored(ctx, a->container, &rec, n, a->dst_channels, (u32)H, a->data_size);
}

static void store_fields_of(const st_neuron_fields_t *r, store_args_t *a) {
  a->local = r->local_addr;
  a->id = r->id;
  a->dst_channels = r->dst_channels;
  a->channel_offset = r->channel_offset;
  a->container = r->container_id;
  a->group_a = r->group_a;
  a->group_b = r->group_b;
  a->data_size = r->data_size;
  a->pack_flag = r->pack_flag;
}

void dynamic_store_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                               cmd_id_node_t *node) {
  (void)first_time;
  store_args_t a = {};
  if (ctx->gdma_type == ST_OUTPUT_NEURON) {
    st_output_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    store_fields_of(&rec, &a);
    a.addr = dynamic_context_get_output_addr(ctx, a.id);
  } else {
    st_itm_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    const u64 offset = rec.offset;
    store_fields_of(&rec.f, &a);
    a.addr = offset != 0 ? ctx->neuron_base + offset : dynamic_context_get_output_addr(ctx, a.container);
  }
  store_slice(ctx, slot, &a, 1, node);
}

void dynamic_store_extend_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                      cmd_id_node_t *node) {
  (void)first_time;
  ASSERT(ctx->gdma_type == ST_ITM_EXTEND_NEURON);
  st_itm_extend_neuron_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  store_args_t a = {};
  const u64 offset = rec.offset;
  a.local = rec.local_addr;
  a.id = rec.id;
  a.dst_channels = rec.dst_channels;
  a.channel_offset = rec.channel_offset;
  a.container = rec.container_id;
  a.data_size = rec.data_size;
  a.group_a = rec.group_a;
  a.group_b = rec.group_b;
  a.pack_flag = rec.pack_flag;
  a.addr = offset != 0 ? ctx->neuron_base + offset : dynamic_context_get_output_addr(ctx, a.container);
  // Only the tensor itself is registered when it fills its container.
  store_slice(ctx, slot, &a, 0, node);
}

void dynamic_load_coeff_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                             cmd_id_node_t *node) {
  (void)slot;
  ld_coeff_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 once = rec.once, shape_mode = rec.shape_mode, factor = rec.factor;
  if (once != 0 && first_time != 1) return;
  const u64 offset = rec.offset;
  const u32 local = rec.local_addr;
  i64 N = rec.N, C = rec.C, H = rec.H, W = rec.W;
  i64 d[4];
  if (shape_mode == 1) {
    ASSERT(factor > 0);
    d[0] = N * factor, d[1] = C / factor, d[2] = H, d[3] = W;
  } else if (shape_mode == 2) {
    d[0] = N, d[1] = C, d[2] = H, d[3] = W;
  } else {
    d[0] = 1, d[1] = C, d[2] = H * W, d[3] = N;
  }
  const u32 sel = rec.elem_selector;
  const gdma_value_format_t format = sel == 1   ? GDMA_VALUE_FORMAT_INT16
                                     : sel == 2 ? GDMA_VALUE_FORMAT_INT8
                                                : GDMA_VALUE_FORMAT_FLOAT32;
  if (d[0] > 0 && d[1] > 0 && d[2] > 0 && d[3] > 0)
    tensor_compact_move_gen_cmd(local & 0x7ffff, (int)(local >> 19), ctx->coeff_base + offset, (int)d[0], (int)d[1],
                                (int)d[2], (int)d[3], format, GDMA_VALUE_DIR_S2L, 0, node);
}

void dynamic_load_coeff_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                    cmd_id_node_t *node) {
  ld_coeff_neuron_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u64 addr = ctx->coeff_base + rec.offset;
  const u32 local = rec.local_addr;
  const i32 C = rec.C, W = rec.W;
  const u32 pad_top = rec.pad_top, row_step = rec.row_step;
  const u32 window_rows = rec.window_rows;
  const i32 H = rec.H;
  const u32 once = rec.once, single_batch = rec.single_batch;
  const u32 data_size = rec.data_size, batch_to_register = rec.batch_to_register, id = rec.id;
  // Row window from the record's own fields.
  dynamic_row_window_t w;
  if (!ctx->is_h_split || H == 1) {
    w.pad_top = 0;
    w.h_start = 0;
    w.rows = H;
  } else {
    const i64 pos = (i64)row_step * slot->h_index;
    // The load rule with the record's own step: pos = row_step x h_index.
    if ((i64)pad_top < pos) {
      w.pad_top = 0;
      w.h_start = (i32)(pos - pad_top);
      w.rows = (i32)window_rows;
      if ((i64)window_rows + w.h_start > H) w.rows = H - w.h_start;
    } else {
      w.pad_top = (i32)(pad_top - pos);
      w.h_start = 0;
      w.rows = (i32)(window_rows - (pad_top - pos));
      if (w.rows >= H) w.rows = H;
    }
    if (w.rows < 0) w.rows = 0;
  }
  if (once == 0 || first_time == 1) {
    const u32 n_start = single_batch ? 0 : slot->n_start;
    const u32 nb = single_batch ? 1 : slot->n_slice;
    if (data_size == DSIZE_FP32 || data_size == DSIZE_INT32) {
      if (nb > 0 && C > 0 && w.rows > 0 && W > 0)
        stride_load(global_view(addr + 4 * ((u64)W * w.h_start + (u64)n_start * C * H * W), dim4((int)nb, C, w.rows, W),
                                dim4(C * H * W, H * W, W, 1), GDMA_VALUE_FORMAT_FLOAT32),
                    local_f32(local, dim4((int)(ceil_div(C, NPU_NUM) * W * w.rows), W * w.rows, W, 1)), node);
    } else if (data_size == DSIZE_8) {
      const u32 lane_bytes = (u32)ceil_div(C, NPU_NUM) * (u32)(H * W) * 4;
      if (C > 0 && w.rows > 0 && W > 0) {
        for (u32 grp = 0; grp * 4 < nb; grp++) {
          const u32 items = nb - grp * 4 < 4 ? nb - grp * 4 : 4;
          for (u32 j = 0; j < items; j++) {
            const u64 src = addr + (u64)W * w.h_start + (u64)(n_start + grp * 4 + j) * C * H * W;
            __tensor_general_move_gen_cmd(src, 0, 1, C, w.rows, W, C * W * w.rows, W * w.rows, W, 1,
                                          GDMA_VALUE_FORMAT_INT8, local + j + grp * lane_bytes, 0, 1, C, w.rows,
                                          W, (int)lane_bytes, H * W * 4, W * 4, 4, GDMA_VALUE_FORMAT_INT8,
                                          GDMA_VALUE_DIR_S2L, 0, node);
          }
        }
      }
    } else {
      ASSERT(0);
    }
  }
  if (batch_to_register != 0) {
    local_tensor_info_t out;
    memset(&out, 0, sizeof(out));
    out.id = id;
    out.pad_top = pad_top;
    out.h_start = (u32)w.h_start;
    out.window_rows = window_rows;
    out.dims = 4;
    out.shape[0] = (i32)batch_to_register;
    out.shape[1] = C;
    out.shape[2] = H;
    out.shape[3] = W;
    out.dtype = data_size;
    out.consume_count = (u8)dynamic_context_find_split_consume(ctx, id);
    local_tensor_node_push_front(slot->list, &out);
  }
}

void dynamic_load_coeff_winograd_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                      cmd_id_node_t *node) {
  (void)slot;
  ld_coeff_winograd_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u32 once = rec.once;
  if (once != 0 && first_time != 1) return;
  const u32 n = rec.n, C = rec.C;
  const u32 H = ld_coeff_winograd_H(&rec), W = ld_coeff_winograd_W(&rec);
  const u32 winograd_coeff = rec.winograd_coeff, groups = rec.groups, data_size = rec.data_size;
  ASSERT(n == groups);
  ASSERT(winograd_coeff > 0);
  ASSERT(data_size == DSIZE_8);
  const u32 local = rec.local_addr;
  if (groups == 0 || C == 0 || H == 0 || W == 0) return;
  stride_load(global_view(ctx->coeff_base + rec.offset, dim4((int)groups, (int)C, (int)H, (int)W),
                          dim4((int)(W * H * C), (int)(W * H), (int)W, 1), GDMA_VALUE_FORMAT_INT8),
              local_view(local & 0x7ffff, (int)(local >> 19),
                         dim4((int)ALIGN(W * H * ceil_div(C, NPU_NUM), 128), (int)(W * H), (int)W, 1),
                         GDMA_VALUE_FORMAT_INT8),
              node);
}

// Registers a moved global tensor: the source's geometry, batch n_start + nb
// and `channels` channels.
static void register_moved(dynamic_context_t *ctx, u32 dst_id, const dynamic_tensor_info_t *src, u32 n,
                           u32 channels, u32 dtype) {
  i32 shape[DYNAMIC_MAX_DIMS] = {};
  if ((i32)src->dims > 0) memcpy(shape, src->shape, src->dims * sizeof(i32));
  shape[0] = (i32)n;
  shape[1] = (i32)channels;
  dynamic_tensor_info_t info = {};
  info.id = dst_id;
  info.dims = src->dims;
  info.shape = shape;
  info.elem_num = src->elem_num;
  info.dtype = dtype;
  dynamic_context_global_set_output_info(ctx, &info);
}

void dynamic_move_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                              cmd_id_node_t *node) {
  (void)first_time;
  const int itm = ctx->gdma_type == MV_ITM_NEURON;
  // Both records hold the same fields behind their offsets: the source's, and
  // in the intermediate move's record the destination's.
  u64 src_offset, dst_offset = 0;
  mv_neuron_fields_t f;
  if (itm) {
    mv_itm_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    src_offset = rec.src_offset;
    dst_offset = rec.dst_offset;
    f = rec.f;
  } else {
    mv_output_neuron_rec_t rec;
    dynamic_context_read_record(ctx, &rec, sizeof(rec));
    src_offset = rec.src_offset;
    f = rec.f;
  }
  u64 src = ctx->neuron_base + src_offset;
  const u32 C = f.C, src_id = f.source_id;
  const u32 dst_channels = f.dst_channels, channel_offset = f.channel_offset;
  const u32 dst_id = f.dst_id, data_size = f.data_size;
  u64 dst = itm ? ctx->neuron_base + dst_offset : dynamic_context_get_output_addr(ctx, dst_id);
  dynamic_context_try_get_input_addr(ctx, src_id, &src);
  dynamic_context_try_get_output_addr(ctx, dst_id, &dst);
  dynamic_tensor_info_t info;
  i32 s[4];
  table_info_nchw(ctx, src_id, &info, s);
  const i32 H = s[2], W = s[3];
  const u32 gi = group_input_index(ctx, src_id);
  dynamic_row_window_t w;
  slice_row_window(ctx, gi, H, slot->h_index, &w);
  dynamic_batch_pack_t bp;
  dynamic_batch_pack_of(&bp, data_size, slot->n_start, slot->n_slice);
  src += 4 * (u64)W * ((u64)H * C * bp.first + w.h_start);
  dst += 4 * (u64)W * ((u64)H * ((u64)dst_channels * bp.first + channel_offset) + w.h_start);
  if (bp.count > 0 && C > 0 && w.rows > 0 && W > 0)
    move_g2g(global_view(src, dim4((int)bp.count, (int)C, w.rows, W), dim4((int)C * H * W, H * W, W, 1),
                         GDMA_VALUE_FORMAT_FLOAT32),
             global_view(dst, dim4((int)bp.count, (int)C, w.rows, W), dim4((int)dst_channels * H * W, H * W, W, 1),
                         GDMA_VALUE_FORMAT_FLOAT32),
             node);
  register_moved(ctx, dst_id, &info, slot->n_start + slot->n_slice, dst_channels, data_size);
}

void dynamic_extend_fold_of(u32 C, u32 H, u32 W, u32 *k, u32 *mode) {
  *k = 1;
  *mode = 0;
  // A channel count without a divisor that brings it under the limit (1 or a
  // large prime) is left unchanged: the search stops at C.
  for (u32 f = 2; f <= C; f++) {
    if (C % f == 0 && C / f <= 65532) {
      *k = f;
      break;
    }
  }
  if (*k == 1) return;
  if ((u64)*k * W <= 65532)
    *mode = 1;
  else if ((u64)*k * H <= 65532)
    *mode = 2;
  else
    *k = 1;
}

void dynamic_move_extend_neuron_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                     cmd_id_node_t *node) {
  (void)first_time;
  mv_itm_extend_neuron_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  u64 src = ctx->neuron_base + rec.src_offset;
  u64 dst = ctx->neuron_base + rec.dst_offset;
  const u32 src_id = rec.source_id, channel_offset = rec.channel_offset, dst_id = rec.dst_id;
  const u32 elem_type = rec.elem_type, C = rec.C, dst_channels = rec.dst_channels;
  const u32 store_mode = rec.store_mode;
  dynamic_context_try_get_input_addr(ctx, src_id, &src);
  dynamic_tensor_info_t info;
  i32 s[4];
  table_info_nchw(ctx, src_id, &info, s);
  const i64 H = s[2], W = s[3];
  dynamic_batch_pack_t bp;
  u32 size;
  gdma_value_format_t format;
  if (store_mode == FW_STORE_MODE_2N || store_mode == FW_STORE_MODE_4N) {
    dynamic_batch_pack_of(&bp, store_mode == FW_STORE_MODE_2N ? DSIZE_16 : DSIZE_8, slot->n_start, slot->n_slice);
    size = 4;
    format = GDMA_VALUE_FORMAT_FLOAT32;
  } else if (store_mode == FW_STORE_MODE_1N) {
    bp.first = slot->n_start;
    bp.count = slot->n_slice;
    size = elem_type == DSIZE_16 ? 2 : elem_type == DSIZE_8 ? 1 : 4;
    format = elem_type == DSIZE_16  ? GDMA_VALUE_FORMAT_INT16
             : elem_type == DSIZE_8 ? GDMA_VALUE_FORMAT_INT8
                                    : GDMA_VALUE_FORMAT_FLOAT32;
  } else {
    fw_log(0, "Invalid store mode: %d.\n", (int)store_mode);
    ASSERT(0);
  }
  src += (u64)bp.first * size * H * W * C;
  dst += (u64)size * H * W * ((u64)bp.first * dst_channels + channel_offset);
  u32 k, mode;
  dynamic_extend_fold_of(C, (u32)H, (u32)W, &k, &mode);
  const i64 c2 = C / k, h2 = mode == 2 ? H * k : H, w2 = mode == 1 ? W * k : W;
  for (i64 done = 0; done < c2;) {
    const i64 chunk = c2 - done < 65532 ? c2 - done : 65532;
    if (bp.count > 0 && chunk > 0 && h2 > 0 && w2 > 0)
      move_g2g(global_view(src, dim4((int)bp.count, (int)chunk, (int)h2, (int)w2),
                           dim4((int)(C * H * W), (int)(h2 * w2), (int)w2, 1), format),
               global_view(dst, dim4((int)bp.count, (int)chunk, (int)h2, (int)w2),
                           dim4((int)(dst_channels * H * W), (int)(h2 * w2), (int)w2, 1), format),
               node);
    src += (u64)chunk * h2 * w2 * size;
    dst += (u64)chunk * h2 * w2 * size;
    done += chunk;
  }
  register_moved(ctx, dst_id, &info, slot->n_start + slot->n_slice, dst_channels, elem_type);
}

void dynamic_load_g2l2_ctrl(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                            cmd_id_node_t *node) {
  (void)slot;
  (void)first_time;
  ld_g2l2_rec_t rec;
  dynamic_context_read_record(ctx, &rec, sizeof(rec));
  const u64 offset = rec.offset;
  const u32 l2_offset = rec.l2_offset, id = rec.id, selector = rec.base_selector, count = rec.byte_count;
  u64 src;
  if (selector == 0)
    src = dynamic_context_get_input_addr(ctx, id);
  else if (selector == 1)
    src = ctx->neuron_base + offset;
  else
    src = ctx->coeff_base + offset;
  // The copy must land inside L2 SRAM.
  ASSERT(l2_offset < L2_SRAM_SIZE && count <= L2_SRAM_SIZE - l2_offset);
  if (count == 0) return;
  const dim4_t bytes = dim4(1, 1, 1, (int)count), st = dim4(1, 1, 1, 1);
  move_g2g(global_view(src, bytes, st, GDMA_VALUE_FORMAT_INT8),
           global_view((u64)L2_SRAM_START_ADDR + l2_offset, bytes, st, GDMA_VALUE_FORMAT_INT8), node);
}
