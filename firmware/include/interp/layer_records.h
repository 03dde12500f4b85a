// Parameter records of the compiled network's layers (the bytes after a layer
// record's `length`), each a packed little-endian struct with its size
// checked; the size is the most a record's `length` may give. The local and
// global controllers of a layer share its record. Field offsets are checked
// against the documented layouts by tests/interp/record_layout_test.cpp.
#pragma once

#include "interp/record_fields.h"
#include "runtime/types.h"

// A 32-bit record field that holds a float's bits, as a float, and back.
static inline float rec_bits_f32(u32 bits) {
  float v;
  __builtin_memcpy(&v, &bits, 4);
  return v;
}
static inline u32 rec_f32_bits(float v) {
  u32 bits;
  __builtin_memcpy(&bits, &v, 4);
  return bits;
}

// ---- Convolution, pooling, deconvolution ----

typedef struct DYN_RECORD {
  u16 output_c;
  u16 input_c;
  u32 output_n;  // the output's first extent (local layers)
  u32 groups;
  u16 kw;
  u16 kh;
  u8 dh;
  u8 dw;
  u8 pad_h;
  u8 pad_h_after;
  u8 pad_w;
  u8 pad_w_after;
  u8 stride_h;
  u8 stride_w;
  u8 bias_mode;  // 0 none, 1 an address follows, 2 behind the weights
  u8 if_relu;    // low nibble: ReLU; high nibble set: a buffer word follows (local)
  u8 unused26[2];
  float relu_upper_limit;
  u8 use_winograd;
  u8 unused33[3];
  u32 start_lane;        // local: lane of weight, bias and output
  u32 second_output_id;  // local: a further slice record of the output
  u8 fix8b_opt[4];
  i32 fix8b_w[3];  // local 8-bit kernels
  u32 weight_is_tensor;
  u8 unused64[36];
} conv_param_t;
static_assert(sizeof(conv_param_t) == 100, "conv record");

typedef struct DYN_RECORD {
  u32 c;
  u16 kw;
  u16 kh;
  u8 pad_h;
  u8 pad_h_after;
  u8 pad_w;
  u8 pad_w_after;
  u8 stride_h;
  u8 stride_w;
  u8 is_avg_pooling;
  u8 avg_pooling_mode;
  u8 if_relu;
  u8 unused17[7];
  u8 fix8b_opt0;
  u8 fix8b_opt1;
  u8 global_pooling;  // local: the window is the whole input
  u8 ceil_mode;       // 0 floor, 1 ceil, 2 ceil when the last window starts inside
} pool_param_t;
static_assert(sizeof(pool_param_t) == 28, "pooling record");

typedef struct DYN_RECORD {
  u16 output_c;
  u16 input_c;
  u32 groups;
  u16 kw;
  u16 kh;
  u8 dh;
  u8 dw;
  u8 pad_h;
  u8 pad_h_after;
  u8 pad_w;
  u8 pad_w_after;
  u8 stride_h;
  u8 stride_w;
  u8 bias_mode;
  u8 if_relu;  // low 4 bits
  u8 unused22[10];
  u8 output_pad_h;
  u8 output_pad_w;
  u8 unused34[2];
} deconv_param_t;
static_assert(sizeof(deconv_param_t) == 36, "deconvolution record");

typedef struct DYN_RECORD {
  u32 c;
  float alpha;
  float beta;
  float k;
  u8 lrn_size;
  u8 fix8b_opt0;
  u8 unused18[2];
  float fix8b_f0;
  float fix8b_f1;
} lrn_param_t;
static_assert(sizeof(lrn_param_t) == 28, "LRN record");

typedef struct DYN_RECORD {
  u32 factor;
  u32 upsample_arg0;
  u32 upsample_arg1;
} upsample_param_t;
static_assert(sizeof(upsample_param_t) == 12, "upsample record");

// ---- Element-wise, normalisation, activation ----

typedef struct DYN_RECORD {
  u32 unused0;
  float bn_scale;
  float eps;
  u8 fix8b_opt[3];
  u8 if_relu;
  float fix8b_f0;
  u8 unused20[32];
} batchnorm_param_t;
static_assert(sizeof(batchnorm_param_t) == 52, "batchnorm record");

typedef struct DYN_RECORD {
  u32 unused0;
  i32 shape_axis;  // negative: counted from shape_axis_num
  u32 shape_axis_num;
  u8 scale_flag;  // a bias follows
  u8 if_relu;
  u8 unused14[2];
  float fix8b_f0;
  u8 fix8b_opt[3];
  u8 unused23[9];
} scale_param_t;
static_assert(sizeof(scale_param_t) == 32, "scale record");

#define ELTWISE_RECORD_INPUTS 10
typedef struct DYN_RECORD {
  u32 unused0;
  u8 op;  // 1 sums with one coefficient per input
  u8 input_num;
  u8 eltwise_flag;
  u8 fix8b_in_a[ELTWISE_RECORD_INPUTS];
  u8 fix8b_in_b[ELTWISE_RECORD_INPUTS];
  u8 unused27[5];
} eltwise_param_t;
static_assert(sizeof(eltwise_param_t) == 32, "eltwise record");

typedef struct DYN_RECORD {
  u32 unused0;
  u32 shared_slope;  // f32 bits
  u8 channel_shared;
  u8 fix8b_opt0;
  u8 unused10[2];
  float relu_upper_limit;
  u8 fix8b_opt[3];
  u8 unused19;
} prelu_param_t;
static_assert(sizeof(prelu_param_t) == 20, "prelu record");

typedef struct DYN_RECORD {
  u32 unused0;
  float norm_arg0;
  float norm_arg1;
  u8 norm_flag;
  u8 channel_shared;
  u8 norm_opt;
  u8 unused15[5];
  u8 fix8b_opt[2];
  u8 unused22[2];
} normalize_param_t;
static_assert(sizeof(normalize_param_t) == 24, "normalize record");

typedef struct DYN_RECORD {
  u32 unused0;
  u32 multiplier;
  u32 shift;
  u8 fix8b_opt[2];
  u8 unused14[2];
} mulshift_param_t;
static_assert(sizeof(mulshift_param_t) == 16, "mulshift record");

typedef struct DYN_RECORD {
  u32 const_value;  // f32 bits (int32 for DSIZE_INT32 layers)
  u32 op;
  u8 const_is_left;
  u8 if_relu;
  u8 unused10[2];
  u32 relu_upper_limit;  // f32 bits
  u8 fix8b_opt[6];
  u8 unused22[2];
} const_binary_param_t;
static_assert(sizeof(const_binary_param_t) == 24, "const_binary record");

typedef struct DYN_RECORD {
  u32 op;
  u8 a_is_coeff;
  u8 b_is_coeff;
  u8 if_relu;
  u8 unused7;
  // Bytes 8 to 17: the global layer's fields, or the local 8-bit kernel's
  // scales, shifts, widths and signs.
  union FW_PACKED {
    struct FW_PACKED {
      u32 relu_upper_limit;  // f32 bits
      u8 fix8b_opt[4];
      u8 operand_type[2];  // A, B
    } glb;
    struct FW_PACKED {
      u8 scale_a, scale_b, shift_a, shift_b;
      u8 width[3];
      u8 sign[3];
    } local8;
  } u;
  u8 unused18[2];
} eltwise_binary_param_t;
static_assert(sizeof(eltwise_binary_param_t) == 20, "eltwise_binary record");

#define BINARY_RECORD_DIMS 8
typedef struct DYN_RECORD {
  u8 a_dims;
  u8 a_is_coeff;
  u8 b_dims;
  u8 b_is_coeff;
  u32 op;
  u8 if_relu;
  u8 unused9[3];
  i32 a_shape[BINARY_RECORD_DIMS];
  i32 b_shape[BINARY_RECORD_DIMS];
  u32 relu_upper_limit;  // f32 bits
  u64 buffer_offset;
  u8 fix8b_opt[4];
  u8 operand_type[2];  // A, B
  u8 unused94[2];
} broadcast_binary_param_t;
static_assert(sizeof(broadcast_binary_param_t) == 96, "broadcast_binary record");

typedef struct DYN_RECORD {
  u8 if_relu;
  u8 unused1[3];
  float relu_upper_limit;
  u32 fix8b_w0;
  u32 fix8b_w1;
  u8 fix8b_opt[2];
  u8 unused18[2];
} biasadd_param_t;
static_assert(sizeof(biasadd_param_t) == 20, "biasadd record");

typedef struct DYN_RECORD {
  u32 unused0;
  u32 active_type;
  float active_arg;        // local kernel's first parameter
  float relu_upper_limit;  // must be 0
  u32 fix8b_w0;
  u32 fix8b_w1;
  u8 fix8b_opt[2];
  u8 unused26[2];
} active_param_t;
static_assert(sizeof(active_param_t) == 28, "active record");

typedef struct DYN_RECORD {
  u32 from_type;  // conversion codes
  u32 to_type;
  u8 unused8[8];
} dtype_convert_param_t;
static_assert(sizeof(dtype_convert_param_t) == 16, "dtype_convert record");

typedef struct DYN_RECORD {
  u8 in_dims;
  u8 input_is_coeff;  // local: the slice shape comes from in_shape
  u8 table_is_coeff;
  u8 lut_opt;
  i32 in_shape[8];
  u32 out_dtype;
} lut_param_t;
static_assert(sizeof(lut_param_t) == 40, "lut record");

typedef struct DYN_RECORD {
  u32 shift_arg0;
  u32 shift_arg1;
  u32 shift_arg2;
  u32 shift_mode;  // 1: 16-bit data
} arith_shift_param_t;
static_assert(sizeof(arith_shift_param_t) == 16, "arith_shift record");

typedef struct DYN_RECORD {
  u32 then_scalar;  // 32-bit scalar values (f32 bits for float layers)
  u32 else_scalar;
  u8 then_is_scalar;
  u8 else_is_scalar;
  u8 select_opt;
  u8 unused11;
  u32 select_arg;
  u8 unused16[8];
} select_param_t;
static_assert(sizeof(select_param_t) == 24, "select record");

typedef struct DYN_RECORD {
  i16 keep_dims;
  i16 axis_num;
  u32 method;
  u8 axis_list[8];
  u64 buffer_offset;
  u32 reduce_arg0;
  u32 reduce_arg1;
  u32 reduce_arg2;
  u8 unused36[4];
} reduce_full_param_t;
static_assert(sizeof(reduce_full_param_t) == 40, "reduce_full record");

// ---- Reshaping and rearrangement ----

typedef struct DYN_RECORD {
  i32 begin_mask;
  i32 end_mask;
  i32 begin[8];
  i32 end[8];
  i32 stride[8];
  i32 shape_size;  // entries of shape[] in use
  i32 shrink_axis_mask;
  i32 new_axis_mask;
  i32 ellipsis_mask;
  u64 scratch;
  u64 scratch2;
  u8 from_tensors;
  u8 unused137[7];
} stride_slice_param_t;
static_assert(sizeof(stride_slice_param_t) == 144, "stride_slice record");

typedef struct DYN_RECORD {
  i32 stride;
  i32 reverse;
  u8 unused8[8];
  u64 scratch;
} reorg_param_t;
static_assert(sizeof(reorg_param_t) == 24, "reorg record");

typedef struct DYN_RECORD {
  u8 multiples_in_record;
  u8 input_is_coeff;
  u8 repeat_elements;
  u8 bottom_dims;
  i32 coeff_shape[8];
  i32 multiples[8];
  u8 unused68[4];
  u64 scratch;
  u32 coeff_dtype;  // element type of a coefficient input (local: of the output)
  u8 unused84[4];
} tile_param_t;
static_assert(sizeof(tile_param_t) == 88, "tile record");

typedef struct DYN_RECORD {
  u32 unused0;
  float pad_value;
  u32 pad_mode;  // 0 constant, 1 reflect, 2 symmetric, 3 replicate
  i32 pads[4][2];  // {before, after} for dims 0 to 3
  u8 unused44[4];
  u64 scratch;
  u64 scratch2;
  u8 paddings_from_tensor;
  u8 unused65[7];
} pad_param_t;
static_assert(sizeof(pad_param_t) == 72, "pad record");

// The local concatenation's record: the output's c, h and w.
typedef struct DYN_RECORD {
  i32 c;
  i32 h;
  i32 w;
} concat_local_param_t;
static_assert(sizeof(concat_local_param_t) == 12, "local concat record");

// ---- Global convolution-family layers ----

typedef struct DYN_RECORD {
  u32 c;
  u32 kh;
  u32 kw;
  u8 pad_h;
  u8 pad_h_after;
  u8 pad_w;
  u8 pad_w_after;
  u8 stride_h;
  u8 stride_w;
  u8 is_avg_pooling;
  u8 if_relu;
  u8 fix8b_opt0;
  u8 fix8b_opt1;
  u8 unused22[6];
} pool_tf_param_t;
static_assert(sizeof(pool_tf_param_t) == 28, "TF pooling record");

typedef struct DYN_RECORD {
  i32 oh;
  i32 ow;
} adaptive_pool_param_t;
static_assert(sizeof(adaptive_pool_param_t) == 8, "adaptive pooling record");

typedef struct DYN_RECORD {
  u8 shape_in_record;
  u8 out_dims;
  u8 interp_variant;
  u8 unused3;
  i32 out_shape[8];
  i32 interp_param0;
  i32 interp_param1;
  u32 fix8b_flag;
  u32 coord_flag0;
  u32 coord_flag1;
} interp_param_t;
static_assert(sizeof(interp_param_t) == 56, "interpolation record");

typedef struct DYN_RECORD {
  i32 pooled_h;
  i32 pooled_w;
  float spatial_scale;
  u32 unused12;
  i32 fix8b_opt0;
} roi_pooling_param_t;
static_assert(sizeof(roi_pooling_param_t) == 20, "ROI pooling record");

typedef struct DYN_RECORD {
  i32 output_dim;
  i32 group_size;
  float spatial_scale;
  u32 unused12;
  u32 fix8b_opt0;
} psroi_pooling_param_t;
static_assert(sizeof(psroi_pooling_param_t) == 20, "PS-ROI pooling record");

// ---- Fully connected, batch matmul, softmax ----

typedef struct DYN_RECORD {
  u32 input_neurons;
  u32 output_neurons;
  u8 fc_option;
  u8 has_bias;
  u8 has_active;
  u8 unused11;
  u32 active_type;  // 1 ReLU, 2 PReLU
  u8 channel_shared;
  u8 unused17[3];
  float shared_slope;
  u8 fix8b_opt[4];
  u8 unused28[8];
  i32 out_dims;  // 0 or less: 4
  u8 fix8b_flag;
  u8 fix8b_b0;
  u8 fix8b_b1;
  u8 unused43;
  u32 fix8b_w0;
  i16 fix8b_h0;
  i16 fix8b_h1;
  u32 weight_is_tensor;
} fc_param_t;
static_assert(sizeof(fc_param_t) == 56, "fully connected record");

// One batch-matmul operand: a coefficient described by the record, or a tensor.
typedef struct DYN_RECORD {
  u32 is_coeff;
  i32 shape[8];
  u32 dims;
} matmul_operand_param_t;
static_assert(sizeof(matmul_operand_param_t) == 40, "batch matmul operand");

typedef struct DYN_RECORD {
  matmul_operand_param_t a;
  matmul_operand_param_t b;
  u32 if_relu;
  u32 matmul_spare;
} batch_matmul_param_t;
static_assert(sizeof(batch_matmul_param_t) == 88, "batch matmul record");

typedef struct DYN_RECORD {
  u32 axis_word;  // softmax_axis in bits 28 to 31
  float softmax_scale;
  u64 buffer_offset;
  u8 softmax_flag;
  u8 unused17[7];
} softmax_param_t;
static_assert(sizeof(softmax_param_t) == 24, "softmax record");

static inline u32 softmax_axis_of(const softmax_param_t *r) { return r->axis_word >> 28; }

typedef struct DYN_RECORD {
  i32 band_lower;
  i32 band_upper;
} matrix_band_part_param_t;
static_assert(sizeof(matrix_band_part_param_t) == 8, "matrix band part record");

// ---- Tensor arrays ----

typedef struct DYN_RECORD {
  u32 unused0;
  i32 elem_shape[8];
  u32 elem_dims;
  u32 clear_after_read;
  u32 dynamic_size;
  u32 same_shape;
  u32 global_buffer_size;
} tensorarray_param_t;
static_assert(sizeof(tensorarray_param_t) == 56, "tensorarray record");

// ta_write, ta_scatter and ta_split.
typedef struct DYN_RECORD {
  u32 sync;            // write the array's image to the device afterwards
  u32 value_is_coeff;  // 1: the value is a coefficient address
  u32 coeff_dims;
  i32 coeff_shape[8];
  u32 coeff_dtype;
} ta_write_param_t;
static_assert(sizeof(ta_write_param_t) == 48, "ta_write record");

// ---- Selection, reduction, arg, top-k and sort ----

typedef struct DYN_RECORD {
  u32 index_dims;
  u32 unused4;
  u64 buffer_offset;
} where_param_t;
static_assert(sizeof(where_param_t) == 16, "where record");

typedef struct DYN_RECORD {
  i32 ms_arg0;
  i32 ms_arg1;
  i32 ms_arg2;
  i32 ms_arg3;
  u64 buffer_offset;
  u64 buffer_offset1;
  u8 ms_flag;
  u8 unused33[7];
} masked_select_param_t;
static_assert(sizeof(masked_select_param_t) == 40, "masked select record");

typedef struct DYN_RECORD {
  i32 gather_arr0[8];
  i32 gather_arr1[8];
  i32 gather_arg0;
  i32 gather_arg1;
  u64 buffer_offset;
  u64 buffer_offset1;
  u8 gather_flag;
  u8 unused89[3];
  u32 tensor_num;
  i32 squeeze_axis[8];
} where_squeeze_gather_param_t;
static_assert(sizeof(where_squeeze_gather_param_t) == 128, "where-squeeze-gather record");

typedef struct DYN_RECORD {
  i32 axis;
  u32 unused4;
  u64 buffer_offset;
  u32 index_is_coeff;
  u32 index_num;
} index_select_param_t;
static_assert(sizeof(index_select_param_t) == 24, "index select record");

typedef struct DYN_RECORD {
  u32 sort_dim;
  u32 index_to_scratch;
  u32 sort_arg0;
  u32 sort_arg1;
  u64 buffer_offset;
} sort_per_dim_param_t;
static_assert(sizeof(sort_per_dim_param_t) == 24, "per-dimension sort record");

typedef struct DYN_RECORD {
  u32 unused0;
  i32 axis;
  i32 method;
  i32 arg_opt;
  u64 arg_addr0;
  u64 arg_addr1;
} arg_param_t;
static_assert(sizeof(arg_param_t) == 32, "arg record");

typedef struct DYN_RECORD {
  i32 k;
  u8 axis;
  u8 k_from_tensor;
  u8 topk_flag;
  u8 unused7;
  u64 buffer_offset;
} topk_param_t;
static_assert(sizeof(topk_param_t) == 16, "top-k record");

// ---- Detection and sequence ----

typedef struct DYN_RECORD {
  u32 out_dims;
  i32 out_shape[8];  // when has_dim is 0
  float min_sizes[8];
  u32 real_min_size;
  float max_sizes[8];
  u32 max_size_num;
  float aspect_ratios[8];
  u32 aspect_ratio_num;
  float variances[8];
  u32 variance_num;
  i32 num_priors;
  u32 img_w;
  u32 img_h;
  float step_w;
  float step_h;
  float prior_offset;
  float prior_scale;
  u32 layer_w;
  u32 layer_h;
  u32 net_w;
  u32 net_h;
  u32 dim;
  u8 has_dim;
  u8 unused229;
  u8 prior_flag;
  u8 unused231;
} priorbox_param_t;
static_assert(sizeof(priorbox_param_t) == 232, "prior-box record");

typedef struct DYN_RECORD {
  u32 region_arg[5];
} yolo_param_t;
static_assert(sizeof(yolo_param_t) == 20, "YOLO region record");

typedef struct DYN_RECORD {
  float iou_threshold;
  float score_threshold;
  u32 nms_mode;  // 3: a limit tensor follows
  u32 unused12;
  u64 buffer_offset;
} nms_param_t;
static_assert(sizeof(nms_param_t) == 24, "NMS record");

typedef struct DYN_RECORD {
  u32 num_classes;
  u32 share_location;
  i32 background_class;
  i32 box_code_type;
  i32 ssd_arg0;
  i32 ssd_arg1;
  float ssd_f0;
  float ssd_f1;
  float ssd_f2;
  i32 top_k;
} ssd_detect_out_param_t;
static_assert(sizeof(ssd_detect_out_param_t) == 40, "SSD detection output record");

typedef struct DYN_RECORD {
  u32 head_num;
  i32 yolo_arg0;
  i32 yolo_arg1;
  i32 yolo_arg2;
  i32 yolo_arg3;
  float yolo_f0;
  float yolo_f1;
  float yolo_arr0[18];
  float yolo_arr1[3];
  float yolo_arr2[9];
} yolov3_detect_out_param_t;
static_assert(sizeof(yolov3_detect_out_param_t) == 148, "YOLOv3 detection output record");

typedef struct DYN_RECORD {
  u16 channels1;  // the second score input's channels
  u16 channels0;  // the first score input's channels
  i32 rpn_arg0;
  i32 rpn_arg1;
  i32 rpn_arg2;
  i32 rpn_arg3;
  i32 rpn_arg4;
  float rpn_f0;
  float rpn_f1;
  float rpn_scale;
  u32 unused36;
  u64 buffer_offset;
  u64 rpn_addr;
} rpn_param_t;
static_assert(sizeof(rpn_param_t) == 56, "region proposal record");

typedef struct DYN_RECORD {
  i32 lstm_dim0;
  i32 lstm_dim1;
  i32 lstm_arg;
  u32 unused12;
  i32 lstm_dim2;
  u32 cont_is_tensor;
  u32 static_flag;
  u32 state_flag;
  u64 buffer_offset;
  u8 unused40[8];
} lstm_param_t;
static_assert(sizeof(lstm_param_t) == 48, "LSTM record");

// ---- Shape tensors ----

typedef struct DYN_RECORD {
  u32 count_or_dims;
  i32 shape_or_values[8];
  u32 values_follow;
  u32 dtype;
} shape_const_param_t;
static_assert(sizeof(shape_const_param_t) == 44, "shape_const record");

typedef struct DYN_RECORD {
  u32 input_is_shape;
} shape_ref_param_t;
static_assert(sizeof(shape_ref_param_t) == 4, "shape_ref record");

typedef struct DYN_RECORD {
  i32 binary_op;
} shape_op_param_t;
static_assert(sizeof(shape_op_param_t) == 4, "shape_op record");

typedef struct DYN_RECORD {
  i8 begin_1d, end_1d, stride_1d;
  u8 unused;
  i32 begin[8];
  i32 end[8];
  i32 stride[8];
  i32 shape_size;
  i32 begin_mask;
  i32 end_mask;
  i32 ellipsis_mask;
  i32 new_axis_mask;
  i32 shrink_axis_mask;
  u32 from_tensors;
} shape_slice_param_t;
static_assert(sizeof(shape_slice_param_t) == 128, "shape_slice record");

typedef struct DYN_RECORD {
  u32 input_num;
  i32 axis;
} shape_pack_param_t;
static_assert(sizeof(shape_pack_param_t) == 8, "shape_pack record");

typedef struct DYN_RECORD {
  u8 order[8];
} shape_reorder_param_t;
static_assert(sizeof(shape_reorder_param_t) == 8, "shape_reorder record");

typedef struct DYN_RECORD {
  i32 multiples[8];
  u32 multiples_from_tensor;
} shape_tile_param_t;
static_assert(sizeof(shape_tile_param_t) == 36, "shape_tile record");

typedef struct DYN_RECORD {
  i32 axis;
} shape_reverse_param_t;
static_assert(sizeof(shape_reverse_param_t) == 4, "shape_reverse record");

typedef struct DYN_RECORD {
  i32 axis;
  i32 num;
} shape_expand_ndims_param_t;
static_assert(sizeof(shape_expand_ndims_param_t) == 8, "shape_expand_ndims record");

typedef struct DYN_RECORD {
  u32 dst_type;
  u32 host_output;
} shape_cast_param_t;
static_assert(sizeof(shape_cast_param_t) == 8, "shape_cast record");

typedef struct DYN_RECORD {
  i32 keep_dims;
  i32 method;
  i32 axis_num;
  i32 axes[8];
} shape_reduce_param_t;
static_assert(sizeof(shape_reduce_param_t) == 44, "shape_reduce record");

typedef struct DYN_RECORD {
  i32 split_axis;
  i32 split_sizes[8];
  i32 split_num;
} shape_split_param_t;
static_assert(sizeof(shape_split_param_t) == 40, "shape_split record");

typedef struct DYN_RECORD {
  u32 op;
} shape_unary_param_t;
static_assert(sizeof(shape_unary_param_t) == 4, "shape_unary record");

typedef struct DYN_RECORD {
  i8 axes[8];
  u32 axis_num;
} shape_squeeze_param_t;
static_assert(sizeof(shape_squeeze_param_t) == 12, "shape_squeeze record");

typedef struct DYN_RECORD {
  u32 then_value;
  u32 else_value;
  u8 then_is_scalar;
  u8 else_is_scalar;
  u8 unused[2];
} shape_select_param_t;
static_assert(sizeof(shape_select_param_t) == 12, "shape_select record");

// ---- Reshaping, slicing, padding, cropping, rearrangement ----

#define RESHAPE_PATTERN_MAX 10

typedef struct DYN_RECORD {
  u8 shape_num;
  u8 unused[3];
  i32 shape_spec[RESHAPE_PATTERN_MAX];
  i32 ref_id;
} reshape_param_t;
static_assert(sizeof(reshape_param_t) == 48, "reshape record");

typedef struct DYN_RECORD {
  i32 axis;
  i32 num;
  u32 input_is_coeff;
  i32 coeff_shape[8];
  u32 coeff_dims;
} expand_dims_param_t;
static_assert(sizeof(expand_dims_param_t) == 48, "expand_dims record");

typedef struct DYN_RECORD {
  i8 axes[8];
  u32 axis_num;
} squeeze_param_t;
static_assert(sizeof(squeeze_param_t) == 12, "squeeze record");

typedef struct DYN_RECORD {
  u64 scratch;
} slice_param_t;
static_assert(sizeof(slice_param_t) == 8, "slice record");

typedef struct DYN_RECORD {
  i32 axes[8];
  i32 axis_num;
  u32 input_is_coeff;
  i32 coeff_dims;
  i32 coeff_shape[8];
} slicelike_param_t;
static_assert(sizeof(slicelike_param_t) == 76, "slicelike record");

typedef struct DYN_RECORD {
  u32 pad_mode;
  float pad_value;
  u64 scratch;
} ref_pad_param_t;
static_assert(sizeof(ref_pad_param_t) == 16, "ref_pad record");

typedef struct DYN_RECORD {
  i32 ref_id;
  i32 in_n, in_c;
  i32 out_n, out_c, out_h, out_w;
  i32 offsets[4];
} crop_param_t;
static_assert(sizeof(crop_param_t) == 44, "crop record");

typedef struct DYN_RECORD {
  i32 crops[4][2];
} simple_crop_param_t;
static_assert(sizeof(simple_crop_param_t) == 32, "simple_crop record");

typedef struct DYN_RECORD {
  u32 value;
  u32 type_len;
  u32 dtype;
} constant_fill_param_t;
static_assert(sizeof(constant_fill_param_t) == 12, "constant_fill record");

typedef struct DYN_RECORD {
  u8 input_is_coeff;
  u8 bottom_dims;
  u8 unused0[2];
  i32 coeff_shape[8];
  u32 shape_in_record;
  i32 out_shape[8];
  u32 out_dims;
  u32 unused1;
  u64 scratch;
} expand_param_t;
static_assert(sizeof(expand_param_t) == 88, "expand record");

typedef struct DYN_RECORD {
  i32 axis_num;
  u8 lhs_axes[8];
  u8 rhs_axes[8];
  u32 unused;
  u64 scratch;
} broadcast_like_param_t;
static_assert(sizeof(broadcast_like_param_t) == 32, "broadcast_like record");

typedef struct DYN_RECORD {
  u8 input_num;
  u8 dims;
  u8 axis;
  u8 unused;
  i32 shape[8];
} concat_param_t;
static_assert(sizeof(concat_param_t) == 36, "concat record");

typedef struct DYN_RECORD {
  u8 is_coeff;
  u8 in_place;
  u8 unused[2];
  u32 extent;
} fw_concat_input_info_t;
static_assert(sizeof(fw_concat_input_info_t) == 8, "concat input record");

typedef struct DYN_RECORD {
  i32 split_axis;
  i32 split_sizes[8];
  i32 split_num;
  u64 scratch;
} split_tf_param_t;
static_assert(sizeof(split_tf_param_t) == 48, "split_tf record");

typedef struct DYN_RECORD {
  u8 order[8];
  u64 scratch;
  u8 order_from_tensor;
  u8 unused[7];
} transpose_param_t;
static_assert(sizeof(transpose_param_t) == 24, "transpose record");

typedef struct DYN_RECORD {
  u8 block_from_tensor;
  u8 pads_from_tensor;  // crops for batch2space
  u8 unused0[2];
  i32 block_shape[2];
  i32 pads[4];  // crops for batch2space: top, bottom, left, right
  u32 unused1;
  u64 scratch;
} space_batch_param_t;
static_assert(sizeof(space_batch_param_t) == 40, "space2batch / batch2space record");

typedef struct DYN_RECORD {
  u32 unused[2];
  i32 block_shape[2];
  u8 in_channel_first;
  u8 is_inversed;
  u8 out_channel_first;
  u8 unused1[5];
} depth2space_param_t;
static_assert(sizeof(depth2space_param_t) == 24, "depth2space record");

typedef struct DYN_RECORD {
  i32 axis;
} reverse_param_t;
static_assert(sizeof(reverse_param_t) == 4, "reverse record");

typedef struct DYN_RECORD {
  u32 word;
} embedding_param_t;
static_assert(sizeof(embedding_param_t) == 4, "embedding record");

typedef struct DYN_RECORD {
  i32 shape[8];
  u32 dims;
  u32 dtype;
} coeff2neuron_param_t;
static_assert(sizeof(coeff2neuron_param_t) == 40, "coeff2neuron record");

// ---- Tensor-array device image ----

// The header at the start of a tensor array's device image; `size` element
// records (tensor_array_elem_t, 64 bytes) follow it.
typedef struct DYN_RECORD {
  u32 capacity;
  u32 size;
  u32 dynamic_size;
  u32 clear_after_read;
  u32 same_shape;
  u32 global_buffer_size;
  u64 head_addr;
  u32 tensors;  // the ARM address of the element records
  u32 unused36;
} tensor_array_image_header_t;
static_assert(sizeof(tensor_array_image_header_t) == 40, "tensor-array image header");
