// The tensor engine's 32-word descriptor as the element-wise commands fill it:
// the field table, the codes written into it, and the small builder every
// element-wise generator composes its words with before it writes the window.
//
// Descriptor bit p is bit (p % 32) of word (p / 32); a field is its lowest bit
// and its width, and may straddle two words. Words 18 to 21 (and 30, 31 for
// md_cmp) hold operand addresses or constant values; words 22 to 29 the h and w
// strides of the result and of operands 0 to 2.
#pragma once

#include "cmd/cmd_framework.h"
#include "runtime/types.h"
#include "cmd/local_mem.h"

// ---- Header ----
// (start, fixed bits, ids, lane mask: cmd_common.h)
static constexpr cmd_field_id_t BD_FLAG35 = CMD_FIELD(35, 1);
static constexpr cmd_field_id_t BD_TASK = CMD_FIELD(37, 4);
static constexpr cmd_field_id_t BD_SUBOP = CMD_FIELD(41, 5);
static constexpr cmd_field_id_t BD_OPD_NUM = CMD_FIELD(46, 2);
static constexpr cmd_field_id_t BD_RSHIFT = CMD_FIELD(48, 5);
static constexpr cmd_field_id_t BD_SHIFT2 = CMD_FIELD(53, 5);
static constexpr cmd_field_id_t BD_SHIFT_TYPE = CMD_FIELD(58, 1);
static constexpr cmd_field_id_t BD_RES_ADD = CMD_FIELD(59, 1);
static constexpr cmd_field_id_t BD_FLOAT_MODE = CMD_FIELD(60, 1);  // 1 except in fixed-point arithmetic
// ---- Operand kinds ----
static constexpr cmd_field_id_t BD_OPD0_SIGN = CMD_FIELD(64, 1);
static constexpr cmd_field_id_t BD_OPD1_SIGN = CMD_FIELD(65, 1);
static constexpr cmd_field_id_t BD_OPD2_SIGN = CMD_FIELD(66, 1);
static constexpr cmd_field_id_t BD_RES_PREC = CMD_FIELD(67, 3);
static constexpr cmd_field_id_t BD_OPD0_PREC = CMD_FIELD(70, 3);
static constexpr cmd_field_id_t BD_OPD1_PREC = CMD_FIELD(73, 3);
static constexpr cmd_field_id_t BD_OPD2_PREC = CMD_FIELD(76, 3);
static constexpr cmd_field_id_t BD_OPD0_CONST = CMD_FIELD(79, 1);
static constexpr cmd_field_id_t BD_OPD1_CONST = CMD_FIELD(80, 1);
static constexpr cmd_field_id_t BD_OPD2_CONST = CMD_FIELD(81, 1);
static constexpr cmd_field_id_t BD_RES_STRIDE_MODE = CMD_FIELD(82, 2);
static constexpr cmd_field_id_t BD_OPD0_STRIDE_MODE = CMD_FIELD(85, 2);
static constexpr cmd_field_id_t BD_OPD1_STRIDE_MODE = CMD_FIELD(88, 2);
// ---- Fields of the convolution engine (tasks 0-2 and 12) ----
static constexpr cmd_field_id_t CONV_OUT_MODE = CMD_FIELD(60, 2);     // float 1; fixed point: ReLU
static constexpr cmd_field_id_t FC_RELU = CMD_FIELD(60, 1);           // matrix product: float 1; ReLU
static constexpr cmd_field_id_t FC_L_TRANS = CMD_FIELD(61, 1);        // matrix product: L transposed
static constexpr cmd_field_id_t CONV_WINOGRAD = CMD_FIELD(62, 1);
static constexpr cmd_field_id_t CONV_KERNEL_FLAG = CMD_FIELD(63, 1);  // rotated kernel
static constexpr cmd_field_id_t CONV_RESULT_PREC = CMD_FIELD(91, 3);
static constexpr cmd_field_id_t CONV_INS_W = CMD_FIELD(94, 4);
static constexpr cmd_field_id_t CONV_INS_H = CMD_FIELD(98, 4);
static constexpr cmd_field_id_t CONV_DW = CMD_FIELD(102, 4);  // dilation minus one
static constexpr cmd_field_id_t CONV_DH = CMD_FIELD(106, 4);
static constexpr cmd_field_id_t CONV_PAD_TOP = CMD_FIELD(110, 4);
static constexpr cmd_field_id_t CONV_PAD_BOTTOM = CMD_FIELD(114, 4);
static constexpr cmd_field_id_t CONV_PAD_LEFT = CMD_FIELD(118, 4);
static constexpr cmd_field_id_t CONV_PAD_RIGHT = CMD_FIELD(122, 4);
static constexpr cmd_field_id_t CONV_STRIDE_W = CMD_FIELD(126, 4);
static constexpr cmd_field_id_t CONV_STRIDE_H = CMD_FIELD(130, 4);
// ---- Shapes: the operation's, then operand 0's and operand 1's fields ----
static constexpr cmd_field_id_t BD_N = CMD_FIELD(198, 16);
static constexpr cmd_field_id_t BD_C = CMD_FIELD(214, 12);
static constexpr cmd_field_id_t BD_H = CMD_FIELD(226, 16);
static constexpr cmd_field_id_t BD_W = CMD_FIELD(242, 16);
static constexpr cmd_field_id_t BD_OPD0_N = CMD_FIELD(258, 16);
static constexpr cmd_field_id_t BD_OPD0_C = CMD_FIELD(274, 12);
static constexpr cmd_field_id_t BD_OPD0_H = CMD_FIELD(286, 16);
static constexpr cmd_field_id_t BD_OPD0_W = CMD_FIELD(302, 16);
static constexpr cmd_field_id_t BD_OPD1_N = CMD_FIELD(318, 12);  // md_sfu: Taylor coefficient count
static constexpr cmd_field_id_t BD_OPD1_C = CMD_FIELD(330, 12);
static constexpr cmd_field_id_t BD_OPD1_H = CMD_FIELD(342, 16);  // table lookup: table length in 32-entry groups
static constexpr cmd_field_id_t BD_OPD1_W = CMD_FIELD(358, 16);  // vector correlation: y length
// Six 4-bit fixed-point shift fields from bit 374.
static inline cmd_field_id_t BD_FIX_SHIFT(int i) { return cmd_field_id_t{(u16)(374 + 4 * i), 4}; }
// ---- n and c strides (19 bits each) ----
static constexpr cmd_field_id_t BD_RES_NSTRIDE = CMD_FIELD(398, 19);
static constexpr cmd_field_id_t BD_RES_CSTRIDE = CMD_FIELD(417, 19);
static constexpr cmd_field_id_t BD_OPD0_NSTRIDE = CMD_FIELD(436, 19);
static constexpr cmd_field_id_t BD_OPD0_CSTRIDE = CMD_FIELD(455, 19);
static constexpr cmd_field_id_t BD_OPD1_NSTRIDE = CMD_FIELD(474, 19);
static constexpr cmd_field_id_t BD_OPD1_CSTRIDE = CMD_FIELD(493, 19);
static constexpr cmd_field_id_t BD_OPD2_NSTRIDE = CMD_FIELD(512, 19);
static constexpr cmd_field_id_t BD_OPD2_CSTRIDE = CMD_FIELD(531, 19);
static constexpr cmd_field_id_t BD_RES_SIGN = CMD_FIELD(550, 1);
static constexpr cmd_field_id_t BD_OPD1_BCAST_N = CMD_FIELD(552, 1);
static constexpr cmd_field_id_t BD_OPD3_CONST = CMD_FIELD(553, 1);
// ---- Whole words ----
#define BD_WORD_RES 18
#define BD_WORD_OPD0 19
#define BD_WORD_OPD1 20
#define BD_WORD_OPD2 21
#define BD_WORD_RES_HSTRIDE 22  // then w; operand 0 at 24, 25; 1 at 26, 27; 2 at 28, 29
#define BD_WORD_RES_WSTRIDE 23
#define BD_WORD_OPD0_HSTRIDE 24
#define BD_WORD_OPD0_WSTRIDE 25
#define BD_WORD_OPD1_HSTRIDE 26
#define BD_WORD_OPD1_WSTRIDE 27
#define BD_WORD_OPD2_HSTRIDE 28
#define BD_WORD_OPD2_WSTRIDE 29
#define BD_WORD_RES1 30         // md_cmp: second result
#define BD_WORD_OPD3 31         // md_cmp: operand 3
#define BD_WORDS 32
// A whole word as a field.
#define BD_WORD_FIELD(index) CMD_FIELD(32 * (index), 32)

// Task types (descriptor bits 37-40).
typedef enum {
  BD_TASK_CONV = 0,
  BD_TASK_POOL = 1,
  BD_TASK_FC = 2,
  BD_TASK_ARITH = 3,
  BD_TASK_TABLE_LOOKUP = 6,
  BD_TASK_MD_SUM = 7,
  BD_TASK_MD_SCALAR = 8,
  BD_TASK_MD_SFU = 9,
  BD_TASK_MD_LINEAR = 10,
  BD_TASK_DECOMPRESS = 12,
  BD_TASK_MD_CMP = 13,
  BD_TASK_VEC_CORR = 14,
} bd_task_type_t;

// Element precision codes (3-bit fields).
#define BD_PREC_INT8 0
#define BD_PREC_FP32 2
#define BD_PREC_INT16 3
#define BD_PREC_INT32 4

// Stride modes: 0 the engine's default (EU-aligned) layout, 3 strides given.
#define BD_STRIDE_DEFAULT 0
#define BD_STRIDE_GIVEN 3

// Largest values of the shape fields of one descriptor.
#define BD_MAX_N 65535
#define BD_MAX_C 4095
#define BD_MAX_H 65535
#define BD_MAX_W 65535

// A descriptor being composed: its words and which of words 1..31 the command
// defines (only those are written to the window; the others keep what the
// window held).
typedef struct {
  u32 w[BD_WORDS];
  u32 defined;  // bit i: word i is written
} bd_desc_t;

extern "C" {
// Starts a descriptor from the engine's default image (with the fixed header
// bits) with words first..last defined.
void bd_desc_init(bd_desc_t *d, int first, int last);
// Merges `value` into the field as the framework merges packs (other bits of the
// touched words kept); the value must fit the field's width.
inline void bd_desc_set(bd_desc_t *d, cmd_field_id_t f, u32 value) { cmd_desc_set(d->w, f, value); }
// The field's value, assembled across two words where it straddles.
u32 bd_desc_get(const bd_desc_t *d, cmd_field_id_t f);
// Sets a whole word and marks it defined.
static inline void bd_desc_word(bd_desc_t *d, int index, u32 value) {
  d->w[index] = value;
  d->defined |= 1u << index;
}
static inline void bd_desc_undefine(bd_desc_t *d, int index) { d->defined &= ~(1u << index); }

// The shape fields of the operation (N, C, H, W).
void bd_desc_shape(bd_desc_t *d, u32 n, u32 c, u32 h, u32 w);

// Issues the descriptor by the direct-write protocol: takes the window and a new
// tensor-engine id from the node, stamps the own id and the GDMA id to wait for,
// writes the defined words 1..31 in ascending order, then word 0 with the start
// bit clear and again with it set, and records the profiling entry.
void bd_desc_issue(bd_desc_t *d, cmd_id_node_t *node);
}
