#!/usr/bin/env bash
# Starts or stops the private sound server that the tests record from.
#
#   eval "$(tests/audio/sound-server.sh start [pulseaudio|pipewire])"   # prints what to export
#   tests/audio/sound-server.sh stop
#
# Either a private PulseAudio daemon or a private PipeWire instance (pipewire, wireplumber
# and pipewire-pulse under their own D-Bus session), each with a float32 stereo 48 kHz null
# sink "orvanta_test" as its default sink. Without a choice, PulseAudio is taken where it is
# installed. Nothing needs sound hardware, and a desktop's own sound server is left alone:
# everything runs in its own XDG_RUNTIME_DIR.
set -euo pipefail

state_file=${ORVANTA_SOUND_STATE:-/tmp/orvanta-sound-server.$(id -u)}
sink=orvanta_test

wait_for_server() {
    for _ in $(seq 1 150); do
        if pactl info >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "the private $1 server did not answer" >&2
    return 1
}

start() {
    local kind=${1:-}
    if [ -z "$kind" ]; then
        if command -v pulseaudio >/dev/null 2>&1; then
            kind=pulseaudio
        else
            kind=pipewire
        fi
    fi
    local runtime
    runtime=$(mktemp -d /tmp/orvanta-sound.XXXXXX)
    chmod 700 "$runtime"
    export XDG_RUNTIME_DIR=$runtime
    export PULSE_SERVER=unix:$runtime/pulse/native
    mkdir -p "$runtime/pulse"
    # Written first, so that stop cleans up after a start that failed halfway.
    printf 'XDG_RUNTIME_DIR=%s\nPULSE_SERVER=%s\nKIND=%s\n' "$runtime" "$PULSE_SERVER" "$kind" \
        >"$state_file"
    case $kind in
    pulseaudio)
        command -v pulseaudio >/dev/null 2>&1 || {
            echo "pulseaudio is not installed" >&2
            return 1
        }
        # -n with explicit modules: the default configuration suspends an idle sink, and a
        # new recording would then wait about 2 s for its first data.
        pulseaudio -D --exit-idle-time=-1 -n --log-target=stderr --log-level=error \
            --load="module-null-sink sink_name=$sink format=float32le rate=48000 channels=2" \
            --load="module-native-protocol-unix socket=$runtime/pulse/native auth-anonymous=1" \
            >/dev/null 2>&1
        ;;
    pipewire)
        for p in pipewire wireplumber pipewire-pulse dbus-run-session; do
            command -v $p >/dev/null 2>&1 || {
                echo "$p is not installed" >&2
                return 1
            }
        done
        # Its own process group, so that stop ends the bus and all three daemons together.
        # Its own state folder: wireplumber remembers where each player's stream went, and a
        # target saved by an earlier run would keep a player from following the default.
        mkdir -p "$runtime/state"
        XDG_STATE_HOME=$runtime/state setsid dbus-run-session -- sh -c \
            'pipewire & sleep 0.3; wireplumber & pipewire-pulse & wait' \
            </dev/null >"$runtime/pipewire.log" 2>&1 &
        echo $! >"$runtime/pipewire.pid"
        ;;
    *)
        echo "unknown sound server: $kind (pulseaudio or pipewire)" >&2
        return 1
        ;;
    esac
    wait_for_server "$kind"
    if [ "$kind" = pipewire ]; then
        # wireplumber suspends a sink idle for a few seconds, and a new recording would then
        # wait for it to wake: the sink's own property turns that off.
        pactl load-module module-null-sink sink_name=$sink format=float32le rate=48000 \
            channels=2 sink_properties=session.suspend-timeout-seconds=0 >/dev/null
        # The sink appears in the graph a moment after the module is loaded.
        for _ in $(seq 1 50); do
            pactl list short sinks | grep -q "\b$sink\b" && break
            sleep 0.1
        done
        # PipeWire 0.3.65 glitches for a moment whenever the graph's period changes as clients
        # with other latencies come and go, and without real-time scheduling a short period
        # now and then passes before every stream is ready, which leaves a hole of silence.
        # A fixed period of 85 ms keeps the comparisons exact.
        pw-metadata -n settings 0 clock.force-quantum 4096 >/dev/null
    fi
    pactl set-default-sink $sink
    printf 'export XDG_RUNTIME_DIR=%q PULSE_SERVER=%q ORVANTA_TEST_SINK=%q ORVANTA_TEST_SERVER=%q\n' \
        "$runtime" "$PULSE_SERVER" "$sink" "$kind"
}

stop() {
    [ -f "$state_file" ] || return 0
    # shellcheck disable=SC1090
    . "$state_file"
    export XDG_RUNTIME_DIR PULSE_SERVER
    if [ "$KIND" = pulseaudio ]; then
        pulseaudio -k >/dev/null 2>&1 || true
    elif [ -f "$XDG_RUNTIME_DIR/pipewire.pid" ]; then
        local group
        group=$(cat "$XDG_RUNTIME_DIR/pipewire.pid")
        kill -TERM -- "-$group" 2>/dev/null || true
        for _ in $(seq 1 30); do
            kill -0 -- "-$group" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$group" 2>/dev/null || true
    fi
    rm -rf "$XDG_RUNTIME_DIR" "$state_file"
}

case ${1:-} in
start) start "${2:-}" ;;
stop) stop ;;
*)
    echo "usage: $0 start [pulseaudio|pipewire] | stop" >&2
    exit 2
    ;;
esac
