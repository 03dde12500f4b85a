// What the chip holds in L2 SRAM when it starts: the byte-to-float table and
// the two coordinate planes the vision operators read.
#include <gtest/gtest.h>

#include <vector>

#include "chip/chip.h"
#include "chip/static_tables.h"
#include "fw_test.h"

namespace zv::test {
namespace {

TEST(StaticTables, ByteTableAndCoordinatePlanesAreLoadedAtStart) {
  FirmwareRig rig;
  chip::Memory &l2 = rig.chip().l2;
  std::vector<float> bytes(256);
  l2.load(0x10300f00, bytes.data(), 4 * bytes.size());
  for (int i = 0; i < 256; i++) EXPECT_EQ(bytes[i], float(i)) << i;
  std::vector<u8> columns(256 * 256), rows(256 * 256);
  l2.load(0x10303800, columns.data(), columns.size());
  l2.load(0x10313800, rows.data(), rows.size());
  for (int r = 0; r < 256; r++)
    for (int c = 0; c < 256; c++) {
      ASSERT_EQ(columns[r * 256 + c], c) << r << "," << c;
      ASSERT_EQ(rows[r * 256 + c], r) << r << "," << c;
    }
  // The planes end where the face-proposal lists may begin.
  u8 after = 0xee;
  l2.load(0x10323800, &after, 1);
  EXPECT_EQ(after, 0);
}

}  // namespace
}  // namespace zv::test
