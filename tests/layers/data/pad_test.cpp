// Pad as firmware code on the chip model, against a plain reference.
#include <cstring>
#include <string>
#include <vector>

#include "layers/data/data_rig.h"
#include "layers/data/pad.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

struct PadCase {
  const char *what;
  Shape shape;
  int pads[4][2];
};

const PadCase kPadCases[] = {
    {"one on every side of h and w", {1, 1, 3, 3}, {{0, 0}, {0, 0}, {1, 1}, {1, 1}}},
    {"every axis, uneven", {2, 3, 4, 5}, {{1, 0}, {0, 2}, {2, 1}, {1, 3}}},
    {"w of several items with c padded", {3, 2, 2, 4}, {{0, 0}, {1, 1}, {0, 0}, {2, 1}}},
    {"extents of 1 padded by 0 on one side", {1, 2, 1, 3}, {{0, 1}, {1, 0}, {0, 0}, {0, 2}}},
};

Shape out_shape(const Shape &in, const int (*pads)[2]) {
  Shape o = in;
  for (int i = 0; i < 4; i++) o[i] += pads[i][0] + pads[i][1];
  return o;
}

TEST(PadRegions, BordersStartPastThePaddedAxesBefore) {
  const int in[4] = {1, 1, 3, 3}, pads[4][2] = {{0, 0}, {0, 0}, {1, 1}, {1, 1}};
  pad_regions_t r;
  pad_regions_of(in, pads, 4, &r);
  // Output 5 x 5: h's before border at 0, after at row 4; w's at row 1.
  EXPECT_EQ(r.before[2], 0u);
  EXPECT_EQ(r.after[2], 4u * 4 * 5);
  EXPECT_EQ(r.before[3], 4u * 5);
  EXPECT_EQ(r.after[3], 4u * 5 + 4 * 4);
}

TEST(Pad, FloatInEveryMode) {
  const float value = -2.5f;
  Bytes value_bytes(4);
  std::memcpy(value_bytes.data(), &value, 4);
  for (int mode = 0; mode < 4; mode++)
    for (const PadCase &k : kPadCases) {
      SCOPED_TRACE(std::string(k.what) + ", mode " + std::to_string(mode));
      // Mirrors reach at most the extent (reflect: below it).
      bool fits = true;
      for (int a = 0; a < 4; a++)
        for (int s = 0; s < 2; s++)
          if (k.pads[a][s] > k.shape[a] - (mode == 1 ? 1 : 0)) fits = false;
      if ((mode == 1 || mode == 2) && !fits) continue;
      const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 1);
      const Bytes want = ref::pad(in, k.shape, k.pads, mode, value_bytes, 4);
      on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                   [&](cmd_id_node_t *node) {
                     nodechip_pad(kDataIn, kDataOut, k.shape[0], k.shape[1], k.shape[2], k.shape[3], k.pads, mode,
                                  value, node);
                   },
                   [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
    }
}

TEST(Pad, RowOrderOfTheMirrorModes) {
  // A (1, 1, 3, 3) tensor padded by one on every side of h and w: the rows
  // of the output come from input rows 1 0 1 2 1 (reflect), 0 0 1 2 2
  // (symmetric and replicate).
  const Shape shape = {1, 1, 3, 3};
  const int pads[4][2] = {{0, 0}, {0, 0}, {1, 1}, {1, 1}};
  std::vector<float> in(9);
  for (int i = 0; i < 9; i++) in[i] = float(10 * (i / 3) + i % 3);
  const int rows[3][5] = {{1, 0, 1, 2, 1}, {0, 0, 1, 2, 2}, {0, 0, 1, 2, 2}};
  for (int mode = 1; mode < 4; mode++) {
    LayerRunner rig;
    rig.chip().ddr.store(kDataIn, in.data(), 36);
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_pad(kDataIn, kDataOut, 1, 1, 3, 3, pads, mode, 0.0f, node); }));
    std::vector<float> out(25);
    rig.chip().ddr.load(kDataOut, out.data(), 100);
    for (int r = 0; r < 5; r++) EXPECT_EQ(int(out[r * 5 + 2]) / 10, rows[mode - 1][r]) << "mode " << mode << " row " << r;
  }
}

TEST(Pad, EmptyInputFillsTheOutputWithTheConstant) {
  const int pads[4][2] = {{0, 0}, {1, 1}, {0, 2}, {1, 0}};
  const float value = 7.0f;
  for (int mode = 0; mode < 4; mode++) {
    LayerRunner rig;
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_pad(kDataIn, kDataOut, 2, 0, 1, 1, pads, mode, value, node); }));
    std::vector<float> out(2 * 2 * 3 * 2);
    rig.chip().ddr.load(kDataOut, out.data(), out.size() * 4);
    for (float v : out) EXPECT_EQ(v, value);
  }
  // An empty output: nothing at all.
  const int none[4][2] = {};
  LayerRunner rig;
  ASSERT_TRUE(
      rig.call([&](cmd_id_node_t *node) { nodechip_pad(kDataIn, kDataOut, 2, 0, 1, 1, none, 0, value, node); }));
  EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
}

TEST(Pad, EightBitBetweenStoreModes) {
  struct Case {
    const char *what;
    Shape shape;
    int pads[4][2];
    int in_4n, out_4n, mode;
  };
  const Case cases[] = {
      {"1N to 1N, reflect", {2, 2, 3, 4}, {{1, 0}, {0, 1}, {1, 1}, {2, 1}}, 0, 0, 1},
      {"4N to 4N without batch padding: words", {6, 2, 3, 3}, {{0, 0}, {1, 0}, {1, 1}, {2, 2}}, 1, 1, 0},
      {"4N to 4N, replicate on words", {5, 3, 2, 2}, {{0, 0}, {1, 1}, {1, 0}, {1, 2}}, 1, 1, 3},
      {"4N to 4N with batch padding: through 1N", {3, 1, 2, 2}, {{1, 2}, {0, 0}, {1, 0}, {0, 1}}, 1, 1, 2},
      {"4N to 1N", {5, 2, 2, 3}, {{0, 1}, {1, 0}, {0, 0}, {1, 1}}, 1, 0, 3},
      {"1N to 4N", {3, 2, 2, 2}, {{0, 0}, {0, 0}, {1, 1}, {1, 1}}, 0, 1, 2},
  };
  const int value = 0x1a5;  // the low byte is used
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int n = k.shape[0];
    const size_t len = ref::count_of(k.shape) / size_t(n);
    const Bytes plain = pattern_bytes(ref::count_of(k.shape), 2);
    const Bytes in = k.in_4n ? ref::to_4n(plain, n, len, 0x44) : plain;
    const Bytes want = ref::pad(plain, k.shape, k.pads, k.mode, Bytes{0xa5}, 1);
    const Shape os = out_shape(k.shape, k.pads);
    const size_t out_len = ref::count_of(os) / size_t(os[0]);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_pad_fix8b(kDataIn, kDataOut, u8(k.in_4n), kDataBuf, u8(k.out_4n), kDataBuf2, n,
                                      k.shape[1], k.shape[2], k.shape[3], k.pads, k.mode, value, node);
                 },
                 [&](FirmwareRig &rig) {
                   const Bytes got =
                       k.out_4n
                           ? ref::from_4n(get<u8>(rig, kDataOut, (size_t(os[0]) + 3) / 4 * 4 * out_len), os[0], out_len)
                           : get<u8>(rig, kDataOut, want.size());
                   EXPECT_TRUE(got == want);
                 });
  }
}

TEST(Pad, UnknownModeFailsAfterTheInterior) {
  const int pads[4][2] = {{0, 0}, {0, 0}, {1, 1}, {1, 1}};
  struct Bad {
    const char *function;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"nodechip_pad", [&](cmd_id_node_t *n) { nodechip_pad(kDataIn, kDataOut, 1, 1, 3, 3, pads, 4, 0.0f, n); }},
      {"nodechip_pad_fix8b_1N",
       [&](cmd_id_node_t *n) { nodechip_pad_fix8b_1N(kDataIn, kDataOut, 1, 1, 3, 3, pads, 4, 0, n); }},
      {"nodechip_pad_fix8b_4N",
       [&](cmd_id_node_t *n) { nodechip_pad_fix8b_4N(kDataIn, kDataOut, 1, 1, 3, 3, pads, 5, 0, n); }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.function);
    FirmwareRig rig;
    EXPECT_TRUE(stopped_on(rig.run_layer(b.call), "ASSERT_FS", "firmware/layers/", b.function, "0"));
    EXPECT_EQ(rig.chip().engines.gdma.commands().size(), 1u) << "the interior was issued";
  }
  // The 8-bit pad prints its parameters on every call.
  FirmwareRig rig;
  const FwOutcome out = rig.run_layer([&](cmd_id_node_t *n) {
    nodechip_pad_fix8b(kDataIn, kDataOut, 0, kDataBuf, 0, kDataBuf2, 1, 1, 3, 3, pads, 0, 0, n);
  });
  ASSERT_TRUE(ran_clean(out));
  EXPECT_NE(out.uart.find("N = 1    C = 1    H = 3    W = 3    type = 0    pad N = (0 0)    pad C = (0 0)    "
                          "pad H = (1 1)    pad W = (1 1)    \n"),
            std::string::npos)
      << out.uart;
}

}  // namespace
}  // namespace zv::test
