// Issuing the test-only command kinds (engine_test_kinds.h) from
// firmware code, the way the generators do: the tensor engine by the
// direct-write protocol, GDMA, CDMA and GDE through gen.
#pragma once

#include <gtest/gtest.h>

#include "engine_test_kinds.h"
#include "cmd/cmd_framework.h"
#include "fw_test.h"
#include "runtime/profile.h"

namespace zv::test {

inline void issue_bd_add_one(cmd_id_node_t *node, u32 dst, u32 src, u32 count) {
  cmd_generator_t *g = bd_gen_cmd();
  u32 ids[2];
  cmd_direct_begin(g, node, ids);
  cmd_direct_write(g, 1, kTestBdTask << 5 | bd_direct_word1_ids(ids));
  cmd_direct_write(g, 6, count << 6);
  cmd_direct_write(g, 18, dst);
  cmd_direct_write(g, 19, src);
  cmd_direct_start(g, bd_direct_word0(ids), node, ENGINE_BD);
}

inline void issue_gdma_copy(cmd_id_node_t *node, u64 src, u64 dst, u32 count) {
  const cmd_pack_t packs[] = {
      {CMD_FIELD(32, 3), kTestGdmaMode},        {CMD_FIELD(128, 32), count},
      {CMD_FIELD(512, 32), (u32)src},           {CMD_FIELD(544, 32), (u32)dst},
      {CMD_FIELD(576, 8), (u32)(src >> 32)},    {CMD_FIELD(584, 8), (u32)(dst >> 32)},
  };
  gen(gdma_gen_cmd(), packs, 6, node);
  profile_time_begin_set_node(node, ENGINE_GDMA);
}

}  // namespace zv::test
