// The API table and the handler convention, through the host driver and the
// ring: which ids have handlers, the size check naming each record, the
// zero-count return, and the argument each record field reaches (read back
// from the descriptors the model's GDMA took).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "cmd/memory_fill_copy.h"
#include "runtime/api/dispatch.h"

namespace zv::test {
namespace {

using host::Card;

// Every id with a handler, its record and the record's size (0: a record of
// variable length, not size-checked).
// variable size, whose own suite checks its sizes).
struct Row {
  uint32_t id;
  const char *record;
  uint32_t bytes;
};
const Row kRows[] = {
    {1, "zv_api_memset_t", 20},
    {2, "zv_api_memcpy_t", 32},
    {3, "zv_api_nodechip_md_scalar_t", 72},
    {4, "zv_api_md_sum_t", 36},
    {5, "zv_api_md_linear_t", 72},
    {6, "zv_api_nodechip_md_cmp_t", 112},
    {7, "zv_api_nodechip_md_sfu_t", 52},
    {8, "zv_api_img_sum_t", 36},
    {9, "zv_api_nodechip_float2int8_t", 36},
    {10, "zv_api_dropout_forward_t", 48},
    {12, "zv_api_accuracy_layer_t", 52},
    {13, "zv_api_log_forward_t", 44},
    {15, "zv_api_sigmoid_cross_entropy_loss_forward_t", 56},
    {17, "zv_api_contrastive_loss_forward_t", 80},
    {19, "zv_api_filter_forward_t", 48},
    {22, "zv_api_prelu_forward_t", 48},
    {24, "zv_api_scale_forward_t", 64},
    {26, "zv_api_threshold_forward_t", 36},
    {27, "zv_api_exp_forward_t", 44},
    {29, "zv_api_power_forward_t", 44},
    {31, "zv_api_euclidean_loss_forward_t", 56},
    {34, "zv_api_lstm_unit_forward_t", 80},
    {36, "zv_api_eltwise_forward_t", 176},
    {38, "zv_api_bias_forward_t", 40},
    {40, "zv_api_elu_forward_t", 40},
    {42, "zv_api_absval_forward_t", 32},
    {44, "zv_api_bnll_forward_t", 32},
    {46, "zv_api_permute_param_t", 32},
    {47, "zv_api_roi_pooling_forward_t", 64},
    {48, "zv_api_normalize_forward_t", 60},
    {49, "zv_api_conv_forward_parallel_t", 124},
    {50, "zv_api_deconv_forward_parallel_t", 136},
    {52, "zv_api_pooling_forward_parallel_t", 92},
    {56, "zv_api_lrn_forward_parallel_t", 48},
    {58, "zv_api_batchnorm_forward_inference_parallel_t", 76},
    {59, "zv_api_batchnorm_forward_train_parallel_t", 76},
    {65, "zv_api_relu_forward_parallel_t", 40},
    {67, "zv_api_softmax_forward_parallel_t", 52},
    {69, "zv_api_softmax_loss_forward_parallel_t", 60},
    {71, "zv_api_softmax_loss_bidirection_parallel_t", 60},
    {73, "zv_api_upsample_forward_parallel_t", 48},
    {75, "zv_api_multiregion_forward_parallel_t", 192},
    {82, "zv_api_lstm_forward_t", 144},
    {83, "zv_api_conv_forward_parallel_fix8b_t", 168},
    {84, "zv_api_eltwise_fix8b_forward_t", 72},
    {85, "zv_api_fc_fix8b_forward_parallel_t", 84},
    {88, "zv_api_pooling_fix8b_forward_parallel_t", 116},
    {90, "zv_api_global_int2float_t", 36},
    {91, "zv_api_concat_t", 312},
    {92, "zv_api_concat_t", 312},
    {93, "zv_api_global_memcpy_t", 32},
    {94, "zv_api_crop_t", 64},
    {95, "zv_api_pooling_train_forward_parallel_t", 92},
    {96, "zv_api_bnscale_forward_parallel_fix8b_t", 72},
    {97, "zv_api_depthwise_fix8b_forward_parallel_t", 112},
    {105, "zv_api_gemm_t", 72},
    {110, "zv_api_multi_fullnet_t", 0},
    {111, "zv_api_dynamic_fullnet_t", 0},
    {112, "zv_api_cv_warp_t", 120},
    {113, "zv_api_cv_resize_t", 104},
    {114, "zv_api_cv_yuv2rgb_t", 156},
    {115, "zv_api_slice_forward", 0},
    {116, "zv_api_tile_forward_t", 104},
    {117, "zv_api_transpose_t", 100},
    {118, "zv_api_transpose_fix8b_t", 100},
    {119, "zv_api_tile_fix8b_forward_t", 104},
    {120, "zv_api_batch2space_fix8b_forward_t", 100},
    {121, "zv_api_space2batch_fix8b_forward_t", 92},
    {122, "zv_api_pooling_train_index_forward_parallel_t", 84},
    {123, "zv_api_nodechip_1d_scalar_t", 64},
    {124, "zv_api_nodechip_1d_sfu_t", 44},
    {126, "zv_api_cv_gen_proposal_t", 84},
    {127, "zv_api_word2vec_t", 68},
    {128, "zv_api_sum_x2n_t", 32},
    {129, "zv_api_md_ops_t", 76},
    {130, "zv_api_deconv_fix8b_forward_parallel_t", 128},
    {131, "zv_api_cv_nms_t", 24},
    {136, "zv_api_memcpy_byte_t", 24},
    {137, "zv_api_memcpy_wstride_t", 32},
    {138, "zv_api_memcpy_tensor_t", 68},
    {139, "zv_api_f32_is_t", 28},
    {140, "zv_api_ctcloss_t", 52},
    {141, "zv_api_normalize_fix8b_forward_t", 68},
    {142, "zv_api_permute_fix8b_param_t", 32},
    {143, "zv_api_slice_fix8b_forward", 0},
    {144, "zv_api_pad_t", 72},
    {145, "zv_api_pad_fix8b_t", 96},
    {146, "zv_api_split_tf_fix8b_t", 168},
    {147, "zv_api_unary_t", 36},
    {148, "zv_api_binary_t", 100},
    {149, "zv_api_simple_binary_t", 60},
    {151, "zv_api_simple_select_t", 72},
    {152, "zv_api_depthwise_forward_t", 84},
    {155, "zv_api_psroipooling_forward_t", 72},
    {157, "zv_api_arg_t", 48},
    {158, "zv_api_arg_fix8b_t", 76},
    {159, "zv_api_shuffle_channel_forward_t", 36},
    {160, "zv_api_shuffle_channel_fix8b_forward_t", 36},
    {161, "zv_api_stride_slice_t", 92},
    {162, "zv_api_fc_weight_decompress_t", 32},
    {163, "zv_api_interp_forward_parallel_t", 52},
    {164, "zv_api_bias_fix8b_forward_t", 64},
    {165, "zv_api_stride_slice_fix8b_t", 68},
    {166, "zv_api_adaptive_pooling_forward_t", 44},
    {167, "zv_api_adaptive_pooling_fix8b_forward_t", 72},
    {168, "zv_api_reduce_fix8b_t", 120},
    {169, "zv_api_eltwise_binary_fix8b_forward_t", 92},
    {170, "zv_api_const_binary_fix8b_forward_t", 92},
    {171, "zv_api_broadcast_binary_fix8b_forward_t", 124},
    {172, "zv_api_sigmoid_forward_parallel_fix8b_t", 40},
    {173, "zv_api_tanh_forward_parallel_fix8b_t", 40},
    {174, "zv_api_active_forward_t", 32},
    {175, "zv_api_active_forward_fix8b_t", 48},
    {176, "zv_api_ssd_detect_out_t", 84},
    {177, "zv_api_memset_byte_t", 44},
    {178, "zv_api_yolov3_detect_out_t", 208},
    {180, "zv_api_sort_per_dim_t", 96},
    {181, "zv_api_index_select_t", 88},
    {182, "zv_api_conv3d_parallel_t", 124},
    {183, "zv_api_memcpy_tensors_t", 12},
    {200, "zv_api_reduce_t", 100},
    {201, "zv_api_segment_reduce_t", 0},
    {203, "zv_api_unfold_t", 68},
    {500, "zv_api_cv_convert_to_t", 68},
    {501, "zv_api_cv_gen_proposal_and_nms_t", 292},
    {502, "zv_api_cv_convert_to_inter_t", 60},
    {503, "zv_api_cv_sort_test_t", 48},
    {504, "zv_api_cv_feature_match_t", 52},
    {505, "zv_api_cv_storage_convert_t", 164},
    {506, "zv_api_cv_width_align_t", 60},
    {507, "zv_api_cv_copy_to_t", 80},
    {508, "zv_api_cv_sort_t", 52},
    {509, "zv_api_cv_feature_match_fix8b_t", 60},
    {510, "zv_api_cv_warp_bilinear_t", 80},
    {511, "zv_api_cv_soft_nms_t", 36},
    {512, "zv_api_cv_split_t", 36},
    {513, "zv_api_cv_transpose_t", 32},
    {700, "zv_api_topk_t", 48},
    {701, "zv_api_cumsum_t", 36},
    {702, "zv_api_where_t", 76},
    {703, "zv_api_masked_select_t", 84},
    {800, "zv_api_yolo_t", 52},
    {900, "zv_api_fc_forward_parallel_t", 84},
    {901, "zv_api_sigmoid_forward_parallel_t", 24},
    {902, "zv_api_tanh_forward_parallel_t", 24},
    {983, "zv_api_conv_forward_parallel_fix16b_t", 168},
    {984, "zv_api_depthwise_fix8b_forward_parallel_t", 112},
    {985, "zv_api_perchannel_shift_forward_parallel_fix8b_t", 56},
    {986, "zv_api_set_profile_t", 4},
    {987, "zv_api_get_profile_data_t", 28},
};

TEST(ApiTable, ListsTheBuiltHandlersInAscendingOrder) {
  ASSERT_EQ(zv_api_table_size, sizeof(kRows) / sizeof(kRows[0])) << "a table row without a row here";
  for (uint32_t i = 0; i < zv_api_table_size; i++) {
    EXPECT_EQ(zv_api_table[i].id, kRows[i].id);
    EXPECT_EQ(zv_api_table[i].record_bytes, kRows[i].bytes) << kRows[i].record;
    EXPECT_EQ(zv_api_find(kRows[i].id), zv_api_table[i].handler);
  }
  for (uint32_t id : {0u, 150u, 184u, 988u, 0x3f995ec4u, 0xffffffffu})
    EXPECT_EQ(zv_api_find(id), nullptr) << id;
}

TEST(ApiTable, IdsWithoutAHandlerAnswerNotSupported) {
  Card card;
  for (uint32_t id : {11u, 14u, 150u, 988u}) {
    ASSERT_TRUE(AnswerOk(card, card.send(id, {0, 0, 0}), 1008u)) << id;
  }
  const std::string console = card.console();
  for (uint32_t id : {11u, 14u, 988u})
    EXPECT_NE(console.find("api_id = " + std::to_string(id) + " not supported\n"), std::string::npos) << id;
  EXPECT_EQ(console.find("api_id = 150 "), std::string::npos) << "the reserved id is not logged";
}

TEST(ApiTable, WrongSizeFailsTheCheckNamingTheRecord) {
  Card card;
  for (const Row &r : kRows) {
    if (r.bytes == 0) continue;
    for (uint32_t words : {r.bytes / 4 - 1, r.bytes / 4 + 1}) {
      SCOPED_TRACE(std::string(r.record) + " in " + std::to_string(words) + " words");
      const size_t before = card.console().size();
      ASSERT_TRUE(AnswerOk(card, card.send(r.id, std::vector<uint32_t>(words, 0)), 1009u));
      const std::string text = card.console().substr(before);
      EXPECT_NE(text.find(": size == sizeof(" + std::string(r.record) + ")\nASSERT info: none.\n"),
                std::string::npos)
          << text;
      EXPECT_NE(text.find("api = " + std::to_string(r.id) + " assert fail\n"), std::string::npos) << text;
    }
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

TEST(ApiTable, ZeroCountReturnsWithoutTouchingTheEngines) {
  Card card;
  zv_api_memcpy_t copy = {0x101000000ull, 0x101001000ull, 0, 1, 1, 4};
  zv_api_memset_byte_t fill = {0x101000000ull, 0, 1, 1, 4, 4, 4, 4, 1, 0x7f, {0, 0, 0}};
  for (const auto &payload : {payload_of(copy), payload_of(fill)}) {
    ASSERT_TRUE(AnswerOk(card, card.send(payload.size() == 8 ? 2 : 177, payload)));
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_EQ(card.chip().engines.scheduler.gdma.restarts, 0u) << "no id restart either";
}

// The GDMA descriptor fields a move or fill is read back by.
struct Move {
  uint64_t src, dst;
  uint32_t src_shape[4], dst_shape[4];
  int32_t src_stride[4], dst_stride[4];
  uint32_t fill_value;
};
Move decode(const chip::Descriptor &d) {
  Move m{};
  m.src = d.word(16) | uint64_t{d.field(576, 8)} << 32;
  m.dst = d.word(17) | uint64_t{d.field(584, 8)} << 32;
  for (int i = 0; i < 4; i++) {
    m.src_shape[i] = d.field(384 + 16 * i, 16);
    m.dst_shape[i] = d.field(448 + 16 * i, 16);
    m.src_stride[i] = static_cast<int32_t>(d.word(4 + i));
    m.dst_stride[i] = static_cast<int32_t>(d.word(8 + i));
  }
  m.fill_value = d.word(3);
  return m;
}

TEST(ApiTable, EachFieldReachesItsArgument) {
  Card card;
  auto &gdma = card.chip().engines.gdma;
  auto last = [&] { return decode(gdma.commands().back().descriptor); };

  // API 2: src, dst, N, src and dst n strides, W (elements of 4 bytes).
  zv_api_memcpy_t copy = {0x101010000ull, 0x101020000ull, 3, 11, 13, 7};
  ASSERT_EQ(card.send(2, payload_of(copy))->result, 0u);
  Move m = last();
  EXPECT_EQ(m.src, 0x101010000ull);
  EXPECT_EQ(m.dst, 0x101020000ull);
  EXPECT_EQ(std::vector<uint32_t>(m.src_shape, m.src_shape + 4), (std::vector<uint32_t>{3, 1, 1, 7}));
  EXPECT_EQ(m.src_stride[0], 11);
  EXPECT_EQ(m.dst_stride[0], 13);

  // API 177: address, N, W (on the H axis), n and w strides, the value's low byte.
  zv_api_memset_byte_t fill = {0x101030000ull, 2, 1, 1, 5, 17, 99, 98, 3, 0xab, {0, 0, 0}};
  ASSERT_EQ(card.send(177, payload_of(fill))->result, 0u);
  m = last();
  EXPECT_EQ(m.dst, 0x101030000ull);
  EXPECT_EQ(std::vector<uint32_t>(m.dst_shape, m.dst_shape + 4), (std::vector<uint32_t>{2, 1, 5, 1}));
  EXPECT_EQ(std::vector<int32_t>(m.dst_stride, m.dst_stride + 4), (std::vector<int32_t>{17, 3, 3, 1}));
  EXPECT_EQ(m.fill_value, 0xabu);

  // API 1, mode 4: address, byte_count / 4 words, the value word.
  zv_api_memset_t word = {0x101040000ull, 4 * 9 + 3, 4, 0xdeadbeef};
  ASSERT_EQ(card.send(1, payload_of(word))->result, 0u);
  m = last();
  EXPECT_EQ(m.dst, 0x101040000ull);
  EXPECT_EQ(std::vector<uint32_t>(m.dst_shape, m.dst_shape + 4), (std::vector<uint32_t>{1, 1, 1, 9}));
  EXPECT_EQ(m.fill_value, 0xdeadbeefu);

  // API 1, mode 3: one fill per byte lane, at address + lane, with that byte.
  const size_t before = gdma.commands().size();
  zv_api_memset_t pattern = {0x101050000ull, 30, 3, 0x00332211};
  ASSERT_EQ(card.send(1, payload_of(pattern))->result, 0u);
  ASSERT_EQ(gdma.commands().size(), before + 3);
  for (uint32_t j = 0; j < 3; j++) {
    m = decode(gdma.commands()[before + j].descriptor);
    EXPECT_EQ(m.dst, 0x101050000ull + j);
    EXPECT_EQ(m.fill_value, 0x11u * (j + 1));
    EXPECT_EQ(m.dst_shape[2], 10u);
    EXPECT_EQ(m.dst_stride[2], 3);
  }

  // API 183: tensor_num rows from tensor_table_addr into the DTCM scratch window.
  memcpy_tensors_row_t row = {0x101060000ull, 0x101070000ull, 1, 2, 3, 4, 24, 12, 4, 1, 48, 24, 8, 1, 2};
  card.write(0x101080000ull, &row, sizeof row);
  uint32_t table[3] = {1, 0x01080000, 1};  // tensor_num 1, address 0x1_0108_0000 at offset 4
  const size_t first = gdma.commands().size();
  ASSERT_EQ(card.send(183, std::vector<uint32_t>(table, table + 3))->result, 0u);
  ASSERT_EQ(gdma.commands().size(), first + 2);
  m = decode(gdma.commands()[first].descriptor);
  EXPECT_EQ(m.src, 0x101080000ull);
  EXPECT_EQ(m.dst, 0x02020000ull);
  EXPECT_EQ(std::vector<uint32_t>(m.src_shape, m.src_shape + 4), (std::vector<uint32_t>{1, 1, 1, 68}));
  m = decode(gdma.commands()[first + 1].descriptor);
  EXPECT_EQ(m.src, 0x101060000ull);
  EXPECT_EQ(m.dst, 0x101070000ull);
  EXPECT_EQ(std::vector<uint32_t>(m.src_shape, m.src_shape + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<int32_t>(m.src_stride, m.src_stride + 4), (std::vector<int32_t>{24, 12, 4, 1}));
  EXPECT_EQ(std::vector<int32_t>(m.dst_stride, m.dst_stride + 4), (std::vector<int32_t>{48, 24, 8, 1}));
  EXPECT_EQ(gdma.commands()[first + 1].descriptor.field(40, 3), 1u) << "2-byte elements: INT16";
}

}  // namespace
}  // namespace zv::test
