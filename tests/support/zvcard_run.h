// Running the zvcard program as its users do, for tests of its behaviour.
#pragma once

#include <string>

namespace zv::test {

struct ZvcardRun {
  int status;       // exit status, or -1 when it did not exit normally
  std::string out;  // standard output and standard error together
};

// Runs zvcard with `args`; `script` (null: none, so the built-in demo runs)
// comes on standard input.
ZvcardRun run_zvcard(const std::string &args, const char *script);

inline bool has(const std::string &text, const std::string &piece) {
  return text.find(piece) != std::string::npos;
}

}  // namespace zv::test
