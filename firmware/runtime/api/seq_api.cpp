// Loss, accuracy, CTC, word2vec and LSTM APIs.
#include "layers/seq/accuracy.h"
#include "layers/seq/ctc.h"
#include "layers/seq/loss.h"
#include "layers/seq/lstm.h"
#include "layers/seq/word2vec.h"
#include "cmd/local_mem.h"
#include "runtime/api/dispatch.h"

// API 31: Euclidean loss over input_n x input_c floats.
u32 zv_api_euclidean_loss_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_euclidean_loss_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  const api_extent_t data = api_dense(4, rec.input_n, rec.input_c);
  API_GLOBAL(rec.input_addr, data);
  API_GLOBAL(rec.label_addr, data);
  API_GLOBAL(rec.diff_addr, data);
  API_GLOBAL(rec.buffer_addr, api_dense(4, ceil_div((i64)rec.input_n * rec.input_c, 32)));
  API_GLOBAL(rec.loss_addr, api_dense(4, 1));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_euclidean_loss_forward(rec.input_addr, rec.label_addr, rec.buffer_addr, rec.diff_addr, rec.loss_addr,
                                    rec.input_n, rec.input_n, rec.input_c, rec.input_h, rec.input_w, node);
  });
}

// API 17: contrastive loss over input_n pairs of input_c floats.
u32 zv_api_contrastive_loss_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_contrastive_loss_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  const api_extent_t data = api_dense(4, rec.input_n, rec.input_c);
  const api_extent_t pairs = api_dense(4, rec.input_n);
  API_GLOBAL(rec.a_addr, data);
  API_GLOBAL(rec.b_addr, data);
  API_GLOBAL(rec.diff_addr, data);
  API_GLOBAL(rec.label_addr, pairs);
  API_GLOBAL(rec.dist_sq_addr, pairs);
  // One sum per 32 pairs of a slice; a slice has at most input_n pairs.
  API_GLOBAL(rec.buffer_addr, api_dense(4, ceil_div((i64)rec.input_n, 32)));
  API_GLOBAL(rec.loss_addr, api_dense(4, 1));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_contrastive_loss_forward(rec.a_addr, rec.b_addr, rec.label_addr, rec.diff_addr, rec.dist_sq_addr,
                                      rec.loss_addr, rec.buffer_addr, rec.input_n, rec.input_c, rec.input_h,
                                      rec.input_w, rec.input_n, rec.margin, rec.use_squared_distance, node);
  });
}

// API 15: sigmoid cross-entropy; writes the sigmoid, then ends on the layer's
// assertion (the layer has no loss).
u32 zv_api_sigmoid_cross_entropy_loss_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_sigmoid_cross_entropy_loss_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.input_h);
  API_POSITIVE(rec.input_w);
  const api_extent_t data = api_dense(4, rec.input_n, rec.input_c, rec.input_h, rec.input_w);
  API_GLOBAL(rec.input_addr, data);
  API_GLOBAL(rec.label_addr, data);
  API_GLOBAL(rec.prob_addr, data);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_sigmoid_cross_entropy_loss_forward(rec.input_addr, rec.label_addr, rec.prob_addr, rec.unused0_addr,
                                                rec.unused1_addr, rec.input_n, rec.input_n, rec.input_c,
                                                rec.input_h, rec.input_w, node);
  });
}

// APIs 69 and 71: softmax loss, probabilities or gradient.
template <class Layer>
static u32 softmax_loss_api(const zv_api_softmax_loss_forward_parallel_t &rec, int gradient, Layer layer) {
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  API_POSITIVE(rec.inner_size);
  const api_extent_t data = api_dense(4, rec.input_n, rec.input_c, rec.inner_size);
  API_GLOBAL(rec.input_addr, data);
  API_GLOBAL(rec.prob_addr, data);
  API_GLOBAL(rec.label_addr, api_dense(4, rec.input_n, rec.inner_size));
  API_GLOBAL(rec.buffer_addr, api_dense(4, 1 + (gradient ? 2 : 1) * api_mul(rec.input_n, rec.inner_size)));
  API_GLOBAL(rec.loss_addr, api_dense(4, 1));
  return api_issue([&](cmd_id_node_t *node) {
    layer(rec.input_addr, rec.label_addr, rec.prob_addr, rec.loss_addr, rec.buffer_addr, rec.normalizer, rec.input_n,
          rec.input_c, rec.unused, rec.inner_size, node);
  });
}

u32 zv_api_softmax_loss_forward_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_softmax_loss_forward_parallel_t, rec, param, size);
  return softmax_loss_api(rec, 0, nodechip_softmax_loss_forward_parallel);
}

u32 zv_api_softmax_loss_bidirection_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_softmax_loss_bidirection_parallel_t, rec, param, size);
  return softmax_loss_api(rec, 1, nodechip_softmax_loss_bidirection_parallel);
}

// API 12: top-k class indices.
u32 zv_api_accuracy_layer(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_accuracy_layer_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.class_num);
  API_POSITIVE(rec.top_k);
  const api_extent_t scores = api_dense(4, rec.input_n, rec.class_num);
  API_GLOBAL(rec.input_addr, scores);
  API_GLOBAL(rec.index_init_addr, scores);
  API_GLOBAL(rec.value_init_addr, scores);
  API_GLOBAL(rec.output_addr, api_dense(4, rec.input_n, rec.top_k));
  API_GLOBAL(rec.buffer_addr, api_dense(4, rec.input_n, 3 * (i64)rec.class_num + rec.top_k));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_accuracy_layer(rec.input_addr, rec.output_addr, rec.index_init_addr, rec.value_init_addr,
                            rec.buffer_addr, rec.input_n, rec.class_num, rec.top_k, node);
  });
}

// API 140: CTC alpha and beta tables. No zero-count return.
u32 zv_api_ctcloss_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_ctcloss_t, rec, param, size);
  API_POSITIVE(rec.class_num);
  API_POSITIVE(rec.lprime_s);
  API_POSITIVE(rec.time_steps);
  const api_extent_t table = api_dense(4, rec.lprime_s, rec.time_steps);
  API_GLOBAL(rec.label_addr, api_dense(4, rec.lprime_s));
  API_GLOBAL(rec.prob_addr, api_dense(4, rec.class_num, rec.time_steps));
  API_GLOBAL(rec.alpha_addr, table);
  API_GLOBAL(rec.beta_addr, table);
  API_GLOBAL(rec.buffer_addr, api_dense(4, api_mul(rec.class_num, rec.time_steps) + rec.lprime_s));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_ctcloss_parallel(rec.label_addr, rec.prob_addr, rec.alpha_addr, rec.beta_addr, rec.buffer_addr,
                              rec.class_num, rec.lprime_s, rec.time_steps, node);
  });
}

// API 127: one word2vec pass. No zero-count return: n = 0 runs the layer's
// checks and does nothing else.
u32 zv_api_word2vec_parallel(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_word2vec_t, rec, param, size);
  ASSERT(rec.n >= 0 && rec.negatives >= 0);
  API_POSITIVE(rec.dim);
  API_POSITIVE(rec.vocab);
  const api_extent_t table = api_dense(4, rec.vocab, rec.dim);
  API_GLOBAL(rec.syn0_addr, table);
  API_GLOBAL(rec.syn1_addr, table);
  API_GLOBAL(rec.negative_addr, api_dense(4, rec.negatives, rec.n));
  API_GLOBAL(rec.input_addr, api_dense(4, rec.n));
  API_GLOBAL(rec.target_addr, api_dense(4, rec.n));
  API_GLOBAL(rec.buffer_addr, api_dense(4, 2 + (i64)rec.negatives, rec.n));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_word2vec_parallel(rec.syn0_addr, rec.syn1_addr, rec.negative_addr, rec.input_addr, rec.target_addr,
                               rec.buffer_addr, rec.alpha, rec.negatives, rec.n, rec.dim, rec.vocab, node);
  });
}

// API 34: the LSTM unit update over input_n x input_c elements.
u32 zv_api_lstm_unit_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_lstm_unit_forward_t, rec, param, size);
  API_COUNT(rec.input_n);
  API_POSITIVE(rec.input_c);
  const api_extent_t data = api_dense(4, rec.input_n, rec.input_c);
  API_GLOBAL(rec.input_gate_addr, data);
  API_GLOBAL(rec.forget_gate_addr, data);
  API_GLOBAL(rec.output_gate_addr, data);
  API_GLOBAL(rec.cell_input_addr, data);
  API_GLOBAL(rec.prev_cell_addr, data);
  API_GLOBAL(rec.cont_addr, data);
  API_GLOBAL(rec.cell_out_addr, data);
  API_GLOBAL(rec.hidden_out_addr, data);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_lstm_unit_forward(rec.input_gate_addr, rec.forget_gate_addr, rec.output_gate_addr, rec.cell_input_addr,
                               rec.prev_cell_addr, rec.cont_addr, rec.cell_out_addr, rec.hidden_out_addr, rec.input_n,
                               rec.input_c, rec.unused_h, rec.unused_w, node);
  });
}

// API 82: the LSTM layer over N sequences of T steps with the host's split.
u32 zv_api_lstm_forward(u8 *param, u32 size) {
  API_TAKE_RECORD(zv_api_lstm_forward_t, rec, param, size);
  API_COUNT(rec.N);
  const int mode = rec.split_mode;
  if (mode >= LSTM_SPLIT_LOCAL_WEIGHT && mode <= LSTM_SPLIT_NO_LOCAL_WEIGHT) {
    API_POSITIVE(rec.T);
    API_POSITIVE(rec.I);
    API_POSITIVE(rec.H);
    API_POSITIVE(rec.R);
    const i64 cols = 4 * (i64)lstm_output_dim_extend(rec.H > 0x7fffff00 ? 0x7fffff00 : rec.H);
    const api_extent_t state = api_dense(4, rec.N, rec.H);
    API_GLOBAL(rec.x_addr, api_dense(4, rec.T, rec.N, rec.I));
    API_GLOBAL(rec.cont_addr, api_dense(4, rec.T, rec.N));
    API_GLOBAL(rec.w_xc_addr, api_dense(4, rec.I, cols));
    API_GLOBAL(rec.bias_addr, api_dense(4, cols));
    API_GLOBAL(rec.w_hc_addr, api_dense(4, rec.H, cols));
    API_GLOBAL(rec.output_addr, api_dense(4, rec.T, rec.N, rec.H));
    if (rec.P) {
      API_GLOBAL(rec.static_addr, api_dense(4, rec.N, rec.I));
      API_GLOBAL(rec.w_static_addr, api_dense(4, rec.I, cols));
    }
    if (rec.Q) {
      API_GLOBAL(rec.h0_addr, state);
      API_GLOBAL(rec.c0_addr, state);
      API_GLOBAL(rec.hT_addr, state);
      API_GLOBAL(rec.cT_addr, state);
    }
    if (mode != LSTM_SPLIT_LOCAL_WEIGHT) {
      API_GLOBAL(rec.x_proj_addr, api_dense(4, rec.T, rec.N, cols));
      if (rec.P) API_GLOBAL(rec.static_proj_addr, api_dense(4, rec.N, cols));
    }
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_lstm_forward_parallel_with_split(rec.x_addr, rec.cont_addr, rec.static_addr, rec.h0_addr, rec.c0_addr,
                                              rec.w_xc_addr, rec.bias_addr, rec.w_static_addr, rec.w_hc_addr,
                                              rec.output_addr, rec.cT_addr, rec.hT_addr, rec.x_proj_addr,
                                              rec.static_proj_addr, rec.N, rec.T, rec.I, rec.H, rec.P, rec.Q,
                                              rec.split_mode, rec.R, node);
  });
}
