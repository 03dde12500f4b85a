// Float32 <-> 4N int8 conversions of whole tensors.
#include "layers/eltwise/convert.h"

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_shape.h"
#include "local/conversion.h"
#include "runtime/assert.h"

#include "runtime/regs.h"

// An address below device memory is an offset from its start. (Setting bit 32
// instead would move an address of the upper 4 GB out of device memory.)
static u64 device_addr(u64 a) { return a < GLOBAL_MEM_START_ADDR ? a + GLOBAL_MEM_START_ADDR : a; }

static i64 rows_bytes(i64 cpl, i64 rows, i64 w) { return cpl * align_up(rows * w, EU_NUM) * 4; }

void tensor_split_nh(nh_secs_t *out, int budget, int input_n, int cpl, int input_h, int w) {
  const i64 n = input_n, h = input_h;
  const i64 B = budget, item = 2 * rows_bytes(cpl, h, w), group = 4 * item;
  nh_secs_t nh_secs = {1, 1};
  if (n <= 4 || group >= B) {
    const i64 items = n <= 4 ? n : 4;
    if (n > 4) nh_secs.nsecs = (u32)((n + 3) / 4);
    i64 secs = ceil_div(B, item);
    if (secs > h) secs = h;
    nh_secs.hsecs = (u32)secs;
    while (items * 2 * rows_bytes(cpl, ceil_div(h, nh_secs.hsecs), w) > B) {
      ASSERT_FS(nh_secs.hsecs < (u32)input_h);
      nh_secs.hsecs++;
    }
  } else {
    i64 secs = ceil_div(B, group);
    if (secs > n) secs = n;
    nh_secs.nsecs = (u32)secs;
    while (group * ceil_div(ceil_div(n, nh_secs.nsecs), 4) > B) {
      ASSERT_FS(nh_secs.nsecs < (u32)input_n);
      nh_secs.nsecs++;
    }
  }
  *out = nh_secs;
}

static void float2int8_run(u64 input, u64 output, int n, int c, int h, int w, int sign, int v2, cmd_id_node_t *node) {
  ASSERT_FS(n >= 0 && c > 0 && h > 0 && w > 0);
  if (n == 0) return;
  input = device_addr(input);
  output = device_addr(output);
  const int budget = v2 ? 0x40000 : 0x80000;
  const int k = (int)ceil_div(c, NPU_NUM);
  const i64 size = (i64)n * rows_bytes(k, h, w);
  const i64 need = size < 0x10000 ? size + 0x10000 : 2 * size;
  nh_secs_t secs = {1, 1};
  if (need > budget) tensor_split_nh(&secs, budget, n, k, h, w);
  const int step = 4 * (int)ceil_div(ceil_div(n, secs.nsecs), 4);
  const u64 chw = (u64)c * h * w;
  for (int i0 = 0; i0 < n; i0 += step) {
    const int m = n - i0 < step ? n - i0 : step;
    for (int s = 0, r0 = 0; s < (int)secs.hsecs; s++) {
      const int r = h / (int)secs.hsecs + (s < h % (int)secs.hsecs ? 1 : 0);
      const u64 at = (u64)r0 * w;
      general_align_tensor_move_G2L_gen_cmd(input + 4 * ((u64)i0 * chw + at), 0, 0, m, c, r, w, (int)chw, h * w, node);
      const u32 slice = (u32)m * (u32)rows_bytes(k, r, w);
      const u32 out = slice > 0x10000 ? slice : 0x10000;
      if (v2) {
        nodechip_float2int8_local_keep_input(0, out, 0x40000, m, c, r, w, sign, node);
      } else {
        nodechip_float2int8_local(LOCAL_ADDR_TAG, LOCAL_ADDR_TAG | out, m, c, r, w, sign, 0, node);
      }
      general_align_tensor_move_L2G_gen_cmd(out, 0, output + 4 * ((u64)(i0 / 4) * chw + at), (m + 3) / 4, c, r, w,
                                            (int)chw, h * w, node);
      r0 += r;
    }
  }
}

void nodechip_float2int8(u64 input, u64 output, int n, int c, int h, int w, int sign, cmd_id_node_t *node) {
  float2int8_run(input, output, n, c, h, w, sign, 0, node);
}
void nodechip_float2int8_v2(u64 input, u64 output, int n, int c, int h, int w, int sign, cmd_id_node_t *node) {
  float2int8_run(input, output, n, c, h, w, sign, 1, node);
}

int int2float_plan_of(int2float_plan_t *plan, int n, int c, int h, int w) {
  const i64 groups = (n + 3) / 4, k = ceil_div(c, NPU_NUM);
  const i64 gsize = rows_bytes(k, h, w);
  if (gsize <= 0x18000) {
    const i64 fit = 0x18000 / gsize;
    plan->groups = (int)(groups < fit ? groups : fit);
    plan->rows = h;
  } else {
    plan->groups = 1;
    plan->rows = (int)((768 / k) * 32 / w);
  }
  return plan->rows > 0;
}

void nodechip_global_int2float(u64 input, u64 output, int n, int c, int h, int w, int sign, int mode,
                               cmd_id_node_t *node) {
  ASSERT_FS(mode == STORAGE_MODE_4N_INT8);
  ASSERT_FS(n >= 0 && c > 0 && h > 0 && w > 0);
  // An empty batch has nothing to convert.
  if (n == 0) return;
  int2float_plan_t p;
  ASSERT_FS(int2float_plan_of(&p, n, c, h, w), "one row of %d words does not fit", w);
  input = device_addr(input);
  output = device_addr(output);
  const int groups = (n + 3) / 4;
  const u64 chw = (u64)c * h * w;
  for (int g0 = 0; g0 < groups; g0 += p.groups) {
    const int G = groups - g0 < p.groups ? groups - g0 : p.groups;
    const int items = 4 * (g0 + G) <= n ? 4 * G : n - 4 * g0;
    for (int y0 = 0; y0 < h; y0 += p.rows) {
      const int r = h - y0 < p.rows ? h - y0 : p.rows;
      const u64 at = (u64)y0 * w;
      general_align_tensor_move_G2L_gen_cmd(input + 4 * ((u64)g0 * chw + at), 0, 0, G, c, r, w, (int)chw, h * w, node);
      tensor_int8_to_float_local_v2(0, 0x20000, 0, 4 * G, c, r, w, 0, sign, STORAGE_MODE_4N_INT8, node);
      general_align_tensor_move_L2G_gen_cmd(0x20000, 0, output + 4 * ((u64)(4 * g0) * chw + at), items, c, r, w,
                                            (int)chw, h * w, node);
    }
  }
}
