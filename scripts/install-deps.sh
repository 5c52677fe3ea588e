#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) needs, when they
# are missing. Nothing is installed when everything is present.
set -euo pipefail

mode=${1:-build}
packages=(cmake g++ make pkg-config qt6-base-dev)
if [ "$mode" = test ]; then
    packages+=(libgtest-dev libsndfile1-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    # A fresh machine may have no package lists yet.
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
