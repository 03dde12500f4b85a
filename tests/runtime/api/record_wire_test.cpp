// Records sent the way a host that knows only the wire layout sends them:
// raw 32-bit words at the record's byte offsets, never through the
// firmware's structs. One case per record family, each checked in device
// memory, on three deferred seeds with the race checker and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"

namespace zv::test {
namespace {

// A record of `bytes` zero bytes with values put at byte offsets.
class Wire {
 public:
  explicit Wire(size_t bytes) : words_(bytes / 4, 0) {}
  Wire &u32(size_t offset, uint32_t v) {
    words_.at(offset / 4) = v;
    return *this;
  }
  Wire &i32(size_t offset, int32_t v) { return u32(offset, uint32_t(v)); }
  Wire &f32(size_t offset, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return u32(offset, bits);
  }
  // Low word first.
  Wire &u64(size_t offset, uint64_t v) { return u32(offset, uint32_t(v)).u32(offset + 4, uint32_t(v >> 32)); }
  std::vector<uint32_t> words() const { return words_; }

 private:
  std::vector<uint32_t> words_;
};

using Bytes = std::vector<uint8_t>;

Bytes floats(std::initializer_list<float> v) {
  Bytes b(v.size() * 4);
  std::memcpy(b.data(), v.begin(), b.size());
  return b;
}

struct Case {
  const char *what;
  uint32_t id;
  std::vector<uint32_t> payload;
  std::vector<std::pair<uint64_t, Bytes>> before;  // device memory written first
  std::vector<std::pair<uint64_t, Bytes>> after;   // device memory expected afterwards
};

constexpr uint64_t kA = 0x101000000ull, kB = 0x101001000ull, kC = 0x101002000ull, kD = 0x101003000ull,
                   kE = 0x101004000ull;
const Bytes kStale = {0xee, 0xee, 0xee, 0xee};

std::vector<Case> cases() {
  std::vector<Case> v;
  // Convolution: 1x1 deconvolution of the 4N input 3 by the weight 2. The
  // record holds input, weight, bias, output in that order.
  v.push_back({"130 deconvolution",
               130,
               Wire(128)
                   .u64(0, kA)
                   .u64(8, kB)
                   .u64(16, kC)
                   .u64(24, kD)
                   .i32(32, 1)  // input_n
                   .i32(36, 1)  // input_c
                   .i32(40, 1)  // input_h
                   .i32(44, 1)  // input_w
                   .i32(48, 1)  // output_c
                   .i32(52, 1)  // groups
                   .i32(56, 1)  // kh
                   .i32(60, 1)  // kw
                   .i32(64, 1)  // dh
                   .i32(68, 1)  // dw
                   .i32(80, 1)  // stride_h
                   .i32(84, 1)  // stride_w
                   .words(),
               {{kA, {3, 0, 0, 0}}, {kB, {2, 0, 0, 0}}, {kC, {0, 0, 0, 0}}, {kD, kStale}},
               {{kB, {2, 0, 0, 0}}, {kD, {6, 0, 0, 0}}}});
  // The float convolution's record holds input, output, weight, bias: the
  // output before the weights, unlike the deconvolution's. 1x1 of 3 by the
  // weight 2 (one input channel, padded to two) plus the bias 1.
  v.push_back({"49 convolution",
               49,
               Wire(124)
                   .u64(0, kA)   // input_addr
                   .u64(8, kD)   // output_addr
                   .u64(16, kB)  // weight_addr
                   .u64(24, kC)  // bias_addr
                   .i32(32, 1)   // input_n
                   .i32(36, 1)   // input_c
                   .i32(40, 1)   // input_h
                   .i32(44, 1)   // input_w
                   .i32(48, 1)   // groups
                   .i32(52, 1)   // output_c
                   .i32(56, 1)   // kh
                   .i32(60, 1)   // kw
                   .i32(64, 1)   // dh
                   .i32(68, 1)   // dw
                   .i32(88, 1)   // stride_h
                   .i32(92, 1)   // stride_w
                   .i32(96, 1)   // using_bias
                   .i32(108, 1)  // hsecs
                   .i32(112, 1)  // nsecs
                   .i32(116, 1)  // icsecs
                   .i32(120, 1)  // ocsecs
                   .words(),
               {{kA, floats({3})}, {kB, floats({2, 0})}, {kC, floats({1})}, {kD, kStale}},
               {{kB, floats({2, 0})}, {kD, floats({7})}}});
  // Element-wise: ReLU with a negative slope of 0.5 and no upper limit.
  v.push_back({"65 ReLU",
               65,
               Wire(40)
                   .u64(0, kA)
                   .u64(8, kB)
                   .f32(16, 0.5f)  // negative_slope
                   .f32(20, 0.0f)  // relu_upper_limit
                   .i32(24, 1)
                   .i32(28, 2)
                   .i32(32, 1)
                   .i32(36, 2)
                   .words(),
               {{kA, floats({-2, 3, -4, 5})}},
               {{kB, floats({-1, 3, -2, 5})}}});
  // Memory: a 16-byte fill of one 32-bit word; the word after the region
  // keeps its bytes.
  v.push_back({"1 memset of words",
               1,
               Wire(20).u64(0, kA).u32(8, 16).u32(12, 4).u32(16, 0x11223344).words(),
               {{kA, Bytes(20, 0xee)}},
               {{kA, {0x44, 0x33, 0x22, 0x11, 0x44, 0x33, 0x22, 0x11, 0x44, 0x33,
                      0x22, 0x11, 0x44, 0x33, 0x22, 0x11, 0xee, 0xee, 0xee, 0xee}}}});
  // Data movement: 7 bytes copied (the length is a u64).
  v.push_back({"136 byte copy",
               136,
               Wire(24).u64(0, kA).u64(8, kB).u64(16, 7).words(),
               {{kA, {1, 2, 3, 4, 5, 6, 7, 8}}, {kB, Bytes(8, 0xee)}},
               {{kB, {1, 2, 3, 4, 5, 6, 7, 0xee}}}});
  // Selection and reduction: the largest of four along w, its value and its
  // index (as a float).
  v.push_back({"157 arg max",
               157,
               Wire(48)
                   .u64(0, kA)
                   .u64(8, kB)   // value_out_addr
                   .u64(16, kC)  // index_out_addr
                   .i32(24, 1)
                   .i32(28, 1)
                   .i32(32, 1)
                   .i32(36, 4)
                   .i32(40, 3)  // axis
                   .i32(44, 0)  // method: largest
                   .words(),
               {{kA, floats({1, 7, 3, 5})}},
               {{kB, floats({7})}, {kC, floats({1})}}});
  // Detection, sequence and loss: the Euclidean loss of one row of four,
  // sum of squared differences over 2 n.
  v.push_back({"31 Euclidean loss",
               31,
               Wire(56)
                   .u64(0, kA)   // input_addr
                   .u64(8, kB)   // label_addr
                   .u64(16, kC)  // buffer_addr
                   .u64(24, kD)  // diff_addr
                   .u64(32, kE)  // loss_addr
                   .i32(40, 1)
                   .i32(44, 4)
                   .i32(48, 1)
                   .i32(52, 1)
                   .words(),
               {{kA, floats({1, 2, 3, 4})}, {kB, floats({0, 1, 1, 1})}},
               {{kD, floats({1, 1, 2, 3})}, {kE, floats({7.5f})}}});
  // Vision: 1 x (2 x 3) bytes to 1 x (3 x 2).
  v.push_back({"513 image transpose",
               513,
               Wire(32).u64(0, kA).u64(8, kB).u32(16, 1).u32(20, 2).u32(24, 3).u32(28, 1).words(),
               {{kA, {1, 2, 3, 4, 5, 6}}},
               {{kB, {1, 4, 2, 5, 3, 6}}}});
  // Matrix product, the one record at natural alignment: the two flags are
  // bytes 0 and 1, the addresses sit at 24, 40 and 56 after gaps.
  // C = 2 * A * B + 3 * C with 1 x 1 matrices.
  v.push_back({"105 GEMM",
               105,
               Wire(72)
                   .u32(0, 0)      // trans_a, trans_b
                   .i32(4, 1)      // m
                   .i32(8, 1)      // n
                   .i32(12, 1)     // k
                   .f32(16, 2.0f)  // alpha
                   .u64(24, kA)
                   .i32(32, 1)  // lda
                   .u64(40, kB)
                   .i32(48, 1)     // ldb
                   .f32(52, 3.0f)  // beta
                   .u64(56, kC)
                   .i32(64, 1)  // ldc
                   .words(),
               {{kA, floats({2})}, {kB, floats({5})}, {kC, floats({1})}},
               {{kC, floats({23})}}});
  return v;
}

TEST(RecordWire, RawWordsReachTheirFieldsInEveryFamily) {
  const std::vector<Case> all = cases();
  for_each_api_card([&](host::Card &card) {
    for (const Case &k : all) {
      SCOPED_TRACE(k.what);
      for (const auto &w : k.before) card.write(w.first, w.second.data(), w.second.size());
      ASSERT_TRUE(AnswerOk(card, card.send(k.id, k.payload)));
      for (const auto &want : k.after) EXPECT_EQ(card.read(want.first, want.second.size()), want.second);
    }
  });
}

}  // namespace
}  // namespace zv::test
