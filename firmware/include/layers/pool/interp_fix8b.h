// 8-bit interpolation of 4N tensors (four batch items interleaved byte by byte
// in each 32-bit word). Nearest requests move whole words through the float
// interpolation (mode 5). Bilinear requests blend with weights in sixteenths:
// the first direction multiplies bytes into 16-bit sums, which are split into
// a high and a low byte plane; the second direction blends both planes, and
// high x 256 + low is divided by 256, rounding half up. The result is the
// bilinear blend of the bytes with weights quantized to sixteenths in each
// direction, rounded half up (signed data is offset by 128 on the way in and
// back on the way out). Per lane: input slots at 0 and 0x20000, 16-bit work
// buffers at 0x40000 and 0x60000.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define INTERP8_WORK_A 0x40000u
#define INTERP8_WORK_B 0x60000u

extern "C" {

// Source index and weight (0 to 16) of output index o under the half-pixel
// rule; the index is kept within [0, in - 1] when in is positive.
void getIndex_fix8b(int o, int *weight, int *index, float scale, int in);

// Output rows and planes (word planes of ceil(n / 4) x c) per slice.
void interp_fix8b_split(int planes, int ih, int iw, int ih_eff, int q, int oh, int ow, float scale, int *rows,
                        int *planes_per_slice);

void nodechip_interp_forward_fix8b_parallel(u64 input_addr, u64 output_addr, int n, int c, int ih, int iw, int p, int q,
                                            int oh, int ow, int nearest, int is_unsigned, cmd_id_node_t *node);
}
