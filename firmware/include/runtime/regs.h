// Memory map of the ARM core and the addresses of the chip's registers that the
// firmware core uses. Engine command windows are declared with the command layer.
#pragma once

#include "runtime/types.h"

// ---- Memories (ARM addresses) ----
#define ITCM_BASE 0x00000000u
#define ITCM_SIZE 0x00080000u
#define DTCM_BASE 0x02000000u
#define DTCM_SIZE 0x00080000u
#define LOCAL_ADDR_TAG 0x08000000u
#define L2_SRAM_START_ADDR 0x10000000u
#define L2_SRAM_SIZE 0x00400000u
#define DDR_ARM_BASE 0x80000000u
#define GLOBAL_MEM_START_ADDR 0x100000000ull
// The card's 8 GB of device memory: no engine command may name an address
// outside it (below it lie the ARM's own memories and registers).
#define GLOBAL_MEM_SIZE 0x200000000ull
#define GLOBAL_MEM_END_ADDR (GLOBAL_MEM_START_ADDR + GLOBAL_MEM_SIZE)
// The first 16 MB of device memory are the firmware's own: the code that runs
// from device memory (seen by the core at DDR_ARM_BASE) and the log ring above
// it. Host messages name tensors from FW_USER_MEM_START on.
#define FW_USER_MEM_START (GLOBAL_MEM_START_ADDR + 0x01000000ull)

#define DTCM_SCRATCH_START 0x02020000u
#define DTCM_SCRATCH_SIZE 0x00060000u
#define I2C_SLAVE_BUF 0x0201bf80u
#define I2C_SLAVE_BUF_SIZE 128u

// ---- API message ring ----
#define API_RING_BASE 0x0201c000u
#define API_RING_WORDS 2048u
#define API_MSG_HEADER_WORDS 7u
#define API_MSG_MAX_WORDS 1024u

// ---- System register block ----
#define TOP_REG_BASE 0x50010000u
#define REG_CDMA_LOCK 0x50010040u
#define REG_API_LOCK 0x50010044u
#define REG_API_WPTR 0x50010080u
#define REG_API_RPTR 0x50010084u
#define REG_FW_READY 0x500100a4u
#define REG_FW_LOG_OFFSET 0x500100b0u
#define REG_HOST_INTR_STATUS 0x500100b8u
#define REG_TIMER_CTRL 0x50010180u
#define REG_TIMER_CYCLE_LO 0x50010184u
#define REG_TIMER_CYCLE_HI 0x50010188u
#define REG_HOST_INTR_SET 0x50010190u
#define REG_HOST_INTR_CLEAR 0x50010194u
#define REG_SOFT_RESET 0x50010c00u
#define REG_PINMUX_I2C2_A 0x50010478u
#define REG_PINMUX_I2C2_B 0x5001047cu
#define REG_BOARD_STRAPS 0x50027050u

#define HOST_INTR_DONE_BIT 0x1u
#define HOST_INTR_HALT_BIT 0x4000u
#define SOFT_RESET_I2C2_BIT (1u << 28)
#define FW_READY_MAGIC 0x76125438u

// ---- Log ring in device memory ----
#define FW_LOG_RING_BASE 0x80c00000u
#define FW_LOG_RING_SIZE 0x00400000u
#define FW_LOG_SLOT_SIZE 512u
#define FW_LOG_OFFSET_MASK 0x003fffffu

// ---- Timer ----
#define TIMER_NS_PER_CYCLE 40u

// ---- Console UART (16550 layout) ----
#define UART_BASE 0x50118000u
#define UART_THR (UART_BASE + 0x00u)
#define UART_LSR (UART_BASE + 0x14u)
#define UART_LSR_TX_READY 0x60u

// ---- Interrupt controller ----
#define INTC_BASE 0x50023000u
#define INTC_ENABLE (INTC_BASE + 0x00u)
#define INTC_WORD_04 (INTC_BASE + 0x04u)
#define INTC_MASK0 (INTC_BASE + 0x08u)
#define INTC_MASK1 (INTC_BASE + 0x0cu)
#define INTC_WORD_10 (INTC_BASE + 0x10u)
#define INTC_WORD_14 (INTC_BASE + 0x14u)
#define INTC_STATUS (INTC_BASE + 0x20u)
#define INTC_FIQ_ENABLE (INTC_BASE + 0xc0u)
#define INTC_WORD_C8 (INTC_BASE + 0xc8u)
#define INTC2_BASE 0x5002b000u
#define INTC2_MASK0 (INTC2_BASE + 0x08u)
#define INTC2_MASK1 (INTC2_BASE + 0x0cu)
#define INTC_LINE_I2C2 27u
#define INTC_FIQ_HOST_HALT_BIT (1u << 6)
#define INTC_MASK1_OPEN_BIT (1u << 19)

// ---- Fuse controller ----
#define EFUSE_BASE 0x50028000u
#define EFUSE_CTRL (EFUSE_BASE + 0x00u)
#define EFUSE_ADDR (EFUSE_BASE + 0x04u)
#define EFUSE_RDATA (EFUSE_BASE + 0x0cu)
#define EFUSE_IDLE 0x80u
#define EFUSE_WORD_BAD_NPU_1 80u
#define EFUSE_WORD_BAD_NPU_2 81u

// ---- PCIe controller ----
#define PCIE_DBI_BASE 0x5fb80000u
#define PCIE_MSI_ADDR_HI 0x5fb8f000u
#define PCIE_MSI_ADDR_LO 0x5fb8f004u
#define PCIE_MSI_CFG_08 0x5fb8f008u
#define PCIE_MSI_CFG_0C 0x5fb8f00cu
#define PCIE_MSI_CFG_58 0x5fb8f058u
#define PCIE_MSI_CFG_5C 0x5fb8f05cu
#define PCIE_MSI_DATA 0x5fa0103cu
#define PCIE_IATU_BASE_LOW 0x5fb00000u
#define PCIE_IATU_BASE_HIGH 0x5fbf0e00u
#define PCIE_IATU_REGION_STRIDE 0x200u
#define PCIE_MSI_WINDOW 0x5fbf0000u

// ---- I2C2 controller (slave) ----
#define I2C2_BASE 0x5001e000u
#define I2C_CON (I2C2_BASE + 0x00u)
#define I2C_SAR (I2C2_BASE + 0x08u)
#define I2C_DATA_CMD (I2C2_BASE + 0x10u)
#define I2C_INTR_STAT (I2C2_BASE + 0x2cu)
#define I2C_INTR_MASK (I2C2_BASE + 0x30u)
#define I2C_RX_TL (I2C2_BASE + 0x38u)
#define I2C_TX_TL (I2C2_BASE + 0x3cu)
#define I2C_CLR_INTR (I2C2_BASE + 0x40u)
#define I2C_CLR_RD_REQ (I2C2_BASE + 0x50u)
#define I2C_CLR_TX_ABRT (I2C2_BASE + 0x54u)
#define I2C_ENABLE (I2C2_BASE + 0x6cu)
#define I2C_STATUS (I2C2_BASE + 0x70u)
#define I2C_REG_A0 (I2C2_BASE + 0xa0u)
#define I2C_REG_A4 (I2C2_BASE + 0xa4u)
#define I2C_INTR_RX_FULL (1u << 2)
#define I2C_INTR_RD_REQ (1u << 5)
#define I2C_INTR_TX_ABRT (1u << 6)
#define I2C_STATUS_SLV_ACTIVITY (1u << 6)

// ---- Tensor engine set-up registers ----
#define BD_REG_CLK_GATE 0x5800117cu
#define BD_REG_CTRL_A4 0x580011a4u
#define BD_REG_CTRL_A8 0x580011a8u
#define BD_REG_CTRL_AC 0x580011acu
#define BD_REG_CTRL_B0 0x580011b0u
#define BD_REG_CTRL_B4 0x580011b4u
#define BD_AUTO_CLK_BITS 0x1800u

// ---- Engine windows ----
#define GDMA_ENGINE_BASE 0x02080000u
#define BD_ENGINE_BASE 0x02081000u
#define REG_NPU_MAP 0x02081110u
#define NPU_MAP_WORDS 17u
#define NPU_NUM 64
#define EU_NUM 32
#define LOCAL_MEM_SIZE 0x80000
