// Fields of a layer record read at byte offsets. Records come from the
// description stream with no alignment guarantee, so each field is copied out.
#pragma once

#include <string.h>

#include "runtime/types.h"

static inline u16 rec_u16(const u8 *rec, u32 offset) {
  u16 v;
  memcpy(&v, rec + offset, 2);
  return v;
}
static inline i16 rec_i16(const u8 *rec, u32 offset) { return (i16)rec_u16(rec, offset); }
static inline u32 rec_u32(const u8 *rec, u32 offset) {
  u32 v;
  memcpy(&v, rec + offset, 4);
  return v;
}
static inline i32 rec_i32(const u8 *rec, u32 offset) { return (i32)rec_u32(rec, offset); }
static inline u64 rec_u64(const u8 *rec, u32 offset) {
  u64 v;
  memcpy(&v, rec + offset, 8);
  return v;
}
static inline float rec_f32(const u8 *rec, u32 offset) {
  float v;
  memcpy(&v, rec + offset, 4);
  return v;
}

// The byte an 8-bit layer pads with, from a float record field: the value's
// integer part cut to 8 bits, so that -1 gives 0xff on every target (a float
// converted straight to an unsigned type is undefined below 0, and the ARM
// saturates it to 0). Values outside the int32 range give 0.
static inline int pad_value_byte(float v) {
  if (!(v > -2147483648.0f && v < 2147483648.0f)) return 0;
  return (int)((u32)(i32)v & 0xff);
}
