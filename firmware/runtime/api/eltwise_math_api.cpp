// APIs 13 (log), 26 (threshold), 27 (exp), 29 (power), 38 (bias), 40 (ELU) and
// 44 (BNLL), all on float32 tensors: log and ELU over n x c x h x w elements,
// the others over n x c. Log, exp and BNLL answer with their layer's assertion.
#include "layers/eltwise/eltwise_math.h"
#include "runtime/api/dispatch.h"

// The zero-count return on n, each extent positive (a count of 2^31 or more
// reads as negative), and the input and output inside device memory.
#define ELTWISE_MATH_CHECKS(rec)                                                                \
  API_COUNT((i32)rec.input_n);                                                                  \
  API_POSITIVE((i32)rec.input_c);                                                               \
  API_POSITIVE((i32)rec.input_h);                                                               \
  API_POSITIVE((i32)rec.input_w);                                                               \
  const api_extent_t tensor = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w); \
  API_GLOBAL(rec.input_addr, tensor);                                                           \
  API_GLOBAL(rec.output_addr, tensor)

// The layers that count n x c elements carry h and w unused: only n and c are
// checked, and the tensors span n x c elements.
#define ELTWISE_MATH_NC_CHECKS(rec)                     \
  API_COUNT((i32)rec.input_n);                                    \
  API_POSITIVE((i32)rec.input_c);                                 \
  const api_extent_t run = api_dense(4, rec.input_n, rec.input_c); \
  API_GLOBAL(rec.input_addr, run);                      \
  API_GLOBAL(rec.output_addr, run)

#define ELTWISE_MATH_HANDLER_OF(name, type, checks, call)        \
  u32 name(u8 *param, u32 size) {                                \
    API_TAKE_RECORD(type, rec, param, size);                     \
    checks(rec);                                                 \
    return api_issue([&](cmd_id_node_t *node) { call; });        \
  }
#define ELTWISE_MATH_HANDLER(name, type, call) ELTWISE_MATH_HANDLER_OF(name, type, ELTWISE_MATH_CHECKS, call)
#define ELTWISE_MATH_NC_HANDLER(name, type, call) ELTWISE_MATH_HANDLER_OF(name, type, ELTWISE_MATH_NC_CHECKS, call)

ELTWISE_MATH_HANDLER(zv_api_log_forward, zv_api_log_forward_t,
                     nodechip_log_forward(rec.input_addr, rec.output_addr, rec.scale, rec.shift, rec.base,
                                          (int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node))
ELTWISE_MATH_NC_HANDLER(zv_api_threshold_forward, zv_api_threshold_forward_t,
                     nodechip_threshold_forward(rec.input_addr, rec.output_addr, rec.threshold, (int)rec.input_n,
                                                (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node))
ELTWISE_MATH_NC_HANDLER(zv_api_exp_forward, zv_api_exp_forward_t,
                     nodechip_exp_forward(rec.input_addr, rec.output_addr, rec.base, rec.scale, rec.shift,
                                          (int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node))
ELTWISE_MATH_NC_HANDLER(zv_api_power_forward, zv_api_power_forward_t,
                     nodechip_power_forward(rec.input_addr, rec.output_addr, rec.power, rec.scale, rec.shift,
                                            (int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w,
                                            node))
ELTWISE_MATH_HANDLER(zv_api_elu_forward, zv_api_elu_forward_t,
                     nodechip_elu_forward(rec.input_addr, rec.output_addr, rec.alpha, rec.multiplier, (int)rec.input_n,
                                          (int)rec.input_c, (int)rec.input_h, (int)rec.input_w, node))
ELTWISE_MATH_NC_HANDLER(zv_api_bnll_forward, zv_api_bnll_forward_t,
                     nodechip_bnll_forward(rec.input_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c, (int)rec.input_h,
                                           (int)rec.input_w, node))

// The bias layer adds two runs of n x c elements (h and w are not used).
u32 zv_api_bias_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_bias_forward_t, rec, param, size);
  API_COUNT((i32)rec.input_n);
  API_POSITIVE((i32)rec.input_c);
  const api_extent_t run = api_dense(4, rec.input_n, rec.input_c);
  API_GLOBAL(rec.input_addr, run);
  API_GLOBAL(rec.bias_addr, run);
  API_GLOBAL(rec.output_addr, run);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_bias_forward(rec.input_addr, rec.bias_addr, rec.output_addr, (int)rec.input_n, (int)rec.input_c,
                          (int)rec.input_h, (int)rec.input_w, node);
  });
}
