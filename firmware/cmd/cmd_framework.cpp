// The descriptor framework: field merging, the four engines' generator records
// with their default images, the common issue routine, the direct-write
// protocol and the command-id node operations.
#include <string.h>

#include "cmd/cmd_framework.h"
#include "cmd/bd_desc.h"
#include "cmd/cdma_sort.h"
#include "cmd/gdma.h"
#include "cmd/gdma_desc.h"
#include "runtime/services.h"
#include "runtime/hw.h"
#include "runtime/profile.h"

// ---- Fields ----

// The pack's width is 1 to 32 bits and its value fits in it.
static inline int pack_fits(const cmd_pack_t *pack) {
  const u32 len = pack->id.len;
  return len > 0 && len <= 32 && (len == 32 || (pack->value >> len) == 0);
}

// Merges a pack that fits into the words, leaving every other bit as it was.
// Returns 1 when the field straddles two words (it then ends in the next one).
static inline int merge_pack(u32 *words, const cmd_pack_t *pack) {
  const u32 pos = pack->id.id, len = pack->id.len, value = pack->value;
  const u32 k = pos / 32, o = pos % 32;
  if (o + len <= 32) {
    const u32 mask = (len == 32 ? 0xffffffffu : ((1u << len) - 1u)) << o;
    words[k] = (words[k] & ~mask) | (value << o);
    return 0;
  }
  // Straddling: the low 32 - o bits end word k, the rest start word k + 1.
  const u32 high_bits = o + len - 32;
  const u32 low_mask = 0xffffffffu << o;
  const u32 high_mask = (1u << high_bits) - 1u;
  words[k] = (words[k] & ~low_mask) | (value << o);
  words[k + 1] = (words[k + 1] & ~high_mask) | (value >> (32 - o));
  return 1;
}

void write_cmd(cmd_generator_t *gen, const cmd_pack_t *pack, int no_write) {
  ASSERT(pack->id.len > 0 && pack->id.len <= (32));
  const u32 len = pack->id.len, value = pack->value;
  if (len < 32 && (value >> len) != 0) ASSERT(0);
  u32 *cache = gen->cache;
  const u32 k = pack->id.id / 32;
  const int straddles = merge_pack(cache, pack);
  if (no_write) return;
  gen->cmd_write(gen->window, (int)k, cache[k]);
  if (straddles) gen->cmd_write(gen->window, (int)(k + 1), cache[k + 1]);
}

u32 read_cmd_cache(const u32 *cache, const cmd_field_id_t *id) {
  ASSERT(id->len > 0 && id->len <= (32));
  const u32 k = id->id / 32, o = id->id % 32, len = id->len;
  u32 v = cache[k] >> o;
  if (o + len > 32) v |= cache[k + 1] << (32 - o);
  return len == 32 ? v : v & ((1u << len) - 1u);
}

void cmd_desc_set_refused(u32 *words, cmd_field_id_t field, u32 value) {
  const cmd_pack_t pack = {field, value};
  cmd_generator_t composer = {};
  composer.cache = words;
  write_cmd(&composer, &pack, 1);
}

// While gen composes a descriptor whose start is bit 0 of word 0 (tensor
// engine, GDMA), fields go to the cache only and the words they touch are
// noted here; gen then stores each touched word once. Both are set afresh by
// every gen, so an assertion half-way leaves nothing behind.
static u8 g_composing;
static u32 g_touched;

static u32 field_words(cmd_field_id_t id) {
  const u32 k = id.id / 32u;
  return (id.id % 32u + id.len > 32u ? 3u : 1u) << k;
}

static inline void compose_or_write(cmd_generator_t *gen, const cmd_pack_t *pack) {
  // A pack that fits is merged here, in a dozen instructions; any other goes to
  // write_cmd, whose assertions refuse it as before.
  if (g_composing && pack_fits(pack)) {
    g_touched |= (merge_pack(gen->cache, pack) ? 3u : 1u) << (pack->id.id / 32u);
    return;
  }
  if (!g_composing) {
    write_cmd(gen, pack, 0);
    return;
  }
  write_cmd(gen, pack, 1);
  g_touched |= field_words(pack->id);
}

static void set_field(cmd_generator_t *gen, cmd_field_id_t id, u32 value) {
  const cmd_pack_t pack = {id, value};
  compose_or_write(gen, &pack);
}

static void window_write(u32 window, int index, u32 value) { hw_write32(window + 4u * (u32)index, value); }

// ---- Static state ----

static const u32 g_bd_lane[2] = {0xffffffffu, 0xffffffffu};
static const u32 g_gdma_lane[2] = {0xffffffffu, 0xffffffffu};
static const u8 g_bd_des_intr_flag = 0;
static const u8 g_gdma_des_intr_flag = 0;

static u32 g_bd_cmd_cache[BD_CMD_WORDS];
static u32 g_gdma_cmd_cache[GDMA_CMD_WORDS];
static u32 g_cdma_cmd_cache[CDMA_CMD_WORDS];
static u32 g_gde_cmd_cache[GDE_CMD_WORDS];
u32 g_bd_cmd_cache_default[BD_CMD_WORDS];
u32 g_gdma_cmd_cache_default[GDMA_CMD_WORDS];
u32 g_cdma_cmd_cache_default[CDMA_CMD_WORDS];
u32 g_gde_cmd_cache_default[GDE_CMD_WORDS];

static cmd_generator_t g_bd_gen_cmd, g_gdma_gen_cmd, g_cdma_gen_cmd, g_gde_gen_cmd;
static u8 g_bd_gen_cmd_initialized, g_gdma_gen_cmd_initialized, g_cdma_gen_cmd_initialized,
    g_gde_gen_cmd_initialized;

// Default packs (position, width, value), merged in table order.
static constexpr cmd_pack_t g_bd_pack_defaults[] = {
    {BD_OPD_NUM, 2},          {BD_SHIFT_TYPE, 1},       {BD_FLOAT_MODE, 1},        {BD_OPD1_SIGN, 1},
    {BD_OPD2_SIGN, 1},        {BD_RES_PREC, 2},         {BD_OPD0_PREC, 2},         {BD_OPD1_PREC, 2},
    {BD_OPD2_PREC, 2},        {CONV_RESULT_PREC, 2},    {CONV_STRIDE_W, 1},        {CONV_STRIDE_H, 1},
    {BD_FIELD_LANE_LO, 0xffffffffu},                    {BD_FIELD_LANE_HI, 0xffffffffu},
    {BD_N, 1},                {BD_C, 1},                {BD_H, 1},                 {BD_W, 1},
    {BD_OPD0_N, 1},           {BD_OPD0_C, 1},           {BD_OPD0_H, 1},            {BD_OPD0_W, 1},
    {BD_OPD1_N, 1},           {BD_OPD1_C, 1},           {BD_OPD1_H, 1},            {BD_OPD1_W, 1},
    {BD_RES_NSTRIDE, 1},      {BD_RES_CSTRIDE, 1},      {BD_OPD0_NSTRIDE, 1},      {BD_OPD0_CSTRIDE, 1},
    {BD_OPD1_NSTRIDE, 1},     {BD_OPD1_CSTRIDE, 1},     {BD_OPD2_NSTRIDE, 1},      {BD_OPD2_CSTRIDE, 1},
    {BD_WORD_FIELD(22), 1},   {BD_WORD_FIELD(23), 1},   {BD_WORD_FIELD(24), 1},    {BD_WORD_FIELD(25), 1},
    {BD_WORD_FIELD(26), 1},   {BD_WORD_FIELD(27), 1},   {BD_WORD_FIELD(28), 1},    {BD_WORD_FIELD(29), 1},
};
static_assert(sizeof(g_bd_pack_defaults) / sizeof(cmd_pack_t) == 42, "42 BD default packs");

static constexpr cmd_pack_t g_gdma_pack_defaults[] = {
    {GDMA_FIELD_FIXED10, 1}, {GDMA_FIELD_LAYOUT, 1},          {GDMA_FIELD_LRN_STEP, 1},
    {GDMA_FIELD_SRC_WSTRIDE, 1}, {GDMA_FIELD_LANE_LO, 0xffffffffu}, {GDMA_FIELD_LANE_HI, 0xffffffffu},
};
// The first pack stands twice; it renders the same image as a single copy.
static constexpr cmd_pack_t g_cdma_pack_defaults[] = {
    {CDMA_FIELD_FIXED64, 1}, {CDMA_FIELD_FIXED64, 1}, {CDMA_FIELD_FIXED67, 1}, {CDMA_FIELD_FIXED73, 1}};
static constexpr cmd_pack_t g_gde_pack_defaults[] = {{GDE_FIELD_WORD0, 0}};

// ---- Default images, rendered from the packs when the firmware is built ----

// The packs' widths are 1 to 32 bits, their values fit and their fields lie
// inside a descriptor of `words` words.
template <size_t Count>
constexpr bool packs_fit(const cmd_pack_t (&packs)[Count], u32 words) {
  for (size_t i = 0; i < Count; i++) {
    const u32 len = packs[i].id.len, value = packs[i].value;
    if (!(len > 0 && len <= 32 && (len == 32 || (value >> len) == 0))) return false;
    if (packs[i].id.id + len > 32u * words) return false;
  }
  return true;
}

template <u32 Words>
struct cmd_image_t {
  u32 w[Words];
};

// The packs merged in table order over a zeroed image, as merge_pack merges them.
template <u32 Words, size_t Count>
constexpr cmd_image_t<Words> render_image(const cmd_pack_t (&packs)[Count]) {
  cmd_image_t<Words> image = {};
  for (size_t i = 0; i < Count; i++) {
    const u32 pos = packs[i].id.id, len = packs[i].id.len, value = packs[i].value;
    const u32 k = pos / 32, o = pos % 32;
    if (o + len <= 32) {
      const u32 mask = (len == 32 ? 0xffffffffu : ((1u << len) - 1u)) << o;
      image.w[k] = (image.w[k] & ~mask) | (value << o);
    } else {
      const u32 high_mask = (1u << (o + len - 32)) - 1u;
      image.w[k] = (image.w[k] & ~(0xffffffffu << o)) | (value << o);
      image.w[k + 1] = (image.w[k + 1] & ~high_mask) | (value >> (32 - o));
    }
  }
  return image;
}

static_assert(packs_fit(g_bd_pack_defaults, BD_CMD_WORDS), "BD default packs fit");
static_assert(packs_fit(g_gdma_pack_defaults, GDMA_CMD_WORDS), "GDMA default packs fit");
static_assert(packs_fit(g_cdma_pack_defaults, CDMA_CMD_WORDS), "CDMA default packs fit");
static_assert(packs_fit(g_gde_pack_defaults, GDE_CMD_WORDS), "GDE default packs fit");
static constexpr cmd_image_t<BD_CMD_WORDS> g_bd_image = render_image<BD_CMD_WORDS>(g_bd_pack_defaults);
static constexpr cmd_image_t<GDMA_CMD_WORDS> g_gdma_image = render_image<GDMA_CMD_WORDS>(g_gdma_pack_defaults);
static constexpr cmd_image_t<CDMA_CMD_WORDS> g_cdma_image = render_image<CDMA_CMD_WORDS>(g_cdma_pack_defaults);
static constexpr cmd_image_t<GDE_CMD_WORDS> g_gde_image = render_image<GDE_CMD_WORDS>(g_gde_pack_defaults);

// ---- Hooks of the tensor engine (BD) ----

static u32 bd_cmd_buf(cmd_generator_t *) {
  while (((hw_read32(BD_REG_STATUS) >> BD_STATUS_FREE_SHIFT) & BD_STATUS_FREE_MASK) <= 3) hw_idle();
  return BD_CMD_WINDOW;
}

static void bd_cmd_id_proc(u32 ids[2], cmd_id_node_t *node) {
  ++node->bd_cmd_id;
  ids[0] = node->bd_cmd_id;
  ids[1] = node->gdma_cmd_id;
}

// The keep-cache bit of a cache (a one-bit field inside one word).
static inline u32 keep_cache(const u32 *cache, cmd_field_id_t f) { return cache[f.id / 32u] >> (f.id % 32u) & 1u; }

static void bd_init_cache(cmd_generator_t *gen) {
  if (keep_cache(gen->cache, BD_FIELD_KEEP_CACHE) == 0) cmd_copy_words(gen->cache, g_bd_cmd_cache_default, BD_CMD_WORDS);
}

static void bd_set_id(cmd_generator_t *gen, const u32 ids[2]) {
  set_field(gen, BD_FIELD_WAIT_GDMA_ID, ids[1]);
  set_field(gen, BD_FIELD_OWN_ID, ids[0]);
}

static void bd_common(cmd_generator_t *gen) {
  set_field(gen, BD_FIELD_FIXED1, 1);
  set_field(gen, BD_FIELD_FIXED2, 1);
}

// Writes the start bit to the window, then clears it in the cache only.
// The start field is one bit, so the value always fits and the field never
// straddles: merged in place without write_cmd's checks.
static void start_bit_enable(cmd_generator_t *gen) {
  cmd_pack_t start = {BD_FIELD_START, 1};
  const u32 k = start.id.id / 32u;
  merge_pack(gen->cache, &start);
  gen->cmd_write(gen->window, (int)k, gen->cache[k]);
  start.value = 0;
  merge_pack(gen->cache, &start);
}

static void bd_set_lane(cmd_generator_t *gen) {
  set_field(gen, BD_FIELD_LANE_LO, g_bd_lane[0]);
  set_field(gen, BD_FIELD_LANE_HI, g_bd_lane[1]);
}

static void bd_set_des_intr(cmd_generator_t *gen) { set_field(gen, BD_FIELD_DES_INTR, g_bd_des_intr_flag); }

// ---- Hooks of GDMA ----

static u32 gdma_cmd_buf(cmd_generator_t *) {
  while (((hw_read32(GDMA_REG_SLOTS) >> GDMA_SLOTS_FREE_SHIFT) & GDMA_SLOTS_FREE_MASK) == 0) hw_idle();
  return GDMA_CMD_WINDOW;
}

static void gdma_cmd_id_proc(u32 ids[2], cmd_id_node_t *node) {
  ++node->gdma_cmd_id;
  ids[0] = node->bd_cmd_id;
  ids[1] = node->gdma_cmd_id;
}

static void gdma_init_cache(cmd_generator_t *gen) {
  if (keep_cache(gen->cache, GDMA_FIELD_KEEP_CACHE) == 0)
    cmd_copy_words(gen->cache, g_gdma_cmd_cache_default, GDMA_CMD_WORDS);
}

static void gdma_set_id(cmd_generator_t *gen, const u32 ids[2]) {
  set_field(gen, GDMA_FIELD_WAIT_BD_ID, ids[0]);
  set_field(gen, GDMA_FIELD_OWN_ID, ids[1]);
}

static void gdma_common(cmd_generator_t *gen) {
  set_field(gen, GDMA_FIELD_FIXED2, 1);
  set_field(gen, GDMA_FIELD_FIXED4, 1);
}

static void gdma_set_lane(cmd_generator_t *gen) {
  set_field(gen, GDMA_FIELD_LANE_LO, g_gdma_lane[0]);
  set_field(gen, GDMA_FIELD_LANE_HI, g_gdma_lane[1]);
}

static void gdma_set_des_intr(cmd_generator_t *gen) {
  set_field(gen, GDMA_FIELD_DES_INTR, g_gdma_des_intr_flag);
}

// ---- Hooks of CDMA ----

static u32 cdma_cmd_buf(cmd_generator_t *) {
  // The command buffer is shared with the host: wait until its semaphore reads free.
  while (hw_read32(REG_CDMA_LOCK) & CDMA_LOCK_HELD) hw_idle();
  while ((hw_read32(CDMA_REG_SLOTS) & CDMA_SLOTS_FREE_MASK) <= 7) hw_idle();
  return CDMA_CMD_WINDOW;
}

static void cdma_init_cache(cmd_generator_t *gen) {
  cmd_copy_words(gen->cache, g_cdma_cmd_cache_default, CDMA_CMD_WORDS);
}

// ---- Hooks of GDE ----

static u32 gde_cmd_buf(cmd_generator_t *) {
  while (hw_read32(GDE_REG_STATUS) & GDE_STATUS_BUSY) hw_idle();
  return GDE_CMD_WINDOW;
}

static void gde_enable_cmd(cmd_generator_t *gen) {
  set_field(gen, GDE_FIELD_WORD1, GDE_START_WORD1);
  set_field(gen, GDE_FIELD_WORD0, GDE_START_WORD0);
}

// Hooks of engines that have nothing to do at that step.
static void no_ids(u32[2], cmd_id_node_t *) {}
static void no_op(cmd_generator_t *) {}
static void no_set_id(cmd_generator_t *, const u32[2]) {}

// ---- Records ----

static const cmd_generator_t bd_template = {
    0, g_bd_cmd_cache, BD_CMD_WORDS, window_write, 0, bd_cmd_buf, bd_cmd_id_proc, bd_init_cache,
    bd_set_id, bd_common, start_bit_enable, bd_set_lane, bd_set_des_intr};
static const cmd_generator_t gdma_template = {
    0, g_gdma_cmd_cache, GDMA_CMD_WORDS, window_write, 0, gdma_cmd_buf, gdma_cmd_id_proc, gdma_init_cache,
    gdma_set_id, gdma_common, start_bit_enable, gdma_set_lane, gdma_set_des_intr};
static const cmd_generator_t cdma_template = {
    0, g_cdma_cmd_cache, CDMA_CMD_WORDS, window_write, 0, cdma_cmd_buf, no_ids, cdma_init_cache,
    no_set_id, no_op, no_op, no_op, no_op};
static const cmd_generator_t gde_template = {
    0, g_gde_cmd_cache, GDE_CMD_WORDS, window_write, 0, gde_cmd_buf, no_ids, no_op,
    no_set_id, no_op, gde_enable_cmd, no_op, no_op};

// Fills the record from its template and copies the default image rendered at
// build time (the packs' merge, checked there); nothing reaches the window.
static cmd_generator_t *build_record(cmd_generator_t *record, u8 *built, const cmd_generator_t *tmpl,
                                     u32 *default_image, const u32 *image, u32 words) {
  if (*built) return record;
  *record = *tmpl;
  cmd_copy_words(default_image, image, words);
  *built = 1;
  return record;
}

cmd_generator_t *bd_gen_cmd(void) {
  if (g_bd_gen_cmd_initialized) return &g_bd_gen_cmd;
  return build_record(&g_bd_gen_cmd, &g_bd_gen_cmd_initialized, &bd_template, g_bd_cmd_cache_default,
                      g_bd_image.w, BD_CMD_WORDS);
}

cmd_generator_t *gdma_gen_cmd(void) {
  if (g_gdma_gen_cmd_initialized) return &g_gdma_gen_cmd;
  return build_record(&g_gdma_gen_cmd, &g_gdma_gen_cmd_initialized, &gdma_template, g_gdma_cmd_cache_default,
                      g_gdma_image.w, GDMA_CMD_WORDS);
}

cmd_generator_t *cdma_gen_cmd(void) {
  return build_record(&g_cdma_gen_cmd, &g_cdma_gen_cmd_initialized, &cdma_template, g_cdma_cmd_cache_default,
                      g_cdma_image.w, CDMA_CMD_WORDS);
}

cmd_generator_t *gde_gen_cmd(void) {
  return build_record(&g_gde_gen_cmd, &g_gde_gen_cmd_initialized, &gde_template, g_gde_cmd_cache_default,
                      g_gde_image.w, GDE_CMD_WORDS);
}

u32 get_gdma_lane(int index) { return g_gdma_lane[index]; }
u8 get_gdma_des_intr_enable(void) { return g_gdma_des_intr_flag; }

// ---- Issue ----

u32 gen(cmd_generator_t *g, const cmd_pack_t *packs, int count, cmd_id_node_t *node) {
  // Engines started by bit 0 of word 0 take their descriptor as the window
  // holds it at the start write: each touched word is stored once, with its
  // final value, and word 0 last with the start bit (a field-by-field store
  // wrote word 0 alone five times or more per GDMA command).
  g_composing = 0;
  g_touched = 0;
  const u8 batched = g->enable_cmd == start_bit_enable && g->word_count <= 32;
  g->window = g->cmd_buf(g);
  g->init_cache(g);
  g_composing = batched;
  if (batched) {
    // The caller's packs, merged with the touched words kept in a register.
    u32 touched = 0;
    for (int i = 0; i < count; i++) {
      const cmd_pack_t *pack = &packs[i];
      if (pack_fits(pack)) {
        touched |= (merge_pack(g->cache, pack) ? 3u : 1u) << (pack->id.id / 32u);
      } else {
        write_cmd(g, pack, 1);
        touched |= field_words(pack->id);
      }
    }
    g_touched = touched;
  } else {
    for (int i = 0; i < count; i++) write_cmd(g, &packs[i], 0);
  }
  u32 ids[2] = {0, 0};
  g->cmd_id_proc(ids, node);
  g->set_id(g, ids);
  g->common(g);
  g->set_lane(g);
  g->set_des_intr(g);
  g_composing = 0;
  if (batched)
    // Only the touched words, lowest first (word 0 is left to enable_cmd).
    for (u32 rest = g_touched & ~1u & (g->word_count >= 32 ? 0xffffffffu : (1u << g->word_count) - 1u); rest != 0;
         rest &= rest - 1u) {
      const int k = __builtin_ctz(rest);
      g->cmd_write(g->window, k, g->cache[k]);
    }
  g->enable_cmd(g);
  const u32 window = g->window;
  g->window = 0;
  return window;
}

// ---- GDMA descriptors composed field by field ----

void gdma_compose_begin(gdma_compose_t *c) {
  cmd_generator_t *g = gdma_gen_cmd();
  g->window = gdma_cmd_buf(g);
  gdma_init_cache(g);
  c->w = g->cache;
  c->touched = 0;
}

void gdma_compose_issue(gdma_compose_t *c, cmd_id_node_t *node) {
  // gen's steps for GDMA, with its hooks' fields merged inline.
  cmd_generator_t *g = &g_gdma_gen_cmd;
  u32 *w = c->w;
  u32 ids[2];
  gdma_cmd_id_proc(ids, node);
  cmd_desc_set(w, GDMA_FIELD_WAIT_BD_ID, ids[0]);
  cmd_desc_set(w, GDMA_FIELD_OWN_ID, ids[1]);
  cmd_desc_set(w, GDMA_FIELD_FIXED2, 1);
  cmd_desc_set(w, GDMA_FIELD_FIXED4, 1);
  cmd_desc_set(w, GDMA_FIELD_LANE_LO, g_gdma_lane[0]);
  cmd_desc_set(w, GDMA_FIELD_LANE_HI, g_gdma_lane[1]);
  cmd_desc_set(w, GDMA_FIELD_DES_INTR, g_gdma_des_intr_flag);
  const u32 header = cmd_field_words(GDMA_FIELD_WAIT_BD_ID) | cmd_field_words(GDMA_FIELD_LANE_LO) |
                     cmd_field_words(GDMA_FIELD_LANE_HI);
  cmd_store_words(GDMA_CMD_WINDOW, w, c->touched | header, 1, GDMA_CMD_WORDS - 1);
  hw_write32(GDMA_CMD_WINDOW, w[0] | 1u);
  w[0] &= ~1u;
  g->window = 0;
  profile_time_begin_set_node(node, ENGINE_GDMA);
}

u32 cmd_direct_begin(cmd_generator_t *g, cmd_id_node_t *node, u32 ids[2]) {
  g->window = g->cmd_buf(g);
  g->cmd_id_proc(ids, node);
  // The ids go into 16-bit fields: a larger one would spill into its
  // neighbours (the issue through gen refuses it the same way).
  ASSERT(ids[0] <= 0xffff && ids[1] <= 0xffff, "command id %u or %u does not fit 16 bits", (unsigned)ids[0],
         (unsigned)ids[1]);
  return g->window;
}

void cmd_direct_write(cmd_generator_t *g, int index, u32 value) { g->cmd_write(g->window, index, value); }

void cmd_direct_start(cmd_generator_t *g, u32 word0, cmd_id_node_t *node, engine_id_t engine) {
  word0 &= ~1u;
  g->cmd_write(g->window, 0, word0);
  g->cmd_write(g->window, 0, word0 + 1);
  g->window = 0;
  profile_time_begin_set_node(node, engine);
}

// ---- Command-id nodes ----

void cmd_id_divide(cmd_id_node_t *node, cmd_id_node_t *a, cmd_id_node_t *b) {
  a->bd_cmd_id = node->bd_cmd_id;
  a->gdma_cmd_id = node->gdma_cmd_id;
  node->divided = 1;
  b->bd_cmd_id = node->bd_cmd_id;
  b->gdma_cmd_id = node->gdma_cmd_id;
}

void cmd_id_merge(cmd_id_node_t *node, const cmd_id_node_t *a, const cmd_id_node_t *b) {
  // The node may be a or b itself: read both before writing.
  const u32 bd = a->bd_cmd_id > b->bd_cmd_id ? a->bd_cmd_id : b->bd_cmd_id;
  const u32 gdma = a->gdma_cmd_id > b->gdma_cmd_id ? a->gdma_cmd_id : b->gdma_cmd_id;
  node->bd_cmd_id = bd;
  node->gdma_cmd_id = gdma;
  node->divided = 0;
}
