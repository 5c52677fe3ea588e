#!/usr/bin/env bash
# Installs the Debian packages that building (with "run", running; with "test", testing;
# with "package", packaging) needs, when they are missing. Nothing is installed when
# everything is present.
set -euo pipefail

mode=${1:-build}
packages=(cmake g++ make pkg-config qt6-base-dev libpulse-dev libmp3lame-dev libogg-dev libvorbis-dev
    libflac-dev libtag1-dev libsndfile1-dev libxcb1-dev libxcb-keysyms1-dev)
installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
if [ "$mode" = run ]; then
    # pactl tells whether a sound server answers; xdg-utils opens help and web addresses.
    packages+=(pulseaudio-utils xdg-utils)
fi
if [ "$mode" = package ]; then
    # cpack finds the package's dependencies with dpkg-shlibdeps, which needs file.
    packages+=(dpkg-dev file)
fi
if [ "$mode" = test ]; then
    # The tests run against both sound servers, each as a private instance; ffmpeg is only
    # for the benchmarks' reference, so it is not installed here.
    packages+=(libgtest-dev libsndfile1-dev pulseaudio-utils xdg-utils pulseaudio pipewire
        pipewire-pulse wireplumber dbus)
    # Hot keys, the tray and the second start are tested on private X servers: xdotool
    # presses keys and clicks, trayer is a tray to dock in; a headless weston stands for a
    # Wayland session, where no hot key can be claimed.
    packages+=(xvfb xauth xdotool x11-utils trayer weston qt6-wayland)
    # flac checks the FLAC files the writer leaves after a full disk.
    packages+=(flac)
    # The installed desktop entry and AppStream data are checked with the freedesktop tools.
    packages+=(desktop-file-utils appstream)
    # A screen reader's view of the window: the accessibility bus and its registry, started
    # on a private D-Bus session (dbus, above).
    packages+=(at-spi2-core)
fi

# Where one of the two sound servers already serves this machine's desktop, the other one is
# installed for the tests only: its per-user services stay off, so that it does not compete
# for the desktop's sound socket at the next login.
keep_off=()
if [ "$mode" = test ]; then
    if installed pulseaudio && ! installed pipewire-pulse; then
        keep_off=(pipewire-pulse.socket pipewire-pulse.service)
    elif installed pipewire-pulse && ! installed pulseaudio; then
        keep_off=(pulseaudio.socket pulseaudio.service)
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
if [ ${#keep_off[@]} -gt 0 ] && command -v systemctl >/dev/null 2>&1; then
    "${sudo_cmd[@]}" systemctl --global disable "${keep_off[@]}" >/dev/null 2>&1 || true
fi
