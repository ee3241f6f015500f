#!/usr/bin/env bash
# Builds the Debian package of the library, its header, CMake and
# pkg-config files, the tools with their manual pages and the Python module:
# a Release build for prefix /usr, packed by CPack. Prints the package's
# path last.
# Usage: scripts/build-deb.sh [build-dir]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
# dpkg-dev: dpkg-shlibdeps, which works out what the package depends on.
scripts/ensure-deps.sh --only cmake make g++ libcli11-dev libedit-dev dpkg-dev
dir=${1:-build-deb}

. scripts/common.sh
# Debian's own python3 looks for modules in /usr/lib/python3/dist-packages.
quiet_build "build-deb: the build failed" "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DKTCOMM_PYTHON_DIR=lib/python3/dist-packages \
  -DKTCOMM_TESTS=OFF -DKTCOMM_TOOLS=ON -- -j2
rm -f "$dir"/ktcomm_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log"; echo "build-deb: cpack failed" >&2; exit 1; }
ls "$dir"/ktcomm_*.deb
