# Sourced by the screenshot scripts: a private X server and sound server for one run, so
# that nothing of the user's own desktop, settings, recordings or sound server is touched.

# Installs the Debian packages given that are missing.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
        "${missing[@]}"
}

# Makes $work (a temporary folder named after $1), starts Xvfb (1024x768) and a private
# sound server, and exports DISPLAY and the sound server's variables. Processes added to
# the array `pids` are killed at exit, then the sound server is stopped and $work removed.
start_private_desktop() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    pids=()
    trap 'stop_private_desktop' EXIT
    local fd display
    exec {fd}<> <(:)
    Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    read -r -t 10 -u "$fd" display
    export DISPLAY=:$display
    export ORVANTA_SOUND_STATE=$work/sound
    eval "$(tests/audio/sound-server.sh start)"
    unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER WAYLAND_DISPLAY
}

stop_private_desktop() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ORVANTA_SOUND_STATE=$work/sound tests/audio/sound-server.sh stop || true
    rm -rf "$work"
}
