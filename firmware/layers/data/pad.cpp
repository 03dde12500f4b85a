// Pad of tensors in device memory.
#include "layers/data/pad.h"

#include <stdio.h>
#include <string.h>

#include "cmd/tensor_view.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/gdma.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"

static void dense_strides(const int *shape, int *stride) {
  stride[3] = 1;
  stride[2] = shape[3];
  stride[1] = shape[2] * shape[3];
  stride[0] = shape[1] * shape[2] * shape[3];
}

void pad_regions_of(const int *in, const int (*pads)[2], int size, pad_regions_t *regions) {
  int out[4], ostride[4];
  for (int i = 0; i < 4; i++) out[i] = in[i] + pads[i][0] + pads[i][1];
  dense_strides(out, ostride);
  u64 b = 0;
  for (int i = 0; i < 4; i++) {
    if (i > 0) b += (u64)size * (u64)pads[i - 1][0] * (u64)ostride[i - 1];
    regions->before[i] = b;
    regions->after[i] = b + (u64)size * (u64)(pads[i][0] + in[i]) * (u64)ostride[i];
  }
}

// A move of `shape` between two places of the output (or the input), elements
// of format f.
static void move(u64 src, const int *shape, const int *src_stride, u64 dst, const int *dst_stride,
                 gdma_value_format_t f, cmd_id_node_t *node) {
  move_g2g(global_view(src, dim4_from(shape), dim4_from(src_stride), f),
           global_view(dst, dim4_from(shape), dim4_from(dst_stride), f), node);
}

static gdma_value_format_t format_of_size(int size) {
  return size == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_FLOAT32;
}

// Mirrored borders, one slab at a time.
static void reflect_borders(u64 output, const int *in, const int *out, const int *ostride,
                            const pad_regions_t *regions, const int (*pads)[2], int offset, int size,
                            cmd_id_node_t *node) {
  const gdma_value_format_t f = format_of_size(size);
  int cur[4] = {in[0], in[1], in[2], in[3]};
  for (int i = 3; i >= 0; i--) {
    const u64 slab = (u64)size * (u64)ostride[i];
    const u64 base = output + regions->before[i];
    cur[i] = 1;
    for (int k = 1; k <= pads[i][0]; k++) {
      fix_cmd_node_overflow(node);
      move(base + slab * (u64)(pads[i][0] + offset + k - 1), cur, ostride, base + slab * (u64)(pads[i][0] - k),
           ostride, f, node);
    }
    for (int k = 1; k <= pads[i][1]; k++) {
      fix_cmd_node_overflow(node);
      move(base + slab * (u64)(pads[i][0] + in[i] - offset - k), cur, ostride,
           base + slab * (u64)(pads[i][0] + in[i] + k - 1), ostride, f, node);
    }
    cur[i] = out[i];
  }
}

void nodechip_pad_reflect(u64 output, const int *in, const int *out, const int *ostride, const pad_regions_t *regions,
                          const int (*pads)[2], int offset, cmd_id_node_t *node) {
  reflect_borders(output, in, out, ostride, regions, pads, offset, 4, node);
}

void nodechip_pad_fix8b_reflect(u64 output, const int *in, const int *out, const int *ostride,
                                const pad_regions_t *regions, const int (*pads)[2], int offset, cmd_id_node_t *node) {
  reflect_borders(output, in, out, ostride, regions, pads, offset, 1, node);
}

// Edge borders: each region reads one edge slab again and again through a
// zero stride along its axis.
static void replicate_borders(u64 output, const int *in, const int *out, const int *ostride,
                              const pad_regions_t *regions, const int (*pads)[2], int size, cmd_id_node_t *node) {
  const gdma_value_format_t f = format_of_size(size);
  int cur[4] = {in[0], in[1], in[2], in[3]};
  for (int i = 3; i >= 0; i--) {
    const u64 slab = (u64)size * (u64)ostride[i];
    const u64 base = output + regions->before[i];
    for (int side = 0; side < 2; side++) {
      const int count = pads[i][side];
      if (count <= 0) continue;
      const u64 from = base + slab * (u64)(side == 0 ? pads[i][0] : pads[i][0] + in[i] - 1);
      const u64 to = side == 0 ? base : output + regions->after[i];
      cur[i] = count;
      if (i == 3) {
        // Along w the count runs in the h position (a w stride must be 1);
        // each item is padded from its own rows.
        const int shape[4] = {cur[1], cur[2], count, 1};
        const int src_stride[4] = {ostride[1], ostride[2], 0, 1};
        const int dst_stride[4] = {ostride[1], ostride[2], 1, 1};
        for (int n = 0; n < cur[0]; n++) {
          fix_cmd_node_overflow(node);
          const u64 item = (u64)size * (u64)n * (u64)ostride[0];
          move(from + item, shape, src_stride, to + item, dst_stride, f, node);
        }
      } else {
        int src_stride[4] = {ostride[0], ostride[1], ostride[2], ostride[3]};
        src_stride[i] = 0;
        move(from, cur, src_stride, to, ostride, f, node);
      }
    }
    cur[i] = out[i];
  }
}

void nodechip_pad_replicate(u64 output, const int *in, const int *out, const int *ostride,
                            const pad_regions_t *regions, const int (*pads)[2], cmd_id_node_t *node) {
  replicate_borders(output, in, out, ostride, regions, pads, 4, node);
}

// Constant borders: one fill per region with a positive count.
static void constant_borders(u64 output, const int *in, const int *out, const int *ostride,
                             const pad_regions_t *regions, const int (*pads)[2], u32 value, int size,
                             cmd_id_node_t *node) {
  const gdma_value_format_t f = format_of_size(size);
  int cur[4] = {in[0], in[1], in[2], in[3]};
  for (int i = 3; i >= 0; i--) {
    for (int side = 0; side < 2; side++) {
      const int count = pads[i][side];
      if (count <= 0) continue;
      cur[i] = count;
      fill_constant_gen_global_cmd_stride(output + (side == 0 ? regions->before[i] : regions->after[i]), &value, f,
                                          cur[0], cur[1], cur[2], cur[3], ostride[0], ostride[1], ostride[2],
                                          ostride[3], node);
    }
    cur[i] = out[i];
  }
}

// The pad of an (in) tensor of `size`-byte elements (4: float32 or words, 1:
// bytes); value holds the constant's bytes. Returns 0 for an unknown mode,
// after the interior has been issued.
static int pad_core(u64 input, u64 output, const int *in, const int (*pads)[2], int pad_mode, u32 value, int size,
                    cmd_id_node_t *node) {
  int out[4], istride[4], ostride[4];
  for (int i = 0; i < 4; i++) out[i] = in[i] + pads[i][0] + pads[i][1];
  dense_strides(in, istride);
  dense_strides(out, ostride);
  pad_regions_t regions;
  pad_regions_of(in, pads, size, &regions);
  move(input, in, istride, output + regions.before[3] + (u64)size * (u64)pads[3][0], ostride, format_of_size(size),
       node);
  if (pad_mode == PAD_MODE_CONSTANT) {
    constant_borders(output, in, out, ostride, &regions, pads, value, size, node);
  } else if (pad_mode == PAD_MODE_REFLECT || pad_mode == PAD_MODE_SYMMETRIC) {
    const int offset = pad_mode == PAD_MODE_REFLECT ? 1 : 0;
    if (size == 1)
      nodechip_pad_fix8b_reflect(output, in, out, ostride, &regions, pads, offset, node);
    else
      nodechip_pad_reflect(output, in, out, ostride, &regions, pads, offset, node);
  } else if (pad_mode == PAD_MODE_REPLICATE) {
    replicate_borders(output, in, out, ostride, &regions, pads, size, node);
  } else {
    return 0;
  }
  return 1;
}

void nodechip_pad(u64 input, u64 output, int n, int c, int h, int w, const int (*pads)[2], int pad_mode, float value,
                  cmd_id_node_t *node) {
  const int in[4] = {n, c, h, w};
  int out[4], ostride[4];
  int in_empty = 0, out_empty = 0;
  for (int i = 0; i < 4; i++) {
    out[i] = in[i] + pads[i][0] + pads[i][1];
    if (in[i] == 0) in_empty = 1;
    if (out[i] == 0) out_empty = 1;
  }
  u32 bits;
  memcpy(&bits, &value, 4);
  if (in_empty) {
    if (out_empty) return;
    dense_strides(out, ostride);
    fill_constant_gen_global_cmd_stride(output, &bits, GDMA_VALUE_FORMAT_FLOAT32, out[0], out[1], out[2], out[3],
                                        ostride[0], ostride[1], ostride[2], ostride[3], node);
    return;
  }
  if (!pad_core(input, output, in, pads, pad_mode, bits, 4, node)) ASSERT_FS(0);
}

void nodechip_pad_fix8b_1N(u64 input, u64 output, int n, int c, int h, int w, const int (*pads)[2], int pad_mode,
                           u8 value, cmd_id_node_t *node) {
  const int in[4] = {n, c, h, w};
  if (!pad_core(input, output, in, pads, pad_mode, value, 1, node)) ASSERT_FS(0);
}

void nodechip_pad_fix8b_4N(u64 input, u64 output, int n_groups, int c, int h, int w, const int (*pads)[2],
                           int pad_mode, u8 value, cmd_id_node_t *node) {
  const int in[4] = {n_groups, c, h, w};
  // No batch padding: a word holds the same element of four items.
  const int word_pads[4][2] = {{0, 0}, {pads[1][0], pads[1][1]}, {pads[2][0], pads[2][1]}, {pads[3][0], pads[3][1]}};
  if (!pad_core(input, output, in, word_pads, pad_mode, 0x01010101u * value, 4, node)) ASSERT_FS(0);
}

void nodechip_pad_fix8b(u64 input, u64 output, u8 input_is_4N, u64 buffer, u8 output_is_4N, u64 buffer2, int n,
                        int c, int h, int w, const int (*pads)[2], int pad_mode, int value, cmd_id_node_t *node) {
  printf("N = %d    C = %d    H = %d    W = %d    type = %d    pad N = (%d %d)    pad C = (%d %d)    pad H = (%d %d)    "
         "pad W = (%d %d)    \n",
         n, c, h, w, pad_mode, pads[0][0], pads[0][1], pads[1][0], pads[1][1], pads[2][0], pads[2][1], pads[3][0],
         pads[3][1]);
  const u8 byte = (u8)value;
  if (input_is_4N && output_is_4N && pads[0][0] == 0 && pads[0][1] == 0) {
    nodechip_pad_fix8b_4N(input, output, (n + 3) / 4, c, h, w, pads, pad_mode, byte, node);
    return;
  }
  u64 src = input;
  if (input_is_4N) {
    gdma_move_global_1N_and_4N(buffer, input, n, c * h * w, 0, node);
    src = buffer;
  }
  nodechip_pad_fix8b_1N(src, output_is_4N ? buffer2 : output, n, c, h, w, pads, pad_mode, byte, node);
  if (output_is_4N) {
    const int on = n + pads[0][0] + pads[0][1];
    const int rest = (c + pads[1][0] + pads[1][1]) * (h + pads[2][0] + pads[2][1]) * (w + pads[3][0] + pads[3][1]);
    gdma_move_global_1N_and_4N(buffer2, output, on, rest, 1, node);
  }
}
