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
cmake -S "$root" -B "$root/build/$kind" -G Ninja "$@" >/dev/null
cmake --build "$root/build/$kind"
