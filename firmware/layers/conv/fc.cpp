// Float32 fully connected layer and batch matrix product.
#include "layers/conv/fc.h"

#include "cmd/bd_fc.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "layers/eltwise/prelu.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

#define FC_MAX_DIMS 8

int fc_sec_size(int total, int secs, int idx) { return total / secs + (idx < total % secs ? 1 : 0); }

int fc_sec_start(int total, int secs, int idx) {
  const int r = total % secs;
  return idx * (total / secs) + (idx < r ? idx : r);
}

u64 get_slice_global_offset_with_batch(u64 base, int idx, int row_sec, int col_sec, int rows, int cols,
                                       int row_secs, int col_secs) {
  const u64 row0 = (u64)fc_sec_start(rows, row_secs, row_sec);
  const u64 col0 = (u64)fc_sec_start(cols, col_secs, col_sec);
  return base + 4ull * ((u64)idx * (u64)rows * (u64)cols + row0 * (u64)cols + col0);
}

// Lane rows of a block of `cols` columns cut into sections of sec_size.
static s64 fc_lane_rows(s64 cols, int sec_size) { return ceil_div(ceil_div(cols, sec_size), NPU_NUM); }

void nodechip_fc_forward_parallel_get_slice_num_multidim_optimize(int M, int K, int N, int have_bias, int sec_size,
                                                                  fc_secs_t *secs) {
  ASSERT(sec_size > 0 && M > 0 && K > 0 && N > 0);
  secs->Msecs = 1;
  secs->Ksecs = 1;
  secs->Nsecs = 1;
  const s64 b = 4 * align_up(sec_size, EU_NUM);
  s64 cap = 65536 / b;
  if (cap > 65535) cap = 65535;
  const s64 e = fc_lane_rows(N, sec_size);
  if (b * M * e > 65534 || cap < M) {
    // A row wider than a bank cannot be cut by M: the layout check refuses it.
    if (cap < 1) cap = 1;
    secs->Msecs = (int)ceil_div(M, cap);
    secs->Nsecs = (int)ceil_div(b * e * ceil_div(M, secs->Msecs), 65536);
    if (secs->Nsecs < 1) secs->Nsecs = 1;
  }
  if (N / secs->Nsecs > 65535) secs->Nsecs = (int)ceil_div(N, 65535);
  const s64 m = ceil_div(M, secs->Msecs), n = ceil_div(N, secs->Nsecs);
  const s64 room = 0x30000 - b * m - (have_bias ? e * b : 0);
  const s64 per_row = b * fc_lane_rows(n, sec_size);
  s64 rows_k = room > 0 ? room / per_row : 0;
  if (rows_k > 65535) rows_k = 65535;
  // No K row fits beside the X block: the sections cannot be formed.
  ASSERT(rows_k > 0, "M %d, N %d, sec_size %d leave no room for weights", M, N, sec_size);
  secs->Ksecs = (int)ceil_div(K, rows_k);
}

void fc_plan_of(fc_plan_t *p, int M, int K, int N, int have_bias, int sec_size) {
  nodechip_fc_forward_parallel_get_slice_num_multidim_optimize(M, K, N, have_bias, sec_size, &p->secs);
  p->m = (int)ceil_div(M, p->secs.Msecs);
  p->k = (int)ceil_div(K, p->secs.Ksecs);
  p->n = (int)ceil_div(N, p->secs.Nsecs);
  const s64 b = 4 * align_up(sec_size, EU_NUM);
  p->row_bytes = (u32)b;
  const s64 in_b = fc_lane_rows(p->k, sec_size) * p->m * b;
  const s64 w_b = fc_lane_rows(p->n, sec_size) * p->k * b;
  const s64 bias_b = fc_lane_rows(p->n, sec_size) * b;
  const s64 out_b = fc_lane_rows(p->n, sec_size) * p->m * b;
  // Byte counts beyond a lane are clamped: the layer's checks refuse them.
  const s64 lane = 0x80000;
  p->input_bytes = (u32)(in_b < lane ? in_b : lane);
  p->weight_bytes = (u32)(w_b < lane ? w_b : lane);
  p->bias_bytes = (u32)(bias_b < lane ? bias_b : lane);
  p->output_bytes = (u32)(out_b < lane ? out_b : lane);
  for (int s = 0; s < 2; s++) {
    const u32 half = s ? FC_HALF_OFFSET : 0;
    p->input[s] = half;
    p->weight[s] = half + p->input_bytes;
    p->bias[s] = p->weight[s] + p->weight_bytes;
    p->output[s] = half + FC_OUT_OFFSET;
  }
  static const char *const names[FC_AREA_COUNT] = {"input 0", "weight 0", "bias 0", "output 0",
                                                   "input 1", "weight 1", "bias 1", "output 1"};
  p->area_count = 0;
  for (int s = 0; s < 2; s++) {
    p->areas[p->area_count++] = {names[4 * s], p->input[s], p->input_bytes};
    p->areas[p->area_count++] = {names[4 * s + 1], p->weight[s], p->weight_bytes};
    p->areas[p->area_count++] = {names[4 * s + 2], p->bias[s], have_bias ? p->bias_bytes : 0u};
    p->areas[p->area_count++] = {names[4 * s + 3], p->output[s], p->output_bytes};
  }
}

namespace {

// One step of the multiply: the blocks it reads and the output block it adds to.
struct fc_step_t {
  int mat, mi, ni, ki;
  int m_cnt, n_cnt, k_cnt;
  int set, out;
};

// Column section width of the step's W, Y and bias blocks. The product's
// columns are computed in the lanes that hold them, so sections of sec_size
// that leave lanes empty are narrowed to spread the block over all 64 lanes;
// a narrower section takes no more bytes of a lane (one padded row instead of
// several). A single section is the block's own width, as the transposed
// load lays it out.
int fc_rsec(int n_cnt, int sec_size) {
  const int spread = (int)ceil_div(n_cnt, NPU_NUM);
  return spread < sec_size ? spread : sec_size;
}

struct fc_call_t {
  u64 input, weight, bias, output;
  int M, K, N, transpose, have_bias, sec_size;
  const fc_plan_t *plan;
};

void fc_load(const fc_call_t &c, const fc_step_t &s, cmd_id_node_t *node) {
  const fc_plan_t &p = *c.plan;
  const u64 x = get_slice_global_offset_with_batch(c.input, s.mat, s.mi, s.ki, c.M, c.K, p.secs.Msecs, p.secs.Ksecs);
  general_matrix_move_gen_cmd(p.input[s.set], 0, x, c.sec_size, s.m_cnt, s.k_cnt, c.K, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, 0, node);
  if (c.transpose) {
    const u64 w =
        get_slice_global_offset_with_batch(c.weight, s.mat, s.ni, s.ki, c.N, c.K, p.secs.Nsecs, p.secs.Ksecs);
    general_matrix_move_gen_cmd(p.weight[s.set], 0, w, fc_rsec(s.n_cnt, c.sec_size), s.n_cnt, s.k_cnt, c.K,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 1, 0, node);
  } else {
    const u64 w =
        get_slice_global_offset_with_batch(c.weight, s.mat, s.ki, s.ni, c.K, c.N, p.secs.Ksecs, p.secs.Nsecs);
    general_matrix_move_gen_cmd(p.weight[s.set], 0, w, fc_rsec(s.n_cnt, c.sec_size), s.k_cnt, s.n_cnt, c.N,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0, node);
  }
  if (c.have_bias && s.ki == p.secs.Ksecs - 1) {
    const u64 bias = c.bias + 4ull * (u64)fc_sec_start(c.N, p.secs.Nsecs, s.ni);
    general_matrix_move_gen_cmd(p.bias[s.set], 0, bias, fc_rsec(s.n_cnt, c.sec_size), 1, s.n_cnt, s.n_cnt,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0, node);
  }
}

void fc_multiply(const fc_call_t &c, const fc_step_t &s, cmd_id_node_t *node) {
  const fc_plan_t &p = *c.plan;
  const int last_k = s.ki == p.secs.Ksecs - 1;
  const int rsec = fc_rsec(s.n_cnt, c.sec_size);
  atomic_fc_gen_cmd(c.have_bias && last_k, 0, s.ki > 0, LOCAL_ADDR_TAG | p.input[s.set],
                    LOCAL_ADDR_TAG | p.weight[s.set], LOCAL_ADDR_TAG | p.output[s.out],
                    LOCAL_ADDR_TAG | p.bias[s.set], c.sec_size, (int)ceil_div(s.k_cnt, c.sec_size), rsec,
                    (int)ceil_div(s.n_cnt, rsec), s.m_cnt, s.k_cnt, node);
}

void fc_store(const fc_call_t &c, const fc_step_t &s, cmd_id_node_t *node) {
  const fc_plan_t &p = *c.plan;
  const u64 y = get_slice_global_offset_with_batch(c.output, s.mat, s.mi, s.ni, c.M, c.N, p.secs.Msecs, p.secs.Nsecs);
  general_matrix_move_gen_cmd(p.output[s.out], 0, y, fc_rsec(s.n_cnt, c.sec_size), s.m_cnt, s.n_cnt, c.N, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_L2S, 0, 0, node);
}

}  // namespace

// The three-stage pipeline: step s loads its blocks into set s % 2 while the
// multiply of step s - 1 runs and the block finished two steps back is stored.
static void nodechip_fc_forward_parallel_slicing_multi_dimension_optimize(const fc_call_t &c, int count,
                                                                          cmd_id_node_t *node) {
  const fc_plan_t &p = *c.plan;
  cmd_id_node_t load, compute;
  fc_step_t prev = {}, prev2 = {};
  int have_prev = 0, have_prev2 = 0, set = 0, out = 0;
  for (int mat = 0; mat < count; mat++)
    for (int mi = 0; mi < p.secs.Msecs; mi++)
      for (int ni = 0; ni < p.secs.Nsecs; ni++)
        for (int ki = 0; ki < p.secs.Ksecs; ki++) {
          fc_step_t s = {mat, mi, ni, ki, fc_sec_size(c.M, p.secs.Msecs, mi), fc_sec_size(c.N, p.secs.Nsecs, ni),
                         fc_sec_size(c.K, p.secs.Ksecs, ki), set, out};
          cmd_id_divide(node, &load, &compute);
          if (have_prev2 && prev2.ki == p.secs.Ksecs - 1) fc_store(c, prev2, &load);
          fc_load(c, s, &load);
          if (have_prev) fc_multiply(c, prev, &compute);
          cmd_id_merge(node, &load, &compute);
          prev2 = prev;
          have_prev2 = have_prev;
          prev = s;
          have_prev = 1;
          set ^= 1;
          if (ki == p.secs.Ksecs - 1) out ^= 1;
          fix_cmd_node_overflow(node);
        }
  if (!have_prev) return;
  cmd_id_divide(node, &load, &compute);
  if (have_prev2 && prev2.ki == p.secs.Ksecs - 1) fc_store(c, prev2, &load);
  fc_multiply(c, prev, &compute);
  cmd_id_merge(node, &load, &compute);
  fc_store(c, prev, node);
}

void nodechip_fc_forward_parallel_v2(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr,
                                     u64 slope_addr, int count, int M, int K, int N, int transpose, int have_bias,
                                     int active_type, int channel_shared, float slope, int sec_size,
                                     cmd_id_node_t *node) {
  ASSERT(count > 0 && M > 0 && K > 0 && N > 0 && sec_size > 0);
  fc_plan_t plan;
  fc_plan_of(&plan, M, K, N, have_bias, sec_size);
  const u32 bank_size = FC_BANK_SIZE;
  const u32 local_mem_start_addr_bias_data[2] = {plan.bias[0], plan.bias[1]};
  const u32 bias_size = plan.bias_bytes;
  const u32 top_size = plan.output_bytes;
  ASSERT((local_mem_start_addr_bias_data[0] + (have_bias?bias_size:0)) <= 3*bank_size);
  ASSERT(top_size <= bank_size);
  (void)local_mem_start_addr_bias_data[1];
  const fc_call_t call = {input_addr, weight_addr, bias_addr, output_addr, M, K, N, transpose, have_bias,
                          sec_size, &plan};
  nodechip_fc_forward_parallel_slicing_multi_dimension_optimize(call, count, node);
  if (active_type == FC_ACTIVE_RELU) {
    nodechip_prelu_forward(output_addr, 0, output_addr, 0.0f, 1, count * M, N, 1, 1, node);
  } else if (active_type == FC_ACTIVE_PRELU) {
    nodechip_prelu_forward(output_addr, slope_addr, output_addr, slope, channel_shared, count * M, N, 1, 1, node);
  }
}

void nodechip_fc_forward_parallel(u64 input_addr, u64 weight_addr, u64 bias_addr, u64 output_addr, u64 slope_addr,
                                  int M, int K, int N, int transpose, int have_bias, int active_type,
                                  int channel_shared, float slope, int sec_size, cmd_id_node_t *node) {
  nodechip_fc_forward_parallel_v2(input_addr, weight_addr, bias_addr, output_addr, slope_addr, 1, M, K, N, transpose,
                                  have_bias, active_type, channel_shared, slope, sec_size, node);
}

void nodechip_batch_matmul_forward_parallel(u64 A_addr, const int *A_shape, int A_dims, u64 B_addr,
                                            const int *B_shape, int B_dims, u64 Y_addr, int if_relu, int unused,
                                            int *Y_shape, int *Y_dims, cmd_id_node_t *node) {
  (void)unused;
  ASSERT(A_dims >= 2 && B_dims >= 2 && A_dims <= FC_MAX_DIMS && B_dims <= FC_MAX_DIMS);
  const int dims = A_dims > B_dims ? A_dims : B_dims;
  int a[FC_MAX_DIMS], b[FC_MAX_DIMS], y[FC_MAX_DIMS];
  for (int i = 0; i < dims; i++) {
    const int ia = i - (dims - A_dims), ib = i - (dims - B_dims);
    a[i] = ia >= 0 ? A_shape[ia] : 1;
    b[i] = ib >= 0 ? B_shape[ib] : 1;
    // An extent of 1 stretches to the other's, also to 0: an empty operand
    // gives an empty product.
    y[i] = a[i] == 1 ? b[i] : b[i] == 1 ? a[i] : a[i] > b[i] ? a[i] : b[i];
  }
  const int M = a[dims - 2], K = a[dims - 1], N = b[dims - 1];
  ASSERT(b[dims - 2] == K);
  y[dims - 2] = M;
  y[dims - 1] = N;
  for (int i = 0; i < dims - 2; i++) ASSERT(a[i] == b[i] || a[i] == 1 || b[i] == 1);
  const int active = if_relu ? FC_ACTIVE_RELU : 0;
  int empty = 0;
  for (int i = 0; i < dims; i++) empty |= y[i] == 0;
  if (empty) {
    // Nothing to compute; only the shape is reported.
  } else if (dims == 2 || (dims == 3 && a[0] == 1 && b[0] == 1)) {
    nodechip_fc_forward_parallel_v2(A_addr, B_addr, 0, Y_addr, 0, 1, M, K, N, 0, 0, active, 1, 0.0f, 32, node);
  } else {
    // Leading indices, last fastest; a leading extent of 1 broadcasts.
    int idx[FC_MAX_DIMS] = {0};
    s64 total = 1;
    for (int i = 0; i < dims - 2; i++) total *= y[i];
    for (s64 t = 0; t < total; t++) {
      s64 ao = 0, bo = 0, yo = 0;
      for (int i = 0; i < dims - 2; i++) {
        ao = ao * a[i] + (a[i] == 1 ? 0 : idx[i]);
        bo = bo * b[i] + (b[i] == 1 ? 0 : idx[i]);
        yo = yo * y[i] + idx[i];
      }
      nodechip_fc_forward_parallel_v2(A_addr + 4ull * (u64)(ao * M * K), B_addr + 4ull * (u64)(bo * K * N), 0,
                                      Y_addr + 4ull * (u64)(yo * M * N), 0, 1, M, K, N, 0, 0, active, 1, 0.0f, 32,
                                      node);
      for (int i = dims - 3; i >= 0; i--) {
        if (++idx[i] < y[i]) break;
        idx[i] = 0;
      }
      fix_cmd_node_overflow(node);
    }
  }
  if (Y_shape)
    for (int i = 0; i < dims; i++) Y_shape[i] = y[i];
  if (Y_dims) *Y_dims = dims;
}
