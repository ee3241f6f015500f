#!/usr/bin/env bash
# Builds the Debian package, installs it with dpkg -i, and uses what it
# installed from outside the checkout, as its user would: the README's C
# example built with the README's commands for the installed package (plain
# cc, pkg-config and find_package) and run against the installed simulator,
# the installed tool, its manual pages, and the Python module from Debian's
# python3 and from a fresh venv. Then removes the package again, unless it
# was installed before. Needs root or sudo.
# Usage: scripts/check-deb.sh [build-dir]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
dir=${1:-build-deb}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

work=$(mktemp -d)
sim_pid=""
installed_before=""
dpkg-query -W -f='${Status}' ktcomm 2>/dev/null | grep -q "install ok installed" &&
  installed_before=yes
# dpkg as root; another installation on this machine may hold dpkg's lock
# for a while, which is waited out (five minutes at most).
run_dpkg() {  # dpkg arguments...
  local tries=0
  until $sudo dpkg "$@" >"$work/dpkg.log" 2>&1; do
    if ! grep -qi "lock" "$work/dpkg.log" || [ "$tries" -ge 150 ]; then
      cat "$work/dpkg.log"
      return 1
    fi
    tries=$((tries + 1))
    sleep 2
  done
}
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -z "$installed_before" ]; then
    run_dpkg --purge ktcomm >/dev/null || echo "check-deb: could not remove the package" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-deb: $*" >&2
  exit 1
}

# Runs a step quietly; its output is shown only when it fails.
quiet() {
  "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log"; fail "failed: $*"; }
}

# Runs commands in a shell at `folder`, with nothing pointing into the
# checkout or a build, and checks what they printed.
expect_run() {  # label, folder, text the output must hold, shell commands
  local label=$1 folder=$2 expected=$3 commands=$4 out status=0
  out=$(cd "$folder" && env -u LD_LIBRARY_PATH -u PYTHONPATH -u KTCOMM_LIBRARY \
    -u PKG_CONFIG_PATH -u CMAKE_PREFIX_PATH KTCOMM_COM1="$device" \
    timeout 120 bash -euo pipefail -c "$commands" 2>&1) || status=$?
  [ "$status" -eq 0 ] || { echo "$out"; fail "$label exited with $status"; }
  grep -qF -- "$expected" <<<"$out" || { echo "$out"; fail "$label did not print '$expected'"; }
  echo "check-deb: $label: ok"
}

# The README's block of KIND in SECTION, the Nth (from 0).
readme_block() {  # section, kind, n
  python3 tests/readme/readme_snippets.py README.md "$1" "$2" "${3:-0}"
}

# Where the installed package keeps the library.
expect_system_library() {  # binary
  local loaded
  loaded=$(ldd "$1" | awk '$1 == "libktcomm.so.1" { print $3 }')
  case "$loaded" in
    /usr/lib/*/libktcomm.so.1 | /lib/*/libktcomm.so.1) ;;
    *) ldd "$1"; fail "$1 does not load the installed libktcomm" ;;
  esac
}

echo "=== building the Debian package"
package=$(scripts/build-deb.sh "$dir" | tail -n 1)
[ -f "$package" ] || fail "no package was built"

echo "=== installing $package"
run_dpkg -i "$package" || fail "dpkg -i $package failed"
for file in /usr/bin/ktcomm /usr/bin/ktcomm-sim /usr/include/ktcomm.h /usr/include/ktcomm_ext.h \
    /usr/share/man/man1/ktcomm.1.gz /usr/share/man/man1/ktcomm-sim.1.gz; do
  [ -e "$file" ] || fail "$file was not installed"
done
quiet gzip -t /usr/share/man/man1/ktcomm.1.gz /usr/share/man/man1/ktcomm-sim.1.gz
if command -v man >/dev/null; then
  man -P cat ktcomm 2>/dev/null | grep -q "talk to a serial device" || fail "man ktcomm shows no page"
  man -P cat ktcomm-sim 2>/dev/null | grep -q "simulated KTcomm device" ||
    fail "man ktcomm-sim shows no page"
  echo "check-deb: man ktcomm, man ktcomm-sim: ok"
fi

echo "=== the installed simulator and tool"
mkfifo "$work/sim.out"
/usr/bin/ktcomm-sim --link "$work/device" --quiet >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 device <&3 || fail "the simulator printed no device path"
expect_run "ktcomm version" "$work" "ktcomm 1.41 (library 1.41 Release)" "ktcomm version"
expect_run "ktcomm call" "$work" "cmd=10 len=1 data=05" "ktcomm call 1 10 05"

echo "=== the README's C example against the installed files"
mkdir "$work/c" "$work/pkg-config" "$work/cmake"
for folder in c pkg-config cmake; do
  readme_block "Using it from C" c >"$work/$folder/app.c"
done
installed_commands=$(readme_block "Using it from C" shell 1)
grep -q -- "-lktcomm" <<<"$installed_commands" || fail "the README's C section changed shape"
expect_run "C example, cc -lktcomm" "$work/c" "answer: cmd=10 len=1" "$installed_commands"
expect_system_library "$work/c/app"
# The pkg-config line of Installing, as written: no PKG_CONFIG_PATH.
pkg_config_line=$(readme_block "Installing" shell 1)
grep -q "pkg-config --cflags --libs ktcomm" <<<"$pkg_config_line" ||
  fail "the README's pkg-config line changed shape"
expect_run "C example, pkg-config" "$work/pkg-config" "answer: cmd=10 len=1" \
  "$pkg_config_line; ./a.out"
expect_system_library "$work/pkg-config/a.out"
# The find_package lines of Installing, in the smallest project around them;
# no CMAKE_PREFIX_PATH.
{
  echo "cmake_minimum_required(VERSION 3.25)"
  echo "project(app C)"
  echo "add_executable(app app.c)"
  readme_block "Installing" cmake
} >"$work/cmake/CMakeLists.txt"
expect_run "C example, find_package(ktcomm)" "$work/cmake" "answer: cmd=10 len=1" \
  "cmake -S . -B build >/dev/null && cmake --build build >/dev/null && build/app"
expect_system_library "$work/cmake/build/app"

echo "=== the Python module"
expect_run "Debian's python3" "$work" "1.41 /usr/lib/python3/dist-packages/ktcomm/" \
  "/usr/bin/python3 -c 'import ktcomm; print(ktcomm.version(), ktcomm.__file__)'"
# A venv whose module comes from sources outside any checkout: it finds the
# library the package installed.
cp -r "$checkout/python" "$work/sources"
rm -rf "$work/sources/tests"
quiet python3 -m venv "$work/venv"
quiet env -C "$work" venv/bin/pip install --no-build-isolation --disable-pip-version-check -q \
  "$work/sources"
expect_run "a fresh venv" "$work" "(16, b'\\x05')" \
  "venv/bin/python -c 'import ktcomm; print(ktcomm.Port(1).call(0x10, b\"\\x05\"))'"

kill "$sim_pid"
wait "$sim_pid" || fail "the simulator did not end cleanly"
sim_pid=""
exec 3<&-
echo "=== the Debian package works"
