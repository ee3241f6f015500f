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

. scripts/common.sh
scale=$(optional_flag --short "$@")
dir=${KTCOMM_SOAK_BUILD:-build-soak}

quiet_build "soak: the build failed" "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTCOMM_TOOLS=ON \
  -DKTCOMM_TESTS=ON -- -j2 --target ktcomm_soak
"$dir"/tests/ktcomm_soak $scale
