#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test against a private sound server. Benchmarks are not built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON -DORVANTA_WERROR=ON \
    -DBUILD_TESTING=ON -DORVANTA_BUILD_BENCH=OFF
cmake --build build/test -j"$(nproc)"

# The private sound server lives in its own runtime folder; a desktop's is left alone.
export ORVANTA_SOUND_STATE=$PWD/build/test/sound-server.state
tests/audio/sound-server.sh stop
eval "$(tests/audio/sound-server.sh start)"
trap 'tests/audio/sound-server.sh stop' EXIT
ctest --test-dir build/test --output-on-failure -j"$(nproc)"
