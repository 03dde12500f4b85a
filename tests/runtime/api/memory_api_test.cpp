// The memory APIs end to end: messages through the host driver and the ring,
// results read back from device memory, under the deferred schedule with
// several seeds and the happens-before checker on, and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "fw_test.h"
#include "cmd/memory_fill_copy.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kDdr = 0x101000000ull;

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 5 + seed * 31 + (i >> 9));
  return v;
}

TEST(MemoryApi, MemsetFillsPatternsAndWords) {
  struct Case {
    const char *what;
    uint32_t mode, byte_count, value;
    size_t commands;
  };
  const Case cases[] = {
      {"mode 2 over 10 bytes: two fills of 5", 2, 10, 0x0000bbaa, 2},
      {"mode 3 over 10 bytes leaves byte 9", 3, 10, 0x00ccbbaa, 3},
      {"mode 1 over 65537 bytes: two full pieces and one of 1", 1, 65537, 0x5d, 3},
      {"mode 3 over 200000 bytes: two pieces per lane", 3, 200000, 0x332211, 9},
      {"mode 4 over 6 bytes leaves the last 2", 4, 6, 0x44332211, 1},
      {"mode 4 over 280002 bytes: a long row", 4, 280002, 0xdeadbeef, 2},
      {"mode 4 over 3 bytes: nothing to do", 4, 3, 0x44332211, 0},
      {"mode 2 over 1 byte: nothing to do", 2, 1, 0x2211, 0},
  };
  for_each_api_card([&](host::Card &card) {
    uint64_t at = kDdr + 0x10;
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      const std::vector<uint8_t> old = pattern(k.byte_count + 8, k.mode);
      card.write(at, old.data(), old.size());
      const size_t before = card.chip().engines.gdma.commands().size();
      send(card, 1, payload_of(zv_api_memset_t{at, k.byte_count, k.mode, k.value}));
      EXPECT_EQ(card.chip().engines.gdma.commands().size() - before, k.commands);
      std::vector<uint8_t> want = old;
      const uint32_t unit = k.mode == 4 ? 4 : k.mode;
      for (uint32_t b = 0; b < k.byte_count / unit * unit; b++)
        want[b] = static_cast<uint8_t>(k.value >> (8 * (b % unit)));
      EXPECT_TRUE(card.read(at, want.size()) == want);
      at += (k.byte_count + 0x100) & ~0xfull;
    }
    // A mode outside 1 to 4 issues nothing.
    expect_refused(card, 1, payload_of(zv_api_memset_t{kDdr, 8, 5, 0}),
                   ": (api->mode==1) ||(api->mode==2) || (api->mode==3) ||(api->mode==4)\n");
  });
}

TEST(MemoryApi, MemcpyCopiesStridedRows) {
  struct Case {
    const char *what;
    int32_t n, src_stride, dst_stride, w;
  };
  const Case cases[] = {
      {"3 rows of 5 words, strides 10 and 7", 3, 10, 7, 5},
      {"2 rows of 70000 words: pieces and the rest", 2, 70010, 70003, 70000},
      {"one row", 1, 0, 0, 1},
  };
  for_each_api_card([&](host::Card &card) {
    for (const Case &k : cases) {
      SCOPED_TRACE(k.what);
      const uint64_t src = kDdr + 0x40, dst = kDdr + 0x1000040;
      const size_t src_words = (k.n - 1) * static_cast<size_t>(k.src_stride) + k.w;
      const size_t dst_words = (k.n - 1) * static_cast<size_t>(k.dst_stride) + k.w + 4;
      const std::vector<uint8_t> in = pattern(4 * src_words, 1), old = pattern(4 * dst_words, 2);
      card.write(src, in.data(), in.size());
      card.write(dst, old.data(), old.size());
      send(card, 2, payload_of(zv_api_memcpy_t{src, dst, k.n, k.src_stride, k.dst_stride, k.w}));
      std::vector<uint8_t> want = old;
      for (int32_t r = 0; r < k.n; r++)
        std::memcpy(&want[4 * size_t(r) * k.dst_stride], &in[4 * size_t(r) * k.src_stride], 4 * size_t(k.w));
      EXPECT_TRUE(card.read(dst, want.size()) == want);
    }
  });
}

TEST(MemoryApi, MemsetByteFillsStridedBytes) {
  for_each_api_card([&](host::Card &card) {
    const uint64_t at = kDdr + 0x203;
    const std::vector<uint8_t> old = pattern(200, 3);
    card.write(at, old.data(), old.size());
    // 3 rows of 4 bytes, rows 50 bytes apart, bytes 3 apart; only the low byte of the value.
    send(card, 177, payload_of(zv_api_memset_byte_t{at, 3, 1, 1, 4, 50, 1, 1, 3, 0xab, {0, 0, 0}}));
    std::vector<uint8_t> want = old;
    for (int n = 0; n < 3; n++)
      for (int w = 0; w < 4; w++) want[50 * n + 3 * w] = 0xab;
    EXPECT_TRUE(card.read(at, want.size()) == want);
    send(card, 177, payload_of(zv_api_memset_byte_t{at, 1, 2, 1, 4, 50, 1, 1, 3, 0xab, {0, 0, 0}}), 1009);
    EXPECT_NE(card.console().find(": input_h == 1 && input_c == 1\n"), std::string::npos);
  });
}

memcpy_tensors_row_t row(uint64_t src, uint64_t dst, std::vector<int32_t> shape, std::vector<int32_t> ss,
                         std::vector<int32_t> ds, uint32_t type_size) {
  memcpy_tensors_row_t r;
  r.src_addr = src;
  r.dst_addr = dst;
  r.n = shape[0], r.c = shape[1], r.h = shape[2], r.w = shape[3];
  r.src_stride_n = ss[0], r.src_stride_c = ss[1], r.src_stride_h = ss[2], r.src_stride_w = ss[3];
  r.dst_stride_n = ds[0], r.dst_stride_c = ds[1], r.dst_stride_h = ds[2], r.dst_stride_w = ds[3];
  r.type_size = type_size;
  return r;
}

// What a row does to the destination bytes (the reference strided copy).
void apply(const memcpy_tensors_row_t &r, const std::vector<uint8_t> &src, std::vector<uint8_t> &dst) {
  for (int n = 0; n < r.n; n++)
    for (int c = 0; c < r.c; c++)
      for (int h = 0; h < r.h; h++)
        for (int w = 0; w < r.w; w++) {
          const size_t s = size_t(n) * r.src_stride_n + size_t(c) * r.src_stride_c + size_t(h) * r.src_stride_h +
                           size_t(w) * r.src_stride_w;
          const size_t d = size_t(n) * r.dst_stride_n + size_t(c) * r.dst_stride_c + size_t(h) * r.dst_stride_h +
                           size_t(w) * r.dst_stride_w;
          std::memcpy(&dst[d * r.type_size], &src[s * r.type_size], r.type_size);
        }
}

TEST(MemoryApi, TensorListCopy) {
  const uint64_t src = kDdr + 0x10000, table = kDdr + 0x80000;
  const uint64_t dst[] = {kDdr + 0x20000, kDdr + 0x30000, kDdr + 0x40000};
  const std::vector<memcpy_tensors_row_t> lists[] = {
      {row(src, dst[0], {2, 3, 4, 5}, {60, 20, 5, 1}, {80, 25, 6, 1}, 4)},
      {row(src, dst[0], {1, 2, 3, 8}, {48, 24, 8, 1}, {64, 32, 10, 1}, 2),
       row(src + 7, dst[1], {3, 1, 5, 9}, {45, 45, 9, 1}, {100, 50, 10, 1}, 1),
       row(src + 4, dst[2], {1, 4, 1, 6}, {6, 12, 6, 1}, {24, 6, 6, 1}, 4)},
  };
  for_each_api_card([&](host::Card &card) {
    const std::vector<uint8_t> in = pattern(0x1000, 4);
    card.write(src, in.data(), in.size());
    for (const auto &rows : lists) {
      SCOPED_TRACE(std::to_string(rows.size()) + " tensors");
      std::vector<std::vector<uint8_t>> want;
      for (uint64_t d : dst) {
        want.push_back(pattern(0x2000, static_cast<unsigned>(d >> 16)));
        card.write(d, want.back().data(), want.back().size());
      }
      for (const auto &r : rows) {
        const size_t k = r.dst_addr == dst[0] ? 0 : r.dst_addr == dst[1] ? 1 : 2;
        apply(r, std::vector<uint8_t>(in.begin() + static_cast<long>(r.src_addr - src), in.end()), want[k]);
      }
      card.write(table, rows.data(), rows.size() * sizeof(memcpy_tensors_row_t));
      const uint32_t record[3] = {static_cast<uint32_t>(rows.size()), static_cast<uint32_t>(table),
                                  static_cast<uint32_t>(table >> 32)};
      send(card, 183, std::vector<uint32_t>(record, record + 3));
      for (size_t k = 0; k < 3; k++) EXPECT_TRUE(card.read(dst[k], 0x2000) == want[k]) << k;
    }
    // A table longer than the DTCM scratch window is refused before it is moved.
    const size_t before = card.chip().engines.gdma.commands().size();
    send(card, 183, {5783, static_cast<uint32_t>(table), 1}, 1009);
    EXPECT_NE(card.console().find(": api->tensor_num <= MEMCPY_TENSORS_MAX_ROWS\nASSERT info: tensor_num=5783, at "
                                  "most 5782 rows of 68 bytes fit\n"),
              std::string::npos);
    EXPECT_EQ(card.chip().engines.gdma.commands().size(), before);
  });
}

}  // namespace
}  // namespace zv::test
