#!/usr/bin/env bash
# Builds the soak and runs it: ten ports of round trips and streams, open and
# close cycles, hang-ups, reopens under load and random frames against the
# reference decoder, against the device simulator. Prints the report; fails
# on any loss or growth. Takes under a minute on two cores.
# Usage: scripts/soak.sh [--short]   (--short: the run the test suite makes)
# KTCOMM_SOAK_BUILD names the build folder (default build-soak).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

scale=""
case "${1:-}" in
  "") ;;
  --short) scale="--short" ;;
  *) echo "usage: $0 [--short]" >&2; exit 2 ;;
esac
dir=${KTCOMM_SOAK_BUILD:-build-soak}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Quiet unless the build warns or fails.
if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTCOMM_TOOLS=ON \
         -DKTCOMM_TESTS=ON &&
       cmake --build "$dir" -j2 --target ktcomm_soak; } >"$log" 2>&1; then
  cat "$log"
  echo "soak: the build failed" >&2
  exit 1
fi
grep -E "warning" "$log" || true
"$dir"/tests/ktcomm_soak $scale
