// Feature matching: B query vectors against a database of D entries.
//
// Float matching (API 504): similarity(q, d_j) = (q . d_j) / |q| x factor_j,
// per query the largest similarity and its entry. nodechip_feature_match fills
// a B x D similarity matrix in L2 SRAM block by block (blocks of at most 128
// entries, two local buffer sets alternating so that the next block loads
// while the current one multiplies); nodechip_find_max_index sorts each row on
// the CDMA engine and gathers the row maxima.
//
// 8-bit matching (API 509): int8 features, int16 products; per query the top n
// scores and their entries. Passes of c entries each: the products of a pass
// on the 8-bit FC, turned into f32 sort keys (0x3FFF in the high half, the
// product XOR 0x8000 in the low half: positive floats ordered like the signed
// products), the top n of every pass gathered per query, and a final sort of
// the gathered candidates.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

// ---- Float matching ----

#define CV_MATCH_SIM_ADDR 0x100a2000u    // the similarity matrix in L2 SRAM
#define CV_MATCH_L2_END 0x10300000u      // the end of the layer scratch in L2 SRAM
#define CV_MATCH_BLOCK 128               // entries of one block at most
#define CV_MATCH_SET_BYTES 0x40000u      // one buffer set: half of a lane
#define CV_MATCH_SET_BUFFERS 10

// One buffer of a set: its local offset and its bytes per lane.
typedef struct {
  u64 addr;
  u64 data_len_per_npu;
} cv_match_buf_t;

// The operands of one FC product.
typedef struct {
  cv_match_buf_t L, R, Y;
} cv_match_fc_t;

// One half of local memory: start, next free byte, end.
typedef struct {
  u64 start, next, max_npu_local_mem_addr;
} cv_match_mem_sp_t;

// The plan of nodechip_feature_match: block width and count, and the ten
// buffers of both sets in the order they are placed (each at the next
// 128-byte boundary of its half).
typedef struct {
  int block;   // S, entries of one block
  int blocks;  // n_b
  cv_match_mem_sp_t npu_local_mem_sp[2];
  cv_match_fc_t correlation_info[2];           // query x database block
  cv_match_fc_t input_autocorrelation_info[2]; // query x query transposed (L unused: correlation's L)
  cv_match_buf_t db_feature_info[2];           // factor block, 1 x S
  cv_match_buf_t rearr_autocorr_info[2];       // the B x B products copied out of the FC's result
  cv_match_buf_t input_feature_info[2];        // |q|^2, one row of 32 floats per query
  cv_match_buf_t feature_sqrt_info[2];         // 1 / |q|
  cv_match_buf_t feature_sqrt_output_info[2];  // the block's similarities, B x S
  local_area_t areas[2 * CV_MATCH_SET_BUFFERS];
} cv_feature_match_plan_t;

// Bytes per lane of a rows x cols float32 matrix in the FC layout: rows x
// align32(w) x ceil(g / 64) floats, w = min(cols, 32), g = ceil(cols / w).
u64 cv_match_matrix_bytes(u64 rows, u64 cols);

// The plan (pure): buffers are placed even where they overflow their half;
// nodechip_feature_match checks each against its half's end.
void cv_feature_match_plan_of(int batch, int feature_count, int entry_count, cv_feature_match_plan_t *p);

// Bytes from the similarity matrix's start that the float matching of B
// queries against D entries uses in L2 SRAM: the matrix and the three areas
// of the row sorts, 16 x B x align32(D).
u64 cv_feature_match_l2_bytes(u32 batch, u32 entry_count);

// 1 after the first block of a call; cleared by the API handler before every
// matching call.
extern "C" u32 feature_match_init_flag;

// ---- 8-bit matching ----

#define CV_MATCH8_L2_BYTES 0x300000u  // from L2_SRAM_START_ADDR
#define CV_MATCH8_MAX_PASSES 300u
#define CV_MATCH8_MAX_PASS 0x20000u
#define CV_MATCH8_KEY_HIGH 0x3FFF0000u

// The L2 plan of nodechip_cv_feature_match_fix8b (all L2 SRAM addresses).
typedef struct {
  u32 slots;   // P = 300 n candidate slots per query
  u32 q1;      // (0x300000 - 16 P B) / 20
  u32 pass;    // c, entries of one pass
  u32 passes;  // ceil(D / c)
  u32 products, keys, key_index, sorted_keys, sorted_index;  // regions A, K (+ index source), S (keys, indices)
  u32 cand_keys, cand_index, final_keys, final_pos;          // region T: four arrays of B rows of P
  u32 end;
} cv_match8_plan_t;

// The plan (pure apart from its checks): positive counts, top n within the
// entries, room for the candidates (q1 > 0 and a pass of at least one entry)
// and at most 300 passes.
void cv_feature_match_fix8b_plan_of(u32 batch, u32 entry_count, u32 top_n, cv_match8_plan_t *p);

// The slice plan of the 8-bit FC of the matching.
#define CV_FC8_INPUT0 0x10000u
#define CV_FC8_INPUT1 0x0u
#define CV_FC8_WEIGHT0 0x20000u
#define CV_FC8_WEIGHT1 0x40000u
#define CV_FC8_OUTPUT0 0x60000u
#define CV_FC8_OUTPUT1 0x70000u
#define CV_FC8_AREA_COUNT 7
typedef struct {
  int output_neuron_slice, input_neuron_slice, batch_slice;
  int output_c_per_npu, input_c_per_npu;
  int output_size;  // bytes of a result before the last input slice
  u32 bias_size, input_neuron_space, weight_lmem_space;
  u32 input[2], weight[2], output[2];
  local_area_t areas[CV_FC8_AREA_COUNT];
} cv_fc8_plan_t;

extern "C" {

// ---- Float matching ----

// Similarities of batch queries (B x F, row-major) against entry_count
// entries from the database column at `database` (F rows, row_stride entries
// apart) with their factors, into the matrix at output (L2 SRAM, rows
// align32(row_stride) floats apart). entry_count is a multiple of 128 or
// below 128. Returns 0; waits for the engines after every block.
int nodechip_feature_match(u64 query, u64 database, u64 factor, u64 output, u32 batch, u32 feature_count,
                           u32 entry_count, u32 row_stride, cmd_id_node_t *node);
// 1 / |q| of the diagonal, its outer product with the factor block, and the
// block's similarities (dot products times that) into feature_sqrt_output.
void nodechip_get_sqrt_res(u32 input_feature, u32 feature_sqrt, u32 db_feature, u32 correlation_y,
                           u32 feature_sqrt_output, u32 batch, u32 block, cmd_id_node_t *node);
// The B x S block of similarities to the matrix (rows align32(row_stride) apart).
void nodechip_move_output_to_global_mem_stride(u32 feature_sqrt_output, u64 output, u32 batch, u32 block,
                                               u32 row_stride, cmd_id_node_t *node);
// For each of rows rows (row_stride floats apart) of the matrix in L2 SRAM: the
// largest of its len values to similarity_out and its index to index_out.
// Uses the three areas after the matrix. Returns 0; waits.
int nodechip_find_max_index(u64 matrix, u64 similarity_out, u64 index_out, u32 len, u32 row_stride, u32 rows,
                            cmd_id_node_t *node);

// ---- 8-bit matching ----

// Top top_n int16 scores (scores_out, B x n) and their entries (indices_out,
// B x n int32) of each query; work is the caller's device buffer of 6 B n
// bytes. Returns 0; the caller waits.
int nodechip_cv_feature_match_fix8b(u64 query, u64 database, u64 scores_out, u64 indices_out, u64 work, u32 batch,
                                    u32 feature_count, u32 entry_count, u32 top_n, u32 shift, cmd_id_node_t *node);

// The slice plan (pure apart from its assertions).
void nodechip_cv_fc_fix8b_data_split(cv_fc8_plan_t *p, u32 batch, u32 in_neurons, u32 out_neurons, u32 has_bias,
                                     u32 wide_result);

// output[b][j] = sum over k of input[b][k] x weight[k][j], 8-bit operands,
// weight rows weight_stride bytes apart, output rows out_neurons x (1 +
// wide_result) bytes apart.
void nodechip_cv_fc_fix8b_forward_parallel(u64 input, u64 weight, u64 bias, u64 output, u32 batch, u32 weight_stride,
                                           u32 in_neurons, u32 out_neurons, u32 transposed, u32 has_bias, u32 flag_l,
                                           u32 flag_r, u32 flag_bias, u32 shift, u32 wide_result, u32 flag_out,
                                           cmd_id_node_t *node);

// XOR 0x8000 on rows x columns int16 values in place (rewrites up to 127
// bytes after them unchanged). Returns 0; waits.
int invert_sign_bit(u64 address, u32 rows, u32 columns, cmd_id_node_t *node);

// ---- Handlers ----
u32 zv_api_cv_feature_match(u8 *param, u32 size);
u32 zv_api_cv_feature_match_fix8b(u8 *param, u32 size);
}

// API 504.
typedef struct {
  u64 query;
  u64 database;
  u64 factor;
  u64 similarity_out;
  u64 index_out;
  u32 batch;
  u32 feature_count;
  u32 entry_count;
} FW_PACKED zv_api_cv_feature_match_t;
static_assert(sizeof(zv_api_cv_feature_match_t) == 52, "zv_api_cv_feature_match_t is 52 bytes");

// API 509.
typedef struct {
  u64 query;
  u64 database;
  u64 scores_out;
  u64 indices_out;
  u64 work;
  u32 batch;
  u32 feature_count;
  u32 entry_count;
  u32 top_n;
  u32 shift;
} FW_PACKED zv_api_cv_feature_match_fix8b_t;
static_assert(sizeof(zv_api_cv_feature_match_fix8b_t) == 60, "zv_api_cv_feature_match_fix8b_t is 60 bytes");
