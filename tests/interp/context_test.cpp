// The run context's tables and lists, its bounded reader of the description
// and the shape helpers, on a fresh firmware (heap and assertions as in a
// message).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fw_test.h"
#include "interp/context.h"
#include "net_writer.h"
#include "runtime/hw.h"
#include "runtime/services.h"

// The firmware heap (test code's own malloc is the host's).
extern "C" void *__wrap_malloc(size_t size);

namespace zv::test {
namespace {

// Runs fn with the heap tracked as the dispatcher tracks a message, releasing
// what a failed run left behind.
FwOutcome run_tracked(FirmwareRig &rig, const std::function<void()> &fn) {
  FwOutcome o = rig.run([&] {
    heap_track_begin();
    fn();
    heap_track_end();
  });
  if (o.asserted) rig.run([] { heap_track_release_all(); });
  return o;
}

void place(const net::Words &w) { std::memcpy(hw_ptr(DYNAMIC_IR_ADDR, u32(w.size_bytes())), w.raw().data(), w.size_bytes()); }

dynamic_tensor_info_t info_of(u32 id, u64 addr, std::vector<i32> &shape, void *host = nullptr) {
  dynamic_tensor_info_t i = {};
  i.id = id;
  i.addr = addr;
  i.dims = u32(shape.size());
  i.shape = shape.data();
  i.host_data = host;
  return i;
}

u32 count_of(const global_tensor_head_t *head, u32 id) {
  const global_tensor_node_t *n = global_tensor_node_find(id, head);
  return n ? (n->key & 0xffff) : 0xdeadu;
}

TEST(InterpContext, ConsumerCountsRetireRecordsIntoThePoolForReuse) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(run_tracked(rig, [] {
    global_tensor_head_t *table = global_tensor_head_create(), *pool = global_tensor_head_create();
    global_tensor_node_push_front_info(table, 1u << 16 | CONSUME_NET_INPUT, nullptr, pool, 1);
    global_tensor_node_push_front_info(table, 2u << 16 | 2, nullptr, pool, 1);  // read twice below
    global_tensor_node_push_front_info(table, 3u << 16 | 0, nullptr, pool, 1);  // never read
    global_tensor_node_push_front_info(table, 4u << 16 | 2, nullptr, pool, 1);  // read once
    const u32 group_inputs[] = {1, 2, 2, 4};
    global_tensor_list_recycle(table, group_inputs, 4, pool, nullptr);
    EXPECT_EQ(count_of(table, 1), CONSUME_NET_INPUT);
    EXPECT_EQ(global_tensor_node_find(2, table), nullptr);
    EXPECT_EQ(global_tensor_node_find(3, table), nullptr);
    EXPECT_EQ(count_of(table, 4), 1u);
    EXPECT_NE(global_tensor_node_find(2, pool), nullptr);
    // A new key takes a pooled record, cleared.
    global_tensor_node_t *reused = pool->first;
    global_tensor_node_t *n = global_tensor_node_push_front_info(table, 9u << 16 | 1, nullptr, pool, 1);
    EXPECT_EQ(n, reused);
    EXPECT_EQ(n->dims, 0u);
    // Re-entering an id keeps its count; no info clears type and dims.
    std::vector<i32> s = {2, 3};
    dynamic_tensor_info_t i = info_of(4, 0x101000000ull, s);
    i.dtype = DSIZE_INT32;
    global_tensor_node_set_info(table, &i, 1);
    global_tensor_node_push_front_info(table, 4u << 16 | 7, nullptr, pool, 1);
    EXPECT_EQ(count_of(table, 4), 1u);
    EXPECT_EQ(global_tensor_node_find(4, table)->dims, 0u);
    EXPECT_EQ(global_tensor_node_find(4, table)->addr, 0x101000000ull) << "the address stays";
    global_tensor_node_destroy(table, 1);
    global_tensor_node_destroy(pool, 1);
  })));
}

TEST(InterpContext, LookupPrecedenceOfAddresses) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(run_tracked(rig, [] {
    global_tensor_head_t *table = global_tensor_head_create();
    std::vector<i32> s = {1, 2, 3};
    dynamic_tensor_info_t a = info_of(5, 0, s);
    global_tensor_node_push_front_info(table, 5u << 16 | 1, &a, nullptr, 1);
    // A record with address 0 keeps the address the reference computed.
    dynamic_tensor_info_t q = {};
    q.id = 5;
    q.addr = 0x124400000ull;
    ASSERT_TRUE(global_tensor_node_find_info(table, &q));
    EXPECT_EQ(q.addr, 0x124400000ull);
    EXPECT_EQ(q.dims, 3u);
    EXPECT_EQ(q.shape[2], 3);
    // A stored address wins, and 0 never overwrites it.
    dynamic_tensor_info_t b = info_of(5, 0x151000000ull, s);
    global_tensor_node_set_info(table, &b, 1);
    dynamic_tensor_info_t c = info_of(5, 0, s);
    global_tensor_node_set_info(table, &c, 1);
    ASSERT_TRUE(global_tensor_node_find_info(table, &q));
    EXPECT_EQ(q.addr, 0x151000000ull);
    global_tensor_node_destroy(table, 1);
  })));
}

TEST(InterpContext, HostDataHasOneOwnerAndTheExtraTableForgetsWhatItFrees) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(run_tracked(rig, [] {
    const net::Words desc = net::Words().word(0);  // nothing is read
    place(desc);
    dynamic_context_t ctx;
    dynamic_context_init(&ctx, DYNAMIC_IR_ADDR, 4, 0, 0, 0);
    dynamic_context_extra_push_front(&ctx, 6u << 16 | 3, nullptr);  // lower half not used
    dynamic_context_tensor_push_front(&ctx, 6u << 16 | 1, nullptr);
    std::vector<i32> s = {4};
    void *values = __wrap_malloc(16);
    dynamic_tensor_info_t out = info_of(6, 0, s, values);
    dynamic_context_global_set_output_info(&ctx, &out);
    dynamic_tensor_info_t q = {};
    q.id = 6;
    ASSERT_TRUE(dynamic_context_extra_find_info(&ctx, &q));
    EXPECT_EQ(q.host_data, values);
    // A second value block replaces the first in both tables (the first is freed once).
    void *next = __wrap_malloc(16);
    out.host_data = next;
    dynamic_context_global_set_output_info(&ctx, &out);
    ASSERT_TRUE(dynamic_context_extra_find_info(&ctx, &q));
    EXPECT_EQ(q.host_data, next);
    // The group that reads 6 retires it: its block is freed and the extra table forgets it.
    const u32 ids[] = {6};
    global_tensor_list_recycle(ctx.tensor_table, ids, 1, ctx.free_pool, ctx.extra_table);
    ASSERT_TRUE(dynamic_context_extra_find_info(&ctx, &q));
    EXPECT_EQ(q.host_data, nullptr);
    EXPECT_EQ(q.dims, 1u) << "the extra table keeps the shape for the run";
    dynamic_context_destroy(&ctx);
  })));
}

TEST(InterpContext, LocalRecordsAreReadAsManyTimesAsTheirCount) {
  FirmwareRig rig;
  const FwOutcome o = run_tracked(rig, [] {
    local_tensor_head_t *head = local_tensor_head_create();
    local_tensor_info_t r = {};
    r.id = 3;
    r.consume_count = 2;
    r.window_rows = 7;
    local_tensor_node_push_front(head, &r);
    r.window_rows = 9;
    local_tensor_node_push_front(head, &r);  // same id: ignored
    local_tensor_info_t out;
    local_tensor_node_find(head, 3, &out);
    EXPECT_EQ(out.window_rows, 7u);
    local_tensor_node_find(head, 3, &out);
    EXPECT_EQ(head->first, nullptr);
    local_tensor_node_find(head, 3, &out);  // a third read
  });
  EXPECT_TRUE(o.asserted);
  const size_t logged = o.uart.find("cannot find local tensor node, tensor_id=3\n");
  const size_t asserted = o.uart.find("ASSERT firmware/interp/context.cpp: local_tensor_node_find: ");
  EXPECT_NE(logged, std::string::npos) << o.uart;
  EXPECT_NE(asserted, std::string::npos) << o.uart;
  EXPECT_LT(logged, asserted) << "logged before the assertion";
}

TEST(InterpContext, ShapeHelpers) {
  FirmwareRig rig;
  ASSERT_TRUE(ran_clean(rig.run([] {
    std::vector<i32> a = {2, -1, 3};
    dynamic_tensor_info_t i = info_of(1, 0, a);
    EXPECT_EQ(get_tensor_element_num(&i), 6u);
    std::vector<i32> six = {2, 3, 4, 5, 6, 7};
    dynamic_tensor_info_t j = info_of(1, 0, six);
    i32 d[4];
    assign_shape_by_dim(&j, d, 4);
    EXPECT_EQ(std::vector<i32>(d, d + 4), (std::vector<i32>{2, 3, 4, 210}));
    i32 e[4] = {9, 9, 9, 9};
    get_shape_dim4(&j, e);
    EXPECT_EQ(std::vector<i32>(e, e + 4), (std::vector<i32>{2, 3, 4, 210}));
    std::vector<i32> two = {5, 6};
    dynamic_tensor_info_t k = info_of(1, 0, two);
    i32 f[4];
    assign_shape_by_dim(&k, f, 4);
    EXPECT_EQ(std::vector<i32>(f, f + 4), (std::vector<i32>{5, 6, 1, 1}));
    std::vector<i32> z = {3, 0, 2};
    dynamic_tensor_info_t n = info_of(1, 0, z);
    EXPECT_EQ(is_null_tensor(&n), 1);
    n.dims = 0;
    EXPECT_EQ(is_null_tensor(&n), 0);
  })));
}

TEST(InterpContext, GroupHeadersAndTheBoundedReader) {
  // One net input (id 1); a local group with flag bit 1 (n_slice 300 in a
  // fourth word), cut along h with two slice records, a new key and a split
  // entry. (Built here: the run below ends on an assertion, which must leave
  // no object to destroy behind it.)
  net::Group g;
  g.extra_keys = {5u << 16 | 3};
  g.n_slice = 300;
  g.long_n_slice = true;
  g.stage_num = 2;
  g.slices = {{1, 10, 1, 3, 1, 1, 3}, {7, 4, 2, 2, 0, 0, 0}};
  g.new_keys = {net::key(8, 2)};
  g.split = {net::key(8, 3)};
  g.steps.resize(2);
  const net::Words desc = net::description({1}, {}, {g});
  FirmwareRig rig;
  const FwOutcome o = run_tracked(rig, [&] {
    place(desc);
    dynamic_io_tensor_t in = {};
    in.addr = 0x101000000ull, in.dims = 4, in.shape[0] = 2, in.shape[1] = 3, in.shape[2] = 32, in.shape[3] = 4;
    dynamic_context_t ctx;
    dynamic_context_init(&ctx, DYNAMIC_IR_ADDR, u32(desc.size_bytes()), 0, 0, 0);
    dynamic_context_set_io_tensors(&ctx, 1, &in, 0, nullptr);
    ASSERT_EQ(dynamic_context_next_group(&ctx), 1);
    EXPECT_EQ(ctx.ts_num, 2u);
    EXPECT_EQ(ctx.n_slice, 300u);
    EXPECT_EQ(ctx.stage_num, 2u);
    EXPECT_EQ(ctx.is_h_split, 1u);
    ASSERT_EQ(ctx.group_in_num, 2u);
    EXPECT_EQ(ctx.group_in_ids[0], 1u);
    EXPECT_EQ(ctx.group_in_ids[1], 7u);
    EXPECT_EQ(dynamic_context_find_split_consume(&ctx, 8), 3u);
    EXPECT_EQ(dynamic_context_find_split_consume(&ctx, 9), 1u);
    EXPECT_EQ(count_of(ctx.tensor_table, 8), 2u);
    EXPECT_NE(global_tensor_node_find(5, ctx.extra_table), nullptr);
    dynamic_group_slice_t s;
    dynamic_context_group_slice(&ctx, 1, &s);
    EXPECT_EQ(u32(s.window_rows), 4u);
    EXPECT_EQ(u32(s.stride), 2u);
    // The body: two empty time steps; then the end of the description.
    for (int k = 0; k < 4; k++) EXPECT_EQ(dynamic_context_read_u32(&ctx), 0u);
    dynamic_context_read_u32(&ctx);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT", "firmware/interp/", "take_bytes", "bytes <= ctx->end - ctx->cur",
                         "description read of 4 bytes at 0x10022058 past its end 0x10022058"));
}

TEST(InterpContext, AReadPastTheDescriptionStops) {
  FirmwareRig rig;
  const FwOutcome o = run_tracked(rig, [] {
    place(net::Words().word(1).word(2));
    dynamic_context_t ctx;
    dynamic_context_init(&ctx, DYNAMIC_IR_ADDR, 8, 0, 0, 0);
    dynamic_context_read_u64(&ctx);
    dynamic_context_read_u32(&ctx);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT", "firmware/interp/", "take_bytes", "bytes <= ctx->end - ctx->cur",
                         "description read of 4 bytes at 0x10022008 past its end 0x10022008"));
}

TEST(InterpContext, MoreThanEightDimsAreRefused) {
  FirmwareRig rig;
  std::vector<i32> nine(9, 1);
  const FwOutcome o = run_tracked(rig, [&] {
    global_tensor_head_t *table = global_tensor_head_create();
    dynamic_tensor_info_t i = info_of(2, 0, nine);
    global_tensor_node_push_front_info(table, 2u << 16 | 1, &i, nullptr, 1);
  });
  EXPECT_TRUE(stopped_on(o, "ASSERT", "firmware/interp/", "assign_node_info", "info->dims <= DYNAMIC_MAX_DIMS",
                         "tensor 2 has 9 dims"));
}

}  // namespace
}  // namespace zv::test
