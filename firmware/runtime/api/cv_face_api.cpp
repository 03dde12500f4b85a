// The face-proposal APIs: 126 proposals of one map pair, 501 proposals of
// three map pairs per batch item joined and suppressed by the NMS.
//
// Both set the DTCM cursor to the window's start before and after their work;
// 501 also brings it back at the start of every item, so that the item's
// anchor tables and NMS rows never drift towards the window's end.
#include "cv/cv_common.h"
#include "cv/cv_face_proposal.h"
#include "cmd/memory_fill_copy.h"
#include "layers/detect/nms.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"

u32 zv_api_cv_gen_proposal(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_gen_proposal_t, rec, param, size);
  API_POSITIVE(rec.A);
  API_POSITIVE(rec.H);
  API_POSITIVE(rec.W);
  API_GLOBAL(rec.scores, api_dense(4, rec.A, rec.H, rec.W));
  API_GLOBAL(rec.deltas, api_dense(4, rec.A, 4, rec.H, rec.W));
  API_GLOBAL(rec.anchor_sizes, api_dense(4, rec.A));
  API_GLOBAL(rec.output, api_dense(1, FACE_PROP_COUNT_OFFSET + 4));
  api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_gen_proposal_fast_hw_op(rec.scores, rec.deltas, rec.anchor_sizes, rec.output, rec.scale, rec.stride_a,
                                        rec.W, rec.H, rec.image_w, rec.image_h, rec.stride_b, rec.A, rec.base,
                                        rec.divisor, rec.min_size, rec.score_threshold, node);
  });
  cv_reset_dtcm();
  return 0;
}

u32 zv_api_cv_gen_prop_and_nms(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_gen_proposal_and_nms_t, rec, param, size);
  const face_prop_level_t &shared = rec.level[0];
  const u32 N = rec.batch, A = shared.A;
  API_COUNT(N);
  // The per-item counts end before the joined count word.
  ASSERT(N <= FACE_PIPE_MAX_ITEMS);
  API_POSITIVE(A);
  for (u32 l = 0; l < 3; l++) {
    const face_prop_level_t &v = rec.level[l];
    face_prop_plan_t plan;
    face_prop_plan_of(A, v.w, v.h, &plan);
    face_prop_check_plan(&plan);
    const i64 hw = (i64)v.h * v.w;
    // Item b reads A score planes from plane images_per_item x b + first_image.
    const i64 first = api_mul(4 * hw, rec.first_image);
    const api_extent_t score = {first, first + api_mul(4 * hw, api_mul(v.images_per_item, N - 1) + A)};
    const i64 dims[2] = {N, 16 * hw * A}, strides[2] = {v.delta_item_stride, 1};
    API_GLOBAL(v.scores, score);
    API_GLOBAL(v.deltas, api_strided(1, 2, dims, strides));
    API_GLOBAL(v.anchors, api_dense(4, A));
  }
  API_GLOBAL(rec.result_addr, api_dense(1, sizeof(nms_proposal_t)));
  API_GLOBAL(rec.counts_addr, api_dense(4, N));

  hw_write32(FACE_PIPE_BLOCK + 4, NMS_MAX_PROPOSALS);
  hw_write32(FACE_PIPE_BLOCK, 0);
  const u64 items_start = FACE_PIPE_COUNTS + 4 * (u64)N;
  cmd_id_node_t node = {};
  for (u32 b = 0; b < N; b++) {
    cv_cur_dtcm_addr = items_start;
    hw_write32(FACE_PIPE_MERGED_COUNT, 0);
    resync_cmd_id(&node);
    // Lists of an earlier failed call are not joined into this item.
    l2sram_rect_cnt = 0;
    for (u32 l = 0; l < 3; l++) {
      const face_prop_level_t &v = rec.level[l];
      const u32 sizes = cv_take_dtcm(4 * A);
      pack_info_to_dtcm(v.anchors, sizes, 4 * A, &node);
      face_prop_level_args_t a;
      a.scores = v.scores + 4 * (u64)v.h * v.w * ((u64)v.images_per_item * b + rec.first_image);
      a.deltas = v.deltas + (u64)v.delta_item_stride * b;
      a.sizes = sizes;
      a.A = A;
      a.W = v.w;
      a.H = v.h;
      a.base = shared.B;
      a.min_size = shared.M;
      a.scale = v.scale;
      a.stride = (float)((u64)shared.S * v.stride_factor);
      a.bound_x = (float)shared.P0;
      a.bound_y = (float)shared.P1;
      a.divisor = (float)shared.R;
      const float floor_threshold = rec.threshold - 0.01f;
      a.score_threshold = v.threshold > floor_threshold ? v.threshold : floor_threshold;
      face_prop_level(&a, &node);
      fix_cmd_node_overflow(&node);
    }
    u64 list = 0;
    gen_proposal_post_process(&list, FACE_PIPE_MERGED_COUNT, 3, &node);
    const i32 before = (i32)hw_read32(FACE_PIPE_BLOCK);
    nms_vec_face_demo_mode = 1;
    nodechip_cv_nms_vec(rec.proposal_addr, FACE_PIPE_COUNTS, list, hw_read32(FACE_PIPE_MERGED_COUNT),
                        rec.nms_threshold, FACE_PIPE_BLOCK, &node);
    poll_all_engine_done(&node);
    pack_info_to_dtcm(FACE_PIPE_BLOCK, rec.result_addr, sizeof(nms_proposal_t), &node);
    hw_write32(FACE_PIPE_COUNTS + 4 * b, (u32)((i32)hw_read32(FACE_PIPE_BLOCK) - before));
  }
  pack_info_to_dtcm(FACE_PIPE_COUNTS, rec.counts_addr, 4 * N, &node);
  nms_vec_face_demo_mode = 0;
  cv_reset_dtcm();
  return 0;
}
