#include "zvcard_run.h"

#include <sys/wait.h>

#include <cstdio>

namespace zv::test {

ZvcardRun run_zvcard(const std::string &args, const char *script) {
  std::string cmd = std::string(ZVCARD_PATH) + " " + args;
  if (script)
    cmd += std::string(" - 2>&1 <<'EOF'\n") + script + "EOF\n";
  else
    cmd += " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace zv::test
