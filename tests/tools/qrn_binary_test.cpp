// The framework's two-operand layers ("EltwiseBinary", "BroadcastBinary",
// "ConstBinary", "Select") in float against plain loops, and in 8 bits
// against an integer reference of the branch model: x * mul shifted right by
// s rounding half up (ties upwards), constants in the output's scale x 2^s,
// saturation to [-128, 127]; shifts 0 and 31.
#include <cmath>

#include "test_util.hpp"

using qrn::Blob;
using tools_test::MakeNet;

namespace {

struct Int8Mode {
  Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::INT8); }
  ~Int8Mode() { qrn::Qrn::Get().set_mode(qrn::Qrn::FP32); }
};

std::string Inputs(const std::vector<std::pair<std::string, std::vector<int>>>& in, const std::string& layers) {
  std::string text = "name: 't' ";
  for (const auto& i : in) {
    text += "input: '" + i.first + "' input_shape {";
    for (int d : i.second) text += " dim: " + std::to_string(d);
    text += " } ";
  }
  return text + layers;
}

void SetBytes(Blob<float>* blob, const std::vector<int32_t>& v) {
  ASSERT_EQ(static_cast<int>(v.size()), blob->count());
  for (size_t i = 0; i < v.size(); ++i) blob->mutable_cpu_unint8_data()[i] = static_cast<uint8_t>(v[i]);
  blob->set_fixed_sign_type(qrn::BlobProto_FixedSignType_SIGNED);
  blob->set_holds_float(false);
}
std::vector<int32_t> Bytes(const Blob<float>& b) {
  std::vector<int32_t> v;
  for (int i = 0; i < b.count(); ++i) v.push_back(b.cpu_int8_data()[i]);
  return v;
}
void SetFloats(Blob<float>* b, const std::vector<float>& v) { std::copy(v.begin(), v.end(), b->mutable_cpu_data()); }
std::vector<float> Floats(const Blob<float>& b) { return {b.cpu_data(), b.cpu_data() + b.count()}; }

// ---- integer reference ----
int64_t Down(int64_t v, int s) {  // v / 2^s rounded half up
  if (s <= 0) return v;
  const long double q = std::floor(static_cast<long double>(v) / std::ldexp(1.0L, s) + 0.5L);
  return static_cast<int64_t>(q);
}
int32_t Sat(int64_t v) { return static_cast<int32_t>(std::min<int64_t>(127, std::max<int64_t>(-128, v))); }

std::string Branches(const std::vector<std::pair<int, int>>& b) {
  std::string t;
  for (const auto& e : b)
    t += " mul_branch: " + std::to_string(static_cast<uint32_t>(e.first)) + " rshift_branch: " + std::to_string(e.second);
  return t;
}

// Float: every operation code of each type against its definition.
TEST(BinaryLayers, FloatOperations) {
  const std::vector<float> a = {-2.0f, -0.5f, 0.0f, 1.5f, 3.0f, 7.0f}, b = {4.0f, -0.5f, 2.0f, 1.5f, -2.0f, 3.0f};
  auto ref = [](int op, float x, float y) -> float {  // op in EltwiseBinary codes, 13: mod
    switch (op) {
      case 0: return x + y;
      case 1: return x - y;
      case 2: return x * y;
      case 3: return x / y;
      case 4: return x > y ? x : y;
      case 5: return x < y ? x : y;
      case 6: return x > y;
      case 7: return x >= y;
      case 8: return x < y;
      case 9: return x <= y;
      case 10: return x == y;
      case 11: return x != y;
      case 12: return (x - y) * (x - y);
      default: return x - std::floor(x / y) * y;
    }
  };
  struct Type {
    const char* type;
    const char* param;
    std::vector<std::pair<int, int>> codes;  // (code of the type, reference op)
  } types[] = {
      {"EltwiseBinary", "eltwise_binary_param",
       {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}, {11, 11}, {12, 12}}},
      {"BroadcastBinary", "broadcast_binary_param", {{0, 0}, {1, 1}, {4, 4}, {10002, 7}, {10005, 10}, {10007, 12}, {10008, 13}}},
  };
  for (const Type& t : types)
    for (const auto& code : t.codes) {
      SCOPED_TRACE(std::string(t.type) + " " + std::to_string(code.first));
      auto net = MakeNet(Inputs({{"a", {2, 3}}, {"b", {2, 3}}},
                                "layer { name: 'l' type: '" + std::string(t.type) + "' bottom: 'a' bottom: 'b' top: 'y' " +
                                    t.param + " { operation: " + std::to_string(code.first) + " } }"));
      SetFloats(net->input_blobs()[0], a);
      SetFloats(net->input_blobs()[1], b);
      net->Forward();
      const std::vector<float> y = Floats(*net->blob_by_name("y"));
      for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(y[i], ref(code.second, a[i], b[i])) << i;
    }
  // ConstBinary: comparisons are 10001..10006.
  for (const auto& code : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {5, 5}, {10001, 6}, {10004, 9}, {10006, 11}}) {
    SCOPED_TRACE(code.first);
    auto net = MakeNet(Inputs({{"a", {6}}}, "layer { name: 'l' type: 'ConstBinary' bottom: 'a' top: 'y' "
                                            "const_binary_param { b_value: 1.5 operation: " +
                                                std::to_string(code.first) + " } }"));
    SetFloats(net->input_blobs()[0], a);
    net->Forward();
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(Floats(*net->blob_by_name("y"))[i], ref(code.second, a[i], 1.5f));
  }
}

// Broadcasting aligns the trailing axes; a constant blob is the second
// operand, or the first with is_coeff[0].
TEST(BinaryLayers, FloatBroadcastAndConstantOperand) {
  auto net = MakeNet(Inputs({{"a", {2, 1, 3}}, {"b", {4, 1}}},
                            "layer { name: 'l' type: 'BroadcastBinary' bottom: 'a' bottom: 'b' top: 'y' "
                            "broadcast_binary_param { operation: BINARY_SUB } }"));
  std::vector<float> a(6), b(4);
  for (int i = 0; i < 6; ++i) a[i] = 1.0f + i;
  for (int i = 0; i < 4; ++i) b[i] = 10.0f * i;
  SetFloats(net->input_blobs()[0], a);
  SetFloats(net->input_blobs()[1], b);
  net->Forward();
  EXPECT_EQ(net->blob_by_name("y")->shape(), (std::vector<int>{2, 4, 3}));
  std::vector<float> want;
  for (int n = 0; n < 2; ++n)
    for (int r = 0; r < 4; ++r)
      for (int w = 0; w < 3; ++w) want.push_back(a[n * 3 + w] - b[r]);
  EXPECT_EQ(Floats(*net->blob_by_name("y")), want);

  for (int first : {0, 1}) {
    auto c = MakeNet(Inputs({{"a", {3}}}, "layer { name: 'l' type: 'EltwiseBinary' bottom: 'a' top: 'y' "
                                          "eltwise_binary_param { operation: BINARY_SUB is_coeff: " +
                                              std::to_string(first) +
                                              " is_coeff: 0 } blobs { shape { dim: 3 } data: 1 data: 2 data: 3 } }"));
    SetFloats(c->input_blobs()[0], {10.0f, 20.0f, 30.0f});
    c->Forward();
    EXPECT_EQ(Floats(*c->blob_by_name("y")),
              first ? std::vector<float>({-9.0f, -18.0f, -27.0f}) : std::vector<float>({9.0f, 18.0f, 27.0f}));
  }
}

// Select: constants or inputs on either branch.
TEST(BinaryLayers, SelectFloatAndInt8) {
  const std::vector<float> cond = {0.0f, 1.0f, -2.0f, 0.0f};
  const std::vector<float> v = {5.0f, 6.0f, 7.0f, 8.0f};
  auto net = MakeNet(Inputs({{"c", {4}}, {"v", {4}}},
                            "layer { name: 's' type: 'Select' bottom: 'c' bottom: 'v' top: 'y' select_param { "
                            "s0_is_const: false s1_is_const: true s1_value: -1.25 s1_value_fix8b: 300 } " +
                                Branches({{96, 7}, {75, 1}}) + " }"));
  SetFloats(net->input_blobs()[0], cond);
  SetFloats(net->input_blobs()[1], v);
  net->Forward();
  EXPECT_EQ(Floats(*net->blob_by_name("y")), (std::vector<float>{-1.25f, 6.0f, 7.0f, -1.25f}));
  // 8 bits: a chosen input is x * 96 >> 7 half up (-3 * 96 = -288 -> -2.25
  // -> -2, 5 * 96 / 128 = 3.75 -> 4); the constant 300 saturates to 127.
  SetBytes(net->input_blobs()[0], {0, 1, -2, 0});
  SetBytes(net->input_blobs()[1], {9, 5, -3, 127});
  Int8Mode mode;
  net->Forward();
  EXPECT_EQ(Bytes(*net->blob_by_name("y")), (std::vector<int32_t>{127, 4, -2, 127}));
}

// 8 bits, two inputs: each carried by its branch, then combined and
// saturated; a product is shifted once by both shifts.
TEST(BinaryLayers, Int8TwoInputsAgainstTheIntegerReference) {
  const std::vector<int32_t> x0 = {-128, -3, 3, 127, 5, -5, 64, 1};
  const std::vector<int32_t> x1 = {127, 3, -1, 127, -128, 2, 64, 1};
  struct Case {
    const char* what;
    const char* type;
    int code;
    std::vector<std::pair<int, int>> br;
  } cases[] = {
      {"add, ties round up", "EltwiseBinary", 0, {{64, 7}, {96, 6}}},
      {"sub, saturates", "BroadcastBinary", 1, {{127, 0}, {127, 0}}},
      {"max, shift 31", "EltwiseBinary", 4, {{127, 31}, {-128, 31}}},
      {"min, negative multiplier", "BroadcastBinary", 5, {{-100, 6}, {90, 7}}},
      {"mul, entry (1, 0)", "EltwiseBinary", 2, {{85, 9}, {1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string param = std::string(c.type) == "EltwiseBinary" ? "eltwise_binary_param" : "broadcast_binary_param";
    auto net = MakeNet(Inputs({{"a", {8}}, {"b", {8}}}, "layer { name: 'l' type: '" + std::string(c.type) +
                                                            "' bottom: 'a' bottom: 'b' top: 'y' " + param +
                                                            " { operation: " + std::to_string(c.code) + " } " +
                                                            Branches(c.br) + " }"));
    SetBytes(net->input_blobs()[0], x0);
    SetBytes(net->input_blobs()[1], x1);
    Int8Mode mode;
    net->Forward();
    std::vector<int32_t> want;
    for (int i = 0; i < 8; ++i) {
      const auto [m0, s0] = c.br[0];
      const auto [m1, s1] = c.br[1];
      if (c.code == 2) {
        want.push_back(Sat(Down(int64_t{x0[i]} * m0 * x1[i] * m1, s0 + s1)));
        continue;
      }
      const int64_t a = Down(int64_t{x0[i]} * m0, s0), b = Down(int64_t{x1[i]} * m1, s1);
      want.push_back(Sat(c.code == 0 ? a + b : c.code == 1 ? a - b : c.code == 4 ? std::max(a, b) : std::min(a, b)));
    }
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), want);
  }
  // The first case by hand: -128 * 64 / 128 = -64 and 127 * 96 / 64 =
  // 190.5 -> 191 (a tie rounds up), sum 127; 3 * 64 / 128 = 1.5 -> 2 and
  // 100 * 96 / 64 = 150: 152 saturates to 127.
  auto net = MakeNet(Inputs({{"a", {2}}, {"b", {2}}}, "layer { name: 'l' type: 'EltwiseBinary' bottom: 'a' "
                                                      "bottom: 'b' top: 'y' " + Branches({{64, 7}, {96, 6}}) + " }"));
  SetBytes(net->input_blobs()[0], {-128, 3});
  SetBytes(net->input_blobs()[1], {127, 100});
  Int8Mode mode;
  net->Forward();
  EXPECT_EQ(Bytes(*net->blob_by_name("y")), (std::vector<int32_t>{127, 127}));
}

// 8 bits, a constant operand: (x * mul op k) >> s with k in the output's
// scale x 2^s; a product multiplies by k.
TEST(BinaryLayers, Int8ConstantOperand) {
  const std::vector<int32_t> x = {-128, -3, 3, 127, 1, 0};
  struct Case {
    const char* what;
    std::string layer;
    int op;  // 0 add, 1 sub, 2 mul, 4 max, 5 min; 11: constant minus x
    std::vector<int64_t> k;
    std::pair<int, int> br;
  } cases[] = {
      {"ConstBinary add", "type: 'ConstBinary' const_binary_param { operation: BINARY_ADD b_value_fix8b: -200 }", 0,
       {-200}, {100, 6}},
      {"ConstBinary mul", "type: 'ConstBinary' const_binary_param { operation: BINARY_MUL b_value_fix8b: 1 }", 2, {1},
       {77, 7}},
      {"ConstBinary div, shift 0", "type: 'ConstBinary' const_binary_param { operation: BINARY_DIV b_value_fix8b: 1 }",
       2, {1}, {-2, 0}},
      {"ConstBinary max, shift 31", "type: 'ConstBinary' const_binary_param { operation: BINARY_MAX b_value_fix8b: 5 }",
       4, {5}, {127, 31}},
      {"BroadcastBinary min of a blob", "type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_MIN } "
       "blobs { shape { dim: 1 } data: 0 }", 5, {0}, {90, 2}},
      {"EltwiseBinary constant minus x",
       "type: 'EltwiseBinary' eltwise_binary_param { operation: BINARY_SUB is_coeff: 1 is_coeff: 0 } "
       "blobs { shape { dim: 6 } data: 0 data: 0 data: 0 data: 0 data: 0 data: 0 }", 11, {-300, 7, 1000, 0, -1, 64}, {64, 3}},
      {"EltwiseBinary product with a blob",
       "type: 'EltwiseBinary' eltwise_binary_param { operation: BINARY_MUL is_coeff: 0 is_coeff: 1 } "
       "blobs { shape { dim: 6 } data: 0 data: 0 data: 0 data: 0 data: 0 data: 0 }", 2, {300, -7, 2, 32767, -32768, 5}, {1, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto net = MakeNet(Inputs({{"a", {6}}}, "layer { name: 'l' bottom: 'a' top: 'y' " + c.layer + " " +
                                               Branches({c.br}) + " }"));
    auto& blobs = net->layers()[0]->blobs();
    if (!blobs.empty() && blobs[0]->count() == 6)
      for (int i = 0; i < 6; ++i) blobs[0]->mutable_cpu_int16_data()[i] = static_cast<int16_t>(c.k[i]);
    else if (!blobs.empty())
      blobs[0]->mutable_cpu_int16_data()[0] = static_cast<int16_t>(c.k[0]);
    SetBytes(net->input_blobs()[0], x);
    Int8Mode mode;
    net->Forward();
    std::vector<int32_t> want;
    for (int i = 0; i < 6; ++i) {
      const int64_t a = int64_t{x[i]} * c.br.first, k = c.k.size() == 6 ? c.k[i] : c.k[0];
      const int64_t v = c.op == 0 ? a + k : c.op == 2 ? a * k : c.op == 4 ? std::max(a, k)
                      : c.op == 5 ? std::min(a, k) : k - a;
      want.push_back(Sat(Down(v, c.br.second)));
    }
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), want);
  }
}

TEST(BinaryLayers, Int8FormsNotFixedByCalibrationStop) {
  auto net = MakeNet(Inputs({{"a", {2}}, {"b", {2}}}, "layer { name: 'l' type: 'EltwiseBinary' bottom: 'a' "
                                                      "bottom: 'b' top: 'y' eltwise_binary_param { operation: "
                                                      "BINARY_GT } " + Branches({{1, 0}, {1, 0}}) + " }"));
  SetBytes(net->input_blobs()[0], {1, 2});
  SetBytes(net->input_blobs()[1], {1, 2});
  EXPECT_DEATH(
      {
        Int8Mode mode;
        net->Forward();
      },
      "EltwiseBinary layer 'l': has no 8-bit form of operation gt");
  // One input and no constant: the net builds (calibration may fill the
  // blob later) but does not run.
  auto lone = MakeNet(Inputs({{"a", {2}}}, "layer { name: 'l' type: 'BroadcastBinary' bottom: 'a' top: 'y' }"));
  EXPECT_DEATH(lone->Forward(), "BroadcastBinary layer 'l': has one input and no constant blob");
}

}  // namespace
