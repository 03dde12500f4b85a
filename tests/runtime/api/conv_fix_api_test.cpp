// The fixed-point convolution family's APIs end to end: messages through the
// host driver on three deferred seeds with the race checker and on the ARM
// image, each bit-exact against the integer reference; zero counts, wrong
// record sizes and refused records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "layers/conv/conv_fix16b.h"
#include "layers/conv/conv_fix8b.h"
#include "layers/conv/deconv_fix8b.h"
#include "layers/conv/depthwise_fix.h"
#include "layers/conv/fc_fix8b.h"
#include "raw_record.h"
#include "ref/conv_fix_ref.h"

namespace zv::test {
namespace {

using host::Card;
using ref::conv_fix::Conv;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kWeight = 0x102000000ull;
constexpr uint64_t kBias = 0x103000000ull;
constexpr uint64_t kOut = 0x104000000ull;

std::vector<uint8_t> pattern(size_t n, int salt) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t((i * 73 + size_t(salt) * 41 + (i >> 5) * 13) & 0xff);
  return v;
}
std::vector<uint8_t> small_weights(size_t n, int salt) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(int((i * 29 + size_t(salt) * 17) % 15) - 7);
  return v;
}
std::vector<uint16_t> biases(int n, int salt) {
  std::vector<uint16_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[size_t(i)] = uint16_t(((i * 977 + salt * 331) % 2001) - 1000);
  return v;
}

// One message: the bytes it needs in device memory and the bytes it must leave.
struct Message {
  std::string what;
  uint32_t id;
  std::vector<uint32_t> payload;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> inputs;
  uint64_t out;
  std::vector<uint8_t> want;
};

zv_api_conv_forward_parallel_fix8b_t record83(const Conv &p, int layout, int use_3ic) {
  zv_api_conv_forward_parallel_fix8b_t r = {};
  r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
  r.input_n = p.n, r.input_c = p.ic, r.input_h = p.h, r.input_w = p.w, r.groups = p.groups, r.output_c = p.oc;
  r.kh = p.kh, r.kw = p.kw, r.dh = p.dh, r.dw = p.dw;
  r.pad_h = p.pad_t, r.pad_h_after = p.pad_b, r.pad_w = p.pad_l, r.pad_w_after = p.pad_r;
  r.stride_h = p.stride_h, r.stride_w = p.stride_w, r.using_bias = p.bias_mode;
  r.if_relu = p.relu, r.relu_upper_limit = p.upper, r.weight_layout = layout, r.ins_h = p.ins_h, r.ins_w = p.ins_w;
  r.rshift = p.rshift, r.opd0_sign = p.in_sign, r.opd1_sign = p.w_sign, r.opd2_sign = p.b_sign;
  r.use_3ic = use_3ic;
  return r;
}

Message conv83(const std::string &what, const Conv &p, int layout, int use_3ic) {
  const int icg = use_3ic ? 3 : p.ic / p.groups;
  const std::vector<uint8_t> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.oc);
  const std::vector<uint8_t> wt = small_weights(size_t(p.oc) * icg * p.kh * p.kw, p.ic);
  const std::vector<uint16_t> bias = biases(p.oc, p.kh);
  std::vector<uint8_t> b(bias.size() * 2);
  std::memcpy(b.data(), bias.data(), b.size());
  Message m;
  m.what = what;
  m.id = 83;
  m.payload = payload_of(record83(p, layout, use_3ic));
  m.inputs = {{kIn, in},
              {kWeight, use_3ic ? ref::conv_fix::weight_records_3ic(p, wt, bias, layout)
                                : ref::conv_fix::weight_records(p, wt, bias, layout)},
              {kBias, b}};
  m.out = kOut;
  m.want = ref::conv_fix::conv8(p, in, wt, bias);
  return m;
}

Message depthwise(const std::string &what, uint32_t id, const Conv &p) {
  const std::vector<uint8_t> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic);
  const std::vector<uint8_t> wt = small_weights(size_t(p.ic) * p.kh * p.kw, p.kw);
  const std::vector<uint16_t> bias = biases(p.ic, p.kh);
  std::vector<uint8_t> b(bias.size() * 2);
  std::memcpy(b.data(), bias.data(), b.size());
  zv_api_depthwise_fix8b_forward_parallel_t r = {};
  r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
  r.input_n = p.n, r.input_c = p.ic, r.input_h = p.h, r.input_w = p.w, r.kh = p.kh, r.kw = p.kw;
  r.pad_h_t = p.pad_t, r.pad_h_b = p.pad_b, r.pad_w_l = p.pad_l, r.pad_w_r = p.pad_r;
  r.stride_h = p.stride_h, r.stride_w = p.stride_w, r.rshift = p.rshift, r.using_bias = p.bias_mode != 0;
  r.opd0_sign = p.in_sign, r.opd1_sign = p.w_sign, r.opd2_sign = p.b_sign, r.out_mode = p.relu;
  Message m;
  m.what = what;
  m.id = id;
  m.payload = payload_of(r);
  m.inputs = {{kIn, in}, {kWeight, wt}, {kBias, b}};
  m.out = kOut;
  m.want = id == 984 ? ref::conv_fix::conv16(p, in, wt, bias) : ref::conv_fix::conv8(p, in, wt, bias);
  return m;
}

zv_api_conv_forward_parallel_fix16b_t record983(const Conv &p, int layout) {
  zv_api_conv_forward_parallel_fix16b_t r = {};
  r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
  r.input_n = p.n, r.input_c = p.ic, r.input_h = p.h, r.input_w = p.w, r.groups = p.groups, r.output_c = p.oc;
  r.kh = p.kh, r.kw = p.kw, r.dh = p.dh, r.dw = p.dw;
  r.pad_h = p.pad_t, r.pad_h_after = p.pad_b, r.pad_w = p.pad_l, r.pad_w_after = p.pad_r;
  r.stride_h = p.stride_h, r.stride_w = p.stride_w, r.using_bias = p.bias_mode;
  r.hsecs = 2, r.nsecs = 1, r.icsecs = 1, r.ocsecs = (p.oc / p.groups + 63) / 64, r.wsecs = (p.out_w() + 15) / 16;
  r.out_mode = p.relu, r.relu_upper_limit = p.upper, r.weight_layout = layout;
  r.rshift = p.rshift, r.opd0_sign = p.in_sign, r.opd1_sign = p.w_sign, r.opd2_sign = p.b_sign;
  r.input_mode = 3;
  return r;
}

Message conv983(const std::string &what, const Conv &p, int layout) {
  Message m = conv83(what, p, layout, 0);
  m.id = 983;
  m.payload = payload_of(record983(p, layout));
  const std::vector<uint8_t> wt = small_weights(size_t(p.oc) * (p.ic / p.groups) * p.kh * p.kw, p.ic);
  m.want = ref::conv_fix::conv16(p, m.inputs[0].second, wt, biases(p.oc, p.kh));
  return m;
}

Message deconv130(const std::string &what, const Conv &p, int out_pad_h, int out_pad_w, int layout) {
  const std::vector<uint8_t> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.oc);
  const std::vector<uint8_t> wt = small_weights(size_t(p.ic) * (p.oc / p.groups) * p.kh * p.kw, p.ic);
  const std::vector<uint16_t> bias = biases(p.oc, p.kh);
  std::vector<uint8_t> b(bias.size() * 2);
  std::memcpy(b.data(), bias.data(), b.size());
  zv_api_deconv_fix8b_forward_parallel_t r = {};
  r.input_addr = kIn, r.output_addr = kOut, r.weight_addr = kWeight, r.bias_addr = kBias;
  r.input_n = p.n, r.input_c = p.ic, r.input_h = p.h, r.input_w = p.w, r.output_c = p.oc, r.groups = p.groups;
  r.kh = p.kh, r.kw = p.kw, r.dh = p.dh, r.dw = p.dw, r.pad_h = p.pad_t, r.pad_w = p.pad_l;
  r.stride_h = p.stride_h, r.stride_w = p.stride_w, r.output_pad_h = out_pad_h, r.output_pad_w = out_pad_w;
  r.using_bias = p.bias_mode != 0, r.if_relu = p.relu, r.rshift = p.rshift, r.weight_layout = layout;
  r.opd0_sign = p.in_sign, r.opd1_sign = p.w_sign, r.opd2_sign = p.b_sign;
  Message m;
  m.what = what;
  m.id = 130;
  m.payload = payload_of(r);
  m.inputs = {{kIn, in}, {kWeight, layout ? ref::conv_fix::deconv_layout1(p, wt) : wt}, {kBias, b}};
  m.out = kOut;
  m.want = ref::conv_fix::deconv8(p, out_pad_h, out_pad_w, in, wt, bias);
  return m;
}

Message wino83(const std::string &what, const Conv &p) {
  const std::vector<uint8_t> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.oc);
  const std::vector<uint8_t> u = small_weights(size_t(p.oc) * (p.ic / p.groups) * 16, p.ic);
  const std::vector<uint16_t> bias = biases(p.oc, p.kh);
  std::vector<uint8_t> b(bias.size() * 2);
  std::memcpy(b.data(), bias.data(), b.size());
  zv_api_conv_forward_parallel_fix8b_t r = record83(p, 0, 0);
  r.kh = r.kw = 4, r.use_winograd = 1, r.hsecs = 2, r.nsecs = 1, r.icsecs = 1, r.ocsecs = 1;
  Message m;
  m.what = what;
  m.id = 83;
  m.payload = payload_of(r);
  m.inputs = {{kIn, in}, {kWeight, ref::conv_fix::wino_weights(p, u, bias, 1)}, {kBias, b}};
  m.out = kOut;
  m.want = ref::conv_fix::wino8(p, in, u, bias);
  return m;
}

// The 168-byte record shared by APIs 83 and 983, word by word at the layout
// table's offsets: bytes 0 to 107 alike; 83 then holds the four counts,
// ReLU, layout, insertion, shift, signs, mode and use_3ic; 983 the five
// counts (with wsecs) and the rest one field later.
RawRecord raw_conv_record(const Conv &p, int use_winograd) {
  RawRecord r(168);
  r.u64(0, kIn).u64(8, kOut).u64(16, kWeight).u64(24, kBias).i32(32, p.n).i32(36, p.ic).i32(40, p.h).i32(44, p.w);
  r.i32(48, p.groups).i32(52, p.oc).i32(56, p.kh).i32(60, p.kw).i32(64, p.dh).i32(68, p.dw);
  r.i32(72, p.pad_t).i32(76, p.pad_b).i32(80, p.pad_l).i32(84, p.pad_r).i32(88, p.stride_h).i32(92, p.stride_w);
  r.i32(96, p.bias_mode).i32(104, use_winograd);
  return r;
}

Message raw983(const std::string &what, const Conv &p, int layout, int hsecs) {
  Message m = conv983(what, p, layout);
  RawRecord r = raw_conv_record(p, 0);
  r.i32(108, hsecs).i32(112, 1).i32(116, 1).i32(120, (p.oc / p.groups + 63) / 64).i32(124, (p.out_w() + 15) / 16);
  r.i32(128, p.relu).i32(132, p.upper).i32(136, layout).i32(140, p.ins_h).i32(144, p.ins_w).i32(148, p.rshift);
  r.i32(152, p.in_sign).i32(156, p.w_sign).i32(160, p.b_sign).i32(164, 3);
  m.payload = r.words;
  return m;
}

// API 83's Winograd form on the host's counts, arrangement 1.
Message raw83wino(const std::string &what, const Conv &p, int hsecs, int ocsecs) {
  Message m = wino83(what, p);
  RawRecord r = raw_conv_record(p, 1);
  r.i32(56, 4).i32(60, 4);
  r.i32(108, hsecs).i32(112, 1).i32(116, 1).i32(120, ocsecs).i32(124, p.relu).i32(128, p.upper).i32(132, 0);
  r.i32(144, p.rshift).i32(148, p.in_sign).i32(152, p.w_sign).i32(156, p.b_sign);
  m.payload = r.words;
  return m;
}

Message fc85(const std::string &what, const ref::conv_fix::Fc &p) {
  const size_t xrows = p.in4n ? size_t((p.M + 3) / 4) * 4 : size_t(p.M);
  const std::vector<uint8_t> x = pattern(xrows * p.K, p.N);
  const std::vector<uint8_t> w = small_weights(size_t(p.K) * p.N, p.M);
  const std::vector<uint16_t> bias = biases(p.N, p.K);
  std::vector<uint8_t> b(bias.size() * 2);
  std::memcpy(b.data(), bias.data(), b.size());
  const zv_api_fc_fix8b_forward_parallel_t r = {kIn,       kWeight,  kBias,    kOut,     p.M,       p.K,
                                                p.N,       p.transpose, p.bias, p.in_sign, p.w_sign, p.b_sign,
                                                p.rshift,  p.res16,  p.relu,   p.in4n,   p.out4n};
  Message m;
  m.what = what;
  m.id = 85;
  m.payload = payload_of(r);
  m.inputs = {{kIn, x}, {kWeight, w}, {kBias, b}};
  m.out = kOut;
  m.want = ref::conv_fix::fc8(p, x, w, bias);
  return m;
}

std::vector<Message> messages() {
  std::vector<Message> m;
  {
    Conv p;
    p.n = 6, p.ic = 12, p.h = 10, p.w = 9, p.oc = 20, p.kh = p.kw = 3, p.stride_h = p.stride_w = 2;
    p.pad_t = 1, p.pad_b = 0, p.pad_l = 1, p.pad_r = 2, p.bias_mode = 1, p.b_sign = p.in_sign = p.w_sign = true;
    p.rshift = 5, p.groups = 2;
    m.push_back(conv83("83: 3x3 stride 2, two groups, signed bias", p, 1, 0));
  }
  {
    Conv p;
    p.n = 4, p.ic = 3, p.h = 14, p.w = 12, p.oc = 8, p.kh = p.kw = 3, p.stride_h = 1, p.stride_w = 1;
    p.pad_l = p.pad_r = 1, p.w_sign = true, p.bias_mode = 2, p.rshift = 4, p.relu = true, p.upper = 30;
    m.push_back(conv83("83: three-channel form, bias behind the weights, clamped ReLU", p, 0, 1));
  }
  {
    Conv p;
    p.n = 4, p.ic = 7, p.h = 12, p.w = 10, p.oc = 12, p.kh = p.kw = 3, p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
    p.bias_mode = 1, p.b_sign = p.in_sign = true, p.rshift = 5;
    m.push_back(wino83("83: Winograd, row chunks of 4 (hsecs 2)", p));
  }
  {
    Conv p;
    p.n = 5, p.ic = p.oc = p.groups = 9, p.h = 12, p.w = 11, p.kh = p.kw = 3, p.stride_h = p.stride_w = 2;
    p.pad_t = 1, p.pad_b = 0, p.pad_l = 0, p.pad_r = 1, p.bias_mode = 1, p.b_sign = p.w_sign = true, p.rshift = 3;
    m.push_back(depthwise("97: 3x3 stride 2 depthwise", 97, p));
    m.push_back(depthwise("984: the same with 16-bit results", 984, p));
  }
  {
    Conv p;
    p.n = 3, p.ic = 6, p.h = 9, p.w = 15, p.oc = 10, p.kh = p.kw = 3, p.pad_t = p.pad_b = 1, p.pad_l = 1;
    p.pad_r = 2, p.bias_mode = 1, p.b_sign = p.w_sign = p.in_sign = true, p.rshift = 1;
    m.push_back(conv983("983: 16-bit results, 17 columns, three items", p, 1));
  }
  {
    // Pads of 4 over 5 rows in 11 row sections: four see no input row and
    // hold the requantised bias.
    Conv p;
    p.n = 4, p.ic = 3, p.h = 5, p.w = 5, p.oc = 5, p.kh = p.kw = 3, p.pad_t = p.pad_b = p.pad_l = p.pad_r = 4;
    p.bias_mode = 1, p.b_sign = p.w_sign = p.in_sign = true, p.rshift = 1;
    m.push_back(raw983("983: row sections that see no input row", p, 0, 11));
  }
  {
    Conv p;
    p.n = 3, p.ic = 5, p.h = 6, p.w = 7, p.oc = 6, p.kh = p.kw = 3, p.pad_t = p.pad_b = 1, p.pad_l = 2, p.pad_r = 1;
    p.ins_w = 2, p.bias_mode = 2, p.b_sign = p.w_sign = p.in_sign = true, p.rshift = 2;
    m.push_back(raw983("983: two zero columns inserted along the width, 20 columns in two pieces", p, 1, 2));
  }
  {
    Conv p;
    p.n = 4, p.ic = 5, p.h = 9, p.w = 8, p.oc = 70, p.kh = p.kw = 3, p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1;
    p.bias_mode = 2, p.b_sign = p.in_sign = true, p.rshift = 4;
    m.push_back(raw83wino("83: Winograd, bias behind the weights, two output-lane sections", p, 1, 2));
  }
  {
    Conv p;
    p.n = 4, p.ic = 6, p.h = 6, p.w = 5, p.oc = 9, p.kh = p.kw = 3, p.stride_h = p.stride_w = 2;
    p.pad_t = p.pad_b = p.pad_l = p.pad_r = 1, p.bias_mode = 1, p.b_sign = p.w_sign = p.in_sign = true, p.rshift = 3;
    m.push_back(deconv130("130: 3x3 stride 2 deconvolution with output padding", p, 1, 1, 0));
  }
  {
    ref::conv_fix::Fc p;
    p.M = 6, p.K = 1100, p.N = 150, p.bias = p.b_sign = p.in_sign = p.w_sign = true, p.rshift = 10, p.s_inter = 2;
    p.in4n = p.out4n = true;
    m.push_back(fc85("85: two K sections, 4N input and output", p));
  }
  {
    ref::conv_fix::Fc p;
    p.M = 3, p.K = 70, p.N = 40, p.transpose = true, p.w_sign = true, p.rshift = 3, p.res16 = true;
    m.push_back(fc85("85: transposed weights, 16-bit result", p));
  }
  return m;
}

TEST(ConvFixApi, EachIdEndToEnd) {
  const std::vector<Message> ms = messages();
  for_each_api_card([&](host::Card &card) {
    for (const Message &k : ms) {
      SCOPED_TRACE(k.what);
      for (const auto &in : k.inputs) card.write(in.first, in.second.data(), in.second.size());
      const std::vector<uint8_t> cleared(k.want.size(), 0);  // the padding rows of 4N results stay 0
      card.write(k.out, cleared.data(), cleared.size());
      ASSERT_TRUE(AnswerOk(card, card.send(k.id, k.payload)));
      EXPECT_EQ(card.read(k.out, k.want.size()), k.want);
    }
  });
}

TEST(ConvFixApi, ZeroCountsWrongSizesAndRefusals) {
  Card card;
  const zv_api_conv_forward_parallel_fix8b_t p83 = {};
  const zv_api_depthwise_fix8b_forward_parallel_t p97 = {};
  const zv_api_fc_fix8b_forward_parallel_t p85 = {};
  const zv_api_conv_forward_parallel_fix16b_t p983 = {};
  const zv_api_deconv_fix8b_forward_parallel_t p130 = {};
  const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> empty = {
      {83, payload_of(p83)},
      {85, payload_of(p85)},
      {97, payload_of(p97)},
      {130, payload_of(p130)},
      {983, payload_of(p983)},
      {984, payload_of(p97)},
  };
  for (const auto &e : empty) {
    auto r = card.send(e.first, e.second);
    ASSERT_TRUE(AnswerOk(card, r));
    std::vector<uint32_t> longer = e.second;
    longer.push_back(0);
    r = card.send(e.first, longer);
    ASSERT_TRUE(AnswerOk(card, r, 1009u)) << e.first;
  }
  // An output beyond device memory is refused before anything is issued.
  Conv p;
  p.n = 4, p.ic = 4, p.h = p.w = 6, p.oc = 4, p.kh = p.kw = 3;
  zv_api_conv_forward_parallel_fix8b_t far = record83(p, 1, 0);
  far.output_addr = 0xfffffff000ull;
  auto r = card.send(83, payload_of(far));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_TRUE(card.chip().engines.bd.commands().empty());
  // API 983's Winograd form computes nothing: it is refused, not answered as done.
  zv_api_conv_forward_parallel_fix16b_t wino = record983(p, 1);
  wino.use_winograd = 1, wino.kh = wino.kw = 4;
  r = card.send(983, payload_of(wino));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("api->use_winograd != 1"), std::string::npos) << card.console();
  // Insertion between rows stays refused: every output row is an entry of a
  // one-row convolution.
  zv_api_conv_forward_parallel_fix16b_t rows = record983(p, 1);
  rows.ins_h = 1;
  r = card.send(983, payload_of(rows));
  ASSERT_TRUE(AnswerOk(card, r, 1009u));
  EXPECT_NE(card.console().find("ins_h == 0 && ins_w >= 0"), std::string::npos) << card.console();
}

}  // namespace
}  // namespace zv::test
