// APIs 144 (pad) and 145 (8-bit pad).
#include "layers/data/pad.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/record_arrays.h"

// The pads record's (before, after) pairs.
typedef const int pad_pair_t[2];

// Every extent positive, every pad count non-negative; the padded extents.
static void padded_shape(const int *in, pad_pair_t *pads, i64 *out) {
  for (int i = 0; i < 4; i++) {
    ASSERT(in[i] >= 0 && pads[i][0] >= 0 && pads[i][1] >= 0, "axis %d: %d + (%d, %d)", i, in[i], pads[i][0],
           pads[i][1]);
    out[i] = (i64)in[i] + pads[i][0] + pads[i][1];
  }
}

u32 zv_api_pad(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_pad_t, rec, param, size);
  const int in[4] = {(int)rec.n, (int)rec.c, (int)rec.h, (int)rec.w};
  pad_pair_t *pads = API_ARRAY(pad_pair_t, rec, pads);
  i64 out[4];
  padded_shape(in, pads, out);
  API_GLOBAL(rec.input, api_dense(4, in[0], in[1], in[2], in[3]));
  API_GLOBAL(rec.output, api_dense(4, out[0], out[1], out[2], out[3]));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_pad(rec.input, rec.output, rec.n, rec.c, rec.h, rec.w, pads, rec.pad_mode, rec.value, node);
  });
}

u32 zv_api_pad_fix8b(u8 *param, u32 size) {
  API_TAKE_ALIGNED_RECORD(zv_api_pad_fix8b_t, rec, param, size);
  const int in[4] = {(int)rec.input_n, (int)rec.input_c, (int)rec.input_h, (int)rec.input_w};
  pad_pair_t *pads = API_ARRAY(pad_pair_t, rec, pads);
  i64 out[4];
  padded_shape(in, pads, out);
  const i64 in_items = rec.input_is_4N ? 4 * (((i64)in[0] + 3) / 4) : in[0];
  const i64 out_items = rec.output_is_4N ? 4 * ((out[0] + 3) / 4) : out[0];
  API_GLOBAL(rec.input_addr, api_dense(1, in_items, in[1], in[2], in[3]));
  API_GLOBAL(rec.output_addr, api_dense(1, out_items, out[1], out[2], out[3]));
  // The 1N copy of a 4N input, and the 1N result for a 4N output, unless both
  // sides are 4N and the batch is not padded (the words are padded in place).
  const int words = rec.input_is_4N && rec.output_is_4N && pads[0][0] == 0 && pads[0][1] == 0;
  if (rec.input_is_4N && !words) API_GLOBAL(rec.buffer_addr, api_dense(1, in[0], in[1], in[2], in[3]));
  if (rec.output_is_4N && !words) API_GLOBAL(rec.buffer2_addr, api_dense(1, out[0], out[1], out[2], out[3]));
  return api_issue([&](cmd_id_node_t *node) {
    nodechip_pad_fix8b(rec.input_addr, rec.output_addr, rec.input_is_4N != 0, rec.buffer_addr, rec.output_is_4N != 0,
                       rec.buffer2_addr, rec.input_n, rec.input_c, rec.input_h, rec.input_w, pads, rec.pad_mode,
                       rec.value, node);
  });
}
