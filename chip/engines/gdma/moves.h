// What GDMA's commands do to memory: one execute function per move mode (the
// plain, transposing and converting modes also carry the matrix and flat-copy
// forms, told apart by their descriptor bits). Each reads and writes only
// through the bus, which declares the accesses to the happens-before checker.
//
// Addresses: a local side's address is tagged (0x08000000 | start lane << 19 |
// byte offset); channel c of a local tensor lies in lane (start lane + c) % 64,
// one channel stride further on for every 64 channels, and every element must
// lie inside its lane's 512 KB. A global side's address is a bus address
// (device memory from 0x1_0000_0000, L2 SRAM, DTCM).
#pragma once

#include "chip/engines/bus.h"
#include "chip/engines/gdma/gdma.h"

namespace zv::chip::gdma {

// Element formats of the descriptor.
enum Format : u32 { kFloat32 = 0, kInt16 = 1, kUint8 = 2, kInt8 = 3 };
// Bytes of an element: 4 for 0 and 8, 2 for 1 and 4, 1 for 2 and 3, else 0.
u32 format_bytes(u32 format);
// Converts one element between float32, uint8 and int8: float to byte rounds
// half away from zero and saturates (NaN gives 0); byte to byte saturates.
void convert_element(u32 from, const u8 *src, u32 to, u8 *dst);

// Modes 0 (plain), 1 (N/C transpose) and 3 (format conversion), with the
// matrix form (word 1 bit 7) and the flat copy (word 0 bit 9).
void execute_move(const GdmaCommand &cmd, Bus &bus);
// Mode 2: channels shifted across lanes (the addresses carry the shift).
void execute_lrn_shift(const GdmaCommand &cmd, Bus &bus);
// Mode 4: a strided region filled with the low bytes of word 3.
void execute_fill(const GdmaCommand &cmd, Bus &bus);
// Mode 5: a C x W local matrix written as W x C.
void execute_cw_transpose(const GdmaCommand &cmd, Bus &bus);
// Mode 7: the float32 elements whose mask element is not zero, written one
// after another; `count` becomes the number written, shifted left by 2.
void execute_filter(const GdmaCommand &cmd, Bus &bus, u32 &count);

}  // namespace zv::chip::gdma
