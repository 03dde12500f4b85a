// Platform start and interrupt paths: fuses, interrupt controller, the PCIe
// window for host interrupts, and the IRQ, FIQ and exception handlers.
#include <stdio.h>

#include "runtime/firmware_main.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "runtime/hw.h"

u32 pcie_msi_low;
u32 pcie_msi_data;

int main(void) {
  firmware_timer_init();
  init_fiq();
  printf("The firmware is running\n");
  if (testcase_main() == 0)
    printf("*******zv200x test succeed!*******\n");
  else
    printf("********zv200x test failed********\n");
  // Only the interrupt handlers run from here on.
  for (;;) hw_idle();
}

void init_fiq(void) {
  printf("zv200x init fiq\n");
  hw_write32(REG_HOST_INTR_CLEAR, HOST_INTR_HALT_BIT);
  hw_set_bits(INTC_FIQ_ENABLE, INTC_FIQ_HOST_HALT_BIT);
}

void do_fiq(unsigned *frame) {
  (void)frame;
  if (hw_read32(REG_HOST_INTR_STATUS) & HOST_INTR_HALT_BIT) {
    hw_write32(REG_HOST_INTR_CLEAR, HOST_INTR_HALT_BIT);
    hw_halt();
  }
}

void do_exception(unsigned *frame, u32 kind) {
  static const char *const names[] = {"undefined instruction", "software interrupt",
                                      "prefetch abort", "data abort", "reserved vector"};
  printf("zvfw: unexpected %s at 0x%08x, core halted\n", kind < 5 ? names[kind] : "exception",
         frame ? frame[15] : 0u);
  hw_halt();
}

int testcase_main(void) {
  printf("testcase zvdnn\n");
  int ret = testcase_zvdnn();
  printf("testcase zvdnn %s\n", ret == 0 ? "passed" : "failed");
  return ret;
}

u32 get_bad_npu(u32 fuse_word) {
  hw_write32(EFUSE_CTRL, 0);
  while (hw_read32(EFUSE_CTRL) != EFUSE_IDLE) hw_idle();
  hw_write32(EFUSE_ADDR, fuse_word);
  hw_write_field(EFUSE_CTRL, 0, 2, 2);
  while (hw_read32(EFUSE_CTRL) != EFUSE_IDLE) hw_idle();
  return hw_read32(EFUSE_RDATA);
}

void fw_decode_bad_npu(u32 fuse_bits, u8 disabled[3]) {
  for (int k = 0; k < 3; k++) {
    u32 field = (fuse_bits >> (9 * k)) & 0x1ffu;
    // A non-zero field f names lane f - 1. An empty field names no lane: it
    // stores NPU_NUM, which no lane number equals (0 would disable lane 0).
    disabled[k] = field != 0 ? (u8)(field - 1) : (u8)NPU_NUM;
  }
}

int testcase_zvdnn(void) {
  fw_main_config_t config = {};
  u32 v1 = get_bad_npu(EFUSE_WORD_BAD_NPU_1);
  u32 v2 = get_bad_npu(EFUSE_WORD_BAD_NPU_2);
  printf("v1 = %u,v2 = %u\n", (unsigned)v1, (unsigned)v2);
  fw_decode_bad_npu(v1 | v2, config.disabled_npu);

  init_local_irq();
  zv_i2c2_slave_init();
  init_pcie_iatu_remap_table();
  unmask_all_intc_irq();

  printf("zv200x enter firmware main\n");
  firmware_main(&config);
  printf("zv200x exit firmware main\n");
  return 0;
}

void init_local_irq(void) { hw_set_bits(INTC_ENABLE, 1u << INTC_LINE_I2C2); }

int is_local_irq(void) { return (hw_read32(INTC_STATUS) >> INTC_LINE_I2C2) & 1u; }

void mask_all_intc_irq(void) {
  hw_write32(INTC_MASK0, 0xffffffffu);
  hw_write32(INTC_MASK1, ~INTC_MASK1_OPEN_BIT);
  hw_write32(INTC2_MASK0, 0xffffffffu);
  hw_write32(INTC2_MASK1, 0xffffffffu);
}

void unmask_all_intc_irq(void) {
  hw_write32(INTC_MASK0, 0);
  hw_write32(INTC_MASK1, 0);
  hw_write32(INTC2_MASK0, 0);
  hw_write32(INTC2_MASK1, 0);
}

void do_irq(unsigned *frame) {
  (void)frame;
  if (is_local_irq()) {
    zv_i2c2_slave_irq_handle();
  } else {
    mask_all_intc_irq();
    send_pcie_interrupt();
  }
}

void send_pcie_interrupt(void) {
  pcie_msi_data = hw_read32(PCIE_MSI_DATA);
  pcie_msi_low &= 0xfffu;
  hw_write32(PCIE_MSI_WINDOW + pcie_msi_low, pcie_msi_data);
}

void init_pcie_iatu_remap_table(void) {
  u32 id = (hw_read32(PCIE_DBI_BASE) >> 28) & 7u;
  u32 fn = id > 0 ? id - 1 : 0;
  printf("chip id is 0x%x, function_num = 0x%x\n", (unsigned)id, (unsigned)fn);

  u32 region;
  if (id > 1) {
    hw_write32(PCIE_MSI_CFG_0C, PCIE_IATU_BASE_LOW);
    hw_write32(PCIE_MSI_CFG_5C, PCIE_IATU_BASE_LOW);
    hw_write32(PCIE_MSI_CFG_08, 0x300);
    hw_write32(PCIE_MSI_CFG_58, 0x300);
    region = PCIE_IATU_BASE_HIGH + id * PCIE_IATU_REGION_STRIDE;
  } else {
    region = PCIE_IATU_BASE_LOW;
  }
  printf("remote_msi_iatu_base_addr = 0x%x\n", (unsigned)region);

  hw_write_field(region + 0x00, 20, 3, fn);
  hw_set_bits(region + 0x04, 1u << 31);

  u32 low = hw_read32(PCIE_MSI_ADDR_LO);
  pcie_msi_low = low;
  u32 page = low & ~0xfffu;
  hw_write32(region + 0x08, page);
  hw_write32(region + 0x14, page);
  hw_write32(region + 0x10, page + 0xfff);
  hw_write32(PCIE_MSI_ADDR_LO, page);

  u32 high = hw_read32(PCIE_MSI_ADDR_HI);
  hw_write32(region + 0x18, high);
  u32 upper = (high & 0xfu) | 0x310u | (fn << 5);
  hw_write32(region + 0x0c, upper);
  hw_write32(PCIE_MSI_ADDR_HI, upper);
}
