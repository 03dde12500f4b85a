// The feature-matching APIs: 504 (float32, top 1 by similarity) and 509
// (8-bit, top n by int16 product).
#include "cv/cv_common.h"
#include "cv/cv_feature_match.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

u32 zv_api_cv_feature_match(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_feature_match_t, rec, param, size);
  API_POSITIVE(rec.batch);
  API_POSITIVE(rec.feature_count);
  API_POSITIVE(rec.entry_count);
  const u32 B = rec.batch, F = rec.feature_count, m = rec.entry_count;
  // The similarity matrix and the three areas of its row sorts lie between
  // the matrix's start and the end of the layer scratch in L2 SRAM.
  ASSERT(cv_feature_match_l2_bytes(B, m) <= CV_MATCH_L2_END - CV_MATCH_SIM_ADDR, "%u queries, %u entries",
         (unsigned)B, (unsigned)m);
  API_GLOBAL(rec.query, api_dense(4, B, F));
  API_GLOBAL(rec.database, api_dense(4, F, m));
  API_GLOBAL(rec.factor, api_dense(4, m));
  API_GLOBAL(rec.similarity_out, api_dense(4, B));
  API_GLOBAL(rec.index_out, api_dense(4, B));
  api_issue([&](cmd_id_node_t *node) {
    feature_match_init_flag = 0;
    const u32 k = m / CV_MATCH_BLOCK * CV_MATCH_BLOCK;
    if (k > 0) {
      nodechip_feature_match(rec.query, rec.database, rec.factor, CV_MATCH_SIM_ADDR, B, F, k, m, node);
      poll_all_engine_done(node);
    }
    if (m % CV_MATCH_BLOCK) {
      feature_match_init_flag = 0;
      nodechip_feature_match(rec.query, rec.database + 4ull * k, rec.factor + 4ull * k, CV_MATCH_SIM_ADDR + 4ull * k,
                             B, F, m % CV_MATCH_BLOCK, m, node);
      poll_all_engine_done(node);
    }
    nodechip_find_max_index(CV_MATCH_SIM_ADDR, rec.similarity_out, rec.index_out, m, (m + 31) / 32 * 32, B, node);
  });
  cv_reset_dtcm();
  return 0;
}

u32 zv_api_cv_feature_match_fix8b(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_feature_match_fix8b_t, rec, param, size);
  API_POSITIVE(rec.batch);
  API_POSITIVE(rec.feature_count);
  API_POSITIVE(rec.entry_count);
  API_POSITIVE(rec.top_n);
  const u32 B = rec.batch, n = rec.top_n;
  API_GLOBAL(rec.query, api_dense(1, B, rec.feature_count));
  API_GLOBAL(rec.database, api_dense(1, rec.feature_count, rec.entry_count));
  API_GLOBAL(rec.scores_out, api_dense(2, B, n));
  API_GLOBAL(rec.indices_out, api_dense(4, B, n));
  API_GLOBAL(rec.work, api_dense(6, B, n));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_feature_match_fix8b(rec.query, rec.database, rec.scores_out, rec.indices_out, rec.work, rec.batch,
                                    rec.feature_count, rec.entry_count, rec.top_n, rec.shift, node);
  });
}
