// Space/batch/depth rearrangements, reorg and the 4N-to-1N reshape as firmware
// code on the chip model, against plain references.
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "layers/data/data_rig.h"
#include "layers/data/rearrange.h"
#include "ref/arrange_ref.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

Bytes zero_pad(const Bytes &in, const Shape &shape, const std::vector<int> &p, size_t size) {
  const int pads[4][2] = {{0, 0}, {0, 0}, {p[0], p[1]}, {p[2], p[3]}};
  return ref::pad(in, shape, pads, 0, Bytes(size, 0), size);
}

TEST(SpaceToBatch, EvenRowsAndColumnsFirst) {
  // (1, 1, 4, 4) with block (2, 2): batch 0 even rows and even columns, batch 1
  // even rows and odd columns, batch 2 odd rows and even columns, batch 3 both odd.
  std::vector<float> in(16);
  for (int i = 0; i < 16; i++) in[i] = float(i);
  const int shape[4] = {1, 1, 4, 4}, block[2] = {2, 2}, pads[4] = {0, 0, 0, 0};
  LayerRunner rig;
  rig.chip().ddr.store(kDataIn, in.data(), 64);
  int out_shape[4];
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_space2batch(kDataIn, kDataOut, kDataBuf, shape, 4, block, pads, out_shape, node);
  }));
  EXPECT_EQ(std::vector<int>(out_shape, out_shape + 4), (std::vector<int>{4, 1, 2, 2}));
  std::vector<float> out(16);
  rig.chip().ddr.load(kDataOut, out.data(), 64);
  EXPECT_EQ(out, (std::vector<float>{0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15}));
}

struct BlockCase {
  const char *what;
  Shape shape;
  int bh, bw;
  std::vector<int> pads;  // crops for batch to space
};

TEST(SpaceToBatch, FloatWithAndWithoutPadding) {
  const BlockCase cases[] = {
      {"no padding", {2, 3, 4, 6}, 2, 3, {0, 0, 0, 0}},
      {"padded on every side", {2, 2, 3, 3}, 2, 2, {1, 0, 0, 1}},
      {"block 1 x 2", {1, 2, 2, 4}, 1, 2, {0, 0, 1, 1}},
  };
  for (const BlockCase &k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 1);
    Shape padded = k.shape;
    padded[2] += k.pads[0] + k.pads[1], padded[3] += k.pads[2] + k.pads[3];
    const Bytes want = ref::space_to_batch(zero_pad(in, k.shape, k.pads, 4), padded, k.bh, k.bw, 4);
    const int block[2] = {k.bh, k.bw};
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_space2batch(kDataIn, kDataOut, kDataBuf, k.shape.data(), 4, block, k.pads.data(), nullptr,
                                        node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(BatchToSpace, RestoresAndCrops) {
  const BlockCase cases[] = {
      {"the inverse of a 2 x 2 space to batch", {4, 1, 2, 2}, 2, 2, {0, 0, 0, 0}},
      {"crops (1, 0, 0, 1) through the buffer", {4, 1, 2, 2}, 2, 2, {1, 0, 0, 1}},
      {"two items, block 3 x 2", {12, 2, 2, 3}, 3, 2, {0, 2, 1, 1}},
  };
  for (const BlockCase &k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 2);
    const Bytes want = ref::batch_to_space(in, k.shape, k.bh, k.bw, k.pads, 4);
    const int block[2] = {k.bh, k.bw};
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   int out[4];
                   nodechip_batch2space(kDataIn, kDataOut, kDataBuf, k.shape.data(), 4, block, k.pads.data(), out,
                                        node);
                   EXPECT_EQ(size_t(out[0]) * out[1] * out[2] * out[3] * 4, want.size());
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

// 8-bit space to batch (batch to space when `inverse`) between store modes.
void check_blocks_fix8b(const BlockCase &k, bool inverse, int in_mode, int out_mode, u64 buffer) {
  const int k4N = FW_STORE_MODE_4N;
  const int n = k.shape[0];
  const size_t len = ref::count_of(k.shape) / size_t(n);
  const Bytes plain = pattern_bytes(ref::count_of(k.shape), 3);
  const Bytes in = in_mode == k4N ? ref::to_4n(plain, n, len, 0x21) : plain;
  Bytes want;
  Shape out_shape;
  if (inverse) {
    want = ref::batch_to_space(plain, k.shape, k.bh, k.bw, k.pads, 1);
    out_shape = {n / (k.bh * k.bw), k.shape[1], k.shape[2] * k.bh - k.pads[0] - k.pads[1],
                 k.shape[3] * k.bw - k.pads[2] - k.pads[3]};
  } else {
    Shape padded = k.shape;
    padded[2] += k.pads[0] + k.pads[1], padded[3] += k.pads[2] + k.pads[3];
    want = ref::space_to_batch(zero_pad(plain, k.shape, k.pads, 1), padded, k.bh, k.bw, 1);
    out_shape = {n * k.bh * k.bw, k.shape[1], padded[2] / k.bh, padded[3] / k.bw};
  }
  const int on = out_shape[0];
  const size_t out_len = want.size() / size_t(on);
  const int block[2] = {k.bh, k.bw};
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    LayerRunner rig(deferred(seed));
    put<u8>(rig, kDataIn, in);
    u64 bytes = ~0ull;
    auto call = [&](cmd_id_node_t *node, u64 *query) {
      if (inverse)
        nodechip_batch2space_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, query, k.shape.data(), 4, in_mode,
                                   out_mode, block, k.pads.data(), nullptr, node);
      else
        nodechip_space2batch_fix8b(kDataIn, kDataOut, kDataBuf, query, k.shape.data(), 4, in_mode, out_mode, block,
                                   k.pads.data(), nullptr, node);
    };
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
    EXPECT_EQ(bytes, buffer);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
    const Bytes got = out_mode == k4N
                          ? ref::from_4n(get<u8>(rig, kDataOut, (size_t(on) + 3) / 4 * 4 * out_len), on, out_len)
                          : get<u8>(rig, kDataOut, want.size());
    EXPECT_TRUE(got == want);
  }
}

TEST(SpaceToBatch, EightBitBetweenStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  const BlockCase plain = {"", {3, 2, 4, 4}, 2, 2, {0, 0, 0, 0}};
  const BlockCase padded = {"", {3, 2, 3, 2}, 2, 2, {1, 0, 1, 1}};
  SCOPED_TRACE("space to batch");
  {
    SCOPED_TRACE("1N to 1N");
    check_blocks_fix8b(plain, false, k1N, k1N, 0);
  }
  {
    SCOPED_TRACE("4N to 4N");
    check_blocks_fix8b(plain, false, k4N, k4N, 4 * 2 * 4 * 4);
  }
  {
    SCOPED_TRACE("4N to 1N, padded");
    check_blocks_fix8b(padded, false, k4N, k1N, 12 * 2 * 2 * 2);
  }
  {
    SCOPED_TRACE("1N to 4N, padded");
    check_blocks_fix8b(padded, false, k1N, k4N, 12 * 2 * 2 * 2);
  }
}

TEST(BatchToSpace, EightBitBetweenStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  const BlockCase whole = {"", {12, 2, 2, 2}, 2, 2, {0, 0, 0, 0}};
  const BlockCase cropped = {"", {8, 1, 3, 2}, 2, 2, {1, 1, 0, 1}};
  {
    SCOPED_TRACE("1N to 1N");
    check_blocks_fix8b(whole, true, k1N, k1N, 0);
  }
  {
    SCOPED_TRACE("1N to 1N, cropped");
    check_blocks_fix8b(cropped, true, k1N, k1N, 48);
  }
  {
    SCOPED_TRACE("4N to 4N");
    check_blocks_fix8b(whole, true, k4N, k4N, 4 * 2 * 4 * 4 + 96);
  }
  {
    SCOPED_TRACE("4N to 1N, cropped");
    check_blocks_fix8b(cropped, true, k4N, k1N, 48 + 48);
  }
  {
    SCOPED_TRACE("1N to 4N, cropped");
    check_blocks_fix8b(cropped, true, k1N, k4N, 96 + 48);
  }
  {
    SCOPED_TRACE("4N to 1N");
    check_blocks_fix8b(whole, true, k4N, k1N, 96 + 0 * 96);
  }
}

TEST(DepthToSpace, EveryLayoutBothWays) {
  // (1, 4, 1, 1) with block 2 x 2: channels 0-3 at (0, 0), (0, 1), (1, 0), (1, 1).
  {
    const std::vector<float> in = {10, 11, 12, 13};
    const int shape[4] = {1, 4, 1, 1}, block[2] = {2, 2};
    LayerRunner rig;
    rig.chip().ddr.store(kDataIn, in.data(), 16);
    ASSERT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_depth2space(kDataIn, kDataOut, shape, 4, block, 1, 1, 0, 0, node); }));
    std::vector<float> out(4);
    rig.chip().ddr.load(kDataOut, out.data(), 16);
    EXPECT_EQ(out, in);
  }
  const std::vector<int> to_nhwc = {0, 2, 3, 1};
  struct Case {
    Shape nchw;  // the input, logically
    int bh, bw, format;
  };
  const Case cases[] = {{{2, 12, 2, 3}, 2, 3, 0}, {{1, 8, 3, 2}, 2, 2, 3}, {{2, 4, 2, 1}, 1, 2, 4}};
  for (const Case &k : cases)
    for (int inverse = 0; inverse < 2; inverse++)
      for (int in_nchw = 0; in_nchw < 2; in_nchw++)
        for (int out_nchw = 0; out_nchw < 2; out_nchw++) {
          SCOPED_TRACE(std::string(inverse ? "space to depth" : "depth to space") + (in_nchw ? " NCHW" : " NHWC") +
                       " to" + (out_nchw ? " NCHW" : " NHWC") + ", format " + std::to_string(k.format));
          const size_t size = k.format == 0 ? 4 : k.format == 4 ? 2 : 1;
          // Space to depth takes the depth-to-space output shape as its input.
          Shape logical = k.nchw;
          if (inverse) logical = {k.nchw[0], k.nchw[1] / (k.bh * k.bw), k.nchw[2] * k.bh, k.nchw[3] * k.bw};
          const Bytes nchw = pattern_bytes(ref::count_of(logical) * size, 4);
          const Bytes result = inverse ? ref::space_to_depth(nchw, logical, k.bh, k.bw, size)
                                       : ref::depth_to_space(nchw, logical, k.bh, k.bw, size);
          const Shape out_logical = inverse ? k.nchw
                                            : Shape{k.nchw[0], k.nchw[1] / (k.bh * k.bw), k.nchw[2] * k.bh,
                                                    k.nchw[3] * k.bw};
          const Bytes in = in_nchw ? nchw : ref::permute_axes(nchw, logical, to_nhwc, size);
          const Bytes want = out_nchw ? result : ref::permute_axes(result, out_logical, to_nhwc, size);
          const Shape given = in_nchw ? logical : Shape{logical[0], logical[2], logical[3], logical[1]};
          const int block[2] = {k.bh, k.bw};
          on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                       [&](cmd_id_node_t *node) {
                         nodechip_depth2space(kDataIn, kDataOut, given.data(), 4, block, in_nchw, out_nchw, inverse,
                                              k.format, node);
                       },
                       [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
        }
}

TEST(Reorg, SpaceToDepthAndBack) {
  const Shape shape = {2, 8, 2, 3};  // as the layer is given it
  const Bytes in = pattern_bytes(ref::count_of(shape) * 4, 5);
  for (int reverse = 0; reverse < 2; reverse++) {
    SCOPED_TRACE(reverse ? "reverse: depth to space" : "space to depth");
    Bytes want;
    if (reverse)
      want = ref::depth_to_space(in, shape, 2, 2, 4);
    else
      want = ref::space_to_depth(in, {2, 2, 4, 6}, 2, 2, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_reorg_forward_v2(kDataIn, kDataOut, 0, shape.data(), 4, 2, 2, reverse, node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(Reorg8Bit, PlacesItsImagesAndRefusesWhatPassesTheLane) {
  struct Case {
    const char *what;
    int in[4], out[4];
    reorg_fix8b_plan_t want;  // groups .. stores; the areas are checked apart
  };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
  const u64 K = 1024;
  const Case cases[] = {
      // G = 2; 16 channels: one lane row of 32-element planes; 3 shifted copies.
      {"depth to space, five items", {5, 16, 3, 3}, {5, 4, 6, 6}, {2, 1, 2, 1, 0, 256, 512, 768, 64 * K, 128 * K, 1}},
      {"space to depth, 4 divides h", {5, 8, 4, 4}, {5, 32, 2, 2}, {2, 0, 2, 1, 4, 256, 256, 0, 0, 64 * K, 4}},
      {"space to depth, 4 does not divide 6", {1, 64, 6, 6}, {1, 256, 3, 3}, {1, 0, 2, 2, 4, 256, 512, 256, 64 * K, 128 * K, 128}},
      {"space to depth, runs of 2 over 3 channels", {1, 3, 2, 2}, {1, 12, 1, 1}, {1, 0, 2, 2, 4, 128, 128, 128, 64 * K, 128 * K, 8}},
      // Images of 256 KiB each end exactly at the lane's end.
      {"fills the lane", {4, 64, 256, 256}, {4, 256, 128, 128}, {1, 0, 2, 1, 4, 256 * K, 256 * K, 0, 0, 256 * K, 4}},
  };
#pragma GCC diagnostic pop
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    reorg_fix8b_plan_t p;
    reorg_fix8b_plan_of(k.in, k.out, &p);
    EXPECT_EQ(p.groups, k.want.groups);
    EXPECT_EQ(p.depth_to_space, k.want.depth_to_space);
    EXPECT_EQ(p.stride, k.want.stride);
    EXPECT_EQ(p.k, k.want.k);
    EXPECT_EQ(p.reps, k.want.reps);
    EXPECT_EQ(p.in_size, k.want.in_size);
    EXPECT_EQ(p.out_size, k.want.out_size);
    EXPECT_EQ(p.buffer_bytes, k.want.buffer_bytes);
    EXPECT_EQ(p.bottom, k.want.bottom);
    EXPECT_EQ(p.top, k.want.top);
    EXPECT_EQ(p.stores, k.want.stores);
    EXPECT_TRUE(local_areas_valid(p.areas, 3));
  }
  // Eight items double the images of the last case: the output image passes the lane.
  const int big_in[4] = {8, 64, 256, 256}, big_out[4] = {8, 256, 128, 128};
  expect_assert([&](cmd_id_node_t *n) { nodechip_reorg_forward_fix8b(kDataIn, kDataOut, big_in, big_out, 0, n); },
                "ASSERT", "firmware/layers/", "nodechip_reorg_forward_fix8b",
                "top_local_offset + top_local_tsize <= (1<<19)", "none.");
}

// 4N data moves as 32-bit words, so the reference rearranges words, group by group.
TEST(Reorg8Bit, RearrangesFourNWordsBothWays) {
  namespace ar = ref::arrange;
  struct Case {
    const char *what;
    int in[4], out[4];
  };
  const Case cases[] = {
      {"depth to space, five items", {5, 16, 3, 3}, {5, 4, 6, 6}},
      {"depth to space, four items", {4, 20, 3, 5}, {4, 5, 6, 10}},
      {"space to depth, five items", {5, 8, 8, 8}, {5, 32, 4, 4}},
      {"space to depth, two lane rows", {2, 128, 8, 4}, {2, 512, 4, 2}},
      {"space to depth, 4 does not divide h", {1, 64, 6, 6}, {1, 256, 3, 3}},
      {"space to depth, 4 does not divide h, six items", {6, 8, 6, 10}, {6, 32, 3, 5}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int G = (k.in[0] + 3) / 4;
    ar::W4 in(G, k.in[1], k.in[2], k.in[3]);
    for (size_t i = 0; i < in.v.size(); i++) in.v[i] = 0x01000193u * (u32)(i + 1);
    ar::W4 want(G, k.out[1], k.out[2], k.out[3]);
    for (int g = 0; g < G; g++) {
      ar::W4 one(1, in.c, in.h, in.w);
      std::copy(in.v.begin() + (long)g * (long)one.v.size(), in.v.begin() + (long)(g + 1) * (long)one.v.size(),
                one.v.begin());
      const ar::W4 r = k.out[1] < k.in[1] ? ar::depth_to_space(one, k.out[2] / k.in[2])
                                          : ar::flat_reorg(one, k.in[2] / k.out[2]);
      std::copy(r.v.begin(), r.v.end(), want.v.begin() + (long)g * (long)r.v.size());
    }
    on_each_seed([&](FirmwareRig &rig) { rig.chip().ddr.store(kDataIn, in.v.data(), in.v.size() * 4); },
                 [&](cmd_id_node_t *node) { nodechip_reorg_forward_fix8b(kDataIn, kDataOut, k.in, k.out, 0, node); },
                 [&](FirmwareRig &rig) {
                   std::vector<u32> got(want.v.size());
                   rig.chip().ddr.load(kDataOut, got.data(), got.size() * 4);
                   EXPECT_TRUE(got == want.v);
                 });
  }
}

// When k does not divide c, the last lane row of each group holds fewer than k
// channels: its store stops at the group's end instead of overwriting the next
// group's first channel (or writing past the output). Channels 0 and 1 of each
// group come from lane 0 alone, so they match those of a four-channel input
// whose first three channels are the same.
TEST(Reorg8Bit, ShortLastRunStaysInsideItsGroup) {
  const int plane = 9, rows = 36;  // out 3 x 3, in 6 x 6; k = 2
  auto run = [&](uint64_t seed, int c) {
    LayerRunner rig(deferred(seed));
    std::vector<u32> in((size_t)c * rows);
    for (size_t i = 0; i < in.size(); i++) in[i] = (u32)i + 1;
    rig.chip().ddr.store(kDataIn, in.data(), in.size() * 4);
    const std::vector<u32> canary(64, 0xdeadbeefu);
    const u64 end = kDataOut + (u64)c * rows * 4;
    rig.chip().ddr.store(end, canary.data(), canary.size() * 4);
    const int in_shape[4] = {1, c, 6, 6}, out_shape[4] = {1, 4 * c, 3, 3};
    EXPECT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_reorg_forward_fix8b(kDataIn, kDataOut, in_shape, out_shape, 0, node); }));
    std::vector<u32> after(canary.size()), out((size_t)c * rows);
    rig.chip().ddr.load(end, after.data(), after.size() * 4);
    EXPECT_TRUE(after == canary) << c << " channels: written past the output";
    rig.chip().ddr.load(kDataOut, out.data(), out.size() * 4);
    return out;
  };
  for (uint64_t seed : deferred_seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<u32> three = run(seed, 3), four = run(seed, 4);
    for (int j = 0; j < 4; j++)
      for (int ch = 0; ch < 2; ch++)
        for (int e = 0; e < plane; e++)
          ASSERT_EQ(three[(size_t)(3 * j + ch) * plane + e], four[(size_t)(4 * j + ch) * plane + e])
              << "group " << j << ", channel " << ch << ", element " << e;
  }
}

TEST(Reshape, FourNToOneN) {
  const int n = 6, c = 3, h = 2, w = 5;
  const size_t len = size_t(c) * h * w;
  const Bytes plain = pattern_bytes(n * len, 6);
  const Bytes four = ref::to_4n(plain, n, len, 0x99);
  on_each_seed(
      [&](FirmwareRig &rig) { put<u8>(rig, kDataIn, four); },
      [&](cmd_id_node_t *node) { nodechip_reshape_fix8b(kDataIn, kDataOut, n, c, h, w, 9, 9, 9, 9, 2, 0, node); },
      [&](FirmwareRig &rig) {
        EXPECT_EQ(rig.chip().engines.gdma.commands().size(), 2u) << "4 items, then 2";
        EXPECT_TRUE(get<u8>(rig, kDataOut, plain.size()) == plain);
      });
}

TEST(Rearrange, BlockChecksFail) {
  const int shape[4] = {4, 1, 2, 2}, block[2] = {2, 2}, none[4] = {0, 0, 0, 0};
  struct Bad {
    const char *kind, *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "nodechip_space2batch", "input_dim == 4",
       [&](cmd_id_node_t *n) { nodechip_space2batch(kDataIn, kDataOut, kDataBuf, shape, 3, block, none, nullptr, n); }},
      {"ASSERT_FS", "nodechip_batch2space", "input_dim == 4",
       [&](cmd_id_node_t *n) { nodechip_batch2space(kDataIn, kDataOut, kDataBuf, shape, 5, block, none, nullptr, n); }},
      {"ASSERT", "nodechip_space2batch_fix8b", "input_dim == 4",
       [&](cmd_id_node_t *n) {
         nodechip_space2batch_fix8b(kDataIn, kDataOut, kDataBuf, nullptr, shape, 3, 0, 0, block, none, nullptr, n);
       }},
      {"ASSERT", "nodechip_space2batch_fix8b", "input_addr != output_addr",
       [&](cmd_id_node_t *n) {
         nodechip_space2batch_fix8b(kDataIn, kDataIn, kDataBuf, nullptr, shape, 4, 0, 0, block, none, nullptr, n);
       }},
      {"ASSERT", "nodechip_batch2space_fix8b", "in_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_batch2space_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, nullptr, shape, 4, 1, 0, block, none,
                                    nullptr, n);
       }},
      {"ASSERT", "nodechip_batch2space_fix8b", "out_store_mode != FW_STORE_MODE_2N",
       [&](cmd_id_node_t *n) {
         nodechip_batch2space_fix8b(kDataIn, kDataOut, kDataBuf, kDataBuf2, nullptr, shape, 4, 0, 1, block, none,
                                    nullptr, n);
       }},
      {"ASSERT", "nodechip_batch2space_fix8b", "input_addr != output_addr",
       [&](cmd_id_node_t *n) {
         nodechip_batch2space_fix8b(kDataIn, kDataIn, kDataBuf, kDataBuf2, nullptr, shape, 4, 0, 0, block, none,
                                    nullptr, n);
       }},
      {"ASSERT_FS", "nodechip_depth2space", "input_dims == 4",
       [&](cmd_id_node_t *n) { nodechip_depth2space(kDataIn, kDataOut, shape, 3, block, 1, 1, 0, 0, n); }},
      {"ASSERT_FS", "nodechip_reorg_forward_v2", "bottom_dims == 4",
       [&](cmd_id_node_t *n) { nodechip_reorg_forward_v2(kDataIn, kDataOut, 0, shape, 3, 2, 2, 0, n); }},
      {"ASSERT_FS", "nodechip_reshape_fix8b", "in_tensor_global_store_mode==2",
       [&](cmd_id_node_t *n) { nodechip_reshape_fix8b(kDataIn, kDataOut, 4, 1, 1, 1, 0, 0, 0, 0, 0, 0, n); }},
      {"ASSERT_FS", "nodechip_reshape_fix8b", "out_tensor_global_store_mode==0",
       [&](cmd_id_node_t *n) { nodechip_reshape_fix8b(kDataIn, kDataOut, 4, 1, 1, 1, 0, 0, 0, 0, 2, 2, n); }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(std::string(b.function) + ": " + b.condition);
    expect_assert(b.call, b.kind, "firmware/layers/", b.function, b.condition, "none.");
  }
}

}  // namespace
}  // namespace zv::test
