// GDMA tensor moves: the general move (cut to the engine's limits) and its
// shifted form, the strided, aligned and compact moves between global and
// local memory, the flat copy, and the check of the shape and stride
// combinations the engine accepts.
#include <string.h>

#include "runtime/assert.h"
#include "runtime/hw.h"
#include "cmd/gdma.h"
#include "cmd/gdma_desc.h"
#include "runtime/profile.h"
#include "cmd/tensor_shape.h"
#include "cmd/local_mem.h"

// Global addresses are 40 bits wide: bits 32-39 go into one byte of word 18.
#define GDMA_GLOBAL_ADDR_LIMIT (1ull << 40)

// "<label>>0 && <label><=<limit>", explained by "<label>=<value>".
#define ASSERT_FS_DIM(label, value, limit)                                                       \
  FW_ASSERT_IMPL_("ASSERT_FS", #label ">0 && " #label "<=" #limit, (value) > 0 && (value) <= (limit), \
                  #label "=%d", (int)(value))

static int side_is_local(int direction, int is_src) {
  return is_src ? (direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_L2L)
                : (direction == GDMA_VALUE_DIR_S2L || direction == GDMA_VALUE_DIR_L2L);
}

static u64 tag_local(u64 offset, int lane) { return offset | LOCAL_ADDR_TAG | (u64)(u32)lane << 19; }

// ---- Direct write ----

void gdma_desc_init(gdma_desc_t *desc) {
  gdma_gen_cmd();  // renders the default image on first use
  cmd_copy_words(desc->w, g_gdma_cmd_cache_default, GDMA_CMD_WORDS);
  gdma_desc_set(desc, GDMA_FIELD_FIXED2, 1);
  gdma_desc_set(desc, GDMA_FIELD_FIXED4, 1);
  gdma_desc_set(desc, GDMA_FIELD_DES_INTR, get_gdma_des_intr_enable());
  gdma_desc_set(desc, GDMA_FIELD_LAYOUT, 0);
  gdma_desc_set(desc, GDMA_FIELD_LANE_LO, get_gdma_lane(0));
  gdma_desc_set(desc, GDMA_FIELD_LANE_HI, get_gdma_lane(1));
}

void gdma_desc_issue(gdma_desc_t *desc, cmd_id_node_t *node) {
  cmd_generator_t *g = gdma_gen_cmd();
  u32 ids[2];
  const u32 window = cmd_direct_begin(g, node, ids);
  gdma_desc_set(desc, GDMA_FIELD_WAIT_BD_ID, ids[0]);
  gdma_desc_set(desc, GDMA_FIELD_OWN_ID, ids[1]);
  cmd_store_words(window, desc->w, ~(1u << 3), 1, 21);
  cmd_direct_start(g, desc->w[0], node, ENGINE_GDMA);
}

// ---- Acceptance check ----

// The 1N load of 16-bit data into the 2N layout (gdma_move_global1N_local2N4N
// with store_4N 0): two items share each 32-bit word, so the destination's w
// stride is 2 half-words. The engine spreads half-words as it spreads the bytes
// of the 4N load, and takes exactly this: equal shapes, 16-bit elements on both
// sides, source w stride 1, destination w stride 2, no shifts.
static int case_2n_spread(int same_nchw, int src_wstride, int src_wshift, gdma_value_format_t src_format,
                          int dst_wstride, int dst_wshift, gdma_value_format_t dst_format) {
  return same_nchw && src_wstride == 1 && dst_wstride == 2 && src_wshift == 0 && dst_wshift == 0 &&
         src_format == GDMA_VALUE_FORMAT_INT16 && dst_format == GDMA_VALUE_FORMAT_INT16;
}

void CHECK_TENSOR_PARAM(int is_fill, int is_transpose, int src_nsize, int src_csize, int src_hsize,
                        int src_wsize, int src_hstride, int src_wstride, int src_hshift, int src_wshift,
                        gdma_value_format_t src_format, int dst_nsize, int dst_csize, int dst_hsize,
                        int dst_wsize, int dst_hstride, int dst_wstride, int dst_hshift, int dst_wshift,
                        gdma_value_format_t dst_format) {
  // The common cases first: a fill or a move with unit w strides and no shifts
  // (case_fill and case0 below) is accepted before the rest is worked out.
  if (dst_wstride == 1 && dst_wshift == 0 && (is_fill || (src_wstride == 1 && src_wshift == 0))) return;
  const int src_size = get_type_len(src_format), dst_size = get_type_len(dst_format);
  const int same_nchw = src_nsize == dst_nsize && src_csize == dst_csize && src_hsize == dst_hsize &&
                        src_wsize == dst_wsize;
  // The w stride seen through the shift, in bytes (a shift of 63 or more leaves the sign).
  const i64 shifted = (i64)src_wstride >> (src_wshift < 0 ? 0 : src_wshift > 63 ? 63 : src_wshift);
  const int case_fill = is_fill && dst_wstride == 1 && dst_wshift == 0;
  const int case0 = !is_fill && src_wstride == 1 && src_wshift == 0 && dst_wstride == 1 && dst_wshift == 0;
  const int case1 = !is_fill && src_hsize == 1 && dst_hsize == 1 && src_nsize == dst_nsize &&
                    src_csize == dst_csize && src_wsize == dst_wsize && shifted * src_size <= 128 &&
                    src_format == dst_format && dst_wstride == 1 && dst_wshift == 0;
  // The batch spreads: bytes to every fourth (4N) or half-words to every second (2N).
  const int case2 = !is_fill && ((same_nchw && src_wstride == 1 && dst_wstride == 4 && src_wshift == 0 &&
                                  dst_wshift == 0 && src_size == 1 && dst_size == 1) ||
                                 case_2n_spread(same_nchw, src_wstride, src_wshift, src_format, dst_wstride,
                                                dst_wshift, dst_format));
  ASSERT_FS((case_fill || case0 || case1 || case2),
            "tensor param check failed:\nis_fill=%d, is_transpose=%d , case0=%d, case1=%d, case2=%d\n"
            "src_nsize=%d, src_csize=%d, src_hsize=%d, src_wsize=%d, src_hstride=%d, src_wstride=%d, "
            "src_hshift=%d, src_wshift=%d, src_format=%d\n"
            "dst_nsize=%d, dst_csize=%d, dst_hsize=%d, dst_wsize=%d, dst_hstride=%d, dst_wstride=%d, "
            "dst_hshift=%d, dst_wshift=%d, dst_format=%d",
            is_fill, is_transpose, case0, case1, case2, src_nsize, src_csize, src_hsize, src_wsize, src_hstride,
            src_wstride, src_hshift, src_wshift, (int)src_format, dst_nsize, dst_csize, dst_hsize, dst_wsize,
            dst_hstride, dst_wstride, dst_hshift, dst_wshift, (int)dst_format);
}

// ---- General moves ----

// The engine converts between float32, uint8 and int8 only: the 2-byte code 4
// and the 4-byte code 8 (whose sizes get_type_len knows) move only unconverted,
// and code 8 has no descriptor code at all (the format fields are 3 bits).
static int gdma_format_converts(gdma_value_format_t f) {
  return f == GDMA_VALUE_FORMAT_FLOAT32 || f == GDMA_VALUE_FORMAT_UINT8 || f == GDMA_VALUE_FORMAT_INT8;
}
#define GDMA_CHECK_CONVERSION(src_format, dst_format)                                                   \
  ASSERT_FS(gdma_format_converts(src_format) && gdma_format_converts(dst_format),                     \
            "the engine converts only between float32, uint8 and int8: src_format=%d, dst_format=%d", \
            (int)(src_format), (int)(dst_format))
#define GDMA_CHECK_CODE(format) \
  ASSERT_FS((u32)(format) < 8, "format %d has no descriptor code", (int)(format))


// The address checks every general move makes before anything is written: a
// local side needs a lane and an offset that the tagged 32-bit address can
// hold, a global side 40 bits.
#define ASSERT_FS_SIDE_ADDR(addr, lane, local)                                                              \
  do {                                                                                                      \
    if (local) {                                                                                            \
      ASSERT_FS(lane >= 0 && lane < NPU_NUM, "local lane %d", lane);                                         \
      ASSERT_FS((addr >> 32) == 0, "local address 0x%x%08x does not fit 32 bits", (unsigned)(addr >> 32),    \
                (unsigned)addr);                                                                            \
    } else {                                                                                                \
      ASSERT_FS(addr < GDMA_GLOBAL_ADDR_LIMIT, "global address 0x%x%08x is beyond 40 bits",                \
                (unsigned)(addr >> 32), (unsigned)addr);                                                   \
    }                                                                                                       \
  } while (0)

// One side of a general move as the composer takes it: a global address, or
// a local offset with its start lane; extents and strides N, C, H, W; the
// sub-element shifts (0-255 each).
typedef struct {
  u64 addr;
  int lane;
  int shape[4];
  int stride[4];
  int hshift, wshift;
  u32 format;  // the descriptor's code (callers pass codes beyond the enum's, e.g. 4 for 2-byte data)
} move_side_t;

#define MOVE_SIDE(p, hshift, wshift)                                                                        \
  {p##_addr, p##_lane, {p##_N, p##_C, p##_H, p##_W}, {p##_nstride, p##_cstride, p##_hstride, p##_wstride}, \
   hshift, wshift, (u32)p##_format}

// Composes and issues one general move whose parameters have been checked.
static void general_move_issue(const move_side_t *src, const move_side_t *dst, gdma_direction_t direction,
                               u32 mode, cmd_id_node_t *node) {
  const u64 src_addr = side_is_local(direction, 1) ? tag_local(src->addr, src->lane) : src->addr;
  const u64 dst_addr = side_is_local(direction, 0) ? tag_local(dst->addr, dst->lane) : dst->addr;
  gdma_desc_t d;
  gdma_desc_init(&d);
  gdma_desc_set(&d, GDMA_FIELD_STRIDE_EN, 1);
  gdma_desc_set(&d, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_desc_set(&d, GDMA_FIELD_MODE, mode);
  gdma_desc_set(&d, GDMA_FIELD_DST_FORMAT, dst->format);
  gdma_desc_set(&d, GDMA_FIELD_SRC_FORMAT, src->format);
  gdma_desc_set(&d, GDMA_FIELD_WORD2, 0);
  const u32 src_stride[4] = {(u32)src->stride[0], (u32)src->stride[1], (u32)src->stride[2], (u32)src->stride[3]};
  const u32 dst_stride[4] = {(u32)dst->stride[0], (u32)dst->stride[1], (u32)dst->stride[2], (u32)dst->stride[3]};
  gdma_desc_strides(&d, src_stride, dst_stride);
  gdma_desc_set(&d, GDMA_FIELD_SRC_N, (u32)src->shape[0]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_C, (u32)src->shape[1]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_H, (u32)src->shape[2]);
  gdma_desc_set(&d, GDMA_FIELD_SRC_W, (u32)src->shape[3]);
  // Under transpose the destination extents are not checked: they are written
  // as given, cut to their 16-bit fields.
  gdma_desc_set(&d, GDMA_FIELD_DST_N, (u32)dst->shape[0] & 0xffffu);
  gdma_desc_set(&d, GDMA_FIELD_DST_C, (u32)dst->shape[1] & 0xffffu);
  gdma_desc_set(&d, GDMA_FIELD_DST_H, (u32)dst->shape[2] & 0xffffu);
  gdma_desc_set(&d, GDMA_FIELD_DST_W, (u32)dst->shape[3] & 0xffffu);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_LO, (u32)src_addr);
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_LO, (u32)dst_addr);
  gdma_desc_set(&d, GDMA_FIELD_SRC_ADDR_HI, (u32)(src_addr >> 32));
  gdma_desc_set(&d, GDMA_FIELD_DST_ADDR_HI, (u32)(dst_addr >> 32));
  gdma_desc_shifts(&d, (u32)src->hshift, (u32)src->wshift, (u32)dst->hshift, (u32)dst->wshift);
  gdma_desc_issue(&d, node);
}

void __tensor_general_move_gen_cmd(u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W,
                                   int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                   gdma_value_format_t src_format, u64 dst_addr, int dst_lane, int dst_N,
                                   int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
                                   int dst_hstride, int dst_wstride, gdma_value_format_t dst_format,
                                   gdma_direction_t direction, int transpose, cmd_id_node_t *node) {
  ASSERT_FS_DIM(src_N, src_N, GDMA_MAX_N);
  ASSERT_FS_DIM(src_C, src_C, GDMA_MAX_C);
  ASSERT_FS_DIM(src_H, src_H, GDMA_MAX_H);
  ASSERT_FS_DIM(src_W, src_W, GDMA_MAX_W);
  GDMA_CHECK_CODE(src_format);
  GDMA_CHECK_CODE(dst_format);
  ASSERT_FS(!(dst_format != src_format && transpose), "When transpose, dst_format must be the same as src_format");
  if (!transpose) {
    ASSERT_FS_DIM(dst_N, dst_N, GDMA_MAX_N);
    ASSERT_FS_DIM(dst_C, dst_C, GDMA_MAX_C);
    ASSERT_FS_DIM(dst_H, dst_H, GDMA_MAX_H);
    ASSERT_FS_DIM(dst_W, dst_W, GDMA_MAX_W);
    // Counted in 64 bits: 32-bit products of extents up to 65535 overflow.
    ASSERT_FS((i64)dst_N * dst_C * dst_H * dst_W == (i64)src_N * src_C * src_H * src_W,
              "dst_count=%d, src_count=%d", (int)((u32)dst_N * (u32)dst_C * (u32)dst_H * (u32)dst_W),
              (int)((u32)src_N * (u32)src_C * (u32)src_H * (u32)src_W));
  }
  CHECK_TENSOR_PARAM(0, transpose, src_N, src_C, src_H, src_W, src_hstride, src_wstride, 0, 0, src_format,
                     transpose ? dst_C : dst_N, transpose ? dst_N : dst_C, dst_H, dst_W, dst_hstride,
                     dst_wstride, 0, 0, dst_format);
  u32 mode = transpose ? GDMA_MODE_TRANS_NC : GDMA_MODE_PLAIN;
  if (src_format != dst_format) {
    ASSERT_FS(src_format != GDMA_VALUE_FORMAT_INT16, "src_format=%d must not be INT16(%d) for conversion",
              (int)src_format, (int)src_format);
    ASSERT_FS(dst_format != GDMA_VALUE_FORMAT_INT16, "dst_format=%d must not be INT16(%d) for conversion",
              (int)dst_format, (int)dst_format);
    GDMA_CHECK_CONVERSION(src_format, dst_format);
    mode = GDMA_MODE_CONVERT;
  }
  ASSERT_FS_SIDE_ADDR(src_addr, src_lane, side_is_local(direction, 1));
  ASSERT_FS_SIDE_ADDR(dst_addr, dst_lane, side_is_local(direction, 0));
  const move_side_t src = MOVE_SIDE(src, 0, 0), dst = MOVE_SIDE(dst, 0, 0);
  general_move_issue(&src, &dst, direction, mode, node);
}

void tensor_general_move_gen_cmd_with_shift_fast(
    u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W, int src_nstride, int src_cstride,
    int src_hstride, int src_wstride, int src_hshift, int src_wshift, gdma_value_format_t src_format,
    u64 dst_addr, int dst_lane, int dst_N, int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
    int dst_hstride, int dst_wstride, int dst_hshift, int dst_wshift, gdma_value_format_t dst_format,
    gdma_direction_t direction, int transpose, cmd_id_node_t *node) {
  ASSERT_FS_DIM(src_N, src_N, GDMA_MAX_N);
  ASSERT_FS_DIM(src_C, src_C, GDMA_MAX_C);
  ASSERT_FS_DIM(src_H, src_H, GDMA_MAX_H);
  ASSERT_FS_DIM(src_W, src_W, GDMA_MAX_W);
  GDMA_CHECK_CODE(src_format);
  GDMA_CHECK_CODE(dst_format);
  ASSERT_FS(!(dst_format != src_format && transpose),
            "when using transpose, src_format=%d must be the same as dst_format=%d", (int)src_format,
            (int)dst_format);
  if (!transpose) {
    ASSERT_FS_DIM(dst_N, dst_N, GDMA_MAX_N);
    ASSERT_FS_DIM(dst_C, dst_C, GDMA_MAX_C);
    ASSERT_FS_DIM(dst_H, dst_H, GDMA_MAX_H);
    ASSERT_FS_DIM(dst_W, dst_W, GDMA_MAX_W);
    ASSERT_FS((i64)dst_N * dst_C * dst_H * dst_W == (i64)src_N * src_C * src_H * src_W);
  }
  // Each shift has one byte of word 19: a larger one would spill into its neighbour.
  ASSERT_FS(src_hshift >= 0 && src_hshift <= 255 && src_wshift >= 0 && src_wshift <= 255 && dst_hshift >= 0 &&
                dst_hshift <= 255 && dst_wshift >= 0 && dst_wshift <= 255,
            "shifts %d %d %d %d must each be 0 to 255", src_hshift, src_wshift, dst_hshift, dst_wshift);
  CHECK_TENSOR_PARAM(0, transpose, src_N, src_C, src_H, src_W, src_hstride, src_wstride, src_hshift, src_wshift,
                     src_format, transpose ? dst_C : dst_N, transpose ? dst_N : dst_C, dst_H, dst_W,
                     dst_hstride, dst_wstride, dst_hshift, dst_wshift, dst_format);
  u32 mode = transpose ? GDMA_MODE_TRANS_NC : GDMA_MODE_PLAIN;
  if (src_format != dst_format) {
    ASSERT_FS(src_format != GDMA_VALUE_FORMAT_INT16, "src_format=%d must not be INT16(%d) for conversion",
              (int)src_format, (int)src_format);
    ASSERT_FS(dst_format != GDMA_VALUE_FORMAT_INT16, "dst_format=%d must not be INT16(%d) for conversion",
              (int)dst_format, (int)dst_format);
    GDMA_CHECK_CONVERSION(src_format, dst_format);
    mode = GDMA_MODE_CONVERT;
  }
  ASSERT_FS_SIDE_ADDR(src_addr, src_lane, side_is_local(direction, 1));
  ASSERT_FS_SIDE_ADDR(dst_addr, dst_lane, side_is_local(direction, 0));
  const move_side_t src = MOVE_SIDE(src, src_hshift, src_wshift), dst = MOVE_SIDE(dst, dst_hshift, dst_wshift);
  general_move_issue(&src, &dst, direction, mode, node);
}

void tensor_general_move_gen_cmd(u64 src_addr, int src_lane, int src_N, int src_C, int src_H, int src_W,
                                 int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                 gdma_value_format_t src_format, u64 dst_addr, int dst_lane, int dst_N,
                                 int dst_C, int dst_H, int dst_W, int dst_nstride, int dst_cstride,
                                 int dst_hstride, int dst_wstride, gdma_value_format_t dst_format,
                                 gdma_direction_t direction, int transpose, cmd_id_node_t *node) {
  if (transpose || src_N != dst_N || src_C != dst_C || src_H != dst_H || src_W != dst_W) {
    __tensor_general_move_gen_cmd(src_addr, src_lane, src_N, src_C, src_H, src_W, src_nstride, src_cstride,
                                  src_hstride, src_wstride, src_format, dst_addr, dst_lane, dst_N, dst_C, dst_H,
                                  dst_W, dst_nstride, dst_cstride, dst_hstride, dst_wstride, dst_format,
                                  direction, transpose, node);
    return;
  }
  const dim4_t shape = {src_N, src_C, src_H, src_W};
  const gdma_side_t src = {{src_nstride, src_cstride, src_hstride, src_wstride},
                           get_type_len(src_format),
                           side_is_local(direction, 1)};
  const gdma_side_t dst = {{dst_nstride, dst_cstride, dst_hstride, dst_wstride},
                           get_type_len(dst_format),
                           side_is_local(direction, 0)};
  gdma_general_split_t split;
  gdma_piece_t p;
  gdma_general_split_init(&split, &shape, &src, &dst);
  while (gdma_general_split_next(&split, &p))
    __tensor_general_move_gen_cmd(src_addr + (u64)p.src_offset, src_lane, p.n, p.c, p.h, p.w, src_nstride,
                                  src_cstride, src_hstride, src_wstride, src_format, dst_addr + (u64)p.dst_offset,
                                  dst_lane, p.n, p.c, p.h, p.w, dst_nstride, dst_cstride, dst_hstride, dst_wstride,
                                  dst_format, direction, 0, node);
}

// ---- Moves between global and local memory ----

// The fields every move between a local and a global tensor sets: both
// addresses by direction, the mode, format, shape and direction.
static inline void compose_local_global_move(gdma_compose_t *c, u32 local_offset, int local_lane, u64 global_addr,
                                             int N, int C, int H, int W, gdma_value_format_t format,
                                             gdma_direction_t direction, int transpose) {
  const u64 local = tag_local(local_offset, local_lane);
  const u64 src = direction == GDMA_VALUE_DIR_S2L ? global_addr : local;
  const u64 dst = direction == GDMA_VALUE_DIR_S2L ? local : global_addr;
  gdma_compose_begin(c);
  gdma_compose_set(c, GDMA_FIELD_MODE, (u32)(transpose != 0));
  gdma_compose_addrs(c, src, dst);
  gdma_compose_set(c, GDMA_FIELD_SRC_FORMAT, (u32)format);
  gdma_compose_src_shape(c, (u32)N, (u32)C, (u32)H, (u32)W);
  gdma_compose_set(c, GDMA_FIELD_DIRECTION, (u32)direction);
}

void __tensor_stride_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                                  int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                  int dst_nstride, int dst_cstride, int dst_hstride, int dst_wstride,
                                  gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                  cmd_id_node_t *node) {
  ASSERT_FS_DIM(src_N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(src_C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(src_H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(src_W, W, GDMA_MAX_W);
  ASSERT_FS(direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L, "directin=%d", (int)direction);
  CHECK_TENSOR_PARAM(0, transpose, N, C, H, W, src_hstride, src_wstride, 0, 0, format, N, C, H, W, dst_hstride,
                     dst_wstride, 0, 0, format);
  ASSERT_FS_SIDE_ADDR(global_addr, local_lane, 0);
  ASSERT_FS_SIDE_ADDR((u64)local_offset, local_lane, 1);
  gdma_compose_t c;
  compose_local_global_move(&c, local_offset, local_lane, global_addr, N, C, H, W, format, direction, transpose);
  gdma_compose_set(&c, GDMA_FIELD_SRC_NSTRIDE, (u32)src_nstride);
  gdma_compose_set(&c, GDMA_FIELD_SRC_CSTRIDE, (u32)src_cstride);
  gdma_compose_set(&c, GDMA_FIELD_SRC_HSTRIDE, (u32)src_hstride);
  gdma_compose_set(&c, GDMA_FIELD_SRC_WSTRIDE, (u32)src_wstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_NSTRIDE, (u32)dst_nstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_CSTRIDE, (u32)dst_cstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_HSTRIDE, (u32)dst_hstride);
  gdma_compose_set(&c, GDMA_FIELD_DST_WSTRIDE, (u32)dst_wstride);
  gdma_compose_set(&c, GDMA_FIELD_STRIDE_EN, 1);
  gdma_compose_issue(&c, node);
}

void tensor_stride_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                                int src_nstride, int src_cstride, int src_hstride, int src_wstride,
                                int dst_nstride, int dst_cstride, int dst_hstride, int dst_wstride,
                                gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                cmd_id_node_t *node) {
  const dim4_t shape = {N, C, H, W};
  const int size = get_type_len(format);
  const gdma_side_t src = {{src_nstride, src_cstride, src_hstride, src_wstride}, size,
                           direction == GDMA_VALUE_DIR_L2S};
  const gdma_side_t dst = {{dst_nstride, dst_cstride, dst_hstride, dst_wstride}, size,
                           direction == GDMA_VALUE_DIR_S2L};
  gdma_stride_split_t split;
  gdma_piece_t p;
  gdma_stride_split_init(&split, &shape, &src, &dst, transpose);
  while (gdma_stride_split_next(&split, &p)) {
    const i64 local_step = direction == GDMA_VALUE_DIR_S2L ? p.dst_offset : p.src_offset;
    const i64 global_step = direction == GDMA_VALUE_DIR_S2L ? p.src_offset : p.dst_offset;
    __tensor_stride_move_gen_cmd(local_offset + (u32)local_step, local_lane, global_addr + (u64)global_step, p.n,
                                 p.c, p.h, p.w, src_nstride, src_cstride, p.src_hstride, src_wstride, dst_nstride,
                                 dst_cstride, p.dst_hstride, dst_wstride, format, direction, transpose, node);
  }
}

void general_align_tensor_move_L2G_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C,
                                           int H, int W, int global_nstride, int global_cstride,
                                           cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)H * (u32)W);
  tensor_stride_move_gen_cmd(local_offset, local_lane, global_addr, N, C, H, W,
                             plane * (int)lane_rows((u32)local_lane, (u32)C), plane, W, 1, global_nstride, global_cstride, W,
                             1, GDMA_VALUE_FORMAT_FLOAT32, GDMA_VALUE_DIR_L2S, 0, node);
}

void general_align_tensor_move_G2L_gen_cmd(u64 global_addr, u32 local_offset, int local_lane, int N, int C,
                                           int H, int W, int global_nstride, int global_cstride,
                                           cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)H * (u32)W);
  tensor_stride_move_gen_cmd(local_offset, local_lane, global_addr, N, C, H, W, global_nstride, global_cstride, W,
                             1, plane * (int)lane_rows((u32)local_lane, (u32)C), plane, W, 1, GDMA_VALUE_FORMAT_FLOAT32,
                             GDMA_VALUE_DIR_S2L, 0, node);
}

void tensor_align_move_gen_cmd(u32 local_offset, int local_lane, u64 global_addr, int N, int C, int H, int W,
                               gdma_value_format_t format, gdma_direction_t direction, int transpose,
                               cmd_id_node_t *node) {
  ASSERT_FS_DIM(src_N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(src_C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(src_H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(src_W, W, GDMA_MAX_W);
  ASSERT_FS(direction == GDMA_VALUE_DIR_L2S || direction == GDMA_VALUE_DIR_S2L, "directin=%d", (int)direction);
  ASSERT_FS_SIDE_ADDR(global_addr, local_lane, 0);
  ASSERT_FS_SIDE_ADDR((u64)local_offset, local_lane, 1);
  gdma_compose_t c;
  compose_local_global_move(&c, local_offset, local_lane, global_addr, N, C, H, W, format, direction, transpose);
  gdma_compose_issue(&c, node);
}

void tensor_compact_move_gen_cmd(u32 local_mem_start_addr, int local_lane, u64 global_addr, int N, int C, int H,
                                 int W, gdma_value_format_t format, gdma_direction_t direction, int transpose,
                                 cmd_id_node_t *node) {
  ASSERT_FS((local_mem_start_addr| 0x08000000) - 0x08000000 < (1<<19));
  ASSERT_FS_DIM(N, N, GDMA_MAX_N);
  ASSERT_FS_DIM(C, C, GDMA_MAX_C);
  ASSERT_FS_DIM(H, H, GDMA_MAX_H);
  ASSERT_FS_DIM(W, W, GDMA_MAX_W);
  ASSERT_FS(direction == 1 || direction == 0);
  const int plane = H * W;
  const int channels_out = transpose ? N : C;  // the destination's channels
  int src_n, dst_n;
  if (direction == GDMA_VALUE_DIR_L2S) {
    src_n = plane * (int)lane_rows((u32)local_lane, (u32)C);
    dst_n = plane * channels_out;
  } else {
    src_n = plane * C;
    dst_n = plane * (int)lane_rows((u32)local_lane, (u32)channels_out);
  }
  CHECK_TENSOR_PARAM(0, transpose, N, C, H, W, W, 1, 0, 0, format, N, C, H, W, W, 1, 0, 0, format);
  ASSERT_FS_SIDE_ADDR(global_addr, local_lane, 0);
  ASSERT_FS(local_lane >= 0 && local_lane < NPU_NUM, "local lane %d", local_lane);
  const u64 local = tag_local(local_mem_start_addr, local_lane);
  const u64 src = direction == GDMA_VALUE_DIR_S2L ? global_addr : local;
  const u64 dst = direction == GDMA_VALUE_DIR_S2L ? local : global_addr;
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_addrs(&c, src, dst);
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)format);
  gdma_compose_src_shape(&c, (u32)N, (u32)C, (u32)H, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_MODE, (u32)(transpose != 0));
  gdma_compose_set(&c, GDMA_FIELD_SRC_NSTRIDE, (u32)src_n);
  gdma_compose_set(&c, GDMA_FIELD_SRC_CSTRIDE, (u32)plane);
  gdma_compose_set(&c, GDMA_FIELD_SRC_HSTRIDE, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_SRC_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_DST_NSTRIDE, (u32)dst_n);
  gdma_compose_set(&c, GDMA_FIELD_DST_CSTRIDE, (u32)plane);
  gdma_compose_set(&c, GDMA_FIELD_DST_HSTRIDE, (u32)W);
  gdma_compose_set(&c, GDMA_FIELD_DST_WSTRIDE, 1);
  gdma_compose_set(&c, GDMA_FIELD_STRIDE_EN, 1);
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_compose_issue(&c, node);
}

void general_gdma_gen_cmd(u64 src_addr, u64 dst_addr, gdma_value_format_t format, int src_count,
                          gdma_direction_t direction, cmd_id_node_t *node) {
  ASSERT_FS(src_count > 0, "src_count=%d", src_count);
  ASSERT_FS_SIDE_ADDR(src_addr, 0, 0);
  ASSERT_FS_SIDE_ADDR(dst_addr, 0, 0);
  gdma_compose_t c;
  gdma_compose_begin(&c);
  gdma_compose_addrs(&c, src_addr, dst_addr);
  gdma_compose_set(&c, GDMA_FIELD_FLAT_COPY, 1);
  gdma_compose_set(&c, GDMA_FIELD_SRC_FORMAT, (u32)format);
  gdma_compose_set(&c, GDMA_FIELD_COUNT, (u32)src_count);
  gdma_compose_set(&c, GDMA_FIELD_DIRECTION, (u32)direction);
  gdma_compose_issue(&c, node);
}
