// Float pooling: the slice frame's plan by tables, the pipelined worker and
// the large-stride worker against the plain reference on every schedule with
// the race checker, and their refusals.
#include "layers/pool/pooling.h"

#include <gtest/gtest.h>

#include "cmd/data_split.h"
#include "pool_rig.h"

namespace zv::test::pool {
namespace {

using ref::pool::Pool2d;

TEST(PoolFrame, BuffersPiecesAndStrideSplit) {
  struct {
    float ratio;
    u32 in1, out;
  } buffers[] = {{0.5f, 0x20000, 0x40000}, {0.2f, 0x10000, 0x20000}, {1.0f, 0x40000, 0x80000}, {0.0f, 0x10000, 0x20000}};
  for (const auto &b : buffers) {
    pool_frame_t f = {};
    pool_frame_buffers(&f, b.ratio);
    EXPECT_EQ(f.input[0], 0u);
    EXPECT_EQ(f.input[1], b.in1) << b.ratio;
    EXPECT_EQ(f.output, b.out) << b.ratio;
    local_area_t areas[POOL_FRAME_AREAS];
    pool_frame_areas(&f, areas);
    EXPECT_TRUE(local_areas_valid(areas, POOL_FRAME_AREAS)) << b.ratio;
  }
  // 5000 planes: 2 x 2496 from lane row 0, then 8 from lane row 78.
  pool_piece_t p;
  ASSERT_TRUE(pool_piece_of(5000, 0, &p));
  EXPECT_EQ(p.pieces, 2);
  EXPECT_EQ(p.size, 2496);
  ASSERT_TRUE(pool_piece_of(5000 - 4992, 78, &p));
  EXPECT_EQ(p.pieces, 1);
  EXPECT_EQ(p.size, 8);
  struct {
    int stride, d, e;
  } strides[] = {{16, 8, 2}, {17, 1, 17}, {30, 15, 2}, {1, 1, 1}, {15, 15, 1}, {64, 8, 8}};
  for (const auto &s : strides) {
    int d, e;
    pool_stride_split(s.stride, &d, &e);
    EXPECT_EQ(d, s.d) << s.stride;
    EXPECT_EQ(e, s.e) << s.stride;
  }
}

TEST(PoolFrame, SlicesCoverTheOutputRows) {
  // 9 input rows, 3x3 windows stride 2, top pad 1, ceil rounding: 5 output
  // rows, the last window one row past the input. Slices of 2 output rows.
  pool_frame_t f = {3, 9, 4, 5, 2, 3, 3, 1, 1, 0, 0, 2, 2, 2, 4, {0, 0x20000}, 0x40000, 0x20000};
  struct {
    int r0, rs, rows, pt, pb, ro, out_rows;
  } want[] = {{-1, 0, 4, 1, 0, 0, 2}, {3, 3, 5, 0, 0, 2, 2}, {7, 7, 2, 0, 1, 4, 1}};
  int c0 = 0, r0 = -1, k = 0;
  do {
    pool_slice_t s;
    pool_slice_of(&f, c0, r0, &s);
    if (c0 == 0) {
      ASSERT_LT(k, 3);
      EXPECT_EQ(s.r0, want[k].r0);
      EXPECT_EQ(s.rs, want[k].rs) << k;
      EXPECT_EQ(s.rows, want[k].rows) << k;
      EXPECT_EQ(s.pt, want[k].pt) << k;
      EXPECT_EQ(s.pb, want[k].pb) << k;
      EXPECT_EQ(s.ro, want[k].ro) << k;
      EXPECT_EQ(s.out_rows, want[k].out_rows) << k;
      EXPECT_EQ(s.c, 2);
      k++;
    } else {
      EXPECT_EQ(s.c, 1);  // the last block takes the rest
    }
  } while (pool_next_slice(&f, &c0, &r0));
  EXPECT_EQ(k, 3);

  pool_pads_t pads;
  // Floor rounding: the declared bottom pad gives way to the one needed.
  pool_pads_of(&pads, 7, 7, 4, 4, 3, 3, 1, 1, 1, 1, 2, 2);
  EXPECT_EQ(pads.pad_h_extra, 1);
  EXPECT_EQ(pads.pad_h_bottom_adj, 1);
  // Ceil rounding: one window more than the declared pads allow.
  pool_pads_of(&pads, 6, 6, 3, 2, 3, 3, 0, 0, 0, 0, 2, 2);
  EXPECT_EQ(pads.pad_h_extra, 1);
  EXPECT_EQ(pads.pad_h_bottom_adj, 0);
  EXPECT_EQ(pads.pad_w_extra, 0);
  EXPECT_EQ(pads.pad_w_right_adj, 0);
}

struct PoolCase {
  const char *what;
  int n, c, ih, iw;
  Pool2d p;
  bool ceil_mode;
  int c_step, h_rows;  // planes and output rows per slice (0: all)
};

void run_pool_case(const PoolCase &k, bool large_stride_worker) {
  const int oh = ref::pool::pool_extent(k.ih, k.p.kh, k.p.pad_t, k.p.pad_b, k.p.stride_h, k.ceil_mode);
  const int ow = ref::pool::pool_extent(k.iw, k.p.kw, k.p.pad_l, k.p.pad_r, k.p.stride_w, k.ceil_mode);
  const T4 in = pattern(k.n, k.c, k.ih, k.iw);
  const T4 want = ref::pool::pool2d(in, k.p, oh, ow);
  const int c_step = k.c_step ? k.c_step : k.n * k.c, h_step = k.p.stride_h * (k.h_rows ? k.h_rows : oh);
  for (const Sched &s : all_schedules()) {
    SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
    LayerRunner rig(s);
    put_floats(rig, kIn, in.v);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      const Pool2d &p = k.p;
      if (large_stride_worker)
        nodechip_pooling_forward_parallel_stride_no_limit(kIn, kOut, k.n, k.c, k.ih, k.iw, oh, ow, p.kh, p.kw,
                                                          p.stride_h, p.stride_w, p.avg, p.avg_mode, p.relu, 0.0f,
                                                          p.pad_t, p.pad_b, p.pad_l, p.pad_r, node);
      else
        nodechip_pooling_forward_parallel(kIn, kOut, k.n, k.c, k.ih, k.iw, oh, ow, p.kh, p.kw, p.pad_t, p.pad_l,
                                          p.pad_b, p.pad_r, p.stride_h, p.stride_w, p.avg, p.avg_mode, p.relu, c_step,
                                          h_step, 0.5f, node);
    }));
    EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 1e-6));
  }
}

Pool2d P(int kh, int kw, int pt, int pl, int pb, int pr, int sh, int sw, bool avg = false, int mode = 1, bool relu = false) {
  Pool2d p;
  p.kh = kh, p.kw = kw, p.pad_t = pt, p.pad_l = pl, p.pad_b = pb, p.pad_r = pr, p.stride_h = sh, p.stride_w = sw;
  p.avg = avg, p.avg_mode = mode, p.relu = relu;
  return p;
}

TEST(FloatPooling, AgainstReference) {
  const PoolCase cases[] = {
      {"max 3x3 s2 pad 1, ceil, slices of 2 rows, batch 2", 2, 3, 9, 11, P(3, 3, 1, 1, 1, 1, 2, 2), true, 0, 2},
      {"average of real elements, 70 planes in blocks of 64, 3-row slices", 1, 70, 7, 6, P(3, 3, 1, 1, 1, 1, 1, 1, true),
       false, 64, 3},
      {"average mode 0, ceil rounding past the declared pads", 2, 2, 6, 7, P(3, 3, 0, 0, 0, 0, 2, 2, true, 0), true, 3, 1},
      {"average mode 0, floor rounding: padding counts", 1, 3, 7, 7, P(3, 3, 1, 1, 1, 1, 2, 2, true, 0), false, 0, 2},
      {"average mode 0, ceil rounding with declared pads", 1, 2, 8, 8, P(3, 3, 1, 1, 1, 1, 2, 2, true, 0), true, 0, 0},
      {"average without correction (mode 2)", 1, 2, 5, 5, P(2, 3, 1, 1, 1, 1, 1, 2, true, 2), false, 0, 0},
      {"average, ReLU", 3, 5, 6, 5, P(2, 2, 0, 0, 0, 0, 2, 1, true, 1, true), false, 4, 1},
      {"max, pads wider than the window", 1, 2, 4, 4, P(2, 2, 3, 3, 3, 3, 1, 1), false, 0, 0},
      {"global max over the plane", 2, 4, 5, 9, P(5, 9, 0, 0, 0, 0, 1, 1), false, 0, 0},
      {"5000 planes in one slice: pieces of 2 x 2496 and 8", 2, 2500, 2, 2, P(2, 2, 0, 0, 0, 0, 2, 2, true), false, 0,
       0},
  };
  for (const PoolCase &k : cases) run_pool_case(k, false);
}

TEST(FloatPooling, LargeStridesAgainstReference) {
  const PoolCase cases[] = {
      {"stride 16 (8 by 2), max", 2, 3, 40, 37, P(3, 3, 1, 1, 1, 1, 16, 16), true, 0, 0},
      {"stride 17 rows (1 by 17), stride 1 columns, average", 1, 70, 38, 9, P(4, 2, 0, 1, 0, 1, 17, 1, true), false, 0,
       0},
      {"stride 30 (15 by 2), average mode 0, ceil", 1, 2, 65, 65, P(20, 20, 0, 0, 0, 0, 30, 30, true, 0), true, 0, 0},
      {"planes that fill a lane: channel pieces", 1, 130, 60, 60, P(16, 16, 0, 0, 0, 0, 16, 16, true, 1, true), false,
       0, 0},
      {"a plane larger than a lane: steps of output rows", 1, 3, 400, 400, P(16, 16, 2, 2, 2, 2, 16, 16, true), true, 0,
       0},
  };
  for (const PoolCase &k : cases) run_pool_case(k, true);
  // Strides below 16 through the same worker give the same values.
  run_pool_case({"stride 3 through the large-stride worker", 2, 3, 11, 10, P(3, 3, 1, 1, 1, 1, 3, 3, true), false, 0, 0},
                true);
}

TEST(FloatPooling, WrapperPlansAndPicksTheWorker) {
  for (int stride : {2, 20}) {
    SCOPED_TRACE(stride);
    const int n = 2, c = 3, ih = 45, iw = 41, k = 3, pad = 1;
    const Pool2d p = P(k, k, pad, pad, pad, pad, stride, stride, true, 1);
    const int oh = ref::pool::pool_extent(ih, k, pad, pad, stride, false), ow = ref::pool::pool_extent(iw, k, pad, pad, stride, false);
    const T4 in = pattern(n, c, ih, iw, 3);
    const T4 want = ref::pool::pool2d(in, p, oh, ow);
    LayerRunner rig(deferred(2));
    put_floats(rig, kIn, in.v);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_pooling_forward_parallel_with_data_split(kIn, kOut, n, c, ih, iw, oh, ow, k, k, pad, pad, stride, stride,
                                                        1, 1, 0, node);
    }));
    EXPECT_TRUE(near_all(get<float>(rig, kOut, want.v.size()), want, 1e-6));
  }
  // A pad wider than its window: the split writes no plan and the worker refuses the call.
  FirmwareRig rig;
  const FwOutcome o = rig.run_layer([&](cmd_id_node_t *node) {
    nodechip_pooling_forward_parallel_with_data_split(kIn, kOut, 1, 1, 4, 4, 5, 5, 2, 2, 3, 3, 1, 1, 0, 0, 0, node);
  });
  const std::string logged = "Not supported pooling parameters.\n";
  const size_t at = o.uart.find(logged);
  ASSERT_NE(at, std::string::npos) << o.uart;
  FwOutcome after = o;
  after.uart = o.uart.substr(at + logged.size());
  EXPECT_TRUE(stopped_on(after, "ASSERT_FS", "firmware/layers/pool/", "nodechip_pooling_forward_parallel",
                         "c_step > 0 && h_step > 0 && h_step % stride_h == 0", "c_step=0 h_step=0 stride_h=1"));
}

TEST(FloatPooling, Refusals) {
  const char *fn = "nodechip_pooling_forward_parallel";
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 4096, 4, 4, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 64, 4, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "input_c < 4096", "c=4096 is too large.\n");
  // input_ratio 1.0 puts the output buffer at the lane's end.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 4, 4, 4, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 64, 4, 1.0f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "offset_local_end <= (1<<19)");
  // 64 planes of 40 x 40 rows take 6.4 KB per lane row; 64 KB per input buffer
  // hold 10 of them, not 20.
  {
  FirmwareRig rig;
  FwOutcome o = rig.run_checks([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 1280, 40, 40, 20, 20, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 1280, 40,
                                      0.2f, n);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT_FS", "firmware/layers/pool/", fn,
                         "w.min_rows > 0 && input_end <= f.input_bytes", "rows=40 bytes=128000 buffer=65536"));
  EXPECT_EQ(rig.commands_issued(), 0u);
  }
  // An output extent the windows do not give.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 1, 8, 8, 3, 4, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 1, 16, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "w.min_out_rows > 0 && w.rows_follow",
     "slice rows 0..4, output_h=3");
  // A window wholly in the padding cannot be averaged over its real elements.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 1, 4, 4, 7, 4, 2, 2, 3, 0, 0, 0, 1, 1, 1, 1, 0, 1, 7, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn, "valid_rows > 0");
  // Pads beyond the command's 4-bit fields.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 1, 1, 8, 8, 3, 3, 20, 20, 16, 16, 0, 0, 1, 1, 0, 0, 0, 1, 3, 0.5f, n);
  }, "ASSERT_FS", "firmware/layers/pool/", fn,
     "f.pad_top < 16 && f.pad_bottom < 16 && f.pad_left < 16 && f.pad_right < 16", "pads 16 0 16 0");
  // The large-stride worker: a plane whose step of output rows is empty.
  expect_assert([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel_stride_no_limit(kIn, kOut, 1, 1, 400, 400, 1, 1, 400, 400, 16, 16, 0, 0, 0, 0.0f,
                                                      0, 0, 0, 0, n);
  }, "ASSERT_FS", "firmware/layers/pool/", "nodechip_pooling_forward_parallel_stride_no_limit", "top_h_step > 0");
  // input_n = 0: nothing is issued.
  FirmwareRig empty;
  ASSERT_TRUE(ran_clean(empty.run_layer([](cmd_id_node_t *n) {
    nodechip_pooling_forward_parallel(kIn, kOut, 0, 4, 4, 4, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0.5f, n);
    nodechip_pooling_forward_parallel_stride_no_limit(kIn, kOut, 0, 1, 40, 40, 2, 2, 3, 3, 20, 20, 0, 0, 0, 0.0f, 0, 0,
                                                      0, 0, n);
  })));
  EXPECT_EQ(empty.commands_issued(), 0u);
}

}  // namespace
}  // namespace zv::test::pool
