// Length splits, batch/row splits, slice counts, width cuts and the software
// pipeline.
#include "cmd/tensor_slice.h"

#include <gtest/gtest.h>

#include "fw_test.h"

#include <algorithm>
#include <random>
#include <vector>


namespace zv::test {
namespace {

constexpr uint64_t kLocalMem = 0x80000;

struct Piece {
  uint64_t offset, length;
  int n, c, h, w;
  bool operator==(const Piece &o) const {
    return offset == o.offset && length == o.length && n == o.n && c == o.c && h == o.h && w == o.w;
  }
};

std::ostream &operator<<(std::ostream &os, const Piece &p) {
  return os << "{@" << p.offset << " len " << p.length << " " << p.n << "x" << p.c << "x" << p.h
            << "x" << p.w << "}";
}

// Walks a length split to its end; stops early (failing) if it never ends.
std::vector<Piece> walk(uint64_t total, const split_info_t *hint, size_t max_pieces = 100000) {
  length_split_t split;
  init_length_split(&split, total, hint);
  EXPECT_EQ(split.offset, 0u);
  EXPECT_EQ(split.length, 0u);
  std::vector<Piece> pieces;
  while (update_length_split(&split)) {
    pieces.push_back({split.offset, split.length, split.n, split.c, split.h, split.w});
    if (pieces.size() > max_pieces) {
      ADD_FAILURE() << "length split of " << total << " does not end";
      break;
    }
  }
  EXPECT_EQ(split.length, 0u);
  EXPECT_EQ(update_length_split(&split), 0) << "an exhausted split stays exhausted";
  return pieces;
}

TEST(LengthSplit, PiecesOfTheDefaultHint) {
  const struct {
    const char *what;
    uint64_t total;
    std::vector<Piece> pieces;
  } cases[] = {
      {"nothing to split", 0, {}},
      {"blocks, then rows of lanes, then EU rows",
       10000000,
       {{0, 8388608, 4, 64, 1024, 32},
        {8388608, 1609728, 1, 64, 786, 32},
        {9998336, 1664, 1, 52, 1, 32}}},
      {"EU rows then a short tail", 70, {{0, 64, 1, 2, 1, 32}, {64, 6, 1, 1, 1, 6}}},
      // 4096 blocks of 2^21 elements: one piece of 2^33, beyond 32 bits.
      {"2^33 elements in one piece", 1ull << 33, {{0, 1ull << 33, 4096, 64, 1024, 32}}},
      // 1024 blocks: 2^31 elements, the first count past a signed 32-bit product.
      {"2^31 elements and a tail",
       (1ull << 31) + 100,
       {{0, 1ull << 31, 1024, 64, 1024, 32},
        {1ull << 31, 96, 1, 3, 1, 32},
        {(1ull << 31) + 96, 4, 1, 1, 1, 4}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(walk(c.total, nullptr), c.pieces);
  }
}

TEST(LengthSplit, HintFromLocalMemory) {
  const struct {
    int bytes, type_len;
    split_info_t hint;
  } cases[] = {
      {512 * 1024, 4, {2, 64, 2047, 32}},
      {64 * 1024, 4, {1, 64, 512, 32}},
      {512 * 1024, 1, {2, 64, 2047, 128}},
      {256 * 1024, 2, {1, 64, 2047, 64}},
      {100, 4, {1, 64, 1, 32}},  // less than one EU row still gives one row
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes of " << c.type_len);
    split_info_t hint;
    split_info_hint_by_localmem(&hint, c.bytes, c.type_len);
    EXPECT_EQ(hint.n, c.hint.n);
    EXPECT_EQ(hint.c, c.hint.c);
    EXPECT_EQ(hint.h, c.hint.h);
    EXPECT_EQ(hint.w, c.hint.w);
  }
}

// Over many totals and budgets: pieces tile the count without gap or overlap,
// each is shaped n x c x h x w within its hint, and each fits the budget per lane.
TEST(LengthSplit, PiecesTileTheCountAndFitTheirBudget) {
  std::mt19937_64 rng(5);
  const int type_lens[] = {1, 2, 4};
  for (int i = 0; i < 400; i++) {
    const int type_len = type_lens[rng() % 3];
    const int budget = 128 + (int)(rng() % (kLocalMem - 127));
    split_info_t hint;
    split_info_hint_by_localmem(&hint, budget, type_len);
    // Totals from a handful of elements up to beyond 2^32, at most a few
    // thousand pieces.
    const uint64_t full = (uint64_t)hint.n * hint.c * hint.h * hint.w;
    const uint64_t total = rng() % std::min<uint64_t>(1ull << (4 + rng() % 30), full * 3000);
    SCOPED_TRACE(testing::Message()
                 << "total " << total << ", " << budget << " bytes of " << type_len);
    uint64_t next = 0;
    for (const Piece &p : walk(total, &hint)) {
      ASSERT_EQ(p.offset, next) << p;
      ASSERT_GT(p.length, 0u) << p;
      EXPECT_EQ(p.length, (uint64_t)p.n * p.c * p.h * p.w) << p;
      EXPECT_TRUE(p.n >= 1 && p.n <= hint.n && p.c >= 1 && p.c <= hint.c && p.h >= 1 &&
                  p.h <= hint.h && p.w >= 1 && p.w <= hint.w)
          << p;
      EXPECT_LE(p.h, 2047) << p;
      // Each lane holds n x h rows of w elements.
      EXPECT_LE((uint64_t)p.n * p.h * p.w * type_len, (uint64_t)budget) << p;
      next = p.offset + p.length;
    }
    EXPECT_EQ(next, total);
  }
}

TEST(LengthSplit, HugeTotalWithDefaultHintEnds) {
  // 2^40 elements: whole pieces of 2^33 each.
  const std::vector<Piece> pieces = walk(1ull << 40, nullptr, 200);
  ASSERT_EQ(pieces.size(), 128u);
  EXPECT_EQ(pieces.back().offset + pieces.back().length, 1ull << 40);
}

TEST(NhSplit, SectionCounts) {
  const struct {
    const char *what;
    int tensors;
    u32 bytes;
    int n, cpn, h, w;
    u32 nsecs, hsecs;
  } cases[] = {
      {"one item fits", 2, kLocalMem, 1, 1, 16, 16, 1, 1},
      // 100 x 2048 floats = 800 KB: two sections of 50 rows (400 KB).
      {"one item cut by rows", 1, kLocalMem, 1, 1, 100, 2048, 1, 2},
      // 3 x 2 rows of 1024 floats = 24 KB per item; 8 items need 2 sections.
      {"items cut by batch", 3, 100000, 8, 2, 32, 32, 2, 1},
      // 2 tensors x 300 x 300 floats = 720 KB per item: one item per section.
      {"large items cut by batch and rows", 2, kLocalMem, 4, 1, 300, 300, 4, 2},
      {"one row per section", 1, 4096, 1, 1, 5, 1024, 1, 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    nh_secs_t out = {0, 0};
    same_tensor_split_nh(&out, c.tensors, c.bytes, c.n, c.cpn, c.h, c.w);
    EXPECT_EQ(out.nsecs, c.nsecs);
    EXPECT_EQ(out.hsecs, c.hsecs);
  }
}

uint64_t align32(uint64_t x) { return (x + 31) / 32 * 32; }

TEST(NhSplit, SlicesFitTheirBudget) {
  std::mt19937 rng(7);
  int cut_n = 0, cut_h = 0;
  for (int i = 0; i < 2000; i++) {
    const int tensors = 1 + rng() % 4, cpn = 1 + rng() % 4;
    const int n = 1 + rng() % 16, h = 1 + rng() % 600, w = 1 + rng() % 600;
    const u32 bytes = 0x10000 + rng() % (kLocalMem - 0x10000 + 1);
    // Skip shapes whose single row does not fit: they fail an assertion.
    if ((uint64_t)tensors * cpn * align32(w) * 4 > bytes) continue;
    nh_secs_t s;
    same_tensor_split_nh(&s, tensors, bytes, n, cpn, h, w);
    SCOPED_TRACE(testing::Message()
                 << tensors << " x " << n << "x" << cpn << "x" << h << "x" << w << " in " << bytes);
    ASSERT_GE(s.nsecs, 1u);
    ASSERT_GE(s.hsecs, 1u);
    EXPECT_LE(s.nsecs, (u32)n);
    EXPECT_LE(s.hsecs, (u32)h);
    const uint64_t items = (n + s.nsecs - 1) / s.nsecs, rows = (h + s.hsecs - 1) / s.hsecs;
    EXPECT_LE(tensors * items * cpn * align32(rows * w) * 4, bytes);
    cut_n += s.nsecs > 1;
    cut_h += s.hsecs > 1;
  }
  EXPECT_GT(cut_n, 50);
  EXPECT_GT(cut_h, 50);
}

TEST(ElemwiseSlices, Counts) {
  const struct {
    const char *what;
    int tensors, len, slices;
  } cases[] = {
      {"small count in one slice", 2, 1000, 1},
      {"65535 elements still one slice", 1, 65535, 1},
      {"65536 elements in two", 1, 65536, 2},
      // 16 tensors of 2^20 elements need 16 x 64 KB per lane: 2 slices of 2^19
      // elements are still too long (65535), so 17 slices.
      {"long count cut below 65535", 16, 1 << 20, 17},
      // 300 tensors x ceil(ceil(k/32)/64) x 128 bytes: k + 1 <= 26624 elements.
      {"many tensors", 300, 100000, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(get_slice_num_elemwise_fixw(c.tensors, c.len), c.slices);
  }
}

TEST(ElemwiseSlices, LargestSliceFits) {
  std::mt19937 rng(11);
  for (int i = 0; i < 500; i++) {
    const int tensors = 1 + rng() % 64;
    const int len = 1 + (int)(rng() % (1u << (1 + rng() % 26)));
    const int s = get_slice_num_elemwise_fixw(tensors, len);
    SCOPED_TRACE(testing::Message() << tensors << " tensors of " << len);
    ASSERT_GE(s, 1);
    ASSERT_LE(s, len);
    const uint64_t largest = ((uint64_t)len + s - 1) / s;
    const uint64_t per_lane = tensors * (((largest + 31) / 32 + 63) / 64) * 128;
    EXPECT_LE(per_lane, kLocalMem);
    if (s > 1)
      EXPECT_LT(len / s, 65535);
    else
      EXPECT_LT(len, 65536);
  }
}

TEST(WidthCut, SectionCounts) {
  const struct {
    int w, sections;
  } cases[] = {{1, 1}, {2048, 1}, {2049, 3}, {2053, 2053}, {4096, 2}, {4100, 4}};
  for (const auto &c : cases) EXPECT_EQ(LimitWSize(c.w), c.sections) << "w " << c.w;
}

TEST(WidthCut, EqualPiecesOfAtMost2048) {
  for (int w = 1; w <= 20000; w++) {
    const int s = LimitWSize(w);
    ASSERT_EQ(w % s, 0) << w;
    ASSERT_LE(w / s, 2048) << w;
    for (int t = (w + 2047) / 2048; t < s; t++) ASSERT_NE(w % t, 0) << "smaller count for " << w;
  }
}

TEST(EuAlign, WholeGroupsOf128Bytes) {
  const struct {
    int bytes, aligned;
  } cases[] = {{0, 0}, {1, 128}, {128, 128}, {129, 256}, {1000, 1024}, {0x7fffff00, 0x7fffff00}};
  for (const auto &c : cases) EXPECT_EQ(addr_EU_align(c.bytes), c.aligned) << c.bytes;
}

struct PipelineStep {
  int more;       // what the update returned
  bool stage[2];  // which stages work in this step
};

TEST(Pipeline, TwoStagesOverThreeItems) {
  pipeline_info_t p;
  pipeline_info_init(&p, 2);
  const PipelineStep expected[] = {
      {1, {true, false}}, {1, {true, true}}, {1, {true, true}}, {1, {false, true}}, {0, {}}};
  int fed = 0;
  for (const PipelineStep &e : expected) {
    const int more = pipeline_info_update(&p, fed < 3);
    fed++;
    ASSERT_EQ(more, e.more) << "step " << fed;
    if (!more) break;
    for (int s = 0; s < 2; s++)
      EXPECT_EQ(pipeline_should_work(&p, s, nullptr), e.stage[s])
          << "step " << fed << " stage " << s;
  }
}

// S stages over J items: J + S - 1 working steps, and every item passes stage
// s exactly once, at the s-th step after it entered, found again through its
// ring position.
TEST(Pipeline, EveryItemPassesEveryStageInOrder) {
  for (int stages = 1; stages <= MAX_PIPELINE_NUM; stages++) {
    for (int items = 1; items <= 20; items++) {
      SCOPED_TRACE(testing::Message() << stages << " stages, " << items << " items");
      pipeline_info_t p;
      pipeline_info_init(&p, stages);
      int slot_item[MAX_PIPELINE_NUM];
      std::vector<std::vector<int>> seen(items);  // steps at which each stage ran it
      int steps = 0, fed = 0;
      while (pipeline_info_update(&p, fed < items)) {
        ASSERT_LT(steps, items + stages) << "pipeline does not drain";
        for (int s = 0; s < stages; s++) {
          int slot = -1;
          if (!pipeline_should_work(&p, s, &slot)) continue;
          ASSERT_TRUE(slot >= 0 && slot < stages);
          if (s == 0) {
            ASSERT_LT(fed, items);
            slot_item[slot] = fed++;
          }
          const int item = slot_item[slot];
          ASSERT_EQ((int)seen[item].size(), s) << "item " << item << " out of order";
          seen[item].push_back(steps);
        }
        steps++;
      }
      EXPECT_EQ(steps, items + stages - 1);
      EXPECT_EQ(fed, items);
      for (int i = 0; i < items; i++) {
        ASSERT_EQ((int)seen[i].size(), stages) << "item " << i;
        for (int s = 0; s < stages; s++) EXPECT_EQ(seen[i][s], i + s);
      }
      EXPECT_EQ(pipeline_info_update(&p, 0), 0) << "a drained pipeline stays drained";
    }
  }
}

TEST(Pipeline, EightStagesAreAccepted) {
  FwOutcome out = run_firmware([] {
    pipeline_info_t p;
    pipeline_info_init(&p, MAX_PIPELINE_NUM);
  });
  EXPECT_FALSE(out.asserted) << out.uart;
}

TEST(Assertions, BadArgumentsStopWithAnExplanation) {
  const struct {
    const char *what;
    std::function<void()> fn;
    const char *function, *condition, *info;
  } cases[] = {
      {"nine stages",
       [] {
         pipeline_info_t p;
         pipeline_info_init(&p, 9);
       },
       "pipeline_info_init", "pipe_num<=MAX_PIPELINE_NUM", "pipe_num=9 cannot be greater than 8"},
      {"no stage",
       [] {
         pipeline_info_t p;
         pipeline_info_init(&p, 0);
       },
       "pipeline_info_init", "pipe_num >= 1", "pipe_num=0 must be at least 1"},
      {"stage past the last",
       [] {
         pipeline_info_t p;
         pipeline_info_init(&p, 3);
         pipeline_info_update(&p, 1);
         pipeline_should_work(&p, 3, nullptr);
       },
       "pipeline_should_work", "step>=0 && step<info->pipe_num_",
       "step=3 should in range [0, pipe_num=3)"},
      {"negative stage",
       [] {
         pipeline_info_t p;
         pipeline_info_init(&p, 2);
         pipeline_should_work(&p, -1, nullptr);
       },
       "pipeline_should_work", "step>=0 && step<info->pipe_num_",
       "step=-1 should in range [0, pipe_num=2)"},
      {"row of a hint is zero",
       [] {
         const split_info_t hint = {1, 64, 16, 0};
         length_split_t s;
         init_length_split(&s, 100, &hint);
       },
       "init_length_split", "hint->n > 0 && hint->c > 0 && hint->h > 0 && hint->w > 0",
       "split hint {n=1, c=64, h=16, w=0} needs positive extents"},
      {"block of a hint beyond 64 bits",
       [] {
         const split_info_t hint = {1, 0x7fffffff, 0x7fffffff, 0x7fffffff};
         length_split_t s;
         init_length_split(&s, 100, &hint);
       },
       "init_length_split", "!block_overflows",
       "split hint block c*h*w = 2147483647*2147483647*2147483647 does not fit 64 bits"},
      {"hint for no memory",
       [] {
         split_info_t hint;
         split_info_hint_by_localmem(&hint, 0, 4);
       },
       "split_info_hint_by_localmem", "local_bytes > 0 && type_len > 0 && type_len <= 128",
       "local_bytes=0 and type_len=4 must be positive, type_len at most 128"},
      {"row that never fits",
       [] {
         nh_secs_t s;
         same_tensor_split_nh(&s, 1, kLocalMem, 1, 1, 3, 200000);
       },
       "same_tensor_split_nh", "(int)nh_secs.hsecs < input_h", "none."},
      {"rows of large items that never fit",
       [] {
         nh_secs_t s;
         same_tensor_split_nh(&s, 4, kLocalMem, 3, 2, 4, 20000);
       },
       "same_tensor_split_nh", "(int)nh_secs.hsecs < input_h", "none."},
      {"empty tensor to split",
       [] {
         nh_secs_t s;
         same_tensor_split_nh(&s, 1, kLocalMem, 1, 1, 0, 16);
       },
       "same_tensor_split_nh", "input_n > 0 && input_h > 0 && input_w > 0",
       "tensor extents n=1, h=0, w=16 must be positive"},
      // 5000 tensors of even one EU group need more than 512 KB per lane.
      {"slices that never fit", [] { get_slice_num_elemwise_fixw(5000, 100); },
       "get_slice_num_elemwise_fixw", "0", "none."},
      {"no element to slice", [] { get_slice_num_elemwise_fixw(2, 0); },
       "get_slice_num_elemwise_fixw", "tensor_num > 0 && len > 0",
       "tensor_num=2 and len=0 must be positive"},
      {"zero width", [] { LimitWSize(0); }, "LimitWSize", "w > 0", "w=0 must be positive"},
      {"negative width", [] { LimitWSize(-5); }, "LimitWSize", "w > 0", "w=-5 must be positive"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    expect_assert(c.fn, "ASSERT", "firmware/cmd/", c.function, c.condition, c.info);
  }
}

}  // namespace
}  // namespace zv::test
