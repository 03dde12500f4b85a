// zvcard as its users run it: a script in, the card's answers out.
#include <gtest/gtest.h>

#include <string>

#include "zvcard_run.h"

namespace zv::test {
namespace {

ZvcardRun zvcard(const std::string &args, const std::string &script) { return run_zvcard(args, script.c_str()); }

TEST(Zvcard, ScriptWritesSendsAndReads) {
  ZvcardRun r = zvcard("--fuse 5,0",
                 "write 0x100000010 deadbeef 01\n"
                 "write32 0x10000000 0x12345678  # L2 SRAM\n"
                 "writef 0x100000020 1.5 -2\n"
                 "send 999 tag=0x100000000 1 2\n"
                 "read 0x100000010 5\n"
                 "read32 0x10000000 1\n"
                 "readf 0x100000020 2\n"
                 "quit\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "uart: The firmware is running\n")) << r.out;
  EXPECT_TRUE(has(r.out, "uart: v1 = 5,v2 = 0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "result 999 1008 ")) << r.out;
  EXPECT_TRUE(has(r.out, "bytes 0x100000010 de ad be ef 01\n")) << r.out;
  EXPECT_TRUE(has(r.out, "words 0x10000000 0x12345678\n")) << r.out;
  EXPECT_TRUE(has(r.out, "floats 0x100000020 1.5 -2\n")) << r.out;
  EXPECT_TRUE(has(r.out, "uart: zv200x exit firmware main\n")) << r.out;
  EXPECT_TRUE(has(r.out, "result 4294967295 0 ")) << r.out;
}

TEST(Zvcard, EmulatedImageAnswersLikeTheNativeFirmware) {
  const std::string script = "send 999 1 2\nsend 150\nwrite32 0x100000000 7\nread32 0x100000000 1\nquit\n";
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

TEST(Zvcard, ExitStatuses) {
  struct Case {
    const char *what, *args, *script;
    int status;
    const char *message;
  };
  const Case cases[] = {
      {"unknown command", "", "send 999\nfrobnicate 1\n", 2, "line 2: unknown command 'frobnicate'"},
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

}  // namespace
}  // namespace zv::test
