// Feature matching in float32 (similarity matrix in L2 SRAM, row maxima by CDMA
// sorts) and in 8 bits (passes of int16 products, per-pass top n, a final sort).
#include "cv/cv_feature_match.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/cdma_sort.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "cv/cv_common.h"
#include "layers/conv/fc_stages.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/regs.h"

#define FC_SEC_F32 32  // floats of one FC section (128 bytes)

u32 feature_match_init_flag = 0;

static u64 align32_u64(u64 x) { return (x + 31) / 32 * 32; }

// ============================================================================
// Float matching
// ============================================================================

u64 cv_match_matrix_bytes(u64 rows, u64 cols) {
  if (rows == 0 || cols == 0) return 0;
  const u64 w = cols < FC_SEC_F32 ? cols : FC_SEC_F32;
  const u64 g = ceil_div_u64(cols, w);
  return 4 * rows * align32_u64(w) * ceil_div_u64(g, NPU_NUM);
}

u64 cv_feature_match_l2_bytes(u32 batch, u32 entry_count) {
  // Either factor alone beyond the scratch already fails; capping them keeps
  // the product from wrapping.
  const u64 b = batch < (1u << 24) ? batch : (1u << 24), d = entry_count < (1u << 24) ? entry_count : (1u << 24);
  return 16ull * b * align32_u64(d);
}

namespace {

void place(cv_match_mem_sp_t *sp, cv_match_buf_t *b, u64 bytes) {
  b->addr = (sp->next + 127) / 128 * 128;
  b->data_len_per_npu = bytes;
  sp->next = b->addr + bytes;
}

// The local area of a buffer for the plan's list (clamped to 32 bits: an
// overflowing plan is refused before it is used).
local_area_t area_of(const char *name, const cv_match_buf_t &b) {
  const u64 off = b.addr > 0xffffffffull ? 0xffffffffull : b.addr;
  const u64 len = b.data_len_per_npu > 0xffffffffull ? 0xffffffffull : b.data_len_per_npu;
  return {name, (u32)off, (u32)len};
}

}  // namespace

void cv_feature_match_plan_of(int batch, int feature_count, int entry_count, cv_feature_match_plan_t *p) {
  memset(p, 0, sizeof *p);
  const u64 B = (u64)batch, F = (u64)feature_count;
  p->block = entry_count < CV_MATCH_BLOCK ? entry_count : CV_MATCH_BLOCK;
  p->blocks = p->block > 0 ? entry_count / p->block : 0;
  const u64 S = (u64)p->block;
  static const char *const names[2][CV_MATCH_SET_BUFFERS] = {
      {"0 query", "0 database block", "0 dot products", "0 query transposed", "0 query products",
       "0 factor block", "0 query products copy", "0 squared norms", "0 inverse norms", "0 similarities"},
      {"1 query", "1 database block", "1 dot products", "1 query transposed", "1 query products",
       "1 factor block", "1 query products copy", "1 squared norms", "1 inverse norms", "1 similarities"}};
  for (int i = 0; i < 2; i++) {
    cv_match_mem_sp_t *sp = &p->npu_local_mem_sp[i];
    sp->start = sp->next = (u64)i * CV_MATCH_SET_BYTES;
    sp->max_npu_local_mem_addr = sp->start + CV_MATCH_SET_BYTES;
    place(sp, &p->correlation_info[i].L, cv_match_matrix_bytes(B, F));
    place(sp, &p->correlation_info[i].R, cv_match_matrix_bytes(F, S));
    place(sp, &p->correlation_info[i].Y, cv_match_matrix_bytes(B, S));
    p->input_autocorrelation_info[i].L = p->correlation_info[i].L;
    place(sp, &p->input_autocorrelation_info[i].R, cv_match_matrix_bytes(F, B));
    place(sp, &p->input_autocorrelation_info[i].Y, cv_match_matrix_bytes(B, B));
    place(sp, &p->db_feature_info[i], cv_match_matrix_bytes(1, S));
    place(sp, &p->rearr_autocorr_info[i], cv_match_matrix_bytes(B, B));
    place(sp, &p->input_feature_info[i], cv_match_matrix_bytes(B, 1));
    place(sp, &p->feature_sqrt_info[i], cv_match_matrix_bytes(B, 1));
    place(sp, &p->feature_sqrt_output_info[i], cv_match_matrix_bytes(B, S));
    const cv_match_buf_t *bufs[CV_MATCH_SET_BUFFERS] = {
        &p->correlation_info[i].L,         &p->correlation_info[i].R,  &p->correlation_info[i].Y,
        &p->input_autocorrelation_info[i].R, &p->input_autocorrelation_info[i].Y, &p->db_feature_info[i],
        &p->rearr_autocorr_info[i],        &p->input_feature_info[i], &p->feature_sqrt_info[i],
        &p->feature_sqrt_output_info[i]};
    for (int k = 0; k < CV_MATCH_SET_BUFFERS; k++) p->areas[i * CV_MATCH_SET_BUFFERS + k] = area_of(names[i][k], *bufs[k]);
  }
}

void nodechip_get_sqrt_res(u32 input_feature, u32 feature_sqrt, u32 db_feature, u32 correlation_y,
                           u32 feature_sqrt_output, u32 batch, u32 block, cmd_id_node_t *node) {
  const int B = (int)batch, S = (int)block;
  const int w = S < FC_SEC_F32 ? S : FC_SEC_F32, sections = (int)ceil_div(S, FC_SEC_F32);
  // 1 / |q|: one value per query, one 128-byte row each (the B x 1 matrix).
  atomic_md_sfu_gen_cmd(LOCAL_ADDR_TAG | input_feature, LOCAL_ADDR_TAG | feature_sqrt, B, 1, 1, 1, 0, SFU_RSQ, 0, node);
  // (1 / |q_b|) x factor_j: the outer product of the column with the factor row.
  atomic_fc_gen_cmd(0, 0, 0, LOCAL_ADDR_TAG | feature_sqrt, LOCAL_ADDR_TAG | db_feature,
                    LOCAL_ADDR_TAG | feature_sqrt_output, 0, FC_SEC_F32, 1, w, sections, B, 1, node);
  // Times the dot products: the FC layout of a B x S matrix is the default
  // layout of B items of `sections` channels of w floats.
  atomic_mdscalar_operation_gen_cmd(LOCAL_ADDR_TAG | correlation_y, LOCAL_ADDR_TAG | feature_sqrt_output,
                                    LOCAL_ADDR_TAG | feature_sqrt_output, B, sections, 1, w, MD_SCALAR_MUL, 0, 0, 0, 0,
                                    0, node);
}

void nodechip_move_output_to_global_mem_stride(u32 feature_sqrt_output, u64 output, u32 batch, u32 block,
                                               u32 row_stride, cmd_id_node_t *node) {
  general_matrix_move_gen_cmd(feature_sqrt_output, 0, output, FC_SEC_F32, (int)batch, (int)block,
                              (int)align32_u64(row_stride), GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, 0, node);
}

namespace {

// Loads the query of one set: as the left operand (B x F) and as the right
// operand of the query products (F x B).
void load_query(const cv_feature_match_plan_t &p, int i, u64 query, int B, int F, cmd_id_node_t *node) {
  general_matrix_move_gen_cmd((u32)p.correlation_info[i].L.addr, 0, query, FC_SEC_F32, B, F, F,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0, node);
  general_matrix_move_gen_cmd((u32)p.input_autocorrelation_info[i].R.addr, 0, query, FC_SEC_F32, B, F, F,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 1, 0, node);
}

// Loads database block `blk` (F x S) and its factors (1 x S) into set i.
void load_block(const cv_feature_match_plan_t &p, int i, u64 database, u64 factor, int blk, int F, int S,
                u32 row_stride, cmd_id_node_t *node) {
  const u64 off = 4ull * (u64)S * (u64)blk;
  general_matrix_move_gen_cmd((u32)p.correlation_info[i].R.addr, 0, database + off, FC_SEC_F32, F, S, (int)row_stride,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0, node);
  general_matrix_move_gen_cmd((u32)p.db_feature_info[i].addr, 0, factor + off, FC_SEC_F32, 1, S, S,
                              GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, 0, node);
}

// The diagonal of the B x B query products of set i: |q_b|^2 into one row of
// 32 floats per query. Element (b, b) lies in lane b / 32; from one row to the
// next the step is a row plus one element.
void take_diagonal(const cv_feature_match_plan_t &p, int i, int B, cmd_id_node_t *node) {
  const int groups = (int)ceil_div(B, FC_SEC_F32);
  const int rows = (int)lane_rows(0, (u32)groups);  // lane rows of one matrix row
  const int row = FC_SEC_F32 * rows;                 // floats from one matrix row to the next in a lane
  const u32 src = (u32)p.rearr_autocorr_info[i].addr, dst = (u32)p.input_feature_info[i].addr;
  // The products copied out of the FC's result.
  tensor_general_move_gen_cmd(p.input_autocorrelation_info[i].Y.addr, 0, B, groups, 1, FC_SEC_F32, row, FC_SEC_F32,
                              FC_SEC_F32, 1, GDMA_VALUE_FORMAT_FLOAT32, src, 0, B, groups, 1, FC_SEC_F32, row,
                              FC_SEC_F32, FC_SEC_F32, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2L, 0, node);
  for (int c = 0; c < groups; c++) {
    const int n = B - FC_SEC_F32 * c < FC_SEC_F32 ? B - FC_SEC_F32 * c : FC_SEC_F32;
    const u32 from = src + 4u * (u32)(FC_SEC_F32 * c * row + (c / NPU_NUM) * FC_SEC_F32);
    const u32 to = dst + 4u * (u32)(FC_SEC_F32 * FC_SEC_F32 * c);
    tensor_general_move_gen_cmd(from, c % NPU_NUM, 1, 1, n, 1, n * (row + 1), n * (row + 1), row + 1, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, to, 0, 1, 1, n, 1, n * FC_SEC_F32, n * FC_SEC_F32,
                                FC_SEC_F32, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2L, 0, node);
  }
}

}  // namespace

int nodechip_feature_match(u64 query, u64 database, u64 factor, u64 output, u32 batch, u32 feature_count,
                           u32 entry_count, u32 row_stride, cmd_id_node_t *node) {
  ASSERT(batch > 0 && feature_count > 0 && entry_count > 0, "batch=%u, features=%u, entries=%u", (unsigned)batch,
         (unsigned)feature_count, (unsigned)entry_count);
  // The matrix moves take at most 65535 rows and columns.
  ASSERT(batch <= 65535 && feature_count <= 65535, "batch=%u, features=%u", (unsigned)batch,
         (unsigned)feature_count);
  // Whole blocks only: a count of 128 or more that is not a multiple of 128
  // would leave its last entries without similarities.
  ASSERT(entry_count < CV_MATCH_BLOCK || entry_count % CV_MATCH_BLOCK == 0, "entries=%u", (unsigned)entry_count);
  ASSERT(entry_count <= row_stride, "entries=%u, row stride=%u", (unsigned)entry_count, (unsigned)row_stride);
  // The similarities stay inside the layer scratch of L2 SRAM.
  const u64 last = output + 4ull * ((u64)(batch - 1) * align32_u64(row_stride) + entry_count);
  ASSERT(output >= L2_SRAM_START_ADDR && last <= CV_MATCH_L2_END, "output 0x%x, %u rows of %u", (unsigned)output,
         (unsigned)batch, (unsigned)row_stride);

  cv_feature_match_plan_t plan;
  cv_feature_match_plan_of((int)batch, (int)feature_count, (int)entry_count, &plan);
  const cv_match_mem_sp_t *npu_local_mem_sp = plan.npu_local_mem_sp;
  const cv_match_fc_t *correlation_info = plan.correlation_info;
  const cv_match_fc_t *input_autocorrelation_info = plan.input_autocorrelation_info;
  const cv_match_buf_t *db_feature_info = plan.db_feature_info;
  const cv_match_buf_t *rearr_autocorr_info = plan.rearr_autocorr_info;
  const cv_match_buf_t *input_feature_info = plan.input_feature_info;
  const cv_match_buf_t *feature_sqrt_info = plan.feature_sqrt_info;
  const cv_match_buf_t *feature_sqrt_output_info = plan.feature_sqrt_output_info;
  // Both sets are checked before anything is issued.
  for (int i = 0; i < 2; i++) {
    // clang-format off
    ASSERT((unsigned long)(correlation_info[i].L.addr + correlation_info[i].L.data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(correlation_info[i].R.addr + correlation_info[i].R.data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(correlation_info[i].Y.addr + correlation_info[i].Y.data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(input_autocorrelation_info[i].R.addr + input_autocorrelation_info[i].R.data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(input_autocorrelation_info[i].Y.addr + input_autocorrelation_info[i].Y.data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(db_feature_info[i].addr + db_feature_info[i].data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(rearr_autocorr_info[i].addr + rearr_autocorr_info[i].data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(input_feature_info[i].addr + input_feature_info[i].data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(feature_sqrt_info[i].addr + feature_sqrt_info[i].data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    ASSERT((unsigned long)(feature_sqrt_output_info[i].addr + feature_sqrt_output_info[i].data_len_per_npu) <(unsigned long)(npu_local_mem_sp[i].max_npu_local_mem_addr), "data too large\r\n");
    // clang-format on
  }

  const int B = (int)batch, F = (int)feature_count, S = plan.block, n_b = plan.blocks;
  load_query(plan, 0, query, B, F, node);
  load_query(plan, 1, query, B, F, node);
  load_block(plan, 0, database, factor, 0, F, S, row_stride, node);

  cmd_id_node_t move, comp;
  cmd_id_divide(node, &move, &comp);
  for (int blk = 0; blk < n_b; blk++) {
    const int s = blk % 2;
    const int last_block = blk == n_b - 1;
    if (!last_block) load_block(plan, 1 - s, database, factor, blk + 1, F, S, row_stride, &move);
    const cv_match_fc_t &corr = correlation_info[s], &auto_corr = input_autocorrelation_info[s];
    atomic_fc_gen_cmd(0, 0, 0, LOCAL_ADDR_TAG | (u32)corr.L.addr, LOCAL_ADDR_TAG | (u32)corr.R.addr,
                      LOCAL_ADDR_TAG | (u32)corr.Y.addr, 0, FC_SEC_F32, (int)ceil_div(F, FC_SEC_F32),
                      S < FC_SEC_F32 ? S : FC_SEC_F32, (int)ceil_div(S, FC_SEC_F32), B, F, &comp);
    atomic_fc_gen_cmd(0, 0, 0, LOCAL_ADDR_TAG | (u32)corr.L.addr, LOCAL_ADDR_TAG | (u32)auto_corr.R.addr,
                      LOCAL_ADDR_TAG | (u32)auto_corr.Y.addr, 0, FC_SEC_F32, (int)ceil_div(F, FC_SEC_F32),
                      B < FC_SEC_F32 ? B : FC_SEC_F32, (int)ceil_div(B, FC_SEC_F32), B, F, &comp);
    cmd_id_merge(node, &move, &comp);
    poll_all_engine_done(node);

    take_diagonal(plan, s, B, node);
    nodechip_get_sqrt_res((u32)input_feature_info[s].addr, (u32)feature_sqrt_info[s].addr,
                          (u32)db_feature_info[s].addr, (u32)corr.Y.addr, (u32)feature_sqrt_output_info[s].addr,
                          batch, (u32)S, node);
    feature_match_init_flag = 1;
    nodechip_move_output_to_global_mem_stride((u32)feature_sqrt_output_info[s].addr,
                                              output + 4ull * (u64)S * (u64)blk, batch, (u32)S, row_stride, node);
    poll_all_engine_done(node);
    // Long runs of blocks restart the ids before they pass the 16-bit limit.
    fix_cmd_node_overflow(node);
    if (!last_block) cmd_id_divide(node, &move, &comp);
  }
  return 0;
}

int nodechip_find_max_index(u64 matrix, u64 similarity_out, u64 index_out, u32 len, u32 row_stride, u32 rows,
                            cmd_id_node_t *node) {
  ASSERT(len > 0 && len <= row_stride && rows > 0, "len=%u, row stride=%u, rows=%u", (unsigned)len,
         (unsigned)row_stride, (unsigned)rows);
  // The matrix and the three areas of the sorts after it lie in the layer
  // scratch of L2 SRAM.
  const u64 M = 4ull * row_stride * rows;
  ASSERT(matrix >= L2_SRAM_START_ADDR && matrix + 4 * M <= CV_MATCH_L2_END, "matrix 0x%x, %u rows of %u",
         (unsigned)matrix, (unsigned)rows, (unsigned)row_stride);
  const u64 keys_out = matrix + M, indices_out = matrix + 2 * M, index_src = matrix + 3 * M;
  const u32 maxima = cv_take_dtcm(4 * rows), indices = cv_take_dtcm(4 * rows);
  // The matrix must be complete before the sort engine reads it.
  poll_all_engine_done(node);
  for (u32 r = 0; r < rows; r++) {
    const u64 off = 4ull * row_stride * r;
    cdma_sort_move_cmd(matrix + off, keys_out + off, len, SORT_ORDER_DESCEND, 1, 1, index_src + off,
                       indices_out + off, len);
    u32 key, index;
    memcpy(&key, hw_ptr((u32)(keys_out + off), 4), 4);
    memcpy(&index, hw_ptr((u32)(indices_out + off), 4), 4);
    memcpy(hw_ptr(maxima + 4 * r, 4), &key, 4);
    memcpy(hw_ptr(indices + 4 * r, 4), &index, 4);
  }
  pack_info_to_dtcm(maxima, similarity_out, 4 * rows, node);
  pack_info_to_dtcm(indices, index_out, 4 * rows, node);
  return 0;
}

// ============================================================================
// 8-bit matching
// ============================================================================

#define FC8_SECTION 128
#define FC8_MAX_OUT 8192

void cv_feature_match_fix8b_plan_of(u32 batch, u32 entry_count, u32 top_n, cv_match8_plan_t *p) {
  memset(p, 0, sizeof *p);
  ASSERT(batch > 0 && entry_count > 0 && top_n > 0, "batch=%u, entries=%u, top n=%u", (unsigned)batch,
         (unsigned)entry_count, (unsigned)top_n);
  // The final sort returns n results of the gathered candidates: more than
  // there are entries would report stale slots.
  ASSERT(top_n <= entry_count, "top n=%u, entries=%u", (unsigned)top_n, (unsigned)entry_count);
  // The candidate rows leave room for the passes' products and keys.
  const u64 slots = (u64)CV_MATCH8_MAX_PASSES * top_n;
  const u64 candidates = 16ull * slots * batch;
  ASSERT(candidates < CV_MATCH8_L2_BYTES, "%u queries of %u candidates need %u bytes of L2 SRAM", (unsigned)batch,
         (unsigned)slots, (unsigned)(candidates > 0xffffffffull ? 0xffffffffull : candidates));
  const u32 q1 = (u32)((CV_MATCH8_L2_BYTES - candidates) / 20);
  u32 c = q1 / (4 * batch);
  if (c > CV_MATCH8_MAX_PASS) c = CV_MATCH8_MAX_PASS;
  if (c > entry_count) c = entry_count;
  ASSERT(c > 0, "no room for a pass of %u queries", (unsigned)batch);
  const u32 passes = (u32)ceil_div_u64(entry_count, c);
  ASSERT(passes <= CV_MATCH8_MAX_PASSES, "%u entries take %u passes of %u", (unsigned)entry_count, (unsigned)passes,
         (unsigned)c);
  p->slots = (u32)slots;
  p->q1 = q1;
  p->pass = c;
  p->passes = passes;
  p->products = L2_SRAM_START_ADDR;
  p->keys = L2_SRAM_START_ADDR + 4 * q1;
  p->key_index = p->keys + 4 * q1;
  p->sorted_keys = L2_SRAM_START_ADDR + 12 * q1;
  p->sorted_index = p->sorted_keys + 4 * q1;
  const u32 row_bytes = 4 * p->slots * batch;
  p->cand_keys = L2_SRAM_START_ADDR + 20 * q1;
  p->cand_index = p->cand_keys + row_bytes;
  p->final_keys = p->cand_index + row_bytes;
  p->final_pos = p->final_keys + row_bytes;
  p->end = p->final_pos + row_bytes;
}

void nodechip_cv_fc_fix8b_data_split(cv_fc8_plan_t *p, u32 batch, u32 in_neurons, u32 out_neurons, u32 has_bias,
                                     u32 wide_result) {
  memset(p, 0, sizeof *p);
  const int W_param[2] = {FC8_SECTION, FC8_SECTION};
  p->weight_lmem_space = 0x20000u;
  p->bias_size = has_bias ? 2u * FC8_SECTION * (u32)ceil_div(ceil_div(out_neurons, FC8_SECTION), NPU_NUM) : 0u;
  const u32 input_neuron_space = 0x10000u - p->bias_size, weight_lmem_space = p->weight_lmem_space;
  const int output_neuron_slice = (int)(out_neurons < FC8_MAX_OUT ? out_neurons : FC8_MAX_OUT);
  const int output_c_per_npu = (int)ceil_div(ceil_div(output_neuron_slice, FC8_SECTION), NPU_NUM);
  int input_neuron_slice = (int)in_neurons;
  if ((s64)in_neurons * output_c_per_npu * FC8_SECTION > (s64)weight_lmem_space)
    input_neuron_slice =
        (int)(weight_lmem_space / (u32)(output_c_per_npu * FC8_SECTION)) / FC8_SECTION * FC8_SECTION;
  ASSERT_FS((int)(input_neuron_slice * output_c_per_npu * W_param[0] * sizeof(char)) <= (int)(weight_lmem_space));
  const int output_size = input_neuron_slice >= (int)in_neurons && wide_result != 1 ? 1 : 2;
  int batch_slice = (int)batch;
  if ((s64)output_size * batch * output_c_per_npu * FC8_SECTION > 65536)
    batch_slice = 0x10000 / (output_size * output_c_per_npu * FC8_SECTION);
  const int input_c_per_npu = (int)ceil_div(ceil_div(input_neuron_slice, FC8_SECTION), NPU_NUM);
  if ((s64)input_neuron_space < (s64)batch_slice * input_c_per_npu * FC8_SECTION)
    batch_slice = (int)(input_neuron_space / (u32)(input_c_per_npu * FC8_SECTION));
  if (batch_slice != (int)batch && batch_slice > 4) batch_slice = batch_slice / 4 * 4;
  ASSERT_FS(batch_slice * output_c_per_npu * W_param[0] * output_size <= ((1<<19) / 8));
  ASSERT_FS((int)(batch_slice * input_c_per_npu * W_param[1] * sizeof(char)) <= (int)input_neuron_space);
  ASSERT_FS(output_neuron_slice > 0 && input_neuron_slice > 0 && batch_slice > 0);
  p->output_neuron_slice = output_neuron_slice;
  p->input_neuron_slice = input_neuron_slice;
  p->batch_slice = batch_slice;
  p->output_c_per_npu = output_c_per_npu;
  p->input_c_per_npu = input_c_per_npu;
  p->output_size = output_size;
  p->input_neuron_space = input_neuron_space;
  // A bias takes its room from the start of the input space.
  p->input[0] = CV_FC8_INPUT0;
  p->input[1] = CV_FC8_INPUT1 + p->bias_size;
  p->weight[0] = CV_FC8_WEIGHT0;
  p->weight[1] = CV_FC8_WEIGHT1;
  p->output[0] = CV_FC8_OUTPUT0;
  p->output[1] = CV_FC8_OUTPUT1;
  p->areas[0] = {"bias", 0, p->bias_size};
  p->areas[1] = {"input 0", p->input[0], input_neuron_space};
  p->areas[2] = {"input 1", p->input[1], input_neuron_space};
  p->areas[3] = {"weight 0", p->weight[0], weight_lmem_space};
  p->areas[4] = {"weight 1", p->weight[1], weight_lmem_space};
  p->areas[5] = {"output 0", p->output[0], 0x10000u};
  p->areas[6] = {"output 1", p->output[1], 0x10000u};
}

void nodechip_cv_fc_fix8b_forward_parallel(u64 input, u64 weight, u64 bias, u64 output, u32 batch, u32 weight_stride,
                                           u32 in_neurons, u32 out_neurons, u32 transposed, u32 has_bias, u32 flag_l,
                                           u32 flag_r, u32 flag_bias, u32 shift, u32 wide_result, u32 flag_out,
                                           cmd_id_node_t *node) {
  ASSERT(shift < 32, "shift=%u", (unsigned)shift);
  cv_fc8_plan_t p;
  nodechip_cv_fc_fix8b_data_split(&p, batch, in_neurons, out_neurons, has_bias, wide_result);
  const int M = (int)batch, K = (int)in_neurons, N = (int)out_neurons;
  const int k_cut = p.input_neuron_slice < K, m_cut = p.batch_slice < M;
  // The partial sums of a split input are 16-bit and a product reads them at
  // the width of the result it writes: an 8-bit result needs one slice.
  ASSERT(wide_result == 1 || !k_cut, "an 8-bit result of %u inputs in slices of %d", (unsigned)in_neurons,
         p.input_neuron_slice);
  const int s_inter = (int)shift > 8 ? (int)shift - 8 : 0;
  const int result_signed = flag_l || flag_r;
  const int e = wide_result == 1 ? 2 : 1;  // bytes of a result

  fc_stages_t st;
  fc_stages_init(&st, M, K, N, p.batch_slice, p.input_neuron_slice, p.output_neuron_slice);
  int in_neuron_load = 0, weight_load = 0, out_neuron_gen = 0;
  for (int step = 0; fc_stages_running(&st); step++) {
    fc_stages_fill(&st);
    cmd_id_node_t move, comp;
    cmd_id_divide(node, &move, &comp);

    // Store the block whose last input slice was multiplied in the previous step.
    if (st.valid[2] && st.k_off[2] + st.k_cnt[2] >= K) {
      ASSERT_FS(out_neuron_gen > 0);
      const u32 y = p.output[(out_neuron_gen - 1) % 2];
      const int nn = st.n_off[2], nc = st.n_cnt[2], mo = st.m_off[2], mc = st.m_cnt[2];
      general_matrix_move_gen_cmd(y, 0, output + (u64)e * ((u64)nn + (u64)N * (u64)mo),
                                  e * (nc < FC8_SECTION ? nc : FC8_SECTION), mc, e * nc, e * N, GDMA_VALUE_FORMAT_INT8,
                                  GDMA_VALUE_DIR_L2S, 0, 0, &move);
    }

    // Multiply what the previous step loaded.
    if (st.valid[1]) {
      ASSERT_FS(in_neuron_load > 0 && weight_load > 0);
      const int nn = st.n_off[1], nc = st.n_cnt[1], ko = st.k_off[1], kc = st.k_cnt[1], mc = st.m_cnt[1];
      const int last = ko + kc >= K;
      const u32 L = p.input[(in_neuron_load - 1) % 2], R = p.weight[(weight_load - 1) % 2],
                Y = p.output[out_neuron_gen % 2];
      const int using_bias = has_bias && last;
      const int prec = last && wide_result != 1 ? 0 : 3;
      atomic_fc_fix8b_gen_cmd(using_bias, 0, ko > 0, LOCAL_ADDR_TAG | L, LOCAL_ADDR_TAG | R, LOCAL_ADDR_TAG | Y,
                              LOCAL_ADDR_TAG | ((u32)(nn / FC8_MAX_OUT) * 256u), kc < FC8_SECTION ? kc : FC8_SECTION,
                              (int)ceil_div(kc, FC8_SECTION), nc < FC8_SECTION ? nc : FC8_SECTION,
                              (int)ceil_div(nc, FC8_SECTION), mc, kc, result_signed, ko > 0 ? s_inter : 0,
                              last ? (int)shift : s_inter, last && flag_out ? 1 : 0, (int)flag_l, (int)flag_r,
                              using_bias ? (int)flag_bias : 0, prec, &comp);
      if (last) out_neuron_gen++;
    }

    // Loads of this step.
    if (st.valid[0]) {
      const int nn = st.n_off[0], nc = st.n_cnt[0], ko = st.k_off[0], kc = st.k_cnt[0], mo = st.m_off[0],
                mc = st.m_cnt[0];
      if (in_neuron_load == 0 || m_cut || k_cut) {
        general_matrix_move_gen_cmd(p.input[in_neuron_load % 2], 0, input + (u64)ko + (u64)K * (u64)mo, FC8_SECTION,
                                    mc, kc, K, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, 0, &move);
        in_neuron_load++;
      }
      if (step == 0 || k_cut || (N > FC8_MAX_OUT && mo == 0)) {
        const u32 R = p.weight[weight_load % 2];
        if (transposed)
          general_matrix_move_gen_cmd(R, 0, weight + (u64)nn * weight_stride + (u64)ko, FC8_SECTION, nc, kc,
                                      (int)weight_stride, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 1, 0, &move);
        else
          general_matrix_move_gen_cmd(R, 0, weight + (u64)ko * weight_stride + (u64)nn, FC8_SECTION, kc, nc,
                                      (int)weight_stride, GDMA_VALUE_FORMAT_INT8, GDMA_VALUE_DIR_S2L, 0, 0, &move);
        weight_load++;
      }
      if (step == 0 && has_bias)
        general_matrix_move_gen_cmd(0, 0, bias, FC8_SECTION * 2, 1, 2 * N, 2 * N, GDMA_VALUE_FORMAT_INT8,
                                    GDMA_VALUE_DIR_S2L, 0, 0, &move);
    }
    cmd_id_merge(node, &move, &comp);

    fc_stages_advance(&st);
  }
}

int invert_sign_bit(u64 address, u32 rows, u32 columns, cmd_id_node_t *node) {
  const u64 bytes = 2ull * rows * columns;
  ASSERT(bytes > 0, "rows=%u, columns=%u", (unsigned)rows, (unsigned)columns);
  const u32 w = bytes < 128 ? (u32)bytes : 128u;
  const u64 m = ceil_div_u64(bytes, w);
  // Rows of 128 bytes, one per lane in turn: they must fit one lane's memory.
  ASSERT(m <= 65535 && ceil_div_u64(m, NPU_NUM) * 128 <= LOCAL_MEM_SIZE, "%u rows of %u bytes", (unsigned)m,
         (unsigned)w);
  const int C = (int)m, lanes_rows = (int)ceil_div(C, NPU_NUM);
  tensor_general_move_gen_cmd(address, 0, 1, C, 1, (int)w, C * (int)w, (int)w, (int)w, 1, GDMA_VALUE_FORMAT_INT8, 0,
                              0, 1, C, 1, (int)w, 128 * lanes_rows, 128, 128, 1, GDMA_VALUE_FORMAT_INT8,
                              GDMA_VALUE_DIR_S2L, 0, node);
  poll_all_engine_done(node);
  const int words = (int)ceil_div(w, 4);
  const dim4_t shape = {1, C, 1, words}, stride = {32 * lanes_rows, 32, 32, 1};
  atomic_tensor_arithmetic_gen_cmd(LOCAL_ADDR_TAG, 0, LOCAL_ADDR_TAG, &shape, 0, 0, 0, &stride, &stride, &stride,
                                   TENSOR_OP_XOR, 0, 0, 0, 1, 0x80008000u, 0, node);
  poll_all_engine_done(node);
  tensor_general_move_gen_cmd(0, 0, 1, C, 1, (int)w, 128 * lanes_rows, 128, 128, 1, GDMA_VALUE_FORMAT_INT8, address, 0,
                              1, C, 1, (int)w, C * (int)w, (int)w, (int)w, 1, GDMA_VALUE_FORMAT_INT8,
                              GDMA_VALUE_DIR_L2S, 0, node);
  poll_all_engine_done(node);
  return 0;
}

int nodechip_cv_feature_match_fix8b(u64 query, u64 database, u64 scores_out, u64 indices_out, u64 work, u32 batch,
                                    u32 feature_count, u32 entry_count, u32 top_n, u32 shift, cmd_id_node_t *node) {
  cv_match8_plan_t p;
  cv_feature_match_fix8b_plan_of(batch, entry_count, top_n, &p);
  ASSERT(feature_count > 0 && feature_count <= 65535, "features=%u", (unsigned)feature_count);
  const u32 B = batch, n = top_n;
  // The ARM writes the indices and reads the scores through its window onto
  // device memory.
  const u64 work_bytes = 6ull * B * n;
  ASSERT(work >= GLOBAL_MEM_START_ADDR && work - GLOBAL_MEM_START_ADDR + work_bytes <= 0x100000000ull - DDR_ARM_BASE,
         "work buffer 0x%x%08x", (unsigned)(work >> 32), (unsigned)work);
  u8 *const work_ptr = (u8 *)core_window_ptr(work, work_bytes, 4);

  // Every key's high half is 0x3FFF.
  const u32 high = CV_MATCH8_KEY_HIGH;
  fill_constant_gen_global_cmd_stride(p.keys, &high, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, (int)(B * p.pass),
                                      (int)(B * p.pass), (int)(B * p.pass), (int)(B * p.pass), 1, node);
  u32 t = 0;  // candidates gathered per query
  for (u32 s = 0; s < entry_count; s += p.pass) {
    const u32 w = entry_count - s < p.pass ? entry_count - s : p.pass;
    nodechip_cv_fc_fix8b_forward_parallel(query, database + s, 0, p.products, B, entry_count, feature_count, w, 0, 0,
                                          1, 1, 1, shift, 1, 0, node);
    invert_sign_bit(p.products, B, w, node);
    // The B x w products into the low halves of the keys (rows 4w bytes apart).
    const int bw = (int)(B * w);
    tensor_general_move_gen_cmd(p.products, 0, 1, 1, 1, bw, bw, bw, bw, 1, GDMA_VALUE_FORMAT_INT16, p.keys, 0, 1, 1,
                                1, bw, 2 * bw, 2 * bw, 2 * bw, 2, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2S, 0,
                                node);
    poll_all_engine_done(node);
    const u32 k = n < w ? n : w;
    for (u32 b = 0; b < B; b++) {
      cdma_sort_move_cmd(p.keys + 4 * w * b, p.sorted_keys, w, SORT_ORDER_DESCEND, 1, 1, p.key_index + 4 * w * b,
                         p.sorted_index, k);
      u32 *index = (u32 *)hw_ptr(p.sorted_index, 4 * k);
      for (u32 j = 0; j < k; j++) index[j] += s;  // positions in the pass become entries
      memcpy(hw_ptr(p.cand_keys + 4 * (p.slots * b + t), 4 * k), hw_ptr(p.sorted_keys, 4 * k), 4 * k);
      memcpy(hw_ptr(p.cand_index + 4 * (p.slots * b + t), 4 * k), index, 4 * k);
    }
    t += k;
    fix_cmd_node_overflow(node);
  }

  // The final top n of each query's candidates; their entries into the work buffer.
  for (u32 b = 0; b < B; b++) {
    const u32 row = 4 * p.slots * b;
    cdma_sort_move_cmd(p.cand_keys + row, p.final_keys + row, t, SORT_ORDER_DESCEND, 1, 1, p.cand_index + row,
                       p.final_pos + row, n);
    const u32 *pos = (const u32 *)hw_ptr(p.final_pos + row, 4 * n);
    const u32 *cand = (const u32 *)hw_ptr(p.cand_index + row, 4 * t);
    u32 *out = (u32 *)(work_ptr + 4 * n * b);
    for (u32 j = 0; j < n; j++) out[j] = cand[pos[j]];
  }
  general_gdma_gen_cmd(work, indices_out, GDMA_VALUE_FORMAT_FLOAT32, (int)(B * n), GDMA_VALUE_DIR_S2S, node);
  // The keys' low halves (the products XOR 0x8000) into the work buffer as int16.
  const u64 scores = work + 4ull * B * n;
  tensor_general_move_gen_cmd(p.final_keys, 0, (int)B, 1, 1, (int)n, 2 * (int)p.slots, 2 * (int)p.slots,
                              2 * (int)p.slots, 2, GDMA_VALUE_FORMAT_INT16, scores, 0, (int)B, 1, 1, (int)n, (int)n,
                              (int)n, (int)n, 1, GDMA_VALUE_FORMAT_INT16, GDMA_VALUE_DIR_S2S, 0, node);
  poll_all_engine_done(node);
  u16 *score = (u16 *)(work_ptr + 4 * B * n);
  for (u32 i = 0; i < B * n; i++) score[i] = (u16)(score[i] + 0x8000u);
  general_gdma_gen_cmd(scores, scores_out, GDMA_VALUE_FORMAT_INT16, (int)(B * n), GDMA_VALUE_DIR_S2S, node);
  return 0;
}
