// The framework's 8-bit binary layers against the card's 8-bit binary family
// (APIs 169, 170, 171): the same bytes and the calibration's multipliers and
// shifts through both, byte for byte, for every form the card computes - two
// inputs (equal shapes and broadcast), a 16-bit constant blob on either side,
// and a quantized scalar.
#include <cstring>
#include <optional>
#include <random>

#include "qrn/fixed_point.hpp"
#include "test_util.hpp"
// After the framework's schema: the card's operation codes are macros.
#include "card.h"
#include "fw_test.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "local/eltwise.h"

using tools_test::MakeNet;

namespace {

constexpr uint64_t kA = 0x101000000ull, kB = 0x102000000ull, kR = 0x103000000ull;

struct Shape {
  int n, c, h, w;
  int count() const { return n * c * h * w; }
  int per_sample() const { return c * h * w; }
};

// n samples in the 4N (8-bit) or 2N (16-bit) layout of the card.
std::vector<uint8_t> Pack8(const Shape& s, const std::vector<uint8_t>& v) {
  std::vector<uint8_t> out(4 * size_t((s.n + 3) / 4) * s.per_sample());
  for (int b = 0; b < s.n; ++b)
    for (int i = 0; i < s.per_sample(); ++i) out[4 * (size_t(b / 4) * s.per_sample() + i) + b % 4] = v[size_t(b) * s.per_sample() + i];
  return out;
}
std::vector<uint8_t> Pack16(const Shape& s, const std::vector<int16_t>& v) {
  std::vector<uint8_t> out(4 * size_t((s.n + 1) / 2) * s.per_sample());
  for (int b = 0; b < s.n; ++b)
    for (int i = 0; i < s.per_sample(); ++i)
      std::memcpy(&out[4 * (size_t(b / 2) * s.per_sample() + i) + 2 * (b % 2)], &v[size_t(b) * s.per_sample() + i], 2);
  return out;
}

std::string Dims(const Shape& s) {
  return "dim: " + std::to_string(s.n) + " dim: " + std::to_string(s.c) + " dim: " + std::to_string(s.h) +
         " dim: " + std::to_string(s.w);
}

enum Operand { kInput, kBlobSecond, kBlobFirst, kScalar };

struct Case {
  const char* what;
  const char* type;  // the framework's layer type
  int fw_code;       // its operation code
  int card_code;     // the card's
  Operand operand;
  Shape a, b;  // b: the second input or the blob
  bool a_signed, b_signed;
  int m0, s0, m1, s1;  // branch entries (m1, s1 for a second input)
  int scalar;          // b_value_fix8b
};

TEST(BinaryOnTheCard, FrameworkAgreesWithTheCardsLayers) {
  const Shape full = {5, 3, 4, 6};
  const Case cases[] = {
      {"add", "EltwiseBinary", 0, BINARY_ADD, kInput, full, full, true, true, 96, 7, 120, 6, 0},
      {"sub of unsigned inputs", "EltwiseBinary", 1, BINARY_SUB, kInput, full, full, false, false, 127, 6, 70, 5, 0},
      {"max", "EltwiseBinary", 4, BINARY_MAX, kInput, full, full, true, false, 100, 6, 127, 7, 0},
      {"min", "EltwiseBinary", 5, BINARY_MIN, kInput, full, full, true, true, 64, 0, 65, 1, 0},
      {"product, entry (1, 0)", "EltwiseBinary", 2, BINARY_MUL, kInput, full, full, true, true, 85, 9, 1, 0, 0},
      {"product of unsigned inputs", "EltwiseBinary", 2, BINARY_MUL, kInput, full, full, false, false, 77, 8, 1, 0, 0},
      {"gt, shifts dropped", "EltwiseBinary", 6, BINARY_GT, kInput, full, full, true, true, 100, 7, 50, 6, 0},
      {"le", "EltwiseBinary", 9, BINARY_LE, kInput, full, full, true, false, 3, 2, 2, 2, 0},
      {"eq", "EltwiseBinary", 10, BINARY_EQ, kInput, full, full, true, true, 2, 0, 2, 5, 0},
      {"ne", "EltwiseBinary", 11, BINARY_NE, kInput, full, full, false, true, 4, 1, 4, 1, 0},
      {"broadcast add over n and h", "BroadcastBinary", 0, BINARY_ADD, kInput, full, {1, 3, 1, 6}, true, true, 90, 7,
       110, 7, 0},
      {"broadcast sub over c", "BroadcastBinary", 1, BINARY_SUB, kInput, full, {5, 1, 4, 6}, true, false, 127, 7, 64, 6,
       0},
      {"broadcast product", "BroadcastBinary", 2, BINARY_MUL, kInput, full, {1, 3, 4, 1}, true, true, 120, 8, 1, 0, 0},
      {"blob added", "EltwiseBinary", 0, BINARY_ADD, kBlobSecond, full, full, true, true, 100, 4, 0, 0, 0},
      {"blob minus x, sum past 16 bits", "EltwiseBinary", 1, BINARY_SUB, kBlobFirst, full, full, false, true, 127, 10,
       0, 0, 0},
      {"blob maximum", "EltwiseBinary", 4, BINARY_MAX, kBlobSecond, full, full, true, true, 90, 3, 0, 0, 0},
      {"blob product, entry (1, s)", "EltwiseBinary", 2, BINARY_MUL, kBlobSecond, full, full, true, true, 1, 9, 0, 0, 0},
      {"x ge blob", "EltwiseBinary", 7, BINARY_GE, kBlobSecond, full, full, true, true, 80, 6, 0, 0, 0},
      {"blob lt x", "EltwiseBinary", 8, BINARY_LT, kBlobFirst, full, full, true, true, 80, 6, 0, 0, 0},
      {"broadcast blob subtracted", "BroadcastBinary", 1, BINARY_SUB, kBlobSecond, full, {1, 3, 1, 6}, true, true, 64,
       3, 0, 0, 0},
      {"broadcast blob product", "BroadcastBinary", 2, BINARY_MUL, kBlobSecond, full, {1, 3, 4, 1}, true, true, 1, 7,
       0, 0, 0},
      {"scalar added", "ConstBinary", 0, BINARY_ADD, kScalar, full, full, true, true, 100, 6, 0, 0, -3000},
      {"scalar subtracted, past 16 bits", "ConstBinary", 1, BINARY_SUB, kScalar, full, full, true, true, 127, 10, 0, 0,
       -32000},
      {"scalar minimum", "ConstBinary", 5, BINARY_MIN, kScalar, full, full, false, true, 90, 5, 0, 0, 1500},
      {"scalar product", "ConstBinary", 2, BINARY_MUL, kScalar, full, full, true, true, 77, 7, 0, 0, 1},
      {"x gt scalar", "ConstBinary", 10001, BINARY_GT, kScalar, full, full, true, true, 67, 5, 0, 0, 200},
      {"x eq scalar", "ConstBinary", 10005, BINARY_EQ, kScalar, full, full, true, true, 100, 5, 0, 0, 200},
      {"x le scalar", "ConstBinary", 10004, BINARY_LE, kScalar, full, full, true, true, 100, 5, 0, 0, -300},
  };
  auto card = zv::test::deferred_card(zv::test::Backend::Native, 2);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255), half(-2400, 2400);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool blob = c.operand == kBlobFirst || c.operand == kBlobSecond;
    std::vector<uint8_t> a(size_t(c.a.count())), b(size_t(c.b.count()));
    for (auto& v : a) v = uint8_t(byte(rng));
    for (auto& v : b) v = uint8_t(byte(rng));
    std::vector<int16_t> y(size_t(c.b.count()));
    for (size_t i = 0; i < y.size(); ++i) y[i] = int16_t(i % 11 == 0 ? (i % 2 ? 32767 : -32768) : half(rng));
    // Ties: some second operands equal the first (comparisons, broadcasts
    // read them at other places, which is as good).
    for (size_t i = 0; i < b.size(); i += 5) b[i] = a[i];

    // The framework.
    std::string text = "name: 't' input: 'a' input_shape { " + Dims(c.a) + " } ";
    if (c.operand == kInput) text += "input: 'b' input_shape { " + Dims(c.b) + " } ";
    text += std::string("layer { name: 'l' type: '") + c.type + "' bottom: 'a' " +
            (c.operand == kInput ? "bottom: 'b' " : "") + "top: 'y' ";
    const std::string code = std::to_string(c.fw_code);
    if (std::string(c.type) == "ConstBinary")
      text += "const_binary_param { operation: " + code + " b_value_fix8b: " + std::to_string(c.scalar) + " } ";
    else if (std::string(c.type) == "BroadcastBinary")
      text += "broadcast_binary_param { operation: " + code + " } ";
    else
      text += "eltwise_binary_param { operation: " + code +
              (c.operand == kBlobFirst ? " is_coeff: 1 is_coeff: 0" : c.operand == kBlobSecond ? " is_coeff: 0 is_coeff: 1" : "") +
              " } ";
    if (blob) text += "blobs { shape { " + Dims(c.b) + " } data: 0 } ";
    text += "mul_branch: " + std::to_string(uint32_t(c.m0)) + " rshift_branch: " + std::to_string(c.s0);
    if (c.operand == kInput) text += " mul_branch: " + std::to_string(uint32_t(c.m1)) + " rshift_branch: " + std::to_string(c.s1);
    text += " }";
    qrn::NetParameter param = tools_test::ParseNet(text);
    if (blob) {  // the blob's storage: one float a value, int16 at the front
      auto* bp = param.mutable_layer(0)->mutable_blobs(0);
      bp->clear_data();
      for (int i = 0; i < c.b.count(); ++i) bp->add_data(0.0f);
    }
    qrn::Net<float> net(param);
    if (blob)
      std::memcpy(net.layers()[0]->blobs()[0]->mutable_cpu_int16_data(), y.data(), y.size() * 2);
    auto set = [](qrn::Blob<float>* x, const std::vector<uint8_t>& v, bool is_signed) {
      std::memcpy(x->mutable_cpu_unint8_data(), v.data(), v.size());
      x->set_fixed_sign_type(is_signed ? qrn::BlobProto_FixedSignType_SIGNED : qrn::BlobProto_FixedSignType_UNSIGNED);
      x->set_holds_float(false);
    };
    set(net.input_blobs()[0], a, c.a_signed);
    if (c.operand == kInput) set(net.input_blobs()[1], b, c.b_signed);
    qrn::Qrn::Get().set_mode(qrn::Qrn::INT8);
    net.Forward();
    qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);
    const qrn::Blob<float>& out = *net.blob_by_name("y");
    ASSERT_EQ(out.count(), c.a.count());

    // The card.
    const int ta = c.a_signed ? FIX8B_TYPE_I8 : FIX8B_TYPE_U8, tb = c.b_signed ? FIX8B_TYPE_I8 : FIX8B_TYPE_U8;
    const std::vector<uint8_t> pa = Pack8(c.a, a);
    card->write(kA, pa.data(), pa.size());
    const std::vector<uint8_t> pb = blob ? Pack16(c.b, y) : Pack8(c.b, b);
    card->write(kB, pb.data(), pb.size());
    // A blob first is the card's operand A (type 16-bit) with x as B.
    const uint64_t A = c.operand == kBlobFirst ? kB : kA, B = c.operand == kBlobFirst ? kA : kB;
    const int type_A = c.operand == kBlobFirst ? FIX8B_TYPE_I16 : ta;
    const int type_B = c.operand == kBlobFirst ? ta : c.operand == kBlobSecond ? FIX8B_TYPE_I16 : tb;
    const int scale_A = c.operand == kBlobFirst ? 0 : c.m0, shift_A = c.operand == kBlobFirst ? 0 : c.s0;
    const int scale_B = c.operand == kBlobFirst ? c.m0 : c.m1, shift_B = c.operand == kBlobFirst ? c.s0 : c.s1;
    const Shape sa = c.operand == kBlobFirst ? c.b : c.a, sb = c.operand == kBlobFirst ? c.a : c.b;
    std::optional<zv::host::Answer> reply;
    if (c.operand == kScalar) {
      zv_api_const_binary_fix8b_forward_t r = {};
      r.A_addr = kA, r.R_addr = kR, r.quantized_val_b = c.scalar, r.tensor_dim = 4, r.op = c.card_code;
      r.shape[0] = c.a.n, r.shape[1] = c.a.c, r.shape[2] = c.a.h, r.shape[3] = c.a.w;
      r.scale_A = c.m0, r.rshift = c.s0, r.sign_A = c.a_signed, r.inversed = 0, r.if_relu = 0;
      reply = card->send(170, zv::test::payload_of(r));
    } else if (std::string(c.type) == "EltwiseBinary") {
      zv_api_eltwise_binary_fix8b_forward_t r = {A, B, kR, {c.a.n, c.a.c, c.a.h, c.a.w}, 4, c.card_code, scale_A, scale_B,
                                                 shift_A, shift_B, type_A, type_B, 0};
      reply = card->send(169, zv::test::payload_of(r));
    } else {
      zv_api_broadcast_binary_fix8b_forward_t r = {
          A, B, kR, {sa.n, sa.c, sa.h, sa.w}, {sb.n, sb.c, sb.h, sb.w}, 4, c.card_code, scale_A, scale_B,
          shift_A, shift_B, type_A, type_B, 0};
      reply = card->send(171, zv::test::payload_of(r));
    }
    ASSERT_TRUE(reply) << card->trouble();
    ASSERT_EQ(reply->result, 0u) << card->console();
    const std::vector<uint8_t> got = card->read(kR, pa.size());
    int differ = 0;
    for (int s = 0; s < c.a.n; ++s)
      for (int i = 0; i < c.a.per_sample(); ++i) {
        const int k = s * c.a.per_sample() + i;
        const uint8_t want = out.cpu_unint8_data()[k];
        const uint8_t card_byte = got[4 * (size_t(s / 4) * c.a.per_sample() + i) + s % 4];
        if (card_byte != want && differ++ < 5)
          ADD_FAILURE() << "element " << k << ": card " << int(card_byte) << ", framework " << int(want);
      }
    EXPECT_EQ(differ, 0);
  }
  EXPECT_TRUE(zv::test::no_findings(card->chip()));
}

}  // namespace
