// The interpreter loop of a compiled network: its three dispatch maps and the
// software pipeline of local groups.
//
// A global group (one time step) is one layer over whole tensors: the loop
// reads its header and calls `global_func_map[layer_type]`. A local group runs
// its body once per pipeline iteration: slices (batch slices, then h slices)
// enter stage 0 one per iteration and move one stage further each iteration;
// every item of the body runs at its stage on the slice now in that stage. In
// each time step the local layers issue on the compute copy of the node and the
// tensor moves on the move copy; both start from the node's ids and are merged
// back after the step.
//
// Controller contract: on entry `ctx->cur` stands at the record's `length`
// word (after the 16-byte layer header, or after the move type); the
// controller reads its record and references, leaves `cur` after them,
// registers its outputs and issues with the node(s) it is given, never waiting
// unless it reads device data on the ARM.
#pragma once

#include "interp/context.h"

#define DYNAMIC_LAYER_TYPE_NUM 109u
#define DYNAMIC_GDMA_TYPE_NUM 12u

// Layer types the interpreter's own controllers serve (the rest are in the
// description's type table).
typedef enum {
  DYNAMIC_LAYER_CONV = 0,
  DYNAMIC_LAYER_POOLING = 1,
  DYNAMIC_LAYER_LRN = 2,
  DYNAMIC_LAYER_FC = 3,
  DYNAMIC_LAYER_CONCAT = 7,
  DYNAMIC_LAYER_BATCHNORM = 8,
  DYNAMIC_LAYER_SCALE = 9,
  DYNAMIC_LAYER_ELTWISE = 10,
  DYNAMIC_LAYER_PRELU = 11,
  DYNAMIC_LAYER_LSTM = 12,
  DYNAMIC_LAYER_PERMUTE = 13,
  DYNAMIC_LAYER_NORMALIZE = 14,
  DYNAMIC_LAYER_REORG = 15,
  DYNAMIC_LAYER_PRIORBOX = 16,
  DYNAMIC_LAYER_RESHAPE = 18,
  DYNAMIC_LAYER_SOFTMAX = 19,
  DYNAMIC_LAYER_INTERP = 20,
  DYNAMIC_LAYER_RPN = 21,
  DYNAMIC_LAYER_DECONV = 22,
  DYNAMIC_LAYER_CROP = 23,
  DYNAMIC_LAYER_MULSHIFT = 24,
  DYNAMIC_LAYER_POOLING_TF = 25,
  DYNAMIC_LAYER_PAD = 26,
  DYNAMIC_LAYER_ARG = 27,
  DYNAMIC_LAYER_TILE = 28,
  DYNAMIC_LAYER_SELECT = 29,
  DYNAMIC_LAYER_BROADCAST_BINARY = 31,
  DYNAMIC_LAYER_CONST_BINARY = 32,
  DYNAMIC_LAYER_ELTWISE_BINARY = 33,
  DYNAMIC_LAYER_BIASADD = 34,
  DYNAMIC_LAYER_ACTIVE = 35,
  DYNAMIC_LAYER_SPLIT_TF = 37,
  DYNAMIC_LAYER_SHAPE_REF = 38,
  DYNAMIC_LAYER_SHAPE_CONST = 39,
  DYNAMIC_LAYER_SHAPE_OP = 40,
  DYNAMIC_LAYER_SHAPE_SLICE = 41,
  DYNAMIC_LAYER_SHAPE_PACK = 42,
  DYNAMIC_LAYER_SHAPE_ASSIGN = 43,
  DYNAMIC_LAYER_SHAPE_REORDER = 44,
  DYNAMIC_LAYER_EXPAND_DIMS = 45,
  DYNAMIC_LAYER_SQUEEZE = 46,
  DYNAMIC_LAYER_REF_PAD = 47,
  DYNAMIC_LAYER_REF_CROP = 48,
  DYNAMIC_LAYER_TRANSPOSE = 49,
  DYNAMIC_LAYER_REDUCE_FULL = 50,
  DYNAMIC_LAYER_STRIDE_SLICE = 51,
  DYNAMIC_LAYER_SPACE2BATCH = 52,
  DYNAMIC_LAYER_BATCH2SPACE = 53,
  DYNAMIC_LAYER_OUTPUT = 54,
  DYNAMIC_LAYER_EXPAND = 55,
  DYNAMIC_LAYER_EMBEDDING = 56,
  DYNAMIC_LAYER_TOPK = 57,
  DYNAMIC_LAYER_ROIPOOLING = 60,
  DYNAMIC_LAYER_CONSTANT_FILL = 61,
  DYNAMIC_LAYER_SIMPLE_CROP = 62,
  DYNAMIC_LAYER_SLICELIKE = 63,
  DYNAMIC_LAYER_ADAPTIVE_POOL = 64,
  DYNAMIC_LAYER_BATCH_MATMUL = 65,
  DYNAMIC_LAYER_UPSAMPLE = 66,
  DYNAMIC_LAYER_SHAPE_RANGE = 67,
  DYNAMIC_LAYER_SHAPE_TILE = 68,
  DYNAMIC_LAYER_SHAPE_REVERSE = 69,
  DYNAMIC_LAYER_SHAPE_EXPAND_NDIMS = 70,
  DYNAMIC_LAYER_SHAPE_CAST = 71,
  DYNAMIC_LAYER_SHAPE_RESHAPE = 72,
  DYNAMIC_LAYER_SHAPE_REDUCE = 73,
  DYNAMIC_LAYER_DTYPE_CONVERT = 74,
  DYNAMIC_LAYER_YOLO = 75,
  DYNAMIC_LAYER_SSD_DETECT_OUT = 76,
  DYNAMIC_LAYER_HOST2DEVICE = 77,
  DYNAMIC_LAYER_DEVICE2HOST = 78,
  DYNAMIC_LAYER_TENSORARRAY = 79,
  DYNAMIC_LAYER_TA_WRITE = 80,
  DYNAMIC_LAYER_TA_READ = 81,
  DYNAMIC_LAYER_TA_SIZE = 82,
  DYNAMIC_LAYER_TA_SCATTER = 83,
  DYNAMIC_LAYER_TA_GATHER = 84,
  DYNAMIC_LAYER_TA_SPLIT = 85,
  DYNAMIC_LAYER_TA_CONCAT = 86,
  DYNAMIC_LAYER_PSROIPOOLING = 87,
  DYNAMIC_LAYER_SHAPE_UNARY = 88,
  DYNAMIC_LAYER_SHAPE_SPLIT = 89,
  DYNAMIC_LAYER_SHAPE_SQUEEZE = 90,
  DYNAMIC_LAYER_RANK = 91,
  DYNAMIC_LAYER_WHERE = 92,
  DYNAMIC_LAYER_YOLOV3_DETECT_OUT = 93,
  DYNAMIC_LAYER_MASKED_SELECT = 94,
  DYNAMIC_LAYER_SORT_PER_DIM = 95,
  DYNAMIC_LAYER_INDEX_SELECT = 96,
  DYNAMIC_LAYER_NMS = 97,
  DYNAMIC_LAYER_SLICE = 98,
  DYNAMIC_LAYER_SHAPE_SIZESLICE = 99,
  DYNAMIC_LAYER_COEFF2NEURON = 100,
  DYNAMIC_LAYER_SHAPE_SELECT = 101,
  DYNAMIC_LAYER_DEPTH2SPACE = 102,
  DYNAMIC_LAYER_WHERE_SQUEEZE_GATHER = 103,
  DYNAMIC_LAYER_REVERSE = 104,
  DYNAMIC_LAYER_BROADCAST_LIKE = 105,
  DYNAMIC_LAYER_LUT = 106,
  DYNAMIC_LAYER_MATRIX_BAND_PART = 107,
  DYNAMIC_LAYER_ARITH_SHIFT = 108,
} dynamic_layer_type_t;

typedef enum {
  LD_INPUT_NEURON = 0,
  ST_OUTPUT_NEURON = 1,
  LD_ITM_NEURON = 2,
  ST_ITM_NEURON = 3,
  LD_COEFF = 4,
  LD_COEFF_NEURON = 5,
  LD_COEFF_WINOGRAD = 6,
  MV_ITM_NEURON = 7,
  MV_OUTPUT_NEURON = 8,
  MV_ITM_EXTEND_NEURON = 9,
  ST_ITM_EXTEND_NEURON = 10,
  LD_G2L2 = 11,
} dynamic_gdma_type_t;

typedef void (*dynamic_global_ctrl_t)(dynamic_context_t *ctx, cmd_id_node_t *node);
// `nodes` points at the compute working copy; the move working copy follows it.
typedef void (*dynamic_local_ctrl_t)(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, cmd_id_node_t *nodes);
typedef void (*dynamic_gdma_ctrl_t)(dynamic_context_t *ctx, dynamic_pipe_info_t *slot, u32 first_time,
                                    cmd_id_node_t *node);

// Where a local group's slices lie along h (pure; from the group's first input).
typedef struct {
  u32 n;         // batch items to cut (1 when the input's batch is 0)
  u32 n_raw;     // the input's batch
  u32 h_step;    // rows between consecutive h slices
  u32 pad_top;   // T: padding above the first row (h-split groups)
  u32 h_eff;     // height bound of the h slices
} dynamic_group_geometry_t;

extern "C" {

extern dynamic_global_ctrl_t global_func_map[DYNAMIC_LAYER_TYPE_NUM];
extern dynamic_local_ctrl_t local_func_map[DYNAMIC_LAYER_TYPE_NUM];
extern dynamic_gdma_ctrl_t gdma_func_map[DYNAMIC_GDMA_TYPE_NUM];
extern int func_map_inited;

// Fills the three maps (once per firmware life).
void dynamic_func_map_init(void);
// The global controllers' entries of the map (in the global controllers' file).
void dynamic_global_func_map_fill(dynamic_global_ctrl_t *map);

// The h geometry of a local group: H of the first input, the slice record's
// window, stride and paddings. Pure.
void dynamic_group_geometry_of(dynamic_group_geometry_t *g, u32 n_raw, u32 h, int is_h_split,
                               const dynamic_group_slice_t *first);
// The number of h slices of a group geometry.
u32 dynamic_group_h_slices(const dynamic_group_geometry_t *g);

void fw_call_global_layer(dynamic_context_t *ctx, cmd_id_node_t *node);
void fw_call_local_layer(dynamic_context_t *ctx, cmd_id_node_t *node);

u32 nodechip_dynamic_fullnet_compile_v2(u32 description, u32 description_bytes, u64 addr_boundary,
                                        u64 neuron_base, u64 coeff_base, u32 input_num,
                                        dynamic_io_tensor_t *inputs, u32 output_num,
                                        dynamic_io_tensor_t *outputs, cmd_id_node_t *node, u64 scratch_addr,
                                        u32 extra_word);

#if !defined(__arm__)
// Host build only: a test installs a controller of its own (the maps are
// filled first if they were not).
void dynamic_global_func_map_set_for_test(u32 layer_type, dynamic_global_ctrl_t ctrl);
void dynamic_local_func_map_set_for_test(u32 layer_type, dynamic_local_ctrl_t ctrl);
void dynamic_gdma_func_map_set_for_test(u32 gdma_type, dynamic_gdma_ctrl_t ctrl);
#endif
}
