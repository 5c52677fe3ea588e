#!/usr/bin/env bash
# Takes a screenshot of the running main window while it records a test signal, under a
# private X server (Xvfb) and a private sound server, and writes it as a PNG:
#
#   scripts/screenshot.sh [out.png]        (default docs/mainwindow.png)
#
# Uses the release build (scripts/run.sh builds it; ORVANTA=<path> picks another binary).
# Installs Xvfb, xdotool, ffmpeg and the DejaVu fonts when they are missing. Nothing of the
# user's own settings, recordings or sound server is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/mainwindow.png}
program=${ORVANTA:-build/release/src/app/orvanta}
[ -x "$program" ] || { echo "no program at $program: run scripts/run.sh first" >&2; exit 1; }

. scripts/private-desktop.sh
install_missing xvfb xdotool ffmpeg fonts-dejavu-core pulseaudio-utils
start_private_desktop orvanta-shot
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config QT_QPA_PLATFORM=xcb
mkdir -p "$HOME/Music"

# Something to show: tones played into the recorded sink for the whole run.
python3 -c 'import sys; sys.path.insert(0, "bench"); import rec_cpu; rec_cpu.write_music(sys.argv[1], 20)' \
    "$work/music.wav"
paplay --device="$ORVANTA_TEST_SINK" "$work/music.wav" &
pids+=($!)

"$program" >/dev/null 2>&1 &
pids+=($!)
window=$(xdotool search --sync --name '^Orvanta$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$window")"
sleep 1
xdotool mousemove $((X + 36)) $((Y + 176)) click 1
sleep 4
xdotool mousemove $((X + 200)) $((Y + 300))
sleep 0.5
mkdir -p "$(dirname "$out")"
ffmpeg -nostdin -loglevel error -y -f x11grab -video_size 416x241 -i "$DISPLAY+$X,$Y" \
    -frames:v 1 "$out"
xdotool mousemove $((X + 86)) $((Y + 176)) click 1
sleep 1
echo "wrote $out"
