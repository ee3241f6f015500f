#!/usr/bin/env bash
# Builds the library, its tools and tests, and runs every test: first a plain
# build with the install check, the Debian package check, the real-driver
# lane in QEMU and the Windows lane under Wine, then the same suite under
# AddressSanitizer+UBSan and under ThreadSanitizer.
# Usage: scripts/run-tests.sh [--quick]  (--quick: plain only)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

jobs=$(nproc)
passed=0
run_suite() {  # name, extra cmake arguments...
  local dir="build-$1"
  shift
  echo "=== building $dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -E "warning:|error:" || true
  cmake --build "$dir" -j"$jobs" >/dev/null
  echo "=== testing $dir"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300) | tee "$log"
  # ctest exits non-zero on a failure, which set -e and pipefail turn into ours.
  passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
}

run_suite plain
# The installed tree, used from outside as another project would.
scripts/check-install.sh build-plain
# The Debian package, installed with dpkg -i and used as the README says.
scripts/check-deb.sh
# The library on the kernel's own serial drivers, in a QEMU guest.
scripts/run-uart-tests.sh build-plain | tee build-plain/uart.log
uart_passed=$(sed -n 's/^\([0-9]*\) passed, 0 failed$/\1/p' build-plain/uart.log | tail -n 1)
passed=$((passed + ${uart_passed:-0}))
# The library compiles for a machine that is not x86 (64-bit ARM).
scripts/check-cross.sh
# Windows: built with MinGW-w64 for 64- and 32-bit, run under Wine on ptys.
scripts/run-windows-tests.sh | tee build-plain/windows.log
windows_passed=$(sed -n 's/^\([0-9]*\) passed, 0 failed$/\1/p' build-plain/windows.log | tail -n 1)
passed=$((passed + ${windows_passed:-0}))
if [ "${1:-}" != "--quick" ]; then
  # Allocation tests ask for absurd sizes; the library must see null, not abort.
  export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
  export UBSAN_OPTIONS=print_stacktrace=1
  export TSAN_OPTIONS=allocator_may_return_null=1:second_deadlock_stack=1
  run_suite asan -DKTCOMM_SANITIZE=address,undefined
  run_suite tsan -DKTCOMM_SANITIZE=thread
fi
if [ "${1:-}" != "--quick" ]; then
  # Fuzzing (clang, which also checks the lock annotations): a bounded run of
  # each target from the checked-in seeds; a crash fails the run.
  scripts/ensure-deps.sh clang libclang-rt-14-dev
  echo "=== building build-fuzz"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKTCOMM_FUZZ=ON -DKTCOMM_TESTS=OFF \
    -DKTCOMM_TOOLS=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs" 2>&1 | grep -E "warning:|error:" || true
  cmake --build build-fuzz -j"$jobs" >/dev/null
  seconds=${KTCOMM_FUZZ_SECONDS:-30}
  for target in decoder line_definition exports net sysfs com_names; do
    work=$(mktemp -d)
    cp tests/fuzz/corpus/"$target"/* "$work"/
    echo "=== fuzzing $target for ${seconds}s"
    status=0
    ASAN_OPTIONS=allocator_may_return_null=1 build-fuzz/tests/fuzz/${target}_fuzz \
      -max_total_time="$seconds" -timeout=20 -print_final_stats=1 "$work" \
      >"$work.log" 2>&1 || status=$?
    grep -E "^stat::number_of_executed_units|ERROR|SUMMARY|Done" "$work.log" || true
    [ "$status" -eq 0 ] || tail -n 40 "$work.log"
    rm -rf "$work" "$work.log"
    [ "$status" -eq 0 ] || { echo "fuzz target $target failed"; exit 1; }
  done
fi
echo "=== all suites passed"
echo "tests: $passed passed, 0 failed"
