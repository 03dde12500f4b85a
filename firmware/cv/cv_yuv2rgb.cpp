#include "cv/cv_yuv2rgb.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "local/conversion.h"
#include "runtime/assert.h"

// ---- Tile plan ----

dim4_t split_tensor_for_yuv2rgb(u32 n, u32 h, u32 w, u32 budget) {
  dim4_t t;
  t.c = h > 127 ? NPU_NUM : (i32)(h / 2);
  if (ALIGN(2 * w, 32u) > budget) {
    // A row pair does not fit: column slices of two rows per lane.
    t.h = 2;
    t.w = (i32)(budget / 2);
    t.n = 1;
    return t;
  }
  t.w = (i32)w;
  u32 rows = 2;
  const u32 zeros = h ? (u32)__builtin_ctz(h) : 0;
  for (u32 k = 1; k < zeros && budget / ALIGN(2 * rows * w, 32u) >= 1 && h >= 128 * rows; k++) rows *= 2;
  t.h = (i32)rows;
  u32 images = budget / ALIGN(rows * w, 32u);
  if (images < 1) images = 1;
  if (images > n) images = n;
  t.n = (i32)images;
  return t;
}

u32 cv_yuv_chroma_ratio(u32 image_format) {
  switch (image_format) {
    case CV_YUV444_PLANAR:
    case CV_NV16:
    case CV_NV61:
      return 1;
    case CV_YUV422_PLANAR:
    case CV_NV12:
    case CV_NV21:
      return 2;
    default:  // CV_YUV420_PLANAR and codes outside the table
      return 4;
  }
}

// ---- Kernels shared with the storage conversion ----

// Bytes to floats through the byte-to-float table: n x lanes x rows x cols,
// each item's bytes ALIGN(rows x cols, 128) apart, its floats ALIGN(., 32).
void convert_1N_INT8_to_FP32(u32 src, u32 dst, u32 n, u32 lanes, u32 rows, u32 cols, cmd_id_node_t *node) {
  atomic_table_lookup_gen_cmd(U8_TO_F32_TABLE, src, dst, (int)n, (int)lanes, (int)rows, (int)cols, 256, 0, node);
}

void clip_tensor(u32 addr, const dim4_t *shape, cmd_id_node_t *node) {
  atomic_tensor_arithmetic_gen_cmd(addr, 0, addr, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MAX, 0, 0, 0, 1,
                                   f32_bits(0.0f), 0, node);
  atomic_tensor_arithmetic_gen_cmd(addr, 0, addr, shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MIN, 0, 0, 0, 1,
                                   f32_bits(255.0f), 0, node);
}

// Floats (already within [0, 255]) to bytes packed four to a word, in order:
// n items of `per` values, each item's values ALIGN(per, 32) words apart,
// become ceil(per / 4) words per item ALIGN(ceil(per / 4), 32) apart, at the
// tile's start. `scratch` holds the packed words on the way.
void convert_FP32_to_1N_INT8(u32 addr, u32 n, u32 lanes, u32 per, u32 scratch, cmd_id_node_t *node) {
  const u32 plane = ALIGN(per, 32u), groups = (per + 3) / 4, packed = ALIGN(groups, 32u);
  atomic_md_sfu_gen_cmd(addr, addr, (int)n, (int)lanes, 1, (int)per, 0, SFU_F2I, 0, node);
  for (u32 j = 0; j < 4; j++) {
    // Value j of each group (the last group may have fewer).
    const u32 count = per > j ? (per - j + 3) / 4 : 0;
    if (!count) continue;
    const dim4_t shape = {(i32)n, (i32)lanes, 1, (i32)count};
    const dim4_t from = {(i32)plane, 0, 0, 4}, to = {(i32)packed, 0, 0, 1};
    if (j)
      atomic_tensor_arithmetic_issue_shift_gen_cmd(addr + 4 * j, 0, addr + 4 * j, &shape, 0, 0, 0, &from, NULL,
                                                   &from, TENSOR_OP_SHIFT, 0, 0, 0, 1, 8 * j, 0, 0, node);
    if (j == 0)
      atomic_tensor_copy_gen_cmd(addr, scratch, &shape, &from, &to, node);
    else
      atomic_tensor_arithmetic_gen_cmd(addr + 4 * j, scratch, scratch, &shape, 0, 0, 0, &from, &to, &to,
                                       TENSOR_OP_OR, 0, 0, 0, 0, 0, 0, node);
  }
  const dim4_t shape = {(i32)n, (i32)lanes, 1, (i32)groups};
  const dim4_t dense = {(i32)packed, 0, 0, 1};
  atomic_tensor_copy_gen_cmd(scratch, addr, &shape, &dense, &dense, node);
}

// n images (n <= 4) of `per` floats each (ALIGN(per, 32) apart) to one 4N
// group in image 0's place: image j's integer in byte j of each word.
void convert_FP32_to_4N_INT8(u32 addr, u32 n, u32 lanes, u32 per, cmd_id_node_t *node) {
  const u32 plane = ALIGN(per, 32u);
  atomic_md_sfu_gen_cmd(addr, addr, (int)n, (int)lanes, 1, (int)per, 0, SFU_F2I, 0, node);
  const dim4_t shape = {1, (i32)lanes, 1, (i32)per};
  for (u32 i = 1; i < n; i++) {
    const u32 img = addr + 4 * plane * i;
    atomic_tensor_arithmetic_issue_shift_gen_cmd(img, 0, img, &shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_SHIFT, 0,
                                                 0, 0, 1, 8 * (i % 4), 0, 0, node);
    atomic_tensor_arithmetic_gen_cmd(img, addr, addr, &shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_OR, 0, 0, 0, 0,
                                     0, 0, node);
  }
}

// ---- One slice ----

namespace {

struct yuv_call_t {
  const u64 *input, *output;
  u32 format, dst_type, output_code, n, h, w;
  const float (*m)[4];  // the colour matrix
  dim4_t tile;          // images per slice (dst_type 2: four), lanes, rows per lane, columns
};

struct yuv_slice_t {
  u32 image0, images;  // first image of the slice and how many
  u32 lanes;           // row blocks in use
  u32 row0, col0;      // first row and column of the slice in the image
  u32 cols;            // columns of the slice
};

int is_420(u32 format) { return format == CV_YUV420_PLANAR || format == CV_NV12 || format == CV_NV21 || format > CV_NV61; }
int is_planar(u32 format) { return format <= CV_YUV444_PLANAR || format > CV_NV61; }
int v_first(u32 format) { return format == CV_NV21 || format == CV_NV61; }

// Chroma rows in a lane's block and chroma bytes (planar: of one plane) per row.
u32 chroma_rows(u32 format, u32 rows) { return is_420(format) ? rows / 2 : rows; }
u32 chroma_row_bytes(u32 format, u32 cols) { return is_planar(format) && format != CV_YUV444_PLANAR ? cols / 2 : cols; }
// Chroma floats per row of the interleaved (U, V) buffer.
u32 chroma_row_floats(u32 format, u32 cols) { return format == CV_YUV444_PLANAR ? 2 * cols : cols; }

dim4_t st(i32 n, i32 c, i32 h, i32 w) {
  dim4_t s = {n, c, h, w};
  return s;
}

u32 tag(u32 half, u32 offset) { return LOCAL_ADDR_TAG | (half + offset); }

// Loads the slice's Y, U and V bytes of every image into one half.
void one_image_move_in(const yuv_call_t *k, const yuv_slice_t *s, u32 half, cmd_id_node_t *node) {
  const u32 hp = (u32)k->tile.h, wc = s->cols, ratio = cv_yuv_chroma_ratio(k->format);
  const u32 y_step = ALIGN(hp * wc, 128u), c_step = ALIGN(hp * wc / ratio, 128u);
  const u32 c_rows = chroma_rows(k->format, hp), c_bytes = chroma_row_bytes(k->format, wc);
  const u32 c_line = chroma_row_bytes(k->format, k->w);  // bytes of one row of a chroma plane
  const u32 c_col = is_planar(k->format) && k->format != CV_YUV444_PLANAR ? s->col0 / 2 : s->col0;
  const u64 y_off = (u64)s->row0 * k->w + s->col0;
  const u64 c_off = (u64)s->row0 * k->w / ratio + c_col;
  for (u32 i = 0; i < s->images; i++) {
    const u32 img = s->image0 + i;
    tensor_general_move_gen_cmd(k->input[3 * img] + y_off, 0, 1, (int)s->lanes, (int)hp, (int)wc, 0,
                                (int)(hp * k->w), (int)k->w, 1, GDMA_VALUE_FORMAT_UINT8,
                                half + CV_YUV_LOCAL_Y + i * y_step, 0, 1, (int)s->lanes, (int)hp, (int)wc, 0,
                                (int)y_step, (int)wc, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2L, 0, node);
    const int planes = is_planar(k->format) ? 2 : 1;
    for (int p = 0; p < planes; p++) {
      const u32 local = half + (p ? CV_YUV_LOCAL_V : CV_YUV_LOCAL_U) + i * c_step;
      tensor_general_move_gen_cmd(k->input[3 * img + 1 + p] + c_off, 0, 1, (int)s->lanes, (int)c_rows,
                                  (int)c_bytes, 0, (int)(c_rows * c_line), (int)c_line, 1, GDMA_VALUE_FORMAT_UINT8,
                                  local, 0, 1, (int)s->lanes, (int)c_rows, (int)c_bytes, 0, (int)c_step,
                                  (int)c_bytes, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2L, 0, node);
    }
  }
}

// The colour matrix on one sub-sample phase: `yoff`, `coff` are the phase's
// first elements (floats) in the R, G, B tiles and in the chroma buffer.
void nodechip_cv_float_YCrCb_to_RGB_local(const yuv_call_t *k, u32 half, const dim4_t *shape,
                                          const dim4_t *y_stride, const dim4_t *c_stride, u32 yoff, u32 coff,
                                          cmd_id_node_t *node) {
  const float(*m)[4] = k->m;
  const u32 u = tag(half, CV_YUV_LOCAL_UV) + 4 * (coff + (v_first(k->format) ? 1 : 0));
  const u32 v = tag(half, CV_YUV_LOCAL_UV) + 4 * (coff + (v_first(k->format) ? 0 : 1));
  const u32 r = tag(half, CV_YUV_LOCAL_Y) + 4 * yoff, g = tag(half, CV_YUV_LOCAL_G) + 4 * yoff,
            b = tag(half, CV_YUV_LOCAL_YF) + 4 * yoff;
  // R, G and B hold Yc already; each adds its chroma products.
  atomic_tensor_arithmetic_gen_cmd(v, 0, r, shape, 0, 0, 0, c_stride, NULL, y_stride, TENSOR_OP_MAC, 0, 0, 0, 1,
                                   f32_bits(m[0][2]), 0, node);
  atomic_tensor_arithmetic_gen_cmd(u, 0, b, shape, 0, 0, 0, c_stride, NULL, y_stride, TENSOR_OP_MAC, 0, 0, 0, 1,
                                   f32_bits(m[2][1]), 0, node);
  atomic_tensor_arithmetic_gen_cmd(u, 0, g, shape, 0, 0, 0, c_stride, NULL, y_stride, TENSOR_OP_MAC, 0, 0, 0, 1,
                                   f32_bits(m[1][1]), 0, node);
  atomic_tensor_arithmetic_gen_cmd(v, 0, g, shape, 0, 0, 0, c_stride, NULL, y_stride, TENSOR_OP_MAC, 0, 0, 0, 1,
                                   f32_bits(m[1][2]), 0, node);
}

void convert(const yuv_call_t *k, const yuv_slice_t *s, u32 half, cmd_id_node_t *node) {
  const u32 hp = (u32)k->tile.h, wc = s->cols, ni = s->images, lanes = s->lanes;
  const u32 P = hp * wc, plane = ALIGN(P, 32u);
  const u32 c_rows = chroma_rows(k->format, hp), c_bytes = chroma_row_bytes(k->format, wc);
  const u32 c_floats = chroma_row_floats(k->format, wc), c_plane = ALIGN(c_rows * c_floats, 32u);
  // 1. Y to floats.
  convert_1N_INT8_to_FP32(tag(half, CV_YUV_LOCAL_Y), tag(half, CV_YUV_LOCAL_YF), ni, lanes, hp, wc, node);
  // 2. Chroma to floats in (U, V) pairs.
  if (!is_planar(k->format)) {
    convert_1N_INT8_to_FP32(tag(half, CV_YUV_LOCAL_U), tag(half, CV_YUV_LOCAL_UV), ni, lanes, c_rows, c_bytes, node);
  } else {
    const u32 scratch_plane = ALIGN(c_rows * c_bytes, 32u);
    const dim4_t shape = {(i32)ni, (i32)lanes, (i32)c_rows, (i32)c_bytes};
    const dim4_t from = st((i32)scratch_plane, 0, (i32)c_bytes, 1), to = st((i32)c_plane, 0, (i32)c_floats, 2);
    for (u32 p = 0; p < 2; p++) {
      convert_1N_INT8_to_FP32(tag(half, p ? CV_YUV_LOCAL_V : CV_YUV_LOCAL_U), tag(half, CV_YUV_LOCAL_G), ni, lanes,
                              c_rows, c_bytes, node);
      atomic_tensor_copy_gen_cmd(tag(half, CV_YUV_LOCAL_G), tag(half, CV_YUV_LOCAL_UV) + 4 * p, &shape, &from, &to,
                                 node);
    }
  }
  // Chroma offset off the whole buffer; Yc = coefficient x (Y - Y offset) into R, G and B.
  atomic_md_linear_gen_cmd(tag(half, CV_YUV_LOCAL_UV), 0, 0, tag(half, CV_YUV_LOCAL_UV), (int)ni, (int)lanes, 1,
                           (int)(c_rows * c_floats), 1, 1, f32_bits(k->m[1][3]), f32_bits(1.0f), 0, 2, node);
  const u32 yf = tag(half, CV_YUV_LOCAL_YF);
  const u32 rgb[3] = {tag(half, CV_YUV_LOCAL_Y), tag(half, CV_YUV_LOCAL_G), yf};
  for (int i = 0; i < 3; i++)
    atomic_md_linear_gen_cmd(yf, 0, 0, rgb[i], (int)ni, (int)lanes, (int)hp, (int)wc, 1, 1, f32_bits(k->m[0][3]),
                             f32_bits(k->m[0][0]), 0, 2, node);
  // 3, 4. The matrix per sub-sample phase.
  if (k->format == CV_YUV444_PLANAR) {
    const dim4_t shape = {(i32)ni, (i32)lanes, (i32)hp, (i32)wc};
    const dim4_t ys = st((i32)plane, 0, (i32)wc, 1), cs = st((i32)c_plane, 0, (i32)c_floats, 2);
    nodechip_cv_float_YCrCb_to_RGB_local(k, half, &shape, &ys, &cs, 0, 0, node);
  } else {
    const dim4_t shape = {(i32)ni, (i32)lanes, (i32)(hp / 2), (i32)(wc / 2)};
    const dim4_t ys = st((i32)plane, 0, (i32)(2 * wc), 2);
    // 4:2:0: both rows of a pair read one chroma row; 4:2:2: each row its own.
    const u32 c_row_step = is_420(k->format) ? c_floats : 2 * c_floats;
    const dim4_t cs = st((i32)c_plane, 0, (i32)c_row_step, 2);
    for (u32 dy = 0; dy < 2; dy++)
      for (u32 dx = 0; dx < 2; dx++) {
        const u32 coff = is_420(k->format) ? 0 : dy * c_floats;
        nodechip_cv_float_YCrCb_to_RGB_local(k, half, &shape, &ys, &cs, dy * wc + dx, coff, node);
      }
  }
  const dim4_t whole = {(i32)ni, (i32)lanes, 1, (i32)P};
  for (int i = 0; i < 3; i++) clip_tensor(rgb[i], &whole, node);
  // 5. Packing.
  for (int i = 0; i < 3; i++) {
    if (k->dst_type == DATA_TYPE_EXT_1N_BYTE)
      convert_FP32_to_1N_INT8(rgb[i], ni, lanes, P, tag(half, CV_YUV_LOCAL_UV), node);
    else if (k->dst_type == DATA_TYPE_EXT_4N_BYTE)
      convert_FP32_to_4N_INT8(rgb[i], ni, lanes, P, node);
  }
}

// Stores the slice's R, G, B tiles as three planes per image (dst_type 2: per group).
void channel_move_out(const yuv_call_t *k, const yuv_slice_t *s, u32 half, cmd_id_node_t *node) {
  const u32 hp = (u32)k->tile.h, wc = s->cols, P = hp * wc;
  const int bytes = k->dst_type == DATA_TYPE_EXT_1N_BYTE;
  const u32 e = bytes ? 1 : 4;
  const gdma_value_format_t format = bytes ? GDMA_VALUE_FORMAT_UINT8 : GDMA_VALUE_FORMAT_FLOAT32;
  const u32 step = bytes ? 4 * ALIGN((P + 3) / 4, 32u) : 4 * ALIGN(P, 32u);  // bytes between local items
  const u64 S = (u64)k->h * k->w * e;
  const u64 at = ((u64)s->row0 * k->w + s->col0) * e;
  // Local tiles: R, G, B; output planes B, G, R (code 8: R, G, B).
  const u32 tiles[3] = {CV_YUV_LOCAL_Y, CV_YUV_LOCAL_G, CV_YUV_LOCAL_YF};
  const u32 rgb_order = k->output_code == CV_YUV_OUTPUT_RGB;
  const u32 items = k->dst_type == DATA_TYPE_EXT_4N_BYTE ? 1 : s->images;
  for (u32 i = 0; i < items; i++) {
    const u64 out = k->output[k->dst_type == DATA_TYPE_EXT_4N_BYTE ? 0 : s->image0 + i];
    for (u32 t = 0; t < 3; t++) {
      const u32 plane = rgb_order ? t : 2 - t;
      tensor_general_move_gen_cmd(half + tiles[t] + i * step, 0, 1, (int)s->lanes, (int)hp, (int)wc, 0, (int)step / (int)e,
                                  (int)wc, 1, format, out + plane * S + at, 0, 1, (int)s->lanes, (int)hp, (int)wc, 0,
                                  (int)(hp * k->w), (int)k->w, 1, format, GDMA_VALUE_DIR_L2S, 0, node);
    }
  }
}

// Slice q of the grid: column slices fastest, then row groups, then image groups.
yuv_slice_t slice_of(const yuv_call_t *k, u32 q) {
  const u32 hp = (u32)k->tile.h, c = (u32)k->tile.c, wp = (u32)k->tile.w, np = (u32)k->tile.n;
  const u32 blocks = k->h / hp, row_groups = (blocks + c - 1) / c, col_slices = (k->w + wp - 1) / wp;
  const u32 cs = q % col_slices, rg = q / col_slices % row_groups, ig = q / col_slices / row_groups;
  yuv_slice_t s;
  s.image0 = ig * np;
  s.images = k->n - s.image0 < np ? k->n - s.image0 : np;
  s.lanes = blocks - rg * c < c ? blocks - rg * c : c;
  s.row0 = rg * c * hp;
  s.col0 = cs * wp;
  s.cols = k->w - s.col0 < wp ? k->w - s.col0 : wp;
  return s;
}

}  // namespace

void nodechip_cv_yuv2rgb_ext(const u64 input[12], u32 src_mode, u32 image_format, const u64 output[4],
                             u32 dst_type, u32 output_code, u32 input_n, u32 h, u32 w, u32 colour_code,
                             cmd_id_node_t *node) {
  ASSERT_FS(src_mode == DATA_TYPE_EXT_1N_BYTE);
  ASSERT_FS(input_n > 0 && input_n <= 4);
  // Row pairs and column pairs carry the chroma: an odd or zero extent would
  // leave rows or columns unconverted (or no lanes at all).
  ASSERT_FS(h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0, "h=%u, w=%u", (unsigned)h, (unsigned)w);
  yuv_call_t k;
  k.input = input;
  k.output = output;
  k.format = image_format;
  k.dst_type = dst_type;
  k.output_code = output_code;
  k.n = input_n;
  k.h = h;
  k.w = w;
  k.m = cv_yuv2rgb_matrix[cv_yuv2rgb_matrix_index(colour_code)];
  if (dst_type == DATA_TYPE_EXT_4N_BYTE) {
    k.tile = split_tensor_for_yuv2rgb(1, h, w, CV_YUV_BUDGET_4N);
    k.tile.n *= 4;
  } else {
    k.tile = split_tensor_for_yuv2rgb(input_n, h, w, CV_YUV_BUDGET);
  }
  const u32 blocks = h / (u32)k.tile.h, c = (u32)k.tile.c;
  const u32 slices = (input_n + (u32)k.tile.n - 1) / (u32)k.tile.n * ((blocks + c - 1) / c) *
                     ((w + (u32)k.tile.w - 1) / (u32)k.tile.w);
  u32 q = 0;
  for (; q + 1 < slices; q += 2) {
    const yuv_slice_t a = slice_of(&k, q), b = slice_of(&k, q + 1);
    cmd_id_node_t move, compute;
    one_image_move_in(&k, &a, 0, node);
    cmd_id_divide(node, &move, &compute);
    one_image_move_in(&k, &b, CV_YUV_PONG, &move);
    convert(&k, &a, 0, &compute);
    cmd_id_merge(node, &move, &compute);
    cmd_id_merge(&move, node, node);
    cmd_id_merge(&compute, node, node);
    node->divided = 1;
    channel_move_out(&k, &a, 0, &move);
    convert(&k, &b, CV_YUV_PONG, &compute);
    cmd_id_merge(node, &move, &compute);
    channel_move_out(&k, &b, CV_YUV_PONG, node);
  }
  if (q < slices) {
    const yuv_slice_t a = slice_of(&k, q);
    one_image_move_in(&k, &a, 0, node);
    convert(&k, &a, 0, node);
    channel_move_out(&k, &a, 0, node);
  }
}
