// Top-k class indices on the ARM.
#include "layers/seq/accuracy.h"

#include <string.h>

#include "cmd/gdma.h"
#include "layers/data/select.h"
#include "runtime/api/record_arrays.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

void HeapDown(float *values, u32 *indices, int size, int start) {
  int a = start;
  for (;;) {
    const int l = 2 * a + 1, r = 2 * a + 2;
    int next;
    if (l < size && values[l] > values[a]) {
      next = (r < size && values[r] > values[l]) ? r : l;
    } else if (r < size && values[r] > values[a]) {
      next = r;
    } else {
      return;
    }
    const float v = values[a];
    values[a] = values[next];
    values[next] = v;
    const u32 i = indices[a];
    indices[a] = indices[next];
    indices[next] = i;
    a = next;
  }
}

void Partial_Sort(float *values, u32 *indices, int n, int k) {
  for (int p = (n - 2) / 2; p >= 0; p--) HeapDown(values, indices, n, p);
  int m = n - 1;
  for (int j = 0; j < k; j++, m--) {
    const float v = values[0];
    values[0] = values[m];
    values[m] = v;
    const u32 i = indices[0];
    indices[0] = indices[m];
    indices[m] = i;
    HeapDown(values, indices, m, 0);
  }
}

void nodechip_accuracy_layer(u64 input, u64 output, u64 index_init, u64 value_init, u64 scratch, int N, int C,
                             int top_k, cmd_id_node_t *node) {
  const int Tensor_N = C, Top_K = top_k;
  ASSERT_FS(Tensor_N >= Top_K);
  ASSERT_FS(N > 0 && top_k >= 0);
  if ((i64)N * ((i64)top_k + 3 * (i64)C) >= 0x1000000) ASSERT_FS(0);
  const u64 NC = (u64)N * (u64)C, NK = (u64)N * (u64)top_k;
  const u64 staged = scratch + 4 * NC, values_at = staged + 4 * NK, indices_at = values_at + 4 * NC;
  float *copy = (float *)core_window_ptr(scratch, 4 * NC, 4);
  u32 *out = (u32 *)core_window_ptr(staged, 4 * NK + 4 * NC + 4 * NC, 4);
  float *values = (float *)(out + NK);
  u32 *indices = (u32 *)(out + NK + NC);
  general_gdma_gen_cmd(input, scratch, GDMA_VALUE_FORMAT_FLOAT32, (int)NC, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(value_init, values_at, GDMA_VALUE_FORMAT_FLOAT32, (int)NC, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(index_init, indices_at, GDMA_VALUE_FORMAT_FLOAT32, (int)NC, GDMA_VALUE_DIR_S2S, node);
  poll_all_engine_done_internal(node);
  for (int i = 0; i < N; i++) {
    for (int j = 0; j < C; j++) {
      indices[j] = (u32)j;
      memcpy(&values[j], &copy[(u64)i * (u64)C + (u64)j], 4);
    }
    Partial_Sort(values, indices, C, top_k);
    for (int m = 0; m < top_k; m++) out[(u64)i * (u64)top_k + (u64)m] = indices[C - 1 - m];
  }
  if (NK > 0) general_gdma_gen_cmd(staged, output, GDMA_VALUE_FORMAT_FLOAT32, (int)NK, GDMA_VALUE_DIR_S2S, node);
}
