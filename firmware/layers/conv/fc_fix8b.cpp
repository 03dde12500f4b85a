// 8-bit fully connected layer: its slice plan and three-stage pipeline.
#include "layers/conv/fc_fix8b.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_fc.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "cmd/tensor_view.h"
#include "layers/conv/fc_stages.h"
#include "local/conversion.h"
#include "local/resident.h"
#include "runtime/assert.h"

#include <string.h>

#define FC_SECTION 128
#define FC_MAX_OUT FC_FIX8B_MAX_OUT

void fc_fix8b_data_split(fc_fix8b_plan_t *p, int M, int K, int N, int have_bias, int bias_32bit, int res_16b,
                         int use_float_scale, int rshift, int use_offsets, int weight_offset) {
  const int W_param[2] = {FC_SECTION, FC_SECTION};
  const u32 eb = bias_32bit ? 4u : 2u;
  p->weight_lmem_space = use_float_scale ? 0x10000u : 0x20000u;
  p->bias_size = have_bias ? eb * 128u * (u32)ceil_div(ceil_div(N, FC_SECTION), NPU_NUM) : 0u;
  const u32 input_neuron_space = 0x10000u - p->bias_size, weight_lmem_space = p->weight_lmem_space;
  p->input_neuron_space = input_neuron_space;
  const int output_neuron_slice = N < FC_MAX_OUT ? N : FC_MAX_OUT;
  const int output_c_per_npu = (int)ceil_div(ceil_div(output_neuron_slice, FC_SECTION), NPU_NUM);
  int input_neuron_slice = K;
  if ((s64)output_c_per_npu * K * FC_SECTION > (s64)weight_lmem_space)
    input_neuron_slice = (int)(weight_lmem_space / (u32)(output_c_per_npu * FC_SECTION)) / FC_SECTION * FC_SECTION;
  ASSERT_FS((int)(input_neuron_slice * output_c_per_npu * W_param[0] * sizeof(char)) <= (int)(weight_lmem_space));
  const int output_size = input_neuron_slice < K || res_16b == 1 || use_float_scale == 1 ? 2 : 1;
  int batch_slice = (s64)output_c_per_npu * M * FC_SECTION * output_size <= 0x10000
                        ? M
                        : 0x10000 / (output_c_per_npu * FC_SECTION * output_size);
  const int input_c_per_npu = (int)ceil_div(ceil_div(input_neuron_slice, FC_SECTION), NPU_NUM);
  if ((s64)batch_slice * input_c_per_npu * FC_SECTION > (s64)input_neuron_space)
    batch_slice = (int)(input_neuron_space / (u32)(input_c_per_npu * FC_SECTION));
  // The float form converts a block into a float area of 64 KB per lane.
  if (use_float_scale && batch_slice > FC_FIX8B_FLOAT_ROWS) batch_slice = FC_FIX8B_FLOAT_ROWS;
  if (batch_slice != M && batch_slice > 4) batch_slice = batch_slice / 4 * 4;
  ASSERT_FS(batch_slice * output_c_per_npu * W_param[0] * output_size <= ((1<<19) / 8));
  ASSERT_FS((int)(batch_slice * input_c_per_npu * W_param[1] * sizeof(char)) <= (int)input_neuron_space);
  ASSERT_FS(output_neuron_slice > 0 && input_neuron_slice > 0 && batch_slice > 0);
  p->output_neuron_slice = output_neuron_slice;
  p->input_neuron_slice = input_neuron_slice;
  p->batch_slice = batch_slice;
  p->output_size = output_size;
  p->output_c_per_npu = output_c_per_npu;
  p->input_c_per_npu = input_c_per_npu;
  p->input[0] = p->bias_size;
  p->input[1] = FC_FIX8B_INPUT1 + p->bias_size;
  p->weight[0] = FC_FIX8B_WEIGHT0;
  p->weight[1] = FC_FIX8B_WEIGHT0 + weight_lmem_space;
  p->output[0] = FC_FIX8B_OUTPUT0;
  p->output[1] = use_float_scale ? FC_FIX8B_FLOAT_OUTPUT1 : FC_FIX8B_OUTPUT1;
  p->float_area[0] = FC_FIX8B_FLOAT_AREA;
  p->float_area[1] = FC_FIX8B_FLOAT_AREA1;
  p->const_block = FC_FIX8B_CONST_BLOCK;
  // Shifts of the partial sums.
  p->nks = (int)ceil_div(K, input_neuron_slice);
  const int d = use_offsets && weight_offset != 0 ? 2 * p->nks - 1 : p->nks - 1;
  int bits = 0;
  while ((d >> bits) != 0) bits++;
  const int s = use_float_scale ? rshift - bits : rshift - 8;
  p->rshift_inter = s > 0 ? s : 0;
  p->areas[0] = {"bias", 0, p->bias_size};
  p->areas[1] = {"input 0", p->input[0], input_neuron_space};
  p->areas[2] = {"input 1", p->input[1], input_neuron_space};
  p->areas[3] = {"weight 0", p->weight[0], weight_lmem_space};
  p->areas[4] = {"weight 1", p->weight[1], weight_lmem_space};
  const u32 out_bytes = use_float_scale ? 0x8000u : 0x10000u;
  p->areas[5] = {"output 0", p->output[0], out_bytes};
  p->areas[6] = {"output 1", p->output[1], out_bytes};
  // A float row takes 512 bytes per lane; the constant block 128 bytes per row of K.
  const u32 float_bytes = use_float_scale ? (u32)batch_slice * 512u : 0u;
  const int weight_pass = use_float_scale && use_offsets && weight_offset != 0;
  p->areas[7] = {"float 0", p->float_area[0], float_bytes};
  p->areas[8] = {"float 1", p->float_area[1], float_bytes};
  p->areas[9] = {"weight-offset block", p->const_block, weight_pass ? (u32)input_neuron_slice * 128u : 0u};
}

void gdma_move_global4N_local1N(u32 local_offset, u64 global_addr, int rows, int c, int stride, int direction,
                                cmd_id_node_t *node) {
  const int l = FC_SECTION * (int)ceil_div(ceil_div(c, FC_SECTION), NPU_NUM);
  const int full = c / FC_SECTION, tail = c % FC_SECTION;
  const gdma_direction_t dir = direction ? GDMA_VALUE_DIR_L2S : GDMA_VALUE_DIR_S2L;
  for (int j = 0; j < 4; j++) {
    const int n = rows / 4 + (j < rows % 4 ? 1 : 0);
    if (n == 0) break;
    const u32 local = local_offset + (u32)(j * l);
    const u64 global = global_addr + (u64)j;
    // Whole sections, then the last section's own columns from its lane.
    for (int part = 0; part < 2; part++) {
      const int sections = part == 0 ? full : (tail ? 1 : 0);
      const int cols = part == 0 ? FC_SECTION : tail;
      if (sections == 0) continue;
      const int lane = part == 0 ? 0 : full % NPU_NUM;
      const u32 lo = local + (u32)(part == 0 ? 0 : (full / NPU_NUM) * FC_SECTION);
      const u64 go = global + (u64)(part == 0 ? 0 : 512 * full);
      if (direction)
        tensor_stride_move_gen_cmd(lo, lane, go, n, sections, 1, cols, 4 * l, FC_SECTION, FC_SECTION, 1, stride, 512,
                                   512, 4, GDMA_VALUE_FORMAT_INT8, dir, 0, node);
      else
        tensor_stride_move_gen_cmd(lo, lane, go, n, sections, 1, cols, stride, 512, 512, 4, 4 * l, FC_SECTION,
                                   FC_SECTION, 1, GDMA_VALUE_FORMAT_INT8, dir, 0, node);
    }
  }
}

namespace {

// The 16-bit result block (rows of sections of `width` columns) narrowed in
// place to the 8-bit layout: columns 4w .. 4w + 3 of a row are the four items
// of word w, read as two 2N pairs one word apart.
void narrow_in_place(u32 y, int rows, int cols, int width, int sections, int is_signed, cmd_id_node_t *node) {
  const int w = cols < width ? cols : width;
  const dim4_t shape = {4, sections, rows, (int)ceil_div(w, 4)};
  const int a_row = (int)align_up(2 * w, 128) / 4, r_row = (int)align_up(w, 128) / 4;  // words per row
  const dim4_t a_st = {1, rows * a_row, a_row, 2}, r_st = {1, rows * r_row, r_row, 1};
  const u32 s = is_signed ? 1u : 0u;
  const u32 addr[4] = {local_tag(y), 0, 0, local_tag(y)};
  const u32 bcast[4] = {0, 0, 0, 0}, Sign[3] = {s, 0, 0}, Int8[4] = {0, 0, 0, 1};
  const u32 modes[4] = {3, 0, 0, 3}, shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, &a_st, &a_st, &r_st, TENSOR_OP_ADD, 0, 1, 0, 0, s, Sign,
                                         Int8, modes, shifts, 0, node);
}

// The float requantisation of a completed 16-bit block Y into the float area
// F: to float, plus the float bias of its columns, times the scale, plus the
// output offset, then to int8 (one byte per 4-byte slot, or packed 4N).
struct FloatForm {
  int conv_signed, out_signed, output_4N, have_f32_bias, use_offset;
  u32 scale, offset;  // f32 bits
};

void requantise_block(const FloatForm &f, u32 Y, u32 F, int n_off, int rows, int cols, cmd_id_node_t *node) {
  const int w = cols < FC_SECTION ? cols : FC_SECTION, sections = (int)ceil_div(cols, FC_SECTION);
  const dim4_t shape = {rows, sections, 1, w};
  // A 16-bit row of the product takes align64(w) elements per lane.
  nodechip_fix16_to_float_local_stride(local_tag(Y), local_tag(F), 0, &shape, (int)align_up(w, 64), f.conv_signed,
                                       STORAGE_MODE_1N_INT16, node);
  dim4_t fs;
  get_f32_tensor_local_stride(&fs, &shape, 1, local_tag(F));
  const u32 t = local_tag(F);
  if (f.have_f32_bias) {
    const dim4_t bs = {0, 128, 128, 1};
    atomic_tensor_arithmetic_gen_cmd(t, local_tag((u32)(n_off / FC_MAX_OUT) * 512u), t, &shape, 1, 0, 0, &fs, &bs,
                                     &fs, TENSOR_OP_ADD, 0, 0, 0, 0, 0, 0, node);
  }
  const local_view_t fv = local_view(F, 0, fs, GDMA_VALUE_FORMAT_FLOAT32);
  tensor_arith_const(TENSOR_OP_MUL, fv, f.scale, fv, shape, node);
  if (f.use_offset) tensor_arith_const(TENSOR_OP_ADD, fv, f.offset, fv, shape, node);
  nodechip_float2int8_local(t, t, rows, sections, 1, w, f.out_signed, f.output_4N ? 0 : 1, node);
}

// Stores a requantised block from the float area F.
void store_float_block(u32 F, u64 out, int N, int n_off, int n_cnt, int m_off, int m_cnt, int output_4N,
                       cmd_id_node_t *node) {
  if (output_4N) {
    // Four rows' bytes share each 4-byte slot: ceil(m_cnt / 4) rows of words.
    general_matrix_move_gen_cmd(F, 0, out + 4ull * (u64)n_off + (u64)N * (u64)m_off,
                                n_cnt < FC_SECTION ? n_cnt : FC_SECTION, (int)ceil_div(m_cnt, 4), n_cnt, N,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, 0, node);
    return;
  }
  // The low byte of every slot.
  const u64 g = out + (u64)n_off + (u64)N * (u64)m_off;
  const int full = n_cnt / FC_SECTION, tail = n_cnt % FC_SECTION;
  if (full > 0)
    tensor_stride_move_gen_cmd(F, 0, g, m_cnt, full, 1, FC_SECTION, 512, 512, 512, 4, N, FC_SECTION, FC_SECTION, 1,
                               GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_L2S, 0, node);
  if (tail > 0) {
    const int row = full > 0 ? 512 : 4 * (int)align_up(tail, 32);
    tensor_stride_move_gen_cmd(F, full, g + (u64)(FC_SECTION * full), m_cnt, 1, 1, tail, row, row, row, 4, N,
                               FC_SECTION, FC_SECTION, 1, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_L2S, 0, node);
  }
}

}  // namespace

namespace {

// The call's arguments and the choices derived from them once.
struct fc_fix8b_call_t {
  u64 input_addr, weight_addr, bias_addr, output_addr;
  int K, N;
  int transpose, input_4N, weights_4n, output_4N, res_16b, if_relu, float_form, weight_pass;
  int x_signed, weight_sign, bias_sign, result_signed, out_signed;
  int rshift, s_inter;
  int wn;  // columns of a weight and result section
  u32 eb;  // bytes of a bias element
  int weight_offset;
  FloatForm ff;
  const fc_fix8b_plan_t *p;
};

void issue_store(const fc_fix8b_call_t &call, const fc_stages_t &st, const fc_fix8b_step_t &step, cmd_id_node_t *move) {
  const int nn = st.n_off[2], nc = st.n_cnt[2], mo = st.m_off[2], mc = st.m_cnt[2];
  if (call.float_form) {
    store_float_block(call.p->float_area[step.store_buf], call.output_addr, call.N, nn, nc, mo, mc, call.output_4N,
                      move);
  } else if (call.output_4N && !call.res_16b) {
    gdma_move_global4N_local1N(call.p->output[step.store_buf],
                               call.output_addr + 4ull * (u64)nn + 4ull * (u64)call.N * (u64)(mo / 4), mc, nc,
                               4 * call.N, 1, move);
  } else {
    const int e = call.res_16b ? 2 : 1;
    general_matrix_move_gen_cmd(call.p->output[step.store_buf], 0,
                                call.output_addr + (u64)e * ((u64)nn + (u64)call.N * (u64)mo),
                                e * (nc < call.wn ? nc : call.wn), mc, e * nc, e * call.N, GDMA_VALUE_FORMAT_INT8,
                                GDMA_VALUE_DIR_L2S, 0, 0, move);
  }
}

// Every byte of the input block's rows XOR 0x80 (128 bytes per lane).
void recentre_input(u32 L, int rows, int kc, cmd_id_node_t *comp) {
  const int sections = (int)ceil_div(kc, FC_SECTION);
  const dim4_t shape = {1, sections, rows, FC_SECTION / 4};
  const local_view_t x = local_view(L, 0, dim4(rows * 32, rows * 32, 32, 1), GDMA_VALUE_FORMAT_INT8);
  tensor_arith_const(TENSOR_OP_XOR, x, 0x80808080u, x, shape, comp);
}

// Fills the weight-offset block: a lane row of its byte per row of a K slice.
void fill_weight_offset_block(u32 C, int k_slice, int weight_offset, cmd_id_node_t *comp) {
  const dim4_t shape = {1, NPU_NUM, k_slice, FC_SECTION / 4};
  const local_view_t block = local_view(C, 0, dim4(k_slice * 32, k_slice * 32, 32, 1), GDMA_VALUE_FORMAT_INT8);
  const u32 byte = (u32)weight_offset & 0xFFu;
  tensor_fill(block, byte * 0x01010101u, shape, comp);
}

void issue_compute(const fc_fix8b_call_t &call, const fc_stages_t &st, const fc_fix8b_step_t &step,
                   cmd_id_node_t *comp) {
  const int nn = st.n_off[1], nc = st.n_cnt[1], kc = st.k_cnt[1], mc = st.m_cnt[1];
  const u32 L = call.p->input[step.in_buf], R = call.p->weight[step.weight_buf], Y = call.p->output[step.out_buf];
  if (step.recentre) recentre_input(L, mc, kc, comp);
  const int final_shift = step.last && !call.weight_pass ? call.rshift : call.s_inter;
  const int sec_w_l = kc < FC_SECTION ? kc : FC_SECTION, sec_c_l = (int)ceil_div(kc, FC_SECTION);
  const int sec_w_r = nc < call.wn ? nc : call.wn, sec_c_r = (int)ceil_div(nc, call.wn);
  atomic_fc_fix8b_gen_cmd(step.using_bias, 0, step.accumulate, local_tag(L), local_tag(R), local_tag(Y),
                          local_tag((u32)(nn / FC_MAX_OUT) * 256u), sec_w_l, sec_c_l, sec_w_r, sec_c_r, mc, kc,
                          step.prec == 0 && step.last ? call.out_signed : call.result_signed,
                          step.accumulate ? call.s_inter : 0, final_shift,
                          step.last && call.if_relu && !call.float_form, call.x_signed, call.weight_sign,
                          step.using_bias ? call.bias_sign : 0, step.prec, comp);
  if (call.weight_pass) {
    // Y += X x (a block of the weight offset).
    if (step.fill_const)
      fill_weight_offset_block(call.p->const_block, call.p->input_neuron_slice, call.weight_offset, comp);
    atomic_fc_fix8b_gen_cmd(0, 0, 1, local_tag(L), local_tag(call.p->const_block), local_tag(Y), 0, sec_w_l, sec_c_l,
                            sec_w_r, sec_c_r, mc, kc, call.result_signed, call.s_inter,
                            step.last ? call.rshift : call.s_inter, 0, call.x_signed, call.weight_offset < 128, 0, 3,
                            comp);
  }
  if (step.narrow) narrow_in_place(Y, mc, nc, call.wn, sec_c_r, call.out_signed, comp);
  if (step.requantise) requantise_block(call.ff, Y, call.p->float_area[step.out_buf], nn, mc, nc, comp);
}

void issue_loads(const fc_fix8b_call_t &call, const fc_stages_t &st, const fc_fix8b_step_t &step, cmd_id_node_t *move) {
  const int nn = st.n_off[0], nc = st.n_cnt[0], ko = st.k_off[0], kc = st.k_cnt[0], mo = st.m_off[0],
            mc = st.m_cnt[0];
  const int K = call.K, N = call.N;
  if (step.load_input) {
    const u32 L = call.p->input[step.load_in_buf];
    if (call.input_4N)
      gdma_move_global4N_local1N(L, call.input_addr + 4ull * (u64)ko + 4ull * (u64)K * (u64)(mo / 4), mc, kc, 4 * K, 0,
                                 move);
    else
      general_matrix_move_gen_cmd(L, 0, call.input_addr + (u64)ko + (u64)K * (u64)mo, FC_SECTION, mc, kc, K,
                                  GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, 0, move);
  }
  if (step.load_weight) {
    const u32 R = call.p->weight[step.load_weight_buf];
    if (call.weights_4n)
      gdma_move_global4N_local1N(R, call.weight_addr + 4ull * ((u64)N * (u64)(ko / 4) + (u64)nn), kc, nc, 4 * N, 0,
                                 move);
    else if (call.transpose)
      general_matrix_move_gen_cmd(R, 0, call.weight_addr + (u64)nn * (u64)K + (u64)ko, call.wn, nc, kc, K,
                                  GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 1, 0, move);
    else
      general_matrix_move_gen_cmd(R, 0, call.weight_addr + (u64)ko * (u64)N + (u64)nn, call.wn, kc, nc, N,
                                  GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, 0, move);
  }
  if (step.load_bias)
    general_matrix_move_gen_cmd(0, 0, call.bias_addr, call.wn * (int)call.eb, 1, (int)call.eb * N, (int)call.eb * N,
                                GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, 0, move);
}

}  // namespace

void nodechip_fc_fix8b_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, int M, int K,
                                        int N, int transpose, int have_bias, int input_sign, int weight_sign,
                                        int bias_sign, int rshift, int res_16b, int if_relu, int input_4N,
                                        int weight_4N, int output_4N, int use_float_scale,
                                        const fc_fix8b_quant_t *quant, cmd_id_node_t *node) {
  ASSERT_FS(M > 0 && K > 0 && N > 0);
  ASSERT_FS(quant != ((void *)0));
  fc_fix8b_quant_t q;
  memcpy(&q, quant, sizeof q);
  // Combinations whose results no step would compute correctly.
  ASSERT_FS(!(transpose && weight_4N && input_4N));
  ASSERT_FS(!(q.use_offsets && q.weight_offset != 0 && use_float_scale == 0));
  ASSERT_FS(!(have_bias && q.bias_32bit && use_float_scale == 0));
  const int float_form = use_float_scale != 0;
  if (float_form) ASSERT_FS(res_16b == 0);
  ASSERT_FS(rshift >= 0 && rshift < 32);
  fc_fix8b_plan_t p;
  fc_fix8b_data_split(&p, M, K, N, have_bias, q.bias_32bit, res_16b, float_form, rshift, q.use_offsets,
                      q.weight_offset);
  fc_fix8b_flow_t flow;
  flow.K = K, flow.N = N;
  flow.k_cut = p.input_neuron_slice < K, flow.m_cut = p.batch_slice < M;
  // An unsigned input is re-centred (bytes XOR 0x80) once per loaded block
  // when offsets are used, and counts as signed from then on.
  flow.recentre = q.use_offsets && !input_sign;
  flow.weight_pass = float_form && q.use_offsets && q.weight_offset != 0;
  flow.float_form = float_form;
  flow.eight_bit = !res_16b;
  flow.have_bias = have_bias;
  flow.bias16 = have_bias == 1 && !(float_form && q.bias_32bit);

  fc_fix8b_call_t call;
  call.input_addr = input_addr, call.weight_addr = weight_addr, call.bias_addr = bias_addr,
  call.output_addr = output_addr;
  call.K = K, call.N = N;
  call.transpose = transpose, call.input_4N = input_4N, call.weights_4n = weight_4N && input_4N,
  call.output_4N = output_4N;
  call.res_16b = res_16b, call.if_relu = if_relu, call.float_form = float_form, call.weight_pass = flow.weight_pass;
  call.x_signed = input_sign || flow.recentre;
  call.weight_sign = weight_sign, call.bias_sign = bias_sign;
  // The float form reads its 16-bit blocks at the sign they are written with:
  // signed when any operand that reaches the products is.
  call.result_signed =
      float_form ? call.x_signed || weight_sign || (flow.bias16 && bias_sign) : call.x_signed || weight_sign;
  // A rectified 8-bit result is unsigned (0 to 255), as the float
  // requantisation and the 8-bit convolutions give it; kept signed it would
  // saturate at 127.
  call.out_signed = call.result_signed && !(if_relu && flow.eight_bit);
  call.rshift = rshift, call.s_inter = p.rshift_inter;
  call.eb = have_bias && q.bias_32bit ? 4u : 2u;
  call.weight_offset = q.weight_offset;
  call.ff.conv_signed = call.result_signed;
  call.ff.out_signed = call.result_signed && !if_relu;
  call.ff.output_4N = output_4N;
  call.ff.have_f32_bias = have_bias && q.bias_32bit;
  call.ff.use_offset = q.use_offsets && q.output_offset != 0;
  call.ff.scale = q.output_scale;
  const float offset = (float)q.output_offset;
  u32 offset_bits;
  memcpy(&offset_bits, &offset, sizeof offset_bits);
  call.ff.offset = offset_bits;
  call.p = &p;
  // Column sections of the weights, products and results. The product's
  // columns are computed in the lanes that hold them, so the 1N forms narrow
  // the sections to spread a block over all 64 lanes (a block never takes
  // more than one lane row of 128 bytes either way); the float and 4N forms
  // keep sections of FC_SECTION.
  const int n_block = N < FC_MAX_OUT ? N : FC_MAX_OUT;
  const int spread = (int)ceil_div(n_block, NPU_NUM);
  call.wn = float_form || call.weights_4n || output_4N || spread > FC_SECTION ? FC_SECTION : spread;

  fc_stages_t st;
  fc_stages_init(&st, M, K, N, p.batch_slice, p.input_neuron_slice, p.output_neuron_slice);
  fc_fix8b_counts_t counts = {};
  for (int s = 0; fc_stages_running(&st); s++) {
    fc_stages_fill(&st);
    const fc_fix8b_step_t step = fc_fix8b_step_of(&flow, &st, s, &counts);
    cmd_id_node_t move, comp;
    cmd_id_divide(node, &move, &comp);
    if (step.store) issue_store(call, st, step, &move);
    if (step.compute) issue_compute(call, st, step, &comp);
    issue_loads(call, st, step, &move);
    cmd_id_merge(node, &move, &comp);
    fc_fix8b_count_step(&counts, &step);
    fc_stages_advance(&st);
  }
}
