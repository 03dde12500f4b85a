// Row copies, crops and the embedding copy as firmware code on the chip model,
// against plain references.
#include <string>
#include <vector>

#include "cmd/gdma.h"
#include "cmd/tensor_shape.h"
#include "layers/data/copy.h"
#include "layers/data/data_rig.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"

namespace zv::test {
namespace {

std::string plan_text(int count) {
  row_copy_plan_t p;
  row_copy_plan_of(count, &p);
  std::string s;
  for (int i = 0; i < p.moves; i++)
    s += "{" + std::to_string(p.h[i]) + "x" + std::to_string(p.w[i]) + "@" + std::to_string(p.first[i]) + "}";
  return s;
}

TEST(RowCopyPlan, RowsLongerThanADimensionMoveIn32768Pieces) {
  EXPECT_EQ(plan_text(1), "{1x1@0}");
  EXPECT_EQ(plan_text(65535), "{1x65535@0}");
  EXPECT_EQ(plan_text(65536), "{2x32768@0}");
  EXPECT_EQ(plan_text(70000), "{2x32768@0}{1x4464@65536}");
  EXPECT_EQ(plan_text(200001), "{6x32768@0}{1x3393@196608}");
}

TEST(RowCopy, CopiesRowsBetweenStrides) {
  struct Case {
    const char *what;
    bool fix8b;
    int rows, src_stride, dst_stride, count;
    size_t commands;
  };
  const Case cases[] = {
      {"dense rows", false, 3, 5, 5, 5, 1},
      {"gaps on both sides", false, 4, 9, 7, 6, 1},
      {"a row of 70000: 2 x 32768 and 4464", false, 2, 70000, 70003, 70000, 2},
      {"200000 rows: four pieces", true, 200000, 1, 2, 1, 4},
      {"one row read again and again", false, 5, 0, 3, 3, 1},
      {"bytes, a row longer than a dimension", true, 3, 65600, 65601, 65600, 2},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const size_t size = k.fix8b ? 1 : 4;
    const size_t src_bytes = (size_t(k.rows - 1) * k.src_stride + k.count) * size;
    const size_t dst_bytes = (size_t(k.rows - 1) * k.dst_stride + k.count) * size;
    const std::vector<u8> src = pattern_bytes(src_bytes, 1), before = pattern_bytes(dst_bytes, 2);
    std::vector<u8> want = before;
    ref::copy_rows(src, want, k.rows, k.src_stride, k.dst_stride, k.count, size);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, src), put<u8>(rig, kDataOut, before); },
                 [&](cmd_id_node_t *node) {
                   if (k.fix8b)
                     nodechip_global_fix8b_memcpy(kDataIn, kDataOut, k.rows, k.src_stride, k.dst_stride, k.count, node);
                   else
                     nodechip_global_memcpy(kDataIn, kDataOut, k.rows, k.src_stride, k.dst_stride, k.count, node);
                 },
                 [&](FirmwareRig &rig) {
                   EXPECT_EQ(rig.chip().engines.gdma.commands().size(), k.commands);
                   EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want);
                 });
  }
}

TEST(RowCopy, NothingToCopyIssuesNothingOrFails) {
  for (int rows : {0, 3}) {
    LayerRunner rig;
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      nodechip_global_memcpy_ex(kDataIn, kDataOut, rows, 4, 4, 0, 0, rows == 0 ? 4 : 0, node);
    }));
    EXPECT_TRUE(rig.chip().engines.gdma.commands().empty());
  }
  struct Bad {
    const char *function, *condition;
    std::function<void(cmd_id_node_t *)> call;
  };
  const Bad cases[] = {
      {"nodechip_global_fix8b_memcpy", "input_n > 0",
       [](cmd_id_node_t *n) { nodechip_global_fix8b_memcpy(kDataIn, kDataOut, 0, 1, 1, 1, n); }},
      {"nodechip_global_fix8b_memcpy", "count > 0",
       [](cmd_id_node_t *n) { nodechip_global_fix8b_memcpy(kDataIn, kDataOut, 1, 1, 1, 0, n); }},
      {"nodechip_global_fix8b_memcpy", "src_nstride >= 0 && dst_nstride >= 0",
       [](cmd_id_node_t *n) { nodechip_global_fix8b_memcpy(kDataIn, kDataOut, 1, -1, 1, 1, n); }},
      {"nodechip_global_memcpy", "src_nstride >= 0 && dst_nstride >= 0",
       [](cmd_id_node_t *n) { nodechip_global_memcpy(kDataIn, kDataOut, 1, 1, -4, 1, n); }},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.condition);
    expect_assert(b.call, "ASSERT_FS", "firmware/layers/", b.function, b.condition, "none.");
  }
}

TEST(Crop, TakesAWindow) {
  struct Case {
    const char *what;
    ref::Shape in, offset, out;
  };
  const Case cases[] = {
      {"inner window", {2, 3, 5, 6}, {1, 1, 2, 3}, {1, 2, 3, 2}},
      {"whole tensor", {2, 2, 2, 2}, {0, 0, 0, 0}, {2, 2, 2, 2}},
      {"a w extent above 65535", {1, 1, 2, 70010}, {0, 0, 1, 7}, {1, 1, 1, 70001}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    const std::vector<u8> in = pattern_bytes(ref::count_of(k.in) * 4, 3);
    const std::vector<u8> want = ref::crop(in, k.in, k.offset, k.out, 4);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) {
                   nodechip_crop(kDataIn, kDataOut, k.offset.data(), k.out.data(), k.in.data(), node);
                 },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  }
}

TEST(Crop, EightBitCropIn1NAnd4N) {
  const ref::Shape in_shape = {9, 3, 4, 5}, out_shape = {5, 2, 2, 3};
  const ref::Shape offset = {4, 1, 1, 2};
  const size_t item = 3 * 4 * 5, out_item = 2 * 2 * 3;
  const std::vector<u8> plain = pattern_bytes(9 * item, 4);
  const std::vector<u8> want = ref::crop(plain, in_shape, offset, out_shape, 1);
  // 1N.
  on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, plain); },
               [&](cmd_id_node_t *node) {
                 nodechip_crop_forward_fix8b(kDataIn, kDataOut, offset.data(), out_shape.data(), in_shape.data(),
                                             FW_STORE_MODE_1N, node);
               },
               [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, want.size()) == want); });
  // 4N, both entry points: whole groups of four items.
  for (int forward = 0; forward < 2; forward++) {
    const std::vector<u8> four = ref::to_4n(plain, 9, item);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, four); },
                 [&](cmd_id_node_t *node) {
                   if (forward)
                     nodechip_crop_forward_fix8b(kDataIn, kDataOut, offset.data(), out_shape.data(), in_shape.data(),
                                                 FW_STORE_MODE_4N, node);
                   else
                     nodechip_crop_fix8b(kDataIn, kDataOut, offset.data(), out_shape.data(), in_shape.data(), node);
                 },
                 [&](FirmwareRig &rig) {
                   EXPECT_TRUE(ref::from_4n(get<u8>(rig, kDataOut, 8 * out_item), 5, out_item) == want);
                 });
  }
  const ref::Shape odd = {2, 0, 0, 0};
  for (int forward = 0; forward < 2; forward++)
    expect_assert(
        [&](cmd_id_node_t *n) {
          if (forward)
            nodechip_crop_forward_fix8b(kDataIn, kDataOut, odd.data(), out_shape.data(), in_shape.data(),
                                        FW_STORE_MODE_4N, n);
          else
            nodechip_crop_fix8b(kDataIn, kDataOut, odd.data(), out_shape.data(), in_shape.data(), n);
        },
        "ASSERT", "firmware/layers/", forward ? "nodechip_crop_forward_fix8b" : "nodechip_crop_fix8b",
        "n_offset % 4 == 0");
}

TEST(Embedding, CopiesCountWords) {
  for (int count : {1, 7, 70000}) {
    const std::vector<u8> in = pattern_bytes(size_t(count) * 4, 5);
    on_each_seed([&](FirmwareRig &rig) { put<u8>(rig, kDataIn, in); },
                 [&](cmd_id_node_t *node) { nodechip_embedding(kDataIn, kDataOut, count, 12345, node); },
                 [&](FirmwareRig &rig) { EXPECT_TRUE(get<u8>(rig, kDataOut, in.size()) == in); });
  }
}

}  // namespace
}  // namespace zv::test
