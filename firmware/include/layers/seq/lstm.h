// The LSTM layer (API 82): T time steps of N sequences, cut into slices of R
// rows that run one after another, the steps of a slice in order. Per step:
// gates = x_t W_xc + bias (+ static W_static), then, with a previous hidden
// state, gates += (h_{t-1} cont_t) W_hc, then the cell update below. Gate rows
// hold 4He columns in sections of 32 (i, f, o, g of 8 hidden units); h and c
// rows sections of 8, each section in its own 128-byte slot, so that a hidden
// unit and its four gates share lane and slot. The split mode chooses what
// stays in local memory: all weights (1, the input projection per step), W_hc
// (2) or W_hc streamed in blocks (3); modes 2 and 3 compute the input
// projection of all steps beforehand with the float fully connected layer.
//
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
#include "cmd/local_areas.h"
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
  u64 x_addr;
  u64 cont_addr;
  u64 static_addr;
  u64 w_hc_addr;
  u64 w_xc_addr;
  u64 w_static_addr;
  u64 bias_addr;
  u64 h0_addr;
  u64 c0_addr;
  u64 hT_addr;
  u64 cT_addr;
  u64 output_addr;
  u64 x_proj_addr;       // (T N) x 4He, modes 2 and 3
  u64 static_proj_addr;  // N x 4He, modes 2 and 3 with a static input
  i32 N;
  i32 T;
  i32 I;
  i32 H;
  i32 P;
  i32 Q;
  i32 split_mode;
  i32 R;
} FW_PACKED zv_api_lstm_forward_t;
static_assert(sizeof(zv_api_lstm_forward_t) == 144, "zv_api_lstm_forward_t is 144 bytes");

// Mode 3 streams W_hc in blocks of at most 512 rows x 2048 columns (one 64 KB
// slot block a lane). Blocks 0 and 1 stay at their own places for the whole
// call; the others alternate between the two buffers below them.
#define LSTM_BLOCK_ROWS 512
#define LSTM_BLOCK_COLS 2048
#define LSTM_BLOCK0_OFFSET 0x20000u
#define LSTM_BLOCK1_OFFSET 0x30000u
#define LSTM_BLOCK_EVEN_OFFSET 0x0u
#define LSTM_BLOCK_ODD_OFFSET 0x10000u
#define LSTM_SETS_OFFSET 0x40000u

// The local layout of one call. Offsets and sizes are bytes a lane, in 64
// bits so that a layout past the lane is seen before it is cut; set k of the
// ping-pong buffers is [k] (mode 1 and mode 3's single buffers use [0]).
#define LSTM_AREA_MAX 20
typedef struct {
  int mode;
  i64 He, S, L;              // units rounded to 8, sections and slots a gate row
  i64 A, Wx, Wh, Xs, Kc;     // an R-row matrix, the weights, an x slice, cont
  i64 x, x_static, w_xc, bias, w_static, w_hc;
  i64 gates[2], static_proj[2], scratch[2], c[2], h[2], cont[2];
  i64 end;                   // end of the last area (checked against the lane)
  local_area_t areas[LSTM_AREA_MAX];
  int area_count;
} lstm_plan_t;

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
u32 zv_api_lstm_forward(u8 *param, u32 size);

// H rounded up to a multiple of 8 hidden units (the gate rows' width / 4).
int lstm_output_dim_extend(int H);
// The split mode for N sequences of I inputs and H hidden units (P: a static
// input), preferring resident weights; *R receives the rows a slice takes (0
// with mode 0).
int lstm_data_split_select(int N, int I, int H, int P, int *R);
// The local layout of split mode 1, 2 or 3 for slices of R rows (P: a static
// input); the layer checks plan->end against the lane.
void lstm_plan_of(lstm_plan_t *plan, int mode, int I, int H, int P, int R);
// Local offset of W_hc block k in mode 3.
u32 lstm_block_offset(int k);

// The sequence layer; split_mode and R as lstm_data_split_select gives them
// (another mode logs "Unsupported LSTM parameters" and issues nothing).
void nodechip_lstm_forward_parallel_with_split(u64 x, u64 cont, u64 static_input, u64 h0, u64 c0, u64 w_xc,
                                               u64 bias, u64 w_static, u64 w_hc, u64 output, u64 cT, u64 hT,
                                               u64 x_proj, u64 static_proj, int N, int T, int I, int H, int P,
                                               int Q, int split_mode, int R, cmd_id_node_t *node);
// The same with the split chosen by lstm_data_split_select.
void nodechip_lstm_forward_parallel(u64 x, u64 cont, u64 static_input, u64 h0, u64 c0, u64 w_xc, u64 bias,
                                    u64 w_static, u64 w_hc, u64 output, u64 cT, u64 hT, u64 x_proj,
                                    u64 static_proj, int N, int T, int I, int H, int P, int Q, cmd_id_node_t *node);
// One cell update of `rows` rows of S sections resident in local memory
// (untagged offsets; cont one float a row, in every lane a section uses).
void lstm_unit_forward_local(u32 gates, u32 c, u32 h, u32 scratch, u32 cont, int rows, int S, cmd_id_node_t *node);
// Stores the slice's last h to output step T - 1 and, with Q, its h and c to
// hT and cT, at the slice's rows.
void lstm_last_data_store(u64 output, u64 cT, u64 hT, u32 h, u32 c, int N, int T, int H, int row0, int rows,
                          int Q, cmd_id_node_t *node);

// In place on a row of `sections` sections of 32 floats at the untagged local
// offset x, with `work` a buffer of the same size: x = 1 / (1 + e^-x) and
// x = 1 - 2 / (e^2x + 1).
void sigmoid_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node);
void tanh_forward_calculate(u32 x, u32 work, int columns, int sections, cmd_id_node_t *node);

void nodechip_lstm_unit_forward(u64 input_gate, u64 forget_gate, u64 output_gate, u64 cell_input, u64 prev_cell,
                                u64 cont, u64 cell_out, u64 hidden_out, int N, int C, int unused_h, int unused_w,
                                cmd_id_node_t *node);
}
