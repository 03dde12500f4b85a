// Composing a whole GDMA descriptor for the moves that write the window
// directly (general, shifted, strided matrix and filter moves): the words start
// from the default image, fields are set through their declarations, and the
// issue writes words 1, 2 and 4 to 21 in ascending order, then word 0 twice
// (start bit clear, then set). Word 3 (the fill constant) and word 22 are left
// as the window holds them.
#pragma once

#include "cmd/gdma.h"

typedef struct {
  u32 w[GDMA_CMD_WORDS];
} gdma_desc_t;

// A GDMA descriptor issued as gen issues packs, with its fields set one by one
// through their declarations (a declared field merges in a few instructions):
// composed in the engine's cache from the default image, then the header
// fields, and only the touched words stored, word 0 last with the start bit.
typedef struct {
  u32 *w;       // the engine's cache
  u32 touched;  // bit k: word k was set
} gdma_compose_t;

extern "C" {
// The default image with the fixed header bits, the lane mask and the
// interrupt flag; word 1's layout bit cleared (every direct move clears it).
void gdma_desc_init(gdma_desc_t *desc);
// Sets a field; the value must fit its width (checked before any window write).
// The generators check their values first; the merge's own check is the last
// guard of a field's neighbours.
inline void gdma_desc_set(gdma_desc_t *desc, cmd_field_id_t field, u32 value) {
  cmd_desc_set(desc->w, field, value);
}
// The eight stride fields (source n, c, h, w, then the destination's; set in
// that order, one source and one destination field at a time).
inline void gdma_desc_strides(gdma_desc_t *desc, const u32 src[4], const u32 dst[4]) {
  gdma_desc_set(desc, GDMA_FIELD_SRC_NSTRIDE, src[0]);
  gdma_desc_set(desc, GDMA_FIELD_DST_NSTRIDE, dst[0]);
  gdma_desc_set(desc, GDMA_FIELD_SRC_CSTRIDE, src[1]);
  gdma_desc_set(desc, GDMA_FIELD_DST_CSTRIDE, dst[1]);
  gdma_desc_set(desc, GDMA_FIELD_SRC_HSTRIDE, src[2]);
  gdma_desc_set(desc, GDMA_FIELD_DST_HSTRIDE, dst[2]);
  gdma_desc_set(desc, GDMA_FIELD_SRC_WSTRIDE, src[3]);
  gdma_desc_set(desc, GDMA_FIELD_DST_WSTRIDE, dst[3]);
}
// The four sub-element shifts of word 19 (source h, w, destination h, w).
inline void gdma_desc_shifts(gdma_desc_t *desc, u32 src_h, u32 src_w, u32 dst_h, u32 dst_w) {
  gdma_desc_set(desc, GDMA_FIELD_SRC_HSHIFT, src_h);
  gdma_desc_set(desc, GDMA_FIELD_SRC_WSHIFT, src_w);
  gdma_desc_set(desc, GDMA_FIELD_DST_HSHIFT, dst_h);
  gdma_desc_set(desc, GDMA_FIELD_DST_WSHIFT, dst_w);
}
// Takes the ids from the node, stamps them and issues the descriptor.
void gdma_desc_issue(gdma_desc_t *desc, cmd_id_node_t *node);

// Waits for a free slot and starts the cache from the default image.
void gdma_compose_begin(gdma_compose_t *c);
// Sets a field; the value must fit its width (else write_cmd's assertion).
inline void gdma_compose_set(gdma_compose_t *c, cmd_field_id_t field, u32 value) {
  cmd_desc_set(c->w, field, value);
  c->touched |= cmd_field_words(field);
}
// Both addresses, each as its low and high words.
inline void gdma_compose_addrs(gdma_compose_t *c, u64 src, u64 dst) {
  gdma_compose_set(c, GDMA_FIELD_SRC_ADDR_LO, (u32)src);
  gdma_compose_set(c, GDMA_FIELD_SRC_ADDR_HI, (u32)(src >> 32));
  gdma_compose_set(c, GDMA_FIELD_DST_ADDR_LO, (u32)dst);
  gdma_compose_set(c, GDMA_FIELD_DST_ADDR_HI, (u32)(dst >> 32));
}
// The source side's shape.
inline void gdma_compose_src_shape(gdma_compose_t *c, u32 N, u32 C, u32 H, u32 W) {
  gdma_compose_set(c, GDMA_FIELD_SRC_N, N);
  gdma_compose_set(c, GDMA_FIELD_SRC_C, C);
  gdma_compose_set(c, GDMA_FIELD_SRC_H, H);
  gdma_compose_set(c, GDMA_FIELD_SRC_W, W);
}
// Takes the ids from the node, stamps them with the fixed bits, the lane mask
// and the interrupt flag, stores the touched words 1..22 in ascending order,
// then word 0 with the start bit, and makes the profiling record.
void gdma_compose_issue(gdma_compose_t *c, cmd_id_node_t *node);
}
