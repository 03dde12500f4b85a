// Exponential, logarithm, power, sigmoid, tanh, normalisation and scaling on
// tagged operands: accuracy against the C library, the clamps, the power's
// start from its input, and the reductions of the normalisation against
// plain references under every schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "local/local_rig.h"
#include "local/math_rig.h"
#include "local/tagged_math.h"
#include "ref/math_ref.h"

namespace zv::test::local {
namespace {

namespace mr = zv::ref::math;
using er::Dim;
using er::Local;

u32 fb(float v) { return er::bits(v); }
float bf(u32 u) { return er::f(u); }

TEST(TaggedMath, EachRoutineStaysWithinItsBoundOfTheCLibrary) {
  for (const mr::TaggedFn &fn : mr::tagged_functions()) {
    SCOPED_TRACE(fn.name);
    const std::vector<float> in = fn.grid();
    const UnaryRun r = run_tagged(Tagged(fn.which), in, 3, {chip::Schedule::Deferred, 5});
    ASSERT_TRUE(r.ran);
    double worst = 0;
    float at = 0;
    for (size_t i = 0; i < in.size(); i++) {
      const double e = mr::point_error(r.out[i], fn.ref(double(in[i])));
      if (e > worst) worst = e, at = in[i];
    }
    EXPECT_LE(worst, fn.bound) << "worst at x = " << at;
  }
}

TEST(TaggedMath, ExClampsItsArgumentAndIssuesTwelveCommands) {
  const UnaryRun r = run_tagged(Tagged::Ex, {1000.0f, -1000.0f, 88.0f, -103.0f, NAN}, 0);
  ASSERT_TRUE(r.ran);
  EXPECT_EQ(fb(r.out[0]), fb(r.out[2]));
  EXPECT_EQ(fb(r.out[1]), fb(r.out[3]));
  EXPECT_EQ(fb(r.out[4]), fb(r.out[3]));  // NaN takes the lower clamp first
  EXPECT_NEAR(r.out[2], std::exp(88.0), std::exp(88.0) * 3e-7);
  EXPECT_EQ(r.commands, 12u);
  EXPECT_EQ(run_tagged(Tagged::Lnx, {2.0f}).commands, 7u);
}

TEST(TaggedMath, PowerStartsFromItsInputWhateverTheOutputHeld) {
  struct Case {
    int n;
    size_t commands;
    double (*ref)(double);
  };
  const Case cases[] = {
      {3, 3, [](double x) { return x * x * x; }},
      {1, 1, [](double x) { return x; }},
      {-2, 3, [](double x) { return 1.0 / (x * x); }},
      {0, 2, [](double x) { return x / x; }},  // 1.0, NaN at 0 and at the infinities
  };
  const std::vector<float> in = {-3.0f, 0.5f, 2.0f, 0.0f, -0.0f, INFINITY, 1e-3f};
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE("n " + std::to_string(k.n) + ", " + sched_text(s));
      // The runner fills the output with NaN first.
      const UnaryRun r = run_tagged(Tagged::Xn, in, k.n, s);
      ASSERT_TRUE(r.ran);
      EXPECT_EQ(r.commands, k.commands);
      for (size_t i = 0; i < in.size(); i++) {
        const double want = k.ref(double(in[i]));
        if (std::isnan(want))
          EXPECT_TRUE(std::isnan(r.out[i])) << in[i];
        else
          EXPECT_EQ(double(r.out[i]), double(float(want))) << in[i];
      }
    }
  }
}

TEST(TaggedMath, PowerInPlaceSquaresOrRefuses) {
  const u32 x = lane(0, 0x1000);
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { tensor_xn(x, x, 2, 1, 1, 1, 8, n); }).size(), 1u);
  EXPECT_EQ(issued([&](cmd_id_node_t *n) { tensor_xn(x, x, 1, 1, 1, 1, 8, n); }).size(), 0u);
  for (int n : {3, 0, -1}) {
    SCOPED_TRACE(n);
    expect_local_assert([&](cmd_id_node_t *node) { tensor_xn(x, x, n, 1, 1, 1, 8, node); }, "tensor_xn",
                        "n == 1 || n == 2", "in place only x^1 and x^2, n=" + std::to_string(n));
  }
}

TEST(TaggedMath, NormalizeDividesByTheRootOfTheSumOfSquares) {
  struct Case {
    const char *what;
    int across;
    float eps;
    Dim shape;
  };
  const Case cases[] = {
      {"per position, eps 0", 0, 0.0f, {2, 70, 3, 5}},
      {"per position, eps 0.5", 0, 0.5f, {1, 3, 2, 4}},
      {"per item, two lane rows", 1, 1e-3f, {2, 70, 3, 5}},
      {"per item, one lane row", 1, 0.0f, {3, 5, 2, 2}},
  };
  for (const Case &k : cases) {
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Values val(3);
      const Local x = er::aligned(lane(0, 0x0), k.shape), y = er::aligned(lane(0, 0x4000), k.shape);
      const auto in = rig.fill(x, [&] { return val.small_float(); });
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) {
        tensor_normalize(0x0, 0x4000, 0x8000, int(k.shape.n), int(k.shape.c), int(k.shape.h), int(k.shape.w), k.across,
                         fb(k.eps), n);
      }));
      const auto out = rig.read(y);
      const auto C = k.shape.c, HW = k.shape.h * k.shape.w;
      for (er::i64 n = 0; n < k.shape.n; n++) {
        double item = 0;
        for (er::i64 i = 0; i < C * HW; i++) item += double(bf(in[n * C * HW + i])) * bf(in[n * C * HW + i]);
        for (er::i64 p = 0; p < HW; p++) {
          double pos = 0;
          for (er::i64 c = 0; c < C; c++) pos += double(bf(in[(n * C + c) * HW + p])) * bf(in[(n * C + c) * HW + p]);
          const double sum = (k.across ? item : pos) + k.eps;
          for (er::i64 c = 0; c < C; c++) {
            const size_t i = size_t((n * C + c) * HW + p);
            const double want = bf(in[i]) / std::sqrt(sum);
            ASSERT_NEAR(bf(out[i]), want, 1e-6 * std::fmax(1.0, std::fabs(want))) << "n " << n << " c " << c << " p " << p;
          }
        }
      }
    }
  }
}

TEST(TaggedMath, ScaleByChannelOrSharedWithOptionalRelu) {
  const Dim shape{2, 70, 2, 3};
  for (int shared : {0, 1}) {
    for (int relu : {0, 1}) {
      for (const Sched &s : all_schedules()) {
        SCOPED_TRACE("shared " + std::to_string(shared) + " relu " + std::to_string(relu) + ", " + sched_text(s));
        BdRig rig(s);
        Values val(8);
        const Local x = er::aligned(lane(0, 0x0), shape), y = er::aligned(lane(0, 0x2000), shape);
        // One float per channel, lane rows one word apart.
        const Local sc{lane(0, 0x4000), Dim{1, 70, 1, 1}, Dim{2, 1, 1, 1}};
        const auto in = rig.fill(x, [&] { return val.small_float(); });
        const auto scale = rig.fill(sc, [&] { return val.small_float(); });
        const float k = -1.75f;
        ASSERT_TRUE(rig.run([&](cmd_id_node_t *n) { tensor_scale(0x0, 0x2000, 0x4000, 2, 70, 2, 3, shared, fb(k), relu, n); }));
        const auto out = rig.read(y);
        for (size_t i = 0; i < in.size(); i++) {
          const size_t c = (i / 6) % 70;
          float want = bf(in[i]) * (shared ? k : bf(scale[c]));
          if (relu && !(want > 0.0f)) want = 0.0f;
          ASSERT_EQ(bf(out[i]), want) << "element " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zv::test::local
