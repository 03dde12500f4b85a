// Binary operations on tensor records: the code tables, the bank, slice and
// flat-piece plans by tables, and the 4-D and flat layers run as firmware code
// on the chip model against double references under every schedule with the
// happens-before checker, with broadcasting, constants (given and stored) and
// special values; and the layers' checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fw_test.h"
#include "layers/eltwise/binary.h"
#include "ref/binary_type_ref.h"

namespace zv::test {
namespace {

constexpr u64 kA = 0x100000000ull;
constexpr u64 kB = 0x104000000ull;
constexpr u64 kR = 0x108000000ull;
constexpr u64 kBuf = 0x10c000000ull;

// Operand values of a type: 0/1 for the logical types, a positive base for
// the power and the square-root gradient, no zero divisor, few levels (ties)
// for the comparisons; multiples of 1/8 elsewhere.
float value(int type, bool first, size_t i, unsigned seed) {
  const unsigned x = unsigned(i * 2654435761u + seed * 40503u + (first ? 0u : 7919u));
  if (type == 7 || type == 8) return float((x >> 9) % 2);
  if (type >= 9 && type <= 14) return float(int((x >> 7) % 5) - 2);
  if (type == 4 && first) return 0.5f + float((x >> 5) % 29) / 8.0f;
  if (type == 4) return float(int((x >> 5) % 49) - 24) / 8.0f;
  float v = float(int((x >> 5) % 97) - 48) / 8.0f;
  if (v == 0.0f && ((type == 3 && !first) || (type == 16 && first))) v = 1.0f;
  return v;
}

double tolerance(int type) { return type == 4 ? 2e-6 : 2e-7; }

void store(LayerRunner &rig, u64 addr, const std::vector<float> &v, bool bytes) {
  if (bytes) {
    std::vector<u8> b(v.size());
    for (size_t i = 0; i < v.size(); i++) b[i] = u8(v[i] != 0.0f);
    rig.chip().ddr.store(addr, b.data(), b.size());
  } else {
    rig.chip().ddr.store(addr, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
  }
}

std::vector<double> load(LayerRunner &rig, u64 addr, size_t n, bool bytes) {
  std::vector<double> out(n);
  if (bytes) {
    std::vector<u8> b(n);
    rig.chip().ddr.load(addr, b.data(), n);
    for (size_t i = 0; i < n; i++) out[i] = b[i];
  } else {
    std::vector<float> f(n);
    rig.chip().ddr.load(addr, reinterpret_cast<u8 *>(f.data()), n * 4);
    for (size_t i = 0; i < n; i++) out[i] = f[i];
  }
  return out;
}

// One operand of a request: a tensor with broadcast factors, or a constant.
struct Operand {
  int mode = BINARY_OPERAND_TENSOR;
  float constant = 0.0f;
  int bcast[4] = {1, 1, 1, 1};
};

// Runs nodechip_binary over `dims` on `rig` and checks every result element
// against the reference.
void check_binary(LayerRunner &rig, int type, const int dims[4], const Operand &a, const Operand &b,
                  unsigned seed) {
  const bool bin = ref::binary_type::bytes_in(type), bout = ref::binary_type::bytes_out(type);
  const Operand *ops[2] = {&a, &b};
  std::vector<float> data[2];
  int own[2][4];
  for (int k = 0; k < 2; k++) {
    size_t count = 1;
    for (int d = 0; d < 4; d++) {
      own[k][d] = dims[d] / ops[k]->bcast[d];
      count *= size_t(own[k][d]);
    }
    if (ops[k]->mode != BINARY_OPERAND_TENSOR) count = 1;
    data[k].resize(count);
    for (size_t i = 0; i < count; i++) data[k][i] = value(type, k == 0, i, seed);
    if (ops[k]->mode == BINARY_OPERAND_STORED) data[k][0] = ops[k]->constant;
    if (ops[k]->mode != BINARY_OPERAND_CONST) store(rig, k == 0 ? kA : kB, data[k], bin);
  }
  const size_t total = size_t(dims[0]) * size_t(dims[1]) * size_t(dims[2]) * size_t(dims[3]);
  ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
    nodechip_binary(kA, kB, kR, kBuf, dims[0], dims[1], dims[2], dims[3], a.bcast[0], a.bcast[1], a.bcast[2],
                    a.bcast[3], b.bcast[0], b.bcast[1], b.bcast[2], b.bcast[3], a.mode, a.constant, b.mode,
                    b.constant, type, node);
  }));
  const std::vector<double> got = load(rig, kR, total, bout);
  size_t i = 0;
  for (int n = 0; n < dims[0]; n++)
    for (int c = 0; c < dims[1]; c++)
      for (int h = 0; h < dims[2]; h++)
        for (int w = 0; w < dims[3]; w++, i++) {
          const int at[4] = {n, c, h, w};
          double x[2];
          for (int k = 0; k < 2; k++) {
            if (ops[k]->mode != BINARY_OPERAND_TENSOR) {
              x[k] = ops[k]->constant;
              if (ops[k]->mode == BINARY_OPERAND_STORED && bin) x[k] = ops[k]->constant != 0.0f;
              continue;
            }
            size_t j = 0;
            for (int d = 0; d < 4; d++) j = j * size_t(own[k][d]) + size_t(ops[k]->bcast[d] == 1 ? at[d] : 0);
            x[k] = bin ? double(data[k][j] != 0.0f) : double(data[k][j]);
          }
          const double want = ref::binary_type::apply(type, x[0], x[1]);
          ASSERT_NEAR(got[i], want, tolerance(type) * std::fmax(1.0, std::fabs(want)))
              << "a " << x[0] << " b " << x[1] << " at " << i;
        }
}

// ---- Codes and plans ----

TEST(BinaryCodes, LogicalCodesAndTypeTables) {
  for (int code : {0, 1, 2, 3, 4, 10000, 10007, 10008, 10009, 10010, -1, 9999}) EXPECT_EQ(is_logical_binary_op(code), 0) << code;
  for (int code = 10001; code <= 10006; code++) EXPECT_EQ(is_logical_binary_op(code), 1) << code;
  struct Row {
    int type, A, B, R, scratch;
  };
  const Row rows[] = {{0, 0, 0, 0, 0},  {4, 0, 0, 0, 1},  {7, 1, 1, 1, 1},  {8, 1, 1, 1, 1},
                      {9, 0, 0, 1, 0},  {10, 0, 0, 1, 1}, {12, 0, 0, 1, 1}, {13, 0, 0, 1, 0},
                      {15, 0, 0, 0, 2}, {19, 0, 0, 0, 2}, {20, 0, 0, 0, 1}};
  for (const Row &r : rows) {
    int f[3];
    fill_tensor_data_fmt(&f[0], &f[1], &f[2], r.type);
    EXPECT_EQ((std::vector<int>{f[0], f[1], f[2], binary_extra_tensor_num(r.type)}),
              (std::vector<int>{r.A, r.B, r.R, r.scratch}))
        << "type " << r.type;
  }
  EXPECT_EQ(global_byte_num(0), 4);
  EXPECT_EQ(global_byte_num(1), 1);
  for (int bad : {21, -1}) {
    expect_assert([bad] { int f[3]; fill_tensor_data_fmt(&f[0], &f[1], &f[2], bad); }, "ASSERT",
                  "firmware/layers/", "fill_tensor_data_fmt", "0", "op=" + std::to_string(bad));
    expect_assert([bad] { binary_extra_tensor_num(bad); }, "ASSERT", "firmware/layers/",
                  "binary_extra_tensor_num", "0", "op=" + std::to_string(bad));
  }
  expect_assert([] { global_byte_num(2); }, "ASSERT", "firmware/layers/", "global_byte_num", "0", "format=2");
}

TEST(BinaryPlan, BankShares) {
  struct Case {
    const char *what;
    int type, A_const, B_const;
    int banks;
    std::vector<u32> offsets;  // A, B, R, scratch 0, scratch 1
  };
  const Case cases[] = {
      {"add of two tensors", 0, 0, 0, 2, {0, 0x20000, 0x40000, 0, 0}},
      {"squared difference: five tensors", 15, 0, 0, 1, {0, 0x10000, 0x20000, 0x30000, 0x40000}},
      {"add with A constant", 0, 1, 0, 4, {0, 0, 0x40000, 0, 0}},
      {"power with B constant", 4, 0, 1, 2, {0, 0, 0x20000, 0x40000, 0}},
      {"sigmoid gradient, both constant", 19, 1, 1, 2, {0, 0, 0, 0x20000, 0x40000}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    binary_banks_t p;
    binary_banks_of(&p, c.type, c.A_const, c.B_const);
    EXPECT_EQ(p.banks, c.banks);
    EXPECT_EQ(std::vector<u32>(p.offset, p.offset + 5), c.offsets);
    EXPECT_TRUE(local_areas_valid(p.areas, p.area_count));
    EXPECT_EQ(p.area_count, 1 + !c.A_const + !c.B_const + binary_extra_tensor_num(c.type));
  }
}

TEST(BinaryPlan, SliceSearchAndFlatPieces) {
  struct Slice {
    const char *what;
    dim4_t shape;
    u64 budget;
    int found;
    dim4_t slice;
  };
  const Slice slices[] = {
      {"fits whole", {2, 100, 7, 9}, 0x20000, 1, {2, 100, 7, 9}},
      // 2 rows of lanes x 4096 floats x 4 = 32 KB an item: 4 items of 6 fit.
      {"items bisected", {6, 100, 64, 64}, 0x20000, 1, {4, 100, 64, 64}},
      // One item of 100 channels (2 rows) does not fit, 64 channels (1 row) do.
      {"c cut to 64", {3, 100, 128, 200}, 0x20000, 1, {1, 64, 128, 200}},
      {"rows bisected", {2, 64, 1000, 100}, 0x20000, 1, {1, 64, 327, 100}},
      {"w bisected", {1, 1, 1, 40000}, 0x10000, 1, {1, 1, 1, 16384}},
      {"nothing fits a tiny budget", {1, 100, 1, 20}, 100, 0, {1, 64, 1, 1}},
  };
  for (const Slice &s : slices) {
    SCOPED_TRACE(s.what);
    dim4_t got;
    EXPECT_EQ(tensor_slicing(&got, &s.shape, s.budget), s.found);
    EXPECT_EQ((std::vector<int>{got.n, got.c, got.h, got.w}),
              (std::vector<int>{s.slice.n, s.slice.c, s.slice.h, s.slice.w}));
    if (s.found) {
      EXPECT_LE(binary_local_size(&got), s.budget);
    }
  }
  struct Piece {
    u64 remaining;
    int banks;
    dim4_t piece;
  };
  const Piece pieces[] = {
      {100, 2, {1, 3, 1, 32}},
      {4, 2, {1, 1, 1, 4}},
      {1, 1, {1, 1, 1, 1}},
      {70001, 2, {1, 64, 16, 32}},
      {70001, 1, {1, 64, 8, 32}},
      // Multiples of 2^32 and lengths past 2^31 are cut into full pieces.
      {1ull << 32, 2, {1, 64, 16, 32}},
      {3ull << 31, 4, {1, 64, 32, 32}},
  };
  for (const Piece &p : pieces) {
    dim4_t got;
    simple_binary_piece_of(&got, p.remaining, p.banks);
    EXPECT_EQ((std::vector<int>{got.n, got.c, got.h, got.w}),
              (std::vector<int>{p.piece.n, p.piece.c, p.piece.h, p.piece.w}))
        << p.remaining;
  }
}

// ---- Flat layer ----

class BinaryLayer : public ::testing::TestWithParam<Sched> {};

TEST_P(BinaryLayer, EveryTypeFlat) {
  // 4097 elements: one full row of 64 x 2 x 32 and a tail of one.
  const int dims[4] = {1, 1, 1, 4097};
  for (int type = 0; type < BINARY_TYPE_NUM; type++) {
    SCOPED_TRACE("type " + std::to_string(type));
    LayerRunner rig(GetParam());
    check_binary(rig, type, dims, Operand{}, Operand{}, 3);
  }
}

TEST_P(BinaryLayer, FlatLengths) {
  for (int length : {1, 31, 32, 33, 64 * 64 + 1, 70001}) {
    SCOPED_TRACE("length " + std::to_string(length));
    LayerRunner rig(GetParam());
    const int dims[4] = {1, 1, 1, length};
    check_binary(rig, BINARY_TYPE_SUB, dims, Operand{}, Operand{}, unsigned(length));
    // Five tensors: one bank each, pieces of at most 16384.
    check_binary(rig, BINARY_TYPE_SQUARED_DIFFERENCE, dims, Operand{}, Operand{}, 5);
  }
}

TEST_P(BinaryLayer, BroadcastAlongEachAxis) {
  const int dims[4] = {3, 70, 5, 6};
  struct Case {
    const char *what;
    int a[4], b[4];
  };
  const Case cases[] = {
      {"A along n", {3, 1, 1, 1}, {1, 1, 1, 1}},
      {"B along c (one channel in every lane)", {1, 1, 1, 1}, {1, 70, 1, 1}},
      {"A along h, B along w", {1, 1, 5, 1}, {1, 1, 1, 6}},
      {"bias: B along n, h, w", {1, 1, 1, 1}, {3, 1, 5, 6}},
      {"A a scalar tensor", {3, 70, 5, 6}, {1, 1, 1, 1}},
      {"both along c", {1, 70, 1, 1}, {1, 70, 1, 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    LayerRunner rig(GetParam());
    Operand a, b;
    std::memcpy(a.bcast, c.a, sizeof c.a);
    std::memcpy(b.bcast, c.b, sizeof c.b);
    check_binary(rig, BINARY_TYPE_MUL, dims, a, b, 11);
    check_binary(rig, BINARY_TYPE_GREATER_EQUAL, dims, a, b, 12);
  }
}

TEST_P(BinaryLayer, SlicedBroadcast) {
  // 4 x 200 x 60 x 70 does not fit two banks: items, then channels are cut;
  // B (one channel) is read into every lane of each slice.
  const int dims[4] = {4, 200, 30, 70};
  LayerRunner rig(GetParam());
  Operand b;
  b.bcast[1] = 200;
  check_binary(rig, BINARY_TYPE_ADD, dims, Operand{}, b, 21);
  Operand a;
  a.bcast[0] = 4;
  a.bcast[3] = 70;
  check_binary(rig, BINARY_TYPE_TANH_GRAD, dims, a, Operand{}, 22);
}

TEST_P(BinaryLayer, Constants) {
  const int dims[4] = {2, 3, 4, 5};
  LayerRunner rig(GetParam());
  Operand given;
  given.mode = BINARY_OPERAND_CONST;
  given.constant = 2.5f;
  Operand stored;
  stored.mode = BINARY_OPERAND_STORED;
  stored.constant = -1.75f;
  Operand bcast_c;
  bcast_c.bcast[1] = 3;
  check_binary(rig, BINARY_TYPE_SUB, dims, given, Operand{}, 31);
  check_binary(rig, BINARY_TYPE_DIV, dims, Operand{}, stored, 32);
  check_binary(rig, BINARY_TYPE_MAXIMUM, dims, stored, bcast_c, 33);
  // A stored byte for a logical type: 0 gives 0.0, anything else 1.0.
  for (float byte : {0.0f, 1.0f}) {
    Operand logical;
    logical.mode = BINARY_OPERAND_STORED;
    logical.constant = byte;
    check_binary(rig, BINARY_TYPE_LOGICAL_AND, dims, logical, Operand{}, 34);
    check_binary(rig, BINARY_TYPE_LOGICAL_OR, dims, Operand{}, logical, 35);
  }
}

INSTANTIATE_TEST_SUITE_P(All, BinaryLayer, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(BinaryLayer, SpecialValues) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const float den = std::numeric_limits<float>::denorm_min() * 7;
  const std::vector<float> a = {nan, inf, -inf, 0.0f, -0.0f, den, -den, 1.0f, inf, 3.0f, -2.0f, nan};
  const std::vector<float> b = {1.0f, 1.0f, inf, -0.0f, 0.0f, den, 1.0f, -0.0f, inf, nan, 0.0f, nan};
  struct Op {
    int type;
    float (*f)(float, float);
  };
  const Op ops[] = {
      {BINARY_TYPE_ADD, [](float x, float y) { return x + y; }},
      {BINARY_TYPE_SUB, [](float x, float y) { return x - y; }},
      {BINARY_TYPE_MUL, [](float x, float y) { return x * y; }},
      {BINARY_TYPE_GREATER, [](float x, float y) { return float(x > y); }},
      {BINARY_TYPE_LESS, [](float x, float y) { return float(x < y); }},
  };
  for (const Sched &s : all_schedules()) {
    LayerRunner rig(s);
    store(rig, kA, a, false);
    store(rig, kB, b, false);
    for (const Op &op : ops) {
      SCOPED_TRACE(sched_text(s) + ", type " + std::to_string(op.type));
      ASSERT_TRUE(rig.call(
          [&](cmd_id_node_t *node) { nodechip_simple_binary(kA, kB, kR, kBuf, a.size(), 0, 0, 0, 0, op.type, node); }));
      const std::vector<double> got = load(rig, kR, a.size(), ref::binary_type::bytes_out(op.type));
      for (size_t i = 0; i < a.size(); i++) {
        const float want = op.f(a[i], b[i]);
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(got[i])) << i;
        else
          EXPECT_EQ(float(got[i]), want) << i << ": " << a[i] << ", " << b[i];
      }
    }
  }
}

TEST(BinaryLayer, EmptyRequestsIssueNothing) {
  LayerRunner rig;
  ASSERT_TRUE(rig.call([](cmd_id_node_t *node) {
    nodechip_simple_binary(kA, kB, kR, kBuf, 0, 0, 0, 0, 0, BINARY_TYPE_ADD, node);
    nodechip_binary(kA, kB, kR, kBuf, 0, 3, 4, 5, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, BINARY_TYPE_ADD, node);
    nodechip_binary(kA, kB, kR, kBuf, 0, 3, 4, 5, 1, 3, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, BINARY_TYPE_ADD, node);
  }));
  EXPECT_EQ(rig.commands_issued(), 0u);
}

TEST(BinaryLayer, Checks) {
  auto binary = [](int A_bcast_n, int A_mode, int B_bcast_w, int type, int w = 5) {
    return [=](cmd_id_node_t *node) {
      nodechip_binary(kA, kB, kR, kBuf, 6, 3, 4, w, A_bcast_n, 1, 1, 1, 1, 1, 1, B_bcast_w, A_mode, 1.0f, 0, 0,
                      type, node);
    };
  };
  expect_assert(binary(3, 0, 1, 0), "ASSERT_FS", "firmware/layers/", "nodechip_binary",
                "A_bcast_n == 1 || A_bcast_n == n");
  expect_assert(binary(1, 0, 2, 0), "ASSERT_FS", "firmware/layers/", "nodechip_binary",
                "B_bcast_w == 1 || B_bcast_w == w");
  // A constant's factors are not looked at; a bad type stops before anything moves.
  expect_assert(binary(3, 1, 5, 21), "ASSERT", "firmware/layers/", "fill_tensor_data_fmt", "0", "op=21");
  expect_assert([](cmd_id_node_t *node) {
    nodechip_binary(kA, kB, kR, kBuf, -2, 3, 4, 5, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, node);
  }, "ASSERT_FS", "firmware/layers/", "nodechip_binary", "n >= 0 && c >= 0 && h >= 0 && w >= 0");
  // A stored constant read through a buffer outside the ARM's window.
  expect_assert([](cmd_id_node_t *node) {
    nodechip_simple_binary(kA, kB, kR, 0x10, 10, BINARY_OPERAND_STORED, 0, 0, 0, BINARY_TYPE_ADD, node);
  }, "ASSERT", "firmware/layers/", "arm_window_ptr",
     "global >= GLOBAL_MEM_START_ADDR && bytes <= ARM_WINDOW_BYTES && global - GLOBAL_MEM_START_ADDR <= "
     "ARM_WINDOW_BYTES - bytes",
     "global=0x000000010, 4 bytes");
}

}  // namespace
}  // namespace zv::test
