// Replay of command buffers the host compiled in advance: the tensor engine
// and GDMA fetch their descriptors (128 bytes each) from device memory, and
// the ARM waits until both have executed the given counts.
#pragma once

#include "runtime/types.h"

#define MULTI_FULLNET_CMD_BYTES 128u

// Registers of the descriptor-buffer fetch.
#define BD_CMD_BUF_ADDR_LO 0x02081104u
#define BD_CMD_BUF_ADDR_HI 0x02081108u
#define BD_CMD_BUF_CTRL 0x02081100u
#define BD_CMD_BUF_CTRL_STATUS 0x58001108u
#define BD_CMD_BUF_CTRL_READ 0x58001100u
#define BD_CMD_BUF_FETCH_BIT (1u << 30)
#define GDMA_CMD_BUF_ADDR 0x0208000cu
#define GDMA_CMD_BUF_CTRL 0x02080000u
#define GDMA_CMD_BUF_FETCH_BIT (1u << 0)

extern "C" {
void nodechip_multi_fullnet(u64 bdc_cmd_offset, u64 gdma_cmd_offset, u32 bd_count, u32 gdma_count);
}
