// The I2C2 controller as a slave: a master reads the 128-byte status buffer
// from the register address it last wrote.
#include "runtime/firmware_main.h"
#include "runtime/regs.h"
#include "runtime/hw.h"

static u8 addr;    // register address last written by the master
static u8 w_flag;  // 1 while that address has not been used by a read

int zv_i2c2_slave_init(void) {
  hw_clear_bits(REG_SOFT_RESET, SOFT_RESET_I2C2_BIT);
  for (int i = 0; i < 100; i++) (void)hw_read32(INTC_ENABLE);
  hw_set_bits(REG_SOFT_RESET, SOFT_RESET_I2C2_BIT);
  hw_write32(I2C_ENABLE, 0);

  u32 strap = (hw_read32(REG_BOARD_STRAPS) >> 9) & 7u;
  u32 address;
  switch (strap) {
    case 0: address = 0x62; break;
    case 1: address = 0x61; break;
    case 6: address = 0x60; break;
    default: return -1;
  }
  zv_i2c2_slave_config(address);
  hw_clear_bits(INTC_MASK0, 1u << INTC_LINE_I2C2);
  hw_set_bits(INTC_ENABLE, 1u << INTC_LINE_I2C2);
  hw_write_field(REG_PINMUX_I2C2_A, 20, 2, 1);
  hw_write_field(REG_PINMUX_I2C2_B, 4, 2, 1);
  hw_write32(I2C_ENABLE, 1);
  return 0;
}

void zv_i2c2_slave_config(u32 address) {
  hw_write32(I2C_SAR, address);
  hw_write32(I2C_CON, 4);
  hw_write32(I2C_INTR_MASK, 0x64);
  hw_write32(I2C_RX_TL, 0);
  hw_write32(I2C_TX_TL, 1);
  hw_write32(I2C_REG_A0, 1);
  hw_write32(I2C_REG_A4, 1);
  (void)hw_read32(I2C_CLR_INTR);
}

void zv_i2c2_slave_irq_handle(void) {
  hw_set_bits(INTC_MASK0, 1u << INTC_LINE_I2C2);
  (void)hw_read32(I2C_CLR_TX_ABRT);
  u32 status = hw_read32(I2C_INTR_STAT);
  if (status & I2C_INTR_RX_FULL) {
    w_flag = 1;
    addr = (u8)hw_read32(I2C_DATA_CMD);
  }
  if (status & I2C_INTR_RD_REQ) {
    if (w_flag)
      w_flag = 0;
    else
      addr = 0;
    const u8 *buf = (const u8 *)hw_ptr(I2C_SLAVE_BUF, I2C_SLAVE_BUF_SIZE);
    // Register addresses 0x80 and up wrap inside the buffer as well.
    u32 index = addr & (I2C_SLAVE_BUF_SIZE - 1);
    while (hw_read32(I2C_STATUS) & I2C_STATUS_SLV_ACTIVITY) {
      hw_write32(I2C_DATA_CMD, buf[index]);
      index = (index + 1) & (I2C_SLAVE_BUF_SIZE - 1);
    }
    (void)hw_read32(I2C_CLR_RD_REQ);
  }
  (void)hw_read32(I2C_CLR_INTR);
  hw_clear_bits(INTC_MASK0, 1u << INTC_LINE_I2C2);
}
