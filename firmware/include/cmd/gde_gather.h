// GDE: the gather command, inside L2 SRAM. Output item i is the input item
// whose number is entry i of a 32-bit index array. GDE commands carry no
// command ids; the gather waits for its own completion before it returns.
#pragma once

#include "runtime/types.h"

typedef enum {
  GDE_TYPE_BYTE = 0,     // 1 byte
  GDE_TYPE_WORD = 2,     // 4 bytes
  GDE_TYPE_128BITS = 4,  // 16 bytes; input and output 16-byte aligned
} gde_type_t;

extern "C" {
// Bytes of one item of `type`, 0 for a type the engine does not take.
u32 gde_type_bytes(u32 type);
// Gathers len items of `type`: out[i] = in[index[i]]. All three addresses are
// L2 SRAM addresses. `mode` goes into the descriptor (callers pass 0 with
// GDE_TYPE_BYTE and 1 with the wider types).
void gde_gather_data_gen_cmd(u32 mode, u32 in_addr, u32 index_addr, u32 len, u32 type, u32 out_addr);
}
