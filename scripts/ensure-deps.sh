#!/usr/bin/env bash
# Installs, from Debian's registry, whatever the build and the tests need and
# this machine lacks. Quiet, and does nothing when all is there.
# Usage: scripts/ensure-deps.sh [PACKAGE...]          the full set plus these
#        scripts/ensure-deps.sh --only PACKAGE...     just these
set -euo pipefail

if [ "${1:-}" = "--only" ]; then
  shift
  packages=("$@")
else
  # python3-venv, -setuptools, -wheel, -mypy and mypy: the Python install test
  # and the README's snippets; dpkg-dev: the Debian package (dpkg-shlibdeps).
  packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev libedit-dev python3-pytest ser2net
            python3-venv python3-setuptools python3-wheel python3-mypy mypy dpkg-dev "$@")
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
