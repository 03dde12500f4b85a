// zvcard as its users run it: a script in, the card's answers out.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "zvcard_run.h"

namespace zv::test {
namespace {

ZvcardRun zvcard(const std::string &args, const std::string &script) { return run_zvcard(args, script.c_str()); }

TEST(Zvcard, ScriptWritesSendsAndReads) {
  ZvcardRun r = zvcard("--fuse 5,0",
                 "write 0x101000010 deadbeef 01\n"
                 "write32 0x10000000 0x12345678  # L2 SRAM\n"
                 "writef 0x101000020 1.5 -2\n"
                 "send 999 tag=0x101000000 1 2\n"
                 "read 0x101000010 5\n"
                 "read32 0x10000000 1\n"
                 "readf 0x101000020 2\n"
                 "quit\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "uart: The firmware is running\n")) << r.out;
  EXPECT_TRUE(has(r.out, "uart: v1 = 5,v2 = 0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "result 999 1008 ")) << r.out;
  EXPECT_TRUE(has(r.out, "bytes 0x101000010 de ad be ef 01\n")) << r.out;
  EXPECT_TRUE(has(r.out, "words 0x10000000 0x12345678\n")) << r.out;
  EXPECT_TRUE(has(r.out, "floats 0x101000020 1.5 -2\n")) << r.out;
  EXPECT_TRUE(has(r.out, "uart: zv200x exit firmware main\n")) << r.out;
  EXPECT_TRUE(has(r.out, "result 4294967295 0 ")) << r.out;
}

TEST(Zvcard, EmulatedImageAnswersLikeTheNativeFirmware) {
  const std::string script = "send 999 1 2\nsend 150\nwrite32 0x101000000 7\nread32 0x101000000 1\nquit\n";
  ZvcardRun native = zvcard("", script);
  ZvcardRun emulated = zvcard(std::string("--elf ") + ZV_ARM_ELF, script);
  EXPECT_EQ(native.status, 0);
  EXPECT_EQ(emulated.status, 0) << emulated.out;
  // The emulator adds the instruction count of each message.
  std::string stripped;
  for (size_t at = 0; at < emulated.out.size();) {
    size_t mark = emulated.out.find(" insns=", at);
    if (mark == std::string::npos) {
      stripped += emulated.out.substr(at);
      break;
    }
    stripped += emulated.out.substr(at, mark - at);
    at = emulated.out.find('\n', mark);
  }
  EXPECT_EQ(stripped, native.out);
  EXPECT_TRUE(has(emulated.out, "result 999 1008 ")) << emulated.out;
  EXPECT_TRUE(has(emulated.out, " insns=")) << emulated.out;
}

// The result lines of a run, without the emulator's instruction counts.
std::string results_of(const std::string &out) {
  std::string lines;
  for (size_t at = 0; at < out.size();) {
    size_t nl = out.find('\n', at);
    std::string line = out.substr(at, nl - at);
    at = nl == std::string::npos ? out.size() : nl + 1;
    if (line.rfind("result ", 0) != 0) continue;
    size_t mark = line.find(" insns=");
    if (mark != std::string::npos) line.erase(mark, line.find(' ', mark + 1) - mark);
    lines += line + "\n";
  }
  return lines;
}

TEST(Zvcard, ModelledFiguresAreTheSameNativeEmulatedAndUnderEverySchedule) {
  // A fill and a copy (GDMA), a 32 x 32 x 32 GEMM (both engines), an unknown id.
  const std::string script =
      "send 1 0x1000000 0x1 4096 4 0x3f800000\n"
      "send 2 0x1000000 0x1 0x1010000 0x1 32 128 128 128\n"
      "send 105 0 32 32 32 0x3f800000 0 0x1000000 0x1 32 0 0x1010000 0x1 32 0 0x1020000 0x1 32 0\n"
      "send 999\n"
      "quit\n";
  const ZvcardRun native = zvcard("--timing --check-races", script);
  ASSERT_EQ(native.status, 0) << native.out;
  const std::string expected = results_of(native.out);
  for (const char *args : {"--timing --schedule deferred --seed 1 --check-races",
                           "--timing --schedule deferred --seed 7 --check-races"}) {
    SCOPED_TRACE(args);
    const ZvcardRun r = zvcard(args, script);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(results_of(r.out), expected);
  }
  const ZvcardRun emulated = zvcard(std::string("--timing --elf ") + ZV_ARM_ELF, script);
  EXPECT_EQ(emulated.status, 0) << emulated.out;
  EXPECT_EQ(results_of(emulated.out), expected);

  // "result 105 0 US modelled_us=T te_busy=F gdma_busy=F te_ideal=F"
  const size_t gemm = expected.find("result 105 0 ");
  ASSERT_NE(gemm, std::string::npos) << expected;
  double us = 0, te = 0, gdma = 0, ideal = 0;
  ASSERT_EQ(std::sscanf(expected.c_str() + expected.find("modelled_us=", gemm),
                        "modelled_us=%lf te_busy=%lf gdma_busy=%lf te_ideal=%lf", &us, &te, &gdma, &ideal),
            4)
      << expected;
  EXPECT_GT(us, 0);
  EXPECT_GT(te, 0);
  EXPECT_GT(gdma, 0);
  EXPECT_GT(ideal, 0);
  EXPECT_LT(ideal, te) << "the products at the peak rate take less than the engine's busy time";
  EXPECT_LE(te + gdma, 2.0);
  EXPECT_TRUE(has(expected, "result 999 1008 ")) << expected;
}

TEST(Zvcard, TraceNamesRegistersAndDecodesCommandsAlikeUnderEverySchedule) {
  const std::string script =
      "send 1 0x1000000 0x1 4096 4 0x3f800000\n"
      "send 105 0 32 32 32 0x3f800000 0 0x1000000 0x1 32 0 0x1010000 0x1 32 0 0x1020000 0x1 32 0\n";
  const std::string dir = ::testing::TempDir();
  std::string traces[2];
  const char *seeds[2] = {"1", "9"};
  for (int i = 0; i < 2; i++) {
    const std::string path = dir + "/zvcard_trace_" + seeds[i] + ".txt";
    const ZvcardRun r = zvcard("--schedule deferred --check-races --seed " + std::string(seeds[i]) + " --trace " + path, script);
    ASSERT_EQ(r.status, 0) << r.out;
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    traces[i] = ss.str();
  }
  EXPECT_EQ(traces[0], traces[1]) << "two seeds, one trace";
  const std::string &t = traces[0];
  EXPECT_TRUE(has(t, "write firmware ready marker 0x76125438\n")) << "boot writes are traced too";
  EXPECT_TRUE(has(t, "> send 1 0x1000000 0x1 4096 4 0x3f800000\n"));
  EXPECT_TRUE(has(t, "issue GDMA command #1 (id 1, waits for tensor engine id 0, kind 4 fill): ")) << t;
  EXPECT_TRUE(has(t, " mode=4 ")) << t;
  EXPECT_TRUE(has(t, " fill_value=0x3f800000 ")) << t;
  EXPECT_TRUE(has(t, "kind 2 fully connected): own_id=1 wait_gdma_id=2 task=2 ")) << t;
  EXPECT_TRUE(has(t, " out_c=0x20 ")) << t;
  EXPECT_TRUE(has(t, "write API read pointer ")) << t;
  EXPECT_TRUE(has(t, "write GDMA word 16 0x1010000\n")) << t;
  EXPECT_TRUE(has(t, "restart GDMA ids\n")) << t;
  EXPECT_FALSE(has(t, " w0=")) << "fields, not raw words";
  EXPECT_FALSE(has(t, "\nread ")) << "reads depend on the schedule";
  EXPECT_FALSE(has(t, "\nrun ")) << "so does the order in which commands run";
  // A fill's value is shown for fills only, though the window keeps it.
  const size_t move = t.find("kind 0 move): ");
  ASSERT_NE(move, std::string::npos);
  EXPECT_EQ(t.substr(move, t.find('\n', move) - move).find("fill_value"), std::string::npos);
}

TEST(Zvcard, ExitStatuses) {
  struct Case {
    const char *what, *args, *script;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {"unknown command", "", "send 999\nfrobnicate 1\n", 2,
       "line 2: unknown command 'frobnicate' (known: write, write32, writef, send, quit, read, read32, readf)"},
      {"command without its arguments", "", "read32 0x101000000\n", 2,
       "line 1: 'read32' needs more arguments: read32 ADDR WORDS"},
      {"bad number", "", "read32 0xzz 1\n", 2, "line 1: bad number"},
      {"address outside every memory", "", "read32 0x30000000 1\n", 2, "line 1: "},
      {"messages after quit hang the card", "", "quit\nsend 999\n", 3, "the card hung"},
      {"engine schedule options", "--schedule deferred --seed 3 --check-races", "send 999\n", 0, "result 999 1008 "},
      {"unknown schedule", "--schedule lazy", "", 2, "--schedule takes eager or deferred"},
      {"image that cannot be read", "--elf /nonexistent.elf", "", 2, "/nonexistent.elf: cannot read"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZvcardRun r = zvcard(c.args, c.script);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(has(r.out, c.message)) << r.out;
  }
}

TEST(Zvcard, HelpListsTheOptionsAndEveryScriptCommand) {
  for (const char *flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    ZvcardRun r = run_zvcard(flag, nullptr);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "usage: zvcard [--elf FILE]")) << r.out;
    EXPECT_TRUE(has(r.out, "  --check-races ")) << r.out;
    // Each command with its arguments, as the script errors name them.
    for (const char *usage : {"write ADDR HEXBYTES...", "write32 ADDR WORD...", "writef ADDR FLOAT...",
                              "send API_ID [WORD...] [tag=N] [len=N]", "quit", "read ADDR BYTES",
                              "read32 ADDR WORDS", "readf ADDR FLOATS"})
      EXPECT_TRUE(has(r.out, std::string("\n  ") + usage + " ")) << usage << "\n" << r.out;
    EXPECT_TRUE(has(r.out, "exit status: 0 the script ran")) << r.out;
    EXPECT_FALSE(has(r.out, "uart: ")) << "no card boots, no script runs";
  }
}

}  // namespace
}  // namespace zv::test
