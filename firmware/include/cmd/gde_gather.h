// GDE: the gather command, inside L2 SRAM. Output item i is the input item
// whose number is entry i of a 32-bit index array. GDE commands carry no
// command ids; the gather waits for its own completion before it returns.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// ---- Descriptor fields (the register block's words 0, 1 and 3-9) ----
// Word 0 holds the mode shifted left by 2 (GDE_FIELD_WORD0); the start words
// are cmd_framework.h's. The high words of the three addresses are 0 inside
// L2 SRAM.
static constexpr cmd_field_id_t GDE_FIELD_IN_ADDR = CMD_FIELD(96, 32);
static constexpr cmd_field_id_t GDE_FIELD_IN_ADDR_HI = CMD_FIELD(128, 32);
static constexpr cmd_field_id_t GDE_FIELD_OUT_ADDR = CMD_FIELD(160, 32);
static constexpr cmd_field_id_t GDE_FIELD_OUT_ADDR_HI = CMD_FIELD(192, 32);
static constexpr cmd_field_id_t GDE_FIELD_INDEX_ADDR = CMD_FIELD(224, 32);
static constexpr cmd_field_id_t GDE_FIELD_INDEX_ADDR_HI = CMD_FIELD(256, 32);
static constexpr cmd_field_id_t GDE_FIELD_COUNT = CMD_FIELD(288, 28);
static constexpr cmd_field_id_t GDE_FIELD_TYPE = CMD_FIELD(316, 4);
#define GDE_MODE_SHIFT 2

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
