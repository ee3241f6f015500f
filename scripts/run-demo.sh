#!/usr/bin/env bash
# Builds the library and the demo into build/ and runs the demo against the
# simulated device. Extra arguments go to cmake's configure step.
# Usage: scripts/run-demo.sh [-DCMAKE_BUILD_TYPE=Debug ...]
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo needs a compiler, CMake, CLI11 and libedit (the tools are
# configured with it) only; the tests are not built.
scripts/ensure-deps.sh --only cmake make g++ libcli11-dev libedit-dev

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Quiet unless something fails; then the whole output tells why.
if ! { cmake -S . -B build -DKTCOMM_TOOLS=ON -DKTCOMM_TESTS=OFF "$@" &&
       cmake --build build -j2 --target ktcomm-demo; } >"$log" 2>&1; then
  cat "$log"
  echo "run-demo: the build failed" >&2
  exit 1
fi
build/tools/ktcomm-demo
