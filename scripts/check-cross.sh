#!/usr/bin/env bash
# Compiles and links the library for 64-bit ARM with Debian's cross compiler:
# nothing in it, or in the header, may assume an x86 machine. Runs nothing.
# Usage: scripts/check-cross.sh [build-dir]   (default build-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh --only g++-aarch64-linux-gnu
dir=${1:-build-aarch64}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$dir" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
         -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
         -DKTCOMM_TESTS=OFF -DKTCOMM_TOOLS=OFF &&
       cmake --build "$dir" -j"$(nproc)" --target ktcomm; } >"$log" 2>&1; then
  cat "$log"
  echo "check-cross: the aarch64 build failed" >&2
  exit 1
fi
grep -E "warning:" "$log" || true
echo "check-cross: libktcomm builds for aarch64: ok"
