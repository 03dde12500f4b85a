// Waiting for the tensor engine and GDMA, and restarting their command ids.
#pragma once

#include "runtime/cmd_id.h"

extern "C" {
// Spins until the tensor engine has finished the node's bd_cmd_id, then until
// GDMA has finished its gdma_cmd_id. No time-out, no profiling record.
void poll_all_engine_done_internal(cmd_id_node_t *node);
// The same wait inside a profiling wait record.
void poll_all_engine_done(cmd_id_node_t *node);
// Sets both ids of the node to 0 and restarts both engines' id counters.
void resync_cmd_id(cmd_id_node_t *node);
// Before an id can pass the 16-bit fields: when either id is above
// CMD_ID_OVERFLOW_LIMIT, waits for both engines and restarts the ids.
void fix_cmd_node_overflow(cmd_id_node_t *node);
// After a failed message: waits until the tensor engine and GDMA have finished
// every command issued (both queues empty, their done ids read), so that the
// next restart of the ids has nothing outstanding. The dispatcher needs no
// ids for this: the engines' free-slot counts show what is outstanding. A
// queue whose head waits for an id the other engine never reached (the
// message failed before issuing it) is released by issuing that engine filler
// commands up to the id. Returns 1 when both queues emptied; 0, with a log
// line, when both stay blocked on each other (a wait no layer issues).
int wait_engines_idle(void);
}
