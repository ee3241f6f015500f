#!/usr/bin/env bash
# Builds the benchmarks in Release and prints the results table: the library
# beside a raw termios client on the same kind of pty, and its round trip
# through a ser2net it starts on 127.0.0.1 beside a raw TCP client (skipped,
# with a line saying so, where ser2net is not installed); every figure
# measured in this one run. Takes well under two minutes. Then draws the
# round-trip latency distributions and the streaming throughput as PNG files
# in <build>/figures/, from CSV files of the samples left in <build>/samples/;
# --update-figures draws them into bench/figures/ instead, the ones
# bench/RESULTS.md shows. The round trip also counts system calls per
# exchange under strace -c, in a short run of its own.
# Usage: scripts/run-bench.sh [--quick] [--update-figures]
#   --quick: a smoke run, figures not worth quoting
# KTCOMM_BENCH_BUILD names the build folder (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
# strace: the round trip's count of system calls per exchange.
scripts/ensure-deps.sh libbenchmark-dev python3-matplotlib strace

. scripts/common.sh
quick=""
figures=""
for argument in "$@"; do
  case "$argument" in
    --quick) quick=--quick ;;
    --update-figures) figures=bench/figures ;;
    *) echo "usage: $0 [--quick] [--update-figures]" >&2; exit 2 ;;
  esac
done
dir=${KTCOMM_BENCH_BUILD:-build-bench}
# The committed figures change only when asked, so a run leaves the
# checkout as it was.
figures=${figures:-$dir/figures}

quiet_build "run-bench: the build failed" "$dir" -DCMAKE_BUILD_TYPE=Release -DKTCOMM_BENCH=ON \
  -DKTCOMM_TOOLS=ON -DKTCOMM_TESTS=OFF \
  -- -j2 --target ktcomm_bench_decoder ktcomm_bench_io ktcomm_bench_receive

cpu=$(grep -m1 "model name" /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "KTcomm benchmarks: $(nproc) CPUs ($cpu), Linux $(uname -r)," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Ratios are KTcomm / reference, both measured in this run."
[ -n "$quick" ] && echo "Smoke run: the figures below are not worth quoting."
samples="$dir/samples"
rm -rf "$samples" && mkdir -p "$samples"
export KTCOMM_BENCH_SAMPLES="$samples"
"$dir"/bench/ktcomm_bench_decoder $quick
"$dir"/bench/ktcomm_bench_io $quick
"$dir"/bench/ktcomm_bench_receive $quick
echo
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
# Debian's interpreter, which python3-matplotlib is installed for, even where
# another python3 comes first in PATH.
mkdir -p "$figures"
/usr/bin/python3 bench/plot_results.py "$samples" "$figures"
