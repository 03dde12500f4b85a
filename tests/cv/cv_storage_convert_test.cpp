// The storage conversion through its entry: RGB layout changes, data-type
// changes and RGB to YUV against the plain references of tests/ref (odd
// sizes, row pieces, every layout), YUV to RGB through the same entry, under
// every schedule with the checker on, and its assertions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "cv/cv_storage_convert.h"
#include "fw_test.h"
#include "ref/cv_color_ref.h"

namespace zv::test {
namespace {

constexpr u64 kIn = kUserDdr + 0x10000, kOut = kUserDdr + 0x800000, kU = kUserDdr + 0x1000000,
              kV = kUserDdr + 0x1400000;
constexpr u64 kRoom = 0x100000;  // bytes between the images of one table

std::vector<u8> bytes_of(size_t n, unsigned seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; i++) v[i] = u8(i * 17 + seed * 13 + (i >> 4));
  return v;
}

struct Images {
  u64 input[4], output[4], U[4], V[4];
};

Images tables() {
  Images t;
  for (u64 i = 0; i < 4; i++) t.input[i] = kIn + i * kRoom, t.output[i] = kOut + i * kRoom, t.U[i] = kU + i * kRoom,
                                t.V[i] = kV + i * kRoom;
  return t;
}

// Runs the entry on every schedule: `fill` writes the sources, `check` reads
// the results back.
void run_all(const std::string &what, const std::function<void(chip::Memory &)> &fill,
             const std::function<void(cmd_id_node_t *)> &call, const std::function<void(chip::Memory &)> &check) {
  for (const Sched &sched : all_schedules()) {
    SCOPED_TRACE(what + ", " + sched_text(sched));
    LayerRunner rig(sched);
    fill(rig.chip().device_memory());
    ASSERT_TRUE(rig.call(call));
    check(rig.chip().device_memory());
  }
}

std::vector<u8> load(chip::Memory &m, u64 at, size_t n) {
  std::vector<u8> v(n);
  m.load(at, v.data(), n);
  return v;
}

TEST(CvStorageConvert, RgbLayoutsEqualTheReference) {
  struct Case {
    const char *what;
    u32 in_format, out_format, src_type, count, h, w;
  };
  const Case cases[] = {
      {"planar RGB to packed BGR bytes: B, G, R per pixel", CV_RGB_PLANAR, CV_BGR_PACKED, 1, 2, 3, 5},
      {"packed RGB to planar BGR floats, 70 rows in two pieces", CV_RGB_PACKED, CV_BGR_PLANAR, 0, 1, 70, 3},
      {"planar BGR to planar RGB bytes (code 3)", CV_BGR_PLANAR, CV_RGB_PLANAR, 3, 1, 5, 7},
      {"packed to planar, same order, bytes", CV_RGB_PACKED, CV_RGB_PLANAR, 1, 1, 4, 9},
      {"packed BGR to packed RGB: a 4N group moves as words", CV_BGR_PACKED, CV_RGB_PACKED, 2, 3, 2, 6},
      {"the same layout copies", CV_BGR_PLANAR, CV_BGR_PLANAR, 1, 1, 3, 4},
  };
  const Images t = tables();
  for (const Case &k : cases) {
    const u32 e = cv_storage_elem_bytes(k.src_type), images = k.src_type == 2 ? 1 : k.count;
    const size_t bytes = 3ull * k.h * k.w * e;
    std::vector<std::vector<u8>> src(images), want(images);
    for (u32 i = 0; i < images; i++) {
      src[i] = bytes_of(bytes, i + k.w);
      want[i] = ref::rgb_relayout(src[i], k.in_format, k.out_format, k.h, k.w, e);
    }
    const std::vector<u8> old = bytes_of(bytes + 8, 77);
    run_all(
        k.what,
        [&](chip::Memory &m) {
          for (u32 i = 0; i < 4; i++) {
            if (i < images) m.store(t.input[i], src[i].data(), bytes);
            m.store(t.output[i], old.data(), old.size());
          }
        },
        [&](cmd_id_node_t *node) {
          nodechip_cv_zvcv_image_storage_convert(t.input, t.output, t.U, t.V, k.count, k.h, k.w, k.in_format,
                                                 k.out_format, k.src_type, k.src_type, 0, 0, node);
        },
        [&](chip::Memory &m) {
          for (u32 i = 0; i < 4; i++) {
            std::vector<u8> expect = old;
            if (i < images) std::memcpy(expect.data(), want[i].data(), bytes);
            EXPECT_TRUE(load(m, t.output[i], old.size()) == expect) << "image " << i;
          }
        });
  }
}

// The engine's float-to-byte conversion: half away from zero, saturated.
u8 to_byte(float f) {
  const float r = std::round(f);
  return r <= 0 ? 0 : r >= 255 ? 255 : u8(r);
}

TEST(CvStorageConvert, DataTypesEqualTheReference) {
  struct Case {
    const char *what;
    u32 src_type, dst_type, count, h, w;
  };
  const Case cases[] = {
      {"1N to 4N, two images: bytes 0 and 1 of each word, 2 and 3 kept", 1, 2, 2, 3, 5},
      {"4N to 1N (codes 4, 3), three images, rows in two pieces", 4, 3, 3, 80, 300},
      {"1N to float", 1, 0, 2, 3, 7},
      {"float to 1N rounds and saturates", 0, 1, 1, 4, 5},
      {"float to 4N issues nothing", 0, 2, 1, 2, 2},
      {"same type issues nothing", 1, 1, 1, 2, 2},
  };
  const Images t = tables();
  for (const Case &k : cases) {
    const size_t hw3 = 3ull * k.h * k.w;
    std::vector<std::vector<u8>> src(4);
    for (u32 i = 0; i < 4; i++) {
      src[i] = bytes_of(hw3 * 4, i + 3);
      if (k.src_type == 0)
        for (size_t p = 0; p < hw3; p++) {
          const float f = float(int(p * 7 % 300) - 20) + (p % 2 ? 0.5f : 0.25f);
          std::memcpy(&src[i][4 * p], &f, 4);
        }
    }
    const std::vector<u8> old = bytes_of(hw3 * 4 + 8, 91);
    std::vector<std::vector<u8>> want(4, old);
    const u32 s = k.src_type == 3 ? 1 : k.src_type == 4 ? 2 : k.src_type;
    const u32 d = k.dst_type == 3 ? 1 : k.dst_type == 4 ? 2 : k.dst_type;
    for (u32 i = 0; i < k.count; i++)
      for (size_t p = 0; p < hw3; p++) {
        if (s == 1 && d == 2) want[0][4 * p + i] = src[i][p];
        if (s == 2 && d == 1) want[i][p] = src[0][4 * p + i];
        if (s == 1 && d == 0) {
          const float f = float(src[i][p]);
          std::memcpy(&want[i][4 * p], &f, 4);
        }
        if (s == 0 && d == 1) {
          float f;
          std::memcpy(&f, &src[i][4 * p], 4);
          want[i][p] = to_byte(f);
        }
      }
    run_all(
        k.what,
        [&](chip::Memory &m) {
          for (u32 i = 0; i < 4; i++) {
            m.store(t.input[i], src[i].data(), src[i].size());
            m.store(t.output[i], old.data(), old.size());
          }
        },
        [&](cmd_id_node_t *node) {
          nodechip_cv_zvcv_image_storage_convert(t.input, t.output, t.U, t.V, k.count, k.h, k.w, 8, 8, k.src_type,
                                                 k.dst_type, 1, 0, node);
        },
        [&](chip::Memory &m) {
          for (u32 i = 0; i < 4; i++) EXPECT_TRUE(load(m, t.output[i], old.size()) == want[i]) << "image " << i;
        });
  }
}

TEST(CvStorageConvert, RgbToYuvEqualsTheReference) {
  struct Case {
    const char *what;
    u32 format, count, h, w, colour_code;
  };
  const Case cases[] = {
      {"4:2:0 planar, chroma rows of 3", CV_YUV420_PLANAR, 2, 4, 6, 2},
      {"4:2:2 planar, BT.601 full range", CV_YUV422_PLANAR, 1, 6, 10, 2},
      {"4:4:4 planar, BT.709 limited range", CV_YUV444_PLANAR, 1, 2, 8, 7},
      {"NV12, 130 rows in pieces of 128 and 2", CV_NV12, 1, 130, 4, 3},
      {"NV21 puts V first", CV_NV21, 1, 4, 6, 1},
      {"NV16, code 0 reads as BT.601 limited", CV_NV16, 2, 2, 6, 0},
      {"NV61", CV_NV61, 1, 4, 4, 6},
      {"layout 7 reads as 4:2:0 planar", 7, 1, 2, 4, 4},
  };
  const Images t = tables();
  for (const Case &k : cases) {
    const size_t hw = size_t(k.h) * k.w;
    std::vector<std::vector<u8>> src(k.count);
    std::vector<ref::YuvImage> want(k.count);
    for (u32 i = 0; i < k.count; i++) {
      src[i] = bytes_of(3 * hw, i * 5 + k.w);
      want[i] = ref::rgb_to_yuv(src[i], k.format, k.h, k.w, k.colour_code);
    }
    const std::vector<u8> old = bytes_of(hw + 8, 55);
    run_all(
        k.what,
        [&](chip::Memory &m) {
          for (u32 i = 0; i < k.count; i++) {
            m.store(t.input[i], src[i].data(), src[i].size());
            for (u64 at : {t.output[i], t.U[i], t.V[i]}) m.store(at, old.data(), old.size());
          }
        },
        [&](cmd_id_node_t *node) {
          nodechip_cv_zvcv_image_storage_convert(t.input, t.output, t.U, t.V, k.count, k.h, k.w, 8, k.format, 1, 1, 2,
                                                 k.colour_code, node);
        },
        [&](chip::Memory &m) {
          for (u32 i = 0; i < k.count; i++) {
            const std::pair<u64, const std::vector<u8> *> planes[3] = {
                {t.output[i], &want[i].y}, {t.U[i], &want[i].u}, {t.V[i], &want[i].v}};
            for (int p = 0; p < 3; p++) {
              std::vector<u8> expect = old;
              if (!planes[p].second->empty())
                std::memcpy(expect.data(), planes[p].second->data(), planes[p].second->size());
              const std::vector<u8> got = load(m, planes[p].first, old.size());
              size_t bad = 0;
              for (size_t b = 0; b < got.size(); b++)
                if (got[b] != expect[b] && bad++ < 4)
                  ADD_FAILURE() << "image " << i << " plane " << p << " byte " << b << ": " << int(got[b]) << " want "
                                << int(expect[b]);
              EXPECT_EQ(bad, 0u);
            }
          }
        });
  }
}

TEST(CvStorageConvert, YuvToRgbThroughTheEntry) {
  const Images t = tables();
  const u32 h = 4, w = 8;
  std::vector<ref::YuvImage> images(2);
  for (u32 i = 0; i < 2; i++) {
    images[i].y = bytes_of(h * w, i);
    images[i].u = bytes_of(ref::yuv_chroma_bytes(CV_NV21, h, w), i + 7);
  }
  std::vector<std::vector<u8>> want;
  ref::yuv2rgb(images, CV_NV21, h, w, 1, 8, 2, want);
  const std::vector<u8> old = bytes_of(3 * h * w + 8, 5);
  run_all(
      "NV21 to 1N bytes, R first, BT.601 full range",
      [&](chip::Memory &m) {
        for (u32 i = 0; i < 2; i++) {
          m.store(t.input[i], images[i].y.data(), images[i].y.size());
          m.store(t.U[i], images[i].u.data(), images[i].u.size());
          m.store(t.output[i], old.data(), old.size());
        }
      },
      [&](cmd_id_node_t *node) {
        nodechip_cv_zvcv_image_storage_convert(t.input, t.output, t.U, t.V, 2, h, w, CV_NV21, 8, 1, 1, 3, 2, node);
      },
      [&](chip::Memory &m) {
        for (u32 i = 0; i < 2; i++) {
          std::vector<u8> expect = old;
          std::memcpy(expect.data(), want[i].data(), want[i].size());
          EXPECT_TRUE(load(m, t.output[i], old.size()) == expect) << "image " << i;
        }
      });
}

TEST(CvStorageConvert, RefusesWhatItCannotHold) {
  struct Case {
    const char *what;
    u32 count, h, w, src_type, dst_type;
    u8 op;
    const char *function, *condition, *info;
  };
  const Case cases[] = {
      {"five images: the tables hold four", 5, 2, 2, 1, 2, 1, "nodechip_cv_zvcv_image_storage_convert",
       "count <= CV_STORAGE_MAX_IMAGES", "count=5"},
      {"4N to 1N with rows longer than one move", 1, 2, 70000, 2, 1, 1, "nodechip_cv_data_type_transform",
       "w <= 65535", "w=70000"},
      {"1N to float of images with no rows", 1, 0, 4, 1, 0, 1, "nodechip_cv_data_type_transform", "w > 0 && h > 0",
       "h=0, w=4"},
      {"RGB layout with rows beyond a lane", 1, 2, 11000, 1, 1, 0, "nodechip_cv_rgb_transform",
       "w > 0 && h > 0 && (u64)ALIGN(3ull * w, 32ull) * 4 <= CV_RGB_LOCAL_DST", "w=11000, h=2"},
      {"RGB to YUV with an odd height", 1, 5, 4, 1, 1, 2, "nodechip_cv_rgb_to_yuv",
       "h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0 && w <= CV_RGB2YUV_MAX_W", "h=5, w=4"},
      {"RGB to YUV wider than two rows of floats in a lane", 1, 2, 8194, 1, 1, 2, "nodechip_cv_rgb_to_yuv",
       "h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0 && w <= CV_RGB2YUV_MAX_W", "h=2, w=8194"},
  };
  const Images t = tables();
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    expect_assert(
        [&](cmd_id_node_t *node) {
          nodechip_cv_zvcv_image_storage_convert(t.input, t.output, t.U, t.V, k.count, k.h, k.w, 8, CV_RGB_PACKED,
                                                 k.src_type, k.dst_type, k.op, 0, node);
        },
        "ASSERT_FS", "firmware/cv/", k.function, k.condition, k.info);
  }
}

}  // namespace
}  // namespace zv::test
