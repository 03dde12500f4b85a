// The ROI pooling and position-sensitive ROI pooling controllers through the
// network-run API: one-layer networks written by the test-side writer on
// deferred cards with the race checker (and the ARM image), float and 8-bit
// against the plain references of their layers; bad records answer 1009 and
// leave the card serving.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_checks.h"
#include "cmd/bd_pool.h"
#include "fw_test.h"
#include "interp/fullnet.h"
#include "net_writer_detect.h"
#include "net_writer_select.h"
#include "ref/detect_ref.h"
#include "ref/psroi_fix8b_ref.h"

namespace zv::test {
namespace {

using namespace net;

constexpr uint32_t kFp32 = 0, kFix16 = 1, kFix8 = 2;

// Two ROIs in image 0, one partly outside the map, one scaled by half.
const std::vector<float> kRois = {0, 1, 2, 9, 8, 0, 5, 4, 14, 12, 0, -2, -1, 6, 5};

NetRun roi_net(uint32_t type, uint32_t data_size, const Record &r, std::vector<uint32_t> map_shape,
               uint32_t map_dtype, uint32_t num_rois) {
  return one_layer({{map_dtype, map_shape}, {kFp32, {num_rois, 5}}}, 1,
                   glb_layer(type, data_size, r,
                             Words().append(net_io_ref(1)).append(net_io_ref(2)).append(net_io_ref(10))));
}

// An 8-bit map in 4N storage: byte 0 of each word is the map's, bytes 1 to 3
// belong to other images.
std::vector<uint8_t> words_4n(const std::vector<int> &bytes) {
  std::vector<uint8_t> w;
  for (size_t i = 0; i < bytes.size(); i++) w.insert(w.end(), {uint8_t(bytes[i]), uint8_t(i * 7), uint8_t(i * 11), 3});
  return w;
}

// Byte 0 of ROI r's block element e lies in byte r % 4 of group r / 4's words.
void expect_4n_rois(const std::vector<uint8_t> &got, const std::vector<int> &want, size_t rois, size_t block) {
  size_t bad = 0;
  for (size_t r = 0; r < rois; r++)
    for (size_t e = 0; e < block; e++) {
      const uint8_t g = got[(r / 4) * 4 * block + 4 * e + r % 4];
      if (g != uint8_t(want[r * block + e]) && bad++ < 5)
        ADD_FAILURE() << "roi " << r << " element " << e << ": " << int(g) << " want " << want[r * block + e];
    }
  EXPECT_EQ(bad, 0u);
}

TEST(GlbRoiCtrl, RoiPoolingFloatAndEightBitAgainstTheReference) {
  const int C = 3, H = 10, W = 12, ph = 2, pw = 3;
  const uint32_t R = uint32_t(kRois.size() / 5);
  std::vector<float> map(size_t(C * H * W));
  for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 37) % 101) - 70) * 0.5f;
  std::vector<int> bytes(map.size());
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = int((i * 37) % 255) - 127;
  std::vector<float> byte_map(bytes.begin(), bytes.end());
  const size_t block = size_t(C * ph * pw);
  for_each_api_card([&](host::Card &card) {
    put(card, kNetIn[1], kRois);
    {
      SCOPED_TRACE("float, spatial scale 0.5");
      put(card, kNetIn[0], map);
      run_ok(card, roi_net(DYNAMIC_LAYER_ROIPOOLING, kFp32, roi_pooling_record(ph, pw, 0.5f), {1, C, H, W}, kFp32, R));
      const std::vector<float> want = ref::roi_pool(map, C, H, W, kRois, ph, pw, 0.5f);
      EXPECT_EQ(get<float>(card, kNetOut[0], want.size()), want);
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{R, C, ph, pw}));
    }
    {
      SCOPED_TRACE("signed 8-bit, 4N");
      put(card, kNetIn[0], words_4n(bytes));
      run_ok(card,
             roi_net(DYNAMIC_LAYER_ROIPOOLING, kFix8, roi_pooling_record(ph, pw, 1.0f, 1), {1, C, H, W}, kFix8, R));
      const std::vector<float> want = ref::roi_pool(byte_map, C, H, W, kRois, ph, pw, 1.0f);
      expect_4n_rois(get<uint8_t>(card, kNetOut[0], 4 * block), std::vector<int>(want.begin(), want.end()), R, block);
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{R, C, ph, pw}));
    }
  });
}

TEST(GlbRoiCtrl, PsRoiPoolingFloatAndEightBitAgainstTheReference) {
  const int od = 2, group = 3, C = od * group * group, H = 9, W = 11;
  const uint32_t R = uint32_t(kRois.size() / 5);
  std::vector<float> map(size_t(C * H * W));
  for (size_t i = 0; i < map.size(); i++) map[i] = float(int((i * 29) % 97) - 40) * 0.25f;
  std::vector<int> bytes(map.size());
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = int((i * 29) % 256);
  const size_t block = size_t(od * group * group);
  for_each_api_card([&](host::Card &card) {
    put(card, kNetIn[1], kRois);
    {
      SCOPED_TRACE("float, spatial scale 0.5");
      put(card, kNetIn[0], map);
      run_ok(card,
             roi_net(DYNAMIC_LAYER_PSROIPOOLING, kFp32, psroi_pooling_record(od, group, 0.5f), {1, C, H, W}, kFp32, R));
      const std::vector<float> want = ref::psroi_pool(map, H, W, kRois, od, group, 0.5f);
      const std::vector<float> got = get<float>(card, kNetOut[0], want.size());
      for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-5f) << i;
      EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{R, od, group, group}));
    }
    {
      SCOPED_TRACE("unsigned 8-bit, 4N: the sign option reaches input and output");
      put(card, kNetIn[0], words_4n(bytes));
      run_ok(card, roi_net(DYNAMIC_LAYER_PSROIPOOLING, kFix8, psroi_pooling_record(od, group, 1.0f, 0), {1, C, H, W},
                           kFix8, R));
      const std::vector<int> want =
          ref::psroi_pool_fix8b(bytes, H, W, kRois, od, group, 1.0f, false, false, dev_table_i, dev_table_e);
      expect_4n_rois(get<uint8_t>(card, kNetOut[0], 4 * block), want, R, block);
    }
  });
}

TEST(GlbRoiCtrl, EmptyInputsRegisterTheirShapeAndBadRecordsAnswer1009) {
  auto card = deferred_card(Backend::Native, 2);
  const std::vector<float> canary(64, -3.0f);
  put(*card, kNetIn[0], std::vector<float>(4 * 6 * 6, 1.0f));
  put(*card, kNetIn[1], kRois);
  struct Empty {
    const char *what;
    uint32_t type;
    Record r;
    std::vector<uint32_t> map;
    uint32_t rois;
    std::vector<uint32_t> shape;
  };
  const Empty empties[] = {
      {"no ROIs", DYNAMIC_LAYER_ROIPOOLING, roi_pooling_record(2, 2, 1.0f), {1, 4, 6, 6}, 0, {0, 4, 2, 2}},
      {"an empty map", DYNAMIC_LAYER_PSROIPOOLING, psroi_pooling_record(1, 2, 1.0f), {1, 4, 0, 6}, 3, {3, 1, 2, 2}},
  };
  for (const Empty &e : empties) {
    SCOPED_TRACE(e.what);
    put(*card, kNetOut[0], canary);
    run_ok(*card, roi_net(e.type, kFp32, e.r, e.map, kFp32, e.rois));
    EXPECT_EQ(out_shape(*card, 0).shape, e.shape);
    EXPECT_EQ(get<float>(*card, kNetOut[0], canary.size()), canary) << "no command may write the output";
  }
  const NetRun good = roi_net(DYNAMIC_LAYER_ROIPOOLING, kFp32, roi_pooling_record(2, 2, 1.0f), {1, 4, 6, 6}, kFp32, 3);
  struct Bad {
    const char *what;
    NetRun net;
    const char *cond;
  };
  const Bad bads[] = {
      {"ROI pooling of a 3-dim map", roi_net(DYNAMIC_LAYER_ROIPOOLING, kFp32, roi_pooling_record(2, 2, 1.0f),
                                              {4, 6, 6}, kFp32, 3), "bottom.dims == 4"},
      {"PS-ROI pooling of a 5-dim map", roi_net(DYNAMIC_LAYER_PSROIPOOLING, kFp32, psroi_pooling_record(1, 2, 1.0f),
                                                 {1, 1, 4, 6, 6}, kFp32, 3), "bottom.dims == 4"},
      {"16-bit ROI pooling", roi_net(DYNAMIC_LAYER_ROIPOOLING, kFix16, roi_pooling_record(2, 2, 1.0f), {1, 4, 6, 6},
                                     kFix16, 3), "dynamic_glb_roipooling_layer_ctrl: "},
      {"16-bit PS-ROI pooling", roi_net(DYNAMIC_LAYER_PSROIPOOLING, kFix16, psroi_pooling_record(1, 2, 1.0f),
                                        {1, 4, 6, 6}, kFix16, 3), "dynamic_glb_psroipooling_layer_ctrl: "},
  };
  for (const Bad &b : bads) {
    SCOPED_TRACE(b.what);
    run_fails(*card, b.net, b.cond, good);
  }
}

}  // namespace
}  // namespace zv::test
