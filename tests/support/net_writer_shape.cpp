#include "net_writer_shape.h"

#include <algorithm>

namespace zv::test::net {

std::vector<Group> global_plan(const std::vector<GlobalStep> &steps, const std::vector<uint32_t> &net_outputs) {
  std::vector<Group> groups;
  for (size_t i = 0; i < steps.size(); i++) {
    Group g;
    g.global = true;
    g.global_layer = steps[i].layer;
    g.inputs = steps[i].reads;
    for (uint32_t id : steps[i].writes) {
      if (std::find(net_outputs.begin(), net_outputs.end(), id) != net_outputs.end()) continue;
      uint32_t consumers = 0;
      for (size_t j = i + 1; j < steps.size(); j++)
        consumers += uint32_t(std::count(steps[j].reads.begin(), steps[j].reads.end(), id));
      g.new_keys.push_back(key(id, consumers));
    }
    groups.push_back(std::move(g));
  }
  return groups;
}


GlobalStep shape_const(uint32_t out_id, const std::vector<int32_t> &values, uint32_t dtype) {
  shape_const_param_t r = {};
  r.count_or_dims = uint32_t(values.size());
  for (size_t i = 0; i < values.size() && i < 8; i++) r.shape_or_values[i] = values[i];
  r.values_follow = 0;
  r.dtype = dtype;
  return {layer(39, 0, record_of(r), Words().word(0).append(shape_ref(out_id))), {}, {out_id}};
}

GlobalStep shape_const_block(uint32_t out_id, const std::vector<int32_t> &shape, const std::vector<int32_t> &values,
                             uint32_t dtype) {
  shape_const_param_t r = {};
  r.count_or_dims = uint32_t(shape.size());
  for (size_t i = 0; i < shape.size() && i < 8; i++) r.shape_or_values[i] = shape[i];
  r.values_follow = 1;
  r.dtype = dtype;
  Words tail;
  tail.word(uint32_t(values.size()) << 2);
  for (int32_t v : values) tail.word(uint32_t(v));
  tail.word(0).append(shape_ref(out_id));
  return {layer(39, 0, record_of(r), tail), {}, {out_id}};
}

Record constant_fill(uint32_t value_bits, uint32_t type_len, uint32_t dtype) {
  constant_fill_param_t r = {};
  r.value = value_bits;
  r.type_len = type_len;
  r.dtype = dtype;
  return record_of(r);
}

}  // namespace zv::test::net
