// API handlers: selection by API id.
#pragma once

#include "fw_types.h"

extern "C" {
// Runs the handler of `id` on the message's parameter buffer; returns the
// message's result code (handlers return 0 or fail through an assertion).
u32 zv_api_dispatch(u32 id, u8 *param, u32 size);

#if !defined(__arm__)
// Host build only: a test may claim API ids before the table sees them (to
// drive the dispatcher's recovery paths with handlers of its own). Returns 1
// and sets *result when it handled the id.
typedef int (*zv_api_test_hook_t)(u32 id, u8 *param, u32 size, u32 *result);
extern zv_api_test_hook_t zv_api_test_hook;
#endif
}
