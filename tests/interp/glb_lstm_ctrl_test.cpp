// The LSTM controller through the network-run API: one-layer networks written
// by the test-side writer on deferred cards with the race checker (and the
// ARM image), against the plain LSTM reference; bad records answer 1009 and
// leave the card serving.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "layers/seq/lstm.h"
#include "net_writer_detect.h"
#include "net_writer_select.h"
#include "ref/lstm_ref.h"

namespace zv::test {
namespace {

using namespace net;

constexpr uint32_t kFp32 = 0, kFix8 = 2;

// Coefficient offsets (1 MB apart) of the continuation, static input, states
// and weights.
enum Coeff { kCont, kStatic, kH0, kC0, kWxc, kBias, kWhc, kWs, kHT, kCT };
constexpr uint64_t coeff_off(Coeff c) { return 0x100000ull * uint64_t(c); }

std::vector<float> pattern(size_t n, float scale, unsigned salt) {
  std::vector<float> v(n);
  uint32_t z = 2463534242u ^ (salt * 2654435761u);
  for (float &f : v) {
    z ^= z << 13, z ^= z >> 17, z ^= z << 5;
    f = scale * (float(z % 20001) / 10000.0f - 1.0f);
  }
  return v;
}

struct LstmCase {
  const char *what;
  int N, T, I, H;
  bool cont_tensor, has_static, has_state;
};

// References in stream order: x, continuation, [static], [h0, c0], W_xc,
// bias, W_hc, [W_static], output, [hT, cT].
NetRun lstm_net(const LstmCase &c, uint32_t x_dtype = kFp32, uint32_t static_flag = 2, uint32_t state_flag = 2) {
  LstmRecord r;
  r.N = uint32_t(c.N), r.T = uint32_t(c.T), r.I = uint32_t(c.I), r.H = uint32_t(c.H);
  r.cont_is_tensor = c.cont_tensor;
  r.static_flag = static_flag != 2 ? static_flag : c.has_static;
  r.state_flag = state_flag != 2 ? state_flag : c.has_state;
  r.buffer_offset = 0x4000000;
  Words refs = net_io_ref(1);
  refs.append(c.cont_tensor ? net_io_ref(2) : coeff_ref(coeff_off(kCont)));
  if (r.static_flag) refs.append(coeff_ref(coeff_off(kStatic)));
  if (r.state_flag) refs.append(coeff_ref(coeff_off(kH0))).append(coeff_ref(coeff_off(kC0)));
  refs.append(coeff_ref(coeff_off(kWxc))).append(coeff_ref(coeff_off(kBias))).append(coeff_ref(coeff_off(kWhc)));
  if (r.state_flag) refs.append(coeff_ref(coeff_off(kWs)));
  refs.append(net_io_ref(10));
  if (r.state_flag) refs.append(coeff_ref(coeff_off(kHT))).append(coeff_ref(coeff_off(kCT)));
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> inputs = {
      {x_dtype, {uint32_t(c.T), uint32_t(c.N), uint32_t(c.I)}}};
  if (c.cont_tensor) inputs.push_back({kFp32, {uint32_t(c.T), uint32_t(c.N)}});
  return one_layer(inputs, 1, glb_layer(DYNAMIC_LAYER_LSTM, kFp32, lstm_record(r), refs));
}

void run_lstm(host::Card &card, const LstmCase &c) {
  SCOPED_TRACE(c.what);
  const size_t N = size_t(c.N), T = size_t(c.T), I = size_t(c.I), H = size_t(c.H);
  const size_t cols = size_t(4 * ref::lstm_he(c.H));
  const std::vector<float> x = pattern(T * N * I, 1.0f, 1), s = pattern(N * I, 1.0f, 2), h0 = pattern(N * H, 0.8f, 3),
                           c0 = pattern(N * H, 1.5f, 4), w_xc = pattern(I * cols, 1.5f / std::sqrt(float(I)), 5),
                           bias = pattern(cols, 0.5f, 6), w_s = pattern(I * cols, 1.0f / std::sqrt(float(I)), 7),
                           w_hc = pattern(H * cols, 2.0f / std::sqrt(float(H)), 8);
  std::vector<float> cont(T * N);
  for (size_t e = 0; e < cont.size(); e++) cont[e] = e < N ? 0.0f : e % 5 == 2 ? 0.0f : e % 5 == 4 ? 0.5f : 1.0f;
  put(card, kNetIn[0], x);
  put(card, c.cont_tensor ? kNetIn[1] : kRunCoeff + coeff_off(kCont), cont);
  const std::pair<Coeff, const std::vector<float> *> coeffs[] = {{kStatic, &s}, {kH0, &h0},     {kC0, &c0},
                                                                 {kWxc, &w_xc},   {kBias, &bias}, {kWhc, &w_hc},
                                                                 {kWs, &w_s}};
  for (const auto &[k, v] : coeffs) put(card, kRunCoeff + coeff_off(k), *v);
  run_ok(card, lstm_net(c));
  ASSERT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{uint32_t(T), uint32_t(N), uint32_t(H)}));
  const ref::LstmRef want = ref::lstm_forward(x, cont, s, h0, c0, w_xc, bias, w_s, w_hc, c.N, c.T, c.I, c.H,
                                              c.has_static, c.has_state);
  const std::vector<float> out = get<float>(card, kNetOut[0], T * N * H);
  for (size_t e = 0; e < out.size(); e++) ASSERT_NEAR(out[e], want.output[e], 1e-4) << "output " << e;
  if (c.has_state) {
    const std::vector<float> hT = get<float>(card, kRunCoeff + coeff_off(kHT), N * H),
                             cT = get<float>(card, kRunCoeff + coeff_off(kCT), N * H);
    for (size_t e = 0; e < hT.size(); e++) {
      ASSERT_NEAR(hT[e], want.hT[e], 1e-4) << "hT " << e;
      ASSERT_NEAR(cT[e], want.cT[e], 1e-4 * (1 + std::fabs(want.cT[e]))) << "cT " << e;
    }
  }
}

TEST(GlbLstmCtrl, SequencesAgainstTheReference) {
  // The static input's weights fill local memory: the layer projects the
  // inputs of all steps and the static input beforehand into the scratch
  // area, which must hold both projections apart.
  int R = 0;
  ASSERT_EQ(lstm_data_split_select(2, 2048, 8, 1, &R), LSTM_SPLIT_ITER_LOCAL_WEIGHT);
  const LstmCase cases[] = {
      {"no state, no static input, a coefficient continuation: five references", 3, 4, 20, 10, false, false, false},
      {"state and a tensor continuation: hT and cT written", 5, 3, 40, 13, true, false, true},
      {"static input and state, both input projections in the scratch", 2, 3, 2048, 8, false, true, true},
  };
  for_each_api_card([&](host::Card &card) {
    for (const LstmCase &c : cases) run_lstm(card, c);
  });
}

TEST(GlbLstmCtrl, BadRecordsAnswer1009AndTheCardServesOn) {
  auto card = deferred_card(Backend::Native, 1);
  const LstmCase c = {"good", 2, 2, 8, 8, false, false, false};
  put(*card, kNetIn[0], pattern(2 * 2 * 8, 1.0f, 1));
  const NetRun good = lstm_net(c);
  run_fails(*card, lstm_net(c, kFix8), "in_x.dtype == DSIZE_FP32", good);
  // Without the states the stream carries no static weights: the layer would
  // read them at address 0.
  run_fails(*card, lstm_net(c, kFp32, 1, 0), "!static_flag || state_flag", good);
}

}  // namespace
}  // namespace zv::test
