#!/bin/sh
# Installs what the builds need from Debian's archive (only what is missing).
set -eu
packages="cmake ninja-build g++ binutils python3 \
  gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib \
  libgtest-dev libprotobuf-dev protobuf-compiler libgflags-dev libgoogle-glog-dev \
  libboost-dev libboost-system-dev zlib1g-dev libunicorn-dev python3-numpy dataset-fashion-mnist"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
