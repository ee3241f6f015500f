#!/usr/bin/env bash
# The Windows lane: builds ktcomm for 64- and 32-bit Windows with Debian's
# MinGW-w64 compilers, checks the DLLs' export tables, and runs the Windows
# check programs under Wine (64-bit) and Xvfb, on COM ports that Wine maps to
# pseudo-terminals whose other sides tests/windows/pty_device.py holds.
# Prints one line per check and "N passed, N failed"; exits non-zero on a
# failure. 32-bit programs are built and their exports checked, not run:
# Debian's 32-bit Wine needs the i386 architecture, which the lane leaves
# alone (its package lists do not resolve wine32 on this machine).
#
# Usage: scripts/run-windows-tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
scripts/ensure-deps.sh --only g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine \
  xvfb python3
. scripts/common.sh

passed=0
failed=0
count() {  # adds a program's "N passed, N failed" line to the totals
  local line
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -n 1 || true)
  if [ -z "$line" ]; then
    echo "FAIL $2: no summary line"
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
  failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
}
check() {  # name, then a command that succeeds or not
  local name=$1
  shift
  if "$@"; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    failed=$((failed + 1))
  fi
}

echo "=== building for Windows (build-win64, build-win32)"
quiet_build "run-windows-tests: the 64-bit build failed" build-win64 \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake -- -j"$(nproc)"
quiet_build "run-windows-tests: the 32-bit build failed" build-win32 \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake -- -j"$(nproc)"

# The export table: the ten plain names (no @nn on 32-bit either), and
# KTSetFlowControl under the name Microsoft's C++ compiler gives
# int KTSetFlowControl(int, unsigned int, unsigned int), beside GCC's; then
# the six extensions of ktcomm_ext.h.
exports_ok() {  # objdump, dll
  local expected found
  expected=$(printf '%s\n' KTClosePort KTEnableLogging KTGetDllVersion KTOpenPort KTSendCommand \
    KTSendCommandAndWait KTSendData KTSendDataAndWait KTSetLogFileName KTWaitForMessage \
    '?KTSetFlowControl@@YAHHII@Z' _Z16KTSetFlowControlijj KTXGetModemLines KTXGetOpenError \
    KTXGetPortStatus KTXListDevices KTXResultText KTXSendBreak | LC_ALL=C sort)
  found=$("$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | LC_ALL=C sort)
  [ "$found" = "$expected" ] || { printf 'exported:\n%s\n' "$found"; return 1; }
}
# Nothing beyond the system's own DLLs is needed beside it.
imports_ok() {  # objdump, binary
  local other
  other=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    grep -viE '^(kernel32|user32|msvcrt|ws2_32|advapi32)\.dll$' || true)
  [ -z "$other" ] || { echo "needs: $other"; return 1; }
}
check "ktcomm.dll (x86_64) exports" exports_ok x86_64-w64-mingw32-objdump build-win64/bin/ktcomm.dll
check "ktcomm.dll (i686) exports" exports_ok i686-w64-mingw32-objdump build-win32/bin/ktcomm.dll
check "ktcomm.dll (x86_64) needs only system DLLs" imports_ok x86_64-w64-mingw32-objdump \
  build-win64/bin/ktcomm.dll
check "ktcomm.dll (i686) needs only system DLLs" imports_ok i686-w64-mingw32-objdump \
  build-win32/bin/ktcomm.dll
check "import libraries beside the DLLs" test -f build-win64/bin/libktcomm.dll.a \
  -a -f build-win32/bin/libktcomm.dll.a

# Wine's prefix lives in the build folder; made once, some ten seconds.
export WINEPREFIX=$PWD/build-win64/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko installer
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "=== making the Wine prefix"
  wine wineboot -i >/dev/null 2>&1 || true
  "$wineserver" -w
fi

work=$(mktemp -d)
: >"$work/not-a-port"
helper=
cleanup() {
  [ -n "$helper" ] && kill "$helper" 2>/dev/null
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a device side with fresh ptys and maps COM1..COMn to them. Wine
# reads the mapping when its server starts, so the server is restarted.
start_devices() {  # number of ports, extra helper arguments...
  local ports=$1 k
  shift
  [ -n "$helper" ] && kill "$helper" 2>/dev/null
  rm -f "$work/map"
  python3 tests/windows/pty_device.py --ports "$ports" --map "$work/map" --idle 120 "$@" &
  helper=$!
  for _ in $(seq 100); do [ -f "$work/map" ] && break; sleep 0.05; done
  [ -f "$work/map" ] || { echo "the device side did not start"; exit 1; }
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for k in $(seq 10); do
      local path
      path=$(sed -n "s/^COM$k=//p" "$work/map")
      # Unused ports map to nothing, so that a stray open fails; COM8 to a
      # regular file, a name with something behind it that is not serial.
      [ "$k" -eq 8 ] && path=${path:-$work/not-a-port}
      printf '"COM%d"="%s"\r\n' "$k" "${path:-/dev/null/none}"
    done
  } >"$work/ports.reg"
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  wine regedit /S "$(winepath -w "$work/ports.reg" 2>/dev/null)" >/dev/null 2>&1
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  control=$(sed -n 's/^control=//p' "$work/map")
}

run_windows() {  # name, program, arguments...
  local name=$1 log="$work/$1.log"
  shift
  echo "=== $name"
  local status=0
  timeout 150 xvfb-run -a -s "-screen 0 1024x768x24" wine "$@" 2>&1 | tr -d '\r' >"$log" ||
    status=$?
  grep -E '^(ok  |FAIL|     |skip|note)' "$log" || true
  count "$log" "$name"
  if [ "$status" -ne 0 ] && ! grep -qE '^[0-9]+ passed, [1-9][0-9]* failed$' "$log"; then
    echo "FAIL $name: exit status $status"
    tail -n 20 "$log"
    failed=$((failed + 1))
  fi
}

start_devices 3
run_windows win32-platform build-win64/bin/ktcomm_win32_platform_checks.exe --control "$control"
run_windows c-header build-win64/bin/ktcomm_c_header_check.exe

# The traffic log of one session, written by the Linux library, which the
# Windows library must write line for line.
[ -f build-plain/CMakeCache.txt ] || cmake -S . -B build-plain >/dev/null
cmake --build build-plain -j"$(nproc)" --target ktcomm_log_session >/dev/null
start_devices 1 --echo 1
KTCOMM_COM4=$(sed -n 's/^COM1=//p' "$work/map") \
  build-plain/tests/ktcomm_log_session "$work/linux.log" w 4
start_devices 6
# Wine's name for the file, made without Wine: a Wine program started here,
# outside Xvfb, would leave a desktop without a display for the checks to join.
linux_log="Z:$(echo "$work/linux.log" | tr / '\\')"
run_windows ktcomm-dll build-win64/bin/ktcomm_windows_checks.exe --control "$control" \
  --linux-log "$linux_log"

echo "=== Windows lane finished in $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
