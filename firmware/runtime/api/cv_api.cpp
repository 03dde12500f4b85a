// The vision APIs: 112 and 510 warps, 113 resize, 507 copy-to, 114 YUV to RGB, 500 and 502 linear convert, 505 storage conversion, 503 the sort check, 506 width
// alignment, 512 plane split, 513 the permute of images as the vision family
// calls it.
//
// Every handler sets the DTCM cursor back to the window's start before and
// after its operator, so that a call which failed half-way leaves no stale
// cursor to the next message.
#include "cv/cv_common.h"
#include "cv/cv_convert.h"
#include "cv/cv_sort_test.h"
#include "cv/cv_resize.h"
#include "cv/cv_storage_convert.h"
#include "cv/cv_warp.h"
#include "cv/cv_yuv2rgb.h"
#include "cmd/memory_fill_copy.h"
#include "layers/data/transpose.h"
#include "runtime/api/dispatch.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"

// The source and destination bytes of one linear convert (the operator checks
// the values first, through its plan).
static void convert_to_checks(u64 src, u64 dst, u32 width, u32 stride, u32 height, const float alpha[3],
                              const float beta[3], u32 mode, u32 count, u32 src_type, u32 dst_type) {
  cv_convert_plan_t p;
  cv_convert_plan_of(width, stride, height, alpha, beta, mode, count, src_type, dst_type, &p);
  const i64 rows = api_mul(api_mul(count, p.channels), height);
  const i64 dims[2] = {rows, p.row}, strides[2] = {p.stride, 1};
  API_GLOBAL(src, api_strided((u32)p.src_bytes, 2, dims, strides));
  API_GLOBAL(dst, p.split ? api_dense((u32)p.dst_bytes, count, 4, (i64)p.channels * height, width)
                          : api_dense((u32)p.dst_bytes, rows, p.row));
}

u32 zv_api_cv_convert_to(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_convert_to_t, rec, param, size);
  const float alpha[3] = {rec.alpha0, rec.alpha1, rec.alpha2}, beta[3] = {rec.beta0, rec.beta1, rec.beta2};
  convert_to_checks(rec.src, rec.dst, rec.width, rec.stride, rec.height, alpha, beta, rec.mode, rec.count,
                    rec.src_type, rec.dst_type);
  api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_convert_to(rec.src, rec.width, rec.stride, rec.height, rec.alpha0, rec.beta0, rec.alpha1, rec.beta1,
                           rec.alpha2, rec.beta2, rec.mode, rec.count, rec.src_type, rec.dst_type, 0, rec.dst, node);
  });
  cv_reset_dtcm();
  return 0;
}

u32 zv_api_cv_convert_to_intergrated(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_convert_to_inter_t, rec, param, size);
  API_COUNT(rec.count);
  // The record holds three pairs of addresses.
  ASSERT(rec.count <= CV_CONVERT_INTER_MAX_IMAGES);
  const u32 table_bytes = rec.count * (u32)sizeof(cv_convert_to_row_t);
  API_GLOBAL(rec.table, api_dense(1, table_bytes));
  const u32 rows_at = cv_take_dtcm(table_bytes);
  api_issue([&](cmd_id_node_t *node) {
    pack_info_to_dtcm(rec.table, rows_at, table_bytes, node);
    cv_convert_to_row_t rows[CV_CONVERT_INTER_MAX_IMAGES];
    memcpy(rows, hw_ptr(rows_at, table_bytes), table_bytes);
    for (u32 i = 0; i < rec.count; i++) {
      const cv_convert_to_row_t &r = rows[i];
      const float alpha[3] = {r.alpha0, r.alpha1, r.alpha2}, beta[3] = {r.beta0, r.beta1, r.beta2};
      convert_to_checks(rec.image[i].input, rec.image[i].output, r.width, r.width, r.height, alpha, beta, r.mode,
                        r.count, r.src_type, r.dst_type);
    }
    for (u32 i = 0; i < rec.count; i++) {
      const cv_convert_to_row_t &r = rows[i];
      nodechip_cv_convert_to(rec.image[i].input, r.width, r.width, r.height, r.alpha0, r.beta0, r.alpha1, r.beta1,
                             r.alpha2, r.beta2, r.mode, r.count, r.src_type, r.dst_type, 0, rec.image[i].output, node);
    }
  });
  cv_reset_dtcm();
  return 0;
}

u32 zv_api_cv_correct_layout(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_width_align_t, rec, param, size);
  API_POSITIVE(rec.n);
  API_POSITIVE(rec.c);
  API_POSITIVE(rec.h);
  API_POSITIVE(rec.w);
  const u32 bytes = (u32)cv_data_type_bytes(rec.data_type);
  const i64 dims[4] = {rec.n, rec.c, rec.h, rec.w};
  const i64 src_strides[4] = {rec.src_n_stride, rec.src_c_stride, rec.src_h_stride, 1};
  const i64 dst_strides[4] = {rec.dst_n_stride, rec.dst_c_stride, rec.dst_h_stride, 1};
  API_GLOBAL(rec.src, api_strided(bytes, 4, dims, src_strides));
  API_GLOBAL(rec.dst, api_strided(bytes, 4, dims, dst_strides));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_width_align(rec.src, rec.dst, rec.n, rec.c, rec.h, rec.w, rec.src_n_stride, rec.src_c_stride,
                            rec.src_h_stride, rec.dst_n_stride, rec.dst_c_stride, rec.dst_h_stride, rec.data_type,
                            node);
  });
}

u32 zv_api_cv_split(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_split_t, rec, param, size);
  API_POSITIVE(rec.rows);
  API_POSITIVE(rec.segment);
  API_POSITIVE(rec.row_length);
  // Whole images only: total_rows / rows of them, rows x row_length elements each.
  const i64 images = rec.total_rows / rec.rows;
  const api_extent_t bytes = api_dense((u32)cv_data_type_bytes(rec.data_type), images, rec.rows, rec.row_length);
  API_GLOBAL(rec.src, bytes);
  API_GLOBAL(rec.dst, bytes);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_split(rec.src, rec.dst, rec.row_length, rec.total_rows, rec.segment, rec.rows, rec.data_type, node);
  });
}

u32 zv_api_cv_transpose(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_transpose_t, rec, param, size);
  int format = 0;
  switch (rec.elem_bytes) {
    case 1:
      format = GDMA_VALUE_FORMAT_INT8;
      break;
    case 2:
      format = 4;
      break;
    case 4:
      format = GDMA_VALUE_FORMAT_FLOAT32;
      break;
    default:
      ASSERT(0);
  }
  API_POSITIVE(rec.x);
  API_POSITIVE(rec.y);
  API_POSITIVE(rec.z);
  const api_extent_t bytes = api_dense(rec.elem_bytes, rec.x, rec.y, rec.z);
  API_GLOBAL(rec.src, bytes);
  API_GLOBAL(rec.dst, bytes);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_permute_xyz2xzy(rec.src, rec.dst, (int)rec.x, (int)rec.y, (int)rec.z, format, node);
  });
}

u32 zv_api_test_sort(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_sort_test_t, rec, param, size);
  cv_sort_areas_t w;
  cv_sort_areas_of(rec.index_array, rec.key_array, rec.memory_space, rec.len, rec.out_len, &w);
  const api_extent_t array = api_dense(4, rec.len);
  // In place the work areas follow the keys in the caller's memory.
  API_GLOBAL(rec.key_array, rec.memory_space == CV_SORT_SPACE_IN_PLACE ? api_dense(1, (i64)(w.end - w.w2)) : array);
  API_GLOBAL(rec.index_array, array);
  API_GLOBAL(rec.keys_out, array);
  API_GLOBAL(rec.indices_out, array);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_test_sort(rec.index_array, rec.key_array, rec.indices_out, rec.keys_out, rec.order, rec.memory_space,
                       rec.len, rec.out_len, node);
  });
}

u32 zv_api_cv_yuv2rgb(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_yuv2rgb_t, rec, param, size);
  const zv_api_cv_yuv2rgb_t *api = &rec;
  ASSERT(api->input_h % 2 == 0 && api->input_w % 2 == 0);
  API_COUNT(rec.input_n);
  if (rec.output_mode == DATA_TYPE_EXT_1N_BYTE) ASSERT(api->input_w % 4 == 0);
  // The operator's own checks (source type, image count) come before anything
  // is read: an image count above 4 names no planes.
  if (rec.src_type == DATA_TYPE_EXT_1N_BYTE && rec.input_n <= 4) {
    const u32 ratio = cv_yuv_chroma_ratio(rec.image_format);
    const int planar = rec.image_format <= CV_YUV444_PLANAR || rec.image_format > CV_NV61;
    const i64 plane = api_mul(rec.input_h, rec.input_w);
    const u32 out_bytes = rec.output_mode == DATA_TYPE_EXT_1N_BYTE ? 1 : 4;
    for (u32 i = 0; i < rec.input_n; i++) {
      API_GLOBAL(rec.input[3 * i], api_dense(1, plane));
      API_GLOBAL(rec.input[3 * i + 1], api_dense(1, plane / ratio));
      if (planar) API_GLOBAL(rec.input[3 * i + 2], api_dense(1, plane / ratio));
      if (i == 0 || rec.output_mode != DATA_TYPE_EXT_4N_BYTE) API_GLOBAL(rec.output[i], api_dense(out_bytes, 3, plane));
    }
  }
  u64 input[12], output[4];
  memcpy(input, rec.input, sizeof input);
  memcpy(output, rec.output, sizeof output);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_yuv2rgb_ext(input, rec.src_type, rec.image_format, output, rec.output_mode, rec.output_format,
                            rec.input_n, rec.input_h, rec.input_w, 1, node);
  });
}

u32 zv_api_cv_storage_convert(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_storage_convert_t, rec, param, size);
  // The extents each operation touches; the operator checks the values
  // (counts above four, extents) before it reads an address.
  const u8 op = (u8)rec.op;
  const i64 hw = api_mul(rec.h, rec.w);
  const u32 n = rec.count <= CV_STORAGE_MAX_IMAGES ? rec.count : 0;
  const u32 ratio = cv_yuv_chroma_ratio(op == CV_STORAGE_OP_RGB_TO_YUV ? rec.output_format : rec.input_format);
  const u32 s = rec.src_type == 3 ? 1 : rec.src_type == 4 ? 2 : rec.src_type;
  const u32 d = rec.dst_type == 3 ? 1 : rec.dst_type == 4 ? 2 : rec.dst_type;
  for (u32 i = 0; i < n; i++) {
    switch (op) {
      case CV_STORAGE_OP_RGB_LAYOUT:
        if (i == 0 || (s != 2)) {
          const api_extent_t image = api_dense(cv_storage_elem_bytes(rec.src_type), 3, hw);
          API_GLOBAL(rec.input[i], image);
          API_GLOBAL(rec.output[i], image);
        }
        break;
      case CV_STORAGE_OP_DATA_TYPE:
        if (s == 1 && d == 2) {
          API_GLOBAL(rec.input[i], api_dense(1, 3, hw));
          API_GLOBAL(rec.output[0], api_dense(4, 3, hw));
        } else if (s == 2 && d == 1) {
          API_GLOBAL(rec.input[0], api_dense(4, 3, hw));
          API_GLOBAL(rec.output[i], api_dense(1, 3, hw));
        } else if ((s == 1 && d == 0) || (s == 0 && d == 1)) {
          API_GLOBAL(rec.input[i], api_dense(s == 1 ? 1 : 4, 3, hw));
          API_GLOBAL(rec.output[i], api_dense(d == 1 ? 1 : 4, 3, hw));
        }
        break;
      case CV_STORAGE_OP_RGB_TO_YUV:
        API_GLOBAL(rec.input[i], api_dense(1, 3, hw));
        API_GLOBAL(rec.output[i], api_dense(1, hw));
        API_GLOBAL(rec.U[i], api_dense(1, hw / ratio));
        if (rec.output_format <= CV_YUV444_PLANAR || rec.output_format > CV_NV61)
          API_GLOBAL(rec.V[i], api_dense(1, hw / ratio));
        break;
      case CV_STORAGE_OP_YUV_TO_RGB:
        API_GLOBAL(rec.input[i], api_dense(1, hw));
        API_GLOBAL(rec.U[i], api_dense(1, hw / ratio));
        if (rec.input_format <= CV_YUV444_PLANAR || rec.input_format > CV_NV61)
          API_GLOBAL(rec.V[i], api_dense(1, hw / ratio));
        if (i == 0 || rec.dst_type != DATA_TYPE_EXT_4N_BYTE)
          API_GLOBAL(rec.output[i], api_dense(rec.dst_type == DATA_TYPE_EXT_1N_BYTE ? 1 : 4, 3, hw));
        break;
      default:
        break;
    }
  }
  u64 input[4], output[4], U[4], V[4];
  memcpy(input, rec.input, sizeof input);
  memcpy(output, rec.output, sizeof output);
  memcpy(U, rec.U, sizeof U);
  memcpy(V, rec.V, sizeof V);
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_zvcv_image_storage_convert(input, output, U, V, rec.count, rec.h, rec.w, rec.input_format,
                                           rec.output_format, rec.src_type, rec.dst_type, op, rec.colour_code, node);
  });
}

u32 zv_api_cv_warp(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_warp_t, rec, param, size);
  u64 input[4];
  u32 counts[4], strides[4];
  memcpy(input, rec.input, sizeof input);
  memcpy(counts, rec.output_counts, sizeof counts);
  memcpy(strides, rec.src_strides, sizeof strides);
  // The sources the outputs read (4N: one per group of four) and the table.
  if (rec.input_count <= 4) {
    const int four_n = rec.store_mode == 4;
    u64 outputs = 0;
    for (u32 i = 0; i < rec.input_count; i++) {
      outputs += counts[i];
      const u32 slot = four_n ? i / 4 : i;
      if (counts[i]) API_GLOBAL(input[slot], api_dense(1, rec.channels, rec.src_h, strides[slot]));
    }
    const u64 perspective = rec.mode == CV_WARP_PERSPECTIVE_NEAREST || rec.mode == CV_WARP_PERSPECTIVE_BILINEAR;
    const i64 table = (i64)(four_n ? (outputs + 3) / 4 : outputs) * 8 + (i64)outputs * (perspective ? 36 : 24);
    if (table) API_GLOBAL(rec.table_address, api_dense(1, table));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_warp(input, rec.table_address, counts, strides, rec.store_mode, rec.input_count, rec.channels,
                     rec.src_h, rec.src_w, rec.roi_h, rec.roi_w, rec.dst_h, rec.dst_w, rec.roi_x, rec.roi_y, rec.mode,
                     node);
  });
}

u32 zv_api_warp_bilinear(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_warp_bilinear_t, rec, param, size);
  float matrix[6];
  memcpy(matrix, rec.matrix, sizeof matrix);
  API_GLOBAL(rec.src, api_dense(1, rec.channels, rec.src_h, rec.src_stride));
  // Rows roi_y to roi_y + roi_h - 1 of every plane, each from column roi_x.
  const i64 dims[3] = {rec.channels, rec.roi_h, rec.roi_w};
  const i64 strides[3] = {api_mul(rec.dst_h, rec.dst_w), rec.dst_w, 1};
  API_GLOBAL(rec.dst + (u64)rec.roi_y * rec.dst_w + rec.roi_x, api_strided(1, 3, dims, strides));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_cv_warp_bilinear(rec.src, rec.dst, 1, rec.channels, rec.src_h, rec.src_w, rec.roi_h, rec.roi_w, rec.dst_h,
                              rec.dst_w, rec.roi_x, rec.roi_y, rec.src_stride, matrix, 0, node);
  });
}

u32 zv_api_cv_resize(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_resize_t, rec, param, size);
  ASSERT(rec.image_num <= CV_RESIZE_MAX_IMAGES);
  const u32 n = rec.image_num;
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  // The ROI counts at the window's start, the records after them.
  if (n) {
    API_GLOBAL(rec.roi_counts, api_dense(4, n));
    pack_info_to_dtcm(rec.roi_counts, DTCM_SCRATCH_START, 4 * n, &node);
  }
  cv_cur_dtcm_addr = DTCM_SCRATCH_START + 4 * n;
  u64 rois = 0;
  for (u32 i = 0; i < n; i++) {
    u32 c;
    memcpy(&c, hw_ptr(DTCM_SCRATCH_START + 4 * i, 4), 4);
    rois += c;
  }
  // Every record the operator reads must be in the window: the ROI rows
  // (multi-ROI) or one row per image.
  ASSERT(rois * sizeof(img_para_t) <= DTCM_SCRATCH_SIZE - 4 * n, "%u ROI rows", (unsigned)rois);
  ASSERT(rec.multi_roi || rois >= n, "%u ROI rows for %u images", (unsigned)rois, (unsigned)n);
  const u32 rows = (u32)rois, rows_at = (u32)cv_cur_dtcm_addr;
  if (rows) {
    API_GLOBAL(rec.img_para, api_dense(sizeof(img_para_t), rows));
    pack_info_to_dtcm(rec.img_para, rows_at, rows * (u32)sizeof(img_para_t), &node);
  }
  cv_cur_dtcm_addr += (u64)rows * sizeof(img_para_t);
  // The images read and written.
  const int four_n = rec.need_switch == 1;
  const u32 e_in = rec.input_data_type == STORAGE_MODE_1N_INT8 && !four_n ? 1 : 4;
  const u32 e_out = four_n ? 1 : rec.output_data_type == STORAGE_MODE_1N_INT8 ? 1 : 4;
  const u32 items = four_n ? (n + 3) / 4 : n;
  if (items) API_GLOBAL(rec.input, api_dense(e_in, items, rec.channels, rec.height_stride, rec.width_stride));
  i64 out = 0;
  const img_para_t *p = (const img_para_t *)hw_ptr(rows_at, (u32)sizeof(img_para_t));
  if (rec.one_policy_in_diff_images && !rec.need_switch) {
    if (rows) out = api_mul(api_mul(n, rec.channels), api_mul(p[0].out_height, p[0].out_width));
  } else {
    for (u32 r = 0; r < (rec.multi_roi ? rows : n); r++)
      out += api_mul(rec.channels, api_mul(p[rec.one_policy_in_diff_images ? 0 : r].out_height,
                                           p[rec.one_policy_in_diff_images ? 0 : r].out_width));
  }
  if (out > 0) API_GLOBAL(rec.output, api_dense(e_out, out));
  nodechip_cv_resize(rec.input, rows_at, rec.channels, rec.output, DTCM_SCRATCH_START, rec.input_data_type,
                     rec.output_data_type, rec.width_stride, rec.height_stride, n, rec.if_4N_to_1N,
                     rec.one_policy_in_diff_images, rec.need_switch, rec.multi_roi, (u8)rec.stretch_fit, (u8)rec.pad_a,
                     (u8)rec.pad_b, (u8)rec.pad_c, &node);
  poll_all_engine_done(&node);
  cv_reset_dtcm();
  return 0;
}

u32 zv_api_copy_to(u8 *param, u32 size) {
  cv_reset_dtcm();
  API_TAKE_RECORD(zv_api_cv_copy_to_t, rec, param, size);
  const u32 e = rec.data_type == STORAGE_MODE_1N_FP32 || rec.data_type == STORAGE_MODE_4N_INT8 ? 4 : 1;
  const int packed = rec.packed == 1;
  const i64 planes = packed ? 1 : rec.channels, row_elems = packed ? 3 * (i64)rec.src_width : rec.src_width;
  const i64 src_dims[3] = {planes, rec.src_height, row_elems};
  const i64 src_strides[3] = {api_mul(rec.src_stride, rec.src_height), rec.src_stride, 1};
  const i64 dst_strides[3] = {api_mul(rec.dst_stride, rec.dst_height), rec.dst_stride, 1};
  API_GLOBAL(rec.src, api_strided(e, 3, src_dims, src_strides));
  API_GLOBAL(rec.dst, api_strided(e, 3, src_dims, dst_strides));
  if (rec.padding) {
    const i64 fill_dims[3] = {packed ? 1 : (i64)rec.channels, rec.dst_height,
                              packed ? 3 * (i64)rec.dst_width : (i64)rec.dst_width};
    API_GLOBAL(rec.fill_base, api_strided(e, 3, fill_dims, dst_strides));
  }
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_copy_to(rec.src, rec.dst, rec.fill_base, rec.channels, rec.src_stride, rec.src_width, rec.src_height,
                     rec.dst_stride, rec.dst_width, rec.dst_height, rec.data_type, rec.colour_order, rec.packed,
                     rec.padding, (u8)rec.value0, (u8)rec.value1, (u8)rec.value2, node);
  });
}
