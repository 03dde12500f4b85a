# Build settings of the test suites' own executables.
#
# The suites' code (drivers, case tables, plain references) is compiled at -O1
# with line tables only: about half the compile time of -O2 -g, plainly and
# under the sanitizers, while backtraces keep file and line. The firmware, the
# model and the tools under test keep the build type's flags. Set
# ZV_TEST_COMPILE_OPTIONS empty to compile the suites like everything else.
set(ZV_TEST_COMPILE_OPTIONS -O1 -g1 CACHE STRING "Compile options added to the test suites' own sources")

# The suites link with gold where the toolchain has it: the same executables
# in about half the linker time of the default linker.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=gold ZV_HAVE_GOLD)

function(zv_test_options target)
  target_compile_options(${target} PRIVATE ${ZV_TEST_COMPILE_OPTIONS})
  if(ZV_HAVE_GOLD)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -fuse-ld=gold)
    endif()
  endif()
endfunction()
