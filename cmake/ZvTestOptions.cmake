# Build settings of the test suites' own executables.
#
# The suites' code (drivers, case tables, plain references) is compiled at -Og
# with line tables only, while backtraces keep file and line. -Og takes about
# a sixth off -O1's compile time plainly and half under the sanitizers (a
# suite of the global controllers: 15.1 s at -O1, 8.5 s at -Og with
# AddressSanitizer and UndefinedBehaviorSanitizer), and the suites' own code
# is a few percent of their run time. The firmware, the model and the tools
# under test keep the build type's flags. Set ZV_TEST_COMPILE_OPTIONS empty to
# compile the suites like everything else.
set(ZV_TEST_COMPILE_OPTIONS -Og -g1 CACHE STRING "Compile options added to the test suites' own sources")

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
