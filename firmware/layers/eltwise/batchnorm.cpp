// Float batch normalisation: inference with given or prepared coefficients,
// and training with batch statistics and running averages.
#include "layers/eltwise/batchnorm.h"

#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/compare_select.h"
#include "runtime/assert.h"

#define LOCAL_BYTES 0x80000u

static u32 eu_align_bytes(u64 x) { return (u32)ALIGN(x, (u64)128); }
static u32 plane_bytes(i64 h, i64 w) { return (u32)(align_up(h * w, EU_NUM) * 4); }
// A byte count as the splits take it; anything beyond 2^31 - 1 fits nothing anyway.
static int clamp_i32(i64 v) { return v > 0x7fffffff ? 0x7fffffff : (int)v; }

// Both copies and the node take the larger id of each engine; the node stays
// divided (the copies go on from there).
static void merge_divide(cmd_id_node_t *node, cmd_id_node_t *move, cmd_id_node_t *compute) {
  cmd_id_merge(node, move, compute);
  cmd_id_divide(node, move, compute);
}
static void merge_into(cmd_id_node_t *to, const cmd_id_node_t *from) {
  const u8 flag = to->divided;
  cmd_id_merge(to, to, from);
  to->divided = flag;
}

int bn_split_nh_par_v2(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs, int *wsecs) {
  i64 s = size;
  while ((i64)capacity < s) {
    if (*nsecs < n) {
      (*nsecs)++;
    } else if (*hsecs < h) {
      (*hsecs)++;
    } else if (*wsecs < w) {
      (*wsecs)++;
    } else {
      ASSERT(0);
    }
    s = ceil_div(n, *nsecs) * cpl * (i64)plane_bytes(ceil_div(h, *hsecs), ceil_div(w, *wsecs));
  }
  return (int)s;
}

// ---- Inference ----

int bn_inference_plan_of(bn_inference_plan_t *plan, int c) {
  const u64 cpl = (u64)ceil_div(c, NPU_NUM);
  const u64 V = eu_align_bytes(4 * cpl);
  u64 D = eu_align_bytes(4 * cpl + V);
  if (D < 0x10000) D = 0x10000;
  if (D >= LOCAL_BYTES) return 0;
  plan->vec0 = 0;
  plan->vec1 = (u32)V;
  plan->buffer[0] = (u32)D;
  plan->capacity = (LOCAL_BYTES - (u32)D) / 2;
  plan->buffer[1] = eu_align_bytes(D + plan->capacity);
  // The vectors hold one chunk: at most 63 floats a lane.
  const u32 vec_bytes = 4u * (u32)(cpl < 63 ? cpl : 63);
  plan->area_count = 4;
  plan->areas[0] = {"first vector", 0, vec_bytes};
  plan->areas[1] = {"second vector", (u32)V, vec_bytes};
  plan->areas[2] = {"data buffer 0", (u32)D, plan->capacity};
  plan->areas[3] = {"data buffer 1", plan->buffer[1], LOCAL_BYTES - plan->buffer[1]};
  return 1;
}

namespace {
// One slice of an N/H/W split of n x E x h x w.
struct bn_slice_t {
  int n_off, n_len, h_off, h_len, w_off, w_len;
};
bn_slice_t bn_slice_of(int k, int n, int h, int w, int nsecs, int hsecs, int wsecs) {
  const norm_section_t sn = norm_section_of(n, nsecs, k / (hsecs * wsecs));
  const norm_section_t sh = norm_section_of(h, hsecs, (k / wsecs) % hsecs);
  const norm_section_t sw = norm_section_of(w, wsecs, k % wsecs);
  return {sn.offset, sn.len, sh.offset, sh.len, sw.offset, sw.len};
}
// Loads or stores a slice of E channels between its aligned local buffer and
// the tensor whose first channel is at `base`; rows keep the tensor's full
// width as their global stride, so sections along W read their own columns.
void bn_move_slice(u32 local, u64 base, const bn_slice_t &s, int c, int E, int h, int w, gdma_direction_t dir,
                   cmd_id_node_t *node) {
  const int cl = (int)ceil_div(E, NPU_NUM);
  const int plane = (int)eu_plane((u32)s.h_len * (u32)s.w_len);
  const u64 at = base + 4 * ((u64)s.n_off * c * h * w + (u64)s.h_off * w + (u64)s.w_off);
  const global_view_t g = global_view(at, dim4(s.n_len, E, s.h_len, s.w_len), dim4(c * h * w, h * w, w, 1),
                                      GDMA_VALUE_FORMAT_FLOAT32);
  const local_view_t l = local_f32(local, dim4(cl * plane, plane, s.w_len, 1));
  if (dir == GDMA_VALUE_DIR_S2L)
    stride_load(g, l, node);
  else
    stride_store(l, g, node);
}
// y = (x + first vector) x second vector, then max(y, 0) when asked.
void bn_apply(u32 data, u32 first, u32 second, int N, int C, int H, int W, int if_relu, cmd_id_node_t *node) {
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | data, LOCAL_ADDR_TAG | first, 0, LOCAL_ADDR_TAG | data, N, C, H, W, 0, 1, 0,
                           norm_f32_bits(1.0f), 0, 0, node);
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | data, 0, LOCAL_ADDR_TAG | second, LOCAL_ADDR_TAG | data, N, C, H, W, 1, 0,
                           norm_f32_bits(0.0f), 0, 0, 0, node);
  if (if_relu)
    md_cmp_gen_cmd_lite(LOCAL_ADDR_TAG | data, 0, LOCAL_ADDR_TAG | data, 0, N, C, H, W, 0, 1, 0.0f, 0.0f, 0.0f, 0.0f, 1,
                        node);
}
}  // namespace

void nodechip_batchnorm_forward_inference_parallel(u64 input_global_addr, u64 mean_global_addr,
                                                   u64 variance_global_addr, float stats_divisor,
                                                   u64 std_global_addr, u64 output_global_addr, float eps,
                                                   int input_n, int input_c, int input_h, int input_w,
                                                   int output_std, int prepare_coeff, int if_relu,
                                                   cmd_id_node_t *node) {
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  bn_inference_plan_t plan;
  ASSERT_FS(bn_inference_plan_of(&plan, c));
  const float s = stats_divisor;
  const float f = s == 0.0f ? 0.0f : (float)(1.0 / (double)s);
  const float g = s == 0.0f ? 0.0f : (float)(-1.0 / (double)s);
  // The splits of a full chunk and of the last one, before anything is issued.
  int secs[2][3] = {{1, 1, 1}, {1, 1, 1}};
  for (int last = 0; last < 2; last++) {
    const int E = last ? c - (c - 1) / BN_CHANNEL_CHUNK * BN_CHANNEL_CHUNK : BN_CHANNEL_CHUNK;
    if (!last && c <= BN_CHANNEL_CHUNK) continue;
    const int cl = (int)ceil_div(E, NPU_NUM);
    bn_split_nh_par_v2(clamp_i32((i64)n * cl * plane_bytes(h, w)), (int)plan.capacity, n, cl, h, w, &secs[last][0],
                       &secs[last][1], &secs[last][2]);
  }
  cmd_id_node_t move, compute;
  for (int c0 = 0; c0 < c; c0 += BN_CHANNEL_CHUNK) {
    const int E = c - c0 < BN_CHANNEL_CHUNK ? c - c0 : BN_CHANNEL_CHUNK;
    const int cl = (int)ceil_div(E, NPU_NUM);
    const int *sec = secs[c0 + BN_CHANNEL_CHUNK >= c];
    const int nsecs = sec[0], hsecs = sec[1], wsecs = sec[2];
    const u64 chunk = (u64)c0 * h * w;
    tensor_compact_move_gen_cmd(plan.vec1, 0, variance_global_addr + 4u * (u64)c0, 1, E, 1, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
    cmd_id_divide(node, &move, &compute);
    tensor_compact_move_gen_cmd(plan.vec0, 0, mean_global_addr + 4u * (u64)c0, 1, E, 1, 1,
                                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, &move);
    if (prepare_coeff) {
      if (s != 1.0f)
        atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | plan.vec1, LOCAL_ADDR_TAG | plan.vec1, 1, NPU_NUM, 1, cl, 0,
                                norm_f32_bits(f), &compute);
      atomic_md_add_const_gen_cmd(LOCAL_ADDR_TAG | plan.vec1, LOCAL_ADDR_TAG | plan.vec1, 1, NPU_NUM, 1, cl, 0,
                                  norm_f32_bits(eps), &compute);
      atomic_md_sfu_gen_cmd(LOCAL_ADDR_TAG | plan.vec1, LOCAL_ADDR_TAG | plan.vec1, 1, NPU_NUM, 1, cl, 0, SFU_RSQ, 0,
                            &compute);
      merge_into(&compute, &move);
      atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | plan.vec0, LOCAL_ADDR_TAG | plan.vec0, 1, NPU_NUM, 1, cl, 0,
                              norm_f32_bits(g), &compute);
    }
    const int slices = nsecs * hsecs * wsecs;
    bn_slice_t prev = bn_slice_of(0, n, h, w, nsecs, hsecs, wsecs);
    bn_move_slice(plan.buffer[0], input_global_addr + 4 * chunk, prev, c, E, h, w, GDMA_VALUE_DIR_S2L, &move);
    merge_into(&compute, &move);
    bn_apply(plan.buffer[0], plan.vec0, plan.vec1, prev.n_len, E, prev.h_len, prev.w_len, if_relu, &compute);
    for (int k = 1; k < slices; k++) {
      const bn_slice_t cur = bn_slice_of(k, n, h, w, nsecs, hsecs, wsecs);
      const u32 buf = plan.buffer[k % 2];
      const u32 end_local_offset = buf + (u32)cur.n_len * (u32)cl * plane_bytes(cur.h_len, cur.w_len);
      ASSERT_FS(end_local_offset <= (1<<19));
      bn_move_slice(buf, input_global_addr + 4 * chunk, cur, c, E, h, w, GDMA_VALUE_DIR_S2L, &move);
      merge_divide(node, &move, &compute);
      bn_move_slice(plan.buffer[(k - 1) % 2], output_global_addr + 4 * chunk, prev, c, E, h, w, GDMA_VALUE_DIR_L2S,
                    &move);
      bn_apply(buf, plan.vec0, plan.vec1, cur.n_len, E, cur.h_len, cur.w_len, if_relu, &compute);
      prev = cur;
    }
    merge_divide(node, &move, &compute);
    bn_move_slice(plan.buffer[(slices - 1) % 2], output_global_addr + 4 * chunk, prev, c, E, h, w,
                  GDMA_VALUE_DIR_L2S, &move);
    if (output_std) {
      md_scalar(MD_SCALAR_DIV, operand_bits(norm_f32_bits(1.0f)), operand_at(LOCAL_ADDR_TAG | plan.vec1),
                LOCAL_ADDR_TAG | plan.vec1, dim4(1, NPU_NUM, 1, cl), &compute);
      cmd_id_merge(node, &move, &compute);
      tensor_compact_move_gen_cmd(plan.vec1, 0, std_global_addr + 4u * (u64)c0, 1, E, 1, 1,
                                  GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
    } else {
      cmd_id_merge(node, &move, &compute);
    }
  }
}

// ---- Training ----

void bn_train_plan_of(bn_train_plan_t *plan, int n, int c, int h, int w) {
  const u32 cpl = (u32)ceil_div(c, NPU_NUM);
  const u64 plane = plane_bytes(h, w);
  const u64 full = (u64)n * cpl * plane;
  u64 D = eu_align_bytes(512ull * cpl);
  if (D < 0x10000) D = 0x10000;
  const i64 local_capacity = ((i64)LOCAL_BYTES - (i64)D) / 2;
  ASSERT_FS(local_capacity > 0);
  plan->capacity = (u32)local_capacity;
  const i64 cap = local_capacity - 256;
  const u64 S = 2ull * n * plane;
  plan->nsecs = 1;
  plan->hsecs = 1;
  plan->whole_batch = 0;
  if ((u64)local_capacity >= 2 * full || (c > NPU_NUM && (u64)cap >= S)) {
    plan->whole_batch = 1;
  } else if (n <= 1 || S > (u64)n * (u64)cap) {
    // One row of data and its squares must fit.
    const i64 rows = cap / (8 * (i64)w);
    ASSERT_FS(rows > 0, "one row of %d floats does not fit", w);
    plan->nsecs = n <= 1 ? 1 : n;
    plan->hsecs = (int)ceil_div(h, rows);
  } else {
    plan->nsecs = nsecs_computing(clamp_i32(2 * (i64)plane), n, (int)cap);
  }
  plan->buffer[1] = eu_align_bytes(LOCAL_BYTES - plan->capacity);
  if (plan->whole_batch) {
    plan->mean = 0;
    plan->var = 128 * cpl;
    plan->scratch = 256 * cpl;
    plan->rsq = 384 * cpl;
    plan->buffer[0] = (u32)D;
  } else {
    plan->mean = 0;
    plan->var = 0x80;
    plan->scratch = 0x100;
    plan->rsq = 0x180;
    plan->buffer[0] = 0x200;
  }
  const u32 vec = plan->whole_batch ? 128 * cpl : 128;
  plan->area_count = 6;
  plan->areas[0] = {"mean", plan->mean, vec};
  plan->areas[1] = {"variance", plan->var, vec};
  plan->areas[2] = {"power scratch", plan->scratch, vec};
  plan->areas[3] = {"reciprocal deviation", plan->rsq, vec};
  plan->areas[4] = {"data buffer 0", plan->buffer[0], plan->buffer[1] - plan->buffer[0]};
  plan->areas[5] = {"data buffer 1", plan->buffer[1], LOCAL_BYTES - plan->buffer[1]};
}

namespace {
struct bn_train_t {
  u64 input, running_mean, running_var, batch_mean, batch_std, output;
  float eps, fraction, m;
  int n, c, h, w;
};

// The running-variance update's factors: running x fraction + (var + eps) x u + v
// is running x fraction + var x m / (m - 1) (or + var when m <= 1).
void bn_unbiased(const bn_train_t &a, float *u, float *v) {
  if (a.m > 1.0f) {
    *u = a.m / (a.m - 1.0f);
    *v = a.eps * (a.m / (1.0f - a.m));
  } else {
    *u = 1.0f;
    *v = -a.eps;
  }
}

void bn_train_whole_batch(const bn_train_t &a, const bn_train_plan_t &p, cmd_id_node_t *node) {
  const int n = a.n, c = a.c, h = a.h, w = a.w;
  const int cpl = (int)ceil_div(c, NPU_NUM);
  const u32 slice = (u32)n * plane_bytes(h, w);  // one group of the batch
  const float inv_m = 1.0f / a.m, neg_inv_m = -1.0f / a.m;
  const u64 chw = (u64)c * h * w;
  auto group_c = [&](int g) { return c - 64 * g < 64 ? c - 64 * g : 64; };
  auto buffer = [&](int g) { return p.buffer[g % 2]; };
  auto load = [&](int g, cmd_id_node_t *nd) {
    general_align_tensor_move_G2L_gen_cmd(a.input + 4 * (u64)(64 * g) * h * w, buffer(g), 0, n, group_c(g), h, w,
                                          (int)chw, h * w, nd);
  };
  auto store = [&](int g, cmd_id_node_t *nd) {
    general_align_tensor_move_L2G_gen_cmd(buffer(g), 0, a.output + 4 * (u64)(64 * g) * h * w, n, group_c(g), h, w,
                                          (int)chw, h * w, nd);
  };
  // Squared deviations behind the group's data, summed into its variance slot.
  auto deviations = [&](int g, cmd_id_node_t *nd) {
    const u32 data = buffer(g), sq = buffer(g) + slice;
    atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | data, LOCAL_ADDR_TAG | (p.mean + 128 * g), 0, LOCAL_ADDR_TAG | sq, n,
                             group_c(g), h, w, 0, 1, 0, norm_f32_bits(1.0f), 0, 1, nd);
    md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | sq), operand_at(LOCAL_ADDR_TAG | sq), LOCAL_ADDR_TAG | sq,
              dim4(n, group_c(g), h, w), nd);
    atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | sq, LOCAL_ADDR_TAG | (p.var + 128 * g), n, group_c(g), h, w, 0, nd);
  };
  auto normalise = [&](int g, cmd_id_node_t *nd) {
    atomic_md_sfu_gen_cmd(LOCAL_ADDR_TAG | (p.var + 128 * g), LOCAL_ADDR_TAG | (p.rsq + 128 * g), 1, NPU_NUM, 1, 1, 0,
                          SFU_RSQ, 0, nd);
    bn_apply(buffer(g), p.mean + 128 * g, p.rsq + 128 * g, n, group_c(g), h, w, 0, nd);
  };
  cmd_id_node_t move, compute;
  load(0, node);
  cmd_id_divide(node, &move, &compute);
  atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | buffer(0), LOCAL_ADDR_TAG | p.mean, n, group_c(0), h, w, 0, &compute);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | p.mean, LOCAL_ADDR_TAG | p.mean, 1, NPU_NUM, 1, 1, 0,
                          norm_f32_bits(neg_inv_m), &compute);
  deviations(0, &compute);
  for (int g = 1; g < cpl; g++) {
    load(g, &move);
    merge_into(&compute, &move);
    atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | buffer(g), LOCAL_ADDR_TAG | (p.mean + 128 * g), n, group_c(g), h, w, 0,
                          &compute);
    // Finish group g - 1.
    atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | (p.var + 128 * (g - 1)), 0, 0, LOCAL_ADDR_TAG | (p.var + 128 * (g - 1)),
                             1, NPU_NUM, 1, 1, 1, 1, norm_f32_bits(a.eps), norm_f32_bits(inv_m), 0, 0, &compute);
    normalise(g - 1, &compute);
    move = compute;
    store(g - 1, &move);
    md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | (p.mean + 128 * g)), operand_bits(norm_f32_bits(neg_inv_m)),
              LOCAL_ADDR_TAG | (p.mean + 128 * g), dim4(1, NPU_NUM, 1, 1), &compute);
    deviations(g, &compute);
  }
  const int L = cpl - 1;
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | (p.var + 128 * L), 0, 0, LOCAL_ADDR_TAG | (p.var + 128 * L), 1, NPU_NUM, 1,
                           1, 1, 1, norm_f32_bits(a.eps), norm_f32_bits(inv_m), 0, 0, &compute);
  normalise(L, &compute);
  merge_divide(node, &move, &compute);
  store(L, &move);

  // Statistics over all c channels, aligned vectors (group g at + 128 g).
  float u, v;
  bn_unbiased(a, &u, &v);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | p.mean, LOCAL_ADDR_TAG | p.mean, 1, c, 1, 1, 0, norm_f32_bits(-1.0f),
                          &compute);
  cmd_id_merge(node, &move, &compute);
  general_align_tensor_move_G2L_gen_cmd(a.running_mean, p.rsq, 0, 1, c, 1, 1, c, 1, node);
  cmd_id_divide(node, &move, &compute);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | p.rsq, LOCAL_ADDR_TAG | p.rsq, 1, c, 1, 1, 0, norm_f32_bits(a.fraction),
                          &compute);
  atomic_md_add_gen_cmd(LOCAL_ADDR_TAG | p.rsq, LOCAL_ADDR_TAG | p.mean, LOCAL_ADDR_TAG | p.rsq, 1, c, 1, 1, 0,
                        &compute);
  general_align_tensor_move_G2L_gen_cmd(a.running_var, p.buffer[0], 0, 1, c, 1, 1, c, 1, &move);
  merge_divide(node, &move, &compute);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | p.buffer[0], LOCAL_ADDR_TAG | p.buffer[0], 1, c, 1, 1, 0,
                          norm_f32_bits(a.fraction), &compute);
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | p.var, 0, 0, LOCAL_ADDR_TAG | p.buffer[0], 1, c, 1, 1, 1, 1,
                           norm_f32_bits(v), norm_f32_bits(u), 1, 0, &compute);
  tensor_xa(&compute, p.var, p.var, p.scratch, 1, c, 1, 1, 0.5f);
  general_align_tensor_move_L2G_gen_cmd(p.mean, 0, a.batch_mean, 1, c, 1, 1, c, 1, &move);
  general_align_tensor_move_L2G_gen_cmd(p.rsq, 0, a.running_mean, 1, c, 1, 1, c, 1, &move);
  cmd_id_merge(node, &move, &compute);
  general_align_tensor_move_L2G_gen_cmd(p.var, 0, a.batch_std, 1, c, 1, 1, c, 1, node);
  general_align_tensor_move_L2G_gen_cmd(p.buffer[0], 0, a.running_var, 1, c, 1, 1, c, 1, node);
}

// The group's statistics after its passes: -mean and the reciprocal square
// root in their slots, the variance sum in var. Updates the running mean and
// variance and stores the batch mean and standard deviation.
void bn_group_statistics(const bn_train_t &a, const bn_train_plan_t &p, u64 group, int cg, float u, float v,
                         cmd_id_node_t *node, cmd_id_node_t &move, cmd_id_node_t &compute) {
  const u32 mean = p.mean, var = p.var, scratch = p.scratch, rsq = p.rsq, run_var = p.buffer[0];
  // The group's statistics, its cg floats at + 4 x 64g in compact layout.
  auto vec_move = [&](u32 local, u64 addr, gdma_direction_t dir, cmd_id_node_t *nd) {
    tensor_compact_move_gen_cmd(local, 0, addr + 4 * group, 1, cg, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, dir, 0, nd);
  };
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | mean, LOCAL_ADDR_TAG | mean, 1, NPU_NUM, 1, 1, 0, norm_f32_bits(-1.0f),
                          &compute);
  cmd_id_merge(node, &move, &compute);
  vec_move(rsq, a.running_mean, GDMA_VALUE_DIR_S2L, node);
  cmd_id_divide(node, &move, &compute);
  vec_move(run_var, a.running_var, GDMA_VALUE_DIR_S2L, &move);
  atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | rsq, LOCAL_ADDR_TAG | rsq, 1, NPU_NUM, 1, 1, 0, norm_f32_bits(a.fraction),
                          &compute);
  atomic_md_add_gen_cmd(LOCAL_ADDR_TAG | rsq, LOCAL_ADDR_TAG | mean, LOCAL_ADDR_TAG | rsq, 1, NPU_NUM, 1, 1, 0,
                        &compute);
  merge_divide(node, &move, &compute);
  md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | run_var), operand_bits(norm_f32_bits(a.fraction)),
            LOCAL_ADDR_TAG | run_var, dim4(1, NPU_NUM, 1, 1), &compute);
  atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | var, 0, 0, LOCAL_ADDR_TAG | run_var, 1, NPU_NUM, 1, 1, 1, 1,
                           norm_f32_bits(v), norm_f32_bits(u), 1, 0, &compute);
  merge_divide(node, &move, &compute);
  vec_move(mean, a.batch_mean, GDMA_VALUE_DIR_L2S, &move);
  vec_move(rsq, a.running_mean, GDMA_VALUE_DIR_L2S, &move);
  vec_move(run_var, a.running_var, GDMA_VALUE_DIR_L2S, &move);
  tensor_xa(&compute, var, var, scratch, 1, cg, 1, 1, 0.5f);
  cmd_id_merge(node, &move, &compute);
  vec_move(var, a.batch_std, GDMA_VALUE_DIR_L2S, node);
}

void bn_train_sliced(const bn_train_t &a, const bn_train_plan_t &p, cmd_id_node_t *node) {
  const int n = a.n, c = a.c, h = a.h, w = a.w;
  const int cpl = (int)ceil_div(c, NPU_NUM);
  const int slices = p.nsecs * p.hsecs;
  const float inv_m = 1.0f / a.m, neg_inv_m = -1.0f / a.m;
  const u32 mean = p.mean, var = p.var, rsq = p.rsq;
  float u, v;
  bn_unbiased(a, &u, &v);
  cmd_id_node_t move, compute;
  for (int g = 0; g < cpl; g++) {
    const int cg = c - 64 * g < 64 ? c - 64 * g : 64;
    const u64 group = 64ull * g;
    {
      const norm_section_t sn = norm_section_of(n, p.nsecs, 0), sh = norm_section_of(h, p.hsecs, 0);
      const int sec_len_n = sn.len, sec_len_c = cg, sec_len_h = sh.len;
      ASSERT_FS(sec_len_n > 0 && sec_len_c > 0 && sec_len_h > 0);
    }
    int use = 0;  // buffer turns, continued across the three passes
    auto slice_of = [&](int k) {
      const norm_section_t sn = norm_section_of(n, p.nsecs, k / p.hsecs), sh = norm_section_of(h, p.hsecs, k % p.hsecs);
      return bn_slice_t{sn.offset, sn.len, sh.offset, sh.len, 0, w};
    };
    auto move_slice = [&](u32 buf, u64 base, const bn_slice_t &s, gdma_direction_t dir, cmd_id_node_t *nd) {
      bn_move_slice(buf, base + 4 * group * h * w, s, c, cg, h, w, dir, nd);
    };
    auto bytes = [&](const bn_slice_t &s) { return (u32)s.n_len * plane_bytes(s.h_len, w); };
    // Each pass loads every slice in turn: slice 0 of the first pass on the
    // node, every other on the move copy, then both copies merged and divided.
    auto pass = [&](int first_pass, const auto &work) {
      for (int k = 0; k < slices; k++) {
        const bn_slice_t s = slice_of(k);
        const int sec_len_n = s.n_len, sec_len_c = cg, sec_len_h = s.h_len;
        ASSERT_FS(sec_len_n > 0 && sec_len_c > 0 && sec_len_h > 0);
        const u32 buf = p.buffer[use++ % 2];
        if (first_pass && k == 0) {
          move_slice(buf, a.input, s, GDMA_VALUE_DIR_S2L, node);
          cmd_id_divide(node, &move, &compute);
        } else {
          move_slice(buf, a.input, s, GDMA_VALUE_DIR_S2L, &move);
          merge_divide(node, &move, &compute);
        }
        work(k, s, buf);
      }
    };
    // Pass 1: sums into the mean slot, then -mean.
    pass(1, [&](int k, const bn_slice_t &s, u32 buf) {
      atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | buf, LOCAL_ADDR_TAG | mean, s.n_len, cg, s.h_len, w, k > 0, &compute);
    });
    atomic_md_scale_gen_cmd(LOCAL_ADDR_TAG | mean, LOCAL_ADDR_TAG | mean, 1, NPU_NUM, 1, 1, 0, norm_f32_bits(neg_inv_m),
                            &compute);
    // Pass 2: squared deviations summed into the variance slot.
    pass(0, [&](int k, const bn_slice_t &s, u32 buf) {
      const u32 sq = buf + bytes(s);
      atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | buf, LOCAL_ADDR_TAG | mean, 0, LOCAL_ADDR_TAG | sq, s.n_len, cg,
                               s.h_len, w, 0, 1, 0, norm_f32_bits(1.0f), 0, 1, &compute);
      md_scalar(MD_SCALAR_MUL, operand_at(LOCAL_ADDR_TAG | sq), operand_at(LOCAL_ADDR_TAG | sq), LOCAL_ADDR_TAG | sq,
                dim4(s.n_len, cg, s.h_len, w), &compute);
      atomic_md_sum_gen_cmd(LOCAL_ADDR_TAG | sq, LOCAL_ADDR_TAG | var, s.n_len, cg, s.h_len, w, k > 0, &compute);
    });
    atomic_md_linear_gen_cmd(LOCAL_ADDR_TAG | var, 0, 0, LOCAL_ADDR_TAG | var, 1, NPU_NUM, 1, 1, 1, 1,
                             norm_f32_bits(a.eps), norm_f32_bits(inv_m), 0, 0, &compute);
    atomic_md_sfu_gen_cmd(LOCAL_ADDR_TAG | var, LOCAL_ADDR_TAG | rsq, 1, NPU_NUM, 1, 1, 0, SFU_RSQ, 0, &compute);
    // Pass 3: normalise each slice and store the one before it.
    bn_slice_t prev = slice_of(0);
    u32 prev_buf = 0;
    pass(0, [&](int k, const bn_slice_t &s, u32 buf) {
      if (k > 0) move_slice(prev_buf, a.output, prev, GDMA_VALUE_DIR_L2S, &move);
      bn_apply(buf, mean, rsq, s.n_len, cg, s.h_len, w, 0, &compute);
      prev = s;
      prev_buf = buf;
    });
    merge_into(&move, &compute);
    move_slice(prev_buf, a.output, prev, GDMA_VALUE_DIR_L2S, &move);
    bn_group_statistics(a, p, group, cg, u, v, node, move, compute);
  }
}
}  // namespace

void nodechip_batchnorm_forward_train_parallel(u64 input_global_addr, u64 running_mean_global_addr,
                                               u64 running_variance_global_addr, u64 batch_mean_global_addr,
                                               u64 batch_std_global_addr, u64 output_global_addr, float eps,
                                               float moving_average_fraction, float norm_count, int input_n,
                                               int input_c, int input_h, int input_w, cmd_id_node_t *node) {
  ASSERT_FS(input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0);
  // The sums are divided by the count: an empty or negative one has no mean.
  ASSERT_FS(norm_count > 0.0f);
  bn_train_plan_t plan;
  bn_train_plan_of(&plan, input_n, input_c, input_h, input_w);
  const bn_train_t a = {input_global_addr,     running_mean_global_addr, running_variance_global_addr,
                        batch_mean_global_addr, batch_std_global_addr,    output_global_addr,
                        eps,                   moving_average_fraction,  norm_count,
                        input_n,               input_c,                  input_h,
                        input_w};
  if (plan.whole_batch) {
    bn_train_whole_batch(a, plan, node);
  } else {
    bn_train_sliced(a, plan, node);
  }
}
