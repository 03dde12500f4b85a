// The float convolution's step plan by table: which output slice each index
// names, and per step which loads run, in how many parts, and whether it
// accumulates or adds the bias; first, last, cut, empty and uneven steps.
#include <gtest/gtest.h>

#include "layers/conv/conv.h"

namespace {

struct Call {
  int n, ic, h, w, oc, kh, kw, pt, pb, pl, pr, bias, result_add;
  conv_secs_info_t secs;  // ocsecs, icsecs, nsecs, hsecs, wsecs
};

// Large enough that the first step loads its weights in two parts and the
// last stores in four.
const Call kEdges = {1, 64, 32, 32, 256, 3, 3, 1, 1, 1, 1, 1, 0, {1, 1, 1, 2, 1}};
// Five lane rows in two sections (3 + 2), items 2 + 1, ten input channels
// in sections of 6 and 4, rows 2 + 2 + 2; accumulating into the output.
const Call kUneven = {3, 10, 6, 5, 300, 3, 3, 1, 1, 1, 1, 1, 1, {2, 2, 2, 3, 1}};
// Two input rows padded by four above and below: the outer row sections see
// only padding.
const Call kPadded = {1, 2, 2, 4, 64, 1, 1, 4, 4, 0, 0, 0, 0, {1, 1, 1, 5, 1}};
const Call kWide = {1, 2, 1, 3000, 64, 1, 1, 0, 0, 0, 0, 0, 0, {1, 1, 1, 1, 1}};
const Call kTall = {1, 2, 3000, 1, 64, 1, 1, 0, 0, 0, 0, 0, 0, {1, 1, 1, 1, 1}};
// Columns in two sections of 5.
const Call kColumns = {1, 4, 4, 10, 64, 3, 3, 1, 1, 1, 1, 1, 0, {1, 1, 1, 1, 2}};

conv_pipe_plan_t plan_of(const Call &c) {
  const conv_window_t w = conv_window_of(c.kh, c.kw, 1, 1, c.pt, c.pb, c.pl, c.pr, 1, 1);
  conv_pipe_plan_t p;
  conv_pipe_plan_of(&p, c.n, c.ic, c.h, c.w, 1, c.oc, &w, c.bias, c.result_add, &c.secs);
  return p;
}

TEST(ConvStepPlan, Slices) {
  struct Case {
    const char *what;
    const Call *call;
    int oc_sec, n_sec, h_sec, w_sec;
    int oc0, ch, lanes, n0, nc, oh0, rows, ow0, cols;
    int first, last, empty, cut_h, cut_w, head, parts, store_parts;
  };
  const Case cases[] = {
      {"first of a large group: weights in two parts", &kEdges, 0, 0, 0, 0,  //
       0, 256, 4, 0, 1, 0, 16, 0, 32, 1, 0, 0, 0, 0, 2, 2, 0},
      {"last of a large group: stored in four parts", &kEdges, 0, 0, 1, 0,  //
       0, 256, 4, 0, 1, 16, 16, 0, 32, 0, 1, 0, 0, 0, 1, 4, 1},
      {"first of uneven sections: three lane rows, two items", &kUneven, 0, 0, 0, 0,  //
       0, 192, 3, 0, 2, 0, 2, 0, 5, 1, 0, 0, 0, 0, 1, 1, 0},
      {"second item section", &kUneven, 0, 1, 1, 0,  //
       0, 192, 3, 2, 1, 2, 2, 0, 5, 0, 0, 0, 0, 0, 1, 1, 0},
      {"last of uneven sections: the rest of the channels", &kUneven, 1, 1, 2, 0,  //
       192, 108, 2, 2, 1, 4, 2, 0, 5, 0, 1, 0, 0, 0, 1, 1, 0},
      {"rows wholly in the top padding", &kPadded, 0, 0, 0, 0,  //
       0, 64, 1, 0, 1, 0, 2, 0, 4, 1, 0, 1, 0, 0, 1, 1, 0},
      {"rows over the input", &kPadded, 0, 0, 2, 0,  //
       0, 64, 1, 0, 1, 4, 2, 0, 4, 0, 0, 0, 0, 0, 1, 1, 0},
      {"last rows wholly in the bottom padding", &kPadded, 0, 0, 4, 0,  //
       0, 64, 1, 0, 1, 8, 2, 0, 4, 0, 1, 1, 0, 0, 1, 1, 0},
      {"columns beyond one command: cut in pieces", &kWide, 0, 0, 0, 0,  //
       0, 64, 1, 0, 1, 0, 1, 0, 3000, 1, 1, 0, 0, 1, 1, 1, 0},
      {"rows beyond one command: cut in pieces", &kTall, 0, 0, 0, 0,  //
       0, 64, 1, 0, 1, 0, 3000, 0, 1, 1, 1, 0, 1, 0, 1, 1, 0},
      {"second column section", &kColumns, 0, 0, 0, 1,  //
       0, 64, 1, 0, 1, 0, 4, 5, 5, 0, 1, 0, 0, 0, 1, 1, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const conv_pipe_plan_t p = plan_of(*k.call);
    const conv_slice_plan_t s = conv_slice_of(&p, 0, k.oc_sec, k.n_sec, k.h_sec, k.w_sec);
    EXPECT_EQ(s.at.oc0, k.oc0);
    EXPECT_EQ(s.at.ch, k.ch);
    EXPECT_EQ(s.at.lanes, k.lanes);
    EXPECT_EQ(s.at.n0, k.n0);
    EXPECT_EQ(s.at.nc, k.nc);
    EXPECT_EQ(s.at.hs.o0, k.oh0);
    EXPECT_EQ(s.at.hs.ocnt, k.rows);
    EXPECT_EQ(s.at.ws.o0, k.ow0);
    EXPECT_EQ(s.at.ws.ocnt, k.cols);
    EXPECT_EQ(s.first, k.first);
    EXPECT_EQ(s.last, k.last);
    EXPECT_EQ(s.empty, k.empty);
    EXPECT_EQ(s.cut_h, k.cut_h);
    EXPECT_EQ(s.cut_w, k.cut_w);
    EXPECT_EQ(s.head, k.head);
    EXPECT_EQ(s.parts, k.parts);
    EXPECT_EQ(s.store_parts, k.store_parts);
  }
}

TEST(ConvStepPlan, Steps) {
  struct Case {
    const char *what;
    const Call *call;
    int oc_sec, n_sec, h_sec, w_sec, k;
    int ic0, ics, ic_even, first, load_input, load_weights, weights_in_parts, load_bias, accumulate, bias_now;
  };
  const Case cases[] = {
      {"first: every load, weights in parts, bias added", &kEdges, 0, 0, 0, 0, 0,  //
       0, 64, 64, 1, 1, 1, 1, 1, 0, 1},
      {"last: the weights stay, only the input loads", &kEdges, 0, 0, 1, 0, 0,  //
       0, 64, 64, 0, 1, 0, 0, 0, 0, 1},
      {"first input-channel section: no bias yet, adds to the output", &kUneven, 0, 0, 0, 0, 0,  //
       0, 6, 6, 1, 1, 1, 0, 1, 1, 0},
      {"last input-channel section: the rest, bias added", &kUneven, 0, 0, 0, 0, 1,  //
       6, 4, 4, 0, 1, 1, 0, 0, 1, 1},
      {"next lane section's first step loads its biases", &kUneven, 1, 0, 0, 0, 0,  //
       0, 6, 6, 0, 1, 1, 0, 1, 1, 0},
      {"the call's last step", &kUneven, 1, 1, 2, 0, 1,  //
       6, 4, 4, 0, 1, 1, 0, 0, 1, 1},
      {"empty first step: weights, no input", &kPadded, 0, 0, 0, 0, 0,  //
       0, 2, 2, 1, 0, 1, 0, 0, 0, 0},
      {"empty last step: nothing to load", &kPadded, 0, 0, 4, 0, 0,  //
       0, 2, 2, 0, 0, 0, 0, 0, 0, 0},
      {"later column section reloads the weights, not the biases", &kColumns, 0, 0, 0, 1, 0,  //
       0, 4, 4, 0, 1, 1, 0, 0, 0, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const conv_pipe_plan_t p = plan_of(*k.call);
    const conv_slice_plan_t s = conv_slice_of(&p, 0, k.oc_sec, k.n_sec, k.h_sec, k.w_sec);
    const conv_step_t t = conv_step_of(&p, &s, k.k);
    EXPECT_EQ(t.ic0, k.ic0);
    EXPECT_EQ(t.ics, k.ics);
    EXPECT_EQ(t.ic_even, k.ic_even);
    EXPECT_EQ(t.first, k.first);
    EXPECT_EQ(t.load_input, k.load_input);
    EXPECT_EQ(t.load_weights, k.load_weights);
    EXPECT_EQ(t.weights_in_parts, k.weights_in_parts);
    EXPECT_EQ(t.load_bias, k.load_bias);
    EXPECT_EQ(t.accumulate, k.accumulate);
    EXPECT_EQ(t.bias_now, k.bias_now);
  }
}

}  // namespace
