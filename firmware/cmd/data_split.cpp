// Slice plans of the convolution, deconvolution and pooling layers.
//
// Each split sizes the worker's local layout (weights, double-buffered inputs and
// outputs, and for the float convolution the piece area used when a padded
// extent passes the engines' 2047 limit) for whole tensors first, then cuts
// channels, batch, output rows and, for the single-item float convolution, output
// columns until one slice fits. Every search starts from an estimate (bytes
// needed over bytes free) and grows one section at a time, bounded by the extent
// it cuts. All byte counts are per lane and computed in 64 bits.
#include "cmd/data_split.h"
#include "cmd/conv_window.h"

#include "runtime/assert.h"
#include "runtime/regs.h"
#include "cmd/tensor_slice.h"
#include "cmd/local_mem.h"

#define BANK_SIZE 0x10000
#define CONV_MAX_CHANNELS 4095
// Padded extents from this size on are cut into pieces by the float worker.
#define CONV_PIECE_EXTENT 2048
#define CONV16_OW_PER_SECTION 16

#define SPLIT_ASSERT_POSITIVE(x) ASSERT((x) > 0, #x "=%d must be positive", (int)(x))
#define SPLIT_ASSERT_GROUPS(in_c, out_c, groups)                                           \
  ASSERT((in_c) >= (groups) && (out_c) >= (groups),                                        \
         "groups=%d leaves no channel per group (input_c=%d, output_c=%d)", (int)(groups), \
         (int)(in_c), (int)(out_c))

// The checks shared by the 8-bit and 16-bit convolution splits (a macro, so
// that a failure names the split that was called).
#define SPLIT_ASSERT_FIXED_CONV_ARGS()                             \
  do {                                                             \
    SPLIT_ASSERT_POSITIVE(input_n);                                \
    SPLIT_ASSERT_POSITIVE(input_c);                                \
    SPLIT_ASSERT_POSITIVE(input_w);                                \
    SPLIT_ASSERT_POSITIVE(output_c);                               \
    SPLIT_ASSERT_POSITIVE(output_h);                               \
    SPLIT_ASSERT_POSITIVE(output_w);                               \
    SPLIT_ASSERT_POSITIVE(groups);                                 \
    SPLIT_ASSERT_POSITIVE(kh);                                     \
    SPLIT_ASSERT_POSITIVE(kw);                                     \
    SPLIT_ASSERT_POSITIVE(dh);                                     \
    SPLIT_ASSERT_POSITIVE(stride_h);                               \
    ASSERT(ins_h >= 0, "ins_h=%d must not be negative", ins_h);    \
    SPLIT_ASSERT_GROUPS(input_c, output_c, groups);                \
  } while (0)

static const s64 kLocal = LOCAL_MEM_SIZE;

// A whole number of 64 KB banks.
static inline s64 a64(s64 x) { return align_up(x, BANK_SIZE); }
// Whole groups of 32 float32 values.
static inline s64 eu_align(s64 bytes) { return align_up(ceil_div(bytes, 4), EU_NUM) * 4; }
static inline s64 max_s64(s64 a, s64 b) { return a > b ? a : b; }
static inline s64 min_s64(s64 a, s64 b) { return a < b ? a : b; }
// Bytes of one float32 plane of `elems` elements in the EU-aligned layout.
static inline s64 plane_bytes(s64 elems) { return align_up(elems, EU_NUM) * 4; }
// Output rows (or columns) a command computes from a padded extent, the input
// limited to 2047 rows (or columns), less one.
static inline s64 piece_out_less_one(s64 padded, s64 k_ext, s64 stride) {
  return ((padded < CONV_PIECE_EXTENT ? padded : CONV_PIECE_EXTENT - 1) - k_ext) / stride;
}
// First guess of a section count: bytes needed over bytes free, within [1, limit].
static inline s64 first_guess(s64 need, s64 free_bytes, s64 limit) {
  return min_s64(max_s64(1, need / free_bytes), limit);
}

// Input-channel sections that `ic` channels fill in sections of `ics`. The
// workers give each section ceil(ic / sections) channels and the last one the
// rest; counting the sections from their size keeps that size (ics) and leaves
// no section empty, where the count the size came from may not.
static inline s64 input_sections(s64 ic, s64 ics) { return ceil_div(ic, ics); }

// Output-channel sections of a section of `per_lane` weight bytes per output
// lane row plus `fixed` bytes: grows the count until the single-buffered weights
// fit a bank, the lane rows times the output width fit 65536 and, with
// `limit_rows`, the section has fewer than 4096 channels. Never more sections
// than lane rows: the workers need every section to hold channels.
static s64 grow_oc_sections(s64 secs, s64 ocr, s64 output_w, s64 first_weights, s64 fixed,
                            s64 per_lane, bool limit_rows) {
  s64 lanes = ocr;
  s64 weights = first_weights;
  while (weights > BANK_SIZE || lanes * output_w > BANK_SIZE ||
         (limit_rows && lanes * NPU_NUM > CONV_MAX_CHANNELS)) {
    const s64 m = secs == 1 ? max_s64(ocr * output_w / BANK_SIZE, weights / BANK_SIZE) + 1 : secs;
    if (m > ocr) {
      secs = ocr;
      break;
    }
    secs = m + 1;
    lanes = ceil_div(ocr, secs);
    weights = a64(fixed + lanes * per_lane);
  }
  return min_s64(secs, ocr);
}

// ---------------------------------------------------------------------------
// Float32 convolution

typedef struct {
  s64 input_w;
  s64 output_h;
  s64 output_w;
  s64 stride_h;
  s64 stride_w;
  s64 kh_ext;
  s64 kw_ext;
  s64 pad_h_sum;
  s64 pad_w_sum;
  s64 padded_w;    // input width + both pads + stride - 1
  s64 piece_cols;  // output columns of one piece command
  s64 wbuf;        // double-buffered weights of one section, whole banks
  s64 icr;         // input lane rows of one input-channel section
  s64 lanes;       // output lane rows of one output-channel section
} conv_geom_t;

// One batch item, output rows cut into h sections.
static s64 conv_row_slice_bytes(const conv_geom_t *g, s64 h) {
  const s64 v = ceil_div(g->output_h, h);
  const s64 rows = v * g->stride_h + g->kh_ext;
  s64 bytes = a64(g->wbuf + plane_bytes(rows * g->input_w) * g->icr * 2) +
              plane_bytes(v * g->output_w) * g->lanes * 2;
  const s64 padded_rows = rows + g->pad_h_sum + g->stride_h - 1;
  if (padded_rows >= CONV_PIECE_EXTENT || g->padded_w >= CONV_PIECE_EXTENT)
    bytes += (piece_out_less_one(padded_rows, g->kh_ext, g->stride_h) * g->lanes + g->lanes) *
             g->piece_cols * 4;
  return bytes;
}

// One batch item, one output row per section, output columns cut into w sections.
static s64 conv_col_slice_bytes(const conv_geom_t *g, s64 w) {
  const s64 cols = ceil_div(g->output_w, w);
  const s64 in_cols = cols * g->stride_w + g->kw_ext;
  const s64 rows = g->stride_h + g->kh_ext;
  s64 bytes =
      a64(g->wbuf + plane_bytes(in_cols * rows) * g->icr * 2) + plane_bytes(cols) * g->lanes * 2;
  const s64 padded_rows = rows + g->pad_h_sum + g->stride_h - 1;
  const s64 padded_cols = in_cols + g->pad_w_sum + g->stride_w - 1;
  if (padded_rows >= CONV_PIECE_EXTENT || padded_cols >= CONV_PIECE_EXTENT) {
    const s64 y = piece_out_less_one(padded_rows, g->kh_ext, g->stride_h) * g->lanes + g->lanes;
    bytes += (piece_out_less_one(padded_cols, g->kw_ext, g->stride_w) * y + y) * 4;
  }
  return bytes;
}

// When the weights fit but the whole batch does not: sections of items when
// one item fits, otherwise of rows (then of columns too, when not even one
// output row fits). Writes r's nsecs, hsecs and wsecs; 0 when nothing fits.
static int conv_fit_sections(const conv_geom_t *g, s64 n, s64 in_plane, s64 out_plane, s64 piece, s64 output_h,
                             s64 output_w, conv_secs_info_t *r) {
  const s64 in = g->icr * n * in_plane;
  const s64 outb = g->lanes * n * out_plane;
  const s64 need = a64(g->wbuf + 2 * in) + 2 * outb + g->lanes * n * piece;
  if (need <= kLocal) return 1;
  const s64 free_bytes = kLocal - g->wbuf;
  const s64 one_item = a64(g->wbuf + 2 * g->icr * in_plane) + 2 * g->lanes * out_plane + g->lanes * piece;
  if (n < 2) {
    s64 h = first_guess(2 * (in + outb), free_bytes, output_h);
    while (conv_row_slice_bytes(g, h) > kLocal && h < output_h) h++;
    if (conv_row_slice_bytes(g, h) <= kLocal) {
      r->hsecs = (u32)h;
    } else {
      // Not even one output row fits: one row per section, cut the columns.
      s64 w = 2;
      while (w <= output_w && conv_col_slice_bytes(g, w) > kLocal) w++;
      if (w > output_w) return 0;
      r->hsecs = (u32)output_h;
      r->wsecs = (u32)w;
    }
  } else if (one_item <= kLocal) {
    s64 s = min_s64(max_s64(2 * (in + outb) / free_bytes, 1), 2);
    for (;;) {
      const s64 p = ceil_div(n, s);
      if (a64(g->wbuf + 2 * p * g->icr * in_plane) + 2 * p * g->lanes * out_plane + p * g->lanes * piece <= kLocal)
        break;
      s++;
    }
    r->nsecs = (u32)s;
  } else {
    s64 h = first_guess(2 * (g->icr * in_plane + g->lanes * out_plane), free_bytes, output_h);
    while (conv_row_slice_bytes(g, h) > kLocal && h < output_h) h++;
    if (conv_row_slice_bytes(g, h) > kLocal) return 0;
    r->nsecs = (u32)n;
    r->hsecs = (u32)h;
  }
  return 1;
}

int global_conv_data_split(int input_n, int input_c, int input_h, int input_w, int output_c,
                           int output_h, int output_w, int groups, int kh, int kw, int dh, int dw,
                           int stride_h, int stride_w, int pad_h, int pad_h_after, int pad_w,
                           int pad_w_after, int using_bias, conv_secs_info_t *out) {
  SPLIT_ASSERT_POSITIVE(input_n);
  SPLIT_ASSERT_POSITIVE(input_c);
  SPLIT_ASSERT_POSITIVE(input_h);
  SPLIT_ASSERT_POSITIVE(input_w);
  SPLIT_ASSERT_POSITIVE(output_c);
  SPLIT_ASSERT_POSITIVE(output_h);
  SPLIT_ASSERT_POSITIVE(output_w);
  SPLIT_ASSERT_POSITIVE(groups);
  SPLIT_ASSERT_POSITIVE(kh);
  SPLIT_ASSERT_POSITIVE(kw);
  SPLIT_ASSERT_POSITIVE(dh);
  SPLIT_ASSERT_POSITIVE(dw);
  SPLIT_ASSERT_POSITIVE(stride_h);
  SPLIT_ASSERT_POSITIVE(stride_w);
  SPLIT_ASSERT_GROUPS(input_c, output_c, groups);

  const s64 n = input_n;
  s64 ic = input_c / groups;
  const s64 oc = output_c / groups;
  const s64 icr = ceil_div(ic, NPU_NUM);
  const s64 ocr = ceil_div(oc, NPU_NUM);
  const s64 ksize = (s64)kh * kw;

  conv_geom_t g;
  g.input_w = input_w;
  g.output_h = output_h;
  g.output_w = output_w;
  g.stride_h = stride_h;
  g.stride_w = stride_w;
  const conv_window_t win = conv_window_of(kh, kw, dh, dw, pad_h, pad_h_after, pad_w, pad_w_after, stride_h, stride_w);
  g.kh_ext = conv_kernel_extent(win.kh, win.dh);
  g.kw_ext = conv_kernel_extent(win.kw, win.dw);
  g.pad_h_sum = (s64)win.pad_t + win.pad_b;
  g.pad_w_sum = (s64)win.pad_l + win.pad_r;

  const s64 in_plane = plane_bytes((s64)input_h * input_w);
  const s64 out_plane = plane_bytes((s64)output_h * output_w);
  const s64 bias = using_bias ? ocr * 4 : 0;
  const s64 weights = eu_align(2 * (bias + ic * ocr * ksize * 4));
  const s64 padded_h = input_h + g.pad_h_sum + stride_h - 1;
  g.padded_w = input_w + g.pad_w_sum + stride_w - 1;
  const s64 piece_rows = piece_out_less_one(padded_h, g.kh_ext, stride_h) + 1;
  g.piece_cols = piece_out_less_one(g.padded_w, g.kw_ext, stride_w) + 1;
  const bool big = padded_h >= CONV_PIECE_EXTENT || g.padded_w >= CONV_PIECE_EXTENT;
  // Piece area per batch item and output lane row.
  const s64 piece = big ? piece_rows * g.piece_cols * 4 : 0;

  const s64 total =
      a64(weights + 2 * n * icr * in_plane) + 2 * n * ocr * out_plane + n * ocr * piece;

  conv_secs_info_t r = {1, 1, 1, 1, 1};
  bool whole = false;
  bool cut_channels;
  if (ic <= CONV_MAX_CHANNELS && total <= kLocal) {
    whole = oc <= CONV_MAX_CHANNELS;
    cut_channels = !whole;
  } else {
    cut_channels = weights > 2 * BANK_SIZE || ic > CONV_MAX_CHANNELS || oc > CONV_MAX_CHANNELS;
  }

  if (!whole) {
    if (cut_channels) {
      s64 icsecs = max_s64(ceil_div(ic, CONV_MAX_CHANNELS), weights / BANK_SIZE + 1);
      icsecs = min_s64(icsecs, icr);
      const s64 ics = ceil_div(ic, icsecs);
      r.icsecs = (u32)input_sections(ic, ics);
      ic = ics;
      r.ocsecs = (u32)grow_oc_sections(1, ocr, output_w, eu_align(2 * bias + ic * ocr * ksize * 4),
                                       2 * bias, ic * ksize * 4, true);
    }

    g.lanes = ceil_div(ocr, r.ocsecs);
    g.wbuf = a64(2 * (bias + g.lanes * ic * ksize * 4));
    if (g.wbuf >= kLocal) return 0;
    g.icr = ceil_div(ic, NPU_NUM);
    if (!conv_fit_sections(&g, n, in_plane, out_plane, piece, output_h, output_w, &r)) return 0;
  }

  // No section may have more than 63 lane rows of channels.
  while (ceil_div(ocr, r.ocsecs) * NPU_NUM > CONV_MAX_CHANNELS) r.ocsecs++;
  *out = r;
  return 1;
}

// ---------------------------------------------------------------------------
// 16-bit and 8-bit convolutions

int conv16_ofmap_csize_local(int rows) { return rows * 256; }

// Input rows that `r` output rows read, with `ins_h` zeros inserted between rows.
static inline s64 fixed_in_rows(s64 r, s64 stride_h, s64 dh, s64 kh, s64 ins_h) {
  return (r * stride_h + dh * (kh - 1) + ins_h) / (ins_h + 1);
}

// Weights with the first input buffer, the second input buffer and the two
// output buffers, each ending on a bank boundary.
static inline s64 bank_chain(s64 wbuf, s64 in, s64 outb) {
  return a64(a64(a64(a64(wbuf + in) + in) + outb) + outb);
}

int global_conv_data_split_fix16b(int input_n, int input_c, int input_h, int input_w, int output_c,
                                  int output_h, int output_w, int groups, int kh, int kw, int dh,
                                  int dw, int stride_h, int stride_w, int using_bias, int ins_h,
                                  int reserved, conv_secs_info_t *out) {
  (void)input_h;
  (void)dw;
  (void)stride_w;
  (void)reserved;
  SPLIT_ASSERT_FIXED_CONV_ARGS();

  out->wsecs = (u32)ceil_div(output_w, CONV16_OW_PER_SECTION);

  const s64 ic = input_c / groups;
  const s64 oc = output_c / groups;
  const s64 icr = ceil_div(ic, NPU_NUM);
  const s64 oh = output_h;
  const s64 wbuf = a64(2 * ((s64)kw * align_up(ic, 4) * kh + (using_bias ? 2 : 0)));
  if (wbuf >= kLocal) return 0;

  const s64 whole_in = icr * plane_bytes((s64)input_w * fixed_in_rows(oh, stride_h, dh, kh, ins_h));
  const s64 whole_out = oh * 256;
  s64 h = 1;
  if (bank_chain(wbuf, whole_in, whole_out) > kLocal) {
    h = first_guess(2 * (whole_in + whole_out), kLocal - wbuf, oh);
    for (;;) {
      const s64 r = ceil_div(oh, h);
      const s64 in =
          icr * plane_bytes((s64)input_w * (fixed_in_rows(r, stride_h, dh, kh, ins_h) + kh));
      if (bank_chain(wbuf, in, r * 256) <= kLocal) break;
      if (h >= oh) return 0;
      h++;
    }
  }

  out->ocsecs = (u32)ceil_div(oc, NPU_NUM);
  out->icsecs = 1;
  out->nsecs = (u32)ceil_div(input_n, 4);
  out->hsecs = (u32)h;
  return 1;
}

int global_conv_data_split_fix8b(int input_n, int input_c, int input_h, int input_w, int output_c,
                                 int output_h, int output_w, int groups, int kh, int kw, int dh,
                                 int dw, int stride_h, int stride_w, int using_bias, int ins_h,
                                 int reserved, conv_secs_info_t *out) {
  (void)input_h;
  (void)dw;
  (void)stride_w;
  (void)reserved;
  SPLIT_ASSERT_FIXED_CONV_ARGS();

  const s64 g4 = ceil_div(input_n, 4);  // batch groups of the 4N layout
  const s64 ic = input_c / groups;
  const s64 oc = output_c / groups;
  const s64 icr = ceil_div(ic, NPU_NUM);
  const s64 ocr = ceil_div(oc, NPU_NUM);
  const s64 oh = output_h;
  const s64 ow = output_w;
  const s64 ksize = (s64)kh * kw;
  const s64 bias = using_bias ? 2 * ocr : 0;
  const s64 ica = align_up(ic, 4);

  s64 weights = a64(2 * (bias + ocr * ica * ksize));
  const s64 in_plane = plane_bytes((s64)input_w * fixed_in_rows(oh, stride_h, dh, kh, ins_h));
  const s64 in = icr * g4 * in_plane;
  const s64 out_plane = plane_bytes(oh * ow);
  const s64 total = weights + 2 * a64(in) + 2 * a64(out_plane * ocr * g4);

  s64 ocsecs = ceil_div(oc, CONV_MAX_CHANNELS);
  if (weights > 2 * BANK_SIZE && total > kLocal)
    ocsecs = grow_oc_sections(ocsecs, ocr, ow, weights, 2 * bias, ica * ksize, false);

  const s64 lanes = ceil_div(ocr, ocsecs);
  const s64 wbuf = a64(2 * (bias + lanes * ica * ksize));
  if (wbuf >= kLocal) return 0;
  const s64 outb = out_plane * g4 * lanes;
  const s64 need = a64(a64(2 * a64(in) + wbuf + outb) + outb);

  s64 nsecs = 1;
  s64 hsecs = 1;
  if (need > kLocal) {
    const s64 free_bytes = kLocal - wbuf;
    const bool one_group_fits = bank_chain(wbuf, icr * in_plane, lanes * out_plane) <= kLocal;
    if (g4 >= 2 && one_group_fits) {
      s64 s = min_s64(max_s64(2 * (in + outb) / free_bytes, 1), 2);
      for (;;) {
        const s64 p = ceil_div(g4, s);
        if (a64(a64(wbuf + p * icr * in_plane) + p * icr * in_plane) +
                2 * a64(out_plane * lanes * p) <=
            kLocal)
          break;
        s++;
      }
      nsecs = s;
    } else {
      // One batch group per section when there are several; cut output rows.
      const s64 guess = g4 < 2 ? 2 * (in + outb) : 2 * (icr * in_plane + lanes * out_plane);
      s64 h = first_guess(guess, free_bytes, oh);
      for (;;) {
        const s64 r = ceil_div(oh, h);
        const s64 sec_in =
            icr * plane_bytes((s64)input_w * fixed_in_rows(r, stride_h, dh, kh, ins_h));
        if (bank_chain(wbuf, sec_in, lanes * plane_bytes(ow * r)) <= kLocal) break;
        if (h >= oh) return 0;
        h++;
      }
      nsecs = g4 < 2 ? 1 : g4;
      hsecs = h;
    }
  }

  out->ocsecs = (u32)ocsecs;
  out->icsecs = 1;
  out->nsecs = (u32)nsecs;
  out->hsecs = (u32)hsecs;
  return 1;
}

// ---------------------------------------------------------------------------
// Float32 deconvolution

typedef struct {
  s64 input_w;
  s64 output_h;
  s64 output_w;
  s64 stride_h;
  s64 kh_ext;
  s64 pad_h;
  s64 wbuf;
  s64 icr;
  s64 lanes;
} deconv_geom_t;

static s64 deconv_row_slice_bytes(const deconv_geom_t *g, s64 h) {
  const s64 r = ceil_div(g->output_h, h);
  // A window that needs no input row counts none.
  const s64 in_rows = max_s64(0, (2 * g->pad_h + r - g->kh_ext) / g->stride_h + 2);
  return a64(g->wbuf + g->icr * plane_bytes(in_rows * g->input_w) * 2) +
         g->lanes * 2 * plane_bytes(r * g->output_w);
}

int get_deconv_secs_info(int input_n, int reserved1, int input_h, int input_w, int input_c,
                         int output_c, int kh, int kw, int reserved2, int reserved3, int output_h,
                         int output_w, int reserved4, int stride_h, int dh, int pad_h, int groups,
                         deconv_secs_info_t *out) {
  (void)reserved1;
  (void)reserved2;
  (void)reserved3;
  (void)reserved4;
  SPLIT_ASSERT_POSITIVE(input_n);
  SPLIT_ASSERT_POSITIVE(input_h);
  SPLIT_ASSERT_POSITIVE(input_w);
  SPLIT_ASSERT_POSITIVE(input_c);
  SPLIT_ASSERT_POSITIVE(output_c);
  SPLIT_ASSERT_POSITIVE(kh);
  SPLIT_ASSERT_POSITIVE(kw);
  SPLIT_ASSERT_POSITIVE(output_h);
  SPLIT_ASSERT_POSITIVE(output_w);
  SPLIT_ASSERT_POSITIVE(stride_h);
  SPLIT_ASSERT_POSITIVE(dh);
  SPLIT_ASSERT_POSITIVE(groups);
  SPLIT_ASSERT_GROUPS(input_c, output_c, groups);

  const s64 n = input_n;
  s64 ic = input_c / groups;
  const s64 oc = output_c / groups;
  const s64 icr = ceil_div(ic, NPU_NUM);
  const s64 ocr = ceil_div(oc, NPU_NUM);
  const s64 ksize = (s64)kh * kw;
  const s64 in_plane = plane_bytes((s64)input_h * input_w);
  const s64 out_plane = plane_bytes((s64)output_h * output_w);
  const s64 bias = ocr * 4;

  const s64 weights = eu_align(ocr * ic * ksize * 8);
  if (a64(weights + 2 * n * icr * in_plane + eu_align(ocr * 8)) + 2 * n * ocr * out_plane <=
      kLocal) {
    deconv_secs_info_t whole = {1, 1, 1, 1};
    *out = whole;
    return 1;
  }

  deconv_secs_info_t r = {1, 1, 1, 1};
  if (weights > 2 * BANK_SIZE) {
    const s64 ics = ceil_div(ic, min_s64(weights / BANK_SIZE + 1, icr));
    r.icsecs = (u32)input_sections(ic, ics);
    ic = ics;
    r.ocsecs = (u32)grow_oc_sections(1, ocr, output_w, a64(ocr * 8 + ocr * ic * ksize * 4), ocr * 8,
                                     ic * ksize * 4, false);
  }

  deconv_geom_t g;
  g.input_w = input_w;
  g.output_h = output_h;
  g.output_w = output_w;
  g.stride_h = stride_h;
  g.kh_ext = conv_kernel_extent(kh, dh);
  g.pad_h = pad_h;
  g.lanes = ceil_div(ocr, r.ocsecs);
  g.icr = ceil_div(ic, NPU_NUM);
  const s64 bottom_local_start = a64(2 * (bias + g.lanes * ic * ksize * 4));
  ASSERT(bottom_local_start < (1<<19));
  g.wbuf = bottom_local_start;

  const s64 in = g.icr * n * in_plane;
  const s64 outb = g.lanes * n * out_plane;
  if (a64(g.wbuf + 2 * in) + 2 * outb > kLocal) {
    const s64 free_bytes = kLocal - g.wbuf;
    const bool one_item_fits =
        a64(2 * g.icr * in_plane + g.wbuf) + 2 * g.lanes * out_plane <= kLocal;
    if (n >= 2 && one_item_fits) {
      s64 s = min_s64(max_s64(2, 2 * (in + outb) / free_bytes), n);
      for (;;) {
        const s64 p = ceil_div(n, s);
        if (a64(p * 2 * g.icr * in_plane + g.wbuf) + p * 2 * g.lanes * out_plane <= kLocal) break;
        s++;
      }
      r.nsecs = (u32)s;
    } else {
      const s64 guess = n >= 2 ? 2 * (g.icr * in_plane + g.lanes * out_plane) : 2 * (in + outb);
      s64 h = first_guess(guess, free_bytes, output_h);
      while (deconv_row_slice_bytes(&g, h) > kLocal && h < output_h) h++;
      if (deconv_row_slice_bytes(&g, h) > kLocal) return 0;
      r.nsecs = n >= 2 ? (u32)n : 1;
      r.hsecs = (u32)h;
    }
  }
  *out = r;
  return 1;
}

// ---------------------------------------------------------------------------
// Float32 pooling

// Input-row step of a slice when not even one plane per lane fits an input
// buffer (`q` planes per buffer, below 1): the first window and as many further
// strides as fit the rows of one buffer (with a 2% margin).
static u32 nodechip_pooling_GetLineNum_parallel(int input_h, int kh, int stride_h, float q) {
  const int fit_rows = (int)(input_h * q * 0.98);
  // Strides after the first window, rounded down: a window taller than the rows
  // that fit gives a negative count and is refused below.
  const int spare = fit_rows - kh;
  const int k = spare >= 0 ? spare / stride_h : -((-spare + stride_h - 1) / stride_h);
  const int N_initial = kh + stride_h * k;
  ASSERT(N_initial >= kh);
  return (u32)((k + 1) * stride_h);
}

int global_pooling_data_split(int input_n, int input_c, int input_h, int input_w, int output_h,
                              int output_w, int kh, int kw, int pad_h, int pad_w, int pad_h_after,
                              int pad_w_after, int stride_h, int stride_w, int mode,
                              pooling_secs_info_t *out) {
  (void)pad_h_after;
  (void)pad_w_after;
  (void)stride_w;
  (void)mode;
  SPLIT_ASSERT_POSITIVE(input_n);
  SPLIT_ASSERT_POSITIVE(input_c);
  SPLIT_ASSERT_POSITIVE(input_h);
  SPLIT_ASSERT_POSITIVE(input_w);
  SPLIT_ASSERT_POSITIVE(output_h);
  SPLIT_ASSERT_POSITIVE(output_w);
  SPLIT_ASSERT_POSITIVE(kh);
  SPLIT_ASSERT_POSITIVE(kw);
  SPLIT_ASSERT_POSITIVE(stride_h);

  if (pad_w > kw || pad_h > kh) return 0;

  const s64 plane =
      max_s64(align_up((s64)input_h * input_w, EU_NUM), align_up((s64)output_h * output_w, EU_NUM));
  const float planes_fit = 524288.0f / (float)(plane * 4);
  // The worker gives half of the memory to two input buffers.
  const float q = planes_fit / 4;
  const float rows = (float)ceil_div((s64)input_n * input_c, NPU_NUM);

  pooling_secs_info_t r;
  if (q >= rows) {
    r.c_step = (u32)(int)(q * 0.125f) * NPU_NUM;
    if (r.c_step < NPU_NUM) r.c_step = NPU_NUM;
    r.h_step = (u32)stride_h * (u32)output_h;
  } else if (q >= 1) {
    r.c_step = (u32)(int)q * NPU_NUM;
    r.h_step = (u32)stride_h * (u32)output_h;
  } else {
    r.c_step = NPU_NUM;
    r.h_step = nodechip_pooling_GetLineNum_parallel(input_h, kh, stride_h, q);
  }
  r.input_ratio = 0.5f;
  *out = r;
  return 1;
}
