// Tile and broadcast_like as firmware code on the chip model, against plain
// references.
#include <string>
#include <vector>

#include "cmd/tensor_shape.h"
#include "layers/data/data_rig.h"
#include "layers/data/tile.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

using ref::Bytes;
using ref::Shape;

std::string plan_text(const std::vector<int> &coeff) {
  tile_plan_t p;
  tile_plan_of(coeff.data(), int(coeff.size()), &p);
  std::string s;
  for (int i = 0; i < p.steps; i++) s += "{" + std::to_string(p.axis[i]) + "x" + std::to_string(p.count[i]) + "}";
  return s;
}

TEST(TilePlan, SmallestCountFirst) {
  EXPECT_EQ(plan_text({1, 2, 1, 3}), "{1x2}{3x3}");
  EXPECT_EQ(plan_text({5, 1, 2, 1, 1, 1, 1, 4}), "{2x2}{7x4}{0x5}");
  EXPECT_EQ(plan_text({1, 1, 1}), "");
}

TEST(Tile, OneAxis) {
  struct Case {
    const char *what;
    Shape shape;
    int dim, num, flag;
    size_t commands;
  };
  const Case cases[] = {
      {"channels 3 times, block", {2, 3, 4, 5}, 1, 3, 0, 1},
      {"channels 3 times, each element", {2, 3, 4, 5}, 1, 3, 1, 1},
      {"axis -1 is w", {2, 2, 1, 3}, -1, 2, 0, 1},
      {"batch, count 1", {3, 1, 2, 2}, 0, 1, 0, 1},
      {"rows above 65535: row copies", {2, 1, 1, 70000}, 2, 2, 0, 2 * 2},
      {"a count above 65535: row copies", {1, 2, 1, 1}, 3, 70000, 1, 2 * 2},
  };
  for (int fix8b = 0; fix8b < 2; fix8b++)
    for (const Case &k : cases) {
      SCOPED_TRACE(std::string(k.what) + (fix8b ? ", 8-bit entry" : ""));
      const int dim = k.dim < 0 ? k.dim + 4 : k.dim;
      std::vector<int> coeff = {1, 1, 1, 1};
      coeff[dim] = k.num;
      const size_t size = fix8b ? 1 : 4;
      const int format = fix8b ? 3 : 0;
      const Bytes in = pattern_bytes(ref::count_of(k.shape) * size, 1);
      const Bytes want = ref::tile(in, k.shape, coeff, k.flag, size);
      on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                   [&](cmd_id_node_t *node) {
                     (fix8b ? nodechip_tile_forward_fix8b : nodechip_tile_forward)(
                         kDataIn, kDataOut, k.shape[0], k.shape[1], k.shape[2], k.shape[3], k.dim, k.num, format,
                         format, k.flag, node);
                   },
                   [&](FirmwareRig &rig) {
                     EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
                     EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
                   });
    }
}

TEST(Tile, FloatOfUpToEightAxes) {
  struct Case {
    const char *what;
    Shape shape;
    std::vector<int> coeff;
    int flag;
  };
  const Case cases[] = {
      {"(1, 2, 1, 3): two steps, the first into the buffer", {2, 3, 2, 2}, {1, 2, 1, 3}, 0},
      {"three steps, each element", {2, 1, 3, 2}, {2, 3, 1, 2}, 1},
      {"no count above 1: one copy", {2, 3, 4}, {1, 1, 1}, 0},
      {"8 axes", {1, 2, 1, 2, 1, 1, 2, 1}, {2, 1, 1, 1, 3, 1, 1, 2}, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes in = pattern_bytes(ref::count_of(k.shape) * 4, 2);
    const Bytes want = ref::tile(in, k.shape, k.coeff, k.flag, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_tile_full(kDataIn, kDataBuf, kDataOut, k.shape.data(), k.coeff.data(),
                                      int(k.shape.size()), 0, 0, k.flag, node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(Tile, EightBitBetweenStoreModes) {
  const int k1N = FW_STORE_MODE_1N, k4N = FW_STORE_MODE_4N;
  struct Case {
    const char *what;
    Shape shape;
    std::vector<int> coeff;
    int in_mode, out_mode, flag;
    u64 buffer;
  };
  const Case cases[] = {
      {"1N, one axis", {3, 2, 2, 2}, {1, 2, 1, 1}, k1N, k1N, 0, 0},
      {"1N, two axes", {3, 2, 2, 2}, {1, 2, 1, 3}, k1N, k1N, 1, 3 * 4 * 2 * 6 / 3},
      {"4N kept: words", {6, 2, 1, 3}, {1, 1, 2, 2}, k4N, k4N, 0, 8 * 2 * 2 * 6 / 2},
      {"4N batch tiled: through 1N and back", {3, 2, 2, 1}, {2, 1, 1, 1}, k4N, k4N, 0, 8 * 4},
      {"4N batch tiled into 1N", {5, 1, 2, 2}, {3, 1, 2, 1}, k4N, k1N, 1, 15 * 8 / 3},
      {"1N into 4N without a count", {5, 2, 3, 1}, {1, 1, 1, 1}, k1N, k4N, 0, 8 * 6},
      {"4N kept into 1N: whole groups in the buffer", {5, 2, 1, 1}, {1, 1, 2, 1}, k4N, k1N, 0, 8 * 4},
      {"6 axes, the tail folded", {2, 1, 2, 1, 2, 3}, {1, 2, 1, 1, 1, 2}, k1N, k1N, 1, 96 / 2},
      {"6 axes, axis 2 folded with the middle", {2, 1, 2, 2, 1, 3}, {1, 1, 2, 1, 1, 1}, k1N, k1N, 0, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const int n = k.shape[0];
    const size_t len = ref::count_of(k.shape) / size_t(n);
    const Bytes plain = pattern_bytes(ref::count_of(k.shape), 3);
    const Bytes in = k.in_mode == k4N ? ref::to_4n(plain, n, len, 0x33) : plain;
    const Bytes want = ref::tile(plain, k.shape, k.coeff, k.flag, 1);
    const int on = n * k.coeff[0];
    const size_t out_len = want.size() / size_t(on);
    for (uint64_t seed : deferred_seeds()) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      LayerRunner rig(deferred(seed));
      put<u8>(rig, kDataIn, in);
      u64 bytes = ~0ull;
      auto call = [&](cmd_id_node_t *node, u64 *query) {
        nodechip_tile_full_fix8b(kDataIn, kDataOut, kDataBuf, query, k.shape.data(), k.coeff.data(),
                                 int(k.shape.size()), k.in_mode, k.out_mode, k.flag, node);
      };
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, &bytes); }));
      EXPECT_EQ(bytes, k.buffer);
      EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { call(node, nullptr); }));
      const Bytes got = k.out_mode == k4N
                            ? ref::from_4n(get<u8>(rig, kDataOut, (size_t(on) + 3) / 4 * 4 * out_len), on, out_len)
                            : get<u8>(rig, kDataOut, want.size());
      EXPECT_TRUE(got == want);
    }
  }
}

TEST(BroadcastLike, TilesUpToTheTarget) {
  const Shape shape = {1, 3, 1}, target = {2, 3, 4};
  std::vector<int> coeff(3);
  EXPECT_EQ(get_broadcast_like_tile_coeff(shape.data(), 3, target.data(), 3, nullptr, nullptr, 0, coeff.data()), 3);
  EXPECT_EQ(coeff, (std::vector<int>{2, 1, 4}));
  const int axes[1] = {-1}, target_axes[1] = {0};
  get_broadcast_like_tile_coeff(shape.data(), 3, target.data(), 3, axes, target_axes, 1, coeff.data());
  EXPECT_EQ(coeff, (std::vector<int>{1, 1, 2}));
  for (int is_8bit = 0; is_8bit < 2; is_8bit++) {
    SCOPED_TRACE(is_8bit ? "8-bit" : "float");
    const size_t size = is_8bit ? 1 : 4;
    const Bytes in = pattern_bytes(3 * size, 4);
    const Bytes want = ref::tile(in, shape, {2, 1, 4}, 0, size);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_broadcast_like(kDataIn, kDataBuf, kDataOut, shape.data(), 3, target.data(), 3, nullptr,
                                           nullptr, 0, is_8bit, 0, 0, node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(Tile, BadArgumentsFailTheirChecks) {
  const int shape[6] = {2, 2, 2, 2, 2, 2}, coeff[6] = {1, 1, 1, 2, 1, 2}, nine[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  struct Bad {
    const char *kind, *function, *condition, *info;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"ASSERT_FS", "nodechip_tile_forward", "input_n > 0 && input_c > 0 && input_h > 0 && input_w > 0", "none.",
       [](cmd_id_node_t *n) { nodechip_tile_forward(kDataIn, kDataOut, 1, 0, 1, 1, 1, 2, 0, 0, 0, n); }},
      {"ASSERT_FS", "nodechip_tile_forward", "tile_dim >= 0 && tile_dim < TENSOR_DIM_NUM",
       "tile_dim=4 must in range [0, 4)",
       [](cmd_id_node_t *n) { nodechip_tile_forward(kDataIn, kDataOut, 1, 1, 1, 1, 4, 2, 0, 0, 0, n); }},
      {"ASSERT", "nodechip_tile_forward_fix8b", "tile_dim >= 0 && tile_dim < TENSOR_DIM_NUM",
       "tile_dim=-1 must in range [0, 4)",
       [](cmd_id_node_t *n) { nodechip_tile_forward_fix8b(kDataIn, kDataOut, 1, 1, 1, 1, -5, 2, 3, 3, 0, n); }},
      {"ASSERT_FS", "nodechip_tile_full", "input_dim <= 8", "none.",
       [&](cmd_id_node_t *n) { nodechip_tile_full(kDataIn, kDataBuf, kDataOut, nine, nine, 9, 0, 0, 0, n); }},
      {"ASSERT", "nodechip_tile_full_fix8b", "0", "none.",
       [&](cmd_id_node_t *n) {
         nodechip_tile_full_fix8b(kDataIn, kDataOut, kDataBuf, nullptr, shape, coeff, 6, 0, 0, 0, n);
       }},
      {"ASSERT", "nodechip_tile_dim4_fix8b", "input_dim == 4", "none.",
       [&](cmd_id_node_t *n) {
         nodechip_tile_dim4_fix8b(kDataIn, kDataOut, kDataBuf, nullptr, shape, coeff, 3, 0, 0, 0, n);
       }},
      {"ASSERT", "nodechip_tile_dim4_fix8b", "in_store_mode != FW_STORE_MODE_2N", "none.",
       [&](cmd_id_node_t *n) {
         nodechip_tile_dim4_fix8b(kDataIn, kDataOut, kDataBuf, nullptr, shape, coeff, 4, 1, 0, 0, n);
       }},
      {"ASSERT", "nodechip_tile_dim4_fix8b", "out_store_mode != FW_STORE_MODE_2N", "none.",
       [&](cmd_id_node_t *n) {
         nodechip_tile_dim4_fix8b(kDataIn, kDataOut, kDataBuf, nullptr, shape, coeff, 4, 0, 1, 0, n);
       }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    expect_assert(b.call, b.kind, "firmware/layers/", b.function, b.condition, b.info);
  }
}

}  // namespace
}  // namespace zv::test
