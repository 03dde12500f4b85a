// The API table and the dispatch by API id.
#include "runtime/api/dispatch.h"

#include "runtime/firmware_main.h"
#include "runtime/services.h"
#include "cmd/gemm.h"
#include "heatprobe/heatprobe.h"
#include "layers/data/arg.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/topk.h"
#include "cmd/memory_fill_copy.h"
#include "layers/data/transpose.h"
#include "runtime/api/profile_api.h"

#if !defined(__arm__)
zv_api_test_hook_t zv_api_test_hook;
#endif

// One row per API id that has a handler, in ascending id order. Ids not listed
// answer 1008.
constexpr zv_api_entry_t zv_api_table[] = {
    {1, zv_api_memset},
    {2, zv_api_memcpy},
    {19, zv_api_filter_forward},
    {46, zv_api_permute},
    {105, zv_api_gemm},
    {142, zv_api_permute_fix8b},
    {151, zv_api_simple_select},
    {157, zv_api_arg},
    {158, zv_api_arg_fix8b},
    {177, zv_api_memset_byte},
    {180, zv_api_sort_per_dim},
    {181, zv_api_index_select},
    {183, zv_api_memcpy_tensors},
    {200, zv_api_reduce},
    {201, zv_api_segment_reduce},
    {700, zv_api_topk},
    {701, zv_api_cumsum},
    {702, zv_api_where},
    {703, zv_api_masked_select},
    {986, zv_api_set_profile},
    {987, zv_api_get_profile_data},
};
constexpr u32 zv_api_table_size = sizeof(zv_api_table) / sizeof(zv_api_table[0]);

static constexpr bool ids_ascending(const zv_api_entry_t *table, u32 count) {
  for (u32 i = 0; i < count; i++)
    if (table[i].id == 0 || (i > 0 && table[i - 1].id >= table[i].id)) return false;
  return true;
}
static_assert(ids_ascending(zv_api_table, zv_api_table_size), "API table ids must be non-zero and ascending");

zv_api_handler_t zv_api_find(u32 id) {
  u32 lo = 0, hi = zv_api_table_size;
  while (lo < hi) {
    const u32 mid = lo + (hi - lo) / 2;
    if (zv_api_table[mid].id < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < zv_api_table_size && zv_api_table[lo].id == id ? zv_api_table[lo].handler : 0;
}

u32 zv_api_dispatch(u32 id, u8 *param, u32 size) {
#if !defined(__arm__)
  u32 hooked;
  if (zv_api_test_hook && zv_api_test_hook(id, param, size, &hooked)) return hooked;
#endif
  if (zv_api_handler_t handler = zv_api_find(id)) return handler(param, size);
  // The power-test kernel takes the payload unchecked and always succeeds.
  if (id == ZVKERNEL_API_ID) {
    zvkernel_func((const char *)param);
    return 0;
  }
  // The reserved id answers without a log line.
  if (id == API_ID_RESERVED) return API_ERR_NOT_SUPPORTED;
  fw_log(0, "api_id = %d not supported\n", (int)id);
  return API_ERR_NOT_SUPPORTED;
}
