#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses the installed tree the way
# another project would: builds the C and the C++ example out of tree, once
# with CMake (find_package(ktcomm)) and once with pkg-config, then runs them
# and the installed ktcomm tool against the installed simulator.
# Usage: scripts/check-install.sh [BUILD_DIR]   (default build-plain; configured
# and built when it does not exist yet)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh
build=${1:-build-plain}

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# Runs a step quietly; its output is shown only when it fails.
quiet() {
  "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log"; fail "failed: $*"; }
}

# The binary must load libktcomm from the installed tree, not from a build.
expect_installed_library() {  # binary
  local loaded
  loaded=$(ldd "$1" | awk '$1 == "libktcomm.so.1" { print $3 }')
  [ -n "$loaded" ] && [ "$(dirname "$(realpath "$loaded")")" = "$(realpath "$libdir")" ] ||
    { ldd "$1"; fail "$1 does not load libktcomm from $libdir"; }
}

# Runs a program with port 1 on the simulated device and checks what it
# printed.
expect_run() {  # label, text the output must hold, command...
  local label=$1 expected=$2 out status=0
  shift 2
  out=$(KTCOMM_COM1=$device timeout 20 "$@" 2>&1) || status=$?
  [ "$status" -eq 0 ] || { echo "$out"; fail "$label exited with $status"; }
  grep -qF -- "$expected" <<<"$out" || { echo "$out"; fail "$label did not print '$expected'"; }
  echo "check-install: $label: ok"
}

echo "=== installing $build into a temporary prefix"
if [ ! -f "$build/CMakeCache.txt" ]; then
  quiet cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
grep -q '^KTCOMM_TOOLS:BOOL=ON' "$build/CMakeCache.txt" ||
  fail "$build is configured without the tools (-DKTCOMM_TOOLS=ON)"
quiet cmake --build "$build" -j2 --target ktcomm ktcomm_cli ktcomm-sim
prefix=$work/prefix
quiet cmake --install "$build" --prefix "$prefix"
library=$(find "$prefix" -name libktcomm.so.1)
pc_file=$(find "$prefix" -name ktcomm.pc)
[ -n "$library" ] && [ -n "$pc_file" ] || fail "the library or ktcomm.pc was not installed"
libdir=$(dirname "$library")
for tool in ktcomm ktcomm-sim; do
  [ -x "$prefix/bin/$tool" ] || fail "$tool was not installed"
done

echo "=== building the examples with find_package(ktcomm)"
quiet cmake -S tests/install -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
grep -q "^ktcomm_DIR:PATH=$prefix/" "$work/with-cmake/CMakeCache.txt" ||
  fail "find_package(ktcomm) did not find the installed package"
quiet cmake --build "$work/with-cmake" -j2
for example in c_event_loop cpp_commands; do
  expect_installed_library "$work/with-cmake/$example"  # through the build's rpath
done

echo "=== building the examples with pkg-config"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc_file")
version=$(pkg-config --modversion ktcomm)
[ "$version" = 1.41 ] || fail "pkg-config reports version '$version'"
# Word splitting of the flags is intended.
read -r -a flags <<<"$(pkg-config --cflags --libs ktcomm)"
mkdir "$work/with-pkg-config"
quiet "${CC:-cc}" -std=c99 -Wall -Wextra -Werror examples/c_event_loop.c "${flags[@]}" \
  -o "$work/with-pkg-config/c_event_loop"
quiet "${CXX:-c++}" -std=c++20 -Wall -Wextra -Werror examples/cpp_commands.cc "${flags[@]}" \
  -o "$work/with-pkg-config/cpp_commands"
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
for example in c_event_loop cpp_commands; do
  expect_installed_library "$work/with-pkg-config/$example"
done

echo "=== running them against the installed simulator"
# The simulator prints the device's path first; a fifo hands it over without
# polling a file.
mkfifo "$work/sim.out"
"$prefix/bin/ktcomm-sim" --quiet >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 device <&3 || fail "the simulator printed no device path"
# Each client opens and closes the line in turn; the simulator serves them all.
for flavour in with-cmake with-pkg-config; do
  expect_run "C example, $flavour" "COM1 cmd=10 len=1 data=05" "$work/$flavour/c_event_loop" 1
  expect_run "C++ example, $flavour" "1a 01 02 -> 1a 01 02" "$work/$flavour/cpp_commands"
done
# The installed tool finds the library through its own rpath.
unset LD_LIBRARY_PATH
expect_installed_library "$prefix/bin/ktcomm"
expect_run "installed ktcomm version" "1.41 Release" "$prefix/bin/ktcomm" version
expect_run "installed ktcomm call" "cmd=10 len=1 data=05" "$prefix/bin/ktcomm" call 1 10 05
kill "$sim_pid"
wait "$sim_pid" || fail "the simulator did not end cleanly"
sim_pid=""
exec 3<&-
echo "=== the installed package works"
