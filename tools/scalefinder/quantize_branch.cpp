// Rules of layers that combine or rescale activations: each input gets an
// int8 multiplier and a right shift carrying its scale to the output's, and
// constant operands are converted to the output's scale.
#include <cmath>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "math_util.hpp"
#include "qrn/math.hpp"
#include "quantize_rules.hpp"
#include "rule_util.hpp"

using qrn::Blob;
using qrn::LayerParameter;
using qrn::Net;
using namespace rule_util;

namespace {

constexpr float kMaxOverflow = 0.03f;

void ClearBranches(LayerParameter* p) {
  p->clear_th_input();
  p->clear_th_output();
  p->clear_mul_branch();
  p->clear_rshift_branch();
}

void AppendBranch(LayerParameter* p, int mul, int s) {
  p->add_mul_branch(SignExtended(mul));
  p->add_rshift_branch(SignExtended(s));
}

// int8 image of c with scale num * 2^s / den.
int Multiplier(float c, double num, double den, int s) {
  const float scale = static_cast<float>(num * pow2(s) / den);
  char mul;
  quantizeToInt8(&c, &mul, 1, scale);
  return static_cast<signed char>(mul);
}

// The branch step: appends (mul, s) for one input and returns s.
int BranchStep(LayerParameter* p, float c, double num, double den) {
  const int s = calRightShiftNumUseCblas(c, num, den, 8);
  AppendBranch(p, Multiplier(c, num, den, s), s);
  return s;
}

float OutputBiasScale(int s, float thTop) { return static_cast<float>(pow2(s) * 128.0 / thTop); }

// Every value of blob 0 to int16 on its own with scale 2^s * 128 / thTop.
void ConstantToInt16(Blob<float>& b, int s, float thTop) {
  const float scale = OutputBiasScale(s, thTop);
  for (int k = 0; k < b.count(); ++k) {
    const float v = b.cpu_data()[k];
    quantizeToInt16(&v, b.mutable_cpu_int16_data() + k, 1, scale, 0);
  }
}

// Constant operand blob 0 added to (subtracted from, compared with) the
// single input.
void OneInputAddPath(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  ClearBranches(p);
  p->add_th_output(thTop);
  p->add_th_input(thBottom);
  const int s = BranchStep(p, 1.0f, thBottom, thTop);
  ConstantToInt16(ParamBlob(net, i, 0), s, thTop);
}

// The single input multiplied by constant blob 0: the constant carries the
// rescaling, in 16 bits.
void OneInputMulPath(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  Blob<float>& b = ParamBlob(net, i, 0);
  ClearBranches(p);
  p->add_th_output(thTop);
  p->add_th_input(thBottom);
  const int s = calRightShiftNumUseCblas(findMaxabs(b.cpu_data(), b.count()), thBottom, thTop, 16);
  const float scale = static_cast<float>(pow2(s)) * thBottom / thTop;
  quantizeToInt16(b.cpu_data(), b.mutable_cpu_int16_data(), b.count(), scale, 0);
  AppendBranch(p, 1, s);
}

enum class TwoInputOp { kPlain, kMul, kSquaredDiff };

// Branch entries of a layer combining its inputs.  Returns false, after
// appending the offending entry, at the first negative shift.
bool TwoInputBranches(Net<float>& net, size_t i, TwoInputOp op) {
  LayerParameter* p = Param(net, i);
  const float thTop = ThTop(net, i);
  ClearBranches(p);
  p->add_th_output(thTop);
  const size_t inputs = net.bottom_vecs()[i].size();
  for (size_t j = 0; j < inputs; ++j) {
    const float thB = ThBottom(net, i, j);
    p->add_th_input(thB);
    if (op == TwoInputOp::kMul && j >= 1) {
      AppendBranch(p, 1, 0);
      continue;
    }
    double num = thB, den = thTop;
    if (op == TwoInputOp::kMul) {
      num = static_cast<double>(ThBottom(net, i, 0)) * static_cast<double>(ThBottom(net, i, 1));
      den = 128.0 * thTop;
    } else if (op == TwoInputOp::kSquaredDiff) {
      den = std::sqrt(128.0f * thTop);
    }
    if (BranchStep(p, 1.0f, num, den) < 0) return false;
  }
  return true;
}

}  // namespace

void quantize_concat_layer_int8(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const float thTop = ThTop(net, i);
  const bool fold = p->concat_param().fold_concat_with_conv();
  ClearBranches(p);
  p->add_th_output(thTop);
  for (size_t j = 0; j < net.bottom_vecs()[i].size(); ++j) {
    const float thB = ThBottom(net, i, j);
    p->add_th_input(thB);
    const int s = calRightShiftNumUseCblas(1.0f, thB, thTop, 8);
    if (fold) {
      AppendBranch(p, 2, 1);
    } else {
      AppendBranch(p, Multiplier(1.0f, thB, thTop, s), s);
    }
    if (s < 0) LOG(FATAL) << "Concat rightshift < 0 (layer " << Name(net, i) << ")";
  }
}

void quantize_eltwise_layer_int8(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const float thTop = ThTop(net, i);
  const auto& coeff = p->eltwise_param().coeff();
  const size_t inputs = net.bottom_vecs()[i].size();
  if (!coeff.empty() && static_cast<size_t>(coeff.size()) != inputs)
    LOG(FATAL) << "layer " << Name(net, i) << " has " << coeff.size() << " coefficients for " << inputs << " inputs";
  std::vector<float> c(coeff.begin(), coeff.end());
  ClearBranches(p);
  p->add_th_output(thTop);
  for (size_t j = 0; j < inputs; ++j) {
    const float thB = ThBottom(net, i, j);
    p->add_th_input(thB);
    if (BranchStep(p, c.empty() ? 1.0f : c[j], thB, thTop) < 0)
      LOG(FATAL) << "Eltwise rightshift < 0 (layer " << Name(net, i) << ")";
  }
}

void quantize_bias_layer_int8(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  Blob<float>& b = ParamBlob(net, i, 0);
  ClearBranches(p);
  p->add_th_output(thTop);
  p->add_th_input(thBottom);
  const int s0 = calRightShiftNumUseCblas(1.0f, thBottom, thTop, 8);
  int s = s0;
  for (int k = 0; k < b.count(); ++k) {
    const float v = b.cpu_data()[k];
    short tmp;
    float ratio = quantizeToInt16(&v, &tmp, 1, OutputBiasScale(s, thTop), 0);
    if (ratio > 0.1f) {
      while (ratio > kMaxOverflow && s != 0) {
        --s;
        ratio = quantizeToInt16(&v, &tmp, 1, OutputBiasScale(s, thTop), 0);
      }
    }
  }
  if (s >= 1 && s + 5 >= s0) {
    AppendBranch(p, Multiplier(1.0f, thBottom, thTop, s), s);
    const float scale = OutputBiasScale(s, thTop);
    for (int k = 0; k < b.count(); ++k) {
      const float v = b.cpu_data()[k];
      quantizeToInt16(&v, b.mutable_cpu_int16_data() + k, 1, scale, 0);
    }
    b.setRshiftNum(s);
    b.setBitWidth(qrn::bitWidth_16);
  } else {
    LOG(INFO) << "rightShiftTmp:" << s0 << " rightShiftTmpOpt:" << s;
    LOG(FATAL) << "rightShiftTmp decreases too much,check if there is something wrong! (layer " << Name(net, i)
               << ")";
  }
}

void quantize_relu_layer_int8(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  const auto& rp = p->relu_param();
  const float slope = rp.negative_slope();
  if (static_cast<double>(slope) > 0.0001) {
    ClearBranches(p);
    const int s = calRightShiftNumUseCblas(slope, 1.0, 1.0, 8);
    p->add_th_input(ThBottom(net, i));
    AppendBranch(p, Multiplier(slope, 1.0, 1.0, s), s);
  }
  if (rp.has_upper_limit()) {
    const float q = 128.0f * rp.upper_limit() / ThTop(net, i);
    const int u = Saturate<int32_t>(std::floor(static_cast<double>(q) + 0.5));
    p->mutable_relu_param()->set_upper_limit_uint8(std::min(u, 255));
  }
}

void quantize_select_layer_int8(Net<float>& net, size_t i) {
  LayerParameter* p = Param(net, i);
  qrn::SelectParameter* sp = p->mutable_select_param();
  const float thTop = ThTop(net, i);
  ClearBranches(p);
  p->add_th_output(thTop);
  float th[2] = {1.0f + std::fabs(sp->s0_value()), 1.0f + std::fabs(sp->s1_value())};
  const bool is_const[2] = {sp->s0_is_const(), sp->s1_is_const()};
  size_t next_bottom = 1;
  for (int k = 0; k < 2; ++k) {
    if (is_const[k]) continue;
    th[k] = ThBottom(net, i, next_bottom++);
    p->add_th_input(th[k]);
  }
  for (int k = 0; k < 2; ++k) {
    const int s = calRightShiftNumUseCblas(1.0f, th[k], thTop, 8);
    if (s < 0) LOG(FATAL) << "Select layer rightshift < 0 (layer " << Name(net, i) << ")";
    AppendBranch(p, Multiplier(1.0f, th[k], thTop, s), s);
    if (is_const[k]) {
      const float value = k == 0 ? sp->s0_value() : sp->s1_value();
      short q;
      quantizeToInt16(&value, &q, 1, static_cast<float>(128.0 / thTop), 0);
      if (k == 0) {
        sp->set_s0_value_fix8b(q);
      } else {
        sp->set_s1_value_fix8b(q);
      }
    }
  }
}

void quantize_constBinary_layer_int8(Net<float>& net, size_t i) {
  using Op = qrn::ConstBinaryParameter;
  LayerParameter* p = Param(net, i);
  qrn::ConstBinaryParameter* cp = p->mutable_const_binary_param();
  const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
  const float b = cp->b_value();
  const int op = cp->operation();
  ClearBranches(p);
  p->add_th_output(thTop);
  p->add_th_input(thBottom);
  switch (op) {
    case Op::BINARY_DIV:
      BranchStep(p, 1.0f / b, thBottom, thTop);
      cp->set_b_value_fix8b(1);
      return;
    case Op::BINARY_MUL: {
      if (b == 0.0f) {
        AppendBranch(p, 0, 1);
        cp->set_b_value_fix8b(1);
        return;
      }
      const int s = calRightShiftNumUseCblas(b, thBottom, thTop, 8);
      if (s < 0) {
        LOG(INFO) << "coeff = " << b << ", thTop = " << thTop;
        LOG(FATAL) << "rightShiftTmp = " << s << "Constbinary rightshift < 0, op = " << op << " (layer "
                   << Name(net, i) << ")";
      }
      AppendBranch(p, Multiplier(b, thBottom, thTop, s), s);
      cp->set_b_value_fix8b(1);
      return;
    }
    case Op::BINARY_ADD:
    case Op::BINARY_SUB:
    case Op::BINARY_MAX:
    case Op::BINARY_MIN:
    case Op::BINARY_GT:
    case Op::BINARY_GE:
    case Op::BINARY_LT:
    case Op::BINARY_LE:
    case Op::BINARY_EQ:
    case Op::BINARY_NE: {
      int s = calRightShiftNumUseCblas(1.0f, thBottom, thTop, 8);
      if (s <= 0)
        LOG(FATAL) << "Constbinary rightshift <=0, op=" << op << " (layer " << Name(net, i) << ")";
      const bool compare = op >= Op::BINARY_GT;
      short q;
      float ratio = quantizeToInt16(&b, &q, 1, OutputBiasScale(s, thTop), 0);
      while (ratio > kMaxOverflow && s >= 1) {
        LOG(WARNING) << "overflow ratio:" << ratio << (compare ? ",so reduce less one bit" : ",so reduceless  one bit");
        --s;
        ratio = quantizeToInt16(&b, &q, 1, OutputBiasScale(s, thTop), 0);
      }
      // The input's multiplier takes the same (possibly lowered) shift as
      // the constant, so that both land in the output's scale.
      AppendBranch(p, Multiplier(1.0f, thBottom, thTop, s), s);
      cp->set_b_value_fix8b(q);
      return;
    }
    default:
      LOG(FATAL) << "Unknown const binary operation: " << op << " (layer " << Name(net, i) << ")";
  }
}

void quantize_broadcastBinary_layer_int8(Net<float>& net, size_t i) {
  using Op = qrn::BroadcastBinaryParameter;
  const int op = net.layers()[i]->layer_param().broadcast_binary_param().operation();
  if (net.bottom_vecs()[i].size() == 2) {
    TwoInputOp kind = TwoInputOp::kPlain;
    if (op == Op::BINARY_MUL) {
      kind = TwoInputOp::kMul;
    } else if (op == Op::BINARY_SQUARED_DIFF) {
      kind = TwoInputOp::kSquaredDiff;
    } else if (op < Op::BINARY_ADD || op > Op::BINARY_MIN) {
      LOG(FATAL) << "Unknown broadcast binary operation: " << op << " (layer " << Name(net, i) << ")";
    }
    if (!TwoInputBranches(net, i, kind))
      LOG(FATAL) << "BroadcastBinary rightshift < 0 (layer " << Name(net, i) << ")";
    return;
  }
  switch (op) {
    case Op::BINARY_ADD:
    case Op::BINARY_SUB:
    case Op::BINARY_MAX:
    case Op::BINARY_MIN:
      OneInputAddPath(net, i);
      return;
    case Op::BINARY_MUL:
      OneInputMulPath(net, i);
      return;
    case Op::BINARY_DIV:
    case Op::BINARY_SQUARED_DIFF:
      LOG(FATAL) << "#TODO: broadcast binary operation: " << op << " (layer " << Name(net, i) << ")";
      return;
    default:
      LOG(FATAL) << "Unknown broadcast binary operation: " << op << " (layer " << Name(net, i) << ")";
  }
}

void quantize_eltwiseBinary_layer_int8(Net<float>& net, size_t i) {
  using Op = qrn::EltwiseBinaryParameter;
  const auto& ep = net.layers()[i]->layer_param().eltwise_binary_param();
  const int op = ep.operation();
  const bool coeff0 = ep.is_coeff_size() > 0 && ep.is_coeff(0) != 0;
  const bool coeff1 = ep.is_coeff_size() > 1 && ep.is_coeff(1) != 0;
  if (coeff0 || coeff1) {
    if (op == Op::BINARY_MUL) {
      OneInputMulPath(net, i);
    } else if (op == Op::BINARY_SQRDIFF) {
      Blob<float>& b = ParamBlob(net, i, 0);
      const float thBottom = ThBottom(net, i), thTop = ThTop(net, i);
      const int s = calRightShiftNumUseCblas(findMaxabs(b.cpu_data(), b.count()), thBottom, thTop, 8);
      const float scale = static_cast<float>(pow2(s)) * thBottom / thTop;
      quantizeToInt8(b.cpu_data(), b.mutable_cpu_int8_data(), b.count(), scale);
      b.setRshiftNum(s);
      b.setBitWidth(qrn::bitWidth_8);
    } else if (op >= Op::BINARY_ADD && op <= Op::BINARY_NE) {
      OneInputAddPath(net, i);
    } else {
      LOG(FATAL) << "Unknown elementwise binary operation. (layer " << Name(net, i) << ")";
    }
    return;
  }
  if (op < Op::BINARY_ADD || op > Op::BINARY_SQRDIFF)
    LOG(FATAL) << "Unknown elementwise binary operation. (layer " << Name(net, i) << ")";
  const TwoInputOp kind = op == Op::BINARY_MUL       ? TwoInputOp::kMul
                          : op == Op::BINARY_SQRDIFF ? TwoInputOp::kSquaredDiff
                                                     : TwoInputOp::kPlain;
  if (!TwoInputBranches(net, i, kind)) LOG(INFO) << "Eltwise rightshift < 0";
}
