#include "fw_main.h"
#include "fw_runtime.h"
#include "zv_api.h"

#if !defined(__arm__)
zv_api_test_hook_t zv_api_test_hook;
#endif

u32 zv_api_dispatch(u32 id, u8 *param, u32 size) {
  (void)param;
  (void)size;
#if !defined(__arm__)
  u32 hooked;
  if (zv_api_test_hook && zv_api_test_hook(id, param, size, &hooked)) return hooked;
#endif
  switch (id) {
    case API_ID_RESERVED:
      return API_ERR_NOT_SUPPORTED;
    case ZVKERNEL_API_ID:
      // The power-test kernel is not part of this image yet.
    default:
      fw_log(0, "api_id = %d not supported\n", (int)id);
      return API_ERR_NOT_SUPPORTED;
  }
}
