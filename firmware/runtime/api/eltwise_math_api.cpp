// APIs 13 (log), 26 (threshold), 27 (exp), 29 (power), 38 (bias), 40 (ELU) and
// 44 (BNLL). Log, exp and BNLL answer with their layer's assertion.
#include "layers/eltwise/eltwise_math.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"

#define ELTWISE_MATH_HANDLER(name, type, call)   \
  u32 name(u8 *param, u32 size) {                \
    API_TAKE_RECORD(type, rec, param, size);     \
    if (rec.n == 0) return 0;                    \
    cmd_id_node_t node = {};                     \
    resync_cmd_id(&node);                        \
    call;                                        \
    poll_all_engine_done(&node);                 \
    return 0;                                    \
  }

ELTWISE_MATH_HANDLER(zv_api_log_forward, zv_api_log_forward_t,
                     nodechip_log_forward(rec.input_addr, rec.output_addr, rec.scale, rec.shift, rec.base,
                                          (int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_threshold_forward, zv_api_threshold_forward_t,
                     nodechip_threshold_forward(rec.input_addr, rec.output_addr, rec.threshold, (int)rec.n,
                                                (int)rec.c, (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_exp_forward, zv_api_exp_forward_t,
                     nodechip_exp_forward(rec.input_addr, rec.output_addr, rec.base, rec.scale, rec.shift,
                                          (int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_power_forward, zv_api_power_forward_t,
                     nodechip_power_forward(rec.input_addr, rec.output_addr, rec.power, rec.scale, rec.shift,
                                            (int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_bias_forward, zv_api_bias_forward_t,
                     nodechip_bias_forward(rec.input_addr, rec.bias_addr, rec.output_addr, (int)rec.n, (int)rec.c,
                                           (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_elu_forward, zv_api_elu_forward_t,
                     nodechip_elu_forward(rec.input_addr, rec.output_addr, rec.alpha, rec.multiplier, (int)rec.n,
                                          (int)rec.c, (int)rec.h, (int)rec.w, &node))
ELTWISE_MATH_HANDLER(zv_api_bnll_forward, zv_api_bnll_forward_t,
                     nodechip_bnll_forward(rec.input_addr, rec.output_addr, (int)rec.n, (int)rec.c, (int)rec.h,
                                           (int)rec.w, &node))
