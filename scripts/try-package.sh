#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root and runs the programs there, the
# way a user's machine would get them (not part of the test command: it downloads a base
# system and takes a few minutes). Needs root for debootstrap and chroot.
#
#   scripts/try-package.sh [orvanta_<version>_<arch>.deb]
#
# Without an argument the package is built first (scripts/package.sh). The base system comes
# from the Debian 12 mirror of this machine's own apt sources; MIRROR=<url> names another.
# KEEP_ROOT=1 keeps the root folder for a look inside (its path is printed).
#
# In the root: apt installs the package with its dependencies; orvanta-rec --help; a short
# recording in each format through a private PulseAudio (which proves that the codec
# libraries opened at run time were installed); an offscreen start of orvanta that must show
# its window, take every file it looks up from /usr, and end at SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "try-package.sh needs root (debootstrap, chroot)" >&2; exit 1; }

deb=${1:-}
if [ -z "$deb" ]; then
    deb=$(scripts/package.sh | tail -n 1)
fi
[ -f "$deb" ] || { echo "no package at $deb" >&2; exit 1; }
deb=$(realpath "$deb")

# The first apt source of this machine that serves Debian 12 (bookworm) with "main".
debian12_mirror() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" {
                 i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                 if ($(i+1) == "bookworm") for (j = i + 2; j <= NF; j++) if ($j == "main") { print $i; exit }
             }' "$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # deb822 stanzas, separated by blank lines.
        awk 'function flush() {
                 if (types ~ /(^| )deb( |$)/ && suites ~ /(^| )bookworm( |$)/ && comps ~ /(^| )main( |$)/) {
                     split(uris, u, " "); print u[1]; found = 1; exit
                 }
                 types = suites = comps = uris = ""
             }
             /^[ \t]*$/ { flush(); next }
             /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
             /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
             /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
             /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
             END { if (!found) flush() }' "$file"
    done
}
mirror=${MIRROR:-$(debian12_mirror | head -n 1)}
[ -n "$mirror" ] || {
    echo "No Debian 12 (bookworm) source with \"main\" in this machine's apt sources;" >&2
    echo "name a mirror: MIRROR=<url> scripts/try-package.sh" >&2
    exit 1
}

command -v debootstrap >/dev/null 2>&1 ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap

root=$(mktemp -d /tmp/orvanta-try.XXXXXX)
chmod 755 "$root" # the test user must reach its programs
mounted=()
cleanup() {
    local m
    for m in "${mounted[@]}"; do umount -l "$m" 2>/dev/null || true; done
    if [ "${KEEP_ROOT:-0}" = 1 ]; then
        echo "root kept at $root"
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT

echo "== debootstrap bookworm from $mirror into $root"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log" >&2
    exit 1
}
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
mount --bind /dev/pts "$root/dev/pts" && mounted=("$root/dev/pts" "${mounted[@]}")
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

echo "== apt-get install $(basename "$deb")"
cp "$deb" "$root/tmp/"
if ! { in_root apt-get update &&
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "/tmp/$(basename "$deb")" pulseaudio; } >"$root/tmp/apt.log" 2>&1; then
    tail -n 30 "$root/tmp/apt.log" >&2
    exit 1
fi
grep -E "^(Setting up|Unpacking) orvanta" "$root/tmp/apt.log" | sed 's/^/   /'

# An ordinary user with a private sound server, as in a desktop session.
echo "tester:x:4321:4321::/home/tester:/bin/sh" >>"$root/etc/passwd"
echo "tester:x:4321:" >>"$root/etc/group"
mkdir -p "$root/home/tester"
chown 4321:4321 "$root/home/tester"
tester=(chroot --userspec=4321:4321 "$root" env -i PATH=/usr/bin:/bin LANG=C.UTF-8
    HOME=/home/tester XDG_RUNTIME_DIR=/tmp/tester-run PULSE_SERVER=unix:/tmp/tester-run/native)
as_tester() { "${tester[@]}" "$@"; }
as_tester mkdir -p -m 700 /tmp/tester-run /home/tester/Music
as_tester pulseaudio -D --exit-idle-time=-1 -n --log-target=stderr --log-level=error \
    --load="module-null-sink sink_name=try format=float32le rate=48000 channels=2" \
    --load="module-native-protocol-unix socket=/tmp/tester-run/native auth-anonymous=1"

echo "== orvanta-rec --help"
as_tester orvanta-rec --help | head -n 2

for format in wav mp3 ogg flac; do
    echo "== orvanta-rec --format $format --duration 2"
    as_tester orvanta-rec --format "$format" --duration 2 --output /home/tester/Music \
        --name "try-$format" >/dev/null
    file=$(ls "$root/home/tester/Music/try-$format".* 2>/dev/null | head -n 1)
    [ -s "$file" ] || { echo "no $format recording" >&2; exit 1; }
    echo "   $(basename "$file"): $(stat -c %s "$file") bytes"
done

echo "== offscreen start of orvanta"
# Not through a function: the background process must be chroot itself, which (as env does)
# execs the program, so that the signal below reaches the program.
"${tester[@]}" QT_QPA_PLATFORM=offscreen ORVANTA_STARTUP_TRACE=1 ORVANTA_DATA_TRACE=1 orvanta \
    >"$root/tmp/orvanta.log" 2>&1 &
program=$!
shown=0
for _ in $(seq 1 300); do
    grep -q "window shown" "$root/tmp/orvanta.log" && { shown=1; break; }
    kill -0 "$program" 2>/dev/null || break
    sleep 0.2
done
kill -TERM "$program" 2>/dev/null || true
status=0
wait "$program" || status=$?
as_tester pulseaudio -k || true
grep "window shown" "$root/tmp/orvanta.log" || true
lookups=$(grep -c "^orvanta: data file" "$root/tmp/orvanta.log" || true)
outside=$(grep "^orvanta: data file" "$root/tmp/orvanta.log" | grep -v '": /usr/' || true)
echo "   $lookups files looked up, exit status $status"
if [ "$shown" != 1 ] || [ "$status" != 0 ] || [ "$lookups" = 0 ] || [ -n "$outside" ]; then
    echo "orvanta did not start cleanly from the package:" >&2
    cat "$root/tmp/orvanta.log" >&2
    exit 1
fi
echo "== the package installs and runs on Debian 12"
