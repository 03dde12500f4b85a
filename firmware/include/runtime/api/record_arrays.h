// Arrays inside records, arrays a record names by address, and host data the
// core reads or writes through its window on device memory.
//
// A layer takes a record's embedded arrays by pointer: the record is copied
// to an 8-byte aligned variable so that every array in it (at offsets that
// are multiples of their element size) is aligned for the ARM.
//
// Arrays a record names by the control core's own address: the 8-bit split
// (API 146) and strided slice (API 165) carry 32-bit addresses of their int
// arrays. The core reaches device memory from GLOBAL_MEM_START_ADDR on through
// its window at DDR_ARM_BASE, so a host places such an array in device memory
// and passes DDR_ARM_BASE + (its device address - GLOBAL_MEM_START_ADDR).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "runtime/assert.h"
#include "runtime/types.h"

// API_TAKE_RECORD with the record 8-byte aligned.
#define API_TAKE_ALIGNED_RECORD(type, rec, param, size) \
  alignas(8) type rec;                                  \
  ASSERT(size == sizeof(type));                         \
  memcpy(&rec, (param), sizeof(type))

// A pointer to an embedded array of an aligned record.
#define API_ARRAY(elem, rec, member) ((elem *)((uintptr_t)&(rec) + offsetof(__typeof__(rec), member)))

// Longest array a record may name this way.
#define CORE_ARRAY_MAX 8

extern "C" {
// Copies count (0 to CORE_ARRAY_MAX) i32 from the core address addr into out;
// an address outside the window, or an array running past its end, fails an
// assertion.
void api_core_array(u32 addr, int count, int *out);

// The core's pointer to `bytes` bytes at the device (or DTCM scratch) address
// `global`, which the core reads or writes as `align`-byte elements: the whole
// range must lie inside the core's window (or the DTCM scratch window) and
// `global` must be a multiple of `align`, or an assertion fails. The core
// faults on a misaligned element access, so every host address it
// dereferences comes through here.
void *core_window_ptr(u64 global, u64 bytes, u32 align);
}
