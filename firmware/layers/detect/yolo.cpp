// YOLO region activation: sigmoid, raw copies and softmax over the classes.
#include "layers/detect/yolo.h"

#include "layers/data/copy.h"
#include "layers/eltwise/softmax.h"
#include "layers/eltwise/unary.h"
#include "runtime/assert.h"

void nodechip_yolo(u64 input, u64 output, int n, int input_c, int input_h, int input_w, int num, int classes,
                   int coords, int background, int softmax, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && input_c > 0 && input_h > 0 && input_w > 0 && num >= 0 && classes >= 0 && coords >= 2);
  ASSERT_FS((i64)input_c * input_h * input_w <= 0x7fffffff && (i64)coords + classes + 1 <= 0x7fffffff &&
            (i64)num * ((i64)coords + classes + 1) <= 0x7fffffff);
  ASSERT_FS(input_c >= num*(coords + classes + 1));
  if (n == 0) return;
  const int t = coords + classes + 1;
  const int G = input_c / t;
  const int S = input_h * input_w;
  const int bg = background ? 1 : 0;
  // Each image at its own stride of input_c x S values.
  const u64 image = 4u * (u64)input_c * (u64)S;
  for (int b = 0; b < n; b++)
    if (G > 0) nodechip_sigmoid_forward_parallel(input + b * image, output + b * image, 1, G * t * S, node);
  const int R = coords - 2 + (softmax ? 0 : bg);
  if (R > 0 && G > 0)
    for (int b = 0; b < n; b++)
      nodechip_global_memcpy_ex(input + b * image + 8u * (u64)S, output + b * image + 8u * (u64)S, G, t * S, t * S,
                                0, 0, R * S, node);
  if (G > num)
    nodechip_global_memcpy_ex(input + 4u * (u64)num * (u64)t * (u64)S, output + 4u * (u64)num * (u64)t * (u64)S, n,
                              input_c * S, input_c * S, 0, 0, (G - num) * t * S, node);
  if (softmax && classes + bg > 0)
    for (int g = 0; g < num; g++)
      nodechip_softmax_from_global(input, output, n, classes + bg, S, 1, 0, input_c, g * t + coords + 1 - bg,
                                   SOFTMAX_PREC_FP32, 1.0f, 0, node);
}
