// Engine command descriptors: named fields, the per-engine generator records,
// the common issue routine, the direct-write protocol and command-id nodes.
//
// A descriptor is a fixed number of 32-bit words written into an engine's
// command window; descriptor bit p is bit (p mod 32) of word (p div 32), and a
// field may straddle two consecutive words. The tensor engine (BD) and GDMA
// order themselves by the ids stamped into their descriptors; CDMA and GDE
// descriptors carry no ids (their generators wait for completion themselves).
#pragma once

#include "runtime/hw.h"
#include "runtime/cmd_id.h"
#include "runtime/regs.h"
#include "runtime/types.h"

// ---- Engine windows and registers ----
#define BD_CMD_WINDOW BD_ENGINE_BASE             // 32 words
#define BD_CMD_WORDS 32
#define BD_REG_ID_RESTART 0x0208110cu           // write 1: ids count from 0 again
#define BD_REG_STATUS 0x58001100u               // bits 2-5 free slots, 6-21 done id
#define GDMA_REG_CTRL GDMA_ENGINE_BASE          // bit 2: id restart
#define GDMA_CTRL_ID_RESTART (1u << 2)
#define GDMA_CMD_WINDOW (GDMA_ENGINE_BASE + 0x10u)  // 23 words
#define GDMA_CMD_WORDS 23
#define GDMA_REG_SLOTS 0x58000004u               // bits 16-23 free slots
#define GDMA_REG_DONE 0x58000008u                // bits 16-31 done id
#define CDMA_CMD_WINDOW 0x58003800u              // 128 words
#define CDMA_CMD_WORDS 128
#define CDMA_REG_STATUS 0x5800380cu              // bit 9: command done
#define CDMA_REG_SLOTS 0x58003810u               // bits 0-7 free slots
#define GDE_CMD_WINDOW 0x58005000u               // 10 words, the GDE register block
#define GDE_CMD_WORDS 10
#define GDE_REG_STATUS 0x58005008u               // bit 0 done, bit 1 busy

// Fields of the status registers.
#define BD_STATUS_FREE_SHIFT 2
#define BD_STATUS_FREE_MASK 0xfu
#define BD_STATUS_DONE_SHIFT 6
#define BD_STATUS_DONE_MASK 0xffffu
#define GDMA_SLOTS_FREE_SHIFT 16
#define GDMA_SLOTS_FREE_MASK 0xffu
#define GDMA_DONE_SHIFT 16
#define GDMA_DONE_MASK 0xffffu
#define CDMA_SLOTS_FREE_MASK 0xffu
#define CDMA_STATUS_DONE (1u << 9)
#define CDMA_LOCK_HELD 0x1u
#define GDE_STATUS_DONE 0x1u
#define GDE_STATUS_BUSY 0x2u

// Ids are stamped into 16-bit fields: the counters are restarted before an id
// passes this limit.
#define CMD_ID_OVERFLOW_LIMIT 60000u

// ---- Descriptor fields and packs ----

// A descriptor field: its lowest bit and its width (1 to 32). Read as one
// little-endian word, 0x00100013 is the field at bit 19 of width 16.
typedef struct {
  u16 id;   // lowest descriptor bit
  u16 len;  // width in bits
} cmd_field_id_t;
static_assert(sizeof(cmd_field_id_t) == 4, "cmd_field_id_t is one word");

// A value for a field; it must fit in the field's width.
typedef struct {
  cmd_field_id_t id;
  u32 value;
} cmd_pack_t;
static_assert(sizeof(cmd_pack_t) == 8, "cmd_pack_t is two words");

#define CMD_FIELD(pos, width) {(u16)(pos), (u16)(width)}

// Header fields stamped by the framework (the rest of each layout belongs to
// the engines' generators).
static constexpr cmd_field_id_t BD_FIELD_START = CMD_FIELD(0, 1);
static constexpr cmd_field_id_t BD_FIELD_FIXED1 = CMD_FIELD(1, 1);
static constexpr cmd_field_id_t BD_FIELD_FIXED2 = CMD_FIELD(2, 1);
static constexpr cmd_field_id_t BD_FIELD_OWN_ID = CMD_FIELD(3, 16);
static constexpr cmd_field_id_t BD_FIELD_WAIT_GDMA_ID = CMD_FIELD(19, 16);
static constexpr cmd_field_id_t BD_FIELD_KEEP_CACHE = CMD_FIELD(35, 1);
static constexpr cmd_field_id_t BD_FIELD_DES_INTR = CMD_FIELD(36, 1);
static constexpr cmd_field_id_t BD_FIELD_LANE_LO = CMD_FIELD(134, 32);
static constexpr cmd_field_id_t BD_FIELD_LANE_HI = CMD_FIELD(166, 32);

static constexpr cmd_field_id_t GDMA_FIELD_START = CMD_FIELD(0, 1);
static constexpr cmd_field_id_t GDMA_FIELD_FIXED2 = CMD_FIELD(2, 1);
static constexpr cmd_field_id_t GDMA_FIELD_DES_INTR = CMD_FIELD(3, 1);
static constexpr cmd_field_id_t GDMA_FIELD_FIXED4 = CMD_FIELD(4, 1);
static constexpr cmd_field_id_t GDMA_FIELD_KEEP_CACHE = CMD_FIELD(11, 1);
static constexpr cmd_field_id_t GDMA_FIELD_OWN_ID = CMD_FIELD(16, 16);
static constexpr cmd_field_id_t GDMA_FIELD_WAIT_BD_ID = CMD_FIELD(48, 16);
static constexpr cmd_field_id_t GDMA_FIELD_LANE_LO = CMD_FIELD(640, 32);
static constexpr cmd_field_id_t GDMA_FIELD_LANE_HI = CMD_FIELD(672, 32);

static constexpr cmd_field_id_t GDE_FIELD_WORD0 = CMD_FIELD(0, 32);
static constexpr cmd_field_id_t GDE_FIELD_WORD1 = CMD_FIELD(32, 32);
#define GDE_START_WORD1 1u
#define GDE_START_WORD0 5u

// ---- Command ids ----

// cmd_id_node_t and engine_id_t: runtime/cmd_id.h.

// ---- Generator records ----

typedef struct cmd_generator cmd_generator_t;

// The operations each engine supplies (members in this order). `window` is the
// chip address of the command window while an issue is in progress, else 0.
struct cmd_generator {
  u32 window;
  u32 *cache;      // the descriptor being composed
  s32 word_count;  // descriptor length in words
  void (*cmd_write)(u32 window, int index, u32 value);
  u32 reserved;
  u32 (*cmd_buf)(cmd_generator_t *gen);  // waits for a free slot, returns the window
  void (*cmd_id_proc)(u32 ids[2], cmd_id_node_t *node);
  void (*init_cache)(cmd_generator_t *gen);
  void (*set_id)(cmd_generator_t *gen, const u32 ids[2]);
  void (*common)(cmd_generator_t *gen);
  void (*enable_cmd)(cmd_generator_t *gen);
  void (*set_lane)(cmd_generator_t *gen);
  void (*set_des_intr)(cmd_generator_t *gen);
};

extern "C" {

// The engines' records, each built on its first call.
cmd_generator_t *bd_gen_cmd(void);
cmd_generator_t *gdma_gen_cmd(void);
cmd_generator_t *cdma_gen_cmd(void);
cmd_generator_t *gde_gen_cmd(void);

// Default descriptor images: the engines' default packs, rendered when the
// firmware is built and copied here when their records are built.
extern u32 g_bd_cmd_cache_default[BD_CMD_WORDS];
extern u32 g_gdma_cmd_cache_default[GDMA_CMD_WORDS];
extern u32 g_cdma_cmd_cache_default[CDMA_CMD_WORDS];
extern u32 g_gde_cmd_cache_default[GDE_CMD_WORDS];

// Merges the pack's value into gen's cache; unless no_write, stores each touched
// word into the window (the first word, then the second of a straddling field).
void write_cmd(cmd_generator_t *gen, const cmd_pack_t *pack, int no_write);
// The field's value in a cache.
u32 read_cmd_cache(const u32 *cache, const cmd_field_id_t *id);
// A value that does not fit its field (or a field of no width), handed to
// write_cmd, whose assertions refuse it.
void cmd_desc_set_refused(u32 *words, cmd_field_id_t field, u32 value);
// Merges a value into a descriptor being composed in memory, by write_cmd's
// merge and checks (the one routine every generator composes fields with);
// nothing reaches a window. Inline: with a declared field the position, width
// and masks are constants, and the merge is a few instructions.
inline void cmd_desc_set(u32 *words, cmd_field_id_t field, u32 value) {
  const u32 pos = field.id, len = field.len;
  if (!(len > 0 && len <= 32 && (len == 32 || (value >> len) == 0))) {
    cmd_desc_set_refused(words, field, value);
    return;
  }
  const u32 k = pos / 32, o = pos % 32;
  if (o + len <= 32) {
    const u32 mask = (len == 32 ? 0xffffffffu : ((1u << len) - 1u)) << o;
    words[k] = (words[k] & ~mask) | (value << o);
    return;
  }
  // Straddling: the low 32 - o bits end word k, the rest start word k + 1.
  const u32 high_mask = (1u << (o + len - 32)) - 1u;
  words[k] = (words[k] & ~(0xffffffffu << o)) | (value << o);
  words[k + 1] = (words[k + 1] & ~high_mask) | (value >> (32 - o));
}

// Copies `words` words (a descriptor image): on the core eight words a round
// by one load-multiple and one store-multiple, a tenth of a library copy's
// instructions for a whole image.
static inline void cmd_copy_words(u32 *dst, const u32 *src, u32 words) {
#if defined(__arm__)
  for (; words >= 8; words -= 8)
    __asm__ volatile("ldmia %1!, {r3-r10}\n\tstmia %0!, {r3-r10}"
                     : "+r"(dst), "+r"(src)
                     :
                     : "r3", "r4", "r5", "r6", "r7", "r8", "r9", "r10", "memory");
#endif
  for (u32 i = 0; i < words; i++) dst[i] = src[i];
}

// Stores w[k] at window + 4k for each word k of first..last (constants) whose
// bit is set in `words`, in ascending order. Unrolled, a word costs a test and
// a conditional load and store on the core, stored or not: a third of a loop
// over the set bits.
static inline void cmd_store_words(u32 window, const u32 *w, u32 words, u32 first, u32 last) {
#if defined(__arm__)
  __asm__("" : "+r"(window));  // kept in a register rather than rebuilt per store
#endif
#pragma GCC unroll 32
  for (u32 k = first; k <= last; k++)
    if (words & (1u << k)) hw_write32(window + 4u * k, w[k]);
}

// The descriptor words a field touches, as a mask (bit k: word k).
inline u32 cmd_field_words(cmd_field_id_t f) { return (f.id % 32u + f.len > 32u ? 3u : 1u) << (f.id / 32u); }

// Issues one descriptor: the engine's default image plus `count` packs, the
// ids from `node` (null for CDMA and GDE), the start last. Returns the window
// address written. The caller then makes the profiling record.
u32 gen(cmd_generator_t *gen, const cmd_pack_t *packs, int count, cmd_id_node_t *node);

// Direct-write protocol, for generators that compose whole words themselves:
// begin waits for a free slot and takes the id pair {BD id, GDMA id} from the
// node; the generator stores the words 1..n-1 it defines in ascending order
// with cmd_direct_write; cmd_direct_start stores word 0 (start bit clear), then
// word 0 + 1 (start bit set), ends the issue and makes the profiling record.
u32 cmd_direct_begin(cmd_generator_t *gen, cmd_id_node_t *node, u32 ids[2]);
void cmd_direct_write(cmd_generator_t *gen, int index, u32 value);
void cmd_direct_start(cmd_generator_t *gen, u32 word0, cmd_id_node_t *node, engine_id_t engine);

u32 get_gdma_lane(int index);
u8 get_gdma_des_intr_enable(void);

// Overlapped streams: two working copies of a node, and their merge back.
void cmd_id_divide(cmd_id_node_t *node, cmd_id_node_t *a, cmd_id_node_t *b);
void cmd_id_merge(cmd_id_node_t *node, const cmd_id_node_t *a, const cmd_id_node_t *b);
}

// Sets fields[i] to values[i] in table order, as cmd_desc_set does one by one.
// When every value fits, the merges run with no call between them, so with a
// constant field table the compiler keeps each word in a register and folds
// the masks of its fields; otherwise the fields go one by one through
// cmd_desc_set, which refuses the first value that does not fit.
template <size_t N>
inline void cmd_desc_set_fields(u32 *words, const cmd_field_id_t (&fields)[N], const u32 (&values)[N]) {
  u32 misfit = 0;
#pragma GCC unroll 32
  for (size_t i = 0; i < N; i++)
    if (fields[i].len < 32) misfit |= values[i] >> fields[i].len;
  if (misfit != 0) {
    for (size_t i = 0; i < N; i++) cmd_desc_set(words, fields[i], values[i]);
    return;
  }
#pragma GCC unroll 32
  for (size_t i = 0; i < N; i++) {
    const u32 pos = fields[i].id, len = fields[i].len, value = values[i];
    const u32 k = pos / 32, o = pos % 32;
    if (o + len <= 32) {
      const u32 mask = (len == 32 ? 0xffffffffu : ((1u << len) - 1u)) << o;
      words[k] = (words[k] & ~mask) | (value << o);
    } else {
      const u32 high_mask = (1u << (o + len - 32)) - 1u;
      words[k] = (words[k] & ~(0xffffffffu << o)) | (value << o);
      words[k + 1] = (words[k + 1] & ~high_mask) | (value >> (32 - o));
    }
  }
}

// Header words of directly written descriptors. BD word 0 holds the fixed bits
// 1 and 2, the own id at bit 3 and the low 13 bits of the GDMA id to wait for;
// the wait id's top 3 bits are bits 0-2 of word 1. GDMA word 0 holds the own id
// in bits 16-31, word 1 the BD id to wait for in bits 16-31.
static inline u32 bd_direct_word0(const u32 ids[2]) { return 6u | ids[0] << 3 | ids[1] << 19; }
static inline u32 bd_direct_word1_ids(const u32 ids[2]) { return ids[1] >> 13; }
static inline u32 gdma_direct_word0_ids(const u32 ids[2]) { return ids[1] << 16; }
static inline u32 gdma_direct_word1_ids(const u32 ids[2]) { return ids[0] << 16; }
