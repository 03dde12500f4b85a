// Reverse and channel shuffle of tensors in device memory.
#include "layers/data/rearrange.h"

#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "cmd/gdma.h"

static void move_words(u64 src, const int *shape, const int *src_stride, u64 dst, const int *dst_stride,
                       cmd_id_node_t *node) {
  tensor_general_move_gen_cmd(src, 0, shape[0], shape[1], shape[2], shape[3], src_stride[0], src_stride[1],
                              src_stride[2], src_stride[3], GDMA_VALUE_FORMAT_FLOAT32, dst, 0, shape[0], shape[1],
                              shape[2], shape[3], dst_stride[0], dst_stride[1], dst_stride[2], dst_stride[3],
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2S, 0, node);
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
