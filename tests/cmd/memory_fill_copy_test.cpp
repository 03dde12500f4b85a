// The memory fill and copy layers and the store-mode transfers, run as
// firmware code on the chip model: how long rows are cut, what lands in
// memory, and the checks.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "runtime/engine_wait.h"
#include "fw_test.h"
#include "runtime/hw.h"
#include "ref/memory_ref.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/memory_store_mode.h"

namespace zv::test {
namespace {

constexpr u64 kDdr = 0x100000000ull;

std::vector<u8> pattern(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<u8>(i * 7 + seed * 13 + (i >> 8));
  return v;
}

// Shape and destination of the GDMA commands issued, as "NxCxHxW@offset" from `base`.
std::vector<std::string> fills(chip::Chip &c, u64 base) {
  std::vector<std::string> out;
  for (const auto &r : c.engines.gdma.commands()) {
    const auto &d = r.descriptor;
    const u64 dst = d.word(17) | u64{d.field(584, 8)} << 32;
    out.push_back(std::to_string(d.field(448, 16)) + "x" + std::to_string(d.field(464, 16)) + "x" +
                  std::to_string(d.field(480, 16)) + "x" + std::to_string(d.field(496, 16)) + "@" +
                  std::to_string(dst - base));
  }
  return out;
}

TEST(MemoryLayers, MemsetCutsLongRowsAndFillsEachWordOnce) {
  struct Case {
    int n, w;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {2, 100, {"2x1x1x100@0"}},
      {1, 65536, {"1x1x2x32768@0"}},
      {1, 70000, {"1x1x2x32768@0", "1x1x1x4464@262144"}},
      {3, 40000, {"3x1x1x40000@0"}},
      // N rows of the whole pieces, then N rows of the rest after all of them.
      {3, 70000, {"3x1x2x32768@0", "3x1x1x4464@786432"}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::to_string(k.n) + " x " + std::to_string(k.w));
    LayerRunner rig;
    const size_t words = static_cast<size_t>(k.n) * k.w;
    put<u8>(rig.chip(), kDdr, std::vector<u8>(4 * words + 8, 0x5a));
    ASSERT_TRUE(rig.call(
        [&](cmd_id_node_t *node) { nodechip_memset(kDdr + 4, k.n, 1, 1, k.w, k.w, k.w, k.w, 0x04030201, node); }));
    EXPECT_EQ(fills(rig.chip(), kDdr + 4), k.commands);
    std::vector<u8> want(4 * words + 8, 0x5a);
    for (size_t i = 0; i < words; i++) std::memcpy(&want[4 + 4 * i], "\x01\x02\x03\x04", 4);
    EXPECT_TRUE(get<u8>(rig.chip(), kDdr, want.size()) == want);
  }
}

TEST(MemoryLayers, ChecksOfTheFillsAndCopies) {
  struct Case {
    const char *what;
    std::function<void(cmd_id_node_t *)> call;
    std::string function, condition, info;
  };
  const Case cases[] = {
      {"memset of a region that is not dense",
       [](cmd_id_node_t *n) { nodechip_memset(kDdr, 1, 2, 1, 8, 8, 8, 8, 0, n); }, "nodechip_memset",
       "input_c == 1 && input_h == 1 && stride_n == input_w && stride_c == input_w && stride_h == input_w", "none."},
      {"memset_byte of 65536 rows",
       [](cmd_id_node_t *n) { nodechip_memset_byte(kDdr, 65536, 1, 1, 1, 1, 1, 1, 1, 0, n); }, "nodechip_memset_byte",
       "input_n < (1 << 16) && input_w * input_h < (1 << 16)", "none."},
      {"memset_byte with C 2",
       [](cmd_id_node_t *n) { nodechip_memset_byte(kDdr, 1, 2, 1, 4, 4, 4, 4, 1, 0, n); }, "nodechip_memset_byte",
       "input_h == 1 && input_c == 1", "none."},
      {"memcpy_tensor with C 4096",
       [](cmd_id_node_t *n) {
         nodechip_memcpy_tensor(kDdr, kDdr + 0x100000, 1, 4096, 1, 1, 4096, 1, 1, 1, 4096, 1, 1, 1, 4, n);
       },
       "nodechip_memcpy_tensor", "n < (1 << 16) && c < (1 << 12) && h < (1 << 16) && w < (1 << 16)", "none."},
      // An element size without a format would issue nothing and report success.
      {"memcpy_tensor of 3-byte elements",
       [](cmd_id_node_t *n) { nodechip_memcpy_tensor(kDdr, kDdr + 0x100, 1, 1, 1, 4, 4, 4, 4, 1, 4, 4, 4, 1, 3, n); },
       "nodechip_memcpy_tensor", "format_of_type_size(type_size, &format)", "type_size=3, 1, 2 or 4 expected"},
      {"memcpy_wstride of 8-byte elements",
       [](cmd_id_node_t *n) { nodechip_memcpy_wstride(kDdr, kDdr + 0x100, 1, 1, 4, 8, n); },
       "nodechip_memcpy_wstride", "format_of_type_size(type_size, &format)", "type_size=8, 1, 2 or 4 expected"},
      {"1N and 4N at one address",
       [](cmd_id_node_t *n) { gdma_move_global_1N_and_4N(kDdr, kDdr, 4, 16, 1, n); }, "gdma_move_global_1N_and_4N",
       "global_1N_addr != global_4N_addr", "none."},
      {"local load wider than the tensor",
       [](cmd_id_node_t *n) { gdma_move_global1N_local2N4N(kDdr, 0, 0, 4, 2, 2, 2, 2, 2, 3, 0, 1, 0, n); },
       "gdma_move_global1N_local2N4N", "local_w <= global_w", "none."},
      {"DTCM copy of 65536 bytes",
       [](cmd_id_node_t *n) { pack_info_to_dtcm(kDdr, 0x02020000, 65536, n); }, "pack_info_to_dtcm",
       "len < (1 << 16)", "none."},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FirmwareRig rig;
    EXPECT_TRUE(stopped_on(rig.run_layer(k.call), "ASSERT", "firmware/", k.function, k.condition, k.info));
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
  }
  FirmwareRig rig;
  EXPECT_TRUE(stopped_on(rig.run_layer([](cmd_id_node_t *n) {
                  gdma_move_global1N_local2N4N(kDdr, 0, 0, 4, 2, 2, 2, 2, 2, 2, 1, 1, 0, n);
                }),
                "ASSERT_FS", "firmware/", "gdma_move_global1N_local2N4N", "0", "none."));
}

TEST(MemoryLayers, ByteAndStridedCopiesCutLongRows) {
  struct Case {
    const char *what;
    u64 src_stride, dst_stride, count;  // elements (w strides)
    u32 type_size;
    bool wstride;  // nodechip_memcpy_wstride, else nodechip_memcpy_byte
    size_t commands;
  };
  const Case cases[] = {
      {"65535 bytes: one move", 1, 1, 65535, 1, false, 1},
      {"65536 bytes: one move of two pieces", 1, 1, 65536, 1, false, 1},
      {"100000 bytes: pieces, then the rest", 1, 1, 100000, 1, false, 2},
      {"every third word", 3, 1, 5, 4, true, 1},
      {"70000 half-words, every other one", 2, 1, 70000, 2, true, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    LayerRunner rig;
    const u64 src = kDdr + 0x10, dst = kDdr + 0x400010;
    const size_t src_bytes = k.count * k.src_stride * k.type_size, dst_bytes = k.count * k.dst_stride * k.type_size;
    const std::vector<u8> in = pattern(src_bytes, 1), old = pattern(dst_bytes + 16, 2);
    put<u8>(rig.chip(), src, in);
    put<u8>(rig.chip(), dst, old);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.wstride)
        nodechip_memcpy_wstride(src, dst, (int)k.src_stride, (int)k.dst_stride, (int)k.count, k.type_size, node);
      else
        nodechip_memcpy_byte(src, dst, k.count, node);
    }));
    EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
    std::vector<u8> want = old;
    for (u64 i = 0; i < k.count; i++)
      std::memcpy(&want[i * k.dst_stride * k.type_size], &in[i * k.src_stride * k.type_size], k.type_size);
    EXPECT_TRUE(get<u8>(rig.chip(), dst, want.size()) == want);
  }
}

TEST(MemoryLayers, OneNAndFourNAgainstAByteInterleave) {
  struct Case {
    const char *what;
    int n, len;
    std::string first;  // the first move's source shape
  };
  const Case cases[] = {
      {"N 6: lanes 0 and 1 carry two items, lanes 2 and 3 one", 6, 10, "2x1x1x10"},
      {"an item factored by 2: c 4, w 49152", 1, 196608, "1x4x1x49152"},
      {"an odd item: c 1, w 65535, rest 2", 6, 65537, "2x1x1x65535"},
      {"twice that: c 2, w 65535, rest 2", 3, 2 * 65537, "1x2x1x65535"},
      {"three items", 3, 7, "1x1x1x7"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    LayerRunner rig;
    chip::Chip &c = rig.chip();
    const size_t one_bytes = static_cast<size_t>(k.n) * k.len, four_bytes = (k.n + 3) / 4 * 4 * static_cast<size_t>(k.len);
    const u64 one = kDdr, four = kDdr + 0x1000000, back = kDdr + 0x2000000;
    const std::vector<u8> items = pattern(one_bytes, 3);
    put<u8>(c, one, items);
    put<u8>(c, four, std::vector<u8>(four_bytes, 0xee));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { gdma_move_global_1N_and_4N(one, four, k.n, k.len, 1, node); }));
    const auto &d = c.engines.gdma.commands().front().descriptor;
    EXPECT_EQ(std::to_string(d.field(384, 16)) + "x" + std::to_string(d.field(400, 16)) + "x" +
                  std::to_string(d.field(416, 16)) + "x" + std::to_string(d.field(432, 16)),
              k.first);
    EXPECT_TRUE(get<u8>(c, four, four_bytes) == ref::to_4n(items, k.n, k.len, 0xee));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { gdma_move_global_1N_and_4N(back, four, k.n, k.len, 0, node); }));
    EXPECT_TRUE(get<u8>(c, back, one_bytes) == items) << "and back to 1N";
  }
}

TEST(MemoryLayers, OneNLoadsIntoLocalMemoryAsFourN) {
  // N 5: a group of four items and a group of one; channels from lane 62 wrap
  // to lane 0 one channel stride further on.
  const int N = 5, gc = 4, gh = 3, gw = 5, lc = 3, lh = 2, lw = 3, lane0 = 62;
  const u32 offset = 0x100;
  const int m = 4 * 32;  // 4 items x the 6-element plane rounded up to 32
  LayerRunner rig;
  chip::Chip &c = rig.chip();
  const std::vector<u8> g = pattern(static_cast<size_t>(N) * gc * gh * gw, 4);
  put<u8>(c, kDdr, g);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    gdma_move_global1N_local2N4N(kDdr, offset, lane0, N, gc, gh, gw, lc, lh, lw, 0, 1, 1, node);
  }));
  EXPECT_EQ(c.engines.gdma.commands().size(), 2u);
  for (int n = 0; n < N; n++)
    for (int ch = 0; ch < lc; ch++)
      for (int h = 0; h < lh; h++)
        for (int w = 0; w < lw; w++) {
          const int lane = (lane0 + ch) % 64, wraps = (lane0 + ch) / 64;
          const u32 at = offset + (n / 4) * m + wraps * m + (h * lw + w) * 4 + n % 4;
          const u8 got = c.local.ptr(0x08000000u + lane * 0x80000u + at, 1)[0];
          ASSERT_EQ(got, g[((n * gc + ch) * gh + h) * gw + w]) << n << " " << ch << " " << h << " " << w;
        }
}

TEST(MemoryLayers, OneNLoadsIntoLocalMemoryAsTwoN) {
  // 16-bit items in pairs: item 2g + i in half-word i of each word of pair g.
  // N 5: two pairs and a last single item; channels from lane 63 wrap.
  const int N = 5, gc = 3, gh = 2, gw = 4, lc = 2, lh = 2, lw = 3, lane0 = 63;
  const u32 offset = 0x200;
  const u32 m = 2 * 32 * 2;  // channel stride: 2 items x the 6-element plane rounded up to 32, 2 bytes each
  for (u64 seed : deferred_seeds()) {
    LayerRunner rig(deferred(seed));
    chip::Chip &c = rig.chip();
    const std::vector<u8> g = pattern(static_cast<size_t>(N) * gc * gh * gw * 2, 6);
    put<u8>(c, kDdr, g);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      gdma_move_global1N_local2N4N(kDdr, offset, lane0, N, gc, gh, gw, lc, lh, lw, 0, 0, 1, node);
    }));
    EXPECT_EQ(c.engines.gdma.commands().size(), 3u);
    for (int n = 0; n < N; n++)
      for (int ch = 0; ch < lc; ch++)
        for (int h = 0; h < lh; h++)
          for (int w = 0; w < lw; w++) {
            const int lane = (lane0 + ch) % 64, wraps = (lane0 + ch) / 64;
            const u32 at = offset + (n / 2) * m + wraps * m + ((h * lw + w) * 2 + n % 2) * 2;
            const u8 *got = c.local.ptr(0x08000000u + lane * 0x80000u + at, 2);
            const size_t from = ((size_t(n) * gc + ch) * gh + h) * gw + w;
            ASSERT_EQ(got[0], g[2 * from]) << n << " " << ch << " " << h << " " << w;
            ASSERT_EQ(got[1], g[2 * from + 1]) << n << " " << ch << " " << h << " " << w;
          }
  }
}

TEST(MemoryLayers, PackInfoToDtcmCopiesAndWaits) {
  LayerRunner rig(deferred(3));
  const std::vector<u8> info = pattern(100, 5);
  put<u8>(rig.chip(), kDdr + 8, info);
  std::vector<u8> seen(100);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    EXPECT_EQ(pack_info_to_dtcm(kDdr + 8, 0x02020000, 100, node), 0u);
    // Waited: the ARM may read the window at once.
    std::memcpy(seen.data(), hw_ptr(0x02020000, 100), 100);
  }));
  EXPECT_EQ(seen, info);
}

}  // namespace
}  // namespace zv::test
