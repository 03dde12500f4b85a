// Records of the compiled-network description, each declared once as a packed
// little-endian struct with its size checked. A reader copies a record out of
// the stream into its struct with one copy (the stream gives no alignment
// guarantee) and uses the fields by name; the test-side writer fills the same
// structs, and tests/interp/record_layout_test.cpp checks every field's offset
// against a hand-written table of the documented layouts.
//
// Words that pack two 16-bit halves (high << 16 | low) are declared low half
// first, as they lie in memory. The layer parameter records are in
// interp/layer_records.h.
#pragma once

#include <string.h>

#include "runtime/types.h"

// A record: packed (no padding, every field at its documented offset) and
// 4-byte aligned, so that a record copied into its struct has its word fields
// and arrays at aligned addresses and an array field can be passed by pointer.
#define DYN_RECORD __attribute__((packed, aligned(4)))

// ---- Framing ----

// Group header (12 bytes; 16 with DYNAMIC_GROUP_FLAG_LONG_NSLICE, the long
// n_slice following as one more word).
typedef struct DYN_RECORD {
  u16 split_num;       // split-table words
  u16 ts_num;          // time steps; 1 makes the group global
  u8 n_slice;          // batch items per slice (without the long-n_slice flag)
  u8 group_in_num;     // group inputs
  u8 new_tensor_num;   // new-tensor keys
  u8 flags;            // bit 0 is_h_split, bit 1 long n_slice
  u8 stage_num;        // pipeline depth
  u8 unused[3];
} dynamic_group_info_t;
static_assert(sizeof(dynamic_group_info_t) == 12, "group header");

// Group-input slice record of an h-split group (16 bytes).
typedef struct DYN_RECORD {
  u16 window_rows;  // rows one h slice of this input covers, padding included
  u16 id;           // the input's tensor id
  u16 window;
  u16 stride;       // slices start window_rows + stride - window rows apart
  u16 pad_bottom;
  u16 pad_top;
  u32 bound_window;  // window of the slice-count bound
} dynamic_group_slice_t;
static_assert(sizeof(dynamic_group_slice_t) == 16, "slice record");

// Layer header: the type and the three words the run context exposes as the
// layer's middle value.
typedef struct DYN_RECORD {
  u32 data_size;             // dsize_t
  u32 intensor_store_mode;   // fw_store_mode_t
  u32 outtensor_store_mode;  // fw_store_mode_t
} dynamic_middle_value_t;
static_assert(sizeof(dynamic_middle_value_t) == 12, "three words");

typedef struct DYN_RECORD {
  u32 layer_type;  // dynamic_layer_type_t
  dynamic_middle_value_t middle;
} dynamic_layer_header_t;
static_assert(sizeof(dynamic_layer_header_t) == 16, "layer header");

// Stage word of a pipelined item: stage << 16 | bytes up to the next item.
typedef struct DYN_RECORD {
  u16 skip_bytes;
  u16 stage;
} dynamic_stage_word_t;
static_assert(sizeof(dynamic_stage_word_t) == 4, "stage word");

// ---- Tensor references of global layer records ----

// A neuron reference: this head, then a 64-bit offset when is_net_io is 0.
typedef struct DYN_RECORD {
  u32 is_net_io;
  u32 id;  // low half
} dynamic_neuron_ref_t;
static_assert(sizeof(dynamic_neuron_ref_t) == 8, "neuron reference head");

// A tensor-array reference: the id and a 64-bit offset.
typedef struct DYN_RECORD {
  u32 id;  // low half
  u64 offset;
} dynamic_tensorarray_ref_t;
static_assert(sizeof(dynamic_tensorarray_ref_t) == 12, "tensor-array reference");

// ---- Move records (after `length`); sizes are each type's maximum ----

typedef struct DYN_RECORD {
  u32 local_addr;
  u16 id;  // net input id
  u16 unused_w1;
  u32 unused_w2;
  u32 channels;   // 0 keeps the tensor's
  u32 data_size;  // dsize_t
  u8 pack_flag;
  u8 unused[3];
} ld_input_neuron_rec_t;
static_assert(sizeof(ld_input_neuron_rec_t) == 24, "LD_INPUT_NEURON record");

// The fields the output store's record starts with; the intermediate store's
// record holds the same behind its 8-byte offset.
typedef struct DYN_RECORD {
  u32 local_addr;
  u16 id;
  u16 unused_w1;
  u16 channel_offset;
  u16 dst_channels;
  u16 container_id;
  u16 unused_w3;
  u8 group_a;  // channel-group counts (bytes 0 and 1 of the word)
  u8 group_b;
  u8 unused_w4[2];
  u32 data_size;
  u8 pack_flag;
  u8 unused[3];
} st_neuron_fields_t;
static_assert(sizeof(st_neuron_fields_t) == 28, "store fields");

typedef st_neuron_fields_t st_output_neuron_rec_t;

typedef struct DYN_RECORD {
  u64 offset;  // 0: the tensor's table address
  u32 local_addr;
  u16 id;
  u16 unused_w3;
  u16 reference_id;
  u16 start_lane;
  u32 channels;  // 0 keeps the tensor's
  u32 data_size;
  u8 pack_flag;
  u8 unused[3];
} ld_itm_neuron_rec_t;
static_assert(sizeof(ld_itm_neuron_rec_t) == 32, "LD_ITM_NEURON record");

typedef struct DYN_RECORD {
  u64 offset;  // 0: the net output address of the container id
  st_neuron_fields_t f;
  u8 unused[4];
} st_itm_neuron_rec_t;
static_assert(sizeof(st_itm_neuron_rec_t) == 40, "ST_ITM_NEURON record");

typedef struct DYN_RECORD {
  u64 offset;
  u32 local_addr;  // lane << 19 | offset
  u16 C;
  u16 N;
  u16 W;
  u16 H;
  u8 once;
  u8 shape_mode;
  u8 factor;
  u8 unused_w5;
  u32 elem_selector;  // 1 16-bit, 2 8-bit, else 32-bit
  u8 unused[4];
} ld_coeff_rec_t;
static_assert(sizeof(ld_coeff_rec_t) == 32, "LD_COEFF record");

typedef struct DYN_RECORD {
  u64 offset;
  u32 local_addr;
  u16 W;
  u16 C;
  u16 row_step;
  u16 pad_top;
  u16 H;
  u16 window_rows;
  u8 once;
  u8 single_batch;
  u8 unused_w6[2];
  u32 data_size;
  u32 batch_to_register;  // 0: no slice record
  u32 id;
} ld_coeff_neuron_rec_t;
static_assert(sizeof(ld_coeff_neuron_rec_t) == 40, "LD_COEFF_NEURON record");

typedef struct DYN_RECORD {
  u64 offset;
  u32 local_addr;  // lane << 19 | offset
  u16 C;
  u16 n;
  u32 h_w;  // H << 24 | W (W in 24 bits)
  u8 once;
  u8 winograd_coeff;
  u8 groups;
  u8 unused_w5;
  u32 data_size;
  u8 unused[4];
} ld_coeff_winograd_rec_t;
static_assert(sizeof(ld_coeff_winograd_rec_t) == 32, "LD_COEFF_WINOGRAD record");

static inline u32 ld_coeff_winograd_H(const ld_coeff_winograd_rec_t *r) { return r->h_w >> 24; }
static inline u32 ld_coeff_winograd_W(const ld_coeff_winograd_rec_t *r) { return r->h_w & 0xffffff; }

// The fields both neuron moves hold behind their offsets.
typedef struct DYN_RECORD {
  u16 source_id;
  u16 C;
  u16 channel_offset;
  u16 dst_channels;
  u32 dst_id;
  u32 data_size;
} mv_neuron_fields_t;
static_assert(sizeof(mv_neuron_fields_t) == 16, "move fields");

typedef struct DYN_RECORD {
  u64 src_offset;
  u64 dst_offset;
  mv_neuron_fields_t f;
  u8 unused[8];
} mv_itm_neuron_rec_t;
static_assert(sizeof(mv_itm_neuron_rec_t) == 40, "MV_ITM_NEURON record");

typedef struct DYN_RECORD {
  u64 src_offset;
  mv_neuron_fields_t f;
  u8 unused[8];
} mv_output_neuron_rec_t;
static_assert(sizeof(mv_output_neuron_rec_t) == 32, "MV_OUTPUT_NEURON record");

typedef struct DYN_RECORD {
  u64 src_offset;
  u64 dst_offset;
  u32 source_id;
  u32 channel_offset;
  u32 dst_id;
  u32 elem_type;  // dsize_t, for 1N
  u32 C;
  u32 dst_channels;
  u8 store_mode;  // fw_store_mode_t
  u8 unused[7];
} mv_itm_extend_neuron_rec_t;
static_assert(sizeof(mv_itm_extend_neuron_rec_t) == 48, "MV_ITM_EXTEND_NEURON record");

typedef struct DYN_RECORD {
  u64 offset;  // 0: the net output address of the container id
  u32 local_addr;
  u32 unused_w3;
  u32 id;
  u32 dst_channels;
  u32 channel_offset;
  u32 container_id;
  u32 data_size;
  u8 group_a;
  u8 group_b;
  u8 pack_flag;
  u8 unused[1];
} st_itm_extend_neuron_rec_t;
static_assert(sizeof(st_itm_extend_neuron_rec_t) == 40, "ST_ITM_EXTEND_NEURON record");

typedef struct DYN_RECORD {
  u64 offset;
  u32 l2_offset;  // from L2_SRAM_START_ADDR
  u32 id;         // source when the base selector is 0
  u8 base_selector;
  u8 unused_w4[3];
  u32 byte_count;
  u8 unused[8];
} ld_g2l2_rec_t;
static_assert(sizeof(ld_g2l2_rec_t) == 32, "LD_G2L2 record");

// ---- Shared field conversions ----

// The byte an 8-bit layer pads with, from a float record field: the value's
// integer part cut to 8 bits, so that -1 gives 0xff on every target (a float
// converted straight to an unsigned type is undefined below 0, and the ARM
// saturates it to 0). Values outside the int32 range give 0.
static inline int pad_value_byte(float v) {
  if (!(v > -2147483648.0f && v < 2147483648.0f)) return 0;
  return (int)((u32)(i32)v & 0xff);
}
