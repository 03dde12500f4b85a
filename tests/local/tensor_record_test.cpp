// Tensor records and the binary operations on local memory: the record
// helpers by tables, every operation against plain references with tensors,
// constants and broadcast operands under every schedule, exp and pow, the
// moves, the depthwise convolution, and the checks.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "local/local_rig.h"
#include "local/tensor_record.h"
#include "ref/conv_ref.h"

namespace zv::test::local {
namespace {

using er::Dim;
using er::Local;

u32 fb(float v) { return er::bits(v); }
float bf(u32 u) { return er::f(u); }

// A record of `shape` (its own extents) at the untagged `offset`, broadcast by
// `bcast`, strides filled.
tensor_t rec(u32 offset, const Dim &shape, std::array<int, 4> bcast = {1, 1, 1, 1}) {
  tensor_t t;
  DEFAULT_TENSOR(&t);
  t.local_offset = offset;
  t.shape = d4(shape);
  for (int i = 0; i < 4; i++) t.bcast[i] = bcast[i];
  fill_tensor_local_stride(&t);
  return t;
}
// The record's local data as the rig sees it.
Local local_of(const tensor_t &t) {
  return Local{t.local_offset | kTag, Dim{t.shape.n, t.shape.c, t.shape.h, t.shape.w},
               Dim{t.local_stride.n, t.local_stride.c, t.local_stride.h, t.local_stride.w}};
}

TEST(TensorRecord, HelpersByTable) {
  tensor_t t;
  DEFAULT_TENSOR(&t);
  EXPECT_EQ(t.eu_align, 1u);
  EXPECT_EQ(t.constant, u32(FALSE));
  for (int i = 0; i < 4; i++) EXPECT_EQ(t.bcast[i], 1);

  struct Bank {
    const char *what;
    u32 offset;
    Dim shape;
    int eu_align;
    int next;
  };
  const Bank banks[] = {
      {"empty at 0", 0, {0, 0, 0, 0}, 1, 0},
      {"ends exactly on 0x10000", 0, {1, 64, 128, 128}, 1, 1},  // 0x10000 bytes
      {"ends at 0x10004", 4, {1, 64, 128, 128}, 1, 2},
      {"3 x 5 planes round up to 32", 0xFF80, {1, 1, 3, 5}, 1, 1},  // 128 bytes up to 0x10000
      {"compact 3 x 5 planes", 0xFFC4, {1, 1, 3, 5}, 0, 1},          // 60 bytes up to 0x10000
  };
  for (const Bank &b : banks) {
    SCOPED_TRACE(b.what);
    tensor_t r = rec(b.offset, b.shape);
    r.eu_align = u32(b.eu_align);
    EXPECT_EQ(next_bank_idx(&r), b.next);
  }
  tensor_t first = rec(0, {1, 64, 128, 128}), second = rec(0x10000, {1, 64, 1, 8});
  EXPECT_EQ(confilict(&first, &second), FALSE);
  EXPECT_EQ(confilict(&second, &first), FALSE);
  first.local_offset = 4;  // now ends at 0x10004
  EXPECT_EQ(confilict(&first, &second), TRUE);
  EXPECT_EQ(confilict(&second, &first), TRUE);
  EXPECT_EQ(confilict(&second, &second), TRUE);

  tensor_t k;
  EXPECT_EQ(CONSTANT_TENSOR(&k, 2.5f), &k);
  EXPECT_EQ(k.value, fb(2.5f));
  k.bcast[2] = 4;
  EXPECT_EQ(is_bcast(&k), FALSE);
  EXPECT_EQ(LADDR(&k), 0u);
  EXPECT_EQ(feature_size(&k), 0u);
  EXPECT_EQ(confilict(&k, &second), FALSE);

  tensor_t g = rec(0x100, {2, 3, 4, 5}, {1, 3, 1, 1});
  EXPECT_EQ(LADDR(&g), 0x08000100u);
  EXPECT_EQ(is_bcast(&g), TRUE);
  const dim4_t gshape{2, 3, 4, 5};
  fill_tensor_global_stride(&g, &gshape);
  EXPECT_EQ(g.global_stride.n, 60);
  EXPECT_EQ(g.global_stride.c, 0);  // broadcast along c
  EXPECT_EQ(g.global_stride.h, 5);
  g.bcast[1] = 1;
  fill_tensor_global_stride(&g, &gshape);
  EXPECT_EQ(g.global_stride.c, 20);
  fill_tensor_local_stride(&g);
  EXPECT_EQ(g.local_stride.n, 32);
  EXPECT_EQ(g.local_stride.c, 32);
  EXPECT_EQ(g.bcast_stride.c, 32);
  g.bcast[2] = 4;
  fill_tensor_local_stride(&g);
  EXPECT_EQ(g.bcast_stride.h, 0);
  EXPECT_EQ(g.bcast_stride.w, 1);
}

// ---- Binary operations ----

using BinFn = std::function<void(tensor_t *, tensor_t *, tensor_t *, tensor_t *, tensor_t *, cmd_id_node_t *)>;

struct BinOp {
  const char *name;
  BinFn fn;
  double (*ref)(double a, double b);
  int pool;      // 0 any, 1 zeros and ones, 2 a positive, 3 no zeros
  double tol;    // relative, against max(|ref|, 1)
};

double b2(bool v) { return v ? 1.0 : 0.0; }

const std::vector<BinOp> &bin_ops() {
  static const std::vector<BinOp> ops = {
      {"add", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_add(C, A, B, n); }, [](double a, double b) { return a + b; }, 0, 0},
      {"sub", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_sub(C, A, B, n); }, [](double a, double b) { return a - b; }, 0, 0},
      {"mul", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_mul(C, A, B, n); }, [](double a, double b) { return a * b; }, 0, 0},
      {"div", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_div(C, A, B, n); }, [](double a, double b) { return a / b; }, 3, 1e-7},
      {"pow", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_pow(C, A, B, D, n); },
       [](double a, double b) { return std::pow(a, b); }, 2, 2e-6},
      {"maximum", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_maximum(C, A, B, n); }, [](double a, double b) { return std::fmax(a, b); }, 0, 0},
      {"minimum", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_minimum(C, A, B, n); }, [](double a, double b) { return std::fmin(a, b); }, 0, 0},
      {"logical_and", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_logical_and(C, A, B, D, n); },
       [](double a, double b) { return b2(a != 0 && b != 0); }, 1, 0},
      {"logical_or", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_logical_or(C, A, B, D, n); },
       [](double a, double b) { return b2(a != 0 || b != 0); }, 1, 0},
      {"equal", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_equal(C, A, B, n); }, [](double a, double b) { return b2(a == b); }, 0, 0},
      {"not_equal", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_not_equal(C, A, B, D, n); },
       [](double a, double b) { return b2(a != b); }, 0, 0},
      {"greater", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_greater(C, A, B, n); }, [](double a, double b) { return b2(a > b); }, 0, 0},
      {"greater_equal", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_greater_equal(C, A, B, D, n); },
       [](double a, double b) { return b2(a >= b); }, 0, 0},
      {"less", [](auto C, auto A, auto B, auto, auto, auto n) { tensor_less(C, A, B, n); }, [](double a, double b) { return b2(a < b); }, 0, 0},
      {"less_equal", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_less_equal(C, A, B, D, n); },
       [](double a, double b) { return b2(a <= b); }, 0, 0},
      {"squared_difference", [](auto C, auto A, auto B, auto D, auto E, auto n) { tensor_squared_difference(C, A, B, D, E, n); },
       [](double a, double b) { return (a - b) * (a - b); }, 0, 0},
      {"sqrt_grad", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_sqrt_grad(C, A, B, D, n); },
       [](double a, double b) { return 0.5 * b / a; }, 3, 1e-7},
      {"rsqrt_grad", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_rsqrt_grad(C, A, B, D, n); },
       [](double a, double b) { return -0.5 * b * a * a * a; }, 0, 2e-7},
      {"tanh_grad", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_tanh_grad(C, A, B, D, n); },
       [](double a, double b) { return b * (1 - a * a); }, 0, 2e-7},
      {"sigmoid_grad", [](auto C, auto A, auto B, auto D, auto E, auto n) { tensor_sigmoid_grad(C, A, B, D, E, n); },
       [](double a, double b) { return b * a * (1 - a); }, 0, 2e-7},
      {"inverse_grad", [](auto C, auto A, auto B, auto D, auto, auto n) { tensor_inverse_grad(C, A, B, D, n); },
       [](double a, double b) { return -b * a * a; }, 0, 2e-7},
  };
  return ops;
}

u32 draw(Values &v, int pool, bool first) {
  switch (pool) {
    case 1: return fb(float(v.below(2)));
    case 2: return first ? fb(0.5f + float(v.below(29)) / 8.0f) : fb(float(int(v.below(49)) - 24) / 8.0f);
    case 3: {
      const u32 x = v.small_float();
      return bf(x) == 0.0f ? fb(1.0f) : x;
    }
  }
  return v.small_float();
}

struct Variant {
  const char *what;
  bool b_const;
  std::array<int, 4> a_bcast;  // A broadcast along these dimensions (factors)
};

TEST(BinaryOps, EachOperationAgainstItsReference) {
  const Dim shape{2, 70, 3, 5};  // two lane rows
  const Variant variants[] = {
      {"tensors", false, {1, 1, 1, 1}},
      {"constant B", true, {1, 1, 1, 1}},
      {"A broadcast along n and h", false, {2, 1, 3, 1}},
  };
  for (const BinOp &op : bin_ops()) {
    for (const Variant &v : variants) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE(std::string(op.name) + ", " + v.what + ", " + sched_text(s));
        BdRig rig(s);
        Values val(17);
        Dim a_shape = shape;
        if (v.a_bcast[0] != 1) a_shape.n = 1;
        if (v.a_bcast[2] != 1) a_shape.h = 1;
        tensor_t A = rec(0x00000, a_shape, v.a_bcast), B = rec(0x10000, shape), C = rec(0x20000, shape),
                 D = rec(0x30000, shape), E = rec(0x40000, shape);
        const float b_const = op.pool == 1 ? 1.0f : op.pool == 2 ? -1.5f : 2.5f;
        if (v.b_const) CONSTANT_TENSOR(&B, b_const);
        const auto a = rig.fill(local_of(A), [&] { return draw(val, op.pool, true); });
        const auto b = v.b_const ? std::vector<u32>() : rig.fill(local_of(B), [&] { return draw(val, op.pool, false); });
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { op.fn(&C, &A, &B, &D, &E, n); }));
        const auto c = rig.read(local_of(C));
        size_t i = 0;
        for (er::i64 n = 0; n < shape.n; n++)
          for (er::i64 ch = 0; ch < shape.c; ch++)
            for (er::i64 h = 0; h < shape.h; h++)
              for (er::i64 w = 0; w < shape.w; w++, i++) {
                const er::i64 an = a_shape.n == 1 ? 0 : n, ah = a_shape.h == 1 ? 0 : h;
                const double x = bf(a[size_t(((an * shape.c + ch) * a_shape.h + ah) * shape.w + w)]);
                const double y = v.b_const ? b_const : bf(b[i]);
                const double want = op.ref(x, y);
                ASSERT_NEAR(bf(c[i]), want, op.tol * std::fmax(1.0, std::fabs(want)))
                    << "a " << x << " b " << y << " at " << i;
              }
      }
    }
  }
}

TEST(BinaryOps, ComparisonsOfEqualValues) {
  const Dim shape{1, 3, 1, 8};
  BdRig rig;
  tensor_t A = rec(0x00000, shape), B = rec(0x10000, shape), C = rec(0x20000, shape), D = rec(0x30000, shape);
  rig.fill(local_of(A), [] { return fb(1.25f); });
  rig.fill(local_of(B), [] { return fb(1.25f); });
  const struct {
    const char *what;
    std::function<void(cmd_id_node_t *)> fn;
    float want;
  } cases[] = {
      {"greater", [&](cmd_id_node_t *n) { tensor_greater(&C, &A, &B, n); }, 0.0f},
      {"less", [&](cmd_id_node_t *n) { tensor_less(&C, &A, &B, n); }, 0.0f},
      {"greater_equal", [&](cmd_id_node_t *n) { tensor_greater_equal(&C, &A, &B, &D, n); }, 1.0f},
      {"less_equal", [&](cmd_id_node_t *n) { tensor_less_equal(&C, &A, &B, &D, n); }, 1.0f},
      {"equal", [&](cmd_id_node_t *n) { tensor_equal(&C, &A, &B, n); }, 1.0f},
      {"not_equal", [&](cmd_id_node_t *n) { tensor_not_equal(&C, &A, &B, &D, n); }, 0.0f},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(rig.run(k.fn));
    for (u32 x : rig.read(local_of(C))) EXPECT_EQ(bf(x), k.want);
  }
}

TEST(BinaryOps, ExpClampsAndPowFoldsConstants) {
  const Dim shape{1, 2, 1, 8};
  tensor_t A = rec(0x00000, shape), B = rec(0x10000, shape), C = rec(0x20000, shape);
  tensor_t a, b;
  CONSTANT_TENSOR(&a, 2.0f);
  CONSTANT_TENSOR(&b, 10.0f);
  // Two constants: one command, the power folded on the ARM.
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { tensor_pow(&C, &a, &b, &A, n); }).size(), 1u);
  BdRig rig;
  const float in[] = {100.0f, 88.0f, -200.0f, -103.0f, 0.0f, 1.0f, -1.5f, 10.0f};
  size_t i = 0;
  rig.fill(local_of(A), [&] { return fb(in[i++ % 8]); });
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_exp(&C, &A, &B, n); }));
  const auto c = rig.read(local_of(C));
  EXPECT_EQ(c[0], c[1]);
  EXPECT_EQ(c[2], c[3]);
  for (size_t k = 0; k < 8; k++) {
    const double want = std::exp(std::fmin(88.0, std::fmax(-103.0, double(in[k]))));
    EXPECT_NEAR(bf(c[k]), want, 3e-7 * std::fmax(1.0, want)) << in[k];
  }
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_pow(&C, &a, &b, &A, n); }));
  EXPECT_FLOAT_EQ(bf(rig.read(local_of(C))[0]), 1024.0f);
  // A constant base, B a tensor: e^(B ln a).
  Values val(2);
  const auto e = rig.fill(local_of(B), [&] { return val.small_float(); });
  tensor_t D = rec(0x30000, shape);
  ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_pow(&C, &a, &B, &D, n); }));
  const auto p = rig.read(local_of(C));
  for (size_t k = 0; k < e.size(); k++) EXPECT_NEAR(bf(p[k]), std::pow(2.0, bf(e[k])), 2e-6 * std::pow(2.0, bf(e[k])));
}

TEST(TensorMove, LoadsAndStoresFloatAndByteSlices) {
  for (u32 fmt : {0u, 1u}) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("format " + std::to_string(fmt) + ", " + sched_text(s));
      BdRig rig(s);
      const u64 src = chip::Chip::kDeviceMemBase + 0x1000, dst = chip::Chip::kDeviceMemBase + 0x9000;
      const dim4_t gshape{2, 70, 3, 5};
      const int count = 2 * 70 * 3 * 5, size = fmt ? 1 : 4;
      std::vector<u32> bytes(count);
      Values val(6);
      for (int i = 0; i < count; i++) {
        bytes[i] = fmt ? val.word() & 0xFF : val.small_float();
        rig.chip().device_memory().store(src + u64(i) * size, &bytes[i], size);
      }
      tensor_t t = rec(0x0, {2, 70, 3, 5});
      t.data_fmt = fmt;
      fill_tensor_global_stride(&t, &gshape);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        t.global_addr = src;
        tensor_move(&t, 0, n);
        t.global_addr = dst;
        tensor_move(&t, 1, n);
      }));
      const auto local = rig.read(local_of(t));
      for (int i = 0; i < count; i++) {
        const float want = fmt ? float(int8_t(bytes[i])) : bf(bytes[i]);
        ASSERT_EQ(bf(local[i]), want) << i;
        u32 back = 0;
        rig.chip().device_memory().load(dst + u64(i) * size, &back, size);
        ASSERT_EQ(back, bytes[i]) << i;
      }
    }
  }
}

TEST(Depthwise, ConvolvesEachChannelWithItsKernelAndBias) {
  for (int has_bias : {1, 0}) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("bias " + std::to_string(has_bias) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(9);
      const int C = 5, H = 6, W = 7;
      namespace cv = zv::ref::conv;
      cv::Window win;
      win.kh = win.kw = 3;
      win.pad_t = win.pad_b = win.pad_l = win.pad_r = 1;
      win.stride_h = 2;
      const int oh = win.out_h(H), ow = win.out_w(W);
      tensor_t A = rec(0x00000, {2, C, H, W}), Cout = rec(0x10000, {2, C, oh, ow}), F = rec(0x20000, {1, C, 3, 3}),
               B = rec(0x30000, {1, C, 1, 1});
      F.eu_align = 0;  // kh x kw weights per channel
      fill_tensor_local_stride(&F);
      B.eu_align = 0;
      fill_tensor_local_stride(&B);
      cv::T4 in(2, C, H, W), k(C, 1, 3, 3);
      std::vector<double> bias(C);
      const auto a = rig.fill(local_of(A), [&] { return fb(float(int(val.below(9)) - 4)); });
      const auto f = rig.fill(local_of(F), [&] { return fb(float(int(val.below(5)) - 2)); });
      const auto bb = rig.fill(local_of(B), [&] { return fb(float(int(val.below(7)) - 3)); });
      for (size_t i = 0; i < a.size(); i++) in.v[i] = bf(a[i]);
      for (size_t i = 0; i < f.size(); i++) k.v[i] = bf(f[i]);
      for (int c = 0; c < C; c++) bias[c] = has_bias ? bf(bb[c]) : 0.0;
      const int param[9] = {1, 1, 1, 1, 2, 1, 0, 0, has_bias};
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_depthwise(&Cout, &A, &F, &B, param, n); }));
      const cv::T4 want = cv::depthwise(in, k, bias, win);
      const auto got = rig.read(local_of(Cout));
      for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(double(bf(got[i])), want.v[i]) << i;
    }
  }
}

TEST(TensorRecord, ChecksRecordsBeforeIssuing) {
  const Dim shape{1, 2, 3, 5};
  struct Bad {
    const char *function, *condition, *kind;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad bad[] = {
      {"tensor_md_scalar", "CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, C) == FALSE", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t A = rec(0x100, shape);
         tensor_cpy(&A, &A, n);
       }},
      {"tensor_md_scalar", "CONFILICT_IS_FATAL_FLAG == FALSE || confilict(A, B) == FALSE", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t A = rec(0x100, shape), B = rec(0x2000, shape), C = rec(0x10000, shape);
         tensor_add(&C, &A, &B, n);
       }},
      {"tensor_arithmetic", "same_shape(B, C) == TRUE", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t A = rec(0x0, shape), B = rec(0x10000, {1, 2, 3, 4}), C = rec(0x20000, shape);
         tensor_maximum(&C, &A, &B, n);
       }},
      {"tensor_table_lookup", "is_bcast(C) == FALSE", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t A = rec(0x0, {1, 2, 1, 5}, {1, 1, 3, 1}), B = rec(0x10000, shape), C = rec(0x20000, shape);
         tensor_exp(&C, &A, &B, n);  // the clamp reads a broadcast A; the lookup cannot write one
       }},
      {"tensor_arithmetic", "C->constant == FALSE", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t A = rec(0x0, shape), C;
         CONSTANT_TENSOR(&C, 1.0f);
         tensor_minimum(&C, &A, &A, n);
       }},
      {"next_bank_idx", "t->constant == FALSE", "ASSERT",
       [&](cmd_id_node_t *) {
         tensor_t k;
         next_bank_idx(CONSTANT_TENSOR(&k, 0.0f));
       }},
      {"tensor_move", "0", "ASSERT_FS",
       [&](cmd_id_node_t *n) {
         tensor_t t = rec(0x0, shape);
         t.data_fmt = 2;
         tensor_move(&t, 0, n);
       }},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.condition);
    if (std::string(b.function) == "tensor_table_lookup") {
      // The clamp commands before the refused step stay issued.
      FirmwareRig rig;
      EXPECT_TRUE(stopped_on(rig.run_checks(b.call), "ASSERT_FS", "firmware/local/", b.function, b.condition));
      continue;
    }
    expect_local_assert(b.call, b.function, b.condition, "none.", b.kind);
  }
}

}  // namespace
}  // namespace zv::test::local
