// Runs every local float math routine over its grid on the chip model and
// prints, per function, the number of points, the worst error against the C
// library in double (|got - ref| / max(|ref|, 1)), where it occurs, and the
// bound the tests hold it to.
#include <cstdio>

#include "local/math_rig.h"
#include "ref/math_ref.h"

int main() {
  namespace mr = zv::ref::math;
  std::printf("%-16s %7s %12s %16s %10s\n", "function", "points", "worst error", "at x", "bound");
  int over = 0;
  for (const mr::MathFn &fn : mr::math_functions()) {
    const std::vector<float> in = fn.grid();
    const auto r = zv::test::local::run_unary(fn.unary_type, in, &fn.ipower);
    if (!r.ran) {
      std::printf("%-16s did not run: %s\n", fn.name, r.ran.message());
      return 1;
    }
    double worst = 0;
    float at = 0;
    for (size_t i = 0; i < in.size(); i++) {
      const double e = mr::point_error(r.out[i], fn.ref(double(in[i])));
      if (e > worst) worst = e, at = in[i];
    }
    over += worst > fn.bound;
    std::printf("%-16s %7zu %12.3g %16.9g %10.3g%s\n", fn.name, in.size(), worst, at, fn.bound,
                worst > fn.bound ? "  OVER" : "");
  }
  for (const mr::TaggedFn &fn : mr::tagged_functions()) {
    const std::vector<float> in = fn.grid();
    const auto r = zv::test::local::run_tagged(zv::test::local::Tagged(fn.which), in, 3);
    if (!r.ran) {
      std::printf("%-16s did not run: %s\n", fn.name, r.ran.message());
      return 1;
    }
    double worst = 0;
    float at = 0;
    for (size_t i = 0; i < in.size(); i++) {
      const double e = mr::point_error(r.out[i], fn.ref(double(in[i])));
      if (e > worst) worst = e, at = in[i];
    }
    over += worst > fn.bound;
    std::printf("%-16s %7zu %12.3g %16.9g %10.3g%s\n", fn.name, in.size(), worst, at, fn.bound,
                worst > fn.bound ? "  OVER" : "");
  }
  return over ? 1 : 0;
}
