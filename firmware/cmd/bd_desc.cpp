#include "cmd/bd_desc.h"

#include <string.h>

#include "runtime/assert.h"
#include "runtime/hw.h"
#include "runtime/profile.h"

void bd_desc_init(bd_desc_t *d, int first, int last) {
  bd_gen_cmd();  // renders the default image on first use
  cmd_copy_words(d->w, g_bd_cmd_cache_default, BD_WORDS);
  d->w[0] = 6;  // the two fixed header bits
  // Bits first..last: all bits up to last, less those below first.
  d->defined = first > last ? 0u : (last >= 31 ? 0xffffffffu : (2u << last) - 1u) & ~((1u << first) - 1u);
}

u32 bd_desc_get(const bd_desc_t *d, cmd_field_id_t f) { return read_cmd_cache(d->w, &f); }

void bd_desc_shape(bd_desc_t *d, u32 n, u32 c, u32 h, u32 w) {
  bd_desc_set(d, BD_N, n);
  bd_desc_set(d, BD_C, c);
  bd_desc_set(d, BD_H, h);
  bd_desc_set(d, BD_W, w);
}

void bd_desc_issue(bd_desc_t *d, cmd_id_node_t *node) {
  cmd_generator_t *g = bd_gen_cmd();
  u32 ids[2];
  const u32 window = cmd_direct_begin(g, node, ids);
  bd_desc_set(d, BD_FIELD_WAIT_GDMA_ID, ids[1]);
  bd_desc_set(d, BD_FIELD_OWN_ID, ids[0]);
  // The defined words 1..31, lowest first, straight into the window.
  cmd_store_words(window, d->w, d->defined, 1, BD_WORDS - 1);
  cmd_direct_start(g, d->w[0] & ~1u, node, ENGINE_BD);
}
