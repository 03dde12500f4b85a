// Float class tests as byte masks, the scaled sum of powers, the sum over the
// batch, the matrix band and the table lookup.
#include "layers/eltwise/misc_math.h"

#include <string.h>

#include "cmd/bd_fc.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/tensor_ops.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/conversion.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

#define LOCAL_MEM_BYTES 0x80000
// L2 SRAM scratch of the layers: the 64 per-channel sums on their way into
// one lane.
#define SUM_X2N_L2_SCRATCH 0x100a2000ull

static void flat_load(u64 addr, u32 local, const length_split_t &s, cmd_id_node_t *node) {
  general_align_tensor_move_G2L_gen_cmd(addr + 4 * s.offset, local, 0, s.n, s.c, s.h, s.w, s.c * s.h * s.w, s.h * s.w,
                                        node);
}

void nodechip_f32_is(u64 input, u64 output, u64 length, int what, cmd_id_node_t *node) {
  const u32 b = what == 1 ? 0x10000 : 0x20000;
  const u32 in[2] = {0, b}, mask[2] = {2 * b, 3 * b}, scratch = 4 * b;
  split_info_t hint;
  split_info_hint_by_localmem(&hint, (int)b, 4);
  length_split_t split;
  init_length_split(&split, length, &hint);
  cmd_id_node_t move, compute;
  length_split_t prev = split;
  int k = 0;
  for (int more = 1; more;) {
    more = update_length_split(&split);
    cmd_id_divide(node, &move, &compute);
    if (more) flat_load(input, in[k % 2], split, &move);
    if (k > 0) {
      const dim4_t shape = {prev.n, prev.c, prev.h, prev.w};
      tensor_f32_is(in[(k - 1) % 2], mask[(k - 1) % 2], what, &scratch, 1, &shape, NULL, &compute);
    }
    cmd_id_merge(node, &move, &compute);
    if (k > 0) {
      // The low byte of every 32-bit result, as n x c x 1 x (h w) bytes.
      const int W = prev.h * prev.w;
      ASSERT_FS(W <= 65535);
      const int plane = (int)eu_plane((u32)W), cpl = (int)ceil_div(prev.c, NPU_NUM);
      // The low byte of every float word, densely.
      move_l2g(local_view(mask[(k - 1) % 2], 0, dim4(4 * cpl * plane, 4 * plane, 4 * W, 4), GDMA_VALUE_FORMAT_INT8),
               global_view(output + prev.offset, dim4(prev.n, prev.c, 1, W), dim4(prev.c * W, W, W, 1),
                           GDMA_VALUE_FORMAT_INT8),
               node);
    }
    prev = split;
    k++;
  }
}

void nodechip_sum_x2n(u64 input, u64 output, u64 length, int count, float scale, cmd_id_node_t *node) {
  ASSERT_FS(count >= 0);
  // Pieces of at most 48 rows of 1024 elements a lane fit their 192 KB
  // buffers whatever the length.
  const split_info_t hint = {1, NPU_NUM, SUM_X2N_ROWS, 1024};
  const u32 in[2] = {0, 0x30000}, partial = 0x60000, total = 0x70000;
  length_split_t split;
  init_length_split(&split, length, &hint);
  // The per-channel sums of all pieces, in every lane.
  local_fill_const_gen_cmd(LOCAL_ADDR_TAG | partial, 1, NPU_NUM, 1, 1, 0, node);
  cmd_id_node_t move, compute;
  length_split_t prev = split;
  int k = 0;
  for (int more = 1; more;) {
    more = update_length_split(&split);
    if (more)
      ASSERT_FS((i64)split.n * ceil_div(split.c, NPU_NUM) * eu_plane((u32)split.h * (u32)split.w) * 4 <= 0x30000);
    cmd_id_divide(node, &move, &compute);
    if (more) flat_load(input, in[k % 2], split, &move);
    if (k > 0) {
      const u32 x = LOCAL_ADDR_TAG | in[(k - 1) % 2];
      const dim4_t shape = dim4(prev.n, prev.c, prev.h, prev.w);
      for (int i = 0; i < count; i++) md_scalar(MD_SCALAR_MUL, operand_at(x), operand_at(x), x, shape, &compute);
      atomic_md_sum_gen_cmd(x, LOCAL_ADDR_TAG | partial, prev.n, prev.c, prev.h, prev.w, 1, &compute);
    }
    cmd_id_merge(node, &move, &compute);
    prev = split;
    k++;
  }
  // The 64 channel sums through L2 SRAM into one lane, summed there.
  general_align_tensor_move_L2G_gen_cmd(partial, 0, SUM_X2N_L2_SCRATCH, 1, NPU_NUM, 1, 1, NPU_NUM, 1, node);
  tensor_compact_move_gen_cmd(total, 0, SUM_X2N_L2_SCRATCH, 1, 1, 1, NPU_NUM, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, node);
  atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | total, LOCAL_ADDR_TAG | partial, 1, 1, 1, NPU_NUM, 0, node);
  if (scale != 1.0f)
    atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | partial, LOCAL_ADDR_TAG | partial, 1, 1, 1, 1, 0, norm_f32_bits(scale),
                            node);
  tensor_compact_move_gen_cmd(partial, 0, output, 1, 1, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

// ---- Sum over the batch ----

static i64 img_sum_bytes(int n, int c, int h, int w, int ns, int cs, int hs) {
  return align_up((i64)w * ceil_div(h, hs), EU_NUM) * 4 * ceil_div(ceil_div(c, cs), NPU_NUM) * (ceil_div(n, ns) + 1);
}

void get_slice_num_img_sum(int n, int c, int h, int w, int *nsecs, int *csecs, int *hsecs) {
  const i64 need = ceil_div(c, NPU_NUM) * (i64)(n + 1) * align_up((i64)h * w, EU_NUM) * 4;
  const i64 start = ceil_div(need, LOCAL_MEM_BYTES);
  i64 ns = start, cs = 1, hs = 1;
  if (start >= n) {
    if ((i64)n * c < start) {
      cs = c;
      if ((i64)n * c * h < start) {
        ns = n;
        hs = h;
      } else {
        hs = start / ((i64)n * c / 2 > 0 ? (i64)n * c / 2 : 1) + 1;
        ns = n / 2;
      }
    } else {
      cs = start / (n / 2 > 0 ? n / 2 : 1) + 1;
      ns = n / 2;
    }
  }
  // Counts stay within their extents (a batch of one has no half).
  ns = ns < 1 ? 1 : ns > n ? n : ns;
  cs = cs < 1 ? 1 : cs > c ? c : cs;
  hs = hs < 1 ? 1 : hs > h ? h : hs;
  while (img_sum_bytes(n, c, h, w, (int)ns, (int)cs, (int)hs) > LOCAL_MEM_BYTES) {
    if (ns < n - 1) {
      ns++;
    } else if (cs < c) {
      cs++;
    } else if (hs < h) {
      hs++;
    } else {
      ASSERT_FS(0);
    }
  }
  *nsecs = (int)ns;
  *csecs = (int)cs;
  *hsecs = (int)hs;
}

static void nodechip_img_sum_internal(int ni, int nsecs, cmd_id_node_t *node, u64 input, u64 output, int accumulate,
                                      int images, int channels, int rows, int w, int c, int h) {
  const i64 plane = (i64)ceil_div((i64)rows * w, EU_NUM) * ceil_div(channels, NPU_NUM) * 128;
  const i64 offset_local_end = plane * (images + 1);
  ASSERT_FS(offset_local_end <= (1<<19));
  const int hw = h * w;
  if (ni == 0 && accumulate)
    general_align_tensor_move_G2L_gen_cmd(output, 0, 0, 1, channels, rows, w, c * hw, hw, node);
  general_align_tensor_move_G2L_gen_cmd(input, (u32)plane, 0, images, channels, rows, w, c * hw, hw, node);
  atomic_img_sum_gen_cmd(LOCAL_ADDR_TAG | (u32)plane, LOCAL_ADDR_TAG, images, channels, rows, w, ni > 0 || accumulate,
                         node);
  if (ni == nsecs - 1) general_align_tensor_move_L2G_gen_cmd(0, 0, output, 1, channels, rows, w, c * hw, hw, node);
}

void nodechip_img_sum(u64 input, u64 output, int accumulate, int n, int c, int h, int w, cmd_id_node_t *node) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  int ns, cs, hs;
  get_slice_num_img_sum(n, c, h, w, &ns, &cs, &hs);
  const u64 hw = (u64)h * w, chw = (u64)c * hw;
  for (int ci = 0; ci < cs; ci++) {
    const norm_section_t sc = norm_section_of(c, cs, ci);
    for (int hi = 0; hi < hs; hi++) {
      const norm_section_t sh = norm_section_of(h, hs, hi);
      for (int ni = 0; ni < ns; ni++) {
        const norm_section_t sn = norm_section_of(n, ns, ni);
        const u64 at = (u64)sc.offset * hw + (u64)sh.offset * w;
        nodechip_img_sum_internal(ni, ns, node, input + 4 * ((u64)sn.offset * chw + at), output + 4 * at, accumulate,
                                  sn.len, sc.len, sh.len, w, c, h);
      }
    }
  }
}

// ---- Matrix band ----

void nodechip_matrix_band_part(u64 input, u64 output, const int *shape, int dims, int lower, int upper,
                               cmd_id_node_t *node) {
  ASSERT(dims >= 2);
  i64 matrices = 1;
  for (int i = 0; i < dims - 2; i++) matrices *= shape[i];
  const int rows = shape[dims - 2], cols = shape[dims - 1];
  ASSERT_FS(matrices > 0 && matrices <= 0x7fffffff && rows > 0 && cols > 0);
  // Offsets and the matrix stride are 32-bit fields of the moves.
  ASSERT_FS(matrices * rows <= 0x7fffffff / cols, "%d x %d x %d", (int)matrices, rows, cols);
  if (upper < 0) upper = cols - 1;
  if (lower < 0) lower = rows - 1;
  // The whole output as one run of words: a matrix may have more rows than
  // one fill command takes.
  const int total = (int)(matrices * rows * cols);
  nodechip_memset(output, 1, 1, 1, total, total, total, total, 0, node);
  for (int m = 0; m < rows; m++) {
    const int lo = m - lower > 0 ? m - lower : 0;
    const i64 hi_end = (i64)m + upper;
    const int hi = hi_end < cols - 1 ? (int)hi_end : cols - 1;
    if (hi < lo) continue;
    const u64 at = 4 * ((u64)m * cols + (u64)lo);
    const dim4_t row = dim4((int)matrices, 1, 1, hi - lo + 1), st = dim4(rows * cols, 1, 1, 1);
    move_g2g(global_view(input + at, row, st, GDMA_VALUE_FORMAT_FLOAT32),
             global_view(output + at, row, st, GDMA_VALUE_FORMAT_FLOAT32), node);
    // One move a row: tall matrices pass the 16-bit command ids.
    fix_cmd_node_overflow(node);
  }
}

// ---- Table lookup ----

void lut_global_plan_of(lut_global_plan_t *plan, int n, int c, int h, int w, int is_1n) {
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0, "n=%d c=%d h=%d w=%d", n, c, h, w);
  const i64 t = (i64)n * c * h * w;
  // Element offsets are 32-bit fields of the moves.
  ASSERT_FS(t <= 0x7fffffff, "%d x %d x %d x %d elements", n, c, h, w);
  memset(plan, 0, sizeof(*plan));
  plan->is_1n = is_1n ? 1 : 0;
  plan->total = t;
  int cpl;
  if (plan->is_1n) {
    plan->groups = 1;
    plan->channels = t < 2048 ? (int)ceil_div(t, 32) : NPU_NUM;
    plan->rows = t < 2048 ? 32 : (int)ceil_div(t, NPU_NUM);
    plan->w = 1;
    cpl = 1;
  } else {
    plan->groups = (int)ceil_div(n, 4);
    plan->channels = c;
    plan->rows = h;
    plan->w = w;
    cpl = (int)ceil_div(c, NPU_NUM);
  }
  nh_secs_t secs;
  same_tensor_split_nh(&secs, 1, LUT_AREA_BYTES, 1, cpl, plan->rows, plan->w);
  plan->hsecs = (int)secs.hsecs;
  if (ceil_div(plan->rows, plan->hsecs) > 65534) plan->hsecs = (int)ceil_div(plan->rows, 65535);
  const u32 elems = (u32)ceil_div(plan->rows, plan->hsecs) * (u32)plan->w;
  const u32 index_bytes = plan->is_1n ? ALIGN(elems, 128u) : 4u * (u32)cpl * eu_plane(elems);
  plan->area_count = 2;
  plan->areas[0] = local_area_t{"indices", LUT_INDEX_LOCAL, index_bytes};
  plan->areas[1] = local_area_t{"results", LUT_RESULT_LOCAL, 4u * (u32)cpl * eu_plane(elems)};
}

// 1N: rows [r0, r0 + r) of the view's channels, only the elements below t.
static void lut_1n_section(const lut_global_plan_t &p, u64 input, u64 output, int r0, int r, cmd_id_node_t *node) {
  const i64 end = (i64)r0 + r;
  // Channels whose rows of this section lie wholly below t, then at most one
  // cut channel.
  const int whole = p.total < end ? 0 : (int)((p.total - end) / p.rows + 1 < p.channels ? (p.total - end) / p.rows + 1
                                                                                     : p.channels);
  const i64 rest = whole < p.channels ? p.total - ((i64)whole * p.rows + r0) : 0;
  const int cut = rest > 0 ? (int)rest : 0;
  const int ip = (int)ALIGN((u32)r, 128u), rp = (int)eu_plane((u32)r);
  if (whole > 0)
    move_g2l(global_view(input + (u64)r0, dim4(1, whole, 1, r), dim4(p.rows * whole, p.rows, r, 1),
                         GDMA_VALUE_FORMAT_INT8),
             local_view(LUT_INDEX_LOCAL, 0, dim4(ip, ip, r, 1), GDMA_VALUE_FORMAT_INT8), node);
  if (cut > 0)
    move_g2l(global_view(input + (u64)((i64)whole * p.rows + r0), dim4(1, 1, 1, cut), dim4(cut, cut, cut, 1),
                         GDMA_VALUE_FORMAT_INT8),
             local_view(LUT_INDEX_LOCAL, whole, dim4(ip, ip, cut, 1), GDMA_VALUE_FORMAT_INT8), node);
  const int lanes = whole + (cut > 0 ? 1 : 0);
  if (lanes == 0) return;
  atomic_table_lookup_gen_cmd_(LUT_TABLE_ENGINE, LOCAL_ADDR_TAG | LUT_INDEX_LOCAL, LOCAL_ADDR_TAG | LUT_RESULT_LOCAL, 1,
                               lanes, r, 1, LUT_ENTRIES, 0, node);
  if (whole > 0)
    move_l2g(local_f32(LUT_RESULT_LOCAL, dim4(rp, rp, r, 1)),
             global_view(output + 4 * (u64)r0, dim4(1, whole, 1, r), dim4(p.rows * whole, p.rows, r, 1),
                         GDMA_VALUE_FORMAT_FLOAT32),
             node);
  if (cut > 0)
    move_l2g(local_f32(LUT_RESULT_LOCAL, dim4(rp, rp, cut, 1), whole),
             global_view(output + 4 * (u64)((i64)whole * p.rows + r0), dim4(1, 1, 1, cut), dim4(cut, cut, cut, 1),
                         GDMA_VALUE_FORMAT_FLOAT32),
             node);
}

void nodechip_lut(u64 input, u64 output, u64 table, int n, int c, int h, int w, int is_1n, cmd_id_node_t *node) {
  lut_global_plan_t p;
  lut_global_plan_of(&p, n, c, h, w, is_1n);
  // The table travels as raw 32-bit words.
  general_gdma_gen_cmd(table, LUT_TABLE_L2, GDMA_VALUE_FORMAT_FLOAT32, LUT_ENTRIES, GDMA_VALUE_DIR_S2S, node);
  const int cpl = (int)ceil_div(p.channels, NPU_NUM);
  const i64 item = (i64)c * h * w, plane_g = (i64)h * w;
  int r0 = 0;
  for (int s = 0; s < p.hsecs; s++) {
    const int r = p.rows / p.hsecs + (s < p.rows % p.hsecs ? 1 : 0);
    if (p.is_1n) {
      lut_1n_section(p, input, output, r0, r, node);
    } else {
      const int P = (int)eu_plane((u32)r * (u32)w);
      const dim4_t shape = {1, c, r, w};
      for (int g = 0; g < p.groups; g++) {
        // Four items a word: item j's index is byte j of every word.
        const u64 at = (u64)((i64)g * item + (i64)r0 * w);
        const dim4_t rows = dim4(1, c, r, w), gs = dim4((int)item, (int)plane_g, w, 1), ls = dim4(cpl * P, P, w, 1);
        move_g2l(global_view(input + 4 * at, rows, gs, GDMA_VALUE_FORMAT_FLOAT32), local_f32(LUT_INDEX_LOCAL, ls),
                 node);
        const int items = n - 4 * g < 4 ? n - 4 * g : 4;
        for (int j = 0; j < items; j++) {
          if (j > 0) tensor_i32_const_shift(LUT_INDEX_LOCAL, (u32)-8, LUT_INDEX_LOCAL, &shape, NULL, node);
          atomic_table_lookup_gen_cmd_(LUT_TABLE_ENGINE, LOCAL_ADDR_TAG | LUT_INDEX_LOCAL,
                                       LOCAL_ADDR_TAG | LUT_RESULT_LOCAL, 1, c, r, w, LUT_ENTRIES, 1, node);
          const u64 to = (u64)((i64)(4 * g + j) * item + (i64)r0 * w);
          move_l2g(local_f32(LUT_RESULT_LOCAL, ls), global_view(output + 4 * to, rows, gs, GDMA_VALUE_FORMAT_FLOAT32),
                   node);
        }
        fix_cmd_node_overflow(node);
      }
    }
    fix_cmd_node_overflow(node);
    r0 += r;
  }
}
