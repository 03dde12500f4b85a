// Cutting moves into descriptor-sized pieces: extents and byte offsets of every
// piece, for global and local sides.
#include <gtest/gtest.h>

#include <vector>

#include "cmd/gdma_split.h"

namespace zv::test {
namespace {

struct Piece {
  i32 n, c, h, w;
  i64 src, dst;
  i32 src_hstride, dst_hstride;
  bool operator==(const Piece &o) const {
    return n == o.n && c == o.c && h == o.h && w == o.w && src == o.src && dst == o.dst &&
           src_hstride == o.src_hstride && dst_hstride == o.dst_hstride;
  }
};
std::ostream &operator<<(std::ostream &os, const Piece &p) {
  return os << p.n << "x" << p.c << "x" << p.h << "x" << p.w << " @" << p.src << "->" << p.dst << " hs "
            << p.src_hstride << "/" << p.dst_hstride;
}

gdma_side_t side(dim4_t stride, int size, int local) { return {stride, size, local}; }

std::vector<Piece> general_pieces(dim4_t shape, gdma_side_t src, gdma_side_t dst) {
  gdma_general_split_t s;
  gdma_piece_t p;
  std::vector<Piece> out;
  gdma_general_split_init(&s, &shape, &src, &dst);
  while (gdma_general_split_next(&s, &p))
    out.push_back({p.n, p.c, p.h, p.w, p.src_offset, p.dst_offset, p.src_hstride, p.dst_hstride});
  return out;
}

std::vector<Piece> stride_pieces(dim4_t shape, gdma_side_t src, gdma_side_t dst, int transpose = 0) {
  gdma_stride_split_t s;
  gdma_piece_t p;
  std::vector<Piece> out;
  gdma_stride_split_init(&s, &shape, &src, &dst, transpose);
  while (gdma_stride_split_next(&s, &p))
    out.push_back({p.n, p.c, p.h, p.w, p.src_offset, p.dst_offset, p.src_hstride, p.dst_hstride});
  return out;
}

TEST(GdmaSplit, GeneralMoveCutsEachDimensionAtTheLimit) {
  struct Case {
    const char *what;
    dim4_t shape;
    gdma_side_t src, dst;
    std::vector<Piece> pieces;
  };
  const Case cases[] = {
      {"fits: one piece", {2, 3, 4, 5}, side({60, 20, 5, 1}, 4, 0), side({60, 20, 5, 1}, 1, 1),
       {{2, 3, 4, 5, 0, 0, 5, 5}}},
      {"100000 x 1 x 1 x 1: 65535 then 34465, 65535 n strides on", {100000, 1, 1, 1},
       side({1, 1, 1, 1}, 4, 0), side({2, 2, 2, 1}, 4, 0),
       {{65535, 1, 1, 1, 0, 0, 1, 2}, {34465, 1, 1, 1, 65535 * 4, 65535 * 2 * 4, 1, 2}}},
      {"global C = 70000: 65535 then 4465 channels", {1, 70000, 1, 1}, side({70000, 1, 1, 1}, 4, 0),
       side({70000, 1, 1, 1}, 1, 0), {{1, 65535, 1, 1, 0, 0, 1, 1}, {1, 4465, 1, 1, 65535 * 4, 65535, 1, 1}}},
      {"local C = 70000: 65472 then 4528, the local side 1023 channel strides on", {1, 70000, 1, 1},
       side({70000, 1, 1, 1}, 4, 0), side({1094 * 32, 32, 1, 1}, 4, 1),
       {{1, 65472, 1, 1, 0, 0, 1, 1}, {1, 4528, 1, 1, 65472 * 4, 1023 * 32 * 4, 1, 1}}},
      {"N = 70000 and W = 70000: w fastest, n outermost", {70000, 1, 1, 70000},
       side({70000, 70000, 70000, 1}, 1, 0), side({70000, 70000, 70000, 1}, 1, 0),
       {{65535, 1, 1, 65535, 0, 0, 70000, 70000},
        {65535, 1, 1, 4465, 65535, 65535, 70000, 70000},
        {4465, 1, 1, 65535, 65535LL * 70000, 65535LL * 70000, 70000, 70000},
        {4465, 1, 1, 4465, 65535LL * 70000 + 65535, 65535LL * 70000 + 65535, 70000, 70000}}},
      {"H = 65536 with a negative h stride", {1, 1, 65536, 1}, side({0, 0, -1, 1}, 4, 0), side({0, 0, 1, 1}, 4, 0),
       {{1, 1, 65535, 1, 0, 0, -1, 1}, {1, 1, 1, 1, -65535 * 4, 65535 * 4, -1, 1}}},
      {"a zero extent is passed on for the descriptor's check", {1, 0, 1, 1}, side({1, 1, 1, 1}, 4, 0),
       side({1, 1, 1, 1}, 4, 0), {{1, 0, 1, 1, 0, 0, 1, 1}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(general_pieces(c.shape, c.src, c.dst), c.pieces);
  }
}

TEST(GdmaSplit, StrideMoveCutsChannelsAtMultiplesOf64AndReCutsLargeDensePlanes) {
  struct Case {
    const char *what;
    dim4_t shape;
    gdma_side_t src, dst;
    std::vector<Piece> pieces;
    int transpose = 0;
  };
  const Case cases[] = {
      {"C = 70000 global to local: 65472 and 4528, local 1023 channel strides on", {1, 70000, 2, 3},
       side({420000, 6, 3, 1}, 4, 0), side({1094 * 32, 32, 3, 1}, 4, 1),
       {{1, 65472, 2, 3, 0, 0, 3, 3}, {1, 4528, 2, 3, 65472 * 6 * 4, 1023 * 32 * 4, 3, 3}}},
      {"N = 70000 local to global: both sides 65535 n strides on", {70000, 1, 1, 1}, side({32, 32, 1, 1}, 2, 1),
       side({1, 1, 1, 1}, 2, 0), {{65535, 1, 1, 1, 0, 0, 1, 1}, {4465, 1, 1, 1, 65535 * 32 * 2, 65535 * 2, 1, 1}}},
      {"dense 1 x 1 x 2 x 70000 plane: 2 x 65408 rows, then 1 x 9184", {1, 1, 2, 70000},
       side({140000, 140000, 70000, 1}, 4, 0), side({140032, 140032, 70000, 1}, 4, 1),
       {{1, 1, 2, 65408, 0, 0, 65408, 65408}, {1, 1, 1, 9184, 130816 * 4, 130816 * 4, 9184, 9184}}},
      {"a plane of 65536 x 65536 re-cut in full rows, then its tail", {1, 1, 65536, 65536},
       side({0, 0, 65536, 1}, 1, 0), side({0, 0, 65536, 1}, 1, 1),
       {{1, 1, 65408, 65408, 0, 0, 65408, 65408},
        {1, 1, 256, 65408, 65408LL * 65408, 65408LL * 65408, 65408, 65408},
        {1, 1, 1, 16384, 65536LL * 65536 - 16384, 65536LL * 65536 - 16384, 16384, 16384}}},
      {"a re-cut row with source w stride 2 advances 2 elements per element on that side", {1, 1, 1, 70000},
       side({0, 0, 140000, 2}, 4, 0), side({0, 0, 70000, 1}, 4, 1),
       {{1, 1, 1, 65408, 0, 0, 130816, 65408}, {1, 1, 1, 4592, 65408 * 2 * 4, 65408 * 4, 9184, 4592}}},
      {"not dense (padded rows): given as it is, for the descriptor's check", {1, 1, 2, 70000},
       side({0, 0, 70016, 1}, 4, 0), side({0, 0, 70000, 1}, 4, 1), {{1, 1, 2, 70000, 0, 0, 70016, 70000}}},
      {"transposed, local 2 x 70000 to global 70000 x 2: the destination steps 2 elements per channel",
       {2, 70000, 1, 1}, side({1094, 1, 1, 1}, 4, 1), side({2, 1, 1, 1}, 4, 0),
       {{2, 65472, 1, 1, 0, 0, 1, 1}, {2, 4528, 1, 1, 1023 * 4, 65472 * 2 * 4, 1, 1}}, 1},
      {"transposed, global 70000 x 2 to local 2 x 70000: items cut at 65472, the local side's channels",
       {70000, 2, 1, 1}, side({2, 1, 1, 1}, 4, 0), side({1094, 1, 1, 1}, 4, 1),
       {{65472, 2, 1, 1, 0, 0, 1, 1}, {4528, 2, 1, 1, 65472 * 2 * 4, 1023 * 4, 1, 1}}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(stride_pieces(c.shape, c.src, c.dst, c.transpose), c.pieces);
  }
}

}  // namespace
}  // namespace zv::test
