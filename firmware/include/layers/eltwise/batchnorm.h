// Float batch normalisation over n x c x h x w tensors in device memory, per
// channel, and the APIs that reach it (58 inference, 59 training).
//
// Inference: y = (x + a) x b with per-channel vectors a and b, either given or
// made from a mean and a variance (a = -mean / s, b = 1 / sqrt(var / s + eps)).
// Channels go in chunks of 4032; each chunk is cut along N, then H, then W
// until a slice fits one of two data buffers, and slices are pipelined: the
// next one loads while the current one computes and the previous one stores.
//
// Training: per-channel batch mean and variance over N, H and W on the tensor
// engine, the tensor normalised with them, the batch mean and standard
// deviation written and the running statistics updated in place. When one
// 64-channel group of the whole batch (and its squares) fits a buffer, groups
// are pipelined; otherwise every group is sliced and read three times (sums,
// squared deviations, normalisation).
#pragma once

#include "cmd/cmd_framework.h"
#include "cmd/local_areas.h"
#include "runtime/types.h"

#define BN_CHANNEL_CHUNK 4032

// ---- Plans (pure) ----

typedef struct {
  u32 vec0, vec1;          // first vector (a or the mean), second vector (b or the variance)
  u32 buffer[2];           // data buffers
  u32 capacity;            // bytes of one data buffer, K
  int area_count;
  local_area_t areas[4];
} bn_inference_plan_t;
// Fails (returns 0) when the vectors leave no room for data.
int bn_inference_plan_of(bn_inference_plan_t *plan, int c);

typedef struct {
  int whole_batch;         // 1: groups of the whole batch; 0: sliced per group
  int nsecs, hsecs;
  u32 mean, var, scratch, rsq;  // region offsets
  u32 buffer[2];
  u32 capacity;            // local_capacity
  int area_count;
  local_area_t areas[6];
} bn_train_plan_t;
// The training plan (the split's assertions included).
void bn_train_plan_of(bn_train_plan_t *plan, int n, int c, int h, int w);

extern "C" {

// Raises the section counts until a slice fits; returns the slice's size.
int bn_split_nh_par_v2(int size, int capacity, int n, int cpl, int h, int w, int *nsecs, int *hsecs, int *wsecs);

// ---- Layers ----
void nodechip_batchnorm_forward_inference_parallel(u64 input_global_addr, u64 mean_global_addr,
                                                   u64 variance_global_addr, float stats_divisor,
                                                   u64 std_global_addr, u64 output_global_addr, float eps,
                                                   int input_n, int input_c, int input_h, int input_w,
                                                   int output_std, int prepare_coeff, int if_relu,
                                                   cmd_id_node_t *node);
void nodechip_batchnorm_forward_train_parallel(u64 input_global_addr, u64 running_mean_global_addr,
                                               u64 running_variance_global_addr, u64 batch_mean_global_addr,
                                               u64 batch_std_global_addr, u64 output_global_addr, float eps,
                                               float moving_average_fraction, float norm_count, int input_n,
                                               int input_c, int input_h, int input_w, cmd_id_node_t *node);

// ---- Handlers ----
u32 zv_api_batchnorm_forward_inference_parallel(u8 *param, u32 size);
u32 zv_api_batchnorm_forward_train_parallel(u8 *param, u32 size);
}

// ---- API records ----

typedef struct {
  u64 input_addr;
  u64 mean_addr;
  u64 variance_addr;
  float stats_scale;
  u64 std_addr;
  u64 output_addr;
  float eps;
  i32 input_n, input_c, input_h, input_w;
  i32 save_std, prepare_stats, if_relu;
} FW_PACKED zv_api_batchnorm_forward_inference_parallel_t;
static_assert(sizeof(zv_api_batchnorm_forward_inference_parallel_t) == 76,
              "zv_api_batchnorm_forward_inference_parallel_t is 76 bytes");

typedef struct {
  u64 input_addr;
  u64 running_mean_global_addr;
  u64 running_variance_global_addr;
  u64 batch_mean_global_addr;
  u64 batch_std_global_addr;
  u64 output_global_addr;
  float eps, moving_average_fraction, norm_count;
  i32 input_n, input_c, input_h, input_w;
} FW_PACKED zv_api_batchnorm_forward_train_parallel_t;
static_assert(sizeof(zv_api_batchnorm_forward_train_parallel_t) == 76,
              "zv_api_batchnorm_forward_train_parallel_t is 76 bytes");
