#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) needs, when they
# are missing. Nothing is installed when everything is present.
set -euo pipefail

mode=${1:-build}
packages=(cmake g++ make pkg-config qt6-base-dev libpulse-dev libmp3lame-dev libogg-dev libvorbis-dev
    libflac-dev libtag1-dev)
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
if [ "$mode" = run ]; then
    # pactl tells whether a sound server answers; xdg-utils opens help and web addresses.
    packages+=(pulseaudio-utils xdg-utils)
fi
if [ "$mode" = test ]; then
    packages+=(libgtest-dev libsndfile1-dev pulseaudio-utils xdg-utils)
    # The tests run their own private sound server. Installing pulseaudio would remove a
    # desktop's PipeWire service on Debian 12, so where pipewire-pulse is installed the tests
    # use a private PipeWire instance instead.
    if installed pipewire-pulse && ! installed pulseaudio; then
        packages+=(pipewire wireplumber dbus)
    else
        packages+=(pulseaudio)
    fi
fi

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
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
