// Float formulas with scalar parameters over a flat run of elements: power,
// ELU, bias (a second run added), threshold, and log, exp and BNLL; and the
// APIs that reach them (13, 26, 27, 29, 38, 40, 44).
//
// Each layer cuts its count into the fewest pieces whose k buffers of
// B = ceil(ceil(L / 32) / 64) x 128 bytes per lane fit local memory (at most
// 65534 elements a piece), and for each piece loads it as a 1 x L matrix in
// sections of 32 over the lanes, runs the formula and stores it. Log, exp and
// BNLL have no computing path: they stop on an assertion after their first
// commands, and their APIs answer with the assertion's result.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Buffers a piece of each layer counts when the pieces are planned.
#define POWER_BUFFERS 6
#define ELU_BUFFERS 3
#define BIAS_BUFFERS 2
#define THRESHOLD_BUFFERS 3  // the piece, the comparison's maximum and its selection
#define LOG_BUFFERS 3
#define EXP_BUFFERS 1
#define BNLL_BUFFERS 3

// ---- API records ----

typedef struct {
  u64 input_addr, output_addr;
  float power, scale, shift;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_power_forward_t;
static_assert(sizeof(zv_api_power_forward_t) == 44, "zv_api_power_forward_t is 44 bytes");

typedef struct {
  u64 input_addr, output_addr;
  float alpha, multiplier;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_elu_forward_t;
static_assert(sizeof(zv_api_elu_forward_t) == 40, "zv_api_elu_forward_t is 40 bytes");

typedef struct {
  u64 input_addr, bias_addr, output_addr;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_bias_forward_t;
static_assert(sizeof(zv_api_bias_forward_t) == 40, "zv_api_bias_forward_t is 40 bytes");

typedef struct {
  u64 input_addr, output_addr;
  float threshold;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_threshold_forward_t;
static_assert(sizeof(zv_api_threshold_forward_t) == 36, "zv_api_threshold_forward_t is 36 bytes");

typedef struct {
  u64 input_addr, output_addr;
  float scale, shift, base;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_log_forward_t;
static_assert(sizeof(zv_api_log_forward_t) == 44, "zv_api_log_forward_t is 44 bytes");

typedef struct {
  u64 input_addr, output_addr;
  float base, scale, shift;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_exp_forward_t;
static_assert(sizeof(zv_api_exp_forward_t) == 44, "zv_api_exp_forward_t is 44 bytes");

typedef struct {
  u64 input_addr, output_addr;
  u32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_bnll_forward_t;
static_assert(sizeof(zv_api_bnll_forward_t) == 32, "zv_api_bnll_forward_t is 32 bytes");

extern "C" {

// ---- Handlers ----
u32 zv_api_log_forward(u8 *param, u32 size);
u32 zv_api_threshold_forward(u8 *param, u32 size);
u32 zv_api_exp_forward(u8 *param, u32 size);
u32 zv_api_power_forward(u8 *param, u32 size);
u32 zv_api_bias_forward(u8 *param, u32 size);
u32 zv_api_elu_forward(u8 *param, u32 size);
u32 zv_api_bnll_forward(u8 *param, u32 size);

// ---- Planning (pure) ----
// Bytes per lane of one buffer of a piece of L elements.
u32 eltwise_math_buffer_bytes(int L);

// ---- Layers (power, bias, threshold, exp and BNLL count n x c; ELU and log
// n x c x h x w) ----
void nodechip_power_forward(u64 input, u64 output, float power, float scale, float shift, int n, int c, int h,
                            int w, cmd_id_node_t *node);
void nodechip_elu_forward(u64 input, u64 output, float alpha, float multiplier, int n, int c, int h, int w,
                          cmd_id_node_t *node);
void nodechip_bias_forward(u64 input, u64 bias, u64 output, int n, int c, int h, int w, cmd_id_node_t *node);
// 1.0 where x > threshold, else 0.0.
void nodechip_threshold_forward(u64 input, u64 output, float threshold, int n, int c, int h, int w,
                                cmd_id_node_t *node);
void nodechip_log_forward(u64 input, u64 output, float scale, float shift, float base, int n, int c, int h, int w,
                          cmd_id_node_t *node);
void nodechip_exp_forward(u64 input, u64 output, float base, float scale, float shift, int n, int c, int h, int w,
                          cmd_id_node_t *node);
void nodechip_bnll_forward(u64 input, u64 output, int n, int c, int h, int w, cmd_id_node_t *node);
}
