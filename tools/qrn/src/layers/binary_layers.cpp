// Two-operand layers: "EltwiseBinary" (equal shapes), "BroadcastBinary"
// (numpy-style broadcasting), "ConstBinary" (a constant operand) and
// "Select" (a condition choosing between two inputs or constants).  The
// second operand of "EltwiseBinary" and "BroadcastBinary" is the layer's blob
// 0 when the layer has one input.
//
// 8 bits follow the card's 8-bit binary layers, fed the calibration's branch
// entries (mul_branch, rshift_branch):
// - an 8-bit input is rescaled into 16 bits, x * mul shifted right by s
//   (half up); a product of two inputs is shifted once by both shifts;
// - a constant operand (16-bit blob values, b_value_fix8b) is in the output's
//   scale x 2^s: it meets x * mul in 16 bits and the result is shifted by s;
// - comparisons drop every shift (an operand is x * mul) and give the
//   integer 1 or 0;
// - intermediates saturate to 16 bits, results to 8.
// Squared difference of two inputs (each carried to sqrt of the output's
// scale) has no card form; it is (v0 - v1)^2 of the carried inputs.
// Forms that the calibration gives nothing to compute from stop the run
// naming the operation: a quotient (no multiplier carries a quotient into the
// output's scale), modulo, the comparisons of "BroadcastBinary" (the
// calibration refuses them) and a squared difference with a constant (its
// constant is quantized like a factor, not in a scale it can be subtracted
// in).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "layers/register.hpp"
#include "qrn/common.hpp"
#include "qrn/fixed_point.hpp"

namespace qrn {
namespace {

enum class Op { kAdd, kSub, kMul, kDiv, kMax, kMin, kGt, kGe, kLt, kLe, kEq, kNe, kSqDiff, kMod, kUnknown };

const char* OpName(Op op) {
  static const char* const names[] = {"add", "sub", "mul", "div", "max", "min", "gt",
                                      "ge",  "lt",  "le",  "eq",  "ne",  "squared difference", "mod", "unknown"};
  return names[static_cast<int>(op)];
}

// Codes 0 to 5 are shared; the comparisons and the rest differ by message.
Op CommonOp(int code) {
  switch (code) {
    case 0: return Op::kAdd;
    case 1: return Op::kSub;
    case 2: return Op::kMul;
    case 3: return Op::kDiv;
    case 4: return Op::kMax;
    case 5: return Op::kMin;
    default: return Op::kUnknown;
  }
}
Op EltwiseBinaryOp(int code) {
  static const Op more[] = {Op::kGt, Op::kGe, Op::kLt, Op::kLe, Op::kEq, Op::kNe, Op::kSqDiff};
  return code >= 6 && code <= 12 ? more[code - 6] : CommonOp(code);
}
Op BroadcastBinaryOp(int code) {
  switch (code) {
    case 10002: return Op::kGe;
    case 10005: return Op::kEq;
    case 10007: return Op::kSqDiff;
    case 10008: return Op::kMod;
    default: return CommonOp(code);
  }
}
Op ConstBinaryOp(int code) {
  static const Op more[] = {Op::kGt, Op::kGe, Op::kLt, Op::kLe, Op::kEq, Op::kNe};
  return code >= 10001 && code <= 10006 ? more[code - 10001] : CommonOp(code);
}

float Apply(Op op, float a, float b) {
  switch (op) {
    case Op::kAdd: return a + b;
    case Op::kSub: return a - b;
    case Op::kMul: return a * b;
    case Op::kDiv: return a / b;
    case Op::kMax: return std::max(a, b);
    case Op::kMin: return std::min(a, b);
    case Op::kGt: return a > b ? 1.0f : 0.0f;
    case Op::kGe: return a >= b ? 1.0f : 0.0f;
    case Op::kLt: return a < b ? 1.0f : 0.0f;
    case Op::kLe: return a <= b ? 1.0f : 0.0f;
    case Op::kEq: return a == b ? 1.0f : 0.0f;
    case Op::kNe: return a != b ? 1.0f : 0.0f;
    case Op::kSqDiff: return (a - b) * (a - b);
    case Op::kMod: return a - std::floor(a / b) * b;  // the sign of the divisor
    default: return 0.0f;
  }
}

// Rounds half up: v / 2^s for s > 0.
int64_t ShiftHalfUp(int64_t v, int s) { return s > 0 ? (v + (int64_t{1} << (s - 1))) >> std::min(s, 62) : v; }

int64_t Sat16(int64_t v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : v; }

bool IsComparison(Op op) { return op >= Op::kGt && op <= Op::kNe; }

// The integer 1 where the comparison holds, else 0.
int64_t Compare(Op op, int64_t a, int64_t b) {
  switch (op) {
    case Op::kGt: return a > b;
    case Op::kGe: return a >= b;
    case Op::kLt: return a < b;
    case Op::kLe: return a <= b;
    case Op::kEq: return a == b;
    default: return a != b;
  }
}

// add, subtract, maximum or minimum of two 16-bit values, saturated.
int64_t Combine16(Op op, int64_t a, int64_t b) {
  switch (op) {
    case Op::kAdd: return Sat16(a + b);
    case Op::kSub: return Sat16(a - b);
    case Op::kMax: return std::max(a, b);
    default: return std::min(a, b);
  }
}

bool IsArithmetic(Op op) {
  return op == Op::kAdd || op == Op::kSub || op == Op::kMul || op == Op::kMax || op == Op::kMin;
}

struct Branch8 {
  int32_t mul;
  int rshift;
};
Branch8 BranchOf(const LayerParameter& p, int j, const std::string& where) {
  CHECK(p.mul_branch_size() > j && p.rshift_branch_size() > j)
      << where << "needs a multiplier and a shift for input " << j << ", has " << p.mul_branch_size() << " and "
      << p.rshift_branch_size();
  return {static_cast<int32_t>(p.mul_branch(j)), static_cast<int>(p.rshift_branch(j))};
}

// Output index -> operand index under numpy broadcasting (operand axes
// aligned at the end, an extent of 1 repeats).
std::vector<int64_t> BroadcastIndex(const std::vector<int>& out, const std::vector<int>& in) {
  const int axes = static_cast<int>(out.size()), skip = axes - static_cast<int>(in.size());
  int64_t total = 1;
  for (int d : out) total *= d;
  std::vector<int64_t> map(total);
  std::vector<int> idx(axes, 0);
  for (int64_t o = 0; o < total; ++o) {
    int64_t k = 0;
    for (int a = skip; a < axes; ++a) k = k * in[a - skip] + (in[a - skip] == 1 ? 0 : idx[a]);
    map[o] = k;
    for (int a = axes - 1; a >= 0; --a) {
      if (++idx[a] < out[a]) break;
      idx[a] = 0;
    }
  }
  return map;
}

// The two-operand layers.  `b` is bottom 1 or blob 0; `const_first`: the
// blob is the first operand.
class BinaryLayerBase : public Layer<float> {
 protected:
  using Layer::Layer;
  virtual Op op() const = 0;
  virtual bool Broadcasts() const = 0;
  virtual bool ConstFirst() const { return false; }
  int MinBottomBlobs() const override { return 1; }
  int MaxBottomBlobs() const override { return 2; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  // The second operand: bottom 1, else blob 0 (a net may be built before
  // its constant is given; running it without one stops).
  const Blob<float>* SecondOrNull(const BlobVec& bottom) const {
    return bottom.size() > 1 ? bottom[1] : blobs_.empty() ? nullptr : blobs_[0].get();
  }
  const Blob<float>& Second(const BlobVec& bottom) const {
    const Blob<float>* b = SecondOrNull(bottom);
    QRN_LAYER_CHECK(b != nullptr) << "has one input and no constant blob";
    return *b;
  }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& a = bottom[0]->shape();
    if (SecondOrNull(bottom) == nullptr) {
      top[0]->Reshape(a);
      map_a_ = map_b_ = BroadcastIndex(a, a);
      return;
    }
    const auto& b = Second(bottom).shape();
    if (!Broadcasts()) {
      // Equal counts: a constant blob may be stored flat.
      QRN_LAYER_CHECK(bottom[0]->count() == Second(bottom).count())
          << "operands " << bottom[0]->shape_string() << " and " << Second(bottom).shape_string() << " differ";
      top[0]->Reshape(a);
      map_a_ = map_b_ = BroadcastIndex(a, a);
      return;
    } else {
      std::vector<int> out(std::max(a.size(), b.size()), 1);
      for (size_t i = 0; i < out.size(); ++i) {
        const int da = i < out.size() - a.size() ? 1 : a[i - (out.size() - a.size())];
        const int db = i < out.size() - b.size() ? 1 : b[i - (out.size() - b.size())];
        QRN_LAYER_CHECK(da == db || da == 1 || db == 1)
            << "operands " << bottom[0]->shape_string() << " and " << Second(bottom).shape_string() << " do not broadcast";
        out[i] = std::max(da, db);
      }
      top[0]->Reshape(out);
    }
    map_a_ = BroadcastIndex(top[0]->shape(), a);
    map_b_ = BroadcastIndex(top[0]->shape(), b);
  }

  void LayerSetUp(const BlobVec&, const BlobVec&) override {
    QRN_LAYER_CHECK(op() != Op::kUnknown) << "has an unknown operation";
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const float *x = bottom[0]->cpu_data(), *c = Second(bottom).cpu_data();
    float* y = top[0]->mutable_cpu_data();
    const bool swap = bottom.size() == 1 && ConstFirst();
    for (size_t o = 0; o < map_a_.size(); ++o) {
      const float a = x[map_a_[o]], b = c[map_b_[o]];
      y[o] = swap ? Apply(op(), b, a) : Apply(op(), a, b);
    }
  }

  // Whether the calibration quantizes operation o of this type, with two
  // inputs or with a constant blob.
  virtual bool HasInt8Form(Op o, bool two_inputs) const = 0;

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const Op o = op();
    const bool two = bottom.size() > 1;
    QRN_LAYER_CHECK(HasInt8Form(o, two)) << "has no 8-bit form of operation " << OpName(o)
                                         << (two ? "" : " with a constant operand");
    const Branch8 b0 = BranchOf(layer_param_, 0, where());
    const size_t n = map_a_.size();
    std::vector<int64_t> acc(n);
    bool out_signed = IsSigned(*bottom[0]) || b0.mul < 0 || o == Op::kSub || o == Op::kSqDiff;
    if (two) {
      // Two inputs, each carried to the output's scale; a product is carried
      // once, by the shifts of both entries.
      const Branch8 b1 = BranchOf(layer_param_, 1, where());
      out_signed = out_signed || IsSigned(*bottom[1]) || b1.mul < 0;
      for (size_t i = 0; i < n; ++i) {
        const int64_t x0 = Int8At(*bottom[0], static_cast<int>(map_a_[i]));
        const int64_t x1 = Int8At(*bottom[1], static_cast<int>(map_b_[i]));
        if (o == Op::kMul) {
          acc[i] = ShiftHalfUp(x0 * b0.mul * x1 * b1.mul, b0.rshift + b1.rshift);
        } else if (IsComparison(o)) {
          acc[i] = Compare(o, Sat16(x0 * b0.mul), Sat16(x1 * b1.mul));
        } else {
          const int64_t v0 = Sat16(ShiftHalfUp(x0 * b0.mul, b0.rshift));
          const int64_t v1 = Sat16(ShiftHalfUp(x1 * b1.mul, b1.rshift));
          acc[i] = o == Op::kSqDiff ? (v0 - v1) * (v0 - v1) : Combine16(o, v0, v1);
        }
      }
    } else {
      // A constant blob of 16-bit values: for a product the scaled multiplier
      // itself (entry (1, s)), else the operand in the output's scale x 2^s.
      const Blob<float>& c = Second(bottom);
      out_signed = true;
      const bool swap = ConstFirst();
      for (size_t i = 0; i < n; ++i) {
        const int64_t x = Int8At(*bottom[0], static_cast<int>(map_a_[i]));
        const int64_t k = c.cpu_int16_data()[map_b_[i]];
        if (o == Op::kMul) {
          acc[i] = Sat16(ShiftHalfUp(x * k * b0.mul, b0.rshift));
        } else {
          const int64_t a = Sat16(x * b0.mul);
          acc[i] = IsComparison(o) ? (swap ? Compare(o, k, a) : Compare(o, a, k))
                                   : ShiftHalfUp(swap ? Combine16(o, k, a) : Combine16(o, a, k), b0.rshift);
        }
      }
    }
    top[0]->set_fixed_sign_type(out_signed ? BlobProto_FixedSignType_SIGNED : BlobProto_FixedSignType_UNSIGNED);
    for (size_t i = 0; i < n; ++i) SetInt8(top[0], static_cast<int>(i), FixFinish8(acc[i], 0, false, out_signed));
  }

  std::vector<int64_t> map_a_, map_b_;
};

class EltwiseBinaryLayer : public BinaryLayerBase {
 public:
  using BinaryLayerBase::BinaryLayerBase;
  const char* type() const override { return "EltwiseBinary"; }

 protected:
  Op op() const override { return EltwiseBinaryOp(layer_param_.eltwise_binary_param().operation()); }
  bool Broadcasts() const override { return false; }
  bool ConstFirst() const override {
    const auto& p = layer_param_.eltwise_binary_param();
    return p.is_coeff_size() > 0 && p.is_coeff(0) != 0;
  }
  bool HasInt8Form(Op o, bool two_inputs) const override {
    if (o == Op::kDiv) return false;
    return two_inputs || IsArithmetic(o) || IsComparison(o);
  }
};

class BroadcastBinaryLayer : public BinaryLayerBase {
 public:
  using BinaryLayerBase::BinaryLayerBase;
  const char* type() const override { return "BroadcastBinary"; }

 protected:
  Op op() const override { return BroadcastBinaryOp(layer_param_.broadcast_binary_param().operation()); }
  bool Broadcasts() const override { return true; }
  bool HasInt8Form(Op o, bool two_inputs) const override {
    return (o != Op::kDiv && IsArithmetic(o)) || (two_inputs && o == Op::kSqDiff);
  }
};

// y = x op b_value.  8 bits: x * mul meets b_value_fix8b in 16 bits, the
// result shifted right by s, for add, subtract, max and min; a comparison of
// x * mul with b_value_fix8b gives 1 or 0; (x * mul * b_value_fix8b) >> s for
// the product and the quotient (the calibration folds the constant, or its
// inverse, into the multiplier and stores b_value_fix8b = 1).
class ConstBinaryLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "ConstBinary"; }

 protected:
  int ExactNumBottomBlobs() const override { return 1; }
  int ExactNumTopBlobs() const override { return 1; }
  Op op() const { return ConstBinaryOp(layer_param_.const_binary_param().operation()); }

  void LayerSetUp(const BlobVec&, const BlobVec&) override {
    QRN_LAYER_CHECK(op() != Op::kUnknown) << "has an unknown operation";
  }
  void Reshape(const BlobVec& bottom, const BlobVec& top) override { top[0]->ReshapeLike(*bottom[0]); }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const float b = layer_param_.const_binary_param().b_value();
    const float* x = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < bottom[0]->count(); ++i) y[i] = Apply(op(), x[i], b);
  }

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const Op o = op();
    const Branch8 br = BranchOf(layer_param_, 0, where());
    const int64_t k = layer_param_.const_binary_param().b_value_fix8b();
    const int n = bottom[0]->count();
    std::vector<int32_t> out(n);
    for (int i = 0; i < n; ++i) {
      const int64_t x = Int8At(*bottom[0], i);
      int64_t v;
      if (o == Op::kMul || o == Op::kDiv) {
        v = Sat16(ShiftHalfUp(x * br.mul * k, br.rshift));
      } else if (IsComparison(o)) {
        v = Compare(o, Sat16(x * br.mul), k);
      } else {
        v = ShiftHalfUp(Combine16(o, Sat16(x * br.mul), k), br.rshift);
      }
      out[i] = FixFinish8(v, 0, false, true);
    }
    top[0]->set_fixed_sign_type(BlobProto_FixedSignType_SIGNED);
    for (int i = 0; i < n; ++i) SetInt8(top[0], i, out[i]);
  }
};

// y = cond != 0 ? s0 : s1; bottom 0 is the condition, the non-constant values
// follow it in order.  8 bits: an input value is carried by its branch; a
// constant is stored in the output's scale (s0_value_fix8b, s1_value_fix8b).
class SelectLayer : public Layer<float> {
 public:
  using Layer::Layer;
  const char* type() const override { return "Select"; }

 protected:
  int MinBottomBlobs() const override { return 1; }
  int MaxBottomBlobs() const override { return 3; }
  int ExactNumTopBlobs() const override { return 1; }
  bool AllowInPlace() const override { return false; }

  void Reshape(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.select_param();
    const size_t want = 1 + (p.s0_is_const() ? 0 : 1) + (p.s1_is_const() ? 0 : 1);
    QRN_LAYER_CHECK(bottom.size() == want) << "has " << bottom.size() << " inputs, its constants ask for " << want;
    for (size_t k = 1; k < bottom.size(); ++k)
      QRN_LAYER_CHECK(bottom[k]->shape() == bottom[0]->shape())
          << "value " << bottom[k]->shape_string() << " differs from the condition " << bottom[0]->shape_string();
    top[0]->ReshapeLike(*bottom[0]);
  }

  // Input index of branch k, or -1 for a constant.
  int Input(int k) const {
    const auto& p = layer_param_.select_param();
    if (k == 0) return p.s0_is_const() ? -1 : 1;
    return p.s1_is_const() ? -1 : (p.s0_is_const() ? 1 : 2);
  }

  void Forward_cpu(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.select_param();
    const float* cond = bottom[0]->cpu_data();
    float* y = top[0]->mutable_cpu_data();
    for (int i = 0; i < bottom[0]->count(); ++i) {
      const int k = cond[i] != 0.0f ? 0 : 1, in = Input(k);
      y[i] = in >= 0 ? bottom[in]->cpu_data()[i] : (k == 0 ? p.s0_value() : p.s1_value());
    }
  }

  void Forward_int8(const BlobVec& bottom, const BlobVec& top) override {
    const auto& p = layer_param_.select_param();
    const Branch8 br[2] = {BranchOf(layer_param_, 0, where()), BranchOf(layer_param_, 1, where())};
    const int n = bottom[0]->count();
    std::vector<int32_t> out(n);
    for (int i = 0; i < n; ++i) {
      const int k = Int8At(*bottom[0], i) != 0 ? 0 : 1, in = Input(k);
      const int64_t v = in >= 0 ? ShiftHalfUp(int64_t{Int8At(*bottom[in], i)} * br[k].mul, br[k].rshift)
                                : (k == 0 ? p.s0_value_fix8b() : p.s1_value_fix8b());
      out[i] = FixFinish8(v, 0, false, true);
    }
    top[0]->set_fixed_sign_type(BlobProto_FixedSignType_SIGNED);
    for (int i = 0; i < n; ++i) SetInt8(top[0], i, out[i]);
  }
};

}  // namespace

void RegisterBinaryLayers() {
  RegisterLayer<EltwiseBinaryLayer>("EltwiseBinary");
  RegisterLayer<BroadcastBinaryLayer>("BroadcastBinary");
  RegisterLayer<ConstBinaryLayer>("ConstBinary");
  RegisterLayer<SelectLayer>("Select");
}

}  // namespace qrn
