// Fixed-width integer names used throughout the firmware.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;

#define FW_PACKED __attribute__((packed))

// The bit pattern of a float: engine commands take float operands as words.
static inline u32 f32_bits(float f) {
  u32 u;
  __builtin_memcpy(&u, &f, 4);
  return u;
}
