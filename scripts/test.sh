#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test against a private sound server. Benchmarks are not built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON -DORVANTA_WERROR=ON \
    -DBUILD_TESTING=ON -DORVANTA_BUILD_BENCH=OFF
cmake --build build/test -j"$(nproc)"

# The private sound servers live in their own runtime folders; a desktop's is left alone.
# Everything runs against PulseAudio; the tests that talk to a sound server then run again
# against PipeWire, so both servers that Linux desktops use are covered.
export ORVANTA_SOUND_STATE=$PWD/build/test/sound-server.state
tests/audio/sound-server.sh stop
trap 'tests/audio/sound-server.sh stop' EXIT
(
    eval "$(tests/audio/sound-server.sh start pulseaudio)"
    ctest --test-dir build/test --output-on-failure -j"$(nproc)"
)
tests/audio/sound-server.sh stop
(
    eval "$(tests/audio/sound-server.sh start pipewire)"
    echo "Again against PipeWire:"
    ctest --test-dir build/test --output-on-failure -L soundserver
)
