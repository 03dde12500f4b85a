// Command-id nodes and engine names: what the command layer stamps into its
// descriptors and what the runtime waits on and profiles. Kept in the runtime
// so that the waits and the profiler need nothing from the command layer.
#pragma once

#include "runtime/types.h"

// The caller's command-id node: the ids of the last tensor-engine and GDMA
// commands issued on it (0 after a restart).
typedef struct {
  u32 bd_cmd_id;
  u32 gdma_cmd_id;
  u8 divided;  // 1 while divided into two working copies (read by the profiler only)
} cmd_id_node_t;

typedef enum {
  ENGINE_BD = 0,
  ENGINE_GDMA = 1,
  ENGINE_CDMA = 2,
  ENGINE_GDE = 3,
} engine_id_t;
