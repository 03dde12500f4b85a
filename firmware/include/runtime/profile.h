// Profiling: while the host has switched it on, a 32-byte time record for every
// engine command issued, every wait for the engines and every function the
// interpreter marks, in a chain of heap blocks. While it is off every hook
// returns at once.
#pragma once

#include "runtime/cmd_id.h"
#include "runtime/types.h"

typedef enum {
  PROFILE_TYPE_START = -1,     // first record after switch-on: data 0, end = ns per cycle
  PROFILE_TYPE_FUNC = 0,       // data: the caller's value
  PROFILE_TYPE_SET_NODE = 1,   // a command was issued
  PROFILE_TYPE_WAIT_NODE = 2,  // a wait for both engines
} profile_type_t;

// One record, little-endian, written byte by byte (no alignment assumed).
typedef struct {
  u32 index;  // 0 for the start record, then 1, 2, ...
  s32 type;   // profile_type_t
  u64 data;
  u64 begin_cycle;
  u64 end_cycle;  // all ones until the matching end call
} FW_PACKED profile_time_data_t;
static_assert(sizeof(profile_time_data_t) == 32, "profile record is 32 bytes");

#define PROFILE_BLOCK_BYTES 4096u
#define PROFILE_MAX_INDEX 1024u  // records 0..1024 per switch-on, the start record included
#define PROFILE_END_UNSET 0xffffffffffffffffull

typedef struct profile_block {
  struct profile_block *next;
  u32 used;  // bytes of records
  u8 data[PROFILE_BLOCK_BYTES];
} profile_block_t;

typedef struct {
  u32 next_index;
  u32 begin_calls;  // every begin call while on, dropped records included
  profile_block_t *time_current;
  profile_block_t *time_head;
  profile_block_t *extra_head;
  profile_block_t *extra_current;
} profile_context_t;

#if defined(__arm__)
static_assert(sizeof(profile_block_t) == 4104, "profile block is 4104 bytes");
static_assert(sizeof(profile_context_t) == 24, "profile context is 24 bytes");
#endif

// Header that the data read-out writes ahead of the copied records.
typedef struct {
  u32 copied;
  u32 total;
} FW_PACKED profile_data_header_t;
static_assert(sizeof(profile_data_header_t) == 8, "profile data header is 8 bytes");

extern "C" {

// Null while profiling is off.
extern profile_context_t *g_profile_context;

profile_time_data_t *profile_time_begin(s32 type, u64 data);
profile_time_data_t *profile_time_begin_func(u64 data);
profile_time_data_t *profile_time_begin_set_node(const cmd_id_node_t *node, engine_id_t engine);
profile_time_data_t *profile_time_begin_wait_node(const cmd_id_node_t *node);
void profile_time_end(profile_time_data_t *record);
u32 profile_time_enabled(void);

void set_profile_time_enabled(u32 enable);
// Recording stops (the context is set aside, nothing is freed) until
// profile_resume; API 987 pauses while its own copy runs. profile_resume does
// nothing unless paused; the dispatcher calls it after a failed message, so
// that a pause an assertion interrupted never loses the records.
void profile_pause(void);
void profile_resume(void);
void init_profile_time_context(profile_context_t *context);
void deinit_profile_time_context(profile_context_t *context);

// Bytes in the time and the extra list (0 when off).
u32 get_profile_time_data_len(void);
u32 get_profile_extra_data_len(void);
// Copy at most `max` bytes of a list from byte `offset`; return the bytes copied.
u32 get_profile_time_data(void *dst, u32 max, u32 offset);
u32 get_profile_extra_data(void *dst, u32 max, u32 offset);
}
