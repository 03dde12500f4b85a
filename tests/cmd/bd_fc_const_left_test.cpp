// The fully connected command with a constant left operand on the chip model:
// every L element the constant, so Y row i column j = c * (sum over k of
// R(k, j)), plus the bias row and the old Y; with L stored transposed the row
// count comes from L's sections. Every schedule, checker on.
#include "cmd/bd_fc.h"
#include "cmd/conv_rig.h"

namespace zv::test::conv {
namespace {

// Matrix rows spread over sections of W elements from lane 0, 128-byte rows.
u64 mat_at(u32 addr, int sections, int W, int k, int j) {
  const u64 pitch = (u64(W) * 4 + 127) / 128 * 128, rows = (u64(sections) + 63) / 64;
  const int lane = j / W;
  return u64(addr) + u64(lane % 64) * 0x80000 + k * pitch * rows + u64(lane / 64) * pitch + u64(j % W) * 4;
}

TEST(FullyConnected, ConstantLeftOperand) {
  struct Case {
    const char *what;
    bool trans, bias, add;
    int M, N, K;
    float c;
  };
  const Case cases[] = {
      {"constant 2.5, bias", false, true, false, 3, 70, 9, 2.5f},
      {"transposed L, result add", true, false, true, 5, 6, 4, -0.5f},
  };
  for (const Case &k : cases)
    for (const Sched &s : all_schedules()) {
      SCOPED_TRACE(std::string(k.what) + ", " + sched_text(s));
      BdRig rig(s);
      Data d(53);
      const int r_sec_w = 2, sections = (k.N + r_sec_w - 1) / r_sec_w;
      // L: Y rows of K columns (or K rows of Y columns), one section of its width.
      const int l_w = k.trans ? k.M : k.K;
      const u32 R = lane(0, 0x10000), Y = lane(0, 0x30000), B = lane(0, 0x50000);
      std::vector<double> r(size_t(k.K) * k.N), b(k.N), y0(size_t(k.M) * k.N);
      for (int i = 0; i < k.K; i++)
        for (int j = 0; j < k.N; j++) rig.put(mat_at(R, sections, r_sec_w, i, j), fbits(r[i * k.N + j] = d.next(5)));
      for (int j = 0; j < k.N; j++) rig.put(mat_at(B, sections, r_sec_w, 0, j), fbits(b[j] = d.next(30)));
      for (int i = 0; i < k.M; i++)
        for (int j = 0; j < k.N; j++) rig.put(mat_at(Y, sections, r_sec_w, i, j), fbits(y0[i * k.N + j] = d.next(30)));
      u32 cbits;
      std::memcpy(&cbits, &k.c, 4);
      ASSERT_TRUE(rig.run([&](cmd_id_node_t *node) {
        atomic_fc_const_L_gen_cmd(k.bias, k.trans, k.add, R, Y, B, l_w, 1, r_sec_w, sections, k.M, k.K,
                                  cbits, node);
      }));
      for (int i = 0; i < k.M; i++)
        for (int j = 0; j < k.N; j++) {
          double want = 0;
          for (int q = 0; q < k.K; q++) want += double(k.c) * r[q * k.N + j];
          want += (k.bias ? b[j] : 0) + (k.add ? y0[i * k.N + j] : 0);
          ASSERT_EQ(fval(rig.get(mat_at(Y, sections, r_sec_w, i, j))), want) << i << ", " << j;
        }
    }
}

}  // namespace
}  // namespace zv::test::conv
