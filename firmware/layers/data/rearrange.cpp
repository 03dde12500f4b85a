// Reverse, channel shuffle, space/batch/depth rearrangements, reorg and the
// 4N-to-1N reshape of tensors in device memory.
#include "layers/data/rearrange.h"

#include <string.h>

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/local_mem.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "layers/data/copy.h"
#include "layers/data/pad.h"
#include "local/arrange.h"

// 4N groups of n items.
static inline int ceil4(int n) { return (int)ceil_div(n, 4); }

// A general move between two global tensors of one shape and format.
static void move_fmt(u64 src, const int *shape, const int *src_stride, u64 dst, const int *dst_stride,
                     gdma_value_format_t f, cmd_id_node_t *node) {
  move_g2g(global_view(src, dim4_from(shape), dim4_from(src_stride), f),
           global_view(dst, dim4_from(shape), dim4_from(dst_stride), f), node);
}

static void move_words(u64 src, const int *shape, const int *src_stride, u64 dst, const int *dst_stride,
                       cmd_id_node_t *node) {
  move_fmt(src, shape, src_stride, dst, dst_stride, GDMA_VALUE_FORMAT_FLOAT32, node);
}

void nodechip_reverse_forward_v2(u64 input, u64 output, const int *shape, int shape_size, int axis,
                                 cmd_id_node_t *node) {
  if (axis < 0) axis += shape_size;
  // The axis indexes the shape.
  ASSERT_FS(axis >= 0 && axis < shape_size);
  int outer = 1, inner = 1;
  for (int i = 0; i < axis; i++) outer *= shape[i];
  for (int i = axis + 1; i < shape_size; i++) inner *= shape[i];
  const int len = shape[axis];
  const int move[4] = {outer, 1, 1, inner};
  const int stride[4] = {len * inner, 1, 1, 1};
  for (int i = 0; i < len; i++) {
    fix_cmd_node_overflow(node);
    move_words(input + 4u * (u64)i * (u64)inner, move, stride, output + 4u * (u64)(len - 1 - i) * (u64)inner, stride,
               node);
  }
}

static void shuffle_channels(u64 input, u64 output, int n, int c, int h, int w, int group, cmd_id_node_t *node) {
  const int k = c / group;
  const int hw = h * w;
  const int move[4] = {n, group, h, w};
  const int src_stride[4] = {c * hw, k * hw, w, 1};
  const int dst_stride[4] = {c * hw, hw, w, 1};
  for (int i = 0; i < k; i++) {
    fix_cmd_node_overflow(node);
    move_words(input + 4u * (u64)i * (u64)hw, move, src_stride, output + 4u * (u64)i * (u64)group * (u64)hw,
               dst_stride, node);
  }
}

void nodechip_shuffle_channel_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                      cmd_id_node_t *node) {
  // The channels are divided into groups.
  ASSERT_FS(group > 0);
  shuffle_channels(input, output, n, c, h, w, group, node);
}

void nodechip_shuffle_channel_fix8b_forward(u64 input, u64 output, int n, int c, int h, int w, int group,
                                            cmd_id_node_t *node) {
  ASSERT_FS(group > 0);
  shuffle_channels(input, output, n, c, h, w, group, node);
}

// ---- Space to batch and back ----

// The bw moves of space to batch from a padded (n, c, H', W') image.
static void space2batch_moves(u64 src, u64 dst, int n, int c, int ph, int pw, int bh, int bw,
                              gdma_value_format_t f, cmd_id_node_t *node) {
  const u64 size = (u64)get_type_len(f);
  const int oh = ph / bh, ow = pw / bw;
  const int planes = n * c * oh;
  const int move[4] = {planes, bh, ow, 1};
  const int src_stride[4] = {bh * ow * bw, ow * bw, bw, 1};
  const int dst_stride[4] = {ow, bw * n * c * oh * ow, 1, 1};
  for (int j = 0; j < bw; j++) {
    fix_cmd_node_overflow(node);
    move_fmt(src + size * (u64)j, move, src_stride, dst + size * (u64)j * (u64)n * (u64)c * (u64)oh * (u64)ow, dst_stride,
             f, node);
  }
}

static void space2batch_shape(const int *shape, const int *block, const int *pads, int *out) {
  const int ph = shape[2] + pads[0] + pads[1], pw = shape[3] + pads[2] + pads[3];
  out[0] = block[0] * block[1] * shape[0];
  out[1] = shape[1];
  out[2] = ph / block[0];
  out[3] = pw / block[1];
}

void nodechip_space2batch(u64 input, u64 output, u64 buffer, const int *shape, int input_dim, const int *block,
                          const int *pads, int *output_shape, cmd_id_node_t *node) {
  ASSERT_FS(input_dim == 4);
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  const int ph = h + pads[0] + pads[1], pw = w + pads[2] + pads[3];
  u64 src = input;
  if (ph != h || pw != w) {
    const int p[4][2] = {{0, 0}, {0, 0}, {pads[0], pads[1]}, {pads[2], pads[3]}};
    nodechip_pad(input, buffer, n, c, h, w, p, 0, 0.0f, node);
    src = buffer;
  }
  space2batch_moves(src, output, n, c, ph, pw, block[0], block[1], GDMA_VALUE_FORMAT_FLOAT32, node);
  if (output_shape) space2batch_shape(shape, block, pads, output_shape);
}

void nodechip_space2batch_fix8b(u64 input, u64 output, u64 buffer, u64 *buffer_size, const int *shape, int input_dim,
                                int in_store_mode, int out_store_mode, const int *block, const int *pads,
                                int *output_shape, cmd_id_node_t *node) {
  ASSERT(input_dim == 4);
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  const int bh = block[0], bw = block[1];
  const int ph = h + pads[0] + pads[1], pw = w + pads[2] + pads[3];
  const int padded = ph != h || pw != w;
  const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
  int out[4];
  space2batch_shape(shape, block, pads, out);
  if (buffer_size) {
    const u64 in_bytes = (u64)(in_4n ? 4 * (i64)ceil4(n) : n) * (u64)c * (u64)h * (u64)w;
    const u64 out_bytes = (u64)(out_4n ? 4 * (i64)ceil4(out[0]) : out[0]) * (u64)c * (u64)out[2] * (u64)out[3];
    *buffer_size = (!padded && !in_4n && !out_4n) ? 0 : (in_bytes > out_bytes ? in_bytes : out_bytes);
    return;
  }
  // The 1N image the moves read: padded, converted, or the input itself.
  const u64 image = out_4n ? output : buffer;
  const u64 other = out_4n ? buffer : output;
  u64 src = input;
  if (padded) {
    const int p[4][2] = {{0, 0}, {0, 0}, {pads[0], pads[1]}, {pads[2], pads[3]}};
    nodechip_pad_fix8b(input, image, (u8)in_4n, other, 0, 0, n, c, h, w, p, 0, 0, node);
    src = image;
  } else if (in_4n) {
    gdma_move_global_1N_and_4N(image, input, n, c * h * w, 0, node);
    src = image;
  }
  const u64 dst = out_4n ? buffer : output;
  {
    const u64 input_addr = src, output_addr = dst;
    ASSERT(input_addr != output_addr);
  }
  space2batch_moves(src, dst, n, c, ph, pw, bh, bw, GDMA_VALUE_FORMAT_INT8, node);
  if (out_4n) gdma_move_global_1N_and_4N(buffer, output, out[0], c * out[2] * out[3], 1, node);
  if (output_shape)
    for (int i = 0; i < 4; i++) output_shape[i] = out[i];
}

// The bh moves of batch to space into an uncropped (n', c, H, W) image.
static void batch2space_moves(u64 src, u64 dst, int n, int c, int h, int w, int bh, int bw, gdma_value_format_t f,
                              cmd_id_node_t *node) {
  const u64 size = (u64)get_type_len(f);
  const int items = n / (bh * bw);
  const int W = w * bw;
  const int move[4] = {bw, items * c * h, w, 1};
  const int src_stride[4] = {items * c * h * w, w, 1, 1};
  const int dst_stride[4] = {1, bh * W, bw, 1};
  for (int i = 0; i < bh; i++) {
    fix_cmd_node_overflow(node);
    move_fmt(src + size * (u64)i * (u64)bw * (u64)items * (u64)c * (u64)h * (u64)w, move, src_stride,
             dst + size * (u64)i * (u64)W, dst_stride, f, node);
  }
}

static void batch2space_shape(const int *shape, const int *block, const int *crops, int *out) {
  out[0] = shape[0] / (block[0] * block[1]);
  out[1] = shape[1];
  out[2] = shape[2] * block[0] - crops[0] - crops[1];
  out[3] = shape[3] * block[1] - crops[2] - crops[3];
}

void nodechip_batch2space(u64 input, u64 output, u64 buffer, const int *shape, int input_dim, const int *block,
                          const int *crops, int *output_shape, cmd_id_node_t *node) {
  ASSERT_FS(input_dim == 4);
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  const int cropped = crops[0] || crops[1] || crops[2] || crops[3];
  int out[4];
  batch2space_shape(shape, block, crops, out);
  batch2space_moves(input, cropped ? buffer : output, n, c, h, w, block[0], block[1], GDMA_VALUE_FORMAT_FLOAT32, node);
  if (cropped) {
    const int offset[4] = {0, 0, crops[0], crops[2]};
    const int full[4] = {out[0], c, h * block[0], w * block[1]};
    nodechip_crop(buffer, output, offset, out, full, node);
  }
  if (output_shape)
    for (int i = 0; i < 4; i++) output_shape[i] = out[i];
}

void nodechip_batch2space_fix8b(u64 input, u64 output, u64 buffer, u64 buffer2, u64 *buffer_size, const int *shape,
                                int input_dim, int in_store_mode, int out_store_mode, const int *block,
                                const int *crops, int *output_shape, cmd_id_node_t *node) {
  ASSERT(input_dim == 4);
  ASSERT(in_store_mode != FW_STORE_MODE_2N);
  ASSERT(out_store_mode != FW_STORE_MODE_2N);
  const int n = shape[0], c = shape[1], h = shape[2], w = shape[3];
  const int cropped = crops[0] || crops[1] || crops[2] || crops[3];
  const int in_4n = in_store_mode == FW_STORE_MODE_4N, out_4n = out_store_mode == FW_STORE_MODE_4N;
  int out[4];
  batch2space_shape(shape, block, crops, out);
  const int H = h * block[0], W = w * block[1];
  if (buffer_size) {
    const u64 in_bytes = (u64)(in_4n ? 4 * (i64)ceil4(n) : n) * (u64)c * (u64)h * (u64)w;
    const u64 out_bytes = (u64)(out_4n ? 4 * (i64)ceil4(out[0]) : out[0]) * (u64)c * (u64)H * (u64)W;
    if (!cropped && !in_4n && !out_4n) {
      *buffer_size = 0;
      return;
    }
    u64 bytes = in_bytes > out_bytes ? in_bytes : out_bytes;
    if ((in_4n && (cropped || out_4n)) || (!in_4n && cropped && out_4n)) bytes += in_bytes;
    *buffer_size = bytes;
    return;
  }
  u64 src = input, dst;
  if (in_4n) {
    gdma_move_global_1N_and_4N(buffer, input, n, c * h * w, 0, node);
    src = buffer;
    dst = (!cropped && !out_4n) ? output : buffer2;
  } else if (out_4n) {
    dst = cropped ? buffer2 : buffer;
  } else {
    dst = cropped ? buffer : output;
  }
  {
    const u64 input_addr = src, output_addr = dst;
    ASSERT(input_addr != output_addr);
  }
  batch2space_moves(src, dst, n, c, h, w, block[0], block[1], GDMA_VALUE_FORMAT_INT8, node);
  const int offset[4] = {0, 0, crops[0], crops[2]};
  const int full[4] = {out[0], c, H, W};
  if (cropped) {
    if (out_4n) {
      gdma_move_global_1N_and_4N(dst, buffer, out[0], c * H * W, 1, node);
      nodechip_crop_forward_fix8b(buffer, output, offset, out, full, FW_STORE_MODE_4N, node);
    } else {
      nodechip_crop_forward_fix8b(dst, output, offset, out, full, FW_STORE_MODE_1N, node);
    }
  } else if (out_4n) {
    gdma_move_global_1N_and_4N(dst, output, out[0], c * H * W, 1, node);
  }
  if (output_shape)
    for (int i = 0; i < 4; i++) output_shape[i] = out[i];
}

// ---- Depth to space and back ----

// Element offset of (m, ch, y, x) in a tensor of (C, H, W) per item, NCHW or NHWC.
static inline u64 at(int nchw, int C, int H, int W, int m, int ch, int y, int x) {
  const u64 item = (u64)m * (u64)C * (u64)H * (u64)W;
  return nchw ? item + ((u64)ch * (u64)H + (u64)y) * (u64)W + (u64)x : item + ((u64)y * (u64)W + (u64)x) * (u64)C + (u64)ch;
}

// The deep (Cd, Hd, Wd) and shallow (Cs, Hs, Ws) sides of a depth/space move.
typedef struct {
  int Cd, Hd, Wd, Cs, Hs, Ws;
} d2s_sides_t;

// One move of one block offset (a, b) and one shallow channel k: the n x Hd x
// Wd pixels of the deep side, each with its partner on the shallow side. Depth
// to space reads the deep side.
static void d2s_one(u64 deep, int deep_nchw, u64 shallow, int shallow_nchw, int n, const d2s_sides_t *e, int bh,
                    int bw, int a, int b, int k, int to_shallow, gdma_value_format_t f, cmd_id_node_t *node) {
  const u64 size = (u64)get_type_len(f);
  const int Cd = e->Cd, Hd = e->Hd, Wd = e->Wd, Cs = e->Cs, Hs = e->Hs, Ws = e->Ws;
  const int ch = (a * bw + b) * Cs + k;
  const u64 d0 = at(deep_nchw, Cd, Hd, Wd, 0, ch, 0, 0);
  const u64 s0 = at(shallow_nchw, Cs, Hs, Ws, 0, k, a, b);
  const int ds[4] = {Cd * Hd * Wd, deep_nchw ? Wd : Wd * Cd, deep_nchw ? 1 : Cd, 1};
  const int ss[4] = {Cs * Hs * Ws, shallow_nchw ? bh * Ws : bh * Ws * Cs, shallow_nchw ? bw : bw * Cs, 1};
  // The x step of each side rides in the move's h position (w stride 1).
  const int move[4] = {n, Hd, Wd, 1};
  fix_cmd_node_overflow(node);
  if (to_shallow)
    move_fmt(deep + size * d0, move, ds, shallow + size * s0, ss, f, node);
  else
    move_fmt(shallow + size * s0, move, ss, deep + size * d0, ds, f, node);
}

void nodechip_depth2space(u64 input, u64 output, const int *shape, int input_dims, const int *block, int in_is_nchw,
                          int out_is_nchw, int is_inverse, int format, cmd_id_node_t *node) {
  ASSERT_FS(input_dims == 4);
  const gdma_value_format_t f = (gdma_value_format_t)format;
  const u64 size = (u64)get_type_len(format);
  const int bh = block[0], bw = block[1];
  const int n = shape[0];
  const int C = in_is_nchw ? shape[1] : shape[3];
  const int H = in_is_nchw ? shape[2] : shape[1];
  const int W = in_is_nchw ? shape[3] : shape[2];
  const int item = C * H * W;
  if (!is_inverse) {
    // Deep input (C, H, W), shallow output (C', H bh, W bw).
    const int Cs = C / (bh * bw);
    const d2s_sides_t e = {C, H, W, Cs, H * bh, W * bw};
    if (!in_is_nchw && !out_is_nchw) {
      const int move[4] = {n, H, W, bw * Cs};
      const int ss[4] = {item, W * C, C, 1};
      const int ds[4] = {item, bh * W * bw * Cs, bw * Cs, 1};
      for (int a = 0; a < bh; a++) {
        fix_cmd_node_overflow(node);
        move_fmt(input + size * (u64)a * (u64)bw * (u64)Cs, move, ss, output + size * (u64)a * (u64)W * (u64)bw * (u64)Cs,
                 ds, f, node);
      }
      return;
    }
    if (in_is_nchw && out_is_nchw) {
      for (int k = 0; k < Cs; k++)
        for (int a = 0; a < bh; a++)
          for (int b = 0; b < bw; b++) d2s_one(input, 1, output, 1, n, &e, bh, bw, a, b, k, 1, f, node);
      return;
    }
    for (int a = 0; a < bh; a++)
      for (int b = 0; b < bw; b++)
        for (int k = 0; k < Cs; k++)
          d2s_one(input, in_is_nchw, output, out_is_nchw, n, &e, bh, bw, a, b, k, 1, f, node);
    return;
  }
  // Space to depth: shallow input (C, H, W), deep output (C bh bw, H / bh, W / bw).
  const int Hd = H / bh, Wd = W / bw, Cd = C * bh * bw;
  const d2s_sides_t e = {Cd, Hd, Wd, C, H, W};
  if (!in_is_nchw && !out_is_nchw) {
    const int move[4] = {n, Hd, Wd, bw * C};
    const int ss[4] = {item, bh * W * C, bw * C, 1};
    const int ds[4] = {Cd * Hd * Wd, Wd * Cd, Cd, 1};
    for (int a = 0; a < bh; a++) {
      fix_cmd_node_overflow(node);
      move_fmt(input + size * (u64)a * (u64)W * (u64)C, move, ss, output + size * (u64)a * (u64)bw * (u64)C, ds, f,
               node);
    }
    return;
  }
  if (!in_is_nchw) {
    for (int b = 0; b < bw; b++)
      for (int k = 0; k < C; k++)
        for (int a = 0; a < bh; a++) d2s_one(output, 1, input, 0, n, &e, bh, bw, a, b, k, 0, f, node);
    return;
  }
  for (int k = 0; k < C; k++)
    for (int a = 0; a < bh; a++)
      for (int b = 0; b < bw; b++)
        d2s_one(output, out_is_nchw, input, 1, n, &e, bh, bw, a, b, k, 0, f, node);
}

void nodechip_reorg_forward_v2(u64 input, u64 output, u64 unused, const int *shape, int bottom_dims, int stride_h,
                               int stride_w, int reverse, cmd_id_node_t *node) {
  (void)unused;
  ASSERT_FS(bottom_dims == 4);
  const int block[2] = {stride_h, stride_w};
  if (reverse) {
    nodechip_depth2space(input, output, shape, 4, block, 1, 1, 0, GDMA_VALUE_FORMAT_FLOAT32, node);
    return;
  }
  const int s[4] = {shape[0], shape[1] / (stride_h * stride_w), shape[2] * stride_h, shape[3] * stride_w};
  nodechip_depth2space(input, output, s, 4, block, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, node);
}

// ---- Reorg, 8-bit 4N ----

static int gcd_of(int a, int b) {
  while (b != 0) {
    const int t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// Bytes per lane of a (groups, c, h, w) image of 4N words, EU-aligned planes.
static u64 image_bytes(int groups, int c, int h, int w) {
  return (u64)eu_plane((u32)h * (u32)w) * 4u * (u64)ceil_div(c, NPU_NUM) * (u64)groups;
}

void reorg_fix8b_plan_of(const int *in_shape, const int *out_shape, reorg_fix8b_plan_t *plan) {
  memset(plan, 0, sizeof *plan);
  const int c = in_shape[1], h = in_shape[2], w = in_shape[3];
  const int tc = out_shape[1], th = out_shape[2], tw = out_shape[3];
  plan->groups = ceil4(in_shape[0]);
  plan->in_size = image_bytes(plan->groups, c, h, w);
  plan->out_size = image_bytes(plan->groups, tc, th, tw);
  plan->depth_to_space = c > tc;
  plan->k = 1;
  if (plan->depth_to_space) {
    plan->stride = h > 0 ? th / h : 0;
    const int s2 = plan->stride * plan->stride;
    plan->buffer_bytes = s2 > 1 ? plan->in_size * (u64)(s2 - 1) : 0;
    plan->stores = 1;
  } else {
    plan->stride = th > 0 ? h / th : 0;
    const int s2 = plan->stride * plan->stride;
    if (s2 > 0 && h > 0) plan->k = s2 / gcd_of(s2, h);
    plan->buffer_bytes = plan->in_size * (u64)(plan->k - 1);
    plan->reps = c > 0 ? tc / c : 0;
    plan->stores = plan->k < 2 ? plan->reps : (int)ceil_div(c, plan->k) * plan->reps;
  }
  plan->bottom = ALIGN(plan->buffer_bytes, (u64)REORG_FIX8B_AREA_ALIGN);
  plan->top = plan->bottom + ALIGN(plan->in_size, (u64)REORG_FIX8B_AREA_ALIGN);
  plan->areas[0] = {"shifted copies", 0, (u32)plan->buffer_bytes};
  plan->areas[1] = {"input image", (u32)plan->bottom, (u32)plan->in_size};
  plan->areas[2] = {"rearranged image", (u32)plan->top, (u32)plan->out_size};
}

void nodechip_reorg_forward_fix8b(u64 input, u64 output, const int *in_shape, const int *out_shape, int skip,
                                  cmd_id_node_t *node) {
  reorg_fix8b_plan_t plan;
  reorg_fix8b_plan_of(in_shape, out_shape, &plan);
  const u64 top_local_offset = plan.top, top_local_tsize = plan.out_size;
  ASSERT(top_local_offset + top_local_tsize <= (1<<19));
  const int G = plan.groups;
  const int c = in_shape[1], h = in_shape[2], w = in_shape[3];
  const int tc = out_shape[1], th = out_shape[2], tw = out_shape[3];
  const u32 bottom = (u32)plan.bottom, top = (u32)plan.top;

  tensor_align_move_gen_cmd(bottom, 0, input, G, c, h, w, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
  // The kernel's GDMA shifts go on `node`; its second node is a copy that
  // nothing reads afterwards.
  cmd_id_node_t second = *node;
  nodechip_reorg_forward_fix8b_local(bottom, top, 0, in_shape, out_shape, skip, node, &second);

  if (plan.depth_to_space) {
    tensor_align_move_gen_cmd(top, 0, output, G, tc, th, tw, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0,
                              node);
    return;
  }
  const int rows = (int)ceil_div(c, NPU_NUM);
  const int plane = th * tw;
  const int gstride[4] = {tc * plane, plane, tw, 1};
  if (plan.k < 2) {
    // Group j holds output channels j c .. j c + c - 1, each in its input channel's lane.
    const u32 P = eu_plane((u32)plane);
    for (int j = 0; j < plan.reps; j++) {
      fix_cmd_node_overflow(node);
      stride_store(local_f32(top + (u32)j * P * (u32)rows * (u32)G * 4u, dim4(rows * (int)P, (int)P, tw, 1)),
                   global_view(output + 4u * (u64)j * (u64)c * (u64)plane, dim4(G, c, th, tw), dim4_from(gstride),
                               GDMA_VALUE_FORMAT_FLOAT32),
                   node);
    }
    return;
  }
  // Each lane row of a group runs on over k channels: lane u holds output
  // channels u .. u + k - 1 of the group. The last run is cut at c so that no
  // store writes past its group (or the output).
  const u32 E = eu_plane((u32)(plan.k * plane));
  for (int u = 0; u < c; u += plan.k) {
    const int run = c - u < plan.k ? c - u : plan.k;
    for (int j = 0; j < plan.reps; j++) {
      fix_cmd_node_overflow(node);
      stride_store(local_f32(top + (u32)(u / NPU_NUM) * E * 4u + (u32)j * E * (u32)rows * (u32)G * 4u,
                             dim4(rows * (int)E, (int)E, tw, 1), u % NPU_NUM),
                   global_view(output + 4u * ((u64)u * (u64)plane + (u64)j * (u64)c * (u64)plane),
                               dim4(G, 1, run * th, tw), dim4_from(gstride), GDMA_VALUE_FORMAT_FLOAT32),
                   node);
    }
  }
}

// ---- Reshape 4N to 1N ----

void nodechip_reshape_fix8b(u64 input, u64 output, int n, int c, int h, int w, int unused0, int unused1, int unused2,
                            int unused3, int in_tensor_global_store_mode, int out_tensor_global_store_mode,
                            cmd_id_node_t *node) {
  (void)unused0, (void)unused1, (void)unused2, (void)unused3;
  ASSERT_FS(in_tensor_global_store_mode==2);
  ASSERT_FS(out_tensor_global_store_mode==0);
  const int hw = h * w;
  const u64 group = 4u * (u64)c * (u64)hw;
  for (int i = 0; i < ceil4(n); i++) {
    fix_cmd_node_overflow(node);
    const int k = n - 4 * i < 4 ? n - 4 * i : 4;
    const int move[4] = {k, c, 1, hw};
    const int src_stride[4] = {1, 4 * hw, 4 * hw, 4};
    const int dst_stride[4] = {c * hw, hw, hw, 1};
    move_fmt(input + (u64)i * group, move, src_stride, output + (u64)i * group, dst_stride, GDMA_VALUE_FORMAT_INT8,
             node);
  }
}
