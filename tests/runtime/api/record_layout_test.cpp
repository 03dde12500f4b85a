// Every API record on the wire: the byte offset and width of each field, as
// the host lays the record out, against the firmware's structs; the record
// sizes; and the size the dispatcher checks for each id. The table below is
// written out from the protocol's record tables, field by field, and is never
// derived from the structs: a struct whose fields drift from the wire order
// (as the API 130 record once did, with its output address where the weights
// belong) fails here even when every handler test fills the struct by name.
//
// A row names the struct member that must hold the bytes [offset, offset +
// width). Where the protocol gives a field no name, the row uses the
// struct's. A few structs hold two 32-bit words of the protocol (the low and
// high word of one device address) in one u64; those rows span both words
// and say so.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "cmd/cdma_sort.h"
#include "cmd/gemm.h"
#include "cmd/memory_fill_copy.h"
#include "cv/cv_convert.h"
#include "cv/cv_face_proposal.h"
#include "cv/cv_feature_match.h"
#include "cv/cv_resize.h"
#include "cv/cv_sort_test.h"
#include "cv/cv_storage_convert.h"
#include "cv/cv_warp.h"
#include "cv/cv_yuv2rgb.h"
#include "heatprobe/heatprobe.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv3d.h"
#include "layers/conv/conv_fix16b.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/deconv.h"
#include "layers/conv/deconv_fix8b.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc.h"
#include "layers/conv/fc_fix8b.h"
#include "layers/data/arg.h"
#include "layers/data/concat.h"
#include "layers/data/copy.h"
#include "layers/data/fc_decompress.h"
#include "layers/data/pad.h"
#include "layers/data/rearrange.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/stride_slice.h"
#include "layers/data/tile.h"
#include "layers/data/topk.h"
#include "layers/data/transpose.h"
#include "layers/detect/nms.h"
#include "layers/detect/psroipooling.h"
#include "layers/detect/roi_pooling.h"
#include "layers/detect/ssd_detect_out.h"
#include "layers/detect/yolo.h"
#include "layers/detect/yolov3_detect_out.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/eltwise_math.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/lrn.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/multiregion.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/prelu.h"
#include "layers/eltwise/scale.h"
#include "layers/eltwise/softmax.h"
#include "layers/eltwise/unary.h"
#include "layers/eltwise/unary_fix8b.h"
#include "layers/pool/adaptive_pooling.h"
#include "layers/pool/interp.h"
#include "layers/pool/pooling.h"
#include "layers/pool/pooling_fix8b.h"
#include "layers/pool/pooling_train.h"
#include "layers/pool/upsample.h"
#include "layers/seq/accuracy.h"
#include "layers/seq/ctc.h"
#include "layers/seq/loss.h"
#include "layers/seq/lstm.h"
#include "layers/seq/word2vec.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/fullnet_api.h"
#include "runtime/api/profile_api.h"

namespace zv::test {
namespace {

struct Field {
  const char *name;
  size_t offset, width;                // on the wire
  size_t struct_offset, struct_width;  // in the firmware's struct
};

struct Record {
  uint32_t id;
  const char *type;
  uint32_t bytes;  // 0: variable length; the fields are its fixed head
  size_t struct_bytes;
  std::vector<Field> fields;
};

// R is the record's struct inside RECORD's lambda.
// clang-format off
#define F(member, offset, width) \
  Field{#member, offset, width, offsetof(R, member), sizeof(static_cast<R *>(nullptr)->member)}
#define RECORD(id, type, bytes, ...) \
  Record{id, #type, bytes, sizeof(type), [] { using R = type; return std::vector<Field>{__VA_ARGS__}; }()}
// clang-format on

const std::vector<Record> &records() {
  static const std::vector<Record> all = {
      RECORD(1, zv_api_memset_t, 20, F(global_addr, 0, 8), F(byte_count, 8, 4), F(mode, 12, 4), F(value, 16, 4)),
      RECORD(2, zv_api_memcpy_t, 32, F(src_addr, 0, 8), F(dst_addr, 8, 8), F(N, 16, 4), F(src_stride_n, 20, 4),
             F(dst_stride_n, 24, 4), F(W, 28, 4)),
      RECORD(3, zv_api_nodechip_md_scalar_t, 72, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8), F(input_n, 24, 4),
             F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4), F(op, 40, 4), F(result_add, 44, 4),
             F(A_is_const, 48, 4), F(B_is_const, 52, 4), F(A_const, 56, 4), F(B_const, 60, 4), F(unused[0], 64, 4),
             F(unused[1], 68, 4)),
      RECORD(4, zv_api_md_sum_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4), F(input_c, 20, 4),
             F(input_h, 24, 4), F(input_w, 28, 4), F(accumulate, 32, 4)),
      RECORD(5, zv_api_md_linear_t, 72, F(A_addr, 0, 8), F(B_addr, 8, 8), F(C_addr, 16, 8), F(Y_addr, 24, 8),
             F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4), F(result_add, 48, 4),
             F(B_is_const, 52, 4), F(C_is_const, 56, 4), F(B_const, 60, 4), F(C_const, 64, 4), F(mode, 68, 4)),
      RECORD(6, zv_api_nodechip_md_cmp_t, 112, F(A, 0, 8), F(B, 8, 8), F(C, 16, 8), F(D, 24, 8), F(Y, 32, 8),
             F(R, 40, 8), F(input_n, 48, 4), F(input_c, 52, 4), F(input_h, 56, 4), F(input_w, 60, 4),
             F(A_is_const, 64, 4), F(B_is_const, 68, 4), F(C_is_const, 72, 4), F(D_is_const, 76, 4), F(A_const, 80, 4),
             F(B_const, 84, 4), F(C_const, 88, 4), F(D_const, 92, 4), F(mode, 96, 4), F(reduction, 100, 4),
             F(minimum, 104, 4), F(native, 108, 4)),
      RECORD(7, zv_api_nodechip_md_sfu_t, 52, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(unused, 32, 4), F(exponent, 36, 4),
             F(sfu_type, 40, 4), F(f, 44, 4), F(unused2, 48, 4)),
      RECORD(8, zv_api_img_sum_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(accumulate, 16, 4),
             F(input_n, 20, 4), F(input_c, 24, 4), F(input_h, 28, 4), F(input_w, 32, 4)),
      RECORD(9, zv_api_nodechip_float2int8_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(is_signed, 32, 4)),
      RECORD(10, zv_api_dropout_forward_t, 48, F(input_addr, 0, 8), F(output_addr, 8, 8), F(mask_addr, 16, 8),
             F(rand_addr, 24, 8), F(rand_offset, 32, 4), F(dropout_ratio, 36, 4), F(outer_size, 40, 4),
             F(inner_size, 44, 4)),
      RECORD(12, zv_api_accuracy_layer_t, 52, F(input_addr, 0, 8), F(output_addr, 8, 8), F(index_init_addr, 16, 8),
             F(value_init_addr, 24, 8), F(buffer_addr, 32, 8), F(input_n, 40, 4), F(class_num, 44, 4), F(top_k, 48, 4)),
      RECORD(13, zv_api_log_forward_t, 44, F(input_addr, 0, 8), F(output_addr, 8, 8), F(scale, 16, 4), F(shift, 20, 4),
             F(base, 24, 4), F(input_n, 28, 4), F(input_c, 32, 4), F(input_h, 36, 4), F(input_w, 40, 4)),
      RECORD(15, zv_api_sigmoid_cross_entropy_loss_forward_t, 56, F(input_addr, 0, 8), F(label_addr, 8, 8),
             F(prob_addr, 16, 8), F(unused0_addr, 24, 8), F(unused1_addr, 32, 8), F(input_n, 40, 4), F(input_c, 44, 4),
             F(input_h, 48, 4), F(input_w, 52, 4)),
      RECORD(17, zv_api_contrastive_loss_forward_t, 80, F(a_addr, 0, 8), F(b_addr, 8, 8), F(label_addr, 16, 8),
             F(diff_addr, 24, 8), F(dist_sq_addr, 32, 8), F(loss_addr, 40, 8), F(buffer_addr, 48, 8), F(input_n, 56, 4),
             F(input_c, 60, 4), F(input_h, 64, 4), F(input_w, 68, 4), F(margin, 72, 4), F(use_squared_distance, 76, 4)),
      RECORD(19, zv_api_filter_forward_t, 48, F(input_addr, 0, 8), F(flag_addr, 8, 8), F(output_addr, 16, 8),
             F(flag_buffer_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4)),
      RECORD(22, zv_api_prelu_forward_t, 48, F(input_addr, 0, 8), F(slope_addr, 8, 8), F(output_addr, 16, 8),
             F(shared_slope, 24, 4), F(channel_shared, 28, 4), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4)),
      RECORD(24, zv_api_scale_forward_t, 64, F(input_addr, 0, 8), F(scale_addr, 8, 8), F(bias_addr, 16, 8),
             F(output_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(shape_axis, 48, 4), F(shape_axis_num, 52, 4), F(using_bias, 56, 4), F(if_relu, 60, 4)),
      RECORD(26, zv_api_threshold_forward_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(threshold, 16, 4),
             F(input_n, 20, 4), F(input_c, 24, 4), F(input_h, 28, 4), F(input_w, 32, 4)),
      RECORD(27, zv_api_exp_forward_t, 44, F(input_addr, 0, 8), F(output_addr, 8, 8), F(base, 16, 4), F(scale, 20, 4),
             F(shift, 24, 4), F(input_n, 28, 4), F(input_c, 32, 4), F(input_h, 36, 4), F(input_w, 40, 4)),
      RECORD(29, zv_api_power_forward_t, 44, F(input_addr, 0, 8), F(output_addr, 8, 8), F(power, 16, 4),
             F(scale, 20, 4), F(shift, 24, 4), F(input_n, 28, 4), F(input_c, 32, 4), F(input_h, 36, 4),
             F(input_w, 40, 4)),
      RECORD(31, zv_api_euclidean_loss_forward_t, 56, F(input_addr, 0, 8), F(label_addr, 8, 8), F(buffer_addr, 16, 8),
             F(diff_addr, 24, 8), F(loss_addr, 32, 8), F(input_n, 40, 4), F(input_c, 44, 4), F(input_h, 48, 4),
             F(input_w, 52, 4)),
      RECORD(34, zv_api_lstm_unit_forward_t, 80, F(input_gate_addr, 0, 8), F(forget_gate_addr, 8, 8),
             F(output_gate_addr, 16, 8), F(cell_input_addr, 24, 8), F(prev_cell_addr, 32, 8), F(cont_addr, 40, 8),
             F(cell_out_addr, 48, 8), F(hidden_out_addr, 56, 8), F(input_n, 64, 4), F(input_c, 68, 4),
             F(unused_h, 72, 4), F(unused_w, 76, 4)),
      RECORD(36, zv_api_eltwise_forward_t, 176, F(input_addr, 0, 64), F(output_addr, 64, 8),
             F(mask_addr, 72, 8) /* one field over the words at 72 and 76 */, F(input_num, 80, 4),
             F(input_shape, 84, 16), F(op_code, 100, 4), F(coeff, 104, 32), F(mask_flag, 136, 4),
             F(mask_value, 140, 32), F(relu_flag, 172, 4)),
      RECORD(38, zv_api_bias_forward_t, 40, F(input_addr, 0, 8), F(bias_addr, 8, 8), F(output_addr, 16, 8),
             F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4)),
      RECORD(40, zv_api_elu_forward_t, 40, F(input_addr, 0, 8), F(output_addr, 8, 8), F(alpha, 16, 4),
             F(multiplier, 20, 4), F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4)),
      RECORD(42, zv_api_absval_forward_t, 32, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4)),
      RECORD(44, zv_api_bnll_forward_t, 32, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4)),
      RECORD(46, zv_api_permute_param_t, 32, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4)),
      RECORD(47, zv_api_roi_pooling_forward_t, 64, F(input_addr, 0, 8), F(output_addr, 8, 8), F(rois_addr, 16, 8),
             F(rois_staging_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(pooled_h, 48, 4), F(pooled_w, 52, 4), F(num_rois, 56, 4), F(spatial_scale, 60, 4)),
      RECORD(48, zv_api_normalize_forward_t, 60, F(input_addr, 0, 8), F(output_addr, 8, 8), F(scale_addr, 16, 8),
             F(across_spatial, 24, 4), F(channel_shared, 28, 4), F(input_n, 32, 4), F(input_c, 36, 4),
             F(input_h, 40, 4), F(input_w, 44, 4), F(eps, 48, 4), F(shared_scale, 52, 4), F(if_relu, 56, 4)),
      RECORD(49, zv_api_conv_forward_parallel_t, 124, F(input_addr, 0, 8), F(output_addr, 8, 8), F(weight_addr, 16, 8),
             F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(groups, 48, 4), F(output_c, 52, 4), F(kh, 56, 4), F(kw, 60, 4), F(dh, 64, 4), F(dw, 68, 4),
             F(pad_h_t, 72, 4), F(pad_w_l, 76, 4), F(pad_h_b, 80, 4), F(pad_w_r, 84, 4), F(stride_h, 88, 4),
             F(stride_w, 92, 4), F(using_bias, 96, 4), F(result_add, 100, 4), F(use_winograd, 104, 4), F(hsecs, 108, 4),
             F(nsecs, 112, 4), F(icsecs, 116, 4), F(ocsecs, 120, 4)),
      RECORD(50, zv_api_deconv_forward_parallel_t, 136, F(input_addr, 0, 8), F(weight_addr, 8, 8), F(bias_addr, 16, 8),
             F(output_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(groups, 48, 4), F(output_c, 52, 4), F(output_h, 56, 4), F(output_w, 60, 4), F(kh, 64, 4), F(kw, 68, 4),
             F(dh, 72, 4), F(dw, 76, 4), F(pad_h_t, 80, 4), F(pad_h_b, 84, 4), F(pad_w_l, 88, 4), F(pad_w_r, 92, 4),
             F(stride_h, 96, 4), F(stride_w, 100, 4), F(using_bias, 104, 4), F(result_add, 108, 4), F(if_relu, 112, 4),
             F(icsecs, 116, 4), F(ocsecs, 120, 4), F(nsecs, 124, 4), F(hsecs, 128, 4), F(weight_layout, 132, 4)),
      RECORD(52, zv_api_pooling_forward_parallel_t, 92, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(output_h, 32, 4), F(output_w, 36, 4),
             F(kh, 40, 4), F(kw, 44, 4), F(pad_h_t, 48, 4), F(pad_w_l, 52, 4), F(pad_h_b, 56, 4), F(pad_w_r, 60, 4),
             F(stride_h, 64, 4), F(stride_w, 68, 4), F(is_avg_pooling, 72, 4), F(avg_pooling_mode, 76, 4),
             F(nc_slice, 80, 4), F(oh_slice, 84, 4), F(lmem_scale, 88, 4)),
      RECORD(56, zv_api_lrn_forward_parallel_t, 48, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(alpha, 32, 4), F(size, 36, 4), F(beta, 40, 4),
             F(k, 44, 4)),
      RECORD(58, zv_api_batchnorm_forward_inference_parallel_t, 76, F(input_addr, 0, 8), F(mean_addr, 8, 8),
             F(variance_addr, 16, 8), F(stats_scale, 24, 4), F(std_addr, 28, 8), F(output_addr, 36, 8), F(eps, 44, 4),
             F(input_n, 48, 4), F(input_c, 52, 4), F(input_h, 56, 4), F(input_w, 60, 4), F(save_std, 64, 4),
             F(prepare_stats, 68, 4), F(if_relu, 72, 4)),
      RECORD(59, zv_api_batchnorm_forward_train_parallel_t, 76, F(input_addr, 0, 8), F(running_mean_global_addr, 8, 8),
             F(running_variance_global_addr, 16, 8), F(batch_mean_global_addr, 24, 8), F(batch_std_global_addr, 32, 8),
             F(output_global_addr, 40, 8), F(eps, 48, 4), F(moving_average_fraction, 52, 4), F(norm_count, 56, 4),
             F(input_n, 60, 4), F(input_c, 64, 4), F(input_h, 68, 4), F(input_w, 72, 4)),
      RECORD(65, zv_api_relu_forward_parallel_t, 40, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(negative_slope, 16, 4), F(relu_upper_limit, 20, 4), F(input_n, 24, 4), F(input_c, 28, 4),
             F(input_h, 32, 4), F(input_w, 36, 4)),
      RECORD(67, zv_api_softmax_forward_parallel_t, 52, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(bottom_prec, 32, 4), F(input_scale, 36, 4),
             F(input_stmode, 40, 4), F(buffer_addr, 44, 8)),
      RECORD(69, zv_api_softmax_loss_forward_parallel_t, 60, F(input_addr, 0, 8), F(label_addr, 8, 8),
             F(prob_addr, 16, 8), F(loss_addr, 24, 8), F(buffer_addr, 32, 8), F(normalizer, 40, 4), F(input_n, 44, 4),
             F(input_c, 48, 4), F(unused, 52, 4), F(inner_size, 56, 4)),
      RECORD(71, zv_api_softmax_loss_bidirection_parallel_t, 60, F(input_addr, 0, 8), F(label_addr, 8, 8),
             F(prob_addr, 16, 8), F(loss_addr, 24, 8), F(buffer_addr, 32, 8), F(normalizer, 40, 4), F(input_n, 44, 4),
             F(input_c, 48, 4), F(unused, 52, 4), F(inner_size, 56, 4)),
      RECORD(73, zv_api_upsample_forward_parallel_t, 48, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(size, 32, 4), F(nc_slice, 36, 4),
             F(h_slice, 40, 4), F(lmem_scale, 44, 4)),
      RECORD(75, zv_api_multiregion_forward_parallel_t, 192, F(input, 0, 40), F(output, 40, 40), F(n, 80, 20),
             F(c, 100, 20), F(h, 120, 20), F(w, 140, 20), F(heads, 160, 4), F(classes, 164, 4), F(coords, 168, 4),
             F(nums, 172, 4), F(activate, 176, 16)),
      RECORD(82, zv_api_lstm_forward_t, 144, F(x_addr, 0, 8), F(cont_addr, 8, 8), F(static_addr, 16, 8),
             F(w_hc_addr, 24, 8), F(w_xc_addr, 32, 8), F(w_static_addr, 40, 8), F(bias_addr, 48, 8), F(h0_addr, 56, 8),
             F(c0_addr, 64, 8), F(hT_addr, 72, 8), F(cT_addr, 80, 8), F(output_addr, 88, 8),
             F(x_proj_addr, 96, 8) /* one field over the words at 96 and 100 */,
             F(static_proj_addr, 104, 8) /* one field over the words at 104 and 108 */, F(N, 112, 4), F(T, 116, 4),
             F(I, 120, 4), F(H, 124, 4), F(P, 128, 4), F(Q, 132, 4), F(split_mode, 136, 4), F(R, 140, 4)),
      RECORD(83, zv_api_conv_forward_parallel_fix8b_t, 168, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(weight_addr, 16, 8), F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4), F(groups, 48, 4), F(output_c, 52, 4), F(kh, 56, 4), F(kw, 60, 4), F(dh, 64, 4),
             F(dw, 68, 4), F(pad_h, 72, 4), F(pad_h_after, 76, 4), F(pad_w, 80, 4), F(pad_w_after, 84, 4),
             F(stride_h, 88, 4), F(stride_w, 92, 4), F(using_bias, 96, 4), F(unused, 100, 4), F(use_winograd, 104, 4),
             F(hsecs, 108, 4), F(nsecs, 112, 4), F(icsecs, 116, 4), F(ocsecs, 120, 4), F(if_relu, 124, 4),
             F(relu_upper_limit, 128, 4), F(weight_layout, 132, 4), F(ins_h, 136, 4), F(ins_w, 140, 4),
             F(rshift, 144, 4), F(opd0_sign, 148, 4), F(opd1_sign, 152, 4), F(opd2_sign, 156, 4), F(input_mode, 160, 4),
             F(use_3ic, 164, 4)),
      RECORD(84, zv_api_eltwise_fix8b_forward_t, 72, F(a_addr, 0, 8), F(b_addr, 8, 8), F(output_addr, 16, 8),
             F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4), F(unused, 40, 4),
             F(scale_A, 44, 4), F(scale_B, 48, 4), F(sign_A, 52, 4), F(sign_B, 56, 4), F(rshift_A, 60, 4),
             F(rshift_B, 64, 4), F(if_relu, 68, 4)),
      RECORD(85, zv_api_fc_fix8b_forward_parallel_t, 84, F(input_addr, 0, 8), F(weight_addr, 8, 8), F(bias_addr, 16, 8),
             F(output_addr, 24, 8), F(batch_size, 32, 4), F(input_neuron_num, 36, 4), F(output_neuron_num, 40, 4),
             F(weight_transpose, 44, 4), F(using_bias, 48, 4), F(opd0_sign, 52, 4), F(opd1_sign, 56, 4),
             F(opd2_sign, 60, 4), F(rshift, 64, 4), F(res_16b, 68, 4), F(if_relu, 72, 4), F(input_4N, 76, 4),
             F(output_4N, 80, 4)),
      RECORD(88, zv_api_pooling_fix8b_forward_parallel_t, 116, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(kh, 32, 4), F(kw, 36, 4),
             F(pad_h_t, 40, 4), F(pad_h_b, 44, 4), F(pad_w_l, 48, 4), F(pad_w_r, 52, 4), F(stride_h, 56, 4),
             F(stride_w, 60, 4), F(pool_mode, 64, 4), F(avg_pooling_mode, 68, 4), F(rshift, 72, 4), F(reserved, 76, 4),
             F(reserved2, 80, 4), F(opd0_sign, 84, 4), F(opd1_sign, 88, 4), F(opd2_sign, 92, 4), F(output_sign, 96, 4),
             F(out_mode, 100, 4), F(nc_slice, 104, 4), F(oh_slice, 108, 4), F(lmem_scale, 112, 4)),
      RECORD(90, zv_api_global_int2float_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(is_signed, 32, 4)),
      RECORD(91, zv_api_concat_t, 312, F(inputs, 0, 80), F(output, 80, 8), F(input_shapes, 88, 160),
             F(output_shape, 248, 16), F(flags, 264, 40), F(input_num, 304, 4), F(axis, 308, 4)),
      RECORD(92, zv_api_concat_t, 312, F(inputs, 0, 80), F(output, 80, 8), F(input_shapes, 88, 160),
             F(output_shape, 248, 16), F(flags, 264, 40), F(input_num, 304, 4), F(axis, 308, 4)),
      RECORD(93, zv_api_global_memcpy_t, 32, F(src, 0, 8), F(dst, 8, 8), F(input_n, 16, 4), F(src_nstride, 20, 4),
             F(dst_nstride, 24, 4), F(count, 28, 4)),
      RECORD(94, zv_api_crop_t, 64, F(input, 0, 8), F(output, 8, 8), F(offset, 16, 16), F(output_shape, 32, 16),
             F(input_shape, 48, 16)),
      RECORD(95, zv_api_pooling_train_forward_parallel_t, 92, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(index_addr, 16, 8), F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4),
             F(kh, 40, 4), F(kw, 44, 4), F(pad_h_t, 48, 4), F(pad_w_l, 52, 4), F(pad_h_b, 56, 4), F(pad_w_r, 60, 4),
             F(stride_h, 64, 4), F(stride_w, 68, 4), F(floor_mode, 72, 4), F(nc_slice, 76, 4), F(oh_slice, 80, 4),
             F(lmem_scale, 84, 4), F(split_mode, 88, 4)),
      RECORD(96, zv_api_bnscale_forward_parallel_fix8b_t, 72, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(scale_global_addr, 16, 8), F(bias_global_addr, 24, 8), F(shift_global_addr, 32, 8), F(input_n, 40, 4),
             F(input_c, 44, 4), F(input_h, 48, 4), F(input_w, 52, 4), F(sign_input, 56, 4), F(sign_scale, 60, 4),
             F(sign_bias, 64, 4), F(if_relu, 68, 4)),
      RECORD(97, zv_api_depthwise_fix8b_forward_parallel_t, 112, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(weight_addr, 16, 8), F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4), F(kh, 48, 4), F(kw, 52, 4), F(pad_h_t, 56, 4), F(pad_h_b, 60, 4), F(pad_w_l, 64, 4),
             F(pad_w_r, 68, 4), F(stride_h, 72, 4), F(stride_w, 76, 4), F(rshift, 80, 4), F(using_bias, 84, 4),
             F(reserved0, 88, 4), F(opd0_sign, 92, 4), F(opd1_sign, 96, 4), F(opd2_sign, 100, 4), F(reserved1, 104, 4),
             F(out_mode, 108, 4)),
      RECORD(105, zv_api_gemm_t, 72, F(trans_a, 0, 1), F(trans_b, 1, 1), F(gap0, 2, 2), F(m, 4, 4), F(n, 8, 4),
             F(k, 12, 4), F(alpha, 16, 4), F(gap1, 20, 4), F(a_addr, 24, 8), F(lda, 32, 4), F(gap2, 36, 4),
             F(b_addr, 40, 8), F(ldb, 48, 4), F(beta, 52, 4), F(c_addr, 56, 8), F(ldc, 64, 4), F(gap3, 68, 4)),
      RECORD(110, zv_api_multi_fullnet_t, 0, F(input_num, 0, 4)),
      RECORD(111, zv_api_dynamic_fullnet_t, 0, F(compiled_ir_addr, 0, 8), F(compiled_ir_length, 8, 4),
             F(input_num, 12, 4), F(has_4n_addr, 16, 4)),
      RECORD(112, zv_api_cv_warp_t, 120, F(input, 0, 32), F(table_address, 32, 8), F(output_counts, 40, 16),
             F(src_strides, 56, 16), F(store_mode, 72, 4), F(input_count, 76, 4), F(channels, 80, 4), F(src_h, 84, 4),
             F(src_w, 88, 4), F(roi_h, 92, 4), F(roi_w, 96, 4), F(dst_h, 100, 4), F(dst_w, 104, 4), F(roi_x, 108, 4),
             F(roi_y, 112, 4), F(mode, 116, 4)),
      RECORD(113, zv_api_cv_resize_t, 104, F(input, 0, 8), F(img_para, 8, 8), F(channels, 16, 4),
             F(output, 20, 8) /* one field over the words at 20 and 24 */, F(input_data_type, 28, 4),
             F(output_data_type, 32, 4), F(width_stride, 36, 4), F(height_stride, 40, 4), F(roi_counts, 44, 8),
             F(unused[0], 52, 4), F(unused[1], 56, 4), F(unused[2], 60, 4), F(unused[3], 64, 4), F(image_num, 68, 4),
             F(if_4N_to_1N, 72, 4), F(one_policy_in_diff_images, 76, 4), F(need_switch, 80, 4), F(multi_roi, 84, 4),
             F(stretch_fit, 88, 4), F(pad_a, 92, 4), F(pad_b, 96, 4), F(pad_c, 100, 4)),
      RECORD(114, zv_api_cv_yuv2rgb_t, 156, F(input[0], 0, 8), F(input[1], 8, 8), F(input[2], 16, 8),
             F(input[3], 24, 8), F(input[4], 32, 8), F(input[5], 40, 8), F(input[6], 48, 8), F(input[7], 56, 8),
             F(input[8], 64, 8), F(input[9], 72, 8), F(input[10], 80, 8), F(input[11], 88, 8), F(output[0], 96, 8),
             F(output[1], 104, 8), F(output[2], 112, 8), F(output[3], 120, 8), F(src_type, 128, 4),
             F(image_format, 132, 4), F(input_n, 136, 4), F(input_h, 140, 4), F(input_w, 144, 4),
             F(output_mode, 148, 4), F(output_format, 152, 4)),
      RECORD(115, zv_api_slice_head_t, 0, F(input, 0, 8), F(count, 8, 4)),
      RECORD(116, zv_api_tile_forward_t, 104, F(input, 0, 8), F(buffer, 8, 8), F(output, 16, 8), F(shape, 24, 32),
             F(tile_coeff, 56, 32), F(input_dim, 88, 4), F(src_format, 92, 4), F(dst_format, 96, 4), F(flag, 100, 4)),
      RECORD(117, zv_api_transpose_t, 100, F(input, 0, 8), F(output, 8, 8), F(shape, 16, 32), F(order, 48, 32),
             F(dims, 80, 4), F(type_len, 84, 4), F(store_mode, 88, 4), F(buffer, 92, 8)),
      RECORD(118, zv_api_transpose_fix8b_t, 100, F(input, 0, 8), F(output, 8, 8), F(shape, 16, 32), F(order, 48, 32),
             F(dims, 80, 4), F(in_store_mode, 84, 4), F(out_store_mode, 88, 4), F(buffer, 92, 8)),
      RECORD(119, zv_api_tile_fix8b_forward_t, 104, F(input, 0, 8), F(buffer, 8, 8), F(output, 16, 8), F(shape, 24, 32),
             F(tile_coeff, 56, 32), F(input_dim, 88, 4), F(src_format, 92, 4), F(dst_format, 96, 4), F(flag, 100, 4)),
      RECORD(120, zv_api_batch2space_fix8b_forward_t, 100, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(buffer_addr, 16, 8), F(buffer2_addr, 24, 8), F(shape, 32, 16), F(unused, 48, 16), F(input_dim, 64, 4),
             F(in_store_mode, 68, 4), F(out_store_mode, 72, 4), F(block, 76, 8), F(crops, 84, 16)),
      RECORD(121, zv_api_space2batch_fix8b_forward_t, 92, F(input, 0, 8), F(output, 8, 8), F(buffer, 16, 8),
             F(shape, 24, 32), F(input_dim, 56, 4), F(in_store_mode, 60, 4), F(out_store_mode, 64, 4), F(block, 68, 8),
             F(pads, 76, 16)),
      RECORD(122, zv_api_pooling_train_index_forward_parallel_t, 84, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(kh, 32, 4), F(kw, 36, 4),
             F(pad_h_t, 40, 4), F(pad_w_l, 44, 4), F(pad_h_b, 48, 4), F(pad_w_r, 52, 4), F(stride_h, 56, 4),
             F(stride_w, 60, 4), F(floor_mode, 64, 4), F(nc_slice, 68, 4), F(oh_slice, 72, 4), F(lmem_scale, 76, 4),
             F(split_mode, 80, 4)),
      RECORD(123, zv_api_nodechip_1d_scalar_t, 64, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8),
             F(unused[0], 24, 4), F(unused[1], 28, 4), F(length, 32, 8), F(op, 40, 4), F(result_add, 44, 4),
             F(A_is_const, 48, 4), F(B_is_const, 52, 4), F(A_const, 56, 4), F(B_const, 60, 4)),
      RECORD(124, zv_api_nodechip_1d_sfu_t, 44, F(input_addr, 0, 8), F(output_addr, 8, 8), F(length, 16, 8),
             F(unused, 24, 4), F(e, 28, 4), F(type, 32, 4), F(f, 36, 4), F(unused2, 40, 4)),
      RECORD(126, zv_api_cv_gen_proposal_t, 84, F(scores, 0, 8), F(deltas, 8, 8), F(anchor_sizes, 16, 8),
             F(scale, 24, 4), F(stride_a, 28, 4), F(W, 32, 4), F(H, 36, 4), F(image_w, 40, 4), F(image_h, 44, 4),
             F(stride_b, 48, 4), F(A, 52, 4), F(base, 56, 4), F(divisor, 60, 4), F(min_size, 64, 4),
             F(score_threshold, 68, 4), F(unused, 72, 4), F(output, 76, 8)),
      RECORD(127, zv_api_word2vec_t, 68, F(syn0_addr, 0, 8), F(syn1_addr, 8, 8), F(negative_addr, 16, 8),
             F(input_addr, 24, 8), F(target_addr, 32, 8), F(buffer_addr, 40, 8), F(alpha, 48, 4), F(negatives, 52, 4),
             F(n, 56, 4), F(dim, 60, 4), F(vocab, 64, 4)),
      RECORD(128, zv_api_sum_x2n_t, 32, F(input, 0, 8), F(output, 8, 8), F(length, 16, 8), F(count, 24, 4),
             F(scale, 28, 4)),
      RECORD(129, zv_api_md_ops_t, 76, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8), F(in_a, 24, 4),
             F(ic_a, 28, 4), F(ih_a, 32, 4), F(iw_a, 36, 4), F(in_b, 40, 4), F(ic_b, 44, 4), F(ih_b, 48, 4),
             F(iw_b, 52, 4), F(op, 56, 4), F(A_is_const, 60, 4), F(B_is_const, 64, 4), F(A_const, 68, 4),
             F(B_const, 72, 4)),
      RECORD(130, zv_api_deconv_fix8b_forward_parallel_t, 128, F(input_addr, 0, 8), F(weight_addr, 8, 8),
             F(bias_addr, 16, 8), F(output_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4), F(output_c, 48, 4), F(groups, 52, 4), F(kh, 56, 4), F(kw, 60, 4), F(dh, 64, 4),
             F(dw, 68, 4), F(pad_h, 72, 4), F(pad_w, 76, 4), F(stride_h, 80, 4), F(stride_w, 84, 4),
             F(output_pad_h, 88, 4), F(output_pad_w, 92, 4), F(using_bias, 96, 4), F(if_relu, 100, 4),
             F(rshift, 104, 4), F(weight_layout, 108, 4), F(opd0_sign, 112, 4), F(opd1_sign, 116, 4),
             F(opd2_sign, 120, 4), F(reserved, 124, 4)),
      RECORD(131, zv_api_cv_nms_t, 24, F(input_addr, 0, 8), F(proposal_size, 8, 4), F(nms_threshold, 12, 4),
             F(output_addr, 16, 8) /* one field over the words at 16 and 20 */),
      RECORD(136, zv_api_memcpy_byte_t, 24, F(src, 0, 8), F(dst, 8, 8), F(len, 16, 8)),
      RECORD(137, zv_api_memcpy_wstride_t, 32, F(src, 0, 8), F(dst, 8, 8), F(src_wstride, 16, 4), F(dst_wstride, 20, 4),
             F(count, 24, 4), F(type_size, 28, 4)),
      RECORD(138, zv_api_memcpy_tensor_t, 68, F(src, 0, 8), F(dst, 8, 8), F(N, 16, 4), F(C, 20, 4), F(H, 24, 4),
             F(W, 28, 4), F(src_stride_n, 32, 4), F(src_stride_c, 36, 4), F(src_stride_h, 40, 4),
             F(src_stride_w, 44, 4), F(dst_stride_n, 48, 4), F(dst_stride_c, 52, 4), F(dst_stride_h, 56, 4),
             F(dst_stride_w, 60, 4), F(type_size, 64, 4)),
      RECORD(139, zv_api_f32_is_t, 28, F(input_addr, 0, 8), F(output_addr, 8, 8), F(length, 16, 8), F(what, 24, 4)),
      RECORD(140, zv_api_ctcloss_t, 52, F(label_addr, 0, 8), F(prob_addr, 8, 8), F(alpha_addr, 16, 8),
             F(beta_addr, 24, 8), F(buffer_addr, 32, 8), F(class_num, 40, 4), F(lprime_s, 44, 4), F(time_steps, 48, 4)),
      RECORD(141, zv_api_normalize_fix8b_forward_t, 68, F(input_addr, 0, 8), F(output_addr, 8, 8), F(scale_addr, 16, 8),
             F(across_spatial, 24, 4), F(channel_shared, 28, 4), F(input_n, 32, 4), F(input_c, 36, 4),
             F(input_h, 40, 4), F(input_w, 44, 4), F(eps, 48, 4), F(shared_scale, 52, 4), F(if_relu, 56, 4),
             F(input_sign, 60, 4), F(output_sign, 64, 4)),
      RECORD(142, zv_api_permute_fix8b_param_t, 32, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4)),
      RECORD(143, zv_api_slice_head_t, 0, F(input, 0, 8), F(count, 8, 4)),
      RECORD(144, zv_api_pad_t, 72, F(input, 0, 8), F(output, 8, 8), F(n, 16, 4), F(c, 20, 4), F(h, 24, 4), F(w, 28, 4),
             F(pads, 32, 32), F(value, 64, 4), F(pad_mode, 68, 4)),
      RECORD(145, zv_api_pad_fix8b_t, 96, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_is_4N, 16, 4),
             F(buffer_addr, 20, 8), F(output_is_4N, 28, 4), F(buffer2_addr, 32, 8), F(input_n, 40, 4),
             F(input_c, 44, 4), F(input_h, 48, 4), F(input_w, 52, 4), F(pads, 56, 32), F(value, 88, 1),
             F(unused, 89, 3), F(pad_mode, 92, 4)),
      RECORD(146, zv_api_split_tf_fix8b_t, 168, F(input, 0, 8), F(buffer, 8, 8), F(buffer2, 16, 8), F(shape, 24, 4),
             F(shape_size, 28, 4), F(in_store_mode, 32, 4), F(out_store_mode, 36, 4), F(axis, 40, 4),
             F(split_sizes, 44, 40), F(split_num, 84, 4), F(outputs, 88, 80)),
      RECORD(147, zv_api_unary_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(length, 16, 8), F(unary_type, 24, 4),
             F(params, 28, 8)),
      RECORD(148, zv_api_binary_t, 100, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8),
             F(buffer_addr, 24, 8) /* one field over the words at 24 and 28 */, F(n, 32, 4), F(c, 36, 4), F(h, 40, 4),
             F(w, 44, 4), F(A_bcast_n, 48, 4), F(A_bcast_c, 52, 4), F(A_bcast_h, 56, 4), F(A_bcast_w, 60, 4),
             F(B_bcast_n, 64, 4), F(B_bcast_c, 68, 4), F(B_bcast_h, 72, 4), F(B_bcast_w, 76, 4), F(A_const_mode, 80, 4),
             F(A_const_value, 84, 4), F(B_const_mode, 88, 4), F(B_const_value, 92, 4), F(op, 96, 4)),
      RECORD(149, zv_api_simple_binary_t, 60, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8), F(buffer_addr, 24, 8),
             F(length, 32, 8), F(A_const_mode, 40, 4), F(A_const_value, 44, 4), F(B_const_mode, 48, 4),
             F(B_const_value, 52, 4), F(op, 56, 4)),
      RECORD(151, zv_api_simple_select_t, 72, F(cond_addr, 0, 8), F(a_addr, 8, 8), F(b_addr, 16, 8),
             F(output_addr, 24, 8), F(unused0, 32, 4), F(unused1, 36, 4), F(length, 40, 8), F(cond_is_constant, 48, 4),
             F(unused2, 52, 4), F(a_is_const, 56, 4), F(a_const, 60, 4), F(b_is_const, 64, 4), F(b_const, 68, 4)),
      RECORD(152, zv_api_depthwise_forward_t, 84, F(input_addr, 0, 8), F(output_addr, 8, 8), F(weight_addr, 16, 8),
             F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(kh, 48, 4), F(kw, 52, 4), F(pad_h_t, 56, 4), F(pad_h_b, 60, 4), F(pad_w_l, 64, 4), F(pad_w_r, 68, 4),
             F(stride_h, 72, 4), F(stride_w, 76, 4), F(using_bias, 80, 4)),
      RECORD(155, zv_api_psroipooling_forward_t, 72, F(input_addr, 0, 8), F(output_addr, 8, 8), F(roi_addr, 16, 8),
             F(roi_buffer_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4),
             F(output_dim, 48, 4), F(group_size, 52, 4), F(roi_num, 56, 4), F(spatial_scale, 60, 4),
             F(input_sign, 64, 4), F(output_sign, 68, 4)),
      RECORD(157, zv_api_arg_t, 48, F(input_addr, 0, 8), F(value_out_addr, 8, 8), F(index_out_addr, 16, 8),
             F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4), F(axis, 40, 4),
             F(method, 44, 4)),
      RECORD(158, zv_api_arg_fix8b_t, 76, F(input_addr, 0, 8), F(buffer_addr, 8, 8), F(value_out_addr, 16, 8),
             F(buffer2_addr, 24, 8), F(index_out_addr, 32, 8), F(index_buffer_addr, 40, 8), F(is_signed, 48, 4),
             F(input_n, 52, 4), F(input_c, 56, 4), F(input_h, 60, 4), F(input_w, 64, 4), F(axis, 68, 4),
             F(method, 72, 4)),
      RECORD(159, zv_api_shuffle_channel_forward_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(group, 32, 4)),
      RECORD(160, zv_api_shuffle_channel_fix8b_forward_t, 36, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(group, 32, 4)),
      RECORD(161, zv_api_stride_slice_t, 92, F(input, 0, 8), F(output, 8, 8), F(shape_size, 16, 4), F(n, 20, 4),
             F(c, 24, 4), F(h, 28, 4), F(w, 32, 4), F(begin_mask, 36, 4), F(end_mask, 40, 4), F(begin, 44, 16),
             F(end, 60, 16), F(stride, 76, 16)),
      RECORD(162, zv_api_fc_weight_decompress_t, 32, F(src, 0, 8), F(dst, 8, 8), F(local_offset, 16, 4),
             F(outlier_num, 20, 4), F(input_len, 24, 4), F(output_num, 28, 4)),
      RECORD(163, zv_api_interp_forward_parallel_t, 52, F(input_addr, 0, 8), F(output_addr, 8, 8), F(n, 16, 4),
             F(c, 20, 4), F(ih, 24, 4), F(iw, 28, 4), F(pad_p, 32, 4), F(pad_q, 36, 4), F(oh, 40, 4), F(ow, 44, 4),
             F(mode, 48, 4)),
      RECORD(164, zv_api_bias_fix8b_forward_t, 64, F(input_global_addr, 0, 8), F(input_n, 8, 4), F(input_c, 12, 4),
             F(input_h, 16, 4), F(input_w, 20, 4), F(bias_global_addr, 24, 8), F(output_global_addr, 32, 8),
             F(sign_input, 40, 4), F(sign_bias, 44, 4), F(scale, 48, 4), F(rshift, 52, 4), F(if_relu, 56, 4),
             F(relu_upper_limit, 60, 4)),
      RECORD(165, zv_api_stride_slice_fix8b_t, 68, F(input, 0, 8), F(buffer, 8, 8), F(buffer2, 16, 8), F(output, 24, 8),
             F(shape, 32, 4), F(shape_size, 36, 4), F(in_store_mode, 40, 4), F(out_store_mode, 44, 4),
             F(begin_mask, 48, 4), F(end_mask, 52, 4), F(begin, 56, 4), F(end, 60, 4), F(stride, 64, 4)),
      RECORD(166, zv_api_adaptive_pooling_forward_t, 44, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4),
             F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(output_h, 32, 4), F(output_w, 36, 4),
             F(is_avg_pooling, 40, 4)),
      RECORD(167, zv_api_adaptive_pooling_fix8b_forward_t, 72, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_h, 24, 4), F(input_w, 28, 4), F(output_h, 32, 4),
             F(output_w, 36, 4), F(pool_mode, 40, 4), F(rshift, 44, 4), F(reserved, 48, 4), F(opd0_sign, 52, 4),
             F(opd1_sign, 56, 4), F(opd2_sign, 60, 4), F(reserved2, 64, 4), F(out_mode, 68, 4)),
      RECORD(168, zv_api_reduce_fix8b_t, 120, F(input, 0, 8), F(output, 8, 8), F(buffer, 16, 8), F(shape, 24, 32),
             F(dims, 56, 4), F(axes, 60, 32), F(axis_num, 92, 4), F(reduce_method, 96, 4), F(keep_dims, 100, 4),
             F(is_signed, 104, 4), F(store_mode, 108, 4), F(input_scale, 112, 4), F(output_scale, 116, 4)),
      RECORD(169, zv_api_eltwise_binary_fix8b_forward_t, 92, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8),
             F(shape, 24, 32), F(tensor_dim, 56, 4), F(op, 60, 4), F(scale_A, 64, 4), F(scale_B, 68, 4),
             F(rshift_A, 72, 4), F(rshift_B, 76, 4), F(A_type, 80, 4), F(B_type, 84, 4), F(if_relu, 88, 4)),
      RECORD(170, zv_api_const_binary_fix8b_forward_t, 92, F(A_addr, 0, 8), F(R_addr, 8, 8), F(quantized_val_b, 16, 4),
             F(shape, 20, 32), F(tensor_dim, 52, 4), F(op, 56, 4), F(scale_A, 60, 4), F(unused64, 64, 4),
             F(rshift, 68, 4), F(unused72, 72, 4), F(sign_A, 76, 4), F(unused80, 80, 4), F(inversed, 84, 4),
             F(if_relu, 88, 4)),
      RECORD(171, zv_api_broadcast_binary_fix8b_forward_t, 124, F(A_addr, 0, 8), F(B_addr, 8, 8), F(R_addr, 16, 8),
             F(b0_shape, 24, 32), F(b1_shape, 56, 32), F(tensor_dim, 88, 4), F(op, 92, 4), F(scale_A, 96, 4),
             F(scale_B, 100, 4), F(rshift_A, 104, 4), F(rshift_B, 108, 4), F(A_type, 112, 4), F(B_type, 116, 4),
             F(if_relu, 120, 4)),
      RECORD(172, zv_api_sigmoid_forward_parallel_fix8b_t, 40, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_scale, 24, 4), F(output_scale, 28, 4), F(input_sign, 32, 4),
             F(output_sign, 36, 4)),
      RECORD(173, zv_api_tanh_forward_parallel_fix8b_t, 40, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(input_n, 16, 4), F(input_c, 20, 4), F(input_scale, 24, 4), F(output_scale, 28, 4), F(input_sign, 32, 4),
             F(output_sign, 36, 4)),
      RECORD(174, zv_api_active_forward_t, 32, F(input_addr, 0, 8), F(output_addr, 8, 8), F(outer_size, 16, 4),
             F(inner_size, 20, 4), F(active_type, 24, 4), F(active_param, 28, 4)),
      RECORD(175, zv_api_active_forward_fix8b_t, 48, F(input_addr, 0, 8), F(output_addr, 8, 8), F(outer_size, 16, 4),
             F(inner_size, 20, 4), F(active_type, 24, 4), F(input_scale, 28, 4), F(output_scale, 32, 4),
             F(input_sign, 36, 4), F(output_sign, 40, 4), F(unused, 44, 4)),
      RECORD(176, zv_api_ssd_detect_out_t, 84, F(loc_addr, 0, 8), F(conf_addr, 8, 8), F(prior_addr, 16, 8),
             F(output_addr, 24, 8), F(num, 32, 4), F(num_priors, 36, 4), F(num_classes, 40, 4),
             F(num_loc_classes, 44, 4), F(share_location, 48, 4), F(background_label_id, 52, 4), F(top_k, 56, 4),
             F(code_type, 60, 4), F(keep_top_k, 64, 4), F(variance_encoded_in_target, 68, 4), F(nms_threshold, 72, 4),
             F(confidence_threshold, 76, 4), F(eta, 80, 4)),
      RECORD(177, zv_api_memset_byte_t, 44, F(global_addr, 0, 8), F(N, 8, 4), F(C, 12, 4), F(H, 16, 4), F(W, 20, 4),
             F(stride_n, 24, 4), F(stride_c, 28, 4), F(stride_h, 32, 4), F(stride_w, 36, 4), F(value, 40, 1),
             F(unused, 41, 3)),
      RECORD(178, zv_api_yolov3_detect_out_t, 208, F(input_addr, 0, 24),
             F(output_addr, 24, 8) /* one field over the words at 24 and 28 */, F(input_num, 32, 4), F(num, 36, 4),
             F(head_shape, 40, 24), F(num_classes, 64, 4), F(num_boxes, 68, 4), F(mask_group, 72, 4),
             F(keep_top_k, 76, 4), F(nms_threshold, 80, 4), F(confidence_threshold, 84, 4), F(biases, 88, 72),
             F(strides, 160, 12), F(mask, 172, 36)),
      RECORD(180, zv_api_sort_per_dim_t, 96, F(input_addr, 0, 8), F(index_out_addr, 8, 8), F(value_out_addr, 16, 8),
             F(buffer_addr, 24, 8), F(buffer2_addr, 32, 8), F(buffer3_addr, 40, 8), F(type_size, 48, 4),
             F(shape, 52, 32), F(dims, 84, 4), F(dim, 88, 4), F(unused0, 92, 1), F(unused1, 93, 1),
             F(descending, 94, 1), F(pad, 95, 1)),
      RECORD(181, zv_api_index_select_t, 88, F(input_addr, 0, 8), F(index_addr, 8, 8), F(index_num, 16, 4),
             F(output_addr, 20, 8), F(buffer_addr, 28, 8), F(buffer2_addr, 36, 8), F(type_size, 44, 4),
             F(shape, 48, 32), F(dims, 80, 4), F(axis, 84, 4)),
      RECORD(182, zv_api_conv3d_parallel_t, 124, F(input_addr, 0, 8), F(output_addr, 8, 8), F(weight_addr, 16, 8),
             F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_t, 40, 4), F(input_h, 44, 4),
             F(input_w, 48, 4), F(groups, 52, 4), F(output_c, 56, 4), F(kt, 60, 4), F(kh, 64, 4), F(kw, 68, 4),
             F(dt, 72, 4), F(dh, 76, 4), F(dw, 80, 4), F(pad_t0, 84, 4), F(pad_t1, 88, 4), F(pad_h_t, 92, 4),
             F(pad_h_b, 96, 4), F(pad_w_l, 100, 4), F(pad_w_r, 104, 4), F(stride_t, 108, 4), F(stride_h, 112, 4),
             F(stride_w, 116, 4), F(using_bias, 120, 4)),
      RECORD(183, zv_api_memcpy_tensors_t, 12, F(tensor_num, 0, 4), F(tensor_table_addr, 4, 8)),
      RECORD(200, zv_api_reduce_t, 100, F(input, 0, 8), F(output, 8, 8), F(buffer, 16, 8), F(shape, 24, 32),
             F(dims, 56, 4), F(axes, 60, 32), F(axis_num, 92, 4), F(reduce_method, 96, 4)),
      RECORD(201, zv_api_segment_reduce_t, 0, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_rows, 16, 4),
             F(segment_num, 20, 4), F(row_len, 24, 4), F(segment_reduce_flag, 28, 4)),
      RECORD(203, zv_api_unfold_t, 68, F(input, 0, 8), F(input_rank, 8, 4), F(input_shape, 12, 28),
             F(unfold_axis, 40, 4), F(unfold_size, 44, 4), F(unfold_step, 48, 4), F(buffer, 52, 8), F(output, 60, 8)),
      RECORD(500, zv_api_cv_convert_to_t, 68, F(src, 0, 8), F(width, 8, 4), F(stride, 12, 4), F(height, 16, 4),
             F(alpha0, 20, 4), F(beta0, 24, 4), F(alpha1, 28, 4), F(beta1, 32, 4), F(alpha2, 36, 4), F(beta2, 40, 4),
             F(mode, 44, 4), F(count, 48, 4), F(src_type, 52, 4), F(dst_type, 56, 4), F(dst, 60, 8)),
      RECORD(501, zv_api_cv_gen_proposal_and_nms_t, 292, F(level[0].scores, 0, 8), F(level[0].deltas, 8, 8),
             F(level[0].anchors, 16, 8), F(level[0].scale, 24, 4), F(level[0].stride_factor, 28, 4),
             F(level[0].images_per_item, 32, 4), F(level[0].h, 36, 4), F(level[0].w, 40, 4), F(level[0].P0, 44, 4),
             F(level[0].P1, 48, 4), F(level[0].S, 52, 4), F(level[0].A, 56, 4), F(level[0].B, 60, 4),
             F(level[0].R, 64, 4), F(level[0].M, 68, 4), F(level[0].threshold, 72, 4), F(level[0].unused, 76, 4),
             F(level[0].delta_item_stride, 80, 4), F(level[1].scores, 84, 8), F(level[1].deltas, 92, 8),
             F(level[1].anchors, 100, 8), F(level[1].scale, 108, 4), F(level[1].stride_factor, 112, 4),
             F(level[1].images_per_item, 116, 4), F(level[1].h, 120, 4), F(level[1].w, 124, 4), F(level[1].P0, 128, 4),
             F(level[1].P1, 132, 4), F(level[1].S, 136, 4), F(level[1].A, 140, 4), F(level[1].B, 144, 4),
             F(level[1].R, 148, 4), F(level[1].M, 152, 4), F(level[1].threshold, 156, 4), F(level[1].unused, 160, 4),
             F(level[1].delta_item_stride, 164, 4), F(level[2].scores, 168, 8), F(level[2].deltas, 176, 8),
             F(level[2].anchors, 184, 8), F(level[2].scale, 192, 4), F(level[2].stride_factor, 196, 4),
             F(level[2].images_per_item, 200, 4), F(level[2].h, 204, 4), F(level[2].w, 208, 4), F(level[2].P0, 212, 4),
             F(level[2].P1, 216, 4), F(level[2].S, 220, 4), F(level[2].A, 224, 4), F(level[2].B, 228, 4),
             F(level[2].R, 232, 4), F(level[2].M, 236, 4), F(level[2].threshold, 240, 4), F(level[2].unused, 244, 4),
             F(level[2].delta_item_stride, 248, 4), F(nms_threshold, 252, 4), F(threshold, 256, 4), F(batch, 260, 4),
             F(first_image, 264, 4), F(proposal_addr, 268, 8), F(result_addr, 276, 8), F(counts_addr, 284, 8)),
      RECORD(502, zv_api_cv_convert_to_inter_t, 60, F(image[0].input, 0, 8), F(image[0].output, 8, 8),
             F(image[1].input, 16, 8), F(image[1].output, 24, 8), F(image[2].input, 32, 8), F(image[2].output, 40, 8),
             F(table, 48, 8), F(count, 56, 4)),
      RECORD(503, zv_api_cv_sort_test_t, 48, F(key_array, 0, 8), F(index_array, 8, 8), F(keys_out, 16, 8),
             F(indices_out, 24, 8), F(order, 32, 4), F(memory_space, 36, 4), F(len, 40, 4), F(out_len, 44, 4)),
      RECORD(504, zv_api_cv_feature_match_t, 52, F(query, 0, 8), F(database, 8, 8), F(factor, 16, 8),
             F(similarity_out, 24, 8), F(index_out, 32, 8), F(batch, 40, 4), F(feature_count, 44, 4),
             F(entry_count, 48, 4)),
      RECORD(505, zv_api_cv_storage_convert_t, 164, F(input, 0, 32), F(output, 32, 32), F(U, 64, 32), F(V, 96, 32),
             F(input_format, 128, 4), F(output_format, 132, 4), F(src_type, 136, 4), F(dst_type, 140, 4),
             F(count, 144, 4), F(h, 148, 4), F(w, 152, 4), F(op, 156, 4), F(colour_code, 160, 4)),
      RECORD(506, zv_api_cv_width_align_t, 60, F(src, 0, 8), F(dst, 8, 8), F(n, 16, 4), F(c, 20, 4), F(h, 24, 4),
             F(w, 28, 4), F(src_n_stride, 32, 4), F(src_c_stride, 36, 4), F(src_h_stride, 40, 4),
             F(dst_n_stride, 44, 4), F(dst_c_stride, 48, 4), F(dst_h_stride, 52, 4), F(data_type, 56, 4)),
      RECORD(507, zv_api_cv_copy_to_t, 80, F(src, 0, 8), F(dst, 8, 8),
             F(fill_base, 16, 8) /* one field over the words at 16 and 20 */, F(channels, 24, 4), F(src_stride, 28, 4),
             F(src_width, 32, 4), F(src_height, 36, 4), F(dst_stride, 40, 4), F(dst_width, 44, 4), F(dst_height, 48, 4),
             F(data_type, 52, 4), F(colour_order, 56, 4), F(packed, 60, 4), F(value0, 64, 4), F(value1, 68, 4),
             F(value2, 72, 4), F(padding, 76, 4)),
      RECORD(508, zv_api_cv_sort_t, 52, F(src_key, 0, 8), F(src_index, 8, 8), F(len, 16, 4), F(dst_key, 20, 8),
             F(dst_index, 28, 8), F(out_len, 36, 4), F(order, 40, 4), F(index_enable, 44, 4), F(auto_index, 48, 4)),
      RECORD(509, zv_api_cv_feature_match_fix8b_t, 60, F(query, 0, 8), F(database, 8, 8), F(scores_out, 16, 8),
             F(indices_out, 24, 8), F(work, 32, 8), F(batch, 40, 4), F(feature_count, 44, 4), F(entry_count, 48, 4),
             F(top_n, 52, 4), F(shift, 56, 4)),
      RECORD(510, zv_api_cv_warp_bilinear_t, 80, F(src, 0, 8), F(dst, 8, 8), F(matrix, 16, 24), F(channels, 40, 4),
             F(src_h, 44, 4), F(src_w, 48, 4), F(roi_h, 52, 4), F(roi_w, 56, 4), F(dst_h, 60, 4), F(dst_w, 64, 4),
             F(roi_x, 68, 4), F(roi_y, 72, 4), F(src_stride, 76, 4)),
      RECORD(511, zv_api_cv_soft_nms_t, 36, F(input_addr, 0, 8), F(proposal_size, 8, 4), F(weighting_method, 12, 4),
             F(sigma, 16, 4), F(overlap_addr, 20, 8), F(weighting_addr, 28, 8)),
      RECORD(512, zv_api_cv_split_t, 36, F(src, 0, 8), F(dst, 8, 8), F(row_length, 16, 4), F(total_rows, 20, 4),
             F(segment, 24, 4), F(rows, 28, 4), F(data_type, 32, 4)),
      RECORD(513, zv_api_cv_transpose_t, 32, F(src, 0, 8), F(dst, 8, 8), F(x, 16, 4), F(y, 20, 4), F(z, 24, 4),
             F(elem_bytes, 28, 4)),
      RECORD(700, zv_api_topk_t, 48, F(input_addr, 0, 8), F(value_out_addr, 8, 8), F(index_out_addr, 16, 8),
             F(k, 24, 4), F(dim, 28, 4), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4), F(input_w, 44, 4)),
      RECORD(701, zv_api_cumsum_t, 36, F(input, 0, 8), F(output, 8, 8), F(dim, 16, 4), F(N, 20, 4), F(C, 24, 4),
             F(H, 28, 4), F(W, 32, 4)),
      RECORD(702, zv_api_where_t, 76, F(input, 0, 8), F(output, 8, 8), F(count_addr, 16, 8),
             F(index_buffer_addr, 24, 8), F(count_scratch_addr, 32, 8), F(dims, 40, 4), F(shape, 44, 32)),
      RECORD(703, zv_api_masked_select_t, 84, F(src_addr, 0, 8), F(mask_addr, 8, 8), F(shape, 16, 32), F(dims, 48, 4),
             F(dst_addr, 52, 8), F(count_addr, 60, 8), F(src_type_size, 68, 4), F(mask_type_size, 72, 4),
             F(buffer_addr, 76, 8)),
      RECORD(800, zv_api_yolo_t, 52, F(input_addr, 0, 8), F(output_addr, 8, 8), F(input_n, 16, 4), F(input_c, 20, 4),
             F(input_h, 24, 4), F(input_w, 28, 4), F(num, 32, 4), F(classes, 36, 4), F(coords, 40, 4),
             F(background, 44, 4), F(use_softmax, 48, 4)),
      RECORD(900, zv_api_fc_forward_parallel_t, 84, F(input_addr, 0, 8), F(weight_addr, 8, 8), F(bias_addr, 16, 8),
             F(output_addr, 24, 8), F(slope_addr, 32, 8), F(batch_size, 40, 4), F(input_neuron_num, 44, 4),
             F(output_neuron_num, 48, 4), F(weight_transpose, 52, 4), F(using_bias, 56, 4), F(reserved0, 60, 4),
             F(reserved1, 64, 4), F(active_type, 68, 4), F(channel_shared, 72, 4), F(shared_slope, 76, 4),
             F(sec_size, 80, 4)),
      RECORD(901, zv_api_sigmoid_forward_parallel_t, 24, F(input_addr, 0, 8), F(output_addr, 8, 8), F(n, 16, 4),
             F(inner, 20, 4)),
      RECORD(902, zv_api_tanh_forward_parallel_t, 24, F(input_addr, 0, 8), F(output_addr, 8, 8), F(n, 16, 4),
             F(inner, 20, 4)),
      RECORD(983, zv_api_conv_forward_parallel_fix16b_t, 168, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(weight_addr, 16, 8), F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4), F(groups, 48, 4), F(output_c, 52, 4), F(kh, 56, 4), F(kw, 60, 4), F(dh, 64, 4),
             F(dw, 68, 4), F(pad_h, 72, 4), F(pad_h_after, 76, 4), F(pad_w, 80, 4), F(pad_w_after, 84, 4),
             F(stride_h, 88, 4), F(stride_w, 92, 4), F(using_bias, 96, 4), F(unused, 100, 4), F(use_winograd, 104, 4),
             F(hsecs, 108, 4), F(nsecs, 112, 4), F(icsecs, 116, 4), F(ocsecs, 120, 4), F(wsecs, 124, 4),
             F(out_mode, 128, 4), F(relu_upper_limit, 132, 4), F(weight_layout, 136, 4), F(ins_h, 140, 4),
             F(ins_w, 144, 4), F(rshift, 148, 4), F(opd0_sign, 152, 4), F(opd1_sign, 156, 4), F(opd2_sign, 160, 4),
             F(input_mode, 164, 4)),
      RECORD(984, zv_api_depthwise_fix8b_forward_parallel_t, 112, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(weight_addr, 16, 8), F(bias_addr, 24, 8), F(input_n, 32, 4), F(input_c, 36, 4), F(input_h, 40, 4),
             F(input_w, 44, 4), F(kh, 48, 4), F(kw, 52, 4), F(pad_h_t, 56, 4), F(pad_h_b, 60, 4), F(pad_w_l, 64, 4),
             F(pad_w_r, 68, 4), F(stride_h, 72, 4), F(stride_w, 76, 4), F(rshift, 80, 4), F(using_bias, 84, 4),
             F(reserved0, 88, 4), F(opd0_sign, 92, 4), F(opd1_sign, 96, 4), F(opd2_sign, 100, 4), F(reserved1, 104, 4),
             F(out_mode, 108, 4)),
      RECORD(985, zv_api_perchannel_shift_forward_parallel_fix8b_t, 56, F(input_addr, 0, 8), F(output_addr, 8, 8),
             F(shift_global_addr, 16, 8), F(input_n, 24, 4), F(input_c, 28, 4), F(input_h, 32, 4), F(input_w, 36, 4),
             F(shift_kind, 40, 4), F(shift_value, 44, 4), F(shift_mode, 48, 4), F(sign_input, 52, 4)),
      RECORD(986, zv_api_set_profile_t, 4, F(enable, 0, 4)),
      RECORD(987, zv_api_get_profile_data_t, 28, F(staging_addr, 0, 8), F(dst_addr, 8, 8), F(staging_size, 16, 4),
             F(offset, 20, 4), F(list, 24, 4)),
  };
  return all;
}

TEST(RecordLayout, EveryFieldSitsAtItsWireOffset) {
  for (const Record &r : records()) {
    SCOPED_TRACE(std::to_string(r.id) + " " + r.type);
    for (const Field &f : r.fields) {
      EXPECT_EQ(f.struct_offset, f.offset) << f.name;
      EXPECT_EQ(f.struct_width, f.width) << f.name;
    }
  }
}

// The rows of a record follow each other without gap or overlap from byte 0
// to the record's end, so every byte of the record is accounted for; and the
// struct has exactly the record's size.
TEST(RecordLayout, FieldsCoverEachRecordAndNothingMore) {
  for (const Record &r : records()) {
    SCOPED_TRACE(std::to_string(r.id) + " " + r.type);
    ASSERT_FALSE(r.fields.empty());
    size_t next = 0;
    for (const Field &f : r.fields) {
      EXPECT_EQ(f.offset, next) << f.name;
      next = f.offset + f.width;
    }
    if (r.bytes != 0) {
      EXPECT_EQ(next, r.bytes);
      EXPECT_EQ(r.struct_bytes, r.bytes);
    } else {
      EXPECT_EQ(r.struct_bytes, next) << "the fixed head of a variable record";
    }
  }
}

// Every id has its row here and in the dispatcher's table, with the size the
// dispatcher hands the handler's check (0 for a record of variable length).
TEST(RecordLayout, DispatcherChecksEachIdAgainstItsRecordSize) {
  EXPECT_EQ(records().size(), 150u);
  std::set<uint32_t> ids;
  for (const Record &r : records()) {
    SCOPED_TRACE(std::to_string(r.id) + " " + r.type);
    EXPECT_TRUE(ids.insert(r.id).second) << "id listed twice";
    const zv_api_entry_t *row = nullptr;
    for (uint32_t i = 0; i < zv_api_table_size; i++)
      if (zv_api_table[i].id == r.id) row = &zv_api_table[i];
    ASSERT_NE(row, nullptr) << "no handler";
    EXPECT_EQ(row->handler, zv_api_find(r.id));
    EXPECT_EQ(row->record_bytes, r.bytes);
  }
  EXPECT_EQ(zv_api_table_size, ids.size()) << "a handler without a record row";
}

}  // namespace
}  // namespace zv::test
