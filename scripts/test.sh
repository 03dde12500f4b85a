#!/bin/sh
# Installs what is missing, builds the ARM image and the host suite (plain and
# under AddressSanitizer and UndefinedBehaviorSanitizer), and runs every test.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
jobs=$(nproc)
# Each phase ends with its wall time and the CPU time of everything run so far
# (user, then system: the shell's and its children's), for the CI figures in
# bench/README.md.
started=$(date +%s)
phase_done() {
  echo "== $1 done: $(($(date +%s) - started)) s wall so far; CPU so far (shell, children):"
  times
}
# The host and sanitizer builds run the emulator's tests on this one ARM build
# rather than building the image again inside each of them.
ZV_ARM_BUILD="$root/build/arm"
export ZV_ARM_BUILD

echo "== ARM target build"
"$root/scripts/build.sh" arm
phase_done "ARM build"
ctest --test-dir "$root/build/arm" --output-on-failure

echo "== host build"
"$root/scripts/build.sh" host
phase_done "host build"
ctest --test-dir "$root/build/host" --output-on-failure -j "$jobs" --timeout 600
phase_done "host tests"

echo "== host build under sanitizers"
"$root/scripts/build.sh" asan
phase_done "sanitizer build"
# The sanitizers look for memory and undefined-behaviour faults, which do not
# hang on the order in which deferred commands complete: the cases run once per
# schedule kind (eager and deferred seed 1); the plain run above covers seeds 2
# and 3.
ZV_SCHEDULES=2 ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs" --timeout 900 -E '/Deferred[23]'
phase_done "sanitizer tests"
echo "all tests passed"
