#include "cv/cv_convert.h"

#include <string.h>

#include "cmd/bd_md.h"
#include "cmd/local_mem.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/services.h"

// ---- Linear convert: plan ----

void cv_convert_type_of(u32 code, gdma_value_format_t *format, int *channels, int *bytes) {
  if (code > CV_CONVERT_F32_C3) code = CV_CONVERT_U8_C3;
  static const gdma_value_format_t formats[3] = {GDMA_VALUE_FORMAT_UINT8, GDMA_VALUE_FORMAT_INT8,
                                                 GDMA_VALUE_FORMAT_FLOAT32};
  *format = formats[code / 2];
  *channels = code % 2 ? 3 : 1;
  *bytes = code >= CV_CONVERT_F32_C1 ? 4 : 1;
}


void cv_convert_plan_of(u32 width, u32 stride, u32 height, const float alpha[3], const float beta[3], u32 mode,
                        u32 count, u32 src_type, u32 dst_type, cv_convert_plan_t *plan) {
  memset(plan, 0, sizeof *plan);
  int in_channel, out_channel;
  cv_convert_type_of(src_type, &plan->src_format, &in_channel, &plan->src_bytes);
  cv_convert_type_of(dst_type, &plan->dst_format, &out_channel, &plan->dst_bytes);
  const int four_n = mode == CV_CONVERT_MODE_4N || mode == CV_CONVERT_MODE_4N_SPLIT;
  if (four_n && plan->src_bytes != 1) {
    fw_log(0, "do not support 4NFP32 or 4NFP16\r\n");
    ASSERT_FS(0);
  }
  ASSERT_FS((in_channel == out_channel), "do not support channel convertion\r\n");
  // Zero extents would leave nothing to slice by (and divide by zero below).
  ASSERT_FS(width > 0 && height > 0 && stride > 0 && count > 0, "width=%u, stride=%u, height=%u, count=%u",
            (unsigned)width, (unsigned)stride, (unsigned)height, (unsigned)count);
  // Rows are counted in 64 bits: count x channels x height must not overflow.
  ASSERT_FS(height <= (1u << 30) && count <= (1u << 30), "height=%u, count=%u", (unsigned)height, (unsigned)count);
  const u64 row = four_n ? 4ull * width : width;
  const u64 row_stride = four_n && stride == width ? row : stride;
  ASSERT_FS(row <= GDMA_MAX_W && row_stride <= 0x7fffffffull, "row of %u elements, stride %u", (unsigned)row,
            (unsigned)row_stride);
  plan->channels = in_channel;
  plan->row = (int)row;
  plan->stride = (int)row_stride;
  plan->split = mode == CV_CONVERT_MODE_4N_SPLIT;
  const u32 lane_row = eu_plane((u32)row) * 4;  // bytes of one float row in a lane
  // Mode 2 with a byte destination converts in local memory before it
  // separates the images: that copy follows the float rows.
  const u32 scratch_per_row = plan->split && plan->dst_bytes != 4 ? eu_plane((u32)row) * plan->dst_bytes : 0;
  // Mode 2 never takes the identity copy: that would keep the 4N interleave.
  int identity = !plan->split;
  for (int k = 0; k < 3; k++) identity = identity && alpha[k] == 1.0f && beta[k] == 0.0f;
  const int uniform = in_channel == 1 || (alpha[1] == alpha[0] && alpha[2] == alpha[0] && beta[1] == beta[0] &&
                                          beta[2] == beta[0]);
  if (identity) {
    plan->path = CV_CONVERT_PATH_IDENTITY;
    plan->rows = (i64)count * in_channel * height;
    return;
  }
  if (uniform) {
    plan->path = CV_CONVERT_PATH_UNIFORM;
    // Mode 2 keeps each 4N group's rows apart: its four images land at their own place.
    plan->rows = (i64)in_channel * height * (plan->split ? 1 : count);
    const u64 by_bytes = 0x2000000ull / ((u64)plan->src_bytes * row_stride);
    // The slice must also fit local memory as float32 rows (and their byte copy).
    const u64 by_local = (u64)NPU_NUM * (CV_CONVERT_LOCAL_BYTES / (lane_row + scratch_per_row));
    u64 rows = by_bytes < by_local ? by_bytes : by_local;
    if (rows > CV_CONVERT_MAX_ROWS) rows = CV_CONVERT_MAX_ROWS;
    if ((i64)rows > plan->rows) rows = (u64)plan->rows;
    ASSERT_FS(rows > 0, "rows of %u elements with stride %u do not fit a slice", (unsigned)row,
              (unsigned)row_stride);
    plan->slice_rows = (int)rows;
    plan->local_bytes = (u32)ceil_div((s64)rows, NPU_NUM) * lane_row;
    plan->scratch_bytes = (u32)ceil_div((s64)rows, NPU_NUM) * scratch_per_row;
    return;
  }
  plan->path = CV_CONVERT_PATH_PER_CHANNEL;
  // The planes of a load lie height x stride elements apart: a descriptor stride.
  ASSERT_FS((u64)height * row_stride <= 0x7fffffffull, "planes of %u rows of stride %u", (unsigned)height,
            (unsigned)row_stride);
  const u32 mid_data_size = 4;
  struct {
    i64 N_stride;
  } local_dim = {ceil_div(height, NPU_NUM) * (i64)eu_plane((u32)row)};
  ASSERT_FS((mid_data_size * local_dim.N_stride) < (512 * 1024));
  plan->plane_stride = local_dim.N_stride;
  plan->planes_per_load = 3 * 4 * local_dim.N_stride <= 0x7FFFF ? 3 : 1;
  plan->local_bytes = (u32)(plan->planes_per_load * 4 * local_dim.N_stride);
  plan->scratch_bytes = (u32)(scratch_per_row ? ceil_div(height, NPU_NUM) * scratch_per_row : 0);
  ASSERT_FS(plan->local_bytes + plan->scratch_bytes <= CV_CONVERT_LOCAL_BYTES,
            "planes of %u rows of %u elements and their byte copy do not fit local memory", (unsigned)height,
            (unsigned)row);
}

// ---- Linear convert: issue ----

// Loads r rows of the plan's row length from `src` (rows plan->stride apart)
// into float32 rows at local offset `local` (n items `n_stride` elements apart
// per lane, the source's items `src_n_stride` elements apart).
static void load_rows(const cv_convert_plan_t *p, u64 src, int n, i64 src_n_stride, int r, u32 local,
                      i64 n_stride, cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)p->row);
  tensor_general_move_gen_cmd(src, 0, n, r, 1, p->row, (int)src_n_stride, p->stride, p->row, 1, p->src_format,
                              local, 0, n, r, 1, p->row, (int)n_stride, plane, p->row, 1, GDMA_VALUE_FORMAT_FLOAT32,
                              GDMA_VALUE_DIR_S2L, 0, node);
}

// y = alpha * x + beta in place on r float32 rows at local offset `local`.
static void linear_rows(const cv_convert_plan_t *p, u32 local, int r, float alpha, float beta,
                        cmd_id_node_t *node) {
  const u32 a = LOCAL_ADDR_TAG | local;
  atomic_md_linear_gen_cmd(a, 0, 0, a, 1, r, 1, p->row, 1, 1, f32_bits(beta), f32_bits(alpha), 0, 0, node);
}

// Stores r float32 rows at local offset `local` compactly at dst, converted to
// the destination format.
static void store_rows(const cv_convert_plan_t *p, u32 local, int r, u64 dst, cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)p->row);
  tensor_general_move_gen_cmd(local, 0, 1, r, 1, p->row, plane * (int)lane_rows(0, (u32)r), plane, p->row, 1,
                              GDMA_VALUE_FORMAT_FLOAT32, dst, 0, 1, r, 1, p->row, r * p->row, p->row, p->row, 1,
                              p->dst_format, GDMA_VALUE_DIR_L2S, 0, node);
}

// Mode 2: stores r float32 rows of 4N samples at local offset `local` as four
// images, item j taking elements j, j + 4, ... of every row; item j's rows go
// to dst + j * image_bytes, compact. A byte destination is converted in local
// memory first (at `scratch`), so that the separating move keeps one format.
static void store_rows_split(const cv_convert_plan_t *p, u32 local, u32 scratch, int r, u64 dst,
                             i64 image_elems, cmd_id_node_t *node) {
  const int plane = (int)eu_plane((u32)p->row), width = p->row / 4;
  const int lanes = (int)lane_rows(0, (u32)r);
  u32 from = local;
  if (p->dst_format != GDMA_VALUE_FORMAT_FLOAT32) {
    tensor_general_move_gen_cmd(local, 0, 1, r, 1, p->row, plane * lanes, plane, p->row, 1, GDMA_VALUE_FORMAT_FLOAT32,
                                scratch, 0, 1, r, 1, p->row, plane * lanes, plane, p->row, 1, p->dst_format,
                                GDMA_VALUE_DIR_L2L, 0, node);
    from = scratch;
  }
  tensor_general_move_gen_cmd(from, 0, 4, r, 1, width, 1, plane, p->row, 4, p->dst_format, dst, 0, 4, r, 1, width,
                              (int)image_elems, width, width, 1, p->dst_format, GDMA_VALUE_DIR_L2S, 0, node);
}

int nodechip_cv_convert_to(u64 src, u32 width, u32 stride, u32 height, float alpha0, float beta0, float alpha1,
                           float beta1, float alpha2, float beta2, u32 mode, u32 count, u32 src_type,
                           u32 dst_type, u32 spare, u64 dst, cmd_id_node_t *node) {
  (void)spare;
  const float alpha[3] = {alpha0, alpha1, alpha2}, beta[3] = {beta0, beta1, beta2};
  cv_convert_plan_t p;
  cv_convert_plan_of(width, stride, height, alpha, beta, mode, count, src_type, dst_type, &p);
  const i64 sb = p.src_bytes, db = p.dst_bytes;
  // Elements of one output image (mode 2: one of the four of a group).
  const i64 image_elems = (i64)p.channels * height * width;
  if (p.path == CV_CONVERT_PATH_IDENTITY) {
    // Every plane of every image, rows p.stride apart, to compact rows.
    const i64 rows = p.rows;
    i64 done = 0;
    while (done < rows) {
      const int r = (int)(rows - done < GDMA_MAX_C ? rows - done : GDMA_MAX_C);
      tensor_general_move_gen_cmd(src + (u64)(done * p.stride * sb), 0, 1, r, 1, p.row, 0, p.stride,
                                  p.row, 1, p.src_format, dst + (u64)(done * p.row * db), 0, 1, r, 1, p.row,
                                  0, p.row, p.row, 1, p.dst_format, GDMA_VALUE_DIR_S2S, 0, node);
      done += r;
    }
    return 0;
  }
  const u32 scratch = p.local_bytes;
  if (p.path == CV_CONVERT_PATH_UNIFORM) {
    const int groups = p.split ? (int)count : 1;
    for (int g = 0; g < groups; g++) {
      u64 from = src + (u64)(g * p.rows * p.stride * sb);
      // Mode 2: group g's four images are images 4g to 4g + 3 of the destination.
      const u64 base = dst + (u64)(p.split ? g * 4 * image_elems * db : 0);
      for (i64 done = 0; done < p.rows; done += p.slice_rows) {
        const int r = (int)(p.rows - done < p.slice_rows ? p.rows - done : p.slice_rows);
        load_rows(&p, from, 1, 0, r, 0, 0, node);
        from += (u64)((i64)r * p.stride * sb);
        linear_rows(&p, 0, r, alpha0, beta0, node);
        if (p.split)
          store_rows_split(&p, 0, scratch, r, base + (u64)(done * width * db), image_elems, node);
        else
          store_rows(&p, 0, r, base + (u64)(done * p.row * db), node);
      }
    }
    return 0;
  }
  // Per channel: three planes per image, k at a time.
  const int k = p.planes_per_load;
  const i64 plane_elems = (i64)height * p.stride;
  u64 out = dst;
  for (u32 i = 0; i < count; i++) {
    const u64 image = src + (u64)(i * 3 * plane_elems * sb);
    for (int l = 0; l < 3 / k; l++) {
      load_rows(&p, image + (u64)(l * k * plane_elems * sb), k, plane_elems, (int)height, 0, p.plane_stride, node);
      for (int q = 0; q < k; q++) {
        const int ch = l * k + q;
        const u32 local = (u32)(q * 4 * p.plane_stride);
        linear_rows(&p, local, (int)height, alpha[ch], beta[ch], node);
        if (p.split) {
          const u64 at = dst + (u64)((i * 4 * image_elems + (i64)ch * height * width) * db);
          store_rows_split(&p, local, scratch, (int)height, at, image_elems, node);
        } else {
          store_rows(&p, local, (int)height, out, node);
          out += (u64)((i64)height * p.row * db);
        }
      }
    }
  }
  return 0;
}

// ---- Plane split and width alignment ----

int cv_data_type_bytes(u32 data_type) { return data_type == 2 ? 2 : data_type == 4 ? 4 : 1; }

gdma_value_format_t cv_data_type_format(u32 data_type) {
  return data_type == 2 ? (gdma_value_format_t)4 : data_type == 4 ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_INT8;
}

void nodechip_cv_split(u64 src, u64 dst, u32 row_length, u32 total_rows, u32 segment, u32 rows, u32 data_type,
                       cmd_id_node_t *node) {
  ASSERT_FS(segment > 0 && rows > 0 && segment <= row_length && row_length <= 0x7fffffffu,
            "row_length=%u, segment=%u, rows=%u", (unsigned)row_length, (unsigned)segment, (unsigned)rows);
  const int size = cv_data_type_bytes(data_type);
  const gdma_value_format_t format = cv_data_type_format(data_type);
  const u32 images = total_rows / rows, segments = row_length / segment;
  const i64 block = ceil_div(segments, NPU_NUM) * (i64)segment;  // elements per row in a lane
  // One image's rows must fit a lane.
  ASSERT_FS((i64)rows * block * size <= LOCAL_MEM_SIZE && rows <= GDMA_MAX_N && segments <= GDMA_MAX_C,
            "%u rows of %u segments of %u elements do not fit local memory", (unsigned)rows, (unsigned)segments,
            (unsigned)segment);
  // An image is rows x row_length elements on both sides, in bytes of the data type.
  const u64 image_bytes = (u64)row_length * rows * (u64)size;
  for (u32 i = 0; i < images; i++) {
    tensor_general_move_gen_cmd(src + i * image_bytes, 0, (int)rows, (int)segments, 1, (int)segment, (int)row_length,
                                (int)segment, (int)segment, 1, format, 0, 0, (int)rows, (int)segments, 1,
                                (int)segment, (int)block, (int)segment, (int)segment, 1, format, GDMA_VALUE_DIR_S2L,
                                0, node);
    tensor_general_move_gen_cmd(0, 0, (int)rows, (int)segments, 1, (int)segment, (int)block, (int)segment,
                                (int)segment, 1, format, dst + i * image_bytes, 0, (int)rows, (int)segments, 1,
                                (int)segment, (int)segment, (int)(rows * segment), (int)segment, 1, format,
                                GDMA_VALUE_DIR_L2S, 0, node);
  }
}

void nodechip_cv_width_align(u64 src, u64 dst, u32 n, u32 c, u32 h, u32 w, u32 src_n_stride, u32 src_c_stride,
                             u32 src_h_stride, u32 dst_n_stride, u32 dst_c_stride, u32 dst_h_stride, u32 data_type,
                             cmd_id_node_t *node) {
  const gdma_value_format_t format = cv_data_type_format(data_type);
  // The descriptor's strides are signed 32-bit element counts.
  const u32 strides[6] = {src_n_stride, src_c_stride, src_h_stride, dst_n_stride, dst_c_stride, dst_h_stride};
  for (int i = 0; i < 6; i++) ASSERT_FS(strides[i] <= 0x7fffffffu, "stride %u", (unsigned)strides[i]);
  tensor_general_move_gen_cmd(src, 0, (int)n, (int)c, (int)h, (int)w, (int)src_n_stride, (int)src_c_stride,
                              (int)src_h_stride, 1, format, dst, 0, (int)n, (int)c, (int)h, (int)w, (int)dst_n_stride,
                              (int)dst_c_stride, (int)dst_h_stride, 1, format, GDMA_VALUE_DIR_S2S, 0, node);
  poll_all_engine_done(node);
}
