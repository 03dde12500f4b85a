// Reset of the firmware image's globals. The host build links the firmware as
// one object whose initialised and zero-initialised data were moved into the
// sections zvfw_data and zvfw_bss; the linker marks their bounds.
#include <cstdlib>
#include <cstring>

#include "core.h"

extern "C" {
extern char __start_zvfw_data[] __attribute__((weak));
extern char __stop_zvfw_data[] __attribute__((weak));
extern char __start_zvfw_bss[] __attribute__((weak));
extern char __stop_zvfw_bss[] __attribute__((weak));
}

namespace zv::host {

namespace {
// The sections hold the sanitizer's poisoned red zones between globals, so
// they are copied byte by byte without instrumentation.
__attribute__((no_sanitize("address"), noinline)) void raw_copy(volatile char *dst,
                                                                 const volatile char *src,
                                                                 std::size_t n) {
  for (std::size_t i = 0; i < n; i++) dst[i] = src[i];
}

__attribute__((no_sanitize("address"), noinline)) void raw_zero(volatile char *dst, std::size_t n) {
  for (std::size_t i = 0; i < n; i++) dst[i] = 0;
}
}  // namespace

void reset_firmware_globals() {
  static char *initial_data = nullptr;
  std::size_t data_size = static_cast<std::size_t>(__stop_zvfw_data - __start_zvfw_data);
  if (initial_data == nullptr && data_size > 0) {
    initial_data = static_cast<char *>(std::malloc(data_size));
    raw_copy(initial_data, __start_zvfw_data, data_size);
  }
  if (data_size > 0) raw_copy(__start_zvfw_data, initial_data, data_size);
  raw_zero(__start_zvfw_bss, static_cast<std::size_t>(__stop_zvfw_bss - __start_zvfw_bss));
}

}  // namespace zv::host
