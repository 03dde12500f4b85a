// The DTCM bridge, net outputs, host/device transfers and tensor arrays: the
// bridge helpers on a firmware rig; the controllers through the network-run
// API on deferred cards with the race checker (the ARM image for a sample),
// against values computed here; bad records and oversized arrays answer 1009
// and leave the card serving.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api_checks.h"
#include "fw_test.h"
#include "interp/context.h"
#include "interp/fullnet.h"
#include "interp/tensor_array.h"
#include "net_writer_select.h"
#include "runtime/hw.h"

namespace zv::test {
namespace {

using namespace net;

constexpr uint32_t kFp32 = 0, kInt32 = 3;
const uint64_t kSeeds[] = {1, 2, 3};

// ---- The bridge ----

TEST(TensorArrayBridge, ByteLengthsAndTheBridgeCapacity) {
  struct Case {
    uint64_t count;
    uint32_t data_size;
    uint64_t bytes;
  };
  const Case cases[] = {{5, DSIZE_FP32, 20}, {5, DSIZE_INT32, 20}, {5, DSIZE_16, 10}, {5, DSIZE_8, 5}, {5, 9, 5}};
  for (const Case &c : cases) {
    FirmwareRig rig;
    uint64_t got = 0;
    ASSERT_TRUE(ran_clean(rig.run([&] { got = get_byte_len(c.count, c.data_size); })));
    EXPECT_EQ(got, c.bytes) << c.data_size;
  }
  // 98304 int32 values fill the window exactly and come back unchanged; one
  // more fails before anything is copied.
  const uint64_t dev = 0x104000000ull;
  for (uint64_t seed : kSeeds) {
    LayerRunner rig(deferred(seed));
    std::vector<int32_t> out(98304), back(98304, 0);
    for (size_t i = 0; i < out.size(); i++) out[i] = int32_t(i * 2654435761u);
    ASSERT_TRUE(rig.call([&](cmd_id_node_t *node) {
      dynamic_context_t ctx;
      dynamic_context_init(&ctx, DYNAMIC_IR_ADDR, 0, 0, 0, 0);
      memcpy_host_global(&ctx, out.data(), dev, out.size(), DSIZE_INT32, 1, node);
      memcpy_host_global(&ctx, back.data(), dev, back.size(), DSIZE_INT32, 0, node);
      dynamic_context_destroy(&ctx);
    }));
    EXPECT_EQ(back, out);
  }
  expect_assert(
      [&](cmd_id_node_t *node) {
        static int32_t values[98305];
        dynamic_context_t ctx;
        dynamic_context_init(&ctx, DYNAMIC_IR_ADDR, 0, 0, 0, 0);
        memcpy_host_global(&ctx, values, dev, 98305, DSIZE_INT32, 1, node);
      },
      "ASSERT", "firmware/interp/", "__get_bridge_addr", "byte_len <= ctx->dtcm_size");
}

// ---- Net outputs and transfers ----

TEST(TensorArrayTransfers, OutputCopiesAndTransfersRoundTripThroughTheArm) {
  const std::vector<int32_t> values = {7, -3, 12, 0, 5, 99};
  for_each_api_card([&](host::Card &card) {
    put(card, kNetIn[0], values);
    // Input 1 -> device2host -> shape tensor 5 -> host2device -> tensor 6 in
    // the neuron region -> output layer -> net output 10.
    NetRun n;
    n.inputs = {NetIo{1, kNetIn[0], kInt32, {2, 3}}};
    n.outputs = {NetIo{10, kNetOut[0]}};
    n.groups.push_back(global_group(
        {1}, {key(5, 1)}, transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0, Words().append(net_io_ref(1)).append(shape_ref(5)))));
    n.groups.push_back(global_group({5}, {key(6, 1)},
                                    transfer_layer(DYNAMIC_LAYER_HOST2DEVICE, 0,
                                                   Words().append(shape_ref(5)).append(neuron_ref(6, neuron_off(0x1000))))));
    n.groups.push_back(global_group(
        {6}, {}, glb_layer(DYNAMIC_LAYER_OUTPUT, kInt32, Record(), Words().append(neuron_ref(6, 0)).append(net_io_ref(10)))));
    run_ok(card, n);
    EXPECT_EQ(get<int32_t>(card, neuron_addr(0x1000), 6), values);
    EXPECT_EQ(get<int32_t>(card, kNetOut[0], 6), values);
    EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{2, 3}));
  });
}

TEST(TensorArrayTransfers, OutputConvertsFourNToOneNOrCopiesTheWords) {
  // Five items of 3 bytes stored 4N: two groups of three words.
  std::vector<uint8_t> plain(15), four(24, 0xee);
  for (size_t i = 0; i < 15; i++) plain[i] = uint8_t(i * 17 + 3);
  for (size_t item = 0; item < 5; item++)
    for (size_t b = 0; b < 3; b++) four[(item / 4) * 12 + 4 * b + item % 4] = plain[item * 3 + b];
  struct Case {
    const char *what;
    uint32_t out_mode;
    std::vector<uint8_t> want;
  };
  const Case cases[] = {{"4N to 1N", 0, plain}, {"4N to 4N", 2, four}};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      card->write(kNetIn[0], four.data(), four.size());
      card->write(kNetOut[0], std::vector<uint8_t>(32, 0).data(), 32);
      run_ok(*card, one_layer({{DSIZE_8, {5, 3}}}, 1,
                              glb_layer(DYNAMIC_LAYER_OUTPUT, DSIZE_8, Record(),
                                        Words().append(net_io_ref(1)).append(net_io_ref(10)), 2, c.out_mode)));
      EXPECT_EQ(card->read(kNetOut[0], c.want.size()), c.want);
      EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{5, 3}));
    }
  }
}

TEST(TensorArrayTransfers, ModeBlocksAndUnknownModes) {
  auto card = deferred_card(Backend::Native, 2);
  put(*card, kNetIn[0], std::vector<int32_t>{1, 2});
  const Words refs = Words().append(net_io_ref(1)).append(shape_ref(5));
  // An unknown mode reads no reference and registers nothing: the record ends
  // after the block, so the net is one layer long.
  NetRun unknown;
  unknown.inputs = {NetIo{1, kNetIn[0], kInt32, {2}}};
  unknown.groups.push_back(global_group({1}, {}, transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 7, Words())));
  run_ok(*card, unknown);
  // A record length other than 0 fails.
  NetRun bad = unknown;
  Words w;
  w.word(DYNAMIC_LAYER_DEVICE2HOST).word(0).word(0).word(0).word(4).word(0).word(4).word(0).append(refs);
  bad.groups[0] = global_group({1}, {key(5, 0)}, w);
  run_fails(*card, bad, "length == 0", unknown);
  // So does a parameter byte for a layer that has none.
  NetRun bytes = unknown;
  bytes.outputs = {NetIo{10, kNetOut[0]}};
  bytes.groups[0] = global_group({1}, {}, glb_layer(DYNAMIC_LAYER_OUTPUT, kInt32, Record(4),
                                                     Words().append(net_io_ref(1)).append(net_io_ref(10))));
  run_fails(*card, bytes, "ASSERT firmware/interp/tensor_array.cpp: read_empty_record", unknown);
}

// ---- Tensor arrays ----

constexpr uint64_t kArrayOff = 0x100000;  // the array's buffer in the neuron region

// The tensorarray record: element shape, flags and buffer size.
Record array_rec(std::vector<int32_t> shape, uint32_t clear_after_read, uint32_t dynamic_size, uint32_t same_shape,
                 uint32_t buffer_size) {
  Record r(56);
  for (size_t i = 0; i < shape.size(); i++) r.i32(4 + 4 * i, shape[i]);
  return r.u32(36, uint32_t(shape.size())).u32(40, clear_after_read).u32(44, dynamic_size).u32(48, same_shape).u32(52, buffer_size);
}
// The write, scatter and split record: sync, value from the table.
Record value_rec(uint32_t sync) { return Record(48).u32(0, sync); }

// A net builder: shape tensors from int32 net inputs (device2host), then
// layers that each form one group.
struct ArrayNet {
  NetRun n;
  uint32_t next_shape = 20;
  // Net input `id` of int32 values becomes shape tensor `id + 100`.
  void shape_input(uint32_t id, uint64_t addr, std::vector<uint32_t> shape, uint32_t consumers) {
    n.inputs.push_back(NetIo{id, addr, kInt32, shape});
    n.groups.push_back(global_group({id}, {key(id + 100, consumers)},
                                    transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0,
                                                   Words().append(net_io_ref(id)).append(shape_ref(id + 100)))));
  }
  void layer(std::vector<uint32_t> inputs, std::vector<uint32_t> keys, const Words &l) {
    n.groups.push_back(global_group(inputs, keys, l));
  }
};

Words ta(uint32_t id) { return ta_ref(id, neuron_off(kArrayOff)); }

TEST(TensorArrayCtrl, WriteGrowsADynamicArrayAndReadSizeAndTheImageFollow) {
  // A dynamic array of 2 elements [2, 3]; write at index 5 grows it to
  // capacity 12 and size 6; read gives the element back, size gives 6, and
  // the synced image holds the header and six records.
  const std::vector<float> value = {1.5f, -2, 3, 4.25f, 5, -6};
  for_each_api_card([&](host::Card &card) {
    put(card, kNetIn[0], std::vector<int32_t>{2});
    put(card, kNetIn[1], std::vector<int32_t>{5});
    put(card, kNetIn[2], value);
    ArrayNet a;
    a.shape_input(1, kNetIn[0], {1}, 1);
    a.shape_input(2, kNetIn[1], {1}, 2);
    a.n.inputs.push_back(NetIo{3, kNetIn[2], kFp32, {2, 3}});
    a.n.outputs = {NetIo{10, kNetOut[0]}, NetIo{11, kNetOut[1]}};
    a.layer({101}, {key(7, 3)},
            glb_layer(DYNAMIC_LAYER_TENSORARRAY, kFp32, array_rec({2, 3}, 0, 1, 1, 0x10000),
                      Words().append(shape_ref(101)).append(ta(7))));
    a.layer({7, 102, 3}, {}, glb_layer(DYNAMIC_LAYER_TA_WRITE, kFp32, value_rec(1),
                                      Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(3))));
    a.layer({7, 102}, {}, glb_layer(DYNAMIC_LAYER_TA_READ, kFp32, Record(),
                                    Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(10))));
    a.layer({7}, {key(8, 1)}, glb_layer(DYNAMIC_LAYER_TA_SIZE, kFp32, Record(), Words().append(ta(7)).append(shape_ref(8))));
    a.layer({8}, {}, transfer_layer(DYNAMIC_LAYER_HOST2DEVICE, 0, Words().append(shape_ref(8)).append(net_io_ref(11))));
    run_ok(card, a.n);
    EXPECT_EQ(get<float>(card, kNetOut[0], 6), value);
    EXPECT_EQ(out_shape(card, 0).shape, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(get<int32_t>(card, kNetOut[1], 1), std::vector<int32_t>{6});
    EXPECT_EQ(out_shape(card, 1).shape, std::vector<uint32_t>{});
    // The image: capacity 12, size 6, dynamic, same shape, buffer size, head
    // past the element; record 5 written at the data start with shape [2, 3].
    const uint64_t base = neuron_addr(kArrayOff);
    const std::vector<uint32_t> h = get<uint32_t>(card, base, 10);
    EXPECT_EQ(std::vector<uint32_t>(h.begin(), h.begin() + 6), (std::vector<uint32_t>{12, 6, 1, 0, 1, 0x10000}));
    EXPECT_EQ(uint64_t(h[7]) << 32 | h[6], base + 0x3000 + 24);
    const std::vector<uint32_t> r5 = get<uint32_t>(card, base + 40 + 5 * 64, 16);
    EXPECT_EQ(r5[1], 1u);  // written
    EXPECT_EQ(uint64_t(r5[5]) << 32 | r5[4], base + 0x3000);
    EXPECT_EQ(std::vector<uint32_t>(r5.begin() + 6, r5.begin() + 9), (std::vector<uint32_t>{2, 2, 3}));
    EXPECT_EQ(get<float>(card, base + 0x3000, 6), value);
  });
}

// A net that makes array 7 (size from input 1) and applies `ops` to it.
NetRun array_net(int32_t size, const Record &rec, const std::vector<std::pair<std::vector<uint32_t>, Words>> &ops,
                 uint32_t array_consumers, std::vector<int32_t> shape_values = {}) {
  ArrayNet a;
  (void)size;
  a.shape_input(1, kNetIn[0], {1}, 1);
  if (!shape_values.empty()) a.shape_input(2, kNetIn[1], {uint32_t(shape_values.size())}, uint32_t(ops.size()));
  a.n.inputs.push_back(NetIo{3, kNetIn[2], kFp32, {5, 2}});
  a.n.outputs = {NetIo{10, kNetOut[0]}};
  a.layer({101}, {key(7, array_consumers)},
          glb_layer(DYNAMIC_LAYER_TENSORARRAY, kFp32, rec, Words().append(shape_ref(101)).append(ta(7))));
  for (const auto &op : ops) a.layer(op.first, {}, op.second);
  return a.n;
}

TEST(TensorArrayCtrl, ScatterThenGatherFillsUnwrittenElementsWithZeros) {
  // Scatter rows of a [2, 4] value to elements 1 and 0; gather [0, 2]: row 1
  // of the value, then zeros for the unwritten element 2.
  std::vector<float> value = {1, 2, 3, 4, 5, 6, 7, 8};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], std::vector<int32_t>{3});
    put(*card, kNetIn[1], std::vector<int32_t>{1, 0});
    put(*card, kNetIn[2], std::vector<int32_t>{0, 2});
    std::vector<float> junk(8, 9.0f);
    put(*card, neuron_addr(kArrayOff) + 0x3000, junk);
    put(*card, kNetIn[2] + 0x1000, value);
    ArrayNet a;
    a.shape_input(1, kNetIn[0], {1}, 1);
    a.shape_input(2, kNetIn[1], {2}, 1);
    a.shape_input(4, kNetIn[2], {2}, 1);
    a.n.inputs.push_back(NetIo{3, kNetIn[2] + 0x1000, kFp32, {2, 4}});
    a.n.outputs = {NetIo{10, kNetOut[0]}};
    a.layer({101}, {key(7, 2)},
            glb_layer(DYNAMIC_LAYER_TENSORARRAY, kFp32, array_rec({4}, 1, 0, 0, 0x4000),
                      Words().append(shape_ref(101)).append(ta(7))));
    a.layer({7, 102, 3}, {}, glb_layer(DYNAMIC_LAYER_TA_SCATTER, kFp32, value_rec(0),
                                      Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(3))));
    a.layer({7, 104}, {}, glb_layer(DYNAMIC_LAYER_TA_GATHER, kFp32, Record(),
                                    Words().append(ta(7)).append(shape_ref(104)).append(net_io_ref(10))));
    run_ok(*card, a.n);
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(get<float>(*card, kNetOut[0], 8), (std::vector<float>{5, 6, 7, 8, 0, 0, 0, 0}));
  }
}

TEST(TensorArrayCtrl, SplitThenConcatRestoresTheValueAndASplitMayFillTheBuffer) {
  // A [5, 2] value split into lengths 2 and 3; concat joins them again. The
  // buffer holds exactly the image area and the value's 40 bytes.
  std::vector<float> value(10);
  for (size_t i = 0; i < 10; i++) value[i] = float(i) * 1.5f - 4.0f;
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], std::vector<int32_t>{2});
    put(*card, kNetIn[1], std::vector<int32_t>{2, 3});
    put(*card, kNetIn[2], value);
    const NetRun n = array_net(
        2, array_rec({}, 1, 0, 0, 0x3000 + 40),
        {{{7, 3, 102}, glb_layer(DYNAMIC_LAYER_TA_SPLIT, kFp32, value_rec(0),
                                 Words().append(ta(7)).append(net_io_ref(3)).append(shape_ref(102)))},
         {{7}, glb_layer(DYNAMIC_LAYER_TA_CONCAT, kFp32, Record(), Words().append(ta(7)).append(net_io_ref(10)))}},
        2, {2, 3});
    run_ok(*card, n);
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{5, 2}));
    EXPECT_EQ(get<float>(*card, kNetOut[0], 10), value);
  }
}

TEST(TensorArrayCtrl, HostToDeviceAndBackRestoresSizeAndRecords) {
  // Write element 1 of a 3-element array, copy its image to a buffer
  // (host2device mode 1), read it into array 9 (device2host mode 1) and read
  // element 1 from there (in place) into the net output.
  const std::vector<float> value = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], std::vector<int32_t>{3});
    put(*card, kNetIn[1], std::vector<int32_t>{1});
    put(*card, kNetIn[2], value);
    const uint64_t image = 0x200000;
    NetRun n = array_net(
        3, array_rec({5, 2}, 0, 0, 1, 0x10000),
        {{{7, 102, 3}, glb_layer(DYNAMIC_LAYER_TA_WRITE, kFp32, value_rec(0),
                                 Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(3)))},
         {{7}, transfer_layer(DYNAMIC_LAYER_HOST2DEVICE, 1, Words().append(ta(7)).append(neuron_ref(8, neuron_off(image))))}},
        2, {1});
    n.groups.back().new_keys = {key(8, 1)};
    n.groups.push_back(global_group({8}, {key(9, 1)},
                                    transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 1,
                                                   Words().append(neuron_ref(8, 0)).append(ta_ref(9, 0)))));
    // Input 2's shape tensor (102) is read by the write and this read.
    n.groups[1].new_keys = {key(102, 2)};
    // The read has no address of its own: it aliases the element's data, which
    // the output layer then copies to the net output.
    n.groups.push_back(global_group({9, 102}, {key(12, 1)},
                                    glb_layer(DYNAMIC_LAYER_TA_READ, kFp32, Record(),
                                              Words().append(ta_ref(9, 0)).append(shape_ref(102)).append(neuron_ref(12, 0)))));
    n.groups.push_back(global_group({12}, {}, glb_layer(DYNAMIC_LAYER_OUTPUT, kFp32, Record(),
                                                        Words().append(neuron_ref(12, 0)).append(net_io_ref(10)))));
    run_ok(*card, n);
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{5, 2}));
    EXPECT_EQ(get<float>(*card, kNetOut[0], 10), value);
  }
}

TEST(TensorArrayCtrl, AnArrayReadFromItsImageGrowsFromItsSize) {
  // Element 5 written into a dynamic array of 2 (capacity 12, size 6); its
  // image read back into array 9 holds 6 records, so writing element 7 there
  // grows it (its records are not those of the capacity the image names),
  // and element 7 reads back.
  const std::vector<float> value = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3};
  for (uint64_t seed : kSeeds) {
    auto card = deferred_card(Backend::Native, seed);
    put(*card, kNetIn[0], std::vector<int32_t>{2});
    put(*card, kNetIn[1], std::vector<int32_t>{5, 7});
    put(*card, kNetIn[2], value);
    ArrayNet a;
    a.shape_input(1, kNetIn[0], {1}, 1);
    a.n.inputs.push_back(NetIo{2, kNetIn[1], kInt32, {1}});
    a.n.inputs.push_back(NetIo{4, kNetIn[1] + 4, kInt32, {1}});
    a.n.groups.push_back(global_group({2}, {key(102, 1)}, transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0,
                                                                          Words().append(net_io_ref(2)).append(shape_ref(102)))));
    a.n.groups.push_back(global_group({4}, {key(104, 2)}, transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 0,
                                                                          Words().append(net_io_ref(4)).append(shape_ref(104)))));
    a.n.inputs.push_back(NetIo{3, kNetIn[2], kFp32, {5, 2}});
    a.n.outputs = {NetIo{10, kNetOut[0]}};
    a.layer({101}, {key(7, 2)},
            glb_layer(DYNAMIC_LAYER_TENSORARRAY, kFp32, array_rec({5, 2}, 0, 1, 0, 0x10000),
                      Words().append(shape_ref(101)).append(ta(7))));
    a.layer({7, 102, 3}, {}, glb_layer(DYNAMIC_LAYER_TA_WRITE, kFp32, value_rec(0),
                                      Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(3))));
    a.layer({7}, {key(8, 1)},
            transfer_layer(DYNAMIC_LAYER_HOST2DEVICE, 1, Words().append(ta(7)).append(neuron_ref(8, neuron_off(0x200000)))));
    a.layer({8}, {key(9, 2)},
            transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 1, Words().append(neuron_ref(8, 0)).append(ta_ref(9, 0))));
    a.layer({9, 104, 3}, {}, glb_layer(DYNAMIC_LAYER_TA_WRITE, kFp32, value_rec(1),
                                      Words().append(ta_ref(9, 0)).append(shape_ref(104)).append(net_io_ref(3))));
    a.layer({9, 104}, {}, glb_layer(DYNAMIC_LAYER_TA_READ, kFp32, Record(),
                                    Words().append(ta_ref(9, 0)).append(shape_ref(104)).append(net_io_ref(10))));
    run_ok(*card, a.n);
    EXPECT_EQ(get<float>(*card, kNetOut[0], 10), value);
    EXPECT_EQ(out_shape(*card, 0).shape, (std::vector<uint32_t>{5, 2}));
    // The synced image of array 9: grown to capacity 2 x 8, size 8.
    EXPECT_EQ(get<uint32_t>(*card, neuron_addr(0x200000), 2), (std::vector<uint32_t>{16, 8}));
  }
}

TEST(TensorArrayCtrl, IndicesAndSizesOutsideTheArrayFail) {
  auto card = deferred_card(Backend::Native, 3);
  const std::vector<float> value(10, 1.0f);
  put(*card, kNetIn[2], value);
  auto write_at = [&](int32_t index, uint32_t dynamic, int times, uint32_t buffer = 0x10000) {
    put(*card, kNetIn[0], std::vector<int32_t>{2});
    put(*card, kNetIn[1], std::vector<int32_t>{index});
    std::vector<std::pair<std::vector<uint32_t>, Words>> ops;
    for (int i = 0; i < times; i++)
      ops.push_back({{7, 102, 3}, glb_layer(DYNAMIC_LAYER_TA_WRITE, kFp32, value_rec(0),
                                           Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(3)))});
    return array_net(2, array_rec({5, 2}, 0, dynamic, 0, buffer), ops, uint32_t(times), {index});
  };
  const NetRun good = write_at(1, 0, 1);
  auto restore = [&] {
    put(*card, kNetIn[0], std::vector<int32_t>{2});
    put(*card, kNetIn[1], std::vector<int32_t>{1});
  };
  run_fails(*card, write_at(1, 0, 2), "bottom[0].tensor_array_info->tensors[index].written == 0", good, restore);
  run_fails(*card, write_at(-1, 1, 1), "index >= 0 && index < bottom[0].tensor_array_info->size", good, restore);
  run_fails(*card, write_at(2, 0, 1), "index >= 0 && index < bottom[0].tensor_array_info->size", good, restore);
  // The head lies inside the buffer but the element's 40 bytes do not fit.
  run_fails(*card, write_at(1, 0, 1, 0x3000 + 20),
            "bottom[0].tensor_array_info->head_addr + count * sizeof(float) <= array_end(&bottom[0])", good, restore);
  // Negative indices of scatter and gather.
  put(*card, kNetIn[1], std::vector<int32_t>{-1});
  NetRun gather = array_net(2, array_rec({2}, 0, 0, 0, 0x10000),
                            {{{7, 102}, glb_layer(DYNAMIC_LAYER_TA_GATHER, kFp32, Record(),
                                                  Words().append(ta(7)).append(shape_ref(102)).append(net_io_ref(10)))}},
                            1, {-1});
  put(*card, kNetIn[0], std::vector<int32_t>{2});
  put(*card, kNetIn[1], std::vector<int32_t>{-1});
  run_fails(*card, gather, "index >= 0", good, restore);
  // A scatter of one [1, 5, 2] coefficient row to index -1.
  Record coeff = Record(48).u32(4, 1).u32(8, 2).i32(12, 1).i32(16, 10).u32(44, kFp32);
  NetRun neg_scatter = array_net(2, array_rec({10}, 0, 0, 0, 0x10000),
                                 {{{7, 102}, glb_layer(DYNAMIC_LAYER_TA_SCATTER, kFp32, coeff,
                                                       Words().append(ta(7)).append(shape_ref(102)).append(coeff_ref(0)))}},
                                 1, {-1});
  put(*card, kNetIn[1], std::vector<int32_t>{-1});
  run_fails(*card, neg_scatter, "index >= 0", good, restore);
  // An array of 100000 elements would exhaust the heap.
  put(*card, kNetIn[0], std::vector<int32_t>{100000});
  const NetRun huge = array_net(0, array_rec({2}, 0, 0, 0, 0x10000), {}, 0);
  run_fails(*card, huge, "bytes <= HOST_BLOCK_MAX_BYTES", good, restore);
}

TEST(TensorArrayCtrl, ImagesAboveTheirAreaFailBothWays) {
  auto card = deferred_card(Backend::Native, 1);
  // 192 records do not fit the 0x3000-byte image area: host2device mode 1
  // fails; 191 do.
  auto to_device = [](int32_t) {
    NetRun n = array_net(0, array_rec({1}, 0, 0, 0, 0x10000),
                         {{{7}, transfer_layer(DYNAMIC_LAYER_HOST2DEVICE, 1,
                                               Words().append(ta(7)).append(neuron_ref(8, neuron_off(0x200000))))}},
                         1);
    n.groups.back().new_keys = {key(8, 0)};
    return n;
  };
  put(*card, kNetIn[0], std::vector<int32_t>{191});
  NetRun good = to_device(191);
  run_ok(*card, good);
  put(*card, kNetIn[0], std::vector<int32_t>{192});
  auto a = run_net(*card, to_device(192));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->result, 1009u);
  EXPECT_NE(card->console().find("header->size <= TENSOR_ARRAY_IMAGE_MAX_ELEMS"), std::string::npos);
  // An image in device memory whose size word says 1000: device2host mode 1
  // fails before reading records past the copied area.
  std::vector<uint32_t> image(10, 0);
  image[0] = image[1] = 1000;
  put(*card, kNetIn[1], image);
  NetRun from_device;
  from_device.inputs = {NetIo{2, kNetIn[1], kInt32, {10}}};
  from_device.groups.push_back(global_group({2}, {key(9, 0)},
                                            transfer_layer(DYNAMIC_LAYER_DEVICE2HOST, 1,
                                                           Words().append(net_io_ref(2)).append(ta_ref(9, 0)))));
  put(*card, kNetIn[0], std::vector<int32_t>{191});
  run_fails(*card, from_device, "size <= TENSOR_ARRAY_IMAGE_MAX_ELEMS", good);
}

}  // namespace
}  // namespace zv::test
