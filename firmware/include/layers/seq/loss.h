// Training losses on float32 tensors in device memory: Euclidean (API 31),
// contrastive (API 17) and sigmoid cross-entropy (API 15).
//
// Euclidean: the N x per-item elements are cut into the fewest pieces whose two
// buffers fit (get_slice_num_elemwise_fixw); each piece travels as a 1 x L
// matrix in sections of 32 over the lanes. Contrastive: the N rows are cut into
// slices of r rows (contrastive_slice_num_of), each row a matrix row of
// ceil(C / 32) sections. Both reduce their terms to one float in lane 0 at
// local offset 0 that lives from the first to the last piece of a call; the
// per-section sums go through the caller's scratch in device memory and come
// back as one row in lane 0 (pieces of at most LOSS_REDUCE_PIECE values).
//
// Softmax loss (APIs 69 and 71): the inner extent is viewed as sh rows of sw
// columns (sh = LimitWSize(inner)); pieces of K images (over the lanes), m
// classes (one plane each) and wp columns (get_slice_num_softmax). Per piece
// the engines compute the maximum, x - max, the exponentials and their sum,
// then the probabilities; the ARM picks the probability of each position's
// label (classes outside [0, C) count as 1.0, values below 1e-37 as 1e-37),
// the engines take the logarithms and the ARM adds them up. The
// bidirectional entry writes p - onehot(label) in place of the probabilities
// and then, in a second pass over the pieces, divides it by the normalizer:
// the gradient of the loss.
//
// The sigmoid cross-entropy layer writes the sigmoid of its input and the
// first terms of its first piece, then stops on its assertion: it has no loss.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"

// Local offset of the running loss (lane 0) and of the first data buffer.
#define LOSS_ACC_OFFSET 0u
#define LOSS_DATA_OFFSET 128u
// Section sums reduced by one command.
#define LOSS_REDUCE_PIECE 16383

// Smallest probability a label's logarithm is taken of.
#define SOFTMAX_LOSS_MIN_PROB 1e-37f
// The halves of the gradient pass's ping-pong buffer start at 0 and here.
#define SOFTMAX_GRAD_HALF 0x20000u

// ---- API records ----

typedef struct {
  u64 input_addr;
  u64 label_addr;
  u64 prob_addr;
  u64 loss_addr;
  u64 buffer_addr;
  float normalizer;
  i32 input_n;
  i32 input_c;
  i32 unused;
  i32 inner_size;
} FW_PACKED zv_api_softmax_loss_forward_parallel_t;
static_assert(sizeof(zv_api_softmax_loss_forward_parallel_t) == 60,
              "zv_api_softmax_loss_forward_parallel_t is 60 bytes");
typedef zv_api_softmax_loss_forward_parallel_t zv_api_softmax_loss_bidirection_parallel_t;

typedef struct {
  u64 input_addr;
  u64 label_addr;
  u64 buffer_addr;
  u64 diff_addr;
  u64 loss_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_euclidean_loss_forward_t;
static_assert(sizeof(zv_api_euclidean_loss_forward_t) == 56, "zv_api_euclidean_loss_forward_t is 56 bytes");

typedef struct {
  u64 a_addr;
  u64 b_addr;
  u64 label_addr;
  u64 diff_addr;
  u64 dist_sq_addr;
  u64 loss_addr;
  u64 buffer_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
  float margin;
  i32 use_squared_distance;
} FW_PACKED zv_api_contrastive_loss_forward_t;
static_assert(sizeof(zv_api_contrastive_loss_forward_t) == 80, "zv_api_contrastive_loss_forward_t is 80 bytes");

typedef struct {
  u64 input_addr;
  u64 label_addr;
  u64 prob_addr;
  u64 unused0_addr;
  u64 unused1_addr;
  i32 input_n;
  i32 input_c;
  i32 input_h;
  i32 input_w;
} FW_PACKED zv_api_sigmoid_cross_entropy_loss_forward_t;
static_assert(sizeof(zv_api_sigmoid_cross_entropy_loss_forward_t) == 56,
              "zv_api_sigmoid_cross_entropy_loss_forward_t is 56 bytes");

extern "C" {

u32 zv_api_euclidean_loss_forward(u8 *param, u32 size);
u32 zv_api_contrastive_loss_forward(u8 *param, u32 size);
u32 zv_api_sigmoid_cross_entropy_loss_forward(u8 *param, u32 size);
u32 zv_api_softmax_loss_forward_parallel(u8 *param, u32 size);
u32 zv_api_softmax_loss_bidirection_parallel(u8 *param, u32 size);

// ---- Planning (pure) ----

// Bytes per lane of one row of n floats in sections of 32 over the lanes.
u32 loss_row_bytes(int n);
// Slices of the N rows of C floats of the contrastive loss (at least 1).
int get_slice_num_contrastive_loss_forward(int N, int C);
// Slices of the T elements of the sigmoid cross-entropy loss.
int get_slice_num_sigmoid_cross_entropy_loss_forward(int T);
// Pieces {n, c, w} of the softmax loss over N images, C classes and sh x sw
// positions.
void get_slice_num_softmax(int N, int C, int sh, int sw, int counts[3]);

// ---- Layers ----

// loss = sum (a - b)^2 / (2 N_div); a - b written to diff; scratch holds the
// per-section sums of a piece (ceil(piece / 32) floats).
void nodechip_euclidean_loss_forward(u64 a, u64 b, u64 scratch, u64 diff, u64 loss, int N_div, int N,
                                     int per_item, int unused_h, int unused_w, cmd_id_node_t *node);
// loss = sum_i [y_i d_i^2 + (1 - y_i) max(margin - d_i, 0)^2] / (2 N_div), or
// with `legacy` the second term max(margin - d_i^2, 0); a - b written to diff,
// d_i^2 to dist_sq.
void nodechip_contrastive_loss_forward(u64 a, u64 b, u64 label, u64 diff, u64 dist_sq, u64 loss, u64 scratch,
                                       int N, int C, int unused_h, int unused_w, int N_div, float margin,
                                       int legacy, cmd_id_node_t *node);
// loss = -(sum of ln p[label]) / normalizer; p written to output. Scratch:
// 4 + 4 N inner bytes.
void nodechip_softmax_loss_forward_parallel(u64 input, u64 label, u64 output, u64 loss, u64 scratch,
                                            float normalizer, int N, int C, int unused, int inner,
                                            cmd_id_node_t *node);
// The same loss; (p - onehot(label)) / normalizer written to output (positions
// whose label is outside [0, C) carry p / normalizer). Scratch: 4 + 4 N inner
// bytes.
void nodechip_softmax_loss_bidirection_parallel(u64 input, u64 label, u64 output, u64 loss, u64 scratch,
                                                float normalizer, int N, int C, int unused, int inner,
                                                cmd_id_node_t *node);
// Writes sigmoid(x) to prob, then stops on its assertion.
void nodechip_sigmoid_cross_entropy_loss_forward(u64 input, u64 target, u64 prob, u64 unused0, u64 unused1,
                                                 int N_sigmoid, int N, int C, int H, int W, cmd_id_node_t *node);
}
