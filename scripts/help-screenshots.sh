#!/usr/bin/env bash
# Takes the screenshots of the user guide (data/help/images/*.png) from the real program,
# under a private X server (Xvfb) with a window manager (openbox, so that dialogs have their
# title bars) and a private sound server playing a test signal:
#
#   scripts/help-screenshots.sh [build folder]     (default build/release)
#
# ORVANTA=<path> picks another binary. Installs Xvfb, openbox, xdotool, x11-utils, ffmpeg and
# the DejaVu fonts when they are missing. Nothing of the user's own settings, recordings or
# sound server is touched: HOME and the config folder are temporary.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
program=${ORVANTA:-$build/src/app/orvanta}
out=data/help/images
[ -x "$program" ] || { echo "no program at $program: build it first (scripts/run.sh)" >&2; exit 1; }
program=$(realpath "$program")
. scripts/private-desktop.sh
install_missing xvfb openbox xdotool x11-utils ffmpeg fonts-dejavu-core pulseaudio-utils
start_private_desktop orvanta-help-shots
unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE
export QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8
home=$work/home
music=$home/Music
mkdir -p "$music" "$home/.config/Velmora/Orvanta"

openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)

# A few tagged recordings for the browser, a day apart.
recording() { # file title artist album date seconds
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "sine=frequency=440:duration=$6" -ac 2 \
        -metadata title="$2" -metadata artist="$3" -metadata album="$4" \
        -metadata date=2024 -metadata genre=Radio -metadata track=1 "$music/$1"
    touch -d "$5" "$music/$1"
}
recording "Morning Show.mp3" "Morning Show" "City Radio" "Mornings" "2024-08-05 09:00" 35
recording "Jazz Hour.ogg" "Jazz Hour" "Late Night FM" "Evening Sessions" "2024-08-06 23:00" 48
recording "Interview.flac" "Mayor Interview" "City Radio" "News" "2024-08-07 12:40" 21
ffmpeg -nostdin -loglevel error -y -f lavfi -i "sine=frequency=330:duration=12" -ac 2 \
    "$music/2024-Aug-08-09-12-44.wav"
touch -d "2024-08-08 09:13" "$music/2024-Aug-08-09-12-44.wav"

# Two scheduled events, so that the schedule is not empty.
cat >"$home/.config/Velmora/Orvanta/events.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Scheduler>
    <events number="2"/>
    <event1 name="Morning Show" starttime="07:00:00" stoptime="09:00:00" startdate="05-08-24" stopdate="05-08-24" repeat="0" day1="true" day2="true" day3="true" day4="true" day5="true" day6="false" day7="false" cancelled="false" nextday="false" filename="Morning Show" URL="" Appname="" Task="false"/>
    <event2 name="Jazz Hour" starttime="22:00:00" stoptime="23:00:00" startdate="05-08-24" stopdate="05-08-24" repeat="2" cancelled="false" nextday="false" filename="" URL="" Appname="" Task="false"/>
</Scheduler>
XML

# Something to show: a chord with a little noise, played into the recorded sink.
ffmpeg -nostdin -loglevel error -y -f lavfi -i \
    "aevalsrc=(0.5+0.3*sin(2*PI*0.7*t))*(0.3*sin(2*PI*220*t)+0.15*sin(2*PI*660*t)+0.08*sin(2*PI*1500*t)+0.05*sin(2*PI*4200*t)+0.06*(random(0)-0.5))|(0.5+0.3*cos(2*PI*0.5*t))*(0.3*sin(2*PI*330*t)+0.12*sin(2*PI*990*t)+0.06*sin(2*PI*2500*t)+0.06*(random(1)-0.5)):s=48000:d=300" \
    "$work/music.wav"
paplay --device="$ORVANTA_TEST_SINK" "$work/music.wav" &
pids+=($!)

# The program sees its temporary home as /home/user (a private mount namespace), so that
# the pictures show ordinary paths; where that is not possible it runs in the temporary home.
launcher=(sh -c 'mount -t tmpfs -o mode=755 orvanta-help /home && mkdir /home/user &&
    mount --bind "$0" /home/user && cd /home/user && exec "$1"' "$home" "$program")
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    export HOME=/home/user XDG_CONFIG_HOME=/home/user/.config
    unshare --mount --propagation private "${launcher[@]}" >"$work/program.log" 2>&1 &
elif unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
    export HOME=/home/user XDG_CONFIG_HOME=/home/user/.config
    unshare --user --map-root-user --mount --propagation private "${launcher[@]}" \
        >"$work/program.log" 2>&1 &
else
    export HOME=$home XDG_CONFIG_HOME=$home/.config
    "$program" >"$work/program.log" 2>&1 &
fi
pids+=($!)
main=$(xdotool search --sync --onlyvisible --name '^Orvanta$' | head -n 1)
sleep 2
mkdir -p "$out"
rm -f "$out"/*.png

# Sets X Y W H to the inside of a window, and L R T B to the frame the window manager adds.
geometry() {
    local info
    info=$(xwininfo -id "$1")
    X=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
    Y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
    W=$(sed -n 's/.*Width: *//p' <<<"$info")
    H=$(sed -n 's/.*Height: *//p' <<<"$info")
    IFS=, read -r L R T B <<<"$(xprop -id "$1" _NET_FRAME_EXTENTS | sed -n 's/.*= *//p' | tr -d ' ')"
    L=${L:-0} R=${R:-0} T=${T:-0} B=${B:-0}
}

# Writes the screen rectangle x y w h to images/<name>.png.
grab() {
    local name=$1 x=$2 y=$3 w=$4 h=$5
    ((x < 0)) && { w=$((w + x)); x=0; }
    ((y < 0)) && { h=$((h + y)); y=0; }
    ((x + w > 1024)) && w=$((1024 - x))
    ((y + h > 768)) && h=$((768 - y))
    ffmpeg -nostdin -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${w}x${h}" \
        -i "$DISPLAY+$x,$y" -frames:v 1 -pix_fmt rgb24 -compression_level 100 -pred mixed "$out/$name.png"
    echo "wrote $out/$name.png (${w}x${h})"
}

# Grabs a window with its title bar and frame, without the pointer.
grab_window() {
    xdotool mousemove --sync 1015 760 # no hover highlight or tooltip either
    sleep 0.6
    geometry "$2"
    grab "$1" $((X - L)) $((Y - T)) $((W + L + R)) $((H + T + B))
}

# The visible window whose title starts with this text (Qt adds " — Orvanta").
find_window() {
    local id
    for _ in $(seq 1 50); do
        id=$(xdotool search --onlyvisible --name "^$1( |\$)" 2>/dev/null | grep -vx "$main" |
            tail -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    echo "no window \"$1\" appeared" >&2
    return 1
}

click() { # x y inside the window [button]
    geometry "$3"
    xdotool mousemove --sync $((X + $1)) $((Y + $2)) click "${4:-1}"
    sleep 0.3
}

# Keys go to the window that has the focus; it is activated first.
keys() {
    local id=$1
    shift
    xdotool windowactivate --sync "$id" key --delay 30 "$@"
    sleep 0.3
}

# --- Main window while recording, its menu and the exit question ----------------------------
click 36 176 "$main"
sleep 6
grab_window main-window "$main"

click 150 60 "$main" 3
sleep 0.8
xdotool mousemove --sync 1015 760
sleep 0.5
grab context-menu "$X" "$Y" 416 241
xdotool key Escape
sleep 0.5

click 398 17 "$main"
box=$(find_window Orvanta)
grab_window exit-question "$box"
keys "$box" Escape # No: the recording goes on
click 86 176 "$main"
sleep 1

# --- Settings, its four pages and the file name template ------------------------------------
keys "$main" ctrl+alt+o
settings=$(find_window Settings)
sleep 0.5
grab_window settings-general "$settings"
row=32
for page in format splitter about; do
    click 30 $row "$settings"
    grab_window "settings-$page" "$settings"
    row=$((row + 14))
done
click 30 18 "$settings"
geometry "$settings"
# "Customize..." ends the first line of the General page.
click $((W - 65)) 50 "$settings"
template=$(find_window "File Name template")
sleep 0.5
geometry "$template"
click 137 $((H - 21)) "$template" # Test: shows a name made from the template
grab_window file-name-template "$template"
keys "$template" Escape
keys "$settings" Escape

# --- Scheduler ---------------------------------------------------------------------------------
click 293 175 "$main"
schedule=$(find_window "Recording Schedule") || {
    click 150 60 "$main" 3
    xdotool key --delay 50 Down Down Return
    schedule=$(find_window "Recording Schedule")
}
sleep 0.5
keys "$schedule" alt+a
add=$(find_window "Add Event")
sleep 0.5
click 260 56 "$add"
xdotool type --delay 30 "Evening News"
click 118 85 "$add"
xdotool key --delay 20 --repeat 18 Up
click 118 114 "$add"
xdotool key --delay 20 --repeat 18 Up
for day in 41 99 150 209 262; do click "$day" 225 "$add"; done
click 50 56 "$add" # off the fields, so that no spin box shows its selection
grab_window add-event "$add"
keys "$add" Return
sleep 0.5
click 60 60 "$schedule" # selects the event just added
grab_window scheduler "$schedule"
keys "$schedule" alt+o

# --- Recording browser -------------------------------------------------------------------------
keys "$main" ctrl+alt+f
browser=$(find_window "Recording Browser")
xdotool windowsize --sync "$browser" 1000 620
sleep 1.5
click 300 70 "$browser" # the first row, Morning Show.mp3, with its tag below
sleep 1
grab_window recording-browser "$browser"

if [ -s "$work/program.log" ]; then
    echo "program output:"
    cat "$work/program.log"
fi
du -ch "$out"/*.png | tail -n 1
