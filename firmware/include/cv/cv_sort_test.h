// The sort check: one CDMA sort of keys and indices placed in a memory of the
// caller's choice (memory space code), so that the host can check the sort
// engine in every memory it reaches.
//
// Work areas: W1 the indices, W2 the keys, W3 the sorted indices, W4 the
// sorted keys. Space 0 sorts in place (W1 the caller's index array, W2 its key
// array); spaces 1 to 4 copy both arrays to W1 = the space's base and W2 =
// W1 + 4 len. W3 = W2 + 4 len, W4 = W3 + 4 out_len; the areas end at
// W4 + 4 len, which must lie inside the chosen memory.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define CV_SORT_SPACE_IN_PLACE 0u
#define CV_SORT_SPACE_L2 1u
#define CV_SORT_SPACE_DTCM 2u
#define CV_SORT_SPACE_DDR3 3u
#define CV_SORT_SPACE_DDR4 4u
#define CV_SORT_L2_BASE 0x100a2000ull
#define CV_SORT_L2_END 0x10300000ull  // the end of the layer scratch in L2 SRAM
#define CV_SORT_DDR3_BASE 0x300000000ull
#define CV_SORT_DDR4_BASE 0x400000000ull

typedef struct {
  u64 w1, w2, w3, w4, end;
} cv_sort_areas_t;

// The work areas of a call (pure); checks the space, the counts and that the
// areas fit their memory.
void cv_sort_areas_of(u64 index_array, u64 key_array, u32 memory_space, u32 len, u32 out_len,
                      cv_sort_areas_t *areas);

typedef struct __attribute__((packed)) {
  u64 key_array, index_array, keys_out, indices_out;
  u32 order, memory_space, len, out_len;
} zv_api_cv_sort_test_t;
static_assert(sizeof(zv_api_cv_sort_test_t) == 48, "zv_api_cv_sort_test_t");

extern "C" {
// Two one-row float32 copies of count elements by GDMA (second first), no wait.
void nodechip_move_data_to_specific_location(u64 first_src, u64 second_src, u64 first_dst, u64 second_dst,
                                             u32 count, cmd_id_node_t *node);

// Sorts len keys (f32) with their u32 indices in the chosen memory; writes
// len keys to keys_out and len indices to indices_out, the first out_len
// being the sort's results. Returns 0; the caller waits.
int nodechip_test_sort(u64 index_array, u64 key_array, u64 indices_out, u64 keys_out, u32 order, u32 memory_space,
                       u32 len, u32 out_len, cmd_id_node_t *node);

u32 zv_api_test_sort(u8 *param, u32 size);
}
