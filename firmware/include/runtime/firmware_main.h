// The firmware core: platform start, the API message loop and its dispatcher.
#pragma once

#include "runtime/types.h"

// Result codes written into a message's header.
typedef enum {
  API_SUCCESS = 0,
  API_ERR_MSG_TOO_LARGE = 1006,
  API_ERR_NOT_SUPPORTED = 1008,
  API_ERR_ASSERT = 1009,
} api_result_t;

#define API_ID_QUIT 0xffffffffu
#define ZVKERNEL_API_ID 0x3f995ec4u
#define API_ID_RESERVED 150u

// Words of a message header in the ring.
enum {
  API_HDR_ID = 0,
  API_HDR_PARAM_LEN = 1,
  API_HDR_TAG_LO = 2,
  API_HDR_TAG_HI = 3,
  API_HDR_RESERVED = 4,
  API_HDR_ELAPSED_US = 5,
  API_HDR_RESULT = 6,
};

#define API_PARAM_BUF_SIZE 4096u
#define API_MAX_PARAM_WORDS (API_MSG_MAX_WORDS - API_MSG_HEADER_WORDS - 1u)

// Configuration the platform start hands to the message loop.
typedef struct {
  u32 reserved;
  u8 disabled_npu[3];  // disabled lane numbers; NPU_NUM stands for none
  u8 pad;
  u32 exit_flag;  // set on the quit message
} fw_main_config_t;

extern "C" {
int firmware_main(fw_main_config_t *config);
u32 fw_handle_api_msg(void);
void fw_enable_tpu_auto_clk(void);
// Builds the 68-byte lane map the tensor engine takes (64 map bytes stored as a
// transposed 8 x 8 matrix, the disabled lanes, a 0 byte).
void fw_build_npu_map(const u8 disabled[3], u8 map[68]);

int testcase_main(void);
int testcase_zvdnn(void);
u32 get_bad_npu(u32 fuse_word);
// Decodes the OR of the two disabled-lane fuse words into three lane bytes.
void fw_decode_bad_npu(u32 fuse_bits, u8 disabled[3]);

void init_fiq(void);
void init_local_irq(void);
int is_local_irq(void);
void mask_all_intc_irq(void);
void unmask_all_intc_irq(void);
void do_irq(unsigned *frame);
void do_fiq(unsigned *frame);
void do_exception(unsigned *frame, u32 kind);
void send_pcie_interrupt(void);
void init_pcie_iatu_remap_table(void);

int zv_i2c2_slave_init(void);
void zv_i2c2_slave_config(u32 address);
void zv_i2c2_slave_irq_handle(void);

extern u32 pcie_msi_low;
extern u32 pcie_msi_data;
}
