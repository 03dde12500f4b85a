// Float32 3-D convolution by accumulated 2-D convolutions.
#include "layers/conv/conv3d.h"
#include "cmd/conv_window.h"

#include "cmd/bd_conv.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"

static u64 c3_align(u64 x, u64 a) { return (x + a - 1) / a * a; }

int conv3d_layout_fits(conv3d_plan_t *p, int IH, int IW, int KH, int KW, int dh, int sh, int have_bias) {
  const s64 ih = (s64)(p->h_slice - 1) * sh + conv_kernel_extent(KH, dh);
  p->ih = (int)(ih < IH ? ih : IH);
  p->input_size = c3_align(4ull * (u64)p->n_slice * (u64)ceil_div(p->icg, NPU_NUM) *
                               c3_align((u64)IW * (u64)p->ih, 32),
                           0x10000);
  p->output = p->input_size;
  p->output_size = 4ull * (u64)p->n_slice * (u64)p->ocn * c3_align((u64)p->ow * (u64)p->h_slice, 32);
  p->weight = c3_align(p->output + p->output_size, 0x10000);
  p->weight_size = (u64)p->ic_even * 4ull * (u64)p->ocn * (u64)KH * (u64)KW;
  p->bias = p->weight + p->weight_size;
  p->bias_size = have_bias ? 4ull * (u64)p->ocn : 0;
  static const char *const names[CONV3D_AREA_COUNT] = {"input", "output", "weights", "bias"};
  const u64 offs[CONV3D_AREA_COUNT] = {0, p->output, p->weight, p->bias};
  const u64 sizes[CONV3D_AREA_COUNT] = {p->input_size, p->output_size, p->weight_size, p->bias_size};
  local_areas_of(p->areas, names, offs, sizes, CONV3D_AREA_COUNT);
  return p->input_size <= 0x60000 && p->weight <= 0x70000 && p->weight + p->weight_size <= 0x80000 &&
         p->bias + p->bias_size <= 0x80000;
}

int conv3d_adjust(conv3d_plan_t *p) {
  if (p->n_slice > 1) {
    p->n_slice--;
    return 1;
  }
  if (p->h_slice > 1) {
    p->h_slice--;
    return 1;
  }
  return 0;
}

void nodechip_conv3d_parallel(u64 input_addr, u64 output_addr, u64 weight_addr, u64 bias_addr, int N, int IC_ALL,
                              int IT, int IH, int IW, int groups, int OC_ALL, int KT, int KH, int KW, int dt, int dh,
                              int dw, int PT0, int PT1, int PH0, int PH1, int PW0, int PW1, int st, int sh, int sw,
                              int have_bias, cmd_id_node_t *node) {
  // No batch: nothing to compute (the slice plan would divide by zero).
  if (N == 0) return;
  ASSERT(N > 0 && IC_ALL > 0 && IT > 0 && IH > 0 && IW > 0 && groups > 0 && OC_ALL > 0);
  ASSERT(KT > 0 && KH > 0 && KW > 0 && dt > 0 && dh > 0 && dw > 0 && st > 0 && sh > 0 && sw > 0);
  ASSERT(PT0 >= 0 && PT1 >= 0 && PH0 >= 0 && PH1 >= 0 && PW0 >= 0 && PW1 >= 0);
  ASSERT_FS(IC_ALL % groups == 0);
  ASSERT_FS(OC_ALL % groups == 0);
  conv3d_plan_t p;
  p.icg = IC_ALL / groups;
  p.ocg = OC_ALL / groups;
  p.ic_even = (p.icg + 1) & ~1;
  p.ocn = (int)ceil_div(p.ocg, NPU_NUM);
  // The plane's window; the time axis is one more axis of the same bound.
  const conv_window_t win = conv_window_of(KH, KW, dh, dw, PH0, PH1, PW0, PW1, sh, sw);
  const conv_extent_t ext = conv_window_extent(&win, IH, IW);
  p.ot = (int)conv_axis_extent(IT, 0, PT0, PT1, conv_kernel_extent(KT, dt), st);
  p.oh = (int)ext.oh;
  p.ow = (int)ext.ow;
  ASSERT(p.ot > 0 && p.oh > 0 && p.ow > 0);
  p.n_slice = N;
  p.ic_slice = p.icg;
  p.oc_slice = p.ocg;
  p.h_slice = p.oh;
  for (;;) {
    if (conv3d_layout_fits(&p, IH, IW, KH, KW, dh, sh, have_bias)) break;
    if (!conv3d_adjust(&p)) ASSERT_FS(0);
  }
  // Every output frame's depth window must reach a real frame; checked for all
  // frames before anything is issued.
  for (int t = 0; t < p.ot; t++) {
    // The kernel's depth window in padded frames, its end exclusive.
    const int it_ext_0 = t * st, it_ext_1 = t * st + conv_kernel_extent32(KT, dt);
    ASSERT_FS(it_ext_0 < IT + PT0 && it_ext_1 > PT0);
    int first = 1;
    for (int k = 0; k < KT; k++) {
      const int f = t * st - PT0 + k * dt;
      if (f >= 0 && f < IT) first = 0;
    }
    ASSERT_FS(!first);
  }
  const u32 in_buf = 0, out_buf = (u32)p.output, w_buf = (u32)p.weight, b_buf = (u32)p.bias;
  const int taps = KH * KW;
  for (int t = 0; t < p.ot; t++) {
    for (int g = 0; g < groups; g++)
      for (int n0 = 0; n0 < N; n0 += p.n_slice)
        for (int r0 = 0; r0 < p.oh; r0 += p.h_slice) {
          const int n = N - n0 < p.n_slice ? N - n0 : p.n_slice;
          const int rc = p.oh - r0 < p.h_slice ? p.oh - r0 : p.h_slice;
          const int s = r0 * sh, e = (rc - 1) * sh + conv_kernel_extent32(KH, dh) + s;
          const int row0 = s - PH0 > 0 ? s - PH0 : 0;
          const int ih = (e < IH + PH0 ? e : IH + PH0) - (PH0 > s ? PH0 : s);
          ASSERT(ih > 0);
          const int top = PH0 - s > 0 ? PH0 - s : 0, bottom = e - IH - PH0 > 0 ? e - IH - PH0 : 0;
          if (have_bias)
            tensor_compact_move_gen_cmd(b_buf, 0, bias_addr + 4ull * (u64)g * p.ocg, 1, p.ocg, 1, 1,
                                        GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
          int first = 1;
          for (int k = 0; k < KT; k++) {
            const int f = t * st - PT0 + k * dt;
            if (f < 0 || f >= IT) continue;
            const int plane = (int)align_up((s64)IW * ih, EU_NUM);
            tensor_stride_move_gen_cmd(
                in_buf, 0,
                input_addr + 4ull * ((((u64)n0 * IC_ALL + (u64)g * p.icg) * IT + f) * IH * IW + (u64)row0 * IW), n,
                p.icg, ih, IW, IC_ALL * IT * IH * IW, IT * IH * IW, IW, 1,
                plane * (int)ceil_div(p.icg, NPU_NUM), plane, IW, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                node);
            tensor_stride_move_gen_cmd(
                w_buf, 0, weight_addr + 4ull * (((u64)k * OC_ALL + (u64)g * p.ocg) * taps * p.ic_even), 1, p.ocg,
                taps, p.ic_even, 0, taps * p.ic_even, p.ic_even, 1, 0, p.ic_even * taps, p.ic_even, 1,
                GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0, node);
            atomic_conv_neuron_kernel_stride_gen_cmd(
                LOCAL_ADDR_TAG | in_buf, LOCAL_ADDR_TAG | out_buf, LOCAL_ADDR_TAG | w_buf, LOCAL_ADDR_TAG | b_buf, n,
                p.icg, ih, IW, 0, 0, p.ocg, rc, p.ow, 0, 0, KH, KW, dh, dw, 1, p.ic_even * taps / 2,
                p.ic_even * KW / 2, p.ic_even / 2, top, bottom, PW0, PW1, sh, sw, first ? have_bias : 0, 0, !first,
                node);
            first = 0;
          }
          const int oplane = (int)align_up((s64)p.ow * rc, EU_NUM);
          tensor_stride_move_gen_cmd(
              out_buf, 0,
              output_addr + 4ull * ((((u64)n0 * OC_ALL + (u64)g * p.ocg) * p.ot + t) * p.oh * p.ow + (u64)r0 * p.ow),
              n, p.ocg, rc, p.ow, oplane * p.ocn, oplane, p.ow, 1, OC_ALL * p.ot * p.oh * p.ow, p.ot * p.oh * p.ow,
              p.ow, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
          fix_cmd_node_overflow(node);
        }
  }
}
