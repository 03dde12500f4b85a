// Expansion of compressed 8-bit fully-connected weights in local memory.
#include "layers/data/fc_decompress.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_desc.h"
#include "cmd/bd_fc.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "local/resident.h"
#include "runtime/assert.h"

#define LANE_BYTES 0x80000u

fc_decompress_plan_t fc_decompress_plan_of(u32 local_offset, int outlier_num, int input_len, int output_num) {
  fc_decompress_plan_t p = {};
  const i64 rows = ceil_div(output_num, NPU_NUM);
  const i64 L = (i64)input_len * rows;
  const i64 outliers = outlier_num;
  p.L = L < 0 ? 0 : (u64)L;
  p.P4 = (u64)ALIGN((p.L + 1) / 2, 4);
  p.O4 = outliers < 0 ? 0 : (u64)ALIGN(outliers, 4);
  p.positions = p.P4 + p.O4;
  p.S = p.positions + 2 * (outliers < 0 ? 0 : (u64)outliers);
  const u64 work = 2 * p.P4;
  p.area[0] = local_offset + (u64)ALIGN(p.S, 4);
  p.area[1] = p.area[0] + work;
  p.area[2] = p.area[1] + work;
  p.end = p.area[2] + work;
  // A negative count leaves no plan that fits.
  if (input_len <= 0 || output_num <= 0 || outlier_num < 0) p.end = ~0ull;
  const u64 cap = 0xffffffffull;
  p.areas[0] = {"compressed lane", local_offset, (u32)(p.S < cap ? p.S : cap)};
  p.areas[1] = {"words of the high nibbles", (u32)(p.area[0] < cap ? p.area[0] : cap), (u32)(work < cap ? work : cap)};
  p.areas[2] = {"expanded weights", (u32)(p.area[1] < cap ? p.area[1] : cap), (u32)(work < cap ? work : cap)};
  p.areas[3] = {"sign bits", (u32)(p.area[2] < cap ? p.area[2] : cap), (u32)(work < cap ? work : cap)};
  return p;
}

namespace {
// One fixed-point command over `count` consecutive bytes or half-words of
// every lane (as four items per column, columns one word or two apart).
struct fx_t {
  tensor_op_t op;
  u32 A, B, R;       // local offsets, or the constant for B
  int B_const;
  u32 a_bits, r_bits;  // 8 or 16
  u32 a_signed;
};
void issue(const fx_t &k, u64 count, cmd_id_node_t *node) {
  const int cols = (int)(count / 4);
  const dim4_t shape = {4, NPU_NUM, 1, cols};
  const dim4_t s8 = {1, cols, cols, 1}, s16 = {1, 2 * cols, 2 * cols, 2};
  const u32 addr[4] = {local_tag(k.A), k.B_const ? k.B : local_tag(k.B), 0, local_tag(k.R)};
  const u32 bcast[4] = {0, 0, 0, 0};
  const u32 b_bits = k.B_const ? (k.op == TENSOR_OP_AND ? k.a_bits : 8) : k.a_bits;
  const u32 Sign[3] = {k.a_signed, 0, 0};
  const u32 Int8[4] = {k.a_bits == 8, b_bits == 8, 0, k.r_bits == 8};
  const u32 modes[4] = {BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN, BD_STRIDE_GIVEN};
  const u32 shifts[6] = {0, 0, 0, 0, 0, 0};
  atomic_tensor_arithmetic_fix8b_gen_cmd(addr, &shape, bcast, k.a_bits == 8 ? &s8 : &s16, b_bits == 8 ? &s8 : &s16,
                                         k.r_bits == 8 ? &s8 : &s16, k.op, 0, k.B_const, 0, 0, 0, Sign, Int8, modes,
                                         shifts, 0, node);
}
}  // namespace

void nodechip_fc_weight_decompress(u64 src, u64 dst, u32 local_offset, int outlier_num, int input_len,
                                   int output_num, cmd_id_node_t *node) {
  ASSERT_FS(input_len > 0 && output_num > 0 && outlier_num >= 0);
  ASSERT_FS(local_offset % 4 == 0);
  const fc_decompress_plan_t p = fc_decompress_plan_of(local_offset, outlier_num, input_len, output_num);
  ASSERT_FS(p.end <= LANE_BYTES, "%d weights and %d outliers per lane from local offset 0x%x", (int)p.L, outlier_num,
            (unsigned)local_offset);
  const int S = (int)p.S, L = (int)p.L;
  const u32 a0 = (u32)p.area[0], a1 = (u32)p.area[1], a2 = (u32)p.area[2];

  // The 64 compressed lanes, S bytes apart.
  stride_load(global_view(src, dim4(1, NPU_NUM, 1, S), dim4(NPU_NUM * S, S, S, 1), GDMA_VALUE_FORMAT_INT8),
              local_view(local_offset, 0, dim4(S, S, S, 1), GDMA_VALUE_FORMAT_INT8), node);
  // Code byte b (hi:lo) becomes the half-word hi << 8 | lo, i.e. the bytes lo, hi.
  issue({TENSOR_OP_MUL, local_offset, 16, a0, 1, 8, 16, 0}, p.P4, node);
  issue({TENSOR_OP_AND, a0, 0x0f00, a1, 1, 16, 16, 0}, p.P4, node);
  issue({TENSOR_OP_MAC, local_offset, 1, a1, 1, 8, 16, 0}, p.P4, node);
  issue({TENSOR_OP_AND, a1, 0x0f0f, a1, 1, 16, 16, 0}, p.P4, node);
  // Codes 8 to 15 are -8 to -1: their bit 3 spread over the high bits.
  issue({TENSOR_OP_AND, a1, 8, a2, 1, 8, 8, 0}, 2 * p.P4, node);
  issue({TENSOR_OP_MUL, a2, 31, a2, 1, 8, 8, 0}, 2 * p.P4, node);
  issue({TENSOR_OP_OR, a1, a2, a1, 0, 8, 8, 0}, 2 * p.P4, node);
  issue({TENSOR_OP_MUL, a1, 4, a1, 1, 8, 8, 1}, 2 * p.P4, node);
  if (outlier_num > 0)
    atomic_parallel_decompress_gen_cmd(local_tag(local_offset + (u32)p.positions), local_tag(local_offset + (u32)p.P4),
                                       local_tag(a1), outlier_num, 0, node);
  stride_store(local_view(a1, 0, dim4(L, L, L, 1), GDMA_VALUE_FORMAT_INT8),
               global_view(dst, dim4(1, NPU_NUM, 1, L), dim4(NPU_NUM * L, L, L, 1), GDMA_VALUE_FORMAT_INT8), node);
}
