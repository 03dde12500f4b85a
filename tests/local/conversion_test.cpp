// Conversions on local slices: the rounding modes on ties and at the edges of
// float32, float to int32 and back with saturation, NaN and infinities, the
// class tests, the 16-bit constant subtraction, the 8-bit quantiser and the
// 4N and 16-bit unpacking, against plain references under every schedule.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "local/conversion.h"
#include "local/local_rig.h"
#include "local/math.h"
#include "local/math_rig.h"
#include "ref/convert_ref.h"

namespace zv::test::local {
namespace {

namespace cr = zv::ref::convert;
using er::Dim;
using er::Local;

u32 fb(float v) { return er::bits(v); }
float bf(u32 u) { return er::f(u); }

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Ties, the edges of the float format, and the values the mends are about.
const std::vector<float> kRoundingInputs = {
    0.5f, -0.5f, 1.5f, -1.5f, 2.5f, -2.5f, 2.75f, -2.75f, 0.4f, -0.4f, -2.0f, 2.1f, -2.1f, 0.0f, -0.0f,
    4194304.5f, -4194304.5f,  // 2^22 + 0.5: the last halves
    8388609.0f, -8388609.0f,  // odd integers beyond 2^23
    16777217.0f, 1e30f, -1e30f, INFINITY, -INFINITY, kNaN,
    1e-35f, -1e-35f, 1e-40f, -1.4e-45f,  // below 2^-104, and subnormals: signed zeros
    FLT_MIN, 0.99999994f, -0.99999994f};

bool same_value(float got, float want, bool zero_sign_matters) {
  if (std::isnan(want)) return std::isnan(got);
  if (!zero_sign_matters && want == 0.0f) return got == 0.0f;
  return fb(got) == fb(want);
}

TEST(Rounding, EachModeOnTiesEdgesAndSpecialValues) {
  struct Mode {
    const char *name;
    int type;
    float (*ref)(float);
    bool zero_sign;  // floor and ceil return +0.0 where the C library keeps -0.0
  };
  const Mode modes[] = {
      {"trim", UNARY_TRIM, [](float x) { return std::trunc(x); }, true},
      {"round", UNARY_ROUND, [](float x) { return std::round(x); }, true},
      {"floor", UNARY_FLOOR, [](float x) { return std::floor(x); }, false},
      {"ceil", UNARY_CEIL, [](float x) { return std::ceil(x); }, false},
  };
  for (const Mode &m : modes) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(m.name) + ", " + sched_text(s));
      const UnaryRun r = run_unary(m.type, kRoundingInputs, nullptr, s);
      ASSERT_TRUE(r.ran);
      for (size_t i = 0; i < kRoundingInputs.size(); i++)
        EXPECT_TRUE(same_value(r.out[i], m.ref(kRoundingInputs[i]), m.zero_sign))
            << "x = " << kRoundingInputs[i] << " gives " << r.out[i];
    }
  }
  // Rounding works on the float sum x + 0.5, which is 1.0 just below a half.
  const UnaryRun r = run_unary(UNARY_ROUND, {0.49999997f, -0.49999997f}, nullptr);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(r.out[0], 1.0f);
  EXPECT_EQ(r.out[1], -1.0f);
}

TEST(Rounding, FloatToInt32TruncatesAndSaturates) {
  const std::vector<float> in = {0.5f, -0.5f, 1.5f, -1.5f, 2.5f, -2.5f, 2147483520.0f, 3e9f, -3e9f,
                                 INFINITY, -INFINITY, kNaN, -0.0f, 1e-40f};
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    const UnaryRun r = run_unary(UNARY_F32_TO_I32, in, nullptr, s);
    ASSERT_TRUE(r.ran);
    for (size_t i = 0; i < in.size(); i++) EXPECT_EQ(i32(fb(r.out[i])), cr::f32_to_i32(in[i])) << "x = " << in[i];
  }
}

TEST(IntToFloat, WordsReadAsSignedUnsignedAndByteValues) {
  const std::vector<u32> words = {0, 1, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0x01020304u,
                                  16777217u, 123456789u, 0xFFu, 0x17Fu, 0xFEDCBA98u};
  std::vector<float> in;
  for (u32 w : words) in.push_back(bf(w));
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(sched_text(s));
    const UnaryRun i = run_unary(UNARY_I32_TO_F32, in, nullptr, s), u = run_unary(UNARY_U32_TO_F32, in, nullptr, s),
                   b = run_unary(UNARY_U8_TO_F32, in, nullptr, s);
    ASSERT_TRUE(i.ran);
    ASSERT_TRUE(u.ran);
    ASSERT_TRUE(b.ran);
    for (size_t k = 0; k < words.size(); k++) {
      SCOPED_TRACE(words[k]);
      EXPECT_EQ(i.out[k], float(i32(words[k])));
      EXPECT_EQ(u.out[k], float(words[k]));
      EXPECT_EQ(b.out[k], float(words[k] & 0xFF));
    }
  }
}

TEST(Rounding, TrimWithoutAStrideRecordUsesTheAlignedLayout) {
  // A 3 x 5 plane is not a multiple of 32: the 16-bit steps must address the
  // same elements as the rest of the routine.
  const Dim shape{2, 3, 3, 5};
  BdRig rig;
  Values val(4);
  const Local x = er::aligned(lane(62, 0x0), shape), y = er::aligned(lane(62, 0x1000), shape);
  const auto in = rig.fill(x, [&] { return fb(float(int(val.below(2000)) - 1000) / 16.0f); });
  const dim4_t sh = d4(shape);
  const u32 bufs[2] = {untag(lane(62, 0x2000)), untag(lane(62, 0x3000))};
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_f32_trim(untag(x.addr), untag(y.addr), bufs, 2, &sh, nullptr, n); }));
  const auto out = rig.read(y);
  for (size_t i = 0; i < in.size(); i++) ASSERT_EQ(out[i], fb(std::trunc(bf(in[i])))) << bf(in[i]);
}

TEST(ClassTests, InfNaNAndFiniteGiveInt32Marks) {
  const std::vector<u32> words = {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0x7F800000u, 0xFF800000u, 0,
                                  0x80000000u, fb(1.0f), fb(FLT_MAX), 1u, fb(-3.5f)};
  struct What {
    int what;
    bool (*ref)(float);
  };
  const What tests[] = {{0, [](float v) { return std::isinf(v); }},
                        {1, [](float v) { return std::isnan(v); }},
                        {2, [](float v) { return std::isfinite(v); }}};
  const Dim shape{1, 2, 1, 8};
  for (const What &t : tests) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::to_string(t.what) + ", " + sched_text(s));
      BdRig rig(s);
      const Local x = er::aligned(lane(0, 0x0), shape), y = er::aligned(lane(0, 0x1000), shape);
      size_t k = 0;
      rig.fill(x, [&] { return k < words.size() ? words[k++] : 0u; });
      const dim4_t sh = d4(shape);
      const u32 buf = 0x2000;
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_f32_is(0x0, 0x1000, t.what, &buf, 1, &sh, nullptr, n); }));
      const auto out = rig.read(y);
      for (size_t i = 0; i < words.size(); i++) EXPECT_EQ(out[i], t.ref(bf(words[i])) ? 1u : 0u) << std::hex << words[i];
    }
  }
  expect_local_assert([](cmd_id_node_t *n) {
    const dim4_t sh{1, 1, 1, 8};
    tensor_f32_is(0x0, 0x1000, 3, nullptr, 0, &sh, nullptr, n);
  }, "tensor_f32_is", "0", "Not supported f32_is what=3");
}

TEST(Int16Sub, SubtractsOnBothHalvesWithSaturation) {
  struct Case {
    u32 word;
    u32 k;
    int reverse;
    u32 want;
  };
  const Case cases[] = {
      {0x00050003u, 127, 0, 0xFF86FF84u},   // 5 - 127, 3 - 127
      {0x00050003u, 23, 1, 0x00120014u},    // 23 - 5, 23 - 3
      {0x80000000u, 1, 0, 0x8000FFFFu},     // -32768 - 1 stays -32768; 0 - 1
      {0x80007FFFu, 23, 1, 0x7FFF8018u},    // 23 + 32768 saturates; 23 - 32767
  };
  const Dim shape{1, 1, 1, 4};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.word);
    BdRig rig;
    const Local a = er::aligned(lane(0, 0x0), shape), r = er::aligned(lane(0, 0x1000), shape);
    rig.fill(a, [&] { return k.word; });
    const dim4_t sh = d4(shape);
    ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_const_i16_sub(0x0, k.k, 0x1000, k.reverse, &sh, nullptr, n); }));
    EXPECT_EQ(rig.read(r)[0], k.want);
  }
}

// ---- Quantiser ----

const std::vector<float> kQuantInputs = {2.5f, -2.5f, 0.5f, -0.5f, 1.5f, 127.4f, 127.6f, 300.0f, -300.0f, 255.6f,
                                         -128.7f, 0.0f, -0.0f, kNaN, INFINITY, -INFINITY, 3.99f, -3.99f};

TEST(Quantiser, ClampsTruncatesAndPacksFourItemsPerWord) {
  struct Case {
    int N;
    int is_signed, is_1n;
  };
  const Case cases[] = {{5, 1, 0}, {5, 0, 0}, {8, 1, 0}, {3, 0, 0}, {1, 1, 0}, {6, 1, 1}};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("N " + std::to_string(k.N) + " signed " + std::to_string(k.is_signed) + " 1N " +
                   std::to_string(k.is_1n) + ", " + sched_text(s));
      const Dim shape{k.N, 3, 2, 5};
      BdRig rig(s);
      const Local in = er::aligned(lane(62, 0x0), shape), out = er::aligned(lane(62, 0x4000), shape);
      size_t i = 0;
      const auto x = rig.fill(in, [&] { return fb(kQuantInputs[i++ % kQuantInputs.size()]); });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_float2int8_local(in.addr, out.addr, k.N, 3, 2, 5, k.is_signed, k.is_1n, n);
      }));
      const auto y = rig.read(out);
      const size_t per_item = 3 * 2 * 5;
      for (size_t p = 0; p < per_item; p++) {
        std::vector<uint8_t> bytes;
        for (int b = 0; b < k.N; b++) bytes.push_back(cr::quantise_trunc(bf(x[b * per_item + p]), k.is_signed));
        if (k.is_1n) {
          for (int b = 0; b < k.N; b++) ASSERT_EQ(y[b * per_item + p], bytes[b]) << "item " << b << " at " << p;
        } else {
          const auto words = cr::pack_4n(bytes);
          for (size_t g = 0; g < words.size(); g++) ASSERT_EQ(y[g * per_item + p], words[g]) << "word " << g << " at " << p;
        }
      }
    }
  }
  // One item: clamp, convert and mask only.
  EXPECT_EQ(issued([](cmd_id_node_t *n) { nodechip_float2int8_local(lane(0, 0), lane(0, 0x1000), 1, 1, 1, 8, 1, 0, n); }).size(), 4u);
}

TEST(Quantiser, KeepInputRoundsHalvesAwayFromZeroAndLeavesTheInput) {
  for (int is_signed : {1, 0}) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("signed " + std::to_string(is_signed) + ", " + sched_text(s));
      const int N = 6;
      const Dim shape{N, 3, 2, 5};
      BdRig rig(s);
      const Local in = er::aligned(lane(62, 0x0), shape), out = er::aligned(lane(62, 0x4000), shape);
      size_t i = 0;
      const auto x = rig.fill(in, [&] { return fb(kQuantInputs[i++ % kQuantInputs.size()]); });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_float2int8_local_keep_input(untag(in.addr), untag(out.addr), untag(lane(62, 0x8000)), N, 3, 2, 5,
                                             is_signed, n);
      }));
      EXPECT_EQ(rig.read(in), x);
      const auto y = rig.read(out);
      const size_t per_item = 3 * 2 * 5;
      for (size_t p = 0; p < per_item; p++) {
        std::vector<uint8_t> bytes;
        for (int b = 0; b < N; b++) bytes.push_back(cr::quantise_round(bf(x[b * per_item + p]), is_signed));
        const auto words = cr::pack_4n(bytes);
        for (size_t g = 0; g < words.size(); g++) ASSERT_EQ(y[g * per_item + p], words[g]) << "word " << g << " at " << p;
      }
    }
  }
}

TEST(Unpack, Int8FourNToFloatSignedAndUnsigned) {
  struct Case {
    int N;
    int is_signed;
    u8 keep;
  };
  const Case cases[] = {{5, 1, 0}, {5, 0, 1}, {6, 1, 1}, {1, 0, 0}, {8, 1, 0}};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("N " + std::to_string(k.N) + " signed " + std::to_string(k.is_signed) + " keep " +
                   std::to_string(k.keep) + ", " + sched_text(s));
      const int groups = (k.N + 3) / 4;
      const Dim packed{groups, 3, 2, 5}, shape{k.N, 3, 2, 5};
      BdRig rig(s);
      Values val(11);
      const Local in = er::aligned(lane(62, 0x0), packed), out = er::aligned(lane(62, 0x4000), shape);
      static const u32 edge[] = {0x807F00FFu, 0x01FE7F80u};
      size_t e = 0;
      const auto words = rig.fill(in, [&] { return e < 2 ? edge[e++] : val.word(); });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        tensor_int8_to_float_local_v2(untag(in.addr), untag(out.addr), untag(lane(62, 0x8000)), k.N, 3, 2, 5, k.keep,
                                      k.is_signed, STORAGE_MODE_4N_INT8, n);
      }));
      const auto y = rig.read(out);
      if (k.keep) {
        EXPECT_EQ(rig.read(in), words);
      }
      const size_t per_item = 3 * 2 * 5;
      for (int b = 0; b < k.N; b++)
        for (size_t p = 0; p < per_item; p++) {
          const uint8_t byte = uint8_t(words[(b / 4) * per_item + p] >> (8 * (b % 4)));
          ASSERT_EQ(bf(y[b * per_item + p]), cr::byte_value(byte, k.is_signed)) << "item " << b << " at " << p;
        }
    }
  }
  expect_local_assert([](cmd_id_node_t *n) { tensor_int8_to_float_local_v2(0, 0x1000, 0x2000, 4, 1, 1, 8, 0, 1, 1, n); },
                      "tensor_int8_to_float_local_v2", "mode == STORAGE_MODE_4N_INT8");
}

TEST(Unpack, Int16OneNAndTwoNToFloat) {
  struct Case {
    int mode, N, H, W, is_signed;
  };
  const Case cases[] = {{3, 3, 2, 5, 1}, {3, 4, 2, 5, 0}, {3, 1, 1, 7, 1}, {2, 2, 3, 3, 1}, {2, 3, 2, 4, 0}, {2, 1, 1, 1, 1}};
  const int C = 3;
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("mode " + std::to_string(k.mode) + " N " + std::to_string(k.N) + " HxW " + std::to_string(k.H * k.W) +
                   " signed " + std::to_string(k.is_signed) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(k.N * 7 + k.mode);
      const int hw = k.H * k.W;
      const u32 in_base = lane(62, 0x0);
      const Local out = er::aligned(lane(62, 0x4000), Dim{k.N, C, k.H, k.W});
      // The 16-bit values of (n, c, i) and their places: mode 3 two items per
      // word (channel stride cs words), mode 2 two elements per word (channel
      // stride cs 16-bit elements).
      const int cs = k.mode == 3 ? 16 : 2 * ((hw + 1) / 2) + 2;
      const int rows = 2;  // channels 0..2 from lane 62
      std::vector<uint16_t> v(size_t(k.N) * C * hw);
      for (auto &h : v) h = uint16_t(val.word());
      v[0] = 0x8000;
      v[v.size() - 1] = 0x7FFF;
      for (int c = 0; c < C; c++) {
        const u32 lane_no = (62 + c) % 64, row = (62 + c) / 64;
        for (int n = 0; n < (k.mode == 3 ? (k.N + 1) / 2 : k.N); n++)
          for (int i = 0; i < (k.mode == 3 ? hw : (hw + 1) / 2); i++) {
            auto at = [&](int nn, int ii) -> uint16_t {
              return nn < k.N && ii < hw ? v[(size_t(nn) * C + c) * hw + ii] : 0;
            };
            u32 word, byte_off;
            if (k.mode == 3) {
              word = at(2 * n, i) | u32(at(2 * n + 1, i)) << 16;
              byte_off = 4 * (n * cs * rows + row * cs + i);
            } else {
              word = at(n, 2 * i) | u32(at(n, 2 * i + 1)) << 16;
              byte_off = 4 * (n * (cs / 2) * rows + row * (cs / 2) + i);
            }
            rig.put(er::kLocal + u64(lane_no) * er::kLane + (in_base & 0x7FFFF) + byte_off, word);
          }
      }
      const dim4_t sh{k.N, C, k.H, k.W};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        nodechip_fix16_to_float_local_stride(untag(in_base), untag(out.addr), 0, &sh, cs, k.is_signed, k.mode, n);
      }));
      const auto y = rig.read(out);
      for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(bf(y[i]), cr::half_value(v[i], k.is_signed)) << "element " << i;
    }
  }
  const dim4_t sh{1, 1, 1, 8};
  expect_local_assert([&](cmd_id_node_t *n) { nodechip_fix16_to_float_local_stride(0, 0x1000, 0, &sh, 8, 1, 4, n); },
                      "nodechip_fix16_to_float_local_stride", "mode == STORAGE_MODE_1N_INT16");
  const dim4_t big{1, 1, 1, 8};
  expect_local_assert([&](cmd_id_node_t *n) { nodechip_fix16_to_float_local_stride(0x7FFF0, 0x1000, 0, &big, 16, 1, 2, n); },
                      "nodechip_fix16_to_float_local_stride", "input_offset + in_tensor_size_1N <= (1<<19)");
}

TEST(Conversions, CheckTheirBuffersAddressesAndStrides) {
  const dim4_t sh{1, 2, 3, 5};
  const u32 bufs[2] = {0x3000, 0x4000};
  struct Bad {
    const char *function, *condition, *info, *kind;
    std::function<void(cmd_id_node_t *)> call;
  };
  const dim4_t bad_stride{64, 40, 5, 1};  // c stride not the aligned plane of 3 x 5
  const Bad bad[] = {
      {"tensor_f32_trim", "input_lo != output_lo", "none.", "ASSERT_FS",
       [&](cmd_id_node_t *n) { tensor_f32_trim(0x1000, 0x1000, bufs, 2, &sh, nullptr, n); }},
      {"tensor_f32_floor", "output_lo != input_lo", "none.", "ASSERT_FS",
       [&](cmd_id_node_t *n) { tensor_f32_floor(0x1000, 0x1000, bufs, 2, &sh, nullptr, n); }},
      {"tensor_f32_round", "num_buffer>=2", "tensor_f32_round requires 2 buffers", "ASSERT",
       [&](cmd_id_node_t *n) { tensor_f32_round(0x1000, 0x2000, bufs, 1, &sh, nullptr, n); }},
      {"tensor_u32_to_f32", "u32_local_addr != f32_local_addr", "none.", "ASSERT_FS",
       [&](cmd_id_node_t *n) { tensor_u32_to_f32(0x1000, 0x1000, bufs, 1, &sh, nullptr, n); }},
      {"tensor_i32_to_f32", "num_buffer>=2", "tensor_i32_to_f32 requires 2 buffers", "ASSERT",
       [&](cmd_id_node_t *n) { tensor_i32_to_f32(0x1000, 0x2000, bufs, 1, &sh, nullptr, n); }},
      {"tensor_f32_is_nan", "mark_lo != f32_lo", "none.", "ASSERT_FS",
       [&](cmd_id_node_t *n) { tensor_f32_is_nan(0x1000, 0x1000, bufs, 1, &sh, nullptr, n); }},
      {"tensor_f32_is_finite", "f32_lo != mark_lo", "none.", "ASSERT_FS",
       [&](cmd_id_node_t *n) { tensor_f32_is_finite(0x1000, 0x1000, &sh, nullptr, n); }},
      {"tensor_f32_to_i32",
       "stride == NULL || shape->c == 1 || stride->c == 0 || stride->h == 0 || stride->c == ALIGN(stride->h * shape->h, EU_NUM)",
       "stride is not aligned!", "ASSERT",
       [&](cmd_id_node_t *n) { tensor_f32_to_i32(0x1000, 0x2000, &sh, &bad_stride, n); }},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.condition);
    expect_local_assert(b.call, b.function, b.condition, b.info, b.kind);
  }
}

}  // namespace
}  // namespace zv::test::local
