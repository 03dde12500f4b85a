// Local compare-select, ReLU and reductions: kernels that work on one slice
// resident in local memory and issue tensor-engine commands on the caller's
// node without waiting.
//
// md_cmp_gen_cmd and md_cmp_gen_cmd_lite take tagged local addresses
// (LOCAL_ADDR_TAG | start lane << 19 | offset); every other kernel here takes
// untagged offsets and tags them itself. The compare-select and ReLU kernels
// work on EU-aligned float32 tensors; the reduction trees on the compact
// layout (channel plane H x W without rounding), float32 words or 8-bit 4N
// words (four batch items interleaved byte by byte in each word).
//
// Reduce methods: 0 mean, 1 sum, 2 max, 3 min, 4 product. The float trees treat
// 0 like 1 (the caller applies the mean factor); the 8-bit trees know 2 and 3.
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/tensor_shape.h"

typedef enum {
  REDUCE_MEAN = 0,
  REDUCE_SUM = 1,
  REDUCE_MAX = 2,
  REDUCE_MIN = 3,
  REDUCE_PROD = 4,
} reduce_method_t;

extern "C" {

// Y = max(A, B); R = C where A > B, D everywhere else (equal values, and
// comparisons with NaN, select D). The selection is bitwise, so C and D may
// hold 32-bit integer data. A constant operand uses its value and ignores its
// address. result_skip: 0 both results, 1 Y only, 2 R only (Y is then still
// written, as scratch). When R is computed Y and R must differ from each other
// and from every non-constant input; when only Y is computed Y may be A.
void md_cmp_gen_cmd(u32 A_addr, u32 B_addr, u32 C_addr, u32 D_addr, u32 Y_addr, u32 R_addr, int N,
                    int Cn, int H, int W, int A_is_constant, int B_is_constant, int C_is_constant,
                    int D_is_constant, float A_value, float B_value, float C_value,
                    float D_value, int result_skip, cmd_id_node_t *node);

// The same results with C and D the constants C_value and D_value. Y may be A
// or B: the maximum is then written after R has read the inputs.
void md_cmp_gen_cmd_lite(u32 A_addr, u32 B_addr, u32 Y_addr, u32 R_addr, int N, int Cn, int H,
                         int W, int A_is_constant, int B_is_constant, float A_value,
                         float B_value, float C_value, float D_value, int result_skip,
                         cmd_id_node_t *node);

// output = max(input, 0), then min(output, relu_upper_limit) when the limit is
// above 0. Input and output may be the same.
void nodechip_relu_forward_local(u32 input, u32 output, const dim4_t *shape,
                                 float relu_upper_limit, cmd_id_node_t *node);

// R = A op B on float32 (methods 0 and 1 add, 2 max, 3 min, 4 product).
void local_reduce_func(u32 A, u32 B, u32 R, int reduce_method, const dim4_t *shape,
                       const dim4_t *stride, cmd_id_node_t *node);
// R = max(A, B) (method 2) or min(A, B) (method 3) on 8-bit 4N data, signed
// when is_signed; the one stride record (in words) serves all three operands.
void local_reduce_func_fix8b(u32 A, u32 B, u32 R, int reduce_method, int is_signed,
                             const dim4_t *shape, const dim4_t *stride, cmd_id_node_t *node);

// Float32 trees, in place (type_len is 4). _n folds the N batch items into item
// 0; _hw folds each channel's H x W plane into its element 0; _nhw does both at
// src and then copies (copy non-zero) or combines (copy 0: dst = src op dst)
// the per-channel results into dst, H x W elements apart as in src.
void tensor_reduce_n(u32 addr, int type_len, int N, int C, int H, int W, int reduce_method,
                     cmd_id_node_t *node);
void tensor_reduce_hw(u32 addr, int type_len, int C, int H, int W, int reduce_method,
                      cmd_id_node_t *node);
void tensor_reduce_nhw(u32 src, u32 dst, int type_len, int N, int C, int H, int W,
                       int reduce_method, int copy, cmd_id_node_t *node);

// 8-bit twins on 4N words. N counts words (groups of four batch items); _n
// folds the words into word 0, _hw each plane into its word 0, _4n the four
// bytes of each channel's word 0 into its byte 0. _nhw runs _n, _hw, _4n (when
// reduce_4n) and then copies or combines the channel words into dst.
void tensor_reduce_n_fix8b(u32 addr, int N, int C, int H, int W, int reduce_method,
                           int is_signed, cmd_id_node_t *node);
void tensor_reduce_hw_fix8b(u32 addr, int C, int H, int W, int reduce_method, int is_signed,
                            cmd_id_node_t *node);
void tensor_reduce_4n_fix8b(u32 addr, int C, int H, int W, int reduce_method, int is_signed,
                            cmd_id_node_t *node);
void tensor_reduce_nhw_fix8b(u32 src, u32 dst, int N, int C, int H, int W, int reduce_4n,
                             int reduce_method, int is_signed, int copy, cmd_id_node_t *node);

// Reduces W (reduce_w non-zero) and/or H (reduce_h non-zero) of an EU-aligned
// N x C x H x W float32 slice into output, whose reduced extents are 1, with
// one pooling command: methods 0 mean, 1 sum, 2 max, 3 min. Method 3 works as
// -max(-x) and leaves the input negated. Method 4 is refused; others issue
// nothing.
void nodechip_reduce_local_onedim(u32 input, u32 output, const dim4_t *shape, int reduce_method,
                                  u8 reduce_w, u8 reduce_h, cmd_id_node_t *node);
}
