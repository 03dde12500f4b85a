// The framework's two-operand layers ("EltwiseBinary", "BroadcastBinary",
// "ConstBinary", "Select") in float against plain loops, and in 8 bits
// against an integer reference of the branch model: x * mul shifted right by
// s rounding half up (ties upwards), constants in the output's scale x 2^s,
// saturation to [-128, 127]; shifts 0 and 31.
#include <cmath>
#include <map>

#include "quantize_rules.hpp"
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

// Comparisons give the integer 1 or 0 of x * mul against the other operand
// carried the same way, every shift dropped: two inputs (x1 * mul1), a
// 16-bit constant blob (on either side) or b_value_fix8b.
TEST(BinaryLayers, Int8Comparisons) {
  const std::vector<int32_t> x0 = {-128, -3, 3, 127, 6, 0, 2, -1};
  const std::vector<int32_t> x1 = {127, -2, 3, 127, 4, 0, 3, -1};
  const std::vector<int64_t> k = {-16000, -300, 300, 16129, 600, 0, 200, 1};  // blob or constant
  struct Case {
    const char* what;
    std::string layer;
    int op;       // 6 gt, 7 ge, 8 lt, 9 le, 10 eq, 11 ne
    int operand;  // 0: input b, 1: blob second, 2: blob first, 3: b_value_fix8b (k[0])
    std::pair<int, int> br0, br1;
  } cases[] = {
      // 6 * 100 = 600 against 4 * 150 = 600 ties (shifted by 7 and 3 they
      // would be 5 against 75); 0 against 0 ties.
      {"EltwiseBinary ge, shifts ignored", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 7 }", 7,
       0, {100, 7}, {150, 3}},
      {"EltwiseBinary gt", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 6 }", 6, 0, {100, 7},
       {150, 3}},
      {"EltwiseBinary lt", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 8 }", 8, 0, {100, 7},
       {150, 3}},
      {"EltwiseBinary le", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 9 }", 9, 0, {100, 0},
       {150, 31}},
      {"EltwiseBinary eq", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 10 }", 10, 0, {100, 7},
       {150, 3}},
      {"EltwiseBinary ne", "type: 'EltwiseBinary' bottom: 'b' eltwise_binary_param { operation: 11 }", 11, 0, {100, 7},
       {150, 3}},
      {"EltwiseBinary gt of a blob", "type: 'EltwiseBinary' eltwise_binary_param { operation: 6 is_coeff: 0 is_coeff: 1 }",
       6, 1, {100, 6}, {0, 0}},
      {"EltwiseBinary blob le x", "type: 'EltwiseBinary' eltwise_binary_param { operation: 9 is_coeff: 1 is_coeff: 0 }", 9,
       2, {127, 6}, {0, 0}},
      {"ConstBinary gt", "type: 'ConstBinary' const_binary_param { operation: BINARY_GT b_value_fix8b: 200 }", 6, 3,
       {67, 5}, {0, 0}},
      {"ConstBinary eq", "type: 'ConstBinary' const_binary_param { operation: BINARY_EQ b_value_fix8b: 200 }", 10, 3,
       {100, 5}, {0, 0}},
      {"ConstBinary le", "type: 'ConstBinary' const_binary_param { operation: BINARY_LE b_value_fix8b: 200 }", 9, 3,
       {100, 5}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool blob = c.operand == 1 || c.operand == 2;
    std::string blobs;
    if (blob) {
      blobs = " blobs { shape { dim: 8 }";
      for (int i = 0; i < 8; ++i) blobs += " data: 0";
      blobs += " }";
    }
    auto net = MakeNet(Inputs({{"a", {8}}, {"b", {8}}}, "layer { name: 'l' bottom: 'a' top: 'y' " + c.layer + blobs +
                                                            Branches(c.operand == 0 ? std::vector<std::pair<int, int>>{c.br0, c.br1}
                                                                                    : std::vector<std::pair<int, int>>{c.br0}) +
                                                            " }"));
    if (blob)
      for (int i = 0; i < 8; ++i) net->layers()[0]->blobs()[0]->mutable_cpu_int16_data()[i] = static_cast<int16_t>(k[i]);
    SetBytes(net->input_blobs()[0], x0);
    SetBytes(net->input_blobs()[1], x1);
    Int8Mode mode;
    net->Forward();
    std::vector<int32_t> want;
    for (int i = 0; i < 8; ++i) {
      int64_t l = int64_t{x0[i]} * c.br0.first;
      int64_t r = c.operand == 0 ? int64_t{x1[i]} * c.br1.first : c.operand == 3 ? 200 : k[i];
      if (c.operand == 2) std::swap(l, r);
      const bool holds = c.op == 6 ? l > r : c.op == 7 ? l >= r : c.op == 8 ? l < r : c.op == 9 ? l <= r
                       : c.op == 10 ? l == r : l != r;
      want.push_back(holds ? 1 : 0);
    }
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), want);
  }
}

// The calibration's rules and the 8-bit forward together: comparisons of
// inputs with equal thresholds, against a constant blob and against a
// constant give the float layer's 1 or 0 (inputs on the 8-bit grid, so that
// quantizing them loses nothing).
TEST(BinaryLayers, CalibratedComparisonsGiveTheFloatResults) {
  const int n = 64;
  std::string blob = "blobs { shape { dim: 64 }";
  std::vector<float> a(n), b(n), c(n);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<float>((i * 37) % 255 - 127) / 128.0f;
    b[i] = i % 7 == 0 ? a[i] : static_cast<float>((i * 53) % 255 - 127) / 128.0f;
    c[i] = static_cast<float>((i * 29) % 255 - 127) / 128.0f;
    blob += " data: " + std::to_string(c[i]);
  }
  blob += " }";
  auto net = MakeNet(Inputs({{"a", {n}}, {"b", {n}}},
                            "layer { name: 'gt' type: 'EltwiseBinary' bottom: 'a' bottom: 'b' top: 'gt' "
                            "eltwise_binary_param { operation: 6 } } "
                            "layer { name: 'eq' type: 'EltwiseBinary' bottom: 'a' bottom: 'b' top: 'eq' "
                            "eltwise_binary_param { operation: 10 } } "
                            "layer { name: 'lt' type: 'EltwiseBinary' bottom: 'a' top: 'lt' "
                            "eltwise_binary_param { operation: 8 is_coeff: 0 is_coeff: 1 } " + blob + " } "
                            "layer { name: 'ge' type: 'ConstBinary' bottom: 'a' top: 'ge' "
                            "const_binary_param { operation: BINARY_GE b_value: 0.3 } }"));
  SetFloats(net->input_blobs()[0], a);
  SetFloats(net->input_blobs()[1], b);
  net->Forward();
  std::map<std::string, std::vector<float>> want;
  for (const char* top : {"gt", "eq", "lt", "ge"}) want[top] = Floats(*net->blob_by_name(top));
  for (const auto& blob_ptr : net->blobs()) blob_ptr->setThresHold(1.0);  // the Split copies too
  const auto& names = net->layer_names();
  auto index = [&](const char* name) { return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin()); };
  quantize_eltwiseBinary_layer_int8(*net, index("gt"));
  quantize_eltwiseBinary_layer_int8(*net, index("eq"));
  quantize_eltwiseBinary_layer_int8(*net, index("lt"));
  quantize_constBinary_layer_int8(*net, index("ge"));
  std::vector<int32_t> qa(n), qb(n);
  for (int i = 0; i < n; ++i) qa[i] = static_cast<int32_t>(a[i] * 128), qb[i] = static_cast<int32_t>(b[i] * 128);
  SetBytes(net->input_blobs()[0], qa);
  SetBytes(net->input_blobs()[1], qb);
  Int8Mode mode;
  net->Forward();
  for (const char* top : {"gt", "eq", "lt", "ge"}) {
    SCOPED_TRACE(top);
    std::vector<int32_t> expected;
    for (float v : want[top]) expected.push_back(static_cast<int32_t>(v));
    EXPECT_EQ(Bytes(*net->blob_by_name(top)), expected);
  }
}

// Squared difference of two inputs: each carried by its branch (into the
// square root of the output's scale), then (v0 - v1)^2 saturated.
TEST(BinaryLayers, Int8SquaredDifference) {
  const std::vector<int32_t> x0 = {-128, -3, 3, 127, 5, 0, 10, 1};
  const std::vector<int32_t> x1 = {127, 3, -1, 127, -7, 0, 0, 0};
  for (const char* layer : {"type: 'EltwiseBinary' eltwise_binary_param { operation: 12 }",
                            "type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_SQUARED_DIFF }"}) {
    SCOPED_TRACE(layer);
    auto net = MakeNet(Inputs({{"a", {8}}, {"b", {8}}}, std::string("layer { name: 'l' bottom: 'a' bottom: 'b' top: 'y' ") +
                                                            layer + Branches({{90, 7}, {80, 6}}) + " }"));
    SetBytes(net->input_blobs()[0], x0);
    SetBytes(net->input_blobs()[1], x1);
    Int8Mode mode;
    net->Forward();
    std::vector<int32_t> want;
    for (int i = 0; i < 8; ++i) {
      const int64_t d = Down(int64_t{x0[i]} * 90, 7) - Down(int64_t{x1[i]} * 80, 6);
      want.push_back(Sat(d * d));
    }
    // By hand: 3 * 90 / 128 = 2.1 -> 2 and -1 * 80 / 64 = -1.25 -> -1: 9;
    // 10 * 90 / 128 = 7.03 -> 7: 49; 1 * 90 / 128 = 0.70 -> 1: 1.
    EXPECT_EQ(want[2], 9);
    EXPECT_EQ(want[6], 49);
    EXPECT_EQ(want[7], 1);
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), want);
  }
}

// x * mul and a 16-bit constant meet in 16 bits, as on the card: a sum past
// 32767 saturates before the shift.
TEST(BinaryLayers, Int8ConstantSumSaturatesAt16Bits) {
  for (const char* layer :
       {"type: 'ConstBinary' const_binary_param { operation: BINARY_ADD b_value_fix8b: 32767 }",
        "type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_ADD } blobs { shape { dim: 1 } data: 0 }"}) {
    SCOPED_TRACE(layer);
    auto net = MakeNet(Inputs({{"a", {3}}}, std::string("layer { name: 'l' bottom: 'a' top: 'y' ") + layer +
                                                Branches({{127, 10}}) + " }"));
    auto& blobs = net->layers()[0]->blobs();
    if (!blobs.empty()) blobs[0]->mutable_cpu_int16_data()[0] = 32767;
    SetBytes(net->input_blobs()[0], {127, -128, 0});
    Int8Mode mode;
    net->Forward();
    // 127 * 127 + 32767 = 48896 holds 32767: (32767 + 512) >> 10 = 32 (not
    // 48); -128 * 127 + 32767 = 16511: 16 (16.12); 0 + 32767: 32.
    EXPECT_EQ(Bytes(*net->blob_by_name("y")), (std::vector<int32_t>{32, 16, 32}));
  }
}

// The forms the calibration gives nothing to compute from stop the run.
TEST(BinaryLayers, Int8FormsNotFixedByCalibrationStop) {
  struct Case {
    const char* layer;
    bool two_inputs;
    const char* message;
  } cases[] = {
      {"type: 'EltwiseBinary' eltwise_binary_param { operation: BINARY_DIV }", true,
       "EltwiseBinary layer 'l': has no 8-bit form of operation div"},
      {"type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_DIV }", true,
       "BroadcastBinary layer 'l': has no 8-bit form of operation div"},
      {"type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_GE }", true,
       "has no 8-bit form of operation ge"},
      {"type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_MOD }", true,
       "has no 8-bit form of operation mod"},
      {"type: 'EltwiseBinary' eltwise_binary_param { operation: BINARY_DIV is_coeff: 0 is_coeff: 1 } "
       "blobs { shape { dim: 2 } data: 1 data: 2 }",
       false, "has no 8-bit form of operation div with a constant operand"},
      {"type: 'EltwiseBinary' eltwise_binary_param { operation: BINARY_SQRDIFF is_coeff: 0 is_coeff: 1 } "
       "blobs { shape { dim: 2 } data: 1 data: 2 }",
       false, "has no 8-bit form of operation squared difference with a constant operand"},
      {"type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_EQ } blobs { shape { dim: 2 } data: 1 data: 2 }",
       false, "has no 8-bit form of operation eq with a constant operand"},
      {"type: 'BroadcastBinary' broadcast_binary_param { operation: BINARY_SQUARED_DIFF } "
       "blobs { shape { dim: 2 } data: 1 data: 2 }",
       false, "has no 8-bit form of operation squared difference with a constant operand"},
      // The calibration reads a Scale's or Bias's operand from blob 0.
      {"type: 'Scale'", true, "Scale layer 'l': has no 8-bit form with the scale as an input"},
      {"type: 'Bias'", true, "Bias layer 'l': has no 8-bit form with the bias as an input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layer);
    auto net = MakeNet(Inputs({{"a", {1, 2}}, {"b", {2}}}, std::string("layer { name: 'l' bottom: 'a' ") +
                                                            (c.two_inputs ? "bottom: 'b' " : "") + "top: 'y' " +
                                                            c.layer + Branches({{1, 0}, {1, 0}}) + " }"));
    SetBytes(net->input_blobs()[0], {1, 2});
    SetBytes(net->input_blobs()[1], {1, 2});
    EXPECT_DEATH(
        {
          Int8Mode mode;
          net->Forward();
        },
        c.message);
  }
  // The calibration's rules themselves stop on a two-input Scale or Bias:
  // they quantize the operand from blob 0, which such a layer lacks.
  for (const char* type : {"Scale", "Bias"}) {
    auto net = MakeNet(Inputs({{"a", {1, 2}}, {"b", {2}}}, std::string("layer { name: 'l' type: '") + type +
                                                               "' bottom: 'a' bottom: 'b' top: 'y' }"));
    EXPECT_DEATH(std::string(type) == "Scale" ? quantize_scale_layer_int8(*net, 0) : quantize_bias_layer_int8(*net, 0),
                 std::string("layer l \\(type ") + type + "\\) has no parameter blob 0");
  }
  // One input and no constant: the net builds (calibration may fill the
  // blob later) but does not run.
  auto lone = MakeNet(Inputs({{"a", {2}}}, "layer { name: 'l' type: 'BroadcastBinary' bottom: 'a' top: 'y' }"));
  EXPECT_DEATH(lone->Forward(), "BroadcastBinary layer 'l': has one input and no constant blob");
}

}  // namespace
