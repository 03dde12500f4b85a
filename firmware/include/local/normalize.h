// Local cross-channel normalisation kernels: local response normalisation
// across channels and L2 normalisation with scaling, float and 8-bit 4N
// (through float), on slices resident in local memory. They issue
// tensor-engine commands (and, for LRN, GDMA lane shifts) on the caller's
// node and return without waiting. Offsets are untagged (resident.h).
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

extern "C" {

// output = input * (k + alpha / size * S)^-beta, S the sum of the squares of
// the input over channels c - r .. c + r, r = (size - 1) / 2 (channels outside
// the tensor count nothing). scratch: two float tensors of the shape (the
// squares, then the sums). With skip set the second already holds the sums.
// The shifts go on `node`; afterwards node2 (the GDMA-side copy) is raised to
// the field-wise maximum of both nodes.
void nodechip_lrn_forward_local(u32 input, u32 output, u32 scratch, const dim4_t *shape,
                                float alpha, int size, float beta, float k, int skip,
                                cmd_id_node_t *node, cmd_id_node_t *node2);

// The same on 8-bit 4N data: items dequantised by input_scale, normalised,
// requantised by output_scale. mode 0: one item at a time through the float
// kernel (scratch 3 x P4 bytes, P4 = ceil(c/64) * plane(h, w) * 4); the input
// is consumed (each group's words shifted down by 8 bits per item). Other
// modes: four items at a time with 8-bit lane shifts (scratch 13 x P4); the
// input is kept.
void nodechip_lrn_fix8b_forward_local(u32 input, u32 output, u32 scratch, const dim4_t *shape,
                                      float alpha, int size, float beta, float k, int skip,
                                      int mode, cmd_id_node_t *node, cmd_id_node_t *node2,
                                      int data_signed, float input_scale, float output_scale);

// output = input / sqrt(sum of squares + eps) (over the channels at each
// position, or over a whole item when across_spatial), times the per-channel
// scales at `scale` or the shared value, then ReLU when set. scratch: one
// float tensor of the shape.
void nodechip_normalize_forward_local(u32 input, u32 output, u32 scratch, u32 scale,
                                      const dim4_t *shape, int across_spatial, int channel_shared,
                                      float eps, float scale_value, int if_relu,
                                      cmd_id_node_t *node);

// The same on 8-bit 4N data, one item at a time (scratch 2 x P4 bytes); the
// input is consumed as for the 8-bit LRN in mode 0.
void nodechip_normalize_fix8b_forward_local(u32 input, u32 output, u32 scratch, u32 scale,
                                            const dim4_t *shape, int across_spatial,
                                            int channel_shared, float eps, float scale_value,
                                            int if_relu, int input_signed, int output_signed,
                                            cmd_id_node_t *node);
}
