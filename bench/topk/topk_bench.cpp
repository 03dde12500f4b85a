// Top-k of a single row of 10^6 floats through nodechip_topk_v2 (the
// pre-selection road) on the chip model, natively: for each k the modelled
// time of the call, the commands each engine received and the register
// writes. The layer has no API of its own (the network interpreter calls it),
// so it runs as firmware code on the host build, not on the ARM image.
//
// usage: topk_bench [LEN]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "fw_test.h"
#include "layers/data/topk.h"

int main(int argc, char **argv) {
  using namespace zv::test;
  const int len = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const u64 in = 0x101000000ull, value = in + 0x10000000, index = in + 0x20000000, buffer = in + 0x30000000;
  std::mt19937 rng(2);
  std::vector<float> v(static_cast<size_t>(len));
  for (float &x : v) x = float(int(rng() % 2000001) - 1000000) * 0.25f;
  std::printf("| k | row | modelled us | TE cmds | GDMA cmds | CDMA cmds | GDE cmds | reg writes |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (int k : {10, 100, 1000}) {
    FirmwareRig rig(deferred(1));
    auto &chip = rig.chip();
    chip.ddr.store(in, reinterpret_cast<const u8 *>(v.data()), v.size() * 4);
    const u64 t0 = chip.engines.scheduler.now(), w0 = chip.register_writes();
    const int shape[1] = {len};
    const FwOutcome out = rig.run_layer(
        [&](cmd_id_node_t *node) { nodechip_topk_v2(in, value, index, buffer, k, 0, 1, shape, 1, node); });
    if (!ran_clean(out)) {
      std::fprintf(stderr, "k = %d failed:\n%s\n", k, out.uart.c_str());
      return 1;
    }
    const auto &e = chip.engines;
    std::printf("| %d | %d | %.1f | %zu | %zu | %zu | %zu | %llu |\n", k, len,
                double(e.scheduler.now() - t0) / 1e6, e.bd.commands().size(), e.gdma.commands().size(),
                e.cdma.commands().size(), e.gde.commands().size(),
                static_cast<unsigned long long>(chip.register_writes() - w0));
    std::fflush(stdout);
  }
  return 0;
}
