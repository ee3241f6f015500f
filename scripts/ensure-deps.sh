#!/usr/bin/env bash
# Installs, from Debian's registry, whatever the build and the tests need and
# this machine lacks. Quiet, and does nothing when all is there.
set -euo pipefail

# python3-venv, -setuptools, -wheel and -mypy: the Python install test.
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libcli11-dev python3-pytest ser2net python3-venv python3-setuptools python3-wheel python3-mypy "$@")
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
