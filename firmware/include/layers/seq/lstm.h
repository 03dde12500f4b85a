// The LSTM unit layer (API 34): one element-wise cell update from separate
// gate pre-activations, over N x C elements cut into pieces of a row of
// sections of 32 floats over the lanes (get_slice_num_elemwise_fixw with
// eight buffers).
//
// Per element: i, f, o = sigmoid of their pre-activations, g = tanh of its;
// f' = cont sigmoid(f) where cont is not 0 and 0 where it is (a restart),
// c = f' c_prev + i g, h = o tanh(c).
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Split modes of the LSTM layer: 1 all weights resident, 2 the recurrent
// weights resident, 3 the recurrent weights streamed, 0 none fits.
#define LSTM_SPLIT_NONE 0
#define LSTM_SPLIT_LOCAL_WEIGHT 1
#define LSTM_SPLIT_ITER_LOCAL_WEIGHT 2
#define LSTM_SPLIT_NO_LOCAL_WEIGHT 3

// Buffers a piece counts when the pieces are planned; the compare-and-select
// of the forget gate and the exponential also take one piece-sized buffer
// each, after them.
#define LSTM_UNIT_BUFFERS 8
#define LSTM_UNIT_ALL_BUFFERS 10

typedef struct {
  u64 input_gate_addr;
  u64 forget_gate_addr;
  u64 output_gate_addr;
  u64 cell_input_addr;
  u64 prev_cell_addr;
  u64 cont_addr;
  u64 cell_out_addr;
  u64 hidden_out_addr;
  i32 input_n;
  i32 input_c;
  i32 unused_h;
  i32 unused_w;
} FW_PACKED zv_api_lstm_unit_forward_t;
static_assert(sizeof(zv_api_lstm_unit_forward_t) == 80, "zv_api_lstm_unit_forward_t is 80 bytes");

extern "C" {

u32 zv_api_lstm_unit_forward(u8 *param, u32 size);

// H rounded up to a multiple of 8 hidden units (the gate rows' width / 4).
int lstm_output_dim_extend(int H);
// The split mode for N sequences of I inputs and H hidden units (P: a static
// input), preferring resident weights; *R receives the rows a slice takes (0
// with mode 0).
int lstm_data_split_select(int N, int I, int H, int P, int *R);

// In place on a row of `sections` sections of 32 floats at the untagged local
// offset x, with `work` a buffer of the same size: x = 1 / (1 + e^-x) and
// x = 1 - 2 / (e^2x + 1).
void sigmoid_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node);
void tanh_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node);

void nodechip_lstm_unit_forward(u64 input_gate, u64 forget_gate, u64 output_gate, u64 cell_input, u64 prev_cell,
                                u64 cont, u64 cell_out, u64 hidden_out, int N, int C, int unused_h, int unused_w,
                                cmd_id_node_t *node);
}
