#!/usr/bin/env bash
# Starts or stops the private sound server that the tests record from.
#
#   eval "$(tests/audio/sound-server.sh start)"   # prints the environment to export
#   tests/audio/sound-server.sh stop
#
# A private PulseAudio daemon with a float32 stereo 48 kHz null sink as its default sink
# ("orvanta_test"); where pipewire-pulse is installed and pulseaudio is not, a private
# PipeWire instance with the same null sink. Nothing needs sound hardware, and a desktop's
# own sound server is left alone: everything runs in its own XDG_RUNTIME_DIR.
set -euo pipefail

state_file=${ORVANTA_SOUND_STATE:-/tmp/orvanta-sound-server.$(id -u)}
sink=orvanta_test

wait_for_server() {
    for _ in $(seq 1 100); do
        if pactl info >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "the private sound server did not answer" >&2
    return 1
}

start() {
    local runtime
    runtime=$(mktemp -d /tmp/orvanta-sound.XXXXXX)
    chmod 700 "$runtime"
    export XDG_RUNTIME_DIR=$runtime
    export PULSE_SERVER=unix:$runtime/pulse/native
    mkdir -p "$runtime/pulse"
    local kind
    if command -v pulseaudio >/dev/null 2>&1; then
        kind=pulseaudio
        # -n with explicit modules: the default configuration suspends an idle sink, and a
        # new recording would then wait about 2 s for its first data.
        pulseaudio -D --exit-idle-time=-1 -n --log-target=stderr --log-level=error \
            --load="module-null-sink sink_name=$sink format=float32le rate=48000 channels=2" \
            --load="module-native-protocol-unix socket=$runtime/pulse/native auth-anonymous=1" \
            >/dev/null 2>&1
    elif command -v pipewire-pulse >/dev/null 2>&1; then
        kind=pipewire
        (
            exec dbus-run-session -- sh -c \
                'pipewire & sleep 0.5; wireplumber & pipewire-pulse & wait'
        ) >"$runtime/pipewire.log" 2>&1 &
        echo $! >"$runtime/pipewire.pid"
    else
        echo "no sound server is installed (pulseaudio or pipewire-pulse)" >&2
        return 1
    fi
    wait_for_server
    if [ "$kind" = pipewire ]; then
        pactl load-module module-null-sink sink_name=$sink format=float32le rate=48000 \
            channels=2 >/dev/null
    fi
    pactl set-default-sink $sink
    printf 'XDG_RUNTIME_DIR=%s\nPULSE_SERVER=%s\nKIND=%s\n' "$runtime" "$PULSE_SERVER" "$kind" \
        >"$state_file"
    printf 'export XDG_RUNTIME_DIR=%q PULSE_SERVER=%q ORVANTA_TEST_SINK=%q\n' \
        "$runtime" "$PULSE_SERVER" "$sink"
}

stop() {
    [ -f "$state_file" ] || return 0
    # shellcheck disable=SC1090
    . "$state_file"
    export XDG_RUNTIME_DIR PULSE_SERVER
    if [ "$KIND" = pulseaudio ]; then
        pulseaudio -k >/dev/null 2>&1 || true
    elif [ -f "$XDG_RUNTIME_DIR/pipewire.pid" ]; then
        kill "$(cat "$XDG_RUNTIME_DIR/pipewire.pid")" 2>/dev/null || true
    fi
    rm -rf "$XDG_RUNTIME_DIR" "$state_file"
}

case ${1:-} in
start) start ;;
stop) stop ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
