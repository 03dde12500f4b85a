// Float32 math on tensors resident in local memory, built from the engine's
// special functions (reciprocal square root, power-of-two split, float to
// integer, polynomial series), table lookups and one-command operations:
// exponential and logarithm by range reduction, table and series; sine by
// reduction modulo 2 pi and a sine series; tangent from sine and the reciprocal
// square root; hyperbolic functions and their inverses from exp, log and sqrt;
// integer powers by repeated multiplication; activations; and the unary table
// that names each function by a type code.
//
// Calling conventions (untagged local offsets of EU-aligned float32 tensors;
// `stride` may be NULL for the aligned strides of the shape; `bufs` holds
// `num_buffer` scratch offsets, each as large as the slice):
//   no parameter, no buffers: f(x, y, shape, stride, node)
//   no parameter, buffers:    f(x, y, bufs, num_buffer, shape, stride, node)
//   parameter, no buffers:    f(x, y, param, shape, stride, node)
//   parameter, buffers:       f(x, y, param, bufs, num_buffer, shape, stride, node)
// x is the input and y the output, different tensors; the input is overwritten
// unless a function says it is kept. Numeric edges are not checked: exp clamps
// its argument to [-103, 88], log its argument to [FLT_MIN, FLT_MAX] (so NaN and
// +inf give ln FLT_MAX, zero and negatives ln FLT_MIN), tan and cot divide by
// at least 1e-4.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

// Static tables in L2 SRAM (offsets from its start) read by the math routines.
#define EX_INT_TABLE 0x300000u       // 256 floats: the value of the integer k by its byte
#define EX_EXP_TABLE 0x300400u       // 256 floats: e^k, k the signed byte
#define EX_LOG_TABLE 0x300800u       // 256 floats: ln 2^(i - 127)
#define EX_EXPM1_COEFF 0x300C00u     // 32 coefficients: e^f - 1
#define EX_LOG1P_COEFF 0x300D00u     // 32 coefficients: ln(1 + t)
#define EX_ARCSIN_COEFF 0x300E00u    // 64 coefficients: arcsin x
#define EX_SIN_COEFF 0x301700u       // 64 coefficients: sin r on [-pi, pi]
#define EX_TABLE_LEN 256
#define EX_COEFF_NUM 32
#define EX_TRIG_COEFF_NUM 64

// Unary type codes (the index into unary_list).
typedef enum {
  UNARY_ABS = 0,
  UNARY_ACOSH = 1,
  UNARY_ARCCOS = 2,
  UNARY_ARCSIN = 3,
  UNARY_ASINH = 4,
  UNARY_ATANH = 5,
  UNARY_CEIL = 6,
  UNARY_COS = 7,
  UNARY_COSH = 8,
  UNARY_COT = 9,
  UNARY_EXP = 10,
  UNARY_EXPM1 = 11,
  UNARY_FLOOR = 12,
  UNARY_IPOWER = 13,
  UNARY_SQUARE = 14,
  UNARY_LOG = 15,
  UNARY_LOG1P = 16,
  UNARY_PRELU = 17,
  UNARY_PRELU_N = 18,
  UNARY_RELU = 19,
  UNARY_RELU_N = 20,
  UNARY_ELU = 21,
  UNARY_ROUND = 22,
  UNARY_RSQRT = 23,
  UNARY_SIGMOID = 24,
  UNARY_SIGN = 25,
  UNARY_SIN = 26,
  UNARY_SINH = 27,
  UNARY_SQRT = 28,
  UNARY_TAN = 29,
  UNARY_TANH = 30,
  UNARY_F32_TO_I32 = 31,
  UNARY_TRIM = 32,
  UNARY_I32_TO_F32 = 33,
  UNARY_U32_TO_F32 = 34,
  UNARY_U8_TO_F32 = 35,
  UNARY_TYPE_NUM = 36,
} unary_type_t;

// One entry of the unary table: `func` has the form its has_param and
// num_buffer select (see above).
typedef void (*unary_func_t)(void);
typedef struct {
  u32 unary_type;
  u32 data_fmt;    // GDMA element format of the data (0, float32)
  u32 eu_align;    // 1: the slice is laid out EU-aligned
  i32 num_buffer;  // scratch buffers the function needs
  u32 has_param;   // 1: the function takes a parameter pointer
  unary_func_t func;
} unary_context_t;

extern "C" {

extern const unary_context_t unary_list[UNARY_TYPE_NUM];

// The first entry of unary_list with this type; NULL when there is none.
const unary_context_t *find_unary_context(int unary_type);
// Calls the entry's function on one slice, passing param only to functions
// with a parameter and bufs (with ctx->num_buffer) only to functions with
// buffers. Nothing is called when num_buffer is negative.
void nodechip_unary_local(u32 x, u32 y, const u32 *bufs, const unary_context_t *ctx,
                          const void *param, const dim4_t *shape, const dim4_t *stride,
                          cmd_id_node_t *node);

// ---- Exponential and logarithm ----
void tensor_f32_exp(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_log(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_expm1(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_log1p(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_sigmoid(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                        const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_tanh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_sinh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_cosh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_asinh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_acosh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_atanh(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);

// ---- Trigonometric functions ----
// The bare sine series, for arguments in [-pi, pi]; x kept.
void tensor_f32_sin_simple(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                           cmd_id_node_t *node);
void tensor_f32_sin(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_cos(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_tan(u32 A_addr, u32 B_addr, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_cot(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                    const dim4_t *stride, cmd_id_node_t *node);
// The arcsin series on [-1, 1]; x kept by arcsin.
void tensor_f32_arcsin(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
void tensor_f32_arccos(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);

// y = floor(x / K) and y = x - floor(x / K) x K for the float constant K
// (bits); 3 buffers; x kept.
void tensor_f32_const_floordiv(u32 A_addr, u32 k_bits, u32 B_addr, const u32 *bufs,
                               int num_buffer, const dim4_t *shape, const dim4_t *stride,
                               cmd_id_node_t *node);
void tensor_f32_const_floormod(u32 x, u32 k_bits, u32 y, const u32 *bufs, int num_buffer,
                               const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);

// ---- Powers and roots ----
// y = sqrt(x) through 1 / rsqrt(x) (zero gives 0).
void tensor_f32_sqrt(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                     cmd_id_node_t *node);
// y = x^n by repeated multiplication (then a reciprocal for n < 0); n = 0 gives
// 1.0 without reading x. 1 buffer unless n is 0; x kept.
void tensor_f32_ipower(u32 A_addr, u32 B_addr, int n, const u32 *bufs, int num_buffer,
                       const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// param: an int32 exponent.
void tensor_f32_ipower_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                            const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
void tensor_f32_square_wrap(u32 x, u32 y, const u32 *bufs, int num_buffer, const dim4_t *shape,
                            const dim4_t *stride, cmd_id_node_t *node);

// ---- Activations ----
// y = max(x, 0); x kept.
void tensor_f32_relu(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride,
                     cmd_id_node_t *node);
// y = min(max(x, 0), limit), the limit used as given whatever its sign.
void tensor_f32_relu_n(u32 x, u32 y, u32 limit_bits, const dim4_t *shape, const dim4_t *stride,
                       cmd_id_node_t *node);
// param: the float limit.
void tensor_f32_relu_n_wrap(u32 x, u32 y, const void *params, const dim4_t *shape,
                            const dim4_t *stride, cmd_id_node_t *node);
// y = |x| (the sign bit cleared); x kept.
void tensor_f32_abs(u32 x, u32 y, const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = x where its sign bit is clear, slope x x where it is set (-0.0 too).
// Slope 1.0 copies, slope 0.0 is ReLU. x kept.
void tensor_f32_prelu(u32 bottom_lo, u32 top_lo, float slope, const u32 *bufs, int num_buffer,
                      const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// param: the float slope.
void tensor_f32_prelu_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                           const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// PReLU, then min with the limit when it is above 0. Slope 1.0 copies x
// without the limit.
void tensor_f32_prelu_n(u32 bottom_lo, u32 top_lo, float slope, float limit, const u32 *bufs,
                        int num_buffer, const dim4_t *shape, const dim4_t *stride,
                        cmd_id_node_t *node);
// param: two floats, the slope then the limit.
void tensor_f32_prelu_n_wrap(u32 x, u32 y, const void *params, const u32 *bufs, int num_buffer,
                             const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = x for x > 0, e^x - 1 otherwise (alpha 1). 2 buffers.
void tensor_f32_elu(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                    const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
// y = 1.0, -1.0 or 0.0 by the sign of x (0.0 for both zeros and NaN).
void tensor_f32_sign(u32 bottom_lo, u32 top_lo, const u32 *bufs, int num_buffer,
                     const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);
}
