#include "chip/engines/command_fields.h"

#include "chip/engines/bd/fields.h"
#include "chip/engines/cdma/cdma.h"
#include "chip/engines/gde/gde.h"
#include "chip/engines/gdma/fields.h"
#include "chip/types.h"

namespace zv::chip {

namespace {

namespace bdf = bd::field;
namespace gdmaf = gdma::field;
namespace cdmaf = cdma::field;
namespace gdef = gde::field;

// A field of an engine's table under its trace name.
NamedField named(const char *name, Field f, u32 kinds = 0) { return NamedField{name, f.pos, f.width, kinds}; }
// A whole word under its trace name.
NamedField word(const char *name, u32 index, u32 kinds = 0) { return NamedField{name, 32 * index, 32, kinds}; }
// The whole word that holds a field's low bits (addresses' high words).
Field whole_word(Field f) { return Field{f.pos, 32}; }

const std::vector<NamedField> &bd_header() {
  static const std::vector<NamedField> fields = {named("own_id", bdf::kOwnId), named("wait_gdma_id", bdf::kWaitGdmaId),
                                                 named("task", bdf::kTask), named("sub_op", bdf::kSubOp),
                                                 named("operands", bdf::kOperands)};
  return fields;
}

std::vector<NamedField> joined(const std::vector<NamedField> &a, const std::vector<NamedField> &b) {
  std::vector<NamedField> out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Convolution, pooling and depthwise, fully connected, decompress.
const std::vector<NamedField> &bd_conv_fields() {
  static const std::vector<NamedField> fields = joined(
      bd_header(),
      {named("right_shift", bdf::kRshift), named("old_left_shift", bdf::kShift2), named("result_add", bdf::kResAdd),
       named("relu", bdf::kOutMode), named("transpose_l", bdf::kFcLTrans), named("winograd", bdf::kWinograd),
       named("rotate", bdf::kKernelFlag), named("sign_in", bdf::kOpd0Sign), named("sign_weight", bdf::kOpd1Sign),
       named("sign_bias", bdf::kOpd2Sign), named("prec_out", bdf::kResPrec), named("prec_in", bdf::kOpd0Prec),
       named("prec_weight", bdf::kOpd1Prec), named("prec_bias", bdf::kOpd2Prec), named("const_l", bdf::kOpd0Const),
       named("const_weight", bdf::kOpd1Const), named("out_stride_mode", bdf::kResStrideMode),
       named("in_stride_mode", bdf::kOpd0StrideMode), named("weight_mode", bdf::kOpd1StrideMode),
       named("insert_w", bdf::kInsW), named("insert_h", bdf::kInsH), named("dilation_w_1", bdf::kDwMinus1),
       named("dilation_h_1", bdf::kDhMinus1), named("pad_top", bdf::kPadTop), named("pad_bottom", bdf::kPadBottom),
       named("pad_left", bdf::kPadLeft), named("pad_right", bdf::kPadRight), named("stride_w", bdf::kStrideW),
       named("stride_h", bdf::kStrideH), named("out_n", bdf::kN), named("out_c", bdf::kC), named("out_h", bdf::kH),
       named("out_w", bdf::kW), named("in_n", bdf::kOpd0N), named("in_c", bdf::kOpd0C), named("in_h", bdf::kOpd0H),
       named("in_w", bdf::kOpd0W), named("kernel_h", bdf::kOpd1H), named("kernel_w", bdf::kOpd1W),
       named("out_n_stride", bdf::kResNStride), named("out_c_stride", bdf::kResCStride),
       named("in_n_stride", bdf::kOpd0NStride), named("in_c_stride", bdf::kOpd0CStride),
       named("weight_group_stride", bdf::kOpd1NStride), named("weight_out_stride", bdf::kOpd1CStride),
       named("bias_row_stride", bdf::kOpd2CStride), named("sign_out", bdf::kResSign),
       word("out_addr", bd::words::kRes), word("in_addr", bd::words::kOpd0), word("weight_addr", bd::words::kOpd1),
       word("bias_addr", bd::words::kOpd2), word("out_h_stride", bd::words::kResHStride),
       word("out_w_stride", bd::words::kResHStride + 1), word("in_h_stride", bd::words::kOpd0HStride),
       word("in_w_stride", bd::words::kOpd0HStride + 1), word("weight_row_stride", bd::words::kOpd1HStride),
       word("weight_col_stride", bd::words::kOpd1HStride + 1)});
  return fields;
}

// Tensor arithmetic, table lookup, the md_* kinds, vector correlation.
const std::vector<NamedField> &bd_eltwise_fields() {
  static const std::vector<NamedField> fields = joined(
      bd_header(),
      {named("right_shift", bdf::kRshift), named("second_shift", bdf::kShift2), named("arithmetic", bdf::kShiftType),
       named("result_add", bdf::kResAdd), named("float", bdf::kFloatMode), named("sign_a", bdf::kOpd0Sign),
       named("sign_b", bdf::kOpd1Sign), named("prec_r", bdf::kResPrec), named("prec_a", bdf::kOpd0Prec),
       named("prec_b", bdf::kOpd1Prec), named("prec_c", bdf::kOpd2Prec), named("const_a", bdf::kOpd0Const),
       named("const_b", bdf::kOpd1Const), named("const_c", bdf::kOpd2Const), named("n", bdf::kN),
       named("c", bdf::kC), named("h", bdf::kH), named("w", bdf::kW), named("a_n", bdf::kOpd0N),
       named("a_c", bdf::kOpd0C), named("a_h", bdf::kOpd0H), named("a_w", bdf::kOpd0W), named("terms", bdf::kOpd1N),
       named("b_h", bdf::kOpd1H), named("b_w", bdf::kOpd1W), named("r_n_stride", bdf::kResNStride),
       named("r_c_stride", bdf::kResCStride), named("a_n_stride", bdf::kOpd0NStride),
       named("a_c_stride", bdf::kOpd0CStride), named("b_n_stride", bdf::kOpd1NStride),
       named("b_c_stride", bdf::kOpd1CStride), named("sign_r", bdf::kResSign), named("b_along_n", bdf::kOpd1BcastN),
       word("r_addr", bd::words::kRes), word("a_addr", bd::words::kOpd0), word("b_addr", bd::words::kOpd1),
       word("c_addr", bd::words::kOpd2), word("r_h_stride", bd::words::kResHStride),
       word("r_w_stride", bd::words::kResHStride + 1), word("a_h_stride", bd::words::kOpd0HStride),
       word("a_w_stride", bd::words::kOpd0HStride + 1), word("b_h_stride", bd::words::kOpd1HStride),
       word("b_w_stride", bd::words::kOpd1HStride + 1)});
  return fields;
}

const std::vector<NamedField> &gdma_fields() {
  static const std::vector<NamedField> fields = {
      named("strides_given", gdmaf::kStridesGiven), named("direction", gdmaf::kDirection),
      named("result_add", gdmaf::kResultAdd), named("flat_copy", gdmaf::kFlatCopy), named("own_id", gdmaf::kOwnId),
      named("mode", gdmaf::kMode), named("dst_format", gdmaf::kDstFormat), named("layout", gdmaf::kLayout),
      named("matrix", gdmaf::kMatrix), named("src_format", gdmaf::kSrcFormat), named("wait_bd_id", gdmaf::kWaitBdId),
      named("src_n", gdmaf::kSrcShape[0]), named("src_c", gdmaf::kSrcShape[1]), named("src_h", gdmaf::kSrcShape[2]),
      named("src_w", gdmaf::kSrcShape[3]), named("dst_n", gdmaf::kDstShape[0]), named("dst_c", gdmaf::kDstShape[1]),
      named("dst_h", gdmaf::kDstShape[2]), named("dst_w", gdmaf::kDstShape[3]),
      named("src_addr_high", gdmaf::kSrcAddrHigh), named("dst_addr_high", gdmaf::kDstAddrHigh),
      named("fill_value", gdmaf::kFillValue, 1u << 4), named("src_n_stride", gdmaf::kSrcStride[0]),
      named("src_c_stride", gdmaf::kSrcStride[1]), named("src_h_stride", gdmaf::kSrcStride[2]),
      named("src_w_stride", gdmaf::kSrcStride[3]), named("dst_n_stride", gdmaf::kDstStride[0]),
      named("dst_c_stride", gdmaf::kDstStride[1]), named("dst_h_stride", gdmaf::kDstStride[2]),
      named("dst_w_stride", gdmaf::kDstStride[3]), named("src_addr", gdmaf::kSrcAddrLow),
      named("dst_addr", gdmaf::kDstAddrLow), named("sub_element_shift", gdmaf::kShifts, 1u << 0 | 1u << 1 | 1u << 3)};
  return fields;
}

const std::vector<NamedField> &cdma_fields() {
  static const std::vector<NamedField> fields = {
      named("function", cdmaf::kFunction), named("descending", cdmaf::kDescending),
      named("index_enable", cdmaf::kIndexEnable), named("auto_index", cdmaf::kAutoIndex),
      named("key_src", cdmaf::kSrcKeyLow), named("key_src_high", whole_word(cdmaf::kSrcKeyHigh)),
      named("key_dst", cdmaf::kDstKeyLow), named("key_dst_high", whole_word(cdmaf::kDstKeyHigh)),
      named("key_bytes", cdmaf::kKeyBytes), named("index_src", cdmaf::kSrcIndexLow),
      named("index_src_high", whole_word(cdmaf::kSrcIndexHigh)), named("index_dst", cdmaf::kDstIndexLow),
      named("index_dst_high", whole_word(cdmaf::kDstIndexHigh)), named("result_bytes", cdmaf::kOutBytes)};
  return fields;
}

const std::vector<NamedField> &gde_fields() {
  static const std::vector<NamedField> fields = {
      named("mode", gdef::kMode),          named("length", gdef::kCount),
      named("item_type", gdef::kItemType), word("enable", 1),
      named("in_addr", gdef::kInAddr),     named("in_addr_high", gdef::kInAddrHigh),
      named("out_addr", gdef::kOutAddr),   named("out_addr_high", gdef::kOutAddrHigh),
      named("index_addr", gdef::kIndexAddr), named("index_addr_high", gdef::kIndexAddrHigh)};
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
