// The md_* layers against plain references: scalar arithmetic (slices,
// constants, result add, the flat form), sums (channel chunks, item and
// element slices, accumulation), linear maps (three modes), compare and
// select (element-wise and the batch reduction, any batch size), special
// functions (every type and split mode) and the broadcast binary, under every
// schedule with the happens-before checker; and the assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "cmd/bd_arith.h"
#include "fw_test.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/norm_common.h"
#include "norm_rig.h"

namespace zv::test {
namespace {

using namespace norm;

constexpr u64 kA = 0x100000000ull;
constexpr u64 kB = 0x104000000ull;
constexpr u64 kC = 0x108000000ull;
constexpr u64 kD = 0x10c000000ull;
constexpr u64 kY = 0x110000000ull;
constexpr u64 kR = 0x114000000ull;

u32 bits(float f) { return norm_f32_bits(f); }
void expect_near(const std::vector<float> &got, const std::function<double(size_t)> &want, double tol) {
  for (size_t i = 0; i < got.size(); i++) {
    const double v = want(i);
    ASSERT_NEAR(got[i], v, tol * std::fmax(1.0, std::fabs(v))) << i;
  }
}

class MdOps : public ::testing::TestWithParam<Sched> {};

TEST_P(MdOps, Scalar) {
  struct Case {
    const char *what;
    int n, c, h, w, op, add, ac, bc;
    float av, bv;
  };
  const Case cases[] = {
      {"add", 2, 130, 3, 5, 0, 0, 0, 0, 0, 0},         {"sub, constant A", 2, 7, 3, 3, 1, 0, 1, 0, 5.0f, 0},
      {"mul, result add", 3, 9, 2, 2, 2, 1, 0, 0, 0, 0}, {"div, constant B", 2, 9, 2, 3, 3, 0, 0, 1, 0, -4.0f},
      {"sliced", 6, 64, 100, 100, 2, 0, 0, 0, 0, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> a = spread(count, -3, 3, 1), b = spread(count, 0.5f, 4, 2), r = spread(count, -1, 1, 3);
    put<float>(rig, kA, a);
    put<float>(rig, kB, b);
    put<float>(rig, kR, r);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_md_scalar(kA, kB, kR, k.n, k.c, k.h, k.w, k.op, k.add, k.ac, k.bc, bits(k.av), bits(k.bv), node);
    }));
    expect_near(
        get<float>(rig, kR, count),
        [&](size_t i) {
          const float x = k.ac ? k.av : a[i], y = k.bc ? k.bv : b[i];
          switch (k.op) {
            case 0:
              return double(x + y);
            case 1:
              return double(x - y);
            case 2:
              return double(k.add ? r[i] + x * y : x * y);
            default:
              return double(x / y);
          }
        },
        0);
  }
  const size_t len = 100003;
  const std::vector<float> a = spread(len, -3, 3, 4);
  put<float>(rig, kA, a);
  ASSERT_TRUE(
      rig.call([&](cmd_id_node_t *node) { nodechip_1d_scalar(kA, 0, kR, len, 2, 0, 0, 1, 0, bits(3.0f), node); }));
  expect_near(
      get<float>(rig, kR, len), [&](size_t i) { return double(a[i] * 3.0f); }, 0);
}

TEST_P(MdOps, SumAndLinear) {
  LayerRunner rig(GetParam());
  struct Sum {
    const char *what;
    int n, c, h, w, acc;
  };
  const Sum sums[] = {
      {"130 channels", 3, 130, 3, 5, 0}, {"accumulate", 2, 9, 2, 2, 1}, {"items sliced", 10, 1, 100, 200, 0},
      {"elements sliced", 1, 1, 500, 400, 1}, {"two channel chunks", 2, 4096, 1, 1, 0},
  };
  for (const Sum &k : sums) {
    SCOPED_TRACE(k.what);
    const size_t hw = size_t(k.h) * k.w, count = size_t(k.n) * k.c * hw;
    const std::vector<float> x = spread(count, -1, 1, 5), old = spread(size_t(k.c), -2, 2, 6);
    put<float>(rig, kA, x);
    put<float>(rig, kY, old);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) { nodechip_md_sum(kA, kY, k.n, k.c, k.h, k.w, k.acc, node); }));
    expect_near(
        get<float>(rig, kY, size_t(k.c)),
        [&](size_t c) {
          double s = k.acc ? old[c] : 0.0;
          for (size_t i = 0; i < size_t(k.n); i++)
            for (size_t e = 0; e < hw; e++) s += x[(i * size_t(k.c) + c) * hw + e];
          return s;
        },
        2e-5 * std::sqrt(double(count)));
  }
  struct Lin {
    const char *what;
    int n, c, h, w, add, bc, sc, mode;
  };
  const Lin lins[] = {
      {"x s + b, 130 channels", 2, 130, 3, 5, 0, 0, 0, 0}, {"(x + b) s", 2, 9, 2, 3, 0, 0, 0, 1},
      {"(x - b) s, constant s", 2, 9, 2, 3, 0, 0, 1, 2},   {"added to y, constant b", 3, 9, 2, 2, 1, 1, 0, 0},
      {"sliced", 6, 64, 100, 100, 0, 0, 0, 0},
  };
  for (const Lin &k : lins) {
    SCOPED_TRACE(k.what);
    const size_t hw = size_t(k.h) * k.w, count = size_t(k.n) * k.c * hw;
    const std::vector<float> x = spread(count, -3, 3, 7), b = spread(size_t(k.c), -1, 1, 8),
                             s = spread(size_t(k.c), 0.5f, 2, 9), y = spread(count, -1, 1, 10);
    put<float>(rig, kA, x);
    put<float>(rig, kB, b);
    put<float>(rig, kC, s);
    put<float>(rig, kY, y);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_md_linear(kA, kB, kC, kY, k.n, k.c, k.h, k.w, k.add, k.bc, k.sc, bits(0.25f), bits(1.5f), k.mode, node);
    }));
    expect_near(
        get<float>(rig, kY, count),
        [&](size_t i) {
          const size_t c = (i / hw) % size_t(k.c);
          const float bb = k.bc ? 0.25f : b[c], ss = k.sc ? 1.5f : s[c];
          const float v = k.mode == 0 ? x[i] * ss + bb : k.mode == 1 ? (x[i] + bb) * ss : (x[i] - bb) * ss;
          return double(k.add ? y[i] + v : v);
        },
        1e-6);
  }
}

TEST_P(MdOps, CompareAndSelect) {
  LayerRunner rig(GetParam());
  const int n = 2, c = 70, h = 2, w = 3;
  const size_t count = size_t(n) * c * h * w;
  std::vector<float> a = spread(count, -2, 2, 11), b = spread(count, -2, 2, 12);
  for (size_t i = 0; i < count; i += 7) b[i] = a[i];  // equal values select D
  const std::vector<float> cc = spread(count, 10, 20, 13), d = spread(count, 30, 40, 14);
  put<float>(rig, kA, a);
  put<float>(rig, kB, b);
  put<float>(rig, kC, cc);
  put<float>(rig, kD, d);
  for (int native : {0, 1}) {
    for (int skip : {0, 1, 2}) {
      SCOPED_TRACE("native " + std::to_string(native) + " skip " + std::to_string(skip));
      put<float>(rig, kY, std::vector<float>(count, -99.0f));
      put<float>(rig, kR, std::vector<float>(count, -99.0f));
      ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
        nodechip_md_cmp(kA, kB, kC, kD, kY, kR, n, c, h, w, 0, 0, 0, 1, 0, 0, 0, bits(7.0f), skip, 0, 0, native, node);
      }));
      const std::vector<float> y = get<float>(rig, kY, count), r = get<float>(rig, kR, count);
      for (size_t i = 0; i < count; i++) {
        EXPECT_EQ(y[i], skip == 2 ? -99.0f : std::max(a[i], b[i])) << i;
        EXPECT_EQ(r[i], skip == 1 ? -99.0f : a[i] > b[i] ? cc[i] : 7.0f) << i;
      }
    }
  }
  // Batch maximum and minimum with the first index, any batch size.
  struct Red {
    const char *what;
    int n, minimum, native, skip;
  };
  const Red reds[] = {
      {"max of 4, ties at 1 and 3", 4, 0, 1, 0}, {"max of 6: the last items count", 6, 0, 0, 0},
      {"min of 5, composite", 5, 1, 0, 0},       {"min of 7, native", 7, 1, 1, 0},
      {"max of 3, value only", 3, 0, 1, 1},      {"one item", 1, 1, 1, 0},
  };
  const int rc = 70, rh = 2, rw = 3;
  const size_t item = size_t(rc) * rh * rw;
  for (const Red &k : reds) {
    SCOPED_TRACE(k.what);
    std::vector<float> x(size_t(k.n) * item);
    for (size_t i = 0; i < x.size(); i++) x[i] = float(int((i * 37 + i / item * 11) % 9) - 4);
    if (k.n >= 4) {
      for (size_t e = 0; e < item; e++) x[1 * item + e] = x[3 * item + e] = k.minimum ? -9.0f : 9.0f;
    }
    if (k.n == 6) x[5 * item + 3] = 50.0f;
    put<float>(rig, kA, x);
    put<float>(rig, kR, std::vector<float>(item, -99.0f));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_md_cmp(kA, 0, 0, 0, kY, kR, k.n, rc, rh, rw, 0, 0, 0, 0, 0, 0, 0, 0, k.skip, 1, k.minimum, k.native,
                      node);
    }));
    const std::vector<float> y = get<float>(rig, kY, item), r = get<float>(rig, kR, item);
    for (size_t e = 0; e < item; e++) {
      size_t best = 0;
      for (size_t i = 1; i < size_t(k.n); i++)
        if (k.minimum ? x[i * item + e] < x[best * item + e] : x[i * item + e] > x[best * item + e]) best = i;
      ASSERT_EQ(y[e], x[best * item + e]) << e;
      ASSERT_EQ(r[e], k.skip == 1 ? -99.0f : float(best)) << e;
    }
  }
}

TEST_P(MdOps, SpecialFunctions) {
  struct Case {
    const char *what;
    int n, c, h, w, type, e;
    int mode;
  };
  const Case cases[] = {
      {"x^-2, whole", 2, 70, 3, 5, 0, -2, 1}, {"x^3", 1, 9, 2, 2, 0, 3, 1},
      {"exp", 2, 9, 2, 3, 1, 0, 1},            {"ln, planes past 4095", 2, 3000, 1, 2, 2, 0, 2},
      {"rsqrt", 4, 64, 40, 40, 3, 0, 1}, {"exp, rows sliced", 1, 2, 300, 200, 1, 0, 3},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    md_sfu_slice_t sl;
    EXPECT_EQ(md_sfu_spilt(k.n, k.c, k.h, k.w, &sl), k.mode);
    const size_t count = size_t(k.n) * k.c * k.h * k.w;
    const std::vector<float> x = spread(count, k.type == 1 ? -3.0f : 0.25f, 4.0f, 15);
    put<float>(rig, kA, x);
    ASSERT_TRUE(
        rig.call([&](cmd_id_node_t *node) { nodechip_md_sfu(kA, kY, k.n, k.c, k.h, k.w, 0, k.e, k.type, 0, node); }));
    expect_near(
        get<float>(rig, kY, count),
        [&](size_t i) {
          const double v = x[i];
          switch (k.type) {
            case 0:
              return std::pow(v, k.e);
            case 1:
              return std::exp(v);
            case 2:
              return std::log(v);
            default:
              return 1.0 / std::sqrt(v);
          }
        },
        4e-6);
  }
  md_sfu_slice_t sl;
  EXPECT_EQ(md_sfu_spilt(1, 1, 1, 40000, &sl), 0);
}

TEST_P(MdOps, BroadcastBinary) {
  struct Case {
    const char *what;
    int a[4], b[4], op, ac, bc, av, bv;
  };
  const Case cases[] = {
      {"A per channel against B", {1, 70, 1, 1}, {3, 70, 4, 5}, TENSOR_OP_ADD, 0, 0, 0, 0},
      {"B one channel, rows of A", {2, 9, 3, 4}, {2, 1, 3, 1}, TENSOR_OP_MUL, 0, 0, 0, 0},
      {"constants 3 and -1", {2, 9, 3, 4}, {2, 9, 3, 4}, TENSOR_OP_SUB, 1, 0, 3, -1},
      {"constant B -1, maximum", {2, 9, 3, 4}, {1, 1, 1, 1}, TENSOR_OP_MAX, 0, 1, 0, -1},
      {"sliced by items and rows", {4, 64, 60, 300}, {1, 64, 60, 300}, TENSOR_OP_SUB, 0, 0, 0, 0},
  };
  LayerRunner rig(GetParam());
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    int o[4];
    for (int i = 0; i < 4; i++) o[i] = std::max(k.ac ? 1 : k.a[i], k.bc ? 1 : k.b[i]);
    const size_t ca = size_t(k.a[0]) * k.a[1] * k.a[2] * k.a[3], cb = size_t(k.b[0]) * k.b[1] * k.b[2] * k.b[3];
    const std::vector<float> a = spread(ca, -3, 3, 16), b = spread(cb, -3, 3, 17);
    put<float>(rig, kA, a);
    put<float>(rig, kB, b);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_md_ops_parallel(kA, kB, kR, k.a[0], k.a[1], k.a[2], k.a[3], k.b[0], k.b[1], k.b[2], k.b[3], k.op, k.ac,
                               k.bc, k.av, k.bv, node);
    }));
    const size_t count = size_t(o[0]) * o[1] * o[2] * o[3];
    const std::vector<float> r = get<float>(rig, kR, count);
    auto at = [&](const int *s, int n, int c, int y, int x) {
      return ((size_t(s[0] == 1 ? 0 : n) * s[1] + (s[1] == 1 ? 0 : c)) * s[2] + (s[2] == 1 ? 0 : y)) * s[3] +
             (s[3] == 1 ? 0 : x);
    };
    size_t i = 0;
    for (int n = 0; n < o[0]; n++)
      for (int c = 0; c < o[1]; c++)
        for (int y = 0; y < o[2]; y++)
          for (int x = 0; x < o[3]; x++, i++) {
            const float va = k.ac ? float(k.av) : a[at(k.a, n, c, y, x)], vb = k.bc ? float(k.bv) : b[at(k.b, n, c, y, x)];
            const float want = k.op == TENSOR_OP_ADD ? va + vb : k.op == TENSOR_OP_MUL ? va * vb
                               : k.op == TENSOR_OP_SUB ? va - vb : std::max(va, vb);
            ASSERT_EQ(r[i], want) << n << " " << c << " " << y << " " << x;
          }
  }
}

INSTANTIATE_TEST_SUITE_P(All, MdOps, ::testing::ValuesIn(all_schedules()), sched_name);

TEST(MdOps, Assertions) {
  expect_assert([](cmd_id_node_t *node) { nodechip_md_ops_parallel(kA, kB, kR, 2, 3, 1, 1, 4, 3, 1, 1, 2, 0, 0, 0, 0, node); },
                "ASSERT_FS", "firmware/layers/", "nodechip_md_ops_parallel", "in_a == 1");
  expect_assert([](cmd_id_node_t *node) { nodechip_md_sfu(kA, kY, 1, 2, 2, 2, 0, 0, 4, 0, node); }, "ASSERT_FS",
                "firmware/layers/", "nodechip_md_sfu", "0");
  expect_assert(
      [](cmd_id_node_t *node) {
        nodechip_md_cmp(kA, kB, kC, kD, kY, kR, 64, 64, 64, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, node);
      },
      "ASSERT_FS", "firmware/layers/", "nodechip_md_cmp", "offset_local_end <= (1<<19)");
  // A result add with an op other than mul stops in the command generator.
  {
    FirmwareRig rig;
    const FwOutcome o = rig.run_layer([](cmd_id_node_t *node) {
      nodechip_md_scalar(kA, kB, kR, 1, 2, 2, 2, 0, 1, 0, 0, 0, 0, node);
    });
    EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/cmd/", "atomic_mdscalar_operation_gen_cmd", "0"));
  }
  // An sfu split that finds no rows issues nothing.
  FirmwareRig quiet;
  ASSERT_TRUE(ran_clean(quiet.run_layer([](cmd_id_node_t *node) { nodechip_md_sfu(kA, kY, 1, 1, 1, 40000, 0, 0, 1, 0, node); })));
  EXPECT_EQ(quiet.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test
