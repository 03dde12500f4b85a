#include "cv/cv_sort_test.h"

#include "cmd/cdma_sort.h"
#include "cmd/gdma.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"

void cv_sort_areas_of(u64 index_array, u64 key_array, u32 memory_space, u32 len, u32 out_len,
                      cv_sort_areas_t *areas) {
  // No memory is defined beyond code 4.
  ASSERT_FS(memory_space <= CV_SORT_SPACE_DDR4, "memory_space=%u", (unsigned)memory_space);
  ASSERT_FS(len > 0 && out_len > 0 && out_len <= len, "len=%u, out_len=%u", (unsigned)len, (unsigned)out_len);
  static const u64 bases[5] = {0, CV_SORT_L2_BASE, DTCM_SCRATCH_START, CV_SORT_DDR3_BASE, CV_SORT_DDR4_BASE};
  areas->w1 = memory_space == CV_SORT_SPACE_IN_PLACE ? index_array : bases[memory_space];
  areas->w2 = memory_space == CV_SORT_SPACE_IN_PLACE ? key_array : areas->w1 + 4ull * len;
  areas->w3 = areas->w2 + 4ull * len;
  areas->w4 = areas->w3 + 4ull * out_len;
  areas->end = areas->w4 + 4ull * len;
  u64 limit = GLOBAL_MEM_END_ADDR;
  if (memory_space == CV_SORT_SPACE_L2) limit = CV_SORT_L2_END;
  if (memory_space == CV_SORT_SPACE_DTCM) limit = (u64)DTCM_SCRATCH_START + DTCM_SCRATCH_SIZE;
  ASSERT_FS(areas->end <= limit, "work areas of %u keys end at 0x%x%08x, past 0x%x%08x", (unsigned)len,
            (unsigned)(areas->end >> 32), (unsigned)areas->end, (unsigned)(limit >> 32), (unsigned)limit);
}

void nodechip_move_data_to_specific_location(u64 first_src, u64 second_src, u64 first_dst, u64 second_dst,
                                             u32 count, cmd_id_node_t *node) {
  general_gdma_gen_cmd(second_src, second_dst, GDMA_VALUE_FORMAT_FLOAT32, (int)count, GDMA_VALUE_DIR_S2S, node);
  general_gdma_gen_cmd(first_src, first_dst, GDMA_VALUE_FORMAT_FLOAT32, (int)count, GDMA_VALUE_DIR_S2S, node);
}

int nodechip_test_sort(u64 index_array, u64 key_array, u64 indices_out, u64 keys_out, u32 order, u32 memory_space,
                       u32 len, u32 out_len, cmd_id_node_t *node) {
  cv_sort_areas_t w;
  cv_sort_areas_of(index_array, key_array, memory_space, len, out_len, &w);
  if (memory_space != CV_SORT_SPACE_IN_PLACE)
    nodechip_move_data_to_specific_location(key_array, index_array, w.w2, w.w1, len, node);
  poll_all_engine_done(node);
  cdma_sort_move_cmd(w.w2, w.w4, len, order, 1, 0, w.w1, w.w3, out_len);
  nodechip_move_data_to_specific_location(w.w4, w.w3, keys_out, indices_out, len, node);
  return 0;
}
