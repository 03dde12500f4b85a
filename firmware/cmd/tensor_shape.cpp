#include "cmd/tensor_shape.h"

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/local_mem.h"

// Bytes of one execution-unit group: the unit an EU-aligned channel plane is
// rounded up to.
#define EU_GROUP_BYTES 128

int get_type_len(int format) {
  switch (format) {
    case 0:
    case 8:
      return 4;
    case 1:
    case 4:
      return 2;
    case 2:
    case 3:
      return 1;
    default:
      return 0;
  }
}

u32 get_local_start_lane(u32 local_address) {
  const u32 tag_bit = LOCAL_ADDR_TAG >> 19;
  return ((local_address >> 19) | tag_bit) - tag_bit;
}

dim4_t *get_tensor_shape(dim4_t *out, int n, int c, int h, int w) {
  out->n = n;
  out->c = c;
  out->h = h;
  out->w = w;
  return out;
}

dim4_t *get_tensor_stride_by_shape(dim4_t *out, const dim4_t *shape, int is_local, int eu_align,
                                   int type_len, u32 start_lane) {
  dim4_t s;
  s.w = 1;
  s.h = shape->w;
  s.c = shape->h * shape->w;
  if (is_local) {
    if (eu_align) {
      ASSERT(type_len == 1 || type_len == 2 || type_len == 4,
             "type_len=%d is not an element length (1, 2 or 4 bytes)", type_len);
      const i32 group = EU_GROUP_BYTES / type_len;
      s.c = (i32)align_up(s.c, group);
    }
    s.n = s.c * (i32)lane_rows(start_lane, (u32)shape->c);
  } else {
    s.n = shape->c * s.c;
  }
  *out = s;
  return out;
}

dim4_t *get_f32_tensor_local_stride(dim4_t *out, const dim4_t *shape, int eu_align,
                                    u32 local_address) {
  return get_tensor_stride_by_shape(out, shape, 1, eu_align, 4,
                                    get_local_start_lane(local_address));
}

dim4_t *get_default_local_stride(dim4_t *out, const dim4_t *shape, const dim4_t *stride,
                                 u32 local_address) {
  if (stride != nullptr) {
    *out = *stride;
    return out;
  }
  return get_f32_tensor_local_stride(out, shape, 1, local_address);
}
