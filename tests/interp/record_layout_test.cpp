// The compiled-network records against the documented layouts. The tables
// below are transcribed by hand from the description's layout (byte offset and
// width of every field, and each record's size), never derived from the
// firmware's structs: a field placed out of order, a wrong width or a record
// of the wrong size fails here even when the firmware reader and the test
// writer agree with each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "interp/layer_records.h"
#include "interp/context.h"
#include "interp/record_fields.h"

namespace zv::test {
namespace {

struct Field {
  const char *name;
  size_t offset, width;          // as the struct declares them
  size_t want_offset, want_width;  // as the layout documents them
};
struct Layout {
  const char *record;
  size_t size, want_size;
  std::vector<Field> fields;
};

#define F(T, field, off, width) Field{#field, offsetof(T, field), sizeof(((T *)nullptr)->field), off, width}
#define L(T, size, ...) Layout{#T, sizeof(T), size, {__VA_ARGS__}}

void check(const std::vector<Layout> &table) {
  for (const Layout &l : table) {
    SCOPED_TRACE(l.record);
    EXPECT_EQ(l.size, l.want_size) << "record size";
    size_t end = 0;
    for (const Field &f : l.fields) {
      EXPECT_EQ(f.offset, f.want_offset) << f.name;
      EXPECT_EQ(f.width, f.want_width) << f.name;
      end = std::max(end, f.want_offset + f.want_width);
    }
    EXPECT_LE(end, l.want_size) << "fields past the record";
  }
}

TEST(InterpRecordLayout, FramingRecords) {
  check({
      L(dynamic_group_info_t, 12, F(dynamic_group_info_t, split_num, 0, 2), F(dynamic_group_info_t, ts_num, 2, 2),
        F(dynamic_group_info_t, n_slice, 4, 1), F(dynamic_group_info_t, group_in_num, 5, 1),
        F(dynamic_group_info_t, new_tensor_num, 6, 1), F(dynamic_group_info_t, flags, 7, 1),
        F(dynamic_group_info_t, stage_num, 8, 1)),
      L(dynamic_group_slice_t, 16, F(dynamic_group_slice_t, window_rows, 0, 2), F(dynamic_group_slice_t, id, 2, 2),
        F(dynamic_group_slice_t, window, 4, 2), F(dynamic_group_slice_t, stride, 6, 2),
        F(dynamic_group_slice_t, pad_bottom, 8, 2), F(dynamic_group_slice_t, pad_top, 10, 2),
        F(dynamic_group_slice_t, bound_window, 12, 4)),
      L(dynamic_layer_header_t, 16, F(dynamic_layer_header_t, layer_type, 0, 4),
        F(dynamic_layer_header_t, middle.data_size, 4, 4), F(dynamic_layer_header_t, middle.intensor_store_mode, 8, 4),
        F(dynamic_layer_header_t, middle.outtensor_store_mode, 12, 4)),
      L(dynamic_stage_word_t, 4, F(dynamic_stage_word_t, skip_bytes, 0, 2), F(dynamic_stage_word_t, stage, 2, 2)),
      L(dynamic_neuron_ref_t, 8, F(dynamic_neuron_ref_t, is_net_io, 0, 4), F(dynamic_neuron_ref_t, id, 4, 4)),
      L(dynamic_tensorarray_ref_t, 12, F(dynamic_tensorarray_ref_t, id, 0, 4),
        F(dynamic_tensorarray_ref_t, offset, 4, 8)),
  });
}

TEST(InterpRecordLayout, MoveRecords) {
  check({
      L(ld_input_neuron_rec_t, 24, F(ld_input_neuron_rec_t, local_addr, 0, 4), F(ld_input_neuron_rec_t, id, 4, 2),
        F(ld_input_neuron_rec_t, channels, 12, 4), F(ld_input_neuron_rec_t, data_size, 16, 4),
        F(ld_input_neuron_rec_t, pack_flag, 20, 1)),
      L(st_output_neuron_rec_t, 28, F(st_output_neuron_rec_t, local_addr, 0, 4), F(st_output_neuron_rec_t, id, 4, 2),
        F(st_output_neuron_rec_t, channel_offset, 8, 2), F(st_output_neuron_rec_t, dst_channels, 10, 2),
        F(st_output_neuron_rec_t, container_id, 12, 2), F(st_output_neuron_rec_t, group_a, 16, 1),
        F(st_output_neuron_rec_t, group_b, 17, 1), F(st_output_neuron_rec_t, data_size, 20, 4),
        F(st_output_neuron_rec_t, pack_flag, 24, 1)),
      L(ld_itm_neuron_rec_t, 32, F(ld_itm_neuron_rec_t, offset, 0, 8), F(ld_itm_neuron_rec_t, local_addr, 8, 4),
        F(ld_itm_neuron_rec_t, id, 12, 2), F(ld_itm_neuron_rec_t, reference_id, 16, 2),
        F(ld_itm_neuron_rec_t, start_lane, 18, 2), F(ld_itm_neuron_rec_t, channels, 20, 4),
        F(ld_itm_neuron_rec_t, data_size, 24, 4), F(ld_itm_neuron_rec_t, pack_flag, 28, 1)),
      L(st_itm_neuron_rec_t, 40, F(st_itm_neuron_rec_t, offset, 0, 8), F(st_itm_neuron_rec_t, f.local_addr, 8, 4),
        F(st_itm_neuron_rec_t, f.id, 12, 2), F(st_itm_neuron_rec_t, f.channel_offset, 16, 2),
        F(st_itm_neuron_rec_t, f.dst_channels, 18, 2), F(st_itm_neuron_rec_t, f.container_id, 20, 2),
        F(st_itm_neuron_rec_t, f.group_a, 24, 1), F(st_itm_neuron_rec_t, f.group_b, 25, 1),
        F(st_itm_neuron_rec_t, f.data_size, 28, 4), F(st_itm_neuron_rec_t, f.pack_flag, 32, 1)),
      L(ld_coeff_rec_t, 32, F(ld_coeff_rec_t, offset, 0, 8), F(ld_coeff_rec_t, local_addr, 8, 4),
        F(ld_coeff_rec_t, C, 12, 2), F(ld_coeff_rec_t, N, 14, 2), F(ld_coeff_rec_t, W, 16, 2),
        F(ld_coeff_rec_t, H, 18, 2), F(ld_coeff_rec_t, once, 20, 1), F(ld_coeff_rec_t, shape_mode, 21, 1),
        F(ld_coeff_rec_t, factor, 22, 1), F(ld_coeff_rec_t, elem_selector, 24, 4)),
      L(ld_coeff_neuron_rec_t, 40, F(ld_coeff_neuron_rec_t, offset, 0, 8), F(ld_coeff_neuron_rec_t, local_addr, 8, 4),
        F(ld_coeff_neuron_rec_t, W, 12, 2), F(ld_coeff_neuron_rec_t, C, 14, 2),
        F(ld_coeff_neuron_rec_t, row_step, 16, 2), F(ld_coeff_neuron_rec_t, pad_top, 18, 2),
        F(ld_coeff_neuron_rec_t, H, 20, 2), F(ld_coeff_neuron_rec_t, window_rows, 22, 2),
        F(ld_coeff_neuron_rec_t, once, 24, 1), F(ld_coeff_neuron_rec_t, single_batch, 25, 1),
        F(ld_coeff_neuron_rec_t, data_size, 28, 4), F(ld_coeff_neuron_rec_t, batch_to_register, 32, 4),
        F(ld_coeff_neuron_rec_t, id, 36, 4)),
      L(ld_coeff_winograd_rec_t, 32, F(ld_coeff_winograd_rec_t, offset, 0, 8),
        F(ld_coeff_winograd_rec_t, local_addr, 8, 4), F(ld_coeff_winograd_rec_t, C, 12, 2),
        F(ld_coeff_winograd_rec_t, n, 14, 2), F(ld_coeff_winograd_rec_t, h_w, 16, 4),
        F(ld_coeff_winograd_rec_t, once, 20, 1), F(ld_coeff_winograd_rec_t, winograd_coeff, 21, 1),
        F(ld_coeff_winograd_rec_t, groups, 22, 1), F(ld_coeff_winograd_rec_t, data_size, 24, 4)),
      L(mv_itm_neuron_rec_t, 40, F(mv_itm_neuron_rec_t, src_offset, 0, 8), F(mv_itm_neuron_rec_t, dst_offset, 8, 8),
        F(mv_itm_neuron_rec_t, f.source_id, 16, 2), F(mv_itm_neuron_rec_t, f.C, 18, 2),
        F(mv_itm_neuron_rec_t, f.channel_offset, 20, 2), F(mv_itm_neuron_rec_t, f.dst_channels, 22, 2),
        F(mv_itm_neuron_rec_t, f.dst_id, 24, 4), F(mv_itm_neuron_rec_t, f.data_size, 28, 4)),
      L(mv_output_neuron_rec_t, 32, F(mv_output_neuron_rec_t, src_offset, 0, 8),
        F(mv_output_neuron_rec_t, f.source_id, 8, 2), F(mv_output_neuron_rec_t, f.C, 10, 2),
        F(mv_output_neuron_rec_t, f.channel_offset, 12, 2), F(mv_output_neuron_rec_t, f.dst_channels, 14, 2),
        F(mv_output_neuron_rec_t, f.dst_id, 16, 4), F(mv_output_neuron_rec_t, f.data_size, 20, 4)),
      L(mv_itm_extend_neuron_rec_t, 48, F(mv_itm_extend_neuron_rec_t, src_offset, 0, 8),
        F(mv_itm_extend_neuron_rec_t, dst_offset, 8, 8), F(mv_itm_extend_neuron_rec_t, source_id, 16, 4),
        F(mv_itm_extend_neuron_rec_t, channel_offset, 20, 4), F(mv_itm_extend_neuron_rec_t, dst_id, 24, 4),
        F(mv_itm_extend_neuron_rec_t, elem_type, 28, 4), F(mv_itm_extend_neuron_rec_t, C, 32, 4),
        F(mv_itm_extend_neuron_rec_t, dst_channels, 36, 4), F(mv_itm_extend_neuron_rec_t, store_mode, 40, 1)),
      L(st_itm_extend_neuron_rec_t, 40, F(st_itm_extend_neuron_rec_t, offset, 0, 8),
        F(st_itm_extend_neuron_rec_t, local_addr, 8, 4), F(st_itm_extend_neuron_rec_t, id, 16, 4),
        F(st_itm_extend_neuron_rec_t, dst_channels, 20, 4), F(st_itm_extend_neuron_rec_t, channel_offset, 24, 4),
        F(st_itm_extend_neuron_rec_t, container_id, 28, 4), F(st_itm_extend_neuron_rec_t, data_size, 32, 4),
        F(st_itm_extend_neuron_rec_t, group_a, 36, 1), F(st_itm_extend_neuron_rec_t, group_b, 37, 1),
        F(st_itm_extend_neuron_rec_t, pack_flag, 38, 1)),
      L(ld_g2l2_rec_t, 32, F(ld_g2l2_rec_t, offset, 0, 8), F(ld_g2l2_rec_t, l2_offset, 8, 4),
        F(ld_g2l2_rec_t, id, 12, 4), F(ld_g2l2_rec_t, base_selector, 16, 1), F(ld_g2l2_rec_t, byte_count, 20, 4)),
  });
}

TEST(InterpRecordLayout, ConvolutionAndPoolingRecords) {
  check({
      L(conv_param_t, 100, F(conv_param_t, output_c, 0, 2), F(conv_param_t, input_c, 2, 2),
        F(conv_param_t, output_n, 4, 4), F(conv_param_t, groups, 8, 4), F(conv_param_t, kw, 12, 2),
        F(conv_param_t, kh, 14, 2), F(conv_param_t, dh, 16, 1), F(conv_param_t, dw, 17, 1),
        F(conv_param_t, pad_h, 18, 1), F(conv_param_t, pad_h_after, 19, 1), F(conv_param_t, pad_w, 20, 1),
        F(conv_param_t, pad_w_after, 21, 1), F(conv_param_t, stride_h, 22, 1), F(conv_param_t, stride_w, 23, 1),
        F(conv_param_t, bias_mode, 24, 1), F(conv_param_t, if_relu, 25, 1), F(conv_param_t, relu_upper_limit, 28, 4),
        F(conv_param_t, use_winograd, 32, 1), F(conv_param_t, start_lane, 36, 4),
        F(conv_param_t, second_output_id, 40, 4), F(conv_param_t, fix8b_opt, 44, 4), F(conv_param_t, fix8b_w, 48, 12),
        F(conv_param_t, weight_is_tensor, 60, 4)),
      L(pool_param_t, 28, F(pool_param_t, c, 0, 4), F(pool_param_t, kw, 4, 2), F(pool_param_t, kh, 6, 2),
        F(pool_param_t, pad_h, 8, 1), F(pool_param_t, pad_h_after, 9, 1), F(pool_param_t, pad_w, 10, 1),
        F(pool_param_t, pad_w_after, 11, 1), F(pool_param_t, stride_h, 12, 1), F(pool_param_t, stride_w, 13, 1),
        F(pool_param_t, is_avg_pooling, 14, 1), F(pool_param_t, avg_pooling_mode, 15, 1),
        F(pool_param_t, if_relu, 16, 1), F(pool_param_t, fix8b_opt0, 24, 1), F(pool_param_t, fix8b_opt1, 25, 1),
        F(pool_param_t, global_pooling, 26, 1), F(pool_param_t, ceil_mode, 27, 1)),
      L(deconv_param_t, 36, F(deconv_param_t, output_c, 0, 2), F(deconv_param_t, input_c, 2, 2),
        F(deconv_param_t, groups, 4, 4), F(deconv_param_t, kw, 8, 2), F(deconv_param_t, kh, 10, 2),
        F(deconv_param_t, dh, 12, 1), F(deconv_param_t, dw, 13, 1), F(deconv_param_t, pad_h, 14, 1),
        F(deconv_param_t, pad_h_after, 15, 1), F(deconv_param_t, pad_w, 16, 1), F(deconv_param_t, pad_w_after, 17, 1),
        F(deconv_param_t, stride_h, 18, 1), F(deconv_param_t, stride_w, 19, 1), F(deconv_param_t, bias_mode, 20, 1),
        F(deconv_param_t, if_relu, 21, 1), F(deconv_param_t, output_pad_h, 32, 1),
        F(deconv_param_t, output_pad_w, 33, 1)),
      L(lrn_param_t, 28, F(lrn_param_t, c, 0, 4), F(lrn_param_t, alpha, 4, 4), F(lrn_param_t, beta, 8, 4),
        F(lrn_param_t, k, 12, 4), F(lrn_param_t, lrn_size, 16, 1), F(lrn_param_t, fix8b_opt0, 17, 1),
        F(lrn_param_t, fix8b_f0, 20, 4), F(lrn_param_t, fix8b_f1, 24, 4)),
      L(upsample_param_t, 12, F(upsample_param_t, factor, 0, 4), F(upsample_param_t, upsample_arg0, 4, 4),
        F(upsample_param_t, upsample_arg1, 8, 4)),
  });
}

TEST(InterpRecordLayout, ElementWiseRecords) {
  check({
      L(batchnorm_param_t, 52, F(batchnorm_param_t, bn_scale, 4, 4), F(batchnorm_param_t, eps, 8, 4),
        F(batchnorm_param_t, fix8b_opt, 12, 3), F(batchnorm_param_t, if_relu, 15, 1),
        F(batchnorm_param_t, fix8b_f0, 16, 4)),
      L(scale_param_t, 32, F(scale_param_t, shape_axis, 4, 4), F(scale_param_t, shape_axis_num, 8, 4),
        F(scale_param_t, scale_flag, 12, 1), F(scale_param_t, if_relu, 13, 1), F(scale_param_t, fix8b_f0, 16, 4),
        F(scale_param_t, fix8b_opt, 20, 3)),
      L(eltwise_param_t, 32, F(eltwise_param_t, op, 4, 1), F(eltwise_param_t, input_num, 5, 1),
        F(eltwise_param_t, eltwise_flag, 6, 1), F(eltwise_param_t, fix8b_in_a, 7, 10),
        F(eltwise_param_t, fix8b_in_b, 17, 10)),
      L(prelu_param_t, 20, F(prelu_param_t, shared_slope, 4, 4), F(prelu_param_t, channel_shared, 8, 1),
        F(prelu_param_t, fix8b_opt0, 9, 1), F(prelu_param_t, relu_upper_limit, 12, 4),
        F(prelu_param_t, fix8b_opt, 16, 3)),
      L(normalize_param_t, 24, F(normalize_param_t, norm_arg0, 4, 4), F(normalize_param_t, norm_arg1, 8, 4),
        F(normalize_param_t, norm_flag, 12, 1), F(normalize_param_t, channel_shared, 13, 1),
        F(normalize_param_t, norm_opt, 14, 1), F(normalize_param_t, fix8b_opt, 20, 2)),
      L(mulshift_param_t, 16, F(mulshift_param_t, multiplier, 4, 4), F(mulshift_param_t, shift, 8, 4),
        F(mulshift_param_t, fix8b_opt, 12, 2)),
      L(const_binary_param_t, 24, F(const_binary_param_t, const_value, 0, 4), F(const_binary_param_t, op, 4, 4),
        F(const_binary_param_t, const_is_left, 8, 1), F(const_binary_param_t, if_relu, 9, 1),
        F(const_binary_param_t, relu_upper_limit, 12, 4), F(const_binary_param_t, fix8b_opt, 16, 6)),
      L(eltwise_binary_param_t, 20, F(eltwise_binary_param_t, op, 0, 4), F(eltwise_binary_param_t, a_is_coeff, 4, 1),
        F(eltwise_binary_param_t, b_is_coeff, 5, 1), F(eltwise_binary_param_t, if_relu, 6, 1),
        F(eltwise_binary_param_t, u.glb.relu_upper_limit, 8, 4), F(eltwise_binary_param_t, u.glb.fix8b_opt, 12, 4),
        F(eltwise_binary_param_t, u.glb.operand_type, 16, 2), F(eltwise_binary_param_t, u.local8.scale_a, 8, 1),
        F(eltwise_binary_param_t, u.local8.scale_b, 9, 1), F(eltwise_binary_param_t, u.local8.shift_a, 10, 1),
        F(eltwise_binary_param_t, u.local8.shift_b, 11, 1), F(eltwise_binary_param_t, u.local8.width, 12, 3),
        F(eltwise_binary_param_t, u.local8.sign, 15, 3)),
      L(broadcast_binary_param_t, 96, F(broadcast_binary_param_t, a_dims, 0, 1),
        F(broadcast_binary_param_t, a_is_coeff, 1, 1), F(broadcast_binary_param_t, b_dims, 2, 1),
        F(broadcast_binary_param_t, b_is_coeff, 3, 1), F(broadcast_binary_param_t, op, 4, 4),
        F(broadcast_binary_param_t, if_relu, 8, 1), F(broadcast_binary_param_t, a_shape, 12, 32),
        F(broadcast_binary_param_t, b_shape, 44, 32), F(broadcast_binary_param_t, relu_upper_limit, 76, 4),
        F(broadcast_binary_param_t, buffer_offset, 80, 8), F(broadcast_binary_param_t, fix8b_opt, 88, 4),
        F(broadcast_binary_param_t, operand_type, 92, 2)),
      L(biasadd_param_t, 20, F(biasadd_param_t, if_relu, 0, 1), F(biasadd_param_t, relu_upper_limit, 4, 4),
        F(biasadd_param_t, fix8b_w0, 8, 4), F(biasadd_param_t, fix8b_w1, 12, 4), F(biasadd_param_t, fix8b_opt, 16, 2)),
      L(active_param_t, 28, F(active_param_t, active_type, 4, 4), F(active_param_t, active_arg, 8, 4),
        F(active_param_t, relu_upper_limit, 12, 4), F(active_param_t, fix8b_w0, 16, 4),
        F(active_param_t, fix8b_w1, 20, 4), F(active_param_t, fix8b_opt, 24, 2)),
      L(dtype_convert_param_t, 16, F(dtype_convert_param_t, from_type, 0, 4), F(dtype_convert_param_t, to_type, 4, 4)),
      L(lut_param_t, 40, F(lut_param_t, in_dims, 0, 1), F(lut_param_t, input_is_coeff, 1, 1),
        F(lut_param_t, table_is_coeff, 2, 1), F(lut_param_t, lut_opt, 3, 1), F(lut_param_t, in_shape, 4, 32),
        F(lut_param_t, out_dtype, 36, 4)),
      L(arith_shift_param_t, 16, F(arith_shift_param_t, shift_arg0, 0, 4), F(arith_shift_param_t, shift_arg1, 4, 4),
        F(arith_shift_param_t, shift_arg2, 8, 4), F(arith_shift_param_t, shift_mode, 12, 4)),
      L(select_param_t, 24, F(select_param_t, then_scalar, 0, 4), F(select_param_t, else_scalar, 4, 4),
        F(select_param_t, then_is_scalar, 8, 1), F(select_param_t, else_is_scalar, 9, 1),
        F(select_param_t, select_opt, 10, 1), F(select_param_t, select_arg, 12, 4)),
      L(reduce_full_param_t, 40, F(reduce_full_param_t, keep_dims, 0, 2), F(reduce_full_param_t, axis_num, 2, 2),
        F(reduce_full_param_t, method, 4, 4), F(reduce_full_param_t, axis_list, 8, 8),
        F(reduce_full_param_t, buffer_offset, 16, 8), F(reduce_full_param_t, reduce_arg0, 24, 4),
        F(reduce_full_param_t, reduce_arg1, 28, 4), F(reduce_full_param_t, reduce_arg2, 32, 4)),
  });
}

TEST(InterpRecordLayout, RearrangementRecords) {
  check({
      L(stride_slice_param_t, 144, F(stride_slice_param_t, begin_mask, 0, 4), F(stride_slice_param_t, end_mask, 4, 4),
        F(stride_slice_param_t, begin, 8, 32), F(stride_slice_param_t, end, 40, 32),
        F(stride_slice_param_t, stride, 72, 32), F(stride_slice_param_t, shape_size, 104, 4),
        F(stride_slice_param_t, shrink_axis_mask, 108, 4), F(stride_slice_param_t, new_axis_mask, 112, 4),
        F(stride_slice_param_t, ellipsis_mask, 116, 4), F(stride_slice_param_t, scratch, 120, 8),
        F(stride_slice_param_t, scratch2, 128, 8), F(stride_slice_param_t, from_tensors, 136, 1)),
      L(reorg_param_t, 24, F(reorg_param_t, stride, 0, 4), F(reorg_param_t, reverse, 4, 4),
        F(reorg_param_t, scratch, 16, 8)),
      L(tile_param_t, 88, F(tile_param_t, multiples_in_record, 0, 1), F(tile_param_t, input_is_coeff, 1, 1),
        F(tile_param_t, repeat_elements, 2, 1), F(tile_param_t, bottom_dims, 3, 1),
        F(tile_param_t, coeff_shape, 4, 32), F(tile_param_t, multiples, 36, 32), F(tile_param_t, scratch, 72, 8),
        F(tile_param_t, coeff_dtype, 80, 4)),
      L(pad_param_t, 72, F(pad_param_t, pad_value, 4, 4), F(pad_param_t, pad_mode, 8, 4), F(pad_param_t, pads, 12, 32),
        F(pad_param_t, scratch, 48, 8), F(pad_param_t, scratch2, 56, 8), F(pad_param_t, paddings_from_tensor, 64, 1)),
      L(concat_local_param_t, 12, F(concat_local_param_t, c, 0, 4), F(concat_local_param_t, h, 4, 4),
        F(concat_local_param_t, w, 8, 4)),
  });
}


TEST(InterpRecordLayout, GlobalLayerRecords) {
  check({
      L(pool_tf_param_t, 28, F(pool_tf_param_t, c, 0, 4), F(pool_tf_param_t, kh, 4, 4), F(pool_tf_param_t, kw, 8, 4),
        F(pool_tf_param_t, pad_h, 12, 1), F(pool_tf_param_t, pad_h_after, 13, 1), F(pool_tf_param_t, pad_w, 14, 1),
        F(pool_tf_param_t, pad_w_after, 15, 1), F(pool_tf_param_t, stride_h, 16, 1),
        F(pool_tf_param_t, stride_w, 17, 1), F(pool_tf_param_t, is_avg_pooling, 18, 1),
        F(pool_tf_param_t, if_relu, 19, 1), F(pool_tf_param_t, fix8b_opt0, 20, 1),
        F(pool_tf_param_t, fix8b_opt1, 21, 1)),
      L(adaptive_pool_param_t, 8, F(adaptive_pool_param_t, oh, 0, 4), F(adaptive_pool_param_t, ow, 4, 4)),
      L(interp_param_t, 56, F(interp_param_t, shape_in_record, 0, 1), F(interp_param_t, out_dims, 1, 1),
        F(interp_param_t, interp_variant, 2, 1), F(interp_param_t, out_shape, 4, 32),
        F(interp_param_t, interp_param0, 36, 4), F(interp_param_t, interp_param1, 40, 4),
        F(interp_param_t, fix8b_flag, 44, 4), F(interp_param_t, coord_flag0, 48, 4),
        F(interp_param_t, coord_flag1, 52, 4)),
      L(roi_pooling_param_t, 20, F(roi_pooling_param_t, pooled_h, 0, 4), F(roi_pooling_param_t, pooled_w, 4, 4),
        F(roi_pooling_param_t, spatial_scale, 8, 4), F(roi_pooling_param_t, fix8b_opt0, 16, 4)),
      L(psroi_pooling_param_t, 20, F(psroi_pooling_param_t, output_dim, 0, 4),
        F(psroi_pooling_param_t, group_size, 4, 4), F(psroi_pooling_param_t, spatial_scale, 8, 4),
        F(psroi_pooling_param_t, fix8b_opt0, 16, 4)),
      L(fc_param_t, 56, F(fc_param_t, input_neurons, 0, 4), F(fc_param_t, output_neurons, 4, 4),
        F(fc_param_t, fc_option, 8, 1), F(fc_param_t, has_bias, 9, 1), F(fc_param_t, has_active, 10, 1),
        F(fc_param_t, active_type, 12, 4), F(fc_param_t, channel_shared, 16, 1), F(fc_param_t, shared_slope, 20, 4),
        F(fc_param_t, fix8b_opt, 24, 4), F(fc_param_t, out_dims, 36, 4), F(fc_param_t, fix8b_flag, 40, 1),
        F(fc_param_t, fix8b_b0, 41, 1), F(fc_param_t, fix8b_b1, 42, 1), F(fc_param_t, fix8b_w0, 44, 4),
        F(fc_param_t, fix8b_h0, 48, 2), F(fc_param_t, fix8b_h1, 50, 2), F(fc_param_t, weight_is_tensor, 52, 4)),
      L(batch_matmul_param_t, 88, F(batch_matmul_param_t, a.is_coeff, 0, 4), F(batch_matmul_param_t, a.shape, 4, 32),
        F(batch_matmul_param_t, a.dims, 36, 4), F(batch_matmul_param_t, b.is_coeff, 40, 4),
        F(batch_matmul_param_t, b.shape, 44, 32), F(batch_matmul_param_t, b.dims, 76, 4),
        F(batch_matmul_param_t, if_relu, 80, 4), F(batch_matmul_param_t, matmul_spare, 84, 4)),
      L(softmax_param_t, 24, F(softmax_param_t, axis_word, 0, 4), F(softmax_param_t, softmax_scale, 4, 4),
        F(softmax_param_t, buffer_offset, 8, 8), F(softmax_param_t, softmax_flag, 16, 1)),
      L(matrix_band_part_param_t, 8, F(matrix_band_part_param_t, band_lower, 0, 4),
        F(matrix_band_part_param_t, band_upper, 4, 4)),
      L(tensorarray_param_t, 56, F(tensorarray_param_t, elem_shape, 4, 32), F(tensorarray_param_t, elem_dims, 36, 4),
        F(tensorarray_param_t, clear_after_read, 40, 4), F(tensorarray_param_t, dynamic_size, 44, 4),
        F(tensorarray_param_t, same_shape, 48, 4), F(tensorarray_param_t, global_buffer_size, 52, 4)),
      L(ta_write_param_t, 48, F(ta_write_param_t, sync, 0, 4), F(ta_write_param_t, value_is_coeff, 4, 4),
        F(ta_write_param_t, coeff_dims, 8, 4), F(ta_write_param_t, coeff_shape, 12, 32),
        F(ta_write_param_t, coeff_dtype, 44, 4)),
  });
}

TEST(InterpRecordLayout, SelectionAndDetectionRecords) {
  check({
      L(where_param_t, 16, F(where_param_t, index_dims, 0, 4), F(where_param_t, buffer_offset, 8, 8)),
      L(masked_select_param_t, 40, F(masked_select_param_t, ms_arg0, 0, 4), F(masked_select_param_t, ms_arg1, 4, 4),
        F(masked_select_param_t, ms_arg2, 8, 4), F(masked_select_param_t, ms_arg3, 12, 4),
        F(masked_select_param_t, buffer_offset, 16, 8), F(masked_select_param_t, buffer_offset1, 24, 8),
        F(masked_select_param_t, ms_flag, 32, 1)),
      L(where_squeeze_gather_param_t, 128, F(where_squeeze_gather_param_t, gather_arr0, 0, 32),
        F(where_squeeze_gather_param_t, gather_arr1, 32, 32), F(where_squeeze_gather_param_t, gather_arg0, 64, 4),
        F(where_squeeze_gather_param_t, gather_arg1, 68, 4), F(where_squeeze_gather_param_t, buffer_offset, 72, 8),
        F(where_squeeze_gather_param_t, buffer_offset1, 80, 8), F(where_squeeze_gather_param_t, gather_flag, 88, 1),
        F(where_squeeze_gather_param_t, tensor_num, 92, 4), F(where_squeeze_gather_param_t, squeeze_axis, 96, 32)),
      L(index_select_param_t, 24, F(index_select_param_t, axis, 0, 4), F(index_select_param_t, buffer_offset, 8, 8),
        F(index_select_param_t, index_is_coeff, 16, 4), F(index_select_param_t, index_num, 20, 4)),
      L(sort_per_dim_param_t, 24, F(sort_per_dim_param_t, sort_dim, 0, 4),
        F(sort_per_dim_param_t, index_to_scratch, 4, 4), F(sort_per_dim_param_t, sort_arg0, 8, 4),
        F(sort_per_dim_param_t, sort_arg1, 12, 4), F(sort_per_dim_param_t, buffer_offset, 16, 8)),
      L(arg_param_t, 32, F(arg_param_t, axis, 4, 4), F(arg_param_t, method, 8, 4), F(arg_param_t, arg_opt, 12, 4),
        F(arg_param_t, arg_addr0, 16, 8), F(arg_param_t, arg_addr1, 24, 8)),
      L(topk_param_t, 16, F(topk_param_t, k, 0, 4), F(topk_param_t, axis, 4, 1), F(topk_param_t, k_from_tensor, 5, 1),
        F(topk_param_t, topk_flag, 6, 1), F(topk_param_t, buffer_offset, 8, 8)),
      L(priorbox_param_t, 232, F(priorbox_param_t, out_dims, 0, 4), F(priorbox_param_t, out_shape, 4, 32),
        F(priorbox_param_t, min_sizes, 36, 32), F(priorbox_param_t, real_min_size, 68, 4),
        F(priorbox_param_t, max_sizes, 72, 32), F(priorbox_param_t, max_size_num, 104, 4),
        F(priorbox_param_t, aspect_ratios, 108, 32), F(priorbox_param_t, aspect_ratio_num, 140, 4),
        F(priorbox_param_t, variances, 144, 32), F(priorbox_param_t, variance_num, 176, 4),
        F(priorbox_param_t, num_priors, 180, 4), F(priorbox_param_t, img_w, 184, 4),
        F(priorbox_param_t, img_h, 188, 4), F(priorbox_param_t, step_w, 192, 4), F(priorbox_param_t, step_h, 196, 4),
        F(priorbox_param_t, prior_offset, 200, 4), F(priorbox_param_t, prior_scale, 204, 4),
        F(priorbox_param_t, layer_w, 208, 4), F(priorbox_param_t, layer_h, 212, 4),
        F(priorbox_param_t, net_w, 216, 4), F(priorbox_param_t, net_h, 220, 4), F(priorbox_param_t, dim, 224, 4),
        F(priorbox_param_t, has_dim, 228, 1), F(priorbox_param_t, prior_flag, 230, 1)),
      L(yolo_param_t, 20, F(yolo_param_t, region_arg, 0, 20)),
      L(nms_param_t, 24, F(nms_param_t, iou_threshold, 0, 4), F(nms_param_t, score_threshold, 4, 4),
        F(nms_param_t, nms_mode, 8, 4), F(nms_param_t, buffer_offset, 16, 8)),
      L(ssd_detect_out_param_t, 40, F(ssd_detect_out_param_t, num_classes, 0, 4),
        F(ssd_detect_out_param_t, share_location, 4, 4), F(ssd_detect_out_param_t, background_class, 8, 4),
        F(ssd_detect_out_param_t, box_code_type, 12, 4), F(ssd_detect_out_param_t, ssd_arg0, 16, 4),
        F(ssd_detect_out_param_t, ssd_arg1, 20, 4), F(ssd_detect_out_param_t, ssd_f0, 24, 4),
        F(ssd_detect_out_param_t, ssd_f1, 28, 4), F(ssd_detect_out_param_t, ssd_f2, 32, 4),
        F(ssd_detect_out_param_t, top_k, 36, 4)),
      L(yolov3_detect_out_param_t, 148, F(yolov3_detect_out_param_t, head_num, 0, 4),
        F(yolov3_detect_out_param_t, yolo_arg0, 4, 4), F(yolov3_detect_out_param_t, yolo_arg1, 8, 4),
        F(yolov3_detect_out_param_t, yolo_arg2, 12, 4), F(yolov3_detect_out_param_t, yolo_arg3, 16, 4),
        F(yolov3_detect_out_param_t, yolo_f0, 20, 4), F(yolov3_detect_out_param_t, yolo_f1, 24, 4),
        F(yolov3_detect_out_param_t, yolo_arr0, 28, 72), F(yolov3_detect_out_param_t, yolo_arr1, 100, 12),
        F(yolov3_detect_out_param_t, yolo_arr2, 112, 36)),
      L(rpn_param_t, 56, F(rpn_param_t, channels1, 0, 2), F(rpn_param_t, channels0, 2, 2),
        F(rpn_param_t, rpn_arg0, 4, 4), F(rpn_param_t, rpn_arg1, 8, 4), F(rpn_param_t, rpn_arg2, 12, 4),
        F(rpn_param_t, rpn_arg3, 16, 4), F(rpn_param_t, rpn_arg4, 20, 4), F(rpn_param_t, rpn_f0, 24, 4),
        F(rpn_param_t, rpn_f1, 28, 4), F(rpn_param_t, rpn_scale, 32, 4), F(rpn_param_t, buffer_offset, 40, 8),
        F(rpn_param_t, rpn_addr, 48, 8)),
      L(lstm_param_t, 48, F(lstm_param_t, lstm_dim0, 0, 4), F(lstm_param_t, lstm_dim1, 4, 4),
        F(lstm_param_t, lstm_arg, 8, 4), F(lstm_param_t, lstm_dim2, 16, 4), F(lstm_param_t, cont_is_tensor, 20, 4),
        F(lstm_param_t, static_flag, 24, 4), F(lstm_param_t, state_flag, 28, 4),
        F(lstm_param_t, buffer_offset, 32, 8)),
  });
}

TEST(InterpRecordLayout, ShapeTensorRecords) {
  check({
      L(shape_const_param_t, 44, F(shape_const_param_t, count_or_dims, 0, 4),
        F(shape_const_param_t, shape_or_values, 4, 32), F(shape_const_param_t, values_follow, 36, 4),
        F(shape_const_param_t, dtype, 40, 4)),
      L(shape_ref_param_t, 4, F(shape_ref_param_t, input_is_shape, 0, 4)),
      L(shape_op_param_t, 4, F(shape_op_param_t, binary_op, 0, 4)),
      L(shape_slice_param_t, 128, F(shape_slice_param_t, begin_1d, 0, 1), F(shape_slice_param_t, end_1d, 1, 1),
        F(shape_slice_param_t, stride_1d, 2, 1), F(shape_slice_param_t, begin, 4, 32),
        F(shape_slice_param_t, end, 36, 32), F(shape_slice_param_t, stride, 68, 32),
        F(shape_slice_param_t, shape_size, 100, 4), F(shape_slice_param_t, begin_mask, 104, 4),
        F(shape_slice_param_t, end_mask, 108, 4), F(shape_slice_param_t, ellipsis_mask, 112, 4),
        F(shape_slice_param_t, new_axis_mask, 116, 4), F(shape_slice_param_t, shrink_axis_mask, 120, 4),
        F(shape_slice_param_t, from_tensors, 124, 4)),
      L(shape_pack_param_t, 8, F(shape_pack_param_t, input_num, 0, 4), F(shape_pack_param_t, axis, 4, 4)),
      L(shape_reorder_param_t, 8, F(shape_reorder_param_t, order, 0, 8)),
      L(shape_tile_param_t, 36, F(shape_tile_param_t, multiples, 0, 32),
        F(shape_tile_param_t, multiples_from_tensor, 32, 4)),
      L(shape_reverse_param_t, 4, F(shape_reverse_param_t, axis, 0, 4)),
      L(shape_expand_ndims_param_t, 8, F(shape_expand_ndims_param_t, axis, 0, 4),
        F(shape_expand_ndims_param_t, num, 4, 4)),
      L(shape_cast_param_t, 8, F(shape_cast_param_t, dst_type, 0, 4), F(shape_cast_param_t, host_output, 4, 4)),
      L(shape_reduce_param_t, 44, F(shape_reduce_param_t, keep_dims, 0, 4), F(shape_reduce_param_t, method, 4, 4),
        F(shape_reduce_param_t, axis_num, 8, 4), F(shape_reduce_param_t, axes, 12, 32)),
      L(shape_split_param_t, 40, F(shape_split_param_t, split_axis, 0, 4), F(shape_split_param_t, split_sizes, 4, 32),
        F(shape_split_param_t, split_num, 36, 4)),
      L(shape_unary_param_t, 4, F(shape_unary_param_t, op, 0, 4)),
      L(shape_squeeze_param_t, 12, F(shape_squeeze_param_t, axes, 0, 8), F(shape_squeeze_param_t, axis_num, 8, 4)),
      L(shape_select_param_t, 12, F(shape_select_param_t, then_value, 0, 4), F(shape_select_param_t, else_value, 4, 4),
        F(shape_select_param_t, then_is_scalar, 8, 1), F(shape_select_param_t, else_is_scalar, 9, 1)),
  });
}

TEST(InterpRecordLayout, ReshapeAndRearrangementRecords) {
  check({
      L(reshape_param_t, 48, F(reshape_param_t, shape_num, 0, 1), F(reshape_param_t, shape_spec, 4, 40),
        F(reshape_param_t, ref_id, 44, 4)),
      L(expand_dims_param_t, 48, F(expand_dims_param_t, axis, 0, 4), F(expand_dims_param_t, num, 4, 4),
        F(expand_dims_param_t, input_is_coeff, 8, 4), F(expand_dims_param_t, coeff_shape, 12, 32),
        F(expand_dims_param_t, coeff_dims, 44, 4)),
      L(squeeze_param_t, 12, F(squeeze_param_t, axes, 0, 8), F(squeeze_param_t, axis_num, 8, 4)),
      L(slice_param_t, 8, F(slice_param_t, scratch, 0, 8)),
      L(slicelike_param_t, 76, F(slicelike_param_t, axes, 0, 32), F(slicelike_param_t, axis_num, 32, 4),
        F(slicelike_param_t, input_is_coeff, 36, 4), F(slicelike_param_t, coeff_dims, 40, 4),
        F(slicelike_param_t, coeff_shape, 44, 32)),
      L(ref_pad_param_t, 16, F(ref_pad_param_t, pad_mode, 0, 4), F(ref_pad_param_t, pad_value, 4, 4),
        F(ref_pad_param_t, scratch, 8, 8)),
      L(crop_param_t, 44, F(crop_param_t, ref_id, 0, 4), F(crop_param_t, in_n, 4, 4), F(crop_param_t, in_c, 8, 4),
        F(crop_param_t, out_n, 12, 4), F(crop_param_t, out_c, 16, 4), F(crop_param_t, out_h, 20, 4),
        F(crop_param_t, out_w, 24, 4), F(crop_param_t, offsets, 28, 16)),
      L(simple_crop_param_t, 32, F(simple_crop_param_t, crops, 0, 32)),
      L(constant_fill_param_t, 12, F(constant_fill_param_t, value, 0, 4), F(constant_fill_param_t, type_len, 4, 4),
        F(constant_fill_param_t, dtype, 8, 4)),
      L(expand_param_t, 88, F(expand_param_t, input_is_coeff, 0, 1), F(expand_param_t, bottom_dims, 1, 1),
        F(expand_param_t, coeff_shape, 4, 32), F(expand_param_t, shape_in_record, 36, 4),
        F(expand_param_t, out_shape, 40, 32), F(expand_param_t, out_dims, 72, 4), F(expand_param_t, scratch, 80, 8)),
      L(broadcast_like_param_t, 32, F(broadcast_like_param_t, axis_num, 0, 4), F(broadcast_like_param_t, lhs_axes, 4, 8),
        F(broadcast_like_param_t, rhs_axes, 12, 8), F(broadcast_like_param_t, scratch, 24, 8)),
      L(concat_param_t, 36, F(concat_param_t, input_num, 0, 1), F(concat_param_t, dims, 1, 1),
        F(concat_param_t, axis, 2, 1), F(concat_param_t, shape, 4, 32)),
      L(fw_concat_input_info_t, 8, F(fw_concat_input_info_t, is_coeff, 0, 1),
        F(fw_concat_input_info_t, in_place, 1, 1), F(fw_concat_input_info_t, extent, 4, 4)),
      L(split_tf_param_t, 48, F(split_tf_param_t, split_axis, 0, 4), F(split_tf_param_t, split_sizes, 4, 32),
        F(split_tf_param_t, split_num, 36, 4), F(split_tf_param_t, scratch, 40, 8)),
      L(transpose_param_t, 24, F(transpose_param_t, order, 0, 8), F(transpose_param_t, scratch, 8, 8),
        F(transpose_param_t, order_from_tensor, 16, 1)),
      L(space_batch_param_t, 40, F(space_batch_param_t, block_from_tensor, 0, 1),
        F(space_batch_param_t, pads_from_tensor, 1, 1), F(space_batch_param_t, block_shape, 4, 8),
        F(space_batch_param_t, pads, 12, 16), F(space_batch_param_t, scratch, 32, 8)),
      L(depth2space_param_t, 24, F(depth2space_param_t, block_shape, 8, 8),
        F(depth2space_param_t, in_channel_first, 16, 1), F(depth2space_param_t, is_inversed, 17, 1),
        F(depth2space_param_t, out_channel_first, 18, 1)),
      L(reverse_param_t, 4, F(reverse_param_t, axis, 0, 4)),
      L(embedding_param_t, 4, F(embedding_param_t, word, 0, 4)),
      L(coeff2neuron_param_t, 40, F(coeff2neuron_param_t, shape, 0, 32), F(coeff2neuron_param_t, dims, 32, 4),
        F(coeff2neuron_param_t, dtype, 36, 4)),
  });
}

TEST(InterpRecordLayout, TensorArrayImage) {
  check({
      L(tensor_array_image_header_t, 40, F(tensor_array_image_header_t, capacity, 0, 4),
        F(tensor_array_image_header_t, size, 4, 4), F(tensor_array_image_header_t, dynamic_size, 8, 4),
        F(tensor_array_image_header_t, clear_after_read, 12, 4), F(tensor_array_image_header_t, same_shape, 16, 4),
        F(tensor_array_image_header_t, global_buffer_size, 20, 4), F(tensor_array_image_header_t, head_addr, 24, 8),
        F(tensor_array_image_header_t, tensors, 32, 4)),
      L(tensor_array_elem_t, 64, F(tensor_array_elem_t, read, 0, 4), F(tensor_array_elem_t, written, 4, 4),
        F(tensor_array_elem_t, cleared, 8, 4), F(tensor_array_elem_t, addr, 16, 8), F(tensor_array_elem_t, dims, 24, 4),
        F(tensor_array_elem_t, shape, 28, 32)),
  });
}

}  // namespace
}  // namespace zv::test
