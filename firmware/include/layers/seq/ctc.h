// Log-space forward (alpha) and backward (beta) tables of connectionist
// temporal classification for one extended label sequence (API 140).
//
// The host supplies the class probabilities y (C x T), the extended labels l'
// (S class indices as floats, the blank being C - 1) and both S x T tables
// with their boundary columns (alpha's column 0, beta's column T - 1) and a
// fill value in the other entries. Everything runs in lane 0: the tables at
// CTC_BETA_OFFSET and CTC_ALPHA_OFFSET, ln y of every (s, t) at
// CTC_LOGY_OFFSET, the skip masks and the work vectors from 0. The ARM builds
// the masks and the gathered probabilities; the engines run the recursions
// one time step at a time, all S entries of a column at once.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

#define CTC_LOGY_OFFSET 0x20000u
#define CTC_WORK_OFFSET 0x30000u
#define CTC_BETA_OFFSET 0x40000u
#define CTC_ALPHA_OFFSET 0x60000u
// Entries of the S x T tables: ln y and its work area take 64 KB each.
#define CTC_MAX_ENTRIES 16384
// Work vectors after the two masks.
#define CTC_WORK_VECTORS 8

typedef struct {
  u64 label_addr;
  u64 prob_addr;
  u64 alpha_addr;
  u64 beta_addr;
  u64 buffer_addr;
  i32 class_num;
  i32 lprime_s;
  i32 time_steps;
} FW_PACKED zv_api_ctcloss_t;
static_assert(sizeof(zv_api_ctcloss_t) == 52, "zv_api_ctcloss_t is 52 bytes");

extern "C" {

u32 zv_api_ctcloss_parallel(u8 *param, u32 size);

// Fills alpha columns 1 .. T - 1 and beta columns T - 2 .. 0. Scratch: C T + S
// floats.
void nodechip_ctcloss_parallel(u64 lprime, u64 y, u64 alpha, u64 beta, u64 scratch, int C, int lprime_s, int T,
                               cmd_id_node_t *node);
}
