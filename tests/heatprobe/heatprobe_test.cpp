// The power-test kernel through its API id: nothing for a batch of 0, else
// exactly 60 convolution commands with ids 1 to 60, all finished when the
// message is answered, each the 8-bit generator's own descriptor; the width
// limit and zero divisors fail; and the same on the ARM image in the emulator.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "runtime/firmware_main.h"
#include "fw_test.h"
#include "heatprobe/heatprobe.h"
#include "runtime/profile.h"
#include "cmd/bd_conv.h"

namespace zv::test {
namespace {

using host::Card;

// 4 x 8 x 8 x 8 input, 8 output channels, 3 x 3 kernel, pad 1, bias, ReLU,
// shift 2, signed operands, the input strides given.
std::vector<u32> payload() {
  std::vector<u32> w(HEATPROBE_WORDS, 0);
  for (u32 i = 0; i < 8; i++) w[i] = 0xdead0000 + i;  // passed through, not read
  w[HP_N] = 4, w[HP_C] = 8, w[HP_H] = 8, w[HP_W] = 8, w[HP_GROUPS] = 1, w[HP_OC] = 8;
  w[HP_KH] = 3, w[HP_KW] = 3, w[HP_DH] = 1, w[HP_DW] = 1, w[HP_PAD_H] = 1, w[HP_PAD_W] = 1;
  w[HP_STRIDE_H] = 1, w[HP_STRIDE_W] = 1, w[HP_USING_BIAS] = 1, w[24] = 0x12345678;
  w[HP_OUT_MODE] = 1, w[HP_RSHIFT] = 2, w[34] = 1, w[35] = 1, w[36] = 1, w[37] = 3;
  return w;
}

// Sends the kernel's message and checks the 60 commands it leaves.
void runs_sixty_commands(Card &card) {
  auto a = card.send(ZVKERNEL_API_ID, payload());
  ASSERT_TRUE(AnswerOk(card, a));
  const auto &cmds = card.chip().engines.bd.commands();
  ASSERT_EQ(cmds.size(), size_t(HEATPROBE_REPEAT));
  for (size_t i = 0; i < cmds.size(); i++) {
    EXPECT_EQ(cmds[i].kind, 0u) << "a convolution";
    EXPECT_EQ(cmds[i].own_id, i + 1);
    EXPECT_TRUE(cmds[i].finished) << "the kernel waited for command " << i + 1;
    for (size_t w = 1; w < 32; w++)
      EXPECT_EQ(cmds[i].descriptor.word(w), cmds[0].descriptor.word(w)) << "the same command, word " << w;
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  EXPECT_EQ(card.chip().engines.scheduler.bd.restarts, 1u);
  EXPECT_TRUE(no_findings(card.chip()));
}

TEST(Heatprobe, BatchOfZeroDoesNothing) {
  auto card = deferred_card(Backend::Native, 1);
  std::vector<u32> w = payload();
  w[HP_N] = 0;
  auto a = card->send(ZVKERNEL_API_ID, w);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->result, 0u);
  EXPECT_TRUE(card->chip().engines.bd.commands().empty());
  EXPECT_EQ(card->chip().engines.scheduler.bd.restarts, 0u) << "no id restart either";
}

TEST(Heatprobe, SixtyConvolutionsWithIdsOneToSixtyAndOneWait) {
  for (u64 seed : {1, 2, 3}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto card = deferred_card(Backend::Native, seed);
    runs_sixty_commands(*card);
  }
}

// The kernel's copy of the generator writes the firmware generator's words.
TEST(Heatprobe, CommandIsTheEightBitGeneratorsDescriptor) {
  std::vector<chip::Descriptor> own, shared;
  for (int which = 0; which < 2; which++) {
    FirmwareRig rig;
    const FwOutcome o = rig.run([&] {
      cmd_id_node_t node = {0, 0, 0};
      if (which == 0) {
        const std::vector<u32> w = payload();
        zvkernel_conv_fix8b_only(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12],
                                 w[13], w[14], w[15], w[16], w[17], w[18], w[19], w[20], w[21], w[22], w[23], w[25],
                                 w[26], w[27], w[28], w[29], w[30], w[31], w[32], w[33], w[34], w[35], w[36], w[37],
                                 &node);
      } else {
        // Input strides {align32(64), 64, 8, 1}; weight strides of layout 0
        // {c kh kw, kh kw, kw, 1} passed as c, n, h, w.
        atomic_conv_neuron_kernel_stride_fix8b_gen_cmd(
            HEATPROBE_INPUT, HEATPROBE_OUTPUT, HEATPROBE_WEIGHT, HEATPROBE_BIAS, 4, 8, 8, 8, 64, 64, 8, 1, 0, 0, 8, 8,
            8, 0, 0, 3, 3, 0, 0, 9, 72, 3, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 2, 1, 1, 1, 3, 3, &node);
      }
    });
    ASSERT_FALSE(o.asserted) << o.uart;
    for (const auto &r : rig.chip().engines.bd.commands()) (which == 0 ? own : shared).push_back(r.descriptor);
  }
  ASSERT_EQ(own.size(), size_t(HEATPROBE_REPEAT));
  ASSERT_EQ(shared.size(), 1u);
  for (size_t i = 3; i < 32; i++) EXPECT_EQ(own[0].word(i), shared[0].word(i)) << "word " << i;
  EXPECT_EQ(own[59].field(3, 16), 60u);
}

// The profile of one call: 60 issues back to back, then a single wait.
TEST(Heatprobe, IssuesBackToBackThenWaitsOnce) {
  FirmwareRig rig;
  std::vector<s32> types;
  const FwOutcome o = rig.run([&] {
    set_profile_time_enabled(1);
    const std::vector<u32> w = payload();
    zvkernel_func(reinterpret_cast<const char *>(w.data()));
    std::vector<profile_time_data_t> records(get_profile_time_data_len() / sizeof(profile_time_data_t));
    get_profile_time_data(records.data(), u32(records.size() * sizeof(profile_time_data_t)), 0);
    for (const auto &r : records) types.push_back(r.type);
    set_profile_time_enabled(0);
  });
  ASSERT_FALSE(o.asserted) << o.uart;
  std::vector<s32> want = {PROFILE_TYPE_START};
  want.insert(want.end(), HEATPROBE_REPEAT, PROFILE_TYPE_SET_NODE);
  want.push_back(PROFILE_TYPE_WAIT_NODE);
  EXPECT_EQ(types, want);
}

TEST(Heatprobe, ParametersTheEngineDoesNotTakeFail) {
  struct Case {
    const char *what;
    int word;
    u32 value;
    const char *function, *condition;
  } cases[] = {
      {"input width 4096", HP_W, 4096, "zvkernel_atomic_conv_neuron_kernel_stride_fix8b_gen_cmd",
       "input_w < 4096 && output_w < 4096"},
      {"no groups", HP_GROUPS, 0, "zvkernel_conv_fix8b_only", "groups > 0"},
      {"stride 0", HP_STRIDE_W, 0, "zvkernel_conv_fix8b_only", "stride_h > 0 && stride_w > 0"},
      // The engine reads its input aligned (0) or by the strides given (3) only.
      {"input stride mode 1", 37, 1, "zvkernel_conv_fix8b_only", "input_mode == 0 || input_mode == 3"},
      {"input stride mode 2", 37, 2, "zvkernel_conv_fix8b_only", "input_mode == 0 || input_mode == 3"},
      // Extents computed in 64 bits: 2^31 rows overflow 32-bit arithmetic.
      {"input height 2^31", HP_H, 0x80000000u, "zvkernel_conv_fix8b_only",
       "oh64 / stride_h < BD_MAX_H && ow64 / stride_w < BD_MAX_W"},
      {"a kernel taller than the padded input", HP_KH, 20, "zvkernel_conv_fix8b_only", "oh64 >= 0 && ow64 >= 0"},
      // 16384 batch groups of the input run past the end of its lanes.
      {"a batch of 65535", HP_N, 65535, "zvkernel_conv_fix8b_only",
       "input_bytes <= lane_room(HEATPROBE_INPUT) && output_bytes <= lane_room(HEATPROBE_OUTPUT) && "
       "weight_bytes <= lane_room(HEATPROBE_WEIGHT)"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    auto card = deferred_card(Backend::Native, 4);
    std::vector<u32> w = payload();
    w[k.word] = k.value;
    if (k.word == HP_W) w[HP_H] = 1;
    auto a = card->send(ZVKERNEL_API_ID, w);
    ASSERT_TRUE(AnswerOk(*card, a, 1009u));
    const std::string text = card->console();
    EXPECT_NE(text.find("ASSERT_FS firmware/heatprobe/heatprobe.cpp: " + std::string(k.function) + ": "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(": " + std::string(k.condition) + "\nASSERT info: none.\n"), std::string::npos) << text;
    EXPECT_TRUE(card->chip().engines.bd.commands().empty());
  }
}

TEST(Heatprobe, RunsOnTheArmImage) {
  auto card = deferred_card(Backend::Emulated, 5);
  runs_sixty_commands(*card);
}

}  // namespace
}  // namespace zv::test
