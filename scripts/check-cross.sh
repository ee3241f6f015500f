#!/usr/bin/env bash
# Compiles and links the library for 64-bit ARM with Debian's cross compiler:
# nothing in it, or in the header, may assume an x86 machine. Runs nothing.
# Usage: scripts/check-cross.sh [build-dir]   (default build-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh --only g++-aarch64-linux-gnu
dir=${1:-build-aarch64}
. scripts/common.sh
quiet_build "check-cross: the aarch64 build failed" "$dir" -DCMAKE_SYSTEM_NAME=Linux \
  -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DKTCOMM_TESTS=OFF -DKTCOMM_TOOLS=OFF \
  -- -j"$(nproc)" --target ktcomm
echo "check-cross: libktcomm builds for aarch64: ok"
