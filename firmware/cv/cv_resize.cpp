#include "cv/cv_resize.h"

#include <math.h>
#include <string.h>

#include "cmd/gdma.h"
#include "runtime/assert.h"
#include "runtime/engine_wait.h"
#include "runtime/hw.h"

// ---- Fixed-point step ----

void dynamic_get_w_info(int four_n, int *multiplier, int *shift, float scale) {
  const i64 a = (i64)(4096.0 / (double)scale);
  int s = 0;
  for (i64 v = a; v >= 2; v >>= 1) s++;
  if (four_n && (4 << s) > 4093) s = 9;
  if (s > 15) s = 15;
  int m = (int)(scale * (float)(1 << s));
  if (m >= 4096 && s > 0) {
    s--;
    m = (int)(scale * (float)(1 << s));
  }
  *multiplier = m;
  *shift = s;
}

// ---- Moves ----

namespace {

u32 elem_bytes(u32 data_type) { return data_type == STORAGE_MODE_1N_INT8 ? 1 : 4; }

gdma_value_format_t format_of(u32 data_type) {
  return data_type == STORAGE_MODE_1N_INT8 ? GDMA_VALUE_FORMAT_UINT8 : GDMA_VALUE_FORMAT_FLOAT32;
}

// Formats of a resize from one data type to another (checked).
void formats_of(u32 in_type, u32 out_type, gdma_value_format_t *from, gdma_value_format_t *to) {
  if (in_type == out_type) {
    *from = *to = format_of(in_type);
  } else if (in_type == STORAGE_MODE_1N_FP32) {
    *from = GDMA_VALUE_FORMAT_FLOAT32;
    *to = GDMA_VALUE_FORMAT_UINT8;
  } else if (in_type == STORAGE_MODE_1N_INT8) {
    *from = GDMA_VALUE_FORMAT_UINT8;
    *to = GDMA_VALUE_FORMAT_FLOAT32;
  } else {
    ASSERT_FS(0, "format not support\r\n");
  }
}

// The restart of the ids before a move would pass the 16-bit id field.
void transfer_guard(cmd_id_node_t *node) {
  if (node->gdma_cmd_id > 65534) {
    poll_all_engine_done(node);
    resync_cmd_id(node);
  }
}

// One resize of `items` x `planes` planes: source item k plane p at
// src + k src_item + p src_plane (elements of `from`, rows width_stride
// apart; a 4N source is read as words and its byte `lane` picked on the way
// out); destination planes of dst_h rows of dst_w elements. `reverse` takes
// three planes in reverse order. Per output row: a move with shift into L2,
// then a move out.
struct resize_job_t {
  u64 src, dst;
  i64 src_item, src_plane;  // elements
  u32 width_stride;
  i64 dst_item;  // elements
  u32 items, planes;
  i32 start_x, start_y, in_w, in_h, out_w, out_h;
  u32 dst_w, dst_h;  // destination row length and plane height
  gdma_value_format_t from, to;
  u32 e_from, e_to;
  u32 lane;        // byte lane of a 4N source, else 0
  int four_n;      // the source is 4N words
  int reverse;     // take three planes in reverse order
};

void resize_rows(const resize_job_t *j, cmd_id_node_t *node) {
  const float scale_w = (float)j->in_w / (float)j->out_w, scale_h = (float)j->in_h / (float)j->out_h;
  const u32 passes = j->reverse ? j->planes : 1, planes = j->reverse ? 1 : j->planes;
  const int is = (int)j->src_item, ss = (int)j->src_plane, ws = (int)j->width_stride;
  for (u32 pass = 0; pass < passes; pass++) {
    // Output plane `pass` reads source plane 2 - pass (three planes), else all.
    const u32 src_plane0 = j->reverse ? (pass == 0 ? 2 : pass == 2 ? 0 : 1) : 0;
    const u32 dst_plane0 = j->reverse ? pass : 0;
    const u64 src = j->src + (u64)((i64)src_plane0 * j->src_plane + (i64)j->start_y * ws + j->start_x) * j->e_from;
    const u64 dst = j->dst + (u64)dst_plane0 * j->dst_h * j->dst_w * j->e_to;
    if (scale_w == 1.0f && scale_h == 1.0f && !j->four_n) {
      // Equal sizes: one move, no staging.
      transfer_guard(node);
      tensor_general_move_gen_cmd(src, 0, (int)j->items, (int)planes, j->out_h, j->out_w, is, ss, ws, 1, j->from,
                                  dst, 0, (int)j->items, (int)planes, j->out_h, j->out_w, (int)j->dst_item,
                                  (int)(j->dst_h * j->dst_w), (int)j->dst_w, 1, j->to, GDMA_VALUE_DIR_S2S, 0, node);
      continue;
    }
    int multiplier, shift;
    dynamic_get_w_info(j->four_n, &multiplier, &shift, scale_w);
    // Rows are staged in the source's format (4N: whole words); the move out
    // converts, or picks the byte lane (the engine converts and strides only
    // on moves with unit element steps, or of rows of one line).
    const u64 staged = (u64)j->e_from * j->items * planes * (u32)j->out_w;
    const u64 tmp_sram_addr = CV_RESIZE_L2_STAGE, dst_single_move_size = staged;
    ASSERT_FS((tmp_sram_addr + dst_single_move_size) < L2_SRAM_START_ADDR + EX_INT_TABLE_OFFSET,
              "data too large\r\n");
    const int row_elems = (int)planes * j->out_w;
    for (i32 y = 0; y < j->out_h; y++) {
      i32 row = (i32)((float)y * scale_h);
      if (row > j->in_h - 1) row = j->in_h - 1;
      transfer_guard(node);
      tensor_general_move_gen_cmd_with_shift_fast(
          src + (u64)((i64)row * ws) * j->e_from, 0, (int)j->items, (int)planes, 1, j->out_w, is, ss, 0, multiplier,
          0, shift, j->from, CV_RESIZE_L2_STAGE, 0, (int)j->items, (int)planes, 1, j->out_w, row_elems, j->out_w,
          j->out_w, 1, 0, 0, j->from, GDMA_VALUE_DIR_S2S, 0, node);
      transfer_guard(node);
      const u64 row_dst = dst + (u64)y * j->dst_w * j->e_to;
      if (j->four_n)
        tensor_general_move_gen_cmd(CV_RESIZE_L2_STAGE + j->lane, 0, (int)j->items, (int)planes, 1, j->out_w,
                                    4 * row_elems, 4 * j->out_w, 4 * j->out_w, 4, GDMA_VALUE_FORMAT_UINT8, row_dst, 0,
                                    (int)j->items, (int)planes, 1, j->out_w, (int)j->dst_item,
                                    (int)(j->dst_h * j->dst_w), (int)j->dst_w, 1, GDMA_VALUE_FORMAT_UINT8,
                                    GDMA_VALUE_DIR_S2S, 0, node);
      else
        tensor_general_move_gen_cmd(CV_RESIZE_L2_STAGE, 0, (int)j->items, (int)planes, 1, j->out_w, row_elems,
                                    j->out_w, j->out_w, 1, j->from, row_dst, 0, (int)j->items, (int)planes, 1,
                                    j->out_w, (int)j->dst_item, (int)(j->dst_h * j->dst_w), (int)j->dst_w, 1, j->to,
                                    GDMA_VALUE_DIR_S2S, 0, node);
    }
  }
}

}  // namespace

// ---- Padding ----

static void fill_value(u32 data_type, u8 byte, u32 *bits, gdma_value_format_t *format) {
  if (data_type == STORAGE_MODE_1N_INT8) {
    *bits = byte;
    *format = GDMA_VALUE_FORMAT_UINT8;
  } else if (data_type == STORAGE_MODE_4N_INT8) {
    *bits = byte * 0x01010101u;
    *format = GDMA_VALUE_FORMAT_FLOAT32;
  } else if (data_type == STORAGE_MODE_1N_FP32) {
    const float f = (float)byte;
    memcpy(bits, &f, 4);
    *format = GDMA_VALUE_FORMAT_FLOAT32;
  } else {
    ASSERT(0, "not support data format");
  }
}

static void channel_values(u32 colour_order, u8 v0, u8 v1, u8 v2, u8 out[3]) {
  if (colour_order == 1) {
    out[0] = v0, out[1] = v1, out[2] = v2;
  } else if (colour_order == 2) {
    out[0] = v2, out[1] = v1, out[2] = v0;
  } else if (colour_order == 0) {
    out[0] = out[1] = out[2] = v0;
  } else {
    ASSERT(0, "not support color space");
  }
}

void nodechip_image_padding(u64 address, u32 direction, u32 top_rows, u32 left_columns, u8 value0, u8 value1,
                            u8 value2, u32 colour_order, u32 data_type, u32 image_num, u32 channels, u32 out_height,
                            u32 out_width, cmd_id_node_t *node) {
  u8 values[3];
  channel_values(colour_order, value0, value1, value2, values);
  const u32 e = elem_bytes(data_type);
  const i64 plane = (i64)out_height * out_width, image = plane * channels;
  for (u32 c = 0; c < channels; c++) {
    u32 bits;
    gdma_value_format_t format;
    fill_value(data_type, values[c < 3 ? c : 2], &bits, &format);
    const u64 base = address + (u64)(c * plane) * e;
    if (direction == 1) {
      const u32 at[2] = {0, out_height - top_rows};
      for (int b = 0; b < 2; b++)
        fill_constant_gen_global_cmd_stride(base + (u64)at[b] * out_width * e, &bits, format, (int)image_num, 1,
                                            (int)top_rows, (int)out_width, (int)image, 0, (int)out_width, 1, node);
    } else {
      const u32 at[2] = {0, out_width - left_columns};
      for (int b = 0; b < 2; b++)
        fill_constant_gen_global_cmd_stride(base + (u64)at[b] * e, &bits, format, (int)image_num, 1,
                                            (int)out_height, (int)left_columns, (int)image, 0, (int)out_width, 1,
                                            node);
    }
  }
}

// ---- Resize ----

// The record's region and the destination's row length and plane height.
static void set_region(resize_job_t *j, const img_para_t &p, u32 dst_w, u32 dst_h) {
  j->start_x = p.start_x;
  j->start_y = p.start_y;
  j->in_w = p.in_width;
  j->in_h = p.in_height;
  j->out_w = p.out_width;
  j->out_h = p.out_height;
  j->dst_w = dst_w;
  j->dst_h = dst_h;
}

// Keeps the aspect ratio of a shared record's region in its requested output:
// the content shrinks along one side, centred, and the bands either side are
// filled with the padding values. Returns the content's first element.
static u64 letterbox(img_para_t *p, img_para_t *rec0, u64 output, u32 output_data_type, u32 image_num,
                     u32 channels, const u8 pad[3], cmd_id_node_t *node) {
  const i32 req_w = p->out_width, req_h = p->out_height;
  const u32 e_out = elem_bytes(output_data_type);
  const float in_w = (float)p->in_width, in_h = (float)p->in_height, ow = (float)req_w, oh = (float)req_h;
  if (oh / in_h > ow / in_w) {
    const i32 content = (i32)lrintf(in_h * ow / in_w);
    const i32 band = (req_h - content + 1) / 2;
    p->out_height = content;
    rec0->out_height = content;
    if (band) nodechip_image_padding(output, 1, (u32)band, 0, pad[0], pad[1], pad[2], 2, output_data_type, image_num,
                                     channels, (u32)req_h, (u32)req_w, node);
    return output + (u64)band * req_w * e_out;
  }
  const i32 content = (i32)lrintf(oh / in_h * in_w);
  const i32 band = (req_w - content + 1) / 2;
  p->out_width = content;
  rec0->out_width = content;
  if (band) nodechip_image_padding(output, 0, 0, (u32)band, pad[0], pad[1], pad[2], 2, output_data_type, image_num,
                                   channels, (u32)req_h, (u32)req_w, node);
  return output + (u64)band * e_out;
}

// The source of image i: byte lane i % 4 of group i / 4 of a 4N source (read
// as words, 1N byte outputs), else the image's own planes.
static void set_image_source(resize_job_t *j, u64 input, u32 i, u32 input_data_type, u32 output_data_type,
                             u32 channels) {
  if (j->four_n) {
    j->from = GDMA_VALUE_FORMAT_FLOAT32;
    j->to = GDMA_VALUE_FORMAT_UINT8;
    j->e_from = 4;
    j->e_to = 1;
    j->src = input + (u64)(i / 4) * (u64)(j->src_plane * channels) * 4;
    j->lane = i % 4;
  } else {
    formats_of(input_data_type, output_data_type, &j->from, &j->to);
    j->e_from = elem_bytes(input_data_type);
    j->e_to = elem_bytes(output_data_type);
    j->src = input + (u64)(i * j->src_plane * channels) * j->e_from;
    j->lane = 0;
  }
}

int nodechip_cv_resize(u64 input, u32 img_para_dtcm, u32 channels, u64 output, u64 roi_counts, u32 input_data_type,
                       u32 output_data_type, u32 row_stride, u32 height_stride, u32 image_num, u32 if_4N_to_1N,
                       u32 one_policy_in_diff_images, u32 need_switch, u32 multi_roi, u8 stretch_fit, u8 pad_a,
                       u8 pad_b, u8 pad_c, cmd_id_node_t *node) {
  const i64 width_stride = row_stride;  // compared with the records' signed widths
  ASSERT_FS(image_num <= (32));
  ASSERT_FS((0 == if_4N_to_1N) || (0 == need_switch));
  ASSERT_FS(1 != (one_policy_in_diff_images & multi_roi));
  // The records in DTCM (packed: read and written byte by byte).
  img_para_t *img_para = (img_para_t *)hw_ptr(img_para_dtcm, (u32)sizeof(img_para_t));
  if (need_switch && one_policy_in_diff_images) {
    for (u32 i = 1; i < image_num; i++) img_para[i] = img_para[0];
    one_policy_in_diff_images = 0;
  }
  const i64 src_plane = (i64)height_stride * width_stride;
  resize_job_t j;
  memset(&j, 0, sizeof j);
  j.src_plane = src_plane;
  j.width_stride = row_stride;
  j.planes = channels;
  j.reverse = if_4N_to_1N != 0;
  if (one_policy_in_diff_images) {
    img_para_t p = img_para[0];
    ASSERT_FS(width_stride >= img_para[0].in_width);
    // Empty regions leave nothing to scale by.
    ASSERT_FS(p.in_width > 0 && p.in_height > 0 && p.out_width > 0 && p.out_height > 0, "record 0: %d x %d to %d x %d",
              (int)p.in_width, (int)p.in_height, (int)p.out_width, (int)p.out_height);
    formats_of(input_data_type, output_data_type, &j.from, &j.to);
    const i32 req_w = p.out_width, req_h = p.out_height;
    const u8 pad[3] = {pad_a, pad_b, pad_c};
    j.dst = !need_switch && !stretch_fit
                ? letterbox(&p, &img_para[0], output, output_data_type, image_num, channels, pad, node)
                : output;
    j.src = input;
    j.src_item = src_plane * channels;
    j.dst_item = (i64)channels * req_h * req_w;
    j.items = image_num;
    set_region(&j, p, (u32)req_w, (u32)req_h);
    j.e_from = elem_bytes(input_data_type);
    j.e_to = elem_bytes(output_data_type);
    resize_rows(&j, node);
    return 0;
  }
  if (!multi_roi) {
    ASSERT(stretch_fit, "stretch_fit must be set in diff policies mode\r\n");
    if (need_switch != 0 && need_switch != 1) ASSERT_FS((1 == if_4N_to_1N), "only support in 4N to 1N mode\r\n");
  } else {
    ASSERT_FS(((STORAGE_MODE_1N_FP32 == input_data_type) || (STORAGE_MODE_1N_INT8 == input_data_type) ||
               (STORAGE_MODE_4N_INT8 == input_data_type)),
              "data type not support");
    if (!need_switch && input_data_type > 1) ASSERT_FS(0, "Not support data type\r\n");
  }
  // Image by image (multi-ROI: each image's ROIs in turn); the outputs follow
  // one another.
  u64 out = output;
  u32 roi_image_offset = 0;
  for (u32 i = 0; i < image_num; i++) {
    u32 rois = 1;
    if (multi_roi) memcpy(&rois, hw_ptr((u32)roi_counts + 4 * i, 4), 4);
    for (u32 r = 0; r < rois; r++, roi_image_offset++) {
      const img_para_t p = img_para[roi_image_offset];
      if (multi_roi)
        ASSERT_FS(width_stride >= img_para[roi_image_offset].in_width);
      else
        ASSERT_FS(width_stride >= img_para[i].in_width);
      ASSERT_FS(p.in_width > 0 && p.in_height > 0 && p.out_width > 0 && p.out_height > 0,
                "record %u: %d x %d to %d x %d", (unsigned)roi_image_offset, (int)p.in_width, (int)p.in_height,
                (int)p.out_width, (int)p.out_height);
      j.four_n = need_switch == 1;
      set_image_source(&j, input, i, input_data_type, output_data_type, channels);
      j.dst = out;
      j.src_item = 0;
      j.dst_item = 0;
      j.items = 1;
      set_region(&j, p, (u32)p.out_width, (u32)p.out_height);
      resize_rows(&j, node);
      out += (u64)channels * p.out_height * p.out_width * j.e_to;
    }
  }
  return 0;
}

// ---- Copy-to ----

int nodechip_copy_to(u64 src, u64 dst, u64 fill_base, u32 channels, u32 src_stride, u32 src_width, u32 src_height,
                     u32 dst_stride, u32 dst_width, u32 dst_height, u32 data_type, u32 colour_order, u32 packed,
                     u32 padding, u8 value0, u8 value1, u8 value2, cmd_id_node_t *node) {
  const int words = data_type == STORAGE_MODE_1N_FP32 || data_type == STORAGE_MODE_4N_INT8;
  const u32 e = words ? 4 : 1;
  const gdma_value_format_t format = words ? GDMA_VALUE_FORMAT_FLOAT32 : GDMA_VALUE_FORMAT_UINT8;
  if (padding) {
    u8 values[3];
    channel_values(colour_order, value0, value1, value2, values);
    if (packed != 0 && packed != 1) ASSERT(0, "not support data format");
    for (u32 c = 0; c < (packed ? 3u : channels); c++) {
      u32 bits;
      gdma_value_format_t f;
      fill_value(data_type, values[c < 3 ? c : 2], &bits, &f);
      if (packed)
        // Every third element of each row: the pixels as rows of one element.
        fill_constant_gen_global_cmd_stride(fill_base + (u64)c * e, &bits, f, 1, (int)dst_height, (int)dst_width, 1,
                                            0, (int)dst_stride, 3, 1, node);
      else
        fill_constant_gen_global_cmd_stride(fill_base + (u64)c * dst_stride * dst_height * e, &bits, f, 1, 1,
                                            (int)dst_height, (int)dst_width, 0, 0, (int)dst_stride, 1, node);
    }
  }
  if (packed == 1)
    tensor_general_move_gen_cmd(src, 0, 1, 1, (int)src_height, (int)(3 * src_width), 0, 0, (int)src_stride, 1,
                                format, dst, 0, 1, 1, (int)src_height, (int)(3 * src_width), 0, 0, (int)dst_stride, 1,
                                format, GDMA_VALUE_DIR_S2S, 0, node);
  else
    tensor_general_move_gen_cmd(src, 0, 1, (int)channels, (int)src_height, (int)src_width, 0,
                                (int)(src_stride * src_height), (int)src_stride, 1, format, dst, 0, 1, (int)channels,
                                (int)src_height, (int)src_width, 0, (int)(dst_stride * dst_height), (int)dst_stride, 1,
                                format, GDMA_VALUE_DIR_S2S, 0, node);
  return 0;
}
