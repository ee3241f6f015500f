#!/usr/bin/env bash
# The real-driver lane: the library on a 16550A under the kernel's 8250 driver
# and on an FTDI USB adapter under ftdi_sio, in a QEMU guest (TCG, no KVM
# needed). Builds the library and tests/uart's check program, packs them with
# their shared libraries, busybox and the USB serial modules of Debian's
# generic kernel into an initramfs, boots it and runs the checks as root.
# Prints one line per check and "N passed, N failed"; exits non-zero on any
# failure or when the guest does not finish in time.
#
# Usage: scripts/run-uart-tests.sh [build-dir]   (default build-plain)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-plain}
cache=build-uart                     # the kernel, kept between runs
guest_seconds=${KTCOMM_UART_TIMEOUT:-150}
started=$(date +%s)

scripts/ensure-deps.sh qemu-system-x86 busybox-static

# The kernel is a build input: its package is unpacked here, not installed.
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}
package=$(kernel_package)
if [ -z "$package" ]; then
  $sudo apt-get update -qq >/dev/null
  package=$(kernel_package)
fi
[ -n "$package" ] || { echo "no Debian kernel package found"; exit 1; }
release=${package#linux-image-}
kernel_root="$cache/$package"
if [ ! -f "$kernel_root/boot/vmlinuz-$release" ]; then
  echo "=== unpacking $package"
  rm -rf "$cache/download" "$kernel_root"
  mkdir -p "$cache/download" "$kernel_root"
  (cd "$cache/download" && apt-get download -qq -o APT::Sandbox::User=root "$package")
  dpkg-deb --fsys-tarfile "$cache"/download/"$package"_*.deb |
    tar -x -C "$kernel_root" --wildcards "./boot/vmlinuz-$release" \
      "./lib/modules/$release/kernel/drivers/usb/*"
  rm -rf "$cache/download"
fi
modules="$kernel_root/lib/modules/$release/kernel"

echo "=== building the library and the check program in $build"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target ktcomm ktcomm_uart_checks >/dev/null
checks="$build/tests/ktcomm_uart_checks"

echo "=== packing the guest"
root=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$root" "$work"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
cp "$(command -v busybox)" "$root/bin/busybox"
cp tests/uart/guest_init.sh "$root/init"
cp "$checks" "$root/ktcomm_uart_checks"
# The program's libraries at the paths the host resolves them to. The
# library under test lives in the build tree, which the guest's own mounts
# may hide (a clone under /tmp): it also goes to /opt/ktcomm, which /init
# puts first on the loader's path.
mkdir -p "$root/opt/ktcomm"
for library in $(ldd "$checks" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
  case "$(basename "$library")" in
    libktcomm.so*) cp -L "$library" "$root/opt/ktcomm/" ;;
  esac
done
# The USB host controller and serial modules, each after what it depends on.
order=()
add_module() {  # module name, - and _ alike
  local name=$1 file dep
  file=$(find "$modules" -name "$name.ko" -o -name "${name//_/-}.ko" -o -name "${name//-/_}.ko" |
    head -n 1)
  [ -n "$file" ] || { echo "module $name not in $package"; exit 1; }
  for known in "${order[@]}"; do [ "$known" = "$(basename "$file")" ] && return 0; done
  for dep in $(grep -a -o 'depends=[a-z0-9_,-]*' "$file" | head -n 1 | cut -d= -f2 | tr , ' '); do
    add_module "$dep"
  done
  cp "$file" "$root/modules/"
  order+=("$(basename "$file")")
}
for module in xhci-pci ftdi_sio; do add_module "$module"; done
printf '%s\n' "${order[@]}" >"$root/modules/order"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz"

echo "=== booting the guest ($(($(date +%s) - started)) s so far)"
status=0
timeout $((guest_seconds + 30)) python3 tests/uart/lane_host.py \
  --kernel "$kernel_root/boot/vmlinuz-$release" --initrd "$work/initrd.gz" \
  --work "$work" --timeout "$guest_seconds" || status=$?
echo "=== real-driver lane finished in $(($(date +%s) - started)) s"
exit "$status"
