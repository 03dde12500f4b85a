// The API table and the dispatch by API id.
#include "runtime/api/dispatch.h"

#include "runtime/firmware_main.h"
#include "runtime/services.h"
#include "cmd/gemm.h"
#include "cv/cv_convert.h"
#include "cv/cv_face_proposal.h"
#include "cv/cv_feature_match.h"
#include "cv/cv_sort_test.h"
#include "cv/cv_resize.h"
#include "cv/cv_storage_convert.h"
#include "cv/cv_warp.h"
#include "cv/cv_yuv2rgb.h"
#include "heatprobe/heatprobe.h"
#include "layers/conv/conv.h"
#include "layers/conv/conv3d.h"
#include "layers/conv/deconv.h"
#include "layers/conv/depthwise.h"
#include "layers/conv/fc.h"
#include "layers/data/arg.h"
#include "layers/data/fc_decompress.h"
#include "layers/data/reduce.h"
#include "layers/data/select.h"
#include "layers/data/topk.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/eltwise_math.h"
#include "layers/eltwise/prelu.h"
#include "layers/eltwise/softmax.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/eltwise_math.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/lrn.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/multiregion.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/scale.h"
#include "layers/eltwise/unary.h"
#include "layers/eltwise/unary_fix8b.h"
#include "layers/conv/conv_fix16b.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/deconv_fix8b.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc_fix8b.h"
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
#include "cmd/cdma_sort.h"
#include "cmd/memory_fill_copy.h"
#include "layers/data/concat.h"
#include "layers/data/copy.h"
#include "layers/data/pad.h"
#include "layers/data/rearrange.h"
#include "layers/data/stride_slice.h"
#include "layers/data/tile.h"
#include "layers/data/transpose.h"
#include "layers/detect/nms.h"
#include "layers/detect/psroipooling.h"
#include "layers/detect/roi_pooling.h"
#include "layers/detect/ssd_detect_out.h"
#include "layers/detect/yolo.h"
#include "layers/detect/yolov3_detect_out.h"
#include "runtime/api/fullnet_api.h"
#include "runtime/api/profile_api.h"

#if !defined(__arm__)
zv_api_test_hook_t zv_api_test_hook;
#endif

// One row per API id that has a handler, in ascending id order, with the size
// of the handler's record. Ids not listed answer 1008.
constexpr zv_api_entry_t zv_api_table[] = {
    {1, zv_api_memset, sizeof(zv_api_memset_t)},
    {2, zv_api_memcpy, sizeof(zv_api_memcpy_t)},
    {3, zv_api_nodechip_md_scalar, sizeof(zv_api_nodechip_md_scalar_t)},
    {4, zv_api_md_sum, sizeof(zv_api_md_sum_t)},
    {5, zv_api_md_linear, sizeof(zv_api_md_linear_t)},
    {6, zv_api_nodechip_md_cmp, sizeof(zv_api_nodechip_md_cmp_t)},
    {7, zv_api_nodechip_md_sfu, sizeof(zv_api_nodechip_md_sfu_t)},
    {8, zv_api_img_sum, sizeof(zv_api_img_sum_t)},
    {9, zv_api_nodechip_float2int8, sizeof(zv_api_nodechip_float2int8_t)},
    {10, zv_api_dropout_forward, sizeof(zv_api_dropout_forward_t)},
    {12, zv_api_accuracy_layer, sizeof(zv_api_accuracy_layer_t)},
    {13, zv_api_log_forward, sizeof(zv_api_log_forward_t)},
    {15, zv_api_sigmoid_cross_entropy_loss_forward, sizeof(zv_api_sigmoid_cross_entropy_loss_forward_t)},
    {17, zv_api_contrastive_loss_forward, sizeof(zv_api_contrastive_loss_forward_t)},
    {19, zv_api_filter_forward, sizeof(zv_api_filter_forward_t)},
    {22, zv_api_prelu_forward, sizeof(zv_api_prelu_forward_t)},
    {24, zv_api_scale_forward, sizeof(zv_api_scale_forward_t)},
    {26, zv_api_threshold_forward, sizeof(zv_api_threshold_forward_t)},
    {27, zv_api_exp_forward, sizeof(zv_api_exp_forward_t)},
    {29, zv_api_power_forward, sizeof(zv_api_power_forward_t)},
    {31, zv_api_euclidean_loss_forward, sizeof(zv_api_euclidean_loss_forward_t)},
    {34, zv_api_lstm_unit_forward, sizeof(zv_api_lstm_unit_forward_t)},
    {36, zv_api_eltwise_forward, sizeof(zv_api_eltwise_forward_t)},
    {38, zv_api_bias_forward, sizeof(zv_api_bias_forward_t)},
    {40, zv_api_elu_forward, sizeof(zv_api_elu_forward_t)},
    {42, zv_api_absval_forward, sizeof(zv_api_absval_forward_t)},
    {44, zv_api_bnll_forward, sizeof(zv_api_bnll_forward_t)},
    {46, zv_api_permute, sizeof(zv_api_permute_param_t)},
    {47, zv_api_roi_pooling_forward, sizeof(zv_api_roi_pooling_forward_t)},
    {48, zv_api_normalize_forward, sizeof(zv_api_normalize_forward_t)},
    {49, zv_api_conv_forward_parallel, sizeof(zv_api_conv_forward_parallel_t)},
    {50, zv_api_deconv_forward_parallel, sizeof(zv_api_deconv_forward_parallel_t)},
    {52, zv_api_pooling_forward_parallel, sizeof(zv_api_pooling_forward_parallel_t)},
    {56, zv_api_lrn_forward_parallel, sizeof(zv_api_lrn_forward_parallel_t)},
    {58, zv_api_batchnorm_forward_inference_parallel, sizeof(zv_api_batchnorm_forward_inference_parallel_t)},
    {59, zv_api_batchnorm_forward_train_parallel, sizeof(zv_api_batchnorm_forward_train_parallel_t)},
    {65, zv_api_relu_forward_parallel, sizeof(zv_api_relu_forward_parallel_t)},
    {67, zv_api_softmax_forward_parallel, sizeof(zv_api_softmax_forward_parallel_t)},
    {69, zv_api_softmax_loss_forward_parallel, sizeof(zv_api_softmax_loss_forward_parallel_t)},
    {71, zv_api_softmax_loss_bidirection_parallel, sizeof(zv_api_softmax_loss_bidirection_parallel_t)},
    {73, zv_api_upsample_forward_parallel, sizeof(zv_api_upsample_forward_parallel_t)},
    {75, zv_api_multiregion_forward_parallel, sizeof(zv_api_multiregion_forward_parallel_t)},
    {82, zv_api_lstm_forward, sizeof(zv_api_lstm_forward_t)},
    {83, zv_api_conv_forward_parallel_fix8b, sizeof(zv_api_conv_forward_parallel_fix8b_t)},
    {84, zv_api_eltwise_fix8b_forward_parallel, sizeof(zv_api_eltwise_fix8b_forward_t)},
    {85, zv_api_fc_fix8b_forward_parallel, sizeof(zv_api_fc_fix8b_forward_parallel_t)},
    {88, zv_api_pooling_fix8b_forward_parallel, sizeof(zv_api_pooling_fix8b_forward_parallel_t)},
    {90, zv_api_global_int2float, sizeof(zv_api_global_int2float_t)},
    {91, zv_api_concat, sizeof(zv_api_concat_t)},
    {92, zv_api_concat_fix8b, sizeof(zv_api_concat_t)},
    {93, zv_api_global_memcpy, sizeof(zv_api_global_memcpy_t)},
    {94, zv_api_crop, sizeof(zv_api_crop_t)},
    {95, zv_api_pooling_train_forward_parallel, sizeof(zv_api_pooling_train_forward_parallel_t)},
    {96, zv_api_bnscale_forward_parallel_fix8b, sizeof(zv_api_bnscale_forward_parallel_fix8b_t)},
    {97, zv_api_depthwise_fix8b_forward_parallel, sizeof(zv_api_depthwise_fix8b_forward_parallel_t)},
    {105, zv_api_gemm, sizeof(zv_api_gemm_t)},
    {110, zv_api_multi_fullnet, 0},
    {111, zv_api_dynamic_fullnet, 0},
    {112, zv_api_cv_warp, sizeof(zv_api_cv_warp_t)},
    {113, zv_api_cv_resize, sizeof(zv_api_cv_resize_t)},
    {114, zv_api_cv_yuv2rgb, sizeof(zv_api_cv_yuv2rgb_t)},
    {115, zv_api_slice_forward, 0},
    {116, zv_api_tile_forward, sizeof(zv_api_tile_forward_t)},
    {117, zv_api_transpose, sizeof(zv_api_transpose_t)},
    {118, zv_api_transpose_fix8b, sizeof(zv_api_transpose_fix8b_t)},
    {119, zv_api_tile_fix8b_forward, sizeof(zv_api_tile_fix8b_forward_t)},
    {120, zv_api_batch2space_fix8b_forward, sizeof(zv_api_batch2space_fix8b_forward_t)},
    {121, zv_api_space2batch_fix8b_forward, sizeof(zv_api_space2batch_fix8b_forward_t)},
    {122, zv_api_pooling_train_index_forward_parallel, sizeof(zv_api_pooling_train_index_forward_parallel_t)},
    {123, zv_api_nodechip_1d_scalar, sizeof(zv_api_nodechip_1d_scalar_t)},
    {124, zv_api_nodechip_1d_sfu, sizeof(zv_api_nodechip_1d_sfu_t)},
    {126, zv_api_cv_gen_proposal, sizeof(zv_api_cv_gen_proposal_t)},
    {127, zv_api_word2vec_parallel, sizeof(zv_api_word2vec_t)},
    {128, zv_api_sum_x2n, sizeof(zv_api_sum_x2n_t)},
    {129, zv_api_md_ops, sizeof(zv_api_md_ops_t)},
    {130, zv_api_deconv_fix8b_forward_parallel, sizeof(zv_api_deconv_fix8b_forward_parallel_t)},
    {131, zv_api_cv_nms, sizeof(zv_api_cv_nms_t)},
    {136, zv_api_memcpy_byte, sizeof(zv_api_memcpy_byte_t)},
    {137, zv_api_memcpy_wstride, sizeof(zv_api_memcpy_wstride_t)},
    {138, zv_api_memcpy_tensor, sizeof(zv_api_memcpy_tensor_t)},
    {139, zv_api_f32_is, sizeof(zv_api_f32_is_t)},
    {140, zv_api_ctcloss_parallel, sizeof(zv_api_ctcloss_t)},
    {141, zv_api_normalize_fix8b_forward, sizeof(zv_api_normalize_fix8b_forward_t)},
    {142, zv_api_permute_fix8b, sizeof(zv_api_permute_fix8b_param_t)},
    {143, zv_api_slice_fix8b_forward, 0},
    {144, zv_api_pad, sizeof(zv_api_pad_t)},
    {145, zv_api_pad_fix8b, sizeof(zv_api_pad_fix8b_t)},
    {146, zv_api_split_tf_fix8b, sizeof(zv_api_split_tf_fix8b_t)},
    {147, zv_api_unary, sizeof(zv_api_unary_t)},
    {148, zv_api_binary, sizeof(zv_api_binary_t)},
    {149, zv_api_simple_binary, sizeof(zv_api_simple_binary_t)},
    {151, zv_api_simple_select, sizeof(zv_api_simple_select_t)},
    {152, zv_api_depthwise_forward, sizeof(zv_api_depthwise_forward_t)},
    {155, zv_api_psroipooling_forward, sizeof(zv_api_psroipooling_forward_t)},
    {157, zv_api_arg, sizeof(zv_api_arg_t)},
    {158, zv_api_arg_fix8b, sizeof(zv_api_arg_fix8b_t)},
    {159, zv_api_shuffle_channel_forward, sizeof(zv_api_shuffle_channel_forward_t)},
    {160, zv_api_shuffle_channel_fix8b_forward, sizeof(zv_api_shuffle_channel_fix8b_forward_t)},
    {161, zv_api_stride_slice, sizeof(zv_api_stride_slice_t)},
    {162, zv_api_fc_weight_decompress, sizeof(zv_api_fc_weight_decompress_t)},
    {163, zv_api_interp_forward_parallel, sizeof(zv_api_interp_forward_parallel_t)},
    {164, zv_api_bias_fix8b_forward, sizeof(zv_api_bias_fix8b_forward_t)},
    {165, zv_api_stride_slice_fix8b, sizeof(zv_api_stride_slice_fix8b_t)},
    {166, zv_api_adaptive_pooling_forward, sizeof(zv_api_adaptive_pooling_forward_t)},
    {167, zv_api_adaptive_pooling_fix8b_forward, sizeof(zv_api_adaptive_pooling_fix8b_forward_t)},
    {168, zv_api_reduce_fix8b, sizeof(zv_api_reduce_fix8b_t)},
    {169, zv_api_eltwise_binary_fix8b_forward_parallel, sizeof(zv_api_eltwise_binary_fix8b_forward_t)},
    {170, zv_api_const_binary_fix8b_forward_parallel, sizeof(zv_api_const_binary_fix8b_forward_t)},
    {171, zv_api_broadcast_binary_fix8b_forward_parallel, sizeof(zv_api_broadcast_binary_fix8b_forward_t)},
    {172, zv_api_sigmoid_forward_parallel_fix8b, sizeof(zv_api_sigmoid_forward_parallel_fix8b_t)},
    {173, zv_api_tanh_forward_parallel_fix8b, sizeof(zv_api_tanh_forward_parallel_fix8b_t)},
    {174, zv_api_active_forward_parallel, sizeof(zv_api_active_forward_t)},
    {175, zv_api_active_forward_parallel_fix8b, sizeof(zv_api_active_forward_fix8b_t)},
    {176, zv_api_ssd_detect_out, sizeof(zv_api_ssd_detect_out_t)},
    {177, zv_api_memset_byte, sizeof(zv_api_memset_byte_t)},
    {178, zv_api_yolov3_detect_out, sizeof(zv_api_yolov3_detect_out_t)},
    {180, zv_api_sort_per_dim, sizeof(zv_api_sort_per_dim_t)},
    {181, zv_api_index_select, sizeof(zv_api_index_select_t)},
    {182, zv_api_conv3d_parallel, sizeof(zv_api_conv3d_parallel_t)},
    {183, zv_api_memcpy_tensors, sizeof(zv_api_memcpy_tensors_t)},
    {200, zv_api_reduce, sizeof(zv_api_reduce_t)},
    {201, zv_api_segment_reduce, 0},
    {203, zv_api_unfold, sizeof(zv_api_unfold_t)},
    {500, zv_api_cv_convert_to, sizeof(zv_api_cv_convert_to_t)},
    {501, zv_api_cv_gen_prop_and_nms, sizeof(zv_api_cv_gen_proposal_and_nms_t)},
    {502, zv_api_cv_convert_to_intergrated, sizeof(zv_api_cv_convert_to_inter_t)},
    {503, zv_api_test_sort, sizeof(zv_api_cv_sort_test_t)},
    {504, zv_api_cv_feature_match, sizeof(zv_api_cv_feature_match_t)},
    {505, zv_api_cv_storage_convert, sizeof(zv_api_cv_storage_convert_t)},
    {506, zv_api_cv_correct_layout, sizeof(zv_api_cv_width_align_t)},
    {507, zv_api_copy_to, sizeof(zv_api_cv_copy_to_t)},
    {508, zv_api_sort, sizeof(zv_api_cv_sort_t)},
    {509, zv_api_cv_feature_match_fix8b, sizeof(zv_api_cv_feature_match_fix8b_t)},
    {510, zv_api_warp_bilinear, sizeof(zv_api_cv_warp_bilinear_t)},
    {511, zv_api_cv_soft_nms, sizeof(zv_api_cv_soft_nms_t)},
    {512, zv_api_cv_split, sizeof(zv_api_cv_split_t)},
    {513, zv_api_cv_transpose, sizeof(zv_api_cv_transpose_t)},
    {700, zv_api_topk, sizeof(zv_api_topk_t)},
    {701, zv_api_cumsum, sizeof(zv_api_cumsum_t)},
    {702, zv_api_where, sizeof(zv_api_where_t)},
    {703, zv_api_masked_select, sizeof(zv_api_masked_select_t)},
    {800, zv_api_yolo, sizeof(zv_api_yolo_t)},
    {900, zv_api_fc_forward_parallel, sizeof(zv_api_fc_forward_parallel_t)},
    {901, zv_api_sigmoid_forward_parallel, sizeof(zv_api_sigmoid_forward_parallel_t)},
    {902, zv_api_tanh_forward_parallel, sizeof(zv_api_tanh_forward_parallel_t)},
    {983, zv_api_conv_forward_parallel_fix16b, sizeof(zv_api_conv_forward_parallel_fix16b_t)},
    {984, zv_api_depthwise_fix16b_forward_parallel, sizeof(zv_api_depthwise_fix8b_forward_parallel_t)},
    {985, zv_api_perchannel_shift, sizeof(zv_api_perchannel_shift_forward_parallel_fix8b_t)},
    {986, zv_api_set_profile, sizeof(zv_api_set_profile_t)},
    {987, zv_api_get_profile_data, sizeof(zv_api_get_profile_data_t)},
};
constexpr u32 zv_api_table_size = sizeof(zv_api_table) / sizeof(zv_api_table[0]);

static constexpr bool ids_ascending(const zv_api_entry_t *table, u32 count) {
  for (u32 i = 0; i < count; i++)
    if (table[i].id == 0 || (i > 0 && table[i - 1].id >= table[i].id)) return false;
  return true;
}
static_assert(ids_ascending(zv_api_table, zv_api_table_size), "API table ids must be non-zero and ascending");

int api_global_fits(u64 addr, api_extent_t extent) {
  if (extent.hi <= extent.lo) return 1;
  // Both bounds are below 2^51 in magnitude, so nothing wraps.
  if (addr >= GLOBAL_MEM_END_ADDR) return 0;
  const i64 first = (i64)addr + extent.lo;
  const i64 end = (i64)addr + extent.hi;
  return first >= (i64)FW_USER_MEM_START && end <= (i64)GLOBAL_MEM_END_ADDR;
}

i64 api_mul(i64 a, i64 b) {
  // Both factors in [0, 2^31) (the usual case, zeros included): one 32 x 32 ->
  // 64 multiply that cannot wrap, then the cap.
  if ((((u64)a | (u64)b) >> 31) == 0) {
    const u64 product = (u64)(u32)a * (u32)b;
    return product > (u64)API_EXTENT_CAP ? API_EXTENT_CAP : (i64)product;
  }
  if (a == 0 || b == 0) return 0;
  if (a >= API_EXTENT_CAP || b >= API_EXTENT_CAP) return API_EXTENT_CAP;
  if (a > 0 && b > 0) {
    // Capped exactly when a * b passes the cap, found without a division (the
    // core has no divider, and a 64-bit one costs it some 200 instructions).
    i64 product;
    return __builtin_mul_overflow(a, b, &product) || product > API_EXTENT_CAP ? API_EXTENT_CAP : product;
  }
  return a > API_EXTENT_CAP / b ? API_EXTENT_CAP : a * b;
}

static const api_extent_t kNoAddressFits = {0, API_EXTENT_CAP};

api_extent_t api_dense(u32 elem_bytes, i64 a, i64 b, i64 c, i64 d) {
  if (a < 0 || b < 0 || c < 0 || d < 0) return kNoAddressFits;
  api_extent_t e = {0, api_mul(api_mul(api_mul(api_mul(a, b), c), d), elem_bytes)};
  return e;
}

api_extent_t api_strided(u32 elem_bytes, int rank, const i64 *dims, const i64 *strides) {
  i64 lo = 0, hi = 0;
  for (int k = 0; k < rank; k++) {
    if (dims[k] < 0) return kNoAddressFits;
    if (dims[k] == 0) return api_extent_t{0, 0};
  }
  for (int k = 0; k < rank; k++) {
    const i64 s = strides[k];
    const i64 reach = api_mul(dims[k] - 1, s < 0 ? -s : s);
    if (s < 0)
      lo -= reach;
    else
      hi += reach;
  }
  // At most four terms of at most 2^50 each: no wrap; the result is capped again.
  api_extent_t e = {api_mul(-lo, elem_bytes), api_mul(hi + 1, elem_bytes)};
  e.lo = -e.lo;
  return e;
}

// Row of each id in the table, 0xff for an id without a handler: a lookup in
// a few instructions instead of a binary search of eight rounds.
constexpr u32 zv_api_max_id = zv_api_table[zv_api_table_size - 1].id;
static_assert(zv_api_table_size < 0xff, "rows fit a byte");
struct zv_api_rows_t {
  u8 row[zv_api_max_id + 1];
  constexpr zv_api_rows_t() : row() {
    for (u32 id = 0; id <= zv_api_max_id; id++) row[id] = 0xff;
    for (u32 i = 0; i < zv_api_table_size; i++) row[zv_api_table[i].id] = (u8)i;
  }
};
static constexpr zv_api_rows_t zv_api_rows;

zv_api_handler_t zv_api_find(u32 id) {
  if (id > zv_api_max_id) return 0;
  const u8 row = zv_api_rows.row[id];
  return row == 0xff ? 0 : zv_api_table[row].handler;
}

u32 zv_api_dispatch(u32 id, u8 *param, u32 size) {
#if !defined(__arm__)
  u32 hooked;
  if (zv_api_test_hook && zv_api_test_hook(id, param, size, &hooked)) return hooked;
#endif
  if (zv_api_handler_t handler = zv_api_find(id)) return handler(param, size);
  // The power-test kernel takes the payload unchecked and always succeeds.
  if (id == ZVKERNEL_API_ID) {
    zvkernel_func((const char *)param);
    return 0;
  }
  // The reserved id answers without a log line.
  if (id == API_ID_RESERVED) return API_ERR_NOT_SUPPORTED;
  fw_log(0, "api_id = %d not supported\n", (int)id);
  return API_ERR_NOT_SUPPORTED;
}
