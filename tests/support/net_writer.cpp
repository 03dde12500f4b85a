#include "net_writer.h"

namespace zv::test::net {

Words &Words::word(uint32_t w) {
  for (int i = 0; i < 4; i++) bytes_.push_back(uint8_t(w >> (8 * i)));
  return *this;
}

Words &Words::dword(uint64_t v) { return word(uint32_t(v)).word(uint32_t(v >> 32)); }

Words &Words::bytes(const std::vector<uint8_t> &b) {
  bytes_.insert(bytes_.end(), b.begin(), b.end());
  while (bytes_.size() % 4) bytes_.push_back(0);
  return *this;
}

Words &Words::raw(const std::vector<uint8_t> &b) {
  bytes_.insert(bytes_.end(), b.begin(), b.end());
  return *this;
}

Words &Words::append(const Words &other) {
  bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
  return *this;
}

std::vector<uint32_t> Words::words() const {
  std::vector<uint32_t> w((bytes_.size() + 3) / 4, 0);
  if (!bytes_.empty()) std::memcpy(w.data(), bytes_.data(), bytes_.size());
  return w;
}

static Words neuron_head(uint32_t is_net_io, uint32_t id) {
  dynamic_neuron_ref_t r = {};
  r.is_net_io = is_net_io;
  r.id = id;
  return Words().raw(record_of(r).bytes());
}

Words neuron_ref(uint32_t id, uint64_t offset) { return neuron_head(0, id).dword(offset); }
Words net_io_ref(uint32_t id) { return neuron_head(1, id); }

Words shape_ref(uint32_t id) { return Words().word(id); }

Words coeff_ref(uint64_t offset) { return Words().dword(offset); }

static Words layer_header(uint32_t type, uint32_t data_size, uint32_t in_mode, uint32_t out_mode) {
  dynamic_layer_header_t h = {};
  h.layer_type = type;
  h.middle.data_size = data_size;
  h.middle.intensor_store_mode = in_mode;
  h.middle.outtensor_store_mode = out_mode;
  return Words().raw(record_of(h).bytes());
}

Words layer_with_length(uint32_t type, uint32_t data_size, uint32_t length, const std::vector<uint8_t> &params,
                        const std::vector<uint32_t> &tail) {
  Words w = layer_header(type, data_size, 0, 0);
  w.word(length).raw(params);
  for (uint32_t t : tail) w.word(t);
  return w;
}

Words layer(uint32_t type, uint32_t data_size, const Record &params, const std::vector<uint32_t> &tail,
            uint32_t in_mode, uint32_t out_mode) {
  Words w = layer_header(type, data_size, in_mode, out_mode);
  w.word(uint32_t(params.bytes().size())).raw(params.bytes());
  for (uint32_t t : tail) w.word(t);
  return w;
}

Words layer(uint32_t type, uint32_t data_size, const Record &params, const Words &tail, uint32_t in_mode,
            uint32_t out_mode) {
  Words w = layer_header(type, data_size, in_mode, out_mode);
  w.word(uint32_t(params.bytes().size())).raw(params.bytes());
  return w.append(tail);
}

Words move(uint32_t type, const Record &record) {
  return Words().word(type).word(uint32_t(record.bytes().size())).raw(record.bytes());
}

// ---- Move records ----

Record ld_input(uint32_t local, uint32_t id, uint32_t data_size, uint32_t channels, uint8_t pack_flag) {
  ld_input_neuron_rec_t r = {};
  r.local_addr = local;
  r.id = uint16_t(id);
  r.channels = channels;
  r.data_size = data_size;
  r.pack_flag = pack_flag;
  return record_of(r);
}

static st_neuron_fields_t store_fields(uint32_t local, uint32_t id, uint32_t data_size, uint32_t dst_channels,
                                       uint32_t channel_offset, uint32_t container) {
  st_neuron_fields_t f = {};
  f.local_addr = local;
  f.id = uint16_t(id);
  f.dst_channels = uint16_t(dst_channels);
  f.channel_offset = uint16_t(channel_offset);
  f.container_id = uint16_t(container);
  f.data_size = data_size;
  return f;
}

Record st_output(uint32_t local, uint32_t id, uint32_t data_size, uint32_t dst_channels, uint32_t channel_offset,
                 uint32_t container) {
  return record_of(store_fields(local, id, data_size, dst_channels, channel_offset, container ? container : id));
}

Record ld_itm(uint64_t offset, uint32_t local, uint32_t id, uint32_t start_lane, uint32_t reference,
              uint32_t data_size) {
  ld_itm_neuron_rec_t r = {};
  r.offset = offset;
  r.local_addr = local;
  r.id = uint16_t(id);
  r.start_lane = uint16_t(start_lane);
  r.reference_id = uint16_t(reference);
  r.data_size = data_size;
  return record_of(r);
}

Record st_itm(uint64_t offset, uint32_t local, uint32_t id, uint32_t data_size, uint32_t container) {
  st_itm_neuron_rec_t r = {};
  r.offset = offset;
  r.f = store_fields(local, id, data_size, 0, 0, container);
  return record_of(r);
}

static void items(Words &w, const std::vector<Item> &list, uint32_t stage_num) {
  w.word(uint32_t(list.size()));
  for (const Item &it : list) {
    if (stage_num >= 2) {
      dynamic_stage_word_t s = {};
      s.stage = uint16_t(it.stage);
      s.skip_bytes = uint16_t(it.words.size_bytes());
      w.raw(record_of(s).bytes());
    }
    w.append(it.words);
  }
}

Group global_group(const std::vector<uint32_t> &inputs, const std::vector<uint32_t> &new_keys, const Words &layer) {
  Group g;
  g.global = true;
  g.inputs = inputs;
  g.new_keys = new_keys;
  g.global_layer = layer;
  return g;
}

Words group_words(const Group &g) {
  Words w;
  w.word(uint32_t(g.extra_keys.size()));
  for (uint32_t k : g.extra_keys) w.word(k);
  const bool h_split = !g.slices.empty();
  const uint32_t ts_num = g.global ? 1 : uint32_t(g.steps.size());
  const uint32_t in_num = uint32_t(h_split ? g.slices.size() : g.inputs.size());
  const uint32_t flags = (h_split ? 1u : 0u) | (g.long_n_slice ? 2u : 0u);
  dynamic_group_info_t h = {};
  h.ts_num = uint16_t(ts_num);
  h.split_num = uint16_t(g.split.size());
  h.n_slice = uint8_t(g.long_n_slice ? 0 : g.n_slice);
  h.group_in_num = uint8_t(in_num);
  h.new_tensor_num = uint8_t(g.new_keys.size());
  h.flags = uint8_t(flags);
  h.stage_num = uint8_t(g.stage_num);
  w.raw(record_of(h).bytes());
  if (g.long_n_slice) w.word(g.n_slice);
  if (h_split) {
    for (const SliceRecord &s : g.slices) {
      dynamic_group_slice_t r = {};
      r.id = uint16_t(s.id);
      r.window_rows = uint16_t(s.window_rows);
      r.stride = uint16_t(s.stride);
      r.window = uint16_t(s.window);
      r.pad_top = uint16_t(s.pad_top);
      r.pad_bottom = uint16_t(s.pad_bottom);
      r.bound_window = s.bound_window;
      w.raw(record_of(r).bytes());
    }
  } else {
    for (uint32_t id : g.inputs) w.word(id);
  }
  for (uint32_t k : g.new_keys) w.word(k);
  for (uint32_t s : g.split) w.word(s);
  if (g.global) return w.append(g.global_layer);
  for (const TimeStep &t : g.steps) {
    items(w, t.layers, g.stage_num);
    items(w, t.moves, g.stage_num);
  }
  return w;
}

Words description(const std::vector<uint32_t> &inputs, const std::vector<uint32_t> &outputs,
                  const std::vector<Group> &groups) {
  Words w;
  for (uint32_t id : inputs) w.word(id);
  for (uint32_t id : outputs) w.word(id);
  w.word(uint32_t(groups.size()));
  for (const Group &g : groups) w.append(group_words(g));
  return w;
}

std::vector<uint32_t> run_payload(const RunMessage &m) {
  Words w;
  w.dword(m.description_addr).word(m.description_words).word(uint32_t(m.inputs.size())).word(m.has_4n_addr ? 1 : 0);
  for (const IoInput &in : m.inputs) {
    w.dword(in.addr);
    if (m.has_4n_addr) w.dword(in.addr_4n);
    w.word(in.dtype << 16 | uint32_t(in.shape.size()));
    for (uint32_t d : in.shape) w.word(d);
    w.word(in.elem_num);
  }
  w.word(uint32_t(m.outputs.size()));
  for (const IoOutput &o : m.outputs) w.word(o.transform);
  for (const IoOutput &o : m.outputs) w.dword(o.addr).dword(o.work_addr);
  w.word(m.return_shape).dword(m.shape_addr).dword(m.addr_boundary).dword(m.neuron_base).dword(m.coeff_base);
  w.dword(m.scratch_addr).word(m.extra_word);
  return w.words();
}

static void tensor_entry(Words &w, const BufferTensor &t) {
  // 0 A, 8 B, 16 N, 20 L, 24 u16 type, 26 network-side mode, 27 host-side mode.
  w.dword(t.host_addr).dword(t.net_addr).word(t.n).word(t.len);
  w.word(uint32_t(t.data_type) | uint32_t(t.net_mode) << 16 | uint32_t(t.host_mode) << 24);
}

std::vector<uint32_t> replay_payload(const ReplayMessage &m) {
  Words w;
  w.word(uint32_t(m.inputs.size()));
  for (const BufferTensor &t : m.inputs) tensor_entry(w, t);
  w.word(uint32_t(m.outputs.size()));
  for (const BufferTensor &t : m.outputs) tensor_entry(w, t);
  w.dword(m.bd_buffer).dword(m.gdma_buffer).word(uint32_t(m.groups.size()));
  for (const auto &g : m.groups) w.word(g.first).word(g.second);
  return w.words();
}

}  // namespace zv::test::net
