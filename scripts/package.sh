#!/usr/bin/env bash
# Builds the Debian package from a release build and prints its path:
#
#   scripts/package.sh        -> build/package/orvanta_<version>_<arch>.deb
#
# Its dependencies are the libraries the programs are linked with (dpkg-shlibdeps) and the
# codec libraries they open at run time (the packages that hold the files the build found).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DORVANTA_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build/package -j"$(nproc)"
rm -f build/package/orvanta_*.deb
(cd build/package && cpack -G DEB >/dev/null)
ls "$PWD"/build/package/orvanta_*.deb
