// APIs 46 and 142: permute of a tensor (n, c, h, w) to (n, h, w, c), float32 or
// 8-bit in the 4N layout.
#include "layers/data/transpose.h"
#include "runtime/api/dispatch.h"

// The counts a permute takes, positive (after the zero-count return), and the
// bytes of the input and of the output, which are the same: float32 elements,
// or the 4N groups of four 8-bit items (one word per group and position).
#define PERMUTE_CHECKS(rec, groups)                                      \
  API_COUNT(rec.input_n);                                                \
  API_POSITIVE(rec.input_c);                                             \
  API_POSITIVE(rec.input_h);                                             \
  API_POSITIVE(rec.input_w);                                             \
  const api_extent_t bytes = api_dense(4, groups, rec.input_c, rec.input_h, rec.input_w); \
  API_GLOBAL(rec.input_addr, bytes);                                     \
  API_GLOBAL(rec.output_addr, bytes)

u32 zv_api_permute(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_param_t, rec, param, size);
  PERMUTE_CHECKS(rec, rec.input_n);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_permute_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w,
                             node);
  });
}

u32 zv_api_permute_fix8b(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_permute_fix8b_param_t, rec, param, size);
  PERMUTE_CHECKS(rec, ((i64)rec.input_n + 3) / 4);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_permute_fix8b_by_gdma(rec.input_addr, rec.output_addr, rec.input_n, rec.input_c, rec.input_h,
                                   rec.input_w, node);
  });
}
