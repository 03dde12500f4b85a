#include "cmd/tensor_slice.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/local_mem.h"

// Rows a block of a local-memory hint may have: the engines' row limit.
#define SPLIT_MAX_ROWS 2047
// Columns of one piece after LimitWSize.
#define SPLIT_MAX_COLS 2048
// Elements of one element-wise slice stay below this.
#define ELEMWISE_MAX_SLICE 65535

const split_info_t s_split_info = {4096, 64, 1024, 32};


void init_length_split(length_split_t *split, u64 total, const split_info_t *hint) {
  if (hint == nullptr) hint = &s_split_info;
  ASSERT(hint->n > 0 && hint->c > 0 && hint->h > 0 && hint->w > 0,
         "split hint {n=%d, c=%d, h=%d, w=%d} needs positive extents", (int)hint->n, (int)hint->c,
         (int)hint->h, (int)hint->w);
  memset(split, 0, sizeof(*split));
  split->total = total;
  split->row = (u64)hint->w;
  split->plane = (u64)hint->c * (u64)hint->w;
  u64 block = 0;
  const bool block_overflows = __builtin_mul_overflow(split->plane, (u64)hint->h, &block);
  ASSERT(!block_overflows, "split hint block c*h*w = %d*%d*%d does not fit 64 bits", (int)hint->c,
         (int)hint->h, (int)hint->w);
  split->block = block;
  split->hint = hint;
}

int update_length_split(length_split_t *split) {
  split->offset += split->length;
  if (split->offset >= split->total) {
    split->length = 0;
    return 0;
  }
  const split_info_t *hint = split->hint;
  const u64 r = split->total - split->offset;
  if (r >= split->block) {
    const u64 blocks = r / split->block;
    split->n = blocks < (u64)hint->n ? (i32)blocks : hint->n;
    split->c = hint->c;
    split->h = hint->h;
    split->w = hint->w;
  } else if (r >= split->plane) {
    split->n = 1;
    split->c = hint->c;
    split->h = (i32)(r / split->plane);
    split->w = hint->w;
  } else if (r >= split->row) {
    split->n = 1;
    split->c = (i32)(r / split->row);
    split->h = 1;
    split->w = hint->w;
  } else {
    split->n = 1;
    split->c = 1;
    split->h = 1;
    split->w = (i32)r;
  }
  // A piece can hold 2^31 elements or more: the product is taken in 64 bits.
  split->length = (u64)split->n * (u64)split->c * (u64)split->h * (u64)split->w;
  return 1;
}

void split_info_hint_by_localmem(split_info_t *hint, int local_bytes, int type_len) {
  ASSERT(local_bytes > 0 && type_len > 0 && type_len <= 128,
         "local_bytes=%d and type_len=%d must be positive, type_len at most 128", local_bytes,
         type_len);
  hint->w = 128 / type_len;
  hint->c = NPU_NUM;
  const int e = local_bytes / type_len;
  if (e < hint->w * SPLIT_MAX_ROWS) {
    hint->n = 1;
    hint->h = e / hint->w;
    if (hint->h < 1) hint->h = 1;
  } else {
    hint->h = SPLIT_MAX_ROWS;
    hint->n = e / (hint->w * SPLIT_MAX_ROWS);
  }
}

// Bytes per lane of `a` float32 channel rows of `rows` x `input_w` elements.
static inline u64 rows_bytes(u64 a, u64 rows, u64 input_w) {
  return ALIGN(rows * input_w, (u64)EU_NUM) * 4 * a;
}

void same_tensor_split_nh(nh_secs_t *out, int tensor_num, u32 local_bytes, int input_n,
                          int c_per_npu, int input_h, int input_w) {
  ASSERT(tensor_num > 0 && local_bytes > 0 && c_per_npu > 0,
         "tensor_num=%d, local_bytes=%u and c_per_npu=%d must be positive", tensor_num,
         (unsigned)local_bytes, c_per_npu);
  ASSERT(input_n > 0 && input_h > 0 && input_w > 0,
         "tensor extents n=%d, h=%d, w=%d must be positive", input_n, input_h, input_w);
  const u64 a = (u64)tensor_num * (u64)c_per_npu;
  const u64 item = rows_bytes(a, (u64)input_h, (u64)input_w);
  const u64 first = ceil_div_u64(item, local_bytes);
  nh_secs_t nh_secs;
  if (input_n < 2 || item >= local_bytes) {
    // Cut rows; with several items that do not fit alone, one item per section.
    nh_secs.nsecs = input_n < 2 ? 1 : (u32)input_n;
    nh_secs.hsecs = first < (u64)input_h ? (u32)first : (u32)input_h;
    while (local_bytes < rows_bytes(a, ceil_div_u64((u64)input_h, nh_secs.hsecs), (u64)input_w)) {
      ASSERT((int)nh_secs.hsecs < input_h);
      nh_secs.hsecs++;
    }
  } else {
    nh_secs.hsecs = 1;
    nh_secs.nsecs = (u32)first;
    while (local_bytes < ceil_div_u64((u64)input_n, nh_secs.nsecs) * item) {
      ASSERT((int)nh_secs.nsecs < input_n);
      nh_secs.nsecs++;
    }
  }
  *out = nh_secs;
}

// Bytes per lane of `tensor_num` float32 tensors of `k` elements spread over the
// lanes in EU groups.
static inline u64 elemwise_bytes(u64 tensor_num, u64 k) {
  return tensor_num * ceil_div_u64(ceil_div_u64(k, EU_NUM), NPU_NUM) * 128;
}

int get_slice_num_elemwise_fixw(int tensor_num, int len) {
  ASSERT(tensor_num > 0 && len > 0, "tensor_num=%d and len=%d must be positive", tensor_num, len);
  u64 s = ceil_div_u64(elemwise_bytes((u64)tensor_num, (u64)len), LOCAL_MEM_SIZE);
  if (len < 65536 && s == 1) return 1;
  for (; s <= (u64)len; s++) {
    // The largest slice has len / s + 1 elements when s does not divide len.
    const u64 k = (u64)len / s;
    if (elemwise_bytes((u64)tensor_num, k + 1) <= LOCAL_MEM_SIZE && k < ELEMWISE_MAX_SLICE)
      return (int)s;
  }
  ASSERT(0);
  return 0;
}

int LimitWSize(int w) {
  ASSERT(w > 0, "w=%d must be positive", w);
  int s = (int)ceil_div(w, SPLIT_MAX_COLS);
  while (w % s != 0) s++;
  return s;
}

int addr_EU_align(int bytes) {
  return (int)(align_up(ceil_div(bytes, 4), EU_NUM) * 4);
}

void pipeline_info_init(pipeline_info_t *info, int pipe_num) {
  ASSERT(pipe_num<=MAX_PIPELINE_NUM, "pipe_num=%d cannot be greater than %d", pipe_num,
         MAX_PIPELINE_NUM);
  ASSERT(pipe_num >= 1, "pipe_num=%d must be at least 1", pipe_num);
  memset(info->slot_flag, 0, sizeof(info->slot_flag));
  info->pipe_num_ = pipe_num;
  info->cursor = -1;
  info->working = 0;
  info->input_flag = 1;
}

int pipeline_info_update(pipeline_info_t *info, int has_input) {
  if (!has_input) info->input_flag = 0;
  info->cursor = (info->cursor + 1) % info->pipe_num_;
  if (info->input_flag) {
    if (info->working < info->pipe_num_) info->working++;
  } else if (info->slot_flag[info->cursor]) {
    info->working--;
  }
  info->slot_flag[info->cursor] = (u8)info->input_flag;
  return info->working != 0;
}

u8 pipeline_should_work(const pipeline_info_t *info, int step, int *slot) {
  ASSERT(step>=0 && step<info->pipe_num_, "step=%d should in range [0, pipe_num=%d)", step,
         (int)info->pipe_num_);
  int p = info->cursor - step;
  if (p < 0) p += info->pipe_num_;
  if (slot != nullptr) *slot = p;
  return info->slot_flag[p];
}
