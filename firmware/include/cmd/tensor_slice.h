// Local-memory slicing helpers and the software pipeline.
//
// Global layers keep tensors in device memory but compute on slices that fit the
// 512 KB local memory of each lane. These helpers cut a flat element count into
// lane-shaped 4-D pieces, split a tensor by batch and rows to a local budget,
// count the slices of element-wise work, cut widths to the engines' column limit,
// and drive a software pipeline of up to MAX_PIPELINE_NUM stages (load slice
// k + 1 while computing slice k and storing slice k - 1).
//
// Sizes are per lane, in bytes, for float32 elements in the EU-aligned layout
// unless stated otherwise. Zero or negative extents fail an assertion.
#pragma once

#include "runtime/types.h"

// A constant rather than a macro, so that checks against it read as written.
enum { MAX_PIPELINE_NUM = 8 };

// Shape hint of a length split: a full piece is n blocks of c lanes x h rows x
// w elements.
typedef struct {
  i32 n;
  i32 c;
  i32 h;
  i32 w;
} split_info_t;
static_assert(sizeof(split_info_t) == 16, "split_info_t is four i32");

// Hint used when the caller gives none: {4096, 64, 1024, 32}.
extern const split_info_t s_split_info;

// Iterator over a flat element count. The current piece starts at `offset`, has
// `length` = n * c * h * w elements (0 once the count is used up), and the next
// piece starts at offset + length.
typedef struct {
  u64 offset;
  u64 length;
  i32 n;
  i32 c;
  i32 h;
  i32 w;
  u64 total;
  u64 block;  // c * h * w of the hint
  u64 row;    // w of the hint
  u64 plane;  // c * w of the hint
  const split_info_t *hint;
} length_split_t;

// Sections along the batch and the rows of a tensor.
typedef struct {
  u32 nsecs;
  u32 hsecs;
} nh_secs_t;
static_assert(sizeof(nh_secs_t) == 8, "nh_secs_t is two u32");

// State of a software pipeline over a ring of pipe_num_ positions.
typedef struct {
  u8 slot_flag[MAX_PIPELINE_NUM];  // 1: the item that entered at this position is real work
  i32 input_flag;                  // 1 while items are fed; 0 for good after the first "no input"
  i32 cursor;                      // ring position of the newest item; -1 after init
  i32 working;                     // ring positions still holding work
  i32 pipe_num_;                   // number of stages
} pipeline_info_t;
static_assert(sizeof(pipeline_info_t) == 24, "pipeline_info_t layout");

// Starts a walk over `total` elements with `hint` (NULL: s_split_info). The
// iterator then has offset 0 and length 0.
void init_length_split(length_split_t *split, u64 total, const split_info_t *hint);

// Advances to the next piece: 1 when there is one, 0 (and length 0) once the
// count is used up, and 0 on every later call. Pieces are whole blocks while they
// last, then whole rows of lanes, then whole EU rows, then a short tail.
int update_length_split(length_split_t *split);

// A hint whose full piece uses `local_bytes` per lane for `type_len`-byte
// elements (rows of one 128-byte group, at most 2047 rows per block).
void split_info_hint_by_localmem(split_info_t *hint, int local_bytes, int type_len);

// The smallest batch or row section counts such that `tensor_num` tensors of one
// slice fit `local_bytes` per lane; `c_per_npu` is the channel rows per lane,
// ceil(C / 64).
void same_tensor_split_nh(nh_secs_t *out, int tensor_num, u32 local_bytes, int input_n,
                          int c_per_npu, int input_h, int input_w);

// Number of slices a flat count `len` is cut into so that `tensor_num` float32
// tensors of one slice fit a lane's local memory and a slice has fewer than
// 65535 elements.
int get_slice_num_elemwise_fixw(int tensor_num, int len);

// Smallest section count s >= ceil(w / 2048) that divides w exactly.
int LimitWSize(int w);

// `bytes` rounded up to whole groups of 32 float32 values (128 bytes).
int addr_EU_align(int bytes);

// Starts a pipeline of `pipe_num` stages (1 to MAX_PIPELINE_NUM).
void pipeline_info_init(pipeline_info_t *info, int pipe_num);

// One pipeline step; `has_input` says whether a new item enters. Returns 1 while
// any stage still has work, else 0.
int pipeline_info_update(pipeline_info_t *info, int has_input);

// Whether stage `step` (0 = the newest item's stage) has work in this step; the
// ring position of that stage's item goes to *slot when slot is not NULL.
u8 pipeline_should_work(const pipeline_info_t *info, int step, int *slot);
