#!/usr/bin/env bash
# Installs, on Debian, the packages kelv needs to build and test, when they
# are missing. Needs root (or sudo) only when something is missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libbsd-dev libgtest-dev python3
          util-linux procps mandoc "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
