// L2 normalisation with a scale, float and 8-bit.
#include "layers/eltwise/normalize.h"

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/tensor_slice.h"
#include "cmd/tensor_view.h"
#include "layers/eltwise/norm_common.h"
#include "local/normalize.h"
#include "local/tagged_math.h"
#include "runtime/assert.h"

void nodechip_normalize_forward(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                u8 across_spatial, u8 channel_shared, int input_n, int input_c, int input_h,
                                int input_w, float eps, float scale_val, int if_relu, cmd_id_node_t *node) {
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const int cpl = (c + 63) / 64, a = (int)eu_plane((u32)h * (u32)w);
  nh_secs_t nh_secs = {1, 1};
  if ((i64)3 * n * cpl * a * 4 > 0x80000) same_tensor_split_nh(&nh_secs, 3, 0x80000, n, cpl, h, w);
  ASSERT_FS(nh_secs.nsecs <= (u32)n && nh_secs.hsecs == 1);
  const u64 chw = (u64)c * h * w;
  for (int i = 0; i < (int)nh_secs.nsecs; i++) {
    const norm_section_t s = norm_section_of(n, (int)nh_secs.nsecs, i);
    const u32 S = (u32)s.len * (u32)cpl * (u32)a * 4;
    const u64 at = 4 * (u64)s.offset * chw;
    const dim4_t shape = dim4(s.len, c, h, w), gs = dim4((int)chw, h * w, w, 1), ls = dim4(cpl * a, a, w, 1);
    stride_load(global_view(input_global_addr + at, shape, gs, GDMA_VALUE_FORMAT_FLOAT32), local_f32(0, ls), node);
    tensor_normalize(0, 2 * S, S, s.len, c, h, w, across_spatial, norm_f32_bits(eps), node);
    if (!channel_shared)
      tensor_compact_move_gen_cmd(0, 0, scale_global_addr, 1, c, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L,
                                  0, node);
    tensor_scale(2 * S, 2 * S, 0, s.len, c, h, w, channel_shared, norm_f32_bits(scale_val), if_relu, node);
    stride_store(local_f32(2 * S, ls), global_view(output_global_addr + at, shape, gs, GDMA_VALUE_FORMAT_FLOAT32), node);
  }
}

void nodechip_normalize_fix8b_forward(u64 input_global_addr, u64 output_global_addr, u64 scale_global_addr,
                                      u8 across_spatial, u8 channel_shared, int input_n, int input_c, int input_h,
                                      int input_w, float eps, float scale_val, int if_relu, int sign_input,
                                      int sign_output, cmd_id_node_t *node) {
  const int n = input_n, c = input_c, h = input_h, w = input_w;
  ASSERT_FS(n > 0 && c > 0 && h > 0 && w > 0);
  const int cpl = (c + 63) / 64, G = (n + 3) / 4;
  const u32 V = channel_shared ? 0 : (u32)ALIGN(4 * (u32)cpl, 128u);
  nh_secs_t nh_secs = {1, 1};
  if ((i64)2 * (G + 1) * cpl * eu_plane((u32)h * (u32)w) * 4 + V > 0x80000)
    same_tensor_split_nh(&nh_secs, 4, 0x80000 - V, G, cpl, h, w);
  ASSERT_FS((int)(nh_secs.nsecs) <= n);
  // A norm over a whole item cannot be taken from a piece of its rows.
  ASSERT_FS(!across_spatial || nh_secs.hsecs == 1, "one item of %d x %d x %d does not fit whole", c, h, w);
  if (!channel_shared)
    tensor_compact_move_gen_cmd(0, 0, scale_global_addr, 1, c, 1, 1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_S2L, 0,
                                node);
  const u64 chw = (u64)c * h * w;
  for (int i = 0; i < (int)nh_secs.nsecs; i++) {
    const norm_section_t sg = norm_section_of(G, (int)nh_secs.nsecs, i);
    const int items = 4 * (sg.offset + sg.len) <= n ? 4 * sg.len : n - 4 * sg.offset;
    for (int j = 0; j < (int)nh_secs.hsecs; j++) {
      const norm_section_t sh = norm_section_of(h, (int)nh_secs.hsecs, j);
      const int a = (int)eu_plane((u32)sh.len * (u32)w);
      const u32 H = (u32)sg.len * (u32)cpl * (u32)a * 4;
      const u64 at = 4 * ((u64)sg.offset * chw + (u64)sh.offset * w);
      const dim4_t part = dim4(sg.len, c, sh.len, w), gs = dim4((int)chw, h * w, w, 1), ls = dim4(cpl * a, a, w, 1);
      stride_load(global_view(input_global_addr + at, part, gs, GDMA_VALUE_FORMAT_FLOAT32), local_f32(V, ls), node);
      const dim4_t shape = {items, c, sh.len, w};
      nodechip_normalize_fix8b_forward_local(V, V + H, V + 2 * H, 0, &shape, across_spatial, channel_shared, eps,
                                             scale_val, if_relu, sign_input, sign_output, node);
      stride_store(local_f32(V + H, ls), global_view(output_global_addr + at, part, gs, GDMA_VALUE_FORMAT_FLOAT32),
                   node);
    }
  }
}
