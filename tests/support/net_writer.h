// A writer of compiled-network descriptions and of the network-run messages
// (APIs 110 and 111), for tests. The description's records are filled through
// the firmware's record structs (interp/record_fields.h,
// interp/layer_records.h); tests/interp/record_layout_test.cpp checks every
// one of those structs against a hand-written table of the documented
// offsets, so a layout slip fails there instead of cancelling out here.
//
// Description: net input ids, net output ids, the group count, then per group
// an extra list, a 12-byte header (16 with a long n_slice), the group inputs
// (ids, or 16-byte slice records when the group is cut along h), the
// new-tensor keys, the split table and a body. A global group's body is one
// layer header and record; a local group's body is ts_num time steps of
// layers and moves, each item behind a stage word when there are two stages
// or more.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "interp/layer_records.h"
#include "interp/record_fields.h"

namespace zv::test::net {

// Little-endian parameter bytes with fields placed at byte offsets.
class Record {
 public:
  explicit Record(size_t size = 0) : bytes_(size, 0) {}
  Record(const void *bytes, size_t size)
      : bytes_(static_cast<const uint8_t *>(bytes), static_cast<const uint8_t *>(bytes) + size) {}
  Record &u8(size_t at, uint8_t v) { return put(at, &v, 1); }
  Record &u16(size_t at, uint16_t v) { return put(at, &v, 2); }
  Record &u32(size_t at, uint32_t v) { return put(at, &v, 4); }
  Record &i32(size_t at, int32_t v) { return put(at, &v, 4); }
  Record &f32(size_t at, float v) { return put(at, &v, 4); }
  Record &u64(size_t at, uint64_t v) { return put(at, &v, 8); }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  Record &put(size_t at, const void *v, size_t n) {
    if (bytes_.size() < at + n) bytes_.resize(at + n, 0);
    std::memcpy(bytes_.data() + at, v, n);
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// The bytes of a record struct, as the description carries them.
template <class T>
Record record_of(const T &r) {
  return Record(&r, sizeof(T));
}

// A stream of 32-bit words built from bytes (padded to a whole word at the end).
class Words {
 public:
  Words &word(uint32_t w);
  Words &dword(uint64_t v);  // low word first
  Words &bytes(const std::vector<uint8_t> &b);  // padded with zeros to a word
  // Record bytes as they are: the words after a record of a length that is
  // not a multiple of 4 follow it unaligned.
  Words &raw(const std::vector<uint8_t> &b);
  Words &append(const Words &other);
  size_t size_bytes() const { return bytes_.size(); }
  std::vector<uint32_t> words() const;
  const std::vector<uint8_t> &raw() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Tensor references of global layer records.
Words neuron_ref(uint32_t id, uint64_t offset);  // is_net_io 0: 16 bytes
Words net_io_ref(uint32_t id);                   // is_net_io 1: 8 bytes
Words shape_ref(uint32_t id);                    // a shape tensor: its id
Words coeff_ref(uint64_t offset);                // a coefficient: 64-bit offset from the base

// A layer item: the 16-byte header, the length word, the parameter bytes and
// the words that follow the record (references or local words).
Words layer(uint32_t type, uint32_t data_size, const Record &params, const std::vector<uint32_t> &tail,
            uint32_t in_mode = 0, uint32_t out_mode = 0);
Words layer(uint32_t type, uint32_t data_size, const Record &params, const Words &tail, uint32_t in_mode = 0,
            uint32_t out_mode = 0);
// The same with an explicit length word (for records that lie about it).
Words layer_with_length(uint32_t type, uint32_t data_size, uint32_t length, const std::vector<uint8_t> &params,
                        const std::vector<uint32_t> &tail);
// A move item: the move type, the length word and the record bytes.
Words move(uint32_t type, const Record &record);

// Move records (after `length`), at the documented offsets.
Record ld_input(uint32_t local, uint32_t id, uint32_t data_size, uint32_t channels = 0, uint8_t pack_flag = 0);
Record st_output(uint32_t local, uint32_t id, uint32_t data_size, uint32_t dst_channels = 0,
                 uint32_t channel_offset = 0, uint32_t container = 0);
Record ld_itm(uint64_t offset, uint32_t local, uint32_t id, uint32_t start_lane, uint32_t reference,
              uint32_t data_size);
Record st_itm(uint64_t offset, uint32_t local, uint32_t id, uint32_t data_size, uint32_t container);

struct SliceRecord {
  uint32_t id, window_rows, stride, window, pad_top, pad_bottom, bound_window;
};

struct Item {
  uint32_t stage;
  Words words;
};
struct TimeStep {
  std::vector<Item> layers;
  std::vector<Item> moves;
};

struct Group {
  std::vector<uint32_t> extra_keys;
  uint32_t n_slice = 1;
  bool long_n_slice = false;  // n_slice in a fourth header word
  uint32_t stage_num = 1;
  std::vector<uint32_t> inputs;        // ids (not cut along h)
  std::vector<SliceRecord> slices;     // slice records (cut along h)
  std::vector<uint32_t> new_keys;      // id << 16 | consumers
  std::vector<uint32_t> split;         // id << 16 | count
  // A global group: ts_num 1 and one layer item.
  bool global = false;
  Words global_layer;
  // A local group: its time steps (ts_num = their count).
  std::vector<TimeStep> steps;
};

// A global group of one layer: its inputs (ids), the keys of the tensors it
// creates, the layer item.
Group global_group(const std::vector<uint32_t> &inputs, const std::vector<uint32_t> &new_keys, const Words &layer);

// The description: net input and output ids, then the groups.
Words description(const std::vector<uint32_t> &inputs, const std::vector<uint32_t> &outputs,
                  const std::vector<Group> &groups);
// One group (exposed for streams that are cut or misframed on purpose).
Words group_words(const Group &g);

static inline uint32_t key(uint32_t id, uint32_t consumers) { return id << 16 | consumers; }

// ---- API 111 message ----
struct IoInput {
  uint64_t addr;
  uint64_t addr_4n = 0;
  uint32_t dtype = 0;
  std::vector<uint32_t> shape;
  uint32_t elem_num = 0;
};
struct IoOutput {
  uint64_t addr;
  uint64_t work_addr = 0;
  uint32_t transform = 0;
};
struct RunMessage {
  uint64_t description_addr;
  uint32_t description_words;
  bool has_4n_addr = false;
  std::vector<IoInput> inputs;
  std::vector<IoOutput> outputs;
  uint32_t return_shape = 0;
  uint64_t shape_addr = 0;
  uint64_t addr_boundary = 0;
  uint64_t neuron_base = 0;
  uint64_t coeff_base = 0;
  uint64_t scratch_addr = 0;
  uint32_t extra_word = 0;
};
std::vector<uint32_t> run_payload(const RunMessage &m);

// Device memory the API 111 suites lay a run out in: the description, the
// inputs and outputs, the returned shapes, the neuron and coefficient areas,
// and the boundary below which a description's addresses are offsets.
namespace card_areas {
constexpr uint64_t kDesc = 0x101000000ull, kIn = 0x102000000ull, kOut = 0x103000000ull, kShapes = 0x104000000ull;
constexpr uint64_t kNeuron = 0x105000000ull, kCoeff = 0x106000000ull, kBoundary = 0x10000000ull;
}  // namespace card_areas

// Points the message's returned shapes, address boundary and neuron and
// coefficient bases at card_areas.
inline void use_card_areas(RunMessage &m) {
  m.shape_addr = card_areas::kShapes;
  m.addr_boundary = card_areas::kBoundary;
  m.neuron_base = card_areas::kNeuron;
  m.coeff_base = card_areas::kCoeff;
}

// ---- API 110 message ----
struct BufferTensor {
  uint64_t host_addr, net_addr;
  uint32_t n, len;
  uint16_t data_type;
  uint8_t net_mode, host_mode;
};
struct ReplayMessage {
  std::vector<BufferTensor> inputs, outputs;
  uint64_t bd_buffer, gdma_buffer;
  std::vector<std::pair<uint32_t, uint32_t>> groups;  // {tensor-engine count, GDMA count}
};
std::vector<uint32_t> replay_payload(const ReplayMessage &m);

}  // namespace zv::test::net
