// One-message scripts a hostile host sent that stopped the card, each a named
// case: the card answers it (1009 for a record it refuses) and serves the
// memset after it, on every API card (three deferred seeds with the race
// checker, and the ARM image, which faults on a misaligned access the host
// build would hide). The records are written as raw words (addresses as two
// words, low first), as the host sent them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "net_writer.h"
#include "runtime/firmware_main.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using Words = std::vector<uint32_t>;

constexpr uint64_t kA = 0x140000000ull;  // device memory the cases name
constexpr uint64_t kEnd = GLOBAL_MEM_END_ADDR;

// A record built word by word.
struct Rec {
  Words w;
  Rec &addr(uint64_t a) {
    w.push_back(static_cast<uint32_t>(a));
    w.push_back(static_cast<uint32_t>(a >> 32));
    return *this;
  }
  Rec &u(std::initializer_list<uint32_t> v) {
    w.insert(w.end(), v);
    return *this;
  }
};

// Addresses kA + i MB, and one that is `off` bytes past such an address.
uint64_t mb(int i, uint32_t off = 0) { return kA + (uint64_t{static_cast<uint32_t>(i)} << 20) + off; }

struct Hostile {
  const char *what;
  uint32_t id;
  Words payload;
  uint32_t result;
  const char *console;  // text the answer prints ("" for none)
  std::vector<std::pair<uint64_t, Words>> memory = {};  // device memory written first
};

// The concat record: ten inputs, the output, ten shapes, the output shape,
// ten flags, the input count and the axis.
Words concat(uint64_t input, Words shape, Words out_shape, uint32_t axis) {
  Rec r;
  r.addr(input);
  for (int i = 1; i < 10; i++) r.addr(0);
  r.addr(mb(1));
  r.u({shape[0], shape[1], shape[2], shape[3]});
  for (int i = 1; i < 10; i++) r.u({0, 0, 0, 0});
  r.u({out_shape[0], out_shape[1], out_shape[2], out_shape[3]});
  for (int i = 0; i < 10; i++) r.u({0});
  return r.u({1, axis}).w;
}

// The API 110 record: input and output entries (host address, net address,
// items, item length, data type with the net's and the host's store modes),
// two command buffers and no groups.
struct Entry {
  uint64_t host, net;
  uint32_t n, len, type, net_mode, host_mode;
};
Words multi(const std::vector<Entry> &in, const std::vector<Entry> &out) {
  Rec r;
  for (const auto *list : {&in, &out}) {
    r.u({static_cast<uint32_t>(list->size())});
    for (const Entry &e : *list)
      r.addr(e.host).addr(e.net).u({e.n, e.len, e.type | e.net_mode << 16 | e.host_mode << 24});
  }
  return r.addr(mb(8)).addr(mb(9)).u({0}).w;
}

Words dynamic_run(std::vector<net::IoInput> inputs, bool has_4n) {
  net::RunMessage m;
  m.description_addr = mb(8), m.description_words = 4, m.has_4n_addr = has_4n;
  m.inputs = std::move(inputs);
  m.outputs.push_back(net::IoOutput{mb(9), 0, 0});
  return net::run_payload(m);
}

// The heatprobe's words: a one-channel input of 2^32 - 1 rows with 2^32 - 1
// zeros inserted between them.
Words heatprobe_overflow() {
  Words w(38, 0);
  w[8] = 1, w[9] = 1, w[10] = 0xffffffffu, w[11] = 4, w[12] = 1, w[13] = 1;
  w[14] = w[15] = w[16] = w[17] = 1, w[20] = w[21] = 1, w[31] = 0xffffffffu;
  return w;
}

// An 8-bit convolution of 4 x 4 x 4 x 4 with 1 x 1 kernels and the given
// input stride mode (offset 160).
Words conv_fix8b(uint32_t mode) {
  return Rec{}
      .addr(mb(0))
      .addr(mb(1))
      .addr(mb(2))
      .addr(mb(3))
      .u({4, 4, 4, 4, 1, 4, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, mode, 0})
      .w;
}

// An affine nearest warp of one 4 x 4 image at kA into one 4 x 4 output, the
// table (output address, then the matrix) at kA + 1 MB.
Words warp() {
  return Rec{}
      .addr(mb(0)).addr(0).addr(0).addr(0)
      .addr(mb(1))
      .u({1, 0, 0, 0, 4, 0, 0, 0})
      .u({0, 1, 1, 4, 4, 4, 4, 4, 4, 0, 0, 0})
      .w;
}

const float kDenormal = 1e-45f;
uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

std::vector<Hostile> cases() {
  const char *misaligned = "global % align == 0";
  return {
      // ---- Host data the core reads through its window, misaligned ----
      {"accuracy scratch ending in 3", 12,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(4, 3)).u({2, 4, 1}).w, 1009, misaligned},
      {"softmax loss buffer ending in 3 (the fuzzer's script)", 69,
       {0x23b1d00, 0x1, 0x4742d00, 0x1, 0x262c900, 0x1, 0x3158e00, 0x1, 0x57a5cc3, 0x1, 0x3f800000, 0x5, 0x4, 0x2,
        0x3},
       1009, misaligned},
      {"bidirectional softmax loss buffer ending in 2", 71,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(4, 2)).u({bits(1.0f), 2, 4, 0, 3}).w, 1009,
       misaligned},
      {"word2vec buffer ending in 1", 127,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(3, 0x80000)).addr(mb(4, 1))
           .u({bits(1.0f), 1, 1, 4, 4}).w,
       1009, misaligned},
      {"CTC loss buffer ending in 2", 140,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(4, 2)).u({3, 3, 2}).w, 1009, misaligned},
      {"feature match work buffer ending in 2", 509,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(4, 2)).u({1, 4, 4, 1, 0}).w, 1009, misaligned},
      // ---- Addresses inside tables and entries ----
      {"concat reading four rows of an input 16 bytes before the end", 91,
       concat(kEnd - 16, {1, 1, 1, 4}, {4, 4, 4, 4}, 1), 1009, "api_dense(4, rows, len)"},
      {"8-bit concat reading four rows of an input 16 bytes before the end", 92,
       concat(kEnd - 16, {1, 1, 1, 4}, {4, 4, 4, 4}, 2), 1009, "api_dense(4, rows, len)"},
      {"concat writing past the output's row", 91, concat(mb(2), {1, 1, 1, 4}, {1, 1, 1, 2}, 0), 1009,
       "offset + len <= row"},
      {"multi-network output entry of 255 items 64 bytes before the end", 110,
       multi({}, {{kEnd - 0x40, mb(2), 255, 1, 0, 0, 0}}), 1009, "api_global_fits(t.host_addr"},
      {"multi-network output entry beyond device memory", 110, multi({}, {{kEnd + 0x1000, mb(2), 4, 1, 0, 0, 0}}),
       1009, "api_global_fits(t.host_addr"},
      {"multi-network output entry in the ARM's data memory", 110,
       multi({}, {{DTCM_BASE, mb(2), 4, 1, 0, 0, 0}}), 1009, "api_global_fits(t.host_addr"},
      {"multi-network 4N input entry running past the end", 110, multi({{mb(2), kEnd - 4, 4, 4, 3, 2, 0}}, {}),
       1009, "api_dense(1, n4, t.len)"},
      {"warp table naming an output beyond device memory", 112, warp(), 1009, "output 0 at 0x500000000",
       {{mb(1), {0, 5, bits(1.0f), 0, 0, 0, bits(1.0f), 0}}}},
      {"warp table naming an output inside device memory", 112, warp(), 0, "",
       {{mb(1), {static_cast<uint32_t>(mb(3)), 1, bits(1.0f), 0, 0, 0, bits(1.0f), 0}}}},
      {"dynamic network input entry at 0xfffffff0", 111, dynamic_run({{0xfffffff0u, 0, 0, {1, 4}, 4}}, false), 1009,
       "api_global_fits(inputs[i].addr"},
      // ---- Descriptor fields the engines do not take ----
      {"sort asked for 5 results of 4 keys (the fuzzer's script)", 508,
       {0x308d500, 0x1, 0x6000080, 0x1, 0x4, 0x41d9c00, 0x1, 0x2000540, 0x1, 0x5, 0x0, 0x3, 0x6}, 1009,
       "out_len <= len"},
      {"8-bit convolution with input stride mode 2", 83, conv_fix8b(2), 1009, "input stride mode 2"},
      {"8-bit convolution with input stride mode 1", 83, conv_fix8b(1), 1009, "input stride mode 1"},
      {"8-bit convolution with input stride mode 3", 83, conv_fix8b(3), 0, ""},
      // ---- Index data outside the input ----
      {"index select through the gather engine with index 1285010917", 181,
       Rec{}.addr(mb(0)).addr(mb(1)).u({4}).addr(mb(2)).addr(mb(3)).addr(mb(4)).u({4, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0})
           .w,
       1009, "index 1285010917 at 0, extent 8", {{mb(1), {0x4c97b5e5u, 2, 1, 0}}}},
      {"index select through the gather engine with index -1", 181,
       Rec{}.addr(mb(0)).addr(mb(1)).u({4}).addr(mb(2)).addr(mb(3)).addr(mb(4)).u({4, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0})
           .w,
       1009, "index -1 at 0, extent 8", {{mb(1), {0xffffffffu, 2, 1, 0}}}},
      // ---- Signed overflow in the checks ----
      {"heatprobe extents of 2^32 - 1", ZVKERNEL_API_ID, heatprobe_overflow(), 1009, "largest <= 0x80000000u"},
      {"scale over 2 + (2^31 - 1) axes", 24,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).u({1, 2, 3, 4, 2, 0x7fffffff, 0, 0}).w, 1009,
       "shape_axis_num"},
      {"YOLO with 127 + (2^31 - 1) + 1 values a box", 800,
       Rec{}.addr(mb(0)).addr(mb(1)).u({1, 4, 2, 2, 1, 0x7fffffff, 127, 0, 0}).w, 1009,
       "(i64)coords + classes + 1 <= 0x7fffffff"},
      {"dynamic network 4N input of 2629307724 bytes an item", 111,
       dynamic_run({{mb(2), mb(4), 2, {1, 2629307724u}, 0}}, true), 1009, "per_item <= 0x7fffffffu / 4"},
      {"8-bit batch to space with a block of 2^32 items (the fuzzer's script)", 120,
       {0x4, 0x1, 0x3, 0x0, 0x1, 0x1, 0x8, 0x1, 0x1, 0x1, 0x4, 0x4, 0x1, 0x4, 0x3f000000, 0x3, 0x4, 0x4, 0x4,
        0x3f000000, 0x3f000000, 0x4, 0x8, 0x3, 0x4},
       1009, "api_mul(block[0], block[1]) <= 0x7fffffff"},
      {"image conversion of 2945362626 images of 4291877274 rows", 500,
       Rec{}.addr(mb(0))
           .u({4, 4, 4291877274u, bits(2.0f), 0, bits(2.0f), 0, bits(2.0f), 0, 0, 2945362626u, 0, 0})
           .addr(mb(1))
           .w,
       1009,
       "height <= (1u << 30)"},
      // ---- Denormal operands: flushed to zero on the core ----
      {"training batch normalisation with a denormal norm_count", 59,
       Rec{}.addr(mb(0)).addr(mb(1)).addr(mb(2)).addr(mb(3)).addr(mb(4)).addr(mb(5))
           .u({bits(1e-5f), bits(0.5f), bits(kDenormal), 1, 2, 3, 4}).w,
       1009, "norm_count > 0.0f"},
  };
}

class HostileMessages : public ::testing::TestWithParam<CardConfig> {};

TEST_P(HostileMessages, AreAnsweredAndTheCardKeepsServing) {
  auto card = deferred_card(GetParam().backend, GetParam().seed);
  uint32_t round = 0;
  for (const Hostile &c : cases()) {
    SCOPED_TRACE(c.what);
    for (const auto &[at, words] : c.memory) card->write(at, words.data(), 4 * words.size());
    const size_t console = card->console().size();
    auto a = card->send(c.id, c.payload);
    ASSERT_TRUE(a) << card->trouble();
    EXPECT_EQ(a->result, c.result) << card->console().substr(console);
    EXPECT_NE(card->console().find(c.console, console), std::string::npos) << card->console().substr(console);
    // The memset after it is served.
    const uint32_t value = 0x5a000000u + ++round;
    const uint64_t at = mb(12);
    auto m = card->send(1, Rec{}.addr(at).u({256, 4, value}).w);
    ASSERT_TRUE(AnswerOk(*card, m));
    EXPECT_EQ(card->read32(at), value);
    EXPECT_EQ(card->read32(at + 252), value);
  }
  EXPECT_TRUE(no_findings(card->chip()));
}

INSTANTIATE_TEST_SUITE_P(Cards, HostileMessages, ::testing::ValuesIn(kApiCards),
                         [](const ::testing::TestParamInfo<CardConfig> &i) {
                           return std::string(i.param.backend == Backend::Native ? "Native" : "Emulated") +
                                  "Seed" + std::to_string(i.param.seed);
                         });

}  // namespace
}  // namespace zv::test
