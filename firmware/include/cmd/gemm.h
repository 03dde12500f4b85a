// Matrix multiplication C = alpha * op(A) * op(B) + beta * C on float32
// matrices in device memory (op: identity or transpose), and its API (105).
//
// The ARM only plans: it cuts the matrices into slices by the modelled cost of
// the candidate cuts (gemm_plan_of), loads slices with GDMA matrix moves,
// scales them with md_scalar commands and multiplies them with the fully
// connected command, the loads and stores of one step overlapping the
// multiplication of another.
#pragma once

#include <stddef.h>

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "cmd/tensor_shape.h"

// Slice extents are capped so that every matrix move stays below GDMA's limit.
#define GEMM_SLICE_CAP 0x7fff

// One matrix slice in one local buffer.
typedef struct {
  i32 rows;
  i32 cols;
  dim4_t shape;       // {n, C, 1, W}: n stored rows, each spread over C lanes of W
  u32 local_addr;     // untagged local offset (start lane 0)
  u64 global_addr;    // device address of the slice's first element
  u8 transposed;      // stored transposed in device memory
  u8 lane_transposed; // local layout puts the columns in n (A under transA)
  i32 ld;             // elements between consecutive stored rows
} mat_slice_t;

// API 105's record. Not packed: its fields keep their natural alignment, with
// gaps.
typedef struct {
  u8 trans_a;
  u8 trans_b;
  u8 gap0[2];
  i32 m;
  i32 n;
  i32 k;
  u32 alpha;  // f32 bits
  u32 gap1;
  u64 a_addr;
  i32 lda;
  u32 gap2;
  u64 b_addr;
  i32 ldb;
  u32 beta;  // f32 bits
  u64 c_addr;
  i32 ldc;
  u32 gap3;
} zv_api_gemm_t;
static_assert(sizeof(zv_api_gemm_t) == 72, "zv_api_gemm_t is 72 bytes");
static_assert(offsetof(zv_api_gemm_t, alpha) == 16 && offsetof(zv_api_gemm_t, a_addr) == 24 &&
                  offsetof(zv_api_gemm_t, b_addr) == 40 && offsetof(zv_api_gemm_t, beta) == 52 &&
                  offsetof(zv_api_gemm_t, c_addr) == 56 && offsetof(zv_api_gemm_t, ldc) == 64,
              "zv_api_gemm_t keeps natural alignment");

extern "C" {

// C = alpha * op(A) * op(B) + beta * C; alpha and beta are f32 bits. Restarts
// its own command ids and waits for the engines before it returns.
void nodechip_cblas_gemm_v2_parallel(u8 transA, u8 transB, int M, int N, int K, u32 alpha, u64 A,
                                     int lda, u64 B, int ldb, u32 beta, u64 C, int ldc);

// The slice's local shape from its rows, columns and lane-transposed flag.
void mat_tensor_shape(mat_slice_t *m);
// One matrix move between the slice's device and local addresses (direction 0
// load, 1 store).
void mat_move(mat_slice_t *m, int direction, cmd_id_node_t *node);
// m = m * scale in place (scale: f32 bits).
void mat_scale(mat_slice_t *m, u32 scale, cmd_id_node_t *node);
// c (+)= a x b.
void mat_mul(mat_slice_t *c, mat_slice_t *a, mat_slice_t *b, int result_add, cmd_id_node_t *node);
// Places the buffers C0, A0, B0 (and C1, A1, B1 with double buffering) from
// local offset 0 and returns whether they fit in a lane.
int check_local_size(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer);
// The local areas the placed buffers take (C0, A0, B0, then C1, A1, B1 with
// double buffering): returns their count.
#define GEMM_AREA_COUNT 6
int gemm_local_areas(const mat_slice_t *a, const mat_slice_t *b, const mat_slice_t *c, int double_buffer,
                     local_area_t areas[GEMM_AREA_COUNT]);
// Whether an inner (K), M or N slice of `value` would fit.
int check_sec_med(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer);
int check_sec_row(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer);
int check_sec_col(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer);
// Chooses the slice sizes (records [0] buffer 0, [1] buffer 1 of each matrix).
void mat_slicing(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer);

// The product's plan: slice extents, loop order and the local slots of each
// matrix, chosen by the modelled cost of the candidate cuts.
//
// Steps run over C slices (M slices inside N slices when `n_outer`, else N
// slices inside M slices), K slices innermost. A matrix block that the step
// before already loaded is not loaded again; a resident matrix keeps every
// block in its own slot, loaded once, otherwise its blocks alternate between
// two slots. C slices take turns in three slots: a finished slice is stored
// two steps later.
typedef struct {
  i32 Ms, Ns, Ks;              // slice extents
  i32 m_secs, n_secs, k_secs;  // slice counts
  u8 n_outer;
  u8 a_resident, b_resident;
  u32 a_addr, b_addr, c_addr;    // untagged local offsets of the first slots
  u32 a_bytes, b_bytes, c_bytes;  // bytes per lane of one slot
  u32 a_slots, b_slots, c_slots;
  u64 cycles;  // the modelled duration, engine cycles
} gemm_plan_t;

// What the product's steps depend on besides the plan: beta != 0 (C is
// loaded), beta != 1 (C is scaled), alpha != 1 (A is scaled).
typedef struct {
  int load_C, scale_C, scale_A;
} gemm_flags_t;

// The two-slot loads issued before a step: how many blocks of A and B, and
// which block each loaded last (-1 before the first).
typedef struct {
  u32 a_loads, b_loads;
  s64 a_last, b_last;
} gemm_loads_t;

// One step of the product: K slice ki of the C slice (mi, ni).
typedef struct {
  s64 a_block, b_block;  // the blocks of A and B the step multiplies
  int a_new, b_new;      // the block is loaded in this step
  int a_slot, b_slot;    // the slot of a two-slot matrix the block sits in
  u32 a_local, b_local;  // untagged local offsets of the blocks
  int load_c, scale_c;   // C is loaded (beta != 0) and scaled by beta: its first K slice
  int scale_a;           // the new A block is scaled by alpha
  int accumulate;        // the product adds to C
  int last_k;            // the C slice is complete after this step
} gemm_step_t;

// Step (mi, ni, ki) from the plan and the loads before it. Pure; inline, as
// the issue loop runs it every step. Every field is set once.
static inline gemm_step_t gemm_step_of(const gemm_plan_t *p, const gemm_flags_t *f, int mi, int ni, int ki,
                                       const gemm_loads_t *loads) {
  gemm_step_t s;
  s.a_block = (s64)mi * p->k_secs + ki;
  s.b_block = (s64)ki * p->n_secs + ni;
  // A resident matrix loads each block on its first use, into the block's own
  // slot; a two-slot matrix loads a block the step before did not use into
  // the slot it did not load last.
  s.a_new = p->a_resident ? ni == 0 : s.a_block != loads->a_last;
  s.b_new = p->b_resident ? mi == 0 : s.b_block != loads->b_last;
  // Load n goes to slot (n - 1) % 2 (a single block has one slot); a resident
  // block's slot is written once.
  const u32 a_loads = loads->a_loads + (s.a_new && !p->a_resident);
  const u32 b_loads = loads->b_loads + (s.b_new && !p->b_resident);
  s.a_slot = (int)((a_loads - 1) & 1);
  s.b_slot = (int)((b_loads - 1) & 1);
  s.a_local = p->a_addr + p->a_bytes * (u32)(p->a_resident ? s.a_block : (s64)s.a_slot);
  s.b_local = p->b_addr + p->b_bytes * (u32)(p->b_resident ? s.b_block : (s64)s.b_slot);
  s.load_c = ki == 0 && f->load_C;
  s.scale_c = s.load_c && f->scale_C;
  s.scale_a = f->scale_A && s.a_new;
  s.accumulate = ki > 0 || f->load_C;
  s.last_k = ki == p->k_secs - 1;
  return s;
}

// The loads after a step.
static inline void gemm_count_loads(gemm_loads_t *loads, const gemm_plan_t *p, const gemm_step_t *s) {
  if (s->a_new && !p->a_resident) loads->a_loads++, loads->a_last = s->a_block;
  if (s->b_new && !p->b_resident) loads->b_loads++, loads->b_last = s->b_block;
}

// The cheapest plan for an M x N x K product (transA: A lane-transposed;
// scale_A: alpha is not 1; load_C: beta is not 0; scale_C: beta is neither 0
// nor 1). Every slice extent stays within GEMM_SLICE_CAP.
void gemm_plan_of(gemm_plan_t *p, int M, int N, int K, int transA, int scale_A, int load_C, int scale_C);
// The modelled cost of one cut (0 when its slots do not fit a lane); fills
// the plan's slots and counts.
u64 gemm_plan_cost(gemm_plan_t *p, int M, int N, int K, int transA, int scale_A, int load_C, int scale_C);
// The local areas of a plan: the C, A and B slots.
#define GEMM_PLAN_AREA_COUNT 3
int gemm_plan_areas(const gemm_plan_t *p, local_area_t areas[GEMM_PLAN_AREA_COUNT]);

// API 105.
u32 zv_api_gemm(u8 *param, u32 size);
}
