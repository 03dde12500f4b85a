#include "chip/engines/command_fields.h"

#include "chip/types.h"

namespace zv::chip {

namespace {

struct WordField {
  const char *name;
  u32 word;
  u32 kinds = 0;
};

std::vector<NamedField> word_fields(std::vector<NamedField> fields, const std::vector<WordField> &words) {
  for (const WordField &w : words) fields.push_back({w.name, 32 * w.word, 32, w.kinds});
  return fields;
}

const std::vector<NamedField> kBdHeader = {
    {"own_id", 3, 16}, {"wait_gdma_id", 19, 16}, {"task", 37, 4}, {"sub_op", 41, 5}, {"operands", 46, 2}};

// Convolution, pooling and depthwise, fully connected, decompress.
const std::vector<NamedField> &bd_conv_fields() {
  static const std::vector<NamedField> fields = [] {
    std::vector<NamedField> f = kBdHeader;
    const std::vector<NamedField> more = {
        {"right_shift", 48, 5}, {"old_left_shift", 53, 5}, {"result_add", 59, 1}, {"relu", 60, 2},
        {"transpose_l", 61, 1}, {"winograd", 62, 1}, {"rotate", 63, 1}, {"sign_in", 64, 1}, {"sign_weight", 65, 1},
        {"sign_bias", 66, 1}, {"prec_out", 67, 3}, {"prec_in", 70, 3}, {"prec_weight", 73, 3}, {"prec_bias", 76, 3},
        {"const_l", 79, 1}, {"const_weight", 80, 1}, {"out_stride_mode", 82, 2}, {"in_stride_mode", 85, 2},
        {"weight_mode", 88, 2}, {"insert_w", 94, 4}, {"insert_h", 98, 4}, {"dilation_w_1", 102, 4},
        {"dilation_h_1", 106, 4}, {"pad_top", 110, 4}, {"pad_bottom", 114, 4}, {"pad_left", 118, 4},
        {"pad_right", 122, 4}, {"stride_w", 126, 4}, {"stride_h", 130, 4}, {"out_n", 198, 16}, {"out_c", 214, 12},
        {"out_h", 226, 16}, {"out_w", 242, 16}, {"in_n", 258, 16}, {"in_c", 274, 12}, {"in_h", 286, 16},
        {"in_w", 302, 16}, {"kernel_h", 342, 16}, {"kernel_w", 358, 16}, {"out_n_stride", 398, 19},
        {"out_c_stride", 417, 19}, {"in_n_stride", 436, 19}, {"in_c_stride", 455, 19},
        {"weight_group_stride", 474, 19}, {"weight_out_stride", 493, 19}, {"bias_row_stride", 531, 19},
        {"sign_out", 550, 1}};
    f.insert(f.end(), more.begin(), more.end());
    return word_fields(f, {{"out_addr", 18}, {"in_addr", 19}, {"weight_addr", 20}, {"bias_addr", 21},
                           {"out_h_stride", 22}, {"out_w_stride", 23}, {"in_h_stride", 24}, {"in_w_stride", 25},
                           {"weight_row_stride", 26}, {"weight_col_stride", 27}});
  }();
  return fields;
}

// Tensor arithmetic, table lookup, the md_* kinds, vector correlation.
const std::vector<NamedField> &bd_eltwise_fields() {
  static const std::vector<NamedField> fields = [] {
    std::vector<NamedField> f = kBdHeader;
    const std::vector<NamedField> more = {
        {"right_shift", 48, 5}, {"second_shift", 53, 5}, {"arithmetic", 58, 1}, {"result_add", 59, 1},
        {"float", 60, 1}, {"sign_a", 64, 1}, {"sign_b", 65, 1}, {"prec_r", 67, 3}, {"prec_a", 70, 3},
        {"prec_b", 73, 3}, {"prec_c", 76, 3}, {"const_a", 79, 1}, {"const_b", 80, 1}, {"const_c", 81, 1},
        {"n", 198, 16}, {"c", 214, 12}, {"h", 226, 16}, {"w", 242, 16}, {"a_n", 258, 16}, {"a_c", 274, 12},
        {"a_h", 286, 16}, {"a_w", 302, 16}, {"terms", 318, 12}, {"b_h", 342, 16}, {"b_w", 358, 16},
        {"r_n_stride", 398, 19}, {"r_c_stride", 417, 19}, {"a_n_stride", 436, 19}, {"a_c_stride", 455, 19},
        {"b_n_stride", 474, 19}, {"b_c_stride", 493, 19}, {"sign_r", 550, 1}, {"b_along_n", 552, 1}};
    f.insert(f.end(), more.begin(), more.end());
    return word_fields(f, {{"r_addr", 18}, {"a_addr", 19}, {"b_addr", 20}, {"c_addr", 21}, {"r_h_stride", 22},
                           {"r_w_stride", 23}, {"a_h_stride", 24}, {"a_w_stride", 25}, {"b_h_stride", 26},
                           {"b_w_stride", 27}});
  }();
  return fields;
}

const std::vector<NamedField> &gdma_fields() {
  static const std::vector<NamedField> fields = word_fields(
      {{"strides_given", 5, 1}, {"direction", 6, 2}, {"result_add", 8, 1}, {"flat_copy", 9, 1},
       {"own_id", 16, 16}, {"mode", 32, 3}, {"dst_format", 35, 3}, {"layout", 38, 1}, {"matrix", 39, 1},
       {"src_format", 40, 3}, {"wait_bd_id", 48, 16}, {"src_n", 384, 16}, {"src_c", 400, 16}, {"src_h", 416, 16},
       {"src_w", 432, 16}, {"dst_n", 448, 16}, {"dst_c", 464, 16}, {"dst_h", 480, 16}, {"dst_w", 496, 16},
       {"src_addr_high", 576, 8}, {"dst_addr_high", 584, 8}},
      {{"fill_value", 3, 1u << 4}, {"src_n_stride", 4}, {"src_c_stride", 5}, {"src_h_stride", 6}, {"src_w_stride", 7},
       {"dst_n_stride", 8}, {"dst_c_stride", 9}, {"dst_h_stride", 10}, {"dst_w_stride", 11}, {"src_addr", 16},
       {"dst_addr", 17}, {"sub_element_shift", 19, 1u << 0 | 1u << 1 | 1u << 3}});
  return fields;
}

const std::vector<NamedField> &cdma_fields() {
  static const std::vector<NamedField> fields = {
      {"function", 960, 8}, {"descending", 976, 1}, {"index_enable", 977, 1}, {"auto_index", 978, 1},
      {"key_src", 1056, 32}, {"key_src_high", 1088, 32}, {"key_dst", 1120, 32}, {"key_dst_high", 1152, 32},
      {"key_bytes", 1184, 32}, {"index_src", 1280, 32}, {"index_src_high", 1312, 32}, {"index_dst", 1344, 32},
      {"index_dst_high", 1376, 32}, {"result_bytes", 1408, 32}};
  return fields;
}

const std::vector<NamedField> &gde_fields() {
  static const std::vector<NamedField> fields = word_fields(
      {{"mode", 2, 30}, {"length", 288, 28}, {"item_type", 316, 4}},
      {{"enable", 1}, {"in_addr", 3}, {"in_addr_high", 4}, {"out_addr", 5}, {"out_addr_high", 6},
       {"index_addr", 7}, {"index_addr_high", 8}});
  return fields;
}

bool conv_unit(u32 task) { return task == 0 || task == 1 || task == 2 || task == 12; }

}  // namespace

const std::vector<NamedField> &command_fields(Agent agent, u32 kind) {
  switch (agent) {
    case Agent::Bd: return conv_unit(kind) ? bd_conv_fields() : bd_eltwise_fields();
    case Agent::Gdma: return gdma_fields();
    case Agent::Cdma: return cdma_fields();
    case Agent::Gde: return gde_fields();
    default: break;
  }
  static const std::vector<NamedField> none;
  return none;
}

std::string decoded_fields(Agent agent, u32 kind, const Descriptor &d) {
  std::string out;
  for (const NamedField &f : command_fields(agent, kind)) {
    if (f.pos + f.width > 32 * d.size() || (f.kinds != 0 && (kind >= 32 || !(f.kinds >> kind & 1)))) continue;
    const u32 v = d.field(f.pos, f.width);
    if (v == 0) continue;
    if (!out.empty()) out += ' ';
    out += f.name;
    out += '=';
    out += v < 10 ? std::to_string(v) : hex(v);
  }
  return out;
}

}  // namespace zv::chip
