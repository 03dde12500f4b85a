// Matrix multiplication: the slicing of the slice records, the product's plan
// (slice extents, loop order and local slots chosen by modelled cost) and the
// overlapped load / multiply / store schedule on three command-id nodes.
//
// A step multiplies one (M, N, K) slice triple: its loads run on the move node
// while the previous step's multiplication runs on the compute node, and a
// finished C slice is stored while later ones are being multiplied. Blocks
// take turns in their slots, and each load or store waits for the last
// product using its slot, so no operand is overwritten while a command still
// reads it.
#include "cmd/gemm.h"

#include "runtime/engine_wait.h"
#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/gdma.h"
#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/local_mem.h"

void mat_tensor_shape(mat_slice_t *m) {
  const int t = m->lane_transposed;
  const u32 n = (u32)(t ? m->cols : m->rows);
  const u32 s = (u32)(t ? m->rows : m->cols);
  const u32 w = (u32)ceil_div(s, NPU_NUM);
  m->shape.n = (i32)n;
  m->shape.c = (i32)ceil_div(s, w);
  m->shape.h = 1;
  m->shape.w = (i32)w;
}

// Bytes one buffer of the slice takes per lane: rows of W padded to 128 bytes.
static u32 slice_bytes(const mat_slice_t *m) {
  return (u32)m->shape.n * 128u * (u32)ceil_div((u32)m->shape.w, EU_NUM);
}

int check_local_size(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer) {
  u32 end = 0;
  c[0].local_addr = end;
  end += slice_bytes(&c[0]);
  a[0].local_addr = end;
  end += slice_bytes(&a[0]);
  b[0].local_addr = end;
  end += slice_bytes(&b[0]);
  if (double_buffer) {
    c[1].local_addr = end;
    end += slice_bytes(&c[0]);
    end = ALIGN(end, 128u);
    a[1].local_addr = end;
    end += slice_bytes(&a[0]);
    end = ALIGN(end, 128u);
    b[1].local_addr = end;
    end += slice_bytes(&b[0]);
  }
  return end <= LOCAL_MEM_SIZE;
}

int gemm_local_areas(const mat_slice_t *a, const mat_slice_t *b, const mat_slice_t *c, int double_buffer,
                     local_area_t areas[GEMM_AREA_COUNT]) {
  // Both buffers of a matrix hold slices of buffer 0's extent.
  areas[0] = {"C0", c[0].local_addr, slice_bytes(&c[0])};
  areas[1] = {"A0", a[0].local_addr, slice_bytes(&a[0])};
  areas[2] = {"B0", b[0].local_addr, slice_bytes(&b[0])};
  if (!double_buffer) return 3;
  areas[3] = {"C1", c[1].local_addr, slice_bytes(&c[0])};
  areas[4] = {"A1", a[1].local_addr, slice_bytes(&a[0])};
  areas[5] = {"B1", b[1].local_addr, slice_bytes(&b[0])};
  return 6;
}

typedef enum { SEC_MED, SEC_ROW, SEC_COL } sec_dim_t;

// On copies of the records: sets the slice extent of `dim` to `value` and
// checks the layout.
static int check_sec(const mat_slice_t *a, const mat_slice_t *b, const mat_slice_t *c, sec_dim_t dim,
                     int value, int double_buffer) {
  mat_slice_t ta[2] = {a[0], a[1]}, tb[2] = {b[0], b[1]}, tc[2] = {c[0], c[1]};
  if (dim == SEC_MED) {
    ta[0].cols = value;
    tb[0].rows = value;
  } else if (dim == SEC_ROW) {
    ta[0].rows = value;
    tc[0].rows = value;
  } else {
    tb[0].cols = value;
    tc[0].cols = value;
  }
  mat_tensor_shape(&ta[0]);
  mat_tensor_shape(&tb[0]);
  mat_tensor_shape(&tc[0]);
  return check_local_size(ta, tb, tc, double_buffer);
}

int check_sec_med(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_MED, value, double_buffer);
}
int check_sec_row(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_ROW, value, double_buffer);
}
int check_sec_col(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int value, int double_buffer) {
  return check_sec(a, b, c, SEC_COL, value, double_buffer);
}

// The largest slice extent in [1, hi] that fits (1 when none does): a binary
// search that stops when the middle equals the lower bound.
static int search_sec(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, sec_dim_t dim, int hi,
                      int double_buffer) {
  int lo = 1;
  if (!check_sec(a, b, c, dim, 1, double_buffer)) return 1;
  for (;;) {
    const int mid = (lo + hi) / 2;
    if (mid == lo) break;
    if (check_sec(a, b, c, dim, mid, double_buffer))
      lo = mid;
    else
      hi = mid;
  }
  return lo;
}

static void set_shapes(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c) {
  mat_tensor_shape(&a[0]);
  mat_tensor_shape(&b[0]);
  mat_tensor_shape(&c[0]);
}

void mat_slicing(mat_slice_t *a, mat_slice_t *b, mat_slice_t *c, int double_buffer) {
  set_shapes(a, b, c);
  if (!check_local_size(a, b, c, double_buffer)) {
    const int k = search_sec(a, b, c, SEC_MED, a[0].cols, double_buffer);
    a[0].cols = k;
    b[0].rows = k;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) {
    const int m = search_sec(a, b, c, SEC_ROW, a[0].rows, double_buffer);
    a[0].rows = m;
    c[0].rows = m;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) {
    const int n = search_sec(a, b, c, SEC_COL, b[0].cols, double_buffer);
    b[0].cols = n;
    c[0].cols = n;
    set_shapes(a, b, c);
  }
  if (!check_local_size(a, b, c, double_buffer)) ASSERT_FS(0);
  if (double_buffer) {
    // Buffer 1: the same slices at the addresses check_local_size placed.
    const u32 la = a[1].local_addr, lb = b[1].local_addr, lc = c[1].local_addr;
    a[1] = a[0];
    b[1] = b[0];
    c[1] = c[0];
    a[1].local_addr = la;
    b[1].local_addr = lb;
    c[1].local_addr = lc;
  }
}

// ---- The plan ----
//
// The cost model follows the engine figures the card is built around, in
// engine cycles: a GDMA move costs 400 cycles and 32 bytes of device memory a
// cycle; a product costs 64 cycles of set-up, then its busiest lane's products
// at 16 a cycle or its operand traffic at 64 bytes a cycle; the ARM spends
// 128 engine cycles per register write. A plan's time is bounded by each
// engine's total plus what cannot overlap it: the first step's loads, the
// last product and the last store.

#define GEMM_LANE_BYTES 0x80000u
#define GEMM_WRITE_CYCLES 128u  // one device-register write of the ARM
#define GEMM_MOVE_WRITES 15u    // register writes of one matrix move
#define GEMM_BD_WRITES 30u      // of one product or scaling

// Bytes per lane of a slot holding n stored rows of s elements spread over the
// lanes (rows of W elements padded to 128 bytes).
static u64 slot_bytes(u64 n, u64 s) { return n * 128u * ceil_div_u64(ceil_div_u64(s, NPU_NUM), EU_NUM); }

static u64 move_cycles(u64 bytes) { return 400u + ceil_div_u64(bytes, 32); }

static u64 max_u64(u64 a, u64 b) { return a > b ? a : b; }

// One product of an Ms x Ks block of A by a Ks x Ns block of B.
static u64 mul_cycles(u64 Ms, u64 Ns, u64 Ks, int transA, int add) {
  const u64 w = ceil_div_u64(Ns, NPU_NUM);  // C and B columns in the busiest lane
  const u64 a_lane = transA ? Ks * ceil_div_u64(Ms, NPU_NUM) : Ms * ceil_div_u64(Ks, NPU_NUM);
  const u64 bytes = 4u * (a_lane + Ks * w + Ms * w * (add ? 2u : 1u));
  return 64u + max_u64(ceil_div_u64(Ms * Ks * w, 16), ceil_div_u64(bytes, 64));
}

// One in-place scaling of n stored rows of s elements.
static u64 scale_cycles(u64 n, u64 s) { return 64u + ceil_div_u64(8u * n * ceil_div_u64(s, NPU_NUM), 64); }

u64 gemm_plan_cost(gemm_plan_t *p, int M, int N, int K, int transA, int scale_A, int load_C, int scale_C) {
  const u64 Ms = (u64)p->Ms, Ns = (u64)p->Ns, Ks = (u64)p->Ks;
  const u64 m = ceil_div_u64((u64)M, Ms), n = ceil_div_u64((u64)N, Ns), k = ceil_div_u64((u64)K, Ks);
  p->m_secs = (i32)m, p->n_secs = (i32)n, p->k_secs = (i32)k;
  const u64 steps = m * n * k, slices = m * n;
  const u64 a_bytes = transA ? slot_bytes(Ks, Ms) : slot_bytes(Ms, Ks), b_bytes = slot_bytes(Ks, Ns),
            c_bytes = slot_bytes(Ms, Ns);
  // Loads of each matrix: a block is loaded again unless the step before used it.
  // (a_times, b_times: how often each block is loaded)
  u64 a_loads = m * k, b_loads = k * n, a_times = 1, b_times = 1;
  if (!p->a_resident && (p->n_outer ? !(m == 1 && k == 1) : k > 1)) a_loads = steps, a_times = n;
  if (!p->b_resident && (p->n_outer ? k > 1 : !(n == 1 && k == 1))) b_loads = steps, b_times = m;
  const u64 a_slots = p->a_resident ? m * k : (m * k < 2 ? 1 : 2), b_slots = p->b_resident ? k * n : (k * n < 2 ? 1 : 2);
  const u64 c_slots = slices < 3 ? slices : 3;
  const u64 lane = c_slots * c_bytes + a_slots * a_bytes + b_slots * b_bytes;
  if (lane > GEMM_LANE_BYTES) return 0;
  p->a_bytes = (u32)a_bytes, p->b_bytes = (u32)b_bytes, p->c_bytes = (u32)c_bytes;
  p->a_slots = (u32)a_slots, p->b_slots = (u32)b_slots, p->c_slots = (u32)c_slots;
  p->c_addr = 0;
  p->a_addr = (u32)(c_slots * c_bytes);
  p->b_addr = p->a_addr + (u32)(a_slots * a_bytes);

  // Whole-matrix bytes times the times each block is loaded.
  const u64 a_all = (u64)M * (u64)K * 4u, b_all = (u64)K * (u64)N * 4u, c_all = (u64)M * (u64)N * 4u;
  const u64 c_moves = slices * (load_C ? 2u : 1u);
  const u64 gdma = 400u * (a_loads + b_loads + c_moves) + ceil_div_u64(a_all * a_times + b_all * b_times, 32) +
                   ceil_div_u64(c_all * (load_C ? 2u : 1u), 32);
  const u64 mul = mul_cycles(Ms, Ns, Ks, transA, k > 1 || load_C);
  u64 bd = steps * mul;
  u64 bd_cmds = steps;
  if (scale_A) {
    bd += a_loads * (transA ? scale_cycles(Ks, Ms) : scale_cycles(Ms, Ks));
    bd_cmds += a_loads;
  }
  if (scale_C) {
    bd += slices * scale_cycles(Ms, Ns);
    bd_cmds += slices;
  }
  const u64 arm = GEMM_WRITE_CYCLES * (GEMM_MOVE_WRITES * (a_loads + b_loads + c_moves) + GEMM_BD_WRITES * bd_cmds);
  const u64 head = move_cycles(Ms * Ks * 4u) + move_cycles(Ks * Ns * 4u) + (load_C ? move_cycles(Ms * Ns * 4u) : 0);
  const u64 tail_store = move_cycles(Ms * Ns * 4u);
  const u64 arm_head = GEMM_WRITE_CYCLES * GEMM_MOVE_WRITES * (load_C ? 3u : 2u);
  u64 t = gdma + mul;
  t = max_u64(t, arm_head + head + bd + tail_store);
  t = max_u64(t, arm + mul + tail_store);
  p->cycles = t;
  return t;
}

// Slice counts tried per dimension, as multiples of the fewest the slice cap
// allows.
static const u8 kGemmCuts[] = {1, 2, 4, 8, 16, 32, 64};
#define GEMM_CUT_COUNT (int)(sizeof kGemmCuts / sizeof kGemmCuts[0])

// The distinct slice extents of a dimension, largest first; returns their
// count.
static int cut_extents(int total, int ext[GEMM_CUT_COUNT]) {
  const s64 base = ceil_div(total, GEMM_SLICE_CAP);
  int count = 0;
  for (int i = 0; i < GEMM_CUT_COUNT; i++) {
    const s64 d = base * kGemmCuts[i];
    if (d > total) break;
    const int e = (int)ceil_div(total, d);
    if (count == 0 || e != ext[count - 1]) ext[count++] = e;
  }
  return count;
}

// A plan with K whole is taken unless another is faster by more than an
// eighth: its sums run over k in order, as a single product's do.
void gemm_plan_of(gemm_plan_t *p, int M, int N, int K, int transA, int scale_A, int load_C, int scale_C) {
  ASSERT_FS(M > 0 && N > 0 && K > 0);
  int me[GEMM_CUT_COUNT], ne[GEMM_CUT_COUNT], ke[GEMM_CUT_COUNT];
  const int mc = cut_extents(M, me), nc = cut_extents(N, ne), kc = cut_extents(K, ke);
  // No plan beats the engines' peak; every step costs the ARM a product.
  const u64 peak = (u64)M * (u64)N / 1024u * (u64)K;
  const u64 per_step = GEMM_WRITE_CYCLES * GEMM_BD_WRITES;
  gemm_plan_t best = {}, whole = {};
  // The candidate: the loops set its extents, order and resident matrices,
  // gemm_plan_cost every other field of a plan it returns, so one record
  // cleared once serves every candidate.
  gemm_plan_t c = {};
  // K slices are tried from the deepest: the first depth that fits and the
  // next one.
  int fit_depths = 0;
  for (int ik = 0; ik < kc && fit_depths < 2; ik++) {
    fit_depths += best.cycles != 0;
    const u64 k = ceil_div_u64((u64)K, (u64)ke[ik]);
    // Along N and along M the time falls and then rises: each stops after
    // two rises.
    u64 n_last = 0;
    int n_rises = 0;
    for (int in = 0; in < nc && n_rises < 2; in++) {
      const u64 n = ceil_div_u64((u64)N, (u64)ne[in]);
      u64 last = 0, n_here = 0;
      int rises = 0;
      for (int im = 0; im < mc && rises < 2; im++) {
        const u64 m = ceil_div_u64((u64)M, (u64)me[im]);
        u64 here = 0;
        const u64 steps = m * n * k;
        // More steps only cost the ARM more.
        if (best.cycles != 0 && max_u64(steps * per_step, peak) >= best.cycles &&
            (ik != 0 || (whole.cycles != 0 && max_u64(steps * per_step, peak) >= whole.cycles)))
          break;
        // Both orders (one when they load alike). A resident matrix loads
        // less and never costs more time, only room: the first choice of
        // resident matrices that fits is the best, both, then the one the
        // order reloads most, then the other, then none.
        for (int order = m > 1 && n > 1 ? 1 : 0; order >= 0; order--) {
          const int a_reload = order ? n > 1 && !(m == 1 && k == 1) : n > 1 && k > 1;
          const int b_reload = order ? m > 1 && k > 1 : m > 1 && !(n == 1 && k == 1);
          static const u8 kChoices[2][4] = {{3, 2, 1, 0}, {3, 1, 2, 0}};  // bit 0: A, bit 1: B
          for (int i = 0; i < 4; i++) {
            const int res = kChoices[order][i];
            if (((res & 1) && !a_reload) || ((res & 2) && !b_reload)) continue;
            c.Ms = me[im], c.Ns = ne[in], c.Ks = ke[ik];
            c.n_outer = (u8)order;
            c.a_resident = (u8)(res & 1);
            c.b_resident = (u8)(res >> 1);
            const u64 t = gemm_plan_cost(&c, M, N, K, transA, scale_A, load_C, scale_C);
            if (t == 0) continue;
            if (here == 0 || t < here) here = t;
            if (best.cycles == 0 || t < best.cycles) best = c;
            if (c.k_secs == 1 && (whole.cycles == 0 || t < whole.cycles)) whole = c;
            break;
          }
        }
        if (here != 0) {
          rises = last != 0 && here >= last ? rises + 1 : 0;
          last = here;
          if (n_here == 0 || here < n_here) n_here = here;
        }
      }
      if (n_here != 0) {
        n_rises = n_last != 0 && n_here >= n_last ? n_rises + 1 : 0;
        n_last = n_here;
      }
    }
  }
  // The largest cuts leave slices of at most 512 in every dimension, which
  // fit a lane; a plan is always found.
  ASSERT_FS(best.cycles != 0);
  *p = whole.cycles != 0 && whole.cycles - whole.cycles / 9 <= best.cycles ? whole : best;
}

int gemm_plan_areas(const gemm_plan_t *p, local_area_t areas[GEMM_PLAN_AREA_COUNT]) {
  areas[0] = {"C slots", p->c_addr, p->c_slots * p->c_bytes};
  areas[1] = {"A slots", p->a_addr, p->a_slots * p->a_bytes};
  areas[2] = {"B slots", p->b_addr, p->b_slots * p->b_bytes};
  return GEMM_PLAN_AREA_COUNT;
}

void mat_move(mat_slice_t *m, int direction, cmd_id_node_t *node) {
  const int t = m->transposed;
  general_matrix_move_gen_cmd(m->local_addr, 0, m->global_addr, m->shape.w, t ? m->cols : m->rows,
                              t ? m->rows : m->cols, m->ld, GDMA_VALUE_FORMAT_FLOAT32,
                              direction ? GDMA_VALUE_DIR_L2S : GDMA_VALUE_DIR_S2L,
                              t ? (m->lane_transposed ^ 1) : 0, 0, node);
}

void mat_scale(mat_slice_t *m, u32 scale, cmd_id_node_t *node) {
  const u32 addr = LOCAL_ADDR_TAG | m->local_addr;
  atomic_mdscalar_operation_gen_cmd(addr, LOCAL_ADDR_TAG, addr, m->shape.n, m->shape.c, m->shape.h,
                                    m->shape.w, MD_SCALAR_MUL, 0, 0, 1, 0, scale, node);
}

void mat_mul(mat_slice_t *c, mat_slice_t *a, mat_slice_t *b, int result_add, cmd_id_node_t *node) {
  atomic_fc_gen_cmd(0, a->lane_transposed, result_add, LOCAL_ADDR_TAG | a->local_addr,
                    LOCAL_ADDR_TAG | b->local_addr, LOCAL_ADDR_TAG | c->local_addr, LOCAL_ADDR_TAG,
                    a->shape.w, a->shape.c, b->shape.w, b->shape.c, c->rows, a->cols, node);
}

// A move on `node` that waits only for tensor-engine command `bd_id` (the last
// one using the local slot it reads or writes) rather than for every command
// the node has seen.
static void mat_move_after(mat_slice_t *m, int direction, cmd_id_node_t *node, u32 bd_id) {
  cmd_id_node_t n = *node;
  n.bd_cmd_id = bd_id;
  mat_move(m, direction, &n);
  node->gdma_cmd_id = n.gdma_cmd_id;
}

// Sets a slice's extents for this step and recomputes its shape.
static void take_slice(mat_slice_t *m, int rows, int cols, u64 global_addr) {
  m->rows = rows;
  m->cols = cols;
  m->global_addr = global_addr;
  mat_tensor_shape(m);
}

static int min_int(int a, int b) { return a < b ? a : b; }

// C = beta * C: the whole product when the inner dimension is empty. A beta of
// 0 writes zeros without reading C; a beta of 1 leaves C as it is.
static void gemm_scale_only(int M, int N, u32 beta, u64 C, int ldc) {
  if (beta == 0x3f800000u) return;
  const int zero = (beta & 0x7fffffffu) == 0;
  // Slices planned as for a product with an inner dimension of 1.
  mat_slice_t a[2], b[2], c[2];
  for (int i = 0; i < 2; i++) {
    a[i].rows = min_int(M, GEMM_SLICE_CAP);
    a[i].cols = 1;
    b[i].rows = 1;
    b[i].cols = min_int(N, GEMM_SLICE_CAP);
    c[i].rows = a[i].rows;
    c[i].cols = b[i].cols;
    a[i].transposed = b[i].transposed = c[i].transposed = 0;
    a[i].lane_transposed = b[i].lane_transposed = c[i].lane_transposed = 0;
    a[i].ld = 1;
    b[i].ld = N;
    c[i].ld = ldc;
    a[i].global_addr = b[i].global_addr = c[i].global_addr = 0;
  }
  mat_slicing(a, b, c, 0);
  const int Ms = c[0].rows, Ns = c[0].cols;
  const u32 f_zero = 0;

  cmd_id_node_t node = {0, 0, 0};
  resync_cmd_id(&node);
  for (int r0 = 0; r0 < M; r0 += Ms) {
    const int rows = min_int(Ms, M - r0);
    for (int c0 = 0; c0 < N; c0 += Ns) {
      const int cols = min_int(Ns, N - c0);
      const u64 at = C + ((u64)r0 * (u64)ldc + (u64)c0) * 4u;
      if (zero) {
        fill_constant_gen_global_cmd_stride(at, &f_zero, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, rows, cols,
                                            rows * ldc, rows * ldc, ldc, 1, &node);
        continue;
      }
      // One buffer serves: the load, scale and store of a slice are ordered by
      // their ids, and GDMA keeps the next load behind this store.
      take_slice(&c[0], rows, cols, at);
      mat_move(&c[0], 0, &node);
      mat_scale(&c[0], beta, &node);
      mat_move(&c[0], 1, &node);
    }
  }
  poll_all_engine_done(&node);
}

// The command-id nodes of the product: loads on `move`, products on
// `compute`, merged into `main` between steps.
struct gemm_nodes_t {
  cmd_id_node_t main, move, compute;
};

static void gemm_resync(gemm_nodes_t *n) {
  resync_cmd_id(&n->main);
  resync_cmd_id(&n->move);
  resync_cmd_id(&n->compute);
}

// The last product using each slot of the two-slot matrices and of C: a load
// or store of a slot waits for that product only.
struct gemm_slot_uses_t {
  u32 a[2], b[2], c[3];
};

// Ids go into 16-bit fields: past the limit, wait for everything issued and
// count from 0 again (every slot is free then).
static void gemm_restart_ids_if_full(gemm_nodes_t *n, gemm_slot_uses_t *uses) {
  if (n->move.gdma_cmd_id <= CMD_ID_OVERFLOW_LIMIT && n->compute.bd_cmd_id <= CMD_ID_OVERFLOW_LIMIT) return;
  cmd_id_merge(&n->main, &n->move, &n->compute);
  poll_all_engine_done(&n->main);
  gemm_resync(n);
  *uses = gemm_slot_uses_t{};
}

// The step's loads, each after the last product that used its slot.
static void gemm_issue_loads(const gemm_plan_t &p, const gemm_step_t &step, mat_slice_t *cs, int c_slot, mat_slice_t *a,
                             mat_slice_t *b, const gemm_slot_uses_t &uses, cmd_id_node_t *load) {
  if (step.load_c) mat_move_after(cs, 0, load, uses.c[c_slot]);
  if (step.a_new) mat_move_after(a, 0, load, p.a_resident ? 0 : uses.a[step.a_slot]);
  if (step.b_new) mat_move_after(b, 0, load, p.b_resident ? 0 : uses.b[step.b_slot]);
}

static void gemm_issue_compute(const gemm_step_t &step, mat_slice_t *cs, mat_slice_t *a, mat_slice_t *b, u32 alpha,
                               u32 beta, cmd_id_node_t *compute) {
  if (step.scale_c) mat_scale(cs, beta, compute);
  if (step.scale_a) mat_scale(a, alpha, compute);
  mat_mul(cs, a, b, step.accumulate, compute);
}

void nodechip_cblas_gemm_v2_parallel(u8 transA, u8 transB, int M, int N, int K, u32 alpha, u64 A,
                                     int lda, u64 B, int ldb, u32 beta, u64 C, int ldc) {
  ASSERT_FS(M >= 0 && N >= 0 && K >= 0);
  // An empty C has nothing to compute; an empty inner dimension leaves beta * C.
  if (M == 0 || N == 0) return;
  if (K == 0) {
    gemm_scale_only(M, N, beta, C, ldc);
    return;
  }
  const u32 f_one = 0x3f800000u;
  gemm_flags_t f;
  f.load_C = (beta & 0x7fffffffu) != 0;  // beta != 0.0
  f.scale_C = beta != f_one;
  f.scale_A = alpha != f_one;

  gemm_plan_t p;
  gemm_plan_of(&p, M, N, K, transA != 0, f.scale_A, f.load_C, f.load_C && f.scale_C);
  const int Ms = p.Ms, Ks = p.Ks, Ns = p.Ns;

  mat_slice_t a = {}, b = {}, c[3] = {};
  a.transposed = a.lane_transposed = transA != 0;
  a.ld = lda;
  b.transposed = transB != 0;
  b.ld = ldb;
  c[0].ld = c[1].ld = c[2].ld = ldc;

  gemm_nodes_t nodes = {};
  gemm_resync(&nodes);
  gemm_slot_uses_t uses = {};
  gemm_loads_t loads = {0, 0, -1, -1};
  int step_index = 0, slot = 0;
  // C slices finished one and two steps back, not stored yet.
  mat_slice_t *pending = 0, *older = 0;
  int pending_slot = 0, older_slot = 0;
  const int outer = p.n_outer ? p.n_secs : p.m_secs, inner = p.n_outer ? p.m_secs : p.n_secs;
  for (int o = 0; o < outer; o++) {
    for (int in = 0; in < inner; in++) {
      const int mi = p.n_outer ? in : o, ni = p.n_outer ? o : in;
      const int r0 = mi * Ms, c0 = ni * Ns;
      const int rows = min_int(Ms, M - r0), cols = min_int(Ns, N - c0);
      mat_slice_t *cs = &c[slot];
      take_slice(cs, rows, cols, C + ((u64)r0 * (u64)ldc + (u64)c0) * 4u);
      cs->local_addr = p.c_addr + p.c_bytes * (u32)slot;
      for (int ki = 0; ki < p.k_secs; ki++, step_index++) {
        const gemm_step_t step = gemm_step_of(&p, &f, mi, ni, ki, &loads);
        gemm_count_loads(&loads, &p, &step);
        const int k0 = ki * Ks, depth = min_int(Ks, K - k0);
        take_slice(&a, rows, depth,
                   A + (transA ? (u64)k0 * (u64)lda + (u64)r0 : (u64)r0 * (u64)lda + (u64)k0) * 4u);
        take_slice(&b, depth, cols,
                   B + (transB ? (u64)c0 * (u64)ldb + (u64)k0 : (u64)k0 * (u64)ldb + (u64)c0) * 4u);
        a.local_addr = step.a_local;
        b.local_addr = step.b_local;
        if (step_index > 0) gemm_restart_ids_if_full(&nodes, &uses);
        // Loads: on the main node in the very first step. The compute stream
        // waits for them, the move stream for every computation issued so far.
        gemm_issue_loads(p, step, cs, slot, &a, &b, uses, step_index == 0 ? &nodes.main : &nodes.move);
        if (step_index > 0) cmd_id_merge(&nodes.main, &nodes.move, &nodes.compute);
        cmd_id_divide(&nodes.main, &nodes.move, &nodes.compute);
        gemm_issue_compute(step, cs, &a, &b, alpha, beta, &nodes.compute);
        uses.a[step.a_slot] = uses.b[step.b_slot] = uses.c[slot] = nodes.compute.bd_cmd_id;
        // The C slice finished two steps back is stored while this step
        // multiplies: it does not hold up the next step's loads behind the
        // product before this one. Its slot is next written three slices on,
        // by a product issued after the store.
        if (older != 0) mat_move_after(older, 1, &nodes.move, uses.c[older_slot]);
        older = pending, older_slot = pending_slot;
        pending = step.last_k ? cs : 0, pending_slot = slot;
      }
      // C slices take turns in the plan's slots (a counter in place of a
      // division by the slot count).
      if (++slot == (int)p.c_slots) slot = 0;
    }
  }
  cmd_id_merge(&nodes.main, &nodes.move, &nodes.compute);
  if (older != 0) mat_move(older, 1, &nodes.main);
  if (pending != 0) mat_move(pending, 1, &nodes.main);
  poll_all_engine_done(&nodes.main);
}
