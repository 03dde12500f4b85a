// Helpers the normalisation layers share: the batch-section count that makes
// one section of whole batch items fit a local-memory budget, the real power
// of a local float tensor, and the section arithmetic of the slice plans.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

extern "C" {

// Batch sections so that unit x ceil(input_n / nsecs) <= mem_capacity. Only
// for a batch that does not fit whole; a section of one item must fit.
int nsecs_computing(int unit, int input_n, int mem_capacity);

// dst = src ^ a on an N x C x H x W float tensor in the aligned layout
// (untagged offsets; src may equal dst; scratch is a tensor of the shape).
// Through ln and exp: source values must be positive.
void tensor_xa(cmd_id_node_t *node, u32 src, u32 dst, u32 scratch, int N, int C, int H, int W, float a);
}

// Section i of `dim` items cut into `secs` sections, the first dim mod secs
// one larger.
typedef struct {
  int offset, len;
} norm_section_t;
static inline norm_section_t norm_section_of(int dim, int secs, int i) {
  const int q = dim / secs, r = dim % secs;
  norm_section_t s;
  s.offset = i * q + (i < r ? i : r);
  s.len = q + (i < r ? 1 : 0);
  return s;
}

static inline u32 norm_f32_bits(float f) {
  u32 u;
  __builtin_memcpy(&u, &f, 4);
  return u;
}
