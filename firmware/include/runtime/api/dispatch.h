// API handlers: the table of API ids and the convention every handler follows.
//
// A handler `zv_api_<name>(param, size)` takes the message's parameter buffer
// (zeroed beyond the payload, word-aligned) and the payload size in bytes, and
// returns 0; a bad record fails an assertion (result 1009). In order:
//   1. the size check, ASSERT(size == sizeof(zv_api_<name>_t)), whose text
//      names the record (API_TAKE_RECORD copies the record out after it);
//   2. return 0 at once when the record's count field is 0 (where the record
//      has one);
//   3. resync_cmd_id(&node) on the handler's own command-id node;
//   4. the layer call with the record's fields and, last, &node;
//   5. poll_all_engine_done(&node);
//   6. return 0.
// Records are packed little-endian structs with a static_assert on their size,
// read with memcpy (never through a pointer into the buffer: the ARM faults on
// misaligned words).
//
// Adding a family: its records, handlers and layers in its own header, the
// handlers under runtime/api/, and one row per id in the table of dispatch.cpp
// (ascending ids, checked at compile time).
#pragma once

#include <string.h>

#include "runtime/assert.h"
#include "runtime/types.h"

typedef u32 (*zv_api_handler_t)(u8 *param, u32 size);

typedef struct {
  u32 id;
  zv_api_handler_t handler;
} zv_api_entry_t;

// Declares `type rec` and fills it from the parameter buffer after the size
// check; the check's text reads "size == sizeof(<type>)".
#define API_TAKE_RECORD(type, rec, param, size) \
  type rec;                                     \
  ASSERT(size == sizeof(type));                 \
  memcpy(&rec, (param), sizeof(type))

extern "C" {
// Runs the handler of `id` on the message's parameter buffer; returns the
// message's result code (handlers return 0 or fail through an assertion).
// Ids without a handler answer 1008 (API_ERR_NOT_SUPPORTED).
u32 zv_api_dispatch(u32 id, u8 *param, u32 size);

// The handler of `id`, or null (a binary search of the table).
zv_api_handler_t zv_api_find(u32 id);

// The table, in ascending id order.
extern const zv_api_entry_t zv_api_table[];
extern const u32 zv_api_table_size;

#if !defined(__arm__)
// Host build only: a test may claim API ids before the table sees them (to
// drive the dispatcher's recovery paths with handlers of its own). Returns 1
// and sets *result when it handled the id.
typedef int (*zv_api_test_hook_t)(u32 id, u8 *param, u32 size, u32 *result);
extern zv_api_test_hook_t zv_api_test_hook;
#endif
}
