// 8-bit fully connected layer (API 85): Y = X x W (+ bias) for int8 matrices
// in device memory. X is M x K (1N row-major, or 4N: rows in groups of four
// interleaved byte by byte), W is K x N ([N][K] with transpose; 4N by rows of
// K with weight_4N and input_4N), the bias N 16-bit values.
//
// The layer cuts N into chunks of up to 8192 columns, M into row slices and K
// into sections of up to 1024 (the weight buffer's room), and runs a
// three-stage pipeline: slice s is loaded in step s, multiplied in step s + 1
// and, when it completes its output block, stored in step s + 2. K sections
// accumulate 16-bit partial sums shifted right by max(0, rshift - 8); the next
// section shifts them back before adding its product, and the last applies
// rshift. An 8-bit result of several sections is first written as 16 bits
// and then narrowed in place, since a product reads the partial sums at the
// width of the result it writes.
//
// With use_float_scale the 16-bit result of a block is converted to float,
// given its float bias, scaled, offset and quantised to int8 in one of two
// float areas that alternate with the blocks (as the output buffers do), so
// the store of one block never shares an area with the next block's
// conversion; the weight-offset constant block has a place of its own.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "layers/conv/fc_stages.h"
#include "runtime/assert.h"
#include "runtime/types.h"

// The requantisation record of the float form.
typedef struct {
  u32 output_scale;  // f32 bits
  i32 use_offsets;
  i32 weight_offset;
  i32 output_offset;
  i32 bias_32bit;
} FW_PACKED fc_fix8b_quant_t;
static_assert(sizeof(fc_fix8b_quant_t) == 20, "fc_fix8b_quant_t is five words");

// Local layout, per lane.
#define FC_FIX8B_INPUT1 0x10000u
#define FC_FIX8B_WEIGHT0 0x20000u
#define FC_FIX8B_FLOAT_AREA 0x40000u
#define FC_FIX8B_OUTPUT0 0x60000u
#define FC_FIX8B_OUTPUT1 0x70000u
// The float form: two float areas, output buffers of half the size and the
// weight-offset constant block behind them; blocks of at most 128 rows.
#define FC_FIX8B_FLOAT_AREA1 0x50000u
#define FC_FIX8B_FLOAT_OUTPUT1 0x68000u
#define FC_FIX8B_CONST_BLOCK 0x70000u
#define FC_FIX8B_FLOAT_ROWS 128
#define FC_FIX8B_AREA_COUNT 10
// Output columns of one chunk.
#define FC_FIX8B_MAX_OUT 8192

typedef struct {
  int output_neuron_slice, input_neuron_slice, batch_slice;
  int output_size;  // bytes of an element the product writes before the last section
  int output_c_per_npu, input_c_per_npu;
  u32 bias_size, input_neuron_space, weight_lmem_space;
  u32 input[2], weight[2], output[2];
  u32 float_area[2], const_block;  // the float form only
  int nks;     // K sections
  int rshift_inter;  // shift of the partial sums
  local_area_t areas[FC_FIX8B_AREA_COUNT];
} fc_fix8b_plan_t;

// The per-call choices the pipeline's steps depend on.
typedef struct {
  int K, N;
  int k_cut, m_cut;   // K or M takes more than one slice
  int recentre;       // an unsigned input is re-centred once per loaded block
  int weight_pass;    // the weight-offset product follows each product
  int float_form;     // blocks are requantised through float
  int eight_bit;      // 8-bit results
  int have_bias;
  int bias16;         // a 16-bit bias the last section's product adds
} fc_fix8b_flow_t;

// What the pipeline has issued before a step.
typedef struct {
  int input_loads, weight_loads;  // blocks loaded into the alternating buffers
  int blocks_done;                // output blocks whose last section is computed
  int const_ready;                // the weight-offset block is filled
  int recentred;                  // an input block has been re-centred
} fc_fix8b_counts_t;

// One step of the pipeline: the store of stage 2, the product of stage 1 and
// the loads of stage 0, with the buffers each uses.
typedef struct {
  int store, store_buf;  // stage 2 completes its block: store it from this buffer
  int compute;           // stage 1 is multiplied
  int in_buf, weight_buf, out_buf;
  int accumulate;        // a later K section: add to the partial sums
  int last;              // the block's last K section
  int recentre;          // XOR the input block with 0x80 first
  int fill_const;        // fill the weight-offset block before its product
  int using_bias;        // the product adds the 16-bit bias
  int narrow;            // the 16-bit result is narrowed to 8 bits after
  int prec;              // the product's result precision (0 8-bit, 3 16-bit)
  int requantise;        // the block goes through the float requantisation
  int load_input, load_in_buf;
  int load_weight, load_weight_buf;
  int load_bias;
} fc_fix8b_step_t;

extern "C" {

// The slice plan. Pure apart from its assertions.
void fc_fix8b_data_split(fc_fix8b_plan_t *p, int M, int K, int N, int have_bias, int bias_32bit, int res_16b,
                         int use_float_scale, int rshift, int use_offsets, int weight_offset);

void nodechip_fc_fix8b_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, int M, int K,
                                        int N, int transpose, int have_bias, int input_sign, int weight_sign,
                                        int bias_sign, int rshift, int res_16b, int if_relu, int input_4N,
                                        int weight_4N, int output_4N, int use_float_scale,
                                        const fc_fix8b_quant_t *quant, cmd_id_node_t *node);

// A rows x c int8 block between 4N global storage (row groups `stride` bytes
// apart) and the 1N local matrix layout; direction 0 loads, 1 stores.
void gdma_move_global4N_local1N(u32 local_offset, u64 global_addr, int rows, int c, int stride, int direction,
                                cmd_id_node_t *node);
}

// API 85.
typedef struct {
  u64 input_addr;
  u64 weight_addr;
  u64 bias_addr;
  u64 output_addr;
  i32 batch_size;
  i32 input_neuron_num;
  i32 output_neuron_num;
  i32 weight_transpose;
  i32 using_bias;
  i32 opd0_sign;
  i32 opd1_sign;
  i32 opd2_sign;
  i32 rshift;
  i32 res_16b;
  i32 if_relu;
  i32 input_4N;
  i32 output_4N;
} FW_PACKED zv_api_fc_fix8b_forward_parallel_t;
static_assert(sizeof(zv_api_fc_fix8b_forward_parallel_t) == 84, "zv_api_fc_fix8b_forward_parallel_t is 84 bytes");

extern "C" u32 zv_api_fc_fix8b_forward_parallel(u8 *param, u32 size);

// Step s of the pipeline from its stages and the counts before it. Pure
// apart from its assertions; inline, as the issue loop runs it every step.
inline fc_fix8b_step_t fc_fix8b_step_of(const fc_fix8b_flow_t *flow, const fc_stages_t *st, int s,
                                        const fc_fix8b_counts_t *counts) {
  // Every field is set once (no clearing of the record first: this runs in
  // every step on the ARM core).
  fc_fix8b_step_t step;
  const int cut = flow->k_cut || flow->m_cut;
  step.store = st->valid[2] && st->k_off[2] + st->k_cnt[2] >= flow->K;
  if (step.store) ASSERT_FS(counts->blocks_done > 0);
  step.store_buf = (counts->blocks_done + 1) % 2;  // the block before the current one
  step.compute = st->valid[1];
  if (step.compute) ASSERT_FS(counts->input_loads > 0 && counts->weight_loads > 0);
  step.in_buf = (counts->input_loads + 1) % 2;
  step.weight_buf = (counts->weight_loads + 1) % 2;
  step.out_buf = counts->blocks_done % 2;
  step.accumulate = step.compute && st->k_off[1] > 0;
  step.last = step.compute && st->k_off[1] + st->k_cnt[1] >= flow->K;
  step.recentre = step.compute && flow->recentre && (!counts->recentred || cut);
  step.fill_const = step.compute && flow->weight_pass && !counts->const_ready;
  step.using_bias = flow->bias16 && step.last;
  // An 8-bit result after earlier sections is written 16-bit, then narrowed.
  step.narrow = !flow->float_form && step.last && flow->eight_bit && step.accumulate;
  step.prec = !flow->float_form && step.last && flow->eight_bit && !step.narrow ? 0 : 3;
  step.requantise = flow->float_form && step.last;
  const int load = st->valid[0];
  step.load_input = load && (counts->input_loads == 0 || cut);
  step.load_in_buf = counts->input_loads % 2;
  // Weights stay for all row slices unless K is cut or N takes several
  // chunks (each chunk's weights load with its first rows).
  step.load_weight = load && (s == 0 || flow->k_cut || (flow->N > FC_FIX8B_MAX_OUT && st->m_off[0] == 0));
  step.load_weight_buf = counts->weight_loads % 2;
  step.load_bias = load && s == 0 && flow->have_bias;
  return step;
}

// The counts after a step.
inline void fc_fix8b_count_step(fc_fix8b_counts_t *counts, const fc_fix8b_step_t *step) {
  counts->input_loads += step->load_input;
  counts->weight_loads += step->load_weight;
  counts->blocks_done += step->compute && step->last;
  if (step->recentre) counts->recentred = 1;
  if (step->fill_const) counts->const_ready = 1;
}
