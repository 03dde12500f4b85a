#!/bin/sh
# Configures and builds one of the project's builds.
# usage: build.sh host|asan|arm
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-host}
case "$kind" in
  host) set -- ;;
  asan) set -- -DZV_SANITIZE=ON ;;
  arm)  set -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-none-eabi.cmake" ;;
  *) echo "usage: build.sh host|asan|arm" >&2; exit 2 ;;
esac
# ZV_ARM_BUILD (a build folder, such as build/arm) makes the host and sanitizer
# builds reuse that ARM build instead of building the image again in their own.
if [ -n "${ZV_ARM_BUILD:-}" ] && [ "$kind" != arm ]; then
  set -- "$@" -DZV_ARM_BUILD_DIR="$ZV_ARM_BUILD"
fi
# ZV_LAUNCHER (for example ccache) wraps every compiler call when set. Leave
# CCACHE_BASEDIR unset: relative source paths would change the file names
# that assertion messages print, which the suites check.
if [ -n "${ZV_LAUNCHER:-}" ]; then
  set -- "$@" -DCMAKE_C_COMPILER_LAUNCHER="$ZV_LAUNCHER" -DCMAKE_CXX_COMPILER_LAUNCHER="$ZV_LAUNCHER"
fi
cmake -S "$root" -B "$root/build/$kind" -G Ninja "$@" >/dev/null
cmake --build "$root/build/$kind"
