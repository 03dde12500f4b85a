// CDMA's command kinds, by function byte.
//
// Sort (function 0x29): len float32 keys sorted descending (order bit 1) or
// ascending, optionally with a permutation of 32-bit indices; the first
// out_len results are written.
//   bits 1056/1088  key source, low word / high word
//   bits 1120/1152  key destination
//   bits 1184       key bytes (len * 4)
//   bits 976, 977, 978  order (1 descending), index enable, automatic indices
//   bits 1280/1312  index source (read when indices are enabled and not
//                   automatic; automatic indices number the keys 0 to len - 1)
//   bits 1344/1376  index destination
//   bits 1408       result bytes (out_len * 4)
// Address high words hold address bits 32-35 in bits 0-3; the fixed bits above
// them (0x3f0 from the firmware) are not interpreted. Choices of the model:
// keys that compare equal keep their input order (a stable sort); a NaN key
// compares above every number (first when descending, last when ascending);
// -0 and +0 are equal. All inputs are read before any result is written, so a
// sort in place is well defined. A byte count that is not a multiple of 4, or
// more results than keys, is reported.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "chip/engines/bus.h"
#include "chip/engines/cdma/cdma.h"

namespace zv::chip {

namespace {

constexpr u32 kSortFunction = 0x29;

// The sort's fields, decoded from a descriptor.
struct SortCommand {
  explicit SortCommand(const CdmaCommand &cmd)
      : src_key(address(cmd, cdma::field::kSrcKeyLow, cdma::field::kSrcKeyHigh)),
        dst_key(address(cmd, cdma::field::kDstKeyLow, cdma::field::kDstKeyHigh)),
        key_bytes(cmd.get(cdma::field::kKeyBytes)),
        descending(cmd.get(cdma::field::kDescending) != 0),
        index_enable(cmd.get(cdma::field::kIndexEnable) != 0),
        auto_index(cmd.get(cdma::field::kAutoIndex) != 0),
        src_index(address(cmd, cdma::field::kSrcIndexLow, cdma::field::kSrcIndexHigh)),
        dst_index(address(cmd, cdma::field::kDstIndexLow, cdma::field::kDstIndexHigh)),
        out_bytes(cmd.get(cdma::field::kOutBytes)) {}

  static u64 address(const CdmaCommand &cmd, Field low, Field high) {
    return cmd.get(low) | u64{cmd.get(high)} << 32;
  }

  u64 src_key, dst_key;
  u32 key_bytes;
  bool descending, index_enable, auto_index;
  u64 src_index, dst_index;
  u32 out_bytes;
};

// a before b in ascending order; NaN above every number.
bool ascending_before(float a, float b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

void execute_sort(const CdmaCommand &cmd, Bus &bus) {
  const SortCommand s(cmd);
  if (s.key_bytes % 4 != 0 || s.out_bytes % 4 != 0)
    fault("CDMA sort: byte counts " + std::to_string(s.key_bytes) + " (keys) and " + std::to_string(s.out_bytes) +
          " (results) must be multiples of 4; window " + cmd.dump());
  const u32 len = s.key_bytes / 4, out_len = s.out_bytes / 4;
  if (out_len > len)
    fault("CDMA sort: " + std::to_string(out_len) + " results asked of " + std::to_string(len) + " keys; window " +
          cmd.dump());

  std::vector<float> keys(len);
  bus.load(s.src_key, keys.data(), u64{len} * 4);
  std::vector<u32> index(len);
  if (s.index_enable && !s.auto_index)
    bus.load(s.src_index, index.data(), u64{len} * 4);
  else
    std::iota(index.begin(), index.end(), 0u);

  std::vector<u32> order(len);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](u32 a, u32 b) {
    return s.descending ? ascending_before(keys[b], keys[a]) : ascending_before(keys[a], keys[b]);
  });

  std::vector<float> sorted_keys(out_len);
  std::vector<u32> sorted_index(out_len);
  for (u32 k = 0; k < out_len; k++) {
    sorted_keys[k] = keys[order[k]];
    sorted_index[k] = index[order[k]];
  }
  bus.store(s.dst_key, sorted_keys.data(), u64{out_len} * 4);
  if (s.index_enable) bus.store(s.dst_index, sorted_index.data(), u64{out_len} * 4);
}

}  // namespace

void add_cdma_kinds(KindTable<CdmaCommand> &kinds) { kinds.add(kSortFunction, "sort", execute_sort); }

}  // namespace zv::chip
