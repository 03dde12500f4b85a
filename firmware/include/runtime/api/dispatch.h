// API handlers: the table of API ids and the convention every handler follows.
//
// A handler `zv_api_<name>(param, size)` takes the message's parameter buffer
// (zeroed beyond the payload, word-aligned) and the payload size in bytes, and
// returns 0; a bad record fails an assertion (result 1009). A handler is its
// record, its checks and its layer call, written with the helpers below:
//
//   u32 zv_api_permute(u8 *param, u32 size) {
//     API_TAKE_RECORD(zv_api_permute_param_t, rec, param, size);   // size check
//     API_COUNT(rec.input_n);                    // 0: return 0; else positive
//     API_POSITIVE(rec.input_c); ...             // the other extents
//     const api_extent_t t = api_dense(4, rec.input_n, rec.input_c, ...);
//     API_GLOBAL(rec.input_addr, t);             // inside device memory
//     API_GLOBAL(rec.output_addr, t);
//     return api_issue([&](cmd_id_node_t *node) { nodechip_permute_by_gdma(..., node); });
//   }
//
// In order:
//   1. the size check, whose text names the record: "size == sizeof(<type>)";
//   2. the zero-count return, where the record has a count field, and the
//      check that every count and extent the layer takes is positive;
//   3. for every global address the record names, the bytes the layer will
//      touch from it (api_dense, api_strided; products in 64 bits) must lie in
//      device memory. A message that fails any check has issued nothing;
//   4. api_issue: resync_cmd_id on the handler's own node, the layer call with
//      the node last, poll_all_engine_done;
//   5. return 0.
// Should a layer fail an assertion after it issued commands, the dispatcher
// waits for the engines to finish them before it answers (engine_wait.h).
// Records are packed little-endian structs with a static_assert on their size,
// read with memcpy (never through a pointer into the buffer: the ARM faults on
// misaligned words).
//
// Adding an API: the record in its family's header, the handler in the
// family's file under runtime/api/, and one row in the table of dispatch.cpp
// with the record's size (ascending ids, checked at compile time). The
// firmware README's checklist says the same step by step.
#pragma once

#include <string.h>

#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/regs.h"
#include "runtime/types.h"

typedef u32 (*zv_api_handler_t)(u8 *param, u32 size);

// One row of the API table: the id, its handler and the size of its record
// (0 for a record of variable length). The size is what the handler checks;
// the table carries it so that tests and tools can build messages for every
// id from the table alone.
typedef struct {
  u32 id;
  zv_api_handler_t handler;
  u32 record_bytes;
} zv_api_entry_t;

// Declares `type rec` and fills it from the parameter buffer after the size
// check; the check's text reads "size == sizeof(<type>)".
#define API_TAKE_RECORD(type, rec, param, size) \
  type rec;                                     \
  ASSERT(size == sizeof(type));                 \
  memcpy(&rec, (param), sizeof(type))

// The zero-count return, then the count must be positive.
#define API_COUNT(count)          \
  do {                            \
    if ((count) == 0) return 0;   \
    ASSERT((count) > 0);          \
  } while (0)

// An extent or count the layer takes must be positive.
#define API_POSITIVE(value) ASSERT((value) > 0)

// The bytes a layer touches from one global address: [addr + lo, addr + hi).
// Empty when hi <= lo. Offsets are capped at +-API_EXTENT_CAP, far past the
// end of device memory, so that no product or sum can wrap.
typedef struct {
  i64 lo, hi;
} api_extent_t;
#define API_EXTENT_CAP (1ll << 50)

// The global address with its extent lies inside device memory.
#define API_GLOBAL(addr, extent)                                                                   \
  ASSERT(api_global_fits(addr, extent), "address 0x%x%08x, bytes %d to %d from it",               \
         (unsigned)((u64)(addr) >> 32), (unsigned)(addr), (int)api_clamp_int((extent).lo),          \
         (int)api_clamp_int((extent).hi))

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

// 1 when [addr + lo, addr + hi) lies inside the device memory host messages
// may name (FW_USER_MEM_START to GLOBAL_MEM_END_ADDR: not the firmware's code
// or log ring) or the extent is empty.
int api_global_fits(u64 addr, api_extent_t extent);

// a * b for non-negative a and b, capped at API_EXTENT_CAP.
i64 api_mul(i64 a, i64 b);

// `elem_bytes`-byte elements of a dense block of a x b x c x d elements: from
// 0 to the product's bytes. A negative factor gives an extent no address fits.
api_extent_t api_dense(u32 elem_bytes, i64 a, i64 b = 1, i64 c = 1, i64 d = 1);

// `elem_bytes`-byte elements at offsets sum(i_k * stride_k) elements, i_k from 0
// to dims[k] - 1, for k below rank (at most 4): from the lowest to past the
// highest element. Strides may be negative; a zero dimension touches nothing;
// a negative one gives an extent no address fits.
api_extent_t api_strided(u32 elem_bytes, int rank, const i64 *dims, const i64 *strides);

#if !defined(__arm__)
// Host build only: a test may claim API ids before the table sees them (to
// drive the dispatcher's recovery paths with handlers of its own). Returns 1
// and sets *result when it handled the id.
typedef int (*zv_api_test_hook_t)(u32 id, u8 *param, u32 size, u32 *result);
extern zv_api_test_hook_t zv_api_test_hook;
#endif
}

// A value for an assertion's info line.
static inline i64 api_clamp_int(i64 v) { return v > 0x7fffffff ? 0x7fffffff : v < -0x7fffffff ? -0x7fffffff : v; }

// Steps 4 and 5: the handler's own node, restarted, the layer (a callable
// taking the node), and the wait for the engines.
template <typename Layer>
static inline u32 api_issue(const Layer &layer) {
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  layer(&node);
  poll_all_engine_done(&node);
  return 0;
}
