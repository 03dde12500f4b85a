// The md_* global layers: scalar arithmetic, sums, linear maps, compare and
// select (with the batch reduction), special functions and broadcast binary.
#include "layers/eltwise/md_ops.h"

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/compare_select.h"
#include "local/math.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

#define LOCAL_BYTES 0x80000

static i64 plane_of(i64 rows, i64 w) { return align_up(rows * w, EU_NUM) * 4; }
static float f32_of(u32 bits) {
  float f;
  __builtin_memcpy(&f, &bits, 4);
  return f;
}

// A slice of n' items and h' rows of all channels, between device memory and
// the aligned layout at `local`.
static void md_move(u64 addr, u32 local, int n0, int items, int y0, int rows, int c, int h, int w,
                    gdma_direction_t dir, cmd_id_node_t *node) {
  const u64 chw = (u64)c * h * w, at = addr + 4 * ((u64)n0 * chw + (u64)y0 * w);
  if (dir == GDMA_VALUE_DIR_S2L) {
    general_align_tensor_move_G2L_gen_cmd(at, local, 0, items, c, rows, w, (int)chw, h * w, node);
  } else {
    general_align_tensor_move_L2G_gen_cmd(local, 0, at, items, c, rows, w, (int)chw, h * w, node);
  }
}

// ---- Scalar arithmetic ----

void nodechip_md_scalar(u64 A, u64 B, u64 R, int n, int c, int h, int w, int op, int result_add, int A_is_const,
                        int B_is_const, u32 A_const, u32 B_const, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const int k = (int)ceil_div(c, NPU_NUM);
  const i64 size = (i64)n * k * plane_of(h, w);
  const i64 a_slot = A_is_const ? 0 : (size > 0x10000 ? size : 0x10000);
  nh_secs_t secs = {1, 1};
  if (a_slot + (B_is_const ? 0 : size) + size > LOCAL_BYTES) same_tensor_split_nh(&secs, 3, LOCAL_BYTES, n, k, h, w);
  for (int i = 0; i < (int)secs.nsecs; i++) {
    const norm_section_t sn = norm_section_of(n, (int)secs.nsecs, i);
    for (int j = 0; j < (int)secs.hsecs; j++) {
      const norm_section_t sh = norm_section_of(h, (int)secs.hsecs, j);
      const u32 sl = (u32)sn.len * (u32)k * (u32)plane_of(sh.len, w);
      const u32 b_off = A_is_const ? 0 : (sl > 0x10000 ? sl : 0x10000);
      const u32 r_off = b_off + (B_is_const ? 0 : sl);
      if (!A_is_const) md_move(A, 0, sn.offset, sn.len, sh.offset, sh.len, c, h, w, GDMA_VALUE_DIR_S2L, node);
      if (!B_is_const) md_move(B, b_off, sn.offset, sn.len, sh.offset, sh.len, c, h, w, GDMA_VALUE_DIR_S2L, node);
      if (result_add) md_move(R, r_off, sn.offset, sn.len, sh.offset, sh.len, c, h, w, GDMA_VALUE_DIR_S2L, node);
      md_scalar_acc((md_scalar_op_t)op, operand_either(A_is_const, LOCAL_ADDR_TAG, A_const),
                    operand_either(B_is_const, LOCAL_ADDR_TAG | b_off, B_const), LOCAL_ADDR_TAG | r_off,
                    dim4(sn.len, c, sh.len, w), result_add, node);
      md_move(R, r_off, sn.offset, sn.len, sh.offset, sh.len, c, h, w, GDMA_VALUE_DIR_L2S, node);
    }
  }
}

void nodechip_1d_scalar(u64 A, u64 B, u64 R, u64 length, int op, int result_add, int A_is_const, int B_is_const,
                        u32 A_const, u32 B_const, cmd_id_node_t *node) {
  length_split_t split;
  init_length_split(&split, length, NULL);
  while (update_length_split(&split)) {
    const u64 at = 4 * split.offset;
    nodechip_md_scalar(A + at, B + at, R + at, split.n, split.c, split.h, split.w, op, result_add, A_is_const,
                       B_is_const, A_const, B_const, node);
  }
}

// ---- Sums per channel ----

void nodechip_md_sum(u64 input, u64 output, int n, int c, int h, int w, int accumulate, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const i64 hw = (i64)h * w;
  for (int c0 = 0; c0 < c; c0 += 4095) {
    const int C = c - c0 < 4095 ? c - c0 : 4095, k = (int)ceil_div(C, NPU_NUM);
    // Items first, then elements, until a slice and the sums fit.
    i64 slice[2] = {n, hw};
    enum { IN = 0, IH = 1 };
    auto fits = [&](i64 items, i64 m) {
      return (i64)k * 128 + (i64)k * items * align_up(m, EU_NUM) * 4 <= LOCAL_BYTES;
    };
    while (!fits(slice[IN], slice[IH]) && slice[IN] > 1) slice[IN]--;
    if (!fits(slice[IN], slice[IH])) {
      ASSERT_FS(slice[IN] > 1 || slice[IH] > 1);
      i64 lo = 1, hi = slice[IH];  // the largest element count that fits
      while (lo < hi) {
        const i64 mid = (lo + hi + 1) / 2;
        if (fits(1, mid)) lo = mid; else hi = mid - 1;
      }
      slice[IH] = lo;
      ASSERT_FS(fits(slice[IN], slice[IH]));
    }
    if (slice[IN] > 65535) slice[IN] = 65535;
    if (slice[IH] > 65535) slice[IH] = 65535;
    const u32 sums = (u32)((i64)k * slice[IN] * align_up(slice[IH], EU_NUM) * 4);
    if (accumulate) general_align_tensor_move_G2L_gen_cmd(output + 4 * (u64)c0, sums, 0, 1, C, 1, 1, C, 1, node);
    int first = !accumulate;
    for (i64 n0 = 0; n0 < n; n0 += slice[IN]) {
      const int N = (int)(n - n0 < slice[IN] ? n - n0 : slice[IN]);
      for (i64 m0 = 0; m0 < hw; m0 += slice[IH]) {
        const int M = (int)(hw - m0 < slice[IH] ? hw - m0 : slice[IH]);
        const u64 at = input + 4 * ((u64)n0 * c * hw + (u64)c0 * hw + (u64)m0);
        const int plane = (int)eu_plane((u32)M);
        stride_load(
            global_view(at, dim4(N, C, 1, M), dim4((int)((i64)c * hw), (int)hw, M, 1), GDMA_VALUE_FORMAT_FLOAT32),
            local_f32(0, dim4(k * plane, plane, M, 1)), node);
        atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG, LOCAL_ADDR_TAG | sums, N, C, 1, M, !first, node);
        first = 0;
      }
    }
    general_align_tensor_move_L2G_gen_cmd(sums, 0, output + 4 * (u64)c0, 1, C, 1, 1, C, 1, node);
  }
}

// ---- Linear map per channel ----

void nodechip_md_linear(u64 X, u64 B, u64 S, u64 Y, int n, int c, int h, int w, int result_add, int B_is_const,
                        int S_is_const, u32 B_const, u32 S_const, int mode, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const u64 hw = (u64)h * w;
  for (int c0 = 0; c0 < c; c0 += 4095) {
    const int C = c - c0 < 4095 ? c - c0 : 4095, k = (int)ceil_div(C, NPU_NUM);
    const u32 s_off = B_is_const ? 0 : (u32)ALIGN(k, 32) * 4;
    nh_secs_t secs = {1, 1};
    if ((i64)2 * n * k * plane_of(h, w) > 0x70000) same_tensor_split_nh(&secs, 2, 0x70000, n, k, h, w);
    // The check of every slice before anything of the chunk is issued.
    for (int i = 0; i < (int)secs.nsecs; i++) {
      const i64 size = (i64)norm_section_of(n, (int)secs.nsecs, i).len * k * plane_of(ceil_div(h, secs.hsecs), w);
      const i64 Y_local_offset = 0x10000 + size, A_tensor_size = size;
      ASSERT_FS(Y_local_offset + A_tensor_size <= (1<<19));
    }
    if (!B_is_const)
      tensor_compact_move_gen_cmd(0, 0, B + 4 * (u64)c0, 1, C, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                  node);
    if (!S_is_const)
      tensor_compact_move_gen_cmd(s_off, 0, S + 4 * (u64)c0, 1, C, 1, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                  GDMA_VALUE_DIR_S2L, 0, node);
    for (int i = 0; i < (int)secs.nsecs; i++) {
      const norm_section_t sn = norm_section_of(n, (int)secs.nsecs, i);
      for (int j = 0; j < (int)secs.hsecs; j++) {
        const norm_section_t sh = norm_section_of(h, (int)secs.hsecs, j);
        const u32 size = (u32)sn.len * (u32)k * (u32)plane_of(sh.len, w), y_off = 0x10000 + size;
        const u64 at = 4 * ((u64)sn.offset * c * hw + (u64)c0 * hw + (u64)sh.offset * w);
        const int plane = (int)eu_plane((u32)sh.len * (u32)w);
        auto move = [&](u64 addr, u32 local, gdma_direction_t dir) {
          stride_move(global_view(addr + at, dim4(sn.len, C, sh.len, w), dim4((int)((u64)c * hw), (int)hw, w, 1),
                                  GDMA_VALUE_FORMAT_FLOAT32),
                      local_f32(local, dim4(k * plane, plane, w, 1)), dir, node);
        };
        move(X, 0x10000, GDMA_VALUE_DIR_S2L);
        if (result_add) move(Y, y_off, GDMA_VALUE_DIR_S2L);
        atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | 0x10000, B_is_const ? 0 : LOCAL_ADDR_TAG,
                                 S_is_const ? 0 : LOCAL_ADDR_TAG | s_off, LOCAL_ADDR_TAG | y_off, sn.len, C, sh.len, w,
                                 B_is_const, S_is_const, B_const, S_const, result_add, mode, node);
        move(Y, y_off, GDMA_VALUE_DIR_L2S);
      }
    }
  }
}

// ---- Compare and select ----

namespace {
// Y = max(A, B) and R = A > B ? C : D by the engine's command or the composite.
void cmp(int native, u32 A, u32 B, u32 C, u32 D, u32 Y, u32 R, int N, int Cn, int H, int W, int Ac, int Bc, int Cc,
         int Dc, u32 Av, u32 Bv, u32 Cv, u32 Dv, int result_skip, cmd_id_node_t *node) {
  if (native) {
    const int mode = result_skip == 1 ? 1 : result_skip == 2 ? 2 : 3;
    atomic_md_cmp_gen_cmd(Ac ? Av : A, Bc ? Bv : B, C, D, Y, R, N, Cn, H, W, Ac, Bc, Cc, Dc, Av, Bv, Cv, Dv, mode,
                          node);
  } else {
    md_cmp_gen_cmd(A, B, C, D, Y, R, N, Cn, H, W, Ac, Bc, Cc, Dc, f32_of(Av), f32_of(Bv), f32_of(Cv), f32_of(Dv),
                   result_skip, node);
  }
}
}  // namespace

void nodechip_md_cmp(u64 A, u64 B, u64 C, u64 D, u64 Y, u64 R, int n, int c, int h, int w, int A_is_const,
                     int B_is_const, int C_is_const, int D_is_const, u32 A_const, u32 B_const, u32 C_const,
                     u32 D_const, int result_skip, int reduction, int minimum, int native, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const int k = (int)ceil_div(c, NPU_NUM);
  const u32 O = (u32)((reduction ? 1 : n) * (i64)k * plane_of(h, w));
  const i64 offset_local_end = (i64)O * 6;
  ASSERT_FS(offset_local_end <= (1<<19));
  if (!reduction) {
    const u64 addr[4] = {A, B, C, D};
    const int is_const[4] = {A_is_const, B_is_const, C_is_const, D_is_const};
    for (int i = 0; i < 4; i++)
      if (!is_const[i]) md_move(addr[i], (u32)i * O, 0, n, 0, h, c, h, w, GDMA_VALUE_DIR_S2L, node);
    cmp(native, LOCAL_ADDR_TAG, LOCAL_ADDR_TAG | O, LOCAL_ADDR_TAG | (2 * O), LOCAL_ADDR_TAG | (3 * O),
        LOCAL_ADDR_TAG | (4 * O), LOCAL_ADDR_TAG | (5 * O), n, c, h, w, A_is_const, B_is_const, C_is_const, D_is_const,
        A_const, B_const, C_const, D_const, result_skip, node);
    if (result_skip != 2) md_move(Y, 4 * O, 0, n, 0, h, c, h, w, GDMA_VALUE_DIR_L2S, node);
    if (result_skip != 1) md_move(R, 5 * O, 0, n, 0, h, c, h, w, GDMA_VALUE_DIR_L2S, node);
    return;
  }
  // The batch maximum (or minimum) and the index of its first occurrence, over
  // every item whatever the count: items are taken one by one against the best
  // so far, and only a strictly better item replaces it.
  const u32 X = 0, V[2] = {O, 2 * O}, I[2] = {3 * O, 4 * O}, scratch = 5 * O;
  const int with_index = result_skip != 1;
  md_move(A, V[0], 0, 1, 0, h, c, h, w, GDMA_VALUE_DIR_S2L, node);
  if (with_index) local_fill_const_gen_cmd(LOCAL_ADDR_TAG | I[0], 1, c, h, w, norm_f32_bits(0.0f), node);
  int cur = 0;
  for (int i = 1; i < n; i++) {
    md_move(A, X, i, 1, 0, h, c, h, w, GDMA_VALUE_DIR_S2L, node);
    const u32 v = LOCAL_ADDR_TAG | V[cur], v2 = LOCAL_ADDR_TAG | V[1 - cur], idx = LOCAL_ADDR_TAG | I[cur],
              idx2 = LOCAL_ADDR_TAG | I[1 - cur];
    const u32 iv = norm_f32_bits((float)i);
    if (!minimum) {
      // new best = max(x, best); index = x > best ? i : index.
      if (with_index) {
        cmp(native, LOCAL_ADDR_TAG | X, v, 0, idx, v2, idx2, 1, c, h, w, 0, 0, 1, 0, 0, 0, iv, 0, 0, node);
      } else {
        cmp(native, LOCAL_ADDR_TAG | X, v, 0, 0, v2, 0, 1, c, h, w, 0, 0, 1, 1, 0, 0, 0, 0, 1, node);
      }
    } else {
      // best > x: x is strictly smaller and takes the place.
      if (with_index)
        cmp(native, v, LOCAL_ADDR_TAG | X, 0, idx, LOCAL_ADDR_TAG | scratch, idx2, 1, c, h, w, 0, 0, 1, 0, 0, 0, iv, 0,
            2, node);
      atomic_md_cmp_gen_cmd(v, LOCAL_ADDR_TAG | X, LOCAL_ADDR_TAG | X, v, 0, v2, 1, c, h, w, 0, 0, 0, 0, 0, 0, 0, 0, 2,
                            node);
    }
    cur = 1 - cur;
  }
  if (result_skip != 2) md_move(Y, V[cur], 0, 1, 0, h, c, h, w, GDMA_VALUE_DIR_L2S, node);
  if (with_index) md_move(R, I[cur], 0, 1, 0, h, c, h, w, GDMA_VALUE_DIR_L2S, node);
}

// ---- Special functions ----

int md_sfu_spilt(int n, int c, int h, int w, md_sfu_slice_t *slice) {
  const i64 NC = (i64)n * c, plane = plane_of(h, w), lanes = ceil_div(NC, NPU_NUM);
  const float x = 131072.0f / (float)plane;
  if ((float)lanes <= x && NC <= 4095) {
    slice->planes = (int)NC;
    slice->rows = h;
    return 1;
  }
  if (x >= 1.0f) {
    i64 planes = (float)lanes <= x ? 4095 : (i64)x * 64;
    if (planes > 4095) planes = 4095;
    slice->planes = (int)planes;
    slice->rows = h;
    return 2;
  }
  int rows = h;
  while (rows > 0 && plane_of(rows, w) > 131072) rows--;
  slice->planes = 64;
  slice->rows = rows;
  return rows > 0 ? 3 : 0;
}

void nodechip_md_sfu(u64 input, u64 output, int n, int c, int h, int w, int unused, int e, int type, int f,
                     cmd_id_node_t *node) {
  (void)unused;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  if (type < 0 || type > 3) ASSERT_FS(0);
  md_sfu_slice_t sl;
  if (md_sfu_spilt(n, c, h, w, &sl) == 0) return;
  const i64 NC = (i64)n * c, hw = (i64)h * w;
  const int hs = (int)ceil_div(h, sl.rows);
  const i64 slices = ceil_div(NC, sl.planes) * hs;
  // Planes p0 .. p0 + P - 1, rows y0 .. y0 + r - 1, as 1 x P x r x w.
  struct part_t {
    i64 p0;
    int P, y0, r;
  };
  auto part_of = [&](i64 s) {
    const i64 p0 = (s / hs) * sl.planes;
    const int y0 = (int)(s % hs) * sl.rows;
    return part_t{p0, (int)(NC - p0 < sl.planes ? NC - p0 : sl.planes), y0, h - y0 < sl.rows ? h - y0 : sl.rows};
  };
  auto move = [&](u64 addr, u32 local, const part_t &p, gdma_direction_t dir, cmd_id_node_t *nd) {
    const int plane = (int)eu_plane((u32)p.r * (u32)w), k = (int)ceil_div(p.P, NPU_NUM);
    const u64 at = addr + 4 * ((u64)p.p0 * hw + (u64)p.y0 * w);
    stride_move(global_view(at, dim4(1, p.P, p.r, w), dim4((int)(NC * hw), (int)hw, w, 1), GDMA_VALUE_FORMAT_FLOAT32),
                local_f32(local, dim4(k * plane, plane, w, 1)), dir, nd);
  };
  // Types 1 and 2 leave the result in the input buffer, 0 and 3 in the output.
  auto compute = [&](u32 in, u32 out, const part_t &p, cmd_id_node_t *nd) {
    switch (type) {
      case 0:
        tensor_xn(LOCAL_ADDR_TAG | in, LOCAL_ADDR_TAG | out, e, 1, p.P, p.r, w, nd);
        break;
      case 1:
        tensor_ex(LOCAL_ADDR_TAG | in, LOCAL_ADDR_TAG | out, EX_TABLE_LEN, EX_INT_TABLE, EX_EXP_TABLE, EX_COEFF_NUM,
                  EX_EXPM1_COEFF, 1, p.P, p.r, w, nd);
        break;
      case 2:
        tensor_lnx(LOCAL_ADDR_TAG | in, LOCAL_ADDR_TAG | out, EX_TABLE_LEN, EX_LOG_TABLE, EX_COEFF_NUM, EX_LOG1P_COEFF,
                   1, p.P, p.r, w, nd);
        break;
      default:
        atomic_md_sfu_gen_cmd(LOCAL_ADDR_TAG | in, LOCAL_ADDR_TAG | out, 1, p.P, p.r, w, e, SFU_RSQ, (u32)f, nd);
        break;
    }
  };
  const u32 in_buf[2] = {0, 0x20000}, out_buf[2] = {0x40000, 0x60000};
  auto result = [&](int s) { return type == 1 || type == 2 ? in_buf[s % 2] : out_buf[s % 2]; };
  cmd_id_node_t move_node, compute_node;
  for (i64 s = 0; s <= slices; s++) {
    cmd_id_divide(node, &move_node, &compute_node);
    if (s < slices) move(input, in_buf[s % 2], part_of(s), GDMA_VALUE_DIR_S2L, &move_node);
    if (s > 0) compute(in_buf[(s - 1) % 2], out_buf[(s - 1) % 2], part_of(s - 1), &compute_node);
    cmd_id_merge(node, &move_node, &compute_node);
    if (s > 0) move(output, result((int)((s - 1) % 2)), part_of(s - 1), GDMA_VALUE_DIR_L2S, node);
  }
}

// ---- Two-tensor operation with broadcast ----

void nodechip_md_ops_parallel(u64 A, u64 B, u64 R, int in_a, int ic_a, int ih_a, int iw_a, int in_b, int ic_b,
                              int ih_b, int iw_b, int op, int A_is_const, int B_is_const, int A_const, int B_const,
                              cmd_id_node_t *node) {
  const int N = in_a > in_b ? in_a : in_b, C = ic_a > ic_b ? ic_a : ic_b;
  const int H = ih_a > ih_b ? ih_a : ih_b, W = iw_a > iw_b ? iw_a : iw_b;
  ASSERT_FS(N > 0 && C > 0 && H > 0 && W > 0);
  if (in_a != N) ASSERT_FS(in_a == 1);
  if (in_b != N) ASSERT_FS(in_b == 1);
  if (ic_a != C) ASSERT_FS(ic_a == 1);
  if (ic_b != C) ASSERT_FS(ic_b == 1);
  if (ih_a != H) ASSERT_FS(ih_a == 1);
  if (ih_b != H) ASSERT_FS(ih_b == 1);
  if (iw_a != W) ASSERT_FS(iw_a == 1);
  if (iw_b != W) ASSERT_FS(iw_b == 1);
  const int k = (int)ceil_div(C, NPU_NUM);
  // Items and rows of each tensor for given section counts, and the bytes.
  struct side_t {
    int n, h, w;
  };
  const side_t sa = {in_a, ih_a, iw_a}, sb = {in_b, ih_b, iw_b};
  auto rounded = [](i64 v) { return align_up(v, 0x10000); };
  auto bytes = [&](const side_t &s, int items, int rows) { return (i64)k * items * plane_of(rows, s.w); };
  int nsecs = 1, hsecs = 1;
  auto total = [&]() {
    const int ni = (int)ceil_div(N, nsecs), hi = (int)ceil_div(H, hsecs);
    const i64 a = A_is_const ? 0 : bytes(sa, sa.n == 1 ? 1 : ni, sa.h == 1 ? 1 : hi);
    const i64 b = B_is_const ? 0 : bytes(sb, sb.n == 1 ? 1 : ni, sb.h == 1 ? 1 : hi);
    return rounded(a) + rounded(b) + (i64)k * ni * plane_of(hi, W);
  };
  while (total() > 0x3FFFF) {
    if (nsecs < N) {
      nsecs++;
    } else if (hsecs < H) {
      hsecs++;
    } else {
      ASSERT_FS(0);
    }
  }
  const int nstep = (int)ceil_div(N, nsecs), hstep = (int)ceil_div(H, hsecs);
  const i64 a_bytes = A_is_const ? 0 : rounded(bytes(sa, sa.n == 1 ? 1 : nstep, sa.h == 1 ? 1 : hstep));
  const i64 b_bytes = B_is_const ? 0 : rounded(bytes(sb, sb.n == 1 ? 1 : nstep, sb.h == 1 ? 1 : hstep));
  const u32 set[2] = {0, 0x40000};
  const u32 b_at = (u32)a_bytes, r_at = (u32)(a_bytes + b_bytes);
  const float Af = (float)A_const, Bf = (float)B_const;
  struct slice_t {
    int n0, items, y0, rows;
  };
  const int hsl = (int)ceil_div(H, hstep), slices = (int)ceil_div(N, nstep) * hsl;
  auto slice_of = [&](int s) {
    const int n0 = (s / hsl) * nstep, y0 = (s % hsl) * hstep;
    return slice_t{n0, N - n0 < nstep ? N - n0 : nstep, y0, H - y0 < hstep ? H - y0 : hstep};
  };
  // One operand of a slice: its own items and rows (1 where it is broadcast),
  // a single channel copied into min(C, 64) lanes when it is broadcast there.
  auto load = [&](u64 addr, const side_t &s, int ic, u32 local, const slice_t &sl, cmd_id_node_t *nd) {
    const int items = s.n == 1 ? 1 : sl.items, rows = s.h == 1 ? 1 : sl.rows;
    const int n0 = s.n == 1 ? 0 : sl.n0, y0 = s.h == 1 ? 0 : sl.y0;
    const int spread = ic == 1 && C > 1, lanes = spread ? (C < NPU_NUM ? C : NPU_NUM) : C;
    const int plane = (int)eu_plane((u32)rows * (u32)s.w), kk = (int)ceil_div(lanes, NPU_NUM);
    const u64 chw = (u64)ic * s.h * s.w;
    stride_load(global_view(addr + 4 * ((u64)n0 * chw + (u64)y0 * s.w), dim4(items, lanes, rows, s.w),
                            dim4((int)chw, spread ? 0 : s.h * s.w, s.w, 1), GDMA_VALUE_FORMAT_FLOAT32),
                local_f32(local, dim4(kk * plane, plane, s.w, 1)), nd);
  };
  auto strides_of = [&](const side_t &s, int ic, const slice_t &sl) {
    const int rows = s.h == 1 ? 1 : sl.rows, plane = (int)eu_plane((u32)rows * (u32)s.w);
    const int kk = ic == 1 && C > 1 ? 1 : k;
    return dim4_t{s.n == 1 ? 0 : kk * plane, ic == 1 && C > 1 ? 0 : plane, s.h == 1 ? 0 : s.w, s.w == 1 ? 0 : 1};
  };
  auto compute = [&](u32 base, const slice_t &sl, cmd_id_node_t *nd) {
    const dim4_t shape = {sl.items, C, sl.rows, W};
    const dim4_t as = strides_of(sa, ic_a, sl), bs = strides_of(sb, ic_b, sl);
    const int plane = (int)eu_plane((u32)sl.rows * (u32)W);
    const dim4_t rs = {k * plane, plane, W, 1};
    tensor_arith_issue(
        tensor_arith_of((tensor_op_t)op, operand_either(A_is_const, LOCAL_ADDR_TAG | base, norm_f32_bits(Af)), as,
                        operand_either(B_is_const, LOCAL_ADDR_TAG | (base + b_at), norm_f32_bits(Bf)), bs,
                        LOCAL_ADDR_TAG | (base + r_at), rs, shape),
        nd);
  };
  auto store = [&](u32 base, const slice_t &sl, cmd_id_node_t *nd) {
    md_move(R, base + r_at, sl.n0, sl.items, sl.y0, sl.rows, C, H, W, GDMA_VALUE_DIR_L2S, nd);
  };
  cmd_id_node_t move, comp;
  for (int s = 0; s < slices; s++) {
    const slice_t sl = slice_of(s);
    cmd_id_node_t *loader = s == 0 ? node : &move;
    if (!A_is_const) load(A, sa, ic_a, set[s % 2], sl, loader);
    if (!B_is_const) load(B, sb, ic_b, set[s % 2] + b_at, sl, loader);
    if (s > 0) cmd_id_merge(node, &move, &comp);
    cmd_id_divide(node, &move, &comp);
    compute(set[s % 2], sl, &comp);
    if (s > 0) store(set[(s - 1) % 2], slice_of(s - 1), &move);
  }
  cmd_id_merge(node, &move, &comp);
  store(set[(slices - 1) % 2], slice_of(slices - 1), node);
}
