// APIs 110 and 111: replay of host-compiled command buffers and the run of a
// compiled network.
#include "runtime/api/fullnet_api.h"

#include <stdlib.h>
#include <string.h>

#include "cmd/gdma.h"
#include "cmd/local_mem.h"
#include "cmd/memory_store_mode.h"
#include "cmd/tensor_shape.h"
#include "interp/fullnet.h"
#include "interp/multi_fullnet.h"
#include "runtime/api/dispatch.h"
#include "runtime/hw.h"
#include "runtime/services.h"

// Field-by-field reader of a variable-length record: a field past the payload
// fails an assertion.
typedef struct {
  const u8 *p;
  u32 size;
  u32 at;
} payload_reader_t;

static void take(payload_reader_t *r, void *dst, u32 bytes) {
  ASSERT(bytes <= r->size - r->at, "payload of %u bytes ends before the field at byte %u", (unsigned)r->size,
         (unsigned)r->at);
  memcpy(dst, r->p + r->at, bytes);
  r->at += bytes;
}
static u32 take32(payload_reader_t *r) {
  u32 v;
  take(r, &v, 4);
  return v;
}
static u64 take64(payload_reader_t *r) {
  u64 v;
  take(r, &v, 8);
  return v;
}
// The payload left holds at least count entries of `bytes` each.
static void require_entries(const payload_reader_t *r, u32 count, u32 bytes) {
  ASSERT((u64)count * bytes <= r->size - r->at, "%u entries of %u bytes in %u payload bytes left",
         (unsigned)count, (unsigned)bytes, (unsigned)(r->size - r->at));
}

// ---- API 111 ----

static u64 product_from(const u32 *shape, u32 first, u32 dims) {
  u64 p = 1;
  for (u32 i = first; i < dims && i < DYNAMIC_MAX_DIMS; i++) p *= shape[i];
  return p;
}

// A message of API 111 as read: the record, the inputs and outputs (heap
// arrays of count + 1 entries) and the trailer's words.
struct dynamic_message_t {
  zv_api_dynamic_fullnet_t rec;
  dynamic_io_tensor_t *inputs;
  u64 *addr_4n;  // per input: where the network reads its 4N copy (0: none)
  u32 output_num;
  u32 *transform;  // per output: 0 none, 1 the host's 1N from the network's 4N, 2 the reverse
  u64 *host_addr;
  dynamic_io_tensor_t *outputs;
  u32 return_shape, extra_word;
  u64 shape_addr, addr_boundary, neuron_base, coeff_base, scratch_addr;
};

// Outputs, then the trailer.
static void read_dynamic_outputs(payload_reader_t *r, dynamic_message_t *m) {
  const u32 output_num = m->output_num = take32(r);
  require_entries(r, output_num, 20);
  m->transform = (u32 *)calloc(output_num + 1, sizeof(u32));
  m->host_addr = (u64 *)calloc(output_num + 1, sizeof(u64));
  m->outputs = (dynamic_io_tensor_t *)calloc(output_num + 1, sizeof(dynamic_io_tensor_t));
  ASSERT(m->transform != nullptr && m->host_addr != nullptr && m->outputs != nullptr);
  for (u32 i = 0; i < output_num; i++) m->transform[i] = take32(r);
  for (u32 i = 0; i < output_num; i++) {
    m->host_addr[i] = take64(r);
    const u64 work_addr = take64(r);
    m->outputs[i].addr = m->transform[i] != 0 ? work_addr : m->host_addr[i];
  }
  m->return_shape = take32(r);
  m->shape_addr = take64(r);
  m->addr_boundary = take64(r);
  m->neuron_base = take64(r);
  m->coeff_base = take64(r);
  m->scratch_addr = take64(r);
  m->extra_word = take32(r);
}

// The bytes every input and output touches lie in device memory.
static void check_dynamic_tensors(const dynamic_message_t &m) {
  // The original names: the assertion texts quote them.
  const dynamic_io_tensor_t *inputs = m.inputs, *outputs = m.outputs;
  const u64 *addr_4n = m.addr_4n, *host_addr = m.host_addr, shape_addr = m.shape_addr;
  const u32 *transform = m.transform, output_num = m.output_num;
  if (m.return_shape) API_GLOBAL(shape_addr, api_dense(sizeof(dynamic_output_shape_t), output_num));
  for (u32 i = 0; i < m.rec.input_num; i++) {
    const u64 n = inputs[i].shape[0], per_item = product_from(inputs[i].shape, 1, DYNAMIC_MAX_DIMS);
    if (addr_4n[i] == 0) {
      // The network reads the input where the host placed it, in its store
      // mode: 16-bit items in pairs, 8-bit items in fours.
      const u32 t = inputs[i].dtype;
      const i64 items = t == DSIZE_16 ? ALIGN((i64)n, 2ll) : t == DSIZE_8 ? ALIGN((i64)n, 4ll) : (i64)n;
      const i64 elem = t == DSIZE_16 ? 2 : t == DSIZE_8 ? 1 : 4;
      API_GLOBAL(inputs[i].addr, api_dense(elem, items, (i64)per_item));
      API_GLOBAL(inputs[i].addr, api_dense(elem, inputs[i].elem_num));
      continue;
    }
    // The 4N conversion counts items and four items' bytes in ints.
    ASSERT(n <= 0x7fffffffu && per_item <= 0x7fffffffu / 4, "input %u", (unsigned)i);
    API_GLOBAL(inputs[i].addr, api_dense(1, (i64)n, (i64)per_item));
    API_GLOBAL(addr_4n[i], api_dense(4, ceil_div_u64(n, 4), (i64)per_item));
  }
  // The network writes its outputs from these addresses on (their extents
  // are known only once it has run).
  for (u32 i = 0; i < output_num; i++) {
    API_GLOBAL(outputs[i].addr, api_dense(1, 1));
    if (transform[i] == 1 || transform[i] == 2) API_GLOBAL(host_addr[i], api_dense(1, 1));
  }
}

// The compiled description into its window and the 4N copies of the inputs
// that have one; the network then reads those.
static void stage_dynamic_inputs(dynamic_message_t *m, cmd_id_node_t *node) {
  general_gdma_gen_cmd(m->rec.compiled_ir_addr, DYNAMIC_IR_ADDR, GDMA_VALUE_FORMAT_FLOAT32,
                       (int)m->rec.compiled_ir_length, GDMA_VALUE_DIR_S2S, node);
  for (u32 i = 0; i < m->rec.input_num; i++) {
    if (m->addr_4n[i] == 0) continue;
    dynamic_io_tensor_t *in = &m->inputs[i];
    const u64 n = in->shape[0], per_item = product_from(in->shape, 1, DYNAMIC_MAX_DIMS);
    if (n > 0 && per_item > 0) gdma_move_global_1N_and_4N(in->addr, m->addr_4n[i], (int)n, (int)per_item, 1, node);
    in->addr = m->addr_4n[i];
  }
}

// Each output's shape record, and its conversion to the host's store mode.
static void finish_dynamic_outputs(dynamic_message_t *m, cmd_id_node_t *node) {
  for (u32 i = 0; i < m->output_num; i++) {
    dynamic_io_tensor_t *out = &m->outputs[i];
    if (m->return_shape) {
      dynamic_output_shape_t s;
      memset(&s, 0, sizeof(s));
      s.dims = out->dims;
      for (u32 d = 0; d < out->dims && d < DYNAMIC_MAX_DIMS; d++) s.shape[d] = out->shape[d];
      s.elem_num = out->elem_num;
      memcpy(hw_ptr(DYNAMIC_SHAPE_OUT_ADDR + i * (u32)sizeof(s), sizeof(s)), &s, sizeof(s));
    }
    const u32 transform = m->transform[i];
    if (transform != 1 && transform != 2) continue;
    const u64 n = out->dims > 0 ? out->shape[0] : 0;
    const u64 per_item = product_from(out->shape, 1, out->dims);
    const u64 host = m->host_addr[i];
    if (n > 0 && per_item > 0) {
      ASSERT(n <= 0x7fffffffu && per_item <= 0x7fffffffu / 4, "output %u", (unsigned)i);
      const u64 one = transform == 1 ? host : out->addr, four = transform == 1 ? out->addr : host;
      API_GLOBAL(one, api_dense(1, (i64)n, (i64)per_item));
      API_GLOBAL(four, api_dense(1, ALIGN((i64)n, 4ll), (i64)per_item));
      if (transform == 1)
        gdma_move_global_1N_and_4N(host, out->addr, (int)n, (int)per_item, 0, node);
      else
        gdma_move_global_1N_and_4N(out->addr, host, (int)n, (int)per_item, 1, node);
    }
    out->addr = host;
  }
  if (m->return_shape && m->output_num > 0)
    general_gdma_gen_cmd(DYNAMIC_SHAPE_OUT_ADDR, m->shape_addr, GDMA_VALUE_FORMAT_INT8,
                         (int)(m->output_num * sizeof(dynamic_output_shape_t)), GDMA_VALUE_DIR_S2S, node);
}

u32 zv_api_dynamic_fullnet(u8 *param, u32 size) {
  firmware_timer_init();
  payload_reader_t r = {param, size, 0};
  dynamic_message_t m;
  take(&r, &m.rec, sizeof(m.rec));
  const zv_api_dynamic_fullnet_t &rec = m.rec;
  // The length in bytes is computed in 64 bits: a word count above 2^30 must
  // not wrap into the window.
  ASSERT((u64)rec.compiled_ir_length * sizeof(u32) <= DYNAMIC_IR_MAX_BYTES);
  API_POSITIVE(rec.compiled_ir_length);
  API_GLOBAL(rec.compiled_ir_addr, api_dense(4, rec.compiled_ir_length));
  // Inputs (each entry at least addr, type word and elem_num).
  require_entries(&r, rec.input_num, 16);
  m.inputs = (dynamic_io_tensor_t *)calloc(rec.input_num + 1, sizeof(dynamic_io_tensor_t));
  m.addr_4n = (u64 *)calloc(rec.input_num + 1, sizeof(u64));
  ASSERT(m.inputs != nullptr && m.addr_4n != nullptr);
  for (u32 i = 0; i < rec.input_num; i++) {
    dynamic_io_tensor_t *in = &m.inputs[i];
    in->addr = take64(&r);
    if (rec.has_4n_addr) m.addr_4n[i] = take64(&r);
    const u32 type_dims = take32(&r);
    in->dtype = type_dims >> 16;
    in->dims = type_dims & 0xffff;
    ASSERT(in->dims <= DYNAMIC_MAX_DIMS, "input %u has %u dims", (unsigned)i, (unsigned)in->dims);
    for (u32 d = 0; d < DYNAMIC_MAX_DIMS; d++) in->shape[d] = d < in->dims ? take32(&r) : 1;
    in->elem_num = take32(&r);
  }
  read_dynamic_outputs(&r, &m);
  const u32 output_num = m.output_num;
  // The shape records must stay inside their 4 KB area of L2 SRAM.
  if (m.return_shape) ASSERT(output_num * sizeof(dynamic_output_shape_t) <= DYNAMIC_SHAPE_OUT_BYTES);
  check_dynamic_tensors(m);

  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  stage_dynamic_inputs(&m, &node);
  poll_all_engine_done(&node);
  nodechip_dynamic_fullnet_compile_v2(DYNAMIC_IR_ADDR, rec.compiled_ir_length * 4, m.addr_boundary, m.neuron_base,
                                      m.coeff_base, rec.input_num, m.inputs, m.output_num, m.outputs, &node,
                                      m.scratch_addr, m.extra_word);
  finish_dynamic_outputs(&m, &node);
  poll_all_engine_done(&node);
  free(m.inputs);
  free(m.addr_4n);
  free(m.transform);
  free(m.host_addr);
  free(m.outputs);
  firmware_timer_print();
  return 0;
}

// ---- API 110 ----

static int input_format(u32 data_type) {
  switch (data_type) {
    case 0: case 6: case 7: return GDMA_VALUE_FORMAT_FLOAT32;
    case 1: return 4;
    case 2: case 3: return GDMA_VALUE_FORMAT_INT8;
    case 4: case 5: return 4;
    default: ASSERT(0, "Invalid data type %d\n", (int)data_type);
  }
  return 0;
}

static int output_format(u32 data_type) {
  switch (data_type) {
    case 0: case 6: case 7: return GDMA_VALUE_FORMAT_FLOAT32;
    case 1: return 4;
    case 2: case 3: return GDMA_VALUE_FORMAT_INT8;
    default: return GDMA_VALUE_FORMAT_INT16;
  }
}

// A flat copy of count elements (nothing when the count is 0).
static void copy_elements(u64 src, u64 dst, int format, u64 count, cmd_id_node_t *node) {
  if (count == 0) return;
  ASSERT(count <= 0x7fffffff, "copy of %u elements", (unsigned)count);
  general_gdma_gen_cmd(src, dst, (gdma_value_format_t)format, (int)count, GDMA_VALUE_DIR_S2S, node);
}

// The checks of one tensor entry, made for every entry before anything is
// issued: its format and the bytes its copy or 4N conversion touches at both
// addresses (as the loops below move them).
static void multi_entry_checks(const zv_api_multi_fullnet_tensor_t &t, int format, int output) {
  const u32 net = t.net_store_mode, host = t.host_store_mode;
  const i64 n = t.n, n4 = ALIGN((i64)t.n, 4ll);
  if ((net == FW_STORE_MODE_4N && host == FW_STORE_MODE_1N) ||
      (output && net == FW_STORE_MODE_1N && host == FW_STORE_MODE_4N)) {
    ASSERT(format == GDMA_VALUE_FORMAT_INT8, "a 4N conversion of format %d", format);
    // The conversion counts items and four items' bytes in ints.
    ASSERT(t.n <= 0x7fffffffu && t.len <= 0x7fffffffu / 4, "n=%u, len=%u", (unsigned)t.n, (unsigned)t.len);
    API_GLOBAL(net == FW_STORE_MODE_1N ? t.net_addr : t.host_addr, api_dense(1, n, t.len));
    API_GLOBAL(net == FW_STORE_MODE_4N ? t.net_addr : t.host_addr, api_dense(1, n4, t.len));
  } else if (net == host && (net == FW_STORE_MODE_1N || net == FW_STORE_MODE_4N) && t.host_addr != t.net_addr) {
    const i64 items = net == FW_STORE_MODE_4N ? n4 : n;
    const i64 elem = format == GDMA_VALUE_FORMAT_FLOAT32 ? 4 : format == GDMA_VALUE_FORMAT_INT16 ? 2 : 1;
    ASSERT(api_mul(items, t.len) <= 0x7fffffff, "n=%u, len=%u", (unsigned)t.n, (unsigned)t.len);
    API_GLOBAL(t.host_addr, api_dense(elem, items, t.len));
    API_GLOBAL(t.net_addr, api_dense(elem, items, t.len));
  }
}

static void convert_4n(u64 addr_1n, u64 addr_4n, u32 n, u32 len, int to_4n, cmd_id_node_t *node) {
  if (n == 0 || len == 0) return;
  gdma_move_global_1N_and_4N(addr_1n, addr_4n, (int)n, (int)len, to_4n, node);
}

// The inputs from the host's store mode into the network's (copies and 4N
// conversions), after their checks.
static void copy_multi_inputs(const u8 *param, u32 inputs_at, u32 input_num, cmd_id_node_t *node) {
  for (u32 i = 0; i < input_num; i++) {
    zv_api_multi_fullnet_tensor_t t;
    memcpy(&t, param + inputs_at + i * sizeof(t), sizeof(t));
    const int format = input_format(t.data_type);
    const u32 st_mode = t.net_store_mode;
    ASSERT(st_mode != 1);
    const u64 items = (u64)t.n * t.len;
    if (st_mode == FW_STORE_MODE_4N && t.host_store_mode == FW_STORE_MODE_1N) {
      const int gdma_format = format;
      ASSERT(gdma_format == 3);
      convert_4n(t.host_addr, t.net_addr, t.n, t.len, 1, node);
    } else if (st_mode == FW_STORE_MODE_1N && t.host_store_mode == FW_STORE_MODE_1N) {
      if (t.host_addr != t.net_addr) copy_elements(t.host_addr, t.net_addr, format, items, node);
    } else if (st_mode == FW_STORE_MODE_4N && t.host_store_mode == FW_STORE_MODE_4N) {
      if (t.host_addr != t.net_addr)
        copy_elements(t.host_addr, t.net_addr, format, ALIGN((u64)t.n, 4ull) * t.len, node);
    } else {
      fw_log(0, "Does not support data transfer from store mode %d to %d\n", (int)t.host_store_mode, (int)st_mode);
    }
  }
}

// The command buffers, group by group: each group's tensor-engine and GDMA
// commands follow the groups before it in their buffers.
static void replay_multi_groups(const u8 *param, u32 groups_at, u32 group_num, u64 bd_buf, u64 gdma_buf) {
  u64 bd_done = 0, gdma_done = 0;
  for (u32 j = 0; j < group_num; j++) {
    u32 counts[2];
    memcpy(counts, param + groups_at + 8 * j, 8);
    nodechip_multi_fullnet(bd_buf + MULTI_FULLNET_CMD_BYTES * bd_done, gdma_buf + MULTI_FULLNET_CMD_BYTES * gdma_done,
                           counts[0], counts[1]);
    bd_done += counts[0];
    gdma_done += counts[1];
  }
}

// The outputs from the network's store mode into the host's.
static void copy_multi_outputs(const u8 *param, u32 outputs_at, u32 output_num, cmd_id_node_t *node) {
  for (u32 i = 0; i < output_num; i++) {
    zv_api_multi_fullnet_tensor_t t;
    memcpy(&t, param + outputs_at + i * sizeof(t), sizeof(t));
    const int format = output_format(t.data_type);
    u32 output_stmode[1] = {t.net_store_mode};
    const u32 idx = 0;
    ASSERT(output_stmode[idx] != 1);
    const u64 items = (u64)t.n * t.len;
    const u32 net = t.net_store_mode, host = t.host_store_mode;
    if (net == FW_STORE_MODE_4N && host == FW_STORE_MODE_1N) {
      const int gdma_format = format;
      ASSERT(gdma_format == 3);
      convert_4n(t.host_addr, t.net_addr, t.n, t.len, 0, node);
    } else if (net == FW_STORE_MODE_4N && host == FW_STORE_MODE_4N) {
      if (t.host_addr != t.net_addr)
        copy_elements(t.net_addr, t.host_addr, format, ALIGN((u64)t.n, 4ull) * t.len, node);
    } else if (net == FW_STORE_MODE_1N && host == FW_STORE_MODE_1N) {
      if (t.host_addr != t.net_addr) copy_elements(t.net_addr, t.host_addr, format, items, node);
    } else if (net == FW_STORE_MODE_1N && host == FW_STORE_MODE_4N) {
      const int gdma_format = format;
      ASSERT(gdma_format == 3);
      convert_4n(t.net_addr, t.host_addr, t.n, t.len, 1, node);
    } else {
      // The host asked for a layout no conversion produces (2N): nothing is
      // written rather than 4N data under a 2N label.
      fw_log(0, "Does not support data transfer from store mode %d to %d\n", (int)net, (int)host);
    }
  }
}

u32 zv_api_multi_fullnet(u8 *param, u32 size) {
  payload_reader_t r = {param, size, 0};
  // Every count is checked against the payload before anything is issued.
  const u32 input_num = take32(&r);
  require_entries(&r, input_num, sizeof(zv_api_multi_fullnet_tensor_t));
  const u32 inputs_at = r.at;
  r.at += input_num * (u32)sizeof(zv_api_multi_fullnet_tensor_t);
  const u32 output_num = take32(&r);
  require_entries(&r, output_num, sizeof(zv_api_multi_fullnet_tensor_t));
  const u32 outputs_at = r.at;
  r.at += output_num * (u32)sizeof(zv_api_multi_fullnet_tensor_t);
  const u64 bd_buf = take64(&r);
  const u64 gdma_buf = take64(&r);
  const u32 group_num = take32(&r);
  require_entries(&r, group_num, 8);
  const u32 groups_at = r.at;
  u64 bd_total = 0, gdma_total = 0;
  for (u32 j = 0; j < group_num; j++) {
    const u32 bd = take32(&r), gdma = take32(&r);
    // The engines count ids in 16 bits.
    ASSERT(bd < 65536 && gdma < 65536, "group %u: %u and %u commands", (unsigned)j, (unsigned)bd, (unsigned)gdma);
    bd_total += bd;
    gdma_total += gdma;
  }
  API_GLOBAL(bd_buf, api_dense(MULTI_FULLNET_CMD_BYTES, (i64)bd_total));
  API_GLOBAL(gdma_buf, api_dense(MULTI_FULLNET_CMD_BYTES, (i64)gdma_total));
  for (u32 i = 0; i < input_num + output_num; i++) {
    const int output = i >= input_num;
    zv_api_multi_fullnet_tensor_t t;
    memcpy(&t, param + (output ? outputs_at + (i - input_num) * sizeof(t) : inputs_at + i * sizeof(t)), sizeof(t));
    const int format = output ? output_format(t.data_type) : input_format(t.data_type);
    const u32 st_mode = t.net_store_mode;
    ASSERT(st_mode != 1);
    multi_entry_checks(t, format, output);
  }

  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  copy_multi_inputs(param, inputs_at, input_num, &node);
  poll_all_engine_done(&node);
  replay_multi_groups(param, groups_at, group_num, bd_buf, gdma_buf);
  resync_cmd_id(&node);
  copy_multi_outputs(param, outputs_at, output_num, &node);
  poll_all_engine_done(&node);
  firmware_timer_print();
  return 0;
}
