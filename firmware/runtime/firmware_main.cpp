// The API message loop and its dispatcher.
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/firmware_main.h"
#include "runtime/regs.h"
#include "runtime/services.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"
#include "runtime/profile.h"
#include "runtime/api/dispatch.h"

static u32 ring_word(u32 index) { return hw_read32(API_RING_BASE + 4u * (index % API_RING_WORDS)); }
static void ring_write(u32 index, u32 value) {
  hw_write32(API_RING_BASE + 4u * (index % API_RING_WORDS), value);
}

void fw_enable_tpu_auto_clk(void) { hw_set_bits(BD_REG_CLK_GATE, BD_AUTO_CLK_BITS); }

void fw_build_npu_map(const u8 disabled[3], u8 map[68]) {
  u8 flat[64];
  memset(map, 0, 68);
  u8 *list = map + 64;
  list[0] = list[1] = list[2] = NPU_NUM;
  int listed = 0;
  for (int j = 0; j < NPU_NUM; j++) {
    bool off = disabled[0] == j || disabled[1] == j || disabled[2] == j;
    flat[j] = off ? NPU_NUM : (u8)j;
    if (off) list[listed++] = (u8)j;
  }
  for (int r = 0; r < 8; r++)
    for (int c = 0; c < 8; c++) map[8 * r + c] = flat[8 * c + r];
}

static void start_host_interface(fw_main_config_t *config) {
  hw_write32(REG_CDMA_LOCK, 0);
  for (u32 a = REG_API_WPTR; a <= REG_FW_LOG_OFFSET; a += 4) hw_write32(a, 0);
  hw_write32(REG_FW_READY, FW_READY_MAGIC);

  u8 map[68];
  fw_build_npu_map(config->disabled_npu, map);
  for (u32 i = 0; i < NPU_MAP_WORDS; i++) {
    u32 word;
    memcpy(&word, map + 4 * i, 4);
    hw_write32(REG_NPU_MAP + 4 * i, word);
  }

  hw_write32(REG_API_LOCK, 0);
  fw_enable_tpu_auto_clk();

  u32 a8 = hw_read32(BD_REG_CTRL_A8);
  u32 b4 = hw_read32(BD_REG_CTRL_B4);
  hw_write32(BD_REG_CTRL_A8, a8 & 0x00ffffffu);
  hw_write32(BD_REG_CTRL_AC, 0);
  hw_write32(BD_REG_CTRL_B0, 0);
  hw_write32(BD_REG_CTRL_B4, b4 & 0xfff00000u);
  hw_set_bits(BD_REG_CTRL_A4, 1u << 24);
}

int firmware_main(fw_main_config_t *config) {
  start_host_interface(config);
  while (config->exit_flag == 0) {
    u32 rptr = hw_read32(REG_API_RPTR);
    if (hw_read32(REG_API_WPTR) == rptr) {
      hw_idle();
      continue;
    }
    if (ring_word(rptr) == API_ID_QUIT) config->exit_flag = 1;
    while (hw_read32(REG_API_LOCK) & 1) hw_idle();
    fw_handle_api_msg();
    hw_write32(REG_API_LOCK, 0);
  }
  return 0;
}

// Clears the parameter buffer (from malloc, so 8-byte aligned) from byte
// `from`, a multiple of 4, to its end: word by word up to the next 128-byte
// boundary, then 128 bytes a round. On the core a round is four
// store-multiples of eight zeroed registers (about 200 instructions for the
// whole 4 KB; the library's memset takes some 1,800).
static void clear_param_tail(u8 *param, u32 from) {
  static_assert(API_PARAM_BUF_SIZE % 128u == 0, "the buffer is whole 128-byte blocks");
  u32 *w = (u32 *)(void *)param;
  u32 i = from / 4u;
  const u32 words = API_PARAM_BUF_SIZE / 4u;
  for (; i < words && (i & 31u) != 0; i++) w[i] = 0;
#if defined(__arm__)
  u32 *p = w + i;
  if (i < words)
    __asm__ volatile(
        "mov r3, #0\n\tmov r4, #0\n\tmov r5, #0\n\tmov r6, #0\n\t"
        "mov r7, #0\n\tmov r8, #0\n\tmov r9, #0\n\tmov r10, #0\n"
        "1:\tstmia %0!, {r3-r10}\n\tstmia %0!, {r3-r10}\n\tstmia %0!, {r3-r10}\n\tstmia %0!, {r3-r10}\n\t"
        "cmp %0, %1\n\tbne 1b"
        : "+r"(p)
        : "r"(w + words)
        : "r3", "r4", "r5", "r6", "r7", "r8", "r9", "r10", "cc", "memory");
#else
  for (; i < words; i++) w[i] = 0;
#endif
}

u32 fw_handle_api_msg(void) {
  u8 *param = (u8 *)malloc(API_PARAM_BUF_SIZE);
  volatile u32 result = API_SUCCESS;
  volatile u64 start_us = 0;

  const u32 r = hw_read32(REG_API_RPTR);
  const u32 id = ring_word(r);
  volatile u32 len = 0;
  u64 tag = 0;

  if (id != API_ID_QUIT) {
    len = ring_word(r + API_HDR_PARAM_LEN);
    // Compared without adding the header first, so that no length wraps past the limit.
    if (len > API_MAX_PARAM_WORDS) {
      fw_log(0, "zvfw: api size  = %x is too large than max size!\n",
             (unsigned)(len + API_MSG_HEADER_WORDS));
      fw_log(0, "zvfw: api = %d copy_message_from_sharemem fail\n", (int)id);
      result = API_ERR_MSG_TOO_LARGE;
      goto answer;
    }
    tag = (u64)ring_word(r + API_HDR_TAG_LO) | (u64)ring_word(r + API_HDR_TAG_HI) << 32;
    for (u32 i = 0; i < len; i++) {
      u32 word = ring_word(r + API_MSG_HEADER_WORDS + i);
      memcpy(param + 4 * i, &word, 4);
    }
  }
  // The handler sees zeros past the payload.
  clear_param_tail(param, 4 * len);

  start_us = firmware_timer_get_time_us();
  heap_track_begin();
  error_stat_armed = 1;
  if (setjmp(error_stat) != 0) {
    error_stat_armed = 0;
    // The engines finish what the failed handler issued before the answer, so
    // that the next message restarts the command ids over empty queues.
    wait_engines_idle();
    // A reader interrupted while profiling was paused leaves it running again.
    profile_resume();
    // Give back what the failed handler took from the heap.
    heap_track_release_all();
    fw_log(0, "api = %d assert fail\n", (int)id);
    result = API_ERR_ASSERT;
    goto answer;
  }
  if (id != API_ID_QUIT && tag != 0) result = zv_api_dispatch(id, param, len * 4);
  error_stat_armed = 0;
  heap_track_end();

answer: {
  u64 end_us = firmware_timer_get_time_us();
  ring_write(r + API_HDR_RESULT, result);
  ring_write(r + API_HDR_ELAPSED_US, (u32)(end_us - start_us));
  // Unsigned arithmetic wraps at 2^32, a multiple of the ring size.
  hw_write32(REG_API_RPTR, (r + API_MSG_HEADER_WORDS + len) % API_RING_WORDS);
  if (id != API_ID_QUIT) {
    while (hw_read32(REG_HOST_INTR_STATUS) & HOST_INTR_DONE_BIT) hw_idle();
    hw_write32(REG_HOST_INTR_SET, 1);
  }
}
  free(param);
  return result;
}
