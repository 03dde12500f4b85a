#include "net_writer_select.h"

#include <gtest/gtest.h>

#include "api_checks.h"
#include "fw_test.h"

namespace zv::test::net {

Words ta_ref(uint32_t id, uint64_t offset) { return Words().word(id).dword(offset); }

Words glb_layer(uint32_t type, uint32_t data_size, const Record &params, const Words &refs, uint32_t in_mode,
                uint32_t out_mode) {
  return layer(type, data_size, params, refs, in_mode, out_mode);
}

Words transfer_layer(uint32_t type, uint32_t mode, const Words &refs) {
  // An empty record, then the mode block: its byte length and the mode.
  return layer(type, 0, Record(), Words().word(4).word(mode).append(refs));
}

std::optional<host::Answer> run_net(host::Card &card, const NetRun &net) {
  std::vector<uint32_t> in_ids, out_ids;
  for (const NetIo &i : net.inputs) in_ids.push_back(i.id);
  for (const NetIo &o : net.outputs) out_ids.push_back(o.id);
  const Words desc = description(in_ids, out_ids, net.groups);
  card.write(kRunDesc, desc.raw().data(), desc.raw().size());
  RunMessage m;
  m.description_addr = kRunDesc;
  m.description_words = uint32_t((desc.size_bytes() + 3) / 4);
  for (const NetIo &i : net.inputs) m.inputs.push_back(IoInput{i.addr, 0, i.dtype, i.shape, 0});
  for (const NetIo &o : net.outputs) m.outputs.push_back(IoOutput{o.addr, 0, 0});
  m.return_shape = 1;
  m.shape_addr = kRunShapes;
  m.addr_boundary = kRunBoundary;
  m.neuron_base = kRunNeuron;
  m.coeff_base = kRunCoeff;
  m.scratch_addr = kRunScratch;
  return card.send(111, run_payload(m));
}

OutShape out_shape(host::Card &card, size_t i) {
  const std::vector<uint8_t> b = card.read(kRunShapes + 40 * i, 40);
  uint32_t w[10];
  std::memcpy(w, b.data(), 40);
  OutShape s;
  for (uint32_t d = 0; d < w[0] && d < 8; d++) s.shape.push_back(w[1 + d]);
  s.elem_num = w[9];
  return s;
}

NetRun one_layer(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>> &inputs, uint32_t outputs,
                 const Words &layer) {
  NetRun n;
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < inputs.size(); i++) {
    n.inputs.push_back(NetIo{uint32_t(1 + i), kNetIn[i], inputs[i].first, inputs[i].second});
    ids.push_back(uint32_t(1 + i));
  }
  for (uint32_t o = 0; o < outputs; o++) n.outputs.push_back(NetIo{10 + o, kNetOut[o]});
  n.groups.push_back(global_group(ids, {}, layer));
  return n;
}

void run_ok(host::Card &card, const NetRun &net) { ASSERT_TRUE(AnswerOk(card, run_net(card, net))); }

void run_fails(host::Card &card, const NetRun &bad, const std::string &condition, const NetRun &good,
               const std::function<void()> &before_good) {
  const size_t seen = card.console().size();
  auto a = run_net(card, bad);
  ASSERT_TRUE(AnswerOk(card, a, 1009u));
  EXPECT_NE(card.console().find(condition, seen), std::string::npos) << card.console().substr(seen);
  if (before_good) before_good();
  auto b = run_net(card, good);
  ASSERT_TRUE(AnswerOk(card, b));
}

}  // namespace zv::test::net
