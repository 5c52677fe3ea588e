#!/usr/bin/env bash
# Installs what is missing, builds the programs and starts the window program, orvanta.
# Arguments are passed on to it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build/release -j"$(nproc)"

if ! pactl info >/dev/null 2>&1; then
    # No sound server answers, as on a machine without a desktop session: start a per-user
    # PulseAudio the way a session would. A desktop's PipeWire or PulseAudio is never
    # replaced: pulseaudio is installed only where neither is installed.
    if ! command -v pulseaudio >/dev/null 2>&1 && ! command -v pipewire-pulse >/dev/null 2>&1; then
        sudo_cmd=()
        [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends pulseaudio
    fi
    if command -v pulseaudio >/dev/null 2>&1; then
        pulseaudio --start --exit-idle-time=-1 2>/dev/null || true
    fi
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: orvanta needs a desktop session. Without one, record with" >&2
    echo "  build/release/src/app/orvanta-rec --duration 10" >&2
    exit 1
fi
exec build/release/src/app/orvanta "$@"
