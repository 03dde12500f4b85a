#include "cv/cv_storage_convert.h"

#include <string.h>

#include "cmd/bd_arith.h"
#include "cmd/bd_md.h"
#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cv/cv_yuv2rgb.h"
#include "runtime/assert.h"


static u32 tag(u32 offset) { return LOCAL_ADDR_TAG | offset; }

u32 cv_storage_elem_bytes(u32 data_type) { return data_type == 1 || data_type == 3 ? 1 : 4; }

// ---- RGB layout (op 0) ----

// Codes 10 and 11 are packed, 9 and 11 put B first.
static int rgb_packed(u32 format) { return format == CV_RGB_PACKED || format == CV_BGR_PACKED; }
static int rgb_b_first(u32 format) { return format == CV_BGR_PLANAR || format == CV_BGR_PACKED; }

// The permutation of one tile of `rows` lanes x 3w elements (as 32-bit
// values) from `src` to `dst`: channel k of the source goes to channel k
// (same order) or 2 - k (other order); planar channels are runs of w, packed
// ones every third element.
static void nodechip_cv_rgb_internal_transform(u32 src, u32 dst, u32 input_format, u32 output_format, u32 rows,
                                               u32 w, cmd_id_node_t *node) {
  const int in_packed = rgb_packed(input_format), out_packed = rgb_packed(output_format);
  const int swap = rgb_b_first(input_format) != rgb_b_first(output_format);
  const u32 plane = ALIGN(3 * w, 32u);
  const dim4_t shape = {1, (i32)rows, 1, (i32)w};
  const dim4_t from = {(i32)plane, 0, 0, in_packed ? 3 : 1}, to = {(i32)plane, 0, 0, out_packed ? 3 : 1};
  for (u32 k = 0; k < 3; k++) {
    const u32 j = swap ? 2 - k : k;
    const u32 a = src + 4 * (in_packed ? k : k * w), r = dst + 4 * (out_packed ? j : j * w);
    atomic_tensor_copy_gen_cmd(a, r, &shape, &from, &to, node);
  }
}

void nodechip_cv_rgb_transform(u64 src, u64 dst, u32 input_format, u32 output_format, u32 elem_bytes, u32 w,
                               u32 h, cmd_id_node_t *node) {
  // A lane holds one row of three channels as floats.
  ASSERT_FS(w > 0 && h > 0 && (u64)ALIGN(3ull * w, 32ull) * 4 <= CV_RGB_LOCAL_DST, "w=%u, h=%u", (unsigned)w,
            (unsigned)h);
  const u32 e = elem_bytes;
  const gdma_value_format_t format = e == 1 ? GDMA_VALUE_FORMAT_INT8 : GDMA_VALUE_FORMAT_FLOAT32;
  const u64 plane = (u64)h * w * e;
  const u32 row = 3 * w;
  for (u32 r0 = 0; r0 < h; r0 += NPU_NUM) {
    const u32 rows = h - r0 < NPU_NUM ? h - r0 : NPU_NUM;
    const u64 at = (u64)r0 * w * e;
    // Load: each lane's row of the three channels at local 0.
    if (rgb_packed(input_format)) {
      tensor_general_move_gen_cmd(src + 3 * at, 0, 1, (int)rows, 1, (int)row, 0, (int)row, (int)row, 1, format, 0, 0,
                                  1, (int)rows, 1, (int)row, 0, (int)row, (int)row, 1, format, GDMA_VALUE_DIR_S2L, 0,
                                  node);
    } else {
      for (u32 k = 0; k < 3; k++)
        tensor_general_move_gen_cmd(src + k * plane + at, 0, 1, (int)rows, 1, (int)w, 0, (int)w, (int)w, 1, format,
                                    k * w * e, 0, 1, (int)rows, 1, (int)w, 0, (int)row, (int)w, 1, format,
                                    GDMA_VALUE_DIR_S2L, 0, node);
    }
    if (e == 1) {
      // Bytes are permuted as floats, then packed back into bytes.
      convert_1N_INT8_to_FP32(tag(0), tag(CV_RGB_LOCAL_SCRATCH), 1, rows, 1, row, node);
      nodechip_cv_rgb_internal_transform(tag(CV_RGB_LOCAL_SCRATCH), tag(CV_RGB_LOCAL_DST), input_format,
                                         output_format, rows, w, node);
      convert_FP32_to_1N_INT8(tag(CV_RGB_LOCAL_DST), 1, rows, row, tag(CV_RGB_LOCAL_SCRATCH), node);
    } else {
      nodechip_cv_rgb_internal_transform(tag(0), tag(CV_RGB_LOCAL_DST), input_format, output_format, rows, w, node);
    }
    // Store in the output layout, to the same rows.
    if (rgb_packed(output_format)) {
      tensor_general_move_gen_cmd(CV_RGB_LOCAL_DST, 0, 1, (int)rows, 1, (int)row, 0, (int)row, (int)row, 1, format,
                                  dst + 3 * at, 0, 1, (int)rows, 1, (int)row, 0, (int)row, (int)row, 1, format,
                                  GDMA_VALUE_DIR_L2S, 0, node);
    } else {
      for (u32 k = 0; k < 3; k++)
        tensor_general_move_gen_cmd(CV_RGB_LOCAL_DST + k * w * e, 0, 1, (int)rows, 1, (int)w, 0, (int)row, (int)w, 1,
                                    format, dst + k * plane + at, 0, 1, (int)rows, 1, (int)w, 0, (int)w, (int)w, 1,
                                    format, GDMA_VALUE_DIR_L2S, 0, node);
    }
  }
}

// ---- Data type (op 1) ----

void nodechip_cv_data_type_transform(const u64 input[4], const u64 output[4], u32 count, u32 src_type,
                                     u32 dst_type, u32 w, u32 h, cmd_id_node_t *node) {
  // Codes 3 and 4 act as 1 and 2.
  const u32 s = src_type == 3 ? 1 : src_type == 4 ? 2 : src_type, d = dst_type == 3 ? 1 : dst_type == 4 ? 2 : dst_type;
  const u64 hw = (u64)h * w;
  const int moves = (s == DATA_TYPE_EXT_1N_BYTE && (d == DATA_TYPE_EXT_4N_BYTE || d == DATA_TYPE_EXT_FLOAT32)) ||
                    (s == DATA_TYPE_EXT_4N_BYTE && d == DATA_TYPE_EXT_1N_BYTE) ||
                    (s == DATA_TYPE_EXT_FLOAT32 && d == DATA_TYPE_EXT_1N_BYTE);
  // Images of no rows or columns: nothing to move (and no row pieces).
  if (moves && count) ASSERT_FS(w > 0 && h > 0, "h=%u, w=%u", (unsigned)h, (unsigned)w);
  if (s == DATA_TYPE_EXT_1N_BYTE && d == DATA_TYPE_EXT_4N_BYTE) {
    // Image i into byte i of the one group at output[0].
    for (u32 i = 0; i < count; i++)
      tensor_general_move_gen_cmd(input[i], 0, 1, 3, (int)h, (int)w, 0, (int)hw, (int)w, 1, GDMA_VALUE_FORMAT_UINT8,
                                  output[0] + i, 0, 1, 3, (int)h, (int)w, 0, (int)(4 * hw), (int)(4 * w), 4,
                                  GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2S, 0, node);
  } else if (s == DATA_TYPE_EXT_4N_BYTE && d == DATA_TYPE_EXT_1N_BYTE) {
    // Byte lane i of the group to image i, in pieces of whole rows that fit
    // one move's row of at most 65535 elements.
    // One move's row holds at most 65535 elements: whole rows of them.
    ASSERT_FS(w <= 65535, "w=%u", (unsigned)w);
    const u32 piece = 65535 / w, total = 3 * h;
    for (u32 i = 0; i < count; i++)
      for (u32 r0 = 0; r0 < total; r0 += piece) {
        const u32 rows = total - r0 < piece ? total - r0 : piece;
        const int n = (int)(rows * w);
        tensor_general_move_gen_cmd(input[0] + i + 4ull * r0 * w, 0, 1, 1, 1, n, 0, 0, 0, 4, GDMA_VALUE_FORMAT_UINT8,
                                    output[i] + (u64)r0 * w, 0, 1, 1, 1, n, 0, 0, 0, 1, GDMA_VALUE_FORMAT_UINT8,
                                    GDMA_VALUE_DIR_S2S, 0, node);
      }
  } else if ((s == DATA_TYPE_EXT_1N_BYTE && d == DATA_TYPE_EXT_FLOAT32) ||
             (s == DATA_TYPE_EXT_FLOAT32 && d == DATA_TYPE_EXT_1N_BYTE)) {
    const gdma_value_format_t from = s == DATA_TYPE_EXT_1N_BYTE ? GDMA_VALUE_FORMAT_UINT8 : GDMA_VALUE_FORMAT_FLOAT32;
    const gdma_value_format_t to = d == DATA_TYPE_EXT_1N_BYTE ? GDMA_VALUE_FORMAT_UINT8 : GDMA_VALUE_FORMAT_FLOAT32;
    for (u32 i = 0; i < count; i++)
      tensor_general_move_gen_cmd(input[i], 0, 1, 3, (int)h, (int)w, 0, (int)hw, (int)w, 1, from, output[i], 0, 1, 3,
                                  (int)h, (int)w, 0, (int)hw, (int)w, 1, to, GDMA_VALUE_DIR_S2S, 0, node);
  }
}

// ---- RGB to YUV (op 2) ----

static int yuv_420(u32 format) { return format == CV_YUV420_PLANAR || format == CV_NV12 || format == CV_NV21 || format > CV_NV61; }
static int yuv_444(u32 format) { return format == CV_YUV444_PLANAR; }
static int yuv_planar(u32 format) { return format <= CV_YUV444_PLANAR || format > CV_NV61; }
static int yuv_v_first(u32 format) { return format == CV_NV21 || format == CV_NV61; }

// Y, U, V floats of `lanes` x 2 rows x w from the R, G, B byte tiles: each
// channel is unpacked to floats in turn and its products accumulated, then
// the offsets added and the results clamped to [0, 255].
static void nodechip_cv_RGB_unpack_float_to_YCrCb(const u32 rgb[3], u32 Y, u32 U, u32 V, u32 lanes, u32 w,
                                                  u32 colour_code, cmd_id_node_t *node) {
  const float(*m)[4] = cv_rgb2yuv_matrix[cv_rgb2yuv_matrix_index(colour_code)];
  const u32 yuv[3] = {Y, U, V};
  const dim4_t shape = {1, (i32)lanes, 1, (i32)(2 * w)};
  const u32 T = tag(CV_RGB2YUV_LOCAL_T);
  for (u32 k = 0; k < 3; k++) {
    convert_1N_INT8_to_FP32(rgb[k], T, 1, lanes, 2, w, node);
    for (u32 o = 0; o < 3; o++)
      atomic_tensor_arithmetic_gen_cmd(T, 0, yuv[o], &shape, 0, 0, 0, NULL, NULL, NULL,
                                       k ? TENSOR_OP_MAC : TENSOR_OP_MUL, 0, 0, 0, 1, f32_bits(m[o][k]), 0, node);
  }
  for (u32 o = 0; o < 3; o++) {
    atomic_tensor_arithmetic_gen_cmd(yuv[o], 0, yuv[o], &shape, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD, 0, 0, 0, 1,
                                     f32_bits(m[o][3]), 0, node);
    clip_tensor(yuv[o], &shape, node);
  }
}

// Float Y, U, V tiles to the bytes of the layout: Y at its own tile; the
// chroma means (4:2:0 over 2 x 2, 4:2:2 over 1 x 2) in the U and V tiles'
// starts, or interleaved in CV_RGB2YUV_LOCAL_UV. Returns the chroma values per
// lane of one plane (interleaved: of the pair plane).
static u32 nodechip_yuv_to_dst_format(u32 Y, u32 U, u32 V, u32 output_format, u32 lanes, u32 w,
                                      cmd_id_node_t *node) {
  const u32 T = tag(CV_RGB2YUV_LOCAL_T), pack = tag(CV_RGB2YUV_LOCAL_PACK);
  convert_FP32_to_1N_INT8(Y, 1, lanes, 2 * w, pack, node);
  u32 per = 2 * w;  // chroma values per lane of one plane
  if (!yuv_444(output_format)) {
    const int f420 = yuv_420(output_format);
    const u32 half = w / 2;
    per = f420 ? half : w;
    const u32 planes[2] = {U, V};
    for (u32 p = 0; p < 2; p++) {
      // Sums of horizontal pairs: 2 rows x w/2 into T.
      const dim4_t pairs = {1, (i32)lanes, 2, (i32)half};
      const dim4_t in = {0, 0, (i32)w, 2}, out = {0, 0, (i32)half, 1};
      atomic_tensor_arithmetic_gen_cmd(planes[p], planes[p] + 4, T, &pairs, 0, 0, 0, &in, &in, &out, TENSOR_OP_ADD,
                                       0, 0, 0, 0, 0, 0, node);
      if (f420) {
        // Even row plus odd row, then the mean of four.
        const dim4_t row = {1, (i32)lanes, 1, (i32)half};
        atomic_tensor_arithmetic_gen_cmd(T, T + 4 * half, planes[p], &row, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_ADD,
                                         0, 0, 0, 0, 0, 0, node);
        atomic_tensor_arithmetic_gen_cmd(planes[p], 0, planes[p], &row, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0,
                                         0, 0, 1, f32_bits(0.25f), 0, node);
      } else {
        const dim4_t both = {1, (i32)lanes, 1, (i32)w};
        atomic_tensor_arithmetic_gen_cmd(T, 0, planes[p], &both, 0, 0, 0, NULL, NULL, NULL, TENSOR_OP_MUL, 0, 0, 0, 1,
                                         f32_bits(0.5f), 0, node);
      }
    }
  }
  if (yuv_planar(output_format)) {
    convert_FP32_to_1N_INT8(U, 1, lanes, per, pack, node);
    convert_FP32_to_1N_INT8(V, 1, lanes, per, pack, node);
    return per;
  }
  // Interleaved: U at even and V at odd positions (V first for NV21, NV61).
  const u32 UV = tag(CV_RGB2YUV_LOCAL_UV), first = yuv_v_first(output_format) ? V : U,
            second = yuv_v_first(output_format) ? U : V;
  const dim4_t shape = {1, (i32)lanes, 1, (i32)per};
  const dim4_t dense = {(i32)ALIGN(per, 32u), 0, 0, 1}, spread = {(i32)ALIGN(2 * per, 32u), 0, 0, 2};
  atomic_tensor_copy_gen_cmd(first, UV, &shape, &dense, &spread, node);
  atomic_tensor_copy_gen_cmd(second, UV + 4, &shape, &dense, &spread, node);
  convert_FP32_to_1N_INT8(UV, 1, lanes, 2 * per, pack, node);
  return 2 * per;
}

// One lane-block store: `lanes` x rows x bytes per row from local `local`
// to consecutive rows at dst.
static void store_bytes(u32 local, u64 dst, u32 lanes, u32 rows, u32 row_bytes, cmd_id_node_t *node) {
  tensor_general_move_gen_cmd(local, 0, 1, (int)lanes, (int)rows, (int)row_bytes, 0, (int)(rows * row_bytes),
                              (int)row_bytes, 1, GDMA_VALUE_FORMAT_UINT8, dst, 0, 1, (int)lanes, (int)rows,
                              (int)row_bytes, 0, (int)(rows * row_bytes), (int)row_bytes, 1, GDMA_VALUE_FORMAT_UINT8,
                              GDMA_VALUE_DIR_L2S, 0, node);
}

void nodechip_cv_rgb_to_yuv(const u64 input[4], const u64 output[4], const u64 U[4], const u64 V[4], u32 h, u32 w,
                            u32 count, u32 output_format, u32 colour_code, cmd_id_node_t *node) {
  // Chroma is taken over row and column pairs; two rows of floats per lane.
  ASSERT_FS(h > 0 && w > 0 && h % 2 == 0 && w % 2 == 0 && w <= CV_RGB2YUV_MAX_W, "h=%u, w=%u", (unsigned)h,
            (unsigned)w);
  const u32 piece = h < 130 ? h : 128;
  const u64 hw = (u64)h * w;
  const u32 rgb_local[3] = {CV_RGB2YUV_LOCAL_R, CV_RGB2YUV_LOCAL_G, CV_RGB2YUV_LOCAL_B};
  const u32 rgb[3] = {tag(CV_RGB2YUV_LOCAL_R), tag(CV_RGB2YUV_LOCAL_G), tag(CV_RGB2YUV_LOCAL_B)};
  const u32 Y = tag(CV_RGB2YUV_LOCAL_Y), Uf = tag(CV_RGB2YUV_LOCAL_U), Vf = tag(CV_RGB2YUV_LOCAL_V);
  const int f420 = yuv_420(output_format), planar = yuv_planar(output_format);
  // Chroma rows per lane and bytes per chroma row of the layout.
  const u32 c_rows = f420 ? 1 : 2, c_bytes = planar && !yuv_444(output_format) ? w / 2 : w;
  for (u32 i = 0; i < count; i++) {
    for (u32 r0 = 0; r0 < h; r0 += piece) {
      const u32 rows = h - r0 < piece ? h - r0 : piece, lanes = rows / 2;
      for (u32 k = 0; k < 3; k++)
        tensor_general_move_gen_cmd(input[i] + k * hw + (u64)r0 * w, 0, 1, (int)lanes, 2, (int)w, 0, (int)(2 * w),
                                    (int)w, 1, GDMA_VALUE_FORMAT_UINT8, rgb_local[k], 0, 1, (int)lanes, 2, (int)w, 0,
                                    (int)(2 * w), (int)w, 1, GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_DIR_S2L, 0, node);
      nodechip_cv_RGB_unpack_float_to_YCrCb(rgb, Y, Uf, Vf, lanes, w, colour_code, node);
      nodechip_yuv_to_dst_format(Y, Uf, Vf, output_format, lanes, w, node);
      store_bytes(CV_RGB2YUV_LOCAL_Y, output[i] + (u64)r0 * w, lanes, 2, w, node);
      const u64 c_at = (u64)(r0 / 2) * c_rows * c_bytes;
      if (planar) {
        store_bytes(CV_RGB2YUV_LOCAL_U, U[i] + c_at, lanes, c_rows, c_bytes, node);
        store_bytes(CV_RGB2YUV_LOCAL_V, V[i] + c_at, lanes, c_rows, c_bytes, node);
      } else {
        store_bytes(CV_RGB2YUV_LOCAL_UV, U[i] + c_at, lanes, c_rows, c_bytes, node);
      }
    }
  }
}

// ---- Entry ----

void nodechip_cv_zvcv_image_storage_convert(const u64 input[4], const u64 output[4], const u64 U[4], const u64 V[4],
                                            u32 count, u32 h, u32 w, u32 input_format, u32 output_format,
                                            u32 src_type, u32 dst_type, u8 op, u32 colour_code,
                                            cmd_id_node_t *node) {
  // The address tables hold four images.
  ASSERT_FS(count <= CV_STORAGE_MAX_IMAGES, "count=%u", (unsigned)count);
  switch (op) {
    case CV_STORAGE_OP_RGB_LAYOUT: {
      // One 4N group holds all images: image 0's addresses only.
      const u32 images = src_type == 2 || src_type == 4 ? (count ? 1 : 0) : count;
      for (u32 i = 0; i < images; i++)
        nodechip_cv_rgb_transform(input[i], output[i], input_format, output_format, cv_storage_elem_bytes(src_type), w,
                                  h, node);
      break;
    }
    case CV_STORAGE_OP_DATA_TYPE:
      nodechip_cv_data_type_transform(input, output, count, src_type, dst_type, w, h, node);
      break;
    case CV_STORAGE_OP_RGB_TO_YUV:
      nodechip_cv_rgb_to_yuv(input, output, U, V, h, w, count, output_format, colour_code, node);
      break;
    case CV_STORAGE_OP_YUV_TO_RGB: {
      u64 planes[12] = {};
      for (u32 i = 0; i < count; i++) planes[3 * i] = input[i], planes[3 * i + 1] = U[i], planes[3 * i + 2] = V[i];
      nodechip_cv_yuv2rgb_ext(planes, src_type, input_format, output, dst_type, output_format, count, h, w,
                              colour_code, node);
      break;
    }
    default:
      break;  // other operations do nothing
  }
}
