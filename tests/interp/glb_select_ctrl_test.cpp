// The selection, reduction, arg, top-k and sort controllers through the
// network-run API: one-layer networks written by the test-side writer, run on
// deferred cards with the race checker (and the ARM image for a sample),
// against the plain references of their layers; bad records answer 1009 and
// leave the card serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer_select.h"
#include "ref/arg_ref.h"
#include "ref/index_select_ref.h"
#include "ref/masked_select_ref.h"
#include "ref/reduce_fix8b_ref.h"
#include "ref/reduce_ref.h"
#include "ref/topk_ref.h"
#include "ref/where_ref.h"

namespace zv::test {
namespace {

using namespace net;

constexpr uint64_t kIn0 = kNetIn[0], kIn1 = kNetIn[1], kIn2 = kNetIn[2];
constexpr uint64_t kOut0 = kNetOut[0], kOut1 = kNetOut[1];
constexpr uint32_t kFp32 = 0, kInt32 = 3, kInt8 = 2;
// Scratch offsets of the records (added to the neuron base).
constexpr uint64_t kBuf0 = 0x2000000ull, kBuf1 = 0x3000000ull;

const uint64_t kSeeds[] = {1, 2, 3};

std::vector<float> wave(size_t n, int period = 13, float scale = 0.5f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; i++) v[i] = float(int((i * 7) % size_t(period)) - period / 2) * scale;
  return v;
}

// ---- select ----

Record select_rec(uint32_t then_scalar, uint32_t else_scalar, bool then_is_scalar, bool else_is_scalar) {
  return Record(24).u32(0, then_scalar).u32(4, else_scalar).u8(8, then_is_scalar).u8(9, else_is_scalar);
}

TEST(GlbSelectCtrl, SelectTakesThenWhereTheConditionHoldsElseTheScalar) {
  const std::vector<uint32_t> shape = {2, 3, 4};
  std::vector<float> cond = wave(24, 5), then_v = wave(24, 17, 1.25f);
  std::vector<int32_t> icond(24);
  for (size_t i = 0; i < 24; i++) icond[i] = int32_t(i % 3) - 1;
  float three = 3.0f;
  uint32_t three_bits;
  std::memcpy(&three_bits, &three, 4);
  for_each_api_card([&](host::Card &card) {
    for (uint32_t cond_type : {kFp32, kInt32}) {
      SCOPED_TRACE(cond_type == kFp32 ? "float condition" : "int32 condition");
      if (cond_type == kFp32) put(card, kIn0, cond);
      else put(card, kIn0, icond);
      put(card, kIn1, then_v);
      const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(10));
      run_ok(card, one_layer({{cond_type, shape}, {kFp32, shape}}, 1,
                             glb_layer(DYNAMIC_LAYER_SELECT, kFp32, select_rec(0, three_bits, false, true), refs)));
      std::vector<float> want(24);
      for (size_t i = 0; i < 24; i++) {
        const bool c = cond_type == kFp32 ? std::fabs(cond[i]) > 0.0f : icond[i] != 0;
        want[i] = c ? then_v[i] : 3.0f;
      }
      EXPECT_EQ(get<float>(card, kOut0, 24), want);
      EXPECT_EQ(out_shape(card, 0).shape, shape);
    }
  });
}

TEST(GlbSelectCtrl, SelectOnAnEightBitConditionFailsAndTheCardServesOn) {
  auto card = deferred_card(Backend::Native, 1);
  put(*card, kIn0, wave(6));
  const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(10));
  const Record both_scalar = select_rec(0, 0, true, true);
  run_fails(*card, one_layer({{kInt8, {6}}}, 1, glb_layer(DYNAMIC_LAYER_SELECT, kFp32, both_scalar, refs)),
            "cond.dtype == DSIZE_FP32 || cond.dtype == DSIZE_INT32",
            one_layer({{kFp32, {6}}}, 1, glb_layer(DYNAMIC_LAYER_SELECT, kFp32, both_scalar, refs)));
}

// ---- where and masked select ----

TEST(GlbSelectCtrl, WhereRegistersTheCountOfCoordinates) {
  struct Case {
    const char *what;
    std::vector<float> in;
  };
  std::vector<float> some(12, 0.0f);
  some[1] = 2.0f, some[6] = -1.0f, some[11] = 0.5f;
  const Case cases[] = {{"three non-zero", some}, {"none", std::vector<float>(12, 0.0f)}};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      put(*card, kIn0, c.in);
      const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(10));
      run_ok(*card, one_layer({{kFp32, {3, 4}}}, 1,
                              glb_layer(DYNAMIC_LAYER_WHERE, kFp32, Record(16).u32(0, 2).u64(8, kBuf0), refs)));
      const std::vector<int32_t> want = ref::where(c.in, {3, 4});
      const uint32_t count = uint32_t(want.size() / 2);
      EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{count, 2}));
      EXPECT_EQ(get<int32_t>(*card, kOut0, want.size()), want);
    }
  }
}

Record masked_rec() {
  // Element sizes 4 and 4, store modes 1N and 1N.
  return Record(40).u32(0, 4).u32(4, 0).u32(8, 4).u32(12, 0).u64(16, kBuf0).u64(24, kBuf1);
}

TEST(GlbSelectCtrl, MaskedSelectCountsTheSelectedAndANullInputSelectsNothing) {
  const std::vector<float> in = wave(24, 11), mask = wave(24, 4);
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kIn0, in);
    put(*card, kIn1, mask);
    const Words refs = Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(10));
    run_ok(*card, one_layer({{kFp32, {2, 3, 4}}, {kFp32, {2, 3, 4}}}, 1,
                            glb_layer(DYNAMIC_LAYER_MASKED_SELECT, kFp32, masked_rec(), refs)));
    const std::vector<float> want = ref::masked_select(in, {2, 3, 4}, mask, {2, 3, 4});
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{uint32_t(want.size())}));
    EXPECT_EQ(get<float>(*card, kOut0, want.size()), want);
    // A null input: a 1-dimensional output of extent 0.
    run_ok(*card, one_layer({{kFp32, {2, 0, 4}}, {kFp32, {2, 3, 4}}}, 1,
                            glb_layer(DYNAMIC_LAYER_MASKED_SELECT, kFp32, masked_rec(), refs)));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{0}));
    // A float source [2, 3] under a byte mask [1, 3] stored 4N: the record's
    // words reach the layer as source size, mask size, source mode, mask mode.
    put(*card, kIn0, std::vector<float>{1, 2, 3, 4, 5, 6});
    put(*card, kIn1, std::vector<int8_t>{0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0});
    const Record mixed = Record(40).u32(0, 4).u32(4, 0).u32(8, 1).u32(12, 2).u64(16, kBuf0).u64(24, kBuf1);
    run_ok(*card, one_layer({{kFp32, {2, 3}}, {kInt8, {1, 3}}}, 1,
                            glb_layer(DYNAMIC_LAYER_MASKED_SELECT, kFp32, mixed, refs)));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{2}));
    EXPECT_EQ(get<float>(*card, kOut0, 2), (std::vector<float>{2, 5}));
  }
}

TEST(GlbSelectCtrl, WhereSqueezeGatherSelectsEveryInputUnderOneMask) {
  // Inputs [6, 2] and [6, 1] under a mask [6, 1]: each output keeps the
  // selected rows, its axis 0 the count over the other extents.
  const std::vector<float> a = wave(12, 9), b = wave(6, 7, 2.0f);
  const std::vector<float> mask = {1, 0, 1, 1, 0, 1};
  Record r(128);
  for (int i = 0; i < 2; i++) r.i32(4 * i, 4).i32(32 + 4 * i, 0).i32(96 + 4 * i, 0);
  r.u32(64, 4).u32(68, 0).u64(72, kBuf0).u64(80, kBuf1).u32(92, 3);
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kIn0, a);
    put(*card, kIn1, b);
    put(*card, kIn2, mask);
    const Words refs = Words()
                           .append(net_io_ref(1))
                           .append(net_io_ref(2))
                           .append(net_io_ref(3))
                           .append(net_io_ref(10))
                           .append(net_io_ref(11));
    run_ok(*card, one_layer({{kFp32, {6, 2}}, {kFp32, {6, 1}}, {kFp32, {6, 1}}}, 2,
                            glb_layer(DYNAMIC_LAYER_WHERE_SQUEEZE_GATHER, kFp32, r, refs)));
    const std::vector<float> wa = ref::masked_select(a, {6, 2}, mask, {6, 1});
    const std::vector<float> wb = ref::masked_select(b, {6, 1}, mask, {6, 1});
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{4, 2}));
    EXPECT_EQ(out_shape(*card, 1).shape, (std::vector<uint32_t>{4, 1}));
    EXPECT_EQ(get<float>(*card, kOut0, wa.size()), wa);
    EXPECT_EQ(get<float>(*card, kOut1, wb.size()), wb);
  }
}

// 1N bytes of `items` items into 4N words (the padding bytes 0xee).
std::vector<uint8_t> four_n(const std::vector<uint8_t> &v, size_t items) {
  const size_t per = v.size() / items;
  std::vector<uint8_t> out((items + 3) / 4 * 4 * per, 0xee);
  for (size_t n = 0; n < items; n++)
    for (size_t j = 0; j < per; j++) out[ref::offset_4n(n, j, per)] = v[n * per + j];
  return out;
}

TEST(GlbSelectCtrl, EightBitWhereSqueezeGatherIn1NAnd4NUnderByteAndFloatMasks) {
  // Signed-byte sources in 1N or 4N under one mask (float, or bytes in 1N or
  // 4N): each output holds its selected bytes in order, its squeezed axis the
  // count over the other extents. The record's arrays are per-source element
  // sizes and store modes, its two words the mask's.
  struct Src {
    std::vector<uint32_t> shape;
    uint32_t mode;  // 0 1N, 2 4N
    int32_t squeeze_axis;
  };
  struct Case {
    const char *what;
    std::vector<Src> srcs;
    std::vector<uint32_t> mask_shape;
    uint32_t mask_size, mask_mode;
    bool empty = false;  // a mask of zeros
  };
  const Case cases[] = {
      {"1N and 4N sources, float mask", {{{6, 2}, 0, 0}, {{6, 1}, 2, 0}}, {6, 1}, 4, 0},
      {"4N and 1N sources, 4N byte mask", {{{6, 2}, 2, 0}, {{6, 1}, 0, 0}}, {6, 1}, 1, 2},
      {"a [2, 6] source under a [1, 6] 1N byte mask, squeezed along 1", {{{2, 6}, 0, 1}}, {1, 6}, 1, 0},
      {"a 3-D 4N source and a 2-D one (run first), 1N byte mask", {{{5, 2, 3}, 2, 1}, {{2, 1}, 0, 0}}, {2, 1}, 1, 0},
      {"nothing selected: every output empty", {{{6, 2}, 2, 0}, {{6, 1}, 0, 0}}, {6, 1}, 1, 2, true},
  };
  for_each_api_card([&](host::Card &card) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      const size_t n_src = c.srcs.size();
      Record r(128);
      r.u32(64, c.mask_size).u32(68, c.mask_mode).u64(72, kBuf0).u64(80, kBuf1).u32(92, uint32_t(n_src + 1));
      std::vector<std::pair<uint32_t, std::vector<uint32_t>>> ins;
      std::vector<std::vector<uint8_t>> data;
      Words refs;
      for (size_t i = 0; i < n_src; i++) {
        const Src &s = c.srcs[i];
        r.i32(4 * i, 1).i32(32 + 4 * i, int32_t(s.mode)).i32(96 + 4 * i, s.squeeze_axis);
        size_t count = 1;
        for (uint32_t e : s.shape) count *= e;
        std::vector<uint8_t> v(count);
        for (size_t k = 0; k < count; k++) v[k] = uint8_t(k * 29 + 7 * i + 3);
        const std::vector<uint8_t> stored = s.mode == 2 ? four_n(v, s.shape[0]) : v;
        card.write(kNetIn[i], stored.data(), stored.size());
        data.push_back(v);
        ins.push_back({kInt8, s.shape});
        refs.append(net_io_ref(uint32_t(1 + i)));
      }
      // Mask: every second and third element set (for a row count of 6: 1, 0, 1, 1, 0, 1).
      size_t mask_count = 1;
      for (uint32_t e : c.mask_shape) mask_count *= e;
      std::vector<float> mask(mask_count);
      for (size_t k = 0; k < mask_count; k++) mask[k] = c.empty || k % 3 == 1 ? 0.0f : float(k % 5) - 2.5f;
      if (c.mask_size == 4) {
        put(card, kNetIn[n_src], mask);
      } else {
        std::vector<uint8_t> bytes(mask_count);
        for (size_t k = 0; k < mask_count; k++) bytes[k] = mask[k] == 0.0f ? 0 : uint8_t(int8_t(mask[k] * 2));
        const std::vector<uint8_t> stored = c.mask_mode == 2 ? four_n(bytes, c.mask_shape[0]) : bytes;
        card.write(kNetIn[n_src], stored.data(), stored.size());
      }
      ins.push_back({c.mask_size == 4 ? kFp32 : kInt8, c.mask_shape});
      refs.append(net_io_ref(uint32_t(1 + n_src)));
      for (size_t i = 0; i < n_src; i++) refs.append(net_io_ref(uint32_t(10 + i)));
      // Canaries behind every output.
      for (size_t i = 0; i < n_src; i++) card.write(kNetOut[i], std::vector<uint8_t>(64, 0xee).data(), 64);
      run_ok(card, one_layer(ins, uint32_t(n_src), glb_layer(DYNAMIC_LAYER_WHERE_SQUEEZE_GATHER, kInt8, r, refs)));
      const std::vector<int> ms(c.mask_shape.begin(), c.mask_shape.end());
      for (size_t i = 0; i < n_src; i++) {
        SCOPED_TRACE("output " + std::to_string(i));
        const Src &s = c.srcs[i];
        // The mask's extents right-aligned to the source's rank.
        std::vector<int> ss(s.shape.begin(), s.shape.end()), m(ss.size(), 1);
        for (size_t d = 0; d < ms.size(); d++) m[ss.size() - ms.size() + d] = ms[d];
        const std::vector<uint8_t> want = ref::masked_select(data[i], ss, mask, m);
        EXPECT_EQ(card.read(kNetOut[i], want.size()), want);
        EXPECT_EQ(card.read(kNetOut[i] + want.size(), 64 - want.size()), std::vector<uint8_t>(64 - want.size(), 0xee));
        std::vector<uint32_t> out = s.shape;
        size_t rest = 1;
        for (size_t d = 0; d < out.size(); d++)
          if (int32_t(d) != s.squeeze_axis) rest *= out[d];
        out[size_t(s.squeeze_axis)] = uint32_t(want.size() / rest);
        EXPECT_EQ(out_shape(card, i).shape, out);
      }
    }
  });
}

// ---- index select ----

TEST(GlbSelectCtrl, IndexSelectTakesTheIndexTensorsShapeOrTheCoefficientCount) {
  const std::vector<float> in = wave(30, 23);
  const std::vector<int32_t> index = {4, 0, 2, 2, 1, 3, 0, 4};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kIn0, in);
    put(*card, kIn1, index);
    card->write(kRunCoeff + 0x100, index.data(), 16);
    // Axis -1 with an index tensor [4, 2]: [2, 3, 4, 2].
    Record tensor_rec = Record(24).i32(0, -1).u64(8, kBuf0).u32(16, 0);
    run_ok(*card, one_layer({{kFp32, {2, 3, 5}}, {kInt32, {4, 2}}}, 1,
                            glb_layer(DYNAMIC_LAYER_INDEX_SELECT, kFp32, tensor_rec,
                                      Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(10)))));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{2, 3, 4, 2}));
    const std::vector<float> want = ref::index_select(in, {2, 3, 5}, 2, std::vector<int>(index.begin(), index.end()));
    EXPECT_EQ(get<float>(*card, kOut0, want.size()), want);
    // Coefficient indices, index_num 4: [2, 3, 4].
    Record coeff_rec = Record(24).i32(0, 2).u64(8, kBuf0).u32(16, 1).u32(20, 4);
    run_ok(*card, one_layer({{kFp32, {2, 3, 5}}}, 1,
                            glb_layer(DYNAMIC_LAYER_INDEX_SELECT, kFp32, coeff_rec,
                                      Words().append(net_io_ref(1)).append(coeff_ref(0x100)).append(net_io_ref(10)))));
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{2, 3, 4}));
    const std::vector<float> want4 = ref::index_select(in, {2, 3, 5}, 2, {4, 0, 2, 2});
    EXPECT_EQ(get<float>(*card, kOut0, want4.size()), want4);
    // An 8-bit layer over bytes: the second scratch area lies one byte per
    // element on.
    std::vector<uint8_t> bytes(30);
    for (size_t i = 0; i < 30; i++) bytes[i] = uint8_t(i * 29 + 7);
    put(*card, kIn0, bytes);
    run_ok(*card, one_layer({{kInt8, {2, 3, 5}}}, 1,
                            glb_layer(DYNAMIC_LAYER_INDEX_SELECT, kInt8, coeff_rec,
                                      Words().append(net_io_ref(1)).append(coeff_ref(0x100)).append(net_io_ref(10)))));
    const std::vector<uint8_t> want8 = ref::index_select(bytes, {2, 3, 5}, 2, {4, 0, 2, 2});
    EXPECT_EQ(get<uint8_t>(*card, kOut0, want8.size()), want8);
  }
}

// ---- sort per dimension ----

TEST(GlbSelectCtrl, SortPerDimFollowsTheTensorsTypeNotTheLayers) {
  const std::vector<float> in = wave(15, 11, 0.75f);
  std::vector<float> values;
  std::vector<int32_t> positions;
  ref::sort_along(in, {3, 5}, 1, true, 5, &values, &positions);
  std::vector<int8_t> bytes(15);
  for (size_t i = 0; i < 15; i++) bytes[i] = int8_t(int((i * 73 + 5) % 256) - 128);
  std::vector<int8_t> byte_values;
  std::vector<int32_t> byte_positions;
  ref::sort_along(bytes, {3, 5}, 1, true, 5, &byte_values, &byte_positions);
  struct Case {
    const char *what;
    uint32_t layer_size, input_type, index_to_scratch;
  };
  const Case cases[] = {{"float tensor, float layer", kFp32, kFp32, 0},
                        {"float tensor, 8-bit layer", kInt8, kFp32, 0},
                        {"8-bit tensor", kInt8, kInt8, 0},
                        {"indices to the scratch", kFp32, kFp32, 1}};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      if (c.input_type == kFp32)
        put(*card, kIn0, in);
      else
        put(*card, kIn0, bytes);
      put(*card, kOut1, std::vector<int32_t>(15, -7));
      const Record r = Record(24).u32(0, 1).u32(4, c.index_to_scratch).u32(8, 0).u32(12, 1).u64(16, kBuf0);
      run_ok(*card, one_layer({{c.input_type, {3, 5}}}, 2,
                              glb_layer(DYNAMIC_LAYER_SORT_PER_DIM, c.layer_size, r,
                                        Words().append(net_io_ref(1)).append(net_io_ref(10)).append(net_io_ref(11)))));
      if (c.input_type == kFp32)
        EXPECT_EQ(get<float>(*card, kOut0, 15), values);
      else
        EXPECT_EQ(get<int8_t>(*card, kOut0, 15), byte_values);
      const std::vector<int32_t> want_positions =
          c.index_to_scratch ? std::vector<int32_t>(15, -7) : c.input_type == kFp32 ? positions : byte_positions;
      EXPECT_EQ(get<int32_t>(*card, kOut1, 15), want_positions);
      EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{3, 5}));
      EXPECT_EQ(out_shape(*card, 1).shape, (std::vector<uint32_t>{3, 5}));
    }
  }
}

// ---- arg ----

TEST(GlbSelectCtrl, ArgReducesTheAxisToOneAndViewsFiveDimensions) {
  struct Case {
    const char *what;
    std::vector<uint32_t> shape;
    int32_t axis;
    int view[4], view_axis;
    std::vector<uint32_t> out;
  };
  const Case cases[] = {
      {"axis 1 of [2, 3, 4]", {2, 3, 4}, 1, {2, 3, 4, 1}, 1, {2, 1, 4}},
      {"axis -1 of [2, 3, 4]", {2, 3, 4}, -1, {2, 3, 4, 1}, 2, {2, 3, 1}},
      {"axis 3 of [2, 2, 3, 4, 2]", {2, 2, 3, 4, 2}, 3, {12, 4, 1, 2}, 1, {2, 2, 3, 1, 2}},
  };
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      size_t n = 1;
      for (uint32_t e : c.shape) n *= e;
      // Distinct values: no ties.
      std::vector<float> in(n);
      for (size_t i = 0; i < n; i++) in[i] = float((i * 37) % n) - 20.0f;
      put(*card, kIn0, in);
      run_ok(*card, one_layer({{kFp32, c.shape}}, 1,
                              glb_layer(DYNAMIC_LAYER_ARG, kFp32, Record(32).i32(4, c.axis).u32(8, 0),
                                        Words().append(net_io_ref(1)).append(net_io_ref(10)))));
      EXPECT_EQ(out_shape(*card, 0).shape, c.out);
      const std::vector<float> want = ref::arg_index(in, c.view, c.view_axis, 0);
      EXPECT_EQ(get<float>(*card, kOut0, want.size()), want);
    }
  }
}

TEST(GlbSelectCtrl, EightBitArgRunsRightAlignedWithTheAxisMoved) {
  // An 8-bit [5, 6] input runs as [1, 1, 5, 6]: axis 1 becomes axis 3, axis -2
  // becomes 2. Signed bytes, stored 4N; equal extremes give the lowest index.
  std::vector<uint8_t> plain(30);
  for (size_t i = 0; i < 30; i++) plain[i] = uint8_t((i * 11) % 17 * 13 - 100);
  // One item stored 4N: byte 0 of each word, the other three padding.
  std::vector<uint8_t> four(4 * 30, 0xee);
  for (size_t i = 0; i < 30; i++) four[4 * i] = plain[i];
  std::vector<int> values(plain.begin(), plain.end());
  for (int &x : values) x = int(int8_t(uint8_t(x)));
  struct Case {
    int32_t axis;
    int moved;
    std::vector<uint32_t> out;
  };
  const Case cases[] = {{1, 3, {5, 1}}, {-2, 2, {1, 6}}};
  const int dims[4] = {1, 1, 5, 6};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    card->write(kIn0, four.data(), four.size());
    for (const Case &c : cases) {
      SCOPED_TRACE(c.axis);
      const Record r = Record(32).i32(4, c.axis).u32(8, 0).u32(12, 1).u64(16, kRunNeuron + kBuf0).u64(24, kRunNeuron + kBuf1);
      run_ok(*card, one_layer({{kInt8, {5, 6}}}, 1,
                              glb_layer(DYNAMIC_LAYER_ARG, kInt8, r, Words().append(net_io_ref(1)).append(net_io_ref(10)))));
      EXPECT_EQ(out_shape(*card, 0).shape, c.out);
      const std::vector<float> want = ref::arg_index(values, dims, c.moved, 0, true);
      const std::vector<int32_t> got = get<int32_t>(*card, kOut0, want.size());
      EXPECT_EQ(std::vector<float>(got.begin(), got.end()), want);
    }
  }
}

TEST(GlbSelectCtrl, ArgChecksItsAxisAndTheEightBitRank) {
  auto card = deferred_card(Backend::Native, 2);
  put(*card, kIn0, wave(64));
  auto arg = [](uint32_t size, int32_t axis) {
    return glb_layer(DYNAMIC_LAYER_ARG, size, Record(32).i32(4, axis), Words().append(net_io_ref(1)).append(net_io_ref(10)));
  };
  const NetRun good = one_layer({{kFp32, {4, 16}}}, 1, arg(kFp32, 1));
  run_fails(*card, one_layer({{kFp32, {4, 16}}}, 1, arg(kFp32, 2)), "axis >= 0 && axis < (i32)bottom.dims", good);
  run_fails(*card, one_layer({{kFp32, {4, 16}}}, 1, arg(kFp32, -3)), "axis >= 0 && axis < (i32)bottom.dims", good);
  run_fails(*card, one_layer({{kInt8, {1, 1, 2, 2, 16}}}, 1, arg(kInt8, 1)), "ASSERT_FS", good);
  EXPECT_NE(card->console().find("bottom.dims <= 4"), std::string::npos);
}

// ---- full reduction ----

Record reduce_rec(int16_t keep, std::vector<uint8_t> axes, uint32_t method) {
  Record r(40);
  r.u16(0, uint16_t(keep)).u16(2, uint16_t(axes.size())).u32(4, method).u64(16, kBuf0);
  for (size_t i = 0; i < axes.size(); i++) r.u8(8 + i, axes[i]);
  return r;
}

TEST(GlbSelectCtrl, ReduceFullKeepsOrDropsTheReducedAxesAndKeepsRealZeroExtents) {
  const std::vector<float> in = wave(24, 9, 0.5f);
  struct Case {
    const char *what;
    std::vector<uint32_t> shape;
    int16_t keep;
    std::vector<uint8_t> axes;
    uint32_t method;
    std::vector<uint32_t> out;
  };
  const Case cases[] = {
      {"sum over 1 and 2, kept", {2, 3, 4}, 1, {1, 2}, 1, {2, 1, 1}},
      {"max over 1 and 2, dropped", {2, 3, 4}, 0, {1, 2}, 2, {2}},
      {"mean over all, dropped", {2, 3, 4}, 0, {0, 1, 2}, 0, {}},
      {"an empty input over axis 2", {2, 0, 4}, 0, {2}, 1, {2, 0}},
  };
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kIn0, in);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      run_ok(*card, one_layer({{kFp32, c.shape}}, 1,
                              glb_layer(DYNAMIC_LAYER_REDUCE_FULL, kFp32, reduce_rec(c.keep, c.axes, c.method),
                                        Words().append(net_io_ref(1)).append(net_io_ref(10)))));
      EXPECT_EQ(out_shape(*card, 0).shape, c.out);
      if (c.shape[1] == 0) continue;
      const std::vector<float> want = ref::reduce(in, std::vector<int>(c.shape.begin(), c.shape.end()),
                                                  std::vector<int>(c.axes.begin(), c.axes.end()), int(c.method));
      const std::vector<float> got = get<float>(*card, kOut0, want.size());
      for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-5f * (1.0f + std::fabs(want[i]))) << i;
    }
  }
}

TEST(GlbSelectCtrl, EightBitReduceFullTakesItsSignScalesAndStoreMode) {
  // Signed bytes [5, 3, 4] stored 4N, summed over axis 2 (kept) with input
  // scale 0.5 and output scale 0.25; and the maximum over axes 1 and 2.
  const std::vector<int> shape = {5, 3, 4};
  std::vector<uint8_t> in(60);
  for (size_t i = 0; i < 60; i++) in[i] = uint8_t((i * 37 + 11) % 251);
  std::vector<uint8_t> four(2 * 4 * 12, 0xee);
  for (size_t n = 0; n < 5; n++)
    for (size_t j = 0; j < 12; j++) four[ref::offset_4n(n, j, 12)] = in[n * 12 + j];
  struct Case {
    const char *what;
    int16_t keep;
    std::vector<uint8_t> axes;
    uint32_t method;
    std::vector<uint32_t> out;
  };
  const Case cases[] = {{"sum over axis 2, kept", 1, {2}, 1, {5, 3, 1}}, {"max over 1 and 2", 0, {1, 2}, 2, {5}}};
  const float in_scale = 0.5f, out_scale = 0.25f;
  uint32_t in_bits, out_bits;
  std::memcpy(&in_bits, &in_scale, 4);
  std::memcpy(&out_bits, &out_scale, 4);
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    card->write(kIn0, four.data(), four.size());
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      Record r = reduce_rec(c.keep, c.axes, c.method);
      r.u32(24, 1).u32(28, in_bits).u32(32, out_bits);
      run_ok(*card, one_layer({{kInt8, {5, 3, 4}}}, 1,
                              glb_layer(DYNAMIC_LAYER_REDUCE_FULL, kInt8, r,
                                        Words().append(net_io_ref(1)).append(net_io_ref(10)), 2, 2)));
      EXPECT_EQ(out_shape(*card, 0).shape, c.out);
      const std::vector<uint8_t> want = ref::reduce_fix8b(in, shape, std::vector<int>(c.axes.begin(), c.axes.end()),
                                                          int(c.method), true, in_scale, out_scale);
      const size_t per = want.size() / 5;
      EXPECT_EQ(ref::to_1n(card->read(kOut0, 2 * 4 * per), 5, per), want);
    }
  }
}

TEST(GlbSelectCtrl, ReduceFullRejectsAxesOutsideTheRank) {
  auto card = deferred_card(Backend::Native, 3);
  put(*card, kIn0, wave(24));
  auto reduce = [](std::vector<uint8_t> axes) {
    return glb_layer(DYNAMIC_LAYER_REDUCE_FULL, kFp32, reduce_rec(0, axes, 1),
                     Words().append(net_io_ref(1)).append(net_io_ref(10)));
  };
  const NetRun good = one_layer({{kFp32, {2, 3, 4}}}, 1, reduce({2}));
  run_fails(*card, one_layer({{kFp32, {2, 3, 4}}}, 1, reduce({1, 3})), "axes[i] < (int)in.dims", good);
  run_fails(*card, one_layer({{kFp32, {2, 3, 4}}}, 1, reduce({200})), "axes[i] < (int)in.dims", good);
}

// ---- top-k ----

TEST(GlbSelectCtrl, TopkTakesKFromTheRecordOrAShapeTensorAndZeroKeepsTheExtent) {
  const std::vector<float> in = wave(24, 19, 0.25f);
  const std::vector<int32_t> k_value = {2};
  struct Case {
    const char *what;
    int32_t record_k;
    bool from_tensor;
    int k;  // the k that applies
  };
  const Case cases[] = {{"k 3 from the record", 3, false, 3},
                        {"k 2 from the shape tensor, the record says 5", 5, true, 2},
                        {"k 0 keeps the extent", 0, false, 8}};
  for_each_api_card([&](host::Card &card) {
    put(card, kIn0, in);
    put(card, kIn1, k_value);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      NetRun n;
      n.inputs = {NetIo{1, kIn0, kFp32, {3, 8}}, NetIo{2, kIn1, kInt32, {1}}};
      n.outputs = {NetIo{10, kOut0}, NetIo{11, kOut1}};
      const Record r = Record(16).i32(0, c.record_k).u8(4, 1).u8(5, c.from_tensor).u8(6, 1).u64(8, kBuf0);
      Words refs = Words().append(net_io_ref(1));
      if (c.from_tensor) {
        // The shape tensor 5 comes from input 2 through device2host.
        n.groups.push_back(global_group({2}, {key(5, 1)},
                                        transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0,
                                                       Words().append(net_io_ref(2)).append(shape_ref(5)))));
        refs.append(shape_ref(5));
      }
      refs.append(net_io_ref(10)).append(net_io_ref(11));
      n.groups.push_back(global_group(c.from_tensor ? std::vector<uint32_t>{1, 5} : std::vector<uint32_t>{1}, {},
                                      glb_layer(DYNAMIC_LAYER_TOPK, kFp32, r, refs)));
      run_ok(card, n);
      std::vector<float> values;
      std::vector<int32_t> positions;
      ref::sort_along(in, {3, 8}, 1, true, c.k, &values, &positions);
      const std::vector<uint32_t> shape = {3, uint32_t(c.k)};
      EXPECT_EQ(out_shape(card, 0).shape, shape);
      EXPECT_EQ(out_shape(card, 1).shape, shape);
      EXPECT_EQ(get<float>(card, kOut0, values.size()), values);
      EXPECT_EQ(get<int32_t>(card, kOut1, positions.size()), positions);
    }
  });
}

}  // namespace
}  // namespace zv::test
