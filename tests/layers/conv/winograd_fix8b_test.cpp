// 8-bit Winograd convolution of 4N tensors: the row chunk by a table, the
// layer bit-exact against the integer Winograd reference on every schedule with
// the race checker (both weight arrangements, the bias modes, odd extents,
// output-lane sections), the wrapper, and the refusals.
#include "layers/conv/winograd_fix8b.h"

#include <gtest/gtest.h>

#include <string>

#include "conv_fix_rig.h"

namespace zv::test::conv_fix {
namespace {

using ref::conv_fix::Conv;

TEST(WinogradFix8bPlan, RowChunks) {
  struct {
    int oh, hsecs, chunk;
  } cases[] = {{16, 3, 4}, {10, 2, 0}, {20, 1, 20}, {24, 2, 12}, {13, 2, 0}, {17, 2, 0}, {20, 2, 8}};
  for (const auto &k : cases) EXPECT_EQ(winograd_fix8b_row_chunk(k.oh, k.hsecs), k.chunk) << k.oh << " " << k.hsecs;
}

struct Case {
  const char *what;
  Conv p;  // kh = kw = 3 for the output extent
  int arrangement, hsecs, nsecs, ocsecs;  // hsecs 0: the wrapper
};

Conv W(int n, int ic, int h, int w, int oc, int pad) {
  Conv p;
  p.n = n, p.ic = ic, p.h = h, p.w = w, p.oc = oc, p.kh = p.kw = 3;
  p.pad_t = p.pad_b = p.pad_l = p.pad_r = pad;
  return p;
}

void run_case(const Case &k, const std::vector<Sched> &scheds) {
  const Conv &p = k.p;
  const std::vector<u8> in = pattern(size_t(p.groups4()) * p.ic * p.h * p.w * 4, p.ic + p.oc, p.in_sign ? 256 : 200);
  const std::vector<u8> u = small_weights(size_t(p.oc) * (p.ic / p.groups) * 16, p.oc, 8);
  const std::vector<u16> bias = biases(p.oc, p.ic);
  const std::vector<u8> want = ref::conv_fix::wino8(p, in, u, bias);
  for (const Sched &s : scheds) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put<u8>(rig, kIn, in);
    put<u8>(rig, kWeight, ref::conv_fix::wino_weights(p, u, bias, k.arrangement));
    put<u8>(rig, kBias, bytes_of(ref::conv_fix::wino_biases(p, bias, k.arrangement)));
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      if (k.hsecs == 0)
        nodechip_winograd_forward_parallel_fix8b_with_data_split(
            kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc, p.pad_t, p.pad_b, p.pad_l, p.pad_r,
            p.bias_mode, p.relu, p.upper, k.arrangement, 0, 0, p.rshift, p.in_sign, 1, p.b_sign, 0, 0, 0, 0, 0, node);
      else
        nodechip_winograd_forward_parallel_fix8b(kIn, kOut, kWeight, kBias, p.n, p.ic, p.h, p.w, p.groups, p.oc,
                                                 p.pad_t, p.pad_b, p.pad_l, p.pad_r, p.bias_mode, k.hsecs, k.nsecs, 1,
                                                 k.ocsecs, p.relu, p.upper, k.arrangement, 0, 0, p.rshift, p.in_sign,
                                                 1, p.b_sign, 0, 0, 0, 0, 0, node);
    }));
    const std::vector<u8> got = get<u8>(rig, kOut, want.size());
    const size_t group_bytes = want.size() / size_t(p.groups4());
    size_t bad = 0;
    while (bad < got.size() && (got[bad] == want[bad] || int(bad / group_bytes) * 4 + int(bad % 4) >= p.n)) bad++;
    ASSERT_EQ(bad, got.size()) << "first difference at byte " << bad << ": " << int(got[bad]) << " want "
                               << int(want[bad]);
  }
}

TEST(WinogradFix8b, AgainstReference) {
  Conv a = W(5, 6, 16, 9, 10, 1);  // OH 16 in chunks of 4 (hsecs 3: 6 -> 4), odd OW 9; five items
  a.bias_mode = 1, a.b_sign = a.in_sign = true, a.rshift = 4;
  Conv b = W(4, 9, 12, 11, 70, 1);  // 70 channels: two lane rows, in two sections
  b.rshift = 5, b.relu = true, b.upper = 60, b.bias_mode = 1, b.b_sign = true;
  Conv c = W(4, 5, 9, 8, 70, 0);  // arrangement 2 with biases behind the weights; odd OH 7
  c.bias_mode = 2, c.b_sign = true, c.in_sign = true, c.rshift = 3;
  Conv d = W(8, 8, 8, 8, 6, 1);
  d.groups = 2, d.bias_mode = 1, d.in_sign = true, d.rshift = 4;
  Conv e = W(4, 4, 8, 6, 130, 1);
  e.bias_mode = 2, e.b_sign = true, e.rshift = 4, e.relu = true;
  Conv f = W(6, 7, 8, 9, 100, 1);
  f.bias_mode = 1, f.b_sign = true, f.in_sign = true, f.rshift = 5;
  const Case cases[] = {
      {"arrangement 1, row chunks of 4, odd width, two batch sections", a, 1, 3, 2, 1},
      {"arrangement 1, two output-lane sections, clamped ReLU", b, 1, 2, 1, 2},
      {"arrangement 2, bias behind the weights, odd height", c, 2, 1, 1, 1},
      {"two groups, arrangement 2", d, 2, 2, 2, 1},
      // Each output-lane section loads its own lane rows of the per-lane block.
      {"arrangement 2, bias behind the weights, two output-lane sections", c, 2, 1, 1, 2},
      {"arrangement 1, bias behind the weights, 130 channels in three sections", e, 1, 2, 1, 3},
      {"arrangement 2, 16-bit biases, two output-lane sections", f, 2, 1, 2, 2},
  };
  for (const Case &k : cases) run_case(k, all_schedules());
}

TEST(WinogradFix8b, WrapperPlansItself) {
  Conv p = W(4, 8, 40, 36, 16, 1);
  p.bias_mode = 1, p.in_sign = true, p.rshift = 5;
  run_case({"40 x 36 through the wrapper", p, 1, 0, 0, 0}, {deferred(17)});
}

TEST(WinogradFix8b, Refusals) {
  const char *where = "firmware/layers/conv/", *fn = "nodechip_winograd_forward_parallel_fix8b";
  // OH 10 in two sections: 5 -> 4 leaves 2 rows, 4 -> 0: no chunk.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_winograd_forward_parallel_fix8b(kIn, kOut, kWeight, kBias, 4, 4, 10, 10, 1, 4, 1, 1, 1, 1, 0, 2, 1, 1, 1,
                                             0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "hslice > 0");
  expect_assert([](cmd_id_node_t *n) {
    nodechip_winograd_forward_parallel_fix8b(kIn, kOut, kWeight, kBias, 4, 8, 10, 10, 1, 4, 1, 1, 1, 1, 0, 1, 1, 2, 1,
                                             0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, n);
  }, "ASSERT_FS", where, fn, "icsecs == 1");
}

}  // namespace
}  // namespace zv::test::conv_fix
