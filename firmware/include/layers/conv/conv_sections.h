// What the float deconvolution and Winograd layers share: both cut their
// output into sections of output channels, batch items and rows, keep each
// section's output in a local slot, and load slabs of input rows per step of
// input channels.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/gdma.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// One output section: group g, output channels [oc0, oc0 + ch) of the group
// (lanes lane rows), items [n0, n0 + nc), output rows [oh0, oh0 + rows), held
// at local offset out.
typedef struct {
  int g, oc0, ch, lanes, n0, nc, oh0, rows;
  u32 out;
} conv_section_t;

// Moves a section between the float32 output tensor [n][output_c][output_h]
// [output_w] (ocg output channels a group) and its slot, whose planes are
// EU-aligned: S2L loads the values to add to, L2S stores the result.
void conv_section_move_output(u64 output_addr, int output_c, int output_h, int output_w, int ocg,
                              const conv_section_t *s, gdma_direction_t dir, cmd_id_node_t *node);

// Loads input rows [row0, row0 + rows) of channels [c0, c0 + ic) and items
// [n0, n0 + nc) of the float32 input tensor into buf, EU-aligned planes.
void conv_section_load_input(u32 buf, u64 input_addr, int input_c, int input_h, int input_w, int c0, int ic, int n0,
                             int nc, int row0, int rows, cmd_id_node_t *node);

// A section whose rows see no input row: its values are the bias (bias_buf,
// one float per output channel) or zero, added to the values in the slot when
// `accumulate`.
void conv_section_fill(const conv_section_t *s, int output_w, int accumulate, int have_bias, u32 bias_buf,
                       cmd_id_node_t *node);
