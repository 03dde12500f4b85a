// The dispatcher's robustness against a hostile host, one named case per class
// of fault the fuzzer and a review found: ordering after a failed message,
// engines reaching memory outside device memory, extent arithmetic that
// overflowed, success answered for an impossible request, the profile reader
// losing its records, and the host driver hanging on a message it cannot
// place. Each case drives the card through the ring, as the host does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cmd/bd_arith.h"
#include "cmd/gdma.h"
#include "cmd/gemm.h"
#include "cmd/memory_fill_copy.h"
#include "fw_test.h"
#include "layers/data/arg.h"
#include "layers/eltwise/batchnorm.h"
#include "layers/eltwise/binary.h"
#include "layers/eltwise/binary_fix8b.h"
#include "layers/eltwise/eltwise.h"
#include "layers/eltwise/eltwise_math.h"
#include "layers/eltwise/prelu.h"
#include "layers/eltwise/softmax.h"
#include "layers/eltwise/bnscale_fix8b.h"
#include "layers/eltwise/convert.h"
#include "layers/eltwise/eltwise_math.h"
#include "layers/eltwise/fix8b_arith.h"
#include "layers/eltwise/lrn.h"
#include "layers/eltwise/md_ops.h"
#include "layers/eltwise/misc_math.h"
#include "layers/eltwise/multiregion.h"
#include "layers/eltwise/normalize.h"
#include "layers/eltwise/scale.h"
#include "layers/eltwise/unary.h"
#include "layers/eltwise/unary_fix8b.h"
#include "layers/pool/adaptive_pooling.h"
#include "layers/pool/interp.h"
#include "layers/pool/pooling.h"
#include "layers/pool/pooling_fix8b.h"
#include "layers/pool/pooling_train.h"
#include "layers/pool/upsample.h"
#include "layers/data/stride_slice.h"
#include "layers/data/transpose.h"
#include "net_writer.h"
#include "runtime/api/dispatch.h"
#include "runtime/api/profile_api.h"
#include "runtime/assert.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using host::Card;

constexpr uint64_t kBase = GLOBAL_MEM_START_ADDR, kEnd = GLOBAL_MEM_END_ADDR;
constexpr uint64_t kA = kBase + 0x10000000ull, kB = kBase + 0x10100000ull;

std::unique_ptr<Card> card_on(chip::Schedule schedule, uint64_t seed, bool races) {
  host::CardOptions o;
  o.chip.engines = {schedule, seed, races};
  auto card = std::make_unique<Card>(o);
  EXPECT_EQ(card->state(), Card::State::Running) << card->trouble();
  return card;
}

uint32_t result_of(Card &card, uint32_t id, const std::vector<uint32_t> &payload) {
  auto a = card.send(id, payload);
  EXPECT_TRUE(a) << card.trouble();
  return a ? a->result : 0xffffffffu;
}

size_t commands(Card &card) {
  return card.chip().engines.gdma.commands().size() + card.chip().engines.bd.commands().size();
}

// ---- Ordering after a failed message ----

// Test handlers claimed through the dispatcher's test hook: one issues GDMA
// fills and tensor-engine copies on its node and then fails; the others leave
// a command waiting for an id the other engine never reached.
constexpr uint32_t kIssueThenFail = 4100, kBdWaitsForever = 4101, kGdmaWaitsForever = 4102;

void fill(u64 addr, cmd_id_node_t *node) {
  const u32 v = 0x11223344;
  fill_constant_gen_global_cmd_stride(addr, &v, GDMA_VALUE_FORMAT_FLOAT32, 1, 1, 1, 256, 256, 256, 256, 1, node);
}

void local_copy(cmd_id_node_t *node) {
  const dim4_t one = {1, 1, 1, 4};
  const dim4_t stride = {4, 4, 4, 1};
  atomic_tensor_copy_gen_cmd(LOCAL_ADDR_TAG | 0x100, LOCAL_ADDR_TAG | 0x200, &one, &stride, &stride, node);
}

void issue_then_fail(void) {
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  for (int i = 0; i < 6; i++) {
    fill(kA + 1024u * i, &node);
    local_copy(&node);
  }
  ASSERT(node.gdma_cmd_id == 0, "gdma id %u", (unsigned)node.gdma_cmd_id);
}

void wait_forever(int bd_waits) {
  cmd_id_node_t node = {};
  resync_cmd_id(&node);
  // A wait id the other engine has not reached: the layer failed before it
  // issued the commands the wait stands for.
  if (bd_waits) {
    node.gdma_cmd_id = 5;
    local_copy(&node);
  } else {
    node.bd_cmd_id = 3;
    fill(kA, &node);
  }
  ASSERT(node.bd_cmd_id == 0 && node.gdma_cmd_id == 0);
}

int hook(u32 id, u8 *, u32, u32 *) {
  if (id == kIssueThenFail) issue_then_fail();
  if (id == kBdWaitsForever) wait_forever(1);
  if (id == kGdmaWaitsForever) wait_forever(0);
  return 0;
}

// The hook is firmware data: a boot clears it, so it is set once the card runs.
std::unique_ptr<Card> hooked_card(uint64_t seed, bool races) {
  auto card = card_on(chip::Schedule::Deferred, seed, races);
  zv_api_test_hook = hook;
  return card;
}

class FailedMessage : public ::testing::TestWithParam<uint64_t> {};

TEST_P(FailedMessage, IsAnsweredOnlyOnceItsCommandsHaveFinished) {
  auto card = hooked_card(GetParam(), true);
  for (int round = 0; round < 3; round++) {
    EXPECT_EQ(result_of(*card, kIssueThenFail, {}), 1009u);
    // Every command the failed message issued has run before the answer.
    for (const auto *log : {&card->chip().engines.gdma.commands(), &card->chip().engines.bd.commands()})
      for (const chip::CommandRecord &r : *log) EXPECT_TRUE(r.finished) << r.kind_name;
    // The next message restarts the ids over empty queues.
    const zv_api_memcpy_t copy = {kA, kB, 4, 256, 256, 256};
    EXPECT_EQ(result_of(*card, 2, payload_of(copy)), 0u);
  }
  EXPECT_EQ(card->read32(kB + 4 * 256 * 3), 0x11223344u);
  EXPECT_TRUE(no_findings(card->chip()));
}

TEST_P(FailedMessage, ReleasesACommandWaitingForAnIdNeverIssued) {
  // The race checker would flag the test's own wait beyond the issued ids, so
  // it is off here; the card must neither hang nor stop.
  auto card = hooked_card(GetParam(), false);
  for (uint32_t id : {kBdWaitsForever, kGdmaWaitsForever, kBdWaitsForever}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(result_of(*card, id, {}), 1009u);
    for (const auto *log : {&card->chip().engines.gdma.commands(), &card->chip().engines.bd.commands()})
      for (const chip::CommandRecord &r : *log) EXPECT_TRUE(r.finished) << r.kind_name;
    const zv_api_memset_t word = {kB, 64, 4, 0xfeedu};
    EXPECT_EQ(result_of(*card, 1, payload_of(word)), 0u);
  }
  EXPECT_EQ(card->state(), Card::State::Running) << card->trouble();
}

INSTANTIATE_TEST_SUITE_P(Seeds, FailedMessage, ::testing::Values(1, 2, 3));

TEST(MemcpyTensors, ABadLaterRowLeavesNoEarlierCopyBehind) {
  auto card = card_on(chip::Schedule::Deferred, 5, true);
  std::vector<uint32_t> marker(64, 0x5a5a5a5a);
  card->write(kB, marker.data(), 256);
  memcpy_tensors_row_t rows[2] = {};
  rows[0] = {kA, kB, 1, 1, 1, 64, 64, 64, 64, 1, 64, 64, 64, 1, 4};
  rows[1] = rows[0];
  rows[1].dst_addr = 0x02000000;  // the ARM's data memory
  const uint64_t table = kA + 0x8000;
  card->write(table, rows, sizeof rows);
  const zv_api_memcpy_tensors_t rec = {2, table};
  std::vector<uint32_t> p(3);
  std::memcpy(p.data(), &rec, 12);
  EXPECT_EQ(result_of(*card, 183, p), 1009u);
  EXPECT_NE(card->console().find(": check_tensor_row: "), std::string::npos);
  EXPECT_EQ(card->read32(kB), 0x5a5a5a5au) << "the first row was copied before the second was refused";
  const zv_api_memcpy_t copy = {kA, kB, 1, 64, 64, 64};
  EXPECT_EQ(result_of(*card, 2, payload_of(copy)), 0u);
  EXPECT_TRUE(no_findings(card->chip()));
}

// ---- Global addresses and extents outside device memory ----

// Records of every handler that names global addresses, each with one
// address or extent outside device memory; nothing may be issued for them.
struct OutOfRange {
  const char *what;
  uint32_t id;
  std::vector<uint32_t> payload;
};

std::vector<uint32_t> words(const void *rec, size_t bytes) {
  std::vector<uint32_t> w(bytes / 4);
  std::memcpy(w.data(), rec, bytes);
  return w;
}

std::vector<OutOfRange> out_of_range_cases() {
  std::vector<OutOfRange> v;
  auto add = [&](const char *what, uint32_t id, const void *rec, size_t bytes) {
    v.push_back({what, id, words(rec, bytes)});
  };
  const zv_api_memset_t m1 = {0x02000000, 64, 4, 1};
  add("memset into the ARM's data memory", 1, &m1, sizeof m1);
  const zv_api_memset_t m2 = {kEnd - 8, 16, 1, 1};
  add("memset pattern running past the end", 1, &m2, sizeof m2);
  const zv_api_memcpy_t c1 = {kA, kB, 1500000000, 64, 64, 16};
  add("memcpy of 1.5e9 rows past the end", 2, &c1, sizeof c1);
  const zv_api_memcpy_t c2 = {kA, kBase - 4, 1, 1, 1, 2};
  add("memcpy to just below device memory", 2, &c2, sizeof c2);
  const zv_api_memcpy_t c3 = {kA + 64, kB, 3, -0x40000000, 1, 1};
  add("memcpy with a negative stride reaching below", 2, &c3, sizeof c3);
  const zv_api_permute_param_t p1 = {kA, 0x10000000, 1, 2, 3, 4};
  add("permute into L2 SRAM", 46, &p1, sizeof p1);
  const zv_api_permute_param_t p2 = {kEnd - 64, kB, 1, 2, 3, 4};
  add("permute 8-bit input past the end", 142, &p2, sizeof p2);
  zv_api_gemm_t g = {};
  g.m = 4, g.n = 4, g.k = 4, g.a_addr = kA, g.lda = 4, g.b_addr = kB, g.ldb = 4, g.c_addr = 1ull << 40, g.ldc = 4;
  add("GEMM with C at 2^40", 105, &g, sizeof g);
  g.c_addr = kA + 0x10000, g.trans_a = 1, g.lda = 0x40000000;
  add("GEMM with a transposed A past the end", 105, &g, sizeof g);
  const zv_api_arg_t a1 = {kA, ARG_NO_OUTPUT, 0x00070000, 2, 3, 4, 5, 1, 0};
  add("arg index output in ITCM", 157, &a1, sizeof a1);
  zv_api_arg_fix8b_t a2 = {};
  a2.input_addr = kEnd - 64, a2.value_out_addr = kB, a2.index_out_addr = ARG_NO_OUTPUT;
  a2.input_n = 4, a2.input_c = 2, a2.input_h = 3, a2.input_w = 4, a2.axis = 2;
  add("8-bit arg input past the end", 158, &a2, sizeof a2);
  const zv_api_arg_t a3 = {kA, kEnd - 16, ARG_NO_OUTPUT, 2, 3, 4, 5, 1, 0};
  add("arg values past the end", 157, &a3, sizeof a3);
  zv_api_arg_fix8b_t a4 = a2;
  a4.input_addr = kA, a4.axis = 0, a4.buffer_addr = kEnd - 16, a4.buffer2_addr = kB + 0x1000;
  add("8-bit arg 1N copy past the end", 158, &a4, sizeof a4);
  a4.buffer_addr = kB + 0x1000, a4.buffer2_addr = ARG_NO_OUTPUT;
  add("8-bit arg values buffer not given", 158, &a4, sizeof a4);
  a4.axis = 1, a4.index_out_addr = kB + 0x2000, a4.index_buffer_addr = kEnd - 16;
  add("8-bit arg index scratch past the end", 158, &a4, sizeof a4);
  const zv_api_memset_byte_t b1 = {kA, 2, 1, 1, 8, 0x7fffffff, 1, 1, 0x7fffffff, 1, {0, 0, 0}};
  add("byte fill with strides past the end", 177, &b1, sizeof b1);
  const zv_api_memcpy_tensors_t t1 = {2, 0x02020000};
  std::vector<uint32_t> t(3);
  std::memcpy(t.data(), &t1, 12);
  v.push_back({"tensor table in DTCM", 183, t});
  const zv_api_get_profile_data_t r1 = {kA, 1ull << 40, 64, 0, 0};
  add("profile copy to 2^40", 987, &r1, sizeof r1);
  const zv_api_log_forward_t e1 = {0x02000000, kB, 1.0f, 0.0f, 2.0f, 1, 2, 3, 4};
  add("log input in the ARM's data memory", 13, &e1, sizeof e1);
  const zv_api_bias_forward_t e2 = {kA, kEnd - 16, kB, 2, 4, 1, 1};
  add("bias run past the end", 38, &e2, sizeof e2);
  zv_api_eltwise_forward_t e11 = {};
  e11.input_addr[0] = kA, e11.input_addr[1] = kB, e11.input_addr[2] = kEnd - 8, e11.output_addr = kB + 0x1000;
  e11.input_num = 3, e11.input_shape[0] = 1, e11.input_shape[1] = 2, e11.input_shape[2] = 3, e11.input_shape[3] = 4,
  e11.op_code = 1;
  add("eltwise third input past the end", 36, &e11, sizeof e11);
  const zv_api_prelu_forward_t e12 = {kA, kEnd - 8, kB, 0.0f, 0, 1, 4, 2, 2};
  add("prelu slopes past the end", 22, &e12, sizeof e12);
  const zv_api_dropout_forward_t e13 = {kA, kB, kB + 0x1000, kA, -0x20000000, 0.5f, 4, 4};
  add("dropout random values below device memory through the offset", 10, &e13, sizeof e13);
  // A 16-bit A takes two bytes a sample: 2^20 samples of 2^10 elements run
  // past the end where 8-bit data would fit.
  zv_api_eltwise_binary_fix8b_forward_t e14 = {kEnd - 0x50000000ull, kA, kB, {1 << 20, 1 << 10}, 2, 0, 1, 1, 0, 0,
                                               2, 1, 0};
  add("8-bit binary with a 16-bit A past the end", 169, &e14, sizeof e14);
  zv_api_pooling_forward_parallel_t q1 = {};
  q1.input_addr = kA, q1.output_addr = kEnd - 16, q1.input_n = 1, q1.input_c = 2, q1.input_h = 4, q1.input_w = 4;
  q1.output_h = q1.output_w = 2, q1.kh = q1.kw = q1.stride_h = q1.stride_w = 2, q1.nc_slice = 2, q1.oh_slice = 4;
  add("pooling output past the end", 52, &q1, sizeof q1);
  const zv_api_upsample_forward_parallel_t q2 = {kA, kEnd - 64, 1, 1, 4, 4, 2, 1, 4, 0.5f};
  add("upsample output four times the input, past the end", 73, &q2, sizeof q2);
  zv_api_pooling_fix8b_forward_parallel_t q3 = {};
  q3.input_addr = 0x00000100, q3.output_addr = kB, q3.input_n = 4, q3.input_c = 1, q3.input_h = q3.input_w = 4;
  q3.kh = q3.kw = q3.stride_h = q3.stride_w = 2, q3.nc_slice = 1, q3.oh_slice = 4, q3.lmem_scale = 0.5f;
  add("8-bit pooling input in ITCM", 88, &q3, sizeof q3);
  zv_api_pooling_train_forward_parallel_t q4 = {};
  q4.input_addr = kA, q4.output_addr = kB, q4.index_addr = 1ull << 40, q4.input_n = 1, q4.input_c = 1;
  q4.input_h = q4.input_w = 4, q4.kh = q4.kw = q4.stride_h = q4.stride_w = 2, q4.split_mode = 1, q4.lmem_scale = 0.25f;
  add("training pooling positions at 2^40", 95, &q4, sizeof q4);
  zv_api_pooling_train_index_forward_parallel_t q5 = {};
  q5.input_addr = kA, q5.output_addr = kEnd - 4, q5.input_n = 1, q5.input_c = 1, q5.input_h = q5.input_w = 4;
  q5.kh = q5.kw = q5.stride_h = q5.stride_w = 2, q5.split_mode = 1, q5.lmem_scale = 0.25f;
  add("training pooling positions past the end", 122, &q5, sizeof q5);
  const zv_api_adaptive_pooling_forward_t q6 = {0x02000000, kB, 1, 2, 4, 4, 2, 2, 1};
  add("adaptive pooling input in the ARM's data memory", 166, &q6, sizeof q6);
  zv_api_adaptive_pooling_fix8b_forward_t q7 = {};
  q7.input_addr = kA, q7.output_addr = kEnd - 8, q7.input_n = 4, q7.input_c = 2, q7.input_h = q7.input_w = 4;
  q7.output_h = q7.output_w = 2;
  add("8-bit adaptive pooling output past the end", 167, &q7, sizeof q7);
  const zv_api_interp_forward_parallel_t q8 = {kA, kEnd - 64, 1, 2, 4, 4, 0, 0, 8, 8, 4};
  add("interpolation output past the end", 163, &q8, sizeof q8);
  const zv_api_relu_forward_parallel_t e3 = {kA, kB, 0.0f, 0.0f, 0x7fffffffu, 1, 1, 1};
  add("ReLU of 2^31 - 1 items", 65, &e3, sizeof e3);
  const zv_api_softmax_forward_parallel_t e9 = {kA, kB, 5, 2, 3, 4, 1, 1.0f, 2, kEnd - 64};
  add("softmax 4N conversion buffer past the end", 67, &e9, sizeof e9);
  const zv_api_unary_t e4 = {kA, kEnd - 4, 2, 0, {0, 0}};
  add("unary output past the end", 147, &e4, sizeof e4);
  zv_api_binary_t e5 = {};
  e5.A_addr = kA, e5.B_addr = 0x10000000, e5.R_addr = kB, e5.n = 1, e5.c = 2, e5.h = 3, e5.w = 4;
  e5.A_bcast_n = e5.A_bcast_c = e5.A_bcast_h = e5.A_bcast_w = 1;
  e5.B_bcast_n = e5.B_bcast_c = e5.B_bcast_h = e5.B_bcast_w = 1;
  add("binary B in L2 SRAM", 148, &e5, sizeof e5);
  zv_api_simple_binary_t e6 = {};
  e6.A_addr = kA, e6.B_addr = kB, e6.R_addr = kB, e6.buffer_addr = 1ull << 40, e6.length = 8, e6.B_const_mode = 2;
  add("flat binary with a stored constant read through a buffer at 2^40", 149, &e6, sizeof e6);
  const zv_api_active_forward_t e7 = {kEnd - 4, kB, 1, 2, 0, 0};
  add("activation input past the end", 174, &e7, sizeof e7);
  const zv_api_active_forward_fix8b_t e10 = {kA, kB, 0x20000, 0x10000, 1, 1.0f, 1.0f, 1, 1, 0};
  add("8-bit activation of 2^33 bytes (0 in 32 bits)", 175, &e10, sizeof e10);
  const zv_api_sigmoid_forward_parallel_t e8 = {kA, 0x00000100, 1, 4};
  add("sigmoid output in ITCM", 901, &e8, sizeof e8);
  const zv_api_sigmoid_forward_parallel_t u11 = {kEnd - 8, kB, 1, 4};
  add("tanh input past the end", 902, &u11, sizeof u11);
  // The threshold layer writes n x c floats: 8 bytes here.
  const zv_api_threshold_forward_t u12 = {kA, kEnd - 4, 0.5f, 1, 2, 3, 4};
  add("threshold output past the end", 26, &u12, sizeof u12);
  const zv_api_power_forward_t u13 = {1ull << 40, kB, 2.0f, 1.0f, 0.0f, 1, 2, 3, 4};
  add("power input at 2^40", 29, &u13, sizeof u13);
  const zv_api_elu_forward_t u14 = {kA, 0x10000000, 1.0f, 1.0f, 1, 2, 3, 4};
  add("ELU output in L2 SRAM", 40, &u14, sizeof u14);
  const zv_api_sigmoid_forward_parallel_fix8b_t u15 = {kA, kEnd - 4, 2, 4, 1.0f, 1.0f, 1, 1};
  add("8-bit sigmoid output past the end", 172, &u15, sizeof u15);
  const zv_api_tanh_forward_parallel_fix8b_t u16 = {0x02000000, kB, 2, 4, 1.0f, 1.0f, 1, 1};
  add("8-bit tanh input in DTCM", 173, &u16, sizeof u16);
  const zv_api_absval_forward_t u17 = {kA, kEnd - 8, 1, 2, 3, 4};
  add("absolute value output past the end", 42, &u17, sizeof u17);
  const zv_api_lrn_forward_parallel_t nm1 = {kA, kEnd - 16, 1, 2, 3, 4, 1.0f, 5, 0.75f, 1.0f};
  add("LRN output past the end", 56, &nm1, sizeof nm1);
  zv_api_batchnorm_forward_inference_parallel_t nm2 = {};
  nm2.input_addr = kA, nm2.output_addr = kB, nm2.mean_addr = kA, nm2.variance_addr = kA;
  nm2.std_addr = 0x02000000, nm2.save_std = 1, nm2.input_n = 1, nm2.input_c = 2, nm2.input_h = 3, nm2.input_w = 4;
  add("batch normalisation std output in the ARM's data memory", 58, &nm2, sizeof nm2);
  zv_api_batchnorm_forward_train_parallel_t nm3 = {};
  nm3.input_addr = kA, nm3.output_global_addr = kB, nm3.running_mean_global_addr = kA;
  nm3.running_variance_global_addr = kEnd - 4, nm3.batch_mean_global_addr = kB, nm3.batch_std_global_addr = kB;
  nm3.input_n = 1, nm3.input_c = 2, nm3.input_h = 3, nm3.input_w = 4, nm3.norm_count = 12.0f;
  add("training running variance past the end", 59, &nm3, sizeof nm3);
  zv_api_bnscale_forward_parallel_fix8b_t nm4 = {};
  nm4.input_addr = kA, nm4.output_addr = kB, nm4.scale_global_addr = 1ull << 40, nm4.bias_global_addr = kA;
  nm4.shift_global_addr = kA, nm4.input_n = 5, nm4.input_c = 2, nm4.input_h = 3, nm4.input_w = 4;
  add("8-bit batch normalisation scale at 2^40", 96, &nm4, sizeof nm4);
  zv_api_bias_fix8b_forward_t nm5 = {};
  nm5.input_global_addr = kEnd - 64, nm5.input_n = 5, nm5.input_c = 2, nm5.input_h = 3, nm5.input_w = 4;
  nm5.bias_global_addr = kA, nm5.output_global_addr = kB;
  add("8-bit bias add input of two groups past the end", 164, &nm5, sizeof nm5);
  const zv_api_normalize_forward_t nm6 = {kA, kB, kEnd - 4, 0, 0, 1, 2, 3, 4, 1e-6f, 1.0f, 0};
  add("normalize per-channel scale past the end", 48, &nm6, sizeof nm6);
  const zv_api_normalize_fix8b_forward_t nm7 = {kA, 0x10000000, 0, 0, 1, 5, 2, 3, 4, 1e-6f, 1.0f, 0, 1, 1};
  add("8-bit normalize output in L2 SRAM", 141, &nm7, sizeof nm7);
  const zv_api_scale_forward_t nm8 = {kA, kA, kEnd - 8, kB, 2, 3, 4, 5, 1, 1, 1, 0};
  add("scale bias of three channels past the end", 24, &nm8, sizeof nm8);
  const zv_api_eltwise_fix8b_forward_t nm9 = {kA, kEnd - 32, kB, 5, 2, 3, 4, 0, 1, 1, 1, 1, 0, 0, 0};
  add("8-bit weighted sum B past the end", 84, &nm9, sizeof nm9);
  const zv_api_perchannel_shift_forward_parallel_fix8b_t nm10 = {kA, kB, kEnd - 4, 5, 2, 3, 4, 0, 0, 1, 1};
  add("per-channel shift amounts past the end", 985, &nm10, sizeof nm10);
  const zv_api_nodechip_float2int8_t nm11 = {kA, kEnd - 16, 5, 2, 3, 4, 1};
  add("float to int8 output past the end", 9, &nm11, sizeof nm11);
  const zv_api_global_int2float_t nm12 = {1ull << 40, kB, 5, 2, 3, 4, 1};
  add("int8 to float input at 2^40", 90, &nm12, sizeof nm12);
  zv_api_nodechip_md_scalar_t md1 = {};
  md1.A_addr = kA, md1.B_addr = kEnd - 4, md1.R_addr = kB, md1.input_n = 1, md1.input_c = 2, md1.input_h = 3,
  md1.input_w = 4, md1.op = 2;
  add("md_scalar B past the end", 3, &md1, sizeof md1);
  zv_api_nodechip_1d_scalar_t md2 = {};
  md2.A_addr = kA, md2.B_addr = kA, md2.R_addr = kEnd - 4, md2.length = 2;
  add("flat scalar result past the end", 123, &md2, sizeof md2);
  const zv_api_md_sum_t md3 = {kA, 0x10000000, 1, 2, 3, 4, 0};
  add("md_sum output in L2 SRAM", 4, &md3, sizeof md3);
  zv_api_md_linear_t md4 = {};
  md4.A_addr = kA, md4.B_addr = kEnd - 4, md4.C_addr = kA, md4.Y_addr = kB, md4.input_n = 1, md4.input_c = 2,
  md4.input_h = 3, md4.input_w = 4;
  add("md_linear addend past the end", 5, &md4, sizeof md4);
  zv_api_nodechip_md_cmp_t md5 = {};
  md5.A = kA, md5.B = kA, md5.C = kA, md5.D = kA, md5.Y = kB, md5.R = 1ull << 40, md5.input_n = 1, md5.input_c = 2,
  md5.input_h = 3, md5.input_w = 4;
  add("md_cmp selection at 2^40", 6, &md5, sizeof md5);
  const zv_api_nodechip_md_sfu_t md6 = {0x02000000, kB, 1, 2, 3, 4, 0, 2, 0, 0, 0};
  add("md_sfu input in DTCM", 7, &md6, sizeof md6);
  const zv_api_nodechip_1d_sfu_t md7 = {kA, kEnd - 8, 4, 0, 2, 0, 0, 0};
  add("flat sfu output past the end", 124, &md7, sizeof md7);
  const zv_api_md_ops_t md8 = {kA, kEnd - 8, kB, 1, 2, 3, 4, 1, 2, 3, 4, 2, 0, 0, 0, 0};
  add("md_ops B past the end", 129, &md8, sizeof md8);
  const zv_api_f32_is_t x1 = {kA, kEnd - 2, 4, 2};
  add("class-test mask past the end", 139, &x1, sizeof x1);
  const zv_api_sum_x2n_t x2 = {kA, 0x02000000, 4, 1, 1.0f};
  add("sum of powers into DTCM", 128, &x2, sizeof x2);
  const zv_api_img_sum_t x3 = {kA, kEnd - 8, 0, 3, 2, 3, 4};
  add("batch sum output past the end", 8, &x3, sizeof x3);
  zv_api_multiregion_forward_parallel_t x4 = {};
  x4.input[0] = x4.output[0] = kA, x4.input[1] = kB, x4.output[1] = kEnd - 64, x4.heads = 2, x4.classes = 1;
  x4.coords = 0, x4.nums = 1, x4.activate[1] = 1;
  for (int i = 0; i < 2; i++) x4.n[i] = 1, x4.c[i] = 2, x4.h[i] = 3, x4.w[i] = 4;
  add("second region head's output past the end", 75, &x4, sizeof x4);
  net::RunMessage n1;
  n1.description_addr = kEnd - 8, n1.description_words = 16;
  v.push_back({"compiled description running past the end", 111, net::run_payload(n1)});
  net::RunMessage n2;
  n2.description_addr = kA, n2.description_words = 4, n2.return_shape = 1, n2.shape_addr = 1ull << 40;
  n2.outputs.push_back(net::IoOutput{kB, 0, 0});
  v.push_back({"output shapes to 2^40", 111, net::run_payload(n2)});
  net::ReplayMessage r2;
  r2.bd_buffer = kA, r2.gdma_buffer = kEnd - 128, r2.groups = {{0, 2}};
  v.push_back({"GDMA command buffer running past the end", 110, net::replay_payload(r2)});
  return v;
}

TEST(GlobalAddresses, OutsideDeviceMemoryAreRefusedBeforeAnythingIsIssued) {
  auto card = card_on(chip::Schedule::Deferred, 7, true);
  for (const OutOfRange &c : out_of_range_cases()) {
    SCOPED_TRACE(c.what);
    const size_t before = commands(*card);
    const size_t console = card->console().size();
    EXPECT_EQ(result_of(*card, c.id, c.payload), 1009u);
    EXPECT_EQ(commands(*card), before) << "commands were issued";
    const std::string text = card->console().substr(console);
    EXPECT_TRUE(text.find(": api_global_fits(") != std::string::npos ||
                text.find(": (rec.") != std::string::npos)
        << text;
  }
  EXPECT_EQ(card->state(), Card::State::Running);
  EXPECT_TRUE(no_findings(card->chip()));
}

TEST(GlobalAddresses, MessagesNameOnlyTheDeviceMemoryLeftToThem) {
  auto card = card_on(chip::Schedule::Eager, 0, false);
  struct Edge {
    uint64_t addr;
    uint32_t bytes;
    uint32_t result;
  } edges[] = {{FW_USER_MEM_START, 16, 0}, {kEnd - 16, 16, 0},   {kEnd - 16, 20, 1009},
               {kBase - 4, 16, 1009},        {kBase, 16, 1009},      // the firmware's code in device memory
               {FW_USER_MEM_START - 4, 16, 1009}};                   // its log ring
  for (const Edge &e : edges) {
    const zv_api_memset_t m = {e.addr, e.bytes, 4, 0xabcdef01u};
    EXPECT_EQ(result_of(*card, 1, payload_of(m)), e.result) << std::hex << e.addr << " " << std::dec << e.bytes;
  }
  EXPECT_EQ(card->read32(kEnd - 4), 0xabcdef01u);
}

TEST(GlobalAddresses, TheExtentHelpersComputeIn64Bits) {
  // Extreme factors and strides never wrap into a fitting extent.
  EXPECT_EQ(api_dense(4, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff).hi, API_EXTENT_CAP);
  EXPECT_FALSE(api_global_fits(kBase, api_dense(4, -1)));
  const i64 dims[2] = {0x7fffffff, 0x7fffffff}, strides[2] = {-0x80000000ll, 0x7fffffff};
  const api_extent_t e = api_strided(4, 2, dims, strides);
  EXPECT_EQ(e.lo, -API_EXTENT_CAP);
  EXPECT_FALSE(api_global_fits(kBase + 0x100000000ull, e));
  EXPECT_TRUE(api_global_fits(0xffffffffffffffffull, api_dense(4, 0)));
  EXPECT_FALSE(api_global_fits(0xffffffffffffffffull, api_dense(1, 1)));
  const i64 d3[3] = {2, 3, 4}, s3[3] = {-100, 10, 1};
  const api_extent_t f = api_strided(2, 3, d3, s3);
  EXPECT_EQ(f.lo, -200);
  EXPECT_EQ(f.hi, 2 * (20 + 3 + 1));
}

TEST(GlobalAddresses, ProductsAreCappedExactlyAtTheCap) {
  // Positive factors are capped exactly when the true product passes the cap,
  // however far past 64 bits it goes.
  const i64 cap = API_EXTENT_CAP;
  const struct {
    i64 a, b;
  } cases[] = {{1, 1},           {0x7fffffff, 0x7fffffff}, {cap - 1, 1},        {cap / 2, 2},
               {cap / 2 + 1, 2}, {1ll << 25, 1ll << 25},   {(1ll << 25) + 1, 1ll << 25},
               {cap / 3, 3},     {cap / 3 + 1, 3},         {cap - 1, cap - 1}, {1ll << 32, 1ll << 32},
               {3, cap / 3 + 1}, {cap - 1, 2}};
  for (const auto &c : cases) {
    const __int128 exact = (__int128)c.a * c.b;
    const i64 want = exact > cap ? cap : (i64)exact;
    EXPECT_EQ(api_mul(c.a, c.b), want) << c.a << " x " << c.b;
    EXPECT_EQ(api_mul(c.b, c.a), want) << c.b << " x " << c.a;
  }
  EXPECT_EQ(api_mul(cap, 1), cap);
  EXPECT_EQ(api_mul(0, cap), 0);
  EXPECT_EQ(api_mul(-3, 5), -15);
}

// ---- Extent arithmetic and impossible requests ----

TEST(ExtentArithmetic, ByteFillProductIsCheckedIn64Bits) {
  // 65536 x 65536 wrapped to 0 in 32 bits and passed the layer's own check.
  auto card = card_on(chip::Schedule::Eager, 0, false);
  const zv_api_memset_byte_t b = {kA, 1, 1, 0x10000, 0x10000, 0, 0, 0, 0, 1, {0, 0, 0}};
  EXPECT_EQ(result_of(*card, 177, payload_of(b)), 1009u);
  EXPECT_NE(card->console().find("input_n < (1 << 16) && input_w * input_h < (1 << 16)"), std::string::npos);
  EXPECT_EQ(commands(*card), 0u);
}

TEST(ExtentArithmetic, PermuteLayersRefuseNonPositiveExtents) {
  // h x w of -65536 x 65536 wrapped in the layer's plane arithmetic.
  const struct {
    const char *function;
    void (*layer)(u64, u64, int, int, int, int, cmd_id_node_t *);
  } layers[] = {{"nodechip_permute_by_gdma", nodechip_permute_by_gdma},
                {"nodechip_permute_fix8b_by_gdma", nodechip_permute_fix8b_by_gdma}};
  for (const auto &l : layers)
    expect_assert([&](cmd_id_node_t *node) { l.layer(kA, kB, 1, 1, -65536, 65536, node); }, "ASSERT_FS",
                  "firmware/layers/data/", l.function, "input_n >= 0 && input_c > 0 && input_h > 0 && input_w > 0");
}

TEST(ExtentArithmetic, UnfoldRefusesNegativeAndHugeExtentsBeforeMultiplying) {
  // Found by the fuzz test: the unfold layer multiplied the extents before
  // the width check could refuse them (signed overflow).
  auto card = card_on(chip::Schedule::Eager, 0, false);
  struct Case {
    const char *what;
    int32_t rank, shape[3], axis, size, step;
  };
  const Case cases[] = {
      {"negative extents before the axis", 3, {-1826449356, -1082130432, 4}, 2, 2, 1},
      {"a zero window", 2, {3, 4}, 1, 0, 1},
      {"more than 2^31 elements beside the axis", 3, {65535, 65535, 4}, 2, 2, 1},
  };
  for (const Case &c : cases) {
    zv_api_unfold_t u = {};
    u.input = kA, u.input_rank = c.rank, u.unfold_axis = c.axis, u.unfold_size = c.size, u.unfold_step = c.step;
    for (int i = 0; i < c.rank; i++) u.input_shape[i] = c.shape[i];
    u.buffer = kB, u.output = kB + 0x100000;
    EXPECT_EQ(result_of(*card, 203, payload_of(u)), 1009u) << c.what;
  }
  EXPECT_EQ(commands(*card), 0u);
  EXPECT_EQ(card->state(), Card::State::Running);
}

TEST(ExtentArithmetic, InterpolationPlaneCountIsCappedNotWrapped) {
  // Found by the fuzz test: n x c of two u32 fields overflowed 64 bits.
  auto card = deferred_card(Backend::Native, 1);
  const zv_api_interp_forward_parallel_t r = {kA, kB, 0xc94e3a6au, 0xcdeea0c4u, 4, 4, 0, 0, 8, 8, 4};
  EXPECT_EQ(result_of(*card, 163, payload_of(r)), 1009u);
  EXPECT_EQ(commands(*card), 0u);
}

TEST(ImpossibleRequests, NegativeBatchOfAPermuteFails) {
  auto card = card_on(chip::Schedule::Eager, 0, false);
  for (uint32_t id : {46u, 142u})
    for (int32_t n : {-1, -4, INT32_MIN}) {
      const zv_api_permute_param_t p = {kA, kB, n, 2, 3, 4};
      EXPECT_EQ(result_of(*card, id, payload_of(p)), 1009u) << id << " n " << n;
    }
  EXPECT_NE(card->console().find(": (rec.input_n) > 0\n"), std::string::npos);
  EXPECT_EQ(commands(*card), 0u);
}

// ---- The profile reader ----

TEST(ProfileReader, AFailedCopyKeepsProfilingAndItsRecords) {
  auto card = card_on(chip::Schedule::Eager, 0, false);
  ASSERT_EQ(result_of(*card, 986, payload_of(zv_api_set_profile_t{1})), 0u);
  const zv_api_memset_t word = {kA, 64, 4, 7};
  ASSERT_EQ(result_of(*card, 1, payload_of(word)), 0u);
  // Each repeat used to leave profiling paused with its blocks unreachable.
  for (int i = 0; i < 40; i++) {
    const zv_api_get_profile_data_t bad = {kA, 1ull << 40, 4096, 0, 0};
    ASSERT_EQ(result_of(*card, 987, payload_of(bad)), 1009u) << i;
  }
  ASSERT_EQ(result_of(*card, 1, payload_of(word)), 0u);
  const zv_api_get_profile_data_t good = {kA, kB, 4096, 0, 0};
  ASSERT_EQ(result_of(*card, 987, payload_of(good)), 0u);
  const uint32_t copied = card->read32(kB), total = card->read32(kB + 4);
  // The start record, the fill before and the fill after (command and wait
  // records each).
  EXPECT_EQ(copied, total);
  EXPECT_GE(total, 5u * 32u);
  EXPECT_EQ(card->console().find("no enough memory"), std::string::npos);
}

// ---- The host driver ----

TEST(HostDriver, RefusesAMessageTheRingCannotPlace) {
  auto card = card_on(chip::Schedule::Eager, 0, false);
  for (uint32_t len : {2041u, 4089u}) {
    EXPECT_FALSE(card->post(999, {}, 1, len)) << len;
    EXPECT_NE(card->trouble().find("cannot be placed"), std::string::npos);
    EXPECT_FALSE(card->send(999, {}, 1, len));
    EXPECT_EQ(card->state(), Card::State::Running);
  }
  // Lengths beside it still reach the card (and are too large: 1006).
  for (uint32_t len : {2040u, 2042u}) {
    auto a = card->send(999, {}, 1, len);
    ASSERT_TRUE(AnswerOk(*card, a, 1006u));
  }
  const zv_api_memset_t word = {kA, 64, 4, 7};
  EXPECT_EQ(result_of(*card, 1, payload_of(word)), 0u);
}

}  // namespace
}  // namespace zv::test
