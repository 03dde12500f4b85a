// What an image's step of the SSD output writes of its kept results, by a
// table of labelled cases.
#include <gtest/gtest.h>

#include "layers/detect/ssd_detect_out.h"

namespace {

TEST(SsdRecords, CutOfAnImage) {
  struct Case {
    const char *what;
    int keep_top_k;
    i64 T;
    int cut;
    i64 records;
  };
  const Case cases[] = {
      {"keep_top_k 0: no records", 0, 50, SSD_RECORDS_NONE, 0},
      {"nothing kept", 10, 0, SSD_RECORDS_NONE, 0},
      {"nothing kept, no keep_top_k", -1, 0, SSD_RECORDS_NONE, 0},
      {"fewer than keep_top_k: all", 10, 7, SSD_RECORDS_ALL, 7},
      {"exactly keep_top_k: all, no sort", 10, 10, SSD_RECORDS_ALL, 10},
      {"more than keep_top_k: the best", 10, 11, SSD_RECORDS_TOP_K, 10},
      {"no keep_top_k, up to the cap: all", -1, SSD_MAX_UNCUT_RECORDS, SSD_RECORDS_ALL, SSD_MAX_UNCUT_RECORDS},
      {"no keep_top_k, past the cap: the first 200", -1, 701, SSD_RECORDS_CAP, SSD_MAX_UNCUT_RECORDS},
      {"keep_top_k above the cap: not capped", 500, 450, SSD_RECORDS_ALL, 450},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const ssd_records_t r = ssd_records_of(c.keep_top_k, c.T);
    EXPECT_EQ(r.cut, c.cut);
    EXPECT_EQ(r.records, c.records);
  }
}

}  // namespace
